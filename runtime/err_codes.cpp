// Names of host-library status codes, and the suffix the logger appends to a
// line that carries a status. Every lookup is a bounds-checked index or a
// binary search over a sorted constant table: no allocation, no locks, so the
// logger may call these from any thread.
#include "runtime/err_codes.h"

#include <algorithm>
#include <cstdio>

namespace {

const char kInvalid[] = "INVALID";

// Codes up to this number are the generic ones, shared by every module.
constexpr uint32_t kLastGenericCode = ERRG_GEN_INVALID_SERVICE;

}  // namespace

const char* ERRG_errCodeToString(ERRG_codeE code) {
    uint32_t own = ERRG_codeOf(code);
    if (own <= kLastGenericCode && own < ERRG_genericNameTable.size()) return ERRG_genericNameTable[own];
    // A module's code names the same whichever side reports it.
    ERRG_codeE hostForm = (code & 0xFFFFFFu) | (static_cast<uint32_t>(ERRG_SIDE_HOST) << 24);
    auto it = std::lower_bound(ERRG_moduleCodeTable.begin(), ERRG_moduleCodeTable.end(), hostForm,
                               [](const ERRG_codeNameT& entry, ERRG_codeE key) { return entry.code < key; });
    if (it == ERRG_moduleCodeTable.end() || it->code != hostForm) return kInvalid;
    return it->name;
}

const char* ERRG_sideName(uint32_t side) {
    if (side >= ERRG_sideNameTable.size() || ERRG_sideNameTable[side] == nullptr) return kInvalid;
    return ERRG_sideNameTable[side];
}

const char* ERRG_moduleName(uint32_t module) {
    auto it = std::lower_bound(ERRG_moduleNameTable.begin(), ERRG_moduleNameTable.end(), module,
                               [](const ERRG_moduleNameT& entry, uint32_t key) { return entry.module < key; });
    if (it == ERRG_moduleNameTable.end() || it->module != module) return kInvalid;
    return it->name;
}

int ERRG_formatErrCode(ERRG_codeE code, char* destination, size_t room) {
    // snprintf writes nothing when room is 0, so a null destination is only
    // acceptable then; it still reports the length the suffix needs.
    if (destination == nullptr) room = 0;
    return std::snprintf(destination, room, " [0x%X, %s, %s, %s]", static_cast<unsigned>(code),
                         ERRG_sideName(ERRG_sideOf(code)), ERRG_moduleName(ERRG_moduleOf(code)),
                         ERRG_errCodeToString(code));
}
