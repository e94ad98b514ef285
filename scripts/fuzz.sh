#!/usr/bin/env bash
# Builds the fuzz configuration (clang, ASan + UBSan + libFuzzer), replays
# every target's seed corpus and the reproducers of faults found before, then
# fuzzes each target for a bounded time (FUZZ_SECONDS, default 20). Any crash,
# leak, sanitizer report or failed pool check fails the script.
# Usage: scripts/fuzz.sh [targets...]   (default: every target)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-20}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_marshal fuzz_calibration fuzz_streamer fuzz_device_client fuzz_boot_monitor fuzz_service_stack
           fuzz_usb_descriptors fuzz_device_list)
fi
build=$("$top/scripts/build.sh" fuzz "${targets[@]}" | tail -n 1)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The targets log nowhere, but the logger's folder is still looked up.
export XDG_DATA_HOME="$work/data"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
for t in "${targets[@]}"; do
  corpus="$top/fuzz/corpus/$t"
  repro="$top/fuzz/reproducers/$t"
  inputs=()
  [ -d "$corpus" ] && inputs+=("$corpus"/*)
  [ -d "$repro" ] && inputs+=("$repro"/*)
  echo "== $t: replaying ${#inputs[@]} committed inputs"
  if [ ${#inputs[@]} -gt 0 ] && ! "$build/fuzz/$t" -runs=1 "${inputs[@]}" >"$work/$t.replay.log" 2>&1; then
    tail -n 40 "$work/$t.replay.log"
    echo "== $t: FAILED on a committed input"
    status=1
    continue
  fi
  echo "== $t: fuzzing for ${seconds}s"
  mkdir -p "$work/corpus/$t"
  seeds=("$work/corpus/$t")
  [ -d "$corpus" ] && seeds+=("$corpus")
  if ! "$build/fuzz/$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$work/" "${seeds[@]}" >"$work/$t.fuzz.log" 2>&1; then
    tail -n 60 "$work/$t.fuzz.log"
    for a in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
      [ -e "$a" ] && echo "finding: $(basename "$a") $(od -An -tx1 -v "$a" | tr -d '\n' | head -c 400)"
    done
    echo "== $t: FAILED while fuzzing"
    status=1
    continue
  fi
  grep -E "stat::number_of_executed_units|cov:" "$work/$t.fuzz.log" | tail -n 2
done
exit $status
