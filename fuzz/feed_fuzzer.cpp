// SPDX-License-Identifier: MIT
// The SDK stand-in's feed line decoder on arbitrary lines: it never reads
// past the line, never grows it, and re-encoding what it decoded gives the
// same bytes back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A copy of exactly `size` bytes, so that reading past it is caught.
    char *line = static_cast<char *>(malloc(size == 0 ? 1 : size));
    if (size > 0) memcpy(line, data, size);
    std::string push;
    const char *fault = ostrel_standin::decode_line(line, size, push);
    if (fault == nullptr) {
        if (push.size() > size) abort();
        std::string again;
        for (unsigned char c : push) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            again += hex;
        }
        std::string round_trip;
        if (ostrel_standin::decode_line(again.data(), again.size(), round_trip) != nullptr ||
            round_trip != push)
            abort();
    }
    free(line);
    return 0;
}
