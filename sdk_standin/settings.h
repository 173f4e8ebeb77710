// SPDX-License-Identifier: MIT
// The stand-in SDK's settings, read from the environment in one place.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ostrel_standin {

struct Settings {
    std::string server;         // OSTREL_SDK_SERVER: in place of the URL given to OstrelInit
    std::string client_id;      // OSTREL_SDK_CLIENT_ID: in place of the id given to OstrelInit
    long keepalive = 5;         // OSTREL_SDK_KEEPALIVE: seconds a broker may stay silent
    std::string feed;           // OSTREL_SDK_FEED: file or FIFO; empty: standard input
    long threads = 1;           // OSTREL_SDK_THREADS: feed delivery threads, 1..256
    long connect_timeout = 10;  // OSTREL_SDK_CONNECT_TIMEOUT: seconds, 1..3600
    std::string ca_file;        // OSTREL_SDK_CA_FILE: mqtts CA certificates
    std::string cert_file;      // OSTREL_SDK_CERT_FILE: mqtts client certificate
    std::string key_file;       // OSTREL_SDK_KEY_FILE: and its key
    std::string username;       // OSTREL_SDK_USERNAME: broker login
    std::string password_file;  // OSTREL_SDK_PASSWORD_FILE: the password, never the environment
    bool send_password_unencrypted = false;  // OSTREL_SDK_SEND_PASSWORD_UNENCRYPTED=1: the
                                             // password may go to an mqtt:// node
    size_t max_push = 0;    // OSTREL_SDK_MAX_PUSH: bytes; 0: only the protocol's own limit
    long init_result = 0;   // OSTREL_SDK_INIT_RESULT: what OstrelInit returns
    long start_result = 0;  // OSTREL_SDK_START_RESULT: what OstrelStart returns
    std::string trace;      // OSTREL_SDK_TRACE: file that logs calls and broker events
    std::vector<std::string> errors;  // settings that fail the start, one message each
};

// The variables other files' messages point the user to.
inline constexpr const char *kMaxPushVar = "OSTREL_SDK_MAX_PUSH";
inline constexpr const char *kSendPasswordUnencryptedVar = "OSTREL_SDK_SEND_PASSWORD_UNENCRYPTED";

// The settings, read and checked from the environment on first use, here
// alone. A variable that is set but empty counts as unset. A malformed
// keepalive or thread count is noted on stderr and its default used; every
// other malformed setting, or settings that do not fit together, is in
// `errors` and fails the start.
const Settings &settings();

}  // namespace ostrel_standin
