// The firmware package the updater carries and installs, its version, and the
// SDK releases that go with each firmware version.
//
// The package is a tar archive of the device's firmware files followed by a
// 4-byte little-endian version trailer. The host never opens the archive: the
// whole package goes to the driver's firmware update, which sends the archive
// and puts the trailer's version into the request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace ZarnFirmwareUpdater {

// A version triple, held patch first. Ordered on (major, minor, patch).
struct VersionNumber {
    uint32_t patch = 0;
    uint32_t minor = 0;
    uint32_t major = 0;

    friend constexpr bool operator==(const VersionNumber&, const VersionNumber&) = default;
    friend constexpr auto operator<=>(const VersionNumber& a, const VersionNumber& b) {
        if (auto order = a.major <=> b.major; order != 0) return order;
        if (auto order = a.minor <=> b.minor; order != 0) return order;
        return a.patch <=> b.patch;
    }
};

// One row of the release history: an SDK version and the firmware released with it.
struct FirmwareVersionRow {
    VersionNumber sdk;
    VersionNumber firmware;
};

// Size of the package carried: a 2,600,960-byte archive and its trailer.
inline constexpr std::size_t kEmbeddedFirmwarePackageSize = 2600964;

// The package in the program's read-only data.
extern const std::span<const uint8_t> embeddedFirmwarePackage;

// The release history, oldest first (seven rows).
extern const std::span<const FirmwareVersionRow> firmwareVersionTable;

// Where users get the SDK, and whom they write to when the sensor will not come up.
extern const char* const sdkDownloadAddress;
extern const char* const supportEmailAddress;

// The version in a package's trailer: the last four bytes as a little-endian
// word W give major W>>24, minor (W>>16)&0xFF and patch (W>>8)&0xFFF. Throws
// std::runtime_error("Embedded firmware data too small to unpack version!")
// for a package shorter than its trailer.
VersionNumber firmwareVersionFromPackage(std::span<const uint8_t> package);

// The version of the package carried.
VersionNumber embeddedFirmwareVersion();

// The SDK version released with that firmware, or null when none was. The
// value lives as long as the process. Where two releases shipped the same
// firmware, the later one counts.
const VersionNumber* compatibleSdkVersion(const VersionNumber& firmware);

// "major.minor.patch".
std::string versionToString(const VersionNumber& version);

}  // namespace ZarnFirmwareUpdater
