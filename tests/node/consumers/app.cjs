// SPDX-License-Identifier: MIT
// A CommonJS app: prints its back end and the envelope of 'a record' under
// the key in ./key, and checks that it opens.
const fs = require('node:fs');
const { seal, open, backend } = require('sealkit');

const key = fs.readFileSync('key');
const env = seal('aes-cbc', Buffer.from('a record'), key);
if (open('aes-cbc', env, key).toString() !== 'a record') throw new Error('did not open');
console.log(`${backend} ${env.toString('hex')}`);
