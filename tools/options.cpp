// SPDX-License-Identifier: MIT
#include "options.h"

#include <string.h>

#include <vector>

#include "cli.h"
#include "commands.h"

namespace cli {

namespace {

const OptionInfo kOptions[] = {
    {Opt::kCipher, 'c', "--cipher", "NAME", nullptr},  // help: the library's ciphers
    {Opt::kKeyFile, 'k', "--key-file", "PATH",
     "the raw key bytes, at least 16 (see 'sealkit keygen')"},
    {Opt::kIn, 0, "--in", "PATH", "input, as FILE (default: standard input, of any size)"},
    {Opt::kOut, 'o', "--out", "PATH", "output (default: standard output)"},
    {Opt::kForce, 'f', "--force", nullptr,
     "replace an existing output file (in place: its mode,\n"
     "owner and links stay)"},
    {Opt::kProgress, 0, "--progress", nullptr, "progress on standard error"},
    {Opt::kNoProgress, 0, "--no-progress", nullptr,
     "none (default: on a terminal, for inputs over 64 MiB)"},
    {Opt::kJson, 0, "--json", nullptr, "one JSON object instead of text"},
    {Opt::kQuiet, 'q', "--quiet", nullptr, "no warnings about the key file (errors still show)"},
    {Opt::kHelp, 'h', "--help", nullptr, "this help"},
    {Opt::kVersion, 0, "--version", nullptr, "the version, and OpenSSL's"},
};

constexpr Opt kSealOpen[] = {Opt::kCipher, Opt::kKeyFile,  Opt::kIn,         Opt::kOut,
                             Opt::kForce,  Opt::kProgress, Opt::kNoProgress, Opt::kQuiet};
constexpr Opt kInspect[] = {Opt::kIn, Opt::kJson};
constexpr Opt kKeygen[] = {Opt::kCipher, Opt::kOut};

const CommandInfo kCommands[] = {
    {"seal", kSealOpen, true, false,
     "Seals the input into a cipher envelope: one pad-count byte, then the input\n"
     "completed with zero bytes to whole blocks and encrypted.\n",
     seal},
    {"open", kSealOpen, true, false,
     "Opens a cipher envelope made by 'sealkit seal' (or the library) with the same\n"
     "cipher and key, and writes the plaintext. A wrong key is not detected: it\n"
     "gives meaningless bytes.\n",
     open},
    {"inspect", kInspect, true, false,
     "Prints an envelope's length, its pad-count byte, and for each family of\n"
     "ciphers whether its length fits, in how many blocks, and the plaintext length\n"
     "it would open to. Reads only the first byte of a file.\n"
     "Exits 1 when it fits neither.\n",
     inspect},
    {"keygen", kKeygen, false, true,
     "Writes a fresh random key from the system's random source, as long as the\n"
     "cipher's line below says. The file is made with mode 0600 and never replaces\n"
     "an existing one.\n",
     keygen},
};

bool takes(const CommandInfo &c, Opt id) {
    for (Opt o : c.options)
        if (o == id) return true;
    return id == Opt::kHelp;
}

// The option an argument names ("--cipher", "-c"), with an inline value
// ("--cipher=aes-cbc", "-caes-cbc") split off; nullptr when it names none.
const OptionInfo *lookup(const std::string &arg, std::string &inline_value, bool &has_inline) {
    has_inline = false;
    for (const OptionInfo &o : kOptions) {
        const std::string name = o.name;
        if (arg == name || (o.short_name != 0 && arg == std::string{'-', o.short_name})) return &o;
        if (arg.rfind(name + "=", 0) == 0) {
            inline_value = arg.substr(name.size() + 1);
            has_inline = true;
            return &o;
        }
        if (o.short_name != 0 && o.value_name != nullptr && arg.size() > 2 && arg[0] == '-' &&
            arg[1] == o.short_name) {
            inline_value = arg.substr(2);
            has_inline = true;
            return &o;
        }
    }
    return nullptr;
}

bool is_option(const char *arg) {
    return arg[0] == '-' && arg[1] != '\0';
}

// The ciphers a command takes: "aes-ecb, aes-cbc, ..."
std::string cipher_names(bool keyed_only) {
    std::string s;
    for (const Cipher *c : cipher_table())
        if (!keyed_only || c->min_key_len > 0) s += std::string(s.empty() ? "" : ", ") + c->name;
    return s;
}

// "seal --cipher NAME [--key-file PATH] ... [FILE]"
std::string synopsis(const CommandInfo &c) {
    std::string s = c.name;
    for (Opt id : c.options) {
        const OptionInfo &o = option_info(id);
        const std::string word =
            (o.short_name ? std::string{'-', o.short_name} : std::string(o.name)) +
            (o.value_name ? std::string(" ") + o.value_name : "");
        s += id == Opt::kCipher ? " " + word : " [" + word + "]";
    }
    return s + (c.takes_file ? " [FILE]" : "");
}

}  // namespace

std::span<const Cipher *const> cipher_table() {
    static const std::vector<const Cipher *> all = [] {
        std::vector<const Cipher *> v;
        for (uint32_t i = 0; const Cipher *c = sealkit_cipher_at(i); ++i) v.push_back(c);
        return v;
    }();
    return all;
}

size_t key_bytes_used(const Cipher &c, size_t n) {
    const size_t used = n - (n - c.min_key_len) % c.key_step;
    return used < c.max_key_len ? used : c.max_key_len;
}

std::span<const OptionInfo> option_table() {
    return kOptions;
}

std::span<const CommandInfo> command_table() {
    return kCommands;
}

const OptionInfo &option_info(Opt id) {
    for (const OptionInfo &o : kOptions)
        if (o.id == id) return o;
    return kOptions[0];  // every Opt has a row
}

std::string name(Opt id) {
    return option_info(id).name;
}

std::string Options::value(Opt id) const {
    const auto it = given.find(id);
    return it == given.end() ? std::string() : it->second;
}

std::string usage(bool about) {
    std::string s;
    for (const CommandInfo &c : kCommands)
        s += std::string(s.empty() ? "usage: " : "       ") + "sealkit " + synopsis(c) + "\n";
    s += "       sealkit --version | help [COMMAND] | COMMAND --help\n"
         "NAME: " +
         cipher_names(false) + ". PATH or FILE '-': standard input or output.\n";
    if (!about) return s;
    return "sealkit seals files and pipes into cipher envelopes (AES or Blowfish over\n"
           "libcrypto) and opens them again.\n"
           "Envelopes carry no integrity check: a wrong key or a damaged envelope opens\n"
           "to garbage without an error.\n\n" +
           s + "\nSee sealkit(1) for the rules on pipes, output files and keys.\n";
}

std::string help(const CommandInfo &c) {
    std::string s = "usage: sealkit " + synopsis(c) + "\n\n" + c.description + "\n";
    for (Opt id : c.options) {
        const OptionInfo &o = option_info(id);
        std::string left = "  ";
        left += o.short_name ? std::string{'-', o.short_name, ',', ' '} : "    ";
        left += o.name;
        if (o.value_name) left += std::string(" ") + o.value_name;
        left.resize(24, ' ');
        std::string text = o.help != nullptr ? o.help : "";
        for (const Cipher *k : cipher_table()) {  // --cipher: a line per cipher it takes
            if (id != Opt::kCipher || (c.keyed_only && k->min_key_len == 0)) continue;
            if (!text.empty()) text += '\n';
            text.append(k->name).append(": ");
            text += c.keyed_only ? std::to_string(k->keygen_len) + " bytes" : k->summary;
        }
        for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 25)
            text.insert(at + 1, 24, ' ');
        s += left + text + "\n";
    }
    return s;
}

Options parse(int argc, char **argv) {
    Options o;
    auto usage_error = [](const std::string &why) { fail(why + "\n" + usage(), kExitUsage); };
    if (argc < 2) usage_error("no command");
    std::string first = argv[1];
    if (first == "help") {  // "help [COMMAND]": that command's --help
        if (argc > 3) usage_error("help takes one COMMAND at most");
        o.given[Opt::kHelp] = "";
        if (argc == 2) return o;
        first = argv[2];
        for (const CommandInfo &c : kCommands)
            if (first == c.name) o.command = &c;
        if (o.command == nullptr) usage_error("unknown command '" + first + "'");
        return o;
    }
    for (Opt id : {Opt::kHelp, Opt::kVersion}) {
        std::string value;
        bool has_inline = false;
        if (lookup(first, value, has_inline) == &option_info(id) && !has_inline) {
            o.given[id] = "";
            return o;
        }
    }
    for (const CommandInfo &c : kCommands)
        if (first == c.name) o.command = &c;
    if (o.command == nullptr) usage_error("unknown command '" + first + "'");
    const CommandInfo &c = *o.command;
    bool options_end = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!options_end && arg == "--") {
            options_end = true;
            continue;
        }
        if (options_end || !is_option(argv[i])) {
            if (!c.takes_file) fail("unexpected argument '" + arg + "'", kExitUsage);
            if (arg.empty())
                fail("an empty FILE names no file: use - for standard input", kExitUsage);
            if (!o.file.empty()) fail("one FILE at most", kExitUsage);
            o.file = arg;
            continue;
        }
        std::string value;
        bool has_inline = false;
        const OptionInfo *found = lookup(arg, value, has_inline);
        if (found == nullptr || !takes(c, found->id))
            fail("unknown option '" + arg + "' for " + c.name, kExitUsage);
        const std::string name = found->name;
        if (o.has(found->id)) fail(name + " given twice", kExitUsage);
        if (found->value_name == nullptr) {
            if (has_inline) fail(name + " takes no value", kExitUsage);
            o.given[found->id] = "";
            continue;
        }
        if (!has_inline) {
            // A following option is never taken as a value.
            if (i + 1 >= argc || is_option(argv[i + 1])) fail(name + " needs a value", kExitUsage);
            value = argv[++i];
        }
        if (value.empty()) fail(name + " needs a value", kExitUsage);
        o.given[found->id] = value;
    }
    if (o.has(Opt::kIn) && !o.file.empty())
        fail("give the input as FILE or with " + name(Opt::kIn) + ", not both", kExitUsage);
    if (o.has(Opt::kProgress) && o.has(Opt::kNoProgress))
        fail(name(Opt::kProgress) + " and " + name(Opt::kNoProgress) + " exclude each other",
             kExitUsage);
    return o;
}

const Cipher &cipher_option(const Options &o) {
    const std::string name = o.value(Opt::kCipher);
    const bool keyed_only = o.command != nullptr && o.command->keyed_only;
    if (name.empty())
        fail(cli::name(Opt::kCipher) + " is required (" + cipher_names(keyed_only) + ")",
             kExitUsage);
    for (const Cipher *c : cipher_table())
        if (name == c->name) {
            if (keyed_only && c->min_key_len == 0)
                fail(std::string(c->name) + " uses the library's own key: there is none to make (" +
                         cipher_names(true) + ")",
                     kExitUsage);
            return *c;
        }
    fail("unknown cipher '" + name + "' (" + cipher_names(keyed_only) + ")", kExitUsage);
}

}  // namespace cli
