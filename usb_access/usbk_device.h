// Internals shared by the driver table, the common device opening and the
// two back-ends: the device cache with its descriptor tree, the kernel driver
// record, the request routines and the handle guard every operation starts
// with.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"
#include "usb_access/allk.h"
#include "usb_access/usbk_api.h"

// --- descriptor tree (heap nodes from the library's heap) -------------------------

struct UsbK_PipeNode {
    uint8_t address;
    uint8_t index;  // within its alternate setting
    const USB_ENDPOINT_DESCRIPTOR* descriptor;
    UsbK_PipeNode* next;
};

struct UsbK_AltNode {
    uint8_t number;
    uint8_t index;  // within its interface
    uint8_t nextPipeIndex;
    const USB_INTERFACE_DESCRIPTOR* descriptor;
    UsbK_PipeNode* pipes;
    UsbK_AltNode* next;
};

struct UsbK_InterfaceNode {
    uint8_t number;
    uint8_t index;  // order of first appearance
    uint8_t nextAltIndex;
    UsbK_AltNode* alts;
    UsbK_InterfaceNode* next;
};

struct UsbK_InterfaceEntry {
    std::atomic<WINUSB_INTERFACE_HANDLE> winUsb;  // WinUSB back-end only
    uint8_t number;
    uint8_t index;
    std::atomic<uint32_t> claimed;
    std::atomic<uint32_t> currentAlt;
};

constexpr uint32_t USBK_MAX_INTERFACES = 128;
constexpr uint32_t USBK_PIPE_SLOTS = 32;

enum UsbK_BackendMode : int32_t { USBK_MODE_KERNEL = 0, USBK_MODE_WINUSB = 1 };

// One zero-filled block per device record.
struct UsbK_DeviceCache {
    int32_t mode;
    std::atomic<WINUSB_INTERFACE_HANDLE> routing[USBK_PIPE_SLOTS];  // WinUSB back-end only
    UsbK_InterfaceNode* interfaceList;
    uint8_t nextInterfaceIndex;
    KUSB_DRIVER_API driverApi;
    UsbK_InterfaceEntry interfaces[USBK_MAX_INTERFACES];
    // Bytes held by the configuration descriptor copy: the walk never reads
    // past them, whatever the copy's own length field says.
    uint32_t configLength;
    uint8_t reserved[12];
};
static_assert(sizeof(UsbK_DeviceCache) == 3880, "device cache is 3880 bytes");

// Kernel-driver back-end: host-side pipe timeouts and the driver's version.
struct UsbK_KernelDriverRecord {
    std::atomic<uint32_t> pipeTimeouts[USBK_PIPE_SLOTS];  // ms, 0 = none
    uint32_t version[5];
};
static_assert(sizeof(UsbK_KernelDriverRecord) == 148, "kernel driver record is 148 bytes");

// The 24-byte request block of the kernel drivers.
struct UsbK_Request {
    uint8_t bytes[24];
    void put32(size_t offset, uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    uint32_t get32(size_t offset) const {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
        return value;
    }
};
static_assert(sizeof(UsbK_Request) == 24, "request block is 24 bytes");

// Kernel-driver control codes.
enum : DWORD {
    LIBUSB_IOCTL_SET_CONFIGURATION = 0x222004,
    LIBUSB_IOCTL_GET_DESCRIPTOR = 0x222024,
    LIBUSB_IOCTL_INTERRUPT_OR_BULK_WRITE = 0x222029,
    LIBUSB_IOCTL_INTERRUPT_OR_BULK_READ = 0x22202E,
    LIBUSB_IOCTL_RESET_ENDPOINT = 0x222038,
    LIBUSB_IOCTL_ABORT_ENDPOINT = 0x22203C,
    LIBUSB_IOCTL_RESET_DEVICE = 0x222040,
    LIBUSB_IOCTL_GET_VERSION = 0x222048,
    LIBUSBK_IOCTL_GET_CONFIGURATION = 0x222408,
    LIBUSBK_IOCTL_QUERY_DEVICE_INFORMATION = 0x222410,
    LIBUSBK_IOCTL_SET_PIPE_POLICY = 0x222418,
    LIBUSBK_IOCTL_GET_PIPE_POLICY = 0x22241C,
    LIBUSBK_IOCTL_SET_POWER_POLICY = 0x222420,
    LIBUSBK_IOCTL_GET_POWER_POLICY = 0x222424,
    LIBUSBK_IOCTL_CONTROL_WRITE = 0x222429,
    LIBUSBK_IOCTL_CONTROL_READ = 0x22242E,
    LIBUSBK_IOCTL_FLUSH_PIPE = 0x222430,
    LIBUSBK_IOCTL_CLAIM_INTERFACE = 0x222434,
    LIBUSBK_IOCTL_RELEASE_INTERFACE = 0x222438,
    LIBUSBK_IOCTL_SET_INTERFACE = 0x222440,
    LIBUSBK_IOCTL_GET_INTERFACE = 0x222444,
    LIBUSBK_IOCTL_GET_CURRENTFRAME_NUMBER = 0x222448,
    LIBUSBK_IOCTL_ISOEX_WRITE = 0x22244D,
    LIBUSBK_IOCTL_ISOEX_READ = 0x222452,
    LIBUSBK_IOCTL_ISOCHRONOUS_WRITE = 0x222455,
    LIBUSBK_IOCTL_ISOCHRONOUS_READ = 0x22245A,
};

// Pipe slot of an endpoint address: 0-15 OUT, 16-31 IN.
inline uint32_t UsbK_PipeSlot(uint8_t address) { return (address & 0x0Fu) + ((address & 0x80u) != 0 ? 16u : 0u); }

// The not-supported stub of one slot signature: ERROR_NOT_SUPPORTED, FALSE.
template <class Fn>
struct UsbK_NotSupported;
template <class... Args>
struct UsbK_NotSupported<BOOL(WINAPI*)(Args...)> {
    static BOOL WINAPI call(Args...) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
};

// --- handle guard -------------------------------------------------------------------

// Checks that a handle lies in the UsbK pool (ERROR_INVALID_HANDLE) and pins
// it (ERROR_RESOURCE_NOT_AVAILABLE) for the guard's life.
class UsbK_HandleGuard {
public:
    explicit UsbK_HandleGuard(KUSB_HANDLE handle);
    ~UsbK_HandleGuard();
    UsbK_HandleGuard(const UsbK_HandleGuard&) = delete;
    UsbK_HandleGuard& operator=(const UsbK_HandleGuard&) = delete;
    explicit operator bool() const { return handle_ != nullptr; }
    UsbK_Handle* operator->() const { return handle_; }
    UsbK_Handle* get() const { return handle_; }
    UsbK_DeviceRecord* device() const { return handle_->device; }

private:
    UsbK_Handle* handle_ = nullptr;
};

// The prologue of every slot that acts on one interface: the handle guard,
// then the interface by number or by index, or the handle's current one.
// Without the interface the slot fails with the error the slot names for it
// (ERROR_RESOURCE_NOT_FOUND or ERROR_NO_MORE_ITEMS).
class UsbK_InterfaceSlot {
public:
    UsbK_InterfaceSlot(KUSB_HANDLE handle, UCHAR numberOrIndex, BOOL isIndex, DWORD missingError);
    UsbK_InterfaceSlot(KUSB_HANDLE handle, DWORD missingError);
    explicit operator bool() const { return intf_ != nullptr; }
    const UsbK_HandleGuard& guard() const { return guard_; }
    UsbK_DeviceRecord* device() const { return guard_.device(); }
    UsbK_InterfaceNode* intf() const { return intf_; }
    // The interface's entry in the device's interface array.
    UsbK_InterfaceEntry& entry() const;

private:
    UsbK_HandleGuard guard_;
    UsbK_InterfaceNode* intf_ = nullptr;
};

// The argument check that comes before the handle's: false sets
// ERROR_INVALID_PARAMETER.
bool UsbK_ArgumentsValid(bool valid);

// The six interface slots of a back-end (claim, release and the four
// alternate-setting slots) around its own primitives, which run once the
// interface is found and pinned: Claim(slot, claim), SetAlt(slot, alt),
// GetAlt(slot, out). An interface that is missing is ERROR_RESOURCE_NOT_FOUND
// for claim, release and setting by number or index, ERROR_NO_MORE_ITEMS for
// the rest.
template <BOOL (*Claim)(const UsbK_InterfaceSlot&, bool), BOOL (*SetAlt)(const UsbK_InterfaceSlot&, UCHAR),
          BOOL (*GetAlt)(const UsbK_InterfaceSlot&, PUCHAR)>
struct UsbK_InterfaceSlots {
    static BOOL WINAPI ClaimInterface(KUSB_HANDLE handle, UCHAR numberOrIndex, BOOL isIndex) {
        return claim(handle, numberOrIndex, isIndex, true);
    }
    static BOOL WINAPI ReleaseInterface(KUSB_HANDLE handle, UCHAR numberOrIndex, BOOL isIndex) {
        return claim(handle, numberOrIndex, isIndex, false);
    }
    static BOOL WINAPI SetInterfaceAltSetting(KUSB_HANDLE handle, UCHAR numberOrIndex, BOOL isIndex, UCHAR alt) {
        UsbK_InterfaceSlot slot(handle, numberOrIndex, isIndex, ERROR_RESOURCE_NOT_FOUND);
        return slot && SetAlt(slot, alt);
    }
    static BOOL WINAPI GetInterfaceAltSetting(KUSB_HANDLE handle, UCHAR numberOrIndex, BOOL isIndex, PUCHAR out) {
        if (!UsbK_ArgumentsValid(out != nullptr)) return FALSE;
        UsbK_InterfaceSlot slot(handle, numberOrIndex, isIndex, ERROR_NO_MORE_ITEMS);
        return slot && GetAlt(slot, out);
    }
    static BOOL WINAPI SetAltInterface(KUSB_HANDLE handle, UCHAR alt) {
        UsbK_InterfaceSlot slot(handle, ERROR_NO_MORE_ITEMS);
        return slot && SetAlt(slot, alt);
    }
    static BOOL WINAPI GetAltInterface(KUSB_HANDLE handle, PUCHAR out) {
        if (!UsbK_ArgumentsValid(out != nullptr)) return FALSE;
        UsbK_InterfaceSlot slot(handle, ERROR_NO_MORE_ITEMS);
        return slot && GetAlt(slot, out);
    }

private:
    static BOOL claim(KUSB_HANDLE handle, UCHAR numberOrIndex, BOOL isIndex, bool claiming) {
        UsbK_InterfaceSlot slot(handle, numberOrIndex, isIndex, ERROR_RESOURCE_NOT_FOUND);
        return slot && Claim(slot, claiming);
    }
};

// --- the common opening routine ---------------------------------------------------------

typedef BOOL (*UsbK_DeviceInitRoutine)(UsbK_Handle* handle);
typedef BOOL (*UsbK_ExtraAllocRoutine)(UsbK_Handle* handle);

BOOL UsbK_InitDevice(KUSB_HANDLE* out, int32_t driverId, int32_t mode, HANDLE deviceFile, KLST_DEVINFO_HANDLE devInfo,
                     UsbK_DeviceRecord* shared, UsbK_DeviceInitRoutine initDevice, UsbK_ExtraAllocRoutine extraAlloc,
                     AllK_Cleanup handleCleanup, AllK_Cleanup deviceCleanup);

// Descriptor tree of a device record's configuration descriptor.
void UsbK_BuildTree(UsbK_DeviceRecord* device);
void UsbK_FreeTree(UsbK_DeviceRecord* device);
// What every back-end's device-record cleanup frees: the path copy with the
// file it opened by that path, the tree, the cache and the descriptor copy.
void UsbK_FreeDeviceCommon(UsbK_DeviceRecord* device);
UsbK_InterfaceNode* UsbK_FindInterface(UsbK_DeviceRecord* device, uint8_t numberOrIndex, BOOL isIndex);
UsbK_InterfaceNode* UsbK_CurrentInterface(UsbK_Handle* handle);
// Total length of the configuration descriptor copy (0 without one).
uint32_t UsbK_ConfigLength(const UsbK_DeviceRecord* device);

// Library heap helpers.
void* UsbK_HeapAlloc(size_t bytes);
void UsbK_HeapFree(void* block);

// --- requests to the kernel drivers ----------------------------------------------------------

BOOL UsbK_IoctlSync(HANDLE file, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                    PUINT transferred);
BOOL UsbK_IoctlWithTimeout(HANDLE file, DWORD code, UsbK_Request* request, void* buffer, DWORD length,
                           uint32_t timeoutMs, uint8_t pipeId, PUINT transferred);
BOOL UsbK_IoctlOverlapped(HANDLE file, DWORD code, UsbK_Request* request, void* buffer, DWORD length,
                          LPOVERLAPPED overlapped);

// --- the back-ends' slots ----------------------------------------------------------------------

// Kernel-driver back-end's implementation of a function id (null when none).
KPROC UsbK_KernelProc(int32_t functionId);
// WinUSB back-end's implementation (null when none).
KPROC UsbK_WinUsbProc(int32_t functionId);
// Loads winusb.dll once; TRUE when its functions are available.
BOOL LoadWinUsbLibrary();
// WinUSB back-end: which interface handle serves each pipe slot.
void UsbK_WinUsbBuildRouting(UsbK_DeviceRecord* device);
// Cleanup of an interface handle: user context (kind 1), then its reference
// on the device record.
void UsbK_HandleCleanup(void* handle);
// The configuration value of the kept descriptor (0 without one).
uint8_t UsbK_KeptConfigurationValue(const UsbK_DeviceRecord* device);

// Kernel back-end slots that other parts call directly.
BOOL WINAPI UsbK_GetDescriptor(KUSB_HANDLE handle, UCHAR type, UCHAR index, USHORT language, PUCHAR buffer,
                               UINT length, PUINT transferred);
BOOL WINAPI UsbK_GetConfiguration(KUSB_HANDLE handle, PUCHAR value);
BOOL WINAPI UsbK_GetOverlappedResult(KUSB_HANDLE handle, LPOVERLAPPED overlapped, PUINT transferred, BOOL wait);
