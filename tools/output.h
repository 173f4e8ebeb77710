// SPDX-License-Identifier: MIT
// The command's output, placed with the rules of shell redirection and cp:
//   - standard output, /dev/stdout, /dev/stderr, /dev/fd/N and
//     /proc/self/fd/N (also behind symlinks): that descriptor, in place;
//   - a symlink: followed, its target is the output;
//   - a character device, FIFO or socket: opened and written in place;
//   - a new file: written to an unnamed file in its directory (O_TMPFILE)
//     that gets its name once complete, so nothing is left behind even
//     after SIGKILL; where the file system refuses O_TMPFILE, to a named
//     temporary file beside it, renamed into place. Never over a file that
//     appeared meanwhile;
//   - an existing regular file: only with `force`; the output is spooled to
//     an unlinked temporary file and copied into the file once complete, so
//     its inode, mode, owner and links stay, and a read-only directory does
//     not matter. Its whole new size is reserved first: where that fails
//     (no room, or a file system that cannot reserve) the file is untouched;
//   - in a sticky directory anyone can write to (/tmp), a symlink, file or
//     FIFO of another user's is refused, as a shell redirect would be.
// A named temporary file is removed on failure and on SIGINT, SIGTERM or
// SIGHUP; nothing reaches a new or existing file unless commit() is called.
// Binary output (an envelope, a key) is never written to a terminal.
#pragma once

#include <sys/types.h>

#include <string>

namespace cli {

struct OutputRules {
    bool force = false;            // an existing file may be replaced
    bool key = false;              // a key: never over any existing path (no symlink
                                   // followed), and mode 0600
    bool patch = false;            // the first byte is written again before commit: a
                                   // descriptor that cannot take that (a pipe, a
                                   // device, O_APPEND) gets the output through a
                                   // spool, in memory up to kMemorySpool, then in a
                                   // file in TMPDIR
    const char *binary = nullptr;  // what the output is ("an envelope"), when
                                   // it must not go to a terminal
    // The command's options that hints name: how to write elsewhere, and
    // how to allow replacing a file.
    std::string out_option, force_option;
};

constexpr size_t kMemorySpool = size_t{64} << 20;

// Fails when the output is binary and `path` names a terminal by a
// descriptor ("-", /dev/stdout, /dev/fd/N): so the command can refuse
// before it reads anything.
void refuse_terminal(const std::string &path, const OutputRules &rules);

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
    // Where write() goes until commit(), chosen once (see the rules above).
    enum class Placement {
        kDirect,     // the output itself: a descriptor, device or FIFO
        kUnnamed,    // an O_TMPFILE in final_'s directory, linked to final_
        kNamedTemp,  // temp_ beside final_, renamed to it
        kSpooled,    // a spool (memory, then a file) copied into dest_
    };

    void open_path(const std::string &path);
    void direct(int fd, bool owned);
    void spool_in_memory();
    void spool_beside();
    void spool_to_file();
    void name_final();
    void copy_spool();
    void reserve_in_place(off_t size);

    std::string name_;
    OutputRules rules_;
    Placement placement_ = Placement::kDirect;
    int fd_ = -1;             // where write() goes
    bool owned_ = false;      // fd_ is closed here (kDirect: when opened here)
    off_t start_ = 0;         // where the first byte went in fd_
    std::string final_;       // kUnnamed, kNamedTemp: the new file's name
    std::string temp_;        // kNamedTemp: the temporary file's name
    bool in_memory_ = false;  // kSpooled: fd_ is a memfd, until kMemorySpool bytes
    int dest_ = -1;           // kSpooled: the destination
    bool dest_owned_ = false, dest_replaced_ = false;  // closed here; a file --force replaces
};

}  // namespace cli
