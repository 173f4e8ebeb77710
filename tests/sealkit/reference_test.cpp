// SPDX-License-Identifier: MIT
// Every pair against libcrypto used directly (EVP for AES, BF_* for Blowfish)
// on random plaintexts and keys, and the relations between the pairs.
#include <gtest/gtest.h>

#include "support.h"

using namespace sktest;

namespace {

TEST(Reference, RandomPlaintextsAndKeysMatchLibcrypto) {
    std::mt19937 rng(2026);
    for (const Pair &p : kPairs) {
        SCOPED_TRACE(p.name);
        for (int round = 0; round < 150; ++round) {
            const size_t n = 1 + rng() % 5000;
            const Bytes key = random_bytes(rng, 16 + rng() % 64);  // 16..79 bytes
            const Bytes plain = random_bytes(rng, n);
            const Bytes env = seal(p, key, plain);
            ASSERT_EQ(env.size(), envelope_len(n, p.block)) << "n=" << n;
            ASSERT_EQ(to_hex(env), to_hex(reference_envelope(p, key, plain)))
                << "n=" << n << " key_len=" << key.size();
            ASSERT_EQ(open(p, key, env), plain) << "n=" << n;
        }
    }
}

TEST(Reference, EveryLengthAroundTheBlockBoundaries) {
    std::mt19937 rng(99);
    const Bytes key = random_bytes(rng, 32);
    for (const Pair &p : kPairs)
        for (size_t n = 1; n <= 3 * p.block + 1; ++n) {
            const Bytes plain = random_bytes(rng, n);
            const Bytes env = seal(p, key, plain);
            ASSERT_EQ(env[0], p.block - n % p.block) << p.name << " n=" << n;
            ASSERT_EQ(to_hex(env), to_hex(reference_envelope(p, key, plain))) << p.name;
            ASSERT_EQ(open(p, key, env), plain) << p.name << " n=" << n;
        }
}

// Opening writes every block byte, the pad zeros included, after the plaintext.
TEST(Reference, OpenWritesThePadZerosAfterThePlaintext) {
    const Bytes key(16, 0x42), plain = {'x'};
    for (const Pair &p : kPairs) {
        const Bytes env = seal(p, key, plain);
        Bytes out(env.size(), 0xEE);
        uint32_t len = static_cast<uint32_t>(out.size());
        ASSERT_EQ(
            p.open(key.data(), 16, env.data(), static_cast<uint32_t>(env.size()), out.data(), &len),
            0);
        EXPECT_EQ(len, 1u);
        Bytes expect = zero_complete(plain, p.block);
        expect.push_back(0xEE);  // one byte of capacity beyond what is written
        EXPECT_EQ(to_hex(out), to_hex(expect)) << p.name;
    }
}

struct KeyCase {
    const char *what;
    size_t pair;
    Bytes a, b;
    bool same;
};

TEST(Reference, KeyLengthRules) {
    std::mt19937 rng(5);
    const Bytes k16 = random_bytes(rng, 16), k24 = random_bytes(rng, 24);
    const Bytes k72 = random_bytes(rng, 72), k32 = random_bytes(rng, 32);
    Bytes k17 = k16;
    k17.push_back(static_cast<unsigned char>(k16[0] ^ 0xFF));
    const KeyCase cases[] = {
        {"AES 16 and 23 bytes use the first 16", 0, k16, concat(k16, Bytes(7, 9)), true},
        {"AES 24 bytes switches to AES-192", 0, k24, Bytes(k24.begin(), k24.begin() + 16), false},
        {"AES 31 bytes is still AES-192", 1, k24, concat(k24, Bytes(7, 1)), true},
        {"AES 33 bytes uses the first 32", 1, k32, concat(k32, {1}), true},
        {"Blowfish 17 bytes differs from 16", 3, k16, k17, false},
        {"Blowfish K and K||K are one key", 3, k16, concat(k16, k16), true},
        {"Blowfish ignores bytes past 72", 3, k72, concat(k72, {1, 2, 3}), true},
    };
    const Bytes plain = random_bytes(rng, 40);
    for (const auto &c : cases) {
        const Pair &p = kPairs[c.pair];
        EXPECT_EQ(seal(p, c.a, plain) == seal(p, c.b, plain), c.same) << c.what;
    }
}

TEST(Reference, ModesRelateAsExpected) {
    std::mt19937 rng(11);
    const Bytes key = random_bytes(rng, 16);
    // Up to one block, zero-IV CBC is ECB.
    for (size_t n = 1; n <= 16; ++n) {
        const Bytes plain = random_bytes(rng, n);
        EXPECT_EQ(seal(kPairs[0], key, plain), seal(kPairs[1], key, plain)) << n;
    }
    // Two equal blocks: equal under ECB, different under CBC.
    const Bytes block = random_bytes(rng, 16), twice = concat(block, block);
    const Bytes ecb = seal(kPairs[0], key, twice), cbc = seal(kPairs[1], key, twice);
    EXPECT_TRUE(std::equal(ecb.begin() + 1, ecb.begin() + 17, ecb.begin() + 17));
    EXPECT_FALSE(std::equal(cbc.begin() + 1, cbc.begin() + 17, cbc.begin() + 17));
    // An ECB envelope opened as CBC is right in its first block only.
    const Bytes plain = random_bytes(rng, 48);
    const Bytes wrong = open(kPairs[1], key, seal(kPairs[0], key, plain));
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 16, wrong.begin()));
    EXPECT_FALSE(std::equal(plain.begin() + 16, plain.end(), wrong.begin() + 16));
    // Sealing is deterministic.
    EXPECT_EQ(seal(kPairs[2], {}, plain), seal(kPairs[2], {}, plain));
}

TEST(Reference, LargeBufferRoundTrips) {
    std::mt19937 rng(3);
    const Bytes key = random_bytes(rng, 32), plain = random_bytes(rng, (1u << 20) + 5);
    for (const Pair &p : kPairs) {
        const Bytes env = seal(p, key, plain);
        EXPECT_EQ(to_hex(env), to_hex(reference_envelope(p, key, plain))) << p.name;
        EXPECT_EQ(open(p, key, env), plain) << p.name;
    }
}

// Each thread keeps one cipher context per AES cipher and re-keys it on every
// call. Whatever ran on the thread before, a call must give what a fresh
// context gives.
TEST(Reference, AnyMixOfCiphersKeySizesAndDirectionsMatchesAFreshContext) {
    std::mt19937 rng(1234);
    for (int step = 0; step < 3000; ++step) {
        const Pair &p = kPairs[rng() % 3];  // the AES pairs
        const Bytes key = random_bytes(rng, 16 + rng() % 24);
        const size_t blocks = 1 + rng() % 6;
        SCOPED_TRACE(std::string(p.name) + " step " + std::to_string(step));
        if (rng() % 2) {
            const Bytes plain = random_bytes(rng, blocks * 16 - rng() % 16);
            ASSERT_EQ(to_hex(seal(p, key, plain)), to_hex(reference_envelope(p, key, plain)));
        } else {
            const Bytes blocks_in = random_bytes(rng, blocks * 16);
            const auto pad = static_cast<unsigned char>(rng() % 17);
            Bytes expect = reference_blocks(p, key, blocks_in, false);
            uint64_t plain_len = 0;
            ASSERT_EQ(sealkit_plaintext_len(blocks_in.size() + 1, pad, 16, &plain_len), SEALKIT_OK);
            expect.resize(plain_len);
            ASSERT_EQ(to_hex(open(p, key, concat({pad}, blocks_in))), to_hex(expect));
        }
    }
}

// The zero IV is set on every call: a chain left over from the call before
// would make the second envelope differ.
TEST(Reference, SameCallTwiceInARowGivesTheSameEnvelope) {
    const Bytes key(32, 0x11), plain(40, 0x22);
    for (const Pair &p : kPairs) EXPECT_EQ(seal(p, key, plain), seal(p, key, plain)) << p.name;
}

}  // namespace
