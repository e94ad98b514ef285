// Service manager: owns the whole service stack of one driver context.
//
// From four constant tables (connections, pools, channels, services) it
// brings up, in a fixed order, the connection layer over the four USB
// interfaces of a booted device, the memory pools, the service channels, the
// ten service records and the streamer, and takes them down again in
// reverse. It is also service 0 itself: the one record whose link is
// supervised (a keep-alive every second on channel 0, link events to the
// callback given at bring-up), and the service through which every other
// service is opened and closed, in agreement with the service manager on the
// vision processor.
//
// Opening another service (VPU_CMDG_OPEN_SVC_E) runs the target's host half
// first; the request then goes to the processor, and its answer finishes the
// target's host half. A refusal (or a host half that cannot finish) closes the
// host half again, so a later open starts from scratch; an open of a service
// whose host half is already open (an earlier open whose answer never came)
// does not prepare it a second time.
#pragma once

#include <cstdint>

#include "host_lib/conn_lyr.h"
#include "host_lib/host_api_records.h"
#include "host_lib/service.h"
#include "host_lib/svc_com.h"
#include "runtime/err_codes.h"
#include "runtime/mem_pool.h"

// --- status codes (side HOST, module SVC_MNGR) ------------------------------------

constexpr ERRG_codeE SVC_MNGR__RET_SUCCESS = 0x1010000;
constexpr ERRG_codeE SVC_MNGR__ERR_INVALID_ARGS = 0x1010002;  // no service row for the sid
constexpr ERRG_codeE SVC_MNGR__ERR_POOL = 0x1010003;          // a pool could not be created
constexpr ERRG_codeE SVC_MNGR__ERR_NOT_SUPPORTED = 0x1010008; // an ioctl the manager does not know
constexpr ERRG_codeE SVC_MNGR__ERR_CONNECTION = 0x1010017;    // a connection could not be opened

constexpr uint32_t SVC_MNGRG_NUM_CONNS = 4;
constexpr uint32_t SVC_MNGRG_NUM_POOLS = 10;
constexpr uint32_t SVC_MNGRG_NUM_CHANNELS = 19;
constexpr uint32_t SVC_MNGRG_NUM_SERVICES = 10;
constexpr uint32_t SVC_MNGRG_CONN_TYPE_USB = 2;
constexpr uint32_t SVC_MNGRG_STATS_SEPARATOR_LEN = 111;

static_assert(SVC_MNGRG_NUM_CHANNELS == SVC_COMG_NUM_CHANNELS);
static_assert(SVC_MNGRG_NUM_SERVICES == SERVICEG_NUM_SERVICES);
static_assert(SVC_MNGRG_NUM_CONNS == CONN_LYRG_MAX_CONNECTIONS);

// --- the four tables (data in svc_mngr_tables.cpp) --------------------------------

struct SVC_MNGR_connRowT {
    uint32_t type;          // SVC_MNGRG_CONN_TYPE_USB
    uint8_t usbInterface;   // 0 control, 1 infrared, 2 depth, 3 visible
    CONN_LYRG_ifOpsInitT ifOpsInit;
    uint16_t txRingSize;
};

struct SVC_MNGR_poolRowT {
    uint32_t type;     // MEM_POOLG_typeE
    uint32_t bufSize;  // bytes
    uint32_t count;
    uint32_t resetDataOnAlloc;
};

struct SVC_MNGR_chanRowT {
    uint32_t pool;        // row of the pool table
    uint32_t connection;  // row of the connection table
};

// A service's operation table comes from the service itself when the tables
// are read; null means "no service behind this sid" (the placeholder table).
using SVC_MNGR_opsGetterT = const SERVICE_opsTable* (*)();

struct SVC_MNGR_svcRowT {
    uint32_t sid;
    SVC_MNGR_opsGetterT getOps;
    uint32_t firstChannel;  // control channel; the data channel is the next one
    uint32_t threadId;
    uint16_t queueLength;
    uint32_t loopPeriodMs;
    uint32_t linkEnabled;
    uint32_t keepAliveChannel;  // SERVICEG_channelIndexE
};

extern const SVC_MNGR_connRowT SVC_MNGR_connTable[SVC_MNGRG_NUM_CONNS];
extern const SVC_MNGR_poolRowT SVC_MNGR_poolTable[SVC_MNGRG_NUM_POOLS];
extern const SVC_MNGR_chanRowT SVC_MNGR_chanTable[SVC_MNGRG_NUM_CHANNELS];
extern const SVC_MNGR_svcRowT SVC_MNGR_svcTable[SVC_MNGRG_NUM_SERVICES];

// --- module state (context slot 10) -------------------------------------------------

struct SVC_MNGR_stateT {
    CONN_LYRG_ifCfgT ifCfg[SVC_MNGRG_NUM_CONNS];
    MEM_POOLG_handleT pools[SVC_MNGRG_NUM_POOLS];
    CONN_LYRG_handleT conns[SVC_MNGRG_NUM_CONNS];
    SVC_COMG_handleT channels[SVC_MNGRG_NUM_CHANNELS];
    SERVICEG_serviceT* services[SVC_MNGRG_NUM_SERVICES];
    SERVICE_opsTable placeholderOps;  // rows without a service
    uint32_t layersUp;                // the connection layer and the channels were initialised
    const SVC_MNGR_poolRowT* poolTableOverride;  // test support; null: SVC_MNGR_poolTable
    const SVC_MNGR_connRowT* connTableOverride;  // test support; null: SVC_MNGR_connTable
};

// --- operations ----------------------------------------------------------------------

// Brings the whole stack up; linkNotify becomes the link notify of all ten
// records. On any failure everything built so far is taken down again and
// the failure is returned.
ERRG_codeE SVC_MNGRG_init(VPUG_connStateCb linkNotify);
// Takes the stack down in reverse. Services other than the manager that are
// still open on the host are closed locally first (nothing is sent), so that
// what their host halves hold goes with them.
void SVC_MNGRG_deInit();
// The record of the first row with that sid (null when there is none or the
// stack is down).
SERVICEG_serviceT* SVC_MNGRG_getServiceHandle(uint32_t sid);
// The statistics report of the whole host side.
void SVC_MNGRG_showStats();

// The manager's own operations (service 0).
const SERVICE_opsTable* SVC_MNGRG_getOps();
ERRG_codeE SVC_MNGRG_hostOpen(SERVICEG_requestT* request);
ERRG_codeE SVC_MNGRG_hostIoctl(SERVICEG_requestT* request);
const char* SVC_MNGRP_getName();
const char* SVC_MNGRP_notImplementedName();

// This context's state (created zero-filled on first use).
SVC_MNGR_stateT* SVC_MNGRP_getState();

// Test support only: bring-up creates its pools from these ten rows instead
// of SVC_MNGR_poolTable (null: the real table again), so that a test can
// make one pool impossible to create. Never called by the system itself.
void SVC_MNGRP_setPoolTableForTest(const SVC_MNGR_poolRowT* rows);
// Test support only: the same for the four connection rows, so that a test
// can make one connection impossible to open. Never called by the system itself.
void SVC_MNGRP_setConnTableForTest(const SVC_MNGR_connRowT* rows);
