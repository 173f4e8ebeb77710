// SPDX-License-Identifier: MIT
#include "feed.h"

namespace ostrel_standin {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

const char *decode_line(const char *line, size_t n, std::string &out) {
    out.clear();
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        if (line[i] != '\\') {
            out += line[i];
            continue;
        }
        if (++i == n) return "backslash at the end of the line";
        switch (line[i]) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '\\':
                out += '\\';
                break;
            case '0':
                out += '\0';
                break;
            case 'x': {
                const int hi = i + 1 < n ? hex_digit(line[i + 1]) : -1;
                const int lo = i + 2 < n ? hex_digit(line[i + 2]) : -1;
                if (hi < 0 || lo < 0) return "\\x needs two hex digits";
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                return "unknown escape (known: \\n \\t \\\\ \\0 \\xHH)";
        }
    }
    return nullptr;
}

}  // namespace ostrel_standin
