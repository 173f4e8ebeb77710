// SPDX-License-Identifier: MIT
#include "input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"

namespace cli {

Input::Input(const std::string &path) : name_(is_stdio(path) ? "standard input" : "input " + path) {
    fd_ = is_stdio(path) ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) fail(error_text("cannot open " + name_));
    struct stat st {};
    if (fstat(fd_, &st) != 0) fail(error_text("cannot read " + name_));
    if (S_ISDIR(st.st_mode)) fail(name_ + " is a directory");
    regular_ = S_ISREG(st.st_mode);
    if (regular_) size_ = static_cast<uint64_t>(st.st_size);
    // A pipe as large as a chunk lets the writer fill the next one while
    // this one is worked on (best effort: the system may cap it).
    if (S_ISFIFO(st.st_mode)) fcntl(fd_, F_SETPIPE_SZ, static_cast<int>(kChunk));
}

Input::~Input() {
    if (fd_ > STDIN_FILENO) close(fd_);
}

bool Input::is_stdin() const {
    return fd_ == STDIN_FILENO;
}

size_t Input::read(unsigned char *p, size_t n) {
    if (regular_ && n > size_ - pos_) n = static_cast<size_t>(size_ - pos_);
    const size_t got = read_full(fd_, p, n, name_);
    if (regular_ && got < n) fail(name_ + " shrank while it was read");
    if (got < n) ended_ = true;
    pos_ += got;
    return got;
}

std::optional<uint64_t> Input::size() const {
    if (regular_) return size_;
    if (ended_) return pos_;
    return std::nullopt;
}

}  // namespace cli
