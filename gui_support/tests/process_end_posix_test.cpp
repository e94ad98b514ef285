// The end of a run that a stop request waited for: what was queued for the
// console is out, and then the process ends by the request's own signal, so
// that a shell sees an interrupted program whatever status the run chose.
#include "gui_support/process_end.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <future>

#include "platform/console.h"
#include "runtime/console_output.h"

namespace {

void holdARequestDuringWorkThenEnd(int signal) {
    std::promise<void> held;
    PLAT_stopHandlers handlers;
    handlers.heldBack = [&](PLAT_stopRequest) { held.set_value(); };
    // As the window's end does once the write is over.
    handlers.afterHeldWork = [] { GuiSupport::endProcess(0); };
    PLAT_installStopHandling(std::move(handlers));
    CONSOLE_startWriters();
    {
        PLAT_UninterruptibleScope write;
        kill(getpid(), signal);
        held.get_future().wait();
        // Requests after the first change nothing.
        kill(getpid(), SIGINT);
        kill(getpid(), SIGTERM);
        CONSOLE_write(CONSOLE_stream::Error, "the outcome\n", CONSOLE_text::Keep);
    }
    std::_Exit(3);  // not reached: the scope's end ends the process
}

TEST(ProcessEnd, AfterAHeldStopRequestTheProcessEndsByItsFirstSignalOnceTheConsoleIsOut) {
    for (const int signal : {SIGINT, SIGHUP}) {
        EXPECT_EXIT(holdARequestDuringWorkThenEnd(signal), ::testing::KilledBySignal(signal), "the outcome");
    }
}

}  // namespace
