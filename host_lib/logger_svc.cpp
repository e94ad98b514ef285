// LOGGER service: the host side of the vision processor's logger.
#include "host_lib/logger_svc.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "host_lib/system_svc.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/os_layer.h"

namespace {

constexpr uint32_t kForwardCode = SERVICE__INCOMPLETE;
// What the statistics report as the size of one queued line.
constexpr int kStatsMsgSize = static_cast<int>(LOGGERG_LINE_BUF_SIZE);

// The service's state in its context slot. The lock guards every field: the
// service thread receives lines and runs the ioctls, while open and close
// run on the caller of the framework, so a close can never pull the queue or
// the pool from under a line being received.
struct LOGGERP_stateT {
    std::mutex lock;
    uint32_t createSec = 0;
    uint16_t createMs = 0;
    uint32_t statsSec = 0;
    uint16_t statsMs = 0;
    uint32_t bytes = 0;
    uint32_t packets = 0;
    uint32_t discontinuities = 0;
    uint32_t outOfMemory = 0;
    uint32_t overflows = 0;
    SERVICEG_serviceT* service = nullptr;
    uint32_t forwardCode = kForwardCode;
    uint8_t sendGp = 0;
    uint8_t printGp = 0;
    OS_LYRG_msgQueT queue{};
    std::atomic<bool> queueCreated{false};
    // Host-line copies from the host logger's device sink.
    OS_LYRG_msgQueT copyQueue{};
    std::atomic<bool> copyQueueCreated{false};
    MEM_POOLG_handleT pool = nullptr;
    uint32_t state = 0;
    uint32_t bytesAtStats = 0;
    uint32_t nextSequence = 0;
    bool sequenceKnown = false;
};

void* newState(void*) { return new (std::nothrow) LOGGERP_stateT; }

// Runs when the context goes. Buffers still queued are not freed here: the
// pools they belong to may already be gone; only this service's own objects
// are released.
void deleteState(void* object) {
    auto* state = static_cast<LOGGERP_stateT*>(object);
    if (state->queueCreated) OS_LYRG_deleteMsgQue(&state->queue);
    if (state->copyQueueCreated) OS_LYRG_deleteMsgQue(&state->copyQueue);
    delete state;
}

LOGGERP_stateT* getState() {
    return static_cast<LOGGERP_stateT*>(PZContext_GetSlot(
        PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_LOGGER_SVC), &newState, nullptr, &deleteState));
}

void clearCounters(LOGGERP_stateT* state) {
    state->bytes = 0;
    state->packets = 0;
    state->discontinuities = 0;
    state->outOfMemory = 0;
    state->overflows = 0;
    state->bytesAtStats = 0;
    state->sequenceKnown = false;
}

// Frees the buffer of every message left in a queue. Each message starts
// with the descriptor pointer of the buffer it carries.
void drainQueue(OS_LYRG_msgQueT* queue) {
    LOGGERG_queueMsgT msg{};
    for (;;) {
        uint32_t length = sizeof(msg);
        if (OS_LYRG_recvMsg(queue, &msg, &length, 0) != OS_LYRG_SUCCESS) return;
        if (length >= sizeof(MEM_POOLG_bufDescT*)) MEM_POOLG_freeBuff(msg.line);
    }
}

// Caller holds the lock.
void deleteQueuesLocked(LOGGERP_stateT* state) {
    if (state->queueCreated) {
        drainQueue(&state->queue);
        OS_LYRG_deleteMsgQue(&state->queue);
        state->queueCreated = false;
    }
    if (state->copyQueueCreated) {
        drainQueue(&state->copyQueue);
        OS_LYRG_deleteMsgQue(&state->copyQueue);
        state->copyQueueCreated = false;
    }
}

// A pool is closed only once every buffer is back: a reader may still hold
// lines it has not returned, and they must return into a live pool. Such a
// pool stays and serves the next open. Caller holds the lock.
void releasePoolLocked(LOGGERP_stateT* state) {
    if (state->pool == nullptr) return;
    if (MEM_POOLG_getNumFree(state->pool) != MEM_POOLG_getNumBuffs(state->pool)) return;
    MEM_POOLG_closePool(state->pool);
    state->pool = nullptr;
}

// The host logger's copies are only parked for the processor; they are freed
// here so that they hold at most a handful of the pool's buffers.
void dropHostCopies(LOGGERP_stateT* state) {
    if (state->copyQueueCreated) drainQueue(&state->copyQueue);
}

ERRG_codeE createQueues(LOGGERP_stateT* state) {
    deleteQueuesLocked(state);
    state->queue = OS_LYRG_msgQueT{};
    state->queue.maxMsgs = LOGGERG_QUEUE_DEPTH;
    state->queue.msgSize = LOGGERG_QUEUE_MSG_SIZE;
    std::snprintf(state->queue.name, sizeof(state->queue.name), "%s", "/HostLoggerDataQue");
    if (OS_LYRG_createMsgQue(&state->queue, 0) != OS_LYRG_SUCCESS) return LOGGER__ERR_CREATE_MSG_Q_FAIL;
    state->queueCreated = true;
    state->copyQueue = OS_LYRG_msgQueT{};
    state->copyQueue.maxMsgs = LOGGERG_COPY_QUEUE_DEPTH;
    state->copyQueue.msgSize = sizeof(MEM_POOLG_bufDescT*);
    std::snprintf(state->copyQueue.name, sizeof(state->copyQueue.name), "%s", "/HostLoggerCopyQue");
    if (OS_LYRG_createMsgQue(&state->copyQueue, 0) != OS_LYRG_SUCCESS) {
        deleteQueuesLocked(state);
        return LOGGER__ERR_CREATE_MSG_Q_FAIL;
    }
    state->copyQueueCreated = true;
    return LOGGER__RET_SUCCESS;
}

const char* cmdName(uint32_t code) { return VPU_CMDG_cmdToString(code); }

// Length of the text as far as it arrived: the header's length is bounded by
// the payload, and a NUL inside it ends the text early.
uint32_t textLength(const LOGGERG_lineHdrT* header, const char* text, uint32_t payloadLength) {
    if (text == nullptr) return 0;
    uint32_t n = header != nullptr ? std::min(header->length, payloadLength) : payloadLength;
    const void* nul = std::memchr(text, '\0', n);
    if (nul != nullptr) n = static_cast<uint32_t>(static_cast<const char*>(nul) - text);
    return n;
}

void printLine(const char* text, uint32_t n) {
    char line[LOGG_LINE_SIZE];
    // One character stays free for a line end the processor left out.
    const uint32_t copied = std::min<uint32_t>(n, LOGG_LINE_SIZE - 2);
    std::memcpy(line, text, copied);
    uint32_t end = copied;
    if (end == 0 || line[end - 1] != '\n') line[end++] = '\n';
    line[end] = '\0';
    LOGG_printRaw(LOG_INFO_E, line);
}

// Caller holds the lock.
void queueLine(LOGGERP_stateT* state, const char* text, uint32_t n) {
    // The line end stays behind; an empty line has none to drop.
    if (n > 0 && text[n - 1] == '\n') --n;
    if (n > 0 && text[n - 1] == '\r') --n;
    const uint32_t copied = std::min<uint32_t>(n, LOGGERG_LINE_BUF_SIZE - 1);

    MEM_POOLG_bufDescT* buffer = nullptr;
    if (state->pool == nullptr || ERRG_FAILED(MEM_POOLG_alloc(state->pool, LOGGERG_LINE_BUF_SIZE, &buffer)) ||
        buffer == nullptr) {
        ++state->outOfMemory;
        return;
    }
    if (buffer->data == nullptr || buffer->capacity < copied + 1) {
        MEM_POOLG_freeBuff(buffer);
        ++state->outOfMemory;
        return;
    }
    auto* data = static_cast<char*>(buffer->data);
    if (copied > 0) std::memcpy(data, text, copied);
    data[copied] = '\0';
    buffer->len = copied;

    LOGGERG_queueMsgT msg{};
    msg.line = buffer;
    if (OS_LYRG_sendMsg(&state->queue, &msg, sizeof(msg)) != OS_LYRG_SUCCESS) {
        ++state->overflows;
        LOGG_PRINT(LOG_ERROR_E, 0, "msgQ fifo overflow\n");
        MEM_POOLG_freeBuff(buffer);
    }
}

void trackSequence(LOGGERP_stateT* state, const LOGGERG_lineHdrT* header) {
    if (header == nullptr) return;
    if (state->sequenceKnown && header->sequence != state->nextSequence) ++state->discontinuities;
    state->nextSequence = header->sequence + 1;
    state->sequenceKnown = true;
}

}  // namespace

// --- operations -------------------------------------------------------------------------

const char* LOGGERG_getName() { return "LOGGER"; }

ERRG_codeE LOGGERG_open(SERVICEG_requestT* request) {
    LOGGERP_stateT* state = getState();
    if (request->phase == SERVICEG_PHASE_DONE_E) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "open Logger service. handle cmd done\n");
        return LOGGER__RET_SUCCESS;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "open Logger service. handle cmd start\n");
    std::lock_guard<std::mutex> guard(state->lock);
    clearCounters(state);
    OS_LYRG_getTime(&state->createSec, &state->createMs);
    state->statsSec = state->createSec;
    state->statsMs = state->createMs;
    state->service = request->service;
    state->sendGp = 0;
    state->printGp = 0;
    state->forwardCode = kForwardCode;
    const ERRG_codeE status = createQueues(state);
    if (ERRG_FAILED(status)) return status;
    releasePoolLocked(state);
    if (state->pool == nullptr) {
        MEM_POOLG_cfgT cfg{LOGGERG_POOL_BUF_SIZE, LOGGERG_POOL_BUFFERS, nullptr, 0, 0};
        MEM_POOLG_newPool(&state->pool, MEM_POOLG_BUF_TYPE_HEAP_E, &cfg);
    }
    state->state = LOGGERG_STATE_OPENED_E;
    return state->forwardCode;
}

ERRG_codeE LOGGERG_close(SERVICEG_requestT* request) {
    LOGGERP_stateT* state = getState();
    if (request->phase == SERVICEG_PHASE_START_E) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "close Logger service. handle cmd start\n");
        std::lock_guard<std::mutex> guard(state->lock);
        clearCounters(state);
        return state->forwardCode;
    }
    // Once the sink is cleared the host logger makes no further copy, so the
    // queues and the pool can go.
    LOGG_clearDeviceSink();
    {
        std::lock_guard<std::mutex> guard(state->lock);
        deleteQueuesLocked(state);
        releasePoolLocked(state);
        state->state = LOGGERG_STATE_CLOSED_E;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "close Logger service. handle cmd done\n");
    return LOGGER__RET_SUCCESS;
}

ERRG_codeE LOGGERG_hostIoctl(SERVICEG_requestT* request) {
    LOGGERP_stateT* state = getState();
    const uint32_t code = request->code;
    if (request->phase == SERVICEG_PHASE_DONE_E) {
        if (code == LOGGER_START_E) {
            LOGG_PRINT(LOG_INFO_E, 0, "start Logger service. handle cmd done\n");
        } else if (code == LOGGER_STOP_E) {
            LOGG_PRINT(LOG_INFO_E, 0, "stop Logger service. handle cmd done\n");
            LOGG_clearDeviceSink();
            std::lock_guard<std::mutex> guard(state->lock);
            state->state = LOGGERG_STATE_OPENED_E;
            dropHostCopies(state);
        } else {
            LOGG_PRINT(LOG_DEBUG_E, 0, "Logger service ioctl handle cmd done. ioctl opcode: %s\n", cmdName(code));
        }
        return LOGGER__RET_SUCCESS;
    }

    LOGG_PRINT(LOG_DEBUG_E, 0, "Logger service ioctl handle cmd start. ioctl opcode: %s\n", cmdName(code));
    switch (code) {
        case VPU_CMDG_FREE_BUF_E: {
            auto* params = static_cast<VPUG_freeBufParams*>(request->params);
            if (params != nullptr) MEM_POOLG_freeBuff(params->buffer);
            return LOGGER__RET_SUCCESS;
        }
        case VPU_CMDG_GET_READ_FUNC_E: {
            auto* params = static_cast<VPUG_getReadFuncParams*>(request->params);
            if (params != nullptr) params->readFunc = &LOGGERP_read;
            return LOGGER__RET_SUCCESS;
        }
        case LOGGER_SET_PARAMS_E: {
            auto* params = static_cast<VPUG_loggerParams*>(request->params);
            LOGG_PRINT(LOG_DEBUG_E, 0, "Logger params: severity=%d, print=%d, print GP=%d, send GP=%d\n",
                       params->severity, params->print, params->printGp, params->sendGp);
            LOGG_setSeverity(params->severity);
            LOGG_setConsolePrint(params->print);
            std::lock_guard<std::mutex> guard(state->lock);
            state->printGp = params->printGp;
            state->sendGp = params->sendGp;
            return state->forwardCode;
        }
        case LOGGER_GET_PARAMS_E:
            return kForwardCode;
        case LOGGER_START_E: {
            std::lock_guard<std::mutex> guard(state->lock);
            if (state->copyQueueCreated)
                LOGG_setDeviceSink(state->service, state->pool, &state->copyQueue);
            state->state = LOGGERG_STATE_STARTED_E;
            OS_LYRG_getTime(&state->statsSec, &state->statsMs);
            LOGG_PRINT(LOG_DEBUG_E, 0, "start Logger service. handle cmd start\n");
            return state->forwardCode;
        }
        case LOGGER_STOP_E:
            LOGG_PRINT(LOG_INFO_E, 0, "stop Logger service. handle cmd start\n");
            return kForwardCode;
        default:
            LOGG_PRINT(LOG_ERROR_E, LOGGER__ERR_UNKNOWN_IOCTL, "unknown IOCTL \n");
            return LOGGER__ERR_UNKNOWN_IOCTL;
    }
}

ERRG_codeE LOGGERP_hostReceiveMessage(uint32_t /*code*/, void* params, void* payload, uint32_t payloadLength,
                                      MEM_POOLG_bufDescT** /*holder*/) {
    LOGGERP_stateT* state = getState();
    std::lock_guard<std::mutex> guard(state->lock);
    dropHostCopies(state);
    if (state->state != LOGGERG_STATE_STARTED_E) return LOGGER__RET_SUCCESS;

    const auto* header = static_cast<const LOGGERG_lineHdrT*>(params);
    const auto* text = static_cast<const char*>(payload);
    const uint32_t n = textLength(header, text, payloadLength);
    ++state->packets;
    state->bytes += n;
    trackSequence(state, header);

    if (state->printGp == 1) printLine(text != nullptr ? text : "", n);
    if (state->sendGp != 1) return LOGGER__RET_SUCCESS;
    queueLine(state, text != nullptr ? text : "", n);
    return LOGGER__RET_SUCCESS;
}

ERRG_codeE LOGGERP_read(VPUG_readItemT* item, uint32_t /*streamId*/, uint32_t timeoutMs) {
    if (item != nullptr) {
        item->buffer = nullptr;
        item->data = nullptr;
        item->length = 0;
    }
    LOGGERP_stateT* state = getState();
    if (!state->queueCreated) return LOGGER__ERR_TIMEOUT;

    LOGGERG_queueMsgT msg{};
    uint32_t length = sizeof(msg);
    if (OS_LYRG_recvMsg(&state->queue, &msg, &length, timeoutMs) != OS_LYRG_SUCCESS) return LOGGER__ERR_TIMEOUT;
    if (length != sizeof(msg)) {
        // Whoever drops a message frees the buffer it carries.
        if (length >= sizeof(MEM_POOLG_bufDescT*)) MEM_POOLG_freeBuff(msg.line);
        return LOGGER__ERR_TIMEOUT;
    }
    if (item == nullptr) {
        MEM_POOLG_freeBuff(msg.line);
        return LOGGER__ERR_TIMEOUT;
    }
    item->buffer = msg.line;
    item->data = msg.line != nullptr ? msg.line->data : nullptr;
    item->length = msg.line != nullptr ? msg.line->len : 0;
    return LOGGER__RET_SUCCESS;
}

void LOGGERG_showStats() {
    LOGGERP_stateT* state = getState();
    std::lock_guard<std::mutex> guard(state->lock);
    const uint32_t total = OS_LYRG_getElapsedMsec(state->createSec, state->createMs) / 1000;
    const uint32_t sinceStats = OS_LYRG_getElapsedMsec(state->statsSec, state->statsMs) / 1000;
    LOGG_PRINT(LOG_INFO_E, 0, "Logger service statistics:\n");
    LOGG_PRINT(LOG_INFO_E, 0, "--------------------------\n");
    LOGG_PRINT(LOG_INFO_E, 0, "Service timing: Exist for %u sec, %u sec from last statistics\n", total, sinceStats);
    LOGG_PRINT(LOG_INFO_E, 0, "Params: msgSize=%d\n", kStatsMsgSize);
    LOGG_PRINT(LOG_INFO_E, 0, "Data  : KB=%u(%u) pkts=%u discont=%u (OOM=%u OVF=%u)\n", state->bytes / 1024,
               (state->bytes - state->bytesAtStats) / 1024, state->packets, state->discontinuities,
               state->outOfMemory, state->overflows);
    OS_LYRG_getTime(&state->statsSec, &state->statsMs);
    state->bytesAtStats = state->bytes;
}

LOGGERG_countersT LOGGERG_getCounters() {
    LOGGERP_stateT* state = getState();
    std::lock_guard<std::mutex> guard(state->lock);
    return {state->bytes, state->packets, state->discontinuities, state->outOfMemory, state->overflows,
            state->state};
}

MEM_POOLG_handleT LOGGERG_getPool() {
    LOGGERP_stateT* state = getState();
    std::lock_guard<std::mutex> guard(state->lock);
    return state->pool;
}

const SERVICE_opsTable* LOGGERG_getOps() {
    static const SERVICE_opsTable ops = {&LOGGERG_getName, &LOGGERG_open, &LOGGERG_close, &LOGGERG_hostIoctl,
                                         &LOGGERP_hostReceiveMessage, nullptr, nullptr, nullptr};
    return &ops;
}
