// SPDX-License-Identifier: MIT
// sealkit for browsers, Deno, Bun, edge workers and any runtime with
// WebAssembly: the same API and envelopes as in Node.js, on sealkit.wasm
// (the C library built for WebAssembly), with Uint8Arrays in and out and
// TransformStreams for streams. The module is fetched beside this file and
// compiled from its bytes.
import wasmBackend from './lib/wasm.mjs';
import makeApi from './lib/api.mjs';

// An async call's input is copied at once up to 8 MiB, and each turn of the
// event loop takes a slice of about 8 ms.
const copySlice = 8 << 20;
const turnMs = 8;

const bytes = await (await fetch(new URL('./sealkit.wasm', import.meta.url))).arrayBuffer();
const { instance } = await WebAssembly.instantiate(bytes, {});
const later = () => new Promise((resolve) => setTimeout(resolve, 0));
const alloc = (n) => new Uint8Array(n);
const native = wasmBackend(instance, { alloc, later, copyAtOnce: copySlice, turnMs });

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

const api = makeApi({
  native,
  backend: 'wasm',
  alloc,
  allocPrivate: alloc,
  later,
  makeStream: (s, sealing) => new SealkitStream(s, sealing),
  copySlice,
  turnMs,
});

export const { seal, open, sealAsync, openAsync, Key, SealkitError, ciphers, constants, version, backend } = api;
export default api;
