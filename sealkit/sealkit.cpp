// sealkit: cipher envelopes over libcrypto. C++ inside, C at the edge: this
// file uses no exceptions, no RTTI and nothing from the C++ runtime, so a C
// program links libsealkit.a with libcrypto alone. The contract is in sealkit.h.
#include "sealkit.h"

#include <openssl/blowfish.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <string.h>

namespace {

// Wipes a whole object or array, so its size is never written twice.
template <typename T>
void wipe(T &obj) {
    OPENSSL_cleanse(&obj, sizeof obj);
}

// EVP takes int lengths; larger buffers go through in chunks of this many
// bytes, a whole number of blocks.
constexpr uint32_t kChunk = 1u << 30;

// Seed of the built-in key. Changing it makes every envelope sealed by the
// built-in-key pair unreadable, so it is fixed for good.
constexpr unsigned char kSeed0 = 0x9d;
constexpr unsigned char kSeed1 = 0x3c;

// Zero bytes: the CBC IV, and the key every per-thread AES context is left with.
constexpr unsigned char kZero[32] = {0};

enum Family { kAesEcb, kAesCbc, kBuiltin, kBlowfish };
enum Mode { kEcb = 0, kCbc = 1 };

struct Traits {
    uint32_t block;
    bool takes_key;  // false: the built-in key
    bool aes;
    Mode mode;
};

constexpr Traits traits(Family f) {
    switch (f) {
        case kAesEcb:
            return {SEALKIT_AES_BLOCK, true, true, kEcb};
        case kAesCbc:
            return {SEALKIT_AES_BLOCK, true, true, kCbc};
        case kBuiltin:
            return {SEALKIT_AES_BLOCK, false, true, kCbc};
        case kBlowfish:
            break;
    }
    return {SEALKIT_BF_BLOCK, true, false, kCbc};
}

// ---------------------------------------------------------------------------
// Argument checks, in the order sealkit.h documents. With a caller's key the
// key pointer joins the null check and its length is checked after capacity.

int check_seal(Traits t, const unsigned char *key, uint32_t key_len, const unsigned char *src,
               uint32_t src_len, const unsigned char *dst, const uint32_t *len, uint32_t *env_len) {
    if ((t.takes_key && key == nullptr) || src == nullptr || dst == nullptr || len == nullptr)
        return SEALKIT_ERR_NULL;
    if (src_len == 0) return SEALKIT_ERR_EMPTY;
    // 64-bit arithmetic: near 2^32 the envelope length has no 32-bit value,
    // and then it is necessarily larger than any capacity.
    const uint64_t need = sealkit_envelope_len(src_len, t.block);
    if (need > *len) return SEALKIT_ERR_CAPACITY;
    if (t.takes_key && key_len < SEALKIT_MIN_KEY_LEN) return SEALKIT_ERR_KEY_LEN;
    *env_len = static_cast<uint32_t>(need);
    return SEALKIT_OK;
}

// The plaintext length an envelope of src_len bytes with this first byte
// carries, or -1 when its pad count is larger than its blocks.
int64_t plain_len(uint32_t block, uint32_t src_len, unsigned char pad_byte) {
    // P = B means "no pad"; so does 0. A pad count larger than the blocks
    // only comes from a forged envelope and would make the length wrap.
    const uint32_t body = src_len - 1;
    const uint32_t pad = pad_byte == block ? 0 : pad_byte;
    return pad > body ? -1 : static_cast<int64_t>(body - pad);
}

int check_open(Traits t, const unsigned char *key, uint32_t key_len, const unsigned char *src,
               uint32_t src_len, const unsigned char *dst, const uint32_t *len, uint32_t *out_len) {
    if ((t.takes_key && key == nullptr) || src == nullptr || dst == nullptr || len == nullptr)
        return SEALKIT_ERR_NULL;
    if (src_len % t.block != 1) return SEALKIT_ERR_NOT_ENVELOPE;
    if (*len < src_len) return SEALKIT_ERR_CAPACITY;
    if (t.takes_key && key_len < SEALKIT_MIN_KEY_LEN) return SEALKIT_ERR_KEY_LEN;
    const int64_t n = plain_len(t.block, src_len, src[0]);
    if (n < 0) return SEALKIT_ERR_NOT_ENVELOPE;
    *out_len = static_cast<uint32_t>(n);
    return SEALKIT_OK;
}

// ---------------------------------------------------------------------------
// The cipher over whole blocks, with the chain carried from one run to the
// next within a message: AES through an EVP context (AES-NI where the CPU has
// it), Blowfish through the BF_* calls (in OpenSSL 3 the EVP Blowfish lives in
// the legacy provider, which a library must not load behind its caller's back).

struct Engine {
    EVP_CIPHER_CTX *ctx = nullptr;  // AES, keyed, chain at the zero IV
    const BF_KEY *bf = nullptr;     // or Blowfish
    int enc = 1;
    unsigned char iv[SEALKIT_BF_BLOCK] = {0};  // the Blowfish chain

    Engine() = default;
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;
    ~Engine() { wipe(iv); }

    bool run(const unsigned char *in, uint32_t n, unsigned char *out) {
        if (bf != nullptr) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            BF_cbc_encrypt(in, out, static_cast<long>(n), bf, iv, enc);
#pragma GCC diagnostic pop
            return true;
        }
        for (; n > 0;) {
            const uint32_t step = n < kChunk ? n : kChunk;
            int outl = 0;
            if (EVP_CipherUpdate(ctx, out, &outl, in, static_cast<int>(step)) != 1 ||
                static_cast<uint32_t>(outl) != step)
                return false;
            in += step;
            out += step;
            n -= step;
        }
        return true;
    }
};

// Seals src_len bytes into whole blocks at `out`: the whole blocks straight
// from src, then the zero-completed tail. On failure whatever was written is
// wiped, so no partial output looks like a result.
int seal_blocks(Engine &e, uint32_t block, const unsigned char *src, uint32_t src_len,
                unsigned char *out) {
    const uint32_t tail = src_len % block;
    const uint32_t whole = src_len - tail;
    unsigned char last[SEALKIT_AES_BLOCK] = {0};
    bool ok = e.run(src, whole, out);
    if (ok && tail > 0) {
        memcpy(last, src + whole, tail);
        ok = e.run(last, block, out + whole);
    }
    wipe(last);
    if (!ok) OPENSSL_cleanse(out, static_cast<size_t>(whole) + (tail > 0 ? block : 0));
    return ok ? SEALKIT_OK : SEALKIT_ERR_KEY_SCHEDULE;
}

int open_blocks(Engine &e, const unsigned char *in, uint32_t n, unsigned char *out) {
    if (e.run(in, n, out)) return SEALKIT_OK;
    OPENSSL_cleanse(out, n);
    return SEALKIT_ERR_KEY_SCHEDULE;
}

// ---------------------------------------------------------------------------
// Per-thread AES contexts for the one-shot calls.

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
// down. Between calls the contexts hold no secret (see ThreadCtx).
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

// AES key-size rule: 16..23 bytes -> AES-128, 24..31 -> AES-192, 32+ ->
// AES-256; the cipher reads only the first 16, 24 or 32 key bytes.
int aes_size(uint32_t key_len) {
    return key_len >= 32 ? 2 : key_len >= 24 ? 1 : 0;
}

// This thread's context for the mode and key size, bound to its cipher with
// padding off, keyed with the caller's key for one call. The destructor
// re-keys it with the all-zero key, so that no schedule of a caller's key
// outlives the call; what else the context keeps is public (the CBC chain is
// the last cipher block). Re-keying for encryption is the cheapest schedule.
class ThreadCtx {
  public:
    ThreadCtx() = default;
    ThreadCtx(const ThreadCtx &) = delete;
    ThreadCtx &operator=(const ThreadCtx &) = delete;
    ~ThreadCtx() {
        if (slot_ == nullptr || *slot_ == nullptr) return;
        if (EVP_CipherInit_ex2(*slot_, nullptr, kZero, iv_, 1, nullptr) != 1) {
            // Cannot re-key: drop the context (freeing wipes it); the next
            // call builds a new one.
            EVP_CIPHER_CTX_free(*slot_);
            *slot_ = nullptr;
        }
    }

    // The keyed context, or null when libcrypto cannot provide one.
    EVP_CIPHER_CTX *key(Mode mode, const unsigned char *key, uint32_t key_len, int enc) {
        if (pthread_once(&g_once, init_once) != 0 || !g_ctx_key_ok) return nullptr;
        const int size = aes_size(key_len);
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
        slot_ = &t->ctx[mode][size];
        if (*slot_ == nullptr) {
            EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
            if (c == nullptr) return nullptr;
            if (EVP_CipherInit_ex2(c, cipher, nullptr, nullptr, 1, nullptr) != 1 ||
                EVP_CIPHER_CTX_set_padding(c, 0) != 1) {
                EVP_CIPHER_CTX_free(c);
                return nullptr;
            }
            *slot_ = c;
        }
        // A null cipher keeps the one bound to the context and re-keys it.
        // The zero IV is passed every time: a provider need not restart the
        // chain by itself.
        iv_ = mode == kCbc ? kZero : nullptr;
        return EVP_CipherInit_ex2(*slot_, nullptr, key, iv_, enc, nullptr) == 1 ? *slot_ : nullptr;
    }

  private:
    EVP_CIPHER_CTX **slot_ = nullptr;
    const unsigned char *iv_ = nullptr;
};

// The built-in key: two seed bytes, then key[i] = (key[i-2] * key[0]) ^ key[i-1]
// cut to 8 bits. The multiplier is always key[0].
void builtin_key(unsigned char (&key)[32]) {
    key[0] = kSeed0;
    key[1] = kSeed1;
    for (int i = 2; i < 32; ++i)
        key[i] = static_cast<unsigned char>((key[i - 2] * key[0]) ^ key[i - 1]);
}

// The key schedule of one one-shot call, in an engine. Everything it holds
// is wiped, or re-keyed to zero, when it goes out of scope.
class CallSchedule {
  public:
    CallSchedule(Family f, const unsigned char *key, uint32_t key_len, int enc) {
        engine_.enc = enc;
        if (f == kBlowfish) {
            // BF_set_key takes an int and uses at most 72 bytes; clamping here
            // keeps a key_len above INT_MAX from turning negative.
            const uint32_t n = key_len < SEALKIT_BF_MAX_KEY_LEN ? key_len : SEALKIT_BF_MAX_KEY_LEN;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            BF_set_key(&bf_, static_cast<int>(n), key);
#pragma GCC diagnostic pop
            engine_.bf = &bf_;
            return;
        }
        if (f == kBuiltin) {
            builtin_key(builtin_);
            key = builtin_;
            key_len = sizeof builtin_;
        }
        engine_.ctx = aes_.key(traits(f).mode, key, key_len, enc);
    }
    CallSchedule(const CallSchedule &) = delete;
    CallSchedule &operator=(const CallSchedule &) = delete;
    ~CallSchedule() {
        wipe(bf_);
        wipe(builtin_);
    }

    // Null when libcrypto could not set up the cipher.
    Engine *engine() {
        return engine_.bf != nullptr || engine_.ctx != nullptr ? &engine_ : nullptr;
    }

  private:
    BF_KEY bf_{};
    unsigned char builtin_[32] = {0};
    ThreadCtx aes_;
    Engine engine_;
};

// ---------------------------------------------------------------------------
// The one seal path and the one open path of the one-shot functions.

int seal(Family f, const unsigned char *key, uint32_t key_len, const unsigned char *src,
         uint32_t src_len, unsigned char *dst, uint32_t *len) {
    const Traits t = traits(f);
    uint32_t env_len = 0;
    int rc = check_seal(t, key, key_len, src, src_len, dst, len, &env_len);
    if (rc != SEALKIT_OK) return rc;
    CallSchedule s(f, key, key_len, 1);
    if (s.engine() == nullptr) return SEALKIT_ERR_KEY_SCHEDULE;
    rc = seal_blocks(*s.engine(), t.block, src, src_len, dst + 1);
    if (rc != SEALKIT_OK) return rc;
    dst[0] = static_cast<unsigned char>(t.block - src_len % t.block);
    *len = env_len;
    return SEALKIT_OK;
}

int open(Family f, const unsigned char *key, uint32_t key_len, const unsigned char *src,
         uint32_t src_len, unsigned char *dst, uint32_t *len) {
    const Traits t = traits(f);
    uint32_t out_len = 0;
    int rc = check_open(t, key, key_len, src, src_len, dst, len, &out_len);
    if (rc != SEALKIT_OK) return rc;
    CallSchedule s(f, key, key_len, 0);
    if (s.engine() == nullptr) return SEALKIT_ERR_KEY_SCHEDULE;
    rc = open_blocks(*s.engine(), src + 1, src_len - 1, dst);
    if (rc != SEALKIT_OK) return rc;
    *len = out_len;
    return SEALKIT_OK;
}

}  // namespace

extern "C" {

int CRYPTO1_encrypt(const unsigned char *key, const uint32_t key_len, const unsigned char *src,
                    const uint32_t src_len, unsigned char *dst, uint32_t *len) {
    return seal(kAesEcb, key, key_len, src, src_len, dst, len);
}

int CRYPTO1_decrypt(const unsigned char *key, const uint32_t key_len, const unsigned char *src,
                    const uint32_t src_len, unsigned char *dst, uint32_t *len) {
    return open(kAesEcb, key, key_len, src, src_len, dst, len);
}

int CRYPTO2_encrypt(const unsigned char *key, const uint32_t key_len, const unsigned char *src,
                    const uint32_t src_len, unsigned char *dst, uint32_t *len) {
    return seal(kAesCbc, key, key_len, src, src_len, dst, len);
}

int CRYPTO2_decrypt(const unsigned char *key, const uint32_t key_len, const unsigned char *src,
                    const uint32_t src_len, unsigned char *dst, uint32_t *len) {
    return open(kAesCbc, key, key_len, src, src_len, dst, len);
}

int CRYPTO_encrypt_without_key(const unsigned char *src, const uint32_t src_len, unsigned char *dst,
                               uint32_t *len) {
    return seal(kBuiltin, nullptr, 0, src, src_len, dst, len);
}

int CRYPTO_decrypt_without_key(const unsigned char *src, const uint32_t src_len, unsigned char *dst,
                               uint32_t *len) {
    return open(kBuiltin, nullptr, 0, src, src_len, dst, len);
}

int CRYPTO3_encrypt(const unsigned char *key, const uint32_t key_len, const unsigned char *src,
                    const uint32_t src_len, unsigned char *dst, uint32_t *len) {
    return seal(kBlowfish, key, key_len, src, src_len, dst, len);
}

int CRYPTO3_decrypt(const unsigned char *key, const uint32_t key_len, const unsigned char *src,
                    const uint32_t src_len, unsigned char *dst, uint32_t *len) {
    return open(kBlowfish, key, key_len, src, src_len, dst, len);
}

}  // extern "C"
