// Linux body of the hidden-window interface: windows, their threads' message
// queues, sent and posted messages and timers (see win32_window.h).
//
// One mutex guards every window, class and queue: the monitor that uses this
// makes a handful of calls per device change, and one lock keeps the
// hand-over between a sender and the window's thread easy to follow. Window
// procedures and timer procedures always run with the lock released.
#ifndef _WIN32

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/win32_window.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kInvalidParameter = 87;
constexpr DWORD kAccessDenied = 5;

struct ThreadQueue;

// A message sent from another thread: it lives on the sender's stack until
// `done` is set, which only the window's thread (or the cleanup of a window
// or thread that goes away) does, under the lock.
struct SentMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    ThreadQueue* sender;
    LRESULT result = 0;
    bool done = false;
};

struct Timer {
    HWND window;
    UINT_PTR id;
    std::chrono::milliseconds interval;
    TIMERPROC proc;
    Clock::time_point due;
};

struct ThreadQueue {
    std::condition_variable wake;
    std::deque<SentMessage*> sent;
    std::deque<MSG> posted;
    std::vector<Timer> timers;
    DWORD threadId = GetCurrentThreadId();  // made on its thread's first use
    bool quit = false;
    int quitCode = 0;
};

struct Window {
    std::string className;  // lower case
    std::string name;
    WNDPROC proc;
    ThreadQueue* owner;
    bool destroying = false;
};

struct WindowClass {
    WNDCLASSEXA description;
    std::string name;
    ATOM atom;
};

std::mutex& lockOfAll() {
    static std::mutex mutex;
    return mutex;
}

// Everything below is guarded by lockOfAll(). Never destroyed: a window's
// thread may still look up its window or class while the process ends.
std::map<HWND, Window>& windows() {
    static auto* all = new std::map<HWND, Window>;
    return *all;
}
std::map<std::string, WindowClass>& classes() {
    static auto* all = new std::map<std::string, WindowClass>;
    return *all;
}
uintptr_t nextWindowNumber = 0x10;
ATOM nextAtom = 0xC000;

std::string lowered(const char* text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool sameText(const std::string& a, const char* b) {
    return lowered(a.c_str()) == lowered(b);
}

// Ends the waits of senders whose messages will never be handled: to a
// window that goes away, or (window null) to a thread that ends.
void abandonSentLocked(ThreadQueue& queue, HWND window) {
    for (auto it = queue.sent.begin(); it != queue.sent.end();) {
        if (window == nullptr || (*it)->window == window) {
            SentMessage* message = *it;
            it = queue.sent.erase(it);
            message->result = 0;
            message->done = true;
            message->sender->wake.notify_all();
        } else {
            ++it;
        }
    }
}

void forgetWindowLocked(HWND window) {
    auto found = windows().find(window);
    if (found == windows().end()) return;
    ThreadQueue& owner = *found->second.owner;
    std::erase_if(owner.timers, [&](const Timer& timer) { return timer.window == window; });
    std::erase_if(owner.posted, [&](const MSG& msg) { return msg.hwnd == window; });
    abandonSentLocked(owner, window);
    windows().erase(found);
}

// The calling thread's queue. When the thread ends, its windows go with it
// and whoever still waits on a message sent to it gets 0.
struct QueueHolder {
    std::unique_ptr<ThreadQueue> queue = std::make_unique<ThreadQueue>();
    ~QueueHolder() {
        std::lock_guard<std::mutex> lock(lockOfAll());
        std::vector<HWND> owned;
        for (const auto& [window, record] : windows()) {
            if (record.owner == queue.get()) owned.push_back(window);
        }
        for (HWND window : owned) forgetWindowLocked(window);
        abandonSentLocked(*queue, nullptr);
    }
};

ThreadQueue& myQueue() {
    thread_local QueueHolder holder;
    return *holder.queue;
}

WNDPROC procOfLocked(HWND window) {
    auto found = windows().find(window);
    return found == windows().end() ? nullptr : found->second.proc;
}

// Handles one message sent to the calling thread; the lock is released
// while the procedure runs.
void handleSentLocked(std::unique_lock<std::mutex>& lock, ThreadQueue& queue) {
    SentMessage* message = queue.sent.front();
    queue.sent.pop_front();
    const WNDPROC proc = procOfLocked(message->window);
    LRESULT result = 0;
    if (proc != nullptr) {
        lock.unlock();
        result = proc(message->window, message->message, message->wParam, message->lParam);
        lock.lock();
    }
    message->result = result;
    message->done = true;
    message->sender->wake.notify_all();
}

bool passesFilter(const MSG& msg, HWND filter) {
    return filter == nullptr || msg.hwnd == filter;
}

}  // namespace

ATOM RegisterClassExA(const WNDCLASSEXA* windowClass) {
    if (windowClass == nullptr || windowClass->cbSize != sizeof(WNDCLASSEXA) ||
        windowClass->lpszClassName == nullptr || windowClass->lpfnWndProc == nullptr) {
        SetLastError(kInvalidParameter);
        return 0;
    }
    std::lock_guard<std::mutex> lock(lockOfAll());
    const std::string key = lowered(windowClass->lpszClassName);
    if (classes().count(key) != 0) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    WindowClass record{*windowClass, windowClass->lpszClassName, nextAtom++};
    record.description.lpszClassName = nullptr;  // the caller's text may not outlive the call
    const ATOM atom = record.atom;
    classes().emplace(key, std::move(record));
    return atom;
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE) {
    if (className == nullptr) {
        SetLastError(kInvalidParameter);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(lockOfAll());
    const std::string key = lowered(className);
    auto found = classes().find(key);
    if (found == classes().end()) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    for (const auto& entry : windows()) {
        if (entry.second.className == key) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
    }
    classes().erase(found);
    return TRUE;
}

HWND FindWindowA(LPCSTR className, LPCSTR windowName) {
    std::lock_guard<std::mutex> lock(lockOfAll());
    const std::string key = className != nullptr ? lowered(className) : std::string();
    for (const auto& [window, record] : windows()) {
        if (record.destroying) continue;
        if (className != nullptr && record.className != key) continue;
        if (windowName != nullptr && !sameText(record.name, windowName)) continue;
        return window;
    }
    return nullptr;
}

HWND CreateWindowExA(DWORD, LPCSTR className, LPCSTR windowName, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE,
                     LPVOID param) {
    if (className == nullptr) {
        SetLastError(kInvalidParameter);
        return nullptr;
    }
    ThreadQueue& queue = myQueue();
    HWND window = nullptr;
    WNDPROC proc = nullptr;
    {
        std::lock_guard<std::mutex> lock(lockOfAll());
        auto found = classes().find(lowered(className));
        if (found == classes().end()) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        proc = found->second.description.lpfnWndProc;
        // Window handles are never reused, so a stale one is simply unknown.
        window = reinterpret_cast<HWND>(nextWindowNumber);
        nextWindowNumber += 0x10;
        windows().emplace(window, Window{found->first, windowName != nullptr ? windowName : "", proc, &queue});
    }
    if (proc(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(param)) == -1) {
        DestroyWindow(window);
        return nullptr;
    }
    return window;
}

BOOL DestroyWindow(HWND window) {
    ThreadQueue& queue = myQueue();
    WNDPROC proc = nullptr;
    {
        std::lock_guard<std::mutex> lock(lockOfAll());
        auto found = windows().find(window);
        if (found == windows().end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (found->second.owner != &queue) {
            SetLastError(kAccessDenied);
            return FALSE;
        }
        if (found->second.destroying) return TRUE;
        found->second.destroying = true;
        proc = found->second.proc;
    }
    proc(window, WM_DESTROY, 0, 0);
    proc(window, WM_NCDESTROY, 0, 0);
    std::lock_guard<std::mutex> lock(lockOfAll());
    forgetWindowLocked(window);
    return TRUE;
}

// Nothing is ever drawn: a window was hidden and enabled before either call.
BOOL ShowWindow(HWND, int) { return FALSE; }
BOOL EnableWindow(HWND, BOOL) { return FALSE; }

BOOL IsWindow(HWND window) {
    std::lock_guard<std::mutex> lock(lockOfAll());
    return windows().count(window) != 0 ? TRUE : FALSE;
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) {
    std::lock_guard<std::mutex> lock(lockOfAll());
    auto found = windows().find(window);
    if (found == windows().end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId != nullptr) *processId = static_cast<DWORD>(getpid());
    return found->second.owner->threadId;
}

BOOL GetMessageA(MSG* msg, HWND window, UINT, UINT) {
    if (msg == nullptr) {
        SetLastError(kInvalidParameter);
        return -1;
    }
    ThreadQueue& queue = myQueue();
    std::unique_lock<std::mutex> lock(lockOfAll());
    for (;;) {
        if (!queue.sent.empty()) {
            handleSentLocked(lock, queue);
            continue;
        }
        auto posted = std::find_if(queue.posted.begin(), queue.posted.end(),
                                   [&](const MSG& m) { return passesFilter(m, window); });
        if (posted != queue.posted.end()) {
            *msg = *posted;
            queue.posted.erase(posted);
            return TRUE;
        }
        if (queue.quit) {
            queue.quit = false;
            *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0, 0, {0, 0}};
            return FALSE;
        }
        std::optional<Clock::time_point> nextDue;
        const Clock::time_point now = Clock::now();
        for (Timer& timer : queue.timers) {
            if (window != nullptr && timer.window != window) continue;
            if (timer.due <= now) {
                timer.due = now + timer.interval;
                *msg = MSG{timer.window, WM_TIMER, timer.id, reinterpret_cast<LPARAM>(timer.proc), 0, {0, 0}};
                return TRUE;
            }
            if (!nextDue || timer.due < *nextDue) nextDue = timer.due;
        }
        if (nextDue) {
            queue.wake.wait_until(lock, *nextDue);
        } else {
            // Waiting for a message with no timer armed: that is what a
            // message loop does; whoever ends the thread posts its quit.
            queue.wake.wait(lock);
        }
    }
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;  // no keyboard input reaches these windows
}

LRESULT DispatchMessageA(const MSG* msg) {
    if (msg == nullptr || msg->hwnd == nullptr) return 0;
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, 0);
        return 0;
    }
    WNDPROC proc = nullptr;
    {
        std::lock_guard<std::mutex> lock(lockOfAll());
        proc = procOfLocked(msg->hwnd);
    }
    if (proc == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, message, wParam, lParam, 0, 0, &result);
    return static_cast<LRESULT>(result);
}

LRESULT SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT, UINT timeoutMs,
                            DWORD_PTR* resultOut) {
    // timeoutMs 0 stands for "no limit" here: SendMessageA is built on this.
    const bool bounded = timeoutMs != 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    DWORD_PTR ignored = 0;
    DWORD_PTR& result = resultOut != nullptr ? *resultOut : ignored;
    result = 0;
    ThreadQueue& queue = myQueue();
    std::unique_lock<std::mutex> lock(lockOfAll());
    auto found = windows().find(window);
    if (found == windows().end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (found->second.owner == &queue) {
        const WNDPROC proc = found->second.proc;
        lock.unlock();
        result = static_cast<DWORD_PTR>(proc(window, message, wParam, lParam));
        return TRUE;
    }
    ThreadQueue* owner = found->second.owner;
    SentMessage sent{window, message, wParam, lParam, &queue};
    owner->sent.push_back(&sent);
    owner->wake.notify_all();
    while (!sent.done) {
        // A thread waiting for its answer still answers what is sent to it,
        // so two threads sending to each other do not wait forever.
        if (!queue.sent.empty()) {
            handleSentLocked(lock, queue);
            continue;
        }
        if (!bounded) {
            queue.wake.wait(lock);
            continue;
        }
        if (queue.wake.wait_until(lock, deadline) == std::cv_status::timeout && !sent.done) {
            // Not done means the owner still lives (its end completes every
            // message queued to it); withdraw the message unless it is taken.
            auto queued = std::find(owner->sent.begin(), owner->sent.end(), &sent);
            if (queued != owner->sent.end()) {
                owner->sent.erase(queued);
                SetLastError(ERROR_TIMEOUT);
                return 0;
            }
            while (!sent.done) queue.wake.wait(lock);
        }
    }
    result = static_cast<DWORD_PTR>(sent.result);
    return TRUE;
}

BOOL EnumWindows(WNDENUMPROC callback, LPARAM context) {
    if (callback == nullptr) {
        SetLastError(kInvalidParameter);
        return FALSE;
    }
    std::vector<HWND> all;
    {
        std::lock_guard<std::mutex> lock(lockOfAll());
        for (const auto& entry : windows()) {
            if (!entry.second.destroying) all.push_back(entry.first);
        }
    }
    for (HWND window : all) {
        if (!callback(window, context)) break;
    }
    return TRUE;
}

DWORD GetQueueStatus(UINT flags) {
    ThreadQueue& queue = myQueue();
    std::lock_guard<std::mutex> lock(lockOfAll());
    UINT present = 0;
    if (!queue.sent.empty()) present |= QS_SENDMESSAGE;
    if (!queue.posted.empty()) present |= QS_POSTMESSAGE;
    const Clock::time_point now = Clock::now();
    for (const Timer& timer : queue.timers) {
        if (timer.due <= now) present |= QS_TIMER;
    }
    present &= flags;
    return static_cast<DWORD>(present) << 16 | present;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ThreadQueue& mine = myQueue();
    std::lock_guard<std::mutex> lock(lockOfAll());
    ThreadQueue* target = &mine;
    if (window != nullptr) {
        auto found = windows().find(window);
        if (found == windows().end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        target = found->second.owner;
    }
    target->posted.push_back(MSG{window, message, wParam, lParam, 0, {0, 0}});
    target->wake.notify_all();
    return TRUE;
}

void PostQuitMessage(int exitCode) {
    ThreadQueue& queue = myQueue();
    std::lock_guard<std::mutex> lock(lockOfAll());
    queue.quit = true;
    queue.quitCode = exitCode;
    queue.wake.notify_all();
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
    if (message == WM_CLOSE) DestroyWindow(window);
    return 0;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapseMs, TIMERPROC timerProc) {
    std::lock_guard<std::mutex> lock(lockOfAll());
    auto found = windows().find(window);
    if (found == windows().end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    ThreadQueue& owner = *found->second.owner;
    const auto interval = std::chrono::milliseconds(std::max<UINT>(elapseMs, USER_TIMER_MINIMUM));
    const Clock::time_point due = Clock::now() + interval;
    auto timer = std::find_if(owner.timers.begin(), owner.timers.end(),
                              [&](const Timer& t) { return t.window == window && t.id == id; });
    if (timer != owner.timers.end()) {
        *timer = Timer{window, id, interval, timerProc, due};
    } else {
        owner.timers.push_back(Timer{window, id, interval, timerProc, due});
    }
    owner.wake.notify_all();
    return id != 0 ? id : 1;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    std::lock_guard<std::mutex> lock(lockOfAll());
    auto found = windows().find(window);
    if (found == windows().end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    ThreadQueue& owner = *found->second.owner;
    const size_t removed =
        std::erase_if(owner.timers, [&](const Timer& t) { return t.window == window && t.id == id; });
    // A WM_TIMER already taken from the queue cannot be called back; none is
    // queued, since timers become messages only when GetMessageA takes them.
    if (removed == 0) {
        SetLastError(kInvalidParameter);
        return FALSE;
    }
    return TRUE;
}

#endif
