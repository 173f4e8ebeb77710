// SPDX-License-Identifier: MIT
// The Node.js package against node:crypto (AES), published vectors and the
// command (Blowfish), its error contract, and its async and busy behaviour.
// SEALKIT_NODE_DIR is the package to test; SEALKIT_TOOL the sealkit command.
'use strict';
const { test, sameBytes } = require('../support/node_test.js');
const assert = require('node:assert');
const crypto = require('node:crypto');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Readable, Writable } = require('node:stream');
const { pipeline } = require('node:stream/promises');

const sealkit = require(process.env.SEALKIT_NODE_DIR);

// The envelope by another implementation: zero completion, zero IV.
function reference(cipher, key, data) {
  const k = key.subarray(0, key.length >= 32 ? 32 : key.length >= 24 ? 24 : 16);
  const mode = cipher === 'aes-ecb' ? 'ecb' : 'cbc';
  const c = crypto.createCipheriv(`aes-${k.length * 8}-${mode}`, k, mode === 'ecb' ? null : Buffer.alloc(16));
  c.setAutoPadding(false);
  const pad = 16 - (data.length % 16);
  const body = Buffer.concat([data, Buffer.alloc(pad % 16)]);
  return Buffer.concat([Buffer.of(pad), c.update(body), c.final()]);
}

// Writes `data` to `stream` in random pieces; the joined output.
async function through(stream, data, rng) {
  const out = [];
  const sink = new Writable({ write(chunk, _, cb) { out.push(chunk); cb(); } });
  const pieces = [];
  for (let at = 0; at < data.length;) {
    const n = Math.min(data.length - at, 1 + Math.floor(rng() * 700));
    pieces.push(data.subarray(at, at + n));
    at += n;
  }
  await pipeline(Readable.from(pieces), stream, sink);
  return Buffer.concat(out);
}

function seeded(seed) {  // mulberry32: reproducible random cases
  return () => {
    seed = (seed + 0x6d2b79f5) | 0;
    let t = Math.imul(seed ^ (seed >>> 15), 1 | seed);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

test('AES matches node:crypto in every form', async () => {
  const rng = seeded(25);
  for (let i = 0; i < 150; i++) {
    const cipher = i % 2 ? 'aes-cbc' : 'aes-ecb';
    const key = crypto.randomBytes(16 + Math.floor(rng() * 25));
    const data = crypto.randomBytes(1 + Math.floor(rng() * 4096));
    const want = reference(cipher, key, data);
    sameBytes(sealkit.seal(cipher, data, key), want);
    sameBytes(sealkit.open(cipher, want, key), data);
    const k = new sealkit.Key(cipher, new Uint8Array(key));
    sameBytes(k.seal(data), want);
    sameBytes(await k.openAsync(want.buffer.slice(want.byteOffset, want.byteOffset + want.length)), data);
    const unknown = rng() < 0.5;
    const sealer = k.sealer(unknown ? {} : { total: data.length });
    const env = await through(sealer, data, rng);
    sameBytes(Buffer.concat([Buffer.of(sealer.firstByte), env.subarray(1)]), want);
    sameBytes(await through(k.opener(unknown ? {} : { total: want.length }), want, rng), data);
    k.close();
  }
});

// Eric Young's Blowfish CBC test in zero-IV form (29 bytes, pad 3), and the
// command's envelopes, which node:crypto cannot open without the legacy provider.
test('Blowfish: a published vector', () => {
  const key = Buffer.from('0123456789ABCDEFF0E1D2C3B4A59687', 'hex');
  const plain = Buffer.from('C9EA8FAC456603304E6F77206973207468652074696D6520666F722000', 'hex');
  const env = Buffer.from('036B77B4D63006DEE605B156E27403979358DEB9E7154616D959F1652BD5FF92CC', 'hex');
  sameBytes(sealkit.seal('blowfish', plain, key), env);
  sameBytes(sealkit.open('blowfish', env, key), plain);
});

test('the command and the package read each other', { skip: !process.env.SEALKIT_TOOL && 'no SEALKIT_TOOL' }, () => {
  const key = crypto.randomBytes(16);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'sealkit-node-'));
  try {
    fs.writeFileSync(path.join(dir, 'key'), key, { mode: 0o600 });
    const data = crypto.randomBytes(100000);
    const sealed = execFileSync(process.env.SEALKIT_TOOL, ['seal', '-c', 'blowfish', '-k', path.join(dir, 'key')], { input: data });
    sameBytes(new sealkit.Key('blowfish', key).open(sealed), data);
    const opened = execFileSync(process.env.SEALKIT_TOOL, ['open', '-c', 'builtin'], { input: sealkit.seal('builtin', data) });
    sameBytes(opened, data);
  } finally {
    fs.rmSync(dir, { recursive: true });
  }
});

test('every result code, as a SealkitError with nothing written', () => {
  const key = Buffer.alloc(16, 1);
  const k = new sealkit.Key('aes-cbc', key);
  const out = Buffer.alloc(16, 0xee);
  const cases = [
    [() => k.sealInto(Buffer.alloc(16), out), 'ERR_SEALKIT_CAPACITY', -2],
    [() => sealkit.seal('blowfish', Buffer.of(1), key.subarray(0, 15)), 'ERR_SEALKIT_KEY_LENGTH', -3],
    [() => new sealkit.Key('aes-ecb', Buffer.alloc(15)), 'ERR_SEALKIT_KEY_LENGTH', -3],
    [() => sealkit.seal('aes-ecb', Buffer.alloc(0), key), 'ERR_SEALKIT_EMPTY', -5],
    [() => k.openInto(Buffer.alloc(18), out), 'ERR_SEALKIT_NOT_ENVELOPE', -6],
    [() => k.openInto(Buffer.of(5), out), 'ERR_SEALKIT_NOT_ENVELOPE', -6],
    [() => sealkit.seal('des', Buffer.of(1), key), 'ERR_SEALKIT_CIPHER', -7],
    [() => sealkit.seal('builtin', Buffer.of(1), key), 'ERR_SEALKIT_CIPHER', -7],
  ];
  for (const [call, code, result] of cases) {
    assert.throws(call, (e) => e instanceof sealkit.SealkitError && e.code === code && e.result === result);
  }
  sameBytes(out, Buffer.alloc(16, 0xee));
  for (const bad of ['text', 5, null, [1, 2]]) {
    assert.throws(() => k.seal(bad), { name: 'TypeError', code: 'ERR_INVALID_ARG_TYPE' });
  }
  assert.throws(() => sealkit.seal('aes-cbc', Buffer.of(1)), /The "key" argument/);
  // The edges of an offset and of a total.
  assert.throws(() => k.sealInto(Buffer.of(1), out, out.length), { code: 'ERR_SEALKIT_CAPACITY' });
  for (const offset of [-1, out.length + 1]) assert.throws(() => k.sealInto(Buffer.of(1), out, offset), RangeError);
  for (const total of [-1, 0xffffffff]) assert.throws(() => k.sealer({ total }), { code: 'ERR_OUT_OF_RANGE' });
  assert.throws(() => k.sealer({ total: 0xfffffffe }), { code: 'ERR_SEALKIT_CAPACITY' });
  sameBytes(out, Buffer.alloc(16, 0xee));
  k.close();
  assert.throws(() => k.seal(Buffer.of(1)), { code: 'ERR_SEALKIT_CLOSED', result: 0 });
  // A result the library does not list is the package's fault, named.
  const odd = new sealkit.SealkitError(-99);
  assert.strictEqual(odd.code, 'ERR_SEALKIT_INTERNAL');
  assert.match(odd.message, /-99/);
});

test('stream errors come through the stream', async () => {
  const k = new sealkit.Key('aes-cbc', Buffer.alloc(32));
  await assert.rejects(through(k.sealer({ total: 3 }), Buffer.alloc(5), Math.random), { code: 'ERR_SEALKIT_LENGTH', result: -9 });
  await assert.rejects(through(k.opener(), Buffer.alloc(18), Math.random), { code: 'ERR_SEALKIT_NOT_ENVELOPE' });
});

test('files of unknown length: patched in place, or through a temporary file', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'sealkit-node-'));
  try {
    const k = new sealkit.Key('blowfish', Buffer.alloc(16, 9));
    const data = crypto.randomBytes(3 << 20);
    const dst = path.join(dir, 'env');
    await sealkit.sealFile(k, Readable.from([data]), dst);
    sameBytes(fs.readFileSync(dst), k.seal(data));
    const parts = [];
    await sealkit.sealFile(k, Readable.from([data]), new Writable({ write(c, _, cb) { parts.push(c); cb(); } }));
    sameBytes(Buffer.concat(parts), k.seal(data));
    await sealkit.openFile(k, dst, path.join(dir, 'back'));
    sameBytes(fs.readFileSync(path.join(dir, 'back')), data);
  } finally {
    fs.rmSync(dir, { recursive: true });
  }
});

test('async calls leave the event loop free; a second call on the Key is busy', async () => {
  const big = Buffer.alloc(256 << 20, 1);
  const k = new sealkit.Key('aes-cbc', Buffer.alloc(32, 2));
  let ticks = 0;
  const timer = setInterval(() => ticks++, 1);
  const pending = k.sealAsync(big);
  assert.throws(() => k.seal(Buffer.of(1)), { code: 'ERR_SEALKIT_BUSY' });
  await assert.rejects(k.openAsync(Buffer.alloc(17)), { code: 'ERR_SEALKIT_BUSY' });
  const env = await pending;
  clearInterval(timer);
  assert.ok(ticks >= 5, `the 1 ms timer fired ${ticks} times during the seal`);
  sameBytes(env, sealkit.seal('aes-cbc', big, Buffer.alloc(32, 2)));
  k.close();
});

// Over a slice the WebAssembly back end streams through the library: a
// short `out` must fail as the addon fails it, before anything is written.
test('a short out over 1 MiB: ERR_SEALKIT_CAPACITY, with out untouched', () => {
  const k = new sealkit.Key('aes-cbc', crypto.randomBytes(16));
  for (const n of [(1 << 20) - 1, 1 << 20, (1 << 20) + 1, 3 << 20]) {
    const data = crypto.randomBytes(n);
    const env = k.seal(data);
    for (const [call, input] of [['sealInto', data], ['openInto', env]]) {
      const out = Buffer.alloc(env.length - 1, 0xee);
      assert.throws(() => k[call](input, out), { code: 'ERR_SEALKIT_CAPACITY' }, `${call}, ${n} bytes`);
      assert.ok(out.every((b) => b === 0xee), `${call}, ${n} bytes: out was written`);
    }
  }
  k.close();
});

// An input over 8 MiB is copied a slice per turn before the call itself: a
// close() meanwhile must still take effect once the call has settled.
test('close() during a large async call closes the Key once it settles', async () => {
  const key = Buffer.alloc(16, 3), big = crypto.randomBytes((8 << 20) + 5);
  for (const method of ['sealAsync', 'openAsync']) {
    const k = new sealkit.Key('aes-cbc', key);
    const input = method === 'sealAsync' ? big : sealkit.seal('aes-cbc', big, key);
    const pending = k[method](input);
    k.close();
    sameBytes(await pending, method === 'sealAsync' ? sealkit.seal('aes-cbc', big, key) : big);
    for (const call of [() => k.seal(big.subarray(0, 5)), () => k.open(Buffer.alloc(17)),
      () => k.sealInto(Buffer.alloc(5), Buffer.alloc(17)), () => k.sealer()]) {
      assert.throws(call, { code: 'ERR_SEALKIT_CLOSED' }, method);
    }
    await assert.rejects(k.sealAsync(Buffer.alloc(5)), { code: 'ERR_SEALKIT_CLOSED' });
  }
});

test('worker threads, each with its own Key, get the same envelopes', async () => {
  const { Worker } = require('node:worker_threads');
  const code = `const { parentPort, workerData } = require('node:worker_threads');
    const s = require(workerData.dir);
    parentPort.postMessage(new s.Key('blowfish', Buffer.alloc(16, 4)).seal(Buffer.from('from a worker')));`;
  const want = sealkit.seal('blowfish', Buffer.from('from a worker'), Buffer.alloc(16, 4));
  const got = await Promise.all([0, 1].map(() => new Promise((resolve, reject) => {
    new Worker(code, { eval: true, workerData: { dir: process.env.SEALKIT_NODE_DIR } })
      .on('message', resolve).on('error', reject);
  })));
  for (const g of got) sameBytes(Buffer.from(g), want);
});

// What a careless or hostile caller can do to the bytes a call works on.
test('hostile callers: right bytes or a clear error, never a crash or stale memory', async (t) => {
  const key = Buffer.alloc(16, 3);
  const k = new sealkit.Key('aes-cbc', key);
  const plain = crypto.randomBytes(4 << 20);
  const want = sealkit.seal('aes-cbc', plain, key);

  await t.test('input resized or transferred while an async call runs', async (t) => {
    if (typeof ArrayBuffer.prototype.resize === 'function') {
      for (const call of [(v) => k.sealAsync(v), (v) => sealkit.sealAsync('aes-cbc', v, key)]) {
        const ab = new ArrayBuffer(plain.length, { maxByteLength: plain.length });
        new Uint8Array(ab).set(plain);
        const pending = call(new Uint8Array(ab));
        ab.resize(0);
        sameBytes(await pending, want);
      }
    } else {
      t.diagnostic('no resizable ArrayBuffer in this Node.js');
    }
    const ab = new ArrayBuffer(want.length);
    new Uint8Array(ab).set(want);
    const pending = k.openAsync(new Uint8Array(ab));
    new Uint8Array(structuredClone(ab, { transfer: [ab] })).fill(0x55);
    sameBytes(await pending, plain);
  });

  await t.test('a large input resized while its async call reads it: a clear error', async (t) => {
    if (typeof ArrayBuffer.prototype.resize !== 'function') return t.skip('no resizable ArrayBuffer');
    const n = 24 << 20; // read a slice per turn of the event loop
    const ab = new ArrayBuffer(n, { maxByteLength: n });
    const pending = k.sealAsync(new Uint8Array(ab));
    assert.throws(() => k.seal(Buffer.of(1)), { code: 'ERR_SEALKIT_BUSY' });
    ab.resize(n / 2);
    await assert.rejects(pending, { code: 'ERR_INVALID_STATE' });
    assert.strictEqual(k.open(k.seal(Buffer.from('after'))).toString(), 'after');
  });

  await t.test('a worker that ends with async calls in flight', () => {
    const script = `const { Worker, isMainThread, parentPort, workerData } = require('node:worker_threads');
      if (isMainThread) {
        for (let i = 0; i < 12; i++) {
          const w = new Worker(__filename, { workerData: i });
          if (i % 3 === 0) w.on('online', () => w.terminate());
          if (i % 3 === 1) w.on('message', () => w.terminate());
        }
      } else {
        const s = require(${JSON.stringify(process.env.SEALKIT_NODE_DIR)});
        const k = new s.Key('aes-cbc', Buffer.alloc(16, 1));
        k.sealAsync(Buffer.alloc(8 << 20));
        s.openAsync('aes-cbc', Buffer.alloc((8 << 20) + 1), Buffer.alloc(16));
        parentPort.postMessage('in flight');
        if (workerData % 3 === 2) process.exit(0);
      }`;
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'sealkit-node-'));
    try {
      fs.writeFileSync(path.join(dir, 'workers.js'), script);
      execFileSync(process.execPath, [path.join(dir, 'workers.js')], { stdio: 'pipe' });
    } finally {
      fs.rmSync(dir, { recursive: true });
    }
  });

  await t.test('out overlapping the input is refused, with nothing written', () => {
    for (const cipher of ['aes-cbc', 'blowfish']) {
      const kk = new sealkit.Key(cipher, key);
      const b = Buffer.from(crypto.randomBytes(256));
      const before = Buffer.from(b);
      // The input is b[64, 96) sealing, b[64, 97) opening; each `out` shares
      // memory with it: from inside it, by one byte at either end, or from
      // before it, with room enough for the output.
      const outs = [[1, 256], [80, 256], [64, 256], [95, 256], [96, 256], [40, 65], [30, 97], [56, 256]];
      for (const [from, to] of outs) {
        for (const [call, n] of [[(o) => kk.sealInto(b.subarray(64, 96), o), 96],
          [(o) => kk.openInto(b.subarray(64, 97), o), 97]]) {
          if (from >= n) continue;
          assert.throws(() => call(b.subarray(from, to)), { name: 'TypeError', code: 'ERR_INVALID_ARG_VALUE' },
            `out [${from}, ${to}) against input [64, ${n})`);
        }
      }
      assert.throws(() => kk.sealInto(b.subarray(0, 32), b, 1), { code: 'ERR_INVALID_ARG_VALUE' });
      sameBytes(b, before);
      // Right beside it, on either side, is fine, and right.
      assert.strictEqual(kk.sealInto(b.subarray(0, 32), b, 32), 33);
      sameBytes(b.subarray(32, 65), kk.seal(before.subarray(0, 32)));
      assert.strictEqual(kk.sealInto(b.subarray(200, 216), b.subarray(183, 200)), 17);
      sameBytes(b.subarray(183, 200), kk.seal(before.subarray(200, 216)));
    }
  });

  await t.test('no stale bytes behind a returned view', async () => {
    const env = sealkit.seal('aes-cbc', Buffer.from('x'.repeat(20)), key);
    const tail = (v) => new Uint8Array(v.buffer, v.byteOffset + v.length, v.length < 32 ? 32 - v.length : 0);
    for (const got of [await k.openAsync(env), k.open(env)]) {
      assert.strictEqual(got.toString(), 'x'.repeat(20));
      assert.ok(tail(got).every((b) => b === 0), `behind the view: ${Buffer.from(tail(got)).toString('hex')}`);
    }
    const sealer = k.sealer();
    sealer.write(Buffer.alloc(15, 1));
    const first = sealer.read();
    const behind = new Uint8Array(first.buffer, first.byteOffset + first.length, 30);
    assert.ok(behind.every((b) => b === 0));
    sealer.destroy();
  });

  await t.test('a DataView over shared memory works as a Uint8Array over it', () => {
    const sab = new SharedArrayBuffer(64);
    new Uint8Array(sab).set(crypto.randomBytes(64));
    sameBytes(k.seal(new DataView(sab, 8, 40)), k.seal(new Uint8Array(sab, 8, 40)));
  });
  k.close();
});
