// SPDX-License-Identifier: MIT
// What the JavaScript tests that use a browser share: a static server of
// their own on 127.0.0.1, and Debian's Chromium, headless and offline (a
// new, empty profile; no background networking), driven by playwright-core
// from SEALKIT_PLAYWRIGHT. skipReason() says why a test cannot run here.
'use strict';

const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

const chromium = '/usr/bin/chromium';

function skipReason() {
  if (!fs.existsSync(chromium)) return `no ${chromium} (apt-get install chromium)`;
  const pw = process.env.SEALKIT_PLAYWRIGHT;
  if (!pw || !fs.existsSync(path.join(pw, 'package.json'))) {
    return `no playwright-core${pw ? ` at ${pw}` : ''} (./build.sh deps browser installs it)`;
  }
  return false;
}

const types = { '.mjs': 'text/javascript', '.js': 'text/javascript', '.html': 'text/html',
  '.wasm': 'application/wasm', '.json': 'application/json' };

// Serves the files under each prefix's directory ({ '/': dir, ... }, the
// longest prefix first), and extra(url, res) first where it answers true.
function serve(roots, extra = () => false) {
  const prefixes = Object.keys(roots).sort((a, b) => b.length - a.length);
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    if (extra(url, res)) return;
    const prefix = prefixes.find((p) => url.pathname.startsWith(p));
    const root = path.resolve(roots[prefix]);
    const rel = decodeURIComponent(url.pathname.slice(prefix.length)) || 'index.html';
    const file = path.resolve(root, rel);
    if (!file.startsWith(root + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      res.statusCode = 404;
      return res.end('not found');
    }
    res.setHeader('Content-Type', types[path.extname(file)] ?? 'application/octet-stream');
    fs.createReadStream(file).pipe(res);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// A persistent context of headless Chromium in profileDir; requests that
// leave `origin` are collected in the returned `elsewhere`.
async function launch(profileDir, origin) {
  const { chromium: pw } = require(process.env.SEALKIT_PLAYWRIGHT);
  const context = await pw.launchPersistentContext(profileDir, {
    executablePath: chromium,
    headless: true,
    acceptDownloads: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run', '--disable-quic'],
  });
  const elsewhere = [];
  context.on('request', (r) => {
    if (!r.url().startsWith(origin)) elsewhere.push(r.url());
  });
  return { context, elsewhere };
}

module.exports = { chromium, skipReason, serve, launch };
