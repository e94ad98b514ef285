#include "host_lib/system_svc.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <type_traits>

#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/os_layer.h"

static_assert(std::is_trivially_copyable_v<SYSTEMG_stateT> && std::is_standard_layout_v<SYSTEMG_stateT>);

namespace {

// --- state ----------------------------------------------------------------------------

SYSTEMG_stateT* state() { return PZContext_GetHostState<SYSTEMG_stateT>(PZContext_FixedKey(PZ_SLOT_SYSTEM)); }

uint32_t elapsedSec(uint32_t sec, uint16_t ms) { return OS_LYRG_getElapsedMsec(sec, ms) / 1000; }

// --- chunked sending ------------------------------------------------------------------

// How one kind of block goes out: the chunk's code, its pauses, and the log
// line of a failed attempt.
struct ChunkPolicy {
    uint32_t code;
    int32_t sleepAfterSuccessUs;
    int32_t sleepAfterFailureUs;
    void (*logFailure)(ERRG_codeE status, uint32_t chunkIndex, uint32_t lutId);
};

bool fromMemPool(ERRG_codeE status) { return ERRG_moduleOf(status) == ERRG_MOD_MEM_POOL; }

void logCevaFailure(ERRG_codeE status, uint32_t, uint32_t) {
    LOGG_PRINT(LOG_ERROR_E, status, "failed channel send CEVA APP data -retry\n");
}

void logLutFailure(ERRG_codeE status, uint32_t chunkIndex, uint32_t lutId) {
    if (fromMemPool(status))
        LOGG_PRINT(LOG_ERROR_E, status, "failed alloc lut buf for lutId = %d chunkId = %d retry\n",
                   static_cast<int>(lutId), static_cast<int>(chunkIndex));
    else
        LOGG_PRINT(LOG_ERROR_E, status, "failed channel send lut data -retry\n");
}

void logFlashFailure(ERRG_codeE status, uint32_t chunkIndex, uint32_t) {
    if (fromMemPool(status))
        LOGG_PRINT(LOG_ERROR_E, status, "failed alloc flash buf for chunkId = %d retry\n",
                   static_cast<int>(chunkIndex));
    else
        LOGG_PRINT(LOG_ERROR_E, status, "failed channel send flash data -retry\n");
}

void logBufferFailure(ERRG_codeE status, uint32_t, uint32_t) {
    LOGG_PRINT(LOG_ERROR_E, status, "failed channel send  buffer -retry\n");
}

constexpr ChunkPolicy kCevaPolicy{INTERNAL_CMDG_CEVA_CHUNK_E, 1000, 1000, &logCevaFailure};
constexpr ChunkPolicy kLutPolicy{INTERNAL_CMDG_LUT_CHUNK_E, 0, 1000, &logLutFailure};
constexpr ChunkPolicy kFlashPolicy{INTERNAL_CMDG_FLASH_WRITE_CHUNK_E, 0, 1000, &logFlashFailure};
constexpr ChunkPolicy kBufferPolicy{INTERNAL_CMDG_BUF_CHUNK_E, 10, 10, &logBufferFailure};

// Sends one chunk (its header record and bytes) on the data channel, again
// and again until it goes out. A chunk that is still refused after the retry
// limit, or once the service has been closed under it, ends the transfer: a
// stuck link must not hold the service thread for ever.
ERRG_codeE sendChunk(SYSTEMG_stateT* s, const ChunkPolicy& policy, void* header, const uint8_t* bytes,
                     uint32_t length, uint32_t chunkIndex, uint32_t chunkCount, uint32_t lutId) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
        SERVICEG_sendParamsT params{SERVICEG_DATA_CHANNEL_E, policy.code, header, bytes, length, nullptr};
        const ERRG_codeE status = SERVICEG_sendMsg2Peer(s->handle, &params);
        if (ERRG_SUCCEEDED(status)) {
            if (policy.sleepAfterSuccessUs > 0) OS_LYRG_usleep(policy.sleepAfterSuccessUs);
            return SYSTEM__RET_SUCCESS;
        }
        policy.logFailure(status, chunkIndex, lutId);
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        if (SERVICEG_isOpen(s->handle) == 0 || waited >= SYSTEMG_CHUNK_RETRY_LIMIT_MS) {
            LOGG_PRINT(LOG_ERROR_E, status, "chunk %u of %u not sent after %lld ms: transfer abandoned\n",
                       chunkIndex + 1, chunkCount, static_cast<long long>(waited));
            return SYSTEM__ERR_IO;
        }
        OS_LYRG_usleep(policy.sleepAfterFailureUs);
    }
}

// Cuts size bytes into chunks of SYSTEMG_CHUNK_SIZE (the last one holds the
// rest) and sends each with fill(header, index, chunkSize, count) building its
// header record.
template <typename Header, typename Fill>
ERRG_codeE sendChunks(SYSTEMG_stateT* s, const ChunkPolicy& policy, const uint8_t* bytes, uint32_t size,
                      uint32_t lutId, Fill fill) {
    const uint32_t count = static_cast<uint32_t>((uint64_t{size} + SYSTEMG_CHUNK_SIZE - 1) / SYSTEMG_CHUNK_SIZE);
    for (uint32_t index = 0; index < count; ++index) {
        const uint32_t offset = index * SYSTEMG_CHUNK_SIZE;
        const uint32_t chunkSize = std::min(SYSTEMG_CHUNK_SIZE, size - offset);
        Header header{};
        fill(header, index, offset, chunkSize, count);
        const ERRG_codeE status = sendChunk(s, policy, &header, bytes + offset, chunkSize, index, count, lutId);
        if (ERRG_FAILED(status)) return status;
    }
    return SYSTEM__RET_SUCCESS;
}

ERRG_codeE refuse(const char* why, uint32_t value) {
    LOGG_PRINT(LOG_ERROR_E, SYSTEM__ERR_INVALID_ARGS, "INTERNAL_CMDG_SEND_BUF_E fail. %s %u\n", why, value);
    return SYSTEM__ERR_INVALID_ARGS;
}

ERRG_codeE sendBuffer(SYSTEMG_stateT* s, const SYSTEMG_sendBufParamsT* params) {
    const uint32_t type = params->dataType;
    const bool known = type == SYSTEMG_DATA_CEVA_APP_E || type == SYSTEMG_DATA_CEVA_APP_1_E ||
                       type == SYSTEMG_DATA_LUT_E || type == SYSTEMG_DATA_FLASH_E || type == SYSTEMG_DATA_BUFFER_E;
    if (!known) {
        LOGG_PRINT(LOG_ERROR_E, SYSTEM__ERR_WRONG_DATA_TYPE, "INTERNAL_CMDG_SEND_BUF_E fail. wrong data type %d\n",
                   static_cast<int>(type));
        return SYSTEM__ERR_WRONG_DATA_TYPE;
    }

    const uint8_t* bytes = static_cast<const uint8_t*>(params->data);
    uint32_t size = params->size;
    uint32_t address = 0;
    if (type == SYSTEMG_DATA_BUFFER_E) {
        const auto* target = static_cast<const SYSTEMG_bufferTargetT*>(params->data);
        if (target == nullptr && size > 0) return refuse("no buffer record for size", size);
        bytes = target != nullptr ? static_cast<const uint8_t*>(target->bytes) : nullptr;
        address = target != nullptr ? target->address : 0;
    }
    uint32_t lutId = 0;
    uint16_t lutFlag = 0;
    if (type == SYSTEMG_DATA_LUT_E) {
        // The header carries the LUT's id and flag; only what follows it is sent.
        if (size < SYSTEMG_LUT_HEADER_SIZE) return refuse("LUT shorter than its 128-byte header, size", size);
        if (bytes == nullptr) return refuse("no data for size", size);
        uint32_t first = 0;
        std::memcpy(&first, bytes, sizeof(first));
        lutId = first & 0x7FFFFFFFu;
        lutFlag = (first & 0x80000000u) != 0 ? 1 : 0;
        bytes += SYSTEMG_LUT_HEADER_SIZE;
        size -= SYSTEMG_LUT_HEADER_SIZE;
    }
    if (size == 0) return SYSTEM__RET_SUCCESS;
    if (bytes == nullptr) return refuse("no data for size", size);
    if ((uint64_t{size} + SYSTEMG_CHUNK_SIZE - 1) / SYSTEMG_CHUNK_SIZE > SYSTEMG_MAX_CHUNKS)
        return refuse("more chunks than a 16-bit index can number, size", size);

    switch (type) {
        case SYSTEMG_DATA_LUT_E:
            return sendChunks<SYSTEMG_lutChunkT>(
                s, kLutPolicy, bytes, size, lutId, [&](SYSTEMG_lutChunkT& h, uint32_t i, uint32_t, uint32_t n, uint32_t c) {
                    h = {lutId, lutFlag, static_cast<uint16_t>(i), n, c, size};
                });
        case SYSTEMG_DATA_FLASH_E:
            s->flashAck = 0;
            return sendChunks<SYSTEMG_flashChunkT>(
                s, kFlashPolicy, bytes, size, 0, [&](SYSTEMG_flashChunkT& h, uint32_t i, uint32_t, uint32_t n, uint32_t c) {
                    h = {1, static_cast<uint16_t>(i), n, c, size};
                });
        case SYSTEMG_DATA_BUFFER_E:
            return sendChunks<SYSTEMG_bufChunkT>(
                s, kBufferPolicy, bytes, size, 0,
                [&](SYSTEMG_bufChunkT& h, uint32_t i, uint32_t offset, uint32_t n, uint32_t c) {
                    h = {address + offset, static_cast<uint16_t>(i), n, c};
                });
        default:  // a CEVA application
            return sendChunks<SYSTEMG_cevaChunkT>(
                s, kCevaPolicy, bytes, size, 0, [&](SYSTEMG_cevaChunkT& h, uint32_t i, uint32_t, uint32_t n, uint32_t c) {
                    h = {type, static_cast<uint16_t>(i), n, c};
                });
    }
}

// Consumes the acknowledgement of one data type.
ERRG_codeE takeAck(SYSTEMG_stateT* s, uint32_t dataType) {
    uint32_t* flag = nullptr;
    switch (dataType) {
        case SYSTEMG_DATA_CEVA_APP_E:
        case SYSTEMG_DATA_CEVA_APP_1_E:
            flag = &s->cevaAck;
            break;
        case SYSTEMG_DATA_LUT_E:
            flag = &s->lutAck;
            break;
        case SYSTEMG_DATA_FLASH_E:
            flag = &s->flashAck;
            break;
        case SYSTEMG_DATA_BUFFER_E:
            flag = &s->bufferAck;
            break;
        default:
            return SYSTEM__RET_SUCCESS;
    }
    if (*flag == 0) return SYSTEM__ERR_NO_ACK;
    *flag = 0;
    return SYSTEM__RET_SUCCESS;
}

bool forwardedUnchanged(uint32_t code) {
    return (code >= SYSTEM_GET_VERSION_E && code <= SYSTEM_KEEP_ALIVE_E) ||
           (code >= 0x01000008 && code <= SYSTEM_FLASH_GET_SIZE_E) || code == 0x01000017;
}

ERRG_codeE startIoctl(SYSTEMG_stateT* s, uint32_t code, void* params) {
    if (params == nullptr &&
        (code == INTERNAL_CMDG_SEND_BUF_E || code == INTERNAL_CMDG_WAIT_ACK_E || code == VPU_CMDG_GET_READ_FUNC_E ||
         code == SYSTEM_FLASH_READ_E || code == SYSTEM_READ_BUF_E)) {
        LOGG_PRINT(LOG_ERROR_E, SYSTEM__ERR_INVALID_ARGS, "ioctl 0x%X without its record\n", code);
        return SYSTEM__ERR_INVALID_ARGS;
    }
    switch (code) {
        case INTERNAL_CMDG_SEND_BUF_E:
            return sendBuffer(s, static_cast<const SYSTEMG_sendBufParamsT*>(params));
        case INTERNAL_CMDG_WAIT_ACK_E:
            return takeAck(s, static_cast<const SYSTEMG_waitAckParamsT*>(params)->dataType);
        case VPU_CMDG_GET_READ_FUNC_E:
            static_cast<VPUG_getReadFuncParams*>(params)->readFunc = nullptr;
            return SYSTEM__RET_SUCCESS;
        case SYSTEM_GET_STATS_E:
            if (s->statsHook != nullptr) s->statsHook();
            return SERVICE__INCOMPLETE;
        case SYSTEM_FLASH_READ_E: {
            const auto* read = static_cast<const SYSTEMG_flashReadParamsT*>(params);
            s->flashReadDest = static_cast<uint8_t*>(read->destination);
            s->flashReadSize = read->size;
            s->flashAck = 0;
            s->flashChunksReceived = 0;
            s->flashChunkCount = 0;
            s->flashReadPending = 1;
            return SERVICE__INCOMPLETE;
        }
        case SYSTEM_READ_BUF_E: {
            const auto* read = static_cast<const SYSTEMG_bufReadParamsT*>(params);
            s->bufReadPos = static_cast<uint8_t*>(read->destination);
            s->bufReadRoom = read->destination != nullptr ? read->size : 0;
            s->bufReadPending = 1;
            return SERVICE__INCOMPLETE;
        }
        default:
            if (forwardedUnchanged(code)) return SERVICE__INCOMPLETE;
            LOGG_PRINT(LOG_ERROR_E, SYSTEM__ERR_INVALID_ARGS, "unknown ioctl. 0x%X\n", code);
            return SYSTEM__ERR_INVALID_ARGS;
    }
}

void doneIoctl(SYSTEMG_stateT* s, uint32_t code) {
    if (code == SYSTEM_FLASH_READ_E) {
        // No chunk at all is no read, whatever the two counts say.
        if (s->flashChunkCount > 0 && s->flashChunksReceived == s->flashChunkCount) {
            LOGG_PRINT(LOG_INFO_E, 0, "read FLASH buf success.\n");
            LOGG_PRINT(LOG_INFO_E, 0, "receive ack for read flash buf.\n");
            s->flashAck = 1;
        } else {
            LOGG_PRINT(LOG_ERROR_E, 0, "read FLASH buf fail.\n");
            LOGG_PRINT(LOG_ERROR_E, 0, "Host not receive all read flash chunk.\n");
        }
        s->flashReadPending = 0;
        s->flashReadDest = nullptr;
        s->flashReadSize = 0;
    } else if (code == SYSTEM_READ_BUF_E) {
        LOGG_PRINT(LOG_INFO_E, 0, "receive ack for reading bufer.\n");
        s->bufReadPending = 0;
        s->bufReadPos = nullptr;
        s->bufReadRoom = 0;
    }
}

// --- chunks from the peer ------------------------------------------------------------

// The destination of a read belongs to the caller waiting in SERVICEG_ioctl;
// once that caller has given up (its wait timed out), it may be gone.
bool callerStillWaits(const SYSTEMG_stateT* s, uint32_t code) {
    if (s->handle == nullptr) return true;
    return s->handle->awaiting.load() != 0 && s->handle->awaitedCode.load() == code;
}

void flashReadChunk(SYSTEMG_stateT* s, const SYSTEMG_flashChunkT* chunk, const void* payload, uint32_t length) {
    LOGG_PRINT(LOG_DEBUG_E, 0, "receive read flash chunk: Chunk number %d from %d chunks.\n",
               static_cast<int>(chunk->chunkIndex) + 1, static_cast<int>(chunk->chunkCount));
    if (s->flashReadPending == 0) {
        LOGG_PRINT(LOG_WARN_E, 0, "read flash chunk %u with no read pending dropped\n", chunk->chunkIndex);
        return;
    }
    if (!callerStillWaits(s, SYSTEM_FLASH_READ_E)) {
        LOGG_PRINT(LOG_WARN_E, 0, "read flash chunk %u after its caller gave up: read abandoned\n", chunk->chunkIndex);
        s->flashReadPending = 0;
        s->flashReadDest = nullptr;
        s->flashReadSize = 0;
        return;
    }
    s->flashChunkCount = chunk->chunkCount;
    const uint64_t offset = uint64_t{chunk->chunkIndex} * SYSTEMG_CHUNK_SIZE;
    if (offset < chunk->totalSize) {
        const uint64_t bytes = std::min<uint64_t>(length, chunk->totalSize - offset);
        if (s->flashReadDest == nullptr || offset + bytes > s->flashReadSize || (bytes > 0 && payload == nullptr)) {
            LOGG_PRINT(LOG_ERROR_E, SYSTEM__ERR_INVALID_ARGS,
                       "read flash chunk %u (%llu B at %llu) does not fit the %u B destination: dropped\n",
                       chunk->chunkIndex, static_cast<unsigned long long>(bytes),
                       static_cast<unsigned long long>(offset), s->flashReadSize);
            return;
        }
        if (bytes > 0) std::memcpy(s->flashReadDest + offset, payload, static_cast<size_t>(bytes));
    }
    ++s->flashChunksReceived;
}

void readBufChunk(SYSTEMG_stateT* s, const SYSTEMG_readBufChunkT* chunk, const void* payload, uint32_t length) {
    LOGG_PRINT(LOG_DEBUG_E, 0, "receive read buffer chunk: Chunk number %d from %d chunks.\n",
               static_cast<int>(chunk->chunkIndex) + 1, static_cast<int>(chunk->chunkCount));
    if (s->bufReadPending == 0) {
        LOGG_PRINT(LOG_WARN_E, 0, "read buffer chunk %u with no read pending dropped\n", chunk->chunkIndex);
        return;
    }
    if (!callerStillWaits(s, SYSTEM_READ_BUF_E)) {
        LOGG_PRINT(LOG_WARN_E, 0, "read buffer chunk %u after its caller gave up: read abandoned\n",
                   chunk->chunkIndex);
        s->bufReadPending = 0;
        s->bufReadPos = nullptr;
        s->bufReadRoom = 0;
        return;
    }
    // The size comes from the peer: it must describe bytes that arrived and
    // fit in what is left of the destination.
    if (chunk->size > length || chunk->size > s->bufReadRoom || (chunk->size > 0 && payload == nullptr)) {
        LOGG_PRINT(LOG_ERROR_E, SYSTEM__ERR_INVALID_ARGS,
                   "read buffer chunk %u of %u B (%u B arrived, %u B room left): dropped\n", chunk->chunkIndex,
                   chunk->size, length, s->bufReadRoom);
        return;
    }
    if (chunk->size > 0) std::memcpy(s->bufReadPos, payload, chunk->size);
    // The processor moves its reads in 32-bit words.
    const uint32_t advance = chunk->size & ~3u;
    s->bufReadPos += advance;
    s->bufReadRoom -= advance;
}

const SERVICE_opsTable kOps = {
    &SYSTEMP_getName, &SYSTEMP_open, &SYSTEMP_close, &SYSTEMP_hostIoctl, &SYSTEMP_handleMsg,
    nullptr,          nullptr,       nullptr,
};

}  // namespace

// --- public operations ------------------------------------------------------------------

const SERVICE_opsTable* SYSTEMG_getOpsTable() { return &kOps; }

SYSTEMG_stateT* SYSTEMG_getState() { return state(); }

const char* SYSTEMP_getName() { return "SYSTEM"; }

ERRG_codeE SYSTEMP_open(SERVICEG_requestT* request) {
    if (request == nullptr) return SYSTEM__ERR_INVALID_ARGS;
    if (request->phase != SERVICEG_PHASE_START_E) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "open system service. handle cmd done\n");
        return SYSTEM__RET_SUCCESS;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "open system service. handle cmd start\n");
    SYSTEMG_stateT* s = state();
    const SYSTEMG_statsHookT hook = s->statsHook;
    *s = SYSTEMG_stateT{};
    s->statsHook = hook;
    s->handle = request->service;
    OS_LYRG_getTime(&s->createdSec, &s->createdMs);
    // Until the first report, "from last statistics" counts from the opening.
    s->lastStatsSec = s->createdSec;
    s->lastStatsMs = s->createdMs;
    s->dataPool = SERVICEG_getDataChanPool(request->service);
    return SERVICE__INCOMPLETE;
}

ERRG_codeE SYSTEMP_close(SERVICEG_requestT* request) {
    if (request == nullptr) return SYSTEM__ERR_INVALID_ARGS;
    if (request->phase != SERVICEG_PHASE_START_E) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "close system service. handle cmd done\n");
        return SYSTEM__RET_SUCCESS;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "close system service. handle cmd start\n");
    return SERVICE__INCOMPLETE;
}

ERRG_codeE SYSTEMP_hostIoctl(SERVICEG_requestT* request) {
    if (request == nullptr) return SYSTEM__ERR_INVALID_ARGS;
    SYSTEMG_stateT* s = state();
    if (request->phase != SERVICEG_PHASE_START_E) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "Receive new ioctl handle cmd done. ioctl opcode: %s\n",
                   VPU_CMDG_cmdToString(request->code));
        doneIoctl(s, request->code);
        return SYSTEM__RET_SUCCESS;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "Receive new ioctl handle cmd start. ioctl opcode: %s\n",
               VPU_CMDG_cmdToString(request->code));
    return startIoctl(s, request->code, request->params);
}

ERRG_codeE SYSTEMP_handleMsg(uint32_t code, void* params, void* payload, uint32_t payloadLength,
                             MEM_POOLG_bufDescT** /*holder: nothing is kept*/) {
    SYSTEMG_stateT* s = state();
    switch (code) {
        case INTERNAL_CMDG_LUT_CHUNK_E:
            s->lutAck = 1;
            LOGG_PRINT(LOG_INFO_E, 0, "receive ack for new lut.\n");
            return SYSTEM__RET_SUCCESS;
        case INTERNAL_CMDG_CEVA_CHUNK_E:
            s->cevaAck = 1;
            LOGG_PRINT(LOG_INFO_E, 0, "receive ack for ceva app.\n");
            return SYSTEM__RET_SUCCESS;
        case INTERNAL_CMDG_BUF_CHUNK_E:
            s->bufferAck = 1;
            LOGG_PRINT(LOG_INFO_E, 0, "receive ack for write buffer.\n");
            return SYSTEM__RET_SUCCESS;
        case INTERNAL_CMDG_FLASH_WRITE_CHUNK_E:
            s->flashAck = 1;
            LOGG_PRINT(LOG_INFO_E, 0, "receive ack for write Flash buf.\n");
            return SYSTEM__RET_SUCCESS;
        case INTERNAL_CMDG_READ_BUF_CHUNK_E:
            if (params == nullptr) break;
            readBufChunk(s, static_cast<const SYSTEMG_readBufChunkT*>(params), payload, payloadLength);
            return SYSTEM__RET_SUCCESS;
        case INTERNAL_CMDG_FLASH_READ_CHUNK_E:
            if (params == nullptr) break;
            flashReadChunk(s, static_cast<const SYSTEMG_flashChunkT*>(params), payload, payloadLength);
            return SYSTEM__RET_SUCCESS;
        default:
            break;
    }
    LOGG_PRINT(LOG_ERROR_E, SYSTEM__ERR_INVALID_ARGS, "unknown msgCode. msgCode = %d\n", static_cast<int>(code));
    return SYSTEM__ERR_INVALID_ARGS;
}

void SYSTEMG_showStats() {
    SYSTEMG_stateT* s = state();
    LOGG_PRINT(LOG_INFO_E, 0, "System service statistics:\n");
    LOGG_PRINT(LOG_INFO_E, 0, "--------------------------\n");
    LOGG_PRINT(LOG_INFO_E, 0, "Service timing: Exist for %u sec, %u sec from last statistics\n\n",
               elapsedSec(s->createdSec, s->createdMs), elapsedSec(s->lastStatsSec, s->lastStatsMs));
    OS_LYRG_getTime(&s->lastStatsSec, &s->lastStatsMs);
}

void SYSTEMG_setStatsHook(SYSTEMG_statsHookT hook) { state()->statsHook = hook; }
