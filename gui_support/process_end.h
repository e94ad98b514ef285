// The one way a tool built on this library ends its process from the middle
// of its run: a GLFW error, or a worker that cannot go on.
//
// Such an end comes from wherever the fault is found, often on one thread
// while others still work (the window's loop, a control thread, a driver's
// threads). exit() would run the program's static destructors right there,
// on that thread, while the others still use those objects. endProcess hands
// what has been written on to its files instead (standard output and error,
// and any log file open through stdio) and ends the process at once, so the
// last lines reach the user and nothing is torn down under a running thread.
// After a stop request that was held back, the process ends as that request
// asked (platform/console.h), whatever the status.
#pragma once

namespace GuiSupport {

[[noreturn]] void endProcess(int status);

}  // namespace GuiSupport
