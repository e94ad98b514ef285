// ALG service: the host side of the processor's algorithm service.
//
// It forwards start, stop and the other algorithm requests, sends tables of
// 8-byte entries to the processor as one data message, and queues the
// 2,060-byte results that the processor sends, in "/HostAlgDataQue", for a
// reader that copies them out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host_lib/host_api_records.h"
#include "host_lib/service.h"
#include "runtime/err_codes.h"
#include "runtime/mem_pool.h"

// --- status codes (side HOST, module ALG) ----------------------------------------------

constexpr ERRG_codeE ALG__RET_SUCCESS = 0x01080000;
constexpr ERRG_codeE ALG__ERR_INVALID_ARGS = 0x01080002;
// A result was not queued because the queue was full.
constexpr ERRG_codeE ALG__ERR_QUEUE_FULL = 0x0108000F;
constexpr ERRG_codeE ALG__ERR_CREATE_QUEUE_FAIL = 0x01080010;
// The read found no result in time (the LOGGER module's time-out code, as
// every sample reader of the host API expects).
constexpr ERRG_codeE ALG__ERR_READ_TIMEOUT = 0x01150006;

constexpr uint32_t ALGG_QUEUE_DEPTH = 128;
constexpr uint32_t ALGG_TABLE_ENTRY_SIZE = 8;

enum ALGG_stateE : uint32_t {
    ALGG_STATE_CLOSED_E = 1,
    ALGG_STATE_OPENED_E = 2,
    ALGG_STATE_STARTED_E = 3,
};

// --- records ------------------------------------------------------------------------------

// The 2,060 result bytes that a reader receives.
struct ALGG_resultT {
    uint32_t word8;
    uint32_t word12;
    uint32_t word16;
    uint8_t block0[1024];
    uint8_t block1[1024];
};
static_assert(sizeof(ALGG_resultT) == 2060);

// Host record of ALG_RESULT_E: the result sits at offset 8.
struct ALGG_resultRecordT {
    uint64_t reserved;
    ALGG_resultT result;
};
static_assert(offsetof(ALGG_resultRecordT, result) == 8);
static_assert(offsetof(ALGG_resultRecordT, result) + offsetof(ALGG_resultT, word12) == 12);
static_assert(offsetof(ALGG_resultRecordT, result) + offsetof(ALGG_resultT, block0) == 20);
static_assert(offsetof(ALGG_resultRecordT, result) + offsetof(ALGG_resultT, block1) == 1044);
static_assert(sizeof(ALGG_resultRecordT) == VPUG_ALG_RESULT_SIZE);

// One message of the result queue: the chain that carried the result (null
// when the result came without payload), then the result.
struct ALGG_queueMsgT {
    MEM_POOLG_bufDescT* chain;
    ALGG_resultT result;
};
static_assert(offsetof(ALGG_queueMsgT, result) == 8);
static_assert(sizeof(ALGG_queueMsgT) == VPUG_ALG_RESULT_SIZE);

// ALG_SEND_TABLE_E: count entries of 8 bytes at `entries`.
struct ALGG_tableRequestT {
    uint32_t word0;
    uint32_t word1;
    uint32_t word2;
    uint32_t count;
    const void* entries;
};
static_assert(offsetof(ALGG_tableRequestT, count) == 12);
static_assert(offsetof(ALGG_tableRequestT, entries) == 16);
static_assert(sizeof(ALGG_tableRequestT) == 24);

// VPU_CMDG_ALG_STREAM_LAST_E: the record ahead of the table's entries.
struct ALGG_tableMsgT {
    uint32_t word0;
    uint32_t word1;
    uint32_t word2;
    uint32_t count;
};
static_assert(sizeof(ALGG_tableMsgT) == 16);

// ALG_START_E / ALG_STOP_E.
struct ALGG_ctrlParamsT {
    uint32_t word0;
    uint32_t word1;
};
static_assert(sizeof(ALGG_ctrlParamsT) == 8);

// --- operations -----------------------------------------------------------------------------

// getName, open, close, hostIoctl, handleMsg, no periodic hook, no control
// fast path, the data fast path.
const SERVICE_opsTable* ALGG_getOps();
const char* ALGG_getName();
ERRG_codeE ALGG_open(SERVICEG_requestT* request);
ERRG_codeE ALGG_close(SERVICEG_requestT* request);
ERRG_codeE ALGG_hostIoctl(SERVICEG_requestT* request);
ERRG_codeE ALGP_hostHandleMsg(uint32_t code, void* params, void* payload, uint32_t payloadLength,
                              MEM_POOLG_bufDescT** holder);
ERRG_codeE ALGP_hostReceiveFrame(uint32_t code, void* params, void* payload, uint32_t payloadLength,
                                 MEM_POOLG_bufDescT** holder);
// The read function handed out by VPU_CMDG_GET_READ_FUNC_E: waits up to
// timeoutMs for the next result and copies it to item->hdrRecord (an
// ALGG_resultT) when one is given. The chain that carried the result is
// freed here, so item->buffer is always null. The stream id is ignored. A
// read must not run across the service's close.
ERRG_codeE ALGP_read(VPUG_readItemT* item, uint32_t streamId, uint32_t timeoutMs);

struct ALGG_statsT {
    uint32_t queued;
    uint32_t dropped;  // arrived while not started
    uint32_t overflows;
    uint32_t state;    // ALGG_stateE, 0 before the first open
};
ALGG_statsT ALGG_getStats();
