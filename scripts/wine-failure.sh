#!/usr/bin/env bash
# Says whether a failed test of the Windows run failed the way Wine itself
# now and then ends a process, rather than the test failing:
#   wine-failure.sh REASON TEST CTEST-LOG
# REASON is CTest's word for the failure in its summary ("Subprocess killed",
# "Failed", "Timeout", "SEGFAULT", ...), CTEST-LOG the run's
# Testing/Temporary/LastTest.log, which holds what TEST printed. Prints the
# signature and succeeds for one of Wine's four; fails for anything else:
#  - "killed after PASSED": GoogleTest reported every test passed and the
#    process was then killed (Wine's server kills a process whose Unix side
#    has not ended half a second after its Windows side did);
#  - "Wine crashed after PASSED": the same, but the process died of SIGSEGV.
#    A thread of ours that ends as the process exits has left its Windows
#    side and is still in the C library's thread exit on the Unix side when
#    the process's end signals it; Wine's signal handler, run on a thread
#    with no Windows side left, faults on a null pointer (seen in a core
#    dump: the signalled thread in __libc_thread_freeres, called from
#    start_thread; the fault at 0x2f0 inside Wine's handler). A fault in
#    Windows code never ends this way: Wine turns
#    it into an exception, and an unhandled one ends the process with the
#    exception's code (test-windows.sh starts no debugger), so CTest says
#    "Failed";
#  - "ended before main": the process failed without printing anything, not
#    even the line GoogleTest's main prints first. With Wine's error channel
#    on it says why: "err:virtual:virtual_alloc_first_teb wine: failed to
#    map the shared user data: c0000018", its fixed page already taken in
#    the address space the system laid out at random (about one start in
#    six thousand);
#  - "child ended before main": the same start failure of a process that the
#    test starts: the test says it "could not start" the program, whose
#    CreateProcess "failed with error 1359". A child that dies in that
#    mapping, before it has reported its start, makes Wine's CreateProcess in
#    its parent fail with ERROR_INTERNAL_ERROR (1359), and the child's error
#    channel says "failed to map the shared user data: c0000018".
# A time-out, a crash or another failed assertion is never one of them.
# A program a test starts that Wine's crash above ends is not one either:
# its parent cannot see it. Wine's server learns of the end of a process's
# Unix side only from its closed sockets, never from the signal, and reports
# the exit code its threads recorded. Beside the exit, after ExitProcess has
# recorded the program's code, the parent sees that code and all the program
# wrote, as after a clean run, and the test passes; in the middle of a run it
# sees 0 and output cut short, which is what our program gives when it ends
# early with 0, so that fails its test.
set -euo pipefail
reason=$1 name=$2 log=$3
# The test's record: its lines between "Output:" (and the rule under it)
# and "<end of output>". The name is compared as text, never as a pattern.
output=$(awk -v name="$name" '
  /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); inTest = ($0 == name); next }
  inTest && $0 == "Output:" { getline; inOutput = 1; found = 1; next }
  inOutput && $0 == "<end of output>" { exit }
  inOutput { print }
  END { if (!found) exit 1 }' "$log") || exit 1
passed=0
grep -q '^\[  PASSED  \]' <<<"$output" && ! grep -q '^\[  FAILED  \]' <<<"$output" && passed=1
if [ "$reason" = "Subprocess killed" ] && [ "$passed" = 1 ]; then
  echo "killed after PASSED"
elif [ "$reason" = "SEGFAULT" ] && [ "$passed" = 1 ]; then
  echo "Wine crashed after PASSED"
elif [ "$reason" = "Failed" ] && [ -z "$output" ]; then
  echo "ended before main"
elif [ "$reason" = "Failed" ] &&
     grep -q 'could not start .*\.exe: CreateProcess failed with error 1359' <<<"$output"; then
  echo "child ended before main"
else
  exit 1
fi
