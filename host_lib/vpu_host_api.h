// Host API: the only door from the sensor driver into the host library's
// services. It brings the library up and down, opens and closes services by
// service id (counting opens, so that several driver components can share
// one service), sends synchronous ioctls to open services and reads the next
// delivered item of a service through the read function the service handed
// out at open. Users can never open or close the service manager (sid 0).
//
// Calls that arrive while the library is down are refused, and VPUG_deinit
// first refuses new calls and waits for those in flight to end (each is
// bounded by its own time-out) before it takes the records, queues and pools
// away beneath them.
#pragma once

#include <cstdint>

#include "host_lib/host_api_records.h"
#include "host_lib/service.h"
#include "runtime/err_codes.h"

// --- status codes (side HOST, module SERVICE) ---------------------------------------

constexpr ERRG_codeE VPUG__RET_SUCCESS = SERVICE__RET_SUCCESS;
constexpr ERRG_codeE VPUG__ERR_INVALID_ARGS = SERVICE__ERR_INVALID_ARGS;
constexpr ERRG_codeE VPUG__ERR_TIMEOUT = SERVICE__ERR_TIMEOUT;
constexpr ERRG_codeE VPUG__ERR_SVC_MNGR_CLOSED = 0x109000E;
constexpr ERRG_codeE VPUG__ERR_TRY_TO_CLOSE_SVC_MNGR = 0x109000F;
constexpr ERRG_codeE VPUG__ERR_TRY_TO_OPEN_SVC_MNGR = 0x1090010;
constexpr ERRG_codeE VPUG__ERR_READ_FAIL_COMM_DISCONNECTED = 0x1090011;

// How long VPUG_read lets a service's read function wait for an item.
constexpr uint32_t VPUG_READ_TIMEOUT_MS = 250;

// --- module state (context slot 5) ------------------------------------------------------

struct VPU_stateT {
    SERVICEG_serviceT* handles[VPUG_NUM_SERVICES];  // entry 0: the manager's record while the library is up
    uint32_t openCounts[VPUG_NUM_SERVICES];         // successful opens not yet matched by a close
    VPUG_readFuncT readFuncs[VPUG_NUM_SERVICES];    // from VPU_CMDG_GET_READ_FUNC_E, or none
    uint32_t initialised;      // 1 from VPUG_init until VPUG_deinit
    uint32_t everInitialised;  // VPUG_init has been called at least once
};

// --- operations --------------------------------------------------------------------------

// Brings the library up; connStateCb hears the service manager's link events
// (sid 0 with 0 connected, 1 disconnected, 2 disconnect pending). Success
// at once when the library is already up.
ERRG_codeE VPUG_init(VPUG_connStateCb connStateCb);
// Takes the library down. Always succeeds.
ERRG_codeE VPUG_deinit();
// Opens sid (1..9, not a placeholder) or, when it is open already, counts
// one more user of it. *handle receives the service's record.
ERRG_codeE VPUG_open(VPUG_serviceHandleT* handle, uint32_t sid);
// Counts one user less; the last one closes the service. force (the device
// is gone) closes the host half locally without sending anything.
ERRG_codeE VPUG_close(VPUG_serviceHandleT handle, uint32_t force);
// Sends params (the host record of code) and, on return, leaves the answer
// in it. Before VPUG_init was ever called: success, nothing sent.
ERRG_codeE VPUG_ioctl(VPUG_serviceHandleT handle, uint32_t code, void* params);
// The next item of params->streamId; params->length is 0 on any failure.
ERRG_codeE VPUG_read(VPUG_serviceHandleT handle, VPUG_readParams* params);

// This context's state (created zero-filled on first use).
VPU_stateT* VPUP_getState();
