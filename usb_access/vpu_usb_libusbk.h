// The host library's USB transport on the USB access library: the back-end
// table the transport front end calls when no override is installed.
//
// vpu_usb_libusbk_init starts the hot-plug monitor for the sensor's vendor
// id. The monitor reports each interface of the sensor to OnHotPlug on its
// own thread; OnHotPlug maps the interface by its device description to an
// index (0 control, 1 infrared, 2 depth, 3 visible, 4 client), opens it,
// selects its alternate setting, records its two bulk pipes and, once all of
// the device's interfaces are open (five when its processor runs, one when
// it does not), tells the boot layer that the device arrived. Removals are
// told interface by interface. Reads and writes by index go to the recorded
// pipes.
//
// Sensor choice: with a serial filter only that sensor is used; without one,
// the first sensor seen is used until one of its interfaces goes away, and
// every interface of another sensor is skipped, its removal as well as its
// arrival.
//
// Concurrency and shutdown order (written down once, here):
//  - interfaceMap is guarded by a mutex held only for lookups, inserts and
//    erases. Each entry is shared: a transfer holds the entry and counts
//    itself as a user of the interface's handle while the transfer runs;
//    no lock is held across a transfer or across the call into the boot
//    layer.
//  - Closing an interface (front-end close, removal, deinit) marks it
//    closing, so that no transfer starts on it, aborts its pipes until every
//    transfer using the handle has ended with an error, and only then frees
//    the handle. A read pending on a silent interface therefore ends within
//    one abort round (kAbortRound), not never.
//  - Reads never ask a driver for part of a USB packet (libusb0 fails such a
//    read and loses the packet; libusbK and WinUSB keep or drop the rest by
//    pipe policy), nor for more than the caller still wants rounded up to
//    one packet: a driver's read completes only when its buffer is full or
//    a short or zero-length packet comes, and a device need not send a
//    zero-length packet after whole ones, so a longer request could wait for
//    a transfer that never comes. A read takes its whole packets straight
//    into the caller's buffer and a rest of less than a packet as one packet
//    into the interface's read-ahead buffer, which keeps what that packet
//    brought beyond the caller's want for the next read. A read ends, as a
//    driver's does, when the buffer is full or a device transfer has ended.
//    What a driver says it moved is delivered, a failed read's too; a
//    failure after delivered bytes is returned by the next read, once.
//    Reads of one interface take a lock of their own for their length (each
//    interface has one reading thread, so it is never contended); a close
//    drops what was read ahead and a failure not yet returned.
//  - OnHotPlug runs on the monitor's thread and may run a whole boot there;
//    the driver's hot-plug handler waits there for the driver's cleanup,
//    and the driver's shutdown cleanup is what calls vpu_usb_libusbk_deinit.
//    So deinit first stops new events from reaching the boot layer, then
//    waits at most kStopBound (10 s) for an arrival in flight (a bring-up
//    still talking to the device). When no call is in flight any more, the
//    monitor is stopped at once (HotK_Free returns once its window and
//    thread are gone) and the remaining interfaces are closed. When a
//    removal is in flight (it may be waiting for the very cleanup that runs
//    deinit), or an arrival outlasts the bound (logged as a warning), the
//    stop is handed to a stopper thread that does the same as soon as the
//    call returns, and deinit returns. "HotK monitor closed successfully!" is logged only once
//    HotK_Free has succeeded; until then the monitor stays recorded, and a
//    failed stop leaves it so (logged as an error): the next init is refused
//    as dirty, and vpu_usb_libusbk_waitStopped answers false.
//    The stopper is joined by the next init, or by a wait for the stop once
//    it has done its work; one caller at a time joins or replaces it.
//    A deinit made from inside the boot layer's call, on the monitor's
//    thread, waits for nothing: the stop runs when that call returns, unless
//    an init from the same call wants the monitor back first; that init runs
//    the stop at once and starts the monitor anew (on its own thread the
//    monitor calls its stop off for the new registration). Such an init
//    never waits for a stopper either, which waits for this very call: the
//    monitor it still has to stop makes the start dirty.
//  - The driver context of the thread that calls init is kept until the
//    monitor has stopped: OnHotPlug and the stopper run in it, since the
//    monitor's thread has no context of the client's own.
//  - An interface that cannot be opened is logged with the failing step and
//    its error and keeps its entry until its removal: its sensor is not
//    reported complete, and it is not tried again until it is plugged in
//    anew. Its removal is reported like any other, which also lets the next
//    sensor be chosen.
#pragma once

#include <cstdint>

#include "runtime/usb_transport.h"
#include "usb_access/hot_k.h"
#include "usb_access/usbk_api.h"

// The sensor's USB identity and the vendor prefix of its interface names.
constexpr uint16_t VPU_USB_SENSOR_VENDOR_ID = 0xF3A7;
constexpr uint16_t VPU_USB_SENSOR_PRODUCT_ID = 0x0D51;
extern const char* const VPU_USB_INTERFACE_PREFIX;  // "ZarnSensor"

extern const vpu_usb_backend_ops vpu_usb_libusbk_ops;

int vpu_usb_libusbk_init(vpu_usb_transport_params* params);
int vpu_usb_libusbk_deinit();
int vpu_usb_libusbk_open(uint8_t index);
int vpu_usb_libusbk_close(uint8_t index);
int vpu_usb_libusbk_write_bulk(uint8_t index, const void* buffer, uint32_t length, uint32_t* written);
int vpu_usb_libusbk_read_bulk(uint8_t index, void* buffer, uint32_t length, uint32_t* read);
int vpu_usb_libusbk_query_attached_devices(void** records, uint32_t* count);
int vpu_usb_libusbk_unsupported();
int vpu_usb_libusbk_read_forward(uint8_t index, void* buffer, uint32_t length, uint32_t* read);

// Produced by the attached-device query only; the caller frees the array.
#pragma pack(push, 1)
struct vpu_usb_attached_device {
    uint8_t booted;
    uint8_t claimed;  // 1 when the control interface could not be claimed
    char product[256];
    char serial[256];
    char manufacturer[256];
};
#pragma pack(pop)
static_assert(sizeof(vpu_usb_attached_device) == 770);

// A driver handle with the table it was opened through: the first two
// fields of every recorded interface.
struct UsbDeviceHandle {
    KUSB_HANDLE handle;
    KUSB_DRIVER_API Usb;
};

void OnHotPlug(KHOT_HANDLE hotHandle, KLST_DEVINFO_HANDLE devInfo, int32_t event);
// The device descriptor's bcdDevice bit 15 is clear once the processor runs.
bool isDeviceBooted(UsbDeviceHandle* device);
// String descriptor `index` as ASCII ('?' for what is not) into `buffer`
// (`length` bytes, always terminated); nonzero on success.
int readStringDescriptor(UsbDeviceHandle* device, uint8_t index, char* buffer, uint32_t length);

// The monitor's device-id pattern for a vendor id: "USB\VID_" and four
// lower-case hexadecimal digits, as the system writes vendor ids.
void vpu_usb_libusbk_devicePattern(uint16_t vendorId, char* out, size_t size);

// Waits until no monitor runs and no handed-over stop is still under way;
// false when `timeoutMs` passed first or the handed-over stop failed.
bool vpu_usb_libusbk_waitStopped(uint32_t timeoutMs);

// The driver-table loader interfaces are opened with: LibK_LoadDriverApi,
// unless a test puts the table of a device of its own here (null restores it).
using VpuUsbDriverLoader = int32_t (*)(KUSB_DRIVER_API* table, int32_t driverId);
void vpu_usb_libusbk_setDriverLoader(VpuUsbDriverLoader loader);

// The boot layer's hot-plug handler (event 1 removed, 2 arrived with all
// interfaces), reached as a link-time symbol.
int vpu_usb_boot_hotplug_handler(int32_t event, bool booted);
