#include "host_lib/svc_mngr.h"

#include <cstring>
#include <mutex>

#include "host_lib/frame_svc.h"
#include "host_lib/logger_svc.h"
#include "host_lib/marshal.h"
#include "host_lib/streamer.h"
#include "host_lib/system_svc.h"
#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

SVC_MNGR_stateT* state() { return PZContext_GetHostState<SVC_MNGR_stateT>(PZ_SLOT_SVC_MNGR); }

// The statistics report runs on SYSTEM's thread (its statistics request)
// while the control path may be taking the stack down: the report reads the
// records only while the stack is up, and tear-down ends that under the same
// lock before it touches any record.
struct ReportGate {
    std::mutex mutex;
    bool up = false;
};
const unsigned char kReportGateTag = 0;

ReportGate* reportGate() {
    return static_cast<ReportGate*>(PZContext_GetSlot(
        PZContext_GetCurrent(), &kReportGateTag, [](void*) -> void* { return new ReportGate; }, nullptr,
        [](void* object) { delete static_cast<ReportGate*>(object); }));
}

void setReportable(bool up) {
    ReportGate* gate = reportGate();
    std::lock_guard<std::mutex> lock(gate->mutex);
    gate->up = up;
}

const char* nameOfOps(const SERVICE_opsTable* ops) {
    return ops != nullptr && ops->getName != nullptr ? ops->getName() : "";
}

const SERVICE_opsTable* opsOfRow(SVC_MNGR_stateT* s, const SVC_MNGR_svcRowT& row) {
    return row.getOps != nullptr ? row.getOps() : &s->placeholderOps;
}

const SVC_MNGR_poolRowT* poolRows(const SVC_MNGR_stateT* s) {
    return s->poolTableOverride != nullptr ? s->poolTableOverride : SVC_MNGR_poolTable;
}

const SVC_MNGR_connRowT* connRows(const SVC_MNGR_stateT* s) {
    return s->connTableOverride != nullptr ? s->connTableOverride : SVC_MNGR_connTable;
}

void fillTables(SVC_MNGR_stateT* s) {
    for (uint32_t i = 0; i < SVC_MNGRG_NUM_CONNS; ++i) {
        s->ifCfg[i] = CONN_LYRG_ifCfgT{};
        s->ifCfg[i].params[0] = connRows(s)[i].usbInterface;
    }
    s->placeholderOps = SERVICE_opsTable{};
    s->placeholderOps.getName = &SVC_MNGRP_notImplementedName;
}

void clearHandles(SVC_MNGR_stateT* s) {
    for (auto& pool : s->pools) pool = nullptr;
    for (auto& conn : s->conns) conn = nullptr;
    for (auto& channel : s->channels) channel = nullptr;
    for (auto& service : s->services) service = nullptr;
}

ERRG_codeE allocMemPools(SVC_MNGR_stateT* s) {
    const SVC_MNGR_poolRowT* rows = poolRows(s);
    for (uint32_t i = 0; i < SVC_MNGRG_NUM_POOLS; ++i) {
        const SVC_MNGR_poolRowT& row = rows[i];
        MEM_POOLG_cfgT cfg{row.bufSize, row.count, nullptr, 0, row.resetDataOnAlloc};
        MEM_POOLG_newPool(&s->pools[i], static_cast<MEM_POOLG_typeE>(row.type), &cfg);
        if (s->pools[i] == nullptr) {
            LOGG_PRINT(LOG_ERROR_E, SVC_MNGR__ERR_POOL, "SVC_MNGR: alloc mempool %d failed (%dBx%d)\n", i,
                       row.bufSize, row.count);
            return SVC_MNGR__ERR_POOL;
        }
        LOGG_PRINT(LOG_DEBUG_E, 0, "SVC_MNGR: alloc mempool type=%d(%dBx%d).handle=%p\n", row.type, row.bufSize,
                   row.count, static_cast<void*>(s->pools[i]));
    }
    return SVC_MNGR__RET_SUCCESS;
}

ERRG_codeE openConns(SVC_MNGR_stateT* s) {
    for (uint32_t i = 0; i < SVC_MNGRG_NUM_CONNS; ++i) {
        const SVC_MNGR_connRowT& row = connRows(s)[i];
        CONN_LYRG_cfgT cfg{};
        cfg.ifCfg = &s->ifCfg[i];
        cfg.ifOpsInit = row.ifOpsInit;
        cfg.txRingSize = row.txRingSize;
        const ERRG_codeE status = CONN_LYRG_open(&s->conns[i], &cfg);
        if (ERRG_FAILED(status) || s->conns[i] == nullptr) {
            s->conns[i] = nullptr;
            LOGG_PRINT(LOG_ERROR_E, status, "SVC_MNGR: create connection %d failed\n", i);
            return SVC_MNGR__ERR_CONNECTION;
        }
        LOGG_PRINT(LOG_DEBUG_E, 0, "SVC_MNGR: create connection type=%d.handle=%p\n", row.type,
                   static_cast<void*>(s->conns[i]));
    }
    return SVC_MNGR__RET_SUCCESS;
}

ERRG_codeE openChannels(SVC_MNGR_stateT* s) {
    for (uint32_t i = 0; i < SVC_MNGRG_NUM_CHANNELS; ++i) {
        const SVC_MNGR_chanRowT& row = SVC_MNGR_chanTable[i];
        CONN_LYRG_handleT conn = s->conns[row.connection];
        MEM_POOLG_handleT pool = s->pools[row.pool];
        const ERRG_codeE status = SVC_COMG_channelOpen(&s->channels[i], i, conn, pool, nullptr, nullptr);
        if (ERRG_FAILED(status)) {
            s->channels[i] = nullptr;
            return status;
        }
        LOGG_PRINT(LOG_DEBUG_E, 0, "SVC_MNGR: channel %d using conH=%p poolH=%p\n", i, static_cast<void*>(conn),
                   static_cast<void*>(pool));
    }
    return SVC_MNGR__RET_SUCCESS;
}

ERRG_codeE initServices(SVC_MNGR_stateT* s, VPUG_connStateCb linkNotify) {
    for (uint32_t i = 0; i < SVC_MNGRG_NUM_SERVICES; ++i) {
        const SVC_MNGR_svcRowT& row = SVC_MNGR_svcTable[i];
        const SERVICE_opsTable* ops = opsOfRow(s, row);
        SERVICEG_initParamsT params{row.sid,         row.threadId,    row.queueLength,
                                    &s->channels[row.firstChannel], ops, row.loopPeriodMs,
                                    row.linkEnabled, row.keepAliveChannel, linkNotify};
        const ERRG_codeE status = SERVICEG_init(&s->services[i], &params);
        if (ERRG_FAILED(status)) {
            LOGG_PRINT(LOG_ERROR_E, status, "SVC_MNGR: service %s (sid=%d) failed init. thrId=%d que=%d\n",
                       nameOfOps(ops), row.sid, row.threadId, row.queueLength);
            return status;
        }
        LOGG_PRINT(LOG_DEBUG_E, 0, "SVC_MNGR: %-8s (sid=%d) initialized. thrId=%d que=%d channels=[%p,%p]\n",
                   nameOfOps(ops), row.sid, row.threadId, row.queueLength,
                   static_cast<void*>(s->channels[row.firstChannel]),
                   static_cast<void*>(s->channels[row.firstChannel + 1]));
    }
    return SVC_MNGR__RET_SUCCESS;
}

// The row of sid, or null.
const SVC_MNGR_svcRowT* rowOf(uint32_t sid, uint32_t* index) {
    for (uint32_t i = 0; i < SVC_MNGRG_NUM_SERVICES; ++i) {
        if (SVC_MNGR_svcTable[i].sid == sid) {
            *index = i;
            return &SVC_MNGR_svcTable[i];
        }
    }
    return nullptr;
}

// The record a service ioctl acts on. Placeholder rows have no service and
// the manager itself is never opened or closed this way.
SERVICEG_serviceT* targetOf(SVC_MNGR_stateT* s, const SERVICEG_requestT* request, uint32_t* sid) {
    if (request->params == nullptr) return nullptr;
    std::memcpy(sid, request->params, sizeof(*sid));
    uint32_t index = 0;
    const SVC_MNGR_svcRowT* row = rowOf(*sid, &index);
    if (row == nullptr) {
        LOGG_PRINT(LOG_ERROR_E, SVC_MNGR__ERR_INVALID_ARGS, "sid = %d invalid idx = %d\n", *sid,
                   SVC_MNGRG_NUM_SERVICES);
        return nullptr;
    }
    if (row->getOps == nullptr || row->sid == VPUG_SID_SVC_MNGR || s->services[index] == nullptr) {
        LOGG_PRINT(LOG_ERROR_E, SVC_MNGR__ERR_INVALID_ARGS, "sid = %d cannot be opened or closed\n", *sid);
        return nullptr;
    }
    return s->services[index];
}

// Closes the host half of a service locally, both phases; nothing is sent.
void closeHostHalf(SERVICEG_serviceT* target) {
    SERVICEG_close(target, SERVICEG_PHASE_START_E);
    SERVICEG_close(target, SERVICEG_PHASE_DONE_E);
}

ERRG_codeE openSvcIoctl(SVC_MNGR_stateT* s, SERVICEG_requestT* request) {
    uint32_t sid = 0;
    SERVICEG_serviceT* target = targetOf(s, request, &sid);
    if (target == nullptr) return SVC_MNGR__ERR_INVALID_ARGS;
    const bool done = request->phase == SERVICEG_PHASE_DONE_E;
    LOGG_PRINT(LOG_DEBUG_E, 0, "open service %s(%d) %s\n", SERVICEG_getName(target), sid, done ? "done" : "start ");
    if (!done) {
        // An earlier open whose answer never came left the host half open:
        // preparing it again would take its queues and pools a second time.
        // Only the processor hears the open again.
        if (SERVICEG_isOpen(target) != 0) return SERVICE__INCOMPLETE;
        return SERVICEG_open(target, SERVICEG_PHASE_START_E);
    }
    const ERRG_codeE peer = SERVICEG_getPeerStatus(s->services[VPUG_SID_SVC_MNGR]);
    if (ERRG_FAILED(peer)) {
        // The processor refused: nothing of the host half may stay open.
        LOGG_PRINT(LOG_ERROR_E, peer, "open service %s(%d) refused by the processor\n", SERVICEG_getName(target),
                   sid);
        closeHostHalf(target);
        return peer;
    }
    const ERRG_codeE status = SERVICEG_open(target, SERVICEG_PHASE_DONE_E);
    if (ERRG_FAILED(status) && status != SERVICE__INCOMPLETE) {
        LOGG_PRINT(LOG_ERROR_E, status, "open service %s(%d) failed to finish\n", SERVICEG_getName(target), sid);
        closeHostHalf(target);
    }
    return status;
}

ERRG_codeE closeSvcIoctl(SVC_MNGR_stateT* s, SERVICEG_requestT* request) {
    uint32_t sid = 0;
    SERVICEG_serviceT* target = targetOf(s, request, &sid);
    if (target == nullptr) return SVC_MNGR__ERR_INVALID_ARGS;
    const bool done = request->phase == SERVICEG_PHASE_DONE_E;
    LOGG_PRINT(LOG_DEBUG_E, 0, "close service %s(%d) %s\n", SERVICEG_getName(target), sid, done ? "done" : "start ");
    if (!done) return SERVICEG_close(target, SERVICEG_PHASE_START_E);
    // The host half closed in the start phase; it finishes releasing what it
    // holds whatever the processor answered.
    const ERRG_codeE status = SERVICEG_close(target, SERVICEG_PHASE_DONE_E);
    const ERRG_codeE peer = SERVICEG_getPeerStatus(s->services[VPUG_SID_SVC_MNGR]);
    return ERRG_FAILED(peer) ? peer : status;
}

void logSeparator() {
    char line[SVC_MNGRG_STATS_SEPARATOR_LEN + 3];
    std::memset(line, '*', SVC_MNGRG_STATS_SEPARATOR_LEN);
    line[SVC_MNGRG_STATS_SEPARATOR_LEN] = '\n';
    line[SVC_MNGRG_STATS_SEPARATOR_LEN + 1] = '\n';
    line[SVC_MNGRG_STATS_SEPARATOR_LEN + 2] = '\0';
    LOGG_PRINT(LOG_INFO_E, 0, "%s", line);
}

}  // namespace

// --- bring-up and tear-down -------------------------------------------------------------

ERRG_codeE SVC_MNGRG_init(VPUG_connStateCb linkNotify) {
    SVC_MNGR_stateT* s = state();
    MEM_POOLG_init();
    MARSHALP_tblInit();
    fillTables(s);
    LOGG_init();
    clearHandles(s);

    ERRG_codeE status = CONN_LYRG_init();
    if (ERRG_SUCCEEDED(status)) status = SVC_COMG_init();
    s->layersUp = 1;
    if (ERRG_SUCCEEDED(status)) status = allocMemPools(s);
    if (ERRG_SUCCEEDED(status)) status = openConns(s);
    if (ERRG_SUCCEEDED(status)) status = openChannels(s);
    if (ERRG_SUCCEEDED(status)) {
        // Before any service thread exists, so SYSTEM's thread sees it.
        SYSTEMG_setStatsHook(&SVC_MNGRG_showStats);
        status = initServices(s, linkNotify);
    }
    if (ERRG_SUCCEEDED(status)) {
        SERVICEG_serviceT* manager = s->services[VPUG_SID_SVC_MNGR];
        status = SERVICEG_open(manager, SERVICEG_PHASE_START_E);
        if (ERRG_SUCCEEDED(status)) status = SERVICEG_open(manager, SERVICEG_PHASE_DONE_E);
    }
    if (ERRG_SUCCEEDED(status)) status = STREAMERG_init();
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_ERROR_E, status, "service manager init fail\n");
        SVC_MNGRG_deInit();
        return status;
    }
    setReportable(true);
    LOGG_PRINT(LOG_DEBUG_E, 0, "service manager init done\n");
    return SVC_MNGR__RET_SUCCESS;
}

void SVC_MNGRG_deInit() {
    SVC_MNGR_stateT* s = state();
    setReportable(false);
    for (SERVICEG_serviceT* service : s->services)
        if (service != nullptr) SERVICEP_stopLink(service);
    // The manager first: once its thread is gone no open or close of another
    // service can start.
    if (s->services[VPUG_SID_SVC_MNGR] != nullptr) {
        SERVICEG_deInit(s->services[VPUG_SID_SVC_MNGR]);
        s->services[VPUG_SID_SVC_MNGR] = nullptr;
    }
    for (uint32_t i = 0; i < SVC_MNGRG_NUM_SERVICES; ++i) {
        SERVICEG_serviceT* service = s->services[i];
        if (service == nullptr) continue;
        if (SERVICEG_isOpen(service) != 0) closeHostHalf(service);
        SERVICEG_deInit(service);
        s->services[i] = nullptr;
    }
    SYSTEMG_setStatsHook(nullptr);
    for (auto& channel : s->channels) {
        if (channel != nullptr) SVC_COMG_channelClose(channel);
        channel = nullptr;
    }
    for (auto& conn : s->conns) {
        if (conn != nullptr) CONN_LYRG_close(conn);
        conn = nullptr;
    }
    for (auto& pool : s->pools) {
        if (pool != nullptr) MEM_POOLG_closePool(pool);
        pool = nullptr;
    }
    if (s->layersUp != 0) {
        SVC_COMG_deInit();
        CONN_LYRG_deInit();
        s->layersUp = 0;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "deinit done\n");
}

SERVICEG_serviceT* SVC_MNGRG_getServiceHandle(uint32_t sid) {
    uint32_t index = 0;
    if (rowOf(sid, &index) == nullptr) return nullptr;
    return state()->services[index];
}

// --- the manager's own operations --------------------------------------------------------

const char* SVC_MNGRP_getName() { return "SVC_MNGR"; }

const char* SVC_MNGRP_notImplementedName() { return "Not implemented"; }

ERRG_codeE SVC_MNGRG_hostOpen(SERVICEG_requestT* request) {
    if (request->phase != SERVICEG_PHASE_DONE_E) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "open svc_mngr service. handle cmd start\n");
        return SVC_MNGR__RET_SUCCESS;
    }
    state()->services[VPUG_SID_SVC_MNGR] = request->service;
    LOGG_PRINT(LOG_DEBUG_E, 0, "open svc_mngr service. handle cmd done\n");
    return SVC_MNGR__RET_SUCCESS;
}

ERRG_codeE SVC_MNGRG_hostIoctl(SERVICEG_requestT* request) {
    const uint32_t code = request->code;
    LOGG_PRINT(LOG_DEBUG_E, 0, "ioctl=0x%x service=0x%x\n", code, VPU_CMDG_sidOf(code));
    switch (code) {
        case VPU_CMDG_OPEN_SVC_E:
            return openSvcIoctl(state(), request);
        case VPU_CMDG_CLOSE_SVC_E:
            return closeSvcIoctl(state(), request);
        case VPU_CMDG_PASS_THROUGH_E:
            return SERVICE__INCOMPLETE;
        default:
            // Answered locally, and as a failure: nothing was done.
            LOGG_PRINT(LOG_ERROR_E, SVC_MNGR__ERR_NOT_SUPPORTED, "unknown ioctl... 0x%X\n", code);
            return SVC_MNGR__ERR_NOT_SUPPORTED;
    }
}

const SERVICE_opsTable* SVC_MNGRG_getOps() {
    static const SERVICE_opsTable ops = {&SVC_MNGRP_getName, &SVC_MNGRG_hostOpen, nullptr, &SVC_MNGRG_hostIoctl,
                                         nullptr,            nullptr,             nullptr, nullptr};
    return &ops;
}

// --- statistics ------------------------------------------------------------------------------

void SVC_MNGRG_showStats() {
    ReportGate* gate = reportGate();
    std::lock_guard<std::mutex> lock(gate->mutex);
    SVC_MNGR_stateT* s = state();
    if (!gate->up || s->services[VPUG_SID_SVC_MNGR] == nullptr) return;
    LOGG_PRINT(LOG_INFO_E, 0, "FW HOST statistics:\n");
    LOGG_PRINT(LOG_INFO_E, 0, "-------------------\n\n");
    LOGG_PRINT(LOG_INFO_E, 0, "Local Service manager table:\n");
    LOGG_PRINT(LOG_INFO_E, 0, "----------------------------\n");
    for (uint32_t i = 0; i < SVC_MNGRG_NUM_SERVICES; ++i) {
        const SVC_MNGR_svcRowT& row = SVC_MNGR_svcTable[i];
        if (s->services[i] != nullptr)
            SERVICEG_showStats(s->services[i]);
        else
            LOGG_PRINT(LOG_INFO_E, 0, "sid=%d is closed (%s service)\n", row.sid, nameOfOps(opsOfRow(s, row)));
    }
    logSeparator();

    struct Report {
        uint32_t sid;
        void (*show)();
    };
    static constexpr Report kReports[] = {
        {VPUG_SID_SYSTEM, &SYSTEMG_showStats}, {VPUG_SID_LOGGER, &LOGGERG_showStats},
        {VPUG_SID_VIDEO, &VIDEOG_showStats},   {VPUG_SID_DEPTH, &DEPTHG_showStats},
        {VPUG_SID_WEBCAM, &WEBCAMG_showStats},
    };
    for (const Report& report : kReports) {
        SERVICEG_serviceT* service = s->services[report.sid];
        if (service == nullptr || SERVICEG_isOpen(service) == 0) continue;
        report.show();
        logSeparator();
    }

    LOGG_PRINT(LOG_INFO_E, 0, "Connections table:\n");
    LOGG_PRINT(LOG_INFO_E, 0, "------------------\n");
    for (CONN_LYRG_handleT conn : s->conns)
        if (conn != nullptr) CONN_LYRG_showStats(conn, 3);
    logSeparator();
}

// --- state and test support ------------------------------------------------------------------

SVC_MNGR_stateT* SVC_MNGRP_getState() { return state(); }

void SVC_MNGRP_setPoolTableForTest(const SVC_MNGR_poolRowT* rows) { state()->poolTableOverride = rows; }

void SVC_MNGRP_setConnTableForTest(const SVC_MNGR_connRowT* rows) { state()->connTableOverride = rows; }
