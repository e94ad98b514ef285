// The service stack's receive path: connection layer, service channels, the
// service framework and the LOGGER, ALG, POS_SENSORS and DEPTH services, over
// the simulated sensor's transport, whose processor sends the fuzz bytes as
// its transfers. Before they come, the services are opened and started the
// way the driver does (a DEPTH stream, logger lines, samples, results), so
// the device's messages meet services that act on them.
//
// Input: records, each one kind byte, then
//   kind & 3 == 0..2: a well-framed message: route byte, type-and-flags byte
//     (type bits 0-1, remote flags bits 2-3), code selector byte (below 0x80:
//     one of the codes below; else a 32-bit code follows), status byte,
//     16-bit payload length, payload;
//   kind & 3 == 3: raw bytes for an interface: interface byte, 16-bit
//     length, bytes. Raw bytes may leave a connection waiting for a packet
//     that never completes, so nothing is asked of the services afterwards.
// When the input ends in sync, one request per service follows the device's
// messages through the service threads before the stack is taken down.
#include <chrono>
#include <cstring>
#include <iterator>

#include "fuzz/fuzz_support.h"
#include "host_lib/alg_svc.h"
#include "host_lib/conn_lyr.h"
#include "host_lib/frame_svc.h"
#include "host_lib/logger_svc.h"
#include "host_lib/marshal.h"
#include "host_lib/pos_sensors_svc.h"
#include "host_lib/service.h"
#include "host_lib/streamer.h"
#include "host_lib/svc_com.h"
#include "host_lib/usb_ctrl_com.h"
#include "sim/sim_service_peer.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace {

struct ServicePlan {
    uint32_t sid;
    const SERVICE_opsTable* (*ops)();
    uint8_t iface;
    uint32_t ctrlChannel;  // the data channel is the next one
};

const ServicePlan kServices[] = {
    {VPUG_SID_LOGGER, &LOGGERG_getOps, 0, 13},
    {VPUG_SID_ALG, &ALGG_getOps, 0, 11},
    {VPUG_SID_POS_SENSORS, &POS_SENSORSG_getOps, 0, 17},
    {VPUG_SID_DEPTH, &DEPTHG_getService, 2, 7},
};
constexpr size_t kNumServices = std::size(kServices);
constexpr uint8_t kIfaces[] = {0, 2};

const uint32_t kCodes[] = {
    0x00000001, 0x0000000C, 0x0000000F, 0x00000002, 0x00000010, 0x02000001, 0x02000002, 0x02000003,
    0x02000004, 0x02000005, 0x04000001, 0x04000002, 0x04000003, 0x03000003, 0x07000001, 0x07000002,
    0x07000003, 0x07000004, 0x07000005, 0x07000006, 0x09000001, 0x09000002, 0x09000003, 0x09000004,
    0x09000005, 0x09000006, 0x09000007, 0x0900000A, 0x0A000001, 0x00000000,
};

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool has(size_t n) const { return size - pos >= n; }
    uint8_t u8() { return data[pos++]; }
    uint32_t u16() {
        const uint32_t v = uint32_t{data[pos]} | uint32_t{data[pos + 1]} << 8;
        pos += 2;
        return v;
    }
    uint32_t u32() {
        uint32_t v = 0;
        std::memcpy(&v, data + pos, 4);
        pos += 4;
        return v;
    }
    zsim::Bytes bytes(size_t n) {
        n = std::min(n, size - pos);
        zsim::Bytes out(data + pos, data + pos + n);
        pos += n;
        return out;
    }
};

MEM_POOLG_handleT heapPool(uint32_t size, uint32_t count) {
    MEM_POOLG_cfgT cfg{size, count, nullptr, 0, 0};
    MEM_POOLG_handleT pool = nullptr;
    MEM_POOLG_newPool(&pool, MEM_POOLG_BUF_TYPE_HEAP_E, &cfg);
    if (pool == nullptr) zfuzz::fail("pool");
    return pool;
}

template <typename T>
ERRG_codeE ioctl(SERVICEG_serviceT* service, uint32_t code, T params) {
    return SERVICEG_ioctl(service, code, &params, sizeof(params));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zfuzz::InputContext context;
    zsim::SimUsb& usb = zsim::SimUsb::installFresh();
    zsim::SimVpu vpu(usb);
    zsim::SimServicePeer peer(vpu);
    usb.plug({0, 1, 2, 3});
    vpu.start();
    for (const ServicePlan& plan : kServices) {
        peer.serve(plan.ctrlChannel);
        peer.serve(plan.ctrlChannel + 1);
    }
    MEM_POOLG_handleT ctrlPool = heapPool(3000, 32);
    MEM_POOLG_handleT dataPool = heapPool(8192, 24);
    if (CONN_LYRG_init() != CONN_LYR__RET_SUCCESS || SVC_COMG_init() != SVC_COM__RET_SUCCESS ||
        STREAMERG_init() != STREAMER__RET_SUCCESS)
        zfuzz::fail("layers");

    CONN_LYRG_ifCfgT ifCfg[std::size(kIfaces)]{};
    CONN_LYRG_handleT conns[std::size(kIfaces)]{};
    for (size_t i = 0; i < std::size(kIfaces); ++i) {
        ifCfg[i].params[0] = kIfaces[i];
        CONN_LYRG_cfgT cfg{};
        cfg.ifCfg = &ifCfg[i];
        cfg.ifOpsInit = &USB_CTRL_COMG_getIfOps;
        cfg.txRingSize = CONN_LYRG_MAX_RING_SIZE;
        if (CONN_LYRG_open(&conns[i], &cfg) != CONN_LYR__RET_SUCCESS) zfuzz::fail("connection", kIfaces[i]);
    }
    SVC_COMG_handleT channels[kNumServices][2]{};
    SERVICEG_serviceT* services[kNumServices]{};
    for (size_t s = 0; s < kNumServices; ++s) {
        const ServicePlan& plan = kServices[s];
        CONN_LYRG_handleT conn = conns[plan.iface == 0 ? 0 : 1];
        if (SVC_COMG_channelOpen(&channels[s][0], plan.ctrlChannel, conn, ctrlPool, nullptr, nullptr) !=
                SVC_COM__RET_SUCCESS ||
            SVC_COMG_channelOpen(&channels[s][1], plan.ctrlChannel + 1, conn, dataPool, nullptr, nullptr) !=
                SVC_COM__RET_SUCCESS)
            zfuzz::fail("channel", plan.ctrlChannel);
        SERVICEG_initParamsT params{plan.sid, 20 + plan.sid, 16, channels[s], plan.ops(), 5, 0, 0, nullptr};
        if (SERVICEG_init(&services[s], &params) != SERVICE__RET_SUCCESS) zfuzz::fail("service", plan.sid);
        SERVICEG_open(services[s], SERVICEG_PHASE_START_E);
        SERVICEG_open(services[s], SERVICEG_PHASE_DONE_E);
    }
    SERVICEG_serviceT* logger = services[0];
    SERVICEG_serviceT* alg = services[1];
    SERVICEG_serviceT* pos = services[2];
    SERVICEG_serviceT* depth = services[3];
    const uint8_t loggerParams[16] = {3, 0, 0, 0, 0, 1, 1};
    SERVICEG_ioctl(logger, LOGGER_SET_PARAMS_E, const_cast<uint8_t*>(loggerParams), sizeof(loggerParams));
    SERVICEG_ioctl(logger, LOGGER_START_E, nullptr, 0);
    ioctl(alg, ALG_START_E, VPUG_streamStartParams{0, 0});
    ioctl(pos, POS_SENSORS_START_E, uint32_t{0});
    ioctl(depth, DEPTH_STREAM_START_E, VPUG_streamStartParams{DEPTH_STREAM_START_E, 0});

    // The device speaks.
    Reader in{data, size};
    bool inSync = true;
    while (in.has(1)) {
        const uint8_t kind = in.u8();
        if ((kind & 3) == 3) {
            if (!in.has(3)) break;
            const uint8_t iface = kIfaces[in.u8() % std::size(kIfaces)];
            const uint32_t length = in.u16();
            vpu.sendRaw(iface, in.bytes(length));
            inSync = false;
            continue;
        }
        if (!in.has(4)) break;
        const uint8_t route = in.u8();
        const uint8_t typeFlags = in.u8();
        const uint8_t selector = in.u8();
        uint32_t code = 0;
        if (selector < 0x80) {
            code = kCodes[selector % std::size(kCodes)];
        } else {
            if (!in.has(4)) break;
            code = in.u32();
        }
        if (!in.has(3)) break;
        const uint32_t status = in.u8() == 0 ? 0 : 0x01090001u;
        const uint32_t length = in.u16();
        const zsim::Bytes payload = in.bytes(length);
        const ServicePlan& plan = kServices[(route >> 1) % kNumServices];
        const uint32_t channel = plan.ctrlChannel + (route & 1);
        vpu.sendPacket(plan.iface, channel,
                       zsim::VpuHeader::make(typeFlags & 3, static_cast<uint32_t>(payload.size()), code, status,
                                             (typeFlags >> 2) & 3),
                       payload);
    }
    if (inSync) {
        // Behind everything the device sent, through each service thread and the peer.
        SERVICEG_ioctl(logger, LOGGER_GET_PARAMS_E, const_cast<uint8_t*>(loggerParams), sizeof(loggerParams));
        ioctl(alg, ALG_STOP_E, VPUG_streamStartParams{0, 0});
        ioctl(pos, POS_SENSORS_STOP_E, uint32_t{0});
        ioctl(depth, DEPTH_STREAM_STOP_E, uint32_t{0});
    }

    // Taken down as the service manager does, then every buffer must be back
    // and every record intact. (The channel pools are looked at only once
    // their receive threads have ended: a buffer's owner moves its data
    // window without the pool's lock.)
    for (size_t s = 0; s < kNumServices; ++s) {
        SERVICEG_close(services[s], SERVICEG_PHASE_START_E);
        SERVICEG_close(services[s], SERVICEG_PHASE_DONE_E);
    }
    for (size_t s = 0; s < kNumServices; ++s) {
        zfuzz::checkIntact(services[s]->pool);
        SERVICEP_stopLink(services[s]);
        SERVICEG_deInit(services[s]);
    }
    for (auto& pair : channels)
        for (SVC_COMG_handleT& channel : pair) SVC_COMG_channelClose(channel);
    for (CONN_LYRG_handleT conn : conns) CONN_LYRG_close(conn);
    SVC_COMG_deInit();
    CONN_LYRG_deInit();
    vpu.stop();
    zfuzz::checkReturnedAndClose(ctrlPool);
    zfuzz::checkReturnedAndClose(dataPool);
    zfuzz::checkNoneStranded();
    usb.reset();
    return 0;
}
