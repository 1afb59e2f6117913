#!/usr/bin/env bash
# Times the nightly job on the same data on SQLite and on PostgreSQL over loopback.
#
#   scripts/pg_bench.sh [PERSONS] [HISTORY_DAYS] [BUILD_DIR]    (defaults: 2000 60 build)
#
# Builds the programs, starts a throwaway PostgreSQL server (scripts/with_pg.sh), fills one
# schema on each backend with the same synthetic population ("parvekctl gen", seed
# PARVEK_BENCH_SEED, default 1): PERSONS persons with HISTORY_DAYS days of history each and one
# accounting day (yesterday) each. Then it runs the job once on each and prints the time per
# accounting day. Needs the psql program (for ANALYZE after the load). With Debian's unixODBC
# drivers (odbc-postgresql, libsqliteodbc) installed, the same data runs once more through ODBC
# on each engine.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
if [ -z "${PARVEK_PG_STATE:-}" ]; then
  exec "$repo/scripts/with_pg.sh" "$0" "$@"
fi
persons=${1:-2000}
history=${2:-60}
build=${3:-$repo/build}
seed=${PARVEK_BENCH_SEED:-1}

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target parvek parvekctl >/dev/null
ctl="$build/parvekctl"

work=$(mktemp -d "${TMPDIR:-/tmp}/parvek-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cred=(--login "$PARVEK_TEST_PG_LOGIN" --pass "$PARVEK_TEST_PG_PASS")
gen=(--persons "$persons" --days "$history" --seed "$seed")

settings() {  # DIR NET8 LOGIN PASS
  mkdir -p "$1"
  "$ctl" settings-set "$1/parvek.ini" LOGIN "$3" >/dev/null
  printf '%s' "$4" | "$ctl" settings-set "$1/parvek.ini" PASS >/dev/null
  "$ctl" settings-set "$1/parvek.ini" NET8 "$2" >/dev/null
  "$ctl" settings-set "$1/parvek.ini" SCHEMA "BENCH#" >/dev/null
}

mkdir -p "$work/sqlite"
"$ctl" gen "sqlite:$work/sqlite" BENCH "${gen[@]}" >/dev/null
settings "$work/sqlite" "sqlite:$work/sqlite" unused unused

"$ctl" gen "$PARVEK_TEST_PG" BENCH "${gen[@]}" "${cred[@]}" >/dev/null
# Fresh statistics, as a database in use has them.
psql=$(command -v psql || ls /usr/lib/postgresql/*/bin/psql 2>/dev/null | sort -V | tail -n 1)
PGPASSWORD=$PARVEK_TEST_PG_PASS "$psql" -X -q -v ON_ERROR_STOP=1 \
  -U "$PARVEK_TEST_PG_LOGIN" -d "$PARVEK_TEST_PG" \
  -c "ANALYZE bench.Krv327Tag, bench.Krv320Tgb, bench.Krv321Bch, bench.Krv329Ztg, bench.Krv131Fcd, bench.Krv140Azv" \
  >/dev/null
settings "$work/postgres" "$PARVEK_TEST_PG" "$PARVEK_TEST_PG_LOGIN" "$PARVEK_TEST_PG_PASS"

# The same data once more for the runs through ODBC: a copy of the SQLite file, and a second
# PostgreSQL schema, reached through a private unixODBC configuration.
backends="sqlite postgres"
odbc_dir=/usr/lib/$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)/odbc
if [ -f "$odbc_dir/psqlodbcw.so" ] && [ -f "$odbc_dir/libsqlite3odbc.so" ]; then
  hostport=${PARVEK_TEST_PG#*://}
  hostport=${hostport%%/*}
  mkdir -p "$work/odbc" "$work/odbc-sqlite"
  printf '[B PostgreSQL]\nDriver=%s\n[B SQLite3]\nDriver=%s\n' "$odbc_dir/psqlodbcw.so" \
    "$odbc_dir/libsqlite3odbc.so" >"$work/odbc/odbcinst.ini"
  printf '[BENCH_PG]\nDriver=B PostgreSQL\nServername=%s\nPort=%s\nDatabase=%s\n' \
    "${hostport%:*}" "${hostport##*:}" "${PARVEK_TEST_PG##*/}" >"$work/odbc/odbc.ini"
  export ODBCSYSINI="$work/odbc" ODBCINI="$work/odbc/odbc.ini"
  cp "$work/sqlite/BENCH.db" "$work/odbc-sqlite/BENCH.db"
  settings "$work/odbc-sqlite" "odbc:Driver={B SQLite3};Database=$work/odbc-sqlite/BENCH.db" unused unused
  "$ctl" gen "$PARVEK_TEST_PG" BENCH2 "${gen[@]}" "${cred[@]}" >/dev/null
  PGPASSWORD=$PARVEK_TEST_PG_PASS "$psql" -X -q -v ON_ERROR_STOP=1 \
    -U "$PARVEK_TEST_PG_LOGIN" -d "$PARVEK_TEST_PG" \
    -c "ANALYZE bench2.Krv327Tag, bench2.Krv320Tgb, bench2.Krv321Bch, bench2.Krv329Ztg, bench2.Krv131Fcd, bench2.Krv140Azv" \
    >/dev/null
  settings "$work/odbc-postgres" odbc:BENCH_PG "$PARVEK_TEST_PG_LOGIN" "$PARVEK_TEST_PG_PASS"
  "$ctl" settings-set "$work/odbc-postgres/parvek.ini" SCHEMA "BENCH2#" >/dev/null
  backends="$backends odbc-sqlite odbc-postgres"
else
  echo "pg_bench: the ODBC drivers are not installed; the runs through ODBC are left out" >&2
fi

echo "Data: $persons persons, $history days of history each, one accounting day each (seed $seed)"
for backend in $backends; do
  dir="$work/$backend"
  start=$(date +%s%N)
  (cd "$dir" && "$build/parvek" parvek.ini XXX X)
  end=$(date +%s%N)
  lines=$(wc -l <"$dir/parvektgb")
  awk -v b="$backend" -v ns=$((end - start)) -v n="$persons" -v l="$lines" 'BEGIN {
    printf "%-13s %8.2f s in all, %7.3f ms per accounting day (%d days with a follow-up)\n", b, ns / 1e9, ns / 1e6 / n, l }'
done
