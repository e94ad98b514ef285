#include "driver/driver_api.h"

#include <array>
#include <cstdint>
#include <limits>

#include "driver/device_client.h"
#include "driver/device_record.h"
#include "driver/device_requests.h"
#include "host_lib/usb_boot.h"
#include "runtime/logger.h"

namespace {

// Indexed by PZBuildType; the device's "anything else" is dev.
constexpr std::array<const char*, 3> kBuildNames = {"release", "beta", "dev"};

const char* buildName(int32_t buildType) {
    return buildType >= 0 && static_cast<size_t>(buildType) < kBuildNames.size() ? kBuildNames[buildType]
                                                                                  : kBuildNames[PZBuildType_Dev];
}

constexpr size_t kTrailerSize = 4;

// The package's last four bytes, little-endian: major 31..24, minor 23..16,
// patch 15..4, build 3..0.
struct PackageVersion {
    uint32_t major, minor, patch, build;
};
PackageVersion readTrailer(const uint8_t* trailer) {
    const uint32_t v = static_cast<uint32_t>(trailer[0]) | (static_cast<uint32_t>(trailer[1]) << 8) |
                       (static_cast<uint32_t>(trailer[2]) << 16) | (static_cast<uint32_t>(trailer[3]) << 24);
    return PackageVersion{v >> 24, (v >> 16) & 0xFFu, (v >> 4) & 0xFFFu, v & 0xFu};
}

}  // namespace

PZStatus PlovarZarn_GetDeviceInfo(PZDeviceInfo* out) {
    if (!PZInternal_IsDeviceReady(true)) return PZStatus_DeviceNotReady;
    if (out == nullptr) return PZStatus_InvalidParameter;
    const PZStatus status = PlovarZarnClient_GetDeviceInfo(out);
    if (status != PZStatus_Success) return status;
    LOGG_PRINT(LOG_INFO_E, 0, "  HW Version: %s\n", out->hwName);
    LOGG_PRINT(LOG_INFO_E, 0, "  FW Version: %u.%u.%u %s\n", out->fwMajor, out->fwMinor, out->fwRevision,
               buildName(out->buildType));
    LOGG_PRINT(LOG_INFO_E, 0, "Manufacturer: %s\n", out->manufacturer);
    LOGG_PRINT(LOG_INFO_E, 0, "       Model: %s\n", out->model);
    LOGG_PRINT(LOG_INFO_E, 0, "      Serial: %s\n", out->serial);
    LOGG_PRINT(LOG_INFO_E, 0, "  Attributes: %d, %d, %d\n", static_cast<int>(out->color),
               static_cast<int>(out->hasBattery), static_cast<int>(out->disableLeds));
    return PZStatus_Success;
}

PZStatus PlovarZarn_UpdateFW(const uint8_t* package, size_t size, PZProgressCallback progressCallback,
                             void* userData, bool noReboot) {
    if (!PZInternal_IsDeviceReady(false)) return PZStatus_DeviceNotReady;
    // The trailer must be there to be read, and the device takes the
    // archive's length as 32 bits: a longer one would arrive cut short.
    if (package == nullptr || size < kTrailerSize ||
        size - kTrailerSize > std::numeric_limits<uint32_t>::max()) {
        return PZStatus_InvalidParameter;
    }
    const size_t archiveSize = size - kTrailerSize;
    const PackageVersion version = readTrailer(package + archiveSize);
    LOGG_PRINT(LOG_INFO_E, 0, "Updating FW to version: %d.%d.%d.%d\n", static_cast<int>(version.major),
               static_cast<int>(version.minor), static_cast<int>(version.patch), static_cast<int>(version.build));
    const PZStatus status = PlovarZarnClient_UpdateFW(package, archiveSize, progressCallback, userData, true, false,
                                                      version.major, version.minor, version.patch, version.build);
    if (noReboot || status != PZStatus_Success) return status;
    return PlovarZarnClient_SetMode(PZDeviceMode_WarmReboot);
}

PZStatus PlovarZarn_SetDeviceMode(int32_t mode) {
    if (PZDevice_get()->state.load() == PZDeviceState_RecoveryMode && mode == PZDeviceMode_Normal) {
        return vpu_usb_boot_target() == 0 ? PZStatus_Success : PZStatus_Error;
    }
    return PlovarZarnClient_SetMode(mode);
}
