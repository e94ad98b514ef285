// Simulated vision processor: packet reassembly from host transfers, the
// per-channel handlers, scripted sends to the host, and a clean stop.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/usb_transport.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace zsim {
namespace {

using namespace std::chrono_literals;

Bytes pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 3);
    return bytes;
}

class SimVpuTest : public ::testing::Test {
protected:
    SimVpuTest() : usb_(SimUsb::installFresh()), vpu_(usb_) {}
    void SetUp() override {
        usb_.plug({0, 1, 2, 3});
        vpu_.start();
    }
    void TearDown() override {
        vpu_.stop();
        usb_.reset();
    }
    // Host side: one bulk write through the transport front end.
    void hostWrite(uint8_t index, const Bytes& bytes) {
        uint32_t written = 0;
        ASSERT_EQ(vpu_usb_write_bulk(index, bytes.data(), static_cast<uint32_t>(bytes.size()), &written), 0);
        ASSERT_EQ(written, bytes.size());
    }
    // Host side: one bulk read; what it got.
    Bytes hostRead(uint8_t index, uint32_t room) {
        Bytes buffer(room);
        uint32_t got = 0;
        EXPECT_EQ(vpu_usb_read_bulk(index, buffer.data(), room, &got), 0);
        buffer.resize(got);
        return buffer;
    }

    SimUsb& usb_;
    SimVpu vpu_;
};

TEST_F(SimVpuTest, EncodedPacketIsWordThenHeaderThenPayload) {
    const Bytes packet = SimVpu::encode(7, VpuHeader::make(0, 8, 0x04000001), pattern(8, 1));
    const Bytes expected{0x14, 0x00, 0x00, 0x1C, 0x20, 0x00, 0x00, 0x00, 0x01, 0x00,
                         0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 1,    4,    7,    10,
                         13,   16,   19,   22};
    EXPECT_EQ(packet, expected);
    const VpuHeader header = VpuHeader::make(3, 0x3FFFFFF, 0, 0, 2);
    EXPECT_EQ(header.type(), 3u);
    EXPECT_EQ(header.payloadLength(), 0x3FFFFFFu);
    EXPECT_EQ(header.flags(), 2u);
}

TEST_F(SimVpuTest, PacketCutAcrossTransfersIsReassembled) {
    const Bytes payload = pattern(131073 - 16, 5);
    const Bytes packet = SimVpu::encode(4, VpuHeader::make(2, static_cast<uint32_t>(payload.size()), 0x0100000A),
                                        payload);
    ASSERT_EQ(packet.size(), 131073u);
    // As a large first buffer goes out: 64 bytes, then the rest.
    hostWrite(0, Bytes(packet.begin(), packet.begin() + 64));
    EXPECT_EQ(vpu_.partialBytes(0), 64u);
    EXPECT_EQ(vpu_.receivedCount(), 0u);
    hostWrite(0, Bytes(packet.begin() + 64, packet.end()));
    ASSERT_TRUE(vpu_.waitForPackets(1, 2s));
    const auto packets = vpu_.received();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].iface, 0u);
    EXPECT_EQ(packets[0].channel, 4u);
    EXPECT_EQ(packets[0].transfers, 2u);
    EXPECT_EQ(packets[0].header().code, 0x0100000Au);
    EXPECT_EQ(packets[0].header().payloadLength(), payload.size());
    EXPECT_EQ(packets[0].payload(), payload);
    EXPECT_EQ(vpu_.partialBytes(0), 0u);
}

TEST_F(SimVpuTest, WordSplitAcrossTransfersAndTwoPacketsInOneTransfer) {
    const Bytes a = SimVpu::encode(1, VpuHeader::make(0, 3, 0xA), pattern(3, 1));
    const Bytes b = SimVpu::encode(2, VpuHeader::make(0, 0, 0xB), {});
    Bytes both(a);
    both.insert(both.end(), b.begin(), b.end());
    hostWrite(2, Bytes(both.begin(), both.begin() + 2));  // half a packet word
    hostWrite(2, Bytes(both.begin() + 2, both.end()));
    ASSERT_TRUE(vpu_.waitForPackets(2, 2s));
    const auto packets = vpu_.received();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].header().code, 0xAu);
    EXPECT_EQ(packets[0].transfers, 2u);
    EXPECT_EQ(packets[1].header().code, 0xBu);
    EXPECT_EQ(packets[1].channel, 2u);
    EXPECT_TRUE(packets[1].payload().empty());
    EXPECT_EQ(vpu_.transfersSeen(2), 2u);
}

TEST_F(SimVpuTest, HandlerAnswersFromTheProcessorsOwnThread) {
    std::mutex mutex;
    std::condition_variable changed;
    std::thread::id handlerThread;
    vpu_.setChannelHandler(3, [&](SimVpu& vpu, const VpuPacket& packet) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            handlerThread = std::this_thread::get_id();
            changed.notify_all();
        }
        const VpuHeader in = packet.header();
        vpu.sendPacket(packet.iface, packet.channel, VpuHeader::make(1, 0, in.code, 0x01090000), {});
    });
    hostWrite(1, SimVpu::encode(3, VpuHeader::make(0, 4, 0x00000002), pattern(4, 1)));
    const Bytes answer = hostRead(1, 64);
    EXPECT_EQ(answer, SimVpu::encode(3, VpuHeader::make(1, 0, 0x00000002, 0x01090000), {}));
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 2s, [&] { return handlerThread != std::thread::id{}; }));
    EXPECT_NE(handlerThread, std::this_thread::get_id());
}

TEST_F(SimVpuTest, EchoSendsThePacketBackUnchanged) {
    vpu_.setChannelHandler(9, SimVpu::echo());
    const Bytes packet = SimVpu::encode(9, VpuHeader::make(2, 10, 0x05000003), pattern(10, 2));
    hostWrite(3, packet);
    EXPECT_EQ(hostRead(3, 1000), packet);
}

TEST_F(SimVpuTest, ChannelWithoutHandlerOnlyRecords) {
    vpu_.setChannelHandler(0, SimVpu::echo());
    vpu_.setChannelHandler(0, nullptr);
    hostWrite(0, SimVpu::encode(0, VpuHeader::make(3, 0, 0xF), {}));
    ASSERT_TRUE(vpu_.waitForPackets(1, 2s));
    EXPECT_EQ(vpu_.receivedCount(), 1u);
    EXPECT_EQ(usb_.pendingToHost(0), 0u);
}

TEST_F(SimVpuTest, SilentProcessorRecordsButDoesNotAnswer) {
    vpu_.setChannelHandler(0, SimVpu::echo());
    vpu_.setSilent(true);
    hostWrite(0, SimVpu::encode(0, VpuHeader::make(3, 0, 0xF), {}));
    ASSERT_TRUE(vpu_.waitForPackets(1, 2s));
    EXPECT_EQ(usb_.pendingToHost(0), 0u);
    vpu_.setSilent(false);
    const Bytes second = SimVpu::encode(0, VpuHeader::make(3, 0, 0xE), {});
    hostWrite(0, second);
    EXPECT_EQ(hostRead(0, 100), second);
    EXPECT_EQ(vpu_.receivedCount(), 2u);
}

TEST_F(SimVpuTest, SplitSendArrivesAsSeparateTransfers) {
    const Bytes payload = pattern(200, 1);
    ASSERT_TRUE(vpu_.sendPacketSplit(2, 8, VpuHeader::make(2, 200, 0x04000003), payload, {2, 100}));
    // A read never spans two device transfers.
    EXPECT_EQ(hostRead(2, 1000).size(), 2u);
    EXPECT_EQ(hostRead(2, 1000).size(), 98u);
    EXPECT_EQ(hostRead(2, 1000).size(), 116u);
}

TEST_F(SimVpuTest, RuntsAndUnknownChannelsGoOutAsAsked) {
    ASSERT_TRUE(vpu_.sendRunt(1, 6, 5));
    EXPECT_EQ(hostRead(1, 100), (Bytes{0x05, 0x00, 0x00, 0x18, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    ASSERT_TRUE(vpu_.sendRunt(1, 6, 40));  // still shorter than a header
    EXPECT_EQ(hostRead(1, 100).size(), 4u + 11u);
    ASSERT_TRUE(vpu_.sendPacket(1, 63, VpuHeader::make(2, 0, 1), {}));
    const Bytes unknown = hostRead(1, 100);
    ASSERT_EQ(unknown.size(), 16u);
    EXPECT_EQ(unknown[3], 0xFC);  // channel 63 in the top six bits
}

TEST_F(SimVpuTest, StopEndsTheThreadAndGivesTheInterfacesBack) {
    vpu_.setChannelHandler(0, SimVpu::echo());
    hostWrite(0, Bytes{0x01, 0x00});  // a partial word that never completes
    vpu_.stop();
    vpu_.stop();  // idempotent
    const Bytes packet = SimVpu::encode(0, VpuHeader::make(3, 0, 0xF), {});
    hostWrite(0, packet);
    // With the processor gone the transfer waits for a device model.
    Bytes transfer;
    ASSERT_TRUE(usb_.deviceReceive(0, &transfer, 1s));
    EXPECT_EQ(transfer, packet);
    EXPECT_EQ(vpu_.receivedCount(), 0u);
    // A new session starts from a clean stream.
    vpu_.resetStreams();
    EXPECT_EQ(vpu_.partialBytes(0), 0u);
    vpu_.start();
    hostWrite(0, packet);
    EXPECT_EQ(hostRead(0, 100), packet);
}

}  // namespace
}  // namespace zsim
