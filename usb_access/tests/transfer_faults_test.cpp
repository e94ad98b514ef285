// Transfers and calls that race: a time-out against a completion, an abort
// that misses its transfer, a configuration change against calls in flight,
// a record the caller forgot, and pipe policies of associated interfaces.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <tuple>
#include <thread>

#include "usb_access/tests/usb_fixture.h"

namespace usbtest {
namespace {

using namespace std::chrono_literals;
using zsim::win::SimOp;

// Generous for a loaded machine: each call below ends within its pipe's
// 50 ms time-out plus one abort when the library is right, never otherwise.
constexpr auto kCallBound = 10s;

const Bytes kBulkPair = configuration(1, {interfaceDescriptor(0, 0, 2), endpointDescriptor(0x81), endpointDescriptor(0x01)});

struct Direction {
    const char* name;
    uint8_t pipe;
};
const Direction kDirections[] = {{"read", 0x81}, {"write", 0x01}};

class TransferFaults : public UsbFixture {
protected:
    // Opens a libusb0 device (host-side time-outs) whose pipe holds its
    // transfers and times out after 50 ms.
    KUSB_HANDLE openHeld(uint8_t pipe) {
        device = addDevice(SimDriver::Libusb0, {kBulkPair}, {0x81, 0x01});
        KUSB_HANDLE handle = open();
        if (handle == nullptr) return nullptr;
        if ((pipe & 0x80) != 0) {
            device->holdReads(pipe, true);
        } else {
            device->holdWrites(pipe, true);
        }
        uint32_t timeout = 50;
        EXPECT_TRUE(api.SetPipePolicy(handle, pipe, PIPE_TRANSFER_TIMEOUT, sizeof(timeout), &timeout));
        return handle;
    }
    BOOL transfer(KUSB_HANDLE handle, uint8_t pipe, uint8_t* buffer, UINT length, UINT* got) {
        return (pipe & 0x80) != 0 ? api.ReadPipe(handle, pipe, buffer, length, got, nullptr)
                                  : api.WritePipe(handle, pipe, buffer, length, got, nullptr);
    }
    void closeAll() {
        for (KUSB_HANDLE h : opened) api.Free(h);
        opened.clear();
        SimWinUsbStack::instance().reset();
    }
    std::shared_ptr<SimWinDevice> device;
};

TEST_F(TransferFaults, TransferThatFinishesAsItIsAbortedKeepsItsResult) {
    for (const auto& d : kDirections) {
        SCOPED_TRACE(d.name);
        KUSB_HANDLE handle = openHeld(d.pipe);
        ASSERT_NE(handle, nullptr);
        // The device finishes the transfer just as the abort reaches it: the
        // bytes are in the buffer (read) or on their way (write).
        device->finishOnAbort(d.pipe, true);
        links[0x81]->deviceSend({7, 8, 9});
        uint8_t buffer[8] = {1, 2, 3, 4};
        UINT got = 0;
        SetLastError(0);
        EXPECT_TRUE(transfer(handle, d.pipe, buffer, (d.pipe & 0x80) != 0 ? 8 : 4, &got)) << GetLastError();
        if ((d.pipe & 0x80) != 0) {
            EXPECT_EQ(got, 3u);
            EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{7, 8, 9}));
        } else {
            EXPECT_EQ(got, 4u);
            EXPECT_EQ(links[0x01]->hostWrites(), (std::vector<Bytes>{{1, 2, 3, 4}}));
        }
        closeAll();
    }
}

TEST_F(TransferFaults, AbortThatMissesTheTransferStillEndsTheCall) {
    for (const auto& d : kDirections) {
        SCOPED_TRACE(d.name);
        KUSB_HANDLE handle = openHeld(d.pipe);
        ASSERT_NE(handle, nullptr);
        device->missAborts(true);
        auto call = std::async(std::launch::async, [&] {
            uint8_t buffer[8] = {};
            UINT got = 99;
            const BOOL ok = transfer(handle, d.pipe, buffer, sizeof(buffer), &got);
            return std::make_tuple(ok, GetLastError(), got);
        });
        const bool ended = call.wait_for(kCallBound) == std::future_status::ready;
        EXPECT_TRUE(ended) << "the call still waits for a transfer its abort did not reach";
        if (!ended) device->unplug();  // lets the stuck call go
        const auto [ok, error, got] = call.get();
        if (ended) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_SEM_TIMEOUT));
            EXPECT_EQ(got, 0u);
            EXPECT_EQ(device->pendingTransfers(), 0u);
        }
        closeAll();
    }
}

TEST_F(TransferFaults, OverlappedResultWithoutARecordIsRefusedOnEveryDriver) {
    for (SimDriver driver : {SimDriver::LibusbK, SimDriver::WinUsb}) {
        SCOPED_TRACE(static_cast<int>(driver));
        addDevice(driver, {kBulkPair}, {0x81, 0x01});
        KUSB_HANDLE handle = open();
        ASSERT_NE(handle, nullptr);
        UINT got = 5;
        SetLastError(0);
        // The system would fault on the missing record (the simulated one
        // ends the process): the library must not pass it on.
        EXPECT_FALSE(api.GetOverlappedResult(handle, nullptr, &got, TRUE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        closeAll();
    }
}

TEST_F(TransferFaults, PipePoliciesOfAnAssociatedInterfaceGoToItsOwnHandle) {
    auto device = addDevice(SimDriver::WinUsb,
                            {configuration(1, {interfaceDescriptor(0, 0, 1), endpointDescriptor(0x81),
                                               interfaceDescriptor(1, 0, 1), endpointDescriptor(0x82)})},
                            {0x81, 0x82});
    KUSB_HANDLE handle = open();
    ASSERT_NE(handle, nullptr);
    for (UCHAR pipe : {UCHAR{0x81}, UCHAR{0x82}}) {
        SCOPED_TRACE(int(pipe));
        ULONG timeout = 250u + pipe;
        ASSERT_TRUE(api.SetPipePolicy(handle, pipe, PIPE_TRANSFER_TIMEOUT, sizeof(timeout), &timeout))
            << GetLastError();
        ULONG back = 0;
        UINT length = sizeof(back);
        ASSERT_TRUE(api.GetPipePolicy(handle, pipe, PIPE_TRANSFER_TIMEOUT, &length, &back)) << GetLastError();
        EXPECT_EQ(back, timeout);
    }
    // A pipe no interface owns is refused by the system, not by the library.
    ULONG timeout = 1;
    SetLastError(0);
    EXPECT_FALSE(api.SetPipePolicy(handle, 0x83, PIPE_TRANSFER_TIMEOUT, sizeof(timeout), &timeout));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// A call that walks the descriptor tree, held inside its request.
struct HeldCall {
    const char* name;
    SimOp op;
    BOOL (*call)(const KUSB_DRIVER_API& api, KUSB_HANDLE handle);
};

const HeldCall kHeldCalls[] = {
    {"claim", SimOp::Claim, [](const KUSB_DRIVER_API& api, KUSB_HANDLE h) { return api.ClaimInterface(h, 0, FALSE); }},
    {"get alternate setting", SimOp::GetAlt,
     [](const KUSB_DRIVER_API& api, KUSB_HANDLE h) {
         UCHAR alt = 0;
         return api.GetInterfaceAltSetting(h, 0, FALSE, &alt);
     }},
};

TEST_F(TransferFaults, ConfigurationChangeIsRefusedWhileAnotherCallRuns) {
    const Bytes configs[] = {
        configuration(1, {interfaceDescriptor(0, 0, 1), endpointDescriptor(0x81)}),
        configuration(2, {interfaceDescriptor(0, 0, 2), endpointDescriptor(0x82), endpointDescriptor(0x03)}),
    };
    for (const auto& c : kHeldCalls) {
        SCOPED_TRACE(c.name);
        auto device = addDevice(SimDriver::Libusb0, {configs[0], configs[1]}, {0x81});
        KUSB_HANDLE handle = open();
        ASSERT_NE(handle, nullptr);
        device->holdRequests(c.op, true);
        auto call = std::async(std::launch::async, [&] { return c.call(api, handle); });
        ASSERT_TRUE(device->waitForPendingTransfers(1, kCallBound));

        // The other thread's call still walks the tree: no rebuild under it.
        SetLastError(0);
        EXPECT_FALSE(api.SetConfiguration(handle, 2));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NOT_AVAILABLE));
        EXPECT_EQ(device->currentConfiguration(), 1);

        device->holdRequests(c.op, false);
        EXPECT_TRUE(call.get());
        // Alone again, the change goes through and the tree is the new one.
        ASSERT_TRUE(api.SetConfiguration(handle, 2)) << GetLastError();
        WINUSB_PIPE_INFORMATION pipe{};
        EXPECT_TRUE(api.QueryPipe(handle, 0, 1, &pipe));
        EXPECT_EQ(pipe.PipeId, 0x03);
        closeAll();
    }
}

}  // namespace
}  // namespace usbtest
