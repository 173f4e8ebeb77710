#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One entry point for a fresh machine:
#   ./build.sh demo   build pushdemo and the sealkit demo (Release), show pushdemo
#                     receiving pushes from a private MQTT broker, then the sealkit demo
#   ./build.sh test   build and run every test: ASan+UBSan, Release, Release with a
#                     shared libsealkit, ThreadSanitizer, then each fuzzer for
#                     FUZZ_SECONDS (30) on its corpus, then lint; CLUSTER_TESTS=0
#                     leaves out the RabbitMQ cluster tests (CI runs them in
#                     its Debian 13 root instead)
#   ./build.sh matrix build and test the current commit on this machine, in a clean
#                     Debian 13 root and in Debian unstable with OpenSSL 4.0
#                     (scripts/roots/matrix.sh)
#   ./build.sh cross [arm64] [s390x]
#                     cross-build for arm64 and s390x and run the tests under
#                     qemu-user, in a Debian 13 root where this is older
#                     (scripts/roots/cross.sh)
#   ./build.sh deps [base|full]
#                     only install the packages (base, or full for test and fuzz)
#   ./build.sh fuzz   only the fuzzers
#   ./build.sh lint   clang-tidy over every source, no finding allowed
#   ./build.sh bench  build in Release, run the benchmarks and print their tables
#   ./build.sh deb    the Debian packages (debian/), checked by lintian, in build/deb
#   ./build.sh pg     the PostgreSQL extension (postgresql/), and its pg_regress
#                     tests on a private cluster
#   ./build.sh cluster [SCENARIO] [PUSHES]
#                     pushdemo through a private 3-node RabbitMQ cluster, with a
#                     node killed mid-stream (scripts/cluster/cluster.sh)
#   ./build.sh help   this text
# Missing Debian packages are installed first (as root, or through sudo),
# waiting for another apt or dpkg that holds the lock.
set -euo pipefail
cd "$(dirname "$0")"

# What every build needs; the full set adds what the sanitizer, fuzz and
# memory-check runs need. Names are found on the running distribution, not
# fixed to one release's.
base_packages=(cmake ninja-build g++ gcc make pkg-config binutils libssl-dev openssl libgtest-dev
               libbenchmark-dev
               # the SDK stand-in's broker source, a broker and its clients
               libmosquitto-dev mosquitto mosquitto-clients
               # libcrypto.pc may list -lz and -lzstd for static links (Debian 13 on)
               zlib1g-dev libzstd-dev
               # the Python package and its tests
               python3-dev python3-cffi python3-setuptools python3-pytest python3-hypothesis
               python3-cryptography)
# The PostgreSQL extension: a server (for its tests) and the headers of
# every version the distribution has.
pg_packages=(postgresql postgresql-server-dev-all)
full_packages=("${pg_packages[@]}" clang clang-tidy llvm valgrind
               # the docs test: pip into a venv, and age for the examples that use it
               python3-venv age
               # the cluster tests: a private RabbitMQ cluster
               rabbitmq-server)

sudo=()
[[ $(id -u) == 0 ]] || sudo=(sudo)

# apt-get that waits up to 10 minutes for a lock another apt or dpkg holds:
# dpkg's through apt's own option, the package lists' (which that option
# does not cover) by trying `update` again while the lock is what failed.
apt() {
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
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 -y -qq \
        --no-install-recommends "$@"
}

# The Node.js addon: Debian's Node.js with its headers, npm, node-gyp and
# node-addon-api. A Node.js from elsewhere (its own package, which Debian's
# node packages cannot join) is used as it is, with node-addon-api from npm.
node_packages=(nodejs libnode-dev npm node-gyp node-addon-api)

debian_node() {
    ! installed nodejs || [[ $(dpkg-query -W -f='${Version}' nodejs) != *nodesource* ]]
}

node_addon_api() {
    (cd node && node -e "require.resolve('node-addon-api')" 2>/dev/null) && return
    echo "installing node-addon-api from npm into node/node_modules"
    (cd node && npm install --no-save --no-package-lock --no-audit --no-fund -q node-addon-api@8)
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

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

# Runs an apt command that installs packages without letting them start the
# system's services (the brokers and servers are only ever started privately
# by the tests) or make a PostgreSQL cluster (the tests make their own),
# unless the machine has a policy of its own.
quietly() {
    local policy=/usr/sbin/policy-rc.d own_policy=0
    local nocluster=/etc/postgresql-common/createcluster.d/sealkit-build.conf own_conf=0
    if [[ ! -e $policy ]]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
        "${sudo[@]}" chmod 755 "$policy"
        own_policy=1
    fi
    if ! installed postgresql-common && [[ ! -e $nocluster ]]; then
        "${sudo[@]}" mkdir -p "${nocluster%/*}"
        echo "create_main_cluster = false" | "${sudo[@]}" tee "$nocluster" >/dev/null
        own_conf=1
    fi
    local rc=0
    "$@" || rc=$?
    ((own_policy)) && "${sudo[@]}" rm -f "$policy"
    ((own_conf)) && "${sudo[@]}" rm -f "$nocluster"
    return "$rc"
}

# install_missing base|pg|full
install_missing() {
    local want=("${base_packages[@]}") missing=()
    [[ $1 == full ]] && want+=("${full_packages[@]}")
    [[ $1 == pg ]] && want+=("${pg_packages[@]}")
    debian_node && want+=("${node_packages[@]}")
    local updated=0
    for p in "${want[@]}"; do installed "$p" || missing+=("$p"); done
    if [[ $1 == full ]]; then
        local rt
        rt=$(clang_runtime || true)
        if [[ -z $rt ]]; then
            apt update
            updated=1
            rt=$(clang_runtime)
        fi
        installed "$rt" || missing+=("$rt")
    fi
    ((${#missing[@]} == 0)) && { debian_node || node_addon_api; return; }
    echo "installing: ${missing[*]}"
    ((updated)) || apt update
    local rc=0
    quietly apt install "${missing[@]}" || rc=$?
    ((rc == 0)) && ! debian_node && node_addon_api
    return "$rc"
}

# A private broker on a free loopback port, its configuration in a temporary
# directory; pushdemo against it; the sample pushes sent with mosquitto_pub,
# to the app topic and to this client's topic; then both stopped.
demo_broker() {
    local dir port
    dir=$(mktemp -d)
    port=$((20000 + RANDOM % 40000))
    while (: >"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((20000 + RANDOM % 40000)); done
    printf 'user root\nlistener %s 127.0.0.1\nallow_anonymous true\npersistence true\npersistence_location %s/\n' \
        "$port" "$dir" >"$dir/mosquitto.conf"
    demo_dir=$dir
    demo_pids=()
    trap demo_stop EXIT
    /usr/sbin/mosquitto -c "$dir/mosquitto.conf" 2>"$dir/mosquitto.log" &
    demo_pids+=($!)
    until (: >"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do sleep 0.1; done
    echo "broker: mosquitto on 127.0.0.1:$port"
    OSTREL_SDK_SERVER="mqtt://127.0.0.1:$port" OSTREL_SDK_TRACE="$dir/trace" \
        ./build/release/bin/pushdemo &
    demo_pids+=($!)
    until grep -q "OstrelStart() = 0" "$dir/trace" 2>/dev/null; do sleep 0.1; done
    . client/identity.env
    local topic=push/$PUSHDEMO_APP_ID n=0 line
    while IFS= read -r line; do
        # Every other push goes to this client only.
        if ((n++ % 2)); then t=$topic/$PUSHDEMO_CLIENT_ID; else t=$topic; fi
        echo "mosquitto_pub -t $t" >&2
        mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t "$t" -m "$(printf '%b' "$line")"
        sleep 0.3
    done <client/sample_feed.txt
    sleep 0.5
    demo_stop
}

demo_stop() {
    if ((${#demo_pids[@]})); then
        kill "${demo_pids[@]}" 2>/dev/null || true
        wait "${demo_pids[@]}" 2>/dev/null || true
    fi
    demo_pids=()
    if [[ -n ${demo_dir:-} ]]; then rm -rf "$demo_dir"; fi
    demo_dir=
}

demo() {
    cmake --preset release >/dev/null
    cmake --build --preset release --target pushdemo seal_demo
    echo
    echo "== pushdemo through a private MQTT broker, pushes sent by mosquitto_pub"
    demo_broker
    echo
    echo "== seal_demo: one sample text through each cipher pair"
    ./build/release/examples/seal_demo
}

# Runs each libFuzzer target for a bounded time. New inputs go to a scratch
# corpus under build/, so the checked-in seeds stay as they are.
fuzz() {
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz
    local seconds=${FUZZ_SECONDS:-30}
    mkdir -p build/fuzz/artifacts
    for target in open seal stream feed; do
        local work=build/fuzz/work/$target log=build/fuzz/$target.log
        mkdir -p "$work"
        echo "== ${target}_fuzzer, ${seconds} s"
        if ! ./build/fuzz/fuzz/${target}_fuzzer -max_total_time="$seconds" -timeout=10 \
            -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ \
            "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
            tail -40 "$log"
            echo "${target}_fuzzer FAILED" >&2
            return 1
        fi
        grep -E "^Done|number_of_executed_units|peak_rss" "$log"
    done
}

test_all() {
    cmake --workflow --preset dev
    if [[ ${CLUSTER_TESTS:-1} == 0 ]]; then
        cmake --preset release && cmake --build --preset release && ctest --preset release -LE cluster
    else
        cmake --workflow --preset release
    fi
    cmake --workflow --preset shared
    cmake --workflow --preset tsan
    fuzz
    lint
}

# clang-tidy (.clang-tidy) over every source of the release build; any finding fails.
lint() {
    cmake --preset release >/dev/null
    echo "== clang-tidy"
    run-clang-tidy -p build/release -quiet "$PWD/(sealkit|client|sdk_standin|tools|tests|bench|examples)/" \
        >build/lint.log 2>&1 || { grep -E "(warning|error):" build/lint.log | sort -u; return 1; }
    echo "clang-tidy: no findings"
}

# The Debian packages: build dependencies from debian/control, a binary-only
# dpkg-buildpackage (its tests included), lintian at warning level, and the
# files the .changes names moved to build/deb.
deb() {
    local tools=(dpkg-dev debhelper lintian)
    local missing=()
    for p in "${tools[@]}"; do installed "$p" || missing+=("$p"); done
    if ((${#missing[@]})); then
        echo "installing: ${missing[*]}"
        apt update
        apt install "${missing[@]}"
    fi
    local unmet
    if ! unmet=$(dpkg-checkbuilddeps 2>&1); then
        echo "installing the build dependencies: ${unmet##*dependencies: }"
        ((${#missing[@]})) || apt update
        quietly apt build-dep ./
    fi
    # debian/control names the PostgreSQL version of Debian 13; elsewhere the
    # build makes it name this distribution's (PG_UPDATECONTROL), and the
    # checked-in file comes back after.
    mkdir -p build
    cp debian/control build/control.checked-in
    local rc=0
    PG_UPDATECONTROL=1 dpkg-buildpackage -us -uc -b || rc=$?
    cp build/control.checked-in debian/control
    ((rc == 0)) || return "$rc"
    local changes
    changes=$(ls -t ../sealkit_*_"$(dpkg --print-architecture)".changes | head -1)
    local root_flag=()
    [[ $(id -u) == 0 ]] && root_flag=(--allow-root)
    # These packages are not uploaded to Debian, so there is no ITP bug for
    # the first changelog entry to close.
    lintian "${root_flag[@]}" --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs \
        "$changes"
    rm -rf build/deb
    mkdir -p build/deb
    local f
    for f in $(sed -n '/^Files:/,/^[^ ]/s/^ [^ ]* [^ ]* [^ ]* [^ ]* \(.*\)/\1/p' "$changes"); do
        mv "../$f" build/deb/
    done
    mv "$changes" build/deb/
    ls build/deb
}

# The PostgreSQL extension, built against the release library and tested
# with pg_regress on a private cluster (tests/postgresql/regress.sh).
pg() {
    cmake --preset release >/dev/null
    cmake --build --preset release --target sealkit sealkit_cli
    tests/postgresql/regress.sh build/release/sealkit/libsealkit.a build/release/bin/sealkit
}

bench() {
    cmake --preset release >/dev/null
    cmake --build --preset release --target sealkit_bench push_bench
    ./build/release/bench/sealkit_bench --benchmark_color=false "$@"
    echo
    echo "== pushdemo end to end through a private broker"
    ./build/release/bench/push_bench
}

case "${1:-}" in
    demo) install_missing base; demo ;;
    test) install_missing full; test_all ;;
    bench) shift; install_missing base; bench "$@" ;;
    fuzz) install_missing full; fuzz ;;
    lint) install_missing full; lint ;;
    deps)
        case ${2:-base} in
            base | full) install_missing "${2:-base}" ;;
            *) echo "usage: $0 deps [base|full]" >&2; exit 2 ;;
        esac ;;
    help | -h | --help) sed -n '3,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    deb) deb ;;
    pg) install_missing pg; pg ;;
    cluster)
        shift
        install_missing full
        cmake --preset release >/dev/null
        cmake --build --preset release --target pushdemo
        PUSHDEMO=build/release/bin/pushdemo scripts/cluster/cluster.sh "$@" ;;
    matrix) shift; scripts/roots/matrix.sh "$@" ;;
    cross) shift; scripts/roots/cross.sh "$@" ;;
    *) echo "usage: $0 demo|test|fuzz|lint|bench [benchmark flags]|deps [base|full]|matrix [legs]|cross [arches]|deb|pg|cluster [scenario] [pushes]|help" >&2
       exit 2 ;;
esac
