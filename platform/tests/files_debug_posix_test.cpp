// Application-data folder, folder creation, file search and debugger
// detection on Linux.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "zarn-plat-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Sets or unsets an environment variable for one test and puts it back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (previous_) {
            ::setenv(name_, previous_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

void makeFile(const fs::path& path, time_t mtime) {
    std::ofstream(path) << "content\n";
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// ---------------------------------------------------------------------------

TEST(AppDataFolder, DataHomeWhenAbsoluteElseLocalShareUnderHome) {
    ScopedEnv home("HOME", "/home/tester");
    struct Case {
        const char* dataHome;
        const char* expected;
    };
    const Case cases[] = {
        {"/var/tmp/data", "/var/tmp/data"},
        {nullptr, "/home/tester/.local/share"},
        {"", "/home/tester/.local/share"},
        {"relative/data", "/home/tester/.local/share"},
    };
    for (const Case& c : cases) {
        ScopedEnv dataHome("XDG_DATA_HOME", c.dataHome);
        std::string folder;
        ASSERT_TRUE(PLAT_getLocalAppDataFolder(&folder)) << (c.dataHome ? c.dataHome : "(unset)");
        EXPECT_EQ(folder, c.expected);
    }
}

TEST(AppDataFolder, AccountHomeWhenHomeIsUnset) {
    ScopedEnv dataHome("XDG_DATA_HOME", nullptr);
    ScopedEnv home("HOME", nullptr);
    std::string folder;
    ASSERT_TRUE(PLAT_getLocalAppDataFolder(&folder));
    EXPECT_EQ(folder.front(), '/');
    EXPECT_TRUE(folder.ends_with("/.local/share")) << folder;
}

TEST(CreateFolder, CreatesMissingParentsAndAcceptsExistingFolders) {
    TempFolder temp;
    const fs::path nested = temp.path() / "a" / "b" / "Morvale";
    EXPECT_TRUE(PLAT_createFolder(nested.string()));
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_TRUE(PLAT_createFolder(nested.string()));  // existing is fine
    EXPECT_TRUE(PLAT_createFolder((temp.path() / "c//d/").string()));
    EXPECT_TRUE(fs::is_directory(temp.path() / "c" / "d"));
}

TEST(CreateFolder, FailsWhenAFileIsInTheWay) {
    TempFolder temp;
    std::ofstream(temp.path() / "plain") << "x";
    EXPECT_FALSE(PLAT_createFolder((temp.path() / "plain").string()));
    EXPECT_FALSE(PLAT_createFolder((temp.path() / "plain" / "below").string()));
    EXPECT_FALSE(PLAT_createFolder(""));
}

TEST(FindFiles, MatchesTheExtensionOnlyWithLastWriteTimes) {
    TempFolder temp;
    makeFile(temp.path() / "pzlog_0.log", 1700000000);
    makeFile(temp.path() / "other.log", 1600000000);
    makeFile(temp.path() / ".log", 1650000000);
    makeFile(temp.path() / "notes.txt", 1500000000);
    makeFile(temp.path() / "pzlog_1.log.bak", 1500000000);
    makeFile(temp.path() / "upper.LOG", 1500000000);
    fs::create_directory(temp.path() / "folder.log");

    std::vector<PLAT_fileEntry> found{{"stale", 1}};
    ASSERT_TRUE(PLAT_findFiles(temp.path().string(), "*.log", &found));
    std::sort(found.begin(), found.end(),
              [](const PLAT_fileEntry& a, const PLAT_fileEntry& b) { return a.name < b.name; });
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].name, ".log");
    EXPECT_EQ(found[1].name, "other.log");
    EXPECT_EQ(found[2].name, "pzlog_0.log");
    EXPECT_EQ(found[1].lastWriteTime, 1600000000ull * 1000000000ull);
    EXPECT_EQ(found[2].lastWriteTime, 1700000000ull * 1000000000ull);
}

TEST(FindFiles, EmptyFolderIsNotAnErrorButAMissingOneIs) {
    TempFolder temp;
    std::vector<PLAT_fileEntry> found{{"stale", 1}};
    EXPECT_TRUE(PLAT_findFiles(temp.path().string(), "*.log", &found));
    EXPECT_TRUE(found.empty());
    found.push_back({"stale", 1});
    EXPECT_FALSE(PLAT_findFiles((temp.path() / "missing").string(), "*.log", &found));
    EXPECT_TRUE(found.empty());
}

// Runs the check in a child process, traced by this one when traced is set.
// Exit code 0: present, 1: absent, 3: tracing is not allowed here.
int debuggerSeenByChild(bool traced) {
    pid_t child = ::fork();
    if (child == 0) {
        if (traced && ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(3);
        ::_exit(PLAT_isDebuggerPresent() ? 0 : 1);
    }
    int status = 0;
    for (;;) {
        if (::waitpid(child, &status, 0) != child) return -1;
        if (!WIFSTOPPED(status)) break;
        ::ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(WSTOPSIG(status))));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Debugger, TracedProcessSeesItsDebugger) {
    const int traced = debuggerSeenByChild(true);
    if (traced == 3) GTEST_SKIP() << "processes cannot be traced here";
    EXPECT_EQ(traced, 0);
    EXPECT_EQ(debuggerSeenByChild(false), 1);
}

TEST(Debugger, DebugOutputGoesToStandardError) {
    testing::internal::CaptureStderr();
    PLAT_outputDebugString("to the debugger\n");
    PLAT_outputDebugString(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to the debugger\n");
}

}  // namespace
