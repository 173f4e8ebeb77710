#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The PostgreSQL extension's regression tests (pg_regress):
#   tests/postgresql/regress.sh LIBSEALKIT_A SEALKIT_COMMAND [-- SQL_FILE...]
#       builds the extension against PG_CONFIG's server (default: the newest
#       installed), installs it into a temporary directory that the server
#       reads through extension_destdir (Debian's servers have it), starts a
#       cluster of its own on a free loopback port and a socket in that
#       directory, runs the tests (or, after --, the SQL files given, in a
#       database with the extension, as the docs test does), and stops the
#       server by its PID. As root, the server runs as the postgres user (or
#       nobody).
#   tests/postgresql/regress.sh --installed
#       the tests against the installed extension and command, on the
#       server PGHOST and PGPORT name (pg_virtualenv's, in debian/tests).
# The fixtures are the command's envelopes of the same bytes. PG_KEEP=1 keeps
# the directory (results/ holds each test's output). Exits 77 (skipped),
# saying what to install, when a PostgreSQL server or its development files
# are missing.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
log_name=postgresql
. "$src/scripts/lib.sh"
usage="usage: regress.sh LIBSEALKIT_A SEALKIT_COMMAND [-- SQL_FILE...] | --installed"
installed=0 lib= tool=sealkit
if [[ ${1:-} == --installed ]]; then
    installed=1
    shift
else
    lib=$(realpath "${1:?$usage}") tool=$(realpath "${2:?$usage}")
    shift 2
    [[ ${1:-} == -- ]] && shift
fi
# The newest PostgreSQL unless PG_CONFIG names one. What is missing for the
# tests is said, and skips them (77): a server, or its development files.
skip() { echo "postgresql: $1; skipped" >&2; exit 77; }
pg_config=${PG_CONFIG:-}
if [[ -z $pg_config ]]; then
    found=(/usr/lib/postgresql/*/bin/pg_config)
    [[ -x ${found[0]} ]] || skip "no PostgreSQL here: install postgresql and postgresql-server-dev-all"
    pg_config=$(printf '%s\n' "${found[@]}" | sort -V | tail -1)
fi
[[ -x $pg_config ]] || skip "PG_CONFIG=$pg_config is not a program"
pg_version=$($pg_config --version | sed 's/^PostgreSQL \([0-9]*\).*/\1/')
[[ -x $($pg_config --bindir)/postgres ]] ||
    skip "PostgreSQL $pg_version has no server here: install postgresql-$pg_version"
[[ $installed == 1 || (-f $($pg_config --includedir-server)/postgres.h && -f $($pg_config --pgxs)) ]] ||
    skip "PostgreSQL $pg_version has no development files here: install postgresql-server-dev-$pg_version"
bin=$($pg_config --bindir)
work=$(mktemp -d "${TMPDIR:-/tmp}/sealkit-pg.XXXXXX")
chmod 755 "$work"
pid=
stop() {
    [[ -n $pid ]] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    if [[ ${PG_KEEP:-0} == 1 ]]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap stop EXIT

# Fixtures from the command: a key per cipher, every plaintext length from
# 1 to 100 and one of 3 MiB, with the command's envelope of each.
f=$work/fixtures
mkdir -p "$f"
head -c 3145728 /dev/urandom >"$f/big"
head -c 100 /dev/urandom >"$f/small"
for c in aes-ecb aes-cbc builtin blowfish; do
    k=()
    if [[ $c != builtin ]]; then
        "$tool" keygen -c "$c" -o "$f/$c.key"
        k=(-k "$f/$c.key")
    fi
    "$tool" seal -q -c "$c" "${k[@]}" "$f/big" -o "$f/big.$c"
    for n in $(seq 1 100); do
        printf '%s,%d,%s\n' "$c" "$n" \
            "$(head -c "$n" "$f/small" | "$tool" seal -q -c "$c" "${k[@]}" | od -An -v -tx1 | tr -d ' \n')"
    done
done >"$f/small.csv"
chmod -R a+rX "$f"
export SEALKIT_FIXTURES=$f PG_REGRESS_DIFF_OPTS=-U3
tests=(sealkit errors parallel hostile)

# pg_regress in the work directory; its output, and the differences on failure.
regress() {
    if ! "$@" --inputdir="$src/tests/postgresql" --outputdir="$work/out" --load-extension=sealkit \
        "${tests[@]}" >"$work/regress.log" 2>&1; then
        cat "$work/regress.log"
        head -c 20000 "$work/out/regression.diffs" 2>/dev/null
        exit 1
    fi
    grep -E '^(ok|not ok|test |# All|All )' "$work/regress.log" || cat "$work/regress.log"
    echo "postgresql: $("$bin/postgres" --version)"
}
mkdir -p "$work/out"
if ((installed)); then
    regress "$($pg_config --pkglibdir)/pgxs/src/test/regress/pg_regress" --bindir="$bin"
    exit
fi

make_ext() {
    make -s -C "$work/build" -f "$src/postgresql/Makefile" VPATH="$src/postgresql" USE_PGXS=1 \
        PG_CONFIG="$pg_config" SEALKIT_LIB="$lib" "$@"
}
mkdir -p "$work/build"
{ make_ext && make_ext install DESTDIR="$work/dest"; } >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; exit 1; }

# The server's data and socket directories, its own as root; trust on them
# and the loopback port, nothing else.
mkdir -p "$work/data" "$work/run"
as_server=()
if [[ $(id -u) == 0 ]]; then
    user=$(getent passwd postgres >/dev/null && echo postgres || echo nobody)
    chown "$user" "$work/data" "$work/run" "$work/out"
    as_server=(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups --reset-env --)
fi
"${as_server[@]}" "$bin/initdb" -D "$work/data" -U postgres -A trust --no-sync -E UTF8 \
    --locale=C >"$work/initdb.log" 2>&1 || { cat "$work/initdb.log" >&2; exit 1; }
take_port port
# The extension as installed in $work/dest: its module through
# dynamic_library_path; its control file through Debian's extension_destdir
# up to PostgreSQL 17, through the server's own extension_control_path from
# 18 on.
where=(-c "dynamic_library_path=\$libdir:$work/dest$($pg_config --pkglibdir)")
settings=$("${as_server[@]}" "$bin/postgres" --describe-config 2>/dev/null || true)
if grep -q "^extension_destdir" <<<"$settings"; then
    where+=(-c "extension_destdir=$work/dest")
else
    where+=(-c "extension_control_path=\$system:$work/dest$($pg_config --sharedir)")
fi
"${as_server[@]}" "$bin/postgres" -D "$work/data" -k "$work/run" -h 127.0.0.1 -p "$port" \
    "${where[@]}" -c fsync=off -c max_worker_processes=8 \
    -c max_parallel_workers=4 >"$work/server.log" 2>&1 &
pid=$!
ready() { "$bin/pg_isready" -q -h "$work/run" -p "$port" || { alive "$pid" && return 1; }; }
within 60 "the server taking connections" ready || { cat "$work/server.log" >&2; exit 1; }
export PGHOST=$work/run PGPORT=$port PGUSER=postgres

if (($#)); then
    "$bin/psql" -q -X -v ON_ERROR_STOP=1 -d postgres -c "CREATE EXTENSION sealkit"
    for sql in "$@"; do "$bin/psql" -X -v ON_ERROR_STOP=1 -d postgres -f "$sql"; done
    exit
fi
regress "$($pg_config --pkglibdir)/pgxs/src/test/regress/pg_regress" --bindir="$bin"
