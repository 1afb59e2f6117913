#!/bin/bash
# scripts/packages.sh against stand-ins for dpkg-query, apt-get, apt-cache, sudo and id: it
# installs only what is missing, through sudo where that works, prints the line to run where
# nothing works, and installs nothing with PARVEK_NO_INSTALL=1.
#   packages_test.sh PACKAGES_SH
set -u
script=$1
bin=$(mktemp -d); trap 'rm -rf "$bin"' EXIT
log=$bin/calls
cat >"$bin/dpkg-query" <<'X'
#!/bin/sh
for p in $FAKE_INSTALLED; do [ "$p" = "$3" ] && { echo 'install ok installed'; exit 0; }; done
exit 1
X
cat >"$bin/apt-get" <<'X'
#!/bin/sh
echo "apt-get $*" >>"$FAKE_LOG"
X
printf '#!/bin/sh\nexit 0\n' >"$bin/apt-cache"
cat >"$bin/sudo" <<'X'
#!/bin/sh
if [ "$1" = -n ]; then exit "$FAKE_SUDO"; fi
echo "sudo" >>"$FAKE_LOG"; exec "$@"
X
printf '#!/bin/sh\necho "$FAKE_UID"\n' >"$bin/id"
chmod +x "$bin"/*

build="g++ cmake ninja-build libsqlite3-dev libpq-dev unixodbc-dev libcli11-dev nlohmann-json3-dev"
all_but_two="g++ ninja-build libsqlite3-dev libpq-dev libcli11-dev nlohmann-json3-dev"
want_line="apt-get install -y -q --no-install-recommends cmake unixodbc-dev"
fails=0 cases=0
# name; uid; sudo -n exit; installed; PARVEK_NO_INSTALL; args; exit; calls (| separated); output holds
while IFS=';' read -r name uid sudo installed noinst args rc calls holds; do
  [ -n "$name" ] || continue
  cases=$((cases + 1))
  : >"$log"
  out=$(PATH="$bin:/usr/bin:/bin" FAKE_LOG=$log FAKE_UID=$uid FAKE_SUDO=$sudo FAKE_INSTALLED=$installed \
        PARVEK_NO_INSTALL=$noinst bash "$script" $args 2>&1 </dev/null)
  got_rc=$?
  got_calls=$(paste -sd'|' "$log")
  bad=""
  [ "$got_rc" = "$rc" ] || bad="$bad exit $got_rc (want $rc);"
  [ "$got_calls" = "$calls" ] || bad="$bad calls '$got_calls' (want '$calls');"
  [ -z "$holds" ] || printf '%s' "$out" | grep -qF -- "$holds" || bad="$bad output lacks '$holds';"
  if [ -n "$bad" ]; then echo "FAIL $name:$bad"; echo "$out" | sed 's/^/    /'; fails=$((fails + 1)); fi
done <<EOF2
root installs only what is missing;0;1;$all_but_two;0;install build;0;apt-get update -q|$want_line;installing cmake unixodbc-dev
root with nothing missing;0;1;$build;0;install build;0;;
user with sudo;1000;0;$all_but_two;0;install build;0;sudo|apt-get update -q|sudo|$want_line;
user without sudo gets the line;1000;1;$all_but_two;0;install build;2;;apt-get update && apt-get install -y --no-install-recommends cmake unixodbc-dev
installing turned off;0;1;$all_but_two;1;install build;0;;missing: cmake unixodbc-dev
a single package of a group;0;1;$all_but_two;0;install cmake;0;apt-get update -q|apt-get install -y -q --no-install-recommends cmake;
unknown name;0;1;;0;install nosuch;2;;unknown group or package: nosuch
EOF2
echo "$((cases - fails)) passed, $fails failed"
[ "$fails" = 0 ]
