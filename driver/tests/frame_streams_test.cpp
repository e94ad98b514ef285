// Frame streams end to end: configurations applied through the real device
// client against the simulated firmware, frames and histograms read through
// the real host library from the simulated vision processor, delivered to
// callbacks, and every service buffer given back.
#include "driver/tests/frame_streams_fixture.h"

#include <cmath>
#include <limits>

#include "driver/driver_thread.h"
#include "driver/twist_comp.h"
#include "host_lib/alg_svc.h"
#include "sim/sim_sensor_producers.h"

namespace {

using namespace framestest;

// An older-generation calibration text: the left camera was calibrated at
// 35 degrees, the right one at 30.
constexpr const char* kCalibration =
    "version=4000 calib_date=2026-01-01 fc_left=700 fc_right=710 temp_left=35 temp_right=30";
constexpr double kFcLeft = 700.0;
constexpr double kFcRight = 710.0;
constexpr double kTempCoeff = 0.0008605900220572948;

// Data pools of the service manager's table that carry each frame service.
constexpr uint32_t kVideoPool = 3;

PZStreamingConfig allOff() {
    PZStreamingConfig config{};
    config.roi = {11, 22, 33, 44};
    return config;
}

PZStreamingConfig infrared(Receiver* receiver, int32_t format = PZFrameFormat_Ir10) {
    PZStreamingConfig config = allOff();
    config.irFps = 30;
    config.irResolution = PZ_RESOLUTION_FULL;
    config.irFormat = format;
    config.irCallback = receiver != nullptr ? &Receiver::onFrame : nullptr;
    config.irUserData = receiver;
    return config;
}

// Header words in the fields' own units times their divisors.
FrameHeader irHeader(uint32_t leftTempCenti, uint32_t rightTempCenti) {
    FrameHeader h;
    h.short0 = 0x1234;
    h.short1 = 0x5678;
    h.words = {2'000'000, 3'000'000, 1500, 2500, 250, 500, leftTempCenti, rightTempCenti,
               static_cast<uint32_t>(-12345), 20000};
    h.shorts = {1, 2, 3, 4, 5, 6, 7, 8};
    return h;
}

// Runs PZFrames_ApplyStreamingConfig on a thread of the test's driver context.
class AsyncApply {
public:
    explicit AsyncApply(const PZStreamingConfig& config) : config_(config) {
        params_ = OS_LYRG_threadParamsT{nullptr, &AsyncApply::run, 0, this, 0, "apply"};
        params_.handle = OS_LYRG_createThread(&params_);
    }
    // The apply ends once the stream threads it stops have ended.
    PZStatus join() {
        OS_LYRG_waitForThread(params_.handle, 0);
        return result_;
    }

private:
    static uint32_t run(void* arg) {
        auto* self = static_cast<AsyncApply*>(arg);
        self->result_ = PZFrames_ApplyStreamingConfig(self->config_);
        return 0;
    }
    PZStreamingConfig config_;
    PZStatus result_ = PZStatus_Error;
    OS_LYRG_threadParamsT params_{};
};

// `running` is the one sign that a stop has begun; it has no signal of its
// own, so it is watched within a bound.
bool waitStopping(PZFrameStreamKind kind) {
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (PZFrames_get()->streams[kind].running.load()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        OS_LYRG_sleepMs(1);
    }
    return true;
}

// --- configuration ---------------------------------------------------------------------------

TEST_F(FrameStreamsTest, AllOffConfigurationSendsAStreamlessRequestAndNoCalibrationRequest) {
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(allOff()), PZStatus_Success);
    const auto requests = script_.streamingRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(requests[0].hasIr || requests[0].hasDepth || requests[0].hasVis);
    EXPECT_EQ(requests[0].roiX, 11);
    EXPECT_EQ(requests[0].roiH, 44);
    EXPECT_EQ(script_.calibrationRequests(), 0u);
    // Nothing opened on the processor, no stream thread started.
    EXPECT_EQ(managerRequests(), 0u);
    EXPECT_EQ(linktest::threadCountOnceAtMost(threadsBefore_), threadsBefore_);
}

TEST_F(FrameStreamsTest, OptionsOfTheConfigurationReachTheFirmware) {
    Receiver receiver;
    script_.setCalibrationText(kCalibration);
    PZStreamingConfig config = infrared(&receiver);
    config.punishmentOn = true;
    config.dsrOff = true;
    config.hybrid = true;
    config.singleChunk = true;
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(config), PZStatus_Success);
    config.punishmentOn = false;
    config.dsrOff = false;
    config.ibOff = true;
    config.hybrid = false;
    config.singleChunk = false;
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(config), PZStatus_Success);

    const auto requests = script_.streamingRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].hasIr);
    EXPECT_FALSE(requests[0].hasDepth);
    EXPECT_EQ(requests[0].irFormat, 1);  // ir10
    EXPECT_FLOAT_EQ(requests[0].irFps, 30);
    EXPECT_EQ(requests[0].punishment, 32u);
    EXPECT_FALSE(requests[0].dsr);
    EXPECT_TRUE(requests[0].ib);
    EXPECT_TRUE(requests[0].hybrid);
    EXPECT_EQ(requests[0].chunks, 1);
    EXPECT_EQ(requests[1].punishment, 0u);
    EXPECT_TRUE(requests[1].dsr);
    EXPECT_FALSE(requests[1].ib);
    EXPECT_FALSE(requests[1].hybrid);
    EXPECT_EQ(requests[1].chunks, 4);
    // An image stream asks for the calibration each time.
    EXPECT_EQ(script_.calibrationRequests(), 2u);
    // The first stream was stopped and its service closed before the second started.
    EXPECT_TRUE(waitForSink("VIDEO", 2));
}

TEST_F(FrameStreamsTest, EnabledStreamWithFormatZeroIsRefusedAndWhatRanStaysStopped) {
    Receiver receiver;
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(&receiver)), PZStatus_Success);
    ASSERT_TRUE(waitForSink("VIDEO"));
    const size_t requestsBefore = script_.streamingRequests().size();

    PZStreamingConfig config = allOff();
    config.depthResolution = PZ_RESOLUTION_FULL;
    config.depthCallback = &Receiver::onFrame;
    config.depthUserData = &receiver;
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(config), PZStatus_InvalidParameter);
    const std::string line = lineWith("Invalid stream format specified (0, 0, 0)");
    ASSERT_FALSE(line.empty());
    EXPECT_NE(line.find("WARN"), std::string::npos);
    // The infrared stream that ran was stopped and is not started again;
    // nothing went to the firmware.
    EXPECT_EQ(VPUP_getState()->handles[VPUG_SID_VIDEO], nullptr);
    EXPECT_EQ(processor_.manager.openServices().count(VPUG_SID_VIDEO), 0u);
    EXPECT_EQ(script_.streamingRequests().size(), requestsBefore);

    // The three formats in infrared, depth, visible order.
    config = infrared(&receiver, PZFrameFormat_Ir8);
    config.visibleResolution = PZ_RESOLUTION_FULL;
    config.depthResolution = PZ_RESOLUTION_FULL;
    config.depthFormat = PZFrameFormat_Disparity16;
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(config), PZStatus_InvalidParameter);
    EXPECT_EQ(log_.count("Invalid stream format specified (1, 3, 0)"), 1u);
    EXPECT_EQ(managerRequests(), 2u);  // the first open and its close
}

TEST_F(FrameStreamsTest, RefusedConfigurationReturnsItsStatusAndStartsNothing) {
    Receiver receiver;
    script_.setStreamingError(static_cast<uint16_t>(mc::Error::INVALID_CONFIGURATION));
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(infrared(&receiver)), PZStatus_InvalidConfiguration);
    EXPECT_EQ(log_.count("Failed to initialize device: 6"), 1u);
    EXPECT_EQ(script_.calibrationRequests(), 0u);
    EXPECT_EQ(managerRequests(), 0u);

    // Refused by the driver itself (infrared and depth at different rates):
    // nothing reaches the firmware.
    script_.setStreamingError(static_cast<uint16_t>(mc::Error::SUCCESS));
    PZStreamingConfig config = infrared(&receiver);
    config.depthResolution = PZ_RESOLUTION_FULL;
    config.depthFormat = PZFrameFormat_Disparity16;
    config.depthFps = 15;
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(config), PZStatus_InvalidConfiguration);
    EXPECT_EQ(script_.streamingRequests().size(), 1u);
    EXPECT_EQ(managerRequests(), 0u);
    EXPECT_EQ(linktest::threadCountOnceAtMost(threadsBefore_), threadsBefore_);
}

TEST_F(FrameStreamsTest, ApplyBeforeInitialisationAndAfterDeinitialisationIsNotReady) {
    ASSERT_EQ(deinitFrameStreams(), 0);
    Receiver receiver;
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(infrared(&receiver)), PZStatus_DeviceNotReady);
    EXPECT_TRUE(script_.streamingRequests().empty());
    // Initialised again, it works again.
    ASSERT_EQ(initFrameStreams(), 0);
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(allOff()), PZStatus_Success);
}

// --- frames ----------------------------------------------------------------------------------

TEST_F(FrameStreamsTest, InfraredFramesCarryTheirHeaderAndTemperatureCorrectedFocalLengths) {
    Receiver receiver;
    receiver.setBytesPerFrame(64);
    script_.setCalibrationText(kCalibration);
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(&receiver)), PZStatus_Success);
    ASSERT_TRUE(waitForSink("VIDEO"));

    const double before = static_cast<double>(OS_LYRG_getNsecTime()) / 1e9;
    // First frame: left 40 degrees (5 above calibration), right 30 (equal).
    ASSERT_TRUE(sendFrame(SimFrameProducer::kVideo, 1, irHeader(4000, 3000), Bytes(64, 0x11)));
    ASSERT_TRUE(receiver.waitFrames(1));
    // Second frame: the left camera jumps to 50; the filter moves slowly.
    ASSERT_TRUE(sendFrame(SimFrameProducer::kVideo, 2, irHeader(5000, 3000), Bytes(64, 0x22)));
    ASSERT_TRUE(receiver.waitFrames(2));
    const double after = static_cast<double>(OS_LYRG_getNsecTime()) / 1e9;

    const auto frames = receiver.frames();
    const PZFrameData& f = frames[0].data;
    EXPECT_TRUE(frames[0].calibrationIsTheRecords);
    EXPECT_EQ(f.format, uint32_t{PZFrameFormat_Ir10});
    EXPECT_EQ(f.frameValue, 1u);
    EXPECT_EQ(f.frameStamp, 0x1122334455660001ull);
    EXPECT_EQ(f.headerShort0, 0x1234);
    EXPECT_EQ(f.headerShort1, 0x5678);
    EXPECT_GE(f.hostTime, before);
    EXPECT_LE(f.hostTime, after);
    EXPECT_EQ(frames[0].bytes, Bytes(64, 0x11));
    const float left[5] = {2.0f, 1.5f, 0.25f, 40.0f, -1.2345f};
    const float right[5] = {3.0f, 2.5f, 0.5f, 30.0f, 2.0f};
    for (int k = 0; k < 5; ++k) {
        EXPECT_FLOAT_EQ(f.leftMetadata[k], left[k]) << k;
        EXPECT_FLOAT_EQ(f.rightMetadata[k], right[k]) << k;
    }
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(f.leftExtra[k], k + 1);
        EXPECT_EQ(f.rightExtra[k], k + 5);
    }
    // The filter starts at the first frame's temperature.
    EXPECT_EQ(f.calibration.fc_left, kFcLeft);
    EXPECT_NEAR(f.calibration.fc_left_corrected, kFcLeft * (1 + 5 * kTempCoeff), kFcLeft * 1e-8);
    EXPECT_NEAR(f.calibration.fc_right_corrected, kFcRight, kFcRight * 1e-8);

    // 50 x 0.000755 + 40 x 0.999245 = 40.00755.
    const PZFrameData& g = frames[1].data;
    EXPECT_FLOAT_EQ(g.leftMetadata[3], 50.0f);
    EXPECT_NEAR(g.calibration.fc_left_corrected, kFcLeft * (1 + 5.00755 * kTempCoeff), kFcLeft * 1e-8);
    EXPECT_NEAR(PZFrames_get()->filteredTempLeft, 40.00755f, 1e-4f);

    EXPECT_EQ(PZFrames_ApplyStreamingConfig(allOff()), PZStatus_Success);
    expectPoolsFull();
}

// The sink message ends before the two bytes, so no frame through the host
// library carries them: their order is checked on the header record itself.
TEST(DepthHeader, TheSecondHeaderByteIsTheFirstDepthByte) {
    DEPTH_frameHdrRec header{};
    header.f84 = 0x12;
    header.f85 = 0x34;
    PZFrameData frame{};
    PZFrames_fillDepthHeader(header, &frame);
    EXPECT_EQ(frame.depthByte0, 0x34);
    EXPECT_EQ(frame.depthByte1, 0x12);
}

TEST_F(FrameStreamsTest, DepthFramesShareTheTemperatureFilterWithInfrared) {
    Receiver ir;
    Receiver depth;
    script_.setCalibrationText(kCalibration);
    PZStreamingConfig config = infrared(&ir);
    config.depthFps = 30;
    config.depthResolution = PZ_RESOLUTION_FULL;
    config.depthFormat = PZFrameFormat_Disparity16;
    config.depthCallback = &Receiver::onFrame;
    config.depthUserData = &depth;
    config.noStartupTwistComp = true;
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(config), PZStatus_Success);
    ASSERT_TRUE(waitForSink("VIDEO"));
    ASSERT_TRUE(waitForSink("DEPTH"));
    EXPECT_EQ(script_.calibrationRequests(), 1u);

    ASSERT_TRUE(sendFrame(SimFrameProducer::kVideo, 1, irHeader(4000, 3000)));
    ASSERT_TRUE(ir.waitFrames(1));
    FrameHeader h;
    h.short0 = 7;
    h.short1 = 9;
    // Words 1..8 as for infrared, 9 and 10 copied, 11 and 12 signed.
    h.words = {1'000'000, 4'000'000, 100, 200, 300, 400, 5000, 3000, 0xDEADBEEF, 77,
               static_cast<uint32_t>(-20000), 5000};

    ASSERT_TRUE(sendFrame(SimFrameProducer::kDepth, 5, h));
    ASSERT_TRUE(depth.waitFrames(1));

    const PZFrameData f = depth.frames()[0].data;
    EXPECT_EQ(f.format, uint32_t{PZFrameFormat_Disparity16});
    EXPECT_EQ(f.frameValue, 5u);
    EXPECT_EQ(f.headerShort0, 7);
    EXPECT_EQ(f.headerShort1, 9);
    const float left[5] = {1.0f, 0.1f, 0.3f, 50.0f, -2.0f};
    const float right[5] = {4.0f, 0.2f, 0.4f, 30.0f, 0.5f};
    for (int k = 0; k < 5; ++k) {
        EXPECT_FLOAT_EQ(f.leftMetadata[k], left[k]) << k;
        EXPECT_FLOAT_EQ(f.rightMetadata[k], right[k]) << k;
    }
    EXPECT_EQ(f.depthValue0, 0xDEADBEEFu);
    EXPECT_EQ(f.depthValue1, 77u);

    // The infrared frame set the filter at 40; the depth frame's 50 moves it on.
    EXPECT_NEAR(f.calibration.fc_left_corrected, kFcLeft * (1 + 5.00755 * kTempCoeff), kFcLeft * 1e-8);
}

TEST_F(FrameStreamsTest, StartingDepthArmsTheOneShotTwistCompensationUnlessTheConfigurationSaysNot) {
    PZStreamingConfig config = allOff();
    config.depthFps = 30;
    config.depthResolution = PZ_RESOLUTION_FULL;
    config.depthFormat = PZFrameFormat_Disparity16;
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(config), PZStatus_Success);
    EXPECT_EQ(log_.count("Enabling a one-shot twist comp on start up"), 1u);
    EXPECT_EQ(firmware_->twistModes().size(), 1u);
    config.noStartupTwistComp = true;
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(config), PZStatus_Success);
    // Infrared alone never arms it.
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(nullptr)), PZStatus_Success);
    EXPECT_EQ(log_.count("Enabling a one-shot twist comp on start up"), 1u);
    EXPECT_EQ(firmware_->twistModes().size(), 1u);
    TwistComp_stop(true);
}

TEST_F(FrameStreamsTest, VisibleFramesCarryFourValuesAndThePlainCalibration) {
    Receiver receiver;
    script_.setCalibrationText(kCalibration);
    PZStreamingConfig config = allOff();
    config.visibleFps = 15;
    config.visibleResolution = PZ_RESOLUTION_FULL;
    config.visibleFormat = PZFrameFormat_Rgb888;
    config.visibleCallback = &Receiver::onFrame;
    config.visibleUserData = &receiver;
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(config), PZStatus_Success);
    ASSERT_TRUE(waitForSink("WEBCAM"));
    FrameHeader h;
    h.words = {5'000'000, 2000, 3000, 250'000};
    ASSERT_TRUE(sendFrame(SimFrameProducer::kWebcam, 9, h));
    ASSERT_TRUE(receiver.waitFrames(1));
    const PZFrameData f = receiver.frames()[0].data;
    EXPECT_EQ(f.format, uint32_t{PZFrameFormat_Rgb888});
    const float values[4] = {5.0f, 2.0f, 3.0f, 2.5f};
    for (int k = 0; k < 4; ++k) EXPECT_FLOAT_EQ(f.leftMetadata[k], values[k]) << k;
    EXPECT_EQ(f.calibration.fc_left, kFcLeft);
    EXPECT_EQ(f.calibration.fc_left_corrected, 0.0);
    // Visible frames leave the temperature filter alone.
    EXPECT_TRUE(std::isnan(PZFrames_get()->filteredTempLeft));
}

TEST_F(FrameStreamsTest, FailedCalibrationRequestIsLoggedAndFramesKeepThePreviousCalibration) {
    Receiver receiver;
    script_.setCalibrationText(kCalibration);
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(&receiver)), PZStatus_Success);
    script_.setCalibrationError(static_cast<uint16_t>(mc::Error::IO_ERROR));
    script_.setCalibrationText("version=4000 fc_left=1");
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(&receiver)), PZStatus_Success);
    EXPECT_EQ(log_.count("Failed to get calibration data: "), 1u);
    EXPECT_EQ(script_.calibrationRequests(), 2u);
    ASSERT_TRUE(waitForSink("VIDEO", 2));
    ASSERT_TRUE(sendFrame(SimFrameProducer::kVideo, 1, irHeader(3500, 3000)));
    ASSERT_TRUE(receiver.waitFrames(1));
    EXPECT_EQ(receiver.frames()[0].data.calibration.fc_left, kFcLeft);
}

// --- a slow application, no application, no memory ------------------------------------------------

TEST_F(FrameStreamsTest, FullRingDropsTheThirdFrameArrivingDuringACallbackAndGivesItsBufferBackAtOnce) {
    Receiver receiver;
    receiver.holdFirst();
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(&receiver)), PZStatus_Success);
    ASSERT_TRUE(waitForSink("VIDEO"));
    const uint32_t total = poolSize(kVideoPool);
    ASSERT_TRUE(sendFrame(SimFrameProducer::kVideo, 1, irHeader(4000, 4000)));
    ASSERT_TRUE(receiver.waitHolding());
    for (uint32_t value = 2; value <= 4; ++value) {
        ASSERT_TRUE(sendFrame(SimFrameProducer::kVideo, value, irHeader(4000, 4000)));
    }
    ASSERT_TRUE(log_.waitFor("Dropping IR frame (Client not processing fast enough)", 1, kBound));
    EXPECT_NE(lineWith("Dropping IR frame").find("WARN"), std::string::npos);
    // The callback holds frame 1 and the ring frames 2 and 3: frame 4's
    // buffer is back while the callback still runs.
    EXPECT_EQ(freeSettled(kVideoPool, total - 3), total - 3);
    receiver.release();
    ASSERT_TRUE(receiver.waitFrames(3));
    const auto frames = receiver.frames();
    ASSERT_EQ(frames.size(), 3u);
    for (uint32_t k = 0; k < 3; ++k) EXPECT_EQ(frames[k].data.frameValue, k + 1);
    EXPECT_EQ(freeSettled(kVideoPool, total), total);
}

TEST_F(FrameStreamsTest, NullCallbackWithAResolutionStreamsAndGivesEveryBufferBackAtOnce) {
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(nullptr)), PZStatus_Success);
    ASSERT_TRUE(waitForSink("VIDEO"));
    // Its consumer has nothing to call and ends at once.
    ASSERT_TRUE(log_.waitFor("Frame CB wrapper thread exiting (IR Frame CB)", 1, kBound));
    const uint32_t total = poolSize(kVideoPool);
    // More frames than the pool has buffers: each must come back before the next.
    for (uint32_t value = 1; value <= total + 2; ++value) {
        ASSERT_TRUE(sendFrame(SimFrameProducer::kVideo, value, irHeader(4000, 4000)));
        ASSERT_EQ(freeSettled(kVideoPool, total), total) << "frame " << value;
    }
    EXPECT_EQ(log_.count("Dropping IR frame"), 0u);
    EXPECT_EQ(log_.count("IR Stream thread exiting"), 0u);  // the producer still runs
}

TEST_F(FrameStreamsTest, FrameWithoutMemoryForItsRecordIsDroppedAndItsBufferGivenBack) {
    Receiver receiver;
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(&receiver)), PZStatus_Success);
    ASSERT_TRUE(waitForSink("VIDEO"));
    const uint32_t total = poolSize(kVideoPool);
    PZFramesP_failAllocationsForTest(1);
    ASSERT_TRUE(sendFrame(SimFrameProducer::kVideo, 1, irHeader(4000, 4000)));
    ASSERT_TRUE(log_.waitFor("No memory to create PZFrameData", 1, kBound));
    EXPECT_EQ(freeSettled(kVideoPool, total), total);
    ASSERT_TRUE(sendFrame(SimFrameProducer::kVideo, 2, irHeader(4000, 4000)));
    ASSERT_TRUE(receiver.waitFrames(1));
    EXPECT_EQ(receiver.frames()[0].data.frameValue, 2u);
}

// --- histograms --------------------------------------------------------------------------------

TEST_F(FrameStreamsTest, HistogramsCarryTheirWordsAndBinsCopiedIntoTheRecord) {
    Receiver receiver;
    PZStreamingConfig config = allOff();
    config.histogramCallback = &Receiver::onHistogram;
    config.histogramUserData = &receiver;
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(config), PZStatus_Success);
    // Histograms alone: the firmware hears of no image stream, and no calibration is asked for.
    ASSERT_EQ(script_.streamingRequests().size(), 1u);
    EXPECT_FALSE(script_.streamingRequests()[0].hasIr);
    EXPECT_EQ(script_.calibrationRequests(), 0u);
    ASSERT_TRUE(waitForPeerRequest(ALG_START_E));
    ASSERT_TRUE(processor_.producers.sendAlgResult(3));
    ASSERT_TRUE(processor_.producers.sendAlgResult(4));
    ASSERT_TRUE(receiver.waitHistograms(2));

    const auto histograms = receiver.histograms();
    const auto own = receiver.histogramPointersOwn();
    for (uint32_t k = 0; k < 2; ++k) {
        const auto expected = zsim::SimSensorProducers::algResult(3 + k);
        const PZHistogramData& h = histograms[k];
        EXPECT_EQ(h.headerWord0, expected.word8);
        EXPECT_EQ(h.headerWord1, expected.word12);
        EXPECT_EQ(h.headerWord2, expected.word16);
        EXPECT_EQ(h.binCount, PZ_HISTOGRAM_BINS);
        EXPECT_EQ(std::memcmp(h.bins0, expected.block0.data(), sizeof(h.bins0)), 0);
        EXPECT_EQ(std::memcmp(h.bins1, expected.block1.data(), sizeof(h.bins1)), 0);
        EXPECT_TRUE(own[k]);
    }
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(allOff()), PZStatus_Success);
    EXPECT_EQ(log_.count("Hist CB wrapper thread exiting (Histogram CB)"), 1u);
    EXPECT_EQ(log_.count("Histogram stream thread exiting"), 1u);
    EXPECT_EQ(processor_.manager.openServices().count(VPUG_SID_ALG), 0u);
}

// --- stopping ----------------------------------------------------------------------------------

TEST_F(FrameStreamsTest, StopGivesBackWhatTheRingHoldsAndClosesTheService) {
    Receiver receiver;
    receiver.holdFirst();
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(&receiver)), PZStatus_Success);
    ASSERT_TRUE(waitForSink("VIDEO"));
    const uint32_t total = poolSize(kVideoPool);
    for (uint32_t value = 1; value <= 3; ++value) {
        ASSERT_TRUE(sendFrame(SimFrameProducer::kVideo, value, irHeader(4000, 4000)));
        if (value == 1) {
            ASSERT_TRUE(receiver.waitHolding());
        }
    }
    // Frames 2 and 3 wait in the ring (the callback holds one buffer).
    ASSERT_EQ(freeSettled(kVideoPool, total - 3), total - 3);

    AsyncApply stop(allOff());
    const bool stopping = waitStopping(PZFrameStream_Infrared);
    receiver.release();
    EXPECT_EQ(stop.join(), PZStatus_Success);
    ASSERT_TRUE(stopping);
    // The consumer saw the stop after its callback and took nothing more:
    // the stop path gave the ring's two buffers back.
    EXPECT_EQ(receiver.frames().size(), 1u);
    EXPECT_EQ(log_.count("IR Stream thread exiting"), 1u);
    EXPECT_EQ(log_.count("Frame CB wrapper thread exiting (IR Frame CB)"), 1u);
    EXPECT_EQ(VPUP_getState()->handles[VPUG_SID_VIDEO], nullptr);
    EXPECT_EQ(processor_.manager.openServices().count(VPUG_SID_VIDEO), 0u);
    expectPoolsFull();
    EXPECT_EQ(linktest::threadCountOnceAtMost(threadsBefore_), threadsBefore_);
}

TEST_F(FrameStreamsTest, StreamWhoseStartFailsAndWhoseCallbackIsNullStillHasItsServiceClosed) {
    constexpr uint32_t kRefused = 0x02010004;
    processor_.services.setAnswer(VIDEO_STREAM_START_E, {kRefused, std::nullopt, 0ms, false});
    // No callback: the consumer ends at once; the refused start ends the
    // producer. Both threads are gone while the service stays open.
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(nullptr)), PZStatus_Success);
    ASSERT_TRUE(log_.waitFor("IR Stream thread exiting", 1, kBound));
    ASSERT_TRUE(log_.waitFor("Frame CB wrapper thread exiting (IR Frame CB)", 1, kBound));
    EXPECT_GE(log_.count("VPU call failed"), 1u);
    EXPECT_EQ(VPUP_getState()->openCounts[VPUG_SID_VIDEO], 1u);
    // The stop closes it all the same; a second configuration opens it afresh.
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(allOff()), PZStatus_Success);
    EXPECT_EQ(VPUP_getState()->openCounts[VPUG_SID_VIDEO], 0u);
    EXPECT_EQ(VPUP_getState()->handles[VPUG_SID_VIDEO], nullptr);
    EXPECT_EQ(processor_.manager.openServices().count(VPUG_SID_VIDEO), 0u);
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(nullptr)), PZStatus_Success);
    ASSERT_TRUE(log_.waitFor("IR Stream thread exiting", 2, kBound));
    EXPECT_EQ(VPUP_getState()->openCounts[VPUG_SID_VIDEO], 1u);
}

// The platform refuses one of a stream's two threads: the configuration
// fails and the next stop has nothing to wait for but a thread that started.
TEST_F(FrameStreamsTest, RefusedStreamThreadFailsTheConfigurationAndLeavesNothingToWaitFor) {
    struct Case {
        const char* name;
        uint32_t startsBefore;  // threads started before the refused one
        const char* line;
    };
    for (const Case& c : {Case{"producer", 0, "Failed to start IR Stream thread"},
                          Case{"consumer", 1, "Failed to start IR Frame CB thread"}}) {
        SCOPED_TRACE(c.name);
        Receiver receiver;
        PZThreadP_failStartsForTest(1, c.startsBefore);
        EXPECT_EQ(PZFrames_ApplyStreamingConfig(infrared(&receiver)), PZStatus_Error);
        EXPECT_EQ(log_.count(c.line), 1u);
        EXPECT_EQ(PZFrames_ApplyStreamingConfig(allOff()), PZStatus_Success);
        const PZFrameStream& ir = PZFrames_get()->streams[PZFrameStream_Infrared];
        std::lock_guard<std::mutex> lock(PZFrames_get()->stateMutex);
        EXPECT_FALSE(ir.streamAlive);
        EXPECT_FALSE(ir.callbackAlive);
    }
    // Threads are given again: the stream runs.
    Receiver receiver;
    const size_t sinks = log_.count("added stream sink for:VIDEO");
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(&receiver)), PZStatus_Success);
    ASSERT_TRUE(waitForSink("VIDEO", sinks + 1));
    ASSERT_TRUE(sendFrame(SimFrameProducer::kVideo, 1, irHeader(4000, 4000)));
    ASSERT_TRUE(receiver.waitFrames(1));
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(allOff()), PZStatus_Success);
}

TEST_F(FrameStreamsTest, ProducerWhoseServiceCannotOpenEndsAndTheStopHasNothingToClose) {
    constexpr uint32_t kRefused = 0x02010004;
    processor_.manager.setOpenAnswer(VPUG_SID_DEPTH, {kRefused, false});
    Receiver receiver;
    PZStreamingConfig config = allOff();
    config.depthFps = 30;
    config.depthResolution = PZ_RESOLUTION_DEPTH_DECIMATED;
    config.depthFormat = PZFrameFormat_Disparity16;
    config.depthCallback = &Receiver::onFrame;
    config.depthUserData = &receiver;
    config.noStartupTwistComp = true;
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(config), PZStatus_Success);
    EXPECT_TRUE(script_.streamingRequests().back().decimated);
    ASSERT_TRUE(log_.waitFor("Depth Stream thread exiting", 1, kBound));
    EXPECT_GE(log_.count("VPU call failed"), 1u);
    // Its consumer keeps waiting until the stream is stopped.
    EXPECT_EQ(log_.count("Frame CB wrapper thread exiting (Depth Frame CB)"), 0u);
    const size_t requests = managerRequests();
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(allOff()), PZStatus_Success);
    EXPECT_EQ(managerRequests(), requests);  // no close for a service never opened
    EXPECT_EQ(log_.count("Frame CB wrapper thread exiting (Depth Frame CB)"), 1u);
}

TEST_F(FrameStreamsTest, DeinitStopsAStreamStartedWhileTheDeviceWasNotReady) {
    updateState(PZDeviceState_Booting);
    Receiver receiver;
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(infrared(&receiver)), PZStatus_Success);
    // Not ready: neither request is made, but the stream runs.
    EXPECT_TRUE(script_.streamingRequests().empty());
    EXPECT_EQ(script_.calibrationRequests(), 0u);
    ASSERT_TRUE(waitForSink("VIDEO"));
    ASSERT_TRUE(sendFrame(SimFrameProducer::kVideo, 1, irHeader(4000, 4000)));
    ASSERT_TRUE(receiver.waitFrames(1));

    const size_t requests = managerRequests();
    EXPECT_EQ(deinitFrameStreams(), 0);
    EXPECT_EQ(log_.count("IR Stream thread exiting"), 1u);
    EXPECT_EQ(log_.count("Frame CB wrapper thread exiting (IR Frame CB)"), 1u);
    EXPECT_EQ(linktest::threadCountOnceAtMost(threadsBefore_), threadsBefore_);
    // The device is not ready: the close is forced and nothing is sent.
    EXPECT_EQ(managerRequests(), requests);
    EXPECT_EQ(VPUP_getState()->handles[VPUG_SID_VIDEO], nullptr);
    EXPECT_EQ(PZFrames_get()->streams[PZFrameStream_Infrared].service, nullptr);
    expectPoolsFull();
    EXPECT_EQ(PZFrames_ApplyStreamingConfig(allOff()), PZStatus_DeviceNotReady);
}

}  // namespace

namespace {

using namespace framestest;

TEST_F(FrameStreamsTest, StreamLeftRunningWhenTheLibraryWentDownIsStillStoppedAtDeinit) {
    updateState(PZDeviceState_Booting);
    Receiver receiver;
    PZStreamingConfig config{};
    config.irResolution = PZ_RESOLUTION_FULL;
    config.irFormat = PZFrameFormat_Ir8;
    config.irCallback = &Receiver::onFrame;
    config.irUserData = &receiver;
    ASSERT_EQ(PZFrames_ApplyStreamingConfig(config), PZStatus_Success);
    ASSERT_TRUE(waitForSink("VIDEO"));
    // The library goes down beneath the stream: its reads are refused from
    // now on, and its service can no longer be closed.
    const size_t withStreams = linktest::threadCount();
    VPUG_deinit();
    const size_t libraryGone = linktest::threadCount();
    EXPECT_EQ(deinitFrameStreams(), 0);
    EXPECT_EQ(log_.count("IR Stream thread exiting"), 1u);
    EXPECT_EQ(log_.count("Frame CB wrapper thread exiting (IR Frame CB)"), 1u);
    EXPECT_NE(lineWith("VPU call failed").find("ERROR"), std::string::npos);
    EXPECT_EQ(PZFrames_get()->streams[PZFrameStream_Infrared].service, nullptr);
    // The two stream threads are gone with it.
    EXPECT_LT(libraryGone, withStreams);
    threadsBefore_ = linktest::threadCountOnceAtMost(libraryGone - 2);
    EXPECT_EQ(threadsBefore_, libraryGone - 2);
    EXPECT_TRUE(receiver.frames().empty());
}

}  // namespace
