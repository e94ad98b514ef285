// USB transport front end: six functions that address a USB interface by a
// small index. Each first looks for an override table in context slot 23; with
// none it forwards to the back-end table, argument for argument.
//
// The back-end table is installed at run time with vpu_usb_set_backend(): the
// Windows USB access layer supplies the real one, the simulated sensor
// (sim/) one of its own. The front end behaves the same on either, so tests
// run it exactly as the program does. With no back-end installed every
// operation answers 4 (interface not registered).
#pragma once

#include <cstdint>

// Results of the back-end (and of the front end without an override).
constexpr int VPU_USB_OK = 0;
constexpr int VPU_USB_ERR_INIT = 1;            // (de)initialisation refused or failed
constexpr int VPU_USB_ERR_NOT_REGISTERED = 4;  // no such interface, no handle, or unsupported
constexpr int VPU_USB_ERR_TRANSFER = 7;        // failed or short transfer
// Results an override table's transfer can be mapped to.
constexpr int VPU_USB_ERR_OVERRIDE_FAIL = 8;

// Given to vpu_usb_init (16 bytes): two values the back-end keeps but does not
// use, then the optional serial-number filter (null: any sensor).
struct vpu_usb_transport_params {
    int32_t valueA;
    int32_t valueB;
    const char* serialNumber;
};
static_assert(sizeof(void*) != 8 || sizeof(vpu_usb_transport_params) == 16);

// Back-end function table, in slot order. The front end calls slots 0 to 5.
struct vpu_usb_backend_ops {
    int (*init)(vpu_usb_transport_params* params);
    int (*deinit)();
    int (*open)(uint8_t index);
    int (*close)(uint8_t index);
    int (*write_bulk)(uint8_t index, const void* buffer, uint32_t length, uint32_t* written);
    int (*read_bulk)(uint8_t index, void* buffer, uint32_t length, uint32_t* read);
    int (*query_attached_devices)(void** records, uint32_t* count);
    int (*unsupported)();
    int (*read_forward)(uint8_t index, void* buffer, uint32_t length, uint32_t* read);
};

// Optional override table, looked up in context slot 23.
struct vpu_usb_transport_ops {
    int32_t (*init)();
    int32_t (*write_bulk)(uint8_t index, const void* buffer, uint32_t length, uint64_t* transferred);
    int32_t (*read_bulk)(uint8_t index, void* buffer, uint32_t length, uint64_t* transferred);
};

// Installs the back-end table (null: none). Not to be called while transfers run.
void vpu_usb_set_backend(const vpu_usb_backend_ops* ops);
const vpu_usb_backend_ops* vpu_usb_get_backend();

int vpu_usb_init(vpu_usb_transport_params* params);
int vpu_usb_deinit();
int vpu_usb_open(uint8_t index);
int vpu_usb_close(uint8_t index);
int vpu_usb_write_bulk(uint8_t index, const void* buffer, uint32_t length, uint32_t* written);
int vpu_usb_read_bulk(uint8_t index, void* buffer, uint32_t length, uint32_t* read);
