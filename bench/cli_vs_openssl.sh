#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The sealkit command against `openssl enc` on the same data, side by side:
# AES-128-CBC, zero IV, block-aligned random input. The first table reads a
# file and writes standard output to a file; the second reads a pipe (so the
# length is not known up front) and writes a file or a pipe. Prints wall time
# and peak RSS of each (a pipeline's largest process) as Markdown tables.
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

# $dir/plain: MIB MiB of random bytes, cut to whole blocks, on disk.
make_plain() {
    local bytes
    bytes=$(awk -v m="$1" 'BEGIN { printf "%.0f", int(m * 1048576 / 16) * 16 }')
    head -c "$bytes" /dev/urandom >"$dir/plain"
    sync
}

ratio() { awk -v a="${1%% s*}" -v b="${2%% s*}" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 0.01) }'; }

echo "| size | sealkit seal | openssl enc | ratio | sealkit open | openssl enc -d | ratio |"
echo "|---|---|---|---|---|---|---|"
for mib in "${sizes[@]}"; do
    make_plain "$mib"
    s=$(measure "$dir/sk.env" "$tool" seal --cipher aes-cbc --key-file "$dir/key" --in "$dir/plain")
    o=$(measure "$dir/ossl.enc" openssl enc -aes-128-cbc -nopad -K "$hexkey" -iv $iv -in "$dir/plain")
    rm -f "$dir/ossl.enc"
    so=$(measure "$dir/sk.plain" "$tool" open --cipher aes-cbc --key-file "$dir/key" --in "$dir/sk.env")
    cmp -s "$dir/sk.plain" "$dir/plain" || { echo "round trip failed at $mib MiB" >&2; exit 1; }
    rm -f "$dir/sk.plain"
    tail -c +2 "$dir/sk.env" >"$dir/body" && rm -f "$dir/sk.env"
    od_=$(measure "$dir/ossl.plain" openssl enc -d -aes-128-cbc -nopad -K "$hexkey" -iv $iv -in "$dir/body")
    rm -f "$dir/ossl.plain" "$dir/body"
    echo "| $mib MiB | $s | $o | $(ratio "$s" "$o") | $so | $od_ | $(ratio "$so" "$od_") |"
done

# The same through pipes: `cat plain |` in front, `| cat >` behind where the
# output is a pipe.
pipe=(bash -c 'set -o pipefail; cat "$0" | "$@"')
topipe=(bash -c 'set -o pipefail; cat "$0" | "$@" | cat')
echo
echo "| size | seal, pipe to file | openssl enc | ratio | seal, pipe to pipe | openssl enc | ratio | open, pipe to pipe | openssl enc -d | ratio |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for mib in "${sizes[@]}"; do
    make_plain "$mib"
    sk=("$tool" seal -c aes-cbc -k "$dir/key")
    os=(openssl enc -aes-128-cbc -nopad -K "$hexkey" -iv $iv)
    s=$(measure "$dir/sk.env" "${pipe[@]}" "$dir/plain" "${sk[@]}")
    o=$(measure "$dir/ossl.enc" "${pipe[@]}" "$dir/plain" "${os[@]}")
    sp=$(measure "$dir/sk.env2" "${topipe[@]}" "$dir/plain" "${sk[@]}")
    op=$(measure "$dir/ossl.enc" "${topipe[@]}" "$dir/plain" "${os[@]}")
    cmp -s "$dir/sk.env" "$dir/sk.env2" || { echo "pipe outputs differ at $mib MiB" >&2; exit 1; }
    rm -f "$dir/ossl.enc" "$dir/sk.env2" "$dir/plain"
    so=$(measure "$dir/sk.plain" "${topipe[@]}" "$dir/sk.env" "$tool" open -c aes-cbc -k "$dir/key")
    rm -f "$dir/sk.plain"
    tail -c +2 "$dir/sk.env" >"$dir/body" && rm -f "$dir/sk.env"
    od_=$(measure "$dir/ossl.plain" "${topipe[@]}" "$dir/body" "${os[@]}" -d)
    rm -f "$dir/ossl.plain" "$dir/body"
    echo "| $mib MiB | $s | $o | $(ratio "$s" "$o") | $sp | $op | $(ratio "$sp" "$op") | $so | $od_ | $(ratio "$so" "$od_") |"
done