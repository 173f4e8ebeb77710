// SPDX-License-Identifier: MIT
// pushdemo end to end through one private broker on 127.0.0.1:
//   throughput: 200,000 QoS 0 pushes of 64 bytes, received by pushdemo and by
//     mosquitto_sub side by side, each writing to a file; the ratio of their
//     rates is the target (pushdemo >= 0.8x mosquitto_sub);
//   latency: 1,000 pushes/s for 3 s, each carrying its send time, from
//     publish to the line read from pushdemo's stdout; p50 and p99.
#include <mosquitto.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"
#include "process.h"

using namespace std::chrono_literals;
using sktest::Child;

namespace {

constexpr int kThroughputPushes = 200000;
constexpr size_t kPayload = 64;
const std::string kTopic = "push/com.dravo.cloud";

double now() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

long file_size(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// Waits until `path` reaches `size` bytes; returns when, or -1 after 120 s.
double until_size(const std::string &path, long size, double start) {
    while (now() - start < 120) {
        if (file_size(path) >= size) return now();
        std::this_thread::sleep_for(200us);
    }
    return -1;
}

struct Publisher {
    mosquitto *m;
    explicit Publisher(int port) {
        mosquitto_lib_init();
        m = mosquitto_new(nullptr, true, nullptr);
        if (m == nullptr || mosquitto_connect(m, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(m) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("publisher cannot connect");
    }
    ~Publisher() {
        mosquitto_disconnect(m);
        mosquitto_loop_stop(m, false);
        mosquitto_destroy(m);
    }
    void send(const std::string &payload) {
        while (mosquitto_publish(m, nullptr, kTopic.c_str(), static_cast<int>(payload.size()),
                                 payload.data(), 0, false) == MOSQ_ERR_NOMEM)
            std::this_thread::sleep_for(1ms);
    }
};

}  // namespace

int run() {
    sktest::ScratchDir dir("push_bench");
    sktest::Broker broker(dir.dir(), "allow_anonymous true\nmax_queued_messages 0\n");
    const std::map<std::string, std::string> env = {{"OSTREL_SDK_SERVER", broker.url()}};

    // Throughput: both subscribers up, then the stream.
    const std::string pd_out = dir.path("pushdemo.out"), sub_out = dir.path("sub.out");
    Child pushdemo({PUSHDEMO}, env, "/dev/null", dir.path("pushdemo.err"), pd_out);
    Child sub({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()),
               "-t", kTopic, "-q", "0"},
              {}, "/dev/null", dir.path("sub.err"), sub_out);
    const std::string start_line = "start success.\n";
    if (until_size(pd_out, static_cast<long>(start_line.size()), now()) < 0) return 1;
    std::this_thread::sleep_for(500ms);  // mosquitto_sub subscribes on its own
    double t0 = 0;
    {
        Publisher pub(broker.port());
        t0 = now();
        for (int i = 0; i < kThroughputPushes; ++i) {
            std::string p = std::to_string(i);
            p.resize(kPayload, '.');
            pub.send(p);
        }
    }
    // Both files watched in one loop, so that each gets its own finish time.
    const long pd_size =
        static_cast<long>(start_line.size() + kThroughputPushes * (10 + kPayload + 1));
    const long sub_size = static_cast<long>(kThroughputPushes * (kPayload + 1));
    double pd_done = -1, sub_done = -1;
    while ((pd_done < 0 || sub_done < 0) && now() - t0 < 120) {
        if (pd_done < 0 && file_size(pd_out) >= pd_size) pd_done = now();
        if (sub_done < 0 && file_size(sub_out) >= sub_size) sub_done = now();
        std::this_thread::sleep_for(100us);
    }
    if (pd_done < 0 || sub_done < 0) {
        std::printf("not every push arrived: pushdemo %ld bytes, mosquitto_sub %ld bytes\n",
                    file_size(pd_out), file_size(sub_out));
        return 1;
    }
    const double pd_rate = kThroughputPushes / (pd_done - t0);
    const double sub_rate = kThroughputPushes / (sub_done - t0);
    pushdemo.stop();
    sub.stop();

    // Latency at 1,000 pushes/s.
    Child live({PUSHDEMO}, env, "/dev/null", dir.path("live.err"));
    live.read_lines(1, 10s);
    std::vector<double> latency;
    {
        Publisher pub(broker.port());
        std::thread reader([&] {
            size_t at = live.output().find('\n') + 1;  // past "start success."
            while (latency.size() < 3000) {
                const std::string &out = live.read_until(
                    [&](const std::string &o) { return o.find('\n', at) != std::string::npos; },
                    5s);
                const double t = now();
                const size_t before = latency.size();
                for (size_t next = 0; (next = out.find('\n', at)) != std::string::npos;
                     at = next + 1)
                    latency.push_back(t - std::stod(out.substr(out.find(':', at) + 1, 20)));
                if (latency.size() == before) break;  // nothing within 5 s
            }
        });
        const double start = now();
        for (int i = 0; i < 3000; ++i) {
            while (now() < start + i / 1000.0) std::this_thread::sleep_for(50us);
            char p[kPayload + 1];
            std::snprintf(p, sizeof p, "%.6f", now());
            std::string payload(p);
            payload.resize(kPayload, '.');
            pub.send(payload);
        }
        reader.join();
    }
    std::sort(latency.begin(), latency.end());
    auto pct = [&](double q) {
        if (latency.empty()) return -1.0;
        const auto last = static_cast<double>(latency.size() - 1);
        return latency[static_cast<size_t>(q * last)] * 1e3;
    };

    std::printf("| case | measured | target | |\n|---|---|---|---|\n");
    const double ratio = pd_rate / sub_rate;
    std::printf(
        "| 200,000 QoS 0 pushes of 64 B, pushdemo vs mosquitto_sub | %.2f | >= 0.80 | %s |\n",
        ratio, ratio >= 0.8 ? "ok" : "MISS");
    std::printf(
        "| pushdemo rate | %.0f pushes/s | | |\n| mosquitto_sub rate | %.0f pushes/s | | |\n",
        pd_rate, sub_rate);
    std::printf("| latency at 1,000 pushes/s, p50 | %.2f ms | | |\n", pct(0.5));
    std::printf("| latency at 1,000 pushes/s, p99 | %.2f ms | | |\n", pct(0.99));
    std::printf("(%zu of 3000 latency samples)\n", latency.size());
    return 0;
}

int main() {
    try {
        return run();
    } catch (const std::exception &e) {
        std::printf("push_bench: %s\n", e.what());
        return 1;
    }
}
