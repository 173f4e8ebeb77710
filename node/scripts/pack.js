// SPDX-License-Identifier: MIT
// Packs the package into node/sealkit-VERSION.tgz, a tarball that installs
// offline: the library's source goes into deps/ for the native addon, and
// node-addon-api (from wherever Node resolves it: Debian's package or the
// npm registry's) into node_modules/; sealkit.wasm, the WebAssembly back
// end, comes from SEALKIT_WASM or build/wasm (./build.sh wasm). The version
// is the library's, read from sealkit.h, where CMake reads it too.
'use strict';
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const here = path.resolve(__dirname, '..');
const lib = path.join(here, '..', 'sealkit');
const header = fs.readFileSync(path.join(lib, 'sealkit.h'), 'utf8');
const version = ['MAJOR', 'MINOR', 'PATCH']
  .map((part) => header.match(new RegExp(`^#define SEALKIT_VERSION_${part} (\\d+)$`, 'm'))[1])
  .join('.');
const wasm = process.env.SEALKIT_WASM || path.join(here, '..', 'build', 'wasm', 'sealkit.wasm');
if (!fs.existsSync(wasm)) {
  console.error(`pack: no ${wasm}: build it first (./build.sh wasm), or name it in SEALKIT_WASM`);
  process.exit(1);
}
const stage = fs.mkdtempSync(path.join(os.tmpdir(), 'sealkit-pack-'));
try {
  for (const f of ['index.js', 'index.d.ts', 'browser.mjs', 'browser.d.mts', 'edge.mjs', 'binding.gyp', 'src', 'lib',
    'scripts/install.js']) {
    fs.cpSync(path.join(here, f), path.join(stage, f), { recursive: true });
  }
  for (const m of ['wasm', 'api']) {
    execFileSync(process.execPath, [path.join(here, 'scripts', 'esm.js'), path.join(here, 'lib', `${m}.js`),
      path.join(stage, 'lib', `${m}.mjs`)], { stdio: 'inherit' });
  }
  fs.copyFileSync(wasm, path.join(stage, 'sealkit.wasm'));
  fs.mkdirSync(path.join(stage, 'deps', 'sealkit'), { recursive: true });
  for (const f of ['sealkit.cpp', 'sealkit.h']) {
    fs.copyFileSync(path.join(lib, f), path.join(stage, 'deps', 'sealkit', f));
  }
  const api = path.dirname(require.resolve('node-addon-api/package.json'));
  fs.cpSync(api, path.join(stage, 'node_modules', 'node-addon-api'), { recursive: true, dereference: true });
  const pkg = JSON.parse(fs.readFileSync(path.join(here, 'package.json'), 'utf8'));
  fs.writeFileSync(path.join(stage, 'package.json'), `${JSON.stringify({ name: pkg.name, version, ...pkg }, null, 2)}\n`);
  execFileSync('npm', ['pack', '--silent', '--pack-destination', here], { cwd: stage, stdio: 'inherit' });
} finally {
  fs.rmSync(stage, { recursive: true, force: true });
}
