// Shared set-up of the LOGGER, POS_SENSORS and ALG service tests: a driver
// context of the test's own with a log watcher as the logger's callback, and,
// for component tests, one service brought up by the framework over the real
// connection layer against the simulated processor, whose service peer
// answers forwarded requests and whose producers send the data.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "host_lib/conn_lyr.h"
#include "host_lib/service.h"
#include "host_lib/svc_com.h"
#include "host_lib/tests/packet_link_fixture.h"
#include "host_lib/usb_ctrl_com.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/mem_pool.h"
#include "sim/sim_sensor_producers.h"
#include "sim/sim_service_peer.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace sensortest {

using namespace std::chrono_literals;
using zsim::Bytes;

// A fresh context whose log lines go to a watcher, with an empty pool table.
class OpsTest : public ::testing::Test {
protected:
    OpsTest() : context_(std::make_shared<morv::driver::Context>()) {}

    void SetUp() override {
        linktest::watchLog(log_);
        MEM_POOLG_init();
        pool_ = linktest::heapPool(256, 16);
        ASSERT_NE(pool_, nullptr);
    }

    void TearDown() override {
        linktest::expectReturnedAndClose({pool_});
        LOGG_deinit();
    }

    // A payload buffer from the test pool holding `bytes`.
    MEM_POOLG_bufDescT* payloadBuffer(const Bytes& bytes) {
        MEM_POOLG_bufDescT* buffer = nullptr;
        EXPECT_EQ(MEM_POOLG_alloc(pool_, 256, &buffer), MEM_POOL__RET_SUCCESS);
        if (buffer == nullptr) return nullptr;
        if (!bytes.empty()) std::memcpy(buffer->data, bytes.data(), bytes.size());
        buffer->len = static_cast<uint32_t>(bytes.size());
        return buffer;
    }
    uint32_t freeBuffers() { return MEM_POOLG_getNumFree(pool_); }

    static SERVICEG_requestT request(uint32_t phase, uint32_t code = 0, void* params = nullptr) {
        return SERVICEG_requestT{nullptr, phase, code, params};
    }

    // Runs an open or a close operation as the service manager does: the
    // start phase hands over to the peer (incomplete), the done phase ends
    // with `done`. Each phase gets its own copy of `base`.
    using PhaseOpT = ERRG_codeE (*)(SERVICEG_requestT*);
    static void runPhases(PhaseOpT op, ERRG_codeE done, const SERVICEG_requestT& base = request(0)) {
        SERVICEG_requestT start = base;
        start.phase = SERVICEG_PHASE_START_E;
        ASSERT_EQ(op(&start), SERVICE__INCOMPLETE);
        SERVICEG_requestT finish = base;
        finish.phase = SERVICEG_PHASE_DONE_E;
        ASSERT_EQ(op(&finish), done);
    }

    linktest::LogWatcher log_;
    morv::driver::ScopedThreadContext context_;
    MEM_POOLG_handleT pool_ = nullptr;
};

// One service of the framework on its control and data channels of the
// control interface, against the simulated processor.
class ComponentTest : public ::testing::Test {
protected:
    static constexpr uint32_t kLoopMs = 10;
    static constexpr uint32_t kDataBufSize = 4096;
    static constexpr uint32_t kDataBufCount = 24;

    // queueLength: the service's input queue, as the service manager sizes it.
    ComponentTest(uint32_t sid, uint32_t ctrlChannel, const SERVICE_opsTable* ops, uint16_t queueLength = 16)
        : sid_(sid),
          queueLength_(queueLength),
          ctrlChannel_(ctrlChannel),
          ops_(ops),
          context_(std::make_shared<morv::driver::Context>()),
          usb_(zsim::SimUsb::installFresh()),
          vpu_(usb_),
          peer_(vpu_),
          producers_(vpu_) {}

    void SetUp() override {
        linktest::watchLog(log_);
        usb_.plug({0, 1, 2, 3});
        vpu_.start();
        peer_.serve(ctrlChannel_);
        peer_.serve(ctrlChannel_ + 1);
        MEM_POOLG_init();
        ctrlPool_ = linktest::heapPool(3000, 32);
        dataPool_ = linktest::heapPool(kDataBufSize, kDataBufCount);
        ASSERT_NE(ctrlPool_, nullptr);
        ASSERT_NE(dataPool_, nullptr);
        ASSERT_EQ(CONN_LYRG_init(), CONN_LYR__RET_SUCCESS);
        ASSERT_EQ(SVC_COMG_init(), SVC_COM__RET_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(linktest::openLink(
            &conn_, ifCfg_, 0, {{ctrlChannel_, ctrlPool_, &channels_[0]}, {ctrlChannel_ + 1, dataPool_, &channels_[1]}}));
        SERVICEG_initParamsT params{sid_, 10, queueLength_, channels_, ops_, kLoopMs, 0, 0, nullptr};
        ASSERT_EQ(SERVICEG_init(&svc_, &params), SERVICE__RET_SUCCESS);
    }

    void TearDown() override {
        SERVICEP_stopLink(svc_);
        SERVICEG_deInit(svc_);
        linktest::closeLinks(channels_, {&conn_, 1});
        vpu_.stop();
        // Every buffer the service and the layers took from the channel pools is back.
        linktest::expectReturnedAndClose({ctrlPool_, dataPool_});
        usb_.reset();
        LOGG_deinit();
    }

    // Opens the service the way the service manager does: start phase, the
    // peer's part, done phase.
    void openService() {
        const ERRG_codeE start = SERVICEG_open(svc_, SERVICEG_PHASE_START_E);
        ASSERT_TRUE(start == SERVICE__INCOMPLETE || ERRG_SUCCEEDED(start)) << std::hex << start;
        ASSERT_TRUE(ERRG_SUCCEEDED(SERVICEG_open(svc_, SERVICEG_PHASE_DONE_E)));
    }
    void closeService() {
        const ERRG_codeE start = SERVICEG_close(svc_, SERVICEG_PHASE_START_E);
        ASSERT_TRUE(start == SERVICE__INCOMPLETE || ERRG_SUCCEEDED(start)) << std::hex << start;
        ASSERT_TRUE(ERRG_SUCCEEDED(SERVICEG_close(svc_, SERVICEG_PHASE_DONE_E)));
    }
    template <typename T>
    ERRG_codeE ioctl(uint32_t code, T* params) {
        return SERVICEG_ioctl(svc_, code, params, sizeof(T));
    }
    ERRG_codeE ioctl(uint32_t code) { return SERVICEG_ioctl(svc_, code, nullptr, 0); }

    uint32_t freeData() { return MEM_POOLG_getNumFree(dataPool_); }
    // The caller of an ioctl wakes as soon as its answer is handed over; the
    // service thread frees the answer's and the dropped messages' buffers a
    // moment later. Pools have no "buffer returned" signal to wait on, so the
    // count is polled, within a bound that only ends the wait for a buffer
    // that never comes back.
    uint32_t freeDataSettled(uint32_t expected, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        uint32_t now = freeData();
        while (now != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            now = freeData();
        }
        return now;
    }

    uint32_t sid_;
    uint16_t queueLength_;
    uint32_t ctrlChannel_;
    const SERVICE_opsTable* ops_;
    linktest::LogWatcher log_;
    morv::driver::ScopedThreadContext context_;
    zsim::SimUsb& usb_;
    zsim::SimVpu vpu_;
    zsim::SimServicePeer peer_;
    zsim::SimSensorProducers producers_;
    MEM_POOLG_handleT ctrlPool_ = nullptr;
    MEM_POOLG_handleT dataPool_ = nullptr;
    CONN_LYRG_ifCfgT ifCfg_{};
    CONN_LYRG_handleT conn_ = nullptr;
    SVC_COMG_handleT channels_[2]{};
    SERVICEG_serviceT* svc_ = nullptr;
};

}  // namespace sensortest
