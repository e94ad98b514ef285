// Runs code that needs a display in a child process: on Windows the desktop
// is always there; elsewhere on the display the tests were given (DISPLAY),
// else on a private virtual display started with xvfb-run. A window tool ends
// its process on a GLFW error and keeps GLFW and Dear ImGui state for the life
// of the process, so each such test gets a process of its own.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/tests/child_process.h"

namespace ZarnTest {

using zarn::testing::selfExecutable;

struct ChildResult {
    int exitCode = -1;   // -1 when the child did not exit normally
    std::string output;  // standard output and standard error, interleaved
};

// How a child can get a display: the one given, or a virtual one. Empty when
// neither exists, so the caller skips with that reason.
inline std::string displayLauncher() {
    if (zarn::testing::desktopAlwaysPresent()) return "display";
    const char* display = std::getenv("DISPLAY");
    if (display != nullptr && display[0] != '\0') return "display";
    for (const char* launcher : {"/usr/bin/xvfb-run", "/bin/xvfb-run", "/usr/local/bin/xvfb-run"}) {
        std::error_code ignored;
        if (std::filesystem::is_regular_file(launcher, ignored)) return launcher;
    }
    return {};
}

// Runs argv (argv[0] a path) with extra "NAME=value" entries added to the
// environment (an empty value removes the name), and returns its exit code
// and everything it wrote.
inline ChildResult runChild(const std::vector<std::string>& command,
                            const std::vector<std::string>& extraEnvironment) {
    zarn::testing::ChildOptions options;
    options.mergeOutputs = true;
    // Software rendering draws on the calling thread alone: its worker
    // threads would add load and scheduling noise to timed frames, and the
    // thread sanitizer cannot see how those uninstrumented threads sync.
    options.environment["LP_NUM_THREADS"] = "0";
    // Nor may it keep a shader cache in the user's home: tests write only
    // into temporary folders (and the cache's writer thread would still be
    // ending while the leak checker stops the process at exit).
    options.environment["MESA_SHADER_CACHE_DISABLE"] = "true";
    for (const std::string& entry : extraEnvironment) {
        const size_t equals = entry.find('=');
        const std::string name = entry.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : entry.substr(equals + 1);
        if (value.empty()) {
            // Windows has no display variable to take away: its desktop is
            // always there, and under Wine the child's X connection needs it.
            if (name == "DISPLAY" && zarn::testing::desktopAlwaysPresent()) continue;
            options.environment.erase(name);
        } else {
            options.environment[name] = value;
        }
    }
    // A window test's child has its own bound inside; this one only keeps a
    // broken build from hanging the run.
    options.bound = std::chrono::minutes(2);
    const zarn::testing::ChildResult run = zarn::testing::runChild(command, options);
    ChildResult result;
    if (!run.started) {
        result.output = "could not start " + command[0] + ": " + run.failure;
        return result;
    }
    result.exitCode = run.outlivedBound ? -1 : run.exitStatus;
    result.output = zarn::testing::fromTextMode(run.out);
    return result;
}

// runChild on a display (see displayLauncher, which must not be empty).
inline ChildResult runOnDisplay(const std::vector<std::string>& argv,
                                const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> command;
    const std::string launcher = displayLauncher();
    if (launcher != "display") {
        // -a looks for a free server number from -n upward; starting at a
        // number derived from the clock keeps parallel test processes apart.
        const auto spread = std::chrono::steady_clock::now().time_since_epoch().count() % 5000;
        command = {launcher, "-a", "-n", std::to_string(100 + spread), "-s", "-screen 0 1024x768x24"};
    }
    command.insert(command.end(), argv.begin(), argv.end());
    return runChild(command, extraEnvironment);
}

}  // namespace ZarnTest
