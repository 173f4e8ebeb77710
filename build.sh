#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One entry point for a fresh machine: ./build.sh COMMAND, with the commands
# below (./build.sh help lists them). Each installs the Debian packages it
# needs first (scripts/deps.sh); the scripts under scripts/ do the longer
# jobs.
set -euo pipefail
cd "$(dirname "$0")"

#: demo: build pushdemo and the sealkit demo (Release), show pushdemo receiving
#:   pushes from a private MQTT broker, then the sealkit demo (scripts/demo.sh)
cmd_demo() {
    scripts/deps.sh base
    cmake --preset release >/dev/null
    cmake --build --preset release --target pushdemo seal_demo
    echo
    scripts/demo.sh build/release
}

#: test: build and run every test: the WebAssembly module (and, in Release, the
#:   browser test in Debian's Chromium), then ASan+UBSan,
#:   Release, Release with a shared libsealkit, ThreadSanitizer, then each fuzzer for FUZZ_SECONDS (30) on its
#:   corpus, then lint; CLUSTER_TESTS=0 leaves out the RabbitMQ cluster tests
#:   (CI runs them in its Debian 13 root instead)
cmd_test() {
    scripts/deps.sh full
    scripts/deps.sh browser
    # First, so that every preset's Node.js tests also run on it.
    scripts/wasm.sh build/wasm
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

#: wasm: the WebAssembly back end of the JavaScript package, build/wasm/sealkit.wasm
#:   (scripts/wasm.sh)
cmd_wasm() {
    scripts/deps.sh wasm
    scripts/wasm.sh build/wasm
}

#: npm [ARCH...]: the npm packages in node/: sealkit-VERSION.tgz and the prebuilt
#:   addon's sealkit-linux-ARCH-gnu-VERSION.tgz for x64, arm64 (default: this machine's)
#:   (scripts/npm.sh)
cmd_npm() { scripts/npm.sh "$@"; }

#: jar: sealkit.jar for Linux on x86-64 and arm64, each JNI library inside
#:   (build/jar/sealkit-VERSION.jar; scripts/jar.sh)
cmd_jar() { scripts/jar.sh; }

#: fuzz: only the fuzzers
cmd_fuzz() {
    scripts/deps.sh full
    fuzz
}

#: lint: clang-tidy over every source, no finding allowed
cmd_lint() {
    scripts/deps.sh full
    lint
}

#: bench [BENCHMARK FLAGS]: build in Release, run the benchmarks, print their tables
cmd_bench() {
    scripts/deps.sh base
    cmake --preset release >/dev/null
    cmake --build --preset release --target sealkit_bench push_bench
    ./build/release/bench/sealkit_bench --benchmark_color=false "$@"
    echo
    echo "== pushdemo end to end through a private broker"
    ./build/release/bench/push_bench
}

#: deps [SET]: only install the packages of one set (scripts/deps.sh lists them)
cmd_deps() { scripts/deps.sh "$@"; }

#: deb: the Debian packages (debian/), checked by lintian, in build/deb (scripts/deb.sh)
cmd_deb() { scripts/deb.sh; }

#: pg: the PostgreSQL extension (postgresql/), and its pg_regress tests on a
#:   private cluster (tests/postgresql/regress.sh)
cmd_pg() {
    scripts/deps.sh pg
    cmake --preset release >/dev/null
    cmake --build --preset release --target sealkit sealkit_cli
    tests/postgresql/regress.sh build/release/sealkit/libsealkit.a build/release/bin/sealkit
}

#: cluster [SCENARIO] [PUSHES]: pushdemo through a private 3-node RabbitMQ
#:   cluster, with a node killed mid-stream or the network partitioned
#:   (partition-*, as root) (scripts/cluster/cluster.sh)
cmd_cluster() {
    scripts/deps.sh full
    cmake --preset release >/dev/null
    cmake --build --preset release --target pushdemo
    PUSHDEMO=build/release/bin/pushdemo scripts/cluster/cluster.sh "$@"
}

#: matrix [LEGS]: build and test the current commit on this machine, in a clean
#:   Debian 13 root and in Debian unstable with OpenSSL 4.0 (scripts/roots/matrix.sh)
cmd_matrix() { scripts/roots/matrix.sh "$@"; }

#: cross [arm64] [s390x]: cross-build for arm64 and s390x and run the tests under
#:   qemu-user, in a Debian 13 root where this is older (scripts/roots/cross.sh)
cmd_cross() { scripts/roots/cross.sh "$@"; }

#: help: this text
cmd_help() {
    echo "usage: $0 COMMAND [ARGUMENTS]"
    sed -n 's/^#: \{0,1\}/  /p' "$0"
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

# clang-tidy (.clang-tidy) over every source of the release build; any finding fails.
lint() {
    cmake --preset release >/dev/null
    echo "== clang-tidy"
    run-clang-tidy -p build/release -quiet "$PWD/(sealkit|client|sdk_standin|tools|tests|bench|examples|java)/" \
        >build/lint.log 2>&1 || { grep -E "(warning|error):" build/lint.log | sort -u; return 1; }
    echo "clang-tidy: no findings"
}

case ${1:-} in
    -h | --help) cmd_help ;;
    *)
        if [[ -z ${1:-} ]] || ! declare -F "cmd_$1" >/dev/null; then
            echo "usage: $0 $(declare -F | sed -n 's/^declare -f cmd_//p' | paste -sd'|') [ARGUMENTS]" >&2
            exit 2
        fi
        command=cmd_$1
        shift
        "$command" "$@" ;;
esac
