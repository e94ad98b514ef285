// Wire mappings of the device requests: interface numbers on the left, the
// protocol's enumerants (with their wire values) on the right.
#include "driver/device_requests.h"

namespace mc = morv::client;

const PZComponentWireEntry PZComponent_wireTable[PZ_COMPONENT_WIRE_COUNT] = {
    {PZComponent_Visible, mc::Component::VISIBLE},   // 0 visible -> 4
    {PZComponent_IrLeft, mc::Component::IR_LEFT},    // 1 irLeft  -> 2
    {PZComponent_IrRight, mc::Component::IR_RIGHT},  // 2 irRight -> 1
    {PZComponent_IrBoth, mc::Component::IR_BOTH},    // 3 irBoth  -> 3
    {PZComponent_Depth, mc::Component::DEPTH},       // 4 depth   -> 6
};

const PZDeviceModeWireEntry PZDeviceMode_wireTable[PZ_DEVICE_MODE_WIRE_COUNT] = {
    {PZDeviceMode_Normal, mc::DeviceMode::NORMAL},           // 0 normal      -> 0
    {PZDeviceMode_WarmReboot, mc::DeviceMode::WARM_REBOOT},  // 1 warm reboot -> 2
    {PZDeviceMode_Recovery, mc::DeviceMode::RECOVERY},       // 2 recovery    -> 3
    {PZDeviceMode_LowPower, mc::DeviceMode::LOW_POWER},      // 3 low power   -> 1
};

const PZTwistModeWireEntry PZTwistMode_wireTable[PZ_TWIST_MODE_WIRE_COUNT] = {
    {0, mc::TwistCompCfg::Mode::OFF},         // 0 off        -> 0
    {2, mc::TwistCompCfg::Mode::CONTINUOUS},  // 2 continuous -> 1
};
