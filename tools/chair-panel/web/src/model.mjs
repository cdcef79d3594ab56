// What the page knows, and how each event record of the service changes it. Plain functions
// without the DOM, so the rules can be checked outside a browser.

// The plot shows one of these spans, ending now; the service keeps a day of reports.
export const kPlotRanges = [{label: '10 min', ms: 10 * 60 * 1000}, {label: '1 h', ms: 60 * 60 * 1000},
  {label: '24 h', ms: 24 * 60 * 60 * 1000}];
export const kKeepMs = kPlotRanges[kPlotRanges.length - 1].ms;
// A chair reports every 2 s and after every command; this bounds a day that a flood of
// reports would otherwise grow without limit.
export const kMaxTemperatureSamples = 50000;
export const kMaxLogLines = 1000;
// Without a report for this long the values shown are no longer the chair's present ones, and
// the plot breaks instead of drawing a line across.
export const kStaleMs = 5000;

// The service's own defaults, shown until a binding has been read.
export const kDefaultInit = {water: 'cool', coolLevel: 10, heatLevel: 6, lumbar: 3, vibrate: 0, volume: 0};

export const kLinkStates = ['idle', 'scanning', 'connecting', 'connected'];

export function initial_state() {
  return {
    online: false,          // the event stream is open and its first record has arrived
    ever_online: false,
    status: 'idle',
    name: '',               // the connected chair's name, from the status event that ended its handshake
    target: null,           // {address, name}: the chair the page last asked to connect to
    devices: {},            // address -> device record, from the current or last scan
    chair: null,            // the last chair record
    temperatures: [],       // [time ms, raw temperature] within the plot window, oldest first
    bind: null,             // the binding record as stored by the service
    autoconnect: '',        // the supervisor's last state: connecting or waiting
    log: [],                // {seq, time ms, text, kind, repeat}, newest first
    log_seq: 0,
    report_at: 0,           // when the last chair record arrived (ms)
    // The link went down without anybody asking: {since ms, attempts of auto-connect since}.
    lost: null,
    // A deliberate end of the link is on its way (the user, a shutdown, the timer): the next
    // drop is no loss.
    expect_drop: false,
    bluetooth: null,        // {state, message} once known; state "ready" when usable
    timer_ends: 0,          // when the session timer stops everything (ms), 0 without one
    features: {},           // {timer, history}: the routes this service offers
  };
}

// Keeps only samples of the last day and at most kMaxTemperatureSamples of them.
export function trim_temperatures(samples, now) {
  const oldest = now - kKeepMs;
  let first = 0;
  while (first < samples.length && samples[first][0] < oldest) first++;
  first = Math.max(first, samples.length - kMaxTemperatureSamples);
  return first > 0 ? samples.slice(first) : samples;
}

// What a log line is about, so that the ones a person looks for stand out and frames can hide.
const kProblem = /fail|error|timed? ?out|blocked|reconnecting$|may still|失败|未检测到|无法|未开启|断开|必须|缺少/i;
const kLink = /^(connected |connecting |disconnected$|auto connecting |绑定后立即连接|chair entered silent state|silent shutdown)/;

export function log_kind(text) {
  if (/^(TX|RX): /.test(text)) return 'frame';
  if (kProblem.test(text)) return 'problem';
  if (kLink.test(text)) return 'link';
  if (/^已(绑定|解绑|导入|更新)/.test(text)) return 'bind';
  return 'info';
}

// Lines that end the link on purpose: a drop that follows (a shutdown) or has just come (a
// disconnect asked by another client) is no loss. A connection asked for while one is up
// replaces it.
const kEnding = /^(disconnected|silent shutdown: .*|chair entered silent state)$/;
const kReplacing = /^connecting .* \.\.\.$/;

function with_log(state, text, now) {
  const [newest] = state.log;
  // A line said again and again (a chair that keeps refusing) is one line with a count.
  if (newest && newest.text === text) {
    const log = [{...newest, time: now, repeat: newest.repeat + 1}, ...state.log.slice(1)];
    return {...state, log};
  }
  const seq = state.log_seq + 1;
  const log = [{seq, time: now, text, kind: log_kind(text), repeat: 1}, ...state.log];
  if (log.length > kMaxLogLines) log.length = kMaxLogLines;
  const next = {...state, log, log_seq: seq};
  if (kEnding.test(text)) return {...next, expect_drop: state.status === 'connected', lost: null};
  if (kReplacing.test(text) && state.status === 'connected') return {...next, expect_drop: true};
  return next;
}

function with_status(state, record, now) {
  const status = kLinkStates.includes(record.status) ? record.status : state.status;
  // The snapshot that opens every stream carries no name: a chair that stays connected keeps
  // the name its handshake announced.
  let name = '';
  if (status === 'connected') name = record.name || (state.status === 'connected' ? state.name : '');
  let devices = state.devices;
  // Every scan start empties the service's device table, and so does a restart of a running scan.
  if (status === 'scanning') devices = {};
  let {lost, expect_drop} = state;
  if (status === 'connected') {
    lost = null;
    expect_drop = false;
  } else if (state.status === 'connected' && status !== 'scanning') {
    if (!expect_drop) lost = {since: now, attempts: 0};
    expect_drop = false;
  }
  return {...state, status, name, devices, lost, expect_drop};
}

// Applies one event record of the stream; `now` is the time of arrival in ms.
export function apply_event(state, record, now) {
  if (!record || typeof record !== 'object') return state;
  switch (record.type) {
    case 'status':
      return with_status(state, record, now);
    case 'log':
      return typeof record.log === 'string' ? with_log(state, record.log, now) : state;
    case 'device': {
      const d = record.device;
      if (!d || typeof d.address !== 'string') return state;
      return {...state, devices: {...state.devices, [d.address]: d}};
    }
    case 'chair': {
      const c = record.chair;
      if (!c || typeof c !== 'object') return state;
      let temperatures = state.temperatures;
      if (Number.isInteger(c.temp)) temperatures = trim_temperatures([...temperatures, [now, c.temp]], now);
      return {...state, chair: c, temperatures, report_at: now};
    }
    case 'bind':
      return record.bind ? {...state, bind: record.bind} : state;
    case 'autoconnect': {
      const next = {...state, autoconnect: record.status || ''};
      if (state.lost && record.status === 'connecting') next.lost = {...state.lost, attempts: state.lost.attempts + 1};
      if (record.bind) next.bind = record.bind;
      // The supervisor connects to the bound chair: that is the chair a later "bind" means.
      if (record.status === 'connecting' && record.bind && record.bind.boundAddress) {
        next.target = {address: record.bind.boundAddress, name: record.bind.boundName || ''};
      }
      return next;
    }
    case 'bluetooth':
      return typeof record.state === 'string' ? {...state, bluetooth: {state: record.state, message: record.message || ''}} :
        state;
    case 'timer': {
      if (!Number.isInteger(record.seconds)) return state;
      // At expiry the service stops everything: that drop is no loss. A cancelled timer ends
      // before it was due.
      const expired = record.seconds === 0 && state.timer_ends > 0 && now >= state.timer_ends - 2000;
      return {...state, timer_ends: record.seconds > 0 ? now + record.seconds * 1000 : 0,
        expect_drop: state.expect_drop || (expired && state.status === 'connected')};
    }
    default:
      return state;
  }
}

// The report history of the service ([{chair, t}], oldest first) as plot samples, followed by
// the samples of the stream that are newer than it.
export function merge_history(samples, entries, now) {
  const older = [];
  for (const e of Array.isArray(entries) ? entries : []) {
    if (e && Number.isFinite(e.t) && e.chair && Number.isInteger(e.chair.temp)) older.push([e.t, e.chair.temp]);
  }
  const last = older.length ? older[older.length - 1][0] : -Infinity;
  return trim_temperatures([...older, ...samples.filter(([t]) => t > last)], now);
}

// Plot columns for the span ending `now`: a gap in the reports breaks the line.
export function plot_columns(samples, span_ms, now) {
  const xs = [];
  const ys = [];
  let before = -Infinity;
  for (const [t, v] of samples) {
    if (t < now - span_ms) continue;
    if (t - before > 2 * kStaleMs && xs.length) {
      xs.push((before + t) / 2000);
      ys.push(null);
    }
    xs.push(t / 1000);
    ys.push(v);
    before = t;
  }
  return [xs, ys];
}

// What the link looks like now: lost and waiting for auto-connect, or the values stale.
export function link_view(state, now) {
  const bound = state.bind && state.bind.boundAddress && state.bind.autoConnect;
  return {
    lost: state.lost ? {...state.lost, reconnecting: !!bound} : null,
    stale: !!state.chair && now - state.report_at > kStaleMs,
    unavailable: !!state.bluetooth && state.bluetooth.state !== 'ready',
  };
}

// What the initial settings will do to the chair, in a few words.
export function init_summary(init) {
  const i = {...kDefaultInit, ...(init || {})};
  const parts = [];
  if (i.water === 'off') parts.push('water off');
  else if (i.water === 'heat') parts.push(i.heatLevel > 0 ? `heating ${i.heatLevel}` : 'water on');
  else parts.push(i.coolLevel > 0 ? `cooling ${i.coolLevel}` : 'water on');
  for (const [key, label] of [['lumbar', 'lumbar'], ['vibrate', 'vibration'], ['volume', 'volume']]) {
    if (i[key] > 0) parts.push(`${label} ${i[key]}`);
  }
  return parts.join(', ');
}

// The chair's last report as initial settings; levels the chair does not report for the
// mode it is in are kept from `init`.
export function init_from_chair(chair, init) {
  const i = {...kDefaultInit, ...(init || {})};
  const water = reported_water(chair);
  const clamp = (v) => Math.max(0, Math.min(10, v));
  return {
    water: water.mode,
    coolLevel: chair.cold > 0 ? clamp(chair.cold) : i.coolLevel,
    heatLevel: chair.hot > 0 ? clamp(chair.hot) : i.heatLevel,
    lumbar: clamp(chair.lumbar), vibrate: clamp(chair.vibrate), volume: clamp(chair.volume),
  };
}

// The service's own texts stay as they are on the wire; the page says the ones it knows in its
// own language and keeps the original for a tooltip.
const kKnownTexts = [
  [/^未检测到蓝牙适配器 \((.*)\)$/, (m) => `No Bluetooth adapter found (${m[1]})`],
  [/^无法获取蓝牙无线电状态 \((.*)\)$/, (m) => `The Bluetooth radio cannot be read (${m[1]})`],
  [/^(Windows )?蓝牙未开启/, () => 'Bluetooth is switched off: switch it on in the system settings'],
  [/^已绑定座椅 (.*) \(([^()]*)\)$/, (m) => `Bound the chair ${m[1] || 'without a name'} (${m[2]})`],
  [/^已解绑座椅$/, () => 'Forgot the bound chair'],
  [/^已导入配置$/, () => 'Imported the binding'],
  [/^已更新初始化参数$/, () => 'Saved the initial settings'],
  [/^解析失败: (.*)$/, (m) => `Not a valid settings file: ${m[1]}`],
  [/^强度必须 1-10，当前 (.*)$/, (m) => `A level must be 1 to 10, not ${m[1]}`],
  [/^缺少 addr 参数$/, () => 'No chair address was given'],
  [/^座椅连接已断开，将自动重连$/, () => 'Lost the chair; reconnecting automatically'],
  [/^绑定后立即连接 (.*) \.\.\.$/, (m) => `Connecting the chair just bound, ${m[1]} …`],
  [/^connect failed$/, () => 'Could not connect to the chair'],
  [/^connect failed: (.*)$/, (m) => `Could not connect to the chair: ${m[1]}`],
  [/^MAC parse failed$/, () => 'Could not connect: not a chair address'],
  [/^not connected or characteristic not found$/, () => 'No chair is connected'],
  [/^status poll failed; reconnecting$/, () => 'The chair stopped answering; the link was dropped'],
  [/^(.*); reconnecting$/, (m) => `Could not set up the chair's connection (${m[1]}); the link was dropped`],
  [/^scan blocked: (.*)$/, (m) => `Cannot scan: ${translate(m[1]).text}`],
];

// {text, original}: original is set when the text was translated.
export function translate(text) {
  for (const [pattern, say] of kKnownTexts) {
    const m = pattern.exec(text);
    if (m) return {text: say(m), original: text};
  }
  return {text, original: ''};
}

// The device list as shown: strongest signal first, ties by address so rows do not jump.
export function sorted_devices(devices) {
  return Object.values(devices).sort(
      (a, b) => (b.rssi ?? -999) - (a.rssi ?? -999) || String(a.address).localeCompare(String(b.address)));
}

// Frames are hidden unless asked for; the filter matches the original text and what is shown.
export function filter_log(log, filter, frames = true) {
  const needle = filter.trim().toLowerCase();
  return log.filter((line) => (frames || line.kind !== 'frame') && (!needle ||
      line.text.toLowerCase().includes(needle) || translate(line.text).text.toLowerCase().includes(needle)));
}

// The water mode the chair reports. Cooling and heating exclude each other on the chair; with
// the water off neither runs, whatever level it still holds.
export function reported_water(chair) {
  if (!chair) return null;
  if (!chair.waterOn) return {mode: 'off', level: chair.cold || chair.hot || 0};
  if (chair.cold > 0) return {mode: 'cool', level: chair.cold};
  if (chair.hot > 0) return {mode: 'heat', level: chair.hot};
  return {mode: 'off', level: 0};
}

const kLevelCommands = {cold: 0x02, hot: 0x03, vibrate: 0x04, volume: 0x05, lumbar: 0x06};

// The level route takes 1..10 only; "off" is the level-0 frame the chair itself understands,
// the same frame the service sends when it quiets the chair.
export function zero_level_hex(fn) {
  const command = kLevelCommands[fn];
  if (command === undefined) throw new Error(`unknown level ${fn}`);
  const toChair = 0x0a;
  const length = 0x02;
  const checksum = command ^ toChair ^ length ^ 0x00;
  return [0x55, command, toChair, length, 0x00, checksum, 0xaa]
      .map((b) => b.toString(16).toUpperCase().padStart(2, '0'))
      .join(' ');
}

export const kSwitchBytes = {waterOn: 0x40, waterOff: 0x04, motionOff: 0x02, audioOff: 0x01};

// The same settings always give the same key, whichever order the service wrote them in (an
// event record keeps its own member order, a route's reply sorts them).
export function init_key(init) {
  return init ? JSON.stringify(Object.keys(kDefaultInit).map((k) => init[k])) : '';
}

// The initial settings form's values as the service stores them; levels are whole numbers 0..10.
export function init_from_form(fields) {
  const out = {water: ['cool', 'heat', 'off'].includes(fields.water) ? fields.water : 'cool'};
  for (const key of ['coolLevel', 'heatLevel', 'lumbar', 'vibrate', 'volume']) {
    const text = String(fields[key] ?? '').trim();
    if (!/^\d{1,2}$/.test(text) || Number(text) > 10) return {error: `${key} must be a whole number from 0 to 10`};
    out[key] = Number(text);
  }
  return {init: out};
}

export function format_clock(ms) {
  const d = new Date(ms);
  return [d.getHours(), d.getMinutes(), d.getSeconds()].map((n) => String(n).padStart(2, '0')).join(':');
}

// The page's one reducer: event records, plus what the page learns from its own requests.
export function reduce(state, action) {
  switch (action.kind) {
    case 'event':
      return apply_event(state, action.record, action.now);
    case 'online':
      return {...state, online: true, ever_online: true};
    case 'offline':
      return state.online ? {...state, online: false} : state;
    case 'devices': {
      const devices = {};
      for (const d of action.list || []) if (d && typeof d.address === 'string') devices[d.address] = d;
      return {...state, devices};
    }
    case 'bind':
      return {...state, bind: action.bind};
    case 'target':
      return {...state, target: {address: action.address, name: action.name || ''}};
    case 'link':
      // What the panel saw of the connection while no page was following it.
      if (!action.link || state.status !== 'connected') return state;
      return {...state, name: state.name || action.link.name || '',
        target: action.link.address ? {address: action.link.address, name: action.link.name || ''} : state.target};
    case 'features':
      return {...state, features: {...state.features, ...action.features}};
    case 'deliberate':
      return {...state, expect_drop: state.status === 'connected', lost: null};
    case 'history': {
      const next = {...state, temperatures: merge_history(state.temperatures, action.entries, action.now)};
      // A page just opened shows the last report at once, greyed when it is old.
      const last = Array.isArray(action.entries) && action.entries[action.entries.length - 1];
      if (!state.chair && last && last.chair && Number.isFinite(last.t)) Object.assign(next, {chair: last.chair, report_at: last.t});
      return next;
    }
    default:
      return state;
  }
}

// One request at a time for a control: a value chosen while another is on its way replaces
// any value still waiting, so the chair ends at the last choice however fast keys repeat (the
// service serves each request on its own thread, in no particular order). `send` resolves with
// the result of the last request it made for this call, or {ok: true} when a later call took
// over. While `busy`, the chair's reports describe values the user has already moved past.
export function serial_sender(request) {
  let waiting = null;
  const sender = {
    busy: false,
    async send(value) {
      if (sender.busy) {
        waiting = {value};
        return {ok: true, superseded: true};
      }
      sender.busy = true;
      try {
        let result = await request(value);
        while (waiting) {
          const next = waiting.value;
          waiting = null;
          result = await request(next);
        }
        return result;
      } finally {
        sender.busy = false;
      }
    },
  };
  return sender;
}
