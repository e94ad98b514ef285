// Costs of the runtime paths that sit under every host-library call and
// every frame: slot lookup, log calls (suppressed and written), pool buffers,
// message queues, a ring of threads handing a turn on through events, and a
// transfer round trip through the transport front end.
// They print figures only; nothing here judges a timing.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/mem_pool.h"
#include "runtime/os_layer.h"
#include "runtime/usb_transport.h"
#include "sim/sim_usb.h"

namespace {

// A slot of our own so that the figure is not disturbed by whatever state
// another component keeps; one of the unused fixed slots.
struct BenchState {
    uint64_t value;
};

void BM_FixedSlotGetOrCreate(benchmark::State& state) {
    auto context = std::make_shared<morv::driver::Context>();
    morv::driver::ScopedThreadContext scope(context);
    for (auto _ : state) {
        auto* slot = PZContext_GetHostState<BenchState>(PZ_SLOT_UNUSED_26);
        benchmark::DoNotOptimize(slot);
    }
}
BENCHMARK(BM_FixedSlotGetOrCreate);

void BM_SuppressedDebugLogLine(benchmark::State& state) {
    LOGG_setConsolePrint(0);
    LOGG_setSeverity(LOG_INFO_E);  // the default: DEBUG lines are dropped
    int counter = 0;
    for (auto _ : state) {
        LOGG_print(LOG_DEBUG_E, 0, LOGG_SIDE_HOST_E, "", __func__, __LINE__, "frame %d dropped", counter++);
    }
    benchmark::DoNotOptimize(counter);
}
BENCHMARK(BM_SuppressedDebugLogLine);

void BM_InfoLogLineToFile(benchmark::State& state) {
    LOGG_setConsolePrint(0);
    LOGG_setSeverity(LOG_INFO_E);
    int counter = 0;
    for (auto _ : state) {
        LOGG_print(LOG_INFO_E, 0, LOGG_SIDE_HOST_E, "", __func__, __LINE__, "stream %d delivered %u bytes", counter++,
                   640u * 480u);
    }
}
// A fixed count keeps the file in the temporary folder to a few megabytes.
BENCHMARK(BM_InfoLogLineToFile)->Iterations(20000);

void BM_PoolAllocateAndFree(benchmark::State& state) {
    auto context = std::make_shared<morv::driver::Context>();
    morv::driver::ScopedThreadContext scope(context);
    MEM_POOLG_init();
    MEM_POOLG_cfgT config{4096, 64, nullptr, 0, 0};
    MEM_POOLG_handleT pool = nullptr;
    MEM_POOLG_newPool(&pool, MEM_POOLG_BUF_TYPE_HEAP_E, &config);
    if (pool == nullptr) {
        state.SkipWithError("pool could not be created");
        return;
    }
    for (auto _ : state) {
        MEM_POOLG_bufDescT* buffer = nullptr;
        ERRG_codeE status = MEM_POOLG_alloc(pool, 1024, &buffer);
        if (ERRG_FAILED(status) || buffer == nullptr) {
            state.SkipWithError("allocation failed");
            break;
        }
        benchmark::DoNotOptimize(buffer->data);
        MEM_POOLG_freeBuff(buffer);
    }
    MEM_POOLG_closePool(pool);
}
BENCHMARK(BM_PoolAllocateAndFree);

void BM_QueueSendAndReceive(benchmark::State& state) {
    OS_LYRG_msgQueT queue{};
    queue.maxMsgs = 16;
    queue.msgSize = sizeof(void*);
    OS_LYRG_createMsgQue(&queue, 0);
    void* message = &queue;
    for (auto _ : state) {
        void* received = nullptr;
        uint32_t length = sizeof(received);
        if (OS_LYRG_sendMsg(&queue, &message, sizeof(message)) != OS_LYRG_SUCCESS ||
            OS_LYRG_recvMsg(&queue, &received, &length, 0) != OS_LYRG_SUCCESS) {
            state.SkipWithError("queue refused a message");
            break;
        }
        benchmark::DoNotOptimize(received);
    }
    OS_LYRG_deleteMsgQue(&queue);
}
BENCHMARK(BM_QueueSendAndReceive);

// A turn handed round a ring of range(0) threads, each waking the next through
// the OS layer's auto-reset events: what any path that hands one message
// through that many threads costs at least. The device-information round trip
// hands its request through three (the sender, the device, the client's read
// thread), so the three-thread figure is its floor on this machine.
void BM_EventRingHandOff(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    std::vector<OS_LYRG_eventT> events(count);
    for (auto& event : events) event = OS_LYRG_createEvent(0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> ring;
    for (size_t i = 1; i < count; ++i) {
        ring.emplace_back([&, i] {
            while (!stop.load()) {
                if (OS_LYRG_waitEvent(events[i], 1000) == OS_LYRG_SUCCESS && !stop.load()) {
                    OS_LYRG_setEvent(events[(i + 1) % count]);
                }
            }
        });
    }
    for (auto _ : state) {
        OS_LYRG_setEvent(events[1]);
        while (OS_LYRG_waitEvent(events[0], 1000) != OS_LYRG_SUCCESS) {
        }
    }
    stop.store(true);
    for (size_t i = 1; i < count; ++i) OS_LYRG_setEvent(events[i]);
    for (auto& thread : ring) thread.join();
    for (auto& event : events) OS_LYRG_releaseEvent(event, 0);
}
BENCHMARK(BM_EventRingHandOff)->Arg(2)->Arg(3)->UseRealTime();

// One request and its answer on the client interface of the simulated bus,
// through the transport front end, as the device client sends them.
void BM_SimulatedTransferRoundTrip(benchmark::State& state) {
    zsim::SimUsb& bus = zsim::SimUsb::installFresh();
    bus.plug({4});
    bus.setWriteHandler(4, [](uint8_t index, const zsim::Bytes& request) {
        zsim::SimUsb::instance().deviceSend(index, request);
    });
    const auto size = static_cast<uint32_t>(state.range(0));
    std::string request(size, 'r');
    std::string answer(size, '\0');
    for (auto _ : state) {
        uint32_t moved = 0;
        if (vpu_usb_write_bulk(4, request.data(), size, &moved) != VPU_USB_OK ||
            vpu_usb_read_bulk(4, answer.data(), size, &moved) != VPU_USB_OK) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size * 2);
    bus.reset();
    vpu_usb_set_backend(nullptr);
}
BENCHMARK(BM_SimulatedTransferRoundTrip)->Arg(64)->Arg(16 * 1024);

}  // namespace
