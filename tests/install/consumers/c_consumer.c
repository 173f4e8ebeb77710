/* SPDX-License-Identifier: MIT */
/* A plain C99 program against the installed header and libsealkit.a, linked
 * with libcrypto alone: no C++ runtime may be needed. */
#include <sealkit.h>
#include <stdio.h>
#include <string.h>

/* FIPS-197 Appendix C.1: one block under AES-128. */
static const unsigned char key[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                      0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
static const unsigned char plain[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                        0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
static const unsigned char envelope[17] = {0x10, 0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                           0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};

int main(void) {
    unsigned char out[64];
    unsigned char back[64];
    uint32_t len = (uint32_t)sealkit_envelope_len(sizeof plain, SEALKIT_AES_BLOCK);
    uint32_t back_len;

    if (CRYPTO1_encrypt(key, sizeof key, plain, sizeof plain, out, &len) != SEALKIT_OK ||
        len != sizeof envelope || memcmp(out, envelope, sizeof envelope) != 0) {
        fprintf(stderr, "CRYPTO1_encrypt: wrong envelope\n");
        return 1;
    }
    back_len = len;
    if (CRYPTO2_decrypt(key, sizeof key, out, len, back, &back_len) != SEALKIT_OK ||
        back_len != sizeof plain || memcmp(back, plain, sizeof plain) != 0) {
        fprintf(stderr, "CRYPTO2_decrypt: wrong plaintext\n");
        return 1;
    }
    len = sizeof out;
    back_len = sizeof back;
    if (CRYPTO_encrypt_without_key(plain, 5, out, &len) != SEALKIT_OK ||
        CRYPTO_decrypt_without_key(out, len, back, &back_len) != SEALKIT_OK || back_len != 5 ||
        memcmp(back, plain, 5) != 0) {
        fprintf(stderr, "built-in key: no round trip\n");
        return 1;
    }
    len = sizeof out;
    back_len = sizeof back;
    if (CRYPTO3_encrypt(key, sizeof key, plain, 9, out, &len) != SEALKIT_OK || len != 17 ||
        CRYPTO3_decrypt(key, sizeof key, out, len, back, &back_len) != SEALKIT_OK ||
        back_len != 9 || memcmp(back, plain, 9) != 0) {
        fprintf(stderr, "Blowfish: no round trip\n");
        return 1;
    }
    if (CRYPTO1_encrypt(NULL, 16, plain, 1, out, &len) != SEALKIT_ERR_NULL) return 1;
    puts("C consumer: ok");
    return 0;
}
