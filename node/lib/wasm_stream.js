// SPDX-License-Identifier: MIT
// The library's streams (sealkit_stream_*) in sealkit.wasm, for
// lib/wasm.js: every input and output goes through one block of linear
// memory, reused and wiped after each slice, so memory stays flat and any
// 32-bit length fits.
'use strict';

// wasmStreams(e, m, { fail, slice, extra }): the WasmStream class and
// streamed(), on instance exports e and its linear memory m
// (lib/wasm_memory.js). fail(rc) makes the error for a result code; a
// slice is at most `slice` bytes, and a stream writes at most `extra`
// bytes more than it is given.
module.exports = function wasmStreams(e, m, { fail, slice, extra }) {
  const cell = m.place(8); // the length in/out cell, and a pointer out
  const room = 2 * slice + extra;

  class WasmStream {
    #s = 0;
    #buf = 0;
    constructor(k, dir, total) {
      this.#buf = m.place(room);
      m.setU32(cell, 0);
      const rc = e.sealkit_stream_new(cell, k, dir, total);
      if (rc !== 0) {
        this.free();
        throw fail(rc);
      }
      this.#s = m.u32(cell);
    }

    // Feeds `input` (any length) and writes what comes out into `out` at
    // `at`, which has room for input.length + extra bytes; the bytes written.
    update(input, out, at) {
      let n = 0;
      for (let i = 0; i < input.length || i === 0; i += slice) n += this.#step(input.subarray(i, i + slice), out, at + n);
      return n;
    }

    // As update(), `size` bytes at a time (at most a slice), with `route`
    // (lib/wasm_async.js) taking the module's long AES runs to do
    // asynchronously; resolves once their output is in out. unchanged() is
    // asked before each piece is read.
    async updateLater(input, out, at, route, unchanged, size) {
      let n = 0;
      for (let i = 0; i < input.length || i === 0; i += size) {
        unchanged();
        const from = at + n - (this.#buf + slice);
        const len = route.during(() => this.#step(input.subarray(i, i + size), out, at + n));
        await route.settle((dst, bytes) => out.set(bytes, from + dst));
        n += len;
      }
      return n;
    }

    // One slice through the stream, its output copied into out at `at`.
    #step(piece, out, at) {
      m.put(this.#buf, piece);
      m.setU32(cell, slice + extra);
      const rc = e.sealkit_stream_update(this.#s, this.#buf, piece.length, this.#buf + slice, cell);
      m.mem().fill(0, this.#buf, this.#buf + piece.length);
      if (rc !== 0) throw fail(rc);
      const len = m.u32(cell);
      m.take(out, at, this.#buf + slice, len);
      return len;
    }

    // The last bytes, as a new Uint8Array of at most `extra` bytes.
    final() {
      m.setU32(cell, extra);
      const rc = e.sealkit_stream_final(this.#s, this.#buf + slice, cell);
      if (rc !== 0) throw fail(rc);
      const last = new Uint8Array(m.u32(cell));
      m.take(last, 0, this.#buf + slice, last.length);
      return last;
    }

    firstByte() {
      const rc = e.sealkit_stream_first_byte(this.#s, cell);
      if (rc !== 0) throw fail(rc);
      return m.mem()[cell];
    }

    free() {
      if (this.#s !== 0) e.sealkit_stream_free(this.#s);
      if (this.#buf !== 0) m.drop(this.#buf, room);
      this.#s = this.#buf = 0;
    }
  }

  // A whole seal or open of `input` into out (its room checked by the
  // caller) through a stream on key object k, for inputs over a slice: the
  // library's own checks come first, at the stream's making. On a failure
  // out is zeroed.
  function streamed(k, dir, input, out) {
    const s = new WasmStream(k, dir, input.length);
    try {
      const n = s.update(input, out, 0);
      const last = s.final();
      out.set(last, n);
      last.fill(0);
      return n + last.length;
    } catch (err) {
      out.fill(0);
      throw err;
    } finally {
      s.free();
    }
  }

  return { WasmStream, streamed, cell };
};
