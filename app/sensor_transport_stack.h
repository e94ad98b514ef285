// The simulated sensor as the Windows USB stack would show it, so that the
// program on Linux runs over the same transport back-end as on Windows:
// vpu_usb_libusbk_ops -> the USB access library -> its device-facing table ->
// the simulated Windows USB stack and plug and play -> the sensor's pipes.
//
// It follows the simulated bus: when the sensor's interfaces appear there,
// each becomes a device node with its libusbK device file (descriptors, two
// bulk pipes carrying that interface's bytes) and a device-interface entry;
// the plug and play then tells the hot-plug monitor's window, as the system
// would. When they go away, their device files fail what is pending on them
// and the nodes go. A booted sensor shows five interfaces; one that shows
// only its boot interface is an unbooted one (its device descriptor says so).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_usb.h"
#include "sim/win_pnp/win_pnp.h"
#include "sim/win_pnp/win_pnp_api.h"
#include "sim/win_usb/win_usb_sensor.h"
#include "sim/win_usb/win_usb_stack.h"

namespace ZarnFirmwareUpdater {

// The driver bound to the sensor's interfaces, whether their IN pipes allow
// partial reads (libusbK and WinUSB; libusb0 never does), whether the sensor
// ends a transfer of whole packets with a zero-length packet, and the packet
// size of its port (its descriptors, and the sensor's transfers on the bus).
struct SensorUsbBinding {
    zsim::win::SimDriver driver = zsim::win::SimDriver::LibusbK;
    bool partialReads = true;
    bool zeroLengthPackets = false;
    uint16_t packetSize = zsim::win::kSensorPacketSize;
};

class SensorUsbStack {
public:
    // Installs the device-facing table, puts `usb` on the binding's port
    // (its packet size) and follows it from now on.
    SensorUsbStack(zsim::SimUsb& usb, std::string serial, SensorUsbBinding binding = {});
    // Stops following; the nodes and device files go, the table is restored.
    ~SensorUsbStack();
    SensorUsbStack(const SensorUsbStack&) = delete;
    SensorUsbStack& operator=(const SensorUsbStack&) = delete;

    // The sensor's USB identity under a driver.
    static zsim::PnpSensorIdentity identity(zsim::win::SimDriver driver = zsim::win::SimDriver::LibusbK);

private:
    struct Change {
        bool plugged;
        std::vector<uint8_t> indices;
    };
    void run();
    void apply(const Change& change);
    void plugDevice(bool booted);
    void unplugDevice();

    zsim::SimUsb& usb_;
    const std::string serial_;
    const SensorUsbBinding binding_;
    std::unique_ptr<zsim::WinPnpStack> notifier_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Change> queue_;
    bool stopping_ = false;
    std::set<uint8_t> present_;
    std::vector<std::string> paths_;  // device files of the plugged device
    std::thread thread_;
};

}  // namespace ZarnFirmwareUpdater
