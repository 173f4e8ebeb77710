// SPDX-License-Identifier: MIT
#include "output.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "options.h"

namespace cli {

namespace {

// The temporary file of a new output, for the signal handler.
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

// Whether the first byte can be written again where it went: a regular file
// not opened for appending. Sets `start` to where it goes.
bool patchable(int fd, off_t &start) {
    struct stat st {};
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 || (flags & O_APPEND) != 0)
        return false;
    start = lseek(fd, 0, SEEK_CUR);
    return start >= 0;
}

}  // namespace

Output::Output(const std::string &path, OutputRules rules)
    : name_(is_stdio(path) ? "standard output" : path), rules_(rules) {
    if (is_stdio(path))
        direct(STDOUT_FILENO, false);
    else
        open_path(path);
}

void Output::open_path(const std::string &path) {
    struct stat st {};
    if (rules_.key && lstat(path.c_str(), &st) == 0)
        fail(path + " exists: keygen never replaces a key");
    // Follow symlinks by hand, so that one leading to a descriptor is
    // written in place rather than replaced.
    std::string p = path;
    for (int hops = 0; !rules_.key; ++hops) {
        if (const int fd = fd_path(p); fd >= 0) return direct(fd, false);
        char target[PATH_MAX];
        const ssize_t n = readlink(p.c_str(), target, sizeof target - 1);
        if (n < 0) break;
        if (hops == 40) fail("too many levels of symbolic links: " + path);
        target[n] = '\0';
        p = target[0] == '/' ? std::string(target) : dir_of(p) + "/" + target;
    }
    if (!rules_.key && stat(p.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) fail(name_ + " is a directory");
        if (!S_ISREG(st.st_mode)) {  // a device, FIFO or socket: in place
            const int fd = open(p.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) fail(error_text("cannot open " + path));
            return direct(fd, true);
        }
        if (!rules_.force) fail(path + " exists: use " + name(Opt::kForce) + " to replace it");
        // Opened now, so that an unwritable file fails before any work.
        dest_ = open(p.c_str(), O_WRONLY | O_CLOEXEC);
        if (dest_ < 0) fail(error_text("cannot write " + path));
        dest_owned_ = dest_truncate_ = true;
        return spool(true);
    }
    final_ = p;
    const std::string tmpl = p + ".XXXXXX";
    if (tmpl.size() >= sizeof g_temp_path) fail("output path too long: " + path);
    catch_signals();
    g_temp_set = 0;
    memcpy(g_temp_path, tmpl.c_str(), tmpl.size() + 1);
    fd_ = mkostemp(g_temp_path, O_CLOEXEC);  // mode 0600
    if (fd_ < 0) fail(error_text("cannot create " + path));
    g_temp_set = 1;
    owned_ = true;
}

// A descriptor written in place, unless the first byte must be written
// again and it cannot take that.
void Output::direct(int fd, bool owned) {
    // A pipe as large as a chunk takes one whole write while the reader
    // works (best effort: the system may cap it).
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode))
        fcntl(fd, F_SETPIPE_SZ, static_cast<int>(kChunk));
    if (!rules_.patch || patchable(fd, start_)) {
        fd_ = fd;
        owned_ = owned;
        return;
    }
    dest_ = fd;
    dest_owned_ = owned;
    spool(false);
}

// An unlinked temporary file, beside the destination (when it is a file
// whose directory can be written) or in TMPDIR.
void Output::spool(bool beside) {
    const char *tmpdir = getenv("TMPDIR");
    const std::string dirs[] = {beside ? dir_of(name_) : "", tmpdir ? tmpdir : "/tmp"};
    for (const std::string &dir : dirs) {
        if (dir.empty()) continue;
        std::string tmpl = dir + "/.sealkit-spool.XXXXXX";
        fd_ = mkostemp(tmpl.data(), O_CLOEXEC);
        if (fd_ >= 0) {
            unlink(tmpl.c_str());
            owned_ = true;
            start_ = 0;
            return;
        }
    }
    fail(error_text("cannot create a temporary file for " + name_));
}

Output::~Output() {
    if (owned_ && fd_ >= 0) close(fd_);
    if (dest_owned_ && dest_ >= 0) close(dest_);
    if (g_temp_set != 0) {
        unlink(g_temp_path);
        g_temp_set = 0;
    }
}

void Output::write(const unsigned char *p, size_t n) {
    write_full(fd_, p, n, name_);
}

void Output::patch_first(unsigned char byte) {
    if (retry([&] { return pwrite(fd_, &byte, 1, start_); }) != 1)
        fail(error_text("cannot write " + name_));
}

void Output::commit() {
    if (dest_ >= 0) {
        copy_spool();
    } else if (!final_.empty()) {
        const mode_t mask = umask(0);
        umask(mask);
        if ((!rules_.key && fchmod(fd_, 0666 & ~mask) != 0) || fsync(fd_) != 0)
            fail(error_text("cannot write " + name_));
        if (renameat2(AT_FDCWD, g_temp_path, AT_FDCWD, final_.c_str(), RENAME_NOREPLACE) != 0) {
            // Without RENAME_NOREPLACE on this file system, a link does the
            // same: it fails if the name exists.
            if ((errno != EINVAL && errno != ENOSYS) || link(g_temp_path, final_.c_str()) != 0)
                fail(errno == EEXIST
                         ? name_ + " appeared while it was written: use " + name(Opt::kForce)
                         : error_text("cannot write " + name_));
            unlink(g_temp_path);
        }
        g_temp_set = 0;
    }
    if (owned_ && close(fd_) != 0) fail(error_text("cannot write " + name_));
    owned_ = false;
}

void Output::copy_spool() {
    if ((dest_truncate_ && ftruncate(dest_, 0) != 0) || lseek(fd_, 0, SEEK_SET) != 0)
        fail(error_text("cannot write " + name_));
    Secret buf(kChunk);
    for (;;) {
        const size_t n = read_full(fd_, buf.data(), buf.size(), "the temporary file");
        if (n == 0) break;
        write_full(dest_, buf.data(), n, name_);
    }
    const int dest = dest_;
    dest_ = -1;
    if (dest_truncate_ && fsync(dest) != 0) fail(error_text("cannot write " + name_));
    if (dest_owned_ && close(dest) != 0) fail(error_text("cannot write " + name_));
}

}  // namespace cli
