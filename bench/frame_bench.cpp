// Frame-path benchmark. The simulated vision processor sends frames cut into
// fragments on the depth or the visible interface; each goes through the
// connection layer, the service channels, the streamer's reassembly,
// VPUG_read, the driver's frame-stream producer thread and its ring to the
// application's frame callback, which touches only the first and the last
// byte of the frame. The same run measures single-thread memcpy of the frame
// size: the ceiling the host path is held against.
//
// The device side stands in for a USB device: it tops the bulk pipe up to a
// high-water mark, so the host always has data waiting but the pipe never
// grows without bound, and the host reads as fast as it can. Its fragments
// are built once and queued by reference, as a device's DMA reads its own
// frame memory: the simulated device copies nothing per frame, so what the
// run costs is the host's. Every frame therefore carries the same frame
// value; nothing on the host path looks at it.
//
// The fragments reach the host over the simulated transport (stack 0), or
// over the whole Windows side of the host (stack 1: the transport back-end,
// the USB access library and the simulated Windows USB stack, which hands
// them over in USB packets).
//
// Counters:
//   memcpy_MBps      single-thread memcpy of one frame into another buffer
//   vs_memcpy        delivered MB/s divided by memcpy_MBps
//   host_cpu_MBps    delivered bytes per second of CPU time spent by the
//                    host's threads (the process's CPU time less that of the
//                    thread playing the device): what one core does on the
//                    host path, whatever else runs on the machine
//   host_vs_memcpy   host_cpu_MBps divided by memcpy_MBps
//   host_cpu_MBps_sent the same over every byte sent, delivered or drained
//   memcpy_cold_MBps single-thread memcpy of frames between buffers that are
//                    out of the caches, as the host's rotating pool buffers
//   host_vs_cold     host_cpu_MBps divided by memcpy_cold_MBps
//   copies_per_frame frame bytes the host copied (the streamer's reassembly
//                    of later fragments into the first one's buffer) per byte
//                    of the frames it completed; nothing else on the path
//                    copies frame bytes, the rest passes the buffer along
//   dropped          frames sent but never delivered to the callback
//   ring_drops       frames the driver dropped at its full ring
//   sink_drops       frames the streamer dropped at its full sink queue
//   rx_nomem         fragments the connection layer drained for want of a
//                    pool buffer
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <time.h>

#include "bench/whole_stack.h"
#include "driver/frame_streams.h"
#include "driver/stream_config.h"
#include "host_lib/host_api_records.h"
#include "host_lib/streamer.h"
#include "host_lib/svc_mngr.h"
#include "host_lib/vpu_host_api.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "sim/sim_frame_producer.h"
#include "sim/sim_svc_mngr_peer.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace {

using Clock = std::chrono::steady_clock;
using zsim::Bytes;
using zsim::SimFrameProducer;

// A fragment as the processor would cut a frame for USB 3 bulk transfers.
constexpr size_t kFragmentBytes = 64 * 1024;
// What the device keeps queued in the pipe at most before it waits.
constexpr size_t kPipeHighWater = 16u << 20;
// A batch of frames carries at least this many bytes (and 32 frames).
constexpr size_t kBatchBytes = 64u << 20;
constexpr size_t kMinBatchFrames = 32;
// A batch that makes no progress for this long has lost its remaining frames.
constexpr auto kStallBound = std::chrono::milliseconds(1000);

// Where a frame stream's fragments travel and how the driver starts it.
struct StreamRoute {
    const SimFrameProducer::Route* route;
    uint32_t startCode;
    uint32_t dataType;
    uint32_t streamId;
    uint32_t dataPool;  // the service manager's pool of the data channel
    uint32_t connection;
};

const StreamRoute kRoutes[] = {
    {&SimFrameProducer::kDepth, DEPTH_STREAM_START_E, 0x4000000, 2, 4, 2},
    {&SimFrameProducer::kWebcam, WEBCAM_STREAM_START_E, 0x5000007, 3, 5, 3},
};

// Counts the driver's "Dropping ... frame" warnings; drops everything else.
struct DropLines {
    LOGG_callbackT callback{&DropLines::onLine};
    std::atomic<uint64_t> lines{0};

    static void onLine(uint8_t, const char* line, LOGG_callbackT* self) {
        if (std::strstr(line, "Dropping") != nullptr) reinterpret_cast<DropLines*>(self)->lines.fetch_add(1);
    }
};
static_assert(offsetof(DropLines, callback) == 0);

// What the frame callback saw. Only the stream's consumer thread writes it.
struct Delivery {
    size_t frameBytes = 0;
    uint8_t first = 0;
    uint8_t last = 0;

    std::mutex mutex;
    std::condition_variable reached;
    std::atomic<uint64_t> delivered{0};
    std::atomic<uint64_t> target{0};
    uint64_t damaged = 0;
    Clock::time_point lastAt{};

    uint64_t damagedFrames() {
        std::lock_guard<std::mutex> lock(mutex);
        return damaged;
    }

    static void onFrame(PZFrameData* frame, PZCalibration*, void* user) {
        auto* self = static_cast<Delivery*>(user);
        const auto* bytes = static_cast<const volatile uint8_t*>(frame->data);
        const bool intact = bytes[0] == self->first && bytes[self->frameBytes - 1] == self->last;
        const uint64_t count = self->delivered.load(std::memory_order_relaxed) + 1;
        std::lock_guard<std::mutex> lock(self->mutex);
        if (!intact) ++self->damaged;
        self->lastAt = Clock::now();
        self->delivered.store(count, std::memory_order_release);
        if (count >= self->target.load(std::memory_order_acquire)) self->reached.notify_all();
    }

    // Waits until `count` frames have arrived, or until none has arrived for
    // the stall bound. The time of the last arrival.
    Clock::time_point waitFor(uint64_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        target.store(count, std::memory_order_release);
        uint64_t seen = delivered.load(std::memory_order_acquire);
        while (seen < count) {
            reached.wait_for(lock, kStallBound, [&] { return delivered.load() >= count; });
            const uint64_t now = delivered.load(std::memory_order_acquire);
            if (now == seen) break;
            seen = now;
        }
        return lastAt;
    }
};

double cpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The same, with each copy going to and from another buffer of a set larger
// than the caches: the ceiling for a path whose frames come through memory
// it has not touched lately, as the host's pool buffers do.
double coldMemcpyMbps(size_t frameBytes) {
    constexpr size_t kSetBytes = 256u << 20;
    const size_t count = std::max<size_t>(2, kSetBytes / frameBytes / 2);
    std::vector<std::vector<uint8_t>> from(count, std::vector<uint8_t>(frameBytes, 0x5A));
    std::vector<std::vector<uint8_t>> to(count, std::vector<uint8_t>(frameBytes, 0));
    size_t rounds = 0;
    const auto start = Clock::now();
    auto now = start;
    do {
        const size_t i = rounds % count;
        std::memcpy(to[i].data(), from[i].data(), frameBytes);
        benchmark::ClobberMemory();
        ++rounds;
        now = Clock::now();
    } while (now - start < std::chrono::milliseconds(200));
    const double seconds = std::chrono::duration<double>(now - start).count();
    return static_cast<double>(rounds * frameBytes) / seconds / 1e6;
}

// CPU time of every thread but the calling one, which plays the device.
double hostCpuSeconds() { return cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(CLOCK_THREAD_CPUTIME_ID); }

// Single-thread memcpy of one frame into another buffer, in MB/s.
double memcpyMbps(size_t frameBytes) {
    std::vector<uint8_t> from(frameBytes, 0x5A);
    std::vector<uint8_t> to(frameBytes, 0);
    size_t rounds = 0;
    const auto start = Clock::now();
    auto now = start;
    do {
        for (int i = 0; i < 8; ++i) {
            std::memcpy(to.data(), from.data(), frameBytes);
            benchmark::ClobberMemory();
        }
        rounds += 8;
        now = Clock::now();
    } while (now - start < std::chrono::milliseconds(200));
    const double seconds = std::chrono::duration<double>(now - start).count();
    return static_cast<double>(rounds * frameBytes) / seconds / 1e6;
}

// The host library and the driver's frame streams against the simulated
// processor, with one image stream running for the length of a benchmark.
class FramePath {
public:
    FramePath(const StreamRoute& route, size_t frameBytes, Delivery* delivery, bool wholeStack)
        : route_(route), context_(std::make_shared<morv::driver::Context>()), scope_(context_) {
        PZContext_GetSlot(context_.get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK),
                          [](void* value) { return value; }, &dropLines_.callback, [](void*) {});
        LOGG_init();
        usb_ = &zsim::SimUsb::installFresh();
        if (wholeStack) {
            whole_ = std::make_unique<zbench::WholeStack>(*usb_);
            if (!whole_->attach()) return;
        } else {
            usb_->plug({0, 1, 2, 3});
        }
        vpu_ = std::make_unique<zsim::SimVpu>(*usb_);
        vpu_->start();
        processor_ = std::make_unique<zsim::SimProcessorServices>(*vpu_);
        processor_->serve();
        Bytes record(8, 0);
        std::memcpy(record.data(), &route.dataType, 4);
        std::memcpy(record.data() + 4, &route.streamId, 4);
        processor_->services.setAnswer(route.startCode, {0, record, std::chrono::milliseconds(0), false});
        buildFragments(frameBytes, delivery);

        if (ERRG_FAILED(VPUG_init(nullptr))) return;
        initialised_ = true;
        if (initFrameStreams() != 0) return;
        // The device has reported no state, so the driver asks the firmware
        // nothing and starts the stream at once.
        PZStreamingConfig config{};
        config.noStartupTwistComp = true;
        if (route.route == &SimFrameProducer::kDepth) {
            config.depthFps = 30;
            config.depthResolution = PZ_RESOLUTION_FULL;
            config.depthFormat = PZFrameFormat_Disparity16;
            config.depthCallback = &Delivery::onFrame;
            config.depthUserData = delivery;
        } else {
            config.visibleFps = 30;
            config.visibleResolution = PZ_RESOLUTION_FULL;
            config.visibleFormat = PZFrameFormat_Rgb565;
            config.visibleCallback = &Delivery::onFrame;
            config.visibleUserData = delivery;
        }
        if (PZFrames_ApplyStreamingConfig(config) != PZStatus_Success) return;
        // The sink appears when the processor has confirmed the start; the
        // producer thread gives no other sign of it.
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!STREAMERG_isSinkInUse(route.streamId)) {
            if (Clock::now() > deadline) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ready_ = true;
    }

    ~FramePath() {
        if (initialised_) {
            PZFrames_ApplyStreamingConfig(PZStreamingConfig{});
            deinitFrameStreams();
            VPUG_deinit();
        }
        processor_.reset();
        if (vpu_) vpu_->stop();
        vpu_.reset();
        if (whole_) {
            whole_->leave();
            whole_.reset();
            vpu_usb_set_backend(nullptr);
        }
        usb_->reset();
        LOGG_deinit();
    }

    bool ready() const { return ready_; }

    // A device on a link of `bytesPerSecond` (0: unlimited) starts sending now.
    void startWire(double bytesPerSecond) {
        wireRate_ = bytesPerSecond;
        wireStart_ = Clock::now();
        wireBytes_ = 0;
    }

    // Sends one frame, after waiting for room in the pipe; on a link of
    // limited rate, each fragment no sooner than the link could carry it.
    bool sendFrame() {
        while (usb_->pendingToHost(route_.route->iface) > kPipeHighWater) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        for (const zsim::SharedBytes& packet : fragments_) {
            if (wireRate_ > 0) {
                // The device's own thread waits busily: a sleep's wake-up
                // is coarser than one fragment's time on the wire.
                const auto due = wireStart_ + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(wireBytes_ / wireRate_));
                while (Clock::now() < due) {
                }
                wireBytes_ += static_cast<double>(packet->size());
            }
            if (!usb_->deviceSend(route_.route->iface, packet)) return false;
        }
        return true;
    }

    uint64_t ringDrops() const { return dropLines_.lines.load(); }
    size_t driverReads() const { return whole_ ? whole_->driverReads() : 0; }
    STREAMER_sinkCountersT sinkCounters() const { return STREAMERG_getSinkCounters(route_.streamId); }
    uint32_t rxNoMem() const {
        CONN_LYRG_handleT conn = SVC_MNGRP_getState()->conns[route_.connection];
        return conn != nullptr ? conn->stats.rxNoMem.load() : 0;
    }

private:
    // The fragments of one frame as packets on the wire; only the frame value
    // changes from frame to frame.
    void buildFragments(size_t frameBytes, Delivery* delivery) {
        SimFrameProducer::Frame frame;
        frame.streamId = route_.streamId;
        frame.frameWord = 0x0B0A;
        frame.data.resize(frameBytes);
        for (size_t i = 0; i < frameBytes; ++i) frame.data[i] = static_cast<uint8_t>(i * 7 + 3);
        delivery->frameBytes = frameBytes;
        delivery->first = frame.data.front();
        delivery->last = frame.data.back();
        for (const auto& fragment : SimFrameProducer::cut(frame, kFragmentBytes)) {
            Bytes body = SimFrameProducer::wireRecord(*route_.route, frame, fragment);
            body.insert(body.end(), fragment.payload.begin(), fragment.payload.end());
            const auto header = zsim::VpuHeader::make(2, static_cast<uint32_t>(body.size()), route_.route->code);
            fragments_.push_back(
                std::make_shared<const Bytes>(zsim::SimVpu::encode(route_.route->dataChannel, header, body)));
        }
    }

    const StreamRoute& route_;
    DropLines dropLines_;
    std::shared_ptr<morv::driver::Context> context_;
    morv::driver::ScopedThreadContext scope_;
    zsim::SimUsb* usb_ = nullptr;
    std::unique_ptr<zbench::WholeStack> whole_;
    std::unique_ptr<zsim::SimVpu> vpu_;
    std::unique_ptr<zsim::SimProcessorServices> processor_;
    std::vector<zsim::SharedBytes> fragments_;
    double wireRate_ = 0;
    Clock::time_point wireStart_{};
    double wireBytes_ = 0;
    bool initialised_ = false;
    bool ready_ = false;
};

// range(0): route (0 depth, 1 visible); range(1): frame bytes; range(2):
// frames the device may have sent ahead of the callback (0: no limit). Two in
// flight is what the data pool holds beside the frame being reassembled and
// its fragment: a device at a frame rate the host sustains. range(3): the
// link's rate in MB/s (0: unlimited). 400 MB/s is about what a 5 Gbit/s link
// carries, 1,250 MB/s the raw rate of a 10 Gbit/s link: a device on a link
// never sends faster, so what is dropped there is lost on the host side. With
// neither limit the device floods the host, which shows what an overloaded
// host drops (the connection layer drains what it has no pool buffer for).
// range(4): 0 the simulated transport, 1 the whole Windows side.
void BM_FramePath(benchmark::State& state) {
    const StreamRoute& route = kRoutes[state.range(0)];
    const auto frameBytes = static_cast<size_t>(state.range(1));
    Delivery delivery;
    FramePath path(route, frameBytes, &delivery, state.range(4) != 0);
    if (!path.ready()) {
        state.SkipWithError("the frame stream did not start");
        return;
    }
    const auto window = static_cast<uint64_t>(state.range(2));
    const double wireRate = static_cast<double>(state.range(3)) * 1e6;
    const size_t batch = std::max(kMinBatchFrames, kBatchBytes / frameBytes);
    const STREAMER_sinkCountersT before = path.sinkCounters();
    const size_t readsBefore = path.driverReads();
    uint64_t sent = 0;
    double seconds = 0;
    double hostCpu = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const double cpuStart = hostCpuSeconds();
        path.startWire(wireRate);
        for (size_t i = 0; i < batch; ++i) {
            // A paced device runs no further ahead of the application than
            // the host can hold; a frame lost meanwhile ends the wait by
            // the stall bound.
            if (window > 0 && sent + i >= window) delivery.waitFor(sent + i - window + 1);
            if (!path.sendFrame()) {
                state.SkipWithError("the simulated bus refused a fragment");
                return;
            }
        }
        sent += batch;
        const auto last = delivery.waitFor(sent);
        hostCpu += hostCpuSeconds() - cpuStart;
        const double elapsed = std::chrono::duration<double>(last - start).count();
        seconds += elapsed;
        state.SetIterationTime(elapsed);
    }
    const uint64_t delivered = delivery.delivered.load();
    const STREAMER_sinkCountersT after = path.sinkCounters();
    const double deliveredBytes = static_cast<double>(delivered) * static_cast<double>(frameBytes);
    const double ceiling = memcpyMbps(frameBytes);
    state.SetItemsProcessed(static_cast<int64_t>(delivered));
    state.SetBytesProcessed(static_cast<int64_t>(deliveredBytes));
    state.counters["memcpy_MBps"] = ceiling;
    state.counters["vs_memcpy"] = seconds > 0 ? deliveredBytes / seconds / 1e6 / ceiling : 0;
    const double hostMbps = hostCpu > 0 ? deliveredBytes / hostCpu / 1e6 : 0;
    state.counters["host_cpu_MBps"] = hostMbps;
    state.counters["host_vs_memcpy"] = hostMbps / ceiling;
    const double coldCeiling = coldMemcpyMbps(frameBytes);
    state.counters["memcpy_cold_MBps"] = coldCeiling;
    state.counters["host_vs_cold"] = hostMbps / coldCeiling;
    // The host reads and handles every byte sent, delivered or drained.
    state.counters["host_cpu_MBps_sent"] =
        hostCpu > 0 ? static_cast<double>(sent) * static_cast<double>(frameBytes) / hostCpu / 1e6 : 0;
    // Per frame the streamer completed; frames abandoned half-way (after a
    // fragment was lost) add what they copied, so drops push this up.
    const double assembled = static_cast<double>((after.received - before.received) + (after.dropped - before.dropped));
    state.counters["copies_per_frame"] =
        assembled > 0 ? static_cast<double>(after.copiedBytes - before.copiedBytes) /
                            (assembled * static_cast<double>(frameBytes))
                      : 0;
    state.counters["dropped"] = static_cast<double>(sent - delivered);
    // Over the whole Windows side: the bulk reads its drivers were asked for.
    state.counters["driver_reads_per_frame"] =
        sent > 0 ? static_cast<double>(path.driverReads() - readsBefore) / static_cast<double>(sent) : 0;
    state.counters["damaged"] = static_cast<double>(delivery.damagedFrames());
    state.counters["ring_drops"] = static_cast<double>(path.ringDrops());
    state.counters["sink_drops"] = static_cast<double>(after.dropped - before.dropped);
    state.counters["rx_nomem"] = static_cast<double>(path.rxNoMem());
}
BENCHMARK(BM_FramePath)
    ->ArgNames({"route", "bytes", "ahead", "wire_MBps", "stack"})
    ->ArgsProduct({{0, 1}, {64 * 1024, 1280 * 800 * 2}, {0, 2}, {0}, {0}})
    ->ArgsProduct({{0, 1}, {64 * 1024, 1280 * 800 * 2}, {0}, {400, 1250}, {0}})
    ->ArgsProduct({{0, 1}, {64 * 1024, 1280 * 800 * 2}, {2}, {0}, {1}})
    // Every batch of a flood waits out the stall bound for the frames it
    // lost: a fixed count keeps the run to minutes.
    ->Iterations(8)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
