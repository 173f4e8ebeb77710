// The argument contract shared by all eight functions: result codes, the order
// of the checks, capacities, and that nothing is written on failure or past
// the output. dst sits between canary bytes.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "support.h"

using namespace sktest;

namespace {

constexpr size_t kGuard = 32;
constexpr unsigned char kCanary = 0xC5;
constexpr uint32_t kUnset = 0xDEADBEEF;

enum class Dir { kSeal, kOpen };
enum Src { kData, kNullSrc };

struct Case {
    const char *what;
    Dir dir;
    uint32_t src_len;     // length passed; the buffer may be shorter when a check must fail first
    int first_byte;       // for open: the pad-count byte, -1 to leave random
    long capacity_delta;  // capacity = required + delta (required: envelope or src_len)
    uint32_t key_len;
    bool null_key, null_src, null_dst;
    int expect;
    uint32_t expect_len;  // on success
};

struct Outcome {
    int rc;
    uint32_t len;
};

// Calls one function with dst between canaries and checks that exactly the
// bytes it may write were written: none on failure, the output on success.
Outcome run(const Pair &p, const Case &c) {
    std::mt19937 rng(c.src_len);
    // Buffers are never empty, so that only the null cases pass null.
    const Bytes key = random_bytes(rng, c.key_len == 0 ? 1 : c.key_len < 128 ? c.key_len : 128);
    Bytes src = random_bytes(rng, c.src_len == 0 ? 1 : c.src_len < 4096 ? c.src_len : 16);
    if (c.first_byte >= 0 && !src.empty()) src[0] = static_cast<unsigned char>(c.first_byte);

    const uint64_t required =
        c.dir == Dir::kSeal ? sealkit_envelope_len(c.src_len, p.block) : c.src_len;
    const int64_t cap64 = static_cast<int64_t>(required) + c.capacity_delta;
    const uint32_t capacity = cap64 < 0            ? 0
                              : cap64 > UINT32_MAX ? UINT32_MAX
                                                   : static_cast<uint32_t>(cap64);
    // Only small buffers are real; a huge capacity must be refused unread.
    const size_t real = capacity < (1u << 16) ? capacity : 64;
    Bytes buf(kGuard + real + kGuard, kCanary);
    unsigned char *dst = buf.data() + kGuard;

    uint32_t len = capacity;
    const Fn fn = c.dir == Dir::kSeal ? p.seal : p.open;
    const int rc =
        fn(c.null_key ? nullptr : key.data(), c.key_len, c.null_src ? nullptr : src.data(),
           c.src_len, c.null_dst ? nullptr : dst, &len);

    size_t written = 0;
    if (rc == 0)
        written = c.dir == Dir::kSeal ? len : c.src_len - 1;
    else
        EXPECT_EQ(len, capacity) << "*len changed on failure";
    for (size_t i = 0; i < buf.size(); ++i)
        if (i < kGuard || i >= kGuard + written) {
            EXPECT_EQ(buf[i], kCanary) << "byte " << static_cast<long>(i - kGuard) << " of dst";
            if (buf[i] != kCanary) break;
        }
    return {rc, len};
}

// The table, in terms of the pair's block size B.
std::vector<Case> cases(const Pair &p) {
    const uint32_t B = p.block;
    const uint32_t K = 16;  // a valid key length
    const int E = SEALKIT_ERR_NOT_ENVELOPE;
    using D = Dir;
    std::vector<Case> t = {
        // what                               dir     src_len  P   cap  key nk nsrc ndst expect len
        {"seal exact capacity", D::kSeal, 3 * B + 1, -1, 0, K, 0, 0, 0, 0, 4 * B + 1},
        {"seal one byte short", D::kSeal, 3 * B + 1, -1, -1, K, 0, 0, 0, -2, 0},
        {"seal whole blocks needs B*n+1", D::kSeal, 2 * B, -1, 0, K, 0, 0, 0, 0, 2 * B + 1},
        {"seal whole blocks, capacity B*n", D::kSeal, 2 * B, -1, -1, K, 0, 0, 0, -2, 0},
        {"seal one byte", D::kSeal, 1, -1, 0, K, 0, 0, 0, 0, B + 1},
        {"seal spare capacity", D::kSeal, 5, -1, 100, K, 0, 0, 0, 0, B + 1},
        {"seal empty", D::kSeal, 0, -1, 0, K, 0, 0, 0, -5, 0},
        {"seal empty, huge capacity", D::kSeal, 0, -1, 1 << 20, K, 0, 0, 0, -5, 0},
        {"seal null src before empty", D::kSeal, 0, -1, 0, K, 0, 1, 0, -1, 0},
        {"seal null dst", D::kSeal, 10, -1, 0, K, 0, 0, 1, -1, 0},
        {"seal empty before capacity", D::kSeal, 0, -1, -1, K, 0, 0, 0, -5, 0},
        {"seal no 32-bit envelope", D::kSeal, UINT32_MAX, -1, 0, K, 0, 0, 0, -2, 0},
        {"seal first length past 32 bits", D::kSeal, UINT32_MAX - B + 2, -1, 0, K, 0, 0, 0, -2, 0},
        {"seal largest, one byte short", D::kSeal, UINT32_MAX - B + 1, -1, -1, K, 0, 0, 0, -2, 0},
        {"open exact capacity", D::kOpen, 2 * B + 1, 3, 0, K, 0, 0, 0, 0, 2 * B - 3},
        {"open one byte short", D::kOpen, 2 * B + 1, 3, -1, K, 0, 0, 0, -2, 0},
        {"open empty", D::kOpen, 0, -1, 0, K, 0, 0, 0, E, 0},
        {"open null src before length", D::kOpen, 0, -1, 0, K, 0, 1, 0, -1, 0},
        {"open null dst", D::kOpen, B + 1, -1, 0, K, 0, 0, 1, -1, 0},
        {"open length 2", D::kOpen, 2, -1, 0, K, 0, 0, 0, E, 0},
        {"open whole blocks, no pad byte", D::kOpen, 2 * B, -1, 0, K, 0, 0, 0, E, 0},
        {"open length before capacity", D::kOpen, B + 2, -1, -100, K, 0, 0, 0, E, 0},
        {"open lone pad byte B", D::kOpen, 1, static_cast<int>(B), 0, K, 0, 0, 0, 0, 0},
        {"open lone pad byte 0", D::kOpen, 1, 0, 0, K, 0, 0, 0, 0, 0},
        {"open lone pad byte 1 is forged", D::kOpen, 1, 1, 0, K, 0, 0, 0, E, 0},
        {"open lone pad byte B-1 is forged", D::kOpen, 1, static_cast<int>(B - 1), 0, K, 0, 0, 0, E,
         0},
        {"open pad 0 keeps all blocks", D::kOpen, 3 * B + 1, 0, 0, K, 0, 0, 0, 0, 3 * B},
        {"open pad B keeps all blocks", D::kOpen, 3 * B + 1, static_cast<int>(B), 0, K, 0, 0, 0, 0,
         3 * B},
        {"open pad above B, within blocks", D::kOpen, 2 * B + 1, static_cast<int>(B + 1), 0, K, 0,
         0, 0, 0, B - 1},
        {"open pad equal to the blocks", D::kOpen, 2 * B + 1, static_cast<int>(2 * B), 0, K, 0, 0,
         0, 0, 0},
        {"open pad above the blocks", D::kOpen, B + 1, static_cast<int>(B + 1), 0, K, 0, 0, 0, E,
         0},
        {"open pad 255 in 256 bytes", D::kOpen, 257, 255, 0, K, 0, 0, 0, 0, 1},
        {"open forged pad, short capacity", D::kOpen, 1, 1, -1, K, 0, 0, 0, -2, 0},
    };
    if (p.takes_key) {
        const std::vector<Case> keyed = {
            {"seal null key", D::kSeal, 10, -1, 0, K, 1, 0, 0, -1, 0},
            {"seal null key before empty", D::kSeal, 0, -1, 0, 0, 1, 0, 0, -1, 0},
            {"seal key 15", D::kSeal, 10, -1, 0, 15, 0, 0, 0, -3, 0},
            {"seal key 0", D::kSeal, 10, -1, 0, 0, 0, 0, 0, -3, 0},
            {"seal capacity before key", D::kSeal, 10, -1, -1, 15, 0, 0, 0, -2, 0},
            {"seal empty before key", D::kSeal, 0, -1, 0, 15, 0, 0, 0, -5, 0},
            {"seal huge key_len", D::kSeal, 10, -1, 0, UINT32_MAX, 0, 0, 0, 0, 17},
            {"open null key", D::kOpen, B + 1, -1, 0, K, 1, 0, 0, -1, 0},
            {"open key 15", D::kOpen, B + 1, static_cast<int>(B), 0, 15, 0, 0, 0, -3, 0},
            {"open length before key", D::kOpen, B, -1, 0, 15, 0, 0, 0, E, 0},
            {"open capacity before key", D::kOpen, B + 1, -1, -1, 15, 0, 0, 0, -2, 0},
            {"open key before forged pad", D::kOpen, 1, 1, 0, 15, 0, 0, 0, -3, 0},
            {"open huge key_len", D::kOpen, B + 1, static_cast<int>(B), 0, UINT32_MAX, 0, 0, 0, 0,
             B},
        };
        t.insert(t.end(), keyed.begin(), keyed.end());
    }
    return t;
}

TEST(Contract, EveryCaseOfEveryPair) {
    for (const Pair &p : kPairs)
        for (const Case &c : cases(p)) {
            SCOPED_TRACE(std::string(p.name) + ": " + c.what);
            const Outcome o = run(p, c);
            EXPECT_EQ(o.rc, c.expect);
            if (o.rc == 0) {
                EXPECT_EQ(o.len, c.expect_len);
            }
        }
}

// A null len is refused like the other pointers, before anything else.
TEST(Contract, NullLenIsRefused) {
    const unsigned char key[16] = {1}, src[17] = {16};
    for (const Pair &p : kPairs)
        for (const Fn fn : {p.seal, p.open}) {
            unsigned char dst[32];
            memset(dst, kCanary, sizeof dst);
            EXPECT_EQ(fn(key, 16, src, 17, dst, nullptr), SEALKIT_ERR_NULL) << p.name;
            EXPECT_EQ(fn(key, 16, src, 0, dst, nullptr), SEALKIT_ERR_NULL) << p.name;
            for (unsigned char b : dst) EXPECT_EQ(b, kCanary);
        }
}

// A lone pad byte of B or 0 opens to nothing and writes nothing.
TEST(Contract, LonePadByteWritesNothing) {
    for (const Pair &p : kPairs)
        for (unsigned char pad :
             {static_cast<unsigned char>(p.block), static_cast<unsigned char>(0)}) {
            const unsigned char key[16] = {1};
            unsigned char dst[4] = {kCanary, kCanary, kCanary, kCanary};
            uint32_t len = 1;
            ASSERT_EQ(p.open(key, 16, &pad, 1, dst + 1, &len), 0) << p.name;
            EXPECT_EQ(len, 0u);
            for (unsigned char b : dst) EXPECT_EQ(b, kCanary);
        }
}

}  // namespace
