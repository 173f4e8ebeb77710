// SPDX-License-Identifier: MIT
// Writes an ES module of a CommonJS file of lib/, for the entries that load
// no CommonJS (browsers, Deno, edge workers): its module.exports becomes
// the default export, and each `const NAME = require('./FILE.js');` line an
// import of ./FILE.mjs, converted the same way. Any other require (a
// built-in module's, or one inside code) is refused: such a file is for
// Node.js only. pack.js and the build tree's CMake target run it.
//   node node/scripts/esm.js IN.js OUT.mjs
'use strict';
const fs = require('node:fs');

const [input, output] = process.argv.slice(2);
const imports = [];
const source = fs.readFileSync(input, 'utf8').replace(
  /^const (\w+) = require\('(\.\/[\w.-]+)\.js'\);$/gm, (_, name, file) => {
    imports.push(`import ${name} from '${file}.mjs';`);
    return '';
  });
if (/\brequire\(/.test(source)) {
  console.error(`esm: ${input} requires a module other than ./FILE.js at the top: it converts for Node.js only`);
  process.exit(1);
}
fs.writeFileSync(output, `${imports.join('\n')}\nconst module = { exports: {} };\n${source}\nexport default module.exports;\n`);
