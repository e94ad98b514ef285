// Service channels against the simulated vision processor: the service
// header on the wire, channel bookkeeping, and what happens to packets that
// nobody takes or that are too short to carry a header.
#include "host_lib/tests/packet_link_fixture.h"

namespace linktest {
namespace {

using SvcComTest = PacketLinkTest;

TEST(SvcComHeader, Word0PacksTypeLengthAndFlags) {
    EXPECT_EQ(SVC_COMG_word0(SVC_COMG_MSG_REQUEST, 8), 0x20u);
    EXPECT_EQ(SVC_COMG_word0(SVC_COMG_MSG_LINK, 0x3FFFFFF, 3), 0x3FFFFFFFu);
    EXPECT_EQ(SVC_COMG_word0Type(0xC0000022u), 2u);
    EXPECT_EQ(SVC_COMG_word0Length(0xC0000022u), 8u);
    EXPECT_EQ(SVC_COMG_word0Flags(0x10000000u), 1u);
}

TEST_F(SvcComTest, RequestGoesOutWithPacketWordAndServiceHeader) {
    EXPECT_EQ(SVC_COMG_getHeaderRoom(), 16u);
    CONN_LYRG_handleT conn = openConnection(2);
    ASSERT_NE(conn, nullptr);
    SVC_COMG_handleT channel = openChannel(7, conn, nullptr);
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(SVC_COMG_getChannelNum(channel), 7u);
    usb_.recordWrites(2, true);

    const Bytes params{1, 2, 3, 4, 5, 6, 7, 8};
    const SVC_COMG_hdrT header{SVC_COMG_word0(SVC_COMG_MSG_REQUEST, 8), 0x04000001, 0};
    ASSERT_EQ(SVC_COMG_channelSend(channel, &header, makeBuffer(pool_, params)), SVC_COM__RET_SUCCESS);
    ASSERT_TRUE(vpu_.waitForPackets(1, 2s));
    const auto writes = usb_.recordedWrites(2);
    ASSERT_EQ(writes.size(), 1u);
    const Bytes expected{0x14, 0x00, 0x00, 0x1C,  // channel 7, 20 bytes follow
                         0x20, 0x00, 0x00, 0x00,  // request, 8 bytes of parameters
                         0x01, 0x00, 0x00, 0x04,  // code 0x04000001
                         0x00, 0x00, 0x00, 0x00,  // status
                         1,    2,    3,    4,    5, 6, 7, 8};
    EXPECT_EQ(writes[0], expected);
}

TEST_F(SvcComTest, ReceivedHeaderWordsReachTheOwnerAndThePayloadFollows) {
    Collector& collector = collector_[0];
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    openChannel(13, conn, &collector);
    // Every bit of word 0 reaches the owner, the two top bits included.
    const zsim::VpuHeader header{0xD0000001u | (5u << 2), 0x01000006, 0x01090006};
    ASSERT_TRUE(vpu_.sendPacket(0, 13, header, pattern(5, 9)));
    ASSERT_TRUE(collector.waitFor(1));
    const auto got = collector.snapshot()[0];
    EXPECT_EQ(got.header.word0, 0xD0000015u);
    EXPECT_EQ(got.header.code, 0x01000006u);
    EXPECT_EQ(got.header.status, 0x01090006u);
    EXPECT_EQ(got.payload, pattern(5, 9));
}

TEST_F(SvcComTest, NullHeaderSendsTheBytesTheCallerLeftInFront) {
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    SVC_COMG_handleT channel = openChannel(11, conn, nullptr);
    MEM_POOLG_bufDescT* buffer = makeBuffer(pool_, pattern(4, 1));
    const uint8_t own[12] = {0x0A, 0, 0, 0, 0x01, 0, 0, 0x07, 0x22, 0, 0, 0};
    std::memcpy(static_cast<uint8_t*>(buffer->data) - 12, own, sizeof own);
    ASSERT_EQ(SVC_COMG_channelSend(channel, nullptr, buffer), SVC_COM__RET_SUCCESS);
    ASSERT_TRUE(vpu_.waitForPackets(1, 2s));
    const auto packet = vpu_.received()[0];
    EXPECT_EQ(packet.header().word0, 0x0Au);
    EXPECT_EQ(packet.header().code, 0x07000001u);
    EXPECT_EQ(packet.header().status, 0x22u);
    EXPECT_EQ(packet.payload(), pattern(4, 1));
}

TEST_F(SvcComTest, ChannelNineteenIsRefusedAndChangesNothing) {
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    SVC_COMG_handleT handle = reinterpret_cast<SVC_COMG_handleT>(&conn);
    EXPECT_EQ(SVC_COMG_channelOpen(&handle, 19, conn, pool_, nullptr, nullptr), SVC_COM__ERR_INVALID_CHANEL_NUM);
    EXPECT_EQ(handle, nullptr);
    for (uint32_t id = 0; id < 64; ++id) EXPECT_EQ(SVC_COMG_getChannelPool(id), nullptr) << id;
}

TEST_F(SvcComTest, PacketOnAChannelWithoutCallbackIsFreed) {
    Collector& collector = collector_[0];
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    openChannel(15, conn, nullptr);
    openChannel(17, conn, &collector);
    ASSERT_TRUE(vpu_.sendPacket(0, 15, zsim::VpuHeader::make(2, 40, 1), pattern(40, 1)));
    ASSERT_TRUE(vpu_.sendPacket(0, 17, zsim::VpuHeader::make(2, 1, 2), pattern(1, 1)));
    // Packets of one connection are handled in order: the first is done.
    ASSERT_TRUE(collector.waitFor(1));
    EXPECT_EQ(conn->stats.rxPackets.load(), 2u);
    EXPECT_EQ(freeBuffers(), kPoolCount);
}

TEST_F(SvcComTest, PacketsShorterThanTheHeaderAreDroppedAndCounted) {
    Collector& collector = collector_[0];
    CONN_LYRG_handleT conn = openConnection(3);
    ASSERT_NE(conn, nullptr);
    SVC_COMG_handleT channel = openChannel(10, conn, &collector);
    ASSERT_TRUE(vpu_.sendRunt(3, 10, 0));
    ASSERT_TRUE(vpu_.sendRunt(3, 10, 11));
    ASSERT_TRUE(vpu_.sendPacket(3, 10, zsim::VpuHeader::make(2, 0, 0x55), {}));  // exactly a header
    ASSERT_TRUE(collector.waitFor(1));
    const auto got = collector.snapshot();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].header.code, 0x55u);
    EXPECT_TRUE(got[0].payload.empty());
    EXPECT_EQ(SVC_COMG_getRuntCount(channel), 2u);
    EXPECT_EQ(freeBuffers(), kPoolCount);
    EXPECT_EQ(log_.count("SVC COM: dropped 11-byte packet on channel 10 (runts=2)"), 1u);
}

TEST_F(SvcComTest, RefusedSendLeavesTheBufferAsTheCallerGaveIt) {
    CONN_LYRG_handleT conn = openConnection(1);
    ASSERT_NE(conn, nullptr);
    SVC_COMG_handleT channel = openChannel(5, conn, nullptr);
    CONN_LYRG_close(conn);
    conns_[1] = nullptr;

    MEM_POOLG_bufDescT* buffer = makeBuffer(pool_, pattern(20, 1));
    void* data = buffer->data;
    const SVC_COMG_hdrT header{SVC_COMG_word0(SVC_COMG_MSG_DATA, 20), 0x03000001, 0};
    EXPECT_EQ(SVC_COMG_channelSend(channel, &header, buffer), SVC_COM__ERR_SEND);
    EXPECT_EQ(buffer->data, data);
    EXPECT_EQ(buffer->len, 20u);
    EXPECT_EQ(buffer->refCount, 1u);
    EXPECT_EQ(log_.count("SVC COM: failed to send packet."), 1u);
    MEM_POOLG_freeBuff(buffer);
    EXPECT_EQ(freeBuffers(), kPoolCount);

    // Without room for both headers in front of the data nothing is sent.
    buffer = makeBuffer(pool_, pattern(4, 1));
    buffer->data = static_cast<uint8_t*>(buffer->base) + 15;
    EXPECT_EQ(SVC_COMG_channelSend(channel, &header, buffer), SVC_COM__ERR_INVALID_ARGS);
    EXPECT_EQ(buffer->data, static_cast<uint8_t*>(buffer->base) + 15);
    MEM_POOLG_freeBuff(buffer);
}

TEST_F(SvcComTest, LastCallbackSetWins) {
    Collector& first = collector_[0];
    Collector& second = collector_[1];
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    SVC_COMG_handleT channel = openChannel(1, conn, &first);
    SVC_COMG_setRxCallback(channel, &Collector::onPacket, &second);
    ASSERT_TRUE(vpu_.sendPacket(0, 1, zsim::VpuHeader::make(1, 2, 0x01000005), pattern(2, 1)));
    ASSERT_TRUE(second.waitFor(1));
    EXPECT_TRUE(first.snapshot().empty());
}

TEST_F(SvcComTest, ClosedChannelDrainsItsPacketsAndReopensWithTheSameMutex) {
    Collector& collector = collector_[0];
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    SVC_COMG_handleT channel = openChannel(16, conn, &collector);
    const OS_LYRG_mutexT mutex = channel->mutex;
    ASSERT_EQ(SVC_COMG_channelClose(channel), SVC_COM__RET_SUCCESS);
    channels_[16] = nullptr;
    EXPECT_EQ(SVC_COMG_getChannelPool(16), nullptr);

    ASSERT_TRUE(vpu_.sendPacket(0, 16, zsim::VpuHeader::make(2, 8, 1), pattern(8, 1)));
    ASSERT_TRUE(log_.waitFor("Draining done. left=0", 1, 2s));
    EXPECT_EQ(conn->stats.rxNoMem.load(), 1u);

    SVC_COMG_handleT again = openChannel(16, conn, &collector);
    EXPECT_EQ(again, channel);
    EXPECT_EQ(again->mutex, mutex);
    ASSERT_TRUE(vpu_.sendPacket(0, 16, zsim::VpuHeader::make(2, 8, 2), pattern(8, 2)));
    ASSERT_TRUE(collector.waitFor(1));
    EXPECT_EQ(collector.snapshot()[0].header.code, 2u);
}

}  // namespace
}  // namespace linktest
