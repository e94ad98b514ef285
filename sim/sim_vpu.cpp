#include "sim/sim_vpu.h"

#include <algorithm>

#include "sim/sim_bytes.h"

namespace zsim {

namespace {

uint32_t getLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
           (static_cast<uint32_t>(at[3]) << 24);
}

}  // namespace

VpuHeader VpuPacket::header() const {
    if (!hasHeader()) return VpuHeader{};
    return VpuHeader{getLe32(body.data()), getLe32(body.data() + 4), getLe32(body.data() + 8)};
}

Bytes VpuPacket::payload() const {
    if (!hasHeader()) return {};
    return Bytes(body.begin() + 12, body.end());
}

SimVpu::SimVpu(SimUsb& usb) : usb_(usb) {}

SimVpu::~SimVpu() { stop(); }

void SimVpu::start() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_) return;
        running_ = true;
        stopping_ = false;
    }
    thread_ = std::thread([this] { run(); });
    for (uint8_t iface = 0; iface < kInterfaces; ++iface)
        usb_.setWriteHandler(iface, [this](uint8_t index, const Bytes& transfer) { onHostTransfer(index, transfer); });
}

void SimVpu::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) return;
    }
    // Once the bus has taken the handlers back, no host transfer reaches
    // this object any more.
    for (uint8_t iface = 0; iface < kInterfaces; ++iface) usb_.setWriteHandler(iface, nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
}

void SimVpu::takeInterface(uint8_t iface) {
    {
        // Not held across the bus call: that waits for handlers in flight,
        // and they take this lock.
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_ || stopping_ || iface >= kInterfaces) return;
    }
    usb_.setWriteHandler(iface, [this](uint8_t index, const Bytes& transfer) { onHostTransfer(index, transfer); });
}

void SimVpu::setChannelHandler(uint32_t channel, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handler)
        handlers_[channel] = std::move(handler);
    else
        handlers_.erase(channel);
}

SimVpu::Handler SimVpu::echo() {
    return [](SimVpu& vpu, const VpuPacket& packet) { vpu.sendRaw(packet.iface, encodeRaw(packet.channel, packet.body)); };
}

void SimVpu::setSilent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_ = silent;
}

void SimVpu::resetStreams() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& stream : streams_) {
        stream.pending.clear();
        stream.transfers = 0;
    }
}

Bytes SimVpu::encode(uint32_t channel, const VpuHeader& header, const Bytes& payload) {
    Bytes body;
    body.reserve(12 + payload.size());
    putLe(body, header.word0, 4);
    putLe(body, header.code, 4);
    putLe(body, header.status, 4);
    body.insert(body.end(), payload.begin(), payload.end());
    return encodeRaw(channel, body);
}

Bytes SimVpu::encodeRaw(uint32_t channel, const Bytes& body) {
    Bytes out;
    out.reserve(4 + body.size());
    putLe(out, (channel << kChannelShift) | (static_cast<uint32_t>(body.size()) & kLengthMask), 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bool SimVpu::sendPacket(uint8_t iface, uint32_t channel, const VpuHeader& header, const Bytes& payload) {
    return usb_.deviceSend(iface, encode(channel, header, payload));
}

bool SimVpu::sendPacketSplit(uint8_t iface, uint32_t channel, const VpuHeader& header, const Bytes& payload,
                             const std::vector<size_t>& cuts) {
    const Bytes packet = encode(channel, header, payload);
    size_t from = 0;
    for (size_t cut : cuts) {
        cut = std::min(cut, packet.size());
        if (cut <= from) continue;
        if (!usb_.deviceSend(iface, packet.data() + from, cut - from)) return false;
        from = cut;
    }
    if (from < packet.size()) return usb_.deviceSend(iface, packet.data() + from, packet.size() - from);
    return true;
}

bool SimVpu::sendRunt(uint8_t iface, uint32_t channel, uint32_t bodyLength) {
    Bytes body(std::min<uint32_t>(bodyLength, 11), 0xEE);
    return sendRaw(iface, encodeRaw(channel, body));
}

bool SimVpu::sendRaw(uint8_t iface, const Bytes& bytes) { return usb_.deviceSend(iface, bytes); }

std::vector<VpuPacket> SimVpu::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

size_t SimVpu::receivedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
}

bool SimVpu::waitForPackets(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return handled_ >= count; });
}

size_t SimVpu::transfersSeen(uint8_t iface) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return iface < kInterfaces ? streams_[iface].seen : 0;
}

size_t SimVpu::partialBytes(uint8_t iface) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return iface < kInterfaces ? streams_[iface].pending.size() : 0;
}

// Runs on the host's writing thread: only reassembly, the handlers run on
// the processor's own thread.
void SimVpu::onHostTransfer(uint8_t iface, const Bytes& transfer) {
    if (iface >= kInterfaces) return;
    std::lock_guard<std::mutex> lock(mutex_);
    Stream& stream = streams_[iface];
    ++stream.seen;
    if (transfer.empty()) return;
    stream.pending.insert(stream.pending.end(), transfer.begin(), transfer.end());
    ++stream.transfers;
    size_t at = 0;
    while (stream.pending.size() - at >= 4) {
        const uint32_t word = getLe32(stream.pending.data() + at);
        const size_t length = word & kLengthMask;
        if (stream.pending.size() - at - 4 < length) break;
        VpuPacket packet;
        packet.iface = iface;
        packet.channel = word >> kChannelShift;
        packet.body.assign(stream.pending.begin() + static_cast<std::ptrdiff_t>(at + 4),
                           stream.pending.begin() + static_cast<std::ptrdiff_t>(at + 4 + length));
        packet.transfers = stream.transfers;
        at += 4 + length;
        // A transfer that completed one packet and began the next counts for both.
        stream.transfers = stream.pending.size() > at ? 1 : 0;
        received_.push_back(packet);
        inbox_.push_back(std::move(packet));
    }
    stream.pending.erase(stream.pending.begin(), stream.pending.begin() + static_cast<std::ptrdiff_t>(at));
    changed_.notify_all();
}

void SimVpu::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !inbox_.empty(); });
        if (stopping_) return;
        VpuPacket packet = std::move(inbox_.front());
        inbox_.pop_front();
        Handler handler;
        if (!silent_) {
            auto it = handlers_.find(packet.channel);
            if (it != handlers_.end()) handler = it->second;
        }
        if (handler) {
            lock.unlock();
            handler(*this, packet);
            lock.lock();
        }
        ++handled_;
        changed_.notify_all();
    }
}

}  // namespace zsim
