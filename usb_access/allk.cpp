// The library context and its handle pools.
#include "usb_access/allk.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "usb_access/system_api.h"

namespace {

std::atomic<AllK_Context*> context{nullptr};
// The context lock: a spin lock held only while the context is created.
std::atomic<uint32_t> contextLock{0};
std::atomic<void (*)(const char*)> debugOutput{nullptr};

void takeSpinLock(std::atomic<uint32_t>& word) {
    while (word.exchange(ALLK_IN_USE_MARKER, std::memory_order_acquire) != 0) {
        if (!SwitchToThread()) Sleep(0);
    }
}

void releaseSpinLock(std::atomic<uint32_t>& word) { word.exchange(0, std::memory_order_release); }

template <class Pool>
void reportPool(const char* name) {
    using Handle = std::remove_reference_t<decltype(std::declval<Pool>().handles[0])>;
    AllK_DebugPrint("  %u %s Handles: HandleSize %u PoolSize %u (bytes)\n", Pool::kCount, name,
                    static_cast<unsigned>(sizeof(Handle)), static_cast<unsigned>(sizeof(Pool)));
}

template <class Pool>
bool inPool(const Pool& pool, const void* handle) {
    const auto* first = reinterpret_cast<const uint8_t*>(&pool.handles[0]);
    const auto* last = reinterpret_cast<const uint8_t*>(&pool.handles[Pool::kCount - 1]);
    const auto* at = static_cast<const uint8_t*>(handle);
    // Only the start of a slot is a handle: a pointer into the middle of one
    // would read its fields from the wrong places.
    return at >= first && at <= last && (at - first) % sizeof(pool.handles[0]) == 0;
}

template <class Handle, uint32_t Count>
Handle* allocate(AllK_Pool<Handle, Count>& pool, AllK_Cleanup cleanup) {
    // The counter runs on through every try, so concurrent allocators start
    // at different slots and a freed slot waits until the rotation reaches it.
    const uint32_t first = static_cast<uint32_t>(pool.counter.fetch_add(1) + 1) % Count;
    uint32_t index = first;
    for (;;) {
        Handle& slot = pool.handles[index];
        if (slot.header.inUse.exchange(ALLK_IN_USE_MARKER) == 0) {
            slot.header.userContextArmed.store(0);
            slot.header.userCleanup = nullptr;
            slot.header.userContext = pool.defaultUserContext;
            slot.header.cleanup = cleanup;
            slot.header.disposingThread.store(0);
            // The kind-specific part starts zeroed.
            auto* body = reinterpret_cast<uint8_t*>(&slot) + sizeof(AllK_HandleHeader);
            std::memset(body, 0, sizeof(Handle) - sizeof(AllK_HandleHeader));
            slot.header.refCount.store(1);
            return &slot;
        }
        index = static_cast<uint32_t>(pool.counter.fetch_add(1) + 1) % Count;
        if (index == first) {
            SetLastError(ERROR_OUT_OF_STRUCTURES);
            return nullptr;
        }
    }
}

AllK_HandleHeader* header(void* handle) { return static_cast<AllK_HandleHeader*>(handle); }

}  // namespace

AllK_Context* AllK() { return context.load(std::memory_order_acquire); }

BOOL AllK_Init() {
    takeSpinLock(contextLock);
    if (context.load(std::memory_order_acquire) != nullptr) {
        releaseSpinLock(contextLock);
        return TRUE;
    }
    const UsbAccessSystemApi& api = UsbAccess_SystemApi();
    HMODULE kernel = GetModuleHandleA("kernel32");
    HANDLE heap = GetProcessHeap();
    void* block = heap != nullptr ? HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(AllK_Context)) : nullptr;
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        releaseSpinLock(contextLock);
        return FALSE;
    }
    auto* made = new (block) AllK_Context{};
    made->heap = heap;
    made->allocationHeap = heap;
    made->trustLibrary = api.LoadLibraryExA("wintrust", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    made->configManagerLibrary = api.LoadLibraryExA("cfgmgr32", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);

    AllK_DebugPrint("\n");
    AllK_DebugPrint("AllK required contiguous memory = %u (%sbit)\n", static_cast<unsigned>(sizeof(AllK_Context)),
                    sizeof(void*) == 8 ? "64" : "32");
    reportPool<decltype(made->hotK)>("HotK");
    reportPool<decltype(made->lstK)>("LstK");
    reportPool<decltype(made->lstInfoK)>("LstInfoK");
    reportPool<decltype(made->usbK)>("UsbK");
    reportPool<decltype(made->devK)>("DevK");
    reportPool<decltype(made->ovlK)>("OvlK");
    reportPool<decltype(made->ovlPoolK)>("OvlPoolK");
    reportPool<decltype(made->stmK)>("StmK");
    AllK_DebugPrint("\n");

    made->cancelIoEx = kernel != nullptr ? GetProcAddress(kernel, "CancelIoEx") : nullptr;
    if (made->configManagerLibrary != nullptr) {
        made->getDeviceId = api.GetProcAddress(made->configManagerLibrary, "CM_Get_Device_IDA");
        made->getParent = api.GetProcAddress(made->configManagerLibrary, "CM_Get_Parent");
    }
    made->hotK.counter.store(-1);
    made->lstK.counter.store(-1);
    made->lstInfoK.counter.store(-1);
    made->usbK.counter.store(-1);
    made->devK.counter.store(-1);
    made->ovlK.counter.store(-1);
    made->ovlPoolK.counter.store(-1);
    made->stmK.counter.store(-1);

    AllK_DebugPrint("Dynamically allocated as needed:\n");
    AllK_DebugPrint("\tKLST_DEVINFO = %u bytes each\n", static_cast<unsigned>(sizeof(KLST_DEVINFO)));
    context.store(made, std::memory_order_release);
    releaseSpinLock(contextLock);
    return TRUE;
}

BOOL AllK_Ensure() { return context.load(std::memory_order_acquire) != nullptr ? TRUE : AllK_Init(); }

HotK_Handle* AllK_AllocHotK() { return AllK_Ensure() ? allocate(AllK()->hotK, nullptr) : nullptr; }
LstK_Handle* AllK_AllocLstK(AllK_Cleanup cleanup) { return AllK_Ensure() ? allocate(AllK()->lstK, cleanup) : nullptr; }
LstInfoK_Handle* AllK_AllocLstInfoK(AllK_Cleanup cleanup) {
    return AllK_Ensure() ? allocate(AllK()->lstInfoK, cleanup) : nullptr;
}
UsbK_Handle* AllK_AllocUsbK(AllK_Cleanup cleanup) { return AllK_Ensure() ? allocate(AllK()->usbK, cleanup) : nullptr; }
UsbK_DeviceRecord* AllK_AllocDevK(AllK_Cleanup cleanup) {
    return AllK_Ensure() ? allocate(AllK()->devK, cleanup) : nullptr;
}

bool AllK_InHotKPool(const void* handle) { return AllK() != nullptr && inPool(AllK()->hotK, handle); }
bool AllK_InLstKPool(const void* handle) { return AllK() != nullptr && inPool(AllK()->lstK, handle); }
bool AllK_InLstInfoKPool(const void* handle) { return AllK() != nullptr && inPool(AllK()->lstInfoK, handle); }
bool AllK_InUsbKPool(const void* handle) { return AllK() != nullptr && inPool(AllK()->usbK, handle); }
bool AllK_InDevKPool(const void* handle) { return AllK() != nullptr && inPool(AllK()->devK, handle); }

BOOL UsbK_AcquireHandle(void* handle) {
    AllK_HandleHeader* h = header(handle);
    if (h->inUse.load() != ALLK_IN_USE_MARKER) return FALSE;
    if (const DWORD disposing = h->disposingThread.load(); disposing != 0) {
        // Only the thread running the cleanup may still use the handle.
        return disposing == GetCurrentThreadId() ? TRUE : FALSE;
    }
    // A count of 0 means the handle is being freed, or held there while what
    // it refers to is rebuilt. It is never raised from 0, not even for a
    // moment: a second caller would see the first one's raise and take it
    // for a reference.
    int32_t count = h->refCount.load();
    do {
        if (count <= 0) return FALSE;
    } while (!h->refCount.compare_exchange_weak(count, count + 1));
    return TRUE;
}

BOOL UsbK_ReleaseHandle(void* handle) {
    AllK_HandleHeader* h = header(handle);
    if (h->inUse.load() != ALLK_IN_USE_MARKER) return FALSE;
    if (const DWORD disposing = h->disposingThread.load(); disposing != 0) {
        return disposing == GetCurrentThreadId() ? TRUE : FALSE;
    }
    const int32_t count = h->refCount.fetch_sub(1) - 1;
    if (count > 0) return TRUE;
    if (count < 0) return FALSE;
    h->disposingThread.store(GetCurrentThreadId());
    if (AllK_Cleanup cleanup = h->cleanup; cleanup != nullptr) {
        h->cleanup = nullptr;
        cleanup(handle);
    }
    h->inUse.exchange(0);
    return FALSE;
}

void AllK_RunUserCleanup(void* handle, int32_t kind) {
    AllK_HandleHeader* h = header(handle);
    if (h->userContextArmed.exchange(0) == 0) return;
    if (AllK_UserCleanup callback = h->userCleanup; callback != nullptr) {
        h->userCleanup = nullptr;
        callback(handle, kind, h->userContext);
    }
}

void AllK_DebugPrint(const char* format, ...) {
    // At most 255 characters reach the debugger: a longer or unformattable
    // text is cut there, never written past the buffer.
    char text[256];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (written < 0) text[0] = '\0';
    text[sizeof(text) - 1] = '\0';
    if (auto output = debugOutput.load(); output != nullptr) {
        output(text);
    } else {
        OutputDebugStringA(text);
    }
}

void AllK_SetDebugOutput(void (*output)(const char* text)) { debugOutput.store(output); }
