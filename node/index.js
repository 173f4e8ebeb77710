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

// An async call's input is copied when the call is made up to kCopySlice
// bytes; a larger one a slice per turn of the event loop, each taking about
// kTurnMs.
const kCopySlice = 8 << 20;
const kTurnMs = 8;

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
      if (err.code !== 'MODULE_NOT_FOUND' && err.code !== 'ERR_DLOPEN_FAILED') throw err;
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
  const bytes = fs.readFileSync(path.join(__dirname, 'sealkit.wasm'));
  const instance = new WebAssembly.Instance(new WebAssembly.Module(bytes), {});
  return {
    backend: 'wasm',
    native: require('./lib/wasm.js')(instance, {
      alloc: Buffer.allocUnsafe,
      later: () => new Promise(setImmediate),
      copyAtOnce: kCopySlice,
      turnMs: kTurnMs,
    }),
  };
}
const { backend, native } = loadBackend();

// The C library's ciphers by name, its constants (as zlib.constants), and
// a Node-style code for each of its result codes.
const constants = Object.freeze(native.constants);
const CIPHERS = Object.fromEntries(native.ciphers.map((c) => [c.name, c]));
const CODES = Object.fromEntries(
  native.results.filter((r) => r.code).map((r) => [r.code, `ERR_SEALKIT_${r.name.toUpperCase()}`]));

// A failed call: `result` is the C library's result code, `code` its
// Node-style name. A Key or stream used after close() made no library call:
// the addon marks it 'closed', with result 0. A result the library does not
// list is a fault of this package, named as such.
class SealkitError extends Error {
  constructor(result, message, marker) {
    const code = marker === 'closed' ? 'ERR_SEALKIT_CLOSED' : CODES[result];
    super(message ?? (code ? native.strerror(result)
      : `internal error: the library returned result ${result}, which it does not list`));
    this.name = 'SealkitError';
    this.result = result;
    this.code = code ?? 'ERR_SEALKIT_INTERNAL';
  }
}
native.init(SealkitError);

function changedInput() {
  const e = new TypeError('The input was resized, transferred or detached during the call');
  e.code = 'ERR_INVALID_STATE';
  return e;
}

function typeError(name, value) {
  const got = value === undefined || value === null ? String(value) : `type ${typeof value}`;
  const e = new TypeError(
    `The "${name}" argument must be a Buffer, TypedArray, DataView or ArrayBuffer. Received ${got}`);
  e.code = 'ERR_INVALID_ARG_TYPE';
  return e;
}

function checkBytes(value, name) {
  if (!(ArrayBuffer.isView(value) || value instanceof ArrayBuffer)) throw typeError(name, value);
}

function cipherId(cipher) {
  if (typeof cipher !== 'string') {
    const e = new TypeError(`The "cipher" argument must be a string. Received type ${typeof cipher}`);
    e.code = 'ERR_INVALID_ARG_TYPE';
    throw e;
  }
  const c = Object.hasOwn(CIPHERS, cipher) ? CIPHERS[cipher] : undefined;
  if (c === undefined) {
    throw new SealkitError(constants.SEALKIT_ERR_CIPHER,
      `unknown cipher '${cipher}': one of ${Object.keys(CIPHERS).join(', ')}`);
  }
  return c;
}

// The cipher's record, with its key checked: none for the built-in key,
// bytes otherwise.
function keyed(cipher, key) {
  const c = cipherId(cipher);
  if (!c.keyed) {
    if (key !== undefined && key !== null) {
      throw new SealkitError(constants.SEALKIT_ERR_CIPHER,
        `'${c.name}' uses the library's own key: call it without one`);
    }
  } else {
    checkBytes(key, 'key');
  }
  return c;
}

// Outputs come from Buffer.allocUnsafe (pooled for small sizes, which is
// most of a small call's cost otherwise). A sealed envelope fills its Buffer
// exactly; an opened plaintext is a view of the first bytes of an envelope's
// length, and the bytes behind it (the pad, and the last byte, which the
// library does not write) are zeroed here. A failed call's Buffer is
// dropped, never returned.
function sealRoom(c, n) {
  return n === 0 ? 1 : Math.ceil(n / c.block) * c.block + 1;
}

function sealed(fill, c, data) {
  const out = Buffer.allocUnsafe(sealRoom(c, data.byteLength));
  fill(out);
  return out;
}

function opened(fill, envelope) {
  const out = Buffer.allocUnsafe(Math.max(envelope.byteLength, 1));
  const n = fill(out);
  out.fill(0, n);
  return n === out.length ? out : out.subarray(0, n);
}

function seal(cipher, data, key) {
  const c = keyed(cipher, key);
  checkBytes(data, 'data');
  return sealed((out) => native.seal(c.id, data, key, out), c, data);
}

function open(cipher, envelope, key) {
  const c = keyed(cipher, key);
  checkBytes(envelope, 'envelope');
  return opened((out) => native.open(c.id, envelope, key, out), envelope);
}

// The one-shot async forms: a Key for the one call, closed when it settles.
async function withKey(cipher, key, call) {
  const k = new Key(cipher, key);
  try {
    return await call(k);
  } finally {
    k.close();
  }
}

function sealAsync(cipher, data, key) {
  return withKey(cipher, key, (k) => k.sealAsync(data));
}

function openAsync(cipher, envelope, key) {
  return withKey(cipher, key, (k) => k.openAsync(envelope));
}

function totalOf(options) {
  const total = options?.total;
  if (total === undefined || total === null) return undefined;
  if (!Number.isInteger(total) || total < 0 || total >= 0xffffffff) {
    const e = new RangeError(
      `The "total" option must be an integer from 0 to 4294967294, or omitted. Received ${total}`);
    e.code = 'ERR_OUT_OF_RANGE';
    throw e;
  }
  return total;
}

// A cipher and key with the key schedule built once, for many calls. One
// call at a time: while an async call is in flight, every other call on the
// Key fails with ERR_SEALKIT_BUSY. Use one Key per worker thread.
class Key {
  #k;
  #c;
  #copying = false;
  #closeAfter = false;

  constructor(cipher, key) {
    this.cipher = cipher;
    this.#c = keyed(cipher, key);
    this.#k = new native.NativeKey(this.#c.id, key);
  }

  // The addon's key, unless an async call is still copying its input.
  get #ready() {
    if (this.#copying) throw new SealkitError(constants.SEALKIT_ERR_BUSY);
    return this.#k;
  }

  seal(data) {
    checkBytes(data, 'data');
    return sealed((out) => this.#ready.sealInto(data, out, 0), this.#c, data);
  }

  open(envelope) {
    checkBytes(envelope, 'envelope');
    return opened((out) => this.#ready.openInto(envelope, out, 0), envelope);
  }

  sealInto(data, out, offset = 0) {
    checkBytes(data, 'data');
    checkBytes(out, 'out');
    return this.#ready.sealInto(data, out, offset);
  }

  openInto(envelope, out, offset = 0) {
    checkBytes(envelope, 'envelope');
    checkBytes(out, 'out');
    return this.#ready.openInto(envelope, out, offset);
  }

  sealAsync(data) {
    return this.#async('sealAsync', data, 'data');
  }

  openAsync(envelope) {
    return this.#async('openAsync', envelope, 'envelope');
  }

  #async(method, value, name) {
    try {
      checkBytes(value, name);
      if (this.#copying) throw new SealkitError(constants.SEALKIT_ERR_BUSY);
      if (backend === 'native' && value.byteLength > kCopySlice) return this.#copyThen(method, value);
      return this.#k[method](value);
    } catch (e) {
      return Promise.reject(e);
    }
  }

  // The addon copies an async call's input on the event loop before its
  // worker runs, since JavaScript may change or free it meanwhile. A large
  // input is copied here instead, kCopySlice bytes per turn of the loop, into
  // a Buffer only this call holds, which the addon then takes as it is. The
  // Key is busy meanwhile, as during the call itself.
  async #copyThen(method, value) {
    const view = ArrayBuffer.isView(value) ? new Uint8Array(value.buffer, value.byteOffset, value.byteLength)
      : new Uint8Array(value);
    const n = view.length;
    const copy = Buffer.allocUnsafeSlow(n);
    this.#copying = true;
    try {
      // Slices sized to take about kTurnMs each: a fresh page costs more
      // than a copied one, and machines differ.
      for (let at = 0, step = 1 << 20; at < n;) {
        if (view.length !== n) throw changedInput();
        const t = performance.now();
        copy.set(view.subarray(at, at + step), at);
        at += step;
        const ms = performance.now() - t;
        if (ms < kTurnMs / 2 && step < kCopySlice) step *= 2;
        else if (ms > kTurnMs && step > 65536) step /= 2;
        await new Promise(setImmediate);
      }
      if (view.length !== n) throw changedInput();
    } catch (e) {
      copy.fill(0);
      throw e;
    } finally {
      this.#copying = false;
    }
    const settled = this.#k[method](copy, true);
    if (this.#closeAfter) this.#k.close(); // the addon waits for the call
    return settled;
  }

  // A Transform that seals what is written to it; `total` omitted: of
  // unknown length (then firstByte, after 'finish', goes at offset 0).
  sealer(options) {
    return new SealkitStream(this.#ready.stream(constants.SEALKIT_SEAL, totalOf(options)), true);
  }

  // A Transform that opens the envelope written to it.
  opener(options) {
    return new SealkitStream(this.#ready.stream(constants.SEALKIT_OPEN, totalOf(options)), false);
  }

  // Wipes and frees the key schedule (after the call in flight, if any).
  close() {
    if (this.#copying) this.#closeAfter = true;
    else this.#k.close();
  }

  [Symbol.dispose ?? Symbol.for('nodejs.dispose')]() {
    this.close();
  }
}

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
  seal,
  open,
  sealAsync,
  openAsync,
  Key,
  SealkitError,
  sealFile,
  openFile,
  ciphers: Object.freeze(Object.keys(CIPHERS)),
  constants,
  version: native.version,
  backend,
};
