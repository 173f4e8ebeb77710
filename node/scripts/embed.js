// SPDX-License-Identifier: MIT
// Writes lib/sealkit_wasm.js: sealkit.wasm as base64 in a CommonJS module,
// which lib/module.js compiles (pack.js and the build tree's CMake target
// run it).
//   node node/scripts/embed.js sealkit.wasm OUT.js
'use strict';
const fs = require('node:fs');

const [input, output] = process.argv.slice(2);
const base64 = fs.readFileSync(input).toString('base64');
fs.writeFileSync(output, `// SPDX-License-Identifier: MIT\n// sealkit.wasm, written by scripts/embed.js.\n'use strict';\nmodule.exports = '${base64}';\n`);
