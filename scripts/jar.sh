#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# sealkit.jar for Linux on x86-64 and arm64, with the JNI library of each
# inside (build/jar/sealkit-VERSION.jar):
#   scripts/jar.sh
# The classes come from the release build; each JNI library is built from
# java/jni/sealkit_jni.c and the library's source with the target's
# compiler against its libcrypto.a, linked in with none of its symbols
# exported, and stripped, as the npm addon is (scripts/target.sh): it needs
# only glibc, whatever OpenSSL the machine has. Installs what it needs first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/target.sh

scripts/deps.sh base
cmake --preset release >/dev/null
cmake --build --preset release --target sealkit_java >/dev/null
version=$(sed -n 's/^#define SEALKIT_VERSION_[A-Z]* \([0-9]*\)$/\1/p' sealkit/sealkit.h | paste -sd.)
javac=$(readlink -f "$(command -v javac)")
jdk=${javac%/bin/javac}
out=build/jar
rm -rf "$out" && mkdir -p "$out/res"

for a in x64 arm64; do
    cxx=$(cross_compiler "$a")
    sysroot=$(target_root "$a")
    crypto=$sysroot/usr/lib/${triplet[$a]}/libcrypto.a
    [[ -f $crypto ]] || { echo "jar: no $crypto: install libssl-dev" >&2; exit 1; }
    dir=$out/res/org/sealkit/native/${java_platform[$a]}
    mkdir -p "$dir" "$out/obj-$a"
    include=()
    [[ $sysroot == / ]] || include=(-isystem "$sysroot/usr/include" -isystem "$sysroot/usr/include/${triplet[$a]}")
    "$cxx" -std=c++20 -O2 -fPIC -fvisibility=hidden -fno-exceptions -fno-rtti "${include[@]}" -Isealkit \
        -c sealkit/sealkit.cpp -o "$out/obj-$a/sealkit.o"
    "${cxx%g++}gcc" -std=c99 -O2 -fPIC -fvisibility=hidden -isystem "$jdk/include" -isystem "$jdk/include/linux" \
        -Isealkit -c java/jni/sealkit_jni.c -o "$out/obj-$a/sealkit_jni.o"
    "${cxx%g++}gcc" -shared -o "$dir/libsealkit_jni.so" "$out/obj-$a"/*.o -Wl,--exclude-libs,ALL "$crypto" \
        -Wl,--no-undefined -Wl,-z,relro,-z,now -Wl,-s
    echo "$dir/libsealkit_jni.so: $(stat -c %s "$dir/libsealkit_jni.so") bytes"
done
cp "build/release/java/sealkit-$version.jar" "$out/sealkit-$version.jar"
# Over the build's own copy for this machine, which links the system's libcrypto.
jar --update --file "$out/sealkit-$version.jar" -C "$out/res" org
echo "$out/sealkit-$version.jar: $(stat -c %s "$out/sealkit-$version.jar") bytes"
