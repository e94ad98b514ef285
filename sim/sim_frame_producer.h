// The vision processor's frame producer: frames of the DEPTH, VIDEO and
// WEBCAM streams cut into fragments, each fragment one data message on the
// service's data channel, as the simulated processor sends them to the host.
//
// A fragment's record is the frame record in wire form: the generic fields
// (stream id u32, frame word u16, u16, fragment index u16, fragment length
// u32, fragment count u32, frame value u32, frame stamp u64: 30 bytes) and
// the service's own tail, which the test supplies as wire bytes. The payload
// follows the record.
//
// Tests cut a frame with cut() and may then reorder, drop, repeat or change
// fragments (a fragment 0 in the middle of a frame, a length that lies, a
// payload too large for the frame) before send() puts them on the wire in
// list order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/sim_vpu.h"

namespace zsim {

class SimFrameProducer {
public:
    // Where a frame service's fragments travel.
    struct Route {
        uint8_t iface;         // the connection's USB interface
        uint32_t dataChannel;  // the service's data channel
        uint32_t code;         // the data message carrying a fragment
        size_t tailBytes;      // wire bytes of the record behind the generic 30
    };
    static constexpr size_t kGenericWireBytes = 30;
    static const Route kDepth;
    static const Route kVideo;
    static const Route kWebcam;

    struct Frame {
        uint32_t streamId = 0;
        uint16_t frameWord = 0;
        uint16_t word6 = 0;
        uint32_t frameValue = 0;
        uint64_t frameStamp = 0;
        Bytes tail;  // the service's record tail in wire form (shorter: zero-filled)
        Bytes data;
    };

    struct Fragment {
        uint16_t index = 0;
        uint32_t count = 0;
        uint32_t declaredLength = 0;  // the record's fragment length
        Bytes payload;
    };

    explicit SimFrameProducer(SimVpu& vpu) : vpu_(vpu) {}

    // The frame's data in fragments of at most fragmentSize bytes (at least
    // one fragment, also for an empty frame), each declaring its own size.
    static std::vector<Fragment> cut(const Frame& frame, size_t fragmentSize);
    // The wire record of one fragment.
    static Bytes wireRecord(const Route& route, const Frame& frame, const Fragment& fragment);
    // Sends the fragments in list order; false when the bus refused one.
    bool send(const Route& route, const Frame& frame, const std::vector<Fragment>& fragments);
    // cut() and send().
    bool sendFrame(const Route& route, const Frame& frame, size_t fragmentSize);

    size_t fragmentsSent() const { return sent_; }

private:
    SimVpu& vpu_;
    size_t sent_ = 0;
};

}  // namespace zsim
