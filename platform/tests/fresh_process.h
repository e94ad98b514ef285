// Runs one test in a process of its own, for a test that needs what a
// process has only once (a context created on first use, a library loaded
// once): the test binary starts itself again with a filter for that one test
// and takes its exit code. So the binary passes both when CTest starts every
// test in its own process and when a developer runs it as one process.
//
//   TEST(Suite, Name) {
//       ZARN_RUN_IN_FRESH_PROCESS();
//       ... the test, which then runs only in the fresh process ...
//   }
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <vector>
extern char** environ;
#endif

namespace zarn::testing {

inline constexpr char kFreshProcessVariable[] = "ZARN_TEST_FRESH_PROCESS";

// True inside the process that runCurrentTestInFreshProcess started.
inline bool inFreshProcess() {
    const char* value = std::getenv(kFreshProcessVariable);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// Runs the current test, alone, in a new process of this binary; its exit
// code, or -1 when the process could not be started or did not end within
// `boundMs` (then it is ended).
inline int runCurrentTestInFreshProcess(unsigned boundMs = 120000) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
#ifdef _WIN32
    char path[MAX_PATH] = {};
    if (GetModuleFileNameA(nullptr, path, sizeof(path)) == 0) return -1;
    std::string command = std::string("\"") + path + "\" " + filter;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    // The child inherits the environment as it is at its start.
    SetEnvironmentVariableA(kFreshProcessVariable, "1");
    const BOOL started =
        CreateProcessA(path, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableA(kFreshProcessVariable, nullptr);
    if (!started) return -1;
    int code = -1;
    if (WaitForSingleObject(process.hProcess, boundMs) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        if (GetExitCodeProcess(process.hProcess, &exitCode)) code = static_cast<int>(exitCode);
    } else {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
#else
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) return -1;
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    environment.push_back(std::string(kFreshProcessVariable) + "=1");
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string argument = filter;
    char* argv[] = {path, argument.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, path, nullptr, nullptr, argv, envp.data()) != 0) return -1;
    // Waited for with a bound, so that a hung child is ended, not waited out.
    auto ended = std::async(std::launch::async, [pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return status;
    });
    if (ended.wait_for(std::chrono::milliseconds(boundMs)) != std::future_status::ready) {
        kill(pid, SIGKILL);
        ended.get();
        return -1;
    }
    const int status = ended.get();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

}  // namespace zarn::testing

// In the parent: run this test in a fresh process, check that it passed and
// leave the test. In the fresh process: go on with the test.
#define ZARN_RUN_IN_FRESH_PROCESS()                                                              \
    do {                                                                                         \
        if (!::zarn::testing::inFreshProcess()) {                                                \
            EXPECT_EQ(::zarn::testing::runCurrentTestInFreshProcess(), 0)                         \
                << "the test failed in its own process (its output is above)";                    \
            return;                                                                              \
        }                                                                                        \
    } while (false)
