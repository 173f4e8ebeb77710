// SPDX-License-Identifier: MIT
// inspect and keygen.
#include "commands.h"

#include <sealkit.h>
#include <stdio.h>
#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "cli.h"
#include "input.h"
#include "options.h"
#include "output.h"

namespace cli {

namespace {

// Ciphers that share a block size and key rule: "AES (aes-ecb, aes-cbc, builtin)".
struct Family {
    std::string family, key, name;
    uint32_t block;
};

std::vector<Family> families() {
    std::vector<Family> v;
    for (const Cipher *c : cipher_table()) {
        if (v.empty() || v.back().family != c->family) {
            v.push_back({c->family, c->family, c->family, c->block});
            for (char &ch : v.back().key) ch = static_cast<char>(tolower(ch));
        }
        v.back().name += std::string(v.back().name == c->family ? " (" : ", ") + c->name;
    }
    for (Family &f : v) f.name += ")";
    return v;
}

// One family's verdict on an envelope of `size` bytes starting with `first`;
// whether it fits.
bool describe_family(const Family &f, uint64_t size, unsigned char first, bool json) {
    const auto llu = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    const uint64_t body = size > 0 ? size - 1 : 0;
    const bool shape = size % f.block == 1 && size <= UINT32_MAX;
    uint64_t plain = 0;
    const bool fits = shape && sealkit_plaintext_len(size, first, f.block, &plain) == SEALKIT_OK;
    if (json && fits)
        printf(",\"%s\":{\"fits\":true,\"blocks\":%llu,\"plaintext_length\":%llu}", f.key.c_str(),
               llu(body / f.block), llu(plain));
    else if (json)
        printf(",\"%s\":{\"fits\":false}", f.key.c_str());
    else if (!shape)
        printf("%s: does not fit: %llu bytes is not a multiple of %u plus 1\n", f.name.c_str(),
               llu(size), f.block);
    else if (!fits)
        printf("%s: does not fit: pad count %u exceeds the %llu bytes of blocks\n", f.name.c_str(),
               first, llu(body));
    else
        printf("%s: fits, %llu blocks of %u bytes, %llu plaintext bytes\n", f.name.c_str(),
               llu(body / f.block), f.block, llu(plain));
    return fits;
}

}  // namespace

int inspect(const Options &o) {
    Input in(o.input());
    if (isatty(in.fd()))
        fail("refusing to read an envelope from a terminal: give FILE or a redirect");
    unsigned char first = 0;
    uint64_t size = 0;
    if (in.regular()) {  // the first byte and the size
        size = *in.size();
        if (size > 0 && pread(in.fd(), &first, 1, 0) != 1)
            fail(error_text("cannot read " + in.name()));
    } else {  // counted through, keeping the first byte only
        unsigned char buf[65536];
        for (size_t n = 0; (n = in.read(buf, sizeof buf)) > 0;)
            if (size == 0)
                first = buf[0], size = n;
            else
                size += n;
    }
    const bool json = o.has(Opt::kJson);
    const auto llu = static_cast<unsigned long long>(size);
    if (json)
        printf(
            size > 0 ? "{\"length\":%llu,\"pad_count\":%u" : "{\"length\":%llu,\"pad_count\":null",
            llu, first);
    else
        printf(size > 0 ? "length: %llu bytes\npad count byte: %u\n"
                        : "length: %llu bytes\npad count byte: none\n",
               llu, first);
    bool fits_any = false;
    for (const Family &f : families()) fits_any = describe_family(f, size, first, json) || fits_any;
    if (json) printf("}\n");
    if (fflush(stdout) != 0) fail(error_text("cannot write standard output"));
    if (!fits_any) fail("not an envelope for any cipher");
    return 0;
}

int keygen(const Options &o) {
    const Cipher &c = cipher_option(o);
    // Opened first: a terminal or an existing file is refused before any work.
    Output out(o.value(Opt::kOut), {.key = true,
                                    .binary = "a raw key",
                                    .out_option = name(Opt::kOut),
                                    .force_option = name(Opt::kForce)});
    Secret key(c.keygen_len);
    for (size_t got = 0; got < key.size();) {
        const ssize_t n = retry([&] { return getrandom(key.data() + got, key.size() - got, 0); });
        if (n < 0) fail(error_text("cannot get random bytes"));
        got += static_cast<size_t>(n);
    }
    out.write(key.data(), key.size());
    out.commit();
    return 0;
}

}  // namespace cli
