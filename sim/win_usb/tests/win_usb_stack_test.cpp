// Where the simulated Windows USB stack must be as strict as the system:
// closing a file, waiting without an event, and files opened without
// FILE_FLAG_OVERLAPPED. (WinUSB's pipe ownership shows in the library's tests.)
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include "sim/win_usb/win_usb_stack.h"

namespace zsim::win {
namespace {

using namespace std::chrono_literals;

constexpr DWORD kBulkRead = 0x22202E;
// Generous for a loaded machine; only a fault makes a wait last this long.
constexpr auto kBound = 10s;

Bytes bulkConfiguration() {
    return {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 25, 0, 1, 1, 0, 0x80, 50,
            9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 1, 0xFF, 0, 0, 0,
            7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, 2, 0, 2, 0};
}

class WinUsbStackTest : public ::testing::Test {
protected:
    void SetUp() override {
        SimWinUsbStack::instance().reset();
        Bytes config = bulkConfiguration();
        config[2] = static_cast<uint8_t>(config.size());
        device = std::make_shared<SimWinDevice>("\\\\?\\usb#stack-test", SimDriver::LibusbK);
        device->setConfigurations({config});
        link = std::make_shared<MemoryLink>();
        device->attach(0x81, link);
        SimWinUsbStack::instance().addDevice(device);
    }
    void TearDown() override { SimWinUsbStack::instance().reset(); }

    HANDLE openFile(DWORD flags) {
        return api().CreateFileA(device->path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                                 nullptr);
    }
    // Starts a bulk read of pipe 0x81 into `buffer`.
    BOOL read(HANDLE file, uint8_t* buffer, DWORD length, LPOVERLAPPED overlapped, DWORD* returned = nullptr) {
        uint8_t block[24] = {0, 0, 0, 0, 0x81};
        return api().DeviceIoControl(file, kBulkRead, block, sizeof(block), buffer, length, returned, overlapped);
    }
    static const UsbAccessSystemApi& api() { return SimWinUsbStack::instance().api(); }

    std::shared_ptr<SimWinDevice> device;
    std::shared_ptr<MemoryLink> link;
};

TEST_F(WinUsbStackTest, ClosingAFileDoesNotWaitForItsTransfers) {
    HANDLE file = openFile(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    // The controller takes a second over the cancelled read and writes into
    // its buffer meanwhile.
    constexpr auto kAbortCompletion = 1s;
    device->setAbortCompletion(kAbortCompletion, 0xEE);
    uint8_t buffer[4] = {};
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(read(file, buffer, sizeof(buffer), &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    const auto closing = std::chrono::steady_clock::now();
    ASSERT_TRUE(api().CloseHandle(file));
    const size_t pending = device->pendingTransfers();
    // The close cancels the read, which cannot complete sooner than its
    // second after that: a transfer gone within the second went with the
    // close. A machine that took longer to get here tells nothing.
    const bool lookedInTime = std::chrono::steady_clock::now() - closing < kAbortCompletion;
    EXPECT_EQ(device->openFiles(), 0u);
    if (lookedInTime) {
        EXPECT_EQ(pending, 1u) << "the close waited for the transfer";
    }
    // It completes later, into the caller's record and buffer.
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ov.Internal, static_cast<ULONG_PTR>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(buffer[0], 0xEE);
    CloseHandle(ov.hEvent);
}

TEST_F(WinUsbStackTest, WaitWithoutAnEventWakesOnAnyCompletionOfTheFile) {
    HANDLE file = openFile(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    uint8_t first[4] = {};
    uint8_t second[4] = {};
    OVERLAPPED a{};
    OVERLAPPED b{};
    ASSERT_FALSE(read(file, first, sizeof(first), &a));
    ASSERT_FALSE(read(file, second, sizeof(second), &b));
    auto waited = std::async(std::launch::async, [&] {
        DWORD moved = 0;
        const BOOL ok = api().GetOverlappedResult(file, &b, &moved, TRUE);
        return std::make_pair(ok, GetLastError());
    });
    link->deviceSend({1});  // completes the first read only
    const bool woke = waited.wait_for(kBound) == std::future_status::ready;
    EXPECT_TRUE(woke) << "the wait took no notice of the file's other completion";
    if (!woke) api().CancelIoEx(file, &b);  // lets the waiter go
    const auto [ok, error] = waited.get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    DWORD moved = 0;
    EXPECT_TRUE(api().GetOverlappedResult(file, &a, &moved, FALSE));
    EXPECT_EQ(moved, 1u);
    // The second record lives on this stack: it must be done before the test ends.
    api().CancelIoEx(file, &b);
    EXPECT_TRUE(device->waitForPendingTransfers(0, kBound));
    api().CloseHandle(file);
}

TEST_F(WinUsbStackTest, FileWithoutOverlappedFlagRunsTheRequestToItsEnd) {
    HANDLE file = openFile(FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    uint8_t buffer[4] = {};
    OVERLAPPED ov{};
    auto call = std::async(std::launch::async, [&] {
        DWORD returned = 0;
        const BOOL ok = read(file, buffer, sizeof(buffer), &ov, &returned);
        return std::make_pair(ok, returned);
    });
    ASSERT_TRUE(device->waitForPendingTransfers(1, kBound));
    EXPECT_EQ(call.wait_for(0ms), std::future_status::timeout) << "returned before the read was done";
    link->deviceSend({5, 6});
    ASSERT_EQ(call.wait_for(kBound), std::future_status::ready);
    const auto [ok, returned] = call.get();
    EXPECT_TRUE(ok);
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(buffer[1], 6);
    api().CloseHandle(file);
}

}  // namespace
}  // namespace zsim::win
