// SPDX-License-Identifier: MIT
// A TCP server on 127.0.0.1 that is no broker: it accepts connections and
// then never answers (kSilent), or reads the client's first bytes and closes
// (kClose). It counts the connections that sent something, which tells a
// client's connect attempts from bare reachability probes.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace sktest {

class FakeServer {
  public:
    enum Mode { kSilent, kClose };

    FakeServer(Mode mode, int port) : mode_(mode), port_(port) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (listener_ < 0 || setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(listener_, 64) != 0 || pipe2(stop_, O_CLOEXEC) != 0)
            throw std::runtime_error("fake server: cannot listen");
        thread_ = std::thread([this] { serve(); });
    }
    FakeServer(const FakeServer &) = delete;
    FakeServer &operator=(const FakeServer &) = delete;
    ~FakeServer() {
        if (write(stop_[1], "x", 1) != 1) {
            // The thread then ends at its next poll timeout.
        }
        thread_.join();
        for (int fd : held_) close(fd);
        for (int fd : {listener_, stop_[0], stop_[1]}) close(fd);
    }

    int port() const { return port_; }
    // Connections that sent at least one byte.
    int attempts() const { return attempts_; }

  private:
    void serve() {
        for (;;) {
            pollfd p[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, 100) < 0 || (p[1].revents & POLLIN) != 0) return;
            if ((p[0].revents & POLLIN) == 0) continue;
            const int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            pollfd r{c, POLLIN, 0};
            char byte = 0;
            if (poll(&r, 1, 500) == 1 && read(c, &byte, 1) == 1) ++attempts_;
            if (mode_ == kClose)
                close(c);
            else
                held_.push_back(c);
        }
    }

    Mode mode_;
    int port_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    std::vector<int> held_;
    std::atomic<int> attempts_{0};
    std::thread thread_;
};

}  // namespace sktest
