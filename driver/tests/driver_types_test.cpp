#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/driver_types.h"

namespace {

TEST(DriverTypeNames, StatusDisplayNamesInValueOrder) {
    const std::vector<std::string> expected = {"Success",           "Error",          "Timeout",
                                               "Invalid Parameter", "Checksum Invalid", "Device Not Ready",
                                               "Invalid Configuration", "Not Supported", "Power Insufficient",
                                               "Does Not Exist"};
    for (int32_t value = 0; value < static_cast<int32_t>(expected.size()); ++value) {
        EXPECT_EQ(expected[static_cast<size_t>(value)], PZStatus_toString(value)) << value;
    }
    EXPECT_STREQ("Unknown", PZStatus_toString(10));
    EXPECT_STREQ("Unknown", PZStatus_toString(-1));
}

TEST(DriverTypeNames, StatusEnumeratorNamesInValueOrder) {
    const std::vector<std::string> expected = {
        "PZStatus_Success",         "PZStatus_Error",         "PZStatus_Timeout",
        "PZStatus_InvalidParameter", "PZStatus_ChecksumInvalid", "PZStatus_DeviceNotReady",
        "PZStatus_InvalidConfiguration", "PZStatus_NotSupported", "PZStatus_PowerInsufficient",
        "PZStatus_DoesNotExist"};
    for (int32_t value = 0; value < static_cast<int32_t>(expected.size()); ++value) {
        EXPECT_EQ(expected[static_cast<size_t>(value)], PZStatus_enumName(value)) << value;
    }
    EXPECT_STREQ("PZStatus_Unknown", PZStatus_enumName(10));
    EXPECT_STREQ("PZStatus_Unknown", PZStatus_enumName(-5));
}

TEST(DriverTypeNames, DeviceStateNamesInValueOrder) {
    const std::vector<std::string> expected = {"Unknown",      "Booting",        "Ready",
                                               "Disconnected", "Error",          "Low Power Mode",
                                               "Recovery Mode", "Production Data Corrupt", "FW Corrupt"};
    for (int32_t value = 0; value < static_cast<int32_t>(expected.size()); ++value) {
        EXPECT_EQ(expected[static_cast<size_t>(value)], PZDeviceState_toString(value)) << value;
    }
    EXPECT_STREQ("Unknown", PZDeviceState_toString(9));
    EXPECT_STREQ("Unknown", PZDeviceState_toString(-1));
}

TEST(DriverInitParams, NullPointerEqualsZeroFilledRecord) {
    const PZInitParams fromNull = PZInitParams_orDefault(nullptr);
    PZInitParams zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(zero.serial, fromNull.serial);
    EXPECT_EQ(zero.transportValueA, fromNull.transportValueA);
    EXPECT_EQ(zero.transportValueB, fromNull.transportValueB);
    EXPECT_EQ(zero.bootDirectory, fromNull.bootDirectory);

    const PZInitParams given{"SN1", 7, 9, "/boot"};
    const PZInitParams copied = PZInitParams_orDefault(&given);
    EXPECT_STREQ("SN1", copied.serial);
    EXPECT_EQ(7, copied.transportValueA);
    EXPECT_EQ(9, copied.transportValueB);
    EXPECT_STREQ("/boot", copied.bootDirectory);
}

}  // namespace
