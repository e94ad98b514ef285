// The simulated bus as the endpoint link of a simulated Windows device node.
#include "sim/win_usb_simusb.h"

#include "sim/sim_usb.h"
#include "sim/win_usb/win_usb_sensor.h"

namespace zsim {

namespace {

// The device models size their whole-packet transfers by the bus's packet
// size, the host its reads by the sensor's endpoint descriptors: each port's
// size is the same for both.
static_assert(SimUsb::kHighSpeedPacketSize == win::kSensorPacketSize &&
                  SimUsb::kSuperSpeedPacketSize == win::kSensorSuperSpeedPacketSize,
              "one packet size on the bus and on the sensor's pipes");

class SimUsbLink : public win::EndpointLink {
public:
    explicit SimUsbLink(uint8_t index) : index_(index) {}

    DWORD write(const uint8_t* data, uint32_t length, uint32_t* moved) override {
        return map(SimUsb::instance().writeBulk(index_, data, length, moved));
    }

    DWORD read(uint8_t* buffer, uint32_t length, uint32_t* moved, bool* ended,
               const std::function<bool()>& giveUp) override {
        return map(SimUsb::instance().readBulkUnless(index_, buffer, length, moved, giveUp, ended));
    }

    void wake() override { SimUsb::instance().wakeReaders(); }

private:
    static DWORD map(int status) {
        switch (status) {
            case VPU_USB_OK: return ERROR_SUCCESS;
            case SimUsb::kGaveUp: return ERROR_IO_PENDING;
            case VPU_USB_ERR_NOT_REGISTERED: return ERROR_DEVICE_NOT_CONNECTED;
            default: return ERROR_GEN_FAILURE;
        }
    }

    const uint8_t index_;
};

}  // namespace

std::shared_ptr<win::EndpointLink> simUsbLink(uint8_t interfaceIndex) {
    return std::make_shared<SimUsbLink>(interfaceIndex);
}

void attachToSimUsb(win::SimWinDevice& device, uint8_t interfaceIndex, uint8_t pipeIn, uint8_t pipeOut) {
    auto link = simUsbLink(interfaceIndex);
    device.attach(pipeIn, link);
    device.attach(pipeOut, link);
}

}  // namespace zsim
