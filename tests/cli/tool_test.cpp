// The sealkit command, driven as a process: a round trip per cipher, and its
// own parsing, input, output and error paths.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "process.h"
#include "support.h"

using namespace std::chrono_literals;
using namespace sktest;

namespace {

class Tool : public ::testing::Test {
  protected:
    std::string path(const std::string &name) const { return scratch_.path(name); }

    std::string write(const std::string &name, const Bytes &b) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(b.data()), static_cast<long>(b.size()));
        return path(name);
    }

    Bytes read(const std::string &name) const {
        std::ifstream f(path(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }

    bool exists(const std::string &name) const {
        struct stat st {};
        return stat(path(name).c_str(), &st) == 0;
    }

    struct Result {
        int status;  // exit status
        Bytes out;
        std::string err;
    };

    // Runs a command with stdin from `stdin_path`, collecting stdout and stderr.
    Result run(const std::vector<std::string> &argv, const std::string &stdin_path = "/dev/null") {
        Child child(argv, {}, stdin_path, path("stderr"));
        const int status = child.wait_exit(60s);
        std::ifstream e(path("stderr"));
        std::stringstream err;
        err << e.rdbuf();
        const std::string &o = child.output();
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Bytes(o.begin(), o.end()), err.str()};
    }

    Result sealkit(std::vector<std::string> args, const std::string &stdin_path = "/dev/null") {
        args.insert(args.begin(), SEALKIT_TOOL);
        return run(args, stdin_path);
    }

    sktest::ScratchDir scratch_{"sealkit_tool_test"};
};

// One round trip per cipher: the library tests cover the bytes, this covers
// the command's own reading and writing (stdin to a file, a file to stdout).
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
        std::vector<std::string> key;
        if (c.key_len > 0) key = {"--key-file", write("key", random_bytes(rng, c.key_len))};

        auto seal = key;
        seal.insert(seal.begin(), {"seal", "--cipher", c.cipher, "--out", path("env")});
        const Result s = sealkit(seal, path("plain"));
        ASSERT_EQ(s.status, 0) << s.err;
        EXPECT_EQ(read("env").size(), envelope_len(c.n, c.block));

        auto open = key;
        open.insert(open.begin(), {"open", "--cipher", c.cipher, "--in", path("env")});
        const Result o = sealkit(open);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out, plain);
    }
}

TEST_F(Tool, ErrorsNameTheProblemAndWriteNothing) {
    const std::string key = write("key", Bytes(16, 7)), short_key = write("short", Bytes(15, 7));
    const std::string plain = write("plain", {'h', 'i'}), empty = write("empty", {});
    const std::string not_env = write("not_env", Bytes(18, 1));
    const std::string forged = write("forged", {3});  // a lone pad byte of 3
    struct Case {
        const char *what;
        std::vector<std::string> args;
        std::string stdin_path;
        int status;
        const char *message;
    };
    const Case cases[] = {
        {"no command", {}, "/dev/null", 2, "no command"},
        {"unknown command", {"crypt"}, "/dev/null", 2, "unknown command"},
        {"no cipher", {"seal", "--key-file", key}, plain, 2, "--cipher is required"},
        {"unknown cipher",
         {"seal", "--cipher", "des", "--key-file", key},
         plain,
         2,
         "unknown cipher"},
        {"no key", {"seal", "--cipher", "aes-cbc"}, plain, 2, "--key-file is required"},
        {"builtin with key",
         {"seal", "--cipher", "builtin", "--key-file", key},
         plain,
         2,
         "takes no --key-file"},
        {"option without value", {"seal", "--cipher"}, plain, 2, "needs a value"},
        {"unknown option",
         {"seal", "--cipher", "aes-cbc", "--key", "x"},
         plain,
         2,
         "unknown option"},
        {"key too short",
         {"seal", "--cipher", "aes-ecb", "--key-file", short_key},
         plain,
         1,
         "key too short: 15 bytes"},
        {"envelope checked before the key",
         {"open", "--cipher", "blowfish", "--key-file", short_key},
         not_env,
         1,
         "not an envelope"},
        {"missing key file",
         {"seal", "--cipher", "aes-ecb", "--key-file", path("nokey")},
         plain,
         1,
         "cannot open"},
        {"missing input",
         {"seal", "--cipher", "builtin", "--in", path("nothing")},
         "/dev/null",
         1,
         "cannot open"},
        {"empty input", {"seal", "--cipher", "builtin"}, empty, 1, "input is empty"},
        {"not an envelope",
         {"open", "--cipher", "aes-cbc", "--key-file", key},
         not_env,
         1,
         "not an envelope: 18 bytes is not a multiple of 16 plus 1"},
        {"forged pad count",
         {"open", "--cipher", "builtin"},
         forged,
         1,
         "pad count exceeds its blocks"},
        {"inspect a non-envelope", {"inspect"}, not_env, 1, "not an envelope for any cipher"},
        {"output to a missing directory",
         {"seal", "--cipher", "builtin", "--out", path("no/such/dir")},
         plain,
         1,
         "cannot create"},
        {"output device full",
         {"seal", "--cipher", "builtin", "--out", "/dev/full"},
         plain,
         1,
         "cannot write /dev/full"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Result r = sealkit(c.args, c.stdin_path);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.rfind("sealkit: ", 0), 0u) << r.err;
        if (c.status != 0 && std::string(c.what) != "inspect a non-envelope") {
            EXPECT_TRUE(r.out.empty());
        }
    }
    EXPECT_FALSE(exists("no"));
}

TEST_F(Tool, AFailedOpenLeavesAnExistingOutputFileUntouched) {
    write("out", {'k', 'e', 'e', 'p'});
    const Result r =
        sealkit({"open", "--cipher", "builtin", "--out", path("out")}, write("bad", Bytes(20, 1)));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read("out"), (Bytes{'k', 'e', 'e', 'p'}));
    // No temporary file is left behind either.
    const Result ls = run({"/bin/ls", scratch_.dir()});
    EXPECT_EQ(std::string(ls.out.begin(), ls.out.end()).find("out."), std::string::npos);
}

TEST_F(Tool, FailedWriteToStandardOutputIsAnError) {
    // stdout on /dev/full: the write fails with ENOSPC.
    const std::string cmd = std::string(SEALKIT_TOOL) + " seal --cipher builtin < " +
                            write("plain", {'x'}) + " > /dev/full 2>" + path("err");
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
}

TEST_F(Tool, InspectDescribesTheEnvelope) {
    Bytes env(49, 0);
    env[0] = 15;
    const Result r = sealkit({"inspect", "--in", write("env", env)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(std::string(r.out.begin(), r.out.end()),
              "length: 49 bytes\n"
              "pad count byte: 15\n"
              "AES (aes-ecb, aes-cbc, builtin): fits, 3 blocks of 16 bytes, 33 plaintext bytes\n"
              "Blowfish (blowfish): fits, 6 blocks of 8 bytes, 33 plaintext bytes\n");
    const Result bf = sealkit({"inspect"}, write("bf", Bytes{8, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(bf.status, 0);
    EXPECT_NE(std::string(bf.out.begin(), bf.out.end())
                  .find("AES (aes-ecb, aes-cbc, builtin): "
                        "does not fit"),
              std::string::npos);
}

TEST_F(Tool, KeyFromAFileDescriptorPath) {
    // /dev/fd/N paths work like files: here /dev/fd/0, the key on stdin.
    const std::string key = write("key", Bytes(16, 3));
    const std::string plain = write("plain", {'a', 'b', 'c'});
    const Result r =
        sealkit({"seal", "--cipher", "aes-cbc", "--key-file", "/dev/fd/0", "--in", plain}, key);
    ASSERT_EQ(r.status, 0) << r.err;
    const Result o =
        sealkit({"open", "--cipher", "aes-cbc", "--key-file", key, "--in", write("env", r.out)});
    EXPECT_EQ(o.out, (Bytes{'a', 'b', 'c'}));
}

TEST_F(Tool, HelpForEachCommand) {
    for (const char *cmd : {"seal", "open", "inspect"}) {
        const Result r = sealkit({cmd, "--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(
            std::string(r.out.begin(), r.out.end()).rfind(std::string("usage: sealkit ") + cmd, 0),
            0u);
    }
    EXPECT_EQ(sealkit({"--help"}).status, 0);
}

}  // namespace
