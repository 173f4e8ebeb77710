# SPDX-License-Identifier: MIT
# What the cluster scenarios measure, for cluster.sh (sourced): the pushes
# pushdemo printed, waits on them, the figures of a run, and a partition
# run's history for scripts/cluster/check.py.

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

# Fails when report's gap is BOUND seconds or more.
gap_under() {
    awk -v g="$gap" -v bound="$1" 'BEGIN {
        if (g >= bound) { printf "cluster: gap %.2f s, not under %.1f s\n", g, bound; exit 1 } }'
}

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
