#!/bin/sh
# File modes do not bind root, so run as root (as CI runs) the read-only storage cases skip on
# SQLite, native and through ODBC. This runs them once more as user nobody, where they must
# pass, not skip. (On a server the cases log on as a role of their own and need no other user.)
#   read_only_as_user.sh CONTRACT_TESTS ODBC_DIR
# nobody may not reach the build tree (a clone under /root, mode 0700): the test program and the
# build's private ODBC driver configuration are copied to a directory of nobody's own first.
set -u
[ "$(id -u)" = 0 ] || { echo "not root: the ordinary run of the suite covers these cases"; exit 77; }
priv=$(mktemp -d /tmp/parvek-as-nobody.XXXXXX) || exit 1
trap 'rm -rf "$priv"' EXIT
mkdir "$priv/sys" && cp "$1" "$priv/contract_tests" || exit 1
if [ -f "$2/sys/odbcinst.ini" ]; then cp "$2/sys/odbcinst.ini" "$priv/sys/" || exit 1; fi
: >"$priv/odbc.ini"
chown -R 65534:65534 "$priv" && chmod 0700 "$priv" || exit 1
out=$(cd / && TMPDIR=/tmp ODBCSYSINI="$priv/sys" ODBCINI="$priv/odbc.ini" \
      setpriv --reuid=65534 --regid=65534 --clear-groups \
      "$priv/contract_tests" --gtest_filter='*ReadOnly*/*sqlite' 2>&1)
rc=$?
echo "$out"
[ "$rc" = 0 ] || exit 1
echo "$out" | grep -q '^\[  PASSED  \] 4 tests\.$' || { echo "FAIL: not all four cases passed"; exit 1; }
! echo "$out" | grep -q 'SKIPPED' || { echo "FAIL: a case skipped as nobody"; exit 1; }
