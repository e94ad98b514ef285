// Simulated USB device: in-memory bulk pipes per interface index behind a
// transport back-end table, so the transport front end (and everything above
// it) runs unchanged. Device models (the sensor firmware on the client
// interface, the vision processor on the others) attach to the device side.
//
// Behaviour of a real pipe that the host relies on:
//  - a bulk read blocks until data arrives and may return fewer bytes than
//    asked (it never spans two device transfers: a short packet ends it);
//  - a close or a removal wakes a blocked read with a failure (7);
//  - host writes keep their transfer boundaries;
//  - transfers on an interface that is not registered, or whose handle was
//    closed, answer 4.
// Like the real back-end, the pipes are process-wide, not per driver context.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/wake_condition.h"
#include "runtime/usb_transport.h"

namespace zsim {

using Bytes = std::vector<uint8_t>;
// A device transfer that the device model may queue many times without
// copying it: the bytes are never changed once queued.
using SharedBytes = std::shared_ptr<const Bytes>;

// Direction of a transfer, seen from the host.
enum class Dir { Out, In };  // Out: host -> device (bulk write); In: device -> host (bulk read)

class SimUsb {
public:
    static constexpr uint8_t kMaxInterfaces = 8;
    // The packet size of the sensor's bulk endpoints on a high-speed port,
    // and on a SuperSpeed one. A device transfer that is a whole number of
    // packets has no short packet to end it: the device models send such
    // transfers in their normal run, sized by packetSize().
    static constexpr uint32_t kHighSpeedPacketSize = 512;
    static constexpr uint32_t kSuperSpeedPacketSize = 1024;

    // The one simulated bus of the process.
    static SimUsb& instance();
    // The back-end table to install with vpu_usb_set_backend().
    static const vpu_usb_backend_ops* ops();
    // Installs ops() as the transport back-end and resets the bus.
    static SimUsb& installFresh();

    // Back to the start: nothing plugged, no faults, no handlers, not
    // initialised, a high-speed port. Blocked reads are woken with a failure
    // first.
    void reset();

    // The packet size of the port the sensor is on (kHighSpeedPacketSize or
    // kSuperSpeedPacketSize); set before the device is plugged.
    void setPacketSize(uint32_t bytes) { packetSize_.store(bytes); }
    uint32_t packetSize() const { return packetSize_.load(); }

    // --- device presence ---------------------------------------------------
    // Registers interfaces (what the arrival of a device does). An interface
    // registered again gets fresh, empty pipes and an open handle.
    void plug(std::initializer_list<uint8_t> indices);
    // Removal of the whole device: every interface is unregistered, blocked
    // reads fail with 7, queued data is dropped.
    void unplug();
    // Removal of one interface.
    void unplugInterface(uint8_t index);
    bool isRegistered(uint8_t index) const;
    // True while registered and not closed by the host.
    bool isOpen(uint8_t index) const;
    // Grows with every plug and removal of the interface: a device model
    // compares it to notice a replug that happened between two looks.
    uint64_t presenceCount(uint8_t index) const;
    // Told of every plug and removal, with the interfaces whose presence it
    // changed (a removal names only those that were registered), in the
    // order they happen. It runs under the bus's lock: it may only take note
    // (queue the event for a thread of its own) and must not call the bus.
    // A reset removes it without calling it.
    using PresenceObserver = std::function<void(bool plugged, const std::vector<uint8_t>& indices)>;
    void setPresenceObserver(PresenceObserver observer);

    // --- device side -------------------------------------------------------
    // Called on the host's writing thread for every accepted host transfer,
    // instead of queuing it for deviceReceive. It must not block for long.
    using WriteHandler = std::function<void(uint8_t index, const Bytes& transfer)>;
    void setWriteHandler(uint8_t index, WriteHandler handler);
    // Takes the oldest host transfer of an interface (no handler set). False
    // on time-out or when the interface is gone.
    bool deviceReceive(uint8_t index, Bytes* transfer, std::chrono::milliseconds timeout);
    // Queues one device transfer for the host's bulk reads. False when the
    // interface is not registered or closed.
    bool deviceSend(uint8_t index, const void* data, size_t length);
    bool deviceSend(uint8_t index, const Bytes& data) { return deviceSend(index, data.data(), data.size()); }
    // The same for a transfer the device keeps: the pipe holds a reference
    // instead of a copy, as a device whose DMA reads its own frame memory.
    bool deviceSend(uint8_t index, SharedBytes transfer);
    // Bytes queued for the host and not read yet.
    size_t pendingToHost(uint8_t index) const;
    // Device transfers queued on an interface since the bus was reset, and
    // how many of them were a whole number of packets (an empty one is not).
    struct TransferCounts {
        size_t transfers = 0;
        size_t wholePackets = 0;
    };
    TransferCounts deviceTransfers(uint8_t index) const;

    // --- faults ------------------------------------------------------------
    // The next transfer in that direction fails with 7 (nothing moves).
    void failNext(uint8_t index, Dir dir);
    // The next transfer in that direction moves only `bytes` bytes: a short
    // write is reported as 7, a short read succeeds with fewer bytes.
    void shortenNext(uint8_t index, Dir dir, uint32_t bytes);
    // Removes the device when the host next transfers in that direction on
    // that interface (before the transfer moves anything). That transfer
    // fails with 7, as one cut off by the removal; later ones answer 4.
    void unplugOnNext(uint8_t index, Dir dir);

    // --- observation -------------------------------------------------------
    // While recording, every accepted host write is kept with its boundaries.
    void recordWrites(uint8_t index, bool on);
    std::vector<Bytes> recordedWrites(uint8_t index) const;
    // Calls of init and deinit, refused ones included; successful closes.
    int initCount() const;
    int deinitCount() const;
    int closeCount(uint8_t index) const;
    // The parameter block given to the last successful init (serial copied).
    bool lastInitHadParams() const;
    std::optional<std::string> lastInitSerial() const;
    // Its two 32-bit values, in the block's order (0, 0 without a block).
    std::pair<int32_t, int32_t> lastInitValues() const;
    // Host reads currently blocked waiting for data on an interface, and a
    // bounded wait until at least `count` of them are: lets a test act only
    // once a reader is really parked in the pipe.
    size_t blockedReads(uint8_t index) const;
    bool waitForBlockedReads(uint8_t index, size_t count, std::chrono::milliseconds timeout);

    // --- back-end entry points (the table calls these) -----------------------
    int init(vpu_usb_transport_params* params);
    int deinit();
    int open(uint8_t index);
    int close(uint8_t index);
    int writeBulk(uint8_t index, const void* buffer, uint32_t length, uint32_t* written);
    int readBulk(uint8_t index, void* buffer, uint32_t length, uint32_t* read);
    // A read that a host stack with cancellable requests makes: as readBulk,
    // but it returns kGaveUp instead of waiting (or waiting on) once
    // giveUp() is true. giveUp runs under the bus's lock; whoever makes it
    // true calls wakeReaders() afterwards.
    static constexpr int kGaveUp = -1;
    // `ended`, when given, tells whether the read took the last byte of its
    // device transfer.
    int readBulkUnless(uint8_t index, void* buffer, uint32_t length, uint32_t* read,
                       const std::function<bool()>& giveUp, bool* ended = nullptr);
    void wakeReaders();

private:
    SimUsb() = default;

    struct Fault {
        bool fail = false;
        bool shorten = false;
        uint32_t shortBytes = 0;
        bool unplug = false;
    };
    struct Pipe {
        bool registered = false;
        bool open = false;
        uint64_t generation = 0;   // bumped on every plug/unplug/close: wakes blocked reads
        std::deque<SharedBytes> toHost;  // device transfers, front partly consumed
        size_t frontOffset = 0;
        size_t toHostBytes = 0;          // not yet read, over all of toHost
        TransferCounts sent;             // device transfers queued, since the reset
        std::deque<Bytes> toDevice;
        WriteHandler handler;
        bool recording = false;
        std::vector<Bytes> recorded;
        Fault faultOut, faultIn;
        int closes = 0;
        uint64_t presence = 0;      // bumped on every plug/unplug: wakes deviceReceive
        size_t blockedReaders = 0;  // host reads parked in readBulk
        size_t handlersRunning = 0; // write handlers running outside the mutex
        // Host reads park here, apart from every other wait on the bus: data
        // for one interface, or a host write, wakes no reader of another.
        PLAT_WakeCondition hostReadable;
    };

    // True when the interface was registered.
    bool unplugLocked(uint8_t index);
    // Unplugs every interface and tells the observer which went away.
    void unplugAllLocked();
    void notifyPresenceLocked(bool plugged, const std::vector<uint8_t>& indices);
    // Wakes every waiter of the bus: parked host reads and all other waits.
    void notifyAllLocked();
    Pipe& pipeAt(uint8_t index);
    const Pipe& pipeAt(uint8_t index) const;
    // Waits until no write handler of the interface (or of any, for
    // kMaxInterfaces) runs, unless the caller is itself inside a handler.
    void waitHandlersIdle(std::unique_lock<std::mutex>& lock, uint8_t index);

    mutable std::mutex mutex_;
    PLAT_WakeCondition changed_;
    Pipe pipes_[kMaxInterfaces];
    bool initialised_ = false;
    bool lastInitHadParams_ = false;
    int inits_ = 0;
    int deinits_ = 0;
    std::optional<std::string> lastInitSerial_;
    std::pair<int32_t, int32_t> lastInitValues_{0, 0};
    PresenceObserver presenceObserver_;
    std::atomic<uint32_t> packetSize_{kHighSpeedPacketSize};
};

}  // namespace zsim
