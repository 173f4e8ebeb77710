// SPDX-License-Identifier: MIT
// sealkit for browsers, Deno, Bun and any runtime with WebAssembly: the same
// API and envelopes as in Node.js, on sealkit.wasm (the C library built for
// WebAssembly), with Uint8Arrays in and out and TransformStreams for
// streams. The module is fetched beside this file and compiled from its
// bytes; edge.mjs serves runtimes that cannot compile from bytes.
import webApi from './lib/web.mjs';

const bytes = await (await fetch(new URL('./sealkit.wasm', import.meta.url))).arrayBuffer();
const api = webApi((await WebAssembly.instantiate(bytes, webApi.imports)).instance);

export const { seal, open, sealAsync, openAsync, Key, SealkitError, ciphers, constants, version, backend } = api;
export default api;
