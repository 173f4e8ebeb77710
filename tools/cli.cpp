// SPDX-License-Identifier: MIT
#include "cli.h"

#include <openssl/crypto.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace cli {

void fail(const std::string &message, int status) {
    throw Failure{message, status};
}

std::string error_text(const std::string &what) {
    return what + ": " + strerror(errno);
}

namespace {
bool g_quiet = false;
}  // namespace

void set_quiet(bool quiet) {
    g_quiet = quiet;
}

void warn(const std::string &message) {
    if (!g_quiet) fprintf(stderr, "sealkit: warning: %s\n", message.c_str());
}

bool is_stdio(const std::string &path) {
    return path.empty() || path == "-";
}

Secret::Secret(size_t n) : p_(new unsigned char[n]), n_(n) {}

Secret::~Secret() {
    OPENSSL_cleanse(p_.get(), n_);
}

size_t read_full(int fd, unsigned char *p, size_t n, const std::string &name) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = retry([&] { return read(fd, p + got, n - got); });
        if (r < 0) fail(error_text("cannot read " + name));
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

void write_full(int fd, const unsigned char *p, size_t n, const std::string &name) {
    while (n > 0) {
        const ssize_t w = retry([&] { return write(fd, p, n); });
        if (w <= 0) fail(error_text("cannot write " + name));
        p += w;
        n -= static_cast<size_t>(w);
    }
}

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string human(double bytes) {
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        ++u;
    }
    char s[32];
    snprintf(s, sizeof s, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return s;
}

}  // namespace cli
