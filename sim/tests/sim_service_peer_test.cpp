// The simulated processor's service peer at the byte level: keep-alive echo,
// request answers with their scripted status, record, delay and silence.
#include <gtest/gtest.h>

#include <chrono>

#include "runtime/usb_transport.h"
#include "sim/sim_sensor_producers.h"
#include "sim/sim_service_peer.h"
#include "sim/sim_svc_mngr_peer.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace zsim {
namespace {

using namespace std::chrono_literals;

class SimServicePeerTest : public ::testing::Test {
protected:
    SimServicePeerTest() : usb_(SimUsb::installFresh()), vpu_(usb_), peer_(vpu_) {}
    void SetUp() override {
        usb_.plug({0, 1, 2, 3});
        vpu_.start();
        peer_.serve(0);
        peer_.serve(7);
    }
    void TearDown() override {
        vpu_.stop();
        usb_.reset();
    }
    void hostSend(uint8_t index, uint32_t channel, const VpuHeader& header, const Bytes& payload) {
        const Bytes bytes = SimVpu::encode(channel, header, payload);
        uint32_t written = 0;
        ASSERT_EQ(vpu_usb_write_bulk(index, bytes.data(), static_cast<uint32_t>(bytes.size()), &written), 0);
    }
    // One device transfer: every answer is sent as one.
    Bytes hostRead(uint8_t index) {
        Bytes buffer(256);
        uint32_t got = 0;
        EXPECT_EQ(vpu_usb_read_bulk(index, buffer.data(), static_cast<uint32_t>(buffer.size()), &got), 0);
        buffer.resize(got);
        return buffer;
    }

    SimUsb& usb_;
    SimVpu vpu_;
    SimServicePeer peer_;
};

TEST_F(SimServicePeerTest, KeepAliveComesBackUnchangedWhileTheEchoIsOn) {
    const VpuHeader keepAlive = VpuHeader::make(3, 4, 0x0F);
    hostSend(0, 0, keepAlive, {});
    EXPECT_EQ(hostRead(0), SimVpu::encode(0, keepAlive, {}));

    // With the echo off the next thing the host reads is the request's answer.
    peer_.setKeepAliveEcho(false);
    hostSend(0, 0, keepAlive, {});
    hostSend(0, 0, VpuHeader::make(0, 4, 0x02), {9, 0, 0, 0});
    EXPECT_EQ(hostRead(0), SimVpu::encode(0, VpuHeader::make(1, 4, 0x02), {9, 0, 0, 0}));
    EXPECT_EQ(peer_.keepAlivesSeen(), 2u);
}

TEST_F(SimServicePeerTest, RequestGetsAResponseWithItsCodeTheChosenStatusAndRecord) {
    hostSend(2, 7, VpuHeader::make(0, 8, 0x04000001), {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(hostRead(2), SimVpu::encode(7, VpuHeader::make(1, 8, 0x04000001, 0), {1, 2, 3, 4, 5, 6, 7, 8}));

    peer_.setAnswer(0x04000001, {0x01040007, Bytes{0xAA, 0xBB}, 0ms, false});
    hostSend(2, 7, VpuHeader::make(0, 8, 0x04000001), {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(hostRead(2), SimVpu::encode(7, VpuHeader::make(1, 2, 0x04000001, 0x01040007), {0xAA, 0xBB}));

    // Data messages are recorded, never answered.
    hostSend(2, 7, VpuHeader::make(2, 1, 0x04000003), {5});
    ASSERT_TRUE(peer_.waitForDataMessages(1, 2000ms));
    EXPECT_EQ(peer_.dataMessages()[0].payload(), Bytes{5});
    EXPECT_EQ(peer_.requests().size(), 2u);
    ASSERT_TRUE(peer_.waitForAnswers(2, 2000ms));
    EXPECT_EQ(peer_.answersSent(), 2u);
}

TEST_F(SimServicePeerTest, DelayedAnswerLetsLaterOnesPassAndSilentCodesGetNone) {
    // Held back for an hour: however slowly the machine takes the requests,
    // the later one's answer passes it.
    peer_.setAnswer(0x01, {0x11, std::nullopt, std::chrono::hours(1), false});
    peer_.setAnswer(0x02, {0x22, std::nullopt, 0ms, true});
    hostSend(0, 0, VpuHeader::make(0, 4, 0x01), {1, 0, 0, 0});
    hostSend(0, 0, VpuHeader::make(0, 4, 0x02), {2, 0, 0, 0});
    hostSend(0, 0, VpuHeader::make(0, 4, 0x03), {3, 0, 0, 0});
    EXPECT_EQ(hostRead(0), SimVpu::encode(0, VpuHeader::make(1, 4, 0x03), {3, 0, 0, 0}));
    ASSERT_TRUE(peer_.waitForRequests(3, 2000ms));
    ASSERT_TRUE(peer_.waitForAnswers(1, 2000ms));
    EXPECT_EQ(peer_.answersSent(), 1u);
    // A delay that falls due sends the answer then.
    peer_.setAnswer(0x01, {0x11, std::nullopt, 50ms, false});
    hostSend(0, 0, VpuHeader::make(0, 4, 0x01), {1, 0, 0, 0});
    EXPECT_EQ(hostRead(0), SimVpu::encode(0, VpuHeader::make(1, 4, 0x01, 0x11), {1, 0, 0, 0}));
    ASSERT_TRUE(peer_.waitForAnswers(2, 2000ms));
    EXPECT_EQ(peer_.answersSent(), 2u);
}

// The boot log follows the logger start's answer only when forwarded: a line
// a packet, in transfers of one, two and three whole packets.
TEST(SimProcessorBootLog, FollowsTheLoggerStartInTransfersOfWholePacketsWhenForwarded) {
    SimUsb& usb = SimUsb::installFresh();
    usb.plug({0, 1, 2, 3});
    SimVpu vpu(usb);
    SimProcessorServices processor(vpu);
    vpu.start();
    processor.serve();
    const Bytes start = SimVpu::encode(13, VpuHeader::make(0, 0, SimSensorProducers::kLoggerStartCode), {});
    const auto& lines = SimSensorProducers::bootLog();
    for (const bool forwarded : {false, true}) {
        processor.forwardBootLog(forwarded);
        uint32_t moved = 0;
        ASSERT_EQ(vpu_usb_write_bulk(0, start.data(), static_cast<uint32_t>(start.size()), &moved), 0);
        // Counted once the boot log is queued behind the answer: no read below waits.
        ASSERT_TRUE(processor.services.waitForAnswers(forwarded ? 2 : 1, 2000ms));
        ASSERT_EQ(usb.pendingToHost(0), 16 + (forwarded ? lines.size() * SimUsb::kHighSpeedPacketSize : 0));
        Bytes transfer(4096);
        for (uint32_t packets = 0, line = 0; packets <= (forwarded ? 3 : 0); ++packets) {
            ASSERT_EQ(vpu_usb_read_bulk(0, transfer.data(), 4096, &moved), 0);
            ASSERT_EQ(moved, packets == 0 ? 16 : packets * SimUsb::kHighSpeedPacketSize);
            for (size_t at = 0; packets != 0 && at < moved; at += SimUsb::kHighSpeedPacketSize, ++line) {
                // The line header and the text, then zeros to the end of the slot.
                Bytes body = SimSensorProducers::logLineWire(uint32_t(lines[line].size()), 0, line, lines[line]);
                body.resize(496, 0);
                EXPECT_EQ(Bytes(transfer.begin() + at, transfer.begin() + at + SimUsb::kHighSpeedPacketSize),
                          SimVpu::encode(14, VpuHeader::make(2, 496, 0x02000005), body)) << line;
            }
        }
    }
    vpu.stop();
    usb.reset();
}

}  // namespace
}  // namespace zsim
