#!/bin/sh
# Turns one scdoc page into roff and checks it: groff's warnings through man, and lexgrog's
# reading of the NAME section (what whatis and apropos index). Any finding fails the build.
#   doc/man/man.sh SOURCE.scd OUTPUT
set -eu
src=$1
out=$2
scdoc <"$src" >"$out.tmp"
warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 "$out.tmp" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  printf '%s: %s\n' "$src" "$warnings" >&2
  rm -f "$out.tmp"
  exit 1
fi
if ! lexgrog "$out.tmp" >/dev/null; then
  echo "$src: lexgrog cannot read its NAME section" >&2
  rm -f "$out.tmp"
  exit 1
fi
mv "$out.tmp" "$out"
