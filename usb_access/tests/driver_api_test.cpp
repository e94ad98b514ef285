// The driver table and the common operations, through the table, against
// the simulated Windows USB stack.
#include <gtest/gtest.h>

#include <thread>

#include "platform/tests/fresh_process.h"
#include "usb_access/allk.h"
#include "usb_access/tests/usb_fixture.h"

namespace usbtest {
namespace {

TEST(DriverApiTable, FunctionCountsFollowTheDriverId) {
    SimWinUsbStack::instance().reset();
    UsbAccess_SetSystemApi(&SimWinUsbStack::instance().api());
    struct Case {
        int32_t driverId;
        int32_t count;
        int32_t missingSlot;  // a slot the driver does not offer, -1 when none
    };
    const Case cases[] = {
        {KUSB_DRVID_LIBUSBK, 34, -1},
        {KUSB_DRVID_LIBUSB0, 32, KUSB_FNID_IsoReadPipe},
        {KUSB_DRVID_LIBUSB0_FILTER, 32, KUSB_FNID_IsoWritePipe},
        {KUSB_DRVID_WINUSB, 30, KUSB_FNID_ResetDevice},
        {7, 7, KUSB_FNID_Init},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.driverId);
        KUSB_DRIVER_API api{};
        EXPECT_EQ(LibK_LoadDriverApi(&api, c.driverId), c.count);
        EXPECT_EQ(api.FunctionCount, c.count);
        EXPECT_EQ(api.DriverId, c.driverId);
        if (c.missingSlot < 0) continue;
        KPROC proc = nullptr;
        SetLastError(0);
        EXPECT_FALSE(LibK_GetProcAddress(&proc, c.driverId, c.missingSlot));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        // The slot holds a stub that fails when called.
        ASSERT_NE(api.IsoReadPipe, nullptr);
        if (c.missingSlot == KUSB_FNID_IsoReadPipe) {
            SetLastError(0);
            OVERLAPPED ov{};
            EXPECT_FALSE(api.IsoReadPipe(nullptr, 0x81, nullptr, 0, &ov, nullptr));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        }
    }
    UsbAccess_SetSystemApi(nullptr);
}

TEST(DriverApiTable, WinUsbWithoutItsLibraryOffersOnlyTheCommonOperations) {
    // winusb.dll is looked for once per process.
    ZARN_RUN_IN_FRESH_PROCESS();
    SimWinUsbStack::instance().reset();
    SimWinUsbStack::instance().setWinUsbAvailable(false);
    UsbAccess_SetSystemApi(&SimWinUsbStack::instance().api());
    KUSB_DRIVER_API api{};
    EXPECT_EQ(LibK_LoadDriverApi(&api, KUSB_DRVID_WINUSB), 7);
    KUSB_HANDLE handle = nullptr;
    KLST_DEVINFO info{};
    SetLastError(0);
    EXPECT_FALSE(api.Init(&handle, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    UsbAccess_SetSystemApi(nullptr);
}

TEST(DriverApiTable, LibrariesAreLoadedFromTheSystemFolderOnly) {
    // The context loads its libraries once per process, WinUSB's on first need.
    ZARN_RUN_IN_FRESH_PROCESS();
    SimWinUsbStack::instance().reset();
    UsbAccess_SetSystemApi(&SimWinUsbStack::instance().api());
    ASSERT_TRUE(AllK_Init());
    EXPECT_NE(AllK()->configManagerLibrary, nullptr);
    KUSB_DRIVER_API api{};
    EXPECT_EQ(LibK_LoadDriverApi(&api, KUSB_DRVID_WINUSB), 30);
    EXPECT_EQ(SimWinUsbStack::instance().searchingLibraryLoads(), 0u);
    UsbAccess_SetSystemApi(nullptr);
}

TEST(DriverApiTable, NullOrAllOnesTableIsAnInvalidHandle) {
    for (KUSB_DRIVER_API* table : {static_cast<KUSB_DRIVER_API*>(nullptr),
                                   reinterpret_cast<KUSB_DRIVER_API*>(INVALID_HANDLE_VALUE)}) {
        SetLastError(0);
        EXPECT_EQ(LibK_LoadDriverApi(table, KUSB_DRVID_LIBUSBK), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

using CommonOperations = UsbFixture;

TEST_F(CommonOperations, QueryPipeReportsPacketSizesAndRejectsWhatIsNotThere) {
    addDevice(SimDriver::LibusbK,
              {configuration(1, {interfaceDescriptor(0, 0, 2), endpointDescriptor(0x81, 0x1400, 1),
                                 endpointDescriptor(0x02, 64)})});
    KUSB_HANDLE handle = open();
    ASSERT_NE(handle, nullptr);

    WINUSB_PIPE_INFORMATION pipe{};
    ASSERT_TRUE(api.QueryPipe(handle, 0, 0, &pipe));
    EXPECT_EQ(pipe.PipeId, 0x81);
    EXPECT_EQ(pipe.PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(pipe.MaximumPacketSize, 3072);  // 1024 bytes, three per microframe
    ASSERT_TRUE(api.QueryPipe(handle, 0, 1, &pipe));
    EXPECT_EQ(pipe.MaximumPacketSize, 64);

    struct Case {
        UCHAR alt;
        UCHAR index;
        DWORD error;
    };
    const Case cases[] = {{0, 32, ERROR_INVALID_PARAMETER},
                          {128, 0, ERROR_INVALID_PARAMETER},
                          {5, 0, ERROR_NO_MORE_ITEMS},
                          {0, 2, ERROR_NO_MORE_ITEMS}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.alt) << "/" << int(c.index));
        SetLastError(0);
        EXPECT_FALSE(api.QueryPipe(handle, c.alt, c.index, &pipe));
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST_F(CommonOperations, RepeatedListingsKeepTheFirstAndAddOnlyNewEndpoints) {
    addDevice(SimDriver::LibusbK,
              {configuration(1, {interfaceDescriptor(0, 0, 2), endpointDescriptor(0x81, 64), endpointDescriptor(0x01, 64),
                                 interfaceDescriptor(0, 0, 2), endpointDescriptor(0x81, 512), endpointDescriptor(0x82, 512),
                                 interfaceDescriptor(0, 1, 0)})});
    KUSB_HANDLE handle = open();
    ASSERT_NE(handle, nullptr);
    WINUSB_PIPE_INFORMATION pipe{};
    const std::pair<UCHAR, USHORT> expected[] = {{0x81, 64}, {0x01, 64}, {0x82, 512}};
    for (UCHAR i = 0; i < 3; ++i) {
        ASSERT_TRUE(api.QueryPipe(handle, 0, i, &pipe)) << int(i);
        EXPECT_EQ(pipe.PipeId, expected[i].first);
        EXPECT_EQ(pipe.MaximumPacketSize, expected[i].second);
    }
    EXPECT_FALSE(api.QueryPipe(handle, 0, 3, &pipe));
    USB_INTERFACE_DESCRIPTOR setting{};
    ASSERT_TRUE(api.QueryInterfaceSettings(handle, 1, &setting));  // alternate setting index 1 is setting 1
    EXPECT_EQ(setting.bAlternateSetting, 1);
    EXPECT_FALSE(api.QueryInterfaceSettings(handle, 2, &setting));
}

TEST_F(CommonOperations, MalformedConfigurationDescriptorsEndTheWalkWithoutReadingPastTheCopy) {
    // Each case is a whole configuration the device returns; the walk must
    // stop inside it (AddressSanitizer watches the reads).
    Bytes zeroLength = configuration(1, {interfaceDescriptor(0, 0, 1), Bytes{0, 5, 0x81, 2, 0, 2, 0}});
    Bytes overrun = configuration(1, {interfaceDescriptor(0, 0, 1), Bytes{200, 5, 0x81, 2, 0, 2, 0}});
    Bytes shortInterface = configuration(1, {Bytes{5, 4, 0, 0, 1}, endpointDescriptor(0x81)});
    Bytes shortEndpoint = configuration(1, {interfaceDescriptor(0, 0, 1), Bytes{4, 5, 0x81, 2}});
    struct Case {
        const char* name;
        Bytes config;
        bool hasInterface;
    };
    const Case cases[] = {{"zero length", zeroLength, true},
                          {"runs past the end", overrun, true},
                          {"short interface", shortInterface, false},
                          {"short endpoint", shortEndpoint, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        addDevice(SimDriver::LibusbK, {c.config});
        KUSB_HANDLE handle = open();
        ASSERT_NE(handle, nullptr);
        WINUSB_PIPE_INFORMATION pipe{};
        SetLastError(0);
        EXPECT_FALSE(api.QueryPipe(handle, 0, 0, &pipe));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        EXPECT_EQ(api.SelectInterface(handle, 0, FALSE), c.hasInterface ? TRUE : FALSE);
        api.Free(handle);
        opened.clear();
    }
}

TEST_F(CommonOperations, FreeOfAForeignPointerSucceedsAndLeavesInvalidHandle) {
    addDevice(SimDriver::LibusbK, {configuration(1, {interfaceDescriptor(0, 0, 0)})});
    int notAHandle = 0;
    SetLastError(0);
    EXPECT_TRUE(api.Free(&notAHandle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // Every operation that takes a handle checks it the same way.
    UCHAR value = 0;
    SetLastError(0);
    EXPECT_FALSE(api.GetAltInterface(&notAHandle, &value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(CommonOperations, GetPropertyGivesTheDeviceFileOnlyWithRoomForIt) {
    addDevice(SimDriver::LibusbK, {configuration(1, {interfaceDescriptor(0, 0, 0)})});
    KUSB_HANDLE handle = open();
    ASSERT_NE(handle, nullptr);
    HANDLE file = nullptr;
    UINT length = 4;
    SetLastError(0);
    EXPECT_FALSE(api.GetProperty(handle, KUSB_PROPERTY_DEVICE_FILE_HANDLE, &length, &file));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(file, nullptr);
    ASSERT_TRUE(api.GetProperty(handle, KUSB_PROPERTY_DEVICE_FILE_HANDLE, &length, &file));
    EXPECT_NE(file, nullptr);
}

TEST_F(CommonOperations, CloneOutlivesItsSourceAndTheLastOneClosesTheFile) {
    auto device = addDevice(SimDriver::LibusbK, {configuration(1, {interfaceDescriptor(0, 0, 1), endpointDescriptor(0x81)})},
                            {0x81});
    KUSB_HANDLE source = open();
    ASSERT_NE(source, nullptr);
    opened.clear();
    KUSB_HANDLE clone = nullptr;
    ASSERT_TRUE(api.Clone(source, &clone));
    EXPECT_EQ(device->openFiles(), 1u);
    api.Free(source);
    EXPECT_EQ(device->openFiles(), 1u);

    links[0x81]->deviceSend({1, 2, 3});
    uint8_t buffer[8] = {};
    UINT got = 0;
    EXPECT_TRUE(api.ReadPipe(clone, 0x81, buffer, sizeof(buffer), &got, nullptr));
    EXPECT_EQ(got, 3u);
    api.Free(clone);
    EXPECT_EQ(device->openFiles(), 0u);
}

TEST_F(CommonOperations, UnterminatedPathIsReadWithinItsField) {
    const std::string path(sizeof(KLST_DEVINFO::devicePath), 'p');
    addDevice(SimDriver::LibusbK, {configuration(1, {interfaceDescriptor(0, 0, 0)})}, {}, path);
    std::memcpy(info.devicePath, path.data(), sizeof(info.devicePath));  // no terminator
    info.filterIndex = 0x78787878;  // what a reader running past the field would take for more path
    KUSB_HANDLE handle = open();
    EXPECT_NE(handle, nullptr);
}

}  // namespace
}  // namespace usbtest
