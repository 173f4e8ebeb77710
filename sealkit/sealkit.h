/* SPDX-License-Identifier: MIT */
/* sealkit: seal a byte buffer into a compact cipher envelope and open it again.
 *
 * Envelope layout (B = block size: 16 for AES, 8 for Blowfish):
 *
 *   offset 0   1 byte    pad count P: zero bytes appended to complete the last
 *                        block; P = B (never 0) when src_len is a multiple of B
 *   offset 1   n*B bytes the plaintext plus (P mod B) zero bytes, encrypted
 *
 * The envelope length is ceil(src_len / B) * B + 1, always 1 mod B. There is
 * no IV, no integrity value and no length beyond P: see the README's security
 * notes before using it for anything that matters.
 *
 * Two ways to seal, producing the same envelopes byte for byte:
 *   - the eight one-shot functions (CRYPTO*_), which take the key on every
 *     call and keep nothing;
 *   - key objects (sealkit_key_new), which build the key schedule once for
 *     many calls, and streams (sealkit_stream_new), which seal or open an
 *     envelope in chunks of any size, in constant memory.
 *
 * Common rules for all eight one-shot functions:
 *   - key:  the caller's key, key_len bytes, must not be NULL.
 *   - src:  src_len readable bytes, must not be NULL (even when src_len is 0).
 *   - dst:  *len writable bytes, must not be NULL, must not overlap src.
 *   - len:  In: the capacity of dst. Out, on success only: the number of
 *           meaningful bytes in dst. NULL gives SEALKIT_ERR_NULL.
 *   - Arguments are checked in a fixed order (null pointer, src_len, capacity,
 *     key_len, key schedule) and the first failure is returned. On any
 *     non-zero result nothing has been written to dst and *len is unchanged.
 *   - A wrong key or a damaged envelope is not detected: decryption returns 0
 *     with meaningless bytes. Only a pad count larger than the decrypted
 *     bytes, which no encryptor writes, is refused (SEALKIT_ERR_NOT_ENVELOPE).
 *   - Functions may be called from any number of threads at once. Nothing
 *     carries from one call to the next. Key schedules, IVs and scratch
 *     blocks are wiped before every return.
 *   - Memory: Blowfish allocates nothing. For AES each thread keeps one
 *     libcrypto cipher context per AES cipher, made on the thread's first
 *     call (a failure to allocate it is SEALKIT_ERR_KEY_SCHEDULE), re-keyed
 *     with the all-zero key before each call returns, and freed when the
 *     thread ends.
 *
 * Capacity needed in dst:
 *   encrypt: sealkit_envelope_len(src_len, B) bytes (a plaintext whose
 *            envelope does not fit in 32 bits gets SEALKIT_ERR_CAPACITY);
 *   decrypt: src_len bytes (one more than the src_len - 1 bytes written).
 */
#ifndef SEALKIT_H
#define SEALKIT_H

/* C99 or later, or C++: the header uses <stdint.h> and an inline function. */
#if !defined(__cplusplus) && (!defined(__STDC_VERSION__) || __STDC_VERSION__ < 199901L)
#error "sealkit.h needs C99 or later"
#endif

#include <stdint.h>

/* Ignoring a result means reading garbage on failure: compilers that can
 * warn about it do. (No nonnull attribute: NULL is a defined input here.) */
#if defined(__GNUC__) || defined(__clang__)
#define SEALKIT_NODISCARD __attribute__((warn_unused_result))
#else
#define SEALKIT_NODISCARD
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. The values are part of the interface. */
enum {
    SEALKIT_OK = 0,
    SEALKIT_ERR_NULL = -1,         /* key, src, dst or len is NULL */
    SEALKIT_ERR_CAPACITY = -2,     /* *len is smaller than the output needs */
    SEALKIT_ERR_KEY_LEN = -3,      /* key_len < SEALKIT_MIN_KEY_LEN */
    SEALKIT_ERR_KEY_SCHEDULE = -4, /* libcrypto failed to set up the cipher */
    SEALKIT_ERR_EMPTY = -5,        /* encrypt: src_len is 0 */
    SEALKIT_ERR_NOT_ENVELOPE = -6, /* decrypt: src_len mod B != 1, or the pad
                                      count exceeds the decrypted bytes */
    SEALKIT_ERR_CIPHER = -7,       /* unknown cipher or direction, or a key
                                      given for SEALKIT_CIPHER_BUILTIN */
    SEALKIT_ERR_BUSY = -8,         /* the key object or stream is in use by
                                      another call */
    SEALKIT_ERR_LENGTH = -9        /* a stream got more input than its total,
                                      or was finished before all of it */
};

#define SEALKIT_VERSION_MAJOR 1
#define SEALKIT_VERSION_MINOR 4
#define SEALKIT_VERSION_PATCH 0

#define SEALKIT_AES_BLOCK 16u
#define SEALKIT_BF_BLOCK 8u
#define SEALKIT_MIN_KEY_LEN 16u
#define SEALKIT_BF_MAX_KEY_LEN 72u /* Blowfish ignores key bytes past this */

/* Envelope length for n plaintext bytes and block size b (16 or 8), as a
 * uint64_t so that it cannot wrap; above UINT32_MAX no envelope exists. */
SEALKIT_NODISCARD static inline uint64_t sealkit_envelope_len(uint64_t n, uint32_t b) {
    return (n + b - 1u) / b * b + 1u;
}

/* The plaintext length in *plain_len of an envelope of env_len bytes whose
 * first (pad-count) byte is `first`, for block size b (16 or 8): env_len - 1
 * less the pad count, where a pad count of b or 0 means none and any other
 * is taken as it is. SEALKIT_OK, or SEALKIT_ERR_NOT_ENVELOPE with *plain_len
 * unchanged when env_len is no envelope length (0, not 1 mod b, or above
 * UINT32_MAX) or the pad count exceeds the env_len - 1 bytes of blocks.
 * plain_len must not be NULL. */
SEALKIT_NODISCARD static inline int sealkit_plaintext_len(uint64_t env_len, unsigned char first,
                                                          uint32_t b, uint64_t *plain_len) {
    const uint64_t pad = first == b ? 0u : first;
    if (env_len > UINT32_MAX || env_len % b != 1u || pad > env_len - 1u)
        return SEALKIT_ERR_NOT_ENVELOPE;
    *plain_len = env_len - 1u - pad;
    return SEALKIT_OK;
}

/* AES-ECB under the caller's key. key_len 16..23 selects AES-128 from the
 * first 16 bytes, 24..31 AES-192 from the first 24, 32 or more AES-256 from
 * the first 32; later bytes are ignored. Equal plaintext blocks give equal
 * cipher blocks.
 * Results: SEALKIT_OK, _ERR_NULL, _ERR_CAPACITY, _ERR_KEY_LEN,
 * _ERR_KEY_SCHEDULE, and _ERR_EMPTY (encrypt) or _ERR_NOT_ENVELOPE (decrypt). */
SEALKIT_NODISCARD int CRYPTO1_encrypt(const unsigned char *key, const uint32_t key_len,
                                      const unsigned char *src, const uint32_t src_len,
                                      unsigned char *dst, uint32_t *len);
SEALKIT_NODISCARD int CRYPTO1_decrypt(const unsigned char *key, const uint32_t key_len,
                                      const unsigned char *src, const uint32_t src_len,
                                      unsigned char *dst, uint32_t *len);

/* AES-CBC with an all-zero IV under the caller's key; key sizes as for
 * CRYPTO1. Equal plaintexts under equal keys give equal envelopes.
 * Results: as CRYPTO1. */
SEALKIT_NODISCARD int CRYPTO2_encrypt(const unsigned char *key, const uint32_t key_len,
                                      const unsigned char *src, const uint32_t src_len,
                                      unsigned char *dst, uint32_t *len);
SEALKIT_NODISCARD int CRYPTO2_decrypt(const unsigned char *key, const uint32_t key_len,
                                      const unsigned char *src, const uint32_t src_len,
                                      unsigned char *dst, uint32_t *len);

/* Blowfish-CBC with an all-zero IV, B = 8. All key_len bytes (at most the
 * first 72) feed the Blowfish key schedule; key_len must be at least 16.
 * Results: as CRYPTO1, except SEALKIT_ERR_KEY_SCHEDULE, which never occurs. */
SEALKIT_NODISCARD int CRYPTO3_encrypt(const unsigned char *key, const uint32_t key_len,
                                      const unsigned char *src, const uint32_t src_len,
                                      unsigned char *dst, uint32_t *len);
SEALKIT_NODISCARD int CRYPTO3_decrypt(const unsigned char *key, const uint32_t key_len,
                                      const unsigned char *src, const uint32_t src_len,
                                      unsigned char *dst, uint32_t *len);

/* AES-256-CBC with an all-zero IV under a key built into the library (derived
 * from a compiled-in seed on every call). Every program built with the same
 * seed shares this key: it hides data from casual view, it keeps no secret.
 * Results: as CRYPTO1, except SEALKIT_ERR_KEY_LEN, which never occurs (there
 * is no key argument; only src, dst and len are checked for NULL). */
SEALKIT_NODISCARD int CRYPTO_encrypt_without_key(const unsigned char *src, const uint32_t src_len,
                                                 unsigned char *dst, uint32_t *len);
SEALKIT_NODISCARD int CRYPTO_decrypt_without_key(const unsigned char *src, const uint32_t src_len,
                                                 unsigned char *dst, uint32_t *len);

/* ---- Key objects -------------------------------------------------------
 *
 * A key object holds the key schedule of one cipher and key, built once.
 * sealkit_seal and sealkit_open with it give exactly the envelopes and
 * plaintexts of the matching one-shot pair, with the same contract (check
 * order, capacities, nothing written and *len unchanged on failure), less
 * the key checks. They allocate nothing: a key object's memory (for AES two
 * libcrypto contexts, one per direction) is allocated by sealkit_key_new and
 * wiped and freed by sealkit_key_free.
 *
 * A key object is used by one thread at a time, like a FILE *: make one per
 * thread. A call that finds it in use by another call returns
 * SEALKIT_ERR_BUSY and writes nothing; output is never corrupted.
 */
typedef enum {
    SEALKIT_CIPHER_AES_ECB = 1, /* as CRYPTO1_* */
    SEALKIT_CIPHER_AES_CBC = 2, /* as CRYPTO2_* */
    SEALKIT_CIPHER_BUILTIN = 3, /* as CRYPTO_*_without_key: key must be NULL, key_len 0 */
    SEALKIT_CIPHER_BLOWFISH = 4 /* as CRYPTO3_* */
} sealkit_cipher;

typedef struct sealkit_key sealkit_key;

/* Makes a key object for `cipher` in *out; key and key_len as for the
 * cipher's one-shot pair (copied: the caller's buffer may be wiped at once).
 * Checks in this order: out NULL (SEALKIT_ERR_NULL); the cipher value, or a
 * key given to SEALKIT_CIPHER_BUILTIN (_ERR_CIPHER); a NULL key for a keyed
 * cipher (_ERR_NULL); key_len (_ERR_KEY_LEN); allocation or libcrypto set-up
 * (_ERR_KEY_SCHEDULE). On failure *out is untouched. */
SEALKIT_NODISCARD int sealkit_key_new(sealkit_key **out, sealkit_cipher cipher,
                                      const unsigned char *key, uint32_t key_len);

/* Wipes and frees a key object; NULL is fine. No call may be using it, and
 * streams made from it stay valid. */
void sealkit_key_free(sealkit_key *key);

/* As the one-shot encrypt and decrypt of the key's cipher. key NULL joins
 * the NULL check; the key object being in use gives SEALKIT_ERR_BUSY after
 * the argument checks. */
SEALKIT_NODISCARD int sealkit_seal(sealkit_key *key, const unsigned char *src, uint32_t src_len,
                                   unsigned char *dst, uint32_t *len);
SEALKIT_NODISCARD int sealkit_open(sealkit_key *key, const unsigned char *src, uint32_t src_len,
                                   unsigned char *dst, uint32_t *len);

/* ---- Streams -------------------------------------------------------------
 *
 * A stream seals a plaintext, or opens an envelope, that arrives in chunks.
 * Concatenating every output of update and final gives exactly the one-shot
 * result: the whole envelope, or the plaintext without its pad.
 *
 * The total length is best announced up front: the pad count comes first in
 * the envelope. When it cannot be (a pipe), SEALKIT_TOTAL_UNKNOWN works in
 * both directions:
 *   - sealing writes SEALKIT_PLACEHOLDER where the pad-count byte goes; after
 *     a successful final, sealkit_stream_first_byte gives the real byte, and
 *     the caller must write it at offset 0 of the envelope. Until then the
 *     envelope is wrong: no sealer writes that pad count, it opens to a
 *     truncated plaintext, and one shorter than 256 bytes does not open;
 *   - opening takes the pad count from the first byte and holds back the
 *     blocks that may hold pad bytes (the last one, or more for a pad count
 *     above B) until final, which checks the envelope's length and pad count.
 * Either way at most the largest 32-bit envelope goes through, so that the
 * one-shot functions can open every sealed result.
 *
 * A stream has its own copy of the cipher state: the key object may be used,
 * or freed, and other streams made, while it lives. One thread at a time,
 * as for key objects: update, final and first_byte on a stream that another
 * call is using return SEALKIT_ERR_BUSY and touch nothing (the stream goes
 * on). sealkit_stream_free must wait for every other call to return.
 */
typedef struct sealkit_stream sealkit_stream;
typedef enum { SEALKIT_SEAL = 1, SEALKIT_OPEN = 2 } sealkit_direction;

#define SEALKIT_TOTAL_UNKNOWN UINT32_MAX /* no valid total in either direction */
#define SEALKIT_PLACEHOLDER 0xFFu        /* pad-count byte of an unfinished envelope */
/* The most a stream call writes beyond its input: update writes at most
 * in_len + SEALKIT_STREAM_EXTRA bytes, final at most SEALKIT_STREAM_EXTRA. */
#define SEALKIT_STREAM_EXTRA 16u

/* Makes a stream in *out. total: the plaintext length when sealing, the
 * envelope length when opening, or SEALKIT_TOTAL_UNKNOWN. Checks in this
 * order: out or key NULL (SEALKIT_ERR_NULL); the direction (_ERR_CIPHER);
 * sealing: total 0 (_ERR_EMPTY) or no 32-bit envelope for it
 * (_ERR_CAPACITY); opening: total mod B != 1 (_ERR_NOT_ENVELOPE); the key in
 * use (_ERR_BUSY); allocation (_ERR_KEY_SCHEDULE). On failure *out is
 * untouched. */
SEALKIT_NODISCARD int sealkit_stream_new(sealkit_stream **out, sealkit_key *key,
                                         sealkit_direction direction, uint32_t total);

/* Feeds in_len bytes (any number, 0 included) and writes what is ready to
 * out: *out_len is the capacity in, the bytes written out. At most
 * in_len + SEALKIT_STREAM_EXTRA bytes are written, so that capacity always
 * suffices. Sealing
 * writes the pad-count byte (or the placeholder) first and keeps a partial
 * last block for final; opening reads the pad count from the first byte
 * (with a known total a forged one gives SEALKIT_ERR_NOT_ENVELOPE at once)
 * and keeps the last block for final.
 * in may be NULL only when in_len is 0, out only when *out_len is 0.
 * Results: SEALKIT_OK; _ERR_NULL; _ERR_CAPACITY and _ERR_BUSY (nothing taken,
 * the stream goes on); and, which end the stream, _ERR_LENGTH (more than the total, or
 * with an unknown total more than the largest envelope allows),
 * _ERR_NOT_ENVELOPE and _ERR_KEY_SCHEDULE. A stream that has ended gives
 * SEALKIT_ERR_LENGTH from then on. */
SEALKIT_NODISCARD int sealkit_stream_update(sealkit_stream *s, const unsigned char *in,
                                            uint32_t in_len, unsigned char *out, uint32_t *out_len);

/* Finishes the stream: writes the last block (sealing) or the end of the
 * plaintext without the pad (opening), at most SEALKIT_STREAM_EXTRA bytes. Failures that end
 * the stream: SEALKIT_ERR_LENGTH when not all of a known total arrived; with
 * an unknown total, _ERR_EMPTY when nothing was sealed, and
 * _ERR_NOT_ENVELOPE when what was opened is no envelope (its length not
 * 1 mod B, or its pad count larger than its blocks). _ERR_CAPACITY leaves it
 * as it was. After SEALKIT_OK the stream is finished: free it. */
SEALKIT_NODISCARD int sealkit_stream_final(sealkit_stream *s, unsigned char *out,
                                           uint32_t *out_len);

/* The pad-count byte of the envelope a sealing stream wrote, in *first, once
 * its final succeeded: for a total announced up front the byte it already
 * wrote; for SEALKIT_TOTAL_UNKNOWN the one to write over the placeholder.
 * Results: SEALKIT_OK; _ERR_NULL (s or first NULL); _ERR_CIPHER (an opening
 * stream); _ERR_LENGTH (final has not succeeded). *first is set on success
 * only. */
SEALKIT_NODISCARD int sealkit_stream_first_byte(const sealkit_stream *s, unsigned char *first);

/* Wipes and frees a stream, finished or not; NULL is fine. */
void sealkit_stream_free(sealkit_stream *s);

/* ---- What the library offers --------------------------------------------
 *
 * The ciphers and result codes as data, so that tools and bindings list and
 * name them without typing them again. Records are static and never NULL
 * while the index is in range; read them through the pointer only (later
 * versions may add fields at their end). The order is fixed: ciphers by
 * their sealkit_cipher value, results from SEALKIT_OK down.
 */
typedef struct {
    const char *name;     /* "aes-cbc": what the command and bindings call it */
    const char *constant; /* "SEALKIT_CIPHER_AES_CBC" */
    const char *family;   /* "AES": ciphers of one family share B and the key rule */
    const char *summary;  /* one line for help texts */
    sealkit_cipher id;
    uint32_t block;       /* B */
    uint32_t min_key_len; /* 0: the built-in key, and no key is taken */
    uint32_t max_key_len; /* key bytes read at most; later ones are ignored */
    uint32_t key_step;    /* of key_len bytes the cipher uses the largest
                             min_key_len + k * key_step, up to max_key_len */
    uint32_t keygen_len;  /* the length a new key should have; 0 as min_key_len */
} sealkit_cipher_info;

typedef struct {
    int code;             /* SEALKIT_OK or a SEALKIT_ERR_* value */
    const char *constant; /* "SEALKIT_ERR_KEY_LEN" */
    const char *name;     /* "key_length": words for bindings' error names */
    const char *text;     /* as sealkit_strerror(code) */
} sealkit_result_info;

/* The cipher at index 0, 1, ...; NULL past the last. */
SEALKIT_NODISCARD const sealkit_cipher_info *sealkit_cipher_at(uint32_t index);

/* The result code at index 0, 1, ...; NULL past the last. */
SEALKIT_NODISCARD const sealkit_result_info *sealkit_result_at(uint32_t index);

/* The one-shot function of `cipher` in `direction`, chosen by value: the
 * same bytes, results and contract as calling it (CRYPTO1_* for
 * SEALKIT_CIPHER_AES_ECB, and so on), after one check that comes first: an
 * unknown cipher or direction, or a key or key_len given to
 * SEALKIT_CIPHER_BUILTIN, is SEALKIT_ERR_CIPHER with nothing written. */
SEALKIT_NODISCARD int sealkit_crypt(sealkit_cipher cipher, sealkit_direction direction,
                                    const unsigned char *key, uint32_t key_len,
                                    const unsigned char *src, uint32_t src_len, unsigned char *dst,
                                    uint32_t *len);

/* ---- Misc ------------------------------------------------------------- */

/* A short English phrase for a result code; "unknown result" for any other
 * int. Never NULL; the string is static. */
SEALKIT_NODISCARD const char *sealkit_strerror(int result);

/* The library's version, "MAJOR.MINOR.PATCH", as built. */
SEALKIT_NODISCARD const char *sealkit_version(void);

#ifdef __cplusplus
}
#endif

#endif /* SEALKIT_H */
