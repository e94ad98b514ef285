// A real device-protocol exchange with the simulated sensor's firmware on its
// client interface, through the driver table, for the kernel-driver and the
// WinUSB route: Init, SetAltInterface, QueryPipe, WritePipe, ReadPipe.
#include <gtest/gtest.h>

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/io.h>

#include <cstring>
#include <memory>

#include "driver/morv_client.capnp.h"
#include "sim/sim_firmware.h"
#include "sim/sim_usb.h"
#include "sim/win_usb/win_usb_sensor.h"
#include "sim/win_usb_simusb.h"
#include "usb_access/system_api.h"
#include "usb_access/usbk_api.h"

namespace {

using namespace zsim::win;
namespace mc = morv::client;

constexpr uint8_t kClient = 4;
const Bytes kSync = {0xC0, 0xFF, 0xEE, 0x00};

// Reads through the table's ReadPipe, as many transfers as it takes.
class PipeIn : public kj::InputStream {
public:
    PipeIn(const KUSB_DRIVER_API& api, KUSB_HANDLE handle, UCHAR pipe) : api_(api), handle_(handle), pipe_(pipe) {}
    size_t tryRead(void* buffer, size_t, size_t maxBytes) override {
        auto* out = static_cast<uint8_t*>(buffer);
        size_t have = 0;
        while (have < maxBytes) {
            UINT got = 0;
            if (!api_.ReadPipe(handle_, pipe_, out + have, static_cast<UINT>(maxBytes - have), &got, nullptr)) {
                return have;
            }
            have += got;
        }
        return have;
    }

private:
    const KUSB_DRIVER_API& api_;
    KUSB_HANDLE handle_;
    UCHAR pipe_;
};

class SensorRoundTrip : public ::testing::TestWithParam<SimDriver> {
protected:
    void SetUp() override {
        usb = &zsim::SimUsb::installFresh();
        usb->plug({kClient});
        firmware = std::make_unique<zsim::SimFirmware>(*usb);
        firmware->setReportStateOnAttach(false);
        firmware->start();
        SimWinUsbStack::instance().reset();
        UsbAccess_SetSystemApi(&SimWinUsbStack::instance().api());
        node = makeSensorInterface(kClient, true, GetParam(), "SN0001");
        zsim::attachToSimUsb(*node, kClient, kSensorPipeIn, kSensorPipeOut);
        SimWinUsbStack::instance().addDevice(node);
    }
    void TearDown() override {
        SimWinUsbStack::instance().reset();
        UsbAccess_SetSystemApi(nullptr);
        firmware.reset();
        usb->reset();
    }

    zsim::SimUsb* usb = nullptr;
    std::unique_ptr<zsim::SimFirmware> firmware;
    std::shared_ptr<SimWinDevice> node;
};

TEST_P(SensorRoundTrip, DeviceInformationRequestIsAnsweredOverTheClientPipes) {
    KLST_DEVINFO info{};
    info.driverId = GetParam() == SimDriver::WinUsb ? KUSB_DRVID_WINUSB : KUSB_DRVID_LIBUSBK;
    std::strncpy(info.devicePath, node->path().c_str(), sizeof(info.devicePath) - 1);
    KUSB_DRIVER_API api{};
    ASSERT_GT(LibK_LoadDriverApi(&api, info.driverId), 0);
    KUSB_HANDLE handle = nullptr;
    ASSERT_TRUE(api.Init(&handle, &info)) << GetLastError();

    // The booted sensor's device descriptor has bcdDevice bit 15 clear.
    uint8_t descriptor[18] = {};
    UINT got = 0;
    ASSERT_TRUE(api.ControlTransfer(handle, {0x80, 6, 0x0100, 0, 18}, descriptor, sizeof(descriptor), &got, nullptr));
    EXPECT_EQ(got, 18u);
    EXPECT_EQ(descriptor[13] & 0x80, 0);

    ASSERT_TRUE(api.SetAltInterface(handle, 0));
    WINUSB_PIPE_INFORMATION in{}, out{};
    ASSERT_TRUE(api.QueryPipe(handle, 0, 0, &in));
    ASSERT_TRUE(api.QueryPipe(handle, 0, 1, &out));
    EXPECT_EQ(in.PipeId, kSensorPipeIn);
    EXPECT_EQ(out.PipeId, kSensorPipeOut);
    EXPECT_EQ(in.PipeType, UsbdPipeTypeBulk);

    capnp::MallocMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(0x1234);
    request.getMsg().setGetDevInfo();
    Bytes frame = kSync;
    const auto words = capnp::messageToFlatArray(builder);
    frame.insert(frame.end(), words.asBytes().begin(), words.asBytes().end());
    UINT written = 0;
    ASSERT_TRUE(api.WritePipe(handle, out.PipeId, frame.data(), static_cast<UINT>(frame.size()), &written, nullptr));
    EXPECT_EQ(written, frame.size());

    PipeIn pipe(api, handle, in.PipeId);
    uint8_t sync[4] = {};
    ASSERT_EQ(pipe.tryRead(sync, 4, 4), 4u);
    EXPECT_EQ(Bytes(sync, sync + 4), kSync);
    capnp::InputStreamMessageReader reader(pipe);
    auto response = reader.getRoot<mc::Response>();
    EXPECT_EQ(response.getId(), 0x1235u);  // the firmware answers id + 1
    EXPECT_EQ(response.getError(), mc::Error::SUCCESS);
    EXPECT_TRUE(response.getMsg().isDevInfo());
    EXPECT_TRUE(api.Free(handle));
}

INSTANTIATE_TEST_SUITE_P(Drivers, SensorRoundTrip, ::testing::Values(SimDriver::LibusbK, SimDriver::WinUsb),
                         [](const auto& info) { return info.param == SimDriver::WinUsb ? "WinUsb" : "LibusbK"; });

}  // namespace
