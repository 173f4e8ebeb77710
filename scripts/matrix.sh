#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and tests the current commit on the distributions users have:
#   scripts/matrix.sh [host] [trixie] [sid-openssl4]      (default: all three)
#
#   host          this machine, as it is
#   trixie        a clean Debian 13 root (OpenSSL 3.5 LTS, gcc 14)
#   sid-openssl4  a clean Debian unstable root with libssl-dev from experimental
#
# Roots are made with debootstrap (its default mirror) under
# SEALKIT_MATRIX_CACHE (/var/cache/sealkit-matrix) and reused while present.
# In each one the commit is cloned afresh, build.sh installs the packages it
# finds for that distribution, and the release workflow runs (the cluster
# tests aside, which run on the host only), which includes installing the
# package and building the C consumers through pkg-config and find_package;
# then the Debian packages are built and checked by lintian and, in the
# roots, installed with apt and tried by debian/tests. One line per leg; the
# exit status is non-zero when any leg fails.
# Needs root (debootstrap, chroot, mount namespaces).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${SEALKIT_MATRIX_CACHE:-/var/cache/sealkit-matrix}

# Inside a leg: the release workflow, then one summary line read from its JUnit file.
leg() {
    cd "$1"
    local log=build/matrix.log
    mkdir -p build
    # The full set: what each distribution calls its packages is part of the check.
    ./build.sh deps full >"$log" 2>&1 || { tail -30 "$log"; echo "MATRIX deps failed"; return 1; }
    local rc=0
    # The release workflow, less the cluster tests, which run on the host only
    # (each starts RabbitMQ clusters; CI's time would not hold them twice).
    { cmake --preset release && cmake --build --preset release &&
          ctest --preset release -LE cluster; } >>"$log" 2>&1 || rc=$?
    ((rc == 0)) || tail -60 "$log"
    # The Debian packages, lintian-clean; in a root of its own, installed with
    # apt and tried as a user would (debian/tests), away from the build tree.
    local debs=ok
    if ! ./build.sh deb >>"$log" 2>&1; then
        tail -40 "$log"
        debs=FAILED rc=1
    elif [[ -n ${2:-} ]]; then
        local tests
        tests=$(mktemp -d)
        cp debian/tests/consumers debian/tests/pushdemo "$tests/"
        if ! { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
                   $(ls "$PWD"/build/deb/*.deb | grep -v -- -dbgsym_) &&
               (cd / && AUTOPKGTEST_TMP=$(mktemp -d) "$tests/consumers") &&
               (cd / && AUTOPKGTEST_TMP=$(mktemp -d) "$tests/pushdemo"); } >>"$log" 2>&1; then
            tail -40 "$log"
            debs=FAILED rc=1
        else
            debs="ok, installed"
        fi
    fi
    local junit=build/release/ctest-junit.xml suite="" total=0 failed=0 skipped=0
    [[ -f $junit ]] && suite=$(tr '\n\t' '  ' <"$junit" | grep -o '<testsuite [^>]*>' | head -1)
    attr() { sed -n "s/.* $1=\"\([0-9]*\)\".*/\1/p" <<<"$suite"; }
    [[ -n $suite ]] && { total=$(attr tests); failed=$(attr failures); skipped=$(attr skipped); }
    . /etc/os-release
    printf 'MATRIX %s | OpenSSL %s | %s | passed %d, failed %d, skipped %d | packages %s | %s\n' \
        "$PRETTY_NAME" "$(pkg-config --modversion libcrypto)" "$(gcc -dumpfullversion | sed 's/^/gcc /')" \
        $((total - failed - skipped)) "$failed" "$skipped" "$debs" "$( ((rc == 0)) && echo ok || echo FAILED)"
    return "$rc"
}

# Makes (once) a minbase root of `suite`; with `extra`, that suite's libssl-dev.
make_root() {
    local root=$1 suite=$2 extra=$3
    [[ -f $root/.ready ]] && return 0
    echo "== making $root ($suite${extra:+, libssl-dev from $extra}); several minutes the first time"
    rm -rf "$root"
    mkdir -p "$(dirname "$root")"
    debootstrap --variant=minbase --include=ca-certificates "$suite" "$root" >"$root.log" 2>&1 ||
        { tail -20 "$root.log"; return 1; }
    # unstable's and experimental's Release files are often past Valid-Until on mirrors.
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99matrix"
    if [[ -n $extra ]]; then
        # The same mirror debootstrap chose, for the extra suite.
        sed -n "s/^\(deb [^ ]* \)$suite /\1$extra /p" "$root/etc/apt/sources.list" \
            >"$root/etc/apt/sources.list.d/$extra.list"
        in_root "$root" bash -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends -t $extra libssl-dev openssl" \
            >>"$root.log" 2>&1 || { tail -20 "$root.log"; return 1; }
    fi
    touch "$root/.ready"
}

# Runs a command in the root, with /proc and /dev mounted in a private mount
# namespace, so nothing stays mounted when it ends.
in_root() {
    local root=$1
    shift
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    unshare --mount --fork -- bash -c '
        root=$1; shift
        mount --make-rprivate /
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount -t tmpfs tmpfs "$root/tmp"
        exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"' \
        bash "$root" "$@"
}

root_leg() {
    local name=$1 suite=$2 extra=${3:-}
    local root=$cache/$name
    make_root "$root" "$suite" "$extra" || { echo "MATRIX $name: root could not be made | FAILED"; return 1; }
    rm -rf "$root/src"
    git clone -q "$here" "$root/src"
    git -C "$root/src" checkout -q "$(git -C "$here" rev-parse HEAD)"
    in_root "$root" bash /src/scripts/matrix.sh --leg /src install
}

# --leg DIR [install]: install the packages too (only in a root of its own).
if [[ ${1:-} == --leg ]]; then
    leg "$2" "${3:-}"
    exit
fi

(($(id -u) == 0)) || { echo "matrix: needs root (debootstrap, chroot)" >&2; exit 2; }
command -v debootstrap >/dev/null || {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
}
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
            out=$(bash "$here/scripts/matrix.sh" --leg "$here/build/matrix-host" 2>&1) || failed=1 ;;
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
