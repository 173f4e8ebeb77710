# SPDX-License-Identifier: MIT
# The settings that bound what the cluster scenarios measure, and each
# bound derived from them, once (sourced by cluster.sh).

keepalive=${OSTREL_SDK_KEEPALIVE:-5}
# How soon the nodes find a hung peer (Erlang's net_ticktime, 60 s unless
# set): a session whose connection was on a hung node is handed to the
# client's new connection only then, whatever the client does.
net_ticktime=${CLUSTER_NET_TICKTIME:-8}
# A quorum queue's Raft election once its leader was lost, in seconds:
# RabbitMQ's own failure detector and timeout.
election=5
# The partition scenarios' publishing rate, pushes a second.
rate=${CLUSTER_RATE:-100}

calc() { awk -v k="$keepalive" -v t="$net_ticktime" -v e="$election" "BEGIN { print $1 }"; }

# node-blackhole, node-pause: the client has moved to another node within
# 1.5 keepalives of its node's silence, and its next try may take one more:
# 2.5 k. node-pause: the session's pushes flow again only once the cluster
# has found the hung node, after 1.25 t; the larger of the two.
gray_bound=$(calc '2.5 * k')
pause_bound=$(calc '(1.25 * t > 2.5 * k) ? 1.25 * t : 2.5 * k')

# The partition scenarios (partitions.sh): the longest gap (GAP_BOUND) and
# the recovery after the heal (HEAL_BOUND) that scripts/cluster/check.py holds them to.
# The bounds come from the settings: the keepalive k (2 s in the tests), the
# nodes' net_ticktime t (8 s) and the Raft election e of a quorum queue
# whose leader was lost (`election`):
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
gap_bound=$(calc '3 * t + 2.5 * k + e')
heal_bound=$(calc '1.25 * t + 2 * e + 10')
