// ALG service: its operations called directly, and the service under the
// framework reading algorithm results from the simulated processor and
// sending it a table.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host_lib/alg_svc.h"
#include "host_lib/tests/sensor_svc_fixture.h"

namespace {

using namespace std::chrono_literals;
using sensortest::Bytes;
using zsim::SimSensorProducers;

std::unique_ptr<ALGG_resultRecordT> resultRecord(uint32_t index) {
    auto record = std::make_unique<ALGG_resultRecordT>();
    std::memset(record.get(), 0, sizeof(*record));
    record->result.word8 = index;
    record->result.word12 = index + 100;
    record->result.word16 = index + 200;
    std::memset(record->result.block0, static_cast<int>(index), sizeof(record->result.block0));
    std::memset(record->result.block1, static_cast<int>(index + 1), sizeof(record->result.block1));
    return record;
}

class AlgOps : public sensortest::OpsTest {
protected:
    void open() { runPhases(&ALGG_open, ALG__RET_SUCCESS); }
    // A queue exists: the close's start phase tells the peer.
    void close() { runPhases(&ALGG_close, ALG__RET_SUCCESS); }
    ERRG_codeE ioctl(uint32_t code, void* params = nullptr, uint32_t phase = SERVICEG_PHASE_START_E) {
        SERVICEG_requestT r = request(phase, code, params);
        return ALGG_hostIoctl(&r);
    }
    ERRG_codeE deliver(uint32_t index, MEM_POOLG_bufDescT* chain = nullptr) {
        auto record = resultRecord(index);
        MEM_POOLG_bufDescT* link = chain;
        const ERRG_codeE status =
            ALGP_hostReceiveFrame(ALG_RESULT_E, record.get(), chain != nullptr ? chain->data : nullptr,
                                  chain != nullptr ? chain->len : 0, chain != nullptr ? &link : nullptr);
        MEM_POOLG_freeBuff(link);  // as the framework does with what stays linked
        return status;
    }
    VPUG_readFuncT readFunc() {
        VPUG_getReadFuncParams params{};
        EXPECT_EQ(ioctl(VPU_CMDG_GET_READ_FUNC_E, &params), ALG__RET_SUCCESS);
        return params.readFunc;
    }
};

TEST_F(AlgOps, StartedServiceQueuesResultsAndTheReadCopiesThemOutAndFreesTheChain) {
    open();
    ASSERT_EQ(ioctl(ALG_START_E), SERVICE__INCOMPLETE);
    const uint32_t all = freeBuffers();
    EXPECT_EQ(deliver(1), ALG__RET_SUCCESS);  // no payload: the holder is null
    EXPECT_EQ(deliver(2, payloadBuffer({7, 7})), ALG__RET_SUCCESS);
    EXPECT_EQ(freeBuffers(), all - 1);

    VPUG_readFuncT read = readFunc();
    auto got = std::make_unique<ALGG_resultT>();
    VPUG_readItemT item{};
    item.hdrRecord = got.get();
    for (uint32_t index : {1u, 2u}) {
        item.buffer = reinterpret_cast<MEM_POOLG_bufDescT*>(&item);  // must be cleared
        ASSERT_EQ(read(&item, 0, 100), ALG__RET_SUCCESS);
        EXPECT_EQ(item.buffer, nullptr);
        auto expected = resultRecord(index);
        EXPECT_EQ(std::memcmp(got.get(), &expected->result, sizeof(ALGG_resultT)), 0) << index;
    }
    EXPECT_EQ(freeBuffers(), all);
    // A reader without a result record still takes the result off the queue.
    deliver(3, payloadBuffer({1}));
    item.hdrRecord = nullptr;
    EXPECT_EQ(read(&item, 0, 100), ALG__RET_SUCCESS);
    EXPECT_EQ(freeBuffers(), all);
    item.length = 5;
    EXPECT_EQ(read(&item, 0, 20), ALG__ERR_READ_TIMEOUT);
    EXPECT_EQ(item.length, 0u);
    close();
}

TEST_F(AlgOps, ResultsBeforeOpenBeforeStartAfterStopAndAfterCloseAreFreedNotQueued) {
    const uint32_t all = freeBuffers();
    EXPECT_EQ(deliver(1), ALG__RET_SUCCESS);  // the state mutex exists before any open
    EXPECT_EQ(deliver(2, payloadBuffer({1})), ALG__RET_SUCCESS);
    open();
    deliver(3, payloadBuffer({2}));
    ioctl(ALG_START_E);
    ioctl(ALG_STOP_E);
    deliver(4, payloadBuffer({3}));
    EXPECT_EQ(freeBuffers(), all);
    EXPECT_EQ(ALGG_getStats().queued, 0u);
    EXPECT_EQ(ALGG_getStats().dropped, 2u);  // counted since the open
    VPUG_readItemT item{};
    EXPECT_EQ(readFunc()(&item, 0, 10), ALG__ERR_READ_TIMEOUT);
    close();
    EXPECT_EQ(deliver(5, payloadBuffer({4})), ALG__RET_SUCCESS);
    EXPECT_EQ(freeBuffers(), all);
}

TEST_F(AlgOps, FullQueueFreesTheNextResultsChainAndCloseFreesWhatIsQueued) {
    open();
    ioctl(ALG_START_E);
    const uint32_t all = freeBuffers();
    deliver(0, payloadBuffer({1}));
    for (uint32_t i = 1; i < ALGG_QUEUE_DEPTH; ++i) deliver(i);
    EXPECT_EQ(freeBuffers(), all - 1);
    EXPECT_EQ(deliver(999, payloadBuffer({2})), ALG__RET_SUCCESS);
    EXPECT_EQ(freeBuffers(), all - 1);
    EXPECT_EQ(ALGG_getStats().overflows, 1u);
    close();
    EXPECT_EQ(freeBuffers(), all);
    // No queue any more: open, close and start are answered here.
    SERVICEG_requestT closeAgain = request(SERVICEG_PHASE_START_E);
    EXPECT_EQ(ALGG_close(&closeAgain), ALG__RET_SUCCESS);
}

TEST_F(AlgOps, IoctlAnswers) {
    open();
    // Codes the host does not handle go to the peer.
    EXPECT_EQ(ioctl(0x07000005), SERVICE__INCOMPLETE);
    EXPECT_EQ(ioctl(ALG_START_E, nullptr, SERVICEG_PHASE_DONE_E), ALG__RET_SUCCESS);
    EXPECT_EQ(ALGG_getStats().state, ALGG_STATE_OPENED_E);  // the done phase changes nothing
    EXPECT_EQ(log_.count("start ALG service. handle cmd start"), 0u);
    VPUG_freeBufParams free{payloadBuffer({1})};
    EXPECT_EQ(ioctl(VPU_CMDG_FREE_BUF_E, &free), ALG__RET_SUCCESS);
    // A table too large for a packet, or without its entries, is refused.
    ALGG_tableRequestT huge{1, 2, 3, 0x10000000u, &free};
    EXPECT_EQ(ioctl(ALG_SEND_TABLE_E, &huge), ALG__ERR_INVALID_ARGS);
    ALGG_tableRequestT missing{1, 2, 3, 2, nullptr};
    EXPECT_EQ(ioctl(ALG_SEND_TABLE_E, &missing), ALG__ERR_INVALID_ARGS);
    EXPECT_EQ(ALGP_hostHandleMsg(ALG_RESULT_E, nullptr, nullptr, 0, nullptr), ALG__RET_SUCCESS);
    EXPECT_STREQ(ALGG_getOps()->getName(), "ALG");
    EXPECT_EQ(ALGG_getOps()->dataFastPath, &ALGP_hostReceiveFrame);
    EXPECT_EQ(ALGG_getOps()->handleMsg, &ALGP_hostHandleMsg);
    close();
}

// --- against the simulated processor -----------------------------------------------------

class AlgComponent : public sensortest::ComponentTest {
protected:
    AlgComponent() : ComponentTest(VPUG_SID_ALG, 11, ALGG_getOps()) {}

    ERRG_codeE start() {
        ALGG_ctrlParamsT params{1, 0};
        return ioctl(ALG_START_E, &params);
    }
    VPUG_readFuncT readFunc() {
        VPUG_getReadFuncParams params{};
        EXPECT_EQ(ioctl(VPU_CMDG_GET_READ_FUNC_E, &params), ALG__RET_SUCCESS);
        return params.readFunc;
    }
};

TEST_F(AlgComponent, ResultsAreReadInOrderAndEveryBufferReturns) {
    openService();
    ASSERT_TRUE(ERRG_SUCCEEDED(start()));
    VPUG_readFuncT read = readFunc();
    ASSERT_NE(read, nullptr);
    constexpr uint32_t kCount = 12;
    for (uint32_t i = 0; i < kCount; ++i)
        ASSERT_TRUE(producers_.sendAlgResult(i, i % 3 == 0 ? Bytes(100, 0x5A) : Bytes{}));
    auto got = std::make_unique<ALGG_resultT>();
    for (uint32_t i = 0; i < kCount; ++i) {
        VPUG_readItemT item{};
        item.hdrRecord = got.get();
        ASSERT_EQ(read(&item, 0, 2000), ALG__RET_SUCCESS) << i;
        const SimSensorProducers::AlgResult expected = SimSensorProducers::algResult(i);
        EXPECT_EQ(got->word8, expected.word8);
        EXPECT_EQ(got->word12, expected.word12);
        EXPECT_EQ(got->word16, expected.word16);
        EXPECT_EQ(Bytes(got->block0, got->block0 + sizeof(got->block0)), expected.block0);
        EXPECT_EQ(Bytes(got->block1, got->block1 + sizeof(got->block1)), expected.block1);
    }
    EXPECT_EQ(freeData(), kDataBufCount);
    closeService();
}

TEST_F(AlgComponent, TableOfThreeEntriesGoesOutAsOneDataMessage) {
    openService();
    const uint8_t entries[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    ALGG_tableRequestT table{0x11, 0x22, 0x33, 3, entries};
    ASSERT_TRUE(ERRG_SUCCEEDED(ioctl(ALG_SEND_TABLE_E, &table)));
    ASSERT_TRUE(peer_.waitForDataMessages(1, 2000ms));
    const zsim::VpuPacket packet = peer_.dataMessages().front();
    EXPECT_EQ(packet.channel, 12u);
    EXPECT_EQ(packet.header().code, VPU_CMDG_ALG_STREAM_LAST_E);
    EXPECT_EQ(packet.header().type(), 2u);
    EXPECT_EQ(packet.header().payloadLength(), 40u);
    Bytes expected = {0x11, 0, 0, 0, 0x22, 0, 0, 0, 0x33, 0, 0, 0, 3, 0, 0, 0};
    expected.insert(expected.end(), entries, entries + sizeof(entries));
    EXPECT_EQ(packet.payload(), expected);
    closeService();
}

TEST_F(AlgComponent, UnreadResultsOverflowTheQueueAndCloseReturnsEveryBuffer) {
    openService();
    ASSERT_TRUE(ERRG_SUCCEEDED(start()));
    ASSERT_TRUE(producers_.sendAlgResult(0, Bytes(32, 1)));
    for (uint32_t i = 1; i < ALGG_QUEUE_DEPTH; ++i) ASSERT_TRUE(producers_.sendAlgResult(i));
    ASSERT_TRUE(producers_.sendAlgResult(ALGG_QUEUE_DEPTH, Bytes(32, 2)));
    ASSERT_TRUE(log_.waitFor("result queue full", 1, 3000ms));
    // The stop's answer comes after the results on the same connection: once
    // it is back, only the first result's chain is still held, by the queue.
    ALGG_ctrlParamsT params{0, 0};
    EXPECT_TRUE(ERRG_SUCCEEDED(ioctl(ALG_STOP_E, &params)));
    EXPECT_EQ(freeDataSettled(kDataBufCount - 1), kDataBufCount - 1);
    closeService();
    EXPECT_EQ(freeData(), kDataBufCount);
}

TEST_F(AlgComponent, ResultsBeforeOpenAndBeforeStartAreDropped) {
    // The framework runs the fast path for this although the service was never opened.
    ASSERT_TRUE(producers_.sendAlgResult(1, Bytes(16, 1)));
    openService();
    ASSERT_TRUE(producers_.sendAlgResult(2, Bytes(16, 2)));
    // A forwarded request that changes nothing: its answer follows the
    // results on the same connection, so both have been handled when it returns.
    uint32_t words[4] = {1, 2, 0, 0};
    ASSERT_TRUE(ERRG_SUCCEEDED(SERVICEG_ioctl(svc_, 0x07000005, words, sizeof(words))));
    EXPECT_EQ(freeData(), kDataBufCount);
    EXPECT_EQ(ALGG_getStats().queued, 0u);
    ASSERT_TRUE(ERRG_SUCCEEDED(start()));
    VPUG_readItemT item{};
    EXPECT_EQ(readFunc()(&item, 0, 20), ALG__ERR_READ_TIMEOUT);
    closeService();
}

}  // namespace
