// sealkit: cipher envelopes over libcrypto. C++ inside, C at the edge: this
// file uses no exceptions, no RTTI and nothing from the C++ runtime, so a C
// program links libsealkit.a with libcrypto alone.
#include "sealkit.h"

#include <openssl/blowfish.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <string.h>

namespace {

constexpr uint32_t kAesBlock = SEALKIT_AES_BLOCK;
constexpr uint32_t kBfBlock = SEALKIT_BF_BLOCK;
constexpr uint32_t kMinKeyLen = SEALKIT_MIN_KEY_LEN;

// EVP takes int lengths; larger buffers go through in chunks of this many
// bytes, a whole number of blocks.
constexpr uint32_t kChunk = 1u << 30;

// Seed of the built-in key. Changing it makes every envelope sealed by the
// built-in-key pair unreadable, so it is fixed for good.
constexpr unsigned char kSeed0 = 0x9d;
constexpr unsigned char kSeed1 = 0x3c;

enum Mode { kEcb = 0, kCbc = 1 };

// Zero bytes: the CBC IV, and the key every AES context is left with.
constexpr unsigned char kZero[32] = {0};

// Wipes secrets; the one helper every exit path uses.
inline void wipe(void *p, size_t n) {
    OPENSSL_cleanse(p, n);
}

// ---------------------------------------------------------------------------
// Argument checks, shared by all eight functions, in the documented order.

int check_seal(const unsigned char *key, uint32_t key_len, const unsigned char *src,
               uint32_t src_len, const unsigned char *dst, const uint32_t *len, uint32_t block,
               uint32_t *env_len) {
    // A null len is outside the contract too; refusing it costs nothing.
    if (key == nullptr || src == nullptr || dst == nullptr || len == nullptr)
        return SEALKIT_ERR_NULL;
    if (src_len == 0) return SEALKIT_ERR_EMPTY;
    // 64-bit arithmetic: near 2^32 the envelope length has no 32-bit value,
    // and then it is necessarily larger than any capacity.
    const uint64_t need = sealkit_envelope_len(src_len, block);
    if (need > *len) return SEALKIT_ERR_CAPACITY;
    if (key_len < kMinKeyLen) return SEALKIT_ERR_KEY_LEN;
    *env_len = static_cast<uint32_t>(need);
    return SEALKIT_OK;
}

int check_open(const unsigned char *key, uint32_t key_len, const unsigned char *src,
               uint32_t src_len, const unsigned char *dst, const uint32_t *len, uint32_t block,
               uint32_t *plain_len) {
    if (key == nullptr || src == nullptr || dst == nullptr || len == nullptr)
        return SEALKIT_ERR_NULL;
    if (src_len % block != 1) return SEALKIT_ERR_NOT_ENVELOPE;
    if (*len < src_len) return SEALKIT_ERR_CAPACITY;
    if (key_len < kMinKeyLen) return SEALKIT_ERR_KEY_LEN;
    // P = B means "no pad"; so does 0. A pad count larger than the blocks
    // only comes from a forged envelope and would make the length wrap.
    const uint32_t body = src_len - 1;
    const uint32_t pad = src[0] == block ? 0 : src[0];
    if (pad > body) return SEALKIT_ERR_NOT_ENVELOPE;
    *plain_len = body - pad;
    return SEALKIT_OK;
}

// ---------------------------------------------------------------------------
// AES through EVP: AES-NI where the CPU has it, unlike the low-level calls.

// Ciphers are fetched once per process: fetching by name on every call costs
// a lock and a lookup. They are immutable and hold no call state. The tables
// are constant-initialised, so no C++ guard code is involved.
EVP_CIPHER *g_aes[2][3];
pthread_key_t g_ctx_key;
bool g_ctx_key_ok = false;
pthread_once_t g_once = PTHREAD_ONCE_INIT;

// Each thread keeps one context per cipher, bound to it once. Binding a
// cipher to a context, and freeing the context, touch the cipher's shared
// reference count; two threads doing that on every call slow each other
// down. Between calls the contexts hold no secret (see aes_run).
struct ThreadCtxs {
    EVP_CIPHER_CTX *ctx[2][3];
};

// Runs when a thread that used the library ends.
void free_thread_ctxs(void *p) {
    auto *t = static_cast<ThreadCtxs *>(p);
    for (auto &row : t->ctx)
        for (EVP_CIPHER_CTX *c : row) EVP_CIPHER_CTX_free(c);
    OPENSSL_free(t);
}

void init_once() {
    static const char *const names[2][3] = {{"AES-128-ECB", "AES-192-ECB", "AES-256-ECB"},
                                            {"AES-128-CBC", "AES-192-CBC", "AES-256-CBC"}};
    for (int m = 0; m < 2; ++m)
        for (int k = 0; k < 3; ++k) g_aes[m][k] = EVP_CIPHER_fetch(nullptr, names[m][k], nullptr);
    g_ctx_key_ok = pthread_key_create(&g_ctx_key, free_thread_ctxs) == 0;
}

// This thread's slot for the mode and key length, holding a context bound to
// its cipher with padding off; nullptr when one cannot be had. Key-size rule:
// 16..23 bytes -> AES-128, 24..31 -> AES-192, 32+ -> AES-256; the cipher
// reads only the first 16, 24 or 32 key bytes.
EVP_CIPHER_CTX **thread_ctx(Mode mode, uint32_t key_len) {
    if (pthread_once(&g_once, init_once) != 0 || !g_ctx_key_ok) return nullptr;
    const int size = key_len >= 32 ? 2 : key_len >= 24 ? 1 : 0;
    const EVP_CIPHER *cipher = g_aes[mode][size];
    if (cipher == nullptr) return nullptr;

    auto *t = static_cast<ThreadCtxs *>(pthread_getspecific(g_ctx_key));
    if (t == nullptr) {
        t = static_cast<ThreadCtxs *>(OPENSSL_zalloc(sizeof *t));
        if (t == nullptr) return nullptr;
        if (pthread_setspecific(g_ctx_key, t) != 0) {
            OPENSSL_free(t);
            return nullptr;
        }
    }
    EVP_CIPHER_CTX *&ctx = t->ctx[mode][size];
    if (ctx == nullptr) {
        ctx = EVP_CIPHER_CTX_new();
        if (ctx == nullptr) return nullptr;
        // Bound with the zero IV: every later init that passes no IV starts
        // the chain again from it.
        if (EVP_CipherInit_ex2(ctx, cipher, nullptr, mode == kCbc ? kZero : nullptr, 1, nullptr) !=
                1 ||
            EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
            EVP_CIPHER_CTX_free(ctx);
            ctx = nullptr;
        }
    }
    return ctx != nullptr ? &ctx : nullptr;
}

int update(EVP_CIPHER_CTX *ctx, unsigned char *out, const unsigned char *in, uint32_t n) {
    while (n > 0) {
        const uint32_t step = n < kChunk ? n : kChunk;
        int outl = 0;
        if (EVP_CipherUpdate(ctx, out, &outl, in, static_cast<int>(step)) != 1 ||
            static_cast<uint32_t>(outl) != step)
            return -1;
        in += step;
        out += step;
        n -= step;
    }
    return 0;
}

// Runs AES (zero IV for CBC) over `n` whole-block bytes from `in` to `out`,
// then, when tail_len > 0, over one block made of the `tail_len` bytes at
// `tail` completed with zeros, written right after. Returns 0 or -4; on -4
// whatever had been written to `out` is wiped.
int aes_run(Mode mode, const unsigned char *key, uint32_t key_len, int enc, const unsigned char *in,
            uint32_t n, const unsigned char *tail, uint32_t tail_len, unsigned char *out) {
    EVP_CIPHER_CTX **slot = thread_ctx(mode, key_len);
    if (slot == nullptr) return SEALKIT_ERR_KEY_SCHEDULE;
    EVP_CIPHER_CTX *ctx = *slot;

    unsigned char last[kAesBlock] = {0};
    // A null cipher keeps the one bound to the context and only re-keys it;
    // a null IV restarts a CBC chain from the zero IV it was bound with.
    const bool keyed = EVP_CipherInit_ex2(ctx, nullptr, key, nullptr, enc, nullptr) == 1;
    int rc = keyed ? update(ctx, out, in, n) : -1;
    if (rc == 0 && tail_len > 0) {
        memcpy(last, tail, tail_len);
        rc = update(ctx, out + n, last, kAesBlock);
    }
    // EVP does not fail on whole blocks once keyed; should it ever, no
    // partial output may be left behind as if it were a result.
    if (keyed && rc != 0) wipe(out, static_cast<size_t>(n) + (tail_len > 0 ? kAesBlock : 0));
    wipe(last, sizeof last);
    // Replace the key schedule with that of the all-zero key, so that no
    // schedule of the caller's key outlives the call. Re-keying for
    // encryption is the cheapest schedule to build. What else the context
    // keeps is public: the CBC chain value is the last cipher block.
    if (EVP_CipherInit_ex2(ctx, nullptr, kZero, nullptr, 1, nullptr) != 1) {
        // Cannot re-key: drop the context (freeing wipes it); the next call
        // builds a new one.
        EVP_CIPHER_CTX_free(ctx);
        *slot = nullptr;
    }
    return rc == 0 ? SEALKIT_OK : SEALKIT_ERR_KEY_SCHEDULE;
}

int aes_seal(Mode mode, const unsigned char *key, uint32_t key_len, const unsigned char *src,
             uint32_t src_len, unsigned char *dst, uint32_t *len) {
    uint32_t env_len = 0;
    int rc = check_seal(key, key_len, src, src_len, dst, len, kAesBlock, &env_len);
    if (rc != SEALKIT_OK) return rc;
    const uint32_t tail = src_len % kAesBlock;
    const uint32_t whole = src_len - tail;
    rc = aes_run(mode, key, key_len, 1, src, whole, src + whole, tail, dst + 1);
    if (rc != SEALKIT_OK) return rc;
    dst[0] = static_cast<unsigned char>(kAesBlock - tail);
    *len = env_len;
    return SEALKIT_OK;
}

int aes_open(Mode mode, const unsigned char *key, uint32_t key_len, const unsigned char *src,
             uint32_t src_len, unsigned char *dst, uint32_t *len) {
    uint32_t plain_len = 0;
    int rc = check_open(key, key_len, src, src_len, dst, len, kAesBlock, &plain_len);
    if (rc != SEALKIT_OK) return rc;
    rc = aes_run(mode, key, key_len, 0, src + 1, src_len - 1, nullptr, 0, dst);
    if (rc != SEALKIT_OK) return rc;
    *len = plain_len;
    return SEALKIT_OK;
}

// The built-in key: two seed bytes, then key[i] = (key[i-2] * key[0]) ^ key[i-1]
// cut to 8 bits. The multiplier is always key[0].
void builtin_key(unsigned char key[32]) {
    key[0] = kSeed0;
    key[1] = kSeed1;
    for (int i = 2; i < 32; ++i)
        key[i] = static_cast<unsigned char>((key[i - 2] * key[0]) ^ key[i - 1]);
}

// ---------------------------------------------------------------------------
// Blowfish stays on the BF_* calls: in OpenSSL 3 the EVP Blowfish lives in the
// legacy provider, which a library must not load behind its caller's back.

void bf_run(const unsigned char *key, uint32_t key_len, int enc, const unsigned char *in,
            uint32_t n, unsigned char *out) {
    // BF_set_key takes an int and uses at most 72 bytes; clamping here keeps
    // a key_len above INT_MAX from turning negative.
    const int kl =
        static_cast<int>(key_len < SEALKIT_BF_MAX_KEY_LEN ? key_len : SEALKIT_BF_MAX_KEY_LEN);
    BF_KEY ks;
    unsigned char iv[kBfBlock] = {0};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    BF_set_key(&ks, kl, key);
    // Encrypting a partial last block, BF_cbc_encrypt reads only the bytes
    // that exist and completes the block with zeros: exactly the envelope.
    BF_cbc_encrypt(in, out, static_cast<long>(n), &ks, iv, enc);
#pragma GCC diagnostic pop
    wipe(&ks, sizeof ks);
    wipe(iv, sizeof iv);
}

}  // namespace

extern "C" {

int CRYPTO1_encrypt(const unsigned char *key, const uint32_t key_len, const unsigned char *src,
                    const uint32_t src_len, unsigned char *dst, uint32_t *len) {
    return aes_seal(kEcb, key, key_len, src, src_len, dst, len);
}

int CRYPTO1_decrypt(const unsigned char *key, const uint32_t key_len, const unsigned char *src,
                    const uint32_t src_len, unsigned char *dst, uint32_t *len) {
    return aes_open(kEcb, key, key_len, src, src_len, dst, len);
}

int CRYPTO2_encrypt(const unsigned char *key, const uint32_t key_len, const unsigned char *src,
                    const uint32_t src_len, unsigned char *dst, uint32_t *len) {
    return aes_seal(kCbc, key, key_len, src, src_len, dst, len);
}

int CRYPTO2_decrypt(const unsigned char *key, const uint32_t key_len, const unsigned char *src,
                    const uint32_t src_len, unsigned char *dst, uint32_t *len) {
    return aes_open(kCbc, key, key_len, src, src_len, dst, len);
}

// The key is derived before the checks run; that changes no result, as the
// built-in key is never null and never short.
int CRYPTO_encrypt_without_key(const unsigned char *src, const uint32_t src_len, unsigned char *dst,
                               uint32_t *len) {
    unsigned char key[32];
    builtin_key(key);
    const int rc = aes_seal(kCbc, key, sizeof key, src, src_len, dst, len);
    wipe(key, sizeof key);
    return rc;
}

int CRYPTO_decrypt_without_key(const unsigned char *src, const uint32_t src_len, unsigned char *dst,
                               uint32_t *len) {
    unsigned char key[32];
    builtin_key(key);
    const int rc = aes_open(kCbc, key, sizeof key, src, src_len, dst, len);
    wipe(key, sizeof key);
    return rc;
}

int CRYPTO3_encrypt(const unsigned char *key, const uint32_t key_len, const unsigned char *src,
                    const uint32_t src_len, unsigned char *dst, uint32_t *len) {
    uint32_t env_len = 0;
    const int rc = check_seal(key, key_len, src, src_len, dst, len, kBfBlock, &env_len);
    if (rc != SEALKIT_OK) return rc;
    bf_run(key, key_len, BF_ENCRYPT, src, src_len, dst + 1);
    dst[0] = static_cast<unsigned char>(kBfBlock - src_len % kBfBlock);
    *len = env_len;
    return SEALKIT_OK;
}

int CRYPTO3_decrypt(const unsigned char *key, const uint32_t key_len, const unsigned char *src,
                    const uint32_t src_len, unsigned char *dst, uint32_t *len) {
    uint32_t plain_len = 0;
    const int rc = check_open(key, key_len, src, src_len, dst, len, kBfBlock, &plain_len);
    if (rc != SEALKIT_OK) return rc;
    bf_run(key, key_len, BF_DECRYPT, src + 1, src_len - 1, dst);
    *len = plain_len;
    return SEALKIT_OK;
}

}  // extern "C"
