// SPDX-License-Identifier: MIT
// The stand-in SDK's feed line decoder.
#include "feed.h"

#include <gtest/gtest.h>

#include "failover.h"

namespace {

struct Line {
    const char *what;
    std::string line;
    std::string push;  // expected bytes when `ok`
    bool ok;
};

TEST(FeedLine, DecodesEscapesAndRejectsMalformedLines) {
    using namespace std::string_literals;
    const Line cases[] = {
        {"plain text", "hello world", "hello world", true},
        {"empty line", "", "", true},
        {"newline", "a\\nb", "a\nb", true},
        {"tab", "a\\tb", "a\tb", true},
        {"backslash", "a\\\\b", "a\\b", true},
        {"NUL", "a\\0b", "a\0b"s, true},
        {"hex, both cases", "\\x41\\x4a\\x4A\\xff", "AJJ\xff", true},
        {"hex NUL", "\\x00", "\0"s, true},
        {"raw bytes pass", "\x01\xfe%s", "\x01\xfe%s", true},
        {"raw NUL passes", "a\0b"s, "a\0b"s, true},
        {"escaped backslash before n", "\\\\n", "\\n", true},
        {"unknown escape", "a\\qb", "", false},
        {"backslash at end", "abc\\", "", false},
        {"hex without digits", "\\x", "", false},
        {"hex with one digit", "\\x4", "", false},
        {"hex with a non-digit", "\\x4g", "", false},
        {"carriage return escape is not known", "\\r", "", false},
    };
    for (const auto &c : cases) {
        std::string out;
        const char *fault = ostrel_standin::decode_line(c.line.data(), c.line.size(), out);
        EXPECT_EQ(fault == nullptr, c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(out, c.push) << c.what;
        }
    }
}

}  // namespace

// After a loss the next node is any other, about evenly, and the lost one
// comes last; waits after a failed round spread evenly over [0, backoff].
TEST(Failover, NextNodesAndWaitsAreSpread) {
    std::mt19937_64 rng(27);
    constexpr size_t kNodes = 3, kDraws = 30000;
    size_t first[kNodes] = {};
    for (size_t i = 0; i < kDraws; ++i) {
        const std::vector<size_t> round = ostrel_standin::round_after_loss(1, kNodes, rng);
        ASSERT_EQ(round.size(), kNodes);
        EXPECT_EQ(round.back(), 1u);
        ++first[round.front()];
    }
    EXPECT_EQ(first[1], 0u);
    for (size_t n : {first[0], first[2]}) EXPECT_NEAR(double(n) / kDraws, 0.5, 0.02);
    size_t quarters[4] = {};
    for (size_t i = 0; i < kDraws; ++i) {
        const unsigned w = ostrel_standin::jittered(30000, rng);
        ASSERT_LE(w, 30000u);
        ++quarters[std::min<unsigned>(w / 7500, 3)];
    }
    for (size_t q : quarters) EXPECT_NEAR(double(q) / kDraws, 0.25, 0.02);
    EXPECT_EQ(ostrel_standin::round_after_loss(0, 1, rng), std::vector<size_t>{0});
}

// Start spreads a fleet over every node, evenly.
TEST(Failover, StartIsEvenOverEveryNode) {
    std::mt19937_64 rng(35);
    for (const size_t n : {1u, 2u, 3u, 5u}) {
        std::vector<size_t> first(n);
        constexpr size_t kDraws = 30000;
        for (size_t i = 0; i < kDraws; ++i) ++first[ostrel_standin::start_node(n, rng)];
        for (size_t f : first) EXPECT_NEAR(double(f) / kDraws, 1.0 / double(n), 0.02) << n;
    }
}

// After a loss: every node of a round is tried without a wait, the lost one
// last; before each later round exactly one wait, up to a backoff that
// doubles from 500 ms to 30 s.
TEST(Failover, OneWaitPerRoundNoneWithinIt) {
    using ostrel_standin::Reconnect;
    std::mt19937_64 rng(36);
    for (const size_t n : {1u, 2u, 3u, 5u}) {
        const size_t lost = n - 1;
        Reconnect plan(lost, n, rng);
        unsigned backoff = Reconnect::kFirstBackoffMs;
        for (int round = 0; round < 12; ++round) {
            std::vector<size_t> seen;
            for (size_t k = 0; k < n; ++k) {
                const Reconnect::Step s = plan.next();
                const bool first_of_later_round = k == 0 && round > 0;
                EXPECT_EQ(s.new_round, first_of_later_round) << n << " nodes, round " << round;
                EXPECT_LE(s.wait_ms, first_of_later_round ? backoff : 0u);
                seen.push_back(s.node);
            }
            if (round > 0) backoff = std::min(backoff * 2, Reconnect::kMaxBackoffMs);
            EXPECT_EQ(seen.back(), lost);
            std::sort(seen.begin(), seen.end());
            EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end()) << "a node twice";
        }
    }
}
