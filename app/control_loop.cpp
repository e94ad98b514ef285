#include "app/control_loop.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "app/updater.h"
#include "driver/device_manager.h"
#include "driver/driver_api.h"
#include "gui_support/command_line.h"
#include "gui_support/process_end.h"
#include "runtime/context.h"

namespace ZarnFirmwareUpdater {

using GuiSupport::CliSupport::format;

bool canUpdate(int32_t status) { return status == ControlState::OutOfDate || status == ControlState::Corrupt; }

namespace {

// States in which the device answers a device-information request.
bool isUsable(int32_t deviceState) {
    return deviceState == PZDeviceState_Ready || deviceState == PZDeviceState_ProductionDataCorrupt ||
           deviceState == PZDeviceState_FWCorrupt;
}

std::string textOrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

class ControlLoop::Impl {
public:
    Impl(StateCallback callback, MessageSink messages)
        : callback(std::move(callback)), messages(std::move(messages)) {}

    // Guards every field below it.
    std::mutex mutex;
    // The control thread waits on it; a state report, an update request and
    // the release wake it.
    std::condition_variable condition;
    bool stop = false;
    int32_t reportedDeviceState = PZDeviceState_Disconnected;
    ControlState current;
    StateCallback callback;
    std::shared_ptr<Updater> updater;

    // The driver's state callback; user is the Impl.
    static void onDeviceState(int state, void* user) {
        auto* self = static_cast<Impl*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->reportedDeviceState = state;
        self->condition.notify_all();
    }

    // Passes the worker's latest progress on to the front end; runs on the
    // driver's progress thread.
    void publishProgress() {
        std::unique_lock<std::mutex> lock(mutex);
        if (updater) {
            current.progress = updater->progress();
            current.progressText = updater->statusText();
        }
        publish(lock);
    }

    // The control thread's body, on the driver context it was given.
    void run(PZContextHolder context);

    void message(const std::string& line) const {
        if (messages) {
            messages(line);
        } else {
            GuiSupport::CliSupport::printErr("%s", line.c_str());
        }
    }

    const MessageSink messages;

private:
    // Runs the task with the mutex released: driver calls, the worker and
    // the front end's callback may take as long as they need, and the
    // driver's threads must be able to report state and progress meanwhile.
    template <typename Task>
    auto callUnlocked(std::unique_lock<std::mutex>& lock, Task&& task) {
        struct Relock {
            std::unique_lock<std::mutex>& lock;
            ~Relock() { lock.lock(); }
        } relock{lock};
        lock.unlock();
        return task();
    }

    // Hands a complete copy of the current state to the front end. Called
    // with the mutex held; returns with it held again.
    void publish(std::unique_lock<std::mutex>& lock) {
        StateCallback target = callback;
        ControlState copy = current;
        const uint64_t ticket = nextTicket++;
        callUnlocked(lock, [&] { deliver(ticket, target, copy); });
    }

    // The control thread and the driver's progress thread both publish.
    // Copies are delivered in the order they were taken, one at a time, so
    // a front end never ends up showing an older state than the last one.
    void deliver(uint64_t ticket, const StateCallback& target, const ControlState& state) {
        std::unique_lock<std::mutex> turn(deliveryMutex);
        deliveryTurn.wait(turn, [&] { return delivered == ticket; });
        struct NextTurn {
            Impl& impl;
            ~NextTurn() {
                ++impl.delivered;
                impl.deliveryTurn.notify_all();
            }
        } next{*this};
        target(state);
    }

    void judge(const PZDeviceInfo& info);

    uint64_t nextTicket = 0;  // under mutex

    std::mutex deliveryMutex;  // taken only with mutex released
    std::condition_variable deliveryTurn;
    uint64_t delivered = 0;  // under deliveryMutex
};

void ControlLoop::Impl::run(PZContextHolder context) {
    PZContext_SetThreadContext(new PZContextHolder(std::move(context)));

    std::unique_lock<std::mutex> lock(mutex);
    const PZStatus initStatus = callUnlocked(lock, [this] {
        PZInitParams params{};
        return PlovarZarn_Init(&Impl::onDeviceState, this, &params);
    });
    if (initStatus != PZStatus_Success) {
        message(format("Failed to initialize Plovar Zarn driver: error %d (%s)", static_cast<int>(initStatus),
                       PZStatus_toString(initStatus)));
        // This thread is not the program's main thread, which goes on with
        // its front end and the objects the front end uses.
        GuiSupport::endProcess(1);
    }

    for (;;) {
        message("Waiting for device...");
        condition.wait(lock, [this] { return stop || reportedDeviceState != current.device.deviceState; });
        if (stop) {
            callUnlocked(lock, [] {
                PlovarZarn_Deinit();
                // The shutdown runs on the driver's cleanup thread. Waiting
                // for it means that once this thread has ended, the driver no
                // longer calls onDeviceState on an Impl that may be gone.
                PZDevice_waitForCleanup();
            });
            break;
        }

        current.device.deviceState = reportedDeviceState;
        if (!isUsable(current.device.deviceState)) {
            publish(lock);
            continue;
        }

        publish(lock);
        message("Retrieving device info...");
        // The texts point into the driver's copy of the reply: taken over
        // into our own strings before anyone can ask again.
        PZDeviceInfo info{};
        DeviceStatus read;
        const PZStatus infoStatus = callUnlocked(lock, [&] {
            const PZStatus status = PlovarZarn_GetDeviceInfo(&info);
            if (status == PZStatus_Success) {
                read.name = textOrEmpty(info.name);
                read.model = textOrEmpty(info.model);
                read.serial = textOrEmpty(info.serial);
            }
            return status;
        });
        if (infoStatus != PZStatus_Success) {
            message(format("Failed to retrieve device info: error %d (%s)", static_cast<int>(infoStatus),
                           PZStatus_toString(infoStatus)));
            continue;
        }
        current.device.name = std::move(read.name);
        current.device.model = std::move(read.model);
        current.device.serial = std::move(read.serial);
        judge(info);
        publish(lock);

        for (;;) {
            message("Device ready, waiting for input...");
            condition.wait(lock, [this] {
                return stop || reportedDeviceState != current.device.deviceState ||
                       (updater && updater->state() == Updater::Idle);
            });
            if (stop) break;
            if (reportedDeviceState != current.device.deviceState) {
                current.status = ControlState::Unknown;
                break;
            }

            current.status = ControlState::Updating;
            current.updateResult = ControlState::None;
            publish(lock);

            std::shared_ptr<Updater> worker = updater;
            callUnlocked(lock, [&worker] { worker->run(); });

            switch (worker->state()) {
                case Updater::Succeeded:
                    current.updateResult = ControlState::Succeeded;
                    break;
                case Updater::Failed:
                    current.updateResult = ControlState::Failed;
                    current.errorText = worker->errorText();
                    break;
                default:
                    break;
            }
            worker.reset();
            publish(lock);
        }
    }

    lock.unlock();
    // The context goes with the thread's last use of the driver.
    PZContext_SetThreadContext(nullptr);
}

void ControlLoop::Impl::judge(const PZDeviceInfo& info) {
    const VersionNumber device{.patch = info.fwRevision, .minor = info.fwMinor, .major = info.fwMajor};
    const VersionNumber embedded = embeddedFirmwareVersion();
    current.device.firmware = device;
    if (device < embedded) {
        current.status = ControlState::OutOfDate;
    } else if (device == embedded) {
        current.status =
            current.device.deviceState == PZDeviceState_FWCorrupt ? ControlState::Corrupt : ControlState::UpToDate;
    } else {
        current.status = ControlState::TooNew;
    }
}

// ---------------------------------------------------------------------------

ControlLoop::ControlLoop(StateCallback callback) : ControlLoop(std::move(callback), MessageSink{}) {}

ControlLoop::ControlLoop(StateCallback callback, MessageSink messages)
    : impl(std::make_shared<Impl>(std::move(callback), std::move(messages))) {
    // The control thread works on the caller's driver context: the default
    // one in the program, a context of its own in a test.
    PZContextHolder* current = PZContext_AcquireCurrent();
    PZContextHolder context = std::move(*current);
    delete current;
    thread = std::thread([self = impl, context = std::move(context)]() mutable { self->run(std::move(context)); });
}

ControlLoop::~ControlLoop() {
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->stop = true;
        impl->condition.notify_all();
    }
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        // Released from inside its own state callback: the thread cannot
        // wait for itself; it sees stop and ends on its own.
        thread.detach();
    } else {
        thread.join();
    }
}

bool ControlLoop::startUpdate() {
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (!canUpdate(impl->current.status)) return false;
    impl->current.status = ControlState::Updating;
    impl->current.updateResult = ControlState::None;
    std::vector<uint8_t> image(embeddedFirmwarePackage.begin(), embeddedFirmwarePackage.end());
    // The worker reaches the loop through a weak reference: the loop holds
    // the worker, and a strong one back would keep both alive for ever.
    std::weak_ptr<Impl> loop = impl;
    auto publishProgressThunk = [loop] {
        if (auto self = loop.lock()) self->publishProgress();
    };
    impl->updater = std::make_shared<Updater>(std::move(image), publishProgressThunk, impl->messages);
    impl->condition.notify_all();
    return true;
}

std::function<bool()> requestUpdate(std::weak_ptr<ControlLoop> loop) {
    return [loop = std::move(loop)] {
        auto target = loop.lock();
        return target ? target->startUpdate() : false;
    };
}

}  // namespace ZarnFirmwareUpdater
