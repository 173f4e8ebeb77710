// SPDX-License-Identifier: MIT
// sealkit for browsers and any runtime with WebAssembly and no Node.js API:
// the same API and envelopes as in Node.js, on sealkit.wasm (the C library
// built for WebAssembly), with Uint8Arrays in and out and TransformStreams
// for streams. The module travels inside lib/module.mjs and is compiled as
// this file loads: no fetch, no top-level await, nothing for a bundler to
// configure. edge.mjs serves runtimes that cannot compile from bytes.
import webApi from './lib/web.mjs';
import instantiate from './lib/module.mjs';

const api = webApi(instantiate(webApi.imports));

export const { seal, open, sealAsync, openAsync, Key, SealkitError, ciphers, constants, version, backend } = api;
export default api;
