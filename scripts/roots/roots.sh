# SPDX-License-Identifier: MIT
# Roots of other Debian releases, for scripts/roots/matrix.sh and scripts/roots/cross.sh
# (sourced; `here` is the checkout). A root is made once with debootstrap
# (its default mirror) under SEALKIT_MATRIX_CACHE (/var/cache/sealkit-matrix)
# and never changed after; the work happens in copies of it. Needs root,
# and scripts/lib.sh sourced (apt_flags).
cache=${SEALKIT_MATRIX_CACHE:-/var/cache/sealkit-matrix}

# Makes (once) a minbase root of `suite`; with `extra`, that suite's
# libssl-dev. It is made under another name and renamed when complete, so an
# interrupted run leaves nothing that looks usable.
make_root() {
    local root=$1 suite=$2 extra=$3
    [[ -f $root/.ready ]] && return 0
    echo "== making $root ($suite${extra:+, libssl-dev from $extra}); several minutes the first time"
    local new=$root.new
    rm -rf "$root" "$new"
    mkdir -p "$(dirname "$root")"
    debootstrap --variant=minbase --include=ca-certificates "$suite" "$new" >"$root.log" 2>&1 ||
        { tail -20 "$root.log"; return 1; }
    # unstable's and experimental's Release files are often past Valid-Until on mirrors.
    echo 'Acquire::Check-Valid-Until "false";' >"$new/etc/apt/apt.conf.d/99matrix"
    if [[ -n $extra ]]; then
        # The same mirror debootstrap chose, for the extra suite.
        sed -n "s/^\(deb [^ ]* \)$suite /\1$extra /p" "$new/etc/apt/sources.list" \
            >"$new/etc/apt/sources.list.d/$extra.list"
        in_root "$new" bash -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
            apt-get install ${apt_flags[*]} -t $extra libssl-dev openssl" \
            >>"$root.log" 2>&1 || { tail -20 "$root.log"; return 1; }
    fi
    in_root "$new" apt-get clean
    touch "$new/.ready"
    mv "$new" "$root"
}

# A copy of the root at `copy`: made anew when missing or `fresh`; an
# existing one that an interrupted apt or dpkg left half-done is repaired,
# or made anew when that fails.
copy_root() {
    local root=$1 copy=$2 fresh=${3:-}
    if [[ -z $fresh && -f $copy/.ready ]]; then
        if [[ -z $(ls -A "$copy/var/lib/dpkg/updates" 2>/dev/null) &&
              -z $(in_root "$copy" dpkg --audit 2>&1) ]]; then
            return 0
        fi
        echo "== $copy was left half-configured by an interrupted run; repairing it"
        in_root "$copy" bash -c 'DEBIAN_FRONTEND=noninteractive dpkg --configure -a &&
            DEBIAN_FRONTEND=noninteractive apt-get -f install -y -qq' >/dev/null 2>&1 && return 0
        echo "== could not repair it; copying the root again"
    fi
    rm -rf "$copy" "$copy.new"
    cp -a "$root" "$copy.new"
    mv "$copy.new" "$copy"
}

# Runs a command in the root, with /proc and /dev mounted in a private mount
# namespace, so nothing stays mounted when it ends, and SEALKIT_IN_ROOT set.
# With APT_ARCHIVES set, that directory holds the root's downloaded packages.
in_root() {
    local root=$1
    shift
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    [[ -n ${APT_ARCHIVES:-} ]] && mkdir -p "$APT_ARCHIVES/partial"
    unshare --mount --fork -- bash -c '
        root=$1 archives=$2; shift 2
        mount --make-rprivate /
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount -t tmpfs tmpfs "$root/tmp"
        [ -n "$archives" ] && mount --bind "$archives" "$root/var/cache/apt/archives"
        exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 SEALKIT_IN_ROOT=1 \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"' \
        bash "$root" "${APT_ARCHIVES:-}" "$@"
}

clone_into() {
    rm -rf "$1/src"
    git clone -q "$here" "$1/src"
    git -C "$1/src" checkout -q "$(git -C "$here" rev-parse HEAD)"
}


need_debootstrap() {
    command -v debootstrap >/dev/null && return
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install "${apt_flags[@]}" debootstrap
}
