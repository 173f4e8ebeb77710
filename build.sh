#!/usr/bin/env bash
# One entry point for a fresh machine:
#   ./build.sh demo   build everything (Release), run pushdemo on a sample feed
#                     for a few seconds, then the sealkit demo
#   ./build.sh test   build and run every test: ASan+UBSan, Release, ThreadSanitizer,
#                     then each fuzzer for FUZZ_SECONDS (30) on its corpus
#   ./build.sh fuzz   only the fuzzers
#   ./build.sh bench  build in Release, run the benchmark and print the ratio table
# Missing Debian packages are installed first (as root, or through sudo).
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ gcc make pkg-config binutils libssl-dev libgtest-dev
          libbenchmark-dev clang libclang-rt-14-dev llvm valgrind openssl)

install_missing() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    ((${#missing[@]} == 0)) && return
    echo "installing: ${missing[*]}"
    local sudo=()
    [[ $(id -u) == 0 ]] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

demo() {
    cmake --preset release >/dev/null
    cmake --build --preset release
    echo
    echo "== pushdemo with the SDK stand-in, fed client/sample_feed.txt; stopped after 3 s"
    # pushdemo runs until it is killed; timeout ends it once the sample is shown.
    OSTREL_SDK_FEED=client/sample_feed.txt timeout 3 ./build/release/bin/pushdemo || true
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
    for target in open seal feed; do
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
    cmake --workflow --preset release
    cmake --workflow --preset tsan
    fuzz
}

bench() {
    cmake --preset release >/dev/null
    cmake --build --preset release --target sealkit_bench
    ./build/release/bench/sealkit_bench --benchmark_min_time=0.2 --benchmark_color=false "$@"
}

case "${1:-}" in
    demo) install_missing; demo ;;
    test) install_missing; test_all ;;
    bench) shift; install_missing; bench "$@" ;;
    fuzz) install_missing; fuzz ;;
    *) echo "usage: $0 demo|test|fuzz|bench [benchmark flags]" >&2; exit 2 ;;
esac
