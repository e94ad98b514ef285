// A simulated device node behind the library's device-facing table, for the
// driver table's tests: descriptors built from a short list, in-memory
// endpoint links, and the driver table loaded for the node's driver.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "sim/win_usb/win_usb_stack.h"
#include "usb_access/system_api.h"
#include "usb_access/usbk_api.h"

namespace usbtest {

using zsim::win::Bytes;
using zsim::win::MemoryLink;
using zsim::win::SimDriver;
using zsim::win::SimWinDevice;
using zsim::win::SimWinUsbStack;

// Descriptor builders.
inline Bytes interfaceDescriptor(uint8_t number, uint8_t alt, uint8_t endpoints) {
    return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alt, endpoints, 0xFF, 0, 0, 0};
}
inline Bytes endpointDescriptor(uint8_t address, uint16_t maxPacket = 512, uint8_t attributes = 2) {
    return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, static_cast<uint8_t>(maxPacket),
            static_cast<uint8_t>(maxPacket >> 8), 1};
}
// A configuration descriptor with the given value around the given parts.
inline Bytes configuration(uint8_t value, std::initializer_list<Bytes> parts) {
    Bytes config{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, value, 0, 0x80, 50};
    for (const auto& part : parts) config.insert(config.end(), part.begin(), part.end());
    config[2] = static_cast<uint8_t>(config.size());
    config[3] = static_cast<uint8_t>(config.size() >> 8);
    return config;
}

inline int32_t driverIdOf(SimDriver driver) {
    switch (driver) {
        case SimDriver::LibusbK: return KUSB_DRVID_LIBUSBK;
        case SimDriver::Libusb0: return KUSB_DRVID_LIBUSB0;
        default: return KUSB_DRVID_WINUSB;
    }
}

class UsbFixture : public ::testing::Test {
protected:
    void SetUp() override {
        SimWinUsbStack::instance().reset();
        UsbAccess_SetSystemApi(&SimWinUsbStack::instance().api());
    }
    void TearDown() override {
        for (KUSB_HANDLE h : opened) {
            if (api.Free != nullptr) api.Free(h);
        }
        SimWinUsbStack::instance().reset();
        UsbAccess_SetSystemApi(nullptr);
    }

    // Adds a node, loads its table and fills its KLST_DEVINFO.
    std::shared_ptr<SimWinDevice> addDevice(SimDriver driver, const std::vector<Bytes>& configs,
                                            std::initializer_list<uint8_t> endpoints = {},
                                            const std::string& path = "\\\\?\\usb#vid_f3a7&pid_0d51#test#{0}") {
        auto device = std::make_shared<SimWinDevice>(path, driver);
        device->setConfigurations(configs);
        for (uint8_t address : endpoints) {
            links[address] = std::make_shared<MemoryLink>();
            device->attach(address, links[address]);
        }
        SimWinUsbStack::instance().addDevice(device);
        std::memset(&info, 0, sizeof(info));
        info.driverId = driverIdOf(driver);
        std::strncpy(info.devicePath, path.c_str(), sizeof(info.devicePath) - 1);
        EXPECT_GT(LibK_LoadDriverApi(&api, info.driverId), 0);
        return device;
    }

    // Opens the node through the table's Init; the handle is freed at the end.
    KUSB_HANDLE open() {
        KUSB_HANDLE handle = nullptr;
        EXPECT_TRUE(api.Init(&handle, &info)) << "error " << GetLastError();
        if (handle != nullptr) opened.push_back(handle);
        return handle;
    }

    KUSB_DRIVER_API api{};
    KLST_DEVINFO info{};
    std::vector<KUSB_HANDLE> opened;
    std::shared_ptr<MemoryLink> links[256];
};

}  // namespace usbtest
