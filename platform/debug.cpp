// Debugger detection and debugger output for the logger's console sink.
#include "platform/platform.h"

#ifdef _WIN32

#include <windows.h>

#include <string>

#include "platform/wide_text.h"

namespace {

bool isAscii(const char* text) {
    for (const char* c = text; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

bool PLAT_isDebuggerPresent() { return IsDebuggerPresent() != FALSE; }

// The A form would pass the text through the ANSI code page.
void PLAT_outputDebugString(const char* text) {
    std::wstring wide;
    if (text != nullptr && !isAscii(text) && PLAT_toWide(text, &wide)) {
        OutputDebugStringW(wide.c_str());
    } else {
        OutputDebugStringA(text);
    }
}


#else

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {
constexpr char kTracerField[] = "TracerPid:";
// The console sink asks for every line; reading /proc costs microseconds, so
// the answer is kept for a short while (per process: a forked child asks anew).
constexpr int64_t kRecheckNs = 250'000'000;
std::atomic<int64_t> checkedAtNs{0};
std::atomic<pid_t> checkedPid{0};
std::atomic<bool> lastAnswer{false};

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A process being traced (by a debugger, or strace) shows the tracer's
// process id in its status; 0 means nobody is attached.
bool readTracerStatus() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, sizeof(kTracerField) - 1, kTracerField) != 0) continue;
        return std::strtol(line.c_str() + sizeof(kTracerField) - 1, nullptr, 10) != 0;
    }
    return false;
}
}  // namespace

bool PLAT_isDebuggerPresent() {
    const int64_t now = nowNs();
    const pid_t pid = ::getpid();
    if (checkedPid.load(std::memory_order_acquire) == pid &&
        now - checkedAtNs.load(std::memory_order_relaxed) < kRecheckNs) {
        return lastAnswer.load(std::memory_order_relaxed);
    }
    const bool answer = readTracerStatus();
    lastAnswer.store(answer, std::memory_order_relaxed);
    checkedAtNs.store(now, std::memory_order_relaxed);
    checkedPid.store(pid, std::memory_order_release);
    return answer;
}

// Debuggers here show the program's standard error; it is unbuffered, so a
// line is there even if the process dies right after.
void PLAT_outputDebugString(const char* text) {
    if (text != nullptr) std::fputs(text, stderr);
}


#endif
