// Device client engine: client record, start and stop, the read thread, the
// send operation and the device-state wait.
#include "driver/device_client.h"

#include <cstdio>
#include <mutex>
#include <random>

#include <capnp/serialize.h>
#include <kj/exception.h>

#include "driver/device_protocol.h"
#include "driver/driver_thread.h"
#include "driver/twist_sample.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/usb_transport.h"

using morv::client::Error;
using morv::client::Request;
using morv::client::Response;

namespace {

constexpr uint16_t kErrorUnknown = static_cast<uint16_t>(Error::UNKNOWN);
constexpr uint16_t kErrorSuccess = static_cast<uint16_t>(Error::SUCCESS);
constexpr uint16_t kErrorNotReady = static_cast<uint16_t>(Error::NOT_READY);
constexpr uint16_t kErrorIo = static_cast<uint16_t>(Error::IO_ERROR);

constexpr uint16_t kStateReady = static_cast<uint16_t>(morv::client::State::READY);
constexpr uint16_t kProcessorPrimary = static_cast<uint16_t>(morv::client::Processor::PRIMARY);
constexpr uint16_t kProcessorSecondary = static_cast<uint16_t>(morv::client::Processor::SECONDARY);

// A send waits for its reply in slices of this length, looking at running
// between them, so that a stop is seen quickly.
constexpr uint32_t kReplyWaitSliceMs = 250;
// Sends to a device that runs on its secondary processor are slowed down.
constexpr int32_t kSecondaryThrottleUsec = 500000;
constexpr uint32_t kThrottleWarnEvery = 10;
constexpr uint16_t kClockSyncSeconds = 15;

// The read thread's log lines carry its own name, whichever helper writes them.
#define CLIENT_LOG(level, function, ...) \
    LOGG_print((level), 0, LOGG_SIDE_HOST_E, "", (function), __LINE__, __VA_ARGS__)

using morv::runtime::OsMutexLock;

// Counts a send as in flight for as long as it lives, provided the client was
// started when it began; stopClient waits for every admitted send to leave
// before it tears the client down.
class SenderAdmission {
public:
    explicit SenderAdmission(PZClient* client) : client_(client) {
        std::lock_guard<std::mutex> lock(client_->aliveMutex);
        admitted_ = client_->started.load();
        if (admitted_) ++client_->senders;
    }
    ~SenderAdmission() {
        if (!admitted_) return;
        std::lock_guard<std::mutex> lock(client_->aliveMutex);
        --client_->senders;
        client_->aliveCondition.notify_all();
    }
    SenderAdmission(const SenderAdmission&) = delete;
    SenderAdmission& operator=(const SenderAdmission&) = delete;
    bool admitted() const { return admitted_; }

private:
    PZClient* client_;
    bool admitted_ = false;
};

void* newClient(void*) { return new PZClient(); }

void deleteClient(void* object) {
    auto* client = static_cast<PZClient*>(object);
    if (client->event != nullptr) OS_LYRG_releaseEvent(client->event, 0);
    if (client->pendingMutex != nullptr) OS_LYRG_releaseMutex(&client->pendingMutex);
    if (client->writeMutex != nullptr) OS_LYRG_releaseMutex(&client->writeMutex);
    delete client;
}

PZClientPendingEntry* findPendingLocked(PZClient* client, uint32_t key) {
    auto found = client->pending.find(key);
    return found == client->pending.end() ? nullptr : found->second.get();
}

// Builds the twist sample of a twistCompData message and offers it to twist
// compensation. A region whose data is shorter than its width times height
// gives no sample (the intake logs it): an image over it would let template
// matching read past the copy.
void handOverTwistSample(morv::client::TwistCompData::Reader data) {
    auto region = [](morv::client::TwistCompData::Frame::Reader frame) {
        const capnp::Data::Reader bytes = frame.getData();
        const auto roi = frame.getRoi();
        return TwistCompRegion{bytes.begin(), bytes.size(), roi.getX(), roi.getY(), roi.getW(), roi.getH()};
    };
    std::optional<TwistCompSample> sample = TwistComp_makeSample(region(data.getTemplate()), region(data.getMatch()),
                                                                 data.getLeftOffset(), data.getRightOffset());
    if (!sample.has_value()) return;
    // A sample the intake refuses stays here and is freed with it.
    TwistComp_pushSample(std::move(*sample));
}

// Handles one decoded message on the read thread: its content by member, then
// the pending request it answers.
void handleResponse(PZClient* client, Response::Reader response, int64_t receiveTime) {
    const uint32_t id = response.getId();
    const uint16_t error = static_cast<uint16_t>(response.getError());

    // A message whose content cannot be read is still the answer to its
    // request: the sender hears a failure instead of waiting for ever.
    bool readable = true;
    try {
        if (error != kErrorSuccess) {
            const char* name = nullptr;
            {
                OsMutexLock lock(&client->pendingMutex);
                if (PZClientPendingEntry* entry = findPendingLocked(client, id)) name = entry->requestName;
            }
            if (name == nullptr) name = PZClient_responseMsgName(response);
            if (name == nullptr) name = "<msgtype not set>";
            CLIENT_LOG(LOG_WARN_E, "clientReadLoop", "Received error response: [%s, %s]\n", name,
                       PZClient_errorName(error));
        } else {
            auto msg = response.getMsg();
            switch (msg.which()) {
                case Response::Msg::DEVICE_STATE: {
                    auto state = msg.getDeviceState();
                    client->deviceState.store(static_cast<uint16_t>(state.getState()));
                    client->deviceProcessor.store(static_cast<uint16_t>(state.getProcessor()));
                    break;
                }
                case Response::Msg::FLASH_UPDATE_STATUS:
                    PZClient_reportProgress(client, msg.getFlashUpdateStatus());
                    break;
                case Response::Msg::NOTIFICATION: {
                    auto notification = msg.getNotification();
                    const auto type = static_cast<uint16_t>(notification.getType());
                    const bool asserted = notification.getAsserted();
                    CLIENT_LOG(LOG_DEBUG_E, "clientReadLoop", "Notification from device: %s (%d)\n",
                               PZClient_notificationName(type), asserted ? 1 : 0);
                    processEventNotification(type, asserted);
                    break;
                }
                case Response::Msg::TWIST_COMP_DATA:
                    handOverTwistSample(msg.getTwistCompData());
                    break;
                default:
                    break;
            }
        }
    } catch (const kj::Exception& e) {
        readable = false;
        CLIENT_LOG(LOG_WARN_E, "clientReadLoop", "Undecodable message from device (id %u): %s\n", id,
                   e.getDescription().cStr());
    }

    if (client->running.load()) {
        OsMutexLock lock(&client->pendingMutex);
        PZClientPendingEntry* entry = findPendingLocked(client, id);
        // An entry is completed once: a second answer under the same id must
        // not rewrite a reply that its sender may be reading.
        if (entry != nullptr && !entry->done.load(std::memory_order_acquire)) {
            entry->reply = std::make_unique<PZMessageBuilder>();
            uint16_t status = error;
            if (readable) {
                try {
                    entry->reply->setRoot(response);
                } catch (const kj::Exception& e) {
                    readable = false;
                    CLIENT_LOG(LOG_WARN_E, "clientReadLoop", "Undecodable reply to request %u: %s\n", id - 1,
                               e.getDescription().cStr());
                }
            }
            if (!readable) {
                entry->reply = std::make_unique<PZMessageBuilder>();
                status = kErrorUnknown;
            }
            entry->status = status;
            entry->receiveTime = receiveTime;
            entry->done.store(true, std::memory_order_release);
        }
    }
    OS_LYRG_setEvent(client->event);
}

// Reads bytes until the sync bytes have gone by. False when the transport
// failed (the device is gone) or the client was stopped meanwhile.
bool resynchronise(PZClient* client) {
    PZSyncMatcher matcher;
    while (true) {
        uint8_t byte = 0;
        uint32_t got = 0;
        const int result = vpu_usb_read_bulk(PZ_CLIENT_INTERFACE, &byte, 1, &got);
        if (result != VPU_USB_OK) {
            CLIENT_LOG(LOG_DEBUG_E, "clientReadLoop", "clientReadLoop error: %d (len %u)\n", result, 0u);
            return false;
        }
        if (got == 0) continue;
        if (matcher.feed(byte)) return true;
        if (!client->running.load()) return false;
    }
}

enum class ReadOutcome { Handled, Dropped, TransportFailed };

ReadOutcome readOneMessage(PZClient* client) {
    MyReader reader;
    try {
        MyInputStreamMessageReader message(reader);
        const int64_t receiveTime = OS_LYRG_getNsecTime();
        handleResponse(client, message.getRoot<Response>(), receiveTime);
        return ReadOutcome::Handled;
    } catch (const kj::Exception& e) {
        if (reader.lastError() != VPU_USB_OK) {
            CLIENT_LOG(LOG_DEBUG_E, "clientReadLoop", "clientReadLoop error: %d (len %u)\n", reader.lastError(), 0u);
            return ReadOutcome::TransportFailed;
        }
        // A bad segment table or a message over the reader's limits: what
        // follows on the pipe is not trustworthy until the next sync bytes.
        CLIENT_LOG(LOG_WARN_E, "clientReadLoop", "Dropped undecodable message from device: %s\n",
                   e.getDescription().cStr());
        return ReadOutcome::Dropped;
    }
}

uint32_t clientReadLoop(void*) {
    PZClient* client = PZClient_get();

    {
        std::lock_guard<std::mutex> lock(client->syncMutex);
        client->syncStopped = false;
    }
    client->clockSyncTimer = OS_LYRG_timerT{};
    client->clockSyncTimer.callback = &clockSyncTimerCallback;
    client->clockSyncTimer.firstSec = kClockSyncSeconds;
    client->clockSyncTimer.periodSec = kClockSyncSeconds;
    OS_LYRG_startTimer(&client->clockSyncTimer);

    while (client->running.load()) {
        if (!resynchronise(client)) break;
        if (readOneMessage(client) == ReadOutcome::TransportFailed) break;
    }

    client->running.store(false);
    OS_LYRG_stopTimer(&client->clockSyncTimer);
    {
        // A synchronisation already running sees `running` cleared at its
        // next reply wait; wake that wait rather than sit out its slice.
        OS_LYRG_setEvent(client->event);
        std::unique_lock<std::mutex> lock(client->syncMutex);
        client->syncStopped = true;
        client->syncDone.wait(lock, [client] { return client->syncsInFlight == 0; });
    }
    CLIENT_LOG(LOG_DEBUG_E, "clientReadLoop", "Client Read Thread exiting\n");
    // A waiting sender looks at running between its wait slices; wake it now.
    OS_LYRG_setEvent(client->event);
    std::lock_guard<std::mutex> lock(client->aliveMutex);
    client->alive = false;
    client->aliveCondition.notify_all();
    return 0;
}

}  // namespace

PZClient* PZClient_get() {
    return static_cast<PZClient*>(PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_CLIENT),
                                                    &newClient, nullptr, &deleteClient));
}

int32_t startClient(PZSystemEventCallback systemEventCallback) {
    PZClient* client = PZClient_get();
    // One read thread per pipe: a second start while the first is in place
    // would put two readers on the same bytes.
    if (client->started.load()) return 0;

    client->readThread = OS_LYRG_threadParamsT{};
    client->readThread.func = &clientReadLoop;
    client->readThread.name = "Client Read Thread";
    // The event and the mutexes live as long as the record: a caller may
    // still hold a reply entry, or be on its way into a send, when the client
    // stops, and both need them afterwards.
    if (client->event == nullptr) client->event = OS_LYRG_createEvent(0);
    if (client->pendingMutex == nullptr) OS_LYRG_createMutex(&client->pendingMutex);
    if (client->writeMutex == nullptr) OS_LYRG_createMutex(&client->writeMutex);
    {
        std::lock_guard<std::mutex> lock(client->callbackLock);
        client->systemEventCallback = systemEventCallback;
    }
    client->deviceState.store(0);
    client->deviceProcessor.store(0);
    // Running is set before the thread exists, so that a stop that comes
    // before the thread has begun still ends it.
    client->running.store(true);
    {
        std::lock_guard<std::mutex> lock(client->aliveMutex);
        client->alive = true;
        if (!PZThread_startDetached(&client->readThread)) {
            // No reader: the client stays stopped and every request is refused.
            client->alive = false;
            client->running.store(false);
            return 1;
        }
    }
    client->started.store(true);
    return 0;
}

int32_t stopClient() {
    PZClient* client = PZClient_get();
    {
        std::unique_lock<std::mutex> lock(client->aliveMutex);
        if (!client->started.load()) return 0;
        client->started.store(false);
        client->running.store(false);
        // The read thread ends when its current transfer returns; the
        // senders see running cleared within one wait slice.
        client->aliveCondition.wait(lock, [client] { return !client->alive && client->senders == 0; });
    }
    {
        OsMutexLock lock(&client->writeMutex);
    }
    client->deviceState.store(0);
    client->deviceProcessor.store(0);
    std::lock_guard<std::mutex> lock(client->callbackLock);
    client->systemEventCallback = nullptr;
    return 0;
}

uint32_t newRequestId() {
    static std::mutex lock;
    // Never destroyed: a driver thread may still ask for an id while the
    // process ends.
    static auto* source = new std::random_device;
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<uint32_t>((*source)());
}

void releasePendingResponse(PZClientPendingEntry* entry) {
    if (entry == nullptr) return;
    PZClient* client = PZClient_get();
    OsMutexLock lock(&client->pendingMutex);
    client->pending.erase(entry->key);
}

PZStatus sendMsgWithRawPayload(capnp::MessageBuilder& builder, std::optional<std::span<const uint8_t>> payload,
                               PZClientPendingEntry** outEntry) {
    if (outEntry != nullptr) *outEntry = nullptr;
    PZClient* client = PZClient_get();
    SenderAdmission admission(client);
    if (!admission.admitted()) return PZStatus_DeviceNotReady;

    const Request::Reader request = builder.getRoot<Request>().asReader();
    const uint32_t key = request.getId() + 1u;

    if (client->deviceState.load() == kStateReady && client->deviceProcessor.load() == kProcessorSecondary) {
        if (client->throttleCount.fetch_add(1) % kThrottleWarnEvery == 0) {
            LOGG_PRINT(LOG_WARN_E, 0, "************ Dont forget to fix this! ************\n");
        }
        OS_LYRG_usleep(kSecondaryThrottleUsec);
    }

    PZClientPendingEntry* entry = nullptr;
    {
        OsMutexLock lock(&client->pendingMutex);
        auto& slot = client->pending[key];
        if (!slot) slot = std::make_unique<PZClientPendingEntry>();
        entry = slot.get();
        entry->done.store(false);
        entry->key = key;
        entry->request = request;
        entry->requestName = PZClient_requestMsgName(request);
    }

    uint16_t status = kErrorUnknown;
    {
        OsMutexLock writeLock(&client->writeMutex);
        bool written = false;
        if (!client->running.load()) {
            // Stopped (or the device went away) while this send was on its way in.
            status = kErrorNotReady;
        } else if (PZClient_writeSyncBytes(PZ_CLIENT_INTERFACE) != VPU_USB_OK) {
            status = kErrorIo;
        } else {
            try {
                MyWriter writer;
                capnp::writeMessage(writer, builder);
                written = true;
            } catch (const kj::Exception&) {
                status = kErrorIo;
            }
            if (written && payload.has_value()) {
                uint32_t count = 0;
                const auto length = static_cast<uint32_t>(payload->size());
                if (vpu_usb_write_bulk(PZ_CLIENT_INTERFACE, payload->data(), length, &count) != VPU_USB_OK ||
                    count != length) {
                    status = kErrorIo;
                    written = false;
                }
            }
        }
        if (written) {
            // No overall limit: a firmware update keeps the device busy for as
            // long as it takes; the slices let a stop end the wait.
            while (!entry->done.load(std::memory_order_acquire) && client->running.load()) {
                OS_LYRG_waitEvent(client->event, kReplyWaitSliceMs);
            }
            if (!client->running.load()) {
                status = kErrorNotReady;
            } else {
                status = entry->status;
                if (outEntry != nullptr && status == kErrorSuccess) *outEntry = entry;
            }
        }
        if (outEntry == nullptr || status != kErrorSuccess) {
            OsMutexLock lock(&client->pendingMutex);
            client->pending.erase(key);
        }
    }
    return PZClient_errorToStatus(status);
}

PZStatus waitForDeviceState(uint32_t timeoutSeconds, bool* isPrimary, uint16_t* state) {
    PZClient* client = PZClient_get();
    if (client->event == nullptr) return PZStatus_DeviceNotReady;
    while (client->deviceState.load() == 0) {
        // A client whose read thread has ended hears no report any more (its
        // end sets the event): waiting on would only sit out the time-out.
        if (!client->running.load()) return PZStatus_DeviceNotReady;
        if (OS_LYRG_waitEvent(client->event, timeoutSeconds * 1000u) != OS_LYRG_SUCCESS) {
            // Said here: a bring-up cut short after it reports nothing more.
            LOGG_PRINT(LOG_WARN_E, 0, "No device state report within %u s\n", timeoutSeconds);
            return PZStatus_Timeout;
        }
    }
    if (isPrimary != nullptr) *isPrimary = client->deviceProcessor.load() == kProcessorPrimary;
    if (state != nullptr) *state = client->deviceState.load();
    return PZStatus_Success;
}

void processEventNotification(uint16_t type, bool asserted) {
    PZClient* client = PZClient_get();
    PZSystemEventCallback callback = nullptr;
    {
        std::lock_guard<std::mutex> lock(client->callbackLock);
        callback = client->systemEventCallback;
    }
    if (callback == nullptr) return;
    const int32_t code = PZClient_notificationToEvent(type, asserted);
    if (code < 0) {
        LOGG_PRINT(LOG_WARN_E, 0, "Unknown event received (event: %u, asserted: %u)\n", unsigned{type},
                   asserted ? 1u : 0u);
        return;
    }
    callback(code, 0);
}
