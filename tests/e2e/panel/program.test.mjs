// chair-panel as a program, without a browser: its command line, and the parent's side of the
// service's contract against the real service and the simulated chair. A killed service is
// replaced; SIGTERM quiets the chair before the service is ended; a killed panel still leaves
// the chair quiet, through the service's own watch on its parent.
import assert from 'node:assert/strict';
import {execFile} from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import {after, before, describe, it} from 'node:test';
import {start_panel} from './lib/panel.mjs';
import {
  Processes, binary, eventually, kChairAddress, repo_root, sim_ctl, sim_status, sim_writes, start_bus, start_sim,
  temp_dir,
} from './lib/stack.mjs';

const kVersion = process.env.CHAIR_VERSION ||
    fs.readFileSync(path.join(repo_root, 'CMakeLists.txt'), 'utf8').match(/project\(\S+ VERSION (\S+)/)[1];
// What /api/shutdown writes, in this order: every level to 0, then the switch bytes.
const kQuiet = ['55 02 0A 02 00 0A AA', '55 03 0A 02 00 0B AA', '55 06 0A 02 00 0E AA', '55 04 0A 02 00 0C AA',
  '55 05 0A 02 00 0D AA', '55 07 0A 02 04 0B AA', '55 07 0A 02 02 0D AA', '55 07 0A 02 01 0E AA'];
const kStep = {timeout: 60000};

function run(args, env) {
  return new Promise((resolve) => {
    execFile(binary('chair-panel'), args, {env, timeout: 20000}, (error, stdout, stderr) => {
      resolve({code: error ? error.code : 0, stdout, stderr});
    });
  });
}

// Running, not a zombie waiting for a parent that does not reap.
function alive(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2)[0] !== 'Z';
  } catch {
    return false;
  }
}

async function get_json(url) {
  return (await fetch(url, {signal: AbortSignal.timeout(30000)})).json();
}

describe('the command line', () => {
  it('prints its version, refuses bad options and says why no service came up', async () => {
    const env = {...process.env, DBUS_SYSTEM_BUS_ADDRESS: 'unix:path=/nonexistent/bus'};
    const cases = [
      {args: ['--version'], code: 0, stdout: `chair-panel ${kVersion}\n`},
      {args: ['--port', '70000'], code: 2, stderr: /--port/},
      {args: ['--no-browser', '--service', '/nonexistent/chair-service'], code: 1,
        stderr: /^chair-panel: cannot start \/nonexistent\/chair-service: No such file or directory$/m},
      {args: ['--no-browser', '--service', '/bin/false'], code: 1,
        stderr: /\/bin\/false exited with code 1 before announcing its address/},
    ];
    for (const c of cases) {
      const got = await run(c.args, env);
      const what = `chair-panel ${c.args.join(' ')}: ${got.stderr}`;
      assert.equal(got.code, c.code, what);
      if (c.stdout !== undefined) assert.equal(got.stdout, c.stdout, what);
      if (c.stderr) assert.match(got.stderr, c.stderr, what);
      // Nothing was served, so nothing was announced.
      if (c.code !== 0) assert.doesNotMatch(got.stdout, /^Panel:/m, what);
    }
  });
});

describe('chair-panel with the service and the simulated chair', () => {
  let procs;
  let work;
  let bus;
  let env;
  const orphans = [];

  before(async () => {
    work = temp_dir('chair-panel-program-');
    procs = new Processes();
    bus = await start_bus(procs, work);
    await start_sim(procs, bus);
    fs.mkdirSync(path.join(work, 'run'), {mode: 0o700});
    env = {...process.env, DBUS_SYSTEM_BUS_ADDRESS: bus, TAMRO_DATA_DIR: path.join(work, 'data'),
      XDG_RUNTIME_DIR: path.join(work, 'run')};
  });

  after(async () => {
    if (procs) await procs.end_all();
    // A service whose panel was killed ends by itself; should it not, it is ended here.
    for (const pid of orphans) if (alive(pid)) process.kill(pid, 'SIGKILL');
    if (work) fs.rmSync(work, {recursive: true, force: true});
  });

  // Through the service the panel runs now: scan, connect, and vibration 4 confirmed by the chair.
  const wake_chair = async (panel) => {
    const url = await panel.service_url();
    assert.deepEqual(await get_json(`${url}/api/scan/start`), {ok: true});
    await eventually(async () => (await get_json(`${url}/api/devices`)).some((d) => d.address === kChairAddress),
        {what: 'the chair in the scan', timeout: 15000});
    assert.deepEqual(await get_json(`${url}/api/connect?addr=${kChairAddress}`), {ok: true});
    // Refused until the handshake is through.
    await eventually(async () => (await get_json(`${url}/api/cmd/intensity?fn=vibrate&value=4`)).ok,
        {what: 'a connected chair', timeout: 20000, interval: 200});
    await eventually(async () => (await sim_status(bus)).vibrate === 4, {what: 'vibration 4 on the chair'});
  };

  const expect_quiet = async (what) => {
    const writes = await sim_writes(bus);
    assert.deepEqual(writes.filter((w) => kQuiet.includes(w)).slice(-kQuiet.length), kQuiet, `${what}:\n${writes.join('\n')}`);
    const chair = await sim_status(bus);
    assert.deepEqual([chair.cold, chair.hot, chair.vibrate, chair.volume, chair.lumbar], [0, 0, 0, 0, 0], what);
    assert.equal(chair.switchByte & 0x13, 0, `${what}: water, motion and audio off`);
  };

  it('replaces a killed service and quiets the chair on SIGTERM before it ends the service', kStep, async () => {
    const panel = await start_panel(procs, env);
    const first = panel.service_pid();
    const first_url = await panel.service_url();
    assert.ok(first, 'the panel runs a service');

    process.kill(first, 'SIGKILL');
    const second = await eventually(() => panel.service_pid() !== first && panel.service_pid(), {what: 'a new service'});
    const second_url = await eventually(async () => {
      const url = await panel.service_url();
      return (await fetch(`${url}/api/bind/get`)).ok && url;
    }, {what: 'the new service to answer'});
    assert.match(panel.child.stderr_text, /chair-service was killed by signal 9; starting a new one/);
    // Nothing held the old port here, so the open page keeps its address.
    assert.equal(second_url, first_url);

    await wake_chair(panel);
    await sim_ctl(bus, 'clear-writes', kChairAddress);
    const ended = await panel.stop();
    assert.deepEqual(ended, {code: 0, signal: null}, panel.child.stderr_text);
    assert.match(panel.child.stderr_text, /the chair is quiet; chair-service has ended/);
    await expect_quiet('after SIGTERM');
    assert.equal(alive(second), false, 'the service is ended and reaped');
  });

  const runtime = (name) => path.join(work, 'run', 'chair-service', name);
  // What a page does while it is open: hold a stream to the panel. Resolves once it is held.
  const open_page = (panel) => new Promise((resolve, reject) => {
    const request = http.get(`${panel.panel_url}presence`, (reply) => resolve(() => request.destroy()));
    request.on('error', reject);
  });

  it('is the user\'s one panel: a second one shows the first one\'s page and starts no service', kStep, async () => {
    const panel = await start_panel(procs, env, ['--grace', '1']);
    const service = panel.service_pid();
    assert.equal(fs.readFileSync(runtime('url'), 'utf8'), `${await panel.service_url()}\n`);
    assert.deepEqual([fs.statSync(runtime('.')).mode & 0o777, fs.statSync(runtime('url')).mode & 0o777], [0o700, 0o600]);
    const second = await run(['--no-browser'], env);
    assert.deepEqual([second.code, second.stdout], [0, `Panel: ${panel.panel_url}\n`], second.stderr);
    assert.equal(panel.service_pid(), service);

    // Closing the last page ends it as Ctrl-C does, after the grace period.
    await wake_chair(panel);
    await sim_ctl(bus, 'clear-writes', kChairAddress);
    const close_page = await open_page(panel);
    close_page();
    assert.deepEqual(await panel.child.exited, {code: 0, signal: null}, panel.child.stderr_text);
    assert.match(panel.child.stderr_text, /the last page was closed; stopping/);
    await expect_quiet('after the last page was closed');
    assert.equal(fs.existsSync(runtime('url')), false, 'nobody is sent to the ended service');
  });

  it('runs on without pages when resident, until it is stopped', kStep, async () => {
    const panel = await start_panel(procs, env, ['--resident', '--grace', '0.2']);
    try {
      assert.equal(fs.readFileSync(runtime('url'), 'utf8'), `${await panel.service_url()}\n`);
      (await open_page(panel))();
      for (const end = Date.now() + 3000; Date.now() < end; await new Promise((r) => setTimeout(r, 100))) {
        assert.equal(panel.child.exitCode, null, 'still running');
      }
    } finally {
      // The next panel of the user must not find this one.
      assert.deepEqual(await panel.stop(), {code: 0, signal: null}, panel.child.stderr_text);
    }
    assert.equal(fs.existsSync(runtime('url')), false);
  });

  it('leaves the chair quiet through the service when the panel itself is killed', kStep, async () => {
    const panel = await start_panel(procs, env);
    const service = panel.service_pid();
    orphans.push(service);
    await wake_chair(panel);
    await sim_ctl(bus, 'clear-writes', kChairAddress);
    panel.child.kill('SIGKILL');
    await eventually(() => !alive(service), {what: 'the orphaned service to end', timeout: 15000});
    await expect_quiet('after the panel was killed');
  });
});
