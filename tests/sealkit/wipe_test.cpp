// SPDX-License-Identifier: MIT
// No schedule of a caller's key outlives a call, a key object or a stream:
// afterwards no live libcrypto block holds the raw key. An AES key schedule holds the key
// itself (the first round key), so a context left keyed would show.
#include <openssl/evp.h>

#include <cstdio>

#include "crypto_heap.h"
#include "support.h"

using namespace sktest;

namespace {

int failures = 0;

void expect_no_key(const Bytes &key, const char *after) {
    if (heap::holds(key.data(), 16)) {
        std::printf("FAIL: a live libcrypto block holds the key after %s\n", after);
        ++failures;
    }
}

int run() {
    if (!heap::install()) return heap::cannot_install();
    const Bytes key = hex("5ea1c0de0badf00d1337c0ffee15900d 7e57ab1e5eed0fba11ca5e0ddba11ad5");

    // The scan must find a context that is still keyed, or it proves nothing.
    EVP_CIPHER_CTX *keyed = EVP_CIPHER_CTX_new();
    if (keyed == nullptr ||
        EVP_EncryptInit_ex2(keyed, EVP_aes_128_ecb(), key.data(), nullptr, nullptr) != 1) {
        std::puts("cannot key an EVP context");
        return 1;
    }
    const bool visible = heap::holds(key.data(), 16);
    EVP_CIPHER_CTX_free(keyed);
    if (!visible) {
        std::puts("skipped: this libcrypto does not keep the raw key in its AES schedule");
        return 77;
    }
    expect_no_key(key, "freeing a keyed EVP context");

    const Bytes plain(40, 0x5a);
    for (const Pair &p : kPairs) {
        if (p.cipher != Cipher::kAes) continue;
        const Bytes &k = p.takes_key ? key : kBuiltinKey;
        for (size_t key_len : {16u, 24u, 32u}) {
            const Bytes caller_key(k.begin(), k.begin() + static_cast<long>(key_len));
            const Bytes env = seal(p, caller_key, plain);
            expect_no_key(k, (std::string(p.name) + " seal").c_str());
            (void)open(p, caller_key, env);
            expect_no_key(k, (std::string(p.name) + " open").c_str());
            if (!p.takes_key) break;
        }
    }
    // Key objects and streams hold the schedule while they live, and wipe it
    // when freed.
    for (const Pair &p : kPairs) {
        if (p.cipher != Cipher::kAes || !p.takes_key) continue;
        sealkit_key *k = nullptr;
        sealkit_stream *st = nullptr;
        if (sealkit_key_new(&k, p.id, key.data(), 16) != SEALKIT_OK ||
            sealkit_stream_new(&st, k, SEALKIT_SEAL, 100) != SEALKIT_OK)
            return 1;
        if (!heap::holds(key.data(), 16)) {
            std::printf("FAIL: the scan does not find the %s key object's schedule\n", p.name);
            ++failures;
        }
        sealkit_key_free(k);
        sealkit_stream_free(st);
        expect_no_key(key, (std::string(p.name) + " key and stream free").c_str());
    }
    if (failures != 0) return 1;
    std::puts("ok");
    return 0;
}

}  // namespace

int main() {
    try {
        return run();
    } catch (const std::exception &e) {
        std::printf("FAIL: %s\n", e.what());
        return 1;
    }
}
