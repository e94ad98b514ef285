// The transport back-end's attached-device query and the string descriptor
// reader beneath it, over the simulated plug and play and Windows USB stack:
// what a caller gets for each sensor present, and for descriptors a device
// gets wrong.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "runtime/usb_transport.h"
#include "sim/win_pnp/win_pnp.h"
#include "sim/win_pnp/win_pnp_api.h"
#include "sim/win_usb/win_usb_sensor.h"
#include "usb_access/system_api.h"
#include "usb_access/vpu_usb_libusbk.h"

namespace {

using zsim::win::Bytes;
using zsim::win::SimOp;
using zsim::win::SimWinDevice;
using zsim::win::SimWinUsbStack;

const zsim::PnpSensorIdentity kSensor{zsim::win::kSensorVendorId, zsim::win::kSensorProductId,
                                      zsim::win::kSensorInterfacePrefix, zsim::win::kSensorManufacturer, 1, 1};

// A UTF-16LE string descriptor of the given code units.
Bytes stringDescriptor(std::initializer_list<uint16_t> units) {
    Bytes d{static_cast<uint8_t>(2 + 2 * units.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (uint16_t unit : units) {
        d.push_back(static_cast<uint8_t>(unit));
        d.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return d;
}

class AttachedDevices : public ::testing::Test {
protected:
    void SetUp() override {
        zsim::WinPnp::instance().reset();
        SimWinUsbStack::instance().reset();
        api_ = SimWinUsbStack::instance().api();
        zsim::WinPnpStack::fill(api_);
        UsbAccess_SetSystemApi(&api_);
    }
    void TearDown() override {
        UsbAccess_SetSystemApi(nullptr);
        SimWinUsbStack::instance().reset();
        zsim::WinPnp::instance().reset();
    }

    // The sensor's device files, then its nodes; the device files in index order.
    std::vector<std::shared_ptr<SimWinDevice>> plug(const std::string& serial, bool booted) {
        std::vector<std::shared_ptr<SimWinDevice>> devices;
        const std::vector<std::string> paths = zsim::pnpSensorPaths(kSensor, serial, booted);
        for (size_t i = 0; i < paths.size(); ++i) {
            auto device = std::make_shared<SimWinDevice>(paths[i], zsim::win::SimDriver::LibusbK);
            device->setDeviceDescriptor(zsim::win::sensorDeviceDescriptor(booted));
            device->setConfigurations({zsim::win::sensorConfiguration(static_cast<uint8_t>(i))});
            device->setString(1, zsim::win::kSensorManufacturer);
            device->setString(2, zsim::win::kSensorProduct);
            device->setString(3, serial);
            SimWinUsbStack::instance().addDevice(device);
            devices.push_back(device);
        }
        zsim::pnpPlugSensor(zsim::WinPnp::instance(), kSensor, serial, booted);
        return devices;
    }

    // Opens a device file through its driver table, as the back-end does.
    UsbDeviceHandle open(const std::shared_ptr<SimWinDevice>& device) {
        UsbDeviceHandle handle{};
        EXPECT_GT(LibK_LoadDriverApi(&handle.Usb, KUSB_DRVID_LIBUSBK), 0);
        KLST_DEVINFO info{};
        info.driverId = KUSB_DRVID_LIBUSBK;
        std::strncpy(info.devicePath, device->path().c_str(), sizeof(info.devicePath) - 1);
        EXPECT_TRUE(handle.Usb.Init(&handle.handle, &info)) << GetLastError();
        return handle;
    }

    UsbAccessSystemApi api_{};
};

TEST_F(AttachedDevices, EachSensorIsReportedOnceWithItsStateAndTexts) {
    plug("SN-BOOTED", true);
    auto unbooted = plug("SN-WAITING", false);
    auto refused = plug("SN-BUSY", true);
    refused[0]->failNext(SimOp::Claim, ERROR_ACCESS_DENIED);  // another program holds its control interface

    void* records = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(vpu_usb_libusbk_query_attached_devices(&records, &count), VPU_USB_OK);
    ASSERT_EQ(count, 3u);
    ASSERT_NE(records, nullptr);
    auto* found = static_cast<vpu_usb_attached_device*>(records);
    struct Expected {
        const char* serial;
        uint8_t booted;
        uint8_t claimed;
    };
    const Expected expected[] = {{"SN-BOOTED", 1, 0}, {"SN-WAITING", 0, 0}, {"SN-BUSY", 1, 1}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.serial);
        const vpu_usb_attached_device* record = nullptr;
        for (uint32_t i = 0; i < count; ++i) {
            if (std::string(found[i].serial) == e.serial) record = &found[i];
        }
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->booted, e.booted);
        EXPECT_EQ(record->claimed, e.claimed);
        EXPECT_STREQ(record->product, zsim::win::kSensorProduct);
        EXPECT_STREQ(record->manufacturer, zsim::win::kSensorManufacturer);
    }
    std::free(records);
    // Every device file the query opened is closed again.
    EXPECT_EQ(SimWinUsbStack::instance().openFiles(), 0u);
}

TEST_F(AttachedDevices, NoSensorGivesNoRecordsAndAMissingOutputIsAnError) {
    void* records = reinterpret_cast<void*>(1);
    uint32_t count = 7;
    EXPECT_EQ(vpu_usb_libusbk_query_attached_devices(&records, &count), VPU_USB_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(records, nullptr);
    EXPECT_NE(vpu_usb_libusbk_query_attached_devices(nullptr, &count), VPU_USB_OK);
    EXPECT_NE(vpu_usb_libusbk_query_attached_devices(&records, nullptr), VPU_USB_OK);
}

TEST_F(AttachedDevices, StringDescriptorsAreReadAsAsciiAndRefusedWhenMalformed) {
    auto devices = plug("SN1", false);
    UsbDeviceHandle handle = open(devices[0]);
    ASSERT_NE(handle.handle, nullptr);
    Bytes overlong = stringDescriptor({'a', 'b'});
    overlong[0] = 40;  // claims more than the device sends
    Bytes wrongType = stringDescriptor({'a', 'b'});
    wrongType[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    struct Case {
        const char* name;
        Bytes descriptor;  // empty: the device has none at that index
        uint32_t room;
        bool ok;
        std::string text;
    };
    const Case cases[] = {
        {"plain text", stringDescriptor({'Z', 'r', '7'}), 256, true, "Zr7"},
        {"outside ASCII", stringDescriptor({'a', 0x00E9, 0x4E2D, 'b'}), 256, true, "a??b"},
        {"cut to the room given", stringDescriptor({'a', 'b', 'c', 'd'}), 3, true, "ab"},
        {"longer than sent", overlong, 256, false, ""},
        {"not a string", wrongType, 256, false, ""},
        {"no such string", {}, 256, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.descriptor.empty()) devices[0]->setStringDescriptor(7, c.descriptor);
        std::vector<char> buffer(c.room + 1, 'x');  // one byte past the room stays untouched
        const int ok = readStringDescriptor(&handle, c.descriptor.empty() ? 9 : 7, buffer.data(), c.room);
        EXPECT_EQ(ok != 0, c.ok);
        EXPECT_EQ(std::string(buffer.data()), c.text);
        EXPECT_EQ(buffer[c.room], 'x');
    }
    // The text is asked for in the device's first language.
    devices[0]->setStringDescriptor(0, Bytes{4, USB_STRING_DESCRIPTOR_TYPE, 0x07, 0x04});
    char text[16];
    ASSERT_TRUE(readStringDescriptor(&handle, 3, text, sizeof(text)));
    EXPECT_STREQ(text, "SN1");
    const auto requests = devices[0]->requests();
    ASSERT_FALSE(requests.empty());
    const auto& last = requests.back();
    EXPECT_EQ(last.block[12] | (last.block[13] << 8), 0x0407);
    handle.Usb.Free(handle.handle);
}

}  // namespace
