// LOGGER service: its operations called directly, and the service under the
// framework printing and queueing the simulated processor's log lines.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host_lib/logger_svc.h"
#include "host_lib/tests/sensor_svc_fixture.h"

namespace {

using namespace std::chrono_literals;
using sensortest::Bytes;

class LoggerOps : public sensortest::OpsTest {
protected:
    void SetUp() override {
        OpsTest::SetUp();
        request_.service = reinterpret_cast<SERVICEG_serviceT*>(&fakeService_);
    }
    void TearDown() override {
        LOGG_clearDeviceSink();
        OpsTest::TearDown();
    }

    void open() { runPhases(&LOGGERG_open, LOGGER__RET_SUCCESS, request_); }
    void close() { runPhases(&LOGGERG_close, LOGGER__RET_SUCCESS); }
    ERRG_codeE ioctl(uint32_t code, void* params = nullptr, uint32_t phase = SERVICEG_PHASE_START_E) {
        SERVICEG_requestT r = request(phase, code, params);
        return LOGGERG_hostIoctl(&r);
    }
    void setParams(uint8_t printGp, uint8_t sendGp) {
        VPUG_loggerParams params{LOG_DEBUG_E, 0, printGp, sendGp, 0, 0, 0};
        ASSERT_EQ(ioctl(LOGGER_SET_PARAMS_E, &params), SERVICE__INCOMPLETE);
    }
    void startForwarding() {
        ASSERT_EQ(ioctl(LOGGER_START_E), SERVICE__INCOMPLETE);
        ASSERT_EQ(ioctl(LOGGER_START_E, nullptr, SERVICEG_PHASE_DONE_E), LOGGER__RET_SUCCESS);
    }
    void stopForwarding() {
        ASSERT_EQ(ioctl(LOGGER_STOP_E), SERVICE__INCOMPLETE);
        ASSERT_EQ(ioctl(LOGGER_STOP_E, nullptr, SERVICEG_PHASE_DONE_E), LOGGER__RET_SUCCESS);
    }
    // A processor line as the framework hands it over: the header record and
    // the text as the payload buffer's bytes, with no terminator of its own.
    void receive(const std::string& text, uint32_t declaredLength, uint32_t sequence = 0) {
        LOGGERG_lineHdrT header{declaredLength, 0, sequence};
        Bytes bytes(text.begin(), text.end());
        bytes.push_back('#');  // what follows the text in the buffer is no terminator
        MEM_POOLG_bufDescT* payload = payloadBuffer(bytes);
        payload->len = static_cast<uint32_t>(text.size());
        MEM_POOLG_bufDescT* link = payload;
        EXPECT_EQ(LOGGERP_hostReceiveMessage(LOGGER_LINE_E, &header, payload->data, payload->len, &link),
                  LOGGER__RET_SUCCESS);
        MEM_POOLG_freeBuff(link);
    }
    void receive(const std::string& text) { receive(text, static_cast<uint32_t>(text.size())); }

    // Reads one line; the text is empty when none came.
    std::string readLine(uint32_t timeoutMs = 100) {
        VPUG_readItemT item{};
        if (LOGGERP_read(&item, 0, timeoutMs) != LOGGER__RET_SUCCESS) return "<none>";
        EXPECT_NE(item.buffer, nullptr);
        const auto* text = static_cast<const char*>(item.data);
        EXPECT_EQ(std::strlen(text), item.length);  // terminated, and the length says so
        std::string line(text);
        VPUG_freeBufParams free{item.buffer};
        EXPECT_EQ(ioctl(VPU_CMDG_FREE_BUF_E, &free), LOGGER__RET_SUCCESS);
        return line;
    }
    uint32_t serviceFree() { return MEM_POOLG_getNumFree(LOGGERG_getPool()); }

    uint64_t fakeService_ = 0;
    SERVICEG_requestT request_{};
};

TEST_F(LoggerOps, OpenCreatesThePoolAndCloseReleasesIt) {
    open();
    ASSERT_NE(LOGGERG_getPool(), nullptr);
    EXPECT_EQ(MEM_POOLG_getNumBuffs(LOGGERG_getPool()), LOGGERG_POOL_BUFFERS);
    EXPECT_EQ(MEM_POOLG_getBuffSize(LOGGERG_getPool()), LOGGERG_POOL_BUF_SIZE);
    EXPECT_EQ(LOGGERG_getCounters().state, LOGGERG_STATE_OPENED_E);
    EXPECT_EQ(log_.count("open Logger service. handle cmd start"), 1u);
    EXPECT_EQ(log_.count("open Logger service. handle cmd done"), 1u);
    close();
    EXPECT_EQ(LOGGERG_getPool(), nullptr);
    EXPECT_EQ(LOGGERG_getCounters().state, LOGGERG_STATE_CLOSED_E);
    EXPECT_EQ(log_.count("close Logger service. handle cmd done"), 1u);
}

TEST_F(LoggerOps, StartedLinesArePrintedAndQueuedWithoutTheirLineEnd) {
    open();
    setParams(1, 1);
    EXPECT_EQ(log_.count("Logger params: severity=3, print=0, print GP=1, send GP=1"), 1u);
    receive("too early\n");  // before the start request
    startForwarding();
    receive("hello from the processor\n");
    EXPECT_EQ(log_.count("hello from the processor"), 1u);
    EXPECT_EQ(log_.count("too early"), 0u);
    EXPECT_EQ(readLine(), "hello from the processor");
    EXPECT_EQ(readLine(10), "<none>");  // the early line was not queued
    stopForwarding();
    receive("too late\n");
    EXPECT_EQ(log_.count("too late"), 0u);
    EXPECT_EQ(readLine(10), "<none>");
    EXPECT_EQ(serviceFree(), LOGGERG_POOL_BUFFERS);
    close();
}

TEST_F(LoggerOps, PrintOnlyLinesAreNotQueued) {
    open();
    setParams(1, 0);
    startForwarding();
    receive("printed only\n");
    EXPECT_EQ(log_.count("printed only"), 1u);
    VPUG_readItemT item{};
    EXPECT_EQ(LOGGERP_read(&item, 0, 20), LOGGER__ERR_TIMEOUT);
    EXPECT_EQ(item.length, 0u);
    close();
}

TEST_F(LoggerOps, TextsAreBoundedByWhatArrivedAndAlwaysTerminated) {
    open();
    setParams(0, 1);
    startForwarding();
    LOGG_clearDeviceSink();  // only processor lines in this test
    // The header claims far more than arrived.
    receive("short\n", 5000);
    EXPECT_EQ(readLine(), "short");
    // A line longer than a queue buffer is cut to 399 characters.
    const std::string longLine(1000, 'x');
    receive(longLine + "\n");
    EXPECT_EQ(readLine(), std::string(LOGGERG_LINE_BUF_SIZE - 1, 'x'));
    // An empty line stays empty; a line without line end loses nothing.
    receive("");
    EXPECT_EQ(readLine(), "");
    receive("no line end");
    EXPECT_EQ(readLine(), "no line end");
    // A NUL inside the announced length ends the text.
    receive(std::string("cut\0rest\n", 9));
    EXPECT_EQ(readLine(), "cut");
    EXPECT_EQ(serviceFree(), LOGGERG_POOL_BUFFERS);
    close();
}

TEST_F(LoggerOps, ReadFillsOnlyTheCallersItemRecord) {
    open();
    setParams(0, 1);
    startForwarding();
    receive("guarded\n");
    struct {
        VPUG_readItemT item;
        uint8_t canary[16];
    } guarded{};
    std::memset(guarded.canary, 0xC5, sizeof(guarded.canary));
    ASSERT_EQ(LOGGERP_read(&guarded.item, 0, 100), LOGGER__RET_SUCCESS);
    for (uint8_t byte : guarded.canary) EXPECT_EQ(byte, 0xC5);
    EXPECT_STREQ(static_cast<const char*>(guarded.item.data), "guarded");
    MEM_POOLG_freeBuff(guarded.item.buffer);
    close();
}

TEST_F(LoggerOps, HostLineCopiesNeverCrowdOutProcessorLines) {
    open();
    setParams(0, 1);
    startForwarding();
    // The host logger copies every host line to the service while forwarding.
    for (int i = 0; i < 200; ++i) LOGG_PRINT(LOG_INFO_E, 0, "host line %d\n", i);
    // Only a few copies are parked, and the reader's queue holds none of them.
    EXPECT_GE(serviceFree(), LOGGERG_POOL_BUFFERS - LOGGERG_COPY_QUEUE_DEPTH);
    constexpr int kLines = 45;
    for (int i = 0; i < kLines; ++i) receive("processor line " + std::to_string(i) + "\n");
    for (int i = 0; i < kLines; ++i) EXPECT_EQ(readLine(), "processor line " + std::to_string(i));
    EXPECT_EQ(readLine(10), "<none>");
    // After stop no host line is copied any more and the parked ones are gone.
    stopForwarding();
    for (int i = 0; i < 20; ++i) LOGG_PRINT(LOG_INFO_E, 0, "after stop %d\n", i);
    EXPECT_EQ(serviceFree(), LOGGERG_POOL_BUFFERS);
    close();
}

TEST_F(LoggerOps, PoolExhaustionCountsOutOfMemoryAndDrainingRestoresIt) {
    open();
    setParams(0, 1);
    startForwarding();
    LOGG_clearDeviceSink();  // only processor lines in this test
    for (uint32_t i = 0; i <= LOGGERG_POOL_BUFFERS; ++i) receive("line\n");
    EXPECT_EQ(LOGGERG_getCounters().outOfMemory, 1u);
    for (uint32_t i = 0; i < LOGGERG_POOL_BUFFERS; ++i) EXPECT_EQ(readLine(), "line");
    EXPECT_EQ(serviceFree(), LOGGERG_POOL_BUFFERS);
    close();
}

TEST_F(LoggerOps, ALineHeldAcrossCloseReturnsToALivePool) {
    open();
    setParams(0, 1);
    startForwarding();
    receive("kept\n");
    VPUG_readItemT item{};
    ASSERT_EQ(LOGGERP_read(&item, 0, 100), LOGGER__RET_SUCCESS);
    receive("still queued\n");
    close();
    // The reader still holds a line: the pool stays until it is back.
    MEM_POOLG_handleT pool = LOGGERG_getPool();
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), LOGGERG_POOL_BUFFERS - 1);  // the queued line was freed
    MEM_POOLG_freeBuff(item.buffer);
    open();
    EXPECT_EQ(LOGGERG_getPool(), pool);
    close();
    EXPECT_EQ(LOGGERG_getPool(), nullptr);
}

TEST_F(LoggerOps, StatisticsAndUnknownIoctl) {
    open();
    setParams(0, 1);
    startForwarding();
    LOGG_clearDeviceSink();
    receive("a\n", 2, 0);
    receive("b\n", 2, 1);
    receive("c\n", 2, 5);  // four lines missing
    LOGGERG_showStats();
    EXPECT_EQ(log_.count("Logger service statistics:"), 1u);
    EXPECT_EQ(log_.count("Params: msgSize=400"), 1u);
    EXPECT_EQ(log_.count("Data  : KB=0(0) pkts=3 discont=1 (OOM=0 OVF=0)"), 1u);
    EXPECT_EQ(ioctl(0x02000009), LOGGER__ERR_UNKNOWN_IOCTL);
    EXPECT_EQ(log_.count("unknown IOCTL "), 1u);
    EXPECT_EQ(ioctl(LOGGER_GET_PARAMS_E), SERVICE__INCOMPLETE);
    for (int i = 0; i < 3; ++i) readLine();
    close();
}

// --- against the simulated processor -------------------------------------------------------

class LoggerComponent : public sensortest::ComponentTest {
protected:
    LoggerComponent() : ComponentTest(VPUG_SID_LOGGER, 13, LOGGERG_getOps(), 96) {}

    void TearDown() override {
        LOGG_clearDeviceSink();
        ComponentTest::TearDown();
    }
    VPUG_readFuncT readFunc() {
        VPUG_getReadFuncParams params{};
        EXPECT_EQ(ioctl(VPU_CMDG_GET_READ_FUNC_E, &params), LOGGER__RET_SUCCESS);
        return params.readFunc;
    }
};

TEST_F(LoggerComponent, ProcessorLinesReachTheHostLoggerAndTheReaderInOrder) {
    openService();
    VPUG_loggerParams params{LOG_DEBUG_E, 0, 1, 1, 0, 0, 0};
    ASSERT_TRUE(ERRG_SUCCEEDED(ioctl(LOGGER_SET_PARAMS_E, &params)));
    ASSERT_TRUE(ERRG_SUCCEEDED(ioctl(LOGGER_START_E)));
    ASSERT_TRUE(log_.waitFor("start Logger service. handle cmd done", 1, 2000ms));
    VPUG_readFuncT read = readFunc();
    ASSERT_NE(read, nullptr);

    constexpr int kLines = 20;
    for (int i = 0; i < kLines; ++i) ASSERT_TRUE(producers_.sendLogLine("GP: frame " + std::to_string(i) + "\n"));
    // A faulty line: the header claims 300 bytes, 9 arrive, no terminator.
    ASSERT_TRUE(producers_.sendLogLine("truncated", 300));
    ASSERT_TRUE(log_.waitFor("truncated", 1, 2000ms));
    // Each line reached the host logger once, in order, as the processor wrote it.
    std::vector<std::string> printed;
    {
        std::lock_guard<std::mutex> lock(log_.mutex);
        for (const auto& line : log_.lines)
            if (line.rfind("GP: ", 0) == 0) printed.push_back(line);
    }
    ASSERT_EQ(printed.size(), static_cast<size_t>(kLines));
    for (int i = 0; i < kLines; ++i) EXPECT_EQ(printed[i], "GP: frame " + std::to_string(i));

    for (int i = 0; i <= kLines; ++i) {
        VPUG_readItemT item{};
        ASSERT_EQ(read(&item, 0, 2000), LOGGER__RET_SUCCESS) << i;
        const std::string text(static_cast<const char*>(item.data));
        EXPECT_EQ(text, i < kLines ? "GP: frame " + std::to_string(i) : std::string("truncated"));
        VPUG_freeBufParams free{item.buffer};
        EXPECT_TRUE(ERRG_SUCCEEDED(ioctl(VPU_CMDG_FREE_BUF_E, &free)));
    }
    EXPECT_EQ(LOGGERG_getCounters().packets, static_cast<uint32_t>(kLines + 1));

    ASSERT_TRUE(ERRG_SUCCEEDED(ioctl(LOGGER_STOP_E)));
    ASSERT_TRUE(log_.waitFor("stop Logger service. handle cmd done", 1, 2000ms));
    closeService();
    EXPECT_EQ(LOGGERG_getPool(), nullptr);
}

}  // namespace
