// The updater's control loop: one control thread that starts the sensor
// driver, follows the device state it reports, reads the device information
// once the device is usable, judges the device's firmware against the
// package the updater carries, runs the firmware update a front end asks
// for, and shuts the driver down when the loop is released.
//
// Every change reaches the front end as a complete copy of ControlState,
// through the state callback given to the constructor. The callback is
// called from the control thread and from the driver's progress thread, one
// call at a time and in the order the states were taken, never under the
// loop's lock: a front end copies the state under a lock of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/firmware_package.h"

namespace ZarnFirmwareUpdater {

// What is known of the attached device.
struct DeviceStatus {
    int32_t deviceState = 3;  // a PZDeviceState value; 3 Disconnected
    std::string name;
    std::string model;
    std::string serial;
    VersionNumber firmware;  // 0.0.0 until the device information was read
};

// The loop's published state, copied whole on every publication.
struct ControlState {
    // Verdict on the device's firmware, and activity.
    enum Status : int32_t {
        Unknown = 0,    // no verdict yet, or the device changed since
        OutOfDate = 1,  // older than the package carried
        UpToDate = 2,
        Corrupt = 3,    // the device reports its firmware corrupt: reinstall offered
        TooNew = 4,     // newer than the package carried
        Updating = 5,   // an update was accepted and runs (or ran) on this device
    };
    // Outcome of the last update.
    enum UpdateResult : int32_t {
        None = 0,
        Succeeded = 1,
        Failed = 2,
    };

    int32_t status = Unknown;
    DeviceStatus device;
    std::string progressText;  // last status text of the running update
    std::string errorText;     // error text of the last failed update
    float progress = 0.0f;     // fraction of the update done, 0 to 1
    int32_t updateResult = None;
};

// True where a front end may offer the update: out of date or corrupt.
bool canUpdate(int32_t status);

class ControlLoop {
public:
    using StateCallback = std::function<void(const ControlState&)>;
    // Receives each message line of the loop and of its update worker
    // (without the line feed).
    using MessageSink = std::function<void(const std::string&)>;

    // Starts the control thread, which works on the driver context current
    // on the calling thread. The callback must not be empty. Messages go to
    // standard error.
    explicit ControlLoop(StateCallback callback);
    // The same with the messages handed to a sink of the caller's (tests).
    ControlLoop(StateCallback callback, MessageSink messages);

    // Asks the control thread to stop and waits until it has shut the
    // driver down and ended. An update that is running is finished first:
    // cutting a flash short would leave the device without firmware.
    ~ControlLoop();

    ControlLoop(const ControlLoop&) = delete;
    ControlLoop& operator=(const ControlLoop&) = delete;

    // Asks for an update of the device with the package carried. True when
    // the verdict allows it (out of date or corrupt) and the update was
    // queued for the control thread; false, changing nothing, otherwise.
    bool startUpdate();

    class Impl;

private:
    std::shared_ptr<Impl> impl;
    std::thread thread;  // the control thread; it holds a second reference to impl
};

// Front-end glue. Each holds a weak reference: once the front end (or the
// loop) is gone, the state is dropped (the request answers false).
template <typename FrontEnd>
std::function<void(const ControlState&)> forwardStateTo(std::weak_ptr<FrontEnd> frontEnd) {
    return [frontEnd = std::move(frontEnd)](const ControlState& state) {
        if (auto target = frontEnd.lock()) target->setState(state);
    };
}
template <typename Cli>
std::function<void(const ControlState&)> forwardStateToCli(std::weak_ptr<Cli> cli) {
    return forwardStateTo(std::move(cli));
}
template <typename Window>
std::function<void(const ControlState&)> forwardStateToWindow(std::weak_ptr<Window> window) {
    return forwardStateTo(std::move(window));
}
std::function<bool()> requestUpdate(std::weak_ptr<ControlLoop> loop);

}  // namespace ZarnFirmwareUpdater
