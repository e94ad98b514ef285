// End to end: the real program, started with its console options against the
// simulated sensor that stands in for the USB stack on Linux, configured
// through the environment. What it prints on standard error and standard
// output, and its exit status, are what a user or a script relies on.
//
// Every run that finds a sensor brings it up the way the program always
// does, so it waits on the host link's real one-second keep-alive once: the
// test names say so.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <map>
#include <random>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/tests/child_process.h"
#include "platform/tests/display_server.h"
#include "platform/tests/temp_folder.h"

namespace {

using namespace std::chrono_literals;

// Far beyond a run's few seconds; only keeps a broken build from hanging.
constexpr auto kRunBound = 60s;

const std::string kSupportText =
    "Please quit Zarn Firmware Updater, disconnect and reconnect your sensor, and relaunch Zarn Firmware Updater. "
    "If the error persists, contact support@example.com.";
const std::string kSuccessText =
    "The upgrade has been successful. Please replug your sensor and turn off the updater before running other "
    "application";

struct Outcome {
    int exitStatus = -1;  // the program's exit status; -1 when it was stopped
    int exitSignal = 0;   // the signal that ended it (POSIX)
    bool stoppedByTest = false;
    std::string out;
    std::string err;

    std::vector<std::string> errLines() const {
        std::vector<std::string> lines;
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    bool hasLine(const std::string& line) const {
        for (const std::string& l : errLines()) {
            if (l == line) return true;
        }
        return false;
    }
    // Position of the first error line equal to `line`; -1 when none.
    long lineIndex(const std::string& line) const {
        const auto lines = errLines();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i] == line) return static_cast<long>(i);
        }
        return -1;
    }
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        dataFolder_ = std::make_unique<zarn::testing::TempFolder>("zarn-program-test");
        dataHome_ = dataFolder_->path();
    }

    // Starts the program with `arguments` and the sensor variables, reads
    // both its outputs until it ends; `stopWhen` (given the error output so
    // far) may end it instead.
    // `launcher` words, when given, start the program (a display server
    // wrapper); `unset` names variables the program must not see.
    Outcome run(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& sensor,
                const std::function<bool(const std::string&)>& stopWhen = {},
                const std::vector<std::string>& launcher = {}, const std::vector<std::string>& unset = {},
                const std::function<void(zarn::testing::ChildOptions&)>& adjust = {}) {
        zarn::testing::ChildOptions options;
        options.bound = kRunBound;
        options.environment = environmentFor(sensor, unset);
        if (stopWhen) {
            options.stopWhen = [&](const std::string&, const std::string& err) {
                return stopWhen(zarn::testing::fromTextMode(err));
            };
        }

        if (adjust) adjust(options);

        std::vector<std::string> argv = launcher;
        argv.push_back(zarn::testing::besideThisExecutable(ZARN_UPDATER_PROGRAM));
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const zarn::testing::ChildResult child = zarn::testing::runChild(argv, options);
        EXPECT_TRUE(child.started) << "cannot start " << argv[0] << ": " << child.failure;
        EXPECT_FALSE(child.outlivedBound) << "the program did not end within the bound; stderr:\n" << child.err;
        Outcome result;
        result.exitStatus = child.exitStatus;
        result.exitSignal = child.exitSignal;
        result.stoppedByTest = child.stoppedByTest;
        result.out = zarn::testing::fromTextMode(child.out);
        result.err = zarn::testing::fromTextMode(child.err);
        return result;
    }

    // This process's environment with only the sensor variables the test
    // chose, and the log in the test's own folder.
    std::map<std::string, std::string> environmentFor(const std::map<std::string, std::string>& sensor,
                                                      const std::vector<std::string>& unset = {}) const {
        std::map<std::string, std::string> environment = zarn::testing::currentEnvironment();
        std::erase_if(environment, [](const auto& entry) { return entry.first.rfind("ZARN_SIM_", 0) == 0; });
        for (const std::string& name : unset) environment.erase(name);
        environment["XDG_DATA_HOME"] = dataHome_.string();
        for (const auto& [name, value] : sensor) environment[name] = value;
        return environment;
    }

    std::unique_ptr<zarn::testing::TempFolder> dataFolder_;
    std::filesystem::path dataHome_;
};

// --- device report ------------------------------------------------------------------------

TEST_F(ProgramTest, DeviceInfoOfAnUpToDateSensorPrintsItsThreeLinesAndEndsWithSuccess_RealOneSecondLink) {
    const Outcome result = run({"-i"}, {{"ZARN_SIM_FIRMWARE", "1.0.0"}});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const long device = result.lineIndex("Your device: Zarn (Zarn)");
    ASSERT_GE(device, 0) << result.err;
    EXPECT_EQ(result.lineIndex("Serial number: ZS0000001"), device + 1);
    EXPECT_EQ(result.lineIndex("Firmware: 1.0.0"), device + 2);
    EXPECT_GE(result.lineIndex("Waiting for device..."), 0);
    EXPECT_LT(result.lineIndex("Retrieving device info..."), device);
    // A report only: no verdict, no update, no bar on standard output
    // (which carries the driver's log lines).
    EXPECT_EQ(result.err.find("Compatible with"), std::string::npos);
    EXPECT_EQ(result.out.find('\r'), std::string::npos);
    // The log went where the environment said, not to the user's folders.
    EXPECT_TRUE(std::filesystem::exists(dataHome_));
}

TEST_F(ProgramTest, LongOptionOfTheReportReadsTheConfiguredFirmware_RealOneSecondLink) {
    const Outcome result = run({"--deviceInfo"}, {{"ZARN_SIM_FIRMWARE", "0.9.3"}});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_TRUE(result.hasLine("Firmware: 0.9.3")) << result.err;
}

// Low Power Mode, and Recovery Mode: the program gives the driver no boot
// folder, so a sensor whose processor has not booted stays unbooted.
TEST_F(ProgramTest, SensorThatCannotBeUsedGetsTheSupportTextAndAFailingExit) {
    for (const auto& [name, value] :
         {std::pair{"ZARN_SIM_STATE", "lowPower"}, std::pair{"ZARN_SIM_SENSOR", "unbooted"}}) {
        SCOPED_TRACE(value);
        const Outcome result = run({"-u"}, {{name, value}});
        EXPECT_EQ(result.exitStatus, 1) << result.err;
        EXPECT_TRUE(result.hasLine(kSupportText)) << result.err;
        EXPECT_EQ(result.err.find("Your firmware"), std::string::npos);
    }
}

TEST_F(ProgramTest, WithoutASensorTheProgramOnlyWaitsForOne) {
    const Outcome result = run({"-i"}, {{"ZARN_SIM_SENSOR", "absent"}}, [](const std::string& err) {
        return err.find("Waiting for device...\n") != std::string::npos;
    });
    EXPECT_TRUE(result.stoppedByTest) << result.err;
    EXPECT_EQ(result.err, "Waiting for device...\n");
    EXPECT_EQ(result.out.find('\r'), std::string::npos);
}

TEST_F(ProgramTest, UnknownArgumentsPrintTheUsageAndStartNothing) {
    const Outcome result = run({"-x"}, {});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err,
              "ZarnFirmwareUpdater 1.0.0\nUsage:\n\n-i, --deviceInfo \n  Get Device Info\n-u, --upgrade \n  Upgrade the "
              "sensor\n");
    EXPECT_EQ(result.out, "");
}

// --- upgrade --------------------------------------------------------------------------------

TEST_F(ProgramTest, UpgradeOfOutOfDateFirmwareInstallsThePackageWithTheBar_RealOneSecondLinkAndFlashTime) {
    // 15 ms per flash block: the steps last longer than the console's
    // 10-ms round, so it shows each step's text and then redraws the bar.
    const Outcome result = run({"-u"}, {{"ZARN_SIM_FIRMWARE", "0.9.7"}, {"ZARN_SIM_FLASH_MS", "15"}});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const long first = result.lineIndex("Compatible with Plovar SDK (cross-platform) 0.7.3");
    ASSERT_GE(first, 0) << result.err;
    EXPECT_EQ(result.lineIndex("Your firmware is out of date"), first + 1);
    EXPECT_EQ(result.lineIndex("Latest firmware: 1.0.0"), first + 2);
    EXPECT_EQ(result.lineIndex("Compatible with Plovar SDK (cross-platform) 0.8.0"), first + 3);
    EXPECT_GT(result.lineIndex(kSuccessText), first + 3);
    EXPECT_EQ(result.err.find("Update Error"), std::string::npos);
    // The bar: every drawing is 60 characters wide between its brackets.
    const std::regex drawing("\r[ 0-9]{2}[0-9]% \\[\\|*\\ *\\]");
    size_t drawings = 0;
    size_t underway = 0;
    for (std::sregex_iterator it(result.out.begin(), result.out.end(), drawing), end; it != end; ++it) {
        const std::string text = it->str();
        EXPECT_EQ(text.size(), 1u + 4u + 2u + 60u + 1u) << text;
        // The filled part follows the percentage: 60 characters for 100%.
        const int percent = std::stoi(text.substr(1, 3));
        const auto filled = static_cast<int>(std::count(text.begin(), text.end(), '|'));
        EXPECT_GE(filled, percent * 60 / 100) << text;
        EXPECT_LE(filled, (percent + 1) * 60 / 100) << text;
        underway += percent > 0 && percent < 100;
        ++drawings;
    }
    EXPECT_GT(drawings, 0u);
    EXPECT_GT(underway, 0u);
    // Each step's text once, on a line of its own after the bar.
    const std::vector<std::string> lines = result.errLines();
    std::map<std::string, int> steps;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(" block ") == std::string::npos) continue;
        ++steps[lines[i]];
        EXPECT_TRUE(i > 0 && lines[i - 1].empty()) << lines[i];
    }
    EXPECT_GT(steps.size(), 3u) << result.err;
    for (const auto& [text, count] : steps) EXPECT_EQ(count, 1) << text;
}

TEST_F(ProgramTest, UpgradeOfFirmwareWithoutAnSdkReleaseSaysUnknown_RealOneSecondLink) {
    const Outcome result = run({"-u"}, {{"ZARN_SIM_FIRMWARE", "0.9.5"}});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_TRUE(result.hasLine("Compatible with Plovar SDK (cross-platform) <unknown>")) << result.err;
    EXPECT_TRUE(result.hasLine(kSuccessText)) << result.err;
}

TEST_F(ProgramTest, UpgradeOfCorruptFirmwareReinstallsIt_RealOneSecondLink) {
    const Outcome result = run({"--upgrade"}, {{"ZARN_SIM_FIRMWARE", "1.0.0"}, {"ZARN_SIM_STATE", "fwCorrupt"}});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const long latest = result.lineIndex("Latest firmware: 1.0.0");
    ASSERT_GE(latest, 0) << result.err;
    EXPECT_EQ(result.lineIndex("Compatible with Plovar SDK (cross-platform) 0.8.0"), latest + 1);
    EXPECT_EQ(result.lineIndex("Reinstall firmware 1.0.0"), latest + 2);
    EXPECT_TRUE(result.hasLine(kSuccessText)) << result.err;
}

TEST_F(ProgramTest, UpgradeOfUpToDateOrTooNewFirmwareChangesNothing_RealOneSecondLink) {
    const Outcome upToDate = run({"-u"}, {{"ZARN_SIM_FIRMWARE", "1.0.0"}});
    EXPECT_EQ(upToDate.exitStatus, 0) << upToDate.err;
    EXPECT_TRUE(upToDate.hasLine("Firmware: 1.0.0 already up-to-date.")) << upToDate.err;
    EXPECT_EQ(upToDate.out.find('\r'), std::string::npos);

    const Outcome tooNew = run({"-u"}, {{"ZARN_SIM_FIRMWARE", "1.0.1"}});
    EXPECT_EQ(tooNew.exitStatus, 0) << tooNew.err;
    const long line = tooNew.lineIndex(
        "Your firmware is too new to be used with Plovar SDK (cross-platform) 0.8.0 (which this updater is packaged "
        "with)");
    ASSERT_GE(line, 0) << tooNew.err;
    EXPECT_EQ(tooNew.lineIndex("Please download the latest version of Plovar SDK (cross-platform) at: "
                               "https://example.com/zarn/sdk"),
              line + 1);
    EXPECT_EQ(tooNew.out.find('\r'), std::string::npos);
}

TEST_F(ProgramTest, RefusedPackageEndsWithTheUpdateErrorAndAFailingExit_RealOneSecondLink) {
    const Outcome result = run({"-u"}, {{"ZARN_SIM_FIRMWARE", "0.9.7"}, {"ZARN_SIM_UPDATE", "fail"}});
    EXPECT_EQ(result.exitStatus, 1) << result.err;
    bool found = false;
    for (const std::string& line : result.errLines()) {
        found = found || std::regex_match(line, std::regex("Update Error Firmware update failed: error [0-9]+ "
                                                           "\\(PZStatus_[A-Za-z]+\\)"));
    }
    EXPECT_TRUE(found) << result.err;
    EXPECT_FALSE(result.hasLine(kSuccessText));
}

TEST_F(ProgramTest, SensorPulledOutDuringTheUpgradeEndsWithTheUpdateErrorAndAFailingExit_RealOneSecondLink) {
    const Outcome result = run({"-u"}, {{"ZARN_SIM_FIRMWARE", "0.9.3"}, {"ZARN_SIM_UPDATE", "unplug"}});
    EXPECT_FALSE(result.stoppedByTest) << result.err;
    EXPECT_EQ(result.exitStatus, 1) << result.err;
    const long error = result.lineIndex("Update Error Firmware update failed: error 5 (PZStatus_DeviceNotReady)");
    ASSERT_GE(error, 0) << result.err;
    EXPECT_GT(result.lineIndex("Waiting for device..."), -1);
    EXPECT_FALSE(result.hasLine(kSuccessText));
}

// --- every driver the sensor may be bound to ------------------------------------------------

// The client and the host library read in pieces far smaller than a USB
// packet; under each driver, with partial reads off, and with or without a
// zero-length packet after the sensor's transfers of whole packets, the
// report and a whole upgrade still work.
class ProgramOverDriverTest : public ProgramTest,
                              public ::testing::WithParamInterface<std::map<std::string, std::string>> {};

TEST_P(ProgramOverDriverTest, ReportsAndUpgradesTheSensor_RealOneSecondLink) {
    std::map<std::string, std::string> sensor = GetParam();
    sensor["ZARN_SIM_FIRMWARE"] = "0.9.7";
    const Outcome report = run({"-i"}, sensor);
    EXPECT_EQ(report.exitStatus, 0) << report.err;
    EXPECT_TRUE(report.hasLine("Firmware: 0.9.7")) << report.err;
    const Outcome upgrade = run({"-u"}, sensor);
    EXPECT_EQ(upgrade.exitStatus, 0) << upgrade.err;
    EXPECT_TRUE(upgrade.hasLine("Your firmware is out of date")) << upgrade.err;
    EXPECT_TRUE(upgrade.hasLine(kSuccessText)) << upgrade.err;
}

std::vector<std::map<std::string, std::string>> everyBinding() {
    std::vector<std::map<std::string, std::string>> bindings;
    for (const char* zeroLengthPackets : {"on", "off"}) {
        for (const char* driver : {"libusbK", "libusb0", "WinUSB", "WinUSB"}) {
            bindings.push_back({{"ZARN_SIM_DRIVER", driver}, {"ZARN_SIM_ZERO_LENGTH_PACKETS", zeroLengthPackets}});
        }
        bindings.back()["ZARN_SIM_PARTIAL_READS"] = "off";
    }
    // A SuperSpeed port, under the driver that overruns on a short read.
    bindings.push_back(
        {{"ZARN_SIM_DRIVER", "libusb0"}, {"ZARN_SIM_ZERO_LENGTH_PACKETS", "off"}, {"ZARN_SIM_PACKET_SIZE", "1024"}});
    return bindings;
}

INSTANTIATE_TEST_SUITE_P(Bindings, ProgramOverDriverTest, ::testing::ValuesIn(everyBinding()), [](const auto& info) {
    std::string name = info.param.at("ZARN_SIM_DRIVER");
    if (info.param.count("ZARN_SIM_PARTIAL_READS") != 0) name += "WithoutPartialReads";
    name += info.param.at("ZARN_SIM_ZERO_LENGTH_PACKETS") == "on" ? "WithZeroLengthPackets" : "WithoutZeroLengthPackets";
    if (info.param.count("ZARN_SIM_PACKET_SIZE") != 0) name += "With" + info.param.at("ZARN_SIM_PACKET_SIZE") + "BytePackets";
    return name;
});

// --- a console that takes nothing, and requests to stop ----------------------------------------

// The log file is the record of the update, whatever the console took: the
// newest one where the program logs (under Wine, the user's own folder).
// It holds log lines only (the processor's own as it sent them: the
// simulated one's begin "boot: "), the update's own once each.
void expectTheUpdateLogged(const std::filesystem::path& dataHome) {
    std::string folder = dataHome.string();
    if (!std::filesystem::exists(dataHome / "Morvale")) PLAT_getLocalAppDataFolder(&folder);
    std::filesystem::path newest;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(folder) / "Morvale")) {
        if (newest.empty() || entry.last_write_time() > std::filesystem::last_write_time(newest)) newest = entry;
    }
    std::ifstream in(newest);
    std::string own;
    for (std::string line; std::getline(in, line);) {
        EXPECT_TRUE(std::regex_match(line, std::regex("(HOST|GP|CEVA|IAF|PSOC) +(ERROR|WARN|INFO|DEBUG) .*|boot: .*"))) << line;
        for (const char* text : {"Sending FW update", "FW Update Status: 40 / 40", "Finished FW update"}) {
            if (line.find(text) != std::string::npos) own += std::string(text) + ";";
        }
    }
    EXPECT_EQ(own, "Sending FW update;FW Update Status: 40 / 40;Finished FW update;");
}

// Under Wine every program of the run logs into the one user's folder: the
// tests that read the log run alone there.
class ProgramConsoleTest : public ProgramTest {};

TEST_F(ProgramConsoleTest, UpgradeWithAStandardOutputNobodyReadsStillCompletes_RealOneSecondLink) {
    const Outcome result = run({"-u"}, {{"ZARN_SIM_FIRMWARE", "0.9.3"}, {"ZARN_SIM_FLASH_MS", "2"}}, {}, {}, {},
                               [](zarn::testing::ChildOptions& options) { options.outputUnread = true; });
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_TRUE(result.hasLine(kSuccessText)) << result.err;
    expectTheUpdateLogged(dataHome_);
}

// Started with standard output or error closed (`>&-`; on Windows without
// the handle): none of the console's text goes into the log file.
TEST_F(ProgramConsoleTest, UpgradeWithAStandardStreamClosedLogsOnlyItsLog_RealOneSecondLink) {
    for (const int missing : {1, 2}) {
        const Outcome result = run({"-u"}, {{"ZARN_SIM_FIRMWARE", "0.9.3"}, {"ZARN_SIM_FLASH_MS", "2"}}, {}, {}, {},
                                   [&](zarn::testing::ChildOptions& options) { options.missingStream = missing; });
        EXPECT_EQ(result.exitStatus, 0) << missing << result.err;
        expectTheUpdateLogged(dataHome_);
    }
}

const std::string kHeldBackText = "The firmware is being written: the updater will stop when the write has ended.";

using zarn::testing::StopRequest;
enum class Then { FinishesTheWrite, EndsAtOnce, GoesOn };
struct StopCase {
    const char* name;
    std::map<std::string, std::string> sensor;
    std::string when;  // in the output: the requests go then
    Then then;
    std::vector<StopRequest> requests = {StopRequest::First, StopRequest::Second};
    // POSIX: started by this shell line (a job's status: the program's); the requests go to its process group.
    std::string shell = "";
    bool shown = true;  // false: the request ends the job's reader, which shows nothing more
    bool heldDown = false;  // the first request again with every output, to the end (a key held down)
};
const std::map<std::string, std::string> kWriting = {{"ZARN_SIM_FIRMWARE", "0.9.3"}, {"ZARN_SIM_FLASH_MS", "20"}};
const StopCase kStopCases[] = {
    {"DuringTheWriteWaitsForItsEnd_RealOneSecondLinkAndFlashTime", kWriting, "\nErasing block ",
     Then::FinishesTheWrite},
    {"WithoutAWriteEndsAtOnce", {{"ZARN_SIM_SENSOR", "absent"}}, "Waiting for device...\n", Then::EndsAtOnce},
    {"HangUpDuringTheWriteWaitsForItsEnd_RealOneSecondLinkAndFlashTime", kWriting, "\nErasing block ",
     Then::FinishesTheWrite, {StopRequest::HangUp}},
    {"IgnoredByTheCallerStayIgnored_RealOneSecondLink", {{"ZARN_SIM_FIRMWARE", "1.0.0"}}, "Waiting for device...\n",
     Then::GoesOn, {StopRequest::First, StopRequest::Second, StopRequest::HangUp},
     "trap '' INT TERM HUP; exec \"$0\" \"$@\""},
    {"CtrlCToAJobWithAReaderLetsTheWriteFinish_RealOneSecondLinkAndFlashTime", kWriting, "\nErasing block ",
     Then::FinishesTheWrite, {StopRequest::First}, "trap : INT; \"$0\" \"$@\" 2>&1 | cat; exit ${PIPESTATUS[0]}", false},
    // The shell goes on with its loop only for a program that ended as if
    // nothing had happened.
    {"CtrlCToALoopEndsTheLoopAfterTheWrite_RealOneSecondLinkAndFlashTime", kWriting, "\nErasing block ",
     Then::FinishesTheWrite, {StopRequest::First}, "for i in 1 2; do \"$0\" \"$@\"; done"},
    {"CtrlCHeldDownChangesNothingMore_RealOneSecondLinkAndFlashTime", kWriting, "Sending FW update",
     Then::FinishesTheWrite, {StopRequest::First}, "", true, true},
    {"NoneToAJobWhoseReaderEndsEarly_RealOneSecondLink", {{"ZARN_SIM_FIRMWARE", "0.9.3"}}, "", Then::FinishesTheWrite,
     {}, "\"$0\" \"$@\" 2>&1 | head -n 3; exit ${PIPESTATUS[0]}"},
};
void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }
class ProgramStopTest : public ProgramConsoleTest, public ::testing::WithParamInterface<StopCase> {};

// Two requests, as an impatient user gives them: the first decides.
TEST_P(ProgramStopTest, RequestsToStop) {
    const StopCase& c = GetParam();
    const bool shell = !c.shell.empty();
    if (!zarn::testing::hasPosixJobs() && (shell || c.requests[0] == StopRequest::HangUp)) GTEST_SKIP() << "POSIX only";
    std::atomic<unsigned long> id{0};
    bool sent = false;
    const std::vector<std::string> launcher = {"/usr/bin/setsid", "/bin/bash", "-c", c.shell};
    const Outcome result = run({"-u"}, c.sensor, {}, shell ? launcher : std::vector<std::string>{}, {},
                               [&](zarn::testing::ChildOptions& options) {
        options.interruptible = true;
        options.onStarted = [&](unsigned long started) { id = started; };
        options.stopWhen = [&](const std::string& out, const std::string& err) {
            const bool now = zarn::testing::fromTextMode(out + err).find(c.when) != std::string::npos;
            if (sent && c.heldDown) zarn::testing::requestStop(id, c.requests[0], shell);
            if (!sent && !c.requests.empty() && now) {
                sent = true;
                EXPECT_TRUE(zarn::testing::requestStop(id, c.requests[0], shell));
                for (size_t i = 1; i < c.requests.size(); ++i) zarn::testing::requestStop(id, c.requests[i]);
            }
            return false;
        };
    });
    ASSERT_EQ(sent, !c.requests.empty()) << result.out << result.err;
    const std::vector<std::string> lines = result.errLines();
    const bool heldBack = c.then == Then::FinishesTheWrite && !c.requests.empty();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kHeldBackText), heldBack && c.shown ? 1 : 0) << result.err;
    if (c.then == Then::EndsAtOnce) {
        EXPECT_TRUE(zarn::testing::endedByStopRequest(result.exitStatus)) << result.exitStatus << result.err;
        return;
    }
    if (heldBack) {
        // The outcome once, after the notice, and then the end a script
        // can tell from a finished run.
        EXPECT_TRUE(zarn::testing::endedAsInterruptedBy(c.requests[0], result.exitStatus, result.exitSignal))
            << result.exitStatus << " signal " << result.exitSignal << result.err;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), kSuccessText), c.shown ? 1 : 0) << result.err;
        EXPECT_TRUE(!c.shown || result.lineIndex(kSuccessText) > result.lineIndex(kHeldBackText)) << result.err;
    } else {
        EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    }
    if (c.then == Then::FinishesTheWrite) expectTheUpdateLogged(dataHome_);
}

INSTANTIATE_TEST_SUITE_P(EveryMoment, ProgramStopTest, ::testing::ValuesIn(kStopCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- every way the program ends ------------------------------------------------------------

// The console, which needs no display; the window with DISPLAY unset; a
// virtual display (on Windows: the desktop); one without OpenGL, where the window
// object, the control loop and the driver exist when the window fails; a
// virtual display that goes away while the window runs and the driver's
// threads talk to the sensor (the display library ends the process then).
enum class Screen { None, Absent, Virtual, VirtualWithoutGl, VirtualLostMidRun };

struct EndCase {
    const char* name;
    Screen screen;
    std::vector<std::string> arguments;
    std::map<std::string, std::string> sensor;
    int status;
    std::vector<std::string> errLines;  // standard error but the control thread's progress lines
    std::string outHas;                 // in standard output: the driver's log reached the console
};
void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

const std::string kInitFailure = "Failed to initialize Plovar Zarn driver: error 1 (Error)";
const EndCase kEndCases[] = {
    {"ConsoleReportEndsWithZero_RealOneSecondLink", Screen::None, {"-i"}, {{"ZARN_SIM_FIRMWARE", "1.0.0"}}, 0,
     {"Your device: Zarn (Zarn)", "Serial number: ZS0000001", "Firmware: 1.0.0"}, ""},
    {"ConsoleUpdateRefusedEndsWithOne_RealOneSecondLink", Screen::None, {"-u"}, {{"ZARN_SIM_UPDATE", "fail"}}, 1,
     {"Compatible with Plovar SDK (cross-platform) 0.7.3", "Your firmware is out of date", "Latest firmware: 1.0.0",
      "Compatible with Plovar SDK (cross-platform) 0.8.0", "Update Error Firmware update failed: error 1 (PZStatus_Error)"},
     ""},
    {"DriverThatCannotStartEndsTheConsoleWithOne", Screen::None, {"-i"}, {{"ZARN_SIM_USB", "missing"}}, 1,
     {kInitFailure}, "vpu_usb_init failed"},
    {"DriverThatCannotStartEndsTheWindowWithOne", Screen::Virtual, {}, {{"ZARN_SIM_USB", "missing"}}, 1,
     {kInitFailure}, "vpu_usb_init failed"},
    {"NoDisplayEndsWithTheGlfwErrorAndOne", Screen::Absent, {}, {}, 1,
     {"GLFW error 65544: X11: The DISPLAY environment variable is missing"}, ""},
    {"WindowThatCannotBeMadeEndsWithTheGlfwErrorAndOne", Screen::VirtualWithoutGl, {}, {}, 1,
     {"GLFW error 65542: GLX: GLX extension not found"}, ""},
    {"ClosingTheWindowEndsWithZero_RealOneSecondLink", Screen::Virtual, {}, {{"ZARN_SIM_CLOSE_AFTER_FRAMES", "4"}}, 0,
     {}, ""},
    {"DisplayLostWhileTheDriverRunsEndsWithOne_RealOneSecondLink", Screen::VirtualLostMidRun, {}, {}, 1, {}, ""},
};

// What the display library itself prints when its server goes away, just
// before it ends the process.
bool isDisplayLibraryReport(const std::string& line) {
    static const std::regex report("(XIO: .*|\\s+after [0-9]+ requests .*|X connection to .* broken .*)\r?");
    return std::regex_match(line, report);
}

class ProgramEndTest : public ProgramTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(ProgramEndTest, GivesItsStatusAndItsOwnLinesOnly) {
    const EndCase& c = GetParam();
    // Where the desktop is always there, a display cannot be missing, lack
    // OpenGL or go away; the window is simply there.
    const bool desktop = zarn::testing::desktopAlwaysPresent();
    if (desktop && c.screen != Screen::None && c.screen != Screen::Virtual) {
        GTEST_SKIP() << "the desktop is always present here";
    }
    std::map<std::string, std::string> variables = c.sensor;
    zarn::testing::DisplayServer server;
    if (!desktop && c.screen != Screen::None && c.screen != Screen::Absent) {
        // A server of the test's own, on a display number it chooses itself.
        const int display =
            server.start(c.screen == Screen::VirtualWithoutGl ? std::vector<std::string>{"-extension", "GLX"}
                                                              : std::vector<std::string>{});
        if (display < 0) GTEST_SKIP() << "needs Xvfb for a virtual display";
        variables["DISPLAY"] = ":" + std::to_string(display);
        variables["MESA_SHADER_CACHE_DISABLE"] = "true";
        if (c.screen != Screen::VirtualLostMidRun) variables["LP_NUM_THREADS"] = "0";  // as in display_child.h
    }
    std::function<bool(const std::string&)> whenRunning;
    bool serverEnded = false;
    if (c.screen == Screen::VirtualLostMidRun) {
        // The renderer keeps its own threads here, as for a user: ending them
        // makes the exit long enough for the driver's threads to run into
        // whatever static objects the exit has already destroyed.
        //
        // Once the sensor is up, the connection layer's threads run behind
        // the window: the display goes away under them. Not a wait for the
        // program: the pause puts the exit across the link's next keep-alive
        // (one a second), so that the threads are sending and receiving
        // while static objects are destroyed.
        whenRunning = [&](const std::string& err) {
            if (!serverEnded && err.find("Device ready, waiting for input...") != std::string::npos) {
                std::this_thread::sleep_for(600ms);
                server.end();
                serverEnded = true;
            }
            return false;
        };
    }
    // A program under Wine reaches its desktop through DISPLAY: it stays.
    const std::vector<std::string> unset = desktop ? std::vector<std::string>{} : std::vector<std::string>{"DISPLAY"};
    const Outcome result = run(c.arguments, variables, whenRunning, {}, unset);
    if (c.screen == Screen::VirtualLostMidRun) {
        EXPECT_TRUE(serverEnded) << "the program ended before its display was taken away\n" << result.err;
    }

    EXPECT_EQ(result.exitStatus, c.status) << result.err;
    // Whole lines, none of anyone else's (a sanitizer's report), and the
    // control thread's as often as the sensor's timing makes it go round.
    EXPECT_TRUE(result.err.empty() || result.err.back() == '\n') << result.err;
    static const std::set<std::string> progress = {"Waiting for device...", "Retrieving device info...",
                                                   "Device ready, waiting for input..."};
    std::vector<std::string> own;
    for (const std::string& line : result.errLines()) {
        if (progress.count(line) != 0) continue;
        if (c.screen == Screen::VirtualLostMidRun && isDisplayLibraryReport(line)) continue;
        own.push_back(line);
    }
    EXPECT_EQ(own, c.errLines) << result.err;
    EXPECT_NE(result.out.find(c.outHas), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(EveryWay, ProgramEndTest, ::testing::ValuesIn(kEndCases),
                         [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

}  // namespace
