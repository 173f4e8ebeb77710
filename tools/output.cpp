// SPDX-License-Identifier: MIT
#include "output.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "cli.h"
#include "files.h"

namespace cli {

namespace {

// A copy of the named temporary file's path for the signal handler, which
// can reach no object: SIGINT, SIGTERM or SIGHUP removes the file.
char g_temp_path[PATH_MAX];
volatile sig_atomic_t g_temp_set = 0;

void remove_temp_and_reraise(int sig) {
    if (g_temp_set != 0) unlink(g_temp_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

void remove_on_signal(const std::string &path) {
    g_temp_set = 0;
    memcpy(g_temp_path, path.c_str(), path.size() + 1);
    g_temp_set = 1;
    struct sigaction sa {};
    sa.sa_handler = remove_temp_and_reraise;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

std::string terminal_refusal(const OutputRules &rules) {
    return std::string("refusing to write ") + rules.binary + " to a terminal: use " +
           rules.out_option + " FILE or a redirect";
}

}  // namespace

void refuse_terminal(const std::string &path, const OutputRules &rules) {
    const int fd = is_stdio(path) ? STDOUT_FILENO : fd_path(path);
    if (rules.binary != nullptr && fd >= 0 && isatty(fd)) fail(terminal_refusal(rules));
}

Output::Output(const std::string &path, OutputRules rules)
    : name_(is_stdio(path) ? "standard output" : path), rules_(std::move(rules)) {
    if (is_stdio(path))
        direct(STDOUT_FILENO, false);
    else
        open_path(path);
}

void Output::open_path(const std::string &path) {
    struct stat st {};
    if (const int fd = fd_path(path); fd >= 0) return direct(fd, false);
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
        if (lstat(p.c_str(), &st) == 0) refuse_planted(p, st, "follow the symlink");
        target[n] = '\0';
        p = target[0] == '/' ? std::string(target) : dir_of(p) + "/" + target;
    }
    if (!rules_.key && stat(p.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) fail(name_ + " is a directory");
        if (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) refuse_planted(p, st, "write into");
        if (!S_ISREG(st.st_mode)) {  // a device, FIFO or socket: in place
            const int fd = open(p.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) fail(error_text("cannot open " + path));
            return direct(fd, true);
        }
        if (!rules_.force) fail(path + " exists: use " + rules_.force_option + " to replace it");
        // Opened now, so that an unwritable file fails before any work.
        dest_ = open(p.c_str(), O_WRONLY | O_CLOEXEC);
        if (dest_ < 0) fail(error_text("cannot write " + path));
        dest_owned_ = dest_replaced_ = true;
        return spool_beside();
    }
    final_ = p;
    // Unnamed until commit; it can be named through /proc/self/fd only.
    fd_ = ::open(dir_of(p).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    owned_ = true;
    placement_ = Placement::kUnnamed;
    if (fd_ >= 0 && access("/proc/self/fd", X_OK) == 0) return;
    if (fd_ >= 0) close(fd_);
    placement_ = Placement::kNamedTemp;
    temp_ = p + ".XXXXXX";
    if (temp_.size() >= sizeof g_temp_path) fail("output path too long: " + path);
    fd_ = mkostemp(temp_.data(), O_CLOEXEC);  // mode 0600
    if (fd_ < 0) fail(error_text("cannot create " + path));
    remove_on_signal(temp_);
}

// A descriptor written in place, unless the first byte must be written
// again and it cannot take that.
void Output::direct(int fd, bool owned) {
    if (rules_.binary != nullptr && isatty(fd)) {
        if (owned) close(fd);
        fail(terminal_refusal(rules_));
    }
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
    spool_in_memory();
}

// For a pipe or device: memory, until it holds kMemorySpool bytes (see
// write()); a file in TMPDIR where memory cannot be had.
void Output::spool_in_memory() {
    placement_ = Placement::kSpooled;
    start_ = 0;  // the spool's first byte
    owned_ = true;
    fd_ = memfd_create("sealkit-spool", MFD_CLOEXEC);
    in_memory_ = fd_ >= 0;
    if (!in_memory_) spool_to_file();
}

// For a file that is replaced: an unlinked temporary file beside it, on the
// same file system, or in TMPDIR when that directory cannot be written.
void Output::spool_beside() {
    placement_ = Placement::kSpooled;
    start_ = 0;  // the spool's first byte
    owned_ = true;
    std::string tmpl = dir_of(name_) + "/.sealkit-spool.XXXXXX";
    fd_ = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd_ < 0) return spool_to_file();
    unlink(tmpl.c_str());
}

// An unlinked file in TMPDIR, which takes over what the memory spool holds.
void Output::spool_to_file() {
    const char *env = getenv("TMPDIR");
    const std::string tmpdir = env != nullptr && *env != '\0' ? env : "/tmp";
    std::string tmpl = tmpdir + "/.sealkit-spool.XXXXXX";
    const int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0)
        fail(error_text("cannot make a temporary file in " + tmpdir + " (TMPDIR) for " + name_) +
             ": point TMPDIR to a directory with room, or use " + rules_.out_option + " FILE");
    unlink(tmpl.c_str());
    if (in_memory_) {
        off_t off = 0;
        const off_t end = lseek(fd_, 0, SEEK_END);
        while (off < end)
            if (move_some(fd_, &off, fd, static_cast<size_t>(end - off),
                          "the spool in " + tmpdir) == 0)
                break;
        close(fd_);
        in_memory_ = false;
    }
    fd_ = fd;
}

Output::~Output() {
    if (owned_ && fd_ >= 0) close(fd_);
    if (dest_owned_ && dest_ >= 0) close(dest_);
    if (!temp_.empty()) {
        g_temp_set = 0;
        unlink(temp_.c_str());
    }
}

void Output::write(const unsigned char *p, size_t n) {
    if (in_memory_ && lseek(fd_, 0, SEEK_CUR) + static_cast<off_t>(n) > off_t{kMemorySpool})
        spool_to_file();
    write_full(fd_, p, n, in_memory_ ? "the spool in memory" : name_);
}

void Output::patch_first(unsigned char byte) {
    if (retry([&] { return pwrite(fd_, &byte, 1, start_); }) != 1)
        fail(error_text("cannot write " + name_));
}

void Output::commit() {
    switch (placement_) {
        case Placement::kDirect:
            break;
        case Placement::kUnnamed:
        case Placement::kNamedTemp:
            name_final();
            break;
        case Placement::kSpooled:
            copy_spool();
            break;
    }
    if (owned_ && close(fd_) != 0) fail(error_text("cannot write " + name_));
    owned_ = false;
}

// Gives a new file its mode and its name, never over a file that appeared
// meanwhile: a link, or a rename that does not replace, fails when the name
// exists.
void Output::name_final() {
    const mode_t mask = umask(0);
    umask(mask);
    if ((!rules_.key && fchmod(fd_, 0666 & ~mask) != 0) || fsync(fd_) != 0)
        fail(error_text("cannot write " + name_));
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    const bool named =
        placement_ == Placement::kUnnamed
            ? linkat(AT_FDCWD, self.c_str(), AT_FDCWD, final_.c_str(), AT_SYMLINK_FOLLOW) == 0
            : renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, final_.c_str(), RENAME_NOREPLACE) == 0 ||
                  // without RENAME_NOREPLACE on this file system, a link
                  ((errno == EINVAL || errno == ENOSYS) &&
                   link(temp_.c_str(), final_.c_str()) == 0);
    if (!named)
        fail(errno == EEXIST ? name_ + " appeared while it was written: use " + rules_.force_option
                             : error_text("cannot write " + name_));
    if (!temp_.empty()) {  // renamed, or linked and now removed
        g_temp_set = 0;
        unlink(temp_.c_str());
        temp_.clear();
    }
}

// Replacing a file in place (--force) keeps its inode, mode, owner and
// links, but is no atomic rename: the whole new size is reserved before the
// first byte changes, so that a full disk stops it while the file is still
// untouched, and SIGINT, SIGTERM and SIGHUP wait until the copy is done. The
// new bytes are then written over the old ones and the rest cut off.
void Output::reserve_in_place(off_t size) {
    if (size == 0) return;
    if (retry([&] { return fallocate(dest_, FALLOC_FL_KEEP_SIZE, 0, size); }) == 0) return;
    const int err = errno;
    if (err == ENOSPC || err == EDQUOT || err == EFBIG)
        fail(
            error_text("no room to replace " + name_ + " with " + std::to_string(size) + " bytes") +
            "; it is untouched: free some space, or write elsewhere with " + rules_.out_option);
    // Without a reservation, a file system that runs full could leave the
    // file half old and half new; the one safe way is a new file.
    errno = err;
    fail(error_text("cannot reserve room in " + name_ + " before replacing it") +
         "; it is untouched: write a new file with " + rules_.out_option + " and move it in place");
}

void Output::copy_spool() {
    const off_t end = lseek(fd_, 0, SEEK_END);
    if (end < 0) fail(error_text("cannot read the spool of " + name_));
    sigset_t stop{}, old{};
    if (dest_replaced_) {
        reserve_in_place(end);
        sigemptyset(&stop);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop, sig);
        sigprocmask(SIG_BLOCK, &stop, &old);
    }
    for (off_t off = 0; off < end;)
        if (move_some(fd_, &off, dest_, static_cast<size_t>(end - off), name_) == 0) break;
    const int dest = dest_;
    dest_ = -1;
    if (dest_replaced_ && (ftruncate(dest, end) != 0 || fsync(dest) != 0))
        fail(error_text("cannot write " + name_));
    if (dest_replaced_) sigprocmask(SIG_SETMASK, &old, nullptr);
    if (dest_owned_ && close(dest) != 0) fail(error_text("cannot write " + name_));
}

}  // namespace cli
