#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# regress.sh on a machine without PostgreSQL, and with a server but no
# development files: it skips (77), saying what to install, rather than
# failing. Each case hides a directory in a mount namespace of its own, so
# it needs root (or user namespaces); without, this test skips.
#   tests/postgresql/skip_test.sh LIBSEALKIT_A SEALKIT_COMMAND
set -euo pipefail
regress=$(dirname "$0")/regress.sh
unshare -m true 2>/dev/null || { echo "skip_test: no mount namespace here; skipped"; exit 77; }
for hidden in /usr/lib/postgresql:"install postgresql and postgresql-server-dev-all" \
    /usr/include/postgresql:"install postgresql-server-dev-"; do
    dir=${hidden%%:*} want=${hidden#*:}
    rc=0
    if [[ -d $dir ]]; then
        out=$(unshare -m bash -c 'mount -t tmpfs none "$1" && shift && "$@"' _ "$dir" \
            "$regress" "$@" 2>&1) || rc=$?
    elif [[ $dir == /usr/lib/postgresql ]]; then  # none here already
        out=$("$regress" "$@" 2>&1) || rc=$?
    else
        continue
    fi
    echo "with $dir hidden: exit $rc: $out"
    [[ $rc == 77 && $out == *"$want"* ]] || { echo "FAIL: not skipped with what to install"; exit 1; }
done
echo "skip_test: passed"
