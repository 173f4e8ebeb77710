#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages a job needs, those missing only:
#   scripts/deps.sh [base|pg|full|deb|wasm|cluster|browser|cross-arm64|cross-x64]
#     base     every build: compilers, libcrypto, libmosquitto, the bindings'
#              tools (the default)
#     pg       base and the PostgreSQL extension's server and headers
#     full     pg and what the sanitizer, fuzz, lint, docs and cluster runs need
#     deb      the tools and build dependencies of the Debian packages
#     wasm     clang for wasm32 with wasi-libc and libc++, and what fetches
#              and configures OpenSSL's Debian source
#     cluster  a RabbitMQ server, the MQTT clients, and iproute2 and nftables
#              for the partition scenarios (scripts/cluster)
#     cross-arm64, cross-x64  the C++ cross compiler for that architecture
#              (the npm packages' prebuilt addon: scripts/npm.sh)
#     browser  Debian's Chromium, and playwright-core and @noble/ciphers from
#              npm into build/npm, for the browser test and the benchmark
#              (no browser is downloaded)
# As root, or through sudo; waits for another apt or dpkg that holds the
# lock. Installed packages start no service and make no PostgreSQL cluster
# (scripts/lib.sh's quietly): the tests start their own servers.
set -euo pipefail
cd "$(dirname "$0")/.."
log_name=deps
. scripts/lib.sh

# What every build needs; the full set adds what the sanitizer, fuzz and
# memory-check runs need. Names are found on the running distribution, not
# fixed to one release's.
base_packages=(cmake ninja-build g++ gcc make pkg-config binutils libssl-dev openssl libgtest-dev
               libbenchmark-dev
               # the SDK stand-in's broker source, a broker and its clients
               libmosquitto-dev mosquitto mosquitto-clients
               # libcrypto.pc may list -lz and -lzstd for static links (Debian 13 on)
               zlib1g-dev libzstd-dev
               # the Python package, its tests, and the README's install with pip into
               # a venv (which the release workflow's docs test runs)
               python3-dev python3-cffi python3-setuptools python3-pytest python3-hypothesis
               python3-cryptography python3-venv
               # the Java binding and its JUnit 5 tests
               default-jdk-headless junit5)
# The PostgreSQL extension: a server (for its tests) and the headers of
# every version the distribution has.
pg_packages=(postgresql postgresql-server-dev-all)
# The WebAssembly module (scripts/wasm.sh).
wasm_packages=(clang lld wasi-libc libclang-rt-dev-wasm32 libc++-dev-wasm32 dpkg-dev make perl)
# The cluster tests (scripts/cluster): RabbitMQ, the MQTT clients, and what
# makes the partition scenarios' network (namespaces, a bridge, nftables).
cluster_packages=(rabbitmq-server mosquitto-clients iproute2 nftables)
full_packages=("${pg_packages[@]}" "${wasm_packages[@]}" clang-tidy llvm valgrind
               # the docs test's examples that use age
               age
               # the cluster tests: a private RabbitMQ cluster, and the partitions'
               # network of namespaces
               "${cluster_packages[@]}")

# apt-get, waiting up to 10 minutes for a lock another apt or dpkg holds:
# dpkg's through apt's own option, the package lists' (which that option
# does not cover) by trying `update` again while the lock is what failed.
apt_get() {
    if [[ $1 == update ]]; then
        local try err
        for try in $(seq 120); do
            err=$("${sudo[@]}" apt-get -qq update 2>&1) && return 0
            grep -q "Could not get lock" <<<"$err" || { echo "$err" >&2; return 1; }
            ((try > 1)) || echo "waiting for another apt to release its lock" >&2
            sleep 5
        done
        echo "$err" >&2
        return 1
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "${apt_flags[@]}" "$@"
}

# The Node.js addon: Debian's Node.js with its headers, npm and
# node-addon-api. A Node.js from elsewhere (its own package, which Debian's
# node packages cannot join) is used as it is, with node-addon-api from npm.
node_packages=(nodejs libnode-dev npm node-addon-api)

debian_node() {
    ! installed nodejs || [[ $(dpkg-query -W -f='${Version}' nodejs) != *nodesource* ]]
}

node_addon_api() {
    (cd node && node -e "require.resolve('node-addon-api')" 2>/dev/null) && return
    echo "installing node-addon-api from npm into node/node_modules"
    (cd node && npm install --no-save --no-package-lock --no-audit --no-fund -q node-addon-api@8)
}


# The sanitizer and libFuzzer runtime that matches the clang that is (or will
# be) installed: libclang-rt-N-dev on Debian 12 and later.
clang_runtime() {
    local major
    if command -v clang >/dev/null; then
        major=$(clang -dumpversion | cut -d. -f1)
    else
        major=$(apt-cache depends clang 2>/dev/null | sed -n 's/.*Depends: clang-\([0-9]*\)$/\1/p' | head -1)
    fi
    [[ -n $major ]] && echo "libclang-rt-$major-dev"
}

# install_missing PACKAGE...: the ones not installed, with one update.
install_missing() {
    local missing=() p
    for p in "$@"; do installed "$p" || missing+=("$p"); done
    ((${#missing[@]})) || return 0
    echo "installing: ${missing[*]}"
    apt_get update
    quietly apt_get install "${missing[@]}"
}

# deps base|pg|full: the set, Node.js's included.
deps() {
    local want=("${base_packages[@]}")
    [[ $1 == full ]] && want+=("${full_packages[@]}")
    [[ $1 == pg ]] && want+=("${pg_packages[@]}")
    debian_node && want+=("${node_packages[@]}")
    if [[ $1 == full ]]; then
        local rt
        rt=$(clang_runtime || true)
        if [[ -z $rt ]]; then
            apt_get update
            rt=$(clang_runtime)
        fi
        want+=("$rt")
    fi
    install_missing "${want[@]}"
    debian_node || node_addon_api
}

# The Debian packages' tools, then their build dependencies (debian/control).
deb_deps() {
    install_missing dpkg-dev debhelper lintian
    local unmet
    if ! unmet=$(dpkg-checkbuilddeps 2>&1); then
        echo "installing the build dependencies: ${unmet##*dependencies: }"
        apt_get update
        quietly apt_get build-dep ./
    fi
}

case ${1:-base} in
    base | pg | full) deps "${1:-base}" ;;
    deb) deb_deps ;;
    wasm) install_missing "${wasm_packages[@]}" nodejs ;;
    cluster) install_missing "${cluster_packages[@]}" ;;
    cross-arm64) install_missing g++-aarch64-linux-gnu ;;
    cross-x64) install_missing g++-x86-64-linux-gnu ;;
    browser)
        install_missing chromium
        # One install for both: npm drops what an install with --no-save does not name.
        [[ -d build/npm/node_modules/playwright-core && -d build/npm/node_modules/@noble/ciphers ]] ||
            PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --prefix build/npm --no-audit --no-fund --no-save \
                -q playwright-core@1 @noble/ciphers@1 ;;
    *) sed -n '3,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
esac
