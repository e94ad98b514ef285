// IMU stream: the table look-ups on their own, and the stream end to end
// through the real host library against the simulated processor.
#include "driver/imu_stream.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/device_record.h"
#include "host_lib/svc_mngr.h"
#include "host_lib/tests/host_stack_fixture.h"
#include "host_lib/vpu_host_api.h"

namespace {

using namespace std::chrono_literals;
using stacktest::LinkEvents;
using zsim::Bytes;
using ImuSim = zsim::SimSensorProducers;

// Waits that end as soon as their event comes; the bound only ends the wait
// for one that never comes, and a loaded machine can take seconds to
// schedule the stream's threads.
constexpr auto kBound = 10s;

// --- table look-ups ------------------------------------------------------------------------

TEST(ImuTables, ScaleCodesRunStraightForTheAccelerometerAndReversedForTheGyroscope) {
    for (int32_t scale = 0; scale < 4; ++scale) EXPECT_EQ(PZImu_scaleCode(0, scale), scale);
    const int32_t gyroCodes[] = {4, 3, 2, 1, 0};
    for (int32_t scale = 0; scale < 5; ++scale) EXPECT_EQ(PZImu_scaleCode(1, scale), gyroCodes[scale]);
    EXPECT_EQ(PZImu_scaleCode(0, 4), -1);
    EXPECT_EQ(PZImu_scaleCode(0, -1), -1);
    EXPECT_EQ(PZImu_scaleCode(1, 5), -1);
    EXPECT_EQ(PZImu_scaleCode(2, 0), -1);
    EXPECT_EQ(PZImu_scaleCode(-1, 0), -1);
}

TEST(ImuTables, RateInfoFollowsKindSensorAndCodeAndIsNullOutsideItsTable) {
    // Kind 0, accelerometer: table A by code.
    ASSERT_EQ(PZImu_rateInfo(0, 0, 0), &PZImu_accelRateTable[0]);
    EXPECT_EQ(PZImu_rateInfo(0, 0, 12)->rateHz, 1600.0f);
    EXPECT_EQ(PZImu_rateInfo(0, 0, 12)->fourth, 600000u);
    EXPECT_EQ(PZImu_rateInfo(0, 0, 13), nullptr);
    // Kind 0, gyroscope: table G by code minus 5.
    EXPECT_EQ(PZImu_rateInfo(0, 1, 4), nullptr);
    ASSERT_EQ(PZImu_rateInfo(0, 1, 5), &PZImu_gyroRateTable[0]);
    EXPECT_EQ(PZImu_rateInfo(0, 1, 5)->bandwidthHz, 10.7f);
    EXPECT_EQ(PZImu_rateInfo(0, 1, 12)->bandwidthHz, 8900.0f);
    EXPECT_EQ(PZImu_rateInfo(0, 1, 13), nullptr);
    // Kind 1, either sensor: table K by code.
    ASSERT_EQ(PZImu_rateInfo(1, 0, 0), &PZImu_kind1RateTable[0]);
    EXPECT_EQ(PZImu_rateInfo(1, 1, 0)->third, 3.7f);
    EXPECT_EQ(PZImu_rateInfo(1, 1, 15)->fourth, 840000u);
    EXPECT_EQ(PZImu_rateInfo(1, 0, 16), nullptr);
    // Other kinds, and sensors that carry no codes.
    EXPECT_EQ(PZImu_rateInfo(2, 0, 1), nullptr);
    EXPECT_EQ(PZImu_rateInfo(0, 2, 1), nullptr);
    EXPECT_EQ(PZImu_rateInfo(1, 7, 1), nullptr);
}

TEST(ImuTables, RangeByRangeCodeIsNaNWhereNoRangeIsKnown) {
    const float gyro[] = {34.906555f, 17.453278f, 8.726639f, 4.363320f, 2.181660f, 0.0f};
    for (uint16_t code = 0; code < 6; ++code) {
        EXPECT_EQ(PZImu_range(0, 1, code), gyro[code]) << code;
        EXPECT_EQ(PZImu_range(1, 1, code), gyro[code]) << code;
    }
    EXPECT_TRUE(std::isnan(PZImu_range(0, 1, 6)));
    for (uint16_t code = 0; code < 14; ++code) {
        const float expected = code == 3 ? 2.0f : code == 5 ? 4.0f : code == 8 ? 8.0f : code == 12 ? 16.0f : NAN;
        const float got = PZImu_range(0, 0, code);
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(got)) << code;
        } else {
            EXPECT_EQ(got, expected) << code;
        }
    }
    EXPECT_TRUE(std::isnan(PZImu_range(2, 1, 0)));
    EXPECT_TRUE(std::isnan(PZImu_range(0, 2, 3)));
}

// --- the stream against the simulated processor --------------------------------------------

// What the application's callback received. A closed gate holds the
// callback (with the sample delivered) until the test opens it.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<PZImuSample> samples;
    bool gateClosed = false;

    static void onSample(const PZImuSample* sample, void* user) {
        auto* self = static_cast<Received*>(user);
        std::unique_lock<std::mutex> lock(self->mutex);
        self->samples.push_back(*sample);
        self->changed.notify_all();
        // Bounded so that a failing test cannot hold the stream forever; far
        // longer than the waits of a test that holds it.
        self->changed.wait_for(lock, 3 * kBound, [self] { return !self->gateClosed; });
    }
    bool waitFor(size_t count, std::chrono::milliseconds timeout = kBound) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return samples.size() >= count; });
    }
    void setGate(bool closed) {
        std::lock_guard<std::mutex> lock(mutex);
        gateClosed = closed;
        changed.notify_all();
    }
    std::vector<uint64_t> stamps() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<uint64_t> out;
        for (const auto& s : samples) out.push_back(s.timestamp);
        return out;
    }
};

// One request of the POS_SENSORS service as the processor received it.
struct ImuRequest {
    uint32_t code;
    std::vector<uint32_t> words;
    bool operator==(const ImuRequest&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ImuRequest& r) {
    out << std::hex << "0x" << r.code << std::dec << " {";
    for (uint32_t w : r.words) out << ' ' << w;
    return out << " }";
}

ImuSim::ImuSample imuSample(uint16_t sensor, uint64_t stamp, uint16_t kind = 0) {
    ImuSim::ImuSample s;
    s.sensor = sensor;
    s.kind = kind;
    s.stamp = stamp;
    for (uint32_t i = 0; i < 4; ++i) s.values[i] = std::bit_cast<uint32_t>(static_cast<float>(stamp) + 0.25f * i);
    return s;
}

class ImuStreamTest : public stacktest::HostStackTest {
protected:
    void SetUp() override {
        HostStackTest::SetUp();
        ASSERT_EQ(VPUG_init(&LinkEvents::onConnState), SVC_MNGR__RET_SUCCESS);
        ASSERT_TRUE(LinkEvents::instance().waitFor(VPUG_CONN_STATE_CONNECTED_E, 1, linktest::kLinkBound));
        PZDevice_get()->state.store(PZDeviceState_Ready);
        ASSERT_EQ(initImuStream(), 0);
    }
    void TearDown() override {
        EXPECT_EQ(deinitImuStream(), 0);
        VPUG_deinit();
        HostStackTest::TearDown();
    }

    PZStatus apply(std::vector<PZImuSensorConfig> configs, Received* received = nullptr,
                   int32_t state = PZDeviceState_Ready) {
        return PZImu_ApplyStreamingConfig(configs.data(), configs.size(),
                                          received != nullptr ? &Received::onSample : nullptr, received, state);
    }
    PZStatus switchOff() { return PZImu_ApplyStreamingConfig(nullptr, 0, nullptr, nullptr, PZDeviceState_Ready); }

    std::vector<ImuRequest> imuRequests() const {
        std::vector<ImuRequest> out;
        for (const auto& packet : processor_.services.requests()) {
            const uint32_t code = packet.header().code;
            if (VPU_CMDG_sidOf(code) != VPUG_SID_POS_SENSORS) continue;
            const Bytes payload = packet.payload();
            ImuRequest request{code, std::vector<uint32_t>(payload.size() / 4)};
            std::memcpy(request.words.data(), payload.data(), request.words.size() * 4);
            out.push_back(request);
        }
        return out;
    }
    // Opens (code 2) or closes (code 3) of the POS_SENSORS service at the manager.
    size_t managerRequestsOf(uint32_t code) const {
        size_t n = 0;
        for (const auto& r : processor_.manager.requests()) n += r.code == code && r.sid == VPUG_SID_POS_SENSORS;
        return n;
    }
    static bool threadAlive(bool PZImuStream::*flag) {
        PZImuStream* imu = PZImu_get();
        std::lock_guard<std::mutex> lock(imu->stateMutex);
        return imu->*flag;
    }
    void expectServiceClosed() {
        EXPECT_EQ(PZImu_get()->service.load(), nullptr);
        EXPECT_EQ(VPUP_getState()->openCounts[VPUG_SID_POS_SENSORS], 0u);
        EXPECT_EQ(VPUP_getState()->handles[VPUG_SID_POS_SENSORS], nullptr);
    }
    void send(const ImuSim::ImuSample& sample) { ASSERT_TRUE(processor_.producers.sendImuSample(sample)); }
    // One sample at a time: the ring holds only two, and a burst would be
    // cut short by the very drop the stream is built to make.
    void sendAndWait(const ImuSim::ImuSample& sample, Received& received, size_t total) {
        send(sample);
        ASSERT_TRUE(received.waitFor(total)) << "sample " << total;
    }
    // The configuration reply the processor gives: rate and range codes.
    void answerCodes(uint16_t accelRate, uint16_t gyroRate, uint16_t accelRange, uint16_t gyroRange) {
        VPUG_posSensorsConfigParams codes{accelRate, gyroRate, accelRange, gyroRange};
        Bytes record(sizeof(codes));
        std::memcpy(record.data(), &codes, sizeof(codes));
        processor_.services.setAnswer(POS_SENSORS_CONFIG_E, {0, record, 0ms, false});
    }
};

TEST_F(ImuStreamTest, GyroscopeAt200HzIsSetUpAndStartedAndAnEmptyConfigurationReturnsOnlyWhenAllHasStopped) {
    Received received;
    ASSERT_EQ(apply({{1, 0, 200.0f}}, &received), PZStatus_Success);
    EXPECT_EQ(PZImu_get()->activeMask, 2u);
    EXPECT_EQ(managerRequestsOf(zsim::SimSvcMngrPeer::kOpenCode), 1u);
    const std::vector<ImuRequest> expected = {
        {0x09000007, {1, 4, 20000}},
        {POS_SENSORS_CONFIG_E, {0, 0}},
        {POS_SENSORS_START_E, {2}},
    };
    EXPECT_EQ(imuRequests(), expected);
    EXPECT_TRUE(threadAlive(&PZImuStream::streamAlive));
    EXPECT_TRUE(threadAlive(&PZImuStream::callbackAlive));

    ASSERT_EQ(switchOff(), PZStatus_Success);
    // Everything below had happened by the time the call returned.
    EXPECT_FALSE(PZImu_get()->running.load());
    EXPECT_EQ(PZImu_get()->activeMask, 0u);
    EXPECT_EQ(log_.count("IMU Stream thread exiting"), 1u);
    EXPECT_EQ(log_.count("IMU CB wrapper thread exiting"), 1u);
    EXPECT_FALSE(threadAlive(&PZImuStream::streamAlive));
    EXPECT_FALSE(threadAlive(&PZImuStream::callbackAlive));
    const std::vector<ImuRequest> after = imuRequests();
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after.back(), (ImuRequest{POS_SENSORS_STOP_E, {0}}));
    EXPECT_EQ(managerRequestsOf(zsim::SimSvcMngrPeer::kCloseCode), 1u);
    expectServiceClosed();
    expectPoolsFull();
}

TEST_F(ImuStreamTest, EntriesAreSetUpInArrayOrderWithTheirScaleCodesAndRatesTruncatedToHundredths) {
    ASSERT_EQ(apply({{0, 3, 99.999f}, {1, 4, 0.019f}}), PZStatus_Success);
    EXPECT_EQ(PZImu_get()->activeMask, 3u);
    const std::vector<ImuRequest> expected = {
        {0x09000007, {0, 3, 9999}},
        {POS_SENSORS_CONFIG_E, {0, 0}},
        {0x09000007, {1, 0, 1}},
        {POS_SENSORS_CONFIG_E, {0, 0}},
        {POS_SENSORS_START_E, {3}},
    };
    EXPECT_EQ(imuRequests(), expected);
}

TEST_F(ImuStreamTest, UnknownTypeScaleOrRateIsRefusedBeforeAnythingIsOpenedSentOrStarted) {
    struct Case {
        std::vector<PZImuSensorConfig> configs;
        const char* message;  // null: refused without a message
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<Case> cases = {
        {{{0, 4, 100.0f}}, "Unhandled accel scale: 4"},
        {{{0, -1, 100.0f}}, "Unhandled accel scale: -1"},
        {{{1, 5, 100.0f}}, "Unhandled gyro scale: 5"},
        // A good entry ahead of a bad one is not set up either.
        {{{0, 0, 100.0f}, {1, 7, 100.0f}}, "Unhandled gyro scale: 7"},
        {{{2, 0, 100.0f}}, nullptr},
        {{{-1, 0, 100.0f}}, nullptr},
        {{{40, 0, 100.0f}}, nullptr},
        {{{0, 0, nan}}, "Unhandled imu rate"},
        {{{0, 0, -1.0f}}, "Unhandled imu rate"},
        {{{1, 0, 5.0e7f}}, "Unhandled imu rate"},
    };
    Received received;
    for (const Case& c : cases) {
        const size_t errorsBefore = log_.count("ERROR");
        const size_t messagesBefore = c.message != nullptr ? log_.count(c.message) : 0;
        EXPECT_EQ(apply(c.configs, &received), PZStatus_InvalidParameter);
        if (c.message != nullptr) {
            EXPECT_EQ(log_.count(c.message), messagesBefore + 1) << c.message;
        } else {
            EXPECT_EQ(log_.count("ERROR"), errorsBefore) << "type " << c.configs[0].type;
        }
    }
    EXPECT_EQ(PZImu_ApplyStreamingConfig(nullptr, 1, &Received::onSample, &received, PZDeviceState_Ready),
              PZStatus_InvalidParameter);
    EXPECT_EQ(managerRequestsOf(zsim::SimSvcMngrPeer::kOpenCode), 0u);
    EXPECT_TRUE(imuRequests().empty());
    EXPECT_FALSE(threadAlive(&PZImuStream::streamAlive));
    EXPECT_FALSE(threadAlive(&PZImuStream::callbackAlive));
}

TEST_F(ImuStreamTest, NothingIsAcceptedBeforeInitialisationOrAfterDeinitialisation) {
    ASSERT_EQ(deinitImuStream(), 0);
    EXPECT_EQ(deinitImuStream(), 0);
    EXPECT_EQ(apply({{0, 0, 100.0f}}), PZStatus_DeviceNotReady);
    EXPECT_EQ(switchOff(), PZStatus_DeviceNotReady);
    EXPECT_EQ(managerRequestsOf(zsim::SimSvcMngrPeer::kOpenCode), 0u);
}

TEST_F(ImuStreamTest, SamplesReachTheCallbackDescribedByTheCodesTheProcessorReported) {
    // Accelerometer rate code 9 and range code 5, gyroscope rate code 8 and range code 1.
    answerCodes(9, 8, 5, 1);
    Received received;
    ASSERT_EQ(apply({{0, 1, 200.0f}, {1, 1, 200.0f}}, &received), PZStatus_Success);
    const int64_t before = OS_LYRG_getNsecTime();
    sendAndWait(imuSample(0, 1000), received, 1);
    sendAndWait(imuSample(1, 2000), received, 2);
    sendAndWait(imuSample(0, 3000, 1), received, 3);  // kind 1: table K by the same rate code
    sendAndWait(imuSample(2, 4000), received, 4);     // a sensor without codes
    sendAndWait(imuSample(1, 5000, 3), received, 5);  // a kind without tables
    const int64_t after = OS_LYRG_getNsecTime();
    ASSERT_EQ(switchOff(), PZStatus_Success);

    std::lock_guard<std::mutex> lock(received.mutex);
    const auto& s = received.samples;
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(s[0].sensor, 0u);
    EXPECT_EQ(s[0].timestamp, 1000u);
    EXPECT_EQ(s[0].x, 1000.0f);
    EXPECT_EQ(s[0].y, 1000.25f);
    EXPECT_EQ(s[0].z, 1000.5f);
    EXPECT_EQ(s[0].w, 1000.75f);
    EXPECT_EQ(s[0].rateInfo, &PZImu_accelRateTable[9]);
    EXPECT_EQ(s[0].range, 4.0f);
    EXPECT_GE(static_cast<int64_t>(s[0].hostTimeNs), before);
    EXPECT_LE(static_cast<int64_t>(s[0].hostTimeNs), after);

    EXPECT_EQ(s[1].sensor, 1u);
    EXPECT_EQ(s[1].rateInfo, &PZImu_gyroRateTable[3]);
    EXPECT_EQ(s[1].range, 17.453278f);
    EXPECT_EQ(s[2].rateInfo, &PZImu_kind1RateTable[9]);
    EXPECT_EQ(s[2].range, 4.0f);
    EXPECT_EQ(s[3].sensor, 2u);
    EXPECT_EQ(s[3].rateInfo, nullptr);
    EXPECT_TRUE(std::isnan(s[3].range));
    EXPECT_EQ(s[4].rateInfo, nullptr);
    EXPECT_TRUE(std::isnan(s[4].range));
    expectPoolsFull();
}

TEST_F(ImuStreamTest, SamplesNotNewerThanTheSensorsLastAreDroppedWithTheirStamps) {
    Received received;
    ASSERT_EQ(apply({{0, 0, 100.0f}, {1, 0, 100.0f}}, &received), PZStatus_Success);
    sendAndWait(imuSample(0, 100), received, 1);
    send(imuSample(0, 100));
    ASSERT_TRUE(log_.waitFor("Dropping out of order imu 0 packet (100 >= 100)", 1, kBound));
    send(imuSample(0, 50));
    ASSERT_TRUE(log_.waitFor("Dropping out of order imu 0 packet (100 >= 50)", 1, kBound));
    sendAndWait(imuSample(1, 60), received, 2);  // each sensor keeps its own last stamp
    sendAndWait(imuSample(2, 10), received, 3);  // a sensor without a last stamp is never out of order
    sendAndWait(imuSample(2, 10), received, 4);
    sendAndWait(imuSample(0, 101), received, 5);
    ASSERT_EQ(switchOff(), PZStatus_Success);
    EXPECT_EQ(received.stamps(), (std::vector<uint64_t>{100, 60, 10, 10, 101}));
    EXPECT_EQ(log_.count("Dropping out of order"), 2u);
    EXPECT_EQ(log_.count("Dropping out of order imu 0 packet (100 >= 100)"), 1u);
    // Nothing else was dropped. (Other warnings, such as a link that a loaded
    // sanitizer build lets lapse for a moment, are not the stream's.)
    EXPECT_EQ(log_.count("Dropping IMU data"), 0u);
    expectPoolsFull();
}

TEST_F(ImuStreamTest, SlowCallbackLosesTheSampleThatFindsTheRingFullAndItsStampIsNotKept) {
    Received received;
    received.setGate(true);
    ASSERT_EQ(apply({{0, 0, 100.0f}}, &received), PZStatus_Success);
    send(imuSample(0, 1));
    ASSERT_TRUE(received.waitFor(1));  // the callback now holds sample 1
    send(imuSample(0, 2));
    send(imuSample(0, 3));
    send(imuSample(0, 4));
    ASSERT_TRUE(log_.waitFor("Dropping IMU data (Client not processing fast enough)", 1, kBound));
    received.setGate(false);
    ASSERT_TRUE(received.waitFor(3));
    // The dropped sample never became the sensor's last: sent again, it is taken.
    send(imuSample(0, 4));
    ASSERT_TRUE(received.waitFor(4));
    ASSERT_EQ(switchOff(), PZStatus_Success);
    EXPECT_EQ(received.stamps(), (std::vector<uint64_t>{1, 2, 3, 4}));
    EXPECT_EQ(log_.count("Dropping IMU data (Client not processing fast enough)"), 1u);
    EXPECT_EQ(log_.count("Dropping out of order"), 0u);
    expectPoolsFull();
}

TEST_F(ImuStreamTest, BootingDeviceGetsNoRequestsButTheThreadsRunAndTheServiceClosesLocally) {
    PZDevice_get()->state.store(PZDeviceState_Booting);
    Received received;
    ASSERT_EQ(apply({{0, 0, 100.0f}}, &received, PZDeviceState_Booting), PZStatus_Success);
    EXPECT_EQ(managerRequestsOf(zsim::SimSvcMngrPeer::kOpenCode), 1u);
    EXPECT_TRUE(threadAlive(&PZImuStream::streamAlive));
    EXPECT_TRUE(threadAlive(&PZImuStream::callbackAlive));
    EXPECT_TRUE(PZImu_get()->running.load());

    ASSERT_EQ(PZImu_ApplyStreamingConfig(nullptr, 0, nullptr, nullptr, PZDeviceState_Booting), PZStatus_Success);
    EXPECT_EQ(log_.count("IMU Stream thread exiting"), 1u);
    EXPECT_EQ(log_.count("IMU CB wrapper thread exiting"), 1u);
    // Not ready: no stop request, and a forced close that sends nothing.
    EXPECT_TRUE(imuRequests().empty());
    EXPECT_EQ(managerRequestsOf(zsim::SimSvcMngrPeer::kCloseCode), 0u);
    expectServiceClosed();
}

TEST_F(ImuStreamTest, ReconfigurationWhileStreamingKeepsTheThreadsAndTheOneOpeningAndSwitchesTheCallback) {
    Received first;
    Received second;
    ASSERT_EQ(apply({{0, 0, 100.0f}}, &first), PZStatus_Success);
    send(imuSample(0, 10));
    ASSERT_TRUE(first.waitFor(1));
    ASSERT_EQ(apply({{1, 2, 400.0f}}, &second), PZStatus_Success);
    EXPECT_EQ(PZImu_get()->activeMask, 2u);
    send(imuSample(1, 20));
    ASSERT_TRUE(second.waitFor(1));
    ASSERT_EQ(switchOff(), PZStatus_Success);

    EXPECT_EQ(first.stamps(), (std::vector<uint64_t>{10}));
    EXPECT_EQ(second.stamps(), (std::vector<uint64_t>{20}));
    EXPECT_EQ(managerRequestsOf(zsim::SimSvcMngrPeer::kOpenCode), 1u);
    EXPECT_EQ(log_.count("IMU Stream thread exiting"), 1u);
    const std::vector<ImuRequest> requests = imuRequests();
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(requests[3], (ImuRequest{0x09000007, {1, 2, 40000}}));
    EXPECT_EQ(requests[5], (ImuRequest{POS_SENSORS_START_E, {2}}));
    expectServiceClosed();
}

TEST_F(ImuStreamTest, FailedOpenIsReportedAndStartsNothing) {
    processor_.manager.setOpenAnswer(VPUG_SID_POS_SENSORS, {0x02010005, false});
    Received received;
    EXPECT_EQ(apply({{0, 0, 100.0f}}, &received), PZStatus_Error);
    EXPECT_EQ(log_.count("VPU call failed"), 1u);
    EXPECT_TRUE(imuRequests().empty());
    EXPECT_FALSE(threadAlive(&PZImuStream::streamAlive));
    EXPECT_FALSE(PZImu_get()->running.load());
}

TEST_F(ImuStreamTest, FailedRequestStartsNothingLeavesOneOpeningAndAnEmptyConfigurationClosesIt) {
    processor_.services.setAnswer(0x09000007, {0x022F0002, std::nullopt, 0ms, false});
    Received received;
    EXPECT_EQ(apply({{0, 0, 100.0f}}, &received), PZStatus_Error);
    EXPECT_EQ(log_.count("VPU call failed"), 1u);
    // The failure ends the configuration: no code exchange, no start, no thread.
    ASSERT_EQ(imuRequests().size(), 1u);
    EXPECT_FALSE(threadAlive(&PZImuStream::streamAlive));
    EXPECT_FALSE(threadAlive(&PZImuStream::callbackAlive));

    // The next configuration goes on with the opening already made.
    processor_.services.setAnswer(POS_SENSORS_START_E, {0x022F0002, std::nullopt, 0ms, false});
    EXPECT_EQ(apply({{0, 0, 100.0f}}, &received), PZStatus_Error);
    EXPECT_EQ(managerRequestsOf(zsim::SimSvcMngrPeer::kOpenCode), 1u);
    EXPECT_EQ(VPUP_getState()->openCounts[VPUG_SID_POS_SENSORS], 1u);

    // No producer is left to close it: switching off does.
    ASSERT_EQ(switchOff(), PZStatus_Success);
    EXPECT_EQ(imuRequests().back(), (ImuRequest{POS_SENSORS_STOP_E, {0}}));
    EXPECT_EQ(managerRequestsOf(zsim::SimSvcMngrPeer::kCloseCode), 1u);
    expectServiceClosed();
}

TEST_F(ImuStreamTest, DeinitWhileTheCallbackHoldsASampleStopsClosesAndFreesWhatIsLeftInTheRing) {
    Received received;
    received.setGate(true);
    ASSERT_EQ(apply({{0, 0, 100.0f}}, &received), PZStatus_Success);
    send(imuSample(0, 1));
    ASSERT_TRUE(received.waitFor(1));
    send(imuSample(0, 2));
    send(imuSample(0, 3));
    send(imuSample(0, 4));
    ASSERT_TRUE(log_.waitFor("Dropping IMU data", 1, kBound));  // two samples wait in the ring

    // The de-initialisation runs on a thread of its own, in this test's context.
    PZContextHolder* context = PZContext_AcquireCurrent();
    std::thread deinit([context] {
        PZContext_SetThreadContext(context);
        deinitImuStream();
        PZContext_SetThreadContext(nullptr);
    });
    // The producer ends first; only then is the callback let go, so the
    // consumer finds `running` cleared and leaves the two samples behind.
    const bool producerEnded = log_.waitFor("IMU Stream thread exiting", 1, kBound);
    received.setGate(false);
    deinit.join();
    ASSERT_TRUE(producerEnded);

    EXPECT_EQ(received.stamps(), (std::vector<uint64_t>{1}));
    EXPECT_EQ(log_.count("IMU CB wrapper thread exiting"), 1u);
    EXPECT_EQ(imuRequests().back(), (ImuRequest{POS_SENSORS_STOP_E, {0}}));
    EXPECT_EQ(managerRequestsOf(zsim::SimSvcMngrPeer::kCloseCode), 1u);
    expectServiceClosed();
    EXPECT_EQ(PZImu_get()->ring.count, 0u);
    EXPECT_FALSE(PZImu_get()->initialised);
    expectPoolsFull();
}

}  // namespace
