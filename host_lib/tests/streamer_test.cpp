// The streamer on its own: reassembly of fragments into frame buffers, sink
// queues, pushing and reading, and the statistics, driven directly on the
// test thread with buffers of a pool of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "host_lib/streamer.h"
#include "host_lib/tests/packet_link_fixture.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/mem_pool.h"

namespace {

using namespace std::chrono_literals;
using zsim::Bytes;

constexpr uint32_t kBufSize = 1024;
constexpr uint32_t kBufCount = 16;
// Where a received fragment's payload starts in its buffer: packet word,
// service header and a wire record in front of it.
constexpr uint32_t kPayloadOffset = 100;

const char* ownerName() { return "FRAMETEST"; }
const SERVICE_opsTable kOwnerOps = {&ownerName, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

// Copies header bytes 32..39 of the frame record behind the generic ones.
void fillTail(STREAMER_sinkMsgT* msg, const void* header) {
    std::memcpy(msg->header, header, sizeof(STREAMER_frameHdrT) + 8);
}

struct HeaderWithTail {
    STREAMER_frameHdrT generic;
    uint8_t tail[8];
};

class StreamerTest : public ::testing::Test {
protected:
    StreamerTest() : context_(std::make_shared<morv::driver::Context>()) {}

    void SetUp() override {
        linktest::watchLog(log_);
        MEM_POOLG_init();
        pool_ = linktest::heapPool(kBufSize, kBufCount);
        ASSERT_NE(pool_, nullptr);
        ASSERT_EQ(STREAMERG_init(), STREAMER__RET_SUCCESS);
        ownerA_.ops = &kOwnerOps;
        ownerB_.ops = &kOwnerOps;
        ASSERT_EQ(STREAMERG_open(&ownerA_, &streamer_), STREAMER__RET_SUCCESS);
    }

    void TearDown() override {
        for (auto*& frame : holders_) {
            if (frame != nullptr) MEM_POOLG_freeBuff(frame);
            frame = nullptr;
        }
        if (streamer_ != nullptr) STREAMERG_close(streamer_);
        // Every scenario gives back every buffer it took.
        EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
        MEM_POOLG_closePool(pool_);
        LOGG_deinit();
    }

    // A fragment as the receive path holds it: payload behind the record.
    MEM_POOLG_bufDescT* fragment(const Bytes& payload) {
        MEM_POOLG_bufDescT* buffer = nullptr;
        EXPECT_EQ(MEM_POOLG_alloc(pool_, kBufSize, &buffer), MEM_POOL__RET_SUCCESS);
        if (buffer == nullptr) return nullptr;
        buffer->data = static_cast<uint8_t*>(buffer->base) + kPayloadOffset;
        if (!payload.empty()) std::memcpy(buffer->data, payload.data(), payload.size());
        buffer->len = static_cast<uint32_t>(payload.size());
        return buffer;
    }

    static STREAMER_frameHdrT header(uint32_t stream, uint16_t index, uint32_t count, uint32_t length) {
        STREAMER_frameHdrT h{};
        h.streamId = stream;
        h.frameWord = 0x1234;
        h.word6 = 0x5678;
        h.fragIndex = index;
        h.fragLength = length;
        h.fragCount = count;
        h.frameValue = 0xCAFEF00D;
        h.frameStamp = 0x0102030405060708ull;
        return h;
    }

    // Feeds one fragment as the receive path does: the fragment's buffer goes
    // back after the call, whatever the reassembly kept of it.
    bool feed(uint32_t stream, uint16_t index, uint32_t count, const Bytes& payload, int64_t declared = -1) {
        const STREAMER_frameHdrT h =
            header(stream, index, count, declared < 0 ? static_cast<uint32_t>(payload.size()) : declared);
        MEM_POOLG_bufDescT* buffer = fragment(payload);
        const bool done = STREAMERG_reassembleFrame(&h, buffer, &holders_[stream]);
        MEM_POOLG_freeBuff(buffer);
        return done;
    }

    // Takes the finished frame out of a holder.
    MEM_POOLG_bufDescT* take(uint32_t stream) {
        MEM_POOLG_bufDescT* frame = holders_[stream];
        holders_[stream] = nullptr;
        return frame;
    }

    static Bytes bytesOf(const MEM_POOLG_bufDescT* frame) {
        const auto* p = static_cast<const uint8_t*>(frame->data);
        return Bytes(p, p + frame->len);
    }

    void addSink(uint32_t stream, uint32_t depth = 4, STREAMER_fillFuncT fill = nullptr) {
        const STREAMER_sinkCfgT cfg{depth, STREAMERG_SINK_MSG_SIZE, fill};
        ASSERT_EQ(STREAMERG_addSink(streamer_, &cfg, stream), STREAMER__RET_SUCCESS);
    }

    ERRG_codeE pushFrame(uint32_t stream, const Bytes& data) {
        MEM_POOLG_bufDescT* frame = fragment(data);
        const STREAMER_frameHdrT h = header(stream, 0, 1, static_cast<uint32_t>(data.size()));
        return STREAMERG_pushFrame(streamer_, &h, frame);
    }

    linktest::LogWatcher log_;
    morv::driver::ScopedThreadContext context_;
    MEM_POOLG_handleT pool_ = nullptr;
    SERVICEG_serviceT ownerA_{};
    SERVICEG_serviceT ownerB_{};
    STREAMER_streamerT* streamer_ = nullptr;
    MEM_POOLG_bufDescT* holders_[STREAMERG_NUM_STREAMS]{};
};

// --- records ------------------------------------------------------------------------------

TEST(StreamerRecords, StatusCodesAreThoseOfTheStreamerModule) {
    EXPECT_EQ(ERRG_moduleOf(STREAMER__RET_SUCCESS), ERRG_MOD_STREAMER);
    EXPECT_STREQ(ERRG_errCodeToString(STREAMER__ERR_SINK_QUE_OVERFLOW), "SINK_QUE_OVERFLOW");
    EXPECT_STREQ(ERRG_errCodeToString(STREAMER__ERR_SINK_REMOVED), "SINK_REMOVED");
}

// --- reassembly -------------------------------------------------------------------------------

TEST_F(StreamerTest, ThreeFragmentsMakeOneFrameOfTheirSummedLength) {
    const Bytes a = linktest::pattern(300, 1), b = linktest::pattern(200, 2), c = linktest::pattern(50, 3);
    EXPECT_FALSE(feed(0, 0, 3, a));
    EXPECT_FALSE(feed(0, 1, 3, b));
    ASSERT_TRUE(feed(0, 2, 3, c));
    MEM_POOLG_bufDescT* frame = take(0);
    ASSERT_NE(frame, nullptr);
    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    expected.insert(expected.end(), c.begin(), c.end());
    EXPECT_EQ(bytesOf(frame), expected);
    // Only the frame buffer is still out.
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount - 1);
    MEM_POOLG_freeBuff(frame);
}

TEST_F(StreamerTest, OneFragmentFrameIsCompleteAtOnce) {
    ASSERT_TRUE(feed(2, 0, 1, linktest::pattern(64, 9)));
    MEM_POOLG_bufDescT* frame = take(2);
    EXPECT_EQ(bytesOf(frame), linktest::pattern(64, 9));
    MEM_POOLG_freeBuff(frame);
}

TEST_F(StreamerTest, MissingFragmentDropsTheFrameUntilTheNextFragmentZero) {
    EXPECT_FALSE(feed(0, 0, 3, Bytes(10, 1)));
    EXPECT_FALSE(feed(0, 2, 3, Bytes(10, 3)));
    EXPECT_EQ(log_.count("Dropping frag 2"), 1u);
    EXPECT_EQ(holders_[0], nullptr);
    // The expected index is 0 again: fragment 1 is dropped too.
    EXPECT_FALSE(feed(0, 1, 3, Bytes(10, 2)));
    EXPECT_EQ(log_.count("Dropping frag 1"), 1u);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
    // A whole frame after it goes through.
    EXPECT_FALSE(feed(0, 0, 2, Bytes(4, 7)));
    ASSERT_TRUE(feed(0, 1, 2, Bytes(4, 8)));
    MEM_POOLG_bufDescT* frame = take(0);
    EXPECT_EQ(bytesOf(frame), (Bytes{7, 7, 7, 7, 8, 8, 8, 8}));
    MEM_POOLG_freeBuff(frame);
}

TEST_F(StreamerTest, FragmentZeroInTheMiddleAbandonsTheOldFrame) {
    EXPECT_FALSE(feed(1, 0, 3, Bytes(8, 0xAA)));
    EXPECT_FALSE(feed(1, 1, 3, Bytes(8, 0xBB)));
    EXPECT_FALSE(feed(1, 0, 2, Bytes(5, 0x11)));
    EXPECT_EQ(log_.count("Abandoning in progress frame. Resyncing to current frame."), 1u);
    // The abandoned frame's buffer is back; only the new frame's is out.
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount - 1);
    ASSERT_TRUE(feed(1, 1, 2, Bytes(3, 0x22)));
    MEM_POOLG_bufDescT* frame = take(1);
    EXPECT_EQ(bytesOf(frame), (Bytes{0x11, 0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x22}));
    MEM_POOLG_freeBuff(frame);
}

TEST_F(StreamerTest, InterleavedStreamsKeepTheirOwnFrames) {
    EXPECT_FALSE(feed(3, 0, 2, Bytes(4, 0x30)));
    EXPECT_FALSE(feed(4, 0, 2, Bytes(6, 0x40)));
    ASSERT_TRUE(feed(3, 1, 2, Bytes(4, 0x31)));
    ASSERT_TRUE(feed(4, 1, 2, Bytes(6, 0x41)));
    MEM_POOLG_bufDescT* three = take(3);
    MEM_POOLG_bufDescT* four = take(4);
    EXPECT_EQ(bytesOf(three), (Bytes{0x30, 0x30, 0x30, 0x30, 0x31, 0x31, 0x31, 0x31}));
    Bytes expected(6, 0x40);
    expected.insert(expected.end(), 6, 0x41);
    EXPECT_EQ(bytesOf(four), expected);
    MEM_POOLG_freeBuff(three);
    MEM_POOLG_freeBuff(four);
}

TEST_F(StreamerTest, FragmentZeroWithoutPayloadStartsNothing) {
    STREAMER_frameHdrT h = header(0, 0, 2, 0);
    EXPECT_FALSE(STREAMERG_reassembleFrame(&h, nullptr, &holders_[0]));
    EXPECT_EQ(holders_[0], nullptr);
    // Fragment 1 finds no frame to write into and is dropped.
    EXPECT_FALSE(feed(0, 1, 2, Bytes(16, 5)));
    EXPECT_EQ(holders_[0], nullptr);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
}

TEST_F(StreamerTest, LengthsThatDoNotMatchTheBytesDropTheFrame) {
    // A header that claims more bytes than the fragment carries.
    EXPECT_FALSE(feed(0, 0, 1, Bytes(10, 1), 11));
    EXPECT_EQ(holders_[0], nullptr);
    EXPECT_FALSE(feed(0, 0, 2, Bytes(10, 1)));
    EXPECT_FALSE(feed(0, 1, 2, Bytes(10, 2), 4000));
    EXPECT_EQ(holders_[0], nullptr);
    // An index at or beyond the count, and a count of zero.
    EXPECT_FALSE(feed(0, 0, 0, Bytes(10, 1)));
    EXPECT_FALSE(feed(0, 0, 2, Bytes(10, 1)));
    EXPECT_FALSE(feed(0, 1, 1, Bytes(10, 2)));
    EXPECT_EQ(holders_[0], nullptr);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
    // A frame whose fragment declares fewer bytes than it carries is as long
    // as the bytes it declares.
    EXPECT_FALSE(feed(0, 0, 2, Bytes(10, 1), 6));
    ASSERT_TRUE(feed(0, 1, 2, Bytes(10, 2), 3));
    MEM_POOLG_bufDescT* frame = take(0);
    EXPECT_EQ(bytesOf(frame), (Bytes{1, 1, 1, 1, 1, 1, 2, 2, 2}));
    MEM_POOLG_freeBuff(frame);
}

TEST_F(StreamerTest, FragmentsBeyondTheFrameBufferAreDroppedWithTheFrame) {
    const uint32_t room = kBufSize - kPayloadOffset;  // what the first buffer holds from its data on
    EXPECT_FALSE(feed(5, 0, 3, Bytes(room - 100, 1)));
    EXPECT_FALSE(feed(5, 1, 3, Bytes(100, 2)));  // exactly full
    EXPECT_NE(holders_[5], nullptr);
    EXPECT_FALSE(feed(5, 2, 3, Bytes(1, 3)));  // one byte too many
    EXPECT_EQ(holders_[5], nullptr);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
    // Exactly full completes.
    EXPECT_FALSE(feed(5, 0, 2, Bytes(room - 100, 1)));
    ASSERT_TRUE(feed(5, 1, 2, Bytes(100, 2)));
    MEM_POOLG_bufDescT* frame = take(5);
    EXPECT_EQ(frame->len, room);
    MEM_POOLG_freeBuff(frame);
}

// Reassembly copies every fragment but the first into the frame's buffer;
// the sink counts those bytes, also for a frame that is dropped later.
TEST_F(StreamerTest, ReassemblyCountsTheFrameBytesItCopies) {
    struct Fragment {
        uint16_t index;
        uint32_t count;
        size_t bytes;
    };
    struct Case {
        const char* name;
        std::vector<Fragment> fragments;
        uint64_t copied;
    };
    const Case cases[] = {
        {"a one-fragment frame is never copied", {{0, 1, 64}}, 0},
        {"later fragments are copied once", {{0, 3, 300}, {1, 3, 200}, {2, 3, 50}}, 250},
        {"an abandoned frame counts what it copied", {{0, 3, 10}, {1, 3, 20}, {0, 2, 5}, {1, 2, 7}}, 27},
        {"a fragment out of order is not copied", {{0, 3, 10}, {2, 3, 20}}, 0},
    };
    uint32_t stream = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const Fragment& f : c.fragments) feed(stream, f.index, f.count, Bytes(f.bytes, 0x5A));
        EXPECT_EQ(STREAMERG_getSinkCounters(stream).copiedBytes, c.copied);
        if (MEM_POOLG_bufDescT* frame = take(stream)) MEM_POOLG_freeBuff(frame);
        ++stream;
    }
}

TEST_F(StreamerTest, StreamIdOutsideTheRangeTouchesNothing) {
    STREAMER_frameHdrT h = header(8, 0, 1, 4);
    MEM_POOLG_bufDescT* buffer = fragment(Bytes(4, 1));
    MEM_POOLG_bufDescT* holder = nullptr;
    EXPECT_FALSE(STREAMERG_reassembleFrame(&h, buffer, &holder));
    EXPECT_EQ(holder, nullptr);
    EXPECT_EQ(buffer->refCount, 1u);
    MEM_POOLG_freeBuff(buffer);
}

// --- sinks, pushing and reading -----------------------------------------------------------------

TEST_F(StreamerTest, PushedFrameIsReadWithItsHeader) {
    addSink(6, 4, &fillTail);
    const Bytes data = linktest::pattern(40, 4);
    HeaderWithTail h{header(6, 0, 1, 40), {0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7}};
    ASSERT_EQ(STREAMERG_pushFrame(streamer_, &h.generic, fragment(data)), STREAMER__RET_SUCCESS);

    STREAMER_sinkMsgT msg{};
    ASSERT_EQ(STREAMERG_readFrame(streamer_, 6, 0, &msg), STREAMER__RET_SUCCESS);
    ASSERT_NE(msg.buffer, nullptr);
    EXPECT_EQ(msg.data, msg.buffer->data);
    EXPECT_EQ(msg.length, 40u);
    EXPECT_EQ(Bytes(static_cast<uint8_t*>(msg.data), static_cast<uint8_t*>(msg.data) + 40), data);
    const auto* raw = reinterpret_cast<const uint8_t*>(&msg);
    uint32_t u32 = 0;
    uint16_t u16 = 0;
    uint64_t u64 = 0;
    std::memcpy(&u32, raw + 24, 4);
    EXPECT_EQ(u32, 6u);
    std::memcpy(&u16, raw + 28, 2);
    EXPECT_EQ(u16, 0x1234);
    std::memcpy(&u16, raw + 30, 2);
    EXPECT_EQ(u16, 0x5678);
    std::memcpy(&u32, raw + 44, 4);
    EXPECT_EQ(u32, 0xCAFEF00Du);
    std::memcpy(&u64, raw + 48, 8);
    EXPECT_EQ(u64, 0x0102030405060708ull);
    EXPECT_EQ(raw[24 + 32], 0xE0);
    EXPECT_EQ(raw[24 + 39], 0xE7);
    for (size_t i = 24 + 40; i < sizeof(msg); ++i) ASSERT_EQ(raw[i], 0) << "byte " << i;
    const STREAMER_sinkCountersT counters = STREAMERG_getSinkCounters(6);
    EXPECT_EQ(counters.received, 1u);
    EXPECT_EQ(counters.receivedBytes, 40u);
    EXPECT_EQ(counters.dequeued, 1u);
    MEM_POOLG_freeBuff(msg.buffer);
}

TEST_F(StreamerTest, FullSinkDropsAndCountsTheNewFrame) {
    addSink(0, 4);
    for (uint8_t i = 0; i < 4; ++i) EXPECT_EQ(pushFrame(0, Bytes(8, i)), STREAMER__RET_SUCCESS);
    EXPECT_EQ(pushFrame(0, Bytes(8, 4)), STREAMER__ERR_SINK_QUE_OVERFLOW);
    const STREAMER_sinkCountersT counters = STREAMERG_getSinkCounters(0);
    EXPECT_EQ(counters.received, 4u);
    EXPECT_EQ(counters.dropped, 1u);
    // The dropped frame went back; the four waiting ones are read in order.
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount - 4);
    for (uint8_t i = 0; i < 4; ++i) {
        STREAMER_sinkMsgT msg{};
        ASSERT_EQ(STREAMERG_readFrame(streamer_, 0, 0, &msg), STREAMER__RET_SUCCESS);
        EXPECT_EQ(static_cast<uint8_t*>(msg.data)[0], i);
        MEM_POOLG_freeBuff(msg.buffer);
    }
}

TEST_F(StreamerTest, PushThatCannotQueueReleasesTheFrame) {
    // No sink yet.
    EXPECT_EQ(pushFrame(1, Bytes(8, 1)), STREAMER__ERR_RCV_WRONG_STREAM_ID);
    // Another streamer's sink.
    STREAMER_streamerT* other = nullptr;
    ASSERT_EQ(STREAMERG_open(&ownerB_, &other), STREAMER__RET_SUCCESS);
    const STREAMER_sinkCfgT cfg{4, STREAMERG_SINK_MSG_SIZE, nullptr};
    ASSERT_EQ(STREAMERG_addSink(other, &cfg, 1), STREAMER__RET_SUCCESS);
    EXPECT_EQ(pushFrame(1, Bytes(8, 1)), STREAMER__ERR_RCV_WRONG_STREAM_ID);
    STREAMER_sinkMsgT msg{};
    EXPECT_EQ(STREAMERG_readFrame(streamer_, 1, 0, &msg), STREAMER__ERR_DQUEUE_WRONG_STREAM_ID);
    EXPECT_EQ(STREAMERG_close(other), STREAMER__RET_SUCCESS);
    // A removed sink.
    addSink(2);
    ASSERT_EQ(STREAMERG_remSink(streamer_, 2), STREAMER__RET_SUCCESS);
    EXPECT_EQ(pushFrame(2, Bytes(8, 1)), STREAMER__ERR_SINK_REMOVED);
    // A stream id outside 0..7.
    EXPECT_EQ(pushFrame(8, Bytes(8, 1)), STREAMER__ERR_INVALID_ARGS);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
}

TEST_F(StreamerTest, SinkArgumentsAreChecked) {
    addSink(3);
    const STREAMER_sinkCfgT cfg{4, STREAMERG_SINK_MSG_SIZE, nullptr};
    EXPECT_EQ(STREAMERG_addSink(streamer_, &cfg, 3), STREAMER__ERR_INVALID_ARGS);  // in use
    EXPECT_EQ(STREAMERG_addSink(streamer_, &cfg, 8), STREAMER__ERR_INVALID_ARGS);
    const STREAMER_sinkCfgT noDepth{0, STREAMERG_SINK_MSG_SIZE, nullptr};
    EXPECT_EQ(STREAMERG_addSink(streamer_, &noDepth, 4), STREAMER__ERR_INVALID_ARGS);
    EXPECT_FALSE(STREAMERG_isSinkInUse(4));
    EXPECT_EQ(STREAMERG_remSink(streamer_, 4), STREAMER__ERR_INVALID_ARGS);  // never added
    EXPECT_EQ(STREAMERG_remSink(streamer_, 9), STREAMER__ERR_INVALID_ARGS);
    // A streamer that does not hold the sink cannot remove it.
    STREAMER_streamerT* other = nullptr;
    ASSERT_EQ(STREAMERG_open(&ownerB_, &other), STREAMER__RET_SUCCESS);
    EXPECT_EQ(STREAMERG_remSink(other, 3), STREAMER__ERR_SINK_NOT_FOUND);
    EXPECT_EQ(log_.count("stream 0x3: failed to remove stream sink"), 1u);
    EXPECT_TRUE(STREAMERG_isSinkInUse(3));
    EXPECT_EQ(STREAMERG_close(other), STREAMER__RET_SUCCESS);
    EXPECT_EQ(log_.count("stream 0x3: created que /st_sink3 maxMsg=4 msgSize=128"), 1u);
    EXPECT_EQ(log_.count("stream 0x3: added stream sink for:FRAMETEST queSize=4"), 1u);
}

TEST_F(StreamerTest, EmptySinkReadReturnsNothingReceivedAfterItsTimeout) {
    addSink(0);
    STREAMER_sinkMsgT msg{};
    EXPECT_EQ(STREAMERG_readFrame(streamer_, 0, 0, &msg), STREAMER__ERR_NOTHING_RECEIVED);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(STREAMERG_readFrame(streamer_, 0, 30, &msg), STREAMER__ERR_NOTHING_RECEIVED);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 28ms);
    EXPECT_EQ(STREAMERG_readFrame(streamer_, 8, 0, &msg), STREAMER__ERR_INVALID_ARGS);
    EXPECT_EQ(STREAMERG_readFrame(streamer_, 1, 0, &msg), STREAMER__ERR_DQUEUE_WRONG_STREAM_ID);
}

TEST_F(StreamerTest, RemovalEndsAWaitingReadWithSinkRemoved) {
    addSink(7);
    ERRG_codeE status = 0;
    std::chrono::steady_clock::duration waited{};
    {
        PZContextHolder* context = PZContext_AcquireCurrent();
        std::jthread reader([&, context] {
            PZContext_SetThreadContext(context);
            const auto start = std::chrono::steady_clock::now();
            STREAMER_sinkMsgT msg{};
            status = STREAMERG_readFrame(streamer_, 7, 30000, &msg);
            waited = std::chrono::steady_clock::now() - start;
            PZContext_SetThreadContext(nullptr);
        });
        // Whether the reader is already waiting or not, the removal ends its read.
        ASSERT_EQ(STREAMERG_remSink(streamer_, 7), STREAMER__RET_SUCCESS);
    }
    EXPECT_EQ(status, STREAMER__ERR_SINK_REMOVED);
    // Ended by the removal, not by the read's half-minute time-out: half of
    // that lies far from both.
    EXPECT_LT(waited, 15000ms);
}

TEST_F(StreamerTest, CloseReleasesWaitingFramesAndFreesTheRecord) {
    addSink(0);
    addSink(1);
    for (uint8_t i = 0; i < 3; ++i) ASSERT_EQ(pushFrame(i % 2, Bytes(8, i)), STREAMER__RET_SUCCESS);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount - 3);
    EXPECT_EQ(STREAMERG_close(streamer_), STREAMER__RET_SUCCESS);
    streamer_ = nullptr;
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
    EXPECT_FALSE(STREAMERG_isSinkInUse(0));
    EXPECT_FALSE(STREAMERG_isSinkInUse(1));
    EXPECT_EQ(log_.count("Stream closed for FRAMETEST"), 1u);
    ASSERT_EQ(STREAMERG_open(&ownerA_, &streamer_), STREAMER__RET_SUCCESS);
}

TEST_F(StreamerTest, OnlyFiveStreamersExist) {
    std::vector<STREAMER_streamerT*> more;
    for (int i = 0; i < 4; ++i) {
        STREAMER_streamerT* s = nullptr;
        ASSERT_EQ(STREAMERG_open(&ownerB_, &s), STREAMER__RET_SUCCESS);
        more.push_back(s);
    }
    STREAMER_streamerT* sixth = nullptr;
    EXPECT_EQ(STREAMERG_open(&ownerB_, &sixth), STREAMER__ERR_OUT_OF_RSRCS);
    EXPECT_EQ(sixth, nullptr);
    EXPECT_EQ(STREAMERG_close(more.back()), STREAMER__RET_SUCCESS);
    more.pop_back();
    EXPECT_EQ(STREAMERG_open(&ownerB_, &sixth), STREAMER__RET_SUCCESS);
    more.push_back(sixth);
    for (STREAMER_streamerT* s : more) STREAMERG_close(s);
}

TEST_F(StreamerTest, StatisticsReportTotalsAndTheChangeSinceTheLastReport) {
    addSink(3);
    ASSERT_EQ(pushFrame(3, Bytes(100, 1)), STREAMER__RET_SUCCESS);
    ASSERT_EQ(pushFrame(3, Bytes(100, 2)), STREAMER__RET_SUCCESS);
    STREAMER_sinkMsgT msg{};
    ASSERT_EQ(STREAMERG_readFrame(streamer_, 3, 0, &msg), STREAMER__RET_SUCCESS);
    MEM_POOLG_freeBuff(msg.buffer);
    STREAMERG_printStats(streamer_, LOG_INFO_E, 500);
    EXPECT_EQ(log_.count("streamer on FRAMETEST service:"), 1u);
    EXPECT_EQ(log_.count("sink streamID=3"), 1u);
    EXPECT_EQ(log_.count("totals: received 2(0MB) dropped: 0 dequed 1"), 1u);
    EXPECT_EQ(log_.count("current(500msec): fps=4.00(0.00MBps) received 2(0MB) dropped 0 dequed 1"), 1u);
    // The second report counts from the first.
    STREAMERG_printStats(streamer_, LOG_INFO_E, 1000);
    EXPECT_EQ(log_.count("current(1000msec): fps=0.00(0.00MBps) received 0(0MB) dropped 0 dequed 0"), 1u);
    EXPECT_EQ(log_.count("totals: received 2(0MB) dropped: 0 dequed 1"), 2u);
    ASSERT_EQ(STREAMERG_readFrame(streamer_, 3, 0, &msg), STREAMER__RET_SUCCESS);
    MEM_POOLG_freeBuff(msg.buffer);
}

TEST_F(StreamerTest, ReinitialisationStartsWithFreeRecords) {
    EXPECT_EQ(log_.count("streaming module initialized"), 1u);
    addSink(2);
    EXPECT_EQ(STREAMERG_remSink(streamer_, 2), STREAMER__RET_SUCCESS);
    ASSERT_EQ(STREAMERG_init(), STREAMER__RET_SUCCESS);
    EXPECT_FALSE(STREAMERG_isSinkInUse(2));
    streamer_ = nullptr;
    for (int i = 0; i < 5; ++i) {
        STREAMER_streamerT* s = nullptr;
        ASSERT_EQ(STREAMERG_open(&ownerA_, &s), STREAMER__RET_SUCCESS);
        if (i > 0) STREAMERG_close(s);
        else streamer_ = s;
    }
}

}  // namespace
