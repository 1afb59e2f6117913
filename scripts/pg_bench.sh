#!/usr/bin/env bash
# Times the nightly job on the same data on SQLite and on PostgreSQL over loopback.
#
#   scripts/pg_bench.sh [PERSONS] [HISTORY_DAYS] [BUILD_DIR]    (defaults: 2000 60 build)
#
# Builds the programs, starts a throwaway PostgreSQL server (scripts/pg_test_server.sh), fills
# one schema on each backend with PERSONS persons and HISTORY_DAYS days of history each (day
# records, day-evaluation rows, clock-in and clock-out bookings, working-time assignments); half
# of the persons were ill the day before yesterday, the other half went home sick with an hour
# message. Then it runs the job once on each and prints the time per accounting day (one per
# person). Needs the sqlite3 and psql programs. With Debian's unixODBC drivers (odbc-postgresql,
# libsqliteodbc) installed, the same data runs once more through ODBC on each engine.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
persons=${1:-2000}
history=${2:-60}
build=${3:-$repo/build}

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target parvek parvekctl >/dev/null
ctl="$build/parvekctl"

# Under /tmp: the server's user must reach it, and its socket path must stay short.
work=$(mktemp -d /tmp/parvek-bench.XXXXXX)
chmod 755 "$work"
trap '"$repo/scripts/pg_test_server.sh" stop "$work/pg"; rm -rf "$work"' EXIT
"$repo/scripts/pg_test_server.sh" start "$work/pg" >/dev/null
# shellcheck disable=SC1091
. "$work/pg/env"

# ---- the data, as SQL both engines take ----
days=()
for ((i = history + 1; i >= 1; i--)); do days+=("$(date -d "-$i day" +%Y-%m-%d)"); done
echo "${days[@]}" | awk -v persons="$persons" '
function tag(p, d, von, bis, tgb, tgs) {
  printf "INSERT INTO Krv327Tag (TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd, TagTgb, TagTgs) VALUES (%s, %s, %s, %s, %s, %s, %s, %s);\n", \
    p, q(d " 00:00:00"), q(d " 00:00:00"), q(d " " von), q(d " 00:00:00"), q(d " " bis), tgb, tgs
  printf "INSERT INTO Krv320Tgb (TgbPnr, TgbDtm, TgbZtr, TgbSol) VALUES (%s, %s, 1, 480);\n", p, q(d " 00:00:00")
}
function bch(p, d, t, fkt, fcd) {
  printf "INSERT INTO Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd, BchErf) VALUES (%s, %s, %s, %d, %s, %s);\n", \
    p, q(d " 00:00:00"), q(d " " t), fkt, fcd, q("bench")
}
function q(s) { return "\047" s "\047" }
{
  n = split($0, day, " ")
  print "INSERT INTO Krv131Fcd (FcdNum, FcdTyp, FcdZwt, FcdStd, FcdSol, FcdPri, FcdGpu, FcdFcd, FcdFlg, FcdSta) VALUES"
  print " (\047KRA\047, 1, 1, 0, 0, 20, 0, NULL, \047KRF\047, 0), (\047KRF\047, 1, 1, 0, 0, 20, 0, NULL, \047KRF\047, 0),"
  print " (\047KRH\047, 24, 1, 0, 0, 20, 0, 24, \047KRF\047, 0);"
  print "INSERT INTO Krv140Azv (AzvNum, AzvSol, AzvSo2, AzvVhs, AzvHso, AzvHs2, AzvHtv, AzvGvo, AzvGbi, AzvSta) VALUES (\047VZ40\047, 480, 480, 480, 240, 240, 0, \0472000-01-01 00:00:00\047, NULL, 0);"
  for (i = 1; i <= persons; i++) {
    p = q(sprintf("%d", 100000 + i))
    for (k = 1; k <= n - 2; k++) {
      tag(p, day[k], "07:00:00", "16:00:00", "NULL", "NULL")
      bch(p, day[k], "07:00:00", 21, "NULL"); bch(p, day[k], "16:00:00", 22, "NULL")
    }
    ref = day[n - 1]
    if (i % 2 == 0) {
      tag(p, ref, "07:00:00", "16:00:00", q("KRA"), 480)
      bch(p, ref, "00:00:00", 1, q("KRA"))
    } else {
      tag(p, ref, "07:00:00", "16:00:00", "NULL", "NULL")
      bch(p, ref, "07:00:00", 21, "NULL"); bch(p, ref, "13:30:00", 24, q("KRH"))
    }
    tag(p, day[n], "12:00:00", "12:00:00", "NULL", "NULL")
    printf "INSERT INTO Krv329Ztg (ZtgPnr, ZtgVon, ZtgAzt, ZtgSta) VALUES (%s, %s, \047VZ40\047, 0);\n", p, q(day[n] " 00:00:00")
  }
}' >"$work/data.sql"

settings() {  # DIR NET8 LOGIN PASS
  mkdir -p "$1"
  "$ctl" settings-set "$1/parvek.ini" LOGIN "$3" >/dev/null
  printf '%s' "$4" | "$ctl" settings-set "$1/parvek.ini" PASS >/dev/null
  "$ctl" settings-set "$1/parvek.ini" NET8 "$2" >/dev/null
  "$ctl" settings-set "$1/parvek.ini" SCHEMA "BENCH#" >/dev/null
}

mkdir -p "$work/sqlite"
"$ctl" schema-create "sqlite:$work/sqlite" BENCH >/dev/null
{ echo "BEGIN;"; cat "$work/data.sql"; echo "COMMIT;"; } | sqlite3 "$work/sqlite/BENCH.db"
settings "$work/sqlite" "sqlite:$work/sqlite" unused unused

"$ctl" schema-create "$PARVEK_TEST_PG" BENCH --login "$PARVEK_TEST_PG_LOGIN" --pass "$PARVEK_TEST_PG_PASS" >/dev/null
port=$(cat "$work/pg/port")
PGPASSWORD=$PARVEK_TEST_PG_PASS psql -X -q -1 -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$port" \
  -U "$PARVEK_TEST_PG_LOGIN" -d parvek_test -c "SET search_path TO bench" -f "$work/data.sql" \
  -c "ANALYZE" >/dev/null
settings "$work/postgres" "$PARVEK_TEST_PG" "$PARVEK_TEST_PG_LOGIN" "$PARVEK_TEST_PG_PASS"

# The same data once more for the runs through ODBC: a copy of the SQLite file, and a second
# PostgreSQL schema, reached through a private unixODBC configuration.
backends="sqlite postgres"
odbc_dir=/usr/lib/$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)/odbc
if [ -f "$odbc_dir/psqlodbcw.so" ] && [ -f "$odbc_dir/libsqlite3odbc.so" ]; then
  mkdir -p "$work/odbc" "$work/odbc-sqlite"
  printf '[B PostgreSQL]\nDriver=%s\n[B SQLite3]\nDriver=%s\n' "$odbc_dir/psqlodbcw.so" \
    "$odbc_dir/libsqlite3odbc.so" >"$work/odbc/odbcinst.ini"
  printf '[BENCH_PG]\nDriver=B PostgreSQL\nServername=127.0.0.1\nPort=%s\nDatabase=parvek_test\n' \
    "$port" >"$work/odbc/odbc.ini"
  export ODBCSYSINI="$work/odbc" ODBCINI="$work/odbc/odbc.ini"
  cp "$work/sqlite/BENCH.db" "$work/odbc-sqlite/BENCH.db"
  settings "$work/odbc-sqlite" "odbc:Driver={B SQLite3};Database=$work/odbc-sqlite/BENCH.db" unused unused
  "$ctl" schema-create odbc:BENCH_PG BENCH2 --login "$PARVEK_TEST_PG_LOGIN" --pass "$PARVEK_TEST_PG_PASS" >/dev/null
  PGPASSWORD=$PARVEK_TEST_PG_PASS psql -X -q -1 -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$port" \
    -U "$PARVEK_TEST_PG_LOGIN" -d parvek_test -c "SET search_path TO bench2" -f "$work/data.sql" \
    -c "ANALYZE" >/dev/null
  settings "$work/odbc-postgres" odbc:BENCH_PG "$PARVEK_TEST_PG_LOGIN" "$PARVEK_TEST_PG_PASS"
  "$ctl" settings-set "$work/odbc-postgres/parvek.ini" SCHEMA "BENCH2#" >/dev/null
  backends="$backends odbc-sqlite odbc-postgres"
else
  echo "pg_bench: the ODBC drivers are not installed; the runs through ODBC are left out" >&2
fi

echo "Data: $persons persons, $history days of history each, one accounting day each"
for backend in $backends; do
  dir="$work/$backend"
  start=$(date +%s%N)
  (cd "$dir" && "$build/parvek" parvek.ini XXX X)
  end=$(date +%s%N)
  lines=$(wc -l <"$dir/parvektgb")
  awk -v b="$backend" -v ns=$((end - start)) -v n="$persons" -v l="$lines" 'BEGIN {
    printf "%-13s %8.2f s in all, %7.3f ms per accounting day (%d days with a follow-up)\n", b, ns / 1e9, ns / 1e6 / n, l }'
done
