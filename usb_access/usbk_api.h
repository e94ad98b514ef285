// The interface of the USB access library: the device record that a device
// list produces, the driver API table of 34 operations, and the loaders that
// fill the table for the driver that serves a device.
//
// A user loads the table for the `driverId` of the device's KLST_DEVINFO,
// opens the device with the table's Init and calls the other operations with
// the interface handle that Init returned. Every operation returns TRUE on
// success; on failure FALSE with the reason as the thread's last error.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

// --- device record (one per device interface, filled by the device list) ---------
struct KLST_DEVINFO {
    int32_t vendorId;         // -1 when none
    int32_t productId;        // -1 when none
    int32_t interfaceNumber;  // "MI" value, -1 when none
    char instancePart[256];
    int32_t driverId;  // KUSB_DRVID
    char interfaceGuid[256];
    char deviceId[256];
    char classGuid[256];
    char manufacturer[256];
    char deviceDescription[256];
    char service[256];
    char symbolicLink[256];
    char devicePath[256];  // what Init opens
    int32_t filterIndex;
    int32_t connected;
    int32_t syncFlags;
    int32_t busNumber;
    int32_t deviceAddress;
    char serialNumber[256];
};
typedef KLST_DEVINFO* KLST_DEVINFO_HANDLE;
static_assert(sizeof(KLST_DEVINFO) == 2596, "KLST_DEVINFO is 2596 bytes");

// Driver ids.
enum KUSB_DRVID : int32_t {
    KUSB_DRVID_LIBUSBK = 0,
    KUSB_DRVID_LIBUSB0 = 1,
    KUSB_DRVID_WINUSB = 2,
    KUSB_DRVID_LIBUSB0_FILTER = 3,
};

// Function ids: the slot of each operation in KUSB_DRIVER_API.
enum KUSB_FNID : int32_t {
    KUSB_FNID_Init,
    KUSB_FNID_Free,
    KUSB_FNID_ClaimInterface,
    KUSB_FNID_ReleaseInterface,
    KUSB_FNID_SetInterfaceAltSetting,
    KUSB_FNID_GetInterfaceAltSetting,
    KUSB_FNID_GetDescriptor,
    KUSB_FNID_ControlTransfer,
    KUSB_FNID_SetPowerPolicy,
    KUSB_FNID_GetPowerPolicy,
    KUSB_FNID_SetConfiguration,
    KUSB_FNID_GetConfiguration,
    KUSB_FNID_ResetDevice,
    KUSB_FNID_Initialize,
    KUSB_FNID_SelectInterface,
    KUSB_FNID_GetAssociatedInterface,
    KUSB_FNID_Clone,
    KUSB_FNID_QueryInterfaceSettings,
    KUSB_FNID_QueryDeviceInformation,
    KUSB_FNID_SetAltInterface,
    KUSB_FNID_GetAltInterface,
    KUSB_FNID_QueryPipe,
    KUSB_FNID_SetPipePolicy,
    KUSB_FNID_GetPipePolicy,
    KUSB_FNID_ReadPipe,
    KUSB_FNID_WritePipe,
    KUSB_FNID_ResetPipe,
    KUSB_FNID_AbortPipe,
    KUSB_FNID_FlushPipe,
    KUSB_FNID_IsoReadPipe,
    KUSB_FNID_IsoWritePipe,
    KUSB_FNID_GetCurrentFrameNumber,
    KUSB_FNID_GetOverlappedResult,
    KUSB_FNID_GetProperty,
    KUSB_FNID_COUNT
};

// An interface handle: a slot of the library's UsbK pool.
typedef void* KUSB_HANDLE;

// Property ids of GetProperty.
enum KUSB_PROPERTY : uint32_t {
    KUSB_PROPERTY_DEVICE_FILE_HANDLE = 0,
};

// The isochronous context a caller may pass to IsoReadPipe/IsoWritePipe: a
// 16-byte header (packet count at byte 10) and 8 bytes per packet.
struct KISO_PACKET {
    uint32_t Offset;
    uint16_t Length;
    uint16_t Status;
};
struct KISO_CONTEXT {
    uint32_t Flags;
    uint32_t StartFrame;
    int16_t ErrorCount;
    int16_t NumberOfPackets;
    uint32_t UrbHdrStatus;
    KISO_PACKET IsoPackets[1];
};
static_assert(sizeof(KISO_PACKET) == 8 && offsetof(KISO_CONTEXT, NumberOfPackets) == 10 &&
              offsetof(KISO_CONTEXT, IsoPackets) == 16);

// --- the operations, in slot order ----------------------------------------------
typedef BOOL(WINAPI* KUSB_Init)(KUSB_HANDLE* InterfaceHandle, KLST_DEVINFO_HANDLE DevInfo);
typedef BOOL(WINAPI* KUSB_Free)(KUSB_HANDLE InterfaceHandle);
typedef BOOL(WINAPI* KUSB_ClaimInterface)(KUSB_HANDLE InterfaceHandle, UCHAR NumberOrIndex, BOOL IsIndex);
typedef BOOL(WINAPI* KUSB_ReleaseInterface)(KUSB_HANDLE InterfaceHandle, UCHAR NumberOrIndex, BOOL IsIndex);
typedef BOOL(WINAPI* KUSB_SetInterfaceAltSetting)(KUSB_HANDLE InterfaceHandle, UCHAR NumberOrIndex, BOOL IsIndex,
                                                  UCHAR AltSettingNumber);
typedef BOOL(WINAPI* KUSB_GetInterfaceAltSetting)(KUSB_HANDLE InterfaceHandle, UCHAR NumberOrIndex, BOOL IsIndex,
                                                  PUCHAR AltSettingNumber);
typedef BOOL(WINAPI* KUSB_GetDescriptor)(KUSB_HANDLE InterfaceHandle, UCHAR DescriptorType, UCHAR Index,
                                         USHORT LanguageID, PUCHAR Buffer, UINT BufferLength,
                                         PUINT LengthTransferred);
typedef BOOL(WINAPI* KUSB_ControlTransfer)(KUSB_HANDLE InterfaceHandle, WINUSB_SETUP_PACKET SetupPacket, PUCHAR Buffer,
                                           UINT BufferLength, PUINT LengthTransferred, LPOVERLAPPED Overlapped);
typedef BOOL(WINAPI* KUSB_SetPowerPolicy)(KUSB_HANDLE InterfaceHandle, UINT PolicyType, UINT ValueLength, PVOID Value);
typedef BOOL(WINAPI* KUSB_GetPowerPolicy)(KUSB_HANDLE InterfaceHandle, UINT PolicyType, PUINT ValueLength,
                                          PVOID Value);
typedef BOOL(WINAPI* KUSB_SetConfiguration)(KUSB_HANDLE InterfaceHandle, UCHAR ConfigurationNumber);
typedef BOOL(WINAPI* KUSB_GetConfiguration)(KUSB_HANDLE InterfaceHandle, PUCHAR ConfigurationNumber);
typedef BOOL(WINAPI* KUSB_ResetDevice)(KUSB_HANDLE InterfaceHandle);
typedef BOOL(WINAPI* KUSB_Initialize)(HANDLE DeviceHandle, KUSB_HANDLE* InterfaceHandle);
typedef BOOL(WINAPI* KUSB_SelectInterface)(KUSB_HANDLE InterfaceHandle, UCHAR NumberOrIndex, BOOL IsIndex);
typedef BOOL(WINAPI* KUSB_GetAssociatedInterface)(KUSB_HANDLE InterfaceHandle, UCHAR AssociatedInterfaceIndex,
                                                  KUSB_HANDLE* AssociatedInterfaceHandle);
typedef BOOL(WINAPI* KUSB_Clone)(KUSB_HANDLE InterfaceHandle, KUSB_HANDLE* DstInterfaceHandle);
typedef BOOL(WINAPI* KUSB_QueryInterfaceSettings)(KUSB_HANDLE InterfaceHandle, UCHAR AltSettingIndex,
                                                  PUSB_INTERFACE_DESCRIPTOR UsbAltInterfaceDescriptor);
typedef BOOL(WINAPI* KUSB_QueryDeviceInformation)(KUSB_HANDLE InterfaceHandle, UINT InformationType,
                                                  PUINT BufferLength, PVOID Buffer);
typedef BOOL(WINAPI* KUSB_SetAltInterface)(KUSB_HANDLE InterfaceHandle, UCHAR AltSettingNumber);
typedef BOOL(WINAPI* KUSB_GetAltInterface)(KUSB_HANDLE InterfaceHandle, PUCHAR AltSettingNumber);
typedef BOOL(WINAPI* KUSB_QueryPipe)(KUSB_HANDLE InterfaceHandle, UCHAR AltSettingNumber, UCHAR PipeIndex,
                                     PWINUSB_PIPE_INFORMATION PipeInformation);
typedef BOOL(WINAPI* KUSB_SetPipePolicy)(KUSB_HANDLE InterfaceHandle, UCHAR PipeID, UINT PolicyType, UINT ValueLength,
                                         PVOID Value);
typedef BOOL(WINAPI* KUSB_GetPipePolicy)(KUSB_HANDLE InterfaceHandle, UCHAR PipeID, UINT PolicyType,
                                         PUINT ValueLength, PVOID Value);
typedef BOOL(WINAPI* KUSB_ReadPipe)(KUSB_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer, UINT BufferLength,
                                    PUINT LengthTransferred, LPOVERLAPPED Overlapped);
typedef BOOL(WINAPI* KUSB_WritePipe)(KUSB_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer, UINT BufferLength,
                                     PUINT LengthTransferred, LPOVERLAPPED Overlapped);
typedef BOOL(WINAPI* KUSB_ResetPipe)(KUSB_HANDLE InterfaceHandle, UCHAR PipeID);
typedef BOOL(WINAPI* KUSB_AbortPipe)(KUSB_HANDLE InterfaceHandle, UCHAR PipeID);
typedef BOOL(WINAPI* KUSB_FlushPipe)(KUSB_HANDLE InterfaceHandle, UCHAR PipeID);
typedef BOOL(WINAPI* KUSB_IsoReadPipe)(KUSB_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer, UINT BufferLength,
                                       LPOVERLAPPED Overlapped, KISO_CONTEXT* IsoContext);
typedef BOOL(WINAPI* KUSB_IsoWritePipe)(KUSB_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer, UINT BufferLength,
                                        LPOVERLAPPED Overlapped, KISO_CONTEXT* IsoContext);
typedef BOOL(WINAPI* KUSB_GetCurrentFrameNumber)(KUSB_HANDLE InterfaceHandle, PUINT FrameNumber);
typedef BOOL(WINAPI* KUSB_GetOverlappedResult)(KUSB_HANDLE InterfaceHandle, LPOVERLAPPED Overlapped,
                                               PUINT lpNumberOfBytesTransferred, BOOL bWait);
typedef BOOL(WINAPI* KUSB_GetProperty)(KUSB_HANDLE InterfaceHandle, UINT PropertyId, PUINT PropertySize,
                                       PVOID Value);

// The driver API table, 512 bytes, filled by LibK_LoadDriverApi.
struct KUSB_DRIVER_API {
    int32_t DriverId;
    int32_t FunctionCount;  // slots that hold a real implementation
    KUSB_Init Init;
    KUSB_Free Free;
    KUSB_ClaimInterface ClaimInterface;
    KUSB_ReleaseInterface ReleaseInterface;
    KUSB_SetInterfaceAltSetting SetInterfaceAltSetting;
    KUSB_GetInterfaceAltSetting GetInterfaceAltSetting;
    KUSB_GetDescriptor GetDescriptor;
    KUSB_ControlTransfer ControlTransfer;
    KUSB_SetPowerPolicy SetPowerPolicy;
    KUSB_GetPowerPolicy GetPowerPolicy;
    KUSB_SetConfiguration SetConfiguration;
    KUSB_GetConfiguration GetConfiguration;
    KUSB_ResetDevice ResetDevice;
    KUSB_Initialize Initialize;
    KUSB_SelectInterface SelectInterface;
    KUSB_GetAssociatedInterface GetAssociatedInterface;
    KUSB_Clone Clone;
    KUSB_QueryInterfaceSettings QueryInterfaceSettings;
    KUSB_QueryDeviceInformation QueryDeviceInformation;
    KUSB_SetAltInterface SetAltInterface;
    KUSB_GetAltInterface GetAltInterface;
    KUSB_QueryPipe QueryPipe;
    KUSB_SetPipePolicy SetPipePolicy;
    KUSB_GetPipePolicy GetPipePolicy;
    KUSB_ReadPipe ReadPipe;
    KUSB_WritePipe WritePipe;
    KUSB_ResetPipe ResetPipe;
    KUSB_AbortPipe AbortPipe;
    KUSB_FlushPipe FlushPipe;
    KUSB_IsoReadPipe IsoReadPipe;
    KUSB_IsoWritePipe IsoWritePipe;
    KUSB_GetCurrentFrameNumber GetCurrentFrameNumber;
    KUSB_GetOverlappedResult GetOverlappedResult;
    KUSB_GetProperty GetProperty;
    uint8_t z_reserved[512 - 8 - 34 * sizeof(void*)];
};
static_assert(sizeof(KUSB_DRIVER_API) == 512, "KUSB_DRIVER_API is 512 bytes");
static_assert(offsetof(KUSB_DRIVER_API, Init) == 8 && offsetof(KUSB_DRIVER_API, GetProperty) == 8 + 33 * 8,
              "34 slots in function-id order after the two counts");

// A slot's implementation, as LibK_GetProcAddress hands it out.
typedef void(WINAPI* KPROC)();

// Fills the table for a driver id; returns FunctionCount (0 on failure).
int32_t LibK_LoadDriverApi(KUSB_DRIVER_API* DriverAPI, int32_t DriverID);
// One slot's implementation for a driver id; FALSE (ERROR_NOT_SUPPORTED) with
// the not-supported stub in *ProcAddress when the driver does not offer it.
BOOL LibK_GetProcAddress(KPROC* ProcAddress, int32_t DriverID, int32_t FunctionID);
