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
 * Common rules for all eight functions:
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
    SEALKIT_ERR_NOT_ENVELOPE = -6  /* decrypt: src_len mod B != 1, or the pad
                                      count exceeds the decrypted bytes */
};

#define SEALKIT_AES_BLOCK 16u
#define SEALKIT_BF_BLOCK 8u
#define SEALKIT_MIN_KEY_LEN 16u
#define SEALKIT_BF_MAX_KEY_LEN 72u /* Blowfish ignores key bytes past this */

/* Envelope length for n plaintext bytes and block size b (16 or 8), as a
 * uint64_t so that it cannot wrap; above UINT32_MAX no envelope exists. */
SEALKIT_NODISCARD static inline uint64_t sealkit_envelope_len(uint64_t n, uint32_t b) {
    return (n + b - 1u) / b * b + 1u;
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

#ifdef __cplusplus
}
#endif

#endif /* SEALKIT_H */
