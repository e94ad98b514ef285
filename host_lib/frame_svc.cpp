#include "host_lib/frame_svc.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "runtime/logger.h"

namespace {

// --- module state (one per service, in the service's context slot) ----------------------

struct FrameSvcState {
    SERVICEG_serviceT* service;  // written at open, on the service thread
    uint32_t answer;             // SERVICE__INCOMPLETE once the streamer is open
    uint32_t createdSec;  // the stamps: under statsMutex
    uint16_t createdMs;
    uint32_t statsSec;
    uint16_t statsMs;
    std::atomic<uint32_t> open;
    // The streamer as the receive path and the readers see it. The receive
    // path uses it, and the frames in progress, under dataMutex; close takes
    // it away under the same lock before the record goes.
    std::atomic<STREAMER_streamerT*> streamer;
    std::mutex dataMutex;
    MEM_POOLG_bufDescT* inProgress[STREAMERG_NUM_STREAMS];  // under dataMutex, one per stream
    std::mutex statsMutex;  // the creation and statistics stamps
};

void* newState(void*) {
    void* memory = std::calloc(1, sizeof(FrameSvcState));
    if (memory == nullptr) return nullptr;
    return new (memory) FrameSvcState();
}

// The pools' slot outlives this one only partly, so frames in progress are
// given back at close, never here.
void deleteState(void* object) {
    if (object == nullptr) return;
    static_cast<FrameSvcState*>(object)->~FrameSvcState();
    std::free(object);
}

FrameSvcState* stateOf(const FRAME_SVCG_descT& d) {
    return static_cast<FrameSvcState*>(
        PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(d.slot), &newState, nullptr, &deleteState));
}

// Gives back every frame in progress (close), or the one of a stream (stop).
void releaseInProgress(FrameSvcState* st, int32_t onlyStream) {
    std::lock_guard<std::mutex> lock(st->dataMutex);
    for (uint32_t id = 0; id < STREAMERG_NUM_STREAMS; ++id) {
        if (onlyStream >= 0 && static_cast<uint32_t>(onlyStream) != id) continue;
        if (st->inProgress[id] != nullptr) MEM_POOLG_freeBuff(st->inProgress[id]);
        st->inProgress[id] = nullptr;
    }
}

// In phase 1: the peer refused the request, so there is nothing to finish.
bool peerRefused(const FrameSvcState* st) {
    return st->service != nullptr && ERRG_FAILED(SERVICEG_getPeerStatus(st->service));
}

// --- operations, shared by the family -----------------------------------------------------

ERRG_codeE frameOpen(const FRAME_SVCG_descT& d, SERVICEG_requestT* request) {
    FrameSvcState* st = stateOf(d);
    LOGG_PRINT(LOG_DEBUG_E, 0, "Open %s service\n", d.name);
    if (request == nullptr) return d.unknownIoctl;
    if (request->phase != SERVICEG_PHASE_START_E) return st->answer;
    // Opening twice keeps the first streamer: a second one would never be closed.
    if (st->open.load() != 0 && st->streamer.load() != nullptr) return st->answer;
    {
        std::lock_guard<std::mutex> lock(st->statsMutex);
        OS_LYRG_getTime(&st->createdSec, &st->createdMs);
        st->statsSec = st->createdSec;
        st->statsMs = st->createdMs;
    }
    st->service = request->service;
    STREAMER_streamerT* streamer = nullptr;
    const ERRG_codeE status = STREAMERG_open(request->service, &streamer);
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_ERROR_E, status, "Open %s service failed\n", d.name);
        return status;
    }
    st->answer = SERVICE__INCOMPLETE;
    {
        std::lock_guard<std::mutex> lock(st->dataMutex);
        st->streamer = streamer;
    }
    st->open = 1;
    return st->answer;
}

ERRG_codeE frameClose(const FRAME_SVCG_descT& d, SERVICEG_requestT* request) {
    FrameSvcState* st = stateOf(d);
    if (st->open.load() == 0) return d.success;
    LOGG_PRINT(LOG_DEBUG_E, 0, "Close %s service\n", d.name);
    // Phase 1 has nothing to do; the streamer goes in phase 0 only, so a
    // phase 1 without it leaves the service open rather than losing the record.
    if (request == nullptr || request->phase != SERVICEG_PHASE_START_E) return st->answer;
    STREAMER_streamerT* streamer = nullptr;
    {
        // From here on the receive path finds no streamer and keeps nothing.
        std::lock_guard<std::mutex> lock(st->dataMutex);
        streamer = st->streamer.exchange(nullptr);
    }
    releaseInProgress(st, -1);
    const ERRG_codeE status = STREAMERG_close(streamer);
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_ERROR_E, status, "Close %s service failed\n", d.name);
        return status;
    }
    st->open = 0;
    return st->answer;
}

ERRG_codeE startStream(const FRAME_SVCG_descT& d, FrameSvcState* st, SERVICEG_requestT* request,
                       STREAMER_fillFuncT fill) {
    const auto* params = static_cast<const VPUG_streamStartParams*>(request->params);
    if (params == nullptr) return d.unknownIoctl;
    const uint32_t channel = params->dataType & 0xFFFFFFu;
    if (request->phase == SERVICEG_PHASE_START_E) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "start %s stream command. handle downstream cmd. dataType=0x%X (%s channel=%d)\n",
                   d.name, params->dataType, d.channelWord, channel);
        if (params->dataType < d.dataTypeFirst || params->dataType > d.dataTypeLast) {
            LOGG_PRINT(LOG_ERROR_E, d.wrongDataType, "start %s cmd fail. wrong data type. dataType=0x%X\n", d.name,
                       params->dataType);
            LOGG_PRINT(LOG_ERROR_E, d.wrongDataType, "%s", d.startFailedText);
            return d.wrongDataType;
        }
        return st->answer;
    }
    if (peerRefused(st)) return st->answer;
    LOGG_PRINT(LOG_DEBUG_E, 0,
               "start %s stream command. handle upstream cmd. dataType=0x%X (%s channel=%d), streamId=%d\n", d.name,
               params->dataType, d.channelWord, channel, params->streamId);
    const STREAMER_sinkCfgT cfg{FRAME_SVCG_SINK_DEPTH, STREAMERG_SINK_MSG_SIZE, fill};
    const ERRG_codeE status = STREAMERG_addSink(st->streamer.load(), &cfg, params->streamId);
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_ERROR_E, status, "%s", d.startFailedText);
        return status;
    }
    return st->answer;
}

ERRG_codeE stopStream(const FRAME_SVCG_descT& d, FrameSvcState* st, SERVICEG_requestT* request) {
    const auto* params = static_cast<const VPUG_streamStopParams*>(request->params);
    if (params == nullptr) return d.unknownIoctl;
    if (request->phase == SERVICEG_PHASE_START_E) {
        LOGG_PRINT(LOG_INFO_E, 0, "stop %s stream command. handle downstream cmd. streamId=%d\n", d.name,
                   params->streamId);
        return st->answer;
    }
    if (peerRefused(st)) return st->answer;
    LOGG_PRINT(LOG_INFO_E, 0, "stop %s stream command. handle upstream cmd. streamId=%d\n", d.name, params->streamId);
    ERRG_codeE status = st->answer;
    STREAMER_streamerT* streamer = st->streamer.load();
    if (streamer != nullptr) status = STREAMERG_remSink(streamer, params->streamId);
    // A frame of the stream that was still arriving has no sink to go to.
    if (params->streamId < STREAMERG_NUM_STREAMS) releaseInProgress(st, static_cast<int32_t>(params->streamId));
    if (ERRG_FAILED(status) && status != SERVICE__INCOMPLETE) {
        LOGG_PRINT(LOG_ERROR_E, status, "%s", d.stopFailedText);
        return status;
    }
    return st->answer;
}

ERRG_codeE frameHostIoctl(const FRAME_SVCG_descT& d, SERVICEG_requestT* request, VPUG_readFuncT read,
                          STREAMER_fillFuncT fill) {
    if (request == nullptr) return d.unknownIoctl;
    FrameSvcState* st = stateOf(d);
    const uint32_t code = request->code;
    if (code == VPU_CMDG_FREE_BUF_E) {
        auto* params = static_cast<VPUG_freeBufParams*>(request->params);
        if (params != nullptr && params->buffer != nullptr) {
            MEM_POOLG_freeBuff(params->buffer);
            params->buffer = nullptr;
        }
        return d.success;
    }
    if (code == VPU_CMDG_GET_READ_FUNC_E) {
        auto* params = static_cast<VPUG_getReadFuncParams*>(request->params);
        if (params != nullptr) params->readFunc = read;
        return d.success;
    }
    if (code == d.startCode) return startStream(d, st, request, fill);
    if (code == d.stopCode) return stopStream(d, st, request);
    LOGG_PRINT(LOG_ERROR_E, d.unknownIoctl, "unknown IOCTL. ioctlNum = 0x%X\n", code);
    return d.unknownIoctl;
}

ERRG_codeE frameReceive(const FRAME_SVCG_descT& d, uint32_t code, void* params, MEM_POOLG_bufDescT** holder) {
    const auto* header = static_cast<const STREAMER_frameHdrT*>(params);
    if (code != d.frameCode || header == nullptr || header->streamId >= STREAMERG_NUM_STREAMS) return d.success;
    FrameSvcState* st = stateOf(d);
    std::lock_guard<std::mutex> lock(st->dataMutex);
    STREAMER_streamerT* streamer = st->streamer.load();
    // Before open and after close nothing is kept: the framework releases the fragment.
    if (streamer == nullptr) return d.success;
    MEM_POOLG_bufDescT* fragment = holder != nullptr ? *holder : nullptr;
    MEM_POOLG_bufDescT** inProgress = &st->inProgress[header->streamId];
    if (STREAMERG_reassembleFrame(header, fragment, inProgress)) {
        MEM_POOLG_bufDescT* frame = *inProgress;
        *inProgress = nullptr;
        STREAMERG_pushFrame(streamer, header, frame);  // releases the frame when it cannot queue it
    }
    return d.success;
}

uint64_t readLe(const uint8_t* at, uint32_t size) {
    uint64_t value = 0;
    for (uint32_t i = 0; i < size; ++i) value |= static_cast<uint64_t>(at[i]) << (8 * i);
    return value;
}

ERRG_codeE frameRead(const FRAME_SVCG_descT& d, VPUG_readItemT* item, uint32_t streamId, uint32_t timeoutMs) {
    if (item == nullptr) return d.unknownIoctl;
    void* hdrRecord = item->hdrRecord;
    *item = VPUG_readItemT{};
    item->hdrRecord = hdrRecord;
    STREAMER_sinkMsgT msg{};
    const ERRG_codeE status = STREAMERG_readFrame(stateOf(d)->streamer.load(), streamId, timeoutMs, &msg);
    if (ERRG_FAILED(status)) return status;
    item->buffer = msg.buffer;
    item->data = msg.data;
    item->length = msg.length;
    item->frameWord = static_cast<uint16_t>(readLe(&msg.header[4], 2));
    item->frameValue = static_cast<uint32_t>(readLe(&msg.header[20], 4));
    item->frameStamp = readLe(&msg.header[24], 8);
    if (hdrRecord != nullptr) {
        auto* record = static_cast<uint8_t*>(hdrRecord);
        std::memset(record, 0, d.hdrRecordSize);
        for (uint32_t i = 0; i < d.numHdrFields; ++i) {
            const FRAME_SVCG_hdrFieldT& field = d.hdrFields[i];
            if (field.frameOffset + field.size > STREAMERG_SINK_HDR_ROOM) continue;
            std::memcpy(record + field.recordOffset, &msg.header[field.frameOffset], field.size);
        }
    }
    return d.success;
}

void frameFill(const FRAME_SVCG_descT& d, STREAMER_sinkMsgT* msg, const void* header) {
    if (msg == nullptr || header == nullptr) return;
    std::memcpy(msg->header, header, d.sinkHeaderBytes);
}

void frameShowStats(const FRAME_SVCG_descT& d) {
    FrameSvcState* st = stateOf(d);
    uint32_t sinceStats = 0;
    uint32_t sinceCreation = 0;
    {
        std::lock_guard<std::mutex> lock(st->statsMutex);
        sinceStats = OS_LYRG_getElapsedMsec(st->statsSec, st->statsMs);
        sinceCreation = OS_LYRG_getElapsedMsec(st->createdSec, st->createdMs);
        OS_LYRG_getTime(&st->statsSec, &st->statsMs);
    }
    LOGG_PRINT(LOG_INFO_E, 0, "%s", d.statsTitle);
    LOGG_PRINT(LOG_INFO_E, 0, "-------------------------\n");
    LOGG_PRINT(LOG_INFO_E, 0, "Service timing: Exist for %u sec, running for %u sec, %u sec from last statistics\n",
               sinceCreation / 1000, 0u, sinceStats / 1000);
    STREAMERG_printStats(st->streamer.load(), LOG_INFO_E, sinceStats);
}

}  // namespace

// --- the three members ----------------------------------------------------------------------

#define FRAME_SVC_MEMBER(PREFIX, MEMBER)                                                                      \
    const char* PREFIX##P_getName() { return FRAME_SVCG_family[MEMBER].name; }                              \
    ERRG_codeE PREFIX##P_open(SERVICEG_requestT* request) { return frameOpen(FRAME_SVCG_family[MEMBER], request); } \
    ERRG_codeE PREFIX##P_close(SERVICEG_requestT* request) {                                                  \
        return frameClose(FRAME_SVCG_family[MEMBER], request);                                                 \
    }                                                                                                           \
    ERRG_codeE PREFIX##P_hostIoctl(SERVICEG_requestT* request) {                                              \
        return frameHostIoctl(FRAME_SVCG_family[MEMBER], request, &PREFIX##P_read, &PREFIX##P_fillSinkMsg);    \
    }                                                                                                           \
    ERRG_codeE PREFIX##P_hostHandleMsg(uint32_t, void*, void*, uint32_t, MEM_POOLG_bufDescT**) {              \
        return FRAME_SVCG_family[MEMBER].success;                                                              \
    }                                                                                                           \
    ERRG_codeE PREFIX##P_hostReceiveFrame(uint32_t code, void* params, void*, uint32_t,                       \
                                          MEM_POOLG_bufDescT** holder) {                                       \
        return frameReceive(FRAME_SVCG_family[MEMBER], code, params, holder);                                  \
    }                                                                                                           \
    ERRG_codeE PREFIX##P_read(VPUG_readItemT* item, uint32_t streamId, uint32_t timeoutMs) {                  \
        return frameRead(FRAME_SVCG_family[MEMBER], item, streamId, timeoutMs);                                \
    }                                                                                                           \
    void PREFIX##P_fillSinkMsg(STREAMER_sinkMsgT* msg, const void* header) {                                  \
        frameFill(FRAME_SVCG_family[MEMBER], msg, header);                                                     \
    }                                                                                                           \
    void PREFIX##G_showStats() { frameShowStats(FRAME_SVCG_family[MEMBER]); }                                  \
    const SERVICE_opsTable* PREFIX##G_getService() {                                                          \
        static const SERVICE_opsTable ops = {&PREFIX##P_getName,   &PREFIX##P_open,       &PREFIX##P_close,   \
                                             &PREFIX##P_hostIoctl, &PREFIX##P_hostHandleMsg, nullptr,         \
                                             nullptr,              &PREFIX##P_hostReceiveFrame};              \
        return &ops;                                                                                           \
    }

FRAME_SVC_MEMBER(DEPTH, FRAME_SVCG_DEPTH_E)
FRAME_SVC_MEMBER(VIDEO, FRAME_SVCG_VIDEO_E)
FRAME_SVC_MEMBER(WEBCAM, FRAME_SVCG_WEBCAM_E)

#undef FRAME_SVC_MEMBER

bool FRAME_SVCG_isOpen(FRAME_SVCG_memberE member) {
    if (member >= FRAME_SVCG_NUM_MEMBERS) return false;
    return stateOf(FRAME_SVCG_family[member])->streamer.load() != nullptr;
}
