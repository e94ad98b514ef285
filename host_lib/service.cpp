#include "host_lib/service.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "host_lib/marshal.h"
#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

// --- module state ------------------------------------------------------------------

struct ServiceState {
    SERVICEG_serviceT services[SERVICEG_NUM_SERVICES];
    // Shared by all records; only a record whose link runs touches it.
    std::atomic<int32_t> disconnectCountdown;
    std::atomic<uint32_t> linkPeriodMs;  // 0: the standard period
};
static_assert(offsetof(SERVICEG_serviceT, sid) == 0, "the sid is the handle's first u32");

ServiceState* state() {
    return PZContext_GetZeroFilledState<ServiceState>(PZContext_FixedKey(PZ_SLOT_SERVICE));
}

constexpr char kInFifoPrefix[] = "/InFifo";
constexpr char kOutFifoPrefix[] = "/OutFifo";

using morv::runtime::OsMutexLock;

const char* nameOf(const SERVICEG_serviceT* service) {
    const SERVICE_opsTable* ops = service->ops.load();
    if (ops == nullptr || ops->getName == nullptr) return "";
    const char* name = ops->getName();
    return name != nullptr ? name : "";
}

// Type and remote flags of word0 with a new length. The reserved bits are
// dropped: whatever the wire put there, and the host-origin mark, which
// never leaves the host.
uint32_t withLength(uint32_t word0, uint32_t length) {
    return SVC_COMG_word0(SVC_COMG_word0Type(word0), length, SVC_COMG_word0Flags(word0));
}

bool readClosed(SERVICEG_serviceT* service, uint32_t* stop) {
    OsMutexLock lock(&service->stateMutex);
    *stop = service->stop;
    return service->closed != 0;
}

void setStop(SERVICEG_serviceT* service) {
    OsMutexLock lock(&service->stateMutex);
    service->stop = 1;
}

void setClosed(SERVICEG_serviceT* service, uint32_t closed) {
    OsMutexLock lock(&service->stateMutex);
    service->closed = closed;
}

// "/InFifo" or "/OutFifo" and as much of the service name as fits in 31 characters.
void queueName(char (&out)[SERVICEG_QUEUE_NAME_SIZE], const char* prefix, const char* name) {
    const size_t prefixLength = std::strlen(prefix);
    std::snprintf(out, sizeof(out), "%s%.*s", prefix, static_cast<int>(sizeof(out) - 1 - prefixLength), name);
}

bool createQueue(OS_LYRG_msgQueT* queue, const char* prefix, const char* name, uint16_t count) {
    char text[SERVICEG_QUEUE_NAME_SIZE];
    queueName(text, prefix, name);
    *queue = OS_LYRG_msgQueT{};
    queue->maxMsgs = count;
    queue->msgSize = SERVICEG_QUEUE_MSG_SIZE;
    std::snprintf(queue->name, sizeof(queue->name), "%s", text);
    return OS_LYRG_createMsgQue(queue, 0) == OS_LYRG_SUCCESS && queue->handle != nullptr;
}

bool tryReceive(OS_LYRG_msgQueT* queue, SERVICE_queueMsg* msg, uint32_t timeoutMs) {
    uint32_t length = sizeof(*msg);
    if (OS_LYRG_recvMsg(queue, msg, &length, timeoutMs) != OS_LYRG_SUCCESS) return false;
    return length == sizeof(*msg);
}

// Empties a queue, releasing every buffer still in it.
void drainQueue(OS_LYRG_msgQueT* queue) {
    SERVICE_queueMsg msg{};
    while (tryReceive(queue, &msg, 0)) MEM_POOLG_freeBuff(msg.buffer);
}

void releaseQueue(OS_LYRG_msgQueT* queue, uint32_t* created) {
    if (*created == 0) return;
    drainQueue(queue);
    if (OS_LYRG_deleteMsgQue(queue) != OS_LYRG_SUCCESS)
        LOGG_PRINT(LOG_WARN_E, 0, "warning OS_LYRG_deleteMsgQue failed\n");
    queue->handle = nullptr;
    *created = 0;
}

void releaseMutex(OS_LYRG_mutexT* mutex, uint32_t* created) {
    if (*created == 0) return;
    if (OS_LYRG_releaseMutex(mutex) != OS_LYRG_SUCCESS)
        LOGG_PRINT(LOG_WARN_E, 0, "warning OS_LYRG_releaseMutex failed\n");
    *mutex = nullptr;
    *created = 0;
}

// Payload view of a chain whose first buffer holds the parameter record.
struct PayloadView {
    void* data = nullptr;
    uint32_t length = 0;
    MEM_POOLG_bufDescT** holder = nullptr;
};

PayloadView payloadOf(MEM_POOLG_bufDescT* first) {
    PayloadView view;
    if (first != nullptr && first->next != nullptr) {
        view.data = first->next->data;
        view.length = first->next->len;
        view.holder = &first->next;
    }
    return view;
}

void* recordOf(MEM_POOLG_bufDescT* buffer) { return buffer != nullptr ? buffer->data : nullptr; }

// --- sending ---------------------------------------------------------------------

// A buffer of the channel's pool with the header room free in front of its data.
ERRG_codeE allocForSend(SVC_COMG_handleT channel, uint32_t size, MEM_POOLG_bufDescT** buffer) {
    MEM_POOLG_handleT pool = channel != nullptr ? channel->pool.load() : nullptr;
    const uint32_t room = SVC_COMG_getHeaderRoom();
    ERRG_codeE status = MEM_POOLG_alloc(pool, size + room, buffer);
    if (ERRG_FAILED(status)) return status;
    (*buffer)->data = static_cast<uint8_t*>((*buffer)->base) + room;
    (*buffer)->len = 0;
    return status;
}

// Marshals msg's host record into a fresh packet on msg's channel, moves the
// payload behind it and sends it. The host buffer is released in every case.
ERRG_codeE SERVICEP_forwardToPeer(SERVICEG_serviceT* service, const SERVICE_queueMsg& msg) {
    MEM_POOLG_bufDescT* host = msg.buffer;
    const uint32_t size = MARSHALG_getMarshalledSize(msg.code);
    MEM_POOLG_bufDescT* out = nullptr;
    ERRG_codeE status = allocForSend(msg.channel, size, &out);
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_DEBUG_E, status, "Alloc failed for %d B on chan %d\n", size + SVC_COMG_getHeaderRoom(),
                   msg.channel != nullptr ? static_cast<int>(SVC_COMG_getChannelNum(msg.channel)) : -1);
        MEM_POOLG_freeBuff(host);
        return status;
    }
    uint32_t written = 0;
    if (!MARSHALG_convert(MARSHALG_MARSHAL_E, msg.code, recordOf(host), out->data, size, &written)) {
        LOGG_PRINT(LOG_ERROR_E, SERVICE__ERR_INVALID_ARGS, "%s: cannot marshal msgcode=0x%x\n", nameOf(service),
                   msg.code);
        MEM_POOLG_freeBuff(out);
        MEM_POOLG_freeBuff(host);
        return SERVICE__ERR_INVALID_ARGS;
    }
    out->len = size;
    if (host != nullptr && host->next != nullptr) {
        MEM_POOLG_bufDescT* payload = host->next;
        host->next = nullptr;
        MEM_POOLG_chain(out, payload);
    }
    MEM_POOLG_freeBuff(host);
    const SVC_COMG_hdrT header{withLength(msg.word0, MEM_POOLG_getChainLen(out)), msg.code, msg.status};
    status = SVC_COMG_channelSend(msg.channel, &header, out);
    if (ERRG_FAILED(status)) MEM_POOLG_freeBuff(out);
    return status;
}

// Hands an answer to the caller waiting in SERVICEG_ioctl; an answer nobody
// waits for (its caller gave up, or it answers something else) is released
// here instead of lying in wait for the next caller.
void postAnswer(SERVICEG_serviceT* service, const SERVICE_queueMsg& msg) {
    if (service->awaiting.load() == 0 || service->awaitedCode.load() != msg.code) {
        service->staleAnswers.fetch_add(1);
        LOGG_PRINT(LOG_WARN_E, 0, "%s: answer 0x%08x with no caller waiting for it dropped\n", nameOf(service),
                   msg.code);
        MEM_POOLG_freeBuff(msg.buffer);
        return;
    }
    if (OS_LYRG_sendMsg(&service->outQueue, &msg, sizeof(msg)) != OS_LYRG_SUCCESS) MEM_POOLG_freeBuff(msg.buffer);
}

void answerOrForward(SERVICEG_serviceT* service, const SERVICE_queueMsg& msg) {
    if (SVC_COMG_word0Flags(msg.word0) == 0)
        postAnswer(service, msg);
    else
        SERVICEP_forwardToPeer(service, msg);
}

void SERVICEP_sendKeepAlive(SERVICEG_serviceT* service) {
    SVC_COMG_handleT channel = service->channels[service->keepAliveChannel != 0 ? 1 : 0];
    MEM_POOLG_bufDescT* buffer = nullptr;
    ERRG_codeE status = allocForSend(channel, 0, &buffer);
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_DEBUG_E, status, "Alloc failed for %d B on chan %d\n", SVC_COMG_getHeaderRoom(),
                   channel != nullptr ? static_cast<int>(SVC_COMG_getChannelNum(channel)) : -1);
        return;
    }
    // The header announces the keep-alive's record size; no record bytes follow.
    const SVC_COMG_hdrT header{SVC_COMG_word0(SERVICEG_MSG_LINK_E, MARSHALG_getIoctlSize(VPU_CMDG_KEEP_ALIVE_E)),
                               VPU_CMDG_KEEP_ALIVE_E, 0};
    if (ERRG_FAILED(SVC_COMG_channelSend(channel, &header, buffer))) MEM_POOLG_freeBuff(buffer);
}

// --- link ------------------------------------------------------------------------

void notifyLink(SERVICEG_serviceT* service, uint32_t event) {
    if (service->linkNotify != nullptr) service->linkNotify(service->sid, event);
}

void startLinkTimer(SERVICEG_serviceT* service) {
    uint32_t periodMs = state()->linkPeriodMs.load();
    if (periodMs == 0) periodMs = SERVICEG_LINK_PERIOD_MS;
    OS_LYRG_timerT& timer = service->linkTimer;
    timer.firstSec = static_cast<uint16_t>(periodMs / 1000);
    timer.firstNsec = (periodMs % 1000) * 1000000u;
    timer.periodSec = timer.firstSec;
    timer.periodNsec = timer.firstNsec;
    OS_LYRG_startTimer(&timer);
}

// Restarting with zero times stops the timer.
void stopLinkTimer(SERVICEG_serviceT* service) {
    OS_LYRG_timerT& timer = service->linkTimer;
    timer.firstSec = 0;
    timer.firstNsec = 0;
    timer.periodSec = 0;
    timer.periodNsec = 0;
    OS_LYRG_startTimer(&timer);
}

// A keep-alive answer, applied from the service thread whatever the
// link-enabled flag says. Called with linkMutex held.
void linkRxLocked(SERVICEG_serviceT* service) {
    switch (service->linkState.load()) {
        case SERVICEG_LINK_DISCONNECT_E:
            service->linkState = SERVICEG_LINK_CONNECT_E;
            LOGG_PRINT(LOG_INFO_E, 0, "Service %s Connected\n", nameOf(service));
            notifyLink(service, VPUG_CONN_STATE_CONNECTED_E);
            break;
        case SERVICEG_LINK_DEAD_LINK_E:
            service->linkState = SERVICEG_LINK_CONNECT_E;
            break;
        case SERVICEG_LINK_INIT_E:
        case SERVICEG_LINK_CONNECT_E:
            break;
        default:
            LOGG_PRINT(LOG_ERROR_E, 0, "unknown state! service %s state %s\n", nameOf(service),
                       SERVICEP_stateName(service->linkState.load()));
            break;
    }
}

// The stop transition out of CONNECT and DEAD_LINK.
void stopConnected(SERVICEG_serviceT* service) {
    stopLinkTimer(service);
    service->linkState = SERVICEG_LINK_INIT_E;
    LOGG_PRINT(LOG_INFO_E, 0, "Service %s Disconnected (stopped)\n", nameOf(service));
    notifyLink(service, VPUG_CONN_STATE_DISCONNECTED_E);
}

ERRG_codeE illegalEvent(SERVICEG_serviceT* service, uint32_t event) {
    LOGG_PRINT(LOG_ERROR_E, SERVICE__ERR_ILLEGAL_STATE, "Link state machine: service %s event %s, state %s\n",
               nameOf(service), SERVICEP_eventName(event), SERVICEP_stateName(service->linkState.load()));
    return SERVICE__ERR_ILLEGAL_STATE;
}

ERRG_codeE linkInvokeLocked(SERVICEG_serviceT* service, uint32_t event) {
    std::atomic<int32_t>& countdown = state()->disconnectCountdown;
    switch (service->linkState.load()) {
        case SERVICEG_LINK_INIT_E:
            if (event != SERVICEG_LINK_EVENT_START_E) return SERVICE__ERR_ILLEGAL_STATE;
            startLinkTimer(service);
            service->linkState = SERVICEG_LINK_DISCONNECT_E;
            return SERVICE__RET_SUCCESS;
        case SERVICEG_LINK_DISCONNECT_E:
            switch (event) {
                case SERVICEG_LINK_EVENT_TIMER_EXPIRED_E:
                    if (countdown.load() > 0 && countdown.fetch_sub(1) - 1 == 0) {
                        LOGG_PRINT(LOG_WARN_E, 0, "Service %s disconnect (timeout)\n", nameOf(service));
                        notifyLink(service, VPUG_CONN_STATE_DISCONNECTED_E);
                    }
                    SERVICEP_sendKeepAlive(service);
                    return SERVICE__RET_SUCCESS;
                case SERVICEG_LINK_EVENT_RX_E:
                    linkRxLocked(service);
                    return SERVICE__RET_SUCCESS;
                case SERVICEG_LINK_EVENT_STOP_E:
                    stopLinkTimer(service);
                    service->linkState = SERVICEG_LINK_INIT_E;
                    return SERVICE__RET_SUCCESS;
                default:
                    return illegalEvent(service, event);
            }
        case SERVICEG_LINK_CONNECT_E:
            switch (event) {
                case SERVICEG_LINK_EVENT_TIMER_EXPIRED_E:
                    SERVICEP_sendKeepAlive(service);
                    service->linkState = SERVICEG_LINK_DEAD_LINK_E;
                    return SERVICE__RET_SUCCESS;
                case SERVICEG_LINK_EVENT_RX_E:
                    return SERVICE__RET_SUCCESS;
                case SERVICEG_LINK_EVENT_STOP_E:
                    stopConnected(service);
                    return SERVICE__RET_SUCCESS;
                default:
                    return illegalEvent(service, event);
            }
        case SERVICEG_LINK_DEAD_LINK_E:
            switch (event) {
                case SERVICEG_LINK_EVENT_TIMER_EXPIRED_E:
                    SERVICEP_sendKeepAlive(service);
                    LOGG_PRINT(LOG_WARN_E, 0, "Service %s disconnect pending (timeout)\n", nameOf(service));
                    notifyLink(service, VPUG_CONN_STATE_DISCONNECT_PENDING_E);
                    countdown = SERVICEG_DISCONNECT_COUNTDOWN;
                    service->linkState = SERVICEG_LINK_DISCONNECT_E;
                    return SERVICE__RET_SUCCESS;
                case SERVICEG_LINK_EVENT_RX_E:
                    service->linkState = SERVICEG_LINK_CONNECT_E;
                    return SERVICE__RET_SUCCESS;
                case SERVICEG_LINK_EVENT_STOP_E:
                    stopConnected(service);
                    return SERVICE__RET_SUCCESS;
                default:
                    return illegalEvent(service, event);
            }
        default:
            LOGG_PRINT(LOG_ERROR_E, SERVICE__ERR_ILLEGAL_STATE, "unknown state! service %s state %s\n",
                       nameOf(service), SERVICEP_stateName(service->linkState.load()));
            return SERVICE__ERR_ILLEGAL_STATE;
    }
}

// --- service thread ----------------------------------------------------------------

void SERVICEP_handleMsg(SERVICEG_serviceT* service, SERVICE_queueMsg& msg) {
    const SERVICE_opsTable* ops = service->ops.load();
    switch (SVC_COMG_word0Type(msg.word0)) {
        case SERVICEG_MSG_REQUEST_E: {
            ERRG_codeE result = SERVICE__INCOMPLETE;
            if (ops != nullptr && ops->hostIoctl != nullptr) {
                SERVICEG_requestT request{nullptr, SERVICEG_PHASE_START_E, msg.code, recordOf(msg.buffer)};
                result = ops->hostIoctl(&request);
            }
            if (result == SERVICE__INCOMPLETE) {
                // From here on the peer's response to the caller's code is due.
                uint32_t posted = SERVICEG_AWAIT_POSTED_E;
                if ((msg.word0 & SERVICEG_HOST_ORIGIN) != 0 && service->awaitedCode.load() == msg.code)
                    service->awaiting.compare_exchange_strong(posted, SERVICEG_AWAIT_FORWARDED_E);
                SERVICEP_forwardToPeer(service, msg);
                return;
            }
            msg.status = result;
            msg.word0 = (msg.word0 & ~0x3u) | SERVICEG_MSG_RESPONSE_E;
            answerOrForward(service, msg);
            return;
        }
        case SERVICEG_MSG_RESPONSE_E: {
            // Phase 1 acts on what the peer says it did (a stream start adds
            // a sink), so it runs only for the response a caller waits for:
            // its request went to the peer and the codes match. A response
            // for the peer itself (remote flags) answers no host caller, and
            // only the first response to a request counts.
            uint32_t forwarded = SERVICEG_AWAIT_FORWARDED_E;
            if (SVC_COMG_word0Flags(msg.word0) != 0 || service->awaitedCode.load() != msg.code ||
                !service->awaiting.compare_exchange_strong(forwarded, SERVICEG_AWAIT_ANSWERED_E)) {
                service->staleAnswers.fetch_add(1);
                LOGG_PRINT(LOG_WARN_E, 0, "%s: unsolicited answer 0x%08x dropped\n", nameOf(service), msg.code);
                MEM_POOLG_freeBuff(msg.buffer);
                return;
            }
            if (ops != nullptr && ops->hostIoctl != nullptr) {
                // Phase 1 learns the peer's status; when the peer succeeded but
                // the host cannot finish its half, the caller hears of it.
                service->peerStatus = msg.status;
                SERVICEG_requestT request{nullptr, SERVICEG_PHASE_DONE_E, msg.code, recordOf(msg.buffer)};
                const ERRG_codeE result = ops->hostIoctl(&request);
                if (ERRG_SUCCEEDED(msg.status) && ERRG_FAILED(result) && result != SERVICE__INCOMPLETE)
                    msg.status = result;
            }
            postAnswer(service, msg);
            return;
        }
        case SERVICEG_MSG_DATA_E: {
            if (ops != nullptr && ops->handleMsg != nullptr) {
                const PayloadView payload = payloadOf(msg.buffer);
                const ERRG_codeE result =
                    ops->handleMsg(msg.code, recordOf(msg.buffer), payload.data, payload.length, payload.holder);
                if (result != SERVICE__INCOMPLETE) {
                    MEM_POOLG_freeBuff(msg.buffer);
                    return;
                }
            }
            SERVICEP_forwardToPeer(service, msg);
            return;
        }
        case SERVICEG_MSG_LINK_E:
        default:
            if (SVC_COMG_word0Flags(msg.word0) != 0) {
                SERVICEP_forwardToPeer(service, msg);
                return;
            }
            // Taken from the queue: the next answer is queued again.
            service->linkRxQueued = 0;
            {
                std::lock_guard<std::mutex> lock(service->linkMutex);
                if (service->linkShutdown == 0) linkRxLocked(service);
            }
            MEM_POOLG_freeBuff(msg.buffer);
            return;
    }
}

uint32_t SERVICEP_thread(void* param) {
    auto* service = static_cast<SERVICEG_serviceT*>(param);
    if (service->linkEnabled != 0) {
        {
            std::lock_guard<std::mutex> lock(service->linkMutex);
            service->linkTimer.callback = &SERVICEP_timerExpiredCb;
            service->linkTimer.arg = service;
        }
        SERVICEP_linkStateMachineInvoke(service, SERVICEG_LINK_EVENT_START_E);
    }
    for (;;) {
        uint32_t stop = 0;
        if (readClosed(service, &stop)) {
            if (stop != 0) break;
            OS_LYRG_sleepMs(service->loopPeriodMs);
        } else {
            SERVICE_queueMsg msg{};
            if (tryReceive(&service->inQueue, &msg, service->loopPeriodMs)) SERVICEP_handleMsg(service, msg);
            const SERVICE_opsTable* ops = service->ops.load();
            if (ops != nullptr && ops->periodic != nullptr) ops->periodic();
        }
        readClosed(service, &stop);
        if (stop != 0) break;
    }
    if (service->linkEnabled != 0) {
        std::lock_guard<std::mutex> lock(service->linkMutex);
        stopLinkTimer(service);
    }
    return SERVICE__RET_SUCCESS;
}

// --- receiving ------------------------------------------------------------------------

ERRG_codeE SERVICEP_channelCb(SERVICEG_serviceT* service, const SVC_COMG_hdrT* header, MEM_POOLG_bufDescT* received,
                              uint32_t index) {
    const uint32_t code = header->code;
    const uint32_t type = SVC_COMG_word0Type(header->word0);
    // The code and the length come from the wire: size nothing by a code the
    // table does not know, and unmarshal nothing from fewer bytes than the
    // code's wire record. Link messages need no record: a keep-alive carries
    // none, whatever its header announces.
    if (!MARSHALG_isKnownCode(code)) {
        service->rejected.fetch_add(1);
        LOGG_PRINT(LOG_ERROR_E, SERVICE__ERR_INVALID_ARGS, "%s: unknown msgcode=0x%x dropped\n", nameOf(service),
                   code);
        MEM_POOLG_freeBuff(received);
        return SERVICE__ERR_INVALID_ARGS;
    }
    // A request from the peer is answered back to the peer (remote flags);
    // one without them would have its answer handed to whichever host caller
    // waits for that code: a forged answer.
    if (type == SERVICEG_MSG_REQUEST_E && SVC_COMG_word0Flags(header->word0) == 0) {
        service->rejected.fetch_add(1);
        LOGG_PRINT(LOG_ERROR_E, SERVICE__ERR_INVALID_ARGS, "%s: request msgcode=0x%x answering the host dropped\n",
                   nameOf(service), code);
        MEM_POOLG_freeBuff(received);
        return SERVICE__ERR_INVALID_ARGS;
    }
    const uint32_t wireSize = MARSHALG_getMarshalledSize(code);
    const uint32_t hostSize = MARSHALG_getIoctlSize(code);
    if (received->len < wireSize && type != SERVICEG_MSG_LINK_E) {
        service->rejected.fetch_add(1);
        LOGG_PRINT(LOG_ERROR_E, SERVICE__ERR_INVALID_ARGS, "%s: msgcode=0x%x too short (%u < %u B) dropped\n",
                   nameOf(service), code, received->len, wireSize);
        MEM_POOLG_freeBuff(received);
        return SERVICE__ERR_INVALID_ARGS;
    }

    MEM_POOLG_bufDescT* host = nullptr;
    ERRG_codeE status = MEM_POOLG_alloc(service->pool, hostSize, &host);
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_ERROR_E, status, "out of mem msgcode=0x%x size=%d pool size=%d num bufs=%d\n", code, hostSize,
                   MEM_POOLG_getBuffSize(service->pool), MEM_POOLG_getNumBuffs(service->pool));
        MEM_POOLG_freeBuff(received);
        return SERVICE__ERR_OUT_OF_MEM;
    }
    host->len = hostSize;
    if (received->len >= wireSize)
        MARSHALG_convert(MARSHALG_UNMARSHAL_E, code, host->data, received->data, received->len, nullptr);
    else if (hostSize > 0)
        std::memset(host->data, 0, hostSize);
    // Whatever follows the wire record is payload.
    if (received->len > wireSize) {
        received->data = static_cast<uint8_t*>(received->data) + wireSize;
        received->len -= wireSize;
        MEM_POOLG_chain(host, received);
    } else {
        MEM_POOLG_freeBuff(received);
    }

    const SERVICE_opsTable* ops = service->ops.load();
    SERVICE_msgOpT fastPath = nullptr;
    if (ops != nullptr) fastPath = index == SERVICEG_CTRL_CHANNEL_E ? ops->ctrlFastPath : ops->dataFastPath;
    if (type == SERVICEG_MSG_DATA_E && fastPath != nullptr) {
        const PayloadView payload = payloadOf(host);
        if (ERRG_SUCCEEDED(fastPath(code, host->data, payload.data, payload.length, payload.holder))) {
            MEM_POOLG_freeBuff(host);
            return SERVICE__RET_SUCCESS;
        }
    }

    // A keep-alive answer for this host while another still waits in the
    // queue adds nothing: it is released here rather than taking a place
    // that an ioctl's answer may need.
    const bool linkRx = type == SERVICEG_MSG_LINK_E && SVC_COMG_word0Flags(header->word0) == 0;
    if (linkRx && service->linkRxQueued.exchange(1) != 0) {
        service->linkRxMerged.fetch_add(1);
        MEM_POOLG_freeBuff(host);
        return SERVICE__RET_SUCCESS;
    }
    const SERVICE_queueMsg msg{withLength(header->word0, MEM_POOLG_getChainLen(host)), code, header->status, host,
                               service->channels[index]};
    if (OS_LYRG_sendMsg(&service->inQueue, &msg, sizeof(msg)) != OS_LYRG_SUCCESS) {
        if (linkRx) service->linkRxQueued = 0;
        MEM_POOLG_freeBuff(host);
        return SERVICE__ERR_OUT_OF_RSRCS;
    }
    return SERVICE__RET_SUCCESS;
}

// A code whose record is a host address (a buffer to free, a read function to
// fill in) means something only between a host caller and its service: from
// the device it would have the host free, or send out, an address of the
// device's choosing. Such a message is dropped here, before any service or
// queue sees it, with one WARN line. True when it was dropped.
bool dropHostOnly(SERVICEG_serviceT* service, const SVC_COMG_hdrT* header, MEM_POOLG_bufDescT* received) {
    if (!MARSHALG_isHostOnlyCode(header->code)) return false;
    service->hostOnlyDrops.fetch_add(1);
    LOGG_PRINT(LOG_WARN_E, SERVICE__ERR_INVALID_ARGS, "%s: host-only msgcode=0x%x (type %u) from the device dropped\n",
               nameOf(service), header->code, SVC_COMG_word0Type(header->word0));
    MEM_POOLG_freeBuff(received);
    return true;
}

ERRG_codeE SERVICEP_ctrlChannelCb(void* user, const SVC_COMG_hdrT* header, MEM_POOLG_bufDescT* buffer) {
    auto* service = static_cast<SERVICEG_serviceT*>(user);
    service->ctrlCount.fetch_add(1);
    if (dropHostOnly(service, header, buffer) ||
        ERRG_FAILED(SERVICEP_channelCb(service, header, buffer, SERVICEG_CTRL_CHANNEL_E)))
        service->ctrlDrops.fetch_add(1);
    return 0;
}

ERRG_codeE SERVICEP_dataChannelCb(void* user, const SVC_COMG_hdrT* header, MEM_POOLG_bufDescT* buffer) {
    auto* service = static_cast<SERVICEG_serviceT*>(user);
    service->dataCount.fetch_add(1);
    if (dropHostOnly(service, header, buffer)) {
        service->dataDrops.fetch_add(1);
        return 0;
    }
    const ERRG_codeE status = SERVICEP_channelCb(service, header, buffer, SERVICEG_DATA_CHANNEL_E);
    if (ERRG_FAILED(status)) {
        service->dataDrops.fetch_add(1);
        LOGG_PRINT(LOG_ERROR_E, status, "pkt drop\n");
    }
    return 0;
}

void setCallbacks(SERVICEG_serviceT* service, bool on) {
    SVC_COMG_setRxCallback(service->channels[0], on ? &SERVICEP_ctrlChannelCb : nullptr, on ? service : nullptr);
    SVC_COMG_setRxCallback(service->channels[1], on ? &SERVICEP_dataChannelCb : nullptr, on ? service : nullptr);
    service->callbacksSet = on ? 1 : 0;
}

// Releases what a record holds, in the order that keeps every other thread
// off it: the link first, then the channels' receive callbacks (the channel
// layer runs a callback under the lock that unregistering takes, so none is
// running once they are gone), then the thread, and only then the queues
// those three post to.
void releaseRecord(SERVICEG_serviceT* service) {
    {
        std::lock_guard<std::mutex> lock(service->linkMutex);
        service->linkShutdown = 1;
        OS_LYRG_stopTimer(&service->linkTimer);
    }
    if (service->callbacksSet != 0) setCallbacks(service, false);
    if (service->thread.handle != nullptr) {
        setStop(service);
        if (OS_LYRG_waitForThread(service->thread.handle, SERVICEG_THREAD_TIMEOUT_MS) != OS_LYRG_SUCCESS)
            LOGG_PRINT(LOG_ERROR_E, 0, "OS_LYRG_waitForThread failed\n");
        service->thread.handle = nullptr;
    }
    if (service->ioctlMutexCreated != 0) {
        // A caller still waiting for its answer finishes before the queues go.
        OsMutexLock lock(&service->ioctlMutex);
        releaseQueue(&service->inQueue, &service->inQueueCreated);
        releaseQueue(&service->outQueue, &service->outQueueCreated);
    } else {
        releaseQueue(&service->inQueue, &service->inQueueCreated);
        releaseQueue(&service->outQueue, &service->outQueueCreated);
    }
    releaseMutex(&service->ioctlMutex, &service->ioctlMutexCreated);
    if (service->pool != nullptr) {
        MEM_POOLG_closePool(service->pool);
        service->pool = nullptr;
    }
    if (service->stateMutexCreated != 0) {
        OsMutexLock lock(&service->stateMutex);
        service->closed = 1;
    }
    service->ops = nullptr;
    releaseMutex(&service->stateMutex, &service->stateMutexCreated);
}

}  // namespace

// --- public operations --------------------------------------------------------------

ERRG_codeE SERVICEG_init(SERVICEG_serviceT** out, const SERVICEG_initParamsT* params) {
    if (out != nullptr) *out = nullptr;
    if (out == nullptr || params == nullptr || params->sid >= SERVICEG_NUM_SERVICES || params->ops == nullptr ||
        params->channels == nullptr)
        return SERVICE__ERR_INVALID_ARGS;
    SERVICEG_serviceT* service = &state()->services[params->sid];
    service->sid = params->sid;
    service->ops = params->ops;
    service->loopPeriodMs = params->loopPeriodMs;
    service->closed = 1;
    service->stop = 0;
    service->stateMutexCreated = 0;
    service->ioctlMutexCreated = 0;
    service->inQueueCreated = 0;
    service->outQueueCreated = 0;
    service->callbacksSet = 0;
    service->pool = nullptr;
    service->thread = OS_LYRG_threadParamsT{};
    service->ctrlCount = 0;
    service->dataCount = 0;
    service->ctrlDrops = 0;
    service->dataDrops = 0;
    service->rejected = 0;
    service->staleAnswers = 0;
    service->hostOnlyDrops = 0;
    service->linkRxQueued = 0;
    service->linkRxMerged = 0;
    service->peerStatus = SERVICE__RET_SUCCESS;
    service->awaiting = 0;
    service->awaitedCode = 0;
    {
        // A record de-initialised without a STOP would otherwise refuse its next START.
        std::lock_guard<std::mutex> lock(service->linkMutex);
        service->linkShutdown = 0;
        service->linkState = SERVICEG_LINK_INIT_E;
        service->linkTimer = OS_LYRG_timerT{};
    }
    const char* name = nameOf(service);

    ERRG_codeE status = SERVICE__RET_SUCCESS;
    if (!createQueue(&service->inQueue, kInFifoPrefix, name, params->queueLength)) {
        status = SERVICE__ERR_OUT_OF_RSRCS;
    } else {
        service->inQueueCreated = 1;
        if (!createQueue(&service->outQueue, kOutFifoPrefix, name, 1)) status = SERVICE__ERR_OUT_OF_RSRCS;
        else service->outQueueCreated = 1;
    }
    if (ERRG_SUCCEEDED(status)) {
        if (OS_LYRG_createMutex(&service->ioctlMutex) != OS_LYRG_SUCCESS) status = SERVICE__ERR_OUT_OF_RSRCS;
        else service->ioctlMutexCreated = 1;
    }
    if (ERRG_SUCCEEDED(status)) {
        if (OS_LYRG_createMutex(&service->stateMutex) != OS_LYRG_SUCCESS) status = SERVICE__ERR_OUT_OF_RSRCS;
        else service->stateMutexCreated = 1;
    }
    if (ERRG_SUCCEEDED(status)) {
        service->channels[0] = params->channels[0];
        service->channels[1] = params->channels[1];
        const auto poolOf = [](SVC_COMG_handleT channel) {
            return channel != nullptr ? channel->pool.load() : nullptr;
        };
        MEM_POOLG_cfgT cfg{};
        cfg.bufSize = MARSHALG_getMaxSize(params->sid);
        cfg.count = std::max(MEM_POOLG_getNumBuffs(poolOf(service->channels[0])),
                             MEM_POOLG_getNumBuffs(poolOf(service->channels[1])));
        MEM_POOLG_newPool(&service->pool, MEM_POOLG_BUF_TYPE_HEAP_E, &cfg);
        if (service->pool == nullptr) {
            status = SERVICE__ERR_OUT_OF_RSRCS;
        } else {
            LOGG_PRINT(LOG_DEBUG_E, 0, "%s service init internal mempool %p (%dB x %d)\n", name,
                       static_cast<void*>(service->pool), cfg.bufSize, cfg.count);
        }
    }
    if (ERRG_SUCCEEDED(status)) {
        setCallbacks(service, true);
        service->linkEnabled = params->linkEnabled;
        service->keepAliveChannel = params->keepAliveChannel;
        service->linkNotify = params->linkNotify;
        service->thread.func = &SERVICEP_thread;
        service->thread.param = service;
        service->thread.id = params->threadId;
        service->thread.name = nullptr;
        try {
            service->thread.handle = OS_LYRG_createThread(&service->thread);
        } catch (const std::exception&) {
            service->thread.handle = nullptr;
        }
        if (service->thread.handle == nullptr) {
            LOGG_PRINT(LOG_ERROR_E, SERVICE__ERR_OUT_OF_RSRCS, "%s thread launch timeout/err %d msec \n", name,
                       SERVICEG_THREAD_TIMEOUT_MS);
            status = SERVICE__ERR_OUT_OF_RSRCS;
        }
    }
    // A record that is not whole gets no thread: release what was made.
    if (ERRG_FAILED(status)) {
        releaseRecord(service);
        return status;
    }
    *out = service;
    return status;
}

void SERVICEG_deInit(SERVICEG_serviceT* service) {
    if (service == nullptr) return;
    releaseRecord(service);
}

ERRG_codeE SERVICEG_open(SERVICEG_serviceT* service, uint32_t phase) {
    if (service == nullptr) return SERVICE__ERR_INVALID_ARGS;
    const SERVICE_opsTable* ops = service->ops.load();
    ERRG_codeE result = SERVICE__RET_SUCCESS;
    if (ops != nullptr && ops->open != nullptr) {
        SERVICEG_requestT request{service, phase, 0, nullptr};
        result = ops->open(&request);
    }
    if ((ERRG_FAILED(result) && result != SERVICE__INCOMPLETE) || phase == SERVICEG_PHASE_DONE_E) return result;
    service->ctrlCount = 0;
    service->dataCount = 0;
    service->ctrlDrops = 0;
    service->dataDrops = 0;
    setClosed(service, 0);
    return result;
}

ERRG_codeE SERVICEG_close(SERVICEG_serviceT* service, uint32_t phase) {
    if (service == nullptr) return SERVICE__ERR_INVALID_ARGS;
    const SERVICE_opsTable* ops = service->ops.load();
    ERRG_codeE result = SERVICE__RET_SUCCESS;
    if (ops != nullptr && ops->close != nullptr) {
        SERVICEG_requestT request{service, phase, 0, nullptr};
        result = ops->close(&request);
    }
    if ((ERRG_FAILED(result) && result != SERVICE__INCOMPLETE) || phase == SERVICEG_PHASE_DONE_E) return result;
    setClosed(service, 1);
    if (service->linkEnabled != 0) SERVICEP_linkStateMachineInvoke(service, SERVICEG_LINK_EVENT_STOP_E);
    return result;
}

ERRG_codeE SERVICEG_ioctl(SERVICEG_serviceT* service, uint32_t code, void* params, uint32_t length) {
    if (service == nullptr || service->ioctlMutexCreated == 0) return SERVICE__ERR_INVALID_ARGS;
    const uint32_t expected = MARSHALG_getIoctlSize(code);
    if (!MARSHALG_isKnownCode(code) || length != expected || (params == nullptr && length != 0)) {
        LOGG_PRINT(LOG_ERROR_E, SERVICE__ERR_INVALID_ARGS, "Incorrect input length %d expect %d\n", length, expected);
        return SERVICE__ERR_INVALID_ARGS;
    }

    OsMutexLock lock(&service->ioctlMutex);
    drainQueue(&service->outQueue);

    MEM_POOLG_bufDescT* buffer = nullptr;
    if (ERRG_FAILED(MEM_POOLG_alloc(service->pool, length, &buffer))) {
        LOGG_PRINT(LOG_ERROR_E, SERVICE__ERR_OUT_OF_MEM, "Alloc failed for%dB\n", length);
        return SERVICE__ERR_OUT_OF_MEM;
    }
    if (length > 0) std::memcpy(buffer->data, params, length);
    buffer->len = length;
    const SERVICE_queueMsg request{SVC_COMG_word0(SERVICEG_MSG_REQUEST_E, length) | SERVICEG_HOST_ORIGIN, code, 0,
                                   buffer, service->channels[SERVICEG_CTRL_CHANNEL_E]};
    service->awaitedCode = code;
    service->awaiting = SERVICEG_AWAIT_POSTED_E;
    // The queue is shared with what the peer sends. A service that was closed
    // until a moment ago may still hold a full queue of keep-alive answers
    // that its thread is about to read, so a full queue is waited out within
    // the ioctl's own time-out rather than failing the call at once.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(SERVICEG_IOCTL_TIMEOUT_MS);
    while (OS_LYRG_sendMsg(&service->inQueue, &request, sizeof(request)) != OS_LYRG_SUCCESS) {
        if (Clock::now() >= deadline) {
            service->awaiting = SERVICEG_AWAIT_NONE_E;
            LOGG_PRINT(LOG_ERROR_E, SERVICE__ERR_OUT_OF_RSRCS, "Send failed\n");
            MEM_POOLG_freeBuff(buffer);
            return SERVICE__ERR_OUT_OF_RSRCS;
        }
        OS_LYRG_sleepMs(1);
    }

    // Only an answer to this code counts; anything else that turns up within
    // the wait is left over from an earlier caller and is discarded.
    SERVICE_queueMsg answer{};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const bool got = left > 0 && tryReceive(&service->outQueue, &answer, static_cast<uint32_t>(left));
        if (!got) {
            service->awaiting = SERVICEG_AWAIT_NONE_E;
            LOGG_PRINT(LOG_ERROR_E, SERVICE__ERR_TIMEOUT, "msg=0x%08x timeout or err (%dms), status=%d\n", code,
                       SERVICEG_IOCTL_TIMEOUT_MS, OS_LYRG_FAIL);
            return SERVICE__ERR_TIMEOUT;
        }
        if (answer.code == code) break;
        service->staleAnswers.fetch_add(1);
        LOGG_PRINT(LOG_WARN_E, 0, "msg=0x%08x: stale answer 0x%08x discarded\n", code, answer.code);
        MEM_POOLG_freeBuff(answer.buffer);
    }
    service->awaiting = SERVICEG_AWAIT_NONE_E;

    const uint32_t answerLength = SVC_COMG_word0Length(answer.word0);
    if (answerLength != length)
        LOGG_PRINT(LOG_ERROR_E, 0, "msg 0x%08x response len. expect=%d got=%d\n", code, length, answerLength);
    uint32_t copy = std::min(length, answerLength);
    if (answer.buffer != nullptr) copy = std::min(copy, answer.buffer->len);
    if (copy > 0 && answer.buffer != nullptr) std::memcpy(params, answer.buffer->data, copy);
    MEM_POOLG_freeBuff(answer.buffer);
    return answer.status;
}

ERRG_codeE SERVICEG_sendMsg2Peer(SERVICEG_serviceT* service, SERVICEG_sendParamsT* params) {
    if (service == nullptr || params == nullptr || !MARSHALG_isKnownCode(params->code))
        return SERVICE__ERR_INVALID_ARGS;
    const uint32_t index = params->channelIndex != 0 ? 1 : 0;
    SVC_COMG_handleT channel = service->channels[index];
    const uint32_t wireSize = MARSHALG_getMarshalledSize(params->code);
    const uint32_t copied = params->payloadChain == nullptr && params->payload != nullptr ? params->payloadLength : 0;
    MEM_POOLG_bufDescT* buffer = nullptr;
    ERRG_codeE status = allocForSend(channel, wireSize + copied, &buffer);
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_DEBUG_E, status, "Alloc failed for %d B on chan %d\n",
                   wireSize + copied + SVC_COMG_getHeaderRoom(),
                   channel != nullptr ? static_cast<int>(SVC_COMG_getChannelNum(channel)) : -1);
        return status;
    }
    if ((params->params == nullptr && wireSize > 0) ||
        !MARSHALG_convert(MARSHALG_MARSHAL_E, params->code, params->params, buffer->data, wireSize, nullptr)) {
        MEM_POOLG_freeBuff(buffer);
        return SERVICE__ERR_INVALID_ARGS;
    }
    buffer->len = wireSize;
    if (params->payloadChain != nullptr) {
        MEM_POOLG_chain(buffer, params->payloadChain);
    } else if (copied > 0) {
        std::memcpy(static_cast<uint8_t*>(buffer->data) + wireSize, params->payload, copied);
        buffer->len += copied;
    }
    params->payloadLength = MEM_POOLG_getChainLen(buffer);
    const SVC_COMG_hdrT header{SVC_COMG_word0(SERVICEG_MSG_DATA_E, params->payloadLength), params->code, 0};
    status = SVC_COMG_channelSend(channel, &header, buffer);
    if (ERRG_FAILED(status)) MEM_POOLG_freeBuff(buffer);
    return status;
}

uint32_t SERVICEG_isOpen(SERVICEG_serviceT* service) {
    if (service == nullptr || service->stateMutexCreated == 0) return 0;
    OsMutexLock lock(&service->stateMutex);
    return service->closed == 0 ? 1 : 0;
}

SERVICEG_serviceT* SERVICEG_getHandle(uint32_t sid) {
    return sid < SERVICEG_NUM_SERVICES ? &state()->services[sid] : nullptr;
}

const char* SERVICEG_getName(SERVICEG_serviceT* service) { return service != nullptr ? nameOf(service) : ""; }

MEM_POOLG_handleT SERVICEG_getDataChanPool(SERVICEG_serviceT* service) {
    if (service == nullptr || service->channels[SERVICEG_DATA_CHANNEL_E] == nullptr) return nullptr;
    return service->channels[SERVICEG_DATA_CHANNEL_E]->pool.load();
}

void SERVICEG_showStats(SERVICEG_serviceT* service) {
    if (service == nullptr) return;
    uint32_t closed = 2;
    if (service->stateMutexCreated != 0) {
        OsMutexLock lock(&service->stateMutex);
        closed = service->closed;
    }
    const char* stateText = closed == 0 ? "OPEN" : closed == 1 ? "CLOSED" : "INVALID_STATE";
    LOGG_PRINT(LOG_INFO_E, 0, "sid=%d %-8s %-6s : ctrlCnt=%d dataCnt=%d  (ctrtDrop=%d, dataDtrp=%d)\n", service->sid,
               nameOf(service), stateText, service->ctrlCount.load(), service->dataCount.load(),
               service->ctrlDrops.load(), service->dataDrops.load());
}

ERRG_codeE SERVICEG_getPeerStatus(SERVICEG_serviceT* service) {
    return service != nullptr ? service->peerStatus.load() : SERVICE__RET_SUCCESS;
}

uint32_t SERVICEG_getLinkState(SERVICEG_serviceT* service) {
    return service != nullptr ? service->linkState.load() : SERVICEG_LINK_INIT_E;
}

void SERVICEP_stopLink(SERVICEG_serviceT* service) {
    if (service == nullptr) return;
    if (service->linkEnabled != 0) SERVICEP_linkStateMachineInvoke(service, SERVICEG_LINK_EVENT_STOP_E);
    if (service->thread.handle != nullptr && service->stateMutexCreated != 0) setStop(service);
}

ERRG_codeE SERVICEP_linkStateMachineInvoke(SERVICEG_serviceT* service, uint32_t event) {
    if (service == nullptr) return SERVICE__ERR_INVALID_ARGS;
    std::lock_guard<std::mutex> lock(service->linkMutex);
    // Once de-initialisation has begun the link is frozen: a timer callback
    // that was already on its way finds nothing to do.
    if (service->linkShutdown != 0) return SERVICE__ERR_ILLEGAL_STATE;
    return linkInvokeLocked(service, event);
}

void SERVICEP_timerExpiredCb(void* arg) {
    if (arg == nullptr) return;
    SERVICEP_linkStateMachineInvoke(static_cast<SERVICEG_serviceT*>(arg), SERVICEG_LINK_EVENT_TIMER_EXPIRED_E);
}

const char* SERVICEP_stateName(uint32_t state) {
    switch (state) {
        case SERVICEG_LINK_INIT_E: return "INIT";
        case SERVICEG_LINK_DISCONNECT_E: return "DISCONNECT";
        case SERVICEG_LINK_CONNECT_E: return "CONNECT";
        case SERVICEG_LINK_DEAD_LINK_E: return "DEAD_LINK";
        default: return "";
    }
}

const char* SERVICEP_eventName(uint32_t event) {
    switch (event) {
        case SERVICEG_LINK_EVENT_START_E: return "START";
        case SERVICEG_LINK_EVENT_TIMER_EXPIRED_E: return "TIMER EXPIRED";
        case SERVICEG_LINK_EVENT_RX_E: return "RX";
        case SERVICEG_LINK_EVENT_STOP_E: return "STOP";
        default: return "";
    }
}

void SERVICEP_setLinkPeriodForTest(uint32_t periodMs) { state()->linkPeriodMs = periodMs; }
