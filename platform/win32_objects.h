// Linux only: the kernel objects behind our Win32 stand-ins (win32.h).
//
// Every waitable object (events here; threads and others where their own
// stand-ins add them, e.g. platform/win32_window.h) derives from
// Win32Object and is handed out as a HANDLE by Win32Object_Register. All
// objects share one lock and one condition variable: a wait for one or many
// objects is then a plain predicate wait, and an object that changes state
// calls Win32Object_Changed while holding the lock.
#pragma once

#ifndef _WIN32

#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/win32.h"

class Win32Object {
public:
    virtual ~Win32Object() = default;
    // Under Win32Object_Lock(): true when the object is signalled. A wait that
    // is satisfied by it calls consume() (an auto-reset event resets).
    virtual bool signalled() const = 0;
    virtual void consume() {}
};

// The lock that guards the state of every object.
std::mutex& Win32Object_Lock();
// Wakes the waiters; call with the lock held after a state change.
void Win32Object_Changed();
// Takes ownership and returns the object's handle.
HANDLE Win32Object_Register(std::unique_ptr<Win32Object> object);
// The object of a live handle, or null (lock held).
Win32Object* Win32Object_Find(HANDLE handle);
// The object of a live handle when it has the wanted kind, or null (lock held).
template <class T>
T* Win32Object_FindAs(HANDLE handle) {
    return dynamic_cast<T*>(Win32Object_Find(handle));
}

#endif  // !_WIN32
