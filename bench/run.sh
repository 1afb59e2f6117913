#!/usr/bin/env bash
# The night benchmark: builds the programs (Release), generates the data of every size, runs the
# real job on each and prints the table and the targets. With gnuplot installed it also draws
# the time per accounting day against N and D (default build/bench/chart.png).
#   bench/run.sh [--full] [--dir DIR] [--keep] [--only LABEL,...] [--seed S]
#   PARVEK_CHART=path.png bench/run.sh ...     (where to draw the chart)
# --full adds N = 100,000 persons: about 15 GB of database under DIR (default /tmp) and half an
# hour on a small machine; the default sizes take a few minutes.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${PARVEK_BUILD:-$repo/build}"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARVEK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target parvek parvekctl bench_night >/dev/null
work="$(mktemp -d /tmp/parvek-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//');" \
     "disk $(df -h --output=source,fstype,size /tmp | tail -1 | tr -s ' ');" \
     "SQLite $(sqlite3 --version 2>/dev/null | cut -d' ' -f1 || echo '?'); $(date -u '+%Y-%m-%d %H:%M UTC')"
"$build/bench/bench_night" --out "$work/results.tsv" "$@"
if command -v gnuplot >/dev/null; then
  chart="${PARVEK_CHART:-$build/bench/chart.png}"
  # One series per curve, in the order of its x value.
  awk -F'\t' 'NR > 1 && $1 !~ /deep/ && $3 == 365' "$work/results.tsv" | sort -t$'\t' -k2,2n > "$work/by_n.tsv"
  awk -F'\t' 'NR > 1 && $1 !~ /deep/ && $2 == 1000' "$work/results.tsv" | sort -t$'\t' -k3,3n > "$work/by_d.tsv"
  gnuplot -e "by_n='$work/by_n.tsv'; by_d='$work/by_d.tsv'; out='$chart'" "$repo/bench/chart.gp"
  cp "$work/results.tsv" "${chart%.png}.tsv"
  echo "Chart: $chart (figures in ${chart%.png}.tsv)"
fi
