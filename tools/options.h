// SPDX-License-Identifier: MIT
// The command line: one table of commands and one of options drive parsing,
// the usage and help texts, and dispatch. The bash completion
// (sealkit.bash-completion) offers the same names; a test holds the two in
// step.
#pragma once

#include <sealkit.h>

#include <map>
#include <span>
#include <string>

namespace cli {

enum class Opt {
    kCipher,
    kKeyFile,
    kIn,
    kOut,
    kForce,
    kProgress,
    kNoProgress,
    kJson,
    kQuiet,
    kHelp,
    kVersion
};

struct Options;

struct OptionInfo {
    Opt id;
    char short_name;         // 'c', or 0
    const char *name;        // "--cipher"
    const char *value_name;  // "NAME"; nullptr for a flag
    const char *help;
};

struct CommandInfo {
    const char *name;
    std::span<const Opt> options;  // what it takes besides --help
    bool takes_file;               // a positional FILE, the same as --in
    bool keyed_only;               // --cipher takes only the ciphers that have a key
    const char *description;       // for its --help
    int (*run)(const Options &);
};

std::span<const OptionInfo> option_table();
std::span<const CommandInfo> command_table();
const OptionInfo &option_info(Opt id);
std::string name(Opt id);  // "--cipher"

// A parsed command line. Without a command: --help or --version alone.
struct Options {
    const CommandInfo *command = nullptr;
    std::map<Opt, std::string> given;  // flags map to ""
    std::string file;                  // the positional FILE

    bool has(Opt id) const { return given.count(id) > 0; }
    std::string value(Opt id) const;
    // The input: FILE or --in; empty for standard input.
    std::string input() const { return has(Opt::kIn) ? value(Opt::kIn) : file; }
};

// Parses argv; a usage error fails with kExitUsage and the usage text.
// "help [COMMAND]" is read as COMMAND --help, or --help alone.
Options parse(int argc, char **argv);

// The usage of every command; with `about`, what the tool is first (for
// --help). And one command's full help.
std::string usage(bool about = false);
std::string help(const CommandInfo &c);

// A cipher --cipher names: the library's own record of it.
using Cipher = sealkit_cipher_info;

// Every cipher, as the library lists them.
std::span<const Cipher *const> cipher_table();

// The cipher --cipher names; a usage failure when it is missing, unknown, or
// one the command does not take.
const Cipher &cipher_option(const Options &o);

// The key bytes `c` uses of a key of n bytes (n at least its minimum).
size_t key_bytes_used(const Cipher &c, size_t n);

}  // namespace cli
