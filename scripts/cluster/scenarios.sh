# SPDX-License-Identifier: MIT
# The cluster scenarios but the partitions, for cluster.sh (sourced).
# The scenarios. scenario_NAME runs SCENARIO NAME (dashes as underscores);
# the usage lists them. Each starts what it needs beyond the cluster.

# node-kill: pushdemo's node is killed with SIGKILL mid-stream, then restarted.
scenario_node_kill() {
    start_pushdemo
    kill_mid_stream node-kill "$(pushdemo_node)" 1 "$pushes"
}

# leader-kill: the node leading the session's quorum queue is killed instead.
scenario_leader_kill() {
    start_pushdemo
    # The queue's leader starts where the session was made.
    away_from_leader
    kill_mid_stream leader-kill "$(leader_node)" 1 "$pushes"
}

# node-pause: pushdemo's node is stopped (SIGSTOP) mid-stream, while the
# session's queue leads on another node, and continued after. The longest
# gap in delivery must stay under pause_bound (bounds.sh). Pushes the failed node had already taken for pushdemo's connection
# (10 at most) may wait until it is back; no other may.
scenario_node_pause() {
    start_pushdemo
    away_from_leader
    gray_mid_stream node-pause "$(pushdemo_node)" 1 "$pushes" pause_node continue_node "$pause_bound"
}

# node-blackhole: pushdemo's path to its node stops carrying anything without
# closing, and carries again after. The longest gap in delivery must stay
# under gray_bound (bounds.sh).
scenario_node_blackhole() {
    start_proxy
    start_pushdemo
    gray_mid_stream node-blackhole "$(pushdemo_node)" 1 "$pushes" hole unhole
}

# all-down: every node is down for 10 s; pushes published after they return
# must arrive.
scenario_all_down() {
    start_pushdemo
    # Stopped, not killed: a quorum queue whose every member died at once
    # may wait for a leader for good (RabbitMQ 3.10).
    stop_nodes TERM 1 2 3
    echo "cluster: all nodes down"
    sleep 10
    kill -0 "$pushdemo_pid" || { echo "cluster: pushdemo died" >&2; return 1; }
    for i in 1 2 3; do start_node "$i"; done
    for i in 1 2 3; do wait_node "$i"; done
    echo "cluster: all nodes back"
    publish 1 1 "$pushes"
    published
    await_pushes 1 "$pushes"
    grep -q "reconnected" "$dir/pushdemo.err" || { echo "cluster: no reconnect" >&2; return 1; }
    report all-down 1 "$pushes" || { diagnose; return 1; }
}

# bench: throughput against mosquitto_sub, the delivery gap over 5 kills,
# memory per node.
scenario_bench() {
    start_pushdemo
    # Throughput: the same pushes to pushdemo and to mosquitto_sub, each
    # on a persistent QoS 1 session of its own.
    mosquitto_sub -h 127.0.0.1 -p "${mqtt_port[2]}" -q 1 -c -i bench-sub -t "$app_topic" \
        > >(stamp >>"$dir/sub") &
    sub_pid=$!
    sleep 1
    t0=$(now)
    seq 1 "$pushes" | mosquitto_pub -h 127.0.0.1 -p "${mqtt_port[3]}" -q 1 -t "$app_topic" -l
    await_pushes 1 "$pushes"
    sub_done() { (($(wc -l <"$dir/sub") >= pushes)); }
    within 120 "mosquitto_sub receiving all $pushes pushes" sub_done || return 1
    t_push=$(recv_pushes | tail -1 | cut -d' ' -f1)
    t_sub=$(tail -1 "$dir/sub" | cut -d' ' -f1)
    kill "$sub_pid"
    awk -v n="$pushes" -v t0="$t0" -v a="$t_push" -v b="$t_sub" 'BEGIN {
        printf "throughput: pushdemo %.0f/s, mosquitto_sub %.0f/s, ratio %.2f\n",
               n / (a - t0), n / (b - t0), (b - t0) / (a - t0) }'
    report throughput 1 "$pushes"
    # The delivery gap at a node kill, 5 times.
    local gaps=()
    for k in 1 2 3 4 5; do
        from=$((pushes + (k - 1) * 2000 + 1))
        kill_mid_stream "kill $k" "$(pushdemo_node)" "$from" $((from + 1999)) >"$dir/kill.out" ||
            { cat "$dir/kill.out"; return 1; }
        tail -1 "$dir/kill.out"
        gaps+=("$gap")
    done
    printf '%s\n' "${gaps[@]}" | sort -n |
        awk '{ g[NR] = $1 } END { printf "gap at a kill: p50 %.2f s, max %.2f s\n", g[int((NR + 1) / 2)], g[NR] }'
    for i in 1 2 3; do
        printf 'node %d: %d MiB resident\n' "$i" $(($(ps -o rss= -p "$(node_pid "$i")") / 1024))
    done
}

# fleet: 20 pushdemos with their own client ids, all started on node 1 (the
# others behind a black hole meanwhile): after node 1 is killed, neither
# other node may take more than 0.85 of them; after all are down for 20 s,
# no second after the first two may hold a third of the reconnect attempts.
scenario_fleet() {
    local fleet=20 c
    start_proxy
    # Started while nodes 2 and 3 answer nothing, every client ends up on
    # node 1; when it dies, where they go is the spread of failover alone.
    mkdir -p "$dir/fleet"
    for i in 2 3; do hole "$i" && sleep 0.3; done
    fleet_pids=()
    for c in $(seq -w 1 $fleet); do
        OSTREL_SDK_SERVER=$servers OSTREL_SDK_CLIENT_ID=fleet-$c OSTREL_SDK_TRACE=$dir/fleet/$c.trace \
            OSTREL_SDK_CONNECT_TIMEOUT=6 "$pushdemo" >/dev/null 2>>"$dir/fleet/$c.err" &
        fleet_pids+=($!)
    done
    within 60 "$fleet clients starting" fleet_started || return 1
    unhole
    echo "cluster: $fleet clients, per node: $(fleet_nodes | sort | uniq -c | awk '{ printf "%s:%s ", $2, $1 }')"
    stop_nodes KILL 1
    within 30 "every client of node 1 moving to node 2 or 3" fleet_moved || return 1
    shares=$(fleet_nodes | sort | uniq -c | awk '{ printf "%s:%s ", $2, $1 }')
    largest=$(fleet_nodes | sort | uniq -c | sort -n | tail -1 | awk '{ print $1 }')
    echo "cluster: node 1 killed; after failover, per node: $shares"
    start_node 1
    wait_node 1
    mark=$(now)
    # Long enough that the rounds every client makes at once when its node
    # goes are not what the busiest second measures.
    stop_nodes TERM 1 2 3
    sleep 20
    for i in 1 2 3; do start_node "$i"; done
    for i in 1 2 3; do wait_node "$i"; done
    sleep 15
    # Every client tries each node at once when its node goes, and again
    # after the first short waits: that burst, in the 2 s after the stop, is
    # by design. After it, no second may hold a third of the attempts.
    awk -v m="$mark" -v f="$fleet" -v largest="$largest" '$1 > m + 2 { n++; s[int($1)]++ }
        $1 > m && $1 <= m + 2 { burst++ }
        END { for (t in s) if (s[t] > b) b = s[t]
        printf "fleet: largest share after a node kill %d of %d (%.2f); after a 20 s outage, %d attempts in the first 2 s, then %d, busiest second %d (%.0f%%)\n", largest, f, largest / f, burst, n, b, n ? 100 * b / n : 0
        exit !(largest <= 0.85 * f && n > 0 && b * 3 < n) }' "$dir/accepted"
}

