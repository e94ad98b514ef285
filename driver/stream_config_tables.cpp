// Driver frame format to the protocol's FrameFormat, kept as data so that it
// can be checked line by line.
#include <array>
#include <cstdint>

#include "driver/morv_client.capnp.h"
#include "driver/stream_config.h"

namespace {

using morv::client::FrameFormat;

// Indexed by the driver format minus 1.
constexpr std::array<FrameFormat, 8> kStreamFormats = {
    FrameFormat::IR8,           // 1 PZFrameFormat_Ir8
    FrameFormat::IR10,          // 2 PZFrameFormat_Ir10
    FrameFormat::DISPARITY16,   // 3 PZFrameFormat_Disparity16
    FrameFormat::RGB565,        // 4 PZFrameFormat_Rgb565
    FrameFormat::RGB888,        // 5 PZFrameFormat_Rgb888
    FrameFormat::BAYER_BGGR,    // 6 PZFrameFormat_BayerBggr
    FrameFormat::MONOCHROME8,   // 7 PZFrameFormat_Monochrome8
    FrameFormat::MONOCHROME10,  // 8 PZFrameFormat_Monochrome10
};

}  // namespace

int32_t PZStreamConfig_formatValue(int32_t format) {
    if (format < 1 || format > static_cast<int32_t>(kStreamFormats.size())) return -1;
    return static_cast<int32_t>(kStreamFormats[static_cast<size_t>(format - 1)]);
}
