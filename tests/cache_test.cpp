// Each thread keeps one cipher context per AES cipher and re-keys it on every
// call. Whatever ran on a thread before, a call must give what a fresh
// context gives.
#include <gtest/gtest.h>

#include "support.h"

using namespace sktest;

namespace {

const Bytes kBuiltinKey = hex("9d3c75b9780d956c0d31c8c56dbc6529d8fd85ac3d4128f57d3c955938adf5ec");

TEST(ThreadCache, AnyMixOfCiphersKeySizesAndDirectionsMatchesAFreshContext) {
    std::mt19937 rng(1234);
    for (int step = 0; step < 3000; ++step) {
        const Pair &p = kPairs[rng() % 3];  // the AES pairs
        const bool cbc = p.seal != CRYPTO1_encrypt;
        const Bytes key = p.takes_key ? random_bytes(rng, 16 + rng() % 24) : kBuiltinKey;
        const Bytes evp_key = p.takes_key ? aes_effective_key(key) : kBuiltinKey;
        const size_t blocks = 1 + rng() % 6;
        SCOPED_TRACE(std::string(p.name) + " step " + std::to_string(step));
        if (rng() % 2) {
            const Bytes plain = random_bytes(rng, blocks * 16 - rng() % 16);
            const Bytes expect = concat({static_cast<unsigned char>(16 - plain.size() % 16)},
                                        evp_aes(cbc, evp_key, zero_complete(plain, 16), true));
            ASSERT_EQ(to_hex(seal(p, key, plain)), to_hex(expect));
        } else {
            const Bytes blocks_in = random_bytes(rng, blocks * 16);
            const auto pad = static_cast<unsigned char>(rng() % 17);
            Bytes expect = evp_aes(cbc, evp_key, blocks_in, false);
            expect.resize(expect.size() - (pad == 16 ? 0 : pad));
            ASSERT_EQ(to_hex(open(p, key, concat({pad}, blocks_in))), to_hex(expect));
        }
    }
}

}  // namespace
