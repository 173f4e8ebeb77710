// SPDX-License-Identifier: MIT
// A page's script, as a bundler takes it: the envelope of 'a record' under
// a key of sixteen 7s, passed to the platform's own Blob, and its result
// left on the body for the test to read.
import { seal, open, Key, backend } from 'sealkit';

const key = new Uint8Array(16).fill(7);
const env = seal('aes-cbc', new TextEncoder().encode('a record'), key);
const k = new Key('aes-cbc', key);
const back = new TextDecoder().decode(k.open(env));
k.close();
new Blob([env]).arrayBuffer().then((bytes) => {
  const hex = Array.from(new Uint8Array(bytes), (b) => b.toString(16).padStart(2, '0')).join('');
  document.body.dataset.result = `${backend} ${hex} ${back}`;
});
