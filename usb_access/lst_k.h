// Device list: the USB device interfaces the system knows, one KLST_DEVINFO
// each, found through SetupAPI, the device registry and the configuration
// manager (all reached through the device-facing table of system_api.h).
//
// A list can be limited by a pattern of three wildcard texts, and
// synchronised with a fresh enumeration: each entry is then marked unchanged
// (1), arrived (2) or removed (4), plus 8 when its connected state changed
// while it stayed in the list. Entries are never dropped by a
// synchronisation; a device that goes away stays with `connected` 0 and
// comes back under the same symbolic link. The hot-plug monitor is built on
// that.
//
// Every operation returns TRUE on success, or FALSE with the thread's last
// error: 87 for a null argument, 6 for a handle outside its pool, 5006 for a
// handle being freed, 5 for an entry that belongs to another list (or to
// none, when detaching), 259 past the last entry, 4306 on an empty list.
#pragma once

#include "platform/win32.h"
#include "usb_access/allk.h"
#include "usb_access/usbk_api.h"

typedef LstK_Handle* KLST_HANDLE;

// List flags: bit 1 lists devices that are not connected too.
enum KLST_FLAG : uint32_t {
    KLST_FLAG_NONE = 0,
    KLST_FLAG_INCLUDE_DISCONNECT = 2,
};

// Sync flags of KLST_DEVINFO.
enum KLST_SYNC_FLAG : int32_t {
    KLST_SYNC_FLAG_NONE = 0,
    KLST_SYNC_FLAG_UNCHANGED = 1,
    KLST_SYNC_FLAG_ADDED = 2,
    KLST_SYNC_FLAG_REMOVED = 4,
    KLST_SYNC_FLAG_CONNECT_CHANGE = 8,
    KLST_SYNC_FLAG_MASK = 15,
};

// The list pattern: three wildcard texts, an empty one matches everything.
struct KLST_PATTERN {
    char deviceIdPattern[256];       // against deviceId
    char interfaceGuidPattern[256];  // against interfaceGuid
    char classGuidPattern[256];      // against classGuid
};
static_assert(sizeof(KLST_PATTERN) == 768);

// The interface class under which libusb0 filter devices are listed.
extern const char* const LSTK_LIBUSB0_FILTER_GUID;

typedef BOOL (*KLST_ENUM_DEVINFO_CB)(KLST_HANDLE DeviceList, KLST_DEVINFO_HANDLE DeviceInfo, PVOID Context);

BOOL LstK_InitEx(KLST_HANDLE* DeviceList, uint32_t Flags, const KLST_PATTERN* Pattern, HANDLE Heap);
BOOL LstK_Init(KLST_HANDLE* DeviceList, uint32_t Flags);
BOOL LstK_Free(KLST_HANDLE DeviceList);
BOOL LstK_Count(KLST_HANDLE DeviceList, UINT* Count);
BOOL LstK_MoveNext(KLST_HANDLE DeviceList, KLST_DEVINFO_HANDLE* DeviceInfo);
BOOL LstK_Enumerate(KLST_HANDLE DeviceList, KLST_ENUM_DEVINFO_CB EnumDevListCB, PVOID Context);
BOOL LstK_Sync(KLST_HANDLE MasterList, const KLST_PATTERN* Pattern, HANDLE Heap);
BOOL LstK_DetachInfo(KLST_HANDLE DeviceList, KLST_DEVINFO_HANDLE DeviceInfo);
BOOL LstK_AttachInfo(KLST_HANDLE DeviceList, KLST_DEVINFO_HANDLE DeviceInfo);
