// Streamer: glues the fragments of a streamed frame into one pool buffer and
// queues the finished frame for the driver's stream thread.
//
// A frame arrives from the vision processor as a sequence of data messages on
// a frame service's data channel. The first fragment's buffer (sized for a
// whole frame by the data pool) becomes the frame buffer and later fragments
// are copied into it once. A finished frame becomes one 128-byte sink message
// in the sink queue of its stream (ids 0..7), from which the service's read
// function takes it. The sink message carries the buffer, never the bytes;
// whoever reads a frame owns its buffer and gives it back.
//
// Threads: reassembly and pushing run on a connection's receive thread,
// reading on the driver's stream threads, adding and removing sinks on the
// service thread. Each sink's push mutex and read mutex serialise these;
// removal takes both, push before read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host_lib/service.h"
#include "runtime/err_codes.h"
#include "runtime/logger.h"
#include "runtime/mem_pool.h"
#include "runtime/os_layer.h"

// --- status codes (side HOST, module STREAMER) ----------------------------------

constexpr ERRG_codeE STREAMER__RET_SUCCESS = 0x1300000;
constexpr ERRG_codeE STREAMER__ERR_SINK_NOT_FOUND = 0x1300001;
constexpr ERRG_codeE STREAMER__ERR_INVALID_ARGS = 0x1300002;
constexpr ERRG_codeE STREAMER__ERR_OUT_OF_RSRCS = 0x1300004;
constexpr ERRG_codeE STREAMER__ERR_NOTHING_RECEIVED = 0x1300006;
constexpr ERRG_codeE STREAMER__ERR_RCV_WRONG_STREAM_ID = 0x130000B;
constexpr ERRG_codeE STREAMER__ERR_DQUEUE_WRONG_STREAM_ID = 0x130000C;
constexpr ERRG_codeE STREAMER__ERR_SINK_QUE_OVERFLOW = 0x130000E;
constexpr ERRG_codeE STREAMER__ERR_SINK_REMOVED = 0x130000F;

constexpr uint32_t STREAMERG_NUM_STREAMERS = 5;
constexpr uint32_t STREAMERG_NUM_STREAMS = 8;  // stream ids 0..7
constexpr uint32_t STREAMERG_SINK_MSG_SIZE = 128;
constexpr uint32_t STREAMERG_READ_SLICE_MS = 2;

// --- records -----------------------------------------------------------------------

// The generic part of a frame service's data-message record (host form). The
// services' own records continue behind it with fields the processor defines.
struct STREAMER_frameHdrT {
    uint32_t streamId;    // 0..7
    uint16_t frameWord;   // 4
    uint16_t word6;       // 6
    uint16_t fragIndex;   // 8
    uint16_t reserved10;  // 10
    uint32_t fragLength;  // 12: bytes this fragment carries
    uint32_t fragCount;   // 16: fragments of the frame
    uint32_t frameValue;  // 20
    uint64_t frameStamp;  // 24
};
static_assert(offsetof(STREAMER_frameHdrT, frameWord) == 4);
static_assert(offsetof(STREAMER_frameHdrT, word6) == 6);
static_assert(offsetof(STREAMER_frameHdrT, fragIndex) == 8);
static_assert(offsetof(STREAMER_frameHdrT, fragLength) == 12);
static_assert(offsetof(STREAMER_frameHdrT, fragCount) == 16);
static_assert(offsetof(STREAMER_frameHdrT, frameValue) == 20);
static_assert(offsetof(STREAMER_frameHdrT, frameStamp) == 24);
static_assert(sizeof(STREAMER_frameHdrT) == 32);

// The unit of a sink queue. header[k] is byte k of the frame's record, as far
// as the service's fill function copies it; the rest is zero.
constexpr uint32_t STREAMERG_SINK_HDR_OFFSET = 24;
constexpr uint32_t STREAMERG_SINK_HDR_ROOM = STREAMERG_SINK_MSG_SIZE - STREAMERG_SINK_HDR_OFFSET;
struct STREAMER_sinkMsgT {
    MEM_POOLG_bufDescT* buffer;  // the frame; the reader owns it
    void* data;
    uint32_t length;
    uint32_t reserved;
    uint8_t header[STREAMERG_SINK_HDR_ROOM];
};
static_assert(offsetof(STREAMER_sinkMsgT, data) == 8);
static_assert(offsetof(STREAMER_sinkMsgT, length) == 16);
static_assert(offsetof(STREAMER_sinkMsgT, header) == STREAMERG_SINK_HDR_OFFSET);
static_assert(sizeof(STREAMER_sinkMsgT) == STREAMERG_SINK_MSG_SIZE);

// A service's fill function: copies its record bytes into the sink message.
using STREAMER_fillFuncT = void (*)(STREAMER_sinkMsgT* msg, const void* header);

struct STREAMER_sinkCfgT {
    uint32_t depth;    // queue length in messages
    uint32_t msgSize;  // 128
    STREAMER_fillFuncT fill;
};

struct STREAMER_streamerT;

struct STREAMER_sinkCountersT {
    uint32_t received;
    uint64_t receivedBytes;
    uint32_t dropped;
    uint32_t dequeued;
    // Frame bytes that reassembly copied out of later fragments into the
    // frame's first buffer: the one copy the host makes of a frame's data.
    uint64_t copiedBytes;
};

// One per stream id.
struct STREAMER_sinkT {
    STREAMER_streamerT* owner;
    int32_t streamId;  // -1 while free
    OS_LYRG_msgQueT queue;
    uint32_t queueCreated;
    OS_LYRG_mutexT pushMutex;
    uint32_t pushMutexCreated;
    OS_LYRG_mutexT readMutex;
    uint32_t readMutexCreated;
    uint32_t depth;
    STREAMER_sinkCountersT counters;  // received and dropped under the push mutex, dequeued under the read mutex
    STREAMER_sinkCountersT reported;  // the counters at the last statistics report
    uint32_t expectedFrag;            // fragment state: under the push mutex
    uint32_t bytesSoFar;
    uint32_t msgSize;
    STREAMER_fillFuncT fill;
};

// Sources are not used on the host (nothing adds one); the record exists so
// that closing and the statistics treat a present one properly.
struct STREAMER_sourceT {
    int32_t streamId;  // -1 while free
    OS_LYRG_msgQueT queue;
    uint32_t queueCreated;
    uint32_t in, sent, sentMb, dropped, skipped;
    uint32_t lastIn, lastSent, lastSentMb, lastDropped, lastSkipped;
};

// One per opened frame service.
struct STREAMER_streamerT {
    SERVICEG_serviceT* owner;  // null: free
    STREAMER_sourceT* sources[STREAMERG_NUM_STREAMS];
    STREAMER_sinkT* sinks[STREAMERG_NUM_STREAMS];
};

// --- operations ------------------------------------------------------------------------

ERRG_codeE STREAMERG_init();
ERRG_codeE STREAMERG_open(SERVICEG_serviceT* service, STREAMER_streamerT** streamer);
// Removes every source and sink of the streamer (waiting frames are
// released) and frees the record.
ERRG_codeE STREAMERG_close(STREAMER_streamerT* streamer);
ERRG_codeE STREAMERG_addSink(STREAMER_streamerT* streamer, const STREAMER_sinkCfgT* cfg, uint32_t streamId);
ERRG_codeE STREAMERG_remSink(STREAMER_streamerT* streamer, uint32_t streamId);
ERRG_codeE STREAMERG_remSrc(STREAMER_streamerT* streamer, uint32_t streamId);

// Adds one fragment to the frame in progress at *holder. fragment is the
// fragment's payload chain, which stays with the caller: a fragment 0 that
// starts a frame takes a reference of its own. Returns true when the frame
// is complete: *holder then holds it, its first buffer's length the bytes it
// carries, and the caller takes it over. A fragment that is out of order or
// inconsistent (no payload, fewer bytes than its header says, more than the
// frame buffer holds, an index at or beyond its count) drops the frame in
// progress; whatever a drop or a restart abandons is released here.
bool STREAMERG_reassembleFrame(const STREAMER_frameHdrT* header, MEM_POOLG_bufDescT* fragment,
                               MEM_POOLG_bufDescT** holder);
// Queues a finished frame. The frame is taken over in every case: on any
// failure it is released here.
ERRG_codeE STREAMERG_pushFrame(STREAMER_streamerT* streamer, const STREAMER_frameHdrT* header,
                               MEM_POOLG_bufDescT* frame);
ERRG_codeE STREAMERG_readFrame(STREAMER_streamerT* streamer, uint32_t streamId, uint32_t timeoutMs,
                               STREAMER_sinkMsgT* msg);
void STREAMERG_printStats(STREAMER_streamerT* streamer, int32_t level, uint32_t elapsedMs);

// The counters of a stream's sink (zeros for an id outside 0..7).
STREAMER_sinkCountersT STREAMERG_getSinkCounters(uint32_t streamId);
// True while the stream's sink is in use.
bool STREAMERG_isSinkInUse(uint32_t streamId);
