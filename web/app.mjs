// SPDX-License-Identifier: MIT
// The page's logic: the package's browser entry, loaded from beside the
// page (the server puts the package at ./sealkit/), and the form.
import * as sealkit from './sealkit/browser.mjs';

const $ = (id) => document.getElementById(id);
for (const name of sealkit.ciphers) $('cipher').add(new Option(name, name));
$('cipher').value = 'aes-cbc';

const hex = (b) => Array.from(b, (x) => x.toString(16).padStart(2, '0')).join('');
const base64 = (b) => btoa(String.fromCharCode(...b));

// Hex when it is only hex digits (and of even length), else base64.
function bytesOf(text, what) {
  const t = text.replace(/\s+/g, '');
  if (/^([0-9a-f]{2})*$/i.test(t)) return Uint8Array.from(t.match(/../g) ?? [], (h) => parseInt(h, 16));
  try {
    return Uint8Array.from(atob(t), (c) => c.charCodeAt(0));
  } catch {
    throw new Error(`the ${what} is neither hex nor base64`);
  }
}

// The library's words for an error, with what to do where it helps.
function words(e) {
  switch (e.code) {
    case 'ERR_SEALKIT_KEY_LENGTH': return 'The key is too short: it needs 16 bytes or more.';
    case 'ERR_SEALKIT_NOT_ENVELOPE': return 'This is not an envelope of this cipher (wrong length or pad count).';
    case 'ERR_SEALKIT_CIPHER': return e.message.includes('own key') ? 'The builtin cipher takes no key: clear the key.' : e.message;
    case 'ERR_INVALID_ARG_TYPE': return 'This cipher needs a key.';
    default: return e.message;
  }
}

function show(bytes, isText) {
  $('text').value = isText ? new TextDecoder('utf-8', { fatal: false }).decode(bytes) : '';
  $('hex').value = hex(bytes);
  $('base64').value = base64(bytes);
  $('error').textContent = '';
}

function run(sealing) {
  try {
    const cipher = $('cipher').value;
    const key = $('key').value.trim() === '' ? undefined : bytesOf($('key').value, 'key');
    if (sealing) {
      show(sealkit.seal(cipher, new TextEncoder().encode($('input').value), key), false);
    } else {
      show(sealkit.open(cipher, bytesOf($('input').value, 'envelope'), key), true);
    }
  } catch (e) {
    for (const id of ['text', 'hex', 'base64']) $(id).value = '';
    $('error').textContent = words(e);
  }
}
$('open').addEventListener('click', () => run(false));
$('seal').addEventListener('click', () => run(true));
document.body.dataset.ready = 'yes';
