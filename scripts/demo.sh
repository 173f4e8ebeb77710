#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The demo of ./build.sh demo, on a build tree that has pushdemo and
# seal_demo (default build/release):
#   scripts/demo.sh [BUILD_DIR]
# pushdemo against a private broker on a free loopback port, the sample
# pushes sent with mosquitto_pub, every other one to this client's own
# topic; then seal_demo. Every wait has a bound, and one that runs out says
# what did not happen; everything started is stopped by PID.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -- "${1:-$root/build/release}")
cd "$root"
. scripts/lib.sh
. client/identity.env

dir=$(mktemp -d)
pids=()
stop() {
    if ((${#pids[@]})); then { kill "${pids[@]}" && wait "${pids[@]}"; } 2>/dev/null || true; fi
    rm -rf "$dir"
}
trap stop EXIT

echo "== pushdemo through a private MQTT broker, pushes sent by mosquitto_pub"
start_broker "$dir"
pids+=("$broker_pid")
echo "broker: mosquitto on 127.0.0.1:$broker_port"
OSTREL_SDK_SERVER="mqtt://127.0.0.1:$broker_port" OSTREL_SDK_TRACE="$dir/trace" \
    "$build/bin/pushdemo" 2>"$dir/err" &
pids+=($!)
await_pushdemo "$!" "$dir/trace" "$dir/err" || exit 1
topic=push/$PUSHDEMO_APP_ID n=0
while IFS= read -r line; do
    t=$topic
    if ((n++ % 2)); then t=$topic/$PUSHDEMO_CLIENT_ID; fi
    echo "mosquitto_pub -t $t" >&2
    mosquitto_pub -h 127.0.0.1 -p "$broker_port" -q 1 -t "$t" -m "$(printf '%b' "$line")"
    sleep 0.3
done <client/sample_feed.txt
sleep 0.5
stop
pids=()

echo
echo "== seal_demo: one sample text through each cipher pair"
"$build/examples/seal_demo"
