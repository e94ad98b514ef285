// The updater's entry: without arguments it opens its window, with arguments
// it runs in the console.
#include <memory>
#include <utility>

#include "app/cli.h"
#include "app/control_loop.h"
#include "app/firmware_package.h"
#include "app/sensor_transport.h"
#include "app/window.h"
#include "gui_support/command_line.h"
#include "gui_support/process_end.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "runtime/console_output.h"

namespace ZarnFirmwareUpdater {
namespace {

// The window front end's two objects live for the program's run; both front
// ends' glue holds only weak references to them.
struct Gui {
    std::shared_ptr<Window> window;
    std::shared_ptr<ControlLoop> controlLoop;
};

// Never destroyed: releaseGlobals takes the two objects down in their order.
// Should the process end from inside the frame loop (the display's own
// library may end it on a lost connection), exit handlers must not release
// the control loop, whose thread would then shut the driver down while the
// program's other static objects are being destroyed.
Gui& gui() {
    static auto* objects = new Gui;
    return *objects;
}

void createGui() {
    Gui& g = gui();
    // The window first: its construction makes GLFW ready, which setState
    // needs as soon as the control thread publishes.
    g.window = std::make_shared<Window>();
    // Only now the sensor's threads: the window library's start loads system
    // libraries (under the system's loader lock) whose start registers
    // window classes, and under Wine a thread's first window call meanwhile
    // (the simulated plug and play's broadcast) waits for the loader lock
    // while holding the lock those registrations wait for: neither ends.
    attachSensorTransport();
    g.controlLoop = std::make_shared<ControlLoop>(forwardStateToWindow(std::weak_ptr<Window>(g.window)));
    g.window->setUpdateCallback(requestUpdate(g.controlLoop));
    g.window->configure(640, 480, false,
                        GuiSupport::CliSupport::format(
                            "Zarn Firmware Updater %s",
                            versionToString(embeddedFirmwareVersion()).c_str()));
    g.window->closeAfterFrames(windowCloseAfterFrames());
}

void runGui() { gui().window->run(); }

// The console's text goes out on threads of its own, and a stop request
// (Ctrl+C, a closed console, SIGTERM, SIGHUP) waits for a firmware write to
// end. The window ends once the write has ended; the console ends by itself
// then, after it has shown the outcome. Either way the program then ends as
// the request asked, as interrupted.
void takeOverConsole(bool window) {
    PLAT_stopHandlers handlers;
    handlers.heldBack = [](PLAT_stopRequest request) {
        GuiSupport::CliSupport::printErr(
            "%s", request == PLAT_stopRequest::ConsoleClosed
                      ? "The console is closing while the firmware is written: the write goes on for as long as "
                        "the system lets it."
                      : "The firmware is being written: the updater will stop when the write has ended.");
    };
    if (window) handlers.afterHeldWork = [] { GuiSupport::endProcess(0); };
    PLAT_installStopHandling(std::move(handlers));
    CONSOLE_startWriters();
}

void releaseGlobals() {
    // The window goes first, so that a state published while the loop shuts
    // down finds no window to wake.
    gui().window.reset();
    gui().controlLoop.reset();
}

}  // namespace
}  // namespace ZarnFirmwareUpdater

int main(int argc, char** argv) {
    using namespace ZarnFirmwareUpdater;
    // Before anything opens a file: a standard stream closed by the caller
    // (`>&-`) would otherwise become the log file and get the console's text.
    PLAT_openMissingStandardStreams();
    // Before anything loads a library by name. Should the system refuse,
    // the libraries the program itself loads still name the system folder.
    PLAT_loadLibrariesFromSystemFolderOnly();
    // Before any other thread exists: they inherit how stop requests reach us.
    takeOverConsole(argc < 2);
    int exitCode = 0;
    if (argc < 2) {
        createGui();
        runGui();
        releaseGlobals();
    } else {
        attachSensorTransport();
        // The console's status tells a script whether the update worked.
        exitCode = runCommandLine(argc, argv);
    }
    if (!detachSensorTransport()) {
        // A driver thread did not let go of the transport: returning would
        // run the static destructors under it.
        GuiSupport::endProcess(exitCode);
    }
    CONSOLE_flush(CONSOLE_END_QUIET);
    // A script learns that the run was interrupted, even though the write
    // it waited for went well.
    PLAT_endIfStopRequested();
    return exitCode;
}
