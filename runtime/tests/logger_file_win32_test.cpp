// The logger's file sink on Windows: its log folder in the user's LocalAppData
// known folder, and the rotation through five files there.
//
// These tests use the real application-data folder (in the test run, the one
// of the fresh Wine prefix in the build folder). They run on their own
// (RUN_SERIAL), since every other test process may log into the same folder,
// and they set a log folder that is already there aside and put it back.
#include "runtime/logger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>

#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

class AppDataLogFolder {
public:
    AppDataLogFolder() {
        std::string appData;
        if (!PLAT_getLocalAppDataFolder(&appData)) throw std::runtime_error("no LocalAppData folder");
        appData_ = appData;
        folder_ = appData_ / LOGG_LOG_FOLDER;
        if (fs::exists(folder_)) {
            saved_ = appData_ / (std::string(LOGG_LOG_FOLDER) + ".before-test");
            fs::remove_all(*saved_);
            fs::rename(folder_, *saved_);
        }
        LOGP_resetFileSinkForTest();
    }
    ~AppDataLogFolder() {
        LOGP_resetFileSinkForTest();  // closes the file before its folder goes
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        if (saved_) fs::rename(*saved_, folder_, ignored);
    }

    const fs::path& appData() const { return appData_; }
    const fs::path& folder() const { return folder_; }
    // The path as the sink prints it: Windows' own separators.
    std::string file(const std::string& name) const { return appData_.string() + "\\" + LOGG_LOG_FOLDER + "\\" + name; }

    void plant(const std::string& name, const std::string& content, int64_t secondsSince1970) const {
        fs::create_directories(folder_);
        const fs::path path = folder_ / name;
        std::ofstream(path, std::ios::binary) << content;
        const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(secondsSince1970));
        fs::last_write_time(path, std::chrono::file_clock::from_sys(when));
    }

private:
    fs::path appData_;
    fs::path folder_;
    std::optional<fs::path> saved_;
};

// The file is opened in text mode, as every log reader on Windows expects:
// each line's newline is written as CR LF.
std::string windowsLines(std::string text) {
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) text.insert(at, "\r");
    return text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// Writes one line through a freshly chosen file; returns what the sink
// printed about its choice.
std::string writeFirstLine(const char* line) {
    LOGP_resetFileSinkForTest();
    testing::internal::CaptureStdout();
    LOGP_fileSink(LOG_INFO_E, line);
    return testing::internal::GetCapturedStdout();
}

TEST(LogFileInAppData, FolderIsCreatedUnderLocalAppDataAndFilesNumberedUpToFive) {
    AppDataLogFolder logs;
    EXPECT_TRUE(logs.appData().is_absolute()) << logs.appData();
    EXPECT_TRUE(logs.appData().string().ends_with("\\AppData\\Local")) << logs.appData();
    ASSERT_FALSE(fs::exists(logs.folder()));

    // Each run of a process takes the next number while fewer than five exist.
    for (int number = 0; number < 5; ++number) {
        const std::string line = "run " + std::to_string(number) + "\n";
        const std::string name = "pzlog_" + std::to_string(number) + ".log";
        EXPECT_EQ(writeFirstLine(line.c_str()), "Log file:\n" + logs.file(name) + "\n");
        EXPECT_EQ(readFile(logs.file(name)), windowsLines(line)) << "flushed at once, readable while open";
    }
    EXPECT_FALSE(fs::exists(logs.folder() / "pzlog_5.log"));
}

TEST(LogFileInAppData, LeastRecentlyWrittenOfFiveIsEmptiedAndReused) {
    struct Case {
        int64_t times[5];  // last-write times of pzlog_0 .. pzlog_4
        int reused;
    };
    const Case cases[] = {
        {{5000, 4000, 1000, 3000, 2000}, 2},
        {{1000, 2000, 3000, 4000, 5000}, 0},
        {{5000, 4000, 3000, 2000, 1000}, 4},
    };
    for (const Case& c : cases) {
        AppDataLogFolder logs;
        for (int i = 0; i < 5; ++i) {
            logs.plant("pzlog_" + std::to_string(i) + ".log", "old " + std::to_string(i) + "\n", c.times[i]);
        }
        const std::string reused = "pzlog_" + std::to_string(c.reused) + ".log";
        EXPECT_EQ(writeFirstLine("reused\n"), "Log file:\n" + logs.file(reused) + "\n");
        EXPECT_EQ(readFile(logs.file(reused)), "reused\r\n");
        for (int i = 0; i < 5; ++i) {
            if (i == c.reused) continue;
            EXPECT_EQ(readFile(logs.file("pzlog_" + std::to_string(i) + ".log")), "old " + std::to_string(i) + "\n");
        }
        EXPECT_FALSE(fs::exists(logs.folder() / "pzlog_5.log"));
    }
}

TEST(LogFileInAppData, OnlyLogFilesCountTowardsTheFive) {
    AppDataLogFolder logs;
    logs.plant("pzlog_0.log", "zero\n", 1000);
    logs.plant("pzlog_1.log", "one\n", 2000);
    logs.plant("notes.txt", "not a log\n", 500);
    logs.plant("pzlog_7.log.bak", "not a log either\n", 500);
    fs::create_directories(logs.folder() / "folder.log");
    EXPECT_EQ(writeFirstLine("third\n"), "Log file:\n" + logs.file("pzlog_2.log") + "\n");
    EXPECT_EQ(readFile(logs.file("pzlog_2.log")), "third\r\n");
    EXPECT_EQ(readFile(logs.file("notes.txt")), "not a log\n");
}

}  // namespace
