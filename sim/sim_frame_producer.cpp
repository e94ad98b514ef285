#include "sim/sim_frame_producer.h"

#include <algorithm>

#include "sim/sim_bytes.h"

namespace zsim {

namespace {

constexpr uint32_t kDataType = 2;

}  // namespace

// DEPTH: interface 2, channel 8, record 84 wire bytes; VIDEO: interface 1,
// channel 6, 90; WEBCAM: interface 3, channel 10, 50.
const SimFrameProducer::Route SimFrameProducer::kDepth{2, 8, 0x04000003, 84 - kGenericWireBytes};
const SimFrameProducer::Route SimFrameProducer::kVideo{1, 6, 0x03000003, 90 - kGenericWireBytes};
const SimFrameProducer::Route SimFrameProducer::kWebcam{3, 10, 0x05000003, 50 - kGenericWireBytes};

std::vector<SimFrameProducer::Fragment> SimFrameProducer::cut(const Frame& frame, size_t fragmentSize) {
    std::vector<Fragment> fragments;
    const size_t size = std::max<size_t>(fragmentSize, 1);
    size_t offset = 0;
    do {
        const size_t take = std::min(size, frame.data.size() - offset);
        Fragment fragment;
        fragment.index = static_cast<uint16_t>(fragments.size());
        fragment.payload.assign(frame.data.begin() + static_cast<std::ptrdiff_t>(offset),
                                frame.data.begin() + static_cast<std::ptrdiff_t>(offset + take));
        fragment.declaredLength = static_cast<uint32_t>(take);
        fragments.push_back(std::move(fragment));
        offset += take;
    } while (offset < frame.data.size());
    for (auto& fragment : fragments) fragment.count = static_cast<uint32_t>(fragments.size());
    return fragments;
}

Bytes SimFrameProducer::wireRecord(const Route& route, const Frame& frame, const Fragment& fragment) {
    Bytes out;
    putLe(out, frame.streamId, 4);
    putLe(out, frame.frameWord, 2);
    putLe(out, frame.word6, 2);
    putLe(out, fragment.index, 2);
    putLe(out, fragment.declaredLength, 4);
    putLe(out, fragment.count, 4);
    putLe(out, frame.frameValue, 4);
    putLe(out, frame.frameStamp, 8);
    Bytes tail = frame.tail;
    tail.resize(route.tailBytes, 0);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

bool SimFrameProducer::send(const Route& route, const Frame& frame, const std::vector<Fragment>& fragments) {
    for (const Fragment& fragment : fragments) {
        Bytes body = wireRecord(route, frame, fragment);
        body.insert(body.end(), fragment.payload.begin(), fragment.payload.end());
        const VpuHeader header = VpuHeader::make(kDataType, static_cast<uint32_t>(body.size()), route.code);
        if (!vpu_.sendPacket(route.iface, route.dataChannel, header, body)) return false;
        ++sent_;
    }
    return true;
}

bool SimFrameProducer::sendFrame(const Route& route, const Frame& frame, size_t fragmentSize) {
    return send(route, frame, cut(frame, fragmentSize));
}

}  // namespace zsim
