// SPDX-License-Identifier: MIT
// The AES routes of the browser entry in headless Chromium: the module's
// bitsliced AES (synchronous calls), WebCrypto (async calls and streams),
// WebCrypto failing half way through a call, and WebCrypto refusing (as
// Chromium refuses 24-byte AES keys). Every envelope and plaintext is
// compared with what node:crypto makes in this process, an AES that shares
// nothing with either route, on the edges of the routes' thresholds and on
// random sizes up to 3 MiB.
//   SEALKIT_NODE_DIR (the package), SEALKIT_PLAYWRIGHT (playwright-core)
'use strict';

const { test } = require('../support/node_test.js');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const browser = require('../support/browser.js');

const skip = browser.skipReason();

// node:crypto's envelope: the pad count, then the zero-completed plaintext.
function reference(mode, key, plain) {
  const pad = 16 - (plain.length % 16);
  const c = crypto.createCipheriv(`aes-${key.length * 8}-${mode}`, key, mode === 'cbc' ? Buffer.alloc(16) : null);
  c.setAutoPadding(false);
  return Buffer.concat([Buffer.of(pad), c.update(Buffer.concat([plain, Buffer.alloc(pad % 16)])), c.final()]);
}

const digest = (b) => crypto.createHash('sha256').update(b).digest('hex');

// Cases: [cipher, key, plaintext length]; the plaintext is one random
// buffer's first bytes.
const sizes = [1023, 1024, 1025, 4097, 16383, 16384, 16385, (1 << 20) + 1,
  ...Array.from({ length: 3 }, () => crypto.randomInt(1, 3 << 20))];
const cases = [];
for (const [i, n] of sizes.entries()) {
  for (const mode of ['ecb', 'cbc']) cases.push([`aes-${mode}`, [16, 24, 32][i % 3], n]);
}

test('every AES route in Chromium makes the envelopes node:crypto makes', { skip, timeout: 300000 }, async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'sealkit-routes-'));
  const plain = crypto.randomBytes(3 << 20);
  const keys = cases.map(([, len]) => crypto.randomBytes(len));
  fs.writeFileSync(path.join(dir, 'index.html'), '<!doctype html><title>routes</title>');
  const server = await browser.serve({ '/sealkit/': process.env.SEALKIT_NODE_DIR, '/': dir }, (url, res) => {
    if (url.pathname !== '/plain') return false;
    res.end(plain);
    return true;
  });
  const origin = `http://127.0.0.1:${server.address().port}`;
  const { context, elsewhere } = await browser.launch(path.join(dir, 'profile'), origin);
  try {
    const page = await context.newPage();
    await page.goto(`${origin}/`);
    const got = await page.evaluate(async ({ cases, keys }) => {
      const s = await import('./sealkit/browser.mjs');
      const plain = new Uint8Array(await (await fetch('./plain')).arrayBuffer());
      const hex = async (b) => Array.from(new Uint8Array(await crypto.subtle.digest('SHA-256', b)),
        (x) => x.toString(16).padStart(2, '0')).join('');
      // WebCrypto as the page has it, counted; or failing every call after
      // the first `ok` of a case.
      const subtle = crypto.subtle, real = {};
      let calls = 0, ok = Infinity;
      for (const name of ['importKey', 'encrypt', 'decrypt']) {
        real[name] = subtle[name].bind(subtle);
        subtle[name] = (...a) => (++calls > ok ? Promise.reject(new Error('refused')) : real[name](...a));
      }
      const through = async (stream, data, step) => {
        const parts = [];
        let at = 0;
        await new ReadableStream({
          pull(c) {
            if (at >= data.length) return c.close();
            c.enqueue(data.slice(at, at + step));
            at += step;
          },
        }).pipeThrough(stream).pipeTo(new WritableStream({ write: (c) => parts.push(c) }));
        const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
        parts.reduce((n, p) => (out.set(p, n), n + p.length), 0);
        return out;
      };
      const results = [];
      for (const [i, [cipher, , n]] of cases.entries()) {
        const k = new s.Key(cipher, new Uint8Array(keys[i]));
        const data = plain.subarray(0, n);
        const r = { sync: await hex(k.seal(data)) };
        const env = k.seal(data);
        r.syncOpen = await hex(k.open(env));
        for (const [route, limit] of [['webCrypto', Infinity], ['halfWay', 3], ['refusing', 0]]) {
          [calls, ok] = [0, limit];
          r[route] = await hex(await k.sealAsync(data));
          r[`${route}Open`] = await hex(await k.openAsync(env));
          r[`${route}Calls`] = Math.min(calls, limit);
        }
        [calls, ok] = [0, Infinity];
        const sealer = k.sealer({ total: n });
        const streamed = await through(sealer, data, 300007);
        r.stream = await hex(streamed);
        r.streamOpen = await hex(await through(k.opener(), env, 65536));
        r.streamCalls = calls;
        k.close();
        results.push(r);
      }
      return results;
    }, { cases, keys: keys.map((k) => [...k]) });
    let webCryptoCalls = 0;
    for (const [i, [cipher, keyLen, n]] of cases.entries()) {
      const want = reference(cipher.slice(4), keys[i], plain.subarray(0, n));
      const [sealed, opened] = [digest(want), digest(plain.subarray(0, n))];
      const r = got[i];
      const what = `${cipher}, ${keyLen}-byte key, ${n} bytes`;
      for (const route of ['sync', 'webCrypto', 'halfWay', 'refusing', 'stream']) {
        assert.strictEqual(r[route], sealed, `${what}: ${route} seal`);
        assert.strictEqual(r[`${route}Open`], opened, `${what}: ${route} open`);
      }
      webCryptoCalls += r.webCryptoCalls;
    }
    assert.ok(webCryptoCalls > 0, 'WebCrypto never served a run');
    assert.deepStrictEqual(elsewhere, []);
  } finally {
    await context.close();
    server.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
