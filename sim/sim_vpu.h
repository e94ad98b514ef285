// Simulated vision processor: the device's side of the packet layer on the
// control, infrared, depth and visible interfaces (indices 0 to 3) of the
// simulated USB bus.
//
// Like the real processor it sees only bulk transfers. It reassembles
// packets from the packet word (channel in bits 26..31, length of what
// follows in bits 0..25) however the host cut them into transfers, and hands
// each packet, with its 12-byte service header, to the handler of its
// channel. Handlers run on the processor's own thread, in arrival order, and
// answer with send*(); a channel without a handler only records its packets.
//
// Tests script it: answer (a handler), split a packet across transfers,
// send runts and packets for channels that do not exist, raw bytes, and
// silence (packets are still recorded, no handler runs). stop() (and the
// destructor) removes the write handlers and ends and joins the thread.
//
// Create it after SimUsb::installFresh()/reset(): a reset removes its write
// handlers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/sim_usb.h"

namespace zsim {

// The 12-byte service header behind the packet word.
struct VpuHeader {
    uint32_t word0 = 0;  // type in bits 0..1, payload length in bits 2..27, reply flags in 28..29
    uint32_t code = 0;
    uint32_t status = 0;

    static VpuHeader make(uint32_t type, uint32_t payloadLength, uint32_t code, uint32_t status = 0,
                          uint32_t flags = 0) {
        return VpuHeader{(type & 0x3u) | ((payloadLength & 0x3FFFFFFu) << 2) | ((flags & 0x3u) << 28), code, status};
    }
    uint32_t type() const { return word0 & 0x3u; }
    uint32_t payloadLength() const { return (word0 >> 2) & 0x3FFFFFFu; }
    uint32_t flags() const { return (word0 >> 28) & 0x3u; }
};

// One packet as the processor received it.
struct VpuPacket {
    uint8_t iface = 0;
    uint32_t channel = 0;
    Bytes body;              // everything behind the packet word
    uint32_t transfers = 0;  // bulk transfers it arrived in (in part or whole)

    bool hasHeader() const { return body.size() >= 12; }
    // The service header (zeros when the body is shorter than a header).
    VpuHeader header() const;
    // What follows the service header.
    Bytes payload() const;
};

class SimVpu {
public:
    static constexpr uint8_t kInterfaces = 4;  // control, infrared, depth, visible
    static constexpr uint32_t kChannelShift = 26;
    static constexpr uint32_t kLengthMask = 0x3FFFFFFu;

    using Handler = std::function<void(SimVpu& vpu, const VpuPacket& packet)>;

    explicit SimVpu(SimUsb& usb = SimUsb::instance());
    ~SimVpu();
    SimVpu(const SimVpu&) = delete;
    SimVpu& operator=(const SimVpu&) = delete;

    // Installs the write handlers and starts the thread. Idempotent.
    void start();
    // Removes the write handlers, ends and joins the thread. Idempotent.
    void stop();
    // Serves the host's transfers on `iface` again once another device model
    // (the boot monitor of an unbooted processor) had it. Nothing when stopped.
    void takeInterface(uint8_t iface);

    // --- behaviour ------------------------------------------------------------
    void setChannelHandler(uint32_t channel, Handler handler);
    // A handler that sends every packet back unchanged on its own interface and channel.
    static Handler echo();
    // Silent: packets are reassembled and recorded, but no handler runs.
    void setSilent(bool silent);
    // Forgets partly received packets (a new session after a replug).
    void resetStreams();

    // --- to the host (any thread, handlers included) ---------------------------
    static Bytes encode(uint32_t channel, const VpuHeader& header, const Bytes& payload);
    // A packet word for `channel` and the body as it is (any length: runts too).
    static Bytes encodeRaw(uint32_t channel, const Bytes& body);
    // One packet as one device transfer.
    bool sendPacket(uint8_t iface, uint32_t channel, const VpuHeader& header, const Bytes& payload);
    // One packet cut into device transfers at the given byte offsets (from
    // the start of the packet word, ascending).
    bool sendPacketSplit(uint8_t iface, uint32_t channel, const VpuHeader& header, const Bytes& payload,
                         const std::vector<size_t>& cuts);
    // A packet whose body is `bodyLength` bytes, shorter than a service header.
    bool sendRunt(uint8_t iface, uint32_t channel, uint32_t bodyLength);
    // Any bytes as one device transfer.
    bool sendRaw(uint8_t iface, const Bytes& bytes);

    // --- observation -------------------------------------------------------------
    std::vector<VpuPacket> received() const;
    size_t receivedCount() const;
    // Waits until at least `count` packets have been received and, unless
    // silent, handled. False on time-out.
    bool waitForPackets(size_t count, std::chrono::milliseconds timeout) const;
    // Host transfers seen on an interface.
    size_t transfersSeen(uint8_t iface) const;
    // Bytes of an interface that wait for the rest of their packet.
    size_t partialBytes(uint8_t iface) const;

private:
    struct Stream {
        Bytes pending;           // bytes of packets not yet complete
        uint32_t transfers = 0;  // transfers that contributed to the packet at the front
        size_t seen = 0;
    };

    void onHostTransfer(uint8_t iface, const Bytes& transfer);
    void run();

    SimUsb& usb_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Stream streams_[kInterfaces];
    std::deque<VpuPacket> inbox_;
    std::vector<VpuPacket> received_;
    size_t handled_ = 0;
    std::map<uint32_t, Handler> handlers_;
    bool silent_ = false;
    bool stopping_ = false;
    bool running_ = false;
    std::thread thread_;
};

}  // namespace zsim
