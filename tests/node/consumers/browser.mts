// SPDX-License-Identifier: MIT
// Browser types under strict (moduleResolution bundler, lib dom): outputs
// pass to Blob, fetch and WebCrypto; streams pipe.
import { seal, open, Key, SealkitError } from 'sealkit';

const key = crypto.getRandomValues(new Uint8Array(32));
const env = seal('aes-cbc', new TextEncoder().encode('a record'), key);
const part: BlobPart = env;
await fetch('/upload', { method: 'POST', body: env });
await crypto.subtle.digest('SHA-256', open('aes-cbc', env, key));
const k = new Key('blowfish', key);
const sealed: Response = new Response(new Blob([part]).stream().pipeThrough(k.sealer()));
const again: Uint8Array<ArrayBuffer> = await k.sealAsync(env);
try {
  k.open(env);
} catch (e) {
  if (e instanceof SealkitError && e.code === 'ERR_SEALKIT_NOT_ENVELOPE') console.log(e.result, sealed, again);
}
