// SPDX-License-Identifier: MIT
// The WebAssembly back end's AES in Node.js, for runs of 1 KiB or more
// (lib/wasm.js's imports): node:crypto's, which runs the CPU's AES
// instructions where it has them, against about 16 MB/s for the module's own
// constant-time AES. The same cipher gives the same bytes; the module still
// applies every rule of the envelope. What node:crypto hands back is wiped
// once copied into linear memory.
'use strict';

const crypto = require('node:crypto');

module.exports = function nodeAes(cbc, enc, key, iv, src, dst) {
  const name = `aes-${key.length * 8}-${cbc ? 'cbc' : 'ecb'}`;
  const c = enc ? crypto.createCipheriv(name, key, iv) : crypto.createDecipheriv(name, key, iv);
  c.setAutoPadding(false);
  // Decrypting, the chain goes on from the last ciphertext block, which an
  // in-place run overwrites.
  const next = cbc && !enc ? Buffer.from(src.subarray(src.length - 16)) : null;
  const out = c.update(src);
  dst.set(out);
  out.fill(0);
  c.final();
  if (cbc) iv.set(enc ? dst.subarray(dst.length - 16) : next);
  return true;
};
