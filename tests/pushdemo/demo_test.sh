#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# ./build.sh demo's run (scripts/demo.sh) on a build tree: the sample pushes
# arrive; and with pushdemo's SDK library gone, it ends at once, exit 1,
# with pushdemo's own words, instead of waiting for ever.
#   tests/pushdemo/demo_test.sh BUILD_DIR
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
out=$(timeout 60 "$src/scripts/demo.sh" "$build" 2>&1)
grep -q "recv push:Last push of the sample" <<<"$out" || { echo "$out"; echo "FAIL: no pushes"; exit 1; }

lone=$(mktemp -d)
trap 'rm -rf "$lone"' EXIT
mkdir "$lone/bin"
cp "$build/bin/pushdemo" "$lone/bin/"
rc=0
out=$(timeout 60 "$src/scripts/demo.sh" "$lone" 2>&1) || rc=$?
echo "$out"
[[ $rc == 1 ]] || { echo "FAIL: exit $rc, not 1"; exit 1; }
grep -q "pushdemo starting: did not happen" <<<"$out" && grep -q "libostrel_sdk.so" <<<"$out" ||
    { echo "FAIL: no message naming what did not happen"; exit 1; }
echo "demo_test: passed"
