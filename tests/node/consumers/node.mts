// SPDX-License-Identifier: MIT
// Node.js types under strict: outputs pass where the platform wants an
// ArrayBuffer's bytes, errors have their codes.
import { seal, open, Key, SealkitError, sealFile, constants } from 'sealkit';
import type { Cipher, ErrorCode } from 'sealkit';

const cipher: Cipher = 'aes-cbc';
const key = new Uint8Array(16);
const env = seal(cipher, new TextEncoder().encode('a record'), key);
const blob: Blob = new Blob([env]);
await crypto.subtle.digest('SHA-256', open(cipher, env, key));
const k = new Key('blowfish', key);
const n: number = k.sealInto(Buffer.from('x'), Buffer.alloc(64));
await sealFile(k, 'notes.txt', 'notes.bf');
try {
  k.seal(env);
} catch (e) {
  if (e instanceof SealkitError) {
    const code: ErrorCode = e.code;
    console.log(code, e.result, constants.SEALKIT_ERR_CAPACITY, n, blob.size);
  }
}
k.close();
