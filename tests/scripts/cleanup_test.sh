#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The scripts that change the machine put it back on every exit. In a mount
# namespace of its own, with /etc and /usr/sbin behind overlays (the
# machine's files seen as they are, every write kept apart and thrown away),
# and stand-ins for apt-get, dpkg-query and dpkg-buildpackage on PATH that
# block where the real ones would work:
#   deps.sh interrupted (SIGINT, SIGTERM) during its install, done, and
#   failed: policy-rc.d and the no-cluster file it made are gone, and a
#   policy-rc.d the machine had is as it was;
#   deb.sh interrupted during the build: debian/control is as checked in;
#   cross.sh's leg on a machine of its own writes nothing to its /etc.
# Needs root (unshare, mount); exits 77 saying so elsewhere.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)

if [[ ${1:-} != --inside ]]; then
    if ! unshare --mount --fork true 2>/dev/null; then
        echo "cleanup_test: skipped: needs root for a mount namespace"
        exit 77
    fi
    exec unshare --mount --fork -- "$0" --inside
fi

mount --make-rprivate /
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for d in etc usr/sbin; do
    mkdir -p "$work/$d.up" "$work/$d.work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$work/$d.up,workdir=$work/$d.work" "/$d"
done
bin=$work/bin
mkdir -p "$bin"
# Nothing is installed; `update` works; an install blocks (or, with
# STANDIN_APT=exit:N, ends with N at once) after saying it started.
cat >"$bin/dpkg-query" <<'SH'
#!/bin/sh
exit 1
SH
cat >"$bin/apt-get" <<'SH'
#!/bin/sh
case "$*" in *" update"* | update*) exit 0 ;; esac
echo "$*" >>"$STANDIN_LOG"
case ${STANDIN_APT:-block} in exit:*) exit "${STANDIN_APT#exit:}" ;; esac
exec sleep 2999
SH
cat >"$bin/dpkg-buildpackage" <<'SH'
#!/bin/sh
echo "Source: changed by the build" >debian/control
echo build >>"$STANDIN_LOG"
exec sleep 2999
SH
printf '#!/bin/sh\nexit 0\n' >"$bin/dpkg-checkbuilddeps"
chmod +x "$bin"/*
export PATH=$bin:$PATH STANDIN_LOG=$work/log

failed=0
check() {
    if eval "$2"; then echo "ok - $1"; else echo "not ok - $1"; failed=1; fi
}

# Runs a script until the stand-ins' log has a line matching `ready`, then
# sends it the signal (none: lets it end); its exit status. Job control is
# on, so that the script gets SIGINT as from a terminal (a background job
# of a script without it would ignore it).
run_until() {
    local signal=$1 ready=$2
    shift 2
    : >"$STANDIN_LOG"
    set -m
    "$@" >"$work/out" 2>&1 &
    local pid=$! i
    set +m
    if [[ $signal != none ]]; then
        for i in $(seq 400); do grep -q "$ready" "$STANDIN_LOG" && break; sleep 0.05; done
        kill "-$signal" "$pid"
    fi
    local rc=0
    timeout 30 tail --pid="$pid" -f /dev/null || { kill -KILL "$pid"; echo "timed out" >&2; }
    wait "$pid" || rc=$?
    echo "$rc"
}

# Whether the stand-ins' work ended (a signal takes a moment to land).
ended() {
    local i
    for i in $(seq 40); do pgrep -f 'sleep 2999' >/dev/null || return 0; sleep 0.05; done
    return 1
}

# What a row left behind is removed before the next, so that rows stand
# alone.
reset() {
    pkill -KILL -f 'sleep 2999' || true
    rm -f "$conf"
    [[ $had_conf_dir == 1 ]] || rm -rf "${conf%/*}"
}

policy=/usr/sbin/policy-rc.d conf=/etc/postgresql-common/createcluster.d/sealkit-build.conf
had_conf_dir=$([[ -d ${conf%/*} ]] && echo 1 || echo 0)
for row in "INT 130 none" "TERM 143 none" "TERM 143 own" "none 0 none" "none 100 none"; do
    read -r signal want before <<<"$row"
    rm -f "$policy"
    [[ $before == own ]] && printf '#!/bin/sh\n# the machine'"'"'s own\nexit 101\n' >"$policy"
    saved=$(cat "$policy" 2>/dev/null || true)
    apt=block
    [[ $signal == none ]] && apt=exit:$want
    rc=$(STANDIN_APT=$apt run_until "$signal" install "$src/scripts/deps.sh" cluster)
    what="deps.sh, $signal, apt-get $apt, policy-rc.d: $before"
    check "$what: exit $want" "[[ \$rc == $want ]]"
    if [[ $before == own ]]; then
        check "$what: the machine's policy-rc.d is as it was" "[[ \$(cat $policy) == \"\$saved\" ]]"
    else
        check "$what: its policy-rc.d is gone" "[[ ! -e $policy ]]"
    fi
    check "$what: its no-cluster file is gone" "[[ ! -e $conf ]]"
    check "$what: a directory it made for it is gone" "[[ -d ${conf%/*} || $had_conf_dir == 0 ]] && [[ $had_conf_dir == 1 || ! -d ${conf%/*} ]]"
    check "$what: the install was ended" ended
    reset
done

# deb.sh on a copy of the tree: the stand-in build changes debian/control.
tree=$work/tree
mkdir -p "$tree"
cp -r "$src/scripts" "$src/debian" "$tree/"
for signal in INT TERM; do
    STANDIN_APT=exit:0 run_until "$signal" '^build' "$tree/scripts/deb.sh" >/dev/null
    check "deb.sh, $signal during the build: debian/control as checked in" \
        "cmp -s '$src/debian/control' '$tree/debian/control'"
    check "deb.sh, $signal: the build was ended" ended
    reset
done

# cross.sh's leg on a machine of its own (not in a root): its /etc untouched,
# however the leg ends (here at once: the stand-in's install fails).
rm -f /etc/hosts "$policy"
STANDIN_APT=exit:100 run_until none - "$src/scripts/roots/cross.sh" --in-place arm64 >/dev/null
check "cross.sh --in-place: no /etc/hosts written" "[[ ! -e /etc/hosts ]]"
check "cross.sh --in-place: no policy-rc.d left" "[[ ! -e $policy ]]"
reset

[[ $failed == 0 ]] && echo "cleanup_test: every script left the machine as it found it"
exit "$failed"
