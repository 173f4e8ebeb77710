// SPDX-License-Identifier: MIT
// What the other suites could let through: an overlap of two threads made
// certain, libcrypto failing in the middle of a call (through the
// failing-cipher seam, which is why this is a program of its own), stream
// capacities to the byte, and the 32-bit limit of a stream of unknown length.
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <memory>
#include <thread>

#include "failing_cipher.h"
#include "support.h"

using namespace sktest;

namespace {

using KeyPtr = std::unique_ptr<sealkit_key, decltype(&sealkit_key_free)>;
using StreamPtr = std::unique_ptr<sealkit_stream, decltype(&sealkit_stream_free)>;

KeyPtr make_key(sealkit_cipher id, const Bytes &key) {
    sealkit_key *k = nullptr;
    const bool keyed = id != SEALKIT_CIPHER_BUILTIN;
    EXPECT_EQ(sealkit_key_new(&k, id, keyed ? key.data() : nullptr,
                              keyed ? static_cast<uint32_t>(key.size()) : 0),
              SEALKIT_OK);
    return KeyPtr(k, sealkit_key_free);
}

StreamPtr make_stream(sealkit_key *k, sealkit_direction d, uint32_t total) {
    sealkit_stream *s = nullptr;
    EXPECT_EQ(sealkit_stream_new(&s, k, d, total), SEALKIT_OK);
    return StreamPtr(s, sealkit_stream_free);
}

// One thread holds the key in a long call while the other calls: the
// second must find it busy, also when both share one core.
TEST(Faults, ASecondCallDuringALongOneFindsTheKeyBusy) {
    const Bytes key(32, 7), big(64 << 20, 1);
    Bytes big_out(big.size() + 16);
    cpu_set_t all{};
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    for (const bool one_core : {false, true}) {
        SCOPED_TRACE(one_core ? "one core" : "all cores");
        if (one_core) {  // threads made from here on inherit it
            cpu_set_t first{};
            CPU_SET(0, &first);
            ASSERT_EQ(sched_setaffinity(0, sizeof first, &first), 0);
        }
        const KeyPtr k = make_key(SEALKIT_CIPHER_AES_CBC, key);
        std::atomic<bool> done{false};
        std::thread holder([&] {
            int rc = SEALKIT_ERR_BUSY;
            while (rc == SEALKIT_ERR_BUSY) {  // until it has the key, for one long call
                auto len = static_cast<uint32_t>(big_out.size());
                rc = sealkit_seal(k.get(), big.data(), static_cast<uint32_t>(big.size()),
                                  big_out.data(), &len);
            }
            EXPECT_EQ(rc, SEALKIT_OK);
            done = true;
        });
        int busy = 0;  // calls that found the key held; the holder's own are not counted
        while (!done) {
            unsigned char out[17];
            uint32_t len = sizeof out;
            const unsigned char in[16] = {0};
            busy += sealkit_seal(k.get(), in, sizeof in, out, &len) == SEALKIT_ERR_BUSY;
        }
        holder.join();
        ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
        EXPECT_GT(busy, 0);
    }
}

// A failed cipher update: -4, no ciphertext left in the output, *len as it
// was; the key object's next call gives the one-shot bytes; a stream ends.
TEST(Faults, ACipherFailureMidCallLeavesNothingAndTheKeyRecovers) {
    const Bytes key(24, 3);
    std::mt19937 rng(21);
    for (const Pair &p : kPairs) {
        if (p.cipher != Cipher::kAes) continue;  // Blowfish runs outside EVP
        SCOPED_TRACE(p.name);
        const KeyPtr k = make_key(p.id, key);
        const Bytes plain = random_bytes(rng, 100), expect = seal(p, key, plain);
        for (int nth : {1, 2}) {  // the first block run, or the zero-completed tail
            Bytes out(expect.size(), 0xC3);
            auto len = static_cast<uint32_t>(out.size());
            fail_cipher_update(nth);
            EXPECT_EQ(sealkit_seal(k.get(), plain.data(), 100, out.data(), &len),
                      SEALKIT_ERR_KEY_SCHEDULE);
            fail_cipher_update(0);
            EXPECT_EQ(len, expect.size());
            for (size_t i = 0; i < out.size(); ++i)
                ASSERT_TRUE(out[i] == 0xC3 || out[i] == 0) << "byte " << i << " left behind";
            ASSERT_EQ(sealkit_seal(k.get(), plain.data(), 100, out.data(), &len), SEALKIT_OK);
            EXPECT_EQ(out, expect);
        }
        Bytes one_shot;
        fail_cipher_update(1);
        EXPECT_EQ(call(p.seal, key, plain, one_shot, static_cast<uint32_t>(expect.size())),
                  SEALKIT_ERR_KEY_SCHEDULE);
        fail_cipher_update(0);

        const StreamPtr s = make_stream(k.get(), SEALKIT_SEAL, 100);
        Bytes out(200);
        auto len = static_cast<uint32_t>(out.size());
        fail_cipher_update(1);
        EXPECT_EQ(sealkit_stream_update(s.get(), plain.data(), 50, out.data(), &len),
                  SEALKIT_ERR_KEY_SCHEDULE);
        fail_cipher_update(0);
        EXPECT_EQ(sealkit_stream_update(s.get(), plain.data(), 50, out.data(), &len),
                  SEALKIT_ERR_LENGTH);
    }
}

// Stream calls with exactly the room they need, and one byte less: never a
// byte past the room, and one short gives -2 and leaves the stream as it was.
TEST(Faults, StreamsWriteExactlyTheRoomTheyNeed) {
    struct Step {
        uint32_t in;    // bytes fed; kFinal: the final call
        uint32_t need;  // bytes it writes
    };
    constexpr uint32_t kFinal = UINT32_MAX;
    struct Case {
        const char *what;
        sealkit_direction dir;
        uint32_t total;  // SEALKIT_TOTAL_UNKNOWN for none
        unsigned char pad;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"seal 40", SEALKIT_SEAL, 40, 0, {{1, 1}, {15, 16}, {20, 16}, {4, 0}, {kFinal, 16}}},
        {"seal, unknown",
         SEALKIT_SEAL,
         SEALKIT_TOTAL_UNKNOWN,
         0,
         {{17, 17}, {23, 16}, {kFinal, 16}}},
        // 49-byte envelopes: the pad byte, then three blocks; the last held back.
        {"open 49, pad 5",
         SEALKIT_OPEN,
         49,
         5,
         {{1, 0}, {16, 0}, {17, 16}, {15, 16}, {kFinal, 11}}},
        // A pad count of 20 spans two blocks: both are held back.
        {"open, unknown, pad 20",
         SEALKIT_OPEN,
         SEALKIT_TOTAL_UNKNOWN,
         20,
         {{1, 0}, {32, 0}, {16, 16}, {kFinal, 12}}},
    };
    const Bytes key(16, 9);
    std::mt19937 rng(22);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const KeyPtr k = make_key(SEALKIT_CIPHER_AES_CBC, key);
        const StreamPtr s = make_stream(k.get(), c.dir, c.total);
        Bytes in = random_bytes(rng, 64);
        if (c.dir == SEALKIT_OPEN) in[0] = c.pad;
        size_t at = 0;
        for (const Step &step : c.steps) {
            const bool final = step.in == kFinal;
            SCOPED_TRACE(final ? std::string("final") : "update of " + std::to_string(step.in));
            for (const uint32_t room : {step.need - 1, step.need}) {
                if (room == UINT32_MAX) continue;  // need 0: nothing shorter
                Bytes out(room + 8, 0x5A);         // canaries past the room
                uint32_t len = room;
                const int rc = final ? sealkit_stream_final(s.get(), out.data(), &len)
                                     : sealkit_stream_update(s.get(), in.data() + at, step.in,
                                                             out.data(), &len);
                EXPECT_EQ(rc, room < step.need ? SEALKIT_ERR_CAPACITY : SEALKIT_OK);
                EXPECT_EQ(len, room);
                EXPECT_EQ(Bytes(out.begin() + room, out.end()), Bytes(8, 0x5A));
                if (room < step.need) {
                    EXPECT_EQ(out, Bytes(room + 8, 0x5A));
                }
            }
            if (!final) at += step.in;
        }
    }
}

// Sealing with the total unknown takes the largest plaintext a 32-bit
// envelope holds, and not one byte more; then the stream is dead.
TEST(Faults, AStreamOfUnknownLengthStopsAtTheLargestEnvelope) {
    const KeyPtr k = make_key(SEALKIT_CIPHER_AES_ECB, Bytes(16, 1));
    const StreamPtr s = make_stream(k.get(), SEALKIT_SEAL, SEALKIT_TOTAL_UNKNOWN);
    const uint32_t chunk = 64u << 20;
    const Bytes in(chunk, 0);
    Bytes out(chunk + 16);
    uint64_t left = uint64_t{UINT32_MAX} - 15;  // 2^32 - 16: the envelope is 2^32 - 15
    while (left > 0) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(left, chunk));
        auto len = static_cast<uint32_t>(out.size());
        ASSERT_EQ(sealkit_stream_update(s.get(), in.data(), n, out.data(), &len), SEALKIT_OK);
        left -= n;
    }
    out.assign(out.size(), 0x5A);
    auto len = static_cast<uint32_t>(out.size());
    EXPECT_EQ(sealkit_stream_update(s.get(), in.data(), 1, out.data(), &len), SEALKIT_ERR_LENGTH);
    EXPECT_EQ(out, Bytes(chunk + 16, 0x5A));
    EXPECT_EQ(sealkit_stream_final(s.get(), out.data(), &len), SEALKIT_ERR_LENGTH);
}

}  // namespace
