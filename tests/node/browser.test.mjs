// SPDX-License-Identifier: MIT
// The browser entry (browser.mjs: Uint8Arrays, TransformStreams, the
// WebAssembly back end) under Node.js, which has the same Web APIs: the
// same envelopes as the Node.js entry, streams of unknown length in random
// chunks, and the same errors. fetch() of the module beside the entry is
// served from the file, as a browser serves it from its server.
import { test, sameBytes } from '../support/node_test.js';
import assert from 'node:assert';
import crypto from 'node:crypto';
import fs from 'node:fs/promises';
import { createRequire, register } from 'node:module';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const dir = process.env.SEALKIT_NODE_DIR;
const webFetch = globalThis.fetch;
globalThis.fetch = async (url) =>
  String(url).startsWith('file:') ? new Response(await fs.readFile(new URL(url))) : webFetch(url);
const web = await import(pathToFileURL(path.join(dir, 'browser.mjs')));
const node = createRequire(import.meta.url)(dir);

async function through(stream, data, rng) {
  const parts = [];
  const source = new ReadableStream({
    start(c) {
      for (let at = 0; at < data.length;) {
        const n = Math.floor(rng() * 5000);
        c.enqueue(data.subarray(at, at + n));
        at += n;
      }
      c.close();
    },
  });
  await source.pipeThrough(stream).pipeTo(new WritableStream({ write: (c) => parts.push(c) }));
  return Buffer.concat(parts);
}

test('the browser entry makes the Node.js entry\'s envelopes, and opens them', async () => {
  assert.strictEqual(web.backend, 'wasm');
  assert.deepStrictEqual(web.ciphers, node.ciphers);
  for (const cipher of node.ciphers) {
    const key = cipher === 'builtin' ? undefined : crypto.randomBytes(24);
    for (const n of [1, 15, 16, 17, 100, 70001]) {
      const data = crypto.randomBytes(n);
      const env = web.seal(cipher, new Uint8Array(data), key && new Uint8Array(key));
      assert.ok(env instanceof Uint8Array && !Buffer.isBuffer(env));
      sameBytes(Buffer.from(env), node.seal(cipher, data, key), `${cipher}, ${n} bytes`);
      sameBytes(Buffer.from(web.open(cipher, node.seal(cipher, data, key), key)), data);
    }
  }
});

test('TransformStreams of unknown length, in random chunks', async () => {
  const key = crypto.randomBytes(32), data = crypto.randomBytes(300001);
  const k = new web.Key('aes-cbc', key);
  const sealer = k.sealer();
  const env = await through(sealer, data, Math.random);
  env[0] = sealer.firstByte;
  sameBytes(env, node.seal('aes-cbc', data, key));
  sameBytes(await through(k.opener(), env, Math.random), data);
  await assert.rejects(through(k.opener(), env.subarray(1), Math.random), { code: 'ERR_SEALKIT_NOT_ENVELOPE' });
  k.close();
});

test('the edge entry, which imports the module as an edge worker does', async () => {
  // As workerd and its kind do: importing sealkit.wasm gives a WebAssembly.Module.
  register(`data:text/javascript,${encodeURIComponent(`
    export async function load(url, context, next) {
      if (!url.endsWith('/sealkit.wasm')) return next(url, context);
      return { format: 'module', shortCircuit: true, source: 'import fs from "node:fs";' +
        'export default new WebAssembly.Module(fs.readFileSync(new URL(' + JSON.stringify(url) + ')));' };
    }`)}`);
  const edge = await import(pathToFileURL(path.join(dir, 'edge.mjs')));
  const key = crypto.randomBytes(16), data = crypto.randomBytes(1000);
  sameBytes(Buffer.from(edge.seal('blowfish', data, key)), node.seal('blowfish', data, key));
});

test('the same errors', async () => {
  assert.throws(() => web.seal('des', new Uint8Array(1), new Uint8Array(16)), { code: 'ERR_SEALKIT_CIPHER' });
  assert.throws(() => web.seal('aes-cbc', 'text', new Uint8Array(16)), { code: 'ERR_INVALID_ARG_TYPE' });
  assert.throws(() => web.seal('aes-cbc', new Uint8Array(1), new Uint8Array(15)), { code: 'ERR_SEALKIT_KEY_LENGTH' });
  const k = new web.Key('aes-cbc', new Uint8Array(16));
  const b = new Uint8Array(64);
  assert.throws(() => k.sealInto(b.subarray(0, 16), b.subarray(8)), { code: 'ERR_INVALID_ARG_VALUE' });
  await assert.rejects(k.openAsync(new Uint8Array(18)), { code: 'ERR_SEALKIT_NOT_ENVELOPE' });
  k.close();
  assert.throws(() => k.seal(new Uint8Array(1)), { code: 'ERR_SEALKIT_CLOSED' });
});
