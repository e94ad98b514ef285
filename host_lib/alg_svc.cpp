// ALG service: algorithm requests to the processor, its results to a reader.
#include "host_lib/alg_svc.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/os_layer.h"

namespace {

// The service's state in its context slot. The state mutex lives as long as
// the context: the framework runs the data fast path for every result,
// whether the service is open or not, so it must always find a live mutex.
// It guards the state, the counters and the queue's existence.
struct ALGP_stateT {
    std::mutex stateMutex;
    uint32_t state = 0;
    SERVICEG_serviceT* service = nullptr;
    // Answer of open, close, start and stop: forward them once a queue exists.
    uint32_t answerCode = ALG__RET_SUCCESS;
    OS_LYRG_msgQueT queue{};
    std::atomic<bool> queueCreated{false};
    uint32_t queued = 0;
    uint32_t dropped = 0;
    uint32_t overflows = 0;
};

void* newState(void*) { return new (std::nothrow) ALGP_stateT; }

// Runs when the context goes: chains still queued are not freed, their pools
// may already be gone.
void deleteState(void* object) {
    auto* state = static_cast<ALGP_stateT*>(object);
    if (state->queueCreated) OS_LYRG_deleteMsgQue(&state->queue);
    delete state;
}

ALGP_stateT* getState() {
    return static_cast<ALGP_stateT*>(
        PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_ALG), &newState, nullptr, &deleteState));
}

// Frees the chain of every result still queued, then deletes the queue: an
// open creates a fresh queue, and the old one would otherwise keep its
// messages, and their chains, for good. Caller holds the state mutex.
void deleteQueueLocked(ALGP_stateT* state) {
    if (!state->queueCreated) return;
    state->queueCreated = false;
    SERVICEP_freeQueuedChains<ALGG_queueMsgT>(&state->queue);
    OS_LYRG_deleteMsgQue(&state->queue);
}

ERRG_codeE sendTable(ALGP_stateT* state, const ALGG_tableRequestT* request) {
    if (request == nullptr) return ALG__ERR_INVALID_ARGS;
    const uint64_t bytes = static_cast<uint64_t>(request->count) * ALGG_TABLE_ENTRY_SIZE;
    // The payload length travels in 26 bits of the service header.
    if (bytes > 0x3FFFFFFu || (bytes > 0 && request->entries == nullptr)) return ALG__ERR_INVALID_ARGS;
    SERVICEG_serviceT* service = nullptr;
    {
        std::lock_guard<std::mutex> guard(state->stateMutex);
        service = state->service;
    }
    if (service == nullptr) return ALG__ERR_INVALID_ARGS;
    ALGG_tableMsgT record{request->word0, request->word1, request->word2, request->count};
    SERVICEG_sendParamsT send{};
    send.channelIndex = SERVICEG_DATA_CHANNEL_E;
    send.code = VPU_CMDG_ALG_STREAM_LAST_E;
    send.params = &record;
    send.payload = request->entries;
    send.payloadLength = static_cast<uint32_t>(bytes);
    send.payloadChain = nullptr;
    return SERVICEG_sendMsg2Peer(service, &send);
}

}  // namespace

// --- operations ---------------------------------------------------------------------------------

const char* ALGG_getName() { return "ALG"; }

ERRG_codeE ALGG_open(SERVICEG_requestT* request) {
    if (request->phase == SERVICEG_PHASE_DONE_E) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "open ALG service. handle cmd done\n");
        return ALG__RET_SUCCESS;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "open ALG service. handle cmd start\n");
    ALGP_stateT* state = getState();
    std::lock_guard<std::mutex> guard(state->stateMutex);
    state->service = request->service;
    state->state = ALGG_STATE_OPENED_E;
    state->answerCode = ALG__RET_SUCCESS;
    state->queued = 0;
    state->dropped = 0;
    state->overflows = 0;
    deleteQueueLocked(state);
    state->queue = OS_LYRG_msgQueT{};
    state->queue.maxMsgs = ALGG_QUEUE_DEPTH;
    state->queue.msgSize = sizeof(ALGG_queueMsgT);
    std::snprintf(state->queue.name, sizeof(state->queue.name), "%s", "/HostAlgDataQue");
    if (OS_LYRG_createMsgQue(&state->queue, 0) != OS_LYRG_SUCCESS) return ALG__ERR_CREATE_QUEUE_FAIL;
    state->queueCreated = true;
    state->answerCode = SERVICE__INCOMPLETE;
    return state->answerCode;
}

ERRG_codeE ALGG_close(SERVICEG_requestT* request) {
    ALGP_stateT* state = getState();
    if (request->phase == SERVICEG_PHASE_START_E) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "close ALG service. handle cmd start\n");
        std::lock_guard<std::mutex> guard(state->stateMutex);
        return state->answerCode;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "close ALG service. handle cmd done\n");
    std::lock_guard<std::mutex> guard(state->stateMutex);
    state->state = ALGG_STATE_CLOSED_E;
    deleteQueueLocked(state);
    state->answerCode = ALG__RET_SUCCESS;
    return ALG__RET_SUCCESS;
}

ERRG_codeE ALGG_hostIoctl(SERVICEG_requestT* request) {
    ALGP_stateT* state = getState();
    const uint32_t code = request->code;
    const bool start = request->phase == SERVICEG_PHASE_START_E;
    switch (code) {
        case VPU_CMDG_FREE_BUF_E: {
            auto* params = static_cast<VPUG_freeBufParams*>(request->params);
            if (start && params != nullptr) MEM_POOLG_freeBuff(params->buffer);
            return ALG__RET_SUCCESS;
        }
        case VPU_CMDG_GET_READ_FUNC_E: {
            auto* params = static_cast<VPUG_getReadFuncParams*>(request->params);
            if (params != nullptr) params->readFunc = &ALGP_read;
            return ALG__RET_SUCCESS;
        }
        case ALG_START_E:
        case ALG_STOP_E: {
            if (!start) return ALG__RET_SUCCESS;
            LOGG_PRINT(LOG_DEBUG_E, 0, code == ALG_START_E ? "start ALG service. handle cmd start\n"
                                                            : "stop ALG service. handle cmd start\n");
            std::lock_guard<std::mutex> guard(state->stateMutex);
            state->state = code == ALG_START_E ? ALGG_STATE_STARTED_E : ALGG_STATE_OPENED_E;
            return state->answerCode;
        }
        case ALG_SEND_TABLE_E:
            if (!start) return ALG__RET_SUCCESS;
            return sendTable(state, static_cast<const ALGG_tableRequestT*>(request->params));
        default:
            return SERVICE__INCOMPLETE;
    }
}

ERRG_codeE ALGP_hostHandleMsg(uint32_t, void*, void*, uint32_t, MEM_POOLG_bufDescT**) { return ALG__RET_SUCCESS; }

ERRG_codeE ALGP_hostReceiveFrame(uint32_t code, void* params, void* /*payload*/, uint32_t /*payloadLength*/,
                                 MEM_POOLG_bufDescT** holder) {
    ALGP_stateT* state = getState();
    MEM_POOLG_bufDescT* chain = SERVICEP_takeChain(holder);
    bool queued = false;
    {
        std::lock_guard<std::mutex> guard(state->stateMutex);
        // Only a result record is queued; any other code on this channel is dropped.
        if (state->state == ALGG_STATE_STARTED_E && state->queueCreated && code == ALG_RESULT_E && params != nullptr) {
            auto msg = std::make_unique<ALGG_queueMsgT>();
            msg->chain = chain;
            msg->result = static_cast<const ALGG_resultRecordT*>(params)->result;
            if (OS_LYRG_sendMsg(&state->queue, msg.get(), sizeof(*msg)) == OS_LYRG_SUCCESS) {
                queued = true;
                ++state->queued;
            } else {
                ++state->overflows;
                LOGG_PRINT(LOG_WARN_E, ALG__ERR_QUEUE_FULL, "result queue full, result dropped\n");
            }
        } else {
            ++state->dropped;
        }
    }
    if (!queued) MEM_POOLG_freeBuff(chain);
    return ALG__RET_SUCCESS;
}

ERRG_codeE ALGP_read(VPUG_readItemT* item, uint32_t /*streamId*/, uint32_t timeoutMs) {
    if (item != nullptr) {
        item->buffer = nullptr;
        item->length = 0;
    }
    ALGP_stateT* state = getState();
    if (!state->queueCreated) return ALG__ERR_READ_TIMEOUT;
    auto msg = std::make_unique<ALGG_queueMsgT>();
    uint32_t length = sizeof(*msg);
    if (OS_LYRG_recvMsg(&state->queue, msg.get(), &length, timeoutMs) != OS_LYRG_SUCCESS) return ALG__ERR_READ_TIMEOUT;
    // The result is copied out, so nobody needs its chain any more: it goes
    // back here rather than starving the data channel's pool.
    if (length >= sizeof(MEM_POOLG_bufDescT*)) MEM_POOLG_freeBuff(msg->chain);
    if (length != sizeof(*msg)) return ALG__ERR_READ_TIMEOUT;
    if (item != nullptr && item->hdrRecord != nullptr)
        std::memcpy(item->hdrRecord, &msg->result, sizeof(msg->result));
    return ALG__RET_SUCCESS;
}

ALGG_statsT ALGG_getStats() {
    ALGP_stateT* state = getState();
    std::lock_guard<std::mutex> guard(state->stateMutex);
    return {state->queued, state->dropped, state->overflows, state->state};
}

const SERVICE_opsTable* ALGG_getOps() {
    static const SERVICE_opsTable ops = {&ALGG_getName, &ALGG_open,          &ALGG_close, &ALGG_hostIoctl,
                                         &ALGP_hostHandleMsg, nullptr, nullptr, &ALGP_hostReceiveFrame};
    return &ops;
}
