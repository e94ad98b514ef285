// Connection layer against the simulated vision processor: packet words on
// the wire, round trips, the transmit ring, draining, and a clean stop.
#include <algorithm>
#include <deque>
#include <future>

#include "host_lib/tests/packet_link_fixture.h"

namespace linktest {
namespace {

using ConnLyrTest = PacketLinkTest;

TEST(ConnLyrPacketWord, ChannelInTopSixBitsLengthInLowTwentySix) {
    EXPECT_EQ(CONN_LYRG_packetWord(18, 100), (18u << 26) | 100u);
    EXPECT_EQ(CONN_LYRG_wordChannel(0xFC000005u), 63u);
    EXPECT_EQ(CONN_LYRG_wordLength(0xFC000005u), 5u);
    EXPECT_EQ(CONN_LYRG_wordLength(CONN_LYRG_packetWord(3, 0x3FFFFFF)), 0x3FFFFFFu);
    EXPECT_EQ(CONN_LYRG_wordChannel(CONN_LYRG_packetWord(3, 0x3FFFFFF)), 3u);
}

TEST_F(ConnLyrTest, SentPacketCarriesItsWordAndGoesOutAsOneTransfer) {
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(CONN_LYRG_getHeaderSize(), 4u);
    usb_.recordWrites(0, true);
    const Bytes payload = pattern(100, 1);
    MEM_POOLG_bufDescT* buffer = makeBuffer(pool_, payload);
    ASSERT_EQ(CONN_LYRG_send(conn, 18, buffer), CONN_LYR__RET_SUCCESS);
    ASSERT_TRUE(vpu_.waitForPackets(1, 2s));

    const auto writes = usb_.recordedWrites(0);
    ASSERT_EQ(writes.size(), 1u);
    ASSERT_EQ(writes[0].size(), 104u);
    // 18 << 26 | 100 = 0x48000064, little-endian.
    EXPECT_EQ(Bytes(writes[0].begin(), writes[0].begin() + 4), (Bytes{0x64, 0x00, 0x00, 0x48}));
    EXPECT_EQ(Bytes(writes[0].begin() + 4, writes[0].end()), payload);
    const auto packets = vpu_.received();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].channel, 18u);
    EXPECT_EQ(packets[0].body, payload);
}

TEST_F(ConnLyrTest, RoundTripOnEachOfTheFourConnections) {
    Collector (&collectors)[4] = collector_;
    const uint32_t channelOf[4] = {0, 5, 7, 9};  // the channels the service manager puts on each
    for (uint8_t i = 0; i < 4; ++i) {
        CONN_LYRG_handleT conn = openConnection(i);
        ASSERT_NE(conn, nullptr);
        openChannel(channelOf[i], conn, &collectors[i]);
        vpu_.setChannelHandler(channelOf[i], zsim::SimVpu::echo());
    }
    for (uint8_t i = 0; i < 4; ++i) {
        const Bytes payload = pattern(200 + i, static_cast<uint8_t>(i * 31));
        MEM_POOLG_bufDescT* buffer = makeBuffer(pool_, payload);
        SVC_COMG_hdrT header{SVC_COMG_word0(SVC_COMG_MSG_DATA, payload.size()), 0x03000003u + i, 0};
        ASSERT_EQ(SVC_COMG_channelSend(channels_[channelOf[i]], &header, buffer), SVC_COM__RET_SUCCESS);
    }
    for (uint8_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(collectors[i].waitFor(1)) << "connection " << int(i);
        const auto got = collectors[i].snapshot();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].header.code, 0x03000003u + i);
        EXPECT_EQ(SVC_COMG_word0Length(got[0].header.word0), 200u + i);
        EXPECT_EQ(got[0].payload, pattern(200 + i, static_cast<uint8_t>(i * 31)));
        // It went out on its own interface.
        EXPECT_EQ(vpu_.transfersSeen(i), 1u);
    }
}

TEST_F(ConnLyrTest, TransmitDoneHandlerReceivesTheBufferAtItsHeader) {
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    struct Done {
        std::mutex mutex;
        std::condition_variable changed;
        MEM_POOLG_bufDescT* buffer = nullptr;
        Bytes bytes;
    } done;
    auto onDone = [](void* user, MEM_POOLG_bufDescT* buffer) {
        auto* self = static_cast<Done*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->buffer = buffer;
        self->bytes.assign(static_cast<uint8_t*>(buffer->data), static_cast<uint8_t*>(buffer->data) + buffer->len);
        self->changed.notify_all();
    };
    ASSERT_EQ(CONN_LYRG_registerChannel(conn, 2, nullptr, onDone, &done), CONN_LYR__RET_SUCCESS);
    const Bytes payload = pattern(40, 9);
    ASSERT_EQ(CONN_LYRG_send(conn, 2, makeBuffer(pool_, payload)), CONN_LYR__RET_SUCCESS);
    std::unique_lock<std::mutex> lock(done.mutex);
    ASSERT_TRUE(done.changed.wait_for(lock, 2s, [&] { return done.buffer != nullptr; }));
    EXPECT_EQ(done.bytes, payload);  // the packet word is behind the data pointer again
    MEM_POOLG_freeBuff(done.buffer);
}

TEST_F(ConnLyrTest, RefusesBadChannelsOversizeAndMissingHeaderRoom) {
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    MEM_POOLG_bufDescT* buffer = makeBuffer(pool_, pattern(10, 0));
    void* data = buffer->data;
    EXPECT_EQ(CONN_LYRG_send(conn, 19, buffer), CONN_LYR__ERR_INVALID_ARGS);
    buffer->data = buffer->base;  // no room for the packet word
    EXPECT_EQ(CONN_LYRG_send(conn, 1, buffer), CONN_LYR__ERR_INVALID_ARGS);
    buffer->data = data;
    EXPECT_EQ(buffer->len, 10u);
    EXPECT_EQ(CONN_LYRG_registerChannel(conn, 19, nullptr, nullptr, nullptr), CONN_LYR__ERR_INVALID_ARGS);
    MEM_POOLG_freeBuff(buffer);
    EXPECT_EQ(vpu_.receivedCount(), 0u);
}

TEST_F(ConnLyrTest, FullRingRefusesThePacketAndCountsAnOverflow) {
    MEM_POOLG_cfgT cfg{64, 1100, nullptr, 0, 0};
    MEM_POOLG_newPool(&extraPool_, MEM_POOLG_BUF_TYPE_HEAP_E, &cfg);
    ASSERT_NE(extraPool_, nullptr);
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);

    // Hold the transmit thread inside its first write so the ring cannot drain.
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool open = false;
    size_t arrived = 0;
    usb_.setWriteHandler(0, [&](uint8_t, const Bytes&) {
        std::unique_lock<std::mutex> lock(gateMutex);
        ++arrived;
        gateChanged.notify_all();
        gateChanged.wait(lock, [&] { return open; });
    });

    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(CONN_LYRG_send(conn, 3, makeBuffer(extraPool_, pattern(8, 1))), CONN_LYR__RET_SUCCESS) << i;
    MEM_POOLG_bufDescT* refused = makeBuffer(extraPool_, pattern(8, 2));
    void* dataBefore = refused->data;
    EXPECT_EQ(CONN_LYRG_send(conn, 3, refused), CONN_LYR__ERR_TX_RING_FULL);
    EXPECT_EQ(conn->stats.txOverflows.load(), 1u);
    // The refused buffer is still the caller's, untouched.
    EXPECT_EQ(refused->data, dataBefore);
    EXPECT_EQ(refused->len, 8u);
    EXPECT_EQ(refused->refCount, 1u);
    MEM_POOLG_freeBuff(refused);

    {
        std::unique_lock<std::mutex> lock(gateMutex);
        open = true;
    }
    gateChanged.notify_all();
    {
        std::unique_lock<std::mutex> lock(gateMutex);
        ASSERT_TRUE(gateChanged.wait_for(lock, 5s, [&] { return arrived == 1024; }));
    }
    usb_.setWriteHandler(0, nullptr);
    CONN_LYRG_close(conn);
    conns_[0] = nullptr;
    EXPECT_EQ(conn->stats.txPackets.load(), 1024u);
    EXPECT_EQ(MEM_POOLG_getNumFree(extraPool_), MEM_POOLG_getNumBuffs(extraPool_));
}

TEST_F(ConnLyrTest, PacketForAChannelNobodyOpenedIsDrainedAndTheNextOneArrives) {
    Collector& collector = collector_[0];
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    openChannel(3, conn, &collector);
    // Channel 4 has no pool: its 6,000 bytes must be read away, split or not.
    ASSERT_TRUE(vpu_.sendPacketSplit(0, 4, zsim::VpuHeader::make(2, 5988, 0x11), pattern(5988, 3), {2, 100, 3000}));
    ASSERT_TRUE(vpu_.sendPacket(0, 3, zsim::VpuHeader::make(2, 16, 0x22), pattern(16, 4)));
    ASSERT_TRUE(collector.waitFor(1));
    const auto got = collector.snapshot();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].header.code, 0x22u);
    EXPECT_EQ(got[0].payload, pattern(16, 4));
    EXPECT_EQ(conn->stats.rxNoMem.load(), 1u);
    EXPECT_EQ(conn->stats.rxPackets.load(), 1u);
    EXPECT_EQ(log_.count("Draining done. left=0"), 1u);
}

TEST_F(ConnLyrTest, PacketForAChannelBeyondTheTableIsDrainedAndCounted) {
    Collector& collector = collector_[0];
    CONN_LYRG_handleT conn = openConnection(1);
    ASSERT_NE(conn, nullptr);
    openChannel(5, conn, &collector);
    // Channel ids 19 to 63 fit in the word but name no channel.
    ASSERT_TRUE(vpu_.sendPacket(1, 19, zsim::VpuHeader::make(2, 4, 0x1), pattern(4, 1)));
    ASSERT_TRUE(vpu_.sendPacket(1, 63, zsim::VpuHeader::make(2, 300, 0x2), pattern(300, 1)));
    ASSERT_TRUE(vpu_.sendPacket(1, 5, zsim::VpuHeader::make(2, 8, 0x33), pattern(8, 6)));
    ASSERT_TRUE(collector.waitFor(1));
    EXPECT_EQ(collector.snapshot()[0].header.code, 0x33u);
    EXPECT_EQ(conn->stats.rxBadChannel.load(), 2u);
    EXPECT_EQ(conn->stats.rxPackets.load(), 1u);
    EXPECT_TRUE(CONN_LYRG_isRunning(conn));
}

TEST_F(ConnLyrTest, PacketLargerThanThePoolBufferIsDrainedAndTheLinkStaysUp) {
    Collector& collector = collector_[0];
    CONN_LYRG_handleT conn = openConnection(2);
    ASSERT_NE(conn, nullptr);
    openChannel(7, conn, &collector);
    ASSERT_TRUE(vpu_.sendPacket(2, 7, zsim::VpuHeader::make(2, kPoolBufSize, 0x1), pattern(kPoolBufSize, 1)));
    ASSERT_TRUE(vpu_.sendPacket(2, 7, zsim::VpuHeader::make(2, 20, 0x2), pattern(20, 2)));
    ASSERT_TRUE(collector.waitFor(1));
    EXPECT_EQ(collector.snapshot()[0].header.code, 0x2u);
    EXPECT_EQ(log_.count("alloc for unexpected size 4108+4 expected=4096"), 1u);
}

TEST_F(ConnLyrTest, EmptyPoolCountsNoMemoryAndDrains) {
    Collector& collector = collector_[0];
    MEM_POOLG_cfgT cfg{256, 1, nullptr, 0, 0};
    MEM_POOLG_newPool(&extraPool_, MEM_POOLG_BUF_TYPE_HEAP_E, &cfg);
    ASSERT_NE(extraPool_, nullptr);
    CONN_LYRG_handleT conn = openConnection(3);
    ASSERT_NE(conn, nullptr);
    openChannel(9, conn, &collector, extraPool_);
    MEM_POOLG_bufDescT* held = nullptr;
    ASSERT_EQ(MEM_POOLG_alloc(extraPool_, 1, &held), MEM_POOL__RET_SUCCESS);
    ASSERT_TRUE(vpu_.sendPacket(3, 9, zsim::VpuHeader::make(2, 10, 0x1), pattern(10, 1)));
    ASSERT_TRUE(log_.waitFor("Draining done. left=0", 1, 2s));
    EXPECT_EQ(conn->stats.rxNoMem.load(), 1u);
    MEM_POOLG_freeBuff(held);
    ASSERT_TRUE(vpu_.sendPacket(3, 9, zsim::VpuHeader::make(2, 10, 0x2), pattern(10, 2)));
    ASSERT_TRUE(collector.waitFor(1));
    EXPECT_EQ(collector.snapshot()[0].header.code, 0x2u);
}

TEST_F(ConnLyrTest, ReceiveErrorStopsTheConnectionAndLaterSendsAreRefused) {
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    ASSERT_TRUE(usb_.waitForBlockedReads(0, 1, 2s));
    usb_.failNext(0, zsim::Dir::In);
    // Both threads notice and end.
    ASSERT_TRUE(log_.waitFor("Detected down - exiting thread", 2, 2s));
    EXPECT_FALSE(CONN_LYRG_isRunning(conn));

    const uint32_t freeBefore = freeBuffers();
    MEM_POOLG_bufDescT* buffer = makeBuffer(pool_, pattern(12, 1));
    void* data = buffer->data;
    EXPECT_EQ(CONN_LYRG_send(conn, 1, buffer), CONN_LYR__ERR_CONNECTION_IS_DOWN);
    EXPECT_EQ(log_.count("send packet fail. connection is down"), 1u);
    // Refused, so still the caller's: allocated once, unchanged, nothing queued.
    EXPECT_EQ(buffer->refCount, 1u);
    EXPECT_EQ(buffer->data, data);
    EXPECT_EQ(freeBuffers(), freeBefore - 1);
    MEM_POOLG_freeBuff(buffer);
    EXPECT_EQ(freeBuffers(), freeBefore);
    EXPECT_EQ(vpu_.receivedCount(), 0u);
}

TEST_F(ConnLyrTest, PacketsQueuedWhenTheLinkGoesDownAreFreedBeforeTheClose) {
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    ASSERT_TRUE(usb_.waitForBlockedReads(0, 1, 2s));
    // The transmit thread is held inside its first write while more packets
    // queue up behind it; then a receive error takes the link down.
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool open = false;
    bool arrived = false;
    usb_.setWriteHandler(0, [&](uint8_t, const Bytes&) {
        std::unique_lock<std::mutex> lock(gateMutex);
        arrived = true;
        gateChanged.notify_all();
        gateChanged.wait(lock, [&] { return open; });
    });
    bool queued = true;
    for (int i = 0; i < 4; ++i)
        queued = queued && CONN_LYRG_send(conn, 3, makeBuffer(pool_, pattern(16, uint8_t(i)))) == CONN_LYR__RET_SUCCESS;
    bool held;
    {
        std::unique_lock<std::mutex> lock(gateMutex);
        held = gateChanged.wait_for(lock, 2s, [&] { return arrived; });
    }
    usb_.failNext(0, zsim::Dir::In);
    const bool rxDown = log_.waitFor("Detected down - exiting thread", 1, 2s);
    {
        std::unique_lock<std::mutex> lock(gateMutex);
        open = true;
    }
    gateChanged.notify_all();
    EXPECT_TRUE(queued);
    EXPECT_TRUE(held);
    EXPECT_TRUE(rxDown);
    ASSERT_TRUE(log_.waitFor("Detected down - exiting thread", 2, 2s));
    // The transmit thread has ended: nothing it left behind may keep a buffer.
    EXPECT_EQ(freeBuffers(), kPoolCount);
    usb_.setWriteHandler(0, nullptr);
}

TEST_F(ConnLyrTest, FailedWriteFreesThePacketCountsItAndKeepsTheLinkUp) {
    CONN_LYRG_handleT conn = openConnection(2);
    ASSERT_NE(conn, nullptr);
    usb_.failNext(2, zsim::Dir::Out);
    ASSERT_EQ(CONN_LYRG_send(conn, 8, makeBuffer(pool_, pattern(10, 1))), CONN_LYR__RET_SUCCESS);
    ASSERT_EQ(CONN_LYRG_send(conn, 8, makeBuffer(pool_, pattern(11, 2))), CONN_LYR__RET_SUCCESS);
    // Packets leave in order: once the second is out the first has failed.
    ASSERT_TRUE(vpu_.waitForPackets(1, 2s));
    EXPECT_EQ(vpu_.received()[0].body, pattern(11, 2));
    EXPECT_EQ(conn->stats.txErrors.load(), 1u);
    EXPECT_TRUE(CONN_LYRG_isRunning(conn));
    CONN_LYRG_close(conn);
    conns_[2] = nullptr;
    EXPECT_EQ(conn->stats.txPackets.load(), 1u);
    EXPECT_EQ(freeBuffers(), kPoolCount);
}

TEST_F(ConnLyrTest, CloseWhileTheReceiveIsBlockedEndsTheReceiveThread) {
    // Half a packet waits in the pipe before the connection opens, so the
    // first time its receive thread blocks it already holds a buffer for the
    // packet and waits for the rest. The pool of a channel is found by the
    // channel id alone, so channel 6 may be opened on the other connection.
    CONN_LYRG_handleT other = openConnection(0);
    ASSERT_NE(other, nullptr);
    Collector& collector = collector_[0];
    openChannel(6, other, &collector);
    const Bytes packet = zsim::SimVpu::encode(6, zsim::VpuHeader::make(2, 100, 1), pattern(100, 1));
    ASSERT_TRUE(vpu_.sendRaw(1, Bytes(packet.begin(), packet.begin() + 50)));
    CONN_LYRG_handleT conn = openConnection(1);
    ASSERT_NE(conn, nullptr);
    ASSERT_TRUE(usb_.waitForBlockedReads(1, 1, 2s));
    EXPECT_EQ(usb_.pendingToHost(1), 0u);
    EXPECT_EQ(freeBuffers(), kPoolCount - 1);

    auto closing = std::async(std::launch::async, [&] {
        morv::driver::ScopedThreadContext same(std::shared_ptr<morv::driver::Context>(
            context_.get(), [](morv::driver::Context*) {}));
        CONN_LYRG_close(conn);
    });
    ASSERT_EQ(closing.wait_for(2s), std::future_status::ready);
    conns_[1] = nullptr;
    EXPECT_EQ(usb_.blockedReads(1), 0u);
    EXPECT_EQ(usb_.closeCount(1), 1);
    EXPECT_EQ(log_.count("closed Rx thread"), 1u);
    EXPECT_EQ(freeBuffers(), kPoolCount);  // the half-filled buffer went back
    EXPECT_TRUE(collector.snapshot().empty());
}

TEST_F(ConnLyrTest, StartAndStopLeaveNoThreadOrBufferBehind) {
    const size_t threadsBefore = threadCount();
    Collector& collector = collector_[0];
    for (int round = 0; round < 2; ++round) {
        usb_.plug({0, 1, 2, 3});  // a closed handle needs the device again
        vpu_.resetStreams();
        for (uint8_t i = 0; i < 4; ++i) ASSERT_NE(openConnection(i), nullptr);
        EXPECT_EQ(threadCount(), threadsBefore + 8);  // a receive and a transmit thread each
        openChannel(0, conns_[0], &collector);
        vpu_.setChannelHandler(0, zsim::SimVpu::echo());
        // Traffic both ways before stopping.
        ASSERT_EQ(CONN_LYRG_send(conns_[0], 0, makeBuffer(pool_, pattern(30, 1))), CONN_LYR__RET_SUCCESS);
        ASSERT_TRUE(vpu_.sendPacket(0, 0, zsim::VpuHeader::make(2, 3, 1), pattern(3, 1)));
        ASSERT_TRUE(collector.waitFor(static_cast<size_t>(2 * round + 2)));
        SVC_COMG_channelClose(channels_[0]);
        channels_[0] = nullptr;
        for (auto*& conn : conns_) {
            CONN_LYRG_close(conn);
            conn = nullptr;
        }
        EXPECT_EQ(threadCountOnceAtMost(threadsBefore), threadsBefore);
        EXPECT_EQ(freeBuffers(), kPoolCount);
        EXPECT_EQ(log_.count("cleanup done"), static_cast<size_t>(4 * (round + 1)));
    }
}

TEST_F(ConnLyrTest, FifthConnectionFindsNoFreeRecord) {
    for (uint8_t i = 0; i < 4; ++i) ASSERT_NE(openConnection(i), nullptr);
    CONN_LYRG_ifCfgT ifCfg{};
    CONN_LYRG_cfgT cfg = usbConfig(&ifCfg);
    CONN_LYRG_handleT handle = nullptr;
    EXPECT_EQ(CONN_LYRG_open(&handle, &cfg), CONN_LYR__ERR_NO_FREE_CONNECTIONS);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(ConnLyrTest, FailedOpenCleansUpAndFreesTheRecord) {
    CONN_LYRG_ifCfgT ifCfg{};
    ifCfg.params[0] = 7;  // no such interface slot
    CONN_LYRG_cfgT cfg = usbConfig(&ifCfg);
    CONN_LYRG_handleT handle = nullptr;
    EXPECT_EQ(CONN_LYRG_open(&handle, &cfg), USB_CTRL_COM__ERR_INVALID_ARGS);
    EXPECT_EQ(handle, nullptr);
    ifCfg.params[0] = 0;
    cfg.txRingSize = 1025;
    EXPECT_EQ(CONN_LYRG_open(&handle, &cfg), CONN_LYR__ERR_CREATE_FAIL);
    cfg.txRingSize = 0;
    EXPECT_EQ(CONN_LYRG_open(&handle, &cfg), CONN_LYR__ERR_CREATE_FAIL);
    EXPECT_EQ(log_.count("cleanup done"), 3u);
    // All four records are still free.
    usb_.plug({0, 1, 2, 3});
    for (uint8_t i = 0; i < 4; ++i) ASSERT_NE(openConnection(i), nullptr);
}

// An interface that delivers whole fixed-size packets, one per receive, and
// whose close ends a receive that waits.
struct FixedSizeInterface {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Bytes> packets;
    bool closed = false;

    static FixedSizeInterface* self;
    static ERRG_codeE open(CONN_LYRG_ifHandleT* handle, const CONN_LYRG_ifCfgT*) {
        *handle = self;
        return 0;
    }
    static ERRG_codeE close(CONN_LYRG_ifHandleT) {
        std::lock_guard<std::mutex> lock(self->mutex);
        self->closed = true;
        self->changed.notify_all();
        return 0;
    }
    static ERRG_codeE caps(CONN_LYRG_ifHandleT, uint32_t* caps) {
        *caps = CONN_LYRG_CAP_RX_THREAD;
        return 0;
    }
    static ERRG_codeE recv(CONN_LYRG_ifHandleT, void* data, uint32_t length, uint32_t* got) {
        std::unique_lock<std::mutex> lock(self->mutex);
        self->changed.wait(lock, [] { return self->closed || !self->packets.empty(); });
        if (self->closed) return USB_CTRL_COM__ERR_READ_FAILED;
        const Bytes packet = std::move(self->packets.front());
        self->packets.pop_front();
        *got = std::min<uint32_t>(length, static_cast<uint32_t>(packet.size()));
        std::memcpy(data, packet.data(), *got);
        return 0;
    }
    static void ops(CONN_LYR_ifOps* ops) {
        ops->open = &open;
        ops->close = &close;
        ops->getCaps = &caps;
        ops->recv = &recv;
    }
    void feed(Bytes packet) {
        packet.resize(64);
        std::lock_guard<std::mutex> lock(mutex);
        packets.push_back(std::move(packet));
        changed.notify_all();
    }
};
FixedSizeInterface* FixedSizeInterface::self = nullptr;

TEST_F(ConnLyrTest, FixedSizeInterfaceReceivesIntoAPoolOfItsOwn) {
    FixedSizeInterface fixed;
    FixedSizeInterface::self = &fixed;
    CONN_LYRG_ifCfgT ifCfg{};
    CONN_LYRG_cfgT cfg{};
    cfg.ifCfg = &ifCfg;
    cfg.ifOpsInit = &FixedSizeInterface::ops;
    cfg.txRingSize = 8;
    cfg.rxPoolCfg = MEM_POOLG_cfgT{64, 4, nullptr, 0, 0};
    CONN_LYRG_handleT conn = nullptr;
    ASSERT_EQ(CONN_LYRG_open(&conn, &cfg), CONN_LYR__RET_SUCCESS);
    conns_[0] = conn;
    Collector& collector = collector_[0];
    openChannel(3, conn, &collector);

    // The word's length must fit in what arrived, and its channel must exist.
    fixed.feed(zsim::SimVpu::encodeRaw(3, Bytes(61, 0)));
    fixed.feed(zsim::SimVpu::encodeRaw(40, Bytes(12, 0)));
    fixed.feed(zsim::SimVpu::encode(3, zsim::VpuHeader::make(2, 4, 0x77), pattern(4, 1)));
    ASSERT_TRUE(collector.waitFor(1));
    const auto got = collector.snapshot();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].header.code, 0x77u);
    EXPECT_EQ(got[0].payload, pattern(4, 1));
    EXPECT_EQ(conn->stats.rxBadChannel.load(), 1u);
    EXPECT_EQ(conn->stats.rxPackets.load(), 1u);

    CONN_LYRG_close(conn);
    conns_[0] = nullptr;
    EXPECT_EQ(log_.count("free rx mempool"), 1u);
    EXPECT_EQ(log_.count("wait for rx buffer free timeout"), 0u);
    FixedSizeInterface::self = nullptr;
}

TEST_F(ConnLyrTest, StatisticsReportNamesTheCounts) {
    CONN_LYRG_handleT conn = openConnection(0);
    ASSERT_NE(conn, nullptr);
    std::mutex mutex;
    std::condition_variable changed;
    MEM_POOLG_bufDescT* sent = nullptr;
    struct Done {
        std::mutex* mutex;
        std::condition_variable* changed;
        MEM_POOLG_bufDescT** sent;
    } done{&mutex, &changed, &sent};
    auto onDone = [](void* user, MEM_POOLG_bufDescT* buffer) {
        auto* self = static_cast<Done*>(user);
        std::lock_guard<std::mutex> lock(*self->mutex);
        *self->sent = buffer;
        self->changed->notify_all();
    };
    ASSERT_EQ(CONN_LYRG_registerChannel(conn, 1, nullptr, onDone, &done), CONN_LYR__RET_SUCCESS);
    vpu_.setChannelHandler(1, zsim::SimVpu::echo());
    ASSERT_EQ(CONN_LYRG_send(conn, 1, makeBuffer(pool_, pattern(16, 1))), CONN_LYR__RET_SUCCESS);
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 2s, [&] { return sent != nullptr; }));
    }
    MEM_POOLG_freeBuff(sent);
    // Nobody opened channel 1 on the host: the echo is drained.
    ASSERT_TRUE(log_.waitFor("Draining done", 1, 2s));
    CONN_LYRG_showStats(conn, 3);
    EXPECT_EQ(log_.count("Connection Rx(0): pkt=       0       20B (OF=0 NOMEM=1)"), 1u);
    EXPECT_EQ(log_.count("Connection Tx(0): pkt=       1       20B (OF=0 ERR=0)"), 1u);
    CONN_LYRG_showStats(conn, 1);
    EXPECT_EQ(log_.count("Connection Rx(0)"), 1u);
    EXPECT_EQ(log_.count("Connection Tx(0)"), 2u);
}

}  // namespace
}  // namespace linktest
