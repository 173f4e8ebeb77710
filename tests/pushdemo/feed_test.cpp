// SPDX-License-Identifier: MIT
// The stand-in SDK's feed line decoder.
#include "feed.h"

#include <gtest/gtest.h>

namespace {

struct Line {
    const char *what;
    std::string line;
    std::string push;  // expected bytes when `ok`
    bool ok;
};

TEST(FeedLine, DecodesEscapesAndRejectsMalformedLines) {
    using namespace std::string_literals;
    const Line cases[] = {
        {"plain text", "hello world", "hello world", true},
        {"empty line", "", "", true},
        {"newline", "a\\nb", "a\nb", true},
        {"tab", "a\\tb", "a\tb", true},
        {"backslash", "a\\\\b", "a\\b", true},
        {"NUL", "a\\0b", "a\0b"s, true},
        {"hex, both cases", "\\x41\\x4a\\x4A\\xff", "AJJ\xff", true},
        {"hex NUL", "\\x00", "\0"s, true},
        {"raw bytes pass", "\x01\xfe%s", "\x01\xfe%s", true},
        {"raw NUL passes", "a\0b"s, "a\0b"s, true},
        {"escaped backslash before n", "\\\\n", "\\n", true},
        {"unknown escape", "a\\qb", "", false},
        {"backslash at end", "abc\\", "", false},
        {"hex without digits", "\\x", "", false},
        {"hex with one digit", "\\x4", "", false},
        {"hex with a non-digit", "\\x4g", "", false},
        {"carriage return escape is not known", "\\r", "", false},
    };
    for (const auto &c : cases) {
        std::string out;
        const char *fault = ostrel_standin::decode_line(c.line.data(), c.line.size(), out);
        EXPECT_EQ(fault == nullptr, c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(out, c.push) << c.what;
        }
    }
}

}  // namespace
