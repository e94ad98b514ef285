// Little-endian fields of the processor's wire records, appended to and read
// from byte strings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/sim_usb.h"

namespace zsim {

// Appends the low `width` bytes of `value`, least significant first.
inline void putLe(Bytes& out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The `width`-byte field (at most 4) at `offset`; bytes past the end read as zero.
inline uint32_t getLe(const Bytes& bytes, size_t offset, size_t width) {
    uint32_t value = 0;
    for (size_t i = 0; i < width && offset + i < bytes.size(); ++i)
        value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
    return value;
}

}  // namespace zsim
