#!/usr/bin/env node
// Writes the built page (dist/) as a C++ source file defining chair::panel::web_files(), so
// that chair-panel carries its page and nothing is read from disk when it runs.
//   node tools/chair-panel/web/embed.mjs DIST OUT.cpp
import fs from 'node:fs';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

// One string literal per line of the file: printable ASCII as it is, everything else (and the
// characters a literal gives meaning to) as a three-digit octal escape, which no following
// digit can extend.
export function cpp_literal(bytes) {
  const lines = [];
  let line = '';
  for (const b of bytes) {
    if (b === 0x0a) {
      lines.push(line + '\\n');
      line = '';
    } else if (b >= 0x20 && b < 0x7f && b !== 0x22 && b !== 0x5c && b !== 0x3f) {
      line += String.fromCharCode(b);
    } else {
      line += '\\' + b.toString(8).padStart(3, '0');
    }
  }
  if (line || lines.length === 0) lines.push(line);
  return lines.map((l) => `"${l}"`).join('\n    ');
}

export function list_files(dist) {
  return fs.readdirSync(dist, {recursive: true})
      .map((name) => name.split(path.sep).join('/'))
      .filter((name) => fs.statSync(path.join(dist, name)).isFile())
      .sort();
}

export function embed(dist, out) {
  const names = list_files(dist);
  if (!names.includes('index.html')) throw new Error(`${dist} holds no index.html: build the page first`);
  const parts = [
    `// Generated from the panel's built page by tools/chair-panel/web/embed.mjs; not to be edited.`,
    `#include "tools/chair-panel/web_files.h"`,
    ``,
    `namespace chair::panel {`,
    `namespace {`,
    ``,
  ];
  names.forEach((name, i) => {
    const bytes = fs.readFileSync(path.join(dist, name));
    parts.push(`// ${name}`, `constexpr char kFile${i}[] =\n    ${cpp_literal(bytes)};`, ``);
  });
  parts.push(`constexpr WebFile kFiles[] = {`);
  names.forEach((name, i) => parts.push(`    {"/${name}", {kFile${i}, sizeof kFile${i} - 1}},`));
  parts.push(`};`, ``, `}  // namespace`, ``, `std::span<const WebFile> web_files() { return kFiles; }`, ``,
      `}  // namespace chair::panel`, ``);
  fs.mkdirSync(path.dirname(out), {recursive: true});
  fs.writeFileSync(out, parts.join('\n'));
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const [dist, out] = process.argv.slice(2);
  if (!dist || !out) {
    console.error('usage: embed.mjs DIST OUT.cpp');
    process.exit(2);
  }
  try {
    embed(path.resolve(dist), path.resolve(out));
  } catch (e) {
    console.error(`embed.mjs: ${e.message}`);
    process.exit(1);
  }
}
