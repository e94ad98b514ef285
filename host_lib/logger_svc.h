// LOGGER service: the host side of the vision processor's logger.
//
// It carries the logging parameters to the processor, turns forwarding of the
// processor's log lines on and off, prints those lines through the host
// logger and queues them for a reader. While forwarding is on, the host
// logger also hands this service a copy of every host line (its device
// sink); those copies travel in a queue of their own, so that they can never
// crowd the processor's lines out of the reader's queue or its pool.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host_lib/host_api_records.h"
#include "host_lib/service.h"
#include "runtime/err_codes.h"
#include "runtime/mem_pool.h"

// --- status codes (side HOST, module LOGGER) -------------------------------------

constexpr ERRG_codeE LOGGER__RET_SUCCESS = 0x01150000;
constexpr ERRG_codeE LOGGER__ERR_UNKNOWN_IOCTL = 0x01150002;
// The read found no line in time.
constexpr ERRG_codeE LOGGER__ERR_TIMEOUT = 0x01150006;
constexpr ERRG_codeE LOGGER__ERR_CREATE_MSG_Q_FAIL = 0x0115000E;

// --- sizes -------------------------------------------------------------------------

constexpr uint32_t LOGGERG_QUEUE_DEPTH = 50;
constexpr uint32_t LOGGERG_QUEUE_MSG_SIZE = 56;
constexpr uint32_t LOGGERG_POOL_BUFFERS = 50;
constexpr uint32_t LOGGERG_POOL_BUF_SIZE = 432;
// Room for one processor line in a pool buffer: 399 characters and the NUL.
constexpr uint32_t LOGGERG_LINE_BUF_SIZE = 400;
// Host-line copies parked for the processor at any time; further copies are
// freed by the host logger itself.
constexpr uint32_t LOGGERG_COPY_QUEUE_DEPTH = 8;

// The data message in which the processor sends one log line.
constexpr uint32_t LOGGER_LINE_E = 0x02000005;

enum LOGGERG_stateE : uint32_t {
    LOGGERG_STATE_CLOSED_E = 1,
    LOGGERG_STATE_OPENED_E = 2,
    LOGGERG_STATE_STARTED_E = 3,
};

// --- records -------------------------------------------------------------------------

// Header record of LOGGER_LINE_E; the text follows as payload.
struct LOGGERG_lineHdrT {
    uint32_t length;    // text bytes the processor meant to send (trusted only as far as they arrived)
    uint32_t core;      // the processor core that wrote the line (not interpreted)
    uint32_t sequence;  // consecutive per line; a gap counts as a discontinuity
};
static_assert(sizeof(LOGGERG_lineHdrT) == 12);

// One message of the reader's queue: a pool buffer holding one NUL-terminated
// line (its len is the text length), then zero bytes.
struct LOGGERG_queueMsgT {
    MEM_POOLG_bufDescT* line;
    uint8_t reserved[48];
};
static_assert(sizeof(LOGGERG_queueMsgT) == LOGGERG_QUEUE_MSG_SIZE);
static_assert(offsetof(LOGGERG_queueMsgT, reserved) == 8);

// --- operations --------------------------------------------------------------------------

// The service's operations: getName, open, close, hostIoctl, handleMsg.
const SERVICE_opsTable* LOGGERG_getOps();
const char* LOGGERG_getName();
ERRG_codeE LOGGERG_open(SERVICEG_requestT* request);
ERRG_codeE LOGGERG_close(SERVICEG_requestT* request);
ERRG_codeE LOGGERG_hostIoctl(SERVICEG_requestT* request);
ERRG_codeE LOGGERP_hostReceiveMessage(uint32_t code, void* params, void* payload, uint32_t payloadLength,
                                      MEM_POOLG_bufDescT** holder);
// The read function handed out by VPU_CMDG_GET_READ_FUNC_E: waits up to
// timeoutMs for the next line and fills item->buffer (the chain, given back
// with VPU_CMDG_FREE_BUF_E), item->data (the NUL-terminated text) and
// item->length (its characters). The stream id is ignored. A read must not
// run across the service's close.
ERRG_codeE LOGGERP_read(VPUG_readItemT* item, uint32_t streamId, uint32_t timeoutMs);
void LOGGERG_showStats();

// Counters of the current context's service, for statistics and tests.
struct LOGGERG_countersT {
    uint32_t bytes;
    uint32_t packets;
    uint32_t discontinuities;
    uint32_t outOfMemory;
    uint32_t overflows;
    uint32_t state;  // LOGGERG_stateE, 0 before the first open
};
LOGGERG_countersT LOGGERG_getCounters();
// The service's pool (null while closed).
MEM_POOLG_handleT LOGGERG_getPool();
