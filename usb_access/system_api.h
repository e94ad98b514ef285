// The device-facing side of the USB access library: every Win32 call that
// reaches a device or the system's device database goes through this one
// table, so that the library runs unchanged on the real system and on the
// simulated Windows USB stack (sim/win_usb/). Nothing else in the library
// knows which one it talks to.
//
// Who owns what in usb_access/:
//  - system_api.{h,cpp}: this table; on Windows its defaults are the system's
//    functions, elsewhere it holds "no such device" entries until a stack is
//    installed with UsbAccess_SetSystemApi.
//  - allk.{h,cpp}: the process-wide context and handle pools (AllK, UsbK_*
//    handle operations, the debug print).
//  - usbk_api.h: the records of the library's interface (KLST_DEVINFO,
//    KUSB_DRIVER_API, pipe information) and the driver-table loaders.
//  - usbk_device.{h,cpp}: the driver table loader, the common device opening,
//    the descriptor tree, the common operations and the request routines.
//  - usbk_kernel.cpp: the libusbK/libusb0 kernel-driver back-end.
//  - usbk_winusb.cpp: the WinUSB back-end.
//  - lst_*, hot_*, and the transport back-end: the device list, the hot-plug
//    monitor and the host library's transport (their own owner).
//
// Calls that are not device-facing (heaps, events, waits, interlocked
// operations, last error, debugger output, module handles of the process)
// are made directly, declared by platform/win32.h.
//
// The module functions in the table load and search the libraries that the
// library loads at run time: "winusb.dll" (the WinUSB functions, found by
// name as LoadWinUsbLibrary does), "cfgmgr32" (CM_Get_Parent and
// CM_Get_Device_IDA, found by name when the context is created) and
// "wintrust" (kept only). All of them come from the system folder only. The
// two configuration-manager entries are also in the table itself, so that a
// simulated stack can provide them.
#pragma once

#include "platform/win32.h"

struct UsbAccessSystemApi {
    // --- device files and their I/O ---
    HANDLE(WINAPI* CreateFileA)
    (LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
    BOOL(WINAPI* DeviceIoControl)
    (HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
    BOOL(WINAPI* GetOverlappedResult)
    (HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
    BOOL(WINAPI* CancelIoEx)(HANDLE hFile, LPOVERLAPPED lpOverlapped);
    BOOL(WINAPI* CloseHandle)(HANDLE hObject);

    // --- the libraries the library loads (winusb.dll, cfgmgr32, wintrust) ---
    // Called with LOAD_LIBRARY_SEARCH_SYSTEM32 and no file: a bare name would
    // first find a file of that name beside the program.
    HMODULE(WINAPI* LoadLibraryExA)(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
    FARPROC(WINAPI* GetProcAddress)(HMODULE hModule, LPCSTR lpProcName);

    // --- SetupAPI ---
    HDEVINFO(WINAPI* SetupDiGetClassDevsA)(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
    BOOL(WINAPI* SetupDiEnumDeviceInfo)(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData);
    BOOL(WINAPI* SetupDiEnumDeviceInterfaces)
    (HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const GUID* InterfaceClassGuid, DWORD MemberIndex,
     PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
    BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailA)
    (HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
     PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData, DWORD DeviceInterfaceDetailDataSize,
     PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
    BOOL(WINAPI* SetupDiGetDeviceRegistryPropertyA)
    (HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property, PDWORD PropertyRegDataType,
     PBYTE PropertyBuffer, DWORD PropertyBufferSize, PDWORD RequiredSize);
    BOOL(WINAPI* SetupDiGetDeviceInstanceIdA)
    (HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
     PDWORD RequiredSize);
    HKEY(WINAPI* SetupDiOpenDevRegKey)
    (HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD HwProfile, DWORD KeyType,
     REGSAM samDesired);
    HKEY(WINAPI* SetupDiOpenDeviceInterfaceRegKey)
    (HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData, DWORD Reserved, REGSAM samDesired);
    BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO DeviceInfoSet);

    // --- device registry ---
    LSTATUS(WINAPI* RegQueryValueExA)
    (HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
    LSTATUS(WINAPI* RegCloseKey)(HKEY hKey);

    // --- configuration manager ---
    CONFIGRET(WINAPI* CM_Get_Parent)(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
    CONFIGRET(WINAPI* CM_Get_Device_IDA)(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen, ULONG ulFlags);

    // --- device notifications ---
    HDEVNOTIFY(WINAPI* RegisterDeviceNotificationA)(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags);
    BOOL(WINAPI* UnregisterDeviceNotification)(HDEVNOTIFY Handle);
};

// The table in force. Never null.
const UsbAccessSystemApi& UsbAccess_SystemApi();
// Installs another table (null: back to the default). The table must outlive
// its use; install it before the first library call and swap it only while
// no library call runs (tests between cases).
void UsbAccess_SetSystemApi(const UsbAccessSystemApi* api);
// The default table: the system's functions on Windows; elsewhere entries
// that find no device and no library.
const UsbAccessSystemApi& UsbAccess_DefaultSystemApi();
