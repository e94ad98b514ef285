#include "sim/sim_system_peer.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "sim/sim_bytes.h"
#include "sim/sim_locked.h"

namespace zsim {

namespace {

constexpr uint32_t kRequestType = 0;
constexpr uint32_t kResponseType = 1;
constexpr uint32_t kDataType = 2;

// Wire size of each chunk header record the host sends.
size_t recordSize(uint32_t code) {
    switch (code) {
        case SimSystemPeer::kLutChunk:
            return 20;  // 4 id, 2 flag, 2 index, 4 size, 4 count, 4 total
        case SimSystemPeer::kCevaChunk:
        case SimSystemPeer::kBufChunk:
            return 14;  // 4 type or address, 2 index, 4 size, 4 count
        case SimSystemPeer::kFlashWriteChunk:
            return 16;  // 2 word, 2 index, 4 size, 4 count, 4 total
        default:
            return 0;
    }
}

SimSystemPeer::Chunk decodeChunk(uint32_t code, uint32_t channel, const Bytes& body) {
    SimSystemPeer::Chunk chunk;
    chunk.code = code;
    chunk.channel = channel;
    const size_t size = std::min(recordSize(code), body.size());
    chunk.record.assign(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(size));
    chunk.data.assign(body.begin() + static_cast<std::ptrdiff_t>(size), body.end());
    const Bytes& r = chunk.record;
    switch (code) {
        case SimSystemPeer::kLutChunk:
            chunk.lutId = getLe(r, 0, 4);
            chunk.lutFlag = getLe(r, 4, 2);
            chunk.index = getLe(r, 6, 2);
            chunk.size = getLe(r, 8, 4);
            chunk.count = getLe(r, 12, 4);
            chunk.total = getLe(r, 16, 4);
            break;
        case SimSystemPeer::kCevaChunk:
        case SimSystemPeer::kBufChunk:
            // One layout; its leading word is the data type or the address.
            (code == SimSystemPeer::kCevaChunk ? chunk.dataType : chunk.address) = getLe(r, 0, 4);
            chunk.index = getLe(r, 4, 2);
            chunk.size = getLe(r, 6, 4);
            chunk.count = getLe(r, 10, 4);
            break;
        case SimSystemPeer::kFlashWriteChunk:
            chunk.word = getLe(r, 0, 2);
            chunk.index = getLe(r, 2, 2);
            chunk.size = getLe(r, 4, 4);
            chunk.count = getLe(r, 8, 4);
            chunk.total = getLe(r, 12, 4);
            break;
        default:
            break;
    }
    return chunk;
}

}  // namespace

// State shared with the handlers: a handler already running on the
// processor's thread when the peer goes keeps it alive and finds it stopped.
struct SimSystemPeer::Shared {
    SimVpu* vpu = nullptr;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool stopping = false;
    AckMode ackMode = AckMode::PerBlock;
    Bytes flash;
    uint32_t memoryBase = 0;
    Bytes memory;
    ReadPlan plan;
    std::map<uint32_t, uint32_t> statuses;
    std::vector<Chunk> chunks;
    std::vector<Block> blocks;
    std::map<uint32_t, size_t> openBlock;  // code -> index in blocks of the block in progress
    std::vector<VpuPacket> requests;
    size_t acks = 0;
    size_t answers = 0;

    void onPacket(SimVpu& on, const VpuPacket& packet) {
        if (!packet.hasHeader()) return;
        const VpuHeader header = packet.header();
        if (header.type() == kDataType && recordSize(header.code) > 0) {
            onChunk(on, packet.channel, header.code, packet.payload());
            return;
        }
        if (header.type() == kRequestType) onRequest(on, packet);
    }

    void onChunk(SimVpu& on, uint32_t channel, uint32_t code, const Bytes& body) {
        Chunk chunk = decodeChunk(code, channel, body);
        bool ack = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) return;
            auto open = openBlock.find(code);
            if (chunk.index == 0 || open == openBlock.end()) {
                blocks.push_back(Block{code, {}, {}, false});
                open = openBlock.insert_or_assign(code, blocks.size() - 1).first;
            }
            Block& block = blocks[open->second];
            block.chunks.push_back(chunk);
            block.bytes.insert(block.bytes.end(), chunk.data.begin(), chunk.data.end());
            if (chunk.count > 0 && chunk.index + 1 == chunk.count) {
                block.complete = true;
                openBlock.erase(open);
            }
            ack = ackMode == AckMode::PerChunk || (ackMode == AckMode::PerBlock && block.complete);
            chunks.push_back(std::move(chunk));
            changed.notify_all();
        }
        if (!ack) return;
        // The acknowledgement carries the header record of the chunk it answers.
        const Bytes record = Bytes(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(
                                                                    std::min(recordSize(code), body.size())));
        if (on.sendPacket(kIface, kDataChannel, VpuHeader::make(kDataType, static_cast<uint32_t>(record.size()), code),
                          record)) {
            std::lock_guard<std::mutex> lock(mutex);
            ++acks;
            changed.notify_all();
        }
    }

    void onRequest(SimVpu& on, const VpuPacket& packet) {
        const VpuHeader header = packet.header();
        const Bytes record = packet.payload();
        ReadPlan readPlan;
        uint32_t status = 0;
        Bytes contents;
        uint32_t base = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) return;
            requests.push_back(packet);
            changed.notify_all();
            readPlan = plan;
            if (auto it = statuses.find(header.code); it != statuses.end()) status = it->second;
            if (header.code == kFlashRead) contents = flash;
            if (header.code == kReadBuf) {
                contents = memory;
                base = memoryBase;
            }
        }
        bool respond = true;
        if (header.code == kFlashRead) {
            sendFlashRead(on, getLe(record, 0, 4), contents, readPlan);
            respond = readPlan.respond;
            status = readPlan.status;
        } else if (header.code == kReadBuf) {
            sendBufferRead(on, getLe(record, 0, 4), getLe(record, 4, 4), base, contents, readPlan);
            respond = readPlan.respond;
            status = readPlan.status;
        }
        if (!respond) return;
        if (on.sendPacket(packet.iface, packet.channel,
                          VpuHeader::make(kResponseType, static_cast<uint32_t>(record.size()), header.code, status),
                          record)) {
            std::lock_guard<std::mutex> lock(mutex);
            ++answers;
            changed.notify_all();
        }
    }

    static void sendFlashRead(SimVpu& on, uint32_t asked, const Bytes& contents, const ReadPlan& readPlan) {
        const uint32_t bytes = readPlan.bytesToSend.value_or(asked);
        Bytes data(bytes, 0);
        std::copy_n(contents.begin(), std::min<size_t>(contents.size(), bytes), data.begin());
        const uint32_t total = readPlan.totalSize.value_or(bytes);
        sendInChunks(on, kFlashReadChunk, data, readPlan, [total](uint32_t index, uint32_t size, uint32_t count) {
            return flashChunkRecord(1, index, size, count, total);
        });
    }

    static void sendBufferRead(SimVpu& on, uint32_t address, uint32_t asked, uint32_t base, const Bytes& memory,
                               const ReadPlan& readPlan) {
        const uint32_t bytes = readPlan.bytesToSend.value_or(asked);
        Bytes data(bytes, 0);
        for (uint32_t i = 0; i < bytes; ++i) {
            const uint64_t at = uint64_t{address} + i;
            if (at >= base && at - base < memory.size()) data[i] = memory[at - base];
        }
        sendInChunks(on, kReadBufChunk, data, readPlan, [&readPlan](uint32_t index, uint32_t size, uint32_t count) {
            return readBufChunkRecord(index, readPlan.sizeField.value_or(size), count);
        });
    }

    // Sends `data` in chunks of kChunkSize, leaving out those the plan skips;
    // `record` makes each chunk's header record from its index, size and count.
    template <typename RecordFn>
    static void sendInChunks(SimVpu& on, uint32_t code, const Bytes& data, const ReadPlan& readPlan,
                             RecordFn record) {
        const uint32_t bytes = static_cast<uint32_t>(data.size());
        const uint32_t count = (bytes + kChunkSize - 1) / kChunkSize;
        for (uint32_t index = 0; index < count; ++index) {
            if (readPlan.skipChunks.count(index) != 0) continue;
            const uint32_t offset = index * kChunkSize;
            const uint32_t size = std::min(kChunkSize, bytes - offset);
            const Bytes chunk(data.begin() + offset, data.begin() + offset + size);
            sendChunk(on, code, record(index, size, count), chunk);
        }
    }

    static bool sendChunk(SimVpu& on, uint32_t code, const Bytes& record, const Bytes& data) {
        Bytes payload = record;
        payload.insert(payload.end(), data.begin(), data.end());
        return on.sendPacket(kIface, kDataChannel,
                             VpuHeader::make(kDataType, static_cast<uint32_t>(payload.size()), code), payload);
    }

    template <typename Pred>
    bool waitUntil(std::chrono::milliseconds timeout, Pred pred) const {
        return waitUnder(mutex, changed, timeout, pred);
    }
};

SimSystemPeer::SimSystemPeer(SimVpu& vpu) : shared_(std::make_shared<Shared>()) { shared_->vpu = &vpu; }

SimSystemPeer::~SimSystemPeer() {
    if (serving_)
        for (uint32_t channel : {kCtrlChannel, kDataChannel}) shared_->vpu->setChannelHandler(channel, nullptr);
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
}

void SimSystemPeer::serve() {
    std::weak_ptr<Shared> weak = shared_;
    for (uint32_t channel : {kCtrlChannel, kDataChannel})
        shared_->vpu->setChannelHandler(channel, [weak](SimVpu& vpu, const VpuPacket& packet) {
            if (auto shared = weak.lock()) shared->onPacket(vpu, packet);
        });
    serving_ = true;
}

void SimSystemPeer::setAckMode(AckMode mode) { lockedSet(shared_->mutex, shared_->ackMode, mode); }

void SimSystemPeer::setFlash(Bytes contents) { lockedSet(shared_->mutex, shared_->flash, std::move(contents)); }

void SimSystemPeer::setMemory(uint32_t base, Bytes contents) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->memoryBase = base;
    shared_->memory = std::move(contents);
}

void SimSystemPeer::setReadPlan(ReadPlan plan) { lockedSet(shared_->mutex, shared_->plan, std::move(plan)); }

void SimSystemPeer::setStatus(uint32_t code, uint32_t status) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->statuses[code] = status;
}

bool SimSystemPeer::sendFlashReadChunk(uint32_t index, uint32_t count, uint32_t total, const Bytes& data) {
    return Shared::sendChunk(*shared_->vpu, kFlashReadChunk,
                             flashChunkRecord(1, index, static_cast<uint32_t>(data.size()), count, total), data);
}

bool SimSystemPeer::sendReadBufChunk(uint32_t index, uint32_t size, uint32_t count, const Bytes& data) {
    return Shared::sendChunk(*shared_->vpu, kReadBufChunk, readBufChunkRecord(index, size, count), data);
}

bool SimSystemPeer::sendData(uint32_t code, const Bytes& record, const Bytes& payload) {
    return Shared::sendChunk(*shared_->vpu, code, record, payload);
}

std::vector<SimSystemPeer::Chunk> SimSystemPeer::chunks() const { return lockedCopy(shared_->mutex, shared_->chunks); }

std::vector<SimSystemPeer::Block> SimSystemPeer::blocks() const { return lockedCopy(shared_->mutex, shared_->blocks); }

std::vector<VpuPacket> SimSystemPeer::requests() const { return lockedCopy(shared_->mutex, shared_->requests); }

size_t SimSystemPeer::acksSent() const { return lockedCopy(shared_->mutex, shared_->acks); }

size_t SimSystemPeer::answersSent() const { return lockedCopy(shared_->mutex, shared_->answers); }

bool SimSystemPeer::waitForChunks(size_t count, std::chrono::milliseconds timeout) const {
    return shared_->waitUntil(timeout, [&] { return shared_->chunks.size() >= count; });
}

bool SimSystemPeer::waitForBlocks(size_t complete, std::chrono::milliseconds timeout) const {
    return shared_->waitUntil(timeout, [&] {
        return static_cast<size_t>(std::count_if(shared_->blocks.begin(), shared_->blocks.end(),
                                                 [](const Block& b) { return b.complete; })) >= complete;
    });
}

bool SimSystemPeer::waitForAcks(size_t count, std::chrono::milliseconds timeout) const {
    return shared_->waitUntil(timeout, [&] { return shared_->acks >= count; });
}

bool SimSystemPeer::waitForAnswers(size_t count, std::chrono::milliseconds timeout) const {
    return shared_->waitUntil(timeout, [&] { return shared_->answers >= count; });
}

Bytes SimSystemPeer::flashChunkRecord(uint32_t word, uint32_t index, uint32_t size, uint32_t count, uint32_t total) {
    Bytes out;
    putLe(out, word, 2);
    putLe(out, index, 2);
    putLe(out, size, 4);
    putLe(out, count, 4);
    putLe(out, total, 4);
    return out;
}

Bytes SimSystemPeer::readBufChunkRecord(uint32_t index, uint32_t size, uint32_t count) {
    Bytes out;
    putLe(out, index, 2);
    putLe(out, size, 4);
    putLe(out, count, 4);
    return out;
}

}  // namespace zsim
