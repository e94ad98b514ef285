// The descriptors a device answers while the USB access library opens it:
// its device descriptor, its configuration descriptors and its string
// descriptors are the fuzz bytes, held by a simulated device node beneath
// the library's device-facing table. The library opens the node through the
// driver table (Init, or Initialize on a file opened here), walks the tree
// it built (interfaces, alternate settings, pipes), claims, selects,
// clones, changes the configuration (which rebuilds the tree on an old
// driver), reads the strings the transport back-end reads, and frees
// everything. An opening that fails must leave no handle and a reason;
// afterwards no handle, device file or WinUSB handle may be left.
//
// Input: a flags byte, a configuration value, then chunks (16-bit length,
// bytes) whose first byte says what the rest is: 0 the device descriptor,
// 1 the next configuration descriptor, 2 a string descriptor whose index is
// the chunk's second byte.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "sim/win_usb/win_usb_stack.h"
#include "usb_access/allk.h"
#include "usb_access/system_api.h"
#include "usb_access/usbk_api.h"
#include "usb_access/vpu_usb_libusbk.h"

// The transport back-end's link to the boot layer; nothing here reaches it.
int vpu_usb_boot_hotplug_handler(int32_t, bool) { return 0; }

namespace {

using zsim::win::Bytes;
using zsim::win::SimDriver;
using zsim::win::SimWinDevice;
using zsim::win::SimWinUsbStack;

constexpr char kPath[] = "\\\\?\\usb#vid_f3a7&pid_0d51#fuzz#{6c696275-7362-4b00-a5a2-7a61726e0001}";

enum Flags : uint8_t {
    kDriverMask = 0x03,    // 0 libusbK, 1 libusb0, 2 and 3 WinUSB
    kUnconfigured = 0x04,  // the driver reports configuration 0
    kOldDriver = 0x08,     // a libusbK node whose driver reports major version 1
    kGivenFile = 0x10,     // Initialize on a file opened here instead of Init
    kSetConfig = 0x20,
    kClones = 0x40,
};

size_t usbKInUse() {
    size_t used = 0;
    for (const auto& h : AllK()->usbK.handles) used += h.header.inUse.load() != 0 ? 1 : 0;
    for (const auto& h : AllK()->devK.handles) used += h.header.inUse.load() != 0 ? 1 : 0;
    return used;
}

// Every interface, alternate setting and pipe the tree holds, as the
// operations report them; what they report must be what a descriptor of
// that kind can say.
void walk(const KUSB_DRIVER_API& api, KUSB_HANDLE handle) {
    for (int index = 0; index < 256 && api.SelectInterface(handle, static_cast<UCHAR>(index), TRUE); ++index) {
        USB_INTERFACE_DESCRIPTOR setting{};
        for (int alt = 0; alt <= 127 && api.QueryInterfaceSettings(handle, static_cast<UCHAR>(alt), &setting); ++alt) {
            if (setting.bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE || setting.bLength < sizeof(setting)) {
                zfuzz::fail("interface setting not from an interface descriptor", setting.bDescriptorType,
                            setting.bLength);
            }
            if (setting.bAlternateSetting > 127) continue;  // not reachable by number
            WINUSB_PIPE_INFORMATION pipe{};
            for (UCHAR p = 0; p < 32 && api.QueryPipe(handle, setting.bAlternateSetting, p, &pipe); ++p) {
                if (static_cast<uint32_t>(pipe.PipeType) > 3 || pipe.MaximumPacketSize > 0x7FF * 4) {
                    zfuzz::fail("pipe information out of range", static_cast<uint32_t>(pipe.PipeType),
                                pipe.MaximumPacketSize);
                }
            }
        }
    }
    api.SelectInterface(handle, 0, TRUE);
}

// The strings the transport back-end reads: always terminated within the
// length given, whatever the device answers.
void readStrings(const KUSB_DRIVER_API& api, KUSB_HANDLE handle, uint8_t seed) {
    UsbDeviceHandle device{handle, api};
    isDeviceBooted(&device);
    char text[257];
    for (uint8_t index = 0; index < 4; ++index) {
        const uint32_t length = 1u + static_cast<uint32_t>((seed + index * 67u) % 256u);
        std::memset(text, 0x5A, sizeof(text));
        readStringDescriptor(&device, index, text, length);
        if (std::memchr(text, '\0', length) == nullptr) zfuzz::fail("string not terminated", index, length);
        if (text[length] != 0x5A) zfuzz::fail("string written past its buffer", index, length);
    }
}

void exercise(const KUSB_DRIVER_API& api, KUSB_HANDLE handle, uint8_t flags, uint8_t value) {
    walk(api, handle);
    UCHAR byte = 0;
    api.GetConfiguration(handle, &byte);
    api.ClaimInterface(handle, 0, TRUE);
    api.SetAltInterface(handle, value & 1);
    api.GetAltInterface(handle, &byte);
    api.GetInterfaceAltSetting(handle, 0, TRUE, &byte);
    api.ReleaseInterface(handle, 0, TRUE);
    WINUSB_PIPE_INFORMATION pipe{};
    if (api.QueryPipe(handle, value & 1, 0, &pipe)) {
        api.AbortPipe(handle, pipe.PipeId);
        api.FlushPipe(handle, pipe.PipeId);
    }
    if (flags & kClones) {
        KUSB_HANDLE other = nullptr;
        if (api.GetAssociatedInterface(handle, 0, &other)) {
            walk(api, other);
            api.Free(other);
        } else if (other != nullptr) {
            zfuzz::fail("failed associated interface left a handle");
        }
        if (api.Clone(handle, &other)) api.Free(other);
    }
    if (flags & kSetConfig) {
        api.SetConfiguration(handle, value);
        walk(api, handle);
    }
    readStrings(api, handle, value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static SimWinUsbStack& stack = [] () -> SimWinUsbStack& {
        SimWinUsbStack& s = SimWinUsbStack::instance();
        UsbAccess_SetSystemApi(&s.api());
        return s;
    }();
    const uint8_t flags = data[0];
    const uint8_t value = data[1];
    const int driverBits = flags & kDriverMask;
    const SimDriver driver = driverBits == 0 ? SimDriver::LibusbK : driverBits == 1 ? SimDriver::Libusb0 : SimDriver::WinUsb;
    const int32_t driverId = driverBits == 0 ? KUSB_DRVID_LIBUSBK : driverBits == 1 ? KUSB_DRVID_LIBUSB0 : KUSB_DRVID_WINUSB;

    auto device = std::make_shared<SimWinDevice>(kPath, driver);
    std::vector<Bytes> configurations;
    for (const Bytes& chunk : zfuzz::splitTransfers(data + 2, size - 2)) {
        if (chunk.empty()) continue;
        switch (chunk[0] % 3) {
            case 0: device->setDeviceDescriptor(Bytes(chunk.begin() + 1, chunk.end())); break;
            case 1: configurations.emplace_back(chunk.begin() + 1, chunk.end()); break;
            default:
                if (chunk.size() >= 2) device->setStringDescriptor(chunk[1], Bytes(chunk.begin() + 2, chunk.end()));
                break;
        }
    }
    device->setConfigurations(configurations);
    if (flags & kUnconfigured) device->setReportedConfiguration(0);
    if ((flags & kOldDriver) && driver == SimDriver::LibusbK) device->setDriverVersion({1, 2, 6, 0, 0});
    stack.addDevice(device);

    KLST_DEVINFO info{};
    info.driverId = driverId;
    std::strncpy(info.devicePath, kPath, sizeof(info.devicePath) - 1);
    KUSB_DRIVER_API api{};
    if (LibK_LoadDriverApi(&api, driverId) == 0) zfuzz::fail("no driver table", static_cast<uint64_t>(driverId));

    HANDLE file = nullptr;
    KUSB_HANDLE handle = reinterpret_cast<KUSB_HANDLE>(1);
    SetLastError(ERROR_SUCCESS);
    BOOL opened = FALSE;
    if (flags & kGivenFile) {
        file = UsbAccess_SystemApi().CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        opened = api.Initialize(file, &handle);
    } else {
        opened = api.Init(&handle, &info);
    }
    if (opened) {
        exercise(api, handle, flags, value);
        api.Free(handle);
    } else {
        if (handle != nullptr) zfuzz::fail("failed opening left a handle");
        if (GetLastError() == ERROR_SUCCESS) zfuzz::fail("failed opening without a reason");
    }
    if (file != nullptr) UsbAccess_SystemApi().CloseHandle(file);

    if (const size_t used = usbKInUse(); used != 0) zfuzz::fail("interface handles or device records left", used);
    if (const size_t files = stack.openFiles(); files != 0) zfuzz::fail("device files left open", files);
    if (const size_t left = stack.openWinUsbHandles(); left != 0) zfuzz::fail("WinUSB handles left", left);
    stack.reset();
    return 0;
}
