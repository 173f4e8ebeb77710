// SPDX-License-Identifier: MIT
// app.cjs as an ES module with named imports, as Node.js, Deno and Bun run it.
import fs from 'node:fs';
import sealkit, { seal, open, Key, backend } from 'sealkit';

const key = fs.readFileSync('key');
const env = seal('aes-cbc', new TextEncoder().encode('a record'), key);
const k = new Key('aes-cbc', key);
if (new TextDecoder().decode(k.open(env)) !== 'a record' || sealkit.backend !== backend) throw new Error('did not open');
k.close();
console.log(`${backend} ${Buffer.from(env).toString('hex')}`);
