// SPDX-License-Identifier: MIT
// sealkit for edge workers, which compile WebAssembly only from a module
// they import (the `workerd` and `edge-light` conditions): as browser.mjs,
// with sealkit.wasm imported rather than fetched.
import module from './sealkit.wasm';
import webApi from './lib/web.mjs';

const api = webApi(new WebAssembly.Instance(module, webApi.imports));

export const { seal, open, sealAsync, openAsync, Key, SealkitError, ciphers, constants, version, backend } = api;
export default api;
