#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the whole suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, then again under
# ThreadSanitizer. Warnings are errors. Device tests need root (mount namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
export HOME=${HOME:-/root}

for kind in asan tsan; do
  echo "== build ($kind)"
  dir=$(scripts/build.sh "$kind" | tail -n 1)
  echo "== test ($kind)"
  labels=()
  # The slow cases (the real watchdog, long listings, huge files) run once, in the first build.
  [[ $kind == asan ]] || labels=(-LE slow)
  # A device case mostly waits on its stand-ins (a third of a core): four run at once.
  # Threads are abandoned, never joined, when the process ends (_exit): no thread-leak reports,
  # and no second of grace for them before each exit, which every timed case would pay.
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 report_thread_leaks=0 atexit_sleep_ms=0" \
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1" \
    ctest --test-dir "$dir" --output-on-failure -j4 "${labels[@]}"
done
scripts/fuzz.sh 60
