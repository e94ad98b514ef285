// The sensor's USB identity as the simulated Windows USB stack shows it: one
// device node per interface (a booted sensor has five, an unbooted one only
// interface 0), each with the device descriptor (bcdDevice bit 15 set while
// the vision processor has not booted), its strings, and a configuration of
// its one interface with alternate settings 0 and 1 of two bulk pipes each
// (IN first, then OUT). On a high-speed port the pipes take 512-byte packets;
// on a SuperSpeed port 1024-byte ones, with the USB version, control packet
// size and endpoint companion descriptors such a port gives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sim/win_usb/win_usb_stack.h"

namespace zsim::win {

// Values of our own, from no known vendor's range.
constexpr uint16_t kSensorVendorId = 0xF3A7;
constexpr uint16_t kSensorProductId = 0x0D51;
constexpr uint16_t kSensorBcdBooted = 0x0102;
constexpr uint16_t kSensorBcdUnbootedFlag = 0x8000;
// The interfaces' names are this prefix, a dot and the interface's name.
constexpr char kSensorInterfacePrefix[] = "ZarnSensor";
constexpr char kSensorManufacturer[] = "Zarn Example Devices";
constexpr char kSensorProduct[] = "Zarn Depth Sensor";
constexpr uint8_t kSensorPipeIn = 0x81;
constexpr uint8_t kSensorPipeOut = 0x01;
constexpr uint16_t kSensorPacketSize = 512;             // high speed
constexpr uint16_t kSensorSuperSpeedPacketSize = 1024;  // SuperSpeed

// "control", "infrared", "depth", "visible", "client" for 0 to 4.
const char* sensorInterfaceName(uint8_t index);
// The device path of one interface node of a sensor with that serial number.
std::string sensorInterfacePath(uint8_t index, const std::string& serial);
// The 18-byte device descriptor and the configuration descriptor of an
// interface node, for the port whose bulk packet size is `packetSize`.
Bytes sensorDeviceDescriptor(bool booted, uint16_t packetSize = kSensorPacketSize);
Bytes sensorConfiguration(uint8_t index, uint16_t packetSize = kSensorPacketSize);
// A node with descriptors and strings but no endpoint links yet.
std::shared_ptr<SimWinDevice> makeSensorInterface(uint8_t index, bool booted, SimDriver driver,
                                                  const std::string& serial,
                                                  uint16_t packetSize = kSensorPacketSize);

}  // namespace zsim::win
