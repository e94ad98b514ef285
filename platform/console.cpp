// Raw writes to the standard streams, and stop requests held back while work
// that must not be cut runs: the decision is the same on both systems, only
// where the requests come from differs (a console control handler on
// Windows, a thread waiting for the signals elsewhere).
#include "platform/console.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <utility>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/wide_text.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#endif

namespace {

struct StopState {
    std::mutex mutex;
    std::condition_variable changed;
    bool installed = false;
    int depth = 0;            // scopes running
    bool held = false;        // a request was held back: the program ends by it after the work
    int heldSignal = 0;       // POSIX: the first held request's signal
    bool closing = false;     // the console is being closed: the system ends the process
    bool ending = false;      // the process is ending: no scope begins
    PLAT_stopHandlers handlers;
};

// Never destroyed: the handler thread may run while the process ends.
StopState& stopState() {
    static auto* state = new StopState;
    return *state;
}

// True when the request is held back, or comes after one that was (the
// program is on its way out already and shows its outcome first); false
// when it must end the process now (and from then on no scope begins, so no
// write starts under the end).
bool holdRequest(PLAT_stopRequest request, int signal) {
    StopState& s = stopState();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.depth == 0 && !s.held) {
        s.ending = true;
        return false;
    }
    if (request == PLAT_stopRequest::ConsoleClosed) s.closing = true;
    if (s.held) return true;
    s.held = true;
    s.heldSignal = signal;
    auto heldBack = s.handlers.heldBack;
    lock.unlock();
    if (heldBack) heldBack(request);
    return true;
}

// Stores the handlers; false when stop handling was installed before.
bool takeHandlers(PLAT_stopHandlers& handlers) {
    StopState& s = stopState();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.installed) return false;
    s.installed = true;
    s.handlers = std::move(handlers);
    return true;
}

#ifdef _WIN32

// The system's default for these events is ExitProcess; returning FALSE
// hands an event on to it.
BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            return holdRequest(PLAT_stopRequest::Interrupt, 0) ? TRUE : FALSE;
        case CTRL_CLOSE_EVENT: {
            if (!holdRequest(PLAT_stopRequest::ConsoleClosed, 0)) return FALSE;
            // The process ends when this handler returns, and in any case a
            // few seconds after the event: the work gets what is left of
            // them. The bound only keeps a system that forgets to end the
            // process from keeping it for ever.
            StopState& s = stopState();
            std::unique_lock<std::mutex> lock(s.mutex);
            s.changed.wait_for(lock, std::chrono::seconds(30), [&] { return s.depth == 0; });
            return TRUE;
        }
        default:
            return FALSE;
    }
}

bool startHandling() { return SetConsoleCtrlHandler(&onConsoleControl, TRUE) != FALSE; }

#else

// Ends the process by the signal itself, so its parent sees what it would
// have seen without us.
[[noreturn]] void endBySignal(int signal) {
    ::signal(signal, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal);
    _exit(128 + signal);
}

// Requests to stop: Ctrl+C, a kill, and the terminal that went away (a
// closed window, a dropped ssh session). SIGQUIT (Ctrl+\) is left to its
// default on purpose: it ends the program at once, write or no write.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Still the default action, as the program was started with it. A caller
// that ignores a signal passes that on to us through exec; blocked, an
// ignored signal would still reach sigwait on Linux.
bool actionIsDefault(int signal) {
    struct sigaction current {};
    return sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
           current.sa_handler == SIG_DFL;
}

bool startHandling() {
    // A console write to a pipe whose reader has ended (`| head`, a `tee`
    // that Ctrl+C ended with the rest of the job) then fails at once with
    // EPIPE and its text is not written; the work goes on.
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t requests;
    sigemptyset(&requests);
    bool any = false;
    for (const int signal : kStopSignals) {
        if (!actionIsDefault(signal)) continue;
        sigaddset(&requests, signal);
        any = true;
    }
    if (!any) return true;
    // Blocked here, and so in every thread started from now on: the one
    // thread below takes them with sigwait, where anything may be called.
    if (pthread_sigmask(SIG_BLOCK, &requests, nullptr) != 0) return false;
    std::thread([requests] {
        for (;;) {
            int signal = 0;
            if (sigwait(&requests, &signal) != 0) continue;
            if (!holdRequest(PLAT_stopRequest::Interrupt, signal)) endBySignal(signal);
        }
    }).detach();
    return true;
}

// Until the descriptor takes text again; false when it never will (closed,
// or its reader gone: the write after a hang-up fails and says so).
bool waitUntilWritable(int descriptor) {
    pollfd one{descriptor, POLLOUT, 0};
    for (;;) {
        const int ready = poll(&one, 1, -1);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0 && (one.revents & POLLNVAL) == 0;
    }
}

// A closed descriptor 0, 1 or 2 is the lowest free one: the next open takes
// it. Going up from 0, each open below lands on the descriptor looked at.
void openMissingStandardStreams() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = ::open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != descriptor) {
            dup2(opened, descriptor);
            ::close(opened);
        }
    }
}

// Before the program's own static initialisers (the default driver context,
// whatever a library keeps open): none of them may take a standard
// descriptor.
[[gnu::constructor(101)]] void openMissingStandardStreamsEarly() { openMissingStandardStreams(); }

#endif

}  // namespace

void PLAT_openMissingStandardStreams() {
#ifndef _WIN32
    openMissingStandardStreams();
#endif
}

bool PLAT_writeStandardStream(int stream, const char* text, size_t size) {
#ifdef _WIN32
    // A console shows UTF-8 text as itself only when it is given as UTF-16;
    // pipes and files keep the UTF-8 bytes.
    if (std::any_of(text, text + size, [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        const intptr_t os = _get_osfhandle(stream);
        HANDLE handle = os == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(os);
        DWORD mode = 0;
        std::wstring wide;
        if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) &&
            PLAT_toWide(std::string(text, size), &wide)) {
            DWORD written = 0;
            return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) != 0;
        }
    }
#endif
    while (size > 0) {
#ifdef _WIN32
        const unsigned piece = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
        const int written = _write(stream, text, piece);
        if (written <= 0) return false;
#else
        const ssize_t written = ::write(stream, text, size);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Left non-blocking by whoever shares the stream with us: it is
            // full, not gone. Wait, as a blocking write would, for room.
            if (!waitUntilWritable(stream)) return false;
            continue;
        }
        if (written <= 0) return false;
#endif
        text += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool PLAT_isInteractiveStream(int stream) {
#ifdef _WIN32
    const intptr_t os = _get_osfhandle(stream);
    DWORD mode = 0;
    return os != -1 && os != -2 && GetConsoleMode(reinterpret_cast<HANDLE>(os), &mode) != FALSE;
#else
    return isatty(stream) == 1;
#endif
}

bool PLAT_installStopHandling(PLAT_stopHandlers handlers) {
    if (!takeHandlers(handlers)) return false;
    if (startHandling()) return true;
    StopState& s = stopState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.installed = false;
    return false;
}

PLAT_UninterruptibleScope::PLAT_UninterruptibleScope() {
    StopState& s = stopState();
    std::unique_lock<std::mutex> lock(s.mutex);
    // The process is ending: whatever would begin here must not start.
    while (s.ending) s.changed.wait(lock);
    ++s.depth;
}

PLAT_UninterruptibleScope::~PLAT_UninterruptibleScope() {
    StopState& s = stopState();
    std::function<void()> after;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (--s.depth > 0 || !s.held) return;
        // Held back until now: the program ends once it has shown how the
        // work went, and no new work begins meanwhile.
        s.ending = true;
        s.changed.notify_all();
        // A closed console: its handler returns now and the system ends the
        // process. Otherwise this runs once: no scope begins from here on.
        if (!s.closing) after = s.handlers.afterHeldWork;
    }
    if (after) after();
}

void PLAT_endIfStopRequested() {
    StopState& s = stopState();
    int signal = 0;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.held) return;
        signal = s.heldSignal;
    }
    std::fflush(nullptr);
#ifdef _WIN32
    (void)signal;
    ExitProcess(STATUS_CONTROL_C_EXIT);
#else
    endBySignal(signal);
#endif
}
