# SPDX-License-Identifier: MIT
# What runs against the cluster, for cluster.sh (sourced): pushdemo, the
# publisher, the proxies in front of the nodes and the fleet of clients.

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
