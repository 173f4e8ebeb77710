# SPDX-License-Identifier: MIT
# What the scripts share, sourced by them: a free loopback port, a bounded
# wait, the private MQTT broker (configured by scripts/mosquitto.conf, as
# the C++ tests' broker is), and installing packages that start nothing.
# Messages start with $log_name (the sourcing script's name unless set).
log_name=${log_name:-${0##*/}}
lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# apt-get's flags for an install that asks nothing and waits for a lock.
apt_flags=(-y -qq --no-install-recommends -o DPkg::Lock::Timeout=600)
sudo=()
[[ $(id -u) == 0 ]] || sudo=(sudo)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# quietly COMMAND...: runs an apt command whose packages must start none of
# the system's services (the brokers and servers are only ever started
# privately by the tests) nor make a PostgreSQL cluster (the tests make
# their own), unless the machine has a policy of its own. What it makes for
# that is removed on every exit: the command done or failed, or this script
# interrupted or ended (SIGINT, SIGTERM), the command then ended too.
quietly() {
    local policy=/usr/sbin/policy-rc.d conf_dir=/etc/postgresql-common/createcluster.d
    quietly_made=()
    trap 'quietly_undo' EXIT
    trap 'quietly_undo 130' INT
    trap 'quietly_undo 143' TERM
    if [[ ! -e $policy ]]; then
        quietly_made+=("$policy")
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
        "${sudo[@]}" chmod 755 "$policy"
    fi
    if ! installed postgresql-common && [[ ! -e $conf_dir/sealkit-build.conf ]]; then
        [[ -d ${conf_dir%/*} ]] || quietly_made+=("${conf_dir%/*}")
        [[ -d $conf_dir ]] || quietly_made+=("$conf_dir")
        quietly_made+=("$conf_dir/sealkit-build.conf")
        "${sudo[@]}" mkdir -p "$conf_dir"
        echo "create_main_cluster = false" | "${sudo[@]}" tee "$conf_dir/sealkit-build.conf" >/dev/null
    fi
    # In the background, so that a signal is handled at once, not after it.
    local rc=0
    "$@" &
    quietly_child=$!
    wait "$quietly_child" || rc=$?
    quietly_child=
    quietly_undo
    trap - EXIT INT TERM
    return "$rc"
}

# Ends quietly's command if it still runs, removes what quietly made (files,
# then the directories it made, if they are empty), and with a status exits.
quietly_undo() {
    if [[ -n ${quietly_child:-} ]]; then
        pkill -TERM -P "$quietly_child" 2>/dev/null || true
        kill -TERM "$quietly_child" 2>/dev/null || true
        wait "$quietly_child" 2>/dev/null || true
        quietly_child=
    fi
    local i f
    for ((i = ${#quietly_made[@]} - 1; i >= 0; i--)); do
        f=${quietly_made[i]}
        if [[ -d $f ]]; then "${sudo[@]}" rmdir "$f" 2>/dev/null || true; else "${sudo[@]}" rm -f "$f"; fi
    done
    quietly_made=()
    [[ -z ${1:-} ]] || exit "$1"
}

# take_port VAR: sets VAR to a port on 127.0.0.1 that nothing listens on now
# and that this shell has not handed out before, below the range the system
# gives outgoing connections (which may take any port in it at any moment).
taken_ports=" "
take_port() {
    local -n port_var=$1
    local low p try
    low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
    for try in $(seq 1000); do
        p=$((low - 1 - RANDOM % (low > 12000 ? 10000 : low - 2000)))
        [[ $taken_ports == *" $p "* ]] && continue
        listens "$p" && continue
        taken_ports+="$p "
        port_var=$p
        return 0
    done
    echo "$log_name: no free port on 127.0.0.1 below $low" >&2
    return 1
}

# Whether something accepts connections on 127.0.0.1:PORT.
listens() { (: >"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# within SECONDS WHAT COMMAND...: runs COMMAND every 0.05 s until it
# succeeds, and fails saying that WHAT did not happen when SECONDS passed
# first, or at once when COMMAND returns 2 or more (it never will: a process
# it waits on died). Every wait of the scripts goes through it.
within() {
    local bound=$1 what=$2 end=$((SECONDS + $1)) rc
    shift 2
    for ((;;)); do
        rc=0
        "$@" || rc=$?
        ((rc == 0)) && return 0
        if ((rc >= 2)); then
            echo "$log_name: $what: did not happen, and no longer can" >&2
            return 1
        fi
        if ((SECONDS >= end)); then
            echo "$log_name: $what: did not happen within $bound s" >&2
            return 1
        fi
        sleep 0.05
    done
}

# Whether process PID is alive; 2 (never again) when it is not.
alive() { kill -0 "$1" 2>/dev/null || return 2; }

# start_broker DIR [LINES]: a private mosquitto on a free loopback port, its
# configuration, sessions and log in DIR, LINES (default: anonymous clients
# allowed) added under its listener. Sets broker_port and broker_pid; stop
# it by that PID.
start_broker() {
    local dir=$1 lines=${2:-allow_anonymous true}
    take_port broker_port || return 1
    {
        cat "$lib_dir/mosquitto.conf"
        printf 'persistence_location %s/\nlog_dest file %s/mosquitto.log\nlistener %s 127.0.0.1\n%s\n' \
            "$dir" "$dir" "$broker_port" "$lines"
    } >"$dir/mosquitto.conf"
    /usr/sbin/mosquitto -c "$dir/mosquitto.conf" 2>"$dir/mosquitto.err" &
    broker_pid=$!
    broker_up() { listens "$broker_port" || { alive "$broker_pid" && return 1; }; }
    within 10 "mosquitto listening on 127.0.0.1:$broker_port" broker_up && return
    cat "$dir/mosquitto.err" "$dir/mosquitto.log" >&2 2>/dev/null
    return 1
}

# await_pushdemo PID TRACE ERR: waits for the pushdemo of PID, run with
# OSTREL_SDK_TRACE=TRACE and its stderr in ERR, to start; fails showing ERR
# when it dies first or has not started within 10 s.
await_pushdemo() {
    local pid=$1 trace=$2 err=$3
    pushdemo_up() { grep -q "OstrelStart() = 0" "$trace" 2>/dev/null || { alive "$pid" && return 1; }; }
    within 10 "pushdemo starting" pushdemo_up && return
    if alive "$pid"; then
        echo "$log_name: pushdemo is still running; its standard error:" >&2
    else
        echo "$log_name: pushdemo ended; its standard error:" >&2
    fi
    sed 's/^/  /' "$err" >&2
    return 1
}
