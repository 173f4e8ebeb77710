// SPDX-License-Identifier: MIT
// libcrypto's live heap blocks, tracked through its allocator hooks. The
// hooks must be installed before libcrypto allocates anything, so a test
// that uses them has a main of its own.
#pragma once

#include <openssl/crypto.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace sktest::heap {

inline std::mutex g_mu;
inline std::map<uintptr_t, size_t> *g_live;  // address -> size

inline void *hook_malloc(size_t n, const char *, int) {
    void *p = malloc(n);
    std::lock_guard<std::mutex> lock(g_mu);
    if (p != nullptr) (*g_live)[reinterpret_cast<uintptr_t>(p)] = n;
    return p;
}

inline void *hook_realloc(void *old, size_t n, const char *, int) {
    // The old address is only a key once realloc has run; taken as a number
    // first, it is never a pointer used after free.
    const auto old_key = reinterpret_cast<uintptr_t>(old);
    void *p = realloc(old, n);
    std::lock_guard<std::mutex> lock(g_mu);
    if (p != nullptr) {
        g_live->erase(old_key);
        (*g_live)[reinterpret_cast<uintptr_t>(p)] = n;
    }
    return p;
}

inline void hook_free(void *p, const char *, int) {
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_live->erase(reinterpret_cast<uintptr_t>(p));
    }
    free(p);
}

// Installs the hooks; false when libcrypto has allocated already.
inline bool install() {
    g_live = new std::map<uintptr_t, size_t>;
    return CRYPTO_set_mem_functions(hook_malloc, hook_realloc, hook_free) == 1;
}

// The exit status of a test whose hooks could not be installed: a failure,
// unless libcrypto is linked statically (the cross builds' own), which
// allocates while the program starts, before any main can hook it; then the
// test cannot run there, and says so (77: skipped).
inline int cannot_install() {
#ifdef SKTEST_STATIC_LIBCRYPTO
    std::puts(
        "skipped: a static libcrypto allocates before main, so its allocator cannot be hooked");
    return 77;
#else
    std::puts("cannot hook libcrypto's allocator");
    return 1;
#endif
}

inline size_t live_blocks() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_live->size();
}

// Whether any live block holds these n bytes.
inline bool holds(const unsigned char *bytes, size_t n) {
    std::lock_guard<std::mutex> lock(g_mu);
    for (const auto &[addr, size] : *g_live) {
        // The addresses are the hooks' own records of live blocks.
        const void *block =
            reinterpret_cast<const void *>(addr);  // NOLINT(performance-no-int-to-ptr)
        if (size >= n && memmem(block, size, bytes, n) != nullptr) return true;
    }
    return false;
}

}  // namespace sktest::heap
