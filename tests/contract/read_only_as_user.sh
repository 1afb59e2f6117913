#!/bin/sh
# File modes do not bind root, so run as root (as CI runs) the read-only storage cases skip on
# SQLite, native and through ODBC. This runs them once more as user nobody, where they must
# pass, not skip. (On a server the cases log on as a role of their own and need no other user.)
#   read_only_as_user.sh CONTRACT_TESTS
set -u
[ "$(id -u)" = 0 ] || { echo "not root: the ordinary run of the suite covers these cases"; exit 77; }
out=$(cd / && TMPDIR=/tmp setpriv --reuid=65534 --regid=65534 --clear-groups \
      "$1" --gtest_filter='*ReadOnly*/*sqlite' 2>&1)
rc=$?
echo "$out"
[ "$rc" = 0 ] || exit 1
echo "$out" | grep -q '^\[  PASSED  \] 4 tests\.$' || { echo "FAIL: not all four cases passed"; exit 1; }
! echo "$out" | grep -q 'SKIPPED' || { echo "FAIL: a case skipped as nobody"; exit 1; }
