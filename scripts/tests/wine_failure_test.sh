#!/usr/bin/env bash
# Checks scripts/wine-failure.sh against records laid out as CTest's
# LastTest.log lays them out: only Wine's two signatures are retried.
set -uo pipefail
classify="$(dirname "$0")/../wine-failure.sh"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
n=0
record() {  # record NAME [OUTPUT LINES...]
  local name=$1
  shift
  n=$((n + 1))
  printf '%s/9 Testing: %s\n%s/9 Test: %s\nCommand: "wine-run.sh"\nOutput:\n%s\n' "$n" "$name" "$n" "$name" "$(printf -- '-%.0s' {1..58})"
  [ $# -gt 0 ] && printf '%s\n' "$@"
  printf '<end of output>\nTest time =   0.52 sec\n%s\nTest Failed.\n\n' "$(printf -- '-%.0s' {1..58})"
}
{
  record Twist.Killed/1 "[ RUN      ] Twist.Killed/1"
  record Twist.Killed "[ RUN      ] Twist.Killed" "[       OK ] Twist.Killed (3 ms)" "[  PASSED  ] 1 test."
  record Some.Failed "[  PASSED  ] 0 tests." "[  FAILED  ] 1 test, listed below:"
  record Silent.Start
  record Said.Something "Running main() from gtest_main.cc"
} >"$log"

failures=0
# reason | test | expected signature (empty: not Wine's, the run fails)
while IFS='|' read -r reason name expected; do
  got=$("$classify" "$reason" "$name" "$log") || got=""
  if [ "$got" != "$expected" ]; then
    echo "FAILED: $reason / $name: expected '$expected', got '$got'"
    failures=$((failures + 1))
  fi
done <<'CASES'
Subprocess killed|Twist.Killed|killed after PASSED
Subprocess killed|Twist.Killed/1|
Subprocess killed|Some.Failed|
Failed|Some.Failed|
Failed|Silent.Start|ended before main
Timeout|Silent.Start|
SEGFAULT|Silent.Start|
Failed|Said.Something|
Failed|Not.InTheLog|
CASES
[ "$failures" -eq 0 ] && echo "all cases classified as expected"
