// SPDX-License-Identifier: MIT
// sealkit for Node.js: the same envelopes as the C library, the command and
// the Python package. Buffers in and out, Promises for work off the event
// loop, stream.Transform for streams. index.d.ts has every signature.
'use strict';

const fs = require('node:fs');
const fsp = require('node:fs/promises');
const os = require('node:os');
const path = require('node:path');
const { Transform, Readable } = require('node:stream');
const { pipeline } = require('node:stream/promises');

const makeApi = require('./lib/api.js');

// A setting from the environment; unset where the runtime denies reading
// it (Deno without --allow-env).
function setting(name) {
  try {
    return process.env[name] || '';
  } catch {
    return '';
  }
}

// The native addon: the one a source build put beside this file (the build
// tree, or a build on request: README), else this platform's prebuilt
// package, which npm installs with this one where one fits (Linux x86-64
// and arm64 with glibc). null when there is none; an addon that is there
// but fails to load (node --no-addons, Deno without --allow-ffi, a foreign
// libc) throws.
function addon() {
  const found = [
    () => require('./build/Release/sealkit.node'),
    () => (process.platform === 'linux' && process.arch === 'x64' ? require('@sealkit/linux-x64-gnu') : null),
    () => (process.platform === 'linux' && process.arch === 'arm64' ? require('@sealkit/linux-arm64-gnu') : null),
  ];
  for (const load of found) {
    try {
      const a = load();
      if (a) return a;
    } catch (err) {
      if (err.code !== 'MODULE_NOT_FOUND') throw err;
    }
  }
  return null;
}

// The back end: the native addon where there is one and it loads, else
// sealkit.wasm, the same C library built for WebAssembly.
// SEALKIT_BACKEND=native or wasm forces one.
function loadBackend() {
  const want = setting('SEALKIT_BACKEND');
  if (!['', 'native', 'wasm'].includes(want)) {
    const e = new Error(`sealkit: SEALKIT_BACKEND=${want}: it must be native, wasm, or unset`);
    e.code = 'ERR_SEALKIT_BACKEND';
    throw e;
  }
  if (want !== 'wasm') {
    let native = null, cause = null;
    try {
      native = addon();
    } catch (err) {
      cause = err;
    }
    if (native) return { backend: 'native', native };
    if (want === 'native') {
      const e = new Error(cause
        ? `sealkit: SEALKIT_BACKEND=native, but the native addon does not load: ${cause.message}`
        : `sealkit: SEALKIT_BACKEND=native, but there is no native addon for ${process.platform}-${process.arch}: ` +
          'npm installs @sealkit/linux-x64-gnu or @sealkit/linux-arm64-gnu with sealkit on Linux with glibc; ' +
          'elsewhere build one from source (the README\'s "From JavaScript")');
      e.code = 'ERR_SEALKIT_NOT_BUILT';
      e.cause = cause ?? undefined;
      throw e;
    }
  }
  const wasm = require('./lib/wasm.js');
  let memory = null;
  const nodeAes = require('./lib/node_aes.js')(require('node:crypto'));
  const instance = require('./lib/module.js')(wasm.imports(nodeAes, () => memory));
  memory = instance.exports.memory;
  return {
    backend: 'wasm',
    native: wasm(instance, {
      alloc: Buffer.allocUnsafe,
      later: () => new Promise(setImmediate),
      copyAtOnce: makeApi.copySlice,
      turnMs: makeApi.turnMs,
    }),
  };
}
const { backend, native } = loadBackend();

const api = makeApi({
  native,
  backend,
  alloc: Buffer.allocUnsafe,
  allocPrivate: Buffer.allocUnsafeSlow,
  later: () => new Promise(setImmediate),
  makeStream: (s, sealing) => new SealkitStream(s, sealing),
  copySlice: makeApi.copySlice,
  turnMs: makeApi.turnMs,
});
const { Key } = api;

class SealkitStream extends Transform {
  #s;
  #sealing;

  constructor(s, sealing) {
    super();
    this.#s = s;
    this.#sealing = sealing;
    // A sealer's pad-count byte, once 'finish' was emitted.
    this.firstByte = undefined;
  }

  _transform(chunk, encoding, callback) {
    try {
      callback(null, this.#s.update(typeof chunk === 'string' ? Buffer.from(chunk, encoding) : chunk));
    } catch (e) {
      callback(e);
    }
  }

  _flush(callback) {
    try {
      const last = this.#s.final();
      if (this.#sealing) this.firstByte = this.#s.firstByte();
      callback(null, last);
    } catch (e) {
      callback(e);
    }
  }

  _destroy(err, callback) {
    this.#s.close();
    callback(err);
  }
}

async function sourceOf(src) {
  if (typeof src === 'string') {
    return { stream: fs.createReadStream(src), total: (await fsp.stat(src)).size };
  }
  if (src instanceof Readable || typeof src?.pipe === 'function') return { stream: src, total: undefined };
  throw new TypeError(`The "src" argument must be a path or a Readable. Received type ${typeof src}`);
}

function checkDst(dst) {
  if (typeof dst === 'string' || typeof dst?.write === 'function') return;
  throw new TypeError(`The "dst" argument must be a path or a Writable. Received type ${typeof dst}`);
}

function checkKey(key, fn) {
  if (!(key instanceof Key)) {
    throw new TypeError(`${fn} takes a sealkit Key, such as new Key('aes-cbc', keyBytes)`);
  }
}

// Seals src (a path, or a Readable of unknown length) into dst (a path or a
// Writable). With src's length unknown, the pad-count byte comes last: it is
// written in place into a dst path, or through a temporary file of
// ciphertext into a Writable.
async function sealFile(key, src, dst) {
  checkKey(key, 'sealFile');
  checkDst(dst);
  const { stream, total } = await sourceOf(src);
  const sealer = key.sealer({ total });
  if (total !== undefined) {
    await pipeline(stream, sealer, typeof dst === 'string' ? fs.createWriteStream(dst) : dst);
    return;
  }
  const dir = typeof dst === 'string' ? null : await fsp.mkdtemp(path.join(os.tmpdir(), 'sealkit-'));
  const file = dir ? path.join(dir, 'envelope') : dst;
  try {
    await pipeline(stream, sealer, fs.createWriteStream(file, { mode: 0o600 }));
    const fh = await fsp.open(file, 'r+');
    try {
      await fh.write(Buffer.of(sealer.firstByte), 0, 1, 0);
    } finally {
      await fh.close();
    }
    if (dir) await pipeline(fs.createReadStream(file), dst);
  } finally {
    if (dir) await fsp.rm(dir, { recursive: true, force: true });
  }
}

// Opens the envelope in src (a path or a Readable) into dst (a path or a
// Writable).
async function openFile(key, src, dst) {
  checkKey(key, 'openFile');
  checkDst(dst);
  const { stream, total } = await sourceOf(src);
  await pipeline(stream, key.opener({ total }), typeof dst === 'string' ? fs.createWriteStream(dst) : dst);
}

const { seal, open, sealAsync, openAsync, SealkitError, ciphers, constants, version } = api;

// One name a line, as Node's scan of CommonJS exports reads them: every one
// is then a named import of ESM too.
module.exports = {
  seal,
  open,
  sealAsync,
  openAsync,
  Key,
  SealkitError,
  sealFile,
  openFile,
  ciphers,
  constants,
  version,
  backend,
};
