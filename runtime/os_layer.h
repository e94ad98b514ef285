// OS abstraction layer of the driver and the host library: threads that carry
// their creator's driver context, mutexes, auto-reset events, bounded message
// queues, one-shot and periodic timers, clocks and sleep.
//
// Status results: 0 success, 1 failure. Misuse the layer detects raises
// std::runtime_error; faults of the platform's primitives raise std::system_error.
#pragma once

#include <cstdint>
#include <optional>

using OS_LYRG_statusT = uint32_t;
constexpr OS_LYRG_statusT OS_LYRG_SUCCESS = 0;
constexpr OS_LYRG_statusT OS_LYRG_FAIL = 1;

// Opaque handles to heap objects of this layer.
struct OS_LYRP_mutex;
struct OS_LYRP_event;
struct OS_LYRP_thread;
using OS_LYRG_mutexT = OS_LYRP_mutex*;
using OS_LYRG_eventT = OS_LYRP_event*;
using OS_LYRG_threadT = OS_LYRP_thread*;

using OS_LYRG_threadFuncT = uint32_t (*)(void* param);

struct OS_LYRG_threadParamsT {
    OS_LYRG_threadT handle;    // the caller stores the result of OS_LYRG_createThread here
    OS_LYRG_threadFuncT func;  // thread body; its result is ignored
    uintptr_t reserved;        // not read on the host
    void* param;               // argument of func
    uint32_t id;               // not read on the host
    const char* name;          // not read on the host
};

struct OS_LYRG_msgQueT {
    uint16_t maxMsgs;  // capacity
    uint32_t msgSize;  // nominal message size; not enforced
    char name[64];     // not used on the host
    void* handle;      // queue object, written by OS_LYRG_createMsgQue
};

using OS_LYRG_timerCbT = void (*)(void* arg);

struct OS_LYRG_timerT {
    uintptr_t reserved;
    OS_LYRG_timerCbT callback;
    void* arg;
    void* handle;  // running timer; null when none
    uint16_t firstSec;
    uint32_t firstNsec;
    uint16_t periodSec;
    uint32_t periodNsec;
};

// Mutexes: functions take a pointer to the caller's handle variable.
OS_LYRG_statusT OS_LYRG_createMutex(OS_LYRG_mutexT* mutex);
OS_LYRG_statusT OS_LYRG_lockMutex(OS_LYRG_mutexT* mutex);
OS_LYRG_statusT OS_LYRG_unlockMutex(OS_LYRG_mutexT* mutex);
OS_LYRG_statusT OS_LYRG_releaseMutex(OS_LYRG_mutexT* mutex);

namespace morv::runtime {
// Holds an OS-layer mutex for a scope.
class OsMutexLock {
public:
    explicit OsMutexLock(OS_LYRG_mutexT* mutex) : mutex_(mutex) { OS_LYRG_lockMutex(mutex_); }
    ~OsMutexLock() { OS_LYRG_unlockMutex(mutex_); }
    OsMutexLock(const OsMutexLock&) = delete;
    OsMutexLock& operator=(const OsMutexLock&) = delete;

private:
    OS_LYRG_mutexT* mutex_;
};
}  // namespace morv::runtime

// Auto-reset events.
OS_LYRG_eventT OS_LYRG_createEvent(int unused);
OS_LYRG_statusT OS_LYRG_setEvent(OS_LYRG_eventT event);
// 0 when the flag was set (and clears it), 1 when timeoutMs passed first.
OS_LYRG_statusT OS_LYRG_waitEvent(OS_LYRG_eventT event, uint32_t timeoutMs);
// Waits without limit when no timeout is given; returns the flag it found and clears it.
bool OS_LYRP_waitEventFor(OS_LYRG_eventT event, std::optional<int64_t> timeoutNs);
OS_LYRG_statusT OS_LYRG_releaseEvent(OS_LYRG_eventT event, int unused);

// Threads: every created thread is either waited for or detached, once.
OS_LYRG_threadT OS_LYRG_createThread(OS_LYRG_threadParamsT* params);
OS_LYRG_statusT OS_LYRG_waitForThread(OS_LYRG_threadT thread, uint32_t timeoutUnused);
OS_LYRG_statusT OS_LYRG_detachThread(OS_LYRG_threadT thread);

// Bounded message queues of byte messages.
OS_LYRG_statusT OS_LYRG_createMsgQue(OS_LYRG_msgQueT* params, uint32_t modeUnused);
OS_LYRG_statusT OS_LYRG_sendMsg(OS_LYRG_msgQueT* params, const void* buffer, uint32_t length);
OS_LYRG_statusT OS_LYRG_recvMsg(OS_LYRG_msgQueT* params, void* destination, uint32_t* length,
                                uint32_t timeoutMs);
OS_LYRG_statusT OS_LYRG_deleteMsgQue(OS_LYRG_msgQueT* params);

// Timers. Stop does not wait for a callback that is already running.
OS_LYRG_statusT OS_LYRG_startTimer(OS_LYRG_timerT* params);
OS_LYRG_statusT OS_LYRG_stopTimer(OS_LYRG_timerT* params);

// Time.
void OS_LYRG_getTime(uint32_t* sec, uint16_t* ms);
uint32_t OS_LYRG_getElapsedMsec(uint32_t sec, uint16_t ms);
int64_t OS_LYRG_getNsecTime();
void OS_LYRG_getUsecTime(uint32_t* sec, uint32_t* usec);
void OS_LYRG_usleep(int32_t usec);
// Sleeps; 0, or -1 when the system reports an error.
int OS_LYRG_sleepMs(uint32_t ms);
// "\\" on Windows, "/" elsewhere.
const char* OS_LYRG_pathSeparator();

// Elapsed-time rule of OS_LYRG_getElapsedMsec with an explicit "now" (also used by tests).
uint32_t OS_LYRP_elapsedMsec(uint32_t sec, uint16_t ms, uint32_t nowSec, uint16_t nowMs);
// Performance-counter ticks to nanoseconds, split so that large counts do not overflow.
int64_t OS_LYRP_perfCountToNsec(int64_t count, int64_t frequency);

// The host layer has no exit-thread operation; a thread body that raises this
// is a programming error and ends the process with a fixed message.
struct ThreadExit {};
