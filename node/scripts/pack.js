// SPDX-License-Identifier: MIT
// Packs the npm packages into node/, each a tarball that installs offline
// with no install script:
//   sealkit-VERSION.tgz            the API, the WebAssembly back end
//                                  (sealkit.wasm, also carried inside
//                                  lib/sealkit_wasm.js) and the types
//   sealkit-linux-ARCH-gnu-VERSION.tgz  @sealkit/linux-ARCH-gnu: the native
//                                  addon, prebuilt for Linux with glibc, with
//                                  libcrypto linked in (statically, its
//                                  symbols hidden), so that it loads beside
//                                  any OpenSSL the system or Node.js has
//   node node/scripts/pack.js [ARCH...]       (default: this machine's)
// into SEALKIT_PACK_OUT where it is set.
// ARCH is x64 or arm64; another than the machine's needs Debian's cross
// compiler (g++-aarch64-linux-gnu) and the target's libssl-dev unpacked
// under SEALKIT_CRYPTO_ROOT (scripts/npm.sh does both). The module comes
// from SEALKIT_WASM or build/wasm (./build.sh wasm); the addon is built
// with Node.js's headers (libnode-dev) and node-addon-api. The version is
// the library's, read from sealkit.h, where CMake reads it too.
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
const triplets = { x64: 'x86_64-linux-gnu', arm64: 'aarch64-linux-gnu' };
const arches = process.argv.slice(2).length ? process.argv.slice(2) : [process.arch];

function die(message) {
  console.error(`pack: ${message}`);
  process.exit(1);
}

for (const a of arches) if (!triplets[a]) die(`no prebuilt addon for '${a}': x64 or arm64`);
const wasm = process.env.SEALKIT_WASM || path.join(here, '..', 'build', 'wasm', 'sealkit.wasm');
if (!fs.existsSync(wasm)) die(`no ${wasm}: build it first (./build.sh wasm), or name it in SEALKIT_WASM`);
const license = path.join(here, '..', 'LICENSE');
const dest = path.resolve(process.env.SEALKIT_PACK_OUT || here);

function npmPack(dir) {
  execFileSync('npm', ['pack', '--silent', '--pack-destination', dest], { cwd: dir, stdio: ['ignore', 'ignore', 'inherit'] });
}

function writeJson(file, value) {
  fs.writeFileSync(file, `${JSON.stringify(value, null, 2)}\n`);
}

// The main package: package.json's own files, lib/'s CommonJS files with
// their ES module twins, the module.
function packMain(stage) {
  const pkg = JSON.parse(fs.readFileSync(path.join(here, 'package.json'), 'utf8'));
  for (const f of pkg.files) fs.cpSync(path.join(here, f), path.join(stage, f), { recursive: true });
  const run = (script, ...args) => execFileSync(process.execPath, [path.join(here, 'scripts', script), ...args],
    { stdio: 'inherit' });
  run('embed.js', wasm, path.join(stage, 'lib', 'sealkit_wasm.js'));
  for (const f of fs.readdirSync(path.join(stage, 'lib'))) {
    if (f.endsWith('.js')) {
      run('esm.js', path.join(stage, 'lib', f), path.join(stage, 'lib', f.replace(/\.js$/, '.mjs')));
    }
  }
  fs.copyFileSync(wasm, path.join(stage, 'sealkit.wasm'));
  fs.copyFileSync(license, path.join(stage, 'LICENSE'));
  pkg.files.push('sealkit.wasm');
  const optionalDependencies = Object.fromEntries(Object.keys(triplets).map((a) => [`@sealkit/linux-${a}-gnu`, version]));
  writeJson(path.join(stage, 'package.json'), { name: pkg.name, version, ...pkg, optionalDependencies });
  npmPack(stage);
}

// The addon for `arch`, built from src/addon.cc and the library's source
// against the target's libcrypto.a.
function buildAddon(arch, out) {
  const triplet = triplets[arch];
  const cross = triplets[process.arch] !== triplet;
  const cxx = process.env.CXX || (cross ? `${triplet}-g++` : 'g++');
  const root = cross ? process.env.SEALKIT_CRYPTO_ROOT : '/';
  if (!root) die(`SEALKIT_CRYPTO_ROOT must name ${arch}'s libssl-dev, unpacked (scripts/npm.sh ${arch} does that)`);
  const crypto = path.join(root, 'usr', 'lib', triplet, 'libcrypto.a');
  if (!fs.existsSync(crypto)) die(`no ${crypto}: install libssl-dev${cross ? ` for ${arch}` : ''}`);
  const targetInclude = cross ? ['usr/include', `usr/include/${triplet}`].map((d) => `-isystem${path.join(root, d)}`) : [];
  const nodeInclude = [path.join(path.dirname(process.execPath), '..', 'include', 'node'), '/usr/include/node',
    '/usr/include/nodejs/src'].find((d) => fs.existsSync(path.join(d, 'node_api.h')));
  if (!nodeInclude) die('no node_api.h: install libnode-dev (Debian) or Node.js\'s headers');
  let napi;
  try {
    napi = path.dirname(require.resolve('node-addon-api/package.json', { paths: [here] }));
  } catch {
    die('no node-addon-api: install Debian\'s node-addon-api, or npm install node-addon-api in node/');
  }
  try {
    execFileSync(cxx, ['-std=c++20', '-O2', '-fPIC', '-shared', '-fvisibility=hidden', '-fexceptions',
      '-DNAPI_VERSION=8', '-DNAPI_CPP_EXCEPTIONS', '-DBUILDING_NODE_EXTENSION', `-I${napi}`,
      `-I${lib}`, ...targetInclude,
      // After the system's headers: Node.js's carry an OpenSSL of their own.
      `-idirafter${nodeInclude}`, path.join(here, 'src', 'addon.cc'), path.join(lib, 'sealkit.cpp'), '-o', out,
      // libcrypto's symbols stay inside: Node.js may export its own OpenSSL's.
      '-Wl,--exclude-libs,ALL', crypto, '-Wl,-s'], { stdio: 'inherit' });
  } catch (err) {
    die(`${cxx} failed to build the addon for ${arch} (${err.message.split('\n')[0]})`);
  }
}

function packPlatform(arch, stage) {
  buildAddon(arch, path.join(stage, 'sealkit.node'));
  fs.copyFileSync(license, path.join(stage, 'LICENSE'));
  writeJson(path.join(stage, 'package.json'), {
    name: `@sealkit/linux-${arch}-gnu`,
    version,
    description: `sealkit's native addon for Linux ${arch} with glibc, installed by sealkit`,
    license: 'MIT',
    main: 'sealkit.node',
    files: ['sealkit.node'],
    os: ['linux'],
    cpu: [arch],
    libc: ['glibc'],
  });
  npmPack(stage);
}

const stage = fs.mkdtempSync(path.join(os.tmpdir(), 'sealkit-pack-'));
try {
  packMain(path.join(stage, 'main'));
  for (const arch of arches) {
    fs.mkdirSync(path.join(stage, arch));
    packPlatform(arch, path.join(stage, arch));
  }
} finally {
  fs.rmSync(stage, { recursive: true, force: true });
}
for (const f of fs.readdirSync(dest).filter((n) => n.endsWith(`-${version}.tgz`))) {
  console.log(`${path.join(dest, f)}: ${fs.statSync(path.join(dest, f)).size} bytes`);
}
