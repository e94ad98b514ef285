// Lets a number of threads start together, to make them meet in the code
// under test. It spins instead of using std::latch: the MinGW build's atomic
// wait can miss its wake-up and leave a thread waiting for ever.
#pragma once

#include <atomic>
#include <thread>

class StartGate {
public:
    explicit StartGate(int count) : count_(count) {}

    void arriveAndWait() {
        arrived_.fetch_add(1);
        while (arrived_.load() < count_) std::this_thread::yield();
    }

private:
    const int count_;
    std::atomic<int> arrived_{0};
};
