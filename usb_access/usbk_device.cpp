// The driver API table and what every back-end shares: the table loaders,
// the common opening routine, the descriptor tree, the common operations and
// the request routines of the kernel-driver back-end.
#include "usb_access/usbk_device.h"

#include <cstring>

#include "usb_access/system_api.h"

namespace {

// --- the not-supported stub, one per slot signature ---------------------------------

#define USBK_STUB(member) reinterpret_cast<KPROC>(&UsbK_NotSupported<decltype(KUSB_DRIVER_API::member)>::call)

const KPROC kStubs[KUSB_FNID_COUNT] = {
    USBK_STUB(Init),
    USBK_STUB(Free),
    USBK_STUB(ClaimInterface),
    USBK_STUB(ReleaseInterface),
    USBK_STUB(SetInterfaceAltSetting),
    USBK_STUB(GetInterfaceAltSetting),
    USBK_STUB(GetDescriptor),
    USBK_STUB(ControlTransfer),
    USBK_STUB(SetPowerPolicy),
    USBK_STUB(GetPowerPolicy),
    USBK_STUB(SetConfiguration),
    USBK_STUB(GetConfiguration),
    USBK_STUB(ResetDevice),
    USBK_STUB(Initialize),
    USBK_STUB(SelectInterface),
    USBK_STUB(GetAssociatedInterface),
    USBK_STUB(Clone),
    USBK_STUB(QueryInterfaceSettings),
    USBK_STUB(QueryDeviceInformation),
    USBK_STUB(SetAltInterface),
    USBK_STUB(GetAltInterface),
    USBK_STUB(QueryPipe),
    USBK_STUB(SetPipePolicy),
    USBK_STUB(GetPipePolicy),
    USBK_STUB(ReadPipe),
    USBK_STUB(WritePipe),
    USBK_STUB(ResetPipe),
    USBK_STUB(AbortPipe),
    USBK_STUB(FlushPipe),
    USBK_STUB(IsoReadPipe),
    USBK_STUB(IsoWritePipe),
    USBK_STUB(GetCurrentFrameNumber),
    USBK_STUB(GetOverlappedResult),
    USBK_STUB(GetProperty),
};

// --- common operations ---------------------------------------------------------------

BOOL WINAPI commonFree(KUSB_HANDLE handle) {
    if (AllK_InUsbKPool(handle)) {
        UsbK_ReleaseHandle(handle);
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}

BOOL WINAPI commonSelectInterface(KUSB_HANDLE handle, UCHAR numberOrIndex, BOOL isIndex) {
    if (!UsbK_ArgumentsValid((numberOrIndex & 0x80) == 0)) return FALSE;
    UsbK_InterfaceSlot slot(handle, numberOrIndex, isIndex, ERROR_NO_MORE_ITEMS);
    if (!slot) return FALSE;
    slot.guard()->currentInterface.exchange(slot.intf()->index);
    return TRUE;
}

BOOL WINAPI commonClone(KUSB_HANDLE handle, KUSB_HANDLE* out) {
    if (!UsbK_ArgumentsValid(out != nullptr)) return FALSE;
    *out = nullptr;
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_DeviceRecord* device = guard.device();
    KUSB_HANDLE clone = nullptr;
    if (!UsbK_InitDevice(&clone, device->driverApi->DriverId, device->cache->mode, nullptr, nullptr, device, nullptr,
                         nullptr, guard->header.cleanup, nullptr)) {
        return FALSE;
    }
    auto* made = static_cast<UsbK_Handle*>(clone);
    made->currentInterface.exchange(guard->currentInterface.load());
    made->header.userContextArmed.store(1);
    *out = clone;
    return TRUE;
}

BOOL WINAPI commonGetAssociatedInterface(KUSB_HANDLE handle, UCHAR associatedIndex, KUSB_HANDLE* out) {
    if (!UsbK_ArgumentsValid(out != nullptr)) return FALSE;
    *out = nullptr;
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    const auto wanted = static_cast<uint8_t>(guard->currentInterface.load() + 1 + associatedIndex);
    if (UsbK_FindInterface(guard.device(), wanted, TRUE) == nullptr) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    KUSB_HANDLE clone = nullptr;
    if (!commonClone(handle, &clone)) return FALSE;
    static_cast<UsbK_Handle*>(clone)->currentInterface.exchange(wanted);
    *out = clone;
    return TRUE;
}

BOOL WINAPI commonQueryInterfaceSettings(KUSB_HANDLE handle, UCHAR altIndex, PUSB_INTERFACE_DESCRIPTOR out) {
    if (!UsbK_ArgumentsValid(out != nullptr && altIndex <= 127)) return FALSE;
    UsbK_InterfaceSlot slot(handle, ERROR_NO_MORE_ITEMS);
    if (!slot) return FALSE;
    for (UsbK_AltNode* alt = slot.intf()->alts; alt != nullptr; alt = alt->next) {
        if (alt->index == altIndex) {
            std::memcpy(out, alt->descriptor, sizeof(USB_INTERFACE_DESCRIPTOR));
            return TRUE;
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL WINAPI commonQueryPipe(KUSB_HANDLE handle, UCHAR altNumber, UCHAR pipeIndex, PWINUSB_PIPE_INFORMATION out) {
    if (!UsbK_ArgumentsValid(altNumber <= 127 && pipeIndex <= 31 && out != nullptr)) return FALSE;
    UsbK_InterfaceSlot slot(handle, ERROR_NO_MORE_ITEMS);
    if (!slot) return FALSE;
    for (UsbK_AltNode* alt = slot.intf()->alts; alt != nullptr; alt = alt->next) {
        if (alt->number != altNumber) continue;
        for (UsbK_PipeNode* pipe = alt->pipes; pipe != nullptr; pipe = pipe->next) {
            if (pipe->index != pipeIndex) continue;
            const USB_ENDPOINT_DESCRIPTOR* ep = pipe->descriptor;
            const uint16_t size = ep->wMaxPacketSize;
            out->PipeType = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & 3);
            out->PipeId = ep->bEndpointAddress;
            // High-bandwidth endpoints carry 1 to 3 transactions per microframe.
            out->MaximumPacketSize = static_cast<USHORT>((size & 0x7FF) * (1 + ((size >> 11) & 3)));
            out->Interval = ep->bInterval;
            return TRUE;
        }
        break;
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL WINAPI commonGetProperty(KUSB_HANDLE handle, UINT propertyId, PUINT length, PVOID value) {
    if (!UsbK_ArgumentsValid(length != nullptr && value != nullptr)) return FALSE;
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    if (propertyId != KUSB_PROPERTY_DEVICE_FILE_HANDLE) return TRUE;
    const UINT given = *length;
    *length = sizeof(HANDLE);
    if (given < sizeof(HANDLE)) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::memcpy(value, &guard.device()->deviceFile, sizeof(HANDLE));
    return TRUE;
}

KPROC commonProc(int32_t functionId) {
    switch (functionId) {
        case KUSB_FNID_Free: return reinterpret_cast<KPROC>(&commonFree);
        case KUSB_FNID_SelectInterface: return reinterpret_cast<KPROC>(&commonSelectInterface);
        case KUSB_FNID_GetAssociatedInterface: return reinterpret_cast<KPROC>(&commonGetAssociatedInterface);
        case KUSB_FNID_Clone: return reinterpret_cast<KPROC>(&commonClone);
        case KUSB_FNID_QueryInterfaceSettings: return reinterpret_cast<KPROC>(&commonQueryInterfaceSettings);
        case KUSB_FNID_QueryPipe: return reinterpret_cast<KPROC>(&commonQueryPipe);
        case KUSB_FNID_GetProperty: return reinterpret_cast<KPROC>(&commonGetProperty);
        default: return nullptr;
    }
}

// --- RAII for a request's event ----------------------------------------------------------------

class RequestEvent {
public:
    RequestEvent() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~RequestEvent() {
        if (event_ != nullptr) CloseHandle(event_);
    }
    RequestEvent(const RequestEvent&) = delete;
    RequestEvent& operator=(const RequestEvent&) = delete;
    HANDLE get() const { return event_; }

private:
    HANDLE event_;
};

bool isNoFile(HANDLE file) { return file == nullptr || file == INVALID_HANDLE_VALUE; }

// Frees a heap block unless it was handed on.
struct HeapBlock {
    void* block = nullptr;
    ~HeapBlock() { UsbK_HeapFree(block); }
    void* release() {
        void* b = block;
        block = nullptr;
        return b;
    }
};

}  // namespace

// --- heap -----------------------------------------------------------------------------------------

void* UsbK_HeapAlloc(size_t bytes) { return HeapAlloc(AllK()->allocationHeap, HEAP_ZERO_MEMORY, bytes); }

void UsbK_HeapFree(void* block) {
    if (block != nullptr) HeapFree(AllK()->allocationHeap, 0, block);
}

// --- table loaders ----------------------------------------------------------------------------------

BOOL LibK_GetProcAddress(KPROC* procAddress, int32_t driverId, int32_t functionId) {
    if (!AllK_Ensure()) return FALSE;
    if (procAddress == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *procAddress = nullptr;
    KPROC found = commonProc(functionId);
    if (found == nullptr) {
        switch (driverId) {
            case KUSB_DRVID_LIBUSBK: found = UsbK_KernelProc(functionId); break;
            case KUSB_DRVID_LIBUSB0:
            case KUSB_DRVID_LIBUSB0_FILTER:
                if (functionId != KUSB_FNID_IsoReadPipe && functionId != KUSB_FNID_IsoWritePipe) {
                    found = UsbK_KernelProc(functionId);
                }
                break;
            case KUSB_DRVID_WINUSB:
                if (LoadWinUsbLibrary()) found = UsbK_WinUsbProc(functionId);
                break;
            default: break;
        }
    }
    if (found != nullptr) {
        *procAddress = found;
        return TRUE;
    }
    if (functionId >= 0 && functionId < KUSB_FNID_COUNT) *procAddress = kStubs[functionId];
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

int32_t LibK_LoadDriverApi(KUSB_DRIVER_API* api, int32_t driverId) {
    if (!AllK_Ensure()) return 0;
    if (api == nullptr || api == reinterpret_cast<KUSB_DRIVER_API*>(INVALID_HANDLE_VALUE)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::memset(static_cast<void*>(api), 0, sizeof(*api));
    int32_t count = 0;
    auto* slots = reinterpret_cast<uint8_t*>(api) + offsetof(KUSB_DRIVER_API, Init);
    for (int32_t id = 0; id < KUSB_FNID_COUNT; ++id) {
        KPROC proc = nullptr;
        if (LibK_GetProcAddress(&proc, driverId, id)) ++count;
        std::memcpy(slots + id * sizeof(KPROC), &proc, sizeof(KPROC));
    }
    api->DriverId = driverId;
    api->FunctionCount = count;
    return count;
}

// --- handle guard ---------------------------------------------------------------------------------------

UsbK_HandleGuard::UsbK_HandleGuard(KUSB_HANDLE handle) {
    if (!AllK_InUsbKPool(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return;
    }
    if (!UsbK_AcquireHandle(handle)) {
        SetLastError(ERROR_RESOURCE_NOT_AVAILABLE);
        return;
    }
    // The device record is pinned for the call as well: a configuration
    // change rebuilds its descriptor tree only while no call of any of its
    // handles holds it, and while it rebuilds no call can pin it.
    auto* pinned = static_cast<UsbK_Handle*>(handle);
    if (pinned->device == nullptr || !UsbK_AcquireHandle(pinned->device)) {
        UsbK_ReleaseHandle(pinned);
        SetLastError(ERROR_RESOURCE_NOT_AVAILABLE);
        return;
    }
    handle_ = pinned;
}

UsbK_HandleGuard::~UsbK_HandleGuard() {
    if (handle_ != nullptr) {
        // The operation's own error stays the thread's last error.
        const DWORD error = GetLastError();
        UsbK_ReleaseHandle(handle_->device);
        UsbK_ReleaseHandle(handle_);
        SetLastError(error);
    }
}

UsbK_InterfaceSlot::UsbK_InterfaceSlot(KUSB_HANDLE handle, UCHAR numberOrIndex, BOOL isIndex, DWORD missingError)
    : guard_(handle) {
    if (!guard_) return;
    intf_ = UsbK_FindInterface(guard_.device(), numberOrIndex, isIndex);
    if (intf_ == nullptr) SetLastError(missingError);
}

UsbK_InterfaceSlot::UsbK_InterfaceSlot(KUSB_HANDLE handle, DWORD missingError) : guard_(handle) {
    if (!guard_) return;
    intf_ = UsbK_CurrentInterface(guard_.get());
    if (intf_ == nullptr) SetLastError(missingError);
}

UsbK_InterfaceEntry& UsbK_InterfaceSlot::entry() const {
    return guard_.device()->interfaces[intf_->index % USBK_MAX_INTERFACES];
}

bool UsbK_ArgumentsValid(bool valid) {
    if (!valid) SetLastError(ERROR_INVALID_PARAMETER);
    return valid;
}

// --- common opening routine ---------------------------------------------------------------------------------

namespace {

// Drops a half-made handle (its cleanup frees what was built) and keeps the
// error that made the opening fail.
BOOL failOpen(UsbK_Handle* handle, KUSB_HANDLE* out) {
    const DWORD error = GetLastError();
    UsbK_ReleaseHandle(handle);
    if (out != nullptr) *out = nullptr;
    SetLastError(error);
    return FALSE;
}

}  // namespace

BOOL UsbK_InitDevice(KUSB_HANDLE* out, int32_t driverId, int32_t mode, HANDLE deviceFile, KLST_DEVINFO_HANDLE devInfo,
                     UsbK_DeviceRecord* shared, UsbK_DeviceInitRoutine initDevice, UsbK_ExtraAllocRoutine extraAlloc,
                     AllK_Cleanup handleCleanup, AllK_Cleanup deviceCleanup) {
    if (out == nullptr || (shared == nullptr && isNoFile(deviceFile) && devInfo == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    UsbK_Handle* handle = AllK_AllocUsbK(handleCleanup);
    if (handle == nullptr) return FALSE;

    if (shared != nullptr) {
        if (!AllK_InDevKPool(shared) || !UsbK_AcquireHandle(shared)) {
            SetLastError(ERROR_RESOURCE_NOT_AVAILABLE);
            return failOpen(handle, nullptr);
        }
        handle->device = shared;
        *out = handle;
        return TRUE;
    }

    UsbK_DeviceRecord* device = AllK_AllocDevK(deviceCleanup);
    if (device == nullptr) return failOpen(handle, nullptr);
    handle->device = device;
    if (extraAlloc != nullptr && !extraAlloc(handle)) return failOpen(handle, nullptr);

    if (isNoFile(deviceFile)) {
        // The record's texts may come without their terminator: the path is
        // read within its own field and no further.
        char path[sizeof(devInfo->devicePath) + 1];
        const size_t length = strnlen(devInfo->devicePath, sizeof(devInfo->devicePath));
        std::memcpy(path, devInfo->devicePath, length);
        path[length] = '\0';
        deviceFile = UsbAccess_SystemApi().CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (isNoFile(deviceFile)) return failOpen(handle, out);
        device->deviceFile = deviceFile;
        driverId = devInfo->driverId;
        if (length >= 1 && length <= 4096) {
            device->pathCopy = static_cast<char*>(UsbK_HeapAlloc(length + 1));
            if (device->pathCopy == nullptr) {
                // Without the copy the cleanup would not know to close the file.
                UsbAccess_SystemApi().CloseHandle(deviceFile);
                device->deviceFile = nullptr;
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return failOpen(handle, out);
            }
            std::memcpy(device->pathCopy, path, length + 1);
        }
    }
    device->deviceFile = deviceFile;

    device->cache = static_cast<UsbK_DeviceCache*>(UsbK_HeapAlloc(sizeof(UsbK_DeviceCache)));
    if (device->cache == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failOpen(handle, out);
    }
    device->cache->mode = mode;
    device->interfaces = device->cache->interfaces;
    device->driverApi = &device->cache->driverApi;

    if (!initDevice(handle)) return failOpen(handle, out);

    handle->currentInterface.exchange(0);
    UsbK_BuildTree(device);
    LibK_LoadDriverApi(device->driverApi, driverId);
    if (mode == USBK_MODE_WINUSB) {
        UsbK_WinUsbBuildRouting(device);
    }
    *out = handle;
    device->header.userContextArmed.store(1);
    handle->header.userContextArmed.store(1);
    return TRUE;
}

// --- descriptor tree ------------------------------------------------------------------------------------------

uint32_t UsbK_ConfigLength(const UsbK_DeviceRecord* device) {
    return device->configDescriptor != nullptr && device->cache != nullptr ? device->cache->configLength : 0;
}

namespace {

UsbK_AltNode* addInterface(UsbK_DeviceCache* cache, const USB_INTERFACE_DESCRIPTOR* descriptor) {
    UsbK_InterfaceNode** link = &cache->interfaceList;
    UsbK_InterfaceNode* intf = cache->interfaceList;
    for (; intf != nullptr; link = &intf->next, intf = intf->next) {
        if (intf->number == descriptor->bInterfaceNumber) break;
    }
    if (intf == nullptr) {
        intf = static_cast<UsbK_InterfaceNode*>(UsbK_HeapAlloc(sizeof(UsbK_InterfaceNode)));
        if (intf == nullptr) return nullptr;
        intf->number = descriptor->bInterfaceNumber;
        intf->index = cache->nextInterfaceIndex++;
        *link = intf;
        UsbK_InterfaceEntry& entry = cache->interfaces[intf->index % USBK_MAX_INTERFACES];
        entry.number = intf->number;
        entry.index = intf->index;
    }
    UsbK_AltNode** altLink = &intf->alts;
    UsbK_AltNode* alt = intf->alts;
    for (; alt != nullptr; altLink = &alt->next, alt = alt->next) {
        if (alt->number == descriptor->bAlternateSetting) return alt;
    }
    alt = static_cast<UsbK_AltNode*>(UsbK_HeapAlloc(sizeof(UsbK_AltNode)));
    if (alt == nullptr) return nullptr;
    alt->number = descriptor->bAlternateSetting;
    alt->index = intf->nextAltIndex++;
    alt->descriptor = descriptor;
    *altLink = alt;
    return alt;
}

void addPipe(UsbK_AltNode* alt, const USB_ENDPOINT_DESCRIPTOR* descriptor) {
    UsbK_PipeNode** link = &alt->pipes;
    for (UsbK_PipeNode* pipe = alt->pipes; pipe != nullptr; link = &pipe->next, pipe = pipe->next) {
        if (pipe->address == descriptor->bEndpointAddress) return;
    }
    auto* pipe = static_cast<UsbK_PipeNode*>(UsbK_HeapAlloc(sizeof(UsbK_PipeNode)));
    if (pipe == nullptr) return;
    pipe->address = descriptor->bEndpointAddress;
    pipe->index = alt->nextPipeIndex++;
    pipe->descriptor = descriptor;
    *link = pipe;
}

}  // namespace

void UsbK_BuildTree(UsbK_DeviceRecord* device) {
    const uint8_t* base = device->configDescriptor;
    const uint32_t copied = UsbK_ConfigLength(device);
    if (base == nullptr || copied < 2) return;
    // The walk trusts no length from the device: it stops at a zero length
    // (which would never advance), at a descriptor that runs past the copy,
    // and uses interface and endpoint descriptors only when they are whole.
    uint32_t total = static_cast<uint32_t>(base[2]) | (static_cast<uint32_t>(base[3]) << 8);
    if (copied < 4 || total > copied) total = copied;
    uint32_t pos = 0;
    uint32_t remaining = total;
    UsbK_AltNode* alt = nullptr;
    for (;;) {
        const uint8_t length = base[pos];
        if (length == 0 || length > remaining) break;
        remaining -= length;
        if (remaining < 2) break;
        pos += length;
        const uint8_t next = base[pos];
        const uint8_t type = base[pos + 1];
        if (next == 0 || next > remaining) break;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            alt = next >= sizeof(USB_INTERFACE_DESCRIPTOR)
                      ? addInterface(device->cache, reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(base + pos))
                      : nullptr;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && alt != nullptr && next >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            addPipe(alt, reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(base + pos));
        }
    }
}

void UsbK_FreeDeviceCommon(UsbK_DeviceRecord* device) {
    if (device->pathCopy != nullptr) {
        UsbK_HeapFree(device->pathCopy);
        device->pathCopy = nullptr;
        UsbAccess_SystemApi().CloseHandle(device->deviceFile);
    }
    device->deviceFile = nullptr;
    UsbK_FreeTree(device);
    UsbK_HeapFree(device->cache);
    device->cache = nullptr;
    UsbK_HeapFree(device->configDescriptor);
    device->configDescriptor = nullptr;
}

void UsbK_FreeTree(UsbK_DeviceRecord* device) {
    if (device->cache == nullptr) return;
    UsbK_InterfaceNode* intf = device->cache->interfaceList;
    while (intf != nullptr) {
        UsbK_AltNode* alt = intf->alts;
        while (alt != nullptr) {
            UsbK_PipeNode* pipe = alt->pipes;
            while (pipe != nullptr) {
                UsbK_PipeNode* nextPipe = pipe->next;
                UsbK_HeapFree(pipe);
                pipe = nextPipe;
            }
            UsbK_AltNode* nextAlt = alt->next;
            UsbK_HeapFree(alt);
            alt = nextAlt;
        }
        UsbK_InterfaceNode* nextIntf = intf->next;
        UsbK_HeapFree(intf);
        intf = nextIntf;
    }
    device->cache->interfaceList = nullptr;
    device->cache->nextInterfaceIndex = 0;
}

UsbK_InterfaceNode* UsbK_FindInterface(UsbK_DeviceRecord* device, uint8_t numberOrIndex, BOOL isIndex) {
    if (device->cache == nullptr) return nullptr;
    for (UsbK_InterfaceNode* intf = device->cache->interfaceList; intf != nullptr; intf = intf->next) {
        if ((isIndex ? intf->index : intf->number) == numberOrIndex) return intf;
    }
    return nullptr;
}

UsbK_InterfaceNode* UsbK_CurrentInterface(UsbK_Handle* handle) {
    return UsbK_FindInterface(handle->device, static_cast<uint8_t>(handle->currentInterface.load()), TRUE);
}

// --- request routines ----------------------------------------------------------------------------------------

BOOL UsbK_IoctlSync(HANDLE file, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                    PUINT transferred) {
    if (transferred != nullptr) *transferred = 0;
    RequestEvent event;
    if (event.get() == nullptr) return FALSE;
    const UsbAccessSystemApi& api = UsbAccess_SystemApi();
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    if (!api.DeviceIoControl(file, code, const_cast<void*>(in), inLength, out, outLength, nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return FALSE;
    }
    DWORD moved = 0;
    if (!api.GetOverlappedResult(file, &overlapped, &moved, TRUE)) return FALSE;
    if (transferred != nullptr) *transferred = moved;
    return TRUE;
}

BOOL UsbK_IoctlWithTimeout(HANDLE file, DWORD code, UsbK_Request* request, void* buffer, DWORD length,
                           uint32_t timeoutMs, uint8_t pipeId, PUINT transferred) {
    if (transferred != nullptr) *transferred = 0;
    RequestEvent event;
    if (event.get() == nullptr) return FALSE;
    const UsbAccessSystemApi& api = UsbAccess_SystemApi();
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    const BOOL completed =
        api.DeviceIoControl(file, code, request, sizeof(*request), buffer, length, nullptr, &overlapped);
    if (!completed) {
        if (GetLastError() != ERROR_IO_PENDING) return FALSE;
        if (timeoutMs != 0 && WaitForSingleObject(event.get(), timeoutMs) != WAIT_OBJECT_0) {
            UsbK_Request abort{};
            abort.put32(4, pipeId);
            const BOOL aborted = UsbK_IoctlSync(file, LIBUSB_IOCTL_ABORT_ENDPOINT, &abort, sizeof(abort), &abort,
                                                sizeof(abort), nullptr);
            const DWORD abortError = GetLastError();
            // The driver owns the request block, the buffer and the
            // overlapped record until it has finished the aborted request;
            // none of them may go before it has. An abort that succeeded may
            // still have missed this request, so the request itself is
            // cancelled as well (a request already done answers
            // ERROR_NOT_FOUND) before the wait, which is then bounded.
            api.CancelIoEx(file, &overlapped);
            DWORD moved = 0;
            if (api.GetOverlappedResult(file, &overlapped, &moved, TRUE)) {
                // It finished between the timed-out wait and the abort: its
                // bytes are in the caller's buffer, or were sent, and gone
                // from the device. Reporting a failure would lose them.
                if (transferred != nullptr) *transferred = moved;
                return TRUE;
            }
            // What the aborted request moved is reported with the failure.
            if (transferred != nullptr) *transferred = moved;
            SetLastError(aborted ? static_cast<DWORD>(ERROR_SEM_TIMEOUT) : abortError);
            return FALSE;
        }
    }
    // A failed transfer reports what it moved too (a driver's time-out ends
    // a read with the bytes it had).
    DWORD moved = 0;
    const BOOL ok = api.GetOverlappedResult(file, &overlapped, &moved, TRUE);
    if (transferred != nullptr) *transferred = moved;
    return ok;
}

BOOL UsbK_IoctlOverlapped(HANDLE file, DWORD code, UsbK_Request* request, void* buffer, DWORD length,
                          LPOVERLAPPED overlapped) {
    if (overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return UsbAccess_SystemApi().DeviceIoControl(file, code, request, sizeof(*request), buffer, length, nullptr,
                                                 overlapped);
}
