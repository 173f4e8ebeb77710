// SPDX-License-Identifier: MIT
// sealkit.wasm's bytes, carried in the JavaScript itself (lib/sealkit_wasm.js,
// which pack.js and the build write from the module as base64), so that
// every bundler and runtime finds the module without an asset plugin, a
// fetch or a file read; and its instance, compiled synchronously: every
// runtime allows that for a module of this size (Chromium, the strictest,
// up to 8 MB on a page's main thread).
'use strict';

const base64 = require('./sealkit_wasm.js');

function decode(text) {
  if (typeof Uint8Array.fromBase64 === 'function') return Uint8Array.fromBase64(text);
  const s = atob(text);
  const out = new Uint8Array(s.length);
  for (let i = 0; i < s.length; i++) out[i] = s.charCodeAt(i);
  return out;
}

// An instance of sealkit.wasm with these imports (lib/wasm.js: imports()).
module.exports = function instantiate(imports) {
  return new WebAssembly.Instance(new WebAssembly.Module(decode(base64)), imports);
};
