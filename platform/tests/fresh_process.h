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

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/tests/child_process.h"

namespace zarn::testing {

inline constexpr char kFreshProcessVariable[] = "ZARN_TEST_FRESH_PROCESS";

// True inside the process that runCurrentTestInFreshProcess started.
inline bool inFreshProcess() {
    const char* value = std::getenv(kFreshProcessVariable);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// Runs the current test, alone, in a new process of this binary; its exit
// code, or -1 when the process could not be started or did not end within
// `bound` (then it is ended). What the process wrote goes to `output`.
inline int runCurrentTestInFreshProcess(std::string& output,
                                        std::chrono::milliseconds bound = std::chrono::minutes(2)) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    ChildOptions options;
    options.environment[kFreshProcessVariable] = "1";
    options.mergeOutputs = true;
    options.bound = bound;
    const ChildResult child = runChild({selfExecutable(), filter}, options);
    output = child.started ? child.out : child.failure;
    return child.started && !child.outlivedBound ? child.exitStatus : -1;
}

}  // namespace zarn::testing

// In the parent: run this test in a fresh process, check that it passed and
// leave the test. In the fresh process: go on with the test.
#define ZARN_RUN_IN_FRESH_PROCESS()                                                              \
    do {                                                                                         \
        if (!::zarn::testing::inFreshProcess()) {                                                \
            std::string freshOutput;                                                             \
            EXPECT_EQ(::zarn::testing::runCurrentTestInFreshProcess(freshOutput), 0)             \
                << "the test failed in its own process:\n" << freshOutput;                       \
            return;                                                                              \
        }                                                                                        \
    } while (false)
