// Runs code that needs an X display in a child process: on the display the
// tests were given (DISPLAY), else on a private virtual display started with
// xvfb-run. A window tool ends its process on a GLFW error and keeps GLFW and
// Dear ImGui state for the life of the process, so each such test gets a
// process of its own.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace ZarnTest {

// The running executable's path (a launcher script would read /proc/self/exe
// as itself).
inline std::string selfExecutable() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

struct ChildResult {
    int exitCode = -1;   // -1 when the child did not exit normally
    std::string output;  // standard output and standard error, interleaved
};

// How a child can get a display: the one given, or a virtual one. Empty when
// neither exists, so the caller skips with that reason.
inline std::string displayLauncher() {
    const char* display = std::getenv("DISPLAY");
    if (display != nullptr && display[0] != '\0') return "display";
    for (const char* dir : {"/usr/bin/xvfb-run", "/bin/xvfb-run", "/usr/local/bin/xvfb-run"}) {
        if (access(dir, X_OK) == 0) return dir;
    }
    return {};
}

// Runs argv (argv[0] a path) with extra "NAME=value" entries added to the
// environment, and returns its exit code and everything it wrote.
inline ChildResult runChild(std::vector<std::string> command,
                            const std::vector<std::string>& extraEnvironment) {
    // The extra entries come first: getenv takes the first entry of a name.
    std::vector<std::string> environment = extraEnvironment;
    // Software rendering draws on the calling thread alone: its worker
    // threads would add load and scheduling noise to timed frames, and the
    // thread sanitizer cannot see how those uninstrumented threads sync.
    environment.emplace_back("LP_NUM_THREADS=0");
    // Nor may it keep a shader cache in the user's home: tests write only
    // into temporary folders (and the cache's writer thread would still be
    // ending while the leak checker stops the process at exit).
    environment.emplace_back("MESA_SHADER_CACHE_DISABLE=true");
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);

    std::vector<char*> childArgv;
    for (auto& word : command) childArgv.push_back(word.data());
    childArgv.push_back(nullptr);
    std::vector<char*> childEnv;
    for (auto& entry : environment) childEnv.push_back(entry.data());
    childEnv.push_back(nullptr);

    int pipeFds[2];
    ChildResult result;
    if (pipe(pipeFds) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, childArgv[0], &actions, nullptr, childArgv.data(), childEnv.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        result.output = "could not start " + command[0];
        return result;
    }
    // The pipe closes when the child (and the virtual display) end.
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got > 0) {
            result.output.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

// runChild on a display (see displayLauncher, which must not be empty).
inline ChildResult runOnDisplay(const std::vector<std::string>& argv,
                                const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> command;
    const std::string launcher = displayLauncher();
    if (launcher != "display") {
        // -a looks for a free server number from -n upward; starting at a
        // number derived from our pid keeps parallel test processes apart.
        command = {launcher, "-a", "-n", std::to_string(100 + getpid() % 5000), "-s",
                   "-screen 0 1024x768x24"};
    }
    command.insert(command.end(), argv.begin(), argv.end());
    return runChild(std::move(command), extraEnvironment);
}

}  // namespace ZarnTest
