// sealkit: seal and open files from the shell with the sealkit library.
//
//   sealkit seal --cipher NAME [--key-file PATH] [--in PATH] [--out PATH]
//   sealkit open --cipher NAME [--key-file PATH] [--in PATH] [--out PATH]
//   sealkit inspect [--in PATH]
//
// Keys are read raw from a file, never from the command line or the
// environment, where other users and logs could see them. Output is written
// only once everything has succeeded; --out goes through a temporary file
// renamed into place, so a failure leaves no partial file behind.
#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sealkit.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr size_t kMaxKeyFile = 4096;

using Fn = int (*)(const unsigned char *, uint32_t, const unsigned char *, uint32_t,
                   unsigned char *, uint32_t *);

int builtin_seal(const unsigned char *, uint32_t, const unsigned char *src, uint32_t n,
                 unsigned char *dst, uint32_t *len) {
    return CRYPTO_encrypt_without_key(src, n, dst, len);
}
int builtin_open(const unsigned char *, uint32_t, const unsigned char *src, uint32_t n,
                 unsigned char *dst, uint32_t *len) {
    return CRYPTO_decrypt_without_key(src, n, dst, len);
}

struct Cipher {
    const char *name;
    Fn seal, open;
    uint32_t block;
    bool takes_key;
};

const Cipher kCiphers[] = {
    {"aes-ecb", CRYPTO1_encrypt, CRYPTO1_decrypt, SEALKIT_AES_BLOCK, true},
    {"aes-cbc", CRYPTO2_encrypt, CRYPTO2_decrypt, SEALKIT_AES_BLOCK, true},
    {"builtin", builtin_seal, builtin_open, SEALKIT_AES_BLOCK, false},
    {"blowfish", CRYPTO3_encrypt, CRYPTO3_decrypt, SEALKIT_BF_BLOCK, true},
};

const char kUsage[] =
    "usage: sealkit seal --cipher aes-ecb|aes-cbc|builtin|blowfish [--key-file PATH]\n"
    "                    [--in PATH] [--out PATH]\n"
    "       sealkit open --cipher aes-ecb|aes-cbc|builtin|blowfish [--key-file PATH]\n"
    "                    [--in PATH] [--out PATH]\n"
    "       sealkit inspect [--in PATH]\n"
    "       sealkit COMMAND --help\n";

const char kSealHelp[] =
    "usage: sealkit seal --cipher NAME [--key-file PATH] [--in PATH] [--out PATH]\n"
    "\n"
    "Seals the input into a cipher envelope: one pad-count byte, then the input\n"
    "completed with zero bytes to whole blocks and encrypted.\n"
    "\n"
    "  --cipher NAME     aes-ecb, aes-cbc (AES, 16-byte blocks; a 16..23-byte key\n"
    "                    is AES-128, 24..31 AES-192, 32 or more AES-256),\n"
    "                    builtin (AES-256-CBC under the library's built-in key; no\n"
    "                    key file), blowfish (Blowfish-CBC, 8-byte blocks)\n"
    "  --key-file PATH   the raw key bytes, at least 16 (a file, or /dev/fd/N)\n"
    "  --in PATH         input (default: standard input)\n"
    "  --out PATH        output (default: standard output); written only on success\n";

const char kOpenHelp[] =
    "usage: sealkit open --cipher NAME [--key-file PATH] [--in PATH] [--out PATH]\n"
    "\n"
    "Opens a cipher envelope made by 'sealkit seal' (or the library) with the same\n"
    "cipher and key, and writes the plaintext. A wrong key is not detected: it\n"
    "gives meaningless bytes.\n"
    "\n"
    "  --cipher NAME     aes-ecb, aes-cbc, builtin or blowfish\n"
    "  --key-file PATH   the raw key bytes, at least 16 (not with builtin)\n"
    "  --in PATH         the envelope (default: standard input)\n"
    "  --out PATH        output (default: standard output); written only on success\n";

const char kInspectHelp[] =
    "usage: sealkit inspect [--in PATH]\n"
    "\n"
    "Prints an envelope's length, its pad-count byte, and for AES (16-byte blocks)\n"
    "and Blowfish (8-byte blocks) whether its length fits, in how many blocks, and\n"
    "the plaintext length it would open to. Exits 1 when it fits neither.\n";

// Holds bytes that may be secret and wipes them when done.
struct SecretBuffer {
    std::vector<unsigned char> bytes;
    ~SecretBuffer() {
        if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    }
};

// A failure with its message for stderr; thrown so that buffers holding
// secrets are wiped on the way out.
struct Failure {
    std::string message;
    int status;
};

[[noreturn]] void fail(const std::string &message, int status = kExitFailure) {
    throw Failure{message, status};
}

// Reads a whole file (or stdin for an empty path); `limit` bounds the size.
bool read_all(const std::string &path, size_t limit, std::vector<unsigned char> &out,
              std::string &error) {
    const int fd = path.empty() ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    unsigned char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read " + (path.empty() ? std::string("standard input") : path) + ": " +
                    strerror(errno);
            break;
        }
        if (n == 0) break;
        if (out.size() + static_cast<size_t>(n) > limit) {
            error = (path.empty() ? std::string("standard input") : path) + " is larger than " +
                    std::to_string(limit) + " bytes";
            break;
        }
        out.insert(out.end(), buf, buf + n);
    }
    OPENSSL_cleanse(buf, sizeof buf);
    if (!path.empty()) close(fd);
    return error.empty();
}

bool write_all(int fd, const unsigned char *p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Writes the result to stdout, or atomically to `path`: a temporary file in
// the same directory, renamed over `path` once complete. A path that names
// something other than a regular file (/dev/stdout, a FIFO) is written in
// place, never replaced.
void write_output(const std::string &path, const unsigned char *p, size_t n) {
    struct stat st {};
    if (path.empty() || (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))) {
        const int fd =
            path.empty() ? STDOUT_FILENO : open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        const std::string name = path.empty() ? "standard output" : path;
        if (fd < 0) fail("cannot open " + name + ": " + strerror(errno));
        if (!write_all(fd, p, n) || (fd != STDOUT_FILENO && close(fd) != 0))
            fail("cannot write " + name + ": " + strerror(errno));
        return;
    }
    std::string tmp = path + ".XXXXXX";
    const int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) fail("cannot create " + path + ": " + strerror(errno));
    // mkostemp makes the file readable by its owner only: it may hold plaintext.
    const bool ok = write_all(fd, p, n) && fsync(fd) == 0;
    const int saved = errno;
    if (close(fd) != 0 || !ok || rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = ok ? errno : saved;
        unlink(tmp.c_str());
        fail("cannot write " + path + ": " + strerror(err));
    }
}

struct Options {
    std::string command, cipher, key_file, in, out;
    bool help = false;
};

Options parse(int argc, char **argv) {
    Options o;
    if (argc < 2) fail(std::string("no command\n") + kUsage, kExitUsage);
    o.command = argv[1];
    if (o.command == "--help" || o.command == "-h") {
        o.help = true;
        return o;
    }
    if (o.command != "seal" && o.command != "open" && o.command != "inspect")
        fail("unknown command '" + o.command + "'\n" + kUsage, kExitUsage);
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            o.help = true;
            continue;
        }
        std::string *target = arg == "--cipher"     ? &o.cipher
                              : arg == "--key-file" ? &o.key_file
                              : arg == "--in"       ? &o.in
                              : arg == "--out"      ? &o.out
                                                    : nullptr;
        if (target == nullptr || (o.command == "inspect" && target != &o.in))
            fail("unknown option '" + arg + "' for " + o.command, kExitUsage);
        if (i + 1 >= argc || argv[i + 1][0] == '\0') fail(arg + " needs a value", kExitUsage);
        *target = argv[++i];
    }
    return o;
}

// The words for a library result code.
std::string describe(int rc, const Cipher &c, bool sealing, size_t in_len, size_t key_len) {
    switch (rc) {
        case SEALKIT_ERR_CAPACITY:
            return "input too large: an envelope must fit in 4 GiB";
        case SEALKIT_ERR_KEY_LEN:
            return "key too short: " + std::to_string(key_len) + " bytes, at least 16 needed";
        case SEALKIT_ERR_KEY_SCHEDULE:
            return "the cipher library failed to set up the key";
        case SEALKIT_ERR_EMPTY:
            return "input is empty: there is nothing to seal";
        case SEALKIT_ERR_NOT_ENVELOPE:
            if (in_len % c.block != 1)
                return "not an envelope: " + std::to_string(in_len) +
                       " bytes is not a multiple of " + std::to_string(c.block) + " plus 1";
            return "not an envelope: its pad count exceeds its blocks";
        default:
            return std::string(sealing ? "sealing" : "opening") + " failed (" + std::to_string(rc) +
                   ")";
    }
}

int inspect(const std::vector<unsigned char> &env) {
    printf("length: %zu bytes\n", env.size());
    if (env.empty()) {
        printf("pad count byte: none\n");
    } else {
        printf("pad count byte: %u\n", env[0]);
    }
    bool fits_any = false;
    struct Family {
        const char *name;
        uint32_t block;
    };
    for (const Family f :
         {Family{"AES (aes-ecb, aes-cbc, builtin)", 16}, Family{"Blowfish (blowfish)", 8}}) {
        printf("%s: ", f.name);
        if (env.size() % f.block != 1) {
            printf("does not fit: %zu bytes is not a multiple of %u plus 1\n", env.size(), f.block);
            continue;
        }
        const size_t body = env.size() - 1;
        const size_t pad = env[0] == f.block ? 0 : env[0];
        if (pad > body) {
            printf("does not fit: pad count %u exceeds the %zu bytes of blocks\n", env[0], body);
            continue;
        }
        fits_any = true;
        printf("fits, %zu blocks of %u bytes, %zu plaintext bytes\n", body / f.block, f.block,
               body - pad);
    }
    fflush(stdout);
    if (!fits_any) fail("not an envelope for any cipher");
    return 0;
}

}  // namespace

int run(int argc, char **argv) {
    const Options o = parse(argc, argv);
    if (o.help) {
        fputs(o.command == "seal"      ? kSealHelp
              : o.command == "open"    ? kOpenHelp
              : o.command == "inspect" ? kInspectHelp
                                       : kUsage,
              stdout);
        return 0;
    }

    // Plaintext may be secret on either side: wiped when done.
    SecretBuffer in;
    std::string error;
    if (o.command == "inspect") {
        if (!read_all(o.in, UINT32_MAX, in.bytes, error)) fail(error);
        return inspect(in.bytes);
    }

    const Cipher *cipher = nullptr;
    for (const Cipher &c : kCiphers)
        if (o.cipher == c.name) cipher = &c;
    if (o.cipher.empty())
        fail("--cipher is required (aes-ecb, aes-cbc, builtin or blowfish)", kExitUsage);
    if (cipher == nullptr)
        fail("unknown cipher '" + o.cipher + "' (aes-ecb, aes-cbc, builtin or blowfish)",
             kExitUsage);
    if (cipher->takes_key && o.key_file.empty())
        fail("--key-file is required for " + o.cipher, kExitUsage);
    if (!cipher->takes_key && !o.key_file.empty())
        fail("builtin uses the library's own key and takes no --key-file", kExitUsage);

    SecretBuffer key;
    if (cipher->takes_key && !read_all(o.key_file, kMaxKeyFile, key.bytes, error)) fail(error);
    if (!read_all(o.in, UINT32_MAX, in.bytes, error)) fail(error);

    const bool sealing = o.command == "seal";
    const uint64_t need =
        sealing ? sealkit_envelope_len(in.bytes.size(), cipher->block) : in.bytes.size();
    if (need > UINT32_MAX) fail("input too large: an envelope must fit in 4 GiB");
    SecretBuffer out;
    out.bytes.resize(need == 0 ? 1 : need);
    uint32_t len = static_cast<uint32_t>(need);
    static const unsigned char empty = 0;
    const unsigned char *key_p = key.bytes.empty() ? &empty : key.bytes.data();
    const unsigned char *in_p = in.bytes.empty() ? &empty : in.bytes.data();
    const Fn fn = sealing ? cipher->seal : cipher->open;
    const int rc = fn(key_p, static_cast<uint32_t>(key.bytes.size()), in_p,
                      static_cast<uint32_t>(in.bytes.size()), out.bytes.data(), &len);
    if (rc != SEALKIT_OK) fail(describe(rc, *cipher, sealing, in.bytes.size(), key.bytes.size()));
    write_output(o.out, out.bytes.data(), len);
    return 0;
}

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const Failure &f) {
        fprintf(stderr, "sealkit: %s\n", f.message.c_str());
        return f.status;
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "sealkit: out of memory\n");
        return kExitFailure;
    }
}
