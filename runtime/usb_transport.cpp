#include "runtime/usb_transport.h"

#include <atomic>

#include "runtime/context.h"

namespace {

// Installed once at start-up (or by a test) and read by every transfer thread
// afterwards: an atomic pointer, so that readers never see a torn or stale
// value without a lock on the transfer path.
std::atomic<const vpu_usb_backend_ops*> installedBackend{nullptr};

// The override table of the current context, if one was put in its slot.
// Looked up only: the transport never creates the slot.
const vpu_usb_transport_ops* overrideTable() {
    return static_cast<const vpu_usb_transport_ops*>(
        PZContext_FindSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_USB_TRANSPORT)));
}

const vpu_usb_backend_ops* backend() { return installedBackend.load(std::memory_order_acquire); }

// An override transport speaks its own result language: 0 success, 1 a
// refusal, anything else a failed transfer.
int mapOverrideResult(int32_t result) {
    if (result == 0) return VPU_USB_OK;
    if (result == 1) return VPU_USB_ERR_OVERRIDE_FAIL;
    return VPU_USB_ERR_TRANSFER;
}

// Both transfer directions go through the override the same way: the count
// is 64-bit on the override's side and 32-bit on ours.
template <typename Buffer, typename Function>
int overrideTransfer(Function function, uint8_t index, Buffer buffer, uint32_t length, uint32_t* transferred) {
    // A table without this direction cannot move data; answer as the
    // back-end does for an operation it does not support.
    if (function == nullptr) return VPU_USB_ERR_NOT_REGISTERED;
    uint64_t count = 0;
    int32_t result = function(index, buffer, length, &count);
    if (transferred != nullptr) *transferred = static_cast<uint32_t>(count & 0xFFFFFFFFu);
    return mapOverrideResult(result);
}

}  // namespace

void vpu_usb_set_backend(const vpu_usb_backend_ops* ops) { installedBackend.store(ops, std::memory_order_release); }

const vpu_usb_backend_ops* vpu_usb_get_backend() { return backend(); }

// Without an override every function is a plain forward. A missing back-end,
// or a table without the entry, answers 4 like an interface nobody registered
// rather than calling through a null pointer.

int vpu_usb_init(vpu_usb_transport_params* params) {
    if (const auto* table = overrideTable()) {
        if (table->init != nullptr) table->init();
        return VPU_USB_OK;
    }
    const auto* ops = backend();
    if (ops == nullptr || ops->init == nullptr) return VPU_USB_ERR_NOT_REGISTERED;
    return ops->init(params);
}

int vpu_usb_deinit() {
    if (overrideTable() != nullptr) return VPU_USB_OK;
    const auto* ops = backend();
    if (ops == nullptr || ops->deinit == nullptr) return VPU_USB_ERR_NOT_REGISTERED;
    return ops->deinit();
}

int vpu_usb_open(uint8_t index) {
    if (overrideTable() != nullptr) return VPU_USB_OK;
    const auto* ops = backend();
    if (ops == nullptr || ops->open == nullptr) return VPU_USB_ERR_NOT_REGISTERED;
    return ops->open(index);
}

int vpu_usb_close(uint8_t index) {
    if (overrideTable() != nullptr) return VPU_USB_OK;
    const auto* ops = backend();
    if (ops == nullptr || ops->close == nullptr) return VPU_USB_ERR_NOT_REGISTERED;
    return ops->close(index);
}

int vpu_usb_write_bulk(uint8_t index, const void* buffer, uint32_t length, uint32_t* written) {
    if (const auto* table = overrideTable()) return overrideTransfer(table->write_bulk, index, buffer, length, written);
    const auto* ops = backend();
    if (ops == nullptr || ops->write_bulk == nullptr) return VPU_USB_ERR_NOT_REGISTERED;
    return ops->write_bulk(index, buffer, length, written);
}

int vpu_usb_read_bulk(uint8_t index, void* buffer, uint32_t length, uint32_t* read) {
    if (const auto* table = overrideTable()) return overrideTransfer(table->read_bulk, index, buffer, length, read);
    const auto* ops = backend();
    if (ops == nullptr || ops->read_bulk == nullptr) return VPU_USB_ERR_NOT_REGISTERED;
    return ops->read_bulk(index, buffer, length, read);
}
