#include "driver/device_record.h"

#include <cstdlib>
#include <new>

#include "runtime/context.h"
#include "runtime/logger.h"

#define DEVICE_LOG(level, function, ...) \
    LOGG_print((level), 0, LOGG_SIDE_HOST_E, "", (function), __LINE__, __VA_ARGS__)

namespace {

// Zero-filled like every slot record; the atomics are constructed in place so
// that their first use is on a live object.
void* newRecord(void*) {
    void* memory = std::calloc(1, sizeof(PZDeviceRecord));
    if (memory == nullptr) return nullptr;
    auto* record = static_cast<PZDeviceRecord*>(memory);
    new (&record->reuseGuard) std::atomic<bool>(false);
    new (&record->cleanupActive) std::atomic<bool>(false);
    new (&record->keepUsb) std::atomic<bool>(false);
    new (&record->state) std::atomic<int32_t>(PZDeviceState_Unknown);
    new (&record->stateCallback) std::atomic<PZStateCallback>(nullptr);
    new (&record->userData) std::atomic<void*>(nullptr);
    return record;
}

// No thread runs on the context any more: an event that a failed
// initialisation kept goes with the record.
void deleteRecord(void* object) {
    auto* record = static_cast<PZDeviceRecord*>(object);
    if (record->bootEvent != nullptr) OS_LYRG_releaseEvent(record->bootEvent, 0);
    std::free(object);
}

}  // namespace

PZDeviceRecord* PZDevice_get() {
    return static_cast<PZDeviceRecord*>(PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_DEVICE),
                                                          &newRecord, nullptr, &deleteRecord));
}

void updateState(int32_t state) {
    PZDeviceRecord* device = PZDevice_get();
    device->state.store(state);
    const PZStateCallback callback = device->stateCallback.load();
    if (callback == nullptr) return;
    DEVICE_LOG(LOG_INFO_E, "updateState", "Notifying app of state: %s\n", PZDeviceState_toString(state));
    callback(state, device->userData.load());
}

bool isReadyState(bool allowLowPower) {
    switch (PZDevice_get()->state.load()) {
        case PZDeviceState_Ready:
        case PZDeviceState_ProductionDataCorrupt:
        case PZDeviceState_FWCorrupt:
            return true;
        case PZDeviceState_LowPowerMode:
            return allowLowPower;
        default:
            return false;
    }
}

bool PZInternal_IsDeviceReady(bool allowLowPower) {
    PZDeviceRecord* device = PZDevice_get();
    if (device->state.load() == PZDeviceState_Unknown) return false;
    if (device->cleanupActive.load()) {
        DEVICE_LOG(LOG_DEBUG_E, "PZInternal_IsDeviceReady", "In cleanup.  NOT READY\n");
        if (device->keepUsb.load()) return false;
    }
    return isReadyState(allowLowPower);
}
