// Parameter interface: the two entry points through which an application (and
// twist compensation) reads and writes camera and depth settings of the
// sensor by component (PZComponent) and parameter (PZParameter) number, each
// through the matching device request. Values travel as floats whatever the
// setting's wire type.
//
// Both refuse to talk to a device that is not ready (Low Power Mode counts as
// not ready) with DeviceNotReady. A refused call sends nothing. Every failure
// of an accepted parameter is also logged at WARN with the parameter and the
// status's display name.
#pragma once

#include <cstdint>

#include "driver/driver_types.h"

// Reads a setting into values; count gives the room in values and receives
// the number of values written: 1 for every single-valued parameter, 2 for
// matchingWindow and disparityRange (which always read the depth setting and
// need room for 2). delay, applyWb and unknown parameters are NotSupported.
PZStatus PlovarZarn_GetMultiParameter(int32_t component, int32_t parameter, float* values, uint32_t* count);

// Writes a setting from values[0 .. count). digitalGain takes 1 (global) or 3
// (red, green, blue) values; matchingWindow and disparityRange exactly 2;
// applyWb none; every other parameter uses values[0]. delay (seconds), yOffset,
// xOffset and subpixYOffset exist only for the infrared components 1 to 3.
PZStatus PlovarZarn_SetMultiParameter(int32_t component, int32_t parameter, const float* values, uint32_t count);
