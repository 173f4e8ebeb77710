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

// An integer setting; `fallback` when unset, and when not a number, with a
// note on stderr.
long number(const char *name, long fallback) {
    const std::string v = text(name);
    if (v.empty()) return fallback;
    char *end = nullptr;
    errno = 0;
    const long n = strtol(v.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') {
        fprintf(stderr, "ostrel_sdk: %s=%s is not a number; using %ld\n", name, v.c_str(),
                fallback);
        return fallback;
    }
    return n;
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
    s.server = text("OSTREL_SDK_SERVER");
    s.client_id = text("OSTREL_SDK_CLIENT_ID");
    s.keepalive = number("OSTREL_SDK_KEEPALIVE", 5);
    if (s.keepalive < 2 || s.keepalive > 3600) {
        fprintf(stderr, "ostrel_sdk: OSTREL_SDK_KEEPALIVE must be 2..3600 seconds; using 5\n");
        s.keepalive = 5;
    }
    s.feed = text("OSTREL_SDK_FEED");
    s.threads = number("OSTREL_SDK_THREADS", 1);
    s.connect_timeout_text = text("OSTREL_SDK_CONNECT_TIMEOUT");
    if (!s.connect_timeout_text.empty()) {
        char *end = nullptr;
        s.connect_timeout = strtol(s.connect_timeout_text.c_str(), &end, 10);
        if (*end != '\0' || s.connect_timeout < 1 || s.connect_timeout > 3600)
            s.connect_timeout = 0;
    }
    s.ca_file = text("OSTREL_SDK_CA_FILE");
    s.cert_file = text("OSTREL_SDK_CERT_FILE");
    s.key_file = text("OSTREL_SDK_KEY_FILE");
    s.username = text("OSTREL_SDK_USERNAME");
    s.password_file = text("OSTREL_SDK_PASSWORD_FILE");
    s.send_password_unencrypted = flag("OSTREL_SDK_SEND_PASSWORD_UNENCRYPTED", s.errors);
    if (const std::string v = text("OSTREL_SDK_MAX_PUSH"); !v.empty()) {
        char *end = nullptr;
        errno = 0;
        const long long n = strtoll(v.c_str(), &end, 10);
        // A push's length reaches the callback as an int.
        if (errno != 0 || *end != '\0' || n < 1 || n > INT_MAX)
            s.errors.push_back("OSTREL_SDK_MAX_PUSH=" + v + " is not a number of bytes from 1 to " +
                               std::to_string(INT_MAX));
        else
            s.max_push = static_cast<size_t>(n);
    }
    s.init_result = number("OSTREL_SDK_INIT_RESULT", 0);
    s.start_result = number("OSTREL_SDK_START_RESULT", 0);
    s.trace = text("OSTREL_SDK_TRACE");
    return s;
}

}  // namespace

const Settings &settings() {
    static const Settings s = read();
    return s;
}

}  // namespace ostrel_standin
