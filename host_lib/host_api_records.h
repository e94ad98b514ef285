// Numbers and records that cross the host API between the sensor driver and
// the host library's services: service ids, command codes, the service handle,
// the connection-state callback and the records through which the driver reads
// a delivered frame or sample.
//
// Every record here is laid out as the 64-bit Windows build lays it out
// (8-byte pointers, natural alignment), so only fixed-width fields are used and
// the offsets that the marshalling table and the driver rely on are asserted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/err_codes.h"
#include "runtime/mem_pool.h"

// ---------------------------------------------------------------------------
// Service ids
// ---------------------------------------------------------------------------

enum VPUG_serviceIdE : uint32_t {
    VPUG_SID_SVC_MNGR = 0,
    VPUG_SID_SYSTEM = 1,
    VPUG_SID_LOGGER = 2,
    VPUG_SID_VIDEO = 3,
    VPUG_SID_DEPTH = 4,
    VPUG_SID_WEBCAM = 5,
    VPUG_SID_PLACEHOLDER_6 = 6,  // no service behind it (its command block holds the INJECT codes)
    VPUG_SID_ALG = 7,
    VPUG_SID_PLACEHOLDER_8 = 8,
    VPUG_SID_POS_SENSORS = 9,
};
constexpr uint32_t VPUG_NUM_SERVICES = 10;  // service ids 0..9

// ---------------------------------------------------------------------------
// Command codes: the service id in bits 24..31, the 1-based command number in
// bits 0..23. Codes whose top byte is 0 are common to every service.
// ---------------------------------------------------------------------------

constexpr uint32_t VPU_CMDG_SID_SHIFT = 24;
constexpr uint32_t VPU_CMDG_NUM_MASK = 0xFFFFFFu;

constexpr uint32_t VPU_CMDG_makeCode(uint32_t sid, uint32_t number) {
    return (sid << VPU_CMDG_SID_SHIFT) | (number & VPU_CMDG_NUM_MASK);
}
constexpr uint32_t VPU_CMDG_sidOf(uint32_t code) { return code >> VPU_CMDG_SID_SHIFT; }
constexpr uint32_t VPU_CMDG_numberOf(uint32_t code) { return code & VPU_CMDG_NUM_MASK; }

enum VPU_CMDG_cmdE : uint32_t {
    // Common codes (service id 0).
    VPU_CMDG_FREE_BUF_E = 0x00000001,         // give a delivered buffer chain back; parameter: the chain pointer
    VPU_CMDG_OPEN_SVC_E = 0x00000002,         // service manager only; parameter: u32 sid
    VPU_CMDG_CLOSE_SVC_E = 0x00000003,        // service manager only; parameter: u32 sid
    INTERNAL_CMDG_SEND_BUF_E = 0x00000005,     // SYSTEM: send a block to the processor in chunks
    INTERNAL_CMDG_WAIT_ACK_E = 0x00000006,     // SYSTEM: consume a chunk acknowledgement; parameter: data type
    INTERNAL_CMDG_LUT_CHUNK_E = 0x00000008,    // SYSTEM data message: LUT chunk header
    INTERNAL_CMDG_CEVA_CHUNK_E = 0x00000009,   // SYSTEM data message: CEVA application chunk header
    INTERNAL_CMDG_BUF_CHUNK_E = 0x0000000A,    // SYSTEM data message: buffer chunk header
    INTERNAL_CMDG_READ_BUF_CHUNK_E = 0x0000000B,    // SYSTEM data message from the peer: read-buffer chunk
    VPU_CMDG_GET_READ_FUNC_E = 0x0000000C,          // parameter: a read-function pointer that the service fills
    INTERNAL_CMDG_FLASH_WRITE_CHUNK_E = 0x0000000D,  // SYSTEM data message: flash-data chunk header
    INTERNAL_CMDG_FLASH_READ_CHUNK_E = 0x0000000E,   // SYSTEM data message from the peer: flash-read chunk
    VPU_CMDG_KEEP_ALIVE_E = 0x0000000F,              // link keep-alive
    VPU_CMDG_PASS_THROUGH_E = 0x00000010,            // service manager only; answered by the peer

    // SYSTEM.
    SYSTEM_GET_VERSION_E = 0x01000001,
    SYSTEM_RD_REG_E = 0x01000002,
    SYSTEM_WR_REG_E = 0x01000003,
    SYSTEM_DB_CONTROL_E = 0x01000004,
    SYSTEM_KEEP_ALIVE_E = 0x01000005,
    SYSTEM_REGISTER_EVT_E = 0x01000006,
    SYSTEM_GET_STATS_E = 0x01000007,
    SYSTEM_SENSOR_SET_CFG = 0x01000009,
    SYSTEM_SENSOR_GET_CFG = 0x0100000A,
    SYSTEM_SENSOR_EXPOSURE_SET_CFG = 0x0100000B,
    SYSTEM_SENSOR_EXPOSURE_GET_CFG = 0x0100000C,
    SYSTEM_SENSOR_GAIN_SET_CFG = 0x0100000D,
    SYSTEM_SENSOR_GAIN_GET_CFG = 0x0100000E,
    SYSTEM_IAE_SET_CONFIG = 0x0100000F,
    SYSTEM_IAE_GET_CONFIG = 0x01000010,
    SYSTEM_DPE_SET_CONFIG_E = 0x01000011,
    SYSTEM_DPE_GET_CONFIG_E = 0x01000012,
    SYSTEM_FLASH_ERASE_BLOCK_E = 0x01000013,
    SYSTEM_FLASH_GET_SIZE_E = 0x01000014,
    SYSTEM_FLASH_READ_E = 0x01000015,  // parameter: u32 word, destination pointer
    SYSTEM_READ_BUF_E = 0x01000016,    // parameter: two u32 words, destination pointer

    // LOGGER.
    LOGGER_SET_PARAMS_E = 0x02000001,
    LOGGER_GET_PARAMS_E = 0x02000002,
    LOGGER_START_E = 0x02000003,  // no parameter: start forwarding the processor's lines
    LOGGER_STOP_E = 0x02000004,   // no parameter

    // Frame services and the injection block share one layout: start, stop,
    // then the data message that carries a frame fragment.
    VIDEO_STREAM_START_E = 0x03000001,
    VIDEO_STREAM_STOP_E = 0x03000002,
    VIDEO_FRAME_E = 0x03000003,
    DEPTH_STREAM_START_E = 0x04000001,
    DEPTH_STREAM_STOP_E = 0x04000002,
    DEPTH_FRAME_E = 0x04000003,
    WEBCAM_STREAM_START_E = 0x05000001,
    WEBCAM_STREAM_STOP_E = 0x05000002,
    WEBCAM_FRAME_E = 0x05000003,
    INJECT_STREAM_START_E = 0x06000001,
    INJECT_STREAM_STOP_E = 0x06000002,

    // ALG.
    ALG_START_E = 0x07000001,
    ALG_STOP_E = 0x07000002,
    ALG_SEND_TABLE_E = 0x07000003,
    VPU_CMDG_ALG_STREAM_LAST_E = 0x07000004,  // the table-entry data message
    ALG_RESULT_E = 0x07000006,

    // POS_SENSORS.
    POS_SENSORS_CONFIG_E = 0x09000001,
    POS_SENSORS_START_E = 0x09000002,
    POS_SENSORS_STOP_E = 0x09000003,
    POS_SENSORS_SAMPLE_E = 0x09000005,
};

static_assert(VPU_CMDG_makeCode(VPUG_SID_SYSTEM, 1) == SYSTEM_GET_VERSION_E);
static_assert(VPU_CMDG_sidOf(POS_SENSORS_SAMPLE_E) == VPUG_SID_POS_SENSORS);
static_assert(VPU_CMDG_numberOf(POS_SENSORS_SAMPLE_E) == 5);

// ---------------------------------------------------------------------------
// Service handle and connection state
// ---------------------------------------------------------------------------

// The service framework's record of one service; its first u32 is the sid.
struct SERVICEG_serviceT;
using VPUG_serviceHandleT = SERVICEG_serviceT*;

enum VPUG_connStateE : uint32_t {
    VPUG_CONN_STATE_CONNECTED_E = 0,
    VPUG_CONN_STATE_DISCONNECTED_E = 1,
    VPUG_CONN_STATE_DISCONNECT_PENDING_E = 2,
};
// Given to VPUG_init: called with (sid, event); only the service manager's
// link produces events.
using VPUG_connStateCb = void (*)(uint32_t sid, uint32_t event);

// ---------------------------------------------------------------------------
// Reading a delivered item
// ---------------------------------------------------------------------------

constexpr uint32_t VPUG_NUM_STREAMS = 8;  // stream ids 0..7

// The record passed to VPUG_read.
struct VPUG_readParams {
    uint32_t streamId;     // in: the stream to read from
    uint32_t frameWord;    // out: the 16-bit field at offset 4 of the frame header
    void* data;            // out: first byte of the item's data
    uint32_t length;       // out: data length in bytes; 0 on any failure
    uint64_t frameStamp;   // out: the 64-bit field at offset 24 of the frame header
    uint32_t frameValue;   // out: the 32-bit field at offset 20 of the frame header
    MEM_POOLG_bufDescT* buffer;  // out: the item's chain, given back with VPU_CMDG_FREE_BUF_E
    void* hdrRecord;       // in, optional: a service-specific record the read function fills
};
static_assert(offsetof(VPUG_readParams, streamId) == 0);
static_assert(offsetof(VPUG_readParams, frameWord) == 4);
static_assert(offsetof(VPUG_readParams, data) == 8);
static_assert(offsetof(VPUG_readParams, length) == 16);
static_assert(offsetof(VPUG_readParams, frameStamp) == 24);
static_assert(offsetof(VPUG_readParams, frameValue) == 32);
static_assert(offsetof(VPUG_readParams, buffer) == 40);
static_assert(offsetof(VPUG_readParams, hdrRecord) == 48);
static_assert(sizeof(VPUG_readParams) == 56);

// The item record that a service's read function fills. hdrRecord is taken in:
// the frame services fill their header record through it, the sample services
// copy the sample (or result) to it.
struct VPUG_readItemT {
    MEM_POOLG_bufDescT* buffer;
    void* data;
    uint32_t length;
    uint16_t frameWord;
    uint32_t frameValue;
    uint64_t frameStamp;
    void* hdrRecord;
};
static_assert(offsetof(VPUG_readItemT, length) == 16);
static_assert(offsetof(VPUG_readItemT, frameWord) == 20);
static_assert(offsetof(VPUG_readItemT, frameValue) == 24);
static_assert(offsetof(VPUG_readItemT, frameStamp) == 32);
static_assert(offsetof(VPUG_readItemT, hdrRecord) == 40);
static_assert(sizeof(VPUG_readItemT) == 48);

// Read function, handed out by VPU_CMDG_GET_READ_FUNC_E:
// (item record, stream id, time-out in ms) -> status.
using VPUG_readFuncT = ERRG_codeE (*)(VPUG_readItemT* item, uint32_t streamId, uint32_t timeoutMs);

// Parameter of VPU_CMDG_FREE_BUF_E: the one chain pointer.
struct VPUG_freeBufParams {
    MEM_POOLG_bufDescT* buffer;
};
static_assert(sizeof(VPUG_freeBufParams) == 8);

// Parameter of VPU_CMDG_GET_READ_FUNC_E.
struct VPUG_getReadFuncParams {
    VPUG_readFuncT readFunc;
};
static_assert(sizeof(VPUG_getReadFuncParams) == 8);

// Parameter of VPU_CMDG_OPEN_SVC_E and VPU_CMDG_CLOSE_SVC_E.
struct VPUG_svcParams {
    uint32_t sid;
};
static_assert(sizeof(VPUG_svcParams) == 4);

// ---------------------------------------------------------------------------
// Records the driver sends and receives
// ---------------------------------------------------------------------------

// LOGGER_SET_PARAMS_E / LOGGER_GET_PARAMS_E.
struct VPUG_loggerParams {
    int32_t severity;
    uint8_t print;    // console sink of the host logger
    uint8_t printGp;  // print the processor's lines on the host
    uint8_t sendGp;   // queue the processor's lines for the reader
    uint32_t word;    // not interpreted by the host
    uint8_t byte0;    // not interpreted by the host
    uint8_t byte1;    // not interpreted by the host
};
static_assert(offsetof(VPUG_loggerParams, print) == 4);
static_assert(offsetof(VPUG_loggerParams, printGp) == 5);
static_assert(offsetof(VPUG_loggerParams, sendGp) == 6);
static_assert(offsetof(VPUG_loggerParams, word) == 8);
static_assert(offsetof(VPUG_loggerParams, byte0) == 12);
static_assert(offsetof(VPUG_loggerParams, byte1) == 13);
static_assert(sizeof(VPUG_loggerParams) == 16);

// *_STREAM_START_E: data type (service id in the top byte, processor channel in
// the low 24 bits) and stream id.
struct VPUG_streamStartParams {
    uint32_t dataType;
    uint32_t streamId;
};
static_assert(sizeof(VPUG_streamStartParams) == 8);

// *_STREAM_STOP_E.
struct VPUG_streamStopParams {
    uint32_t streamId;
};
static_assert(sizeof(VPUG_streamStopParams) == 4);

// POS_SENSORS_CONFIG_E: rate and range codes, exchanged as raw bytes; the
// reply's values come back in the same record.
struct VPUG_posSensorsConfigParams {
    uint16_t accelRate;
    uint16_t gyroRate;
    uint16_t accelRange;
    uint16_t gyroRange;
};
static_assert(sizeof(VPUG_posSensorsConfigParams) == 8);

// POS_SENSORS_START_E / POS_SENSORS_STOP_E.
struct VPUG_posSensorsCtrlParams {
    uint32_t value;
};
static_assert(sizeof(VPUG_posSensorsCtrlParams) == 4);

// POS_SENSORS_SAMPLE_E: one sample of the inertial measurement unit.
struct VPUG_posSensorSample {
    uint16_t sensorIndex;
    uint16_t kind;
    uint64_t timestamp;
    uint32_t values[4];
};
static_assert(offsetof(VPUG_posSensorSample, kind) == 2);
static_assert(offsetof(VPUG_posSensorSample, timestamp) == 8);
static_assert(offsetof(VPUG_posSensorSample, values) == 16);
static_assert(sizeof(VPUG_posSensorSample) == 32);

// Host sizes of the frame-header records of the three frame services and of
// the algorithm result (their layouts live with those services; the
// marshalling table carries the field offsets).
constexpr uint32_t VPUG_VIDEO_FRAME_HDR_SIZE = 104;
constexpr uint32_t VPUG_DEPTH_FRAME_HDR_SIZE = 88;
constexpr uint32_t VPUG_WEBCAM_FRAME_HDR_SIZE = 56;
constexpr uint32_t VPUG_ALG_RESULT_SIZE = 2072;
