// The updater's entry: without arguments it opens its window, with arguments
// it runs in the console.
#include <memory>

#include "app/cli.h"
#include "app/control_loop.h"
#include "app/firmware_package.h"
#include "app/sensor_transport.h"
#include "app/window.h"
#include "gui_support/command_line.h"

namespace ZarnFirmwareUpdater {
namespace {

// The window front end's two objects live for the program's run; both front
// ends' glue holds only weak references to them.
std::shared_ptr<Window> window;
std::shared_ptr<ControlLoop> controlLoop;

void createGui() {
    // The window first: its construction makes GLFW ready, which setState
    // needs as soon as the control thread publishes.
    window = std::make_shared<Window>();
    controlLoop = std::make_shared<ControlLoop>(forwardStateToWindow(std::weak_ptr<Window>(window)));
    window->setUpdateCallback(requestUpdate(controlLoop));
    window->configure(640, 480, false,
                      GuiSupport::CliSupport::format(
                          "Zarn Firmware Updater %s",
                          versionToString(embeddedFirmwareVersion()).c_str()));
    window->closeAfterFrames(windowCloseAfterFrames());
}

void runGui() { window->run(); }

void releaseGlobals() {
    // The window goes first, so that a state published while the loop shuts
    // down finds no window to wake.
    window.reset();
    controlLoop.reset();
}

}  // namespace
}  // namespace ZarnFirmwareUpdater

int main(int argc, char** argv) {
    using namespace ZarnFirmwareUpdater;
    attachSensorTransport();
    int exitCode = 0;
    if (argc < 2) {
        createGui();
        runGui();
        releaseGlobals();
    } else {
        // The console's status tells a script whether the update worked.
        exitCode = runCommandLine(argc, argv);
    }
    detachSensorTransport();
    return exitCode;
}
