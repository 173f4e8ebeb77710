// SPDX-License-Identifier: MIT
#include "failing_cipher.h"

#include <dlfcn.h>
#include <openssl/evp.h>

#include <atomic>

namespace {

std::atomic<int> g_countdown{0};
std::atomic<long> g_updates{0};

using Update = int (*)(EVP_CIPHER_CTX *, unsigned char *, int *, const unsigned char *, int);

}  // namespace

namespace sktest {

void fail_cipher_update(int n) {
    g_countdown = n;
}

long cipher_updates() {
    return g_updates;
}

}  // namespace sktest

#ifdef SKTEST_WRAP_CIPHER_UPDATE
// libcrypto linked statically (a cross build's own): its EVP_CipherUpdate
// cannot be taken over by a definition of the same name, so the linker
// sends the library's calls here instead (--wrap=EVP_CipherUpdate), and the
// real one is __real_EVP_CipherUpdate.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's names
extern "C" int __real_EVP_CipherUpdate(EVP_CIPHER_CTX *ctx, unsigned char *out, int *outl,
                                       const unsigned char *in, int inl);
extern "C" int __wrap_EVP_CipherUpdate(EVP_CIPHER_CTX *ctx, unsigned char *out, int *outl,
                                       const unsigned char *in, int inl) {
    ++g_updates;
    if (g_countdown > 0 && --g_countdown == 0) return 0;
    return __real_EVP_CipherUpdate(ctx, out, outl, in, inl);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
#else
// Takes the place of libcrypto's for this program and the libraries it
// loads; calls the real one unless this is the armed call.
extern "C" int EVP_CipherUpdate(EVP_CIPHER_CTX *ctx, unsigned char *out, int *outl,
                                const unsigned char *in, int inl) {
    ++g_updates;
    if (g_countdown > 0 && --g_countdown == 0) return 0;
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym's result
    static const auto real = reinterpret_cast<Update>(dlsym(RTLD_NEXT, "EVP_CipherUpdate"));
    return real(ctx, out, outl, in, inl);
}
#endif
