#!/usr/bin/env bash
# Many companies' nights on one PostgreSQL server: `parvekctl nights` over S schemas of P persons
# with D days of history each, at K = 1, 2, 4, 8 nights at a time. Prints, per run, the total
# wall time, each night's p50 and p95, the throughput, and what the run used: the server's CPU,
# the jobs' CPU, the machine's CPU (and what other processes took of it), the disk's busy time
# and flushes and the server's WAL syncs. Then the targets: K = 2 at least 1.6 x the throughput
# of K = 1, and no night at K = 4 slower than 2 x its own time at K = 1 (alone).
#   bench/nights.sh [--schemas S] [--persons P] [--days D] [--ks 1,2,4,8] [--rounds R] [--seed N]
# Defaults: 50 schemas x 2,000 persons x 30 days, one round. Every run starts from the same
# generated data: the schemas are generated once into a template database, and each run works
# on a fresh copy of it (CREATE DATABASE ... TEMPLATE), made and checkpointed before the clock
# starts. Runs of several rounds alternate the order of K (1 2 4 8, then 8 4 2 1, ...), so that
# a machine that gets busier or quieter meanwhile does not favour one K; each ratio is taken
# within one round.
# It needs a throwaway server of its own (scripts/with_pg.sh, which it starts itself): the copies
# are made as the server's superuser.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
if [ -z "${PARVEK_PG_STATE:-}" ]; then
  exec "$repo/scripts/with_pg.sh" "$0" "$@"
fi
schemas=50 persons=2000 days=30 ks=1,2,4,8 rounds=1 seed=7
while [ $# -gt 0 ]; do
  case "$1" in
    --schemas) schemas=$2; shift 2 ;;
    --persons) persons=$2; shift 2 ;;
    --days) days=$2; shift 2 ;;
    --ks) ks=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    *) echo "usage: bench/nights.sh [--schemas S] [--persons P] [--days D] [--ks 1,2,4,8] [--rounds R] [--seed N]" >&2; exit 2 ;;
  esac
done
build="${PARVEK_BUILD:-$repo/build}"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target parvek parvekctl >/dev/null
ctl="$build/parvekctl"

state=$PARVEK_PG_STATE
port=$(cat "$state/port")
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
su_psql() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$bin/psql" -X -q -At -v ON_ERROR_STOP=1 -h "$state" -p "$port" -U pgadmin "$@"
  else
    "$bin/psql" -X -q -At -v ON_ERROR_STOP=1 -h "$state" -p "$port" -U pgadmin "$@"
  fi
}
uri_of() { echo "postgresql://127.0.0.1:$port/$1"; }
work="$(mktemp -d /tmp/parvek-nights-XXXXXX)"
trap 'rm -rf "$work"' EXIT
printf '%s\n' "$PARVEK_TEST_PG_PASS" >"$work/pass"
mkdir "$work/slots"

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(free -g | awk '/^Mem/ {print $2}') GB;" \
     "PostgreSQL $("$bin/pg_config" --version | cut -d' ' -f2) on loopback (data in $state, $(df -h --output=source,fstype "$state" | tail -1 | tr -s ' '));" \
     "commit $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?'); $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "Data: $schemas schemas x $persons persons x $days days (seed $seed); K = $ks; $rounds round(s)"

# ---- the data, once: a template database with every schema ----------------------------------
t0=$(date +%s.%N)
su_psql -d postgres -c "CREATE DATABASE nights_tpl OWNER parvek"
names=()
for i in $(seq -w 1 "$schemas"); do names+=("C$i"); done
gen_one() {
  "$ctl" gen "$(uri_of nights_tpl)" "$1" --persons "$persons" --days "$days" --seed "$seed" \
    --login parvek --pass-stdin <"$work/pass" >"$work/gen-$1.out" 2>&1 ||
    { echo "gen failed for $1:"; cat "$work/gen-$1.out"; exit 1; } >&2
}
# Two at a time: the machine has two cores.
for ((i = 0; i < ${#names[@]}; i += 2)); do
  gen_one "${names[i]}" &
  first=$!
  if [ $((i + 1)) -lt ${#names[@]} ]; then gen_one "${names[i + 1]}"; fi
  wait "$first"
done
# The settings file of each company, copied into its working directory for every run.
for n in "${names[@]}"; do
  mkdir -p "$work/settings/$n"
  "$ctl" settings-set "$work/settings/$n/parvek.ini" LOGIN parvek >/dev/null
  "$ctl" settings-set "$work/settings/$n/parvek.ini" PASS <"$work/pass" >/dev/null
  "$ctl" settings-set "$work/settings/$n/parvek.ini" NET8 "$(uri_of nights_run)" >/dev/null
  "$ctl" settings-set "$work/settings/$n/parvek.ini" SCHEMA "$n#" >/dev/null
done
su_psql -d nights_tpl -c "VACUUM ANALYZE"
echo "Generated in $(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.0f", b - a }') s: $(su_psql -d postgres -c "select pg_size_pretty(pg_database_size('nights_tpl'))")"

# ---- what a run used ------------------------------------------------------------------------
hz=$(getconf CLK_TCK)
postmaster=$(head -1 "$state/data/postmaster.pid")
disk=$(basename "$(df --output=source "$state" | tail -1)")
# The server's CPU seconds: the postmaster's own and its children's that ended (cutime, cstime),
# and those of its children running now.
server_cpu() {
  { cat /proc/[0-9]*/stat 2>/dev/null || true; } | awk -v pm="$postmaster" -v hz="$hz" '
    { pid = $1; sub(/^.*\) /, "") }   # the fields after the command name: $2 is the parent
    pid == pm { t += $12 + $13 + $14 + $15 }
    $2 == pm { t += $12 + $13 }
    END { printf "%.2f\n", t / hz }'
}
# The machine's busy and total CPU seconds (all cores).
machine_cpu() { awk -v hz="$hz" '/^cpu / { b = $2 + $3 + $4 + $7 + $8 + $9; t = b + $5 + $6; printf "%.2f %.2f\n", b / hz, t / hz }' /proc/stat; }
# The disk's milliseconds busy, its flush requests and writes completed.
disk_stats() { awk -v d="$disk" '$3 == d { printf "%d %d %d\n", $13, ($19 == "" ? 0 : $19), $8 }' /proc/diskstats; }
wal_syncs() { su_psql -d postgres -c "select wal_sync from pg_stat_wal"; }

results="$work/results.tsv"
: >"$results"
run_one() {  # K ROUND
  local k=$1 round=$2 dir="$work/run"
  rm -rf "$dir"
  mkdir -p "$dir"
  su_psql -d postgres -c "DROP DATABASE IF EXISTS nights_run" -c "CREATE DATABASE nights_run TEMPLATE nights_tpl OWNER parvek" -c "CHECKPOINT"
  sync
  local settings=()
  for n in "${names[@]}"; do
    mkdir "$dir/$n"
    cp -p "$work/settings/$n/parvek.ini" "$dir/$n/parvek.ini"
    settings+=("$dir/$n/parvek.ini")
  done
  local load m0 s0 d0 w0 m1 s1 d1 w1 rc=0
  load=$(cut -d' ' -f1 /proc/loadavg)
  m0=$(machine_cpu) s0=$(server_cpu) d0=$(disk_stats) w0=$(wal_syncs)
  "$ctl" nights "${settings[@]}" --at-once "$k" --variant KRVNT --join "$dir/joined" --slots "$work/slots" >"$dir/out" 2>"$dir/err" || rc=$?
  m1=$(machine_cpu) s1=$(server_cpu) d1=$(disk_stats) w1=$(wal_syncs)
  if [ "$rc" -ne 0 ]; then echo "nights failed at K=$k:"; cat "$dir/out" "$dir/err"; exit 1; fi >&2
  # Per night: schema and seconds; the total line: wall seconds.
  awk -v k="$k" -v r="$round" '$1 != "total:" { print r "\t" k "\tnight\t" $1 "\t" $8 "\t" $11 }' "$dir/out" >>"$results"
  local wall lines
  wall=$(awk '$1 == "total:" { for (i = 1; i <= NF; i++) if ($i == "s;" || $i == "s") print $(i - 1) }' "$dir/out" | head -1)
  lines=$(wc -l <"$dir/joined")
  echo "$m0 $m1 $s0 $s1 $d0 $d1 $w0 $w1 $wall $lines $load" | awk -v k="$k" -v r="$round" '{
    busy = $3 - $1; total = $4 - $2; srv = $6 - $5; dms = $10 - $7; fl = $11 - $8; wr = $12 - $9; ws = $14 - $13; wall = $15
    printf "%s\t%s\trun\t%.3f\t%.2f\t%.2f\t%.1f\t%d\t%d\t%d\t%d\t%s\n", r, k, wall, busy / wall, srv / wall, 100 * dms / (wall * 1000), fl, wr, ws, $16, $17 }' >>"$results"
}

IFS=, read -r -a klist <<<"$ks"
for ((round = 1; round <= rounds; round++)); do
  order=("${klist[@]}")
  if [ $((round % 2)) -eq 0 ]; then
    order=()
    for ((i = ${#klist[@]} - 1; i >= 0; i--)); do order+=("${klist[i]}"); done
  fi
  for k in "${order[@]}"; do
    echo "round $round: K = $k ..." >&2
    run_one "$k" "$round"
  done
done

# ---- the table ------------------------------------------------------------------------------
awk -F'\t' -v n="$schemas" '
  function pct(arr, cnt, p,   i, j, t, idx) {   # nearest-rank percentile of arr[1..cnt]
    for (i = 1; i <= cnt; i++) for (j = i + 1; j <= cnt; j++) if (arr[j] < arr[i]) { t = arr[i]; arr[i] = arr[j]; arr[j] = t }
    idx = int(p * cnt + 0.999999); if (idx < 1) idx = 1; return arr[idx]
  }
  $3 == "night" { key = $1 SUBSEP $2; cnt[key]++; t[key, cnt[key]] = $5; took[$1, $2, $4] = $5; cpu[key] += $6; next }
  $3 == "run" { key = $1 SUBSEP $2; run[key] = $0; if ($1 > nr) nr = $1 }
  END {
    print "| round | K | wall s | nights/min | night p50 s | night p95 s | slowest / alone | jobs CPU (cores) | server CPU (cores) | machine busy (cores) | others (cores) | disk busy % | disk flushes | WAL syncs | lines joined | load before |"
    print "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    for (r = 1; r <= nr; r++) for (k = 1; k <= 64; k++) {
      key = r SUBSEP k; if (!(key in run)) continue
      split(run[key], f, "\t")
      c = cnt[key]; for (i = 1; i <= c; i++) a[i] = t[key, i]; p50 = pct(a, c, 0.5)
      for (i = 1; i <= c; i++) a[i] = t[key, i]; p95 = pct(a, c, 0.95)
      worst = 0
      for (x in took) { split(x, y, SUBSEP); if (y[1] == r && y[2] == k && ((r, 1, y[3]) in took) && took[r, 1, y[3]] > 0) { q = took[x] / took[r, 1, y[3]]; if (q > worst) worst = q } }
      jobs = cpu[key] / f[4]
      printf "| %s | %d | %.1f | %.1f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.0f | %d | %d | %d | %s |\n", r, k, f[4], 60 * c / f[4], p50, p95, worst, jobs, f[6], f[5], f[5] - f[6] - jobs, f[7], f[8], f[10], f[11], f[12]
      wall[r, k] = f[4]; slow[r, k] = worst
    }
    for (r = 1; r <= nr; r++) {
      if ((r, 1) in wall && (r, 2) in wall) printf "Round %s: K = 2 gives %.2f x the throughput of K = 1 (target at least 1.6)\n", r, wall[r, 1] / wall[r, 2]
      if ((r, 4) in slow) printf "Round %s: the slowest night at K = 4 took %.2f x its time alone (target at most 2)\n", r, slow[r, 4]
    }
  }' "$results"
cp "$results" "${PARVEK_NIGHTS_TSV:-$build/bench/nights.tsv}" 2>/dev/null || true
