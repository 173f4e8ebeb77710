// SPDX-License-Identifier: MIT
// The WebAssembly back end's long AES runs for asynchronous work, where the
// runtime has WebCrypto and no synchronous AES to lend the module (browsers,
// edge workers): crypto.subtle's AES-CBC, which runs the CPU's AES
// instructions off the main thread. Armed around one module call, the
// module's import takes each run of 1 KiB or more for later
// (wasm/evp_lite.c: kHostLater); once the call returns, settle() has
// WebCrypto do them and writes their output, and a sealing chain, back
// before the module's next call. When WebCrypto fails (a key size it
// refuses, a call it rejects) the module's own AES does the run, and every
// run after it: the same bytes either way.
//
// WebCrypto's AES-CBC always pads (PKCS#7); runs of whole blocks work
// around it:
//   sealing N blocks: encrypt them and drop the last block, the padding's;
//   opening N blocks: encrypting an empty message with the last cipher
//     block as IV gives a block that decrypts, after them, to a full
//     padding block; append it and decrypt;
//   ECB opening: CBC decryption from a zero IV, each block then XORed with
//     the cipher block before it. ECB sealing has no such form: the module
//     keeps it.
'use strict';

const kBlock = 16;

// The route armed around the module call in progress, if any.
let armed = null;

// The module's import asks this first (lib/wasm.js: imports): whether the
// armed route takes the run, to do later. dst is the output's pointer.
function takeLater(cbc, enc, key, iv, src, dst) {
  return armed !== null && armed.take(cbc, enc, key, iv, src, dst);
}

// One async call's or stream's route, on instance exports e, its linear
// memory m (lib/wasm_memory.js) and a SubtleCrypto; key.cryptoKey keeps
// the key's CryptoKey for every route of the same key, room.bytes the room
// for runs, for routes that never overlap. A browser delivers
// WebCrypto's answers ahead of timers and messages, so a loop of calls
// would starve the page: settle() awaits later(), a real turn of the event
// loop, once half of turnMs passed since the last.
class LaterAes {
  #subtle;
  #e;
  #m;
  #later;
  #turnMs;
  #since = performance.now();
  #jobs = [];
  #key;
  #room;

  declined = false;

  constructor(subtle, e, m, { later, turnMs, key, room }) {
    this.#key = key;
    this.#room = room;
    this.#subtle = subtle;
    this.#e = e;
    this.#m = m;
    this.#later = later;
    this.#turnMs = turnMs;
  }

  take(cbc, enc, key, iv, src, dst) {
    if (this.declined || (!cbc && enc)) return false;
    // Opening, room for the block that completes the padding. WebCrypto
    // copies its input when called, so one call's run may take the room of
    // the one before.
    const room = src.length + (enc ? 0 : kBlock);
    const kept = this.#room.bytes;
    let data;
    if (this.#jobs.length === 0 && kept && kept.length >= room) {
      data = kept.subarray(0, room);
    } else {
      data = new Uint8Array(room);
      if (this.#jobs.length === 0) this.#room.bytes = data;
    }
    data.set(src);
    this.#jobs.push({ cbc, enc, len: src.length, data, dst, key: key.slice(),
      iv: cbc ? iv.slice() : new Uint8Array(kBlock), ivAt: cbc ? iv.byteOffset : 0 });
    return true;
  }

  // Runs fn, one module call, with this route armed; what fn returns. The
  // runs it took wait for settle(); if fn throws they are dropped.
  during(fn) {
    armed = this;
    try {
      return fn();
    } catch (err) {
      this.#drop(this.#jobs);
      this.#jobs = [];
      throw err;
    } finally {
      armed = null;
    }
  }

  // Does the runs taken, giving each output to put(dstPointer, bytes),
  // which copies it (the bytes are wiped after), and writes a sealing
  // chain into the module's context.
  async settle(put) {
    const jobs = this.#jobs;
    this.#jobs = [];
    try {
      for (const j of jobs) {
        const out = await this.#run(j);
        put(j.dst, out);
        if (j.cbc && j.enc) this.#m.put(j.ivAt, out.subarray(out.length - kBlock));
        out.fill(0);
      }
    } finally {
      this.#drop(jobs);
    }
    if (performance.now() - this.#since > this.#turnMs / 2) {
      await this.#later();
      this.#since = performance.now();
    }
  }

  #drop(jobs) {
    for (const j of jobs) {
      j.key.fill(0);
      j.data.fill(0);
    }
    this.#e.sealkit_host_settled();
  }

  async #run(j) {
    if (!this.declined) {
      try {
        return await this.#webCrypto(j);
      } catch {
        this.declined = true;
      }
    }
    return this.#module(j);
  }

  async #webCrypto(j) {
    const subtle = this.#subtle;
    this.#key.cryptoKey ??= subtle.importKey('raw', j.key, 'AES-CBC', false, ['encrypt', 'decrypt']);
    const key = await this.#key.cryptoKey;
    let out;
    if (j.enc) {
      out = new Uint8Array(await subtle.encrypt({ name: 'AES-CBC', iv: j.iv }, key, j.data));
      out.fill(0, j.len);
    } else {
      const last = j.data.slice(j.len - kBlock, j.len);
      const pad = new Uint8Array(await subtle.encrypt({ name: 'AES-CBC', iv: last }, key, new Uint8Array(0)));
      j.data.set(pad, j.len);
      pad.fill(0);
      out = new Uint8Array(await subtle.decrypt({ name: 'AES-CBC', iv: j.iv }, key, j.data));
      if (!j.cbc) {
        const o = new Uint32Array(out.buffer, out.byteOffset, j.len >> 2);
        const c = new Uint32Array(j.data.buffer, j.data.byteOffset, j.len >> 2);
        for (let i = 4; i < o.length; i++) o[i] ^= c[i - 4];
      }
    }
    if (out.length < j.len) throw new Error('WebCrypto gave a short run');
    return out.subarray(0, j.len);
  }

  #module(j) {
    const [e, m, out] = [this.#e, this.#m, new Uint8Array(j.len)];
    m.withPlaced([j.key, j.iv, j.data.subarray(0, j.len)], j.len, (k, iv, src, dst) => {
      if (!e.sealkit_aes_run(j.cbc, j.enc, k, j.key.length, iv, src, dst, j.len)) {
        throw new Error('internal error: the module refused an AES run of its own');
      }
      m.take(out, 0, dst, j.len);
    });
    return out;
  }
}

module.exports = { LaterAes, takeLater };
