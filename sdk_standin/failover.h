// SPDX-License-Identifier: MIT
// How the broker source picks its next node and its waits, apart from the
// network so that tests can draw them from a seeded generator: after a loss
// every client of the lost node goes at once to another, chosen at random,
// and after a whole round failed each waits a random time up to the backoff
// ("full jitter"), so that a fleet of clients spreads over the surviving
// nodes and does not come back in waves.
#pragma once

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <random>
#include <vector>

namespace ostrel_standin {

// The nodes of one round after node `lost` of `n` was lost: the others in a
// random order, the lost one last.
inline std::vector<size_t> round_after_loss(size_t lost, size_t n, std::mt19937_64 &rng) {
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t{0});
    std::swap(order[lost], order[n - 1]);
    std::shuffle(order.begin(), order.end() - 1, rng);
    return order;
}

// A wait drawn uniformly from [0, backoff_ms].
inline unsigned jittered(unsigned backoff_ms, std::mt19937_64 &rng) {
    return std::uniform_int_distribution<unsigned>(0, backoff_ms)(rng);
}

// The node of `n` a client tries first at start: any, evenly, so that a
// fleet spreads over the nodes from its first connection on.
inline size_t start_node(size_t n, std::mt19937_64 &rng) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
}

// The attempts after node `lost` of `n` was lost, one next() each: rounds of
// round_after_loss, the first at once; before each later round, and only
// there, one wait drawn up to the backoff, 500 ms doubling to 30 s. Nodes
// within a round follow each other without a wait, so a live node is
// reached at once whatever the dead ones before it.
class Reconnect {
  public:
    static constexpr unsigned kFirstBackoffMs = 500, kMaxBackoffMs = 30000;
    struct Step {
        size_t node;
        bool new_round;    // a whole round failed before this attempt
        unsigned wait_ms;  // to wait before it: 0 unless new_round
    };

    Reconnect(size_t lost, size_t n, std::mt19937_64 &rng)
        : lost_(lost), n_(n), rng_(rng), round_(round_after_loss(lost, n, rng)) {}

    Step next() {
        Step step{0, false, 0};
        if (at_ == round_.size()) {
            step.new_round = true;
            step.wait_ms = jittered(backoff_ms_, rng_);
            backoff_ms_ = std::min(backoff_ms_ * 2, kMaxBackoffMs);
            round_ = round_after_loss(lost_, n_, rng_);
            at_ = 0;
        }
        step.node = round_[at_++];
        return step;
    }

  private:
    size_t lost_, n_;
    std::mt19937_64 &rng_;
    std::vector<size_t> round_;
    size_t at_ = 0;
    unsigned backoff_ms_ = kFirstBackoffMs;
};

}  // namespace ostrel_standin
