#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# pushdemo through a 3-node RabbitMQ cluster, private to one run:
#   scripts/cluster/cluster.sh [SCENARIO] [PUSHES]
# SCENARIO (default node-kill) is one of the scenario_* functions at the end,
# each described there; PUSHES (default 1000) is how many each publishes.
# The nodes, their data and logs live in a temporary directory, on free
# loopback ports, with their own Erlang port mapper and cookie; the system's
# RabbitMQ service is never used or started. The partition-* scenarios put
# each node, pushdemo and the publisher in a network namespace of its own
# instead (scripts/cluster/net.sh). Everything is stopped by PID and the
# directory removed on the way out (CLUSTER_KEEP=1 keeps it; a failed
# partition run keeps its history and says where).
# PUSHDEMO names the binary (default build/release/bin/pushdemo).
# Prints one line per run: sent, received, lost, duplicated, gap; exits 1 when
# a push was lost. Every wait has a bound, and a run that reaches one fails
# with a line that says what did not happen.
set -euo pipefail
cd "$(dirname "$0")/../.."
log_name=cluster
. scripts/lib.sh
. client/identity.env

scenario=${1:-node-kill}
pushes=${2:-1000}
pushdemo=${PUSHDEMO:-build/release/bin/pushdemo}
keepalive=${OSTREL_SDK_KEEPALIVE:-5}
# How soon the nodes find a hung peer (Erlang's net_ticktime, 60 s unless
# set): a session whose connection was on a hung node is handed to the
# client's new connection only then, whatever the client does.
net_ticktime=${CLUSTER_NET_TICKTIME:-8}
app_topic=push/$PUSHDEMO_APP_ID
rabbit=/usr/lib/rabbitmq/bin
declare -A host nodename
client=()  # what runs pushdemo: in its namespace, when there is one
if [[ $scenario == partition-* ]]; then
    . scripts/cluster/net.sh
    for i in 1 2 3; do host[$i]=${addr[$i]} nodename[$i]=sk$i@${addr[$i]}; done
    client=(nsenter --net="/run/netns/${ns[c]}" --)  # nsenter execs: $! is pushdemo
else
    for i in 1 2 3; do host[$i]=127.0.0.1 nodename[$i]=sk$i@localhost; done
fi

# The clock of every time the scripts record: CLOCK_BOOTTIME, which never
# steps (the tools written in Python read the same clock).
now() { local t _; read -r t _ </proc/uptime; echo "$t"; }
# Stamps each line of its input with the time.
stamp() { local line t _; while IFS= read -r line; do read -r t _ </proc/uptime; echo "$t $line"; done; }

# RabbitMQ and the MQTT clients, when missing. Without a way to install
# them there is nothing to run: 77 tells a test runner to count it as skipped.
install() {
    [[ -x $rabbit/rabbitmq-server ]] && command -v mosquitto_pub >/dev/null &&
        { [[ -z ${ns[1]:-} ]] || command -v nft >/dev/null; } && return
    [[ $(id -u) == 0 ]] || command -v sudo >/dev/null ||
        { echo "cluster: rabbitmq-server is not installed, and there is no sudo to install it" >&2; exit 77; }
    scripts/deps.sh cluster >/dev/null
}

# Makes the run's directory, its cleanup, and the three nodes'
# configurations on free ports.
configure() {
    [[ -x $pushdemo ]] || { echo "cluster: no pushdemo at $pushdemo (build first)" >&2; exit 2; }

    dir=$(mktemp -d "${TMPDIR:-/tmp}/sealkit-cluster.XXXXXX")
    pushdemo_pid=
    cleanup() {
        {
            [[ -n $pushdemo_pid ]] && kill -KILL "$pushdemo_pid"
            [[ -n ${proxy_pid:-} ]] && kill -KILL "$proxy_pid"
            ((${#fleet_pids[@]} == 0)) || kill -KILL "${fleet_pids[@]}"
            for i in 1 2 3; do pid=$(node_pid "$i") && kill -CONT "$pid"; done
            stop_nodes KILL 1 2 3
            [[ -n ${EPMD_PORT:-} && -z ${ns[1]:-} ]] && ERL_EPMD_PORT=$EPMD_PORT epmd -kill >/dev/null
            # What is left in the namespaces (each node's port mapper) goes with them.
            [[ -n ${net_made:-} ]] && for h in 1 2 3 c p; do ip netns pids "${ns[$h]}" | xargs -r kill -KILL; done
            wait
            [[ -n ${ns[1]:-} ]] && net_down
        } 2>/dev/null
        if [[ -n ${keep_history:-} ]]; then
            echo "cluster: the failed run's history is in $keep_history" >&2
        elif [[ ${CLUSTER_KEEP:-0} == 1 ]]; then echo "kept $dir" >&2; else rm -rf "$dir"; fi
    }
    trap cleanup EXIT

    # Session expiry is named differently from 3.13 on.
    version=$(dpkg-query -W -f='${Version}' rabbitmq-server)
    if dpkg --compare-versions "$version" lt 3.13; then
        expiry="mqtt.subscription_ttl = 86400000"
    else
        expiry="mqtt.max_session_expiry_interval_seconds = 86400"
    fi

    export HOME=$dir/home ERL_EPMD_PORT
    take_port EPMD_PORT
    ERL_EPMD_PORT=$EPMD_PORT
    mkdir -p "$HOME"
    od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$HOME/.erlang.cookie"
    chmod 400 "$HOME/.erlang.cookie"
    declare -gA mqtt_port
    for i in 1 2 3; do
        take_port amqp && take_port dist && take_port "mqtt_port[$i]"
        mkdir -p "$dir/n$i"
        echo "[rabbitmq_mqtt]." >"$dir/n$i/plugins"
        # Quorum queues keep a session's pushes through the loss of a node.
        # With pause_minority, a node cut from the others closes its clients'
        # connections, so that they move to the majority at once rather than
        # wait on a node that can deliver nothing.
        cat >"$dir/n$i/rabbitmq.conf" <<EOF
listeners.tcp.1 = ${host[$i]}:$amqp
mqtt.listeners.tcp.1 = ${host[$i]}:${mqtt_port[$i]}
mqtt.durable_queue_type = quorum
cluster_partition_handling = ${CLUSTER_PARTITION_HANDLING:-pause_minority}
$expiry
loopback_users = none
EOF
        [[ -z ${ns[1]:-} ]] || echo "RABBITMQ_USE_LONGNAME=true" >"$dir/n$i/env"
        cat >>"$dir/n$i/env" <<EOF
RABBITMQ_NODENAME=${nodename[$i]}
RABBITMQ_NODE_IP_ADDRESS=${host[$i]}
RABBITMQ_NODE_PORT=$amqp
RABBITMQ_DIST_PORT=$dist
RABBITMQ_MNESIA_BASE=$dir/n$i/mnesia
RABBITMQ_PID_FILE=$dir/n$i/pid
ERL_CRASH_DUMP=$dir/n$i/erl_crash.dump
RABBITMQ_LOG_BASE=$dir/n$i/log
RABBITMQ_CONFIG_FILE=$dir/n$i/rabbitmq.conf
RABBITMQ_ENABLED_PLUGINS_FILE=$dir/n$i/plugins
RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS='-kernel inet_dist_use_interface {${host[$i]//./,}} -kernel net_ticktime $net_ticktime'
ERL_EPMD_ADDRESS=$(printf '%s\n' 127.0.0.1 "${host[$i]}" | sort -u | paste -sd,)
EOF
    done
}

in_node() {  # in_node I COMMAND...: runs COMMAND with node I's environment, in its namespace
    local i=$1
    shift
    if [[ -n ${ns[1]:-} ]]; then set -- in_ns "$i" "$@"; fi
    (set -a && . "$dir/n$i/env" && "$@")
}
ctl() { in_node "$1" "$rabbit/rabbitmqctl" -q -n "${nodename[$1]}" "${@:2}"; }
node_pid() { cat "$dir/n$1/pid" 2>/dev/null; }
start_node() { in_node "$1" "$rabbit/rabbitmq-server" >>"$dir/n$1/out" 2>&1 & }
gone() { ! kill -0 "$1" 2>/dev/null; }
# Waits until node I takes MQTT connections.
wait_node() {
    within 120 "node $1 taking MQTT connections" node_listens "$1" && return
    echo "cluster: see $dir/n$1" >&2
    tail -20 "$dir/n$1/out" >&2
    return 1
}
# stop_nodes SIGNAL I...: signals them all, then waits for each; one still
# there 60 s later is killed.
stop_nodes() {
    local sig=$1 pids=() pid i
    shift
    for i in "$@"; do
        pid=$(node_pid "$i") && kill -"$sig" "$pid" 2>/dev/null && pids+=("$pid")
    done
    for pid in "${pids[@]}"; do
        within 60 "node process $pid ending after SIG$sig" gone "$pid" && continue
        kill -KILL "$pid" 2>/dev/null
        within 10 "node process $pid ending after SIGKILL" gone "$pid" || true
    done
    return 0
}
node_listens() {
    if [[ -n ${ns[1]:-} ]]; then listens_in "$1" "${host[$1]}" "${mqtt_port[$1]}"; else listens "${mqtt_port[$1]}"; fi
}
server() { echo "${host[$1]}:${mqtt_port[$1]}"; }
url() { echo "mqtt://$(server "$1")"; }

# Three nodes, started together; the second and third join the first.
start_cluster() {
    local t0 i
    t0=$(now)
    for i in 1 2 3; do start_node "$i"; done
    for i in 1 2 3; do wait_node "$i"; done
    for i in 2 3; do
        ctl "$i" stop_app && ctl "$i" join_cluster "${nodename[1]}" && ctl "$i" start_app
        wait_node "$i"
    done
    awk -v v="$version" -v t="$(awk -v a="$t0" -v b="$(now)" 'BEGIN { print b - a }')" \
        'BEGIN { printf "cluster: 3 nodes (RabbitMQ %s) up and joined in %.1f s\n", v, t }'
}

# pushdemo on all three nodes (through `servers`, when set); each line it
# prints is stamped with the time.
start_pushdemo() {
    : >"$dir/recv"
    OSTREL_SDK_SERVER="${servers:-$(url 1),$(url 2),$(url 3)}" OSTREL_SDK_TRACE="$dir/trace" \
        "${client[@]}" "$pushdemo" 2> >(stamp >>"$dir/pushdemo.err") > >(stamp >>"$dir/recv") &
    pushdemo_pid=$!
    if within 60 "pushdemo printing start success." started; then
        echo "cluster: pushdemo started on node $(pushdemo_node)"
        return
    fi
    cat "$dir/pushdemo.err" >&2
    return 1
}
# Whether pushdemo printed start success; false at once when it died.
started() {
    grep -q "start success." "$dir/recv" && return
    kill -0 "$pushdemo_pid" 2>/dev/null || { echo "cluster: pushdemo died" >&2; return 2; }
    return 1
}

# The node pushdemo is connected to now, from its trace.
pushdemo_node() {
    local at i
    at=$(grep -o 'mqtt connect mqtt://[0-9.]*:[0-9]*' "$dir/trace" | tail -1 | sed 's,.*//,,')
    for i in 1 2 3; do
        if [[ $(server "$i") == "$at" || 127.0.0.1:${proxy_port[$i]:-} == "$at" ]]; then echo "$i"; fi
    done
}

# The node leading the session's quorum queue.
leader_node() {
    local leader
    leader=$(ctl 1 list_queues name leader | awk '/mqtt-subscription/ { print $2; exit }')
    echo "${leader:2:1}"  # sk<N>@host
}

# Publishes pushes FROM..TO (numbered) at QoS 1 through node I (or the
# first of nodes I, separated by commas, that takes it), RATE a second
# (2,000 unless given), in the background; the publisher ends once the
# broker acknowledged each one (scripts/cluster/mqtt_publish.py), so that a
# push the broker never took is a failed run, not a push the client lost.
# In the partition scenarios it runs in a namespace of its own.
publish() {
    local via=() i in=()
    for i in ${1//,/ }; do via+=("$(server "$i")"); done
    [[ -z ${ns[1]:-} ]] || in=(nsenter --net="/run/netns/${ns[p]}" --)
    PUBLISH_HISTORY=$dir/pub.history "${in[@]}" /usr/bin/python3 scripts/cluster/mqtt_publish.py \
        "$(IFS=, && echo "${via[*]}")" "$app_topic" "$2" "$3" ${4:+"$4"} 2>>"$dir/pub.err" &
    publisher=$!
}
# Waits for the publisher; a publisher that gave up fails the run.
published() {
    wait "$publisher" && return
    echo "cluster: the publisher gave up; see below" >&2
    tail -5 "$dir/pub.err" >&2
    return 1
}

# The pushes pushdemo printed, in order, one "TIME NUMBER" line each: the one
# reading of its output.
recv_pushes() { awk '/recv push:/ { n = $0; sub(/.*recv push:/, "", n); print $1, n + 0 }' "$dir/recv"; }
received() { recv_pushes | wc -l; }
received_at_least() { (($(received) >= $1)); }

# Waits until a third of pushes FROM..TO reached pushdemo, at most 60 s.
a_third_arrived() {
    local from=$1 to=$2 n=$((($2 - $1 + 1) / 3 + $1 - 1))
    within 60 "$((n - from + 1)) of pushes $from..$to reaching pushdemo" received_at_least "$n" &&
        return
    echo "cluster: $(received) pushes arrived in all; pushdemo's topics may not match the publisher's" >&2
    diagnose >&2
    return 1
}

# Waits until pushes FROM..TO all arrived, or nothing new came for STALL
# seconds (30 unless given).
await_pushes() {
    local want=$(($2 - $1 + 1)) last=-1 still=0 got stall
    stall=$(awk -v s="${3:-30}" 'BEGIN { print int(10 * s) }')
    for ((;;)); do
        got=$(recv_pushes | awk -v a="$1" -v b="$2" '$2 >= a && $2 <= b && !seen[$2]++ { c++ }
              END { print c + 0 }')
        ((got >= want)) && return
        if ((got == last)); then ((++still >= stall)) && return; else still=0; fi
        last=$got
        sleep 0.1
    done
}

# The figures of pushes FROM..TO, in the variables sent, total (received),
# lost, dup (duplicated), gap (the longest pause between two deliveries,
# in seconds) and held; then one line with them. Fails when any was lost.
# With MENDED (a time), the pause counts only deliveries up to then, and the
# pushes that first came after it are counted as held.
report() {
    local label=$1 from=$2 to=$3 mended=${4:-}
    read -r sent total lost dup gap held < <(recv_pushes | awk -v a="$from" -v b="$to" -v mended="$mended" '
        $2 < a || $2 > b { next }
        { total++ }
        seen[$2]++ { dup++; next }
        mended != "" && $1 > mended { held++; next }
        { if (prev != "" && $1 - prev > gap) gap = $1 - prev; prev = $1 }
        END { sent = b - a + 1; printf "%d %d %d %d %.2f %d\n", sent, total, sent - (total - dup), dup, gap, held }')
    printf '%s: sent %d, received %d, lost %d, duplicated %d, gap %.2f s' \
        "$label" "$sent" "$total" "$lost" "$dup" "$gap"
    [[ -z $mended ]] || printf ', held until the node was back %d' "$held"
    printf '\n'
    ((lost == 0))
}

# What a failed run leaves to read: the session's queue as each live node
# sees it, the publisher's and pushdemo's last words.
diagnose() {
    local i
    for i in 1 2 3; do
        kill -0 "$(node_pid "$i")" 2>/dev/null || continue
        echo "cluster: queues as node $i sees them:"
        ctl "$i" list_queues name type leader members messages_ready messages_unacknowledged consumers \
            2>&1 | sed 's/^/  /'
        break
    done
    tail -5 "$dir/pub.err" 2>/dev/null | sed 's/^/publisher: /'
    tail -5 "$dir/pushdemo.err" | sed 's/^/pushdemo: /'
}

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

# Fails when report's gap is BOUND seconds or more.
gap_under() {
    awk -v g="$gap" -v bound="$1" 'BEGIN {
        if (g >= bound) { printf "cluster: gap %.2f s, not under %.1f s\n", g, bound; exit 1 } }'
}

# Publishes pushes FROM..TO through a node other than NODE; once a third of
# them arrived, runs FAIL (pushdemo's node stops answering), and when all
# arrived or none came for the bound, MEND; then waits for the rest. Holds
# the gap under 2.5 keepalives; the only pushes that may wait for MEND are
# those the failed node had already taken for pushdemo's old connection,
# the broker's prefetch of 10 at most (RabbitMQ 4.3 keeps them with a
# consumer on a node it cannot reach, rather than deliver them twice).
gray_mid_stream() {
    local label=$1 victim=$2 from=$3 to=$4 fail=$5 mend=$6 floor=${7:-0} via bound mended
    via=$((victim % 3 + 1))
    bound=$(awk -v k="$keepalive" -v f="$floor" 'BEGIN { b = 2.5 * k; print (b > f ? b : f) }')
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
pause_node() { kill -STOP "$(node_pid "$1")"; }
continue_node() { kill -CONT "$(node_pid "$1")"; }
hole() { echo "hole ${proxy_port[$1]}" >"$dir/hole" && kill -USR1 "$proxy_pid"; }
delay() { echo "delay $1 $2" >"$dir/hole" && kill -USR1 "$proxy_pid"; }
unhole() { kill -USR2 "$proxy_pid"; }

# pushdemo started again until the session's queue leads elsewhere than on
# its node, so that a node's trouble is not also the queue's.
away_from_leader() {
    local try
    for try in $(seq 20); do
        [[ $(leader_node) != "$(pushdemo_node)" ]] && break
        { kill -KILL "$pushdemo_pid" && wait "$pushdemo_pid"; } 2>/dev/null || true
        start_pushdemo
    done
    echo "cluster: the session's queue leads on node $(leader_node)"
}

# A proxy of this script's own in front of each node (proxy.py), in
# pushdemo's namespace when it has one, which `hole N` makes carry nothing
# without closing, `delay MS JITTER` slow, and `unhole` undoes; pushdemo is
# given the proxies as its servers.
start_proxy() {
    local pairs=() i
    declare -gA proxy_port
    for i in 1 2 3; do
        take_port "proxy_port[$i]"
        pairs+=("${proxy_port[$i]}:$(server "$i")")
    done
    PROXY_LOG=$dir/accepted "${client[@]}" /usr/bin/python3 scripts/cluster/proxy.py "$dir/hole" "${pairs[@]}" \
        2>>"$dir/proxy.err" &
    proxy_pid=$!
    proxy_up() { if [[ -n ${ns[1]:-} ]]; then listens_in c 127.0.0.1 "$1"; else listens "$1"; fi; }
    for i in 1 2 3; do within 30 "the proxy listening for node $i" proxy_up "${proxy_port[$i]}"; done
    servers="mqtt://127.0.0.1:${proxy_port[1]},mqtt://127.0.0.1:${proxy_port[2]},mqtt://127.0.0.1:${proxy_port[3]}"
}

# The node each fleet client is connected to: the last node it connected to.
fleet_nodes() {
    local f
    for f in "$dir"/fleet/*.trace; do
        awk '/mqtt connect / { url = $3 } /mqtt connected 0/ { at = url } END { print at }' "$f"
    done | sed 's/.*://' | while read -r port; do
        # if, not &&: the loop's status is its last command's, and a false
        # test there would fail an assignment from this under set -e.
        for i in 1 2 3; do if [[ ${proxy_port[$i]} == "$port" ]]; then echo "$i"; fi; done
    done
}

fleet_started() { (($(cat "$dir"/fleet/*.trace 2>/dev/null | grep -c "OstrelStart() = 0") == fleet)); }
# Whether every fleet client is connected to one of nodes 2 and 3.
fleet_moved() { (($(fleet_nodes | grep -c '^[23]$') == fleet)); }

# ---------------------------------------------------------------------------
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
# gap in delivery must stay under 1.25 times the nodes' net_ticktime
# (CLUSTER_NET_TICKTIME, 8 s here) or 2.5 keepalives, whichever is more:
# the session's pushes flow again only once the cluster has found the hung
# node. Pushes the failed node had already taken for pushdemo's connection
# (10 at most) may wait until it is back; no other may.
scenario_node_pause() {
    start_pushdemo
    away_from_leader
    gray_mid_stream node-pause "$(pushdemo_node)" 1 "$pushes" pause_node continue_node \
        "$(awk -v t="$net_ticktime" 'BEGIN { print 1.25 * t }')"
}

# node-blackhole: pushdemo's path to its node stops carrying anything without
# closing, and carries again after. The longest gap in delivery must stay
# under 2.5 times OSTREL_SDK_KEEPALIVE (5 s, so 12.5 s; 5 s with 2): the
# client has moved to another node within 1.5 keepalives.
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

# ---------------------------------------------------------------------------
# The partition scenarios, on the network of scripts/cluster/net.sh. In each,
# a publisher in its own namespace sends numbered pushes at QoS 1 through
# nodes of the majority, CLUSTER_RATE (100) a second, from 3 s before the
# nemesis until 10 s after the heal; pushdemo receives through all three
# nodes. Every event goes into a history (the publisher's sends, PUBACKs,
# timeouts and refusals; the nemesis and the heal; pushdemo's lost and
# regained connections and each push it printed), and scripts/cluster/check.py
# counts it: lost (acknowledged, never received) must be 0, the longest gap
# under GAP_BOUND and the recovery after the heal under HEAL_BOUND.
#
# The bounds come from the settings: the keepalive k (2 s in the tests), the
# nodes' net_ticktime t (8 s) and the Raft election e of a quorum queue
# whose leader was lost (5 s, RabbitMQ's own failure detector and timeout):
# - the gap: a node cut from the others finds so after t to 1.25 t of
#   silence, by Erlang's ticks, when its links are idle; on busy links it
#   took longer (RabbitMQ 4.0 on Erlang 27: 16 to 23 s at t = 8 s under
#   these 100 pushes a second, likely as writes stayed pending; 3.10:
#   within 10 s), so 3 t. Under pause_minority it then closes its
#   clients' connections; pushdemo's probe finds a silent path within
#   1.5 k; its next attempt may meet a paused node (one k more); the
#   session's queue may need an election. 3 t + 2.5 k + e.
# - the recovery: a paused node starts again once it sees the majority (each
#   second), which takes about as long as a node's start; the pushes it held
#   for pushdemo's old connection (its prefetch) come back with it, after
#   the cluster noticed the old connection gone (1.25 t). 1.25 t + 2 e + 10.
rate=${CLUSTER_RATE:-100}
gap_bound=$(awk -v k="$keepalive" -v t="$net_ticktime" 'BEGIN { print 3 * t + 2.5 * k + 5 }')
heal_bound=$(awk -v t="$net_ticktime" 'BEGIN { print 1.25 * t + 20 }')

mark() { echo "$(now) $*" >>"$dir/marks"; }
# The run's history, from the files each part wrote, in time order.
write_history() {
    {
        cat "$dir/pub.history" "$dir/marks" 2>/dev/null
        recv_pushes | awk '{ print $1, "recv", $2 }'
        awk '/ lost: / { print $1, "lost" } / reconnected to / { print $1, "back" }' "$dir/pushdemo.err"
    } | sort -n -k1,1 >"$dir/history"
}
others() { local i; for i in 1 2 3; do [[ $i == "$1" ]] || echo "$i"; done | paste -sd,; }

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
    awk '$2 == "lost" { l++ } $2 == "back" { b++ } $2 == "timeout" { t++ } $2 == "refused" { r++ }
         END { printf "pushdemo lost its connection %d times and regained it %d; the publisher saw %d timeouts and %d refusals\n", l, b, t, r }' \
        "$dir/history"
    if ((rc)); then
        keep_history=$dir/history
        diagnose
    fi
    return "$rc"
}

# minority: pushdemo's node is cut from the two others for 45 s, longer than
# the gap's bound, so that a client left on a minority node that delivers
# nothing fails the run; pushdemo's link to it stays up.
scenario_partition_minority() {
    start_pushdemo
    local k
    k=$(pushdemo_node)
    isolate() {
        echo "cluster: node $1 (pushdemo's) cut from nodes $(others "$1")"
        for o in $(others "$1" | tr , ' '); do sever "$1" "$o"; done
        sleep 45
    }
    partition minority 45 "$(others "$k")" isolate "$k"
}

# one-way: the packets from pushdemo's node to pushdemo are dropped for 15 s,
# while the other direction flows; after 5 s whole, the reverse on the node
# it is on then.
scenario_partition_one_way() {
    start_pushdemo
    one_way() {
        local k
        k=$(pushdemo_node)
        echo "cluster: node $k's packets to pushdemo dropped"
        sever_one "$k" c
        sleep 15
        heal
        mark heal
        sleep 5
        k=$(pushdemo_node)
        echo "cluster: pushdemo's packets to node $k dropped"
        mark nemesis reverse
        sever_one c "$k"
        sleep 15
    }
    partition one-way 35 "$(others "$(pushdemo_node)")" one_way
}

# bridge: node 1 sees nodes 2 and 3, which do not see each other, for 20 s.
scenario_partition_bridge() {
    start_pushdemo
    split_2_3() {
        echo "cluster: nodes 2 and 3 cut from each other; node 1 sees both (pushdemo is on node $(pushdemo_node))"
        sever 2 3
        sleep 20
    }
    partition bridge 20 1,2,3 split_2_3
}

# flapping: random partitions of the three nodes, each 1 to 5 s, for
# CLUSTER_FLAP_SECONDS (60; the tests take 30); CLUSTER_SEED replays a run.
scenario_partition_flapping() {
    local seed=${CLUSTER_SEED:-$((SRANDOM % 100000))} seconds=${CLUSTER_FLAP_SECONDS:-60}
    echo "cluster: flapping for $seconds s, seed $seed (CLUSTER_SEED=$seed replays it)"
    RANDOM=$seed
    start_pushdemo
    flap() {
        local end=$((SECONDS + seconds)) k d what
        while ((SECONDS < end)); do
            heal
            k=$((RANDOM % 3 + 1)) d=$((RANDOM % 5 + 1))
            case $((RANDOM % 3)) in
                0) for o in $(others "$k" | tr , ' '); do sever "$k" "$o"; done && what="node $k alone" ;;
                1) sever $(others "$k" | tr , ' ') && what="node $k the bridge" ;;
                *) what="whole" ;;
            esac
            mark flap "$what, $d s"
            echo "cluster: $what for $d s"
            sleep "$d"
        done
    }
    partition flapping "$seconds" 1,2,3 flap
}

# lossy: 20% of the packets to and from pushdemo dropped, and each chunk on
# its path held 300 +- 100 ms, for 30 s. The kernel's netem would delay the
# packets themselves; the delay is proxy.py's (in pushdemo's namespace),
# since kernels without netem (CONFIG_NET_SCH_NETEM) are common in
# sandboxes and CI; the loss is on the bridge.
scenario_partition_lossy() {
    start_proxy
    start_pushdemo
    slow() {
        echo "cluster: 20% loss and 300 +- 100 ms on pushdemo's path (it is on node $(pushdemo_node))"
        lossy c 20
        delay 300 100
        sleep 30
        unhole
    }
    partition lossy 30 "$(others "$(pushdemo_node)")" slow
}

run=scenario_${scenario//-/_}
if ! declare -F "$run" >/dev/null; then
    echo "usage: $0 [$(declare -F | sed -n 's/^declare -f scenario_//p' | tr _ - | paste -sd'|')] [PUSHES]" >&2
    exit 2
fi
fleet_pids=()
install
[[ -z ${ns[1]:-} ]] || net_up
configure
start_cluster
"$run"
