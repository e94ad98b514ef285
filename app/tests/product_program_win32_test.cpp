// The product, ZarnFirmwareUpdater.exe, on the system's own USB stack where
// no sensor is: it must come up, find nothing, say so, and end when it is
// closed. Its hot-plug monitor runs on the system's SetupAPI and device
// notifications (in the test run, Wine's), and its log file lies in the
// user's LocalAppData folder. These tests run on their own (RUN_SERIAL): every
// program of the run logs into that one folder. So does the simulated-sensor
// program's run for a user whose name the ANSI code page lacks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/tests/child_process.h"
#include "platform/tests/temp_folder.h"
#include "platform/win32.h"
#include "runtime/logger.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Far beyond a run's few seconds; only keeps a broken build from hanging.
constexpr auto kRunBound = 60s;

std::string product() { return zarn::testing::besideThisExecutable(ZARN_SYSTEM_UPDATER_PROGRAM); }

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The log file the console sink named on standard output ("Log file:" and
// the path on the next line); empty when it named none.
std::string namedLogFile(const std::string& out) {
    const std::vector<std::string> lines = linesOf(out);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] == "Log file:") return lines[i + 1];
    }
    return {};
}

// The visible top-level window of a process; null while it has none (its
// hot-plug monitor's window is hidden).
HWND visibleWindowOf(DWORD processId) {
    struct Search {
        DWORD processId;
        HWND found;
    } search{processId, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != s->processId || !IsWindowVisible(window)) return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

TEST(ProductProgram, WithoutASensorTheConsoleSaysItWaitsWhileItRuns) {
    zarn::testing::ChildOptions options;
    options.bound = kRunBound;
    // The line must reach the pipe while the program still waits, not when it ends.
    options.stopWhen = [](const std::string&, const std::string& err) {
        return zarn::testing::fromTextMode(err).find("Waiting for device...\n") != std::string::npos;
    };
    const zarn::testing::ChildResult run = zarn::testing::runChild({product(), "-i"}, options);
    ASSERT_TRUE(run.started) << run.failure;
    EXPECT_TRUE(run.stoppedByTest) << run.err;
    EXPECT_EQ(zarn::testing::fromTextMode(run.err), "Waiting for device...\n");
}

TEST(ProductProgram, WindowStartsTheHotPlugMonitorAndTheProgramEndsWithZeroWhenClosed) {
    std::atomic<bool> closed{false};
    std::thread closer;
    zarn::testing::ChildOptions options;
    options.bound = kRunBound;
    options.onStarted = [&](unsigned long processId) {
        closer = std::thread([&, processId] {
            HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, processId);
            if (process == nullptr) return;
            // The window appears once the program has set up GLFW and its
            // page: looked for whenever 20 ms pass without the program
            // ending, within the run's bound.
            const auto deadline = Clock::now() + kRunBound;
            while (Clock::now() < deadline && WaitForSingleObject(process, 20) == WAIT_TIMEOUT) {
                if (HWND window = visibleWindowOf(processId)) {
                    // The user closes the window.
                    closed = PostMessageA(window, WM_CLOSE, 0, 0) != 0;
                    break;
                }
            }
            CloseHandle(process);
        });
    };
    const zarn::testing::ChildResult run = zarn::testing::runChild({product()}, options);
    if (closer.joinable()) closer.join();
    ASSERT_TRUE(run.started) << run.failure;
    const std::string err = zarn::testing::fromTextMode(run.err);
    const std::string out = zarn::testing::fromTextMode(run.out);
    ASSERT_TRUE(closed.load()) << "no window appeared\n" << err << out;
    EXPECT_EQ(run.exitStatus, 0) << err << out;
    // Closing waits for the driver to stop its transport, itself bounded by
    // 10 s inside the program: a close that hangs is ended by the run's bound.
    EXPECT_FALSE(run.outlivedBound) << err << out;
    EXPECT_NE(err.find("Waiting for device...\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("GLFW error"), std::string::npos) << err;

    // The log: in the user's application-data folder, with the monitor's
    // start and end and no failure of its start.
    const std::string logFile = namedLogFile(out);
    std::string appData;
    ASSERT_TRUE(PLAT_getLocalAppDataFolder(&appData));
    ASSERT_EQ(logFile.rfind(appData + "\\" + LOGG_LOG_FOLDER + "\\", 0), 0u) << out;
    std::ifstream file(logFile, std::ios::binary);
    ASSERT_TRUE(file.good()) << logFile;
    const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("Initialize a HotK device notification event monitor.."), std::string::npos) << log;
    EXPECT_NE(log.find("Looking for 'DeviceInterfaceGUID's matching the pattern"), std::string::npos) << log;
    EXPECT_NE(log.find("HotK monitor closed successfully!"), std::string::npos) << log;
    char errorColumns[32];
    std::snprintf(errorColumns, sizeof errorColumns, "%-4s %-7s ", LOGP_sideName(LOGG_SIDE_HOST_E),
                  LOGP_levelName(LOG_ERROR_E));
    // The monitor's start reports its failures (HotK_Init's, say) as errors
    // of its own function.
    for (const std::string& line : linesOf(log)) {
        if (line.rfind(errorColumns, 0) == 0) {
            EXPECT_EQ(line.find("vpu_usb_libusbk_init"), std::string::npos) << line;
        }
    }
}

// Points the user's LocalAppData folder elsewhere (the shell reads it from
// the user's shell folders at every lookup), and puts the old value back.
class LocalAppDataElsewhere {
public:
    explicit LocalAppDataElsewhere(const std::wstring& folder) {
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_,
                        nullptr);
        had_ = RegQueryValueExW(key_, kValue, nullptr, &savedType_, saved_, &savedSize_) == ERROR_SUCCESS;
        set = RegSetValueExW(key_, kValue, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                             static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    ~LocalAppDataElsewhere() {
        had_ ? RegSetValueExW(key_, kValue, 0, savedType_, saved_, savedSize_) : RegDeleteValueW(key_, kValue);
        RegCloseKey(key_);
    }
    bool set = false;

private:
    static constexpr const wchar_t* kKey =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    static constexpr const wchar_t* kValue = L"Local AppData";
    HKEY key_ = nullptr;
    bool had_ = false;
    DWORD savedType_ = 0;
    BYTE saved_[4096];
    DWORD savedSize_ = sizeof saved_;
};

TEST(UserFolderOutsideTheAnsiCodePage, DeviceInfoWorksAndTheLogLiesInThatUsersFolder_RealOneSecondLink) {
    zarn::testing::TempFolder temp("zarn-user-folder");
    const std::filesystem::path local = temp.path() / std::filesystem::path(u8"Юлия") / "AppData" / "Local";
    std::filesystem::create_directories(local);
    LocalAppDataElsewhere elsewhere(local.wstring());
    ASSERT_TRUE(elsewhere.set);

    zarn::testing::ChildOptions options;
    options.bound = kRunBound;
    std::erase_if(options.environment, [](const auto& entry) { return entry.first.rfind("ZARN_SIM_", 0) == 0; });
    options.environment["ZARN_SIM_FIRMWARE"] = "1.0.0";
    const zarn::testing::ChildResult run =
        zarn::testing::runChild({zarn::testing::besideThisExecutable(ZARN_UPDATER_PROGRAM), "-i"}, options);
    ASSERT_TRUE(run.started) << run.failure;
    const std::string out = zarn::testing::fromTextMode(run.out);
    const std::string err = zarn::testing::fromTextMode(run.err);
    EXPECT_EQ(run.exitStatus, 0) << err << out;
    EXPECT_NE(err.find("\nFirmware: 1.0.0\n"), std::string::npos) << err;

    // Named as it is, and holding every line the console showed, in order.
    const std::filesystem::path logFile = local / LOGG_LOG_FOLDER / "pzlog_0.log";
    const std::u8string name = logFile.u8string();
    const std::string report = "Log file:\n" + std::string(name.begin(), name.end()) + "\n";
    ASSERT_EQ(out.rfind(report, 0), 0u) << out;
    std::ifstream file(logFile, std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("Plovar Zarn Init"), std::string::npos) << log;
    EXPECT_EQ(zarn::testing::fromTextMode(log), out.substr(report.size()));
}

}  // namespace
