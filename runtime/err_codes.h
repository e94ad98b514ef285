// Host-library status codes: side in bits 24..27, module id in bits 16..23,
// the code in bits 0..15. A result is success when its low 16 bits are 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

using ERRG_codeE = uint32_t;

enum ERRG_sideE : uint32_t {
    ERRG_SIDE_HOST = 1,
    ERRG_SIDE_GP = 2,
    ERRG_SIDE_CEVA = 3,
    ERRG_SIDE_IAF = 4,
};

// Codes shared by every module.
enum ERRG_genericE : uint32_t {
    ERRG_GEN_SUCCESS = 0,
    ERRG_GEN_UNEXPECTED = 1,
    ERRG_GEN_INVALID_ARGS = 2,
    ERRG_GEN_OUT_OF_MEM = 3,
    ERRG_GEN_OUT_OF_RSRCS = 4,
    ERRG_GEN_NULL_PTR = 5,
    ERRG_GEN_TIMEOUT = 6,
    ERRG_GEN_IO_ERROR = 7,
    ERRG_GEN_NOT_SUPPORTED = 8,
    ERRG_GEN_ILLEGAL_STATE = 9,
    ERRG_GEN_INVALID_SERVICE = 10,
};

enum ERRG_moduleE : uint32_t {
    ERRG_MOD_SVC_MNGR = 1,
    ERRG_MOD_SVC_COM = 2,
    ERRG_MOD_IAE = 3,
    ERRG_MOD_DPE = 4,
    ERRG_MOD_CDE = 5,
    ERRG_MOD_CONN_LYR = 6,
    ERRG_MOD_CONFIG = 7,
    ERRG_MOD_ALG = 8,
    ERRG_MOD_SERVICE = 9,
    ERRG_MOD_DEPTH = 10,
    ERRG_MOD_VIDEO = 11,
    ERRG_MOD_SENSOR = 12,
    ERRG_MOD_HW_MNGR = 13,
    ERRG_MOD_PAL = 14,
    ERRG_MOD_INIT = 15,
    ERRG_MOD_IMG_CTRL = 16,
    ERRG_MOD_INJECT = 18,
    ERRG_MOD_SCHEDULER = 19,
    ERRG_MOD_MEM_POOL = 20,
    ERRG_MOD_LOGGER = 21,
    ERRG_MOD_I2C = 22,
    ERRG_MOD_DATA_BASE = 23,
    ERRG_MOD_MEM_MAP = 24,
    ERRG_MOD_OS_LYR = 25,
    ERRG_MOD_HW_REGS = 26,
    ERRG_MOD_MSG_BOX = 27,
    ERRG_MOD_SERIAL = 28,
    ERRG_MOD_SOCKET_MOD = 29,
    ERRG_MOD_QUEUE_LYR = 30,
    ERRG_MOD_MSGBOX_COM = 34,
    ERRG_MOD_GME = 35,
    ERRG_MOD_CEVA_BOOT = 36,
    ERRG_MOD_AUXILARY = 37,
    ERRG_MOD_USB_CTRL_COM = 38,
    ERRG_MOD_SYSTEM = 39,
    ERRG_MOD_GPIO = 40,
    ERRG_MOD_WEBCAM = 41,
    ERRG_MOD_SPI = 42,
    ERRG_MOD_SPI_FLASH = 43,
    ERRG_MOD_CLIENT = 44,
    ERRG_MOD_IPC_CTRL_COM = 45,
    ERRG_MOD_POS_SENSORS = 47,
    ERRG_MOD_STREAMER = 48,
    ERRG_MOD_MORV = 60,
};

constexpr ERRG_codeE ERRG_makeCode(uint32_t side, uint32_t module, uint32_t code) {
    return ((side & 0xFu) << 24) | ((module & 0xFFu) << 16) | (code & 0xFFFFu);
}
// A host-side status of a module.
constexpr ERRG_codeE ERRG_hostCode(uint32_t module, uint32_t code) {
    return ERRG_makeCode(ERRG_SIDE_HOST, module, code);
}
constexpr bool ERRG_SUCCEEDED(ERRG_codeE code) { return (code & 0xFFFFu) == 0; }
constexpr bool ERRG_FAILED(ERRG_codeE code) { return !ERRG_SUCCEEDED(code); }
constexpr uint32_t ERRG_codeOf(ERRG_codeE code) { return code & 0xFFFFu; }
constexpr uint32_t ERRG_moduleOf(ERRG_codeE code) { return (code >> 16) & 0xFFu; }
constexpr uint32_t ERRG_sideOf(ERRG_codeE code) { return (code >> 24) & 0xFu; }

// The name of a code: a generic name for codes 0..10, else the module's own
// name looked up with the side forced to HOST, else "INVALID".
const char* ERRG_errCodeToString(ERRG_codeE code);
// Writes " [0x%X, side, module, name]" into destination (at most room bytes
// including the terminating zero); returns what the formatted print returns.
int ERRG_formatErrCode(ERRG_codeE code, char* destination, size_t room);
// Side and module names as the suffix prints them ("INVALID" when unknown).
const char* ERRG_sideName(uint32_t side);
const char* ERRG_moduleName(uint32_t module);

// The name tables (data, kept in their own source file).
struct ERRG_codeNameT {
    ERRG_codeE code;  // host form: side HOST, module, module's own code
    const char* name;
};
struct ERRG_moduleNameT {
    uint32_t module;
    const char* name;
};
// Module code names, sorted by code.
extern const std::span<const ERRG_codeNameT> ERRG_moduleCodeTable;
// Module names, sorted by module id.
extern const std::span<const ERRG_moduleNameT> ERRG_moduleNameTable;
// Generic names, indexed by code 0..10.
extern const std::span<const char* const> ERRG_genericNameTable;
// Side names indexed by side; entry 0 (no side) is null.
extern const std::span<const char* const> ERRG_sideNameTable;
