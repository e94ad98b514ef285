// The Windows program's transport: the system's own USB stack. The driver
// talks through the USB access library's back-end, whose device-facing table
// keeps its default (the system's SetupAPI, kernel-driver files, WinUSB and
// device notifications); the hot-plug monitor finds a sensor when the driver
// starts its transport, and whenever one is plugged in later. Nothing of the
// simulated sensor is here, and no ZARN_SIM_* variable is read.
#include <chrono>

#include "app/sensor_transport.h"
#include "driver/device_manager.h"
#include "runtime/usb_transport.h"
#include "usb_access/vpu_usb_libusbk.h"

namespace ZarnFirmwareUpdater {

namespace {

// The shutdown the control loop starts ends with the driver stopping its
// transport; a driver that never gets there must not keep the program from
// ending.
constexpr std::chrono::seconds kShutdownBound{10};

}  // namespace

void attachSensorTransport() { vpu_usb_set_backend(&vpu_usb_libusbk_ops); }

int32_t windowCloseAfterFrames() { return 0; }

bool detachSensorTransport() {
    // The driver's shutdown may still be on its way when the program ends
    // right after releasing the control loop: its monitor stops first, then
    // a removal it was handing over finishes its cleanup.
    if (!vpu_usb_libusbk_waitStopped(static_cast<uint32_t>(std::chrono::milliseconds(kShutdownBound).count()))) {
        return false;
    }
    PZDevice_waitForCleanup();
    return true;
}

}  // namespace ZarnFirmwareUpdater
