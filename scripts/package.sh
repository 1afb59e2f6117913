#!/usr/bin/env bash
# Builds the Debian package, checks it with lintian (an error fails; warnings are printed) and
# tries it on this machine (as root): installs it with dpkg -i,
# runs the installed parvekctl --version, makes the demo in a temporary folder, runs the
# installed parvek on it and checks the run log, checks the units and man pages, and removes
# the package again with dpkg -r, checking that none of its files is left (and purges it).
#
#   scripts/package.sh [BUILD_DIR]     (default: build; configured with the prefix /usr)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build"
rm -f "$build"/parvek_*_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/parvek_*_*.deb)
echo "== $deb"
dpkg-deb -f "$deb" Package Version Depends
dpkg-deb -c "$deb" | awk '{print $6}'
if command -v lintian >/dev/null; then
  lrc=0
  out=$(lintian --fail-on error "$deb" 2>&1) || lrc=$?
  echo "== lintian: exit $lrc"
  printf '%s\n' "$out" | grep -v 'root privileges is not recommended' || true
  [ "$lrc" = 0 ] || { echo "package.sh: FAIL: lintian" >&2; exit 1; }
else
  echo "package.sh: lintian not installed (scripts/packages.sh install lintian): not checked" >&2
fi

if dpkg-query -W parvek >/dev/null 2>&1; then
  echo "package.sh: a parvek package is installed already; not touching it" >&2
  exit 1
fi
dpkg -i "$deb"
work=$(mktemp -d /tmp/parvek-package.XXXXXX)
trap 'rm -rf "$work"; dpkg --purge parvek >/dev/null 2>&1 || true' EXIT
files=$(dpkg -L parvek)

fail() { echo "package.sh: FAIL: $*" >&2; exit 1; }
version=$(/usr/bin/parvekctl --version)
echo "$version"
[ "$version" = "parvekctl $(dpkg-deb -f "$deb" Version)" ] || fail "version $version"
/usr/bin/parvekctl demo-create "$work/demo"
[ "$(stat -c %a "$work/demo/parvek.ini")" = 600 ] || fail "demo settings file not mode 0600"
(cd "$work/demo" && env -u PARVEK_DBG /usr/bin/parvek parvek.ini XXX D)
cat "$work/demo/parvek.log"
for pnr in 1001 1003 1004; do
  grep -q "^Info: Buchung eingepflegt! RC:0 Pnr:$pnr " "$work/demo/parvek.log" || fail "no booking for $pnr"
done
[ "$(wc -l <"$work/demo/parvektgb")" = 3 ] || fail "parameter file: $(cat "$work/demo/parvektgb")"
man -w parvek parvekctl parvek.ini >/dev/null || fail "man pages not found"
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify /usr/lib/systemd/system/parvek.service /usr/lib/systemd/system/parvek.timer 2>&1) ||
    fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
  systemd-analyze security --offline=yes /usr/lib/systemd/system/parvek.service | tail -1
fi

dpkg -r parvek
trap 'rm -rf "$work"' EXIT
for f in $files; do
  [ -d "$f" ] || [ ! -e "$f" ] || fail "$f is left after dpkg -r"
done
# Only the maintainer scripts are left in dpkg's records; purge drops them too.
dpkg --purge parvek >/dev/null
echo "package.sh: installed, demo run from the installed programs, removed"
