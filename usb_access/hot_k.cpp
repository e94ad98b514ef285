#include "usb_access/hot_k.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "usb_access/lst_k_text.h"
#include "usb_access/system_api.h"

const char* const HOTK_WINDOW_CLASS = "HotK_NotificationWindowClass";
const char* const HOTK_WINDOW_NAME_FORMAT = "HotK_NotificationWindow_%u";

namespace {

constexpr unsigned kWindowNames = 128;
constexpr DWORD kHeapOptions = HEAP_NO_SERIALIZE | HEAP_GENERATE_EXCEPTIONS;
constexpr SIZE_T kHeapInitialSize = 16 * 1024;

// A device-interface notification registered with the system.
struct Notification {
    HDEVNOTIFY handle;
    GUID classGuid;
    Notification* next;
};

// The process-wide monitor. The window and the registration count are
// shared with callers' threads (atomics); everything else belongs to the
// monitor's thread once it runs, and to the starting or stopping caller
// while it does not.
struct Monitor {
    std::atomic<HWND> window{nullptr};
    std::atomic<LONG> registrations{0};
    LONG handleCount = 0;
    HotK_Handle* first = nullptr;
    KLST_HANDLE list = nullptr;
    Notification* notifications = nullptr;
    HANDLE heap = nullptr;
    int passDepth = 0;  // passes over the list running on the monitor's thread
    std::atomic<bool> destroyPending{false};  // a stop that came while one ran
    // Threads the monitor's thread waits for now, in a message sent to a
    // client's window: a stop they ask for cannot wait for the pass to end.
    std::mutex awaitedMutex;
    std::vector<DWORD> awaited;
    std::atomic<HANDLE> thread{nullptr};
    // Set when the stop's caller cannot wait for the thread (it is the
    // thread, or the thread waits for it): the thread closes its own handle.
    std::atomic<bool> threadClosesItself{false};
    std::atomic<DWORD> threadId{0};
    HINSTANCE instance = nullptr;
    std::atomic<bool> classRegistered{false};
};
Monitor monitor;

HotK_Params& paramsOf(HotK_Handle* handle) { return *reinterpret_cast<HotK_Params*>(handle->params); }

bool isBadPointer(const void* pointer) {
    return pointer == nullptr || pointer == reinterpret_cast<const void*>(~uintptr_t{0});
}

bool patternEmpty(const KLST_PATTERN& pattern) {
    return pattern.deviceIdPattern[0] == '\0' && pattern.interfaceGuidPattern[0] == '\0' &&
           pattern.classGuidPattern[0] == '\0';
}

bool isRegistered(HotK_Handle* handle) {
    for (HotK_Handle* h = monitor.first; h != nullptr; h = h->next) {
        if (h == handle) return true;
    }
    return false;
}

void unlink(HotK_Handle* h) {
    if (isRegistered(h)) {
        if (h->prev != nullptr) {
            h->prev->next = h->next;
        } else {
            monitor.first = h->next;
        }
        if (h->next != nullptr) h->next->prev = h->prev;
    }
    h->next = nullptr;
    h->prev = nullptr;
}

// Unlinks a handle from the chain when its last reference goes.
void hotCleanup(void* handle) {
    unlink(static_cast<HotK_Handle*>(handle));
    AllK_RunUserCleanup(handle, ALLK_KIND_HOTK);
}

// With one client the list was built with its pattern already.
bool patternPasses(HotK_Handle* handle, const KLST_DEVINFO& entry) {
    if (monitor.handleCount == 1) return true;
    const KLST_PATTERN& pattern = paramsOf(handle).pattern;
    auto passes = [](const char* text, const char* value) {
        return text[0] == '\0' || LstKText::match(text, value);
    };
    return passes(pattern.interfaceGuidPattern, entry.interfaceGuid) &&
           passes(pattern.classGuidPattern, entry.classGuid) && passes(pattern.deviceIdPattern, entry.deviceId);
}

LRESULT onDestroy(HWND window);

// A walk over the list and the clients that calls out of the monitor. A
// client told inside it may ask for the monitor's stop; the stop then runs
// when the outermost walk ends, so that none walks what the stop frees.
class PassScope {
public:
    PassScope() { ++monitor.passDepth; }
    ~PassScope() {
        if (--monitor.passDepth == 0 && monitor.destroyPending.exchange(false)) onDestroy(monitor.window.load());
    }
    PassScope(const PassScope&) = delete;
    PassScope& operator=(const PassScope&) = delete;
};

bool passRunning() { return monitor.passDepth > 0; }

// Whether the monitor's thread cannot get on until the calling thread does:
// it is the calling thread, or it waits for a message sent to it.
bool monitorWaitsForCaller() {
    const DWORD self = GetCurrentThreadId();
    if (monitor.threadId.load() == self) return true;
    std::lock_guard<std::mutex> lock(monitor.awaitedMutex);
    return std::find(monitor.awaited.begin(), monitor.awaited.end(), self) != monitor.awaited.end();
}

std::vector<KLST_DEVINFO*> entries() {
    std::vector<KLST_DEVINFO*> all;
    if (monitor.list == nullptr) return all;
    LstK_Enumerate(
        monitor.list,
        [](KLST_HANDLE, KLST_DEVINFO_HANDLE info, PVOID context) -> BOOL {
            static_cast<std::vector<KLST_DEVINFO*>*>(context)->push_back(info);
            return TRUE;
        },
        &all);
    return all;
}

void deliver(HotK_Handle* handle, UINT message, KLST_DEVINFO* entry) {
    HotK_Params& params = paramsOf(handle);
    if (params.userWindow == nullptr || params.userMessage < WM_USER) return;
    const WPARAM w = reinterpret_cast<WPARAM>(handle);
    const LPARAM l = reinterpret_cast<LPARAM>(entry);
    if ((params.flags & KHOT_FLAG_POST_USER_MESSAGE) != 0) {
        PostMessageA(params.userWindow, message, w, l);
        return;
    }
    const DWORD client = GetWindowThreadProcessId(params.userWindow, nullptr);
    {
        std::lock_guard<std::mutex> lock(monitor.awaitedMutex);
        monitor.awaited.push_back(client);
    }
    SendMessageA(params.userWindow, message, w, l);
    std::lock_guard<std::mutex> lock(monitor.awaitedMutex);
    monitor.awaited.erase(std::find(monitor.awaited.begin(), monitor.awaited.end(), client));
}

// Reports the entries marked arrived or removed to every client, or to
// `only`, whose pattern they match; a device id goes to one client per pass
// unless a later one asks for duplicates.
//
// A client's message is sent, and while the monitor's thread waits for the
// client it handles what is sent to it: a removal notice can mark an entry
// during the pass, a client can unregister, the monitor can be told to
// stop. So a mark made during the pass is left for its own timer to report
// (only what the pass acted on is cleared), a client unregistered meanwhile
// is not called, and a stop waits until the pass is over.
void reportPass(HotK_Handle* only) {
    PassScope scope;
    std::vector<std::string> reported;
    const std::vector<KLST_DEVINFO*> all = entries();
    std::vector<HotK_Handle*> clients;
    for (HotK_Handle* h = only != nullptr ? only : monitor.first; h != nullptr; h = only != nullptr ? nullptr : h->next) {
        clients.push_back(h);
    }
    std::vector<int32_t> actedOn(all.size(), KLST_SYNC_FLAG_UNCHANGED);
    for (size_t i = 0; i < all.size(); ++i) {
        KLST_DEVINFO* entry = all[i];
        if (only != nullptr) {
            if (!entry->connected) continue;
            entry->syncFlags |= KLST_SYNC_FLAG_ADDED;
        }
        const int32_t flags = entry->syncFlags;
        actedOn[i] = flags;
        for (HotK_Handle* h : clients) {
            if (!isRegistered(h)) continue;
            if (flags <= KLST_SYNC_FLAG_UNCHANGED || !patternPasses(h, *entry)) continue;
            bool seen = false;
            for (const std::string& id : reported) seen = seen || id == entry->deviceId;
            if (seen) {
                if ((paramsOf(h).flags & KHOT_FLAG_PASS_DUPE_INSTANCE) == 0) continue;
            } else {
                reported.emplace_back(entry->deviceId, strnlen(entry->deviceId, sizeof(entry->deviceId)));
            }
            HotK_Params& params = paramsOf(h);
            if ((flags & KLST_SYNC_FLAG_ADDED) != 0) {
                if (params.onHotPlug != nullptr) params.onHotPlug(h, entry, KHOT_EVENT_ARRIVAL);
                deliver(h, params.userMessage + 1, entry);
            } else if (flags == KLST_SYNC_FLAG_REMOVED) {
                if (params.onHotPlug != nullptr) params.onHotPlug(h, entry, KHOT_EVENT_REMOVAL);
                deliver(h, params.userMessage, entry);
            }
        }
    }
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i]->syncFlags == actedOn[i] || all[i]->syncFlags == KLST_SYNC_FLAG_NONE) {
            all[i]->syncFlags = KLST_SYNC_FLAG_UNCHANGED;
        }
    }
}

// A removal marked from its notice and not yet reported is reported before
// a synchronisation: the synchronisation starts by clearing every mark, and
// would then find the entry disconnected already and call it unchanged.
void synchronise() {
    reportPass(nullptr);
    const KLST_PATTERN* pattern = monitor.handleCount == 1 ? &paramsOf(monitor.first).pattern : nullptr;
    // A failed enumeration leaves the list as it was; the report pass then
    // reports only what is marked already.
    LstK_Sync(monitor.list, pattern, monitor.heap);
}

void registerNotifications(HWND window, HotK_Handle* handle) {
    for (KLST_DEVINFO* entry : entries()) {
        if (!patternPasses(handle, *entry)) continue;
        LstKText::Guid parsed;
        if (!LstKText::parseGuid(entry->interfaceGuid, &parsed)) continue;
        GUID guid{parsed.data1, parsed.data2, parsed.data3, {}};
        std::memcpy(guid.Data4, parsed.data4, 8);
        bool known = false;
        for (Notification* n = monitor.notifications; n != nullptr; n = n->next) {
            known = known || std::memcmp(&n->classGuid, &guid, sizeof(GUID)) == 0;
        }
        if (known) continue;
        auto* record = static_cast<Notification*>(HeapAlloc(monitor.heap, HEAP_ZERO_MEMORY, sizeof(Notification)));
        if (record == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return;
        }
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = guid;
        record->handle = UsbAccess_SystemApi().RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (record->handle == nullptr) {
            // That class then gives only node-change driven updates.
            HeapFree(monitor.heap, 0, record);
            continue;
        }
        record->classGuid = guid;
        record->next = monitor.notifications;
        monitor.notifications = record;
    }
}

LRESULT onRegister(HWND window, WPARAM wParam, LPARAM lParam) {
    auto* out = reinterpret_cast<KHOT_HANDLE*>(wParam);
    auto* params = reinterpret_cast<HotK_Params*>(lParam);
    if (isBadPointer(out)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return ERROR_INVALID_HANDLE;
    }
    if (isBadPointer(params)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    HotK_Handle* handle = AllK_AllocHotK();
    if (handle == nullptr) return static_cast<LRESULT>(GetLastError());
    std::memcpy(handle->params, params, sizeof(HotK_Params));
    *out = handle;
    handle->header.cleanup = hotCleanup;
    // A registration from inside a pass (a client registering while it is
    // told of an event) leaves the marks to that pass, which reports them
    // to the clients it began with; the list is up to date, as the monitor
    // has run for a while.
    const bool nested = passRunning();
    // Marks not yet reported belong to the clients registered before this one.
    if (!nested) reportPass(nullptr);
    ++monitor.handleCount;
    handle->next = nullptr;
    handle->prev = nullptr;
    if (monitor.first == nullptr) {
        monitor.first = handle;
    } else {
        HotK_Handle* last = monitor.first;
        while (last->next != nullptr) last = last->next;
        last->next = handle;
        handle->prev = last;
    }
    // The list was made before this window existed: a device that arrived
    // in between reached no window, so the list is brought up to date now,
    // before the notifications are asked for and the first report is made.
    if (!nested) synchronise();
    registerNotifications(window, handle);
    handle->header.userContextArmed.store(1);
    if ((paramsOf(handle).flags & KHOT_FLAG_PLUG_ALL_ON_INIT) != 0) {
        PostMessageA(window, HOTK_WM_INITIAL_REPORT, reinterpret_cast<WPARAM>(handle), 0);
    }
    return 0;
}

LRESULT onUnregister(WPARAM wParam) {
    auto* handle = reinterpret_cast<HotK_Handle*>(wParam);
    if (!AllK_InHotKPool(handle) || !UsbK_AcquireHandle(handle)) return 0;
    if (!isRegistered(handle)) {
        UsbK_ReleaseHandle(handle);
        return 0;
    }
    --monitor.handleCount;
    // Out of the chain now, even while an initial report still holds the
    // handle: the pass tells an unregistered client nothing more.
    unlink(handle);
    UsbK_ReleaseHandle(handle);  // this call's reference
    UsbK_ReleaseHandle(handle);  // the registration's: runs the cleanup
    return 1;
}

LRESULT onInitialReport(WPARAM wParam) {
    // The client may have freed the handle since the report was posted.
    auto* handle = reinterpret_cast<HotK_Handle*>(wParam);
    if (!AllK_InHotKPool(handle) || !UsbK_AcquireHandle(handle)) return 1;
    if (isRegistered(handle)) reportPass(handle);
    UsbK_ReleaseHandle(handle);
    return 1;
}

LRESULT onDeviceChange(HWND window, WPARAM event, LPARAM lParam) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (event == DBT_DEVNODES_CHANGED) {
        SetTimer(window, HOTK_TIMER_NODES_CHANGED, 2000, nullptr);
        return TRUE;
    }
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return TRUE;
    if (event == DBT_DEVICEARRIVAL) {
        SetTimer(window, HOTK_TIMER_INTERFACE_CHANGE, 1000, nullptr);
    } else if (event == DBT_DEVICEREMOVECOMPLETE) {
        const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
        // The name runs to the end of the record; read no further than that.
        const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
        const size_t room = header->dbch_size > nameOffset ? header->dbch_size - nameOffset : 0;
        char name[256] = {};
        std::memcpy(name, broadcast->dbcc_name, strnlen(broadcast->dbcc_name, std::min<size_t>(room, 255)));
        if (name[0] == '\0') {
            SetTimer(window, HOTK_TIMER_INTERFACE_CHANGE, 1000, nullptr);
            return TRUE;
        }
        for (KLST_DEVINFO* entry : entries()) {
            if (entry->connected && LstKText::match(entry->symbolicLink, name)) {
                entry->connected = 0;
                entry->syncFlags = KLST_SYNC_FLAG_REMOVED;
                break;
            }
        }
        SetTimer(window, HOTK_TIMER_NAMED_REMOVAL, 1, nullptr);
    }
    return TRUE;
}

LRESULT onTimer(HWND window, WPARAM id, LPARAM lParam) {
    switch (id) {
        case HOTK_TIMER_NODES_CHANGED:
            KillTimer(window, id);
            synchronise();
            // Notices first: a client told of a device may keep this thread
            // for a whole bring-up, and a device that goes away meanwhile
            // would be told to no window. Only the next node change would
            // look again, and a device back by then under the same links
            // looks unchanged: its removal would never be reported.
            for (HotK_Handle* h = monitor.first; h != nullptr; h = h->next) registerNotifications(window, h);
            reportPass(nullptr);
            return 0;
        case HOTK_TIMER_INTERFACE_CHANGE:
            KillTimer(window, id);
            synchronise();
            reportPass(nullptr);
            return 0;
        case HOTK_TIMER_NAMED_REMOVAL:
            KillTimer(window, id);
            reportPass(nullptr);
            return 0;
        default:
            return DefWindowProcA(window, WM_TIMER, id, lParam);
    }
}

LRESULT onPowerBroadcast(WPARAM event) {
    if (event != PBT_APMSUSPEND && event != PBT_APMRESUMEAUTOMATIC) return 0;
    PassScope scope;
    std::vector<HotK_Handle*> clients;
    for (HotK_Handle* h = monitor.first; h != nullptr; h = h->next) clients.push_back(h);
    for (KLST_DEVINFO* entry : entries()) {
        if (!entry->connected) continue;
        for (HotK_Handle* h : clients) {
            if (!isRegistered(h)) continue;
            KHOT_POWER_BROADCAST_CB callback = paramsOf(h).onPowerBroadcast;
            if (callback != nullptr && patternPasses(h, *entry)) callback(h, entry, static_cast<UINT>(event));
        }
    }
    return 0;
}

LRESULT onDestroy(HWND window) {
    // A window of the class that is not the monitor's (one made by someone
    // else under the class name) has nothing of the monitor's to free.
    if (window == nullptr || monitor.window.load() != window) return 0;
    if (passRunning()) {
        // The pass still walks the list: the stop runs when it ends.
        monitor.destroyPending.store(true);
        return 0;
    }
    while (monitor.first != nullptr) {
        HotK_Handle* handle = monitor.first;
        hotCleanup(handle);  // unlinks it even if a caller still holds a reference
        UsbK_ReleaseHandle(handle);
    }
    monitor.handleCount = 0;
    while (monitor.notifications != nullptr) {
        Notification* record = monitor.notifications;
        monitor.notifications = record->next;
        UsbAccess_SystemApi().UnregisterDeviceNotification(record->handle);
        HeapFree(monitor.heap, 0, record);
    }
    if (monitor.list != nullptr) {
        LstK_Free(monitor.list);
        monitor.list = nullptr;
    }
    monitor.window.store(nullptr);
    PostQuitMessage(0);
    return 0;
}

void spinYield() {
    if (!SwitchToThread()) Sleep(0);
}

// Sends WM_DESTROY and waits until the window is gone and its thread has
// ended (unless the caller is that thread: it ends when this returns).
//
// A stop asked for inside a pass runs when the pass ends. When the pass is
// waiting for the caller itself (the caller is a client told on the
// monitor's thread, or a client window's thread handling a sent message),
// waiting here would wait forever: the caller returns at once, and the
// pass's end stops the monitor, and its thread closes its own handle.
void stopMonitor() {
    HWND window = monitor.window.load();
    if (window == nullptr) {
        SetLastError(ERROR_NOT_FOUND);
    } else {
        SendMessageA(window, WM_DESTROY, 0, 0);
        if (monitor.destroyPending.load() && monitorWaitsForCaller()) {
            monitor.threadClosesItself.store(true);
            return;
        }
    }
    // The window's thread clears the handle at WM_DESTROY; a window whose
    // thread died without it clears nothing, so the thread's end also ends
    // the wait.
    while (monitor.window.load() != nullptr && WaitForSingleObject(monitor.thread.load(), 0) == WAIT_TIMEOUT) {
        spinYield();
    }
    monitor.window.store(nullptr);
    if (monitor.thread.load() == nullptr) return;
    if (monitor.threadId.load() == GetCurrentThreadId()) {
        monitor.threadClosesItself.store(true);
        return;
    }
    // The thread leaves its loop as soon as it sees the quit message.
    WaitForSingleObject(monitor.thread.load(), INFINITE);
    CloseHandle(monitor.thread.exchange(nullptr));
}

bool startMonitor(const HotK_Params* params) {
    const KLST_PATTERN* pattern = nullptr;
    if (!isBadPointer(params) && !patternEmpty(params->pattern)) pattern = &params->pattern;
    if (monitor.instance == nullptr) monitor.instance = GetModuleHandleA(nullptr);
    // The thread of a monitor stopped from within a pass is about to end.
    while (monitor.thread.load() != nullptr) spinYield();
    monitor.heap = HeapCreate(kHeapOptions, kHeapInitialSize, 0);
    if (monitor.heap == nullptr) return false;
    auto fail = [](DWORD error) {
        if (monitor.list != nullptr) LstK_Free(monitor.list);
        monitor.list = nullptr;
        // The list's entries live in the heap: it goes after them.
        HeapDestroy(monitor.heap);
        monitor.heap = nullptr;
        SetLastError(error);
        return false;
    };
    if (!LstK_InitEx(&monitor.list, KLST_FLAG_NONE, pattern, monitor.heap)) return fail(GetLastError());

    unsigned threadId = 0;
    monitor.thread.store(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, HotK_ThreadMain, nullptr, CREATE_SUSPENDED, &threadId)));
    if (monitor.thread.load() == nullptr) return fail(GetLastError());
    monitor.threadId.store(threadId);
    ResumeThread(monitor.thread.load());
    while (monitor.window.load() == nullptr && WaitForSingleObject(monitor.thread.load(), 0) == WAIT_TIMEOUT) {
        spinYield();
    }
    if (monitor.window.load() != nullptr) return true;

    // The thread ended without a window: its exit code says why.
    WaitForSingleObject(monitor.thread.load(), INFINITE);
    DWORD code = 0;
    GetExitCodeThread(monitor.thread.load(), &code);
    CloseHandle(monitor.thread.exchange(nullptr));
    return fail(code != 0 ? code : ERROR_THREAD_NOT_IN_PROCESS);
}

}  // namespace

BOOL HotK_Init(KHOT_HANDLE* Handle, HotK_Params* Params) {
    if (monitor.registrations.fetch_add(1) + 1 == 1) {
        if (!startMonitor(Params)) {
            const DWORD error = GetLastError();
            monitor.registrations.fetch_sub(1);
            SetLastError(error);
            return FALSE;
        }
    }
    // A result of 0 is also what a window that went away answers: only a
    // handle actually stored counts as a registration.
    const bool canCheck = !isBadPointer(Handle);
    if (canCheck) *Handle = nullptr;
    HWND window = monitor.window.load();
    LRESULT result = ERROR_NOT_FOUND;
    if (window != nullptr) result = SendMessageA(window, HOTK_WM_REGISTER, reinterpret_cast<WPARAM>(Handle),
                                                 reinterpret_cast<LPARAM>(Params));
    if (result == 0 && canCheck && *Handle != nullptr) return TRUE;
    if (result == 0) result = ERROR_NOT_FOUND;

    if (monitor.registrations.fetch_sub(1) - 1 == 0) stopMonitor();
    SetLastError(static_cast<DWORD>(result));
    return FALSE;
}

BOOL HotK_Free(KHOT_HANDLE Handle) {
    if (monitor.window.load() == nullptr) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    if (!AllK_InHotKPool(Handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const LONG remaining = monitor.registrations.fetch_sub(1) - 1;
    if (remaining < 0) {
        monitor.registrations.fetch_add(1);
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    HWND window = monitor.window.load();
    if (window == nullptr || SendMessageA(window, HOTK_WM_UNREGISTER, reinterpret_cast<WPARAM>(Handle), 0) == 0) {
        // Nothing was unregistered: the count stays as the registrations are.
        monitor.registrations.fetch_add(1);
        SetLastError(window == nullptr ? ERROR_NOT_FOUND : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (remaining == 0) stopMonitor();
    return TRUE;
}

unsigned int WINAPI HotK_ThreadMain(void*) {
    DWORD error = 0;
    HWND window = nullptr;
    if (!monitor.classRegistered.load()) {
        // A class of that name left by an earlier instance of the module goes first.
        UnregisterClassA(HOTK_WINDOW_CLASS, monitor.instance);
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = HotK_WindowProc;
        windowClass.hInstance = monitor.instance;
        windowClass.lpszClassName = HOTK_WINDOW_CLASS;
        if (RegisterClassExA(&windowClass) != 0) {
            monitor.classRegistered.store(true);
        } else if (GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            error = GetLastError();
        }
    }
    if (error == 0) {
        char name[64] = {};
        unsigned index = 0;
        for (; index < kWindowNames; ++index) {
            std::snprintf(name, sizeof(name), HOTK_WINDOW_NAME_FORMAT, index);
            if (FindWindowA(HOTK_WINDOW_CLASS, name) == nullptr) break;
        }
        if (index == kWindowNames) {
            error = ERROR_TOO_MANY_MODULES;
        } else {
            window = CreateWindowExA(WS_EX_CLIENTEDGE, HOTK_WINDOW_CLASS, name, WS_OVERLAPPEDWINDOW, -100, -100, 20,
                                     20, nullptr, nullptr, monitor.instance, nullptr);
            if (window == nullptr) error = GetLastError() != 0 ? GetLastError() : ERROR_THREAD_NOT_IN_PROCESS;
        }
    }
    if (window != nullptr) {
        monitor.window.store(window);
        ShowWindow(window, SW_HIDE);
        EnableWindow(window, TRUE);
        MSG msg;
        while (GetMessageA(&msg, window, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        // The window goes here, on its own thread, rather than with the
        // thread's end: whoever has waited for the thread then finds no
        // window of that name left (on every system). Its WM_DESTROY finds
        // the monitor's handle cleared already and frees nothing twice.
        DestroyWindow(window);
        // The list went at WM_DESTROY; its heap goes with the thread.
        HeapDestroy(monitor.heap);
        monitor.heap = nullptr;
        if (monitor.threadClosesItself.exchange(false)) CloseHandle(monitor.thread.exchange(nullptr));
    }
    // Without a window the starting caller frees the list and its heap.
    _endthreadex(error);
    return error;
}

LRESULT CALLBACK HotK_WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case HOTK_WM_REGISTER:
            return onRegister(window, wParam, lParam);
        case HOTK_WM_UNREGISTER:
            return onUnregister(wParam);
        case HOTK_WM_INITIAL_REPORT:
            return onInitialReport(wParam);
        case WM_DEVICECHANGE:
            return onDeviceChange(window, wParam, lParam);
        case WM_TIMER:
            return onTimer(window, wParam, lParam);
        case WM_POWERBROADCAST:
            return onPowerBroadcast(wParam);
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            return onDestroy(window);
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}
