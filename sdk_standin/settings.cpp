// SPDX-License-Identifier: MIT
#include "settings.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

namespace ostrel_standin {

namespace {

// The variable's value; empty when unset or empty.
std::string text(const char *name) {
    const char *v = getenv(name);
    return v != nullptr ? v : "";
}

// An integer setting from lo to hi; `fallback` when unset. A malformed one
// is an error when `unit` names what it counts, else noted and replaced by
// the fallback.
long number(const char *name, long lo, long hi, long fallback, const char *unit,
            std::vector<std::string> &errors) {
    const std::string v = text(name);
    if (v.empty()) return fallback;
    char *end = nullptr;
    errno = 0;
    const long long n = strtoll(v.c_str(), &end, 10);
    if (errno == 0 && *end == '\0' && n >= lo && n <= hi) return static_cast<long>(n);
    if (unit != nullptr)
        errors.push_back(std::string(name) + "=" + v + " is not a number of " + unit + " from " +
                         std::to_string(lo) + " to " + std::to_string(hi));
    else
        fprintf(stderr, "ostrel_sdk: %s=%s is not a number from %ld to %ld; using %ld\n", name,
                v.c_str(), lo, hi, fallback);
    return fallback;
}

// A yes-or-no setting: unset, 0 or 1; anything else is an error.
bool flag(const char *name, std::vector<std::string> &errors) {
    const std::string v = text(name);
    if (v.empty() || v == "0") return false;
    if (v == "1") return true;
    errors.push_back(std::string(name) + "=" + v + " must be 0 or 1");
    return false;
}

Settings read() {
    Settings s;
    std::vector<std::string> &e = s.errors;
    s.server = text("OSTREL_SDK_SERVER");
    s.client_id = text("OSTREL_SDK_CLIENT_ID");
    s.keepalive = number("OSTREL_SDK_KEEPALIVE", 2, 3600, 5, nullptr, e);
    s.feed = text("OSTREL_SDK_FEED");
    s.threads = number("OSTREL_SDK_THREADS", 1, 256, 1, nullptr, e);
    s.connect_timeout = number("OSTREL_SDK_CONNECT_TIMEOUT", 1, 3600, 10, "seconds", e);
    s.ca_file = text("OSTREL_SDK_CA_FILE");
    s.cert_file = text("OSTREL_SDK_CERT_FILE");
    s.key_file = text("OSTREL_SDK_KEY_FILE");
    if (s.cert_file.empty() != s.key_file.empty())
        e.emplace_back("OSTREL_SDK_CERT_FILE and OSTREL_SDK_KEY_FILE go together");
    s.username = text("OSTREL_SDK_USERNAME");
    s.password_file = text("OSTREL_SDK_PASSWORD_FILE");
    if (!s.password_file.empty() && s.username.empty())
        e.emplace_back("OSTREL_SDK_PASSWORD_FILE needs OSTREL_SDK_USERNAME");
    s.send_password_unencrypted = flag(kSendPasswordUnencryptedVar, e);
    // A push's length reaches the callback as an int.
    s.max_push = static_cast<size_t>(number(kMaxPushVar, 1, INT_MAX, 0, "bytes", e));
    s.init_result = number("OSTREL_SDK_INIT_RESULT", LONG_MIN, LONG_MAX, 0, nullptr, e);
    s.start_result = number("OSTREL_SDK_START_RESULT", LONG_MIN, LONG_MAX, 0, nullptr, e);
    s.trace = text("OSTREL_SDK_TRACE");
    return s;
}

}  // namespace

const Settings &settings() {
    static const Settings s = read();
    return s;
}

}  // namespace ostrel_standin
