// SPDX-License-Identifier: MIT
// sealkit for Node.js, Deno and Bun as an ES module: index.js itself, so
// that `import` and `require` share one instance and one back end.
import sealkit from './index.js';

export const {
  seal, open, sealAsync, openAsync, Key, SealkitError, sealFile, openFile, ciphers, constants, version, backend,
} = sealkit;
export default sealkit;
