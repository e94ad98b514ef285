// The updater's console front end: started with arguments, the program
// reports the sensor ("-i", "--deviceInfo") or brings its firmware up to
// date ("-u", "--upgrade") with a text progress bar, driven by the control
// loop's published state.
//
// Every message goes to standard error as a line of its own; the progress
// bar alone goes to standard output, redrawn in place.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "app/control_loop.h"
#include "gui_support/command_line.h"

namespace ZarnFirmwareUpdater {

class Cli : public GuiSupport::CliSupport::CommandLine {
public:
    // What the console loop does next.
    enum Phase : int32_t {
        DeviceInfo = 0,  // report the device
        Upgrade = 1,     // judge the firmware and request the update
        Progress = 2,    // show the update's progress
        Success = 3,
        Failure = 4,
        Done = 5,
    };

    // Where the console's text goes: one message line (without its line
    // feed), and the progress bar as it is drawn.
    struct Output {
        std::function<void(const std::string& line)> message;
        std::function<void(const std::string& bar)> progressBar;
    };

    // Messages through printErr, the bar on standard output (flushed).
    Cli(std::string name, std::string version);
    Cli(std::string name, std::string version, Output output);

    // The control loop's state callback (through forwardStateToCli): keeps a copy.
    void setState(const ControlState& state);
    void setPhase(int phase);
    // The update request (through requestUpdate). Until one is set, requests fail.
    void setUpdateCallback(std::function<bool()> request);

    // The console loop: acts on the phase every `ms` milliseconds until the
    // phase Done has been acted on.
    void run(int ms) override;

    // The program's exit status for what the loop ended on: 1 when the
    // update failed or the device could not be used (support text), else 0.
    int exitStatus() const;

private:
    void printDeviceInfo(const ControlState& state, int32_t phase);
    void printProgress(const ControlState& state);
    void requestTheUpdate();
    void message(const std::string& line) const;

    mutable std::mutex mutex;
    ControlState state;
    int32_t phase = DeviceInfo;
    std::function<bool()> updateRequest = [] { return false; };
    int exitCode = 0;

    const Output output;
    // The status text last written under the bar (only the loop's thread uses it).
    std::string lastText;
};

// The console path of the program: registers the two options, recognises
// the one given (else prints the usage text and returns 0 without starting
// anything), starts the control loop and runs the console loop until the
// report or the update is finished, then releases the control loop (which
// shuts the driver down). Returns the program's exit status: 0, or 1 when
// the update failed or the device could not be used.
int runCommandLine(int argc, char** argv);

}  // namespace ZarnFirmwareUpdater
