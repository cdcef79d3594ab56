// The control panel: one page that follows the service's event stream and drives it through
// its routes, as any desktop UI would.
import {h, render} from './vendor/preact.mjs';
import {useEffect, useReducer, useRef, useState} from './vendor/hooks.mjs';
import htm from './vendor/htm.mjs';
import * as model from './model.mjs';
import {ServiceClient, announce_page, follow_events, kSlowRouteTimeoutMs, load_config} from './service.mjs';
import {TemperaturePlot} from './plot.mjs';

const html = htm.bind(h);

const kStatusText = {idle: 'Idle', scanning: 'Scanning', connecting: 'Connecting', connected: 'Connected'};
const kWaterText = {off: 'Off', cool: 'Cooling', heat: 'Heating'};
// Why Bluetooth cannot be used, and what the person can do about it.
const kBluetooth = {
  noAdapter: ['No Bluetooth adapter was found.', 'Plug one in, or start the system\'s Bluetooth service.'],
  noRadio: ['The Bluetooth radio cannot be reached.',
    'Check that the system\'s Bluetooth service runs; the panel notices by itself when it is back.'],
  radioOff: ['Bluetooth is switched off.', 'Switch it on in the system settings (or run: bluetoothctl power on).'],
};
const kStopped = 'Stopped: the chair is quiet. It stays off until you connect again.';

// Re-renders every `ms`, for what depends on the time: countdowns, stale values, the plot.
function useNow(ms) {
  const [now, set_now] = useState(Date.now());
  useEffect(() => {
    const timer = setInterval(() => set_now(Date.now()), ms);
    return () => clearInterval(timer);
  }, []);
  return now;
}

// A text of the service's: in the page's language when the page knows it, the original in
// the tooltip.
function said(text) {
  const t = model.translate(text);
  return t.original ? html`<span title=${`The service said: ${t.original}`} data-original=${t.original}>${t.text}</span>` :
    text;
}

// One action of the user: runs a request, says what went wrong in the service's own words.
// `alarm`: a failure that leaves the chair running is shown as an alert.
function useAction() {
  const [busy, set_busy] = useState(false);
  const [message, set_message] = useState(null);
  const run = async (request, success, {alarm = false} = {}) => {
    set_busy(true);
    set_message(null);
    try {
      const result = await request();
      if (!result.ok) set_message({ok: false, text: result.error, alarm});
      else if (success) set_message({ok: true, text: success});
      return result;
    } finally {
      set_busy(false);
    }
  };
  return {run, busy, message, set_message};
}

// Always in the page, so screen readers announce what appears in it.
function Message({action, id, children}) {
  const m = action.message;
  const text = !m ? '' : m.ok ? m.text : m.alarm ? html`<strong>The chair may still be running.</strong> ${said(m.text)}` :
    html`Refused: ${said(m.text)}`;
  return html`<p class=${'message' + (m && !m.ok ? ' error' : '') + (m && m.alarm ? ' alarm' : '')} id=${id}
                 role=${m && m.alarm ? 'alert' : 'status'}>${text}${m && m.ok ? children : ''}</p>`;
}

function level_text(value) {
  return value === undefined || value === null ? '–' : value === 0 ? 'off' : String(value);
}

function minutes_text(ms) {
  const s = Math.max(0, Math.ceil(ms / 1000));
  const two = (n) => String(n).padStart(2, '0');
  return s >= 3600 ? `${Math.floor(s / 3600)}:${two(Math.floor(s / 60) % 60)}:${two(s % 60)}` : `${Math.floor(s / 60)}:${two(s % 60)}`;
}

function bar_label(state, view) {
  const {online, status, name} = state;
  if (!online) return ['Service unavailable', 'offline'];
  if (status === 'connected') return [name ? `Connected to ${name}` : 'Connected', 'connected'];
  // With Bluetooth gone the service stops trying: "reconnecting" would not be true.
  if (view.unavailable && status !== 'connecting') return ['Bluetooth unavailable', 'unavailable'];
  if (view.lost) {
    const attempt = view.lost.attempts ? ` (attempt ${view.lost.attempts})` : '';
    return [view.lost.reconnecting ? `Chair lost — reconnecting${attempt}` : 'Chair lost', 'lost'];
  }
  return [kStatusText[status], status];
}

// What the initial settings will do to the chair on the next connection.
function InitPreview({bind, id}) {
  const summary = model.init_summary(bind && bind.init);
  return html`<p class="preview small" id=${id}>After connecting: ${summary} — <a href="#init-title">change</a></p>`;
}

function ConnectionBar({state, dispatch, client, connect_to, now}) {
  const action = useAction();
  const {online, status, bind} = state;
  const view = model.link_view(state, now);
  const target = state.target || (bind && bind.boundAddress ? {address: bind.boundAddress, name: bind.boundName} : null);
  const [label, pill] = bar_label(state, view);
  const linked = status === 'connected' || status === 'connecting';
  const connect = () => action.run(() => connect_to(target.address, target.name));
  const stop = () => {
    dispatch({kind: 'deliberate'});
    action.run(() => client.call('/api/shutdown'), kStopped, {alarm: true});
  };
  const again = action.message && action.message.text === kStopped && !linked && target;
  return html`
    <header class="bar">
      <h1>Chair panel</h1>
      <p class="pill" id="link-status" data-status=${pill} role="status">${label}</p>
      <div class="bar-actions">
        <button type="button" id="connect" disabled=${!online || !target || linked || action.busy}
                title=${target ? `${target.name || 'chair'} ${target.address}` : 'Scan first, or bind a chair'}
                onClick=${connect}>
          Connect${target ? html` <span class="small">${target.name || target.address}</span>` : ''}
        </button>
        <button type="button" id="disconnect" disabled=${!online || !linked || action.busy}
                onClick=${() => {
                  dispatch({kind: 'deliberate'});
                  action.run(() => client.call('/api/disconnect'));
                }}>Disconnect</button>
        <div class="stop-area">
          <button type="button" id="stop-everything" class="danger" disabled=${!online || action.busy} onClick=${stop}>
            Stop everything</button>
          <${Message} action=${action} id="bar-message">
            ${again && html` <button type="button" id="connect-again" onClick=${connect}>Connect again</button>`}
          <//>
        </div>
      </div>
      ${online && status !== 'connected' && html`<${InitPreview} bind=${bind} id="init-preview"/>`}
    </header>`;
}

function BluetoothNotice({bluetooth}) {
  const [reason, todo] = kBluetooth[bluetooth.state] || ['Bluetooth cannot be used.', ''];
  return html`<div class="notice" id="bluetooth-notice" data-state=${bluetooth.state}>
    <strong>${reason}</strong> ${todo}
    ${bluetooth.message && html` <span class="muted small" title=${bluetooth.message}>(${said(bluetooth.message)})</span>`}
  </div>`;
}

function DeviceRow({device: d, state, action, connect_to}) {
  const [asking, set_asking] = useState(false);
  const here = state.status === 'connected' && state.target && state.target.address === d.address;
  const reconnect = () => {
    set_asking(false);
    action.run(() => connect_to(d.address, d.name));
  };
  return html`
    <li data-address=${d.address} data-connected=${here ? 'yes' : undefined}>
      <span class="device-name">${d.name || 'unnamed chair'}</span>
      <span class="device-facts">
        <span>${d.address}</span>
        <span><span class="sr-only">signal </span>${d.rssi} dBm</span>
        <span>${d.hits} ${d.hits === 1 ? 'hit' : 'hits'}</span>
      </span>
      ${here ? html`
        <span class="device-connect">
          <span class="device-state">Connected</span>
          <button type="button" class="device-reconnect" aria-expanded=${asking ? 'true' : 'false'}
                  disabled=${!state.online || action.busy} onClick=${() => set_asking(!asking)}>Reconnect…</button>
        </span>` : html`
        <button type="button" class="device-connect" aria-label=${`Connect to ${d.name || d.address}`}
                disabled=${!state.online || action.busy}
                onClick=${() => action.run(() => connect_to(d.address, d.name))}>Connect</button>`}
      ${asking && html`
        <div class="confirm" role="group" aria-label="Reconnect the chair">
          <p>Reconnecting sets the chair to the initial settings again: ${model.init_summary(state.bind && state.bind.init)}.</p>
          <button type="button" class="confirm-reconnect" onClick=${reconnect}>Reconnect</button>
          <button type="button" class="confirm-cancel" onClick=${() => set_asking(false)}>Cancel</button>
        </div>`}
    </li>`;
}

function ScanPanel({state, client, connect_to}) {
  const action = useAction();
  const scanning = state.status === 'scanning';
  const devices = model.sorted_devices(state.devices);
  const start = () => action.run(() => client.call('/api/scan/start', {}, {timeout_ms: kSlowRouteTimeoutMs}));
  return html`
    <section aria-labelledby="scan-title" class="card">
      <h2 id="scan-title">Chairs nearby</h2>
      <div class="row">
        <button type="button" id="scan-start" disabled=${!state.online || scanning || action.busy} onClick=${start}>
          Start scan</button>
        <button type="button" id="scan-stop" disabled=${!state.online || !scanning}
                onClick=${() => action.run(() => client.call('/api/scan/stop'))}>Stop scan</button>
      </div>
      <${Message} action=${action} id="scan-message"/>
      ${devices.length === 0 ?
        html`<p class="muted">${scanning ? 'Looking for chairs…' : 'No chairs found. Start a scan.'}</p>` :
        html`<ul class="devices" id="devices" aria-label="Chairs found">
          ${devices.map((d) => html`<${DeviceRow} key=${d.address} device=${d} state=${state} action=${action}
                                                  connect_to=${connect_to}/>`)}
        </ul>`}
    </section>`;
}

// How long a control keeps showing the user's choice while the chair has not yet confirmed it.
const kConfirmMs = 3000;

// The value a control shows: the user's choice until the chair reports it (or kConfirmMs pass
// without that), then whatever the chair reports. Reports trail the user: the confirmation of
// one key press can arrive between the input and change events of the next, and a control
// that jumped back to it then would send the older value again.
function useReported(reported, same = (a, b) => a === b) {
  const [wanted, set_wanted] = useState(reported);
  const expected = useRef(null);
  const [deadline_passed, set_deadline_passed] = useState(0);
  const key = JSON.stringify(reported);
  useEffect(() => {
    const e = expected.current;
    if (e && !same(reported, e.value) && Date.now() < e.deadline) return;
    expected.current = null;
    set_wanted(reported);
  }, [key, deadline_passed]);
  const hold = (value) => {
    set_wanted(value);
    expected.current = {value, deadline: Date.now() + kConfirmMs};
    setTimeout(() => set_deadline_passed((n) => n + 1), kConfirmMs + 50);
  };
  return [wanted, hold];
}

// A level the chair reports back: the slider is what the user asks for, the text beside it
// what the chair last said.
function LevelControl({fn, label, reported, enabled, client}) {
  const action = useAction();
  const [shown, hold] = useReported(reported ?? 0);
  const sender = useRef(null);
  sender.current ||= model.serial_sender((value) => value === 0 ?
      client.call('/api/cmd/raw', {hex: model.zero_level_hex(fn)}) :
      client.call('/api/cmd/intensity', {fn, value}));
  const send = (value) => {
    hold(value);
    action.run(() => sender.current.send(value));
  };
  const id = `level-${fn}`;
  return html`
    <div class="level">
      <label for=${id}>${label}</label>
      <input type="range" id=${id} min="0" max="10" step="1" value=${shown} disabled=${!enabled}
             aria-valuetext=${shown === 0 ? 'off' : `level ${shown}`} aria-describedby=${`${id}-reported`}
             onInput=${(e) => hold(Number(e.currentTarget.value))}
             onChange=${(e) => send(Number(e.currentTarget.value))}/>
      <span class="wanted" aria-hidden="true">${level_text(shown)}</span>
      <output id=${`${id}-reported`} for=${id} data-value=${reported ?? ''}>
        Chair: ${level_text(reported)}</output>
      <${Message} action=${action}/>
    </div>`;
}

const same_water = (a, b) => !!a && !!b && a.mode === b.mode && (a.mode === 'off' || a.level === b.level);

function WaterControl({chair, enabled, client}) {
  const action = useAction();
  const reported = model.reported_water(chair);
  const [wanted, hold] = useReported(reported, same_water);
  // With the water off the chair may report no level; the slider keeps the last one.
  const last_level = useRef(5);
  if (wanted && wanted.level) last_level.current = wanted.level;
  // Without a report no mode is known, and none is drawn as chosen.
  const mode = wanted ? wanted.mode : null;
  const level = last_level.current;
  const sender = useRef(null);
  sender.current ||= model.serial_sender(({mode: next_mode, level: next_level}) => next_mode === 'off' ?
      client.call('/api/cmd/switch', {bits: model.kSwitchBytes.waterOff}) :
      client.call('/api/cmd/intensity', {fn: next_mode === 'cool' ? 'cold' : 'hot', value: next_level}));
  const send = (next) => {
    hold(next);
    action.run(() => sender.current.send(next));
  };
  const choose = (next_mode) => send({mode: next_mode, level});
  const reported_text = !chair ? 'no report yet' :
      `${kWaterText[reported.mode].toLowerCase()}${reported.mode === 'off' ? '' : ` ${reported.level}`}` +
      ` (cooling ${chair.cold}, heating ${chair.hot}, water ${chair.waterOn ? 'on' : 'off'})`;
  return html`
    <fieldset class="water" disabled=${!enabled}>
      <legend>Water cooling and heating</legend>
      <p class="hint" id="water-hint">Cooling and heating exclude each other: the chair runs one at a time.</p>
      <div class="segmented" role="radiogroup" aria-label="Water mode" aria-describedby="water-hint">
        ${['off', 'cool', 'heat'].map((m) => html`
          <label class=${'segment' + (mode === m ? ' chosen' : '')}>
            <input type="radio" name="water-mode" id=${`water-mode-${m}`} value=${m} checked=${mode === m}
                   onChange=${() => choose(m)}/>
            ${kWaterText[m]}</label>`)}
      </div>
      <div class="level">
        <label for="water-level">${mode === 'heat' ? 'Heating level' : 'Cooling level'}</label>
        <input type="range" id="water-level" min="1" max="10" step="1" value=${level} disabled=${mode !== 'cool' && mode !== 'heat'}
               aria-valuetext=${`level ${level}`} aria-describedby="water-reported"
               onInput=${(e) => hold({mode, level: Number(e.currentTarget.value)})}
               onChange=${(e) => send({mode, level: Number(e.currentTarget.value)})}/>
        <span class="wanted" aria-hidden="true">${level}</span>
        <output id="water-reported" for="water-level" data-mode=${reported ? reported.mode : ''}
                data-cold=${chair ? chair.cold : ''} data-hot=${chair ? chair.hot : ''}>Chair: ${reported_text}</output>
      </div>
      <${Message} action=${action} id="water-message"/>
    </fieldset>`;
}

function Switches({chair, enabled, client}) {
  const action = useAction();
  const flip = (bits) => action.run(() => client.call('/api/cmd/switch', {bits}));
  const on_off = (v) => (chair ? (v ? 'on' : 'off') : '–');
  const rows = [
    {id: 'water', label: 'Water', value: chair && chair.waterOn,
      buttons: [['Turn on', model.kSwitchBytes.waterOn], ['Turn off', model.kSwitchBytes.waterOff]]},
    {id: 'motion', label: 'Motion', value: chair && chair.motion, buttons: [['Turn off', model.kSwitchBytes.motionOff]]},
    {id: 'audio', label: 'Bluetooth audio', value: chair && chair.btAudio,
      buttons: [['Turn off', model.kSwitchBytes.audioOff]]},
  ];
  return html`
    <fieldset class="switches" disabled=${!enabled}>
      <legend>Switches</legend>
      ${rows.map((r) => html`
        <div class="switch-row" key=${r.id}>
          <span class="switch-name" id=${`switch-${r.id}-name`}>${r.label}</span>
          <span class="switch-state" id=${`switch-${r.id}`}>Chair: ${on_off(r.value)}</span>
          ${r.buttons.map(([text, bits]) => html`
            <button type="button" aria-label=${`${r.label}: ${text.toLowerCase()}`}
                    onClick=${() => flip(bits)}>${text}</button>`)}
        </div>`)}
      <${Message} action=${action} id="switch-message"/>
    </fieldset>`;
}

// "Stop everything" after a while, run by the service, so it happens also without a page.
function SessionTimer({state, client, now}) {
  const action = useAction();
  const [custom, set_custom] = useState('');
  const left = state.timer_ends ? state.timer_ends - now : 0;
  const set = (minutes) => action.run(() => client.call('/api/timer/set', {seconds: Math.round(minutes * 60)}));
  const start_custom = (e) => {
    e.preventDefault();
    const minutes = Number(custom);
    if (!/^\d+$/.test(custom.trim()) || minutes < 1 || minutes > 1440) {
      action.set_message({ok: false, text: 'a custom time is 1 to 1440 whole minutes'});
      return;
    }
    set(minutes);
  };
  return html`
    <form class="timer" onSubmit=${start_custom} aria-labelledby="timer-title">
      <fieldset disabled=${!state.online || action.busy}>
        <legend id="timer-title">Session timer</legend>
        <p id="timer-left" role="timer" data-seconds=${left > 0 ? Math.ceil(left / 1000) : 0}>${left > 0 ?
          html`Stops everything in <strong>${minutes_text(left)}</strong>` : 'No timer: the chair runs until stopped.'}</p>
        <div class="row">
          ${[[15, '15 min'], [30, '30 min'], [60, '1 h'], [120, '2 h']].map(([m, text]) => html`
            <button type="button" class="timer-preset" data-minutes=${m} onClick=${() => set(m)}>${text}</button>`)}
          ${left > 0 && html`<button type="button" id="timer-cancel"
                                     onClick=${() => action.run(() => client.call('/api/timer/cancel'))}>Cancel timer</button>`}
        </div>
        <div class="row">
          <label class="field inline" for="timer-minutes">Minutes</label>
          <input type="number" id="timer-minutes" min="1" max="1440" step="1" value=${custom}
                 onInput=${(e) => set_custom(e.currentTarget.value)}/>
          <button type="submit" id="timer-start">Start</button>
        </div>
      </fieldset>
      <${Message} action=${action} id="timer-message"/>
    </form>`;
}

function ControlsPanel({state, client, now}) {
  const {chair} = state;
  const enabled = state.online && state.status === 'connected';
  return html`
    <section aria-labelledby="controls-title" class="card" id="controls">
      <h2 id="controls-title">Controls</h2>
      ${!enabled && html`<p class="muted">Connect a chair to use the controls.</p>`}
      <${WaterControl} chair=${chair} enabled=${enabled} client=${client}/>
      <fieldset class="levels" disabled=${!enabled}>
        <legend>Levels (1–10, 0 is off)</legend>
        <${LevelControl} fn="vibrate" label="Vibration" reported=${chair ? chair.vibrate : null} enabled=${enabled} client=${client}/>
        <${LevelControl} fn="volume" label="Volume" reported=${chair ? chair.volume : null} enabled=${enabled} client=${client}/>
        <${LevelControl} fn="lumbar" label="Lumbar" reported=${chair ? chair.lumbar : null} enabled=${enabled} client=${client}/>
      </fieldset>
      <${Switches} chair=${chair} enabled=${enabled} client=${client}/>
      ${state.features.timer && html`<${SessionTimer} state=${state} client=${client} now=${now}/>`}
    </section>`;
}

function StatusPanel({state, client, now}) {
  const action = useAction();
  const [range, set_range] = useState(0);
  const c = state.chair;
  const stale = model.link_view(state, now).stale;
  const yes_no = (v, yes, no) => (v ? yes : no);
  const facts = c ? [
    ['Cooling', level_text(c.cold)], ['Heating', level_text(c.hot)], ['Vibration', level_text(c.vibrate)],
    ['Volume', level_text(c.volume)], ['Lumbar', level_text(c.lumbar)],
    ['Water', yes_no(c.waterOn, 'on', 'off')], ['Heater', yes_no(c.heating, 'running', 'off')],
    ['Seated', yes_no(c.seated, 'yes', 'no')], ['Motion', yes_no(c.motion, 'on', 'off')],
    ['Bluetooth audio', yes_no(c.btAudio, 'on', 'off')], ['Headphone', yes_no(c.headphone, 'plugged in', 'none')],
  ] : [];
  const ranges = state.features.history ? model.kPlotRanges : model.kPlotRanges.slice(0, 1);
  return html`
    <section aria-labelledby="status-title" class="card" id="live">
      <h2 id="status-title">Live status</h2>
      <div class=${stale ? 'values stale-values' : 'values'} id="live-values">
        <p class="temperature"><span class="muted">Temperature</span>
          <span id="temperature" data-value=${c ? c.temp : ''}>${c ? `${c.temp} °C` : '–'}</span>
          ${stale && html`<span class="last-report" id="last-report">last report ${model.format_clock(state.report_at)}</span>`}</p>
        ${c ? html`<dl class="facts" id="facts">${facts.map(([k, v]) => html`<div key=${k}><dt>${k}</dt><dd>${v}</dd></div>`)}</dl>` :
          html`<p class="muted">No report from a chair yet.</p>`}
      </div>
      ${ranges.length > 1 && html`
        <div class="segmented small" role="radiogroup" aria-label="Plot span">
          ${ranges.map((r, i) => html`
            <label class=${'segment' + (range === i ? ' chosen' : '')}>
              <input type="radio" name="plot-range" id=${`plot-range-${i}`} checked=${range === i}
                     onChange=${() => set_range(i)}/>${r.label}</label>`)}
        </div>`}
      <${TemperaturePlot} samples=${state.temperatures} span=${ranges[range].ms} label=${ranges[range].label} now=${now}/>
      ${c && html`<p class="raw small muted">Last frame: <code>${c.raw}</code></p>`}
      <button type="button" id="query" disabled=${!state.online || state.status !== 'connected' || action.busy}
              onClick=${() => action.run(() => client.call('/api/cmd/query'))}>Ask the chair for a full report</button>
      <${Message} action=${action}/>
    </section>`;
}

function InitForm({bind, chair, enabled, client}) {
  const action = useAction();
  const from_bind = () => ({...model.kDefaultInit, ...(bind ? bind.init : {})});
  const [draft, set_draft] = useState(from_bind);
  const saved = model.init_key(bind && bind.init);
  useEffect(() => set_draft(from_bind()), [saved]);
  // Two edits before the next render must both count (typing after picking, autofill).
  const edit = (key, value) => set_draft((d) => ({...d, [key]: value}));
  const field = (key, label) => html`
    <label class="field"><span>${label}</span>
      <input type="number" name=${key} id=${`init-${key}`} min="0" max="10" step="1" required value=${draft[key] ?? ''}
             onInput=${(e) => edit(key, e.currentTarget.value)}/></label>`;
  const save = (init, success) => action.run(() => client.call('/api/bind/init', {}, {body: JSON.stringify(init)}), success);
  const submit = (e) => {
    e.preventDefault();
    const parsed = model.init_from_form(draft);
    if (parsed.error) {
      action.set_message({ok: false, text: parsed.error});
      return;
    }
    save(parsed.init, 'Saved; applied after the next connection.');
  };
  return html`
    <form class="init" onSubmit=${submit} aria-labelledby="init-title">
      <fieldset disabled=${!enabled}>
        <legend id="init-title" tabindex="-1">Initial settings, applied after every connection</legend>
        <label class="field"><span>Water</span>
          <select name="water" id="init-water" value=${draft.water || 'cool'}
                  onChange=${(e) => edit('water', e.currentTarget.value)}>
            <option value="cool">Cooling</option><option value="heat">Heating</option><option value="off">Off</option>
          </select></label>
        ${field('coolLevel', 'Cooling level')}${field('heatLevel', 'Heating level')}
        ${field('lumbar', 'Lumbar')}${field('vibrate', 'Vibration')}${field('volume', 'Volume')}
        <div class="row init-actions">
          <button type="submit" id="init-save" disabled=${action.busy}>Save initial settings</button>
          <button type="button" id="init-from-chair" disabled=${!chair || action.busy}
                  onClick=${() => save(model.init_from_chair(chair, bind && bind.init),
                      'Saved the chair\'s current settings as the initial settings.')}>
            Use the chair's current settings</button>
        </div>
      </fieldset>
      <${Message} action=${action} id="init-message"/>
    </form>`;
}

function BindingPanel({state, dispatch, client}) {
  const action = useAction();
  const file = useRef(null);
  const {bind, online, status, target, name} = state;
  const bound = bind && bind.boundAddress;
  const can_bind = online && status === 'connected' && target && target.address;
  // Binding routes answer before their event arrives; a fresh read keeps the page right even
  // while the stream is catching up.
  const refresh = async (result) => {
    if (result.ok) {
      const fresh = await client.call('/api/bind/get');
      if (fresh.ok) dispatch({kind: 'bind', bind: fresh.data});
    }
    return result;
  };
  const bind_now = () => action.run(async () => refresh(await client.call('/api/bind/set',
      {addr: target.address, name: name || target.name || ''})), 'Bound.');
  const forget = () => action.run(async () => refresh(await client.call('/api/bind/clear')), 'Forgotten.');
  const auto = (on) => action.run(async () => refresh(await client.call('/api/bind/autoconnect', {on: on ? 1 : 0})));
  const export_file = () => action.run(async () => {
    const result = await client.text('/api/bind/export');
    if (!result.ok) return result;
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([result.text], {type: 'application/json'}));
    link.download = 'chair-binding.json';
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
    return result;
  }, 'Exported to chair-binding.json.');
  const import_file = (e) => {
    const chosen = e.currentTarget.files && e.currentTarget.files[0];
    if (!chosen) return;
    action.run(async () => {
      const text = await chosen.text();
      return refresh(await client.call('/api/bind/import', {}, {body: text}));
    }, `Imported ${chosen.name}.`).finally(() => {
      // The same file can be chosen again after a refusal.
      if (file.current) file.current.value = '';
    });
  };
  return html`
    <section aria-labelledby="bind-title" class="card" id="binding">
      <h2 id="bind-title">Binding</h2>
      <p id="bound-chair" data-address=${bound || ''}>${!bind ? 'Not known yet.' : bound ?
        html`Bound chair: <strong>${bind.boundName || 'unnamed chair'}</strong> <span class="mono">${bind.boundAddress}</span>` :
        'No chair is bound.'}</p>
      <div class="row">
        <button type="button" id="bind-connected" disabled=${!can_bind || action.busy} onClick=${bind_now}>
          Bind the connected chair</button>
        <button type="button" id="bind-forget" disabled=${!online || !bound || action.busy} onClick=${forget}>
          Forget the bound chair</button>
      </div>
      <label class="check"><input type="checkbox" id="bind-auto" checked=${!!(bound && bind.autoConnect)}
             disabled=${!online || !bound || action.busy} onChange=${(e) => auto(e.currentTarget.checked)}/>
        <span>Connect to the bound chair automatically${!bound && html` <span class="muted small">(bind a chair first)</span>`}</span></label>
      <div class="row">
        <button type="button" id="bind-export" disabled=${!online || action.busy} onClick=${export_file}>Export to a file</button>
        <label class=${'file' + (!online || action.busy ? ' disabled' : '')}>Import from a file…
          <input type="file" id="bind-import" ref=${file} accept="application/json,.json" disabled=${!online || action.busy}
                 onChange=${import_file}/></label>
      </div>
      <${Message} action=${action} id="bind-message"/>
      <${InitForm} bind=${bind} chair=${state.chair} enabled=${online && !!bind} client=${client}/>
    </section>`;
}

function LogPanel({log}) {
  const [filter, set_filter] = useState('');
  const [frames, set_frames] = useState(false);
  const shown = model.filter_log(log, filter, frames);
  const kShownLines = 400;
  return html`
    <section aria-labelledby="log-title" class="card wide" id="log">
      <h2 id="log-title">Log</h2>
      <div class="row">
        <label class="field inline" for="log-filter">Filter</label>
        <input type="search" id="log-filter" value=${filter} onInput=${(e) => set_filter(e.currentTarget.value)}/>
        <label class="check inline"><input type="checkbox" id="log-frames" checked=${frames}
               onChange=${(e) => set_frames(e.currentTarget.checked)}/> Show frames</label>
        <span class="muted small" id="log-count">${shown.length} of ${log.length} lines</span>
      </div>
      <ol class="log-lines" id="log-lines" aria-label="Log lines, newest first" tabindex="0">
        ${shown.slice(0, kShownLines).map((line) => html`
          <li key=${line.seq} class=${`log-${line.kind}`}><time>${model.format_clock(line.time)}</time> ${said(line.text)}${
            line.repeat > 1 ? html` <span class="repeat">×${line.repeat}</span>` : ''}</li>`)}
      </ol>
    </section>`;
}

function App({client, reload_if_moved}) {
  const [state, dispatch] = useReducer(model.reduce, undefined, model.initial_state);
  const now = useNow(1000);
  const history_at = useRef(0);
  useEffect(() => {
    const presence = announce_page();
    const stop = follow_events(client, {
      on_first: async () => {
        dispatch({kind: 'online'});
        // Nothing is replayed on a stream: read what may have changed while it was away. The
        // timer, history and Bluetooth routes may be missing from an older service.
        const since = history_at.current ? {since: history_at.current} : {};
        const [bind, devices, bluetooth, timer, history, config] = await Promise.all([
          client.call('/api/bind/get'), client.call('/api/devices'), client.call('/api/bluetooth'),
          client.call('/api/timer/get'), client.call('/api/history', since), load_config().catch(() => null)]);
        if (bind.ok) dispatch({kind: 'bind', bind: bind.data});
        if (devices.ok && Array.isArray(devices.data)) dispatch({kind: 'devices', list: devices.data});
        if (bluetooth.ok) dispatch({kind: 'event', record: {type: 'bluetooth', ...bluetooth.data}, now: Date.now()});
        if (timer.ok) dispatch({kind: 'event', record: {type: 'timer', seconds: timer.data.seconds}, now: Date.now()});
        if (history.ok && Array.isArray(history.data)) {
          const last = history.data[history.data.length - 1];
          if (last && Number.isFinite(last.t)) history_at.current = last.t;
          dispatch({kind: 'history', entries: history.data, now: Date.now()});
        }
        dispatch({kind: 'features', features: {timer: timer.ok, history: history.ok}});
        if (config) dispatch({kind: 'link', link: config.link});
      },
      on_record: (record) => dispatch({kind: 'event', record, now: Date.now()}),
      on_down: () => dispatch({kind: 'offline'}),
      before_retry: reload_if_moved,
    });
    return () => {
      stop();
      presence.close();
    };
  }, []);

  const connect_to = (address, name) => {
    dispatch({kind: 'deliberate'});
    dispatch({kind: 'target', address, name});
    return client.call('/api/connect', {addr: address}, {timeout_ms: kSlowRouteTimeoutMs});
  };
  const shared = {state, dispatch, client, now};
  const view = model.link_view(state, now);
  return html`
    <a class="skip" href="#controls">Skip to the controls</a>
    <${ConnectionBar} ...${shared} connect_to=${connect_to}/>
    <div class="banner" role="alert" id="offline-banner">${state.online ? '' : state.ever_online ?
      'Service unavailable. Trying again… The values below are the last ones known.' : 'Waiting for the service…'}</div>
    ${state.online && view.unavailable && html`<${BluetoothNotice} bluetooth=${state.bluetooth}/>`}
    <main class=${state.online ? 'grid' : 'grid stale'} aria-busy=${state.online ? 'false' : 'true'}>
      <${ScanPanel} ...${shared} connect_to=${connect_to}/>
      <${ControlsPanel} ...${shared}/>
      <${StatusPanel} ...${shared}/>
      <${BindingPanel} ...${shared}/>
      <${LogPanel} log=${state.log}/>
    </main>`;
}

async function start() {
  const root = document.getElementById('app');
  let config;
  try {
    config = await load_config();
  } catch (e) {
    root.textContent = `The panel does not know where the service is (${e.message}).`;
    return;
  }
  // When the panel had to start the service on another port, the page's security policy names
  // the old one: only a fresh load picks up the new address.
  const reload_if_moved = async () => {
    try {
      const now = await load_config();
      if (now.serviceUrl !== config.serviceUrl) {
        location.reload();
        return false;
      }
    } catch {
      // The panel itself is gone for now; keep trying the service.
    }
    return true;
  };
  root.textContent = '';
  render(html`<${App} client=${new ServiceClient(config.serviceUrl)} reload_if_moved=${reload_if_moved}/>`, root);
}

start();
