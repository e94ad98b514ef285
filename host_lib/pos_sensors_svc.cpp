// POS_SENSORS service: inertial samples from the processor to the driver.
#include "host_lib/pos_sensors_svc.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>

#include "host_lib/system_svc.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/os_layer.h"

namespace {

// The service's state in its context slot. The state mutex lives as long as
// the context: the framework runs the data fast path for every sample,
// whether the service is open or not, so it must always find a live mutex.
// It guards the state, the statistics and the queue's existence.
struct POS_SENSORSP_stateT {
    std::mutex stateMutex;
    uint32_t state = 0;
    uint32_t createSec = 0;
    uint16_t createMs = 0;
    uint32_t startSec = 0;
    uint16_t startMs = 0;
    uint32_t received = 0;
    uint32_t lost = 0;
    uint32_t overflows = 0;
    std::atomic<uint32_t> timeouts{0};
    SERVICEG_serviceT* service = nullptr;
    uint32_t forwardCode = SERVICE__INCOMPLETE;
    OS_LYRG_msgQueT queue{};
    std::atomic<bool> queueCreated{false};
};

void* newState(void*) { return new (std::nothrow) POS_SENSORSP_stateT; }

// Runs when the context goes: chains still queued are not freed, their pools
// may already be gone.
void deleteState(void* object) {
    auto* state = static_cast<POS_SENSORSP_stateT*>(object);
    if (state->queueCreated) OS_LYRG_deleteMsgQue(&state->queue);
    delete state;
}

POS_SENSORSP_stateT* getState() {
    return static_cast<POS_SENSORSP_stateT*>(PZContext_GetSlot(
        PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_POS_SENSORS), &newState, nullptr, &deleteState));
}

// Caller holds the state mutex.
void clearStatsLocked(POS_SENSORSP_stateT* state) {
    state->startSec = 0;
    state->startMs = 0;
    state->received = 0;
    state->lost = 0;
    state->overflows = 0;
    state->timeouts.store(0);
}

// Frees the chain of every sample still queued, then deletes the queue.
// Caller holds the state mutex. Returns false when the queue could not be deleted.
bool deleteQueueLocked(POS_SENSORSP_stateT* state) {
    if (!state->queueCreated) return true;
    SERVICEP_freeQueuedChains<POS_SENSORSG_queueMsgT>(&state->queue);
    state->queueCreated = false;
    return OS_LYRG_deleteMsgQue(&state->queue) == OS_LYRG_SUCCESS;
}

}  // namespace

// --- operations -----------------------------------------------------------------------------

const char* POS_SENSORSG_getName() { return "POS_SENSORS"; }

ERRG_codeE POS_SENSORSG_open(SERVICEG_requestT* request) {
    if (request->phase == SERVICEG_PHASE_DONE_E) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "open POS_SENSORS service. handle cmd done\n");
        return POS_SENSORS__RET_SUCCESS;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "open POS_SENSORS service. handle cmd start\n");
    POS_SENSORSP_stateT* state = getState();
    std::lock_guard<std::mutex> guard(state->stateMutex);
    clearStatsLocked(state);
    OS_LYRG_getTime(&state->createSec, &state->createMs);
    state->state = POS_SENSORSG_STATE_OPENED_E;
    state->service = request->service;
    // An open without a close in between starts from an empty queue.
    deleteQueueLocked(state);
    state->queue = OS_LYRG_msgQueT{};
    state->queue.maxMsgs = POS_SENSORSG_QUEUE_DEPTH;
    state->queue.msgSize = sizeof(POS_SENSORSG_queueMsgT);
    std::snprintf(state->queue.name, sizeof(state->queue.name), "%s", "/HostPos_sensorsDataQue");
    if (OS_LYRG_createMsgQue(&state->queue, 0) != OS_LYRG_SUCCESS) return POS_SENSORS__ERR_CREATE_QUEUE_FAIL;
    state->queueCreated = true;
    return state->forwardCode;
}

ERRG_codeE POS_SENSORSG_close(SERVICEG_requestT* request) {
    POS_SENSORSP_stateT* state = getState();
    {
        std::lock_guard<std::mutex> guard(state->stateMutex);
        if (state->state < POS_SENSORSG_STATE_OPENED_E) return POS_SENSORS__RET_SUCCESS;
    }
    if (request->phase == SERVICEG_PHASE_START_E) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "close POS_SENSORS service. handle cmd start\n");
        std::lock_guard<std::mutex> guard(state->stateMutex);
        clearStatsLocked(state);
        return state->forwardCode;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "close POS_SENSORS service. handle cmd done\n");
    bool deleted = false;
    {
        std::lock_guard<std::mutex> guard(state->stateMutex);
        state->state = POS_SENSORSG_STATE_CLOSED_E;
        LOGG_PRINT(LOG_DEBUG_E, 0, "delete message queue\n");
        deleted = deleteQueueLocked(state);
    }
    return deleted ? POS_SENSORS__RET_SUCCESS : POS_SENSORS__ERR_DELETE_QUEUE_FAIL;
}

ERRG_codeE POS_SENSORSG_hostIoctl(SERVICEG_requestT* request) {
    POS_SENSORSP_stateT* state = getState();
    const uint32_t code = request->code;
    if (request->phase == SERVICEG_PHASE_DONE_E) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "POS_SENSORS service ioctl handle cmd done. ioctl opcode: %s\n",
                   VPU_CMDG_cmdToString(code));
        return POS_SENSORS__RET_SUCCESS;
    }
    switch (code) {
        case VPU_CMDG_FREE_BUF_E: {
            auto* params = static_cast<VPUG_freeBufParams*>(request->params);
            if (params != nullptr) MEM_POOLG_freeBuff(params->buffer);
            return POS_SENSORS__RET_SUCCESS;
        }
        case VPU_CMDG_GET_READ_FUNC_E: {
            auto* params = static_cast<VPUG_getReadFuncParams*>(request->params);
            if (params != nullptr) params->readFunc = &POS_SENSORSP_read;
            return POS_SENSORS__RET_SUCCESS;
        }
        case POS_SENSORS_CONFIG_E:
        case 0x09000006:
        case 0x09000007:
            return state->forwardCode;
        case POS_SENSORS_START_E: {
            LOGG_PRINT(LOG_DEBUG_E, 0, "start POS_SENSORS service. handle cmd start\n");
            std::lock_guard<std::mutex> guard(state->stateMutex);
            OS_LYRG_getTime(&state->startSec, &state->startMs);
            state->state = POS_SENSORSG_STATE_STARTED_E;
            return state->forwardCode;
        }
        case POS_SENSORS_STOP_E: {
            LOGG_PRINT(LOG_DEBUG_E, 0, "stop POS_SENSORS servic. handle cmd start\n");
            std::lock_guard<std::mutex> guard(state->stateMutex);
            state->state = POS_SENSORSG_STATE_OPENED_E;
            return state->forwardCode;
        }
        default:
            LOGG_PRINT(LOG_ERROR_E, POS_SENSORS__ERR_UNKNOWN_IOCTL, "unknown IOCTL. ioctlNum = 0x%X\n", code);
            return POS_SENSORS__ERR_UNKNOWN_IOCTL;
    }
}

ERRG_codeE POS_SENSORSG_handleMsg(uint32_t, void*, void*, uint32_t, MEM_POOLG_bufDescT**) {
    return POS_SENSORS__ERR_QUEUED_DATA_NOT_SUPPORTED;
}

ERRG_codeE POS_SENSORSP_hostReceiveFrame(uint32_t code, void* params, void* /*payload*/, uint32_t /*payloadLength*/,
                                         MEM_POOLG_bufDescT** holder) {
    POS_SENSORSP_stateT* state = getState();
    MEM_POOLG_bufDescT* chain = SERVICEP_takeChain(holder);
    bool queued = false;
    {
        std::lock_guard<std::mutex> guard(state->stateMutex);
        // Only a sample record is queued; any other code on this channel is dropped.
        if (state->state == POS_SENSORSG_STATE_STARTED_E && state->queueCreated && code == POS_SENSORS_SAMPLE_E &&
            params != nullptr) {
            ++state->received;
            POS_SENSORSG_queueMsgT msg{};
            msg.chain = chain;
            msg.sample = *static_cast<const VPUG_posSensorSample*>(params);
            if (OS_LYRG_sendMsg(&state->queue, &msg, sizeof(msg)) == OS_LYRG_SUCCESS) {
                queued = true;
            } else {
                ++state->lost;
                ++state->overflows;
                LOGG_PRINT(LOG_WARN_E, 0, "msgQ overflow. fail send frame to IAF. cnt=%d lost =%d (OVF=%d, TO=%d)\n",
                           state->received, state->lost, state->overflows, state->timeouts.load());
            }
        }
    }
    if (!queued) MEM_POOLG_freeBuff(chain);
    return POS_SENSORS__RET_SUCCESS;
}

ERRG_codeE POS_SENSORSP_read(VPUG_readItemT* item, uint32_t /*streamId*/, uint32_t timeoutMs) {
    if (item != nullptr) {
        item->buffer = nullptr;
        item->length = 0;
    }
    POS_SENSORSP_stateT* state = getState();
    if (!state->queueCreated) {
        state->timeouts.fetch_add(1);
        return POS_SENSORS__ERR_READ_TIMEOUT;
    }
    POS_SENSORSG_queueMsgT msg{};
    uint32_t length = sizeof(msg);
    if (OS_LYRG_recvMsg(&state->queue, &msg, &length, timeoutMs) != OS_LYRG_SUCCESS) {
        state->timeouts.fetch_add(1);
        return POS_SENSORS__ERR_READ_TIMEOUT;
    }
    if (length != sizeof(msg) || item == nullptr) {
        // Whoever drops a sample frees its chain.
        if (length >= sizeof(MEM_POOLG_bufDescT*)) MEM_POOLG_freeBuff(msg.chain);
        return POS_SENSORS__ERR_READ_TIMEOUT;
    }
    item->buffer = msg.chain;
    if (item->hdrRecord != nullptr) *static_cast<VPUG_posSensorSample*>(item->hdrRecord) = msg.sample;
    return POS_SENSORS__RET_SUCCESS;
}

POS_SENSORSG_statsT POS_SENSORSG_getStats() {
    POS_SENSORSP_stateT* state = getState();
    std::lock_guard<std::mutex> guard(state->stateMutex);
    return {state->received, state->lost, state->overflows, state->timeouts.load(), state->state};
}

const SERVICE_opsTable* POS_SENSORSG_getOps() {
    static const SERVICE_opsTable ops = {&POS_SENSORSG_getName,   &POS_SENSORSG_open,
                                         &POS_SENSORSG_close,     &POS_SENSORSG_hostIoctl,
                                         &POS_SENSORSG_handleMsg, nullptr,
                                         nullptr,                 &POS_SENSORSP_hostReceiveFrame};
    return &ops;
}
