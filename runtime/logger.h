// Logger of the driver, the host library and the USB transport back-end.
// Lines carry a fixed header and, for a non-zero status, the status names;
// they go to a user callback or to the file and console sinks, and a copy can
// be queued for the vision processor's LOGGER service.
#pragma once

#include <cstdint>

#include "platform/printf_format.h"
#include "runtime/err_codes.h"
#include "runtime/mem_pool.h"
#include "runtime/os_layer.h"

enum LOGG_levelE : int32_t {
    LOG_ERROR_E = 0,
    LOG_WARN_E = 1,
    LOG_INFO_E = 2,
    LOG_DEBUG_E = 3,
};

enum LOGG_sideE : int32_t {
    LOGG_SIDE_INVALID_E = 0,
    LOGG_SIDE_HOST_E = 1,
    LOGG_SIDE_GP_E = 2,
    LOGG_SIDE_CEVA_E = 3,
    LOGG_SIDE_IAF_E = 4,
    LOGG_SIDE_PSOC_E = 5,
};

constexpr int LOGG_LINE_SIZE = 512;
constexpr uint32_t LOGG_DEVICE_COPY_MAX = 256;
constexpr const char* LOGG_LOG_FOLDER = "Morvale";

struct LOGG_callbackT;
// Called with (level: WARN 1, INFO 2, DEBUG 3, anything else 0), the finished
// line without its trailing newline, and the record itself.
using LOGG_callbackFuncT = void (*)(uint8_t level, const char* line, LOGG_callbackT* self);
struct LOGG_callbackT {
    LOGG_callbackFuncT func;
};

// Checked against the printf that formats the line, on either system.
#define LOGG_PRINTF_FORMAT(fmt, args) PLAT_PRINTF_FORMAT(fmt, args)

void LOGG_print(int32_t level, ERRG_codeE status, int32_t side, const char* file, const char* function,
                int32_t line, const char* format, ...) LOGG_PRINTF_FORMAT(7, 8);
// Dispatches a finished line (from the processor's LOGGER service) without
// filter, header or forwarding. A trailing newline is cut in place when a
// callback receives it.
void LOGG_printRaw(int32_t level, char* line);
void LOGG_init();
void LOGG_deinit();
void LOGG_setSeverity(int32_t level);
void LOGG_setConsolePrint(uint8_t enable);
void LOGG_setDeviceSink(void* sink, MEM_POOLG_handleT pool, OS_LYRG_msgQueT* queue);
void LOGG_clearDeviceSink();

void LOGP_consoleSink(int32_t level, const char* line);
void LOGP_fileSink(int32_t level, const char* line);

// Names printed in the line header ("INVALID" for anything unknown).
const char* LOGP_sideName(int32_t side);
const char* LOGP_levelName(int32_t level);

// Test support only: closes the process-wide log file and arms the first-use
// choice of a log file again, so that tests can exercise the rotation in
// folders of their own. Never called by the system itself.
void LOGP_resetFileSinkForTest();

// Host-side log call: side HOST, an empty file name and the caller's own name.
#define LOGG_PRINT(level, status, ...) LOGG_print((level), (status), LOGG_SIDE_HOST_E, "", __func__, __LINE__, __VA_ARGS__)
