#!/usr/bin/env bash
# What the night's report costs at a site's size: generates a population on SQLite (parvekctl
# gen), runs its night with a journal, then times `parvekctl report` writing the page (wall and
# CPU, several rounds) and headless Chromium opening it: when the page was read, laid out and
# loaded, by the page's own clock (its self-test, tools/report_page.js), and the browser's whole
# run beside a run on an empty page. Also the report over a folder of a week of such nights.
#   bench/report.sh [--persons N] [--days D] [--rounds R] [--nights K] [--dir DIR] [--keep]
# Defaults: 50,000 persons, 30 days of history, 5 rounds, a week (7 nights): about 2 minutes on
# 2 cores and 0.6 GB under DIR (default /tmp).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
persons=50000 days=30 rounds=5 nights=7 base=/tmp keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --persons) persons=$2; shift 2 ;;
    --days) days=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --nights) nights=$2; shift 2 ;;
    --dir) base=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--persons N] [--days D] [--rounds R] [--nights K] [--dir DIR] [--keep]" >&2; exit 2 ;;
  esac
done
build="${PARVEK_BUILD:-$repo/build}"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target parvekctl >/dev/null
ctl="$build/parvekctl"
work="$(mktemp -d "$base/parvek-report-XXXXXX")"
[ "$keep" = 1 ] && echo "keeping $work" >&2 || trap 'rm -rf "$work"' EXIT
cd "$work"

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

t0=$(now)
"$ctl" gen "sqlite:$work" P --persons "$persons" --days "$days" --seed 7 2>/dev/null
t1=$(now)
"$ctl" settings-set s.ini LOGIN x >/dev/null
echo x | "$ctl" settings-set s.ini PASS >/dev/null
"$ctl" settings-set s.ini NET8 "sqlite:$work" >/dev/null
"$ctl" settings-set s.ini SCHEMA 'P#' >/dev/null
"$ctl" night s.ini XXX D --journal j
t2=$(now)
journal=$(ls j/*.journal)
printf 'machine: %s cores, load %s; %s persons x %s days: gen %.1f s, night %.1f s, journal %s MB\n' \
  "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)" "$persons" "$days" "$(echo "$t1 - $t0" | bc)" \
  "$(echo "$t2 - $t1" | bc)" "$(( $(stat -c %s "$journal") / 1048576 ))"

# Writing the page: wall, user and system time per round.
: >writes
for _ in $(seq "$rounds"); do
  /usr/bin/time -f '%e %U %S %M' -a -o writes "$ctl" report j --log parvek.log -o page.html >/dev/null
done
printf 'report, one night: %s persons touched, page %s MB\n' \
  "$(grep -o 'id="g-touched" data-n="[0-9]*"' page.html | grep -o '[0-9]*"$' | tr -d '"')" \
  "$(awk -v s="$(stat -c %s page.html)" 'BEGIN { printf "%.1f", s / 1048576 }')"
printf '  wall s   median %s (lowest %s, highest %s)\n' "$(cut -d' ' -f1 writes | median)" \
  "$(cut -d' ' -f1 writes | sort -g | head -1)" "$(cut -d' ' -f1 writes | sort -g | tail -1)"
printf '  CPU s    median %s user + %s system; peak RSS %s MB\n' "$(cut -d' ' -f2 writes | median)" \
  "$(cut -d' ' -f3 writes | median)" "$(( $(cut -d' ' -f4 writes | median) / 1024 ))"

# A week of nights in one folder: copies of the night's journal, the chart reads each.
mkdir -p week
for k in $(seq "$nights"); do cp "$journal" "week/parvek-20260101-2026010${k}T041500.journal"; done
/usr/bin/time -f '%e %U %S' -o week.time "$ctl" report week -o week.html >/dev/null
printf 'report, a folder of %s such nights: %s s wall, %s s user, %s s system\n' "$nights" \
  $(cat week.time)

# Opening the page in headless Chromium: the page's own clock, and the browser's whole run.
chromium=${PARVEK_CHROMIUM:-$(command -v chromium || true)}
if [ -z "$chromium" ]; then
  echo "chromium: not installed (scripts/packages.sh install test); the page's opening is not measured"
  exit 0
fi
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_CACHE_HOME="$work/home/cache"
browse() {  # URL: the browser's dump of the page once loaded, bounded
  timeout -k 5 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-dev-shm-usage \
    --no-first-run --user-data-dir="$work/home/profile" --dump-dom "$1" 2>/dev/null || true
}
echo '<!DOCTYPE html><title>empty</title>' >empty.html
: >opens
: >empties
for _ in $(seq "$rounds"); do
  s=$(now); browse "file://$work/empty.html" >/dev/null; e=$(now)
  echo "$e - $s" | bc >>empties
  s=$(now); out=$(browse "file://$work/page.html#selftest="); e=$(now)
  json=$(echo "$out" | sed -n 's/.*<pre id="selftest-result">\(.*\)<\/pre>.*/\1/p' | sed 's/&lt;/</g; s/&gt;/>/g; s/&amp;/\&/g')
  python3 - "$json" "$(echo "$e - $s" | bc)" >>opens <<'PY'
import json, sys
d = json.loads(sys.argv[1])
paint = [int(p.split()[-1]) for p in d.get("paints", []) if p.startswith("first-contentful-paint")]
print(paint[0] if paint else -1, d["ready_ms"], d["laid_out_ms"], d["loaded_ms"], sys.argv[2], d["visible"], d["total"])
PY
done
printf 'Chromium %s opening the page (%s rows shown of %s), median of %s:\n' \
  "$("$chromium" --version 2>/dev/null | grep -o '[0-9][0-9.]*' | head -1)" \
  "$(cut -d' ' -f6 opens | head -1)" "$(cut -d' ' -f7 opens | head -1)" "$rounds"
echo "  (-1: not yet at the load event, when the page reports)"
for col in 1:first-contentful-paint 2:script-ran 3:laid-out 4:load-event; do
  printf '  %-24s %s ms (lowest %s, highest %s)\n' "${col#*:}" "$(cut -d' ' -f"${col%%:*}" opens | median)" \
    "$(cut -d' ' -f"${col%%:*}" opens | sort -g | head -1)" "$(cut -d' ' -f"${col%%:*}" opens | sort -g | tail -1)"
done
printf "  %-24s %.2f s; on an empty page %.2f s\n" "browser's whole run" "$(cut -d' ' -f5 opens | median)" \
  "$(median <empties)"
printf 'load at the end: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
