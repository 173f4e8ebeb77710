// SPDX-License-Identifier: MIT
// A private MQTT broker (Debian's mosquitto) for tests and benchmarks: the
// scripts' configuration (scripts/mosquitto.conf) with its own persistence
// in a directory of the caller's, listening on a free port on 127.0.0.1
// only, stopped when the object goes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "process.h"

namespace sktest {

// A port on 127.0.0.1 that nothing listens on at this moment.
inline int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (s < 0) throw std::runtime_error("no socket");
    const bool ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                    getsockname(s, reinterpret_cast<sockaddr *>(&a), &n) == 0;
    close(s);
    if (!ok) throw std::runtime_error("no free port");
    return ntohs(a.sin_port);
}

inline bool accepts(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

class Broker {
  public:
    // `listener_conf`: lines added under the listener (TLS files, a password
    // file); the broker always keeps its sessions on disk in `dir`.
    Broker(std::string dir, const std::string &listener_conf = "")
        : dir_(std::move(dir)), port_(free_port()) {
        // The scripts' private broker configuration, and this one's own lines.
        std::ifstream common(SKTEST_BROKER_CONF);
        if (!common) throw std::runtime_error(std::string("cannot read ") + SKTEST_BROKER_CONF);
        std::ofstream(dir_ + "/mosquitto.conf")
            << common.rdbuf() << "persistence_location " << dir_ << "/\n"
            << "log_dest file " << dir_ << "/mosquitto.log\n"
            << "listener " << port_ << " 127.0.0.1\n"
            << (listener_conf.empty() ? "allow_anonymous true\n" : listener_conf);
        start();
    }
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;
    ~Broker() { stop(); }

    void start() {
        child_ = std::make_unique<Child>(
            std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir_ + "/mosquitto.conf"},
            std::map<std::string, std::string>{}, "/dev/null", dir_ + "/mosquitto.err");
        for (int i = 0; i < 500 && !accepts(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!accepts(port_)) throw std::runtime_error("mosquitto did not start; see " + dir_);
    }

    // SIGTERM: the broker writes its sessions to disk on the way out. One
    // that has not ended 10 s later is killed, and stderr says so.
    void stop() {
        if (child_) child_->signal_and_wait(SIGTERM);
        child_.reset();
    }

    // Signals the broker without stopping it (SIGSTOP, SIGCONT), or kills it
    // (SIGKILL: the process is then gone; start() starts it again).
    void signal(int sig) {
        if (!child_) return;
        if (sig == SIGKILL) {
            child_->signal_and_wait(SIGKILL);
            child_.reset();
        } else {
            kill(child_->pid(), sig);
        }
    }

    int port() const { return port_; }
    std::string url(const std::string &scheme = "mqtt",
                    const std::string &host = "127.0.0.1") const {
        return scheme + "://" + host + ":" + std::to_string(port_);
    }

  private:
    std::string dir_;
    int port_;
    std::unique_ptr<Child> child_;
};

}  // namespace sktest
