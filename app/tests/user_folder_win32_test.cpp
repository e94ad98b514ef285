// A user whose name the ANSI code page lacks (Cyrillic on a Western system):
// the simulated-sensor program must still work for that user, with its log
// in that user's LocalAppData folder, and say where the log is.
//
// The folder is moved into the test's temporary folder through the user's
// shell folders in the registry, which the shell reads at every lookup; the
// test runs on its own (RUN_SERIAL), since every program of the run logs
// into that one folder.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/tests/child_process.h"
#include "platform/tests/temp_folder.h"
#include "platform/win32.h"
#include "runtime/logger.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Points the user's LocalAppData folder elsewhere for the programs the test
// starts, and puts the old value back.
class LocalAppDataElsewhere {
public:
    explicit LocalAppDataElsewhere(const fs::path& folder) {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_,
                            nullptr) != ERROR_SUCCESS) {
            key_ = nullptr;
            return;
        }
        DWORD size = 0;
        if (RegQueryValueExW(key_, kValue, nullptr, &savedType_, nullptr, &size) == ERROR_SUCCESS) {
            saved_.resize(size);
            saved_.resize(RegQueryValueExW(key_, kValue, nullptr, &savedType_, saved_.data(), &size) == ERROR_SUCCESS
                              ? size
                              : 0);
        }
        const std::wstring text = folder.wstring();
        set_ = RegSetValueExW(key_, kValue, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    ~LocalAppDataElsewhere() {
        if (key_ == nullptr) return;
        if (!saved_.empty()) {
            RegSetValueExW(key_, kValue, 0, savedType_, saved_.data(), static_cast<DWORD>(saved_.size()));
        } else {
            RegDeleteValueW(key_, kValue);
        }
        RegCloseKey(key_);
    }
    bool set() const { return set_; }

private:
    static constexpr const wchar_t* kKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    static constexpr const wchar_t* kValue = L"Local AppData";
    HKEY key_ = nullptr;
    DWORD savedType_ = 0;
    std::vector<BYTE> saved_;
    bool set_ = false;
};

std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

TEST(UserFolderOutsideTheAnsiCodePage, DeviceInfoWorksAndTheLogLiesInThatUsersFolder_RealOneSecondLink) {
    zarn::testing::TempFolder temp("zarn-user-folder");
    const fs::path local = temp.path() / fs::path(u8"Юлия") / "AppData" / "Local";
    fs::create_directories(local);
    LocalAppDataElsewhere elsewhere(local);
    ASSERT_TRUE(elsewhere.set());

    zarn::testing::ChildOptions options;
    options.bound = 60s;  // far beyond the run's few seconds
    std::erase_if(options.environment, [](const auto& entry) { return entry.first.rfind("ZARN_SIM_", 0) == 0; });
    options.environment["ZARN_SIM_FIRMWARE"] = "1.0.0";
    const zarn::testing::ChildResult run =
        zarn::testing::runChild({zarn::testing::besideThisExecutable(ZARN_UPDATER_PROGRAM), "-i"}, options);
    ASSERT_TRUE(run.started) << run.failure;
    const std::string out = zarn::testing::fromTextMode(run.out);
    const std::string err = zarn::testing::fromTextMode(run.err);
    EXPECT_EQ(run.exitStatus, 0) << err << out;
    EXPECT_NE(err.find("\nFirmware: 1.0.0\n"), std::string::npos) << err;

    const fs::path logFile = local / LOGG_LOG_FOLDER / "pzlog_0.log";
    const std::string report = "Log file:\n" + utf8(logFile) + "\n";
    ASSERT_EQ(out.rfind(report, 0), 0u) << out;
    std::ifstream file(logFile, std::ios::binary);
    ASSERT_TRUE(file.good()) << report;
    const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // Every line the console showed, in the same order.
    EXPECT_NE(log.find("Plovar Zarn Init"), std::string::npos) << log;
    EXPECT_EQ(zarn::testing::fromTextMode(log), out.substr(report.size()));
}

}  // namespace
