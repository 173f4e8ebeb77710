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

}  // namespace ostrel_standin
