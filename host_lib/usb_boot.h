// USB boot of the vision processor and the hot-plug entry of the host library.
//
// The transport back-end reports arrivals and removals of the sensor here; an
// arrival of a processor that runs already is passed on as "boot done", an
// unbooted one is booted over its boot monitor on interface 0 (when a boot
// folder was given) or reported as recovery. The boot talks to the monitor in
// strict request/response pairs (read, write, jump), loads a boot-detect
// program to learn the processor's production data and boot id, starts the
// second-stage loader, writes the application, device tree and kernel to the
// addresses the loader reports and jumps to the kernel.
//
// Everything runs on the caller's thread (the back-end's hot-plug thread or
// the driver's) and blocks it for the whole boot. The state lives in two
// dynamic slots of the current driver context; no lock is taken, since one
// boot at a time uses a context.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "runtime/usb_transport.h"

// --- hot-plug input and boot status --------------------------------------------------

enum vpu_usb_hotplug_event : int32_t {
    VPU_USB_HOTPLUG_REMOVED = 1,   // the device (one of its interfaces) went away
    VPU_USB_HOTPLUG_ARRIVED = 2,   // arrived with all its interfaces; see the booted flag
    VPU_USB_HOTPLUG_REMOVED_2 = 3, // treated as a removal
    VPU_USB_HOTPLUG_OTHER = 4,     // accepted, reported as unsupported
};

enum vpu_usb_boot_status : int32_t {
    VPU_USB_BOOT_STATUS_UNKNOWN = 0,
    VPU_USB_BOOT_STATUS_BOOT_DONE = 1,
    VPU_USB_BOOT_STATUS_BOOTING = 2,
    VPU_USB_BOOT_STATUS_RECOVERY = 3,
    VPU_USB_BOOT_STATUS_REMOVED = 4,
    VPU_USB_BOOT_STATUS_BOOT_FAILED = 5,
    VPU_USB_BOOT_STATUS_UNSUPPORTED = 6,
};

using vpu_usb_boot_status_cb = int (*)(int32_t status);

// --- results ------------------------------------------------------------------------

constexpr int VPU_USB_BOOT_OK = 0;
constexpr int VPU_USB_BOOT_ERR_DIR_TOO_LONG = 1;
constexpr int VPU_USB_BOOT_ERR_MONITOR = 7;    // a monitor request failed
constexpr int VPU_USB_BOOT_ERR_NO_FILES = 10;  // no boot folder, or the loader never became ready
constexpr int VPU_USB_BOOT_ERR_SPL_WAIT = 10;
constexpr int VPU_USB_BOOT_ERR_FILE = 11;      // boot file missing or unreadable, or unknown chip

// --- processor registers and addresses ---------------------------------------------------

constexpr uint32_t VPU_REG_CHIP_VERSION = 0x080200B4;
constexpr uint32_t VPU_REG_BOOT_STATE = 0x08020114;
constexpr uint32_t VPU_REG_SPL_HANDSHAKE = 0x08020118;
constexpr uint32_t VPU_REG_SPL_TABLE = 0x08020110;
constexpr uint32_t VPU_REG_BOOTDETECT_DONE = 0x08020108;
constexpr uint32_t VPU_ADDR_BOOTDETECT = 0x02020000;
constexpr uint32_t VPU_ADDR_PRODUCTION_MARKER = 0x02030000;
constexpr uint32_t VPU_ADDR_PRODUCTION_DATA = 0x02030004;
constexpr uint32_t VPU_ADDR_SPL = 0x01000000;

constexpr uint32_t VPU_CHIP_VPU3 = 0x30000001;
constexpr uint32_t VPU_CHIP_VPU4 = 0x40000000;
constexpr uint32_t VPU_BOOT_STATE_SPL_RUNNING = 0x87654321;
constexpr uint32_t VPU_BOOT_STATE_RECOVERY = 0x43218765;
constexpr uint32_t VPU_SPL_HANDSHAKE_HOST = 0x100;
constexpr uint32_t VPU_SPL_HANDSHAKE_READY = 0x101;
constexpr uint32_t VPU_BOOTDETECT_DONE = 2;
constexpr uint32_t VPU_PRODUCTION_MARKER_VALID = 218;

// --- boot-monitor messages ---------------------------------------------------------------

constexpr uint32_t VPU_MON_READ_REQ = 0x100;
constexpr uint32_t VPU_MON_READ_RESP = 0x103;
constexpr uint32_t VPU_MON_WRITE_REQ = 0x120;
constexpr uint32_t VPU_MON_WRITE_RESP = 0x123;
constexpr uint32_t VPU_MON_JUMP_REQ = 0x310;
constexpr uint32_t VPU_MON_JUMP_RESP = 0x313;
constexpr uint32_t VPU_MON_CHUNK = 2048;           // data bytes per request
constexpr uint32_t VPU_MON_HEADER = 12;            // code, length, address / error words
constexpr uint32_t VPU_MON_BUFFER_SIZE = 4096;     // the receive buffer of read responses
constexpr uint32_t VPU_MON_READ_REQ_SIZE = 16;
constexpr uint32_t VPU_MON_FULL_REQ_SIZE = VPU_MON_HEADER + VPU_MON_CHUNK;  // 2,060
constexpr uint8_t VPU_MON_INTERFACE = 0;

// --- production data -------------------------------------------------------------------------

constexpr uint32_t VPU_PRODUCTION_TEXT = 128;

#pragma pack(push, 1)
struct vpu_production_data {
    int32_t bootId;
    char serialNumber[VPU_PRODUCTION_TEXT];
    char manufacturer[VPU_PRODUCTION_TEXT];
    char modelNumber[VPU_PRODUCTION_TEXT];
    char hardwareRevision[VPU_PRODUCTION_TEXT];
    uint8_t reserved[143];
};
#pragma pack(pop)
static_assert(sizeof(vpu_production_data) == 659, "the production-data record is 659 bytes on the device");
static_assert(offsetof(vpu_production_data, serialNumber) == 4);
static_assert(offsetof(vpu_production_data, hardwareRevision) == 388);
static_assert(offsetof(vpu_production_data, reserved) == 516);

// --- boot state (one per driver context) ----------------------------------------------------

constexpr uint32_t VPU_BOOT_PATH_SIZE = 256;

struct vpu_usb_boot_state {
    uint32_t jump;  // load table of the second-stage loader; zero until read
    uint32_t zImage;
    uint32_t dtb;
    uint32_t app;
    vpu_usb_boot_status_cb statusCallback;
    int32_t bootIdOverride;  // -1: read the boot id from the processor
    char kernelPath[VPU_BOOT_PATH_SIZE];
    char dtbPath[VPU_BOOT_PATH_SIZE];
    char splPath[VPU_BOOT_PATH_SIZE];
    char appPath[VPU_BOOT_PATH_SIZE];
    char bootDir[VPU_BOOT_PATH_SIZE];  // empty: no boot files
};

// The boot-detect programs the host loads unchanged (device data, kept in
// their own source file).
constexpr uint32_t VPU_BOOTDETECT_VPU3_SIZE = 7452;
constexpr uint32_t VPU_BOOTDETECT_VPU4_SIZE = 460;
extern const std::array<uint8_t, VPU_BOOTDETECT_VPU3_SIZE> vpu_bootdetect_vpu3;
extern const std::array<uint8_t, VPU_BOOTDETECT_VPU4_SIZE> vpu_bootdetect_vpu4;

// --- operations -------------------------------------------------------------------------------

// Stores the callback and the override, copies the boot folder (null: none)
// and starts the USB transport. 1 for a folder of 256 characters or more.
int vpu_usb_boot_init(const char* bootDir, vpu_usb_boot_status_cb statusCallback, int32_t bootIdOverride,
                      vpu_usb_transport_params* usbParams);
int vpu_usb_boot_deinit();
// Maps an event to a boot status (booting the processor when it has to),
// reports it to the callback and returns the callback's result (0 without one).
int vpu_usb_boot_hotplug_handler(int32_t event, bool booted);
// Boots the processor from the boot folder: 0 or an error number.
int vpu_usb_boot_target();

// Boot-monitor requests on interface 0: 0 or 7.
int vpu_usb_monitor_read(uint32_t address, void* buffer, uint32_t count, uint32_t* countRead);
int vpu_usb_monitor_write(uint32_t address, const void* data, uint32_t count);
int vpu_usb_monitor_jump(uint32_t address);

int vpu_bootdetect_init(uint32_t chipVersion);
int32_t vpu_bootdetect_get_bootid(bool loaderPresent);
void bootdetect_read_production_data(vpu_production_data* record, uint32_t address, uint32_t marker);
int waitForSpl();
// A heap buffer (free() it) with the whole file, or null.
uint8_t* load_file(const char* path, uint32_t* size);

// The current context's boot state (created on first use).
vpu_usb_boot_state* vpu_usb_boot_get_state();

// How many 50 ms polls the boot-detect program gets before the host gives up.
constexpr uint32_t VPU_BOOTDETECT_MAX_POLLS = 40;
constexpr uint32_t VPU_BOOTDETECT_POLL_MS = 50;
constexpr uint32_t VPU_SPL_MAX_TRIES = 200;
