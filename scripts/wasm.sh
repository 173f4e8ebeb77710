#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The WebAssembly back end of the JavaScript package: sealkit/sealkit.cpp,
# the same source as every other back end, built for wasm32 with Debian's
# clang and wasi-libc, into OUT/sealkit.wasm:
#   scripts/wasm.sh [OUT]   (build/wasm)
# The ciphers come from Debian's sources, fetched once into OUT/src/NAME: AES is
# BearSSL's 64-bit bitsliced one (aes_ct64*.c: constant time without
# tables; wasm/aes_bitsliced.c runs its modes), Blowfish is libcrypto's,
# under headers from OpenSSL's own Configure for a 32-bit target without
# assembler, threads, sockets or modules. sealkit.cpp reaches them through
# wasm/include's EVP (and, where wasi-libc has no threads of its own,
# wasm/nopthread's pthread; see there). The module imports one function,
# the host's AES for long runs (wasm/evp_lite.c), which each entry gives,
# and no WASI, so it instantiates in any runtime without a shim; it exports
# its memory, malloc, free, the functions sealkit.h declares and the two
# that serve the host's AES.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
log_name=wasm
. scripts/lib.sh
. scripts/debian_source.sh
out=$(realpath -m "${1:-build/wasm}")
mkdir -p "$out/obj"

ossl=$(ls -d "$out"/src/openssl/openssl-*/ 2>/dev/null | head -1 || true)
if [[ -z $ossl || ! -f $ossl/include/openssl/configuration.h ]]; then
    got=$(debian_source openssl "$out/src/openssl")
    ossl=$(tail -1 <<<"$got")
    echo "OpenSSL $(head -1 <<<"$got") (Debian's source) for wasm32"
    (cd "$ossl" && ./Configure linux-generic32 no-asm no-threads no-sock no-module no-shared no-dso \
        no-tests no-ui-console no-afalgeng no-engine no-async no-secure-memory &&
        make include/openssl/configuration.h include/openssl/opensslv.h include/openssl/crypto.h) \
        >"$out/configure.log" 2>&1 || { tail -20 "$out/configure.log"; exit 1; }
fi

bear=$(ls -d "$out"/src/bearssl/bearssl-*/ 2>/dev/null | head -1 || true)
if [[ -z $bear || ! -f $bear/src/symcipher/aes_ct64.c ]]; then
    # Debian's bearssl patches none of its files: its upstream tarball will do.
    got=$(debian_source bearssl "$out/src/bearssl" upstream-ok)
    bear=$(tail -1 <<<"$got")
    echo "BearSSL $(head -1 <<<"$got") (Debian's source) for wasm32"
fi

# wasm32-wasip1 where clang, wasi-libc and compiler-rt all know it (newer
# clang warns that wasm32-wasi is its old name), else wasm32-wasi.
target=wasm32-wasi
printf '#include <stdlib.h>\nvoid *f(unsigned long n) { return malloc(n * 3 / 2); }\n' >"$out/obj/probe.c"
clang --target=wasm32-wasip1 -Werror -O2 -nostartfiles -Wl,--no-entry -Wl,--export=f "$out/obj/probe.c" \
    -o "$out/obj/probe.wasm" 2>/dev/null && target=wasm32-wasip1
cc=(clang --target=$target -O2 -DNDEBUG -ffunction-sections -fdata-sections)
libcrypto=(crypto/bf/bf_skey.c crypto/bf/bf_enc.c crypto/mem_clr.c)
objs=()
for f in "${libcrypto[@]}"; do
    o=$out/obj/$(basename "$f" .c).o
    "${cc[@]}" -I"$ossl/include" -I"$ossl" -c "$ossl/$f" -o "$o"
    objs+=("$o")
done
for f in symcipher/aes_ct64 symcipher/aes_ct64_enc symcipher/aes_ct64_dec codec/dec32le; do
    o=$out/obj/$(basename "$f").o
    "${cc[@]}" -I"$bear/inc" -I"$bear/src" -c "$bear/src/$f.c" -o "$o"
    objs+=("$o")
done
"${cc[@]}" -Wall -Wextra -Werror -I"$bear/inc" -I"$bear/src" -c wasm/aes_bitsliced.c -o "$out/obj/aes_bitsliced.o"
"${cc[@]}" -Wall -Wextra -Werror -Wno-deprecated-declarations -Iwasm -Iwasm/include -I"$ossl/include" \
    -c wasm/evp_lite.c -o "$out/obj/evp_lite.o"
objs+=("$out/obj/aes_bitsliced.o")
# wasi-libc's own single-thread <pthread.h> where it has one (newer ones,
# which may keep its functions in a library of their own), else ours.
threads=(-Iwasm/nopthread)
libs=()
if printf '#include <pthread.h>\n' | "${cc[@]}" -x c -fsyntax-only - 2>/dev/null; then
    threads=()
    for l in /usr/lib/wasm32-wasi*/libwasi-emulated-pthread.a; do
        [[ -f $l ]] && threads=(-D_WASI_EMULATED_PTHREAD) && libs=(-lwasi-emulated-pthread) && break
    done
fi
"${cc[@]}" -std=c++20 -fno-exceptions -fno-rtti -Wall -Wextra -Werror -Iwasm/include "${threads[@]}" \
    -I"$ossl/include" -Isealkit -c sealkit/sealkit.cpp -o "$out/obj/sealkit.o"
objs+=("$out/obj/evp_lite.o" "$out/obj/sealkit.o")

# The functions sealkit.h declares (not its inline ones), and the allocator
# the JavaScript side places its buffers with.
exports=(malloc free)
exports+=($(grep -E '^(SEALKIT_NODISCARD |void )' sealkit/sealkit.h | grep -v static |
            grep -oE '(CRYPTO[A-Za-z0-9_]*|sealkit_[a-z_]+)\(' | tr -d '('))
"${cc[@]}" -nostartfiles -Wl,--no-entry -Wl,--gc-sections -Wl,--strip-all \
    "${exports[@]/#/-Wl,--export=}" "${objs[@]}" "${libs[@]}" -o "$out/sealkit.wasm"
imports=$(node -e "const m = new WebAssembly.Module(require('fs').readFileSync('$out/sealkit.wasm'));
                   console.log(WebAssembly.Module.imports(m).map((i) => i.module + '.' + i.name).join(' '))")
[[ $imports == sealkit.host_aes ]] ||
    { echo "wasm: the module imports '$imports'; it must import sealkit.host_aes only" >&2; exit 1; }
echo "$out/sealkit.wasm: $(stat -c %s "$out/sealkit.wasm") bytes, $(gzip -9c "$out/sealkit.wasm" | wc -c) gzipped, one import (sealkit.host_aes)"
