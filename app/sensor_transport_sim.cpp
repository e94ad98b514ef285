// The Linux transport: the simulated sensor stands where the sensor would be,
// seen through the simulated Windows USB stack, and the driver talks to it
// through the same transport back-end as on Windows.
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include "app/sensor_transport.h"
#include "app/sensor_transport_stack.h"
#include "driver/device_manager.h"
#include "driver/morv_client.capnp.h"
#include "host_lib/usb_boot.h"
#include "sim/sim_sensor.h"
#include "usb_access/vpu_usb_libusbk.h"

namespace ZarnFirmwareUpdater {

namespace {

// The shutdown the control loop starts ends with the driver stopping its
// transport; a driver that never gets there must not keep the program from
// ending.
constexpr std::chrono::seconds kShutdownBound{10};

// The program's sensor and its USB stack. Never destroyed: only
// detachSensorTransport takes them down, in the order the driver's threads
// allow. A process that ends some other way (exit() from anywhere) must not
// have them torn down by its exit handlers while those threads still use
// them.
struct Transport {
    std::mutex mutex;
    std::unique_ptr<zsim::SimSensor> sensor;
    std::unique_ptr<SensorUsbStack> usbStack;
};

Transport& transport() {
    static auto* attached = new Transport;
    return *attached;
}

std::atomic<int32_t> closeAfterFrames{0};

// A decimal number that fits `max`, and nothing else (no sign, no blanks).
bool readNumber(std::string_view text, uint32_t max, uint32_t& out) {
    if (text.empty()) return false;
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > max) return false;
    out = value;
    return true;
}

bool readVersion(std::string_view text, SimulatedSensorSettings& settings) {
    uint32_t parts[3] = {};
    for (int i = 0; i < 3; ++i) {
        const size_t dot = i < 2 ? text.find('.') : std::string_view::npos;
        if (i < 2 && dot == std::string_view::npos) return false;
        if (!readNumber(text.substr(0, dot), 0xFFFF, parts[i])) return false;
        text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    }
    settings.firmwareMajor = static_cast<uint16_t>(parts[0]);
    settings.firmwareMinor = static_cast<uint16_t>(parts[1]);
    settings.firmwareRevision = static_cast<uint16_t>(parts[2]);
    return true;
}

}  // namespace

SimulatedSensorSettings readSimulatedSensorSettings(const std::function<const char*(const char*)>& lookup,
                                                    std::vector<std::string>& problems) {
    SimulatedSensorSettings settings;
    auto unreadable = [&](const char* name, const char* value) {
        problems.push_back(std::string(name) + ": cannot use \"" + value + "\"");
    };

    if (const char* value = lookup("ZARN_SIM_SENSOR")) {
        if (std::strcmp(value, "attached") == 0) {
            settings.attached = true;
            settings.unbooted = false;
        } else if (std::strcmp(value, "unbooted") == 0) {
            settings.attached = true;
            settings.unbooted = true;
        } else if (std::strcmp(value, "absent") == 0) {
            settings.attached = false;
            settings.unbooted = false;
        } else {
            unreadable("ZARN_SIM_SENSOR", value);
        }
    }
    if (const char* value = lookup("ZARN_SIM_FIRMWARE")) {
        SimulatedSensorSettings read = settings;
        if (readVersion(value, read)) {
            settings = read;
        } else {
            unreadable("ZARN_SIM_FIRMWARE", value);
        }
    }
    if (const char* value = lookup("ZARN_SIM_STATE")) {
        bool known = false;
        for (const SimulatedSensorStateName& entry : simulatedSensorStates) {
            if (std::strcmp(entry.name, value) == 0) {
                settings.processor = entry.processor;
                settings.state = entry.state;
                known = true;
                break;
            }
        }
        if (!known) unreadable("ZARN_SIM_STATE", value);
    }
    if (const char* value = lookup("ZARN_SIM_UPDATE")) {
        if (std::strcmp(value, "ok") == 0) {
            settings.updateFails = false;
        } else if (std::strcmp(value, "fail") == 0) {
            settings.updateFails = true;
        } else if (std::strcmp(value, "unplug") == 0) {
            settings.updateUnplugs = true;
        } else {
            unreadable("ZARN_SIM_UPDATE", value);
        }
    }
    if (const char* value = lookup("ZARN_SIM_FLASH_MS")) {
        // A minute per block is already far beyond any real flash.
        uint32_t ms = 0;
        if (readNumber(value, 60000, ms)) {
            settings.flashBlockMs = ms;
        } else {
            unreadable("ZARN_SIM_FLASH_MS", value);
        }
    }
    if (const char* value = lookup("ZARN_SIM_CLOSE_AFTER_FRAMES")) {
        uint32_t frames = 0;
        if (readNumber(value, 1000000, frames)) {
            settings.windowCloseAfterFrames = frames;
        } else {
            unreadable("ZARN_SIM_CLOSE_AFTER_FRAMES", value);
        }
    }
    if (const char* value = lookup("ZARN_SIM_DRIVER")) {
        if (std::strcmp(value, "libusbK") == 0) {
            settings.driver = SimulatedSensorSettings::Driver::LibusbK;
        } else if (std::strcmp(value, "libusb0") == 0) {
            settings.driver = SimulatedSensorSettings::Driver::Libusb0;
        } else if (std::strcmp(value, "WinUSB") == 0) {
            settings.driver = SimulatedSensorSettings::Driver::WinUsb;
        } else {
            unreadable("ZARN_SIM_DRIVER", value);
        }
    }
    if (const char* value = lookup("ZARN_SIM_PARTIAL_READS")) {
        if (std::strcmp(value, "on") == 0 || std::strcmp(value, "off") == 0) {
            settings.partialReads = std::strcmp(value, "on") == 0;
        } else {
            unreadable("ZARN_SIM_PARTIAL_READS", value);
        }
    }
    if (const char* value = lookup("ZARN_SIM_ZERO_LENGTH_PACKETS")) {
        if (std::strcmp(value, "on") == 0 || std::strcmp(value, "off") == 0) {
            settings.zeroLengthPackets = std::strcmp(value, "on") == 0;
        } else {
            unreadable("ZARN_SIM_ZERO_LENGTH_PACKETS", value);
        }
    }
    if (const char* value = lookup("ZARN_SIM_PACKET_SIZE")) {
        if (std::strcmp(value, "512") == 0 || std::strcmp(value, "1024") == 0) {
            settings.packetSize = std::strcmp(value, "512") == 0 ? 512 : 1024;
        } else {
            unreadable("ZARN_SIM_PACKET_SIZE", value);
        }
    }
    if (const char* value = lookup("ZARN_SIM_USB")) {
        if (std::strcmp(value, "ok") == 0) {
            settings.usbMissing = false;
        } else if (std::strcmp(value, "missing") == 0) {
            settings.usbMissing = true;
        } else {
            unreadable("ZARN_SIM_USB", value);
        }
    }
    return settings;
}

void attachSensorTransport() {
    std::vector<std::string> problems;
    const SimulatedSensorSettings settings =
        readSimulatedSensorSettings([](const char* name) -> const char* { return std::getenv(name); }, problems);
    for (const std::string& problem : problems) std::fprintf(stderr, "%s\n", problem.c_str());

    closeAfterFrames.store(static_cast<int32_t>(settings.windowCloseAfterFrames));
    Transport& t = transport();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.sensor) return;
    t.sensor = std::make_unique<zsim::SimSensor>(&vpu_usb_boot_hotplug_handler);
    zsim::SimSensor* sensor = t.sensor.get();
    SensorUsbBinding binding;
    binding.driver = settings.driver == SimulatedSensorSettings::Driver::Libusb0  ? zsim::win::SimDriver::Libusb0
                     : settings.driver == SimulatedSensorSettings::Driver::WinUsb ? zsim::win::SimDriver::WinUsb
                                                                                  : zsim::win::SimDriver::LibusbK;
    binding.partialReads = settings.partialReads;
    binding.zeroLengthPackets = settings.zeroLengthPackets;
    binding.packetSize = settings.packetSize;
    t.usbStack = std::make_unique<SensorUsbStack>(sensor->usb(), sensor->deviceInfo().serial, binding);
    // The sensor installed its own bus as the back-end; the program talks
    // through the USB access library instead, as on Windows.
    vpu_usb_set_backend(settings.usbMissing ? nullptr : &vpu_usb_libusbk_ops);
    sensor->setFirmwareVersion(settings.firmwareMajor, settings.firmwareMinor, settings.firmwareRevision);
    sensor->setDeviceState(settings.processor, settings.state);
    if (settings.flashBlockMs != 0) {
        zsim::SimFirmware& firmware = sensor->firmware();
        firmware.setFlashTiming(64 * 1024, std::chrono::milliseconds(settings.flashBlockMs));
    }
    if (settings.updateFails) {
        // The updater tries twice per update; this refuses far more packages
        // than any run of it sends.
        zsim::ReplyPlan refuse;
        refuse.kind = zsim::ReplyPlan::Kind::Error;
        refuse.error = static_cast<uint16_t>(morv::client::Error::VALIDATION_FAILED);
        refuse.forKind = static_cast<uint16_t>(morv::client::Request::Msg::FW_UPDATE);
        for (int i = 0; i < 64; ++i) sensor->firmware().planNext(refuse);
    }
    if (settings.updateUnplugs) {
        zsim::ReplyPlan pull;
        pull.kind = zsim::ReplyPlan::Kind::Unplug;
        pull.unplugAfterReports = 2;
        pull.forKind = static_cast<uint16_t>(morv::client::Request::Msg::FW_UPDATE);
        sensor->firmware().planNext(pull);
    }
    if (settings.attached && settings.unbooted) {
        sensor->plugUnbooted();
    } else if (settings.attached) {
        sensor->plug();
    }
}

int32_t windowCloseAfterFrames() { return closeAfterFrames.load(); }

bool detachSensorTransport() {
    Transport& t = transport();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (!t.sensor) return true;
    zsim::SimSensor* sensor = t.sensor.get();
    // The driver's shutdown is still on its way when the program ends right
    // after releasing the control loop: let it stop its transport first, so
    // that it does not see the sensor go away while it shuts down.
    const bool driverDone =
        vpu_usb_libusbk_waitStopped(static_cast<uint32_t>(std::chrono::milliseconds(kShutdownBound).count()));
    sensor->unplug();
    if (driverDone && sensor->stop(kShutdownBound)) {
        t.usbStack.reset();
        t.sensor.reset();
        // A removal the monitor was handing over when the driver shut down
        // reaches the driver only after its shutdown, and starts a cleanup
        // of its own: it ends here, before the program does.
        PZDevice_waitForCleanup();
        return true;
    }
    // A driver thread is still inside the transport: the program ends
    // without waiting for it, and the sensor and its stack stay with it.
    sensor->stop(std::chrono::milliseconds(0));
    static_cast<void>(t.usbStack.release());
    static_cast<void>(t.sensor.release());
    return false;
}

}  // namespace ZarnFirmwareUpdater
