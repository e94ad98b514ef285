// Host framework bring-up against the simulated vision processor: the time
// from VPUG_init to the link's "connected", and within it the time VPUG_init
// itself takes to build the stack (pools, connections, channels, ten service
// threads). The first keep-alive leaves one second after the start, so the
// whole is bounded below by that second; the stack should add little to it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "host_lib/host_api_records.h"
#include "host_lib/vpu_host_api.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "sim/sim_svc_mngr_peer.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace {

// The connection-state callback carries no user value: one waiter for the process.
struct Connected {
    std::mutex mutex;
    std::condition_variable changed;
    bool connected = false;

    static Connected& instance() {
        static Connected c;
        return c;
    }
    static void onConnState(uint32_t, uint32_t event) {
        Connected& c = instance();
        std::lock_guard<std::mutex> lock(c.mutex);
        if (event == VPUG_CONN_STATE_CONNECTED_E) c.connected = true;
        c.changed.notify_all();
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        connected = false;
    }
    bool wait(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [this] { return connected; });
    }
};

void dropLine(uint8_t, const char*, LOGG_callbackT*) {}

void BM_HostFrameworkBringUpToConnected(benchmark::State& state) {
    double initMs = 0;
    for (auto _ : state) {
        // A booted device and the processor's peers, in a context of its own.
        auto context = std::make_shared<morv::driver::Context>();
        morv::driver::ScopedThreadContext scope(context);
        LOGG_callbackT quiet{&dropLine};
        PZContext_GetSlot(context.get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK),
                          [](void* value) { return value; }, &quiet, [](void*) {});
        LOGG_init();
        zsim::SimUsb& usb = zsim::SimUsb::installFresh();
        usb.plug({0, 1, 2, 3});
        auto vpu = std::make_unique<zsim::SimVpu>(usb);
        vpu->start();
        auto processor = std::make_unique<zsim::SimProcessorServices>(*vpu);
        processor->serve();
        Connected::instance().reset();

        const auto start = std::chrono::steady_clock::now();
        if (ERRG_FAILED(VPUG_init(&Connected::onConnState))) {
            state.SkipWithError("VPUG_init failed");
            break;
        }
        const auto built = std::chrono::steady_clock::now();
        if (!Connected::instance().wait(std::chrono::milliseconds(5000))) {
            state.SkipWithError("the link never connected");
            VPUG_deinit();
            break;
        }
        const auto connected = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(connected - start).count());
        initMs += std::chrono::duration<double, std::milli>(built - start).count();

        VPUG_deinit();
        processor.reset();
        vpu->stop();
        vpu.reset();
        usb.reset();
        LOGG_deinit();
    }
    if (state.iterations() > 0) state.counters["init_ms"] = initMs / static_cast<double>(state.iterations());
}
BENCHMARK(BM_HostFrameworkBringUpToConnected)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
