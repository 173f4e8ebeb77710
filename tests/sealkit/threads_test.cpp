// SPDX-License-Identifier: MIT
// Many threads sealing and opening at once get the single-thread results.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support.h"

using namespace sktest;

namespace {

struct Job {
    const Pair *pair;
    Bytes key, plain, envelope;
};

TEST(Threads, ConcurrentCallsGiveSingleThreadResults) {
    std::mt19937 rng(42);
    std::vector<Job> jobs;
    for (const Pair &p : kPairs)
        for (int i = 0; i < 24; ++i) {
            Job j{&p, random_bytes(rng, 16 + rng() % 24), random_bytes(rng, 1 + rng() % 300), {}};
            j.envelope = seal(p, j.key, j.plain);
            jobs.push_back(std::move(j));
        }

    constexpr int kThreads = 8, kRounds = 40;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r)
                for (size_t i = 0; i < jobs.size(); ++i) {
                    // Each thread walks the jobs from its own offset, so
                    // different ciphers and key sizes run side by side.
                    const Job &j = jobs[(i + static_cast<size_t>(t) * 7) % jobs.size()];
                    if (seal(*j.pair, j.key, j.plain) != j.envelope) ++mismatches;
                    if (open(*j.pair, j.key, j.envelope) != j.plain) ++mismatches;
                }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
