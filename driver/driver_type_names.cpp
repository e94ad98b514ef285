// Name tables of the driver interface types, one row per value in value
// order, so they can be checked line by line against the list of values.
#include <array>
#include <cstddef>

#include "driver/driver_types.h"

namespace {

constexpr std::array<const char*, 10> kStatusDisplayNames = {
    /* 0 */ "Success",
    /* 1 */ "Error",
    /* 2 */ "Timeout",
    /* 3 */ "Invalid Parameter",
    /* 4 */ "Checksum Invalid",
    /* 5 */ "Device Not Ready",
    /* 6 */ "Invalid Configuration",
    /* 7 */ "Not Supported",
    /* 8 */ "Power Insufficient",
    /* 9 */ "Does Not Exist",
};

constexpr std::array<const char*, 10> kStatusEnumNames = {
    /* 0 */ "PZStatus_Success",
    /* 1 */ "PZStatus_Error",
    /* 2 */ "PZStatus_Timeout",
    /* 3 */ "PZStatus_InvalidParameter",
    /* 4 */ "PZStatus_ChecksumInvalid",
    /* 5 */ "PZStatus_DeviceNotReady",
    /* 6 */ "PZStatus_InvalidConfiguration",
    /* 7 */ "PZStatus_NotSupported",
    /* 8 */ "PZStatus_PowerInsufficient",
    /* 9 */ "PZStatus_DoesNotExist",
};

constexpr std::array<const char*, 9> kDeviceStateNames = {
    /* 0 */ "Unknown",
    /* 1 */ "Booting",
    /* 2 */ "Ready",
    /* 3 */ "Disconnected",
    /* 4 */ "Error",
    /* 5 */ "Low Power Mode",
    /* 6 */ "Recovery Mode",
    /* 7 */ "Production Data Corrupt",
    /* 8 */ "FW Corrupt",
};

template <std::size_t N>
const char* lookup(const std::array<const char*, N>& table, int32_t value, const char* otherwise) {
    if (value < 0 || static_cast<std::size_t>(value) >= N) return otherwise;
    return table[static_cast<std::size_t>(value)];
}

}  // namespace

const char* PZStatus_toString(int32_t status) { return lookup(kStatusDisplayNames, status, "Unknown"); }
const char* PZStatus_enumName(int32_t status) { return lookup(kStatusEnumNames, status, "PZStatus_Unknown"); }
const char* PZDeviceState_toString(int32_t state) { return lookup(kDeviceStateNames, state, "Unknown"); }
