#include "sim/sim_firmware.h"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include <capnp/serialize.h>

#include "runtime/os_layer.h"
#include "sim/sim_locked.h"

namespace zsim {

namespace mc = morv::client;

namespace {

constexpr std::array<uint8_t, 4> kSync = {0xC0, 0xFF, 0xEE, 0x00};
static_assert(mc::MAGIC == 0xEEFFC0u, "sync bytes are the schema's magic, little-endian");

// The firmware's own reader limits: generous, since a firmware package
// travels in one request.
capnp::ReaderOptions requestReaderOptions() {
    capnp::ReaderOptions options;
    options.traversalLimitInWords = SimFirmware::kMaxRequestWords;
    options.nestingLimit = 64;
    return options;
}

uint32_t readLe32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Grows the last segment of a framed message (sync bytes, segment table,
// segments) by `bytes` zero bytes, a whole number of words.
void growLastSegment(Bytes& frame, size_t bytes) {
    const size_t table = kSync.size();
    const uint32_t last = readLe32(frame.data() + table);  // segment count - 1
    uint8_t* size = frame.data() + table + 4 + 4 * size_t{last};
    const uint32_t words = readLe32(size) + static_cast<uint32_t>(bytes / sizeof(capnp::word));
    for (int i = 0; i < 4; ++i) size[i] = static_cast<uint8_t>(words >> (8 * i));
    frame.resize(frame.size() + bytes, 0);
}


}  // namespace

// ---------------------------------------------------------------------------
// Request intake: the sync-byte scan and the stream framing, done the way
// the device does it, on bytes in whatever transfers they came.

struct SimFirmware::Parser {
    enum class Event { NeedMore, Message, Undecodable };

    std::vector<uint8_t> buffer;
    size_t pos = 0;
    bool inFrame = false;
    size_t matched = 0;
    size_t scanned = 0;  // bytes looked at since the last sync match started

    void reset() {
        buffer.clear();
        pos = 0;
        inFrame = false;
        matched = 0;
        scanned = 0;
    }

    void append(const Bytes& bytes) {
        if (pos > 0 && pos == buffer.size()) {
            buffer.clear();
            pos = 0;
        }
        buffer.insert(buffer.end(), bytes.begin(), bytes.end());
    }

    // The next complete event; *skipped grows by the garbage bytes passed.
    // A frame's words go into a fresh kj array: capnp::word can be neither
    // copied nor moved, so a container that resizes in place cannot hold it.
    Event next(kj::Array<capnp::word>* message, size_t* skipped) {
        for (;;) {
            if (!inFrame) {
                while (pos < buffer.size()) {
                    const uint8_t byte = buffer[pos++];
                    ++scanned;
                    if (byte == kSync[matched]) {
                        if (++matched == kSync.size()) {
                            *skipped += scanned - kSync.size();
                            scanned = 0;
                            matched = 0;
                            inFrame = true;
                            break;
                        }
                    } else {
                        matched = (byte == kSync[0]) ? 1 : 0;
                    }
                }
                if (!inFrame) {
                    compact();
                    return Event::NeedMore;
                }
            }
            const size_t available = buffer.size() - pos;
            const Header header = readHeader(available);
            if (header.kind == Header::Bad) return reject();
            if (header.kind == Header::Short || available < header.bytes) return Event::NeedMore;
            const uint64_t frameBytes = header.bytes;
            *message = kj::heapArray<capnp::word>(frameBytes / sizeof(capnp::word));
            std::memcpy(message->begin(), &buffer[pos], frameBytes);
            pos += frameBytes;
            inFrame = false;
            compact();
            return Event::Message;
        }
    }

    // Bytes that must still come in before a whole frame can be there,
    // counting the smallest frame (a one-segment table and one word) until
    // the table tells the real size. A header that next() would reject needs
    // no more bytes, but waits for them or for the run loop's next look.
    size_t needed() const {
        constexpr uint64_t kSmallestFrame = 16;
        if (!inFrame) return kSync.size() - matched + kSmallestFrame;
        const size_t available = buffer.size() - pos;
        const Header header = readHeader(available);
        uint64_t frameBytes = header.bytes;
        if (header.kind == Header::Bad) return 1;
        if (header.kind == Header::Short) {
            frameBytes = header.bytes < 8 ? kSmallestFrame : header.bytes + sizeof(capnp::word);
        }
        return frameBytes > available ? static_cast<size_t>(frameBytes - available) : 1;
    }

private:
    // What the segment table at `pos` tells from the bytes in hand. Short:
    // the table is not all there, `bytes` is what it takes to read on (4 for
    // the segment count, else the table's size). Known: `bytes` is the whole
    // frame's size. Bad: no device would accept it.
    struct Header {
        enum Kind { Short, Bad, Known } kind;
        uint64_t bytes;
    };
    Header readHeader(size_t available) const {
        if (available < 4) return {Header::Short, 4};
        const uint64_t segments = uint64_t{readLe32(&buffer[pos])} + 1;
        if (segments > 512) return {Header::Bad, 0};
        const uint64_t tableBytes = ((4 + 4 * segments) + 7) / 8 * 8;
        if (available < tableBytes) return {Header::Short, tableBytes};
        uint64_t words = 0;
        for (uint64_t i = 0; i < segments; ++i) words += readLe32(&buffer[pos + 4 + 4 * i]);
        if (words == 0 || words > kMaxRequestWords) return {Header::Bad, 0};
        return {Header::Known, tableBytes + words * sizeof(capnp::word)};
    }

    // A frame header no device would accept: skip its first word and look
    // for the sync bytes again from there.
    Event reject() {
        pos += 4;
        inFrame = false;
        return Event::Undecodable;
    }

    void compact() {
        if (pos == 0) return;
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(pos));
        pos = 0;
    }
};

struct SimFirmware::Incoming {
    uint32_t id = 0;
    uint16_t which = 0;
    mc::Request::Reader reader;
};

// The frames a scope sends make one burst when `open`, sent when the scope
// ends or at end().
class SimFirmware::Burst {
public:
    Burst(SimFirmware& firmware, bool open) : firmware_(firmware), open_(open) {
        if (open_) firmware_.beginBurst();
    }
    ~Burst() { end(); }
    Burst(const Burst&) = delete;
    Burst& operator=(const Burst&) = delete;
    void end() {
        if (open_) firmware_.endBurst();
        open_ = false;
    }

private:
    SimFirmware& firmware_;
    bool open_;
};

// ---------------------------------------------------------------------------
// Lifecycle

SimFirmware::SimFirmware(SimUsb& usb, uint8_t interfaceIndex) : usb_(usb), index_(interfaceIndex) {}

SimFirmware::~SimFirmware() { stop(); }

void SimFirmware::start() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_) return;
        running_ = true;
        stopping_ = false;
        inbox_.clear();
        inboxBytes_ = 0;
        inboxWanted_ = 1;
    }
    usb_.setWriteHandler(index_, [this](uint8_t, const Bytes& transfer) { onHostTransfer(transfer); });
    thread_ = std::thread([this] { run(); });
}

void SimFirmware::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) return;
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
    // Returns only once no handler call is still inside this object.
    usb_.setWriteHandler(index_, nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    stopping_ = false;
    inbox_.clear();
}

void SimFirmware::onHostTransfer(const Bytes& transfer) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return;
    inbox_.push_back(transfer);
    inboxBytes_ += transfer.size();
    // Like a controller that interrupts once a whole request is in: the
    // firmware is woken when it can get further, not for every transfer.
    if (inboxBytes_ >= inboxWanted_) changed_.unlockAndNotifyAll(lock);
}

void SimFirmware::run() {
    Parser parser;
    bool attached = false;
    uint64_t presence = 0;
    kj::Array<capnp::word> message;
    for (;;) {
        std::deque<Bytes> batch;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (stopping_) break;
            batch.swap(inbox_);
            inboxBytes_ = 0;
        }
        // The bus tells a device model nothing about plugging, so the
        // firmware looks at its presence on every turn; the presence count
        // also reveals a removal and replug that both fell between two looks.
        const uint64_t nowPresence = usb_.presenceCount(index_);
        const bool registered = usb_.isRegistered(index_);
        if (!registered || nowPresence != presence) {
            attached = false;
            parser.reset();
        }
        presence = nowPresence;
        if (registered) {
            if (!attached) {
                attached = true;
                newSession();
            }
            for (const Bytes& transfer : batch) parser.append(transfer);
            for (;;) {
                size_t skipped = 0;
                const Parser::Event event = parser.next(&message, &skipped);
                if (skipped != 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    skipped_ += skipped;
                }
                if (event == Parser::Event::NeedMore) break;
                if (event == Parser::Event::Undecodable) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    ++undecodable_;
                    continue;
                }
                handleRequest(message);
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) break;
            }
        }
        std::unique_lock<std::mutex> lock(mutex_);
        inboxWanted_ = parser.needed();
        // Bounded: presence is looked at again at least every few milliseconds.
        changed_.wait_for(lock, std::chrono::milliseconds(5),
                          [&] { return stopping_ || (!inbox_.empty() && inboxBytes_ >= inboxWanted_); });
        if (stopping_) break;
    }
}

void SimFirmware::newSession() {
    bool report = false;
    bool power = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        report = reportOnAttach_;
        power = powerReportOnAttach_;
    }
    if (!report) return;
    Burst burst(*this, power);
    sendDeviceState();
    if (power) sendNotification(static_cast<uint16_t>(mc::Notification::POWER_PERMITS_STREAMING), true);
}

bool SimFirmware::waitOrStop(std::chrono::microseconds duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (duration.count() > 0) changed_.wait_for(lock, duration, [&] { return stopping_; });
    return !stopping_;
}

int64_t SimFirmware::deviceNowNs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return OS_LYRG_getNsecTime() + clockOffsetNs_;
}

// ---------------------------------------------------------------------------
// Sending

bool SimFirmware::sendFrame(const kj::ArrayPtr<const capnp::word>& message) {
    const auto bytes = message.asBytes();
    Bytes frame(kSync.begin(), kSync.end());
    frame.insert(frame.end(), bytes.begin(), bytes.end());
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (burstThread_ == std::this_thread::get_id()) {
        // Whether it reaches the host is known only when the burst goes.
        burst_.push_back(std::move(frame));
        return true;
    }
    return usb_.deviceSend(index_, frame);
}

void SimFirmware::beginBurst() {
    std::lock_guard<std::mutex> lock(sendMutex_);
    burstThread_ = std::this_thread::get_id();
    burst_.clear();
}

bool SimFirmware::endBurst() {
    std::lock_guard<std::mutex> lock(sendMutex_);
    burstThread_.reset();
    std::vector<Bytes> frames = std::move(burst_);
    burst_.clear();
    if (frames.empty()) return true;
    size_t total = 0;
    for (const Bytes& frame : frames) total += frame.size();
    // Frames are 4 bytes past a whole word each: an even number of them
    // can be made to end on a packet boundary, an odd one cannot.
    if (frames.size() >= 2 && total % sizeof(capnp::word) == 0) {
        const size_t packet = usb_.packetSize();
        growLastSegment(frames.back(), (packet - total % packet) % packet);
    }
    Bytes transfer;
    for (const Bytes& frame : frames) transfer.insert(transfer.end(), frame.begin(), frame.end());
    return usb_.deviceSend(index_, transfer);
}

bool SimFirmware::sendMessage(capnp::MessageBuilder& builder) {
    const kj::Array<capnp::word> words = capnp::messageToFlatArray(builder);
    return sendFrame(words);
}

bool SimFirmware::sendRaw(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    return usb_.deviceSend(index_, bytes);
}

bool SimFirmware::sendResponse(uint32_t id, const std::function<void(mc::Response::Builder)>& fill) {
    capnp::MallocMessageBuilder builder;
    auto response = builder.initRoot<mc::Response>();
    response.setId(id);
    fill(response);
    return sendMessage(builder);
}

void SimFirmware::fillState(mc::DeviceState::Builder state) const {
    std::lock_guard<std::mutex> lock(mutex_);
    state.setProcessor(static_cast<mc::Processor>(processor_));
    state.setState(static_cast<mc::State>(state_));
}

bool SimFirmware::sendDeviceState() {
    const bool sent = sendResponse(lastRequestId(), [this](mc::Response::Builder response) {
        response.setError(mc::Error::SUCCESS);
        fillState(response.getMsg().initDeviceState());
    });
    if (sent) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++stateReports_;
        }
        changed_.notify_all();
    }
    return sent;
}

bool SimFirmware::sendNotification(uint16_t type, bool asserted) {
    return sendResponse(lastRequestId(), [&](mc::Response::Builder response) {
        response.setError(mc::Error::SUCCESS);
        auto notification = response.getMsg().initNotification();
        notification.setAsserted(asserted);
        notification.setType(static_cast<mc::Notification>(type));
    });
}

bool SimFirmware::sendTwistCompData(const TwistFrame& templ, const TwistFrame& match, float leftOffset,
                                    float rightOffset) {
    return sendResponse(lastRequestId(), [&](mc::Response::Builder response) {
        response.setError(mc::Error::SUCCESS);
        auto data = response.getMsg().initTwistCompData();
        auto fillFrame = [](mc::TwistCompData::Frame::Builder frame, const TwistFrame& source) {
            frame.setData(kj::arrayPtr(source.data.data(), source.data.size()));
            auto roi = frame.initRoi();
            roi.setX(source.x);
            roi.setY(source.y);
            roi.setW(source.w);
            roi.setH(source.h);
        };
        fillFrame(data.initTemplate(), templ);
        fillFrame(data.initMatch(), match);
        data.setLeftOffset(leftOffset);
        data.setRightOffset(rightOffset);
    });
}

// ---------------------------------------------------------------------------
// Requests

void SimFirmware::handleRequest(kj::ArrayPtr<const capnp::word> words) {
    ReplyPlan plan;
    Incoming request;
    try {
        capnp::FlatArrayMessageReader reader(words, requestReaderOptions());
        request.reader = reader.getRoot<mc::Request>();
        request.id = request.reader.getId();
        request.which = static_cast<uint16_t>(request.reader.getMsg().which());
        RequestHook hook;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requestKinds_.push_back(request.which);
            lastRequestId_ = request.id;
            hook = hook_;
        }
        if (!hook || !hook(request.reader, *this)) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                const auto planned = std::find_if(plans_.begin(), plans_.end(), [&](const ReplyPlan& p) {
                    return !p.forKind || *p.forKind == request.which;
                });
                if (planned != plans_.end()) {
                    plan = *planned;
                    plans_.erase(planned);
                } else {
                    plan = defaultPlan_;
                }
            }
            answer(request, plan);
        }
    } catch (const kj::Exception&) {
        // Content that does not decode (pointers out of bounds, limits):
        // the device drops the frame and goes on listening.
        std::lock_guard<std::mutex> lock(mutex_);
        ++undecodable_;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++handled_;
    }
    changed_.notify_all();
}

void SimFirmware::answer(const Incoming& request, const ReplyPlan& plan) {
    if (plan.delay.count() > 0 && !waitOrStop(plan.delay)) return;
    if (!plan.garbageBefore.empty()) sendRaw(plan.garbageBefore);

    using Kind = ReplyPlan::Kind;
    const auto which = static_cast<mc::Request::Msg::Which>(request.which);
    if (plan.kind == Kind::Silent) return;
    if (plan.kind == Kind::Unplug && !(which == mc::Request::Msg::FW_UPDATE && plan.unplugAfterReports > 0)) {
        usb_.unplug();
        return;
    }

    capnp::MallocMessageBuilder builder;
    auto response = builder.initRoot<mc::Response>();
    response.setId(plan.replyId.value_or(request.id + 1u));
    response.setError(mc::Error::SUCCESS);
    bool rebootAfter = false;

    if (plan.kind == Kind::Error) {
        response.setError(static_cast<mc::Error>(plan.error));
        fillState(response.getMsg().initDeviceState());
    } else if (plan.kind == Kind::WrongMember) {
        fillState(response.getMsg().initDeviceState());
    } else if (isUnimplemented(request.which)) {
        response.setError(mc::Error::NOT_SUPPORTED);
        fillState(response.getMsg().initDeviceState());
    } else {
        auto msg = request.reader.getMsg();
        switch (which) {
            case mc::Request::Msg::GET_DEV_INFO: {
                const SimDeviceInfo info = deviceInfo();
                auto out = response.getMsg().initDevInfo();
                out.setId(static_cast<mc::DeviceId>(info.id));
                out.setVariant(info.variant);
                out.setName(info.name);
                out.setSerial(info.serial);
                out.setManufacturer(info.manufacturer);
                out.setModel(info.model);
                out.setCredential(info.credential);
                out.setColor(static_cast<mc::Color>(info.color));
                out.setHasBattery(info.hasBattery);
                out.setDisableLeds(info.disableLeds);
                out.setBirthday(info.birthday);
                auto version = out.initFwVer();
                version.setMajor(info.fwMajor);
                version.setMinor(info.fwMinor);
                version.setRevision(info.fwRevision);
                version.setType(static_cast<mc::BuildType>(info.fwBuildType));
                out.setUsbSpeed(info.usbSpeed);
                out.setHwName(info.hwName);
                out.setIrCamModel(info.irCamModel);
                out.setIrCamType(info.irCamType);
                out.setVisCamModel(info.visCamModel);
                out.setVisCamType(info.visCamType);
                out.setLaserModel(info.laserModel);
                break;
            }
            case mc::Request::Msg::CLK_SYNC: {
                auto in = msg.getClkSync();
                if (in.getSetClk()) {
                    SimClockSetRecord record{in.getSec(), in.getNano(), in.getForceJump(), in.getDbg()};
                    std::lock_guard<std::mutex> lock(mutex_);
                    clockSets_.push_back(record);
                    // The host sends (host clock - device clock); the device
                    // takes it over, with or without a jump alike.
                    clockOffsetNs_ += record.sec * 1000000000 + record.nano;
                }
                const int64_t now = deviceNowNs();
                auto out = response.getMsg().initClkSync();
                out.setSec(now / 1000000000);
                out.setNano(now % 1000000000);
                break;
            }
            case mc::Request::Msg::SET_MODE: {
                const auto mode = msg.getSetMode().getMode();
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    modesSet_.push_back(static_cast<uint16_t>(mode));
                    rebootAfter = rebootUnplugs_ &&
                                  (mode == mc::DeviceMode::WARM_REBOOT || mode == mc::DeviceMode::COLD_REBOOT);
                }
                fillState(response.getMsg().initDeviceState());
                break;
            }
            case mc::Request::Msg::FW_UPDATE:
                runFwUpdate(request, plan, msg.getFwUpdate());
                return;
            case mc::Request::Msg::COMPONENT_SETTING: {
                const mc::Error error =
                    applySetting(request.id, msg.getComponentSetting(), response.getMsg().initComponentSetting());
                if (error != mc::Error::SUCCESS) {
                    response.setError(error);
                    fillState(response.getMsg().initDeviceState());
                }
                break;
            }
            case mc::Request::Msg::CALIBRATE: {
                const auto in = msg.getCalibrate();
                const SimCalibrateRecord record{static_cast<uint16_t>(in.getAction()), static_cast<uint16_t>(in.which())};
                std::string text;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    calibrateRequests_.push_back(record);
                    text = calibrationText_;
                }
                if (in.getAction() == mc::Calibrate::Action::RETRIEVE && in.which() == mc::Calibrate::DEVICE) {
                    response.getMsg().setDeviceCalibration(
                        kj::arrayPtr(reinterpret_cast<const kj::byte*>(text.data()), text.size()));
                } else {
                    // Running or saving a calibration is factory work.
                    response.setError(mc::Error::NOT_SUPPORTED);
                    fillState(response.getMsg().initDeviceState());
                }
                break;
            }
            case mc::Request::Msg::STREAMING_CFG:
                recordStreamingCfg(msg.getStreamingCfg());
                fillState(response.getMsg().initDeviceState());
                break;
            case mc::Request::Msg::TWIST_COMP_CFG: {
                const auto mode = static_cast<uint16_t>(msg.getTwistCompCfg().getMode());
                lockedPush(twistModes_, mode);
                fillState(response.getMsg().initDeviceState());
                break;
            }
            case mc::Request::Msg::SAVE_CAMERA_OFFSETS: {
                const uint64_t ts = msg.getSaveCameraOffsets().getTs();
                lockedPush(savedOffsets_, ts);
                fillState(response.getMsg().initDeviceState());
                break;
            }
            default:
                // Everything else the simulated device does not implement.
                response.setError(mc::Error::NOT_SUPPORTED);
                fillState(response.getMsg().initDeviceState());
                break;
        }
    }
    deliver(builder, plan);
    if (rebootAfter) {
        usb_.unplug();
        RebootListener listener;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            listener = rebootListener_;
        }
        if (listener) listener(static_cast<uint16_t>(request.reader.getMsg().getSetMode().getMode()));
    }
}

// ---------------------------------------------------------------------------
// Settings, calibration and stream configuration

mc::Error SimFirmware::applySetting(uint32_t requestId, mc::ComponentSetting::Reader in,
                                    mc::ComponentSetting::Builder out) {
    using S = mc::ComponentSetting;
    using Channel = SimComponentSettings::Channel;
    SimSettingRequest record;
    record.requestId = requestId;
    record.component = static_cast<uint16_t>(in.getComponent());
    record.writeFlag = in.getWriteFlag();
    record.member = static_cast<uint16_t>(in.which());
    const auto channelsOf = [](capnp::List<S::ChannelElement>::Reader list) {
        std::vector<Channel> channels;
        for (const auto element : list) channels.push_back({static_cast<uint16_t>(element.getChan()), element.getValue()});
        return channels;
    };
    const auto pairOf = [&record](bool set, S::Int16Pair::Reader pair) {
        record.pairSet = set;
        record.pair[0] = pair.getV1();
        record.pair[1] = pair.getV2();
    };
    std::vector<uint16_t> testColors;
    switch (in.which()) {
        case S::ANALOG_GAIN: record.channels = channelsOf(in.getAnalogGain()); break;
        case S::DIGITAL_GAIN: record.channels = channelsOf(in.getDigitalGain()); break;
        case S::EXPOSURE: record.floatValue = in.getExposure(); break;
        case S::DELAY: record.floatValue = in.getDelay(); break;
        case S::X_OFFSET: record.intValue = in.getXOffset(); break;
        case S::Y_OFFSET: record.intValue = in.getYOffset(); break;
        case S::POWER_OUTPUT: record.floatValue = in.getPowerOutput(); break;
        case S::NORMALIZATION: record.intValue = in.getNormalization(); break;
        case S::FPS: record.floatValue = in.getFps(); break;
        case S::MATCHING_WINDOW: pairOf(in.hasMatchingWindow(), in.getMatchingWindow()); break;
        case S::DISPARITY_RANGE: pairOf(in.hasDisparityRange(), in.getDisparityRange()); break;
        case S::SUBPIX_Y_OFFSET: record.floatValue = in.getSubpixYOffset(); break;
        case S::BLC: record.flag = in.getBlc(); break;
        case S::APPLY_WB: break;
        case S::GAMMA: record.floatValue = in.getGamma(); break;
        case S::TEST_MODE:
            record.intValue = static_cast<int16_t>(in.getTestMode().getMode());
            for (const uint16_t colour : in.getTestMode().getColors()) testColors.push_back(colour);
            break;
        default: break;
    }

    std::unique_lock<std::mutex> lock(mutex_);
    settingRequests_.push_back(record);
    changed_.notify_all();
    // notset (0) and values beyond depth (6) name no part of the device.
    if (record.component < 1 || record.component > 6) return mc::Error::INVALID_PARAMS;
    if (record.member > static_cast<uint16_t>(S::TEST_MODE)) return mc::Error::NOT_SUPPORTED;
    SimComponentSettings& stored = settings_[record.component];
    if (record.writeFlag) {
        switch (in.which()) {
            case S::ANALOG_GAIN: stored.analogGain = record.channels; break;
            case S::DIGITAL_GAIN: stored.digitalGain = record.channels; break;
            case S::EXPOSURE: stored.exposure = record.floatValue; break;
            case S::DELAY: stored.delay = record.floatValue; break;
            case S::X_OFFSET: stored.xOffset = record.intValue; break;
            case S::Y_OFFSET: stored.yOffset = record.intValue; break;
            case S::POWER_OUTPUT: stored.powerOutput = record.floatValue; break;
            case S::NORMALIZATION: stored.normalization = record.intValue; break;
            case S::FPS: stored.fps = record.floatValue; break;
            case S::MATCHING_WINDOW: std::copy(record.pair, record.pair + 2, stored.matchingWindow); break;
            case S::DISPARITY_RANGE: std::copy(record.pair, record.pair + 2, stored.disparityRange); break;
            case S::SUBPIX_Y_OFFSET: stored.subpixYOffset = record.floatValue; break;
            case S::BLC: stored.blc = record.flag; break;
            case S::APPLY_WB: ++stored.whiteBalanceApplied; break;
            case S::GAMMA: stored.gamma = record.floatValue; break;
            case S::TEST_MODE:
                stored.testMode = static_cast<uint16_t>(record.intValue);
                stored.testColors = testColors;
                break;
            default: break;
        }
    }
    const SimComponentSettings now = stored;
    lock.unlock();

    // The answer carries the member asked for, with the value now stored.
    out.setComponent(in.getComponent());
    out.setWriteFlag(record.writeFlag);
    const auto fillChannels = [](capnp::List<S::ChannelElement>::Builder list, const std::vector<Channel>& from) {
        for (unsigned i = 0; i < from.size(); ++i) {
            list[i].setChan(static_cast<mc::Channel>(from[i].chan));
            list[i].setValue(from[i].value);
        }
    };
    const auto fillPair = [](S::Int16Pair::Builder pair, const uint16_t (&from)[2]) {
        pair.setV1(from[0]);
        pair.setV2(from[1]);
    };
    switch (in.which()) {
        case S::ANALOG_GAIN:
            fillChannels(out.initAnalogGain(static_cast<unsigned>(now.analogGain.size())), now.analogGain);
            break;
        case S::DIGITAL_GAIN:
            fillChannels(out.initDigitalGain(static_cast<unsigned>(now.digitalGain.size())), now.digitalGain);
            break;
        case S::EXPOSURE: out.setExposure(now.exposure); break;
        case S::DELAY: out.setDelay(now.delay); break;
        case S::X_OFFSET: out.setXOffset(now.xOffset); break;
        case S::Y_OFFSET: out.setYOffset(now.yOffset); break;
        case S::POWER_OUTPUT: out.setPowerOutput(now.powerOutput); break;
        case S::NORMALIZATION: out.setNormalization(now.normalization); break;
        case S::FPS: out.setFps(now.fps); break;
        case S::MATCHING_WINDOW: fillPair(out.initMatchingWindow(), now.matchingWindow); break;
        case S::DISPARITY_RANGE: fillPair(out.initDisparityRange(), now.disparityRange); break;
        case S::SUBPIX_Y_OFFSET: out.setSubpixYOffset(now.subpixYOffset); break;
        case S::BLC: out.setBlc(now.blc); break;
        case S::APPLY_WB: out.setApplyWb(); break;
        case S::GAMMA: out.setGamma(now.gamma); break;
        case S::TEST_MODE: {
            auto mode = out.initTestMode();
            mode.setMode(static_cast<S::TestMode::Mode>(now.testMode));
            auto colours = mode.initColors(static_cast<unsigned>(now.testColors.size()));
            for (unsigned i = 0; i < now.testColors.size(); ++i) colours.set(i, now.testColors[i]);
            break;
        }
        default: break;
    }
    return mc::Error::SUCCESS;
}

void SimFirmware::recordStreamingCfg(mc::StreamingConfig::Reader config) {
    SimStreamingCfgRecord record;
    if (config.which() == mc::StreamingConfig::VPU3) {
        const auto vpu3 = config.getVpu3();
        record.vpu3 = true;
        const auto streamOf = [](bool present, mc::VPU3StreamingConfig::StreamConfig::Reader in) {
            SimStreamingCfgRecord::Stream stream;
            stream.present = present;
            stream.src = static_cast<uint16_t>(in.getSrc());
            stream.chunks = in.getChunks();
            stream.frameFormat = static_cast<uint16_t>(in.getFrameFormat());
            return stream;
        };
        record.ir = streamOf(vpu3.hasIr(), vpu3.getIr());
        record.vis = streamOf(vpu3.hasVis(), vpu3.getVis());
        record.depth = streamOf(vpu3.hasDepth(), vpu3.getDepth());
        record.decimated = vpu3.getDecimated();
        record.bpc = vpu3.getBpc();
        record.ib = vpu3.getIb();
        record.wb = vpu3.getWb();
        record.dms = vpu3.getDms();
        record.gcr = vpu3.getGcr();
        record.fir = vpu3.getFir();
        record.dsr = vpu3.getDsr();
        record.hybrid = vpu3.getHybrid();
        record.punishment = vpu3.getPunishment();
        record.irFps = vpu3.getIrFps();
        record.visFps = vpu3.getVisFps();
        record.autoExpPresent = vpu3.hasIrAutoExp();
        const auto autoExp = vpu3.getIrAutoExp();
        record.autoExpComponent = static_cast<uint16_t>(autoExp.getComponent());
        record.autoExpMode = static_cast<uint16_t>(autoExp.getMode());
        record.autoExpTarget = autoExp.getTarget();
        record.autoExpLpf = autoExp.getLpf();
        record.autoExpDeadzone = autoExp.getDeadzone();
        record.autoExpMaxChange = autoExp.getMaxChange();
        const auto roi = autoExp.getRoi();
        record.roiX = roi.getX();
        record.roiY = roi.getY();
        record.roiW = roi.getW();
        record.roiH = roi.getH();
    }
    StreamingCfgListener listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        streamingCfgs_.push_back(record);
        listener = streamingCfgListener_;
    }
    changed_.notify_all();
    if (listener) listener(record);
}

bool SimFirmware::isUnimplemented(uint16_t kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unimplemented_.count(kind) != 0;
}

const std::string& SimFirmware::defaultCalibrationText() {
    // A factory text of the older generation: stereo infrared pair, one
    // visible camera, IMU and depth-engine resampling; every key present.
    // Never destroyed, like every text a simulated device's thread may read
    // while the program exits.
    static const std::string& text = *new std::string(
        "version=4\n"
        "calib_date=2026-03-02_14:07:31\n"
        "fc_left=385.125 fc_right=385.5 cc_left_x=319.75 cc_left_y=241.25 cc_right_x=320.5 cc_right_y=239.875\n"
        "T=50.0625 squint_k0=0.00125 squint_k1=-0.0005 Nx=640 Ny=480\n"
        "vis_fx=612.5 vis_fy=612.25 vis_cx=640.5 vis_cy=360.25 vis_k1=0.09 vis_k2=-0.21 vis_k3=0.1\n"
        "vis_k4=0 vis_k5=0 vis_kb_fx=611.75 vis_kb_fy=611.5 vis_kb_cx=640.25 vis_kb_cy=360.5\n"
        "vis_kb_k1=0.35 vis_kb_k2=0.12 vis_kb_k3=-0.04 vis_kb_k4=0.005 vis_p1=0.0004 vis_p2=-0.0002\n"
        "vis_tx=-25.5 vis_ty=0.125 vis_tz=0.25 vis_rx=0.001 vis_ry=-0.002 vis_rz=0.0005\n"
        "vis_du=0.003 vis_dv=0.003 vis_nx=1280 vis_ny=720\n"
        "vis_kb_tx=-25.25 vis_kb_ty=0.1 vis_kb_tz=0.2 vis_kb_rx=0.001 vis_kb_ry=-0.002 vis_kb_rz=0.0005\n"
        "imu_scale_fac_gyro_x=1 imu_scale_fac_gyro_y=1 imu_scale_fac_gyro_z=1\n"
        "imu_scale_fac_accel_x=1 imu_scale_fac_accel_y=1 imu_scale_fac_accel_z=1\n"
        "imu_bias_gyro_x=0.01 imu_bias_gyro_y=-0.02 imu_bias_gyro_z=0.005\n"
        "imu_bias_accel_x=0.05 imu_bias_accel_y=-0.03 imu_bias_accel_z=0.08\n"
        "imu_tx=5.5 imu_ty=-2.25 imu_tz=1 imu_rx=0 imu_ry=0 imu_rz=0\n"
        "raw_left_fx=386.5 raw_left_fy=386.25 raw_left_cx=318.5 raw_left_cy=242.5\n"
        "raw_left_k1=-0.045 raw_left_k2=0.012 raw_left_p1=0.0003 raw_left_p2=-0.0001 raw_left_k3=0\n"
        "raw_right_fx=386.75 raw_right_fy=386.5 raw_right_cx=321.25 raw_right_cy=238.75\n"
        "raw_right_k1=-0.044 raw_right_k2=0.011 raw_right_p1=0.0002 raw_right_p2=-0.0002 raw_right_k3=0\n"
        "raw_right_from_left_tx=-50.0625 raw_right_from_left_ty=0.05 raw_right_from_left_tz=0.1\n"
        "raw_right_from_left_rx=0.002 raw_right_from_left_ry=-0.001 raw_right_from_left_rz=0.0015\n"
        "left_rectified_from_raw_rx=0.001 left_rectified_from_raw_ry=-0.0005 left_rectified_from_raw_rz=0.0007\n"
        "right_rectified_from_raw_rx=-0.001 right_rectified_from_raw_ry=0.0005 right_rectified_from_raw_rz=-0.0007\n"
        "dsr_left_yStartIn=0 dsr_left_initBuffFill=8 dsr_left_samplingIntervalX=1 dsr_left_samplingIntervalY=1\n"
        "dsr_left_yOffsetOut=0 dsr_left_xOffsetOut=0\n"
        "dsr_right_yStartIn=0 dsr_right_initBuffFill=8 dsr_right_samplingIntervalX=1 dsr_right_samplingIntervalY=1\n"
        "dsr_right_yOffsetOut=0 dsr_right_xOffsetOut=0\n"
        "temp_left=41.5 temp_right=42 temp_imu_accel=39.5 temp_imu_gyro=39.75\n"
        "color_correction_matrix_m00=1 color_correction_matrix_m01=0 color_correction_matrix_m02=0\n"
        "color_correction_matrix_m10=0 color_correction_matrix_m11=1 color_correction_matrix_m12=0\n"
        "color_correction_matrix_m20=0 color_correction_matrix_m21=0 color_correction_matrix_m22=1\n");
    return text;
}

void SimFirmware::deliver(capnp::MessageBuilder& builder, const ReplyPlan& plan) {
    using Kind = ReplyPlan::Kind;
    if (plan.kind == Kind::Truncated) {
        const kj::Array<capnp::word> words = capnp::messageToFlatArray(builder);
        const auto bytes = words.asBytes();
        Bytes frame(kSync.begin(), kSync.end());
        frame.insert(frame.end(), bytes.begin(), bytes.end());
        frame.resize(std::min(frame.size(), plan.truncateAt.value_or(kSync.size() + bytes.size() / 2)));
        sendRaw(frame);
        if (plan.thenUnplug) {
            // Removal drops what the host has not read yet, so the device
            // goes only once the host sits in a read waiting for the rest.
            // Bounded by two seconds: a host that never reads still loses its device.
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (usb_.pendingToHost(index_) != 0 && std::chrono::steady_clock::now() < giveUp) {
                if (!usb_.waitForBlockedReads(index_, 1, std::chrono::milliseconds(10))) continue;
                std::this_thread::yield();
            }
            usb_.unplug();
        }
        return;
    }
    if (plan.kind == Kind::Undecodable) {
        // 600 segments: more than any reader accepts. The header claims one
        // word for the first segment, so a reader gives up after 8 bytes.
        Bytes frame(kSync.begin(), kSync.end());
        const uint8_t header[8] = {0x57, 0x02, 0, 0, 1, 0, 0, 0};
        frame.insert(frame.end(), std::begin(header), std::end(header));
        sendRaw(frame);
    }
    sendMessage(builder);
}

// ---------------------------------------------------------------------------
// Firmware update

namespace {

struct ArchiveCheck {
    std::vector<std::string> members;
    uint32_t crcChecked = 0;
    std::string failure;
};

struct ArchiveFree {
    void operator()(struct archive* a) const { archive_read_free(a); }
};

bool isChecksumText(const std::vector<uint8_t>& text) {
    if (text.size() != 9 || text[8] != '\n') return false;
    return std::all_of(text.begin(), text.begin() + 8,
                       [](uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Reads the package as the device does: every member through the tar
// reader, then every checksum text against the member it names. A member
// whose checksum text names a packet that is not itself in the archive
// (the compressed microcontroller packets) has its text checked for form.
ArchiveCheck checkPackage(const uint8_t* data, size_t size) {
    ArchiveCheck check;
    std::unique_ptr<struct archive, ArchiveFree> reader(archive_read_new());
    if (!reader) {
        check.failure = "cannot create an archive reader";
        return check;
    }
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_memory(reader.get(), data, size) != ARCHIVE_OK) {
        check.failure = std::string("archive: ") + (archive_error_string(reader.get()) ? archive_error_string(reader.get()) : "unreadable");
        return check;
    }
    std::map<std::string, std::vector<uint8_t>> contents;
    struct archive_entry* entry = nullptr;
    int result = ARCHIVE_OK;
    while ((result = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        const char* path = archive_entry_pathname(entry);
        const std::string name = path ? path : "";
        check.members.push_back(name);
        if (archive_entry_filetype(entry) != AE_IFREG) continue;
        std::vector<uint8_t> content;
        std::array<uint8_t, 64 * 1024> chunk{};
        for (;;) {
            const la_ssize_t got = archive_read_data(reader.get(), chunk.data(), chunk.size());
            if (got < 0) {
                check.failure = "archive: " + name + ": " +
                                (archive_error_string(reader.get()) ? archive_error_string(reader.get()) : "read error");
                return check;
            }
            if (got == 0) break;
            content.insert(content.end(), chunk.begin(), chunk.begin() + got);
        }
        contents[name] = std::move(content);
    }
    if (result != ARCHIVE_EOF) {
        check.failure = std::string("archive: ") +
                        (archive_error_string(reader.get()) ? archive_error_string(reader.get()) : "damaged");
        return check;
    }
    if (check.members.empty()) {
        check.failure = "archive holds no members";
        return check;
    }
    static const std::string kSuffix = ".crc";
    for (const auto& [name, text] : contents) {
        if (name.size() <= kSuffix.size() || name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
            continue;
        }
        if (!isChecksumText(text)) {
            check.failure = "malformed checksum text: " + name;
            return check;
        }
        const std::string target = name.substr(0, name.size() - kSuffix.size());
        const auto found = contents.find(target);
        if (found == contents.end()) continue;
        const std::vector<uint8_t>& bytes = found->second;
        const uLong crc = crc32_z(crc32_z(0L, Z_NULL, 0), bytes.data(), bytes.size());
        char expected[9];
        std::snprintf(expected, sizeof expected, "%08lx", static_cast<unsigned long>(crc & 0xFFFFFFFFu));
        if (std::memcmp(expected, text.data(), 8) != 0) {
            check.failure = "checksum mismatch: " + target;
            return check;
        }
        ++check.crcChecked;
    }
    return check;
}

}  // namespace

void SimFirmware::runFwUpdate(const Incoming& request, const ReplyPlan& plan, mc::FWUpdate::Reader update) {
    SimFwUpdateRecord record;
    record.requestId = request.id;
    const capnp::Data::Reader file = update.getFwFile();
    record.bytes = file.size();
    record.timestamp = update.getTimestamp();
    record.moreToFollow = update.getMoreToFollow();
    record.allowDowngrade = update.getAllowDowngrade();
    record.partition = static_cast<uint16_t>(update.getParition());
    const auto version = update.getVersion();
    record.major = version.getMajor();
    record.minor = version.getMinor();
    record.revision = version.getRevision();
    record.buildType = static_cast<uint16_t>(version.getType());

    ArchiveCheck check = checkPackage(file.begin(), file.size());
    record.members = std::move(check.members);
    record.crcChecked = check.crcChecked;
    record.failure = check.failure;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastFwUpdate_ = record;
    }

    capnp::MallocMessageBuilder builder;
    auto response = builder.initRoot<mc::Response>();
    response.setId(plan.replyId.value_or(request.id + 1u));

    auto finish = [&](mc::Error error) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lastFwUpdate_) lastFwUpdate_->result = static_cast<uint16_t>(error);
    };

    if (!record.failure.empty()) {
        // A damaged package never touches the flash.
        response.setError(mc::Error::VALIDATION_FAILED);
        fillState(response.getMsg().initDeviceState());
        finish(mc::Error::VALIDATION_FAILED);
        deliver(builder, plan);
        return;
    }

    uint32_t blockBytes = 0;
    std::chrono::microseconds perBlock{0};
    bool withText = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        blockBytes = std::max<uint32_t>(1, blockBytes_);
        perBlock = perBlock_;
        withText = progressText_;
    }
    uint32_t blocks = static_cast<uint32_t>(std::max<uint64_t>(1, (record.bytes + blockBytes - 1) / blockBytes));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (blockCount_ != 0) blocks = blockCount_;
    }
    const bool unplugMidway = plan.kind == ReplyPlan::Kind::Unplug;
    uint32_t reports = 0;
    for (uint16_t action = 0; action < 3; ++action) {
        // A flash that takes no time has a whole phase's reports at once.
        Burst burst(*this, perBlock.count() == 0);
        for (uint32_t block = 1; block <= blocks; ++block) {
            if (!waitOrStop(perBlock)) return;
            sendResponse(request.id, [&](mc::Response::Builder progress) {
                progress.setError(mc::Error::SUCCESS);
                auto status = progress.getMsg().initFlashUpdateStatus();
                status.setAction(static_cast<mc::FlashUpdateStatus::Action>(action));
                status.setBlock(block);
                status.setTotalBlocks(blocks);
                if (withText) {
                    char text[64];
                    std::snprintf(text, sizeof text, "block %u of %u", block, blocks);
                    status.setMsg(text);
                }
            });
            if (unplugMidway && ++reports == plan.unplugAfterReports) {
                burst.end();
                usb_.unplug();
                return;
            }
        }
    }

    {
        std::lock_guard<std::mutex> lock(mutex_);
        info_.fwMajor = record.major;
        info_.fwMinor = record.minor;
        info_.fwRevision = record.revision;
        info_.fwBuildType = record.buildType;
    }
    response.setError(mc::Error::SUCCESS);
    // The closing report carries no text: the host logs it, it is no progress step.
    auto status = response.getMsg().initFlashUpdateStatus();
    status.setAction(mc::FlashUpdateStatus::Action::VERIFY);
    status.setBlock(blocks);
    status.setTotalBlocks(blocks);
    finish(mc::Error::SUCCESS);
    deliver(builder, plan);
}

// ---------------------------------------------------------------------------
// Configuration and observation

void SimFirmware::setDeviceInfo(const SimDeviceInfo& info) { lockedSet(mutex_, info_, info); }

SimDeviceInfo SimFirmware::deviceInfo() const { return lockedCopy(mutex_, info_); }

void SimFirmware::setDeviceState(uint16_t processor, uint16_t state) {
    std::lock_guard<std::mutex> lock(mutex_);
    processor_ = processor;
    state_ = state;
}

void SimFirmware::setReportStateOnAttach(bool on) { lockedSet(mutex_, reportOnAttach_, on); }

void SimFirmware::setPowerReportOnAttach(bool on) { lockedSet(mutex_, powerReportOnAttach_, on); }

void SimFirmware::setClockOffsetNs(int64_t offsetNs) { lockedSet(mutex_, clockOffsetNs_, offsetNs); }

int64_t SimFirmware::clockOffsetNs() const { return lockedCopy(mutex_, clockOffsetNs_); }

void SimFirmware::setFlashTiming(uint32_t blockBytes, std::chrono::microseconds perBlock) {
    std::lock_guard<std::mutex> lock(mutex_);
    blockBytes_ = std::max<uint32_t>(1, blockBytes);
    perBlock_ = perBlock;
}

void SimFirmware::setFlashBlockCount(uint32_t blocks) { lockedSet(mutex_, blockCount_, blocks); }

void SimFirmware::setRequestHook(RequestHook hook) { lockedSet(mutex_, hook_, std::move(hook)); }

void SimFirmware::setProgressText(bool on) { lockedSet(mutex_, progressText_, on); }

void SimFirmware::setRebootUnplugs(bool on) { lockedSet(mutex_, rebootUnplugs_, on); }

void SimFirmware::setRebootListener(RebootListener listener) { lockedSet(mutex_, rebootListener_, std::move(listener)); }

void SimFirmware::setDefaultPlan(const ReplyPlan& plan) { lockedSet(mutex_, defaultPlan_, plan); }

void SimFirmware::planNext(const ReplyPlan& plan) {
    std::lock_guard<std::mutex> lock(mutex_);
    plans_.push_back(plan);
}

void SimFirmware::setComponentSettings(uint16_t component, const SimComponentSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_[component] = settings;
}

SimComponentSettings SimFirmware::componentSettings(uint16_t component) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = settings_.find(component);
    return found != settings_.end() ? found->second : SimComponentSettings{};
}

void SimFirmware::setCalibrationText(const std::string& text) { lockedSet(mutex_, calibrationText_, text); }

void SimFirmware::setUnimplemented(uint16_t kind, bool unimplemented) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unimplemented) {
        unimplemented_.insert(kind);
    } else {
        unimplemented_.erase(kind);
    }
}

void SimFirmware::setStreamingCfgListener(StreamingCfgListener listener) {
    lockedSet(mutex_, streamingCfgListener_, std::move(listener));
}

std::vector<SimSettingRequest> SimFirmware::settingRequests() const { return lockedCopy(mutex_, settingRequests_); }

std::vector<SimCalibrateRecord> SimFirmware::calibrateRequests() const {
    return lockedCopy(mutex_, calibrateRequests_);
}

std::vector<SimStreamingCfgRecord> SimFirmware::streamingCfgs() const { return lockedCopy(mutex_, streamingCfgs_); }

std::vector<uint16_t> SimFirmware::twistModes() const { return lockedCopy(mutex_, twistModes_); }

std::vector<uint64_t> SimFirmware::savedOffsets() const { return lockedCopy(mutex_, savedOffsets_); }

std::vector<uint16_t> SimFirmware::requestKinds() const { return lockedCopy(mutex_, requestKinds_); }

uint32_t SimFirmware::lastRequestId() const { return lockedCopy(mutex_, lastRequestId_); }

bool SimFirmware::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    return waitUnder(mutex_, changed_, timeout, [&] { return handled_ >= count; });
}

size_t SimFirmware::undecodableCount() const { return lockedCopy(mutex_, undecodable_); }

size_t SimFirmware::skippedBytes() const { return lockedCopy(mutex_, skipped_); }

std::optional<SimFwUpdateRecord> SimFirmware::lastFwUpdate() const { return lockedCopy(mutex_, lastFwUpdate_); }

std::vector<SimClockSetRecord> SimFirmware::clockSets() const { return lockedCopy(mutex_, clockSets_); }

std::vector<uint16_t> SimFirmware::modesSet() const { return lockedCopy(mutex_, modesSet_); }

size_t SimFirmware::stateReportsSent() const { return lockedCopy(mutex_, stateReports_); }

bool SimFirmware::waitForStateReports(size_t count, std::chrono::milliseconds timeout) const {
    return waitUnder(mutex_, changed_, timeout, [&] { return stateReports_ >= count; });
}

}  // namespace zsim
