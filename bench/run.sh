#!/usr/bin/env bash
# The night benchmark on every engine: builds the programs (Release), starts a throwaway
# PostgreSQL server on loopback (scripts/with_pg.sh), makes the ODBC routes that Debian's drivers
# allow (odbc-postgresql, libsqliteodbc), generates the data of every size once per engine, runs
# the real job on each and prints the table and the targets. With gnuplot installed it also draws
# the time per accounting day against N and D, one curve per engine, and, once bench/run.sh
# --nights has left its figures in the build (build/bench/nights.tsv), many companies' total
# time against K (default build/bench/chart.png).
#   bench/run.sh [--full] [--dir DIR] [--keep] [--only LABEL,...] [--seed S] [--engines E,...]
#                [--compare-decisions [--compare-rounds R]]
#   PARVEK_CHART=path.png bench/run.sh ...     (where to draw the chart)
# --full adds N = 100,000 persons: about 15 GB of SQLite database under DIR (default /tmp) and
# as much again on the server.
# --compare-decisions also builds the job and parvekctl without the rules' reports of their
# decisions (-DPARVEK_DECISIONS=OFF, in build-no-decisions/ or PARVEK_BUILD_NO_DECISIONS) and
# runs both builds' nights in turn on the sizes of 1,000 persons (bench_night --compare-build):
#   bench/run.sh --compare-decisions --only N1k-D365 --engines sqlite,postgres
# --nights runs the benchmark of many companies' nights on one PostgreSQL server instead
# (bench/nights.sh, its options after it):
#   bench/run.sh --nights [--schemas 50 --persons 2000 --days 30 --ks 1,2,4,8 --rounds 1]
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${1:-}" = --nights ]; then
  shift
  exec "$repo/bench/nights.sh" "$@"
fi
if [ -z "${PARVEK_PG_STATE:-}" ] && [ -z "${PARVEK_TEST_PG:-}" ]; then
  exec "$repo/scripts/with_pg.sh" --optional "$0" "$@"
fi
build="${PARVEK_BUILD:-$repo/build}"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARVEK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target parvek parvekctl bench_night >/dev/null
args=()
for a in "$@"; do
  if [ "$a" = --compare-decisions ]; then
    off="${PARVEK_BUILD_NO_DECISIONS:-$repo/build-no-decisions}"
    cmake -S "$repo" -B "$off" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARVEK_DECISIONS=OFF \
      -DPARVEK_BUILD_TESTS=OFF -DPARVEK_BUILD_BENCH=OFF >/dev/null
    cmake --build "$off" --target parvek parvekctl >/dev/null
    args+=(--compare-build "$off")
  else
    args+=("$a")
  fi
done
set -- ${args[@]+"${args[@]}"}
work="$(mktemp -d /tmp/parvek-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT

engines=sqlite
if [ -n "${PARVEK_TEST_PG:-}" ]; then
  engines="$engines,postgres"
fi
# The ODBC routes: a private unixODBC configuration naming Debian's drivers.
odbc_dir=/usr/lib/$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)/odbc
mkdir -p "$work/odbc"
: >"$work/odbc/odbcinst.ini"
: >"$work/odbc/odbc.ini"
if [ -f "$odbc_dir/libsqlite3odbc.so" ]; then
  printf '[B SQLite3]\nDriver=%s\n' "$odbc_dir/libsqlite3odbc.so" >>"$work/odbc/odbcinst.ini"
  export PARVEK_BENCH_ODBC_SQLITE="B SQLite3"
  engines="$engines,odbc-sqlite"
fi
if [ -f "$odbc_dir/psqlodbcw.so" ] && [ -n "${PARVEK_TEST_PG:-}" ]; then
  hostport=${PARVEK_TEST_PG#*://}
  hostport=${hostport%%/*}
  printf '[B PostgreSQL]\nDriver=%s\n' "$odbc_dir/psqlodbcw.so" >>"$work/odbc/odbcinst.ini"
  printf '[BENCH_PG]\nDriver=B PostgreSQL\nServername=%s\nPort=%s\nDatabase=%s\n' \
    "${hostport%:*}" "${hostport##*:}" "${PARVEK_TEST_PG##*/}" >"$work/odbc/odbc.ini"
  export PARVEK_BENCH_ODBC_PG=BENCH_PG
  engines="$engines,odbc-postgres"
fi
export ODBCSYSINI="$work/odbc" ODBCINI="$work/odbc/odbc.ini"

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(free -g | awk '/^Mem/ {print $2}') GB;" \
     "disk $(df -h --output=source,fstype,size /tmp | tail -1 | tr -s ' ');" \
     "SQLite $(sqlite3 --version 2>/dev/null | cut -d' ' -f1 || echo '?');" \
     "PostgreSQL $(pg_config --version 2>/dev/null | cut -d' ' -f2 || echo '?') on loopback;" \
     "commit $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?'); $(date -u '+%Y-%m-%d %H:%M UTC')"
"$build/bench/bench_night" --engines "$engines" --out "$work/results.tsv" "$@"
if command -v gnuplot >/dev/null; then
  chart="${PARVEK_CHART:-$build/bench/chart.png}"
  # One series per engine and curve, in the order of its x value.
  args=""
  for e in ${engines//,/ }; do
    awk -F'\t' -v e="$e" 'NR > 1 && $11 == e && $1 !~ /deep/ && $3 == 365' "$work/results.tsv" |
      sort -t$'\t' -k2,2n >"$work/by_n.$e.tsv"
    awk -F'\t' -v e="$e" 'NR > 1 && $11 == e && $1 !~ /deep/ && $2 == 1000' "$work/results.tsv" |
      sort -t$'\t' -k3,3n >"$work/by_d.$e.tsv"
    args="$args $e"
  done
  # Many companies' figures, when bench/run.sh --nights left them in this build.
  nights=""
  if [ -s "${PARVEK_NIGHTS_TSV:-$build/bench/nights.tsv}" ]; then
    nights="$work/by_k.tsv"
    awk -F'\t' '$3 == "run" { s[$2] += $4; n[$2]++ } END { for (k in s) print k "\t" s[k] / n[k] }' \
      "${PARVEK_NIGHTS_TSV:-$build/bench/nights.tsv}" | sort -n >"$nights"
  fi
  gnuplot -e "dir='$work'; engines='${args# }'; nights='$nights'; out='$chart'" "$repo/bench/chart.gp"
  cp "$work/results.tsv" "${chart%.png}.tsv"
  echo "Chart: $chart (figures in ${chart%.png}.tsv)"
fi
