// SPDX-License-Identifier: MIT
// The WebAssembly back end's own hostile cases, on an instance of the
// package's sealkit.wasm this test holds (SEALKIT_NODE_DIR): what linear
// memory keeps after calls, memory that grows under a call in progress, and
// memory that stays flat for large inputs. sealkit.test.js runs the
// package's whole suite on this back end as well.
'use strict';

const { test, sameBytes } = require('../support/node_test.js');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const dir = process.env.SEALKIT_NODE_DIR;
const bytes = fs.readFileSync(path.join(dir, 'sealkit.wasm'));
const sealkit = require(dir);
const wasm = require(path.join(dir, 'lib', 'wasm.js'));
const nodeAes = require(path.join(dir, 'lib', 'node_aes.js'))(crypto);

// An instance as the package makes one in Node.js (with node:crypto's AES
// for long runs), or with `host` in its place (null: the module's own AES),
// and `subtle` for async calls and streams as browsers have it.
function backend(wrap = (exports) => exports, host = nodeAes, subtle = undefined) {
  const real = new WebAssembly.Instance(new WebAssembly.Module(bytes), wasm.imports(host, () => real.exports.memory));
  const instance = { exports: wrap(real.exports) };
  const w = wasm(instance, {
    alloc: Buffer.allocUnsafe,
    later: () => new Promise(setImmediate),
    copyAtOnce: 8 << 20,
    turnMs: 8,
    subtle,
  });
  w.init(sealkit.SealkitError);
  const memory = () => Buffer.from(instance.exports.memory.buffer);
  return { w, instance, memory };
}

const ids = { 'aes-ecb': 1, 'aes-cbc': 2, blowfish: 4 };

test('the module imports the host\'s AES and nothing else', () => {
  assert.deepStrictEqual(WebAssembly.Module.imports(new WebAssembly.Module(bytes)),
    [{ module: 'sealkit', name: 'host_aes', kind: 'function' }]);
});

// node:crypto's AES over the zero-completed plaintext, behind the pad count:
// an implementation that shares nothing with the module.
function reference(mode, key, plain) {
  const pad = 16 - (plain.length % 16);
  const c = crypto.createCipheriv(`aes-${key.length * 8}-${mode}`, key, mode === 'cbc' ? Buffer.alloc(16) : null);
  c.setAutoPadding(false);
  return Buffer.concat([Buffer.of(pad), c.update(Buffer.concat([plain, Buffer.alloc(pad % 16)])), c.final()]);
}

// WebCrypto as a browser lends it, counting its calls; or failing every
// call after the first `ok` (a key size it refuses, a call it rejects).
let webRuns = 0;
function webCrypto(ok = Infinity) {
  let calls = 0;
  const call = (name) => (...a) => (++calls > ok ? Promise.reject(new Error('refused'))
    : (webRuns++, crypto.subtle[name](...a)));
  return { importKey: call('importKey'), encrypt: call('encrypt'), decrypt: call('decrypt') };
}

// The routes an AES run can take: the module's own AES, node:crypto's for
// long runs (counted, so that the route is known to be taken), a host that
// declines every other run; and for async calls and streams, WebCrypto,
// WebCrypto failing half way through, and WebCrypto refusing from the start.
let hostRuns = 0, asked = 0;
const routes = {
  none: [null],
  'node:crypto': [(...a) => ++hostRuns && nodeAes(...a)],
  'every other run': [(...a) => ++asked % 2 === 0 && nodeAes(...a)],
  WebCrypto: [null, webCrypto],
  'WebCrypto failing half way': [null, () => webCrypto(7)],
  'WebCrypto refusing': [null, () => webCrypto(0)],
};

test('envelopes as an independent AES makes them, below and above a slice, on each AES route',
  { timeout: 300000 }, async (t) => {
    for (const [route, [host, subtle]] of Object.entries(routes)) {
      await t.test(route, () => sealsAsReference(host, subtle));
    }
    assert.ok(hostRuns > 0, 'node:crypto never did a run');
    assert.ok(webRuns > 0, 'WebCrypto never did a run');
  });

// Edges, then sizes drawn up to 3 MiB (an empty plaintext is refused: sealkit.test.js).
const sizes = [1, 15, 16, 17, 1023, 1024, 1025, 4097, 16383, 16384, 16385, (1 << 20) - 1, 1 << 20,
  (1 << 20) + 1, (3 << 20) + 5, ...Array.from({ length: 3 }, () => crypto.randomInt(1, 3 << 20))];

async function sealsAsReference(host, subtle) {
  for (const n of sizes) {
    for (const [mode, id] of [['ecb', ids['aes-ecb']], ['cbc', ids['aes-cbc']]]) {
      // Each size on a fresh route, so that one failing half way fails inside a call.
      const { w } = backend(undefined, host, subtle?.());
      const key = crypto.randomBytes([16, 24, 32][n % 3]), plain = crypto.randomBytes(n);
      const want = reference(mode, key, plain);
      const what = `${mode}, ${n} bytes`;
      const out = Buffer.alloc(want.length);
      assert.strictEqual(w.seal(id, plain, key, out), want.length);
      sameBytes(out, want, `${what}, one-shot`);
      const k = new w.NativeKey(id, key);
      sameBytes(await k.sealAsync(plain), want, `${what}, async`);
      sameBytes(await k.openAsync(want), plain, `${what}, opened async`);
      const back = Buffer.alloc(want.length);
      sameBytes(back.subarray(0, k.openInto(want, back, 0)), plain, `${what}, opened`);
      if (subtle) {
        sameBytes(await streamed(k, 1, plain, 300007), want, `${what}, streamed`);
        sameBytes(await streamed(k, 2, want, 65536), plain, `${what}, streamed open`);
      }
      k.close();
    }
  }
}

// Through a stream on a Key, `step` bytes at a time, as a browser's
// TransformStream feeds it.
async function streamed(k, dir, input, step) {
  const s = k.stream(dir, input.length);
  const parts = [];
  for (let at = 0; at < input.length; at += step) parts.push(Buffer.from(await s.updateAsync(input.subarray(at, at + step))));
  parts.push(Buffer.from(s.final()));
  s.close();
  return Buffer.concat(parts);
}

// Runs of 1 KiB or more go to the host, shorter ones stay in the module.
// A one-shot seal runs the plaintext's whole blocks, then the
// zero-completed last one on its own: 1023 bytes make runs of 1008 and 16.
test('which runs the host\'s AES takes: from 1 KiB of blocks on', () => {
  let runs = 0;
  const { w } = backend(undefined, (...a) => ++runs && nodeAes(...a));
  const key = crypto.randomBytes(16);
  const rows = [[1000, false, 'all'], [1008, false, 'all'], [1023, false, 'one-shot seal'],
    [1024, true, 'one-shot seal'], [1025, true, 'one-shot seal'], [1056, true, 'all'], [4096, true, 'all']];
  for (const [n, host, calls] of rows) {
    for (const [mode, id] of [['ecb', ids['aes-ecb']], ['cbc', ids['aes-cbc']]]) {
      const want = reference(mode, key, crypto.randomBytes(n));
      const k = new w.NativeKey(id, key);
      for (const [what, call] of [
        ['one-shot seal', () => w.seal(id, Buffer.alloc(n), key, Buffer.alloc(want.length))],
        ['seal on a Key', () => k.sealInto(Buffer.alloc(n), Buffer.alloc(want.length), 0)],
        ['open on a Key', () => k.openInto(want, Buffer.alloc(want.length), 0)]]) {
        if (calls !== 'all' && calls !== what) continue;
        runs = 0;
        call();
        assert.strictEqual(runs > 0, host, `${mode}, ${n} bytes, ${what}: ${runs} host runs`);
      }
      k.close();
    }
  }
});

// node_aes.js copies what node:crypto returns into linear memory: those
// copies of the output (plaintext, when opening) must be wiped.
test('what node:crypto hands back is wiped once copied', () => {
  const returned = [];
  const real = { createCipheriv: crypto.createCipheriv, createDecipheriv: crypto.createDecipheriv };
  for (const [name, make] of Object.entries(real)) {
    crypto[name] = (...args) => {
      const c = make(...args);
      const update = c.update.bind(c);
      c.update = (...u) => {
        const out = update(...u);
        returned.push(out);
        return out;
      };
      return c;
    };
  }
  try {
    const { w } = backend();
    const key = crypto.randomBytes(32), plain = crypto.randomBytes(70000);
    for (const id of [ids['aes-ecb'], ids['aes-cbc']]) {
      const k = new w.NativeKey(id, key);
      const env = Buffer.alloc(plain.length + 17);
      k.openInto(env.subarray(0, k.sealInto(plain, env, 0)), Buffer.alloc(env.length), 0);
      k.close();
    }
  } finally {
    Object.assign(crypto, real);
  }
  assert.ok(returned.length >= 4, `node:crypto made ${returned.length} runs`);
  for (const b of returned) assert.ok(b.every((x) => x === 0), 'a buffer node:crypto returned still holds its bytes');
});

test('no key, plaintext or envelope stays in linear memory after the calls', async () => {
  for (const [name, id] of Object.entries(ids)) {
    const { w, memory } = backend();
    const key = crypto.randomBytes(32), plain = crypto.randomBytes(3000), big = crypto.randomBytes(3 << 20);
    const env = Buffer.alloc(3100);
    const n = w.seal(id, plain, key, env);
    w.open(id, env.subarray(0, n), key, Buffer.alloc(3100));
    const k = new w.NativeKey(id, key);
    k.sealInto(plain, Buffer.alloc(3100), 0);
    k.sealInto(big, Buffer.alloc(big.length + 17), 0);
    await k.openAsync(await k.sealAsync(plain));
    const s = k.stream(1, plain.length);
    s.update(plain);
    s.final();
    s.close();
    k.close();
    const m = memory();
    for (const [what, needle] of [['key', key.subarray(0, 16)], ['plaintext', plain.subarray(0, 32)],
      ['large plaintext', big.subarray(1 << 20, (1 << 20) + 32)], ['envelope', env.subarray(1, 33)]]) {
      assert.strictEqual(m.indexOf(needle), -1, `${name}: the ${what} is still in linear memory`);
    }
  }
});

// The WebCrypto route copies each run and the key out of linear memory for
// WebCrypto: those copies, and what WebCrypto hands back, must be wiped,
// and linear memory must keep none of it either.
test('what the WebCrypto route copies or gets back is wiped', async () => {
  const given = [], returned = [];
  const keep = (b) => (given.push(b), b);
  const subtle = {
    importKey: (f, key, ...a) => crypto.subtle.importKey(f, keep(key), ...a),
    encrypt: async (p, k, d) => {
      const out = await crypto.subtle.encrypt(p, k, keep(d));
      returned.push(new Uint8Array(out));
      return out;
    },
    decrypt: async (p, k, d) => {
      const out = await crypto.subtle.decrypt(p, k, keep(d));
      returned.push(new Uint8Array(out));
      return out;
    },
  };
  for (const [name, id] of [['aes-ecb', ids['aes-ecb']], ['aes-cbc', ids['aes-cbc']]]) {
    const { w, memory } = backend(undefined, null, subtle);
    const key = crypto.randomBytes(32), plain = crypto.randomBytes(700000);
    const k = new w.NativeKey(id, key);
    const env = await k.sealAsync(plain);
    sameBytes(await k.openAsync(env), plain, name);
    const s = k.stream(1, plain.length);
    await s.updateAsync(plain);
    s.final();
    s.close();
    k.close();
    assert.ok(given.length >= 4 && returned.length >= 3, `${name}: WebCrypto made ${returned.length} runs`);
    for (const b of [...given, ...returned]) assert.ok(b.every((x) => x === 0), `${name}: a copy still holds its bytes`);
    const m = memory();
    for (const [what, needle] of [['key', key.subarray(0, 16)], ['plaintext', plain.subarray(1 << 19, (1 << 19) + 32)]]) {
      assert.strictEqual(m.indexOf(needle), -1, `${name}: the ${what} is still in linear memory`);
    }
  }
});

// A stream closed while its async update waits for WebCrypto is freed once
// the update settled, never under it; and a second call in the meantime is
// refused.
test('a stream closed during its WebCrypto update is freed after it', async () => {
  const { w } = backend(undefined, null, crypto.subtle);
  const key = crypto.randomBytes(16), plain = crypto.randomBytes(100000);
  const k = new w.NativeKey(ids['aes-cbc'], key);
  const s = k.stream(1, plain.length);
  const pending = s.updateAsync(plain);
  assert.throws(() => s.update(plain), { code: 'ERR_SEALKIT_BUSY' });
  s.close();
  const got = await pending;
  sameBytes(got, reference('cbc', key, plain).subarray(0, got.length));
  assert.throws(() => s.final(), { code: 'ERR_SEALKIT_CLOSED' });
  k.close();
});

test('memory that grows during a stream or an async call gives the right bytes', async () => {
  const { w, instance } = backend();
  const key = crypto.randomBytes(16), plain = crypto.randomBytes(5 << 20);
  const want = sealkit.seal('aes-cbc', plain, key);
  const k = new w.NativeKey(ids['aes-cbc'], key);
  const s = k.stream(1, plain.length);
  const parts = [];
  for (let at = 0; at < plain.length; at += 700001) {
    parts.push(Buffer.from(s.update(plain.subarray(at, at + 700001))));
    instance.exports.memory.grow(4); // detaches every view of the old memory
  }
  parts.push(Buffer.from(s.final()));
  s.close();
  sameBytes(Buffer.concat(parts), want);
  const pending = k.sealAsync(plain);
  setImmediate(() => instance.exports.memory.grow(4));
  sameBytes(await pending, want);
  k.close();
});

test('memory stays flat for a large input, whatever the call', async () => {
  const { w, instance } = backend();
  const key = crypto.randomBytes(16), plain = Buffer.alloc(64 << 20, 7);
  const out = Buffer.alloc(plain.length + 17);
  w.seal(ids.blowfish, plain, key, out);
  const k = new w.NativeKey(ids.blowfish, key);
  await k.sealAsync(plain);
  k.close();
  assert.ok(instance.exports.memory.buffer.byteLength < (16 << 20),
    `linear memory grew to ${instance.exports.memory.buffer.byteLength} bytes`);
});

test('memory the module cannot have is a RangeError that says so, and the next calls work', () => {
  // As a module at the end of its memory: no allocation over 1 MiB succeeds.
  const { w } = backend((e) => ({ ...e, malloc: (n) => (n > (1 << 20) ? 0 : e.malloc(n)) }));
  const key = crypto.randomBytes(16), big = Buffer.alloc(3 << 20);
  assert.throws(() => w.seal(ids['aes-cbc'], big, key, Buffer.alloc(big.length + 17)), /RangeError|cannot hold/);
  const out = Buffer.alloc(17);
  assert.strictEqual(w.seal(ids['aes-cbc'], Buffer.alloc(16), key, out), 17);
  sameBytes(out, reference('cbc', key, Buffer.alloc(16)));
});

test('SEALKIT_BACKEND chooses the back end, and a wrong one says so', () => {
  const run = (value) => execFileSync(process.execPath, ['-e', `try { console.log(require(${JSON.stringify(dir)}).backend) }
    catch (e) { console.log(e.code) }`], { env: { ...process.env, SEALKIT_BACKEND: value }, encoding: 'utf8' }).trim();
  assert.strictEqual(run('wasm'), 'wasm');
  assert.strictEqual(run('gpu'), 'ERR_SEALKIT_BACKEND');
  const native = fs.existsSync(path.join(dir, 'build', 'Release', 'sealkit.node'));
  assert.strictEqual(run('native'), native ? 'native' : 'ERR_SEALKIT_NOT_BUILT');
  assert.strictEqual(run(''), native ? 'native' : 'wasm');
  // With addons turned off, the WebAssembly back end serves.
  assert.strictEqual(execFileSync(process.execPath, ['--no-addons', '-p', `require(${JSON.stringify(dir)}).backend`],
    { env: { ...process.env, SEALKIT_BACKEND: '' }, encoding: 'utf8' }).trim(), 'wasm');
});

// lib/backend.d.ts: both back ends offer the same members, tables and
// constants, so that lib/api.js cannot tell them apart.
test('both back ends implement one contract', { skip: !fs.existsSync(path.join(dir, 'build', 'Release', 'sealkit.node'))
  && 'no native addon in this package' }, () => {
  const native = require(path.join(dir, 'build', 'Release', 'sealkit.node'));
  const { w } = backend();
  const shape = (o) => Object.keys(o).sort().map((k) => `${k}:${typeof o[k]}`);
  assert.deepStrictEqual(shape(w), shape(native));
  for (const k of ['version', 'ciphers', 'results', 'constants']) assert.deepStrictEqual(w[k], native[k], k);
  const methods = (C) => Object.getOwnPropertyNames(C.prototype).sort();
  assert.deepStrictEqual(methods(w.NativeKey), methods(native.NativeKey));
  // updateAsync is the WebAssembly back end's own (lib/backend.d.ts).
  assert.deepStrictEqual(methods(w.NativeStream).filter((m) => m !== 'updateAsync'), methods(native.NativeStream));
});
