// Constant tables of the device client, kept as data so that each one can be
// checked line by line: system-event names, the notification-to-event map and
// the protocol-error-to-status map.
#include <array>
#include <cstdint>

#include "driver/device_client.h"

namespace {

// Indexed by PZSystemEvent.
constexpr std::array<const char*, PZSystemEvent_Count> kSystemEventNames = {
    "Laser high trip",                       // 0
    "Laser low trip",                        // 1
    "Laser fatal trip",                      // 2
    "Laser recovered",                       // 3
    "Laser self test failed",                // 4
    "PSoC firmware corrupt",                 // 5
    "Laser needs calibration",               // 6
    "Can't communicate to USB mux",          // 7
    "Can't communicate to battery charger",  // 8
    "Battery charger watchdog expired",      // 9
    "VBus voltage is bad",                   // 10
    "VBus voltage is good",                  // 11
    "Accessory voltage is bad",              // 12
    "Accessory voltage is good",             // 13
    "Battery voltage is bad",                // 14
    "Battery voltage is good",               // 15
    "Battery is hot",                        // 16
    "Battery is cold",                       // 17
    "Battery temp is good",                  // 18
    "Battery charger timeout",               // 19
    "Battery charger temp is bad",           // 20
    "Battery charger temp is good",          // 21
    "Laser is hot",                          // 22
    "Laser is cold",                         // 23
    "Forcing low power mode",                // 24
    "Power status forbids streaming",        // 25
    "Power status permits streaming",        // 26
};

constexpr int32_t kNoEvent = -1;

struct NotificationEvents {
    int32_t asserted;
    int32_t cleared;
};

// Indexed by the protocol's Notification value (0..20).
constexpr std::array<NotificationEvents, 21> kNotificationEvents = {{
    {PZSystemEvent_LaserHighTrip, PZSystemEvent_LaserRecovered},               // 0  laserTripHigh
    {PZSystemEvent_LaserLowTrip, PZSystemEvent_LaserRecovered},                // 1  laserTripLow
    {PZSystemEvent_LaserSelfTestFailed, PZSystemEvent_LaserSelfTestFailed},    // 2  laserTestFailed
    {PZSystemEvent_PsocFirmwareCorrupt, PZSystemEvent_PsocFirmwareCorrupt},    // 3  socFlashCorrupt
    {PZSystemEvent_LaserNeedsCalibration, PZSystemEvent_LaserNeedsCalibration},// 4  laserCalCorrupt
    {PZSystemEvent_UsbMuxCommsFailed, PZSystemEvent_UsbMuxCommsFailed},        // 5  noUsbMuxComms
    {PZSystemEvent_ChargerCommsFailed, PZSystemEvent_ChargerCommsFailed},      // 6  noChgrComms
    {PZSystemEvent_ChargerWatchdog, PZSystemEvent_ChargerWatchdog},            // 7  chgrWatchdog
    {PZSystemEvent_VBusBad, PZSystemEvent_VBusGood},                           // 8  vbusVoltsBad
    {PZSystemEvent_AccessoryVoltageBad, PZSystemEvent_AccessoryVoltageGood},   // 9  accVoltsBad
    {PZSystemEvent_BatteryVoltageBad, PZSystemEvent_BatteryVoltageGood},       // 10 battVoltsBad
    {PZSystemEvent_LaserHot, PZSystemEvent_LaserRecovered},                    // 11 laserHot
    {PZSystemEvent_BatteryHot, PZSystemEvent_BatteryTempGood},                 // 12 battHot
    {PZSystemEvent_BatteryCold, PZSystemEvent_BatteryTempGood},                // 13 battCold
    {PZSystemEvent_ChargerTimeout, PZSystemEvent_ChargerTimeout},              // 14 chgrTimeout
    {PZSystemEvent_ChargerTempBad, PZSystemEvent_ChargerTempGood},             // 15 chgrTemp
    {PZSystemEvent_LaserCold, PZSystemEvent_LaserRecovered},                   // 16 laserCold
    {PZSystemEvent_LaserFatalTrip, PZSystemEvent_LaserRecovered},              // 17 laserTripFatal
    {kNoEvent, kNoEvent},                                                      // 18 chargerConnected
    {PZSystemEvent_ForcingLowPowerMode, PZSystemEvent_ForcingLowPowerMode},    // 19 goingToLpm
    {PZSystemEvent_PowerPermitsStreaming, PZSystemEvent_PowerForbidsStreaming},// 20 powerPermitsStreaming
}};

// Indexed by the protocol's Error value (0..15); anything above is Error.
constexpr std::array<PZStatus, 16> kErrorStatus = {
    PZStatus_Error,                 // 0  unknown
    PZStatus_Success,               // 1  success
    PZStatus_InvalidParameter,      // 2  invalidParams
    PZStatus_DoesNotExist,          // 3  fileNotFound
    PZStatus_InvalidParameter,      // 4  dataTooLarge
    PZStatus_InvalidParameter,      // 5  filenameTooLong
    PZStatus_DeviceNotReady,        // 6  notStreaming
    PZStatus_Error,                 // 7  noMemory
    PZStatus_Error,                 // 8  validationFailed
    PZStatus_DeviceNotReady,        // 9  notReady
    PZStatus_NotSupported,          // 10 notSupported
    PZStatus_InvalidConfiguration,  // 11 invalidConfiguration
    PZStatus_Error,                 // 12 ioError
    PZStatus_PowerInsufficient,     // 13 powerInsufficient
    PZStatus_Error,                 // 14 parameterClampedMin
    PZStatus_Error,                 // 15 parameterClampedMax
};

}  // namespace

const char* PZSystemEvent_toString(int32_t code) {
    if (code < 0 || code >= PZSystemEvent_Count) return "Unknown";
    return kSystemEventNames[static_cast<size_t>(code)];
}

int32_t PZClient_notificationToEvent(uint16_t type, bool asserted) {
    if (type >= kNotificationEvents.size()) return kNoEvent;
    const NotificationEvents& events = kNotificationEvents[type];
    return asserted ? events.asserted : events.cleared;
}

PZStatus PZClient_errorToStatus(uint16_t error) {
    if (error >= kErrorStatus.size()) return PZStatus_Error;
    return kErrorStatus[error];
}
