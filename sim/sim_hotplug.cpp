#include "sim/sim_hotplug.h"

#include "runtime/context.h"

namespace zsim {

SimHotplug::SimHotplug(Handler handler, SimUsb& usb) : handler_(handler), usb_(usb) {}

SimHotplug::~SimHotplug() {
    stop();
    if (thread_.joinable()) thread_.join();
}

void SimHotplug::start() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started_) return;
        started_ = true;
    }
    usb_.setPresenceObserver([this](bool plugged, const std::vector<uint8_t>& indices) { onPresence(plugged, indices); });
    // What is attached already arrives now. Presence is a set, so an
    // interface the observer has just reported is not counted twice.
    std::vector<uint8_t> attached;
    for (uint8_t index = 0; index < SimUsb::kMaxInterfaces; ++index) {
        if (usb_.isRegistered(index)) attached.push_back(index);
    }
    if (!attached.empty()) onPresence(true, attached);
    // The thread works in the driver context of its starter, as a thread of
    // the host's own OS layer would.
    PZContextHolder* holder = PZContext_AcquireCurrent();
    thread_ = std::thread([this, holder] { run(holder); });
}

bool SimHotplug::stop(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_) return true;
    if (!stopping_) {
        stopping_ = true;
        dropped_ += queue_.size();
        queue_.clear();
        changed_.notify_all();
        lock.unlock();
        usb_.setPresenceObserver(nullptr);
        lock.lock();
    }
    // A handler in flight may be in the middle of a bring-up: wait for it,
    // but not without limit.
    if (!changed_.wait_for(lock, bound, [&] { return finished_; })) return false;
    lock.unlock();
    if (thread_.joinable()) thread_.join();
    return true;
}

std::vector<SimHotplug::Event> SimHotplug::delivered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
}

std::vector<int> SimHotplug::results() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return results_;
}

bool SimHotplug::waitForDelivered(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return delivered_.size() >= count; });
}

size_t SimHotplug::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

// Runs under the bus's lock: only bookkeeping and queuing here.
void SimHotplug::onPresence(bool plugged, const std::vector<uint8_t>& indices) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    if (plugged) {
        present_.insert(indices.begin(), indices.end());
        if (arrivalReported_) return;
        bool booted = true;
        for (uint8_t index = 0; index < kBootedInterfaceCount; ++index) booted = booted && present_.count(index) != 0;
        const bool unbooted = present_.size() == 1 && present_.count(0) != 0;
        if (booted || unbooted) {
            arrivalReported_ = true;
            queueLocked(Event{kEventArrived, booted});
        }
        return;
    }
    for (uint8_t index : indices) {
        if (present_.erase(index) == 0) continue;
        // The device is incomplete from its first lost interface on; the
        // next complete set is a new arrival.
        arrivalReported_ = false;
        queueLocked(Event{kEventRemoved, false});
    }
}

void SimHotplug::queueLocked(Event event) {
    queue_.push_back(event);
    changed_.notify_all();
}

void SimHotplug::run(void* contextHolder) {
    PZContext_SetThreadContext(static_cast<PZContextHolder*>(contextHolder));
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        // Idle until the bus changes or the owner stops the thread.
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) break;
        const Event event = queue_.front();
        queue_.pop_front();
        lock.unlock();
        const int result = handler_(event.event, event.booted);
        lock.lock();
        delivered_.push_back(event);
        results_.push_back(result);
        changed_.notify_all();
    }
    finished_ = true;
    changed_.notify_all();
    lock.unlock();
    // Let go of the starter's context here, not at some later thread exit.
    PZContext_SetThreadContext(nullptr);
}

}  // namespace zsim
