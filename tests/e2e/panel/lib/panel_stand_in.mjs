// Stands in for chair-panel while it does not exist as a binary, and behaves as it is meant
// to: starts chair-service as its child the way a desktop UI does (reads LISTEN_URL=), serves
// the built page on its own 127.0.0.1 port with a security policy that names the service,
// answers config.json, starts a new service on the same port when one dies, and on stop calls
// /api/shutdown before it ends the service.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import {wait_for_line, Processes} from './stack.mjs';

const kTypes = {
  '.html': 'text/html; charset=utf-8', '.mjs': 'text/javascript; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8', '.svg': 'image/svg+xml', '.json': 'application/json; charset=utf-8',
  '.txt': 'text/plain; charset=utf-8',
};

export function content_security_policy(service_url) {
  return [
    "default-src 'none'", "script-src 'self'", "style-src 'self'", "img-src 'self'",
    `connect-src 'self' ${service_url}`, "base-uri 'none'", "form-action 'none'", "frame-ancestors 'none'",
  ].join('; ');
}

function read_tree(dir) {
  const files = new Map();
  for (const name of fs.readdirSync(dir, {recursive: true})) {
    const full = path.join(dir, name);
    if (fs.statSync(full).isFile()) files.set('/' + name.split(path.sep).join('/'), fs.readFileSync(full));
  }
  return files;
}

export async function start_panel_stand_in({procs, service_bin, env, web_dir}) {
  // The page is read once, as the binary will carry it: nothing outside it can be served.
  const files = read_tree(web_dir);
  const state = {service: null, service_url: '', port: 0, stopping: false, starts: 0};

  const start_service = async () => {
    const args = state.port ? ['--port', String(state.port)] : [];
    const child = procs.spawn(service_bin, args, {env}, 'chair-service');
    state.starts++;
    try {
      const [, url] = await wait_for_line(child, child.stdout, /^LISTEN_URL=(\S+)$/, 10000, 'chair-service');
      state.service = child;
      state.service_url = url;
      state.port = Number(new URL(url).port);
      child.exited.then(() => {
        if (!state.stopping && state.service === child) restart();
      });
    } catch (e) {
      // The old port may still be taken for a moment; a later try may take any free one.
      await Processes.end(child);
      throw e;
    }
  };
  const restart = async () => {
    state.service = null;
    for (let attempt = 0; !state.stopping; attempt++) {
      if (attempt >= 5) state.port = 0;
      try {
        await start_service();
        return;
      } catch {
        await new Promise((r) => setTimeout(r, 200));
      }
    }
  };
  await start_service();

  const server = http.createServer((req, res) => {
    const pathname = new URL(req.url, 'http://panel').pathname;
    const headers = {
      'Content-Security-Policy': content_security_policy(state.service_url),
      'X-Content-Type-Options': 'nosniff',
      'Referrer-Policy': 'no-referrer',
      'Cache-Control': 'no-store',
    };
    if (req.method !== 'GET' && req.method !== 'HEAD') {
      res.writeHead(405, {...headers, Allow: 'GET, HEAD'});
      return res.end();
    }
    let body;
    let type;
    if (pathname === '/config.json') {
      body = Buffer.from(JSON.stringify({serviceUrl: state.service_url}));
      type = kTypes['.json'];
    } else {
      body = files.get(pathname === '/' ? '/index.html' : pathname);
      type = kTypes[path.extname(pathname === '/' ? '/index.html' : pathname)] || 'application/octet-stream';
    }
    if (!body) {
      res.writeHead(404, {...headers, 'Content-Type': 'text/plain; charset=utf-8'});
      return res.end('not found\n');
    }
    res.writeHead(200, {...headers, 'Content-Type': type, 'Content-Length': body.length});
    res.end(req.method === 'HEAD' ? undefined : body);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const panel_url = `http://127.0.0.1:${server.address().port}/`;

  return {
    panel_url,
    get service_url() {
      return state.service_url;
    },
    get service() {
      return state.service;
    },
    get service_starts() {
      return state.starts;
    },
    // As the panel's own exit: quiet the chair first, then end the service.
    async stop() {
      state.stopping = true;
      if (state.service) {
        try {
          await fetch(`${state.service_url}/api/shutdown`, {signal: AbortSignal.timeout(5000)});
        } catch {
          // Already gone: its parent watchdog has nothing left to quiet either.
        }
        await Processes.end(state.service);
      }
      server.closeAllConnections();
      await new Promise((resolve) => server.close(resolve));
    },
  };
}
