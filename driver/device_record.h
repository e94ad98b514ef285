// Device record: the device manager's working state of one driver context,
// the driver state reported to the application and the readiness test that
// every request and every stream asks before it talks to the device.
//
// The state is read and written without a lock: one word, written by the
// thread that runs a bring-up or a cleanup and read by requests. The slot's
// own lock guards only the lookup of the record.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/driver_types.h"
#include "host_lib/host_api_records.h"
#include "runtime/os_layer.h"

struct PZDeviceRecord {
    std::atomic<bool> reuseGuard;       // set by the first initialisation on a non-default context
    OS_LYRG_threadParamsT cleanupThread;  // "Cleanup thread"; holds the handle while one runs
    // Cleanup arguments.
    bool stopStreams;  // switch the streams off first
    std::atomic<bool> keepUsb;  // a removal: keep the USB layer and the application callback
    int32_t finalState;  // PZDeviceState reported when the cleanup ends
    std::atomic<bool> cleanupActive;  // started and not yet finished
    VPUG_serviceHandleT loggerService;  // service 2, open while the framework is up
    VPUG_serviceHandleT systemService;  // service 1, open while the framework is up
    OS_LYRG_eventT bootEvent;           // set when the host library's link is up
    std::atomic<int32_t> state;         // PZDeviceState
    // Set by initialisation, cleared by a shutdown cleanup while other threads
    // may be reporting a state.
    std::atomic<PZStateCallback> stateCallback;
    std::atomic<void*> userData;
    double bootStartTime;  // monotonic seconds; 0 when no bring-up runs
    VPUG_loggerParams loggerParams;
    bool booting;  // event 2 seen, event 1 not yet
};

// The record of the current driver context, created zeroed on first use.
PZDeviceRecord* PZDevice_get();

// Stores the state; with a state callback set, logs the change and tells the
// application on the calling thread.
void updateState(int32_t state);
// Ready, Production Data Corrupt and FW Corrupt are ready; Low Power Mode as
// the argument says; everything else is not.
bool isReadyState(bool allowLowPower);
// Whether a request may talk to the device now. A removal cleanup makes
// every request wait for the next bring-up; a shutdown cleanup does not.
bool PZInternal_IsDeviceReady(bool allowLowPower);
