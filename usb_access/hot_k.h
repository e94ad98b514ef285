// Hot-plug monitor: tells registered clients when USB device interfaces that
// match their pattern arrive or go away.
//
// The monitor keeps one device list of the devices seen so far and one hidden
// notification window on a thread of its own. Device-change messages to that
// window arm short one-shot timers; when one fires, the list is synchronised
// with a fresh enumeration and every entry marked arrived or removed is
// reported to each client whose pattern it matches, through the client's
// plug callback (and, when asked, a message to the client's window). A
// burst of messages re-arms the timer, so one synchronisation follows it:
// 2 s after the last device-node change, 1 s after the last interface
// arrival, 1 ms after a named interface removal (the entry is marked from
// the notice itself). A node change asks for the notices of the interface
// classes it finds before any client is told of their devices.
//
// All list work and every callback run on the monitor's thread, one message
// at a time; a callback may block it for as long as it needs (the transport
// back-end runs a whole sensor boot inside one). HotK_Init and HotK_Free run
// on the caller's thread and hand their work to the window with a sent
// message. The first registration starts the monitor; the last HotK_Free
// stops it and returns only after the window is gone, except when its
// caller is a client being told of an event (in its callback, or in its
// window while the monitor waits for it): the monitor cannot end while that
// client is inside, so the free returns at once and the monitor stops when
// the report pass ends. A registration that comes before then calls the
// stop off and keeps the running monitor; one that comes while another
// caller starts the monitor, or while the monitor ends, waits for that.
// A report is owed to the clients registered when its mark was made: a new
// client neither takes one from the others nor is told one twice.
#pragma once

#include "platform/win32_window.h"
#include "usb_access/allk.h"
#include "usb_access/lst_k.h"
#include "usb_access/usbk_api.h"

typedef HotK_Handle* KHOT_HANDLE;

// Events given to the plug callback.
constexpr int32_t KHOT_EVENT_ARRIVAL = 2;
constexpr int32_t KHOT_EVENT_REMOVAL = 4;

// Registration flags.
enum KHOT_FLAG : uint32_t {
    KHOT_FLAG_NONE = 0,
    KHOT_FLAG_PLUG_ALL_ON_INIT = 1,        // report the devices present at registration
    KHOT_FLAG_PASS_DUPE_INSTANCE = 2,      // report an entry even when its device id was reported in this pass
    KHOT_FLAG_POST_USER_MESSAGE = 4,       // post the user message rather than send it
};

typedef void (*KHOT_PLUG_CB)(KHOT_HANDLE HotHandle, KLST_DEVINFO_HANDLE DeviceInfo, int32_t PlugEvent);
typedef void (*KHOT_POWER_BROADCAST_CB)(KHOT_HANDLE HotHandle, KLST_DEVINFO_HANDLE DeviceInfo, UINT PbtEvent);

// The registration block, zeroed by the caller before filling; copied whole
// into the handle.
struct HotK_Params {
    HWND userWindow;   // also receives a message per event; null for none
    UINT userMessage;  // below WM_USER: nothing is sent
    UINT flags;        // KHOT_FLAG
    KLST_PATTERN pattern;
    uint8_t reserved[256];
    KHOT_PLUG_CB onHotPlug;
    KHOT_POWER_BROADCAST_CB onPowerBroadcast;
    uint8_t reservedEnd[2048 - 16 - sizeof(KLST_PATTERN) - 256 - 2 * sizeof(void*)];
};
static_assert(sizeof(HotK_Params) == 2048, "HotK_Params is 2048 bytes");
static_assert(sizeof(void*) != 8 || offsetof(HotK_Params, onHotPlug) == 1040);

// Messages of the notification window.
constexpr UINT HOTK_WM_REGISTER = WM_USER + 1;
constexpr UINT HOTK_WM_UNREGISTER = WM_USER + 2;
constexpr UINT HOTK_WM_INITIAL_REPORT = WM_USER + 3;

// Timers of the notification window.
constexpr UINT_PTR HOTK_TIMER_NODES_CHANGED = 10;    // 2000 ms
constexpr UINT_PTR HOTK_TIMER_INTERFACE_CHANGE = 11;  // 1000 ms
constexpr UINT_PTR HOTK_TIMER_NAMED_REMOVAL = 12;     // 1 ms

extern const char* const HOTK_WINDOW_CLASS;      // "HotK_NotificationWindowClass"
extern const char* const HOTK_WINDOW_NAME_FORMAT;  // "HotK_NotificationWindow_%u", index 0 to 127

BOOL HotK_Init(KHOT_HANDLE* Handle, HotK_Params* Params);
BOOL HotK_Free(KHOT_HANDLE Handle);

unsigned int WINAPI HotK_ThreadMain(void* unused);
LRESULT CALLBACK HotK_WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
