// Opening and closing devices: what a failed opening leaves behind, a
// configuration change on the libusb0 driver, and an overlapped read
// completed through the table.
#include <gtest/gtest.h>

#include <thread>

#include "usb_access/tests/usb_fixture.h"

namespace usbtest {
namespace {

using namespace std::chrono_literals;
using zsim::win::SimOp;

const Bytes kTwoConfigurations[] = {
    configuration(1, {interfaceDescriptor(0, 0, 1), endpointDescriptor(0x81)}),
    configuration(2, {interfaceDescriptor(0, 0, 2), endpointDescriptor(0x82), endpointDescriptor(0x03)}),
};

using DeviceLifecycle = UsbFixture;

TEST_F(DeviceLifecycle, FailedOpeningLeavesNoHandleAndNoOpenFile) {
    struct Case {
        const char* name;
        SimDriver driver;
        bool removeDevice;
        SimOp fault;
        DWORD error;
    };
    const Case cases[] = {
        {"no such device", SimDriver::LibusbK, true, SimOp::Other, ERROR_FILE_NOT_FOUND},
        {"driver version refused", SimDriver::LibusbK, false, SimOp::GetVersion, ERROR_GEN_FAILURE},
        {"descriptor refused", SimDriver::Libusb0, false, SimOp::GetDescriptor, ERROR_BAD_COMMAND},
        {"WinUSB refuses the file", SimDriver::WinUsb, false, SimOp::Initialize, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = addDevice(c.driver, {kTwoConfigurations[0]});
        if (c.removeDevice) SimWinUsbStack::instance().removeDevice(device->path());
        // More attempts than the pools have slots: a leak would show as 84.
        for (int attempt = 0; attempt < 70; ++attempt) {
            if (!c.removeDevice) device->failNext(c.fault, c.error);
            KUSB_HANDLE handle = reinterpret_cast<KUSB_HANDLE>(1);
            SetLastError(0);
            ASSERT_FALSE(api.Init(&handle, &info));
            ASSERT_EQ(GetLastError(), c.error);
            ASSERT_EQ(handle, nullptr);
        }
        EXPECT_EQ(device->openFiles(), 0u);
        SimWinUsbStack::instance().reset();
    }
}

TEST_F(DeviceLifecycle, Libusb0ConfigurationChangeRebuildsTheDeviceOnlyWhenTheHandleIsAlone) {
    auto device = addDevice(SimDriver::Libusb0, {kTwoConfigurations[0], kTwoConfigurations[1]}, {0x81, 0x82, 0x03});
    KUSB_HANDLE handle = open();
    ASSERT_NE(handle, nullptr);

    KUSB_HANDLE clone = nullptr;
    ASSERT_TRUE(api.Clone(handle, &clone));
    SetLastError(0);
    EXPECT_FALSE(api.SetConfiguration(handle, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NOT_AVAILABLE));
    EXPECT_EQ(device->currentConfiguration(), 1);
    api.Free(clone);

    ASSERT_TRUE(api.SetConfiguration(handle, 2)) << GetLastError();
    EXPECT_EQ(device->currentConfiguration(), 2);
    UCHAR value = 0;
    ASSERT_TRUE(api.GetConfiguration(handle, &value));
    EXPECT_EQ(value, 2);
    WINUSB_PIPE_INFORMATION pipe{};
    ASSERT_TRUE(api.QueryPipe(handle, 0, 1, &pipe));  // only the new configuration has a second pipe
    EXPECT_EQ(pipe.PipeId, 0x03);
    // The record still works for transfers after the rebuild.
    links[0x82]->deviceSend({9});
    uint8_t buffer[4] = {};
    UINT got = 0;
    EXPECT_TRUE(api.ReadPipe(handle, 0x82, buffer, sizeof(buffer), &got, nullptr));
    EXPECT_EQ(buffer[0], 9);
}

TEST_F(DeviceLifecycle, OverlappedReadCompletesThroughTheTableAndFailsOnRemoval) {
    for (SimDriver driver : {SimDriver::LibusbK, SimDriver::WinUsb}) {
        SCOPED_TRACE(static_cast<int>(driver));
        auto device = addDevice(driver, {kTwoConfigurations[0]}, {0x81});
        KUSB_HANDLE handle = open();
        ASSERT_NE(handle, nullptr);
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);

        uint8_t buffer[8] = {};
        OVERLAPPED ov{};
        ov.hEvent = event;
        SetLastError(0);
        ASSERT_FALSE(api.ReadPipe(handle, 0x81, buffer, sizeof(buffer), nullptr, &ov));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        UINT got = 0;
        EXPECT_FALSE(api.GetOverlappedResult(handle, &ov, &got, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
        links[0x81]->deviceSend({4, 5});
        ASSERT_TRUE(api.GetOverlappedResult(handle, &ov, &got, TRUE));
        EXPECT_EQ(got, 2u);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

        ResetEvent(event);
        ov = OVERLAPPED{};
        ov.hEvent = event;
        ASSERT_FALSE(api.ReadPipe(handle, 0x81, buffer, sizeof(buffer), nullptr, &ov));
        SimWinUsbStack::instance().removeDevice(device->path());
        EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
        EXPECT_FALSE(api.GetOverlappedResult(handle, &ov, &got, TRUE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
        CloseHandle(event);
        api.Free(handle);
        opened.clear();
        SimWinUsbStack::instance().reset();
    }
}

}  // namespace
}  // namespace usbtest
