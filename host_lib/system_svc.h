// SYSTEM service: the host half of the vision processor's system service.
//
// It forwards the system ioctls to its peer, and it sends large blocks (a
// CEVA application, look-up tables, flash data, memory buffers) to the
// processor as numbered chunks of 8,192 bytes on its data channel, each block
// acknowledged by the peer with a data message of the chunk's code. The
// caller polls for that acknowledgement with INTERNAL_CMDG_WAIT_ACK_E. The
// service also collects the chunks the processor sends back when the host
// reads flash or a memory buffer, into the destination the read request
// named, never past the room that request gave.
//
// Every operation runs on the service's own thread (the framework's), except
// open and close, which run on the thread that opens or closes the service
// while this thread reads nothing; so the state needs no lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "host_lib/service.h"
#include "runtime/err_codes.h"

// --- status codes (side HOST, module SYSTEM) -------------------------------------

constexpr ERRG_codeE SYSTEM__RET_SUCCESS = 0x01270000;
constexpr ERRG_codeE SYSTEM__ERR_INVALID_ARGS = 0x01270002;  // unknown ioctl or message, refused request
constexpr ERRG_codeE SYSTEM__ERR_NO_ACK = 0x01270006;        // the awaited acknowledgement has not come
constexpr ERRG_codeE SYSTEM__ERR_IO = 0x01270007;            // a chunk could not be handed to the connection
constexpr ERRG_codeE SYSTEM__ERR_WRONG_DATA_TYPE = 0x0127000A;

constexpr uint32_t SYSTEMG_CHUNK_SIZE = 8192;
constexpr uint32_t SYSTEMG_LUT_HEADER_SIZE = 128;
// Chunk indices travel in 16 bits: a block may have at most this many chunks.
constexpr uint32_t SYSTEMG_MAX_CHUNKS = 0x10000;
// A chunk that has not gone out after this long ends its transfer: the pool
// stayed empty or the connection kept refusing, so the link is stuck, and the
// service thread must stay free to end within the framework's join time.
constexpr uint32_t SYSTEMG_CHUNK_RETRY_LIMIT_MS = 500;

enum SYSTEMG_dataTypeE : uint32_t {
    SYSTEMG_DATA_CEVA_APP_E = 0x01000000,
    SYSTEMG_DATA_CEVA_APP_1_E = 0x01000001,
    SYSTEMG_DATA_LUT_E = 0x01000002,
    SYSTEMG_DATA_FLASH_E = 0x01000003,
    SYSTEMG_DATA_BUFFER_E = 0x01000004,
};

// --- records (host form; the marshalling table carries their wire form) -------------

// INTERNAL_CMDG_SEND_BUF_E. For SYSTEMG_DATA_BUFFER_E, data points to a
// SYSTEMG_bufferTargetT.
struct SYSTEMG_sendBufParamsT {
    uint32_t dataType;  // SYSTEMG_dataTypeE
    uint32_t word;      // not interpreted by the host
    uint32_t size;      // bytes at data (a LUT: its 128-byte header included)
    const void* data;
    void* pointer;  // not interpreted by the host
};
static_assert(offsetof(SYSTEMG_sendBufParamsT, size) == 8);
static_assert(offsetof(SYSTEMG_sendBufParamsT, data) == 16);
static_assert(offsetof(SYSTEMG_sendBufParamsT, pointer) == 24);
static_assert(sizeof(SYSTEMG_sendBufParamsT) == 32);

struct SYSTEMG_bufferTargetT {
    const void* bytes;
    uint32_t address;  // where the processor puts the first byte
};

// INTERNAL_CMDG_WAIT_ACK_E.
struct SYSTEMG_waitAckParamsT {
    uint32_t dataType;
};
static_assert(sizeof(SYSTEMG_waitAckParamsT) == 4);

// SYSTEM_FLASH_READ_E: size is how many bytes are asked for, and so how many
// the destination must hold; nothing is written past it.
struct SYSTEMG_flashReadParamsT {
    uint32_t size;
    void* destination;
};
static_assert(offsetof(SYSTEMG_flashReadParamsT, destination) == 8);
static_assert(sizeof(SYSTEMG_flashReadParamsT) == 16);

// SYSTEM_READ_BUF_E: the processor's address and the byte count, which the
// destination must hold.
struct SYSTEMG_bufReadParamsT {
    uint32_t address;
    uint32_t size;
    void* destination;
};
static_assert(offsetof(SYSTEMG_bufReadParamsT, size) == 4);
static_assert(offsetof(SYSTEMG_bufReadParamsT, destination) == 8);
static_assert(sizeof(SYSTEMG_bufReadParamsT) == 16);

// Chunk headers: the parameter records of the chunk data messages.
struct SYSTEMG_cevaChunkT {  // INTERNAL_CMDG_CEVA_CHUNK_E
    uint32_t dataType;
    uint16_t chunkIndex;
    uint32_t chunkSize;
    uint32_t chunkCount;
};
static_assert(offsetof(SYSTEMG_cevaChunkT, chunkIndex) == 4);
static_assert(offsetof(SYSTEMG_cevaChunkT, chunkSize) == 8);
static_assert(offsetof(SYSTEMG_cevaChunkT, chunkCount) == 12);
static_assert(sizeof(SYSTEMG_cevaChunkT) == 16);

struct SYSTEMG_lutChunkT {  // INTERNAL_CMDG_LUT_CHUNK_E
    uint32_t lutId;  // bits 0..30 of the LUT's first word
    uint16_t flag;   // 1 when bit 31 of that word is set
    uint16_t chunkIndex;
    uint32_t chunkSize;
    uint32_t chunkCount;
    uint32_t totalSize;  // the LUT without its header
};
static_assert(offsetof(SYSTEMG_lutChunkT, flag) == 4);
static_assert(offsetof(SYSTEMG_lutChunkT, chunkIndex) == 6);
static_assert(offsetof(SYSTEMG_lutChunkT, chunkSize) == 8);
static_assert(offsetof(SYSTEMG_lutChunkT, totalSize) == 16);
static_assert(sizeof(SYSTEMG_lutChunkT) == 20);

struct SYSTEMG_bufChunkT {  // INTERNAL_CMDG_BUF_CHUNK_E
    uint32_t address;  // the target address of this chunk
    uint16_t chunkIndex;
    uint32_t chunkSize;
    uint32_t chunkCount;
};
static_assert(offsetof(SYSTEMG_bufChunkT, chunkIndex) == 4);
static_assert(offsetof(SYSTEMG_bufChunkT, chunkSize) == 8);
static_assert(sizeof(SYSTEMG_bufChunkT) == 16);

struct SYSTEMG_readBufChunkT {  // INTERNAL_CMDG_READ_BUF_CHUNK_E, from the peer
    uint16_t chunkIndex;
    uint32_t size;
    uint32_t chunkCount;
};
static_assert(offsetof(SYSTEMG_readBufChunkT, size) == 4);
static_assert(offsetof(SYSTEMG_readBufChunkT, chunkCount) == 8);
static_assert(sizeof(SYSTEMG_readBufChunkT) == 12);

struct SYSTEMG_flashChunkT {  // INTERNAL_CMDG_FLASH_WRITE_CHUNK_E and _READ_CHUNK_E
    uint16_t word;  // 1 in the chunks the host sends
    uint16_t chunkIndex;
    uint32_t chunkSize;
    uint32_t chunkCount;
    uint32_t totalSize;
};
static_assert(offsetof(SYSTEMG_flashChunkT, chunkIndex) == 2);
static_assert(offsetof(SYSTEMG_flashChunkT, chunkSize) == 4);
static_assert(offsetof(SYSTEMG_flashChunkT, totalSize) == 12);
static_assert(sizeof(SYSTEMG_flashChunkT) == 16);

// Prints the service manager's statistics. The service manager registers its
// report here when it comes up; until one is registered, statistics requests
// only go to the peer.
using SYSTEMG_statsHookT = void (*)();

// The service's state, one per driver context in its context slot, created
// zeroed. Open clears everything from handle to the read bounds; the hook
// belongs to whoever registered it and survives.
struct SYSTEMG_stateT {
    SERVICEG_serviceT* handle;
    uint32_t createdSec;
    uint16_t createdMs;
    uint32_t lastStatsSec;
    uint16_t lastStatsMs;
    MEM_POOLG_handleT dataPool;
    uint32_t cevaAck;
    uint32_t lutAck;
    uint32_t flashAck;  // also set when a flash read completes
    uint32_t bufferAck;
    uint8_t* flashReadDest;
    uint32_t flashChunkCount;     // announced by the last flash-read chunk
    uint32_t flashChunksReceived;
    uint8_t* bufReadPos;
    // A destination is written only while its read is pending, and never past
    // the room its request gave.
    uint32_t flashReadSize;
    uint32_t bufReadRoom;  // bytes left from bufReadPos
    uint32_t flashReadPending;
    uint32_t bufReadPending;
    SYSTEMG_statsHookT statsHook;
};

// --- operations ----------------------------------------------------------------------

// The operation table the service manager gives the framework for sid 1:
// getName, open, close, hostIoctl, handleMsg; no periodic work, no fast path.
const SERVICE_opsTable* SYSTEMG_getOpsTable();

const char* SYSTEMP_getName();
ERRG_codeE SYSTEMP_open(SERVICEG_requestT* request);
ERRG_codeE SYSTEMP_close(SERVICEG_requestT* request);
ERRG_codeE SYSTEMP_hostIoctl(SERVICEG_requestT* request);
ERRG_codeE SYSTEMP_handleMsg(uint32_t code, void* params, void* payload, uint32_t payloadLength,
                             MEM_POOLG_bufDescT** holder);

// Logs the service's timing and restarts the "from last statistics" clock.
void SYSTEMG_showStats();
// Registers (or, with null, removes) the service manager's statistics report
// of this driver context.
void SYSTEMG_setStatsHook(SYSTEMG_statsHookT hook);
// This driver context's state (created on first use).
SYSTEMG_stateT* SYSTEMG_getState();

// --- command names ------------------------------------------------------------------

struct VPU_CMDG_cmdNameT {
    uint32_t code;
    const char* name;
};
// The names the services print in their log lines, by code.
extern const std::span<const VPU_CMDG_cmdNameT> VPU_CMDG_cmdNameTable;
// The name of code, "INVALID_CMD" for a code without one.
const char* VPU_CMDG_cmdToString(uint32_t code);
