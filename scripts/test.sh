#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need when they are missing
# (scripts/packages.sh; PARVEK_NO_INSTALL=1 turns that off), builds everything and runs every
# test, on SQLite and on a throwaway PostgreSQL server.
#
#   scripts/test.sh [BUILD_DIR]     (default: build)
#
# The server is started for this run only and stopped at the end, also when a test fails
# (scripts/with_pg.sh). When no server can be started, the PostgreSQL tests report themselves
# as skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

scripts/packages.sh install build test

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARVEK_BUILD_TESTS=ON -DPARVEK_BUILD_BENCH=ON
cmake --build "$build"

# As many tests at a time as there are cores (PARVEK_JOBS to choose): most of them wait on a
# server, a lock or a child process more than they compute.
scripts/with_pg.sh --optional ctest --test-dir "$build" --output-on-failure -j "${PARVEK_JOBS:-$(nproc)}"
