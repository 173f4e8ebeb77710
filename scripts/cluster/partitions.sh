# SPDX-License-Identifier: MIT
# The partition scenarios, for cluster.sh (sourced), on the network of
# scripts/cluster/net.sh. In each,
# a publisher in its own namespace sends numbered pushes at QoS 1 through
# nodes of the majority, CLUSTER_RATE (100) a second, from 3 s before the
# nemesis until 10 s after the heal; pushdemo receives through all three
# nodes. Every event goes into a history (the publisher's sends, PUBACKs,
# timeouts and refusals; the nemesis and the heal; pushdemo's lost and
# regained connections and each push it printed), and scripts/cluster/check.py
# counts it: lost (acknowledged, never received) must be 0, the longest gap
# under gap_bound and the recovery after the heal under heal_bound
# (bounds.sh).

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
