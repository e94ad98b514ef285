// The monitor's window as this process sees it. On Windows the window list
// belongs to the desktop: test programs running side by side each have
// monitors of their own, so a search by class alone may find another
// program's window. This looks only at windows of the calling process.
#pragma once

#include <chrono>
#include <cstring>

#include "platform/win32.h"
#include "platform/win32_window.h"
#include "usb_access/hot_k.h"

namespace usbtest {

inline HWND ownWindow(const char* className, const char* name = nullptr) {
#ifdef _WIN32
    struct Search {
        const char* className;
        const char* name;
        HWND found;
    } search{className, name, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* wanted = reinterpret_cast<Search*>(context);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process != GetCurrentProcessId()) return TRUE;
            char text[256] = {};
            if (GetClassNameA(window, text, sizeof(text)) == 0 || lstrcmpiA(text, wanted->className) != 0) return TRUE;
            if (wanted->name != nullptr) {
                GetWindowTextA(window, text, sizeof(text));
                if (std::strcmp(text, wanted->name) != 0) return TRUE;
            }
            wanted->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
#else
    // The stand-in's window list is the process's own.
    return FindWindowA(className, name);
#endif
}

// Whether the monitor's window has gone within 10 s. A monitor stopped from
// its own thread ends its window only once that thread's work is done, and
// nothing tells when.
inline bool monitorWindowGone() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ownWindow(HOTK_WINDOW_CLASS) != nullptr && std::chrono::steady_clock::now() < end) SwitchToThread();
    return ownWindow(HOTK_WINDOW_CLASS) == nullptr;
}

}  // namespace usbtest
