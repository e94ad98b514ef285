// A simulator part keeps its configuration and what it observed under its own
// mutex: tests set and read them from their thread while the part's thread
// works on them. These copy one field in or out under that mutex, and wait,
// within a bound, for an observation to arrive.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace zsim {

template <typename T>
T lockedCopy(std::mutex& mutex, const T& field) {
    std::lock_guard<std::mutex> lock(mutex);
    return field;
}

template <typename T, typename V>
void lockedSet(std::mutex& mutex, T& field, V&& value) {
    std::lock_guard<std::mutex> lock(mutex);
    field = std::forward<V>(value);
}

// True once `pred` holds (checked under `mutex`), false when `timeout` passes first.
template <typename Condition, typename Pred>
bool waitUnder(std::mutex& mutex, Condition& changed, std::chrono::milliseconds timeout, Pred pred) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, pred);
}

}  // namespace zsim
