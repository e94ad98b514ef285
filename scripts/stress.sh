#!/usr/bin/env bash
# Runs the whole suite of one configuration several times on a loaded machine
# and counts the failures by test:
#   scripts/stress.sh [plain|asan|tsan|windows] [RUNS]
# Each run is `ctest -j` three times the cores (the Windows build under Wine:
# the cores, since every Wine test also loads the one wine server), beside
# STRESS_BUSY busy loops (default 4); every test has one attempt, under Wine
# too. CI does not run it: it is for anyone who
# wants to see whether a change holds up when the machine is not idle.
# The logs of each run stay in the build folder, under stress-<time>/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
config=${1:-plain}
runs=${2:-3}
busy=${STRESS_BUSY:-4}
cores=$(nproc)
case "$config" in
  plain|asan|tsan) jobs=$(( 3 * cores )) ;;
  windows)         jobs=$cores ;;
  *) echo "usage: $0 [plain|asan|tsan|windows] [RUNS]" >&2; exit 2 ;;
esac
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "stress.sh: RUNS must be a positive number" >&2; exit 2; }

# Build first, unloaded, so that every run tests the same binaries.
if [ "$config" = windows ]; then
  build=$("$top/scripts/build.sh" windows | tail -n 1)
else
  build=$("$top/scripts/build.sh" "$config" | tail -n 1)
fi
logs="$build/stress-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$logs"

# The busy loops watch this script: should it be killed outright (no trap
# runs then), each one ends within a moment on its own.
me=$$
loops=()
stopLoops() {
  local pid
  for pid in "${loops[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${loops[@]}"; do wait "$pid" 2>/dev/null || true; done
  loops=()
}
trap stopLoops EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
for ((i = 0; i < busy; ++i)); do
  ( while kill -0 "$me" 2>/dev/null; do for ((n = 0; n < 200000; ++n)); do :; done; done ) &
  loops+=("$!")
done

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$top/scripts/tsan-suppressions.txt}

failedRuns=0
for ((run = 1; run <= runs; ++run)); do
  log="$logs/run-$run.log"
  started=$(date +%s)
  status=0
  if [ "$config" = windows ]; then
    ZARN_TEST_JOBS=$jobs ZARN_WINE_ATTEMPTS=1 "$top/scripts/test-windows.sh" >"$log" 2>&1 || status=$?
  else
    (cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 300) >"$log" 2>&1 || status=$?
  fi
  summary=$(grep -E '^[0-9]+% tests passed' "$log" || echo "no summary (status $status)")
  echo "run $run/$runs: $summary, $(( $(date +%s) - started )) s, load $(cut -d' ' -f1-3 /proc/loadavg)"
  [ "$status" -eq 0 ] || failedRuns=$((failedRuns + 1))
done

# CTest lists each failed test as "  <n> - <name> (<reason>)" after this line.
echo
echo "$config: $failedRuns of $runs runs failed (busy loops: $busy, ctest -j $jobs; logs in $logs)"
failures=$(for log in "$logs"/run-*.log; do
             sed -n '/^The following tests FAILED:/,$p' "$log" |
               sed -nE 's/^[[:space:]]*[0-9]+ - (.*) \(([^)]*)\)[[:space:]]*$/\1 (\2)/p'
           done | sort | uniq -c | sort -rn)
if [ -n "$failures" ]; then
  echo "failures by test:"
  echo "$failures"
fi
[ "$failedRuns" -eq 0 ]
