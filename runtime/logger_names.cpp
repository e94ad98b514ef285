// Names of the logger's line header. Kept as data so that they can be checked
// line by line against the list of sides and levels.
//
// The side table is the logger's own: it knows PSOC, which the status-code
// side names do not.
#include <cstddef>

#include "runtime/logger.h"

namespace {

const char* const kSideNames[] = {
    "INVALID",  // 0 LOGG_SIDE_INVALID_E
    "HOST",     // 1 LOGG_SIDE_HOST_E
    "GP",       // 2 LOGG_SIDE_GP_E
    "CEVA",     // 3 LOGG_SIDE_CEVA_E
    "IAF",      // 4 LOGG_SIDE_IAF_E
    "PSOC",     // 5 LOGG_SIDE_PSOC_E
};

const char* const kLevelNames[] = {
    "ERROR",  // 0 LOG_ERROR_E
    "WARN",   // 1 LOG_WARN_E
    "INFO",   // 2 LOG_INFO_E
    "DEBUG",  // 3 LOG_DEBUG_E
};

const char kUnknownName[] = "INVALID";

template <size_t N>
const char* lookUp(const char* const (&table)[N], int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= N) return kUnknownName;
    return table[index];
}

}  // namespace

const char* LOGP_sideName(int32_t side) { return lookUp(kSideNames, side); }

const char* LOGP_levelName(int32_t level) { return lookUp(kLevelNames, level); }
