// The condition variable on the system's wait-on-address call: no wake-up is
// lost, timed waits last their time, and a notifier never touches the
// condition after handing the mutex back.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wake_condition.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Notify { UnderTheLock, AfterTheUnlock, UnlockAndNotify };

// Sets the flag under the mutex and wakes in the given way.
void setAndNotify(std::mutex& mutex, PLAT_WakeCondition& condition, bool& flag, Notify how) {
    std::unique_lock<std::mutex> lock(mutex);
    flag = true;
    switch (how) {
        case Notify::UnderTheLock:
            condition.notify_all();
            break;
        case Notify::AfterTheUnlock:
            lock.unlock();
            condition.notify_all();
            break;
        case Notify::UnlockAndNotify:
            condition.unlockAndNotifyAll(lock);
            break;
    }
}

// How long a woken waiter may take to come back with the mutex. A woken
// thread runs again within milliseconds, a loaded machine's within seconds;
// a waiter that nobody woke waits the whole bound out and is counted as
// such. So the bound lies far from both, and a notifier that wakes only one
// sleeper fails here in well under a minute.
constexpr auto kWakeBound = std::chrono::seconds(20);

// Waits under the mutex while the flag is clear, at most kWakeBound: true
// when the wait ended before its bound with the flag set.
bool wokenInTime(std::mutex& mutex, PLAT_WakeCondition& condition, const bool& flag, int& waiting) {
    std::unique_lock<std::mutex> lock(mutex);
    ++waiting;
    const auto deadline = Clock::now() + kWakeBound;
    return condition.wait_until(lock, deadline, [&] { return flag; }) && Clock::now() < deadline;
}

// Until `count` waiters have counted themselves under the mutex: each of them
// has then let go of it from inside its wait, after announcing its sleep.
bool allWaiting(std::mutex& mutex, const int& waiting, int count) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (waiting == count) return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
}

TEST(WakeCondition, EveryWayOfNotifyingWakesEveryWaiter) {
    const struct {
        const char* name;
        Notify how;
    } cases[] = {{"under the lock", Notify::UnderTheLock},
                 {"after the unlock", Notify::AfterTheUnlock},
                 {"unlock and notify", Notify::UnlockAndNotify}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::mutex mutex;
        PLAT_WakeCondition condition;
        bool flag = false;
        int waiting = 0;
        std::vector<int> woken(3, 0);
        std::vector<std::thread> waiters;
        for (int& result : woken)
            waiters.emplace_back([&] { result = wokenInTime(mutex, condition, flag, waiting) ? 1 : -1; });
        EXPECT_TRUE(allWaiting(mutex, waiting, 3));
        setAndNotify(mutex, condition, flag, c.how);
        for (std::thread& waiter : waiters) waiter.join();
        EXPECT_EQ(woken, std::vector<int>(3, 1));
    }
}

// Several sleepers pass a turn round a ring, each notification meant for one
// of them but sent to all: whoever a notifier failed to wake would sleep
// through its turn, and the ring stalls.
TEST(WakeCondition, ARingOfSleepersPassesEveryTurn) {
    constexpr int kSleepers = 4;
    constexpr int kLaps = 500;
    for (Notify how : {Notify::AfterTheUnlock, Notify::UnlockAndNotify}) {
        std::mutex mutex;
        PLAT_WakeCondition condition;
        int turn = 0;
        bool stalled = false;
        int passes = 0;
        auto play = [&](int me) {
            for (int lap = 0; lap < kLaps; ++lap) {
                std::unique_lock<std::mutex> lock(mutex);
                const auto deadline = Clock::now() + kWakeBound;
                if (!condition.wait_until(lock, deadline, [&] { return stalled || turn == me; }) || stalled) {
                    // Whoever notices first stops the others at once.
                    stalled = true;
                    condition.unlockAndNotifyAll(lock);
                    return;
                }
                turn = (me + 1) % kSleepers;
                ++passes;
                if (how == Notify::UnlockAndNotify) {
                    condition.unlockAndNotifyAll(lock);
                } else {
                    lock.unlock();
                    condition.notify_all();
                }
            }
        };
        std::vector<std::thread> ring;
        for (int me = 1; me < kSleepers; ++me) ring.emplace_back(play, me);
        play(0);
        for (std::thread& sleeper : ring) sleeper.join();
        EXPECT_FALSE(stalled);
        EXPECT_EQ(passes, kSleepers * kLaps);
    }
}

TEST(WakeCondition, TimedWaitWithoutChangeLastsItsTimeAndReportsThePredicate) {
    std::mutex mutex;
    PLAT_WakeCondition condition;
    std::unique_lock<std::mutex> lock(mutex);
    const auto start = Clock::now();
    EXPECT_FALSE(condition.wait_for(lock, std::chrono::milliseconds(30), [] { return false; }));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_TRUE(condition.wait_for(lock, std::chrono::milliseconds(0), [] { return true; }));
}

// Two threads hand a turn back and forth; a lost wake-up leaves one of them
// waiting out its bound, which is counted.
TEST(WakeCondition, APingPongLosesNoWakeUp) {
    for (Notify how : {Notify::AfterTheUnlock, Notify::UnlockAndNotify}) {
        std::mutex mutex;
        PLAT_WakeCondition condition;
        int turn = 0;
        int stalls = 0;
        constexpr int kRounds = 5000;
        auto play = [&](int me) {
            for (int round = 0; round < kRounds; ++round) {
                std::unique_lock<std::mutex> lock(mutex);
                if (!condition.wait_for(lock, kWakeBound, [&] { return turn == me; })) {
                    ++stalls;
                    return;
                }
                turn = 1 - me;
                if (how == Notify::UnlockAndNotify) {
                    condition.unlockAndNotifyAll(lock);
                } else {
                    lock.unlock();
                    condition.notify_all();
                }
            }
        };
        std::thread other(play, 1);
        play(0);
        other.join();
        EXPECT_EQ(stalls, 0);
    }
}

// The waiter destroys the condition as soon as it sees the flag; under the
// address sanitizer a notifier that touched it afterwards would be caught.
TEST(WakeCondition, AWokenWaiterMayDestroyTheConditionAtOnce) {
    struct Shared {
        std::mutex mutex;
        PLAT_WakeCondition condition;
        bool flag = false;
    };
    for (int round = 0; round < 300; ++round) {
        auto shared = std::make_unique<Shared>();
        Shared* raw = shared.get();
        std::thread setter([raw] { setAndNotify(raw->mutex, raw->condition, raw->flag, Notify::UnlockAndNotify); });
        {
            std::unique_lock<std::mutex> lock(raw->mutex);
            raw->condition.wait(lock, [raw] { return raw->flag; });
        }
        shared.reset();
        setter.join();
    }
}

}  // namespace
