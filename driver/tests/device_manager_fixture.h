// Shared by the device-manager and driver-interface tests: the whole
// simulated sensor behind the driver. A driver context of the test's own
// with its log lines captured; the simulated bus with a hot-plug thread that
// hands arrivals and removals to the host's boot layer (as the transport
// back-end does); the simulated sensor firmware on the client interface and
// the simulated vision processor with every peer the host framework talks
// to. The application's state callback records what it hears.
//
// A test initialises the driver (init()), plugs the sensor (plugBooted())
// and waits for the states it expects; tear-down shuts the driver down,
// waits for its cleanup and takes the simulator apart.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/device_manager.h"
#include "driver/device_protocol.h"
#include "driver/device_record.h"
#include "driver/driver_api.h"
#include "driver/tests/client_test_support.h"
#include "host_lib/service.h"
#include "host_lib/usb_boot.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "sim/sim_firmware.h"
#include "sim/sim_hotplug.h"
#include "sim/sim_svc_mngr_peer.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace dmtest {

using namespace std::chrono_literals;

// Waits that end at once in a healthy run; the bound only keeps a broken
// build from hanging. It is longer than the driver's 8-second boot budget,
// so a bring-up that runs out of it still ends inside the bound.
constexpr auto kBound = 12s;

// Every log line of one driver context, with its level. Its waits allow for
// a bring-up that runs out of its whole budget.
class LogLines : public ztest::LogCapture {
public:
    bool waitFor(const std::string& text, size_t times = 1) const { return LogCapture::waitFor(text, times, kBound); }
};

// The driver states the application's callback heard, in order.
class StateLog {
public:
    static void onState(int state, void* user) { static_cast<StateLog*>(user)->add(state); }

    std::vector<int> states() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return states_;
    }
    // Waits until `state` has been heard `times` times in all.
    bool waitFor(int state, size_t times = 1, std::chrono::seconds bound = kBound) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, bound, [&] {
            return static_cast<size_t>(std::count(states_.begin(), states_.end(), state)) >= times;
        });
    }
    bool waitForCount(size_t count) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return states_.size() >= count; });
    }

    // The callback that reports `state` does not return until release():
    // it holds the driver's thread that called it (a cleanup, a bring-up)
    // right there.
    void holdAt(int state) {
        std::lock_guard<std::mutex> lock(mutex_);
        holdState_ = state;
    }
    bool waitUntilHeld() const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return holding_; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        holdState_ = -1;
        changed_.notify_all();
    }

private:
    void add(int state) {
        std::unique_lock<std::mutex> lock(mutex_);
        states_.push_back(state);
        changed_.notify_all();
        if (state != holdState_) return;
        holding_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, kBound, [&] { return holdState_ != state; });
        holding_ = false;
    }
    int holdState_ = -1;
    bool holding_ = false;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<int> states_;
};

// Wire values of the firmware's state reports.
constexpr uint16_t kPrimary = 1;
constexpr uint16_t kSecondary = 2;
constexpr uint16_t kStateReady = 2;

class DeviceManagerFixture : public ::testing::Test {
protected:
    // The host library's real link period. A link gives up after about
    // seven periods without a keep-alive answer and the driver then reports
    // Error: 50 ms made that a third of a second, which a loaded machine
    // easily keeps an answer waiting. The real second costs each bring-up one
    // period. A removal's cleanup does not wait on the period: with either
    // period, 40 sanitizer copies of the unplug-during-clock-sync test beside
    // busy loops failed equally often, every one on the whole test's time.
    static constexpr uint32_t kLinkMs = SERVICEG_LINK_PERIOD_MS;

    DeviceManagerFixture()
        : context_(std::make_shared<morv::driver::Context>()),
          scope_(context_),
          usb_(zsim::SimUsb::installFresh()),
          vpu_(usb_),
          processor_(vpu_),
          firmware_(usb_, PZ_CLIENT_INTERFACE),
          hotplug_(&vpu_usb_boot_hotplug_handler, usb_) {}

    void SetUp() override {
        released_.watch(context_.get());
        PZContext_GetSlot(context_.get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK), [](void* value) { return value; },
                          log_.record(), [](void*) {});
        LOGG_setSeverity(LOG_DEBUG_E);
        SERVICEP_setLinkPeriodForTest(kLinkMs);
        if (startProcessorAtSetUp_) startProcessor();
        firmware_.start();
        hotplug_.start();
    }

    void TearDown() override {
        if (HasFailure()) log_.dumpTail(60);
        states_.release();
        // No more events, then the shutdown and its cleanup.
        EXPECT_TRUE(hotplug_.stop(kBound));
        if (initialised_ && !deinitialised_) PlovarZarn_Deinit();
        PZDevice_waitForCleanup();
        firmware_.stop();
        vpu_.stop();
        usb_.reset();
        LOGG_deinit();
    }

    void startProcessor() {
        vpu_.start();
        processor_.serve();
    }

    PZStatus init(const PZInitParams* params = nullptr) {
        const PZStatus status = PlovarZarn_Init(&StateLog::onState, &states_, params);
        initialised_ = status == PZStatus_Success;
        LOGG_setSeverity(LOG_DEBUG_E);
        return status;
    }
    void deinit() {
        EXPECT_EQ(PlovarZarn_Deinit(), PZStatus_Success);
        deinitialised_ = true;
    }

    // A booted sensor arrives with all its interfaces.
    void plugBooted() { usb_.plug({0, 1, 2, 3, 4}); }

    // Brings a booted sensor up to `state`.
    void bringUpTo(int state) {
        ASSERT_EQ(init(), PZStatus_Success);
        plugBooted();
        ASSERT_TRUE(states_.waitFor(state));
    }

    PZDeviceRecord* device() const { return PZDevice_get(); }

    bool startProcessorAtSetUp_ = true;
    bool initialised_ = false;
    bool deinitialised_ = false;
    // The log and the state recorder outlive the context that calls them.
    LogLines log_;
    StateLog states_;
    ztest::ContextRelease released_;
    std::shared_ptr<morv::driver::Context> context_;
    morv::driver::ScopedThreadContext scope_;
    zsim::SimUsb& usb_;
    zsim::SimVpu vpu_;
    zsim::SimProcessorServices processor_;
    zsim::SimFirmware firmware_;
    zsim::SimHotplug hotplug_;
};

}  // namespace dmtest
