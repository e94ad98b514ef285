#include "sim/sim_service_peer.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "sim/sim_locked.h"

namespace zsim {

// State shared with the handlers: a handler already running on the
// processor's thread when the peer goes keeps it alive and finds it stopped.
struct SimServicePeer::Shared {
    using Clock = std::chrono::steady_clock;

    struct Pending {
        Clock::time_point due;
        uint8_t iface;
        uint32_t channel;
        VpuHeader header;
        Bytes payload;
        std::function<void()> then;
    };

    SimVpu* vpu = nullptr;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool echo = true;
    bool stopping = false;
    std::map<uint32_t, Answer> answers;
    std::map<uint32_t, std::function<void()>> after;
    std::vector<Pending> pending;  // delayed answers, sent by the sender thread
    size_t keepAlives = 0;
    size_t answered = 0;
    std::vector<VpuPacket> requests;
    std::vector<VpuPacket> data;
    std::thread sender;

    void onPacket(SimVpu& on, const VpuPacket& packet) {
        if (!packet.hasHeader()) return;
        const VpuHeader header = packet.header();
        std::unique_lock<std::mutex> lock(mutex);
        if (stopping) return;
        switch (header.type()) {
            case kLinkType: {
                ++keepAlives;
                const bool send = echo;
                changed.notify_all();
                lock.unlock();
                if (send) on.sendRaw(packet.iface, SimVpu::encodeRaw(packet.channel, packet.body));
                return;
            }
            case kRequestType: {
                requests.push_back(packet);
                changed.notify_all();
                Answer answer;
                if (auto it = answers.find(header.code); it != answers.end()) answer = it->second;
                if (answer.silent) return;
                std::function<void()> then;
                if (auto it = after.find(header.code); it != after.end()) then = it->second;
                Bytes record = answer.record ? *answer.record : packet.payload();
                const VpuHeader reply = VpuHeader::make(kResponseType, static_cast<uint32_t>(record.size()),
                                                        header.code, answer.status);
                if (answer.delay.count() > 0) {
                    pending.push_back({Clock::now() + answer.delay, packet.iface, packet.channel, reply,
                                       std::move(record), std::move(then)});
                    changed.notify_all();
                    return;
                }
                lock.unlock();
                on.sendPacket(packet.iface, packet.channel, reply, record);
                if (then) then();
                lock.lock();
                ++answered;  // counted once it is on its way to the host
                changed.notify_all();
                return;
            }
            default:
                data.push_back(packet);
                changed.notify_all();
                return;
        }
    }

    // Sends each delayed answer when it falls due; what is still pending at
    // the end is dropped, as a processor that goes away would.
    void runSender() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (stopping) return;
            if (pending.empty()) {
                changed.wait(lock);
                continue;
            }
            auto next = pending.begin();
            for (auto it = pending.begin(); it != pending.end(); ++it)
                if (it->due < next->due) next = it;
            if (const Clock::time_point due = next->due; Clock::now() < due) {
                // A copy: the vector may grow while this thread waits.
                changed.wait_until(lock, due);
                continue;
            }
            Pending due = std::move(*next);
            pending.erase(next);
            lock.unlock();
            vpu->sendPacket(due.iface, due.channel, due.header, due.payload);
            if (due.then) due.then();
            lock.lock();
            ++answered;
            changed.notify_all();
        }
    }

    template <typename Pred>
    bool waitUntil(std::chrono::milliseconds timeout, Pred pred) const {
        return waitUnder(mutex, changed, timeout, pred);
    }
};

SimServicePeer::SimServicePeer(SimVpu& vpu) : shared_(std::make_shared<Shared>()) {
    shared_->vpu = &vpu;
    shared_->sender = std::thread([shared = shared_.get()] { shared->runSender(); });
}

SimServicePeer::~SimServicePeer() {
    for (uint32_t channel : served_) shared_->vpu->setChannelHandler(channel, nullptr);
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->changed.notify_all();
    if (shared_->sender.joinable()) shared_->sender.join();
}

void SimServicePeer::serve(uint32_t channel) {
    std::weak_ptr<Shared> weak = shared_;
    shared_->vpu->setChannelHandler(channel, [weak](SimVpu& vpu, const VpuPacket& packet) {
        if (auto shared = weak.lock()) shared->onPacket(vpu, packet);
    });
    served_.push_back(channel);
}

void SimServicePeer::setKeepAliveEcho(bool on) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->echo = on;
}

void SimServicePeer::setAnswer(uint32_t code, Answer answer) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->answers[code] = std::move(answer);
}

void SimServicePeer::clearAnswer(uint32_t code) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->answers.erase(code);
}

void SimServicePeer::setAfterAnswer(uint32_t code, std::function<void()> after) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (after) {
        shared_->after[code] = std::move(after);
    } else {
        shared_->after.erase(code);
    }
}

size_t SimServicePeer::keepAlivesSeen() const { return lockedCopy(shared_->mutex, shared_->keepAlives); }

std::vector<VpuPacket> SimServicePeer::requests() const { return lockedCopy(shared_->mutex, shared_->requests); }

std::vector<VpuPacket> SimServicePeer::dataMessages() const { return lockedCopy(shared_->mutex, shared_->data); }

size_t SimServicePeer::answersSent() const { return lockedCopy(shared_->mutex, shared_->answered); }

bool SimServicePeer::waitForKeepAlives(size_t count, std::chrono::milliseconds timeout) const {
    return shared_->waitUntil(timeout, [&] { return shared_->keepAlives >= count; });
}

bool SimServicePeer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    return shared_->waitUntil(timeout, [&] { return shared_->requests.size() >= count; });
}

bool SimServicePeer::waitForDataMessages(size_t count, std::chrono::milliseconds timeout) const {
    return shared_->waitUntil(timeout, [&] { return shared_->data.size() >= count; });
}

bool SimServicePeer::waitForAnswers(size_t count, std::chrono::milliseconds timeout) const {
    return shared_->waitUntil(timeout, [&] { return shared_->answered >= count; });
}

}  // namespace zsim
