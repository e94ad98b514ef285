#include "driver/stream_config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include <capnp/message.h>
#include <capnp/serialize.h>

#include "driver/tests/client_test_support.h"

namespace {

namespace mc = morv::client;
using StreamConfig = mc::VPU3StreamingConfig::StreamConfig;

// The simulated firmware with the streaming configuration answered by the
// test: every streamingCfg request is kept as the device decoded it and
// answered with `answer` (or not at all while `silent`).
class StreamConfigTest : public ztest::ClientFixture {
protected:
    void SetUp() override {
        ztest::ClientFixture::SetUp();
        firmware_->setRequestHook([this](mc::Request::Reader request, zsim::SimFirmware& firmware) {
            if (request.getMsg().which() != mc::Request::Msg::STREAMING_CFG) return false;
            mc::Error answer;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                capnp::MallocMessageBuilder copy;
                copy.setRoot(request);
                received_.push_back(capnp::messageToFlatArray(copy));
                answer = answer_;
                if (silent_) {
                    seen_.notify_all();
                    return true;
                }
            }
            seen_.notify_all();
            return firmware.sendResponse(request.getId() + 1, [answer](mc::Response::Builder response) {
                response.setError(answer);
                response.getMsg().initSupportedFormats();
            });
        });
    }

    static PZLoadConfigParams allOff() {
        PZLoadConfigParams params{};
        params.roi = {1, 2, 3, 4};
        return params;
    }
    static PZLoadConfigParams allOn() {
        PZLoadConfigParams params = allOff();
        params.irResolution = PZ_RESOLUTION_FULL;
        params.irFormat = PZFrameFormat_Ir10;
        params.irMode = PZ_IR_MODE_LEFT;
        params.depthResolution = PZ_RESOLUTION_DEPTH_DECIMATED;
        params.depthFormat = PZFrameFormat_Disparity16;
        params.visibleResolution = PZ_RESOLUTION_FULL;
        params.visibleFormat = PZFrameFormat_Rgb888;
        params.irFps = 30.0f;
        params.depthFps = 30.0f;
        params.visibleFps = 15.0f;
        params.punishment = 32;
        params.dsrOff = true;
        params.ibOff = false;
        params.hybrid = true;
        params.fourChunks = true;
        return params;
    }

    size_t receivedCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_.size();
    }
    // Runs the visitor on the last configuration the device received.
    void withLast(const std::function<void(mc::VPU3StreamingConfig::Reader)>& visit) {
        std::lock_guard<std::mutex> lock(mutex_);
        ASSERT_FALSE(received_.empty());
        capnp::FlatArrayMessageReader reader(received_.back().asPtr());
        auto request = reader.getRoot<mc::Request>();
        ASSERT_EQ(mc::Request::Msg::STREAMING_CFG, request.getMsg().which());
        auto config = request.getMsg().getStreamingCfg();
        ASSERT_EQ(mc::StreamingConfig::VPU3, config.which());
        visit(config.getVpu3());
    }
    // Sends and expects the device to have seen and accepted the configuration.
    void sendAccepted(const PZLoadConfigParams& params) {
        const size_t before = receivedCount();
        ASSERT_EQ(PZStatus_Success, PlovarZarnClient_LoadConfig(params));
        ASSERT_EQ(before + 1, receivedCount());
    }
    bool waitForReceived(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return seen_.wait_for(lock, ztest::kBound, [&] { return received_.size() >= count; });
    }

    std::mutex mutex_;
    std::condition_variable seen_;
    std::vector<kj::Array<capnp::word>> received_;
    mc::Error answer_ = mc::Error::SUCCESS;
    bool silent_ = false;
};

void expectStream(StreamConfig::Reader stream, mc::StreamSource source, uint16_t chunks, mc::FrameFormat format) {
    EXPECT_EQ(source, stream.getSrc());
    EXPECT_EQ(chunks, stream.getChunks());
    EXPECT_EQ(format, stream.getFrameFormat());
}

TEST_F(StreamConfigTest, AllStreamsOffSendsOptionsAndRegionOnly) {
    sendAccepted(allOff());
    withLast([](mc::VPU3StreamingConfig::Reader config) {
        EXPECT_FALSE(config.hasIr());
        EXPECT_FALSE(config.hasDepth());
        EXPECT_FALSE(config.hasVis());
        EXPECT_EQ(0.0f, config.getIrFps());
        EXPECT_EQ(0.0f, config.getVisFps());
        EXPECT_TRUE(config.getDsr());
        EXPECT_TRUE(config.getIb());
        EXPECT_FALSE(config.getHybrid());
        EXPECT_FALSE(config.getDecimated());
        EXPECT_EQ(0u, config.getPunishment());
        ASSERT_TRUE(config.hasIrAutoExp());
        auto autoExp = config.getIrAutoExp();
        EXPECT_EQ(mc::Component::NOTSET, autoExp.getComponent());
        EXPECT_EQ(mc::AutoExpMode::DISABLED, autoExp.getMode());
        EXPECT_EQ(0.0f, autoExp.getTarget());
        EXPECT_EQ(0.0f, autoExp.getLpf());
        EXPECT_EQ(0.0f, autoExp.getDeadzone());
        EXPECT_EQ(0.0f, autoExp.getMaxChange());
        EXPECT_EQ(1, autoExp.getRoi().getX());
        EXPECT_EQ(2, autoExp.getRoi().getY());
        EXPECT_EQ(3, autoExp.getRoi().getW());
        EXPECT_EQ(4, autoExp.getRoi().getH());
    });
    EXPECT_EQ(LOG_INFO_E, log_.levelOf("Sending load config request"));
    EXPECT_NE(std::string::npos, log_.firstWith("Sending load config request").find("PlovarZarnClient_LoadConfig"));
}

TEST_F(StreamConfigTest, EveryStreamAndOptionReachesTheDevice) {
    sendAccepted(allOn());
    withLast([](mc::VPU3StreamingConfig::Reader config) {
        ASSERT_TRUE(config.hasIr() && config.hasDepth() && config.hasVis());
        expectStream(config.getIr(), mc::StreamSource::IR_LEFT, 4, mc::FrameFormat::IR10);
        expectStream(config.getDepth(), mc::StreamSource::DEPTH, 4, mc::FrameFormat::DISPARITY16);
        expectStream(config.getVis(), mc::StreamSource::VISIBLE, 4, mc::FrameFormat::RGB888);
        EXPECT_EQ(30.0f, config.getIrFps());
        EXPECT_EQ(15.0f, config.getVisFps());
        EXPECT_FALSE(config.getDsr());
        EXPECT_TRUE(config.getIb());
        EXPECT_TRUE(config.getHybrid());
        EXPECT_EQ(32u, config.getPunishment());
        EXPECT_TRUE(config.getDecimated());
        EXPECT_FALSE(config.getBpc());
        EXPECT_FALSE(config.getWb());
        EXPECT_FALSE(config.getDms());
        EXPECT_FALSE(config.getGcr());
        EXPECT_FALSE(config.getFir());
    });

    PZLoadConfigParams params = allOn();
    params.fourChunks = false;
    params.depthResolution = PZ_RESOLUTION_FULL;
    params.dsrOff = false;
    params.ibOff = true;
    params.hybrid = false;
    params.punishment = 0xDEADBEEF;
    sendAccepted(params);
    withLast([](mc::VPU3StreamingConfig::Reader config) {
        EXPECT_EQ(1, config.getIr().getChunks());
        EXPECT_EQ(1, config.getDepth().getChunks());
        EXPECT_EQ(1, config.getVis().getChunks());
        EXPECT_FALSE(config.getDecimated());
        EXPECT_TRUE(config.getDsr());
        EXPECT_FALSE(config.getIb());
        EXPECT_FALSE(config.getHybrid());
        EXPECT_EQ(0xDEADBEEFu, config.getPunishment());
    });
}

TEST_F(StreamConfigTest, InfraredModeSelectsTheImager) {
    const std::vector<std::pair<int32_t, mc::StreamSource>> cases = {
        {1, mc::StreamSource::IR_LEFT}, {2, mc::StreamSource::IR_RIGHT}, {0, mc::StreamSource::IR_BOTH},
        {3, mc::StreamSource::IR_BOTH}, {-7, mc::StreamSource::IR_BOTH}};
    for (const auto& item : cases) {
        // Named copies: lambdas may not capture structured bindings in every C++20 compiler.
        const int32_t mode = item.first;
        const mc::StreamSource source = item.second;
        PZLoadConfigParams params = allOff();
        params.irResolution = PZ_RESOLUTION_FULL;
        params.irFormat = PZFrameFormat_Ir8;
        params.irMode = mode;
        params.irFps = 60.0f;
        sendAccepted(params);
        withLast([&](mc::VPU3StreamingConfig::Reader config) {
            EXPECT_EQ(source, config.getIr().getSrc()) << mode;
            EXPECT_EQ(60.0f, config.getIrFps());
            EXPECT_FALSE(config.hasDepth());
        });
    }
}

TEST(StreamFormatTable, DriverFormatsMapToTheirWireFormats) {
    const std::vector<mc::FrameFormat> expected = {
        mc::FrameFormat::IR8,       mc::FrameFormat::IR10,   mc::FrameFormat::DISPARITY16,
        mc::FrameFormat::RGB565,    mc::FrameFormat::RGB888, mc::FrameFormat::BAYER_BGGR,
        mc::FrameFormat::MONOCHROME8, mc::FrameFormat::MONOCHROME10};
    for (int32_t format = 1; format <= 8; ++format) {
        EXPECT_EQ(static_cast<int32_t>(expected[static_cast<size_t>(format - 1)]),
                  PZStreamConfig_formatValue(format))
            << format;
    }
    // The wire numbers themselves, which the device depends on.
    EXPECT_EQ(0, PZStreamConfig_formatValue(PZFrameFormat_Ir8));
    EXPECT_EQ(5, PZStreamConfig_formatValue(PZFrameFormat_Rgb565));
    EXPECT_EQ(7, PZStreamConfig_formatValue(PZFrameFormat_Rgb888));
    EXPECT_EQ(6, PZStreamConfig_formatValue(PZFrameFormat_BayerBggr));
    EXPECT_EQ(3, PZStreamConfig_formatValue(PZFrameFormat_Monochrome8));
    EXPECT_EQ(-1, PZStreamConfig_formatValue(0));
    EXPECT_EQ(-1, PZStreamConfig_formatValue(9));
}

TEST_F(StreamConfigTest, UnknownFormatIsLoggedAndSentAsMonochrome10) {
    EXPECT_EQ(static_cast<uint16_t>(mc::FrameFormat::IR10), getStreamFormat(PZFrameFormat_Ir10));
    EXPECT_EQ(0u, log_.count("Invalid format"));

    PZLoadConfigParams params = allOn();
    params.irFormat = 0;
    params.visibleFormat = 9;
    sendAccepted(params);
    withLast([](mc::VPU3StreamingConfig::Reader config) {
        EXPECT_EQ(mc::FrameFormat::MONOCHROME10, config.getIr().getFrameFormat());
        EXPECT_EQ(mc::FrameFormat::DISPARITY16, config.getDepth().getFrameFormat());
        EXPECT_EQ(mc::FrameFormat::MONOCHROME10, config.getVis().getFrameFormat());
    });
    EXPECT_EQ(1u, log_.count("Invalid format: 0"));
    EXPECT_EQ(1u, log_.count("Invalid format: 9"));
    EXPECT_EQ(LOG_ERROR_E, log_.levelOf("Invalid format: 0"));
    EXPECT_NE(std::string::npos, log_.firstWith("Invalid format: 9").find("getStreamFormat"));

    // A disabled stream's format is never looked at.
    params = allOff();
    params.depthFormat = 42;
    sendAccepted(params);
    EXPECT_EQ(0u, log_.count("Invalid format: 42"));
}

TEST_F(StreamConfigTest, UnsupportedResolutionsAreRefusedBeforeTheDevice) {
    PZLoadConfigParams params = allOn();
    params.irResolution = 2;
    params.depthResolution = 3;  // not even looked at: infrared is checked first
    EXPECT_EQ(PZStatus_NotSupported, PlovarZarnClient_LoadConfig(params));
    EXPECT_EQ(1u, log_.count("Unsupported IR resolution: 2"));
    EXPECT_EQ(LOG_WARN_E, log_.levelOf("Unsupported IR resolution: 2"));
    EXPECT_EQ(0u, log_.count("Unsupported depth resolution"));

    params = allOn();
    params.depthResolution = 3;
    EXPECT_EQ(PZStatus_NotSupported, PlovarZarnClient_LoadConfig(params));
    EXPECT_EQ(1u, log_.count("Unsupported depth resolution: 3"));

    params = allOn();
    params.visibleResolution = -1;
    EXPECT_EQ(PZStatus_NotSupported, PlovarZarnClient_LoadConfig(params));
    EXPECT_EQ(1u, log_.count("Unsupported visible resolution: -1"));

    // One pipe, one order: the device's first streaming request is this one.
    sendAccepted(allOn());
    EXPECT_EQ(1u, receivedCount());
    EXPECT_EQ(1u, log_.count("Sending load config request"));
}

TEST_F(StreamConfigTest, InfraredAndDepthMustShareOneRate) {
    PZLoadConfigParams params = allOn();
    params.depthFps = 15.0f;
    EXPECT_EQ(PZStatus_InvalidConfiguration, PlovarZarnClient_LoadConfig(params));
    EXPECT_EQ(1u, log_.count("Invalid configuration: Cannot stream IR and Depth at different rates"));
    EXPECT_EQ(LOG_WARN_E, log_.levelOf("Invalid configuration: Cannot stream IR and Depth"));

    params = allOn();
    params.irFps = params.depthFps = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(PZStatus_InvalidConfiguration, PlovarZarnClient_LoadConfig(params));
    EXPECT_EQ(0u, receivedCount());

    // Depth alone: its rate is the infrared rate on the wire.
    params = allOff();
    params.depthResolution = PZ_RESOLUTION_FULL;
    params.depthFormat = PZFrameFormat_Disparity16;
    params.irFps = 30.0f;
    params.depthFps = 15.0f;
    sendAccepted(params);
    withLast([](mc::VPU3StreamingConfig::Reader config) {
        EXPECT_FALSE(config.hasIr());
        EXPECT_EQ(15.0f, config.getIrFps());
    });
    // Infrared alone: the depth rate does not matter.
    params = allOff();
    params.irResolution = PZ_RESOLUTION_FULL;
    params.irFormat = PZFrameFormat_Ir8;
    params.irFps = 30.0f;
    params.depthFps = 15.0f;
    sendAccepted(params);
    withLast([](mc::VPU3StreamingConfig::Reader config) { EXPECT_EQ(30.0f, config.getIrFps()); });
}

TEST_F(StreamConfigTest, DeviceRefusalsAndFailuresComeBackAsTheClientsStatus) {
    answer_ = mc::Error::INVALID_CONFIGURATION;
    EXPECT_EQ(PZStatus_InvalidConfiguration, PlovarZarnClient_LoadConfig(allOn()));
    answer_ = mc::Error::POWER_INSUFFICIENT;
    EXPECT_EQ(PZStatus_PowerInsufficient, PlovarZarnClient_LoadConfig(allOn()));
    // Firmware that does not know the request at all.
    firmware_->setRequestHook(nullptr);
    firmware_->setUnimplemented(static_cast<uint16_t>(mc::Request::Msg::STREAMING_CFG));
    EXPECT_EQ(PZStatus_NotSupported, PlovarZarnClient_LoadConfig(allOn()));
}

TEST_F(StreamConfigTest, SensorRemovedWhileWaitingForTheAnswer) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        silent_ = true;
    }
    auto result = ztest::onThreadIn(context_, [] { return PlovarZarnClient_LoadConfig(allOff()); });
    ASSERT_TRUE(waitForReceived(1));
    usb_->unplug();
    ASSERT_EQ(std::future_status::ready, result.wait_for(ztest::kBound));
    EXPECT_EQ(PZStatus_DeviceNotReady, result.get());
}

// The same device, with the driver's client never started.
class StreamConfigWithoutClientTest : public StreamConfigTest {
protected:
    StreamConfigWithoutClientTest() { startAtSetUp_ = false; }
};

TEST_F(StreamConfigWithoutClientTest, NothingIsSent) {
    EXPECT_EQ(PZStatus_DeviceNotReady, PlovarZarnClient_LoadConfig(allOn()));
    EXPECT_EQ(0u, receivedCount());
}

}  // namespace
