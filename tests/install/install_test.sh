#!/bin/sh
# Checks of the installed extras; see CMakeLists.txt beside this file.
#   install_test.sh units DIR MANDIR       systemd-analyze verify and security on DIR's units
#   install_test.sh completion FILE CTL    the completion offers every command and option
#   install_test.sh example FILE CTL       the example settings hold what their comments say
set -eu
fail() { echo "FAIL: $*" >&2; exit 1; }

case $1 in
units)
  dir=$2 man=$3
  command -v systemd-analyze >/dev/null || { echo "systemd-analyze not installed: skipped"; exit 77; }
  # The template is checked through an instance; man pages are looked up in the build's.
  if [ -n "$man" ]; then mancheck=yes; export MANPATH="$man"; else mancheck=no; fi
  out=$(cd "$dir" && systemd-analyze verify --man=$mancheck ./parvek.service ./parvek.timer \
    ./parvek@site.service ./parvek@site.timer 2>&1) || fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify reports: $out"
  # Exposure above 2.0 ("OK" ends at 3.9) means a hardening line was lost.
  out=$(cd "$dir" && systemd-analyze security --offline=yes --threshold=20 ./parvek.service 2>&1) ||
    fail "systemd-analyze security: $(echo "$out" | tail -1)"
  echo "$out" | tail -1
  ;;
completion)
  file=$2 ctl=$3
  complete() {  # words of the command line so far, the last one being completed
    bash -c '. "$0"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _parvekctl; printf "%s\n" "${COMPREPLY[@]}"' \
      "$file" "$@" | sort
  }
  commands=$("$ctl" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NF && !/:$/ {print $1}' | sort)
  [ -n "$commands" ] || fail "no commands in parvekctl --help"
  offered=$(complete parvekctl "" | grep -v -e '^help$' -e '^--')
  [ "$offered" = "$commands" ] || fail "commands offered: $offered; parvekctl has: $commands"
  for c in $commands; do
    opts=$("$ctl" "$c" --help | grep -o -e '^  *--[a-z-]*' -e '^  *-[a-z],--[a-z-]*' | sed 's/.*--/--/' | sort -u)
    got=$(complete parvekctl "$c" "--")
    [ "$got" = "$opts" ] || fail "$c: completion offers $(echo $got), parvekctl $c --help has $(echo $opts)"
  done
  echo "completion: $(echo "$commands" | wc -l) commands, options as in --help"
  ;;
example)
  file=$2 ctl=$3
  for kv in LOGIN=parvek PASS=change-me NET8=sqlite:/var/lib/parvek SCHEMA=PERSONAL#; do
    key=${kv%%=*} want=${kv#*=}
    got=$("$ctl" settings-show "$file" "$key" --reveal) || fail "$key not readable"
    [ "$got" = "$want" ] || fail "$key is '$got', expected '$want'"
    grep -q "$key: .*here $want" "$file" || fail "the comment of $key does not say $want"
  done
  warnings=$("$ctl" settings-list "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "settings-list warns: $warnings"
  awk 'length($0) + 1 > 199 && NR % 2 == 1 { exit 1 }' "$file" || fail "a header line is longer than 199 characters"
  ;;
*) fail "unknown check $1" ;;
esac
