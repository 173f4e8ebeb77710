// SPDX-License-Identifier: MIT
// sealkit: cipher envelopes over libcrypto. C++ inside, C at the edge: this
// file uses no exceptions, no RTTI and nothing from the C++ runtime, so a C
// program links libsealkit.a with libcrypto alone. The contract is in sealkit.h.
#include "sealkit.h"

#include <openssl/blowfish.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <string.h>

#include <new>  // placement new only

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

// A cipher's id; "family" is the table's word for AES or Blowfish.
using CipherId = sealkit_cipher;
constexpr CipherId kAesEcb = SEALKIT_CIPHER_AES_ECB;
constexpr CipherId kAesCbc = SEALKIT_CIPHER_AES_CBC;
constexpr CipherId kBuiltin = SEALKIT_CIPHER_BUILTIN;
constexpr CipherId kBlowfish = SEALKIT_CIPHER_BLOWFISH;
enum Mode { kEcb = 0, kCbc = 1 };

// libcrypto's `enc` flag for a direction; also the index of a key object's
// context for it.
constexpr int evp_enc(sealkit_direction d) {
    return d == SEALKIT_SEAL ? 1 : 0;
}

// The AES key rule: of key_len bytes AES reads the first 16, 24 or 32, the
// largest that fits (AES-128, -192 or -256). The table carries it for the
// bindings; aes_size() reads it from there.
constexpr uint32_t kAesKeyMin = SEALKIT_MIN_KEY_LEN;
constexpr uint32_t kAesKeyMax = 32;
constexpr uint32_t kAesKeyStep = 8;
constexpr int kAesSizes = (kAesKeyMax - kAesKeyMin) / kAesKeyStep + 1;  // 128, 192, 256

// Every cipher, in sealkit_cipher order (value i + 1 at index i); exported
// by sealkit_cipher_at, and the source of each cipher's block size and key
// rule here.
constexpr sealkit_cipher_info kCiphers[] = {
    {"aes-ecb", "SEALKIT_CIPHER_AES_ECB", "AES", "AES-ECB, 16-byte blocks; key 16/24/32+ bytes",
     kAesEcb, SEALKIT_AES_BLOCK, kAesKeyMin, kAesKeyMax, kAesKeyStep, kAesKeyMax},
    {"aes-cbc", "SEALKIT_CIPHER_AES_CBC", "AES", "AES-CBC, 16-byte blocks; key as aes-ecb", kAesCbc,
     SEALKIT_AES_BLOCK, kAesKeyMin, kAesKeyMax, kAesKeyStep, kAesKeyMax},
    {"builtin", "SEALKIT_CIPHER_BUILTIN", "AES", "AES-256-CBC under the library's own key",
     kBuiltin, SEALKIT_AES_BLOCK, 0, 0, 0, 0},
    {"blowfish", "SEALKIT_CIPHER_BLOWFISH", "Blowfish",
     "Blowfish-CBC, 8-byte blocks; key 16..72 bytes", kBlowfish, SEALKIT_BF_BLOCK,
     SEALKIT_MIN_KEY_LEN, SEALKIT_BF_MAX_KEY_LEN, 1, 16},
};
constexpr uint32_t kCipherCount = sizeof kCiphers / sizeof kCiphers[0];

constexpr bool known(CipherId f) {
    return f >= 1 && static_cast<uint32_t>(f) <= kCipherCount;
}

struct Traits {
    uint32_t block;
    bool takes_key;  // false: the built-in key
    Mode mode;
};

constexpr Traits traits(CipherId f) {
    const sealkit_cipher_info &c = kCiphers[f - 1];
    return {c.block, c.min_key_len > 0, f == kAesEcb ? kEcb : kCbc};
}

// Every result code, from SEALKIT_OK down (value -i at index i); exported by
// sealkit_result_at, and the texts of sealkit_strerror.
constexpr sealkit_result_info kResults[] = {
    {SEALKIT_OK, "SEALKIT_OK", "ok", "success"},
    {SEALKIT_ERR_NULL, "SEALKIT_ERR_NULL", "null", "a required pointer is NULL"},
    {SEALKIT_ERR_CAPACITY, "SEALKIT_ERR_CAPACITY", "capacity", "output buffer too small"},
    {SEALKIT_ERR_KEY_LEN, "SEALKIT_ERR_KEY_LEN", "key_length", "key shorter than 16 bytes"},
    {SEALKIT_ERR_KEY_SCHEDULE, "SEALKIT_ERR_KEY_SCHEDULE", "key_schedule", "cipher set-up failed"},
    {SEALKIT_ERR_EMPTY, "SEALKIT_ERR_EMPTY", "empty", "empty plaintext"},
    {SEALKIT_ERR_NOT_ENVELOPE, "SEALKIT_ERR_NOT_ENVELOPE", "not_envelope", "not an envelope"},
    {SEALKIT_ERR_CIPHER, "SEALKIT_ERR_CIPHER", "cipher", "unknown cipher or direction"},
    {SEALKIT_ERR_BUSY, "SEALKIT_ERR_BUSY", "busy", "key object or stream in use by another call"},
    {SEALKIT_ERR_LENGTH, "SEALKIT_ERR_LENGTH", "length", "stream length does not match its total"},
};
constexpr uint32_t kResultCount = sizeof kResults / sizeof kResults[0];

// The tables are indexed by value: a row out of place is a build error.
constexpr bool in_order() {
    for (uint32_t i = 0; i < kCipherCount; ++i)
        if (static_cast<uint32_t>(kCiphers[i].id) != i + 1) return false;
    for (uint32_t i = 0; i < kResultCount; ++i)
        if (kResults[i].code != -static_cast<int>(i)) return false;
    return true;
}
static_assert(in_order(), "kCiphers and kResults are indexed by value");

// ---------------------------------------------------------------------------
// Argument checks, in the order sealkit.h documents. `key` joins the null
// check when there is one (a caller's key, or a key object); a caller's key
// also has its length checked, after the capacity.

enum KeyArg { kNoKey, kCallerKey, kKeyObject };

constexpr KeyArg key_arg(Traits t) {
    return t.takes_key ? kCallerKey : kNoKey;
}

// The arguments of one seal or open call, as the caller gave them.
struct CallArgs {
    uint32_t block;
    KeyArg key_kind;
    const void *key;
    uint32_t key_len;
    const unsigned char *src;
    uint32_t src_len;
    const unsigned char *dst;
    const uint32_t *len;

    bool any_null() const {
        return (key_kind != kNoKey && key == nullptr) || src == nullptr || dst == nullptr ||
               len == nullptr;
    }
    bool key_too_short() const { return key_kind == kCallerKey && key_len < SEALKIT_MIN_KEY_LEN; }
};

// Sets *env_len to the envelope length once every check passed.
int check_seal(const CallArgs &a, uint32_t *env_len) {
    if (a.any_null()) return SEALKIT_ERR_NULL;
    if (a.src_len == 0) return SEALKIT_ERR_EMPTY;
    // 64-bit arithmetic: near 2^32 the envelope length has no 32-bit value,
    // and then it is necessarily larger than any capacity.
    const uint64_t need = sealkit_envelope_len(a.src_len, a.block);
    if (need > *a.len) return SEALKIT_ERR_CAPACITY;
    if (a.key_too_short()) return SEALKIT_ERR_KEY_LEN;
    *env_len = static_cast<uint32_t>(need);
    return SEALKIT_OK;
}

// Sets *out_len to the plaintext length once every check passed. A pad count
// larger than the blocks only comes from a forged envelope and would make
// the length wrap: it is refused before anything is written.
int check_open(const CallArgs &a, uint32_t *out_len) {
    if (a.any_null()) return SEALKIT_ERR_NULL;
    if (a.src_len % a.block != 1) return SEALKIT_ERR_NOT_ENVELOPE;
    if (*a.len < a.src_len) return SEALKIT_ERR_CAPACITY;
    if (a.key_too_short()) return SEALKIT_ERR_KEY_LEN;
    uint64_t n = 0;
    if (sealkit_plaintext_len(a.src_len, a.src[0], a.block, &n) != SEALKIT_OK)
        return SEALKIT_ERR_NOT_ENVELOPE;
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
    sealkit_direction dir = SEALKIT_SEAL;
    unsigned char iv[SEALKIT_BF_BLOCK] = {0};  // the Blowfish chain
    // AES-CBC of a key object: the context's chain is still the previous
    // call's last cipher block (public), not the zero IV. Folding it into
    // the first block (the plaintext when sealing, the output when opening)
    // cancels it, which costs less than re-initialising the context.
    const unsigned char *fold = nullptr;

    Engine() = default;
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;
    ~Engine() { wipe(iv); }

    // Runs the cipher over n whole-block bytes, folding the chain into the
    // first block if one is pending.
    bool run(const unsigned char *in, uint32_t n, unsigned char *out) {
        if (fold == nullptr || n < SEALKIT_AES_BLOCK) return update(in, n, out);
        const unsigned char *chain = fold;
        fold = nullptr;
        if (dir == SEALKIT_OPEN) {
            if (!update(in, n, out)) return false;
            for (size_t i = 0; i < SEALKIT_AES_BLOCK; ++i) out[i] ^= chain[i];
            return true;
        }
        unsigned char first[SEALKIT_AES_BLOCK];
        for (size_t i = 0; i < SEALKIT_AES_BLOCK; ++i)
            first[i] = static_cast<unsigned char>(in[i] ^ chain[i]);
        const bool ok = update(first, SEALKIT_AES_BLOCK, out);
        wipe(first);
        return ok && update(in + SEALKIT_AES_BLOCK, n - SEALKIT_AES_BLOCK, out + SEALKIT_AES_BLOCK);
    }

    // Runs the cipher over n whole-block bytes, chaining on.
    bool update(const unsigned char *in, uint32_t n, unsigned char *out) {
        if (bf != nullptr) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            BF_cbc_encrypt(in, out, static_cast<long>(n), bf, iv, evp_enc(dir));
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

// The work of every seal once its arguments passed: the whole blocks straight
// from src, then the zero-completed tail, behind the pad-count byte; then the
// length. On failure whatever was written is wiped, so no partial output
// looks like a result, and *len stays.
int seal_envelope(Engine &e, uint32_t block, const unsigned char *src, uint32_t src_len,
                  unsigned char *dst, uint32_t env_len, uint32_t *len) {
    unsigned char *out = dst + 1;
    const uint32_t tail = src_len % block;
    const uint32_t whole = src_len - tail;
    unsigned char last[SEALKIT_AES_BLOCK] = {0};
    bool ok = e.run(src, whole, out);
    if (ok && tail > 0) {
        memcpy(last, src + whole, tail);
        ok = e.run(last, block, out + whole);
    }
    wipe(last);
    if (!ok) {
        OPENSSL_cleanse(out, static_cast<size_t>(whole) + (tail > 0 ? block : 0));
        return SEALKIT_ERR_KEY_SCHEDULE;
    }
    dst[0] = static_cast<unsigned char>(block - tail);
    *len = env_len;
    return SEALKIT_OK;
}

// The work of every open once its arguments passed: all blocks after the
// pad-count byte into dst, then the plaintext's length.
int open_envelope(Engine &e, const unsigned char *src, uint32_t src_len, unsigned char *dst,
                  uint32_t out_len, uint32_t *len) {
    if (!e.run(src + 1, src_len - 1, dst)) {
        OPENSSL_cleanse(dst, src_len - 1);
        return SEALKIT_ERR_KEY_SCHEDULE;
    }
    *len = out_len;
    return SEALKIT_OK;
}

// ---------------------------------------------------------------------------
// Per-thread AES contexts for the one-shot calls.

// Ciphers are fetched once per process: fetching by name on every call costs
// a lock and a lookup. They are immutable and hold no call state. The tables
// are constant-initialised, so no C++ guard code is involved.
EVP_CIPHER *g_aes[2][kAesSizes];
pthread_key_t g_ctx_key;
bool g_ctx_key_ok = false;
pthread_once_t g_once = PTHREAD_ONCE_INIT;

// Each thread keeps one context per cipher, bound to it once. Binding a
// cipher to a context, and freeing the context, touch the cipher's shared
// reference count; two threads doing that on every call slow each other
// down. Between calls the contexts hold no secret (see ThreadCtx).
struct ThreadCtxs {
    EVP_CIPHER_CTX *ctx[2][kAesSizes];
};

// Runs when a thread that used the library ends.
void free_thread_ctxs(void *p) {
    auto *t = static_cast<ThreadCtxs *>(p);
    for (auto &row : t->ctx)
        for (EVP_CIPHER_CTX *c : row) EVP_CIPHER_CTX_free(c);
    OPENSSL_free(t);
}

void init_once() {
    static const char *const names[2][kAesSizes] = {{"AES-128-ECB", "AES-192-ECB", "AES-256-ECB"},
                                                    {"AES-128-CBC", "AES-192-CBC", "AES-256-CBC"}};
    for (int m = 0; m < 2; ++m)
        for (int k = 0; k < kAesSizes; ++k)
            g_aes[m][k] = EVP_CIPHER_fetch(nullptr, names[m][k], nullptr);
    g_ctx_key_ok = pthread_key_create(&g_ctx_key, free_thread_ctxs) == 0;
}

// The AES key size that key_len bytes select, by the table's key rule: 0
// for AES-128, 1 for AES-192, 2 for AES-256. key_len is at least the minimum.
int aes_size(uint32_t key_len) {
    const sealkit_cipher_info &aes = kCiphers[kAesEcb - 1];
    const uint32_t used = key_len < aes.max_key_len ? key_len : aes.max_key_len;
    return static_cast<int>((used - aes.min_key_len) / aes.key_step);
}

// The process-wide AES cipher for a mode and key length; null if libcrypto
// has none.
const EVP_CIPHER *aes_cipher(Mode mode, uint32_t key_len) {
    if (pthread_once(&g_once, init_once) != 0) return nullptr;
    return g_aes[mode][aes_size(key_len)];
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
        // No IV here: the next call sets its own, and a chain holds no secret.
        if (EVP_CipherInit_ex2(*slot_, nullptr, kZero, nullptr, 1, nullptr) != 1) {
            // Cannot re-key: drop the context (freeing wipes it); the next
            // call builds a new one.
            EVP_CIPHER_CTX_free(*slot_);
            *slot_ = nullptr;
        }
    }

    // The keyed context, or null when libcrypto cannot provide one.
    EVP_CIPHER_CTX *key(Mode mode, const unsigned char *key, uint32_t key_len,
                        sealkit_direction dir) {
        const EVP_CIPHER *cipher = aes_cipher(mode, key_len);
        if (cipher == nullptr || !g_ctx_key_ok) return nullptr;
        const int size = aes_size(key_len);
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
        const unsigned char *iv = mode == kCbc ? kZero : nullptr;
        return EVP_CipherInit_ex2(*slot_, nullptr, key, iv, evp_enc(dir), nullptr) == 1 ? *slot_
                                                                                        : nullptr;
    }

  private:
    EVP_CIPHER_CTX **slot_ = nullptr;
};

// The built-in key: two seed bytes, then key[i] = (key[i-2] * key[0]) ^ key[i-1]
// cut to 8 bits. The multiplier is always key[0].
void builtin_key(unsigned char (&key)[32]) {
    key[0] = kSeed0;
    key[1] = kSeed1;
    for (int i = 2; i < 32; ++i)
        key[i] = static_cast<unsigned char>((key[i - 2] * key[0]) ^ key[i - 1]);
}

void bf_schedule(BF_KEY &ks, const unsigned char *key, uint32_t key_len) {
    // BF_set_key takes an int and uses at most 72 bytes; clamping here keeps
    // a key_len above INT_MAX from turning negative.
    const uint32_t n = key_len < SEALKIT_BF_MAX_KEY_LEN ? key_len : SEALKIT_BF_MAX_KEY_LEN;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    BF_set_key(&ks, static_cast<int>(n), key);
#pragma GCC diagnostic pop
}

// The key schedule of one one-shot call, in an engine. Everything it holds
// is wiped, or re-keyed to zero, when it goes out of scope.
class CallSchedule {
  public:
    CallSchedule(CipherId f, const unsigned char *key, uint32_t key_len, sealkit_direction dir) {
        engine_.dir = dir;
        if (f == kBlowfish) {
            bf_schedule(bf_, key, key_len);
            engine_.bf = &bf_;
            return;
        }
        if (f == kBuiltin) {
            builtin_key(builtin_);
            key = builtin_;
            key_len = sizeof builtin_;
        }
        engine_.ctx = aes_.key(traits(f).mode, key, key_len, dir);
    }
    CallSchedule(const CallSchedule &) = delete;
    CallSchedule &operator=(const CallSchedule &) = delete;
    ~CallSchedule() {
        // Only what was used: the 4 KiB Blowfish schedule would cost an AES
        // call more than its cipher work.
        if (engine_.bf != nullptr) wipe(bf_);
        if (builtin_[0] != 0) wipe(builtin_);
    }

    // Null when libcrypto could not set up the cipher.
    Engine *engine() {
        return engine_.bf != nullptr || engine_.ctx != nullptr ? &engine_ : nullptr;
    }

  private:
    BF_KEY bf_;  // set by bf_schedule for Blowfish, else unused
    unsigned char builtin_[32] = {0};
    ThreadCtx aes_;
    Engine engine_;
};

// ---------------------------------------------------------------------------
// The one seal path and the one open path of the one-shot functions.

int seal(CipherId f, const unsigned char *key, uint32_t key_len, const unsigned char *src,
         uint32_t src_len, unsigned char *dst, uint32_t *len) {
    const Traits t = traits(f);
    uint32_t env_len = 0;
    const int rc =
        check_seal({t.block, key_arg(t), key, key_len, src, src_len, dst, len}, &env_len);
    if (rc != SEALKIT_OK) return rc;
    CallSchedule s(f, key, key_len, SEALKIT_SEAL);
    if (s.engine() == nullptr) return SEALKIT_ERR_KEY_SCHEDULE;
    return seal_envelope(*s.engine(), t.block, src, src_len, dst, env_len, len);
}

int open(CipherId f, const unsigned char *key, uint32_t key_len, const unsigned char *src,
         uint32_t src_len, unsigned char *dst, uint32_t *len) {
    const Traits t = traits(f);
    uint32_t out_len = 0;
    const int rc =
        check_open({t.block, key_arg(t), key, key_len, src, src_len, dst, len}, &out_len);
    if (rc != SEALKIT_OK) return rc;
    CallSchedule s(f, key, key_len, SEALKIT_OPEN);
    if (s.engine() == nullptr) return SEALKIT_ERR_KEY_SCHEDULE;
    return open_envelope(*s.engine(), src, src_len, dst, out_len, len);
}

}  // namespace

// ---------------------------------------------------------------------------
// Key objects: the schedules built once, one context per direction for AES.

struct sealkit_key {
    CipherId cipher;
    int busy;                                   // 1 while a call uses the object
    EVP_CIPHER_CTX *ctx[2];                     // AES: [0] opens, [1] seals
    unsigned char chain[2][SEALKIT_AES_BLOCK];  // AES-CBC: each context's chain
    BF_KEY bf;                                  // Blowfish
};

namespace {

// Holds a key object or a stream for one call, through its busy flag;
// held() is false when another call has it. A caller that breaks the
// one-thread rule then gets SEALKIT_ERR_BUSY instead of two calls mixing
// one object's state.
class Busy {
  public:
    explicit Busy(int *flag)
        : flag_(flag), held_(__atomic_exchange_n(flag, 1, __ATOMIC_ACQUIRE) == 0) {}
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;
    ~Busy() {
        if (held_) __atomic_store_n(flag_, 0, __ATOMIC_RELEASE);
    }
    bool held() const { return held_; }

  private:
    int *flag_;
    bool held_;
};

// An engine on a key object's schedule for one call in direction `dir`.
// finish() records the call's last cipher block as the context's chain, or,
// after a failure, restarts the chain from the zero IV.
class KeyCall {
  public:
    KeyCall(sealkit_key *k, sealkit_direction dir) : k_(k), cbc_(traits(k->cipher).mode == kCbc) {
        engine.dir = dir;
        if (k->cipher == kBlowfish) {
            engine.bf = &k->bf;
            return;
        }
        engine.ctx = k->ctx[evp_enc(dir)];
        if (cbc_) engine.fold = k->chain[evp_enc(dir)];
    }
    // `last_cipher_block` is null when the call ran no block: the chain stays.
    void finish(bool ok, const unsigned char *last_cipher_block) {
        if (engine.bf != nullptr || !cbc_ || (ok && last_cipher_block == nullptr)) return;
        const int enc = evp_enc(engine.dir);
        unsigned char *chain = k_->chain[enc];
        if (ok) {
            memcpy(chain, last_cipher_block, SEALKIT_AES_BLOCK);
        } else {
            memset(chain, 0, SEALKIT_AES_BLOCK);
            if (EVP_CipherInit_ex2(engine.ctx, nullptr, nullptr, kZero, enc, nullptr) != 1) {
                // The context is unusable; the key object then fails every call.
                EVP_CIPHER_CTX_free(engine.ctx);
                k_->ctx[enc] = nullptr;
            }
        }
    }
    Engine engine;

  private:
    sealkit_key *k_;
    bool cbc_;
};

// ---------------------------------------------------------------------------
// Streams.

enum StreamState { kLive, kFinished, kDead };

// An opening stream holds back the blocks that may carry pad bytes: one, or
// up to 256 bytes for a pad count of 255.
constexpr uint32_t kHoldMax = 256;

// A stream call gives out at most one block more than it takes in, as
// sealkit.h promises: sealing the pad-count byte and a block's remainder,
// opening a block held back by the previous call.
static_assert(SEALKIT_STREAM_EXTRA >= SEALKIT_AES_BLOCK && SEALKIT_AES_BLOCK >= SEALKIT_BF_BLOCK);

// The largest envelope with a 32-bit length for block size b: the most an
// opening stream of unknown length takes, and one byte more than a sealing
// one takes.
constexpr uint32_t max_envelope(uint32_t b) {
    return UINT32_MAX - (UINT32_MAX - 1) % b;
}

}  // namespace

struct sealkit_stream {
    uint32_t block;
    // 1 while a call uses the stream. Mutable: sealkit_stream_first_byte
    // takes a const stream, since it reads one, yet must hold the flag
    // while it reads, so that it never sees a final() half done.
    mutable int busy;
    StreamState state;
    bool unknown;         // total not announced
    uint64_t total;       // input bytes announced, or the most an unknown total allows
    uint64_t done;        // input bytes taken
    unsigned char first;  // sealing: the pad-count byte; opening: the one read
    uint32_t pad;         // opening: bytes of pad at the end of the blocks
    uint32_t hold;        // opening: body bytes kept back until final
    uint32_t buffered;    // bytes in buf: sealing a partial block, opening cipher text
    unsigned char buf[kHoldMax + SEALKIT_AES_BLOCK];
    BF_KEY bf;
    Engine engine;  // on this stream's own context or bf
};

namespace {

int stream_fail(sealkit_stream *s, int rc) {
    s->state = kDead;
    return rc;
}

// Sealing: the pad-count byte (or the placeholder) first, whole blocks as
// they complete, the partial last block kept for final.
int stream_seal(sealkit_stream *s, const unsigned char *in, uint32_t in_len, unsigned char *out,
                uint32_t *out_len) {
    const uint32_t b = s->block;
    const bool first = s->done == 0 && in_len > 0;
    const uint64_t need = (first ? 1u : 0u) + (uint64_t{s->buffered} + in_len) / b * b;
    if (need > *out_len) return SEALKIT_ERR_CAPACITY;
    unsigned char *o = out;
    s->done += in_len;
    if (first) *o++ = s->unknown ? SEALKIT_PLACEHOLDER : s->first;
    bool ok = true;
    if (s->buffered > 0) {
        const uint32_t take = in_len < b - s->buffered ? in_len : b - s->buffered;
        if (take > 0) memcpy(s->buf + s->buffered, in, take);
        s->buffered += take;
        in += take;
        in_len -= take;
        if (s->buffered == b) {
            ok = s->engine.update(s->buf, b, o);
            o += b;
            s->buffered = 0;
        }
    }
    const uint32_t whole = in_len / b * b;
    if (ok && whole > 0) {
        ok = s->engine.update(in, whole, o);
        o += whole;
    }
    if (in_len > whole) memcpy(s->buf, in + whole, in_len - whole);
    s->buffered += in_len - whole;
    if (!ok) {
        OPENSSL_cleanse(out, static_cast<size_t>(o - out));
        return stream_fail(s, SEALKIT_ERR_KEY_SCHEDULE);
    }
    *out_len = static_cast<uint32_t>(o - out);
    return SEALKIT_OK;
}

// Opening, step 1: the pad-count byte. It fixes how much stays held back;
// with a known total a pad count larger than the blocks is refused now.
int open_first_byte(sealkit_stream *s, unsigned char first) {
    const uint32_t b = s->block;
    s->first = first;
    s->pad = first == b ? 0 : first;
    s->hold = s->pad <= b ? b : (s->pad + b - 1) / b * b;
    uint64_t plain = 0;
    if (!s->unknown && sealkit_plaintext_len(s->total, first, b, &plain) != SEALKIT_OK)
        return stream_fail(s, SEALKIT_ERR_NOT_ENVELOPE);
    return SEALKIT_OK;
}

// Opening, step 2: how many body bytes can be given out once `more` join the
// buffered ones: whole blocks, all but the held-back ones. Every such byte
// is plaintext, whatever the envelope's length turns out to be.
uint32_t open_ready(const sealkit_stream *s, uint32_t more) {
    const uint64_t whole = (uint64_t{s->buffered} + more) / s->block * s->block;
    return whole > s->hold ? static_cast<uint32_t>(whole - s->hold) : 0;
}

// Opening, step 3: decrypts `n` ready bytes into out, the buffered ones
// first, then straight from `in`, and buffers the rest of `in`.
bool open_release(sealkit_stream *s, const unsigned char *in, uint32_t in_len, uint32_t n,
                  unsigned char *out) {
    const uint32_t b = s->block;
    // A partial block in buf is completed first, so that buf holds whole
    // blocks whenever input follows.
    const uint32_t gap = s->buffered % b == 0 ? 0 : b - s->buffered % b;
    const uint32_t top = in_len < gap ? in_len : gap;
    if (top > 0) memcpy(s->buf + s->buffered, in, top);
    s->buffered += top;
    in += top;
    in_len -= top;
    const uint32_t from_buf = n < s->buffered ? n : s->buffered;
    bool ok = from_buf == 0 || s->engine.update(s->buf, from_buf, out);
    s->buffered -= from_buf;
    if (s->buffered > 0) memmove(s->buf, s->buf + from_buf, s->buffered);
    const uint32_t from_in = n - from_buf;
    if (ok && from_in > 0) ok = s->engine.update(in, from_in, out + from_buf);
    if (in_len > from_in) memcpy(s->buf + s->buffered, in + from_in, in_len - from_in);
    s->buffered += in_len - from_in;
    return ok;
}

int stream_open(sealkit_stream *s, const unsigned char *in, uint32_t in_len, unsigned char *out,
                uint32_t *out_len) {
    const bool first = s->done == 0 && in_len > 0;
    if (first && open_first_byte(s, in[0]) != SEALKIT_OK) return SEALKIT_ERR_NOT_ENVELOPE;
    const unsigned char *body = first ? in + 1 : in;
    const uint32_t body_len = first ? in_len - 1 : in_len;
    const uint32_t n = open_ready(s, body_len);
    if (n > *out_len) return SEALKIT_ERR_CAPACITY;
    s->done += in_len;
    if (!open_release(s, body, body_len, n, out)) {
        OPENSSL_cleanse(out, n);
        return stream_fail(s, SEALKIT_ERR_KEY_SCHEDULE);
    }
    *out_len = n;
    return SEALKIT_OK;
}

// Whether everything announced arrived; with an unknown total, whether what
// arrived is something final can finish. SEALKIT_OK or the code that ends
// the stream.
int stream_complete(const sealkit_stream *s) {
    if (!s->unknown) return s->done == s->total ? SEALKIT_OK : SEALKIT_ERR_LENGTH;
    if (s->engine.dir == SEALKIT_SEAL) return s->done > 0 ? SEALKIT_OK : SEALKIT_ERR_EMPTY;
    uint64_t plain = 0;
    return s->done > 0 && sealkit_plaintext_len(s->done, s->first, s->block, &plain) == SEALKIT_OK
               ? SEALKIT_OK
               : SEALKIT_ERR_NOT_ENVELOPE;
}

// The last block: sealing zero-completes the partial one; opening decrypts
// the held-back blocks and gives out all but the pad.
bool stream_tail(sealkit_stream *s, unsigned char *out, uint32_t need) {
    const uint32_t b = s->block;
    bool ok = true;
    if (s->engine.dir == SEALKIT_SEAL) {
        if (s->buffered > 0) {
            memset(s->buf + s->buffered, 0, b - s->buffered);
            ok = s->engine.update(s->buf, b, out);
        }
        // B is 8 or 16, a power of two.
        if (s->unknown) s->first = static_cast<unsigned char>(b - (s->done & (b - 1)));
    } else if (s->buffered > 0) {
        unsigned char scratch[sizeof s->buf];
        ok = s->engine.update(s->buf, s->buffered, scratch);
        if (ok && need > 0) memcpy(out, scratch, need);
        wipe(scratch);
    }
    return ok;
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

int sealkit_key_new(sealkit_key **out, sealkit_cipher cipher, const unsigned char *key,
                    uint32_t key_len) {
    if (out == nullptr) return SEALKIT_ERR_NULL;
    if (!known(cipher) || (cipher == kBuiltin && (key != nullptr || key_len != 0)))
        return SEALKIT_ERR_CIPHER;
    const Traits t = traits(cipher);
    if (t.takes_key && key == nullptr) return SEALKIT_ERR_NULL;
    if (t.takes_key && key_len < SEALKIT_MIN_KEY_LEN) return SEALKIT_ERR_KEY_LEN;
    auto *k = static_cast<sealkit_key *>(OPENSSL_zalloc(sizeof(sealkit_key)));
    if (k == nullptr) return SEALKIT_ERR_KEY_SCHEDULE;
    k->cipher = cipher;
    if (cipher == kBlowfish) {
        bf_schedule(k->bf, key, key_len);
        *out = k;
        return SEALKIT_OK;
    }
    unsigned char builtin[32] = {0};
    if (cipher == kBuiltin) {
        builtin_key(builtin);
        key = builtin;
        key_len = sizeof builtin;
    }
    const EVP_CIPHER *c = aes_cipher(t.mode, key_len);
    bool ok = c != nullptr;
    for (int enc = 0; ok && enc < 2; ++enc) {
        k->ctx[enc] = EVP_CIPHER_CTX_new();
        ok = k->ctx[enc] != nullptr &&
             EVP_CipherInit_ex2(k->ctx[enc], c, key, t.mode == kCbc ? kZero : nullptr, enc,
                                nullptr) == 1 &&
             EVP_CIPHER_CTX_set_padding(k->ctx[enc], 0) == 1;
    }
    wipe(builtin);
    if (!ok) {
        sealkit_key_free(k);
        return SEALKIT_ERR_KEY_SCHEDULE;
    }
    *out = k;
    return SEALKIT_OK;
}

void sealkit_key_free(sealkit_key *key) {
    if (key == nullptr) return;
    // Freeing a context wipes its key schedule.
    for (EVP_CIPHER_CTX *c : key->ctx) EVP_CIPHER_CTX_free(c);
    OPENSSL_clear_free(key, sizeof *key);
}

int sealkit_seal(sealkit_key *key, const unsigned char *src, uint32_t src_len, unsigned char *dst,
                 uint32_t *len) {
    const uint32_t block = key != nullptr ? traits(key->cipher).block : SEALKIT_AES_BLOCK;
    uint32_t env_len = 0;
    int rc = check_seal({block, kKeyObject, key, 0, src, src_len, dst, len}, &env_len);
    if (rc != SEALKIT_OK) return rc;
    const Busy busy(&key->busy);
    if (!busy.held()) return SEALKIT_ERR_BUSY;
    if (key->cipher != kBlowfish && key->ctx[evp_enc(SEALKIT_SEAL)] == nullptr)
        return SEALKIT_ERR_KEY_SCHEDULE;
    KeyCall call(key, SEALKIT_SEAL);
    rc = seal_envelope(call.engine, block, src, src_len, dst, env_len, len);
    call.finish(rc == SEALKIT_OK, dst + env_len - block);
    return rc;
}

int sealkit_open(sealkit_key *key, const unsigned char *src, uint32_t src_len, unsigned char *dst,
                 uint32_t *len) {
    const uint32_t block = key != nullptr ? traits(key->cipher).block : SEALKIT_AES_BLOCK;
    uint32_t out_len = 0;
    int rc = check_open({block, kKeyObject, key, 0, src, src_len, dst, len}, &out_len);
    if (rc != SEALKIT_OK) return rc;
    const Busy busy(&key->busy);
    if (!busy.held()) return SEALKIT_ERR_BUSY;
    if (key->cipher != kBlowfish && key->ctx[evp_enc(SEALKIT_OPEN)] == nullptr)
        return SEALKIT_ERR_KEY_SCHEDULE;
    KeyCall call(key, SEALKIT_OPEN);
    rc = open_envelope(call.engine, src, src_len, dst, out_len, len);
    call.finish(rc == SEALKIT_OK, src_len > 1 ? src + src_len - block : nullptr);
    return rc;
}

int sealkit_stream_new(sealkit_stream **out, sealkit_key *key, sealkit_direction direction,
                       uint32_t total) {
    if (out == nullptr || key == nullptr) return SEALKIT_ERR_NULL;
    if (direction != SEALKIT_SEAL && direction != SEALKIT_OPEN) return SEALKIT_ERR_CIPHER;
    const Traits t = traits(key->cipher);
    const bool unknown = total == SEALKIT_TOTAL_UNKNOWN;
    if (!unknown && direction == SEALKIT_SEAL) {
        if (total == 0) return SEALKIT_ERR_EMPTY;
        if (sealkit_envelope_len(total, t.block) > UINT32_MAX) return SEALKIT_ERR_CAPACITY;
    }
    if (!unknown && direction == SEALKIT_OPEN && total % t.block != 1)
        return SEALKIT_ERR_NOT_ENVELOPE;
    const Busy busy(&key->busy);
    if (!busy.held()) return SEALKIT_ERR_BUSY;

    void *mem = OPENSSL_zalloc(sizeof(sealkit_stream));
    if (mem == nullptr) return SEALKIT_ERR_KEY_SCHEDULE;
    auto *s = new (mem) sealkit_stream{};
    s->block = t.block;
    s->state = kLive;
    s->unknown = unknown;
    s->total = !unknown                    ? total
               : direction == SEALKIT_SEAL ? max_envelope(t.block) - 1
                                           : max_envelope(t.block);
    if (direction == SEALKIT_SEAL && !unknown)
        s->first = static_cast<unsigned char>(t.block - total % t.block);
    s->engine.dir = direction;
    if (key->cipher == kBlowfish) {
        s->bf = key->bf;
        s->engine.bf = &s->bf;
    } else {
        // A copy of the key object's context: the schedule without building
        // it again, and the chain restarted from the zero IV.
        const int enc = evp_enc(direction);
        EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
        s->engine.ctx = c;
        if (c == nullptr || key->ctx[enc] == nullptr ||
            EVP_CIPHER_CTX_copy(c, key->ctx[enc]) != 1 ||
            (t.mode == kCbc && EVP_CipherInit_ex2(c, nullptr, nullptr, kZero, enc, nullptr) != 1)) {
            sealkit_stream_free(s);
            return SEALKIT_ERR_KEY_SCHEDULE;
        }
    }
    *out = s;
    return SEALKIT_OK;
}

int sealkit_stream_update(sealkit_stream *s, const unsigned char *in, uint32_t in_len,
                          unsigned char *out, uint32_t *out_len) {
    if (s == nullptr || out_len == nullptr || (in == nullptr && in_len > 0) ||
        (out == nullptr && *out_len > 0))
        return SEALKIT_ERR_NULL;
    const Busy busy(&s->busy);
    if (!busy.held()) return SEALKIT_ERR_BUSY;
    if (s->state != kLive) return SEALKIT_ERR_LENGTH;
    if (in_len > s->total - s->done) return stream_fail(s, SEALKIT_ERR_LENGTH);
    // A NULL `in` or `out` comes with a length of 0: stand-ins keep every
    // pointer below valid, and nothing is read from or written to them.
    const unsigned char no_in = 0;
    unsigned char no_out = 0;
    if (in == nullptr) in = &no_in;
    if (out == nullptr) out = &no_out;
    return s->engine.dir == SEALKIT_SEAL ? stream_seal(s, in, in_len, out, out_len)
                                         : stream_open(s, in, in_len, out, out_len);
}

int sealkit_stream_final(sealkit_stream *s, unsigned char *out, uint32_t *out_len) {
    if (s == nullptr || out_len == nullptr || (out == nullptr && *out_len > 0))
        return SEALKIT_ERR_NULL;
    const Busy busy(&s->busy);
    if (!busy.held()) return SEALKIT_ERR_BUSY;
    if (s->state != kLive) return SEALKIT_ERR_LENGTH;
    const int rc = stream_complete(s);
    if (rc != SEALKIT_OK) return stream_fail(s, rc);
    const uint32_t need =
        s->engine.dir == SEALKIT_SEAL ? (s->buffered > 0 ? s->block : 0) : s->buffered - s->pad;
    if (need > *out_len || (need > 0 && out == nullptr)) return SEALKIT_ERR_CAPACITY;
    const bool ok = stream_tail(s, out, need);
    wipe(s->buf);
    if (!ok) {
        OPENSSL_cleanse(out, need);
        return stream_fail(s, SEALKIT_ERR_KEY_SCHEDULE);
    }
    s->state = kFinished;
    *out_len = need;
    return SEALKIT_OK;
}

int sealkit_stream_first_byte(const sealkit_stream *s, unsigned char *first) {
    if (s == nullptr || first == nullptr) return SEALKIT_ERR_NULL;
    const Busy busy(&s->busy);
    if (!busy.held()) return SEALKIT_ERR_BUSY;
    if (s->engine.dir != SEALKIT_SEAL) return SEALKIT_ERR_CIPHER;
    if (s->state != kFinished) return SEALKIT_ERR_LENGTH;
    *first = s->first;
    return SEALKIT_OK;
}

void sealkit_stream_free(sealkit_stream *s) {
    if (s == nullptr) return;
    EVP_CIPHER_CTX_free(s->engine.ctx);
    s->~sealkit_stream();
    OPENSSL_clear_free(s, sizeof *s);
}

const char *sealkit_strerror(int result) {
    if (result > 0 || result <= -static_cast<int>(kResultCount)) return "unknown result";
    return kResults[-result].text;
}

const sealkit_cipher_info *sealkit_cipher_at(uint32_t index) {
    return index < kCipherCount ? &kCiphers[index] : nullptr;
}

const sealkit_result_info *sealkit_result_at(uint32_t index) {
    return index < kResultCount ? &kResults[index] : nullptr;
}

int sealkit_crypt(sealkit_cipher cipher, sealkit_direction direction, const unsigned char *key,
                  uint32_t key_len, const unsigned char *src, uint32_t src_len, unsigned char *dst,
                  uint32_t *len) {
    if (!known(cipher) || (direction != SEALKIT_SEAL && direction != SEALKIT_OPEN) ||
        (cipher == kBuiltin && (key != nullptr || key_len != 0)))
        return SEALKIT_ERR_CIPHER;
    return direction == SEALKIT_SEAL ? seal(cipher, key, key_len, src, src_len, dst, len)
                                     : open(cipher, key, key_len, src, src_len, dst, len);
}

#define SEALKIT_STR2(x) #x
#define SEALKIT_STR(x) SEALKIT_STR2(x)

const char *sealkit_version(void) {
    return SEALKIT_STR(SEALKIT_VERSION_MAJOR) "." SEALKIT_STR(
        SEALKIT_VERSION_MINOR) "." SEALKIT_STR(SEALKIT_VERSION_PATCH);
}

}  // extern "C"
