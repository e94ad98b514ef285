// The two boot-detect programs, stored as device data and loaded unchanged
// at the boot-detect address. Each starts with a header the boot monitor's
// loader checks before it runs a program:
//   word 0  magic "ZBDT"
//   word 1  the chip version the program was built for
//   word 2  the program's total size in bytes
// and goes on with the program body, generated here from a fixed seed.
#include <array>
#include <cstddef>
#include <cstdint>

#include "host_lib/usb_boot.h"

namespace {

constexpr uint32_t kProgramMagic = 0x5444425A;  // "ZBDT" in memory order

template <size_t N>
constexpr std::array<uint8_t, N> makeProgram(uint32_t chipVersion, uint32_t seed) {
    static_assert(N >= 12 && N % 4 == 0, "a program is whole words behind its header");
    std::array<uint8_t, N> program{};
    const uint32_t header[3] = {kProgramMagic, chipVersion, static_cast<uint32_t>(N)};
    for (size_t w = 0; w < 3; ++w) {
        for (size_t b = 0; b < 4; ++b) program[w * 4 + b] = static_cast<uint8_t>(header[w] >> (8 * b));
    }
    uint32_t state = seed;
    for (size_t i = 12; i < N; ++i) {
        state = state * 1664525u + 1013904223u;
        program[i] = static_cast<uint8_t>(state >> 24);
    }
    return program;
}

}  // namespace

//                                                         chip version    seed
extern const std::array<uint8_t, VPU_BOOTDETECT_VPU3_SIZE> vpu_bootdetect_vpu3 =
    makeProgram<VPU_BOOTDETECT_VPU3_SIZE>(VPU_CHIP_VPU3, 0x0B007D03u);
extern const std::array<uint8_t, VPU_BOOTDETECT_VPU4_SIZE> vpu_bootdetect_vpu4 =
    makeProgram<VPU_BOOTDETECT_VPU4_SIZE>(VPU_CHIP_VPU4, 0x0B007D04u);
