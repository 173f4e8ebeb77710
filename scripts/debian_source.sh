# SPDX-License-Identifier: MIT
# Debian's source packages, fetched for the builds that compile a Debian
# source of their own (wasm.sh: OpenSSL for WebAssembly; roots/cross.sh:
# the target's libraries where the archive has none), sourced by them
# after lib.sh (for $log_name), through an apt configuration of their own.

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

# debian_source NAME DIR [upstream-ok]: the newest source of a Debian source package that
# the mirror serves (a mirror may lag behind its own index), unpacked and
# verified against its .dsc under DIR; prints the version, then the
# unpacked directory. Where a mirror serves a version's upstream tarball but
# not its Debian files (seen: a trixie mirror without bearssl's -4 .dsc),
# that tarball, which apt checked against the archive's signed index, is
# unpacked instead when the caller says upstream-ok: for a package whose
# Debian files patch nothing it needs.
debian_source() {
    local name=$1 dir=$2 upstream_ok=${3:-} v orig
    mkdir -p "$dir"
    for v in $(source_versions "$name"); do
        if (cd "$dir" && rm -rf ./* && src_apt apt-get source -qq "$name=$v" >/dev/null 2>&1); then
            echo "$v"
            ls -d "$dir"/"$name"-*/ | head -1
            return 0
        fi
        orig=$(ls "$dir"/"${name}"_*.orig.tar.* 2>/dev/null | head -1 || true)
        if [[ -n $orig && $upstream_ok == upstream-ok ]] && tar -xf "$orig" -C "$dir"; then
            echo "$v (its upstream tarball)"
            ls -d "$dir"/"$name"-*/ | head -1
            return 0
        fi
    done
    echo "$log_name: no source of $name could be fetched from this machine's mirrors" >&2
    return 1
}
