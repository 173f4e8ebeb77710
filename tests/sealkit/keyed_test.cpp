// SPDX-License-Identifier: MIT
// Key objects and streams against the one-shot pairs: the same bytes under
// any interleaving and chunking, their own argument contract, and one key
// object shared by two threads.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <thread>

#include "support.h"

using namespace sktest;

namespace {

struct KeyDeleter {
    void operator()(sealkit_key *k) const { sealkit_key_free(k); }
};
struct StreamDeleter {
    void operator()(sealkit_stream *s) const { sealkit_stream_free(s); }
};
using KeyPtr = std::unique_ptr<sealkit_key, KeyDeleter>;
using StreamPtr = std::unique_ptr<sealkit_stream, StreamDeleter>;

KeyPtr make_key(const Pair &p, const Bytes &key) {
    sealkit_key *k = nullptr;
    const int rc = p.takes_key
                       ? sealkit_key_new(&k, p.id, key.data(), static_cast<uint32_t>(key.size()))
                       : sealkit_key_new(&k, p.id, nullptr, 0);
    if (rc != SEALKIT_OK) throw std::runtime_error("sealkit_key_new: " + std::to_string(rc));
    return KeyPtr(k);
}

// One keyed call into a buffer of exactly the documented capacity.
Bytes keyed(sealkit_key *k, bool seal, const Pair &p, const Bytes &in) {
    const auto n = static_cast<uint32_t>(in.size());
    Bytes out(seal ? envelope_len(n, p.block) : n);
    uint32_t len = static_cast<uint32_t>(out.size());
    const int rc = seal ? sealkit_seal(k, in.data(), n, out.data(), &len)
                        : sealkit_open(k, in.data(), n, out.data(), &len);
    if (rc != SEALKIT_OK) throw std::runtime_error("keyed call: " + std::to_string(rc));
    out.resize(len);
    return out;
}

// Runs `in` through a stream in random chunks (0 included), each output
// buffer exactly in_len + 16 bytes, and returns everything it wrote. With
// the total unknown, a sealed envelope gets its first byte after final.
Bytes streamed(sealkit_key *k, bool seal, const Bytes &in, std::mt19937 &rng,
               bool unknown = false) {
    sealkit_stream *raw = nullptr;
    const int rc =
        sealkit_stream_new(&raw, k, seal ? SEALKIT_SEAL : SEALKIT_OPEN,
                           unknown ? SEALKIT_TOTAL_UNKNOWN : static_cast<uint32_t>(in.size()));
    if (rc != SEALKIT_OK) throw std::runtime_error("stream_new: " + std::to_string(rc));
    const StreamPtr s(raw);
    Bytes all;
    size_t at = 0;
    while (at < in.size()) {
        const size_t n =
            std::min<size_t>(rng() % 3 == 0 ? rng() % 40 : rng() % 700, in.size() - at);
        Bytes out(n + 16);
        auto len = static_cast<uint32_t>(out.size());
        if (sealkit_stream_update(s.get(), in.data() + at, static_cast<uint32_t>(n), out.data(),
                                  &len) != SEALKIT_OK)
            throw std::runtime_error("stream_update");
        all.insert(all.end(), out.begin(), out.begin() + len);
        at += n;
    }
    Bytes out(16);
    uint32_t len = 16;
    if (sealkit_stream_final(s.get(), out.data(), &len) != SEALKIT_OK)
        throw std::runtime_error("stream_final");
    all.insert(all.end(), out.begin(), out.begin() + len);
    if (seal && unknown) {
        if (all.at(0) != SEALKIT_PLACEHOLDER) throw std::runtime_error("no placeholder");
        if (sealkit_stream_first_byte(s.get(), all.data()) != SEALKIT_OK)
            throw std::runtime_error("stream_first_byte");
    }
    return all;
}

// Several key objects and streams (of known and unknown totals) per cipher,
// used in a random order: a key object's CBC chain must never leak from one
// call into the next.
TEST(Keyed, InterleavedKeysAndStreamsMatchTheOneShotPairs) {
    std::mt19937 rng(10);
    for (const Pair &p : kPairs) {
        SCOPED_TRACE(p.name);
        std::vector<Bytes> keys;
        std::vector<KeyPtr> objects;
        for (int i = 0; i < 3; ++i) {
            keys.push_back(random_bytes(rng, 16 + rng() % 64));
            objects.push_back(make_key(p, keys.back()));
        }
        for (int step = 0; step < 300; ++step) {
            const size_t i = rng() % keys.size();
            const Bytes plain = random_bytes(rng, 1 + rng() % (rng() % 4 == 0 ? 3000 : 70));
            const Bytes env = seal(p, keys[i], plain);
            switch (rng() % 4) {
                case 0:
                    ASSERT_EQ(keyed(objects[i].get(), true, p, plain), env);
                    break;
                case 1:
                    ASSERT_EQ(keyed(objects[i].get(), false, p, env), open(p, keys[i], env));
                    break;
                case 2:
                    ASSERT_EQ(streamed(objects[i].get(), true, plain, rng, rng() % 2), env);
                    break;
                default:
                    ASSERT_EQ(streamed(objects[i].get(), false, env, rng, rng() % 2), plain);
            }
        }
    }
}

// Forged pad counts, pads above B, lone pad bytes and wrong lengths open as
// the pairs do. A known total refuses a forged pad count at the first byte,
// an unknown one at final.
TEST(Keyed, StreamsOpenOddPadCountsAsThePairs) {
    std::mt19937 rng(11);
    const Bytes key(32, 0x33);
    for (const Pair &p : kPairs) {
        const KeyPtr k = make_key(p, key);
        for (uint32_t len_env : {1u, p.block + 1, 3 * p.block + 1, 40 * p.block + 1, 2u, p.block})
            for (unsigned pad : {0u, 1u, p.block - 1, p.block, p.block + 1, 2 * p.block, 255u})
                for (bool unknown : {false, true}) {
                    SCOPED_TRACE(std::string(p.name) + " length " + std::to_string(len_env) +
                                 " pad " + std::to_string(pad) + (unknown ? " unknown" : ""));
                    Bytes env = random_bytes(rng, len_env);
                    env[0] = static_cast<unsigned char>(pad);
                    Bytes expect;
                    const int rc =
                        call(p.open, key, env, expect, static_cast<uint32_t>(env.size()));
                    sealkit_stream *s = nullptr;
                    const int rc_new = sealkit_stream_new(
                        &s, k.get(), SEALKIT_OPEN,
                        unknown ? SEALKIT_TOTAL_UNKNOWN : static_cast<uint32_t>(env.size()));
                    const StreamPtr guard(s);
                    if (!unknown && rc_new != SEALKIT_OK) {
                        EXPECT_EQ(rc_new, rc);
                        continue;
                    }
                    Bytes out(env.size() + 16);
                    uint32_t len = static_cast<uint32_t>(out.size());
                    const int rc_up = sealkit_stream_update(
                        s, env.data(), static_cast<uint32_t>(env.size()), out.data(), &len);
                    if (!unknown && rc_up != SEALKIT_OK) {
                        EXPECT_EQ(rc_up, rc);
                        continue;
                    }
                    ASSERT_EQ(rc_up, SEALKIT_OK);
                    uint32_t tail = 16;
                    EXPECT_EQ(sealkit_stream_final(s, out.data() + len, &tail), rc);
                    if (rc != SEALKIT_OK) continue;
                    out.resize(len + tail);
                    EXPECT_EQ(out, expect);
                }
    }
}

// Two threads on one key object: every result is right, or SEALKIT_ERR_BUSY
// with nothing written.
TEST(Keyed, TwoThreadsOnOneKeyGetRightBytesOrBusy) {
    const Bytes key(16, 0x44);
    for (const Pair &p : kPairs) {
        const KeyPtr k = make_key(p, key);
        std::atomic<int> wrong{0}, busy{0};
        auto work = [&](unsigned seed) {
            std::mt19937 rng(seed);
            for (int i = 0; i < 4000; ++i) {
                const Bytes plain = random_bytes(rng, 1 + rng() % 100);
                const Bytes expect = seal(p, key, plain);
                Bytes out(expect.size(), 0xEE);
                auto len = static_cast<uint32_t>(out.size());
                const int rc = sealkit_seal(k.get(), plain.data(),
                                            static_cast<uint32_t>(plain.size()), out.data(), &len);
                if (rc == SEALKIT_ERR_BUSY) {
                    ++busy;
                    if (len != out.size() || out != Bytes(expect.size(), 0xEE)) ++wrong;
                } else if (rc != SEALKIT_OK || out != expect) {
                    ++wrong;
                }
            }
        };
        std::thread a(work, 1), b(work, 2);
        a.join();
        b.join();
        EXPECT_EQ(wrong.load(), 0) << p.name;
        std::printf("%s: %d of 8000 calls found the key busy\n", p.name, busy.load());
    }
}

// Two threads on one sealer, as a caller that breaks the one-thread rule by
// mistake: 1 MiB + 15 byte chunks, the size that overran the stream's buffer
// before streams had a busy flag. Each update is taken whole or refused with
// SEALKIT_ERR_BUSY and nothing written, so what comes out is exactly the
// envelope of the chunks taken (the sanitizer build checks the memory).
TEST(Keyed, TwoThreadsOnOneStreamGetBusyNeverMixedState) {
    const KeyPtr k = make_key(kPairs[1], Bytes(16, 0x45));
    const Bytes chunk((size_t{1} << 20) + 15, 0x5A);
    const auto n = static_cast<uint32_t>(chunk.size());
    sealkit_stream *raw = nullptr;
    ASSERT_EQ(sealkit_stream_new(&raw, k.get(), SEALKIT_SEAL, SEALKIT_TOTAL_UNKNOWN), SEALKIT_OK);
    const StreamPtr s(raw);
    std::atomic<uint64_t> written{0};
    std::atomic<int> taken{0}, busy{0}, wrong{0}, ready{0};
    auto work = [&] {
        Bytes out(n + 16);
        for (++ready; ready < 2;) {  // both start together
        }
        // At least 10 rounds each, and on until the threads have met (at
        // most 1,000 rounds: 2 GiB in all, below the largest envelope).
        for (int round = 0; round < 1000 && (round < 10 || busy == 0); ++round) {
            std::fill(out.begin(), out.end(), 0xEE);
            uint32_t len = n + 16;
            const int rc = sealkit_stream_update(s.get(), chunk.data(), n, out.data(), &len);
            if (rc == SEALKIT_ERR_BUSY) {
                ++busy;
                if (len != n + 16 || out != Bytes(n + 16, 0xEE)) ++wrong;
            } else if (rc == SEALKIT_OK) {
                written += len;
                ++taken;
            } else {
                ++wrong;
            }
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    unsigned char last[16];
    uint32_t len = sizeof last;
    ASSERT_EQ(sealkit_stream_final(s.get(), last, &len), SEALKIT_OK);
    EXPECT_EQ(written + len, envelope_len(uint64_t{n} * static_cast<uint64_t>(taken.load()), 16));
    EXPECT_GT(busy.load(), 0);
    std::printf("%d of %d updates found the stream busy\n", busy.load(), busy + taken);
}

TEST(Keyed, KeyAndStreamContract) {
    const Bytes key(16, 1);
    const unsigned char *kp = key.data();
    struct Case {
        const char *what;
        int cipher;
        const unsigned char *key;
        uint32_t key_len = 0;
        int expect = SEALKIT_OK;
    };
    const Case cases[] = {
        {.what = "ok", .cipher = SEALKIT_CIPHER_AES_CBC, .key = kp, .key_len = 16},
        {.what = "cipher 0", .cipher = 0, .key = kp, .key_len = 16, .expect = SEALKIT_ERR_CIPHER},
        {.what = "cipher 5", .cipher = 5, .key = kp, .key_len = 16, .expect = SEALKIT_ERR_CIPHER},
        {.what = "cipher before key", .cipher = 9, .key = nullptr, .expect = SEALKIT_ERR_CIPHER},
        {.what = "builtin with a key",
         .cipher = SEALKIT_CIPHER_BUILTIN,
         .key = kp,
         .expect = SEALKIT_ERR_CIPHER},
        {.what = "builtin with a length",
         .cipher = SEALKIT_CIPHER_BUILTIN,
         .key = nullptr,
         .key_len = 16,
         .expect = SEALKIT_ERR_CIPHER},
        {.what = "builtin", .cipher = SEALKIT_CIPHER_BUILTIN, .key = nullptr},
        {.what = "null key",
         .cipher = SEALKIT_CIPHER_AES_ECB,
         .key = nullptr,
         .key_len = 16,
         .expect = SEALKIT_ERR_NULL},
        {.what = "null key before length",
         .cipher = SEALKIT_CIPHER_BLOWFISH,
         .key = nullptr,
         .expect = SEALKIT_ERR_NULL},
        {.what = "key 15",
         .cipher = SEALKIT_CIPHER_BLOWFISH,
         .key = kp,
         .key_len = 15,
         .expect = SEALKIT_ERR_KEY_LEN},
        {.what = "huge key_len",
         .cipher = SEALKIT_CIPHER_BLOWFISH,
         .key = kp,
         .key_len = UINT32_MAX},
    };
    for (const Case &c : cases) {
        sealkit_key *k = reinterpret_cast<sealkit_key *>(&k);  // a marker: must stay
        sealkit_key *const before = k;
        const int rc = sealkit_key_new(&k, static_cast<sealkit_cipher>(c.cipher), c.key, c.key_len);
        EXPECT_EQ(rc, c.expect) << c.what;
        if (rc == SEALKIT_OK) {
            sealkit_key_free(k);
        } else {
            EXPECT_EQ(k, before) << c.what;
        }
    }
    EXPECT_EQ(sealkit_key_new(nullptr, SEALKIT_CIPHER_AES_ECB, kp, 16), SEALKIT_ERR_NULL);

    const KeyPtr k = make_key(kPairs[1], key);
    sealkit_stream *s = nullptr;
    const struct {
        sealkit_key *key;
        int direction;
        uint32_t total;
        int expect;
    } streams[] = {
        {nullptr, SEALKIT_SEAL, 1, SEALKIT_ERR_NULL},
        {k.get(), 3, 1, SEALKIT_ERR_CIPHER},
        {k.get(), SEALKIT_SEAL, 0, SEALKIT_ERR_EMPTY},
        {k.get(), SEALKIT_SEAL, UINT32_MAX - 1, SEALKIT_ERR_CAPACITY},
        {k.get(), SEALKIT_SEAL, UINT32_MAX - 15, SEALKIT_OK},
        {k.get(), SEALKIT_SEAL, SEALKIT_TOTAL_UNKNOWN, SEALKIT_OK},
        {k.get(), SEALKIT_OPEN, SEALKIT_TOTAL_UNKNOWN, SEALKIT_OK},
        {k.get(), SEALKIT_OPEN, 16, SEALKIT_ERR_NOT_ENVELOPE},
        {k.get(), SEALKIT_OPEN, 1, SEALKIT_OK},
    };
    for (const auto &c : streams) {
        const int rc =
            sealkit_stream_new(&s, c.key, static_cast<sealkit_direction>(c.direction), c.total);
        EXPECT_EQ(rc, c.expect) << c.direction << " " << c.total;
        if (rc == SEALKIT_OK) sealkit_stream_free(s);
    }

    // Wrong totals end the stream; a short capacity does not.
    unsigned char in[40] = {0}, out[64];
    ASSERT_EQ(sealkit_stream_new(&s, k.get(), SEALKIT_SEAL, 20), SEALKIT_OK);
    const StreamPtr guard(s);
    uint32_t len = 16;  // needs 17: the pad byte and one block
    EXPECT_EQ(sealkit_stream_update(s, in, 16, out, &len), SEALKIT_ERR_CAPACITY);
    EXPECT_EQ(len, 16u);
    len = 0;
    EXPECT_EQ(sealkit_stream_update(s, nullptr, 0, nullptr, &len), SEALKIT_OK);
    EXPECT_EQ(sealkit_stream_update(s, nullptr, 1, out, &len), SEALKIT_ERR_NULL);
    len = sizeof out;
    EXPECT_EQ(sealkit_stream_update(s, in, 19, out, &len), SEALKIT_OK);
    EXPECT_EQ(len, 17u);
    len = sizeof out;
    EXPECT_EQ(sealkit_stream_final(s, out, &len), SEALKIT_ERR_LENGTH);
    EXPECT_EQ(sealkit_stream_update(s, in, 1, out, &len), SEALKIT_ERR_LENGTH);  // dead

    ASSERT_EQ(sealkit_stream_new(&s, k.get(), SEALKIT_SEAL, 20), SEALKIT_OK);
    const StreamPtr guard2(s);
    EXPECT_EQ(sealkit_stream_update(s, in, 21, out, &len), SEALKIT_ERR_LENGTH);
    EXPECT_EQ(sealkit_stream_update(s, in, 1, out, &len), SEALKIT_ERR_LENGTH);

    // The first byte: only of a sealing stream, only after a good final.
    unsigned char first = 0x5A;
    sealkit_stream *opener = nullptr, *sealer = nullptr, *empty = nullptr;
    ASSERT_EQ(sealkit_stream_new(&opener, k.get(), SEALKIT_OPEN, SEALKIT_TOTAL_UNKNOWN),
              SEALKIT_OK);
    ASSERT_EQ(sealkit_stream_new(&sealer, k.get(), SEALKIT_SEAL, SEALKIT_TOTAL_UNKNOWN),
              SEALKIT_OK);
    ASSERT_EQ(sealkit_stream_new(&empty, k.get(), SEALKIT_SEAL, SEALKIT_TOTAL_UNKNOWN), SEALKIT_OK);
    const StreamPtr g3(opener), g4(sealer), g5(empty);
    EXPECT_EQ(sealkit_stream_first_byte(nullptr, &first), SEALKIT_ERR_NULL);
    EXPECT_EQ(sealkit_stream_first_byte(sealer, nullptr), SEALKIT_ERR_NULL);
    EXPECT_EQ(sealkit_stream_first_byte(opener, &first), SEALKIT_ERR_CIPHER);
    len = sizeof out;
    ASSERT_EQ(sealkit_stream_update(sealer, in, 20, out, &len), SEALKIT_OK);
    EXPECT_EQ(sealkit_stream_first_byte(sealer, &first), SEALKIT_ERR_LENGTH);
    len = sizeof out;
    ASSERT_EQ(sealkit_stream_final(sealer, out, &len), SEALKIT_OK);
    EXPECT_EQ(sealkit_stream_first_byte(sealer, &first), SEALKIT_OK);
    EXPECT_EQ(first, 12);
    len = sizeof out;
    EXPECT_EQ(sealkit_stream_final(empty, out, &len), SEALKIT_ERR_EMPTY);
    EXPECT_EQ(sealkit_stream_first_byte(empty, &first), SEALKIT_ERR_LENGTH);
}

TEST(Keyed, StrerrorAndVersion) {
    for (int rc = SEALKIT_ERR_LENGTH; rc <= SEALKIT_OK; ++rc)
        EXPECT_STRNE(sealkit_strerror(rc), "unknown result") << rc;
    for (int rc : {1, -10, INT_MIN, INT_MAX}) EXPECT_STREQ(sealkit_strerror(rc), "unknown result");
    EXPECT_EQ(std::string(sealkit_version()), std::to_string(SEALKIT_VERSION_MAJOR) + "." +
                                                  std::to_string(SEALKIT_VERSION_MINOR) + "." +
                                                  std::to_string(SEALKIT_VERSION_PATCH));
}

}  // namespace
