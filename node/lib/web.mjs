// SPDX-License-Identifier: MIT
// What the entries for browsers and other runtimes share: the API on an
// instance of sealkit.wasm, with Uint8Arrays and TransformStreams.
import wasmBackend from './wasm.mjs';
import makeApi from './api.mjs';

const { copySlice, turnMs } = makeApi;

// A TransformStream over a back end's stream: Uint8Arrays (or any buffer)
// in, Uint8Arrays out. A sealer's firstByte is set once it has flushed.
class SealkitStream extends TransformStream {
  constructor(s, sealing) {
    let self = null;
    super({
      transform(chunk, controller) {
        controller.enqueue(s.update(chunk));
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

// What to instantiate sealkit.wasm with here: no host AES, as WebCrypto's
// cannot answer the module's synchronous call; the module's constant-time
// AES does every run.
webApi.imports = wasmBackend.imports();

export default function webApi(instance) {
  const later = () => new Promise((resolve) => setTimeout(resolve, 0));
  const alloc = (n) => new Uint8Array(n);
  return makeApi({
    native: wasmBackend(instance, { alloc, later, copyAtOnce: copySlice, turnMs }),
    backend: 'wasm',
    alloc,
    allocPrivate: alloc,
    later,
    makeStream: (s, sealing) => new SealkitStream(s, sealing),
    copySlice,
    turnMs,
  });
}
