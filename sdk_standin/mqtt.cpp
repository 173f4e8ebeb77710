// SPDX-License-Identifier: MIT
// MQTT source of the SDK stand-in, on libmosquitto's non-threaded interface:
// one network thread of ours runs the loop, so the reconnect backoff is ours.
#include "mqtt.h"

#include <errno.h>
#include <mosquitto.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "failover.h"

namespace ostrel_standin {

namespace {

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The address family that accepts a connection at host:port, trying each
// address in the resolver's order as a blocking connect would, but bounded by
// the deadline; 0 with the reason in `why` when none does.
int reachable_family(const std::string &host, int port, double deadline, std::string &why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    int gai = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    // AI_ADDRCONFIG finds no address where only loopback is configured (a
    // network namespace of one's own) or where the interfaces cannot be
    // listed (an emulator): then every family the name has is tried.
    if (gai == EAI_NONAME || gai == EAI_ADDRFAMILY) {
        hints.ai_flags = 0;
        gai = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    }
    if (gai != 0) {
        why = std::string("cannot resolve ") + host + ": " + gai_strerror(gai);
        return 0;
    }
    int family = 0;
    why = "no answer within the connect timeout";
    for (addrinfo *a = found; a != nullptr && family == 0; a = a->ai_next) {
        const int s = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s < 0) continue;
        int err = connect(s, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (err == EINPROGRESS) {
            pollfd p{s, POLLOUT, 0};
            const double left = deadline - now();
            if (left > 0 && poll(&p, 1, static_cast<int>(left * 1000) + 1) == 1) {
                socklen_t n = sizeof err;
                if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &n) != 0) err = errno;
            }
        }
        close(s);
        if (err == 0)
            family = a->ai_family;
        else if (err != EINPROGRESS)
            why = strerror(err);
    }
    freeaddrinfo(found);
    return family;
}

// A setting's text for a C interface: NULL when empty.
const char *or_null(const std::string &s) {
    return s.empty() ? nullptr : s.c_str();
}

// ---------------------------------------------------------------------------
// A node's client: made with TLS and the login set, callbacks left to the
// caller.

std::string mosquitto_text(int rc) {
    return rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
}

// A TLS client: the system's CA store unless a CA file is named; the peer
// verified, TLS 1.2 or later, the host name checked.
std::string set_tls(mosquitto *m, const Settings &st) {
    const char *ca = or_null(st.ca_file);
    if (ca == nullptr) mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    int rc = mosquitto_tls_set(m, ca, ca == nullptr ? "/etc/ssl/certs" : nullptr,
                               or_null(st.cert_file), or_null(st.key_file), nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(m, 1, "tlsv1.2", nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(m, false);
    return rc == MOSQ_ERR_SUCCESS ? "" : "TLS set-up: " + mosquitto_text(rc);
}

// The user name from the settings; the password only from a file, never
// from the environment, where other processes may read it.
std::string set_login(mosquitto *m, const MqttConfig &c) {
    const char *user = or_null(c.settings.username);
    if (user == nullptr) return "";
    const int rc = mosquitto_username_pw_set(m, user, c.password ? c.password->c_str() : nullptr);
    return rc == MOSQ_ERR_SUCCESS ? "" : "login set-up: " + mosquitto_text(rc);
}

// A persistent-session MQTT 3.1.1 client for node u with `obj` as its
// callbacks' argument; nullptr, and why, when it cannot be set up.
mosquitto *new_client(const MqttConfig &c, const BrokerUrl &u, void *obj, std::string &why) {
    mosquitto *m = mosquitto_new(c.client_id.c_str(), /*clean_session=*/false, obj);
    if (m == nullptr) {
        why = std::string("cannot create the MQTT client: ") + strerror(errno);
        return nullptr;
    }
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    why = u.tls ? set_tls(m, c.settings) : "";
    if (why.empty()) why = set_login(m, c);
    if (why.empty()) return m;
    mosquitto_destroy(m);
    return nullptr;
}

// ---------------------------------------------------------------------------
// The liveness probe. A silent broker (a hung process, a stalled host) keeps
// the connection open and answers nothing; a node cut off from its cluster
// may go on answering the protocol (pings, subscriptions) while it delivers
// nothing (RabbitMQ 4.3 in a minority partition). Whenever nothing was
// heard for half the keepalive, the probe asks for an answer that takes
// the way pushes take: a QoS 1 message to the client's own probe topic,
// which must come back as a delivery (echo); or, where the broker will not
// carry that topic, an UNSUBSCRIBE of a topic no one uses, whose UNSUBACK
// answers (unsubscribe). None within the keepalive is a loss. While pushes
// flow, it sends nothing.

class Probe {
  public:
    Probe(long keepalive, bool echo, std::string topic)
        : keepalive_(static_cast<double>(keepalive)), echo_(echo), topic_(std::move(topic)) {}

    // The topic an echo probe goes to and comes back on.
    const std::string &topic() const { return topic_; }
    bool echo() const { return echo_; }

    // Anything from the broker that shows it delivers: a push, an echo.
    void heard() {
        last_heard_ = now();
        mid_ = -1;
    }
    // An UNSUBACK.
    void answered(int mid) {
        if (!echo_ && mid == mid_) heard();
    }
    // Between loop runs: false once a probe went unanswered for the keepalive.
    bool alive(mosquitto *m) {
        const double t = now();
        if (mid_ >= 0) return t - sent_ < keepalive_;
        if (t - last_heard_ < keepalive_ / 2) return true;
        int mid = 0;
        const int rc = echo_ ? mosquitto_publish(m, &mid, topic_.c_str(), 5, "probe", 1, false)
                             : mosquitto_unsubscribe(m, &mid, "ostrel/probe");
        if (rc == MOSQ_ERR_SUCCESS) {
            mid_ = mid;
            sent_ = t;
        }
        return true;
    }

  private:
    double keepalive_;
    bool echo_;
    std::string topic_;
    double last_heard_ = 0;  // when the broker last showed it delivers
    double sent_ = 0;        // when the probe awaiting its answer went
    int mid_ = -1;           // that probe, or -1
};

// ---------------------------------------------------------------------------
// One connection attempt's progress, reset as a whole for each attempt.
struct Attempt {
    bool connected = false;
    int connack = 0;                    // the broker's refusal code; 0: none
    bool subscription_refused = false;  // a subscription granted 0x80
    int probe_mid = -1;                 // the echo probe's subscription
    bool probe_refused = false;         // which the broker refused
    int wanted = 0, acked = 0;          // subscriptions sent and answered
    std::string tls_error;              // the TLS library's words, when it failed

    bool done() const {
        return connack != 0 || subscription_refused || (connected && acked == wanted);
    }
};

// The client's own probe topic: its id, less the characters that would make
// it a wildcard, which no message can be published to.
std::string probe_topic(std::string id) {
    std::replace(id.begin(), id.end(), '+', '_');
    std::replace(id.begin(), id.end(), '#', '_');
    return "ostrel/probe/" + id;
}

class Session {
  public:
    explicit Session(MqttConfig c)
        : c_(std::move(c)), nodes_(c_.servers.size()), used_(c_.servers.size()) {}
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session() {
        for (mosquitto *m : nodes_)
            if (m != nullptr) mosquitto_destroy(m);
    }

    // Connects to the first node that answers, from a random one, each
    // getting an even share of what is left of the timeout.
    int start() {
        mosquitto_lib_init();
        const long timeout = c_.settings.connect_timeout;
        const size_t n = nodes_.size();
        const size_t first = start_node(n, rng_);
        const double deadline = now() + static_cast<double>(timeout);
        for (size_t k = 0; k < n; ++k) {
            const size_t i = (first + k) % n;
            const double share = (deadline - now()) / static_cast<double>(n - k);
            const std::string why = connect(i, now() + share, timeout);
            if (why.empty()) return run_in_background();
            report(i, why);
            if (now() >= deadline) break;
        }
        return -1;
    }

  private:
    // libmosquitto's own keepalive, which also tells the broker how long to
    // wait for us, takes no less than 5 s; a silent broker is found sooner by
    // the probe in run().
    int mqtt_keepalive() const { return static_cast<int>(std::max(5L, c_.settings.keepalive)); }

    int run_in_background() {
        try {
            std::thread(&Session::run, this).detach();
        } catch (const std::system_error &e) {
            return fail(std::string("cannot start the network thread: ") + e.what());
        }
        return 0;
    }

    // The node's client, made on first use and kept, so that a session's
    // messages in flight survive a reconnect to the same node.
    mosquitto *client(size_t i, std::string &why) {
        if (nodes_[i] != nullptr) return nodes_[i];
        mosquitto *m = new_client(c_, c_.servers[i], this, why);
        if (m == nullptr) return nullptr;
        mosquitto_connect_with_flags_callback_set(m, on_connect);
        mosquitto_disconnect_callback_set(m, on_disconnect);
        mosquitto_subscribe_callback_set(m, on_subscribe);
        mosquitto_unsubscribe_callback_set(m, on_unsubscribe);
        mosquitto_message_callback_set(m, on_message);
        mosquitto_log_callback_set(m, on_log);
        return nodes_[i] = m;
    }

    // Connects to node i and subscribes, by the deadline: "" on success, or
    // the reason it did not. A client that never had a session is dropped
    // after a failure, so that no half-open connection of it lingers.
    std::string connect(size_t i, double deadline, long timeout) {
        std::string why = try_connect(i, deadline, timeout);
        if (why.empty()) {
            used_[i] = true;
            current_ = i;
        } else if (!used_[i] && nodes_[i] != nullptr) {
            mosquitto_destroy(nodes_[i]);
            nodes_[i] = nullptr;
        }
        return why;
    }

    std::string try_connect(size_t i, double deadline, long timeout) {
        const BrokerUrl &u = c_.servers[i];
        std::string why;
        mosquitto *m = client(i, why);
        if (m == nullptr) return why;
        attempt_ = {};
        trace("connect " + u.text);
        // An asynchronous connect takes the first address the name resolves
        // to, even when only a later one answers (localhost as ::1 and
        // 127.0.0.1, with the broker on one of them). Binding to the wildcard
        // of the family that answers steers it to that address; the host name
        // stays as given, for the certificate check.
        const int family = reachable_family(u.host, u.port, deadline, why);
        if (family == 0) return why;
        int rc = mosquitto_connect_bind_async(m, u.host.c_str(), u.port, mqtt_keepalive(),
                                              family == AF_INET6 ? "::" : "0.0.0.0");
        // Data sent and never acknowledged (a path that drops packets) is a
        // loss within the keepalive too.
        const unsigned user_timeout = static_cast<unsigned>(c_.settings.keepalive) * 1000;
        if (rc == MOSQ_ERR_SUCCESS)
            setsockopt(mosquitto_socket(m), IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout,
                       sizeof user_timeout);
        // Connected, and every subscription acknowledged, or a failure.
        while (rc == MOSQ_ERR_SUCCESS && !attempt_.done()) {
            if (now() >= deadline)
                return "no answer from " + u.text + " within " + std::to_string(timeout) + " s";
            rc = mosquitto_loop(m, 100, 1);
        }
        if (attempt_.connack != 0)
            return std::string("the broker refused the connection: ") +
                   mosquitto_connack_string(attempt_.connack);
        if (attempt_.probe_refused)
            return "the broker refused the probe's topic " + probe_.topic() +
                   ": allow this client to publish and subscribe to it, or set "
                   "OSTREL_SDK_PROBE=unsubscribe";
        if (attempt_.subscription_refused) return "the broker refused a subscription";
        if (rc != MOSQ_ERR_SUCCESS) return error_text(rc);
        subscribed_ = true;
        return "";
    }

    // The network thread: the loop; after a loss the other nodes in turn,
    // the lost one last, and a backoff only between whole rounds.
    // A broker drops a session's older connection when another client
    // connects with the same id; two such clients take the session from each
    // other in turn, and each sees its connections lost right after they
    // are made. From the kTakeovers-th such loss in a row, that is the cause.
    static constexpr double kQuickLoss = 5.0;  // seconds after a connect
    static constexpr int kTakeovers = 3;
    // A node that stopped answering (the probe), beside libmosquitto's own
    // results.
    static constexpr int kSilent = -1000;

    // The network thread: the loop; after a loss the other nodes, the lost
    // one last, and a backoff only between whole rounds.
    void run() {
        double connected_at = now();
        int quick_losses = 0;
        for (;;) {
            mosquitto *m = nodes_[current_];
            probe_.heard();
            int rc = MOSQ_ERR_SUCCESS;
            while (rc == MOSQ_ERR_SUCCESS) {
                errno = 0;  // so that the errno a loss leaves is its own (cause())
                rc = mosquitto_loop(m, 200, 1);
                if (rc == MOSQ_ERR_SUCCESS && !probe_.alive(m)) {
                    mosquitto_disconnect(m);
                    rc = kSilent;
                }
            }
            const int err = errno;
            const size_t lost = current_;
            quick_losses = now() - connected_at < kQuickLoss ? quick_losses + 1 : 0;
            const std::string why =
                quick_losses >= kTakeovers
                    ? "session taken over by another client with this id (" + c_.client_id + ")"
                    : cause(rc, err);
            fprintf(stderr, "ostrel_sdk: connection to %s lost: %s; reconnecting\n",
                    c_.servers[lost].text.c_str(), why.c_str());
            trace("disconnect " + std::to_string(rc) + ": " + why);
            reconnect(lost);
            connected_at = now();
            fprintf(stderr, "ostrel_sdk: reconnected to %s\n", c_.servers[current_].text.c_str());
        }
    }

    // What a loss's result says, for people: never a bare "Unknown error.".
    // libmosquitto reports a reset as a lost connection, and a TLS record it
    // cannot read as an errno of EPROTO: errno tells them apart.
    std::string cause(int rc, int err) const {
        std::string silent = "no answer in " + std::to_string(c_.settings.keepalive) + " s";
        std::string tls =
            "TLS failure" + (attempt_.tls_error.empty() ? "" : " (" + attempt_.tls_error + ")");
        switch (rc) {
            case kSilent:
            case MOSQ_ERR_KEEPALIVE:
                return silent;
            case MOSQ_ERR_CONN_LOST:
                return err == ECONNRESET ? "connection reset" : "closed by the broker";
            case MOSQ_ERR_TLS:
                return tls;
            case MOSQ_ERR_ERRNO:
                if (err == ETIMEDOUT) return silent;
                if (err == ECONNRESET || err == EPIPE) return "connection reset";
                if (err == EPROTO && c_.servers[current_].tls) return tls;
                return strerror(err);
            default:
                return "libmosquitto error " + std::to_string(rc) + " (" + mosquitto_strerror(rc) +
                       ")";
        }
    }

    void reconnect(size_t lost) {
        const size_t n = nodes_.size();
        const long timeout = c_.settings.connect_timeout;
        const double share = std::max(1.0, static_cast<double>(timeout) / static_cast<double>(n));
        for (Reconnect plan(lost, n, rng_);;) {
            const Reconnect::Step step = plan.next();
            if (step.new_round) {
                trace("round failed; waiting " + std::to_string(step.wait_ms) + " ms");
                usleep(static_cast<useconds_t>(step.wait_ms) * 1000);
            }
            const std::string why = connect(step.node, now() + share, timeout);
            if (why.empty()) return;
            trace("not connected to " + c_.servers[step.node].text + ": " + why);
        }
    }

    // Subscribes, unless the broker kept this session and its subscriptions
    // from an earlier connection of this process: subscribing again would
    // wait on the cluster's metadata, which a hung node holds up (RabbitMQ).
    // A session the broker kept from someone else (another process with
    // this id) is subscribed, since it may lack ours.
    static void on_connect(mosquitto *m, void *obj, int rc, int flags) {
        auto *s = static_cast<Session *>(obj);
        const bool kept = (flags & 1) != 0 && s->subscribed_;
        s->trace("connected " + std::to_string(rc) + (kept ? ", session kept" : ""));
        if (rc != 0) {
            s->attempt_.connack = rc;
            return;
        }
        s->attempt_.connected = true;
        s->attempt_.wanted = s->attempt_.acked = 0;
        if (kept) return;
        for (const std::string &app : s->c_.apps)
            for (const std::string &topic :
                 {"push/" + app, "push/" + app + "/" + s->c_.client_id}) {
                ++s->attempt_.wanted;
                const int sub = mosquitto_subscribe(m, nullptr, topic.c_str(), 2);
                s->trace("subscribe " + topic + " = " + std::to_string(sub));
            }
        if (s->probe_.echo()) {
            ++s->attempt_.wanted;
            const int sub =
                mosquitto_subscribe(m, &s->attempt_.probe_mid, s->probe_.topic().c_str(), 1);
            s->trace("subscribe " + s->probe_.topic() + " = " + std::to_string(sub));
        }
    }

    // QoS 2 is asked for; a broker may grant 1 (or 0). 0x80 is a refusal.
    static void on_subscribe(mosquitto *, void *obj, int mid, int count, const int *granted) {
        auto *s = static_cast<Session *>(obj);
        std::string grants;
        for (int i = 0; i < count; ++i) {
            if (granted[i] > 2) s->attempt_.subscription_refused = true;
            if (granted[i] > 2 && mid == s->attempt_.probe_mid) s->attempt_.probe_refused = true;
            grants += ' ';
            grants += std::to_string(granted[i]);
        }
        ++s->attempt_.acked;
        s->trace("subscribed " + std::to_string(mid) + " granted" + grants);
    }

    // The probe's answer.
    static void on_unsubscribe(mosquitto *, void *obj, int mid) {
        static_cast<Session *>(obj)->probe_.answered(mid);
    }

    static void on_disconnect(mosquitto *, void *obj, int rc) {
        static_cast<Session *>(obj)->trace("disconnected " + std::to_string(rc));
    }

    static void on_message(mosquitto *, void *obj, const mosquitto_message *msg) {
        auto *s = static_cast<Session *>(obj);
        if (s->probe_.echo() && same_topic(msg->topic, s->probe_.topic())) {
            s->probe_.heard();  // a probe's echo, this one's or an earlier one's: never a push
            return;
        }
        if (!s->ours(msg->topic) || msg->payloadlen < 0) return;
        const auto len = static_cast<size_t>(msg->payloadlen);
        s->probe_.heard();
        if (s->c_.trace) s->trace("push " + std::to_string(len) + " bytes on " + msg->topic);
        s->c_.deliver(len > 0 ? static_cast<const char *>(msg->payload) : "", len);
    }

    // The TLS library's own words for a failed handshake come through here.
    static void on_log(mosquitto *, void *obj, int level, const char *text) {
        if (level == MOSQ_LOG_ERR) static_cast<Session *>(obj)->attempt_.tls_error = text;
    }

    // Whether a topic is one this client subscribed to: a stale session may
    // hold subscriptions of its own. Some brokers (RabbitMQ's MQTT plugin)
    // route on topics with '/' turned into '.' and hand them back with every
    // '.' turned into '/', so a dot in an app id may come back as a slash:
    // the two are taken as one, as those brokers' routing does.
    static std::string slashed(std::string t) {
        std::replace(t.begin(), t.end(), '.', '/');
        return t;
    }
    static bool same_topic(const char *got, const std::string &topic) {
        return slashed(got) == slashed(topic);
    }
    bool ours(const char *topic) const {
        const std::string got = slashed(topic);
        for (const std::string &app : c_.apps) {
            const std::string t = slashed("push/" + app);
            if (got == t || got == t + "/" + slashed(c_.client_id)) return true;
        }
        return false;
    }

    std::string error_text(int rc) const {
        std::string text = mosquitto_text(rc);
        if (!attempt_.tls_error.empty()) text += " (" + attempt_.tls_error + ")";
        return text;
    }

    void report(size_t i, const std::string &why) {
        fprintf(stderr, "ostrel_sdk: %s: %s\n", c_.servers[i].text.c_str(), why.c_str());
        trace("start failed on " + c_.servers[i].text + ": " + why);
    }

    int fail(const std::string &why) {
        fprintf(stderr, "ostrel_sdk: %s\n", why.c_str());
        trace("start failed: " + why);
        return -1;
    }

    void trace(const std::string &event) const {
        if (c_.trace) c_.trace(event);
    }

    MqttConfig c_;
    std::vector<mosquitto *> nodes_;               // one client per node, made on first use
    std::vector<bool> used_;                       // whether a node's client ever had a session
    size_t current_ = 0;                           // the node connected to
    std::mt19937_64 rng_{std::random_device{}()};  // next nodes and waits
    Probe probe_{c_.settings.keepalive, c_.settings.echo_probe, probe_topic(c_.client_id)};
    Attempt attempt_;
    bool subscribed_ = false;  // this process's subscriptions are in the session
};

}  // namespace

int mqtt_start(MqttConfig config) {
    // Lives for the rest of the process, as the network thread does.
    auto *s = new Session(std::move(config));
    const int rc = s->start();
    if (rc != 0) delete s;
    return rc;
}

}  // namespace ostrel_standin
