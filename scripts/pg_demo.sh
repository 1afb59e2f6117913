#!/usr/bin/env bash
# The demo on PostgreSQL: starts a throwaway server (scripts/pg_test_server.sh), creates the demo
# schema PERSONAL there with the demo's data, shows the records before the night, runs the job,
# shows the parameter file, the run log and the records after the night, and stops the server.
#   scripts/pg_demo.sh [DEMO_DIR [BUILD_DIR]]   (defaults: demo-pg/ and build/ in the repository)
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
demo="${1:-$repo/demo-pg}"
build="${2:-$repo/build}"

banner() { printf '\n==== %s ====\n\n' "$1"; }

banner "Building (cmake, ninja)"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target parvek parvekctl

banner "Starting a throwaway PostgreSQL server"
# Under /tmp: the server's user must reach it, and its socket path must stay short.
state=$(mktemp -d /tmp/parvek-pg.XXXXXX)
trap '"$repo/scripts/pg_test_server.sh" stop "$state"' EXIT
"$repo/scripts/pg_test_server.sh" start "$state" >/dev/null
# shellcheck disable=SC1091
. "$state/env"
net=$PARVEK_TEST_PG
cred=(--login "$PARVEK_TEST_PG_LOGIN" --pass "$PARVEK_TEST_PG_PASS")

banner "Creating a fresh demo on $net (settings in $demo)"
rm -rf "$demo"
"$build/parvekctl" demo-create "$demo" "$net" "${cred[@]}"

banner "Before the night"
"$build/parvekctl" show "$net" PERSONAL 3 "${cred[@]}"

banner "Running the nightly job: parvek parvek.ini XXX D (logging on), in $demo"
rc=0
(cd "$demo" && "$build/parvek" parvek.ini XXX D) || rc=$?
echo "exit code: $rc (the job always ends with 0; the run log tells what happened)"

banner "Parameter file $demo/parvektgb"
cat "$demo/parvektgb"

banner "Run log $demo/parvek.log"
cat "$demo/parvek.log"

banner "After the night"
"$build/parvekctl" show "$net" PERSONAL 3 "${cred[@]}"
