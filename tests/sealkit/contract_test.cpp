// SPDX-License-Identifier: MIT
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

enum class Dir { kSeal, kOpen };
constexpr uint32_t kKeyLen = 16;  // a valid key length

struct Case {
    const char *what;
    Dir dir;
    uint32_t src_len;     // length passed; the buffer may be shorter when a check must fail first
    int first_byte = -1;  // for open: the pad-count byte, -1 to leave random
    long capacity_delta = 0;  // capacity = required + delta (required: envelope or src_len)
    uint32_t key_len = kKeyLen;
    bool null_key = false, null_src = false, null_dst = false;
    int expect = SEALKIT_OK;
    uint32_t expect_len = 0;  // on success
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
    std::vector<Case> t = {
        {.what = "seal exact capacity",
         .dir = Dir::kSeal,
         .src_len = 3 * B + 1,
         .expect_len = 4 * B + 1},
        {.what = "seal one byte short",
         .dir = Dir::kSeal,
         .src_len = 3 * B + 1,
         .capacity_delta = -1,
         .expect = SEALKIT_ERR_CAPACITY},
        {.what = "seal whole blocks needs B*n+1",
         .dir = Dir::kSeal,
         .src_len = 2 * B,
         .expect_len = 2 * B + 1},
        {.what = "seal whole blocks, capacity B*n",
         .dir = Dir::kSeal,
         .src_len = 2 * B,
         .capacity_delta = -1,
         .expect = SEALKIT_ERR_CAPACITY},
        {.what = "seal one byte", .dir = Dir::kSeal, .src_len = 1, .expect_len = B + 1},
        {.what = "seal spare capacity",
         .dir = Dir::kSeal,
         .src_len = 5,
         .capacity_delta = 100,
         .expect_len = B + 1},
        {.what = "seal empty", .dir = Dir::kSeal, .src_len = 0, .expect = SEALKIT_ERR_EMPTY},
        {.what = "seal empty, huge capacity",
         .dir = Dir::kSeal,
         .src_len = 0,
         .capacity_delta = 1 << 20,
         .expect = SEALKIT_ERR_EMPTY},
        {.what = "seal null src before empty",
         .dir = Dir::kSeal,
         .src_len = 0,
         .null_src = true,
         .expect = SEALKIT_ERR_NULL},
        {.what = "seal null dst",
         .dir = Dir::kSeal,
         .src_len = 10,
         .null_dst = true,
         .expect = SEALKIT_ERR_NULL},
        {.what = "seal empty before capacity",
         .dir = Dir::kSeal,
         .src_len = 0,
         .capacity_delta = -1,
         .expect = SEALKIT_ERR_EMPTY},
        {.what = "seal no 32-bit envelope",
         .dir = Dir::kSeal,
         .src_len = UINT32_MAX,
         .expect = SEALKIT_ERR_CAPACITY},
        {.what = "seal first length past 32 bits",
         .dir = Dir::kSeal,
         .src_len = UINT32_MAX - B + 2,
         .expect = SEALKIT_ERR_CAPACITY},
        {.what = "seal largest, one byte short",
         .dir = Dir::kSeal,
         .src_len = UINT32_MAX - B + 1,
         .capacity_delta = -1,
         .expect = SEALKIT_ERR_CAPACITY},
        {.what = "open exact capacity",
         .dir = Dir::kOpen,
         .src_len = 2 * B + 1,
         .first_byte = 3,
         .expect_len = 2 * B - 3},
        {.what = "open one byte short",
         .dir = Dir::kOpen,
         .src_len = 2 * B + 1,
         .first_byte = 3,
         .capacity_delta = -1,
         .expect = SEALKIT_ERR_CAPACITY},
        {.what = "open empty", .dir = Dir::kOpen, .src_len = 0, .expect = SEALKIT_ERR_NOT_ENVELOPE},
        {.what = "open null src before length",
         .dir = Dir::kOpen,
         .src_len = 0,
         .null_src = true,
         .expect = SEALKIT_ERR_NULL},
        {.what = "open null dst",
         .dir = Dir::kOpen,
         .src_len = B + 1,
         .null_dst = true,
         .expect = SEALKIT_ERR_NULL},
        {.what = "open length 2",
         .dir = Dir::kOpen,
         .src_len = 2,
         .expect = SEALKIT_ERR_NOT_ENVELOPE},
        {.what = "open whole blocks, no pad byte",
         .dir = Dir::kOpen,
         .src_len = 2 * B,
         .expect = SEALKIT_ERR_NOT_ENVELOPE},
        {.what = "open length before capacity",
         .dir = Dir::kOpen,
         .src_len = B + 2,
         .capacity_delta = -100,
         .expect = SEALKIT_ERR_NOT_ENVELOPE},
        {.what = "open lone pad byte B",
         .dir = Dir::kOpen,
         .src_len = 1,
         .first_byte = static_cast<int>(B)},
        {.what = "open lone pad byte 0", .dir = Dir::kOpen, .src_len = 1, .first_byte = 0},
        {.what = "open lone pad byte 1 is forged",
         .dir = Dir::kOpen,
         .src_len = 1,
         .first_byte = 1,
         .expect = SEALKIT_ERR_NOT_ENVELOPE},
        {.what = "open lone pad byte B-1 is forged",
         .dir = Dir::kOpen,
         .src_len = 1,
         .first_byte = static_cast<int>(B - 1),
         .expect = SEALKIT_ERR_NOT_ENVELOPE},
        {.what = "open pad 0 keeps all blocks",
         .dir = Dir::kOpen,
         .src_len = 3 * B + 1,
         .first_byte = 0,
         .expect_len = 3 * B},
        {.what = "open pad B keeps all blocks",
         .dir = Dir::kOpen,
         .src_len = 3 * B + 1,
         .first_byte = static_cast<int>(B),
         .expect_len = 3 * B},
        {.what = "open pad above B, within blocks",
         .dir = Dir::kOpen,
         .src_len = 2 * B + 1,
         .first_byte = static_cast<int>(B + 1),
         .expect_len = B - 1},
        {.what = "open pad equal to the blocks",
         .dir = Dir::kOpen,
         .src_len = 2 * B + 1,
         .first_byte = static_cast<int>(2 * B)},
        {.what = "open pad above the blocks",
         .dir = Dir::kOpen,
         .src_len = B + 1,
         .first_byte = static_cast<int>(B + 1),
         .expect = SEALKIT_ERR_NOT_ENVELOPE},
        {.what = "open pad 255 in 256 bytes",
         .dir = Dir::kOpen,
         .src_len = 257,
         .first_byte = 255,
         .expect_len = 1},
        {.what = "open forged pad, short capacity",
         .dir = Dir::kOpen,
         .src_len = 1,
         .first_byte = 1,
         .capacity_delta = -1,
         .expect = SEALKIT_ERR_CAPACITY},
    };
    if (p.takes_key) {
        const std::vector<Case> keyed = {
            {.what = "seal null key",
             .dir = Dir::kSeal,
             .src_len = 10,
             .null_key = true,
             .expect = SEALKIT_ERR_NULL},
            {.what = "seal null key before empty",
             .dir = Dir::kSeal,
             .src_len = 0,
             .key_len = 0,
             .null_key = true,
             .expect = SEALKIT_ERR_NULL},
            {.what = "seal key 15",
             .dir = Dir::kSeal,
             .src_len = 10,
             .key_len = 15,
             .expect = SEALKIT_ERR_KEY_LEN},
            {.what = "seal key 0",
             .dir = Dir::kSeal,
             .src_len = 10,
             .key_len = 0,
             .expect = SEALKIT_ERR_KEY_LEN},
            {.what = "seal capacity before key",
             .dir = Dir::kSeal,
             .src_len = 10,
             .capacity_delta = -1,
             .key_len = 15,
             .expect = SEALKIT_ERR_CAPACITY},
            {.what = "seal empty before key",
             .dir = Dir::kSeal,
             .src_len = 0,
             .key_len = 15,
             .expect = SEALKIT_ERR_EMPTY},
            {.what = "seal huge key_len",
             .dir = Dir::kSeal,
             .src_len = 10,
             .key_len = UINT32_MAX,
             .expect_len = 17},
            {.what = "open null key",
             .dir = Dir::kOpen,
             .src_len = B + 1,
             .null_key = true,
             .expect = SEALKIT_ERR_NULL},
            {.what = "open key 15",
             .dir = Dir::kOpen,
             .src_len = B + 1,
             .first_byte = static_cast<int>(B),
             .key_len = 15,
             .expect = SEALKIT_ERR_KEY_LEN},
            {.what = "open length before key",
             .dir = Dir::kOpen,
             .src_len = B,
             .key_len = 15,
             .expect = SEALKIT_ERR_NOT_ENVELOPE},
            {.what = "open capacity before key",
             .dir = Dir::kOpen,
             .src_len = B + 1,
             .capacity_delta = -1,
             .key_len = 15,
             .expect = SEALKIT_ERR_CAPACITY},
            {.what = "open key before forged pad",
             .dir = Dir::kOpen,
             .src_len = 1,
             .first_byte = 1,
             .key_len = 15,
             .expect = SEALKIT_ERR_KEY_LEN},
            {.what = "open huge key_len",
             .dir = Dir::kOpen,
             .src_len = B + 1,
             .first_byte = static_cast<int>(B),
             .key_len = UINT32_MAX,
             .expect_len = B},
        };
        t.insert(t.end(), keyed.begin(), keyed.end());
    }
    return t;
}

// Runs the table for each pair. Key objects keep the pairs' contract less
// the key checks, so they skip the rows about the key.
void check_table(const Pair (&pairs)[4], bool key_objects) {
    for (const Pair &p : pairs)
        for (const Case &c : cases(p)) {
            if (key_objects && (c.null_key || c.key_len != kKeyLen)) continue;
            SCOPED_TRACE(std::string(p.name) + ": " + c.what);
            const Outcome o = run(p, c);
            EXPECT_EQ(o.rc, c.expect);
            if (o.rc == 0) {
                EXPECT_EQ(o.len, c.expect_len);
            }
        }
}

TEST(Contract, EveryCaseOfEveryPair) {
    check_table(kPairs, false);
}

TEST(Contract, KeyObjectsKeepThePairsContract) {
    check_table(kKeyedPairs, true);
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

}  // namespace

// sealkit_crypt, the pairs chosen by value, behind the one-shot signature.
template <sealkit_cipher C, bool Seal>
int crypt_call(const unsigned char *key, uint32_t key_len, const unsigned char *src, uint32_t n,
               unsigned char *dst, uint32_t *len) {
    const bool builtin = C == SEALKIT_CIPHER_BUILTIN;
    return sealkit_crypt(C, Seal ? SEALKIT_SEAL : SEALKIT_OPEN, builtin ? nullptr : key,
                         builtin ? 0 : key_len, src, n, dst, len);
}

template <sealkit_cipher C>
constexpr Pair by_value(Pair p) {
    p.seal = crypt_call<C, true>;
    p.open = crypt_call<C, false>;
    return p;
}

TEST(Contract, CryptByValueKeepsThePairsContract) {
    const Pair pairs[] = {
        by_value<SEALKIT_CIPHER_AES_ECB>(kPairs[0]), by_value<SEALKIT_CIPHER_AES_CBC>(kPairs[1]),
        by_value<SEALKIT_CIPHER_BUILTIN>(kPairs[2]), by_value<SEALKIT_CIPHER_BLOWFISH>(kPairs[3])};
    check_table(pairs, false);
    const unsigned char key[16] = {1}, src[17] = {16};
    const struct {
        int cipher, direction;
        const unsigned char *key;
        uint32_t key_len;
    } refused[] = {{0, SEALKIT_SEAL, key, 16},
                   {5, SEALKIT_OPEN, key, 16},
                   {1, 0, key, 16},
                   {2, 3, key, 16},
                   {SEALKIT_CIPHER_BUILTIN, 1, key, 0},
                   {SEALKIT_CIPHER_BUILTIN, 2, nullptr, 16}};
    for (const auto &r : refused) {
        unsigned char dst[32];
        memset(dst, kCanary, sizeof dst);
        uint32_t len = sizeof dst;
        EXPECT_EQ(sealkit_crypt(static_cast<sealkit_cipher>(r.cipher),
                                static_cast<sealkit_direction>(r.direction), r.key, r.key_len, src,
                                17, dst, &len),
                  SEALKIT_ERR_CIPHER)
            << r.cipher << "/" << r.direction;
        EXPECT_EQ(len, sizeof dst);
        for (unsigned char b : dst) EXPECT_EQ(b, kCanary);
    }
}

// The library's lists agree with this test's own facts, in order, and end.
TEST(Contract, TheLibraryListsItsCiphersAndResults) {
    const char *const names[] = {"aes-ecb", "aes-cbc", "builtin", "blowfish"};
    for (uint32_t i = 0; i < 4; ++i) {
        const sealkit_cipher_info *c = sealkit_cipher_at(i);
        ASSERT_NE(c, nullptr);
        EXPECT_STREQ(c->name, names[i]);
        EXPECT_EQ(c->id, kPairs[i].id);
        EXPECT_EQ(c->block, kPairs[i].block);
        EXPECT_EQ(c->min_key_len, kPairs[i].takes_key ? 16u : 0u);
    }
    EXPECT_EQ(sealkit_cipher_at(4), nullptr);
    EXPECT_EQ(sealkit_cipher_at(UINT32_MAX), nullptr);
    for (uint32_t i = 0; i < 10; ++i) {
        const sealkit_result_info *r = sealkit_result_at(i);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->code, -static_cast<int>(i));
        EXPECT_STREQ(r->text, sealkit_strerror(r->code));
    }
    EXPECT_EQ(sealkit_result_at(10), nullptr);
}
