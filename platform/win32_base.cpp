// Linux bodies of the Win32 subset that win32.h declares: last error, heaps,
// events and waits, thread id, yielding, sleeping, debugger output and the
// module functions. On Windows the system provides all of them.
#ifndef _WIN32

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "platform/win32.h"
#include "platform/win32_objects.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// --- kernel objects -------------------------------------------------------

struct ObjectTable {
    std::mutex lock;
    std::condition_variable changed;
    std::unordered_set<Win32Object*> live;
};

ObjectTable& objects() {
    // Never destroyed: threads may still close handles while the process ends.
    static ObjectTable* table = new ObjectTable;
    return *table;
}

class Event final : public Win32Object {
public:
    Event(bool manualReset, bool initialState) : manualReset_(manualReset), state_(initialState) {}
    bool signalled() const override { return state_; }
    void consume() override {
        if (!manualReset_) state_ = false;
    }
    void set(bool state) { state_ = state; }

private:
    const bool manualReset_;
    bool state_;
};

// --- heaps ----------------------------------------------------------------

constexpr uint32_t kHeapMagic = 0x50414548;  // "HEAP"

// A private heap remembers its blocks so that destroying it frees them all,
// as HeapDestroy does. The process heap keeps no list.
struct Heap {
    uint32_t magic = kHeapMagic;
    bool process = false;
    std::mutex lock;
    std::unordered_set<void*> blocks;
};

Heap* processHeap() {
    static Heap* heap = [] {
        auto* h = new Heap;
        h->process = true;
        return h;
    }();
    return heap;
}

Heap* asHeap(HANDLE handle) {
    auto* heap = static_cast<Heap*>(handle);
    if (heap == nullptr || heap->magic != kHeapMagic) return nullptr;
    return heap;
}

// --- modules --------------------------------------------------------------

// The one module every process has: ours, standing for the system library
// that Windows programs find their kernel functions in. We export nothing
// by name, so every procedure lookup in it fails as for a missing export.
char kernelModule;

bool namesKernel(LPCSTR name) {
    return name != nullptr && (strcasecmp(name, "kernel32") == 0 || strcasecmp(name, "kernel32.dll") == 0);
}

}  // namespace

// --- kernel object table -------------------------------------------------------

std::mutex& Win32Object_Lock() { return objects().lock; }

void Win32Object_Changed() { objects().changed.notify_all(); }

HANDLE Win32Object_Register(std::unique_ptr<Win32Object> object) {
    std::lock_guard<std::mutex> guard(objects().lock);
    Win32Object* raw = object.release();
    objects().live.insert(raw);
    return raw;
}

Win32Object* Win32Object_Find(HANDLE handle) {
    auto* object = static_cast<Win32Object*>(handle);
    return objects().live.count(object) != 0 ? object : nullptr;
}

// --- last error -----------------------------------------------------------------

DWORD WINAPI GetLastError() { return lastError; }
void WINAPI SetLastError(DWORD code) { lastError = code; }

// --- heaps ----------------------------------------------------------------------

HANDLE WINAPI GetProcessHeap() { return processHeap(); }

HANDLE WINAPI HeapCreate(DWORD, SIZE_T, SIZE_T) { return new Heap; }

BOOL WINAPI HeapDestroy(HANDLE handle) {
    Heap* heap = asHeap(handle);
    if (heap == nullptr || heap->process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (void* block : heap->blocks) std::free(block);
    heap->magic = 0;
    delete heap;
    return TRUE;
}

LPVOID WINAPI HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes) {
    Heap* heap = asHeap(handle);
    if (heap == nullptr) return nullptr;
    // A zero-byte block is still a distinct block, as on Windows.
    const size_t size = std::max<size_t>(bytes, 1);
    void* block = (flags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, size) : std::malloc(size);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!heap->process) {
        std::lock_guard<std::mutex> guard(heap->lock);
        heap->blocks.insert(block);
    }
    return block;
}

BOOL WINAPI HeapFree(HANDLE handle, DWORD, LPVOID block) {
    Heap* heap = asHeap(handle);
    if (heap == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (block == nullptr) return TRUE;
    if (!heap->process) {
        std::lock_guard<std::mutex> guard(heap->lock);
        if (heap->blocks.erase(block) == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    std::free(block);
    return TRUE;
}

// --- events and waits ---------------------------------------------------------------

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    return Win32Object_Register(std::make_unique<Event>(manualReset != FALSE, initialState != FALSE));
}

static BOOL setEventState(HANDLE handle, bool state) {
    std::lock_guard<std::mutex> guard(objects().lock);
    auto* event = Win32Object_FindAs<Event>(handle);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->set(state);
    if (state) objects().changed.notify_all();
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE handle) { return setEventState(handle, true); }
BOOL WINAPI ResetEvent(HANDLE handle) { return setEventState(handle, false); }

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> lock(objects().lock);
    std::vector<Win32Object*> wanted(count);
    for (DWORD i = 0; i < count; ++i) {
        wanted[i] = Win32Object_Find(handles[i]);
        if (wanted[i] == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    // Index of the satisfying object (the lowest for "any"), count for "all", -1 when none yet.
    auto satisfied = [&]() -> long {
        if (waitAll) {
            for (auto* object : wanted)
                if (!object->signalled()) return -1;
            return static_cast<long>(count);
        }
        for (DWORD i = 0; i < count; ++i)
            if (wanted[i]->signalled()) return static_cast<long>(i);
        return -1;
    };
    long which = satisfied();
    if (which < 0 && milliseconds != 0) {
        auto ready = [&] { return (which = satisfied()) >= 0; };
        if (milliseconds == INFINITE) {
            objects().changed.wait(lock, ready);
        } else {
            objects().changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
        }
    }
    if (which < 0) return WAIT_TIMEOUT;
    if (waitAll) {
        for (auto* object : wanted) object->consume();
        return WAIT_OBJECT_0;
    }
    wanted[static_cast<size_t>(which)]->consume();
    return WAIT_OBJECT_0 + static_cast<DWORD>(which);
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    std::unique_ptr<Win32Object> object;
    {
        std::lock_guard<std::mutex> guard(objects().lock);
        Win32Object* found = Win32Object_Find(handle);
        if (found == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        objects().live.erase(found);
        object.reset(found);
    }
    // Destroyed outside the lock: an object may own a thread that it joins.
    object.reset();
    return TRUE;
}

// --- threads, time, debugger --------------------------------------------------------

BOOL WINAPI SwitchToThread() {
    std::this_thread::yield();
    // Linux does not say whether another thread ran; callers that care fall
    // back to Sleep(0), which yields as well.
    return TRUE;
}

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD WINAPI GetCurrentThreadId() {
    // Windows thread ids are never 0; ids are not reused within a process here.
    static std::atomic<DWORD> next{1};
    thread_local DWORD id = next.fetch_add(1);
    return id;
}

// As on Windows, the text reaches a debugger only: without one it goes
// nowhere (a console program's own output stays its own).
void WINAPI OutputDebugStringA(LPCSTR text) {
    if (PLAT_isDebuggerPresent()) PLAT_outputDebugString(text);
}

// --- modules ------------------------------------------------------------------------

HMODULE WINAPI LoadLibraryExA(LPCSTR name, HANDLE, DWORD) { return GetModuleHandleA(name); }

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    // A null name is the program itself.
    if (name == nullptr || namesKernel(name)) return &kernelModule;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR) {
    SetLastError(module == &kernelModule ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
    return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    if (module != &kernelModule) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

#endif  // !_WIN32
