// SPDX-License-Identifier: MIT
// The page's logic: the package's browser entry, loaded from beside the
// page (the server puts the package at ./sealkit/), the form for typed
// envelopes and text, and files of any size, streamed through a Key's
// sealer() or opener() into a download.
const $ = (id) => document.getElementById(id);

let sealkit;
try {
  sealkit = await import('./sealkit/browser.mjs');
} catch (e) {
  $('missing').hidden = false;
  $('missing').textContent = 'This page needs the packed sealkit package at ./sealkit/ beside it ' +
    '(node node/scripts/pack.js, then unpack sealkit-VERSION.tgz there; or link build/release/node). ' +
    `Loading ./sealkit/browser.mjs failed: ${e.message}`;
  throw e;
}

for (const name of sealkit.ciphers) $('cipher').add(new Option(name, name));
$('cipher').value = 'aes-cbc';

// Hex and base64 a slice at a time: one call over a whole multi-megabyte
// buffer would overflow the argument list or the stack.
const kChunk = 3 * 8192;
function hex(b) {
  const parts = [];
  for (let at = 0; at < b.length; at += kChunk) {
    parts.push(Array.from(b.subarray(at, at + kChunk), (x) => x.toString(16).padStart(2, '0')).join(''));
  }
  return parts.join('');
}
function base64(b) {
  const parts = [];
  for (let at = 0; at < b.length; at += kChunk) parts.push(btoa(String.fromCharCode(...b.subarray(at, at + kChunk))));
  return parts.join('');
}
function fromBase64(t) {
  const s = atob(t);
  const out = new Uint8Array(s.length);
  for (let i = 0; i < s.length; i++) out[i] = s.charCodeAt(i);
  return out;
}

// Hex when it is only hex digits (and of even length), else base64.
function bytesOf(text, what) {
  const t = text.replace(/\s+/g, '');
  if (/^([0-9a-f]{2})*$/i.test(t)) {
    const out = new Uint8Array(t.length / 2);
    for (let i = 0; i < out.length; i++) out[i] = parseInt(t.substr(2 * i, 2), 16);
    return out;
  }
  try {
    return fromBase64(t);
  } catch {
    const e = new Error(`The ${what} is neither hex nor base64.`);
    e.code = 'PAGE_NOT_BYTES';
    throw e;
  }
}

// What went wrong, from the error's code and what the form holds.
function words(e, cipher, key) {
  switch (e.code) {
    case 'ERR_SEALKIT_KEY_LENGTH': return 'The key is too short: it needs 16 bytes or more.';
    case 'ERR_SEALKIT_NOT_ENVELOPE': return 'This is not an envelope of this cipher (wrong length or pad count).';
    case 'ERR_SEALKIT_EMPTY': return 'There is nothing to seal.';
    case 'ERR_SEALKIT_CIPHER':
      return cipher === 'builtin' && key ? 'The builtin cipher takes no key: clear the key.' : e.message;
    case 'ERR_INVALID_ARG_TYPE': return key ? e.message : 'This cipher needs a key.';
    case 'PAGE_NOT_BYTES': return e.message;
    default: return `${e.message}${e.code ? ` (${e.code})` : ''}`;
  }
}

function form() {
  const cipher = $('cipher').value;
  const key = $('key').value.trim() === '' ? undefined : bytesOf($('key').value, 'key');
  return { cipher, key };
}

function show(bytes, isText) {
  $('text').value = isText ? new TextDecoder('utf-8', { fatal: false }).decode(bytes) : '';
  $('hex').value = hex(bytes);
  $('base64').value = base64(bytes);
  $('error').textContent = '';
}

function fail(e, f) {
  for (const id of ['text', 'hex', 'base64']) $(id).value = '';
  $('error').textContent = words(e, f?.cipher ?? $('cipher').value, f?.key ?? $('key').value.trim());
}

function run(sealing) {
  let f;
  try {
    f = form();
    if (sealing) show(sealkit.seal(f.cipher, new TextEncoder().encode($('input').value), f.key), false);
    else show(sealkit.open(f.cipher, bytesOf($('input').value, 'envelope'), f.key), true);
  } catch (e) {
    fail(e, f);
  }
}
$('open').addEventListener('click', () => run(false));
$('seal').addEventListener('click', () => run(true));

// A file through a Key's stream into a download. What comes out is kept
// in Blobs of about 16 MiB each, which the browser may keep on disk, so
// that the page holds the output once and the input not at all.
let url = null;
async function runFile(sealing) {
  const file = $('file').files[0];
  if (!file) return fail({ message: 'Pick or drop a file first.' });
  let f, key;
  $('download').hidden = true;
  if (url) URL.revokeObjectURL(url);
  try {
    f = form();
    key = new sealkit.Key(f.cipher, f.key);
    const stream = sealing ? key.sealer({ total: file.size }) : key.opener({ total: file.size });
    const blobs = [];
    let parts = [], held = 0, read = 0;
    $('progress').hidden = false;
    const counted = new TransformStream({
      transform(chunk, c) {
        read += chunk.length;
        $('progress').value = file.size ? read / file.size : 1;
        c.enqueue(chunk);
      },
    });
    await file.stream().pipeThrough(counted).pipeThrough(stream).pipeTo(new WritableStream({
      write(chunk) {
        parts.push(chunk);
        held += chunk.length;
        if (held >= 16 << 20) {
          blobs.push(new Blob(parts));
          parts = [];
          held = 0;
        }
      },
    }));
    blobs.push(new Blob(parts));
    url = URL.createObjectURL(new Blob(blobs, { type: 'application/octet-stream' }));
    const name = sealing ? `${file.name}.sk` : file.name.replace(/\.sk$/, '') || 'opened';
    Object.assign($('download'), { href: url, download: name, textContent: `Download ${name}`, hidden: false });
    $('error').textContent = '';
    $('download').click();
  } catch (e) {
    fail(e, f);
  } finally {
    key?.close();
    $('progress').hidden = true;
  }
}
$('seal-file').addEventListener('click', () => runFile(true));
$('open-file').addEventListener('click', () => runFile(false));
$('drop').addEventListener('dragover', (e) => {
  e.preventDefault();
  $('drop').classList.add('over');
});
$('drop').addEventListener('dragleave', () => $('drop').classList.remove('over'));
$('drop').addEventListener('drop', (e) => {
  e.preventDefault();
  $('drop').classList.remove('over');
  $('file').files = e.dataTransfer.files;
});
document.body.dataset.ready = 'yes';
