#!/usr/bin/env node
// Lays out the panel's page in dist/: our own files from src/ and the libraries it uses, copied
// from node_modules (pinned by package-lock.json), so that nothing is fetched when the panel runs.
//   node tools/chair-panel/web/build.mjs [--out DIR]
import fs from 'node:fs';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../../..');
const modules = path.join(root, 'node_modules');

// The browser has no package resolution: the one bare import among the libraries is pointed at
// the file beside it, and source-map comments go, as the maps are not shipped.
const kVendor = [
  {from: 'preact/dist/preact.mjs', to: 'preact.mjs'},
  {from: 'preact/hooks/dist/hooks.mjs', to: 'hooks.mjs', imports: {preact: './preact.mjs'}},
  {from: 'htm/dist/htm.mjs', to: 'htm.mjs'},
  // The minified build, made a module: a third of the size of the module build.
  {from: 'uplot/dist/uPlot.iife.min.js', to: 'uPlot.mjs', append: 'export default uPlot;\n'},
  {from: 'uplot/dist/uPlot.min.css', to: 'uPlot.min.css'},
];
const kLicensed = ['preact', 'htm', 'uplot'];

function vendor_text(entry) {
  const file = path.join(modules, entry.from);
  if (!fs.existsSync(file)) throw new Error(`node_modules/${entry.from} is missing: run scripts/setup (or npm ci in ${root})`);
  let text = fs.readFileSync(file, 'utf8');
  for (const [name, target] of Object.entries(entry.imports || {})) {
    const pattern = new RegExp(`(from\\s*|import\\s*)(["'])${name}\\2`, 'g');
    const before = text;
    text = text.replace(pattern, `$1$2${target}$2`);
    if (text === before) throw new Error(`${entry.from}: no import of ${name} to rewrite`);
  }
  text = text.replace(/\n?\/\/# sourceMappingURL=\S+\s*$/, '\n');
  if (!entry.append) return text;
  return `${text}${text.endsWith('\n') ? '' : '\n'}${entry.append}`;
}

function licenses() {
  const parts = [];
  for (const name of kLicensed) {
    const dir = path.join(modules, name);
    const version = JSON.parse(fs.readFileSync(path.join(dir, 'package.json'), 'utf8')).version;
    const license = fs.readdirSync(dir).find((f) => /^licen[cs]e/i.test(f));
    if (!license) throw new Error(`${name} ships no licence file`);
    parts.push(`${name} ${version}\n\n${fs.readFileSync(path.join(dir, license), 'utf8').trim()}\n`);
  }
  return parts.join('\n----------------------------------------\n\n');
}

// Writes only what changed, so a build system watching dist/ rebuilds only when it must.
function write(file, text) {
  fs.mkdirSync(path.dirname(file), {recursive: true});
  if (fs.existsSync(file) && fs.readFileSync(file, 'utf8') === text) return;
  fs.writeFileSync(file, text);
}

export function build_panel(out = path.join(here, 'dist')) {
  const wanted = new Set();
  const src = path.join(here, 'src');
  for (const name of fs.readdirSync(src).sort()) {
    write(path.join(out, name), fs.readFileSync(path.join(src, name), 'utf8'));
    wanted.add(name);
  }
  for (const entry of kVendor) {
    write(path.join(out, 'vendor', entry.to), vendor_text(entry));
    wanted.add(`vendor/${entry.to}`);
  }
  write(path.join(out, 'vendor', 'LICENSES.txt'), licenses());
  wanted.add('vendor/LICENSES.txt');
  // Files left from an older layout would otherwise be served and embedded for ever.
  for (const name of fs.readdirSync(out, {recursive: true})) {
    const rel = name.split(path.sep).join('/');
    const full = path.join(out, name);
    if (fs.statSync(full).isFile() && !wanted.has(rel)) fs.rmSync(full);
  }
  return out;
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const at = process.argv.indexOf('--out');
  try {
    const out = build_panel(at > 0 ? path.resolve(process.argv[at + 1]) : undefined);
    console.log(`panel page in ${path.relative(process.cwd(), out) || '.'}`);
  } catch (e) {
    console.error(`build.mjs: ${e.message}`);
    process.exit(1);
  }
}
