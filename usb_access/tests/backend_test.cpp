// The kernel-driver and WinUSB back-ends against the simulated drivers:
// the requests they send, the driver versions' differences, time-outs and
// aborts, removal, and WinUSB's pipe routing.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "usb_access/tests/usb_fixture.h"

namespace usbtest {
namespace {

using namespace std::chrono_literals;
using zsim::win::SimOp;

const Bytes kOneInterface = configuration(1, {interfaceDescriptor(0, 0, 2), endpointDescriptor(0x81),
                                              endpointDescriptor(0x01), interfaceDescriptor(0, 1, 2),
                                              endpointDescriptor(0x82), endpointDescriptor(0x02)});

std::vector<SimWinDevice::Request> withCode(const std::vector<SimWinDevice::Request>& all, DWORD code) {
    std::vector<SimWinDevice::Request> found;
    for (const auto& r : all)
        if (r.code == code) found.push_back(r);
    return found;
}

uint32_t field(const SimWinDevice::Request& r, size_t offset) {
    return static_cast<uint32_t>(r.block[offset]) | static_cast<uint32_t>(r.block[offset + 1]) << 8 |
           static_cast<uint32_t>(r.block[offset + 2]) << 16 | static_cast<uint32_t>(r.block[offset + 3]) << 24;
}

using KernelBackend = UsbFixture;

Bytes config(uint8_t value) { return configuration(value, {interfaceDescriptor(0, 0, 0)}); }

TEST_F(KernelBackend, OpeningSettlesTheConfigurationAndKeepsTheRightDescriptor) {
    struct Case {
        const char* name;
        int reported;  // what get configuration answers; -1: the device's own value
        std::vector<Bytes> configs;
        bool setsAnyConfiguration;
        uint32_t keptIndex;
    };
    const Case cases[] = {
        {"unconfigured device", 0, {config(1), config(2)}, true, 0},
        {"device repeating its value", 5, {config(1), config(1), config(1)}, false, 1},
        {"matching value", 2, {config(1), config(2)}, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = addDevice(SimDriver::LibusbK, c.configs);
        if (c.reported >= 0) device->setReportedConfiguration(static_cast<uint8_t>(c.reported));
        KUSB_HANDLE handle = open();
        ASSERT_NE(handle, nullptr);
        const auto sets = withCode(device->requests(), 0x222004);
        ASSERT_EQ(sets.size(), c.setsAnyConfiguration ? 1u : 0u);
        if (c.setsAnyConfiguration) {
            EXPECT_EQ(field(sets[0], 4), 0xFFFFFFFFu);
        }
        // The last descriptor request reads the whole kept descriptor.
        const auto gets = withCode(device->requests(), 0x222024);
        ASSERT_FALSE(gets.empty());
        EXPECT_EQ(field(gets.back(), 8), c.keptIndex);
        EXPECT_GT(gets.back().outLength, 9u);
        api.Free(handle);
        opened.clear();
        SimWinUsbStack::instance().reset();
    }
}

TEST_F(KernelBackend, ControlTransferDirectionPicksTheCode) {
    auto device = addDevice(SimDriver::Libusb0, {kOneInterface}, {0x81, 0x01});
    KUSB_HANDLE handle = open();
    ASSERT_NE(handle, nullptr);
    struct Case {
        WINUSB_SETUP_PACKET setup;
        DWORD code;
        BOOL ok;
        UINT moved;
    };
    const Case cases[] = {
        {{0x80, 6, 0x0100, 0, 18}, 0x22242E, FALSE, 0},  // device to host: no device descriptor set
        {{0x40, 1, 0, 0, 0}, 0x222429, TRUE, 0},         // host to device
    };
    for (const auto& c : cases) {
        uint8_t buffer[18] = {};
        UINT got = 7;
        EXPECT_EQ(api.ControlTransfer(handle, c.setup, buffer, sizeof(buffer), &got, nullptr), c.ok);
        const auto sent = device->requests().back();
        EXPECT_EQ(sent.code, c.code);
        EXPECT_EQ(std::memcmp(sent.block.data() + 4, &c.setup, 8), 0);
        // Pipe slot 16 (endpoint 0 IN) has no host-side time-out.
        EXPECT_EQ(field(sent, 0), 0u);
    }
}

TEST_F(KernelBackend, DriverVersionDecidesWhoKeepsPipePolicies) {
    struct Case {
        SimDriver driver;
        UINT policy;
        BOOL ok;
        DWORD error;
        bool sentToDriver;
    };
    const Case cases[] = {
        {SimDriver::Libusb0, PIPE_TRANSFER_TIMEOUT, TRUE, 0, false},
        {SimDriver::Libusb0, SHORT_PACKET_TERMINATE, FALSE, ERROR_NOT_SUPPORTED, false},
        {SimDriver::LibusbK, SHORT_PACKET_TERMINATE, TRUE, 0, true},
        {SimDriver::LibusbK, PIPE_TRANSFER_TIMEOUT, TRUE, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.driver) << "/" << c.policy);
        auto device = addDevice(c.driver, {kOneInterface}, {0x81, 0x01});
        KUSB_HANDLE handle = open();
        ASSERT_NE(handle, nullptr);
        uint32_t value = 40;
        SetLastError(0);
        EXPECT_EQ(api.SetPipePolicy(handle, 0x81, c.policy, sizeof(value), &value), c.ok);
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        EXPECT_EQ(withCode(device->requests(), 0x222418).size(), c.sentToDriver ? 1u : 0u);
        api.Free(handle);
        opened.clear();
        SimWinUsbStack::instance().reset();
    }
}

TEST_F(KernelBackend, HostSideTimeoutAbortsTheReadAndReturnsOnlyAfterTheDriverIsDone) {
    auto device = addDevice(SimDriver::Libusb0, {kOneInterface}, {0x81, 0x01});
    KUSB_HANDLE handle = open();
    ASSERT_NE(handle, nullptr);
    device->holdReads(0x81, true);
    // The driver needs a while to finish an aborted read and writes into
    // its buffer meanwhile.
    device->setAbortCompletion(60ms, 0xEE);
    uint32_t timeout = 80;
    ASSERT_TRUE(api.SetPipePolicy(handle, 0x81, PIPE_TRANSFER_TIMEOUT, sizeof(timeout), &timeout));

    uint8_t buffer[64] = {};
    UINT got = 99;
    const auto start = std::chrono::steady_clock::now();
    SetLastError(0);
    EXPECT_FALSE(api.ReadPipe(handle, 0x81, buffer, sizeof(buffer), &got, nullptr));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_GE(elapsed, 80ms);
    EXPECT_EQ(got, 0u);
    // Nothing of the request is left with the driver once the call is back.
    EXPECT_EQ(device->pendingTransfers(), 0u);
    uint8_t snapshot[64];
    std::memcpy(snapshot, buffer, sizeof(buffer));
    EXPECT_TRUE(device->waitForPendingTransfers(0, 1s));
    EXPECT_EQ(std::memcmp(snapshot, buffer, sizeof(buffer)), 0);
    ASSERT_EQ(withCode(device->requests(), 0x22203C).size(), 1u);
    EXPECT_EQ(field(withCode(device->requests(), 0x22203C)[0], 4), 0x81u);
}

TEST_F(KernelBackend, RequestErrorsAndRemovalReachTheCaller) {
    auto device = addDevice(SimDriver::LibusbK, {kOneInterface}, {0x81, 0x01});
    KUSB_HANDLE handle = open();
    ASSERT_NE(handle, nullptr);

    device->failNext(SimOp::SetAlt, ERROR_GEN_FAILURE);
    SetLastError(0);
    EXPECT_FALSE(api.SetAltInterface(handle, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_TRUE(api.SetAltInterface(handle, 1));
    EXPECT_EQ(device->currentAlt(0), 1);

    struct Case {
        BOOL (*call)(const KUSB_DRIVER_API&, KUSB_HANDLE);
        DWORD error;
    };
    const Case cases[] = {
        {[](const KUSB_DRIVER_API& a, KUSB_HANDLE h) { return a.ClaimInterface(h, 9, FALSE); },
         ERROR_RESOURCE_NOT_FOUND},
        {[](const KUSB_DRIVER_API& a, KUSB_HANDLE h) {
             UCHAR alt = 0;
             return a.GetInterfaceAltSetting(h, 9, FALSE, &alt);
         },
         ERROR_NO_MORE_ITEMS},
        {[](const KUSB_DRIVER_API& a, KUSB_HANDLE h) { return a.SetConfiguration(h, 2); }, ERROR_NO_MORE_ITEMS},
        {[](const KUSB_DRIVER_API& a, KUSB_HANDLE h) { return a.IsoReadPipe(h, 0x81, nullptr, 0, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call(api, handle));
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_TRUE(api.SetConfiguration(handle, 1));

    // A read waiting for the device when it goes away fails.
    std::thread remover([&] {
        device->waitForPendingTransfers(1, 5s);
        SimWinUsbStack::instance().removeDevice(device->path());
    });
    uint8_t buffer[16];
    UINT got = 0;
    SetLastError(0);
    EXPECT_FALSE(api.ReadPipe(handle, 0x81, buffer, sizeof(buffer), &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    remover.join();
}

using WinUsbBackend = UsbFixture;

TEST_F(WinUsbBackend, PipesGoToTheHandleOfTheInterfaceThatOwnsThem) {
    auto device = addDevice(SimDriver::WinUsb,
                            {configuration(1, {interfaceDescriptor(0, 0, 1), endpointDescriptor(0x81),
                                               interfaceDescriptor(1, 0, 1), endpointDescriptor(0x82),
                                               interfaceDescriptor(1, 1, 1), endpointDescriptor(0x83)})},
                            {0x81, 0x82, 0x83});
    KUSB_HANDLE handle = open();
    ASSERT_NE(handle, nullptr);
    uint8_t buffer[4];
    UINT got = 0;

    links[0x82]->deviceSend({2});
    ASSERT_TRUE(api.ReadPipe(handle, 0x82, buffer, sizeof(buffer), &got, nullptr)) << GetLastError();
    EXPECT_EQ(device->winUsbServedBy().back(), 1);  // the associated interface's handle

    // After the second interface's setting changes, its new endpoint is routed there.
    KUSB_HANDLE second = nullptr;
    ASSERT_TRUE(api.GetAssociatedInterface(handle, 0, &second));
    opened.push_back(second);
    ASSERT_TRUE(api.SetAltInterface(second, 1));
    links[0x83]->deviceSend({3});
    ASSERT_TRUE(api.ReadPipe(handle, 0x83, buffer, sizeof(buffer), &got, nullptr)) << GetLastError();
    EXPECT_EQ(device->winUsbServedBy().back(), 1);
    EXPECT_EQ(buffer[0], 3);

    struct Case {
        BOOL (*call)(const KUSB_DRIVER_API&, KUSB_HANDLE);
        BOOL ok;
        DWORD error;
    };
    const Case cases[] = {
        {[](const KUSB_DRIVER_API& a, KUSB_HANDLE h) { return a.ClaimInterface(h, 1, FALSE); }, TRUE, 0},
        {[](const KUSB_DRIVER_API& a, KUSB_HANDLE h) { return a.ReleaseInterface(h, 7, FALSE); }, FALSE,
         ERROR_RESOURCE_NOT_FOUND},
        {[](const KUSB_DRIVER_API& a, KUSB_HANDLE h) { return a.SetConfiguration(h, 3); }, FALSE, ERROR_NO_MORE_ITEMS},
        {[](const KUSB_DRIVER_API& a, KUSB_HANDLE h) { return a.SetConfiguration(h, 1); }, TRUE, 0},
        {[](const KUSB_DRIVER_API& a, KUSB_HANDLE h) { return a.ResetDevice(h); }, FALSE, ERROR_NOT_SUPPORTED},
    };
    const size_t before = device->requests().size();
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(c.call(api, handle), c.ok);
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
    EXPECT_EQ(device->requests().size(), before);  // none of these talks to the device
}

}  // namespace
}  // namespace usbtest
