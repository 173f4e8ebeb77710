/* SPDX-License-Identifier: MIT */
/* include/openssl/evp.h's calls, on libcrypto's low-level AES, and the
 * allocation calls of libcrypto that sealkit.cpp makes, on the C library.
 * The cipher work is libcrypto's, or the host's for long runs (below); this
 * file only keeps each context's key, key schedule and CBC chain, and wipes
 * them when a context goes. */
#include <openssl/evp.h>
#include <stdlib.h>
#include <string.h>

enum { kEcb, kCbc };

struct evp_cipher_st {
    const char *name;
    int mode;
    int key_bits;
};

struct evp_cipher_ctx_st {
    const EVP_CIPHER *cipher;
    int enc;
    AES_KEY ks;
    unsigned char key[32]; /* for the host's AES */
    unsigned char iv[AES_BLOCK_SIZE];
};

/* The module's one import: the host's AES over a run of whole blocks, in
 * place or not, the CBC chain read from and left in iv. It returns 1 when
 * it did the run, 0 when it has none (then libcrypto's constant-time AES
 * here does it). Node.js gives node:crypto's, which runs the CPU's AES
 * instructions where it has them; browsers give none, as WebCrypto cannot
 * answer a synchronous call. It is the same cipher, so the same bytes; the
 * envelope's rules stay in sealkit.cpp, which never sees the difference. */
__attribute__((import_module("sealkit"), import_name("host_aes"))) int sealkit_host_aes(
    int cbc, int enc, const unsigned char *key, int key_len, unsigned char *iv,
    const unsigned char *in, unsigned char *out, int len);

/* Runs shorter than this stay here: a host call costs about what 1 KiB of
 * constant-time AES does. */
enum { kHostMin = 1024 };

static EVP_CIPHER kCiphers[] = {
    {"AES-128-ECB", kEcb, 128}, {"AES-192-ECB", kEcb, 192}, {"AES-256-ECB", kEcb, 256},
    {"AES-128-CBC", kCbc, 128}, {"AES-192-CBC", kCbc, 192}, {"AES-256-CBC", kCbc, 256},
};

EVP_CIPHER *EVP_CIPHER_fetch(OSSL_LIB_CTX *libctx, const char *name, const char *props) {
    (void)libctx;
    (void)props;
    for (size_t i = 0; i < sizeof kCiphers / sizeof kCiphers[0]; ++i)
        if (strcmp(kCiphers[i].name, name) == 0) return &kCiphers[i];
    return NULL;
}

EVP_CIPHER_CTX *EVP_CIPHER_CTX_new(void) {
    return calloc(1, sizeof(EVP_CIPHER_CTX));
}

void EVP_CIPHER_CTX_free(EVP_CIPHER_CTX *ctx) {
    if (ctx == NULL) return;
    OPENSSL_cleanse(ctx, sizeof *ctx);
    free(ctx);
}

int EVP_CIPHER_CTX_copy(EVP_CIPHER_CTX *out, const EVP_CIPHER_CTX *in) {
    memcpy(out, in, sizeof *out);
    return 1;
}

int EVP_CipherInit_ex2(EVP_CIPHER_CTX *ctx, const EVP_CIPHER *cipher, const unsigned char *key,
                       const unsigned char *iv, int enc, const OSSL_PARAM params[]) {
    (void)params;
    if (cipher != NULL) ctx->cipher = cipher;
    if (ctx->cipher == NULL) return 0;
    ctx->enc = enc;
    if (key != NULL) {
        memcpy(ctx->key, key, (size_t)ctx->cipher->key_bits / 8);
        /* ECB and CBC decryption run the inverse cipher. */
        const int rc = enc ? AES_set_encrypt_key(key, ctx->cipher->key_bits, &ctx->ks)
                           : AES_set_decrypt_key(key, ctx->cipher->key_bits, &ctx->ks);
        if (rc != 0) return 0;
    }
    if (iv != NULL) memcpy(ctx->iv, iv, sizeof ctx->iv);
    return 1;
}

int EVP_CIPHER_CTX_set_padding(EVP_CIPHER_CTX *ctx, int pad) {
    (void)ctx;
    return pad == 0;
}

int EVP_CipherUpdate(EVP_CIPHER_CTX *ctx, unsigned char *out, int *outl, const unsigned char *in,
                     int inl) {
    if (ctx->cipher == NULL || inl < 0 || inl % AES_BLOCK_SIZE != 0) return 0;
    *outl = inl;
    if (inl >= kHostMin && sealkit_host_aes(ctx->cipher->mode == kCbc, ctx->enc, ctx->key,
                                            ctx->cipher->key_bits / 8, ctx->iv, in, out, inl))
        return 1;
    if (ctx->cipher->mode == kCbc) {
        AES_cbc_encrypt(in, out, (size_t)inl, &ctx->ks, ctx->iv, ctx->enc);
    } else {
        for (int i = 0; i < inl; i += AES_BLOCK_SIZE)
            AES_ecb_encrypt(in + i, out + i, &ctx->ks, ctx->enc);
    }
    return 1;
}

/* libcrypto's allocation calls, as OPENSSL_zalloc, OPENSSL_free and
 * OPENSSL_clear_free expand to them. */
void *CRYPTO_zalloc(size_t num, const char *file, int line) {
    (void)file;
    (void)line;
    return calloc(1, num);
}

void CRYPTO_free(void *ptr, const char *file, int line) {
    (void)file;
    (void)line;
    free(ptr);
}

void CRYPTO_clear_free(void *ptr, size_t num, const char *file, int line) {
    (void)file;
    (void)line;
    if (ptr == NULL) return;
    OPENSSL_cleanse(ptr, num);
    free(ptr);
}
