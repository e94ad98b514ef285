// Frame services: DEPTH, VIDEO and WEBCAM deliver image frames from the vision
// processor to the driver. They are one family, described by one table
// (frame_svc_table.cpp): each opens a streamer record when it is opened, adds
// a sink for a stream when the peer confirms the stream's start, removes it
// when the peer confirms the stop, reassembles the fragments of its data
// channel into frames on the receive thread, and gives the driver a read
// function that takes the next frame out of the sink.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host_lib/host_api_records.h"
#include "host_lib/service.h"
#include "host_lib/streamer.h"
#include "runtime/context.h"
#include "runtime/err_codes.h"

// --- status codes ---------------------------------------------------------------------

constexpr ERRG_codeE DEPTH__RET_SUCCESS = 0x10A0000;
constexpr ERRG_codeE DEPTH__ERR_UNKNOWN_IOCTL = 0x10A0002;
constexpr ERRG_codeE DEPTH__ERR_WRONG_DATA_TYPE = 0x10A0014;
constexpr ERRG_codeE VIDEO__RET_SUCCESS = 0x10B0000;
constexpr ERRG_codeE VIDEO__ERR_UNKNOWN_IOCTL = 0x10B0002;
constexpr ERRG_codeE VIDEO__ERR_WRONG_DATA_TYPE = 0x10B0014;
constexpr ERRG_codeE WEBCAM__RET_SUCCESS = 0x1290000;
constexpr ERRG_codeE WEBCAM__ERR_UNKNOWN_IOCTL = 0x1290002;
constexpr ERRG_codeE WEBCAM__ERR_WRONG_DATA_TYPE = 0x1290014;

// Sink depth and message size every frame service asks for.
constexpr uint32_t FRAME_SVCG_SINK_DEPTH = 4;

// --- header records -------------------------------------------------------------------
// Filled by a read function when the caller's item record carries one. Each
// field is named by the offset of the frame record it is copied from; the
// processor defines what they mean.

struct DEPTH_frameHdrRec {
    uint16_t f32, f34;
    uint32_t f36, f40, f44, f48, f52, f56, f60, f64, f68, f72, f76, f80;
    uint8_t f84, f85;
};
static_assert(offsetof(DEPTH_frameHdrRec, f36) == 4);
static_assert(offsetof(DEPTH_frameHdrRec, f80) == 48);
static_assert(offsetof(DEPTH_frameHdrRec, f84) == 52);
static_assert(offsetof(DEPTH_frameHdrRec, f85) == 53);
static_assert(sizeof(DEPTH_frameHdrRec) == 56);

struct VIDEO_frameHdrRec {
    uint16_t f32, f34;
    uint32_t f36, f40, f44, f48, f52, f56, f60, f64, f68, f72;
    uint16_t f92, f94, f96, f98, f80, f82, f84, f86;
};
static_assert(offsetof(VIDEO_frameHdrRec, f72) == 40);
static_assert(offsetof(VIDEO_frameHdrRec, f92) == 44);
static_assert(offsetof(VIDEO_frameHdrRec, f86) == 58);
static_assert(sizeof(VIDEO_frameHdrRec) == 60);

struct WEBCAM_frameHdrRec {
    uint16_t f32, f34;
    uint32_t f36, f40, f44, f48;
};
static_assert(offsetof(WEBCAM_frameHdrRec, f48) == 16);
static_assert(sizeof(WEBCAM_frameHdrRec) == 20);

// --- the family table -----------------------------------------------------------------------

enum FRAME_SVCG_memberE : uint32_t {
    FRAME_SVCG_DEPTH_E = 0,
    FRAME_SVCG_VIDEO_E = 1,
    FRAME_SVCG_WEBCAM_E = 2,
    FRAME_SVCG_NUM_MEMBERS = 3,
};

// One field of a header record: its size, where it lies in the record, and
// the frame-record offset it is copied from.
struct FRAME_SVCG_hdrFieldT {
    uint8_t size;
    uint8_t recordOffset;
    uint8_t frameOffset;
};

struct FRAME_SVCG_descT {
    const char* name;           // service name
    uint32_t sid;
    PZContextSlotId slot;
    uint32_t connection;        // USB interface of the connection
    uint32_t ctrlChannel;
    uint32_t dataChannel;
    uint32_t dataPool;          // data pool of the service manager's pool table
    uint32_t dataBufSize;
    uint32_t dataBufCount;
    uint32_t startCode;
    uint32_t stopCode;
    uint32_t frameCode;         // the data message that carries a fragment
    uint32_t dataTypeFirst;     // accepted data types of a stream start
    uint32_t dataTypeLast;
    const char* channelWord;    // "DPE" or "IAE" in the stream-start lines
    ERRG_codeE success;
    ERRG_codeE unknownIoctl;
    ERRG_codeE wrongDataType;
    uint32_t sinkHeaderBytes;   // frame-record bytes the sink message carries
    const FRAME_SVCG_hdrFieldT* hdrFields;
    uint32_t numHdrFields;
    uint32_t hdrRecordSize;
    const char* startFailedText;
    const char* stopFailedText;
    const char* statsTitle;
};

extern const FRAME_SVCG_descT FRAME_SVCG_family[FRAME_SVCG_NUM_MEMBERS];

// --- operations ----------------------------------------------------------------------------------

const SERVICE_opsTable* DEPTHG_getService();
const SERVICE_opsTable* VIDEOG_getService();
const SERVICE_opsTable* WEBCAMG_getService();
void DEPTHG_showStats();
void VIDEOG_showStats();
void WEBCAMG_showStats();

const char* DEPTHP_getName();
ERRG_codeE DEPTHP_open(SERVICEG_requestT* request);
ERRG_codeE DEPTHP_close(SERVICEG_requestT* request);
ERRG_codeE DEPTHP_hostIoctl(SERVICEG_requestT* request);
ERRG_codeE DEPTHP_hostHandleMsg(uint32_t code, void* params, void* payload, uint32_t length,
                                MEM_POOLG_bufDescT** holder);
ERRG_codeE DEPTHP_hostReceiveFrame(uint32_t code, void* params, void* payload, uint32_t length,
                                   MEM_POOLG_bufDescT** holder);
ERRG_codeE DEPTHP_read(VPUG_readItemT* item, uint32_t streamId, uint32_t timeoutMs);
void DEPTHP_fillSinkMsg(STREAMER_sinkMsgT* msg, const void* header);

const char* VIDEOP_getName();
ERRG_codeE VIDEOP_open(SERVICEG_requestT* request);
ERRG_codeE VIDEOP_close(SERVICEG_requestT* request);
ERRG_codeE VIDEOP_hostIoctl(SERVICEG_requestT* request);
ERRG_codeE VIDEOP_hostHandleMsg(uint32_t code, void* params, void* payload, uint32_t length,
                                MEM_POOLG_bufDescT** holder);
ERRG_codeE VIDEOP_hostReceiveFrame(uint32_t code, void* params, void* payload, uint32_t length,
                                   MEM_POOLG_bufDescT** holder);
ERRG_codeE VIDEOP_read(VPUG_readItemT* item, uint32_t streamId, uint32_t timeoutMs);
void VIDEOP_fillSinkMsg(STREAMER_sinkMsgT* msg, const void* header);

const char* WEBCAMP_getName();
ERRG_codeE WEBCAMP_open(SERVICEG_requestT* request);
ERRG_codeE WEBCAMP_close(SERVICEG_requestT* request);
ERRG_codeE WEBCAMP_hostIoctl(SERVICEG_requestT* request);
ERRG_codeE WEBCAMP_hostHandleMsg(uint32_t code, void* params, void* payload, uint32_t length,
                                 MEM_POOLG_bufDescT** holder);
ERRG_codeE WEBCAMP_hostReceiveFrame(uint32_t code, void* params, void* payload, uint32_t length,
                                    MEM_POOLG_bufDescT** holder);
ERRG_codeE WEBCAMP_read(VPUG_readItemT* item, uint32_t streamId, uint32_t timeoutMs);
void WEBCAMP_fillSinkMsg(STREAMER_sinkMsgT* msg, const void* header);

// Whether a frame service is open (its streamer exists).
bool FRAME_SVCG_isOpen(FRAME_SVCG_memberE member);
