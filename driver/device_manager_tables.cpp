// The device's State, as its state report gives it, to the driver state the
// device manager reports once a bring-up is complete, with the WARN line
// each one logs. A State not listed here is reported as Error.
#include <array>

#include "driver/device_manager.h"
#include "driver/morv_client.capnp.h"

namespace {
constexpr uint16_t wire(morv::client::State state) { return static_cast<uint16_t>(state); }
}  // namespace

const std::array<PZDeviceStateMapping, 6> PZDeviceStateTable = {{
    // device State                                     driver state                          WARN line
    {wire(morv::client::State::READY),                 PZDeviceState_Ready,                 nullptr},
    {wire(morv::client::State::CALIBRATION_CORRUPT),   PZDeviceState_ProductionDataCorrupt, "Device calibration is corrupt\n"},
    {wire(morv::client::State::FW_MISMATCH),           PZDeviceState_FWCorrupt,             "Device FW doesn't match\n"},
    {wire(morv::client::State::PROD_DATA_MISMATCH),    PZDeviceState_ProductionDataCorrupt, "Device production data doesn't match\n"},
    {wire(morv::client::State::FW_CORRUPT),            PZDeviceState_FWCorrupt,             "Device FW is corrupt\n"},
    {wire(morv::client::State::FW_NOT_SUPPORTED),      PZDeviceState_FWCorrupt,             "Device is running unsupported FW\n"},
}};

const PZDeviceStateMapping* PZDevice_findStateMapping(uint16_t deviceState) {
    for (const PZDeviceStateMapping& mapping : PZDeviceStateTable) {
        if (mapping.deviceState == deviceState) return &mapping;
    }
    return nullptr;
}
