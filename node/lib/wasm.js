// SPDX-License-Identifier: MIT
// The WebAssembly back end: sealkit.wasm, the C library built for wasm32
// (scripts/wasm.sh), behind the interface of the native addon, so that the
// package's JavaScript is the same over both.
//
// Linear memory is readable by any code that holds the module, so every
// copy placed there (key, input, output) is wiped when its call ends; key
// objects and streams wipe their own state when freed, as in C. Inputs and
// outputs larger than kSlice go through the library's streams a slice at a
// time, so memory stays flat and any 32-bit length fits. An async call does
// one slice per turn of the event loop, sized to take a few milliseconds.
'use strict';

const U32 = 0xffffffff;
const kSlice = 1 << 20;

// The bytes of a Buffer, TypedArray, DataView or ArrayBuffer, as a
// Uint8Array over the same memory.
function bytes(v, name) {
  if (ArrayBuffer.isView(v)) return new Uint8Array(v.buffer, v.byteOffset, v.byteLength);
  if (v instanceof ArrayBuffer || (typeof SharedArrayBuffer === 'function' && v instanceof SharedArrayBuffer)) {
    return new Uint8Array(v);
  }
  throw new TypeError(`The "${name}" argument must be a Buffer, TypedArray, DataView or ArrayBuffer`);
}

function overlaps(a, b) {
  return a.length > 0 && b.length > 0 && a.buffer === b.buffer &&
    a.byteOffset < b.byteOffset + b.length && b.byteOffset < a.byteOffset + a.length;
}

function refuseOverlap(input, out) {
  if (!overlaps(input, out)) return;
  const e = new TypeError('The "out" argument overlaps the input: give it memory of its own');
  e.code = 'ERR_INVALID_ARG_VALUE';
  throw e;
}

function changed() {
  const e = new TypeError('The input was resized, transferred or detached during the call');
  e.code = 'ERR_INVALID_STATE';
  return e;
}

// wasmBackend(instance, { alloc, later, copyAtOnce, turnMs }): the addon's
// interface on an instance of sealkit.wasm. alloc(n) makes an output of n
// bytes (a Buffer in Node); later() is a Promise that settles on a later
// turn of the event loop; an async call's input of up to copyAtOnce bytes
// is copied when it is made, as the addon does, and a longer one is read a
// slice per turn (a change to its size then fails the call); each turn's
// slice is sized to take about turnMs.
// The object to instantiate sealkit.wasm with: its one import, the host's
// AES for runs of 1 KiB or more (wasm/evp_lite.c). hostAes(cbc, enc, key,
// iv, src, dst) gets views of linear memory (iv null for ECB, src and dst
// the same length, maybe the same bytes), does the run, leaves the CBC chain
// in iv and returns true; memory() gives the instance's memory. Without
// hostAes every run stays in the module.
function imports(hostAes, memory) {
  const run = (cbc, enc, key, keyLen, iv, src, dst, len) => {
    const m = new Uint8Array(memory().buffer);
    const view = (p, n) => m.subarray(p, p + n);
    return hostAes(cbc, enc, view(key, keyLen), cbc ? view(iv, 16) : null, view(src, len), view(dst, len)) ? 1 : 0;
  };
  return { sealkit: { host_aes: hostAes ? run : () => 0 } };
}

module.exports = function wasmBackend(instance, { alloc, later, copyAtOnce, turnMs }) {
  const e = instance.exports;
  let u8 = new Uint8Array(e.memory.buffer);
  let dv = new DataView(e.memory.buffer);
  // Views of linear memory, made again after it grew (growth detaches them).
  const mem = () => (u8.buffer === e.memory.buffer ? u8 : (u8 = new Uint8Array(e.memory.buffer)));
  const view = () => (dv.buffer === e.memory.buffer ? dv : (dv = new DataView(e.memory.buffer)));
  const u32 = (p) => view().getUint32(p, true);
  const setU32 = (p, v) => view().setUint32(p, v, true);
  const cstr = (p) => {
    const m = mem();
    let end = p;
    while (m[end] !== 0) end++;
    return new TextDecoder().decode(m.subarray(p, end));
  };

  let SealkitError = null;
  const fail = (rc) => new SealkitError(rc);
  const check = (rc) => {
    if (rc !== 0) throw fail(rc);
  };
  const closed = (what) => new SealkitError(0, `the ${what} is closed`, 'closed');
  const len32 = (n) => {
    if (n > U32) throw fail(-2);
    return n;
  };

  // n bytes of linear memory, or a RangeError when the module cannot hold
  // them: its memory is 4 GiB at most, and less in practice.
  function place(n) {
    const p = n <= U32 - 16 ? e.malloc(Math.max(n, 1)) : 0;
    if (p === 0) {
      throw new RangeError(`The WebAssembly back end cannot hold ${n} more bytes in its memory; ` +
        'a stream (key.sealer(), key.opener()) keeps memory flat at any size');
    }
    return p;
  }
  // Wipes n bytes at p, then frees them.
  function drop(p, n) {
    mem().fill(0, p, p + Math.max(n, 1));
    e.free(p);
  }
  // Copies `from` into linear memory at p.
  const put = (p, from) => mem().set(from, p);
  const cell = place(8); // the length in/out cell, and a pointer out

  const ciphers = [];
  for (let i = 0; ; i++) {
    const p = e.sealkit_cipher_at(i);
    if (p === 0) break;
    // sealkit_cipher_info: four pointers, then id, block, min, max, step, keygen.
    const name = cstr(u32(p)), constant = cstr(u32(p + 4));
    ciphers.push({ name, constant, id: u32(p + 16), block: u32(p + 20), keyed: u32(p + 24) > 0 });
  }
  const results = [];
  for (let i = 0; ; i++) {
    const p = e.sealkit_result_at(i);
    if (p === 0) break;
    const r = view().getInt32(p, true);
    results.push({ code: r, constant: cstr(u32(p + 4)), name: cstr(u32(p + 8)) });
  }
  const cipherInfo = (id) => {
    const c = ciphers.find((x) => x.id === id);
    if (c === undefined) throw fail(-7);
    return c;
  };
  const SEAL = 1, OPEN = 2;
  const envelopeLen = (n, b) => Math.ceil(n / b) * b + 1;

  // Runs fn(p...) with `parts` (Uint8Arrays) placed in one block of linear
  // memory followed by `room` bytes of output, then wipes it all (and frees
  // it, unless it was the block kept for small calls). fn gets the
  // pointers in order, the output's last.
  const kSmall = 16384;
  const small = place(kSmall);
  function withPlaced(parts, room, fn) {
    let total = room;
    for (const x of parts) total += x.length;
    const base = total <= kSmall ? small : place(total);
    try {
      const ptrs = [];
      let at = base;
      for (const x of parts) {
        put(at, x);
        ptrs.push(at);
        at += x.length;
      }
      ptrs.push(at);
      return fn(...ptrs);
    } finally {
      if (base === small) mem().fill(0, small, small + total);
      else drop(base, total);
    }
  }

  // A library stream on key object k: its slices in and out go through one
  // block of linear memory, reused.
  class WasmStream {
    #s = 0;
    #buf = 0;
    constructor(k, dir, total) {
      this.#buf = place(2 * kSlice + 16);
      setU32(cell, 0);
      const rc = e.sealkit_stream_new(cell, k, dir, total);
      if (rc !== 0) {
        this.free();
        throw fail(rc);
      }
      this.#s = u32(cell);
    }
    // Feeds `input` (any length) and writes what comes out into `out` at
    // `at`, which has room for input.length + 16 bytes; the bytes written.
    update(input, out, at) {
      let n = 0;
      for (let i = 0; i < input.length || i === 0; i += kSlice) {
        const piece = input.subarray(i, i + kSlice);
        put(this.#buf, piece);
        setU32(cell, kSlice + 16);
        const rc = e.sealkit_stream_update(this.#s, this.#buf, piece.length, this.#buf + kSlice, cell);
        mem().fill(0, this.#buf, this.#buf + piece.length);
        if (rc !== 0) throw fail(rc);
        const len = u32(cell);
        const got = mem().subarray(this.#buf + kSlice, this.#buf + kSlice + len);
        out.set(got, at + n);
        got.fill(0);
        n += len;
      }
      return n;
    }
    final() {
      setU32(cell, 16);
      const rc = e.sealkit_stream_final(this.#s, this.#buf + kSlice, cell);
      if (rc !== 0) throw fail(rc);
      const got = mem().subarray(this.#buf + kSlice, this.#buf + kSlice + u32(cell));
      const last = got.slice();
      got.fill(0);
      return last;
    }
    firstByte() {
      check(e.sealkit_stream_first_byte(this.#s, cell));
      return mem()[cell];
    }
    free() {
      if (this.#s !== 0) e.sealkit_stream_free(this.#s);
      if (this.#buf !== 0) drop(this.#buf, 2 * kSlice + 16);
      this.#s = this.#buf = 0;
    }
  }

  // A whole seal or open of `input` into out (room checked by the caller)
  // through a stream on key object k, for inputs over a slice: the
  // library's own checks come first, at the stream's making.
  function streamed(k, dir, input, out) {
    const s = new WasmStream(k, dir, input.length);
    try {
      let n = s.update(input, out, 0);
      const last = s.final();
      out.set(last, n);
      return n + last.length;
    } catch (err) {
      out.fill(0);
      throw err;
    } finally {
      s.free();
    }
  }

  // The room a call writes into: the envelope when sealing, the envelope's
  // own length when opening (the library writes whole blocks).
  const need = (c, dir, n) => (dir === SEAL ? envelopeLen(n, c.block) : n);

  // Copies the library's output at p (len bytes) into out.
  const take = (out, p, len) => out.set(mem().subarray(p, p + len));

  // A key object for a whole call: the caller's key placed, wiped and freed.
  function tempKey(c, key) {
    return withPlaced(key ? [key] : [], 0, (k) => {
      setU32(cell, 0);
      check(e.sealkit_key_new(cell, c.id, key ? k : 0, key ? key.length : 0));
      return u32(cell);
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
        if (room < want) throw fail(-2);
        return streamed(k, dir, input, out.subarray(0, want));
      } finally {
        e.sealkit_key_free(k);
      }
    }
    const parts = key ? [key, input] : [input];
    return withPlaced(parts, Math.max(room, 1), (...p) => {
      const d = p[p.length - 1];
      setU32(cell, room);
      const rc = key ? e.sealkit_crypt(id, dir, p[0], key.length, p[1], input.length, d, cell)
        : e.sealkit_crypt(id, dir, 0, 0, p[0], input.length, d, cell);
      check(rc);
      const len = u32(cell);
      take(out, d, len);
      return len;
    });
  }

  const registry = new FinalizationRegistry((held) => {
    if (held.k !== 0) e.sealkit_key_free(held.k);
  });

  class NativeKey {
    #held;
    #c;
    #busy = false;
    #closing = false;

    constructor(id, keyV) {
      this.#c = cipherInfo(id);
      const key = this.#c.keyed ? bytes(keyV, 'key') : null;
      if (key) len32(key.length);
      this.#held = { k: tempKey(this.#c, key) };
      registry.register(this, this.#held, this);
    }

    #ready() {
      if (this.#held.k === 0) throw closed('Key');
      if (this.#busy) throw fail(-8);
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
        if (room < want) throw fail(-2);
        return streamed(k, dir, input, out.subarray(0, want));
      }
      return withPlaced([input], Math.min(room, Math.max(want, 1)), (s, d) => {
        setU32(cell, Math.min(room, want));
        check(dir === SEAL ? e.sealkit_seal(k, s, input.length, d, cell)
          : e.sealkit_open(k, s, input.length, d, cell));
        const len = u32(cell);
        take(out, d, len);
        return len;
      });
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
    // each sized to take about turnMs; the Key is busy until it settles.
    #async(dir, value) {
      const k = this.#ready();
      const input = bytes(value, dir === SEAL ? 'data' : 'envelope');
      const n = len32(input.length);
      const own = n <= copyAtOnce ? input.slice() : null;
      this.#busy = true;
      const run = async () => {
        let s = null, out = null;
        try {
          s = new WasmStream(k, dir, n);
          out = alloc(need(this.#c, dir, n));
          let done = 0, written = 0, step = 64 << 10;
          for (;;) {
            if (!own && input.length !== n) throw changed();
            const t = performance.now();
            written += s.update((own ?? input).subarray(done, done + step), out, written);
            done = Math.min(n, done + step);
            if (done >= n) break;
            const ms = performance.now() - t;
            if (ms < turnMs / 2 && step < kSlice / 2) step *= 2;
            else if (ms > turnMs && step > 4096) step /= 2;
            await later();
          }
          const last = s.final();
          out.set(last, written);
          written += last.length;
          if (dir === SEAL) out[0] = s.firstByte();
          out.fill(0, written);
          return written === out.length ? out : out.subarray(0, written);
        } catch (err) {
          if (out) out.fill(0);
          throw err;
        } finally {
          if (own && dir === SEAL) own.fill(0);
          if (s) s.free();
          this.#busy = false;
          if (this.#closing) this.close();
        }
      };
      return run();
    }

    stream(dir, total) {
      const k = this.#ready();
      if (dir !== SEAL && dir !== OPEN) throw fail(-7);
      return new NativeStream(new WasmStream(k, dir, typeof total === 'number' ? total : U32));
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

  const streams = new FinalizationRegistry((s) => s.free());

  class NativeStream {
    #s;
    constructor(s) {
      this.#s = s;
      streams.register(this, s, this);
    }
    #live() {
      if (this.#s === null) throw closed('stream');
      return this.#s;
    }
    // As the addon: a view of what was written, with zeros behind it.
    update(chunk) {
      const input = bytes(chunk, 'chunk');
      if (len32(input.length) > U32 - 16) throw fail(-2);
      const out = alloc(input.length + 16).fill(0);
      return out.subarray(0, this.#live().update(input, out, 0));
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
    close() {
      if (this.#s === null) return;
      this.#s.free();
      streams.unregister(this);
      this.#s = null;
    }
  }

  const constants = {};
  for (const c of ciphers) constants[c.constant] = c.id;
  for (const r of results) constants[r.constant] = r.code;
  constants.SEALKIT_SEAL = SEAL;
  constants.SEALKIT_OPEN = OPEN;

  return {
    init(errorClass) {
      SealkitError = errorClass;
    },
    seal: (id, data, key, out) => oneShot(SEAL, id, data, key, out),
    open: (id, envelope, key, out) => oneShot(OPEN, id, envelope, key, out),
    version: cstr(e.sealkit_version()),
    ciphers: ciphers.map(({ name, id, block, keyed }) => ({ name, id, block, keyed })),
    results: results.map(({ code, name }) => ({ code, name })),
    constants,
    strerror: (rc) => cstr(e.sealkit_strerror(rc)),
    NativeKey,
    NativeStream,
  };
};
module.exports.imports = imports;
