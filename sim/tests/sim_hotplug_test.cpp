// The simulated hot-plug thread: what it reports for arrivals and removals
// on the simulated bus, on which thread and context, in which order, and how
// it stops.
#include "sim/sim_hotplug.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/context.h"

namespace {

using namespace std::chrono_literals;
using zsim::SimHotplug;
using zsim::SimUsb;
using Event = SimHotplug::Event;

constexpr auto kBound = 5s;
const Event kArrivedBooted{SimHotplug::kEventArrived, true};
const Event kArrivedUnbooted{SimHotplug::kEventArrived, false};
const Event kRemoved{SimHotplug::kEventRemoved, false};

// The handler is a plain function, as the host's boot layer is: what it saw
// is kept process-wide. A test can hold it inside its call with the gate.
struct HandlerLog {
    static inline std::mutex mutex;
    static inline std::condition_variable changed;
    static inline std::vector<std::thread::id> threads;
    static inline std::vector<morv::driver::Context*> contexts;
    static inline int inside = 0;
    static inline int mostInside = 0;
    static inline bool gateClosed = false;

    static void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        threads.clear();
        contexts.clear();
        inside = 0;
        mostInside = 0;
        gateClosed = false;
    }
    static void setGate(bool closed) {
        std::lock_guard<std::mutex> lock(mutex);
        gateClosed = closed;
        changed.notify_all();
    }
    static bool waitInside() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kBound, [] { return inside > 0; });
    }
    static int handler(int32_t event, bool booted) {
        std::unique_lock<std::mutex> lock(mutex);
        threads.push_back(std::this_thread::get_id());
        contexts.push_back(PZContext_GetCurrent());
        ++inside;
        mostInside = std::max(mostInside, inside);
        changed.notify_all();
        changed.wait_for(lock, kBound, [] { return !gateClosed; });
        --inside;
        return event * 10 + (booted ? 1 : 0);
    }
};

class SimHotplugTest : public ::testing::Test {
protected:
    void SetUp() override {
        usb_ = &SimUsb::installFresh();
        HandlerLog::reset();
    }
    void TearDown() override {
        HandlerLog::setGate(false);
        hotplug_.reset();
        usb_->reset();
    }
    SimHotplug& started() {
        hotplug_ = std::make_unique<SimHotplug>(&HandlerLog::handler, *usb_);
        hotplug_->start();
        return *hotplug_;
    }

    SimUsb* usb_ = nullptr;
    std::unique_ptr<SimHotplug> hotplug_;
};

TEST_F(SimHotplugTest, BootedArrivalOnceAndOneRemovalPerInterfaceOnTheStartersContextAndItsOwnThread) {
    auto context = std::make_shared<morv::driver::Context>();
    morv::driver::ScopedThreadContext scope(context);
    SimHotplug& hotplug = started();
    usb_->plug({0, 1, 2, 3, 4});
    ASSERT_TRUE(hotplug.waitForDelivered(1, kBound));
    usb_->unplug();
    ASSERT_TRUE(hotplug.waitForDelivered(6, kBound));
    EXPECT_EQ(hotplug.delivered(),
              (std::vector<Event>{kArrivedBooted, kRemoved, kRemoved, kRemoved, kRemoved, kRemoved}));
    // The handler's results are kept; it ran off the test's thread, in the
    // test's driver context.
    EXPECT_EQ(hotplug.results(), (std::vector<int>{21, 10, 10, 10, 10, 10}));
    std::lock_guard<std::mutex> lock(HandlerLog::mutex);
    for (size_t i = 0; i < HandlerLog::threads.size(); ++i) {
        EXPECT_NE(HandlerLog::threads[i], std::this_thread::get_id());
        EXPECT_EQ(HandlerLog::contexts[i], context.get());
    }
}

TEST_F(SimHotplugTest, UnbootedProcessorThenReenumerationAsBootedSensor) {
    SimHotplug& hotplug = started();
    usb_->plug({0});
    ASSERT_TRUE(hotplug.waitForDelivered(1, kBound));
    // What the boot monitor does after the kernel jump.
    usb_->unplugInterface(0);
    usb_->plug({0, 1, 2, 3, 4});
    ASSERT_TRUE(hotplug.waitForDelivered(3, kBound));
    EXPECT_EQ(hotplug.delivered(), (std::vector<Event>{kArrivedUnbooted, kRemoved, kArrivedBooted}));
}

TEST_F(SimHotplugTest, IncompleteDeviceReportsNothingUntilCompleteAndReplugOfPresentInterfacesNothingMore) {
    SimHotplug& hotplug = started();
    usb_->plug({1, 2});
    usb_->plug({4});
    usb_->plug({0, 3});  // now complete
    usb_->plug({4});     // present already: no second arrival
    // Removing an interface that was never there reports nothing either.
    usb_->unplugInterface(6);
    usb_->unplugInterface(2);
    usb_->plug({2});  // complete again: a new arrival
    ASSERT_TRUE(hotplug.waitForDelivered(3, kBound));
    EXPECT_EQ(hotplug.delivered(), (std::vector<Event>{kArrivedBooted, kRemoved, kArrivedBooted}));
}

TEST_F(SimHotplugTest, AttachedBeforeStartArrivesAtStart) {
    usb_->plug({0, 1, 2, 3, 4});
    SimHotplug& hotplug = started();
    ASSERT_TRUE(hotplug.waitForDelivered(1, kBound));
    EXPECT_EQ(hotplug.delivered(), std::vector<Event>{kArrivedBooted});
}

TEST_F(SimHotplugTest, EventsWaitForTheHandlerInFlightAndKeepTheirOrder) {
    HandlerLog::setGate(true);
    SimHotplug& hotplug = started();
    usb_->plug({0, 1, 2, 3, 4});
    ASSERT_TRUE(HandlerLog::waitInside());
    // While the bring-up blocks the thread, the device goes and comes back.
    usb_->unplugInterface(3);
    usb_->plug({3});
    EXPECT_TRUE(hotplug.delivered().empty());
    HandlerLog::setGate(false);
    ASSERT_TRUE(hotplug.waitForDelivered(3, kBound));
    EXPECT_EQ(hotplug.delivered(), (std::vector<Event>{kArrivedBooted, kRemoved, kArrivedBooted}));
    std::lock_guard<std::mutex> lock(HandlerLog::mutex);
    EXPECT_EQ(HandlerLog::mostInside, 1);
}

TEST_F(SimHotplugTest, StopIsBoundedByTheHandlerInFlightAndDropsWhatIsQueued) {
    HandlerLog::setGate(true);
    SimHotplug& hotplug = started();
    usb_->plug({0, 1, 2, 3, 4});
    ASSERT_TRUE(HandlerLog::waitInside());
    usb_->unplug();  // five removals queued behind the held arrival
    EXPECT_FALSE(hotplug.stop(20ms));
    EXPECT_EQ(hotplug.dropped(), 5u);
    // Nothing reaches a stopped monitor.
    usb_->plug({0, 1, 2, 3, 4});
    HandlerLog::setGate(false);
    EXPECT_TRUE(hotplug.stop(kBound));
    EXPECT_EQ(hotplug.delivered(), std::vector<Event>{kArrivedBooted});
    EXPECT_EQ(hotplug.dropped(), 5u);
}

TEST_F(SimHotplugTest, IdleStopReturnsAtOnceAndAResetForgetsTheObserver) {
    SimHotplug& hotplug = started();
    usb_->reset();
    usb_->plug({0, 1, 2, 3, 4});
    EXPECT_TRUE(hotplug.stop(kBound));
    EXPECT_TRUE(hotplug.delivered().empty());
    EXPECT_TRUE(hotplug.stop(kBound));  // again: nothing left to do
}

}  // namespace
