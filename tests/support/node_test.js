// SPDX-License-Identifier: MIT
// What the Node.js test files share: node:test's test() with a timeout
// unless the case sets its own, so that a hang fails in a minute rather than
// at ctest's limit; and sameBytes(), which compares buffers of any size
// without printing them: a difference is reported by its first offset, the
// lengths and the digests.
'use strict';

const nodeTest = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');

const kDefaultMs = 60000;

function test(name, options, fn) {
  if (typeof options === 'function') [options, fn] = [{}, options];
  return nodeTest(name, { timeout: kDefaultMs, ...options }, fn);
}

function sameBytes(actual, expected, what = 'bytes') {
  const a = Buffer.from(actual.buffer, actual.byteOffset, actual.byteLength);
  const b = Buffer.from(expected.buffer, expected.byteOffset, expected.byteLength);
  if (a.equals(b)) return;
  let at = 0;
  while (at < a.length && at < b.length && a[at] === b[at]) at++;
  const digest = (x) => crypto.createHash('sha256').update(x).digest('hex').slice(0, 16);
  assert.fail(`${what} differ at offset ${at}: ${a.length} bytes (sha256 ${digest(a)}) where ${b.length} ` +
    `(sha256 ${digest(b)}) were expected; from there ${a.subarray(at, at + 8).toString('hex')} ` +
    `for ${b.subarray(at, at + 8).toString('hex')}`);
}

module.exports = { test, sameBytes, before: nodeTest.before, after: nodeTest.after };
