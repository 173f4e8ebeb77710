// SPDX-License-Identifier: MIT
#include "keyfile.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

// Warns about key bytes that look like text someone meant to decode.
void check_text(const std::string &name, const unsigned char *k, size_t n) {
    if (n > 0 && k[n - 1] == '\n') warn(name + " ends in a newline, which is part of the key");
    size_t text = n;
    while (text > 0 && (k[text - 1] == '\n' || k[text - 1] == '\r')) --text;
    auto all_of = [&](const char *set) {
        for (size_t i = 0; i < text; ++i)
            if (k[i] == 0 || strchr(set, k[i]) == nullptr) return false;
        return true;
    };
    if (text >= 16 && all_of("0123456789abcdefABCDEF"))
        warn(name + " looks like hex text: the key is its bytes as they are");
    else if (text >= 16 && text % 4 == 0 &&
             all_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="))
        warn(name + " looks like base64 text: the key is its bytes as they are");
}

}  // namespace

size_t read_key(const std::string &path, const Cipher &c, bool data_on_stdin, Secret &key) {
    const bool from_stdin = is_stdio(path);
    const std::string name = from_stdin ? "the key on standard input" : "key file " + path;
    const int fd = from_stdin ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(error_text("cannot open " + name));
    struct stat st {
    }, in_st{};
    if (fstat(fd, &st) != 0) fail(error_text("cannot read " + name));
    // The key and the data cannot share one stream.
    if (data_on_stdin && (from_stdin || (fstat(STDIN_FILENO, &in_st) == 0 &&
                                         st.st_dev == in_st.st_dev && st.st_ino == in_st.st_ino)))
        fail(cli::name(Opt::kKeyFile) + " and the input cannot both be standard input", kExitUsage);
    const size_t n = read_full(fd, key.data(), key.size(), name);
    if (!from_stdin) close(fd);
    if (n > kMaxKeyFile) fail(name + " is larger than 4096 bytes");
    if (n < SEALKIT_MIN_KEY_LEN)
        fail(name + " is too short: " + std::to_string(n) + " bytes, at least " +
             std::to_string(SEALKIT_MIN_KEY_LEN) + " needed");

    if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        const char *who = (st.st_mode & 070) == 0   ? "others"
                          : (st.st_mode & 007) == 0 ? "its group"
                                                    : "its group and others";
        warn(name + " is open to " + who + " (mode " + mode + "): chmod 600 it");
    }
    check_text(name, key.data(), n);
    if (const size_t used = key_bytes_used(c, n); used < n)
        warn(name + " has " + std::to_string(n) + " bytes; " + c.name + " uses only the first " +
             std::to_string(used) + ", the rest is ignored");
    return n;
}

}  // namespace cli
