// SPDX-License-Identifier: MIT
// Drives the real pushdemo binary as a process against the SDK stand-in (and
// once against another SDK library), reading its stdout from a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "process.h"

using namespace std::chrono_literals;
using sktest::Child;

namespace {

class Pushdemo : public ::testing::Test {
  protected:
    std::string path(const std::string &name) const { return scratch_.path(name); }

    // Writes a feed with one line per push, escaping what a line cannot hold.
    std::string write_feed(const std::vector<std::string> &pushes) {
        std::ofstream f(path("feed"), std::ios::binary);
        for (const auto &p : pushes) f << escape(p) << '\n';
        return path("feed");
    }

    static std::string escape(const std::string &push) {
        std::string line;
        for (char ch : push) {
            const auto c = static_cast<unsigned char>(ch);
            if (c == '\\')
                line += "\\\\";
            else if (c == '\n')
                line += "\\n";
            else if (c < 0x20 || c >= 0x7f) {
                char hex[5];
                snprintf(hex, sizeof hex, "\\x%02x", c);
                line += hex;
            } else
                line += ch;
        }
        return line;
    }

    // What pushdemo prints for a push: the bytes before the first NUL.
    static std::string printed(const std::string &push) {
        return "recv push:" + push.substr(0, push.find('\0')) + "\n";
    }

    std::unique_ptr<Child> start(std::map<std::string, std::string> env,
                                 const std::string &feed = "/dev/null") {
        if (!env.count("OSTREL_SDK_FEED")) env["OSTREL_SDK_FEED"] = feed;
        return std::make_unique<Child>(std::vector<std::string>{PUSHDEMO}, env, "/dev/null",
                                       path("stderr"));
    }

    // The SDK may deliver a push before main prints "start success.", so
    // that line can stand between any two pushes; each is printed whole.
    // Returns the output with that line moved to the front.
    static std::string start_line_first(std::string out) {
        const std::string start = "start success.\n";
        for (size_t at = 0; (at = out.find(start, at)) != std::string::npos; ++at)
            if (at == 0 || out[at - 1] == '\n') return start + out.erase(at, start.size());
        return out;
    }

    std::string read_file(const std::string &name) const {
        std::ifstream f(path(name), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    sktest::ScratchDir scratch_{"pushdemo_test"};
};

constexpr int kRuns = -1;  // expected "exit status" of a pushdemo that keeps running

struct Startup {
    const char *what, *init, *start, *stdout_text;
    int exit_status;
    const char *trace;  // regular expression for the whole trace
};

const char *const kInitLine =
    R"(OstrelInit\("[0-9]{16}", "https://192\.0\.2\.[0-9]{1,3}", "data"\) = )";
const char *const kSetupLines =
    R"(OstrelSubScribe\(1, \["com\.dravo\.cloud"\]\) = 0\nOstrelRegister\(0, callback\) = 0\n)";

TEST_F(Pushdemo, StartupOutputExitStatusAndCallOrder) {
    const std::string ok = std::string(kSetupLines) + "OstrelStart\\(\\) = ";
    const Startup cases[] = {
        {"both succeed", "0", "0", "start success.\n", kRuns, ""},
        {"init -1 fails", "-1", "0", "Init error.\n", 1, ""},
        {"init -2 is success", "-2", "0", "start success.\n", kRuns, ""},
        {"init 7 is success", "7", "0", "start success.\n", kRuns, ""},
        {"start -1 fails", "0", "-1", "Start error.\n", 1, ""},
        {"start -2 is success", "0", "-2", "start success.\n", kRuns, ""},
    };
    const std::string traces[] = {
        kInitLine + std::string("0\n") + ok + "0\n",  kInitLine + std::string("-1\n"),
        kInitLine + std::string("-2\n") + ok + "0\n", kInitLine + std::string("7\n") + ok + "0\n",
        kInitLine + std::string("0\n") + ok + "-1\n", kInitLine + std::string("0\n") + ok + "-2\n",
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Startup &c = cases[i];
        SCOPED_TRACE(c.what);
        const std::string trace = path("trace" + std::to_string(i));
        auto child = start({{"OSTREL_SDK_INIT_RESULT", c.init},
                            {"OSTREL_SDK_START_RESULT", c.start},
                            {"OSTREL_SDK_TRACE", trace}});
        if (c.exit_status == kRuns) {
            EXPECT_EQ(child->read_lines(1), c.stdout_text);
            EXPECT_EQ(child->wait_exit(300ms), -1) << "pushdemo ended by itself";
        } else {
            const int status = child->wait_exit();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exit_status) << status;
            EXPECT_EQ(child->output(), c.stdout_text);
        }
        const std::string got = read_file("trace" + std::to_string(i));
        EXPECT_TRUE(std::regex_match(got, std::regex(traces[i]))) << got;
    }
}

TEST_F(Pushdemo, PrintsEachPushExactly) {
    std::string long_push(size_t{100} * 1024, 'x');
    for (size_t i = 0; i < long_push.size(); i += 97)
        long_push[i] = static_cast<char>('a' + i % 26);
    const std::vector<std::string> pushes = {
        "hello",
        "",                                 // length 0
        std::string("before\0after", 12),   // NUL inside: printed up to it
        std::string("\0hidden", 7),         // NUL first: an empty push
        "line one\nline two\n\nline four",  // spans lines
        "%s %n %d %% %x %p",                // format directives are text
        "tab\there, backslash \\ there",
        "\xff\xfe raw bytes \x01\x7f",
        long_push,  // 100 KB
        "last",
    };
    auto child = start({}, write_feed(pushes));
    std::string expected = "start success.\n";
    for (const auto &p : pushes) expected += printed(p);
    EXPECT_EQ(start_line_first(child->read_until(
                  [&](const std::string &s) { return s.size() >= expected.size(); })),
              expected);
    EXPECT_EQ(read_file("stderr"),
              "ostrel_sdk: server https://192.0.2.17 is not an mqtt:// or mqtts:// URL: reading "
              "pushes from feed " +
                  path("feed") + "\n");
}

TEST_F(Pushdemo, FourThreadsTenThousandPushesEachArriveWholeAndOnce) {
    constexpr unsigned kPushes = 40000;
    std::vector<std::string> pushes;
    pushes.reserve(kPushes);
    for (unsigned i = 0; i < kPushes; ++i)
        pushes.push_back("push " + std::to_string(i) + " " +
                         std::string(1 + i % 300, static_cast<char>('a' + i % 26)));
    auto child = start({{"OSTREL_SDK_THREADS", "4"}}, write_feed(pushes));
    const std::string &out = child->read_lines(kPushes + 1, 120s);

    std::istringstream lines(start_line_first(out));
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "start success.");
    std::set<std::string> seen;
    size_t count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_TRUE(seen.insert(line).second) << "twice: " << line.substr(0, 40);
    }
    EXPECT_EQ(count, kPushes);
    for (const auto &p : pushes) ASSERT_TRUE(seen.count("recv push:" + p)) << "lost or torn: " << p;
}

// The output must reach a pipe as each push arrives, not when a buffer fills:
// pushdemo never exits normally, so anything left in a buffer is lost.
TEST_F(Pushdemo, EachPushReachesAPipeWhilePushdemoRuns) {
    const std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto child = start({}, fifo);
    ASSERT_EQ(child->read_lines(1, 10s), "start success.\n");
    // One writer after another: each is read, not only the first.
    for (const std::string push : {"first", "second", "third"}) {
        const int w = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(w, 0);
        const std::string line = push + "\n";
        ASSERT_EQ(write(w, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        const std::string want = "recv push:" + push + "\n";
        EXPECT_TRUE(child
                        ->read_until(
                            [&](const std::string &s) {
                                return s.size() >= want.size() &&
                                       s.compare(s.size() - want.size(), want.size(), want) == 0;
                            },
                            10s)
                        .ends_with(want))
            << push << " did not arrive while pushdemo runs";
        close(w);
    }
    EXPECT_EQ(child->wait_exit(300ms), -1);
}

TEST_F(Pushdemo, MalformedFeedLinesAreReportedAndSkipped) {
    std::ofstream(path("feed")) << "ok 1\nbad \\q escape\nok 2\ntrailing \\\n\\x4\nok 3";
    auto child = start({}, path("feed"));
    EXPECT_EQ(start_line_first(child->read_lines(4, 10s)),
              "start success.\nrecv push:ok 1\nrecv push:ok 2\nrecv push:ok 3\n");
    child->stop();
    const std::string err = read_file("stderr");
    for (const char *line : {"feed line 2: ", "feed line 4: ", "feed line 5: "})
        EXPECT_NE(err.find(line), std::string::npos) << err;
    EXPECT_EQ(err.find("feed line 1:"), std::string::npos) << err;
}

TEST_F(Pushdemo, UnreadableFeedFailsStart) {
    for (const std::string &feed : {path("missing"), scratch_.dir()}) {  // a directory too
        auto child = start({}, feed);
        const int status = child->wait_exit();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << feed;
        EXPECT_EQ(child->output(), "Start error.\n") << feed;
    }
}

// pushdemo needs nothing of the stand-in but the four operations: another
// library of the same file name, found first through LD_LIBRARY_PATH, serves.
// That one also hands over a negative length with an unreadable pointer.
TEST_F(Pushdemo, RunsUnchangedAgainstAnotherSdkLibrary) {
    auto child = start({{"LD_LIBRARY_PATH", ALT_SDK_DIR}});
    EXPECT_EQ(start_line_first(child->read_lines(4, 10s)),
              "start success.\nrecv push:alt 1\nrecv push:\nrecv push:alt 2\n");
}

// When the copy cannot be allocated, the push is still printed in full.
TEST_F(Pushdemo, PrintsThePushWhenTheCopyCannotBeAllocated) {
    const std::vector<std::string> pushes = {"abc", std::string("x\0y", 3), "", "multi\nline"};
    auto child = start({{"LD_PRELOAD", NO_STRNDUP},
                        // the sanitizer runtime must otherwise come first
                        {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"}},
                       write_feed(pushes));
    std::string expected = "start success.\n";
    for (const auto &p : pushes) expected += printed(p);
    EXPECT_EQ(start_line_first(child->read_lines(6, 10s)), expected);
    child->stop();
    EXPECT_NE(read_file("stderr").find("strndup refused"), std::string::npos);
}

// A push is anyone's bytes. On a terminal its control characters and C1
// controls are shown escaped, so it cannot retitle or clear the screen;
// through a pipe every byte is kept. A push over OSTREL_SDK_MAX_PUSH is
// dropped with a line naming its size, and the next one still arrives.
TEST_F(Pushdemo, HostilePushesOnATerminalOverTheLimitAndBadSettings) {
    const std::string big(3 << 20, 'b');  // past the guarded copy
    const std::vector<std::string> pushes = {"\x1b]0;retitled\x07",
                                             "\x1b[2J\x1b[Hcleared",
                                             "caf\xc3\xa9 \xe2\x82\xac ok",
                                             std::string("c1 \xc2\x9b") + "31m",
                                             "raw \xff\x80 \r\x7f",
                                             "tab\tand\nnewline",
                                             big};
    const std::string on_terminal =
        "start success.\n"
        "recv push:\\x1b]0;retitled\\x07\n"
        "recv push:\\x1b[2J\\x1b[Hcleared\n"
        "recv push:caf\xc3\xa9 \xe2\x82\xac ok\n"
        "recv push:c1 \\xc2\\x9b31m\n"
        "recv push:raw \\xff\\x80 \\x0d\\x7f\n"
        "recv push:tab\tand\nnewline\n"
        "recv push:" +
        big + "\n";
    {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const std::string slave_path = ptsname(master);
        const int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        ASSERT_EQ(tcgetattr(slave, &raw), 0);
        cfmakeraw(&raw);  // the bytes as written, no \r added
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
        Child child({PUSHDEMO}, {{"OSTREL_SDK_FEED", write_feed(pushes)}}, "/dev/null",
                    path("stderr"), slave_path);
        std::string got;
        char buf[65536];
        for (pollfd p{master, POLLIN, 0};
             got.size() < on_terminal.size() && poll(&p, 1, 30000) == 1;) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        EXPECT_EQ(start_line_first(got), on_terminal);
        close(slave);
        close(master);
    }
    auto piped = start({}, write_feed(pushes));
    std::string expected = "start success.\n";
    for (const auto &p : pushes) expected += printed(p);
    EXPECT_EQ(start_line_first(piped->read_until(
                  [&](const std::string &out) { return out.size() >= expected.size(); })),
              expected);

    auto capped = start({{"OSTREL_SDK_MAX_PUSH", "10"}},
                        write_feed({"ten bytes!", "eleven byte", big, "ten again!"}));
    EXPECT_EQ(start_line_first(capped->read_lines(3)),
              "start success.\nrecv push:ten bytes!\nrecv push:ten again!\n");
    const std::string err = read_file("stderr");
    EXPECT_NE(err.find("a push of 11 bytes is over OSTREL_SDK_MAX_PUSH (10 bytes); dropped"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("a push of 3145728 bytes is over"), std::string::npos) << err;

    const std::pair<const char *, const char *> bad[] = {
        {"OSTREL_SDK_MAX_PUSH", "0"},           {"OSTREL_SDK_MAX_PUSH", "1k"},
        {"OSTREL_SDK_MAX_PUSH", "99999999999"}, {"OSTREL_SDK_SEND_PASSWORD_UNENCRYPTED", "yes"},
        {"OSTREL_SDK_CONNECT_TIMEOUT", "0"},    {"OSTREL_SDK_CONNECT_TIMEOUT", "10s"}};
    for (const auto &[name, value] : bad) {
        auto child = start({{name, value}});
        EXPECT_EQ(child->wait_exit(), 1 << 8) << name << "=" << value;
        EXPECT_EQ(child->output(), "Start error.\n");
        EXPECT_NE(read_file("stderr").find(std::string(name) + "=" + value), std::string::npos)
            << read_file("stderr");
    }
    // Every problem is named at once, not the first alone; a bad keepalive
    // falls back to its default with a note.
    auto child = start({{"OSTREL_SDK_MAX_PUSH", "x"},
                        {"OSTREL_SDK_CERT_FILE", "c.pem"},
                        {"OSTREL_SDK_PASSWORD_FILE", "pw"},
                        {"OSTREL_SDK_KEEPALIVE", "1"}});
    EXPECT_EQ(child->wait_exit(), 1 << 8);
    const std::string all = read_file("stderr");
    for (const char *want :
         {"OSTREL_SDK_MAX_PUSH=x", "OSTREL_SDK_CERT_FILE and OSTREL_SDK_KEY_FILE",
          "OSTREL_SDK_PASSWORD_FILE needs OSTREL_SDK_USERNAME",
          "OSTREL_SDK_KEEPALIVE=1 is not a number from 2 to 3600; using 5"})
        EXPECT_NE(all.find(want), std::string::npos) << want << "\n" << all;
}

}  // namespace

namespace {

using sktest::kInstrumented;

long rss_kib(pid_t pid) {
    return sktest::status_kib(pid, "VmRSS:");
}

// 8 delivery threads x 100,000 pushes into a file: every push arrives once
// and whole, and pushdemo's memory does not grow with the pushes. Sanitizer
// builds run a tenth of the load (their allocators keep freed memory).
TEST_F(Pushdemo, LoadEightThreadsIntoAFile) {
    const unsigned threads = 8, each = kInstrumented ? 10000 : 100000, total = threads * each;
    size_t expected_size = std::string("start success.\n").size();
    {
        std::ofstream feed(path("feed"), std::ios::binary);
        for (unsigned i = 0; i < total; ++i) {
            const std::string push = "load " + std::to_string(i) + " " +
                                     std::string(1 + i % 64, static_cast<char>('a' + i % 26));
            feed << push << '\n';
            expected_size += push.size() + 11;  // "recv push:" and the newline
        }
    }
    Child child({PUSHDEMO}, {{"OSTREL_SDK_FEED", path("feed")}, {"OSTREL_SDK_THREADS", "8"}},
                "/dev/null", path("stderr"), path("out"));
    long rss_early = -1, rss_late = -1;
    const auto deadline = std::chrono::steady_clock::now() + 300s;
    for (;;) {
        struct stat st {};
        const size_t size =
            stat(path("out").c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
        if (rss_early < 0 && size > expected_size / 5) rss_early = rss_kib(child.pid());
        if (size >= expected_size || std::chrono::steady_clock::now() > deadline) break;
        usleep(20000);
    }
    rss_late = rss_kib(child.pid());
    child.stop();

    std::ifstream out(path("out"), std::ios::binary);
    std::vector<bool> seen(total);
    std::string line;
    size_t lines = 0, starts = 0;
    while (std::getline(out, line)) {
        ++lines;
        if (line == "start success.") {
            ++starts;
            continue;
        }
        unsigned i = 0;
        char pad[80] = {};
        // The line was printed by a test feed; a bad number fails the pad check below.
        // NOLINTNEXTLINE(cert-err34-c)
        ASSERT_EQ(sscanf(line.c_str(), "recv push:load %u %79s", &i, pad), 2) << line;
        ASSERT_LT(i, total);
        ASSERT_EQ(std::string(pad), std::string(1 + i % 64, static_cast<char>('a' + i % 26)))
            << "torn: " << line;
        ASSERT_FALSE(seen[i]) << "twice: " << line;
        seen[i] = true;
    }
    EXPECT_EQ(starts, 1u);
    EXPECT_EQ(lines, total + 1) << "pushes lost";
    std::printf("pushdemo RSS: %ld KiB after a fifth of %u pushes, %ld KiB after all\n", rss_early,
                total, rss_late);
    if (!kInstrumented) {
        EXPECT_LT(rss_late - rss_early, 2048) << "memory grows with the pushes";
    }
}

// A shorter run under valgrind: no leak and no invalid access, pushes on 4
// threads, ended by SIGTERM as a user would.
TEST_F(Pushdemo, ValgrindFindsNoLeakOrInvalidAccess) {
    if (kInstrumented) GTEST_SKIP() << "valgrind runs neither sanitizer nor emulated builds";
    if (std::system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no valgrind";
    std::vector<std::string> pushes;
    pushes.reserve(400);
    for (unsigned i = 0; i < 400; ++i)
        pushes.push_back("vg " + std::to_string(i) + std::string(i % 50, 'v'));
    const std::string log = path("valgrind.log");
    Child child({"/usr/bin/valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite",
                 "--log-file=" + log, PUSHDEMO},
                {{"OSTREL_SDK_FEED", write_feed(pushes)}, {"OSTREL_SDK_THREADS", "4"}});
    const std::string &out = child.read_lines(401, 120s);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 401);
    child.signal_and_wait(SIGTERM);
    const std::string report = read_file("valgrind.log");
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
    const bool no_leak = report.find("definitely lost: 0 bytes") != std::string::npos ||
                         report.find("no leaks are possible") != std::string::npos;
    EXPECT_TRUE(no_leak) << report;
}

}  // namespace
