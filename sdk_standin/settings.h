// SPDX-License-Identifier: MIT
// The stand-in SDK's settings, read from the environment and checked in
// one place (settings.cpp): the variables, the server list, the login.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace ostrel_standin {

struct Settings {
    std::string server;         // OSTREL_SDK_SERVER: in place of the URL given to OstrelInit
    std::string client_id;      // OSTREL_SDK_CLIENT_ID: in place of the id given to OstrelInit
    long keepalive = 5;         // OSTREL_SDK_KEEPALIVE: seconds a broker may stay silent
    bool echo_probe = true;     // OSTREL_SDK_PROBE: echo (the default): the liveness probe is
                                // a message to the client's own probe topic, which must come
                                // back; unsubscribe: an UNSUBSCRIBE, which must be answered
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

// The variable another file's messages point the user to.
inline constexpr const char *kMaxPushVar = "OSTREL_SDK_MAX_PUSH";

// The settings, read and checked from the environment on first use, here
// alone. A variable that is set but empty counts as unset. A malformed
// keepalive or thread count is noted on stderr and its default used; every
// other malformed setting, or settings that do not fit together, is in
// `errors` and fails the start.
const Settings &settings();

struct BrokerUrl {
    std::string text;  // as given, for messages
    bool tls = false;
    std::string host;
    int port = 0;
};

// A password as read from its file: NUL-terminated, wiped when it goes.
struct Password {
    Password() = default;
    Password(const Password &) = delete;
    Password &operator=(const Password &) = delete;
    ~Password();
    const char *c_str() const { return bytes.data(); }
    std::vector<char> bytes;
};

// Where the pushes come from, and the login for it.
struct Source {
    std::string server;                        // the server setting, as given
    std::vector<BrokerUrl> brokers;            // its nodes; empty: the feed serves
    std::shared_ptr<const Password> password;  // read once; null without a password file
};

// The source for the server URL given to OstrelInit (OSTREL_SDK_SERVER
// takes its place when set), with its login. The server is a list of URLs
// separated by commas, each mqtt://host[:port] (port 1883) or
// mqtts://host[:port] (8883), an IPv6 host in brackets; a server with no
// such entry means the feed. Every problem goes to `errors`, after those of
// settings(), each one naming the setting: an entry of a broker list that
// does not parse (never taken for the feed), a password file that cannot be
// used, a password that would go unencrypted to an mqtt:// node unless that
// is allowed. A password file its group or others can read is warned of.
Source source(const std::string &init_url, std::vector<std::string> &errors);

}  // namespace ostrel_standin
