// SPDX-License-Identifier: MIT
// A seam for failures inside libcrypto (sktest::failing_cipher): the n-th
// EVP_CipherUpdate from now, in any thread, fails as libcrypto would.
#pragma once

namespace sktest {

// Arms the seam: the n-th cipher update from now fails (n >= 1); 0 disarms.
void fail_cipher_update(int n);

// Cipher updates seen since the program started.
long cipher_updates();

}  // namespace sktest
