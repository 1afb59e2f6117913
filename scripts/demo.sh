#!/usr/bin/env bash
# The demo: installs the Debian packages the build needs when they are missing
# (scripts/packages.sh; PARVEK_NO_INSTALL=1 turns that off), builds the two programs, creates a
# fresh demo database dated relative to today, shows the bookings and day records before the
# night, runs the nightly job on it with logging on, and shows the parameter file, the run log and the records after the night.
#   scripts/demo.sh [DEMO_DIR]              SQLite (default: demo/ in the repository)
#   scripts/demo.sh --postgres [DEMO_DIR]   on a throwaway PostgreSQL server started for the demo
#                                           and stopped after it (default: demo-pg/)
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
postgres=0
[ "${1:-}" = "--postgres" ] && postgres=1
if [ -z "${PARVEK_PG_STATE:-}" ]; then
  "$repo/scripts/packages.sh" install build
  [ "$postgres" = 0 ] || "$repo/scripts/packages.sh" install postgresql
fi
if [ "$postgres" = 1 ]; then
  shift
  # The demo runs again inside scripts/with_pg.sh, which starts the server and stops it after.
  if [ -z "${PARVEK_PG_STATE:-}" ]; then
    printf '\n==== %s ====\n\n' "Starting a throwaway PostgreSQL server"
    exec "$repo/scripts/with_pg.sh" "$0" --postgres "$@"
  fi
fi
if [ "$postgres" = 1 ]; then demo="${1:-$repo/demo-pg}"; else demo="${1:-$repo/demo}"; fi
build="$repo/build"

banner() { printf '\n==== %s ====\n\n' "$1"; }

banner "Building parvek and parvekctl (cmake, ninja)"
# A fresh build directory is configured without tests and benchmarks; one that exists keeps
# its options (scripts/test.sh builds everything there).
opts=()
[ -f "$build/CMakeCache.txt" ] || opts=(-DPARVEK_BUILD_TESTS=OFF -DPARVEK_BUILD_BENCH=OFF)
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "${opts[@]}" >/dev/null
cmake --build "$build" --target parvek parvekctl

cred=()
if [ "$postgres" = 1 ]; then
  net=$PARVEK_TEST_PG
  cred=(--login "$PARVEK_TEST_PG_LOGIN" --pass "$PARVEK_TEST_PG_PASS")
  banner "Creating a fresh demo on $net (settings in $demo)"
  rm -rf "$demo"
  "$build/parvekctl" demo-create "$demo" "$net" "${cred[@]}"
else
  banner "Creating a fresh demo in $demo"
  rm -rf "$demo"
  "$build/parvekctl" demo-create "$demo"
  net=$("$build/parvekctl" settings-show "$demo/parvek.ini" NET8)
fi

cat <<'TXT'

Message types of the demo (code, meaning, follow-up code):
  KRA Krankheit (illness)                 -> KRF      URL Urlaub (leave)            -> none
  KRF Krankheit Folge (illness continued) -> KRF      SCH Schulung (training)       -> none
  KUR Kur (spa cure)                      -> KUF      SUR Sonderurlaub (special leave) -> none
  KUF Kur Folge, only on days with a target time      KRH krank nach Hause (hour message) -> KRF
Priority: smaller ranks higher (SUR 5, URL 10, KUR/KUF 15, KRA/KRF 20, SCH 30).
Functions: 1-3 day message, 21-25/29/30/0 hour message, 45 cancelled.
Day records: Target is the day's target time in minutes; TagTgb, TagHtv and TagHtn each hold a
message code and its target value, written by the night for the follow-ups it books.
TXT

banner "Before the night"
"$build/parvekctl" show "$net" PERSONAL 3 "${cred[@]}"

banner "Running the nightly job: parvek parvek.ini XXX D (logging on), in $demo"
rc=0
(cd "$demo" && "$build/parvek" parvek.ini XXX D) || rc=$?
echo "exit code: $rc (the job always ends with 0; the run log tells what happened)"

banner "Parameter file $demo/parvektgb (one line per day that received a follow-up)"
cat "$demo/parvektgb"

banner "Run log $demo/parvek.log"
cat "$demo/parvek.log"

banner "After the night"
"$build/parvekctl" show "$net" PERSONAL 3 "${cred[@]}"
