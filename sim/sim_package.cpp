#include "sim/sim_package.h"

namespace zsim {

std::vector<uint8_t> buildTestFirmwareArchive(size_t totalBytes) {
    return ztools::buildFirmwareArchive(ztools::scaledFirmwareSizes(totalBytes));
}

}  // namespace zsim
