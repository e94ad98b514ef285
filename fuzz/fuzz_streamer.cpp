// The streamer's reassembly: fragments of frames as the device cuts them,
// with headers of its choosing, pushed into the sinks of streams 0..3 and
// read out now and then, as the frame services' receive path and the
// driver's stream threads do. Every buffer must come back.
//
// Input: records of a 24-byte fragment header (stream id, fragment index,
// length the header claims, fragment count, frame value, then how many of the
// following payload bytes the fragment really carries, in one or two
// buffers, and whether a read follows), then the payload bytes.
#include <algorithm>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "host_lib/service.h"
#include "host_lib/streamer.h"

namespace {

const char* name() { return "FUZZ"; }
const SERVICE_opsTable kOps = {&name, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

void fill(STREAMER_sinkMsgT* msg, const void* header) { std::memcpy(msg->header, header, 32); }

uint32_t le32(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24; }

// A frame is reassembled in the room of its fragment 0's buffer.
constexpr uint32_t kFragBufSize = 512;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zfuzz::InputContext context;
    MEM_POOLG_cfgT fragCfg{kFragBufSize, 64, nullptr, 0, 0};
    MEM_POOLG_handleT fragPool = nullptr;
    MEM_POOLG_newPool(&fragPool, MEM_POOLG_BUF_TYPE_HEAP_E, &fragCfg);
    if (fragPool == nullptr || STREAMERG_init() != STREAMER__RET_SUCCESS) zfuzz::fail("set-up");

    static SERVICEG_serviceT owner{};  // only its name is asked for
    owner.sid = 4;
    owner.ops = &kOps;
    STREAMER_streamerT* streamer = nullptr;
    if (STREAMERG_open(&owner, &streamer) != STREAMER__RET_SUCCESS) zfuzz::fail("streamer open");
    const STREAMER_sinkCfgT sinkCfg{4, STREAMERG_SINK_MSG_SIZE, &fill};
    for (uint32_t id = 0; id < 4; ++id) STREAMERG_addSink(streamer, &sinkCfg, id);

    MEM_POOLG_bufDescT* holder = nullptr;
    size_t pos = 0;
    while (pos + 24 <= size) {
        const uint8_t* r = data + pos;
        pos += 24;
        STREAMER_frameHdrT header{};
        header.streamId = r[0] % 10;  // 8 and 9 lie outside the streams
        header.frameWord = static_cast<uint16_t>(r[1]);
        header.fragIndex = static_cast<uint16_t>(r[2] | r[3] << 8);
        header.fragLength = le32(r + 4);
        header.fragCount = le32(r + 8);
        header.frameValue = le32(r + 12);
        header.frameStamp = le32(r + 16);
        const uint32_t carried = std::min<uint32_t>(r[20] | uint32_t{r[21]} << 8, kFragBufSize * 2);
        const bool split = (r[22] & 1) != 0;
        const uint8_t readStream = r[23];
        const size_t take = std::min<size_t>(carried, size - pos);

        // The payload chain as the receive path hands it over: one buffer, or
        // two when the fragment came in two transfers.
        MEM_POOLG_bufDescT* chain = nullptr;
        const size_t first = split ? take / 2 : std::min<size_t>(take, kFragBufSize);
        const size_t second = std::min<size_t>(take - first, kFragBufSize);
        if (take > 0 && MEM_POOLG_alloc(fragPool, kFragBufSize, &chain) == MEM_POOL__RET_SUCCESS) {
            std::memcpy(chain->data, data + pos, first);
            chain->len = static_cast<uint32_t>(first);
            MEM_POOLG_bufDescT* next = nullptr;
            if (second > 0 && MEM_POOLG_alloc(fragPool, kFragBufSize, &next) == MEM_POOL__RET_SUCCESS) {
                std::memcpy(next->data, data + pos + first, second);
                next->len = static_cast<uint32_t>(second);
                MEM_POOLG_chain(chain, next);
            }
        }
        pos += take;

        if (STREAMERG_reassembleFrame(&header, chain, &holder)) {
            MEM_POOLG_bufDescT* frame = holder;
            holder = nullptr;
            STREAMERG_pushFrame(streamer, &header, frame);
        }
        MEM_POOLG_freeBuff(chain);  // the payload stays with the caller
        zfuzz::checkIntact(fragPool);

        if ((readStream & 0x80) != 0) {
            STREAMER_sinkMsgT msg{};
            if (STREAMERG_readFrame(streamer, readStream & 0x7, 0, &msg) == STREAMER__RET_SUCCESS) {
                if (msg.buffer == nullptr || msg.length > kFragBufSize) zfuzz::fail("frame read", msg.length);
                MEM_POOLG_freeBuff(msg.buffer);
            }
        }
    }
    MEM_POOLG_freeBuff(holder);  // the frame in progress, as a closing service drops it
    STREAMERG_close(streamer);
    zfuzz::checkReturnedAndClose(fragPool);
    zfuzz::checkNoneStranded();
    return 0;
}
