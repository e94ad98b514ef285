#!/usr/bin/env bash
# Builds one configuration (plain, asan, tsan or windows) and runs the whole
# test suite in it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
config=${1:-plain}
# The Windows build's tests run under Wine, which needs a prefix and a display.
[ "$config" = windows ] && exec "$top/scripts/test-windows.sh"
build=$("$top/scripts/build.sh" "$config" | tail -n 1)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$top/scripts/tsan-suppressions.txt}
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 300
