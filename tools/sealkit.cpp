// SPDX-License-Identifier: MIT
// sealkit: seal and open files from the shell with the sealkit library.
//
//   sealkit seal|open --cipher NAME [--key-file PATH] [--in PATH] [--out PATH] [--force]
//   sealkit inspect [--in PATH] [--json]
//   sealkit keygen --cipher NAME [--out PATH]
//
// Data goes through a sealkit stream in fixed 1 MiB chunks, so memory stays
// flat for any size. Keys are read raw from a file, never from the command
// line or the environment. Secrets live in buffers allocated once, never
// grown, and wiped on every way out. The output-file rules are in sealkit(1).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <openssl/crypto.h>
#include <sealkit.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr size_t kChunk = size_t{1} << 20;              // bytes per read, update and write
constexpr size_t kMaxKeyFile = 4096;                    // a longer "key" is a mistake
constexpr size_t kPipeLimit = size_t{64} << 20;         // non-file input held in memory
constexpr uint64_t kProgressAuto = uint64_t{64} << 20;  // progress on a terminal above this

struct Cipher {
    const char *name;
    sealkit_cipher id;
    uint32_t block;
    uint32_t key_used;    // key bytes the cipher reads at most; 0: no key
    uint32_t keygen_len;  // what keygen writes
};

const Cipher kCiphers[] = {
    {"aes-ecb", SEALKIT_CIPHER_AES_ECB, SEALKIT_AES_BLOCK, 32, 32},
    {"aes-cbc", SEALKIT_CIPHER_AES_CBC, SEALKIT_AES_BLOCK, 32, 32},
    {"builtin", SEALKIT_CIPHER_BUILTIN, SEALKIT_AES_BLOCK, 0, 0},
    {"blowfish", SEALKIT_CIPHER_BLOWFISH, SEALKIT_BF_BLOCK, SEALKIT_BF_MAX_KEY_LEN, 16},
};

const char kUsage[] =
    "usage: sealkit seal --cipher NAME [--key-file PATH] [--in PATH] [--out PATH] [--force]\n"
    "       sealkit open --cipher NAME [--key-file PATH] [--in PATH] [--out PATH] [--force]\n"
    "       sealkit inspect [--in PATH] [--json]\n"
    "       sealkit keygen --cipher NAME [--out PATH]\n"
    "       sealkit --version | COMMAND --help\n"
    "NAME: aes-ecb, aes-cbc, builtin (no key) or blowfish. PATH '-': standard input or output.\n";

const char kSealHelp[] =
    "usage: sealkit seal --cipher NAME [--key-file PATH] [--in PATH] [--out PATH] [--force]\n"
    "\n"
    "Seals the input into a cipher envelope: one pad-count byte, then the input\n"
    "completed with zero bytes to whole blocks and encrypted.\n"
    "\n"
    "  --cipher NAME        aes-ecb, aes-cbc (AES, 16-byte blocks; a 16..23-byte key\n"
    "                       is AES-128, 24..31 AES-192, 32 or more AES-256),\n"
    "                       builtin (AES-256-CBC under the library's built-in key; no\n"
    "                       key file), blowfish (Blowfish-CBC, 8-byte blocks)\n"
    "  --key-file PATH      the raw key bytes, at least 16 (see 'sealkit keygen')\n"
    "  --in PATH            input (default: standard input, at most 64 MiB)\n"
    "  --out PATH           output (default: standard output)\n"
    "  --force              replace an existing output file (in place: its mode,\n"
    "                       owner and links stay)\n"
    "  --progress, --no-progress   progress on standard error (default: on a\n"
    "                       terminal, for inputs over 64 MiB)\n";

const char kOpenHelp[] =
    "usage: sealkit open --cipher NAME [--key-file PATH] [--in PATH] [--out PATH] [--force]\n"
    "\n"
    "Opens a cipher envelope made by 'sealkit seal' (or the library) with the same\n"
    "cipher and key, and writes the plaintext. A wrong key is not detected: it\n"
    "gives meaningless bytes. Options as for 'sealkit seal --help'.\n";

const char kInspectHelp[] =
    "usage: sealkit inspect [--in PATH] [--json]\n"
    "\n"
    "Prints an envelope's length, its pad-count byte, and for AES (16-byte blocks)\n"
    "and Blowfish (8-byte blocks) whether its length fits, in how many blocks, and\n"
    "the plaintext length it would open to. Reads only the first byte of a file.\n"
    "Exits 1 when it fits neither. --json prints one JSON object instead.\n";

const char kKeygenHelp[] =
    "usage: sealkit keygen --cipher NAME [--out PATH]\n"
    "\n"
    "Writes a fresh random key from the system's random source: 32 bytes for\n"
    "aes-ecb and aes-cbc (AES-256), 16 for blowfish. The file is made with mode\n"
    "0600 and never replaces an existing one.\n";

// A failure with its message for stderr; thrown so that secrets are wiped
// and temporary files removed on the way out.
struct Failure {
    std::string message;
    int status;
};

[[noreturn]] void fail(const std::string &message, int status = kExitFailure) {
    throw Failure{message, status};
}

std::string error_text(const std::string &what) {
    return what + ": " + strerror(errno);
}

void warn(const std::string &message) {
    fprintf(stderr, "sealkit: warning: %s\n", message.c_str());
}

// A buffer for secrets: allocated once at its full size, never grown, wiped
// when it goes.
class Secret {
  public:
    explicit Secret(size_t n) : p_(new unsigned char[n]), n_(n) {}
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;
    ~Secret() { OPENSSL_cleanse(p_.get(), n_); }
    unsigned char *data() { return p_.get(); }
    size_t size() const { return n_; }

  private:
    std::unique_ptr<unsigned char[]> p_;
    size_t n_;
};

// ---------------------------------------------------------------------------
// Options: --name VALUE or --name=VALUE, each at most once.

struct Options {
    std::string command;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;

    std::string value(const std::string &name) const {
        const auto it = values.find(name);
        return it == values.end() ? std::string() : it->second;
    }
    bool has(const std::string &name) const { return values.count(name) + flags.count(name) > 0; }
};

Options parse(int argc, char **argv) {
    static const std::map<std::string, std::pair<std::set<std::string>, std::set<std::string>>>
        kKnown = {
            // command -> (options with a value, flags)
            {"seal",
             {{"--cipher", "--key-file", "--in", "--out"},
              {"--force", "--progress", "--no-progress"}}},
            {"open",
             {{"--cipher", "--key-file", "--in", "--out"},
              {"--force", "--progress", "--no-progress"}}},
            {"inspect", {{"--in"}, {"--json"}}},
            {"keygen", {{"--cipher", "--out"}, {}}},
        };
    Options o;
    if (argc < 2) fail(std::string("no command\n") + kUsage, kExitUsage);
    o.command = argv[1];
    if (o.command == "--help" || o.command == "-h" || o.command == "--version") return o;
    const auto known = kKnown.find(o.command);
    if (known == kKnown.end()) fail("unknown command '" + o.command + "'\n" + kUsage, kExitUsage);
    const auto &[with_value, flags] = known->second;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            o.flags.insert("--help");
            continue;
        }
        std::string value;
        const size_t eq = arg.find('=');
        const bool inline_value = arg.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inline_value) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (with_value.count(arg) == 0 && flags.count(arg) == 0)
            fail("unknown option '" + arg + "' for " + o.command, kExitUsage);
        if (o.has(arg)) fail(arg + " given twice", kExitUsage);
        if (flags.count(arg) != 0) {
            if (inline_value) fail(arg + " takes no value", kExitUsage);
            o.flags.insert(arg);
            continue;
        }
        if (!inline_value) {
            // A following option is never taken as a value.
            if (i + 1 >= argc || strncmp(argv[i + 1], "--", 2) == 0)
                fail(arg + " needs a value", kExitUsage);
            value = argv[++i];
        }
        if (value.empty()) fail(arg + " needs a value", kExitUsage);
        o.values[arg] = value;
    }
    if (o.has("--progress") && o.has("--no-progress"))
        fail("--progress and --no-progress exclude each other", kExitUsage);
    return o;
}

const Cipher &cipher_option(const Options &o) {
    const std::string name = o.value("--cipher");
    if (name.empty())
        fail("--cipher is required (aes-ecb, aes-cbc, builtin or blowfish)", kExitUsage);
    for (const Cipher &c : kCiphers)
        if (name == c.name) return c;
    fail("unknown cipher '" + name + "' (aes-ecb, aes-cbc, builtin or blowfish)", kExitUsage);
}

bool is_stdio(const std::string &path) {
    return path.empty() || path == "-";
}

// ---------------------------------------------------------------------------
// I/O helpers.

size_t read_full(int fd, unsigned char *p, size_t n, const std::string &name) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) fail(error_text("cannot read " + name));
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

void write_full(int fd, const unsigned char *p, size_t n, const std::string &name) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) fail(error_text("cannot write " + name));
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// The input: a regular file, read as it goes, with its size from fstat; or
// anything else (a pipe, a terminal), read whole into fixed chunks first,
// since an envelope's first byte depends on the total length.
class Input {
  public:
    explicit Input(const std::string &path) : name_(is_stdio(path) ? "standard input" : path) {
        fd_ = is_stdio(path) ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) fail(error_text("cannot open " + path));
        struct stat st {};
        if (fstat(fd_, &st) != 0) fail(error_text("cannot read " + name_));
        if (S_ISDIR(st.st_mode)) fail(name_ + " is a directory");
        regular_ = S_ISREG(st.st_mode);
        if (regular_) size_ = static_cast<uint64_t>(st.st_size);
    }
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input() {
        if (fd_ > STDIN_FILENO) close(fd_);
    }

    // Reads a non-file input whole, refusing one over kPipeLimit.
    void buffer() {
        if (regular_) return;
        for (;;) {
            chunks_.push_back(std::make_unique<Secret>(kChunk));
            const size_t n = read_full(fd_, chunks_.back()->data(), kChunk, name_);
            size_ += n;
            if (n < kChunk) break;
            if (size_ > kPipeLimit)
                fail(name_ + " is larger than 64 MiB: give a file with --in, so that its " +
                     "length is known before the first byte");
        }
    }

    // Up to n bytes of the first size() bytes, in order.
    size_t read(unsigned char *p, size_t n) {
        const uint64_t left = size_ - pos_;
        if (n > left) n = static_cast<size_t>(left);
        size_t got = 0;
        if (regular_) {
            got = read_full(fd_, p, n, name_);
            if (got < n) fail(name_ + " shrank while it was read");
        } else {
            while (got < n) {
                const size_t at = static_cast<size_t>((pos_ + got) % kChunk);
                const size_t step = std::min(n - got, kChunk - at);
                memcpy(p + got, chunks_[static_cast<size_t>((pos_ + got) / kChunk)]->data() + at,
                       step);
                got += step;
            }
        }
        pos_ += got;
        return got;
    }

    uint64_t size() const { return size_; }
    bool is_stdin() const { return fd_ == STDIN_FILENO; }
    int fd() const { return fd_; }
    bool regular() const { return regular_; }
    const std::string &name() const { return name_; }

  private:
    std::string name_;
    int fd_ = -1;
    bool regular_ = false;
    uint64_t size_ = 0, pos_ = 0;
    std::vector<std::unique_ptr<Secret>> chunks_;
};

// ---------------------------------------------------------------------------
// Output, with the semantics of shell redirection and cp:
//   - standard output, /dev/stdout, /dev/stderr, /dev/fd/N and
//     /proc/self/fd/N (also behind symlinks): that descriptor, in place;
//   - a symlink: followed, its target is the output;
//   - a character device, FIFO or socket: opened and written in place;
//   - a new file: written to a temporary file beside it, renamed into place
//     once complete (never over a file that appeared meanwhile);
//   - an existing regular file: only with --force; the output is spooled to
//     an unlinked temporary file and copied into the file once complete, so
//     its inode, mode, owner and links stay, and a read-only directory does
//     not matter.
// A temporary file is removed on failure and on SIGINT, SIGTERM or SIGHUP.

char g_temp_path[PATH_MAX];
volatile sig_atomic_t g_temp_set = 0;

void remove_temp_and_reraise(int sig) {
    if (g_temp_set != 0) unlink(g_temp_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

void catch_signals() {
    struct sigaction sa {};
    sa.sa_handler = remove_temp_and_reraise;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

// The descriptor a path names by itself, or -1.
int fd_path(const std::string &p) {
    if (p == "/dev/stdout") return STDOUT_FILENO;
    if (p == "/dev/stderr") return STDERR_FILENO;
    for (const char *prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const size_t n = strlen(prefix);
        if (p.compare(0, n, prefix) == 0 && p.size() > n &&
            p.find_first_not_of("0123456789", n) == std::string::npos)
            return static_cast<int>(strtol(p.c_str() + n, nullptr, 10));
    }
    return -1;
}

std::string dir_of(const std::string &p) {
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
}

class Output {
  public:
    Output(const std::string &path, bool force) : name_(is_stdio(path) ? "standard output" : path) {
        if (is_stdio(path)) {
            fd_ = STDOUT_FILENO;
            return;
        }
        // Follow symlinks by hand, so that one leading to a descriptor is
        // written in place rather than replaced.
        std::string p = path;
        for (int hops = 0;; ++hops) {
            if (const int fd = fd_path(p); fd >= 0) {
                fd_ = fd;
                return;
            }
            char target[PATH_MAX];
            const ssize_t n = readlink(p.c_str(), target, sizeof target - 1);
            if (n < 0) break;
            if (hops == 40) fail("too many levels of symbolic links: " + path);
            target[n] = '\0';
            p = target[0] == '/' ? std::string(target) : dir_of(p) + "/" + target;
        }
        struct stat st {};
        if (stat(p.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) fail(name_ + " is a directory");
            if (!S_ISREG(st.st_mode)) {  // a device, FIFO or socket: in place
                fd_ = open(p.c_str(), O_WRONLY | O_CLOEXEC);
                if (fd_ < 0) fail(error_text("cannot open " + path));
                owned_ = true;
                return;
            }
            if (!force) fail(path + " exists: use --force to replace it");
            // Opened now, so that an unwritable file fails before any work.
            dest_ = open(p.c_str(), O_WRONLY | O_CLOEXEC);
            if (dest_ < 0) fail(error_text("cannot write " + path));
            spool();
            return;
        }
        final_ = p;
        std::string tmpl = p + ".XXXXXX";
        if (tmpl.size() >= sizeof g_temp_path) fail("output path too long: " + path);
        g_temp_set = 0;
        memcpy(g_temp_path, tmpl.c_str(), tmpl.size() + 1);
        fd_ = mkostemp(g_temp_path, O_CLOEXEC);
        if (fd_ < 0) fail(error_text("cannot create " + path));
        g_temp_set = 1;
        owned_ = true;
    }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    ~Output() {
        if (owned_ && fd_ >= 0) close(fd_);
        if (dest_ >= 0) close(dest_);
        if (g_temp_set != 0) {
            unlink(g_temp_path);
            g_temp_set = 0;
        }
    }

    void write(const unsigned char *p, size_t n) { write_full(fd_, p, n, name_); }

    // Puts the complete output in place.
    void commit() {
        if (dest_ >= 0) {
            copy_spool();
        } else if (!final_.empty()) {
            const mode_t mask = umask(0);
            umask(mask);
            if (fchmod(fd_, 0666 & ~mask) != 0 || fsync(fd_) != 0)
                fail(error_text("cannot write " + name_));
            if (renameat2(AT_FDCWD, g_temp_path, AT_FDCWD, final_.c_str(), RENAME_NOREPLACE) != 0) {
                // Without RENAME_NOREPLACE on this file system, a link does
                // the same: it fails if the name exists.
                if ((errno != EINVAL && errno != ENOSYS) || link(g_temp_path, final_.c_str()) != 0)
                    fail(errno == EEXIST ? name_ + " appeared while it was written: use --force"
                                         : error_text("cannot write " + name_));
                unlink(g_temp_path);
            }
            g_temp_set = 0;
        }
        if (owned_ && close(fd_) != 0) fail(error_text("cannot write " + name_));
        owned_ = false;
    }

  private:
    // An unlinked temporary file beside the destination, or in TMPDIR when
    // that directory cannot be written.
    void spool() {
        const char *tmpdir = getenv("TMPDIR");
        for (const std::string &dir : {dir_of(name_), std::string(tmpdir ? tmpdir : "/tmp")}) {
            std::string tmpl = dir + "/.sealkit-spool.XXXXXX";
            fd_ = mkostemp(tmpl.data(), O_CLOEXEC);
            if (fd_ >= 0) {
                unlink(tmpl.c_str());
                owned_ = true;
                return;
            }
        }
        fail(error_text("cannot create a temporary file for " + name_));
    }

    void copy_spool() {
        if (ftruncate(dest_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0)
            fail(error_text("cannot write " + name_));
        Secret buf(kChunk);
        for (;;) {
            const size_t n = read_full(fd_, buf.data(), buf.size(), "the temporary file");
            if (n == 0) break;
            write_full(dest_, buf.data(), n, name_);
        }
        if (fsync(dest_) != 0 || close(dest_) != 0) {
            dest_ = -1;
            fail(error_text("cannot write " + name_));
        }
        dest_ = -1;
    }

    std::string name_, final_;
    int fd_ = -1, dest_ = -1;
    bool owned_ = false;
};

// ---------------------------------------------------------------------------
// Progress on one updating line of stderr.

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string human(double bytes) {
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        ++u;
    }
    char s[32];
    snprintf(s, sizeof s, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return s;
}

class Progress {
  public:
    Progress(bool on, uint64_t total) : on_(on), total_(total), start_(now()), last_(start_) {}
    void add(size_t n) {
        done_ += n;
        if (!on_) return;
        const double t = now();
        if (t - last_ < 0.25 && done_ < total_) return;
        last_ = t;
        const double rate = static_cast<double>(done_) / std::max(t - start_, 1e-6);
        const double left = static_cast<double>(total_ - done_) / std::max(rate, 1.0);
        fprintf(stderr, "\r%s of %s (%3.0f%%), %s/s, %d:%02d left   ",
                human(static_cast<double>(done_)).c_str(),
                human(static_cast<double>(total_)).c_str(),
                100.0 * static_cast<double>(done_) / static_cast<double>(total_ ? total_ : 1),
                human(rate).c_str(), static_cast<int>(left) / 60, static_cast<int>(left) % 60);
        shown_ = true;
    }
    ~Progress() {
        if (shown_) fputc('\n', stderr);
    }

  private:
    bool on_, shown_ = false;
    uint64_t total_, done_ = 0;
    double start_, last_;
};

// ---------------------------------------------------------------------------
// Keys.

// Reads the key file into `key`, warns about what looks like a mistake, and
// returns its length.
size_t read_key(const std::string &path, const Cipher &c, const Input &in, Secret &key) {
    const bool from_stdin = is_stdio(path);
    const int fd = from_stdin ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(error_text("cannot open " + path));
    struct stat st {
    }, in_st{};
    if (fstat(fd, &st) != 0) fail(error_text("cannot read " + path));
    // The key and the data cannot share one stream.
    if (in.is_stdin() && (from_stdin || (fstat(STDIN_FILENO, &in_st) == 0 &&
                                         st.st_dev == in_st.st_dev && st.st_ino == in_st.st_ino)))
        fail("--key-file and the input cannot both be standard input", kExitUsage);
    const std::string name = from_stdin ? "standard input" : path;
    const size_t n = read_full(fd, key.data(), key.size(), name);
    if (!from_stdin) close(fd);
    if (n > kMaxKeyFile) fail("key file " + name + " is larger than 4096 bytes");

    if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        warn("key file " + name + " can be read by others (mode " + mode + "): chmod 600 it");
    }
    const unsigned char *k = key.data();
    if (n > 0 && k[n - 1] == '\n')
        warn("key file " + name + " ends in a newline, which is part of the key");
    size_t text = n;
    while (text > 0 && (k[text - 1] == '\n' || k[text - 1] == '\r')) --text;
    auto all_of = [&](const char *set) {
        for (size_t i = 0; i < text; ++i)
            if (k[i] == 0 || strchr(set, k[i]) == nullptr) return false;
        return true;
    };
    if (text >= 16 && all_of("0123456789abcdefABCDEF"))
        warn("key file " + name + " looks like hex text: the key is its bytes as they are");
    else if (text >= 16 && text % 4 == 0 &&
             all_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="))
        warn("key file " + name + " looks like base64 text: the key is its bytes as they are");
    if (n > c.key_used)
        warn("key file " + name + " has " + std::to_string(n) + " bytes; " + c.name +
             " uses only the first " + std::to_string(c.key_used));
    return n;
}

std::string describe(int rc, const Cipher &c, uint64_t in_len, size_t key_len) {
    switch (rc) {
        case SEALKIT_ERR_KEY_LEN:
            return "key too short: " + std::to_string(key_len) + " bytes, at least 16 needed";
        case SEALKIT_ERR_NOT_ENVELOPE:
            if (in_len > UINT32_MAX) return "not an envelope: larger than 4 GiB";
            if (in_len % c.block != 1)
                return "not an envelope: " + std::to_string(in_len) +
                       " bytes is not a multiple of " + std::to_string(c.block) + " plus 1";
            return "not an envelope: its pad count exceeds its blocks";
        default:
            return sealkit_strerror(rc);
    }
}

// ---------------------------------------------------------------------------
// Commands.

int seal_or_open(const Options &o) {
    const bool sealing = o.command == "seal";
    const Cipher &c = cipher_option(o);
    const std::string key_file = o.value("--key-file");
    if (c.key_used > 0 && key_file.empty())
        fail("--key-file is required for " + std::string(c.name), kExitUsage);
    if (c.key_used == 0 && !key_file.empty())
        fail("builtin uses the library's own key and takes no --key-file", kExitUsage);

    // Sizes are checked before anything is written, and for a file before
    // anything is read; an envelope's shape before its key, as the library does.
    Input in(o.value("--in"));
    in.buffer();
    if (sealing && in.size() == 0) fail("input is empty: there is nothing to seal");
    if (sealing && sealkit_envelope_len(in.size(), c.block) > UINT32_MAX)
        fail("input too large: " + human(static_cast<double>(in.size())) +
             ", and an envelope must stay under 4 GiB");
    if (!sealing && (in.size() > UINT32_MAX || in.size() % c.block != 1))
        fail(describe(SEALKIT_ERR_NOT_ENVELOPE, c, in.size(), 0));

    Secret key(kMaxKeyFile + 1);
    size_t key_len = 0;
    if (c.key_used > 0) key_len = read_key(key_file, c, in, key);
    sealkit_key *k = nullptr;
    int rc = sealkit_key_new(&k, c.id, c.key_used > 0 ? key.data() : nullptr,
                             static_cast<uint32_t>(key_len));
    if (rc != SEALKIT_OK) fail(describe(rc, c, in.size(), key_len));
    const std::unique_ptr<sealkit_key, void (*)(sealkit_key *)> key_guard(k, sealkit_key_free);
    const auto total = static_cast<uint32_t>(in.size());

    sealkit_stream *s = nullptr;
    rc = sealkit_stream_new(&s, k, sealing ? SEALKIT_SEAL : SEALKIT_OPEN, total);
    if (rc != SEALKIT_OK) fail(describe(rc, c, total, key_len));
    const std::unique_ptr<sealkit_stream, void (*)(sealkit_stream *)> stream_guard(
        s, sealkit_stream_free);

    Output out(o.value("--out"), o.has("--force"));
    const bool show = o.has("--progress") ||
                      (!o.has("--no-progress") && isatty(STDERR_FILENO) && total > kProgressAuto);
    Progress progress(show, total);
    Secret ibuf(kChunk), obuf(kChunk + 16);
    for (;;) {
        const size_t n = in.read(ibuf.data(), kChunk);
        if (n == 0) break;
        auto len = static_cast<uint32_t>(obuf.size());
        rc = sealkit_stream_update(s, ibuf.data(), static_cast<uint32_t>(n), obuf.data(), &len);
        if (rc != SEALKIT_OK) fail(describe(rc, c, total, key_len));
        out.write(obuf.data(), len);
        progress.add(n);
    }
    auto len = static_cast<uint32_t>(obuf.size());
    rc = sealkit_stream_final(s, obuf.data(), &len);
    if (rc != SEALKIT_OK) fail(describe(rc, c, total, key_len));
    out.write(obuf.data(), len);
    out.commit();
    return 0;
}

int inspect(const Options &o) {
    Input in(o.value("--in"));
    unsigned char first = 0;
    uint64_t size = in.size();
    if (in.regular()) {
        if (size > 0 && pread(in.fd(), &first, 1, 0) != 1)
            fail(error_text("cannot read " + in.name()));
    } else {  // count it through, keeping the first byte only
        unsigned char buf[65536];
        size = 0;
        for (;;) {
            const size_t n = read_full(in.fd(), buf, sizeof buf, in.name());
            if (n > 0 && size == 0) first = buf[0];
            size += n;
            if (n < sizeof buf) break;
        }
    }
    const bool json = o.has("--json");
    if (json)
        printf(
            size > 0 ? "{\"length\":%llu,\"pad_count\":%u" : "{\"length\":%llu,\"pad_count\":null",
            static_cast<unsigned long long>(size), first);
    else
        printf(size > 0 ? "length: %llu bytes\npad count byte: %u\n"
                        : "length: %llu bytes\npad count byte: none\n",
               static_cast<unsigned long long>(size), first);
    bool fits_any = false;
    struct Family {
        const char *key, *name;
        uint32_t block;
    };
    static const Family kFamilies[] = {{"aes", "AES (aes-ecb, aes-cbc, builtin)", 16},
                                       {"blowfish", "Blowfish (blowfish)", 8}};
    for (const Family &f : kFamilies) {
        const uint64_t body = size > 0 ? size - 1 : 0;
        const uint64_t pad = first == f.block ? 0 : first;
        const bool shape = size % f.block == 1 && size <= UINT32_MAX;
        const bool fits = shape && pad <= body;
        fits_any = fits_any || fits;
        if (json) {
            if (fits)
                printf(",\"%s\":{\"fits\":true,\"blocks\":%llu,\"plaintext_length\":%llu}", f.key,
                       static_cast<unsigned long long>(body / f.block),
                       static_cast<unsigned long long>(body - pad));
            else
                printf(",\"%s\":{\"fits\":false}", f.key);
        } else if (!shape) {
            printf("%s: does not fit: %llu bytes is not a multiple of %u plus 1\n", f.name,
                   static_cast<unsigned long long>(size), f.block);
        } else if (!fits) {
            printf("%s: does not fit: pad count %u exceeds the %llu bytes of blocks\n", f.name,
                   first, static_cast<unsigned long long>(body));
        } else {
            printf("%s: fits, %llu blocks of %u bytes, %llu plaintext bytes\n", f.name,
                   static_cast<unsigned long long>(body / f.block), f.block,
                   static_cast<unsigned long long>(body - pad));
        }
    }
    if (json) printf("}\n");
    if (fflush(stdout) != 0) fail(error_text("cannot write standard output"));
    if (!fits_any) fail("not an envelope for any cipher");
    return 0;
}

int keygen(const Options &o) {
    const Cipher &c = cipher_option(o);
    if (c.keygen_len == 0)
        fail("builtin uses the library's own key: there is none to make", kExitUsage);
    Secret key(c.keygen_len);
    for (size_t got = 0; got < key.size();) {
        const ssize_t n = getrandom(key.data() + got, key.size() - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(error_text("cannot get random bytes"));
        got += static_cast<size_t>(n);
    }
    const std::string path = o.value("--out");
    if (is_stdio(path)) {
        if (isatty(STDOUT_FILENO)) fail("refusing to write a raw key to a terminal: use --out");
        write_full(STDOUT_FILENO, key.data(), key.size(), "standard output");
        return 0;
    }
    // O_EXCL: never replaces a file, and never follows a symlink.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        fail(errno == EEXIST ? path + " exists: keygen never replaces a key"
                             : error_text("cannot create " + path));
    bool ok = true;
    try {
        write_full(fd, key.data(), key.size(), path);
        ok = fsync(fd) == 0;
    } catch (const Failure &) {
        ok = false;
    }
    if (close(fd) != 0 || !ok) {
        unlink(path.c_str());
        fail(error_text("cannot write " + path));
    }
    return 0;
}

int run(int argc, char **argv) {
    const Options o = parse(argc, argv);
    if (o.command == "--version") {
        printf("sealkit %s\n", sealkit_version());
        return 0;
    }
    if (o.command == "--help" || o.command == "-h" || o.has("--help")) {
        fputs(o.command == "seal"      ? kSealHelp
              : o.command == "open"    ? kOpenHelp
              : o.command == "inspect" ? kInspectHelp
              : o.command == "keygen"  ? kKeygenHelp
                                       : kUsage,
              stdout);
        return 0;
    }
    catch_signals();
    if (o.command == "inspect") return inspect(o);
    if (o.command == "keygen") return keygen(o);
    return seal_or_open(o);
}

}  // namespace

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
