#include "app/control_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/tests/sensor_fixture.h"

namespace {

using namespace apptest;
namespace mc = morv::client;
using State = zfu::ControlState;

zfu::VersionNumber version(uint32_t major, uint32_t minor, uint32_t patch) {
    return zfu::VersionNumber{.patch = patch, .minor = minor, .major = major};
}

TEST(ControlStateTest, StartsDisconnectedWithoutVerdictAndOnlyOutOfDateOrCorruptMayUpdate) {
    const State initial;
    EXPECT_EQ(initial.status, State::Unknown);
    EXPECT_EQ(initial.device.deviceState, PZDeviceState_Disconnected);
    EXPECT_EQ(initial.device.firmware, version(0, 0, 0));
    EXPECT_TRUE(initial.device.name.empty() && initial.device.model.empty() && initial.device.serial.empty());
    EXPECT_EQ(initial.progress, 0.0f);
    EXPECT_EQ(initial.updateResult, State::None);

    const std::vector<bool> expected = {false, true, false, true, false, false, false};
    for (int32_t status = 0; status <= 6; ++status) {
        EXPECT_EQ(zfu::canUpdate(status), expected[static_cast<size_t>(status)]) << "status " << status;
    }
    EXPECT_FALSE(zfu::canUpdate(-1));
}

// A front end that records what reaches it through the glue.
struct RecordingFrontEnd {
    void setState(const State& state) { states.push_back(state); }
    std::vector<State> states;
};

TEST(FrontEndGlueTest, ForwardsOnlyWhileTheFrontEndAndTheLoopExist) {
    auto frontEnd = std::make_shared<RecordingFrontEnd>();
    auto forward = zfu::forwardStateToCli(std::weak_ptr<RecordingFrontEnd>(frontEnd));
    State state;
    state.status = State::TooNew;
    forward(state);
    ASSERT_EQ(frontEnd->states.size(), 1u);
    EXPECT_EQ(frontEnd->states[0].status, State::TooNew);
    auto keep = frontEnd;
    frontEnd.reset();
    keep.reset();
    forward(state);  // the front end is gone: nothing happens

    auto request = zfu::requestUpdate(std::weak_ptr<zfu::ControlLoop>());
    EXPECT_FALSE(request());
}

// The control thread of a loop whose driver cannot start ends the program.
TEST(ControlLoopDeathTest, DriverThatCannotStartEndsTheProgramWithExitCode1) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            morv::driver::ScopedThreadContext scope(std::make_shared<morv::driver::Context>());
            // No USB back-end: the driver's USB layer refuses to start.
            vpu_usb_set_backend(nullptr);
            zfu::ControlLoop loop([](const State&) {});
            for (;;) std::this_thread::sleep_for(1s);  // the control thread ends the process
        },
        ::testing::ExitedWithCode(1), "Failed to initialize Plovar Zarn driver: error 1 \\(Error\\)\n");
}

class ControlLoopTest : public SimulatedSensorTest {
protected:
    void startLoop() {
        loop_ = std::make_shared<zfu::ControlLoop>(published_.callback(), messages_.sink());
        ASSERT_TRUE(messages_.waitFor("Waiting for device..."));
    }
    void releaseDriver() override { loop_.reset(); }

    // Plugs the sensor and waits for the loop's verdict on it; its position.
    long plugAndJudge() {
        plug();
        const long verdict = published_.waitFor([](const State& s) { return s.status != State::Unknown; });
        EXPECT_GE(verdict, 0);
        EXPECT_TRUE(messages_.waitFor("Device ready, waiting for input..."));
        return verdict;
    }

    static bool isUpdateStart(const State& s) {
        return s.status == State::Updating && s.updateResult == State::None;
    }

    // Outlive the loop, whose threads call them.
    PublishedStates published_;
    MessageLines messages_;
    std::shared_ptr<zfu::ControlLoop> loop_;
};

TEST_F(ControlLoopTest, BringUpPublishesTheDeviceThenItsIdentityAndTheVerdict) {
    zsim::SimDeviceInfo info = firmware_.deviceInfo();
    info.name = "Zarn Bench";
    info.model = "ZRN-M2";
    info.serial = "ZS-4242";
    info.fwMajor = 0;
    info.fwMinor = 9;
    info.fwRevision = 7;
    firmware_.setDeviceInfo(info);
    startLoop();
    EXPECT_EQ(published_.size(), 0u);  // nothing is published before the driver reports

    const long verdict = plugAndJudge();
    ASSERT_GE(verdict, 1);
    const std::vector<State> states = published_.all();

    const State& judged = states[static_cast<size_t>(verdict)];
    EXPECT_EQ(judged.status, State::OutOfDate);
    EXPECT_EQ(judged.device.deviceState, PZDeviceState_Ready);
    EXPECT_EQ(judged.device.name, "Zarn Bench");
    EXPECT_EQ(judged.device.model, "ZRN-M2");
    EXPECT_EQ(judged.device.serial, "ZS-4242");
    EXPECT_EQ(judged.device.firmware, version(0, 9, 7));
    EXPECT_EQ(judged.updateResult, State::None);
    EXPECT_TRUE(judged.progressText.empty() && judged.errorText.empty());

    // The device is published as ready before its information is read.
    const State& ready = states[static_cast<size_t>(verdict - 1)];
    EXPECT_EQ(ready.device.deviceState, PZDeviceState_Ready);
    EXPECT_EQ(ready.status, State::Unknown);
    EXPECT_TRUE(ready.device.name.empty());
    EXPECT_EQ(ready.device.firmware, version(0, 0, 0));
    // Whatever came before (the driver's booting report) carries no verdict.
    for (long i = 0; i < verdict - 1; ++i) {
        EXPECT_EQ(states[static_cast<size_t>(i)].status, State::Unknown);
        EXPECT_NE(states[static_cast<size_t>(i)].device.deviceState, PZDeviceState_Ready);
    }
    EXPECT_EQ(states.size(), static_cast<size_t>(verdict + 1));

    const std::vector<std::string> lines = messages_.all();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "Waiting for device...");
    EXPECT_EQ(lines[lines.size() - 2], "Retrieving device info...");
    EXPECT_EQ(lines.back(), "Device ready, waiting for input...");
    EXPECT_EQ(messages_.count("Retrieving device info..."), 1u);
}

struct VerdictCase {
    const char* name;
    mc::State wireState;
    uint16_t major, minor, revision;
    int32_t deviceState;
    int32_t status;
};

void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }

class ControlLoopVerdictTest : public ControlLoopTest, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(ControlLoopVerdictTest, JudgesTheDeviceFirmwareAgainstThePackageCarried) {
    const VerdictCase& c = GetParam();
    firmware_.setDeviceState(kPrimary, wireState(c.wireState));
    setFirmware(c.major, c.minor, c.revision);
    startLoop();
    const long verdict = plugAndJudge();
    ASSERT_GE(verdict, 0);
    const State judged = published_.at(verdict);
    EXPECT_EQ(judged.device.deviceState, c.deviceState);
    EXPECT_EQ(judged.status, c.status);
    EXPECT_EQ(judged.device.firmware, version(c.major, c.minor, c.revision));

    if (!zfu::canUpdate(c.status)) {
        // Refused, and nothing changes: no publication, no update request.
        EXPECT_FALSE(loop_->startUpdate());
        loop_.reset();
        EXPECT_EQ(published_.size(), static_cast<size_t>(verdict + 1));
        EXPECT_EQ(requestsOf(mc::Request::Msg::FW_UPDATE), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, ControlLoopVerdictTest,
    ::testing::Values(
        VerdictCase{"ReadyOlder", mc::State::READY, 0, 9, 7, PZDeviceState_Ready, State::OutOfDate},
        VerdictCase{"ReadyOlderMinorAsNumber", mc::State::READY, 0, 10, 0, PZDeviceState_Ready, State::OutOfDate},
        VerdictCase{"ReadySame", mc::State::READY, 1, 0, 0, PZDeviceState_Ready, State::UpToDate},
        VerdictCase{"ReadyNewer", mc::State::READY, 1, 0, 1, PZDeviceState_Ready, State::TooNew},
        VerdictCase{"FwCorruptSame", mc::State::FW_CORRUPT, 1, 0, 0, PZDeviceState_FWCorrupt, State::Corrupt},
        VerdictCase{"FwCorruptOlder", mc::State::FW_CORRUPT, 0, 9, 2, PZDeviceState_FWCorrupt, State::OutOfDate},
        VerdictCase{"FwCorruptNewer", mc::State::FW_CORRUPT, 2, 0, 0, PZDeviceState_FWCorrupt, State::TooNew},
        VerdictCase{"ProductionDataCorruptSame", mc::State::CALIBRATION_CORRUPT, 1, 0, 0,
                    PZDeviceState_ProductionDataCorrupt, State::UpToDate}),
    [](const ::testing::TestParamInfo<VerdictCase>& info) { return std::string(info.param.name); });

TEST_F(ControlLoopTest, DeviceInLowPowerModeIsPublishedWithoutReadingItsInformation) {
    firmware_.setDeviceState(kSecondary, wireState(mc::State::READY));
    startLoop();
    plug();
    const long lowPower =
        published_.waitFor([](const State& s) { return s.device.deviceState == PZDeviceState_LowPowerMode; });
    ASSERT_GE(lowPower, 0);
    ASSERT_TRUE(messages_.waitFor("Waiting for device...", 2));
    EXPECT_EQ(published_.at(lowPower).status, State::Unknown);
    EXPECT_EQ(messages_.count("Retrieving device info..."), 0u);
    EXPECT_EQ(requestsOf(mc::Request::Msg::GET_DEV_INFO), 0u);
    EXPECT_FALSE(loop_->startUpdate());
}

TEST_F(ControlLoopTest, FailedDeviceInformationLeavesTheReadyStateWithoutVerdict) {
    failNext(mc::Request::Msg::GET_DEV_INFO, mc::Error::IO_ERROR);
    startLoop();
    plug();
    ASSERT_TRUE(messages_.waitFor("Failed to retrieve device info: error 1 (Error)"));
    ASSERT_TRUE(messages_.waitFor("Waiting for device...", 2));
    const std::vector<State> states = published_.all();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back().device.deviceState, PZDeviceState_Ready);
    EXPECT_EQ(states.back().status, State::Unknown);
    EXPECT_TRUE(states.back().device.name.empty());
    EXPECT_FALSE(loop_->startUpdate());

    // The loop follows the next state change.
    usb_.unplug();
    const long gone =
        published_.waitFor([](const State& s) { return s.device.deviceState == PZDeviceState_Disconnected; });
    ASSERT_GE(gone, 0);
    EXPECT_EQ(published_.at(gone).status, State::Unknown);
    EXPECT_EQ(messages_.count("Retrieving device info..."), 1u);
}

TEST_F(ControlLoopTest, UpdateReportsProgressSucceedsRebootsAndReadsTheNewVersionBack) {
    setFirmware(0, 9, 7);
    firmware_.setRebootUnplugs(true);
    startLoop();
    const long verdict = plugAndJudge();
    ASSERT_GE(verdict, 0);
    ASSERT_EQ(published_.at(verdict).status, State::OutOfDate);

    ASSERT_TRUE(loop_->startUpdate());
    EXPECT_FALSE(loop_->startUpdate());  // one update at a time

    const long started = published_.waitFor(isUpdateStart, static_cast<size_t>(verdict + 1));
    ASSERT_GE(started, 0);
    const long done = published_.waitFor([](const State& s) { return s.updateResult != State::None; },
                                         static_cast<size_t>(started));
    ASSERT_GE(done, 0);
    const std::vector<State> states = published_.all();
    const State& outcome = states[static_cast<size_t>(done)];
    EXPECT_EQ(outcome.updateResult, State::Succeeded);
    EXPECT_EQ(outcome.status, State::Updating);
    EXPECT_TRUE(outcome.errorText.empty());

    // In between, one publication per progress report: each of the three
    // flash phases (erase, write, verify) goes through its four blocks.
    ASSERT_EQ(done - started - 1, 12);
    for (long i = started + 1; i < done; ++i) {
        const State& s = states[static_cast<size_t>(i)];
        const int block = static_cast<int>((i - started - 1) % 4) + 1;
        EXPECT_EQ(s.status, State::Updating);
        EXPECT_EQ(s.updateResult, State::None);
        EXPECT_FLOAT_EQ(s.progress, static_cast<float>(block) / 4.0f);
        const std::string tail = "block " + std::to_string(block) + " of 4";
        EXPECT_TRUE(s.progressText.size() > tail.size() &&
                    s.progressText.compare(s.progressText.size() - tail.size(), tail.size(), tail) == 0)
            << s.progressText;
    }
    EXPECT_EQ(outcome.progress, 1.0f);
    EXPECT_EQ(outcome.progressText, states[static_cast<size_t>(done - 1)].progressText);

    // The device got the whole archive with the trailer's version, then one warm reboot.
    const auto update = firmware_.lastFwUpdate();
    ASSERT_TRUE(update.has_value());
    EXPECT_EQ(update->bytes, zfu::kEmbeddedFirmwarePackageSize - 4);
    EXPECT_EQ(update->major, 1);
    EXPECT_EQ(update->minor, 0);
    EXPECT_EQ(update->revision, 0);
    EXPECT_TRUE(update->failure.empty()) << update->failure;
    EXPECT_EQ(firmware_.modesSet(), std::vector<uint16_t>{kWarmReboot});
    EXPECT_EQ(requestsOf(mc::Request::Msg::FW_UPDATE), 1u);

    // The reboot takes the device away: the verdict goes, the outcome stays.
    const long gone = published_.waitFor(
        [](const State& s) { return s.device.deviceState == PZDeviceState_Disconnected; }, static_cast<size_t>(done));
    ASSERT_GE(gone, 0);
    EXPECT_EQ(published_.at(gone).status, State::Unknown);
    EXPECT_EQ(published_.at(gone).updateResult, State::Succeeded);

    // It comes back with the firmware it was given.
    plug();
    const long back = published_.waitFor([](const State& s) { return s.status != State::Unknown; },
                                         static_cast<size_t>(gone));
    ASSERT_GE(back, 0);
    const State again = published_.at(back);
    EXPECT_EQ(again.status, State::UpToDate);
    EXPECT_EQ(again.device.firmware, version(1, 0, 0));
    EXPECT_EQ(again.updateResult, State::Succeeded);
    EXPECT_FALSE(loop_->startUpdate());
}

TEST_F(ControlLoopTest, UpdateThatFailsOnceIsTriedOnceMoreAndSucceeds) {
    setFirmware(0, 9, 6);
    failNext(mc::Request::Msg::FW_UPDATE, mc::Error::IO_ERROR);
    startLoop();
    ASSERT_GE(plugAndJudge(), 0);
    ASSERT_TRUE(loop_->startUpdate());
    const long done = published_.waitFor([](const State& s) { return s.updateResult != State::None; });
    ASSERT_GE(done, 0);
    EXPECT_EQ(published_.at(done).updateResult, State::Succeeded);
    EXPECT_TRUE(published_.at(done).errorText.empty());
    EXPECT_EQ(requestsOf(mc::Request::Msg::FW_UPDATE), 2u);
    // One reboot, after the attempt that worked. The driver's clock
    // synchronisation runs on a timer of its own and may come at any point,
    // after the reboot too on a slow run.
    const std::vector<uint16_t> kinds = firmware_.requestKinds();
    const auto reboot = std::find(kinds.begin(), kinds.end(), requestKind(mc::Request::Msg::SET_MODE));
    const auto lastUpdate = std::find(kinds.rbegin(), kinds.rend(), requestKind(mc::Request::Msg::FW_UPDATE));
    ASSERT_NE(reboot, kinds.end());
    ASSERT_NE(lastUpdate, kinds.rend());
    EXPECT_GT(reboot, lastUpdate.base() - 1);
    EXPECT_EQ(firmware_.modesSet(), std::vector<uint16_t>{kWarmReboot});
}

TEST_F(ControlLoopTest, UpdateThatFailsTwiceEndsFailedWithTheSecondAttemptsStatus) {
    setFirmware(0, 9, 7);
    failNext(mc::Request::Msg::FW_UPDATE, mc::Error::IO_ERROR);
    failNext(mc::Request::Msg::FW_UPDATE, mc::Error::POWER_INSUFFICIENT);
    startLoop();
    ASSERT_GE(plugAndJudge(), 0);
    ASSERT_TRUE(loop_->startUpdate());
    const long done = published_.waitFor([](const State& s) { return s.updateResult != State::None; });
    ASSERT_GE(done, 0);
    const State failed = published_.at(done);
    EXPECT_EQ(failed.updateResult, State::Failed);
    EXPECT_EQ(failed.status, State::Updating);
    EXPECT_EQ(failed.errorText, "Firmware update failed: error 8 (PZStatus_PowerInsufficient)");
    EXPECT_EQ(requestsOf(mc::Request::Msg::FW_UPDATE), 2u);
    EXPECT_TRUE(firmware_.modesSet().empty());  // a failed update is not rebooted into
    EXPECT_FALSE(loop_->startUpdate());

    // A later device change clears the verdict but keeps the outcome to show.
    usb_.unplug();
    const long gone = published_.waitFor(
        [](const State& s) { return s.device.deviceState == PZDeviceState_Disconnected; }, static_cast<size_t>(done));
    ASSERT_GE(gone, 0);
    EXPECT_EQ(published_.at(gone).status, State::Unknown);
    EXPECT_EQ(published_.at(gone).updateResult, State::Failed);
    EXPECT_EQ(published_.at(gone).errorText, failed.errorText);
}

TEST_F(ControlLoopTest, DevicePulledDuringTheUpdateEndsFailedAndTheLoopFollowsTheRemoval) {
    setFirmware(0, 9, 7);
    zsim::ReplyPlan pull;
    pull.kind = zsim::ReplyPlan::Kind::Unplug;
    pull.unplugAfterReports = 2;
    pull.forKind = requestKind(mc::Request::Msg::FW_UPDATE);
    firmware_.planNext(pull);
    startLoop();
    ASSERT_GE(plugAndJudge(), 0);
    ASSERT_TRUE(loop_->startUpdate());

    const long done = published_.waitFor([](const State& s) { return s.updateResult != State::None; });
    ASSERT_GE(done, 0);
    const State failed = published_.at(done);
    EXPECT_EQ(failed.updateResult, State::Failed);
    EXPECT_EQ(failed.errorText.rfind("Firmware update failed: error ", 0), 0u) << failed.errorText;
    EXPECT_EQ(failed.errorText.find("PZStatus_Success"), std::string::npos);
    EXPECT_TRUE(firmware_.modesSet().empty());

    const long gone = published_.waitFor(
        [](const State& s) { return s.device.deviceState == PZDeviceState_Disconnected; }, static_cast<size_t>(done));
    ASSERT_GE(gone, 0);
    EXPECT_EQ(published_.at(gone).status, State::Unknown);
    EXPECT_EQ(published_.at(gone).updateResult, State::Failed);
    ASSERT_TRUE(messages_.waitFor("Waiting for device...", 2));
}

TEST_F(ControlLoopTest, RebootThatFailsIsReportedAndTheUpdateStillCounts) {
    setFirmware(0, 9, 7);
    failNext(mc::Request::Msg::SET_MODE, mc::Error::IO_ERROR);
    startLoop();
    ASSERT_GE(plugAndJudge(), 0);
    ASSERT_TRUE(loop_->startUpdate());
    const long done = published_.waitFor([](const State& s) { return s.updateResult != State::None; });
    ASSERT_GE(done, 0);
    EXPECT_EQ(published_.at(done).updateResult, State::Succeeded);
    EXPECT_EQ(messages_.count("Error while rebooting device: 1 (PZStatus_Error)"), 1u);
}

TEST_F(ControlLoopTest, ReleaseWhileWaitingForADeviceShutsTheDriverDownAndEndsTheThread) {
    startLoop();
    const int deinitsBefore = usb_.deinitCount();
    loop_.reset();  // returns once the control thread has ended
    EXPECT_EQ(messages_.all(), std::vector<std::string>{"Waiting for device..."});
    EXPECT_EQ(published_.size(), 0u);
    EXPECT_GT(usb_.deinitCount(), deinitsBefore);
}

TEST_F(ControlLoopTest, ReleaseWhileTheDeviceIsReadyWaitsForDeviceOnceMoreThenShutsDown) {
    startLoop();
    const long verdict = plugAndJudge();
    ASSERT_GE(verdict, 0);
    const int deinitsBefore = usb_.deinitCount();
    loop_.reset();
    const std::vector<std::string> lines = messages_.all();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Device ready, waiting for input...");
    EXPECT_EQ(lines.back(), "Waiting for device...");
    EXPECT_GT(usb_.deinitCount(), deinitsBefore);
    // The shutdown reports no final state.
    EXPECT_EQ(published_.size(), static_cast<size_t>(verdict + 1));
}

TEST_F(ControlLoopTest, ReleaseDuringAnUpdateLetsTheFlashFinishBeforeTheDriverGoes) {
    setFirmware(0, 9, 7);
    firmware_.setFlashTiming(1 << 20, 15ms);  // a few blocks of 15 ms each
    firmware_.setFlashBlockCount(0);
    startLoop();
    ASSERT_GE(plugAndJudge(), 0);
    ASSERT_TRUE(loop_->startUpdate());
    // Released while the device reports progress.
    ASSERT_GE(published_.waitFor([](const State& s) { return s.status == State::Updating && s.progress > 0.0f; }),
              0);
    loop_.reset();

    const auto update = firmware_.lastFwUpdate();
    ASSERT_TRUE(update.has_value());
    EXPECT_EQ(update->result, wireError(mc::Error::SUCCESS)) << "the update was cut short";
    EXPECT_TRUE(update->failure.empty()) << update->failure;
    const std::vector<State> states = published_.all();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back().updateResult, State::Succeeded);
    EXPECT_EQ(messages_.all().back(), "Waiting for device...");
}

}  // namespace
