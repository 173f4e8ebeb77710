// SPDX-License-Identifier: MIT
// The stand-in SDK's push feed: one push per line, with backslash escapes
// for exact bytes.
#pragma once

#include <cstddef>
#include <string>

namespace ostrel_standin {

// Decodes one feed line (its newline already removed) into the push bytes.
// Escapes: \n \t \\ \0 \xHH (two hex digits); every other byte stands for
// itself. Returns nullptr on success, else a description of the fault, with
// `out` unspecified.
const char *decode_line(const char *line, size_t n, std::string &out);

}  // namespace ostrel_standin
