// SPDX-License-Identifier: MIT
// sealkit for Node.js, Deno and Bun (index.js; index.mjs as an ES module):
// Buffers out, stream.Transforms for streams, and files. lib/types.d.ts
// says what each call does.
import { Readable, Transform, Writable } from 'node:stream';
import type { Bytes, Cipher, Common, ErrorCode, KeyMethods, OneShot, StreamOptions } from './lib/types';

export type { Bytes, Cipher, ErrorCode, StreamOptions };
export { SealkitError } from './lib/types';

/** A Buffer over an ArrayBuffer of its own (Buffer<ArrayBuffer> where @types/node has the parameter),
 * so that it passes where the platform wants an ArrayBuffer's bytes: Blob, fetch, WebCrypto. */
export type Output = ReturnType<typeof Buffer.allocUnsafeSlow>;

export const ciphers: Common['ciphers'];
export const constants: Common['constants'];
export const version: Common['version'];
/** The back end in use: the native addon, or the C library built for WebAssembly
 * (SEALKIT_BACKEND=native|wasm forces one). */
export const backend: 'native' | 'wasm';

export const seal: OneShot<Output>['seal'];
export const open: OneShot<Output>['open'];
export const sealAsync: OneShot<Output>['sealAsync'];
export const openAsync: OneShot<Output>['openAsync'];

export class SealkitStream extends Transform {
  /** A sealer's pad-count byte, after 'finish'. */
  readonly firstByte: number | undefined;
}

export interface Key extends KeyMethods<Output, SealkitStream> {
  [Symbol.dispose](): void;
}
export class Key {
  constructor(cipher: Cipher, key?: Bytes);
}

/** src: a path, or a Readable of unknown length; dst: a path or a Writable. */
export function sealFile(key: Key, src: string | Readable, dst: string | Writable): Promise<void>;
export function openFile(key: Key, src: string | Readable, dst: string | Writable): Promise<void>;
