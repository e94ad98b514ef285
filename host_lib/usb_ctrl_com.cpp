#include "host_lib/usb_ctrl_com.h"

#include <cstring>

#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/usb_transport.h"

namespace {

// A slot keeps a copy of the connection's interface configuration; the
// handle given to the connection layer is the slot's address.
struct UsbSlot {
    uint8_t bytes[USB_CTRL_COMG_SLOT_SIZE];
};
static_assert(sizeof(UsbSlot) == USB_CTRL_COMG_SLOT_SIZE);
static_assert(CONN_LYRG_IF_CFG_USED <= USB_CTRL_COMG_SLOT_SIZE);

struct UsbCtrlComState {
    UsbSlot slots[USB_CTRL_COMG_NUM_SLOTS];
};

// Dynamic context key: the address of this tag.
const unsigned char usbCtrlComTag = 0;

UsbCtrlComState* state() { return PZContext_GetHostState<UsbCtrlComState>(&usbCtrlComTag); }

uint8_t indexOf(CONN_LYRG_ifHandleT handle) { return static_cast<const UsbSlot*>(handle)->bytes[0]; }

// Result of a transport write as the connection layer sees it.
ERRG_codeE mapWrite(int rc) {
    if (rc == VPU_USB_OK) return USB_CTRL_COM__RET_SUCCESS;
    if (rc == VPU_USB_ERR_OVERRIDE_FAIL) return 0x0106000E;  // the connection is down
    return USB_CTRL_COM__ERR_IO_ERROR;
}

// One bulk write; adds what it moved to *sent on success.
ERRG_codeE writeOnce(uint8_t index, const uint8_t* data, uint32_t length, uint32_t* sent) {
    uint32_t written = 0;
    ERRG_codeE status = mapWrite(vpu_usb_write_bulk(index, data, length, &written));
    if (ERRG_SUCCEEDED(status)) *sent += written;
    return status;
}

}  // namespace

void USB_CTRL_COMG_getIfOps(CONN_LYR_ifOps* ops) {
    ops->open = USB_CTRL_COMP_open;
    ops->close = USB_CTRL_COMP_close;
    ops->getCaps = USB_CTRL_COMP_getCaps;
    ops->send = USB_CTRL_COMP_send;
    ops->sendChain = USB_CTRL_COMP_sendChain;
    ops->recv = USB_CTRL_COMP_recv;
    ops->recvPacket = nullptr;
}

ERRG_codeE USB_CTRL_COMP_open(CONN_LYRG_ifHandleT* handle, const CONN_LYRG_ifCfgT* cfg) {
    if (handle == nullptr || cfg == nullptr) return USB_CTRL_COM__ERR_INVALID_ARGS;
    const uint8_t index = cfg->params[0];
    // The index byte selects one of seven slots: anything beyond them would
    // be written past the module state.
    if (index >= USB_CTRL_COMG_NUM_SLOTS) {
        LOGG_PRINT(LOG_ERROR_E, USB_CTRL_COM__ERR_INVALID_ARGS, "invalid usb interface index %u\n", index);
        *handle = nullptr;
        return USB_CTRL_COM__ERR_INVALID_ARGS;
    }
    UsbSlot* slot = &state()->slots[index];
    std::memcpy(slot->bytes, cfg, CONN_LYRG_IF_CFG_USED);
    *handle = slot;
    if (vpu_usb_open(index) != VPU_USB_OK) return USB_CTRL_COM__ERR_IO_ERROR;
    return USB_CTRL_COM__RET_SUCCESS;
}

ERRG_codeE USB_CTRL_COMP_close(CONN_LYRG_ifHandleT handle) {
    if (handle == nullptr) return USB_CTRL_COM__ERR_INVALID_ARGS;
    if (vpu_usb_close(indexOf(handle)) != VPU_USB_OK) return USB_CTRL_COM__ERR_IO_ERROR;
    return USB_CTRL_COM__RET_SUCCESS;
}

ERRG_codeE USB_CTRL_COMP_getCaps(CONN_LYRG_ifHandleT, uint32_t* caps) {
    if (caps != nullptr) *caps = USB_CTRL_COMG_CAPS;
    return USB_CTRL_COM__RET_SUCCESS;
}

ERRG_codeE USB_CTRL_COMP_send(CONN_LYRG_ifHandleT handle, const void* data, uint32_t length, uint32_t* sent) {
    uint32_t total = 0;
    ERRG_codeE status = writeOnce(indexOf(handle), static_cast<const uint8_t*>(data), length, &total);
    if (sent != nullptr) *sent = total;
    return status;
}

// Every buffer of the chain is a transfer of its own. A large first buffer
// goes out as its first 64 bytes and then the rest, so the peer can read the
// packet and service headers before committing to the bulk of the payload.
// The first failed write ends the chain and is its result: carrying on would
// put the rest of a broken packet on the wire and could report it as sent.
ERRG_codeE USB_CTRL_COMP_sendChain(CONN_LYRG_ifHandleT handle, const MEM_POOLG_bufDescT* chain, uint32_t* sent) {
    uint32_t total = 0;
    if (chain == nullptr) {
        if (sent != nullptr) *sent = 0;
        return USB_CTRL_COM__ERR_IO_ERROR;
    }
    const uint8_t index = indexOf(handle);
    ERRG_codeE status = USB_CTRL_COM__RET_SUCCESS;
    const auto* first = static_cast<const uint8_t*>(chain->data);
    if (chain->len >= USB_CTRL_COMG_SPLIT_THRESHOLD) {
        status = writeOnce(index, first, USB_CTRL_COMG_SPLIT_HEAD, &total);
        if (ERRG_SUCCEEDED(status))
            status = writeOnce(index, first + USB_CTRL_COMG_SPLIT_HEAD, chain->len - USB_CTRL_COMG_SPLIT_HEAD, &total);
    } else {
        status = writeOnce(index, first, chain->len, &total);
    }
    for (const MEM_POOLG_bufDescT* b = chain->next; b != nullptr && ERRG_SUCCEEDED(status); b = b->next) {
        // An empty buffer would become a zero-length transfer, which a bulk
        // pipe reads as the end of a transfer rather than as data.
        if (b->len == 0) continue;
        status = writeOnce(index, static_cast<const uint8_t*>(b->data), b->len, &total);
    }
    if (sent != nullptr) *sent = total;
    return status;
}

// Reads exactly `length` bytes: a pipe read may end early at a short packet,
// so keep reading behind what has come until all of it is there.
ERRG_codeE USB_CTRL_COMP_recv(CONN_LYRG_ifHandleT handle, void* data, uint32_t length, uint32_t* got) {
    if (length == 0) {
        if (got != nullptr) *got = 0;
        return USB_CTRL_COM__RET_SUCCESS;
    }
    const uint8_t index = indexOf(handle);
    auto* dest = static_cast<uint8_t*>(data);
    uint32_t total = 0;
    if (got != nullptr) *got = 0;
    while (total < length) {
        uint32_t piece = 0;
        const int rc = vpu_usb_read_bulk(index, dest + total, length - total, &piece);
        switch (rc) {
            case VPU_USB_OK:
                break;
            case 8:
                return USB_CTRL_COM__ERR_LOST_SOCKET_CONNECTION;
            case 12:
                return 0x01060012;
            case 16:
                return 0x01060011;
            default:
                LOGG_PRINT(LOG_DEBUG_E, 0, "vpu_usb_lib: readpipe failed (rc=%d)\n", rc);
                return USB_CTRL_COM__ERR_READ_FAILED;
        }
        // A transport that claims more than it was asked for has already
        // broken its contract; never let the count run past the buffer.
        if (piece > length - total) {
            LOGG_PRINT(LOG_ERROR_E, USB_CTRL_COM__ERR_READ_FAILED, "read reported %u bytes, asked %u\n", piece,
                       length - total);
            return USB_CTRL_COM__ERR_READ_FAILED;
        }
        total += piece;
        if (got != nullptr) *got = total;
    }
    return USB_CTRL_COM__RET_SUCCESS;
}
