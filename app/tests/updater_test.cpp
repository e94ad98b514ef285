#include "app/updater.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/firmware_package.h"
#include "app/tests/sensor_fixture.h"

namespace {

using namespace apptest;
namespace mc = morv::client;
using zfu::Updater;

TEST(UpdaterNamesTest, StatusEnumeratorNamesInValueOrderAndUnknownOutside) {
    const std::vector<std::string> names = {
        "PZStatus_Success",          "PZStatus_Error",          "PZStatus_Timeout",
        "PZStatus_InvalidParameter", "PZStatus_ChecksumInvalid", "PZStatus_DeviceNotReady",
        "PZStatus_InvalidConfiguration", "PZStatus_NotSupported", "PZStatus_PowerInsufficient",
        "PZStatus_DoesNotExist"};
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(zfu::PZStatus_name(static_cast<int32_t>(i)), names[i]);
    EXPECT_STREQ(zfu::PZStatus_name(10), "PZStatus_Unknown");
    EXPECT_STREQ(zfu::PZStatus_name(-1), "PZStatus_Unknown");
}

TEST(UpdaterTest, StartsIdleAndAnEmptyImageFailsWithItsOwnText) {
    int changes = 0;
    Updater worker({}, [&] { ++changes; });
    EXPECT_EQ(worker.state(), Updater::Idle);
    EXPECT_EQ(worker.progress(), 0.0f);
    EXPECT_TRUE(worker.statusText().empty() && worker.errorText().empty());
    worker.run();
    EXPECT_EQ(worker.state(), Updater::Failed);
    EXPECT_EQ(worker.errorText(), "Firmware update failed: empty file given");
    EXPECT_EQ(changes, 0);
}

TEST(UpdaterTest, ProgressIsAClampedFractionPassedOnOutsideTheWorkersLock) {
    Updater* self = nullptr;
    std::vector<std::pair<float, std::string>> seen;
    // onChange reads the worker back: a worker that kept its lock across
    // onChange would deadlock here.
    Updater worker({1, 2, 3}, [&] { seen.emplace_back(self->progress(), self->statusText()); });
    self = &worker;

    const struct {
        float percent;
        float fraction;
    } cases[] = {{42.0f, 0.42f}, {150.0f, 1.0f}, {-5.0f, 0.0f}, {100.0f, 1.0f}, {0.0f, 0.0f},
                 {std::numeric_limits<float>::quiet_NaN(), 1.0f}, {99.5f, 0.995f}};
    int step = 0;
    for (const auto& c : cases) {
        const std::string text = "step " + std::to_string(step++);
        Updater::onProgress(text.c_str(), c.percent, &worker);
        ASSERT_FALSE(seen.empty());
        EXPECT_FLOAT_EQ(seen.back().first, c.fraction) << "percent " << c.percent;
        EXPECT_EQ(seen.back().second, text);
    }
    EXPECT_EQ(seen.size(), std::size(cases));
    Updater::onProgress(nullptr, 10.0f, &worker);  // a report without text
    EXPECT_EQ(worker.statusText(), "");
    EXPECT_EQ(worker.state(), Updater::Idle);  // progress alone starts nothing
}

TEST(UpdaterTest, WithoutADeviceBothAttemptsAreRefusedAndTheWorkerRunsOnlyOnce) {
    // A driver context of its own that was never initialised: nothing is ready.
    morv::driver::ScopedThreadContext scope(std::make_shared<morv::driver::Context>());
    std::vector<std::string> messages;
    Updater worker(std::vector<uint8_t>(16, 0xAB), [] {}, [&](const std::string& line) { messages.push_back(line); });
    worker.run();
    EXPECT_EQ(worker.state(), Updater::Failed);
    EXPECT_EQ(worker.errorText(), "Firmware update failed: error 5 (PZStatus_DeviceNotReady)");
    EXPECT_TRUE(messages.empty());
}

// The worker against the simulated sensor, with the driver started directly.
class UpdaterOnSensorTest : public SimulatedSensorTest {
protected:
    void SetUp() override {
        SimulatedSensorTest::SetUp();
        ASSERT_EQ(PlovarZarn_Init(&UpdaterOnSensorTest::onState, this, nullptr), PZStatus_Success);
        initialised_ = true;
        plug();
        std::unique_lock<std::mutex> lock(mutex_);
        ASSERT_TRUE(changed_.wait_for(lock, kBound, [&] { return state_ == PZDeviceState_Ready; }));
    }
    void releaseDriver() override {
        if (initialised_) PlovarZarn_Deinit();
    }

    static void onState(int state, void* user) {
        auto* self = static_cast<UpdaterOnSensorTest*>(user);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->state_ = state;
        self->changed_.notify_all();
    }

    std::vector<uint8_t> package() const {
        return std::vector<uint8_t>(zfu::embeddedFirmwarePackage.begin(), zfu::embeddedFirmwarePackage.end());
    }

    bool initialised_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    int state_ = PZDeviceState_Unknown;
};

TEST_F(UpdaterOnSensorTest, GoodPackageReportsProgressFromTheDriversThreadThenReboots) {
    std::mutex seenMutex;
    std::vector<std::thread::id> threads;
    std::vector<uint8_t> image = package();
    Updater worker(std::move(image), [&] {
        std::lock_guard<std::mutex> lock(seenMutex);
        threads.push_back(std::this_thread::get_id());
    });
    worker.run();
    EXPECT_EQ(worker.state(), Updater::Succeeded);
    EXPECT_TRUE(worker.errorText().empty());
    EXPECT_EQ(worker.progress(), 1.0f);
    EXPECT_NE(worker.statusText().find("block 4 of 4"), std::string::npos) << worker.statusText();
    {
        std::lock_guard<std::mutex> lock(seenMutex);
        ASSERT_EQ(threads.size(), 12u);
        for (const auto& id : threads) EXPECT_NE(id, std::this_thread::get_id());
    }
    // The update went without the driver's own reboot; the worker's came after it.
    const std::vector<uint16_t> kinds = firmware_.requestKinds();
    ASSERT_GE(kinds.size(), 2u);
    EXPECT_EQ(kinds[kinds.size() - 2], requestKind(mc::Request::Msg::FW_UPDATE));
    EXPECT_EQ(kinds.back(), requestKind(mc::Request::Msg::SET_MODE));
    EXPECT_EQ(firmware_.modesSet(), std::vector<uint16_t>{kWarmReboot});
    EXPECT_EQ(firmware_.deviceInfo().fwMajor, 1);

    // Done is done: a second run sends nothing.
    const size_t requests = kinds.size();
    worker.run();
    EXPECT_EQ(firmware_.requestKinds().size(), requests);
    EXPECT_EQ(worker.state(), Updater::Succeeded);
}

TEST_F(UpdaterOnSensorTest, DamagedPackageIsRejectedByTheDeviceTwiceAndNeverRebooted) {
    std::vector<uint8_t> image = package();
    // A byte inside the first member's data: its CRC text no longer matches.
    image[512 + 100] ^= 0xFF;
    Updater worker(std::move(image), [] {});
    worker.run();
    EXPECT_EQ(worker.state(), Updater::Failed);
    EXPECT_EQ(worker.errorText(), "Firmware update failed: error 1 (PZStatus_Error)");
    EXPECT_EQ(requestsOf(mc::Request::Msg::FW_UPDATE), 2u);
    EXPECT_EQ(requestsOf(mc::Request::Msg::SET_MODE), 0u);
    const auto update = firmware_.lastFwUpdate();
    ASSERT_TRUE(update.has_value());
    EXPECT_FALSE(update->failure.empty());
    EXPECT_EQ(firmware_.deviceInfo().fwMajor, 0);  // the device kept its firmware
}

TEST_F(UpdaterOnSensorTest, PackageTooShortForItsTrailerIsRefusedBeforeAnythingIsSent) {
    Updater worker({0x00, 0x00, 0x01}, [] {});
    worker.run();
    EXPECT_EQ(worker.state(), Updater::Failed);
    EXPECT_EQ(worker.errorText(), "Firmware update failed: error 3 (PZStatus_InvalidParameter)");
    EXPECT_EQ(requestsOf(mc::Request::Msg::FW_UPDATE), 0u);
    EXPECT_EQ(requestsOf(mc::Request::Msg::SET_MODE), 0u);
}

}  // namespace
