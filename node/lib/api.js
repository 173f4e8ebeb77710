// SPDX-License-Identifier: MIT
// The package's API over a back end (lib/backend.d.ts: the native addon, or
// lib/wasm.js), the same in every runtime: the checks, the
// errors, Key, the one-shot and async calls. Each entry supplies what its
// runtime has (index.js for Node.js, browser.mjs for browsers and others).
'use strict';

const paced = require('./pace.js');

// makeApi({ native, backend, alloc, allocPrivate, later, makeStream, copySlice, turnMs }):
//   native        the back end, initialised here with SealkitError
//   alloc(n)      an output of n bytes; allocPrivate(n) one for a private
//                 copy (may be uninitialised: it is filled before use)
//   later()       a Promise that settles on a later turn of the event loop
//   makeStream(s, sealing)  the runtime's stream over a back end's stream
//   copySlice, turnMs       an async input over copySlice bytes is copied
//                 (native back end) a slice per turn, each about turnMs
function makeApi({ native, backend, alloc, allocPrivate, later, makeStream,
  copySlice: kCopySlice, turnMs: kTurnMs }) {
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

  // Outputs come from alloc (Node.js: Buffer.allocUnsafe, pooled for small
  // sizes, which is most of a small call's cost otherwise). A sealed envelope fills its Buffer
  // exactly; an opened plaintext is a view of the first bytes of an envelope's
  // length, and the bytes behind it (the pad, and the last byte, which the
  // library does not write) are zeroed here. A failed call's Buffer is
  // dropped, never returned.
  function sealRoom(c, n) {
    return n === 0 ? 1 : Math.ceil(n / c.block) * c.block + 1;
  }

  function sealed(fill, c, data) {
    const out = alloc(sealRoom(c, data.byteLength));
    fill(out);
    return out;
  }

  function opened(fill, envelope) {
    const out = alloc(Math.max(envelope.byteLength, 1));
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
      const copy = allocPrivate(n);
      this.#copying = true;
      try {
        await paced(n, { first: 1 << 20, min: 65536, max: kCopySlice, turnMs: kTurnMs, later,
          before: () => { if (view.length !== n) throw changedInput(); } },
        (at, len) => copy.set(view.subarray(at, at + len), at));
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

    // A stream that seals what is written to it (Node.js: a Transform; the
    // browser entry: a TransformStream); `total` omitted: of unknown length
    // (then firstByte, once it ended, goes at offset 0).
    sealer(options) {
      return makeStream(this.#ready.stream(constants.SEALKIT_SEAL, totalOf(options)), true);
    }

    // A stream that opens the envelope written to it.
    opener(options) {
      return makeStream(this.#ready.stream(constants.SEALKIT_OPEN, totalOf(options)), false);
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

  return {
    seal,
    open,
    sealAsync,
    openAsync,
    Key,
    SealkitError,
    ciphers: Object.freeze(Object.keys(CIPHERS)),
    constants,
    version: native.version,
    backend,
  };
};

// An async call's input is copied when the call is made up to copySlice
// bytes, a larger one a slice per turn of the event loop, each taking about
// turnMs: the figures every entry and back end use.
makeApi.copySlice = 8 << 20;
makeApi.turnMs = 8;
module.exports = makeApi;
