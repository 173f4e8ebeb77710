// SPDX-License-Identifier: MIT
// The sealkit command, driven as a process: a round trip per cipher, and its
// own parsing, input, output files, keys, signals and memory use. The
// library tests cover the cipher bytes.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "options.h"
#include "process.h"
#include "support.h"

using namespace std::chrono_literals;
using namespace sktest;

namespace {

class Tool : public ::testing::Test {
  protected:
    std::string path(const std::string &name) const { return scratch_.path(name); }

    std::string write(const std::string &name, const Bytes &b, mode_t mode = 0644) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(b.data()), static_cast<long>(b.size()));
        chmod(path(name).c_str(), mode);
        return path(name);
    }
    // Binary key bytes, mode 0600: nothing to warn about.
    std::string key(const std::string &name, size_t n) const {
        Bytes k(n);
        for (size_t i = 0; i < n; ++i) k[i] = static_cast<unsigned char>(i * 37 + 1);
        return write(name, k, 0600);
    }

    Bytes read(const std::string &name) const {
        std::ifstream f(path(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }

    bool exists(const std::string &name) const {
        struct stat st {};
        return lstat(path(name).c_str(), &st) == 0;
    }

    // Names in the scratch directory (temporary files would show here).
    std::string listing() const {
        const std::string ls = "/bin/ls -A " + scratch_.dir() + " > " + scratch_.dir() + ".ls";
        if (std::system(ls.c_str()) != 0) return "?";
        std::ifstream f(scratch_.dir() + ".ls");
        std::stringstream s;
        s << f.rdbuf();
        unlink((scratch_.dir() + ".ls").c_str());
        return s.str();
    }

    // Waits up to 20 s for process `pid` to hold a file open in the scratch
    // directory: its output, unnamed or not yet renamed.
    bool writes_output(pid_t pid) const {
        for (int i = 0; i < 20000; ++i) {
            const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
            std::error_code ec;
            for (const auto &fd : std::filesystem::directory_iterator(fds, ec)) {
                const std::string to = std::filesystem::read_symlink(fd.path(), ec).string();
                if (to.rfind(scratch_.dir() + "/", 0) == 0 && to.find("fifo") == std::string::npos)
                    return true;
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    struct Result {
        int status;  // exit status, or -1 when killed
        Bytes out;
        std::string err;
        long max_rss_kib;
    };

    // Runs a command with stdin from `stdin_path`, collecting stdout and stderr.
    Result run(const std::vector<std::string> &argv, const std::string &stdin_path = "/dev/null",
               const std::string &stdout_path = "",
               const std::map<std::string, std::string> &env = {}) {
        Child child(argv, env, stdin_path, path("stderr"), stdout_path);
        const int status = child.wait_exit(120s);
        std::ifstream e(path("stderr"));
        std::stringstream err;
        err << e.rdbuf();
        const std::string &o = child.output();
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Bytes(o.begin(), o.end()), err.str(),
                child.max_rss_kib()};
    }

    Result sealkit(std::vector<std::string> args, const std::string &stdin_path = "/dev/null",
                   const std::string &stdout_path = "") {
        args.insert(args.begin(), SEALKIT_TOOL);
        return run(args, stdin_path, stdout_path);
    }

    // As an unprivileged user when the tests run as root, so that file
    // permissions apply. The scratch directory is opened up for that user,
    // and the command (with libsealkit.so, in a shared build) is copied into
    // it: the build tree need not be reachable for others. Under an
    // emulator the program itself is copied and run through the emulator,
    // whose wrapper script would reach into the build tree.
    Result sealkit_as_user(std::vector<std::string> args, const std::string &stdout_path = "") {
        if (geteuid() != 0) {
            args.insert(args.begin(), SEALKIT_TOOL);
            return run(args, "/dev/null", stdout_path);
        }
        chmod(scratch_.dir().c_str(), 0777);
        const auto copy = [&](const std::string &from, const std::string &name) {
            std::filesystem::copy_file(from, path(name),
                                       std::filesystem::copy_options::overwrite_existing);
            chmod(path(name).c_str(), 0755);
        };
        std::map<std::string, std::string> env;
#ifdef SEALKIT_SHARED_LIB
        copy(SEALKIT_SHARED_LIB, std::filesystem::path(SEALKIT_SHARED_LIB).filename());
        env["LD_LIBRARY_PATH"] = scratch_.dir();
#endif
        std::vector<std::string> command = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups", "--"};
#ifdef SKTEST_EMULATOR
        copy(SEALKIT_TOOL_FILE, "sealkit");
        std::istringstream emulator(SKTEST_EMULATOR);
        for (std::string word; emulator >> word;) command.push_back(word);
        if (!env.empty())
            command.insert(command.end(), {"-E", "LD_LIBRARY_PATH=" + scratch_.dir()});
        env.clear();  // for the program, not for the emulator
#else
        copy(SEALKIT_TOOL, "sealkit");
#endif
        command.push_back(path("sealkit"));
        args.insert(args.begin(), command.begin(), command.end());
        return run(args, "/dev/null", stdout_path, env);
    }

    sktest::ScratchDir scratch_{"sealkit_tool_test"};
};

// One round trip per cipher: stdin to a file, a file to stdout.
TEST_F(Tool, RoundTripsEveryCipherThroughFilesAndPipes) {
    std::mt19937 rng(8);
    struct Case {
        const char *cipher;
        size_t key_len, n;
        uint32_t block;
    };
    for (const Case c : {Case{"aes-ecb", 24, 17, 16}, Case{"aes-cbc", 32, 4097, 16},
                         Case{"builtin", 0, 16, 16}, Case{"blowfish", 72, 9, 8}}) {
        SCOPED_TRACE(c.cipher);
        const Bytes plain = random_bytes(rng, c.n);
        write("plain", plain);
        std::vector<std::string> k;
        if (c.key_len > 0) k = {"--key-file", key("key", c.key_len)};
        const std::string env = path(std::string(c.cipher) + ".env");

        auto seal = k;
        seal.insert(seal.begin(), {"seal", "--cipher", c.cipher, "--out", env});
        const Result s = sealkit(seal, path("plain"));
        ASSERT_EQ(s.status, 0) << s.err;
        EXPECT_EQ(s.err, "");
        EXPECT_EQ(read(std::string(c.cipher) + ".env").size(), envelope_len(c.n, c.block));

        auto open = k;
        open.insert(open.begin(), {"open", "--cipher=" + std::string(c.cipher), "--in", env});
        const Result o = sealkit(open);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out, plain);
    }
}

TEST_F(Tool, ErrorsNameTheProblemAndWriteNothing) {
    const std::string k = key("key", 16), short_key = key("short", 15);
    const std::string plain = write("plain", {'h', 'i'}), empty = write("empty", {});
    const std::string not_env = write("not_env", Bytes(18, 1));
    const std::string forged = write("forged", {3});  // a lone pad byte of 3
    write("taken", {'x'});
    struct Case {
        const char *what;
        std::vector<std::string> args;
        std::string stdin_path;
        std::string message;
        int status;
        bool prints = false;  // writes to stdout before it fails
    };
    const Case cases[] = {
        {"no command", {}, "/dev/null", "no command", 2},
        {"unknown command", {"crypt"}, "/dev/null", "unknown command", 2},
        {"no cipher", {"seal", "--key-file", k}, plain, "--cipher is required", 2},
        {"unknown cipher",
         {"seal", "--cipher", "des", "--key-file", k},
         plain,
         "unknown cipher",
         2},
        {"no key", {"seal", "--cipher", "aes-cbc"}, plain, "--key-file is required", 2},
        {"builtin with key",
         {"seal", "--cipher", "builtin", "--key-file", k},
         plain,
         "takes no --key-file",
         2},
        {"option without value", {"seal", "--cipher"}, plain, "--cipher needs a value", 2},
        {"an option is no value",
         {"seal", "--cipher", "builtin", "--out", "--force"},
         plain,
         "--out needs a value",
         2},
        {"repeated option",
         {"seal", "--cipher", "builtin", "--cipher=builtin"},
         plain,
         "--cipher given twice",
         2},
        {"unknown option",
         {"seal", "--cipher", "aes-cbc", "--key", "x"},
         plain,
         "unknown option",
         2},
        {"key and input on stdin",
         {"seal", "--cipher", "aes-cbc", "--key-file", "-"},
         plain,
         "cannot both be standard input",
         2},
        {"key too short",
         {"seal", "--cipher", "aes-ecb", "--key-file", short_key},
         plain,
         "key file " + short_key + " is too short: 15 bytes",
         1},
        {"envelope checked before the key",
         {"open", "--cipher", "blowfish", "--key-file", short_key, "--in", not_env},
         "/dev/null",
         "not an envelope",
         1},
        {"missing key file",
         {"seal", "--cipher", "aes-ecb", "--key-file", path("nokey")},
         plain,
         "cannot open key file " + path("nokey"),
         1},
        {"missing input",
         {"seal", "--cipher", "builtin", "--in", path("nothing")},
         "/dev/null",
         "cannot open input " + path("nothing"),
         1},
        {"empty FILE", {"seal", "--cipher", "builtin", ""}, plain, "empty FILE", 2},
        {"keygen takes no builtin",
         {"keygen", "--cipher", "builtin"},
         "/dev/null",
         "none to make (aes-ecb, aes-cbc, blowfish)",
         2},
        {"directory input",
         {"seal", "--cipher", "builtin", "--in", scratch_.dir()},
         "/dev/null",
         "is a directory",
         1},
        {"empty input", {"seal", "--cipher", "builtin"}, empty, "input is empty", 1},
        {"not an envelope",
         {"open", "--cipher", "aes-cbc", "--key-file", k},
         not_env,
         "not an envelope: 18 bytes is not a multiple of 16 plus 1",
         1},
        {"forged pad count",
         {"open", "--cipher", "builtin"},
         forged,
         "pad count exceeds its blocks",
         1},
        {"inspect a non-envelope", {"inspect"}, not_env, "not an envelope for any cipher", 1, true},
        {"file and --in", {"inspect", not_env, "--in", not_env}, "/dev/null", "not both", 2},
        {"two files", {"inspect", not_env, not_env}, "/dev/null", "one FILE at most", 2},
        {"existing output",
         {"seal", "--cipher", "builtin", "--out", path("taken")},
         plain,
         "use --force",
         1},
        {"output to a missing directory",
         {"seal", "--cipher", "builtin", "--out", path("no/such/dir")},
         plain,
         "cannot create",
         1},
        {"output device full",
         {"seal", "--cipher", "builtin", "--out", "/dev/full"},
         plain,
         "cannot write /dev/full",
         1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Result r = sealkit(c.args, c.stdin_path);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.rfind("sealkit: ", 0), 0u) << r.err;
        EXPECT_EQ(r.out.empty(), !c.prints);
    }
    EXPECT_EQ(read("taken"), Bytes{'x'});
    EXPECT_FALSE(exists("no"));
}

// A failure after the output was opened leaves no partial file: neither a
// replaced file nor a temporary one.
TEST_F(Tool, AFailedOpenLeavesAnExistingOutputFileUntouched) {
    write("out", {'k', 'e', 'e', 'p'});
    Bytes bad(33, 1);
    bad[0] = 200;  // a pad count larger than the blocks, seen at the first byte
    const Result r = sealkit({"open", "--cipher", "builtin", "--out", path("out"), "--force"},
                             write("bad", bad));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read("out"), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(listing(), "bad\nout\nstderr\n");
}

TEST_F(Tool, FailedWriteToStandardOutputIsAnError) {
    const Result r = sealkit({"seal", "--cipher", "builtin"}, write("plain", {'x'}), "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write standard output"), std::string::npos) << r.err;
}

TEST_F(Tool, OutputFilesKeepTheirInodeModeOwnerAndLinks) {
    const std::string plain = write("plain", Bytes(100, 'p'));
    // A symlink is followed: the target gets the output, the link stays.
    write("target", {'o', 'l', 'd'});
    ASSERT_EQ(symlink("target", path("link").c_str()), 0);
    ASSERT_EQ(
        sealkit({"seal", "--cipher", "builtin", "--out", path("link"), "--force"}, plain).status,
        0);
    struct stat st {};
    ASSERT_EQ(lstat(path("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read("target").size(), 113u);

    // A dangling symlink: its target is created.
    ASSERT_EQ(symlink("fresh", path("dangling").c_str()), 0);
    ASSERT_EQ(sealkit({"seal", "--cipher", "builtin", "--out", path("dangling")}, plain).status, 0);
    EXPECT_EQ(read("fresh").size(), 113u);

    // Replacing a file keeps its inode, mode, owner and hard links.
    write("kept", {'o', 'l', 'd'}, 0640);
    ASSERT_EQ(link(path("kept").c_str(), path("kept2").c_str()), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path("kept").c_str(), 65534, 65534), 0);
    }
    struct stat before {
    }, after{};
    ASSERT_EQ(stat(path("kept").c_str(), &before), 0);
    ASSERT_EQ(
        sealkit({"seal", "--cipher", "builtin", "--out", path("kept"), "--force"}, plain).status,
        0);
    ASSERT_EQ(stat(path("kept").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(read("kept2").size(), 113u);
    EXPECT_EQ(listing(), "dangling\nfresh\nkept\nkept2\nlink\nplain\nstderr\ntarget\n");
}

// As a user: /dev/stdout behind a symlink writes into the redirected stdout
// (in place, no /dev node touched), and a writable file in a read-only
// directory can be replaced.
TEST_F(Tool, AsAUserStdoutLinksAndReadOnlyDirectories) {
    const std::string plain = write("plain", Bytes(20, 'u'));
    ASSERT_EQ(symlink("/proc/self/fd/1", path("to_stdout").c_str()), 0);
    const Result r = sealkit_as_user(
        {"seal", "--cipher", "builtin", "--in", plain, "--out", path("to_stdout")}, path("redir"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read("redir").size(), 33u);

    ASSERT_EQ(mkdir(path("ro").c_str(), 0777), 0);
    write("ro/file", {'o', 'l', 'd'}, 0666);
    chmod(path("ro").c_str(), 0555);
    const Result ro = sealkit_as_user(
        {"seal", "--cipher", "builtin", "--in", plain, "--out", path("ro/file"), "--force"});
    chmod(path("ro").c_str(), 0755);
    ASSERT_EQ(ro.status, 0) << ro.err;
    EXPECT_EQ(read("ro/file").size(), 33u);
}

// Output paths another user laid out: in a sticky directory anyone can
// write to, a symlink or file of someone else's is refused, as a shell
// redirect refuses it (fs.protected_symlinks, protected_regular), and the
// place it names is left alone; one's own is followed. Needs root to plant
// as another user.
TEST_F(Tool, HostilePlantedLinksInAStickyDirectory) {
    if (geteuid() != 0) GTEST_SKIP() << "planting files as another user needs root";
    const std::string plain = write("plain", Bytes(20, 'p'));
    ASSERT_EQ(mkdir(path("tmp").c_str(), 01777), 0);
    ASSERT_EQ(chmod(path("tmp").c_str(), 01777), 0);  // past the umask
    ASSERT_EQ(symlink(path("victim").c_str(), path("tmp/report").c_str()), 0);
    ASSERT_EQ(lchown(path("tmp/report").c_str(), 65534, 65534), 0);
    write("tmp/theirs", {'t', 'h', 'e', 'i', 'r', 's'});
    ASSERT_EQ(chown(path("tmp/theirs").c_str(), 65534, 65534), 0);
    ASSERT_EQ(symlink(path("mine").c_str(), path("tmp/mine").c_str()), 0);
    struct Case {
        std::string out;
        int status;
        const char *message;
    };
    const Case cases[] = {
        {path("tmp/report"), 1, "refusing to follow the symlink"},
        {path("tmp/theirs"), 1, "refusing to write into"},
        {path("tmp/mine"), 0, ""},
    };
    for (const Case &c : cases) {
        const Result r =
            sealkit({"seal", "--cipher", "builtin", "--in", plain, "--out", c.out, "--force"});
        EXPECT_EQ(r.status, c.status) << c.out << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_FALSE(exists("victim"));
    EXPECT_EQ(read("tmp/theirs"), (Bytes{'t', 'h', 'e', 'i', 'r', 's'}));
    EXPECT_EQ(read("mine").size(), 33u);
}

// --force replaces a file in place: on a file system too full for the new
// bytes it fails with the file untouched, whether the spool could go beside
// it or (its directory unwritable for the user) in TMPDIR; a shorter output
// leaves nothing of the old one behind it. Needs root to mount a small tmpfs.
TEST_F(Tool, HostileForceOnAFullFileSystemLeavesTheFileUntouched) {
    const std::string small = path("small");
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    if (geteuid() != 0 ||
        std::system(
            ("mount -t tmpfs -o size=1M,mode=0755 tmpfs " + small + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    struct Unmount {
        std::string dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount{small};
    const Bytes old = {'n', 'i', 'n', 'e', ' ', 'b', 'y', 't', 'e'};
    write("small/file", old, 0666);
    const std::string big = write("big", Bytes(3 << 20, 'b'));
    for (const bool as_user : {false, true}) {
        SCOPED_TRACE(as_user ? "as a user, directory read-only" : "as root");
        if (as_user) chmod(small.c_str(), 0555);
        const std::vector<std::string> args = {"seal", "--cipher", "builtin",       "--in",
                                               big,    "--out",    small + "/file", "--force"};
        const Result r = as_user ? sealkit_as_user(args) : sealkit(args);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(small + "/file"), std::string::npos) << r.err;
        EXPECT_EQ(read("small/file"), old);
    }
    chmod(small.c_str(), 0755);
    write("small/file", Bytes(2000, 'o'), 0666);
    const Result r = sealkit({"seal", "--cipher", "builtin", "--in", write("short", Bytes(20, 's')),
                              "--out", small + "/file", "--force"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read("small/file"),
              sealkit({"seal", "--cipher", "builtin", "--in", path("short")}).out);
}

// SIGTERM while the output is written leaves no temporary file behind.
TEST_F(Tool, SigtermDuringAWriteLeavesNoTemporaryFile) {
    const std::string big = path("big");
    ASSERT_EQ(truncate(write("big", {}).c_str(), off_t{1} << 30), 0);  // sparse
    Child child({SEALKIT_TOOL, "seal", "--cipher", "aes-cbc", "--key-file", key("key", 16), "--in",
                 big, "--out", path("out")},
                {});
    ASSERT_TRUE(writes_output(child.pid())) << listing();
    const int status = child.signal_and_wait(SIGTERM);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(listing(), "big\nkey\n");
}

// Where the file system refuses O_TMPFILE, a new output is a named
// temporary file beside it until commit: renamed into place whole, never
// over a file that appeared meanwhile, and removed on SIGTERM.
TEST_F(Tool, WithoutUnnamedFilesANamedTemporaryFileIsRenamedOrRemoved) {
#ifdef SKTEST_EMULATOR
    GTEST_SKIP() << "a preloaded library and an emulator do not mix";
#endif
    if (sktest::kInstrumented) GTEST_SKIP() << "the sanitizer runtime must be loaded first";
    const std::map<std::string, std::string> env = {{"LD_PRELOAD", NO_TMPFILE}};
    const std::string k = key("key", 16);
    Child sealer({SEALKIT_TOOL, "seal", "-c", "aes-cbc", "-k", k, "-o", path("env"),
                  write("plain", Bytes(100, 7))},
                 env);
    EXPECT_EQ(sealer.wait_exit(), 0);
    EXPECT_EQ(read("env"), sealkit({"seal", "-c", "aes-cbc", "-k", k, path("plain")}).out);
    EXPECT_EQ(listing(), "env\nkey\nplain\nstderr\n");

    ASSERT_EQ(truncate(write("big", {}).c_str(), off_t{1} << 30), 0);  // sparse
    Child child({SEALKIT_TOOL, "seal", "-c", "aes-cbc", "-k", k, path("big"), "-o", path("out")},
                env);
    for (int i = 0; i < 4000 && listing().find("out.") == std::string::npos; ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_NE(listing().find("out."), std::string::npos) << listing();
    const int status = child.signal_and_wait(SIGTERM);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(listing(), "big\nenv\nkey\nplain\nstderr\n");
}

// The largest plaintext a 32-bit envelope holds (2^32 - 16 bytes for AES)
// is taken: sealing it to /dev/full fails at the write, not the size; and
// the largest envelope opens. One byte more is refused before anything is
// read, from a file or a pipe. 256 MiB go through in flat memory.
TEST_F(Tool, SizeLimitAndFlatMemory) {
    struct Case {
        const char *command;
        off_t size;
        const char *message;
    };
    for (const Case c :
         {Case{"seal", (off_t{1} << 32) - 16, "cannot write /dev/full"},
          Case{"seal", (off_t{1} << 32) - 15, "input too large"},
          Case{"open", (off_t{1} << 32) - 15, "cannot write /dev/full"},
          Case{"open", (off_t{1} << 32) + 1, "not an envelope: larger than 4 GiB"}}) {
        SCOPED_TRACE(std::string(c.command) + " " + std::to_string(c.size));
        ASSERT_EQ(truncate(write("huge", {}).c_str(), c.size), 0);  // sparse
        const Result r = sealkit({c.command, "-c", "builtin", path("huge"), "-o", "/dev/full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    if (!kInstrumented) {  // 4 GiB through a pipe; the limit holds there too
        const Result r = run({"/bin/bash", "-c",
                              "head -c $((2**32 - 15)) /dev/zero | $S seal -c aes-ecb -k " +
                                  key("k", 16) + " -o " + path("out")},
                             "/dev/null", "", {{"S", SEALKIT_TOOL}});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("input too large"), std::string::npos) << r.err;
        EXPECT_FALSE(exists("out"));
    }

    ASSERT_EQ(truncate(write("big", {}).c_str(), off_t{256} << 20), 0);
    const Result big =
        sealkit({"seal", "--cipher", "builtin", "--in", path("big"), "--out", "/dev/null"});
    ASSERT_EQ(big.status, 0) << big.err;
    if (!kInstrumented) {
        EXPECT_LT(big.max_rss_kib, 32 * 1024);
    }
    std::printf("peak RSS sealing 256 MiB: %ld KiB\n", big.max_rss_kib);
}

TEST_F(Tool, KeysAreMadeFreshAndCheckedForMistakes) {
    for (const char *cipher : {"aes-cbc", "blowfish"}) {
        const std::string k = path(std::string(cipher) + ".key");
        ASSERT_EQ(sealkit({"keygen", "--cipher", cipher, "--out", k}).status, 0);
        struct stat st {};
        ASSERT_EQ(stat(k.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, std::string(cipher) == "blowfish" ? 16 : 32);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        const Result again = sealkit({"keygen", "--cipher", cipher, "--out", k});
        EXPECT_EQ(again.status, 1);
        EXPECT_NE(again.err.find("never replaces"), std::string::npos);
        const Result used =
            sealkit({"seal", "--cipher", cipher, "--key-file", k}, write("p", {'x'}));
        EXPECT_EQ(used.status, 0) << used.err;
        EXPECT_EQ(used.err, "");
    }
    EXPECT_NE(sealkit({"keygen", "--cipher", "aes-ecb"}).out,
              sealkit({"keygen", "--cipher", "aes-ecb"}).out);

    const std::string hex = "00112233445566778899aabbccddeeff";
    struct Case {
        const char *what;
        Bytes key;
        mode_t mode;
        const char *warning;
    };
    const Case cases[] = {
        {"newline", concat(Bytes(16, 'k'), {'\n'}), 0600, "ends in a newline"},
        {"hex", Bytes(hex.begin(), hex.end()), 0600, "looks like hex"},
        {"base64", Bytes(24, 'Q'), 0600, "looks like base64"},
        {"group-readable", Bytes(16, 0x01), 0640, "is open to its group (mode 0640)"},
        {"world-readable", Bytes(16, 0x01), 0604, "is open to others (mode 0604)"},
        {"too long", Bytes(40, 0x01), 0600, "uses only the first 32"},
        {"AES-128 and 4 unused bytes", Bytes(20, 0x01), 0600, "uses only the first 16"},
        {"AES-192 and 1 unused byte", Bytes(25, 0x01), 0600, "uses only the first 24"},
    };
    for (const Case &c : cases) {
        const Result r = sealkit({"seal", "--cipher", "aes-cbc", "--key-file",
                                  write(std::string("k_") + c.what, c.key, c.mode)},
                                 write("p", {'x'}));
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_NE(r.err.find(std::string("warning: key file ")), std::string::npos) << c.what;
        EXPECT_NE(r.err.find(c.warning), std::string::npos) << c.what << ": " << r.err;
        const Result quiet = sealkit(
            {"seal", "-q", "--cipher", "aes-cbc", "--key-file", path(std::string("k_") + c.what)},
            path("p"));
        EXPECT_EQ(quiet.status, 0);
        EXPECT_EQ(quiet.err, "") << c.what;
    }
}

TEST_F(Tool, InspectReadsTheFirstByteAndTheSize) {
    Bytes env(49, 0);
    env[0] = 15;
    const Result r = sealkit({"inspect", "--in", write("env", env)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(std::string(r.out.begin(), r.out.end()),
              "length: 49 bytes\n"
              "pad count byte: 15\n"
              "AES (aes-ecb, aes-cbc, builtin): fits, 3 blocks of 16 bytes, 33 plaintext bytes\n"
              "Blowfish (blowfish): fits, 6 blocks of 8 bytes, 33 plaintext bytes\n");
    const Result bf = sealkit({"inspect", "--json"}, write("bf", Bytes{8, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(bf.status, 0);
    EXPECT_EQ(std::string(bf.out.begin(), bf.out.end()),
              "{\"length\":9,\"pad_count\":8,\"aes\":{\"fits\":false},"
              "\"blowfish\":{\"fits\":true,\"blocks\":1,\"plaintext_length\":8}}\n");
}

TEST_F(Tool, ConventionsHelpVersionAndDashes) {
    for (const char *cmd : {"seal", "open", "inspect", "keygen"}) {
        const Result r = sealkit({cmd, "--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(
            std::string(r.out.begin(), r.out.end()).rfind(std::string("usage: sealkit ") + cmd, 0),
            0u);
    }
    const Result v = sealkit({"--version"});
    EXPECT_EQ(std::string(v.out.begin(), v.out.end()), std::string("sealkit ") + sealkit_version() +
                                                           "\n" + OpenSSL_version(OPENSSL_VERSION) +
                                                           "\n");
    const Result h = sealkit({"--help"});
    const std::string help(h.out.begin(), h.out.end());
    EXPECT_NE(help.find("no integrity"), std::string::npos) << help;
    EXPECT_NE(help.find("sealkit(1)"), std::string::npos) << help;
    EXPECT_EQ(sealkit({"help"}).out, h.out);
    EXPECT_EQ(sealkit({"help", "open"}).out, sealkit({"open", "--help"}).out);
    // '-' is standard input and output; /dev/fd/0 works as a key file.
    const Result s = sealkit({"seal", "--cipher=aes-cbc", "--key-file=/dev/fd/0", "--in",
                              write("p", {'a', 'b', 'c'}), "--out", "-"},
                             key("key", 16));
    ASSERT_EQ(s.status, 0) << s.err;
    const Result o =
        sealkit({"open", "--cipher", "aes-cbc", "--key-file", path("key"), "--in", "-"},
                write("env", s.out));
    EXPECT_EQ(o.out, (Bytes{'a', 'b', 'c'}));
}

// Pipes of any length: one that ends within the first chunk behaves as a
// file; a longer one streams with its total unknown, and sealing writes the
// pad-count byte last, to whatever the output is. Each case is a shell
// pipeline, its result compared with what the same data gives from a file,
// in at most 32 MiB of address space per process (so of memory too).
TEST_F(Tool, PipesGiveTheBytesFilesGive) {
    std::mt19937 rng(17);
    write("small", random_bytes(rng, 64));
    write("big", random_bytes(rng, (kInstrumented ? 3 : 40) << 20));  // over one 1 MiB chunk
    key("k", 32);
    key("k2", 16);
    const auto sealed = [&](const std::string &name, const char *cipher, const char *k) {
        const Result r = sealkit({"seal", "-c", cipher, "-k", path(k), path(name)});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    const Bytes small_env = sealed("small", "aes-cbc", "k"),
                big_env = sealed("big", "aes-cbc", "k");
    write("big.sk", big_env);
    write("big.bad", concat(big_env, {'x'}));
    const std::string before = listing();

    struct Case {
        const char *what, *script;
        Bytes expect;         // in `out`, when the status is 0
        std::string message;  // on stderr, when it is 1
    };
    const Case cases[] = {
        {"64 bytes", "cat small | $S seal -c aes-cbc -k k > out", small_env, ""},
        {"empty", "true | $S seal -c aes-cbc -k k -o out", {}, "input is empty"},
        {"to a new file", "cat big | $S seal -c aes-cbc -k k -o out", big_env, ""},
        {"to a redirected stdout", "cat big | $S seal -c aes-cbc -k k > out", big_env, ""},
        {"appended", "printf ab > out; cat big | $S seal -c aes-cbc -k k >> out",
         concat({'a', 'b'}, big_env), ""},
        {"to a pipe", "cat big | $S seal -c aes-cbc -k k | cat > out", big_env, ""},
        {"over a file", "printf old > out; cat big | $S seal -c aes-cbc -k k -f -o out", big_env,
         ""},
        {"opened to a pipe", "cat big.sk | $S open -c aes-cbc -k k - | cat > out", read("big"), ""},
        {"key rotation", "$S open -c aes-cbc -k k big.sk | $S seal -c blowfish -k k2 -o out",
         sealed("big", "blowfish", "k2"), ""},
        {"malformed at its end",
         "cat big.bad | $S open -c aes-cbc -k k -o out",
         {},
         "not an envelope: " + std::to_string(big_env.size() + 1) + " bytes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // The sanitizers reserve far more address space than they use.
        const std::string limit = kInstrumented ? "" : "ulimit -v 32768; ";
        const Result r =
            run({"/bin/bash", "-c",
                 "set -o pipefail; " + limit + "cd " + scratch_.dir() + " && " + c.script},
                "/dev/null", "", {{"S", SEALKIT_TOOL}});
        EXPECT_EQ(r.status, c.expect.empty() ? 1 : 0) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(read("out"), c.expect);
        unlink(path("out").c_str());
        EXPECT_EQ(listing(), before);  // no temporary file left
    }
}

// SIGKILL while a long pipe is sealed: the output was never committed, so
// no file of that name exists, let alone one with the placeholder byte.
TEST_F(Tool, SigkillWhileSealingAPipeCommitsNothing) {
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    const int writer = ::open(path("fifo").c_str(), O_RDWR);  // never closed: no end
    ASSERT_GE(writer, 0);
    Child child({SEALKIT_TOOL, "seal", "-c", "builtin", "-o", path("out")}, {}, path("fifo"));
    const Bytes chunk(3 << 20, 'x');  // past the first chunk: the total is unknown
    ASSERT_EQ(::write(writer, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
    ASSERT_TRUE(writes_output(child.pid())) << listing();
    const int status = child.signal_and_wait(SIGKILL);
    close(writer);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(listing(), "fifo\n");  // no output, and no temporary file either
}

// Binary output never goes to a terminal, and an envelope is never read
// from one (the terminal is a pseudo-terminal that script(1) makes).
TEST_F(Tool, TerminalsGetNoBinary) {
    const std::string k = key("k", 32);
    struct Case {
        std::string command, message;
    };
    const Case cases[] = {
        {"$S seal -c aes-cbc -k k < k", "refusing to write an envelope to a terminal"},
        {"$S seal -c aes-cbc -k k -o /dev/stdout < k", "refusing to write an envelope"},
        {"$S keygen -c aes-cbc", "refusing to write a raw key to a terminal"},
        {"$S open -c aes-cbc -k k -o out", "refusing to read an envelope from a terminal"},
        {"$S inspect", "refusing to read an envelope from a terminal"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        const Result r = run({"/usr/bin/script", "-qec",
                              "cd " + scratch_.dir() + " && " + c.command + " 2>err", "/dev/null"},
                             "/dev/null", "", {{"S", SEALKIT_TOOL}});
        EXPECT_EQ(r.status, 1);
        const Bytes err = read("err");
        EXPECT_NE(std::string(err.begin(), err.end()).find(c.message), std::string::npos);
    }
    EXPECT_EQ(sealkit({"keygen", "-c", "aes-cbc", "-o", "/dev/stdout"}).out.size(), 32u);
}

// The bash completion offers exactly the table's commands and options.
TEST(Completion, OffersExactlyTheOptionTable) {
    const auto complete = [](const std::string &words, int cword) {
        // the completion asks the command it completes for its ciphers
        const std::string cmd =
            "bash -c 'source " SEALKIT_COMPLETION "; COMP_WORDS=(" SEALKIT_TOOL +
            words.substr(words.find(' ')) + "); COMP_CWORD=" + std::to_string(cword) +
            "; _sealkit; printf \"%s\\n\" \"${COMPREPLY[@]}\"'";
        std::set<std::string> got;
        FILE *p = popen(cmd.c_str(), "r");
        char line[256];
        while (p != nullptr && fgets(line, sizeof line, p) != nullptr)
            got.insert(std::string(line, strcspn(line, "\n")));
        if (p != nullptr) pclose(p);
        return got;
    };
    const auto names = [](cli::Opt id) {
        const cli::OptionInfo &o = cli::option_info(id);
        std::set<std::string> n = {o.name};
        if (o.short_name != 0) n.insert(std::string{'-', o.short_name});
        return n;
    };
    std::set<std::string> commands = names(cli::Opt::kHelp);
    commands.merge(names(cli::Opt::kVersion));
    for (const cli::CommandInfo &c : cli::command_table()) commands.insert(c.name);
    commands.insert("help");
    EXPECT_EQ(complete("sealkit \"\"", 1), commands);
    std::set<std::string> ciphers, keyed;
    for (const cli::Cipher *c : cli::cipher_table()) {
        ciphers.insert(c->name);
        if (c->keygen_len > 0) keyed.insert(c->name);
    }
    for (const cli::CommandInfo &c : cli::command_table()) {
        std::set<std::string> options = names(cli::Opt::kHelp);
        for (cli::Opt id : c.options) options.merge(names(id));
        EXPECT_EQ(complete(std::string("sealkit ") + c.name + " -", 2), options) << c.name;
        if (options.count("--cipher") == 0) continue;
        const std::set<std::string> &want = c.keyed_only ? keyed : ciphers;
        EXPECT_EQ(complete(std::string("sealkit ") + c.name + " -c \"\"", 3), want) << c.name;
        // bash splits --cipher=NAME at the '='.
        EXPECT_EQ(complete(std::string("sealkit ") + c.name + " --cipher = \"\"", 4), want);
    }
    // A file name with a space is one word.
    const sktest::ScratchDir dir("completion");
    std::ofstream(dir.path("my notes.txt")) << "x";
    EXPECT_EQ(complete("sealkit seal \"" + dir.path("my") + "\"", 2),
              std::set<std::string>{dir.path("my notes.txt")});
}

}  // namespace
