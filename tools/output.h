// SPDX-License-Identifier: MIT
// The command's output, placed with the rules of shell redirection and cp:
//   - standard output, /dev/stdout, /dev/stderr, /dev/fd/N and
//     /proc/self/fd/N (also behind symlinks): that descriptor, in place;
//   - a symlink: followed, its target is the output;
//   - a character device, FIFO or socket: opened and written in place;
//   - a new file: written to a temporary file beside it, renamed into place
//     once complete (never over a file that appeared meanwhile);
//   - an existing regular file: only with `force`; the output is spooled to
//     an unlinked temporary file and copied into the file once complete, so
//     its inode, mode, owner and links stay, and a read-only directory does
//     not matter.
// A temporary file is removed on failure and on SIGINT, SIGTERM or SIGHUP;
// nothing reaches a new or existing file unless commit() is called.
#pragma once

#include <sys/types.h>

#include <string>

namespace cli {

struct OutputRules {
    bool force = false;  // an existing file may be replaced
    bool key = false;    // a key: never over any existing path (no symlink
                         // followed), and mode 0600
    bool patch = false;  // the first byte is written again before commit: a
                         // descriptor that cannot take that (a pipe, a
                         // terminal, O_APPEND) gets the output through a
                         // spool file in TMPDIR
};

class Output {
  public:
    Output(const std::string &path, OutputRules rules);
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    ~Output();

    void write(const unsigned char *p, size_t n);
    // Writes `byte` over the first byte written (needs rules.patch).
    void patch_first(unsigned char byte);
    // Puts the complete output in place.
    void commit();

  private:
    void open_path(const std::string &path);
    void direct(int fd, bool owned);
    void spool(bool beside);
    void copy_spool();

    std::string name_, final_;
    OutputRules rules_;
    int fd_ = -1;  // where write() goes
    bool owned_ = false;
    off_t start_ = 0;  // where the first byte went in fd_
    int dest_ = -1;    // where a spool goes at commit
    bool dest_owned_ = false, dest_truncate_ = false;
};

}  // namespace cli
