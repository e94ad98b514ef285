#include "gui_support/process_end.h"

#include <cstdio>
#include <cstdlib>

#include "platform/console.h"
#include "runtime/console_output.h"

namespace GuiSupport {

void endProcess(int status) {
    // What the console writers still hold, as far as the console takes it.
    CONSOLE_flush(CONSOLE_END_QUIET);
    // Every output stream: a line another thread has only half handed to its
    // stream is complete once its stream's lock is ours, and stderr is
    // buffered too where it is not a console.
    std::fflush(nullptr);
    // A stop request held back until now ends the process as it asked.
    PLAT_endIfStopRequested();
    // No exit handlers and no static destructors: the other threads are
    // still running, and they end with the process.
    std::_Exit(status);
}

}  // namespace GuiSupport
