// Simulated sensor firmware: the device's side of the request/response
// protocol on the client interface (index 4) of the simulated USB bus.
//
// Like the real firmware it only sees bytes: host transfers arrive through
// the bus's write handler, are scanned for the sync bytes C0 FF EE 00 and
// decoded as framed `Request`s; every answer goes back as one device
// transfer holding the sync bytes and a `Response` in the standard stream
// framing. The answer to a request carries the request's id plus one.
// Unsolicited messages (state reports, progress, notifications, twist data)
// carry the id of the last request received, which never equals the key
// the host files its request under.
//
// Frames the firmware has at once go out together, in one transfer (a
// burst): the state report at attach with the power report, when that is
// switched on, and the progress reports of each phase of an update whose
// flash takes no time. A burst of an even number of frames ends on a packet
// boundary: its last message's segment is grown with zero words up to the
// end of a packet (a reader takes a segment longer than its content), so
// that transfers of whole packets, which end without a short packet, happen
// in a normal run. A single frame is never a whole number of packets.
//
// One thread of its own handles requests in arrival order; a firmware
// update, with its progress reports and per-block flash time, runs on it
// and holds up later requests as the real device does. stop() (and the
// destructor) ends and joins that thread, interrupting any delay.
//
// Besides device information, clock, mode and update requests it keeps
// every camera and depth setting per component (componentSetting writes
// store, reads answer the stored value), answers a calibration retrieval
// with a calibration text, and accepts stream configuration, twist
// configuration and saved camera offsets, recording each for the tests.
// Any other request is answered notSupported.
//
// Create it after SimUsb::installFresh()/reset(): a reset removes its write
// handler. While the client interface is unplugged the firmware hears and
// says nothing; whenever it finds the interface freshly registered (at
// start(), or after any removal and plug, however quick) it starts a new
// session and, unless switched off, sends a `deviceState` report with the
// configured processor and state. It looks every few milliseconds, so a
// test that needs the report waits for it with waitForStateReports().
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/morv_client.capnp.h"
#include "platform/wake_condition.h"
#include "sim/sim_usb.h"

namespace zsim {

// What getDevInfo answers. Enumerations are the wire values of the schema.
struct SimDeviceInfo {
    uint16_t id = 1;  // DeviceId plovarZarn
    uint32_t variant = 0;
    std::string name = "Zarn";
    std::string serial = "ZS0000001";
    std::string manufacturer = "Morvale";
    std::string model = "Zarn";
    std::string credential;
    uint16_t color = 3;  // Color black
    bool hasBattery = false;
    bool disableLeds = false;
    uint64_t birthday = 0;
    uint16_t fwMajor = 0;
    uint16_t fwMinor = 9;
    uint16_t fwRevision = 7;
    uint16_t fwBuildType = 1;  // BuildType release
    uint8_t usbSpeed = 3;
    std::string hwName = "ZRN-A1";
    uint16_t irCamModel = 0;
    uint16_t irCamType = 0;
    uint16_t visCamModel = 0;
    uint16_t visCamType = 0;
    uint16_t laserModel = 0;
};

// Every setting member of one component, as the device keeps it. A write
// stores the member it carries; a read answers the stored value in the
// member it asks for. Enumerations are wire values of the schema.
struct SimComponentSettings {
    struct Channel {
        uint16_t chan = 0;  // Channel
        float value = 0.0f;
        bool operator==(const Channel&) const = default;
    };
    std::vector<Channel> analogGain{{0, 1.0f}};
    std::vector<Channel> digitalGain{{0, 1.0f}};
    float exposure = 10.0f;
    float delay = 0.0f;
    int16_t xOffset = 0;
    int16_t yOffset = 0;
    float powerOutput = 0.0f;
    int16_t normalization = 0;
    float fps = 30.0f;
    uint16_t matchingWindow[2] = {0, 0};
    uint16_t disparityRange[2] = {0, 0};
    float subpixYOffset = 0.0f;
    bool blc = false;
    float gamma = 1.0f;
    uint16_t testMode = 0;  // ComponentSetting.TestMode.Mode
    std::vector<uint16_t> testColors;
    uint32_t whiteBalanceApplied = 0;  // applyWb requests received
};

// One componentSetting request as the device received it.
struct SimSettingRequest {
    uint32_t requestId = 0;
    uint16_t component = 0;  // Component
    bool writeFlag = false;
    uint16_t member = 0;  // the union's discriminant
    // The value carried, in the field that fits the member.
    float floatValue = 0.0f;  // exposure, delay, powerOutput, fps, subpixYOffset, gamma
    int16_t intValue = 0;     // xOffset, yOffset, normalization
    uint16_t pair[2] = {0, 0};  // matchingWindow, disparityRange
    bool flag = false;          // blc
    std::vector<SimComponentSettings::Channel> channels;  // analogGain, digitalGain
    bool pairSet = false;  // matchingWindow / disparityRange: the pair pointer was set
};

// A streamingCfg request as the device received it.
struct SimStreamingCfgRecord {
    struct Stream {
        bool present = false;
        uint16_t src = 0;  // StreamSource
        uint16_t chunks = 0;
        uint16_t frameFormat = 0;  // FrameFormat
    };
    bool vpu3 = false;  // false: the vpu4 member (or an unset union)
    Stream ir, vis, depth;
    bool decimated = false, bpc = false, ib = false, wb = false, dms = false, gcr = false, fir = false,
         dsr = false, hybrid = false;
    uint32_t punishment = 0;
    float irFps = 0.0f, visFps = 0.0f;
    bool autoExpPresent = false;
    uint16_t autoExpComponent = 0, autoExpMode = 0;
    float autoExpTarget = 0.0f, autoExpLpf = 0.0f, autoExpDeadzone = 0.0f, autoExpMaxChange = 0.0f;
    uint16_t roiX = 0, roiY = 0, roiW = 0, roiH = 0;
};

// A calibrate request: its action and the target of its union (wire values).
struct SimCalibrateRecord {
    uint16_t action = 0;  // Calibrate.Action
    uint16_t target = 0;  // 0 battery, 1 laser, 2 device
};

// How the firmware treats one request. Plans are consumed in order by the
// requests that follow (planNext); with none queued the default plan holds.
struct ReplyPlan {
    enum class Kind {
        Normal,       // answer as the device does
        Error,        // answer with `error` (a Response.error value) instead
        Silent,       // never answer
        Truncated,    // the first `truncateAt` bytes of the answer's frame (sync bytes included;
                      // unset: sync bytes and half the message), then nothing; with thenUnplug the
                      // device disappears once the host has read them
        Undecodable,  // sync bytes and a segment table no reader accepts, then the normal answer
        WrongMember,  // a success answer carrying a deviceState report instead of the member asked for
        Unplug,       // the device disappears (SimUsb::unplug) instead of answering; for a firmware
                      // update, after `unplugAfterReports` progress reports
    };
    Kind kind = Kind::Normal;
    uint16_t error = 0;
    std::chrono::milliseconds delay{0};  // waited before the answer (interrupted by stop)
    std::vector<uint8_t> garbageBefore;  // sent as a transfer of its own before the answer
    std::optional<uint32_t> replyId;     // answer with this id instead of the request's id + 1
    uint32_t unplugAfterReports = 0;
    std::optional<size_t> truncateAt;
    bool thenUnplug = false;
    // Set: the plan waits for the next request with this Request.msg discriminant
    // (requests of other kinds pass it by).
    std::optional<uint16_t> forKind;
};

// A firmware-update request as the device received it, and how it ended.
struct SimFwUpdateRecord {
    uint32_t requestId = 0;
    size_t bytes = 0;  // length of fwFile
    uint64_t timestamp = 0;
    bool moreToFollow = false;
    bool allowDowngrade = false;
    uint16_t partition = 0;  // FlashParition
    uint16_t major = 0, minor = 0, revision = 0, buildType = 0;
    std::vector<std::string> members;  // archive member names in archive order (empty when unreadable)
    uint32_t crcChecked = 0;           // members whose CRC text was checked and matched
    std::string failure;               // why validation failed; empty on success
    uint16_t result = 0;               // Response.error the update was answered with (0: not answered)
};

// A clock-set request (clkSync with setClk) as received.
struct SimClockSetRecord {
    int64_t sec = 0;
    int64_t nano = 0;
    bool forceJump = false;
    bool dbg = false;
};

class SimFirmware {
public:
    explicit SimFirmware(SimUsb& usb = SimUsb::instance(), uint8_t interfaceIndex = 4);
    ~SimFirmware();
    SimFirmware(const SimFirmware&) = delete;
    SimFirmware& operator=(const SimFirmware&) = delete;

    // Installs the write handler and starts the firmware thread. Idempotent.
    void start();
    // Ends and joins the thread and removes the write handler. Idempotent.
    void stop();

    // --- configuration (any thread, any time) -------------------------------
    void setDeviceInfo(const SimDeviceInfo& info);
    SimDeviceInfo deviceInfo() const;  // fwMajor.. change after a successful update
    // Processor and State (wire values) of the state reports.
    void setDeviceState(uint16_t processor, uint16_t state);
    void setReportStateOnAttach(bool on);
    // With the state report at attach, a notification that the power
    // permits streaming, in the same transfer (off by default).
    void setPowerReportOnAttach(bool on);
    // Device clock = host monotonic clock + offset. A clock-set request moves
    // the device clock by the offset it carries (forceJump or not).
    void setClockOffsetNs(int64_t offsetNs);
    int64_t clockOffsetNs() const;
    // Flash geometry and speed of the update: blocks of blockBytes (at least
    // 1), each erased, written and verified in perBlock.
    void setFlashTiming(uint32_t blockBytes, std::chrono::microseconds perBlock);
    // Progress reports carry a text (msg) unless switched off.
    void setProgressText(bool on);
    // Warm and cold reboot requests unplug the device after the answer.
    void setRebootUnplugs(bool on);
    // Called on the firmware thread right after a reboot request has
    // unplugged the device, with the DeviceMode wire value it asked for: the
    // owner of the whole device brings it back the way a rebooted sensor
    // re-enumerates.
    using RebootListener = std::function<void(uint16_t mode)>;
    void setRebootListener(RebootListener listener);
    // Fixed number of blocks per phase instead of a block size (0: by size again).
    void setFlashBlockCount(uint32_t blocks);
    // Settings of one component (a Component wire value, 1 to 6); the device
    // starts with SimComponentSettings' defaults for each.
    void setComponentSettings(uint16_t component, const SimComponentSettings& settings);
    SimComponentSettings componentSettings(uint16_t component) const;
    // The text a calibrate request with action retrieve (target device)
    // answers as deviceCalibration. The default is a complete text of the
    // older generation (version 4) with plausible values.
    void setCalibrationText(const std::string& text);
    static const std::string& defaultCalibrationText();
    // Makes the firmware answer requests of this Request.msg kind NOT_SUPPORTED
    // as a firmware that does not know them would (off: answer them again).
    void setUnimplemented(uint16_t kind, bool unimplemented = true);
    // Called on the firmware thread with each accepted streamingCfg, before
    // the answer goes out (the simulated streams start from it).
    using StreamingCfgListener = std::function<void(const SimStreamingCfgRecord& config)>;
    void setStreamingCfgListener(StreamingCfgListener listener);
    void setDefaultPlan(const ReplyPlan& plan);
    void planNext(const ReplyPlan& plan);
    // Sees every decoded request first, on the firmware thread; returning true
    // means it dealt with the request itself (answered with sendResponse, or
    // chose silence) and the firmware does nothing more with it.
    using RequestHook = std::function<bool(morv::client::Request::Reader request, SimFirmware& firmware)>;
    void setRequestHook(RequestHook hook);

    // --- unsolicited messages (sent from the caller's thread) -----------------
    bool sendDeviceState();
    bool sendNotification(uint16_t type, bool asserted);
    struct TwistFrame {
        std::vector<uint8_t> data;
        uint16_t x = 0, y = 0, w = 0, h = 0;
    };
    bool sendTwistCompData(const TwistFrame& templ, const TwistFrame& match, float leftOffset, float rightOffset);
    // Any response: fill it in; its id is the given one.
    bool sendResponse(uint32_t id, const std::function<void(morv::client::Response::Builder)>& fill);
    // Raw bytes as one device transfer, no framing added.
    bool sendRaw(const std::vector<uint8_t>& bytes);

    // --- observation -----------------------------------------------------------
    // Requests decoded so far (answered or not), by Request.msg discriminant.
    std::vector<uint16_t> requestKinds() const;
    uint32_t lastRequestId() const;
    // Waits until at least `count` requests have been handled (answered,
    // silenced or failed); false on time-out.
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    // Frames whose segment table or content could not be decoded.
    size_t undecodableCount() const;
    // Bytes skipped while looking for the sync bytes.
    size_t skippedBytes() const;
    std::optional<SimFwUpdateRecord> lastFwUpdate() const;
    std::vector<SimClockSetRecord> clockSets() const;
    std::vector<uint16_t> modesSet() const;  // DeviceMode of each setMode, in order
    std::vector<SimSettingRequest> settingRequests() const;  // every componentSetting, in order
    std::vector<SimCalibrateRecord> calibrateRequests() const;
    std::vector<SimStreamingCfgRecord> streamingCfgs() const;
    std::vector<uint16_t> twistModes() const;  // TwistCompCfg.Mode of each twistCompCfg, in order
    std::vector<uint64_t> savedOffsets() const;  // ts of each saveCameraOffsets, in order
    size_t stateReportsSent() const;
    // Waits until at least `count` state reports have gone out; false on time-out.
    bool waitForStateReports(size_t count, std::chrono::milliseconds timeout) const;

    // Largest request the device accepts, in words (a bigger frame is
    // treated as garbage and skipped).
    static constexpr uint64_t kMaxRequestWords = 16u * 1024u * 1024u;

private:
    struct Parser;
    struct Incoming;
    class Burst;

    void run();
    void onHostTransfer(const Bytes& transfer);
    void handleRequest(kj::ArrayPtr<const capnp::word> words);
    void answer(const Incoming& request, const ReplyPlan& plan);
    void runFwUpdate(const Incoming& request, const ReplyPlan& plan, morv::client::FWUpdate::Reader update);
    // Sends an answer as the plan says (whole, truncated, behind an undecodable frame).
    void deliver(capnp::MessageBuilder& builder, const ReplyPlan& plan);
    bool sendFrame(const kj::ArrayPtr<const capnp::word>& message);
    // Frames this thread sends from beginBurst() on wait for endBurst(),
    // which sends them in one transfer. Frames of other threads go as usual.
    void beginBurst();
    bool endBurst();
    bool sendMessage(capnp::MessageBuilder& builder);
    bool waitOrStop(std::chrono::microseconds duration);
    int64_t deviceNowNs() const;
    void fillState(morv::client::DeviceState::Builder state) const;
    // Answers a componentSetting: records it, stores a write and fills the
    // reply's setting; the error the answer carries (success, invalidParams
    // for a component the device lacks, notSupported for an unknown member).
    morv::client::Error applySetting(uint32_t requestId, morv::client::ComponentSetting::Reader in,
                      morv::client::ComponentSetting::Builder out);
    void recordStreamingCfg(morv::client::StreamingConfig::Reader config);
    bool isUnimplemented(uint16_t kind) const;
    template <typename T>
    void lockedPush(std::vector<T>& list, const T& value) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            list.push_back(value);
        }
        changed_.notify_all();
    }
    void newSession();


    SimUsb& usb_;
    const uint8_t index_;

    mutable std::mutex mutex_;
    mutable PLAT_WakeCondition changed_;
    std::deque<Bytes> inbox_;
    size_t inboxBytes_ = 0;   // in inbox_
    size_t inboxWanted_ = 1;  // what the run loop's parser needs before it can go on
    bool stopping_ = false;
    bool running_ = false;
    std::thread thread_;

    // configuration, under mutex_
    SimDeviceInfo info_;
    uint16_t processor_ = 1;  // Processor primary
    uint16_t state_ = 2;      // State ready
    bool reportOnAttach_ = true;
    bool powerReportOnAttach_ = false;
    int64_t clockOffsetNs_ = 0;
    uint32_t blockBytes_ = 64 * 1024;
    std::chrono::microseconds perBlock_{0};
    uint32_t blockCount_ = 0;
    RequestHook hook_;
    bool progressText_ = true;
    bool rebootUnplugs_ = false;
    RebootListener rebootListener_;
    ReplyPlan defaultPlan_;
    std::deque<ReplyPlan> plans_;
    std::map<uint16_t, SimComponentSettings> settings_;  // by Component wire value
    std::string calibrationText_ = defaultCalibrationText();
    std::set<uint16_t> unimplemented_;
    StreamingCfgListener streamingCfgListener_;

    // observation, under mutex_
    std::vector<uint16_t> requestKinds_;
    size_t handled_ = 0;
    uint32_t lastRequestId_ = 0;
    size_t undecodable_ = 0;
    size_t skipped_ = 0;
    std::optional<SimFwUpdateRecord> lastFwUpdate_;
    std::vector<SimClockSetRecord> clockSets_;
    std::vector<uint16_t> modesSet_;
    std::vector<SimSettingRequest> settingRequests_;
    std::vector<SimCalibrateRecord> calibrateRequests_;
    std::vector<SimStreamingCfgRecord> streamingCfgs_;
    std::vector<uint16_t> twistModes_;
    std::vector<uint64_t> savedOffsets_;
    size_t stateReports_ = 0;

    // one frame at a time on the pipe, whoever sends it
    std::mutex sendMutex_;
    // under sendMutex_: the burst in progress and the thread that sends it
    std::optional<std::thread::id> burstThread_;
    std::vector<Bytes> burst_;
};

}  // namespace zsim
