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

  it('keep ten minutes of temperatures and a bounded log, newest line first', () => {
    const minute = 60 * 1000;
    let s = model.initial_state();
    for (let t = 0; t <= 12; t++) s = model.apply_event(s, {type: 'chair', chair: chair({temp: 20 + t})}, t * minute);
    assert.deepEqual(s.temperatures.map(([, v]) => v), [22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32]);
    assert.equal(s.chair.temp, 32);

    const flood = Array.from({length: model.kMaxTemperatureSamples + 10}, (_, i) => [i, 25]);
    assert.equal(model.trim_temperatures(flood, 100).length, model.kMaxTemperatureSamples);

    for (let i = 0; i < model.kMaxLogLines + 5; i++) s = model.apply_event(s, {type: 'log', log: `line ${i}`}, i);
    assert.equal(s.log.length, model.kMaxLogLines);
    assert.equal(s.log[0].text, `line ${model.kMaxLogLines + 4}`);
    s = model.apply_event(s, {type: 'log', log: '已绑定座椅 Den (C0:FF:EE:01:02:0A)'}, 0);
    s = model.apply_event(s, {type: 'log', log: 'TX: 55 01 0A 02 00 09 AA'}, 0);
    assert.deepEqual(model.filter_log(s.log, '绑定').map((l) => l.text), ['已绑定座椅 Den (C0:FF:EE:01:02:0A)']);
    assert.deepEqual(model.filter_log(s.log, ' tx: ').map((l) => l.text), ['TX: 55 01 0A 02 00 09 AA']);
    assert.equal(model.filter_log(s.log, '  ').length, s.log.length);
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
