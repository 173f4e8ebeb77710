// SPDX-License-Identifier: MIT
// sealkit's browser and edge entries (browser.mjs, edge.mjs): the API of
// lib/types.d.ts with Uint8Arrays out, TransformStreams for streams, no
// files, and always the WebAssembly back end.
import type { Bytes, Cipher, Common, ErrorCode, KeyMethods, OneShot, StreamOptions } from './lib/types.js';

export type { Bytes, Cipher, ErrorCode, StreamOptions };
export { SealkitError } from './lib/types.js';

/** A Uint8Array over an ArrayBuffer of its own (Uint8Array<ArrayBuffer> from TypeScript 5.7 on), so
 * that it passes where the platform wants an ArrayBuffer's bytes: Blob, fetch, WebCrypto. */
export type Output = ReturnType<Uint8Array['slice']>;

export const ciphers: Common['ciphers'];
export const constants: Common['constants'];
export const version: Common['version'];
export const backend: 'wasm';

export const seal: OneShot<Output>['seal'];
export const open: OneShot<Output>['open'];
export const sealAsync: OneShot<Output>['sealAsync'];
export const openAsync: OneShot<Output>['openAsync'];

export class SealkitStream extends TransformStream<Bytes, Output> {
  /** A sealer's pad-count byte, once it has flushed. */
  readonly firstByte: number | undefined;
}

export interface Key extends KeyMethods<Output, SealkitStream> {}
export class Key {
  constructor(cipher: Cipher, key?: Bytes);
}

declare const api: Common & OneShot<Output> & {
  Key: typeof Key; SealkitError: typeof import('./lib/types.js').SealkitError; backend: 'wasm';
};
export default api;
