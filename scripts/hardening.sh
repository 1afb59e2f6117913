#!/usr/bin/env bash
# Hardening checks, run by CI after the main test command.
#
#   scripts/hardening.sh [sanitize|fuzz|all]      (default: all)
#
# sanitize  builds everything with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan)
#           and runs the whole test suite under them, on SQLite and on a throwaway PostgreSQL
#           server. Any sanitizer report fails the step, also one from a program that a test
#           started and whose exit code the test does not look at: every report is written to a
#           file of its own, and the step fails when such a file exists.
# fuzz      builds the libFuzzer targets with clang (build-fuzz) and runs each for
#           PARVEK_FUZZ_SECONDS seconds (default 60) on a copy of its seed corpus and the kept
#           findings. A crash, a leak, an overrun or a timeout fails the step; the input is
#           left in build-fuzz/findings/ to be kept under fuzz/regressions/.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
jobs=${PARVEK_JOBS:-2}

sanitize() {
  local build=build-asan
  # Optimised as the released program is, so that the compiler's checks see what they see there.
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARVEK_SANITIZE=ON
  cmake --build "$build" -j "$jobs"

  local reports
  reports=$(mktemp -d "${TMPDIR:-/tmp}/parvek-sanitizer.XXXXXX")

  export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
  export LSAN_OPTIONS="log_path=$reports/lsan"
  # The PostgreSQL ODBC driver is not built with the sanitizers and its own allocations read as
  # leaks: its routes run in the main test command only.
  export PARVEK_TEST_NO_ODBC_PG=1
  local rc=0
  # The crash trials run in the main test command already; here a shorter bound is enough.
  # The PostgreSQL server runs for the tests only (scripts/with_pg.sh).
  PARVEK_CRASH_SECONDS=${PARVEK_CRASH_SECONDS:-60} scripts/with_pg.sh --optional \
    ctest --test-dir "$build" --output-on-failure -j "$jobs" || rc=$?
  # The leak checker prints "Unable to get registers from thread N." when a thread of the process
  # is leaving while the checker stops it; it skips that thread and goes on, and later versions of
  # the checker no longer print it. A report of nothing but such lines is no finding: it is shown
  # and dropped. Any other line still fails the step.
  local f
  for f in "$reports"/lsan.*; do
    [ -f "$f" ] || continue
    if grep -q 'Unable to get registers' "$f" &&
      ! grep -qv '^==[0-9]*==Unable to get registers from thread [0-9]*\.$' "$f"; then
      echo "hardening.sh: the leak checker skipped a leaving thread (not a finding): $(cat "$f")"
      rm -f "$f"
    fi
  done
  if compgen -G "$reports/*" >/dev/null; then
    echo "hardening.sh: sanitizer reports:" >&2
    for f in "$reports"/*; do echo "== $f" >&2; cat "$f" >&2; done
    rc=1
  else
    echo "hardening.sh: no sanitizer report"
  fi
  rm -rf "$reports"
  return "$rc"
}

fuzz() {
  local build=build-fuzz seconds=${PARVEK_FUZZ_SECONDS:-60}
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPARVEK_FUZZ=ON -DPARVEK_BUILD_TESTS=OFF -DPARVEK_WITH_POSTGRES=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
    -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
  cmake --build "$build" -j "$jobs" --target fuzz_settings fuzz_cipher fuzz_cmdline

  # Absolute paths: the command-line target changes its working directory.
  local findings="$PWD/$build/findings" rc=0 t work log
  mkdir -p "$findings"
  for t in fuzz_settings fuzz_cipher fuzz_cmdline; do
    work=$(mktemp -d "${TMPDIR:-/tmp}/parvek-corpus.XXXXXX")
    log="$build/$t.log"
    mkdir -p "fuzz/regressions/$t"
    # New inputs go to the temporary corpus; the repository's folders are only read.
    if ASAN_OPTIONS="detect_leaks=1" "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -max_len=65536 -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$findings/$t-" "$work" "$PWD/fuzz/corpus/$t" "$PWD/fuzz/regressions/$t" \
        >"$log" 2>&1; then
      echo "hardening.sh: $t: $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') executions in ${seconds} s, corpus $(find "$work" "fuzz/corpus/$t" -type f | wc -l) inputs"
    else
      echo "hardening.sh: $t FAILED; last lines of $log:" >&2
      tail -n 60 "$log" >&2
      rc=1
    fi
    rm -rf "$work"
  done
  return "$rc"
}

case "$what" in
  sanitize) sanitize ;;
  fuzz) fuzz ;;
  all) sanitize; fuzz ;;
  *) echo "usage: scripts/hardening.sh [sanitize|fuzz|all]" >&2; exit 2 ;;
esac
