// SPDX-License-Identifier: MIT
// The page for people (web/) in Debian's headless Chromium, with what
// people bring to it: a file of 64 MiB picked, sealed and opened through
// the streams into downloads that must equal the command's bytes; an
// envelope of several MiB pasted as base64; errors told from their codes;
// and the page served without the package, which must say what it needs.
//   SEALKIT_NODE_DIR (the package), SEALKIT_TOOL (the command),
//   SEALKIT_PLAYWRIGHT (playwright-core's directory)
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
const tool = process.env.SEALKIT_TOOL;
const web = path.join(__dirname, '..', '..', 'web');
const digest = (file) => crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex');

// Runs body(page, origin, dir) on web/ (with the package at /sealkit/
// unless withPackage is false) in a new headless Chromium; no request may
// leave the server.
async function withPage(withPackage, body) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'sealkit-page-'));
  const roots = withPackage ? { '/sealkit/': process.env.SEALKIT_NODE_DIR, '/': web } : { '/': web };
  const server = await browser.serve(roots);
  const origin = `http://127.0.0.1:${server.address().port}`;
  const { context, elsewhere } = await browser.launch(path.join(dir, 'profile'), origin);
  try {
    const page = await context.newPage();
    await page.goto(`${origin}/index.html`);
    await body(page, dir);
    assert.deepStrictEqual(elsewhere, []);
  } finally {
    await context.close();
    server.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

// Picks `file`, presses `button`, and saves the download as `to`.
async function throughPage(page, file, button, to) {
  await page.setInputFiles('#file', file);
  const [download] = await Promise.all([page.waitForEvent('download', { timeout: 120000 }), page.click(button)]);
  await download.saveAs(to);
  return download.suggestedFilename();
}

test('a file of 64 MiB, sealed and opened in the page, as the command does', { skip, timeout: 300000 }, async () => {
  await withPage(true, async (page, dir) => {
    await page.waitForSelector('body[data-ready="yes"]');
    const notes = path.join(dir, 'notes.txt');
    fs.writeFileSync(notes, crypto.randomBytes((64 << 20) + 5));
    const keyFile = path.join(dir, 'key');
    execFileSync(tool, ['keygen', '-c', 'aes-cbc', '-o', keyFile]);
    await page.selectOption('#cipher', 'aes-cbc');
    await page.fill('#key', fs.readFileSync(keyFile).toString('hex'));

    const sealed = path.join(dir, 'sealed');
    assert.strictEqual(await throughPage(page, notes, '#seal-file', sealed), 'notes.txt.sk');
    const want = path.join(dir, 'want.sk');
    execFileSync(tool, ['seal', '-q', '-c', 'aes-cbc', '-k', keyFile, '-o', want, notes]);
    assert.strictEqual(digest(sealed), digest(want), 'the page\'s envelope differs from the command\'s');

    const opened = path.join(dir, 'opened');
    assert.strictEqual(await throughPage(page, want, '#open-file', opened), 'want');
    assert.strictEqual(digest(opened), digest(notes), 'the page opened the command\'s envelope wrong');
    assert.strictEqual(await page.textContent('#error'), '');
  });
});

test('an envelope of several MiB pasted as base64, and errors by code', { skip, timeout: 120000 }, async () => {
  await withPage(true, async (page) => {
    await page.waitForSelector('body[data-ready="yes"]');
    const data = crypto.randomBytes(2 << 20);
    const env = execFileSync(tool, ['seal', '-q', '-c', 'builtin'], { input: data, maxBuffer: 8 << 20 });
    await page.selectOption('#cipher', 'builtin');
    await page.fill('#input', env.toString('base64'));
    await page.click('#open');
    assert.strictEqual(await page.textContent('#base64'), data.toString('base64'));
    assert.strictEqual(await page.textContent('#error'), '');

    // Each error in the form's own words.
    const rows = [
      ['builtin', '00'.repeat(16), 'some text', '#seal', /takes no key: clear the key/],
      ['aes-cbc', '', 'some text', '#seal', /needs a key/],
      ['aes-cbc', '00'.repeat(8), 'some text', '#seal', /too short/],
      ['blowfish', '00'.repeat(16), 'abcd', '#open', /not an envelope/],
      ['blowfish', '00'.repeat(16), '%%%', '#open', /neither hex nor base64/],
    ];
    for (const [cipher, key, input, button, want] of rows) {
      await page.selectOption('#cipher', cipher);
      await page.fill('#key', key);
      await page.fill('#input', input);
      await page.click(button);
      assert.match(await page.textContent('#error'), want, `${cipher} ${button} ${input}`);
    }
  });
});

test('served without the package, the page says what it needs', { skip, timeout: 60000 }, async () => {
  await withPage(false, async (page) => {
    await page.waitForSelector('#missing:not([hidden])', { timeout: 20000 });
    assert.match(await page.textContent('#missing'), /needs the packed sealkit package at \.\/sealkit\//);
  });
});
