// SPDX-License-Identifier: MIT
// npm's install step for the packed package: builds the native addon with
// node-gyp. Where it cannot be built (no compiler, no libcrypto headers, an
// unusual platform), the install still succeeds: one line says why, and the
// package uses its WebAssembly back end (sealkit.wasm), which needs nothing.
'use strict';
const { spawnSync } = require('node:child_process');

const fs = require('node:fs');
const path = require('node:path');

function fallBack(why) {
  console.log(`sealkit: the native addon was not built (${why}); the WebAssembly back end will be used`);
  process.exit(0);
}

// Without a C++ compiler node-gyp can only fail, and may first try to fetch
// Node.js's headers from the network: say so at once.
const onPath = (name) => (process.env.PATH || '').split(path.delimiter)
  .some((d) => d && fs.existsSync(path.join(d, name)));
const cxx = process.env.CXX ? process.env.CXX.split(' ')[0] : null;
if (cxx ? !(path.isAbsolute(cxx) ? fs.existsSync(cxx) : onPath(cxx)) : !['c++', 'g++', 'clang++'].some(onPath)) {
  fallBack(`no C++ compiler: ${cxx ?? 'c++, g++ or clang++'} not found`);
}

// npm names its own node-gyp; elsewhere the one on PATH.
const gyp = process.env.npm_config_node_gyp;
const r = gyp
  ? spawnSync(process.execPath, [gyp, 'rebuild'], { encoding: 'utf8' })
  : spawnSync('node-gyp', ['rebuild'], { encoding: 'utf8' });
if (r.status === 0) process.exit(0);

// The first line that names the cause, in the words of the tool that failed.
const out = `${r.stdout || ''}\n${r.stderr || ''}`;
const causes = [
  [/No such file or directory: '([^']+)'/, (m) => `no ${m[1]}`],
  [/not found: (make|g\+\+|c\+\+|cc)\b/, (m) => `no ${m[1]}`],
  [/(\S+): (?:command )?not found/, (m) => `no ${m[1]}`],
  [/fatal error: ([\w./-]+): No such file/, (m) => `${m[1]} is missing (libssl-dev)`],
  [/Could not find any Python/, () => 'no Python for node-gyp'],
];
let why = r.error ? `${r.error.code === 'ENOENT' ? 'no node-gyp' : r.error.message}` : null;
for (const [re, say] of causes) {
  const m = why === null && out.match(re);
  if (m) why = say(m);
}
const last = out.split('\n').map((l) => l.trim()).filter((l) => /error/i.test(l)).pop();
fallBack(why ?? last ?? `node-gyp exited ${r.status}`);
