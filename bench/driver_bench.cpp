// Device client benchmarks against the simulated sensor firmware: one
// device-information round trip, over the simulated transport (stack 0) and
// over the whole Windows side of the host (stack 1, bench/whole_stack.h),
// and a 2.6 MB firmware update to a device that flashes instantly.
#include <benchmark/benchmark.h>

#include <memory>

#include "bench/whole_stack.h"
#include "driver/device_client.h"
#include "driver/device_protocol.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "sim/sim_firmware.h"
#include "sim/sim_package.h"
#include "sim/sim_usb.h"

namespace {

// A fresh driver context with a started client and the simulated firmware on
// the client interface, for the length of one benchmark.
class ClientBench {
public:
    explicit ClientBench(bool wholeStack = false) : context_(std::make_shared<morv::driver::Context>()), scope_(context_) {
        // Lines of this context go to a callback that drops them: the
        // benchmark measures the client, not the console.
        PZContext_GetSlot(context_.get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK),
                          [](void* value) { return value; }, &quiet_, [](void*) {});
        LOGG_init();
        usb_ = &zsim::SimUsb::installFresh();
        if (wholeStack) {
            // A sensor that does not arrive answers no state report.
            whole_ = std::make_unique<zbench::WholeStack>(*usb_);
            whole_->attach();
        } else {
            usb_->plug({PZ_CLIENT_INTERFACE});
        }
        firmware_ = std::make_unique<zsim::SimFirmware>(*usb_, PZ_CLIENT_INTERFACE);
        firmware_->setFlashTiming(64 * 1024, std::chrono::microseconds(0));
        firmware_->setProgressText(true);
        firmware_->start();
        startClient(nullptr);
        bool primary = false;
        uint16_t state = 0;
        ready_ = waitForDeviceState(5, &primary, &state) == PZStatus_Success;
    }
    ~ClientBench() {
        usb_->unplug();
        stopClient();
        firmware_->stop();
        firmware_.reset();
        if (whole_) {
            whole_->leave();
            whole_.reset();
            vpu_usb_set_backend(nullptr);
        }
        usb_->reset();
    }
    bool ready() const { return ready_; }
    size_t driverReads() const { return whole_ ? whole_->driverReads() : 0; }

private:
    static void dropLine(uint8_t, const char*, LOGG_callbackT*) {}

    LOGG_callbackT quiet_{&dropLine};
    std::shared_ptr<morv::driver::Context> context_;
    morv::driver::ScopedThreadContext scope_;
    zsim::SimUsb* usb_ = nullptr;
    std::unique_ptr<zbench::WholeStack> whole_;
    std::unique_ptr<zsim::SimFirmware> firmware_;
    bool ready_ = false;
};

// range(0): 0 the simulated transport, 1 the whole Windows side.
void BM_GetDevInfoRoundTrip(benchmark::State& state) {
    ClientBench bench(state.range(0) != 0);
    if (!bench.ready()) {
        state.SkipWithError("the simulated device sent no state report");
        return;
    }
    const size_t readsBefore = bench.driverReads();
    for (auto _ : state) {
        PZMessageBuilder builder;
        auto request = builder.initRoot<morv::client::Request>();
        request.setId(newRequestId());
        request.getMsg().setGetDevInfo();
        PZClientPendingEntry* entry = nullptr;
        if (sendMsgWithRawPayload(builder, std::nullopt, &entry) != PZStatus_Success) {
            state.SkipWithError("getDevInfo failed");
            break;
        }
        benchmark::DoNotOptimize(entry->response().getMsg().getDevInfo().getName().size());
        releasePendingResponse(entry);
    }
    // Over the whole Windows side: the bulk reads its drivers were asked for.
    state.counters["driver_reads_per_request"] =
        benchmark::Counter(static_cast<double>(bench.driverReads() - readsBefore) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_GetDevInfoRoundTrip)->ArgName("stack")->Arg(0)->Arg(1)->UseRealTime();

void progressSink(const char*, float percent, void* user) { *static_cast<float*>(user) = percent; }

// range(0): 0 passes the package as it lies in memory, 1 from an odd address
// (so the request has to carry a copy of it).
void BM_FirmwareUpdate(benchmark::State& state) {
    ClientBench bench;
    if (!bench.ready()) {
        state.SkipWithError("the simulated device sent no state report");
        return;
    }
    const std::vector<uint8_t> package = zsim::buildTestFirmwareArchive(2600 * 1024);
    std::vector<uint8_t> shifted(package.size() + 1);
    std::copy(package.begin(), package.end(), shifted.begin() + 1);
    const uint8_t* bytes = state.range(0) == 0 ? package.data() : shifted.data() + 1;
    float lastPercent = 0.0f;
    uint64_t copied = 0;
    for (auto _ : state) {
        if (PlovarZarnClient_UpdateFW(bytes, package.size(), &progressSink, &lastPercent, true, false, 1, 0, 0, 0) !=
            PZStatus_Success) {
            state.SkipWithError("firmware update failed");
            break;
        }
        copied += PZClient_get()->lastUpdateCopiedBytes.load();
    }
    state.counters["package_bytes"] = static_cast<double>(package.size());
    state.counters["bytes_copied_per_update"] =
        benchmark::Counter(static_cast<double>(copied), benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(package.size()));
}
BENCHMARK(BM_FirmwareUpdate)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
