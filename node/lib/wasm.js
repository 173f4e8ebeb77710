// SPDX-License-Identifier: MIT
// The WebAssembly back end: sealkit.wasm, the C library built for wasm32
// (scripts/wasm.sh), behind the interface the native addon has
// (lib/backend.d.ts), so that the package's JavaScript is the same over
// both. Every copy placed in linear memory (key, input, output) is wiped
// when its call ends; key objects and streams wipe their own state when
// freed, as in C. Inputs and outputs larger than a slice go through the
// library's streams (lib/wasm_stream.js). An async call does one slice per
// turn of the event loop (lib/pace.js); where the runtime lends WebCrypto
// and no synchronous AES, its long AES runs go to WebCrypto
// (lib/wasm_async.js), and so do a stream's.
'use strict';

const linearMemory = require('./wasm_memory.js');
const wasmStreams = require('./wasm_stream.js');
const paced = require('./pace.js');
const wasmAsync = require('./wasm_async.js');

const { U32 } = linearMemory;
const kSlice = 1 << 20;
// Async inputs and stream chunks from this size on go to WebCrypto, where
// it serves: in Chromium its calls beat the module's own AES from the size
// on which the module hands runs to a host. Each WebCrypto call gets at
// most kLaterSlice: Chromium serves runs of 64 to 256 KiB faster than
// longer ones, which cost it fresh memory.
const kLaterMin = 1024;
const kLaterSlice = 256 << 10;

// The bytes of a Buffer, TypedArray, DataView or ArrayBuffer, as a
// Uint8Array over the same memory.
function bytes(v, name) {
  if (ArrayBuffer.isView(v)) return new Uint8Array(v.buffer, v.byteOffset, v.byteLength);
  if (v instanceof ArrayBuffer || (typeof SharedArrayBuffer === 'function' && v instanceof SharedArrayBuffer)) {
    return new Uint8Array(v);
  }
  throw new TypeError(`The "${name}" argument must be a Buffer, TypedArray, DataView or ArrayBuffer`);
}

function refuseOverlap(input, out) {
  if (!(input.length > 0 && out.length > 0 && input.buffer === out.buffer &&
    input.byteOffset < out.byteOffset + out.length && out.byteOffset < input.byteOffset + input.length)) return;
  const e = new TypeError('The "out" argument overlaps the input: give it memory of its own');
  e.code = 'ERR_INVALID_ARG_VALUE';
  throw e;
}

function changed() {
  const e = new TypeError('The input was resized, transferred or detached during the call');
  e.code = 'ERR_INVALID_STATE';
  return e;
}

// Edge workers before 2025 have no FinalizationRegistry: a Key there is
// wiped by close() alone.
const Registry = globalThis.FinalizationRegistry ?? class {
  register() {}
  unregister() {}
};

// The object to instantiate sealkit.wasm with: its one import, the host's
// AES for runs of 1 KiB or more (wasm/evp_lite.c). hostAes(cbc, enc, key,
// iv, src, dst) gets views of linear memory (iv null for ECB, src and dst
// the same length, maybe the same bytes), does the run, leaves the CBC chain
// in iv and returns true, or false to leave it to the module; memory()
// gives the instance's memory. An async route armed for the call
// (lib/wasm_async.js) is asked first.
function imports(hostAes, memory) {
  const run = (cbc, enc, key, keyLen, iv, src, dst, len) => {
    const m = new Uint8Array(memory().buffer);
    const view = (p, n) => m.subarray(p, p + n);
    const k = view(key, keyLen), chain = cbc ? view(iv, 16) : null, from = view(src, len);
    if (wasmAsync.takeLater(cbc, enc, k, chain, from, dst)) return 2;
    return hostAes && hostAes(cbc, enc, k, chain, from, view(dst, len)) ? 1 : 0;
  };
  return { sealkit: { host_aes: run } };
}

// wasmBackend(instance, { alloc, later, copyAtOnce, turnMs, subtle }): the
// back end on an instance of sealkit.wasm. alloc(n) makes an output of n
// bytes (a Buffer in Node); later() is a Promise that settles on a later
// turn of the event loop; an async call's input of up to copyAtOnce bytes
// is copied when it is made, as the addon does, and a longer one is read a
// slice per turn (a change to its size then fails the call); each turn's
// slice is sized to take about turnMs. subtle, when given, is the
// SubtleCrypto that async calls and streams hand long AES runs to.
module.exports = function wasmBackend(instance, { alloc, later, copyAtOnce, turnMs, subtle }) {
  const e = instance.exports;
  const m = linearMemory(e);
  const { ciphers, results } = m;
  const constants = {};
  for (const c of ciphers) constants[c.constant] = c.id;
  for (const r of results) constants[r.constant] = r.code;
  // A stream holds back at most one block of its cipher.
  constants.SEALKIT_STREAM_EXTRA = Math.max(...ciphers.map((c) => c.block));
  constants.SEALKIT_SEAL = 1;
  constants.SEALKIT_OPEN = 2;
  const { SEALKIT_SEAL: SEAL, SEALKIT_OPEN: OPEN, SEALKIT_STREAM_EXTRA: extra } = constants;
  const { SEALKIT_ERR_CAPACITY: CAPACITY, SEALKIT_ERR_CIPHER: CIPHER, SEALKIT_ERR_BUSY: BUSY } = constants;

  let SealkitError = null;
  const fail = (rc) => new SealkitError(rc);
  const check = (rc) => {
    if (rc !== 0) throw fail(rc);
  };
  const closed = (what) => new SealkitError(0, `the ${what} is closed`, 'closed');
  const len32 = (n) => {
    if (n > U32) throw fail(CAPACITY);
    return n;
  };
  const { WasmStream, streamed, cell } = wasmStreams(e, m, { fail, slice: kSlice, extra });

  const cipherInfo = (id) => {
    const c = ciphers.find((x) => x.id === id);
    if (c === undefined) throw fail(CIPHER);
    return c;
  };
  // The room a call writes into: the envelope when sealing, the envelope's
  // own length when opening (the library writes whole blocks).
  const need = (c, dir, n) => (dir === SEAL ? Math.ceil(n / c.block) * c.block + 1 : n);

  // A key object for a whole call: the caller's key placed, wiped and freed.
  function tempKey(c, key) {
    return m.withPlaced(key ? [key] : [], 0, (k) => {
      m.setU32(cell, 0);
      check(e.sealkit_key_new(cell, c.id, key ? k : 0, key ? key.length : 0));
      return m.u32(cell);
    });
  }

  // One call of the library into `out`'s first bytes, with `room` of them
  // usable: call(inputPointer, outputPointer) runs it with the length cell
  // set; the length written.
  function placed(parts, out, room, call) {
    return m.withPlaced(parts, Math.max(room, 1), (...p) => {
      m.setU32(cell, room);
      check(call(...p));
      const len = m.u32(cell);
      m.take(out, 0, p[p.length - 1], len);
      return len;
    });
  }

  function oneShot(dir, id, dataV, keyV, outV) {
    const c = cipherInfo(id);
    const input = bytes(dataV, dir === SEAL ? 'data' : 'envelope');
    len32(input.length);
    const key = c.keyed ? bytes(keyV, 'key') : null;
    const out = bytes(outV, 'out');
    const want = need(c, dir, input.length);
    const room = Math.min(out.length, U32, want);
    if (input.length > kSlice) {
      const k = tempKey(c, key);
      try {
        if (room < want) throw fail(CAPACITY);
        return streamed(k, dir, input, out.subarray(0, want));
      } finally {
        e.sealkit_key_free(k);
      }
    }
    return placed(key ? [key, input] : [input], out, room, (...p) => (key
      ? e.sealkit_crypt(id, dir, p[0], key.length, p[1], input.length, p[2], cell)
      : e.sealkit_crypt(id, dir, 0, 0, p[0], input.length, p[1], cell)));
  }

  const registry = new Registry((held) => {
    if (held.k !== 0) e.sealkit_key_free(held.k);
  });

  class NativeKey {
    #held;
    #c;
    #busy = false;
    #closing = false;
    // On the WebCrypto route: the CryptoKey, which this key's calls and
    // streams share, and the room for runs, which its async calls (one at a
    // time) share.
    #webKey = {};
    #room = {};

    constructor(id, keyV) {
      this.#c = cipherInfo(id);
      const key = this.#c.keyed ? bytes(keyV, 'key') : null;
      if (key) len32(key.length);
      this.#held = { k: tempKey(this.#c, key) };
      registry.register(this, this.#held, this);
    }

    #ready() {
      if (this.#held.k === 0) throw closed('Key');
      if (this.#busy) throw fail(BUSY);
      return this.#held.k;
    }

    #into(dir, dataV, outV, offset) {
      const k = this.#ready();
      const input = bytes(dataV, dir === SEAL ? 'data' : 'envelope');
      let out = bytes(outV, 'out');
      const at = typeof offset === 'number' ? offset : 0;
      if (!(at >= 0 && at <= out.length)) throw new RangeError('The "offset" argument is out of range');
      out = out.subarray(Math.floor(at));
      len32(input.length);
      refuseOverlap(input, out);
      const want = need(this.#c, dir, input.length);
      const room = Math.min(out.length, U32);
      if (input.length > kSlice) {
        if (room < want) throw fail(CAPACITY);
        return streamed(k, dir, input, out.subarray(0, want));
      }
      return placed([input], out, Math.min(room, want), (s, d) => (dir === SEAL
        ? e.sealkit_seal(k, s, input.length, d, cell) : e.sealkit_open(k, s, input.length, d, cell)));
    }

    sealInto(data, out, offset) {
      return this.#into(SEAL, data, out, offset);
    }

    openInto(envelope, out, offset) {
      return this.#into(OPEN, envelope, out, offset);
    }

    sealAsync(data) {
      return this.#async(SEAL, data);
    }

    openAsync(envelope) {
      return this.#async(OPEN, envelope);
    }

    // An async call: checked now; then a slice per turn of the event loop,
    // or per WebCrypto call where it serves; the Key is busy until it
    // settles. An input of up to copyAtOnce bytes is copied now, into
    // linear memory (reused, where a new buffer's first touch costs), and
    // wiped at the end; a longer one is read as the call goes.
    #async(dir, value) {
      const k = this.#ready();
      const input = bytes(value, dir === SEAL ? 'data' : 'envelope');
      const n = len32(input.length);
      const own = n <= copyAtOnce ? m.place(n) : 0;
      if (own) m.put(own, input);
      this.#busy = true;
      const run = async () => {
        let s = null, out = null;
        try {
          s = new WasmStream(k, dir, n);
          out = alloc(need(this.#c, dir, n));
          // Views of linear memory are made again for each slice: it may grow.
          const from = (at, len) => (own ? m.mem().subarray(own + at, own + at + len) : input.subarray(at, at + len));
          const unchanged = () => { if (!own && input.length !== n) throw changed(); };
          let written = 0, at = 0;
          if (subtle && n >= kLaterMin) {
            const route = new wasmAsync.LaterAes(subtle, e, m, { later, turnMs, key: this.#webKey, room: this.#room });
            for (; at < n && !route.declined; at += kLaterSlice) {
              written += await s.updateLater(from(at, Math.min(kLaterSlice, n - at)), out, written, route, unchanged,
                kLaterSlice);
            }
          }
          if (at < n || n === 0) {
            await paced(n - at, { first: 64 << 10, min: 4096, max: kSlice / 2, turnMs, later, before: unchanged },
              (i, len) => { written += s.update(from(at + i, len), out, written); });
          }
          const last = s.final();
          out.set(last, written);
          written += last.length;
          last.fill(0);
          if (dir === SEAL) out[0] = s.firstByte();
          out.fill(0, written);
          return written === out.length ? out : out.subarray(0, written);
        } catch (err) {
          if (out) out.fill(0);
          throw err;
        } finally {
          if (own) m.drop(own, n);
          if (s) s.free();
          this.#busy = false;
          if (this.#closing) this.close();
        }
      };
      return run();
    }

    stream(dir, total) {
      const k = this.#ready();
      if (dir !== SEAL && dir !== OPEN) throw fail(CIPHER);
      return new NativeStream(new WasmStream(k, dir, typeof total === 'number' ? total : U32), this.#webKey);
    }

    close() {
      if (this.#busy) {
        this.#closing = true;
        return;
      }
      if (this.#held.k !== 0) e.sealkit_key_free(this.#held.k);
      this.#held.k = 0;
      registry.unregister(this);
    }
  }

  const streams = new Registry((s) => s.free());

  class NativeStream {
    #s;
    #route = null;
    #busy = false;
    #closing = false;
    #webKey;
    constructor(s, webKey) {
      this.#s = s;
      this.#webKey = webKey;
      streams.register(this, s, this);
    }
    #live() {
      if (this.#s === null) throw closed('stream');
      if (this.#busy) throw fail(BUSY);
      return this.#s;
    }
    #out(input) {
      if (len32(input.length) > U32 - extra) throw fail(CAPACITY);
      return alloc(input.length + extra).fill(0);
    }
    // As the addon: a view of what was written, with zeros behind it.
    update(chunk) {
      const input = bytes(chunk, 'chunk');
      const out = this.#out(input);
      return out.subarray(0, this.#live().update(input, out, 0));
    }
    // As update(), with long chunks' AES on WebCrypto where it serves.
    async updateAsync(chunk) {
      const input = bytes(chunk, 'chunk');
      if (!subtle || input.length < kLaterMin) return this.update(input);
      const s = this.#live();
      const n = input.length;
      const out = this.#out(input);
      this.#route ??= new wasmAsync.LaterAes(subtle, e, m, { later, turnMs, key: this.#webKey, room: {} });
      this.#busy = true;
      try {
        return out.subarray(0, await s.updateLater(input, out, 0, this.#route, () => {
          if (input.length !== n) throw changed();
        }, kLaterSlice));
      } catch (err) {
        out.fill(0);
        throw err;
      } finally {
        this.#busy = false;
        if (this.#closing) this.close();
      }
    }
    final() {
      const last = this.#live().final();
      const out = alloc(last.length);
      out.set(last);
      last.fill(0);
      return out;
    }
    firstByte() {
      return this.#live().firstByte();
    }
    // During an updateAsync, once it settles.
    close() {
      if (this.#busy) {
        this.#closing = true;
        return;
      }
      if (this.#s === null) return;
      this.#s.free();
      streams.unregister(this);
      this.#s = null;
    }
  }

  return {
    init(errorClass) {
      SealkitError = errorClass;
    },
    seal: (id, data, key, out) => oneShot(SEAL, id, data, key, out),
    open: (id, envelope, key, out) => oneShot(OPEN, id, envelope, key, out),
    version: m.cstr(e.sealkit_version()),
    ciphers: ciphers.map(({ name, id, block, keyed }) => ({ name, id, block, keyed })),
    results: results.map(({ code, name }) => ({ code, name })),
    constants,
    strerror: (rc) => m.cstr(e.sealkit_strerror(rc)),
    NativeKey,
    NativeStream,
  };
};
module.exports.imports = imports;
