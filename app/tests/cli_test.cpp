// The console front end's loop, driven by states a test publishes the way the
// control loop does, with its output caught line by line; and the console
// path's handling of arguments it does not know.
#include "app/cli.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ZarnFirmwareUpdater::Cli;
using ZarnFirmwareUpdater::ControlState;
using ZarnFirmwareUpdater::VersionNumber;

constexpr auto kBound = 5s;  // only keeps a broken build from hanging

const std::string kSupportText =
    "Please quit Zarn Firmware Updater, disconnect and reconnect your sensor, and relaunch Zarn Firmware Updater. "
    "If the error persists, contact support@example.com.";
const std::string kSuccessText =
    "The upgrade has been successful. Please replug your sensor and turn off the updater before running other "
    "application";

std::string bar(const std::string& percent, int filled) {
    return "\r" + percent + "% [" + std::string(static_cast<size_t>(filled), '|') +
           std::string(static_cast<size_t>(60 - filled), ' ') + "]";
}

ControlState deviceState(int32_t deviceState, int32_t status, VersionNumber firmware = {7, 9, 0}) {
    ControlState state;
    state.status = status;
    state.device.deviceState = deviceState;
    state.device.name = "Zarn";
    state.device.model = "ZR-1";
    state.device.serial = "ZS0000001";
    state.device.firmware = firmware;
    return state;
}

// A console whose output the test reads, with a hook on every bar drawn
// (it runs on the console loop's thread, as the driver's progress would).
class Console {
public:
    Console() : cli_("ZarnFirmwareUpdater", "1.0.0", output()) {}

    Cli& cli() { return cli_; }
    std::function<void(int barNumber)> onBar;

    // Runs the console loop on a thread of its own; false when it did not
    // end within the bound (it is then ended by setting the phase Done).
    bool runToEnd(int ms = 1) {
        std::atomic<bool> ended{false};
        std::thread loop([&] {
            cli_.run(ms);
            std::lock_guard<std::mutex> lock(mutex_);
            ended = true;
            changed_.notify_all();
        });
        bool inTime = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            inTime = changed_.wait_for(lock, kBound, [&] { return ended.load(); });
        }
        if (!inTime) cli_.setPhase(Cli::Done);
        loop.join();
        return inTime;
    }

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::vector<std::string> bars() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bars_;
    }

private:
    Cli::Output output() {
        Cli::Output out;
        out.message = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        };
        out.progressBar = [this](const std::string& drawn) {
            size_t number = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                bars_.push_back(drawn);
                number = bars_.size();
            }
            if (onBar) onBar(static_cast<int>(number));
        };
        return out;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::vector<std::string> bars_;
    Cli cli_;
};

// --- report ----------------------------------------------------------------------

TEST(CliTest, DeviceInfoPrintsTheThreeDeviceLinesAndNeverRequestsAnUpdate) {
    Console console;
    int requests = 0;
    console.cli().setUpdateCallback([&] {
        ++requests;
        return true;
    });
    // Out of date, but a report is all that was asked for.
    console.cli().setState(deviceState(2, ControlState::OutOfDate));
    console.cli().setPhase(Cli::DeviceInfo);
    ASSERT_TRUE(console.runToEnd());
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{"Your device: Zarn (ZR-1)", "Serial number: ZS0000001", "Firmware: 0.9.7"}));
    EXPECT_EQ(requests, 0);
    EXPECT_TRUE(console.bars().empty());
    EXPECT_EQ(console.cli().exitStatus(), 0);
}

TEST(CliTest, VerdictPublishedWhileTheLoopWaitsIsReported) {
    Console console;
    console.cli().setState(deviceState(3, ControlState::Unknown));
    console.cli().setPhase(Cli::DeviceInfo);
    // "The control thread" publishes the bring-up and then the verdict.
    std::thread publisher([&] {
        console.cli().setState(deviceState(1, ControlState::Unknown));
        console.cli().setState(deviceState(2, ControlState::UpToDate, {0, 0, 1}));
    });
    ASSERT_TRUE(console.runToEnd());
    publisher.join();
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{"Your device: Zarn (ZR-1)", "Serial number: ZS0000001", "Firmware: 1.0.0"}));
}

TEST(CliTest, UnusableDeviceStatesGiveTheSupportTextAndAFailingExit) {
    for (int32_t state : {0, 4, 5, 6, 7}) {
        for (int32_t phase : {Cli::DeviceInfo, Cli::Upgrade}) {
            Console console;
            console.cli().setState(deviceState(state, ControlState::OutOfDate));
            console.cli().setPhase(phase);
            ASSERT_TRUE(console.runToEnd()) << state;
            EXPECT_EQ(console.lines(), std::vector<std::string>{kSupportText}) << state << " " << phase;
            EXPECT_EQ(console.cli().exitStatus(), 1);
        }
    }
}

// --- verdicts ------------------------------------------------------------------------

TEST(CliTest, UpToDateAndTooNewFirmwareEndWithTheirLinesOnce) {
    {
        Console console;
        console.cli().setState(deviceState(2, ControlState::UpToDate, {0, 0, 1}));
        console.cli().setPhase(Cli::Upgrade);
        ASSERT_TRUE(console.runToEnd());
        EXPECT_EQ(console.lines(), std::vector<std::string>{"Firmware: 1.0.0 already up-to-date."});
        EXPECT_EQ(console.cli().exitStatus(), 0);
    }
    {
        Console console;
        int requests = 0;
        console.cli().setUpdateCallback([&] { return ++requests, true; });
        console.cli().setState(deviceState(2, ControlState::TooNew, {0, 1, 1}));
        console.cli().setPhase(Cli::Upgrade);
        ASSERT_TRUE(console.runToEnd());
        EXPECT_EQ(console.lines(),
                  (std::vector<std::string>{"Your firmware is too new to be used with Plovar SDK (cross-platform) 0.8.0 "
                                            "(which this updater is packaged with)",
                                            "Please download the latest version of Plovar SDK (cross-platform) at: "
                                            "https://example.com/zarn/sdk"}));
        EXPECT_EQ(requests, 0);
        EXPECT_EQ(console.cli().exitStatus(), 0);
    }
}

TEST(CliTest, OutOfDateFirmwareIsJudgedThenUpdatedWithTheBarAndTheOutcome) {
    Console console;
    console.cli().setState(deviceState(2, ControlState::OutOfDate, {7, 9, 0}));
    console.cli().setUpdateCallback([&] {
        // The control loop accepts and starts reporting progress.
        ControlState updating = deviceState(2, ControlState::Updating, {7, 9, 0});
        updating.progressText = "Erasing";
        updating.progress = 0.5f;
        console.cli().setState(updating);
        return true;
    });
    console.onBar = [&](int) {
        ControlState done = deviceState(3, ControlState::Updating, {7, 9, 0});
        done.progressText = "Erasing";
        done.progress = 1.0f;
        done.updateResult = ControlState::Succeeded;
        console.cli().setState(done);
    };
    console.cli().setPhase(Cli::Upgrade);
    ASSERT_TRUE(console.runToEnd());
    EXPECT_EQ(console.lines(), (std::vector<std::string>{
                                   "Compatible with Plovar SDK (cross-platform) 0.7.3",
                                   "Your firmware is out of date",
                                   "Latest firmware: 1.0.0",
                                   "Compatible with Plovar SDK (cross-platform) 0.8.0",
                                   "\nErasing",
                                   kSuccessText,
                               }));
    // Half done: a blank, 50%, a blank and [, 30 bars, 30 blanks and ].
    EXPECT_EQ(console.bars(), std::vector<std::string>{"\r 50% [" + std::string(30, '|') + std::string(30, ' ') + "]"});
    EXPECT_EQ(console.cli().exitStatus(), 0);
}

TEST(CliTest, FirmwareWithoutAnSdkReleasePrintsUnknownInTheFirstLine) {
    Console console;
    console.cli().setState(deviceState(2, ControlState::OutOfDate, {5, 9, 0}));
    console.cli().setUpdateCallback([&] {
        console.cli().setPhase(Cli::Done);  // stop right after the request
        return false;
    });
    console.cli().setPhase(Cli::Upgrade);
    ASSERT_TRUE(console.runToEnd());
    ASSERT_FALSE(console.lines().empty());
    EXPECT_EQ(console.lines()[0], "Compatible with Plovar SDK (cross-platform) <unknown>");
}

TEST(CliTest, CorruptFirmwareOffersTheReinstallAndARefusedRequestJudgesAgain) {
    Console console;
    console.cli().setState(deviceState(8, ControlState::Corrupt, {0, 0, 1}));
    int requests = 0;
    console.cli().setUpdateCallback([&] {
        if (++requests == 1) return false;  // the loop had moved on: ask again next round
        ControlState failed = deviceState(8, ControlState::Updating, {0, 0, 1});
        failed.updateResult = ControlState::Failed;
        failed.errorText = "Firmware update failed: error 2 (PZStatus_Timeout)";
        console.cli().setState(failed);
        return true;
    });
    console.cli().setPhase(Cli::Upgrade);
    ASSERT_TRUE(console.runToEnd());
    const std::vector<std::string> verdict = {"Latest firmware: 1.0.0",
                                              "Compatible with Plovar SDK (cross-platform) 0.8.0",
                                              "Reinstall firmware 1.0.0"};
    std::vector<std::string> expected = verdict;
    expected.insert(expected.end(), verdict.begin(), verdict.end());
    expected.push_back("Update Error Firmware update failed: error 2 (PZStatus_Timeout)");
    EXPECT_EQ(console.lines(), expected);
    EXPECT_EQ(requests, 2);
    EXPECT_TRUE(console.bars().empty());
    EXPECT_EQ(console.cli().exitStatus(), 1);
}

// --- progress --------------------------------------------------------------------------

TEST(CliTest, EachNewProgressTextAppearsOnceAndTheSameTextOnlyRedrawsTheBar) {
    Console console;
    ControlState progress = deviceState(2, ControlState::Updating);
    progress.progressText = "";
    progress.progress = 0.0f;
    console.cli().setState(progress);
    console.onBar = [&](int number) {
        switch (number) {
            case 1: progress.progressText = "Writing"; progress.progress = 0.25f; break;
            case 2: progress.progress = 0.756f; break;  // same text: the bar only
            case 3: progress.progressText = "Verifying"; progress.progress = 1.0f; break;
            default: progress.updateResult = ControlState::Succeeded; break;
        }
        console.cli().setState(progress);
    };
    console.cli().setPhase(Cli::Progress);
    ASSERT_TRUE(console.runToEnd());
    EXPECT_EQ(console.lines(), (std::vector<std::string>{"\nWriting", "\nVerifying", kSuccessText}));
    EXPECT_EQ(console.bars(), (std::vector<std::string>{bar("  0", 0), bar(" 25", 15), bar(" 75", 45),
                                                        bar("100", 60)}));
}

TEST(CliTest, ProgressOutsideItsRangeNeverDrawsPastTheBarsWidth) {
    Console console;
    ControlState progress = deviceState(2, ControlState::Updating);
    progress.progress = 1.5f;
    console.cli().setState(progress);
    console.onBar = [&](int number) {
        progress.progress = -0.5f;
        if (number == 2) progress.updateResult = ControlState::Succeeded;
        console.cli().setState(progress);
    };
    console.cli().setPhase(Cli::Progress);
    ASSERT_TRUE(console.runToEnd());
    const std::vector<std::string> bars = console.bars();
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(bars[0], bar("150", 60));
    EXPECT_EQ(bars[1], bar("-50", 0));
}

// --- arguments ---------------------------------------------------------------------------

TEST(CliTest, UnknownArgumentsPrintTheUsageAndStartNothing) {
    const std::string usage =
        "ZarnFirmwareUpdater 1.0.0\nUsage:\n\n"
        "-i, --deviceInfo \n  Get Device Info\n"
        "-u, --upgrade \n  Upgrade the sensor\n";
    const std::vector<std::vector<std::string>> cases = {
        {"ZarnFirmwareUpdater", "-x"},
        {"ZarnFirmwareUpdater", "foo", "-u"},
        {"ZarnFirmwareUpdater", "--device"},
        {"ZarnFirmwareUpdater", "upgrade"},
        {"ZarnFirmwareUpdater", "--"},
    };
    for (const auto& arguments : cases) {
        std::vector<std::string> storage = arguments;
        std::vector<char*> argv;
        for (std::string& argument : storage) argv.push_back(argument.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        const int status = ZarnFirmwareUpdater::runCommandLine(static_cast<int>(storage.size()), argv.data());
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, 0) << arguments[1];
        EXPECT_EQ(err, usage) << arguments[1];
        EXPECT_EQ(out, "") << arguments[1];
    }
}

}  // namespace
