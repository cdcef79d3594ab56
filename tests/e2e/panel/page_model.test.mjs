// The page's rules without a browser: how event records change what it shows, and the frames
// and values it builds itself.
import assert from 'node:assert/strict';
import {describe, it} from 'node:test';
import * as model from '../../../tools/chair-panel/web/src/model.mjs';

const chair = (fields) => ({cold: 0, hot: 0, vibrate: 0, volume: 0, lumbar: 0, temp: 28, switchByte: 8,
  btAudio: false, motion: false, headphone: false, seated: true, waterOn: false, heating: false, raw: '', ...fields});
const device = (address, rssi, hits = 1) => ({address, name: 'TAMRO-X1', rssi, hits, lastSeen: ''});

function replay(records, start = model.initial_state()) {
  return records.reduce((s, [record, now]) => model.apply_event(s, record, now ?? 1000), start);
}

describe('event records', () => {
  it('keep the link state, the chair name and the device table consistent', () => {
    const cases = [
      {what: 'a handshake names the chair',
        records: [[{type: 'status', status: 'connecting'}], [{type: 'status', status: 'connected', name: 'TAMRO-X1'}]],
        status: 'connected', name: 'TAMRO-X1'},
      {what: 'the nameless snapshot of a new stream keeps the name',
        records: [[{type: 'status', status: 'connected', name: 'TAMRO-X1'}], [{type: 'status', status: 'connected'}]],
        status: 'connected', name: 'TAMRO-X1'},
      {what: 'a snapshot after going idle has no name to keep',
        records: [[{type: 'status', status: 'connected', name: 'A'}], [{type: 'status', status: 'idle'}],
          [{type: 'status', status: 'connected'}]],
        status: 'connected', name: ''},
      {what: 'an unknown state changes nothing',
        records: [[{type: 'status', status: 'scanning'}], [{type: 'status', status: 'flying'}]], status: 'scanning', name: ''},
      {what: 'a scan (re)start empties the table; later adverts refill it',
        records: [[{type: 'device', device: device('A', -70)}], [{type: 'status', status: 'scanning'}],
          [{type: 'device', device: device('B', -60)}], [{type: 'device', device: device('B', -50, 2)}]],
        status: 'scanning', name: '', devices: {B: device('B', -50, 2)}},
      {what: 'records that are not objects, or lack their member, are ignored',
        records: [[null], ['text'], [{type: 'device'}], [{type: 'chair'}], [{type: 'log', log: 5}], [{type: 'other'}]],
        status: 'idle', name: '', devices: {}},
    ];
    for (const c of cases) {
      const s = replay(c.records);
      assert.equal(s.status, c.status, c.what);
      assert.equal(s.name, c.name, c.what);
      if (c.devices) assert.deepEqual(s.devices, c.devices, c.what);
    }
  });

  it('follow the binding, and the chair that auto-connect works on becomes the one to bind', () => {
    const bind = {boundAddress: 'C0:FF:EE:01:02:0A', boundName: 'Den', autoConnect: true, init: model.kDefaultInit};
    let s = replay([[{type: 'autoconnect', status: 'waiting', bind}]]);
    assert.equal(s.autoconnect, 'waiting');
    assert.deepEqual(s.bind, bind);
    assert.equal(s.target, null);
    s = replay([[{type: 'autoconnect', status: 'connecting', bind}]], s);
    assert.deepEqual(s.target, {address: 'C0:FF:EE:01:02:0A', name: 'Den'});
    s = replay([[{type: 'bind', bind: {...bind, boundAddress: ''}}]], s);
    assert.equal(s.bind.boundAddress, '');
  });

  it('keep a day of temperatures and a bounded log, newest line first, repeats counted', () => {
    const hour = 60 * 60 * 1000;
    let s = model.initial_state();
    for (let t = 0; t <= 26; t++) s = model.apply_event(s, {type: 'chair', chair: chair({temp: t})}, t * hour);
    assert.deepEqual(s.temperatures.map(([, v]) => v), Array.from({length: 25}, (_, i) => i + 2));
    assert.equal(s.chair.temp, 26);

    const flood = Array.from({length: model.kMaxTemperatureSamples + 10}, (_, i) => [i, 25]);
    assert.equal(model.trim_temperatures(flood, 100).length, model.kMaxTemperatureSamples);

    for (let i = 0; i < model.kMaxLogLines + 5; i++) s = model.apply_event(s, {type: 'log', log: `line ${i}`}, i);
    assert.equal(s.log.length, model.kMaxLogLines);
    assert.equal(s.log[0].text, `line ${model.kMaxLogLines + 4}`);
    s = model.apply_event(s, {type: 'log', log: '已绑定座椅 Den (C0:FF:EE:01:02:0A)'}, 0);
    for (let i = 0; i < 3; i++) s = model.apply_event(s, {type: 'log', log: 'TX: 55 01 0A 02 00 09 AA'}, i);
    assert.deepEqual([s.log[0].repeat, s.log[0].kind, s.log[1].kind], [3, 'frame', 'bind']);
    assert.deepEqual(model.filter_log(s.log, '绑定').map((l) => l.text), ['已绑定座椅 Den (C0:FF:EE:01:02:0A)']);
    assert.deepEqual(model.filter_log(s.log, 'bound the chair den').length, 1, 'the shown words match too');
    assert.deepEqual(model.filter_log(s.log, ' tx: ').map((l) => l.text), ['TX: 55 01 0A 02 00 09 AA']);
    assert.equal(model.filter_log(s.log, ' tx: ', false).length, 0, 'frames hidden');
    assert.equal(model.filter_log(s.log, '  ').length, s.log.length);
  });

  it('tell a lost chair from one that was let go, and count the attempts to get it back', () => {
    const bind = {boundAddress: 'C0:FF:EE:01:02:0A', boundName: 'Den', autoConnect: true, init: model.kDefaultInit};
    const up = [[{type: 'bind', bind}], [{type: 'status', status: 'connected', name: 'Den'}]];
    const idle = [{type: 'status', status: 'idle'}];
    const attempt = [[{type: 'autoconnect', status: 'connecting', bind}], [{type: 'status', status: 'connecting'}], idle];
    const cases = [
      {what: 'dropped by the service', records: [...up, [{type: 'log', log: 'status poll failed; reconnecting'}], idle,
        ...attempt, ...attempt], lost: {since: 1000, attempts: 2, reconnecting: true}},
      {what: 'back again', records: [...up, idle, ...attempt, up[1]], lost: null},
      {what: 'another client disconnected', records: [...up, idle, [{type: 'log', log: 'disconnected'}]], lost: null},
      {what: 'a shutdown', records: [...up, [{type: 'log', log: 'silent shutdown: all off...'}], idle], lost: null},
      {what: 'the timer ran out', records: [...up, [{type: 'timer', seconds: 60}], [{type: 'timer', seconds: 0}, 61000],
        idle], lost: null},
      {what: 'lost after a cancelled timer', records: [...up, [{type: 'timer', seconds: 60}], [{type: 'timer', seconds: 0}],
        idle], lost: {since: 1000, attempts: 0, reconnecting: true}},
      {what: 'replaced by another connection', records: [...up, [{type: 'log', log: 'connecting AA:BB:CC:DD:EE:FF ...'}],
        attempt[1]], lost: null},
      {what: 'lost without a binding to reconnect', records: [up[1], idle], lost: {since: 1000, attempts: 0,
        reconnecting: false}},
    ];
    for (const c of cases) {
      assert.deepEqual(model.link_view(replay(c.records), 1000).lost, c.lost, c.what);
      // What the page asked for itself is no loss either.
      const asked = model.reduce(replay(up), {kind: 'deliberate'});
      assert.equal(model.link_view(replay([idle], asked), 1000).lost, null, c.what);
    }
    const reported = replay([[{type: 'chair', chair: chair({})}, 1000]]);
    assert.deepEqual([model.link_view(reported, 6000).stale, model.link_view(reported, 6001).stale], [false, true]);
  });
});

describe('what the page builds itself', () => {
  it('turns a level off with the frame the chair takes for level 0', () => {
    // The frames the service itself sends to quiet the chair.
    const expected = {cold: '55 02 0A 02 00 0A AA', hot: '55 03 0A 02 00 0B AA', vibrate: '55 04 0A 02 00 0C AA',
      volume: '55 05 0A 02 00 0D AA', lumbar: '55 06 0A 02 00 0E AA'};
    for (const [fn, frame] of Object.entries(expected)) assert.equal(model.zero_level_hex(fn), frame, fn);
    assert.throws(() => model.zero_level_hex('switch'));
  });

  it('reads the water mode from the report: the water switch decides before the levels', () => {
    const cases = [
      [null, null],
      [chair({waterOn: true, cold: 5}), {mode: 'cool', level: 5}],
      [chair({waterOn: true, hot: 3}), {mode: 'heat', level: 3}],
      [chair({waterOn: false, cold: 7}), {mode: 'off', level: 7}],
      [chair({waterOn: true}), {mode: 'off', level: 0}],
    ];
    for (const [report, expected] of cases) assert.deepEqual(model.reported_water(report), expected, JSON.stringify(report));
  });

  it('accepts initial settings of whole levels 0 to 10 only, and knows them in any member order', () => {
    const sorted = {coolLevel: 10, heatLevel: 6, lumbar: 3, vibrate: 0, volume: 0, water: 'cool'};
    assert.equal(model.init_key(sorted), model.init_key(model.kDefaultInit));
    assert.notEqual(model.init_key({...sorted, lumbar: 4}), model.init_key(model.kDefaultInit));
    const good = {water: 'heat', coolLevel: '10', heatLevel: ' 4 ', lumbar: 0, vibrate: '0', volume: '2'};
    assert.deepEqual(model.init_from_form(good),
        {init: {water: 'heat', coolLevel: 10, heatLevel: 4, lumbar: 0, vibrate: 0, volume: 2}});
    assert.equal(model.init_from_form({...good, water: 'steam'}).init.water, 'cool');
    for (const bad of ['', '11', '-1', '2.5', '1e1', 'x']) {
      assert.match(model.init_from_form({...good, lumbar: bad}).error, /lumbar/, JSON.stringify(bad));
    }
  });

  it('says known texts of the service in the language of the page and keeps the original', () => {
    const cases = [
      ['已绑定座椅 TAMRO-X1 (C0:FF:EE:01:02:0A)', 'Bound the chair TAMRO-X1 (C0:FF:EE:01:02:0A)'],
      ['解析失败: syntax error at 1', 'Not a valid settings file: syntax error at 1'],
      ['强度必须 1-10，当前 11', 'A level must be 1 to 10, not 11'],
      ['scan blocked: 未检测到蓝牙适配器 (no bus)', 'Cannot scan: No Bluetooth adapter found (no bus)'],
      ['initial status not received; reconnecting',
        'Could not set up the chair\'s connection (initial status not received); the link was dropped'],
      ['TX: 55 01 0A 02 00 09 AA', 'TX: 55 01 0A 02 00 09 AA'],
    ];
    for (const [wire, shown] of cases) {
      const t = model.translate(wire);
      assert.deepEqual([t.text, t.original], [shown, shown === wire ? '' : wire], wire);
    }
  });

  it('plots a span up to now, broken where reports stopped, after the history the service kept', () => {
    const s = 1000;
    const history = [{t: 10 * s, chair: chair({temp: 30})}, {t: 12 * s, chair: chair({temp: 31})}, {t: 13 * s}];
    const samples = model.merge_history([[11 * s, 99], [14 * s, 32], [40 * s, 33]], history, 40 * s);
    assert.deepEqual(samples, [[10 * s, 30], [12 * s, 31], [14 * s, 32], [40 * s, 33]]);
    assert.deepEqual(model.plot_columns(samples, 29 * s, 40 * s), [[12, 14, 27, 40], [31, 32, null, 33]]);
  });

  it('says what the initial settings will do, and takes them from the chair\'s report', () => {
    const cases = [
      [undefined, 'cooling 10, lumbar 3'],
      [{water: 'heat', heatLevel: 4, lumbar: 0, vibrate: 2, volume: 1}, 'heating 4, vibration 2, volume 1'],
      [{water: 'off', coolLevel: 10, lumbar: 0}, 'water off'],
    ];
    for (const [init, text] of cases) assert.equal(model.init_summary(init), text, JSON.stringify(init));
    const init = {...model.kDefaultInit, heatLevel: 7};
    assert.deepEqual(model.init_from_chair(chair({waterOn: true, cold: 4, lumbar: 12, volume: 2}), init),
        {water: 'cool', coolLevel: 4, heatLevel: 7, lumbar: 10, vibrate: 0, volume: 2});
    assert.equal(model.init_from_chair(chair({waterOn: false, hot: 3}), init).water, 'off');
  });

  it('sends one value at a time per control and ends at the last one chosen', async () => {
    const sent = [];
    let in_flight = 0;
    let most = 0;
    const sender = model.serial_sender(async (value) => {
      in_flight++;
      most = Math.max(most, in_flight);
      await new Promise((r) => setTimeout(r, 5));
      sent.push(value);
      in_flight--;
      return {ok: value !== 'refused', error: 'no'};
    });
    const results = await Promise.all([9, 8, 7, 6, 5].map((v) => sender.send(v)));
    assert.deepEqual(sent, [9, 5]);
    assert.equal(most, 1);
    assert.equal(sender.busy, false);
    assert.deepEqual(results.map((r) => r.ok), [true, true, true, true, true]);
    // The first call reports how the last request it carried went.
    const [first] = await Promise.all([sender.send(1), sender.send('refused')]);
    assert.equal(first.ok, false);
  });
});
