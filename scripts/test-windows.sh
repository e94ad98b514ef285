#!/usr/bin/env bash
# Builds the Windows configuration and runs its tests under Wine: inside a
# virtual display (Windows' window manager wants one even for hidden windows),
# in a Wine prefix of the build folder's own that is made afresh for each run,
# with Wine's debug channels off. Prints CTest's closing lines.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$("$top/scripts/build.sh" windows | tail -n 1)

export ZARN_WINE_LOADER=${ZARN_WINE_LOADER:-/usr/lib/wine/wine64}
wineserver=${ZARN_WINESERVER:-/usr/lib/wine/wineserver}
for tool in "$ZARN_WINE_LOADER" "$wineserver"; do
  if [ ! -x "$tool" ]; then
    echo "test-windows.sh: $tool not found (package wine64)" >&2
    exit 127
  fi
done
command -v xvfb-run >/dev/null || { echo "test-windows.sh: xvfb-run not found (package xvfb)" >&2; exit 127; }

export WINEPREFIX="$build/wine-prefix"
export WINEDEBUG=-all
rm -rf "$WINEPREFIX"

# One display for the prefix's creation, the tests and the server's end: the
# wine server started by wineboot serves every test of the run.
# As many tests at once as there are cores, unless ZARN_TEST_JOBS says
# otherwise.
jobs=${ZARN_TEST_JOBS:-$(nproc)}
# A test that failed the way Wine itself now and then ends a process is run
# once more (ZARN_WINE_ATTEMPTS=1: never), and the run fails only when it
# fails again: scripts/wine-failure.sh knows the ways (killed, or crashed
# inside Wine, after GoogleTest's PASSED line; ended before main without a
# word, the test itself or a program it starts). Any other
# failure fails the run at its first attempt, since some tests run only here
# (the Windows bodies, the product program, the real window messages).
# Every retry is printed with its test and its signature, and their number at
# the end; scripts/stress.sh windows counts first attempts. A test still
# running after 20 s gets its processes' stacks in its output
# (scripts/wine-run.sh), so a stall leaves its cause in the failure's text.
attempts=${ZARN_WINE_ATTEMPTS:-2}
xvfb-run -a bash -s "$build" "$wineserver" "$jobs" "$attempts" "$top/scripts/wine-failure.sh" <<'RUN'
set -uo pipefail
build=$1 wineserver=$2 jobs=$3 attempts=$4 classify=$5
started=$(date +%s)
# One persistent server for the whole run: parallel tests must not race to
# start (and end) servers of their own. Ended below, whatever the result.
mkdir -p "$WINEPREFIX"
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
# Bounded: a prefix that cannot be made is reported, not waited for.
if ! timeout 300 "$ZARN_WINE_LOADER" wineboot --init; then
  echo "test-windows.sh: wineboot could not create $WINEPREFIX" >&2
  exit 1
fi
# A process that dies of an unhandled exception must fail its test. Wine
# starts its debugger for it by default, which prints the crash and then ends
# the process with exit code 0, so a crashed test passed. With an empty
# debugger command none starts: Wine still prints the fault's address and
# thread, and the process ends with the exception's code (an access
# violation, 0xc0000005, is exit code 5).
if ! timeout 60 "$ZARN_WINE_LOADER" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
       /v Debugger /d '' /f >/dev/null 2>&1; then
  echo "test-windows.sh: could not turn off Wine's crash debugger in $WINEPREFIX" >&2
  exit 1
fi
echo "Wine prefix ready in $(( $(date +%s) - started )) s"
# The desktop, started now by a process of our own and kept until the end
# (see platform/tests/desktop_keeper_win32.c): a desktop started by a test
# would hold that test's output pipe open, and CTest would wait for it.
exec {keeper}< <("$ZARN_WINE_LOADER" "$build/platform/zarn_desktop_keeper.exe" </dev/null 2>"$build/desktop-keeper.err")
if ! read -r -t 120 said <&"$keeper" || [ "$said" != "desktop ready" ]; then
  echo "test-windows.sh: Wine's desktop did not start within 120 s" >&2
  exit 1
fi
exec {keeper}<&-
echo "Wine desktop ready in $(( $(date +%s) - started )) s"
cd "$build"
first="$build/ctest-first-attempt.log"
ctest --output-on-failure -j "$jobs" --timeout 300 2>&1 | tee "$first"
if [ "${PIPESTATUS[0]}" -eq 0 ]; then
  echo "Wine retries: 0"
  exit 0
fi

wineFailures=() ownFailures=0
# CTest's summary lists each failed test as "  <n> - <name> (<reason>)".
while IFS=$'\t' read -r reason name; do
  if signature=$("$classify" "$reason" "$name" Testing/Temporary/LastTest.log); then
    wineFailures+=("$name"$'\t'"$signature")
  else
    echo "failed at its first attempt, not retried: $name ($reason)"
    ownFailures=$((ownFailures + 1))
  fi
done < <(sed -n '/^The following tests FAILED:/,$p' "$first" |
           sed -nE 's/^[[:space:]]*[0-9]+ - (.*) \(([^)]*)\)[[:space:]]*$/\2\t\1/p')
# A run that failed without naming a test (a listing that failed, say)
# has nothing to retry.
if [ "${#wineFailures[@]}" -eq 0 ] && [ "$ownFailures" -eq 0 ]; then
  echo "CTest failed without naming a failed test"
  exit 1
fi

retries=0 failedAgain=0
for entry in "${wineFailures[@]}"; do
  name=${entry%%$'\t'*} signature=${entry#*$'\t'}
  if [ "$attempts" -lt 2 ]; then
    echo "Wine's failure, not retried (one attempt): $name ($signature)"
    failedAgain=$((failedAgain + 1))
    continue
  fi
  echo "Wine retry: $name ($signature)"
  retries=$((retries + 1))
  pattern=$(printf '%s' "$name" | sed 's/[][\\.*^$+?(){}|]/\\&/g')
  ctest --output-on-failure --timeout 300 --no-tests=error -R "^$pattern\$" || failedAgain=$((failedAgain + 1))
done
echo "Wine retries: $retries"
[ "$ownFailures" -eq 0 ] && [ "$failedAgain" -eq 0 ]

RUN
