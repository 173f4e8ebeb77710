#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The partition scenarios' checker: reads a run's history and counts what
happened to each push, as partition testers do.

    check.py HISTORY GAP_BOUND HEAL_BOUND

HISTORY has one event a line, "TIME EVENT [ARG]", TIME in seconds on one
monotonic clock, in any order: the publisher's "publish N", "ack N",
"timeout N", "refused N" and "resend N"; "recv N" for each push pushdemo
printed; "lost" and "back" when pushdemo's connection went and came back;
"nemesis NAME" when a fault began and "heal" when the network was whole
again. It prints two lines:

    sent S, acknowledged A, received R, lost L, duplicated D,
    unacknowledged but received U, longest gap G s, recovery T s
    pushdemo lost its connection C times and regained it B; the publisher
    saw T timeouts and F refusals

lost counts acknowledged pushes that never arrived; the longest gap is the
longest time without a delivery while pushes were due (from the first
publish to the last arrival); recovery is the time from the last heal until
every push acknowledged before it had arrived (0 when none was waiting).
Exits 1 when a push was lost, the gap reached GAP_BOUND seconds or the
recovery HEAL_BOUND, naming which, and 2 on a malformed history.
"""
import sys

NUMBERED = {"publish", "ack", "timeout", "refused", "resend", "recv"}


def read(lines):
    events = []
    for no, line in enumerate(lines, 1):
        words = line.split()
        if not words:
            continue
        try:
            t, event = float(words[0]), words[1]
            arg = int(words[2]) if event in NUMBERED else " ".join(words[2:])
            events.append((t, event, arg))
        except (ValueError, IndexError):
            print("check: line %d of the history is not TIME EVENT [ARG]: %r" % (no, line), file=sys.stderr)
            sys.exit(2)
    events.sort(key=lambda e: e[0])
    return events


def figures(events):
    sent, acked, first_recv = set(), {}, {}
    recv_count, recv_times, heals, publishes = 0, [], [], []
    counted = {"lost": 0, "back": 0, "timeout": 0, "refused": 0}
    for t, event, arg in events:
        if event in counted:
            counted[event] += 1
        if event == "publish":
            sent.add(arg)
            publishes.append(t)
        elif event == "ack":
            acked.setdefault(arg, t)
        elif event == "recv":
            recv_count += 1
            recv_times.append(t)
            first_recv.setdefault(arg, t)
        elif event == "heal":
            heals.append(t)
    lost = [n for n in acked if n not in first_recv]
    gap = 0.0
    if publishes:
        marks = [publishes[0]] + recv_times
        gap = max((b - a for a, b in zip(marks, marks[1:])), default=0.0)
    recovery = 0.0
    if heals:
        heal = heals[-1]
        waiting = [first_recv[n] for n, t in acked.items() if t <= heal and n in first_recv]
        recovery = max([w - heal for w in waiting] + [0.0])
    return {
        "sent": len(sent), "acknowledged": len(acked), "received": len(first_recv),
        "lost": len(lost), "duplicated": recv_count - len(first_recv),
        "unacknowledged but received": len([n for n in first_recv if n not in acked]),
        "gap": gap, "recovery": recovery, "lost_numbers": sorted(lost),
        "connections lost": counted["lost"], "connections back": counted["back"],
        "timeouts": counted["timeout"], "refusals": counted["refused"],
    }


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.split("\n\n")[1])
    with open(sys.argv[1]) as f:
        got = figures(read(f))
    gap_bound, heal_bound = float(sys.argv[2]), float(sys.argv[3])
    print("sent %(sent)d, acknowledged %(acknowledged)d, received %(received)d, lost %(lost)d, "
          "duplicated %(duplicated)d, unacknowledged but received %(unacknowledged but received)d, "
          "longest gap %(gap).2f s, recovery %(recovery).2f s" % got)
    print("pushdemo lost its connection %(connections lost)d times and regained it %(connections back)d; "
          "the publisher saw %(timeouts)d timeouts and %(refusals)d refusals" % got)
    faults = []
    if got["lost"]:
        faults.append("acknowledged but never received: %s" % " ".join(map(str, got["lost_numbers"][:20])))
    if got["gap"] >= gap_bound:
        faults.append("the longest gap, %.2f s, reached the bound of %.1f s" % (got["gap"], gap_bound))
    if got["recovery"] >= heal_bound:
        faults.append("recovery took %.2f s, beyond the bound of %.1f s" % (got["recovery"], heal_bound))
    for fault in faults:
        print("check: " + fault)
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
