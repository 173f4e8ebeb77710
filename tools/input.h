// SPDX-License-Identifier: MIT
// The command's input: a file, or standard input, which may be a pipe.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>

namespace cli {

class Input {
  public:
    // Opens `path` (empty or "-": standard input); a directory is refused.
    explicit Input(const std::string &path);
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input();

    // Reads up to n bytes, fewer only at the end. A regular file is read up
    // to the size it had when opened, and one that shrinks is an error.
    size_t read(unsigned char *p, size_t n);

    // The total length when it is known: a regular file's size, or what a
    // pipe gave once it reached its end.
    std::optional<uint64_t> size() const;
    uint64_t taken() const { return pos_; }  // bytes read so far

    bool regular() const { return regular_; }
    bool is_stdin() const;
    int fd() const { return fd_; }
    const std::string &name() const { return name_; }

  private:
    std::string name_;
    int fd_ = -1;
    bool regular_ = false, ended_ = false;
    uint64_t size_ = 0, pos_ = 0;
};

}  // namespace cli
