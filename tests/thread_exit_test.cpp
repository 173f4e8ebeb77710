// A thread that used sealkit releases its cipher contexts when it ends. The
// test counts libcrypto's live heap blocks through its allocator hooks, which
// must be installed before libcrypto allocates anything, hence its own main.
#include <openssl/crypto.h>
#include <sealkit.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

std::mutex g_mu;
std::set<uintptr_t> *g_live;  // live blocks allocated by libcrypto

void *hook_malloc(size_t n, const char *, int) {
    void *p = malloc(n);
    std::lock_guard<std::mutex> lock(g_mu);
    if (p != nullptr) g_live->insert(reinterpret_cast<uintptr_t>(p));
    return p;
}
void *hook_realloc(void *old, size_t n, const char *, int) {
    // The old address is only a key once realloc has run; taken as a number
    // first, it is never a pointer used after free.
    const auto old_key = reinterpret_cast<uintptr_t>(old);
    void *p = realloc(old, n);
    std::lock_guard<std::mutex> lock(g_mu);
    if (p != nullptr) {
        g_live->erase(old_key);
        g_live->insert(reinterpret_cast<uintptr_t>(p));
    }
    return p;
}
void hook_free(void *p, const char *, int) {
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_live->erase(reinterpret_cast<uintptr_t>(p));
    }
    free(p);
}

size_t live() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_live->size();
}

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
    g_live = new std::set<uintptr_t>;
    if (CRYPTO_set_mem_functions(hook_malloc, hook_realloc, hook_free) != 1) {
        std::puts("cannot hook libcrypto's allocator");
        return 1;
    }
    // The main thread's own contexts and the process-wide cipher handles.
    if (!use_everything()) return 1;
    const size_t before = live();

    for (int round = 0; round < 4; ++round) {
        std::vector<std::thread> threads;
        bool ok[8] = {};
        for (int t = 0; t < 8; ++t) threads.emplace_back([&ok, t] { ok[t] = use_everything(); });
        for (auto &th : threads) th.join();
        for (bool b : ok)
            if (!b) return 1;
    }
    const size_t after = live();
    std::printf("libcrypto blocks live: %zu before 32 threads, %zu after they ended\n", before,
                after);
    if (after != before) {
        std::puts("FAIL: ended threads left cipher contexts behind");
        return 1;
    }
    std::puts("ok");
    return 0;
}
