// Firmware packages in the layout the sensor expects: a GNU tar archive of the
// device's firmware files (regular files owned by root, checksum texts beside
// what they cover, padded to whole 10,240-byte records), optionally followed
// by the 4-byte version trailer the updater reads.
//
// One generator serves both the build, which embeds the release package in
// the updater, and the simulated sensor's tests, which want smaller packages
// of the same shape. The contents are deterministic stand-ins: the right
// names, sizes, magic numbers and checksums, the same bytes on every build.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ztools {

struct PackageMember {
    std::string name;
    std::vector<uint8_t> content;
    unsigned mode = 0664;
};

// Sizes of the nine firmware files whose contents are generated; the five
// checksum texts and the version text have fixed sizes of their own.
struct FirmwareSizes {
    size_t bootfix;
    size_t dtb601;
    size_t dtb602;
    size_t vpu3;
    size_t zImage;
    size_t launcher;
    size_t packet1;
    size_t reset;
    size_t packet2;
};

// The files of the release package that the updater carries.
inline constexpr FirmwareSizes kReleaseFirmwareSizes{
    .bootfix = 56908,
    .dtb601 = 14248,
    .dtb602 = 14236,
    .vpu3 = 896363,
    .zImage = 1389048,
    .launcher = 3728,
    .packet1 = 102895,
    .reset = 27,
    .packet2 = 102909,
};

// The release trailer: one little-endian word 0x01000000, firmware 1.0.0.
inline constexpr std::array<uint8_t, 4> kReleaseVersionTrailer{0x00, 0x00, 0x00, 0x01};
inline constexpr size_t kTarRecordBytes = 10240;
inline constexpr size_t kTarBlockBytes = 512;

// A GNU tar archive of the members, in order, owned by root (uid and gid 0),
// modification time 0, padded with zero blocks to whole 10,240-byte records.
std::vector<uint8_t> buildTarArchive(const std::vector<PackageMember>& members);

// Checksum text of a member: its CRC-32 (zlib) as 8 lower-case hex digits and a line feed.
std::vector<uint8_t> crcText(std::span<const uint8_t> content);

// The nineteen members of a firmware archive with files of the given sizes, in archive order.
std::vector<PackageMember> firmwareMembers(const FirmwareSizes& sizes);

// Sizes that keep the release package's proportions within roughly totalBytes
// (at least 8 KiB): the kernel and the vision-processor image dominate.
FirmwareSizes scaledFirmwareSizes(size_t totalBytes);

// The archive alone, and the whole release package (archive and trailer).
std::vector<uint8_t> buildFirmwareArchive(const FirmwareSizes& sizes);
std::vector<uint8_t> buildReleaseFirmwarePackage();

// Offset of a member's first data byte in a tar archive built as above (the
// block after its header), 0 when there is no such member or the headers run
// past the end of the bytes.
size_t tarMemberDataOffset(std::span<const uint8_t> tar, const std::string& name);

}  // namespace ztools
