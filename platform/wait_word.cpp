// Sleeping on a 32-bit word until another thread wakes it: futex on Linux,
// WaitOnAddress on Windows.
#include "platform/wake_condition.h"

#include <climits>

#ifdef _WIN32
#include "platform/win32.h"
#else
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the word is slept on as a plain 32-bit value");

#ifdef _WIN32

void PLAT_waitOnWord(std::atomic<uint32_t>* word, uint32_t expected, int64_t timeoutNs) {
    DWORD ms = INFINITE;
    if (timeoutNs >= 0) {
        // Rounded up: a wait never ends before its time for want of resolution.
        const int64_t rounded = (timeoutNs + 999999) / 1000000;
        ms = rounded >= static_cast<int64_t>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(rounded);
    }
    WaitOnAddress(reinterpret_cast<volatile void*>(word), &expected, sizeof(expected), ms);
}

void PLAT_wakeAllOnWord(std::atomic<uint32_t>* word) { WakeByAddressAll(reinterpret_cast<void*>(word)); }

#else

void PLAT_waitOnWord(std::atomic<uint32_t>* word, uint32_t expected, int64_t timeoutNs) {
    struct timespec relative;
    struct timespec* limit = nullptr;
    if (timeoutNs >= 0) {
        relative.tv_sec = static_cast<time_t>(timeoutNs / 1000000000);
        relative.tv_nsec = static_cast<long>(timeoutNs % 1000000000);
        limit = &relative;
    }
    // EAGAIN (the word had changed), EINTR and ETIMEDOUT all mean: look again.
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, limit, nullptr, 0);
}

void PLAT_wakeAllOnWord(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

#endif
