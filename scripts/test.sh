#!/usr/bin/env bash
# Builds everything and runs every test, on SQLite and on a throwaway PostgreSQL server.
#
#   scripts/test.sh [BUILD_DIR]     (default: build)
#
# The server is started for this run only and stopped at the end, also when a test fails.
# When no server can be started, the PostgreSQL tests report themselves as skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARVEK_BUILD_TESTS=ON -DPARVEK_BUILD_BENCH=ON
cmake --build "$build"

# Under /tmp: the server's user must reach it, and its socket path must stay short.
state=$(mktemp -d /tmp/parvek-pg.XXXXXX)
trap 'scripts/pg_test_server.sh stop "$state"' EXIT
if scripts/pg_test_server.sh start "$state" >/dev/null; then
  # shellcheck disable=SC1091
  . "$state/env"
else
  echo "test.sh: no PostgreSQL server could be started; its tests are skipped" >&2
fi

ctest --test-dir "$build" --output-on-failure
