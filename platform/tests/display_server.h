// A virtual display server of a test's own, for tests that take the display
// away from a running program. Only systems whose programs reach their
// display through a server have one; on Windows the desktop is always there,
// and start() reports that none can be started.
#pragma once

#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace zarn::testing {

class DisplayServer {
public:
    DisplayServer() = default;
    DisplayServer(const DisplayServer&) = delete;
    DisplayServer& operator=(const DisplayServer&) = delete;
    ~DisplayServer() { end(); }

    // Starts the server, with `extra` arguments of its own (such as an
    // extension to leave out); its display number once it accepts clients,
    // -1 when it cannot be started here.
    int start(const std::vector<std::string>& extra = {}) {
#ifdef _WIN32
        (void)extra;
        return -1;
#else
        const char* program = "/usr/bin/Xvfb";
        if (access(program, X_OK) != 0) return -1;
        int ready[2];
        if (pipe(ready) != 0) return -1;
        const std::string readyFd = std::to_string(ready[1]);
        std::vector<std::string> argText = {program, "-displayfd", readyFd, "-nolisten", "tcp", "-screen", "0",
                                            "1024x768x24"};
        argText.insert(argText.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& text : argText) argv.push_back(text.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, ready[0]);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawn(&pid_, program, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(ready[1]);
        if (spawned != 0) pid_ = -1;
        std::string number;
        // The server writes its number when it is ready; it takes well under
        // a second, the bound only keeps a broken server from hanging the test.
        pollfd fd = {ready[0], POLLIN, 0};
        while (pid_ > 0 && poll(&fd, 1, 20000) > 0) {
            char c;
            if (read(ready[0], &c, 1) != 1 || c == '\n') break;
            number.push_back(c);
        }
        close(ready[0]);
        if (number.empty()) end();
        return number.empty() ? -1 : std::stoi(number);
#endif
    }

    // Ends the server (its clients lose their display) and waits for it.
    void end() {
#ifndef _WIN32
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
#endif
    }

private:
#ifndef _WIN32
    pid_t pid_ = -1;
#endif
};

}  // namespace zarn::testing
