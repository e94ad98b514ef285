#include "app/sensor_transport_stack.h"

#include <utility>

#include "sim/win_usb/win_usb_sensor.h"
#include "sim/win_usb_simusb.h"
#include "sim/win_usb/win_usb_stack.h"
#include "usb_access/system_api.h"
#include "usb_access/vpu_usb_libusbk.h"

namespace ZarnFirmwareUpdater {

zsim::PnpSensorIdentity SensorUsbStack::identity(zsim::win::SimDriver driver) {
    // The service names the device list knows each driver by.
    const char* service = driver == zsim::win::SimDriver::Libusb0  ? "libusb0"
                          : driver == zsim::win::SimDriver::WinUsb ? "WinUSB"
                                                                   : "libusbK";
    return zsim::PnpSensorIdentity{zsim::win::kSensorVendorId,      zsim::win::kSensorProductId,
                                   zsim::win::kSensorInterfacePrefix, zsim::win::kSensorManufacturer,
                                   1,                               4,
                                   service};
}

SensorUsbStack::SensorUsbStack(zsim::SimUsb& usb, std::string serial, SensorUsbBinding binding)
    : usb_(usb), serial_(std::move(serial)), binding_(binding) {
    usb_.setPacketSize(binding_.packetSize);
    zsim::win::SimWinUsbStack& stack = zsim::win::SimWinUsbStack::instance();
    stack.reset();
    zsim::WinPnp::instance().reset();
    zsim::WinPnpStack::fill(stack.api());
    UsbAccess_SetSystemApi(&stack.api());
    notifier_ = std::make_unique<zsim::WinPnpStack>();
    // The bus tells of changes under its lock: they are applied on a thread
    // of this object's, in order.
    usb_.setPresenceObserver([this](bool plugged, const std::vector<uint8_t>& indices) {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back({plugged, indices});
        changed_.notify_all();
    });
    thread_ = std::thread([this] { run(); });
}

SensorUsbStack::~SensorUsbStack() {
    usb_.setPresenceObserver(nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    thread_.join();
    unplugDevice();
    notifier_.reset();
    UsbAccess_SetSystemApi(nullptr);
}

void SensorUsbStack::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        const Change change = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        apply(change);
        lock.lock();
    }
}

void SensorUsbStack::apply(const Change& change) {
    const bool wasBooted = present_.size() == 5;
    const bool wasUnbooted = present_ == std::set<uint8_t>{0};
    for (uint8_t index : change.indices) {
        if (change.plugged) {
            present_.insert(index);
        } else {
            present_.erase(index);
        }
    }
    const bool booted = present_.size() == 5;
    const bool unbooted = present_ == std::set<uint8_t>{0};
    if ((wasBooted || wasUnbooted) && !(booted && wasBooted) && !(unbooted && wasUnbooted)) unplugDevice();
    if ((booted && !wasBooted) || (unbooted && !wasUnbooted)) plugDevice(booted);
}

void SensorUsbStack::plugDevice(bool booted) {
    zsim::WinPnp& pnp = zsim::WinPnp::instance();
    zsim::win::SimWinUsbStack& stack = zsim::win::SimWinUsbStack::instance();
    // The device files exist before the system announces their interfaces.
    const std::vector<std::string> paths = zsim::pnpSensorPaths(identity(binding_.driver), serial_, booted);
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        const auto index = static_cast<uint8_t>(i);
        auto device = std::make_shared<zsim::win::SimWinDevice>(path, binding_.driver);
        device->setDeviceDescriptor(zsim::win::sensorDeviceDescriptor(booted, binding_.packetSize));
        device->setConfigurations({zsim::win::sensorConfiguration(index, binding_.packetSize)});
        device->setString(1, zsim::win::kSensorManufacturer);
        device->setString(2, zsim::win::kSensorProduct);
        device->setString(3, serial_);
        if (!binding_.partialReads) device->setPipePolicy(zsim::win::kSensorPipeIn, ALLOW_PARTIAL_READS, {0});
        device->setZeroLengthPackets(binding_.zeroLengthPackets);
        zsim::attachToSimUsb(*device, index, zsim::win::kSensorPipeIn, zsim::win::kSensorPipeOut);
        stack.addDevice(device);
        paths_.push_back(path);
    }
    zsim::pnpPlugSensor(pnp, identity(binding_.driver), serial_, booted);
}

void SensorUsbStack::unplugDevice() {
    // Pending transfers on the old device files fail before the system tells
    // of the removal, as on a real bus.
    for (const std::string& path : paths_) zsim::win::SimWinUsbStack::instance().removeDevice(path);
    paths_.clear();
    zsim::pnpUnplugSensor(zsim::WinPnp::instance(), identity(binding_.driver), serial_);
}

}  // namespace ZarnFirmwareUpdater
