// Linux body of the window-owning threads of win32_window.h: a thread handle
// is a waitable object of win32_objects.h, signalled when the thread ends.
#ifndef _WIN32

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/win32_objects.h"
#include "platform/win32_window.h"

namespace {

// What the thread and its handle share; guarded by Win32Object_Lock().
struct ThreadState {
    std::condition_variable resumed;
    bool suspended = false;
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD id = 0;
    bool idKnown = false;
    std::condition_variable idPublished;
};

// Thrown by _endthreadex to leave the thread's function from any depth; only
// the thread's own frame catches it.
struct ThreadEnd {
    unsigned code;
};

class ThreadObject final : public Win32Object {
public:
    explicit ThreadObject(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}
    ~ThreadObject() override {
        bool finished = false;
        {
            std::lock_guard<std::mutex> lock(Win32Object_Lock());
            finished = state_->finished;
        }
        // A handle closed before its thread ended lets the thread run on, as
        // on Windows; one closed after it joins the (ending) thread.
        if (thread.joinable()) {
            if (finished) {
                thread.join();
            } else {
                thread.detach();
            }
        }
    }
    bool signalled() const override { return state_->finished; }
    ThreadState& state() { return *state_; }

    std::thread thread;

private:
    std::shared_ptr<ThreadState> state_;
};

}  // namespace

uintptr_t _beginthreadex(void*, unsigned, unsigned (*start)(void*), void* argument, unsigned initFlag,
                         unsigned* threadId) {
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto state = std::make_shared<ThreadState>();
    state->suspended = (initFlag & CREATE_SUSPENDED) != 0;
    auto object = std::make_unique<ThreadObject>(state);
    object->thread = std::thread([state, start, argument] {
        {
            std::unique_lock<std::mutex> lock(Win32Object_Lock());
            state->id = GetCurrentThreadId();
            state->idKnown = true;
            state->idPublished.notify_all();
            state->resumed.wait(lock, [&] { return !state->suspended; });
        }
        unsigned code = 0;
        try {
            code = start(argument);
        } catch (const ThreadEnd& end) {
            code = end.code;
        }
        std::lock_guard<std::mutex> lock(Win32Object_Lock());
        state->finished = true;
        state->exitCode = code;
        Win32Object_Changed();
    });
    {
        std::unique_lock<std::mutex> lock(Win32Object_Lock());
        state->idPublished.wait(lock, [&] { return state->idKnown; });
        if (threadId != nullptr) *threadId = state->id;
    }
    return reinterpret_cast<uintptr_t>(Win32Object_Register(std::move(object)));
}

void _endthreadex(unsigned exitCode) { throw ThreadEnd{exitCode}; }

DWORD ResumeThread(HANDLE handle) {
    std::lock_guard<std::mutex> lock(Win32Object_Lock());
    auto* thread = Win32Object_FindAs<ThreadObject>(handle);
    if (thread == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    const DWORD previous = thread->state().suspended ? 1 : 0;
    thread->state().suspended = false;
    thread->state().resumed.notify_all();
    return previous;
}

BOOL GetExitCodeThread(HANDLE handle, DWORD* exitCode) {
    std::lock_guard<std::mutex> lock(Win32Object_Lock());
    auto* thread = Win32Object_FindAs<ThreadObject>(handle);
    if (thread == nullptr || exitCode == nullptr) {
        SetLastError(thread == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = thread->state().exitCode;
    return TRUE;
}

#endif
