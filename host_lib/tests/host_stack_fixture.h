// Shared set-up of the service manager and host API tests: a driver context
// of the test's own with a log watcher, the simulated bus with a booted
// device (interfaces 0..3), and the simulated processor with every peer the
// host's service stack talks to. Link events given to the connection-state
// callback are collected for the test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "host_lib/service.h"
#include "host_lib/svc_mngr.h"
#include "host_lib/tests/packet_link_fixture.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/mem_pool.h"
#include "runtime/os_layer.h"
#include "sim/sim_svc_mngr_peer.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace stacktest {

using namespace std::chrono_literals;
using zsim::Bytes;

// What the connection-state callback heard: (sid, event) in order. The
// callback carries no user value, so the one recorder is process-wide.
class LinkEvents {
public:
    static LinkEvents& instance() {
        static LinkEvents events;
        return events;
    }
    static void onConnState(uint32_t sid, uint32_t event) { instance().add(sid, event); }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }
    std::vector<std::pair<uint32_t, uint32_t>> snapshot() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // Waits until `event` has been heard `times` times in all.
    bool waitFor(uint32_t event, size_t times, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            size_t n = 0;
            for (const auto& e : events_) n += e.second == event;
            return n >= times;
        });
    }

private:
    void add(uint32_t sid, uint32_t event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.emplace_back(sid, event);
        changed_.notify_all();
    }
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::pair<uint32_t, uint32_t>> events_;
};

class HostStackTest : public ::testing::Test {
protected:
    // The link period the tests run with: the real second would make every
    // test wait for it. Tests that wait on the real keep-alive say so.
    static constexpr uint32_t kFastLinkMs = 50;

    HostStackTest()
        : context_(std::make_shared<morv::driver::Context>()),
          usb_(zsim::SimUsb::installFresh()),
          vpu_(usb_),
          processor_(vpu_) {}

    void SetUp() override {
        PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK),
                          &linktest::PacketLinkTest::watcherSlot, &log_, &linktest::PacketLinkTest::noDelete);
        LOGG_init();
        LOGG_setSeverity(LOG_DEBUG_E);
        LinkEvents::instance().clear();
        usb_.plug({0, 1, 2, 3});
        vpu_.start();
        processor_.serve();
        {
            // GoogleTest's Windows build starts a thread of its own, for the
            // life of the process, the first time a thread uses its per-thread
            // records (a trace, for one): the main thread's is started before
            // the count, so that it is not taken for one of the stack's.
            SCOPED_TRACE("thread baseline");
        }
        baselineThreads_ = linktest::threadCount();
        SERVICEP_setLinkPeriodForTest(kFastLinkMs);
    }

    void TearDown() override {
        // A failing test shows what the stack logged, newest last.
        if (HasFailure()) {
            std::lock_guard<std::mutex> lock(log_.mutex);
            const size_t from = log_.lines.size() > 60 ? log_.lines.size() - 60 : 0;
            for (size_t i = from; i < log_.lines.size(); ++i) std::printf("  log: %s\n", log_.lines[i].c_str());
        }
        vpu_.stop();
        usb_.reset();
        LOGG_deinit();
    }

    // Every buffer of the manager's ten pools is free. A pool gives no
    // signal when a buffer comes back, and the link keeps sending: a
    // keep-alive may be on its way through a transmit thread, which frees
    // it once written. So each pool gets a while to fill up, bounded only to
    // end the wait for a buffer that never comes back.
    static void expectPoolsFull() {
        const SVC_MNGR_stateT* s = SVC_MNGRP_getState();
        for (uint32_t i = 0; i < SVC_MNGRG_NUM_POOLS; ++i) {
            ASSERT_NE(s->pools[i], nullptr) << "pool " << i;
            // The count is judged on the very reading that ended the wait: a
            // second look could catch the next keep-alive in flight.
            const uint32_t total = MEM_POOLG_getNumBuffs(s->pools[i]);
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            uint32_t free = MEM_POOLG_getNumFree(s->pools[i]);
            while (free != total && std::chrono::steady_clock::now() < deadline) {
                OS_LYRG_sleepMs(1);
                free = MEM_POOLG_getNumFree(s->pools[i]);
            }
            EXPECT_EQ(free, total) << "pool " << i;
        }
    }

    // Nothing of the stack is left: no handle in the manager's tables and
    // no thread beyond those that ran before the bring-up.
    void expectNothingLeft() {
        const SVC_MNGR_stateT* s = SVC_MNGRP_getState();
        for (auto* pool : s->pools) EXPECT_EQ(pool, nullptr);
        for (auto* conn : s->conns) EXPECT_EQ(conn, nullptr);
        for (auto* channel : s->channels) EXPECT_EQ(channel, nullptr);
        for (auto* service : s->services) EXPECT_EQ(service, nullptr);
        EXPECT_EQ(linktest::threadCountOnceAtMost(baselineThreads_), baselineThreads_);
    }

    // Open and close requests the processor's manager received so far.
    size_t managerRequests() const { return processor_.manager.requests().size(); }

    linktest::LogWatcher log_;
    morv::driver::ScopedThreadContext context_;
    zsim::SimUsb& usb_;
    zsim::SimVpu vpu_;
    zsim::SimProcessorServices processor_;
    size_t baselineThreads_ = 0;
};

}  // namespace stacktest
