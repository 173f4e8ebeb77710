/* SPDX-License-Identifier: MIT */
/* seal_demo: seals a sample text with each of the four cipher pairs, prints
 * the envelope in hex, opens it again and checks that the text came back. */
#include <sealkit.h>
#include <stdio.h>
#include <string.h>

typedef int (*seal_fn)(const unsigned char *, uint32_t, const unsigned char *, uint32_t,
                       unsigned char *, uint32_t *);

/* The built-in-key pair takes no key; these adapters give it the shape of the others. */
static int builtin_seal(const unsigned char *key, uint32_t key_len, const unsigned char *src,
                        uint32_t src_len, unsigned char *dst, uint32_t *len) {
    (void)key;
    (void)key_len;
    return CRYPTO_encrypt_without_key(src, src_len, dst, len);
}

static int builtin_open(const unsigned char *key, uint32_t key_len, const unsigned char *src,
                        uint32_t src_len, unsigned char *dst, uint32_t *len) {
    (void)key;
    (void)key_len;
    return CRYPTO_decrypt_without_key(src, src_len, dst, len);
}

struct pair {
    const char *name;
    seal_fn seal;
    seal_fn open;
    uint32_t block;
};

static void print_hex(const unsigned char *p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) printf("%02x", p[i]);
    printf("\n");
}

int main(void) {
    static const struct pair pairs[] = {
        {"AES-ECB (CRYPTO1)", CRYPTO1_encrypt, CRYPTO1_decrypt, SEALKIT_AES_BLOCK},
        {"AES-CBC (CRYPTO2)", CRYPTO2_encrypt, CRYPTO2_decrypt, SEALKIT_AES_BLOCK},
        {"AES-256-CBC, built-in key", builtin_seal, builtin_open, SEALKIT_AES_BLOCK},
        {"Blowfish-CBC (CRYPTO3)", CRYPTO3_encrypt, CRYPTO3_decrypt, SEALKIT_BF_BLOCK},
    };
    /* A 16-byte key: AES-128 for the AES pairs, a 128-bit key for Blowfish.
     * The literal's NUL is not part of the key. */
    static const unsigned char key_text[] = "demo key 16 byte";
    const unsigned char *key = key_text;
    const uint32_t key_len = sizeof key_text - 1;
    const char *text = "Sealed with sealkit: one pad byte, then whole blocks.";
    const uint32_t text_len = (uint32_t)strlen(text);
    int failed = 0;

    printf("plaintext (%u bytes): %s\n\n", (unsigned)text_len, text);
    for (size_t i = 0; i < sizeof pairs / sizeof pairs[0]; ++i) {
        unsigned char envelope[128];
        unsigned char opened[128];

        /* 1. Size the output: the envelope length of the text, here within the buffer. */
        uint32_t env_len = (uint32_t)sealkit_envelope_len(text_len, pairs[i].block);

        /* 2. Seal: env_len goes in as the capacity and comes back as the length written. */
        int rc =
            pairs[i].seal(key, key_len, (const unsigned char *)text, text_len, envelope, &env_len);
        if (rc != SEALKIT_OK) {
            printf("%s: seal failed with %d\n", pairs[i].name, rc);
            failed = 1;
            continue;
        }
        printf("%s, %u-byte envelope, pad count %u:\n  ", pairs[i].name, (unsigned)env_len,
               (unsigned)envelope[0]);
        print_hex(envelope, env_len);

        /* 3. Open: the output needs as many bytes as the envelope has. */
        uint32_t plain_len = env_len;
        rc = pairs[i].open(key, key_len, envelope, env_len, opened, &plain_len);

        /* 4. Check that exactly the text came back. */
        if (rc != SEALKIT_OK || plain_len != text_len || memcmp(opened, text, text_len) != 0) {
            printf("  open failed (%d)\n", rc);
            failed = 1;
            continue;
        }
        printf("  opened: %.*s\n\n", (int)plain_len, (const char *)opened);
    }
    return failed;
}
