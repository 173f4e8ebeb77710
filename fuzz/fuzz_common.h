// SPDX-License-Identifier: MIT
// Shared by the sealkit fuzzers; the pairs and the libcrypto reference come
// from the test support library.
#pragma once

#include <cstdlib>

#include "support.h"

namespace fz {

using sktest::Bytes;

// Stops the fuzzer with a message when a property fails.
inline void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "property violated: %s\n", what);
        abort();
    }
}

}  // namespace fz
