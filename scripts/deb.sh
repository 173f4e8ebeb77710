#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian packages (debian/): their build dependencies (scripts/deps.sh
# deb), a binary-only dpkg-buildpackage with its tests, lintian at warning
# level, and the files the .changes names moved to build/deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh deb
# debian/control names the PostgreSQL version of Debian 13; elsewhere the
# build makes it name this distribution's (PG_UPDATECONTROL), and the
# checked-in file comes back after, on every exit (an interrupt included).
# The build runs in a session of its own, so that an interrupt ends all of
# it before the file is put back.
mkdir -p build
cp debian/control build/control.checked-in
build=
restore() {
    if [[ -n $build ]]; then
        kill -TERM -- "-$build" 2>/dev/null || true
        wait "$build" 2>/dev/null || true
    fi
    cp build/control.checked-in debian/control
}
trap restore EXIT
trap 'restore; exit 130' INT
trap 'restore; exit 143' TERM
PG_UPDATECONTROL=1 setsid dpkg-buildpackage -us -uc -b &
build=$!
wait "$build"
build=
restore
trap - EXIT INT TERM
changes=$(ls -t ../sealkit_*_"$(dpkg --print-architecture)".changes | head -1)
root_flag=()
[[ $(id -u) == 0 ]] && root_flag=(--allow-root)
# These packages are not uploaded to Debian, so there is no ITP bug for the
# first changelog entry to close.
lintian "${root_flag[@]}" --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs \
    "$changes"
rm -rf build/deb
mkdir -p build/deb
for f in $(sed -n '/^Files:/,/^[^ ]/s/^ [^ ]* [^ ]* [^ ]* [^ ]* \(.*\)/\1/p' "$changes"); do
    mv "../$f" build/deb/
done
mv "$changes" build/deb/
ls build/deb
