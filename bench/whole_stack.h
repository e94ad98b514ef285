// The sensor seen through the whole Windows side of the host: its interfaces
// on the simulated bus, shown as device files of the simulated Windows USB
// stack (libusbK) and device nodes of the simulated plug and play, opened by
// the transport back-end of the USB access library as its hot-plug monitor
// would once its timer has fired. Benchmarks that measure a path over the
// simulated transport measure the same path over this one too.
#pragma once

#include <string>
#include <vector>

#include "runtime/logger.h"
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

namespace zbench {

class WholeStack {
public:
    // `usb` carries the bytes; every interface of a booted sensor is plugged
    // on it here.
    explicit WholeStack(zsim::SimUsb& usb) : usb_(usb) {
        // The back-end logs in the context of the thread that reports the
        // sensor (this one) until a driver starts it: those lines go to the
        // log file only, since standard output carries the report and
        // console writes are no part of what is measured.
        LOGG_setConsolePrint(0);
        usb_.plug({0, 1, 2, 3, 4});
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
            devices_.push_back(device);
        }
        zsim::pnpPlugSensor(zsim::WinPnp::instance(), identity(), kSerial, true);
    }
    ~WholeStack() {
        if (list_ != nullptr) leave();
        zsim::win::SimWinUsbStack::instance().reset();
        UsbAccess_SetSystemApi(nullptr);
        zsim::WinPnp::instance().reset();
    }
    WholeStack(const WholeStack&) = delete;
    WholeStack& operator=(const WholeStack&) = delete;

    // What the monitor does for the sensor once its timer fired; the
    // interfaces it reported.
    size_t arrive() {
        KLST_PATTERN pattern{};
        vpu_usb_libusbk_devicePattern(zsim::win::kSensorVendorId, pattern.deviceIdPattern,
                                      sizeof(pattern.deviceIdPattern));
        LstK_InitEx(&list_, KLST_FLAG_NONE, &pattern, nullptr);
        KLST_DEVINFO* info = nullptr;
        while (LstK_MoveNext(list_, &info)) {
            OnHotPlug(nullptr, info, 2);
            arrived_.push_back(info);
        }
        return arrived_.size();
    }
    void leave() {
        for (KLST_DEVINFO* info : arrived_) OnHotPlug(nullptr, info, 4);
        arrived_.clear();
        LstK_Free(list_);
        list_ = nullptr;
    }
    // Bulk reads the drivers of the sensor's interfaces were asked for so
    // far: what the back-end costs in driver requests.
    size_t driverReads() const {
        constexpr DWORD kBulkRead = 0x22202E;
        size_t count = 0;
        for (const auto& device : devices_) {
            for (const auto& request : device->requests()) count += request.code == kBulkRead ? 1 : 0;
        }
        return count;
    }
    // The sensor arrived and the transport front end goes to the back-end.
    bool attach() {
        vpu_usb_set_backend(&vpu_usb_libusbk_ops);
        return arrive() == 5;
    }

private:
    static constexpr const char* kSerial = "ZSBENCH01";
    static zsim::PnpSensorIdentity identity() {
        return zsim::PnpSensorIdentity{zsim::win::kSensorVendorId, zsim::win::kSensorProductId,
                                       zsim::win::kSensorInterfacePrefix, zsim::win::kSensorManufacturer, 1, 4};
    }

    zsim::SimUsb& usb_;
    std::vector<std::shared_ptr<zsim::win::SimWinDevice>> devices_;
    KLST_HANDLE list_ = nullptr;
    std::vector<KLST_DEVINFO*> arrived_;
};

}  // namespace zbench
