// SPDX-License-Identifier: MIT
// The one loop behind every async call that works a slice per turn of the
// event loop (an async input's copy in lib/api.js, a whole call on the
// WebAssembly back end), so that no turn takes much longer than turnMs
// whatever the machine: a fresh page costs more than a copied one, and
// machines differ.
'use strict';

// Calls step(at, n) over [0, total) in slices, awaiting later() between
// two; each slice starts at `first` bytes and is doubled while it takes
// under turnMs / 2, halved while it takes over turnMs, within [min, max].
// before(), when given, runs before each slice (and may throw to end the
// loop). A total of 0 makes one call, step(0, 0).
async function paced(total, { first, min, max, turnMs, later, before }, step) {
  let at = 0;
  let size = first;
  for (;;) {
    if (before) before();
    const t = performance.now();
    const n = Math.min(size, total - at);
    step(at, n);
    at += n;
    if (at >= total) return;
    const ms = performance.now() - t;
    if (ms < turnMs / 2 && size < max) size *= 2;
    else if (ms > turnMs && size > min) size /= 2;
    await later();
  }
}

module.exports = paced;
