// SPDX-License-Identifier: MIT
// sealkit's browser and edge entries (browser.mjs, edge.mjs): the Node.js
// API (index.d.ts) with Uint8Arrays for Buffers, TransformStreams for
// streams, no files, and always the WebAssembly back end.
import type { Bytes, Cipher, KeyMethods, StreamOptions } from './lib/types.js';

export type { Bytes, Cipher, StreamOptions };

export const ciphers: readonly Cipher[];
export const constants: Readonly<Record<string, number>>;
export const version: string;
export const backend: 'wasm';

/** As in index.d.ts: `result` is the C library's result code, `code` its name. */
export class SealkitError extends Error {
  readonly result: number;
  readonly code: string;
}

export function seal(cipher: Cipher, data: Bytes, key?: Bytes): Uint8Array;
export function open(cipher: Cipher, envelope: Bytes, key?: Bytes): Uint8Array;
/** A slice per turn of the event loop; the input is copied now up to 8 MiB. */
export function sealAsync(cipher: Cipher, data: Bytes, key?: Bytes): Promise<Uint8Array>;
export function openAsync(cipher: Cipher, envelope: Bytes, key?: Bytes): Promise<Uint8Array>;

export class SealkitStream extends TransformStream<Bytes, Uint8Array> {
  /** A sealer's pad-count byte, once it has flushed; with an unknown total it goes at offset 0. */
  readonly firstByte: number | undefined;
}

export interface Key extends KeyMethods<Uint8Array, SealkitStream> {}
export class Key {
  constructor(cipher: Cipher, key?: Bytes);
}

declare const api: {
  seal: typeof seal; open: typeof open; sealAsync: typeof sealAsync; openAsync: typeof openAsync;
  Key: typeof Key; SealkitError: typeof SealkitError; ciphers: typeof ciphers; constants: typeof constants;
  version: string; backend: 'wasm';
};
export default api;
