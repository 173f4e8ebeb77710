// Shared by the sealkit fuzzers: the eight functions as four pairs, and the
// envelope libcrypto used directly gives.
#pragma once

#include <cstdlib>

#include "support.h"  // from tests/

namespace fz {

using sktest::Bytes;

// Stops the fuzzer with a message when a property fails.
inline void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "property violated: %s\n", what);
        abort();
    }
}

const Bytes kBuiltinKey =
    sktest::hex("9d3c75b9780d956c0d31c8c56dbc6529d8fd85ac3d4128f57d3c955938adf5ec");

// Whole blocks through libcrypto directly, in the pair's cipher and mode.
inline Bytes reference(const sktest::Pair &p, const Bytes &key, const Bytes &blocks, bool enc) {
    const std::string name = p.name;
    if (name == "blowfish") return sktest::raw_bf_cbc(key, blocks, enc);
    if (name == "builtin") return sktest::evp_aes(true, kBuiltinKey, blocks, enc);
    return sktest::evp_aes(name == "aes_cbc", sktest::aes_effective_key(key), blocks, enc);
}

}  // namespace fz
