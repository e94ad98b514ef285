// The driver's flat function interface: everything an application includes
// to drive the sensor. Every entry point works on the driver context current
// on the calling thread.
//
// Calling order: Init (or InitBootId) once per driver context; the state
// callback then reports the driver state as the sensor comes and goes;
// requests only while the reported state allows them; Deinit last. The
// cleanup that Deinit starts clears the state callback before it reports its
// final state, so the application hears no final state.
//
// Every failure is returned as a PZStatus; nothing raises, except a second
// initialisation of a non-default driver context (a usage fault).
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/driver_types.h"
#include "driver/parameter_interface.h"

// The driver's own version, logged at initialisation.
constexpr int PZ_DRIVER_VERSION_MAJOR = 0;
constexpr int PZ_DRIVER_VERSION_MINOR = 9;
constexpr int PZ_DRIVER_VERSION_PATCH = 7;
constexpr int PZ_DRIVER_VERSION_BUILD = 0;

// Starts the driver: the logger, then the USB layer with the boot folder of
// params (null params: a zero-filled record). bootId 0 or more selects the
// vision chip's boot images of that id; -1 lets the chip's own boot id
// decide. Error when the USB layer refuses to start (for instance a boot
// folder of 256 characters or more). The driver state stays Unknown until
// the first USB event.
PZStatus PlovarZarn_InitBootId(PZStateCallback stateCallback, void* userData, int32_t bootId,
                               const PZInitParams* params);
// PlovarZarn_InitBootId with boot id -1.
PZStatus PlovarZarn_Init(PZStateCallback stateCallback, void* userData, const PZInitParams* params);
// Starts the full shutdown on a thread of its own and returns Success at once.
PZStatus PlovarZarn_Deinit();

// Reads the device information into out (allowed in Low Power Mode) and logs
// it. The texts stay valid until the next call or the end of the context.
PZStatus PlovarZarn_GetDeviceInfo(PZDeviceInfo* out);

// Sends a firmware package: the archive followed by its 4-byte little-endian
// version trailer (major in bits 31..24, minor 23..16, patch 15..4, build
// 3..0). Not in Low Power Mode. A null package, or one too short to hold the
// trailer or too long for the device's 32-bit length, is refused with
// InvalidParameter before anything is sent. Unless noReboot is set, a
// successful update is followed by a warm reboot, whose status is returned.
PZStatus PlovarZarn_UpdateFW(const uint8_t* package, size_t size, PZProgressCallback progressCallback,
                             void* userData, bool noReboot);

// Sets the device mode (PZDeviceMode). In Recovery Mode, mode 0 (normal)
// boots the vision chip from the boot folder instead. No readiness check: a
// mode request to a device that is gone counts as done.
PZStatus PlovarZarn_SetDeviceMode(int32_t mode);
