/* SPDX-License-Identifier: MIT */
/* AES for the WebAssembly build: ECB and CBC runs of whole blocks on the
 * 64-bit bitsliced AES of BearSSL (aes_ct64*.c, from Debian's source; see
 * scripts/wasm.sh). Bitsliced, the S-box is a boolean circuit over 64-bit
 * words: no table and no load or branch that depends on a key or data
 * byte, so its time says nothing of either, in any engine. */
#ifndef SEALKIT_WASM_AES_BITSLICED_H
#define SEALKIT_WASM_AES_BITSLICED_H

#include <stddef.h>
#include <stdint.h>

enum { kAesBlock = 16 };

/* An expanded key; the same schedule serves both directions. Holds key
 * material: wipe it before it goes. */
typedef struct {
    uint64_t skey[120];
    unsigned rounds;
} aes_bitsliced;

/* Expands a 16, 24 or 32-byte key; 0 for any other length. */
int aes_bitsliced_init(aes_bitsliced *a, const unsigned char *key, size_t key_len);

/* ECB (iv NULL) or CBC (the chain read from and left in iv) over len bytes,
 * a multiple of 16; in and out may be the same bytes. */
void aes_bitsliced_run(const aes_bitsliced *a, int enc, unsigned char *iv, const unsigned char *in,
                       unsigned char *out, size_t len);

#endif
