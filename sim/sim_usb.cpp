#include "sim/sim_usb.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace zsim {

namespace {

// How deep the calling thread is inside write handlers. A handler may change
// handlers or reset the bus itself; it must not then wait for its own return.
thread_local int handlerDepth = 0;

// The back-end table: plain functions over the one bus of the process.
int simInit(vpu_usb_transport_params* params) { return SimUsb::instance().init(params); }
int simDeinit() { return SimUsb::instance().deinit(); }
int simOpen(uint8_t index) { return SimUsb::instance().open(index); }
int simClose(uint8_t index) { return SimUsb::instance().close(index); }
int simWriteBulk(uint8_t index, const void* buffer, uint32_t length, uint32_t* written) {
    return SimUsb::instance().writeBulk(index, buffer, length, written);
}
int simReadBulk(uint8_t index, void* buffer, uint32_t length, uint32_t* read) {
    return SimUsb::instance().readBulk(index, buffer, length, read);
}
int simUnsupported() { return VPU_USB_ERR_NOT_REGISTERED; }

const vpu_usb_backend_ops simOps = {
    simInit,         // 0 init
    simDeinit,       // 1 deinit
    simOpen,         // 2 open
    simClose,        // 3 close
    simWriteBulk,    // 4 write_bulk
    simReadBulk,     // 5 read_bulk
    nullptr,         // 6 query_attached_devices: nothing above the transport asks
    simUnsupported,  // 7 unsupported
    nullptr,         // 8 read_forward: nothing above the transport asks
};

// Empties a pipe's traffic. The wake-up counters (generation, presence) only
// ever grow, so a reader parked before the change can never mistake a later
// state for the one it started on; the counts of threads inside the bus stay,
// since those threads still have to leave.
template <typename Pipe>
void dropTraffic(Pipe& pipe) {
    pipe.toHost.clear();
    pipe.frontOffset = 0;
    pipe.toHostBytes = 0;
    pipe.toDevice.clear();
}

}  // namespace

// ---------------------------------------------------------------------------
// The bus itself

SimUsb& SimUsb::instance() {
    // Never destroyed: host threads may still sit in a read while the process
    // exits, and must not find the bus gone under them.
    static SimUsb* bus = new SimUsb();
    return *bus;
}

const vpu_usb_backend_ops* SimUsb::ops() { return &simOps; }

SimUsb& SimUsb::installFresh() {
    vpu_usb_set_backend(ops());
    SimUsb& bus = instance();
    bus.reset();
    return bus;
}

void SimUsb::reset() {
    std::unique_lock<std::mutex> lock(mutex_);
    // Device models usually die right after a reset: none of their handlers
    // may still be running when it returns.
    waitHandlersIdle(lock, kMaxInterfaces);
    for (auto& pipe : pipes_) {
        dropTraffic(pipe);
        pipe.registered = false;
        pipe.open = false;
        ++pipe.generation;
        ++pipe.presence;
        pipe.handler = nullptr;
        pipe.recording = false;
        pipe.recorded.clear();
        pipe.faultOut = Fault{};
        pipe.faultIn = Fault{};
        pipe.closes = 0;
        pipe.sent = TransferCounts{};
    }
    initialised_ = false;
    lastInitHadParams_ = false;
    lastInitSerial_.reset();
    lastInitValues_ = {0, 0};
    inits_ = 0;
    deinits_ = 0;
    presenceObserver_ = nullptr;
    packetSize_.store(kHighSpeedPacketSize);
    notifyAllLocked();
}

SimUsb::Pipe& SimUsb::pipeAt(uint8_t index) {
    if (index >= kMaxInterfaces) throw std::out_of_range("simulated USB interface index out of range");
    return pipes_[index];
}

const SimUsb::Pipe& SimUsb::pipeAt(uint8_t index) const {
    if (index >= kMaxInterfaces) throw std::out_of_range("simulated USB interface index out of range");
    return pipes_[index];
}

void SimUsb::notifyAllLocked() {
    changed_.notify_all();
    for (Pipe& pipe : pipes_) pipe.hostReadable.notify_all();
}

void SimUsb::waitHandlersIdle(std::unique_lock<std::mutex>& lock, uint8_t index) {
    if (handlerDepth > 0) return;
    changed_.wait(lock, [&] {
        if (index < kMaxInterfaces) return pipes_[index].handlersRunning == 0;
        return std::all_of(std::begin(pipes_), std::end(pipes_),
                           [](const Pipe& pipe) { return pipe.handlersRunning == 0; });
    });
}

// ---------------------------------------------------------------------------
// Device presence

void SimUsb::plug(std::initializer_list<uint8_t> indices) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint8_t index : indices) pipeAt(index);  // all or nothing
    for (uint8_t index : indices) {
        Pipe& pipe = pipes_[index];
        dropTraffic(pipe);
        pipe.registered = true;
        pipe.open = true;
        ++pipe.generation;
        ++pipe.presence;
    }
    notifyPresenceLocked(true, std::vector<uint8_t>(indices));
    notifyAllLocked();
}

bool SimUsb::unplugLocked(uint8_t index) {
    Pipe& pipe = pipes_[index];
    const bool wasRegistered = pipe.registered;
    dropTraffic(pipe);
    pipe.registered = false;
    pipe.open = false;
    ++pipe.generation;
    ++pipe.presence;
    return wasRegistered;
}

void SimUsb::unplugAllLocked() {
    std::vector<uint8_t> removed;
    for (uint8_t index = 0; index < kMaxInterfaces; ++index) {
        if (unplugLocked(index)) removed.push_back(index);
    }
    notifyPresenceLocked(false, removed);
}

void SimUsb::notifyPresenceLocked(bool plugged, const std::vector<uint8_t>& indices) {
    if (presenceObserver_ && !indices.empty()) presenceObserver_(plugged, indices);
}

void SimUsb::setPresenceObserver(PresenceObserver observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    presenceObserver_ = std::move(observer);
}

void SimUsb::unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugAllLocked();
    notifyAllLocked();
}

void SimUsb::unplugInterface(uint8_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= kMaxInterfaces) return;
    if (unplugLocked(index)) notifyPresenceLocked(false, {index});
    notifyAllLocked();
}

bool SimUsb::isRegistered(uint8_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < kMaxInterfaces && pipes_[index].registered;
}

bool SimUsb::isOpen(uint8_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < kMaxInterfaces && pipes_[index].registered && pipes_[index].open;
}

uint64_t SimUsb::presenceCount(uint8_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < kMaxInterfaces ? pipes_[index].presence : 0;
}

// ---------------------------------------------------------------------------
// Device side

void SimUsb::setWriteHandler(uint8_t index, WriteHandler handler) {
    std::unique_lock<std::mutex> lock(mutex_);
    Pipe& pipe = pipeAt(index);
    // Once this returns, the previous handler is no longer running anywhere,
    // so its owner may go away.
    waitHandlersIdle(lock, index);
    pipe.handler = std::move(handler);
}

bool SimUsb::deviceReceive(uint8_t index, Bytes* transfer, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    Pipe& pipe = pipeAt(index);
    if (!pipe.registered) return false;
    const uint64_t presence = pipe.presence;
    bool ready = changed_.wait_for(lock, timeout, [&] { return pipe.presence != presence || !pipe.toDevice.empty(); });
    if (!ready || pipe.presence != presence) return false;
    if (transfer != nullptr) *transfer = std::move(pipe.toDevice.front());
    pipe.toDevice.pop_front();
    return true;
}

bool SimUsb::deviceSend(uint8_t index, const void* data, size_t length) {
    if (data == nullptr && length != 0) return false;
    // The copy is made before the bus is locked: host reads of every
    // interface wait for that lock.
    const auto* bytes = static_cast<const uint8_t*>(data);
    return deviceSend(index, std::make_shared<const Bytes>(bytes, bytes + length));
}

bool SimUsb::deviceSend(uint8_t index, SharedBytes transfer) {
    if (transfer == nullptr) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    if (index >= kMaxInterfaces) return false;
    Pipe& pipe = pipes_[index];
    if (!pipe.registered || !pipe.open) return false;
    pipe.toHostBytes += transfer->size();
    ++pipe.sent.transfers;
    if (!transfer->empty() && transfer->size() % packetSize_.load() == 0) ++pipe.sent.wholePackets;
    pipe.toHost.push_back(std::move(transfer));
    // Only this interface's host reads wait for its data; they are woken
    // once the bus is free for them.
    pipe.hostReadable.unlockAndNotifyAll(lock);
    return true;
}

size_t SimUsb::pendingToHost(uint8_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= kMaxInterfaces) return 0;
    return pipes_[index].toHostBytes;
}

SimUsb::TransferCounts SimUsb::deviceTransfers(uint8_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= kMaxInterfaces) return {};
    return pipes_[index].sent;
}

// ---------------------------------------------------------------------------
// Faults. Each one wakes parked readers, so that a fault aimed at a read
// already waiting hits that read rather than the one after it.

void SimUsb::failNext(uint8_t index, Dir dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    Pipe& pipe = pipeAt(index);
    (dir == Dir::Out ? pipe.faultOut : pipe.faultIn).fail = true;
    notifyAllLocked();
}

void SimUsb::shortenNext(uint8_t index, Dir dir, uint32_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    Fault& fault = dir == Dir::Out ? pipeAt(index).faultOut : pipeAt(index).faultIn;
    fault.shorten = true;
    fault.shortBytes = bytes;
}

void SimUsb::unplugOnNext(uint8_t index, Dir dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    Pipe& pipe = pipeAt(index);
    (dir == Dir::Out ? pipe.faultOut : pipe.faultIn).unplug = true;
    notifyAllLocked();
}

// ---------------------------------------------------------------------------
// Observation

void SimUsb::recordWrites(uint8_t index, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    pipeAt(index).recording = on;
}

std::vector<Bytes> SimUsb::recordedWrites(uint8_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pipeAt(index).recorded;
}

int SimUsb::initCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inits_;
}

int SimUsb::deinitCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deinits_;
}

int SimUsb::closeCount(uint8_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pipeAt(index).closes;
}

bool SimUsb::lastInitHadParams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastInitHadParams_;
}

std::optional<std::string> SimUsb::lastInitSerial() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastInitSerial_;
}

std::pair<int32_t, int32_t> SimUsb::lastInitValues() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastInitValues_;
}

size_t SimUsb::blockedReads(uint8_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pipeAt(index).blockedReaders;
}

bool SimUsb::waitForBlockedReads(uint8_t index, size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    Pipe& pipe = pipeAt(index);
    return changed_.wait_for(lock, timeout, [&] { return pipe.blockedReaders >= count; });
}

// ---------------------------------------------------------------------------
// Back-end entry points

// Counts every call, refused or not: tests want to see that a call reached us.
int SimUsb::init(vpu_usb_transport_params* params) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++inits_;
    if (initialised_) return VPU_USB_ERR_INIT;
    initialised_ = true;
    lastInitHadParams_ = params != nullptr;
    lastInitValues_ = params != nullptr ? std::make_pair(params->valueA, params->valueB) : std::make_pair(0, 0);
    if (params != nullptr && params->serialNumber != nullptr) {
        lastInitSerial_ = std::string(params->serialNumber);
    } else {
        lastInitSerial_.reset();
    }
    return VPU_USB_OK;
}

int SimUsb::deinit() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++deinits_;
    if (!initialised_) return VPU_USB_ERR_INIT;
    initialised_ = false;
    return VPU_USB_OK;
}

// Interfaces are opened by their arrival; the host's open has nothing to do.
int SimUsb::open(uint8_t) { return VPU_USB_OK; }

// Releases the host's handle. The interface stays registered, so later
// transfers answer 4 until the device is plugged again.
int SimUsb::close(uint8_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= kMaxInterfaces || !pipes_[index].registered) return VPU_USB_ERR_NOT_REGISTERED;
    Pipe& pipe = pipes_[index];
    pipe.open = false;
    pipe.toHost.clear();
    pipe.frontOffset = 0;
    pipe.toHostBytes = 0;
    ++pipe.closes;
    ++pipe.generation;
    notifyAllLocked();
    return VPU_USB_OK;
}

int SimUsb::writeBulk(uint8_t index, const void* buffer, uint32_t length, uint32_t* written) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (index >= kMaxInterfaces || !pipes_[index].registered) return VPU_USB_ERR_NOT_REGISTERED;
    Pipe& pipe = pipes_[index];
    if (!pipe.open) return VPU_USB_ERR_NOT_REGISTERED;
    if (pipe.faultOut.unplug) {
        // The device vanishes under a transfer already under way: that
        // transfer fails; the ones after it find no interface.
        pipe.faultOut.unplug = false;
        unplugAllLocked();
        notifyAllLocked();
        return VPU_USB_ERR_TRANSFER;
    }
    if (pipe.faultOut.fail) {
        pipe.faultOut.fail = false;
        return VPU_USB_ERR_TRANSFER;
    }
    if (buffer == nullptr && length != 0) return VPU_USB_ERR_TRANSFER;

    uint32_t moved = length;
    if (pipe.faultOut.shorten) {
        pipe.faultOut.shorten = false;
        moved = std::min(length, pipe.faultOut.shortBytes);
    }
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    Bytes transfer(bytes, bytes + moved);
    if (pipe.recording) pipe.recorded.push_back(transfer);

    if (pipe.handler) {
        // The device model answers on this thread; it may call back into the
        // bus (deviceSend), so the mutex is not held while it runs.
        WriteHandler handler = pipe.handler;
        ++pipe.handlersRunning;
        lock.unlock();
        struct Leave {
            SimUsb* bus;
            Pipe* pipe;
            ~Leave() {
                --handlerDepth;
                std::lock_guard<std::mutex> relock(bus->mutex_);
                --pipe->handlersRunning;
                bus->changed_.notify_all();
            }
        } leave{this, &pipe};
        // Destroyed before `leave` runs: once the bus counts the handler as
        // finished, no copy of it is left on this thread.
        WriteHandler call = std::move(handler);
        ++handlerDepth;
        call(index, transfer);
    } else {
        pipe.toDevice.push_back(std::move(transfer));
        changed_.notify_all();
    }

    // The bytes that moved reached the device, but a short write is a failed
    // write for the host, and its count is left alone.
    if (moved != length) return VPU_USB_ERR_TRANSFER;
    if (written != nullptr) *written = length;
    return VPU_USB_OK;
}

int SimUsb::readBulk(uint8_t index, void* buffer, uint32_t length, uint32_t* read) {
    return readBulkUnless(index, buffer, length, read, nullptr);
}

void SimUsb::wakeReaders() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
    for (Pipe& pipe : pipes_) pipe.hostReadable.notify_all();
}

int SimUsb::readBulkUnless(uint8_t index, void* buffer, uint32_t length, uint32_t* read,
                           const std::function<bool()>& giveUp, bool* ended) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (index >= kMaxInterfaces || !pipes_[index].registered) return VPU_USB_ERR_NOT_REGISTERED;
    Pipe& pipe = pipes_[index];
    if (!pipe.open) return VPU_USB_ERR_NOT_REGISTERED;
    if (read != nullptr) *read = 0;
    if (buffer == nullptr && length != 0) return VPU_USB_ERR_TRANSFER;

    // Like a bulk pipe without a time-out, the read waits for the device. It
    // is bounded by the device's life: a close, a removal, a replug or a reset
    // of the bus bumps the generation and ends the wait with a failure.
    const uint64_t generation = pipe.generation;
    auto ready = [&] {
        return pipe.generation != generation || !pipe.toHost.empty() || pipe.faultIn.fail || pipe.faultIn.unplug ||
               (giveUp && giveUp());
    };
    if (!ready()) {
        ++pipe.blockedReaders;
        changed_.notify_all();
        pipe.hostReadable.wait(lock, ready);
        --pipe.blockedReaders;
    }
    if (pipe.generation != generation) return VPU_USB_ERR_TRANSFER;
    if (pipe.toHost.empty() && !pipe.faultIn.fail && !pipe.faultIn.unplug) return kGaveUp;
    if (pipe.faultIn.unplug) {
        pipe.faultIn.unplug = false;
        unplugAllLocked();
        notifyAllLocked();
        return VPU_USB_ERR_TRANSFER;
    }
    if (pipe.faultIn.fail) {
        pipe.faultIn.fail = false;
        return VPU_USB_ERR_TRANSFER;
    }

    // One read never spans two device transfers: the end of a transfer is a
    // short packet on the wire, which completes the read.
    // The read takes its bytes under the lock and copies them after it: a
    // large transfer would otherwise hold up every other pipe's readers and
    // the device's sends for the length of the copy. The reference keeps the
    // bytes alive whatever happens to the pipe meanwhile.
    SharedBytes front = pipe.toHost.front();
    const size_t offset = pipe.frontOffset;
    size_t count = std::min<size_t>(length, front->size() - offset);
    if (pipe.faultIn.shorten) {
        pipe.faultIn.shorten = false;
        count = std::min<size_t>(count, pipe.faultIn.shortBytes);
    }
    pipe.frontOffset += count;
    pipe.toHostBytes -= count;
    if (ended != nullptr) *ended = pipe.frontOffset == front->size();
    if (pipe.frontOffset == front->size()) {
        pipe.toHost.pop_front();
        pipe.frontOffset = 0;
    }
    lock.unlock();
    if (count != 0) std::memcpy(buffer, front->data() + offset, count);
    if (read != nullptr) *read = static_cast<uint32_t>(count);
    return VPU_USB_OK;
}

}  // namespace zsim
