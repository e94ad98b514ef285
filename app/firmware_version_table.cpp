// Release history: each SDK version and the firmware released with it, in
// release order. Versions are written major, minor, patch.
#include "app/firmware_package.h"

#include <array>

namespace ZarnFirmwareUpdater {

namespace {

constexpr VersionNumber version(uint32_t major, uint32_t minor, uint32_t patch) {
    return VersionNumber{.patch = patch, .minor = minor, .major = major};
}

constexpr std::array<FirmwareVersionRow, 7> kRows{{
    //       SDK                firmware
    {version(0, 6, 0), version(0, 9, 2)},
    {version(0, 6, 1), version(0, 9, 3)},
    {version(0, 7, 0), version(0, 9, 4)},
    {version(0, 7, 1), version(0, 9, 6)},
    {version(0, 7, 2), version(0, 9, 7)},
    {version(0, 7, 3), version(0, 9, 7)},
    {version(0, 8, 0), version(1, 0, 0)},
}};

}  // namespace

const std::span<const FirmwareVersionRow> firmwareVersionTable{kRows};

const char* const sdkDownloadAddress = "https://example.com/zarn/sdk";
const char* const supportEmailAddress = "support@example.com";

}  // namespace ZarnFirmwareUpdater
