// The SYSTEM service: its operations called directly, and the service brought
// up over the real connection layer against the simulated processor's system
// service (chunked transfers, acknowledgements, flash and buffer reads).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "host_lib/conn_lyr.h"
#include "host_lib/marshal.h"
#include "host_lib/service.h"
#include "host_lib/svc_com.h"
#include "host_lib/system_svc.h"
#include "host_lib/tests/packet_link_fixture.h"
#include "host_lib/usb_ctrl_com.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/mem_pool.h"
#include "sim/sim_system_peer.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace {

using namespace std::chrono_literals;
using linktest::LogWatcher;
using linktest::pattern;
using zsim::Bytes;
using zsim::SimSystemPeer;

std::atomic<int> gStatsReports{0};
void countStatsReport() { gStatsReports.fetch_add(1); }

// A context of the test's own whose log lines the test watches.
class LoggedContext {
protected:
    LoggedContext() : holder_(std::make_shared<morv::driver::Context>()), context_(holder_) {
        linktest::watchLog(log_);
    }
    ~LoggedContext() { LOGG_deinit(); }

    PZContextHolder holder_;
    LogWatcher log_;
    morv::driver::ScopedThreadContext context_;
};

// =====================================================================================
// Operations called directly (no service record: nothing can be sent)
// =====================================================================================

class SystemOpsTest : public ::testing::Test, protected LoggedContext {
protected:
    const SERVICE_opsTable* ops_ = SYSTEMG_getOpsTable();

    ERRG_codeE open(uint32_t phase) {
        SERVICEG_requestT request{nullptr, phase, 0, nullptr};
        return ops_->open(&request);
    }
    ERRG_codeE close(uint32_t phase) {
        SERVICEG_requestT request{nullptr, phase, 0, nullptr};
        return ops_->close(&request);
    }
    ERRG_codeE ioctl(uint32_t code, void* params, uint32_t phase = SERVICEG_PHASE_START_E) {
        SERVICEG_requestT request{nullptr, phase, code, params};
        return ops_->hostIoctl(&request);
    }
    ERRG_codeE waitAck(uint32_t dataType) {
        SYSTEMG_waitAckParamsT params{dataType};
        return ioctl(INTERNAL_CMDG_WAIT_ACK_E, &params);
    }
    ERRG_codeE message(uint32_t code, void* record, Bytes payload = {}) {
        return ops_->handleMsg(code, record, payload.empty() ? nullptr : payload.data(),
                               static_cast<uint32_t>(payload.size()), nullptr);
    }
    ERRG_codeE flashChunk(uint16_t index, uint32_t count, uint32_t total, Bytes bytes) {
        SYSTEMG_flashChunkT chunk{1, index, static_cast<uint32_t>(bytes.size()), count, total};
        return message(INTERNAL_CMDG_FLASH_READ_CHUNK_E, &chunk, std::move(bytes));
    }
    ERRG_codeE readBufChunk(uint16_t index, uint32_t size, uint32_t count, Bytes bytes) {
        SYSTEMG_readBufChunkT chunk{index, size, count};
        return message(INTERNAL_CMDG_READ_BUF_CHUNK_E, &chunk, std::move(bytes));
    }
    ERRG_codeE sendBuf(uint32_t dataType, uint32_t size, const void* data) {
        SYSTEMG_sendBufParamsT params{dataType, 0, size, data, nullptr};
        return ioctl(INTERNAL_CMDG_SEND_BUF_E, &params);
    }
};

TEST(SystemCommandNames, EveryCodeHasItsNameAndOthersAreInvalid) {
    EXPECT_EQ(VPU_CMDG_cmdNameTable.size(), 31u);
    EXPECT_STREQ(VPU_CMDG_cmdToString(0x00000001), "VPU_CMDG_FREE_BUF_E");
    EXPECT_STREQ(VPU_CMDG_cmdToString(0x01000001), "SYSTEM_GET_VERSION_E");
    EXPECT_STREQ(VPU_CMDG_cmdToString(0x01000007), "SYSTEM_GET_STATS_E");
    EXPECT_STREQ(VPU_CMDG_cmdToString(0x01000009), "SYSTEM_SENSOR_SET_CFG");
    EXPECT_STREQ(VPU_CMDG_cmdToString(0x01000014), "SYSTEM_FLASH_GET_SIZE_E");
    EXPECT_STREQ(VPU_CMDG_cmdToString(0x02000002), "LOGGER_GET_PARAMS_E");
    EXPECT_STREQ(VPU_CMDG_cmdToString(0x05000001), "WEBCAM_STREAM_START_E");
    EXPECT_STREQ(VPU_CMDG_cmdToString(0x06000002), "INJECT_STREAM_STOP_E");
    EXPECT_STREQ(VPU_CMDG_cmdToString(0x07000004), "VPU_CMDG_ALG_STREAM_LAST_E");
    // Gaps and neighbours have no name.
    for (uint32_t code : {0x00000000u, 0x00000005u, 0x01000008u, 0x01000015u, 0x07000001u, 0xFFFFFFFFu})
        EXPECT_STREQ(VPU_CMDG_cmdToString(code), "INVALID_CMD") << std::hex << code;
    // One row per code: a duplicate would shadow its twin.
    for (size_t i = 1; i < VPU_CMDG_cmdNameTable.size(); ++i)
        EXPECT_LT(VPU_CMDG_cmdNameTable[i - 1].code, VPU_CMDG_cmdNameTable[i].code);
}

TEST_F(SystemOpsTest, FiveOperationsNoFastPathAndNoReadFunction) {
    EXPECT_STREQ(ops_->getName(), "SYSTEM");
    EXPECT_NE(ops_->handleMsg, nullptr);
    EXPECT_EQ(ops_->periodic, nullptr);
    EXPECT_EQ(ops_->ctrlFastPath, nullptr);
    EXPECT_EQ(ops_->dataFastPath, nullptr);
    // Asked for its read function, the service writes null over whatever was there.
    VPUG_getReadFuncParams params{reinterpret_cast<VPUG_readFuncT>(&countStatsReport)};
    EXPECT_EQ(ioctl(VPU_CMDG_GET_READ_FUNC_E, &params), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(params.readFunc, nullptr);
}

TEST_F(SystemOpsTest, OpenAndCloseGoToThePeerThenReportDone) {
    EXPECT_EQ(open(SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    EXPECT_EQ(open(SERVICEG_PHASE_DONE_E), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(close(SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    EXPECT_EQ(close(SERVICEG_PHASE_DONE_E), SYSTEM__RET_SUCCESS);
    for (const char* line : {"open system service. handle cmd start", "open system service. handle cmd done",
                             "close system service. handle cmd start", "close system service. handle cmd done"})
        EXPECT_EQ(log_.count(line), 1u) << line;
}

TEST_F(SystemOpsTest, EachAcknowledgementIsConsumedOnce) {
    open(SERVICEG_PHASE_START_E);
    const std::pair<uint32_t, uint32_t> acks[] = {{INTERNAL_CMDG_CEVA_CHUNK_E, SYSTEMG_DATA_CEVA_APP_E},
                                                  {INTERNAL_CMDG_LUT_CHUNK_E, SYSTEMG_DATA_LUT_E},
                                                  {INTERNAL_CMDG_FLASH_WRITE_CHUNK_E, SYSTEMG_DATA_FLASH_E},
                                                  {INTERNAL_CMDG_BUF_CHUNK_E, SYSTEMG_DATA_BUFFER_E}};
    for (auto [code, type] : acks) {
        EXPECT_EQ(waitAck(type), SYSTEM__ERR_NO_ACK) << std::hex << type;
        uint8_t record[20] = {};
        EXPECT_EQ(message(code, record), SYSTEM__RET_SUCCESS);
        // The flags are separate: only this type's acknowledgement has come.
        for (auto [otherCode, other] : acks) {
            if (other != type) {
                EXPECT_EQ(waitAck(other), SYSTEM__ERR_NO_ACK) << std::hex << other;
            }
        }
        EXPECT_EQ(waitAck(type), SYSTEM__RET_SUCCESS) << std::hex << type;
        EXPECT_EQ(waitAck(type), SYSTEM__ERR_NO_ACK) << std::hex << type;
    }
    // Both CEVA types share one flag; another type has nothing to wait for.
    uint8_t record[16] = {};
    message(INTERNAL_CMDG_CEVA_CHUNK_E, record);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_CEVA_APP_1_E), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_CEVA_APP_E), SYSTEM__ERR_NO_ACK);
    EXPECT_EQ(waitAck(0x01000005), SYSTEM__RET_SUCCESS);
    for (const char* line : {"receive ack for ceva app.", "receive ack for new lut.", "receive ack for write buffer.",
                             "receive ack for write Flash buf."})
        EXPECT_GE(log_.count(line), 1u) << line;
}

TEST_F(SystemOpsTest, OpenClearsAcknowledgementsAndReadsButKeepsTheStatsHook) {
    SYSTEMG_setStatsHook(&countStatsReport);
    open(SERVICEG_PHASE_START_E);
    uint8_t record[20] = {};
    message(INTERNAL_CMDG_LUT_CHUNK_E, record);
    uint8_t destination[8] = {};
    SYSTEMG_flashReadParamsT read{sizeof(destination), destination};
    EXPECT_EQ(ioctl(SYSTEM_FLASH_READ_E, &read), SERVICE__INCOMPLETE);

    open(SERVICEG_PHASE_START_E);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_LUT_E), SYSTEM__ERR_NO_ACK);
    EXPECT_EQ(flashChunk(0, 1, 8, Bytes(8, 0x11)), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(destination[0], 0u);  // the read of the earlier opening no longer writes
    const int before = gStatsReports.load();
    EXPECT_EQ(ioctl(SYSTEM_GET_STATS_E, nullptr), SERVICE__INCOMPLETE);
    EXPECT_EQ(gStatsReports.load(), before + 1);
    SYSTEMG_setStatsHook(nullptr);
    EXPECT_EQ(ioctl(SYSTEM_GET_STATS_E, nullptr), SERVICE__INCOMPLETE);
    EXPECT_EQ(gStatsReports.load(), before + 1);
}

TEST_F(SystemOpsTest, UnknownIoctlsAndMessagesAreRefused) {
    open(SERVICEG_PHASE_START_E);
    uint8_t record[64] = {};
    EXPECT_EQ(ioctl(SYSTEM_REGISTER_EVT_E, record), SYSTEM__ERR_INVALID_ARGS);
    EXPECT_EQ(log_.count("unknown ioctl. 0x1000006"), 1u);
    for (uint32_t code : {0x01000018u, uint32_t{LOGGER_SET_PARAMS_E}, uint32_t{VPU_CMDG_FREE_BUF_E}, 0x00000007u})
        EXPECT_EQ(ioctl(code, record), SYSTEM__ERR_INVALID_ARGS) << std::hex << code;
    EXPECT_EQ(message(12, record), SYSTEM__ERR_INVALID_ARGS);
    EXPECT_EQ(log_.count("unknown msgCode. msgCode = 12"), 1u);
    EXPECT_EQ(message(SYSTEM_GET_VERSION_E, record), SYSTEM__ERR_INVALID_ARGS);
    // The start line names the command.
    EXPECT_EQ(log_.count("Receive new ioctl handle cmd start. ioctl opcode: SYSTEM_REGISTER_EVT_E"), 1u);
}

TEST_F(SystemOpsTest, SystemCommandsGoToThePeerAndTheirDonePhaseSucceeds) {
    open(SERVICEG_PHASE_START_E);
    uint8_t record[800] = {};
    std::vector<uint32_t> forwarded;
    for (uint32_t code = 0x01000001; code <= 0x01000005; ++code) forwarded.push_back(code);
    for (uint32_t code = 0x01000008; code <= 0x01000014; ++code) forwarded.push_back(code);
    forwarded.push_back(0x01000017);
    for (uint32_t code : forwarded) {
        EXPECT_EQ(ioctl(code, record), SERVICE__INCOMPLETE) << std::hex << code;
        EXPECT_EQ(ioctl(code, record, SERVICEG_PHASE_DONE_E), SYSTEM__RET_SUCCESS) << std::hex << code;
    }
    EXPECT_EQ(log_.count("Receive new ioctl handle cmd done. ioctl opcode: SYSTEM_FLASH_GET_SIZE_E"), 1u);
}

TEST_F(SystemOpsTest, SendBufferRefusesBadRequestsBeforeSendingAnything) {
    open(SERVICEG_PHASE_START_E);
    const Bytes data = pattern(300, 1);
    EXPECT_EQ(sendBuf(0x01000005, 300, data.data()), SYSTEM__ERR_WRONG_DATA_TYPE);
    EXPECT_EQ(log_.count("INTERNAL_CMDG_SEND_BUF_E fail. wrong data type 16777221"), 1u);
    // A LUT shorter than its header has no chunks to cut: refused, not wrapped round.
    EXPECT_EQ(sendBuf(SYSTEMG_DATA_LUT_E, 127, data.data()), SYSTEM__ERR_INVALID_ARGS);
    EXPECT_EQ(sendBuf(SYSTEMG_DATA_LUT_E, 0, data.data()), SYSTEM__ERR_INVALID_ARGS);
    EXPECT_EQ(log_.count("LUT shorter than its 128-byte header, size 127"), 1u);
    // A header alone, or nothing at all, sends nothing.
    EXPECT_EQ(sendBuf(SYSTEMG_DATA_LUT_E, 128, data.data()), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(sendBuf(SYSTEMG_DATA_CEVA_APP_E, 0, nullptr), SYSTEM__RET_SUCCESS);
    // Bytes that are not there, and more chunks than a 16-bit index numbers.
    EXPECT_EQ(sendBuf(SYSTEMG_DATA_FLASH_E, 10, nullptr), SYSTEM__ERR_INVALID_ARGS);
    EXPECT_EQ(sendBuf(SYSTEMG_DATA_BUFFER_E, 10, nullptr), SYSTEM__ERR_INVALID_ARGS);
    SYSTEMG_bufferTargetT target{nullptr, 0x100};
    EXPECT_EQ(sendBuf(SYSTEMG_DATA_BUFFER_E, 10, &target), SYSTEM__ERR_INVALID_ARGS);
    EXPECT_EQ(sendBuf(SYSTEMG_DATA_CEVA_APP_E, 0xFFFFFFFFu, data.data()), SYSTEM__ERR_INVALID_ARGS);
    EXPECT_EQ(sendBuf(SYSTEMG_DATA_CEVA_APP_E, 0x20000001u, data.data()), SYSTEM__ERR_INVALID_ARGS);
    // A service that is not open gives up its first chunk at once.
    EXPECT_EQ(sendBuf(SYSTEMG_DATA_CEVA_APP_E, 300, data.data()), SYSTEM__ERR_IO);
    EXPECT_EQ(log_.count("transfer abandoned"), 1u);
}

TEST_F(SystemOpsTest, FlashReadChunksLandOnlyInThePendingDestinationAndWithinIt) {
    open(SERVICEG_PHASE_START_E);
    // No read pending: the chunk is consumed and goes nowhere.
    EXPECT_EQ(flashChunk(0, 1, 100, Bytes(100, 0x22)), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(log_.count("read flash chunk 0 with no read pending dropped"), 1u);

    // The peer announces more than was asked for: only what fits is written.
    std::vector<uint8_t> destination(10000 + 64, 0xEE);
    SYSTEMG_flashReadParamsT read{10000, destination.data()};
    ASSERT_EQ(ioctl(SYSTEM_FLASH_READ_E, &read), SERVICE__INCOMPLETE);
    const Bytes first = pattern(8192, 3);
    EXPECT_EQ(flashChunk(0, 3, 20000, first), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(flashChunk(1, 3, 20000, pattern(8192, 4)), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(flashChunk(2, 3, 20000, pattern(3616, 5)), SYSTEM__RET_SUCCESS);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), destination.begin()));
    for (size_t i = 8192; i < destination.size(); ++i) ASSERT_EQ(destination[i], 0xEE) << i;
    EXPECT_EQ(ioctl(SYSTEM_FLASH_READ_E, &read, SERVICEG_PHASE_DONE_E), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(log_.count("read FLASH buf fail."), 1u);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_FLASH_E), SYSTEM__ERR_NO_ACK);
    // Once done, the destination is no longer written.
    EXPECT_EQ(flashChunk(0, 1, 100, Bytes(100, 0x33)), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(destination[0], first[0]);

    // A read that fits: bytes in place, the flash acknowledgement set. A
    // chunk at or past the total is counted but carries nothing to write.
    std::fill(destination.begin(), destination.end(), 0xEE);
    ASSERT_EQ(ioctl(SYSTEM_FLASH_READ_E, &read), SERVICE__INCOMPLETE);
    const Bytes second = pattern(1808, 6);
    EXPECT_EQ(flashChunk(1, 3, 10000, second), SYSTEM__RET_SUCCESS);  // out of order
    EXPECT_EQ(flashChunk(0, 3, 10000, first), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(flashChunk(2, 3, 10000, Bytes(50, 0x77)), SYSTEM__RET_SUCCESS);
    ioctl(SYSTEM_FLASH_READ_E, &read, SERVICEG_PHASE_DONE_E);
    EXPECT_EQ(log_.count("read FLASH buf success."), 1u);
    EXPECT_EQ(log_.count("receive ack for read flash buf."), 1u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), destination.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), destination.begin() + 8192));
    for (size_t i = 10000; i < destination.size(); ++i) ASSERT_EQ(destination[i], 0xEE) << i;
    EXPECT_EQ(waitAck(SYSTEMG_DATA_FLASH_E), SYSTEM__RET_SUCCESS);

    // No chunk at all is no success, and a null destination takes nothing.
    SYSTEMG_flashReadParamsT nowhere{100, nullptr};
    ASSERT_EQ(ioctl(SYSTEM_FLASH_READ_E, &nowhere), SERVICE__INCOMPLETE);
    EXPECT_EQ(flashChunk(0, 1, 100, Bytes(100, 0x44)), SYSTEM__RET_SUCCESS);
    ioctl(SYSTEM_FLASH_READ_E, &nowhere, SERVICEG_PHASE_DONE_E);
    ASSERT_EQ(ioctl(SYSTEM_FLASH_READ_E, &read), SERVICE__INCOMPLETE);
    ioctl(SYSTEM_FLASH_READ_E, &read, SERVICEG_PHASE_DONE_E);
    EXPECT_EQ(log_.count("read FLASH buf fail."), 3u);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_FLASH_E), SYSTEM__ERR_NO_ACK);
}

TEST_F(SystemOpsTest, BufferReadChunksAdvanceByWholeWordsAndStayInsideTheDestination) {
    open(SERVICEG_PHASE_START_E);
    EXPECT_EQ(readBufChunk(0, 4, 1, Bytes(4, 0x55)), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(log_.count("read buffer chunk 0 with no read pending dropped"), 1u);

    std::vector<uint8_t> destination(16 + 8, 0xEE);
    SYSTEMG_bufReadParamsT read{0x4000, 16, destination.data()};
    ASSERT_EQ(ioctl(SYSTEM_READ_BUF_E, &read), SERVICE__INCOMPLETE);
    EXPECT_EQ(readBufChunk(0, 6, 4, Bytes{1, 2, 3, 4, 5, 6}), SYSTEM__RET_SUCCESS);
    // The position moved by 4 (6 rounded down to whole words).
    EXPECT_EQ(readBufChunk(1, 8, 4, Bytes{11, 12, 13, 14, 15, 16, 17, 18}), SYSTEM__RET_SUCCESS);
    // 4 bytes of room are left: an 8-byte chunk does not fit, nor does a size
    // larger than the bytes that came.
    EXPECT_EQ(readBufChunk(2, 8, 4, Bytes(8, 0x99)), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(readBufChunk(2, 4, 4, Bytes(2, 0x99)), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(readBufChunk(3, 4, 4, Bytes{21, 22, 23, 24}), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(ioctl(SYSTEM_READ_BUF_E, &read, SERVICEG_PHASE_DONE_E), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(log_.count("receive ack for reading bufer."), 1u);
    EXPECT_EQ(readBufChunk(0, 4, 1, Bytes(4, 0x66)), SYSTEM__RET_SUCCESS);  // after the read: dropped
    const std::vector<uint8_t> expected = {1,  2,  3,  4,  11, 12, 13, 14, 15, 16, 17, 18,
                                           21, 22, 23, 24, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(destination, expected);
    EXPECT_EQ(log_.count("dropped"), 4u);
}

TEST_F(SystemOpsTest, StatisticsReportTimingAndRestartTheClock) {
    open(SERVICEG_PHASE_START_E);
    SYSTEMG_showStats();
    EXPECT_EQ(log_.count("System service statistics:"), 1u);
    EXPECT_EQ(log_.count("--------------------------"), 1u);
    EXPECT_EQ(log_.count("Service timing: Exist for 0 sec, 0 sec from last statistics"), 1u);
    // Back-date the opening: the age grows, the time since the last report restarts.
    SYSTEMG_stateT* state = SYSTEMG_getState();
    state->createdSec -= 7;
    state->lastStatsSec -= 3;
    SYSTEMG_showStats();
    EXPECT_EQ(log_.count("Service timing: Exist for 7 sec, 3 sec from last statistics"), 1u);
    SYSTEMG_showStats();
    EXPECT_EQ(log_.count("Service timing: Exist for 7 sec, 0 sec from last statistics"), 1u);
}

// =====================================================================================
// The service over the connection layer, against the simulated system service
// =====================================================================================

class SystemServiceTest : public ::testing::Test, protected LoggedContext {
protected:
    static constexpr uint32_t kCtrlChannel = SimSystemPeer::kCtrlChannel;
    static constexpr uint32_t kDataChannel = SimSystemPeer::kDataChannel;

    SystemServiceTest() : usb_(zsim::SimUsb::installFresh()), vpu_(usb_), peer_(vpu_) {}

    void SetUp() override {
        usb_.plug({0, 1, 2, 3});
        vpu_.start();
        peer_.serve();
        MEM_POOLG_init();
        // The sizes the service manager gives these two channels.
        ctrlPool_ = linktest::heapPool(3000, 128);
        dataPool_ = linktest::heapPool(16512, 80);
        ASSERT_NE(ctrlPool_, nullptr);
        ASSERT_NE(dataPool_, nullptr);
        ASSERT_EQ(CONN_LYRG_init(), CONN_LYR__RET_SUCCESS);
        ASSERT_EQ(SVC_COMG_init(), SVC_COM__RET_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(linktest::openLink(
            &conn_, ifCfg_, 0, {{kCtrlChannel, ctrlPool_, &channels_[0]}, {kDataChannel, dataPool_, &channels_[1]}}));
        SERVICEG_initParamsT params{VPUG_SID_SYSTEM, 2, 80, channels_, SYSTEMG_getOpsTable(), 10, 0, 0, nullptr};
        ASSERT_EQ(SERVICEG_init(&svc_, &params), SERVICE__RET_SUCCESS);
        // Both phases, as the service manager runs them around the peer's open.
        ASSERT_EQ(SERVICEG_open(svc_, SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
        ASSERT_EQ(SERVICEG_open(svc_, SERVICEG_PHASE_DONE_E), SYSTEM__RET_SUCCESS);
    }

    void TearDown() override {
        releaseHeld();
        if (svc_ != nullptr) {
            // Every record the service took for requests and messages is back.
            EXPECT_EQ(MEM_POOLG_getNumFree(svc_->pool), MEM_POOLG_getNumBuffs(svc_->pool));
            SERVICEG_deInit(svc_);
        }
        linktest::closeLinks(channels_, {&conn_, 1});
        vpu_.stop();
        // Every chunk sent and every message received went back to its pool.
        linktest::expectReturnedAndClose({ctrlPool_, dataPool_});
        usb_.reset();
    }

    template <typename T>
    ERRG_codeE ioctl(uint32_t code, T& record) {
        return SERVICEG_ioctl(svc_, code, &record, sizeof(record));
    }
    ERRG_codeE sendBuf(uint32_t dataType, uint32_t size, const void* data) {
        SYSTEMG_sendBufParamsT params{dataType, 0, size, data, nullptr};
        return ioctl(INTERNAL_CMDG_SEND_BUF_E, params);
    }
    ERRG_codeE waitAck(uint32_t dataType) {
        SYSTEMG_waitAckParamsT params{dataType};
        return ioctl(INTERNAL_CMDG_WAIT_ACK_E, params);
    }
    // The acknowledgement has been handled once its line is logged, on the
    // service thread that also answers the next wait request.
    bool ackHandled(const char* line, size_t times = 1) { return log_.waitFor(line, times, 2000ms); }

    // Takes every buffer of the data channel's pool, so no chunk can be allocated.
    void holdDataPool() {
        MEM_POOLG_bufDescT* buffer = nullptr;
        while (ERRG_SUCCEEDED(MEM_POOLG_alloc(dataPool_, 16, &buffer))) held_.push_back(buffer);
    }
    void releaseHeld() {
        for (MEM_POOLG_bufDescT* buffer : held_) MEM_POOLG_freeBuff(buffer);
        held_.clear();
    }

    zsim::SimUsb& usb_;
    zsim::SimVpu vpu_;
    SimSystemPeer peer_;
    MEM_POOLG_handleT ctrlPool_ = nullptr;
    MEM_POOLG_handleT dataPool_ = nullptr;
    CONN_LYRG_ifCfgT ifCfg_{};
    CONN_LYRG_handleT conn_ = nullptr;
    SVC_COMG_handleT channels_[2]{};
    SERVICEG_serviceT* svc_ = nullptr;
    std::vector<MEM_POOLG_bufDescT*> held_;
};

TEST_F(SystemServiceTest, TwentyThousandByteApplicationGoesOutInThreeAcknowledgedChunks) {
    const Bytes app = pattern(20000, 9);
    ASSERT_EQ(sendBuf(SYSTEMG_DATA_CEVA_APP_E, 20000, app.data()), SYSTEM__RET_SUCCESS);
    ASSERT_TRUE(peer_.waitForBlocks(1, 2000ms));
    const auto chunks = peer_.chunks();
    ASSERT_EQ(chunks.size(), 3u);
    const uint32_t sizes[] = {8192, 8192, 3616};
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(chunks[i].code, INTERNAL_CMDG_CEVA_CHUNK_E);
        EXPECT_EQ(chunks[i].channel, kDataChannel);
        EXPECT_EQ(chunks[i].dataType, SYSTEMG_DATA_CEVA_APP_E);
        EXPECT_EQ(chunks[i].index, i);
        EXPECT_EQ(chunks[i].size, sizes[i]);
        EXPECT_EQ(chunks[i].count, 3u);
        EXPECT_EQ(chunks[i].data.size(), sizes[i]);
    }
    EXPECT_EQ(peer_.blocks()[0].bytes, app);
    // The wire record of a CEVA chunk is 14 packed bytes.
    EXPECT_EQ(chunks[2].record, (Bytes{0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x20, 0x0E, 0x00, 0x00, 3, 0, 0, 0}));

    ASSERT_TRUE(ackHandled("receive ack for ceva app."));
    EXPECT_EQ(waitAck(SYSTEMG_DATA_CEVA_APP_E), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_CEVA_APP_E), SYSTEM__ERR_NO_ACK);
}

TEST_F(SystemServiceTest, SixteenKilobyteBufferTargetsConsecutiveAddresses) {
    const Bytes bytes = pattern(16384, 2);
    SYSTEMG_bufferTargetT target{bytes.data(), 0x20001000};
    ASSERT_EQ(sendBuf(SYSTEMG_DATA_BUFFER_E, 16384, &target), SYSTEM__RET_SUCCESS);
    ASSERT_TRUE(peer_.waitForBlocks(1, 2000ms));
    const auto chunks = peer_.chunks();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].address, 0x20001000u);
    EXPECT_EQ(chunks[1].address, 0x20001000u + 8192);
    EXPECT_EQ(chunks[1].size, 8192u);
    EXPECT_EQ(chunks[1].count, 2u);
    EXPECT_EQ(peer_.blocks()[0].bytes, bytes);
    ASSERT_TRUE(ackHandled("receive ack for write buffer."));
    EXPECT_EQ(waitAck(SYSTEMG_DATA_BUFFER_E), SYSTEM__RET_SUCCESS);
}

TEST_F(SystemServiceTest, LutSendsWhatFollowsItsHeaderAndIsAcknowledgedOnce) {
    peer_.setAckMode(SimSystemPeer::AckMode::None);
    Bytes lut = pattern(128 + 8192, 4);
    const uint32_t first = 0x80000007;  // flag bit and id 7
    std::memcpy(lut.data(), &first, sizeof(first));
    ASSERT_EQ(sendBuf(SYSTEMG_DATA_LUT_E, static_cast<uint32_t>(lut.size()), lut.data()), SYSTEM__RET_SUCCESS);
    ASSERT_TRUE(peer_.waitForBlocks(1, 2000ms));
    const auto chunks = peer_.chunks();
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].lutId, 7u);
    EXPECT_EQ(chunks[0].lutFlag, 1u);
    EXPECT_EQ(chunks[0].size, 8192u);
    EXPECT_EQ(chunks[0].count, 1u);
    EXPECT_EQ(chunks[0].total, 8192u);
    EXPECT_EQ(chunks[0].data, Bytes(lut.begin() + 128, lut.end()));

    // Polling answers "not yet" until the peer's acknowledgement has come.
    EXPECT_EQ(waitAck(SYSTEMG_DATA_LUT_E), SYSTEM__ERR_NO_ACK);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_LUT_E), SYSTEM__ERR_NO_ACK);
    ASSERT_TRUE(peer_.sendData(SimSystemPeer::kLutChunk, chunks[0].record, {}));
    ASSERT_TRUE(ackHandled("receive ack for new lut."));
    EXPECT_EQ(waitAck(SYSTEMG_DATA_LUT_E), SYSTEM__RET_SUCCESS);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_LUT_E), SYSTEM__ERR_NO_ACK);
}

TEST_F(SystemServiceTest, FlashWriteClearsAnEarlierAcknowledgementBeforeItStarts) {
    // A stray acknowledgement arrives before the transfer.
    ASSERT_TRUE(peer_.sendData(SimSystemPeer::kFlashWriteChunk, SimSystemPeer::flashChunkRecord(1, 0, 0, 1, 0), {}));
    ASSERT_TRUE(ackHandled("receive ack for write Flash buf."));
    peer_.setAckMode(SimSystemPeer::AckMode::None);
    const Bytes flash = pattern(9000, 8);
    ASSERT_EQ(sendBuf(SYSTEMG_DATA_FLASH_E, 9000, flash.data()), SYSTEM__RET_SUCCESS);
    ASSERT_TRUE(peer_.waitForBlocks(1, 2000ms));
    const auto chunks = peer_.chunks();
    ASSERT_EQ(chunks.size(), 2u);
    for (const auto& chunk : chunks) {
        EXPECT_EQ(chunk.word, 1u);
        EXPECT_EQ(chunk.total, 9000u);
        EXPECT_EQ(chunk.count, 2u);
    }
    EXPECT_EQ(chunks[1].size, 808u);
    EXPECT_EQ(peer_.blocks()[0].bytes, flash);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_FLASH_E), SYSTEM__ERR_NO_ACK);
}

TEST_F(SystemServiceTest, FlashReadIsReassembledAndAcknowledged) {
    const Bytes flash = pattern(20000, 5);
    peer_.setFlash(flash);
    std::vector<uint8_t> destination(20000 + 64, 0xEE);
    SYSTEMG_flashReadParamsT read{20000, destination.data()};
    ASSERT_EQ(ioctl(SYSTEM_FLASH_READ_E, read), 0u);  // the peer's status
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), destination.begin()));
    for (size_t i = 20000; i < destination.size(); ++i) ASSERT_EQ(destination[i], 0xEE) << i;
    EXPECT_EQ(log_.count("receive read flash chunk: Chunk number 3 from 3 chunks."), 1u);
    EXPECT_EQ(log_.count("read FLASH buf success."), 1u);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_FLASH_E), SYSTEM__RET_SUCCESS);
    // The request went to the peer with the size in its first word.
    const auto requests = peer_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].channel, kCtrlChannel);
    EXPECT_EQ(requests[0].header().code, SYSTEM_FLASH_READ_E);
    const Bytes record = requests[0].payload();
    ASSERT_EQ(record.size(), 12u);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 4), (Bytes{0x20, 0x4E, 0, 0}));
}

TEST_F(SystemServiceTest, FlashReadMissingAChunkFails) {
    peer_.setFlash(pattern(20000, 5));
    SimSystemPeer::ReadPlan plan;
    plan.skipChunks = {1};
    peer_.setReadPlan(plan);
    std::vector<uint8_t> destination(20000, 0xEE);
    SYSTEMG_flashReadParamsT read{20000, destination.data()};
    ASSERT_EQ(ioctl(SYSTEM_FLASH_READ_E, read), 0u);
    EXPECT_EQ(log_.count("read FLASH buf fail."), 1u);
    EXPECT_EQ(log_.count("Host not receive all read flash chunk."), 1u);
    EXPECT_EQ(destination[8192], 0xEE);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_FLASH_E), SYSTEM__ERR_NO_ACK);
}

TEST_F(SystemServiceTest, FlashReadLargerThanAskedStaysInsideTheDestination) {
    peer_.setFlash(pattern(30000, 5));
    SimSystemPeer::ReadPlan plan;
    plan.bytesToSend = 30000;
    peer_.setReadPlan(plan);
    std::vector<uint8_t> destination(10000 + 64, 0xEE);
    SYSTEMG_flashReadParamsT read{10000, destination.data()};
    ASSERT_EQ(ioctl(SYSTEM_FLASH_READ_E, read), 0u);
    for (size_t i = 8192; i < destination.size(); ++i) ASSERT_EQ(destination[i], 0xEE) << i;
    EXPECT_EQ(log_.count("does not fit the 10000 B destination"), 3u);
    EXPECT_EQ(log_.count("read FLASH buf fail."), 1u);
}

TEST_F(SystemServiceTest, BufferReadIsReassembledWithinItsDestination) {
    const Bytes memory = pattern(12000, 7);
    peer_.setMemory(0x1000, memory);
    std::vector<uint8_t> destination(12000 + 16, 0xEE);
    SYSTEMG_bufReadParamsT read{0x1000, 12000, destination.data()};
    ASSERT_EQ(ioctl(SYSTEM_READ_BUF_E, read), 0u);
    EXPECT_TRUE(std::equal(memory.begin(), memory.end(), destination.begin()));
    EXPECT_EQ(destination[12000], 0xEE);
    EXPECT_EQ(log_.count("receive ack for reading bufer."), 1u);

    // Chunks that claim more bytes than they carry are refused, not copied.
    SimSystemPeer::ReadPlan plan;
    plan.sizeField = 9000;
    peer_.setReadPlan(plan);
    std::fill(destination.begin(), destination.end(), 0xEE);
    ASSERT_EQ(ioctl(SYSTEM_READ_BUF_E, read), 0u);
    EXPECT_EQ(std::count(destination.begin(), destination.end(), 0xEE), static_cast<long>(destination.size()));
}

TEST_F(SystemServiceTest, ChunksNobodyAskedForAreDroppedAndFreed) {
    ASSERT_TRUE(peer_.sendFlashReadChunk(0, 1, 4000, pattern(4000, 1)));
    ASSERT_TRUE(peer_.sendReadBufChunk(0, 4000, 1, pattern(4000, 2)));
    // A chunk whose record is cut short never reaches the service.
    ASSERT_TRUE(peer_.sendData(SimSystemPeer::kFlashReadChunk, Bytes{1, 0, 0}, {}));
    ASSERT_TRUE(peer_.sendData(SimSystemPeer::kCevaChunk, Bytes(14, 0), {}));  // behind them all
    ASSERT_TRUE(ackHandled("receive ack for ceva app."));
    EXPECT_EQ(log_.count("read flash chunk 0 with no read pending dropped"), 1u);
    EXPECT_EQ(log_.count("read buffer chunk 0 with no read pending dropped"), 1u);
    EXPECT_EQ(svc_->dataDrops.load(), 1u);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_CEVA_APP_E), SYSTEM__RET_SUCCESS);
}

TEST_F(SystemServiceTest, StatisticsRequestRunsTheRegisteredReportThenGoesToThePeer) {
    SYSTEMG_setStatsHook(&countStatsReport);
    const int before = gStatsReports.load();
    EXPECT_EQ(SERVICEG_ioctl(svc_, SYSTEM_GET_STATS_E, nullptr, 0), 0u);
    EXPECT_EQ(gStatsReports.load(), before + 1);
    ASSERT_EQ(peer_.requests().size(), 1u);
    EXPECT_EQ(peer_.requests()[0].header().code, SYSTEM_GET_STATS_E);
    SYSTEMG_setStatsHook(nullptr);
}

TEST_F(SystemServiceTest, ForwardedCommandReturnsThePeersStatusAndRecord) {
    peer_.setStatus(SYSTEM_FLASH_GET_SIZE_E, 0x01270011);
    uint32_t size = 0x00400000;
    EXPECT_EQ(ioctl(SYSTEM_FLASH_GET_SIZE_E, size), 0x01270011u);
    EXPECT_EQ(size, 0x00400000u);
    uint32_t refused = 0;
    EXPECT_EQ(ioctl(SYSTEM_REGISTER_EVT_E, refused), SERVICE__ERR_INVALID_ARGS);  // no host record: never sent
    EXPECT_EQ(peer_.requests().size(), 1u);
}

TEST_F(SystemServiceTest, EmptyPoolIsRetriedUntilABufferComesBack) {
    holdDataPool();
    Bytes lut = pattern(128 + 100, 4);
    const uint32_t first = 5;
    std::memcpy(lut.data(), &first, sizeof(first));
    auto result = std::async(std::launch::async, [&] {
        morv::driver::ScopedThreadContext same(holder_);
        return sendBuf(SYSTEMG_DATA_LUT_E, static_cast<uint32_t>(lut.size()), lut.data());
    });
    ASSERT_TRUE(log_.waitFor("failed alloc lut buf for lutId = 5 chunkId = 0 retry", 2, 2000ms));
    releaseHeld();
    EXPECT_EQ(result.get(), SYSTEM__RET_SUCCESS);
    ASSERT_TRUE(peer_.waitForBlocks(1, 2000ms));
    EXPECT_EQ(peer_.blocks()[0].bytes, Bytes(lut.begin() + 128, lut.end()));
    ASSERT_TRUE(ackHandled("receive ack for new lut."));
    EXPECT_EQ(waitAck(SYSTEMG_DATA_LUT_E), SYSTEM__RET_SUCCESS);
}

TEST_F(SystemServiceTest, ChunkThatNeverGoesOutEndsTheTransfer_WaitsForChunkRetryLimit) {
    holdDataPool();
    const Bytes app = pattern(100, 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendBuf(SYSTEMG_DATA_CEVA_APP_E, 100, app.data()), SYSTEM__ERR_IO);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(SYSTEMG_CHUNK_RETRY_LIMIT_MS));
    EXPECT_GE(log_.count("failed channel send CEVA APP data -retry"), 2u);
    EXPECT_EQ(log_.count("chunk 1 of 1 not sent"), 1u);
    releaseHeld();
    // The service still works.
    ASSERT_EQ(sendBuf(SYSTEMG_DATA_CEVA_APP_E, 100, app.data()), SYSTEM__RET_SUCCESS);
    ASSERT_TRUE(peer_.waitForBlocks(1, 2000ms));
    EXPECT_EQ(peer_.chunks().size(), 1u);
    ASSERT_TRUE(ackHandled("receive ack for ceva app."));
    EXPECT_EQ(waitAck(SYSTEMG_DATA_CEVA_APP_E), SYSTEM__RET_SUCCESS);
}

TEST_F(SystemServiceTest, FlashReadWhoseCallerGaveUpWritesNothing_WaitsForIoctlTimeout) {
    SimSystemPeer::ReadPlan plan;
    plan.skipChunks = {0};
    plan.respond = false;
    peer_.setReadPlan(plan);
    std::vector<uint8_t> destination(100, 0xEE);
    SYSTEMG_flashReadParamsT read{100, destination.data()};
    EXPECT_EQ(ioctl(SYSTEM_FLASH_READ_E, read), SERVICE__ERR_TIMEOUT);
    // The caller is gone; a chunk that comes now must not write where it asked.
    ASSERT_TRUE(peer_.sendFlashReadChunk(0, 1, 100, Bytes(100, 0x11)));
    ASSERT_TRUE(log_.waitFor("after its caller gave up", 1, 2000ms));
    EXPECT_EQ(std::count(destination.begin(), destination.end(), 0xEE), 100);
    // Abandoned, the read acknowledges nothing.
    EXPECT_EQ(waitAck(SYSTEMG_DATA_FLASH_E), SYSTEM__ERR_NO_ACK);
}

TEST_F(SystemServiceTest, TransferToAnUnpluggedDeviceEndsWithoutAcknowledgementOrLeak_WaitsForChunkRetryLimit) {
    usb_.unplug();
    // Once the connection has seen the removal it refuses every packet.
    ASSERT_TRUE(log_.waitFor("Detected down", 1, 2000ms));
    const Bytes app = pattern(20000, 3);
    EXPECT_EQ(sendBuf(SYSTEMG_DATA_CEVA_APP_E, 20000, app.data()), SYSTEM__ERR_IO);
    EXPECT_EQ(log_.count("chunk 1 of 3 not sent"), 1u);
    EXPECT_EQ(waitAck(SYSTEMG_DATA_CEVA_APP_E), SYSTEM__ERR_NO_ACK);
    EXPECT_TRUE(peer_.chunks().empty());
}

}  // namespace
