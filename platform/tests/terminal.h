// A program run in a terminal of the test's own, as a person runs it: its
// standard streams are a new pseudo-terminal that is its controlling
// terminal, so what the test types there is what a user's keys do (Ctrl+C
// signals the foreground process group, Ctrl+S and Ctrl+Q pause and resume
// the program's output), and the test reads the screen as it fills.
// Pseudo-terminals are POSIX; elsewhere a run reports that it could not start.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace zarn::testing {

struct TerminalOptions {
    // The program's whole environment (NAME -> value).
    std::map<std::string, std::string> environment;
    // Far beyond any run the tests make; keeps a hung program from hanging the test.
    std::chrono::milliseconds bound = std::chrono::seconds(60);
    // Called with the screen so far after every piece of output and every
    // few milliseconds in between; what it returns is typed.
    std::function<std::string(const std::string& screen)> keys;
};

struct TerminalResult {
    bool started = false;
    int exitStatus = -1;         // its exit status; -1 when a signal ended it
    int exitSignal = 0;          // the signal that ended it
    bool outlivedBound = false;  // ended by the bound
    std::string screen;          // all it wrote, line ends as "\n"
    std::string failure;         // why it could not start
};

#ifdef _WIN32
inline TerminalResult runInTerminal(const std::vector<std::string>&, const TerminalOptions&) {
    TerminalResult result;
    result.failure = "no pseudo-terminals here";
    return result;
}
#else
inline TerminalResult runInTerminal(const std::vector<std::string>& argv, const TerminalOptions& options) {
    TerminalResult result;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* slaveName = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    if (slaveName == nullptr || argv.empty()) {
        result.failure = "no pseudo-terminal";
        if (master >= 0) close(master);
        return result;
    }
    // Everything the child needs, made before the fork: after it, only
    // what is safe in a copy of a threaded process runs.
    const std::string slave = slaveName;
    std::vector<std::string> envText;
    for (const auto& [name, value] : options.environment) envText.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : envText) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> argText = argv;
    std::vector<char*> args;
    for (std::string& word : argText) args.push_back(word.data());
    args.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        // A session of its own, whose controlling terminal the slave
        // becomes when it is opened, with the keys' default actions.
        setsid();
        const int terminal = open(slave.c_str(), O_RDWR);
        if (terminal < 0) _exit(127);
        // A key that signals (Ctrl+C) leaves what was written before it
        // on the screen: the test reads the screen later than a person sees it.
        termios settings{};
        if (tcgetattr(terminal, &settings) == 0) {
            settings.c_lflag |= NOFLSH;
            tcsetattr(terminal, TCSANOW, &settings);
        }
        for (int descriptor = 0; descriptor <= 2; ++descriptor) dup2(terminal, descriptor);
        if (terminal > 2) close(terminal);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(signal, SIG_DFL);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (pid < 0) {
        result.failure = "fork failed";
        close(master);
        return result;
    }
    result.started = true;

    // The screen ends when the last holder of the terminal has gone (the
    // read fails with EIO). The terminal ends lines with "\r\n".
    const auto deadline = std::chrono::steady_clock::now() + options.bound;
    bool carriageReturn = false;  // the last piece ended with '\r'
    for (;;) {
        pollfd one{master, POLLIN, 0};
        if (poll(&one, 1, 2) > 0) {
            char buffer[4096];
            const ssize_t got = read(master, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            for (ssize_t i = 0; i < got; ++i) {
                if (carriageReturn && buffer[i] != '\n') result.screen += '\r';
                carriageReturn = buffer[i] == '\r';
                if (!carriageReturn) result.screen += buffer[i];
            }
        }
        if (!result.outlivedBound && std::chrono::steady_clock::now() > deadline) {
            result.outlivedBound = true;
            kill(-pid, SIGKILL);
        }
        const std::string typed = options.keys && !result.outlivedBound ? options.keys(result.screen) : "";
        if (!typed.empty() && write(master, typed.data(), typed.size()) < 0) {
            // A terminal that the program has left takes no keys.
        }
    }
    close(master);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.exitSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}
#endif

}  // namespace zarn::testing
