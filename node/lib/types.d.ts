// SPDX-License-Identifier: MIT
// What the types of both entries share (index.d.ts for Node.js,
// browser.d.mts for the others), over their output type: Buffer or
// Uint8Array; and their stream type: a Transform or a TransformStream.

/** The command's cipher names. */
export type Cipher = 'aes-ecb' | 'aes-cbc' | 'builtin' | 'blowfish';
/** Taken without a copy. */
export type Bytes = ArrayBufferView | ArrayBuffer;

export interface StreamOptions {
  /** The plaintext length (sealer) or envelope length (opener); omitted: unknown. */
  total?: number;
}

/** One call at a time: while an async call is in flight, others fail with ERR_SEALKIT_BUSY. */
export interface KeyMethods<Out, Stream> {
  readonly cipher: Cipher;
  seal(data: Bytes): Out;
  open(envelope: Bytes): Out;
  /** The envelope's length; nothing is written when it fails. `out` must not overlap `data`. */
  sealInto(data: Bytes, out: Bytes, offset?: number): number;
  /** The plaintext's length; `out` needs envelope.length bytes of room and must not overlap it. */
  openInto(envelope: Bytes, out: Bytes, offset?: number): number;
  /** Works on a copy of `data`, taken now (over 8 MiB, a slice per turn of the event loop). */
  sealAsync(data: Bytes): Promise<Out>;
  /** Works on a copy of `envelope`, taken as for sealAsync. */
  openAsync(envelope: Bytes): Promise<Out>;
  sealer(options?: StreamOptions): Stream;
  opener(options?: StreamOptions): Stream;
  /** Wipes and frees the key schedule, after the async call in flight if any. */
  close(): void;
}
