#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One big push through a private mosquitto: pushdemo's peak resident size
# above its idle size, in copies of the push, and its resident size a second
# after the push was printed.
#   bench/big_push.sh [PUSHDEMO] [MIB] [QOS]   (build/release/bin/pushdemo, 64, 1)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pushdemo=$(realpath -- "${1:-$root/build/release/bin/pushdemo}") mib=${2:-64} qos=${3:-1}
cd "$root"
. scripts/lib.sh
. client/identity.env
dir=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
start_broker "$dir"
pids+=("$broker_pid")
port=$broker_port
head -c $((mib << 20)) /dev/zero | tr '\0' 'a' >"$dir/payload"
OSTREL_SDK_SERVER=mqtt://127.0.0.1:$port OSTREL_SDK_TRACE=$dir/trace "$pushdemo" >"$dir/out" 2>"$dir/err" &
pid=$!
pids+=("$pid")
await_pushdemo "$pid" "$dir/trace" "$dir/err"
sleep 0.5
kib() { awk -v f="$1:" '$1 == f { print $2 }' "/proc/$pid/status"; }
idle=$(kib VmRSS)
mosquitto_pub -p "$port" -t "push/$PUSHDEMO_APP_ID" -q "$qos" -f "$dir/payload"
want=$(((mib << 20) + 11 + 15))  # the push's line and "start success."
printed() { (($(stat -c %s "$dir/out") >= want)); }
within 120 "pushdemo printing the push" printed
peak=$(kib VmHWM)
sleep 1
after=$(kib VmRSS)
awk -v m="$mib" -v q="$qos" -v i="$idle" -v p="$peak" -v a="$after" 'BEGIN {
    printf "push of %d MiB at QoS %d: peak %.2f copies above idle (%d MiB), %d MiB resident 1 s later\n",
           m, q, (p - i) / 1024 / m, i / 1024, a / 1024 }'
