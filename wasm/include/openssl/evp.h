/* SPDX-License-Identifier: MIT */
/* The WebAssembly build's EVP: the few cipher-context calls sealkit.cpp
 * makes, for AES-ECB and AES-CBC without padding, on a bitsliced AES
 * (wasm/aes_bitsliced.h). This header stands first on the include path of
 * that build only; evp_lite.c implements it. Full EVP would bring
 * libcrypto's providers, configuration and error machinery into a module
 * that needs none of them. */
#ifndef SEALKIT_WASM_EVP_H
#define SEALKIT_WASM_EVP_H

#include <openssl/crypto.h>

#ifdef __cplusplus
extern "C" {
#endif

/* EVP_CIPHER, EVP_CIPHER_CTX, OSSL_LIB_CTX and OSSL_PARAM come from
 * <openssl/types.h>, by way of crypto.h; evp_lite.c defines the first two. */

/* "AES-128-ECB" ... "AES-256-CBC"; NULL for any other name. Static: never freed. */
EVP_CIPHER *EVP_CIPHER_fetch(OSSL_LIB_CTX *libctx, const char *name, const char *props);
EVP_CIPHER_CTX *EVP_CIPHER_CTX_new(void);
void EVP_CIPHER_CTX_free(EVP_CIPHER_CTX *ctx); /* wipes it */
int EVP_CIPHER_CTX_copy(EVP_CIPHER_CTX *out, const EVP_CIPHER_CTX *in);
/* Any of cipher, key and iv may be NULL: what is given is set. 1 on success. */
int EVP_CipherInit_ex2(EVP_CIPHER_CTX *ctx, const EVP_CIPHER *cipher, const unsigned char *key,
                       const unsigned char *iv, int enc, const OSSL_PARAM params[]);
int EVP_CIPHER_CTX_set_padding(EVP_CIPHER_CTX *ctx, int pad); /* only 0 is taken */
/* Whole blocks only; the CBC chain carries from one call to the next. */
int EVP_CipherUpdate(EVP_CIPHER_CTX *ctx, unsigned char *out, int *outl, const unsigned char *in,
                     int inl);

#ifdef __cplusplus
}
#endif

#endif
