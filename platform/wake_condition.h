// A condition variable for std::mutex built on the system's wait-on-address
// call (futex on Linux, WaitOnAddress on Windows).
//
// Why not std::condition_variable: glibc marks the mutex a woken waiter takes
// back as contended, so that waiter's next unlock makes a wake-up system call
// even when nobody waits; and a waiter woken while the notifier still holds
// the mutex sleeps once more on the mutex itself. On a path where each message
// is handed from thread to thread, that is two to three system calls per hop
// beyond the one wake-up and the one wait the hop needs. Here a woken waiter
// takes the mutex like any other locker, and `unlockAndNotifyAll` wakes only
// after the mutex is free.
//
// Waits may end early or spuriously; the predicate forms loop on their own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

// Sleeps while *word == expected, at most timeoutNs (negative: no limit).
// Returns early on a wake-up of the word, a change of it, or spuriously.
void PLAT_waitOnWord(std::atomic<uint32_t>* word, uint32_t expected, int64_t timeoutNs);
// Wakes every thread sleeping on the word. Touches only the address, never
// the memory behind it: it may be called after the word's owner is gone.
void PLAT_wakeAllOnWord(std::atomic<uint32_t>* word);

class PLAT_WakeCondition {
public:
    PLAT_WakeCondition() = default;
    PLAT_WakeCondition(const PLAT_WakeCondition&) = delete;
    PLAT_WakeCondition& operator=(const PLAT_WakeCondition&) = delete;

    // With or without the mutex held, after the state changed under it.
    void notify_all() noexcept {
        if (countChange()) PLAT_wakeAllOnWord(&word_);
    }

    // The state changed under `lock`: counts the change while the mutex is
    // still held, releases it, then wakes. After the unlock nothing of this
    // object is read or written, so a woken waiter may destroy it at once.
    void unlockAndNotifyAll(std::unique_lock<std::mutex>& lock) noexcept {
        const bool wake = countChange();
        lock.unlock();
        if (wake) PLAT_wakeAllOnWord(&word_);
    }

    template <typename Predicate>
    void wait(std::unique_lock<std::mutex>& lock, Predicate done) {
        while (!done()) sleepOnce(lock, -1);
    }

    template <typename Clock, typename Duration, typename Predicate>
    bool wait_until(std::unique_lock<std::mutex>& lock, const std::chrono::time_point<Clock, Duration>& deadline,
                    Predicate done) {
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
            if (left <= 0) return done();
            sleepOnce(lock, left);
        }
        return true;
    }

    template <typename Rep, typename Period, typename Predicate>
    bool wait_for(std::unique_lock<std::mutex>& lock, const std::chrono::duration<Rep, Period>& timeout,
                  Predicate done) {
        return wait_until(lock, std::chrono::steady_clock::now() + timeout, std::move(done));
    }

private:
    // The word slept on: a change count in the upper 31 bits, and in bit 0
    // whether anybody went to sleep since the last change. One word, so a
    // sleeper's announcement and a notifier's change cannot pass each other:
    // either the notifier sees the sleeper, or the sleeper's wait finds the
    // word changed.
    static constexpr uint32_t kSleeping = 1;
    static constexpr uint32_t kOneChange = 2;

    // Counts a change and clears the sleeping bit; true when it was set.
    // Further changes before anybody sleeps again cost no wake-up.
    bool countChange() noexcept {
        uint32_t seen = word_.load(std::memory_order_relaxed);
        while (!word_.compare_exchange_weak(seen, (seen + kOneChange) & ~kSleeping, std::memory_order_seq_cst,
                                            std::memory_order_relaxed)) {
        }
        return (seen & kSleeping) != 0;
    }

    // Called with the mutex held; returns with it held. A change counted
    // after this announcement makes the sleep return at once.
    void sleepOnce(std::unique_lock<std::mutex>& lock, int64_t timeoutNs) {
        const uint32_t seen = word_.fetch_or(kSleeping, std::memory_order_seq_cst) | kSleeping;
        lock.unlock();
        PLAT_waitOnWord(&word_, seen, timeoutNs);
        lock.lock();
    }

    std::atomic<uint32_t> word_{0};
};
