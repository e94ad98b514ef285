#include "host_lib/vpu_host_api.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "host_lib/marshal.h"
#include "host_lib/svc_mngr.h"
#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

VPU_stateT* state() { return PZContext_GetHostState<VPU_stateT>(PZ_SLOT_HOST_API); }

// Admits calls only while the library is up and lets VPUG_deinit wait for
// the calls already admitted. Driver threads (stream readers, the control
// path) call concurrently; the flags of the plain state stay as they are.
struct Gate {
    std::mutex mutex;
    std::condition_variable idle;
    bool up = false;
    uint32_t active = 0;
};
const unsigned char kGateTag = 0;

Gate* gate() {
    return static_cast<Gate*>(PZContext_GetSlot(
        PZContext_GetCurrent(), &kGateTag, [](void*) -> void* { return new Gate; }, nullptr,
        [](void* object) { delete static_cast<Gate*>(object); }));
}

// One admitted call; admitted() is false when the library is down.
class Admission {
public:
    Admission() : gate_(gate()) {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        admitted_ = gate_->up;
        if (admitted_) ++gate_->active;
    }
    ~Admission() {
        if (!admitted_) return;
        std::lock_guard<std::mutex> lock(gate_->mutex);
        if (--gate_->active == 0) gate_->idle.notify_all();
    }
    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;
    bool admitted() const { return admitted_; }

private:
    Gate* gate_;
    bool admitted_ = false;
};

void openGate() {
    Gate* g = gate();
    std::lock_guard<std::mutex> lock(g->mutex);
    g->up = true;
}

// Refuses new calls, then waits for the admitted ones: each ends within its
// own time-out (an ioctl's second, a read's quarter second).
void closeGate() {
    Gate* g = gate();
    std::unique_lock<std::mutex> lock(g->mutex);
    g->up = false;
    g->idle.wait(lock, [g] { return g->active == 0; });
}

std::atomic_ref<uint32_t> initialisedFlag(VPU_stateT* s) { return std::atomic_ref<uint32_t>(s->initialised); }
std::atomic_ref<uint32_t> everFlag(VPU_stateT* s) { return std::atomic_ref<uint32_t>(s->everInitialised); }

// Sids a user may open and close: not the manager, not a placeholder.
bool isUserSid(uint32_t sid) {
    return sid < VPUG_NUM_SERVICES && sid != VPUG_SID_SVC_MNGR && sid != VPUG_SID_PLACEHOLDER_6 &&
           sid != VPUG_SID_PLACEHOLDER_8;
}

ERRG_codeE managerIoctl(VPU_stateT* s, uint32_t code, uint32_t sid) {
    VPUG_svcParams params{sid};
    return SERVICEG_ioctl(s->handles[VPUG_SID_SVC_MNGR], code, &params, sizeof(params));
}

void forget(VPU_stateT* s, uint32_t sid) {
    s->handles[sid] = nullptr;
    s->readFuncs[sid] = nullptr;
}

}  // namespace

ERRG_codeE VPUG_init(VPUG_connStateCb connStateCb) {
    VPU_stateT* s = state();
    initialisedFlag(s).store(1);
    everFlag(s).store(1);
    LOGG_PRINT(LOG_DEBUG_E, 0, "init host library\n");
    if (s->handles[VPUG_SID_SVC_MNGR] != nullptr) return VPUG__RET_SUCCESS;
    const ERRG_codeE status = SVC_MNGRG_init(connStateCb);
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_ERROR_E, status, "init host library fail\n");
        return status;
    }
    for (uint32_t sid = 0; sid < VPUG_NUM_SERVICES; ++sid) {
        forget(s, sid);
        s->openCounts[sid] = 0;
    }
    s->handles[VPUG_SID_SVC_MNGR] = SERVICEG_getHandle(VPUG_SID_SVC_MNGR);
    openGate();
    return status;
}

ERRG_codeE VPUG_deinit() {
    VPU_stateT* s = state();
    LOGG_PRINT(LOG_DEBUG_E, 0, "de-init host library\n");
    closeGate();
    // Nothing may reach the records, queues and pools once they are gone.
    initialisedFlag(s).store(0);
    SVC_MNGRG_deInit();
    s->handles[VPUG_SID_SVC_MNGR] = nullptr;
    return VPUG__RET_SUCCESS;
}

ERRG_codeE VPUG_open(VPUG_serviceHandleT* handle, uint32_t sid) {
    VPU_stateT* s = state();
    Admission admission;
    if (!admission.admitted() || s->handles[VPUG_SID_SVC_MNGR] == nullptr) {
        LOGG_PRINT(LOG_ERROR_E, VPUG__ERR_SVC_MNGR_CLOSED, "fail to open sid %d. svc_mngr is closed\n", sid);
        return VPUG__ERR_SVC_MNGR_CLOSED;
    }
    if (sid == VPUG_SID_SVC_MNGR) {
        LOGG_PRINT(LOG_ERROR_E, VPUG__ERR_TRY_TO_OPEN_SVC_MNGR, "forbidden open command. can't open svc_mngr\n");
        return VPUG__ERR_TRY_TO_OPEN_SVC_MNGR;
    }
    // The tables are indexed by sid; placeholders have no service behind them.
    if (handle == nullptr || !isUserSid(sid)) {
        LOGG_PRINT(LOG_ERROR_E, VPUG__ERR_INVALID_ARGS, "fail to open sid %d. no such service\n", sid);
        return VPUG__ERR_INVALID_ARGS;
    }
    if (s->handles[sid] == nullptr) {
        const ERRG_codeE status = managerIoctl(s, VPU_CMDG_OPEN_SVC_E, sid);
        if (ERRG_FAILED(status)) return status;
        SERVICEG_serviceT* record = SVC_MNGRG_getServiceHandle(sid);
        // Services without a read function refuse this; that is no failure of the open.
        VPUG_getReadFuncParams readFunc{nullptr};
        if (ERRG_SUCCEEDED(SERVICEG_ioctl(record, VPU_CMDG_GET_READ_FUNC_E, &readFunc, sizeof(readFunc))) &&
            readFunc.readFunc != nullptr) {
            LOGG_PRINT(LOG_DEBUG_E, 0, "got read func for sid %d\n", sid);
            s->readFuncs[sid] = readFunc.readFunc;
        }
        s->handles[sid] = record;
    }
    ++s->openCounts[sid];
    *handle = s->handles[sid];
    return VPUG__RET_SUCCESS;
}

ERRG_codeE VPUG_close(VPUG_serviceHandleT handle, uint32_t force) {
    VPU_stateT* s = state();
    Admission admission;
    if (!admission.admitted() || s->handles[VPUG_SID_SVC_MNGR] == nullptr) {
        LOGG_PRINT(LOG_ERROR_E, VPUG__ERR_SVC_MNGR_CLOSED, "close service failed. svc_mngr is closed\n");
        return VPUG__ERR_SVC_MNGR_CLOSED;
    }
    if (handle == nullptr) return VPUG__ERR_INVALID_ARGS;
    const uint32_t sid = SVC_COMG_getChannelNum(handle);
    if (sid == VPUG_SID_SVC_MNGR) {
        LOGG_PRINT(LOG_ERROR_E, VPUG__ERR_TRY_TO_CLOSE_SVC_MNGR, "forbidden close command. can't close svc_mngr\n");
        return VPUG__ERR_TRY_TO_CLOSE_SVC_MNGR;
    }
    if (!isUserSid(sid)) return VPUG__ERR_INVALID_ARGS;

    // A count already at 0 goes straight to the close: decrementing it would
    // wrap, and every later close would "succeed" without closing.
    if (s->openCounts[sid] > 0 && --s->openCounts[sid] > 0) return VPUG__RET_SUCCESS;
    s->openCounts[sid] = 0;

    SERVICEG_serviceT* record = SVC_MNGRG_getServiceHandle(sid);
    if (force != 0) {
        // The device is gone: only the host half is closed, when it is open.
        if (SERVICEG_isOpen(record) != 0) {
            SERVICEG_close(record, SERVICEG_PHASE_START_E);
            SERVICEG_close(record, SERVICEG_PHASE_DONE_E);
        }
        forget(s, sid);
        return VPUG__RET_SUCCESS;
    }
    const ERRG_codeE status = managerIoctl(s, VPU_CMDG_CLOSE_SVC_E, sid);
    // A refused or unanswered close still closed the host half: the handle
    // would lead later users to a closed service.
    if (ERRG_SUCCEEDED(status) || SERVICEG_isOpen(record) == 0) forget(s, sid);
    return status;
}

ERRG_codeE VPUG_ioctl(VPUG_serviceHandleT handle, uint32_t code, void* params) {
    VPU_stateT* s = state();
    if (everFlag(s).load() == 0) return VPUG__RET_SUCCESS;
    Admission admission;
    if (!admission.admitted()) return VPUG__ERR_SVC_MNGR_CLOSED;
    return SERVICEG_ioctl(handle, code, params, MARSHALG_getIoctlSize(code));
}

ERRG_codeE VPUG_read(VPUG_serviceHandleT handle, VPUG_readParams* params) {
    if (params == nullptr) return VPUG__ERR_INVALID_ARGS;
    params->length = 0;
    VPU_stateT* s = state();
    Admission admission;
    if (!admission.admitted() || initialisedFlag(s).load() != 1) return VPUG__ERR_READ_FAIL_COMM_DISCONNECTED;
    const uint32_t sid = handle != nullptr ? SVC_COMG_getChannelNum(handle) : VPUG_NUM_SERVICES;
    VPUG_readFuncT read = sid < VPUG_NUM_SERVICES ? s->readFuncs[sid] : nullptr;
    if (read == nullptr) {
        LOGG_PRINT(LOG_ERROR_E, VPUG__ERR_INVALID_ARGS, "read from sid %d refused. no read function\n", sid);
        return VPUG__ERR_INVALID_ARGS;
    }
    VPUG_readItemT item{};
    item.hdrRecord = params->hdrRecord;
    const ERRG_codeE status = read(&item, params->streamId, VPUG_READ_TIMEOUT_MS);
    if (ERRG_FAILED(status)) {
        params->length = 0;
        return ERRG_codeOf(status) == ERRG_GEN_TIMEOUT ? VPUG__ERR_TIMEOUT : status;
    }
    params->frameWord = item.frameWord;
    params->buffer = item.buffer;
    params->data = item.data;
    params->length = item.length;
    params->frameStamp = item.frameStamp;
    params->frameValue = item.frameValue;
    return VPUG__RET_SUCCESS;
}

VPU_stateT* VPUP_getState() { return state(); }
