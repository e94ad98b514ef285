// The number of threads the calling process runs now, for tests that check
// that a component leaves no thread behind: each system's own listing.
#pragma once

#include <chrono>
#include <cstddef>
#include <thread>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#endif

namespace zarn::testing {

inline size_t processThreadCount() {
    size_t n = 0;
#ifdef _WIN32
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        n += entry.th32OwnerProcessID == self;
    }
    CloseHandle(snapshot);
#else
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
        closedir(dir);
    }
#endif
    return n;
}

// The number of threads once it has come down to `atMost`, or at `bound`
// when it does not. A thread that is ending may still be listed for a
// moment (a stopped timer's thread, which nobody waits for; a joined thread
// the system has not taken down yet), a thread left behind for ever: the
// bound only ends the wait for one.
inline size_t processThreadCountOnceAtMost(size_t atMost, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + bound;
    size_t n = processThreadCount();
    while (n > atMost && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        n = processThreadCount();
    }
    return n;
}

}  // namespace zarn::testing
