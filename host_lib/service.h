// Service framework: the host half of every host-library service.
//
// Each of the ten services (ids 0..9) is one record with its own thread, an
// input queue ("/InFifo<name>") and an output queue ("/OutFifo<name>") of
// 32-byte queue messages, a pool for host-form parameter records, a control
// and a data channel, and a table of operations that the service supplies.
//
// A caller's SERVICEG_ioctl becomes a request message for the service thread.
// The service answers it locally (phase 0), or answers SERVICE__INCOMPLETE, in
// which case the framework forwards it, marshalled, to the peer service on the
// vision processor; the peer's response runs the operation again (phase 1)
// and its status reaches the waiting caller. The framework also receives the
// peer's messages from the channels and, for the records whose link is
// enabled, supervises the link with a keep-alive every second.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "host_lib/host_api_records.h"
#include "host_lib/svc_com.h"
#include "runtime/err_codes.h"
#include "runtime/mem_pool.h"
#include "runtime/os_layer.h"

// --- status codes (side HOST, module SERVICE) ----------------------------------

constexpr ERRG_codeE SERVICE__RET_SUCCESS = 0x1090000;
constexpr ERRG_codeE SERVICE__ERR_INVALID_ARGS = 0x1090002;
constexpr ERRG_codeE SERVICE__ERR_OUT_OF_MEM = 0x1090003;
constexpr ERRG_codeE SERVICE__ERR_OUT_OF_RSRCS = 0x1090004;
constexpr ERRG_codeE SERVICE__ERR_TIMEOUT = 0x1090006;
constexpr ERRG_codeE SERVICE__ERR_ILLEGAL_STATE = 0x1090009;
// An operation's answer meaning "not finished here: forward to the peer".
constexpr ERRG_codeE SERVICE__INCOMPLETE = 0x109000B;

constexpr uint32_t SERVICEG_NUM_SERVICES = 10;
constexpr uint32_t SERVICEG_IOCTL_TIMEOUT_MS = 1000;
constexpr uint32_t SERVICEG_THREAD_TIMEOUT_MS = 1000;
constexpr uint32_t SERVICEG_QUEUE_MSG_SIZE = 32;
constexpr uint32_t SERVICEG_QUEUE_NAME_SIZE = 32;
constexpr uint32_t SERVICEG_LINK_PERIOD_MS = 1000;
// Silent timer periods after "disconnect pending" before "disconnect (timeout)".
constexpr int32_t SERVICEG_DISCONNECT_COUNTDOWN = 5;

enum SERVICEG_msgTypeE : uint32_t {
    SERVICEG_MSG_REQUEST_E = 0,
    SERVICEG_MSG_RESPONSE_E = 1,
    SERVICEG_MSG_DATA_E = 2,
    SERVICEG_MSG_LINK_E = 3,
};

enum SERVICEG_phaseE : uint32_t {
    SERVICEG_PHASE_START_E = 0,
    SERVICEG_PHASE_DONE_E = 1,
};

// What the ioctl caller in flight (if any) is waiting for.
enum SERVICEG_awaitE : uint32_t {
    SERVICEG_AWAIT_NONE_E = 0,       // no caller
    SERVICEG_AWAIT_POSTED_E = 1,     // its request is with the service thread
    SERVICEG_AWAIT_FORWARDED_E = 2,  // its request went to the peer: the peer's response is due
    SERVICEG_AWAIT_ANSWERED_E = 3,   // that response has come: a second one finds nobody waiting
};

enum SERVICEG_channelIndexE : uint32_t {
    SERVICEG_CTRL_CHANNEL_E = 0,
    SERVICEG_DATA_CHANNEL_E = 1,
};

enum SERVICEG_linkStateE : uint32_t {
    SERVICEG_LINK_INIT_E = 0,
    SERVICEG_LINK_DISCONNECT_E = 1,
    SERVICEG_LINK_CONNECT_E = 2,
    SERVICEG_LINK_DEAD_LINK_E = 3,
};

enum SERVICEG_linkEventE : uint32_t {
    SERVICEG_LINK_EVENT_START_E = 0,
    SERVICEG_LINK_EVENT_TIMER_EXPIRED_E = 1,
    SERVICEG_LINK_EVENT_RX_E = 2,
    SERVICEG_LINK_EVENT_STOP_E = 3,
};

// A reserved bit of word0 that marks a request made by a host caller. It is
// set only by SERVICEG_ioctl, cleared from everything received, and never sent.
constexpr uint32_t SERVICEG_HOST_ORIGIN = 0x40000000u;

// --- records -------------------------------------------------------------------

struct SERVICEG_serviceT;

// One message of a service's queues, copied by value. The first three words
// are those of the service header.
struct SERVICE_queueMsg {
    uint32_t word0;   // type bits 0-1, payload length bits 2-27, remote flags bits 28-29,
                      // bit 30 (SERVICEG_HOST_ORIGIN) inside the host only
    uint32_t code;    // VPU_CMDG_cmdE
    uint32_t status;  // result of a response
    MEM_POOLG_bufDescT* buffer;  // host-form parameter record, then raw payload
    SVC_COMG_handleT channel;    // where it arrived, or where it is to be sent
};
static_assert(sizeof(SERVICE_queueMsg) == SERVICEG_QUEUE_MSG_SIZE);
static_assert(offsetof(SERVICE_queueMsg, word0) == 0);
static_assert(offsetof(SERVICE_queueMsg, code) == 4);
static_assert(offsetof(SERVICE_queueMsg, status) == 8);
static_assert(offsetof(SERVICE_queueMsg, buffer) == 16);
static_assert(offsetof(SERVICE_queueMsg, channel) == 24);

// Passed to the open, close and hostIoctl operations.
struct SERVICEG_requestT {
    SERVICEG_serviceT* service;  // set for open and close
    uint32_t phase;              // SERVICEG_phaseE
    uint32_t code;               // hostIoctl only
    void* params;                // hostIoctl only: the host-form parameter record
};

// Payload data and length are those of the second buffer of the chain (null
// and 0 without one). holder is the address of the first buffer's link to the
// payload (null without a payload): an operation that keeps the payload sets
// *holder to null; whatever stays linked is released by the framework.
using SERVICE_msgOpT = ERRG_codeE (*)(uint32_t code, void* params, void* payload, uint32_t payloadLength,
                                      MEM_POOLG_bufDescT** holder);

// A service's operations. Any slot but getName may be null.
struct SERVICE_opsTable {
    const char* (*getName)();
    ERRG_codeE (*open)(SERVICEG_requestT* request);
    ERRG_codeE (*close)(SERVICEG_requestT* request);
    ERRG_codeE (*hostIoctl)(SERVICEG_requestT* request);
    SERVICE_msgOpT handleMsg;     // queued data messages, on the service thread
    void (*periodic)();           // after every queue wait while the service is open
    SERVICE_msgOpT ctrlFastPath;  // data messages, on the control channel's receive thread
    SERVICE_msgOpT dataFastPath;  // data messages, on the data channel's receive thread
};

struct SERVICEG_initParamsT {
    uint32_t sid;
    uint32_t threadId;
    uint16_t queueLength;
    SVC_COMG_handleT* channels;  // the pair (control, data)
    const SERVICE_opsTable* ops;
    uint32_t loopPeriodMs;
    uint32_t linkEnabled;
    uint32_t keepAliveChannel;  // SERVICEG_channelIndexE
    // Runs on the thread that made the transition, with the record's link
    // transitions held off: it must not close or stop this record's link.
    VPUG_connStateCb linkNotify;
};

struct SERVICEG_sendParamsT {
    uint32_t channelIndex;  // SERVICEG_channelIndexE
    uint32_t code;
    void* params;                      // host-form parameter record of code
    const void* payload;               // bytes copied behind the marshalled record (without payloadChain)
    uint32_t payloadLength;            // in: bytes at payload; out: the packet's payload length
    MEM_POOLG_bufDescT* payloadChain;  // appended as it is; the packet takes it over
};

// One service. Lives in the module state for as long as the driver context;
// the fields marked "under stateMutex" are read and written under it.
struct SERVICEG_serviceT {
    uint32_t sid;     // first field (see SVC_COMG_getChannelNum)
    uint32_t closed;  // under stateMutex
    uint32_t stop;    // under stateMutex
    OS_LYRG_mutexT stateMutex;
    uint32_t stateMutexCreated;
    std::atomic<const SERVICE_opsTable*> ops;
    SVC_COMG_handleT channels[2];
    MEM_POOLG_handleT pool;
    OS_LYRG_threadParamsT thread;
    OS_LYRG_mutexT ioctlMutex;
    uint32_t ioctlMutexCreated;
    OS_LYRG_msgQueT inQueue;
    uint32_t inQueueCreated;
    OS_LYRG_msgQueT outQueue;
    uint32_t outQueueCreated;
    std::atomic<uint32_t> ctrlCount;
    std::atomic<uint32_t> dataCount;
    std::atomic<uint32_t> ctrlDrops;
    std::atomic<uint32_t> dataDrops;
    uint32_t loopPeriodMs;
    std::atomic<uint32_t> linkState;  // written under linkMutex
    OS_LYRG_timerT linkTimer;         // under linkMutex
    uint32_t linkEnabled;
    uint32_t keepAliveChannel;
    VPUG_connStateCb linkNotify;

    // Serialises the link transitions, which come from the service thread,
    // the timer's thread and a closing thread. A timer callback holds it for
    // its whole run, so once de-initialisation has set linkShutdown under it
    // no link callback is running and none will act.
    std::mutex linkMutex;
    uint32_t linkShutdown;  // under linkMutex
    uint32_t callbacksSet;  // the receive callbacks of both channels point here
    // The code the one ioctl caller in flight waits for (0 when none): an
    // answer for anything else is stale and never reaches a caller.
    std::atomic<uint32_t> awaitedCode;
    // SERVICEG_awaitE: whether a caller waits, and whether its request has
    // gone to the peer (only then may a response from the peer answer it).
    std::atomic<uint32_t> awaiting;
    // Received messages refused for an unknown code, too few bytes, or a
    // request whose answer would go to a host caller (also in the drops).
    std::atomic<uint32_t> rejected;
    // Answers that arrived for no waiting caller and were discarded.
    std::atomic<uint32_t> staleAnswers;
    // Received messages refused for a host-only code (also in the drops).
    std::atomic<uint32_t> hostOnlyDrops;
    // 1 while a keep-alive answer waits in the input queue. One waiting
    // answer says all that more would say (the peer lives), so further ones
    // are not queued: a starved service thread would otherwise find its
    // queue full of them and drop the answer an ioctl caller waits for.
    std::atomic<uint32_t> linkRxQueued;
    // Keep-alive answers not queued because one was waiting already.
    std::atomic<uint32_t> linkRxMerged;
    // The status of the peer's response whose phase 1 is running (service
    // thread): a service has nothing to finish for a request the peer refused.
    std::atomic<uint32_t> peerStatus;
};

// --- operations ----------------------------------------------------------------------

// Builds the record of params->sid and starts its thread; the record starts
// closed. On failure nothing stays allocated and *service is null.
ERRG_codeE SERVICEG_init(SERVICEG_serviceT** service, const SERVICEG_initParamsT* params);
// Ends the thread and releases everything the record holds, including the
// buffers of messages still queued. No caller may be inside SERVICEG_ioctl
// of this record once it has returned.
void SERVICEG_deInit(SERVICEG_serviceT* service);
ERRG_codeE SERVICEG_open(SERVICEG_serviceT* service, uint32_t phase);
ERRG_codeE SERVICEG_close(SERVICEG_serviceT* service, uint32_t phase);
// The synchronous round trip: params (length bytes, the host size of code) is
// sent and, on return, overwritten with the answer's record.
ERRG_codeE SERVICEG_ioctl(SERVICEG_serviceT* service, uint32_t code, void* params, uint32_t length);
ERRG_codeE SERVICEG_sendMsg2Peer(SERVICEG_serviceT* service, SERVICEG_sendParamsT* params);
uint32_t SERVICEG_isOpen(SERVICEG_serviceT* service);
// The record of sid (null for a sid above 9).
SERVICEG_serviceT* SERVICEG_getHandle(uint32_t sid);
const char* SERVICEG_getName(SERVICEG_serviceT* service);
MEM_POOLG_handleT SERVICEG_getDataChanPool(SERVICEG_serviceT* service);
void SERVICEG_showStats(SERVICEG_serviceT* service);
uint32_t SERVICEG_getLinkState(SERVICEG_serviceT* service);
// In phase 1 of hostIoctl: the status the peer answered the request with.
ERRG_codeE SERVICEG_getPeerStatus(SERVICEG_serviceT* service);

// Stops the link (when enabled) and asks the thread to end within one loop period.
void SERVICEP_stopLink(SERVICEG_serviceT* service);
ERRG_codeE SERVICEP_linkStateMachineInvoke(SERVICEG_serviceT* service, uint32_t event);
void SERVICEP_timerExpiredCb(void* arg);
const char* SERVICEP_stateName(uint32_t state);
const char* SERVICEP_eventName(uint32_t event);

// For services whose data handler queues the payload chain with the message:
// the chain taken from the holder the framework passed (the framework then
// frees nothing). A null holder is a message without payload: an empty chain.
inline MEM_POOLG_bufDescT* SERVICEP_takeChain(MEM_POOLG_bufDescT** holder) {
    if (holder == nullptr) return nullptr;
    MEM_POOLG_bufDescT* chain = *holder;
    *holder = nullptr;
    return chain;
}

// Takes every message left in `queue`, without waiting, and frees the chain it
// carries (`Msg::chain`). Drained through the heap: some messages are large.
template <typename Msg>
void SERVICEP_freeQueuedChains(OS_LYRG_msgQueT* queue) {
    auto msg = std::make_unique<Msg>();
    uint32_t length = sizeof(Msg);
    while (OS_LYRG_recvMsg(queue, msg.get(), &length, 0) == OS_LYRG_SUCCESS) {
        MEM_POOLG_freeBuff(msg->chain);
        length = sizeof(Msg);
    }
}

// Test support only: the link timer's first expiry and period in ms (1000
// unless a test shortens it, so that link loss can be exercised quickly).
// Takes effect at the next START. Never called by the system itself.
void SERVICEP_setLinkPeriodForTest(uint32_t periodMs);
