// SPDX-License-Identifier: MIT
// File-system steps of the command's output (output.cpp): what a path names,
// moving bytes between descriptors, and the kernel's rule for sticky
// directories, applied by hand.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace cli {

// The descriptor a path names by itself ("/dev/stdout", "/dev/fd/N",
// "/proc/self/fd/N"), or -1.
int fd_path(const std::string &p);

// The directory part of a path: "." when it has none.
std::string dir_of(const std::string &p);

// Whether the first byte can be written again where it went: a regular file
// not opened for appending. Sets `start` to where it goes.
bool patchable(int fd, off_t &start);

// Moves up to n bytes from `from` at *off to `to`, advancing *off; the count
// moved, 0 at the end of `from`. Fails with "cannot write NAME".
size_t move_some(int from, off_t *off, int to, size_t n, const std::string &name);

// Fails when `path` (whose lstat is `entry`) belongs to another user in a
// sticky directory anyone can write to, where a redirect would refuse to
// `what` it ("follow the symlink", "write into").
void refuse_planted(const std::string &path, const struct stat &entry, const char *what);

}  // namespace cli
