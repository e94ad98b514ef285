// Service channels: numbered channels (0..18) between each host service and
// its peer on the vision processor. A channel binds a channel id to one
// connection and one memory pool. Sending puts the 12-byte service header in
// front of a payload and hands the packet to the connection; receiving strips
// the header and gives the header words and the buffer to the owner's callback.
//
// Service header, three 32-bit little-endian words behind the packet word:
//   word 0: bits 0..1 message type (0 request, 1 response, 2 data, 3 link),
//           bits 2..27 payload length behind the header over the whole chain,
//           bits 28..29 reply flags, bits 30..31 passed through as set;
//   word 1: message code;
//   word 2: status carried by a response, else 0.
// A buffer to be sent keeps 16 free bytes in front of its data pointer: 12
// for the service header and 4 for the packet word.
#pragma once

#include <atomic>
#include <cstdint>

#include "host_lib/conn_lyr.h"
#include "runtime/err_codes.h"
#include "runtime/mem_pool.h"
#include "runtime/os_layer.h"

constexpr uint32_t SVC_COMG_NUM_CHANNELS = 19;
constexpr uint32_t SVC_COMG_HEADER_SIZE = 12;

constexpr ERRG_codeE SVC_COM__RET_SUCCESS = 0x01020000;
constexpr ERRG_codeE SVC_COM__ERR_INVALID_ARGS = 0x01020002;
constexpr ERRG_codeE SVC_COM__ERR_OUT_OF_RSRCS = 0x01020004;
constexpr ERRG_codeE SVC_COM__ERR_SEND = 0x0102000C;
constexpr ERRG_codeE SVC_COM__ERR_INVALID_CHANEL_NUM = 0x0102000D;

enum SVC_COMG_msgTypeE : uint32_t {
    SVC_COMG_MSG_REQUEST = 0,
    SVC_COMG_MSG_RESPONSE = 1,
    SVC_COMG_MSG_DATA = 2,
    SVC_COMG_MSG_LINK = 3,
};

struct SVC_COMG_hdrT {
    uint32_t word0;
    uint32_t code;
    uint32_t status;
};
static_assert(sizeof(SVC_COMG_hdrT) == SVC_COMG_HEADER_SIZE);

constexpr uint32_t SVC_COMG_word0(uint32_t type, uint32_t length, uint32_t flags = 0) {
    return (type & 0x3u) | ((length & 0x3FFFFFFu) << 2) | ((flags & 0x3u) << 28);
}
constexpr uint32_t SVC_COMG_word0Type(uint32_t word0) { return word0 & 0x3u; }
constexpr uint32_t SVC_COMG_word0Length(uint32_t word0) { return (word0 >> 2) & 0x3FFFFFFu; }
constexpr uint32_t SVC_COMG_word0Flags(uint32_t word0) { return (word0 >> 28) & 0x3u; }

// Called with (user data, the three header words, buffer at the payload);
// the callee owns the buffer. Its result is the callee's own business.
using SVC_COMG_rxCallbackT = ERRG_codeE (*)(void* userData, const SVC_COMG_hdrT* header,
                                             MEM_POOLG_bufDescT* buffer);

// The binding (id, connection, pool) is read without the channel mutex: by
// the receive threads choosing a pool, and by senders, which may be running
// inside a receive callback that holds that mutex.
struct SVC_COM_channel {
    std::atomic<int32_t> channelId;  // -1 while closed; first field (see SVC_COMG_getChannelNum)
    std::atomic<CONN_LYRG_handleT> connection;
    std::atomic<MEM_POOLG_handleT> pool;
    SVC_COMG_rxCallbackT rxCallback;  // callback and user data: under the channel mutex
    void* userData;
    OS_LYRG_mutexT mutex;
    uint32_t mutexCreated;
    // Packets too short to hold a service header; dropped.
    std::atomic<uint32_t> rxRunts;
};

using SVC_COMG_handleT = SVC_COM_channel*;

ERRG_codeE SVC_COMG_init();
void SVC_COMG_deInit();
ERRG_codeE SVC_COMG_channelOpen(SVC_COMG_handleT* handle, uint32_t channelId, CONN_LYRG_handleT connection,
                                MEM_POOLG_handleT pool, SVC_COMG_rxCallbackT rxCallback, void* userData);
ERRG_codeE SVC_COMG_channelClose(SVC_COMG_handleT channel);
void SVC_COMG_setRxCallback(SVC_COMG_handleT channel, SVC_COMG_rxCallbackT rxCallback, void* userData);
// Pool for packets arriving on a channel id taken from a packet word (0..63);
// null for ids above 18 and for channels that are not open.
MEM_POOLG_handleT SVC_COMG_getChannelPool(uint32_t channelId);
uint32_t SVC_COMG_getHeaderRoom();
// Sends a buffer whose data pointer has 16 free bytes in front of it. With
// header words the service header is written; with null the 12 bytes in
// front of the data are sent as the caller left them. On success the
// connection owns the buffer; on a refusal it comes back to the caller as
// it was given.
ERRG_codeE SVC_COMG_channelSend(SVC_COMG_handleT channel, const SVC_COMG_hdrT* header, MEM_POOLG_bufDescT* buffer);
// The first 32-bit field of a channel handle or of a service record.
uint32_t SVC_COMG_getChannelNum(const void* handle);
// Packets dropped on a channel because they were shorter than the header.
uint32_t SVC_COMG_getRuntCount(SVC_COMG_handleT channel);

// The connection layer's receive handler for every open channel (user data:
// the channel record; buffer data at the service header).
void SVC_COMP_rxCallback(void* userData, MEM_POOLG_bufDescT* buffer);
