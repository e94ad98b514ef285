#!/usr/bin/env bash
# The stall dump of scripts/wine-run.sh under Wine:
#   wine_stall_dump_test.sh PREFIX STALLING-EXE QUICK-EXE
# STALLING-EXE never ends by itself (the desktop keeper sleeps for ever),
# QUICK-EXE ends at once with status 2 when given no arguments (the process
# finder). A process past the bound gets every thread's stack, its own frames
# named, in its own standard error, and no process of another test is
# dumped; a process that ends in time gets nothing and keeps its status.
set -uo pipefail
prefix=$1 keeper=$2 helper=$3
run="$(dirname "$0")/../wine-run.sh"
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAILED: $*"; failures=1; }

# Another test's stalled process, running beside it all along; once it says
# so, the desktop runs too (a process started by this test, when the desktop
# is not there yet).
exec {other}< <(ZARN_WINE_STALL_SECONDS=0 "$run" "$prefix" "$keeper" 2>/dev/null)
pids+=($!)
read -r -t 60 said <&"$other" && [ "$said" = "desktop ready" ] || fail "no desktop within 60 s"
: >"$work/err"
ZARN_WINE_STALL_SECONDS=2 "$run" "$prefix" "$helper" stall >"$work/out" 2>>"$work/err" &
pids+=($!)
# Bounded: the dump's last line, or a minute.
exec {follow}< <(timeout 60 tail -n +1 -f "$work/err")
follower=$!
grep -q -m1 '^==== end of Wine stall dump ====$' <&"$follow" || fail "no dump within 60 s"
kill "$follower" 2>/dev/null
exec {follow}<&-
dump=$(cat "$work/err")
grep -q '^processes of this test: [0-9a-f]\{8\}$' <<<"$dump" || fail "not exactly one process: $dump"
[ "$(grep -c '^---- process ' <<<"$dump")" -eq 1 ] || fail "another test's process was dumped: $dump"
grep -q -- '-> Sleep at ' <<<"$dump" || fail "no system frame: $dump"
grep -q -- '-> stallHoldingTheLoaderLock at .*wine_stalls_win32\.c:[0-9]' <<<"$dump" || fail "own frame not named: $dump"
kill -0 "${pids[1]}" 2>/dev/null || fail "the dumped process did not go on"

# Ends in time: its status, its own output and nothing more, well inside the
# bound. A run that waited for the bound would take its two minutes; one that
# did not takes what Wine takes to start a program, seconds even on a loaded
# machine: one minute lies far from both.
started=$(date +%s)
ZARN_WINE_STALL_SECONDS=120 "$run" "$prefix" "$helper" >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 2 ] || fail "status $status, expected 2"
[ "$(tr -d '\r' <"$work/err")" = "usage: zarn_wine_stalls.exe find NAME=VALUE | stacks PID | stall" ] || fail "output: $(cat "$work/err")"
[ $(($(date +%s) - started)) -lt 60 ] || fail "waited for the bound"
exit "$failures"
