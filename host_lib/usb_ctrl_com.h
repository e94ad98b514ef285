// USB interface component: the interface behind every connection of the
// connection layer. It fills an interface-ops block with operations that read
// and write the bulk pipes of one USB interface index through the USB
// transport front end.
#pragma once

#include <cstdint>

#include "host_lib/conn_lyr.h"
#include "runtime/err_codes.h"

// Seven interface slots, indexed by USB interface index 0..6.
constexpr uint32_t USB_CTRL_COMG_NUM_SLOTS = 7;
constexpr uint32_t USB_CTRL_COMG_SLOT_SIZE = 144;
// Capabilities: receive thread, transmit thread, chain send, header-then-payload receive.
constexpr uint32_t USB_CTRL_COMG_CAPS = 0x17;
// A first chain buffer of this many bytes or more goes out as a 64-byte
// transfer followed by the rest of the buffer.
constexpr uint32_t USB_CTRL_COMG_SPLIT_THRESHOLD = 0x20001;  // 131,073
constexpr uint32_t USB_CTRL_COMG_SPLIT_HEAD = 64;

constexpr ERRG_codeE USB_CTRL_COM__RET_SUCCESS = 0x01260000;
constexpr ERRG_codeE USB_CTRL_COM__ERR_INVALID_ARGS = 0x01260002;
constexpr ERRG_codeE USB_CTRL_COM__ERR_IO_ERROR = 0x01260007;
constexpr ERRG_codeE USB_CTRL_COM__ERR_READ_FAILED = 0x0126000E;
constexpr ERRG_codeE USB_CTRL_COM__ERR_LOST_SOCKET_CONNECTION = 0x011D000B;

// Fills open, close, getCaps, send, sendChain and recv; reopen, recvTimeout
// and recvPacket stay null.
void USB_CTRL_COMG_getIfOps(CONN_LYR_ifOps* ops);

// The operations themselves (also reached through the ops block).
ERRG_codeE USB_CTRL_COMP_open(CONN_LYRG_ifHandleT* handle, const CONN_LYRG_ifCfgT* cfg);
ERRG_codeE USB_CTRL_COMP_close(CONN_LYRG_ifHandleT handle);
ERRG_codeE USB_CTRL_COMP_getCaps(CONN_LYRG_ifHandleT handle, uint32_t* caps);
ERRG_codeE USB_CTRL_COMP_send(CONN_LYRG_ifHandleT handle, const void* data, uint32_t length, uint32_t* sent);
ERRG_codeE USB_CTRL_COMP_sendChain(CONN_LYRG_ifHandleT handle, const MEM_POOLG_bufDescT* chain, uint32_t* sent);
ERRG_codeE USB_CTRL_COMP_recv(CONN_LYRG_ifHandleT handle, void* data, uint32_t length, uint32_t* got);
