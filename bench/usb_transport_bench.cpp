// The transport back-end on the USB access library, over the simulated
// Windows USB stack and plug and play:
//  - the arrival of a booted sensor as the hot-plug monitor handles it once
//    its timer has fired: the enumeration of the synchronisation, then the
//    opening of its five interfaces up to "Found all interfaces" (the
//    monitor's fixed timer delays, 1 s and 2 s, are left out);
//  - a 512-byte bulk read through the transport front end, over the whole
//    stack and over the simulated transport the driver tests use, which
//    carries the same bytes without the library and the simulated drivers.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/whole_stack.h"
#include "runtime/usb_transport.h"
#include "sim/sim_usb.h"

namespace {

void BM_BootedSensorArrivalWithoutTimerDelays(benchmark::State& state) {
    zbench::WholeStack whole(zsim::SimUsb::installFresh());
    vpu_usb_set_backend(&vpu_usb_libusbk_ops);
    for (auto _ : state) {
        const size_t arrived = whole.arrive();
        state.PauseTiming();
        if (arrived != 5) state.SkipWithError("the sensor's five interfaces were not listed");
        whole.leave();
        state.ResumeTiming();
    }
    vpu_usb_set_backend(nullptr);
}
BENCHMARK(BM_BootedSensorArrivalWithoutTimerDelays)->Unit(benchmark::kMicrosecond);

void bulkRead(benchmark::State& state, zsim::SimUsb& usb) {
    std::vector<uint8_t> transfer(512, 0x5A);
    uint8_t buffer[512];
    for (auto _ : state) {
        usb.deviceSend(4, transfer);
        uint32_t read = 0;
        if (vpu_usb_read_bulk(4, buffer, sizeof(buffer), &read) != VPU_USB_OK || read != sizeof(buffer)) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 512);
}

void BM_BulkRead512_WholeStack(benchmark::State& state) {
    zsim::SimUsb& usb = zsim::SimUsb::installFresh();
    zbench::WholeStack whole(usb);
    if (!whole.attach()) state.SkipWithError("the sensor's five interfaces were not listed");
    bulkRead(state, usb);
    whole.leave();
    vpu_usb_set_backend(nullptr);
}
BENCHMARK(BM_BulkRead512_WholeStack)->Unit(benchmark::kMicrosecond);

void BM_BulkRead512_SimulatedTransport(benchmark::State& state) {
    zsim::SimUsb& usb = zsim::SimUsb::installFresh();
    usb.plug({0, 1, 2, 3, 4});
    bulkRead(state, usb);
    usb.unplug();
    vpu_usb_set_backend(nullptr);
}
BENCHMARK(BM_BulkRead512_SimulatedTransport)->Unit(benchmark::kMicrosecond);

}  // namespace
