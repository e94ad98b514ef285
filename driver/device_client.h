// Device client: the request/response exchange with the sensor firmware on the
// client interface (transport interface 4).
//
// One "Client Read Thread" per driver context reads every frame the device
// sends, resynchronising on the sync bytes, handles device-state reports,
// flash-update progress, notifications and twist-compensation data, and
// completes the pending request that a response answers. Senders go through
// sendMsgWithRawPayload, which holds the write lock from the first byte
// written until the reply is in: exactly one request is in flight per device.
//
// The read thread runs the progress callback, the system-event callback and
// the twist-sample hand-over; none of them may send a request and wait for its
// reply, since no message is read while they run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include <capnp/message.h>

#include "driver/driver_types.h"
#include "driver/morv_client.capnp.h"
#include "runtime/os_layer.h"

// System events raised by device notifications, handed to the system-event
// callback given to startClient.
enum PZSystemEvent : int32_t {
    PZSystemEvent_LaserHighTrip = 0,
    PZSystemEvent_LaserLowTrip = 1,
    PZSystemEvent_LaserFatalTrip = 2,
    PZSystemEvent_LaserRecovered = 3,
    PZSystemEvent_LaserSelfTestFailed = 4,
    PZSystemEvent_PsocFirmwareCorrupt = 5,
    PZSystemEvent_LaserNeedsCalibration = 6,
    PZSystemEvent_UsbMuxCommsFailed = 7,
    PZSystemEvent_ChargerCommsFailed = 8,
    PZSystemEvent_ChargerWatchdog = 9,
    PZSystemEvent_VBusBad = 10,
    PZSystemEvent_VBusGood = 11,
    PZSystemEvent_AccessoryVoltageBad = 12,
    PZSystemEvent_AccessoryVoltageGood = 13,
    PZSystemEvent_BatteryVoltageBad = 14,
    PZSystemEvent_BatteryVoltageGood = 15,
    PZSystemEvent_BatteryHot = 16,
    PZSystemEvent_BatteryCold = 17,
    PZSystemEvent_BatteryTempGood = 18,
    PZSystemEvent_ChargerTimeout = 19,
    PZSystemEvent_ChargerTempBad = 20,
    PZSystemEvent_ChargerTempGood = 21,
    PZSystemEvent_LaserHot = 22,
    PZSystemEvent_LaserCold = 23,
    PZSystemEvent_ForcingLowPowerMode = 24,
    PZSystemEvent_PowerForbidsStreaming = 25,
    PZSystemEvent_PowerPermitsStreaming = 26,
    PZSystemEvent_Count = 27
};

// Display name of a system-event code; "Unknown" for any other value.
const char* PZSystemEvent_toString(int32_t code);

// Called on the read thread with (system-event code, value); value is always 0.
using PZSystemEventCallback = void (*)(int32_t code, int32_t value);

// Maps a protocol `Error` value (the reply's error field, or a status the send
// operation sets itself) to the driver's status.
PZStatus PZClient_errorToStatus(uint16_t error);

// System-event code of a device notification, or -1 when the notification
// raises no event (chargerConnected, unknown types).
int32_t PZClient_notificationToEvent(uint16_t type, bool asserted);

// A request waiting for its reply, filed under the request's id + 1.
struct PZClientPendingEntry {
    uint32_t key = 0;
    // The request as built by the sender; valid while the sender's builder lives.
    morv::client::Request::Reader request;
    // Name of the member the request carries, taken when it was filed, so
    // that an error reply can name it without touching the sender's builder.
    const char* requestName = nullptr;
    // Written by the read thread under the pending mutex before done is set;
    // the sender reads them only after it has seen done.
    std::unique_ptr<capnp::MallocMessageBuilder> reply;
    uint16_t status = 0;
    int64_t receiveTime = 0;
    std::atomic<bool> done{false};

    morv::client::Response::Reader response() { return reply->getRoot<morv::client::Response>().asReader(); }
};

// Client record, one per driver context (slot 1).
struct PZClient {
    std::atomic<bool> started{false};
    OS_LYRG_threadParamsT readThread{};
    OS_LYRG_eventT event = nullptr;
    OS_LYRG_mutexT pendingMutex = nullptr;
    OS_LYRG_mutexT writeMutex = nullptr;
    std::atomic<bool> running{false};
    // Last device-state report; 0 until one arrives. Written by the read
    // thread, read by senders without a lock.
    std::atomic<uint16_t> deviceState{0};
    std::atomic<uint16_t> deviceProcessor{0};
    // Firmware-update progress target: set by each update and kept afterwards.
    // Guarded by callbackLock (the read thread calls it, the updater sets it).
    PZProgressCallback progressCallback = nullptr;
    void* progressUser = nullptr;
    PZSystemEventCallback systemEventCallback = nullptr;
    std::mutex callbackLock;
    // Guarded by pendingMutex.
    std::map<uint32_t, std::unique_ptr<PZClientPendingEntry>> pending;
    // alive: set before the read thread starts, cleared by it as its last act.
    // senders: sends between their started check and their return; the stop
    // waits for them before it releases what they use.
    std::mutex aliveMutex;
    std::condition_variable aliveCondition;
    bool alive = false;
    uint32_t senders = 0;
    std::atomic<uint32_t> throttleCount{0};
    // Copy of the last device-information reply.
    std::unique_ptr<capnp::MallocMessageBuilder> deviceInfoMessage;
    // Clock-synchronisation timer, started and stopped by the read thread.
    OS_LYRG_timerT clockSyncTimer{};
    // A stopped timer may still be running its callback: the read thread
    // waits for a synchronisation in flight before it ends, so none outlives
    // the client (guarded by syncMutex).
    std::mutex syncMutex;
    std::condition_variable syncDone;
    uint32_t syncsInFlight = 0;
    bool syncStopped = false;
    // Bytes of firmware that the last update copied into its request (0 when
    // the request could refer to the caller's bytes directly).
    std::atomic<uint64_t> lastUpdateCopiedBytes{0};
};

// The client record of the current driver context (created zeroed on first use).
PZClient* PZClient_get();

// Prepares the client record and starts the read thread. Returns 0, or 1
// when the platform refused the thread (the client then stays stopped).
int32_t startClient(PZSystemEventCallback systemEventCallback);
// Stops the client; returns 0 once the read thread has ended. The read thread
// sees the stop only when its current transfer returns.
int32_t stopClient();

// Sends the Request at the root of builder, then the payload when one is given,
// and waits for the reply. When outEntry is given and the reply's status is
// success, the pending entry stays filed and is handed over: the caller reads
// the reply from it and then calls releasePendingResponse. In every other case
// the entry is released before this returns.
PZStatus sendMsgWithRawPayload(capnp::MessageBuilder& builder,
                               std::optional<std::span<const uint8_t>> payload = std::nullopt,
                               PZClientPendingEntry** outEntry = nullptr);
// Erases every pending entry filed under the entry's key; nothing for null.
void releasePendingResponse(PZClientPendingEntry* entry);
// A fresh random request id.
uint32_t newRequestId();

// Waits until a device-state report has arrived. Every wake-up without one
// starts a new full wait; a wait that runs out is logged and gives Timeout,
// and a client that is stopped or whose read thread has ended gives
// DeviceNotReady.
PZStatus waitForDeviceState(uint32_t timeoutSeconds, bool* isPrimary, uint16_t* state);

// Maps a device notification to a system event and calls the system-event callback.
void processEventNotification(uint16_t type, bool asserted);

// Firmware update: one fwUpdate request carrying the whole package; the
// device's flashUpdateStatus reports reach the progress callback meanwhile.
PZStatus PlovarZarnClient_UpdateFW(const uint8_t* bytes, size_t count, PZProgressCallback callback,
                                   void* user, bool moreToFollow, bool allowDowngrade, uint32_t major,
                                   uint32_t minor, uint32_t patch, uint32_t build);
// Clock synchronisation: eleven clkSync round trips, then the median offset
// (by round-trip time) sent back to the device.
PZStatus PlovarZarnClient_SyncSystemTime(bool forceJump);

// One clock-synchronisation round: half the round trip and the host-minus-device offset.
struct PZClockSyncSample {
    int64_t half;
    int64_t offset;
};
// Orders samples by half, ascending (signed).
bool compareClockSyncSamples(const PZClockSyncSample& a, const PZClockSyncSample& b);
// The offset sent to the device: the sample with the median half among the
// samples taken; none when no round gave a sample.
std::optional<int64_t> PZClient_medianOffset(std::span<PZClockSyncSample> samples);
// Splits an offset in nanoseconds into seconds (truncated toward zero) and
// nanoseconds of the same sign.
void PZClient_splitOffset(int64_t offset, int64_t* sec, int64_t* nano);

// Timer callback of the read thread: a periodic clock synchronisation.
void clockSyncTimerCallback(void* arg);
// Progress hand-over for a successful flashUpdateStatus message (read thread).
void PZClient_reportProgress(PZClient* client, morv::client::FlashUpdateStatus::Reader status);
