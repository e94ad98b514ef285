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
        std::vector<int> woken(3, 0);
        std::vector<std::thread> waiters;
        for (int& result : woken) {
            waiters.emplace_back([&] {
                std::unique_lock<std::mutex> lock(mutex);
                result = condition.wait_for(lock, std::chrono::seconds(10), [&] { return flag; }) ? 1 : -1;
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        setAndNotify(mutex, condition, flag, c.how);
        for (std::thread& waiter : waiters) waiter.join();
        EXPECT_EQ(woken, std::vector<int>(3, 1));
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
                if (!condition.wait_for(lock, std::chrono::seconds(5), [&] { return turn == me; })) {
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
