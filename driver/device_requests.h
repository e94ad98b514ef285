// Device requests and settings: the driver's single-message requests to the
// sensor firmware.
//
// Every camera and depth setting travels as one componentSetting request
// through PlovarZarnClient_ComponentSetting; the getters and setters below
// are thin members of that family, each naming the union member it writes
// and reads. Device information, calibration, device mode and the device
// side of twist compensation are requests of their own. Each request is
// built in a fresh message builder with a fresh id and goes through the
// device client's one send operation, which serialises it with every other
// request; a request that wants its answer reads it from the pending entry
// and releases the entry before it returns.
//
// Every status comes from the send except the argument checks named below.
// A failed request leaves the caller's output untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "driver/calibration_parser.h"
#include "driver/driver_types.h"
#include "driver/morv_client.capnp.h"

// --- wire mappings (data in device_request_tables.cpp) -----------------------

// PZComponent of the driver interface -> Component on the wire.
struct PZComponentWireEntry {
    int32_t component;  // PZComponent
    morv::client::Component wire;
};
constexpr size_t PZ_COMPONENT_WIRE_COUNT = 5;
extern const PZComponentWireEntry PZComponent_wireTable[PZ_COMPONENT_WIRE_COUNT];

// PZDeviceMode of the driver interface -> DeviceMode on the wire. coldReboot
// has no interface mode and is never sent.
struct PZDeviceModeWireEntry {
    int32_t mode;  // PZDeviceMode
    morv::client::DeviceMode wire;
};
constexpr size_t PZ_DEVICE_MODE_WIRE_COUNT = 4;
extern const PZDeviceModeWireEntry PZDeviceMode_wireTable[PZ_DEVICE_MODE_WIRE_COUNT];

// Twist-compensation mode of the driver (0 off, 1 one-shot, 2 continuous) ->
// TwistCompCfg.Mode on the wire. One-shot runs on the host, so it has no entry.
struct PZTwistModeWireEntry {
    int32_t mode;
    morv::client::TwistCompCfg::Mode wire;
};
constexpr size_t PZ_TWIST_MODE_WIRE_COUNT = 2;
extern const PZTwistModeWireEntry PZTwistMode_wireTable[PZ_TWIST_MODE_WIRE_COUNT];

// The wire value for an interface value; false (and *wire untouched) when the
// table has no line for it.
bool PZComponent_toWire(int32_t component, morv::client::Component* wire);
bool PZDeviceMode_toWire(int32_t mode, morv::client::DeviceMode* wire);
bool PZTwistMode_toWire(int32_t mode, morv::client::TwistCompCfg::Mode* wire);

// --- the generic setting request ---------------------------------------------

// Sets the union member of the request and its value.
using PZComponentSettingFill = std::function<void(morv::client::ComponentSetting::Builder setting)>;
// Reads the reply's ComponentSetting. The member the device set is not
// checked: a reader reads its field's position whatever the reply carries.
using PZComponentSettingRead = std::function<void(morv::client::ComponentSetting::Reader setting)>;

// One componentSetting request for the component (PZComponent), with the
// write flag, the member and value that fill sets (fill may be empty) and,
// when read is given, the reply handed to read once the device answered with
// success. InvalidParameter for a component outside PZComponent, before
// anything is sent; otherwise the send's status. A reply that cannot be
// decoded as a ComponentSetting gives Error. Both callbacks are called on
// the caller's thread during the call only.
PZStatus PlovarZarnClient_ComponentSetting(int32_t component, bool writeFlag, const PZComponentSettingFill& fill,
                                           const PZComponentSettingRead& read);

// --- the setting family --------------------------------------------------------
// Getters write their output only on success; a null output is
// InvalidParameter, and nothing is sent. "component" is a PZComponent.

PZStatus PlovarZarnClient_GetExposure(int32_t component, float* exposure);
PZStatus PlovarZarnClient_SetExposure(int32_t component, float exposure);

// Gains travel as a list of channel elements; the getters read element 0.
// A reply whose list is empty gives Error.
PZStatus PlovarZarnClient_GetAnalogGain(int32_t component, float* gain);
PZStatus PlovarZarnClient_SetAnalogGain(int32_t component, float gain);
PZStatus PlovarZarnClient_GetDigitalGain(int32_t component, float* gain);
// count 1: the global channel; count 3: red, green and blue in this order.
// Any other count (or null values) is InvalidParameter.
PZStatus PlovarZarnClient_SetDigitalGain(int32_t component, const float* values, size_t count);

// The delay between the infrared imagers, for both of them, in whole microseconds.
PZStatus PlovarZarnClient_SetDelay(int64_t microseconds);

// Row and column offsets: the value is cut to the wire's 16 bits.
PZStatus PlovarZarnClient_GetYOffset(int32_t component, int16_t* offset);
PZStatus PlovarZarnClient_SetYOffset(int32_t component, int32_t offset);
PZStatus PlovarZarnClient_GetXOffset(int32_t component, int16_t* offset);
PZStatus PlovarZarnClient_SetXOffset(int32_t component, int32_t offset);

PZStatus PlovarZarnClient_GetSubpixYOffset(int32_t component, float* offset);
PZStatus PlovarZarnClient_SetSubpixYOffset(int32_t component, float offset);

PZStatus PlovarZarnClient_GetFps(int32_t component, float* fps);
PZStatus PlovarZarnClient_SetFps(int32_t component, float fps);

// Depth-engine pairs, always for the depth component; the values are cut to
// the wire's 16 bits.
PZStatus PlovarZarnClient_GetMatchingWindow(uint16_t* v1, uint16_t* v2);
PZStatus PlovarZarnClient_SetMatchingWindow(int32_t v1, int32_t v2);
PZStatus PlovarZarnClient_GetDisparityRange(uint16_t* v1, uint16_t* v2);
PZStatus PlovarZarnClient_SetDisparityRange(int32_t v1, int32_t v2);

PZStatus PlovarZarnClient_GetBlc(int32_t component, bool* on);
PZStatus PlovarZarnClient_SetBlc(int32_t component, bool on);

PZStatus PlovarZarnClient_ApplyWb(int32_t component);

PZStatus PlovarZarnClient_GetGamma(int32_t component, float* gamma);
PZStatus PlovarZarnClient_SetGamma(int32_t component, float gamma);

// --- single requests ------------------------------------------------------------

// Asks the device for its information and keeps a copy of the reply in the
// device client; out (may be null) is filled from that copy, its texts
// pointing into it: they stay valid until the next device-information
// request or the end of the driver context, and are never null.
PZStatus PlovarZarnClient_GetDeviceInfo(PZDeviceInfo* out);

// Retrieves the device's calibration text and parses it into the record.
PZStatus PlovarZarnClient_GetCalibration(PZCalibration* calibration);
// The same behind the readiness check (Low Power Mode not allowed):
// DeviceNotReady when the device is not ready, InvalidParameter for a null record.
PZStatus PZInternal_GetCalibration(PZCalibration* calibration);

// Switches the device mode (PZDeviceMode). InvalidParameter without sending
// for a mode outside 0 to 3. The device may reset before it answers, so a
// send that ends with the device gone (DeviceNotReady) counts as Success.
PZStatus PlovarZarnClient_SetMode(int32_t mode);

// Tells the device to stop (0) or to send twist-compensation data
// continuously (2). Any other mode, one-shot (1) included, is NotSupported
// without sending: one-shot compensation runs on the host.
PZStatus PlovarZarnClient_SetTwistCompCfg(int32_t mode);
