// Service manager: bring-up and tear-down of the whole stack against the
// simulated processor, its service ioctls, its statistics report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "host_lib/frame_svc.h"
#include "host_lib/logger_svc.h"
#include "host_lib/marshal.h"
#include "host_lib/svc_mngr.h"
#include "host_lib/system_svc.h"
#include "host_lib/usb_ctrl_com.h"
#include "host_lib/tests/host_stack_fixture.h"

namespace {

using namespace std::chrono_literals;
using stacktest::LinkEvents;

class SvcMngrTest : public stacktest::HostStackTest {
protected:
    void TearDown() override {
        SVC_MNGRG_deInit();
        HostStackTest::TearDown();
    }

    void bringUp() {
        ASSERT_EQ(SVC_MNGRG_init(&LinkEvents::onConnState), SVC_MNGR__RET_SUCCESS);
        ASSERT_TRUE(LinkEvents::instance().waitFor(VPUG_CONN_STATE_CONNECTED_E, 1, linktest::kLinkBound));
    }
    static SERVICEG_serviceT* manager() { return SVC_MNGRG_getServiceHandle(VPUG_SID_SVC_MNGR); }
    static ERRG_codeE serviceIoctl(uint32_t code, uint32_t sid) {
        VPUG_svcParams params{sid};
        return SERVICEG_ioctl(manager(), code, &params, sizeof(params));
    }
};

// --- bring-up -------------------------------------------------------------------------------

TEST_F(SvcMngrTest, BringUpBindsEveryChannelToItsListedPoolAndConnection) {
    bringUp();
    const SVC_MNGR_stateT* s = SVC_MNGRP_getState();
    // The list: channel -> (pool buffer size, buffer count, USB interface).
    struct Expected {
        uint32_t bufSize, count;
        uint8_t iface;
    };
    const Expected expected[SVC_MNGRG_NUM_CHANNELS] = {
        {3000, 128, 0},   {3000, 128, 0},  {16512, 80, 0},  {3000, 128, 0},   {4915328, 4, 0},
        {3000, 128, 1},   {4917376, 4, 1}, {3000, 128, 2},  {2457728, 4, 2},  {3000, 128, 3},
        {2457728, 4, 3},  {3000, 128, 0},  {9344, 2, 0},    {3000, 128, 0},   {592, 512, 0},
        {3000, 128, 0},   {42000, 32, 0},  {3000, 128, 0},  {640, 128, 0},
    };
    for (uint32_t i = 0; i < SVC_MNGRG_NUM_CHANNELS; ++i) {
        SCOPED_TRACE("channel " + std::to_string(i));
        ASSERT_NE(s->channels[i], nullptr);
        EXPECT_EQ(s->channels[i]->channelId.load(), static_cast<int32_t>(i));
        MEM_POOLG_handleT pool = s->channels[i]->pool.load();
        EXPECT_EQ(MEM_POOLG_getBuffSize(pool), expected[i].bufSize);
        EXPECT_EQ(MEM_POOLG_getNumBuffs(pool), expected[i].count);
        EXPECT_EQ(s->channels[i]->connection.load(), s->conns[expected[i].iface]);
        EXPECT_EQ(s->ifCfg[expected[i].iface].params[0], expected[i].iface);
    }
    for (CONN_LYRG_handleT conn : s->conns) EXPECT_TRUE(CONN_LYRG_isRunning(conn));
}

TEST_F(SvcMngrTest, BringUpBuildsTheTenListedServiceRecords) {
    bringUp();
    struct Expected {
        const char* name;
        uint16_t queue;
        uint32_t periodMs;
        uint32_t firstChannel;
    };
    const Expected expected[SVC_MNGRG_NUM_SERVICES] = {
        {"SVC_MNGR", 16, 200, 0},  {"SYSTEM", 80, 200, 1},          {"LOGGER", 96, 50, 13},
        {"VIDEO", 16, 200, 5},     {"DEPTH", 16, 200, 7},           {"WEBCAM", 16, 200, 9},
        {"Not implemented", 100, 200, 3}, {"ALG", 16, 200, 11},     {"Not implemented", 16, 200, 15},
        {"POS_SENSORS", 16, 200, 17},
    };
    const SVC_MNGR_stateT* s = SVC_MNGRP_getState();
    for (uint32_t sid = 0; sid < SVC_MNGRG_NUM_SERVICES; ++sid) {
        SCOPED_TRACE("sid " + std::to_string(sid));
        SERVICEG_serviceT* record = SVC_MNGRG_getServiceHandle(sid);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->sid, sid);
        EXPECT_STREQ(SERVICEG_getName(record), expected[sid].name);
        EXPECT_EQ(record->inQueue.maxMsgs, expected[sid].queue);
        EXPECT_EQ(record->loopPeriodMs, expected[sid].periodMs);
        EXPECT_EQ(record->channels[0], s->channels[expected[sid].firstChannel]);
        EXPECT_EQ(record->channels[1], s->channels[expected[sid].firstChannel + 1]);
        // Only the manager supervises the link, and only it is open after bring-up.
        EXPECT_EQ(record->linkEnabled, sid == 0 ? 1u : 0u);
        EXPECT_EQ(SERVICEG_isOpen(record), sid == 0 ? 1u : 0u);
    }
    // Channel 1 is the manager's data channel and SYSTEM's control channel:
    // rows go in order, so SYSTEM's handler stays.
    EXPECT_EQ(s->channels[1]->userData, SVC_MNGRG_getServiceHandle(VPUG_SID_SYSTEM));
    EXPECT_EQ(SVC_MNGRG_getServiceHandle(10), nullptr);
    EXPECT_EQ(log_.count("service manager init done"), 1u);
}

TEST_F(SvcMngrTest, PoolThatCannotBeCreatedUnwindsWhatWasBuilt) {
    // Small pools, and pool 4 too large for any allocation.
    SVC_MNGR_poolRowT rows[SVC_MNGRG_NUM_POOLS];
    for (auto& row : rows) row = {MEM_POOLG_BUF_TYPE_HEAP_E, 3000, 8, 0};
    rows[4] = {MEM_POOLG_BUF_TYPE_HEAP_E, 0xFFFFFFFFu, 0xFFFFFFFFu, 0};
    SVC_MNGRP_setPoolTableForTest(rows);

    EXPECT_EQ(SVC_MNGRG_init(&LinkEvents::onConnState), SVC_MNGR__ERR_POOL);
    SVC_MNGRP_setPoolTableForTest(nullptr);
    EXPECT_EQ(log_.count("SVC_MNGR: alloc mempool type="), 4u);
    EXPECT_EQ(log_.count("service manager init fail"), 1u);
    EXPECT_EQ(log_.count("deinit done"), 1u);
    EXPECT_EQ(log_.count("SVC_MNGR: create connection"), 0u);
    expectNothingLeft();
    // The four pools that were made are closed again: every pool record is free.
    MEM_POOLG_handleT pools[MEM_POOLG_MAX_POOLS]{};
    MEM_POOLG_cfgT cfg{16, 1, nullptr, 0, 0};
    for (auto& pool : pools) {
        MEM_POOLG_newPool(&pool, MEM_POOLG_BUF_TYPE_HEAP_E, &cfg);
        EXPECT_NE(pool, nullptr);
    }
    for (auto* pool : pools) MEM_POOLG_closePool(pool);
    // Nothing of the link ever ran.
    EXPECT_TRUE(LinkEvents::instance().snapshot().empty());
    EXPECT_EQ(processor_.manager.keepAlivesSeen(), 0u);
}

TEST_F(SvcMngrTest, ConnectionThatCannotBeOpenedUnwindsWhatWasBuilt) {
    // Connection 2 names a USB interface the interface component refuses.
    SVC_MNGR_connRowT rows[SVC_MNGRG_NUM_CONNS];
    std::copy(std::begin(SVC_MNGR_connTable), std::end(SVC_MNGR_connTable), rows);
    rows[2].usbInterface = USB_CTRL_COMG_NUM_SLOTS + 2;
    SVC_MNGRP_setConnTableForTest(rows);
    EXPECT_EQ(SVC_MNGRG_init(&LinkEvents::onConnState), SVC_MNGR__ERR_CONNECTION);
    SVC_MNGRP_setConnTableForTest(nullptr);
    EXPECT_EQ(log_.count("SVC_MNGR: create connection type="), 2u);
    EXPECT_EQ(log_.count("SVC_MNGR: channel "), 0u);
    expectNothingLeft();
    // The two connections that were opened gave their interfaces back.
    EXPECT_EQ(usb_.closeCount(0), 1);
    EXPECT_EQ(usb_.closeCount(1), 1);
    EXPECT_FALSE(usb_.isOpen(0));
}

TEST_F(SvcMngrTest, TearDownStopsTheLinkAndLeavesNothing) {
    bringUp();
    expectPoolsFull();
    SVC_MNGRG_deInit();
    expectNothingLeft();
    EXPECT_EQ(log_.count("deinit done"), 1u);
    // The stopped link is reported to the callback as a disconnection.
    const auto events = LinkEvents::instance().snapshot();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), std::make_pair(0u, uint32_t{VPUG_CONN_STATE_DISCONNECTED_E}));
    // A second tear-down finds nothing to do.
    SVC_MNGRG_deInit();
    EXPECT_EQ(log_.count("deinit done"), 2u);
}

TEST_F(SvcMngrTest, TearDownClosesTheHostHalfOfServicesLeftOpen) {
    bringUp();
    ASSERT_TRUE(ERRG_SUCCEEDED(serviceIoctl(VPU_CMDG_OPEN_SVC_E, VPUG_SID_LOGGER)));
    ASSERT_NE(LOGGERG_getPool(), nullptr);
    SVC_MNGRG_deInit();
    EXPECT_EQ(LOGGERG_getPool(), nullptr);
    EXPECT_EQ(LOGGERG_getCounters().state, uint32_t{LOGGERG_STATE_CLOSED_E});
    // Locally: the processor heard no close.
    EXPECT_EQ(managerRequests(), 1u);
    expectNothingLeft();
}

// --- the manager's ioctls ---------------------------------------------------------------------

TEST_F(SvcMngrTest, OpenAndCloseOfAServiceGoThroughTheProcessorsManager) {
    bringUp();
    SERVICEG_serviceT* logger = SVC_MNGRG_getServiceHandle(VPUG_SID_LOGGER);
    ASSERT_TRUE(ERRG_SUCCEEDED(serviceIoctl(VPU_CMDG_OPEN_SVC_E, VPUG_SID_LOGGER)));
    EXPECT_EQ(SERVICEG_isOpen(logger), 1u);
    EXPECT_EQ(processor_.manager.openServices(), std::set<uint32_t>{VPUG_SID_LOGGER});
    EXPECT_EQ(log_.count("open service LOGGER(2) start"), 1u);
    EXPECT_EQ(log_.count("open service LOGGER(2) done"), 1u);

    ASSERT_TRUE(ERRG_SUCCEEDED(serviceIoctl(VPU_CMDG_CLOSE_SVC_E, VPUG_SID_LOGGER)));
    EXPECT_EQ(SERVICEG_isOpen(logger), 0u);
    EXPECT_TRUE(processor_.manager.openServices().empty());
    EXPECT_EQ(LOGGERG_getPool(), nullptr);
    const auto requests = processor_.manager.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, 2u);
    EXPECT_EQ(requests[1].code, 3u);
    EXPECT_EQ(requests[1].sid, uint32_t{VPUG_SID_LOGGER});
}

TEST_F(SvcMngrTest, UnknownSidPlaceholderAndUnknownCodeAreRefusedLocally) {
    bringUp();
    EXPECT_EQ(serviceIoctl(VPU_CMDG_OPEN_SVC_E, 12), SVC_MNGR__ERR_INVALID_ARGS);
    EXPECT_EQ(log_.count("sid = 12 invalid idx = 10"), 1u);
    EXPECT_EQ(serviceIoctl(VPU_CMDG_CLOSE_SVC_E, 12), SVC_MNGR__ERR_INVALID_ARGS);
    // Placeholders have no service, and the manager is not opened this way.
    EXPECT_EQ(serviceIoctl(VPU_CMDG_OPEN_SVC_E, VPUG_SID_PLACEHOLDER_6), SVC_MNGR__ERR_INVALID_ARGS);
    EXPECT_EQ(serviceIoctl(VPU_CMDG_OPEN_SVC_E, VPUG_SID_SVC_MNGR), SVC_MNGR__ERR_INVALID_ARGS);
    EXPECT_EQ(SERVICEG_isOpen(SVC_MNGRG_getServiceHandle(VPUG_SID_PLACEHOLDER_6)), 0u);
    // A code the manager does not know is a failure, not a success.
    SYSTEMG_waitAckParamsT other{0};
    EXPECT_EQ(SERVICEG_ioctl(manager(), INTERNAL_CMDG_WAIT_ACK_E, &other, sizeof(other)),
              SVC_MNGR__ERR_NOT_SUPPORTED);
    EXPECT_EQ(log_.count("unknown ioctl... 0x6"), 1u);
    // None of these reached the processor.
    EXPECT_EQ(managerRequests(), 0u);
    EXPECT_EQ(processor_.manager.unknownRequestsSeen(), 0u);
}

TEST_F(SvcMngrTest, PassThroughIsAnsweredByTheProcessor) {
    bringUp();
    constexpr uint32_t kPeerStatus = 0x02010005;
    processor_.manager.setPassThroughStatus(kPeerStatus);
    uint32_t word = 0x1234;
    EXPECT_EQ(SERVICEG_ioctl(manager(), VPU_CMDG_PASS_THROUGH_E, &word, sizeof(word)), kPeerStatus);
    EXPECT_EQ(processor_.manager.passThroughsSeen(), 1u);
    EXPECT_EQ(word, 0x1234u);
}

TEST_F(SvcMngrTest, RefusedOpenClosesTheHostHalfAgain) {
    bringUp();
    constexpr uint32_t kRefused = 0x02010004;
    processor_.manager.setOpenAnswer(VPUG_SID_DEPTH, {kRefused, false});
    EXPECT_EQ(serviceIoctl(VPU_CMDG_OPEN_SVC_E, VPUG_SID_DEPTH), kRefused);
    EXPECT_EQ(SERVICEG_isOpen(SVC_MNGRG_getServiceHandle(VPUG_SID_DEPTH)), 0u);
    EXPECT_FALSE(FRAME_SVCG_isOpen(FRAME_SVCG_DEPTH_E));

    // Accepted the second time, the service opens from scratch.
    processor_.manager.setOpenAnswer(VPUG_SID_DEPTH, {0, false});
    EXPECT_TRUE(ERRG_SUCCEEDED(serviceIoctl(VPU_CMDG_OPEN_SVC_E, VPUG_SID_DEPTH)));
    EXPECT_TRUE(FRAME_SVCG_isOpen(FRAME_SVCG_DEPTH_E));
    EXPECT_TRUE(ERRG_SUCCEEDED(serviceIoctl(VPU_CMDG_CLOSE_SVC_E, VPUG_SID_DEPTH)));
    EXPECT_FALSE(FRAME_SVCG_isOpen(FRAME_SVCG_DEPTH_E));
    expectPoolsFull();
}

TEST_F(SvcMngrTest, RefusedCloseStillReleasesTheHostHalf) {
    bringUp();
    constexpr uint32_t kRefused = 0x02010009;
    ASSERT_TRUE(ERRG_SUCCEEDED(serviceIoctl(VPU_CMDG_OPEN_SVC_E, VPUG_SID_LOGGER)));
    processor_.manager.setCloseAnswer(VPUG_SID_LOGGER, {kRefused, false});
    EXPECT_EQ(serviceIoctl(VPU_CMDG_CLOSE_SVC_E, VPUG_SID_LOGGER), kRefused);
    EXPECT_EQ(SERVICEG_isOpen(SVC_MNGRG_getServiceHandle(VPUG_SID_LOGGER)), 0u);
    EXPECT_EQ(LOGGERG_getPool(), nullptr);
}

TEST_F(SvcMngrTest, OpenRetriedAfterTheOneSecondIoctlTimeoutPreparesTheServiceOnce) {
    bringUp();
    processor_.manager.setOpenAnswer(VPUG_SID_LOGGER, {0, true});
    EXPECT_EQ(serviceIoctl(VPU_CMDG_OPEN_SVC_E, VPUG_SID_LOGGER), SERVICE__ERR_TIMEOUT);
    EXPECT_EQ(SERVICEG_isOpen(SVC_MNGRG_getServiceHandle(VPUG_SID_LOGGER)), 1u);
    MEM_POOLG_handleT pool = LOGGERG_getPool();
    ASSERT_NE(pool, nullptr);

    processor_.manager.setOpenAnswer(VPUG_SID_LOGGER, {0, false});
    EXPECT_TRUE(ERRG_SUCCEEDED(serviceIoctl(VPU_CMDG_OPEN_SVC_E, VPUG_SID_LOGGER)));
    // The processor heard the open twice, the host half was prepared once.
    EXPECT_EQ(managerRequests(), 2u);
    EXPECT_EQ(log_.count("open Logger service. handle cmd start"), 1u);
    EXPECT_EQ(LOGGERG_getPool(), pool);
    EXPECT_TRUE(ERRG_SUCCEEDED(serviceIoctl(VPU_CMDG_CLOSE_SVC_E, VPUG_SID_LOGGER)));
    EXPECT_EQ(LOGGERG_getPool(), nullptr);
}

// --- statistics -------------------------------------------------------------------------------

TEST_F(SvcMngrTest, StatisticsReportRowsOpenServicesAndConnections) {
    // Down: no report at all.
    SVC_MNGRG_showStats();
    EXPECT_EQ(log_.count("FW HOST statistics:"), 0u);

    bringUp();
    ASSERT_TRUE(ERRG_SUCCEEDED(serviceIoctl(VPU_CMDG_OPEN_SVC_E, VPUG_SID_LOGGER)));
    SVC_MNGRG_showStats();
    EXPECT_EQ(log_.count("FW HOST statistics:"), 1u);
    EXPECT_EQ(log_.count("Local Service manager table:"), 1u);
    EXPECT_EQ(log_.count("sid=0 SVC_MNGR OPEN"), 1u);
    EXPECT_EQ(log_.count("sid=2 LOGGER   OPEN"), 1u);
    EXPECT_EQ(log_.count("sid=6 Not implemented CLOSED"), 1u);
    EXPECT_EQ(log_.count("sid=9 POS_SENSORS CLOSED"), 1u);
    EXPECT_EQ(log_.count("Connections table:"), 1u);
    // The row block, LOGGER's own report, and the connections each end with the separator.
    EXPECT_EQ(log_.count(std::string(SVC_MNGRG_STATS_SEPARATOR_LEN, '*')), 3u);
    EXPECT_EQ(log_.count(std::string(SVC_MNGRG_STATS_SEPARATOR_LEN + 1, '*')), 0u);
}

TEST_F(SvcMngrTest, SystemStatisticsRequestRunsTheManagersReport) {
    bringUp();
    ASSERT_TRUE(ERRG_SUCCEEDED(serviceIoctl(VPU_CMDG_OPEN_SVC_E, VPUG_SID_SYSTEM)));
    SERVICEG_serviceT* system = SVC_MNGRG_getServiceHandle(VPUG_SID_SYSTEM);
    const uint32_t size = MARSHALG_getIoctlSize(SYSTEM_GET_STATS_E);
    std::vector<uint8_t> params(size, 0);
    EXPECT_TRUE(ERRG_SUCCEEDED(SERVICEG_ioctl(system, SYSTEM_GET_STATS_E, size ? params.data() : nullptr, size)));
    EXPECT_EQ(log_.count("FW HOST statistics:"), 1u);
    EXPECT_EQ(log_.count("sid=1 SYSTEM   OPEN"), 1u);
    // After tear-down the request no longer reaches a report.
    SVC_MNGRG_deInit();
    EXPECT_EQ(SYSTEMG_getState()->statsHook, nullptr);
}

}  // namespace
