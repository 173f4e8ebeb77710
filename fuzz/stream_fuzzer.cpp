// SPDX-License-Identifier: MIT
// Streams under random chunkings and totals, against the one-shot pairs.
//
// Input: [pair][direction, key_len - 16][total][chunk seed][key bytes][data]
// The data is a plaintext when sealing, an envelope when opening. The total
// byte announces the right total, a wrong one (which must end in
// SEALKIT_ERR_LENGTH), or none: SEALKIT_TOTAL_UNKNOWN, where an envelope to
// open may have any length and a sealed one gets its first byte after
// final. Otherwise the outputs joined must equal the one-shot result, and no
// update may write more than in_len + 16 bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_common.h"

using fz::Bytes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const sktest::Pair &p = sktest::kPairs[data[0] % 4];
    const bool seal = (data[1] & 0x80) == 0;
    const uint32_t key_len = 16u + (data[1] & 0x3fu);
    const int delta = data[2] % 8 == 0 ? static_cast<int>(data[2] % 3) - 1 : 0;
    const bool unknown = data[2] % 8 == 1;
    uint32_t seed = data[3];
    data += 4;
    size -= 4;
    Bytes key(key_len, 0x5a);
    const size_t from_input = std::min<size_t>(p.takes_key ? key_len : 0, size);
    if (from_input > 0) memcpy(key.data(), data, from_input);
    Bytes in(data + from_input, data + size);
    if (!seal && !unknown) in.resize(in.empty() ? 0 : (in.size() - 1) / p.block * p.block + 1);
    if (in.empty()) return 0;

    sealkit_key *k = nullptr;
    fz::check(sealkit_key_new(&k, p.id, p.takes_key ? key.data() : nullptr,
                              p.takes_key ? key_len : 0) == SEALKIT_OK,
              "key_new failed");
    const int64_t total =
        static_cast<int64_t>(in.size()) + (seal ? delta : delta * static_cast<int>(p.block));
    if (total <= 0) {
        sealkit_key_free(k);
        return 0;
    }
    sealkit_stream *s = nullptr;
    const int rc_new =
        sealkit_stream_new(&s, k, seal ? SEALKIT_SEAL : SEALKIT_OPEN,
                           unknown ? SEALKIT_TOTAL_UNKNOWN : static_cast<uint32_t>(total));
    sealkit_key_free(k);  // the stream must not need it
    fz::check(rc_new == SEALKIT_OK, "stream_new failed");

    Bytes joined;
    int rc = SEALKIT_OK;
    for (size_t at = 0; at < in.size() && rc == SEALKIT_OK;) {
        seed = seed * 1103515245u + 12345u;
        const size_t n = std::min<size_t>((seed >> 16) % (seed % 5 == 0 ? 4 : 300), in.size() - at);
        auto *out = static_cast<unsigned char *>(malloc(n + 16));  // exactly the promised room
        uint32_t len = static_cast<uint32_t>(n + 16);
        rc = sealkit_stream_update(s, in.data() + at, static_cast<uint32_t>(n), out, &len);
        if (rc == SEALKIT_OK) {
            fz::check(len <= n + 16, "update wrote past in_len + 16");
            joined.insert(joined.end(), out, out + len);
        }
        free(out);
        at += n;
    }
    if (rc == SEALKIT_OK) {
        unsigned char out[16];
        uint32_t len = sizeof out;
        rc = sealkit_stream_final(s, out, &len);
        if (rc == SEALKIT_OK) joined.insert(joined.end(), out, out + len);
    }
    if (rc == SEALKIT_OK && seal && unknown) {
        fz::check(joined[0] == SEALKIT_PLACEHOLDER, "no placeholder");
        fz::check(sealkit_stream_first_byte(s, joined.data()) == SEALKIT_OK, "no first byte");
    }
    sealkit_stream_free(s);

    if (delta != 0) {
        // Opening may meet a pad count that the announced total makes forged first.
        fz::check(rc == SEALKIT_ERR_LENGTH || (!seal && rc == SEALKIT_ERR_NOT_ENVELOPE),
                  "a wrong total was not refused");
        return 0;
    }
    Bytes expect;
    const uint32_t capacity =
        seal ? sktest::envelope_len(in.size(), p.block) : static_cast<uint32_t>(in.size());
    const int rc_one = sktest::call(seal ? p.seal : p.open, key, in, expect, capacity);
    fz::check(rc == rc_one, "stream and one-shot results differ");
    fz::check(rc != SEALKIT_OK || joined == expect, "stream and one-shot bytes differ");
    return 0;
}
