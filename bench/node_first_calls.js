#!/usr/bin/env node
// SPDX-License-Identifier: MIT
// A 1 MiB AES-256-CBC seal in Node.js, each way in a fresh process: the
// first 15 calls (as a short-lived script or a check sees them), then 15
// calls after 300 more; the best and median time and the page faults per
// call (first touches of new memory). node:crypto's own call, and a Key's
// seal on each back end. node:crypto makes the envelope (the pad count,
// then the cipher), or only the cipher's bytes. Prints a Markdown table.
//   SEALKIT_NODE_DIR=build/release/node node bench/node_first_calls.js
'use strict';
const { execFileSync } = require('node:child_process');
const path = require('node:path');

const pkg = path.resolve(process.env.SEALKIT_NODE_DIR);

// Runs in the child: `way` is node:crypto, native or wasm.
function child(way) {
  const crypto = require('node:crypto');
  const key = crypto.randomBytes(32), data = crypto.randomBytes(1 << 20);
  let seal;
  const cipher = () => {
    const c = crypto.createCipheriv('aes-256-cbc', key, Buffer.alloc(16));
    c.setAutoPadding(false);
    return [c.update(data), c.final()];
  };
  if (way === 'node:crypto') {
    seal = () => Buffer.concat([Buffer.of(16), ...cipher()]);
  } else if (way === 'cipher') {
    seal = cipher;
  } else {
    process.env.SEALKIT_BACKEND = way;
    const k = new (require(process.env.PKG).Key)('aes-cbc', key);
    seal = () => k.seal(data);
  }
  const run = (n) => {
    const t = [], f0 = process.resourceUsage().minorPageFault;
    for (let i = 0; i < n; i++) {
      const s = performance.now();
      seal();
      t.push(performance.now() - s);
    }
    t.sort((a, b) => a - b);
    return { best: t[0], median: t[t.length >> 1], faults: (process.resourceUsage().minorPageFault - f0) / n };
  };
  const first = run(15);
  run(300);
  console.log(JSON.stringify({ first, later: run(15) }));
}

if (process.argv[2] === '--child') {
  child(process.argv[3]);
} else {
  console.log('| 1 MiB AES-256-CBC seal | first 15 calls: best, median | faults a call | after 300 more: best, median | faults a call |');
  console.log('|---|---|---|---|---|');
  for (const way of ['node:crypto', 'cipher', 'native', 'wasm']) {
    let r;
    try {
      r = JSON.parse(execFileSync(process.execPath, [__filename, '--child', way],
        { env: { ...process.env, PKG: pkg }, encoding: 'utf8' }));
    } catch {
      continue; // no native addon in this package
    }
    const ms = (x) => `${x.best.toFixed(2)}, ${x.median.toFixed(2)} ms`;
    const name = { 'node:crypto': 'node:crypto, the envelope', cipher: 'node:crypto, the cipher only' }[way] ??
      `sealkit \`Key.seal\` (${way})`;
    console.log(`| ${name} | ${ms(r.first)} | ${Math.round(r.first.faults)} | ${ms(r.later)} | ${Math.round(r.later.faults)} |`);
  }
}
