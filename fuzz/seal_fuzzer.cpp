// SPDX-License-Identifier: MIT
// Every seal function against libcrypto used directly, and opened again.
//
// Input: [pair][key_len - 16][capacity one short?][key bytes][plaintext]
#include <cstdint>
#include <cstring>

#include "fuzz_common.h"

using fz::Bytes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const sktest::Pair &p = sktest::kPairs[data[0] % 4];
    const uint32_t key_len = 16u + data[1] % 64u;
    const bool short_capacity = data[2] % 16 == 0;
    data += 3;
    size -= 3;
    Bytes key(key_len);
    const size_t from_input = std::min<size_t>(key_len, size);
    if (from_input > 0) memcpy(key.data(), data, from_input);
    const Bytes plain(data + from_input, data + size);

    const uint32_t env_len = sktest::envelope_len(plain.size(), p.block);
    const uint32_t capacity = short_capacity ? env_len - 1 : env_len;
    auto *dst = static_cast<unsigned char *>(malloc(capacity == 0 ? 1 : capacity));
    memset(dst, 0xC5, capacity);
    uint32_t len = capacity;
    // A plaintext may be empty; its buffer is then a valid, unread pointer.
    const unsigned char one = 0;
    const int rc = p.seal(key.data(), key_len, plain.empty() ? &one : plain.data(),
                          static_cast<uint32_t>(plain.size()), dst, &len);

    if (plain.empty()) {
        fz::check(rc == -5, "empty plaintext not refused");
    } else if (short_capacity) {
        fz::check(rc == -2 && len == capacity, "short capacity not refused");
        for (uint32_t i = 0; i < capacity; ++i) fz::check(dst[i] == 0xC5, "dst written on -2");
    } else {
        fz::check(rc == 0 && len == env_len, "seal failed");
        const Bytes envelope(dst, dst + len);
        fz::check(envelope[0] == p.block - plain.size() % p.block, "wrong pad byte");
        const Bytes expect =
            sktest::reference_blocks(p, key, sktest::zero_complete(plain, p.block), true);
        fz::check(memcmp(dst + 1, expect.data(), expect.size()) == 0, "differs from libcrypto");
        fz::check(sktest::open(p, key, envelope) == plain, "does not open to the plaintext");
    }
    free(dst);
    return 0;
}
