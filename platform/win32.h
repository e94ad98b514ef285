// Win32 declarations for the USB access layer.
//
// On Windows this is the system's own headers. On Linux it declares exactly the
// subset that usb_access/ calls, with Windows' LLP64 widths (DWORD and ULONG
// are 32-bit, handles and pointers 64-bit), so the same source compiles and
// behaves the same on both systems. The Linux bodies are ours
// (win32_base.cpp), written over the standard library.
//
// What lives where:
//  - here: base types, error codes, heaps, events, waits, interlocked
//    operations, SwitchToThread, Sleep, last error, debugger output, thread
//    id, module functions, GUID, the USB descriptor and WinUSB records, and
//    the TYPES (not functions) of SetupAPI, the device registry, the
//    configuration manager and device notifications;
//  - platform/win32_window.h (includes this one): the hidden window, its
//    messages and timers, and the threads that own windows;
//  - usb_access/system_api.h: every device-facing FUNCTION (device files,
//    DeviceIoControl, overlapped results, WinUSB, SetupAPI, registry,
//    configuration manager, device notifications), reached through one table.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <cfgmgr32.h>
#include <dbt.h>
#include <setupapi.h>
#include <winusb.h>
// Older MinGW-w64 headers lack this code.
#ifndef ERROR_THREAD_NOT_IN_PROCESS
#define ERROR_THREAD_NOT_IN_PROCESS 566L
#endif

#else  // Linux: our own declarations of the subset we use.

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK

// --- base types (LLP64) -------------------------------------------------------
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint8_t BOOLEAN;
typedef char CHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef int16_t SHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef int32_t INT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG64;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t DWORD_PTR;
typedef size_t SIZE_T;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef const char* LPCSTR;
typedef const char* PCSTR;
typedef char* LPSTR;
typedef char* PSTR;
typedef char* PCHAR;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef ULONG* PULONG;
typedef LONG* PLONG;
typedef UINT* PUINT;
typedef BOOL* PBOOL;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef HANDLE HKEY;
typedef HKEY* PHKEY;
typedef HANDLE HDEVINFO;
typedef HANDLE HDEVNOTIFY;
// Windows' own window handle type; the window functions that take it are
// declared in platform/win32_window.h.
typedef struct HWND__* HWND;
typedef DWORD REGSAM;
typedef DWORD DEVINST;
typedef DWORD* PDEVINST;
typedef DWORD CONFIGRET;
typedef LONG LSTATUS;
typedef intptr_t(WINAPI* FARPROC)();

static_assert(sizeof(DWORD) == 4 && sizeof(ULONG) == 4 && sizeof(LONG) == 4, "LLP64: 32-bit DWORD, ULONG, LONG");
static_assert(sizeof(HANDLE) == 8 && sizeof(ULONG_PTR) == 8, "64-bit handles and pointer-sized integers");

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260

// --- error codes ----------------------------------------------------------------
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_BAD_COMMAND 22L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_OUT_OF_STRUCTURES 84L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_TOO_MANY_MODULES 214L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_THREAD_NOT_IN_PROCESS 566L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NOT_FOUND 1168L
#define ERROR_EMPTY 4306L
#define ERROR_RESOURCE_NOT_AVAILABLE 5006L
#define ERROR_RESOURCE_NOT_FOUND 5007L

// --- heaps ------------------------------------------------------------------------
#define HEAP_NO_SERIALIZE 0x00000001u
#define HEAP_GENERATE_EXCEPTIONS 0x00000004u
#define HEAP_ZERO_MEMORY 0x00000008u

HANDLE WINAPI GetProcessHeap();
HANDLE WINAPI HeapCreate(DWORD flOptions, SIZE_T dwInitialSize, SIZE_T dwMaximumSize);
BOOL WINAPI HeapDestroy(HANDLE hHeap);
LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);

// --- events, waits, handles ----------------------------------------------------------
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
// Closes a kernel object of this process (events here; threads and others
// where their header adds them). Device files are closed through the
// device-facing table of usb_access/system_api.h.
BOOL WINAPI CloseHandle(HANDLE hObject);

// --- overlapped I/O record ---------------------------------------------------------------
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
static_assert(sizeof(OVERLAPPED) == 32, "OVERLAPPED is 32 bytes on 64-bit Windows");

// --- threads, timing, last error, debugger ------------------------------------------------
BOOL WINAPI SwitchToThread();
void WINAPI Sleep(DWORD dwMilliseconds);
DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD dwErrCode);
void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
DWORD WINAPI GetCurrentThreadId();

// --- modules ---------------------------------------------------------------------------------
// Only from the system folder (System32), never beside the program.
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

// --- interlocked operations (full barriers, as on Windows) ---------------------------------
inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedIncrement(LONG volatile* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

// --- GUID ------------------------------------------------------------------------------------
typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

// --- device access and I/O control ----------------------------------------------------------
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define FILE_DEVICE_UNKNOWN 0x00000022u
#define METHOD_BUFFERED 0u
#define METHOD_IN_DIRECT 1u
#define METHOD_OUT_DIRECT 2u
#define FILE_ANY_ACCESS 0u
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

// --- USB descriptors (packed, as on the wire) --------------------------------------------------
#define USB_DEVICE_DESCRIPTOR_TYPE 0x01
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 0x02
#define USB_STRING_DESCRIPTOR_TYPE 0x03
#define USB_INTERFACE_DESCRIPTOR_TYPE 0x04
#define USB_ENDPOINT_DESCRIPTOR_TYPE 0x05

#pragma pack(push, 1)
typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;

typedef struct _WINUSB_SETUP_PACKET {
    UCHAR RequestType;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Length;
} WINUSB_SETUP_PACKET, *PWINUSB_SETUP_PACKET;
#pragma pack(pop)
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18 && sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9 && sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(WINUSB_SETUP_PACKET) == 8);

// --- WinUSB records ---------------------------------------------------------------------------
typedef PVOID WINUSB_INTERFACE_HANDLE, *PWINUSB_INTERFACE_HANDLE;

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl,
    UsbdPipeTypeIsochronous,
    UsbdPipeTypeBulk,
    UsbdPipeTypeInterrupt
} USBD_PIPE_TYPE;

typedef struct _WINUSB_PIPE_INFORMATION {
    USBD_PIPE_TYPE PipeType;
    UCHAR PipeId;
    USHORT MaximumPacketSize;
    UCHAR Interval;
} WINUSB_PIPE_INFORMATION, *PWINUSB_PIPE_INFORMATION;

// Pipe and power policy types.
#define SHORT_PACKET_TERMINATE 0x01
#define AUTO_CLEAR_STALL 0x02
#define PIPE_TRANSFER_TIMEOUT 0x03
#define IGNORE_SHORT_PACKETS 0x04
#define ALLOW_PARTIAL_READS 0x05
#define AUTO_FLUSH 0x06
#define RAW_IO 0x07
#define MAXIMUM_TRANSFER_SIZE 0x08
#define RESET_PIPE_ON_RESUME 0x09
#define AUTO_SUSPEND 0x81
#define SUSPEND_DELAY 0x83
#define DEVICE_SPEED 0x01

// --- SetupAPI types and constants ------------------------------------------------------------
#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u

#define SPINT_ACTIVE 0x00000001u
#define SPINT_DEFAULT 0x00000002u
#define SPINT_REMOVED 0x00000004u

#define SPDRP_DEVICEDESC 0x00000000u
#define SPDRP_HARDWAREID 0x00000001u
#define SPDRP_SERVICE 0x00000004u
#define SPDRP_CLASSGUID 0x00000008u
#define SPDRP_MFG 0x0000000Bu
#define SPDRP_BUSNUMBER 0x00000015u
#define SPDRP_ADDRESS 0x0000001Cu

#define DICS_FLAG_GLOBAL 0x00000001u
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002u
#define DIREG_DEV 0x00000001u
#define DIREG_DRV 0x00000002u

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;
static_assert(sizeof(SP_DEVINFO_DATA) == 32 && sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "cbSize of the detail record on 64-bit Windows");

// --- registry ----------------------------------------------------------------------------------
#define KEY_QUERY_VALUE 0x0001u
#define KEY_READ 0x20019u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

// --- configuration manager ---------------------------------------------------------------------
#define CR_SUCCESS 0x00000000u
#define CR_NO_SUCH_DEVNODE 0x0000000Du
#define CR_BUFFER_SMALL 0x0000001Au
#define MAX_DEVICE_ID_LEN 200

// --- device notifications ------------------------------------------------------------------------
#define DBT_DEVNODES_CHANGED 0x0007u
#define DBT_DEVICEARRIVAL 0x8000u
#define DBT_DEVICEREMOVECOMPLETE 0x8004u
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005u
#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000u

typedef struct _DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
} DEV_BROADCAST_HDR, *PDEV_BROADCAST_HDR;

typedef struct _DEV_BROADCAST_DEVICEINTERFACE_A {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    char dbcc_name[1];
} DEV_BROADCAST_DEVICEINTERFACE_A, *PDEV_BROADCAST_DEVICEINTERFACE_A;
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32, "the filter size device notifications are registered with");

#endif  // _WIN32
