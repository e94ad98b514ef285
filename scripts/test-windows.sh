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
# A test that fails is run once more (ZARN_WINE_ATTEMPTS=1: never), and the
# run fails only when it fails again. Wine itself now and then ends one of
# its processes around a test rather than the test failing: its server kills
# a process whose Unix exit takes over half a second after its Windows side
# ended (CTest: "Subprocess killed" after the test printed PASSED), and a
# process sometimes ends within 40 ms without having run main (no output at
# all). Neither is our code: the Linux runs, which run every one of these tests
# with no second attempt, judge flakiness; scripts/stress.sh windows counts
# first attempts.
attempts=${ZARN_WINE_ATTEMPTS:-2}
xvfb-run -a bash -s "$build" "$wineserver" "$jobs" "$attempts" <<'RUN'
set -uo pipefail
build=$1 wineserver=$2 jobs=$3 attempts=$4
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
ctest --output-on-failure -j "$jobs" --timeout 300 --repeat "until-pass:$attempts"

RUN
