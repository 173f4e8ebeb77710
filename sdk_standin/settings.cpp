// SPDX-License-Identifier: MIT
#include "settings.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ostrel_standin {

namespace {

constexpr const char *kSendPasswordUnencryptedVar = "OSTREL_SDK_SEND_PASSWORD_UNENCRYPTED";

// The variable's value; empty when unset or empty.
std::string text(const char *name) {
    const char *v = getenv(name);
    return v != nullptr ? v : "";
}

// What a malformed number does: a tuning value falls back to its default
// with a note, a limit the user relies on fails the start.
enum class Malformed { kNoteAndUseDefault, kFailTheStart };

// An integer setting from lo to hi, counting `unit` (for messages; may be
// empty); `fallback` when unset.
long number(const char *name, long lo, long hi, long fallback, Malformed malformed,
            const std::string &unit, std::vector<std::string> &errors) {
    const std::string v = text(name);
    if (v.empty()) return fallback;
    char *end = nullptr;
    errno = 0;
    const long long n = strtoll(v.c_str(), &end, 10);
    if (errno == 0 && *end == '\0' && n >= lo && n <= hi) return static_cast<long>(n);
    const std::string what = std::string(name) + "=" + v + " is not a number" +
                             (unit.empty() ? "" : " of " + unit) + " from " + std::to_string(lo) +
                             " to " + std::to_string(hi);
    if (malformed == Malformed::kFailTheStart)
        errors.push_back(what);
    else
        fprintf(stderr, "ostrel_sdk: %s; using %ld\n", what.c_str(), fallback);
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
    s.keepalive = number("OSTREL_SDK_KEEPALIVE", 2, 3600, 5, Malformed::kNoteAndUseDefault, "", e);
    const std::string probe = text("OSTREL_SDK_PROBE");
    if (probe == "unsubscribe")
        s.echo_probe = false;
    else if (!probe.empty() && probe != "echo")
        e.push_back("OSTREL_SDK_PROBE=" + probe + " must be echo or unsubscribe");
    s.feed = text("OSTREL_SDK_FEED");
    s.threads = number("OSTREL_SDK_THREADS", 1, 256, 1, Malformed::kNoteAndUseDefault, "", e);
    s.connect_timeout =
        number("OSTREL_SDK_CONNECT_TIMEOUT", 1, 3600, 10, Malformed::kFailTheStart, "seconds", e);
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
    s.max_push = static_cast<size_t>(
        number(kMaxPushVar, 1, INT_MAX, 0, Malformed::kFailTheStart, "bytes", e));
    s.init_result = number("OSTREL_SDK_INIT_RESULT", LONG_MIN, LONG_MAX, 0,
                           Malformed::kNoteAndUseDefault, "", e);
    s.start_result = number("OSTREL_SDK_START_RESULT", LONG_MIN, LONG_MAX, 0,
                            Malformed::kNoteAndUseDefault, "", e);
    s.trace = text("OSTREL_SDK_TRACE");
    return s;
}

// The length of `url`'s scheme prefix when it is `scheme`, in any case
// (schemes are case-insensitive); 0 otherwise.
size_t scheme_prefix(const std::string &url, const char *scheme) {
    const size_t n = strlen(scheme);
    return url.size() >= n && strncasecmp(url.c_str(), scheme, n) == 0 ? n : 0;
}

// mqtt: or mqtts:, even without the "//" that makes it parse: such an entry
// was meant for a broker, and is an error rather than the feed.
bool has_broker_scheme(const std::string &url) {
    return scheme_prefix(url, "mqtt:") != 0 || scheme_prefix(url, "mqtts:") != 0;
}

// One mqtt:// or mqtts:// URL; false when it does not parse.
bool parse_broker_url(const std::string &url, BrokerUrl &out) {
    BrokerUrl u;
    u.text = url;
    std::string rest;
    if (const size_t n = scheme_prefix(url, "mqtt://"); n != 0) {
        rest = url.substr(n);
        u.port = 1883;
    } else if (const size_t ns = scheme_prefix(url, "mqtts://"); ns != 0) {
        rest = url.substr(ns);
        u.tls = true;
        u.port = 8883;
    } else {
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string port;
    if (!rest.empty() && rest[0] == '[') {  // [v6 address]:port
        const size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        u.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return false;
            port = rest.substr(close + 2);
        }
    } else {
        const size_t colon = rest.find(':');
        u.host = rest.substr(0, colon);
        if (colon != std::string::npos) port = rest.substr(colon + 1);
    }
    if (u.host.empty() || u.host.find_first_of("/@?# []") != std::string::npos) return false;
    if (!port.empty() || rest.back() == ':') {
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos)
            return false;
        u.port = static_cast<int>(strtol(port.c_str(), nullptr, 10));
        if (u.port < 1 || u.port > 65535) return false;
    }
    out = u;
    return true;
}

// The broker list of a server setting into `out`: false when the setting
// names no broker (the feed serves). Once any entry starts with mqtt: or
// mqtts:, every entry must parse; a bad one goes to `errors`.
bool parse_servers(const std::string &setting, std::vector<BrokerUrl> &out,
                   std::vector<std::string> &errors) {
    std::vector<std::string> entries;
    for (size_t at = 0;;) {
        const size_t comma = setting.find(',', at);
        entries.push_back(setting.substr(at, comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    bool any = false;
    for (const std::string &e : entries) any = any || has_broker_scheme(e);
    if (!any) return false;
    for (const std::string &e : entries) {
        BrokerUrl u;
        if (!parse_broker_url(e, u)) {
            errors.push_back("not a broker URL: " + (e.empty() ? "an empty entry" : e));
            out.clear();
            return true;
        }
        out.push_back(u);
    }
    return true;
}

// The most an MQTT 3.1.1 password field carries.
constexpr size_t kMaxPassword = 65535;

// Reads the password file into `out`, less a trailing newline: "" or why it
// cannot be used. It must fit an MQTT password and hold no NUL byte
// (libmosquitto takes a C string, which would cut it short). A file that
// its group or others can read gets a warning.
std::string read_password(const std::string &file, Password &out) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::string why = "cannot read password file " + file + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return why;
    }
    if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
        fprintf(stderr,
                "ostrel_sdk: warning: password file %s is open to %s (mode %04o): chmod 600 it\n",
                file.c_str(),
                (st.st_mode & 070) == 0   ? "others"
                : (st.st_mode & 007) == 0 ? "its group"
                                          : "its group and others",
                static_cast<unsigned>(st.st_mode & 07777));
    // Room for the longest password, its line ending, and one byte to tell
    // a longer file; allocated once, so no copy is left behind unwiped.
    out.bytes.assign(kMaxPassword + 4, 0);
    size_t n = 0;
    while (n < kMaxPassword + 3) {
        const ssize_t got = ::read(fd, out.bytes.data() + n, kMaxPassword + 3 - n);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            std::string why = "cannot read password file " + file + ": " + strerror(errno);
            close(fd);
            return why;
        }
        if (got == 0) break;
        n += static_cast<size_t>(got);
    }
    close(fd);
    if (n > 0 && out.bytes[n - 1] == '\n') --n;
    if (n > 0 && out.bytes[n - 1] == '\r') --n;
    if (n > kMaxPassword)
        return "password file " + file + " holds more than " + std::to_string(kMaxPassword) +
               " bytes, the most an MQTT login carries";
    if (memchr(out.bytes.data(), 0, n) != nullptr)
        return "password file " + file + " holds a NUL byte, which no MQTT login can carry";
    explicit_bzero(out.bytes.data() + n, out.bytes.size() - n);
    return "";
}

// The login's password, read once, into src.password; a problem goes to
// `errors`. No password goes where it could be read on the way (an mqtt://
// node) unless that was asked for.
void check_login(const Settings &st, Source &src, std::vector<std::string> &errors) {
    if (st.password_file.empty()) return;
    auto password = std::make_shared<Password>();
    if (std::string why = read_password(st.password_file, *password); !why.empty()) {
        errors.push_back(why);
        return;
    }
    src.password = std::move(password);
    if (st.send_password_unencrypted) return;
    for (const BrokerUrl &u : src.brokers)
        if (!u.tls) {
            errors.push_back("the password would go unencrypted to " + u.text +
                             ": name that node mqtts://, or set " + kSendPasswordUnencryptedVar +
                             "=1 to allow it");
            return;
        }
}

}  // namespace

const Settings &settings() {
    static const Settings s = read();
    return s;
}

Password::~Password() {
    if (!bytes.empty()) explicit_bzero(bytes.data(), bytes.size());
}

Source source(const std::string &init_url, std::vector<std::string> &errors) {
    const Settings &st = settings();
    errors = st.errors;
    Source src;
    src.server = st.server.empty() ? init_url : st.server;
    parse_servers(src.server, src.brokers, errors);
    check_login(st, src, errors);
    return src;
}

}  // namespace ostrel_standin
