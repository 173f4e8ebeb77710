// SPDX-License-Identifier: MIT
// What the types of every entry share (index.d.ts for Node.js, Deno and
// Bun; browser.d.mts for browsers and edge workers), over their output type
// (a Buffer, or a Uint8Array) and their stream type (a stream.Transform, or
// a TransformStream). Each fact about the API is stated here once.
// An envelope is one pad-count byte, then the data completed with zero
// bytes to whole cipher blocks and encrypted. No integrity: a wrong key or
// a damaged envelope opens to garbage, with no error.

/** The command's cipher names. */
export type Cipher = 'aes-ecb' | 'aes-cbc' | 'builtin' | 'blowfish';
/** Any Buffer, TypedArray, DataView or ArrayBuffer, read in place. */
export type Bytes = ArrayBufferView | ArrayBuffer;

export interface StreamOptions {
  /** The plaintext length (sealer) or envelope length (opener); omitted: unknown. */
  total?: number;
}

/** A SealkitError's `code`: the C library's result, or ERR_SEALKIT_CLOSED for a Key or stream
 * used after close(), or ERR_SEALKIT_INTERNAL for a result the library does not list (a fault
 * of this package). Wrong argument types are TypeErrors with Node's codes instead
 * (ERR_INVALID_ARG_TYPE, ERR_INVALID_ARG_VALUE for an `out` that overlaps the input,
 * ERR_INVALID_STATE for an async call's input resized, transferred or detached while read). */
export type ErrorCode =
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

/** A failed call: `result` is the C library's result code (0 for a closed Key or stream), `code` its name. */
export declare class SealkitError extends Error {
  readonly result: number;
  readonly code: ErrorCode;
}

/** The calls that take a cipher and key each time. */
export interface OneShot<Out> {
  /** `key`: none for 'builtin', at least 16 bytes otherwise. */
  seal(cipher: Cipher, data: Bytes, key?: Bytes): Out;
  open(cipher: Cipher, envelope: Bytes, key?: Bytes): Out;
  /** As Key.sealAsync, on a Key made for the one call. */
  sealAsync(cipher: Cipher, data: Bytes, key?: Bytes): Promise<Out>;
  openAsync(cipher: Cipher, envelope: Bytes, key?: Bytes): Promise<Out>;
}

/** A Key takes one call at a time: while an async call is in flight, others fail with ERR_SEALKIT_BUSY. */
export interface KeyMethods<Out, Stream> {
  readonly cipher: Cipher;
  seal(data: Bytes): Out;
  open(envelope: Bytes): Out;
  /** The envelope's length; nothing is written when it fails. `out` must not overlap `data`. */
  sealInto(data: Bytes, out: Bytes, offset?: number): number;
  /** The plaintext's length; `out` needs envelope.length bytes of room and must not overlap it. */
  openInto(envelope: Bytes, out: Bytes, offset?: number): number;
  /** Works on a copy of `data`, taken when the call is made; over 8 MiB a slice per turn
   * of the event loop, and then a change to its size meanwhile fails the call (ERR_INVALID_STATE).
   * The native addon runs on libuv's thread pool; the WebAssembly back end a slice per turn of the event loop. */
  sealAsync(data: Bytes): Promise<Out>;
  /** Works on a copy of `envelope`, taken as for sealAsync. */
  openAsync(envelope: Bytes): Promise<Out>;
  /** A stream that seals what is written to it; without `total`, firstByte goes at offset 0 once it ended. */
  sealer(options?: StreamOptions): Stream;
  /** A stream that opens the envelope written to it. */
  opener(options?: StreamOptions): Stream;
  /** Wipes and frees the key schedule, after the async call in flight if any. */
  close(): void;
}

/** What every entry exports besides its classes. */
export interface Common {
  readonly ciphers: readonly Cipher[];
  /** The C library's constants by their C names, as zlib.constants: SEALKIT_CIPHER_*, SEALKIT_OK,
   * SEALKIT_ERR_*, SEALKIT_SEAL, SEALKIT_OPEN, SEALKIT_STREAM_EXTRA. */
  readonly constants: Readonly<Record<string, number>>;
  /** The C library's version. */
  readonly version: string;
}
