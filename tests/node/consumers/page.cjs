// SPDX-License-Identifier: MIT
// page.mjs for a CommonJS app: require() must give the API, not a Promise.
const sealkit = require('sealkit');

const key = new Uint8Array(16).fill(7);
const env = sealkit.seal('aes-cbc', new TextEncoder().encode('a record'), key);
const back = new TextDecoder().decode(sealkit.open('aes-cbc', env, key));
const hex = Array.from(env, (b) => b.toString(16).padStart(2, '0')).join('');
document.body.dataset.result = `${sealkit.backend} ${hex} ${back}`;
