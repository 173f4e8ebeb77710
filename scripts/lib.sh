# SPDX-License-Identifier: MIT
# What the scripts share, sourced by them: a free loopback port, a bounded
# wait, and the private MQTT broker (configured by scripts/mosquitto.conf,
# as the C++ tests' broker is). Messages start with $log_name (the sourcing
# script's name unless set).
log_name=${log_name:-${0##*/}}
lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

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

# src_apt apt-get|apt-cache ARGUMENTS...: apt with the source lines of this machine's own
# mirrors (a deb-src beside each deb), in an apt configuration of its own
# under $src_apt_dir (default /var/cache/sealkit-src-apt): the system's
# sources and lists stay as they are.
src_apt() {
    local d=${src_apt_dir:-/var/cache/sealkit-src-apt} f
    if [[ ! -f $d/ready ]]; then
        mkdir -p "$d/parts" "$d/lists/partial" "$d/cache/archives/partial"
        sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
            2>/dev/null >"$d/sources.list" || true
        for f in /etc/apt/sources.list.d/*.sources; do
            [[ -f $f ]] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$d/parts/${f##*/}"
        done
        apt-get -qq -o Dir::Etc::SourceList="$d/sources.list" -o Dir::Etc::SourceParts="$d/parts" \
            -o Dir::State::Lists="$d/lists" -o Dir::Cache="$d/cache" update >/dev/null || return 1
        touch "$d/ready"
    fi
    "$1" -o Dir::Etc::SourceList="$d/sources.list" -o Dir::Etc::SourceParts="$d/parts" \
        -o Dir::State::Lists="$d/lists" -o Dir::Cache="$d/cache" "${@:2}"
}

# The versions of a Debian source package the archive lists, newest first.
source_versions() {
    src_apt apt-cache -qq showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -Vru
}

# debian_source NAME DIR: the newest source of a Debian source package that
# the mirror serves (a mirror may lag behind its own index), unpacked and
# verified against its .dsc under DIR; prints the version, then the
# unpacked directory.
debian_source() {
    local name=$1 dir=$2 v
    mkdir -p "$dir"
    for v in $(source_versions "$name"); do
        if (cd "$dir" && rm -rf ./* && src_apt apt-get source -qq "$name=$v" >/dev/null 2>&1); then
            echo "$v"
            ls -d "$dir"/"$name"-*/ | head -1
            return 0
        fi
    done
    echo "$log_name: no source of $name could be fetched from this machine's mirrors" >&2
    return 1
}
