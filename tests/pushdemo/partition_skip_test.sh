#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Without CAP_NET_ADMIN the partition scenarios skip (77) with a line that
# says why, leave no namespace behind, and never run on loopback instead.
set -euo pipefail
cd "$(dirname "$0")/../.."
[[ $(id -u) == 0 ]] || { echo "skipped: dropping a capability needs root" >&2; exit 77; }
# What the scenarios need before they look for namespaces; without it they
# would install it, which is no business of a test (a package build's root).
for tool in ip nft setpriv /usr/lib/rabbitmq/bin/rabbitmq-server mosquitto_pub; do
    command -v "$tool" >/dev/null || { echo "skipped: no $tool here (scripts/deps.sh cluster)" >&2; exit 77; }
done
before=$(ip netns list 2>/dev/null | sort)
rc=0
out=$(setpriv --bounding-set=-net_admin scripts/cluster/cluster.sh partition-minority 2>&1) || rc=$?
echo "$out"
[[ $rc == 77 ]] || { echo "FAIL: exit $rc, not 77" >&2; exit 1; }
grep -q "skipped: no network namespaces here (.*Operation not permitted)" <<<"$out" ||
    { echo "FAIL: no line saying why" >&2; exit 1; }
grep -q "cluster: 3 nodes" <<<"$out" && { echo "FAIL: a cluster was started" >&2; exit 1; }
[[ $(ip netns list 2>/dev/null | sort) == "$before" ]] || { echo "FAIL: a namespace was left" >&2; exit 1; }
echo PASS
