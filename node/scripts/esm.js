// SPDX-License-Identifier: MIT
// Writes an ES module of a CommonJS file of lib/ (which requires nothing and
// sets module.exports), for the entries that load no CommonJS: browsers,
// Deno, edge workers. pack.js and the build tree's CMake target run it.
//   node node/scripts/esm.js IN.js OUT.mjs
'use strict';
const fs = require('node:fs');

const [input, output] = process.argv.slice(2);
const source = fs.readFileSync(input, 'utf8');
if (/\brequire\(/.test(source)) {
  console.error(`esm: ${input} requires another module: only self-contained files convert`);
  process.exit(1);
}
fs.writeFileSync(output, `const module = { exports: {} };\n${source}\nexport default module.exports;\n`);
