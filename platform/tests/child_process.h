// What tests need from the system to run other programs and to shape their
// own process, with a body for each system: the environment, the running
// executable's path, and a child process started with arguments and an
// environment of the test's choice whose standard output and standard error
// are read as they come, bounded in time and stoppable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/wide_text.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;
#endif

namespace zarn::testing {

// Sets (or with a null value removes) a variable of this process's own
// environment, as getenv sees it.
inline void setEnvironment(const char* name, const char* value) {
#ifdef _WIN32
    // An empty value removes the variable in the C runtime's copy; the
    // system's copy is what children inherit.
    _putenv_s(name, value != nullptr ? value : "");
    SetEnvironmentVariableA(name, value);
#else
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
}

// The running executable's path (a launcher would report itself, not the
// program it runs).
inline std::string selfExecutable() {
#ifdef _WIN32
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
#else
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
#endif
}

// A program built into the running test executable's own folder; the build
// names it by its file name alone, since the build machine's path to it is
// not the path a Windows process sees under Wine.
inline std::string besideThisExecutable(const std::string& fileName) {
    std::string self = selfExecutable();
    const size_t slash = self.find_last_of("/\\");
    return slash == std::string::npos ? fileName : self.substr(0, slash + 1) + fileName;
}

// True where a desktop is always there for windows (Windows); elsewhere a
// display must be given.
inline bool desktopAlwaysPresent() {
#ifdef _WIN32
    return true;
#else
    return false;
#endif
}

// This process's environment as NAME -> value.
inline std::map<std::string, std::string> currentEnvironment() {
    std::map<std::string, std::string> variables;
    auto add = [&](const char* entry) {
        const std::string text = entry;
        // Windows keeps per-drive folders as "=C:=C:\\..." entries: a name
        // never starts with '='.
        const size_t equals = text.find('=', 1);
        if (equals != std::string::npos) variables.emplace(text.substr(0, equals), text.substr(equals + 1));
    };
#ifdef _WIN32
    // The wide block, as UTF-8: the A form would garble what the ANSI code page lacks.
    wchar_t* block = GetEnvironmentStringsW();
    if (block == nullptr) return variables;
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        std::string text;
        if (PLAT_fromWide(entry, &text)) add(text.c_str());
    }
    FreeEnvironmentStringsW(block);
#else
    for (char** entry = environ; *entry != nullptr; ++entry) add(*entry);
#endif
    return variables;
}

struct ChildOptions {
    // The child's whole environment (NAME -> value).
    std::map<std::string, std::string> environment = currentEnvironment();
    // Standard error into the same stream as standard output, in the order written.
    bool mergeOutputs = false;
    // Far beyond any run the tests make; keeps a hung child from hanging the test.
    std::chrono::milliseconds bound = std::chrono::seconds(60);
    // Looked at after every piece of output (standard output, standard
    // error so far); true ends the child at once.
    std::function<bool(const std::string&, const std::string&)> stopWhen;
    // Called once the child runs, with its process id, before its output is read.
    std::function<void(unsigned long)> onStarted;
    // Standard output: a 4-KiB pipe nobody reads until standard error ends.
    bool outputUnread = false;
    // The child can be sent requestStop (Windows: it shares the test's console).
    bool interruptible = false;
    // 1 or 2: the child starts with that standard stream closed (Windows: no handle).
    int missingStream = 0;
};

struct ChildResult {
    bool started = false;
    int exitStatus = -1;         // the exit status; -1 when a signal (or the test) ended it
    int exitSignal = 0;          // the signal that ended it (POSIX)
    bool stoppedByTest = false;  // stopWhen asked for the end
    bool outlivedBound = false;  // ended by the bound
    std::string out;             // standard output (with standard error when merged)
    std::string err;             // standard error
    std::string failure;         // why it could not start
};

// What a program wrote in text mode, with its line ends as "\n": the
// Windows C runtime writes "\r\n" for every "\n" of a text-mode stream.
inline std::string fromTextMode(std::string text) {
#ifdef _WIN32
    size_t to = 0;
    for (size_t from = 0; from < text.size(); ++from) {
        if (text[from] == '\r' && from + 1 < text.size() && text[from + 1] == '\n') continue;
        text[to++] = text[from];
    }
    text.resize(to);
#endif
    return text;
}

namespace detail {

// The output both reader threads append to, and the condition the test's
// thread waits on.
struct ChildOutput {
    std::mutex mutex;
    std::condition_variable changed;
    std::string text[2];
    int open = 0;
};

#ifdef _WIN32
using PipeEnd = HANDLE;
inline void closeEnd(PipeEnd end) { CloseHandle(end); }

// One argument as the C runtime's command-line parser reads it back.
inline std::string quoteArgument(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) return word;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are escaped, and the quote too.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

// Console events reach the processes on the sender's console (under Wine,
// not one a shell gave): the test takes its own, shared by its children.
inline BOOL WINAPI passEventsBy(DWORD) { return TRUE; }
inline void shareAConsole() {
    static std::once_flag once;
    std::call_once(once, [] {
        FreeConsole();
        AllocConsole();
        SetConsoleCtrlHandler(&passEventsBy, TRUE);
    });
}

struct Child {
    PROCESS_INFORMATION process{};

    bool start(const std::vector<std::string>& argv, const ChildOptions& options, PipeEnd readers[2],
               std::string& failure) {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE writers[2] = {nullptr, nullptr};
        const int pipes = options.mergeOutputs ? 1 : 2;
        for (int i = 0; i < pipes; ++i) {
            const DWORD size = i == 0 && options.outputUnread ? 4096 : 0;
            if (!CreatePipe(&readers[i], &writers[i], &inheritable, size)) {
                failure = "CreatePipe failed";
                return false;
            }
            // Only the writing end belongs to the child.
            SetHandleInformation(readers[i], HANDLE_FLAG_INHERIT, 0);
        }
        HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                   OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input;
        startup.hStdOutput = options.missingStream == 1 ? nullptr : writers[0];
        startup.hStdError = options.missingStream == 2 ? nullptr : writers[pipes - 1];

        // Arguments and environment are UTF-8; the child gets them wide.
        std::string commandLine;
        for (const std::string& word : argv) commandLine += (commandLine.empty() ? "" : " ") + quoteArgument(word);
        std::string block;
        for (const auto& [name, value] : options.environment) block += name + "=" + value + '\0';
        block += '\0';
        if (options.interruptible) shareAConsole();
        std::wstring program, wideCommandLine, wideBlock;
        const bool created = PLAT_toWide(argv[0], &program) && PLAT_toWide(commandLine, &wideCommandLine) &&
                             PLAT_toWide(block, &wideBlock) &&
                             CreateProcessW(program.c_str(), wideCommandLine.data(), nullptr, nullptr, TRUE,
                                            CREATE_UNICODE_ENVIRONMENT, wideBlock.data(), nullptr, &startup, &process);
        if (!created) failure = "CreateProcess failed with error " + std::to_string(GetLastError());
        for (int i = 0; i < pipes; ++i) CloseHandle(writers[i]);
        if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
        return created;
    }
    // The next piece of output; 0 once the child has ended and all it wrote
    // is read. A process the child starts (Wine starts its desktop process
    // from the first program that opens a window) inherits the child's
    // output handles and may keep the pipe open long after the child ended,
    // so the child's end, not the pipe's, ends the output: while the pipe is
    // empty, this waits on the process for 10 ms at a time.
    long read(PipeEnd end, char* buffer, size_t size) const {
        for (;;) {
            DWORD waiting = 0;
            if (!PeekNamedPipe(end, nullptr, 0, nullptr, &waiting, nullptr)) return 0;  // every writer is gone
            if (waiting > 0) {
                DWORD got = 0;
                const DWORD take = waiting < size ? waiting : static_cast<DWORD>(size);
                if (!ReadFile(end, buffer, take, &got, nullptr)) return 0;
                return static_cast<long>(got);
            }
            if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) {
                // Ended: what it wrote before is in the pipe already.
                if (!PeekNamedPipe(end, nullptr, 0, nullptr, &waiting, nullptr) || waiting == 0) return 0;
            }
        }
    }
    unsigned long id() const { return process.dwProcessId; }
    void stop() { TerminateProcess(process.hProcess, 1); }
    int wait(bool& ended, int&) {
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return ended ? -1 : static_cast<int>(code);
    }
};
#else
using PipeEnd = int;
inline void closeEnd(PipeEnd end) { close(end); }

struct Child {
    pid_t pid = -1;

    bool start(const std::vector<std::string>& argv, const ChildOptions& options, PipeEnd readers[2],
               std::string& failure) {
        int pipes[2][2];
        const int count = options.mergeOutputs ? 1 : 2;
        for (int i = 0; i < count; ++i) {
            if (pipe(pipes[i]) != 0) {
                failure = "pipe failed";
                return false;
            }
            fcntl(pipes[i][0], F_SETFD, FD_CLOEXEC);
            if (i == 0 && options.outputUnread) fcntl(pipes[i][1], F_SETPIPE_SZ, 4096);
            readers[i] = pipes[i][0];
        }
        std::vector<std::string> argText = argv;
        std::vector<char*> args;
        for (std::string& word : argText) args.push_back(word.data());
        args.push_back(nullptr);
        std::vector<std::string> envText;
        for (const auto& [name, value] : options.environment) envText.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (std::string& entry : envText) envp.push_back(entry.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, pipes[0][1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pipes[count - 1][1], STDERR_FILENO);
        for (int i = 0; i < count; ++i) posix_spawn_file_actions_addclose(&actions, pipes[i][1]);
        if (options.missingStream != 0) posix_spawn_file_actions_addclose(&actions, options.missingStream);
        const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < count; ++i) close(pipes[i][1]);
        if (spawned != 0) failure = std::string("posix_spawn failed: ") + std::strerror(spawned);
        return spawned == 0;
    }
    // The next piece of output; 0 once every writer of the pipe is gone.
    long read(PipeEnd end, char* buffer, size_t size) const {
        for (;;) {
            const ssize_t got = ::read(end, buffer, size);
            if (got >= 0 || errno != EINTR) return static_cast<long>(got);
        }
    }
    unsigned long id() const { return static_cast<unsigned long>(pid); }
    void stop() { kill(pid, SIGTERM); }
    int wait(bool&, int& signal) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};
#endif

}  // namespace detail

// Signals, process groups and /bin/sh: all but Windows, where the desktop is always there.
inline bool hasPosixJobs() { return !desktopAlwaysPresent(); }

// Asks a child to stop: Ctrl+C (to an `interruptible` child; Wine sends no
// Ctrl+Break), or SIGINT and SIGTERM; HangUp is SIGHUP, which Windows lacks.
// `group`: to the process group the child leads. False when not sent.
enum class StopRequest { First, Second, HangUp };
// The status of a child such a request ended: by the signal, or by the
// system's default handler (Wine's gives 0).
inline bool endedByStopRequest(int exitStatus) {
#ifdef _WIN32
    return exitStatus == static_cast<int>(0xC000013AL) || exitStatus == 0;
#else
    return exitStatus == -1;
#endif
}
// The status of a child that held `request` back and ended by it once its
// work was done: its signal (POSIX; a shell that ran it as a pipeline's
// first command reports 128 plus the signal), STATUS_CONTROL_C_EXIT (Windows).
inline bool endedAsInterruptedBy(StopRequest request, int exitStatus, int exitSignal) {
#ifdef _WIN32
    (void)request;
    (void)exitSignal;
    return exitStatus == static_cast<int>(0xC000013AL);
#else
    const int signal = request == StopRequest::First ? SIGINT : request == StopRequest::Second ? SIGTERM : SIGHUP;
    return exitSignal == signal || exitStatus == 128 + signal;
#endif
}
inline bool requestStop(unsigned long id, StopRequest request, bool group = false) {
#ifdef _WIN32
    (void)id;
    (void)group;
    return request != StopRequest::HangUp && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != FALSE;
#else
    const int signal = request == StopRequest::First ? SIGINT : request == StopRequest::Second ? SIGTERM : SIGHUP;
    return kill(group ? -static_cast<pid_t>(id) : static_cast<pid_t>(id), signal) == 0;
#endif
}

// Runs argv (argv[0] a path) to its end, reading what it writes as it
// comes; stopWhen and the bound may end it sooner.
inline ChildResult runChild(const std::vector<std::string>& argv, const ChildOptions& options = {}) {
    ChildResult result;
    detail::PipeEnd readers[2]{};
    detail::Child child;
    if (argv.empty() || !child.start(argv, options, readers, result.failure)) return result;
    result.started = true;
    if (options.onStarted) options.onStarted(child.id());

    detail::ChildOutput output;
    const int streams = options.mergeOutputs ? 1 : 2;
    const int firstRead = options.outputUnread ? 1 : 0;
    output.open = streams - firstRead;
    std::vector<std::thread> threads;
    for (int i = firstRead; i < streams; ++i) {
        threads.emplace_back([&output, &child, end = readers[i], i] {
            char buffer[4096];
            long got = 0;
            while ((got = child.read(end, buffer, sizeof buffer)) > 0) {
                std::lock_guard<std::mutex> lock(output.mutex);
                output.text[i].append(buffer, static_cast<size_t>(got));
                output.changed.notify_all();
            }
            std::lock_guard<std::mutex> lock(output.mutex);
            --output.open;
            output.changed.notify_all();
        });
    }

    // The outputs end when the child ends.
    const auto deadline = std::chrono::steady_clock::now() + options.bound;
    bool ended = false;
    {
        std::unique_lock<std::mutex> lock(output.mutex);
        size_t seen = 0;
        while (output.open > 0) {
            const size_t now = output.text[0].size() + output.text[1].size();
            if (!ended && options.stopWhen && now != seen && options.stopWhen(output.text[0], output.text[1])) {
                ended = true;
                result.stoppedByTest = true;
                child.stop();
            }
            seen = now;
            if (ended) {
                // Stopped: the outputs close as the child goes.
                output.changed.wait(lock);
            } else if (output.changed.wait_until(lock, deadline) == std::cv_status::timeout && output.open > 0) {
                ended = true;
                result.outlivedBound = true;
                child.stop();
            }
        }
    }
    for (std::thread& thread : threads) thread.join();
    char rest[4096];
    for (long got = 0; options.outputUnread && (got = child.read(readers[0], rest, sizeof rest)) > 0;) {
        output.text[0].append(rest, static_cast<size_t>(got));
    }
    for (int i = 0; i < streams; ++i) detail::closeEnd(readers[i]);
    result.exitStatus = child.wait(ended, result.exitSignal);
    result.out = std::move(output.text[0]);
    result.err = std::move(output.text[1]);
    return result;
}

}  // namespace zarn::testing
