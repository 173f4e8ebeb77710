/* SPDX-License-Identifier: MIT */
/* The modes over BearSSL's bitsliced AES primitives (its inner.h): they take
 * four blocks at a time, as eight 64-bit words. ECB and CBC opening fill all
 * four; CBC sealing chains each block on the one before, so it fills one.
 * The loops follow BearSSL's own aes_ct64_cbcenc.c and aes_ct64_cbcdec.c,
 * with the expanded key kept in the context (a 64-byte call would otherwise
 * expand it again) and every scratch word wiped. */
#include "aes_bitsliced.h"

#include <string.h>

#include "inner.h"

/* libcrypto's cleanse (crypto/mem_clr.c), which the compiler cannot drop. */
void OPENSSL_cleanse(void *ptr, size_t len);

/* BearSSL's key schedule keeps the key's words in a frame of its own, which
 * in WebAssembly lies in linear memory; a frame at least as deep, cleared
 * right after, covers it. */
static __attribute__((noinline)) void clear_stack(void) {
    unsigned char deep[1024];
    OPENSSL_cleanse(deep, sizeof deep);
}

int aes_bitsliced_init(aes_bitsliced *a, const unsigned char *key, size_t key_len) {
    if (key_len != 16 && key_len != 24 && key_len != 32) return 0;
    uint64_t comp[30];
    a->rounds = br_aes_ct64_keysched(comp, key, key_len);
    clear_stack();
    br_aes_ct64_skey_expand(a->skey, a->rounds, comp);
    OPENSSL_cleanse(comp, sizeof comp);
    return 1;
}

/* `blocks` blocks (1 or 4) of w, 16 little-endian words, through the
 * cipher in place; q is the caller's scratch. WebAssembly is little-endian:
 * a block's bytes are its words. */
static void through(const aes_bitsliced *a, int enc, uint32_t w[16], int blocks, uint64_t q[8]) {
    memset(q, 0, 8 * sizeof q[0]);
    for (int i = 0; i < blocks; i++) br_aes_ct64_interleave_in(&q[i], &q[i + 4], w + (i << 2));
    br_aes_ct64_ortho(q);
    if (enc)
        br_aes_ct64_bitslice_encrypt(a->rounds, a->skey, q);
    else
        br_aes_ct64_bitslice_decrypt(a->rounds, a->skey, q);
    br_aes_ct64_ortho(q);
    for (int i = 0; i < blocks; i++) br_aes_ct64_interleave_out(w + (i << 2), q[i], q[i + 4]);
}

void aes_bitsliced_run(const aes_bitsliced *a, int enc, unsigned char *iv, const unsigned char *in,
                       unsigned char *out, size_t len) {
    uint32_t w[16] = {0}, ct[16] = {0}, chain[4] = {0};
    uint64_t q[8];
    if (iv != NULL) memcpy(chain, iv, sizeof chain);
    if (iv != NULL && enc) {
        for (size_t at = 0; at < len; at += kAesBlock) {
            memcpy(w, in + at, kAesBlock);
            for (int i = 0; i < 4; i++) w[i] ^= chain[i];
            through(a, 1, w, 1, q);
            memcpy(chain, w, sizeof chain);
            memcpy(out + at, w, kAesBlock);
        }
    } else {
        for (size_t at = 0; at < len; at += 4 * kAesBlock) {
            const size_t n = len - at < 4 * kAesBlock ? len - at : 4 * kAesBlock;
            const size_t words = n / 4;
            memcpy(w, in + at, n);
            memset(w + words, 0, sizeof w - n);
            if (iv != NULL) memcpy(ct, w, n);
            through(a, enc, w, 4, q);
            if (iv != NULL) {
                for (int i = 0; i < 4; i++) w[i] ^= chain[i];
                for (size_t i = 4; i < words; i++) w[i] ^= ct[i - 4];
                memcpy(chain, ct + words - 4, sizeof chain);
            }
            memcpy(out + at, w, n);
        }
    }
    if (iv != NULL) memcpy(iv, chain, sizeof chain);
    OPENSSL_cleanse(w, sizeof w);
    OPENSSL_cleanse(ct, sizeof ct);
    OPENSSL_cleanse(q, sizeof q);
}
