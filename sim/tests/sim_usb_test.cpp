#include "sim/sim_usb.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "runtime/usb_transport.h"

namespace {

using namespace std::chrono_literals;
using zsim::Bytes;
using zsim::Dir;
using zsim::SimUsb;

// Generous bound for waits that succeed at once in a healthy run; it only
// keeps a broken build from hanging.
constexpr auto kBound = 5s;

Bytes pattern(size_t size, uint8_t seed = 0) {
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), seed);
    return bytes;
}

struct ReadResult {
    int status = -1;
    uint32_t count = 0;
    Bytes data;
};

// A host read through the front end, as the host library does it.
ReadResult hostRead(uint8_t index, uint32_t length) {
    ReadResult result;
    result.data.resize(length);
    result.count = 0xFFFF;
    result.status = vpu_usb_read_bulk(index, result.data.data(), length, &result.count);
    result.data.resize(result.status == 0 ? result.count : 0);
    return result;
}

int hostWrite(uint8_t index, const Bytes& data, uint32_t* written = nullptr) {
    return vpu_usb_write_bulk(index, data.data(), static_cast<uint32_t>(data.size()), written);
}

class SimUsbBus : public ::testing::Test {
protected:
    void SetUp() override { bus = &SimUsb::installFresh(); }
    void TearDown() override {
        bus->reset();
        vpu_usb_set_backend(nullptr);
    }

    // Starts a host read on its own thread and returns once it is parked in
    // the pipe, waiting for the device.
    std::future<ReadResult> parkedRead(uint8_t index, uint32_t length) {
        size_t before = bus->blockedReads(index);
        auto future = std::async(std::launch::async, [=] { return hostRead(index, length); });
        EXPECT_TRUE(bus->waitForBlockedReads(index, before + 1, kBound));
        return future;
    }

    SimUsb* bus = nullptr;
};

// ---------------------------------------------------------------------------
// The back-end table

TEST_F(SimUsbBus, TableHoldsTheSixTransportEntriesAndAnUnsupportedOne) {
    const vpu_usb_backend_ops* ops = SimUsb::ops();
    ASSERT_EQ(vpu_usb_get_backend(), ops);
    EXPECT_NE(ops->init, nullptr);
    EXPECT_NE(ops->deinit, nullptr);
    EXPECT_NE(ops->open, nullptr);
    EXPECT_NE(ops->close, nullptr);
    EXPECT_NE(ops->write_bulk, nullptr);
    EXPECT_NE(ops->read_bulk, nullptr);
    EXPECT_EQ(ops->query_attached_devices, nullptr);
    EXPECT_EQ(ops->read_forward, nullptr);
    ASSERT_NE(ops->unsupported, nullptr);
    EXPECT_EQ(ops->unsupported(), 4);
}

TEST_F(SimUsbBus, InitAndDeinitRefuseTheWrongState) {
    EXPECT_EQ(vpu_usb_deinit(), 1) << "not initialised yet";
    vpu_usb_transport_params params{7, 8, "ZS-0042"};
    EXPECT_EQ(vpu_usb_init(&params), 0);
    EXPECT_TRUE(bus->lastInitHadParams());
    EXPECT_EQ(bus->lastInitSerial(), std::optional<std::string>("ZS-0042"));
    EXPECT_EQ(vpu_usb_init(nullptr), 1) << "already initialised";
    EXPECT_EQ(bus->lastInitSerial(), std::optional<std::string>("ZS-0042")) << "a refused init changes nothing";
    EXPECT_EQ(vpu_usb_deinit(), 0);
    EXPECT_EQ(vpu_usb_init(nullptr), 0);
    EXPECT_FALSE(bus->lastInitHadParams());
    EXPECT_FALSE(bus->lastInitSerial().has_value());
    EXPECT_EQ(bus->initCount(), 3);
    EXPECT_EQ(bus->deinitCount(), 2);
    EXPECT_EQ(vpu_usb_open(0), 0);
}

// ---------------------------------------------------------------------------
// Registration and handles

TEST_F(SimUsbBus, TransfersOnUnregisteredInterfacesAnswerNotRegistered) {
    Bytes data = pattern(4);
    EXPECT_EQ(hostWrite(2, data), 4);
    EXPECT_EQ(hostRead(2, 4).status, 4);
    EXPECT_EQ(vpu_usb_close(2), 4);
    EXPECT_EQ(hostWrite(200, data), 4) << "an index past the bus";
    EXPECT_EQ(hostRead(200, 4).status, 4);

    bus->plug({0, 1, 2, 3, 4});
    EXPECT_EQ(hostWrite(2, data), 0);
    bus->unplugInterface(2);
    EXPECT_EQ(hostWrite(2, data), 4);
    EXPECT_EQ(hostWrite(3, data), 0) << "the other interfaces stay";
    EXPECT_FALSE(bus->deviceSend(2, data));
}

TEST_F(SimUsbBus, ClosedInterfaceStaysRegisteredButRefusesTransfers) {
    bus->plug({4});
    ASSERT_TRUE(bus->deviceSend(4, pattern(6)));
    EXPECT_EQ(vpu_usb_close(4), 0);
    EXPECT_TRUE(bus->isRegistered(4));
    EXPECT_FALSE(bus->isOpen(4));
    EXPECT_EQ(bus->closeCount(4), 1);
    EXPECT_EQ(hostWrite(4, pattern(3)), 4);
    ReadResult read = hostRead(4, 6);
    EXPECT_EQ(read.status, 4);
    EXPECT_FALSE(bus->deviceSend(4, pattern(3)));
    EXPECT_EQ(bus->pendingToHost(4), 0u) << "data for a released handle is dropped";
    EXPECT_EQ(vpu_usb_close(4), 0) << "closing again is harmless";
    EXPECT_EQ(bus->closeCount(4), 2);

    bus->plug({4});
    EXPECT_TRUE(bus->isOpen(4)) << "a new arrival brings a new handle";
    EXPECT_EQ(hostWrite(4, pattern(3)), 0);
}

TEST_F(SimUsbBus, ReplugGivesFreshEmptyPipes) {
    bus->plug({1});
    ASSERT_TRUE(bus->deviceSend(1, pattern(5)));
    ASSERT_EQ(hostWrite(1, pattern(2)), 0);
    bus->plug({1});
    EXPECT_EQ(bus->pendingToHost(1), 0u);
    Bytes received;
    EXPECT_FALSE(bus->deviceReceive(1, &received, 0ms)) << "old host writes are gone";
}

TEST_F(SimUsbBus, DeviceSideIndexOutOfRangeIsMisuse) {
    EXPECT_THROW(bus->plug({1, SimUsb::kMaxInterfaces}), std::out_of_range);
    EXPECT_FALSE(bus->isRegistered(1)) << "a bad list registers nothing";
    EXPECT_THROW(bus->failNext(SimUsb::kMaxInterfaces, Dir::In), std::out_of_range);
    EXPECT_FALSE(bus->deviceSend(SimUsb::kMaxInterfaces, pattern(1)));
}

// ---------------------------------------------------------------------------
// Reads: transfer boundaries and blocking

TEST_F(SimUsbBus, ReadLongerThanTheDeviceTransferReturnsWhatTheTransferHolds) {
    bus->plug({0});
    Bytes sent = pattern(4, 0x40);
    ASSERT_TRUE(bus->deviceSend(0, sent));
    ASSERT_TRUE(bus->deviceSend(0, pattern(3, 0x80)));
    ReadResult read = hostRead(0, 10);
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.count, 4u);
    EXPECT_EQ(read.data, sent) << "a read never runs into the next transfer";
    EXPECT_EQ(bus->pendingToHost(0), 3u);
}

TEST_F(SimUsbBus, LargeTransferIsReadInPieces) {
    bus->plug({2});
    Bytes sent = pattern(100, 1);
    ASSERT_TRUE(bus->deviceSend(2, sent));
    Bytes got;
    std::vector<uint32_t> sizes;
    while (got.size() < sent.size()) {
        ReadResult read = hostRead(2, 30);
        ASSERT_EQ(read.status, 0);
        sizes.push_back(read.count);
        got.insert(got.end(), read.data.begin(), read.data.end());
    }
    EXPECT_EQ(sizes, (std::vector<uint32_t>{30, 30, 30, 10}));
    EXPECT_EQ(got, sent);
    EXPECT_EQ(bus->pendingToHost(2), 0u);
}

// A transfer the device keeps and queues again is read whole each time: the
// pipe's progress through one queued copy must not leak into the next, nor
// change the bytes the device holds.
TEST_F(SimUsbBus, SharedTransferQueuedTwiceIsReadWholeEachTime) {
    bus->plug({2});
    const auto kept = std::make_shared<const Bytes>(pattern(50, 7));
    ASSERT_TRUE(bus->deviceSend(2, kept));
    ASSERT_TRUE(bus->deviceSend(2, kept));
    EXPECT_EQ(bus->pendingToHost(2), 100u);
    struct Step {
        uint32_t ask;
        uint32_t got;
        size_t pendingAfter;
    };
    const Step steps[] = {{30, 30, 70}, {30, 20, 50}, {64, 50, 0}};
    Bytes got;
    for (const Step& step : steps) {
        ReadResult read = hostRead(2, step.ask);
        ASSERT_EQ(read.status, 0);
        EXPECT_EQ(read.count, step.got) << "asked " << step.ask;
        EXPECT_EQ(bus->pendingToHost(2), step.pendingAfter) << "asked " << step.ask;
        got.insert(got.end(), read.data.begin(), read.data.end());
    }
    Bytes twice = pattern(50, 7);
    twice.insert(twice.end(), twice.begin(), twice.end());
    EXPECT_EQ(got, twice);
    EXPECT_EQ(*kept, pattern(50, 7));
    EXPECT_FALSE(bus->deviceSend(2, zsim::SharedBytes{})) << "no transfer is not an empty one";
}

TEST_F(SimUsbBus, ReadWithoutCountPointerStillMovesData) {
    bus->plug({1});
    ASSERT_TRUE(bus->deviceSend(1, pattern(5, 9)));
    Bytes buffer(5);
    EXPECT_EQ(vpu_usb_read_bulk(1, buffer.data(), 5, nullptr), 0);
    EXPECT_EQ(buffer, pattern(5, 9));
}

TEST_F(SimUsbBus, EmptyDeviceTransferCompletesAReadWithNothing) {
    bus->plug({1});
    ASSERT_TRUE(bus->deviceSend(1, Bytes{}));
    ReadResult read = hostRead(1, 16);
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.count, 0u);
}

TEST_F(SimUsbBus, BlockedReadIsWokenByDeviceData) {
    bus->plug({3});
    auto reader = parkedRead(3, 64);
    Bytes sent = pattern(12, 3);
    ASSERT_TRUE(bus->deviceSend(3, sent));
    ReadResult read = reader.get();
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.data, sent);
    EXPECT_EQ(bus->blockedReads(3), 0u);
}

TEST_F(SimUsbBus, BlockedReadFailsWhenTheHostClosesTheInterface) {
    bus->plug({4});
    auto reader = parkedRead(4, 64);
    EXPECT_EQ(vpu_usb_close(4), 0);
    ReadResult read = reader.get();
    EXPECT_EQ(read.status, 7);
    EXPECT_EQ(read.count, 0u) << "the count is cleared before the transfer";
}

TEST_F(SimUsbBus, BlockedReadsFailWhenTheDeviceIsRemoved) {
    bus->plug({0, 1, 2, 3, 4});
    auto control = parkedRead(0, 64);
    auto client = parkedRead(4, 64);
    bus->unplug();
    EXPECT_EQ(control.get().status, 7);
    EXPECT_EQ(client.get().status, 7);
    EXPECT_FALSE(bus->isRegistered(0));
    EXPECT_EQ(hostRead(0, 4).status, 4) << "after the removal the interface is unknown";
}

TEST_F(SimUsbBus, BlockedReadFailsWhenItsInterfaceAloneIsRemoved) {
    bus->plug({1, 2});
    auto reader = parkedRead(1, 8);
    bus->unplugInterface(1);
    EXPECT_EQ(reader.get().status, 7);
    EXPECT_TRUE(bus->isOpen(2));
}

TEST_F(SimUsbBus, BlockedReadFailsWhenTheBusIsReset) {
    bus->plug({2});
    auto reader = parkedRead(2, 8);
    bus->reset();
    EXPECT_EQ(reader.get().status, 7);
}

TEST_F(SimUsbBus, BlockedReadFailsWhenTheInterfaceIsReplugged) {
    bus->plug({2});
    auto reader = parkedRead(2, 8);
    bus->plug({2});
    EXPECT_EQ(reader.get().status, 7) << "a read never carries over to the next device";
    EXPECT_TRUE(bus->isOpen(2));
}

// ---------------------------------------------------------------------------
// Writes and the device side

TEST_F(SimUsbBus, HostWritesKeepTheirBoundaries) {
    bus->plug({4});
    bus->recordWrites(4, true);
    std::vector<Bytes> sent = {pattern(3, 1), pattern(5, 10), pattern(1, 20)};
    for (const Bytes& transfer : sent) {
        uint32_t written = 0;
        ASSERT_EQ(hostWrite(4, transfer, &written), 0);
        EXPECT_EQ(written, transfer.size());
    }
    EXPECT_EQ(bus->recordedWrites(4), sent);
    for (const Bytes& expected : sent) {
        Bytes received;
        ASSERT_TRUE(bus->deviceReceive(4, &received, kBound));
        EXPECT_EQ(received, expected);
    }
    bus->recordWrites(4, false);
    ASSERT_EQ(hostWrite(4, pattern(2)), 0);
    EXPECT_EQ(bus->recordedWrites(4).size(), 3u) << "nothing recorded once switched off";
}

TEST_F(SimUsbBus, DeviceReceiveEndsOnRemovalAndOnTimeout) {
    bus->plug({0});
    Bytes received;
    EXPECT_FALSE(bus->deviceReceive(0, &received, 0ms));
    auto waiter = std::async(std::launch::async, [&] { return bus->deviceReceive(0, &received, kBound); });
    bus->unplug();
    EXPECT_FALSE(waiter.get());
    EXPECT_FALSE(bus->deviceReceive(0, &received, kBound)) << "gone at once, no wait";
}

TEST_F(SimUsbBus, WriteHandlerRunsOnTheWritersThreadAndMayAnswer) {
    bus->plug({4});
    std::thread::id handlerThread;
    bus->setWriteHandler(4, [&](uint8_t index, const Bytes& transfer) {
        handlerThread = std::this_thread::get_id();
        // Answering from inside the handler would deadlock if the bus held
        // its lock around the call.
        Bytes answer(transfer.rbegin(), transfer.rend());
        EXPECT_TRUE(SimUsb::instance().deviceSend(index, answer));
    });
    std::thread::id writerThread;
    ReadResult answer;
    std::thread host([&] {
        writerThread = std::this_thread::get_id();
        ASSERT_EQ(hostWrite(4, Bytes{1, 2, 3}), 0);
        answer = hostRead(4, 8);
    });
    host.join();
    EXPECT_EQ(handlerThread, writerThread);
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.data, (Bytes{3, 2, 1}));
    Bytes queued;
    EXPECT_FALSE(bus->deviceReceive(4, &queued, 0ms)) << "a handled write is not queued as well";
}

TEST_F(SimUsbBus, HandlerMayReplaceItself) {
    bus->plug({0});
    int first = 0, second = 0;
    bus->setWriteHandler(0, [&](uint8_t index, const Bytes&) {
        ++first;
        SimUsb::instance().setWriteHandler(index, [&](uint8_t, const Bytes&) { ++second; });
    });
    ASSERT_EQ(hostWrite(0, pattern(1)), 0);
    ASSERT_EQ(hostWrite(0, pattern(1)), 0);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
}

// ---------------------------------------------------------------------------
// Faults

TEST_F(SimUsbBus, FailedWriteDeliversNothingAndOnlyOnce) {
    bus->plug({4});
    bus->recordWrites(4, true);
    bus->failNext(4, Dir::Out);
    uint32_t written = 1234;
    EXPECT_EQ(hostWrite(4, pattern(8), &written), 7);
    EXPECT_EQ(written, 1234u);
    EXPECT_TRUE(bus->recordedWrites(4).empty());
    Bytes received;
    EXPECT_FALSE(bus->deviceReceive(4, &received, 0ms));
    EXPECT_EQ(hostWrite(4, pattern(8), &written), 0);
    EXPECT_EQ(written, 8u);
}

TEST_F(SimUsbBus, FailedReadLeavesTheDataForTheNextRead) {
    bus->plug({1});
    ASSERT_TRUE(bus->deviceSend(1, pattern(6)));
    bus->failNext(1, Dir::In);
    EXPECT_EQ(hostRead(1, 6).status, 7);
    EXPECT_EQ(bus->pendingToHost(1), 6u);
    ReadResult read = hostRead(1, 6);
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.data, pattern(6));
}

TEST_F(SimUsbBus, FaultAimedAtAParkedReadHitsThatRead) {
    bus->plug({1});
    auto reader = parkedRead(1, 6);
    bus->failNext(1, Dir::In);
    EXPECT_EQ(reader.get().status, 7);
    ASSERT_TRUE(bus->deviceSend(1, pattern(2)));
    EXPECT_EQ(hostRead(1, 6).status, 0) << "the fault was used up";
}

TEST_F(SimUsbBus, ShortWriteFailsButTheDeviceSeesTheTruncatedTransfer) {
    bus->plug({4});
    bus->shortenNext(4, Dir::Out, 3);
    uint32_t written = 555;
    EXPECT_EQ(hostWrite(4, pattern(10), &written), 7);
    EXPECT_EQ(written, 555u) << "a failed write leaves the count alone";
    Bytes received;
    ASSERT_TRUE(bus->deviceReceive(4, &received, kBound));
    EXPECT_EQ(received, pattern(3));
    EXPECT_EQ(hostWrite(4, pattern(10), &written), 0);
    EXPECT_EQ(written, 10u);
}

TEST_F(SimUsbBus, ShortReadSucceedsAndKeepsTheRest) {
    bus->plug({2});
    ASSERT_TRUE(bus->deviceSend(2, pattern(10)));
    bus->shortenNext(2, Dir::In, 4);
    ReadResult first = hostRead(2, 10);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.data, pattern(4));
    ReadResult rest = hostRead(2, 10);
    EXPECT_EQ(rest.status, 0);
    EXPECT_EQ(rest.data, pattern(6, 4));
}

TEST_F(SimUsbBus, UnplugOnNextWriteEndsAConversationMidway) {
    bus->plug({0, 1, 2, 3, 4});
    bus->setWriteHandler(4, [](uint8_t index, const Bytes& request) {
        SimUsb::instance().deviceSend(index, request);  // echo
    });
    ASSERT_EQ(hostWrite(4, pattern(4)), 0);
    ASSERT_EQ(hostRead(4, 16).data, pattern(4));

    auto control = parkedRead(0, 16);
    bus->unplugOnNext(4, Dir::Out);
    EXPECT_EQ(hostWrite(4, pattern(4)), 7) << "the device left under the transfer";
    EXPECT_EQ(control.get().status, 7) << "every interface went with it";
    for (uint8_t index = 0; index < 5; ++index) EXPECT_FALSE(bus->isRegistered(index));
    EXPECT_EQ(hostWrite(4, pattern(4)), 4);
    EXPECT_EQ(hostRead(4, 16).status, 4);
}

TEST_F(SimUsbBus, UnplugOnNextReadWakesAParkedReadWithFailure) {
    bus->plug({0, 4});
    ASSERT_TRUE(bus->deviceSend(4, pattern(2)));
    ASSERT_EQ(hostRead(4, 16).status, 0);
    auto reader = parkedRead(4, 16);
    bus->unplugOnNext(4, Dir::In);
    EXPECT_EQ(reader.get().status, 7);
    EXPECT_FALSE(bus->isRegistered(0));
    EXPECT_EQ(hostRead(4, 16).status, 4);
}

TEST_F(SimUsbBus, ResetClearsFaultsHandlersAndCounters) {
    bus->plug({4});
    bus->failNext(4, Dir::Out);
    bus->recordWrites(4, true);
    int handled = 0;
    bus->setWriteHandler(4, [&](uint8_t, const Bytes&) { ++handled; });
    ASSERT_EQ(vpu_usb_init(nullptr), 0);
    bus->reset();
    EXPECT_EQ(bus->initCount(), 0);
    EXPECT_FALSE(bus->isRegistered(4));
    bus->plug({4});
    EXPECT_EQ(hostWrite(4, pattern(2)), 0) << "the fault did not survive";
    EXPECT_EQ(handled, 0);
    EXPECT_TRUE(bus->recordedWrites(4).empty());
    EXPECT_EQ(vpu_usb_init(nullptr), 0) << "not initialised after a reset";
}

// ---------------------------------------------------------------------------
// Many threads at once

TEST_F(SimUsbBus, ConcurrentConversationsOnEveryInterfaceKeepOrderAndContent) {
    constexpr uint8_t kInterfaces = 5;
    constexpr int kMessages = 200;
    bus->plug({0, 1, 2, 3, 4});
    for (uint8_t index = 0; index < kInterfaces; ++index) {
        bus->setWriteHandler(index, [](uint8_t i, const Bytes& request) {
            SimUsb::instance().deviceSend(i, request);
        });
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (uint8_t index = 0; index < kInterfaces; ++index) {
        threads.emplace_back([&, index] {
            for (int n = 0; n < kMessages; ++n) {
                Bytes message = pattern(1 + (n % 40), static_cast<uint8_t>(n + index));
                if (hostWrite(index, message) != 0) ++failures;
            }
        });
        threads.emplace_back([&, index] {
            for (int n = 0; n < kMessages; ++n) {
                Bytes expected = pattern(1 + (n % 40), static_cast<uint8_t>(n + index));
                ReadResult read = hostRead(index, 64);
                if (read.status != 0 || read.data != expected) ++failures;
            }
        });
    }
    // Traffic on the side that must not disturb the conversations.
    threads.emplace_back([&] {
        for (int n = 0; n < kMessages; ++n) {
            (void)bus->pendingToHost(static_cast<uint8_t>(n % kInterfaces));
            (void)bus->isOpen(static_cast<uint8_t>(n % kInterfaces));
            if (hostWrite(6, pattern(2)) != 4) ++failures;
        }
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    for (uint8_t index = 0; index < kInterfaces; ++index) EXPECT_EQ(bus->pendingToHost(index), 0u);
}

TEST_F(SimUsbBus, RemovalDuringHeavyTrafficLeavesNoThreadBehind) {
    bus->plug({0, 1, 2, 3});
    std::vector<std::future<int>> readers;
    for (uint8_t index = 0; index < 4; ++index) {
        for (int copy = 0; copy < 3; ++copy) {
            readers.push_back(std::async(std::launch::async, [=] {
                int last = 0;
                // Read until the device goes; every read either moves data or fails.
                while ((last = hostRead(index, 8).status) == 0) {
                }
                return last;
            }));
        }
    }
    for (uint8_t index = 0; index < 4; ++index) ASSERT_TRUE(bus->waitForBlockedReads(index, 1, kBound));
    std::thread feeder([&] {
        for (int n = 0; n < 100; ++n) bus->deviceSend(static_cast<uint8_t>(n % 4), pattern(4));
        bus->unplug();
    });
    feeder.join();
    for (auto& reader : readers) {
        int status = reader.get();
        EXPECT_TRUE(status == 7 || status == 4) << status;
    }
}

}  // namespace
