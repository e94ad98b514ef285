#include "driver/driver_thread.h"

#include <mutex>
#include <system_error>

#include "runtime/logger.h"

namespace {

std::mutex refusalsMutex;
uint32_t startsBeforeRefusal = 0;
uint32_t refusedStarts = 0;

// Whether this start is one of the refusals a test asked for.
bool takeRefusal() {
    std::lock_guard<std::mutex> lock(refusalsMutex);
    if (refusedStarts == 0) return false;
    if (startsBeforeRefusal > 0) {
        --startsBeforeRefusal;
        return false;
    }
    --refusedStarts;
    return true;
}

}  // namespace

OS_LYRG_threadT PZThread_start(OS_LYRG_threadParamsT* params) {
    params->handle = nullptr;
    try {
        if (takeRefusal()) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        params->handle = OS_LYRG_createThread(params);
    } catch (const std::system_error& error) {
        LOGG_PRINT(LOG_ERROR_E, 0, "Failed to start %s thread: %s\n", params->name != nullptr ? params->name : "a",
                   error.what());
        return nullptr;
    }
    return params->handle;
}

bool PZThread_startDetached(OS_LYRG_threadParamsT* params) {
    if (PZThread_start(params) == nullptr) return false;
    OS_LYRG_detachThread(params->handle);
    params->handle = nullptr;  // freed by the detach
    return true;
}

void PZThreadP_failStartsForTest(uint32_t count, uint32_t after) {
    std::lock_guard<std::mutex> lock(refusalsMutex);
    refusedStarts = count;
    startsBeforeRefusal = after;
}
