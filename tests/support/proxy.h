// SPDX-License-Identifier: MIT
// A TCP relay on 127.0.0.1 in front of a server port, for faults a test
// makes on the path between a client and its server: reset() ends every
// connection with an RST, as a firewall or a crashed middlebox would, and
// corrupt() flips a bit in the next bytes the server sends.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "broker.h"

namespace sktest {

class Proxy {
  public:
    explicit Proxy(int to_port) : to_(to_port), port_(free_port()) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = loopback(port_);
        const int on = 1;
        if (listener_ < 0 || setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            bind(listener_, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0 ||
            listen(listener_, 16) != 0)
            throw std::runtime_error("proxy: cannot listen");
        thread_ = std::thread([this] { relay(); });
    }
    Proxy(const Proxy &) = delete;
    Proxy &operator=(const Proxy &) = delete;
    ~Proxy() {
        stop_ = true;
        thread_.join();
        close_all(false);
        close(listener_);
    }

    int port() const { return port_; }
    void reset() { reset_ = true; }
    void corrupt() { corrupt_ = true; }

  private:
    static sockaddr_in loopback(int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        return a;
    }

    // Closes every relayed pair; with `rst`, with an RST instead of a FIN.
    void close_all(bool rst) {
        const linger hard{1, 0};
        for (int fd : fds_) {
            if (rst) setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            close(fd);
        }
        fds_.clear();
    }

    // fds_ holds pairs: [client, server, client, server, ...].
    void relay() {
        char buf[65536];
        while (!stop_) {
            if (reset_.exchange(false)) close_all(true);
            std::vector<pollfd> p{{listener_, POLLIN, 0}};
            for (int fd : fds_) p.push_back({fd, POLLIN, 0});
            if (poll(p.data(), p.size(), 50) <= 0) continue;
            if ((p[0].revents & POLLIN) != 0) {
                const int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in a = loopback(to_);
                if (c >= 0 && s >= 0 &&
                    connect(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0) {
                    fds_.push_back(c);
                    fds_.push_back(s);
                } else {
                    if (c >= 0) close(c);
                    if (s >= 0) close(s);
                }
                continue;
            }
            for (size_t i = 1; i < p.size(); ++i) {
                if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                const size_t at = i - 1, peer = at ^ 1;
                const ssize_t n = read(fds_[at], buf, sizeof buf);
                if (n <= 0) {  // one side ended: end the pair
                    close(fds_[at]);
                    close(fds_[peer]);
                    fds_.erase(fds_.begin() + static_cast<long>(std::min(at, peer)),
                               fds_.begin() + static_cast<long>(std::min(at, peer) + 2));
                    break;
                }
                if (at % 2 == 1 && corrupt_.exchange(false)) buf[n - 1] ^= 0x10;
                if (write(fds_[peer], buf, static_cast<size_t>(n)) != n) {
                    // A peer that went is seen at its next read.
                }
            }
        }
    }

    int to_, port_, listener_ = -1;
    std::vector<int> fds_;
    std::atomic<bool> stop_{false}, reset_{false}, corrupt_{false};
    std::thread thread_;
};

}  // namespace sktest
