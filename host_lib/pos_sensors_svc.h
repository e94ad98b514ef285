// POS_SENSORS service: delivers the samples of the sensor's inertial
// measurement unit to the driver.
//
// The driver configures the sensors through it, starts and stops delivery,
// and reads samples one by one with the read function the service hands out.
// Samples arrive as data messages on the service's data channel; the data
// fast path queues each, with the chain that carried it, in
// "/HostPos_sensorsDataQue" while delivery is started, and frees it otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host_lib/host_api_records.h"
#include "host_lib/service.h"
#include "runtime/err_codes.h"
#include "runtime/mem_pool.h"

// --- status codes (side HOST, module POS_SENSORS) ----------------------------------

constexpr ERRG_codeE POS_SENSORS__RET_SUCCESS = 0x012F0000;
constexpr ERRG_codeE POS_SENSORS__ERR_UNKNOWN_IOCTL = 0x012F0002;
// A sample reached the service thread instead of the fast path.
constexpr ERRG_codeE POS_SENSORS__ERR_QUEUED_DATA_NOT_SUPPORTED = 0x012F0008;
constexpr ERRG_codeE POS_SENSORS__ERR_CREATE_QUEUE_FAIL = 0x012F000C;
constexpr ERRG_codeE POS_SENSORS__ERR_DELETE_QUEUE_FAIL = 0x012F000D;
// The read found no sample in time (the LOGGER module's time-out code, which
// the driver's IMU stream expects).
constexpr ERRG_codeE POS_SENSORS__ERR_READ_TIMEOUT = 0x01150006;

constexpr uint32_t POS_SENSORSG_QUEUE_DEPTH = 128;

enum POS_SENSORSG_stateE : uint32_t {
    POS_SENSORSG_STATE_CLOSED_E = 1,
    POS_SENSORSG_STATE_OPENED_E = 2,
    POS_SENSORSG_STATE_STARTED_E = 3,
};

// One message of the sample queue: the chain that carried the sample (null
// when the sample came without payload), then the sample.
struct POS_SENSORSG_queueMsgT {
    MEM_POOLG_bufDescT* chain;
    VPUG_posSensorSample sample;
};
static_assert(offsetof(POS_SENSORSG_queueMsgT, sample) == 8);
static_assert(sizeof(POS_SENSORSG_queueMsgT) == 40);

// Delivery statistics of the current context's service.
struct POS_SENSORSG_statsT {
    uint32_t received;
    uint32_t lost;
    uint32_t overflows;
    uint32_t timeouts;  // reads that found no sample in time
    uint32_t state;     // POS_SENSORSG_stateE, 0 before the first open
};

// --- operations -----------------------------------------------------------------------

// getName, open, close, hostIoctl, handleMsg, no periodic hook, no control
// fast path, the data fast path.
const SERVICE_opsTable* POS_SENSORSG_getOps();
const char* POS_SENSORSG_getName();
ERRG_codeE POS_SENSORSG_open(SERVICEG_requestT* request);
ERRG_codeE POS_SENSORSG_close(SERVICEG_requestT* request);
ERRG_codeE POS_SENSORSG_hostIoctl(SERVICEG_requestT* request);
ERRG_codeE POS_SENSORSG_handleMsg(uint32_t code, void* params, void* payload, uint32_t payloadLength,
                                  MEM_POOLG_bufDescT** holder);
ERRG_codeE POS_SENSORSP_hostReceiveFrame(uint32_t code, void* params, void* payload, uint32_t payloadLength,
                                         MEM_POOLG_bufDescT** holder);
// The read function handed out by VPU_CMDG_GET_READ_FUNC_E: waits up to
// timeoutMs for the next sample, stores its chain in item->buffer (given
// back with VPU_CMDG_FREE_BUF_E) and copies the sample to item->hdrRecord
// (a VPUG_posSensorSample) when one is given. The stream id is ignored. A
// read must not run across the service's close.
ERRG_codeE POS_SENSORSP_read(VPUG_readItemT* item, uint32_t streamId, uint32_t timeoutMs);
POS_SENSORSG_statsT POS_SENSORSG_getStats();
