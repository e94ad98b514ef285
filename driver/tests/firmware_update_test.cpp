// Firmware update with its progress reports, and clock synchronisation, end
// to end against the simulated firmware.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <thread>

#include "client_test_support.h"
#include "sim/sim_package.h"

namespace ztest {
namespace {

using morv::client::Error;

struct ProgressStep {
    std::string text;
    float percent;
};

struct ProgressLog {
    std::mutex mutex;
    std::vector<ProgressStep> steps;
    static void record(const char* text, float percent, void* user) {
        auto* self = static_cast<ProgressLog*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->steps.push_back({text, percent});
    }
    std::vector<ProgressStep> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return steps;
    }
};

PZStatus update(const std::vector<uint8_t>& package, ProgressLog* progress, uint32_t build = 1,
                const uint8_t* bytes = nullptr) {
    return PlovarZarnClient_UpdateFW(bytes != nullptr ? bytes : package.data(), package.size(), &ProgressLog::record,
                                     progress, true, false, 1, 2, 3, build);
}

uint64_t wallClockNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

// ------------------------------------------------------------ firmware update

using FirmwareUpdate = ClientFixture;

TEST_F(FirmwareUpdate, MultiMegabytePackageIsInstalledWithProgress) {
    waitForStateReport();
    const std::vector<uint8_t> package = zsim::buildTestFirmwareArchive(3 * 1024 * 1024);
    firmware_->setFlashTiming(256 * 1024, std::chrono::microseconds(0));
    ProgressLog progress;
    const uint64_t before = wallClockNs();
    ASSERT_EQ(update(package, &progress), PZStatus_Success);
    const uint64_t after = wallClockNs();

    const auto record = firmware_->lastFwUpdate();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->bytes, package.size());
    EXPECT_EQ(record->failure, "");
    EXPECT_GT(record->crcChecked, 0u);
    EXPECT_EQ(record->result, static_cast<uint16_t>(Error::SUCCESS));
    EXPECT_TRUE(record->moreToFollow);
    EXPECT_FALSE(record->allowDowngrade);
    EXPECT_EQ(record->partition, 2u);  // toggle
    EXPECT_EQ(record->major, 1u);
    EXPECT_EQ(record->minor, 2u);
    EXPECT_EQ(record->revision, 3u);
    EXPECT_EQ(record->buildType, 2u);  // beta
    // Wall-clock nanoseconds at microsecond resolution.
    EXPECT_GE(record->timestamp + 1000, before);
    EXPECT_LE(record->timestamp, after);
    EXPECT_EQ(record->timestamp % 1000, 0u);
    // The device shows the new version.
    EXPECT_EQ(firmware_->deviceInfo().fwMinor, 2u);

    // Every block erased, then every block written, then every block verified.
    const uint32_t blocks = static_cast<uint32_t>((package.size() + 256 * 1024 - 1) / (256 * 1024));
    const std::vector<ProgressStep> steps = progress.snapshot();
    ASSERT_EQ(steps.size(), 3u * blocks);
    const char* actions[] = {"Erasing ", "Writing ", "Verifying "};
    for (size_t i = 0; i < steps.size(); ++i) {
        const size_t action = i / blocks;
        const uint32_t block = static_cast<uint32_t>(i % blocks) + 1;
        EXPECT_EQ(steps[i].text, std::string(actions[action]) + "block " + std::to_string(block) + " of " +
                                     std::to_string(blocks))
            << i;
        EXPECT_FLOAT_EQ(steps[i].percent, static_cast<float>(block) / static_cast<float>(blocks) * 100.0f) << i;
    }
    EXPECT_EQ(log_.count("Sending FW update"), 1u);
    EXPECT_EQ(log_.count("Finished FW update"), 1u);
    EXPECT_EQ(log_.levelOf("Finished FW update"), LOG_INFO_E);
    // The closing report has no text: logged, not handed to the callback.
    const std::string total = std::to_string(blocks);
    EXPECT_EQ(log_.count("FW Update Status: " + total + " / " + total), 1u);
    EXPECT_EQ(log_.count("Writing block 5 of " + total + " 5 / " + total), 1u);
}

TEST_F(FirmwareUpdate, PackageReachesTheDeviceIntactWhetherOrNotItIsCopied) {
    waitForStateReport();
    const std::vector<uint8_t> package = zsim::buildTestFirmwareArchive(200 * 1024);
    ASSERT_EQ(package.size() % 8, 0u);
    ProgressLog progress;
    // Word-aligned whole words: referred to, not copied.
    ASSERT_EQ(update(package, &progress), PZStatus_Success);
    EXPECT_EQ(PZClient_get()->lastUpdateCopiedBytes.load(), 0u);
    const uint32_t checked = firmware_->lastFwUpdate()->crcChecked;
    EXPECT_GT(checked, 0u);

    // At an odd address: copied, and still intact.
    std::vector<uint8_t> shifted(package.size() + 1);
    std::memcpy(shifted.data() + 1, package.data(), package.size());
    ASSERT_EQ(update(package, &progress, 1, shifted.data() + 1), PZStatus_Success);
    EXPECT_EQ(PZClient_get()->lastUpdateCopiedBytes.load(), package.size());
    EXPECT_EQ(firmware_->lastFwUpdate()->crcChecked, checked);
    EXPECT_EQ(firmware_->lastFwUpdate()->bytes, package.size());

    // Aligned but not whole words: copied, so nothing past its end is sent.
    std::vector<uint8_t> ragged = package;
    ragged.resize(package.size() + 5, 0);
    ASSERT_EQ(update(ragged, &progress), PZStatus_Success);
    EXPECT_EQ(PZClient_get()->lastUpdateCopiedBytes.load(), ragged.size());
    EXPECT_EQ(firmware_->lastFwUpdate()->bytes, ragged.size());
}

TEST_F(FirmwareUpdate, DamagedPackageIsAFailedUpdate) {
    waitForStateReport();
    std::vector<uint8_t> package = zsim::buildTestFirmwareArchive(256 * 1024);
    const size_t image = zsim::tarMemberDataOffset(package, "fw-update/zImage");
    ASSERT_NE(image, 0u);
    package[image + 100] ^= 0x5A;
    ProgressLog progress;
    EXPECT_EQ(update(package, &progress), PZStatus_Error);
    const auto record = firmware_->lastFwUpdate();
    ASSERT_TRUE(record.has_value());
    EXPECT_NE(record->failure.find("checksum mismatch"), std::string::npos) << record->failure;
    EXPECT_TRUE(progress.snapshot().empty());
    EXPECT_EQ(log_.count("Received error response: [fwUpdate, validationFailed]"), 1u);
    EXPECT_EQ(firmware_->deviceInfo().fwMinor, 9u);  // unchanged
    EXPECT_EQ(log_.count("Finished FW update"), 1u);
}

TEST_F(FirmwareUpdate, TruncatedArchiveIsAFailedUpdate) {
    waitForStateReport();
    std::vector<uint8_t> package = zsim::buildTestFirmwareArchive(64 * 1024);
    package.resize(700);
    ProgressLog progress;
    EXPECT_EQ(update(package, &progress), PZStatus_Error);
    EXPECT_FALSE(firmware_->lastFwUpdate()->failure.empty());
}

TEST_F(FirmwareUpdate, BuildNumberSelectsTheWireBuildType) {
    waitForStateReport();
    const std::vector<uint8_t> package = zsim::buildTestFirmwareArchive(16 * 1024);
    ProgressLog progress;
    const std::pair<uint32_t, uint16_t> cases[] = {{0, 1}, {1, 2}, {2, 3}, {77, 3}};
    for (auto [build, wire] : cases) {
        ASSERT_EQ(update(package, &progress, build), PZStatus_Success);
        EXPECT_EQ(firmware_->lastFwUpdate()->buildType, wire) << "build " << build;
    }
}

TEST_F(FirmwareUpdate, DeviceVanishingDuringTheUpdateEndsItCleanly) {
    waitForStateReport();
    zsim::ReplyPlan plan;
    plan.kind = zsim::ReplyPlan::Kind::Unplug;
    plan.unplugAfterReports = 5;
    firmware_->planNext(plan);
    const std::vector<uint8_t> package = zsim::buildTestFirmwareArchive(512 * 1024);
    firmware_->setFlashTiming(64 * 1024, std::chrono::microseconds(0));
    ProgressLog progress;
    EXPECT_EQ(update(package, &progress), PZStatus_DeviceNotReady);
    ASSERT_TRUE(waitForReadThreadEnd());
    EXPECT_LE(progress.snapshot().size(), 5u);
}

using ProgressReports = ScriptedClientFixture;

Bytes progressFrame(uint32_t id, uint16_t action, uint32_t block, uint32_t total, const char* msg) {
    return frameResponse([&](Response::Builder response) {
        response.setId(id);
        response.setError(Error::SUCCESS);
        auto status = response.getMsg().initFlashUpdateStatus();
        status.setAction(static_cast<morv::client::FlashUpdateStatus::Action>(action));
        status.setBlock(block);
        status.setTotalBlocks(total);
        if (msg != nullptr) status.setMsg(msg);
    });
}

TEST_F(ProgressReports, TextsArePercentagesAreAndLimitsHold) {
    const std::string longText(100, 'x');
    peer_->setResponder([&longText](Request::Reader request, ScriptedPeer& peer) {
        ASSERT_EQ(request.getMsg().which(), Request::Msg::FW_UPDATE);
        peer.send(progressFrame(0, 0, 1, 4, "step"));
        peer.send(progressFrame(0, 1, 3, 4, longText.c_str()));
        peer.send(progressFrame(0, 2, 5, 0, "none"));
        peer.send(progressFrame(0, 9, 2, 4, "odd"));
        peer.send(progressFrame(0, 1, 3, 4, nullptr));
        peer.send(frameResponse([&](Response::Builder response) {
            response.setId(request.getId() + 1u);
            response.setError(Error::SUCCESS);
        }));
    });
    const std::vector<uint8_t> bytes(64, 0xAB);
    ProgressLog progress;
    ASSERT_EQ(PlovarZarnClient_UpdateFW(bytes.data(), bytes.size(), &ProgressLog::record, &progress, true, false, 0,
                                        0, 1, 0),
              PZStatus_Success);
    const std::vector<ProgressStep> steps = progress.snapshot();
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].text, "Erasing step");
    EXPECT_FLOAT_EQ(steps[0].percent, 25.0f);
    // Cut to the 64-byte buffer: 63 characters and the terminator.
    EXPECT_EQ(steps[1].text, "Writing " + longText.substr(0, 63 - 8));
    EXPECT_EQ(steps[1].text.size(), 63u);
    EXPECT_FLOAT_EQ(steps[1].percent, 75.0f);
    // No blocks in total: no finite percentage, but the step is still reported.
    EXPECT_EQ(steps[2].text, "Verifying none");
    EXPECT_FALSE(std::isfinite(steps[2].percent));
    // An action without a name.
    EXPECT_EQ(steps[3].text, " odd");
    // A report without text is only logged.
    EXPECT_EQ(log_.count("FW Update Status: 3 / 4"), 1u);
    EXPECT_EQ(log_.levelOf("FW Update Status: 3 / 4"), LOG_INFO_E);
    EXPECT_EQ(log_.levelOf("Erasing step 1 / 4"), LOG_DEBUG_E);
}

TEST_F(ProgressReports, ProgressTargetStaysAfterTheUpdate) {
    peer_->setResponder([](Request::Reader request, ScriptedPeer& peer) {
        peer.send(frameResponse([&](Response::Builder response) {
            response.setId(request.getId() + 1u);
            response.setError(Error::SUCCESS);
        }));
    });
    const std::vector<uint8_t> bytes(8, 1);
    ProgressLog progress;
    ASSERT_EQ(PlovarZarnClient_UpdateFW(bytes.data(), bytes.size(), &ProgressLog::record, &progress, true, false, 0,
                                        0, 1, 0),
              PZStatus_Success);
    peer_->send(progressFrame(0, 1, 1, 2, "late"));
    peer_->send(notificationFrame(0, 3, true));
    ASSERT_TRUE(EventLog::waitForCount(1));
    const std::vector<ProgressStep> steps = progress.snapshot();
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].text, "Writing late");
}

// -------------------------------------------------------- clock synchronisation

TEST(ClockSyncMath, MedianIsTheSampleWithTheSixthSmallestHalf) {
    std::vector<PZClockSyncSample> samples;
    for (int64_t i = 0; i < 11; ++i) samples.push_back({1000 + i * 37, -i * 1000});
    std::mt19937 shuffle(42);
    for (int round = 0; round < 20; ++round) {
        std::shuffle(samples.begin(), samples.end(), shuffle);
        EXPECT_EQ(PZClient_medianOffset(samples), std::optional<int64_t>(-5000));
    }
    // Rounds that gave no sample are left out: the median of what there is.
    std::vector<PZClockSyncSample> fewer = {{30, 3}, {10, 1}, {20, 2}, {50, 5}, {40, 4}};
    EXPECT_EQ(PZClient_medianOffset(fewer), std::optional<int64_t>(3));
    // Negative halves sort as signed values.
    std::vector<PZClockSyncSample> signedHalves = {{-5, 1}, {5, 3}, {0, 2}};
    EXPECT_EQ(PZClient_medianOffset(signedHalves), std::optional<int64_t>(2));
    std::vector<PZClockSyncSample> none;
    EXPECT_EQ(PZClient_medianOffset(none), std::nullopt);
}

TEST(ClockSyncMath, OffsetSplitsWithTheSignOfTheOffset) {
    const struct {
        int64_t offset, sec, nano;
    } cases[] = {{-1500000000, -1, -500000000}, {1500000000, 1, 500000000}, {-500000000, 0, -500000000},
                 {2000000000, 2, 0},             {0, 0, 0},                    {-1, 0, -1}};
    for (const auto& c : cases) {
        int64_t sec = 7;
        int64_t nano = 7;
        PZClient_splitOffset(c.offset, &sec, &nano);
        EXPECT_EQ(sec, c.sec) << c.offset;
        EXPECT_EQ(nano, c.nano) << c.offset;
    }
}

using ClockSync = ClientFixture;

constexpr uint16_t kClkSync = static_cast<uint16_t>(Request::Msg::CLK_SYNC);

TEST_F(ClockSync, SendsTheMedianOffsetWithTheSignRules) {
    waitForStateReport();
    // The device runs 1.5 s ahead of the host: host minus device is -1.5 s.
    firmware_->setClockOffsetNs(1500000000);
    ASSERT_EQ(PlovarZarnClient_SyncSystemTime(true), PZStatus_Success);
    const std::vector<uint16_t> kinds = firmware_->requestKinds();
    EXPECT_EQ(kinds, std::vector<uint16_t>(12, kClkSync));
    const auto sets = firmware_->clockSets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].sec, -1);
    EXPECT_NEAR(static_cast<double>(sets[0].nano), -500000000.0, 20e6);
    EXPECT_TRUE(sets[0].forceJump);
    EXPECT_FALSE(sets[0].dbg);

    // Behind the host: both parts positive.
    firmware_->setClockOffsetNs(-2250000000);
    ASSERT_EQ(PlovarZarnClient_SyncSystemTime(false), PZStatus_Success);
    const auto later = firmware_->clockSets();
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(later[1].sec, 2);
    EXPECT_NEAR(static_cast<double>(later[1].nano), 250000000.0, 20e6);
    EXPECT_FALSE(later[1].forceJump);
}

TEST_F(ClockSync, RoundsWithoutAClockAreLeftOut) {
    waitForStateReport();
    firmware_->setClockOffsetNs(1500000000);
    zsim::ReplyPlan normal;
    zsim::ReplyPlan wrong;
    wrong.kind = zsim::ReplyPlan::Kind::WrongMember;
    for (int round = 0; round < 11; ++round) firmware_->planNext(round % 3 == 0 ? wrong : normal);
    ASSERT_EQ(PlovarZarnClient_SyncSystemTime(false), PZStatus_Success);
    const auto sets = firmware_->clockSets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].sec, -1);
    EXPECT_NEAR(static_cast<double>(sets[0].nano), -500000000.0, 20e6);
    EXPECT_EQ(log_.count("answered without a clock"), 4u);
}

TEST_F(ClockSync, NoClockInAnyRoundGivesUpWithoutSettingTheClock) {
    waitForStateReport();
    zsim::ReplyPlan wrong;
    wrong.kind = zsim::ReplyPlan::Kind::WrongMember;
    firmware_->setDefaultPlan(wrong);
    EXPECT_EQ(PlovarZarnClient_SyncSystemTime(false), PZStatus_Error);
    EXPECT_TRUE(firmware_->clockSets().empty());
    EXPECT_EQ(firmware_->requestKinds().size(), 11u);
    EXPECT_EQ(log_.levelOf("Error syncing time: 1"), LOG_ERROR_E);
}

TEST_F(ClockSync, FailedRoundEndsTheSynchronisation) {
    waitForStateReport();
    zsim::ReplyPlan normal;
    zsim::ReplyPlan notReady;
    notReady.kind = zsim::ReplyPlan::Kind::Error;
    notReady.error = static_cast<uint16_t>(Error::NOT_READY);
    for (int round = 0; round < 3; ++round) firmware_->planNext(normal);
    firmware_->planNext(notReady);
    EXPECT_EQ(PlovarZarnClient_SyncSystemTime(false), PZStatus_DeviceNotReady);
    EXPECT_EQ(firmware_->requestKinds().size(), 4u);
    EXPECT_TRUE(firmware_->clockSets().empty());
    EXPECT_EQ(log_.levelOf("Error syncing time: 5"), LOG_ERROR_E);
}

TEST_F(ClockSync, FailedClockSetIsLoggedAtInfo) {
    waitForStateReport();
    zsim::ReplyPlan normal;
    zsim::ReplyPlan invalid;
    invalid.kind = zsim::ReplyPlan::Kind::Error;
    invalid.error = static_cast<uint16_t>(Error::INVALID_PARAMS);
    for (int round = 0; round < 11; ++round) firmware_->planNext(normal);
    firmware_->planNext(invalid);
    EXPECT_EQ(PlovarZarnClient_SyncSystemTime(false), PZStatus_InvalidParameter);
    EXPECT_EQ(log_.levelOf("Error syncing time: 3"), LOG_INFO_E);
}

// The read thread's timer synchronises 15 s after the start: this test waits that long.
TEST_F(ClockSync, TimerSynchronisesFifteenSecondsAfterStart_Waits15s) {
    waitForStateReport();
    ASSERT_TRUE(firmware_->waitForRequests(12, std::chrono::seconds(20)));
    EXPECT_GE(std::chrono::steady_clock::now() - startedAt_, std::chrono::seconds(15));
    EXPECT_EQ(firmware_->requestKinds(), std::vector<uint16_t>(12, kClkSync));
    const auto sets = firmware_->clockSets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_FALSE(sets[0].forceJump);
}

}  // namespace
}  // namespace ztest

namespace ztest {
namespace {

using ClockSyncInFlight = ScriptedClientFixture;

// The timer does not wait for a callback that is already running; the read
// thread does. A synchronisation still waiting for its reply when the device
// goes away has ended before the read thread reports its own end.
TEST_F(ClockSyncInFlight, ReadThreadEndsOnlyAfterATimerSynchronisationInFlight) {
    // The device never answers: the synchronisation waits for its first reply
    // and, once the device is gone, logs its failure before it leaves. That
    // line must come before the read thread's last one.
    std::thread timer([&] {
        morv::driver::ScopedThreadContext scope(context_);
        clockSyncTimerCallback(nullptr);
    });
    const bool asked = peer_->waitForRequests(1);
    usb_->unplug();
    const bool ended = waitForReadThreadEnd();
    const long failedAt = log_.indexOf("Error syncing time");
    const long exitedAt = log_.indexOf("Client Read Thread exiting");
    timer.join();
    EXPECT_TRUE(asked);
    EXPECT_TRUE(ended);
    EXPECT_GE(failedAt, 0) << "the synchronisation had not ended when the read thread did";
    EXPECT_LT(failedAt, exitedAt);
}

}  // namespace
}  // namespace ztest
