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

// The back end: the native addon when it was built (when the package was
// installed; npm 12 and later build it only for packages the project
// approved) and loads, else sealkit.wasm, the same C library built for
// WebAssembly. SEALKIT_BACKEND=native or wasm forces one.
function loadBackend() {
  const want = process.env.SEALKIT_BACKEND || '';
  if (!['', 'native', 'wasm'].includes(want)) {
    const e = new Error(`sealkit: SEALKIT_BACKEND=${want}: it must be native, wasm, or unset`);
    e.code = 'ERR_SEALKIT_BACKEND';
    throw e;
  }
  if (want !== 'wasm') {
    try {
      return { backend: 'native', native: require('./build/Release/sealkit.node') };
    } catch (err) {
      // Not built, not loadable here, or addons turned off (node --no-addons).
      if (!['MODULE_NOT_FOUND', 'ERR_DLOPEN_FAILED', 'ERR_DLOPEN_DISABLED'].includes(err.code)) throw err;
      if (want === 'native') {
        const e = new Error(err.code === 'MODULE_NOT_FOUND'
          ? 'sealkit: SEALKIT_BACKEND=native, but the native addon was not built when the package was ' +
            'installed. npm 12 and later run install scripts only for approved packages: ' +
            'npm install-scripts approve sealkit && npm rebuild sealkit'
          : `sealkit: SEALKIT_BACKEND=native, but the native addon does not load: ${err.message}`);
        e.code = 'ERR_SEALKIT_NOT_BUILT';
        e.cause = err;
        throw e;
      }
    }
  }
  const wasm = require('./lib/wasm.js');
  const bytes = fs.readFileSync(path.join(__dirname, 'sealkit.wasm'));
  let memory = null;
  const imports = wasm.imports(require('./lib/node_aes.js'), () => memory);
  const instance = new WebAssembly.Instance(new WebAssembly.Module(bytes), imports);
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

module.exports = {
  seal: api.seal,
  open: api.open,
  sealAsync: api.sealAsync,
  openAsync: api.openAsync,
  Key,
  SealkitError: api.SealkitError,
  sealFile,
  openFile,
  ciphers: api.ciphers,
  constants: api.constants,
  version: api.version,
  backend,
};
