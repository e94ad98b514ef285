// Windows' own bodies of the platform functions: clocks, local time, the path
// separator, the debugger check, the LocalAppData known folder, folder
// creation and the file search with FILETIME stamps (UTF-8 paths with
// characters of no ANSI code page), and where libraries are loaded from.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/tests/child_process.h"
#include "platform/tests/fresh_process.h"
#include "platform/tests/temp_folder.h"
#include "platform/win32.h"

namespace {

namespace fs = std::filesystem;
using zarn::testing::TempFolder;

fs::path utf8Path(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

// FILETIME counts 100-ns ticks from 1601-01-01.
constexpr uint64_t kSeconds1601To1970 = 11644473600ull;

void makeFile(const fs::path& path, int64_t secondsSince1970) {
    std::ofstream(path) << "content\n";
    const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(secondsSince1970));
    fs::last_write_time(path, std::chrono::file_clock::from_sys(when));
}

TEST(WindowsClock, CounterRisesAtItsFrequencyAndSystemTimeCountsFrom1970) {
    EXPECT_GT(PLAT_perfFrequency(), 0);
    const int64_t first = PLAT_perfCounter();
    const int64_t second = PLAT_perfCounter();
    EXPECT_GE(second, first);

    auto wall = [] {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::system_clock::now().time_since_epoch()).count() * 10;
    };
    const int64_t before = wall();
    const int64_t ours = PLAT_systemTime100ns();
    const int64_t after = wall();
    // Between the C++ clock's readings around it, give or take 2 s for two
    // system clocks read differently; however long the machine took between
    // the readings.
    EXPECT_GE(ours, before - 20000000LL);
    EXPECT_LE(ours, after + 20000000LL);
}

TEST(WindowsClock, LocalTimeOfValidAndInvalidSeconds) {
    struct tm local {};
    ASSERT_TRUE(PLAT_localTime(12 * 3600, &local));  // noon of 1970-01-01 UTC: still that day anywhere within 12 h
    EXPECT_EQ(local.tm_year, 70);
    EXPECT_EQ(local.tm_mon, 0);
    EXPECT_EQ(local.tm_mday, 1);
    EXPECT_FALSE(PLAT_localTime(-1, &local)) << "no calendar time before 1970 on Windows";
}

TEST(WindowsPaths, SeparatorAndLocalAppDataFolder) {
    EXPECT_STREQ(PLAT_pathSeparator(), "\\");
    std::string folder;
    ASSERT_TRUE(PLAT_getLocalAppDataFolder(&folder));
    EXPECT_TRUE(fs::path(folder).is_absolute()) << folder;
    EXPECT_TRUE(folder.ends_with("\\AppData\\Local")) << folder;
    EXPECT_TRUE(fs::is_directory(folder)) << folder;
}

TEST(WindowsDebugger, NoneIsAttachedToTheTestRun) { EXPECT_FALSE(PLAT_isDebuggerPresent()); }

TEST(WindowsFolders, CreatesMissingParentsWithEitherSeparator) {
    TempFolder temp("zarn-plat");
    const std::string base = temp.path().string();
    const std::string cases[] = {
        base + "\\a\\b\\Morvale",
        base + "/c/d",
        base + "\\e\\\\f\\",
        base + "\\Юлия\\日本\\Morvale",
    };
    for (const std::string& folder : cases) {
        EXPECT_TRUE(PLAT_createFolder(folder)) << folder;
        EXPECT_TRUE(fs::is_directory(utf8Path(folder))) << folder;
        EXPECT_TRUE(PLAT_createFolder(folder)) << "existing is fine: " << folder;
    }
    std::ofstream(temp.path() / "plain") << "x";
    EXPECT_FALSE(PLAT_createFolder(base + "\\plain"));
    EXPECT_FALSE(PLAT_createFolder(base + "\\plain\\below"));
    EXPECT_FALSE(PLAT_createFolder(""));
}

TEST(WindowsFindFiles, MatchesTheExtensionWithFileTimeStamps) {
    TempFolder temp("zarn-plat");
    makeFile(temp.path() / "pzlog_0.log", 1700000000);
    makeFile(temp.path() / utf8Path("журнал.log"), 1600000000);
    makeFile(temp.path() / "notes.txt", 1500000000);
    // Its 8.3 short name ends in ".LOG", which the system's search matches too;
    // counted, it would be the oldest log file and be emptied for reuse.
    makeFile(temp.path() / "x.log1", 1400000000);
    fs::create_directory(temp.path() / "folder.log");

    std::vector<PLAT_fileEntry> found{{"stale", 1}};
    ASSERT_TRUE(PLAT_findFiles(temp.path().string(), "*.log", &found));
    std::sort(found.begin(), found.end(),
              [](const PLAT_fileEntry& a, const PLAT_fileEntry& b) { return a.name < b.name; });
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1].name, "журнал.log");
    EXPECT_EQ(found[0].name, "pzlog_0.log");
    EXPECT_EQ(found[1].lastWriteTime, (1600000000ull + kSeconds1601To1970) * 10000000ull);
    EXPECT_EQ(found[0].lastWriteTime, (1700000000ull + kSeconds1601To1970) * 10000000ull);
}

TEST(WindowsFindFiles, EmptyFolderIsNotAnErrorButAMissingOneIs) {
    TempFolder temp("zarn-plat");
    std::vector<PLAT_fileEntry> found{{"stale", 1}};
    EXPECT_TRUE(PLAT_findFiles(temp.path().string(), "*.log", &found));
    EXPECT_TRUE(found.empty());
    EXPECT_FALSE(PLAT_findFiles((temp.path() / "missing").string(), "*.log", &found));
}

// A library planted where a bare name would find it (here the current
// folder; on a user's machine the downloaded program's own folder) loads
// until the search is restricted, and no more after.
TEST(WindowsLibraries, BareNamesFindOnlySystemLibrariesOnceRestricted) {
    ZARN_RUN_IN_FRESH_PROCESS();  // the search order is the whole process's
    TempFolder temp("zarn-plat");
    const fs::path image = zarn::testing::besideThisExecutable("zarn_desktop_keeper.exe");
    fs::copy_file(image, temp.path() / "zarn_planted_before.dll");
    fs::copy_file(image, temp.path() / "zarn_planted_after.dll");
    const fs::path previous = fs::current_path();
    fs::current_path(temp.path());

    HMODULE before = LoadLibraryA("zarn_planted_before.dll");
    EXPECT_NE(before, nullptr) << "the planted library must load while the search is open";
    EXPECT_TRUE(PLAT_loadLibrariesFromSystemFolderOnly());
    EXPECT_EQ(LoadLibraryA("zarn_planted_after.dll"), nullptr);
    EXPECT_NE(LoadLibraryA("version.dll"), nullptr) << "system libraries still load";

    if (before != nullptr) FreeLibrary(before);
    fs::current_path(previous);
}

}  // namespace
