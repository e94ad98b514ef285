// Shared set-up of the frame-stream tests: the host library's whole service
// stack up against the simulated processor (interfaces 0..3), the simulated
// firmware on the client interface with the device client started, the
// device ready, and the frame streams initialised. The firmware answers the
// stream configuration and the calibration request as the test says and
// keeps what it was asked.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <capnp/message.h>
#include <capnp/serialize.h>

#include "driver/device_client.h"
#include "driver/device_protocol.h"
#include "driver/device_record.h"
#include "driver/frame_streams.h"
#include "host_lib/marshal.h"
#include "host_lib/streamer.h"
#include "host_lib/svc_mngr.h"
#include "host_lib/tests/host_stack_fixture.h"
#include "host_lib/vpu_host_api.h"
#include "sim/sim_firmware.h"
#include "sim/sim_frame_producer.h"

namespace framestest {

using namespace std::chrono_literals;
using zsim::Bytes;
using zsim::SimFrameProducer;
namespace mc = morv::client;

// Waits that end as soon as their event comes (a stream thread notices a
// stop within one read slice); the bound only ends the wait for one that
// never comes, and a loaded machine can take seconds to schedule the threads.
constexpr auto kBound = 10s;

// What the firmware saw of the two requests the frame streams make, and how
// it answers them.
class FirmwareScript {
public:
    // One streamingCfg request as the device decoded it.
    struct StreamingCfg {
        bool hasIr = false, hasDepth = false, hasVis = false;
        uint16_t irFormat = 0, depthFormat = 0, visFormat = 0;
        uint16_t chunks = 0;
        bool decimated = false, dsr = false, ib = false, hybrid = false;
        uint32_t punishment = 0;
        float irFps = 0, visFps = 0;
        uint16_t roiX = 0, roiY = 0, roiW = 0, roiH = 0;
    };

    void setStreamingError(uint16_t error) {
        std::lock_guard<std::mutex> lock(mutex_);
        streamingError_ = error;
    }
    void setCalibrationText(std::string text) {
        std::lock_guard<std::mutex> lock(mutex_);
        calibrationText_ = std::move(text);
    }
    void setCalibrationError(uint16_t error) {
        std::lock_guard<std::mutex> lock(mutex_);
        calibrationError_ = error;
    }
    std::vector<StreamingCfg> streamingRequests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return streaming_;
    }
    size_t calibrationRequests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calibrations_;
    }

    // Runs on the firmware thread for every request; answers the two it knows.
    bool handle(mc::Request::Reader request, zsim::SimFirmware& firmware) {
        const uint32_t reply = request.getId() + 1u;
        auto msg = request.getMsg();
        if (msg.isStreamingCfg()) {
            uint16_t error = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                streaming_.push_back(decode(msg.getStreamingCfg()));
                error = streamingError_;
            }
            firmware.sendResponse(reply, [&](mc::Response::Builder response) {
                response.setError(static_cast<mc::Error>(error));
                response.getMsg().initDeviceState().setState(mc::State::READY);
            });
            return true;
        }
        if (msg.isCalibrate()) {
            std::string text;
            uint16_t error = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++calibrations_;
                text = calibrationText_;
                error = calibrationError_;
            }
            firmware.sendResponse(reply, [&](mc::Response::Builder response) {
                response.setError(static_cast<mc::Error>(error));
                response.getMsg().setDeviceCalibration(
                    kj::arrayPtr(reinterpret_cast<const kj::byte*>(text.data()), text.size()));
            });
            return true;
        }
        return false;
    }

private:
    static StreamingCfg decode(mc::StreamingConfig::Reader config) {
        StreamingCfg out;
        auto vpu3 = config.getVpu3();
        out.hasIr = vpu3.hasIr();
        out.hasDepth = vpu3.hasDepth();
        out.hasVis = vpu3.hasVis();
        if (out.hasIr) out.irFormat = static_cast<uint16_t>(vpu3.getIr().getFrameFormat());
        if (out.hasDepth) out.depthFormat = static_cast<uint16_t>(vpu3.getDepth().getFrameFormat());
        if (out.hasVis) out.visFormat = static_cast<uint16_t>(vpu3.getVis().getFrameFormat());
        if (out.hasIr) out.chunks = vpu3.getIr().getChunks();
        if (out.hasDepth) out.chunks = vpu3.getDepth().getChunks();
        out.decimated = vpu3.getDecimated();
        out.dsr = vpu3.getDsr();
        out.ib = vpu3.getIb();
        out.hybrid = vpu3.getHybrid();
        out.punishment = vpu3.getPunishment();
        out.irFps = vpu3.getIrFps();
        out.visFps = vpu3.getVisFps();
        auto roi = vpu3.getIrAutoExp().getRoi();
        out.roiX = roi.getX();
        out.roiY = roi.getY();
        out.roiW = roi.getW();
        out.roiH = roi.getH();
        return out;
    }

    mutable std::mutex mutex_;
    uint16_t streamingError_ = static_cast<uint16_t>(mc::Error::SUCCESS);
    uint16_t calibrationError_ = static_cast<uint16_t>(mc::Error::SUCCESS);
    std::string calibrationText_;
    std::vector<StreamingCfg> streaming_;
    size_t calibrations_ = 0;
};

// Header words of a frame as the processor's header record carries them:
// word n (1-based) is the n-th 32-bit field after the two leading 16-bit ones.
struct FrameHeader {
    uint16_t short0 = 0, short1 = 0;
    std::vector<uint32_t> words;   // words[0] is word 1
    std::vector<uint16_t> shorts;  // infrared: the eight 16-bit fields behind word 10
    uint8_t byte84 = 0, byte85 = 0;
};

class FrameStreamsTest : public stacktest::HostStackTest {
protected:
    struct StreamStart {
        uint32_t code;
        uint32_t dataType;
        uint32_t streamId;
    };
    static constexpr StreamStart kStreamStarts[] = {
        {VIDEO_STREAM_START_E, 0x3000000, 1},
        {DEPTH_STREAM_START_E, 0x4000000, 2},
        {WEBCAM_STREAM_START_E, 0x5000007, 3},
    };
    static uint32_t streamIdOf(const SimFrameProducer::Route& route) {
        if (route.code == VIDEO_FRAME_E) return 1;
        if (route.code == DEPTH_FRAME_E) return 2;
        return 3;
    }

    void SetUp() override {
        HostStackTest::SetUp();
        usb_.plug({PZ_CLIENT_INTERFACE});
        firmware_ = std::make_unique<zsim::SimFirmware>(usb_, PZ_CLIENT_INTERFACE);
        firmware_->setRequestHook(
            [this](mc::Request::Reader request, zsim::SimFirmware& firmware) { return script_.handle(request, firmware); });
        firmware_->start();
        // The processor numbers the streams it starts; every sink of the host
        // lives under its stream id, so the three services get distinct ones.
        for (const auto& [code, dataType, stream] : kStreamStarts) {
            Bytes record(8, 0);
            std::memcpy(record.data(), &dataType, 4);
            std::memcpy(record.data() + 4, &stream, 4);
            processor_.services.setAnswer(code, {0, record, 0ms, false});
        }
        ASSERT_EQ(startClient(nullptr), 0);
        ASSERT_EQ(VPUG_init(&stacktest::LinkEvents::onConnState), SVC_MNGR__RET_SUCCESS);
        ASSERT_TRUE(stacktest::LinkEvents::instance().waitFor(VPUG_CONN_STATE_CONNECTED_E, 1, linktest::kLinkBound));
        updateState(PZDeviceState_Ready);
        ASSERT_EQ(initFrameStreams(), 0);
        threadsBefore_ = linktest::threadCount();
    }

    void TearDown() override {
        // Whatever a test left running is stopped here; no stream thread may
        // outlive the de-initialisation.
        EXPECT_EQ(deinitFrameStreams(), 0);
        EXPECT_EQ(linktest::threadCountOnceAtMost(threadsBefore_), threadsBefore_);
        VPUG_deinit();
        usb_.unplug();
        stopClient();
        firmware_->stop();
        firmware_.reset();
        HostStackTest::TearDown();
    }

    // --- what the tests send ----------------------------------------------------------------

    // A frame of the route's service whose host header record holds `header`
    // and whose data is `data`, on the service's stream, in one fragment.
    static SimFrameProducer::Frame makeFrame(const SimFrameProducer::Route& route, uint32_t value,
                                             const FrameHeader& header, Bytes data) {
        Bytes host(MARSHALG_getIoctlSize(route.code), 0);
        STREAMER_frameHdrT generic{};
        generic.streamId = streamIdOf(route);
        generic.frameWord = 0x0B0A;
        generic.fragIndex = 0;
        generic.fragLength = static_cast<uint32_t>(data.size());
        generic.fragCount = 1;
        generic.frameValue = value;
        generic.frameStamp = 0x1122334455660000ull + value;
        std::memcpy(host.data(), &generic, sizeof(generic));
        std::memcpy(host.data() + 32, &header.short0, 2);
        std::memcpy(host.data() + 34, &header.short1, 2);
        for (size_t n = 0; n < header.words.size(); ++n) std::memcpy(host.data() + 36 + 4 * n, &header.words[n], 4);
        if (route.code == VIDEO_FRAME_E) {
            // Four 16-bit fields at 92..98 (left), four at 80..86 (right).
            static constexpr size_t kOffsets[8] = {92, 94, 96, 98, 80, 82, 84, 86};
            for (size_t k = 0; k < header.shorts.size() && k < 8; ++k)
                std::memcpy(host.data() + kOffsets[k], &header.shorts[k], 2);
        }
        if (route.code == DEPTH_FRAME_E) {
            host[84] = header.byte84;
            host[85] = header.byte85;
        }
        Bytes wire(MARSHALG_getMarshalledSize(route.code), 0);
        EXPECT_TRUE(MARSHALG_convert(MARSHALG_MARSHAL_E, route.code, host.data(), wire.data(),
                                     static_cast<uint32_t>(wire.size()), nullptr));
        SimFrameProducer::Frame frame;
        frame.streamId = generic.streamId;
        frame.frameWord = generic.frameWord;
        frame.frameValue = value;
        frame.frameStamp = generic.frameStamp;
        frame.tail.assign(wire.begin() + SimFrameProducer::kGenericWireBytes, wire.end());
        frame.data = std::move(data);
        return frame;
    }

    bool sendFrame(const SimFrameProducer::Route& route, uint32_t value, const FrameHeader& header = {},
                   Bytes data = Bytes(64, 0x5A)) {
        return processor_.frames.sendFrame(route, makeFrame(route, value, header, std::move(data)), 4096);
    }

    // The host adds a stream's sink when the processor confirms the start;
    // frames sent before that are dropped by the streamer, so a test waits.
    bool waitForSink(const char* service, size_t times = 1) {
        return log_.waitFor(std::string("added stream sink for:") + service, times, kBound);
    }
    // The processor's peer has received a request with this code (the ALG
    // service takes results from the moment it forwards its start).
    bool waitForPeerRequest(uint32_t code, size_t times = 1) {
        for (size_t n = 1; n < 64; ++n) {
            if (!processor_.services.waitForRequests(n, kBound)) return false;
            size_t seen = 0;
            for (const auto& packet : processor_.services.requests()) seen += packet.header().code == code;
            if (seen >= times) return true;
        }
        return false;
    }

    // --- what the tests look at ---------------------------------------------------------------

    std::string lineWith(const std::string& text) {
        std::lock_guard<std::mutex> lock(log_.mutex);
        for (const auto& line : log_.lines)
            if (line.find(text) != std::string::npos) return line;
        return {};
    }

    // Free buffers of the service manager's pool `pool` once it has settled
    // on `expected` (pools give no signal when a buffer comes back). A buffer
    // comes back in moments or never: the bound only ends the wait for one
    // that never does.
    static uint32_t freeSettled(uint32_t pool, uint32_t expected, std::chrono::milliseconds bound = 10s) {
        MEM_POOLG_handleT handle = SVC_MNGRP_getState()->pools[pool];
        const auto deadline = std::chrono::steady_clock::now() + bound;
        uint32_t now = MEM_POOLG_getNumFree(handle);
        while (now != expected && std::chrono::steady_clock::now() < deadline) {
            OS_LYRG_sleepMs(1);
            now = MEM_POOLG_getNumFree(handle);
        }
        return now;
    }
    static uint32_t poolSize(uint32_t pool) { return MEM_POOLG_getNumBuffs(SVC_MNGRP_getState()->pools[pool]); }

    FirmwareScript script_;
    std::unique_ptr<zsim::SimFirmware> firmware_;
    size_t threadsBefore_ = 0;
};

// Collects what a frame or histogram callback received; a test may hold the
// callback inside its first call until it lets go.
class Receiver {
public:
    struct Frame {
        PZFrameData data;  // the record as the callback saw it (bytes copied out)
        Bytes bytes;
        bool calibrationIsTheRecords = false;
    };

    static void onFrame(PZFrameData* frame, PZCalibration* calibration, void* user) {
        auto* self = static_cast<Receiver*>(user);
        Frame copy{*frame, {}, calibration == &frame->calibration};
        if (frame->data != nullptr && self->bytesPerFrame_ > 0) {
            const auto* first = static_cast<const uint8_t*>(frame->data);
            copy.bytes.assign(first, first + self->bytesPerFrame_);
        }
        std::unique_lock<std::mutex> lock(self->mutex_);
        self->frames_.push_back(copy);
        self->changed_.notify_all();
        if (self->holdFirst_ && self->frames_.size() == 1) {
            self->holding_ = true;
            self->changed_.notify_all();
            // Released by the test (or, should it fail first, by the bound).
            self->changed_.wait_for(lock, kBound, [&] { return !self->holdFirst_; });
            self->holding_ = false;
        }
    }
    static void onHistogram(PZHistogramData* histogram, void* user) {
        auto* self = static_cast<Receiver*>(user);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->histograms_.push_back(*histogram);
        self->histogramPointersOwn_.push_back(histogram->histogram0 == histogram->bins0 &&
                                              histogram->histogram1 == histogram->bins1);
        self->changed_.notify_all();
    }

    void setBytesPerFrame(size_t n) { bytesPerFrame_ = n; }
    void holdFirst() {
        std::lock_guard<std::mutex> lock(mutex_);
        holdFirst_ = true;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        holdFirst_ = false;
        changed_.notify_all();
    }
    bool waitHolding() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return holding_; });
    }
    bool waitFrames(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return frames_.size() >= n; });
    }
    bool waitHistograms(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return histograms_.size() >= n; });
    }
    std::vector<Frame> frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    std::vector<PZHistogramData> histograms() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return histograms_;
    }
    std::vector<bool> histogramPointersOwn() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return histogramPointersOwn_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Frame> frames_;
    std::vector<PZHistogramData> histograms_;
    std::vector<bool> histogramPointersOwn_;
    size_t bytesPerFrame_ = 0;
    bool holdFirst_ = false;
    bool holding_ = false;
};

}  // namespace framestest
