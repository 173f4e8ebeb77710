#!/usr/bin/env bash
# One entry point for a fresh machine:
#   ./build.sh demo   build everything (Release) and run the demo programs
#   ./build.sh test   build and run every test: sanitizers (ASan+UBSan), then Release
# Missing Debian packages are installed first (as root, or through sudo).
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ gcc make pkg-config binutils libssl-dev libgtest-dev
          libbenchmark-dev clang libclang-rt-14-dev llvm valgrind)

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
    echo "== seal_demo: one sample text through each cipher pair"
    ./build/release/examples/seal_demo
}

test_all() {
    cmake --workflow --preset dev
    cmake --workflow --preset release
}

case "${1:-}" in
    demo) install_missing; demo ;;
    test) install_missing; test_all ;;
    *) echo "usage: $0 demo|test" >&2; exit 2 ;;
esac
