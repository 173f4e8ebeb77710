#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The sealkit command against `openssl enc` on the same data, side by side:
# AES-128-CBC, zero IV, block-aligned random input, output to a file through
# standard output. Prints wall time and peak RSS of each as a Markdown table.
#   bench/cli_vs_openssl.sh [SEALKIT] [SIZE_MIB ...]   (default: 256 1024 3993.6)
# Needs /usr/bin/time and openssl; uses about 3x the largest size in
# BENCH_DIR (/var/tmp).
set -euo pipefail
tool=${1:-build/release/bin/sealkit}
shift || true
sizes=("$@")
((${#sizes[@]})) || sizes=(256 1024 3993.6)
dir=$(mktemp -d "${BENCH_DIR:-/var/tmp}/sealkit-cli-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
head -c 16 /dev/urandom >"$dir/key" && chmod 600 "$dir/key"
hexkey=$(od -An -tx1 "$dir/key" | tr -d ' \n')
iv=00000000000000000000000000000000

# Prints "seconds / MiB" for one command with stdout to $2.
measure() {
    local out=$1
    shift
    /usr/bin/time -f "%e %M" -o "$dir/time" "$@" >"$out" || { echo "failed: $*" >&2; exit 1; }
    awk '{printf "%.2f s / %d MiB", $1, ($2 + 1023) / 1024}' "$dir/time"
}

echo "| size | sealkit seal | openssl enc | ratio | sealkit open | openssl enc -d | ratio |"
echo "|---|---|---|---|---|---|---|"
for mib in "${sizes[@]}"; do
    bytes=$(awk -v m="$mib" 'BEGIN { printf "%.0f", int(m * 1048576 / 16) * 16 }')
    head -c "$bytes" /dev/urandom >"$dir/plain"
    sync
    s=$(measure "$dir/sk.env" "$tool" seal --cipher aes-cbc --key-file "$dir/key" --in "$dir/plain")
    o=$(measure "$dir/ossl.enc" openssl enc -aes-128-cbc -nopad -K "$hexkey" -iv $iv -in "$dir/plain")
    rm -f "$dir/ossl.enc"
    so=$(measure "$dir/sk.plain" "$tool" open --cipher aes-cbc --key-file "$dir/key" --in "$dir/sk.env")
    cmp -s "$dir/sk.plain" "$dir/plain" || { echo "round trip failed at $mib MiB" >&2; exit 1; }
    rm -f "$dir/sk.plain"
    tail -c +2 "$dir/sk.env" >"$dir/body" && rm -f "$dir/sk.env"
    od_=$(measure "$dir/ossl.plain" openssl enc -d -aes-128-cbc -nopad -K "$hexkey" -iv $iv -in "$dir/body")
    rm -f "$dir/ossl.plain" "$dir/body"
    ratio() { awk -v a="${1%% s*}" -v b="${2%% s*}" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 0.01) }'; }
    echo "| $mib MiB | $s | $o | $(ratio "$s" "$o") | $so | $od_ | $(ratio "$so" "$od_") |"
done
