// SPDX-License-Identifier: MIT
#include "files.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"

namespace cli {

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

}  // namespace cli
