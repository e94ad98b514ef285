// Firmware packages for the simulated sensor: tar archives in the layout the
// device expects (regular files, checksum texts next to what they cover),
// built in memory by the same generator that builds the updater's embedded
// package. Tests and benchmarks use them to drive firmware updates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/firmware_package_builder.h"

namespace zsim {

using ztools::PackageMember;

// A GNU tar archive of the members, in order, owned by root, padded to whole
// 10,240-byte records.
using ztools::buildTarArchive;

// Checksum text of a member: its CRC-32 as 8 lower-case hex digits and a line feed.
using ztools::crcText;

// Offset of a member's first data byte in a tar archive built as above (the
// block after its header), 0 when there is no such member. Flipping a byte
// there damages the member without touching the tar structure, so only
// the checksum check can notice (for members that have a checksum text).
using ztools::tarMemberDataOffset;

// Deterministic firmware archive of roughly totalBytes (at least a few KiB):
// boot files and a kernel image each with its checksum text, compressed
// microcontroller packets with theirs, and a version text. The same size
// always gives the same bytes.
std::vector<uint8_t> buildTestFirmwareArchive(size_t totalBytes);

}  // namespace zsim
