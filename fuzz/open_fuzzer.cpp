// SPDX-License-Identifier: MIT
// Every open function on arbitrary envelopes, keys and capacities. dst is
// allocated at exactly the stated capacity, so any write past it is caught.
//
// Input: [pair][key_len][capacity delta, signed][null flags][key bytes][envelope]
#include <cstdint>
#include <cstring>

#include "fuzz_common.h"

using fz::Bytes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const sktest::Pair &p = sktest::kPairs[data[0] % 4];
    const uint32_t key_len = data[1];
    const int delta = static_cast<int8_t>(data[2]);
    const uint8_t nulls = data[3];
    data += 4;
    size -= 4;

    // The key buffer holds exactly key_len bytes, zero where input ran out.
    Bytes key(key_len);
    const size_t from_input = std::min<size_t>(key_len, size);
    if (from_input > 0) memcpy(key.data(), data, from_input);
    data += from_input;
    size -= from_input;
    const Bytes src(data, data + size);

    const long cap_l = static_cast<long>(src.size()) + delta;
    const uint32_t capacity = cap_l < 0 ? 0 : static_cast<uint32_t>(cap_l);
    auto *dst = static_cast<unsigned char *>(malloc(capacity == 0 ? 1 : capacity));
    memset(dst, 0xC5, capacity);
    const Bytes before(dst, dst + capacity);

    // Null pointers, rarely: bits 0..2 of the flags byte when bit 7 is set.
    const bool null_key = (nulls & 0x81) == 0x81, null_src = (nulls & 0x82) == 0x82,
               null_dst = (nulls & 0x84) == 0x84;
    // An empty vector's data() may be null; an empty buffer is not.
    static const unsigned char empty = 0;
    const unsigned char *key_p = key.empty() ? &empty : key.data();
    const unsigned char *src_p = src.empty() ? &empty : src.data();
    uint32_t len = capacity;
    const int rc = p.open(null_key ? nullptr : key_p, key_len, null_src ? nullptr : src_p,
                          static_cast<uint32_t>(src.size()), null_dst ? nullptr : dst, &len);

    fz::check(rc <= 0 && rc >= -6, "result code outside 0..-6");
    fz::check(rc != -4, "key schedule failure");
    fz::check((rc == -1) == (null_src || null_dst || (null_key && p.takes_key)),
              "-1 exactly when a required pointer is null");
    fz::check(rc != -3 || (p.takes_key && key_len < 16), "-3 without a short key");
    if (rc != 0) {
        fz::check(len == capacity, "*len changed on failure");
        fz::check(capacity == 0 || memcmp(dst, before.data(), capacity) == 0,
                  "dst written on failure");
    } else {
        fz::check(src.size() % p.block == 1, "opened a non-envelope");
        fz::check(len <= src.size() - 1, "*len above the bytes written");
        // The bytes are those libcrypto gives for the blocks.
        const Bytes blocks(src.begin() + 1, src.end());
        const Bytes expect = sktest::reference_blocks(p, key, blocks, false);
        fz::check(expect.empty() || memcmp(dst, expect.data(), expect.size()) == 0,
                  "differs from libcrypto");
    }
    free(dst);
    return 0;
}
