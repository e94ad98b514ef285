// POS_SENSORS service: its operations called directly, and the service under
// the framework reading inertial samples from the simulated processor.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "host_lib/pos_sensors_svc.h"
#include "host_lib/tests/sensor_svc_fixture.h"

namespace {

using namespace std::chrono_literals;
using sensortest::Bytes;

VPUG_posSensorSample sample(uint16_t sensor, uint64_t stamp) {
    VPUG_posSensorSample s{};
    s.sensorIndex = sensor;
    s.kind = 1;
    s.timestamp = stamp;
    for (uint32_t i = 0; i < 4; ++i) s.values[i] = static_cast<uint32_t>(stamp) + i;
    return s;
}

class PosSensorsOps : public sensortest::OpsTest {
protected:
    void open() { runPhases(&POS_SENSORSG_open, POS_SENSORS__RET_SUCCESS); }
    ERRG_codeE ioctl(uint32_t code, void* params = nullptr, uint32_t phase = SERVICEG_PHASE_START_E) {
        SERVICEG_requestT r = request(phase, code, params);
        return POS_SENSORSG_hostIoctl(&r);
    }
    void close() { runPhases(&POS_SENSORSG_close, POS_SENSORS__RET_SUCCESS); }
    // Hands one sample to the fast path the way the framework does: a holder
    // that links the payload chain, or none for a sample without payload.
    ERRG_codeE deliver(VPUG_posSensorSample s, MEM_POOLG_bufDescT* chain = nullptr,
                       uint32_t code = POS_SENSORS_SAMPLE_E) {
        MEM_POOLG_bufDescT* link = chain;
        ERRG_codeE status = POS_SENSORSP_hostReceiveFrame(code, &s, chain != nullptr ? chain->data : nullptr,
                                                          chain != nullptr ? chain->len : 0,
                                                          chain != nullptr ? &link : nullptr);
        // The framework releases whatever stays linked.
        MEM_POOLG_freeBuff(link);
        return status;
    }
    VPUG_readFuncT readFunc() {
        VPUG_getReadFuncParams params{};
        EXPECT_EQ(ioctl(VPU_CMDG_GET_READ_FUNC_E, &params), POS_SENSORS__RET_SUCCESS);
        return params.readFunc;
    }
};

TEST_F(PosSensorsOps, SamplesWithAndWithoutPayloadAreQueuedAndReadInOrder) {
    open();
    ASSERT_EQ(ioctl(POS_SENSORS_START_E), SERVICE__INCOMPLETE);
    const uint32_t before = freeBuffers();
    EXPECT_EQ(deliver(sample(0, 100)), POS_SENSORS__RET_SUCCESS);  // no payload: the holder is null
    EXPECT_EQ(deliver(sample(1, 200), payloadBuffer({1, 2, 3})), POS_SENSORS__RET_SUCCESS);
    // The queued chain stays with its sample.
    EXPECT_EQ(freeBuffers(), before - 1);

    VPUG_readFuncT read = readFunc();
    ASSERT_NE(read, nullptr);
    VPUG_posSensorSample got{};
    VPUG_readItemT item{};
    item.hdrRecord = &got;
    ASSERT_EQ(read(&item, 0, 100), POS_SENSORS__RET_SUCCESS);
    EXPECT_EQ(item.buffer, nullptr);
    EXPECT_EQ(got.sensorIndex, 0);
    EXPECT_EQ(got.timestamp, 100u);
    ASSERT_EQ(read(&item, 0, 100), POS_SENSORS__RET_SUCCESS);
    EXPECT_EQ(got.sensorIndex, 1);
    EXPECT_EQ(got.timestamp, 200u);
    EXPECT_EQ(got.values[3], 203u);
    ASSERT_NE(item.buffer, nullptr);
    EXPECT_EQ(Bytes(static_cast<uint8_t*>(item.buffer->data), static_cast<uint8_t*>(item.buffer->data) + 3),
              (Bytes{1, 2, 3}));
    VPUG_freeBufParams free{item.buffer};
    EXPECT_EQ(ioctl(VPU_CMDG_FREE_BUF_E, &free), POS_SENSORS__RET_SUCCESS);
    EXPECT_EQ(freeBuffers(), before);
    EXPECT_EQ(POS_SENSORSG_getStats().received, 2u);
    close();
}

TEST_F(PosSensorsOps, ReadWithoutSampleRecordHandsOutTheChainOnly) {
    open();
    ioctl(POS_SENSORS_START_E);
    deliver(sample(2, 7), payloadBuffer({9}));
    VPUG_readItemT item{};  // no sample record
    ASSERT_EQ(readFunc()(&item, 0, 100), POS_SENSORS__RET_SUCCESS);
    ASSERT_NE(item.buffer, nullptr);
    MEM_POOLG_freeBuff(item.buffer);
    close();
}

TEST_F(PosSensorsOps, EmptyQueueReadTimesOutWithLengthZero) {
    open();
    VPUG_readItemT item{};
    item.length = 77;
    EXPECT_EQ(readFunc()(&item, 0, 20), POS_SENSORS__ERR_READ_TIMEOUT);
    EXPECT_EQ(item.length, 0u);
    EXPECT_EQ(item.buffer, nullptr);
    EXPECT_EQ(POS_SENSORSG_getStats().timeouts, 1u);
    close();
}

TEST_F(PosSensorsOps, SamplesBeforeOpenBeforeStartAfterStopAndAfterCloseAreFreedAndNotCounted) {
    const uint32_t all = freeBuffers();
    // Before the first open: the state mutex already exists.
    EXPECT_EQ(deliver(sample(0, 1)), POS_SENSORS__RET_SUCCESS);
    EXPECT_EQ(deliver(sample(0, 2), payloadBuffer({1})), POS_SENSORS__RET_SUCCESS);
    open();
    deliver(sample(0, 3), payloadBuffer({2}));
    ioctl(POS_SENSORS_START_E);
    ioctl(POS_SENSORS_STOP_E);
    deliver(sample(0, 4), payloadBuffer({3}));
    EXPECT_EQ(POS_SENSORSG_getStats().received, 0u);
    EXPECT_EQ(freeBuffers(), all);
    VPUG_readItemT item{};
    EXPECT_EQ(readFunc()(&item, 0, 10), POS_SENSORS__ERR_READ_TIMEOUT);
    close();
    EXPECT_EQ(deliver(sample(0, 5), payloadBuffer({4})), POS_SENSORS__RET_SUCCESS);
    EXPECT_EQ(freeBuffers(), all);
}

TEST_F(PosSensorsOps, FullQueueCountsTheNextSampleLostAndFreesItsChain) {
    open();
    ioctl(POS_SENSORS_START_E);
    for (uint64_t i = 0; i < POS_SENSORSG_QUEUE_DEPTH; ++i) deliver(sample(0, i));
    const uint32_t before = freeBuffers();
    EXPECT_EQ(deliver(sample(0, 999), payloadBuffer({5})), POS_SENSORS__RET_SUCCESS);
    EXPECT_EQ(freeBuffers(), before);
    const POS_SENSORSG_statsT stats = POS_SENSORSG_getStats();
    EXPECT_EQ(stats.received, POS_SENSORSG_QUEUE_DEPTH + 1);
    EXPECT_EQ(stats.lost, 1u);
    EXPECT_EQ(stats.overflows, 1u);
    EXPECT_EQ(log_.count("msgQ overflow. fail send frame to IAF. cnt=129 lost =1 (OVF=1, TO=0)"), 1u);
    close();
}

TEST_F(PosSensorsOps, CloseFreesTheChainsOfSamplesStillQueued) {
    open();
    ioctl(POS_SENSORS_START_E);
    const uint32_t all = freeBuffers();
    deliver(sample(0, 1), payloadBuffer({1}));
    deliver(sample(0, 2), payloadBuffer({2}));
    EXPECT_EQ(freeBuffers(), all - 2);
    close();
    EXPECT_EQ(freeBuffers(), all);
    EXPECT_EQ(log_.count("delete message queue"), 1u);
}

TEST_F(PosSensorsOps, OtherCodesOnTheDataChannelAreDropped) {
    open();
    ioctl(POS_SENSORS_START_E);
    const uint32_t all = freeBuffers();
    EXPECT_EQ(deliver(sample(0, 1), payloadBuffer({1}), POS_SENSORS_STOP_E), POS_SENSORS__RET_SUCCESS);
    EXPECT_EQ(freeBuffers(), all);
    EXPECT_EQ(POS_SENSORSG_getStats().received, 0u);
    close();
}

TEST_F(PosSensorsOps, IoctlAnswersAndCloseOfANeverOpenedService) {
    SERVICEG_requestT closeStart = request(SERVICEG_PHASE_START_E);
    EXPECT_EQ(POS_SENSORSG_close(&closeStart), POS_SENSORS__RET_SUCCESS);  // nothing to tell the peer
    open();
    for (uint32_t code : {uint32_t{POS_SENSORS_CONFIG_E}, 0x09000006u, 0x09000007u, uint32_t{POS_SENSORS_START_E},
                          uint32_t{POS_SENSORS_STOP_E}})
        EXPECT_EQ(ioctl(code), SERVICE__INCOMPLETE) << std::hex << code;
    EXPECT_EQ(ioctl(0x09000004), POS_SENSORS__ERR_UNKNOWN_IOCTL);
    EXPECT_EQ(log_.count("unknown IOCTL. ioctlNum = 0x9000004"), 1u);
    EXPECT_EQ(ioctl(POS_SENSORS_START_E, nullptr, SERVICEG_PHASE_DONE_E), POS_SENSORS__RET_SUCCESS);
    EXPECT_EQ(log_.count("stop POS_SENSORS servic. handle cmd start"), 1u);
    EXPECT_EQ(POS_SENSORSG_handleMsg(POS_SENSORS_SAMPLE_E, nullptr, nullptr, 0, nullptr),
              POS_SENSORS__ERR_QUEUED_DATA_NOT_SUPPORTED);
    EXPECT_STREQ(POS_SENSORSG_getOps()->getName(), "POS_SENSORS");
    EXPECT_EQ(POS_SENSORSG_getOps()->dataFastPath, &POS_SENSORSP_hostReceiveFrame);
    EXPECT_EQ(POS_SENSORSG_getOps()->ctrlFastPath, nullptr);
    close();
}

// --- against the simulated processor -------------------------------------------------

class PosSensorsComponent : public sensortest::ComponentTest {
protected:
    PosSensorsComponent() : ComponentTest(VPUG_SID_POS_SENSORS, 17, POS_SENSORSG_getOps()) {}

    VPUG_readFuncT readFunc() {
        VPUG_getReadFuncParams params{};
        EXPECT_EQ(ioctl(VPU_CMDG_GET_READ_FUNC_E, &params), POS_SENSORS__RET_SUCCESS);
        return params.readFunc;
    }
    ERRG_codeE start() {
        VPUG_posSensorsCtrlParams ctrl{1};
        return ioctl(POS_SENSORS_START_E, &ctrl);
    }
    ERRG_codeE stop() {
        VPUG_posSensorsCtrlParams ctrl{0};
        return ioctl(POS_SENSORS_STOP_E, &ctrl);
    }
};

TEST_F(PosSensorsComponent, SamplesOfSeveralSensorsAreReadInOrderWithRisingStamps) {
    openService();
    ASSERT_TRUE(ERRG_SUCCEEDED(start()));
    VPUG_readFuncT read = readFunc();
    ASSERT_NE(read, nullptr);

    constexpr size_t kCount = 30;
    std::vector<zsim::SimSensorProducers::ImuSample> sent;
    for (size_t i = 0; i < kCount; ++i) {
        sent.push_back(producers_.nextImuSample(static_cast<uint16_t>(i % 3)));
        // Every fourth sample carries bytes behind its record: a chain to give back.
        ASSERT_TRUE(producers_.sendImuSample(sent.back(), i % 4 == 0 ? Bytes{0xAA, 0xBB} : Bytes{}));
    }
    std::map<uint16_t, uint64_t> lastStamp;
    for (size_t i = 0; i < kCount; ++i) {
        VPUG_posSensorSample got{};
        VPUG_readItemT item{};
        item.hdrRecord = &got;
        ASSERT_EQ(read(&item, 0, 2000), POS_SENSORS__RET_SUCCESS) << i;
        EXPECT_EQ(got.sensorIndex, sent[i].sensor);
        EXPECT_EQ(got.timestamp, sent[i].stamp);
        EXPECT_EQ(got.values[2], sent[i].values[2]);
        if (lastStamp.count(got.sensorIndex)) {
            EXPECT_GT(got.timestamp, lastStamp[got.sensorIndex]);
        }
        lastStamp[got.sensorIndex] = got.timestamp;
        if (i % 4 == 0) {
            ASSERT_NE(item.buffer, nullptr);
            EXPECT_EQ(item.buffer->len, 2u);
        } else {
            EXPECT_EQ(item.buffer, nullptr);
        }
        VPUG_freeBufParams free{item.buffer};
        EXPECT_TRUE(ERRG_SUCCEEDED(ioctl(VPU_CMDG_FREE_BUF_E, &free)));
    }
    EXPECT_EQ(freeData(), kDataBufCount);
    EXPECT_TRUE(ERRG_SUCCEEDED(stop()));
    closeService();
    // Start, stop and the two open/close halves reached the peer as requests.
    EXPECT_GE(peer_.requests().size(), 2u);
}

TEST_F(PosSensorsComponent, UnreadSamplesOverflowTheQueueAndCloseReturnsEveryBuffer) {
    openService();
    ASSERT_TRUE(ERRG_SUCCEEDED(start()));
    for (uint32_t i = 0; i < POS_SENSORSG_QUEUE_DEPTH; ++i) ASSERT_TRUE(producers_.sendImuSample(producers_.nextImuSample(0)));
    // Two more, with payload: both lost, both chains freed.
    ASSERT_TRUE(producers_.sendImuSample(producers_.nextImuSample(0), Bytes(64, 1)));
    ASSERT_TRUE(producers_.sendImuSample(producers_.nextImuSample(0), Bytes(64, 2)));
    ASSERT_TRUE(log_.waitFor("msgQ overflow. fail send frame to IAF", 2, 2000ms));
    EXPECT_EQ(POS_SENSORSG_getStats().lost, 2u);
    // The stop's answer comes after the samples on the same connection: once
    // it is back, the lost samples' chains have been freed.
    EXPECT_TRUE(ERRG_SUCCEEDED(stop()));
    EXPECT_EQ(freeDataSettled(kDataBufCount), kDataBufCount);
    closeService();
    EXPECT_EQ(POS_SENSORSG_getStats().state, POS_SENSORSG_STATE_CLOSED_E);
}

TEST_F(PosSensorsComponent, SamplesBeforeOpenAndBeforeStartAreDropped) {
    // The framework runs the fast path for these although the service was never opened.
    ASSERT_TRUE(producers_.sendImuSample(producers_.nextImuSample(0), Bytes(16, 1)));
    openService();
    ASSERT_TRUE(producers_.sendImuSample(producers_.nextImuSample(0), Bytes(16, 2)));
    // A forwarded request that changes nothing: its answer follows the
    // samples on the same connection, so both have been handled when it returns.
    VPUG_posSensorsConfigParams config{1, 2, 3, 4};
    ASSERT_TRUE(ERRG_SUCCEEDED(ioctl(POS_SENSORS_CONFIG_E, &config)));
    EXPECT_EQ(freeData(), kDataBufCount);
    EXPECT_EQ(POS_SENSORSG_getStats().received, 0u);
    ASSERT_TRUE(ERRG_SUCCEEDED(start()));
    VPUG_readItemT item{};
    EXPECT_EQ(readFunc()(&item, 0, 20), POS_SENSORS__ERR_READ_TIMEOUT);
    closeService();
}

}  // namespace
