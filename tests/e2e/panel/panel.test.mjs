// The panel in a real browser against the real service and the simulated chair on a private
// bus. The steps build on each other (scan, connect, drive, bind, recover, stop), as a person
// would use the page, so they run in order on one set of processes.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import {after, before, describe, it} from 'node:test';
import {createRequire} from 'node:module';
import {chromium_path, launch_browser, watch_page} from './lib/browser.mjs';
import {start_panel} from './lib/panel.mjs';
import {
  Processes, binary, eventually, kChairAddress, kChairName, repo_root, sim_ctl, sim_status, sim_writes, start_bus,
  start_sim, temp_dir,
} from './lib/stack.mjs';

const axe_source = fs.readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');
// The picture in README and docs/panel.md, taken anew by every run so that it stays true; the
// dark and narrow ones are only for looking at.
const screenshot_file = process.env.CHAIR_PANEL_SCREENSHOT || path.join(repo_root, 'docs', 'panel.png');
const more_shots_dir = process.env.CHAIR_PANEL_SHOTS || path.join(repo_root, 'build', 'panel');
const kStep = {timeout: 40000};

// Counted as a failure of its own, not only as cancelled steps: a machine without the browser
// or the binaries has not run the panel's tests.
it('has chromium and the panel, service and simulator binaries to run', () => {
  chromium_path();
  binary('chair-panel');
  binary('chair-service');
  binary('chair-sim');
});

describe('the panel against the simulated chair', () => {
  let procs;
  let work;
  let bus;
  let panel;
  let browser;
  let page;
  let seen;
  let errors_before_kill = [];
  const service_urls = new Set();

  const text = (selector) => page.$eval(selector, (e) => e.textContent.replace(/\s+/g, ' ').trim());
  const attr = (selector, name) => page.$eval(selector, (e, n) => e.getAttribute(n), name);
  const enabled = (selector) => page.$eval(selector, (e) => !e.disabled && !e.closest('fieldset:disabled'));
  // A control that is busy with the previous action is disabled and would swallow the click.
  const press = async (selector) => {
    await until(`${selector} to be enabled`, () => enabled(selector));
    await page.click(selector);
  };
  const upload = async (selector, file) => {
    await until(`${selector} to be enabled`, () => enabled(selector));
    await (await page.$(selector)).uploadFile(file);
  };
  const bind_file = () => JSON.parse(fs.readFileSync(path.join(work, 'data', 'bind.json'), 'utf8'));
  // A step that times out says what the service was telling the page at the time.
  const until = async (what, condition, timeout = 15000) => {
    try {
      return await eventually(condition, {what, timeout});
    } catch (e) {
      const lines = await page.$$eval('#log-lines li', (l) => l.slice(0, 12).map((e) => e.textContent)).catch(() => []);
      const writes = await sim_writes(bus).catch(() => []);
      e.message += `\n  the page's newest log lines:\n    ${lines.join('\n    ')}` +
          `\n  the chair's last writes:\n    ${writes.slice(-12).join('\n    ')}`;
      throw e;
    }
  };

  before(async () => {
    work = temp_dir('chair-panel-');
    fs.mkdirSync(path.join(work, 'downloads'));
    procs = new Processes();
    bus = await start_bus(procs, work);
    await start_sim(procs, bus);
    const env = {...process.env, DBUS_SYSTEM_BUS_ADDRESS: bus, TAMRO_DATA_DIR: path.join(work, 'data')};
    panel = await start_panel(procs, env);
    service_urls.add(await panel.service_url());
    browser = await launch_browser(path.join(work, 'profile'), path.join(work, 'downloads'));
    page = await browser.newPage();
    await page.setViewport({width: 1280, height: 1000});
    seen = watch_page(page);
  });

  after(async () => {
    if (browser) await browser.close();
    // The program's own exit (SIGTERM, /api/shutdown first) is checked in program.test.mjs.
    if (panel) await panel.stop();
    if (procs) await procs.end_all();
    if (work) fs.rmSync(work, {recursive: true, force: true});
  });

  it('is served with a policy that names only itself and the service', kStep, async () => {
    const get = (pathname, method = 'GET', headers = {}) => new Promise((resolve, reject) => {
      // Raw paths: fetch would tidy "/../" away before sending it.
      const req = http.request(`${panel.panel_url}`, {method, path: pathname, headers}, (res) => {
        let body = '';
        res.on('data', (c) => (body += c));
        res.on('end', () => resolve({status: res.statusCode, headers: res.headers, body}));
      });
      req.on('error', reject);
      req.end();
    });
    const cases = [
      {path: '/', status: 200, type: /^text\/html/},
      {path: '/app.mjs', status: 200, type: /^text\/javascript/},
      {path: '/vendor/uPlot.esm.js', status: 200, type: /^text\/javascript/},
      {path: '/style.css?v=1', status: 200, type: /^text\/css/},
      {path: '/config.json', status: 200, type: /^application\/json/},
      {path: '/nothing-here', status: 404},
      {path: '/../package.json', status: 404},
      {path: '/%2e%2e/package.json', status: 404},
      {path: '/', method: 'POST', status: 405},
      {path: '/index.html', method: 'HEAD', status: 200, type: /^text\/html/, empty: true},
      // A page elsewhere, reading us under a rebound DNS name.
      {path: '/config.json', headers: {Host: 'panel.example:80'}, status: 403},
    ];
    for (const c of cases) {
      const reply = await get(c.path, c.method, c.headers);
      assert.equal(reply.status, c.status, `${c.method || 'GET'} ${c.path}`);
      if (c.type) assert.match(reply.headers['content-type'], c.type, c.path);
      if (c.empty) assert.equal(reply.body, '', c.path);
      assert.equal(reply.headers['x-content-type-options'], 'nosniff', c.path);
    }
    const index = await get('/');
    const policy = Object.fromEntries(index.headers['content-security-policy'].split(';')
        .map((p) => p.trim().split(/\s+/)).map(([k, ...v]) => [k, v]));
    assert.deepEqual(policy['default-src'], ["'none'"]);
    assert.deepEqual(policy['script-src'], ["'self'"]);
    const service_url = await panel.service_url();
    assert.deepEqual(policy['connect-src'], ["'self'", service_url]);
    assert.match(service_url, /^http:\/\/127\.0\.0\.1:\d+$/);
    assert.deepEqual(JSON.parse((await get('/config.json')).body), {serviceUrl: service_url, link: null});
  });

  it('loads with no console errors and follows the service', kStep, async () => {
    await page.goto(panel.panel_url, {waitUntil: 'load'});
    await until('the page to reach the service', async () => (await attr('#link-status', 'data-status')) === 'idle');
    assert.equal(await text('#offline-banner'), '');
    assert.match(await text('#bound-chair'), /No chair is bound/);
    assert.deepEqual(seen.errors, []);
  });

  it('lists the simulated chair after a scan and stops scanning', kStep, async () => {
    await press('#scan-start');
    await until('the scanning state', async () => (await attr('#link-status', 'data-status')) === 'scanning');
    const row = `#devices li[data-address="${kChairAddress}"]`;
    await until('the chair in the list', () => page.$(row));
    assert.match(await text(row), new RegExp(`${kChairName}.*${kChairAddress}.*-\\d+ dBm.*\\d+ hits?`));
    await press('#scan-stop');
    await until('the scan to stop', async () => (await attr('#link-status', 'data-status')) === 'idle');
    assert.ok(await page.$(row), 'the list is kept after the scan');
  });

  it('connects from the list and names the chair', kStep, async () => {
    await press(`#devices li[data-address="${kChairAddress}"] .device-connect`);
    await until('the connected state', async () => (await text('#link-status')) === `Connected to ${kChairName}`);
    // The binding's initial settings end with lumbar 3; controls moved before that would race them.
    await until('the initial settings', async () => (await attr('#level-lumbar-reported', 'data-value')) === '3');
    assert.equal(await attr('#water-reported', 'data-mode'), 'cool');
    assert.ok(await enabled('#water-level'));
  });

  it('sends the cooling level moved by keyboard and shows what the chair reports', kStep, async () => {
    await sim_ctl(bus, 'clear-writes', kChairAddress);
    await page.focus('#water-level');
    for (let i = 0; i < 5; i++) await page.keyboard.press('ArrowLeft');
    await until('the chair at cooling 5', async () => (await sim_status(bus)).cold === 5);
    assert.ok((await sim_writes(bus)).includes('55 02 0A 02 05 0F AA'));
    await until('the reported level on the page', async () => (await attr('#water-reported', 'data-cold')) === '5');
    assert.match(await text('#water-reported'), /Chair: cooling 5/);
    assert.equal(await page.$eval('#water-level', (e) => e.value), '5');
  });

  it('turns a level on and off and flips a switch, each confirmed by the chair', kStep, async () => {
    await page.focus('#level-vibrate');
    await page.keyboard.press('ArrowRight');
    await page.keyboard.press('ArrowRight');
    await until('vibration 2 on the chair', async () => (await sim_status(bus)).vibrate === 2);
    await until('vibration 2 on the page', async () => (await attr('#level-vibrate-reported', 'data-value')) === '2');
    // The level route stops at 1; off is the chair's level-0 frame.
    await page.keyboard.press('Home');
    await until('vibration off on the chair', async () => (await sim_status(bus)).vibrate === 0);
    assert.ok((await sim_writes(bus)).includes('55 04 0A 02 00 0C AA'));
    await until('vibration off on the page', async () => (await text('#level-vibrate-reported')) === 'Chair: off');

    await press('button[aria-label="Water: turn off"]');
    await until('the water off on the chair', async () => ((await sim_status(bus)).switchByte & 0x10) === 0);
    await until('the water off on the page', async () => (await text('#switch-water')) === 'Chair: off');
    await until('the mode follows the chair', async () => (await attr('#water-reported', 'data-mode')) === 'off');
    await press('#water-mode-cool');
    await until('cooling again', async () => ((await sim_status(bus)).switchByte & 0x10) !== 0);
  });

  it('shows new temperature reports in the readout and the plot', kStep, async () => {
    const first = await attr('#temperature', 'data-value');
    const samples = Number(await attr('.plot-box', 'data-samples'));
    await until('a new temperature', async () => (await attr('#temperature', 'data-value')) !== first, 20000);
    await until('more points on the plot', async () => Number(await attr('.plot-box', 'data-samples')) > samples);
    const now = await attr('#temperature', 'data-value');
    assert.equal(await attr('.plot-box', 'data-last'), now);
    assert.match(await attr('.plot-box', 'aria-label'), new RegExp(`now ${now} °C`));
    assert.ok(await page.$('.plot-box canvas'), 'the plot is drawn');
  });

  it('passes the accessibility check in light and dark, on a desktop and at 360 px', kStep, async () => {
    await page.evaluate(axe_source);
    const layouts = [
      {width: 1280, height: 1000, scheme: 'light'},
      {width: 1280, height: 1000, scheme: 'dark', shot: 'panel-dark.png'},
      {width: 360, height: 740, scheme: 'light', shot: 'panel-360.png'},
    ];
    for (const l of layouts) {
      await page.setViewport({width: l.width, height: l.height});
      await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: l.scheme}]);
      const findings = await page.evaluate(async () => {
        const result = await globalThis.axe.run(document, {resultTypes: ['violations']});
        return result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
            .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
      });
      assert.deepEqual(findings, [], `${l.width} px, ${l.scheme}`);
      const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      assert.ok(overflow <= 0, `${l.width} px, ${l.scheme}: ${overflow} px wider than the window`);
      if (l.shot) {
        fs.mkdirSync(more_shots_dir, {recursive: true});
        await page.screenshot({path: path.join(more_shots_dir, l.shot), fullPage: true});
      }
    }
    await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: 'light'}]);
    await page.setViewport({width: 1280, height: 1000});
  });

  it('binds, exports, forgets and imports the binding back; a refused import shows why', kStep, async () => {
    await press('#bind-connected');
    await until('the bound chair', async () => (await attr('#bound-chair', 'data-address')) === kChairAddress);
    assert.match(await text('#bound-chair'), new RegExp(kChairName));
    assert.equal(bind_file().boundAddress, kChairAddress);

    await press('#bind-export');
    const saved = path.join(work, 'downloads', 'chair-binding.json');
    await until('the exported file', () => fs.existsSync(saved));
    const exported = fs.readFileSync(saved, 'utf8');
    assert.equal(exported, await (await fetch(`${await panel.service_url()}/api/bind/export`)).text());

    await press('#bind-forget');
    await until('the binding forgotten', async () => (await attr('#bound-chair', 'data-address')) === '');
    assert.equal(bind_file().boundAddress, '');

    const bad = path.join(work, 'bad-binding.json');
    fs.writeFileSync(bad, '{"boundAddress": 5}');
    await upload('#bind-import', bad);
    await until('the refusal', async () => /^Refused: 解析失败/.test(await text('#bind-message')));
    assert.equal(await attr('#bound-chair', 'data-address'), '');

    await upload('#bind-import', saved);
    await until('the binding imported', async () => (await attr('#bound-chair', 'data-address')) === kChairAddress);
    assert.equal(bind_file().boundAddress, kChairAddress);
    assert.equal(await page.$eval('#bind-auto', (e) => e.checked), true);
  });

  it('saves the initial settings from its form and shows a refusal of bad values', kStep, async () => {
    await page.select('#init-water', 'heat');
    await page.$eval('#init-heatLevel', (e) => e.select());
    await page.type('#init-heatLevel', '4');
    await press('#init-save');
    await until('the saved settings', async () => /Saved/.test(await text('#init-message')));
    assert.equal(bind_file().init.water, 'heat');
    assert.equal(bind_file().init.heatLevel, 4);
    // The defaults of the service itself would come back on a bad import; put ours back.
    await page.select('#init-water', 'cool');
    await press('#init-save');
    await until('cooling again in the file', () => bind_file().init.water === 'cool');
  });

  it('shows the bound chair connected (the picture in the docs)', kStep, async () => {
    assert.equal(await text('#link-status'), `Connected to ${kChairName}`);
    assert.equal(await attr('#bound-chair', 'data-address'), kChairAddress);
    await page.evaluate(() => {
      document.activeElement?.blur();
      window.scrollTo(0, 0);
    });
    fs.mkdirSync(path.dirname(screenshot_file), {recursive: true});
    await page.screenshot({path: screenshot_file, fullPage: true});
  });

  it('recovers by itself when the service is killed', kStep, async () => {
    errors_before_kill = [...seen.errors];
    const killed = panel.service_pid();
    assert.ok(killed, 'the panel runs a service');
    await sim_ctl(bus, 'clear-writes', kChairAddress);
    process.kill(killed, 'SIGKILL');
    await until('the page to notice', async () => (await attr('#link-status', 'data-status')) === 'offline');
    assert.match(await text('#offline-banner'), /Service unavailable/);
    assert.ok(await page.$('main.stale'), 'the last known state is greyed out');
    // Connections the killed service left behind may hold its port for a while; the panel then
    // takes another one and the page must follow it there.
    await until('a new service', () => panel.service_pid() && panel.service_pid() !== killed);
    service_urls.add(await until('the new service to answer', async () => {
      const url = await panel.service_url();
      return (await fetch(`${url}/api/bind/get`)).ok && url;
    }));
    // The bound chair with auto-connect on comes back without anybody asking.
    await until('the chair back', async () => (await text('#link-status')) === `Connected to ${kChairName}`, 30000);
    assert.equal(await text('#offline-banner'), '');
    assert.equal(await page.$('main.stale'), null);
  });

  // Right after "connected", while the chair may still be taking its initial settings, as a
  // person who changed their mind would.
  it('stops everything and leaves the chair quiet', kStep, async () => {
    // Auto-connect would bring the chair back a moment later, so it goes off first.
    await press('#bind-auto');
    await until('auto-connect off', () => bind_file().autoConnect === false);
    await sim_ctl(bus, 'clear-writes', kChairAddress);
    await press('#stop-everything');
    await until('the stop confirmed', async () => /the chair is quiet/.test(await text('#bar-message')));
    await until('the idle state', async () => (await attr('#link-status', 'data-status')) === 'idle');
    const quiet = ['55 02 0A 02 00 0A AA', '55 03 0A 02 00 0B AA', '55 06 0A 02 00 0E AA', '55 04 0A 02 00 0C AA',
      '55 05 0A 02 00 0D AA', '55 07 0A 02 04 0B AA', '55 07 0A 02 02 0D AA', '55 07 0A 02 01 0E AA'];
    // In this order, though the status poll's own frames may fall between them.
    const writes = await sim_writes(bus);
    assert.deepEqual(writes.filter((w) => quiet.includes(w)).slice(-quiet.length), quiet, writes.join('\n'));
    const chair = await sim_status(bus);
    const log = await page.$$eval('#log-lines li', (l) => l.slice(0, 30).map((e) => e.textContent).reverse());
    const said = `; the service said:\n${log.join('\n')}`;
    assert.deepEqual([chair.cold, chair.hot, chair.vibrate, chair.volume, chair.lumbar], [0, 0, 0, 0, 0], `levels${said}`);
    assert.equal(chair.switchByte & 0x13, 0, `water, motion and audio off${said}`);
  });

  it('never reaches beyond its own files and the service', kStep, async () => {
    assert.deepEqual(errors_before_kill, []);
    const allowed = [new URL(panel.panel_url).origin, ...service_urls];
    const strays = seen.requests.filter((u) => !allowed.some((a) => u.startsWith(a)) && !/^(blob|data):/.test(u));
    assert.deepEqual(strays, []);
    const outcome = await page.evaluate(async () => {
      let violated = '';
      document.addEventListener('securitypolicyviolation', (e) => (violated = e.effectiveDirective), {once: true});
      try {
        await fetch('http://127.0.0.1:9/');
        return 'fetched';
      } catch {
        await new Promise((r) => setTimeout(r, 50));
        return violated;
      }
    });
    assert.equal(outcome, 'connect-src');
  });
});
