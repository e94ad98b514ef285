// The DEPTH, VIDEO and WEBCAM frame services: their operations called
// directly, and the three services brought up over the connection layer
// against the simulated vision processor, whose frame producer cuts frames
// into fragments on the data channels.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "host_lib/conn_lyr.h"
#include "host_lib/frame_svc.h"
#include "host_lib/marshal.h"
#include "host_lib/service.h"
#include "host_lib/streamer.h"
#include "host_lib/svc_com.h"
#include "host_lib/tests/packet_link_fixture.h"
#include "host_lib/usb_ctrl_com.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/mem_pool.h"
#include "sim/sim_bytes.h"
#include "sim/sim_frame_producer.h"
#include "sim/sim_service_peer.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace {

using namespace std::chrono_literals;
using zsim::Bytes;
using zsim::SimFrameProducer;
using zsim::SimServicePeer;

const FRAME_SVCG_descT& descOf(FRAME_SVCG_memberE member) { return FRAME_SVCG_family[member]; }

const SERVICE_opsTable* opsOf(FRAME_SVCG_memberE member) {
    switch (member) {
        case FRAME_SVCG_DEPTH_E: return DEPTHG_getService();
        case FRAME_SVCG_VIDEO_E: return VIDEOG_getService();
        default: return WEBCAMG_getService();
    }
}

VPUG_readFuncT readOf(FRAME_SVCG_memberE member) {
    switch (member) {
        case FRAME_SVCG_DEPTH_E: return &DEPTHP_read;
        case FRAME_SVCG_VIDEO_E: return &VIDEOP_read;
        default: return &WEBCAMP_read;
    }
}

const SimFrameProducer::Route& routeOf(FRAME_SVCG_memberE member) {
    switch (member) {
        case FRAME_SVCG_DEPTH_E: return SimFrameProducer::kDepth;
        case FRAME_SVCG_VIDEO_E: return SimFrameProducer::kVideo;
        default: return SimFrameProducer::kWebcam;
    }
}

std::string memberName(const ::testing::TestParamInfo<FRAME_SVCG_memberE>& info) {
    return descOf(info.param).name;
}

// Frame records carry byte k = k + 0x40 behind the generic fields, so a
// field's expected value follows from its offset alone.
constexpr uint8_t patternByte(uint32_t offset) { return static_cast<uint8_t>(offset + 0x40); }
uint16_t patternU16(uint32_t offset) {
    return static_cast<uint16_t>(patternByte(offset) | patternByte(offset + 1) << 8);
}
uint32_t patternU32(uint32_t offset) {
    return static_cast<uint32_t>(patternU16(offset)) | static_cast<uint32_t>(patternU16(offset + 2)) << 16;
}

// The host record of a fragment (generic fields set, the tail patterned).
Bytes hostRecord(FRAME_SVCG_memberE member, uint32_t stream, uint16_t index, uint32_t count, uint32_t length,
                 uint32_t value) {
    Bytes record(MARSHALG_getIoctlSize(descOf(member).frameCode), 0);
    for (size_t k = sizeof(STREAMER_frameHdrT); k < record.size(); ++k) record[k] = patternByte(static_cast<uint32_t>(k));
    STREAMER_frameHdrT generic{};
    generic.streamId = stream;
    generic.frameWord = 0x0B0A;
    generic.word6 = 0x0D0C;
    generic.fragIndex = index;
    generic.fragLength = length;
    generic.fragCount = count;
    generic.frameValue = value;
    generic.frameStamp = 0x1122334455667788ull + value;
    std::memcpy(record.data(), &generic, sizeof(generic));
    return record;
}

// The checks each member's header record must pass, from its listed layout.
void expectHeaderRecord(FRAME_SVCG_memberE member, const uint8_t* record) {
    switch (member) {
        case FRAME_SVCG_DEPTH_E: {
            DEPTH_frameHdrRec r{};
            std::memcpy(&r, record, sizeof(r));
            EXPECT_EQ(r.f32, patternU16(32));
            EXPECT_EQ(r.f34, patternU16(34));
            EXPECT_EQ(r.f36, patternU32(36));
            EXPECT_EQ(r.f60, patternU32(60));
            EXPECT_EQ(r.f80, patternU32(80));
            // Beyond the 84 bytes the sink message carries.
            EXPECT_EQ(r.f84, 0);
            EXPECT_EQ(r.f85, 0);
            break;
        }
        case FRAME_SVCG_VIDEO_E: {
            VIDEO_frameHdrRec r{};
            std::memcpy(&r, record, sizeof(r));
            EXPECT_EQ(r.f32, patternU16(32));
            EXPECT_EQ(r.f52, patternU32(52));
            EXPECT_EQ(r.f72, patternU32(72));
            EXPECT_EQ(r.f92, patternU16(92));
            EXPECT_EQ(r.f98, patternU16(98));
            EXPECT_EQ(r.f80, patternU16(80));
            EXPECT_EQ(r.f86, patternU16(86));
            break;
        }
        default: {
            WEBCAM_frameHdrRec r{};
            std::memcpy(&r, record, sizeof(r));
            EXPECT_EQ(r.f32, patternU16(32));
            EXPECT_EQ(r.f34, patternU16(34));
            EXPECT_EQ(r.f36, patternU32(36));
            EXPECT_EQ(r.f48, patternU32(48));
            break;
        }
    }
}

// Buffers go back to a data pool on whichever thread drops the last reference.
// The receive thread keeps a fragment's payload until the service's data path
// has returned, and by then the reader may already have taken the frame and
// given it back: a count read at once can be one short for a moment. The
// pools of the fixture report every return here, so that a test waits for the
// count it expects (a buffer really lost never comes back and fails the wait).
struct PoolReturns {
    std::mutex mutex;
    std::condition_variable returned;
    uint64_t count = 0;
};
PoolReturns& poolReturns() {
    static PoolReturns returns;
    return returns;
}

// Runs with the pool's lock held: takes only the notifier's own lock.
void notePoolReturn(uint32_t, MEM_POOLG_bufDescT*) {
    PoolReturns& r = poolReturns();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        ++r.count;
    }
    r.returned.notify_all();
}

MEM_POOLG_handleT reportingPool(uint32_t size, uint32_t count) {
    MEM_POOLG_cfgT cfg{size, count, &notePoolReturn, 0, 0};
    MEM_POOLG_handleT pool = nullptr;
    MEM_POOLG_newPool(&pool, MEM_POOLG_BUF_TYPE_HEAP_E, &cfg);
    return pool;
}

// The pool's free count once it has reached `expected`, or as it stands when
// no buffer came back for the whole bound. The count is read without the
// notifier's lock held: the pool's lock is taken before it on the other side.
// A return follows the read within microseconds on an idle machine, and a
// loaded one can keep the receive thread off a core for seconds; the bound
// only ends the wait for a buffer that is never returned.
uint32_t freeOnceReturned(MEM_POOLG_handleT pool, uint32_t expected) {
    PoolReturns& r = poolReturns();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        uint64_t seen = 0;
        {
            std::lock_guard<std::mutex> lock(r.mutex);
            seen = r.count;
        }
        const uint32_t free = MEM_POOLG_getNumFree(pool);
        if (free == expected) return free;
        std::unique_lock<std::mutex> lock(r.mutex);
        if (!r.returned.wait_until(lock, deadline, [&] { return r.count != seen; })) return free;
    }
}

// ===================================================================================
// Operations called directly
// ===================================================================================

class FrameOpsTest : public ::testing::TestWithParam<FRAME_SVCG_memberE> {
protected:
    static constexpr uint32_t kBufSize = 2048;
    static constexpr uint32_t kBufCount = 16;

    FrameOpsTest() : context_(std::make_shared<morv::driver::Context>()) {}

    void SetUp() override {
        linktest::watchLog(log_);
        MEM_POOLG_init();
        pool_ = linktest::heapPool(kBufSize, kBufCount);
        ASSERT_NE(pool_, nullptr);
        ASSERT_EQ(STREAMERG_init(), STREAMER__RET_SUCCESS);
        record_.sid = d().sid;
        record_.ops = ops();
    }

    void TearDown() override {
        SERVICEG_requestT close{&record_, SERVICEG_PHASE_START_E, 0, nullptr};
        ops()->close(&close);
        EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
        MEM_POOLG_closePool(pool_);
        LOGG_deinit();
    }

    FRAME_SVCG_memberE member() const { return GetParam(); }
    const FRAME_SVCG_descT& d() const { return descOf(member()); }
    const SERVICE_opsTable* ops() const { return opsOf(member()); }

    ERRG_codeE open(uint32_t phase) {
        SERVICEG_requestT request{&record_, phase, 0, nullptr};
        return ops()->open(&request);
    }
    ERRG_codeE close(uint32_t phase) {
        SERVICEG_requestT request{&record_, phase, 0, nullptr};
        return ops()->close(&request);
    }
    ERRG_codeE ioctl(uint32_t phase, uint32_t code, void* params) {
        SERVICEG_requestT request{nullptr, phase, code, params};
        return ops()->hostIoctl(&request);
    }
    ERRG_codeE start(uint32_t phase, uint32_t stream, uint32_t dataType = 0) {
        VPUG_streamStartParams params{dataType != 0 ? dataType : d().dataTypeFirst + 2, stream};
        return ioctl(phase, d().startCode, &params);
    }
    ERRG_codeE stop(uint32_t phase, uint32_t stream) {
        VPUG_streamStopParams params{stream};
        return ioctl(phase, d().stopCode, &params);
    }
    // Both phases of a start the peer accepted.
    void started(uint32_t stream) {
        ASSERT_EQ(start(SERVICEG_PHASE_START_E, stream), SERVICE__INCOMPLETE);
        ASSERT_EQ(start(SERVICEG_PHASE_DONE_E, stream), SERVICE__INCOMPLETE);
    }

    // One fragment through the data fast path, as the framework calls it: a
    // chain of the host record and the payload, released after the call.
    ERRG_codeE deliver(uint32_t stream, uint16_t index, uint32_t count, const Bytes& payload, uint32_t value) {
        const Bytes record = hostRecord(member(), stream, index, count, static_cast<uint32_t>(payload.size()), value);
        MEM_POOLG_bufDescT* first = nullptr;
        MEM_POOLG_bufDescT* second = nullptr;
        EXPECT_EQ(MEM_POOLG_alloc(pool_, kBufSize, &first), MEM_POOL__RET_SUCCESS);
        EXPECT_EQ(MEM_POOLG_alloc(pool_, kBufSize, &second), MEM_POOL__RET_SUCCESS);
        std::memcpy(first->data, record.data(), record.size());
        first->len = static_cast<uint32_t>(record.size());
        second->data = static_cast<uint8_t*>(second->base) + 120;
        std::memcpy(second->data, payload.data(), payload.size());
        second->len = static_cast<uint32_t>(payload.size());
        MEM_POOLG_chain(first, second);
        const ERRG_codeE status =
            ops()->dataFastPath(d().frameCode, first->data, second->data, second->len, &first->next);
        MEM_POOLG_freeBuff(first);
        return status;
    }

    linktest::LogWatcher log_;
    morv::driver::ScopedThreadContext context_;
    MEM_POOLG_handleT pool_ = nullptr;
    SERVICEG_serviceT record_{};
};

TEST_P(FrameOpsTest, OpenAndCloseRunTheStreamerAndForwardToThePeer) {
    // Closing a service that was never opened succeeds at once.
    EXPECT_EQ(close(SERVICEG_PHASE_START_E), d().success);
    EXPECT_EQ(ops()->getName(), std::string(d().name));

    EXPECT_EQ(open(SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    EXPECT_TRUE(FRAME_SVCG_isOpen(member()));
    EXPECT_EQ(open(SERVICEG_PHASE_DONE_E), SERVICE__INCOMPLETE);
    EXPECT_EQ(log_.count(std::string("Open ") + d().name + " service"), 2u);
    // A second open keeps the one streamer: four more records are still free.
    EXPECT_EQ(open(SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    EXPECT_EQ(log_.count(std::string("Stream opened for ") + d().name), 1u);
    std::vector<STREAMER_streamerT*> others(4);
    for (auto*& s : others) EXPECT_EQ(STREAMERG_open(&record_, &s), STREAMER__RET_SUCCESS);
    for (auto* s : others) STREAMERG_close(s);
    const std::string closed = std::string("Stream closed for ") + d().name;
    const size_t closedBefore = log_.count(closed);

    // Phase 1 alone closes nothing and leaves the service open.
    EXPECT_EQ(close(SERVICEG_PHASE_DONE_E), SERVICE__INCOMPLETE);
    EXPECT_TRUE(FRAME_SVCG_isOpen(member()));
    EXPECT_EQ(close(SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    EXPECT_FALSE(FRAME_SVCG_isOpen(member()));
    EXPECT_EQ(close(SERVICEG_PHASE_DONE_E), d().success);
    EXPECT_EQ(log_.count(closed), closedBefore + 1);
}

TEST_P(FrameOpsTest, HostIoctlsAnsweredLocally) {
    ASSERT_EQ(open(SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    MEM_POOLG_bufDescT* buffer = nullptr;
    ASSERT_EQ(MEM_POOLG_alloc(pool_, 16, &buffer), MEM_POOL__RET_SUCCESS);
    VPUG_freeBufParams freeParams{buffer};
    EXPECT_EQ(ioctl(SERVICEG_PHASE_START_E, VPU_CMDG_FREE_BUF_E, &freeParams), d().success);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);

    VPUG_getReadFuncParams readParams{nullptr};
    EXPECT_EQ(ioctl(SERVICEG_PHASE_START_E, VPU_CMDG_GET_READ_FUNC_E, &readParams), d().success);
    EXPECT_EQ(readParams.readFunc, readOf(member()));

    const uint32_t unknown = d().startCode + 4;
    EXPECT_EQ(ioctl(SERVICEG_PHASE_START_E, unknown, nullptr), d().unknownIoctl);
    char line[64];
    std::snprintf(line, sizeof(line), "unknown IOCTL. ioctlNum = 0x%X", unknown);
    EXPECT_EQ(log_.count(line), 1u);
}

TEST_P(FrameOpsTest, StreamStartChecksTheDataTypeAndAddsTheSinkOnlyOnThePeersSuccess) {
    ASSERT_EQ(open(SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    // Another service's data type is refused here and never forwarded.
    const uint32_t foreign = member() == FRAME_SVCG_VIDEO_E ? 0x4000001 : 0x3000001;
    EXPECT_EQ(start(SERVICEG_PHASE_START_E, 1, foreign), d().wrongDataType);
    char line[96];
    std::snprintf(line, sizeof(line), "start %s cmd fail. wrong data type. dataType=0x%X", d().name, foreign);
    EXPECT_EQ(log_.count(line), 1u);
    std::string failed = d().startFailedText;
    failed.pop_back();
    EXPECT_EQ(log_.count(failed), 1u);

    EXPECT_EQ(start(SERVICEG_PHASE_START_E, 1), SERVICE__INCOMPLETE);
    std::snprintf(line, sizeof(line), "start %s stream command. handle downstream cmd. dataType=0x%X (%s channel=2)",
                  d().name, d().dataTypeFirst + 2, d().channelWord);
    EXPECT_EQ(log_.count(line), 1u);
    // The peer refused: nothing to finish.
    record_.peerStatus = 0x01040001;
    EXPECT_EQ(start(SERVICEG_PHASE_DONE_E, 1), SERVICE__INCOMPLETE);
    EXPECT_FALSE(STREAMERG_isSinkInUse(1));
    // The peer accepted.
    record_.peerStatus = 0;
    EXPECT_EQ(start(SERVICEG_PHASE_DONE_E, 1), SERVICE__INCOMPLETE);
    EXPECT_TRUE(STREAMERG_isSinkInUse(1));
    // A second start of the stream cannot add its sink and says so.
    EXPECT_EQ(start(SERVICEG_PHASE_DONE_E, 1), STREAMER__ERR_INVALID_ARGS);
    EXPECT_EQ(log_.count(failed), 2u);

    EXPECT_EQ(stop(SERVICEG_PHASE_START_E, 1), SERVICE__INCOMPLETE);
    EXPECT_TRUE(STREAMERG_isSinkInUse(1));  // only the peer's answer removes it
    EXPECT_EQ(stop(SERVICEG_PHASE_DONE_E, 1), SERVICE__INCOMPLETE);
    EXPECT_FALSE(STREAMERG_isSinkInUse(1));
    // Stopping a stream whose sink was never added fails.
    std::string stopFailed = d().stopFailedText;
    stopFailed.pop_back();
    EXPECT_EQ(stop(SERVICEG_PHASE_DONE_E, 3), STREAMER__ERR_INVALID_ARGS);
    EXPECT_EQ(log_.count(stopFailed), 1u);
}

TEST_P(FrameOpsTest, FragmentsOnTheFastPathAreReadAsOneFrameWithItsHeader) {
    ASSERT_EQ(open(SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    started(2);
    const Bytes a = linktest::pattern(700, 1), b = linktest::pattern(500, 2);
    EXPECT_EQ(deliver(2, 0, 2, a, 77), d().success);
    EXPECT_EQ(deliver(2, 1, 2, b, 77), d().success);

    std::vector<uint8_t> hdr(d().hdrRecordSize, 0xFF);
    VPUG_readItemT item{};
    item.hdrRecord = hdr.data();
    ASSERT_EQ(readOf(member())(&item, 2, 0), d().success);
    ASSERT_NE(item.buffer, nullptr);
    EXPECT_EQ(item.length, 1200u);
    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(Bytes(static_cast<uint8_t*>(item.data), static_cast<uint8_t*>(item.data) + item.length), expected);
    EXPECT_EQ(item.frameWord, 0x0B0A);
    EXPECT_EQ(item.frameValue, 77u);
    EXPECT_EQ(item.frameStamp, 0x1122334455667788ull + 77);
    EXPECT_EQ(item.hdrRecord, hdr.data());
    expectHeaderRecord(member(), hdr.data());
    VPUG_freeBufParams freeParams{item.buffer};
    EXPECT_EQ(ioctl(SERVICEG_PHASE_START_E, VPU_CMDG_FREE_BUF_E, &freeParams), d().success);

    // Without a header record only the item is filled.
    EXPECT_EQ(deliver(2, 0, 1, Bytes(9, 3), 78), d().success);
    VPUG_readItemT bare{};
    ASSERT_EQ(readOf(member())(&bare, 2, 0), d().success);
    EXPECT_EQ(bare.length, 9u);
    EXPECT_EQ(bare.frameValue, 78u);
    MEM_POOLG_freeBuff(bare.buffer);

    // A read that finds nothing leaves the length at 0.
    VPUG_readItemT none{};
    none.length = 1234;
    EXPECT_EQ(readOf(member())(&none, 2, 0), STREAMER__ERR_NOTHING_RECEIVED);
    EXPECT_EQ(none.length, 0u);
    EXPECT_EQ(none.buffer, nullptr);
    EXPECT_EQ(ops()->handleMsg(d().frameCode, nullptr, nullptr, 0, nullptr), d().success);
}

TEST_P(FrameOpsTest, FramesWithNowhereToGoAreReleased) {
    // Before open.
    EXPECT_EQ(deliver(0, 0, 1, Bytes(10, 1), 1), d().success);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
    ASSERT_EQ(open(SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    // No sink for the stream.
    EXPECT_EQ(deliver(0, 0, 1, Bytes(10, 1), 1), d().success);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
    // Stopped in the middle of a frame: the part that arrived goes back.
    started(0);
    EXPECT_EQ(deliver(0, 0, 3, Bytes(10, 1), 1), d().success);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount - 1);
    EXPECT_EQ(stop(SERVICEG_PHASE_DONE_E, 0), SERVICE__INCOMPLETE);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
    // Closed with a frame waiting and another arriving.
    started(0);
    EXPECT_EQ(deliver(0, 0, 1, Bytes(10, 1), 2), d().success);
    EXPECT_EQ(deliver(0, 0, 2, Bytes(10, 1), 3), d().success);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount - 2);
    EXPECT_EQ(close(SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
    // After close.
    EXPECT_EQ(deliver(0, 0, 1, Bytes(10, 1), 4), d().success);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool_), kBufCount);
}

TEST_P(FrameOpsTest, StatisticsNameTheServiceAndItsSinks) {
    ASSERT_EQ(open(SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    started(4);
    EXPECT_EQ(deliver(4, 0, 1, Bytes(10, 1), 1), d().success);
    switch (member()) {
        case FRAME_SVCG_DEPTH_E: DEPTHG_showStats(); break;
        case FRAME_SVCG_VIDEO_E: VIDEOG_showStats(); break;
        default: WEBCAMG_showStats(); break;
    }
    std::string title = d().statsTitle;
    title.pop_back();
    EXPECT_EQ(log_.count(title), 1u);
    EXPECT_EQ(log_.count("-------------------------"), 1u);
    EXPECT_EQ(log_.count("Service timing: Exist for 0 sec, running for 0 sec, 0 sec from last statistics"), 1u);
    EXPECT_EQ(log_.count(std::string("streamer on ") + d().name + " service:"), 1u);
    EXPECT_EQ(log_.count("totals: received 1(0MB) dropped: 0 dequed 0"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Family, FrameOpsTest,
                         ::testing::Values(FRAME_SVCG_DEPTH_E, FRAME_SVCG_VIDEO_E, FRAME_SVCG_WEBCAM_E), memberName);

TEST(FrameFamily, TableRowsMatchTheProtocol) {
    const struct {
        const char* name;
        uint32_t sid, connection, ctrl, data, start;
        uint32_t sinkBytes;
        ERRG_codeE success;
    } expected[] = {
        {"DEPTH", 4, 2, 7, 8, 0x4000001, 84, 0x10A0000},
        {"VIDEO", 3, 1, 5, 6, 0x3000001, 100, 0x10B0000},
        {"WEBCAM", 5, 3, 9, 10, 0x5000001, 52, 0x1290000},
    };
    for (uint32_t i = 0; i < FRAME_SVCG_NUM_MEMBERS; ++i) {
        const FRAME_SVCG_descT& d = FRAME_SVCG_family[i];
        EXPECT_STREQ(d.name, expected[i].name);
        EXPECT_EQ(d.sid, expected[i].sid);
        EXPECT_EQ(d.connection, expected[i].connection);
        EXPECT_EQ(d.ctrlChannel, expected[i].ctrl);
        EXPECT_EQ(d.dataChannel, expected[i].data);
        EXPECT_EQ(d.startCode, expected[i].start);
        EXPECT_EQ(d.stopCode, expected[i].start + 1);
        EXPECT_EQ(d.sinkHeaderBytes, expected[i].sinkBytes);
        EXPECT_EQ(d.success, expected[i].success);
        // The sink message carries no more than the frame record holds.
        EXPECT_LE(d.sinkHeaderBytes, MARSHALG_getIoctlSize(d.frameCode));
        EXPECT_LE(d.sinkHeaderBytes, STREAMERG_SINK_HDR_ROOM);
    }
}

TEST(FrameFamily, ProducerRecordsUnmarshalIntoTheServicesRecords) {
    for (FRAME_SVCG_memberE member : {FRAME_SVCG_DEPTH_E, FRAME_SVCG_VIDEO_E, FRAME_SVCG_WEBCAM_E}) {
        const FRAME_SVCG_descT& d = descOf(member);
        SimFrameProducer::Frame frame;
        frame.streamId = 5;
        frame.frameWord = 0x0B0A;
        frame.frameValue = 0xA1A2A3A4;
        frame.frameStamp = 0x0102030405060708ull;
        SimFrameProducer::Fragment fragment{2, 3, 4000, {}};
        Bytes wire = SimFrameProducer::wireRecord(routeOf(member), frame, fragment);
        ASSERT_EQ(wire.size(), MARSHALG_getMarshalledSize(d.frameCode)) << d.name;
        STREAMER_frameHdrT host[8]{};
        ASSERT_TRUE(MARSHALG_convert(MARSHALG_UNMARSHAL_E, d.frameCode, host, wire.data(),
                                     static_cast<uint32_t>(wire.size()), nullptr));
        EXPECT_EQ(host[0].streamId, 5u);
        EXPECT_EQ(host[0].frameWord, 0x0B0A);
        EXPECT_EQ(host[0].fragIndex, 2);
        EXPECT_EQ(host[0].fragLength, 4000u);
        EXPECT_EQ(host[0].fragCount, 3u);
        EXPECT_EQ(host[0].frameValue, 0xA1A2A3A4u);
        EXPECT_EQ(host[0].frameStamp, 0x0102030405060708ull);
    }
    // An empty frame is one fragment of no bytes; a frame is cut at the size.
    SimFrameProducer::Frame frame;
    EXPECT_EQ(SimFrameProducer::cut(frame, 100).size(), 1u);
    frame.data = Bytes(250, 1);
    const auto fragments = SimFrameProducer::cut(frame, 100);
    ASSERT_EQ(fragments.size(), 3u);
    EXPECT_EQ(fragments[2].declaredLength, 50u);
    EXPECT_EQ(fragments[2].count, 3u);
}

// ===================================================================================
// The three services against the simulated vision processor
// ===================================================================================

class FrameServiceTest : public ::testing::Test {
protected:
    static constexpr uint32_t kDataBufSize = 16384;
    static constexpr uint32_t kDataBufCount = 8;
    static constexpr uint32_t kCtrlBufSize = 1024;
    static constexpr uint32_t kCtrlBufCount = 16;
    static constexpr uint32_t kReadMs = 250;

    FrameServiceTest()
        : context_(std::make_shared<morv::driver::Context>()),
          usb_(zsim::SimUsb::installFresh()),
          vpu_(usb_),
          peer_(vpu_),
          producer_(vpu_) {}

    void SetUp() override {
        linktest::watchLog(log_);
        usb_.plug({0, 1, 2, 3});
        vpu_.start();
        MEM_POOLG_init();
        ctrlPool_ = linktest::heapPool(kCtrlBufSize, kCtrlBufCount);
        ASSERT_NE(ctrlPool_, nullptr);
        ASSERT_EQ(CONN_LYRG_init(), CONN_LYR__RET_SUCCESS);
        ASSERT_EQ(SVC_COMG_init(), SVC_COM__RET_SUCCESS);
        ASSERT_EQ(STREAMERG_init(), STREAMER__RET_SUCCESS);
        for (FRAME_SVCG_memberE member : kMembers) {
            const FRAME_SVCG_descT& d = descOf(member);
            peer_.serve(d.ctrlChannel);
            dataPool_[member] = reportingPool(kDataBufSize, kDataBufCount);
            ASSERT_NE(dataPool_[member], nullptr);
            ASSERT_NO_FATAL_FAILURE(linktest::openLink(&conn_[member], ifCfg_[member],
                                                       static_cast<uint8_t>(d.connection),
                                                       {{d.ctrlChannel, ctrlPool_, &channels_[member][0]},
                                                        {d.dataChannel, dataPool_[member], &channels_[member][1]}}));
            SERVICEG_initParamsT params{d.sid, 20 + d.sid, 16, channels_[member], opsOf(member), 10, 0, 0, nullptr};
            ASSERT_EQ(SERVICEG_init(&svc_[member], &params), SERVICE__RET_SUCCESS);
            // As the service manager does: phase 0 opens the host half, the
            // peer's answer (not exchanged here) would run phase 1.
            ASSERT_EQ(SERVICEG_open(svc_[member], SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
            ASSERT_EQ(SERVICEG_open(svc_[member], SERVICEG_PHASE_DONE_E), SERVICE__INCOMPLETE);
            VPUG_getReadFuncParams readParams{nullptr};
            ASSERT_EQ(SERVICEG_ioctl(svc_[member], VPU_CMDG_GET_READ_FUNC_E, &readParams, sizeof(readParams)),
                      d.success);
            ASSERT_EQ(readParams.readFunc, readOf(member));
            read_[member] = readParams.readFunc;
        }
    }

    void TearDown() override {
        for (FRAME_SVCG_memberE member : kMembers) {
            if (svc_[member] != nullptr) SERVICEG_close(svc_[member], SERVICEG_PHASE_START_E);
        }
        // Nothing the framework took from a service pool stayed behind. Such a
        // buffer can still be on its way back from the receive or the service
        // thread just after the close; de-initialisation stops both before it
        // closes the pool, which counts whatever is still out as stranded.
        const uint32_t strandedBefore = MEM_POOLG_getStrandedAtClose();
        for (FRAME_SVCG_memberE member : kMembers) {
            if (svc_[member] != nullptr) SERVICEG_deInit(svc_[member]);
        }
        EXPECT_EQ(MEM_POOLG_getStrandedAtClose(), strandedBefore);
        for (auto& pair : channels_) linktest::closeChannels(pair);
        linktest::closeLinks({}, conn_);
        vpu_.stop();
        // Every scenario returns every buffer of every pool.
        linktest::expectReturnedAndClose({ctrlPool_, dataPool_[0], dataPool_[1], dataPool_[2]});
        usb_.reset();
        LOGG_deinit();
    }

    ERRG_codeE startStream(FRAME_SVCG_memberE member, uint32_t stream, uint32_t dataType = 0) {
        const FRAME_SVCG_descT& d = descOf(member);
        VPUG_streamStartParams params{dataType != 0 ? dataType : d.dataTypeFirst + 1, stream};
        return SERVICEG_ioctl(svc_[member], d.startCode, &params, sizeof(params));
    }
    ERRG_codeE stopStream(FRAME_SVCG_memberE member, uint32_t stream) {
        VPUG_streamStopParams params{stream};
        return SERVICEG_ioctl(svc_[member], descOf(member).stopCode, &params, sizeof(params));
    }
    ERRG_codeE freeBuffer(FRAME_SVCG_memberE member, MEM_POOLG_bufDescT* buffer) {
        VPUG_freeBufParams params{buffer};
        return SERVICEG_ioctl(svc_[member], VPU_CMDG_FREE_BUF_E, &params, sizeof(params));
    }

    // A frame of the member's stream, its record tail patterned as the
    // host record would hold it (so that its fields can be checked).
    SimFrameProducer::Frame frame(FRAME_SVCG_memberE member, uint32_t stream, uint32_t value, Bytes data) {
        const FRAME_SVCG_descT& d = descOf(member);
        const Bytes host = hostRecord(member, stream, 0, 1, 0, value);
        Bytes wire(MARSHALG_getMarshalledSize(d.frameCode), 0);
        EXPECT_TRUE(MARSHALG_convert(MARSHALG_MARSHAL_E, d.frameCode, const_cast<uint8_t*>(host.data()), wire.data(),
                                     static_cast<uint32_t>(wire.size()), nullptr));
        SimFrameProducer::Frame f;
        f.streamId = stream;
        f.frameWord = 0x0B0A;
        f.word6 = 0x0D0C;
        f.frameValue = value;
        f.frameStamp = 0x1122334455667788ull + value;
        f.tail.assign(wire.begin() + SimFrameProducer::kGenericWireBytes, wire.end());
        f.data = std::move(data);
        return f;
    }

    // Reads one frame, checks its value and bytes, and gives it back.
    void expectFrame(FRAME_SVCG_memberE member, uint32_t stream, uint32_t value, const Bytes& data) {
        VPUG_readItemT item{};
        ASSERT_EQ(read_[member](&item, stream, kReadMs), descOf(member).success) << "frame " << value;
        EXPECT_EQ(item.frameValue, value);
        EXPECT_EQ(Bytes(static_cast<uint8_t*>(item.data), static_cast<uint8_t*>(item.data) + item.length), data);
        EXPECT_EQ(freeBuffer(member, item.buffer), descOf(member).success);
    }

    static constexpr FRAME_SVCG_memberE kMembers[] = {FRAME_SVCG_DEPTH_E, FRAME_SVCG_VIDEO_E, FRAME_SVCG_WEBCAM_E};

    linktest::LogWatcher log_;
    morv::driver::ScopedThreadContext context_;
    zsim::SimUsb& usb_;
    zsim::SimVpu vpu_;
    SimServicePeer peer_;
    SimFrameProducer producer_;
    MEM_POOLG_handleT ctrlPool_ = nullptr;
    MEM_POOLG_handleT dataPool_[3]{};
    CONN_LYRG_ifCfgT ifCfg_[3]{};
    CONN_LYRG_handleT conn_[3]{};
    SVC_COMG_handleT channels_[3][2]{};
    SERVICEG_serviceT* svc_[3]{};
    VPUG_readFuncT read_[3]{};
};

TEST_F(FrameServiceTest, EachServiceDeliversReassembledFramesWithTheirHeaders) {
    for (FRAME_SVCG_memberE member : kMembers) {
        SCOPED_TRACE(descOf(member).name);
        const uint32_t stream = member + 1;
        ASSERT_EQ(startStream(member, stream), 0u);
        // The request reached the peer on the service's control channel.
        ASSERT_TRUE(STREAMERG_isSinkInUse(stream));
        const Bytes data = linktest::pattern(10000, static_cast<uint8_t>(member));
        ASSERT_TRUE(producer_.sendFrame(routeOf(member), frame(member, stream, 100 + member, data), 4096));

        std::vector<uint8_t> hdr(descOf(member).hdrRecordSize, 0xFF);
        VPUG_readItemT item{};
        item.hdrRecord = hdr.data();
        ASSERT_EQ(read_[member](&item, stream, kReadMs), descOf(member).success);
        EXPECT_EQ(item.length, 10000u);
        EXPECT_EQ(Bytes(static_cast<uint8_t*>(item.data), static_cast<uint8_t*>(item.data) + item.length), data);
        EXPECT_EQ(item.frameWord, 0x0B0A);
        EXPECT_EQ(item.frameValue, 100u + member);
        EXPECT_EQ(item.frameStamp, 0x1122334455667788ull + 100 + member);
        expectHeaderRecord(member, hdr.data());
        EXPECT_EQ(freeBuffer(member, item.buffer), descOf(member).success);

        EXPECT_EQ(stopStream(member, stream), 0u);
        EXPECT_FALSE(STREAMERG_isSinkInUse(stream));
        EXPECT_EQ(MEM_POOLG_getNumFree(dataPool_[member]), kDataBufCount);
    }
    const auto requests = peer_.requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].channel, 7u);
    EXPECT_EQ(requests[0].header().code, 0x4000001u);
    EXPECT_EQ(requests[2].channel, 5u);
    EXPECT_EQ(requests[4].channel, 9u);
}

TEST_F(FrameServiceTest, FullSinkDropsAndCountsFramesTheReaderDidNotTake) {
    const FRAME_SVCG_memberE depth = FRAME_SVCG_DEPTH_E;
    ASSERT_EQ(startStream(depth, 0), 0u);
    ASSERT_EQ(startStream(depth, 1), 0u);
    for (uint32_t i = 0; i < 6; ++i)
        ASSERT_TRUE(producer_.sendFrame(routeOf(depth), frame(depth, 0, i, Bytes(3000, static_cast<uint8_t>(i))), 1024));
    // The receive thread handles packets in order: once the marker on stream 1
    // is readable, every frame of stream 0 has been pushed or dropped.
    ASSERT_TRUE(producer_.sendFrame(routeOf(depth), frame(depth, 1, 99, Bytes(10, 9)), 1024));
    expectFrame(depth, 1, 99, Bytes(10, 9));

    const STREAMER_sinkCountersT counters = STREAMERG_getSinkCounters(0);
    EXPECT_EQ(counters.received, 4u);
    EXPECT_EQ(counters.dropped, 2u);
    EXPECT_EQ(freeOnceReturned(dataPool_[depth], kDataBufCount - 4), kDataBufCount - 4);
    for (uint32_t i = 0; i < 4; ++i) expectFrame(depth, 0, i, Bytes(3000, static_cast<uint8_t>(i)));
    EXPECT_EQ(STREAMERG_getSinkCounters(0).dequeued, 4u);
    EXPECT_EQ(freeOnceReturned(dataPool_[depth], kDataBufCount), kDataBufCount);
}

TEST_F(FrameServiceTest, DamagedFragmentSequencesDropOnlyTheirOwnFrames) {
    const FRAME_SVCG_memberE video = FRAME_SVCG_VIDEO_E;
    const auto& route = routeOf(video);
    ASSERT_EQ(startStream(video, 3), 0u);
    const Bytes data = linktest::pattern(3000, 5);

    // Out of order.
    auto f1 = frame(video, 3, 1, data);
    auto cut1 = SimFrameProducer::cut(f1, 1000);
    std::swap(cut1[1], cut1[2]);
    ASSERT_TRUE(producer_.send(route, f1, cut1));
    // Missing its middle fragment.
    auto f2 = frame(video, 3, 2, data);
    auto cut2 = SimFrameProducer::cut(f2, 1000);
    cut2.erase(cut2.begin() + 1);
    ASSERT_TRUE(producer_.send(route, f2, cut2));
    // Restarted: two fragments of a frame, then a whole new one.
    auto f3 = frame(video, 3, 3, data);
    auto cut3 = SimFrameProducer::cut(f3, 1000);
    cut3.pop_back();
    ASSERT_TRUE(producer_.send(route, f3, cut3));
    const Bytes restarted = linktest::pattern(2500, 6);
    ASSERT_TRUE(producer_.sendFrame(route, frame(video, 3, 4, restarted), 1000));
    // A fragment that claims more bytes than it carries.
    auto f5 = frame(video, 3, 5, data);
    auto cut5 = SimFrameProducer::cut(f5, 1000);
    cut5[1].declaredLength += 100;
    ASSERT_TRUE(producer_.send(route, f5, cut5));
    // A frame larger than its first buffer can hold.
    const Bytes huge(kDataBufSize, 7);
    ASSERT_TRUE(producer_.sendFrame(route, frame(video, 3, 6, huge), 8000));
    // A good frame after all of them.
    ASSERT_TRUE(producer_.sendFrame(route, frame(video, 3, 7, data), 1000));

    expectFrame(video, 3, 4, restarted);
    expectFrame(video, 3, 7, data);
    VPUG_readItemT item{};
    EXPECT_EQ(read_[video](&item, 3, 0), STREAMER__ERR_NOTHING_RECEIVED);
    EXPECT_EQ(item.length, 0u);
    EXPECT_EQ(STREAMERG_getSinkCounters(3).received, 2u);
    EXPECT_GE(log_.count("Dropping frag"), 4u);
    EXPECT_EQ(log_.count("Abandoning in progress frame. Resyncing to current frame."), 1u);
    EXPECT_EQ(freeOnceReturned(dataPool_[video], kDataBufCount), kDataBufCount);
}

TEST_F(FrameServiceTest, PeersRefusalAddsNoSinkAndAFailedSinkAddIsTheCallersResult) {
    const FRAME_SVCG_memberE depth = FRAME_SVCG_DEPTH_E;
    constexpr uint32_t kRefused = 0x03040007;
    peer_.setAnswer(DEPTH_STREAM_START_E, {kRefused, std::nullopt, 0ms, false});
    EXPECT_EQ(startStream(depth, 2), kRefused);
    EXPECT_FALSE(STREAMERG_isSinkInUse(2));
    peer_.clearAnswer(DEPTH_STREAM_START_E);

    ASSERT_EQ(startStream(depth, 2), 0u);
    EXPECT_TRUE(STREAMERG_isSinkInUse(2));
    // The peer accepts the same stream again, but its sink exists already.
    EXPECT_EQ(startStream(depth, 2), STREAMER__ERR_INVALID_ARGS);
    EXPECT_EQ(log_.count("start DEPTH stream failed"), 1u);

    // A wrong data type never reaches the peer.
    const size_t before = peer_.requests().size();
    EXPECT_EQ(startStream(depth, 5, 0x3000001), DEPTH__ERR_WRONG_DATA_TYPE);
    EXPECT_EQ(peer_.requests().size(), before);

    // A refused stop keeps the sink; stopping a stream that has none fails.
    peer_.setAnswer(DEPTH_STREAM_STOP_E, {kRefused, std::nullopt, 0ms, false});
    EXPECT_EQ(stopStream(depth, 2), kRefused);
    EXPECT_TRUE(STREAMERG_isSinkInUse(2));
    peer_.clearAnswer(DEPTH_STREAM_STOP_E);
    EXPECT_EQ(stopStream(depth, 2), 0u);
    EXPECT_EQ(stopStream(depth, 6), STREAMER__ERR_INVALID_ARGS);
    EXPECT_EQ(log_.count("stop DEPTH stream failed"), 1u);
}

TEST_F(FrameServiceTest, ClosingWithFramesWaitingAndArrivingReturnsEveryBuffer) {
    const FRAME_SVCG_memberE webcam = FRAME_SVCG_WEBCAM_E;
    const auto& route = routeOf(webcam);
    ASSERT_EQ(startStream(webcam, 4), 0u);
    ASSERT_EQ(startStream(webcam, 5), 0u);
    ASSERT_TRUE(producer_.sendFrame(route, frame(webcam, 4, 1, Bytes(2000, 1)), 1000));
    ASSERT_TRUE(producer_.sendFrame(route, frame(webcam, 4, 2, Bytes(2000, 2)), 1000));
    auto partial = frame(webcam, 4, 3, Bytes(3000, 3));
    auto cut = SimFrameProducer::cut(partial, 1000);
    cut.pop_back();
    ASSERT_TRUE(producer_.send(route, partial, cut));
    // No sink on stream 6: that frame is released as it completes.
    ASSERT_TRUE(producer_.sendFrame(route, frame(webcam, 6, 4, Bytes(100, 4)), 1000));
    ASSERT_TRUE(producer_.sendFrame(route, frame(webcam, 5, 5, Bytes(10, 5)), 1000));
    expectFrame(webcam, 5, 5, Bytes(10, 5));
    // Two frames wait and one is in progress.
    EXPECT_EQ(freeOnceReturned(dataPool_[webcam], kDataBufCount - 3), kDataBufCount - 3);

    EXPECT_EQ(SERVICEG_close(svc_[webcam], SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    EXPECT_EQ(freeOnceReturned(dataPool_[webcam], kDataBufCount), kDataBufCount);
    EXPECT_FALSE(STREAMERG_isSinkInUse(4));
    EXPECT_FALSE(STREAMERG_isSinkInUse(5));
    VPUG_readItemT item{};
    EXPECT_NE(read_[webcam](&item, 4, 0), WEBCAM__RET_SUCCESS);
    EXPECT_EQ(log_.count("Stream closed for WEBCAM"), 1u);
}

TEST_F(FrameServiceTest, MalformedDataMessagesAreDroppedAndTheStreamGoesOn) {
    const FRAME_SVCG_memberE depth = FRAME_SVCG_DEPTH_E;
    const auto& route = routeOf(depth);
    ASSERT_EQ(startStream(depth, 0), 0u);
    // A fragment record cut short, a data message of another code, and a
    // fragment for a stream id outside 0..7.
    ASSERT_TRUE(vpu_.sendPacket(route.iface, route.dataChannel,
                                zsim::VpuHeader::make(2, 20, DEPTH_FRAME_E), Bytes(20, 0)));
    ASSERT_TRUE(vpu_.sendPacket(route.iface, route.dataChannel,
                                zsim::VpuHeader::make(2, 8, DEPTH_STREAM_START_E), Bytes(8, 0)));
    ASSERT_TRUE(producer_.sendFrame(route, frame(depth, 9, 1, Bytes(100, 1)), 1000));
    ASSERT_TRUE(producer_.sendFrame(route, frame(depth, 0, 2, Bytes(100, 2)), 1000));
    expectFrame(depth, 0, 2, Bytes(100, 2));
    EXPECT_EQ(svc_[depth]->rejected.load(), 1u);
    EXPECT_EQ(freeOnceReturned(dataPool_[depth], kDataBufCount), kDataBufCount);
}

TEST_F(FrameServiceTest, UnplugInTheMiddleOfAFrameLosesNoBuffer) {
    const FRAME_SVCG_memberE depth = FRAME_SVCG_DEPTH_E;
    const auto& route = routeOf(depth);
    ASSERT_EQ(startStream(depth, 0), 0u);
    ASSERT_EQ(startStream(depth, 1), 0u);
    ASSERT_TRUE(producer_.sendFrame(route, frame(depth, 0, 1, Bytes(2000, 1)), 1000));
    auto partial = frame(depth, 0, 2, Bytes(3000, 2));
    auto cut = SimFrameProducer::cut(partial, 1000);
    cut.pop_back();
    ASSERT_TRUE(producer_.send(route, partial, cut));
    ASSERT_TRUE(producer_.sendFrame(route, frame(depth, 1, 3, Bytes(10, 3)), 1000));
    expectFrame(depth, 1, 3, Bytes(10, 3));
    usb_.unplug();
    // The waiting frame can still be read; the one cut off stays in progress
    // until the service closes.
    expectFrame(depth, 0, 1, Bytes(2000, 1));
    EXPECT_EQ(freeOnceReturned(dataPool_[depth], kDataBufCount - 1), kDataBufCount - 1);
    EXPECT_EQ(SERVICEG_close(svc_[depth], SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    EXPECT_EQ(freeOnceReturned(dataPool_[depth], kDataBufCount), kDataBufCount);
}

}  // namespace

// --- what the device must not be able to make the host do -------------------------------

// The two codes whose record is a host address, as a faulty or hostile device
// could send them: a pointer to free (here a live buffer of the data pool, so
// that freeing it would show) or a read function to fill in and send back.
TEST_F(FrameServiceTest, HostOnlyCodesFromTheDeviceAreDroppedBeforeAnyServiceActs) {
    struct Case {
        uint32_t type;
        uint32_t flags;
        uint32_t code;
        bool onData;
    };
    const Case cases[] = {
        {SERVICEG_MSG_REQUEST_E, 1, VPU_CMDG_FREE_BUF_E, false},
        {SERVICEG_MSG_RESPONSE_E, 0, VPU_CMDG_FREE_BUF_E, false},
        {SERVICEG_MSG_RESPONSE_E, 1, VPU_CMDG_FREE_BUF_E, false},
        {SERVICEG_MSG_DATA_E, 0, VPU_CMDG_FREE_BUF_E, true},
        {SERVICEG_MSG_REQUEST_E, 1, VPU_CMDG_GET_READ_FUNC_E, false},
        {SERVICEG_MSG_RESPONSE_E, 1, VPU_CMDG_GET_READ_FUNC_E, false},
        {SERVICEG_MSG_REQUEST_E, 1, VPU_CMDG_GET_READ_FUNC_E, true},
    };
    size_t warned = 0;
    for (FRAME_SVCG_memberE member : kMembers) {
        SCOPED_TRACE(descOf(member).name);
        const FRAME_SVCG_descT& d = descOf(member);
        const auto& route = routeOf(member);
        MEM_POOLG_bufDescT* victim = nullptr;
        ASSERT_EQ(MEM_POOLG_alloc(dataPool_[member], 16, &victim), MEM_POOL__RET_SUCCESS);
        Bytes pointer;
        zsim::putLe(pointer, reinterpret_cast<uintptr_t>(victim), 8);
        const size_t requestsBefore = peer_.requests().size();
        for (const Case& c : cases) {
            const uint32_t channel = c.onData ? route.dataChannel : d.ctrlChannel;
            ASSERT_TRUE(vpu_.sendPacket(route.iface, channel, zsim::VpuHeader::make(c.type, 8, c.code, 0, c.flags),
                                        c.code == VPU_CMDG_FREE_BUF_E ? pointer : Bytes(8, 0)));
        }
        warned += std::size(cases);
        ASSERT_TRUE(log_.waitFor("host-only msgcode=", warned, 2000ms));
        // A round trip behind them: had any reached the service thread, its
        // answer would have gone to the peer before this request.
        ASSERT_EQ(startStream(member, 6), 0u);
        ASSERT_EQ(stopStream(member, 6), 0u);

        EXPECT_EQ(MEM_POOLG_getNumFree(dataPool_[member]), kDataBufCount - 1) << "the device freed a host buffer";
        EXPECT_EQ(svc_[member]->hostOnlyDrops.load(), std::size(cases));
        EXPECT_EQ(svc_[member]->ctrlDrops.load() + svc_[member]->dataDrops.load(), std::size(cases));
        EXPECT_EQ(peer_.requests().size(), requestsBefore + 2);  // start and stop only
        for (const auto& packet : peer_.dataMessages())
            EXPECT_NE(packet.header().code & 0xFFFFFFu, VPU_CMDG_GET_READ_FUNC_E) << "a read function went out";
        MEM_POOLG_freeBuff(victim);
    }
    EXPECT_TRUE(peer_.dataMessages().empty());
    EXPECT_EQ(log_.count("pkt drop"), 0u);  // one line per drop, the WARN
}

TEST_F(FrameServiceTest, ForgedStreamAnswersAddNoSinkAndReachNoCaller) {
    size_t round = 0;
    for (FRAME_SVCG_memberE member : kMembers) {
        SCOPED_TRACE(descOf(member).name);
        const FRAME_SVCG_descT& d = descOf(member);
        const auto& route = routeOf(member);
        Bytes start;
        zsim::putLe(start, d.dataTypeFirst + 1, 4);
        zsim::putLe(start, 5, 4);
        const uint32_t staleBefore = svc_[member]->staleAnswers.load();
        const uint32_t rejectedBefore = svc_[member]->rejected.load();
        // An answer nobody asked for, the same for the peer itself (remote
        // flags), and a request whose answer would go to a host caller.
        ASSERT_TRUE(vpu_.sendPacket(route.iface, d.ctrlChannel, zsim::VpuHeader::make(1, 8, d.startCode), start));
        ASSERT_TRUE(vpu_.sendPacket(route.iface, d.ctrlChannel, zsim::VpuHeader::make(1, 8, d.startCode, 0, 1), start));
        ASSERT_TRUE(vpu_.sendPacket(route.iface, d.ctrlChannel, zsim::VpuHeader::make(0, 8, d.startCode), start));
        ++round;
        ASSERT_TRUE(log_.waitFor("unsolicited answer", 2 * round, 2000ms));
        ASSERT_TRUE(log_.waitFor("answering the host dropped", round, 2000ms));
        EXPECT_FALSE(STREAMERG_isSinkInUse(5)) << "a forged answer added a sink";
        EXPECT_EQ(svc_[member]->staleAnswers.load(), staleBefore + 2);
        EXPECT_EQ(svc_[member]->rejected.load(), rejectedBefore + 1);

        // The stream the caller does start gets its sink from the real answer.
        ASSERT_EQ(startStream(member, 5), 0u);
        EXPECT_TRUE(STREAMERG_isSinkInUse(5));
        ASSERT_EQ(stopStream(member, 5), 0u);
        EXPECT_FALSE(STREAMERG_isSinkInUse(5));
    }
    EXPECT_TRUE(peer_.dataMessages().empty()) << "a forged answer was forwarded to the device";
}
