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

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "runtime/usb_transport.h"
#include "sim/sim_usb.h"
#include "sim/win_pnp/win_pnp.h"
#include "sim/win_pnp/win_pnp_api.h"
#include "sim/win_usb/win_usb_sensor.h"
#include "sim/win_usb/win_usb_stack.h"
#include "sim/win_usb_simusb.h"
#include "usb_access/lst_k.h"
#include "usb_access/system_api.h"
#include "usb_access/vpu_usb_libusbk.h"

namespace {

const std::string kSerial = "ZSBENCH01";

zsim::PnpSensorIdentity identity() {
    return zsim::PnpSensorIdentity{zsim::win::kSensorVendorId, zsim::win::kSensorProductId,
                                   zsim::win::kSensorInterfacePrefix, zsim::win::kSensorManufacturer, 1, 4};
}

// The sensor on the simulated bus, its device files and its device nodes.
struct WholeStack {
    WholeStack() {
        usb.plug({0, 1, 2, 3, 4});
        auto& stack = zsim::win::SimWinUsbStack::instance();
        stack.reset();
        zsim::WinPnp::instance().reset();
        zsim::WinPnpStack::fill(stack.api());
        UsbAccess_SetSystemApi(&stack.api());
        const std::vector<std::string> paths = zsim::pnpSensorPaths(identity(), kSerial, true);
        for (size_t i = 0; i < paths.size(); ++i) {
            const auto index = static_cast<uint8_t>(i);
            auto device = std::make_shared<zsim::win::SimWinDevice>(paths[i], zsim::win::SimDriver::LibusbK);
            device->setDeviceDescriptor(zsim::win::sensorDeviceDescriptor(true));
            device->setConfigurations({zsim::win::sensorConfiguration(index)});
            device->setDriverVersion({3, 0, 7, 0, 0});
            zsim::attachToSimUsb(*device, index, zsim::win::kSensorPipeIn, zsim::win::kSensorPipeOut);
            stack.addDevice(device);
        }
        zsim::pnpPlugSensor(zsim::WinPnp::instance(), identity(), kSerial, true);
    }
    ~WholeStack() {
        zsim::win::SimWinUsbStack::instance().reset();
        UsbAccess_SetSystemApi(nullptr);
        zsim::WinPnp::instance().reset();
        usb.unplug();
    }
    // What the monitor does for the sensor once its timer fired.
    void arrive(std::vector<KLST_DEVINFO*>* arrived) {
        KLST_PATTERN pattern{};
        vpu_usb_libusbk_devicePattern(zsim::win::kSensorVendorId, pattern.deviceIdPattern,
                                      sizeof(pattern.deviceIdPattern));
        LstK_InitEx(&list, KLST_FLAG_NONE, &pattern, nullptr);
        KLST_DEVINFO* info = nullptr;
        while (LstK_MoveNext(list, &info)) {
            OnHotPlug(nullptr, info, 2);
            arrived->push_back(info);
        }
    }
    void leave(const std::vector<KLST_DEVINFO*>& arrived) {
        for (KLST_DEVINFO* info : arrived) OnHotPlug(nullptr, info, 4);
        LstK_Free(list);
        list = nullptr;
    }

    zsim::SimUsb& usb = zsim::SimUsb::installFresh();
    KLST_HANDLE list = nullptr;
};

void BM_BootedSensorArrivalWithoutTimerDelays(benchmark::State& state) {
    WholeStack whole;
    vpu_usb_set_backend(&vpu_usb_libusbk_ops);
    for (auto _ : state) {
        std::vector<KLST_DEVINFO*> arrived;
        whole.arrive(&arrived);
        state.PauseTiming();
        if (arrived.size() != 5) state.SkipWithError("the sensor's five interfaces were not listed");
        whole.leave(arrived);
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
    WholeStack whole;
    vpu_usb_set_backend(&vpu_usb_libusbk_ops);
    std::vector<KLST_DEVINFO*> arrived;
    whole.arrive(&arrived);
    bulkRead(state, whole.usb);
    whole.leave(arrived);
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
