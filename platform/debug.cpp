// Debugger detection and debugger output for the logger's console sink.
#include "platform/platform.h"

#ifdef _WIN32

#include <windows.h>

bool PLAT_isDebuggerPresent() { return IsDebuggerPresent() != FALSE; }

void PLAT_outputDebugString(const char* text) { OutputDebugStringA(text); }

#else

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {
constexpr char kTracerField[] = "TracerPid:";
}

// A process being traced (by a debugger, or strace) shows the tracer's
// process id in its status; 0 means nobody is attached.
bool PLAT_isDebuggerPresent() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, sizeof(kTracerField) - 1, kTracerField) != 0) continue;
        return std::strtol(line.c_str() + sizeof(kTracerField) - 1, nullptr, 10) != 0;
    }
    return false;
}

// Debuggers here show the program's standard error; it is unbuffered, so a
// line is there even if the process dies right after.
void PLAT_outputDebugString(const char* text) {
    if (text != nullptr) std::fputs(text, stderr);
}

#endif
