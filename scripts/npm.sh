#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The npm packages in node/ (node/scripts/pack.js): the main package, and
# the prebuilt addon for each ARCH (default: this machine's):
#   scripts/npm.sh [x64] [arm64]
# Installs what they need first; another architecture than the machine's
# takes Debian's cross compiler and the target's libssl-dev, whose
# libcrypto.a the addon links (scripts/target.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

. scripts/target.sh
here=$(node -p process.arch)
arches=("$@")
((${#arches[@]})) || arches=("$here")
for a in "${arches[@]}"; do
    [[ -n ${triplet[$a]:-} ]] || { echo "npm: no prebuilt addon for '$a': x64 or arm64" >&2; exit 2; }
done

scripts/deps.sh base
scripts/deps.sh wasm
scripts/wasm.sh build/wasm

env=()
for a in "${arches[@]}"; do
    [[ $a != "$here" ]] || continue
    cross_compiler "$a" >/dev/null
    env=(SEALKIT_CRYPTO_ROOT="$(target_root "$a")")
done
env "${env[@]}" SEALKIT_WASM=build/wasm/sealkit.wasm node node/scripts/pack.js "${arches[@]}"
