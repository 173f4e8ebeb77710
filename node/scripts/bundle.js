// SPDX-License-Identifier: MIT
// Before `npm pack`: copies the library's source into deps/ and node-addon-api
// (from wherever Node resolves it: Debian's package or the npm registry's)
// into node_modules/, so that the tarball builds offline.
'use strict';
const fs = require('node:fs');
const path = require('node:path');

const here = path.resolve(__dirname, '..');
const lib = path.join(here, 'deps', 'sealkit');
fs.mkdirSync(lib, { recursive: true });
for (const f of ['sealkit.cpp', 'sealkit.h']) {
  fs.copyFileSync(path.join(here, '..', 'sealkit', f), path.join(lib, f));
}
const api = path.dirname(require.resolve('node-addon-api/package.json'));
const bundled = path.join(here, 'node_modules', 'node-addon-api');
if (path.resolve(api) !== path.resolve(bundled)) {
  fs.rmSync(bundled, { recursive: true, force: true });
  fs.cpSync(api, bundled, { recursive: true, dereference: true });
}
