#!/usr/bin/env bash
# Runs a command beside a throwaway PostgreSQL server.
#
#   scripts/with_pg.sh [--optional] CMD [ARG...]
#
# Starts a server on a free loopback port (scripts/pg_test_server.sh), exports its settings
# (PARVEK_TEST_PG: the URI without credentials, PARVEK_TEST_PG_LOGIN, PARVEK_TEST_PG_PASS, and
# PARVEK_PG_STATE: the server's state directory), runs CMD, stops the server and removes its
# files, also when CMD fails or the script is interrupted. Exits with CMD's exit code.
# With --optional, CMD runs without these settings when no server can be started (the
# PostgreSQL tests then report themselves as skipped); otherwise that is an error (exit 3).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
optional=0
if [ "${1:-}" = "--optional" ]; then
  optional=1
  shift
fi
if [ $# -eq 0 ]; then
  echo "usage: scripts/with_pg.sh [--optional] CMD [ARG...]" >&2
  exit 2
fi

# Under /tmp: the server's user must reach it, and its socket path must stay short.
state=$(mktemp -d /tmp/parvek-pg.XXXXXX)
trap '"$here/pg_test_server.sh" stop "$state"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
if "$here/pg_test_server.sh" start "$state" >/dev/null; then
  # shellcheck disable=SC1091
  . "$state/env"
  export PARVEK_PG_STATE=$state
elif [ "$optional" = 1 ]; then
  echo "with_pg.sh: no PostgreSQL server could be started; running without one" >&2
  unset PARVEK_TEST_PG PARVEK_TEST_PG_LOGIN PARVEK_TEST_PG_PASS PARVEK_PG_STATE
else
  echo "with_pg.sh: no PostgreSQL server could be started" >&2
  exit 3
fi

rc=0
"$@" || rc=$?
exit "$rc"
