// The device states the simulated sensor can be started in, by the name the
// environment gives. Processor and state are the wire values of the device
// protocol's state report (Processor: 1 primary, 2 secondary; State: 1
// initializing .. 7 fwNotSupported).
#include <array>

#include "app/sensor_transport.h"

namespace ZarnFirmwareUpdater {

namespace {
constexpr std::array<SimulatedSensorStateName, 8> kStates = {{
    // name                  processor  state
    {"ready",                1,         2},
    {"initializing",         1,         1},
    {"calibrationCorrupt",   1,         3},
    {"fwMismatch",           1,         4},
    {"prodDataMismatch",     1,         5},
    {"fwCorrupt",            1,         6},
    {"fwNotSupported",       1,         7},
    {"lowPower",             2,         2},
}};
}  // namespace

const std::span<const SimulatedSensorStateName> simulatedSensorStates = kStates;

}  // namespace ZarnFirmwareUpdater
