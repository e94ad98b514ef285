#include "host_lib/streamer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/context.h"

namespace {

// --- module state ------------------------------------------------------------------

struct StreamerState {
    OS_LYRG_mutexT moduleMutex;  // guards streamer allocation
    uint32_t moduleMutexCreated;
    STREAMER_streamerT streamers[STREAMERG_NUM_STREAMERS];
    OS_LYRG_mutexT sourceMutex;
    uint32_t sourceMutexCreated;
    STREAMER_sourceT sources[STREAMERG_NUM_STREAMS];
    STREAMER_sinkT sinks[STREAMERG_NUM_STREAMS];  // indexed by stream id
};

void releaseMutex(OS_LYRG_mutexT* mutex, uint32_t* created) {
    if (*created == 0) return;
    OS_LYRG_releaseMutex(mutex);
    *mutex = nullptr;
    *created = 0;
}

// Deletes a queue object. Used where the pools its frames came from may
// already be gone, so the frames themselves are not touched.
void dropQueueObject(OS_LYRG_msgQueT* queue, uint32_t* created) {
    if (*created == 0) return;
    OS_LYRG_deleteMsgQue(queue);
    queue->handle = nullptr;
    *created = 0;
}

void resetSink(STREAMER_sinkT* sink) {
    sink->owner = nullptr;
    sink->streamId = -1;
    sink->depth = 0;
    sink->counters = {};
    sink->reported = {};
    sink->expectedFrag = 0;
    sink->bytesSoFar = 0;
    sink->msgSize = STREAMERG_SINK_MSG_SIZE;
    sink->fill = nullptr;
}

void resetSource(STREAMER_sourceT* source) {
    const OS_LYRG_msgQueT queue = source->queue;
    const uint32_t created = source->queueCreated;
    *source = STREAMER_sourceT{};
    source->queue = queue;
    source->queueCreated = created;
    source->streamId = -1;
}

void* newState(void*) {
    auto* state = static_cast<StreamerState*>(std::calloc(1, sizeof(StreamerState)));
    if (state == nullptr) return nullptr;
    for (auto& sink : state->sinks) resetSink(&sink);
    for (auto& source : state->sources) source.streamId = -1;
    return state;
}

// The context goes after the pools (their slot comes first), so queued frames
// are not released here; only the module's own objects are.
void deleteState(void* object) {
    auto* state = static_cast<StreamerState*>(object);
    if (state == nullptr) return;
    for (auto& sink : state->sinks) {
        dropQueueObject(&sink.queue, &sink.queueCreated);
        releaseMutex(&sink.pushMutex, &sink.pushMutexCreated);
        releaseMutex(&sink.readMutex, &sink.readMutexCreated);
    }
    for (auto& source : state->sources) dropQueueObject(&source.queue, &source.queueCreated);
    releaseMutex(&state->moduleMutex, &state->moduleMutexCreated);
    releaseMutex(&state->sourceMutex, &state->sourceMutexCreated);
    std::free(state);
}

StreamerState* state() {
    return static_cast<StreamerState*>(PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_STREAMER),
                                                         &newState, nullptr, &deleteState));
}

using morv::runtime::OsMutexLock;

bool createMutex(OS_LYRG_mutexT* mutex, uint32_t* created) {
    if (OS_LYRG_createMutex(mutex) != OS_LYRG_SUCCESS) return false;
    *created = 1;
    return true;
}

const char* ownerName(const STREAMER_streamerT* streamer) {
    return streamer != nullptr && streamer->owner != nullptr ? SERVICEG_getName(streamer->owner) : "";
}

// Takes every waiting message without waiting and releases its frame.
void STREAMERP_flushQue(OS_LYRG_msgQueT* queue) {
    STREAMER_sinkMsgT msg{};
    for (;;) {
        uint32_t length = sizeof(msg);
        if (OS_LYRG_recvMsg(queue, &msg, &length, 0) != OS_LYRG_SUCCESS) return;
        if (length == sizeof(msg)) MEM_POOLG_freeBuff(msg.buffer);
    }
}

ERRG_codeE STREAMERP_createQue(STREAMER_sinkT* sink, uint32_t streamId) {
    sink->queue = OS_LYRG_msgQueT{};
    std::snprintf(sink->queue.name, sizeof(sink->queue.name), "/st_sink%x", streamId);
    sink->queue.maxMsgs = static_cast<uint16_t>(std::min<uint32_t>(sink->depth, 0xFFFFu));
    sink->queue.msgSize = STREAMERG_SINK_MSG_SIZE;
    if (OS_LYRG_createMsgQue(&sink->queue, 0) != OS_LYRG_SUCCESS || sink->queue.handle == nullptr)
        return STREAMER__ERR_OUT_OF_RSRCS;
    sink->queueCreated = 1;
    LOGG_PRINT(LOG_DEBUG_E, 0, "stream 0x%x: created que %s maxMsg=%d msgSize=%d\n", streamId, sink->queue.name,
               sink->queue.maxMsgs, STREAMERG_SINK_MSG_SIZE);
    return STREAMER__RET_SUCCESS;
}

bool STREAMERP_isSinkPtrMatch(const STREAMER_streamerT* streamer, uint32_t slot, const STREAMER_sinkT* sink) {
    LOGG_PRINT(LOG_DEBUG_E, 0, "STREAMERP_isSinkPtrMatch %d %p\n", slot, static_cast<const void*>(streamer->sinks[slot]));
    return streamer->sinks[slot] == sink;
}

// Removal proper, with the sink's push and read mutexes held.
ERRG_codeE remSinkLocked(STREAMER_streamerT* streamer, STREAMER_sinkT* sink, uint32_t streamId) {
    for (uint32_t slot = 0; slot < STREAMERG_NUM_STREAMS; ++slot) {
        if (!STREAMERP_isSinkPtrMatch(streamer, slot, sink)) continue;
        if (sink->queueCreated != 0) {
            STREAMERP_flushQue(&sink->queue);
            OS_LYRG_deleteMsgQue(&sink->queue);
            sink->queue.handle = nullptr;
            sink->queueCreated = 0;
        }
        streamer->sinks[slot] = nullptr;
        sink->streamId = -1;
        sink->expectedFrag = 0;
        sink->bytesSoFar = 0;
        return STREAMER__RET_SUCCESS;
    }
    LOGG_PRINT(LOG_ERROR_E, STREAMER__ERR_SINK_NOT_FOUND, "stream 0x%x: failed to remove stream sink\n", streamId);
    return STREAMER__ERR_SINK_NOT_FOUND;
}

// Bytes a frame buffer can hold from its data pointer on.
uint64_t roomOf(const MEM_POOLG_bufDescT* frame) {
    const auto* base = static_cast<const uint8_t*>(frame->base);
    const auto* data = static_cast<const uint8_t*>(frame->data);
    if (base == nullptr || data == nullptr || data < base) return 0;
    const uint64_t offset = static_cast<uint64_t>(data - base);
    return frame->capacity > offset ? frame->capacity - offset : 0;
}

// Releases the frame in progress and restarts the fragment count.
void dropInProgress(STREAMER_sinkT* sink, MEM_POOLG_bufDescT** holder) {
    if (*holder != nullptr) MEM_POOLG_freeBuff(*holder);
    *holder = nullptr;
    sink->expectedFrag = 0;
    sink->bytesSoFar = 0;
}

// Whether a fragment that arrived in order can be taken as it is.
bool fragmentFits(const STREAMER_sinkT* sink, const STREAMER_frameHdrT* header, const MEM_POOLG_bufDescT* fragment,
                  const MEM_POOLG_bufDescT* frame) {
    if (header->fragCount == 0 || header->fragIndex >= header->fragCount) return false;
    if (fragment == nullptr || fragment->data == nullptr || fragment->len < header->fragLength) return false;
    if (header->fragIndex == 0) return true;  // its bytes are already in place
    if (frame == nullptr) return false;
    return static_cast<uint64_t>(sink->bytesSoFar) + header->fragLength <= roomOf(frame);
}

void putLe(uint8_t* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

constexpr uint32_t kMb = 1u << 20;

double perSecond(uint64_t amount, uint32_t elapsedMs) {
    return elapsedMs != 0 ? static_cast<double>(amount) * 1000.0 / elapsedMs : 0.0;
}

void STREAMERP_printSrc(STREAMER_sourceT* source, int32_t level, uint32_t elapsedMs) {
    const uint32_t in = source->in - source->lastIn;
    const uint32_t sent = source->sent - source->lastSent;
    const uint32_t sentMb = source->sentMb - source->lastSentMb;
    const uint32_t dropped = source->dropped - source->lastDropped;
    const uint32_t skipped = source->skipped - source->lastSkipped;
    LOGG_PRINT(level, 0, "source streamID=%d\n", source->streamId);
    LOGG_PRINT(level, 0, "  totals: in %u sent %u(%uMB) dropped: %u skipped %u\n", source->in, source->sent,
               source->sentMb, source->dropped, source->skipped);
    LOGG_PRINT(level, 0, "  current(%umsec): in_fps %.2f sent_fps:%.2f(%.2fMBps) sent %u(%uMB) dropped %u skipped %u\n",
               elapsedMs, perSecond(in, elapsedMs), perSecond(sent, elapsedMs), perSecond(sentMb, elapsedMs), sent,
               sentMb, dropped, skipped);
    source->lastIn = source->in;
    source->lastSent = source->sent;
    source->lastSentMb = source->sentMb;
    source->lastDropped = source->dropped;
    source->lastSkipped = source->skipped;
}

void STREAMERP_printSink(STREAMER_sinkT* sink, int32_t level, uint32_t elapsedMs) {
    STREAMER_sinkCountersT now{};
    STREAMER_sinkCountersT last{};
    int32_t streamId = -1;
    {
        OsMutexLock push(&sink->pushMutex);
        OsMutexLock read(&sink->readMutex);
        now = sink->counters;
        last = sink->reported;
        sink->reported = now;
        streamId = sink->streamId;
    }
    const uint32_t received = now.received - last.received;
    const uint64_t bytes = now.receivedBytes - last.receivedBytes;
    LOGG_PRINT(level, 0, "sink streamID=%d\n", streamId);
    LOGG_PRINT(level, 0, "  totals: received %u(%uMB) dropped: %u dequed %u\n", now.received,
               static_cast<uint32_t>(now.receivedBytes / kMb), now.dropped, now.dequeued);
    LOGG_PRINT(level, 0, "  current(%umsec): fps=%.2f(%.2fMBps) received %u(%uMB) dropped %u dequed %u\n", elapsedMs,
               perSecond(received, elapsedMs), perSecond(bytes, elapsedMs) / kMb, received,
               static_cast<uint32_t>(bytes / kMb), now.dropped - last.dropped, now.dequeued - last.dequeued);
}

}  // namespace

// --- public operations ------------------------------------------------------------------

ERRG_codeE STREAMERG_init() {
    StreamerState* st = state();
    releaseMutex(&st->moduleMutex, &st->moduleMutexCreated);
    releaseMutex(&st->sourceMutex, &st->sourceMutexCreated);
    for (auto& streamer : st->streamers) streamer = STREAMER_streamerT{};
    for (auto& source : st->sources) {
        dropQueueObject(&source.queue, &source.queueCreated);
        resetSource(&source);
    }
    for (auto& sink : st->sinks) {
        releaseMutex(&sink.pushMutex, &sink.pushMutexCreated);
        releaseMutex(&sink.readMutex, &sink.readMutexCreated);
        dropQueueObject(&sink.queue, &sink.queueCreated);
        resetSink(&sink);
    }
    bool ok = createMutex(&st->moduleMutex, &st->moduleMutexCreated) &&
              createMutex(&st->sourceMutex, &st->sourceMutexCreated);
    for (auto& sink : st->sinks) {
        ok = ok && createMutex(&sink.pushMutex, &sink.pushMutexCreated) &&
             createMutex(&sink.readMutex, &sink.readMutexCreated);
    }
    if (!ok) {
        LOGG_PRINT(LOG_ERROR_E, STREAMER__ERR_OUT_OF_RSRCS, "streaming module failed initialization\n");
        return STREAMER__ERR_OUT_OF_RSRCS;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "streaming module initialized\n");
    return STREAMER__RET_SUCCESS;
}

ERRG_codeE STREAMERG_open(SERVICEG_serviceT* service, STREAMER_streamerT** out) {
    if (out == nullptr || service == nullptr) return STREAMER__ERR_INVALID_ARGS;
    *out = nullptr;
    StreamerState* st = state();
    if (st->moduleMutexCreated == 0) return STREAMER__ERR_OUT_OF_RSRCS;
    {
        OsMutexLock lock(&st->moduleMutex);
        for (uint32_t i = 0; i < STREAMERG_NUM_STREAMERS; ++i) {
            STREAMER_streamerT* streamer = &st->streamers[i];
            LOGG_PRINT(LOG_DEBUG_E, 0, "STREAMERP_isStreamerMatch %p %d\n", static_cast<void*>(streamer), i);
            if (streamer->owner != nullptr) continue;
            *streamer = STREAMER_streamerT{};
            streamer->owner = service;
            *out = streamer;
            break;
        }
    }
    if (*out == nullptr) return STREAMER__ERR_OUT_OF_RSRCS;
    LOGG_PRINT(LOG_DEBUG_E, 0, "Stream opened for %s\n", SERVICEG_getName(service));
    return STREAMER__RET_SUCCESS;
}

ERRG_codeE STREAMERG_close(STREAMER_streamerT* streamer) {
    if (streamer == nullptr) return STREAMER__ERR_INVALID_ARGS;
    StreamerState* st = state();
    for (uint32_t id = 0; id < STREAMERG_NUM_STREAMS; ++id) {
        if (streamer->sources[id] != nullptr) STREAMERG_remSrc(streamer, id);
    }
    for (uint32_t slot = 0; slot < STREAMERG_NUM_STREAMS; ++slot) {
        STREAMER_sinkT* sink = streamer->sinks[slot];
        if (sink == nullptr || sink->streamId < 0) continue;
        STREAMERG_remSink(streamer, static_cast<uint32_t>(sink->streamId));
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "Stream closed for %s\n", ownerName(streamer));
    if (st->moduleMutexCreated != 0) {
        OsMutexLock lock(&st->moduleMutex);
        streamer->owner = nullptr;
    } else {
        streamer->owner = nullptr;
    }
    return STREAMER__RET_SUCCESS;
}

ERRG_codeE STREAMERG_addSink(STREAMER_streamerT* streamer, const STREAMER_sinkCfgT* cfg, uint32_t streamId) {
    if (streamer == nullptr || cfg == nullptr || streamId >= STREAMERG_NUM_STREAMS || cfg->depth == 0 ||
        cfg->msgSize != STREAMERG_SINK_MSG_SIZE)
        return STREAMER__ERR_INVALID_ARGS;
    STREAMER_sinkT* sink = &state()->sinks[streamId];
    if (sink->pushMutexCreated == 0 || sink->readMutexCreated == 0) return STREAMER__ERR_OUT_OF_RSRCS;
    {
        // The reader checks the owner under the read mutex, so both are held.
        OsMutexLock push(&sink->pushMutex);
        OsMutexLock read(&sink->readMutex);
        if (sink->streamId >= 0) return STREAMER__ERR_INVALID_ARGS;
        uint32_t slot = 0;
        while (slot < STREAMERG_NUM_STREAMS && streamer->sinks[slot] != nullptr) ++slot;
        if (slot == STREAMERG_NUM_STREAMS) return STREAMER__ERR_OUT_OF_RSRCS;
        sink->depth = cfg->depth;
        sink->msgSize = cfg->msgSize;
        sink->fill = cfg->fill;
        sink->expectedFrag = 0;
        sink->bytesSoFar = 0;
        sink->counters = {};
        sink->reported = {};
        // A queue left by a module re-initialisation is replaced.
        dropQueueObject(&sink->queue, &sink->queueCreated);
        if (ERRG_FAILED(STREAMERP_createQue(sink, streamId))) return STREAMER__ERR_OUT_OF_RSRCS;
        sink->streamId = static_cast<int32_t>(streamId);
        sink->owner = streamer;
        streamer->sinks[slot] = sink;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "stream 0x%x: added stream sink for:%s queSize=%d\n", streamId, ownerName(streamer),
               cfg->depth);
    return STREAMER__RET_SUCCESS;
}

ERRG_codeE STREAMERG_remSink(STREAMER_streamerT* streamer, uint32_t streamId) {
    if (streamer == nullptr || streamId >= STREAMERG_NUM_STREAMS) return STREAMER__ERR_INVALID_ARGS;
    STREAMER_sinkT* sink = &state()->sinks[streamId];
    if (sink->pushMutexCreated == 0 || sink->readMutexCreated == 0) return STREAMER__ERR_OUT_OF_RSRCS;
    LOGG_PRINT(LOG_DEBUG_E, 0, "removing stream sink for:%s streamId=0x%x\n", ownerName(streamer), streamId);
    OsMutexLock push(&sink->pushMutex);
    OsMutexLock read(&sink->readMutex);
    if (sink->streamId != static_cast<int32_t>(streamId)) return STREAMER__ERR_INVALID_ARGS;
    return remSinkLocked(streamer, sink, streamId);
}

ERRG_codeE STREAMERG_remSrc(STREAMER_streamerT* streamer, uint32_t streamId) {
    if (streamer == nullptr || streamId >= STREAMERG_NUM_STREAMS) return STREAMER__ERR_INVALID_ARGS;
    StreamerState* st = state();
    STREAMER_sourceT* source = streamer->sources[streamId];
    if (source == nullptr) return STREAMER__ERR_SINK_NOT_FOUND;
    if (st->sourceMutexCreated == 0) return STREAMER__ERR_OUT_OF_RSRCS;
    OsMutexLock lock(&st->sourceMutex);
    if (source->queueCreated != 0) {
        STREAMERP_flushQue(&source->queue);
        OS_LYRG_deleteMsgQue(&source->queue);
        source->queue.handle = nullptr;
        source->queueCreated = 0;
    }
    resetSource(source);
    streamer->sources[streamId] = nullptr;
    return STREAMER__RET_SUCCESS;
}

bool STREAMERG_reassembleFrame(const STREAMER_frameHdrT* header, MEM_POOLG_bufDescT* fragment,
                               MEM_POOLG_bufDescT** holder) {
    if (header == nullptr || holder == nullptr || header->streamId >= STREAMERG_NUM_STREAMS) return false;
    STREAMER_sinkT* sink = &state()->sinks[header->streamId];
    if (sink->pushMutexCreated == 0) return false;
    OsMutexLock lock(&sink->pushMutex);
    const uint32_t index = header->fragIndex;

    // A new frame replaces whatever was in progress, including a frame left
    // behind when the sink's fragment state was reset under it.
    if (index == 0 && (sink->expectedFrag != 0 || *holder != nullptr)) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "Abandoning in progress frame. Resyncing to current frame.\n");
        dropInProgress(sink, holder);
    }
    const uint32_t expected = sink->expectedFrag++;
    if (index != expected) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "Dropping frag %d\n", index);
        dropInProgress(sink, holder);
        return false;
    }
    if (!fragmentFits(sink, header, fragment, *holder)) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "Dropping frag %d: length %u of %u fragments does not fit the frame\n", index,
                   header->fragLength, header->fragCount);
        dropInProgress(sink, holder);
        return false;
    }
    if (index == 0) {
        MEM_POOLG_duplicateBuff(fragment);
        *holder = fragment;
        sink->bytesSoFar = header->fragLength;
    } else {
        MEM_POOLG_bufDescT* frame = *holder;
        std::memcpy(static_cast<uint8_t*>(frame->data) + sink->bytesSoFar, fragment->data, header->fragLength);
        sink->bytesSoFar += header->fragLength;
        sink->counters.copiedBytes += header->fragLength;
    }
    if (index + 1 != header->fragCount) return false;
    (*holder)->len = sink->bytesSoFar;
    sink->expectedFrag = 0;
    sink->bytesSoFar = 0;
    return true;
}

ERRG_codeE STREAMERG_pushFrame(STREAMER_streamerT* streamer, const STREAMER_frameHdrT* header,
                               MEM_POOLG_bufDescT* frame) {
    if (frame == nullptr) return STREAMER__ERR_INVALID_ARGS;
    if (header == nullptr || header->streamId >= STREAMERG_NUM_STREAMS) {
        MEM_POOLG_freeBuff(frame);
        return STREAMER__ERR_INVALID_ARGS;
    }
    STREAMER_sinkT* sink = &state()->sinks[header->streamId];
    if (sink->pushMutexCreated == 0) {
        MEM_POOLG_freeBuff(frame);
        return STREAMER__ERR_OUT_OF_RSRCS;
    }
    STREAMER_sinkMsgT msg{};
    msg.buffer = frame;
    msg.data = frame->data;
    msg.length = frame->len;
    putLe(&msg.header[0], header->streamId, 4);
    putLe(&msg.header[4], header->frameWord, 2);
    putLe(&msg.header[6], header->word6, 2);
    putLe(&msg.header[12], header->fragLength, 4);
    putLe(&msg.header[20], header->frameValue, 4);
    putLe(&msg.header[24], header->frameStamp, 8);

    OsMutexLock lock(&sink->pushMutex);
    if (streamer == nullptr || sink->owner != streamer) {
        MEM_POOLG_freeBuff(frame);
        return STREAMER__ERR_RCV_WRONG_STREAM_ID;
    }
    if (sink->streamId < 0 || sink->queueCreated == 0) {
        MEM_POOLG_freeBuff(frame);
        return STREAMER__ERR_SINK_REMOVED;
    }
    if (sink->fill != nullptr) sink->fill(&msg, header);
    if (OS_LYRG_sendMsg(&sink->queue, &msg, sizeof(msg)) != OS_LYRG_SUCCESS) {
        sink->counters.dropped++;
        MEM_POOLG_freeBuff(frame);
        return STREAMER__ERR_SINK_QUE_OVERFLOW;
    }
    sink->counters.received++;
    sink->counters.receivedBytes += msg.length;
    return STREAMER__RET_SUCCESS;
}

ERRG_codeE STREAMERG_readFrame(STREAMER_streamerT* streamer, uint32_t streamId, uint32_t timeoutMs,
                               STREAMER_sinkMsgT* msg) {
    if (streamId >= STREAMERG_NUM_STREAMS || msg == nullptr) return STREAMER__ERR_INVALID_ARGS;
    STREAMER_sinkT* sink = &state()->sinks[streamId];
    if (sink->readMutexCreated == 0) return STREAMER__ERR_OUT_OF_RSRCS;
    uint32_t left = timeoutMs;
    for (;;) {
        const uint32_t slice = std::min(left, STREAMERG_READ_SLICE_MS);
        {
            OsMutexLock lock(&sink->readMutex);
            if (streamer == nullptr || sink->owner != streamer) return STREAMER__ERR_DQUEUE_WRONG_STREAM_ID;
            if (sink->streamId < 0 || sink->queueCreated == 0) return STREAMER__ERR_SINK_REMOVED;
            uint32_t length = sizeof(*msg);
            if (OS_LYRG_recvMsg(&sink->queue, msg, &length, slice) == OS_LYRG_SUCCESS) {
                if (length == sink->msgSize) {
                    sink->counters.dequeued++;
                    return STREAMER__RET_SUCCESS;
                }
            }
        }
        left -= slice;
        if (slice == 0) return STREAMER__ERR_NOTHING_RECEIVED;
    }
}

void STREAMERG_printStats(STREAMER_streamerT* streamer, int32_t level, uint32_t elapsedMs) {
    if (streamer == nullptr) return;
    StreamerState* st = state();
    LOGG_PRINT(level, 0, "streamer on %s service:\n", ownerName(streamer));
    if (st->sourceMutexCreated != 0) {
        OsMutexLock lock(&st->sourceMutex);
        for (STREAMER_sourceT* source : streamer->sources) {
            if (source != nullptr && source->streamId >= 0) STREAMERP_printSrc(source, level, elapsedMs);
        }
    }
    for (STREAMER_sinkT* sink : streamer->sinks) {
        if (sink != nullptr && sink->pushMutexCreated != 0 && sink->readMutexCreated != 0)
            STREAMERP_printSink(sink, level, elapsedMs);
    }
}

STREAMER_sinkCountersT STREAMERG_getSinkCounters(uint32_t streamId) {
    if (streamId >= STREAMERG_NUM_STREAMS) return {};
    STREAMER_sinkT* sink = &state()->sinks[streamId];
    if (sink->pushMutexCreated == 0 || sink->readMutexCreated == 0) return {};
    OsMutexLock push(&sink->pushMutex);
    OsMutexLock read(&sink->readMutex);
    return sink->counters;
}

bool STREAMERG_isSinkInUse(uint32_t streamId) {
    if (streamId >= STREAMERG_NUM_STREAMS) return false;
    STREAMER_sinkT* sink = &state()->sinks[streamId];
    if (sink->pushMutexCreated == 0) return false;
    OsMutexLock push(&sink->pushMutex);
    return sink->streamId >= 0;
}
