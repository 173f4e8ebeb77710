#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# pushdemo through a 3-node RabbitMQ cluster, private to one run:
#   scripts/cluster/cluster.sh [SCENARIO] [PUSHES]
# SCENARIO (default node-kill) is one of the scenario_* functions of
# scenarios.sh and partitions.sh, each described there; PUSHES (default
# 1000) is how many each publishes. The parts, each sourced here: nodes.sh
# (the nodes), clients.sh (pushdemo, the publisher, the proxies),
# faults.sh, measure.sh, bounds.sh (every bound, derived once), and the
# scenarios.
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
. scripts/cluster/bounds.sh
. scripts/cluster/nodes.sh
. scripts/cluster/clients.sh
. scripts/cluster/measure.sh
. scripts/cluster/faults.sh
. scripts/cluster/scenarios.sh
. scripts/cluster/partitions.sh

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
