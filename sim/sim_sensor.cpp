#include "sim/sim_sensor.h"

#include <atomic>
#include <stdexcept>
#include <utility>

#include "sim/sim_locked.h"

namespace zsim {

namespace {

// The one sensor of the process, for the back-end table's plain functions.
std::atomic<SimSensor*> currentSensor{nullptr};
// Orders the table's init and deinit against a sensor's construction and
// destruction, so neither uses a sensor that is going away.
std::mutex& backendMutex() {
    static std::mutex mutex;
    return mutex;
}
// Set on the monitor's thread while the handler runs: a stop asked for from
// inside the handler must not wait for that very handler.
thread_local bool insideHotplugHandler = false;

int simOpen(uint8_t index) { return SimUsb::ops()->open(index); }
int simClose(uint8_t index) { return SimUsb::ops()->close(index); }
int simWrite(uint8_t index, const void* buffer, uint32_t length, uint32_t* written) {
    return SimUsb::ops()->write_bulk(index, buffer, length, written);
}
int simRead(uint8_t index, void* buffer, uint32_t length, uint32_t* read) {
    return SimUsb::ops()->read_bulk(index, buffer, length, read);
}
int simQuery(void** records, uint32_t* count) { return SimUsb::ops()->query_attached_devices(records, count); }
int simUnsupported() { return SimUsb::ops()->unsupported(); }
int simReadForward(uint8_t index, void* buffer, uint32_t length, uint32_t* read) {
    return SimUsb::ops()->read_forward(index, buffer, length, read);
}

}  // namespace

const vpu_usb_backend_ops* SimSensor::ops() {
    static const vpu_usb_backend_ops table = {
        &SimSensor::backendInit, &SimSensor::backendDeinit, &simOpen,        &simClose,      &simWrite,
        &simRead,                &simQuery,                 &simUnsupported, &simReadForward,
    };
    return &table;
}

SimSensor::SimSensor(HotplugHandler handler)
    : handler_(handler), usb_(SimUsb::installFresh()), vpu_(usb_), processor_(vpu_), firmware_(usb_, kClientInterface) {
    {
        std::lock_guard<std::mutex> lock(backendMutex());
        SimSensor* expected = nullptr;
        if (!currentSensor.compare_exchange_strong(expected, this)) {
            throw std::logic_error("SimSensor: the simulated bus has a sensor already");
        }
        vpu_usb_set_backend(ops());
    }
    vpu_.start();
    processor_.serve();
    // A whole sensor's normal run has transfers of whole packets on both
    // kinds of interface: the processor's boot log and the firmware's
    // report at attach.
    processor_.forwardBootLog(true);
    firmware_.setPowerReportOnAttach(true);
    firmware_.setRebootUnplugs(true);
    firmware_.setRebootListener([this](uint16_t) { onReboot(); });
    firmware_.start();
    comebacks_ = std::thread([this] { runComebacks(); });
}

SimSensor::~SimSensor() {
    unplug();
    stop();
    std::vector<std::unique_ptr<SimHotplug>> monitors;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (monitor_) monitors.push_back(std::move(monitor_));
        for (auto& retired : retired_) monitors.push_back(std::move(retired));
        retired_.clear();
    }
    // Their destructors join the threads: a handler in flight finishes first,
    // while this sensor (and its handler) still exists.
    monitors.clear();
    std::lock_guard<std::mutex> lock(backendMutex());
    currentSensor.store(nullptr);
}

// ---------------------------------------------------------------------------
// Presence

// Under presenceMutex_: whoever plugs or unplugs decides, not a comeback
// still pending from a reboot.
void SimSensor::cancelComeback() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        comebackPending_ = false;
    }
    changed_.notify_all();
}

void SimSensor::plug() {
    std::lock_guard<std::mutex> presence(presenceMutex_);
    cancelComeback();
    plugWhole();
}

void SimSensor::unplug() {
    std::lock_guard<std::mutex> presence(presenceMutex_);
    cancelComeback();
    usb_.unplug();
    dropBootMonitor();
}

void SimSensor::plugUnbooted() {
    std::lock_guard<std::mutex> presence(presenceMutex_);
    cancelComeback();
    usb_.unplug();
    vpu_.resetStreams();
    SimBootMonitor& monitor = bootMonitorLocked();
    // The kernel's services are up before the booted interfaces arrive.
    monitor.setKernelStart([this] { vpu_.takeInterface(0); });
    monitor.plugUnbooted();
}

SimBootMonitor& SimSensor::bootMonitor() {
    std::lock_guard<std::mutex> presence(presenceMutex_);
    return bootMonitorLocked();
}

// Under presenceMutex_.
SimBootMonitor& SimSensor::bootMonitorLocked() {
    if (!bootMonitor_) {
        bootMonitor_ = std::make_unique<SimBootMonitor>(usb_);
        bootMonitor_->setChipVersion(kChipVersion);
        const SimDeviceInfo info = firmware_.deviceInfo();
        bootMonitor_->setProductionData(
            SimBootMonitor::ProductionData{kBootId, info.serial, info.manufacturer, info.model, info.hwName});
    }
    return *bootMonitor_;
}

// Under presenceMutex_.
void SimSensor::dropBootMonitor() {
    if (!bootMonitor_) return;
    // Its destructor ends its thread and takes interface 0 off the bus's
    // handlers if it still held it.
    bootMonitor_.reset();
    vpu_.takeInterface(0);
}

bool SimSensor::plugged() const {
    for (uint8_t index = 0; index < kInterfaceCount; ++index) {
        if (!usb_.isRegistered(index)) return false;
    }
    return true;
}

// Under presenceMutex_.
void SimSensor::plugWhole() {
    if (plugged() && !bootMonitor_) return;
    // Interfaces left over from a partial removal go too: the host must see
    // the device leave before it sees it arrive.
    usb_.unplug();
    dropBootMonitor();
    // A new session on the processor: nothing of a packet cut off by the
    // removal may be taken for the start of the next one.
    vpu_.resetStreams();
    usb_.plug({0, 1, 2, 3, 4});
}

// ---------------------------------------------------------------------------
// Reboot and comeback

// On the firmware thread, right after the reboot's removal.
void SimSensor::onReboot() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        comebackPending_ = true;
        comebackAt_ = std::chrono::steady_clock::now() + rebootDelay_;
    }
    changed_.notify_all();
}

void SimSensor::runComebacks() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || comebackPending_; });
        if (stopping_) break;
        const auto due = comebackAt_;
        // A plug or unplug meanwhile cancels the comeback; a second reboot moves it.
        auto cancelled = [&] { return stopping_ || !comebackPending_ || comebackAt_ != due; };
        if (changed_.wait_until(lock, due, cancelled)) continue;
        // The host lets go of the old device first (see the header): the
        // monitor reports one removal per interface of the whole device.
        changed_.wait_for(lock, kDefaultStopBound, [&] {
            return cancelled() || !monitor_ || removalsSinceArrival_ >= kInterfaceCount;
        });
        if (cancelled()) continue;
        lock.unlock();
        bool cameBack = false;
        {
            std::lock_guard<std::mutex> presence(presenceMutex_);
            {
                // Looked at again under the presence lock: an unplug() or a
                // plug() that got there first decides.
                std::lock_guard<std::mutex> relock(mutex_);
                cameBack = comebackPending_ && !stopping_ && comebackAt_ == due;
                if (cameBack) comebackPending_ = false;
            }
            if (cameBack) plugWhole();
        }
        lock.lock();
        if (cameBack) ++reenumerations_;
        changed_.notify_all();
    }
}

void SimSensor::setRebootDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    rebootDelay_ = delay;
}

// ---------------------------------------------------------------------------
// Configuration

void SimSensor::setDeviceInfo(const SimDeviceInfo& info) { firmware_.setDeviceInfo(info); }

SimDeviceInfo SimSensor::deviceInfo() const { return firmware_.deviceInfo(); }

void SimSensor::setFirmwareVersion(uint16_t major, uint16_t minor, uint16_t revision) {
    SimDeviceInfo info = firmware_.deviceInfo();
    info.fwMajor = major;
    info.fwMinor = minor;
    info.fwRevision = revision;
    firmware_.setDeviceInfo(info);
}

void SimSensor::setDeviceState(uint16_t processor, uint16_t state) { firmware_.setDeviceState(processor, state); }

// ---------------------------------------------------------------------------
// The back-end table and the monitor

int SimSensor::backendInit(vpu_usb_transport_params* params) {
    std::lock_guard<std::mutex> lock(backendMutex());
    const int result = SimUsb::instance().init(params);
    SimSensor* sensor = currentSensor.load();
    if (result == VPU_USB_OK && sensor != nullptr) sensor->startMonitor();
    return result;
}

int SimSensor::backendDeinit() {
    std::lock_guard<std::mutex> lock(backendMutex());
    SimSensor* sensor = currentSensor.load();
    // The monitor goes first: no event may start once the host stops.
    if (sensor != nullptr) sensor->stopMonitorForHost();
    return SimUsb::instance().deinit();
}

int SimSensor::deliverHotplug(int32_t event, bool booted) {
    SimSensor* sensor = currentSensor.load();
    if (sensor == nullptr) return 0;
    {
        std::lock_guard<std::mutex> lock(sensor->mutex_);
        sensor->inFlight_ = event;
    }
    insideHotplugHandler = true;
    const int result = sensor->handler_ != nullptr ? sensor->handler_(event, booted) : 0;
    insideHotplugHandler = false;
    {
        std::lock_guard<std::mutex> lock(sensor->mutex_);
        sensor->inFlight_ = 0;
        sensor->events_.push_back(SimHotplug::Event{event, booted});
        if (event == SimHotplug::kEventArrived) sensor->removalsSinceArrival_ = 0;
        if (event == SimHotplug::kEventRemoved) ++sensor->removalsSinceArrival_;
    }
    sensor->changed_.notify_all();
    return result;
}

void SimSensor::startMonitor() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || monitor_) return;
    monitor_ = std::make_unique<SimHotplug>(&SimSensor::deliverHotplug, usb_);
    // Starts in the caller's driver context, which its thread then carries.
    monitor_->start();
    changed_.notify_all();
}

void SimSensor::stopMonitorForHost() {
    std::unique_ptr<SimHotplug> monitor;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        monitor = std::move(monitor_);
    }
    changed_.notify_all();
    if (!monitor || monitor->stop(std::chrono::milliseconds(0))) return;
    // A handler is in flight, and it is the last one: no event starts any more.
    int32_t inFlight = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inFlight = inFlight_;
    }
    // An arrival is a bring-up that still talks to the device: the host's
    // transport goes only once it is over. A removal needs nothing more from
    // the bus, and the host's removal handling may itself be waiting for the
    // very shutdown that stops the transport here: it finishes on its own.
    if (inFlight == SimHotplug::kEventArrived && !insideHotplugHandler && monitor->stop(kDefaultStopBound)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    retired_.push_back(std::move(monitor));
}

bool SimSensor::transportRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return monitor_ != nullptr;
}

bool SimSensor::waitForTransportStopped(std::chrono::milliseconds timeout) const {
    return waitUnder(mutex_, changed_, timeout, [&] { return monitor_ == nullptr; });
}

std::vector<SimHotplug::Event> SimSensor::hotplugEvents() const { return lockedCopy(mutex_, events_); }

bool SimSensor::waitForHotplugEvents(size_t count, std::chrono::milliseconds timeout) const {
    return waitUnder(mutex_, changed_, timeout, [&] { return events_.size() >= count; });
}

size_t SimSensor::reenumerations() const { return lockedCopy(mutex_, reenumerations_); }

bool SimSensor::waitForReenumerations(size_t count, std::chrono::milliseconds timeout) const {
    return waitUnder(mutex_, changed_, timeout, [&] { return reenumerations_ >= count; });
}

// ---------------------------------------------------------------------------
// Stop

bool SimSensor::stop(std::chrono::milliseconds bound) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return true;
        stopped_ = true;
        stopping_ = true;
        comebackPending_ = false;
    }
    changed_.notify_all();
    if (comebacks_.joinable()) comebacks_.join();
    bool monitorEnded = true;
    std::unique_ptr<SimHotplug> monitor;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        monitor = std::move(monitor_);
    }
    changed_.notify_all();
    if (monitor && !monitor->stop(insideHotplugHandler ? std::chrono::milliseconds(0) : bound)) {
        monitorEnded = false;
        std::lock_guard<std::mutex> lock(mutex_);
        retired_.push_back(std::move(monitor));
    }
    // Monitors the host stopped while a handler was in flight.
    std::vector<SimHotplug*> retired;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& monitor : retired_) retired.push_back(monitor.get());
    }
    for (SimHotplug* monitor : retired) {
        if (!monitor->stop(insideHotplugHandler ? std::chrono::milliseconds(0) : bound)) monitorEnded = false;
    }
    firmware_.setRebootListener(nullptr);
    firmware_.stop();
    vpu_.stop();
    return monitorEnded;
}

}  // namespace zsim
