// SPDX-License-Identifier: MIT
// What every part of the sealkit command shares: failures, buffers for
// secrets, whole reads and writes, and a clock.
#pragma once

#include <errno.h>
#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

namespace cli {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr size_t kChunk = size_t{1} << 20;  // bytes per read, stream update and write

// A failure with its message for stderr. It is thrown, so that secrets are
// wiped and temporary files removed on the way out; main prints it.
struct Failure {
    std::string message;
    int status;
};

[[noreturn]] void fail(const std::string &message, int status = kExitFailure);

// "what: <strerror(errno)>".
std::string error_text(const std::string &what);

// "sealkit: warning: <message>" on stderr, unless set_quiet(true).
void warn(const std::string &message);
void set_quiet(bool quiet);

// Whether a path names standard input or output: empty or "-".
bool is_stdio(const std::string &path);

// Calls `f` again while it fails with EINTR.
template <typename F>
auto retry(F f) {
    for (;;) {
        const auto r = f();
        if (r >= 0 || errno != EINTR) return r;
    }
}

// A buffer for secrets: allocated once at its full size, never grown, wiped
// when it goes.
class Secret {
  public:
    explicit Secret(size_t n);
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;
    ~Secret();
    unsigned char *data() { return p_.get(); }
    size_t size() const { return n_; }

  private:
    std::unique_ptr<unsigned char[]> p_;
    size_t n_;
};

// Reads until n bytes or the end; the count read. Fails with "cannot read NAME".
size_t read_full(int fd, unsigned char *p, size_t n, const std::string &name);

// Writes all n bytes. Fails with "cannot write NAME".
void write_full(int fd, const unsigned char *p, size_t n, const std::string &name);

// Seconds on the monotonic clock.
double now();

// A byte count for people: "1.5 MiB".
std::string human(double bytes);

}  // namespace cli
