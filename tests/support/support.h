// SPDX-License-Identifier: MIT
// Shared by the sealkit tests, fuzz targets and benchmark: hex, the four pairs
// behind one signature with their cipher and mode, the pinned built-in key,
// and reference results computed with libcrypto used directly.
#pragma once

#include <openssl/blowfish.h>
#include <openssl/evp.h>
#include <sealkit.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sktest {

using Bytes = std::vector<unsigned char>;

// Parses hex, ignoring spaces.
inline Bytes hex(std::string_view s) {
    Bytes out;
    int hi = -1;
    for (char c : s) {
        if (c == ' ') continue;
        const int v = std::stoi(std::string(1, c), nullptr, 16);
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<unsigned char>(hi * 16 + v));
            hi = -1;
        }
    }
    if (hi >= 0) throw std::invalid_argument("odd hex length");
    return out;
}

inline std::string to_hex(const Bytes &b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

inline Bytes concat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

using Fn = int (*)(const unsigned char *, uint32_t, const unsigned char *, uint32_t,
                   unsigned char *, uint32_t *);

inline int builtin_seal(const unsigned char *, uint32_t, const unsigned char *src, uint32_t n,
                        unsigned char *dst, uint32_t *len) {
    return CRYPTO_encrypt_without_key(src, n, dst, len);
}
inline int builtin_open(const unsigned char *, uint32_t, const unsigned char *src, uint32_t n,
                        unsigned char *dst, uint32_t *len) {
    return CRYPTO_decrypt_without_key(src, n, dst, len);
}

enum class Cipher { kAes, kBlowfish };
enum class Mode { kEcb, kCbc };

struct Pair {
    const char *name;
    Fn seal;
    Fn open;
    uint32_t block;
    bool takes_key;  // false: the built-in key
    Cipher cipher;
    Mode mode;
    sealkit_cipher id;  // for key objects
};

inline const Pair kPairs[] = {
    {"aes_ecb", CRYPTO1_encrypt, CRYPTO1_decrypt, 16, true, Cipher::kAes, Mode::kEcb,
     SEALKIT_CIPHER_AES_ECB},
    {"aes_cbc", CRYPTO2_encrypt, CRYPTO2_decrypt, 16, true, Cipher::kAes, Mode::kCbc,
     SEALKIT_CIPHER_AES_CBC},
    {"builtin", builtin_seal, builtin_open, 16, false, Cipher::kAes, Mode::kCbc,
     SEALKIT_CIPHER_BUILTIN},
    {"blowfish", CRYPTO3_encrypt, CRYPTO3_decrypt, 8, true, Cipher::kBlowfish, Mode::kCbc,
     SEALKIT_CIPHER_BLOWFISH},
};

// A key object made for one call and freed after it, behind the one-shot
// signature, so that tables written for the pairs check sealkit_seal and
// sealkit_open too.
template <sealkit_cipher C, bool Seal>
int keyed_call(const unsigned char *key, uint32_t key_len, const unsigned char *src, uint32_t n,
               unsigned char *dst, uint32_t *len) {
    const bool builtin = C == SEALKIT_CIPHER_BUILTIN;
    sealkit_key *k = nullptr;
    const int rc = sealkit_key_new(&k, C, builtin ? nullptr : key, builtin ? 0 : key_len);
    if (rc != SEALKIT_OK) return rc;
    const int r = Seal ? sealkit_seal(k, src, n, dst, len) : sealkit_open(k, src, n, dst, len);
    sealkit_key_free(k);
    return r;
}

template <sealkit_cipher C>
constexpr Pair keyed(Pair p) {
    p.seal = keyed_call<C, true>;
    p.open = keyed_call<C, false>;
    return p;
}

inline const Pair kKeyedPairs[] = {
    keyed<SEALKIT_CIPHER_AES_ECB>(kPairs[0]), keyed<SEALKIT_CIPHER_AES_CBC>(kPairs[1]),
    keyed<SEALKIT_CIPHER_BUILTIN>(kPairs[2]), keyed<SEALKIT_CIPHER_BLOWFISH>(kPairs[3])};

// The built-in key, pinned: envelopes stored by earlier builds must open, so
// it may never change.
inline const Bytes kBuiltinKey =
    hex("9d3c75b9780d956c0d31c8c56dbc6529d8fd85ac3d4128f57d3c955938adf5ec");

// Seals or opens into a buffer of exactly the documented capacity; returns
// the result code and trims `out` to *len on success.
inline int call(Fn fn, const Bytes &key, const Bytes &src, Bytes &out, uint32_t capacity) {
    out.assign(capacity, 0xA5);
    uint32_t len = capacity;
    const int rc = fn(key.data(), static_cast<uint32_t>(key.size()), src.data(),
                      static_cast<uint32_t>(src.size()), out.data(), &len);
    if (rc == 0) out.resize(len);
    return rc;
}

inline uint32_t envelope_len(size_t n, uint32_t block) {
    return static_cast<uint32_t>(sealkit_envelope_len(n, block));
}

inline Bytes seal(const Pair &p, const Bytes &key, const Bytes &plain) {
    Bytes out;
    const int rc = call(p.seal, key, plain, out, envelope_len(plain.size(), p.block));
    if (rc != 0) throw std::runtime_error("seal failed: " + std::to_string(rc));
    return out;
}

inline Bytes open(const Pair &p, const Bytes &key, const Bytes &env) {
    Bytes out;
    const int rc = call(p.open, key, env, out, static_cast<uint32_t>(env.size()));
    if (rc != 0) throw std::runtime_error("open failed: " + std::to_string(rc));
    return out;
}

// The plaintext completed with zeros to whole blocks.
inline Bytes zero_complete(Bytes plain, uint32_t block) {
    plain.resize((plain.size() + block - 1) / block * block, 0);
    return plain;
}

// AES over whole blocks with EVP, no padding; iv empty for ECB.
inline Bytes evp_aes(bool cbc, const Bytes &key, const Bytes &data, bool enc) {
    const EVP_CIPHER *c = nullptr;
    switch (key.size()) {
        case 16:
            c = cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
            break;
        case 24:
            c = cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
            break;
        case 32:
            c = cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
            break;
        default:
            throw std::invalid_argument("AES key size");
    }
    const unsigned char iv[16] = {0};
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    Bytes out(data.size() + 16);
    int n = 0, m = 0;
    const bool ok =
        EVP_CipherInit_ex(ctx, c, nullptr, key.data(), cbc ? iv : nullptr, enc) == 1 &&
        EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
        EVP_CipherUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size())) == 1 &&
        EVP_CipherFinal_ex(ctx, out.data() + n, &m) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) throw std::runtime_error("EVP failed");
    out.resize(static_cast<size_t>(n) + static_cast<size_t>(m));
    return out;
}

// Blowfish-CBC, zero IV, over whole blocks with the raw BF_* calls.
inline Bytes raw_bf_cbc(const Bytes &key, const Bytes &data, bool enc) {
    BF_KEY ks;
    unsigned char iv[8] = {0};
    Bytes out(data.size());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    BF_set_key(&ks, static_cast<int>(key.size()), key.data());
    BF_cbc_encrypt(data.data(), out.data(), static_cast<long>(data.size()), &ks, iv,
                   enc ? BF_ENCRYPT : BF_DECRYPT);
#pragma GCC diagnostic pop
    return out;
}

// The AES key a caller key of this length selects: its first 16, 24 or 32 bytes.
inline Bytes aes_effective_key(const Bytes &key) {
    const size_t n = key.size() >= 32 ? 32 : key.size() >= 24 ? 24 : 16;
    return Bytes(key.begin(), key.begin() + static_cast<long>(n));
}

// Whole blocks through libcrypto directly, in the pair's cipher and mode
// (zero IV for CBC), under the key the pair would use.
inline Bytes reference_blocks(const Pair &p, const Bytes &key, const Bytes &blocks, bool enc) {
    if (p.cipher == Cipher::kBlowfish) return raw_bf_cbc(key, blocks, enc);
    return evp_aes(p.mode == Mode::kCbc, p.takes_key ? aes_effective_key(key) : kBuiltinKey, blocks,
                   enc);
}

// The envelope libcrypto gives: the pad byte, then the cipher over the
// zero-completed plaintext.
inline Bytes reference_envelope(const Pair &p, const Bytes &key, const Bytes &plain) {
    const auto pad = static_cast<unsigned char>(p.block - plain.size() % p.block);
    return concat({pad}, reference_blocks(p, key, zero_complete(plain, p.block), true));
}

inline Bytes random_bytes(std::mt19937 &rng, size_t n) {
    Bytes b(n);
    for (auto &c : b) c = static_cast<unsigned char>(rng());
    return b;
}

}  // namespace sktest
