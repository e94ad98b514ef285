// Connection layer: carries packets between the host library and the vision
// processor over up to four connections, one per USB interface of a booted
// device (control, infrared, depth, visible).
//
// Every packet starts with a 32-bit little-endian packet word: the channel id
// in bits 26..31 and, in bits 0..25, the number of bytes that follow the word
// over the whole buffer chain. Each connection owns an interface (reached only
// through an interface-ops block), a transmit ring drained by its transmit
// thread, a receive thread and a table of 19 channel entries.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "runtime/err_codes.h"
#include "runtime/mem_pool.h"
#include "runtime/os_layer.h"

// --- wire ------------------------------------------------------------------

constexpr uint32_t CONN_LYRG_PACKET_WORD_SIZE = 4;
constexpr uint32_t CONN_LYRG_CHANNEL_SHIFT = 26;
constexpr uint32_t CONN_LYRG_LENGTH_MASK = 0x3FFFFFFu;  // 67,108,863
constexpr uint32_t CONN_LYRG_NUM_CHANNELS = 19;         // channel ids 0..18
constexpr uint32_t CONN_LYRG_MAX_CONNECTIONS = 4;
constexpr uint16_t CONN_LYRG_MAX_RING_SIZE = 1024;
constexpr uint32_t CONN_LYRG_DRAIN_BUFFER_SIZE = 2560000;

constexpr uint32_t CONN_LYRG_packetWord(uint32_t channel, uint32_t length) {
    return (channel << CONN_LYRG_CHANNEL_SHIFT) | (length & CONN_LYRG_LENGTH_MASK);
}
constexpr uint32_t CONN_LYRG_wordChannel(uint32_t word) { return word >> CONN_LYRG_CHANNEL_SHIFT; }
constexpr uint32_t CONN_LYRG_wordLength(uint32_t word) { return word & CONN_LYRG_LENGTH_MASK; }

// --- status codes (side HOST, module CONN_LYR) ---------------------------------

constexpr ERRG_codeE CONN_LYR__RET_SUCCESS = 0x01060000;
constexpr ERRG_codeE CONN_LYR__ERR_INVALID_ARGS = 0x01060002;
constexpr ERRG_codeE CONN_LYR__ERR_OUT_OF_RSRCS = 0x01060004;
constexpr ERRG_codeE CONN_LYR__ERR_CREATE_FAIL = 0x0106000B;
constexpr ERRG_codeE CONN_LYR__ERR_NO_FREE_CONNECTIONS = 0x0106000C;
constexpr ERRG_codeE CONN_LYR__ERR_TX_RING_FULL = 0x0106000D;
constexpr ERRG_codeE CONN_LYR__ERR_CONNECTION_IS_DOWN = 0x0106000E;
constexpr ERRG_codeE CONN_LYR__ERR_SHORT_RECEIVE = 0x0106000F;
constexpr ERRG_codeE CONN_LYR__ERR_RX_TIMEOUT = 0x01060010;
constexpr ERRG_codeE CONN_LYR__ERR_RX_REOPEN = 0x01060011;     // recoverable: reopen and retry
constexpr ERRG_codeE CONN_LYR__ERR_RX_RECOVERABLE = 0x01060012;  // recoverable: the connection stays up
// An interface's send that asks for the rest of the batch to be dropped.
constexpr ERRG_codeE CONN_LYR__ERR_IF_REOPEN = 0x01260011;

// --- interface --------------------------------------------------------------

// Capability bits an interface reports through getCaps.
enum CONN_LYRG_capsE : uint32_t {
    CONN_LYRG_CAP_RX_THREAD = 0x01,
    CONN_LYRG_CAP_TX_THREAD = 0x02,
    CONN_LYRG_CAP_SEND_CHAIN = 0x04,
    CONN_LYRG_CAP_RECV_PACKET = 0x08,
    CONN_LYRG_CAP_HDR_THEN_PAYLOAD = 0x10,
    CONN_LYRG_CAP_RECV_TIMEOUT = 0x20,
};

// Interface configuration, passed unchanged to the interface's open. For USB
// the first byte is the USB interface index.
struct CONN_LYRG_ifCfgT {
    uint8_t params[128];
    uint32_t word;
    uint16_t half;
};
static_assert(offsetof(CONN_LYRG_ifCfgT, word) == 128);
static_assert(offsetof(CONN_LYRG_ifCfgT, half) == 132);
// The part of the configuration an interface keeps (the trailing padding is not copied).
constexpr size_t CONN_LYRG_IF_CFG_USED = 134;

using CONN_LYRG_ifHandleT = void*;

// Operations of one interface. Each returns a status whose low 16 bits are 0
// on success. Empty slots are null.
struct CONN_LYR_ifOps {
    ERRG_codeE (*open)(CONN_LYRG_ifHandleT* handle, const CONN_LYRG_ifCfgT* cfg);
    ERRG_codeE (*reopen)(CONN_LYRG_ifHandleT handle);
    ERRG_codeE (*close)(CONN_LYRG_ifHandleT handle);
    ERRG_codeE (*getCaps)(CONN_LYRG_ifHandleT handle, uint32_t* caps);
    ERRG_codeE (*send)(CONN_LYRG_ifHandleT handle, const void* data, uint32_t length, uint32_t* sent);
    ERRG_codeE (*sendChain)(CONN_LYRG_ifHandleT handle, const MEM_POOLG_bufDescT* chain, uint32_t* sent);
    ERRG_codeE (*recv)(CONN_LYRG_ifHandleT handle, void* data, uint32_t length, uint32_t* got);
    ERRG_codeE (*recvTimeout)(CONN_LYRG_ifHandleT handle, void* data, uint32_t length, uint32_t timeoutMs,
                              uint32_t* got);
    ERRG_codeE (*recvPacket)(CONN_LYRG_ifHandleT handle, void* data, uint32_t length, uint32_t* got);
};

using CONN_LYRG_ifOpsInitT = void (*)(CONN_LYR_ifOps* ops);

// --- connection ---------------------------------------------------------------

// Connection configuration given to CONN_LYRG_open.
struct CONN_LYRG_cfgT {
    const CONN_LYRG_ifCfgT* ifCfg;     // passed unchanged to the interface's open
    CONN_LYRG_ifOpsInitT ifOpsInit;    // fills the interface-ops block
    uint16_t txRingSize;               // at most 1,024
    MEM_POOLG_handleT rxPool;          // optional; only for fixed-size receive interfaces
    MEM_POOLG_cfgT rxPoolCfg;          // used to create a receive pool when none is given
};

// Called with (user data, buffer); the callee owns the buffer.
using CONN_LYRG_handlerT = void (*)(void* userData, MEM_POOLG_bufDescT* buffer);

struct CONN_LYR_channelEntry {
    CONN_LYRG_handlerT rxHandler;
    CONN_LYRG_handlerT txDoneHandler;
    void* userData;
};

enum CONN_LYR_runStateE : uint32_t {
    CONN_LYR_DOWN = 0,
    CONN_LYR_RUNNING = 1,
    CONN_LYR_PAUSED = 2,
};

constexpr uint32_t CONN_LYR_FREE_ID = 4;

// One transmit-ring slot. The put side (senders, under the connection mutex)
// fills a free slot and publishes it by storing kind 1; the take side (the
// transmit thread) consumes it and hands it back by storing kind 0.
struct CONN_LYR_txDesc {
    std::atomic<uint32_t> kind;  // 0 free, 1 queued
    uint32_t length;
    MEM_POOLG_bufDescT* buffer;
    uint16_t channel;
};

// Counters, readable while the threads run.
struct CONN_LYR_stats {
    std::atomic<uint32_t> txBytes;
    std::atomic<uint32_t> txPackets;
    std::atomic<uint32_t> rxBytes;
    std::atomic<uint32_t> rxPackets;
    std::atomic<uint32_t> txOverflows;
    std::atomic<uint32_t> rxOverflows;
    std::atomic<uint32_t> rxNoMem;
    std::atomic<uint32_t> txErrors;
    // Packets whose word named a channel outside 0..18; drained.
    std::atomic<uint32_t> rxBadChannel;
};

struct CONN_LYR_connection {
    uint32_t id;  // 0..3 in use, 4 free; guarded by connMutex
    OS_LYRG_mutexT connMutex;
    OS_LYRG_mutexT chanMutex;
    uint32_t mutexesCreated;  // connMutex and chanMutex exist (CONN_LYRG_init)
    uint32_t closing;         // a cleanup is under way; guarded by connMutex
    uint32_t runState;  // guarded by statusMutex
    uint16_t rxStopped;
    uint16_t txStopped;
    OS_LYRG_mutexT statusMutex;
    uint32_t statusMutexCreated;
    uint8_t* drainBuffer;
    MEM_POOLG_handleT rxPool;
    uint32_t rxPoolOwned;  // 1 when this connection created the pool and must close it
    CONN_LYR_txDesc ring[CONN_LYRG_MAX_RING_SIZE];
    uint16_t ringSize;
    uint16_t putIndex;
    uint16_t takeIndex;
    OS_LYRG_mutexT ringPutMutex;
    OS_LYRG_mutexT ringTakeMutex;
    uint32_t ringPutMutexCreated;
    uint32_t ringTakeMutexCreated;
    CONN_LYR_channelEntry channels[CONN_LYRG_NUM_CHANNELS];
    CONN_LYRG_ifHandleT ifHandle;
    uint32_t ifOpen;
    CONN_LYR_ifOps ifOps;
    uint32_t caps;
    uint32_t fixedRxSize;
    OS_LYRG_threadParamsT txThread;
    OS_LYRG_threadParamsT rxThread;
    OS_LYRG_eventT txEvent;
    CONN_LYR_stats stats;
};

using CONN_LYRG_handleT = CONN_LYR_connection*;

// --- operations -----------------------------------------------------------------

ERRG_codeE CONN_LYRG_init();
void CONN_LYRG_deInit();
ERRG_codeE CONN_LYRG_open(CONN_LYRG_handleT* handle, const CONN_LYRG_cfgT* cfg);
void CONN_LYRG_close(CONN_LYRG_handleT handle);
ERRG_codeE CONN_LYRG_registerChannel(CONN_LYRG_handleT handle, uint32_t channel, CONN_LYRG_handlerT rxHandler,
                                     CONN_LYRG_handlerT txDoneHandler, void* userData);
// Queues one packet. On success the connection owns the buffer; on any
// refusal the buffer stays with the caller, as it was given.
ERRG_codeE CONN_LYRG_send(CONN_LYRG_handleT handle, uint32_t channel, MEM_POOLG_bufDescT* buffer);
uint32_t CONN_LYRG_getHeaderSize();
// which: 1 transmit, 2 receive, 3 both.
void CONN_LYRG_showStats(CONN_LYRG_handleT handle, int which);
// True while the connection's run state is "running" (used by tests and the
// service manager's report).
bool CONN_LYRG_isRunning(CONN_LYRG_handleT handle);
