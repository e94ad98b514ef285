// The USB access library's costs: pinning a handle, and a 512-byte pipe round
// trip through the simulated kernel driver, beside the same round trip on the
// simulated transport that the host library uses on Linux today.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

#include "runtime/usb_transport.h"
#include "sim/sim_usb.h"
#include "sim/win_usb/win_usb_sensor.h"
#include "sim/win_usb_simusb.h"
#include "usb_access/allk.h"
#include "usb_access/system_api.h"
#include "usb_access/usbk_api.h"

namespace {

constexpr uint8_t kClient = 4;

void BM_UsbKHandleAcquireRelease(benchmark::State& state) {
    AllK_SetDebugOutput([](const char*) {});
    UsbK_Handle* handle = AllK_AllocUsbK(nullptr);
    if (handle == nullptr) {
        state.SkipWithError("no handle");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(UsbK_AcquireHandle(handle));
        benchmark::DoNotOptimize(UsbK_ReleaseHandle(handle));
    }
    UsbK_ReleaseHandle(handle);
}
BENCHMARK(BM_UsbKHandleAcquireRelease);

// The client interface of the simulated bus answers every transfer with itself.
zsim::SimUsb& echoBus() {
    zsim::SimUsb& bus = zsim::SimUsb::installFresh();
    bus.plug({kClient});
    bus.setWriteHandler(kClient, [](uint8_t index, const zsim::Bytes& transfer) {
        zsim::SimUsb::instance().deviceSend(index, transfer);
    });
    return bus;
}

void BM_KernelDriverPipeRoundTrip512(benchmark::State& state) {
    AllK_SetDebugOutput([](const char*) {});
    zsim::SimUsb& bus = echoBus();
    auto& stack = zsim::win::SimWinUsbStack::instance();
    stack.reset();
    UsbAccess_SetSystemApi(&stack.api());
    auto node = zsim::win::makeSensorInterface(kClient, true, zsim::win::SimDriver::LibusbK, "BENCH");
    zsim::attachToSimUsb(*node, kClient, zsim::win::kSensorPipeIn, zsim::win::kSensorPipeOut);
    stack.addDevice(node);

    KLST_DEVINFO info{};
    info.driverId = KUSB_DRVID_LIBUSBK;
    std::strncpy(info.devicePath, node->path().c_str(), sizeof(info.devicePath) - 1);
    KUSB_DRIVER_API api{};
    KUSB_HANDLE handle = nullptr;
    if (LibK_LoadDriverApi(&api, info.driverId) == 0 || !api.Init(&handle, &info)) {
        state.SkipWithError("device did not open");
    } else {
        std::string out(512, 'w');
        std::string in(512, '\0');
        for (auto _ : state) {
            UINT moved = 0;
            if (!api.WritePipe(handle, zsim::win::kSensorPipeOut, reinterpret_cast<PUCHAR>(out.data()), 512, &moved,
                               nullptr) ||
                !api.ReadPipe(handle, zsim::win::kSensorPipeIn, reinterpret_cast<PUCHAR>(in.data()), 512, &moved,
                              nullptr)) {
                state.SkipWithError("transfer failed");
                break;
            }
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1024);
        api.Free(handle);
    }
    stack.reset();
    UsbAccess_SetSystemApi(nullptr);
    bus.reset();
    vpu_usb_set_backend(nullptr);
}
BENCHMARK(BM_KernelDriverPipeRoundTrip512);

void BM_SimulatedTransportRoundTrip512(benchmark::State& state) {
    zsim::SimUsb& bus = echoBus();
    std::string out(512, 'w');
    std::string in(512, '\0');
    for (auto _ : state) {
        uint32_t moved = 0;
        if (vpu_usb_write_bulk(kClient, out.data(), 512, &moved) != VPU_USB_OK ||
            vpu_usb_read_bulk(kClient, in.data(), 512, &moved) != VPU_USB_OK) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1024);
    bus.reset();
    vpu_usb_set_backend(nullptr);
}
BENCHMARK(BM_SimulatedTransportRoundTrip512);

}  // namespace
