// SPDX-License-Identifier: MIT
#include "progress.h"

#include <stdio.h>

#include <algorithm>

#include "cli.h"

namespace cli {

Progress::Progress(bool on, std::optional<uint64_t> total)
    : on_(on), total_(total), start_(now()), last_(start_) {}

Progress::~Progress() {
    if (shown_) fputc('\n', stderr);
}

void Progress::add(size_t n) {
    done_ += n;
    if (!on_) return;
    const double t = now();
    if (t - last_ < 0.25 && (!total_ || done_ < *total_)) return;
    last_ = t;
    const double done = static_cast<double>(done_);
    const double rate = done / std::max(t - start_, 1e-6);
    if (!total_) {
        fprintf(stderr, "\r%s, %s/s   ", human(done).c_str(), human(rate).c_str());
    } else {
        const double total = static_cast<double>(*total_);
        const double left = (total - done) / std::max(rate, 1.0);
        fprintf(stderr, "\r%s of %s (%3.0f%%), %s/s, %d:%02d left   ", human(done).c_str(),
                human(total).c_str(), 100.0 * done / std::max(total, 1.0), human(rate).c_str(),
                static_cast<int>(left) / 60, static_cast<int>(left) % 60);
    }
    shown_ = true;
}

}  // namespace cli
