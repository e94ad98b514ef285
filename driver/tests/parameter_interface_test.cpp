// The parameter entry points against the simulated firmware: what reaches
// the device for each parameter, what comes back, and what is refused.
#include "driver/parameter_interface.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "driver/device_record.h"
#include "driver/tests/setting_requests_fixture.h"

namespace {

namespace mc = morv::client;
using S = mc::ComponentSetting;
using Channel = zsim::SimComponentSettings::Channel;

constexpr uint16_t kWireIrLeft = 2, kWireIrRight = 1, kWireIrBoth = 3, kWireVisible = 4, kWireDepth = 6;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

uint16_t member(S::Which which) { return static_cast<uint16_t>(which); }

class Parameters : public ztest::SettingRequestsFixture {
protected:
    void SetUp() override {
        ztest::SettingRequestsFixture::SetUp();
        updateState(PZDeviceState_Ready);
    }
    PZStatus set(int32_t component, int32_t parameter, std::vector<float> values) {
        return PlovarZarn_SetMultiParameter(component, parameter, values.data(), static_cast<uint32_t>(values.size()));
    }
    size_t warnings() const { return log_.count("parameter ("); }
};

// ------------------------------------------------------------ refusals

TEST_F(Parameters, NothingIsSentToADeviceThatIsNotReady) {
    float values[2] = {1.0f, 2.0f};
    uint32_t count = 2;
    const size_t before = sent();
    for (int32_t state : {PZDeviceState_Unknown, PZDeviceState_LowPowerMode, PZDeviceState_Booting,
                          PZDeviceState_Disconnected, PZDeviceState_RecoveryMode}) {
        updateState(state);
        EXPECT_EQ(PlovarZarn_GetMultiParameter(PZComponent_IrLeft, PZParameter_Exposure, values, &count),
                  PZStatus_DeviceNotReady);
        EXPECT_EQ(PlovarZarn_SetMultiParameter(PZComponent_IrLeft, PZParameter_Exposure, values, 1),
                  PZStatus_DeviceNotReady);
        // Not ready wins over bad arguments.
        EXPECT_EQ(PlovarZarn_GetMultiParameter(PZComponent_IrLeft, PZParameter_Exposure, nullptr, nullptr),
                  PZStatus_DeviceNotReady);
    }
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(values[0], 1.0f);
    EXPECT_EQ(sent(), before);
    EXPECT_EQ(warnings(), 0u);
    // A removal cleanup makes the device unusable whatever its state.
    updateState(PZDeviceState_Ready);
    PZDevice_get()->cleanupActive.store(true);
    PZDevice_get()->keepUsb.store(true);
    EXPECT_EQ(set(PZComponent_IrLeft, PZParameter_Exposure, {1.0f}), PZStatus_DeviceNotReady);
    EXPECT_GE(log_.count("In cleanup.  NOT READY"), 1u);
    PZDevice_get()->cleanupActive.store(false);
    PZDevice_get()->keepUsb.store(false);
    EXPECT_EQ(sent(), before);
}

TEST_F(Parameters, MissingOrEmptyBuffersAreRefused) {
    float value = 3.0f;
    uint32_t count = 0;
    const size_t before = sent();
    EXPECT_EQ(PlovarZarn_GetMultiParameter(0, PZParameter_Exposure, nullptr, &count), PZStatus_InvalidParameter);
    count = 1;
    EXPECT_EQ(PlovarZarn_GetMultiParameter(0, PZParameter_Exposure, &value, nullptr), PZStatus_InvalidParameter);
    count = 0;
    EXPECT_EQ(PlovarZarn_GetMultiParameter(0, PZParameter_Exposure, &value, &count), PZStatus_InvalidParameter);
    EXPECT_EQ(PlovarZarn_SetMultiParameter(0, PZParameter_Exposure, nullptr, 1), PZStatus_InvalidParameter);
    EXPECT_EQ(PlovarZarn_SetMultiParameter(0, PZParameter_Exposure, &value, 0), PZStatus_InvalidParameter);
    EXPECT_EQ(sent(), before);
    EXPECT_EQ(warnings(), 0u);
    // applyWb carries no value, so it needs none.
    EXPECT_EQ(PlovarZarn_SetMultiParameter(PZComponent_Visible, PZParameter_ApplyWb, nullptr, 0), PZStatus_Success);
    EXPECT_EQ(lastSetting().member, member(S::APPLY_WB));
    EXPECT_EQ(lastSetting().component, kWireVisible);
    EXPECT_EQ(firmware_->componentSettings(kWireVisible).whiteBalanceApplied, 1u);
}

TEST_F(Parameters, ParametersWithoutAReadOrUnknownAreNotSupported) {
    float values[2] = {5.0f, 6.0f};
    const size_t before = sent();
    for (int32_t parameter : std::vector<int32_t>{PZParameter_Delay, PZParameter_ApplyWb, 13, -1, 1000}) {
        uint32_t count = 2;
        EXPECT_EQ(PlovarZarn_GetMultiParameter(PZComponent_IrBoth, parameter, values, &count), PZStatus_NotSupported)
            << parameter;
        EXPECT_EQ(count, 2u);
    }
    for (int32_t parameter : {13, -1, 1000}) {
        EXPECT_EQ(set(PZComponent_IrBoth, parameter, {1.0f}), PZStatus_NotSupported) << parameter;
    }
    EXPECT_EQ(values[0], 5.0f);
    EXPECT_EQ(sent(), before);
    EXPECT_EQ(warnings(), 0u);
}

// ------------------------------------------------------------ reading

TEST_F(Parameters, SingleValuedParametersReadOneFloat) {
    zsim::SimComponentSettings settings;
    settings.exposure = 8.25f;
    settings.analogGain = {{0, 2.0f}};
    settings.digitalGain = {{1, 1.25f}, {2, 1.5f}, {3, 1.75f}};
    settings.yOffset = -7;
    settings.xOffset = 300;
    settings.subpixYOffset = 0.375f;
    settings.fps = 60.0f;
    settings.blc = true;
    settings.gamma = 2.2f;
    firmware_->setComponentSettings(kWireIrRight, settings);
    const std::vector<std::pair<int32_t, float>> expected = {
        {PZParameter_Exposure, 8.25f},  {PZParameter_AnalogGain, 2.0f},    {PZParameter_DigitalGain, 1.25f},
        {PZParameter_YOffset, -7.0f},   {PZParameter_XOffset, 300.0f},     {PZParameter_SubpixYOffset, 0.375f},
        {PZParameter_Fps, 60.0f},       {PZParameter_Blc, 1.0f},           {PZParameter_Gamma, 2.2f}};
    for (const auto& [parameter, value] : expected) {
        float values[3] = {-1.0f, -1.0f, -1.0f};
        uint32_t count = 3;
        ASSERT_EQ(PlovarZarn_GetMultiParameter(PZComponent_IrRight, parameter, values, &count), PZStatus_Success)
            << parameter;
        EXPECT_EQ(count, 1u) << parameter;
        EXPECT_EQ(values[0], value) << parameter;
        EXPECT_EQ(values[1], -1.0f) << parameter;
        const auto request = lastSetting();
        EXPECT_EQ(request.component, kWireIrRight);
        EXPECT_FALSE(request.writeFlag);
    }
    // The digital gain is read on the global channel.
    firmware_->setComponentSettings(kWireIrRight, zsim::SimComponentSettings{});
    float value = 0.0f;
    uint32_t count = 1;
    ASSERT_EQ(PlovarZarn_GetMultiParameter(PZComponent_IrRight, PZParameter_DigitalGain, &value, &count),
              PZStatus_Success);
    EXPECT_EQ(lastSetting().channels, (std::vector<Channel>{{0, 0.0f}}));
    ASSERT_EQ(PlovarZarn_GetMultiParameter(PZComponent_IrRight, PZParameter_Blc, &value, &count), PZStatus_Success);
    EXPECT_EQ(value, 0.0f);
}

TEST_F(Parameters, DepthPairsReadTwoValuesFromTheDepthComponent) {
    zsim::SimComponentSettings depth;
    depth.matchingWindow[0] = 11;
    depth.matchingWindow[1] = 65535;
    depth.disparityRange[0] = 0;
    depth.disparityRange[1] = 96;
    firmware_->setComponentSettings(kWireDepth, depth);
    float values[3] = {-1.0f, -1.0f, -1.0f};
    uint32_t count = 3;
    ASSERT_EQ(PlovarZarn_GetMultiParameter(PZComponent_Visible, PZParameter_MatchingWindow, values, &count),
              PZStatus_Success);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(values[0], 11.0f);
    EXPECT_EQ(values[1], 65535.0f);
    EXPECT_EQ(values[2], -1.0f);
    EXPECT_EQ(lastSetting().component, kWireDepth);
    count = 2;
    ASSERT_EQ(PlovarZarn_GetMultiParameter(PZComponent_IrLeft, PZParameter_DisparityRange, values, &count),
              PZStatus_Success);
    EXPECT_EQ(values[1], 96.0f);
    EXPECT_EQ(lastSetting().member, member(S::DISPARITY_RANGE));

    const size_t before = sent();
    count = 1;
    EXPECT_EQ(PlovarZarn_GetMultiParameter(PZComponent_Depth, PZParameter_MatchingWindow, values, &count),
              PZStatus_InvalidParameter);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(sent(), before);
}

TEST_F(Parameters, FailedReadSetsTheCountLogsAndKeepsTheValues) {
    planError(mc::Error::INVALID_PARAMS);
    float values[2] = {4.0f, 4.0f};
    uint32_t count = 2;
    EXPECT_EQ(PlovarZarn_GetMultiParameter(PZComponent_IrLeft, PZParameter_Exposure, values, &count),
              PZStatus_InvalidParameter);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(values[0], 4.0f);
    EXPECT_EQ(log_.levelOf("Get parameter (0) failed: Invalid Parameter"), LOG_WARN_E);

    planError(mc::Error::IO_ERROR);
    count = 5;
    EXPECT_EQ(PlovarZarn_GetMultiParameter(PZComponent_IrLeft, PZParameter_DisparityRange, values, &count),
              PZStatus_Error);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(log_.count("Get parameter (9) failed: Error"), 1u);
    // A component the driver does not know fails the same way, without a request.
    const size_t before = sent();
    count = 1;
    EXPECT_EQ(PlovarZarn_GetMultiParameter(9, PZParameter_Gamma, values, &count), PZStatus_InvalidParameter);
    EXPECT_EQ(log_.count("Get parameter (12) failed: Invalid Parameter"), 1u);
    EXPECT_EQ(sent(), before);
}

// ------------------------------------------------------------ writing

TEST_F(Parameters, PlainFloatParametersAreWrittenAsGiven) {
    const std::vector<std::pair<int32_t, S::Which>> plain = {{PZParameter_Exposure, S::EXPOSURE},
                                                              {PZParameter_Fps, S::FPS},
                                                              {PZParameter_Gamma, S::GAMMA}};
    for (const auto& [parameter, which] : plain) {
        ASSERT_EQ(set(PZComponent_Visible, parameter, {1.625f, 99.0f}), PZStatus_Success);
        const auto request = lastSetting();
        EXPECT_EQ(request.member, member(which));
        EXPECT_TRUE(request.writeFlag);
        EXPECT_EQ(request.component, kWireVisible);
        EXPECT_EQ(request.floatValue, 1.625f);
    }
    ASSERT_EQ(set(PZComponent_Depth, PZParameter_AnalogGain, {3.0f}), PZStatus_Success);
    EXPECT_EQ(lastSetting().channels, (std::vector<Channel>{{0, 3.0f}}));
    EXPECT_EQ(lastSetting().component, kWireDepth);
}

TEST_F(Parameters, DigitalGainTakesOneOrThreeValues) {
    ASSERT_EQ(set(PZComponent_Visible, PZParameter_DigitalGain, {1.5f}), PZStatus_Success);
    EXPECT_EQ(lastSetting().channels, (std::vector<Channel>{{0, 1.5f}}));
    ASSERT_EQ(set(PZComponent_Visible, PZParameter_DigitalGain, {1.0f, 2.0f, 3.0f}), PZStatus_Success);
    EXPECT_EQ(lastSetting().channels, (std::vector<Channel>{{1, 1.0f}, {2, 2.0f}, {3, 3.0f}}));
    const size_t before = sent();
    EXPECT_EQ(set(PZComponent_Visible, PZParameter_DigitalGain, {1.0f, 2.0f}), PZStatus_InvalidParameter);
    EXPECT_EQ(log_.levelOf("Set parameter (2) failed: Invalid Parameter"), LOG_WARN_E);
    EXPECT_EQ(set(PZComponent_Visible, PZParameter_DigitalGain, {1.0f, 2.0f, 3.0f, 4.0f}), PZStatus_InvalidParameter);
    EXPECT_EQ(log_.count("Set parameter (2) failed: Invalid Parameter"), 2u);
    EXPECT_EQ(sent(), before);
}

TEST_F(Parameters, InfraredOnlyParametersAreRefusedElsewhereWithoutALogLine) {
    const size_t before = sent();
    for (int32_t component : std::vector<int32_t>{PZComponent_Visible, PZComponent_Depth, 7}) {
        for (int32_t parameter :
             {PZParameter_Delay, PZParameter_YOffset, PZParameter_XOffset, PZParameter_SubpixYOffset}) {
            EXPECT_EQ(set(component, parameter, {1.0f}), PZStatus_NotSupported) << component << " " << parameter;
        }
    }
    EXPECT_EQ(sent(), before);
    EXPECT_EQ(warnings(), 0u);
}

TEST_F(Parameters, DelayIsSentInWholeMicrosecondsForBothImagers) {
    ASSERT_EQ(set(PZComponent_IrBoth, PZParameter_Delay, {0.0000015f}), PZStatus_Success);
    auto request = lastSetting();
    EXPECT_EQ(request.member, member(S::DELAY));
    EXPECT_EQ(request.component, kWireIrBoth);
    EXPECT_EQ(request.floatValue, 1.0f);
    ASSERT_EQ(set(PZComponent_IrLeft, PZParameter_Delay, {0.25f}), PZStatus_Success);
    request = lastSetting();
    EXPECT_EQ(request.component, kWireIrBoth);
    EXPECT_EQ(request.floatValue, 250000.0f);
    ASSERT_EQ(set(PZComponent_IrRight, PZParameter_Delay, {-0.0000029f}), PZStatus_Success);
    EXPECT_EQ(lastSetting().floatValue, -2.0f);
}

TEST_F(Parameters, OffsetsAreTruncatedTowardZero) {
    ASSERT_EQ(set(PZComponent_IrLeft, PZParameter_YOffset, {3.9f}), PZStatus_Success);
    EXPECT_EQ(lastSetting().member, member(S::Y_OFFSET));
    EXPECT_EQ(lastSetting().component, kWireIrLeft);
    EXPECT_EQ(lastSetting().intValue, 3);
    ASSERT_EQ(set(PZComponent_IrRight, PZParameter_XOffset, {-2.7f}), PZStatus_Success);
    EXPECT_EQ(lastSetting().member, member(S::X_OFFSET));
    EXPECT_EQ(lastSetting().intValue, -2);
    ASSERT_EQ(set(PZComponent_IrBoth, PZParameter_SubpixYOffset, {-0.7f}), PZStatus_Success);
    EXPECT_EQ(lastSetting().member, member(S::SUBPIX_Y_OFFSET));
    EXPECT_EQ(lastSetting().floatValue, -0.7f);
    // Read back through the same interface.
    float value = 0.0f;
    uint32_t count = 1;
    ASSERT_EQ(PlovarZarn_GetMultiParameter(PZComponent_IrLeft, PZParameter_YOffset, &value, &count),
              PZStatus_Success);
    EXPECT_EQ(value, 3.0f);
}

TEST_F(Parameters, ValuesWithoutAnIntegerAreRefusedAndLogged) {
    const size_t before = sent();
    EXPECT_EQ(set(PZComponent_IrLeft, PZParameter_YOffset, {kNaN}), PZStatus_InvalidParameter);
    EXPECT_EQ(log_.count("Set parameter (4) failed: Invalid Parameter"), 1u);
    EXPECT_EQ(set(PZComponent_IrLeft, PZParameter_XOffset, {3e9f}), PZStatus_InvalidParameter);
    EXPECT_EQ(set(PZComponent_IrBoth, PZParameter_Delay, {std::numeric_limits<float>::infinity()}),
              PZStatus_InvalidParameter);
    EXPECT_EQ(set(PZComponent_IrBoth, PZParameter_Delay, {1e20f}), PZStatus_InvalidParameter);
    EXPECT_EQ(log_.count("Set parameter (3) failed: Invalid Parameter"), 2u);
    EXPECT_EQ(set(PZComponent_Depth, PZParameter_MatchingWindow, {1.0f, kNaN}), PZStatus_InvalidParameter);
    EXPECT_EQ(sent(), before);
}

TEST_F(Parameters, DepthPairsNeedExactlyTwoValues) {
    ASSERT_EQ(set(PZComponent_Visible, PZParameter_MatchingWindow, {12.9f, 4.2f}), PZStatus_Success);
    auto request = lastSetting();
    EXPECT_EQ(request.component, kWireDepth);
    EXPECT_EQ(request.member, member(S::MATCHING_WINDOW));
    EXPECT_EQ(request.pair[0], 12);
    EXPECT_EQ(request.pair[1], 4);
    ASSERT_EQ(set(PZComponent_Depth, PZParameter_DisparityRange, {0.0f, 127.5f}), PZStatus_Success);
    EXPECT_EQ(lastSetting().member, member(S::DISPARITY_RANGE));
    EXPECT_EQ(lastSetting().pair[1], 127);
    const size_t before = sent();
    EXPECT_EQ(set(PZComponent_Depth, PZParameter_MatchingWindow, {1.0f, 2.0f, 3.0f}), PZStatus_InvalidParameter);
    EXPECT_EQ(set(PZComponent_Depth, PZParameter_DisparityRange, {1.0f}), PZStatus_InvalidParameter);
    EXPECT_EQ(sent(), before);
    EXPECT_EQ(warnings(), 0u);
}

TEST_F(Parameters, BlcIsOnForAnythingButZero) {
    const std::vector<std::pair<float, bool>> cases = {{0.0f, false}, {-0.0f, false}, {1.0f, true},
                                                       {-0.5f, true}, {kNaN, true}};
    for (const auto& [value, on] : cases) {
        ASSERT_EQ(set(PZComponent_IrLeft, PZParameter_Blc, {value}), PZStatus_Success);
        EXPECT_EQ(lastSetting().member, member(S::BLC));
        EXPECT_EQ(lastSetting().flag, on) << value;
    }
}

TEST_F(Parameters, DeviceFailureOfAWriteIsLoggedWithTheStatusName) {
    planError(mc::Error::POWER_INSUFFICIENT);
    EXPECT_EQ(set(PZComponent_IrLeft, PZParameter_Fps, {30.0f}), PZStatus_PowerInsufficient);
    EXPECT_EQ(log_.levelOf("Set parameter (7) failed: Power Insufficient"), LOG_WARN_E);
    planError(mc::Error::NOT_SUPPORTED);
    EXPECT_EQ(set(PZComponent_Visible, PZParameter_ApplyWb, {}), PZStatus_NotSupported);
    EXPECT_EQ(log_.count("Set parameter (11) failed: Not Supported"), 1u);
    EXPECT_EQ(set(12, PZParameter_Gamma, {1.0f}), PZStatus_InvalidParameter);
    EXPECT_EQ(log_.count("Set parameter (12) failed: Invalid Parameter"), 1u);
}

TEST_F(Parameters, WritesAreServedInProductionDataCorruptAndFirmwareCorruptStates) {
    for (int32_t state : {PZDeviceState_ProductionDataCorrupt, PZDeviceState_FWCorrupt}) {
        updateState(state);
        EXPECT_EQ(set(PZComponent_IrLeft, PZParameter_Exposure, {2.0f}), PZStatus_Success);
        float value = 0.0f;
        uint32_t count = 1;
        EXPECT_EQ(PlovarZarn_GetMultiParameter(PZComponent_IrLeft, PZParameter_Exposure, &value, &count),
                  PZStatus_Success);
        EXPECT_EQ(value, 2.0f);
    }
}

TEST_F(Parameters, DeviceRemovedDuringAReadOrAWrite) {
    zsim::ReplyPlan unplug;
    unplug.kind = zsim::ReplyPlan::Kind::Unplug;
    firmware_->planNext(unplug);
    float value = 6.0f;
    uint32_t count = 1;
    EXPECT_EQ(PlovarZarn_GetMultiParameter(PZComponent_IrLeft, PZParameter_YOffset, &value, &count),
              PZStatus_DeviceNotReady);
    EXPECT_EQ(value, 6.0f);
    EXPECT_EQ(log_.levelOf("Get parameter (4) failed: Device Not Ready"), LOG_WARN_E);
    ASSERT_TRUE(waitForReadThreadEnd());
    EXPECT_NE(set(PZComponent_IrLeft, PZParameter_YOffset, {1.0f}), PZStatus_Success);
    EXPECT_EQ(log_.count("Set parameter (4) failed:"), 1u);
}

}  // namespace
