// SPDX-License-Identifier: MIT
// Runs a program as a child process with its stdout on a pipe, for tests
// that drive the real binaries.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

extern char **environ;

namespace sktest {

// Sanitizer builds, and builds for another architecture run under an
// emulator, take more memory and time, and valgrind runs neither: tests that
// measure either scale their load or their bound.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(SKTEST_EMULATED)
inline constexpr bool kInstrumented = true;
#else
inline constexpr bool kInstrumented = false;
#endif

// A value of /proc/PID/status in KiB ("VmRSS:", "VmHWM:"), or -1.
inline long status_kib(pid_t pid, const std::string &field) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = -1;
    while (f >> key) {
        if (key == field) {
            f >> value;
            break;
        }
        f.ignore(1 << 16, '\n');
    }
    return value;
}

// A fresh directory under /tmp for one test, removed with its contents.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string &name) {
        std::string tmpl = "/tmp/" + name + ".XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
        dir_ = tmpl;
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    ~ScratchDir() {
        if (std::system(("rm -rf '" + dir_ + "'").c_str()) != 0) {
            // Leaving a directory in /tmp behind does no harm to the test.
        }
    }

    const std::string &dir() const { return dir_; }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

  private:
    std::string dir_;
};

class Child {
  public:
    // Starts `argv[0]` with the current environment plus `env` (which
    // overrides), stdin from `stdin_path`, stderr to `stderr_path` (or
    // inherited when empty), and stdout on a pipe, or into `stdout_path`.
    Child(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
          const std::string &stdin_path = "/dev/null", const std::string &stderr_path = "",
          const std::string &stdout_path = "") {
        std::map<std::string, std::string> all;
        for (char **e = environ; *e; ++e) {
            const std::string kv = *e;
            const auto eq = kv.find('=');
            if (eq != std::string::npos) all[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
        for (const auto &[k, v] : env) all[k] = v;
        std::vector<std::string> env_strings;
        env_strings.reserve(all.size());
        for (const auto &[k, v] : all) env_strings.push_back(k + "=" + v);
        std::vector<char *> envp, args;
        for (auto &s : env_strings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> argv_copy = argv;
        for (auto &s : argv_copy) args.push_back(s.data());
        args.push_back(nullptr);

        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, stdin_path.c_str(), O_RDONLY, 0);
        if (stdout_path.empty())
            posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        else
            posix_spawn_file_actions_addopen(&fa, 1, stdout_path.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!stderr_path.empty())
            posix_spawn_file_actions_addopen(&fa, 2, stderr_path.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int rc = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            throw std::runtime_error("cannot start " + argv[0]);
        }
        out_fd_ = fds[0];
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() {
        if (pid_ > 0) stop();
        if (out_fd_ >= 0) close(out_fd_);
    }

    // Reads stdout until `done(output)` holds, the pipe closes or `timeout`
    // passes; returns everything read so far.
    const std::string &read_until(const std::function<bool(const std::string &)> &done,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buf[65536];
        while (!done(out_) && !eof_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{out_fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            const ssize_t n = read(out_fd_, buf, sizeof buf);
            if (n <= 0)
                eof_ = true;
            else
                out_.append(buf, static_cast<size_t>(n));
        }
        return out_;
    }

    // Reads until the output holds `count` newlines.
    const std::string &read_lines(size_t count,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        return read_until(
            [count](const std::string &s) {
                return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')) >= count;
            },
            timeout);
    }

    // Waits for the child to end by itself; returns its wait status, or -1
    // when it still runs after `timeout` (it is then killed).
    int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        read_until([](const std::string &) { return false; }, timeout);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (wait4(pid_, &status, WNOHANG, &usage_) == pid_) {
                pid_ = -1;
                return status;
            }
            usleep(10000);
        }
        stop();
        return -1;
    }

    // Kills the child (it never ends by itself on success) and reaps it;
    // returns its wait status.
    int stop() {
        int status = 0;
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

    const std::string &output() const { return out_; }
    pid_t pid() const { return pid_; }
    // The child's peak resident set, once wait_exit has reaped it.
    long max_rss_kib() const { return usage_.ru_maxrss; }

    // Sends a signal and waits up to `timeout` for the child to end; one
    // that is still there then is killed, with a line on stderr saying so.
    // Returns its wait status.
    int signal_and_wait(int sig, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        kill(pid_, sig);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        // Its output is read meanwhile, so that a full pipe never holds it.
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            read_until([](const std::string &) { return false; }, std::chrono::milliseconds(10));
            if (std::chrono::steady_clock::now() >= deadline) {
                std::fprintf(stderr, "process %d did not end within %lld ms of signal %d; killed\n",
                             static_cast<int>(pid_), static_cast<long long>(timeout.count()), sig);
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            if (eof_) usleep(10000);
        }
        pid_ = -1;
        read_until([](const std::string &) { return false; }, std::chrono::seconds(1));  // the rest
        return status;
    }

  private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    bool eof_ = false;
    std::string out_;
    rusage usage_{};
};

}  // namespace sktest
