#!/usr/bin/env node
// SPDX-License-Identifier: MIT
// The WebAssembly back end side by side with @noble/ciphers (pure
// JavaScript, table AES with raw ECB/CBC) in one run, in Node.js and in
// Debian's headless Chromium: AES-CBC seal and open at 64 B (calls per
// second) and 1 MiB (MB/s), Blowfish at the same sizes (noble has none),
// sealAsync/openAsync of 1 MiB (WebCrypto's AES in Chromium, node:crypto's
// in Node.js) against noble's synchronous call, the module's size and its
// time to instantiate; in Chromium also a 64 MiB file's worth streamed
// through sealer(), and the longest turn of the event loop during a
// 256 MiB sealAsync. Prints Markdown tables.
//   SEALKIT_NODE_DIR=build/release/node bench/wasm_bench.js
// (./build.sh test installs Chromium, playwright-core and @noble/ciphers
// into build/npm: scripts/deps.sh browser.)
'use strict';
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const zlib = require('node:zlib');

const pkg = path.resolve(process.env.SEALKIT_NODE_DIR);
const npm = path.resolve(__dirname, '..', 'build', 'npm', 'node_modules');

// Runs in both runtimes: sealkit is the browser entry's API, cbc noble's.
async function measure(sealkit, cbc, instantiate) {
  const rate = (fn, ms) => {
    let n = 0;
    const t = performance.now();
    while (performance.now() - t < ms) {
      for (let i = 0; i < 20; i++) fn();
      n += 20;
    }
    return (n * 1000) / (performance.now() - t);
  };
  const key = new Uint8Array(32).fill(7), iv = new Uint8Array(16);
  const k = new sealkit.Key('aes-cbc', key), bf = new sealkit.Key('blowfish', key);
  const rows = [];
  for (const n of [64, 1 << 20]) {
    const data = new Uint8Array(n).fill(1);
    const env = k.seal(data), benv = bf.seal(data);
    const body = env.subarray(1);
    const ms = n === 64 ? 1000 : 3000;
    const asyncRate = async (fn) => {
      let n = 0;
      const t = performance.now();
      while (performance.now() - t < ms) {
        await fn();
        n++;
      }
      return (n * 1000) / (performance.now() - t);
    };
    const r = {
      'AES-CBC seal': [rate(() => k.seal(data), ms), rate(() => cbc(key, iv, { disablePadding: true }).encrypt(data), ms)],
      'AES-CBC open': [rate(() => k.open(env), ms), rate(() => cbc(key, iv, { disablePadding: true }).decrypt(body), ms)],
      'AES-CBC sealAsync': [await asyncRate(() => k.sealAsync(data)), rate(() => cbc(key, iv, { disablePadding: true }).encrypt(data), ms)],
      'AES-CBC openAsync': [await asyncRate(() => k.openAsync(env)), rate(() => cbc(key, iv, { disablePadding: true }).decrypt(body), ms)],
      'Blowfish seal': [rate(() => bf.seal(data), ms), null],
      'Blowfish open': [rate(() => bf.open(benv), ms), null],
    };
    for (const [what, [ours, noble]] of Object.entries(r)) rows.push({ n, what, ours, noble });
  }
  const extra = [];
  if (typeof ReadableStream === 'function' && typeof window === 'object') {
    // 64 MiB in 1 MiB chunks, as a file's stream gives them, through sealer().
    const chunk = new Uint8Array(1 << 20).fill(3);
    let left = 64;
    const source = new ReadableStream({ pull(c) { if (left-- > 0) c.enqueue(chunk.slice()); else c.close(); } });
    const t = performance.now();
    let got = 0;
    const reader = source.pipeThrough(k.sealer({ total: 64 << 20 })).getReader();
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      got += value.length;
    }
    extra.push(['AES-CBC sealer(), 64 MiB streamed', `${((64 << 20) / 1e3 / (performance.now() - t)).toFixed(1)} MB/s (${got} bytes out)`]);
    // During a 256 MiB sealAsync, the gaps between the runs of a task that
    // queues itself again at once, as a page's own work waits: a message
    // to a channel (the gap is the longest turn of the event loop), and a
    // timer (which the browser may also put behind WebCrypto's answers).
    const big = new Uint8Array(256 << 20).fill(5);
    const gaps = { message: [], timer: [] };
    let ticking = true;
    const last = { message: 0, timer: 0 };
    const tick = (kind) => {
      const now = performance.now();
      gaps[kind].push(now - last[kind]);
      last[kind] = now;
    };
    const channel = new MessageChannel();
    channel.port1.onmessage = () => {
      tick('message');
      if (ticking) channel.port2.postMessage(null);
    };
    const timer = () => {
      tick('timer');
      if (ticking) setTimeout(timer, 0);
    };
    channel.port2.postMessage(null);
    setTimeout(timer, 0);
    await new Promise((resolve) => setTimeout(resolve, 50));
    const t2 = performance.now();
    last.message = last.timer = t2;
    gaps.message.length = gaps.timer.length = 0;
    await k.sealAsync(big);
    const took = performance.now() - t2;
    ticking = false;
    channel.port1.close();
    const worst = (g) => {
      g.sort((x, y) => x - y);
      return `longest ${g[g.length - 1].toFixed(1)} ms, 99th percentile ${g[Math.floor(g.length * 0.99)].toFixed(1)} ms`;
    };
    extra.push(['AES-CBC sealAsync, 256 MiB', `${((256 << 20) / 1e3 / took).toFixed(1)} MB/s; gaps of a message task: ${worst(gaps.message)}; of a timer: ${worst(gaps.timer)}`]);
  }
  const times = [];
  for (let i = 0; i < 20; i++) times.push(await instantiate());
  times.sort((a, b) => a - b);
  return { rows, extra, instantiateMs: times[10] };
}

function table(title, { rows, extra, instantiateMs }) {
  const fmt = (n, v) => (v === null ? 'none' : n === 64 ? `${Math.round(v).toLocaleString('en')} calls/s`
    : `${((v * n) / 1e6).toFixed(1)} MB/s`);
  console.log(`\n${title}: instantiating the module ${instantiateMs.toFixed(2)} ms (median of 20)\n`);
  console.log('| work | sealkit (wasm) | @noble/ciphers | ratio |');
  console.log('|---|---|---|---|');
  for (const r of rows) {
    const size = r.n === 64 ? '64 B' : '1 MiB';
    const ratio = r.noble === null ? '' : `${(r.ours / r.noble).toFixed(2)}x`;
    console.log(`| ${r.what}, ${size} | ${fmt(r.n, r.ours)} | ${fmt(r.n, r.noble)} | ${ratio} |`);
  }
  for (const [what, figure] of extra) console.log(`| ${what} | ${figure} | | |`);
}

async function inNode(wasm) {
  process.env.SEALKIT_BACKEND = 'wasm';
  const sealkit = require(pkg);
  const { cbc } = require(path.join(npm, '@noble', 'ciphers', 'aes.js'));
  return measure(sealkit, cbc, async () => {
    const t = performance.now();
    await WebAssembly.instantiate(wasm, { sealkit: { host_aes: () => 0 } });
    return performance.now() - t;
  });
}

async function inChromium() {
  const types = { '.mjs': 'text/javascript', '.js': 'text/javascript', '.wasm': 'application/wasm' };
  const roots = { '/sealkit/': pkg, '/noble/': path.join(npm, '@noble', 'ciphers') };
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    if (url.pathname === '/') return res.end('<!doctype html><title>bench</title>');
    const prefix = Object.keys(roots).find((p) => url.pathname.startsWith(p));
    const file = prefix && path.resolve(roots[prefix], url.pathname.slice(prefix.length));
    if (!file || !file.startsWith(roots[prefix]) || !fs.existsSync(file)) {
      res.statusCode = 404;
      return res.end();
    }
    res.setHeader('Content-Type', types[path.extname(file)] ?? 'application/octet-stream');
    res.end(fs.readFileSync(file));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { chromium } = require(path.join(npm, 'playwright-core'));
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'sealkit-bench-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run'],
  });
  try {
    const page = await context.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    return await page.evaluate(`(async () => {
      const sealkit = await import('./sealkit/browser.mjs');
      const { cbc } = await import('./noble/esm/aes.js');
      const wasm = await (await fetch('./sealkit/sealkit.wasm')).arrayBuffer();
      return (${measure})(sealkit, cbc, async () => {
        const t = performance.now();
        await WebAssembly.instantiate(wasm, { sealkit: { host_aes: () => 0 } });
        return performance.now() - t;
      });
    })()`);
  } finally {
    await context.close();
    server.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

(async () => {
  const wasm = fs.readFileSync(path.join(pkg, 'sealkit.wasm'));
  console.log(`sealkit.wasm: ${wasm.length.toLocaleString('en')} bytes, ` +
    `${zlib.gzipSync(wasm, { level: 9 }).length.toLocaleString('en')} gzipped`);
  table(`Node.js ${process.version}`, await inNode(wasm));
  table('Chromium (headless)', await inChromium());
})();
