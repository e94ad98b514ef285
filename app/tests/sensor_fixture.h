// The simulated sensor behind the real driver, for the control-loop and
// update-worker tests: a driver context of the test's own; the simulated bus
// with a hot-plug thread that hands arrivals and removals to the host's boot
// layer; the simulated sensor firmware on the client interface and the
// simulated vision processor on the others.
//
// A test plugs the sensor (plug()), lets the firmware take itself away on a
// reboot request (firmware_.setRebootUnplugs(true)) and plugs it again to
// stand for the re-enumeration after the reboot. Tear-down stops the hot-plug thread (so that no bring-up
// is in flight), then releases whatever the test started on the driver, and
// takes the simulator apart.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/control_loop.h"
#include "driver/device_manager.h"
#include "driver/device_protocol.h"
#include "driver/driver_api.h"
#include "driver/morv_client.capnp.h"
#include "host_lib/service.h"
#include "host_lib/usb_boot.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "sim/sim_firmware.h"
#include "sim/sim_hotplug.h"
#include "sim/sim_svc_mngr_peer.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace apptest {

using namespace std::chrono_literals;
namespace zfu = ZarnFirmwareUpdater;

// Waits that end as soon as their event comes; the bound only keeps a broken
// build from hanging. Longer than the driver's 8-second boot budget, so a
// bring-up that runs out of it still ends inside the bound, and than two
// uploads of the firmware package in a row: each took up to 7.5 s under the
// thread sanitizer on a loaded machine.
constexpr auto kBound = 30s;

// Wire values of the firmware's state reports and requests.
constexpr uint16_t kPrimary = 1;
constexpr uint16_t kSecondary = 2;
inline uint16_t wireState(morv::client::State state) { return static_cast<uint16_t>(state); }
inline uint16_t wireError(morv::client::Error error) { return static_cast<uint16_t>(error); }
inline uint16_t requestKind(morv::client::Request::Msg::Which which) { return static_cast<uint16_t>(which); }
const uint16_t kWarmReboot = static_cast<uint16_t>(morv::client::DeviceMode::WARM_REBOOT);  // on the wire

// Everything the control loop published, in order.
class PublishedStates {
public:
    zfu::ControlLoop::StateCallback callback() {
        return [this](const zfu::ControlState& state) {
            std::lock_guard<std::mutex> lock(mutex_);
            states_.push_back(state);
            changed_.notify_all();
        };
    }
    std::vector<zfu::ControlState> all() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return states_;
    }
    size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return states_.size();
    }
    // Waits for a publication, at or after position `from`, that satisfies
    // the predicate, and returns its position; -1 when none came in time.
    long waitFor(const std::function<bool(const zfu::ControlState&)>& predicate, size_t from = 0) const {
        std::unique_lock<std::mutex> lock(mutex_);
        long found = -1;
        changed_.wait_for(lock, kBound, [&] {
            for (size_t i = from; i < states_.size(); ++i) {
                if (predicate(states_[i])) {
                    found = static_cast<long>(i);
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    zfu::ControlState at(long index) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return states_.at(static_cast<size_t>(index));
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<zfu::ControlState> states_;
};

// Every message line the loop and its worker wrote, in order.
class MessageLines {
public:
    zfu::ControlLoop::MessageSink sink() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        };
    }
    std::vector<std::string> all() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    size_t count(const std::string& line) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), line));
    }
    bool waitFor(const std::string& line, size_t times = 1) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] {
            return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), line)) >= times;
        });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
};

class SimulatedSensorTest : public ::testing::Test {
protected:
    // The host library's link period for these tests: the real second. Without
    // an echo for about seven periods the link is given up and the driver
    // reports the sensor in error. While the firmware package is built, sent
    // and checked every core is busy, and on a loaded machine under the thread
    // sanitizer the echoes were seen to stop for more than two seconds: 150 ms
    // and 400 ms periods did not survive that. A bring-up waits one period for
    // its first echo, which the real second makes a little slower.
    static constexpr uint32_t kLinkMs = SERVICEG_LINK_PERIOD_MS;

    SimulatedSensorTest()
        : context_(std::make_shared<morv::driver::Context>()),
          scope_(context_),
          usb_(zsim::SimUsb::installFresh()),
          vpu_(usb_),
          processor_(vpu_),
          firmware_(usb_, PZ_CLIENT_INTERFACE),
          hotplug_(&vpu_usb_boot_hotplug_handler, usb_) {}

    void SetUp() override {
        SERVICEP_setLinkPeriodForTest(kLinkMs);
        // The flash takes a few blocks: enough progress reports to follow,
        // quick enough for a unit test.
        firmware_.setFlashBlockCount(4);
        vpu_.start();
        processor_.serve();
        firmware_.start();
        hotplug_.start();
    }

    void TearDown() override {
        EXPECT_TRUE(hotplug_.stop(kBound));
        releaseDriver();
        PZDevice_waitForCleanup();
        firmware_.stop();
        vpu_.stop();
        usb_.reset();
        LOGG_deinit();
    }

    // Shuts down what the test started on the driver; runs after the
    // hot-plug thread stopped.
    virtual void releaseDriver() {}

    // A booted sensor arrives with all its interfaces.
    void plug() { usb_.plug({0, 1, 2, 3, 4}); }

    void setFirmware(uint16_t major, uint16_t minor, uint16_t revision) {
        zsim::SimDeviceInfo info = firmware_.deviceInfo();
        info.fwMajor = major;
        info.fwMinor = minor;
        info.fwRevision = revision;
        firmware_.setDeviceInfo(info);
    }

    // The firmware answers the next request of that kind with an error.
    void failNext(morv::client::Request::Msg::Which kind, morv::client::Error error) {
        zsim::ReplyPlan plan;
        plan.kind = zsim::ReplyPlan::Kind::Error;
        plan.error = wireError(error);
        plan.forKind = requestKind(kind);
        firmware_.planNext(plan);
    }

    size_t requestsOf(morv::client::Request::Msg::Which kind) const {
        const std::vector<uint16_t> kinds = firmware_.requestKinds();
        return static_cast<size_t>(std::count(kinds.begin(), kinds.end(), requestKind(kind)));
    }

    std::shared_ptr<morv::driver::Context> context_;
    morv::driver::ScopedThreadContext scope_;
    zsim::SimUsb& usb_;
    zsim::SimVpu vpu_;
    zsim::SimProcessorServices processor_;
    zsim::SimFirmware firmware_;
    zsim::SimHotplug hotplug_;
};

}  // namespace apptest
