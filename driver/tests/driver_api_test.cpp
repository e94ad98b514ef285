// The flat entry points against the simulated sensor: device information,
// firmware update with its version trailer and reboot, device modes, and the
// readiness each one asks for.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver_api.h"
#include "driver/morv_client.capnp.h"
#include "driver/tests/device_manager_fixture.h"
#include "sim/sim_boot_monitor.h"
#include "sim/sim_package.h"

namespace {

using namespace dmtest;
using morv::client::DeviceMode;

constexpr uint16_t wire(morv::client::State state) { return static_cast<uint16_t>(state); }
constexpr uint16_t wire(DeviceMode mode) { return static_cast<uint16_t>(mode); }

// A firmware package as the updater hands it over: the archive, then the
// version word, little-endian.
std::vector<uint8_t> package(const std::vector<uint8_t>& archive, uint32_t version) {
    std::vector<uint8_t> bytes = archive;
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(version >> shift));
    return bytes;
}

struct Progress {
    static void onProgress(const char*, float, void* user) { ++static_cast<Progress*>(user)->calls; }
    int calls = 0;
};

class DriverApiTest : public DeviceManagerFixture {
protected:
    static const std::vector<uint8_t>& archive() {
        static const std::vector<uint8_t> bytes = zsim::buildTestFirmwareArchive(48 * 1024);
        return bytes;
    }
    size_t requestsSeen() const { return firmware_.requestKinds().size(); }
};

// ---------------------------------------------------------------------------
// Device information

TEST_F(DriverApiTest, DeviceInfoIsFilledAndLoggedLineByLine) {
    zsim::SimDeviceInfo info = firmware_.deviceInfo();
    info.hwName = "ZRN-B2";
    info.manufacturer = "Example Works";
    info.model = "Zarn Mini";
    info.serial = "ZS0000777";
    info.fwMajor = 1;
    info.fwMinor = 4;
    info.fwRevision = 12;
    info.fwBuildType = 2;  // beta
    info.color = 2;        // silver
    info.hasBattery = true;
    firmware_.setDeviceInfo(info);
    bringUpTo(PZDeviceState_Ready);

    PZDeviceInfo out{};
    ASSERT_EQ(PlovarZarn_GetDeviceInfo(&out), PZStatus_Success);
    EXPECT_STREQ(out.hwName, "ZRN-B2");
    EXPECT_EQ(out.fwMajor, 1u);
    EXPECT_EQ(out.buildType, PZBuildType_Beta);
    const char* expected[] = {"  HW Version: ZRN-B2",        "  FW Version: 1.4.12 beta", "Manufacturer: Example Works",
                              "       Model: Zarn Mini",     "      Serial: ZS0000777",   "  Attributes: 2, 1, 0"};
    long previous = -1;
    for (const char* line : expected) {
        EXPECT_EQ(log_.levelOf(line), LOG_INFO_E) << line;
        const long at = log_.indexOf(line);
        EXPECT_GT(at, previous) << line;  // in this order
        previous = at;
    }
    // The name of a dev build.
    info.fwBuildType = 3;
    firmware_.setDeviceInfo(info);
    ASSERT_EQ(PlovarZarn_GetDeviceInfo(&out), PZStatus_Success);
    EXPECT_TRUE(log_.has("  FW Version: 1.4.12 dev"));
}

TEST_F(DriverApiTest, DeviceInfoNeedsADeviceAndSomewhereToPutIt) {
    PZDeviceInfo out{};
    // Nothing attached: not ready, and nothing is sent.
    EXPECT_EQ(PlovarZarn_GetDeviceInfo(&out), PZStatus_DeviceNotReady);
    bringUpTo(PZDeviceState_Ready);
    const size_t before = requestsSeen();
    EXPECT_EQ(PlovarZarn_GetDeviceInfo(nullptr), PZStatus_InvalidParameter);
    EXPECT_EQ(requestsSeen(), before);
}

TEST_F(DriverApiTest, LowPowerModeAllowsDeviceInfoButNoFirmwareUpdate) {
    firmware_.setDeviceState(kSecondary, wire(morv::client::State::FW_CORRUPT));
    bringUpTo(PZDeviceState_LowPowerMode);
    PZDeviceInfo out{};
    EXPECT_EQ(PlovarZarn_GetDeviceInfo(&out), PZStatus_Success);
    EXPECT_STREQ(out.serial, "ZS0000001");
    const size_t before = requestsSeen();
    const std::vector<uint8_t> bytes = package(archive(), 0x01000000);
    EXPECT_EQ(PlovarZarn_UpdateFW(bytes.data(), bytes.size(), nullptr, nullptr, true), PZStatus_DeviceNotReady);
    EXPECT_EQ(requestsSeen(), before);
}

// ---------------------------------------------------------------------------
// Firmware update

TEST_F(DriverApiTest, UpdateSendsTheArchiveWithTheTrailersVersionAndNoRebootWhenAsked) {
    bringUpTo(PZDeviceState_Ready);
    // Trailer bytes 00 00 00 01: version 1.0.0, build 0 (release).
    const std::vector<uint8_t> bytes = package(archive(), 0x01000000);
    ASSERT_EQ(std::vector<uint8_t>(bytes.end() - 4, bytes.end()), (std::vector<uint8_t>{0, 0, 0, 1}));
    Progress progress;
    EXPECT_EQ(PlovarZarn_UpdateFW(bytes.data(), bytes.size(), &Progress::onProgress, &progress, true),
              PZStatus_Success);
    EXPECT_EQ(log_.levelOf("Updating FW to version: 1.0.0.0"), LOG_INFO_E);
    const auto update = firmware_.lastFwUpdate();
    ASSERT_TRUE(update.has_value());
    EXPECT_EQ(update->bytes, archive().size());
    EXPECT_TRUE(update->failure.empty()) << update->failure;
    EXPECT_EQ(update->major, 1);
    EXPECT_EQ(update->minor, 0);
    EXPECT_EQ(update->revision, 0);
    EXPECT_EQ(update->buildType, static_cast<uint16_t>(morv::client::BuildType::RELEASE));
    EXPECT_TRUE(update->moreToFollow);
    EXPECT_FALSE(update->allowDowngrade);
    EXPECT_GT(progress.calls, 0);
    EXPECT_TRUE(firmware_.modesSet().empty());
}

TEST_F(DriverApiTest, SuccessfulUpdateIsFollowedByAWarmReboot) {
    bringUpTo(PZDeviceState_Ready);
    // major 2, minor 9, patch 0x07A = 122, build 3 (dev).
    const std::vector<uint8_t> bytes = package(archive(), 0x020907A3);
    EXPECT_EQ(PlovarZarn_UpdateFW(bytes.data(), bytes.size(), nullptr, nullptr, false), PZStatus_Success);
    EXPECT_TRUE(log_.has("Updating FW to version: 2.9.122.3"));
    const auto update = firmware_.lastFwUpdate();
    ASSERT_TRUE(update.has_value());
    EXPECT_EQ(update->major, 2);
    EXPECT_EQ(update->minor, 9);
    EXPECT_EQ(update->revision, 122);
    EXPECT_EQ(update->buildType, static_cast<uint16_t>(morv::client::BuildType::DEV));
    EXPECT_EQ(firmware_.modesSet(), std::vector<uint16_t>{wire(DeviceMode::WARM_REBOOT)});
}

TEST_F(DriverApiTest, FailedUpdateIsReturnedAndNoRebootFollows) {
    bringUpTo(PZDeviceState_Ready);
    std::vector<uint8_t> damaged = archive();
    damaged[damaged.size() / 2] ^= 0xFF;  // the tar no longer reads back
    damaged.resize(damaged.size() - 700);
    const std::vector<uint8_t> bytes = package(damaged, 0x01000000);
    const PZStatus status = PlovarZarn_UpdateFW(bytes.data(), bytes.size(), nullptr, nullptr, false);
    EXPECT_NE(status, PZStatus_Success);
    const auto update = firmware_.lastFwUpdate();
    ASSERT_TRUE(update.has_value());
    EXPECT_FALSE(update->failure.empty());
    EXPECT_TRUE(firmware_.modesSet().empty());
}

TEST_F(DriverApiTest, PackagesWithoutRoomForTheirTrailerAreRefusedBeforeAnythingIsSent) {
    // Not ready at all: that answer comes first.
    const uint8_t trailer[4] = {0, 0, 0, 1};
    EXPECT_EQ(PlovarZarn_UpdateFW(trailer, 4, nullptr, nullptr, true), PZStatus_DeviceNotReady);
    bringUpTo(PZDeviceState_Ready);
    const size_t before = requestsSeen();
    EXPECT_EQ(PlovarZarn_UpdateFW(nullptr, 1024, nullptr, nullptr, true), PZStatus_InvalidParameter);
    for (size_t size : {size_t{0}, size_t{1}, size_t{3}}) {
        EXPECT_EQ(PlovarZarn_UpdateFW(trailer, size, nullptr, nullptr, false), PZStatus_InvalidParameter) << size;
    }
    // An archive longer than the device's 32-bit length would arrive cut:
    // refused on its size alone, before a byte of it is read.
    const size_t tooLong = size_t{std::numeric_limits<uint32_t>::max()} + 5;
    EXPECT_EQ(PlovarZarn_UpdateFW(trailer, tooLong, nullptr, nullptr, false), PZStatus_InvalidParameter);
    EXPECT_EQ(requestsSeen(), before);
    EXPECT_FALSE(log_.has("Updating FW to version"));
    EXPECT_FALSE(firmware_.lastFwUpdate().has_value());
}

// ---------------------------------------------------------------------------
// Device modes

TEST_F(DriverApiTest, DeviceModeIsSentWithoutReadinessAndAGoneClientCountsAsDone) {
    // No client runs: the send's DeviceNotReady counts as done.
    EXPECT_EQ(PlovarZarn_SetDeviceMode(PZDeviceMode_WarmReboot), PZStatus_Success);
    bringUpTo(PZDeviceState_Ready);
    EXPECT_EQ(PlovarZarn_SetDeviceMode(PZDeviceMode_LowPower), PZStatus_Success);
    EXPECT_EQ(PlovarZarn_SetDeviceMode(7), PZStatus_InvalidParameter);
    EXPECT_EQ(firmware_.modesSet(), std::vector<uint16_t>{wire(DeviceMode::LOW_POWER)});
}

TEST_F(DriverApiTest, NormalModeInRecoveryWithoutBootFilesFails) {
    zsim::SimBootMonitor monitor(usb_);
    monitor.setBootState(zsim::SimBootMonitor::kStateRecovery);
    ASSERT_EQ(init(), PZStatus_Success);
    monitor.plugUnbooted();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_RecoveryMode));
    EXPECT_EQ(PlovarZarn_SetDeviceMode(PZDeviceMode_Normal), PZStatus_Error);
    EXPECT_TRUE(log_.has("No boot files were provided and the device is unbooted"));
    // No device client runs in recovery, and nothing was booted.
    EXPECT_FALSE(monitor.reenumerated());
    EXPECT_TRUE(firmware_.modesSet().empty());
    ASSERT_TRUE(hotplug_.stop(kBound));
}

}  // namespace
