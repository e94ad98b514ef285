// Bulk IN data in USB packets: what each driver does with a read shorter
// than the packet the device sends, where a transfer ends, and the transport
// back-end, which must deliver a device's bytes whole and in order whatever
// the driver and whatever lengths its callers read.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
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

const SimDriver kDrivers[] = {SimDriver::LibusbK, SimDriver::Libusb0, SimDriver::WinUsb};

class BulkPackets : public UsbFixture {
protected:
    // Reads up to `length` bytes of pipe 0x81; the bytes (`keep`: a failed read's too), `error` set.
    Bytes read(KUSB_HANDLE handle, UINT length, DWORD* error = nullptr, bool keep = false) {
        Bytes buffer(length);
        UINT got = 0;
        SetLastError(0);
        const BOOL ok = api.ReadPipe(handle, 0x81, buffer.data(), length, &got, nullptr);
        if (error != nullptr) *error = ok ? 0 : GetLastError();
        buffer.resize(ok || keep ? std::min(got, length) : 0);
        return buffer;
    }
    // A read in flight, bounded generously for a loaded machine (then the device goes, which ends it).
    template <class T>
    static std::optional<T> bounded(std::future<T>& reading, SimWinDevice& device) {
        if (reading.wait_for(10s) == std::future_status::ready) return reading.get();
        device.unplug();
        ADD_FAILURE() << "a read waited although its end had come";
        return std::nullopt;
    }
    Bytes readBounded(SimWinDevice& device, KUSB_HANDLE handle, UINT length, DWORD* error = nullptr, bool keep = false) {
        auto reading = std::async(std::launch::async, [&] { return read(handle, length, error, keep); });
        return bounded(reading, device).value_or(Bytes{0xBD});
    }
    void closeAll() {
        for (KUSB_HANDLE h : opened) api.Free(h);
        opened.clear();
        SimWinUsbStack::instance().reset();
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
        closeAll();
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

// A read ends when its buffer is full or a short or zero-length packet comes; without zero-length
// packets after whole ones, transfers of whole packets run together in one read.
TEST_F(BulkPackets, ReadCompletesOnlyWhenFullOrAtAShortOrZeroLengthPacket) {
    for (SimDriver driver : kDrivers) {
        SCOPED_TRACE("driver " + std::to_string(static_cast<int>(driver)));
        auto device = addDevice(driver, {kBulkPair}, {0x81, 0x01});
        KUSB_HANDLE handle = open();
        links[0x81]->deviceSend(run(0, 512));
        auto reading = std::async(std::launch::async, [&] { return read(handle, 2048); });
        EXPECT_TRUE(device->waitForPendingTransfers(1, 10s)) << "completed before its end came";
        links[0x81]->deviceSend(run(0, 100));  // run(0, n) repeats itself every 256 bytes
        EXPECT_EQ(bounded(reading, *device).value_or(Bytes{}), run(0, 612));
        for (int i = 0; i < 2; ++i) links[0x81]->deviceSend(run(2, 512));
        EXPECT_EQ(readBounded(*device, handle, 1024), run(2, 1024));
        closeAll();
    }
}

// RAW_IO and the maximum transfer size (libusbK, WinUSB), and the transfer time-out (kept by the
// host for libusb0, by the driver for the others), which ends a read with what it had.
TEST_F(BulkPackets, PipePoliciesOfReadsWorkAsTheDriversDocumentThem) {
    for (SimDriver driver : kDrivers) {
        SCOPED_TRACE("driver " + std::to_string(static_cast<int>(driver)));
        auto device = addDevice(driver, {kBulkPair}, {0x81, 0x01});
        KUSB_HANDLE handle = open();
        DWORD error = 0;
        if (driver != SimDriver::Libusb0) {
            uint32_t maximum = 0;
            UINT length = sizeof(maximum);
            EXPECT_TRUE(api.GetPipePolicy(handle, 0x81, MAXIMUM_TRANSFER_SIZE, &length, &maximum));
            EXPECT_TRUE(maximum >= 512 && maximum % 512 == 0) << maximum;
            uint8_t on = 1;
            ASSERT_TRUE(api.SetPipePolicy(handle, 0x81, RAW_IO, 1, &on));
            links[0x81]->deviceSend(run(2, 512));
            for (UINT refused : {100u, maximum + 512}) {
                EXPECT_EQ(readBounded(*device, handle, refused, &error), Bytes{});
                EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "a raw read of " << refused;
            }
            EXPECT_EQ(readBounded(*device, handle, 512, &error), run(2, 512));
        }
        uint32_t timeout = 100;
        ASSERT_TRUE(api.SetPipePolicy(handle, 0x81, PIPE_TRANSFER_TIMEOUT, sizeof(timeout), &timeout));
        for (const Bytes& sent : {Bytes{}, run(4, 512)}) {
            if (!sent.empty()) links[0x81]->deviceSend(sent);
            EXPECT_EQ(readBounded(*device, handle, 2048, &error, true), sent);
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_SEM_TIMEOUT));
        }
        closeAll();
    }
}

// The driver bound to the sensor with whether its IN pipe allows partial
// reads, and the packet size of the port the sensor is on.
using Binding = std::tuple<std::pair<SimDriver, bool>, uint16_t>;

// The sensor's client interface, opened by the transport back-end as the
// hot-plug monitor would report it.
class BackEndReads : public BulkPackets, public ::testing::WithParamInterface<Binding> {
protected:
    void SetUp() override {
        BulkPackets::SetUp();
        const auto [driver, partialReads] = std::get<0>(GetParam());
        device = zsim::win::makeSensorInterface(4, true, driver, "ZSPACKETS", packet);
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
    const uint32_t packet = std::get<1>(GetParam());
    std::shared_ptr<SimWinDevice> device;
    KLST_DEVINFO record{};
};

TEST_P(BackEndReads, DeviceTransfersArriveWholeAndInOrderThroughReadsOfAnyLength) {
    std::mt19937 random(24);
    Bytes sent;
    std::vector<size_t> ends;  // where each transfer ends in the stream
    for (int i = 0; i < 60; ++i) {
        // Empty ones, whole packets and odd lengths, up to a few packets.
        const size_t length = i % 10 == 3 ? packet * (i % 4) : random() % 2000;
        const Bytes transfer = run(static_cast<uint8_t>(random()), length);
        links[zsim::win::kSensorPipeIn]->deviceSend(transfer);
        sent.insert(sent.end(), transfer.begin(), transfer.end());
        ends.push_back(sent.size());
    }
    auto reading = std::async(std::launch::async, [&] {
        const uint32_t lengths[] = {1, 1, 1, 3, 7, 13, packet - 1, packet + 1, 1, 4096, 8, 1500, packet};
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
    EXPECT_TRUE(bounded(reading, *device) == sent);
}

// A device without zero-length packets that waits for our answer after each transfer: every read
// (1 byte, a word, a packet and one, many packets, the word then the rest) ends once its bytes came.
TEST_P(BackEndReads, EveryReadEndsOnceItsBytesHaveComeWithoutZeroLengthPackets) {
    device->setZeroLengthPackets(false);
    const std::pair<uint32_t, uint32_t> shapes[] = {{1, 1}, {4, 4}, {packet, packet}, {packet + 1, packet + 1},
                                                    {4096, 4096}, {4, 0}};
    const uint32_t lengths[] = {512, 1024, 1536, 2048, 2560, 3072, 3584, 4096,
                                1, 4, 100, packet - 1, packet + 1, 1500, 2047, 4100};
    auto reading = std::async(std::launch::async, [&]() -> std::string {
        for (const auto& [first, next] : shapes) {
            for (uint32_t length : lengths) {
                const Bytes sent = run(static_cast<uint8_t>(length + first), length);
                links[zsim::win::kSensorPipeIn]->deviceSend(sent);
                Bytes got;
                while (got.size() < sent.size()) {
                    const uint32_t rest = static_cast<uint32_t>(sent.size() - got.size());
                    const uint32_t want = got.empty() ? first : next;
                    Bytes buffer(want == 0 ? rest : std::min(want, rest));
                    uint32_t count = 0;
                    if (vpu_usb_libusbk_read_bulk(4, buffer.data(), static_cast<uint32_t>(buffer.size()), &count) != 0) break;
                    got.insert(got.end(), buffer.begin(), buffer.begin() + count);
                }
                if (got != sent) return "reads of " + std::to_string(first) + " over " + std::to_string(length);
            }
        }
        return "";
    });
    EXPECT_EQ(bounded(reading, *device).value_or("stalled"), "");
}

// A driver read that fails after moving bytes (its transfer time-out) loses
// none of them, and its failure is returned once, by the next read.
TEST_P(BackEndReads, FailureAfterDeliveredBytesComesWithTheNextReadAndNoByteIsLost) {
    if (std::get<0>(GetParam()).first == SimDriver::Libusb0) GTEST_SKIP() << "libusb0 keeps its time-outs on the host";
    device->setZeroLengthPackets(false);
    device->setPipePolicy(zsim::win::kSensorPipeIn, PIPE_TRANSFER_TIMEOUT, {100, 0, 0, 0});
    // Each read of 3000 bytes after `sent`: its status and bytes.
    auto readAfter = [&](const Bytes& sent) {
        if (!sent.empty()) links[zsim::win::kSensorPipeIn]->deviceSend(sent);
        Bytes buffer(3000);
        uint32_t count = 0;
        const int status = vpu_usb_libusbk_read_bulk(4, buffer.data(), 3000, &count);
        return std::make_pair(status, Bytes(buffer.begin(), buffer.begin() + count));
    };
    EXPECT_EQ(readAfter({}), std::make_pair(VPU_USB_ERR_TRANSFER, Bytes{})) << "a time-out without bytes";
    EXPECT_EQ(readAfter(run(1, 1024)), std::make_pair(VPU_USB_OK, run(1, 1024))) << "one after bytes";
    EXPECT_EQ(readAfter(run(2, 100)), std::make_pair(VPU_USB_ERR_TRANSFER, Bytes{})) << "comes with the next read";
    EXPECT_EQ(readAfter({}), std::make_pair(VPU_USB_OK, run(2, 100))) << "once";
}

std::string bindingName(const ::testing::TestParamInfo<Binding>& info) {
    static const char* const kNames[] = {"libusbK", "libusb0", "WinUSB"};
    const auto& [binding, packet] = info.param;
    return std::string(kNames[static_cast<int>(binding.first)]) + (binding.second ? "" : "WithoutPartialReads") +
           (packet == zsim::win::kSensorPacketSize ? "" : "With" + std::to_string(packet) + "BytePackets");
}

const std::pair<SimDriver, bool> kBindings[] = {
    {SimDriver::LibusbK, true}, {SimDriver::Libusb0, true}, {SimDriver::WinUsb, true}, {SimDriver::LibusbK, false}};
INSTANTIATE_TEST_SUITE_P(Drivers, BackEndReads,
                         ::testing::Combine(::testing::ValuesIn(kBindings),
                                            ::testing::Values(zsim::win::kSensorPacketSize,
                                                              zsim::win::kSensorSuperSpeedPacketSize)),
                         bindingName);

}  // namespace
}  // namespace usbtest
