# SPDX-License-Identifier: MIT
# What the builds of prebuilt native code for another architecture share
# (scripts/npm.sh: the addon; scripts/jar.sh: the JNI library), sourced by
# them: the architectures by their names in Node.js and Java, and the
# target's libssl-dev.
declare -A debian_arch=([x64]=amd64 [arm64]=arm64) triplet=([x64]=x86_64-linux-gnu [arm64]=aarch64-linux-gnu)
declare -A java_platform=([x64]=linux-x86_64 [arm64]=linux-aarch64)
# This machine's, by the same names.
here_arch() { case $(uname -m) in x86_64) echo x64 ;; aarch64) echo arm64 ;; *) uname -m ;; esac; }

# target_root ARCH: a directory with the target's libssl-dev unpacked
# (usr/include, usr/lib/TRIPLET/libcrypto.a) through an apt configuration
# of its own under $target_apt_dir (/var/cache/sealkit-target-apt/ARCH),
# so that the system's architectures, sources and lists stay as they are
# and the code links against the same Debian release as this machine; made
# once. For this machine's own architecture, /.
target_root() {
    [[ $1 == "$(here_arch)" ]] && { echo /; return; }
    local arch=${debian_arch[$1]} d=${target_apt_dir:-/var/cache/sealkit-target-apt}/$1
    if [[ ! -f $d/root/.ready ]]; then
        rm -rf "$d" && mkdir -p "$d/lists/partial" "$d/cache/archives/partial" "$d/root" "$d/debs"
        local opts=(-o APT::Architecture="$arch" -o APT::Architectures="$arch" -o Dir::State::Lists="$d/lists"
                    -o Dir::Cache="$d/cache" -o Dir::State::Status=/dev/null)
        apt-get -qq "${opts[@]}" update >/dev/null
        (cd "$d/debs" && apt-get -qq "${opts[@]}" download libssl-dev libssl3) >&2
        for f in "$d"/debs/*.deb; do dpkg-deb -x "$f" "$d/root"; done
        touch "$d/root/.ready"
    fi
    echo "$d/root"
}

# cross_compiler ARCH: the C++ compiler for ARCH, Debian's cross compiler
# installed first where needed.
cross_compiler() {
    [[ $1 == "$(here_arch)" ]] && { echo g++; return; }
    command -v "${triplet[$1]}-g++" >/dev/null || scripts/deps.sh "cross-$1" >&2
    echo "${triplet[$1]}-g++"
}
