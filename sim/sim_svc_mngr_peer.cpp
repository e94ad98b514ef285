#include "sim/sim_svc_mngr_peer.h"

#include <condition_variable>
#include <functional>
#include <mutex>

namespace zsim {

namespace {

constexpr uint32_t kLinkType = 3;
constexpr uint32_t kRequestType = 0;
constexpr uint32_t kResponseType = 1;

uint32_t readU32(const Bytes& bytes) {
    if (bytes.size() < 4) return UINT32_MAX;
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

}  // namespace

// State shared with the handler: a handler already running on the
// processor's thread when the peer goes keeps it alive and finds it stopped.
struct SimSvcMngrPeer::Shared {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    SimVpu* vpu = nullptr;
    bool echo = true;
    bool stopping = false;
    std::map<uint32_t, Answer> openAnswers;
    std::map<uint32_t, Answer> closeAnswers;
    uint32_t passThroughStatus = 0;
    size_t keepAlives = 0;
    size_t passThroughs = 0;
    size_t unknown = 0;
    std::vector<Request> requests;
    std::set<uint32_t> open;

    void onPacket(SimVpu& on, const VpuPacket& packet) {
        if (!packet.hasHeader()) return;
        const VpuHeader header = packet.header();
        std::unique_lock<std::mutex> lock(mutex);
        if (stopping) return;
        if (header.type() == kLinkType) {
            ++keepAlives;
            const bool send = echo;
            changed.notify_all();
            lock.unlock();
            if (send) on.sendRaw(packet.iface, SimVpu::encodeRaw(packet.channel, packet.body));
            return;
        }
        if (header.type() != kRequestType) return;
        const Bytes record = packet.payload();
        uint32_t status = 0;
        switch (header.code) {
            case kOpenCode:
            case kCloseCode: {
                const uint32_t sid = readU32(record);
                requests.push_back({header.code, sid});
                changed.notify_all();
                const auto& answers = header.code == kOpenCode ? openAnswers : closeAnswers;
                Answer answer;
                if (auto it = answers.find(sid); it != answers.end()) answer = it->second;
                if (answer.silent) return;
                status = answer.status;
                if ((status & 0xFFFFu) == 0) {
                    if (header.code == kOpenCode)
                        open.insert(sid);
                    else
                        open.erase(sid);
                }
                break;
            }
            case kPassThroughCode:
                ++passThroughs;
                status = passThroughStatus;
                break;
            default:
                ++unknown;
                status = kNotSupported;
                break;
        }
        changed.notify_all();
        lock.unlock();
        on.sendPacket(packet.iface, packet.channel,
                      VpuHeader::make(kResponseType, static_cast<uint32_t>(record.size()), header.code, status),
                      record);
    }

    template <typename Pred>
    bool waitUntil(std::chrono::milliseconds timeout, Pred pred) const {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, pred);
    }
};

SimSvcMngrPeer::SimSvcMngrPeer(SimVpu& vpu) : shared_(std::make_shared<Shared>()) { shared_->vpu = &vpu; }

SimSvcMngrPeer::~SimSvcMngrPeer() {
    if (serving_) shared_->vpu->setChannelHandler(kChannel, nullptr);
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
}

void SimSvcMngrPeer::serve() {
    std::weak_ptr<Shared> weak = shared_;
    shared_->vpu->setChannelHandler(kChannel, [weak](SimVpu& vpu, const VpuPacket& packet) {
        if (auto shared = weak.lock()) shared->onPacket(vpu, packet);
    });
    serving_ = true;
}

void SimSvcMngrPeer::setKeepAliveEcho(bool on) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->echo = on;
}

void SimSvcMngrPeer::setOpenAnswer(uint32_t sid, Answer answer) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->openAnswers[sid] = answer;
}

void SimSvcMngrPeer::setCloseAnswer(uint32_t sid, Answer answer) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->closeAnswers[sid] = answer;
}

void SimSvcMngrPeer::setPassThroughStatus(uint32_t status) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->passThroughStatus = status;
}

size_t SimSvcMngrPeer::keepAlivesSeen() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->keepAlives;
}

std::vector<SimSvcMngrPeer::Request> SimSvcMngrPeer::requests() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->requests;
}

size_t SimSvcMngrPeer::passThroughsSeen() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->passThroughs;
}

size_t SimSvcMngrPeer::unknownRequestsSeen() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->unknown;
}

std::set<uint32_t> SimSvcMngrPeer::openServices() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->open;
}

bool SimSvcMngrPeer::waitForKeepAlives(size_t count, std::chrono::milliseconds timeout) const {
    return shared_->waitUntil(timeout, [&] { return shared_->keepAlives >= count; });
}

bool SimSvcMngrPeer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    return shared_->waitUntil(timeout, [&] { return shared_->requests.size() >= count; });
}

// --- the whole processor side ------------------------------------------------------------

const std::vector<uint32_t>& SimProcessorServices::genericChannels() {
    // LOGGER 13/14, VIDEO 5/6, DEPTH 7/8, WEBCAM 9/10, ALG 11/12, POS_SENSORS 17/18.
    static const std::vector<uint32_t> channels = {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 17, 18};
    return channels;
}

SimProcessorServices::SimProcessorServices(SimVpu& vpu)
    : manager(vpu), system(vpu), services(vpu), producers(vpu), frames(vpu) {}

void SimProcessorServices::serve() {
    manager.serve();
    system.serve();
    for (uint32_t channel : genericChannels()) services.serve(channel);
}

void SimProcessorServices::forwardBootLog(bool on) {
    std::function<void()> forward;
    if (on) forward = [this] { producers.sendBootLog(); };
    services.setAfterAnswer(SimSensorProducers::kLoggerStartCode, std::move(forward));
}

}  // namespace zsim
