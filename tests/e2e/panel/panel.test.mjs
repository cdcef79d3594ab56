// The panel in a real browser against the real service and the simulated chair on a private
// bus. The steps build on each other (scan, connect, drive, bind, recover, stop), as a person
// would use the page, so they run in order on one set of processes.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import {once} from 'node:events';
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
  const status = () => attr('#link-status', 'data-status');
  const label = () => text('#link-status');
  const wrote = async (frame) => (await sim_writes(bus)).includes(frame);
  // Lumbar 3 of the initial settings: nothing else sends it in these steps (the status poll
  // re-sends the water switch and the cooling level, never lumbar).
  const kInitLumbar = '55 06 0A 02 03 0D AA';
  // Holds for the whole window: what must not happen (a reconnect, a reset) did not.
  const stays = async (what, condition, ms) => {
    for (const end = Date.now() + ms; Date.now() < end; await new Promise((r) => setTimeout(r, 100))) {
      assert.ok(await condition(), what);
    }
  };
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
    fs.mkdirSync(path.join(work, 'run'), {mode: 0o700});
    const env = {...process.env, DBUS_SYSTEM_BUS_ADDRESS: bus, TAMRO_DATA_DIR: path.join(work, 'data'),
      XDG_RUNTIME_DIR: path.join(work, 'run')};
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
      {path: '/vendor/uPlot.mjs', status: 200, type: /^text\/javascript/},
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
    await until('the binding shown', async () => /No chair is bound/.test(await text('#bound-chair')));
    assert.deepEqual(seen.errors.slice(), []);
    // Before any connection: what it will do, no water mode made up, no auto-connect without a
    // chair, a plot of the last minutes, and the panel told that a page is open.
    assert.equal(await text('#init-preview'), 'After connecting: cooling 10, lumbar 3 — change');
    assert.equal(await page.$('input[name="water-mode"]:checked'), null);
    assert.deepEqual(await page.$eval('#bind-auto', (e) => [e.checked, e.disabled]), [false, true]);
    assert.ok(Math.abs(Number(await attr('.plot-box', 'data-to')) - Date.now() / 1000) < 60);
    assert.ok(seen.requests.includes(`${panel.panel_url}presence`));
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

    const row = `#devices li[data-address="${kChairAddress}"]`;
    assert.equal(await text(`${row} .device-state`), 'Connected');
    await sim_ctl(bus, 'clear-writes', kChairAddress);
    await press(`${row} .device-reconnect`);
    assert.match(await text(`${row} .confirm`), /initial settings again: cooling 10, lumbar 3/);
    await press(`${row} .confirm-cancel`);
    assert.equal(await page.$(`${row} .confirm`), null);
    await stays('no reconnection', async () => (await status()) === 'connected' && !(await wrote(kInitLumbar)), 1500);
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

  it('keeps frames out of the log unless asked, and makes the link and its failures stand out', kStep, async () => {
    const lines = (selector = '#log-lines li') => page.$$eval(selector, (l) => l.map((e) => e.textContent));
    assert.ok((await lines()).every((l) => !/ (TX|RX): /.test(l)));
    assert.ok((await lines('#log-lines li.log-link')).some((l) => l.includes(`connected ${kChairName} (${kChairAddress})`)));
    await press('#log-frames');
    await until('frames shown', async () => (await lines()).some((l) => / TX: 55 /.test(l)));
    await press('#log-frames');
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
      if (l.width === 360) {
        // Stop everything stays in reach however far down the page is scrolled.
        await page.evaluate(() => window.scrollTo(0, document.body.scrollHeight));
        const box = await page.$eval('#stop-everything', (e) => e.getBoundingClientRect().toJSON());
        assert.ok(box.top >= 0 && box.bottom <= l.height, JSON.stringify(box));
      }
      const look = (selector) => page.$eval(selector, (e) => getComputedStyle(e).backgroundColor);
      assert.equal(await look('label.file'), await look('#bind-export'), 'the file chooser looks like a button');
      if (l.shot) {
        fs.mkdirSync(more_shots_dir, {recursive: true});
        await page.screenshot({path: path.join(more_shots_dir, l.shot), fullPage: true});
      }
    }
    await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: 'light'}]);
    await page.setViewport({width: 1280, height: 1000});
  });

  it('binds the connected chair as it is, without reconnecting', kStep, async () => {
    await press('#water-mode-heat');
    await page.focus('#water-level');
    for (let i = 0; i < 2; i++) await page.keyboard.press('ArrowLeft');
    await until('heating 3 on the chair', async () => (await sim_status(bus)).hot === 3);
    await sim_ctl(bus, 'clear-writes', kChairAddress);
    await press('#bind-connected');
    await until('the bound chair', async () => (await attr('#bound-chair', 'data-address')) === kChairAddress);
    await stays('the chair as it was', async () => (await status()) === 'connected' && !(await wrote(kInitLumbar)) &&
        (await sim_status(bus)).hot === 3, 2000);
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
    await until('the refusal', async () => /^Refused: Not a valid settings file/.test(await text('#bind-message')));
    assert.match(await attr('#bind-message [data-original]', 'data-original'), /^解析失败: /);
    assert.match(await attr('#log-lines li.log-bind [data-original]', 'title'), /^The service said: 已/);
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
    const chair = await sim_status(bus);
    await press('#init-from-chair');
    await until('the chair\'s settings saved', async () => /current settings/.test(await text('#init-message')));
    const init = bind_file().init;
    assert.deepEqual([init.lumbar, init.vibrate, init.volume], [chair.lumbar, chair.vibrate, chair.volume]);
    assert.equal(init[chair.hot ? 'heatLevel' : 'coolLevel'], chair.hot || chair.cold);
    // The defaults of the service itself would come back on a bad import; put ours back.
    await page.select('#init-water', 'cool');
    for (const [field, value] of [['coolLevel', '10'], ['lumbar', '3']]) {
      await page.$eval(`#init-${field}`, (e) => e.select());
      await page.type(`#init-${field}`, value);
    }
    await press('#init-save');
    await until('cooling again in the file', () => bind_file().init.water === 'cool' && bind_file().init.coolLevel === 10);
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

  it('knows the connected chair after a reload, and the reports from before it', kStep, async () => {
    const reloaded = Date.now() / 1000;
    await sim_ctl(bus, 'clear-writes', kChairAddress);
    await page.reload({waitUntil: 'load'});
    await until('the chair named again', async () => (await label()) === `Connected to ${kChairName}`);
    assert.ok(await enabled('#bind-connected'));
    assert.equal(await wrote(kInitLumbar), false, 'the page did not reconnect');
    await until('the history plotted', async () => Number(await attr('.plot-box', 'data-first')) < reloaded - 5);
    await press('#plot-range-2');
    assert.match(await text('.plot figcaption'), /last 24 h/);
  });

  it('says when the chair is lost, greys what it last reported and gets it back', {timeout: 90000}, async () => {
    await until('a report', async () => (await attr('#temperature', 'data-value')) !== '');
    // The chair stops answering: the service drops the link and auto-connect tries again.
    await sim_ctl(bus, 'silent', 'on', kChairAddress);
    try {
      await until('the values greyed', () => page.$('#live-values.stale-values #last-report'));
      await until('the chair lost', async () => /^Chair lost — reconnecting \(attempt \d+\)$/.test(await label()), 40000);
    } finally {
      await sim_ctl(bus, 'silent', 'off', kChairAddress);
    }
    await until('the chair back', async () => (await label()) === `Connected to ${kChairName}`, 40000);
    await until('fresh values', async () => (await page.$('#live-values.stale-values')) === null);
    assert.ok(Number(await attr('.plot-box', 'data-gaps')) > 0, 'the plot breaks at the gap');
  });

  it('says why Bluetooth cannot be used and what to do', {timeout: 90000}, async () => {
    await sim_ctl(bus, 'power', 'off');
    try {
      await until('Bluetooth unavailable', async () => (await status()) === 'unavailable', 30000);
      assert.match(await text('#bluetooth-notice'), /switched off\. Switch it on/);
      assert.equal((await sim_status(bus)).connected, false);
    } finally {
      await sim_ctl(bus, 'power', 'on');
    }
    await until('the chair back', async () => (await label()) === `Connected to ${kChairName}`, 40000);
    assert.equal(await page.$('#bluetooth-notice'), null);
  });

  it('recovers by itself when the service is killed', kStep, async () => {
    errors_before_kill = seen.errors.slice();
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

  it('runs a session timer and cancels it', kStep, async () => {
    await sim_ctl(bus, 'clear-writes', kChairAddress);
    await press('.timer-preset[data-minutes="15"]');
    await until('the countdown', async () => Number(await attr('#timer-left', 'data-seconds')) > 890);
    assert.ok((await (await fetch(`${await panel.service_url()}/api/timer/get`)).json()).seconds > 890);
    await press('#timer-cancel');
    await until('no timer', async () => (await attr('#timer-left', 'data-seconds')) === '0');
    assert.equal(await wrote('55 07 0A 02 01 0E AA'), false, 'the chair was not quieted');
  });

  it('reports a stop the chair did not take as a failure', kStep, async () => {
    const levels = (c) => [c.cold, c.hot, c.vibrate, c.volume, c.lumbar];
    const before = levels(await sim_status(bus));
    assert.ok(before.some(Boolean), 'something runs');
    await sim_ctl(bus, 'refuse-writes', kChairAddress);
    try {
      await press('#stop-everything');
      await until('the alarm', () => page.$('#bar-message.alarm'));
      assert.match(await text('#bar-message'), /^The chair may still be running\./);
      assert.deepEqual(levels(await sim_status(bus)), before);
    } finally {
      await sim_ctl(bus, 'accept-writes', kChairAddress);
      if ((await status()) !== 'connected') await press('#connect');
    }
  });

  // Right after "connected", while the chair may still be taking its initial settings, as a
  // person who changed their mind would. Auto-connect stays on: the chair stays off all the same.
  it('stops everything, leaves the chair quiet until asked, and connects it again', kStep, async () => {
    await until('connected', async () => (await status()) === 'connected', 30000);
    assert.equal(bind_file().autoConnect, true);
    await sim_ctl(bus, 'clear-writes', kChairAddress);
    await press('#stop-everything');
    await until('the stop confirmed', async () => /quiet\. It stays off until you connect again/.test(await text('#bar-message')));
    await until('the idle state', async () => (await status()) === 'idle');
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
    // More than one pass of the supervisor.
    await until('the chair let go', async () => !(await sim_status(bus)).connected);
    await stays('off until asked', async () => (await status()) === 'idle' && !(await sim_status(bus)).connected, 4000);
    await press('#connect-again');
    await until('connected again', async () => (await label()) === `Connected to ${kChairName}`, 30000);
  });

  it('lets only its own page drive its service', kStep, async () => {
    const service = await panel.service_url();
    const environ = fs.readFileSync(`/proc/${panel.service_pid()}/environ`, 'utf8').split('\0');
    const port = new URL(panel.panel_url).port;
    assert.ok(environ.includes(`CHAIR_ALLOWED_ORIGINS=http://127.0.0.1:${port},http://localhost:${port}`));
    assert.equal((await fetch(`${service}/api/bind/get`, {headers: {Origin: 'null'}})).status, 403);
    // A page of another local port, as any other program of the user's could serve one.
    const elsewhere = http.createServer((req, res) => res.end('<p>elsewhere</p>')).listen(0, '127.0.0.1');
    await once(elsewhere, 'listening');
    const stranger = await browser.newPage();
    await stranger.goto(`http://127.0.0.1:${elsewhere.address().port}/`);
    const outcome = await stranger.evaluate((url) => fetch(`${url}/api/cmd/intensity?fn=hot&value=10`)
        .then((r) => `answered ${r.status}`, () => 'refused'), service);
    await Promise.all([stranger.close(), elsewhere.close()]);
    assert.equal(outcome, 'refused');
    assert.notEqual((await sim_status(bus)).hot, 10);
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
