#include "app/cli.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>

#include "app/firmware_package.h"
#include "runtime/console_output.h"

namespace ZarnFirmwareUpdater {

using GuiSupport::CliSupport::format;

namespace {

constexpr int kBarWidth = 60;
constexpr char kBarCharacters[] = "||||||||||||||||||||||||||||||||||||||||||||||||||||||||||||";
static_assert(sizeof(kBarCharacters) - 1 == kBarWidth);

const char* const kSuccessText =
    "The upgrade has been successful. Please replug your sensor and turn off the updater before running other "
    "application";

// Device states (PZDeviceState) in which the sensor cannot be reported or
// updated: Unknown, Error, Low Power Mode, Recovery Mode, Production Data Corrupt.
bool needsSupport(int32_t deviceState) {
    return deviceState == 0 || deviceState == 4 || deviceState == 5 || deviceState == 6 || deviceState == 7;
}

std::string sdkText(const VersionNumber& firmware) {
    const VersionNumber* sdk = compatibleSdkVersion(firmware);
    return sdk != nullptr ? versionToString(*sdk) : "<unknown>";
}

Cli::Output standardOutput() {
    Cli::Output output;
    output.message = [](const std::string& line) { GuiSupport::CliSupport::printErr("%s", line.c_str()); };
    // A redraw that the console does not take in time is superseded by the next.
    output.progressBar = [](const std::string& bar) {
        CONSOLE_write(CONSOLE_stream::Output, bar, CONSOLE_text::MayDrop);
    };
    return output;
}

// The program-wide front end and control loop of the console path.
std::shared_ptr<Cli> theCli;
std::shared_ptr<ControlLoop> theControlLoop;

}  // namespace

Cli::Cli(std::string name, std::string version) : Cli(std::move(name), std::move(version), standardOutput()) {}

Cli::Cli(std::string name, std::string version, Output output)
    : CommandLine(std::move(name), std::move(version)), output(std::move(output)) {}

void Cli::setState(const ControlState& newState) {
    std::lock_guard<std::mutex> lock(mutex);
    state = newState;
}

void Cli::setPhase(int newPhase) {
    std::lock_guard<std::mutex> lock(mutex);
    phase = newPhase;
}

void Cli::setUpdateCallback(std::function<bool()> request) {
    std::lock_guard<std::mutex> lock(mutex);
    updateRequest = std::move(request);
}

int Cli::exitStatus() const {
    std::lock_guard<std::mutex> lock(mutex);
    return exitCode;
}

void Cli::message(const std::string& line) const { output.message(line); }

void Cli::run(int ms) {
    for (bool done = false; !done;) {
        ControlState copy;
        int32_t current = Done;
        {
            std::lock_guard<std::mutex> lock(mutex);
            copy = state;
            current = phase;
        }
        switch (current) {
            case DeviceInfo:
            case Upgrade:
                printDeviceInfo(copy, current);
                break;
            case Progress:
                printProgress(copy);
                break;
            case Success:
                message(kSuccessText);
                setPhase(Done);
                break;
            case Failure: {
                message(format("Update Error %s", copy.errorText.c_str()));
                std::lock_guard<std::mutex> lock(mutex);
                exitCode = 1;
                phase = Done;
                break;
            }
            case Done:
                done = true;
                break;
            default:
                break;
        }
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

void Cli::printDeviceInfo(const ControlState& s, int32_t current) {
    if (needsSupport(s.device.deviceState)) {
        message(format("Please quit Zarn Firmware Updater, disconnect and reconnect your sensor, and relaunch Zarn "
                       "Firmware Updater. If the error persists, contact %s.",
                       supportEmailAddress));
        std::lock_guard<std::mutex> lock(mutex);
        exitCode = 1;
        phase = Done;
        return;
    }
    if (s.status == ControlState::Unknown) return;  // no verdict on this device yet

    const std::string deviceFirmware = versionToString(s.device.firmware);
    if (current == DeviceInfo) {
        message(format("Your device: %s (%s)", s.device.name.c_str(), s.device.model.c_str()));
        message(format("Serial number: %s", s.device.serial.c_str()));
        message(format("Firmware: %s", deviceFirmware.c_str()));
        setPhase(Done);
        return;
    }

    const VersionNumber embedded = embeddedFirmwareVersion();
    const std::string latest = versionToString(embedded);
    const std::string sdkLatest = sdkText(embedded);
    switch (s.status) {
        case ControlState::OutOfDate:
            message(format("Compatible with Plovar SDK (cross-platform) %s", sdkText(s.device.firmware).c_str()));
            message("Your firmware is out of date");
            message(format("Latest firmware: %s", latest.c_str()));
            message(format("Compatible with Plovar SDK (cross-platform) %s", sdkLatest.c_str()));
            requestTheUpdate();
            break;
        case ControlState::Corrupt:
            message(format("Latest firmware: %s", latest.c_str()));
            message(format("Compatible with Plovar SDK (cross-platform) %s", sdkLatest.c_str()));
            message(format("Reinstall firmware %s", latest.c_str()));
            requestTheUpdate();
            break;
        case ControlState::UpToDate:
            message(format("Firmware: %s already up-to-date.", deviceFirmware.c_str()));
            setPhase(Done);
            break;
        case ControlState::TooNew:
            message(format("Your firmware is too new to be used with Plovar SDK (cross-platform) %s (which this "
                           "updater is packaged with)",
                           sdkLatest.c_str()));
            message(format("Please download the latest version of Plovar SDK (cross-platform) at: %s",
                           sdkDownloadAddress));
            setPhase(Done);
            break;
        default:  // Updating: the outcome is followed in the progress phase
            break;
    }
}

void Cli::requestTheUpdate() {
    std::function<bool()> request;
    {
        std::lock_guard<std::mutex> lock(mutex);
        request = updateRequest;
    }
    // Without the lock: the request takes the control loop's lock, whose
    // thread calls setState.
    if (request()) setPhase(Progress);
}

void Cli::printProgress(const ControlState& s) {
    if (s.updateResult == ControlState::Succeeded) {
        setPhase(Success);
        return;
    }
    if (s.updateResult == ControlState::Failed) {
        setPhase(Failure);
        return;
    }
    if (s.progressText != lastText) {
        lastText = s.progressText;
        message(format("\n%s", lastText.c_str()));
        return;
    }
    // The loop keeps the fraction within 0..1; a bar never grows past its width.
    const int bars = std::clamp(static_cast<int>(s.progress * kBarWidth), 0, kBarWidth);
    output.progressBar(format("\r%3d%% [%.*s%*s]", static_cast<int>(s.progress * 100), bars, kBarCharacters,
                              kBarWidth - bars, ""));
}

int runCommandLine(int argc, char** argv) {
    const std::string version = versionToString(embeddedFirmwareVersion());
    theCli = std::make_shared<Cli>("ZarnFirmwareUpdater", version);
    theCli->addOption('u', "upgrade", "Upgrade the sensor", 0);
    theCli->addOption('i', "deviceInfo", "Get Device Info", 0);

    Cli::Command command;
    if (!theCli->parse(argc, argv, command) || (command.letter != 'i' && command.letter != 'u')) {
        theCli->printUsage();
        return 0;
    }

    theControlLoop = std::make_shared<ControlLoop>(forwardStateToCli(std::weak_ptr<Cli>(theCli)));
    theCli->setUpdateCallback(requestUpdate(std::weak_ptr<ControlLoop>(theControlLoop)));
    theCli->setPhase(command.letter == 'u' ? Cli::Upgrade : Cli::DeviceInfo);
    theCli->run(10);
    // Releasing the loop shuts the driver down.
    theControlLoop.reset();
    return theCli->exitStatus();
}

}  // namespace ZarnFirmwareUpdater
