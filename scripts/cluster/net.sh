# SPDX-License-Identifier: MIT
# A private network for the partition scenarios of cluster.sh, which sources
# this file: each RabbitMQ node, pushdemo and the publisher get a network
# namespace of their own, joined by a bridge in one more namespace, on
# addresses that exist only inside them (10.211.0.0/24; nothing leaves the
# machine). The faults are nftables rules on that bridge, so no node can
# see or undo them:
#   sever A B     drops every packet between hosts A and B
#   sever_one A B drops A's packets to B only
#   lossy H PCT   drops PCT% of the packets to and from H, at random
#   heal          removes every rule
# Hosts are 1, 2 and 3 (the nodes), c (pushdemo) and p (the publisher).
# Needs root, or CAP_NET_ADMIN and CAP_SYS_ADMIN; net_up exits 77 with the
# reason when namespaces cannot be made, so that no run falls back to
# loopback and claims a pass. net_down removes everything net_up made.

declare -gA ns addr
net_prefix=skc$$
for h in 1 2 3 c p br; do ns[$h]=$net_prefix-$h; done
addr=([1]=10.211.0.11 [2]=10.211.0.12 [3]=10.211.0.13 [c]=10.211.0.21 [p]=10.211.0.22)

# in_ns HOST COMMAND...: runs COMMAND in HOST's namespace, through nsenter:
# `ip netns exec` (and `ip -n`) also remount /sys, and need / to be a mount
# point, which it is not in a chroot.
in_ns() { nsenter --net="/run/netns/${ns[$1]}" -- "${@:2}"; }
bridge_nft() { in_ns br nft "$@"; }

net_up() {
    local why= h
    # `ip netns add` makes /run/netns (and a mount point of it) where it is
    # neither; net_down undoes that, as a debootstrap root with that mount
    # left in it could not be removed.
    [[ -d /run/netns ]] || net_made_dir=1
    mountpoint -q /run/netns 2>/dev/null || net_made_mount=1
    if ! command -v nft >/dev/null; then
        why="nft is not installed (Debian's nftables)"
    elif ! why=$(ip netns add "${ns[br]}" 2>&1 && in_ns br ip link set lo up 2>&1); then
        ip netns del "${ns[br]}" 2>/dev/null
        net_unmount
    else
        why=
    fi
    if [[ -n $why ]]; then
        echo "cluster: skipped: no network namespaces here ($why); the partition scenarios need root or CAP_NET_ADMIN" >&2
        exit 77
    fi
    net_made=1
    trap net_down EXIT  # until the caller sets a cleanup of its own that calls it
    in_ns br ip link add br0 type bridge
    in_ns br ip link set br0 up
    for h in 1 2 3 c p; do
        ip netns add "${ns[$h]}"
        # The pair is made in the bridge's namespace, so that no link of it
        # ever appears in the machine's own.
        in_ns br ip link add "v$h" type veth peer name eth0 netns "${ns[$h]}"
        in_ns br ip link set "v$h" master br0 up
        in_ns "$h" ip link set lo up
        in_ns "$h" ip addr add "${addr[$h]}/24" dev eth0
        in_ns "$h" ip link set eth0 up
    done
    bridge_nft -f - <<'EOF'
table bridge nemesis {
    chain faults {
        type filter hook forward priority 0; policy accept;
    }
}
EOF
}

net_down() {
    [[ -n ${net_made:-} ]] || return 0
    local h
    for h in 1 2 3 c p br; do ip netns del "${ns[$h]}" 2>/dev/null; done
    net_unmount
    return 0
}

# /run/netns as it was before net_up, unless other namespaces are in it now.
net_unmount() {
    [[ -d /run/netns && -z $(ls -A /run/netns 2>/dev/null) ]] || return 0
    if [[ -n ${net_made_mount:-} ]]; then
        while mountpoint -q /run/netns; do umount /run/netns 2>/dev/null || break; done
    fi
    [[ -z ${net_made_dir:-} ]] || rmdir /run/netns 2>/dev/null || true
}

sever_one() { bridge_nft add rule bridge nemesis faults ip saddr "${addr[$1]}" ip daddr "${addr[$2]}" drop; }
sever() { sever_one "$1" "$2" && sever_one "$2" "$1"; }
lossy() {
    bridge_nft add rule bridge nemesis faults ip saddr "${addr[$1]}" numgen random mod 100 "<" "$2" drop
    bridge_nft add rule bridge nemesis faults ip daddr "${addr[$1]}" numgen random mod 100 "<" "$2" drop
}
heal() { bridge_nft flush chain bridge nemesis faults; }

# Whether something in HOST's namespace listens on ADDRESS:PORT.
listens_in() { in_ns "$1" bash -c ': >"/dev/tcp/$0/$1"' "$2" "$3" 2>/dev/null; }
