// SPDX-License-Identifier: MIT
// A stand-in for the push SDK: the same header and four operations. Pushes
// come from an MQTT broker when the server URL is mqtt:// or mqtts:// (see
// mqtt.h), and otherwise from a local feed. Its settings come from the
// environment (settings.h).
#include <errno.h>
#include <fcntl.h>
#include <ostrel_sdk/ostrel_sdk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "feed.h"
#include "mqtt.h"
#include "settings.h"

namespace {

using ostrel_standin::decode_line;
using ostrel_standin::settings;

struct State {
    std::mutex mu;  // guards everything below but the callbacks
    bool initialised = false;
    bool started = false;
    std::string client_id, server_url;
    std::vector<std::string> apps;

    std::mutex trace_mu;  // guards the trace file
    int trace_fd = -2;    // -2: not opened yet, -1: no trace

    std::mutex feed_mu;  // guards the feed and its line count
    bool feed_opened = false;
    FILE *feed = nullptr;
    char *line_buf = nullptr;  // getline's buffer, reused
    size_t line_cap = 0;
    unsigned long line_no = 0;

    std::atomic<OstrelMsgCallback> callbacks[eOstrelMsg_Max] = {};
};

State &state() {
    static State s;
    return s;
}

std::string quoted(const char *s) {
    if (s == nullptr) return "NULL";
    std::string q = "\"";
    for (; *s; ++s) {
        if (*s == '"' || *s == '\\') q += '\\';
        q += *s;
    }
    return q + "\"";
}

// Opens the trace file on first use; whether there is one. Call with
// s.trace_mu held.
bool trace_open(State &s) {
    if (s.trace_fd == -2) {
        const std::string &path = settings().trace;
        s.trace_fd = !path.empty()
                         ? open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)
                         : -1;
        if (s.trace_fd < 0 && !path.empty())
            fprintf(stderr, "ostrel_sdk: cannot open trace %s: %s\n", path.c_str(),
                    strerror(errno));
    }
    return s.trace_fd >= 0;
}

bool tracing(State &s) {
    std::lock_guard<std::mutex> lock(s.trace_mu);
    return trace_open(s);
}

// Appends one line to the trace file with a single write, so that lines from
// different threads never mix.
void trace(State &s, const std::string &line) {
    std::lock_guard<std::mutex> lock(s.trace_mu);
    if (!trace_open(s)) return;
    const std::string out = line + "\n";
    if (write(s.trace_fd, out.data(), out.size()) < 0) {
        // A trace is a diagnostic aid; losing it must not stop the pushes.
    }
}

// Pushes up to this size are copied before a guard page (GuardedBuffer);
// larger ones go to the callback where they lie, since a copy of a push of
// many megabytes would cost as much memory again, and keep it.
constexpr size_t kGuardedMax = size_t{1} << 20;

// One mapping per delivery thread. A push is copied to the very end of the
// writable part, right before a PROT_NONE page, and is not NUL-terminated:
// a callback that reads past `len` faults at once.
class GuardedBuffer {
  public:
    GuardedBuffer() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {}
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;
    ~GuardedBuffer() { release(); }

    // Returns where the n bytes now lie, or nullptr when memory ran out.
    const char *place(const char *bytes, size_t n) {
        if (base_ == nullptr || n > cap_) {
            release();
            const size_t cap = (n + page_ - 1) / page_ * page_ + page_;
            void *p = mmap(nullptr, cap + page_, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) return nullptr;
            base_ = static_cast<char *>(p);
            cap_ = cap;
            mprotect(base_ + cap_, page_, PROT_NONE);
        }
        char *at = base_ + cap_ - n;
        // Deliberately not NUL-terminated: a callback that reads past len faults.
        memcpy(at, bytes, n);  // NOLINT(bugprone-not-null-terminated-result)
        return at;
    }

  private:
    void release() {
        if (base_ != nullptr) munmap(base_, cap_ + page_);
        base_ = nullptr;
        cap_ = 0;
    }
    size_t page_;
    char *base_ = nullptr;
    size_t cap_ = 0;
};

// Opens the feed file. A FIFO is opened for writing too, so that it never
// reaches its end when one writer closes: every later writer is read.
FILE *open_feed(const char *path) {
    struct stat st {};
    const bool fifo = stat(path, &st) == 0 && S_ISFIFO(st.st_mode);
    const int fd = open(path, (fifo ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, "r");
    if (f == nullptr) close(fd);
    return f;
}

// Takes the next line of the feed; false at its end.
bool next_line(State &s, std::string &line, unsigned long &line_no) {
    std::lock_guard<std::mutex> lock(s.feed_mu);
    if (!s.feed_opened) {
        s.feed_opened = true;
        const std::string &path = settings().feed;
        s.feed = !path.empty() ? open_feed(path.c_str()) : stdin;
        if (s.feed == nullptr)
            fprintf(stderr, "ostrel_sdk: cannot open feed %s: %s\n", path.c_str(), strerror(errno));
    }
    if (s.feed == nullptr) return false;
    const ssize_t got = getline(&s.line_buf, &s.line_cap, s.feed);
    if (got < 0) return false;
    size_t n = static_cast<size_t>(got);
    if (n > 0 && s.line_buf[n - 1] == '\n') --n;
    line.assign(s.line_buf, n);
    line_no = ++s.line_no;
    if (s.line_cap > kGuardedMax) {  // one long line does not keep its buffer
        free(s.line_buf);
        s.line_buf = nullptr;
        s.line_cap = 0;
    }
    return true;
}

// Hands one push to the registered callback, from whatever source: one of
// ordinary size copied into this thread's guarded buffer, not NUL-terminated.
// A push over the size limit setting is dropped with a line on stderr; the
// source goes on.
void deliver(State &s, const char *data, size_t len) {
    const OstrelMsgCallback cb = s.callbacks[eOstrelMsg_Push].load();
    if (cb == nullptr) return;  // nobody listens for pushes
    const size_t max = settings().max_push;
    if (max != 0 && len > max) {
        fprintf(stderr, "ostrel_sdk: a push of %zu bytes is over %s (%zu bytes); dropped\n", len,
                ostrel_standin::kMaxPushVar, max);
        return;
    }
    if (len > static_cast<size_t>(INT_MAX)) {
        fprintf(stderr, "ostrel_sdk: a push of %zu bytes is too long; dropped\n", len);
        return;
    }
    if (len > kGuardedMax) {
        cb(data, static_cast<int>(len));
        return;
    }
    thread_local GuardedBuffer buffer;
    const char *at = buffer.place(data, len);
    if (at == nullptr) {
        fprintf(stderr, "ostrel_sdk: out of memory for a push of %zu bytes; dropped\n", len);
        return;
    }
    cb(at, static_cast<int>(len));
}

// A feed delivery thread: decodes lines until the feed ends.
void read_feed(State &s) {
    std::string line, push;
    unsigned long line_no = 0;
    while (next_line(s, line, line_no)) {
        if (const char *fault = decode_line(line.data(), line.size(), push)) {
            fprintf(stderr, "ostrel_sdk: feed line %lu: %s; skipped\n", line_no, fault);
            continue;
        }
        deliver(s, push.data(), push.size());
        if (push.capacity() > kGuardedMax || line.capacity() > kGuardedMax) {
            std::string().swap(push);
            std::string().swap(line);
        }
    }
}

}  // namespace

// Only the four operations are exported; everything else stays inside.
#pragma GCC visibility push(default)
extern "C" {

int OstrelInit(const char *client_id, const char *server_url, const char *data) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    int rc = static_cast<int>(settings().init_result);
    if (client_id == nullptr || server_url == nullptr || data == nullptr) rc = -1;
    s.initialised = rc != -1;
    if (s.initialised) {
        // As the server URL, the client id may be set from the environment,
        // so that many clients can share one broker.
        s.client_id = settings().client_id.empty() ? client_id : settings().client_id;
        s.server_url = server_url;
    }
    trace(s, "OstrelInit(" + quoted(client_id) + ", " + quoted(server_url) + ", " + quoted(data) +
                 ") = " + std::to_string(rc));
    return rc;
}

int OstrelSubScribe(int count, const char *const *apps) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    std::string args;
    bool ok = s.initialised && count > 0 && apps != nullptr;
    for (int i = 0; ok && i < count; ++i) {
        if (apps[i] == nullptr) ok = false;
        args += (i ? ", " : "") + quoted(apps[i]);
    }
    if (ok) s.apps.assign(apps, apps + count);
    const int rc = ok ? 0 : -1;
    trace(s,
          "OstrelSubScribe(" + std::to_string(count) + ", [" + args + "]) = " + std::to_string(rc));
    return rc;
}

int OstrelRegister(OstrelMsgType type, OstrelMsgCallback callback) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    const int t = static_cast<int>(type);
    const int rc = t >= 0 && t < eOstrelMsg_Max ? 0 : -1;
    if (rc == 0) s.callbacks[t].store(callback);
    trace(s, "OstrelRegister(" + std::to_string(t) + ", " + (callback ? "callback" : "NULL") +
                 ") = " + std::to_string(rc));
    return rc;
}

}  // extern "C"

namespace {

// The broker source: pushes go to the callback from its network thread.
int start_mqtt(State &s, ostrel_standin::Source src) {
    ostrel_standin::MqttConfig c;
    c.servers = std::move(src.brokers);
    c.password = std::move(src.password);
    c.client_id = s.client_id;
    c.apps = s.apps;
    c.settings = settings();
    c.deliver = [&s](const char *data, size_t len) { deliver(s, data, len); };
    // Without a trace file no event text is built, the pushes' included.
    if (tracing(s)) c.trace = [&s](const std::string &event) { trace(s, "mqtt " + event); };
    return ostrel_standin::mqtt_start(std::move(c));
}

// The feed source: it must be something that can be read line by line. The
// feed itself is opened by the delivery threads: opening a FIFO for reading
// blocks until a writer comes, and start must return at once.
int start_feed(State &s, const std::string &server) {
    const std::string &path = settings().feed;
    // Said once, so that a mistyped broker URL is not mistaken for a broker
    // that sends nothing.
    fprintf(stderr,
            "ostrel_sdk: server %s is not an mqtt:// or mqtts:// URL: reading pushes from %s\n",
            server.c_str(), path.empty() ? "standard input" : ("feed " + path).c_str());
    struct stat st {};
    if (!path.empty() && (access(path.c_str(), R_OK) != 0 || stat(path.c_str(), &st) != 0)) {
        fprintf(stderr, "ostrel_sdk: cannot read feed %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    if (!path.empty() && S_ISDIR(st.st_mode)) {
        fprintf(stderr, "ostrel_sdk: feed %s is a directory\n", path.c_str());
        return -1;
    }
    long running = 0;
    for (; running < settings().threads; ++running) {
        try {
            std::thread(read_feed, std::ref(s)).detach();
        } catch (const std::system_error &e) {
            fprintf(stderr, "ostrel_sdk: cannot start a delivery thread: %s\n", e.what());
            break;
        }
    }
    return running > 0 ? 0 : -1;
}

// Chooses the source for the settings and the server given to OstrelInit,
// and starts it: 0, or -1 with every reason on stderr.
int start_source(State &s) {
    std::vector<std::string> errors;
    ostrel_standin::Source src = ostrel_standin::source(s.server_url, errors);
    for (const std::string &e : errors) fprintf(stderr, "ostrel_sdk: %s\n", e.c_str());
    if (!errors.empty()) return -1;
    if (src.brokers.empty()) return start_feed(s, src.server);
    return start_mqtt(s, std::move(src));
}

}  // namespace

extern "C" {

int OstrelStart(void) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    int rc = static_cast<int>(settings().start_result);
    if (rc != -1 && (!s.initialised || s.started || start_source(s) != 0)) rc = -1;
    s.started = rc != -1;
    trace(s, "OstrelStart() = " + std::to_string(rc));
    return rc;
}

}  // extern "C"
#pragma GCC visibility pop
