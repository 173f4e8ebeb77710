#!/usr/bin/env node
// SPDX-License-Identifier: MIT
// The Node.js package side by side with node:crypto doing the same AES-CBC
// work (zero IV, zero completion, a 32-byte key), with the C library's own
// keyed call (from sealkit_bench), and its async form on two threads; then
// the longest turn of the event loop while one async call runs, at 256 MiB
// and 1 GiB. Prints Markdown tables. SEALKIT_BACKEND=wasm measures the
// WebAssembly back end (its async form is on the main thread, a slice per
// turn, so two calls do not overlap).
//   SEALKIT_NODE_DIR=build/release/node node --expose-gc bench/node_bench.js build/release/bench/sealkit_bench
'use strict';
const crypto = require('node:crypto');
const { execFileSync } = require('node:child_process');
const sealkit = require(require('node:path').resolve(process.env.SEALKIT_NODE_DIR));

const KEY = crypto.randomBytes(32);
const IV = Buffer.alloc(16);

// Calls per second of fn(), over about `seconds`.
function rate(fn, seconds = 1) {
  let n = 0;
  const start = process.hrtime.bigint();
  let elapsed = 0;
  while (elapsed < seconds) {
    for (let i = 0; i < 100; i++) fn();
    n += 100;
    elapsed = Number(process.hrtime.bigint() - start) / 1e9;
  }
  return n / elapsed;
}

function cryptoSeal(data) {
  const pad = 16 - (data.length % 16);
  const c = crypto.createCipheriv('aes-256-cbc', KEY, IV);
  c.setAutoPadding(false);
  return Buffer.concat([Buffer.of(pad), c.update(Buffer.concat([data, Buffer.alloc(pad % 16)])), c.final()]);
}

// The C library's keyed 1 MiB seal, in ns per call, from Google Benchmark.
function cSeal(bench) {
  const file = require('node:path').join(require('node:os').tmpdir(), `node_bench.${process.pid}.json`);
  execFileSync(bench, ['--benchmark_filter=^keyed/aes_cbc/seal/bytes:1048576',
    `--benchmark_out=${file}`, '--benchmark_out_format=json'], { stdio: 'ignore' });
  const b = JSON.parse(require('node:fs').readFileSync(file)).benchmarks[0];
  require('node:fs').rmSync(file);
  return b.real_time * { ns: 1, us: 1e3, ms: 1e6 }[b.time_unit];
}

async function main() {
  const k = new sealkit.Key('aes-cbc', KEY);
  const small = crypto.randomBytes(64);
  const rows = [];
  const ours = rate(() => k.seal(small));
  const theirs = rate(() => cryptoSeal(small));
  rows.push(['Key.seal, 64 B, calls/s', ours.toFixed(0), `node:crypto ${theirs.toFixed(0)}`, (ours / theirs).toFixed(2) + 'x']);

  // 1 MiB with a 16-byte key (AES-128), as sealkit_bench's keyed row has.
  const k16 = new sealkit.Key('aes-cbc', KEY.subarray(0, 16));
  const mib = crypto.randomBytes(1 << 20);
  const out = Buffer.alloc(mib.length + 16);
  const sealNs = 1e9 / rate(() => k16.seal(mib), 2);
  const intoNs = 1e9 / rate(() => k16.sealInto(mib, out), 2);
  if (process.argv[2]) {
    const c = cSeal(process.argv[2]);
    rows.push(['Key.seal, 1 MiB, µs', (sealNs / 1e3).toFixed(1), `C call ${(c / 1e3).toFixed(1)}`, (sealNs / c).toFixed(2) + 'x']);
    rows.push(['Key.sealInto, 1 MiB, µs', (intoNs / 1e3).toFixed(1), `C call ${(c / 1e3).toFixed(1)}`, (intoNs / c).toFixed(2) + 'x']);
  }

  const big = [crypto.randomBytes(64 << 20), crypto.randomBytes(64 << 20)];
  const keys = [new sealkit.Key('aes-cbc', KEY), new sealkit.Key('aes-cbc', KEY)];
  let t = process.hrtime.bigint();
  for (let i = 0; i < 2; i++) await keys[i].sealAsync(big[i]);
  const serial = Number(process.hrtime.bigint() - t) / 1e6;
  t = process.hrtime.bigint();
  await Promise.all(keys.map((key, i) => key.sealAsync(big[i])));
  const both = Number(process.hrtime.bigint() - t) / 1e6;
  rows.push(['sealAsync, 2 x 64 MiB, ms', `together ${both.toFixed(0)}`, `in a row ${serial.toFixed(0)}`, (both / serial).toFixed(2) + 'x']);

  console.log(`back end: ${sealkit.backend}`);
  console.log('| case | sealkit | peer | ratio |');
  console.log('|---|---|---|---|');
  for (const r of rows) console.log(`| ${r.join(' | ')} |`);
  big.length = 0;

  console.log('\n| async call | time | longest turn of the event loop |');
  console.log('|---|---|---|');
  for (const [cipher, mib] of [['aes-cbc', 256], ['blowfish', 256], ['aes-cbc', 1024], ['blowfish', 1024]]) {
    // The rows before leave GiB of garbage, whose collection would land in
    // this row's turns: collected first (node --expose-gc), each row
    // measures its own call.
    if (global.gc) global.gc();
    const r = await longestTurn(cipher, Buffer.alloc(mib << 20, 1));
    console.log(`| ${cipher} sealAsync, ${mib} MiB | ${r.ms.toFixed(0)} ms | ${r.gap.toFixed(1)} ms |`);
  }
}

// The time of one sealAsync of `data`, and the longest the event loop went
// without running a timer meanwhile (timers every millisecond).
async function longestTurn(cipher, data) {
  const key = new sealkit.Key(cipher, KEY);
  let last = performance.now(), gap = 0;
  const tick = setInterval(() => {
    const now = performance.now();
    gap = Math.max(gap, now - last);
    last = now;
  }, 1);
  const t = performance.now();
  last = t;
  await key.sealAsync(data);
  const ms = performance.now() - t;
  gap = Math.max(gap, performance.now() - last);
  clearInterval(tick);
  key.close();
  return { ms, gap };
}

main();
