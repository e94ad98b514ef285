#!/usr/bin/env bash
# The updater's programs under Wine without a display:
#   no_display_test.sh PREFIX PROGRAM=STARTS...
# Each program, started STARTS times without arguments where no display is,
# cannot make its window: it says why ("GLFW error 65544: ...") and ends with
# 1, within 45 s. As a user's first start would, each start finds a Wine
# server of its own and no desktop, in PREFIX, a prefix made afresh for this
# test: so started, the simulated sensor's program once hung in about every
# other start, its plug and play's first window call deadlocked with the
# window library's start on the loader lock.
set -uo pipefail
prefix=$1
shift
loader=${ZARN_WINE_LOADER:-/usr/lib/wine/wine64}
wineserver=${ZARN_WINESERVER:-/usr/lib/wine/wineserver}
run="$(dirname "$0")/../wine-run.sh"
unset DISPLAY
export WINEPREFIX=$prefix WINEDEBUG=-all
rm -rf "$prefix"
err=$(mktemp)
trap '"$wineserver" -k 2>/dev/null; rm -f "$err"' EXIT
if ! timeout 300 "$loader" wineboot --init >/dev/null 2>&1; then
  echo "FAILED: no Wine prefix in $prefix"
  exit 1
fi
failures=0
for entry in "$@"; do
  program=${entry%=*}
  for ((attempt = 1; attempt <= ${entry##*=}; attempt++)); do
    "$wineserver" -k 2>/dev/null
    timeout 60 "$wineserver" -w
    ZARN_WINE_STALL_SECONDS=0 timeout 45 "$run" "$prefix" "$program" >/dev/null 2>"$err"
    status=$?
    said=$(head -n 1 "$err" | tr -d '\r')
    if [ "$status" -ne 1 ] || [[ $said != "GLFW error 65544: "* ]]; then
      echo "FAILED: $(basename "$program"), start $attempt: status $status (124: still running after 45 s): $said"
      failures=1
    fi
  done
done
exit "$failures"
