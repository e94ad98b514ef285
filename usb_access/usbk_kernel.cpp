// The kernel-driver back-end: the libusbK driver (major version 3 and above)
// and the libusb0 driver (below 3), both spoken to with 24-byte request
// blocks through DeviceIoControl on the device file.
#include <cstring>

#include "usb_access/system_api.h"
#include "usb_access/usbk_device.h"

namespace {

// libusb0 keeps no transfer time-outs and no pipe policies of its own: the
// host keeps them below these driver versions.
constexpr uint32_t kFirstLibusbKMajor = 3;
constexpr uint32_t kFirstDriverGetPolicyMajor = 2;

struct HeapBlock {
    void* block = nullptr;
    explicit HeapBlock(size_t bytes) : block(UsbK_HeapAlloc(bytes)) {}
    ~HeapBlock() { UsbK_HeapFree(block); }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    uint8_t* bytes() const { return static_cast<uint8_t*>(block); }
};

HANDLE fileOf(const UsbK_HandleGuard& guard) { return guard.device()->deviceFile; }

// The driver record of a kernel-driver device; a handle of another back-end
// given to one of these slots has none.
UsbK_KernelDriverRecord* kernelOf(const UsbK_HandleGuard& guard) {
    UsbK_KernelDriverRecord* kernel = guard.device()->kernel;
    if (kernel == nullptr) SetLastError(ERROR_NOT_SUPPORTED);
    return kernel;
}

BOOL sendBlock(HANDLE file, DWORD code, UsbK_Request& request, PUINT transferred = nullptr) {
    return UsbK_IoctlSync(file, code, &request, sizeof(request), &request, sizeof(request), transferred);
}

// Steps 2 to 4 of the device initialisation, also the rebuild after a
// configuration change: settle the configuration and keep its descriptor.
BOOL readConfiguration(UsbK_DeviceRecord* device) {
    HANDLE file = device->deviceFile;
    UsbK_Request request{};
    UINT transferred = 0;
    uint8_t reported = 0;
    if (sendBlock(file, LIBUSBK_IOCTL_GET_CONFIGURATION, request, &transferred) && transferred != 0) {
        reported = request.bytes[0];
    }
    if (reported == 0) {
        // An unconfigured device: let the driver choose its configuration.
        UsbK_Request set{};
        set.put32(4, 0xFFFFFFFFu);
        if (!sendBlock(file, LIBUSB_IOCTL_SET_CONFIGURATION, set)) return FALSE;
    }

    uint8_t head[sizeof(USB_CONFIGURATION_DESCRIPTOR)];
    int previousValue = -1;
    int chosen = -1;
    for (int index = 0; index <= 253 && chosen < 0; ++index) {
        UsbK_Request get{};
        get.put32(4, USB_CONFIGURATION_DESCRIPTOR_TYPE);
        get.put32(8, static_cast<uint32_t>(index));
        std::memset(head, 0, sizeof(head));
        UINT got = 0;
        if (!UsbK_IoctlSync(file, LIBUSB_IOCTL_GET_DESCRIPTOR, &get, sizeof(get), head, sizeof(head), &got)) {
            return FALSE;
        }
        if (got < sizeof(head)) {
            // Too short to hold its own length and value: nothing to keep.
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
        const uint8_t value = head[5];
        if (reported == 0 || value == reported || value == previousValue) chosen = index;
        previousValue = value;
    }
    if (chosen < 0) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    const uint32_t total = static_cast<uint32_t>(head[2]) | (static_cast<uint32_t>(head[3]) << 8);
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    auto* copy = static_cast<uint8_t*>(UsbK_HeapAlloc(total));
    if (copy == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    UsbK_Request get{};
    get.put32(4, USB_CONFIGURATION_DESCRIPTOR_TYPE);
    get.put32(8, static_cast<uint32_t>(chosen));
    UINT got = 0;
    if (!UsbK_IoctlSync(file, LIBUSB_IOCTL_GET_DESCRIPTOR, &get, sizeof(get), copy, total, &got)) {
        UsbK_HeapFree(copy);
        return FALSE;
    }
    device->configDescriptor = copy;
    // What the device sent, which may be less than its own total.
    device->cache->configLength = got < total ? got : total;
    return TRUE;
}

BOOL kernelInitDevice(UsbK_Handle* handle) {
    UsbK_DeviceRecord* device = handle->device;
    UsbK_Request request{};
    if (!sendBlock(device->deviceFile, LIBUSB_IOCTL_GET_VERSION, request)) return FALSE;
    for (int i = 0; i < 5; ++i) device->kernel->version[i] = request.get32(4 + 4 * i);
    return readConfiguration(device);
}

BOOL kernelExtraAlloc(UsbK_Handle* handle) {
    handle->device->kernel = static_cast<UsbK_KernelDriverRecord*>(UsbK_HeapAlloc(sizeof(UsbK_KernelDriverRecord)));
    if (handle->device->kernel == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

void kernelDeviceCleanup(void* record) {
    auto* device = static_cast<UsbK_DeviceRecord*>(record);
    AllK_RunUserCleanup(device, ALLK_KIND_DEVK);
    UsbK_FreeDeviceCommon(device);
    UsbK_HeapFree(device->kernel);
    device->kernel = nullptr;
}

// --- slots ------------------------------------------------------------------------------------

BOOL WINAPI kInit(KUSB_HANDLE* out, KLST_DEVINFO_HANDLE devInfo) {
    if (!UsbK_ArgumentsValid(devInfo != nullptr)) return FALSE;
    return UsbK_InitDevice(out, KUSB_DRVID_LIBUSBK, USBK_MODE_KERNEL, nullptr, devInfo, nullptr, kernelInitDevice,
                           kernelExtraAlloc, UsbK_HandleCleanup, kernelDeviceCleanup);
}

BOOL WINAPI kInitialize(HANDLE file, KUSB_HANDLE* out) {
    if (file == nullptr || file == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return UsbK_InitDevice(out, KUSB_DRVID_LIBUSBK, USBK_MODE_KERNEL, file, nullptr, nullptr, kernelInitDevice,
                           kernelExtraAlloc, UsbK_HandleCleanup, kernelDeviceCleanup);
}

// A successful claim makes the interface the handle's current one; a
// release, or a claim the driver refused, leaves it unclaimed.
BOOL claimOrRelease(const UsbK_InterfaceSlot& slot, bool claim) {
    UsbK_Request request{};
    request.put32(4, slot.intf()->number);
    const BOOL ok = sendBlock(fileOf(slot.guard()),
                              claim ? LIBUSBK_IOCTL_CLAIM_INTERFACE : LIBUSBK_IOCTL_RELEASE_INTERFACE, request);
    if (claim && ok) {
        slot.entry().claimed.exchange(1);
        slot.guard()->currentInterface.exchange(slot.intf()->index);
    } else {
        slot.entry().claimed.exchange(0);
    }
    return ok;
}

BOOL setAlt(const UsbK_InterfaceSlot& slot, UCHAR alt) {
    UsbK_Request request{};
    request.put32(4, slot.intf()->number);
    request.put32(8, alt);
    if (!sendBlock(fileOf(slot.guard()), LIBUSBK_IOCTL_SET_INTERFACE, request)) return FALSE;
    slot.entry().currentAlt.exchange(alt);
    return TRUE;
}

BOOL getAlt(const UsbK_InterfaceSlot& slot, PUCHAR out) {
    UsbK_Request request{};
    request.put32(4, slot.intf()->number);
    if (!sendBlock(fileOf(slot.guard()), LIBUSBK_IOCTL_GET_INTERFACE, request)) return FALSE;
    *out = request.bytes[8];
    slot.entry().currentAlt.exchange(request.bytes[8]);
    return TRUE;
}

using KernelInterfaceSlots = UsbK_InterfaceSlots<&claimOrRelease, &setAlt, &getAlt>;

BOOL WINAPI kControlTransfer(KUSB_HANDLE handle, WINUSB_SETUP_PACKET setup, PUCHAR buffer, UINT length,
                             PUINT transferred, LPOVERLAPPED overlapped) {
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_KernelDriverRecord* kernel = kernelOf(guard);
    if (kernel == nullptr) return FALSE;
    const bool toHost = (setup.RequestType & 0x80) != 0;
    const DWORD code = toHost ? LIBUSBK_IOCTL_CONTROL_READ : LIBUSBK_IOCTL_CONTROL_WRITE;
    UsbK_Request request{};
    std::memcpy(request.bytes + 4, &setup, sizeof(setup));
    if (overlapped != nullptr) return UsbK_IoctlOverlapped(fileOf(guard), code, &request, buffer, length, overlapped);
    request.put32(0, toHost ? kernel->pipeTimeouts[16].load() : 0);
    return UsbK_IoctlSync(fileOf(guard), code, &request, sizeof(request), buffer, length, transferred);
}

BOOL WINAPI kGetDescriptorSlot(KUSB_HANDLE h, UCHAR type, UCHAR index, USHORT lang, PUCHAR buffer, UINT length,
                               PUINT transferred) {
    return UsbK_GetDescriptor(h, type, index, lang, buffer, length, transferred);
}

BOOL WINAPI kSetPowerPolicy(KUSB_HANDLE handle, UINT type, UINT length, PVOID value) {
    if (!UsbK_ArgumentsValid(length != 0 && value != nullptr)) return FALSE;
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    HeapBlock block(sizeof(UsbK_Request) + length);
    if (block.block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    auto* request = reinterpret_cast<UsbK_Request*>(block.bytes());
    request->put32(4, type);
    std::memcpy(block.bytes() + sizeof(UsbK_Request), value, length);
    return UsbK_IoctlSync(fileOf(guard), LIBUSBK_IOCTL_SET_POWER_POLICY, block.block,
                          static_cast<DWORD>(sizeof(UsbK_Request) + length), nullptr, 0, nullptr);
}

BOOL WINAPI kGetPowerPolicy(KUSB_HANDLE handle, UINT type, PUINT length, PVOID value) {
    if (!UsbK_ArgumentsValid(length != nullptr && *length != 0 && value != nullptr)) return FALSE;
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_Request request{};
    request.put32(4, type);
    UINT got = 0;
    if (!UsbK_IoctlSync(fileOf(guard), LIBUSBK_IOCTL_GET_POWER_POLICY, &request, sizeof(request), value, *length,
                        &got)) {
        return FALSE;
    }
    *length = got;
    return TRUE;
}

// Rebuilds the record after a configuration change; runs while the caller
// holds the record's count at 0, so that no call can use the tree meanwhile.
BOOL rebuild(UsbK_Handle* handle) {
    UsbK_DeviceRecord* device = handle->device;
    UsbK_FreeTree(device);
    UsbK_HeapFree(device->configDescriptor);
    device->configDescriptor = nullptr;
    device->cache->configLength = 0;
    for (auto& entry : device->cache->interfaces) {
        entry.number = 0;
        entry.index = 0;
        entry.claimed.store(0);
        entry.currentAlt.store(0);
    }
    const BOOL ok = readConfiguration(device);
    if (ok) UsbK_BuildTree(device);
    handle->currentInterface.exchange(0);
    return ok;
}

BOOL WINAPI kSetConfiguration(KUSB_HANDLE handle, UCHAR value) {
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_KernelDriverRecord* kernel = kernelOf(guard);
    if (kernel == nullptr) return FALSE;
    if (kernel->version[0] >= kFirstLibusbKMajor) {
        if (value != UsbK_KeptConfigurationValue(guard.device())) {
            SetLastError(ERROR_NO_MORE_ITEMS);
            return FALSE;
        }
        return TRUE;
    }
    // The rebuild may only run while nothing else uses the record: the
    // calling handle's own reference and this call's pin make 2, and every
    // other handle or call in flight (each pins the record) adds to it. It is
    // refused then rather than waited for, as a wait could last as long as
    // any transfer. Taking the count to 0 keeps new calls out until the tree
    // is whole again.
    UsbK_DeviceRecord* device = guard.device();
    int32_t alone = 2;
    if (!device->header.refCount.compare_exchange_strong(alone, 0)) {
        SetLastError(ERROR_RESOURCE_NOT_AVAILABLE);
        return FALSE;
    }
    UsbK_Request request{};
    request.put32(4, value);
    const BOOL ok = sendBlock(device->deviceFile, LIBUSB_IOCTL_SET_CONFIGURATION, request) && rebuild(guard.get());
    const DWORD error = GetLastError();
    // Added, not stored: a call that tried to pin the record meanwhile took
    // its increment back, and must not be counted either way.
    device->header.refCount.fetch_add(2);
    SetLastError(error);
    return ok;
}

BOOL WINAPI kResetDevice(KUSB_HANDLE handle) {
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_Request request{};
    return sendBlock(fileOf(guard), LIBUSB_IOCTL_RESET_DEVICE, request);
}

BOOL WINAPI kQueryDeviceInformation(KUSB_HANDLE handle, UINT type, PUINT length, PVOID buffer) {
    if (!UsbK_ArgumentsValid(length != nullptr && buffer != nullptr)) return FALSE;
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_Request request{};
    request.put32(4, type);
    UINT got = 0;
    if (!UsbK_IoctlSync(fileOf(guard), LIBUSBK_IOCTL_QUERY_DEVICE_INFORMATION, &request, sizeof(request), buffer,
                        *length, &got)) {
        return FALSE;
    }
    *length = got;
    return TRUE;
}

BOOL WINAPI kSetPipePolicy(KUSB_HANDLE handle, UCHAR pipeId, UINT type, UINT length, PVOID value) {
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_KernelDriverRecord* kernel = kernelOf(guard);
    if (kernel == nullptr) return FALSE;
    HeapBlock block(sizeof(UsbK_Request) + length);
    if (block.block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    auto* request = reinterpret_cast<UsbK_Request*>(block.bytes());
    request->put32(8, pipeId);
    request->put32(12, type);
    if (value != nullptr && length != 0) std::memcpy(block.bytes() + sizeof(UsbK_Request), value, length);
    if (kernel->version[0] >= kFirstLibusbKMajor || (pipeId & 0x0F) == 0) {
        return UsbK_IoctlSync(fileOf(guard), LIBUSBK_IOCTL_SET_PIPE_POLICY, block.block,
                              static_cast<DWORD>(sizeof(UsbK_Request) + length), nullptr, 0, nullptr);
    }
    if (type != PIPE_TRANSFER_TIMEOUT) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (value == nullptr || length < sizeof(uint32_t)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint32_t timeout = 0;
    std::memcpy(&timeout, value, sizeof(timeout));
    kernel->pipeTimeouts[UsbK_PipeSlot(pipeId)].exchange(timeout);
    return TRUE;
}

BOOL WINAPI kGetPipePolicy(KUSB_HANDLE handle, UCHAR pipeId, UINT type, PUINT length, PVOID value) {
    if (!UsbK_ArgumentsValid(length != nullptr && *length != 0 && value != nullptr)) return FALSE;
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_KernelDriverRecord* kernel = kernelOf(guard);
    if (kernel == nullptr) return FALSE;
    if (kernel->version[0] >= kFirstDriverGetPolicyMajor || (pipeId & 0x0F) == 0) {
        UsbK_Request request{};
        request.put32(8, pipeId);
        request.put32(12, type);
        UINT got = 0;
        if (!UsbK_IoctlSync(fileOf(guard), LIBUSBK_IOCTL_GET_PIPE_POLICY, &request, sizeof(request), value, *length,
                            &got)) {
            return FALSE;
        }
        *length = got;
        return TRUE;
    }
    if (type != PIPE_TRANSFER_TIMEOUT) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (*length < sizeof(uint32_t)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const uint32_t timeout = kernel->pipeTimeouts[UsbK_PipeSlot(pipeId)].load();
    std::memcpy(value, &timeout, sizeof(timeout));
    *length = sizeof(timeout);
    return TRUE;
}

BOOL pipeTransfer(KUSB_HANDLE handle, UCHAR pipeId, PUCHAR buffer, UINT length, PUINT transferred,
                  LPOVERLAPPED overlapped, DWORD code) {
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_KernelDriverRecord* kernel = kernelOf(guard);
    if (kernel == nullptr) return FALSE;
    UsbK_Request request{};
    request.put32(4, pipeId);
    if (overlapped != nullptr) return UsbK_IoctlOverlapped(fileOf(guard), code, &request, buffer, length, overlapped);
    return UsbK_IoctlWithTimeout(fileOf(guard), code, &request, buffer, length,
                                 kernel->pipeTimeouts[UsbK_PipeSlot(pipeId)].load(), pipeId, transferred);
}

BOOL WINAPI kReadPipe(KUSB_HANDLE h, UCHAR pipe, PUCHAR buffer, UINT length, PUINT transferred, LPOVERLAPPED ov) {
    return pipeTransfer(h, pipe, buffer, length, transferred, ov, LIBUSB_IOCTL_INTERRUPT_OR_BULK_READ);
}

BOOL WINAPI kWritePipe(KUSB_HANDLE h, UCHAR pipe, PUCHAR buffer, UINT length, PUINT transferred, LPOVERLAPPED ov) {
    return pipeTransfer(h, pipe, buffer, length, transferred, ov, LIBUSB_IOCTL_INTERRUPT_OR_BULK_WRITE);
}

BOOL pipeCommand(KUSB_HANDLE handle, UCHAR pipeId, DWORD code) {
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_Request request{};
    request.put32(4, pipeId);
    return sendBlock(fileOf(guard), code, request);
}

BOOL WINAPI kResetPipe(KUSB_HANDLE h, UCHAR pipe) { return pipeCommand(h, pipe, LIBUSB_IOCTL_RESET_ENDPOINT); }
BOOL WINAPI kAbortPipe(KUSB_HANDLE h, UCHAR pipe) { return pipeCommand(h, pipe, LIBUSB_IOCTL_ABORT_ENDPOINT); }
BOOL WINAPI kFlushPipe(KUSB_HANDLE h, UCHAR pipe) { return pipeCommand(h, pipe, LIBUSBK_IOCTL_FLUSH_PIPE); }

BOOL isoTransfer(KUSB_HANDLE handle, UCHAR pipeId, PUCHAR buffer, UINT length, LPOVERLAPPED overlapped,
                 KISO_CONTEXT* context, bool read) {
    const auto none = reinterpret_cast<LPOVERLAPPED>(INVALID_HANDLE_VALUE);
    if (!UsbK_ArgumentsValid(overlapped != nullptr && overlapped != none)) return FALSE;
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_Request request{};
    request.bytes[4] = pipeId;
    DWORD code = read ? LIBUSBK_IOCTL_ISOCHRONOUS_READ : LIBUSBK_IOCTL_ISOCHRONOUS_WRITE;
    if (context != nullptr) {
        code = read ? LIBUSBK_IOCTL_ISOEX_READ : LIBUSBK_IOCTL_ISOEX_WRITE;
        const uint32_t size = 16u + 8u * static_cast<uint16_t>(context->NumberOfPackets);
        const uint64_t pointer = reinterpret_cast<uintptr_t>(context);
        std::memcpy(request.bytes + 5, &size, sizeof(size));
        std::memcpy(request.bytes + 9, &pointer, sizeof(pointer));
    }
    return UsbK_IoctlOverlapped(fileOf(guard), code, &request, buffer, length, overlapped);
}

BOOL WINAPI kIsoReadPipe(KUSB_HANDLE h, UCHAR pipe, PUCHAR buffer, UINT length, LPOVERLAPPED ov, KISO_CONTEXT* ctx) {
    return isoTransfer(h, pipe, buffer, length, ov, ctx, true);
}

BOOL WINAPI kIsoWritePipe(KUSB_HANDLE h, UCHAR pipe, PUCHAR buffer, UINT length, LPOVERLAPPED ov, KISO_CONTEXT* ctx) {
    return isoTransfer(h, pipe, buffer, length, ov, ctx, false);
}

BOOL WINAPI kGetCurrentFrameNumber(KUSB_HANDLE handle, PUINT frame) {
    if (!UsbK_ArgumentsValid(frame != nullptr)) return FALSE;
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_Request request{};
    if (!sendBlock(fileOf(guard), LIBUSBK_IOCTL_GET_CURRENTFRAME_NUMBER, request)) return FALSE;
    *frame = request.get32(0);
    return TRUE;
}

template <class Fn>
KPROC proc(Fn fn) {
    return reinterpret_cast<KPROC>(fn);
}

}  // namespace

// --- shared with the other parts --------------------------------------------------------------

void UsbK_HandleCleanup(void* record) {
    auto* handle = static_cast<UsbK_Handle*>(record);
    AllK_RunUserCleanup(handle, ALLK_KIND_USBK);
    if (handle->device != nullptr) {
        UsbK_ReleaseHandle(handle->device);
        handle->device = nullptr;
    }
}

uint8_t UsbK_KeptConfigurationValue(const UsbK_DeviceRecord* device) {
    return UsbK_ConfigLength(device) > 5 ? device->configDescriptor[5] : 0;
}

BOOL WINAPI UsbK_GetDescriptor(KUSB_HANDLE handle, UCHAR type, UCHAR index, USHORT language, PUCHAR buffer,
                               UINT length, PUINT transferred) {
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    UsbK_Request request{};
    request.put32(4, type);
    request.put32(8, index);
    request.put32(12, language);
    return UsbK_IoctlSync(fileOf(guard), LIBUSB_IOCTL_GET_DESCRIPTOR, &request, sizeof(request), buffer, length,
                          transferred);
}

BOOL WINAPI UsbK_GetConfiguration(KUSB_HANDLE handle, PUCHAR value) {
    if (!UsbK_ArgumentsValid(value != nullptr)) return FALSE;
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    *value = UsbK_KeptConfigurationValue(guard.device());
    return TRUE;
}

BOOL WINAPI UsbK_GetOverlappedResult(KUSB_HANDLE handle, LPOVERLAPPED overlapped, PUINT transferred, BOOL wait) {
    // The system reads the record without a check of its own.
    if (!UsbK_ArgumentsValid(overlapped != nullptr)) return FALSE;
    UsbK_HandleGuard guard(handle);
    if (!guard) return FALSE;
    DWORD moved = 0;
    const BOOL ok = UsbAccess_SystemApi().GetOverlappedResult(fileOf(guard), overlapped, &moved, wait);
    if (transferred != nullptr) *transferred = moved;
    return ok;
}

KPROC UsbK_KernelProc(int32_t functionId) {
    switch (functionId) {
        case KUSB_FNID_Init: return proc(&kInit);
        case KUSB_FNID_ClaimInterface: return proc(&KernelInterfaceSlots::ClaimInterface);
        case KUSB_FNID_ReleaseInterface: return proc(&KernelInterfaceSlots::ReleaseInterface);
        case KUSB_FNID_SetInterfaceAltSetting: return proc(&KernelInterfaceSlots::SetInterfaceAltSetting);
        case KUSB_FNID_GetInterfaceAltSetting: return proc(&KernelInterfaceSlots::GetInterfaceAltSetting);
        case KUSB_FNID_GetDescriptor: return proc(&kGetDescriptorSlot);
        case KUSB_FNID_ControlTransfer: return proc(&kControlTransfer);
        case KUSB_FNID_SetPowerPolicy: return proc(&kSetPowerPolicy);
        case KUSB_FNID_GetPowerPolicy: return proc(&kGetPowerPolicy);
        case KUSB_FNID_SetConfiguration: return proc(&kSetConfiguration);
        case KUSB_FNID_GetConfiguration: return proc(&UsbK_GetConfiguration);
        case KUSB_FNID_ResetDevice: return proc(&kResetDevice);
        case KUSB_FNID_Initialize: return proc(&kInitialize);
        case KUSB_FNID_QueryDeviceInformation: return proc(&kQueryDeviceInformation);
        case KUSB_FNID_SetAltInterface: return proc(&KernelInterfaceSlots::SetAltInterface);
        case KUSB_FNID_GetAltInterface: return proc(&KernelInterfaceSlots::GetAltInterface);
        case KUSB_FNID_SetPipePolicy: return proc(&kSetPipePolicy);
        case KUSB_FNID_GetPipePolicy: return proc(&kGetPipePolicy);
        case KUSB_FNID_ReadPipe: return proc(&kReadPipe);
        case KUSB_FNID_WritePipe: return proc(&kWritePipe);
        case KUSB_FNID_ResetPipe: return proc(&kResetPipe);
        case KUSB_FNID_AbortPipe: return proc(&kAbortPipe);
        case KUSB_FNID_FlushPipe: return proc(&kFlushPipe);
        case KUSB_FNID_IsoReadPipe: return proc(&kIsoReadPipe);
        case KUSB_FNID_IsoWritePipe: return proc(&kIsoWritePipe);
        case KUSB_FNID_GetCurrentFrameNumber: return proc(&kGetCurrentFrameNumber);
        case KUSB_FNID_GetOverlappedResult: return proc(&UsbK_GetOverlappedResult);
        default: return nullptr;
    }
}
