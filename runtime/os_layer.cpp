// OS abstraction layer on the standard thread library. Its one addition to
// plain standard threads: every thread and timer thread it starts runs on the
// driver context of the thread that started it.
#include "runtime/os_layer.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/wake_condition.h"
#include "runtime/context.h"

// ---------------------------------------------------------------------------
// Records behind the opaque handles
// ---------------------------------------------------------------------------

struct OS_LYRP_mutex {
    std::mutex mutex;
};

struct OS_LYRP_event {
    std::mutex mutex;
    PLAT_WakeCondition changed;
    uint8_t flag = 0;  // guarded by mutex
};

struct OS_LYRP_thread {
    std::thread thread;
};

namespace {

constexpr int64_t kNsecPerSec = 1000000000LL;
constexpr int64_t kNsecPerMsec = 1000000LL;

// The layer's steady clock: the platform's performance counter in
// nanoseconds. Every deadline of this layer is taken on it, so that waits
// and the time stamps callers see agree with each other.
struct SteadyClock {
    using rep = int64_t;
    using period = std::nano;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<SteadyClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept { return time_point(duration(OS_LYRG_getNsecTime())); }
};

// Waits on `cv` until `done()` holds or the optional relative timeout runs
// out; no timeout waits without limit. Returns done() as last seen.
template <typename Condition, typename Predicate>
bool waitFor(Condition& cv, std::unique_lock<std::mutex>& lock, std::optional<int64_t> timeoutNs, Predicate done) {
    if (!timeoutNs) {
        cv.wait(lock, done);
        return true;
    }
    const auto deadline = SteadyClock::now() + std::chrono::nanoseconds(*timeoutNs);
    return cv.wait_until(lock, deadline, done);
}

// Bounded queue of byte messages. Senders and receivers share one condition
// variable, so every push and pop wakes all waiters.
class MessageQueue {
public:
    explicit MessageQueue(uint16_t capacity) : capacity_(capacity) {}

    bool push(std::vector<uint8_t> message, std::optional<int64_t> timeoutNs) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!waitFor(changed_, lock, timeoutNs, [this] { return messages_.size() < capacity_; })) return false;
        messages_.push_back(std::move(message));
        changed_.unlockAndNotifyAll(lock);
        return true;
    }

    std::optional<std::vector<uint8_t>> pop(std::optional<int64_t> timeoutNs) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!waitFor(changed_, lock, timeoutNs, [this] { return !messages_.empty(); })) return std::nullopt;
        std::vector<uint8_t> message = std::move(messages_.front());
        messages_.pop_front();
        changed_.unlockAndNotifyAll(lock);
        return message;
    }

private:
    std::mutex mutex_;
    PLAT_WakeCondition changed_;
    std::deque<std::vector<uint8_t>> messages_;
    const size_t capacity_;
};

// A running timer, shared by the timer record's handle and the timer thread.
class TimerImpl {
public:
    TimerImpl(std::function<void()> call, int64_t firstNs, int64_t periodNs)
        : call_(std::move(call)), firstNs_(firstNs), periodNs_(periodNs) {}

    void requestStop() {
        std::lock_guard<std::mutex> guard(mutex_);
        stop_ = true;
        wake_.notify_all();
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        auto deadline = SteadyClock::now() + std::chrono::nanoseconds(firstNs_);
        for (;;) {
            wake_.wait_until(lock, deadline, [this] { return stop_; });
            if (stop_) return;
            // The callback runs without the timer's lock, so it may start or
            // stop timers, this one included.
            lock.unlock();
            call_();
            lock.lock();
            if (periodNs_ == 0) return;
            // Measured after the callback returns: a slow callback delays the
            // following ones instead of letting expiries pile up.
            deadline = SteadyClock::now() + std::chrono::nanoseconds(periodNs_);
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;  // guarded by mutex_
    const std::function<void()> call_;
    const int64_t firstNs_;
    const int64_t periodNs_;
};

// What the timer record's handle points to.
struct TimerHandle {
    TimerImpl* impl;
    std::shared_ptr<TimerImpl> reference;
};

// Start data of a new thread. It lives on the creator's stack until the new
// thread has copied it, which the creator waits for.
struct ThreadStart {
    OS_LYRG_threadFuncT func;
    void* param;
    PZContextHolder* context;
    std::mutex mutex;
    std::condition_variable takenOver;
    bool taken = false;  // guarded by mutex
};

const char kThreadParamsMessage[] = "A non-null threadParams and threadParams->func object is required.";
const char kThreadExitMessage[] = "Someone called OS_LYRG_exitThread, should never happen in host driver";

int64_t toNsec(uint16_t sec, uint32_t nsec) { return static_cast<int64_t>(sec) * kNsecPerSec + nsec; }

}  // namespace

// Runs on the new thread: adopt the creator's context, then the body.
static void OS_LYRP_threadEntry(ThreadStart* start) {
    OS_LYRG_threadFuncT func;
    void* param;
    PZContextHolder* context;
    {
        std::lock_guard<std::mutex> guard(start->mutex);
        func = start->func;
        param = start->param;
        context = start->context;
        start->taken = true;
        // Notified under the lock: the creator may destroy the start data as
        // soon as it sees the flag.
        start->takenOver.notify_one();
    }
    PZContext_SetThreadContext(context);
    try {
        func(param);
    } catch (const ThreadExit&) {
        throw std::runtime_error(kThreadExitMessage);
    }
}

// ---------------------------------------------------------------------------
// Mutexes
// ---------------------------------------------------------------------------

OS_LYRG_statusT OS_LYRG_createMutex(OS_LYRG_mutexT* mutex) {
    if (mutex == nullptr) return OS_LYRG_FAIL;
    *mutex = new OS_LYRP_mutex();
    return OS_LYRG_SUCCESS;
}

OS_LYRG_statusT OS_LYRG_lockMutex(OS_LYRG_mutexT* mutex) {
    if (mutex == nullptr) return OS_LYRG_FAIL;
    (*mutex)->mutex.lock();
    return OS_LYRG_SUCCESS;
}

OS_LYRG_statusT OS_LYRG_unlockMutex(OS_LYRG_mutexT* mutex) {
    if (mutex == nullptr) return OS_LYRG_FAIL;
    (*mutex)->mutex.unlock();
    return OS_LYRG_SUCCESS;
}

OS_LYRG_statusT OS_LYRG_releaseMutex(OS_LYRG_mutexT* mutex) {
    if (mutex == nullptr) return OS_LYRG_FAIL;
    delete *mutex;
    return OS_LYRG_SUCCESS;
}

// ---------------------------------------------------------------------------
// Auto-reset events
// ---------------------------------------------------------------------------

OS_LYRG_eventT OS_LYRG_createEvent(int) { return new OS_LYRP_event(); }

OS_LYRG_statusT OS_LYRG_setEvent(OS_LYRG_eventT event) {
    std::unique_lock<std::mutex> lock(event->mutex);
    event->flag = 1;
    // The wake-up itself comes after the unlock, so a woken waiter does not
    // sleep again on the mutex; the event may be gone by then.
    event->changed.unlockAndNotifyAll(lock);
    return OS_LYRG_SUCCESS;
}

bool OS_LYRP_waitEventFor(OS_LYRG_eventT event, std::optional<int64_t> timeoutNs) {
    std::unique_lock<std::mutex> lock(event->mutex);
    waitFor(event->changed, lock, timeoutNs, [event] { return event->flag != 0; });
    // Every waiter is woken by a set, but only the first to get here finds
    // the flag: one set releases one wait.
    const bool wasSet = event->flag != 0;
    event->flag = 0;
    return wasSet;
}

OS_LYRG_statusT OS_LYRG_waitEvent(OS_LYRG_eventT event, uint32_t timeoutMs) {
    return OS_LYRP_waitEventFor(event, static_cast<int64_t>(timeoutMs) * kNsecPerMsec) ? OS_LYRG_SUCCESS
                                                                                      : OS_LYRG_FAIL;
}

OS_LYRG_statusT OS_LYRG_releaseEvent(OS_LYRG_eventT event, int) {
    delete event;
    return OS_LYRG_SUCCESS;
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

OS_LYRG_threadT OS_LYRG_createThread(OS_LYRG_threadParamsT* params) {
    if (params == nullptr || params->func == nullptr) throw std::runtime_error(kThreadParamsMessage);

    // Owned here until the new thread has taken it over; freed here if the
    // thread cannot be started.
    std::unique_ptr<PZContextHolder> context(PZContext_AcquireCurrent());
    ThreadStart start{params->func, params->param, context.get(), {}, {}, false};

    auto handle = std::make_unique<OS_LYRP_thread>();
    handle->thread = std::thread(OS_LYRP_threadEntry, &start);
    context.release();

    std::unique_lock<std::mutex> lock(start.mutex);
    start.takenOver.wait(lock, [&start] { return start.taken; });
    return handle.release();
}

OS_LYRG_statusT OS_LYRG_waitForThread(OS_LYRG_threadT thread, uint32_t) {
    if (thread == nullptr) return OS_LYRG_FAIL;
    // The call always waits until the thread has ended. Joining oneself
    // raises resource_deadlock_would_occur and leaves the handle to the caller.
    // That is checked here rather than left to the system's join: a join of
    // oneself that the system refuses still marks the thread as joined in a
    // thread sanitizer's books, and the real join that follows then aborts it.
    if (thread->thread.get_id() == std::this_thread::get_id())
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                "OS_LYRG_waitForThread");
    if (thread->thread.joinable()) thread->thread.join();
    delete thread;
    return OS_LYRG_SUCCESS;
}

OS_LYRG_statusT OS_LYRG_detachThread(OS_LYRG_threadT thread) {
    if (thread == nullptr) return OS_LYRG_FAIL;
    if (thread->thread.joinable()) thread->thread.detach();
    delete thread;
    return OS_LYRG_SUCCESS;
}

// ---------------------------------------------------------------------------
// Message queues
// ---------------------------------------------------------------------------

OS_LYRG_statusT OS_LYRG_createMsgQue(OS_LYRG_msgQueT* params, uint32_t) {
    params->handle = new MessageQueue(params->maxMsgs);
    return OS_LYRG_SUCCESS;
}

OS_LYRG_statusT OS_LYRG_sendMsg(OS_LYRG_msgQueT* params, const void* buffer, uint32_t length) {
    auto* queue = static_cast<MessageQueue*>(params->handle);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    std::vector<uint8_t> message;
    if (length > 0) message.assign(bytes, bytes + length);
    // Senders never wait: a full queue fails at once and the caller keeps its buffer.
    return queue->push(std::move(message), 0) ? OS_LYRG_SUCCESS : OS_LYRG_FAIL;
}

OS_LYRG_statusT OS_LYRG_recvMsg(OS_LYRG_msgQueT* params, void* destination, uint32_t* length,
                                uint32_t timeoutMs) {
    auto* queue = static_cast<MessageQueue*>(params->handle);
    auto message = queue->pop(static_cast<int64_t>(timeoutMs) * kNsecPerMsec);
    if (!message) return OS_LYRG_FAIL;
    // A destination too small for the oldest message loses that message.
    if (*length < message->size()) return OS_LYRG_FAIL;
    if (!message->empty()) std::memcpy(destination, message->data(), message->size());
    *length = static_cast<uint32_t>(message->size());
    return OS_LYRG_SUCCESS;
}

OS_LYRG_statusT OS_LYRG_deleteMsgQue(OS_LYRG_msgQueT* params) {
    delete static_cast<MessageQueue*>(params->handle);
    return OS_LYRG_SUCCESS;
}

// ---------------------------------------------------------------------------
// Timers
// ---------------------------------------------------------------------------

OS_LYRG_statusT OS_LYRG_startTimer(OS_LYRG_timerT* params) {
    OS_LYRG_stopTimer(params);
    if (params->firstSec == 0 && params->firstNsec == 0 && params->periodSec == 0 && params->periodNsec == 0) {
        return OS_LYRG_SUCCESS;
    }

    const OS_LYRG_timerCbT callback = params->callback;
    void* const arg = params->arg;
    auto timer = std::make_shared<TimerImpl>([callback, arg] { callback(arg); },
                                             toNsec(params->firstSec, params->firstNsec),
                                             toNsec(params->periodSec, params->periodNsec));

    // The handle is in the record before the thread starts, so that a first
    // callback may already stop its own timer.
    auto* handle = new TimerHandle{timer.get(), timer};
    params->handle = handle;
    // The holder is freed with the thread's start data if the thread cannot start.
    std::unique_ptr<PZContextHolder> context(PZContext_AcquireCurrent());
    try {
        std::thread([timer = std::move(timer), context = std::move(context)]() mutable {
            PZContext_SetThreadContext(context.release());
            timer->run();
        }).detach();
    } catch (...) {
        params->handle = nullptr;
        delete handle;
        throw;
    }
    return OS_LYRG_SUCCESS;
}

OS_LYRG_statusT OS_LYRG_stopTimer(OS_LYRG_timerT* params) {
    auto* handle = static_cast<TimerHandle*>(params->handle);
    if (handle == nullptr) return OS_LYRG_SUCCESS;
    // Does not wait for the timer thread: a callback already running
    // completes on its own; none starts after the stop flag is set.
    handle->impl->requestStop();
    delete handle;
    params->handle = nullptr;
    return OS_LYRG_SUCCESS;
}

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------

int64_t OS_LYRP_perfCountToNsec(int64_t count, int64_t frequency) {
    return (count / frequency) * kNsecPerSec + (count % frequency) * kNsecPerSec / frequency;
}

int64_t OS_LYRG_getNsecTime() { return OS_LYRP_perfCountToNsec(PLAT_perfCounter(), PLAT_perfFrequency()); }

void OS_LYRG_getTime(uint32_t* sec, uint16_t* ms) {
    const int64_t now = OS_LYRG_getNsecTime();
    if (sec) *sec = static_cast<uint32_t>(now / kNsecPerSec);
    if (ms) *ms = static_cast<uint16_t>((now % kNsecPerSec) / kNsecPerMsec);
}

uint32_t OS_LYRP_elapsedMsec(uint32_t sec, uint16_t ms, uint32_t nowSec, uint16_t nowMs) {
    if (nowSec > sec) return (nowSec - sec) * 1000U + nowMs - ms;
    // A stamp ahead of now, by seconds or by milliseconds within the same
    // second, has no elapsed time yet.
    if (nowSec == sec && nowMs >= ms) return static_cast<uint32_t>(nowMs - ms);
    return 0;
}

uint32_t OS_LYRG_getElapsedMsec(uint32_t sec, uint16_t ms) {
    uint32_t nowSec = 0;
    uint16_t nowMs = 0;
    OS_LYRG_getTime(&nowSec, &nowMs);
    return OS_LYRP_elapsedMsec(sec, ms, nowSec, nowMs);
}

void OS_LYRG_getUsecTime(uint32_t* sec, uint32_t* usec) {
    const int64_t ticks = PLAT_systemTime100ns();
    if (sec) *sec = static_cast<uint32_t>(ticks / 10000000LL);
    if (usec) *usec = static_cast<uint32_t>((ticks % 10000000LL) / 10);
}

// Sleeps until `deadline` on our own clock. std::this_thread::sleep_until
// trusts a steady clock's single sleep, but a system sleep rounded to the
// scheduler's tick (Windows) may end a little early: what is left is slept again.
static void sleepUntil(SteadyClock::time_point deadline) {
    for (auto now = SteadyClock::now(); now < deadline; now = SteadyClock::now()) {
        std::this_thread::sleep_for(deadline - now);
    }
}

void OS_LYRG_usleep(int32_t usec) {
    if (usec <= 0) return;
    sleepUntil(SteadyClock::now() + std::chrono::microseconds(usec));
}

int OS_LYRG_sleepMs(uint32_t ms) {
    try {
        sleepUntil(SteadyClock::now() + std::chrono::milliseconds(ms));
    } catch (const std::system_error&) {
        return -1;
    }
    return 0;
}

const char* OS_LYRG_pathSeparator() { return PLAT_pathSeparator(); }
