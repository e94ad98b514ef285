// Binds an interface node of the simulated Windows USB stack to the simulated
// sensor's pipes: its IN endpoint reads what the device models send on that
// interface of the simulated bus, its OUT endpoint hands host writes to them.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/win_usb/win_usb_stack.h"

namespace zsim {

std::shared_ptr<win::EndpointLink> simUsbLink(uint8_t interfaceIndex);
// Attaches both bulk endpoints of a node to one interface of the bus.
void attachToSimUsb(win::SimWinDevice& device, uint8_t interfaceIndex, uint8_t pipeIn, uint8_t pipeOut);

}  // namespace zsim
