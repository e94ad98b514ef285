// After a stop request held back for a write, the window's end (endProcess)
// shows what was queued and then ends by the first request's signal.
#include "gui_support/process_end.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <future>

#include "platform/console.h"
#include "runtime/console_output.h"

void holdAHangUpDuringAWrite() {
    std::promise<void> held;
    PLAT_installStopHandling({[&](PLAT_stopRequest) { held.set_value(); }, [] { GuiSupport::endProcess(0); }});
    CONSOLE_startWriters();
    PLAT_UninterruptibleScope write;
    kill(getpid(), SIGHUP);
    held.get_future().wait();
    kill(getpid(), SIGINT);
    CONSOLE_write(CONSOLE_stream::Error, "the outcome\n", CONSOLE_text::Keep);
}

TEST(ProcessEnd, AfterAHeldStopRequestEndsByItsFirstSignalOnceTheConsoleIsOut) {
    EXPECT_EXIT(holdAHangUpDuringAWrite(), ::testing::KilledBySignal(SIGHUP), "the outcome");
}
