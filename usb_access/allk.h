// The library's process-wide context (AllK): one zero-filled block, made once
// and never freed, holding a fixed pool per handle kind. A handle is a pointer
// to a slot of its kind's pool; every slot starts with the same header, so an
// operation can check a handle, pin it and release it with a few atomic
// operations and no lock.
//
// Slots are handed out in rotation after the last index handed out; a full
// pool fails with ERROR_OUT_OF_STRUCTURES (84).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"
#include "usb_access/usbk_api.h"

// "USBK" in memory order: the in-use marker of a slot, and the lock word value.
constexpr uint32_t ALLK_IN_USE_MARKER = 0x4B425355;

// Kind numbers given to a user cleanup callback.
enum AllK_Kind : int32_t {
    ALLK_KIND_HOTK = 0,
    ALLK_KIND_USBK = 1,
    ALLK_KIND_DEVK = 2,
    ALLK_KIND_LSTK = 3,
    ALLK_KIND_LSTINFOK = 4,
};

typedef void (*AllK_Cleanup)(void* handle);
typedef BOOL(WINAPI* AllK_UserCleanup)(void* handle, int32_t kind, uint64_t userContext);

// The header every handle starts with.
struct AllK_HandleHeader {
    std::atomic<DWORD> disposingThread;  // 0 while alive; the thread running the cleanup
    AllK_Cleanup cleanup;                // kind-specific, called once by the disposing thread
    std::atomic<uint32_t> inUse;         // ALLK_IN_USE_MARKER while allocated
    std::atomic<int32_t> refCount;       // 1 at allocation
    std::atomic<uint32_t> userContextArmed;
    AllK_UserCleanup userCleanup;  // nothing in the system sets one
    uint64_t userContext;
};
static_assert(sizeof(AllK_HandleHeader) == 48);

// --- the kinds ------------------------------------------------------------------

struct UsbK_DeviceRecord;

// Interface handle (pool of 64).
struct UsbK_Handle {
    AllK_HandleHeader header;
    UsbK_DeviceRecord* device;                // the shared device record
    std::atomic<uint32_t> currentInterface;  // interface index operations act on
    uint8_t reserved[96 - 48 - 8 - 4];
};
static_assert(sizeof(UsbK_Handle) == 96);

struct UsbK_DeviceCache;
struct UsbK_InterfaceEntry;
struct UsbK_KernelDriverRecord;

// Shared device record behind one or more interface handles (pool of 32).
struct UsbK_DeviceRecord {
    AllK_HandleHeader header;
    HANDLE deviceFile;
    std::atomic<WINUSB_INTERFACE_HANDLE> primaryWinUsb;
    char* pathCopy;  // set only when the record opened the file itself
    uint8_t* configDescriptor;
    UsbK_InterfaceEntry* interfaces;  // 128 entries inside the cache
    KUSB_DRIVER_API* driverApi;       // inside the cache
    UsbK_DeviceCache* cache;
    UsbK_KernelDriverRecord* kernel;  // kernel-driver back-end only
};
static_assert(sizeof(UsbK_DeviceRecord) == 112);

// Hot-plug registration (pool of 8): a copy of the 2048-byte parameter block
// and the links of the chain of registered handles.
struct HotK_Handle {
    AllK_HandleHeader header;
    uint8_t params[2048];
    HotK_Handle* next;
    HotK_Handle* prev;
};
static_assert(sizeof(HotK_Handle) == 2112);

// Device list (pool of 64) and device-list entry (pool of 1024); their
// fields are the device list's to use.
struct LstK_Handle {
    AllK_HandleHeader header;
    void* head;
    void* cursor;
};
struct LstInfoK_Handle {
    AllK_HandleHeader header;
    void* entry;
    HANDLE heap;
};
static_assert(sizeof(LstK_Handle) == 64 && sizeof(LstInfoK_Handle) == 64);

// Pools that no part of the system allocates from; they keep the context's
// layout and report.
struct OvlK_Handle {
    AllK_HandleHeader header;
    uint8_t opaque[104 - 48];
};
struct OvlPoolK_Handle {
    AllK_HandleHeader header;
    uint8_t opaque[96 - 48];
};
struct StmK_Handle {
    AllK_HandleHeader header;
    uint8_t opaque[176 - 48];
};

template <class Handle, uint32_t Count>
struct AllK_Pool {
    static constexpr uint32_t kCount = Count;
    static_assert((Count & (Count - 1)) == 0, "the rotation takes the index modulo a power of two");
    std::atomic<int32_t> counter;  // index last handed out; -1 after initialisation
    uint64_t defaultUserContext;
    Handle handles[Count];
};

// The context, 534200 bytes.
struct AllK_Context {
    HANDLE heap;
    HANDLE allocationHeap;  // every allocation of the library
    HMODULE trustLibrary;
    HMODULE configManagerLibrary;
    FARPROC cancelIoEx;
    FARPROC getDeviceId;  // CM_Get_Device_IDA, for the device list
    FARPROC getParent;    // CM_Get_Parent, for the device list
    AllK_Pool<HotK_Handle, 8> hotK;
    AllK_Pool<LstK_Handle, 64> lstK;
    AllK_Pool<LstInfoK_Handle, 1024> lstInfoK;
    AllK_Pool<UsbK_Handle, 64> usbK;
    AllK_Pool<UsbK_DeviceRecord, 32> devK;
    AllK_Pool<OvlK_Handle, 4096> ovlK;
    AllK_Pool<OvlPoolK_Handle, 64> ovlPoolK;
    AllK_Pool<StmK_Handle, 32> stmK;
};
static_assert(sizeof(AllK_Context) == 534200, "AllK required contiguous memory");

// The context, or null before AllK_Init (or after a failed one).
AllK_Context* AllK();
// Creates the context once; TRUE when it exists afterwards.
BOOL AllK_Init();
// TRUE at once when the context exists, else AllK_Init.
BOOL AllK_Ensure();

// Allocation from a kind's pool with its cleanup (null when none); null with
// ERROR_OUT_OF_STRUCTURES when every slot is in use.
HotK_Handle* AllK_AllocHotK();
LstK_Handle* AllK_AllocLstK(AllK_Cleanup cleanup);
LstInfoK_Handle* AllK_AllocLstInfoK(AllK_Cleanup cleanup);
UsbK_Handle* AllK_AllocUsbK(AllK_Cleanup cleanup);
UsbK_DeviceRecord* AllK_AllocDevK(AllK_Cleanup cleanup);

// Pool-range checks: the handle is the start of a slot of that kind's pool.
bool AllK_InHotKPool(const void* handle);
bool AllK_InLstKPool(const void* handle);
bool AllK_InLstInfoKPool(const void* handle);
bool AllK_InUsbKPool(const void* handle);
bool AllK_InDevKPool(const void* handle);

// Take a reference for the duration of an operation / drop it (the last one
// runs the cleanup and frees the slot). Any handle kind.
BOOL UsbK_AcquireHandle(void* handle);
BOOL UsbK_ReleaseHandle(void* handle);

// Cleanup step for an armed handle: clears the flag and calls the user
// cleanup, if one is set, with the handle's kind.
void AllK_RunUserCleanup(void* handle, int32_t kind);

// Reports a line to the debugger (at most 255 characters of it).
void AllK_DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Where the debug print goes: OutputDebugStringA unless a test captures it
// (null: back to OutputDebugStringA).
void AllK_SetDebugOutput(void (*output)(const char* text));
