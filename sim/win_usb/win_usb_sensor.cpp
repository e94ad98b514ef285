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

void addSetting(Bytes& config, uint8_t number, uint8_t alt) {
    config.insert(config.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alt, 2, 0xFF, 0, 0, 0});
    for (uint8_t address : {kSensorPipeIn, kSensorPipeOut}) {
        config.insert(config.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, 2 /* bulk */});
        put16(config, kSensorPacketSize);
        config.push_back(0);
    }
}

}  // namespace

const char* sensorInterfaceName(uint8_t index) { return index < 5 ? kNames[index] : "unknown"; }

std::string sensorInterfacePath(uint8_t index, const std::string& serial) {
    char ids[64];
    std::snprintf(ids, sizeof(ids), "vid_%04x&pid_%04x&mi_%02u", kSensorVendorId, kSensorProductId, index);
    return std::string("\\\\?\\usb#") + ids + "#" + serial + "#{" + sensorInterfaceName(index) + "}";
}

Bytes sensorDeviceDescriptor(bool booted) {
    Bytes d{18, USB_DEVICE_DESCRIPTOR_TYPE};
    put16(d, 0x0200);
    d.insert(d.end(), {0xEF, 0x02, 0x01, 64});
    put16(d, kSensorVendorId);
    put16(d, kSensorProductId);
    put16(d, booted ? kSensorBcdBooted : static_cast<uint16_t>(kSensorBcdBooted | kSensorBcdUnbootedFlag));
    d.insert(d.end(), {1, 2, 3, 1});
    return d;
}

Bytes sensorConfiguration(uint8_t index) {
    Bytes config{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 250};
    addSetting(config, index, 0);
    addSetting(config, index, 1);
    config[2] = static_cast<uint8_t>(config.size());
    config[3] = static_cast<uint8_t>(config.size() >> 8);
    return config;
}

std::shared_ptr<SimWinDevice> makeSensorInterface(uint8_t index, bool booted, SimDriver driver,
                                                  const std::string& serial) {
    auto device = std::make_shared<SimWinDevice>(sensorInterfacePath(index, serial), driver);
    device->setDeviceDescriptor(sensorDeviceDescriptor(booted));
    device->setConfigurations({sensorConfiguration(index)});
    device->setString(1, kSensorManufacturer);
    device->setString(2, kSensorProduct);
    device->setString(3, serial);
    return device;
}

}  // namespace zsim::win
