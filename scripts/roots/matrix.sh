#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and tests the current commit on the distributions users have:
#   scripts/roots/matrix.sh [host] [trixie] [sid-openssl4]      (default: all three)
#
#   host          this machine, as it is
#   trixie        a clean Debian 13 root (OpenSSL 3.5 LTS, gcc 14)
#   sid-openssl4  a clean Debian unstable root with libssl-dev from experimental
#
# Each distribution has a root made once with debootstrap (its default
# mirror) under SEALKIT_MATRIX_CACHE (/var/cache/sealkit-matrix) and never
# changed after, and copies of it:
#   NAME.work  the tests: the commit cloned afresh, build.sh installs the
#              packages it finds for that distribution, and the release
#              workflow runs, which includes the docs test, installing the
#              package, building the C consumers and the cluster tests
#              against that distribution's RabbitMQ. The copy keeps what
#              earlier runs installed; one left half-configured by an
#              interrupted run is repaired, or made again from the root.
#   NAME.pkg   the Debian packages, built in a fresh copy of the root, so
#              that nothing but what debootstrap and the Build-Depends bring
#              is there, as on Debian's build daemons; checked by lintian,
#              installed with apt as the README says, tried by debian/tests
#              and by the docs test against the installed packages; then
#              removed. Downloaded packages are kept in NAME.apt.
#   NAME.native  the npm packages, packed on this machine (with NAME.work's
#              sealkit.wasm), installed offline in a fresh copy with Debian's
#              nodejs and npm alone (no compiler): the prebuilt addon loads,
#              and the package's tests pass on it;
#   NAME.bare  the main package alone, in the same kind of copy: the
#              WebAssembly back end, and its tests pass there.
# One line per leg; the exit status is non-zero when any leg fails.
# Needs root (debootstrap, chroot, mount namespaces).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/scripts/roots/roots.sh"
. "$here/scripts/lib.sh"

# Inside a copy of a root, or in a clone on the host: the release workflow,
# then one line read from its JUnit file.
leg() {
    cd "$1"
    local log=build/matrix.log
    mkdir -p build
    # The full set: what each distribution calls its packages is part of the check.
    ./build.sh deps full >"$log" 2>&1 || { tail -30 "$log"; echo "MATRIX deps failed"; return 1; }
    # The WebAssembly module from this distribution's OpenSSL source, so that
    # the Node.js tests run on it too.
    scripts/wasm.sh build/wasm >>"$log" 2>&1 || { tail -30 "$log"; echo "MATRIX wasm failed"; return 1; }
    # The README's steps for the npm packages, as on a fresh machine.
    ./build.sh npm >>"$log" 2>&1 || { tail -30 "$log"; echo "MATRIX npm packages failed"; return 1; }
    local rc=0
    # The release workflow, the cluster tests included: each distribution's
    # RabbitMQ is the one its users meet first.
    # The extension's tests run in the package build and against the
    # installed package (below), not a third time here.
    { cmake --preset release && cmake --build --preset release &&
          ctest --preset release -LE postgresql; } >>"$log" 2>&1 || rc=$?
    ((rc == 0)) || tail -60 "$log"
    local junit=build/release/ctest-junit.xml suite="" total=0 failed=0 skipped=0
    [[ -f $junit ]] && suite=$(tr '\n\t' '  ' <"$junit" | grep -o '<testsuite [^>]*>' | head -1)
    attr() { sed -n "s/.* $1=\"\([0-9]*\)\".*/\1/p" <<<"$suite"; }
    [[ -n $suite ]] && { total=$(attr tests); failed=$(attr failures); skipped=$(attr skipped); }
    . /etc/os-release
    printf 'MATRIX %s | OpenSSL %s | %s | passed %d, failed %d, skipped %d | %s\n' \
        "$PRETTY_NAME" "$(pkg-config --modversion libcrypto)" "$(gcc -dumpfullversion | sed 's/^/gcc /')" \
        $((total - failed - skipped)) "$failed" "$skipped" "$( ((rc == 0)) && echo ok || echo FAILED)"
    return "$rc"
}

# The Debian packages from the clone in DIR, lintian-clean; with `install`
# (in a root of its own), installed as the README says and tried as a user
# would, away from the build tree.
packages() {
    cd "$1"
    local log=build/packages.log
    mkdir -p build
    if ! ./build.sh deb >"$log" 2>&1; then
        tail -40 "$log"
        echo "PACKAGES FAILED"
        return 1
    fi
    if [[ -z ${2:-} ]]; then
        echo "PACKAGES ok"
        return 0
    fi
    local tests
    tests=$(mktemp -d)
    cp debian/tests/consumers debian/tests/java "$tests/"
    # What debian/tests/control asks for, and age for the docs' examples.
    local needs
    needs=$(sed -n 's/^Depends: //p' debian/tests/control | tr ',' '\n' |
                grep -v -E '^ *(@|libsealkit|sealkit|pushdemo|python3-sealkit)' | tr -d ' ' | sort -u)
    # This root is thrown away, but its services stay down all the same and
    # its PostgreSQL gets no cluster: the tests make their own.
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d
    mkdir -p /etc/postgresql-common/createcluster.d
    echo "create_main_cluster = false" >/etc/postgresql-common/createcluster.d/sealkit-build.conf
    if ! { DEBIAN_FRONTEND=noninteractive apt-get install "${apt_flags[@]}" \
               ./build/deb/libsealkit1_*.deb ./build/deb/libsealkit-dev_*.deb \
               ./build/deb/sealkit_*.deb ./build/deb/pushdemo_*.deb ./build/deb/python3-sealkit_*.deb \
               ./build/deb/postgresql-*-sealkit_*.deb ./build/deb/libsealkit-java_*.deb \
               ./build/deb/libsealkit-jni_*.deb $needs age &&
           (cd / && AUTOPKGTEST_TMP=$(mktemp -d) "$tests/consumers") &&
           (cd / && AUTOPKGTEST_TMP=$(mktemp -d) "$tests/java") &&
           # As autopkgtest runs it: from the source tree, which has the
           # private broker's configuration; pushdemo is the installed one.
           AUTOPKGTEST_TMP=$(mktemp -d) debian/tests/pushdemo &&
           AUTOPKGTEST_TMP=$(mktemp -d) debian/tests/postgresql &&
           /usr/bin/python3 tests/docs/docs_test.py --installed; } >>"$log" 2>&1; then
        tail -40 "$log"
        echo "PACKAGES FAILED"
        return 1
    fi
    echo "PACKAGES ok, installed, docs ok"
}

# The npm packages as a user gets them (packed on this machine, whose
# Debian 12 is the oldest system the prebuilt addon must load on), installed
# offline into a new project in a root that has Debian's nodejs and npm and
# nothing else: no compiler, no libssl-dev; then the package's tests run
# against that install, with build/sealkit, the command from NAME.work, for
# the envelopes to match; one line.
#   native: the main tarball and this machine's platform package: the
#           prebuilt addon loads;
#   bare:   the main tarball alone: the WebAssembly back end.
node_leg() {
    local kind=$1 log=build/node-$1.log project
    cd "$2"
    mkdir -p build
    project=$(mktemp -d)
    local tarballs=("$2"/build/npm-pack/sealkit-[0-9]*.tgz) tests=(tests/node/sealkit.test.js) want=wasm
    if [[ $kind == native ]]; then
        tarballs+=("$2"/build/npm-pack/sealkit-linux-*.tgz)
        want=native
    else
        tests+=(tests/node/wasm.test.js)
    fi
    if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install "${apt_flags[@]}" nodejs npm &&
           ! command -v cc c++ gcc g++ >/dev/null &&
           (cd "$project" && npm init -y >/dev/null &&
                npm install --offline --no-audit --no-fund "${tarballs[@]}" &&
                node -e "process.exit(require('sealkit').backend === '$want' ? 0 : 1)") &&
           SEALKIT_TOOL="$2/build/sealkit" SEALKIT_NODE_DIR="$project/node_modules/sealkit" \
               node --test "${tests[@]}"; } >"$log" 2>&1; then
        tail -40 "$log"
        echo "NODE $kind FAILED"
        return 1
    fi
    # node --test's summary: "# pass N", or "ℹ pass N" from Node.js 23 on.
    echo "NODE $kind ok, $(grep -oE '^(#|ℹ) pass [0-9]+' "$log" | tail -1 | grep -oE '[0-9]+$') tests passed"
}

# The tests in NAME.work, then the packages in a fresh NAME.pkg; one line.
root_leg() {
    local name=$1 suite=$2 extra=${3:-}
    local root=$cache/$name
    make_root "$root" "$suite" "$extra" || { echo "MATRIX $name: root could not be made | FAILED"; return 1; }
    local rc=0 tests pkgs node
    copy_root "$root" "$root.work"
    clone_into "$root.work"
    tests=$(in_root "$root.work" bash /src/scripts/roots/matrix.sh --leg /src) || rc=1
    copy_root "$root" "$root.pkg" fresh
    clone_into "$root.pkg"
    pkgs=$(APT_ARCHIVES=$root.apt in_root "$root.pkg" bash /src/scripts/roots/matrix.sh --packages /src install) || rc=1
    rm -rf "$root.pkg"
    # The npm packages, packed here with that root's sealkit.wasm.
    local pack=$here/build/npm-pack
    rm -rf "$pack" && mkdir -p "$pack"
    SEALKIT_WASM=$root.work/src/build/wasm/sealkit.wasm SEALKIT_PACK_OUT=$pack \
        node "$here/node/scripts/pack.js" >/dev/null || rc=1
    node=""
    for kind in native bare; do
        copy_root "$root" "$root.$kind" fresh
        clone_into "$root.$kind"
        mkdir -p "$root.$kind/src/build"
        cp -r "$pack" "$root.$kind/src/build/"
        cp "$root.work/src/build/release/bin/sealkit" "$root.$kind/src/build/sealkit" 2>/dev/null || true
        node+=$(APT_ARCHIVES=$root.apt in_root "$root.$kind" bash /src/scripts/roots/matrix.sh --node $kind /src)$'\n' ||
            rc=1
    done
    rm -rf "$root.native" "$root.bare"
    report "$tests" "$pkgs" "$node"
    return "$rc"
}

# Joins a leg's test line, its packages line and (in a root) its Node.js
# tarball line into one.
report() {
    grep -v '^MATRIX ' <<<"$1" || true
    grep -v '^PACKAGES ' <<<"$2" || true
    grep -v '^NODE ' <<<"${3:-}" || true
    local t p n=""
    t=$(grep '^MATRIX ' <<<"$1" | tail -1)
    p=$(grep '^PACKAGES ' <<<"$2" | tail -1)
    p=${p#PACKAGES }
    local verdict=ok
    [[ $t == *"| ok" && -n $p && $p != FAILED ]] || verdict=FAILED
    if (($# > 2)); then
        local b
        n=$(grep '^NODE native ' <<<"$3" | tail -1)
        n=${n#NODE native }
        b=$(grep '^NODE bare ' <<<"$3" | tail -1)
        b=${b#NODE bare }
        [[ $n == ok* && $b == ok* ]] || verdict=FAILED
        n=" | node tarball ${n:-FAILED}, without a compiler ${b:-FAILED}"
    fi
    echo "${t% | *} | packages ${p:-FAILED}$n | $verdict"
}

# --leg DIR: the tests; --packages DIR [install]: the packages;
# --node native|bare DIR: the Node.js tarball, with a compiler or without.
if [[ ${1:-} == --leg ]]; then
    leg "$2"
    exit
fi
if [[ ${1:-} == --node ]]; then
    node_leg "$2" "$3"
    exit
fi
if [[ ${1:-} == --packages ]]; then
    packages "$2" "${3:-}"
    exit
fi

(($(id -u) == 0)) || { echo "matrix: needs root (debootstrap, chroot)" >&2; exit 2; }
need_debootstrap
legs=("$@")
((${#legs[@]})) || legs=(host trixie sid-openssl4)
failed=0
summary=()
for l in "${legs[@]}"; do
    echo "== matrix: $l"
    case $l in
        host)
            rm -rf "$here/build/matrix-host"
            git clone -q "$here" "$here/build/matrix-host"
            t=$(bash "$here/scripts/roots/matrix.sh" --leg "$here/build/matrix-host" 2>&1) || failed=1
            p=$(bash "$here/scripts/roots/matrix.sh" --packages "$here/build/matrix-host" 2>&1) || failed=1
            out=$(report "$t" "$p") ;;
        trixie) out=$(root_leg trixie trixie 2>&1) || failed=1 ;;
        sid-openssl4) out=$(root_leg sid-openssl4 sid experimental 2>&1) || failed=1 ;;
        *) echo "matrix: unknown leg '$l' (host, trixie, sid-openssl4)" >&2; exit 2 ;;
    esac
    grep -v '^MATRIX ' <<<"$out" | tail -80 || true
    line=$(grep '^MATRIX ' <<<"$out" | tail -1 || true)
    summary+=("${line:-MATRIX $l: no result | FAILED}")
done
echo
printf '%s\n' "${summary[@]}" | sed 's/^MATRIX /  /'
exit "$failed"
