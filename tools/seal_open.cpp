// SPDX-License-Identifier: MIT
// seal and open: the input goes through a sealkit stream in 1 MiB chunks, so
// memory stays flat for any size. A file's size comes from the file system;
// a pipe that ends within its first chunk is as good as a file, and a longer
// one streams with its total unknown: sealing then writes the pad-count
// byte last, over a placeholder (see output.h for where that is possible).
#include <sealkit.h>
#include <stdio.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "cli.h"
#include "commands.h"
#include "input.h"
#include "keyfile.h"
#include "options.h"
#include "output.h"
#include "progress.h"

namespace cli {

namespace {

constexpr uint64_t kProgressAuto = uint64_t{64} << 20;  // progress on a terminal above this

// The message for a library result, with what the command knows: the
// direction, the input bytes taken so far (or all of them) and the key's length.
std::string describe(int rc, const Cipher &c, sealkit_direction dir, uint64_t in_len,
                     size_t key_len) {
    const bool sealing = dir == SEALKIT_SEAL;
    switch (rc) {
        case SEALKIT_ERR_KEY_LEN:
            return "key too short: " + std::to_string(key_len) + " bytes, at least " +
                   std::to_string(c.min_key_len) + " needed";
        case SEALKIT_ERR_EMPTY:
            return "input is empty: there is nothing to seal";
        case SEALKIT_ERR_CAPACITY:
        case SEALKIT_ERR_LENGTH:
            if (sealing)
                return "input too large: " + human(static_cast<double>(in_len)) +
                       ", and an envelope must stay under 4 GiB";
            return "not an envelope: larger than 4 GiB";
        case SEALKIT_ERR_NOT_ENVELOPE:
            if (in_len > UINT32_MAX) return "not an envelope: larger than 4 GiB";
            if (in_len % c.block != 1)
                return "not an envelope: " + std::to_string(in_len) +
                       " bytes is not a multiple of " + std::to_string(c.block) + " plus 1";
            return "not an envelope: its pad count exceeds its blocks";
        default:
            return sealkit_strerror(rc);
    }
}

// What can be refused from the input's size alone, before the key is read.
void check_size(const Cipher &c, sealkit_direction dir, uint64_t size) {
    int rc = SEALKIT_OK;
    if (dir == SEALKIT_SEAL && size == 0)
        rc = SEALKIT_ERR_EMPTY;
    else if (dir == SEALKIT_SEAL && sealkit_envelope_len(size, c.block) > UINT32_MAX)
        rc = SEALKIT_ERR_CAPACITY;
    else if (dir == SEALKIT_OPEN && (size > UINT32_MAX || size % c.block != 1))
        rc = SEALKIT_ERR_NOT_ENVELOPE;
    if (rc != SEALKIT_OK) fail(describe(rc, c, dir, size, 0));
}

using KeyPtr = std::unique_ptr<sealkit_key, decltype(&sealkit_key_free)>;
using StreamPtr = std::unique_ptr<sealkit_stream, decltype(&sealkit_stream_free)>;

int run_stream(const Options &o, sealkit_direction dir) {
    const Cipher &c = cipher_option(o);
    const std::string key_file = o.value(Opt::kKeyFile);
    if (c.min_key_len > 0 && key_file.empty())
        fail(name(Opt::kKeyFile) + " is required for " + c.name, kExitUsage);
    if (c.min_key_len == 0 && !key_file.empty())
        fail(
            std::string(c.name) + " uses the library's own key and takes no " + name(Opt::kKeyFile),
            kExitUsage);

    OutputRules rules{.force = o.has(Opt::kForce),
                      .binary = dir == SEALKIT_SEAL ? "an envelope" : nullptr,
                      .out_option = name(Opt::kOut),
                      .force_option = name(Opt::kForce)};
    refuse_terminal(o.value(Opt::kOut), rules);  // before any reading
    Input in(o.input());
    // Data typed at a terminal: plaintext may be, an envelope never is.
    if (isatty(in.fd()) && dir == SEALKIT_OPEN)
        fail("refusing to read an envelope from a terminal: give FILE or a redirect");
    if (isatty(in.fd()))
        fprintf(stderr, "sealkit: reading the plaintext from the terminal; end it with Ctrl-D\n");
    Secret ibuf(kChunk), obuf(kChunk + SEALKIT_STREAM_EXTRA);
    // A file is checked before anything is read; a pipe after its first
    // chunk, which tells whether it ends within it.
    size_t n = in.regular() ? 0 : in.read(ibuf.data(), kChunk);
    bool pending = !in.regular();
    const std::optional<uint64_t> size = in.size();
    if (size) check_size(c, dir, *size);

    Secret key(kMaxKeyFile + 1);
    const size_t key_len = c.min_key_len > 0 ? read_key(key_file, c, in.is_stdin(), key) : 0;
    sealkit_key *k = nullptr;
    int rc = sealkit_key_new(&k, c.id, c.min_key_len > 0 ? key.data() : nullptr,
                             static_cast<uint32_t>(key_len));
    if (rc != SEALKIT_OK) fail(describe(rc, c, dir, in.taken(), key_len));
    const KeyPtr key_guard(k, sealkit_key_free);
    sealkit_stream *s = nullptr;
    rc =
        sealkit_stream_new(&s, k, dir, size ? static_cast<uint32_t>(*size) : SEALKIT_TOTAL_UNKNOWN);
    if (rc != SEALKIT_OK) fail(describe(rc, c, dir, in.taken(), key_len));
    const StreamPtr stream_guard(s, sealkit_stream_free);

    const bool unknown_seal = dir == SEALKIT_SEAL && !size;
    rules.patch = unknown_seal;
    Output out(o.value(Opt::kOut), rules);
    const bool show = o.has(Opt::kProgress) ||
                      (!o.has(Opt::kNoProgress) && isatty(STDERR_FILENO) && size > kProgressAuto);
    Progress progress(show, size);
    for (;;) {
        if (!pending) n = in.read(ibuf.data(), kChunk);
        pending = false;
        if (n == 0) break;
        auto len = static_cast<uint32_t>(obuf.size());
        rc = sealkit_stream_update(s, ibuf.data(), static_cast<uint32_t>(n), obuf.data(), &len);
        if (rc != SEALKIT_OK) fail(describe(rc, c, dir, in.taken(), key_len));
        out.write(obuf.data(), len);
        progress.add(n);
    }
    auto len = static_cast<uint32_t>(obuf.size());
    rc = sealkit_stream_final(s, obuf.data(), &len);
    if (rc != SEALKIT_OK) fail(describe(rc, c, dir, in.taken(), key_len));
    out.write(obuf.data(), len);
    if (unknown_seal) {
        unsigned char first = 0;
        rc = sealkit_stream_first_byte(s, &first);
        if (rc != SEALKIT_OK) fail(describe(rc, c, dir, in.taken(), key_len));
        out.patch_first(first);
    }
    out.commit();
    return 0;
}

}  // namespace

int seal(const Options &o) {
    return run_stream(o, SEALKIT_SEAL);
}

int open(const Options &o) {
    return run_stream(o, SEALKIT_OPEN);
}

}  // namespace cli
