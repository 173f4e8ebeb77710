// SPDX-License-Identifier: MIT
// Progress on one updating line of stderr.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>

namespace cli {

class Progress {
  public:
    // `total`: the bytes expected, when known.
    Progress(bool on, std::optional<uint64_t> total);
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    ~Progress();  // ends the line
    void add(size_t n);

  private:
    bool on_, shown_ = false;
    std::optional<uint64_t> total_;
    uint64_t done_ = 0;
    double start_, last_;
};

}  // namespace cli
