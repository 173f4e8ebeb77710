// SPDX-License-Identifier: MIT
// sealkit against libcrypto used directly, side by side in one process.
//
// Every sealkit function at 16 B .. 1 MiB, next to three baselines: EVP with a
// context created per call, the low-level AES_* calls, and raw BF_* calls.
// After the runs a table compares them with the speed targets.
#include <benchmark/benchmark.h>
#include <openssl/aes.h>
#include <openssl/blowfish.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sealkit.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support.h"  // the four pairs behind one signature

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // the low-level baselines

namespace {

// Heap allocations made by libcrypto, counted through its allocator hooks.
// sealkit's one-shot calls allocate only a thread's AES contexts, on its
// first call; every call after that makes none.
std::atomic<long> g_allocs{0};
void *count_malloc(size_t n, const char *, int) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return malloc(n);
}
void *count_realloc(void *p, size_t n, const char *, int) {
    if (p == nullptr) g_allocs.fetch_add(1, std::memory_order_relaxed);
    return realloc(p, n);
}
void count_free(void *p, const char *, int) {
    free(p);
}

const unsigned char kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const unsigned char kZeroIv[16] = {0};
constexpr size_t kStreamChunk = size_t{64} * 1024;  // what a stream is fed per update

using sktest::Fn;

// Runs one call per iteration on n-byte plaintexts (whole blocks, so that
// every variant does the same work) and reports bytes, calls and allocations.
template <typename Call>
void run(benchmark::State &state, Call call) {
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> in(n + 1, 0x5a), out(n + 64);
    in[0] = 16;  // a valid pad byte when `in` is read as an envelope
    const long before = g_allocs.load();
    for (auto _ : state) {
        call(in.data(), n, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0)
        state.counters["allocs/call"] =
            benchmark::Counter(static_cast<double>(g_allocs.load() - before) /
                               static_cast<double>(state.iterations() * state.threads()));
}

void sealkit_call(benchmark::State &state, Fn fn, bool seal) {
    run(state, [fn, seal](const unsigned char *in, size_t n, unsigned char *out) {
        uint32_t len = static_cast<uint32_t>(n + 64);
        // Opening reads an envelope: the pad byte, then n bytes of blocks.
        const int rc = seal ? fn(kKey, 16, in + 1, static_cast<uint32_t>(n), out, &len)
                            : fn(kKey, 16, in, static_cast<uint32_t>(n + 1), out, &len);
        if (rc != 0) std::abort();
    });
}

// A key object made once per thread, then one sealkit_seal or sealkit_open
// per iteration.
void keyed_call(benchmark::State &state, const sktest::Pair &p, bool seal) {
    sealkit_key *k = nullptr;
    if (sealkit_key_new(&k, p.id, p.takes_key ? kKey : nullptr, p.takes_key ? 16 : 0) != 0)
        std::abort();
    run(state, [k, seal](const unsigned char *in, size_t n, unsigned char *out) {
        uint32_t len = static_cast<uint32_t>(n + 64);
        const int rc = seal ? sealkit_seal(k, in + 1, static_cast<uint32_t>(n), out, &len)
                            : sealkit_open(k, in, static_cast<uint32_t>(n + 1), out, &len);
        if (rc != 0) std::abort();
    });
    sealkit_key_free(k);
}

// A stream per iteration over the whole input, fed in chunks of 64 KiB.
void stream_call(benchmark::State &state, const sktest::Pair &p, bool seal) {
    sealkit_key *k = nullptr;
    if (sealkit_key_new(&k, p.id, p.takes_key ? kKey : nullptr, p.takes_key ? 16 : 0) != 0)
        std::abort();
    run(state, [k, seal](const unsigned char *in, size_t n, unsigned char *out) {
        const unsigned char *from = seal ? in + 1 : in;
        const size_t total = seal ? n : n + 1;
        sealkit_stream *s = nullptr;
        if (sealkit_stream_new(&s, k, seal ? SEALKIT_SEAL : SEALKIT_OPEN,
                               static_cast<uint32_t>(total)) != 0)
            std::abort();
        for (size_t at = 0; at < total;) {
            const size_t step = std::min(kStreamChunk, total - at);
            uint32_t len = static_cast<uint32_t>(step + 16);
            if (sealkit_stream_update(s, from + at, static_cast<uint32_t>(step), out, &len) != 0)
                std::abort();
            out += len;
            at += step;
        }
        uint32_t len = 16;
        if (sealkit_stream_final(s, out, &len) != 0) std::abort();
        sealkit_stream_free(s);
    });
    sealkit_key_free(k);
}

// EVP used directly: a cipher fetched once, a context created per call.
void evp_call(benchmark::State &state, const EVP_CIPHER *cipher, bool enc) {
    run(state, [cipher, enc](const unsigned char *in, size_t n, unsigned char *out) {
        EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
        int outl = 0;
        if (EVP_CipherInit_ex2(ctx, cipher, kKey, kZeroIv, enc, nullptr) != 1 ||
            EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 ||
            EVP_CipherUpdate(ctx, out, &outl, in, static_cast<int>(n)) != 1)
            std::abort();
        EVP_CIPHER_CTX_free(ctx);
    });
}

// The low-level AES calls: a key schedule per call, ECB one block per call.
void lowlevel_call(benchmark::State &state, bool cbc, bool enc, int bits) {
    run(state, [=](const unsigned char *in, size_t n, unsigned char *out) {
        AES_KEY ks;
        if ((enc ? AES_set_encrypt_key(kKey, bits, &ks) : AES_set_decrypt_key(kKey, bits, &ks)) < 0)
            std::abort();
        if (cbc) {
            unsigned char iv[16] = {0};
            AES_cbc_encrypt(in, out, n, &ks, iv, enc ? AES_ENCRYPT : AES_DECRYPT);
        } else {
            for (size_t i = 0; i < n; i += 16)
                AES_ecb_encrypt(in + i, out + i, &ks, enc ? AES_ENCRYPT : AES_DECRYPT);
        }
        OPENSSL_cleanse(&ks, sizeof ks);
    });
}

void bf_call(benchmark::State &state, bool enc) {
    run(state, [enc](const unsigned char *in, size_t n, unsigned char *out) {
        BF_KEY ks;
        unsigned char iv[8] = {0};
        BF_set_key(&ks, 16, kKey);
        BF_cbc_encrypt(in, out, static_cast<long>(n), &ks, iv, enc ? BF_ENCRYPT : BF_DECRYPT);
        OPENSSL_cleanse(&ks, sizeof ks);
    });
}

const std::vector<int64_t> kSizes = {16, 64, 1024, int64_t{16} * 1024, int64_t{1} << 20};
constexpr double kMinTime = 0.2;  // seconds per case

void register_all() {
    auto add = [](const std::string &name, auto fn) {
        auto *b = benchmark::RegisterBenchmark(name.c_str(), fn);
        for (int64_t s : kSizes) b->Arg(s);
        // Set here rather than by --benchmark_min_time, whose value syntax
        // changed between releases (1.7: "0.2", 1.9: "0.2s").
        b->ArgName("bytes")->MinTime(kMinTime);
        // The two-thread cases: calls per second in all, at 64 bytes.
        benchmark::RegisterBenchmark((name + "/2threads").c_str(), fn)
            ->Arg(64)
            ->ArgName("bytes")
            ->Threads(2)
            ->MinTime(kMinTime)
            ->UseRealTime();
    };
    for (const sktest::Pair &p : sktest::kPairs) {
        for (bool seal : {true, false}) {
            const std::string dir = seal ? "/seal" : "/open";
            benchmark::RegisterBenchmark(
                ("keyed/" + std::string(p.name) + dir).c_str(),
                [&p, seal](benchmark::State &s) { keyed_call(s, p, seal); })
                ->Arg(64)
                ->Arg(int64_t{1} << 20)
                ->ArgName("bytes")
                ->MinTime(kMinTime);
            benchmark::RegisterBenchmark(
                ("stream/" + std::string(p.name) + dir).c_str(),
                [&p, seal](benchmark::State &s) { stream_call(s, p, seal); })
                ->Arg(int64_t{1} << 20)
                ->ArgName("bytes")
                ->MinTime(kMinTime);
        }
        // The EVP cipher with the same key size (16 bytes, or the built-in 32) and mode.
        const bool cbc = p.mode == sktest::Mode::kCbc;
        const int bits = p.takes_key ? 128 : 256;
        const std::string evp_name = "AES-" + std::to_string(bits) + (cbc ? "-CBC" : "-ECB");
        for (bool seal : {true, false}) {
            const std::string dir = seal ? "seal" : "open";
            const Fn fn = seal ? p.seal : p.open;
            add(std::string("sealkit/") + p.name + "/" + dir,
                [fn, seal](benchmark::State &s) { sealkit_call(s, fn, seal); });
            if (p.cipher == sktest::Cipher::kAes) {
                // Fetched once, as sealkit does; the process keeps it.
                const EVP_CIPHER *evp = EVP_CIPHER_fetch(nullptr, evp_name.c_str(), nullptr);
                add(std::string("evp/") + p.name + "/" + dir,
                    [evp, seal](benchmark::State &s) { evp_call(s, evp, seal); });
                add(std::string("lowlevel/") + p.name + "/" + dir,
                    [cbc, seal, bits](benchmark::State &s) { lowlevel_call(s, cbc, seal, bits); });
            } else {
                add(std::string("bf_raw/") + p.name + "/" + dir,
                    [seal](benchmark::State &s) { bf_call(s, seal); });
            }
        }
    }
}

struct Result {
    double ns_per_call = 0, bytes_per_s = 0, calls_per_s = 0, allocs = 0;
};

// Whether a run ended in an error: Google Benchmark 1.7 has `error_occurred`,
// 1.8 and later replaced it with `skipped`.
template <typename Run>
bool failed(const Run &r) {
    if constexpr (requires { r.error_occurred; })
        return r.error_occurred;
    else
        return static_cast<int>(r.skipped) != 0;
}

// Keeps every result for the ratio table while printing as usual.
class Collector : public benchmark::ConsoleReporter {
  public:
    using ConsoleReporter::ConsoleReporter;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || failed(r)) continue;
            // Names carry "/min_time:..." when the case sets one; the table
            // leaves it out.
            std::string name = r.benchmark_name();
            const size_t mt = name.find("/min_time:");
            if (mt != std::string::npos) name.erase(mt, name.find('/', mt + 1) - mt);
            Result &x = results[name];
            x.ns_per_call = r.GetAdjustedRealTime();
            auto get = [&](const char *k) {
                auto it = r.counters.find(k);
                return it == r.counters.end() ? 0.0 : it->second.value;
            };
            x.bytes_per_s = get("bytes_per_second");
            x.calls_per_s = get("items_per_second");
            x.allocs = get("allocs/call");
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, Result> results;
};

// Prints one target: the measured ratio, the target, and whether it holds.
int g_missed = 0;
void row(const std::string &what, double ratio, double target, bool at_most = false) {
    const bool ok = at_most ? ratio <= target : ratio >= target;
    if (!ok) ++g_missed;
    std::printf("| %-58s | %8.2f | %s %-6.2f | %-4s |\n", what.c_str(), ratio,
                at_most ? "<=" : ">=", target, ok ? "ok" : "MISS");
}

void print_table(const std::map<std::string, Result> &r) {
    auto get = [&](const std::string &name) -> const Result & {
        static const Result none;
        auto it = r.find(name);
        return it == r.end() ? none : it->second;
    };
    const std::string mib = "/bytes:1048576", b64 = "/bytes:64",
                      two = "/2threads/bytes:64/real_time/threads:2";
    std::printf("\n| %-58s | %8s | %-9s | %-4s |\n", "target", "measured", "target", "");
    std::printf("|%s|%s|%s|%s|\n", std::string(60, '-').c_str(), std::string(10, '-').c_str(),
                std::string(11, '-').c_str(), std::string(6, '-').c_str());
    for (const char *p : {"aes_ecb", "aes_cbc", "builtin"})
        for (const char *d : {"seal", "open"}) {
            const std::string s = std::string(p) + "/" + d;
            row(s + " 1 MiB, throughput vs EVP",
                get("sealkit/" + s + mib).bytes_per_s / get("evp/" + s + mib).bytes_per_s, 0.9);
        }
    for (const char *d : {"seal", "open"}) {
        const std::string s = std::string("blowfish/") + d;
        row(s + " 1 MiB, throughput vs BF_*",
            get("sealkit/" + s + mib).bytes_per_s / get("bf_raw/" + s + mib).bytes_per_s, 0.9);
    }
    row("aes_cbc/seal 1 MiB, throughput vs low-level AES",
        get("sealkit/aes_cbc/seal" + mib).bytes_per_s /
            get("lowlevel/aes_cbc/seal" + mib).bytes_per_s,
        5);
    for (const char *p : {"aes_ecb", "aes_cbc"}) {
        const std::string s = std::string(p) + "/open";
        row(s + " 1 MiB, throughput vs low-level AES",
            get("sealkit/" + s + mib).bytes_per_s / get("lowlevel/" + s + mib).bytes_per_s, 20);
    }
    for (const char *p : {"aes_ecb", "aes_cbc", "builtin"})
        for (const char *d : {"seal", "open"}) {
            const std::string s = std::string(p) + "/" + d;
            const double t = get("sealkit/" + s + b64).ns_per_call;
            row(s + " 64 B, time per call vs low-level AES (< 1)",
                t / get("lowlevel/" + s + b64).ns_per_call, 0.999, true);
            row(s + " 64 B, time per call vs EVP, context per call",
                t / get("evp/" + s + b64).ns_per_call, 1.7, true);
            row(s + " 64 B, 2 threads, calls/s vs low-level AES",
                get("sealkit/" + s + two).calls_per_s / get("lowlevel/" + s + two).calls_per_s, 1);
        }
    for (const sktest::Pair &p : sktest::kPairs)
        for (const char *d : {"seal", "open"}) {
            const std::string s = std::string(p.name) + "/" + d;
            const double fast = p.cipher == sktest::Cipher::kBlowfish ? 30 : 4;
            row(s + " 64 B, keyed calls/s vs the pair",
                get("keyed/" + s + b64).calls_per_s / get("sealkit/" + s + b64).calls_per_s, fast);
            row(s + " 1 MiB, keyed throughput vs the pair",
                get("keyed/" + s + mib).bytes_per_s / get("sealkit/" + s + mib).bytes_per_s, 0.95);
            row(s + " 1 MiB, stream (64 KiB chunks) vs the pair",
                get("stream/" + s + mib).bytes_per_s / get("sealkit/" + s + mib).bytes_per_s, 0.95);
        }
    double allocs = 0;
    for (const auto &[name, x] : r)
        if (name.rfind("sealkit/", 0) == 0 && name.find("2threads") == std::string::npos &&
            x.allocs > allocs)
            allocs = x.allocs;
    std::printf("\nmost libcrypto heap allocations per sealkit call (one thread): %.3f\n", allocs);
    std::printf("targets missed: %d\n", g_missed);
}

}  // namespace

int main(int argc, char **argv) {
    CRYPTO_set_mem_functions(count_malloc, count_realloc, count_free);
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // Colour only on a terminal, as the library's own reporter does.
    Collector collector(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                              : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&collector);
    if (collector.results.count("sealkit/aes_cbc/seal/bytes:1048576"))
        print_table(collector.results);
    benchmark::Shutdown();
    return 0;
}
