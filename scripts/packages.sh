#!/usr/bin/env bash
# The Debian packages this project needs, in one place, and the one way they are installed.
#
#   scripts/packages.sh install NAME...   installs what is missing of each NAME: a group below
#                                         (build, test, fuzz) or one package of a group
#   scripts/packages.sh list NAME...      prints the packages of each NAME, one a line
#   scripts/packages.sh missing NAME...   prints those not installed, one a line
#
# Installing: as root with apt-get (after apt-get update); as another user through sudo where
# sudo works; otherwise the one apt-get line needed is printed and the exit code is 2.
# PARVEK_NO_INSTALL=1 turns installing off (for packagers and machines run by configuration
# management): what is missing is named on standard error and the exit code is 0, so that the
# build or the tests then say what they lack.
set -euo pipefail

# Building the two programs, the man pages and the Debian package's contents.
build=(g++ cmake ninja-build libsqlite3-dev libpq-dev unixodbc-dev libcli11-dev nlohmann-json3-dev)
# The tests: GoogleTest, the SQLite shell, the throwaway PostgreSQL server with the
# Oracle-compatibility extension, the ODBC drivers for PostgreSQL and SQLite, the Oracle-dialect
# parser, the man-page tools, what the package check uses (dpkg-deb, file, systemd-analyze,
# lintian), and the headless browser that renders the night's report.
test=(libgtest-dev sqlite3 postgresql postgresql-orafce odbc-postgresql libsqliteodbc
      python3-sqlglot scdoc man-db dpkg-dev file systemd lintian chromium)
# The fuzzers: clang with its libFuzzer and sanitizer runtime.
fuzz=(clang libclang-rt-dev)

say() { echo "packages.sh: $*" >&2; }

# The server's major version: the installed one, else the one the postgresql package depends on.
pg_major() {
  local d
  d=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$d" ]; then basename "$(dirname "$d")"; return; fi
  apt-cache depends postgresql 2>/dev/null | sed -n 's/^ *Depends: postgresql-\([0-9][0-9]*\)$/\1/p' | head -n 1
}

# The clang major version, for its runtime package.
clang_major() {
  local v
  v=$(clang --version 2>/dev/null | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n 1)
  [ -n "$v" ] || v=$(apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1)
  echo "$v"
}

# Debian names a few packages by version: the name to install on this release, or nothing
# while the version cannot be told yet (before apt-get update on a bare system).
resolve() {
  local v
  case "$1" in
    postgresql-orafce) v=$(pg_major); [ -n "$v" ] && echo "postgresql-$v-orafce" ;;
    libclang-rt-dev) v=$(clang_major); [ -n "$v" ] && echo "libclang-rt-$v-dev" ;;
    *) echo "$1" ;;
  esac
  return 0
}

expand() {
  local name
  for name in "$@"; do
    case "$name" in
      build) printf '%s\n' "${build[@]}" ;;
      test) printf '%s\n' "${test[@]}" ;;
      fuzz) printf '%s\n' "${fuzz[@]}" ;;
      *)
        if printf '%s\n' "${build[@]}" "${test[@]}" "${fuzz[@]}" | grep -qxF -- "$name"; then
          echo "$name"
        else
          say "unknown group or package: $name (groups: build, test, fuzz)"; return 2
        fi ;;
    esac
  done
}

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# The packages of the list not installed yet, resolved where that is possible.
missing() {
  local pkg real
  for pkg in "$@"; do
    real=$(resolve "$pkg")
    if [ -z "$real" ]; then
      echo "$pkg"
    elif ! installed "$real"; then
      echo "$real"
    fi
  done
}

install() {
  local want need=()
  expand "$@" >/dev/null || return 2
  mapfile -t want < <(expand "$@")
  mapfile -t need < <(missing "${want[@]}")
  [ ${#need[@]} -eq 0 ] && return 0
  if [ "${PARVEK_NO_INSTALL:-0}" = 1 ]; then
    say "not installing (PARVEK_NO_INSTALL=1); missing: ${need[*]}"
    return 0
  fi
  if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
    say "not a Debian system; install the equivalents of: ${need[*]}"
    return 2
  fi
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    # sudo works when it needs no password, or when there is a terminal to ask for one.
    if command -v sudo >/dev/null && { sudo -n true 2>/dev/null || [ -t 0 ]; }; then
      sudo=(sudo)
    else
      say "these packages are missing; as root, run:"
      echo "apt-get update && apt-get install -y --no-install-recommends ${need[*]}"
      return 2
    fi
  fi
  say "installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q >&2
  # Names that depend on a version can be told now that the package lists are there.
  mapfile -t need < <(missing "${need[@]}")
  local pkg
  for pkg in "${need[@]}"; do
    [ "$pkg" = "$(resolve "$pkg")" ] && [ -n "$pkg" ] && continue
    say "cannot tell which package provides $pkg on this system"; return 2
  done
  [ ${#need[@]} -eq 0 ] && return 0
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}" >&2
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
  install) [ $# -gt 0 ] || { say "usage: $0 install NAME..."; exit 2; }; install "$@" ;;
  list) [ $# -gt 0 ] || { say "usage: $0 list NAME..."; exit 2; }; expand "$@" ;;
  missing) [ $# -gt 0 ] || { say "usage: $0 missing NAME..."; exit 2; }
           expand "$@" >/dev/null || exit 2
           mapfile -t want < <(expand "$@"); missing "${want[@]}" ;;
  *) say "usage: $0 install|list|missing NAME... (NAME: build, test, fuzz or a package of them)"; exit 2 ;;
esac
