// Types, numbers and name tables of the driver's flat function interface:
// everything the application sees of the driver besides its entry points.
// The numbers are part of the interface and never change.
#pragma once

#include <cstdint>

enum PZStatus : int32_t {
    PZStatus_Success = 0,
    PZStatus_Error = 1,
    PZStatus_Timeout = 2,
    PZStatus_InvalidParameter = 3,
    PZStatus_ChecksumInvalid = 4,
    PZStatus_DeviceNotReady = 5,
    PZStatus_InvalidConfiguration = 6,
    PZStatus_NotSupported = 7,
    PZStatus_PowerInsufficient = 8,
    PZStatus_DoesNotExist = 9,
};

enum PZDeviceState : int32_t {
    PZDeviceState_Unknown = 0,
    PZDeviceState_Booting = 1,
    PZDeviceState_Ready = 2,
    PZDeviceState_Disconnected = 3,
    PZDeviceState_Error = 4,
    PZDeviceState_LowPowerMode = 5,
    PZDeviceState_RecoveryMode = 6,
    PZDeviceState_ProductionDataCorrupt = 7,
    PZDeviceState_FWCorrupt = 8,
};

enum PZComponent : int32_t {
    PZComponent_Visible = 0,
    PZComponent_IrLeft = 1,
    PZComponent_IrRight = 2,
    PZComponent_IrBoth = 3,
    PZComponent_Depth = 4,
};

enum PZParameter : int32_t {
    PZParameter_Exposure = 0,
    PZParameter_AnalogGain = 1,
    PZParameter_DigitalGain = 2,
    PZParameter_Delay = 3,
    PZParameter_YOffset = 4,
    PZParameter_XOffset = 5,
    PZParameter_SubpixYOffset = 6,
    PZParameter_Fps = 7,
    PZParameter_MatchingWindow = 8,
    PZParameter_DisparityRange = 9,
    PZParameter_Blc = 10,
    PZParameter_ApplyWb = 11,
    PZParameter_Gamma = 12,
};

enum PZDeviceMode : int32_t {
    PZDeviceMode_Normal = 0,
    PZDeviceMode_WarmReboot = 1,
    PZDeviceMode_Recovery = 2,
    PZDeviceMode_LowPower = 3,
};

// Build type of the device firmware as the application sees it.
enum PZBuildType : int32_t {
    PZBuildType_Release = 0,
    PZBuildType_Beta = 1,
    PZBuildType_Dev = 2,
};

// The application's device-state callback: (new PZDeviceState, user value).
using PZStateCallback = void (*)(int state, void* user);
// Firmware-update progress: (status text, percent, user value).
using PZProgressCallback = void (*)(const char* status, float percent, void* user);

struct PZInitParams {
    const char* serial;       // attach only to the sensor with this USB serial number; null: any
    int32_t transportValueA;  // second place of the transport parameter block
    int32_t transportValueB;  // first place of the transport parameter block
    const char* bootDirectory;  // vision-chip boot images; null: none; 256 characters or more fail
};

// A null parameter pointer means exactly a zero-filled record.
inline PZInitParams PZInitParams_orDefault(const PZInitParams* params) {
    return params != nullptr ? *params : PZInitParams{};
}

// Filled from the device's DeviceInfo reply. The texts point into the
// driver's copy of the last device-information reply: valid until the next
// device-information request or the end of the driver context, never null.
struct PZDeviceInfo {
    uint64_t birthday;
    int32_t color;  // 1 blue, 2 silver, 3 black, 4 dark gray, otherwise 0
    uint8_t usbSpeed;
    uint32_t fwMajor;
    uint32_t fwMinor;
    uint32_t fwRevision;
    int32_t buildType;  // PZBuildType
    const char* name;
    const char* serial;
    const char* model;
    const char* hwName;
    const char* manufacturer;
    const char* credential;
    bool hasBattery;
    bool disableLeds;
    uint16_t laserModel;
    uint16_t irCamModel;
    uint16_t irCamType;
    uint16_t visCamModel;
    uint16_t visCamType;
};

// Display names: "Unknown" for any value outside the table.
const char* PZStatus_toString(int32_t status);
const char* PZDeviceState_toString(int32_t state);
// Enumerator names ("PZStatus_Success" ...): "PZStatus_Unknown" outside the table.
const char* PZStatus_enumName(int32_t status);
