#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the release configuration for other architectures with Debian's
# cross compilers and the target's libraries, and runs the tests under
# Debian's qemu-user (cmake/toolchains/):
#   scripts/roots/cross.sh [arm64] [s390x]      (default: both)
#
#   arm64   AES through the ARMv8 crypto extensions instead of AES-NI
#   s390x   big-endian, 64-bit
#
# Where the archive serves none of the target's binary packages (this
# workplace's mirror has no s390x ones), the libraries the build needs are
# built from Debian's own sources (OpenSSL, libmosquitto, GoogleTest) with
# the cross compiler, static, into CROSS_PREFIX_ROOT/TRIPLET
# (/opt/sealkit-cross/s390x-linux-gnu), which the toolchain files then use by
# themselves; a stamp of the source versions keeps them for the next run.
# No Debian packages can be cross-built that way (their build dependencies
# are the target's packages), and the line says so.
#
# It needs Debian 13 or later: Debian 12's qemu-user (7.2) hangs at an arm64
# program's first thread. On an older machine it runs in a copy of the
# matrix's Debian 13 root (trixie.cross beside it, kept between runs for the
# packages it installs, repaired or made again when an interrupted run left
# it half-configured). The target's libraries come through multiarch; where
# the archive has the target's libssl-dev at another version than the
# machine's, from a sysroot unpacked from the target's own packages. The
# cluster tests (RabbitMQ, on the host only) are left out. Then the Debian
# packages are cross-built and checked by lintian. One line per
# architecture; the exit status is non-zero when any fails.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/scripts/roots/roots.sh"
log_name=cross
. "$here/scripts/lib.sh"
. "$here/scripts/debian_source.sh"

declare -A triplets=([arm64]=aarch64-linux-gnu [s390x]=s390x-linux-gnu)
# The target's side: compilers, libraries; the machine's: the emulator, the
# build tools and the broker the pushdemo tests start.
target_packages=(libssl-dev libgtest-dev libmosquitto-dev zlib1g-dev libzstd-dev)
host_packages=(qemu-user cmake ninja-build pkg-config mosquitto mosquitto-clients)

apt_install() {
    DEBIAN_FRONTEND=noninteractive quietly apt-get install "${apt_flags[@]}" "$@"
}

# A sysroot of the target's own packages, for when multiarch cannot install
# them beside the machine's (the archive's versions differ).
sysroot() {
    local arch=$1 root=/var/cache/sealkit-sysroot/$1
    [[ -f $root/.ready ]] && { echo "$root"; return; }
    rm -rf "$root" && mkdir -p "$root/debs"
    (cd "$root/debs" && apt-get download $(apt-cache depends --recurse --no-recommends \
        --no-suggests --no-conflicts --no-breaks --no-replaces --no-enhances \
        "${target_packages[@]/%/:$arch}" libc6-dev:"$arch" libstdc++6:"$arch" | grep "^[a-z].*:$arch$" | sort -u)) >&2
    for d in "$root"/debs/*.deb; do dpkg-deb -x "$d" "$root"; done
    touch "$root/.ready"
    echo "$root"
}

# The prefix of libraries built from source for a triplet; cross.cmake
# knows the same path.
prefix_root=/opt/sealkit-cross

# The target's libssl, libcrypto, libmosquitto and GoogleTest, built from
# Debian's sources with the cross compiler into $prefix_root/TRIPLET, static;
# kept while the sources' versions stay the same. Prints what it built, for
# the line ("OpenSSL 3.5.7 (built from Debian's source)").
built_prefix() {
    local arch=$1 t=${triplets[$1]} log=$2
    local prefix=$prefix_root/$t src=/var/cache/sealkit-cross-src/$1
    apt-get update -qq >>"$log" 2>&1
    apt_install dpkg-dev googletest >>"$log" 2>&1 || return 1
    # The key of what is built: the source versions the archive lists.
    local listed
    listed=$(for p in openssl mosquitto; do echo "$p" $(source_versions "$p"); done
             dpkg-query -W -f='googletest ${Version}\n' googletest)
    if [[ $(cat "$prefix/.ready" 2>/dev/null) == "$listed" ]]; then
        cat "$prefix/.built"
        return 0
    fi
    rm -rf "$prefix" && mkdir -p "$prefix"
    local dir jobs got built
    jobs=$(nproc)
    # OpenSSL: its own Configure for the target, static libraries only.
    got=$(debian_source openssl "$src/openssl") || return 1
    dir=$(tail -1 <<<"$got")
    built="openssl=$(head -1 <<<"$got")"
    echo "== building OpenSSL ${built#*=} for $arch into $prefix" >>"$log"
    (cd "$dir" && ./Configure linux64-"$arch" --cross-compile-prefix="$t"- --prefix="$prefix" \
         --libdir=lib --openssldir=/usr/lib/ssl no-shared no-tests no-docs no-apps &&
        make -j"$jobs" build_libs && make install_dev) >>"$log" 2>&1 || return 1
    # libmosquitto alone, static and position-independent (the SDK stand-in
    # is a shared library), on that OpenSSL.
    local tc=$here/cmake/toolchains/$t.cmake
    got=$(debian_source mosquitto "$src/mosquitto") || return 1
    dir=$(tail -1 <<<"$got")
    built+=" mosquitto=$(head -1 <<<"$got") googletest=$(dpkg-query -W -f='${Version}' googletest)"
    cmake -S "$dir" -B "$src/mosquitto-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tc" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
        -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DWITH_STATIC_LIBRARIES=ON -DWITH_PIC=ON \
        -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF -DWITH_PLUGINS=OFF -DWITH_LIB_CPP=OFF \
        -DWITH_CJSON=OFF -DWITH_SRV=OFF -DDOCUMENTATION=OFF -DOPENSSL_ROOT_DIR="$prefix" \
        -DOPENSSL_USE_STATIC_LIBS=ON >>"$log" 2>&1 &&
        cmake --build "$src/mosquitto-build" >>"$log" 2>&1 &&
        cmake --install "$src/mosquitto-build" >>"$log" 2>&1 || return 1
    # pkg-config's name for it, on the static library and what it needs.
    rm -f "$prefix"/lib/libmosquitto.so*
    ln -sf libmosquitto_static.a "$prefix/lib/libmosquitto.a"
    sed -i 's/^Libs: .*/& -lssl -lcrypto -pthread/' "$prefix/lib/pkgconfig/libmosquitto.pc"
    # GoogleTest from the sources Debian ships in /usr/src/googletest.
    cmake -S /usr/src/googletest -B "$src/googletest-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tc" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
        >>"$log" 2>&1 && cmake --build "$src/googletest-build" >>"$log" 2>&1 &&
        cmake --install "$src/googletest-build" >>"$log" 2>&1 || return 1
    echo "$built" >"$prefix/.built"
    echo "$listed" >"$prefix/.ready"
    echo "$built"
}

# One architecture, on a Debian 13 system: what it needs, the build, the
# tests, one line.
arch_leg() {
    local arch=$1 t=${triplets[$1]} start=$SECONDS
    local dir=build/cross-$arch log=build/cross-$arch.log
    mkdir -p build
    : >"$log"
    dpkg --add-architecture "$arch"
    apt-get update -qq >>"$log" 2>&1
    apt_install crossbuild-essential-"$arch" "${host_packages[@]}" >>"$log" 2>&1 ||
        { tail -20 "$log"; echo "CROSS $arch: the cross compiler could not be installed | FAILED"; return 1; }
    local env=() built=""
    if ! apt_install "${target_packages[@]/%/:$arch}" >>"$log" 2>&1; then
        if grep -q "404 *Not Found" "$log"; then
            echo "== $arch: the mirror serves none of the target's packages; building them" >>"$log"
            built=$(built_prefix "$arch" "$log") ||
                { tail -30 "$log"; echo "CROSS $arch | the target's libraries could not be built from Debian's sources | FAILED"; return 1; }
        else
            echo "== $arch: multiarch refused the target's packages (versions differ); using a sysroot" >>"$log"
            env=(CROSS_SYSROOT="$(sysroot "$arch" 2>>"$log")")
        fi
    fi
    local rc=0
    { env "${env[@]}" cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$t.cmake" \
          -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DSEALKIT_BUILD_BENCH=OFF &&
      cmake --build "$dir" &&
      ctest --test-dir "$dir" -LE cluster --output-on-failure --output-junit junit.xml; } >>"$log" 2>&1 || rc=$?
    ((rc == 0)) || tail -60 "$log"
    local debs="no debs: the archive has no libssl-dev:$arch for their build dependencies"
    [[ -n $built ]] || debs=$(deb_leg "$arch") || rc=1
    local suite="" total=0 failed=0 skipped=0
    [[ -f $dir/junit.xml ]] && suite=$(tr '\n\t' '  ' <"$dir/junit.xml" | grep -o '<testsuite [^>]*>' | head -1)
    attr() { sed -n "s/.* $1=\"\([0-9]*\)\".*/\1/p" <<<"$suite"; }
    [[ -n $suite ]] && { total=$(attr tests); failed=$(attr failures); skipped=$(attr skipped); }
    local ssl
    local root=/
    ((${#env[@]})) && root=${env[0]#CROSS_SYSROOT=}
    ssl=$(sed -n 's/^Version: //p' "$root/usr/lib/$t/pkgconfig/libcrypto.pc" 2>/dev/null | head -1)
    [[ -n $built ]] && ssl="$(sed -n 's/^Version: //p' "$prefix_root/$t/lib/pkgconfig/libcrypto.pc") (built from Debian's source)"
    # The skipped tests by name: each says why in the log (a static
    # libcrypto cannot be hooked; valgrind runs no emulated program).
    local names
    names=$(sed -n '/The following tests did not run:/,/^$/s/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' \
                "$log" | paste -sd, - | sed 's/,/, /g')
    printf 'CROSS %s | OpenSSL %s | gcc %s | passed %d, failed %d, skipped %d%s | %s | %d s | %s\n' \
        "$arch" "${ssl:-?}" "$("$t"-gcc -dumpfullversion)" $((total - failed - skipped)) "$failed" \
        "$skipped" "${names:+ ($names)}" "$debs" $((SECONDS - start)) \
        "$( ((rc == 0)) && echo ok || echo FAILED)"
    return "$rc"
}

# The Debian packages for one architecture, cross-built (python3-sealkit
# left out: its extension would need the target's Python), lintian-clean, in
# build/deb-ARCH; the result for the line.
deb_leg() {
    local arch=$1 log=build/deb-$1.log profiles=cross,nocheck,nopython,nopostgresql,nojava
    {
        # The target's C and C++ runtime, for dpkg-shlibdeps to find.
        apt_install dpkg-dev debhelper lintian libc6-dev:"$arch" libstdc++6:"$arch" &&
            DEBIAN_FRONTEND=noninteractive quietly apt-get build-dep "${apt_flags[@]}" -a "$arch" -P"$profiles" ./ &&
            DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -a "$arch" -P"$profiles" -us -uc -b &&
            lintian --allow-root --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs \
                ../sealkit_*_"$arch".changes
    } >"$log" 2>&1 || { tail -30 "$log" >&2; echo "debs FAILED"; return 1; }
    rm -rf "build/deb-$arch" && mkdir -p "build/deb-$arch"
    local changes
    changes=$(ls ../sealkit_*_"$arch".changes)
    for f in $(sed -n '/^Files:/,/^[^ ]/s/^ [^ ]* [^ ]* [^ ]* [^ ]* \(.*\)/\1/p' "$changes"); do
        mv "../$f" "build/deb-$arch/"
    done
    mv "$changes" "build/deb-$arch/"
    local a
    a=$(dpkg-deb -f build/deb-"$arch"/libsealkit1_*.deb Architecture)
    echo "debs $a, lintian-clean"
}

# --in-place ARCH...: on this system, which is Debian 13 or later: a
# machine of its own, whose /etc stays as it is (its installs start no
# service: lib.sh's quietly), or a throwaway copy of a root (in_root).
if [[ ${1:-} == --in-place ]]; then
    shift
    cd "$here"
    # The tests name localhost, which a debootstrap root without /etc/hosts
    # leaves to DNS, and an emulated resolver may not reach it.
    if [[ -n ${SEALKIT_IN_ROOT:-} && ! -e /etc/hosts ]]; then
        printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n' >/etc/hosts
    fi
    failed=0
    for a in "$@"; do arch_leg "$a" || failed=1; done
    exit "$failed"
fi

arches=("$@")
((${#arches[@]})) || arches=(arm64 s390x)
for a in "${arches[@]}"; do
    [[ -n ${triplets[$a]:-} ]] || { echo "cross: unknown architecture '$a' (arm64, s390x)" >&2; exit 2; }
done
(($(id -u) == 0)) || { echo "cross: needs root (apt-get, and a Debian 13 root on older machines)" >&2; exit 2; }
. /etc/os-release
if [[ ${VERSION_ID:-99} -ge 13 ]]; then
    out=$(bash "$0" --in-place "${arches[@]}" 2>&1) || failed=1
else
    echo "== Debian ${VERSION_ID} here: cross builds run in a Debian 13 root (qemu-user 7.2 hangs at arm64 threads)"
    need_debootstrap
    make_root "$cache/trixie" trixie "" || { echo "cross: the Debian 13 root could not be made" >&2; exit 1; }
    copy_root "$cache/trixie" "$cache/trixie.cross"
    clone_into "$cache/trixie.cross"
    out=$(APT_ARCHIVES=$cache/trixie.cross.apt in_root "$cache/trixie.cross" bash /src/scripts/roots/cross.sh \
              --in-place "${arches[@]}" 2>&1) || failed=1
fi
grep -v '^CROSS ' <<<"$out" | tail -80 || true
echo
grep '^CROSS ' <<<"$out" | sed 's/^CROSS /  /'
exit "${failed:-0}"
