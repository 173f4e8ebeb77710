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

using Family = sealkit_cipher;
constexpr Family kAesEcb = SEALKIT_CIPHER_AES_ECB;
constexpr Family kAesCbc = SEALKIT_CIPHER_AES_CBC;
constexpr Family kBuiltin = SEALKIT_CIPHER_BUILTIN;
constexpr Family kBlowfish = SEALKIT_CIPHER_BLOWFISH;
enum Mode { kEcb = 0, kCbc = 1 };

struct Traits {
    uint32_t block;
    bool takes_key;  // false: the built-in key
    Mode mode;
};

constexpr bool known(Family f) {
    return f == kAesEcb || f == kAesCbc || f == kBuiltin || f == kBlowfish;
}

constexpr Traits traits(Family f) {
    if (f == kBlowfish) return {SEALKIT_BF_BLOCK, true, kCbc};
    return {SEALKIT_AES_BLOCK, f != kBuiltin, f == kAesEcb ? kEcb : kCbc};
}

// ---------------------------------------------------------------------------
// Argument checks, in the order sealkit.h documents. `key` joins the null
// check when there is one (a caller's key, or a key object); a caller's key
// also has its length checked, after the capacity.

enum KeyArg { kNoKey, kCallerKey, kKeyObject };

constexpr KeyArg key_arg(Traits t) {
    return t.takes_key ? kCallerKey : kNoKey;
}

int check_seal(uint32_t block, KeyArg k, const void *key, uint32_t key_len,
               const unsigned char *src, uint32_t src_len, const unsigned char *dst,
               const uint32_t *len, uint32_t *env_len) {
    if ((k != kNoKey && key == nullptr) || src == nullptr || dst == nullptr || len == nullptr)
        return SEALKIT_ERR_NULL;
    if (src_len == 0) return SEALKIT_ERR_EMPTY;
    // 64-bit arithmetic: near 2^32 the envelope length has no 32-bit value,
    // and then it is necessarily larger than any capacity.
    const uint64_t need = sealkit_envelope_len(src_len, block);
    if (need > *len) return SEALKIT_ERR_CAPACITY;
    if (k == kCallerKey && key_len < SEALKIT_MIN_KEY_LEN) return SEALKIT_ERR_KEY_LEN;
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

int check_open(uint32_t block, KeyArg k, const void *key, uint32_t key_len,
               const unsigned char *src, uint32_t src_len, const unsigned char *dst,
               const uint32_t *len, uint32_t *out_len) {
    if ((k != kNoKey && key == nullptr) || src == nullptr || dst == nullptr || len == nullptr)
        return SEALKIT_ERR_NULL;
    if (src_len % block != 1) return SEALKIT_ERR_NOT_ENVELOPE;
    if (*len < src_len) return SEALKIT_ERR_CAPACITY;
    if (k == kCallerKey && key_len < SEALKIT_MIN_KEY_LEN) return SEALKIT_ERR_KEY_LEN;
    const int64_t n = plain_len(block, src_len, src[0]);
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
        if (enc == 0) {
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
    EVP_CIPHER_CTX *key(Mode mode, const unsigned char *key, uint32_t key_len, int enc) {
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
        return EVP_CipherInit_ex2(*slot_, nullptr, key, iv, enc, nullptr) == 1 ? *slot_ : nullptr;
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
    CallSchedule(Family f, const unsigned char *key, uint32_t key_len, int enc) {
        engine_.enc = enc;
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
        engine_.ctx = aes_.key(traits(f).mode, key, key_len, enc);
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

int seal(Family f, const unsigned char *key, uint32_t key_len, const unsigned char *src,
         uint32_t src_len, unsigned char *dst, uint32_t *len) {
    const Traits t = traits(f);
    uint32_t env_len = 0;
    int rc = check_seal(t.block, key_arg(t), key, key_len, src, src_len, dst, len, &env_len);
    if (rc != SEALKIT_OK) return rc;
    CallSchedule s(f, key, key_len, 1);
    if (s.engine() == nullptr) return SEALKIT_ERR_KEY_SCHEDULE;
    return seal_envelope(*s.engine(), t.block, src, src_len, dst, env_len, len);
}

int open(Family f, const unsigned char *key, uint32_t key_len, const unsigned char *src,
         uint32_t src_len, unsigned char *dst, uint32_t *len) {
    const Traits t = traits(f);
    uint32_t out_len = 0;
    int rc = check_open(t.block, key_arg(t), key, key_len, src, src_len, dst, len, &out_len);
    if (rc != SEALKIT_OK) return rc;
    CallSchedule s(f, key, key_len, 0);
    if (s.engine() == nullptr) return SEALKIT_ERR_KEY_SCHEDULE;
    return open_envelope(*s.engine(), src, src_len, dst, out_len, len);
}

}  // namespace

// ---------------------------------------------------------------------------
// Key objects: the schedules built once, one context per direction for AES.

struct sealkit_key {
    Family family;
    int busy;                                   // 1 while a call uses the object
    EVP_CIPHER_CTX *ctx[2];                     // AES: [0] opens, [1] seals
    unsigned char chain[2][SEALKIT_AES_BLOCK];  // AES-CBC: each context's chain
    BF_KEY bf;                                  // Blowfish
};

namespace {

// Holds a key object for one call; held() is false when another call has it.
class Busy {
  public:
    explicit Busy(sealkit_key *k)
        : k_(k), held_(__atomic_exchange_n(&k->busy, 1, __ATOMIC_ACQUIRE) == 0) {}
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;
    ~Busy() {
        if (held_) __atomic_store_n(&k_->busy, 0, __ATOMIC_RELEASE);
    }
    bool held() const { return held_; }

  private:
    sealkit_key *k_;
    bool held_;
};

// An engine on a key object's schedule for one call in direction `enc`.
// finish() records the call's last cipher block as the context's chain, or,
// after a failure, restarts the chain from the zero IV.
class KeyCall {
  public:
    KeyCall(sealkit_key *k, int enc) : k_(k), cbc_(traits(k->family).mode == kCbc) {
        engine.enc = enc;
        if (k->family == kBlowfish) {
            engine.bf = &k->bf;
            return;
        }
        engine.ctx = k->ctx[enc];
        if (cbc_) engine.fold = k->chain[enc];
    }
    // `last_cipher_block` is null when the call ran no block: the chain stays.
    void finish(bool ok, const unsigned char *last_cipher_block) {
        if (engine.bf != nullptr || !cbc_ || (ok && last_cipher_block == nullptr)) return;
        unsigned char *chain = k_->chain[engine.enc];
        if (ok) {
            memcpy(chain, last_cipher_block, SEALKIT_AES_BLOCK);
        } else {
            memset(chain, 0, SEALKIT_AES_BLOCK);
            if (EVP_CipherInit_ex2(engine.ctx, nullptr, nullptr, kZero, engine.enc, nullptr) != 1) {
                // The context is unusable; the key object then fails every call.
                EVP_CIPHER_CTX_free(engine.ctx);
                k_->ctx[engine.enc] = nullptr;
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

enum StreamState { kLive, kEnded };

}  // namespace

struct sealkit_stream {
    uint32_t block;
    StreamState state;
    uint32_t total, done;         // input bytes announced, and taken so far
    uint32_t plain_len, emitted;  // opening: the plaintext's length, bytes given out
    uint32_t buffered;            // bytes in buf
    unsigned char buf[SEALKIT_AES_BLOCK];
    BF_KEY bf;
    Engine engine;  // on this stream's own context or bf
};

namespace {

int stream_fail(sealkit_stream *s, int rc) {
    s->state = kEnded;
    return rc;
}

// Sealing: the pad-count byte first, whole blocks as they complete, the
// partial last block kept for final.
int stream_seal(sealkit_stream *s, const unsigned char *in, uint32_t in_len, unsigned char *out,
                uint32_t *out_len) {
    const uint32_t b = s->block;
    const bool first = s->done == 0 && in_len > 0;
    const uint64_t need = (first ? 1u : 0u) + (uint64_t{s->buffered} + in_len) / b * b;
    if (need > *out_len) return SEALKIT_ERR_CAPACITY;
    unsigned char *o = out;
    s->done += in_len;
    if (first) *o++ = static_cast<unsigned char>(b - s->total % b);
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

// Opening: blocks are decrypted as they complete and given out up to the
// plaintext's length; the last block is kept for final. `pos` counts the
// body bytes (after the pad-count byte) taken so far.
int stream_open(sealkit_stream *s, const unsigned char *in, uint32_t in_len, unsigned char *out,
                uint32_t *out_len) {
    const uint32_t b = s->block;
    const bool first = s->done == 0 && in_len > 0;
    uint32_t plain = s->plain_len;
    if (first) {
        const int64_t n = plain_len(b, s->total, in[0]);
        if (n < 0) return stream_fail(s, SEALKIT_ERR_NOT_ENVELOPE);
        plain = static_cast<uint32_t>(n);
    }
    const uint32_t body = s->total - 1;
    const uint32_t last_start = body >= b ? body - b : 0;
    uint32_t pos = s->done == 0 ? 0 : s->done - 1;
    // Plaintext bytes that can be given out once `x` body bytes are in.
    auto ready = [&](uint32_t x) {
        const uint32_t blocks = x / b * b < last_start ? x / b * b : last_start;
        return blocks < plain ? blocks : plain;
    };
    const uint32_t need = ready(pos + in_len - (first ? 1 : 0)) - s->emitted;
    if (need > *out_len) return SEALKIT_ERR_CAPACITY;
    if (first) {
        s->plain_len = plain;
        ++in;
        --in_len;
        s->done = 1;
    }
    s->done += in_len;
    unsigned char *o = out;
    unsigned char scratch[SEALKIT_AES_BLOCK];
    bool ok = true;
    while (ok && in_len > 0) {
        if (s->buffered == 0) {
            // Whole blocks before the last one, wholly inside the plaintext,
            // go straight from `in` to `out`.
            uint32_t n = in_len / b * b;
            if (n > last_start - pos) n = last_start > pos ? last_start - pos : 0;
            if (n > (plain > pos ? (plain - pos) / b * b : 0))
                n = plain > pos ? (plain - pos) / b * b : 0;
            if (n > 0) {
                ok = s->engine.update(in, n, o);
                o += n;
                s->emitted += n;
                pos += n;
                in += n;
                in_len -= n;
                continue;
            }
        }
        const uint32_t take = in_len < b - s->buffered ? in_len : b - s->buffered;
        memcpy(s->buf + s->buffered, in, take);
        s->buffered += take;
        pos += take;
        in += take;
        in_len -= take;
        const uint32_t start = pos - b;
        if (s->buffered < b || start >= last_start) continue;  // incomplete, or the last block
        ok = s->engine.update(s->buf, b, scratch);
        const uint32_t give = plain <= start ? 0 : plain - start < b ? plain - start : b;
        if (give > 0) memcpy(o, scratch, give);
        o += give;
        s->emitted += give;
        s->buffered = 0;
    }
    wipe(scratch);
    if (!ok) {
        OPENSSL_cleanse(out, static_cast<size_t>(o - out));
        return stream_fail(s, SEALKIT_ERR_KEY_SCHEDULE);
    }
    *out_len = static_cast<uint32_t>(o - out);
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
    k->family = cipher;
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
    const uint32_t block = key != nullptr ? traits(key->family).block : SEALKIT_AES_BLOCK;
    uint32_t env_len = 0;
    int rc = check_seal(block, kKeyObject, key, 0, src, src_len, dst, len, &env_len);
    if (rc != SEALKIT_OK) return rc;
    const Busy busy(key);
    if (!busy.held()) return SEALKIT_ERR_BUSY;
    if (key->family != kBlowfish && key->ctx[1] == nullptr) return SEALKIT_ERR_KEY_SCHEDULE;
    KeyCall call(key, 1);
    rc = seal_envelope(call.engine, block, src, src_len, dst, env_len, len);
    call.finish(rc == SEALKIT_OK, dst + env_len - block);
    return rc;
}

int sealkit_open(sealkit_key *key, const unsigned char *src, uint32_t src_len, unsigned char *dst,
                 uint32_t *len) {
    const uint32_t block = key != nullptr ? traits(key->family).block : SEALKIT_AES_BLOCK;
    uint32_t out_len = 0;
    int rc = check_open(block, kKeyObject, key, 0, src, src_len, dst, len, &out_len);
    if (rc != SEALKIT_OK) return rc;
    const Busy busy(key);
    if (!busy.held()) return SEALKIT_ERR_BUSY;
    if (key->family != kBlowfish && key->ctx[0] == nullptr) return SEALKIT_ERR_KEY_SCHEDULE;
    KeyCall call(key, 0);
    rc = open_envelope(call.engine, src, src_len, dst, out_len, len);
    call.finish(rc == SEALKIT_OK, src_len > 1 ? src + src_len - block : nullptr);
    return rc;
}

int sealkit_stream_new(sealkit_stream **out, sealkit_key *key, sealkit_direction direction,
                       uint32_t total) {
    if (out == nullptr || key == nullptr) return SEALKIT_ERR_NULL;
    if (direction != SEALKIT_SEAL && direction != SEALKIT_OPEN) return SEALKIT_ERR_CIPHER;
    const Traits t = traits(key->family);
    const int enc = direction == SEALKIT_SEAL ? 1 : 0;
    if (enc == 1 && total == 0) return SEALKIT_ERR_EMPTY;
    if (enc == 1 && sealkit_envelope_len(total, t.block) > UINT32_MAX) return SEALKIT_ERR_CAPACITY;
    if (enc == 0 && total % t.block != 1) return SEALKIT_ERR_NOT_ENVELOPE;
    const Busy busy(key);
    if (!busy.held()) return SEALKIT_ERR_BUSY;

    void *mem = OPENSSL_zalloc(sizeof(sealkit_stream));
    if (mem == nullptr) return SEALKIT_ERR_KEY_SCHEDULE;
    auto *s = new (mem) sealkit_stream{};
    s->block = t.block;
    s->state = kLive;
    s->total = total;
    s->engine.enc = enc;
    if (key->family == kBlowfish) {
        s->bf = key->bf;
        s->engine.bf = &s->bf;
    } else {
        // A copy of the key object's context: the schedule without building
        // it again, and the chain restarted from the zero IV.
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
    if (s->state != kLive) return SEALKIT_ERR_LENGTH;
    if (in_len > s->total - s->done) return stream_fail(s, SEALKIT_ERR_LENGTH);
    // A NULL `in` or `out` comes with a length of 0: stand-ins keep every
    // pointer below valid, and nothing is read from or written to them.
    const unsigned char no_in = 0;
    unsigned char no_out = 0;
    if (in == nullptr) in = &no_in;
    if (out == nullptr) out = &no_out;
    return s->engine.enc == 1 ? stream_seal(s, in, in_len, out, out_len)
                              : stream_open(s, in, in_len, out, out_len);
}

int sealkit_stream_final(sealkit_stream *s, unsigned char *out, uint32_t *out_len) {
    if (s == nullptr || out_len == nullptr || (out == nullptr && *out_len > 0))
        return SEALKIT_ERR_NULL;
    if (s->state != kLive) return SEALKIT_ERR_LENGTH;
    if (s->done != s->total) return stream_fail(s, SEALKIT_ERR_LENGTH);
    const uint32_t b = s->block;
    uint32_t need = 0;
    if (s->engine.enc == 1)
        need = s->buffered > 0 ? b : 0;
    else
        need = s->plain_len - s->emitted;
    if (need > *out_len || (need > 0 && out == nullptr)) return SEALKIT_ERR_CAPACITY;
    bool ok = true;
    if (s->engine.enc == 1 && s->buffered > 0) {
        memset(s->buf + s->buffered, 0, b - s->buffered);
        ok = s->engine.update(s->buf, b, out);
    } else if (s->engine.enc == 0 && s->buffered == b) {
        unsigned char scratch[SEALKIT_AES_BLOCK];
        ok = s->engine.update(s->buf, b, scratch);
        if (ok && need > 0) memcpy(out, scratch, need);
        wipe(scratch);
    }
    wipe(s->buf);
    s->state = kEnded;
    if (!ok) {
        OPENSSL_cleanse(out, need);
        return SEALKIT_ERR_KEY_SCHEDULE;
    }
    *out_len = need;
    return SEALKIT_OK;
}

void sealkit_stream_free(sealkit_stream *s) {
    if (s == nullptr) return;
    EVP_CIPHER_CTX_free(s->engine.ctx);
    s->~sealkit_stream();
    OPENSSL_clear_free(s, sizeof *s);
}

const char *sealkit_strerror(int result) {
    switch (result) {
        case SEALKIT_OK:
            return "success";
        case SEALKIT_ERR_NULL:
            return "a required pointer is NULL";
        case SEALKIT_ERR_CAPACITY:
            return "output buffer too small";
        case SEALKIT_ERR_KEY_LEN:
            return "key shorter than 16 bytes";
        case SEALKIT_ERR_KEY_SCHEDULE:
            return "cipher set-up failed";
        case SEALKIT_ERR_EMPTY:
            return "empty plaintext";
        case SEALKIT_ERR_NOT_ENVELOPE:
            return "not an envelope";
        case SEALKIT_ERR_CIPHER:
            return "unknown cipher or direction";
        case SEALKIT_ERR_BUSY:
            return "key object in use by another call";
        case SEALKIT_ERR_LENGTH:
            return "stream length does not match its total";
        default:
            return "unknown result";
    }
}

#define SEALKIT_STR2(x) #x
#define SEALKIT_STR(x) SEALKIT_STR2(x)

const char *sealkit_version(void) {
    return SEALKIT_STR(SEALKIT_VERSION_MAJOR) "." SEALKIT_STR(
        SEALKIT_VERSION_MINOR) "." SEALKIT_STR(SEALKIT_VERSION_PATCH);
}

}  // extern "C"
