// Simulated hot-plug thread of the transport back-end: it watches the
// simulated bus and, like the real back-end's monitor thread, reports every
// arrival and removal of the sensor to a hot-plug handler, one event at a
// time, in the order they happened, on a thread of its own.
//
// What it reports (the event numbers the host's boot layer takes):
//   - 2 with booted true when interfaces 0 to 4 are all present (a booted
//     sensor arrived with all its interfaces);
//   - 2 with booted false when interface 0 alone is present (an unbooted
//     processor shows only its boot monitor);
//   - 1 for every interface that goes away, one event per interface, as the
//     real back-end reports each interface removal on its own.
// An arrival is reported once per completed device; it is reported again
// only after one of its interfaces went away. Plugs that leave a device
// incomplete report nothing.
//
// The handler is a plain function (the host's boot layer is passed in by the
// test; the simulator knows nothing above the transport). It runs on the
// hot-plug thread, which carries the driver context current where start()
// was called, and it may take as long as it needs: a whole bring-up or boot
// runs inside it, during which later events wait their turn.
//
// stop() lets no further event start, drops the ones still queued and waits,
// for a bounded while, for the handler in flight to return; the destructor
// stops and joins the thread in any case.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "sim/sim_usb.h"

namespace zsim {

class SimHotplug {
public:
    using Handler = int (*)(int32_t event, bool booted);

    static constexpr int32_t kEventRemoved = 1;
    static constexpr int32_t kEventArrived = 2;
    // A booted sensor: the boot monitor's interface 0, the processor's
    // infrared, depth and visible interfaces and the client interface.
    static constexpr uint8_t kBootedInterfaceCount = 5;

    struct Event {
        int32_t event = 0;
        bool booted = false;
        bool operator==(const Event&) const = default;
    };

    explicit SimHotplug(Handler handler, SimUsb& usb = SimUsb::instance());
    ~SimHotplug();
    SimHotplug(const SimHotplug&) = delete;
    SimHotplug& operator=(const SimHotplug&) = delete;

    // Starts watching the bus and the hot-plug thread. Interfaces already
    // present count as arriving now, as the real monitor reports the devices
    // attached when it starts. Idempotent.
    void start();
    // No event starts after this; queued ones are dropped. Returns once the
    // thread has ended (and was joined), or false when the handler in flight
    // has not returned within the bound: the thread is then joined by the
    // destructor.
    bool stop(std::chrono::milliseconds bound = std::chrono::seconds(10));

    // --- observation -------------------------------------------------------
    // Events whose handler has returned, in order, with the handler's results.
    std::vector<Event> delivered() const;
    std::vector<int> results() const;
    // Waits until at least `count` handler calls have returned.
    bool waitForDelivered(size_t count, std::chrono::milliseconds timeout) const;
    // Events dropped by stop() before their handler ran.
    size_t dropped() const;

private:
    void onPresence(bool plugged, const std::vector<uint8_t>& indices);
    void queueLocked(Event event);
    void run(void* contextHolder);

    const Handler handler_;
    SimUsb& usb_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::set<uint8_t> present_;
    bool arrivalReported_ = false;
    std::deque<Event> queue_;
    std::vector<Event> delivered_;
    std::vector<int> results_;
    size_t dropped_ = 0;
    bool started_ = false;
    bool stopping_ = false;
    bool finished_ = false;
    std::thread thread_;
};

}  // namespace zsim
