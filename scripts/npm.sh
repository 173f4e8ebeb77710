#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The npm packages in node/ (node/scripts/pack.js): the main package, and
# the prebuilt addon for each ARCH (default: this machine's):
#   scripts/npm.sh [x64] [arm64]
# Installs what they need first. For another architecture than the
# machine's: Debian's cross compiler, and the target's libssl-dev (whose
# libcrypto.a the addon links) unpacked from the target's own packages
# through an apt configuration of its own under $target_apt_dir
# (/var/cache/sealkit-target-apt/ARCH), so that the system's architectures,
# sources and lists stay as they are, and the addon links against the same
# Debian release as on this machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

declare -A debian_arch=([x64]=amd64 [arm64]=arm64) triplet=([x64]=x86_64-linux-gnu [arm64]=aarch64-linux-gnu)
here=$(node -p process.arch)
arches=("$@")
((${#arches[@]})) || arches=("$here")
for a in "${arches[@]}"; do
    [[ -n ${triplet[$a]:-} ]] || { echo "npm: no prebuilt addon for '$a': x64 or arm64" >&2; exit 2; }
done

scripts/deps.sh base
scripts/deps.sh wasm
scripts/wasm.sh build/wasm

# target_root ARCH: a directory with the target's libssl-dev unpacked
# (usr/include, usr/lib/TRIPLET/libcrypto.a), made once.
target_root() {
    local arch=${debian_arch[$1]} d=${target_apt_dir:-/var/cache/sealkit-target-apt}/$1
    if [[ ! -f $d/root/.ready ]]; then
        rm -rf "$d" && mkdir -p "$d/lists/partial" "$d/cache/archives/partial" "$d/root" "$d/debs"
        local opts=(-o APT::Architecture="$arch" -o APT::Architectures="$arch" -o Dir::State::Lists="$d/lists"
                    -o Dir::Cache="$d/cache" -o Dir::State::Status=/dev/null)
        apt-get -qq "${opts[@]}" update >/dev/null
        (cd "$d/debs" && apt-get -qq "${opts[@]}" download libssl-dev libssl3) >&2
        for f in "$d"/debs/*.deb; do dpkg-deb -x "$f" "$d/root"; done
        touch "$d/root/.ready"
    fi
    echo "$d/root"
}

env=()
for a in "${arches[@]}"; do
    [[ $a != "$here" ]] || continue
    command -v "${triplet[$a]}-g++" >/dev/null || scripts/deps.sh "cross-$a"
    env=(SEALKIT_CRYPTO_ROOT="$(target_root "$a")")
done
env "${env[@]}" SEALKIT_WASM=build/wasm/sealkit.wasm node node/scripts/pack.js "${arches[@]}"
