# SPDX-License-Identifier: MIT
# The faults the cluster scenarios make, for cluster.sh (sourced): a node
# killed, paused or behind a black hole mid-stream, and a partition around
# a nemesis on the network of scripts/cluster/net.sh.

pause_node() { kill -STOP "$(node_pid "$1")"; }
continue_node() { kill -CONT "$(node_pid "$1")"; }
hole() { echo "hole ${proxy_port[$1]}" >"$dir/hole" && kill -USR1 "$proxy_pid"; }
delay() { echo "delay $1 $2" >"$dir/hole" && kill -USR1 "$proxy_pid"; }
unhole() { kill -USR2 "$proxy_pid"; }

# Publishes pushes FROM..TO through a node other than NODE and kills NODE
# with SIGKILL once a third of them arrived; restarts it; prints the result.
kill_mid_stream() {
    local label=$1 victim=$2 from=$3 to=$4 via
    via=$((victim % 3 + 1))
    [[ $via == "$(pushdemo_node)" && $victim != "$(pushdemo_node)" ]] && via=$((via % 3 + 1))
    publish "$via" "$from" "$to"
    a_third_arrived "$from" "$to" || return 1
    echo "cluster: killing node $victim (pushdemo's: $(pushdemo_node)), publishing through $via"
    stop_nodes KILL "$victim"
    start_node "$victim"
    published
    await_pushes "$from" "$to"
    wait_node "$victim"
    sed 's/^/cluster: /' "$dir/pub.err" | tail -3
    : >"$dir/pub.err"
    report "$label" "$from" "$to" || { diagnose; return 1; }
}

# Publishes pushes FROM..TO through a node other than NODE; once a third of
# them arrived, runs FAIL (pushdemo's node stops answering), and when all
# arrived or none came for BOUND (gray_bound unless given), MEND; then
# waits for the rest. Holds the gap under BOUND; the only pushes that may wait for MEND are
# those the failed node had already taken for pushdemo's old connection,
# the broker's prefetch of 10 at most (RabbitMQ 4.3 keeps them with a
# consumer on a node it cannot reach, rather than deliver them twice).
gray_mid_stream() {
    local label=$1 victim=$2 from=$3 to=$4 fail=$5 mend=$6 bound=${7:-$gray_bound} via mended
    via=$((victim % 3 + 1))
    publish "$via" "$from" "$to"
    a_third_arrived "$from" "$to" || return 1
    echo "cluster: $label on node $victim (pushdemo's), publishing through $via"
    $fail "$victim"
    published
    await_pushes "$from" "$to" "$bound"
    mended=$(now)
    $mend "$victim"
    await_pushes "$from" "$to"
    grep " lost: " "$dir/pushdemo.err" | tail -1
    local rc=0
    report "$label" "$from" "$to" "$mended" || { rc=1 && diagnose; }
    gap_under "$bound" || rc=1
    if ((held > 10)); then
        echo "cluster: $held pushes came only after the node was back"
        rc=1
    fi
    return "$rc"
}

# partition NAME SECONDS VIA NEMESIS...: publishes through nodes VIA around
# NEMESIS (which changes the rules and sleeps, for about SECONDS), heals,
# then counts.
partition() {
    local name=$1 seconds=$2 via=$3 count rc=0
    shift 3
    count=$((rate * (seconds + 13)))
    : >"$dir/pub.history"
    publish "$via" 1 "$count" "$rate"
    sleep 3
    mark nemesis "$name"
    "$@"
    heal
    mark heal
    echo "cluster: healed; waiting for the rest"
    published || rc=1
    await_pushes 1 "$count" "$heal_bound"
    write_history
    printf 'partition-%s: ' "$name"
    scripts/cluster/check.py "$dir/history" "$gap_bound" "$heal_bound" || rc=1
    if ((rc)); then
        keep_history=$dir/history
        diagnose
    fi
    return "$rc"
}
