// The page's side of the service's HTTP contract. Every request is a "simple" cross-origin
// request (GET, or POST with a text/plain body) because the service answers CORS with
// Access-Control-Allow-Origin alone and no preflight.

// Connecting and starting a scan wait for the Bluetooth stack, each step up to about 20 s.
export const kSlowRouteTimeoutMs = 90000;
export const kRouteTimeoutMs = 15000;
export const kUnavailable = 'service unavailable';

// The panel's own server says where the service is; it changes only when the panel had to
// start a service on another port.
export async function load_config() {
  const reply = await fetch('config.json', {cache: 'no-store'});
  if (!reply.ok) throw new Error(`config.json: HTTP ${reply.status}`);
  const config = await reply.json();
  if (typeof config.serviceUrl !== 'string' || !config.serviceUrl) throw new Error('config.json names no service');
  // The connected chair as the panel saw it connect, for a page that was not there then.
  return {serviceUrl: config.serviceUrl.replace(/\/+$/, ''), link: config.link || null};
}

// Tells the panel that this page is open, for as long as it is: the panel ends some time after
// the last page has gone. The browser reopens the stream by itself after a hiccup.
export function announce_page() {
  return new EventSource('presence');
}

export class ServiceClient {
  constructor(base_url) {
    this.base_url = base_url;
  }

  url(path, params) {
    const query = new URLSearchParams();
    for (const [key, value] of Object.entries(params || {})) query.set(key, String(value));
    const text = query.toString();
    return this.base_url + path + (text ? `?${text}` : '');
  }

  // Resolves to {ok: true, data} or {ok: false, error, unreachable?}; never rejects.
  async call(path, params = {}, {timeout_ms = kRouteTimeoutMs, body} = {}) {
    let reply;
    try {
      const init = {cache: 'no-store', signal: AbortSignal.timeout(timeout_ms)};
      // A string body goes out as text/plain, which keeps the request simple.
      if (body !== undefined) Object.assign(init, {method: 'POST', body});
      reply = await fetch(this.url(path, params), init);
    } catch (e) {
      if (e && e.name === 'TimeoutError') return {ok: false, error: 'the service did not answer in time'};
      return {ok: false, error: kUnavailable, unreachable: true};
    }
    let data;
    try {
      data = await reply.json();
    } catch {
      return {ok: false, error: `unexpected reply from the service (HTTP ${reply.status})`};
    }
    if (data && typeof data === 'object' && !Array.isArray(data) && data.ok === false) {
      return {ok: false, error: typeof data.error === 'string' ? data.error : 'the service refused'};
    }
    return {ok: true, data};
  }

  // The body of /api/bind/export exactly as sent, for saving to a file.
  async text(path) {
    try {
      const reply = await fetch(this.url(path), {cache: 'no-store', signal: AbortSignal.timeout(kRouteTimeoutMs)});
      return {ok: true, text: await reply.text()};
    } catch {
      return {ok: false, error: kUnavailable, unreachable: true};
    }
  }
}

// Follows /api/events for as long as the page lives. The stream has no history, so whoever
// listens must re-read what it shows once the first record (the state snapshot) has arrived.
// EventSource's own retry gives up on some failures; this one never does, and before each
// retry asks `before_retry` (which may reload the page when the service moved).
export function follow_events(client, {on_first, on_record, on_down, before_retry}) {
  let source = null;
  let timer = null;
  let failures = 0;
  let stopped = false;

  const open = () => {
    let first = true;
    source = new EventSource(client.url('/api/events'));
    source.onmessage = (message) => {
      let record;
      try {
        record = JSON.parse(message.data);
      } catch {
        return;
      }
      if (first) {
        first = false;
        failures = 0;
        on_first(record);
      }
      on_record(record);
    };
    source.onerror = () => {
      source.close();
      on_down();
      if (stopped) return;
      const delay = Math.min(400 * 2 ** failures, 3000);
      failures++;
      timer = setTimeout(async () => {
        if (stopped) return;
        if (before_retry && (await before_retry()) === false) return;
        open();
      }, delay);
    };
  };
  open();
  return () => {
    stopped = true;
    clearTimeout(timer);
    if (source) source.close();
  };
}
