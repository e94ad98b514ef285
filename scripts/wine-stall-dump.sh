#!/usr/bin/env bash
# Leaves behind why a Windows test under Wine stalls:
#   wine-stall-dump.sh PID TAG PREFIX SECONDS
# scripts/wine-run.sh starts this beside every test it runs: PID is the test's
# process (the Wine loader), TAG the environment entry NAME=VALUE that the
# test and every process it starts carry, PREFIX the run's Wine prefix inside
# the build folder. When PID ends within SECONDS this ends with it and nothing
# else happens. Otherwise every thread's stack of every process carrying TAG
# (the test's and its children's, no other test's) is written to the test's
# own standard error, so it stands in the test's output in CTest's log and is
# printed when the test fails; then the test is left to end or to CTest's
# time-out. The stacks come from platform/tests/wine_stalls_win32.c, which
# suspends one thread at a time to walk its stack, rather than from Wine's
# debugger: attaching that needs the loader lock, which a stalled thread may
# hold, and a debugger that cannot attach and is ended takes the process with
# it. Frames are named by the MinGW addr2line, which reads the debug
# information of our programs (newer than Wine's debugger reads) and Wine's.
set -uo pipefail
pid=$1 tag=$2 prefix=$3 seconds=$4
build=$(dirname "$prefix")
loader=${ZARN_WINE_LOADER:-/usr/lib/wine/wine64}
addr2line=${ZARN_MINGW_ADDR2LINE:-x86_64-w64-mingw32-addr2line}
objdump=${ZARN_MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}
helper="$build/platform/zarn_wine_stalls.exe"
# Wine's own libraries carry their line tables: their frames are named too.
wineLibraries=${ZARN_WINE_LIBRARIES:-/usr/lib/x86_64-linux-gnu/wine/x86_64-windows}

# Returns as soon as the test ends (tail looks once a second), else after
# the bound.
timeout "$seconds" tail --pid="$pid" -f /dev/null
[ $? -eq 124 ] || exit 0
# The test's own standard error, opened now: before the bound this process
# holds none of the test's streams, so CTest never waits for it.
exec 3>>"/proc/$pid/fd/2" || exit 0

unset "${tag%%=*}"
export WINEPREFIX=$prefix WINEDEBUG=-all
# Bounded far beyond a walk's few seconds: ending the helper in a walk would
# leave that thread suspended.
wine() { timeout 180 "$loader" "$@" </dev/null 2>&1; }

# RVA of a frame in a module -> "function at file:line", through the
# module's image base; modules are found by name in the build folder, then
# among Wine's libraries.
declare -A files=()
symbolise() {  # MODULE RVA
  local module=$1 rva=$2 file base
  if [ -z "${files[$module]+set}" ]; then
    files[$module]=$(find "$build" "$wineLibraries" -maxdepth 3 \( -name "$module.exe" -o -name "$module.dll" \) \
                     -print -quit 2>/dev/null)
  fi
  file=${files[$module]}
  [ -n "$file" ] || return 0
  base=$("$objdump" -p "$file" 2>/dev/null | awk '$1 == "ImageBase" { print $2; exit }')
  [ -n "$base" ] || return 0
  "$addr2line" -f -C -i -p -e "$file" "$(printf '0x%x' $((0x$base + rva)))" 2>/dev/null | tr '\n' ' '
}

{
  echo "==== Wine stall dump: the test has run for more than $seconds s ===="
  if [ ! -f "$helper" ]; then
    echo "no $helper to find the test's processes"
    exit 0
  fi
  pids=$(wine "$helper" find "$tag" | tr -d '\r')
  echo "processes of this test:" ${pids:-none}
  for process in $pids; do
    echo "---- process $process"
    wine "$helper" stacks "$process" | tr -d '\r' | while IFS= read -r line; do
      if [[ $line =~ \ in\ ([^ ]+)\ \(\+0x([0-9a-f]+)\)$ ]]; then
        where=$(symbolise "${BASH_REMATCH[1]}" "0x${BASH_REMATCH[2]}")
        [ -n "$where" ] && line="$line -> $where"
      fi
      printf '%s\n' "$line"
    done
  done
  echo "==== end of Wine stall dump ===="
} >&3
