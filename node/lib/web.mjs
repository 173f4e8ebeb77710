// SPDX-License-Identifier: MIT
// What the entries for browsers and other runtimes share: the API on an
// instance of sealkit.wasm, with Uint8Arrays and TransformStreams.
import wasmBackend from './wasm.mjs';
import makeApi from './api.mjs';
import nodeAes from './node_aes.mjs';

const { copySlice, turnMs } = makeApi;

// A TransformStream over a back end's stream: Uint8Arrays (or any buffer)
// in, Uint8Arrays out. A sealer's firstByte is set once it has flushed.
class SealkitStream extends TransformStream {
  constructor(s, sealing) {
    let self = null;
    super({
      async transform(chunk, controller) {
        controller.enqueue(await s.updateAsync(chunk));
      },
      flush(controller) {
        controller.enqueue(s.final());
        if (sealing) self.firstByte = s.firstByte();
        s.close();
      },
      cancel() {
        s.close();
      },
    });
    self = this;
    this.firstByte = undefined;
  }
}

// The AES the module may borrow: node:crypto's, where the runtime lends it
// synchronously (Deno and Bun on this entry); elsewhere none, and async
// calls and streams hand their long runs to WebCrypto instead
// (lib/wasm_async.js).
function borrowedAes() {
  try {
    const crypto = globalThis.process?.getBuiltinModule?.('node:crypto');
    return typeof crypto?.createCipheriv === 'function' ? nodeAes(crypto) : null;
  } catch {
    return null;
  }
}

// A later turn of the event loop: a message to a channel of its own, which
// browsers do not delay as they do nested timers (at least 4 ms each);
// closed once it answered, so it keeps no runtime alive.
function later() {
  if (typeof MessageChannel !== 'function') return new Promise((resolve) => setTimeout(resolve, 0));
  return new Promise((resolve) => {
    const c = new MessageChannel();
    c.port1.onmessage = () => {
      c.port1.close();
      resolve();
    };
    c.port2.postMessage(null);
  });
}

// What to instantiate sealkit.wasm with here.
let memory = null;
const borrowed = borrowedAes();
webApi.imports = wasmBackend.imports(borrowed, () => memory);

export default function webApi(instance) {
  memory = instance.exports.memory;
  const alloc = (n) => new Uint8Array(n);
  // crypto.subtle is there in secure contexts only (https:, localhost).
  const subtle = borrowed ? undefined : globalThis.crypto?.subtle;
  return makeApi({
    native: wasmBackend(instance, { alloc, later, copyAtOnce: copySlice, turnMs, subtle }),
    backend: 'wasm',
    alloc,
    allocPrivate: alloc,
    later,
    makeStream: (s, sealing) => new SealkitStream(s, sealing),
    copySlice,
    turnMs,
  });
}
