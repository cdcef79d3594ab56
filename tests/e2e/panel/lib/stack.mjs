// The processes behind the panel tests: a private dbus-daemon, chair-sim on it, and the
// service. Binaries come from CHAIR_BIN_DIR (default build/bin of the tree).
import {execFile, spawn} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

export const repo_root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../../..');
export const bin_dir = path.resolve(process.env.CHAIR_BIN_DIR || path.join(repo_root, 'build/bin'));

export function binary(name) {
  const file = path.join(bin_dir, name);
  if (!fs.existsSync(file)) throw new Error(`${file} does not exist: build it, or point CHAIR_BIN_DIR at a build`);
  return file;
}

// Polls `condition` until it returns something truthy, which it returns; fails with `what`.
export async function eventually(condition, {timeout = 10000, interval = 50, what = 'condition'} = {}) {
  const deadline = Date.now() + timeout;
  let last_error;
  for (;;) {
    try {
      const value = await condition();
      if (value) return value;
    } catch (e) {
      last_error = e;
    }
    if (Date.now() > deadline) {
      throw new Error(`timed out after ${timeout} ms waiting for ${what}${last_error ? `: ${last_error.message}` : ''}`);
    }
    await new Promise((r) => setTimeout(r, interval));
  }
}

// Resolves with the first line of `stream` that matches `pattern`.
export function wait_for_line(child, stream, pattern, timeout, what) {
  return new Promise((resolve, reject) => {
    let buffer = '';
    const done = (fn, value) => {
      clearTimeout(timer);
      stream.off('data', on_data);
      child.off('exit', on_exit);
      fn(value);
    };
    const on_data = (chunk) => {
      buffer += chunk;
      for (const line of buffer.split('\n')) {
        const m = line.match(pattern);
        if (m) return done(resolve, m);
      }
    };
    const on_exit = (code, signal) => done(reject, new Error(`${what} exited (${code ?? signal}) before saying ${pattern}`));
    const timer = setTimeout(() => done(reject, new Error(`${what} did not say ${pattern} within ${timeout} ms`)), timeout);
    stream.setEncoding('utf8');
    stream.on('data', on_data);
    child.on('exit', on_exit);
  });
}

// Every process a test starts, so that each is ended by its own id at the end, newest first.
export class Processes {
  constructor() {
    this.children = [];
  }

  spawn(file, args, options, what) {
    const child = spawn(file, args, {stdio: ['ignore', 'pipe', 'pipe'], ...options});
    child.what = what;
    child.exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({code, signal})));
    child.stderr_text = '';
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (t) => {
      child.stderr_text = (child.stderr_text + t).slice(-8000);
    });
    this.children.push(child);
    return child;
  }

  static async end(child, grace = 3000) {
    if (child.exitCode !== null || child.signalCode !== null) return;
    child.kill('SIGTERM');
    const timer = setTimeout(() => child.kill('SIGKILL'), grace);
    await child.exited;
    clearTimeout(timer);
  }

  async end_all() {
    for (const child of this.children.reverse()) await Processes.end(child);
    this.children = [];
  }
}

// A dbus-daemon that lets anybody own any name: the simulator takes org.bluez on it.
export async function start_bus(procs, dir) {
  const config = path.join(dir, 'bus.conf');
  fs.writeFileSync(config, `<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=${dir}/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
`);
  const daemon = procs.spawn('dbus-daemon', [`--config-file=${config}`, '--nofork', '--print-address=1'], {}, 'dbus-daemon');
  const [address] = await wait_for_line(daemon, daemon.stdout, /^unix:\S+/, 10000, 'dbus-daemon');
  return address;
}

export const kChairAddress = 'C0:FF:EE:01:02:0A';
export const kChairName = 'TAMRO-X1';

export async function start_sim(procs, bus) {
  const sim = procs.spawn(binary('chair-sim'), ['--chair', `${kChairAddress},name=${kChairName}`],
      {env: {...process.env, DBUS_SYSTEM_BUS_ADDRESS: bus}}, 'chair-sim');
  await wait_for_line(sim, sim.stdout, /^READY$/, 10000, 'chair-sim');
  return sim;
}

// `chair-sim ctl`: the simulated chair's own view and its record of written frames.
export function sim_ctl(bus, ...args) {
  return new Promise((resolve, reject) => {
    execFile(binary('chair-sim'), ['ctl', '--bus', bus, ...args], {timeout: 10000}, (error, stdout, stderr) => {
      if (error) reject(new Error(`chair-sim ctl ${args.join(' ')}: ${stderr || error.message}`));
      else resolve(stdout);
    });
  });
}

export async function sim_status(bus) {
  return JSON.parse(await sim_ctl(bus, 'status', kChairAddress));
}

// The frames the chair received, oldest first, as hex text.
export async function sim_writes(bus) {
  const text = await sim_ctl(bus, 'writes', kChairAddress);
  return text.split('\n').map((l) => l.trim()).filter(Boolean).map((l) => l.replace(/^\S+\s+/, ''));
}

export function temp_dir(prefix) {
  return fs.mkdtempSync(path.join(process.env.TMPDIR || os.tmpdir(), prefix));
}
