// SPDX-License-Identifier: MIT
// Linear memory of an instance of sealkit.wasm, as lib/wasm.js uses it:
// views made again after the memory grew, C strings, placing and wiping
// blocks, and the library's tables of ciphers and result codes read from
// their records (sealkit.h: sealkit_cipher_info, sealkit_result_info).
//
// Linear memory is readable by any code that holds the module, so every
// block placed here is wiped before it is freed.
'use strict';

const U32 = 0xffffffff;

module.exports = function linearMemory(e) {
  let u8 = new Uint8Array(e.memory.buffer);
  let dv = new DataView(e.memory.buffer);
  // Growth detaches the old views.
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
  const put = (p, from) => mem().set(from, p);
  // Copies len bytes at p into out, then wipes them there.
  function take(out, at, p, len) {
    const got = mem().subarray(p, p + len);
    out.set(got, at);
    got.fill(0);
  }

  // Runs fn(p...) with `parts` (Uint8Arrays) placed in one block followed
  // by `room` bytes of output, then wipes it all (and frees it, unless it
  // was the block kept for small calls). fn gets the pointers in order, the
  // output's last.
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

  // The library's tables, read once.
  const ciphers = [];
  for (let i = 0; ; i++) {
    const p = e.sealkit_cipher_at(i);
    if (p === 0) break;
    // Four pointers (name, constant, family, summary), then id, block, min_key_len.
    ciphers.push({ name: cstr(u32(p)), constant: cstr(u32(p + 4)), id: u32(p + 16), block: u32(p + 20),
      keyed: u32(p + 24) > 0 });
  }
  const results = [];
  for (let i = 0; ; i++) {
    const p = e.sealkit_result_at(i);
    if (p === 0) break;
    results.push({ code: view().getInt32(p, true), constant: cstr(u32(p + 4)), name: cstr(u32(p + 8)) });
  }

  return { mem, u32, setU32, cstr, place, drop, put, take, withPlaced, ciphers, results };
};
module.exports.U32 = U32;
