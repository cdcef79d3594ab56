// The control panel: one page that follows the service's event stream and drives it through
// its routes, as any desktop UI would.
import {h, render} from './vendor/preact.mjs';
import {useEffect, useReducer, useRef, useState} from './vendor/hooks.mjs';
import htm from './vendor/htm.mjs';
import * as model from './model.mjs';
import {ServiceClient, follow_events, kSlowRouteTimeoutMs, load_config} from './service.mjs';
import {TemperaturePlot} from './plot.mjs';

const html = htm.bind(h);

const kStatusText = {idle: 'Idle', scanning: 'Scanning', connecting: 'Connecting', connected: 'Connected'};
const kWaterText = {off: 'Off', cool: 'Cooling', heat: 'Heating'};

// One action of the user: runs a request, says what went wrong in the service's own words.
function useAction() {
  const [busy, set_busy] = useState(false);
  const [message, set_message] = useState(null);
  const run = async (request, success) => {
    set_busy(true);
    set_message(null);
    try {
      const result = await request();
      if (!result.ok) set_message({ok: false, text: result.error});
      else if (success) set_message({ok: true, text: success});
      return result;
    } finally {
      set_busy(false);
    }
  };
  return {run, busy, message, set_message};
}

// Always in the page, so screen readers announce what appears in it.
function Message({action, id}) {
  const m = action.message;
  return html`<p class=${'message' + (m && !m.ok ? ' error' : '')} id=${id} role="status">
    ${m ? (m.ok ? m.text : `Refused: ${m.text}`) : ''}</p>`;
}

function level_text(value) {
  return value === undefined || value === null ? '–' : value === 0 ? 'off' : String(value);
}

// The service reconnects a bound chair by itself: saying only "stopped" would not be true for long.
function stopped_text(bind) {
  return bind && bind.boundAddress && bind.autoConnect ?
    'Stopped: the chair is quiet. Auto-connect is on, so the service will connect the bound chair again shortly.' :
    'Stopped: the chair is quiet.';
}

function ConnectionBar({state, client, connect_to}) {
  const action = useAction();
  const {online, status, name, bind} = state;
  const target = state.target || (bind && bind.boundAddress ? {address: bind.boundAddress, name: bind.boundName} : null);
  const label = !online ? 'Service unavailable' :
      status === 'connected' && name ? `Connected to ${name}` : kStatusText[status];
  const linked = status === 'connected' || status === 'connecting';
  return html`
    <header class="bar">
      <h1>Chair panel</h1>
      <p class="pill" id="link-status" data-status=${online ? status : 'offline'} role="status">${label}</p>
      <div class="bar-actions">
        <button type="button" id="connect" disabled=${!online || !target || linked || action.busy}
                title=${target ? `${target.name || 'chair'} ${target.address}` : 'Scan first, or bind a chair'}
                onClick=${() => action.run(() => connect_to(target.address, target.name))}>
          Connect${target ? html` <span class="small">${target.name || target.address}</span>` : ''}
        </button>
        <button type="button" id="disconnect" disabled=${!online || !linked || action.busy}
                onClick=${() => action.run(() => client.call('/api/disconnect'))}>Disconnect</button>
        <button type="button" id="stop-everything" class="danger" disabled=${!online || action.busy}
                onClick=${() => action.run(() => client.call('/api/shutdown'), stopped_text(bind))}>
          Stop everything</button>
      </div>
      <${Message} action=${action} id="bar-message"/>
    </header>`;
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
          ${devices.map((d) => html`
            <li key=${d.address} data-address=${d.address}>
              <span class="device-name">${d.name || 'unnamed chair'}</span>
              <span class="device-facts">
                <span>${d.address}</span>
                <span><span class="sr-only">signal </span>${d.rssi} dBm</span>
                <span>${d.hits} ${d.hits === 1 ? 'hit' : 'hits'}</span>
              </span>
              <button type="button" class="device-connect" aria-label=${`Connect to ${d.name || d.address}`}
                      disabled=${!state.online || action.busy}
                      onClick=${() => action.run(() => connect_to(d.address, d.name))}>Connect</button>
            </li>`)}
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
  const mode = wanted ? wanted.mode : 'off';
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
        <input type="range" id="water-level" min="1" max="10" step="1" value=${level} disabled=${mode === 'off'}
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

function ControlsPanel({state, client}) {
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
    </section>`;
}

function StatusPanel({state, client}) {
  const action = useAction();
  const c = state.chair;
  const yes_no = (v, yes, no) => (v ? yes : no);
  const facts = c ? [
    ['Cooling', level_text(c.cold)], ['Heating', level_text(c.hot)], ['Vibration', level_text(c.vibrate)],
    ['Volume', level_text(c.volume)], ['Lumbar', level_text(c.lumbar)],
    ['Water', yes_no(c.waterOn, 'on', 'off')], ['Heater', yes_no(c.heating, 'running', 'off')],
    ['Seated', yes_no(c.seated, 'yes', 'no')], ['Motion', yes_no(c.motion, 'on', 'off')],
    ['Bluetooth audio', yes_no(c.btAudio, 'on', 'off')], ['Headphone', yes_no(c.headphone, 'plugged in', 'none')],
  ] : [];
  return html`
    <section aria-labelledby="status-title" class="card" id="live">
      <h2 id="status-title">Live status</h2>
      <p class="temperature"><span class="muted">Temperature</span>
        <span id="temperature" data-value=${c ? c.temp : ''}>${c ? `${c.temp} °C` : '–'}</span></p>
      ${c ? html`<dl class="facts" id="facts">${facts.map(([k, v]) => html`<div key=${k}><dt>${k}</dt><dd>${v}</dd></div>`)}</dl>` :
        html`<p class="muted">No report from a chair yet.</p>`}
      <${TemperaturePlot} samples=${state.temperatures}/>
      ${c && html`<p class="raw small muted">Last frame: <code>${c.raw}</code></p>`}
      <button type="button" id="query" disabled=${!state.online || state.status !== 'connected' || action.busy}
              onClick=${() => action.run(() => client.call('/api/cmd/query'))}>Ask the chair for a full report</button>
      <${Message} action=${action}/>
    </section>`;
}

function InitForm({bind, enabled, client}) {
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
  const submit = (e) => {
    e.preventDefault();
    const parsed = model.init_from_form(draft);
    if (parsed.error) {
      action.set_message({ok: false, text: parsed.error});
      return;
    }
    action.run(() => client.call('/api/bind/init', {}, {body: JSON.stringify(parsed.init)}), 'Saved; applied after the next connection.');
  };
  return html`
    <form class="init" onSubmit=${submit} aria-labelledby="init-title">
      <fieldset disabled=${!enabled}>
        <legend id="init-title">Initial settings, applied after every connection</legend>
        <label class="field"><span>Water</span>
          <select name="water" id="init-water" value=${draft.water || 'cool'}
                  onChange=${(e) => edit('water', e.currentTarget.value)}>
            <option value="cool">Cooling</option><option value="heat">Heating</option><option value="off">Off</option>
          </select></label>
        ${field('coolLevel', 'Cooling level')}${field('heatLevel', 'Heating level')}
        ${field('lumbar', 'Lumbar')}${field('vibrate', 'Vibration')}${field('volume', 'Volume')}
        <button type="submit" id="init-save" disabled=${action.busy}>Save initial settings</button>
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
      <label class="check"><input type="checkbox" id="bind-auto" checked=${!!(bind && bind.autoConnect)}
             disabled=${!online || !bind || action.busy} onChange=${(e) => auto(e.currentTarget.checked)}/>
        Connect to the bound chair automatically</label>
      <div class="row">
        <button type="button" id="bind-export" disabled=${!online || action.busy} onClick=${export_file}>Export to a file</button>
        <label class="file">Import from a file
          <input type="file" id="bind-import" ref=${file} accept="application/json,.json" disabled=${!online || action.busy}
                 onChange=${import_file}/></label>
      </div>
      <${Message} action=${action} id="bind-message"/>
      <${InitForm} bind=${bind} enabled=${online && !!bind} client=${client}/>
    </section>`;
}

function LogPanel({log}) {
  const [filter, set_filter] = useState('');
  const shown = model.filter_log(log, filter);
  const kShownLines = 400;
  return html`
    <section aria-labelledby="log-title" class="card wide" id="log">
      <h2 id="log-title">Log</h2>
      <div class="row">
        <label class="field inline" for="log-filter">Filter</label>
        <input type="search" id="log-filter" value=${filter} onInput=${(e) => set_filter(e.currentTarget.value)}/>
        <span class="muted small" id="log-count">${shown.length} of ${log.length} lines</span>
      </div>
      <ol class="log-lines" id="log-lines" aria-label="Log lines, newest first" tabindex="0">
        ${shown.slice(0, kShownLines).map((line) => html`
          <li key=${line.seq}><time>${model.format_clock(line.time)}</time> <span>${line.text}</span></li>`)}
      </ol>
    </section>`;
}

function App({client, reload_if_moved}) {
  const [state, dispatch] = useReducer(model.reduce, undefined, model.initial_state);
  useEffect(() => follow_events(client, {
    on_first: async () => {
      dispatch({kind: 'online'});
      // Nothing is replayed on a stream: read what may have changed while it was away.
      const [bind, devices] = await Promise.all([client.call('/api/bind/get'), client.call('/api/devices')]);
      if (bind.ok) dispatch({kind: 'bind', bind: bind.data});
      if (devices.ok && Array.isArray(devices.data)) dispatch({kind: 'devices', list: devices.data});
    },
    on_record: (record) => dispatch({kind: 'event', record, now: Date.now()}),
    on_down: () => dispatch({kind: 'offline'}),
    before_retry: reload_if_moved,
  }), []);

  const connect_to = (address, name) => {
    dispatch({kind: 'target', address, name});
    return client.call('/api/connect', {addr: address}, {timeout_ms: kSlowRouteTimeoutMs});
  };
  const shared = {state, dispatch, client};
  return html`
    <a class="skip" href="#controls">Skip to the controls</a>
    <${ConnectionBar} ...${shared} connect_to=${connect_to}/>
    <div class="banner" role="alert" id="offline-banner">${state.online ? '' : state.ever_online ?
      'Service unavailable. Trying again… The values below are the last ones known.' : 'Waiting for the service…'}</div>
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
