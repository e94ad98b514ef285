// The vision processor's system service, on the simulated processor's packet
// layer (interface 0, the service's control channel 1 and data channel 2).
//
// What the host sends:
//   - chunk data messages (LUT 8, CEVA application 9, buffer 10, flash 13):
//     each is recorded and added to the block in progress of its code; when
//     the last chunk of a block is in, the block is acknowledged with a data
//     message of the same code that carries the last chunk's header record
//     (or every chunk, or none, as the test asks);
//   - a flash read (0x01000015): the flash contents go back as read-flash
//     chunks (code 14), then the response;
//   - a buffer read (0x01000016): the memory at the asked address goes back
//     as read-buffer chunks (code 11), then the response;
//   - any other request: a response with the request's own record and the
//     status the test chose for its code (0 by default).
// Tests can make the reads misbehave (chunks missing, a larger total than
// was asked for, sizes that do not match the bytes, no response) and can
// send chunks nobody asked for.
//
// Handlers run on the simulated processor's thread. Destroy the peer before
// the SimVpu it is attached to.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "sim/sim_vpu.h"

namespace zsim {

class SimSystemPeer {
public:
    static constexpr uint8_t kIface = 0;
    static constexpr uint32_t kCtrlChannel = 1;
    static constexpr uint32_t kDataChannel = 2;
    static constexpr uint32_t kChunkSize = 8192;

    static constexpr uint32_t kLutChunk = 0x08;
    static constexpr uint32_t kCevaChunk = 0x09;
    static constexpr uint32_t kBufChunk = 0x0A;
    static constexpr uint32_t kReadBufChunk = 0x0B;
    static constexpr uint32_t kFlashWriteChunk = 0x0D;
    static constexpr uint32_t kFlashReadChunk = 0x0E;
    static constexpr uint32_t kFlashRead = 0x01000015;
    static constexpr uint32_t kReadBuf = 0x01000016;

    // One chunk as it arrived, with its header fields decoded (fields a code
    // does not carry stay 0).
    struct Chunk {
        uint32_t code = 0;
        uint32_t channel = 0;
        Bytes record;  // the header record as it came on the wire
        Bytes data;    // the chunk's bytes
        uint32_t index = 0;
        uint32_t size = 0;
        uint32_t count = 0;
        uint32_t total = 0;     // LUT and flash
        uint32_t dataType = 0;  // CEVA application
        uint32_t lutId = 0;
        uint32_t lutFlag = 0;
        uint32_t address = 0;  // buffer
        uint32_t word = 0;     // flash
    };

    // The chunks of one block, in arrival order, and their bytes joined.
    struct Block {
        uint32_t code = 0;
        std::vector<Chunk> chunks;
        Bytes bytes;
        bool complete = false;  // the chunk with index count - 1 has arrived
    };

    enum class AckMode { PerBlock, PerChunk, None };

    // How the next reads are answered.
    struct ReadPlan {
        std::set<uint32_t> skipChunks;         // chunk indices never sent
        std::optional<uint32_t> bytesToSend;   // default: the size asked for
        std::optional<uint32_t> totalSize;     // flash: the total announced; default: the bytes sent
        std::optional<uint32_t> sizeField;     // buffer: the size announced in every chunk; default: its bytes
        bool respond = true;                   // send the response after the chunks
        uint32_t status = 0;                   // of the response
    };

    explicit SimSystemPeer(SimVpu& vpu);
    ~SimSystemPeer();
    SimSystemPeer(const SimSystemPeer&) = delete;
    SimSystemPeer& operator=(const SimSystemPeer&) = delete;

    // Takes over the handlers of channels 1 and 2 on the processor.
    void serve();

    // --- behaviour -------------------------------------------------------------
    void setAckMode(AckMode mode);
    void setFlash(Bytes contents);
    // Memory from address base on; bytes outside read as zero.
    void setMemory(uint32_t base, Bytes contents);
    void setReadPlan(ReadPlan plan);
    // The status of the response to a request of code (not the reads).
    void setStatus(uint32_t code, uint32_t status);

    // --- to the host, unasked ------------------------------------------------------
    bool sendFlashReadChunk(uint32_t index, uint32_t count, uint32_t total, const Bytes& data);
    bool sendReadBufChunk(uint32_t index, uint32_t size, uint32_t count, const Bytes& data);
    // Any data message on the data channel: the wire record and bytes behind it.
    bool sendData(uint32_t code, const Bytes& record, const Bytes& payload);

    // --- observation ----------------------------------------------------------------
    std::vector<Chunk> chunks() const;
    std::vector<Block> blocks() const;
    std::vector<VpuPacket> requests() const;
    size_t acksSent() const;
    size_t answersSent() const;
    bool waitForChunks(size_t count, std::chrono::milliseconds timeout) const;
    bool waitForBlocks(size_t complete, std::chrono::milliseconds timeout) const;
    bool waitForAcks(size_t count, std::chrono::milliseconds timeout) const;
    bool waitForAnswers(size_t count, std::chrono::milliseconds timeout) const;

    // Wire form of the read chunk headers (also for tests that forge them).
    static Bytes flashChunkRecord(uint32_t word, uint32_t index, uint32_t size, uint32_t count, uint32_t total);
    static Bytes readBufChunkRecord(uint32_t index, uint32_t size, uint32_t count);

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    bool serving_ = false;
};

}  // namespace zsim
