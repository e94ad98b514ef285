// Device requests against the simulated firmware through the real device
// client, and against a scripted peer where the reply must be odd on purpose.
#include "driver/device_requests.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <capnp/any.h>

#include "driver/device_record.h"
#include "driver/tests/setting_requests_fixture.h"

namespace {

namespace mc = morv::client;
using S = mc::ComponentSetting;
using ztest::kBound;
using ztest::onThreadIn;
using ztest::ScriptedPeer;
using Channel = zsim::SimComponentSettings::Channel;

constexpr uint16_t kWireIrRight = 1, kWireIrLeft = 2, kWireIrBoth = 3, kWireVisible = 4, kWireDepth = 6;

uint16_t member(S::Which which) { return static_cast<uint16_t>(which); }

using Requests = ztest::SettingRequestsFixture;

using RequestsScripted = ztest::ScriptedClientFixture;

// Answers every request with a success Response whose msg the test fills.
void answerWith(ScriptedPeer& peer, std::function<void(mc::Response::Builder)> fill) {
    peer.setResponder([fill](mc::Request::Reader request, ScriptedPeer& p) {
        p.send(ztest::frameResponse([&](mc::Response::Builder response) {
            response.setId(request.getId() + 1u);
            response.setError(mc::Error::SUCCESS);
            fill(response);
        }));
    });
}

// ------------------------------------------------------------ wire mapping

TEST(RequestTables, InterfaceNumbersMapToTheirWireValues) {
    const std::vector<std::pair<int32_t, mc::Component>> components = {
        {0, mc::Component::VISIBLE}, {1, mc::Component::IR_LEFT}, {2, mc::Component::IR_RIGHT},
        {3, mc::Component::IR_BOTH}, {4, mc::Component::DEPTH}};
    for (const auto& [from, to] : components) {
        mc::Component wire = mc::Component::NOTSET;
        ASSERT_TRUE(PZComponent_toWire(from, &wire)) << from;
        EXPECT_EQ(wire, to) << from;
    }
    const std::vector<std::pair<int32_t, mc::DeviceMode>> modes = {{0, mc::DeviceMode::NORMAL},
                                                                   {1, mc::DeviceMode::WARM_REBOOT},
                                                                   {2, mc::DeviceMode::RECOVERY},
                                                                   {3, mc::DeviceMode::LOW_POWER}};
    for (const auto& [from, to] : modes) {
        mc::DeviceMode wire = mc::DeviceMode::COLD_REBOOT;
        ASSERT_TRUE(PZDeviceMode_toWire(from, &wire)) << from;
        EXPECT_EQ(wire, to) << from;
    }
    mc::Component component = mc::Component::LASER;
    EXPECT_FALSE(PZComponent_toWire(5, &component));
    EXPECT_FALSE(PZComponent_toWire(-1, &component));
    EXPECT_EQ(component, mc::Component::LASER);
    mc::DeviceMode mode = mc::DeviceMode::COLD_REBOOT;
    EXPECT_FALSE(PZDeviceMode_toWire(4, &mode));
    EXPECT_EQ(mode, mc::DeviceMode::COLD_REBOOT);
    mc::TwistCompCfg::Mode twist = mc::TwistCompCfg::Mode::ONE_SHOT;
    EXPECT_FALSE(PZTwistMode_toWire(1, &twist));
    EXPECT_EQ(twist, mc::TwistCompCfg::Mode::ONE_SHOT);
}

TEST_F(Requests, EveryComponentReachesTheDeviceUnderItsWireNumber) {
    const uint16_t expected[5] = {kWireVisible, kWireIrLeft, kWireIrRight, kWireIrBoth, kWireDepth};
    for (int32_t component = 0; component < 5; ++component) {
        ASSERT_EQ(PlovarZarnClient_SetExposure(component, 2.5f + static_cast<float>(component)), PZStatus_Success);
        const auto request = lastSetting();
        EXPECT_EQ(request.component, expected[component]);
        EXPECT_TRUE(request.writeFlag);
        EXPECT_EQ(request.member, member(S::EXPOSURE));
        EXPECT_EQ(request.floatValue, 2.5f + static_cast<float>(component));
        EXPECT_EQ(firmware_->componentSettings(expected[component]).exposure, 2.5f + static_cast<float>(component));
    }
}

TEST_F(Requests, UnknownComponentIsRefusedBeforeAnythingIsSent) {
    bool filled = false;
    const size_t before = sent();
    EXPECT_EQ(PlovarZarnClient_ComponentSetting(
                  5, true, [&](S::Builder) { filled = true; }, nullptr),
              PZStatus_InvalidParameter);
    EXPECT_EQ(PlovarZarnClient_ComponentSetting(-1, false, nullptr, nullptr), PZStatus_InvalidParameter);
    float exposure = -1.0f;
    EXPECT_EQ(PlovarZarnClient_GetExposure(7, &exposure), PZStatus_InvalidParameter);
    EXPECT_FALSE(filled);
    EXPECT_EQ(exposure, -1.0f);
    EXPECT_EQ(sent(), before);
}

TEST_F(Requests, SettingFrameOnTheWireHasTheSchemaLayout) {
    // Taken apart by hand: component at bytes 0-1, writeFlag at bit 16, the
    // union's discriminant at bytes 4-5, yOffset at bytes 8-9.
    firmware_->setRequestHook([](mc::Request::Reader request, zsim::SimFirmware&) {
        if (request.getMsg().which() != mc::Request::Msg::COMPONENT_SETTING) return false;
        capnp::AnyStruct::Reader any = request.getMsg().getComponentSetting();
        const auto data = any.getDataSection();
        EXPECT_EQ(data.size(), 16u);
        uint16_t component, discriminant;
        int16_t value;
        std::memcpy(&component, data.begin(), 2);
        std::memcpy(&discriminant, data.begin() + 4, 2);
        std::memcpy(&value, data.begin() + 8, 2);
        EXPECT_EQ(component, kWireIrRight);
        EXPECT_EQ(data[2] & 1, 1);
        EXPECT_EQ(discriminant, 5);
        EXPECT_EQ(value, -3);
        return false;
    });
    EXPECT_EQ(PlovarZarnClient_SetYOffset(PZComponent_IrRight, -3), PZStatus_Success);
    EXPECT_EQ(firmware_->settingRequests().size(), 1u);
}

// ------------------------------------------------------------ setting family

TEST_F(Requests, FloatSettingsAreWrittenAndReadBackPerComponent) {
    struct Family {
        PZStatus (*set)(int32_t, float);
        PZStatus (*get)(int32_t, float*);
        S::Which which;
        float zsim::SimComponentSettings::*field;
    };
    const Family families[] = {
        {&PlovarZarnClient_SetExposure, &PlovarZarnClient_GetExposure, S::EXPOSURE, &zsim::SimComponentSettings::exposure},
        {&PlovarZarnClient_SetSubpixYOffset, &PlovarZarnClient_GetSubpixYOffset, S::SUBPIX_Y_OFFSET,
         &zsim::SimComponentSettings::subpixYOffset},
        {&PlovarZarnClient_SetFps, &PlovarZarnClient_GetFps, S::FPS, &zsim::SimComponentSettings::fps},
        {&PlovarZarnClient_SetGamma, &PlovarZarnClient_GetGamma, S::GAMMA, &zsim::SimComponentSettings::gamma},
    };
    for (const Family& family : families) {
        SCOPED_TRACE(member(family.which));
        ASSERT_EQ(family.set(PZComponent_IrLeft, -0.375f), PZStatus_Success);
        float value = 99.0f;
        ASSERT_EQ(family.get(PZComponent_IrLeft, &value), PZStatus_Success);
        EXPECT_EQ(value, -0.375f);
        const auto read = lastSetting();
        EXPECT_FALSE(read.writeFlag);
        EXPECT_EQ(read.member, member(family.which));
        EXPECT_EQ(read.floatValue, 0.0f);
        // The other imager keeps its own value.
        ASSERT_EQ(family.get(PZComponent_IrRight, &value), PZStatus_Success);
        EXPECT_EQ(value, zsim::SimComponentSettings{}.*family.field);
        EXPECT_EQ(firmware_->componentSettings(kWireIrLeft).*family.field, -0.375f);
    }
}

TEST_F(Requests, GainsTravelAsChannelListsAndReadElementZero) {
    ASSERT_EQ(PlovarZarnClient_SetAnalogGain(PZComponent_Visible, 4.0f), PZStatus_Success);
    EXPECT_EQ(lastSetting().channels, (std::vector<Channel>{{0, 4.0f}}));
    EXPECT_EQ(lastSetting().member, member(S::ANALOG_GAIN));
    float gain = 0.0f;
    ASSERT_EQ(PlovarZarnClient_GetAnalogGain(PZComponent_Visible, &gain), PZStatus_Success);
    EXPECT_EQ(gain, 4.0f);
    EXPECT_EQ(lastSetting().channels, (std::vector<Channel>{{0, 0.0f}}));

    const float rgb[3] = {1.5f, 2.5f, 3.5f};
    ASSERT_EQ(PlovarZarnClient_SetDigitalGain(PZComponent_Visible, rgb, 3), PZStatus_Success);
    EXPECT_EQ(lastSetting().member, member(S::DIGITAL_GAIN));
    EXPECT_EQ(lastSetting().channels, (std::vector<Channel>{{1, 1.5f}, {2, 2.5f}, {3, 3.5f}}));
    ASSERT_EQ(PlovarZarnClient_GetDigitalGain(PZComponent_Visible, &gain), PZStatus_Success);
    EXPECT_EQ(gain, 1.5f);
    ASSERT_EQ(PlovarZarnClient_SetDigitalGain(PZComponent_Visible, rgb + 2, 1), PZStatus_Success);
    EXPECT_EQ(lastSetting().channels, (std::vector<Channel>{{0, 3.5f}}));

    const size_t before = sent();
    EXPECT_EQ(PlovarZarnClient_SetDigitalGain(PZComponent_Visible, rgb, 2), PZStatus_InvalidParameter);
    EXPECT_EQ(PlovarZarnClient_SetDigitalGain(PZComponent_Visible, nullptr, 1), PZStatus_InvalidParameter);
    EXPECT_EQ(sent(), before);
}

TEST_F(Requests, GainReplyWithAnEmptyListFailsAndLeavesTheOutputAlone) {
    zsim::SimComponentSettings settings;
    settings.analogGain.clear();
    settings.digitalGain.clear();
    firmware_->setComponentSettings(kWireIrBoth, settings);
    float gain = 7.0f;
    EXPECT_EQ(PlovarZarnClient_GetAnalogGain(PZComponent_IrBoth, &gain), PZStatus_Error);
    EXPECT_EQ(PlovarZarnClient_GetDigitalGain(PZComponent_IrBoth, &gain), PZStatus_Error);
    EXPECT_EQ(gain, 7.0f);
}

TEST_F(Requests, DelayGoesToBothImagersAsFloatMicroseconds) {
    ASSERT_EQ(PlovarZarnClient_SetDelay(1500), PZStatus_Success);
    const auto request = lastSetting();
    EXPECT_EQ(request.component, kWireIrBoth);
    EXPECT_TRUE(request.writeFlag);
    EXPECT_EQ(request.member, member(S::DELAY));
    EXPECT_EQ(request.floatValue, 1500.0f);
}

TEST_F(Requests, OffsetsAreCutToSixteenBits) {
    ASSERT_EQ(PlovarZarnClient_SetYOffset(PZComponent_IrLeft, 70000), PZStatus_Success);
    EXPECT_EQ(lastSetting().member, member(S::Y_OFFSET));
    EXPECT_EQ(lastSetting().intValue, static_cast<int16_t>(70000 - 65536));
    ASSERT_EQ(PlovarZarnClient_SetXOffset(PZComponent_IrLeft, -12), PZStatus_Success);
    EXPECT_EQ(lastSetting().member, member(S::X_OFFSET));
    int16_t y = 0, x = 0;
    ASSERT_EQ(PlovarZarnClient_GetYOffset(PZComponent_IrLeft, &y), PZStatus_Success);
    ASSERT_EQ(PlovarZarnClient_GetXOffset(PZComponent_IrLeft, &x), PZStatus_Success);
    EXPECT_EQ(y, 4464);
    EXPECT_EQ(x, -12);
}

TEST_F(Requests, DepthPairsAlwaysGoToTheDepthComponent) {
    ASSERT_EQ(PlovarZarnClient_SetMatchingWindow(9, 7), PZStatus_Success);
    auto request = lastSetting();
    EXPECT_EQ(request.component, kWireDepth);
    EXPECT_EQ(request.member, member(S::MATCHING_WINDOW));
    EXPECT_EQ(request.pair[0], 9);
    EXPECT_EQ(request.pair[1], 7);
    ASSERT_EQ(PlovarZarnClient_SetDisparityRange(65536 + 3, 128), PZStatus_Success);
    EXPECT_EQ(lastSetting().member, member(S::DISPARITY_RANGE));
    EXPECT_EQ(lastSetting().pair[0], 3);

    uint16_t v1 = 0, v2 = 0;
    ASSERT_EQ(PlovarZarnClient_GetMatchingWindow(&v1, &v2), PZStatus_Success);
    request = lastSetting();
    EXPECT_EQ(request.component, kWireDepth);
    EXPECT_FALSE(request.writeFlag);
    EXPECT_TRUE(request.pairSet);  // the read carries a (0, 0) pair, not a null pointer
    EXPECT_EQ(request.pair[0], 0);
    EXPECT_EQ(v1, 9);
    EXPECT_EQ(v2, 7);
    ASSERT_EQ(PlovarZarnClient_GetDisparityRange(&v1, &v2), PZStatus_Success);
    EXPECT_EQ(v1, 3);
    EXPECT_EQ(v2, 128);
}

TEST_F(Requests, BlcAndWhiteBalance) {
    ASSERT_EQ(PlovarZarnClient_SetBlc(PZComponent_Visible, true), PZStatus_Success);
    EXPECT_EQ(lastSetting().member, member(S::BLC));
    EXPECT_TRUE(lastSetting().flag);
    bool on = false;
    ASSERT_EQ(PlovarZarnClient_GetBlc(PZComponent_Visible, &on), PZStatus_Success);
    EXPECT_TRUE(on);
    EXPECT_FALSE(lastSetting().flag);
    ASSERT_EQ(PlovarZarnClient_ApplyWb(PZComponent_Visible), PZStatus_Success);
    EXPECT_EQ(lastSetting().member, member(S::APPLY_WB));
    EXPECT_TRUE(lastSetting().writeFlag);
    EXPECT_EQ(firmware_->componentSettings(kWireVisible).whiteBalanceApplied, 1u);
}

TEST_F(Requests, DeviceRefusalComesBackAndLeavesTheOutputAlone) {
    planError(mc::Error::INVALID_PARAMS);
    float exposure = 42.0f;
    EXPECT_EQ(PlovarZarnClient_GetExposure(PZComponent_IrLeft, &exposure), PZStatus_InvalidParameter);
    EXPECT_EQ(exposure, 42.0f);
    planError(mc::Error::NOT_READY);
    EXPECT_EQ(PlovarZarnClient_SetGamma(PZComponent_Visible, 2.2f), PZStatus_DeviceNotReady);
    float unused = 0.0f;
    EXPECT_EQ(PlovarZarnClient_GetGamma(PZComponent_Visible, nullptr), PZStatus_InvalidParameter);
    EXPECT_EQ(PlovarZarnClient_GetGamma(PZComponent_Visible, &unused), PZStatus_Success);
}

TEST_F(RequestsScripted, GetterReadsItsOwnFieldWhicheverMemberTheReplySets) {
    // normalization shares yOffset's position, gamma shares fps's.
    answerWith(*peer_, [](mc::Response::Builder response) {
        auto setting = response.getMsg().initComponentSetting();
        setting.setNormalization(77);
    });
    int16_t offset = 0;
    EXPECT_EQ(PlovarZarnClient_GetYOffset(PZComponent_IrLeft, &offset), PZStatus_Success);
    EXPECT_EQ(offset, 77);
    answerWith(*peer_, [](mc::Response::Builder response) { response.getMsg().initComponentSetting().setGamma(2.5f); });
    float fps = 0.0f;
    EXPECT_EQ(PlovarZarnClient_GetFps(PZComponent_Visible, &fps), PZStatus_Success);
    EXPECT_EQ(fps, 2.5f);
}

TEST_F(RequestsScripted, ShortOrMalformedRepliesReadAsDefaultsOrFail) {
    // A deviceState struct in the reply's pointer: one data word, so the
    // exposure (bits 64-95) lies beyond it and reads as 0.
    answerWith(*peer_, [](mc::Response::Builder response) {
        response.getMsg().initDeviceState().setState(mc::State::READY);
    });
    float exposure = 5.0f;
    EXPECT_EQ(PlovarZarnClient_GetExposure(PZComponent_IrLeft, &exposure), PZStatus_Success);
    EXPECT_EQ(exposure, 0.0f);
    // Bytes where a struct belongs: the reply cannot be read as a setting.
    answerWith(*peer_, [](mc::Response::Builder response) {
        const kj::byte bytes[3] = {1, 2, 3};
        response.getMsg().setDeviceCalibration(kj::arrayPtr(bytes, 3));
    });
    exposure = 5.0f;
    EXPECT_EQ(PlovarZarnClient_GetExposure(PZComponent_IrLeft, &exposure), PZStatus_Error);
    EXPECT_EQ(exposure, 5.0f);
    // No gain list at all (null pointer): no element 0.
    answerWith(*peer_, [](mc::Response::Builder response) { response.getMsg().initComponentSetting(); });
    float gain = 3.0f;
    EXPECT_EQ(PlovarZarnClient_GetAnalogGain(PZComponent_IrLeft, &gain), PZStatus_Error);
    EXPECT_EQ(gain, 3.0f);
}

// ------------------------------------------------------------ device information

TEST_F(Requests, DeviceInformationIsFilledFromTheReply) {
    zsim::SimDeviceInfo info;
    info.name = "Bench unit";
    info.serial = "ZS0042";
    info.model = "Zarn B";
    info.hwName = "ZRN-B2";
    info.manufacturer = "Morvale";
    info.credential = "";
    info.color = 4;
    info.birthday = 0x1122334455667788ull;
    info.usbSpeed = 5;
    info.fwMajor = 3;
    info.fwMinor = 14;
    info.fwRevision = 159;
    info.fwBuildType = 2;  // beta
    info.hasBattery = true;
    info.laserModel = 11;
    info.irCamModel = 12;
    info.irCamType = 13;
    info.visCamModel = 14;
    info.visCamType = 15;
    firmware_->setDeviceInfo(info);
    PZDeviceInfo out{};
    ASSERT_EQ(PlovarZarnClient_GetDeviceInfo(&out), PZStatus_Success);
    EXPECT_STREQ(out.name, "Bench unit");
    EXPECT_STREQ(out.serial, "ZS0042");
    EXPECT_STREQ(out.model, "Zarn B");
    EXPECT_STREQ(out.hwName, "ZRN-B2");
    EXPECT_STREQ(out.manufacturer, "Morvale");
    ASSERT_NE(out.credential, nullptr);
    EXPECT_STREQ(out.credential, "");
    EXPECT_EQ(out.color, 4);
    EXPECT_EQ(out.birthday, 0x1122334455667788ull);
    EXPECT_EQ(out.usbSpeed, 5);
    EXPECT_EQ(out.fwMajor, 3u);
    EXPECT_EQ(out.fwMinor, 14u);
    EXPECT_EQ(out.fwRevision, 159u);
    EXPECT_EQ(out.buildType, PZBuildType_Beta);
    EXPECT_TRUE(out.hasBattery);
    EXPECT_FALSE(out.disableLeds);
    EXPECT_EQ(out.laserModel, 11);
    EXPECT_EQ(out.irCamModel, 12);
    EXPECT_EQ(out.irCamType, 13);
    EXPECT_EQ(out.visCamModel, 14);
    EXPECT_EQ(out.visCamType, 15);
    // The texts live in the client's copy of the reply.
    const auto* copy = PZClient_get()->deviceInfoMessage.get();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(out.name, const_cast<capnp::MallocMessageBuilder*>(copy)
                            ->getRoot<mc::Response>().asReader().getMsg().getDevInfo().getName().cStr());

    // Out-of-table colour and build types; a null output still refreshes the copy.
    info.color = 9;
    info.fwBuildType = 3;  // dev
    info.name = "renamed";
    firmware_->setDeviceInfo(info);
    ASSERT_EQ(PlovarZarnClient_GetDeviceInfo(nullptr), PZStatus_Success);
    EXPECT_NE(PZClient_get()->deviceInfoMessage.get(), copy);
    ASSERT_EQ(PlovarZarnClient_GetDeviceInfo(&out), PZStatus_Success);
    EXPECT_EQ(out.color, 0);
    EXPECT_EQ(out.buildType, PZBuildType_Dev);
    EXPECT_STREQ(out.name, "renamed");
    info.fwBuildType = 0;  // notSet
    firmware_->setDeviceInfo(info);
    ASSERT_EQ(PlovarZarnClient_GetDeviceInfo(&out), PZStatus_Success);
    EXPECT_EQ(out.buildType, PZBuildType_Dev);
}

TEST_F(Requests, FailedDeviceInformationKeepsTheCallersRecordAndTheLastCopy) {
    PZDeviceInfo out{};
    ASSERT_EQ(PlovarZarnClient_GetDeviceInfo(&out), PZStatus_Success);
    const char* name = out.name;
    planError(mc::Error::IO_ERROR);
    PZDeviceInfo untouched{};
    untouched.fwMajor = 77;
    EXPECT_EQ(PlovarZarnClient_GetDeviceInfo(&untouched), PZStatus_Error);
    EXPECT_EQ(untouched.fwMajor, 77u);
    EXPECT_EQ(untouched.name, nullptr);
    EXPECT_STREQ(name, "Zarn");
}

TEST_F(RequestsScripted, DeviceInformationWithAbsentTextsGivesEmptyTexts) {
    answerWith(*peer_, [](mc::Response::Builder response) { response.getMsg().initDevInfo(); });
    PZDeviceInfo out{};
    ASSERT_EQ(PlovarZarnClient_GetDeviceInfo(&out), PZStatus_Success);
    for (const char* text : {out.name, out.serial, out.model, out.hwName, out.manufacturer, out.credential}) {
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "");
    }
    EXPECT_EQ(out.buildType, PZBuildType_Dev);
    // A text pointer where the fwVer struct belongs: the reply does not decode.
    answerWith(*peer_, [](mc::Response::Builder response) {
        auto info = response.getMsg().initDevInfo();
        info.setName("x");
        capnp::AnyStruct::Builder any = capnp::toAny(info);
        any.getPointerSection()[5].setAs<capnp::Text>("not a version");
    });
    PZDeviceInfo kept{};
    kept.fwMinor = 5;
    EXPECT_EQ(PlovarZarnClient_GetDeviceInfo(&kept), PZStatus_Error);
    EXPECT_EQ(kept.fwMinor, 5u);
}

TEST_F(Requests, ConcurrentDeviceInformationRequestsEachGetAWholeRecord) {
    auto ask = [] {
        for (int i = 0; i < 15; ++i) {
            PZDeviceInfo out{};
            if (PlovarZarnClient_GetDeviceInfo(&out) != PZStatus_Success) return false;
            if (out.fwMinor != 9u) return false;
        }
        return true;
    };
    auto first = onThreadIn(context_, ask);
    auto second = onThreadIn(context_, ask);
    ASSERT_EQ(first.wait_for(kBound), std::future_status::ready);
    ASSERT_EQ(second.wait_for(kBound), std::future_status::ready);
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(second.get());
}

// ------------------------------------------------------------ calibration

TEST_F(Requests, CalibrationIsRetrievedFromTheDeviceAndParsed) {
    PZCalibration calibration{};
    ASSERT_EQ(PlovarZarnClient_GetCalibration(&calibration), PZStatus_Success);
    const auto requests = firmware_->calibrateRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].action, 2);  // retrieve
    EXPECT_EQ(requests[0].target, 2);  // device
    EXPECT_EQ(calibration.version, 4);
    EXPECT_EQ(calibration.fc_left, 385.125);
    EXPECT_EQ(calibration.T, 50.0625);
    EXPECT_EQ(calibration.temp_right, 42.0);
    EXPECT_TRUE(log_.count("Calibrated on 2026-03-02_14:07:31, version: 4") == 1);

    firmware_->setCalibrationText("version=5001 calib_date=today vis_1_fx=700.5");
    ASSERT_EQ(PlovarZarnClient_GetCalibration(&calibration), PZStatus_Success);
    EXPECT_EQ(calibration.version, 5001);
    EXPECT_EQ(calibration.vis[1].fx, 700.5);
    EXPECT_EQ(calibration.vis[0].extrinsicFlag, 1);
}

TEST_F(Requests, CalibrationFailuresLeaveTheRecordAlone) {
    PZCalibration calibration{};
    calibration.version = 123;
    planError(mc::Error::FILE_NOT_FOUND);
    EXPECT_EQ(PlovarZarnClient_GetCalibration(&calibration), PZStatus_DoesNotExist);
    EXPECT_EQ(calibration.version, 123);
}

TEST_F(RequestsScripted, CalibrationReplyWithoutBytesWhereTheyBelongIsAnError) {
    answerWith(*peer_, [](mc::Response::Builder response) {
        response.getMsg().initDeviceState().setState(mc::State::READY);
    });
    PZCalibration calibration{};
    calibration.version = 9;
    EXPECT_EQ(PlovarZarnClient_GetCalibration(&calibration), PZStatus_Error);
    EXPECT_EQ(calibration.version, 9);
}

TEST_F(Requests, InternalCalibrationAsksForReadinessFirst) {
    PZCalibration calibration{};
    const size_t before = sent();
    // A fresh record's state is Unknown.
    EXPECT_EQ(PZInternal_GetCalibration(&calibration), PZStatus_DeviceNotReady);
    updateState(PZDeviceState_LowPowerMode);
    EXPECT_EQ(PZInternal_GetCalibration(&calibration), PZStatus_DeviceNotReady);
    updateState(PZDeviceState_Ready);
    EXPECT_EQ(PZInternal_GetCalibration(nullptr), PZStatus_InvalidParameter);
    EXPECT_EQ(sent(), before);
    PZDeviceRecord* record = PZDevice_get();
    record->cleanupActive.store(true);
    record->keepUsb.store(true);
    EXPECT_EQ(PZInternal_GetCalibration(&calibration), PZStatus_DeviceNotReady);
    EXPECT_EQ(log_.levelOf("In cleanup.  NOT READY"), LOG_DEBUG_E);
    EXPECT_EQ(sent(), before);
    record->keepUsb.store(false);
    EXPECT_EQ(PZInternal_GetCalibration(&calibration), PZStatus_Success);
    EXPECT_EQ(calibration.version, 4);
    record->cleanupActive.store(false);
}

// ------------------------------------------------------------ device mode

TEST_F(Requests, DeviceModesAreSentUnderTheirWireNumbers) {
    for (int32_t mode = 0; mode < 4; ++mode) EXPECT_EQ(PlovarZarnClient_SetMode(mode), PZStatus_Success);
    EXPECT_EQ(firmware_->modesSet(), (std::vector<uint16_t>{0, 2, 3, 1}));
    EXPECT_EQ(PlovarZarnClient_SetMode(4), PZStatus_InvalidParameter);
    EXPECT_EQ(PlovarZarnClient_SetMode(-1), PZStatus_InvalidParameter);
    EXPECT_EQ(firmware_->modesSet().size(), 4u);
    planError(mc::Error::POWER_INSUFFICIENT);
    EXPECT_EQ(PlovarZarnClient_SetMode(PZDeviceMode_Normal), PZStatus_PowerInsufficient);
}

TEST_F(Requests, ModeChangeWhoseDeviceVanishesInsteadOfAnsweringCountsAsDone) {
    zsim::ReplyPlan unplug;
    unplug.kind = zsim::ReplyPlan::Kind::Unplug;
    firmware_->planNext(unplug);
    EXPECT_EQ(PlovarZarnClient_SetMode(PZDeviceMode_WarmReboot), PZStatus_Success);
    EXPECT_EQ(firmware_->modesSet().size(), 0u);  // it never got to act on it
    EXPECT_EQ(firmware_->requestKinds().back(), static_cast<uint16_t>(mc::Request::Msg::SET_MODE));
}

TEST_F(Requests, ModeChangeWhoseClientStopsWhileWaitingCountsAsDone) {
    zsim::ReplyPlan silent;
    silent.kind = zsim::ReplyPlan::Kind::Silent;
    firmware_->planNext(silent);
    const size_t before = sent();
    auto sender = onThreadIn(context_, [] { return PlovarZarnClient_SetMode(PZDeviceMode_Recovery); });
    ASSERT_TRUE(firmware_->waitForRequests(before + 1, kBound));
    auto stopper = onThreadIn(context_, [] { return stopClient(); });
    ASSERT_EQ(sender.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(sender.get(), PZStatus_Success);
    firmware_->sendRaw({0x00});  // lets the read thread's pending byte read return
    ASSERT_EQ(stopper.wait_for(kBound), std::future_status::ready);
    stopper.get();
}

// ------------------------------------------------------------ twist compensation

TEST_F(Requests, TwistConfigurationSendsOffOrContinuousOnly) {
    EXPECT_EQ(PlovarZarnClient_SetTwistCompCfg(2), PZStatus_Success);
    EXPECT_EQ(PlovarZarnClient_SetTwistCompCfg(0), PZStatus_Success);
    EXPECT_EQ(firmware_->twistModes(), (std::vector<uint16_t>{1, 0}));
    const size_t before = sent();
    EXPECT_EQ(PlovarZarnClient_SetTwistCompCfg(1), PZStatus_NotSupported);
    EXPECT_EQ(PlovarZarnClient_SetTwistCompCfg(3), PZStatus_NotSupported);
    EXPECT_EQ(PlovarZarnClient_SetTwistCompCfg(-1), PZStatus_NotSupported);
    EXPECT_EQ(sent(), before);
    planError(mc::Error::NOT_STREAMING);
    EXPECT_EQ(PlovarZarnClient_SetTwistCompCfg(2), PZStatus_DeviceNotReady);
}

TEST_F(RequestsScripted, TwistConfigurationLeavesTheRegionsUnset) {
    answerWith(*peer_, [](mc::Response::Builder response) { response.getMsg().initDeviceState(); });
    ASSERT_EQ(PlovarZarnClient_SetTwistCompCfg(2), PZStatus_Success);
    ASSERT_TRUE(peer_->waitForRequests(1));
    peer_->withRequest(0, [](mc::Request::Reader request) {
        ASSERT_EQ(request.getMsg().which(), mc::Request::Msg::TWIST_COMP_CFG);
        const auto config = request.getMsg().getTwistCompCfg();
        EXPECT_EQ(config.getMode(), mc::TwistCompCfg::Mode::CONTINUOUS);
        EXPECT_FALSE(config.hasTemplate());
        EXPECT_FALSE(config.hasMatch());
    });
}

// ------------------------------------------------------------ no device

TEST_F(Requests, RequestsOnAStoppedClientAreRefused) {
    usb_->unplug();
    ASSERT_TRUE(waitForReadThreadEnd());
    stopClient();
    float exposure = 1.0f;
    EXPECT_EQ(PlovarZarnClient_GetExposure(PZComponent_Visible, &exposure), PZStatus_DeviceNotReady);
    EXPECT_EQ(exposure, 1.0f);
    PZDeviceInfo info{};
    EXPECT_EQ(PlovarZarnClient_GetDeviceInfo(&info), PZStatus_DeviceNotReady);
    PZCalibration calibration{};
    EXPECT_EQ(PlovarZarnClient_GetCalibration(&calibration), PZStatus_DeviceNotReady);
    EXPECT_EQ(PlovarZarnClient_SetTwistCompCfg(0), PZStatus_DeviceNotReady);
}

// ------------------------------------------------------------ entries and removal

size_t pendingCount() {
    PZClient* client = PZClient_get();
    OS_LYRG_lockMutex(&client->pendingMutex);
    const size_t n = client->pending.size();
    OS_LYRG_unlockMutex(&client->pendingMutex);
    return n;
}

TEST_F(RequestsScripted, EveryRequestReleasesItsPendingEntryWhateverItsOutcome) {
    answerWith(*peer_, [](mc::Response::Builder response) { response.getMsg().initComponentSetting().setFps(5.0f); });
    float value = 0.0f;
    EXPECT_EQ(PlovarZarnClient_GetFps(PZComponent_Visible, &value), PZStatus_Success);
    EXPECT_EQ(pendingCount(), 0u);
    EXPECT_EQ(PlovarZarnClient_GetAnalogGain(PZComponent_Visible, &value), PZStatus_Error);  // no list
    EXPECT_EQ(pendingCount(), 0u);
    EXPECT_EQ(PlovarZarnClient_SetFps(PZComponent_Visible, 5.0f), PZStatus_Success);
    EXPECT_EQ(pendingCount(), 0u);
    answerWith(*peer_, [](mc::Response::Builder response) {
        const kj::byte bytes[1] = {0};
        response.getMsg().setDeviceCalibration(kj::arrayPtr(bytes, 1));
    });
    EXPECT_EQ(PlovarZarnClient_GetFps(PZComponent_Visible, &value), PZStatus_Error);  // undecodable
    EXPECT_EQ(pendingCount(), 0u);
    PZDeviceInfo info{};
    EXPECT_EQ(PlovarZarnClient_GetDeviceInfo(&info), PZStatus_Error);
    EXPECT_EQ(pendingCount(), 0u);
    PZCalibration calibration{};
    EXPECT_EQ(PlovarZarnClient_GetCalibration(&calibration), PZStatus_Success);
    EXPECT_EQ(pendingCount(), 0u);
    peer_->setResponder([](mc::Request::Reader request, ScriptedPeer& peer) {
        peer.send(ztest::devInfoReply(request.getId() + 1u, "", mc::Error::NOT_READY));
    });
    EXPECT_EQ(PlovarZarnClient_SetTwistCompCfg(0), PZStatus_DeviceNotReady);
    EXPECT_EQ(PlovarZarnClient_GetCalibration(&calibration), PZStatus_DeviceNotReady);
    EXPECT_EQ(pendingCount(), 0u);
}

TEST_F(Requests, DeviceVanishingHalfwayThroughTheReplyLeavesTheOutputsAlone) {
    zsim::ReplyPlan cut;
    cut.kind = zsim::ReplyPlan::Kind::Truncated;
    cut.thenUnplug = true;
    cut.forKind = static_cast<uint16_t>(mc::Request::Msg::CALIBRATE);
    firmware_->planNext(cut);
    PZCalibration calibration{};
    calibration.version = 31;
    EXPECT_EQ(PlovarZarnClient_GetCalibration(&calibration), PZStatus_DeviceNotReady);
    EXPECT_EQ(calibration.version, 31);
    ASSERT_TRUE(waitForReadThreadEnd());
    // Later requests find no device and touch nothing either.
    PZDeviceInfo info{};
    info.fwMajor = 8;
    EXPECT_NE(PlovarZarnClient_GetDeviceInfo(&info), PZStatus_Success);
    EXPECT_EQ(info.fwMajor, 8u);
    EXPECT_EQ(pendingCount(), 0u);
}

TEST_F(Requests, OversizedCalibrationTextIsParsedWithinItsBounds) {
    // A key far beyond the format's 63 characters, then ordinary keys.
    firmware_->setCalibrationText("version=7 " + std::string(200000, 'k') + "=1 fc_left=2.5 T=" +
                                  std::string(500, '9'));
    PZCalibration calibration{};
    ASSERT_EQ(PlovarZarnClient_GetCalibration(&calibration), PZStatus_Success);
    EXPECT_EQ(calibration.version, 7);
    EXPECT_EQ(calibration.fc_left, 2.5);
    EXPECT_TRUE(std::isnan(calibration.T));  // its value is refused, so it keeps the default
}

}  // namespace
