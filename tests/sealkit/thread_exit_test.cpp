// SPDX-License-Identifier: MIT
// A thread that used sealkit releases its cipher contexts when it ends: the
// count of libcrypto's live heap blocks comes back to where it was.
#include <sealkit.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "crypto_heap.h"

namespace {

// One call of every AES function at every key size, and Blowfish.
bool use_everything() {
    unsigned char key[32] = {7}, plain[40] = {1}, env[64], back[64];
    for (uint32_t key_len : {16u, 24u, 32u}) {
        for (auto seal : {CRYPTO1_encrypt, CRYPTO2_encrypt, CRYPTO3_encrypt}) {
            uint32_t len = sizeof env;
            if (seal(key, key_len, plain, sizeof plain, env, &len) != 0) return false;
        }
        for (auto open : {CRYPTO1_decrypt, CRYPTO2_decrypt}) {
            uint32_t len = sizeof back;
            if (open(key, key_len, env, 49, back, &len) != 0) return false;
        }
    }
    uint32_t len = sizeof env, back_len = sizeof back;
    return CRYPTO_encrypt_without_key(plain, sizeof plain, env, &len) == 0 &&
           CRYPTO_decrypt_without_key(env, len, back, &back_len) == 0;
}

}  // namespace

int main() {
    if (!sktest::heap::install()) return sktest::heap::cannot_install();
    // The main thread's own contexts and the process-wide cipher handles.
    if (!use_everything()) return 1;
    const size_t before = sktest::heap::live_blocks();

    for (int round = 0; round < 4; ++round) {
        std::vector<std::thread> threads;
        threads.reserve(8);
        bool ok[8] = {};
        for (int t = 0; t < 8; ++t) threads.emplace_back([&ok, t] { ok[t] = use_everything(); });
        for (auto &th : threads) th.join();
        for (bool b : ok)
            if (!b) return 1;
    }
    const size_t after = sktest::heap::live_blocks();
    std::printf("libcrypto blocks live: %zu before 32 threads, %zu after they ended\n", before,
                after);
    if (after != before) {
        std::puts("FAIL: ended threads left cipher contexts behind");
        return 1;
    }
    std::puts("ok");
    return 0;
}
