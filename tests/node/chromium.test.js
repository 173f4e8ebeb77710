// SPDX-License-Identifier: MIT
// The browser entry in a real browser: Debian's Chromium, headless and
// offline (a new, empty profile; no background networking), driven by
// playwright-core, over a server of this test's own on 127.0.0.1 that
// serves the package and web/. The page opens the command's envelopes
// (every cipher, lengths 1 to 100, and 1 MiB), seals envelopes the command
// then opens, and runs a stream of unknown length in random chunks; then
// the page for people (web/) is used as a person would, its screenshot
// kept, and no request may leave 127.0.0.1.
//   SEALKIT_NODE_DIR (the package, with browser.mjs), SEALKIT_TOOL (the
//   command), SEALKIT_PLAYWRIGHT (playwright-core's directory),
//   SEALKIT_SCREENSHOT (where the page's screenshot goes)
'use strict';

const { test } = require('../support/node_test.js');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const browser = require('../support/browser.js');

const skip = browser.skipReason();
const pkg = process.env.SEALKIT_NODE_DIR;
const tool = process.env.SEALKIT_TOOL;
const web = path.join(__dirname, '..', '..', 'web');

// The command's envelopes of the same bytes: a key per keyed cipher, every
// length from 1 to 100 and one of 1 MiB.
function fixtures(dir) {
  const data = crypto.randomBytes(1 << 20);
  const out = { data: data.toString('base64'), ciphers: {} };
  for (const cipher of ['aes-ecb', 'aes-cbc', 'builtin', 'blowfish']) {
    const k = [];
    let key = null;
    if (cipher !== 'builtin') {
      execFileSync(tool, ['keygen', '-c', cipher, '-o', path.join(dir, cipher)]);
      k.push('-k', path.join(dir, cipher));
      key = fs.readFileSync(path.join(dir, cipher)).toString('base64');
    }
    const seal = (input) => execFileSync(tool, ['seal', '-q', '-c', cipher, ...k], { input, maxBuffer: 4 << 20 })
      .toString('base64');
    const lengths = Array.from({ length: 100 }, (_, i) => i + 1);
    out.ciphers[cipher] = { key, envelopes: [...lengths, 1 << 20].map((n) => [n, seal(data.subarray(0, n))]) };
  }
  return out;
}

// A server of the package (at /sealkit/), web/ (at /) and the fixtures.
function serve(fixtureJson) {
  return browser.serve({ '/sealkit/': pkg, '/': web }, (url, res) => {
    if (url.pathname !== '/fixtures.json') return false;
    res.end(fixtureJson);
    return true;
  });
}

test('the browser entry and the page in headless Chromium, offline', { skip, timeout: 300000 }, async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'sealkit-chromium-'));
  const server = await serve(JSON.stringify(fixtures(dir)));
  const origin = `http://127.0.0.1:${server.address().port}`;
  const { context, elsewhere } = await browser.launch(path.join(dir, 'profile'), origin);
  try {
    const page = await context.newPage();
    await page.goto(`${origin}/index.html`);
    await page.waitForSelector('body[data-ready="yes"]');

    // Every envelope the command made opens; the page's own envelopes go back.
    const result = await page.evaluate(async () => {
      const s = await import('./sealkit/browser.mjs');
      const b64 = (t) => Uint8Array.from(atob(t), (c) => c.charCodeAt(0));
      const str = (b) => btoa(Array.from(b, (x) => String.fromCharCode(x)).join(''));
      const f = await (await fetch('./fixtures.json')).json();
      const data = b64(f.data);
      const wrong = [], sealed = {};
      for (const [cipher, { key, envelopes }] of Object.entries(f.ciphers)) {
        const k = key === null ? undefined : b64(key);
        for (const [n, env] of envelopes) {
          const got = s.open(cipher, b64(env), k);
          if (got.length !== n || got.some((x, i) => x !== data[i])) wrong.push(`${cipher} ${n}`);
        }
        sealed[cipher] = str(s.seal(cipher, data.subarray(0, 77), k));
      }
      // A stream of unknown length, in random chunks.
      const key = new s.Key('aes-cbc', b64(f.ciphers['aes-cbc'].key));
      const sealer = key.sealer();
      const parts = [];
      await new ReadableStream({
        start(c) {
          for (let at = 0; at < data.length;) {
            const n = Math.floor(Math.random() * 20000);
            c.enqueue(data.slice(at, at + n));
            at += n;
          }
          c.close();
        },
      }).pipeThrough(sealer).pipeTo(new WritableStream({ write: (c) => parts.push(c) }));
      const env = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
      parts.reduce((at, p) => (env.set(p, at), at + p.length), 0);
      env[0] = sealer.firstByte;
      return { backend: s.backend, wrong, sealed, stream: str(env) };
    });
    assert.strictEqual(result.backend, 'wasm');
    assert.deepStrictEqual(result.wrong, []);
    const f = JSON.parse(await (await fetch(`${origin}/fixtures.json`)).text());
    const data = Buffer.from(f.data, 'base64');
    for (const [cipher, env] of Object.entries(result.sealed)) {
      const k = cipher === 'builtin' ? [] : ['-k', path.join(dir, cipher)];
      assert.deepStrictEqual(execFileSync(tool, ['open', '-c', cipher, ...k], { input: Buffer.from(env, 'base64') }),
        data.subarray(0, 77), cipher);
    }
    assert.deepStrictEqual(execFileSync(tool, ['open', '-c', 'aes-cbc', '-k', path.join(dir, 'aes-cbc')],
      { input: Buffer.from(result.stream, 'base64'), maxBuffer: 4 << 20 }), data);

    // The page, as a person uses it: open an envelope, then a wrong one.
    const env = f.ciphers.blowfish.envelopes[10][1];
    await page.selectOption('#cipher', 'blowfish');
    await page.fill('#key', f.ciphers.blowfish.key);
    await page.fill('#input', Buffer.from(env, 'base64').toString('hex'));
    await page.click('#open');
    assert.strictEqual(await page.textContent('#hex'), data.subarray(0, 11).toString('hex'));
    if (process.env.SEALKIT_SCREENSHOT) await page.screenshot({ path: process.env.SEALKIT_SCREENSHOT, fullPage: true });
    await page.fill('#input', 'abcd');
    await page.click('#open');
    assert.match(await page.textContent('#error'), /not an envelope/);
    await page.fill('#key', '');
    await page.fill('#input', 'a secret');
    await page.click('#seal');
    assert.match(await page.textContent('#error'), /needs a key/);
    assert.deepStrictEqual(elsewhere, []);
  } finally {
    await context.close();
    server.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
