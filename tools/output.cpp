// SPDX-License-Identifier: MIT
#include "output.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "options.h"

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

// Moves up to n bytes from `from` at *off to `to`, in the kernel where it
// can: splice into a pipe, copy_file_range or else sendfile into anything
// else; through a buffer where the kernel takes neither (an O_APPEND file,
// some devices). The count moved; 0 at the end of `from`.
size_t move_some(int from, off_t *off, int to, size_t n, const std::string &name) {
    struct stat st {};
    const bool pipe = fstat(to, &st) == 0 && S_ISFIFO(st.st_mode);
    // What the kernel refuses for a pair of descriptors it always refuses.
    const auto refused = [] {
        return errno == EINVAL || errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
               errno == EBADF;
    };
    ssize_t r = -1;
    if (pipe) {
        r = retry([&] { return splice(from, off, to, nullptr, n, SPLICE_F_MOVE); });
    } else {
        r = retry([&] { return copy_file_range(from, off, to, nullptr, n, 0); });
        if (r < 0 && refused()) r = retry([&] { return sendfile(to, from, off, n); });
    }
    if (r >= 0) return static_cast<size_t>(r);
    if (!refused()) fail(error_text("cannot write " + name));
    unsigned char buf[65536];
    r = retry([&] { return pread(from, buf, n < sizeof buf ? n : sizeof buf, *off); });
    if (r < 0) fail(error_text("cannot read the spool of " + name));
    write_full(to, buf, static_cast<size_t>(r), name);
    *off += r;
    return static_cast<size_t>(r);
}

// The kernel's rule for sticky, world-writable directories such as /tmp
// (fs.protected_symlinks, protected_regular and protected_fifos, which
// Debian turns on): there a shell redirect refuses to follow a symlink, or
// to open an existing file or FIFO, that belongs to someone else than the
// user and the directory's owner: whoever planted it may not pick where the
// user's output goes. This command follows symlinks by hand and opens an
// existing file without O_CREAT, out of the kernel's sight, so it applies
// the rule itself, whatever those settings say. `entry` is lstat(path).
void refuse_planted(const std::string &path, const struct stat &entry, const char *what) {
    const std::string dir = dir_of(path);
    struct stat d {};
    if (stat(dir.c_str(), &d) != 0 || (d.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH) ||
        entry.st_uid == geteuid() || entry.st_uid == d.st_uid)
        return;
    fail("refusing to " + std::string(what) + " " + path + ": it belongs to another user, in " +
         dir +
         ", a sticky directory anyone can write to, where a redirect would be refused "
         "as well: write the output somewhere else");
}

std::string terminal_refusal(const char *what) {
    return std::string("refusing to write ") + what + " to a terminal: use " + name(Opt::kOut) +
           " FILE or a redirect";
}

}  // namespace

void refuse_terminal(const std::string &path, const char *what) {
    const int fd = is_stdio(path) ? STDOUT_FILENO : fd_path(path);
    if (what != nullptr && fd >= 0 && isatty(fd)) fail(terminal_refusal(what));
}

Output::Output(const std::string &path, OutputRules rules)
    : name_(is_stdio(path) ? "standard output" : path), rules_(rules) {
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
        if (!rules_.force) fail(path + " exists: use " + name(Opt::kForce) + " to replace it");
        // Opened now, so that an unwritable file fails before any work.
        dest_ = open(p.c_str(), O_WRONLY | O_CLOEXEC);
        if (dest_ < 0) fail(error_text("cannot write " + path));
        dest_owned_ = dest_replaced_ = true;
        return spool(true);
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
        fail(terminal_refusal(rules_.binary));
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
    spool(false);
}

// Beside a file that --force replaces: an unlinked temporary file there (or
// in TMPDIR when that directory cannot be written). For a pipe or device:
// memory, until it holds kMemorySpool bytes (see write()).
void Output::spool(bool beside) {
    placement_ = Placement::kSpooled;
    start_ = 0;
    owned_ = true;
    if (!beside) {
        fd_ = memfd_create("sealkit-spool", MFD_CLOEXEC);
        in_memory_ = fd_ >= 0;
        if (in_memory_) return;
    }
    if (beside) {
        std::string tmpl = dir_of(name_) + "/.sealkit-spool.XXXXXX";
        fd_ = mkostemp(tmpl.data(), O_CLOEXEC);
        if (fd_ >= 0) {
            unlink(tmpl.c_str());
            return;
        }
    }
    spool_to_file();
}

// An unlinked file in TMPDIR, which takes over what the memory spool holds.
void Output::spool_to_file() {
    const char *env = getenv("TMPDIR");
    const std::string tmpdir = env != nullptr && *env != '\0' ? env : "/tmp";
    std::string tmpl = tmpdir + "/.sealkit-spool.XXXXXX";
    const int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0)
        fail(error_text("cannot make a temporary file in " + tmpdir + " (TMPDIR) for " + name_) +
             ": point TMPDIR to a directory with room, or use " + name(Opt::kOut) + " FILE");
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
        fail(errno == EEXIST ? name_ + " appeared while it was written: use " + name(Opt::kForce)
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
            "; it is untouched: free some space, or write elsewhere with " + name(Opt::kOut));
    // Without a reservation, a file system that runs full could leave the
    // file half old and half new; the one safe way is a new file.
    errno = err;
    fail(error_text("cannot reserve room in " + name_ + " before replacing it") +
         "; it is untouched: write a new file with " + name(Opt::kOut) + " and move it in place");
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
