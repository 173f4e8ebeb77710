// SPDX-License-Identifier: MIT
// sealkit for Node.js. An envelope is one pad-count byte, then the data
// completed with zero bytes to whole cipher blocks and encrypted.
// No integrity: a wrong key or a damaged envelope opens to garbage, no error.
import { Readable, Transform, Writable } from 'node:stream';
import type { Bytes, Cipher, KeyMethods, StreamOptions } from './lib/types';

export type { Bytes, Cipher, StreamOptions };

export const ciphers: readonly Cipher[];
/** The C library's constants by their C names, as zlib.constants: SEALKIT_CIPHER_*, SEALKIT_OK, SEALKIT_ERR_*, SEALKIT_SEAL, SEALKIT_OPEN. */
export const constants: Readonly<Record<string, number>>;
/** The C library's version. */
export const version: string;
/** The back end in use: the native addon, or the C library built for WebAssembly
 * (SEALKIT_BACKEND=native|wasm forces one). */
export const backend: 'native' | 'wasm';

/** A failed call. `result` is the C library's result code (0 for a closed Key or stream).
 * ERR_SEALKIT_INTERNAL: a result the library does not list, a fault of this package. */
export class SealkitError extends Error {
  readonly result: number;
  readonly code:
    | 'ERR_SEALKIT_NULL'
    | 'ERR_SEALKIT_CAPACITY'
    | 'ERR_SEALKIT_KEY_LENGTH'
    | 'ERR_SEALKIT_KEY_SCHEDULE'
    | 'ERR_SEALKIT_EMPTY'
    | 'ERR_SEALKIT_NOT_ENVELOPE'
    | 'ERR_SEALKIT_CIPHER'
    | 'ERR_SEALKIT_BUSY'
    | 'ERR_SEALKIT_LENGTH'
    | 'ERR_SEALKIT_CLOSED'
    | 'ERR_SEALKIT_INTERNAL';
  /** ERR_INVALID_STATE (a TypeError): an async call's input resized, transferred or detached while it was read. */
}

/** key: none for 'builtin', at least 16 bytes otherwise. */
export function seal(cipher: Cipher, data: Bytes, key?: Bytes): Buffer;
export function open(cipher: Cipher, envelope: Bytes, key?: Bytes): Buffer;
/** On libuv's thread pool; `data` must not change until the Promise settles. */
export function sealAsync(cipher: Cipher, data: Bytes, key?: Bytes): Promise<Buffer>;
export function openAsync(cipher: Cipher, envelope: Bytes, key?: Bytes): Promise<Buffer>;

export class SealkitStream extends Transform {
  /** A sealer's pad-count byte, after 'finish'; with an unknown total it goes at offset 0. */
  readonly firstByte: number | undefined;
}

export interface Key extends KeyMethods<Buffer, SealkitStream> {
  [Symbol.dispose](): void;
}
export class Key {
  constructor(cipher: Cipher, key?: Bytes);
}

/** src: a path, or a Readable of unknown length; dst: a path or a Writable. */
export function sealFile(key: Key, src: string | Readable, dst: string | Writable): Promise<void>;
export function openFile(key: Key, src: string | Readable, dst: string | Writable): Promise<void>;
