// Clocks, local calendar time and the path separator: the two systems' own
// calls behind one small set of functions.
#include "platform/platform.h"

#include <ctime>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <time.h>
#endif

#ifdef _WIN32

namespace {
// FILETIME counts 100-ns ticks from 1601-01-01; our callers count from 1970-01-01.
constexpr int64_t kTicks1601To1970 = 116444736000000000LL;
}  // namespace

int64_t PLAT_perfCounter() {
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

int64_t PLAT_perfFrequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

int64_t PLAT_systemTime100ns() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    return static_cast<int64_t>(ticks.QuadPart) - kTicks1601To1970;
}

bool PLAT_localTime(int64_t seconds, struct tm* out) {
    const time_t value = static_cast<time_t>(seconds);
    return localtime_s(out, &value) == 0;
}

const char* PLAT_pathSeparator() { return "\\"; }

#else

namespace {
constexpr int64_t kNsecPerSec = 1000000000LL;
}  // namespace

// The monotonic clock already counts nanoseconds, so the counter's frequency
// is fixed at 10^9 ticks per second.
int64_t PLAT_perfCounter() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * kNsecPerSec + now.tv_nsec;
}

int64_t PLAT_perfFrequency() { return kNsecPerSec; }

int64_t PLAT_systemTime100ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 10000000LL + now.tv_nsec / 100;
}

bool PLAT_localTime(int64_t seconds, struct tm* out) {
    const time_t value = static_cast<time_t>(seconds);
    return localtime_r(&value, out) != nullptr;
}

const char* PLAT_pathSeparator() { return "/"; }

#endif
