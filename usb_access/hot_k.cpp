#include "usb_access/hot_k.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
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

// Where the monitor is in its life. Every change is made under
// Monitor::life, so that a registration, an unregistration and the
// monitor's own thread agree on whether a stop is wanted, has begun or is
// called off.
enum class Phase {
    Stopped,   // no thread, no window
    Starting,  // a first registration is making the list, the thread and the window
    Running,   // the window takes registrations
    Stopping,  // the window's thread frees everything and ends
};

// A handle that asked for an initial report is owed no mark until that
// report has told it what is there.
constexpr uint64_t kAwaitingInitialReport = UINT64_MAX;

// Bound of a registration's wait for a window that another caller is
// making, or for a monitor that is ending, to be done.
constexpr std::chrono::seconds kLifeWait{10};

// The process-wide monitor. The lifecycle is shared with callers' threads
// (under `life`; the window is also read without it); everything else
// belongs to the monitor's thread once it runs, and to the starting caller
// before that.
struct Monitor {
    std::mutex life;
    std::condition_variable lifeChanged;
    Phase phase = Phase::Stopped;
    LONG registrations = 0;   // HotK_Init calls not undone, those still under way included
    bool stopWanted = false;  // the last registration went; the stop has not begun
    uint64_t stops = 0;       // monitors ended so far

    std::atomic<HWND> window{nullptr};
    LONG handleCount = 0;
    HotK_Handle* first = nullptr;
    KLST_HANDLE list = nullptr;
    Notification* notifications = nullptr;
    HANDLE heap = nullptr;
    int passDepth = 0;  // passes over the list running on the monitor's thread
    // Which clients a mark is owed to: an entry's mark carries the number of
    // the event that made it, and a handle is owed the marks made after the
    // number it holds. So a registration's own synchronisation, or its
    // initial report, neither takes a mark from the clients before it nor
    // tells the new client twice.
    uint64_t markNumber = 0;
    std::map<const KLST_DEVINFO*, uint64_t> markedAt;
    std::map<const HotK_Handle*, uint64_t> owedAfter;
    // Threads the monitor's thread waits for now, in a message sent to a
    // client's window: a stop they ask for cannot wait for the pass to end.
    std::mutex awaitedMutex;
    std::vector<DWORD> awaited;
    std::atomic<HANDLE> thread{nullptr};
    std::atomic<DWORD> threadId{0};
    HINSTANCE instance = nullptr;
    std::atomic<bool> classRegistered{false};
};
// Never destroyed: the monitor's thread may still run while the process
// exits (the display's library ends it from the main thread).
Monitor& monitor = *new Monitor;

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
    monitor.owedAfter.erase(h);
}

// Unlinks a handle from the chain when its last reference goes.
void hotCleanup(void* handle) {
    unlink(static_cast<HotK_Handle*>(handle));
    AllK_RunUserCleanup(handle, ALLK_KIND_HOTK);
}

// Checked even for a lone client: the list may have been made for another
// one (a client that registers while the last one's stop is called off keeps
// the running monitor and its list), and an entry made for a client's own
// pattern passes it.
bool patternPasses(HotK_Handle* handle, const KLST_DEVINFO& entry) {
    const KLST_PATTERN& pattern = paramsOf(handle).pattern;
    auto passes = [](const char* text, const char* value) {
        return text[0] == '\0' || LstKText::match(text, value);
    };
    return passes(pattern.interfaceGuidPattern, entry.interfaceGuid) &&
           passes(pattern.classGuidPattern, entry.classGuid) && passes(pattern.deviceIdPattern, entry.deviceId);
}

void stopIfWanted();

// A walk over the list and the clients that calls out of the monitor. A
// client told inside it may ask for the monitor's stop; the stop then runs
// when the outermost walk ends, so that none walks what the stop frees.
class PassScope {
public:
    PassScope() { ++monitor.passDepth; }
    ~PassScope() {
        if (--monitor.passDepth == 0) stopIfWanted();
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

// Whether the entry's mark was made after `handle` started to be owed marks.
bool owed(HotK_Handle* handle, const KLST_DEVINFO* entry) {
    auto mark = monitor.markedAt.find(entry);
    auto after = monitor.owedAfter.find(handle);
    const uint64_t made = mark == monitor.markedAt.end() ? 0 : mark->second;
    return made > (after == monitor.owedAfter.end() ? 0 : after->second);
}

void stampMarks() {
    ++monitor.markNumber;
    for (KLST_DEVINFO* entry : entries()) {
        if (entry->syncFlags > KLST_SYNC_FLAG_UNCHANGED) monitor.markedAt[entry] = monitor.markNumber;
    }
}

// Reports the entries marked arrived or removed to every client they are
// owed to and whose pattern they match; a device id goes to one client per
// pass unless a later one asks for duplicates. With `only`, the initial
// report: every connected entry is told to that client as an arrival, and
// the marks stay for the others.
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
    // What this report tells covers every mark made so far.
    if (only != nullptr) monitor.owedAfter[only] = monitor.markNumber;
    std::vector<int32_t> before(all.size(), KLST_SYNC_FLAG_UNCHANGED);
    std::vector<int32_t> actedOn(all.size(), KLST_SYNC_FLAG_UNCHANGED);
    for (size_t i = 0; i < all.size(); ++i) {
        KLST_DEVINFO* entry = all[i];
        before[i] = entry->syncFlags;
        if (only != nullptr) {
            if (!entry->connected) continue;
            entry->syncFlags |= KLST_SYNC_FLAG_ADDED;
        }
        const int32_t flags = entry->syncFlags;
        actedOn[i] = flags;
        for (HotK_Handle* h : clients) {
            if (!isRegistered(h)) continue;
            if (flags <= KLST_SYNC_FLAG_UNCHANGED || !patternPasses(h, *entry)) continue;
            if (only == nullptr && !owed(h, entry)) continue;
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
        const bool untouched = all[i]->syncFlags == actedOn[i];
        if (only != nullptr) {
            // The other clients' marks are theirs still.
            if (untouched) all[i]->syncFlags = before[i];
        } else if (untouched || all[i]->syncFlags == KLST_SYNC_FLAG_NONE) {
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
    if (LstK_Sync(monitor.list, pattern, monitor.heap)) stampMarks();
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
    // The registration's end is the end of a walk: a stop asked for by a
    // client told below waits for it.
    PassScope scope;
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
    // From now on the new client is owed what changes; one that asked for
    // an initial report is owed nothing before it, as that report tells it
    // what is there.
    const bool initialReport = (paramsOf(handle).flags & KHOT_FLAG_PLUG_ALL_ON_INIT) != 0;
    monitor.owedAfter[handle] = initialReport ? kAwaitingInitialReport : monitor.markNumber;
    // The list was made before this window existed: a device that arrived
    // in between reached no window, so the list is brought up to date now,
    // before the notifications are asked for and the first report is made.
    // What this finds is owed to every client as a timer would have found
    // it: the clients before this one are told at their next pass.
    if (!nested) synchronise();
    registerNotifications(window, handle);
    handle->header.userContextArmed.store(1);
    if (initialReport) {
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
                monitor.markedAt[entry] = ++monitor.markNumber;
                break;
            }
        }
        SetTimer(window, HOTK_TIMER_NAMED_REMOVAL, 1, nullptr);
    }
    return TRUE;
}

LRESULT onTimer(HWND window, WPARAM id, LPARAM lParam) {
    // A stop asked for while a client is told waits for the whole timer's work.
    PassScope scope;
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

// Frees what the monitor holds and ends its message loop; the thread then
// destroys the window and ends. Runs on the monitor's thread once the stop
// has begun.
void teardown() {
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
    monitor.markedAt.clear();
    monitor.owedAfter.clear();
    monitor.window.store(nullptr);
    PostQuitMessage(0);
}

// Begins the stop when one is wanted still: a registration that came since
// the last one went has called it off.
void stopIfWanted() {
    {
        std::lock_guard<std::mutex> lock(monitor.life);
        if (!monitor.stopWanted || monitor.phase != Phase::Running) return;
        monitor.stopWanted = false;
        monitor.phase = Phase::Stopping;
    }
    teardown();
}

LRESULT onDestroy(HWND window) {
    // A window of the class that is not the monitor's (one made by someone
    // else under the class name) has nothing of the monitor's to free.
    if (window == nullptr || monitor.window.load() != window) return 0;
    // Inside a pass the stop runs when the pass ends.
    if (!passRunning()) stopIfWanted();
    return 0;
}

// Asks the window for the stop that the caller has marked wanted (the
// stops counted then are `stopsBefore`), and waits until it is done or
// called off. A caller that the monitor's thread cannot get on without (the
// thread itself, or a client window's thread that it waits for) returns at
// once: the stop runs when the pass ends, on the monitor's thread.
void requestStop(HWND window, uint64_t stopsBefore) {
    SendMessageA(window, WM_DESTROY, 0, 0);
    if (monitorWaitsForCaller()) return;
    std::unique_lock<std::mutex> lock(monitor.life);
    monitor.lifeChanged.wait(lock, [&] {
        return monitor.stops != stopsBefore || (monitor.phase == Phase::Running && !monitor.stopWanted);
    });
}

// Takes back one registration of the monitor counted as `stops`; the last
// one makes the stop wanted. Returns whether the caller is to ask for it.
bool dropRegistration(uint64_t stops) {
    std::lock_guard<std::mutex> lock(monitor.life);
    if (monitor.stops != stops || monitor.phase != Phase::Running || monitor.registrations == 0) return false;
    if (--monitor.registrations != 0) return false;
    monitor.stopWanted = true;
    return true;
}

void spinYield() {
    if (!SwitchToThread()) Sleep(0);
}

bool startMonitor(const HotK_Params* params) {
    const KLST_PATTERN* pattern = nullptr;
    if (!isBadPointer(params) && !patternEmpty(params->pattern)) pattern = &params->pattern;
    if (monitor.instance == nullptr) monitor.instance = GetModuleHandleA(nullptr);
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

// Counts a registration in and returns the window to send it to, starting
// the monitor if none runs; null on failure, with the last error set. A stop
// wanted and not begun is called off: the running monitor keeps going. A
// monitor being made or ended by another caller is waited for, boundedly;
// one ended by the caller's own thread is not, since it would never be done.
HWND enterRegistration(const HotK_Params* params, uint64_t* stops) {
    std::unique_lock<std::mutex> lock(monitor.life);
    const auto deadline = std::chrono::steady_clock::now() + kLifeWait;
    for (;;) {
        switch (monitor.phase) {
            case Phase::Running:
                ++monitor.registrations;
                monitor.stopWanted = false;
                *stops = monitor.stops;
                return monitor.window.load();
            case Phase::Stopped: {
                monitor.phase = Phase::Starting;
                monitor.registrations = 1;
                lock.unlock();
                const bool started = startMonitor(params);
                DWORD error = GetLastError();
                lock.lock();
                // A window destroyed from outside as soon as it was made
                // ends the monitor's thread by itself, which leaves the
                // monitor stopped: it is not marked running after it.
                const bool running = started && monitor.phase == Phase::Starting;
                if (running) {
                    monitor.phase = Phase::Running;
                } else if (!started) {
                    monitor.phase = Phase::Stopped;
                    monitor.registrations = 0;
                } else {
                    error = ERROR_NOT_FOUND;
                }
                monitor.lifeChanged.notify_all();
                *stops = monitor.stops;
                SetLastError(error);
                return running ? monitor.window.load() : nullptr;
            }
            case Phase::Stopping:
                if (monitor.threadId.load() == GetCurrentThreadId()) {
                    SetLastError(ERROR_NOT_FOUND);
                    return nullptr;
                }
                [[fallthrough]];
            case Phase::Starting: {
                const Phase seen = monitor.phase;
                if (!monitor.lifeChanged.wait_until(lock, deadline, [&] { return monitor.phase != seen; })) {
                    SetLastError(ERROR_NOT_FOUND);
                    return nullptr;
                }
                break;
            }
        }
    }
}

}  // namespace

BOOL HotK_Init(KHOT_HANDLE* Handle, HotK_Params* Params) {
    uint64_t stops = 0;
    HWND window = enterRegistration(Params, &stops);
    if (window == nullptr) return FALSE;
    // A result of 0 is also what a window that went away answers: only a
    // handle actually stored counts as a registration.
    const bool canCheck = !isBadPointer(Handle);
    if (canCheck) *Handle = nullptr;
    LRESULT result = SendMessageA(window, HOTK_WM_REGISTER, reinterpret_cast<WPARAM>(Handle),
                                  reinterpret_cast<LPARAM>(Params));
    if (result == 0 && canCheck && *Handle != nullptr) return TRUE;
    if (result == 0) result = ERROR_NOT_FOUND;

    if (dropRegistration(stops)) requestStop(window, stops);
    SetLastError(static_cast<DWORD>(result));
    return FALSE;
}

BOOL HotK_Free(KHOT_HANDLE Handle) {
    HWND window = monitor.window.load();
    if (window == nullptr) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    if (!AllK_InHotKPool(Handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    uint64_t stops = 0;
    {
        std::lock_guard<std::mutex> lock(monitor.life);
        if (monitor.phase != Phase::Running || monitor.registrations == 0) {
            SetLastError(ERROR_NOT_FOUND);
            return FALSE;
        }
        stops = monitor.stops;
    }
    if (SendMessageA(window, HOTK_WM_UNREGISTER, reinterpret_cast<WPARAM>(Handle), 0) == 0) {
        // Nothing was unregistered: the count stays as the registrations are.
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (dropRegistration(stops)) requestStop(window, stops);
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
        // A loop that ended without the stop (its window destroyed under
        // it) still frees what the monitor holds.
        if (monitor.window.load() != nullptr) {
            {
                std::lock_guard<std::mutex> lock(monitor.life);
                monitor.phase = Phase::Stopping;
            }
            teardown();
        }
        // The window goes here, on its own thread, rather than with the
        // thread's end: whoever has waited for the thread then finds no
        // window of that name left (on every system). Its WM_DESTROY finds
        // the monitor's handle cleared already and frees nothing twice.
        DestroyWindow(window);
        // The list went at WM_DESTROY; its heap goes with the thread.
        HeapDestroy(monitor.heap);
        monitor.heap = nullptr;
        // Nobody waits for this thread: those that wait for the stop wait
        // for this, and the thread's last steps touch nothing of the
        // monitor's, so the next start may begin at once.
        HANDLE self = nullptr;
        {
            std::lock_guard<std::mutex> lock(monitor.life);
            monitor.phase = Phase::Stopped;
            monitor.registrations = 0;
            monitor.stopWanted = false;
            ++monitor.stops;
            self = monitor.thread.exchange(nullptr);
            monitor.lifeChanged.notify_all();
        }
        CloseHandle(self);
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
        case WM_CLOSE: {
            {
                // Closed from outside: the monitor ends whoever is registered.
                std::lock_guard<std::mutex> lock(monitor.life);
                monitor.stopWanted = true;
            }
            DestroyWindow(window);
            return 0;
        }
        case WM_DESTROY:
            return onDestroy(window);
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}
