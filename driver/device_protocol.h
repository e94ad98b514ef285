// Framing of the device protocol on the sensor's client interface.
//
// Every message, in both directions, is preceded by the four sync bytes
// C0 FF EE 00 (the schema constant `magic` stored little-endian) and then
// travels in the standard Cap'n Proto stream framing. The host writes the
// sync bytes in one bulk transfer, then the segment table and each segment in
// one bulk transfer apiece (MyWriter); it reads with MyReader, which insists
// on whole reads because a message that arrives in pieces is still one
// message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/io.h>

#include "driver/morv_client.capnp.h"

// USB interface index of the client interface in the transport front end.
constexpr uint8_t PZ_CLIENT_INTERFACE = 4;

// The sync bytes on the wire, in wire order.
constexpr std::array<uint8_t, 4> PZ_SYNC_BYTES = {0xC0, 0xFF, 0xEE, 0x00};
static_assert(morv::client::MAGIC == (uint32_t{PZ_SYNC_BYTES[0]} | uint32_t{PZ_SYNC_BYTES[1]} << 8 |
                                      uint32_t{PZ_SYNC_BYTES[2]} << 16 | uint32_t{PZ_SYNC_BYTES[3]} << 24),
              "the sync bytes are the schema's magic, little-endian");

// Builder settings of every request and of every copy of a reply.
constexpr unsigned PZ_MSG_FIRST_SEGMENT_WORDS = 1024;
constexpr capnp::AllocationStrategy PZ_MSG_ALLOCATION = capnp::AllocationStrategy::GROW_HEURISTICALLY;

// Reader limits for messages from the device: 64 MiB of traversal, and a
// nesting depth far beyond anything the schema builds.
constexpr uint64_t PZ_MSG_TRAVERSAL_LIMIT_WORDS = 0x800000;
constexpr int PZ_MSG_NESTING_LIMIT = 64;

capnp::ReaderOptions PZClient_readerOptions();

// A fresh builder with the settings above.
class PZMessageBuilder : public capnp::MallocMessageBuilder {
public:
    PZMessageBuilder() : capnp::MallocMessageBuilder(PZ_MSG_FIRST_SEGMENT_WORDS, PZ_MSG_ALLOCATION) {}
};

// Writes to the client interface: each buffer handed to write() is one bulk
// write of the whole buffer. A failed or short transfer throws a
// kj::Exception (type DISCONNECTED), so writeMessage stops at the first
// failure; the caller turns that into an I/O error.
class MyWriter : public kj::OutputStream {
public:
    explicit MyWriter(uint8_t interfaceIndex = PZ_CLIENT_INTERFACE) : interface_(interfaceIndex) {}
    void write(const void* buffer, size_t size) override;
    using kj::OutputStream::write;

private:
    uint8_t interface_;
};

// Reads from the client interface. tryRead always reads exactly maxBytes:
// it repeats bulk reads, each asking for what is still missing, until all
// have arrived, and returns maxBytes; it returns 0 as soon as a transfer
// fails (the message reader then throws "premature EOF"). minBytes is not
// consulted: a partial message is of no use to anyone.
class MyReader : public kj::InputStream {
public:
    explicit MyReader(uint8_t interfaceIndex = PZ_CLIENT_INTERFACE) : interface_(interfaceIndex) {}
    size_t tryRead(void* buffer, size_t minBytes, size_t maxBytes) override;
    // Result of the transfer that made the last tryRead return 0 (0 otherwise).
    int lastError() const { return lastError_; }
    // True once the last tryRead gave up on a failed transfer: the caller
    // tells a transport failure (device gone) from a message that arrived
    // whole but could not be decoded.
    bool failed() const { return lastError_ != 0; }

private:
    uint8_t interface_;
    int lastError_ = 0;
};

// Reads one message over a MyReader with the reader limits above. Its
// constructor throws kj::Exception when the transport fails mid-message or
// the segment table is unusable (too many segments, over the limit).
class MyInputStreamMessageReader : public capnp::InputStreamMessageReader {
public:
    explicit MyInputStreamMessageReader(MyReader& reader)
        : capnp::InputStreamMessageReader(reader, PZClient_readerOptions()) {}
};

// Writes the four sync bytes in one bulk write; the transport's result.
int PZClient_writeSyncBytes(uint8_t interfaceIndex = PZ_CLIENT_INTERFACE);

// Resynchronisation on the sync bytes, one byte at a time: a byte equal to
// the next expected sync byte advances the match; any other byte restarts it,
// at 1 when the byte is C0 (it may begin a new run) and at 0 otherwise.
class PZSyncMatcher {
public:
    // True when this byte completed the sync bytes; the matcher starts over.
    bool feed(uint8_t byte) {
        if (byte == PZ_SYNC_BYTES[matched_]) {
            if (++matched_ == PZ_SYNC_BYTES.size()) {
                matched_ = 0;
                return true;
            }
            return false;
        }
        matched_ = (byte == PZ_SYNC_BYTES[0]) ? 1 : 0;
        return false;
    }
    size_t matched() const { return matched_; }

private:
    size_t matched_ = 0;
};

// Names for log lines, from the schema itself.
// The member set in Request.msg / Response.msg; null when the discriminant
// names no member (an unset union has no name).
const char* PZClient_requestMsgName(morv::client::Request::Reader request);
const char* PZClient_responseMsgName(morv::client::Response::Reader response);
// Enumerant names; "" for a value outside the enum.
const char* PZClient_errorName(uint16_t error);
const char* PZClient_notificationName(uint16_t notification);
