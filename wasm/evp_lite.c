/* SPDX-License-Identifier: MIT */
/* include/openssl/evp.h's calls, on the bitsliced AES (aes_bitsliced.c),
 * and the allocation calls of libcrypto that sealkit.cpp makes, on the C
 * library. The cipher work is the bitsliced AES's, or the host's for long
 * runs (below); this file only keeps each context's key, key schedule and
 * CBC chain, and wipes them when a context goes. */
#include <openssl/evp.h>
#include <stdlib.h>
#include <string.h>

#include "aes_bitsliced.h"

enum { kEcb, kCbc };

struct evp_cipher_st {
    const char *name;
    int mode;
    int key_bits;
};

struct evp_cipher_ctx_st {
    const EVP_CIPHER *cipher;
    int enc;
    aes_bitsliced aes;
    unsigned char key[32]; /* for the host's AES */
    unsigned char iv[kAesBlock];
};

/* The module's one import: the host's AES over a run of whole blocks, in
 * place or not, the CBC chain read from and left in iv. It returns
 *   kHostNo    when it has none: the bitsliced AES here does the run;
 *   kHostDone  when it did the run (Node.js: node:crypto's, which runs the
 *              CPU's AES instructions where it has them);
 *   kHostLater when it took a copy of the run and key to do later (a
 *              browser's WebCrypto, which only answers asynchronously): it
 *              writes out, and when sealing with CBC the chain into iv,
 *              before its next call into the module. Only the host's async
 *              route does that, around the stream calls, which read nothing
 *              a run wrote (lib/wasm_async.js).
 * It is the same cipher, so the same bytes; the envelope's rules stay in
 * sealkit.cpp, which never sees the difference. */
enum { kHostNo = 0, kHostDone = 1, kHostLater = 2 };
__attribute__((import_module("sealkit"), import_name("host_aes"))) int sealkit_host_aes(
    int cbc, int enc, const unsigned char *key, int key_len, unsigned char *iv,
    const unsigned char *in, unsigned char *out, int len);

/* Runs shorter than this stay here: a host call costs about what 1 KiB of
 * bitsliced AES does. */
enum { kHostMin = 1024 };

/* Set while a CBC sealing run the host took for later has not given back
 * its chain: a further CBC sealing run would chain on a stale block, so it
 * fails instead. The host clears it once it wrote the chain. */
static int g_chain_owed;

__attribute__((export_name("sealkit_host_settled"))) void sealkit_host_settled(void) {
    g_chain_owed = 0;
}

/* The module's own AES over one run, for a host whose later route failed
 * after it took the run (WebCrypto refusing a key or a call): 1 when done. */
__attribute__((export_name("sealkit_aes_run"))) int sealkit_aes_run(int cbc, int enc,
                                                                    const unsigned char *key,
                                                                    int key_len, unsigned char *iv,
                                                                    const unsigned char *in,
                                                                    unsigned char *out, int len) {
    aes_bitsliced a;
    if (len < 0 || len % kAesBlock != 0 || !aes_bitsliced_init(&a, key, (size_t)key_len)) return 0;
    aes_bitsliced_run(&a, enc, cbc ? iv : NULL, in, out, (size_t)len);
    OPENSSL_cleanse(&a, sizeof a);
    return 1;
}

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
        if (!aes_bitsliced_init(&ctx->aes, key, (size_t)ctx->cipher->key_bits / 8)) return 0;
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
    if (ctx->cipher == NULL || inl < 0 || inl % kAesBlock != 0) return 0;
    const int cbc = ctx->cipher->mode == kCbc;
    if (cbc && ctx->enc && g_chain_owed) return 0;
    *outl = inl;
    if (inl >= kHostMin) {
        const int host = sealkit_host_aes(cbc, ctx->enc, ctx->key, ctx->cipher->key_bits / 8,
                                          ctx->iv, in, out, inl);
        if (host == kHostDone) return 1;
        if (host == kHostLater) {
            /* Opening, the chain is the run's last cipher block, here now. */
            if (cbc && ctx->enc) g_chain_owed = 1;
            if (cbc && !ctx->enc) memcpy(ctx->iv, in + inl - kAesBlock, kAesBlock);
            return 1;
        }
    }
    aes_bitsliced_run(&ctx->aes, ctx->enc, cbc ? ctx->iv : NULL, in, out, (size_t)inl);
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
