// The hidden-window interface the USB hot-plug monitor runs on: window
// classes, windows owned by a thread, that thread's message queue, sent and
// posted messages, and timers.
//
// On Windows these are the system's own functions. On Linux the same calls
// work on a small message-queue implementation with the semantics the
// monitor relies on:
//  - a window belongs to the thread that created it; GetMessageA on that
//    thread takes, in this order, messages sent from other threads (the
//    window procedure runs inside GetMessageA and the sender gets its
//    result), posted messages, due timers (as WM_TIMER) and finally the quit
//    message, for which it returns 0;
//  - SendMessageA from the window's own thread calls the procedure directly;
//    from another thread it waits until the window's thread has handled it
//    (meanwhile handling messages sent to the waiting thread itself) and
//    returns 0 when the window is destroyed or its thread ends first;
//  - timers repeat until killed; SetTimer on a running timer restarts it;
//    no timer is shorter than USER_TIMER_MINIMUM (10 ms);
//  - DestroyWindow works on the window's own thread only; a thread that
//    ends takes its windows with it.
#pragma once

#ifdef _WIN32

#include <process.h>

#include "platform/win32.h"

#else

#include "platform/win32.h"

typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef uint16_t ATOM;
typedef void* HICON;
typedef void* HCURSOR;
typedef void* HBRUSH;
typedef void* HMENU;

typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void (*TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

struct WNDCLASSEXA {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
};

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_POWERBROADCAST = 0x0218;
constexpr UINT WM_DEVICECHANGE = 0x0219;
constexpr UINT WM_USER = 0x0400;

constexpr WPARAM PBT_APMSUSPEND = 0x0004;
constexpr WPARAM PBT_APMRESUMEAUTOMATIC = 0x0012;

constexpr DWORD WS_EX_CLIENTEDGE = 0x00000200;
constexpr DWORD WS_OVERLAPPEDWINDOW = 0x00CF0000;
constexpr int SW_HIDE = 0;

constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;

ATOM RegisterClassExA(const WNDCLASSEXA* windowClass);
BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance);
HWND FindWindowA(LPCSTR className, LPCSTR windowName);
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
BOOL DestroyWindow(HWND window);
BOOL ShowWindow(HWND window, int command);
BOOL EnableWindow(HWND window, BOOL enable);
BOOL IsWindow(HWND window);
// The thread that owns the window (0 for no window); the process id goes to
// `processId` when it is not null.
DWORD GetWindowThreadProcessId(HWND window, DWORD* processId);

BOOL GetMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// As SendMessageA, but a message the window's thread has not taken within
// `timeoutMs` is withdrawn: 0 with ERROR_TIMEOUT. One it has taken is waited for.
constexpr UINT SMTO_ABORTIFHUNG = 0x0002;
constexpr DWORD ERROR_TIMEOUT = 1460;
LRESULT SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                            DWORD_PTR* result);

// What waits in the calling thread's queue: the high word holds the kinds
// asked for that are there now (a timer counts once it is due); the low word
// holds the same, as nothing here tracks what is new since the last look.
constexpr UINT QS_POSTMESSAGE = 0x0008;
constexpr UINT QS_TIMER = 0x0010;
constexpr UINT QS_SENDMESSAGE = 0x0040;
DWORD GetQueueStatus(UINT flags);

// Calls `callback` for every window until it returns FALSE.
typedef BOOL (*WNDENUMPROC)(HWND, LPARAM);
BOOL EnumWindows(WNDENUMPROC callback, LPARAM context);

// A delay below USER_TIMER_MINIMUM is raised to it, as the system does.
constexpr UINT USER_TIMER_MINIMUM = 10;
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapseMs, TIMERPROC timerProc);
BOOL KillTimer(HWND window, UINT_PTR id);

// Threads that own windows, started as the C runtime starts them. The handle
// is a waitable object (signalled once the thread has ended) closed with
// CloseHandle; _endthreadex ends the calling thread with its exit code.
constexpr unsigned CREATE_SUSPENDED = 0x00000004;
constexpr DWORD STILL_ACTIVE = 259;
uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned (*start)(void*), void* argument,
                         unsigned initFlag, unsigned* threadId);
[[noreturn]] void _endthreadex(unsigned exitCode);
DWORD ResumeThread(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);

#endif
