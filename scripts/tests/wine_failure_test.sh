#!/usr/bin/env bash
# scripts/wine-failure.sh against records laid out as in CTest's LastTest.log:
# only Wine's own signatures may be retried.
set -uo pipefail
log=$(mktemp)
trap 'rm -f "$log"' EXIT
rule=----------------------------------------------------------
record() {  # NAME [OUTPUT LINES...]
  printf '1/9 Test: %s\nOutput:\n%s\n' "$1" "$rule"
  shift
  [ $# -eq 0 ] || printf '%s\n' "$@"
  printf '<end of output>\nTest time =   0.52 sec\n%s\nTest Failed.\n' "$rule"
}
{
  record Twist.Killed/1 "[ RUN      ] Twist.Killed/1"
  record Twist.Killed "[       OK ] Twist.Killed (3 ms)" "[  PASSED  ] 1 test."
  record Some.Failed "[  PASSED  ] 0 tests." "[  FAILED  ] 1 test, listed below:"
  record Silent.Start
  record Said.Something "Running main() from gtest_main.cc"
  record Child.NotStarted "[ RUN      ] Child.NotStarted" "test.cpp:40: Failure" \
    "  Actual: \"could not start Z:\\\\b\\\\ZarnFirmwareUpdaterSim.exe: CreateProcess failed with error 1359\"" \
    "[  FAILED  ] Child.NotStarted (11 ms)"
  record Child.OtherError "  Actual: \"could not start Z:\\\\b\\\\x.exe: CreateProcess failed with error 2\""
} >"$log"
failures=0
while IFS='|' read -r reason name expected; do
  got=$("$(dirname "$0")/../wine-failure.sh" "$reason" "$name" "$log") || got=""
  [ "$got" = "$expected" ] || { echo "FAILED: $reason / $name: expected '$expected', got '$got'"; failures=1; }
done <<'CASES'
Subprocess killed|Twist.Killed|killed after PASSED
Subprocess killed|Twist.Killed/1|
Subprocess killed|Some.Failed|
Failed|Some.Failed|
Failed|Silent.Start|ended before main
Timeout|Silent.Start|
SEGFAULT|Silent.Start|
SEGFAULT|Twist.Killed|Wine crashed after PASSED
SEGFAULT|Twist.Killed/1|
SEGFAULT|Some.Failed|
Failed|Said.Something|
Failed|Not.InTheLog|
Failed|Child.NotStarted|child ended before main
Timeout|Child.NotStarted|
Failed|Child.OtherError|
CASES
exit "$failures"
