// The real chair-panel, started as a person would (without opening a browser): it starts its own
// chair-service, prints "Panel: URL", and is ended with SIGTERM.
import fs from 'node:fs';
import {binary, wait_for_line} from './stack.mjs';

// The process ids whose parent is `pid`, from /proc.
function children_of(pid) {
  const found = [];
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    try {
      // The command name in parentheses may hold spaces; the parent id follows the state after it.
      const stat = fs.readFileSync(`/proc/${name}/stat`, 'utf8');
      const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
      if (Number(fields[1]) === pid) found.push(Number(name));
    } catch {
      // Gone while we looked.
    }
  }
  return found;
}

export async function start_panel(procs, env, args = []) {
  const child = procs.spawn(binary('chair-panel'), ['--no-browser', ...args], {env}, 'chair-panel');
  child.stdout_text = '';
  const [, panel_url] = await wait_for_line(child, child.stdout, /^Panel: (\S+)$/, 20000, 'chair-panel');
  child.stdout.on('data', (t) => (child.stdout_text += t));
  return {
    child,
    panel_url,
    // The service the panel runs now, as the page learns it.
    async service_url() {
      const reply = await fetch(new URL('config.json', panel_url), {signal: AbortSignal.timeout(5000)});
      return (await reply.json()).serviceUrl;
    },
    // The process id of the service the panel runs now, or undefined between two services.
    service_pid() {
      return children_of(child.pid)[0];
    },
    // As Ctrl-C would; resolves with how the panel ended.
    async stop() {
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
      return child.exited;
    },
  };
}
