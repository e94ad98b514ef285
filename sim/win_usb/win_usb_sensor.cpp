// The sensor's descriptors and device nodes.
#include "sim/win_usb/win_usb_sensor.h"

#include <cstdio>

namespace zsim::win {

namespace {

constexpr const char* kNames[] = {"control", "infrared", "depth", "visible", "client"};

void put16(Bytes& bytes, uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

constexpr uint8_t kSuperSpeedCompanionType = 0x30;

bool superSpeed(uint16_t packetSize) { return packetSize == kSensorSuperSpeedPacketSize; }

void addSetting(Bytes& config, uint8_t number, uint8_t alt, uint16_t packetSize) {
    config.insert(config.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alt, 2, 0xFF, 0, 0, 0});
    for (uint8_t address : {kSensorPipeIn, kSensorPipeOut}) {
        config.insert(config.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, 2 /* bulk */});
        put16(config, packetSize);
        config.push_back(0);
        // No bursts, no streams.
        if (superSpeed(packetSize)) config.insert(config.end(), {6, kSuperSpeedCompanionType, 0, 0, 0, 0});
    }
}

}  // namespace

const char* sensorInterfaceName(uint8_t index) { return index < 5 ? kNames[index] : "unknown"; }

std::string sensorInterfacePath(uint8_t index, const std::string& serial) {
    char ids[64];
    std::snprintf(ids, sizeof(ids), "vid_%04x&pid_%04x&mi_%02u", kSensorVendorId, kSensorProductId, index);
    return std::string("\\\\?\\usb#") + ids + "#" + serial + "#{" + sensorInterfaceName(index) + "}";
}

Bytes sensorDeviceDescriptor(bool booted, uint16_t packetSize) {
    Bytes d{18, USB_DEVICE_DESCRIPTOR_TYPE};
    // A SuperSpeed device gives its control packet size as a power of two.
    put16(d, superSpeed(packetSize) ? 0x0320 : 0x0200);
    d.insert(d.end(), {0xEF, 0x02, 0x01, static_cast<uint8_t>(superSpeed(packetSize) ? 9 : 64)});
    put16(d, kSensorVendorId);
    put16(d, kSensorProductId);
    put16(d, booted ? kSensorBcdBooted : static_cast<uint16_t>(kSensorBcdBooted | kSensorBcdUnbootedFlag));
    d.insert(d.end(), {1, 2, 3, 1});
    return d;
}

Bytes sensorConfiguration(uint8_t index, uint16_t packetSize) {
    Bytes config{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 250};
    addSetting(config, index, 0, packetSize);
    addSetting(config, index, 1, packetSize);
    config[2] = static_cast<uint8_t>(config.size());
    config[3] = static_cast<uint8_t>(config.size() >> 8);
    return config;
}

std::shared_ptr<SimWinDevice> makeSensorInterface(uint8_t index, bool booted, SimDriver driver,
                                                  const std::string& serial, uint16_t packetSize) {
    auto device = std::make_shared<SimWinDevice>(sensorInterfacePath(index, serial), driver);
    device->setDeviceDescriptor(sensorDeviceDescriptor(booted, packetSize));
    device->setConfigurations({sensorConfiguration(index, packetSize)});
    device->setString(1, kSensorManufacturer);
    device->setString(2, kSensorProduct);
    device->setString(3, serial);
    return device;
}

}  // namespace zsim::win
