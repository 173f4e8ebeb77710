// SPDX-License-Identifier: MIT
// index.mjs: index.d.ts's names, and the whole API as the default export.
import * as sealkit from './index.js';

export * from './index.js';
export default sealkit;
