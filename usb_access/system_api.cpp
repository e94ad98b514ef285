// The default device-facing table, and the switch to another one.
#include "usb_access/system_api.h"

#include <atomic>

namespace {

#ifdef _WIN32

// The system's own functions.
const UsbAccessSystemApi kDefault = {
    ::CreateFileA,
    ::DeviceIoControl,
    ::GetOverlappedResult,
    ::CancelIoEx,
    ::CloseHandle,
    ::LoadLibraryExA,
    ::GetProcAddress,
    ::SetupDiGetClassDevsA,
    ::SetupDiEnumDeviceInfo,
    ::SetupDiEnumDeviceInterfaces,
    ::SetupDiGetDeviceInterfaceDetailA,
    ::SetupDiGetDeviceRegistryPropertyA,
    ::SetupDiGetDeviceInstanceIdA,
    ::SetupDiOpenDevRegKey,
    ::SetupDiOpenDeviceInterfaceRegKey,
    ::SetupDiDestroyDeviceInfoList,
    ::RegQueryValueExA,
    ::RegCloseKey,
    ::CM_Get_Parent,
    ::CM_Get_Device_IDA,
    ::RegisterDeviceNotificationA,
    ::UnregisterDeviceNotification,
};

#else

// A system without a USB stack: no device file opens, no device is listed,
// no device library loads. The simulated stack replaces this table.
HANDLE WINAPI noCreateFile(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}
BOOL WINAPI noDeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL WINAPI noOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL WINAPI noCancelIoEx(HANDLE, LPOVERLAPPED) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL WINAPI noCloseDevice(HANDLE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
HMODULE WINAPI noDeviceLibrary(LPCSTR name, HANDLE, DWORD) {
    // The process's own modules still load; device libraries do not exist.
    return ::GetModuleHandleA(name);
}
HDEVINFO WINAPI noClassDevs(const GUID*, PCSTR, HWND, DWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
}
BOOL WINAPI noEnumDeviceInfo(HDEVINFO, DWORD, PSP_DEVINFO_DATA) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}
BOOL WINAPI noEnumInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}
BOOL WINAPI noInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                              PSP_DEVINFO_DATA) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL WINAPI noRegistryProperty(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL WINAPI noInstanceId(HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD, PDWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
HKEY WINAPI noDevRegKey(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
}
HKEY WINAPI noInterfaceRegKey(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, DWORD, REGSAM) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
}
BOOL WINAPI noDestroyList(HDEVINFO) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
LSTATUS WINAPI noQueryValue(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_INVALID_HANDLE; }
LSTATUS WINAPI noCloseKey(HKEY) { return ERROR_INVALID_HANDLE; }
CONFIGRET WINAPI noParent(PDEVINST, DEVINST, ULONG) { return CR_NO_SUCH_DEVNODE; }
CONFIGRET WINAPI noDeviceId(DEVINST, PCHAR, ULONG, ULONG) { return CR_NO_SUCH_DEVNODE; }
HDEVNOTIFY WINAPI noRegisterNotification(HANDLE, LPVOID, DWORD) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}
BOOL WINAPI noUnregisterNotification(HDEVNOTIFY) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

const UsbAccessSystemApi kDefault = {
    noCreateFile,       noDeviceIoControl,  noOverlappedResult,  noCancelIoEx,
    noCloseDevice,      noDeviceLibrary,    ::GetProcAddress,    noClassDevs,
    noEnumDeviceInfo,   noEnumInterfaces,   noInterfaceDetail,   noRegistryProperty,
    noInstanceId,       noDevRegKey,        noInterfaceRegKey,   noDestroyList,
    noQueryValue,       noCloseKey,         noParent,            noDeviceId,
    noRegisterNotification, noUnregisterNotification,
};

#endif

std::atomic<const UsbAccessSystemApi*> installed{nullptr};

}  // namespace

const UsbAccessSystemApi& UsbAccess_DefaultSystemApi() { return kDefault; }

const UsbAccessSystemApi& UsbAccess_SystemApi() {
    const UsbAccessSystemApi* api = installed.load(std::memory_order_acquire);
    return api != nullptr ? *api : kDefault;
}

void UsbAccess_SetSystemApi(const UsbAccessSystemApi* api) { installed.store(api, std::memory_order_release); }
