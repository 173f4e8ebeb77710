// SPDX-License-Identifier: MIT
// The WebAssembly back end's AES for runs of 1 KiB or more (lib/wasm.js's
// imports) where the runtime lends node:crypto synchronously (Node.js,
// Deno, Bun): its AES runs the CPU's AES instructions where it has them,
// against tens of MB/s for the module's own bitsliced AES. The same cipher
// gives the same bytes; the module still applies every rule of the
// envelope. What node:crypto hands back is wiped once copied into linear
// memory. A cipher the runtime lacks (Deno's node:crypto has fewer) leaves
// the run to the module.
'use strict';

module.exports = function nodeAes(crypto) {
  return function run(cbc, enc, key, iv, src, dst) {
    const name = `aes-${key.length * 8}-${cbc ? 'cbc' : 'ecb'}`;
    let c, out;
    try {
      c = enc ? crypto.createCipheriv(name, key, iv) : crypto.createDecipheriv(name, key, iv);
      c.setAutoPadding(false);
      out = c.update(src);
    } catch {
      return false;
    }
    if (out.length !== src.length) {
      out.fill(0);
      return false;
    }
    // Decrypting, the chain goes on from the last ciphertext block, which an
    // in-place run overwrites.
    const next = cbc && !enc ? src.slice(src.length - 16) : null;
    dst.set(out);
    out.fill(0);
    if (cbc) iv.set(enc ? dst.subarray(dst.length - 16) : next);
    return true;
  };
};
