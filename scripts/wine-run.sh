#!/usr/bin/env bash
# Runs one Windows program under Wine in a given prefix:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# CTest calls it for every listing and every test of the Windows build;
# scripts/test.sh windows creates the prefix once before the run, so that
# parallel tests never race to create it.
set -euo pipefail
prefix=$1
shift
loader=${ZARN_WINE_LOADER:-/usr/lib/wine/wine64}
if [ ! -x "$loader" ]; then
  echo "wine-run.sh: no Wine loader at $loader (package wine64)" >&2
  exit 127
fi
if [ ! -d "$prefix/dosdevices" ]; then
  echo "wine-run.sh: no Wine prefix at $prefix; run scripts/test.sh windows" >&2
  exit 126
fi
export WINEPREFIX=$prefix
export WINEDEBUG=-all
# The C library loads libgcc_s the first time a thread ends, to unwind it.
# A Windows thread may still be ending while its process exits (a detached
# thread's last steps), and libgcc_s loaded beside the exit fails or stalls:
# the C library aborts ("libgcc_s.so.1 must be installed for pthread_exit to
# work"), or the Unix process outlives its Windows side by half a second and
# Wine's server kills it ("Subprocess killed" after the test printed PASSED).
# Loaded from the start, it is never loaded late.
export LD_PRELOAD="libgcc_s.so.1${LD_PRELOAD:+:$LD_PRELOAD}"
# A process that runs past ZARN_WINE_STALL_SECONDS (20; 0: never) gets its
# threads' stacks written into its output (scripts/wine-stall-dump.sh), so a
# stall that CTest's time-out ends leaves its cause behind. The entry below,
# inherited by the processes the test starts, tells its processes from those
# of the tests beside it. The watcher holds none of the test's streams: it
# costs a test that ends in time nothing, and CTest waits for no one else.
stall=${ZARN_WINE_STALL_SECONDS:-20}
export ZARN_WINE_TEST="$$-$(date +%s%N)"
if [ "$stall" -gt 0 ]; then
  "$(dirname "$0")/wine-stall-dump.sh" "$$" "ZARN_WINE_TEST=$ZARN_WINE_TEST" "$prefix" "$stall" \
    </dev/null >/dev/null 2>&1 &
fi
exec "$loader" "$@"
