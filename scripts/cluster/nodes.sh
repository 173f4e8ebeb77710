# SPDX-License-Identifier: MIT
# The cluster's nodes, for cluster.sh (sourced): the clock every record
# uses, installing and configuring RabbitMQ for one run (and its cleanup),
# starting, joining, stopping and asking the nodes.

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

# The node leading the session's quorum queue.
leader_node() {
    local leader
    leader=$(ctl 1 list_queues name leader | awk '/mqtt-subscription/ { print $2; exit }')
    echo "${leader:2:1}"  # sk<N>@host
}
