// The WinUSB back-end: the slots served by the functions of winusb.dll,
// loaded at run time. WinUSB gives one handle for the opened interface (the
// primary handle) and one per associated interface; every pipe operation
// goes to the handle of the interface that owns the pipe.
#include <atomic>
#include <cstring>

#include "usb_access/system_api.h"
#include "usb_access/usbk_device.h"

namespace {

typedef BOOL(WINAPI* WinUsb_AbortPipe_t)(WINUSB_INTERFACE_HANDLE, UCHAR);
typedef BOOL(WINAPI* WinUsb_Initialize_t)(HANDLE, PWINUSB_INTERFACE_HANDLE);
typedef BOOL(WINAPI* WinUsb_Free_t)(WINUSB_INTERFACE_HANDLE);
typedef BOOL(WINAPI* WinUsb_GetAssociatedInterface_t)(WINUSB_INTERFACE_HANDLE, UCHAR, PWINUSB_INTERFACE_HANDLE);
typedef BOOL(WINAPI* WinUsb_GetDescriptor_t)(WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR, USHORT, PUCHAR, ULONG, PULONG);
typedef BOOL(WINAPI* WinUsb_QueryDeviceInformation_t)(WINUSB_INTERFACE_HANDLE, ULONG, PULONG, PVOID);
typedef BOOL(WINAPI* WinUsb_SetCurrentAlternateSetting_t)(WINUSB_INTERFACE_HANDLE, UCHAR);
typedef BOOL(WINAPI* WinUsb_GetCurrentAlternateSetting_t)(WINUSB_INTERFACE_HANDLE, PUCHAR);
typedef BOOL(WINAPI* WinUsb_SetPipePolicy_t)(WINUSB_INTERFACE_HANDLE, UCHAR, ULONG, ULONG, PVOID);
typedef BOOL(WINAPI* WinUsb_GetPipePolicy_t)(WINUSB_INTERFACE_HANDLE, UCHAR, ULONG, PULONG, PVOID);
typedef BOOL(WINAPI* WinUsb_ReadPipe_t)(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED);
typedef BOOL(WINAPI* WinUsb_WritePipe_t)(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED);
typedef BOOL(WINAPI* WinUsb_ControlTransfer_t)(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET, PUCHAR, ULONG, PULONG,
                                               LPOVERLAPPED);
typedef BOOL(WINAPI* WinUsb_ResetPipe_t)(WINUSB_INTERFACE_HANDLE, UCHAR);
typedef BOOL(WINAPI* WinUsb_FlushPipe_t)(WINUSB_INTERFACE_HANDLE, UCHAR);
typedef BOOL(WINAPI* WinUsb_SetPowerPolicy_t)(WINUSB_INTERFACE_HANDLE, ULONG, ULONG, PVOID);
typedef BOOL(WINAPI* WinUsb_GetPowerPolicy_t)(WINUSB_INTERFACE_HANDLE, ULONG, PULONG, PVOID);

struct WinUsbFunctions {
    WinUsb_AbortPipe_t AbortPipe;
    WinUsb_Initialize_t Initialize;
    WinUsb_Free_t Free;
    WinUsb_GetAssociatedInterface_t GetAssociatedInterface;
    WinUsb_GetDescriptor_t GetDescriptor;
    WinUsb_QueryDeviceInformation_t QueryDeviceInformation;
    WinUsb_SetCurrentAlternateSetting_t SetCurrentAlternateSetting;
    WinUsb_GetCurrentAlternateSetting_t GetCurrentAlternateSetting;
    WinUsb_SetPipePolicy_t SetPipePolicy;
    WinUsb_GetPipePolicy_t GetPipePolicy;
    WinUsb_ReadPipe_t ReadPipe;
    WinUsb_WritePipe_t WritePipe;
    WinUsb_ControlTransfer_t ControlTransfer;
    WinUsb_ResetPipe_t ResetPipe;
    WinUsb_FlushPipe_t FlushPipe;
    WinUsb_SetPowerPolicy_t SetPowerPolicy;
    WinUsb_GetPowerPolicy_t GetPowerPolicy;
};

WinUsbFunctions winUsb{};
std::atomic<bool> loaded{false};
bool available = false;  // written under the lock before `loaded`
std::atomic<uint32_t> loadLock{0};

template <class Fn>
void lookUp(HMODULE module, const char* name, Fn* out) {
    // An entry point the library does not export stays null; the slot that
    // needs it then reports it as not supported.
    FARPROC found = UsbAccess_SystemApi().GetProcAddress(module, name);
    *out = found != nullptr ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(found)) : nullptr;
}

template <class Fn>
void stub(Fn* out) {
    *out = &UsbK_NotSupported<Fn>::call;
}

// A looked-up entry point that is missing answers as not supported.
template <class Fn>
Fn fn(Fn found) {
    return found != nullptr ? found : &UsbK_NotSupported<Fn>::call;
}

WINUSB_INTERFACE_HANDLE primaryOf(const UsbK_HandleGuard& guard) { return guard.device()->primaryWinUsb.load(); }

UsbK_InterfaceEntry& entryOf(UsbK_DeviceRecord* device, const UsbK_InterfaceNode* intf) {
    return device->interfaces[intf->index % USBK_MAX_INTERFACES];
}

BOOL readDescriptor(WINUSB_INTERFACE_HANDLE primary, PUCHAR buffer, ULONG length, ULONG* got) {
    return fn(winUsb.GetDescriptor)(primary, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, length, got);
}

BOOL winUsbInitDevice(UsbK_Handle* handle) {
    UsbK_DeviceRecord* device = handle->device;
    if (device->primaryWinUsb.load() == nullptr) {
        WINUSB_INTERFACE_HANDLE primary = nullptr;
        if (!fn(winUsb.Initialize)(device->deviceFile, &primary)) return FALSE;
        device->primaryWinUsb.exchange(primary);
        device->interfaces[0].winUsb.exchange(primary);
        device->interfaces[0].index = 0;
        for (uint32_t k = 0; k + 1 < USBK_MAX_INTERFACES; ++k) {
            WINUSB_INTERFACE_HANDLE associated = nullptr;
            if (!fn(winUsb.GetAssociatedInterface)(primary, static_cast<UCHAR>(k), &associated)) break;
            device->interfaces[k + 1].winUsb.exchange(associated);
            device->interfaces[k + 1].index = static_cast<uint8_t>(k + 1);
        }
    }
    uint8_t head[sizeof(USB_CONFIGURATION_DESCRIPTOR)] = {};
    ULONG got = 0;
    if (!readDescriptor(device->primaryWinUsb.load(), head, sizeof(head), &got)) return FALSE;
    const uint32_t total = static_cast<uint32_t>(head[2]) | (static_cast<uint32_t>(head[3]) << 8);
    if (got < sizeof(head) || total < sizeof(head)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    auto* copy = static_cast<uint8_t*>(UsbK_HeapAlloc(total));
    if (copy == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    device->configDescriptor = copy;
    if (!readDescriptor(device->primaryWinUsb.load(), copy, total, &got)) return FALSE;
    // What the device sent, which may be less than its own total.
    device->cache->configLength = got < total ? got : total;
    return TRUE;
}

void winUsbDeviceCleanup(void* record) {
    auto* device = static_cast<UsbK_DeviceRecord*>(record);
    if (device->cache != nullptr) {
        for (auto& entry : device->cache->interfaces) {
            WINUSB_INTERFACE_HANDLE h = entry.winUsb.exchange(nullptr);
            if (h == nullptr) break;
            fn(winUsb.Free)(h);
        }
    }
    device->primaryWinUsb.store(nullptr);
    UsbK_FreeDeviceCommon(device);
}

// --- slots ------------------------------------------------------------------------------------

BOOL WINAPI wInit(KUSB_HANDLE* out, KLST_DEVINFO_HANDLE devInfo) {
    if (!UsbK_ArgumentsValid(devInfo != nullptr)) return FALSE;
    return UsbK_InitDevice(out, KUSB_DRVID_WINUSB, USBK_MODE_WINUSB, nullptr, devInfo, nullptr, winUsbInitDevice,
                           nullptr, UsbK_HandleCleanup, winUsbDeviceCleanup);
}

BOOL WINAPI wInitialize(HANDLE file, KUSB_HANDLE* out) {
    if (file == nullptr || file == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return UsbK_InitDevice(out, KUSB_DRVID_WINUSB, USBK_MODE_WINUSB, file, nullptr, nullptr, winUsbInitDevice, nullptr,
                           UsbK_HandleCleanup, winUsbDeviceCleanup);
}

// No WinUSB call: WinUSB claims the interfaces it opens.
BOOL claimOrRelease(const UsbK_InterfaceSlot& slot, bool claim) {
    slot.entry().claimed.exchange(claim ? 1 : 0);
    if (claim) slot.guard()->currentInterface.exchange(slot.intf()->index);
    return TRUE;
}

BOOL setAlt(const UsbK_InterfaceSlot& slot, UCHAR alt) {
    UsbK_InterfaceEntry& entry = slot.entry();
    if (!fn(winUsb.SetCurrentAlternateSetting)(entry.winUsb.load(), alt)) return FALSE;
    entry.currentAlt.exchange(alt);
    UsbK_WinUsbBuildRouting(slot.device());
    return TRUE;
}

BOOL getAlt(const UsbK_InterfaceSlot& slot, PUCHAR out) {
    UsbK_InterfaceEntry& entry = slot.entry();
    if (!fn(winUsb.GetCurrentAlternateSetting)(entry.winUsb.load(), out)) return FALSE;
    entry.currentAlt.exchange(*out);
    UsbK_WinUsbBuildRouting(slot.device());
    return TRUE;
}

using WinUsbInterfaceSlots = UsbK_InterfaceSlots<&claimOrRelease, &setAlt, &getAlt>;

// WinUSB counts in ULONG where the table's callers count in UINT: a call
// that reports the bytes it moved hands them to a caller that asked, and one
// with an in/out length takes the caller's and gives it back.
template <class Call>
BOOL withTransferred(KUSB_HANDLE handle, PUINT transferred, Call call) {
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    ULONG got = 0;
    const BOOL ok = call(guard, &got);
    if (transferred != nullptr) *transferred = got;
    return ok;
}

template <class Call>
BOOL withLength(KUSB_HANDLE handle, PUINT length, Call call) {
    if (!UsbK_ArgumentsValid(length != nullptr)) return FALSE;
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    ULONG size = *length;
    const BOOL ok = call(guard, &size);
    *length = size;
    return ok;
}

BOOL WINAPI wGetDescriptor(KUSB_HANDLE handle, UCHAR type, UCHAR index, USHORT language, PUCHAR buffer, UINT length,
                           PUINT transferred) {
    return withTransferred(handle, transferred, [&](const UsbK_HandleGuard& guard, ULONG* got) {
        return fn(winUsb.GetDescriptor)(primaryOf(guard), type, index, language, buffer, length, got);
    });
}

BOOL WINAPI wControlTransfer(KUSB_HANDLE handle, WINUSB_SETUP_PACKET setup, PUCHAR buffer, UINT length,
                             PUINT transferred, LPOVERLAPPED overlapped) {
    return withTransferred(handle, transferred, [&](const UsbK_HandleGuard& guard, ULONG* got) {
        return fn(winUsb.ControlTransfer)(primaryOf(guard), setup, buffer, length, got, overlapped);
    });
}

BOOL WINAPI wSetPowerPolicy(KUSB_HANDLE handle, UINT type, UINT length, PVOID value) {
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    return fn(winUsb.SetPowerPolicy)(primaryOf(guard), type, length, value);
}

BOOL WINAPI wGetPowerPolicy(KUSB_HANDLE handle, UINT type, PUINT length, PVOID value) {
    return withLength(handle, length, [&](const UsbK_HandleGuard& guard, ULONG* size) {
        return fn(winUsb.GetPowerPolicy)(primaryOf(guard), type, size, value);
    });
}

BOOL WINAPI wSetConfiguration(KUSB_HANDLE handle, UCHAR value) {
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    if (value != UsbK_KeptConfigurationValue(guard.device())) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI wQueryDeviceInformation(KUSB_HANDLE handle, UINT type, PUINT length, PVOID buffer) {
    return withLength(handle, length, [&](const UsbK_HandleGuard& guard, ULONG* size) {
        return fn(winUsb.QueryDeviceInformation)(primaryOf(guard), type, size, buffer);
    });
}

WINUSB_INTERFACE_HANDLE routeOf(const UsbK_HandleGuard& guard, UCHAR pipe) {
    return guard.device()->cache->routing[UsbK_PipeSlot(pipe)].load();
}

// A pipe policy takes the handle of the interface that owns the pipe, as
// transfers do: set on the primary handle, the policy of an associated
// interface's pipe would never reach it (its time-out, for one). The default
// pipe and pipes no interface lists go to the primary handle, and the system
// answers for them.
WINUSB_INTERFACE_HANDLE policyHandleOf(const UsbK_HandleGuard& guard, UCHAR pipe) {
    WINUSB_INTERFACE_HANDLE route = (pipe & 0x7F) != 0 ? routeOf(guard, pipe) : nullptr;
    return route != nullptr ? route : primaryOf(guard);
}

BOOL WINAPI wSetPipePolicy(KUSB_HANDLE handle, UCHAR pipe, UINT type, UINT length, PVOID value) {
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    return fn(winUsb.SetPipePolicy)(policyHandleOf(guard, pipe), pipe, type, length, value);
}

BOOL WINAPI wGetPipePolicy(KUSB_HANDLE handle, UCHAR pipe, UINT type, PUINT length, PVOID value) {
    return withLength(handle, length, [&](const UsbK_HandleGuard& guard, ULONG* size) {
        return fn(winUsb.GetPipePolicy)(policyHandleOf(guard, pipe), pipe, type, size, value);
    });
}

BOOL WINAPI wReadPipe(KUSB_HANDLE handle, UCHAR pipe, PUCHAR buffer, UINT length, PUINT transferred,
                      LPOVERLAPPED overlapped) {
    return withTransferred(handle, transferred, [&](const UsbK_HandleGuard& guard, ULONG* got) {
        return fn(winUsb.ReadPipe)(routeOf(guard, pipe), pipe, buffer, length, got, overlapped);
    });
}

BOOL WINAPI wWritePipe(KUSB_HANDLE handle, UCHAR pipe, PUCHAR buffer, UINT length, PUINT transferred,
                       LPOVERLAPPED overlapped) {
    return withTransferred(handle, transferred, [&](const UsbK_HandleGuard& guard, ULONG* got) {
        return fn(winUsb.WritePipe)(routeOf(guard, pipe), pipe, buffer, length, got, overlapped);
    });
}

template <class Fn>
BOOL pipeCommand(KUSB_HANDLE handle, UCHAR pipe, Fn function) {
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    return fn(function)(routeOf(guard, pipe), pipe);
}

BOOL WINAPI wResetPipe(KUSB_HANDLE h, UCHAR pipe) { return pipeCommand(h, pipe, winUsb.ResetPipe); }
BOOL WINAPI wAbortPipe(KUSB_HANDLE h, UCHAR pipe) { return pipeCommand(h, pipe, winUsb.AbortPipe); }
BOOL WINAPI wFlushPipe(KUSB_HANDLE h, UCHAR pipe) { return pipeCommand(h, pipe, winUsb.FlushPipe); }

template <class Fn>
KPROC proc(Fn function) {
    return reinterpret_cast<KPROC>(function);
}

}  // namespace

BOOL LoadWinUsbLibrary() {
    if (loaded.load(std::memory_order_acquire)) return available ? TRUE : FALSE;
    while (loadLock.exchange(ALLK_IN_USE_MARKER, std::memory_order_acquire) != 0) {
        if (!SwitchToThread()) Sleep(0);
    }
    if (!loaded.load(std::memory_order_relaxed)) {
        const UsbAccessSystemApi& api = UsbAccess_SystemApi();
        // winusb.dll is not on the system's known list: by bare name alone a
        // copy beside the program would load first.
        HMODULE module = api.LoadLibraryExA("winusb.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module != nullptr) {
            lookUp(module, "WinUsb_AbortPipe", &winUsb.AbortPipe);
            lookUp(module, "WinUsb_Initialize", &winUsb.Initialize);
            lookUp(module, "WinUsb_Free", &winUsb.Free);
            lookUp(module, "WinUsb_GetAssociatedInterface", &winUsb.GetAssociatedInterface);
            lookUp(module, "WinUsb_GetDescriptor", &winUsb.GetDescriptor);
            lookUp(module, "WinUsb_QueryDeviceInformation", &winUsb.QueryDeviceInformation);
            lookUp(module, "WinUsb_SetCurrentAlternateSetting", &winUsb.SetCurrentAlternateSetting);
            lookUp(module, "WinUsb_GetCurrentAlternateSetting", &winUsb.GetCurrentAlternateSetting);
            lookUp(module, "WinUsb_SetPipePolicy", &winUsb.SetPipePolicy);
            lookUp(module, "WinUsb_GetPipePolicy", &winUsb.GetPipePolicy);
            lookUp(module, "WinUsb_ReadPipe", &winUsb.ReadPipe);
            lookUp(module, "WinUsb_WritePipe", &winUsb.WritePipe);
            lookUp(module, "WinUsb_ControlTransfer", &winUsb.ControlTransfer);
            lookUp(module, "WinUsb_ResetPipe", &winUsb.ResetPipe);
            lookUp(module, "WinUsb_AbortPipe", &winUsb.AbortPipe);
            lookUp(module, "WinUsb_FlushPipe", &winUsb.FlushPipe);
            lookUp(module, "WinUsb_SetPowerPolicy", &winUsb.SetPowerPolicy);
            lookUp(module, "WinUsb_GetPowerPolicy", &winUsb.GetPowerPolicy);
        } else {
            stub(&winUsb.AbortPipe);
            stub(&winUsb.Initialize);
            stub(&winUsb.Free);
            stub(&winUsb.GetAssociatedInterface);
            stub(&winUsb.GetDescriptor);
            stub(&winUsb.QueryDeviceInformation);
            stub(&winUsb.SetCurrentAlternateSetting);
            stub(&winUsb.GetCurrentAlternateSetting);
            stub(&winUsb.SetPipePolicy);
            stub(&winUsb.GetPipePolicy);
            stub(&winUsb.ReadPipe);
            stub(&winUsb.WritePipe);
            stub(&winUsb.ControlTransfer);
            stub(&winUsb.ResetPipe);
            stub(&winUsb.FlushPipe);
            stub(&winUsb.SetPowerPolicy);
            stub(&winUsb.GetPowerPolicy);
        }
        available = module != nullptr;
        loaded.store(true, std::memory_order_release);
    }
    loadLock.exchange(0, std::memory_order_release);
    return available ? TRUE : FALSE;
}

void UsbK_WinUsbBuildRouting(UsbK_DeviceRecord* device) {
    UsbK_DeviceCache* cache = device->cache;
    WINUSB_INTERFACE_HANDLE primary = device->primaryWinUsb.load();
    for (UsbK_InterfaceNode* intf = cache->interfaceList; intf != nullptr; intf = intf->next) {
        UsbK_InterfaceEntry& entry = entryOf(device, intf);
        WINUSB_INTERFACE_HANDLE own = entry.winUsb.load();
        for (UsbK_AltNode* alt = intf->alts; alt != nullptr; alt = alt->next) {
            for (UsbK_PipeNode* pipe = alt->pipes; pipe != nullptr; pipe = pipe->next) {
                std::atomic<WINUSB_INTERFACE_HANDLE>& route = cache->routing[UsbK_PipeSlot(pipe->address)];
                if (alt->number == entry.currentAlt.load()) {
                    route.exchange(own);
                } else {
                    WINUSB_INTERFACE_HANDLE empty = nullptr;
                    route.compare_exchange_strong(empty, own != nullptr ? own : primary);
                }
            }
        }
    }
}

KPROC UsbK_WinUsbProc(int32_t functionId) {
    switch (functionId) {
        case KUSB_FNID_Init: return proc(&wInit);
        case KUSB_FNID_ClaimInterface: return proc(&WinUsbInterfaceSlots::ClaimInterface);
        case KUSB_FNID_ReleaseInterface: return proc(&WinUsbInterfaceSlots::ReleaseInterface);
        case KUSB_FNID_SetInterfaceAltSetting: return proc(&WinUsbInterfaceSlots::SetInterfaceAltSetting);
        case KUSB_FNID_GetInterfaceAltSetting: return proc(&WinUsbInterfaceSlots::GetInterfaceAltSetting);
        case KUSB_FNID_GetDescriptor: return proc(&wGetDescriptor);
        case KUSB_FNID_ControlTransfer: return proc(&wControlTransfer);
        case KUSB_FNID_SetPowerPolicy: return proc(&wSetPowerPolicy);
        case KUSB_FNID_GetPowerPolicy: return proc(&wGetPowerPolicy);
        case KUSB_FNID_SetConfiguration: return proc(&wSetConfiguration);
        case KUSB_FNID_GetConfiguration: return proc(&UsbK_GetConfiguration);
        case KUSB_FNID_Initialize: return proc(&wInitialize);
        case KUSB_FNID_QueryDeviceInformation: return proc(&wQueryDeviceInformation);
        case KUSB_FNID_SetAltInterface: return proc(&WinUsbInterfaceSlots::SetAltInterface);
        case KUSB_FNID_GetAltInterface: return proc(&WinUsbInterfaceSlots::GetAltInterface);
        case KUSB_FNID_SetPipePolicy: return proc(&wSetPipePolicy);
        case KUSB_FNID_GetPipePolicy: return proc(&wGetPipePolicy);
        case KUSB_FNID_ReadPipe: return proc(&wReadPipe);
        case KUSB_FNID_WritePipe: return proc(&wWritePipe);
        case KUSB_FNID_ResetPipe: return proc(&wResetPipe);
        case KUSB_FNID_AbortPipe: return proc(&wAbortPipe);
        case KUSB_FNID_FlushPipe: return proc(&wFlushPipe);
        case KUSB_FNID_GetOverlappedResult: return proc(&UsbK_GetOverlappedResult);
        default: return nullptr;
    }
}
