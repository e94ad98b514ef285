// Bulk IN data in USB packets: what each driver does with a read shorter
// than the packet the device sends, where a transfer ends, and the transport
// back-end, which must deliver a device's bytes whole and in order whatever
// the driver and whatever lengths its callers read.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <random>
#include <string>
#include <tuple>

#include "sim/win_usb/win_usb_sensor.h"
#include "usb_access/tests/usb_fixture.h"
#include "usb_access/vpu_usb_libusbk.h"

namespace usbtest {
namespace {

using namespace std::chrono_literals;

const Bytes kBulkPair = configuration(1, {interfaceDescriptor(0, 0, 2), endpointDescriptor(0x81), endpointDescriptor(0x01)});

Bytes run(uint8_t first, size_t length) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

class BulkPackets : public UsbFixture {
protected:
    // Reads up to `length` bytes of pipe 0x81; the bytes, or nothing with `error` set.
    Bytes read(KUSB_HANDLE handle, UINT length, DWORD* error = nullptr) {
        Bytes buffer(length);
        UINT got = 0;
        SetLastError(0);
        const BOOL ok = api.ReadPipe(handle, 0x81, buffer.data(), length, &got, nullptr);
        if (error != nullptr) *error = ok ? 0 : GetLastError();
        buffer.resize(ok ? got : 0);
        return buffer;
    }
};

TEST_F(BulkPackets, ReadShorterThanAPacketFollowsTheDriverAndItsPipePolicy) {
    struct Case {
        const char* name;
        SimDriver driver;
        uint8_t partialReads;  // 2: left as the driver has it
        uint8_t autoFlush;
        bool fails;
        Bytes next;  // what a whole-packet read gets next
    };
    const Bytes rest = run(2, 63);
    const Case cases[] = {
        {"libusb0 overruns and loses the packet", SimDriver::Libusb0, 2, 2, true, {9}},
        {"libusbK keeps the rest", SimDriver::LibusbK, 2, 2, false, rest},
        {"WinUSB keeps the rest", SimDriver::WinUsb, 2, 0, false, rest},
        {"WinUSB with auto flush drops the rest", SimDriver::WinUsb, 2, 1, false, {9}},
        {"libusbK without partial reads overruns", SimDriver::LibusbK, 0, 2, true, {9}},
        {"WinUSB without partial reads overruns", SimDriver::WinUsb, 0, 2, true, {9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        addDevice(c.driver, {kBulkPair}, {0x81, 0x01});
        KUSB_HANDLE handle = open();
        ASSERT_NE(handle, nullptr);
        for (auto [type, value] : {std::pair{ALLOW_PARTIAL_READS, c.partialReads}, std::pair{AUTO_FLUSH, c.autoFlush}}) {
            if (value != 2) {
                EXPECT_TRUE(api.SetPipePolicy(handle, 0x81, type, 1, &value));
            }
        }
        links[0x81]->deviceSend(run(1, 64));
        links[0x81]->deviceSend({9});
        DWORD error = 0;
        const Bytes first = read(handle, 1, &error);
        EXPECT_EQ(error, c.fails ? static_cast<DWORD>(ERROR_GEN_FAILURE) : 0u);
        EXPECT_EQ(first, c.fails ? Bytes{} : Bytes{1});
        EXPECT_EQ(read(handle, 512), c.next);
        api.Free(handle);
        opened.clear();
        SimWinUsbStack::instance().reset();
    }
}

TEST_F(BulkPackets, TransferEndsAtAShortOrAZeroLengthPacket) {
    addDevice(SimDriver::Libusb0, {kBulkPair}, {0x81, 0x01})->setZeroLengthPackets(true);
    KUSB_HANDLE handle = open();
    ASSERT_NE(handle, nullptr);
    for (const Bytes& transfer : {run(0, 1024), run(7, 600), run(3, 1024), Bytes{}, run(5, 5)}) {
        links[0x81]->deviceSend(transfer);
    }
    EXPECT_EQ(read(handle, 4096), run(0, 1024));  // two packets and the zero-length one
    EXPECT_EQ(read(handle, 4096), run(7, 600));   // a packet and a short one
    // A read that whole packets fill leaves the zero-length packet to the next.
    EXPECT_EQ(read(handle, 1024), run(3, 1024));
    EXPECT_EQ(read(handle, 4096), Bytes{});
    EXPECT_EQ(read(handle, 4096), Bytes{});  // an empty transfer
    EXPECT_EQ(read(handle, 4096), run(5, 5));
}

// A read ends when its buffer is full or a short or zero-length packet
// comes; a device need not send a zero-length packet after whole ones.
TEST_F(BulkPackets, ReadCompletesOnlyWhenFullOrAtAShortOrZeroLengthPacket) {
    struct Case {
        const char* name;
        bool zeroLengthPackets;
        std::vector<Bytes> before;  // sent before the read
        UINT length;
        std::vector<Bytes> after;  // sent once the read waits; none: it must not wait
        Bytes expected;
    };
    const Bytes two = run(0, 1024);
    const Case cases[] = {
        {"whole packets without a zero-length one run on into the next transfer", false, {run(0, 512)}, 2048,
         {run(1, 100)}, [] { Bytes b = run(0, 512); Bytes c = run(1, 100); b.insert(b.end(), c.begin(), c.end()); return b; }()},
        {"transfers of whole packets fill the buffer together", false, {run(0, 512), run(0, 512)}, 1024, {}, two},
        {"a zero-length packet ends the read", true, {two}, 2048, {}, two},
        {"a short packet ends the read", false, {run(3, 600)}, 2048, {}, run(3, 600)},
    };
    for (SimDriver driver : {SimDriver::LibusbK, SimDriver::Libusb0, SimDriver::WinUsb}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " / driver " + std::to_string(static_cast<int>(driver)));
            auto device = addDevice(driver, {kBulkPair}, {0x81, 0x01});
            device->setZeroLengthPackets(c.zeroLengthPackets);
            KUSB_HANDLE handle = open();
            ASSERT_NE(handle, nullptr);
            for (const Bytes& transfer : c.before) links[0x81]->deviceSend(transfer);
            auto reading = std::async(std::launch::async, [&] { return read(handle, c.length); });
            if (!c.after.empty()) {
                EXPECT_TRUE(device->waitForPendingTransfers(1, 10s));
                EXPECT_EQ(reading.wait_for(0s), std::future_status::timeout) << "completed before its end came";
                for (const Bytes& transfer : c.after) links[0x81]->deviceSend(transfer);
            }
            const bool done = reading.wait_for(10s) == std::future_status::ready;
            if (!done) device->unplug();
            EXPECT_TRUE(done) << "the read waited although its end had come";
            EXPECT_EQ(reading.get(), c.expected);
            api.Free(handle);
            opened.clear();
            SimWinUsbStack::instance().reset();
        }
    }
}

// Pipe policies the drivers apply to reads: the transfer time-out (kept by
// the host for libusb0, by the driver for the others), RAW_IO and the
// maximum transfer size.
TEST_F(BulkPackets, PipePoliciesOfReadsWorkAsTheDriversDocumentThem) {
    for (SimDriver driver : {SimDriver::LibusbK, SimDriver::Libusb0, SimDriver::WinUsb}) {
        SCOPED_TRACE("driver " + std::to_string(static_cast<int>(driver)));
        auto device = addDevice(driver, {kBulkPair}, {0x81, 0x01});
        KUSB_HANDLE handle = open();
        ASSERT_NE(handle, nullptr);
        if (driver != SimDriver::Libusb0) {  // its pipe policies never reach it
            uint32_t maximum = 0;
            UINT length = sizeof(maximum);
            EXPECT_TRUE(api.GetPipePolicy(handle, 0x81, MAXIMUM_TRANSFER_SIZE, &length, &maximum));
            EXPECT_GE(maximum, 512u);
            EXPECT_EQ(maximum % 512, 0u);
            uint8_t on = 1;
            ASSERT_TRUE(api.SetPipePolicy(handle, 0x81, RAW_IO, 1, &on));
            links[0x81]->deviceSend(run(2, 512));
            DWORD error = 0;
            EXPECT_EQ(read(handle, 100, &error), Bytes{});
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "a raw read of part of a packet";
            EXPECT_EQ(read(handle, maximum + 512, &error), Bytes{});
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "a raw read beyond the maximum";
            EXPECT_EQ(read(handle, 512, &error), run(2, 512));
        }
        uint32_t timeout = 100;
        ASSERT_TRUE(api.SetPipePolicy(handle, 0x81, PIPE_TRANSFER_TIMEOUT, sizeof(timeout), &timeout));
        // The time-out ends a read with what it had: a silent pipe, then a
        // whole packet that does not end the read.
        for (const Bytes& sent : {Bytes{}, run(4, 512)}) {
            if (!sent.empty()) links[0x81]->deviceSend(sent);
            auto reading = std::async(std::launch::async, [&] {
                Bytes buffer(2048);
                UINT got = 0;
                SetLastError(0);
                const BOOL ok = api.ReadPipe(handle, 0x81, buffer.data(), 2048, &got, nullptr);
                buffer.resize(std::min<UINT>(got, 2048));
                return std::make_tuple(ok, GetLastError(), buffer);
            });
            const bool done = reading.wait_for(10s) == std::future_status::ready;
            if (!done) device->unplug();
            ASSERT_TRUE(done) << "the time-out was not applied";
            const auto [ok, error, got] = reading.get();
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_SEM_TIMEOUT));
            EXPECT_EQ(got, sent);
        }
        api.Free(handle);
        opened.clear();
        SimWinUsbStack::instance().reset();
    }
}

// The sensor's client interface, opened by the transport back-end as the
// hot-plug monitor would report it.
class BackEndReads : public BulkPackets, public ::testing::WithParamInterface<std::pair<SimDriver, bool>> {
protected:
    void SetUp() override {
        BulkPackets::SetUp();
        const auto [driver, partialReads] = GetParam();
        device = zsim::win::makeSensorInterface(4, true, driver, "ZSPACKETS");
        for (uint8_t pipe : {zsim::win::kSensorPipeIn, zsim::win::kSensorPipeOut}) {
            links[pipe] = std::make_shared<MemoryLink>();
            device->attach(pipe, links[pipe]);
        }
        // Transfer boundaries are checked below: the device marks them.
        device->setZeroLengthPackets(true);
        if (!partialReads) device->setPipePolicy(zsim::win::kSensorPipeIn, ALLOW_PARTIAL_READS, {0});
        SimWinUsbStack::instance().addDevice(device);
        std::snprintf(record.deviceDescription, sizeof(record.deviceDescription), "%s.client", VPU_USB_INTERFACE_PREFIX);
        std::snprintf(record.serialNumber, sizeof(record.serialNumber), "ZSPACKETS");
        std::snprintf(record.devicePath, sizeof(record.devicePath), "%s", device->path().c_str());
        record.driverId = driverIdOf(driver);
        vpu_usb_set_backend(&vpu_usb_libusbk_ops);
        OnHotPlug(nullptr, &record, KHOT_EVENT_ARRIVAL);
    }
    void TearDown() override {
        OnHotPlug(nullptr, &record, KHOT_EVENT_REMOVAL);
        vpu_usb_set_backend(nullptr);
        BulkPackets::TearDown();
    }
    std::shared_ptr<SimWinDevice> device;
    KLST_DEVINFO record{};
};

TEST_P(BackEndReads, DeviceTransfersArriveWholeAndInOrderThroughReadsOfAnyLength) {
    std::mt19937 random(24);
    Bytes sent;
    std::vector<size_t> ends;  // where each transfer ends in the stream
    for (int i = 0; i < 60; ++i) {
        // Empty ones, whole packets and odd lengths, up to a few packets.
        const size_t length = i % 10 == 3 ? 512 * (i % 4) : random() % 2000;
        const Bytes transfer = run(static_cast<uint8_t>(random()), length);
        links[zsim::win::kSensorPipeIn]->deviceSend(transfer);
        sent.insert(sent.end(), transfer.begin(), transfer.end());
        ends.push_back(sent.size());
    }
    auto reading = std::async(std::launch::async, [&] {
        const uint32_t lengths[] = {1, 1, 1, 3, 7, 13, 511, 513, 1, 4096, 8, 1500, 1024};
        Bytes got;
        for (size_t n = 0; got.size() < sent.size(); ++n) {
            Bytes buffer(lengths[n % std::size(lengths)]);
            uint32_t count = 0;
            if (vpu_usb_libusbk_read_bulk(4, buffer.data(), static_cast<uint32_t>(buffer.size()), &count) != 0) break;
            // A read never takes bytes of two transfers.
            const auto end = std::upper_bound(ends.begin(), ends.end(), got.size());
            EXPECT_TRUE(count == 0 || (end != ends.end() && got.size() + count <= *end)) << "read " << n;
            got.insert(got.end(), buffer.begin(), buffer.begin() + count);
        }
        return got;
    });
    // Generous for a loaded machine; only a read that waits for bytes that
    // never come lasts this long.
    const bool done = reading.wait_for(10s) == std::future_status::ready;
    if (!done) device->unplug();
    EXPECT_TRUE(done) << "a read waited for more than the device sent";
    EXPECT_TRUE(reading.get() == sent);
}

std::string bindingName(const ::testing::TestParamInfo<std::pair<SimDriver, bool>>& info) {
    static const char* const kNames[] = {"libusbK", "libusb0", "WinUSB"};
    return std::string(kNames[static_cast<int>(info.param.first)]) + (info.param.second ? "" : "WithoutPartialReads");
}

INSTANTIATE_TEST_SUITE_P(Drivers, BackEndReads,
                         ::testing::Values(std::pair{SimDriver::LibusbK, true}, std::pair{SimDriver::Libusb0, true},
                                           std::pair{SimDriver::WinUsb, true}, std::pair{SimDriver::LibusbK, false}),
                         bindingName);

}  // namespace
}  // namespace usbtest
