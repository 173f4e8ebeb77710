// SPDX-License-Identifier: MIT
// Key files: raw bytes, read into a secret buffer, with warnings for what
// looks like a mistake.
#pragma once

#include <string>

#include "cli.h"
#include "options.h"

namespace cli {

constexpr size_t kMaxKeyFile = 4096;  // a longer "key" is a mistake

// Reads the key file at `path` ("-": standard input) into `key`, which holds
// kMaxKeyFile + 1 bytes, and returns its length. Warns on stderr when the
// file can be read by others, ends in a newline, looks like hex or base64
// text, or is longer than `c` uses. `data_on_stdin`: the data comes from
// standard input, which the key then cannot share.
size_t read_key(const std::string &path, const Cipher &c, bool data_on_stdin, Secret &key);

}  // namespace cli
