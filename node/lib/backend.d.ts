// SPDX-License-Identifier: MIT
// The contract between lib/api.js and a back end: the native addon
// (src/addon.cc) and the WebAssembly one (lib/wasm.js) both implement it,
// and lib/api.js uses nothing else. A back end checks again what memory
// safety needs and trusts nothing from JavaScript; lib/api.js checks
// argument types and names ciphers first, for errors that name the argument.

/** A back end's error class: lib/api.js's SealkitError. `marker` 'closed': a Key or stream used after close(). */
export type ErrorClass = new (result: number, message?: string, marker?: 'closed') => Error;

/** Any Buffer, TypedArray, DataView or ArrayBuffer. */
type Bytes = ArrayBufferView | ArrayBuffer;

export interface Backend {
  /** Called once, before any other call: the class every failure is made with. */
  init(errorClass: ErrorClass): void;
  /** One-shot calls of cipher `id` into `out` (sized by lib/api.js); the length written. */
  seal(id: number, data: Bytes, key: Bytes | undefined, out: Bytes): number;
  open(id: number, envelope: Bytes, key: Bytes | undefined, out: Bytes): number;
  readonly version: string;
  /** The library's cipher table (sealkit_cipher_at). */
  readonly ciphers: readonly { name: string; id: number; block: number; keyed: boolean }[];
  /** The library's result table (sealkit_result_at): `name` as 'key_length'. */
  readonly results: readonly { code: number; name: string }[];
  /** The C names: SEALKIT_CIPHER_*, SEALKIT_OK, SEALKIT_ERR_*, SEALKIT_SEAL, SEALKIT_OPEN, SEALKIT_STREAM_EXTRA. */
  readonly constants: Record<string, number>;
  strerror(result: number): string;
  NativeKey: new (id: number, key: Bytes | undefined) => NativeKey;
  /** The class of what NativeKey.stream returns. */
  NativeStream: Function;
}

/** A key object (sealkit_key), one call at a time: ERR_SEALKIT_BUSY while an async call runs. */
export interface NativeKey {
  sealInto(data: Bytes, out: Bytes, offset?: number): number;
  openInto(envelope: Bytes, out: Bytes, offset?: number): number;
  /** `owned`: the input is a private copy the back end may take and wipe as it is. */
  sealAsync(data: Bytes, owned?: boolean): Promise<Uint8Array>;
  openAsync(envelope: Bytes, owned?: boolean): Promise<Uint8Array>;
  /** total: undefined for unknown. */
  stream(direction: number, total: number | undefined): NativeStream;
  /** Wipes and frees the schedule, after the async call in flight if any. */
  close(): void;
}

/** A stream (sealkit_stream): update returns what it wrote, at most chunk.length + SEALKIT_STREAM_EXTRA bytes. */
export interface NativeStream {
  update(chunk: Bytes): Uint8Array;
  /** The WebAssembly back end's only, for the browser entry's streams: update(), with a long chunk's AES on WebCrypto where it serves. ERR_SEALKIT_BUSY until it settles; close() waits for it. */
  updateAsync?(chunk: Bytes): Promise<Uint8Array>;
  final(): Uint8Array;
  firstByte(): number;
  close(): void;
}
