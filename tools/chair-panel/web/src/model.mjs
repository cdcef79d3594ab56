// What the page knows, and how each event record of the service changes it. Plain functions
// without the DOM, so the rules can be checked outside a browser.

export const kPlotWindowMs = 10 * 60 * 1000;
// A chair reports every 2 s and after every command; this bounds a window that a flood of
// reports would otherwise grow without limit.
export const kMaxTemperatureSamples = 3000;
export const kMaxLogLines = 1000;

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
    log: [],                // {seq, time ms, text}, newest first
    log_seq: 0,
  };
}

// Keeps only samples newer than the window and at most kMaxTemperatureSamples of them.
export function trim_temperatures(samples, now) {
  const oldest = now - kPlotWindowMs;
  let first = 0;
  while (first < samples.length && samples[first][0] < oldest) first++;
  first = Math.max(first, samples.length - kMaxTemperatureSamples);
  return first > 0 ? samples.slice(first) : samples;
}

function with_log(state, text, now) {
  const seq = state.log_seq + 1;
  const log = [{seq, time: now, text}, ...state.log];
  if (log.length > kMaxLogLines) log.length = kMaxLogLines;
  return {...state, log, log_seq: seq};
}

function with_status(state, record) {
  const status = kLinkStates.includes(record.status) ? record.status : state.status;
  // The snapshot that opens every stream carries no name: a chair that stays connected keeps
  // the name its handshake announced.
  let name = '';
  if (status === 'connected') name = record.name || (state.status === 'connected' ? state.name : '');
  let devices = state.devices;
  // Every scan start empties the service's device table, and so does a restart of a running scan.
  if (status === 'scanning') devices = {};
  return {...state, status, name, devices};
}

// Applies one event record of the stream; `now` is the time of arrival in ms.
export function apply_event(state, record, now) {
  if (!record || typeof record !== 'object') return state;
  switch (record.type) {
    case 'status':
      return with_status(state, record);
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
      return {...state, chair: c, temperatures};
    }
    case 'bind':
      return record.bind ? {...state, bind: record.bind} : state;
    case 'autoconnect': {
      const next = {...state, autoconnect: record.status || ''};
      if (record.bind) next.bind = record.bind;
      // The supervisor connects to the bound chair: that is the chair a later "bind" means.
      if (record.status === 'connecting' && record.bind && record.bind.boundAddress) {
        next.target = {address: record.bind.boundAddress, name: record.bind.boundName || ''};
      }
      return next;
    }
    default:
      return state;
  }
}

// The device list as shown: strongest signal first, ties by address so rows do not jump.
export function sorted_devices(devices) {
  return Object.values(devices).sort(
      (a, b) => (b.rssi ?? -999) - (a.rssi ?? -999) || String(a.address).localeCompare(String(b.address)));
}

export function filter_log(log, filter) {
  const needle = filter.trim().toLowerCase();
  if (!needle) return log;
  return log.filter((line) => line.text.toLowerCase().includes(needle));
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
