// The vision processor's service manager, on the simulated processor's
// packet layer (interface 0, channel 0), and the set of simulated peers that
// lets the host bring its whole service stack up against the processor.
//
// SimSvcMngrPeer, on channel 0:
//   - echoes keep-alives (type 3) while the echo is on, which is what keeps
//     the host's link "connected";
//   - answers an open (code 2) or close (code 3) of a service, whose record is
//     the u32 sid, with the status the test chose for that sid and operation
//     (0 by default), or not at all when the test silenced it; a successful
//     answer marks the service open or closed on the processor;
//   - answers a pass-through (code 16) with its own record and a chosen status;
//   - answers any other request with "not supported" (kNotSupported).
// Every answer echoes the request's record.
//
// SimProcessorServices is the whole processor side the host framework talks
// to: this manager, the SYSTEM peer on channels 1 and 2, a generic service
// peer on the control and data channels of LOGGER, VIDEO, DEPTH, WEBCAM, ALG
// and POS_SENSORS, and the producers of log lines, samples, results and frames.
//
// Handlers run on the simulated processor's thread. Destroy the peers before
// the SimVpu they are attached to.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "sim/sim_frame_producer.h"
#include "sim/sim_sensor_producers.h"
#include "sim/sim_service_peer.h"
#include "sim/sim_system_peer.h"
#include "sim/sim_vpu.h"

namespace zsim {

class SimSvcMngrPeer {
public:
    static constexpr uint8_t kIface = 0;
    static constexpr uint32_t kChannel = 0;
    static constexpr uint32_t kOpenCode = 2;
    static constexpr uint32_t kCloseCode = 3;
    static constexpr uint32_t kPassThroughCode = 16;
    // The processor's "not supported" (side GP, module SVC_MNGR, code 8).
    static constexpr uint32_t kNotSupported = 0x02010008;

    // How the peer answers the open or close of one sid.
    struct Answer {
        uint32_t status = 0;
        bool silent = false;  // never answer
    };

    // One open or close request as the processor received it.
    struct Request {
        uint32_t code = 0;
        uint32_t sid = 0;
    };

    explicit SimSvcMngrPeer(SimVpu& vpu);
    ~SimSvcMngrPeer();
    SimSvcMngrPeer(const SimSvcMngrPeer&) = delete;
    SimSvcMngrPeer& operator=(const SimSvcMngrPeer&) = delete;

    // Takes over channel 0's handler on the processor.
    void serve();

    // --- behaviour ---------------------------------------------------------------
    void setKeepAliveEcho(bool on);
    void setOpenAnswer(uint32_t sid, Answer answer);
    void setCloseAnswer(uint32_t sid, Answer answer);
    void setPassThroughStatus(uint32_t status);

    // --- observation -------------------------------------------------------------
    size_t keepAlivesSeen() const;
    // Opens and closes, in arrival order (answered or not).
    std::vector<Request> requests() const;
    size_t passThroughsSeen() const;
    // Requests of codes the manager does not know.
    size_t unknownRequestsSeen() const;
    // Services the processor holds open.
    std::set<uint32_t> openServices() const;
    bool waitForKeepAlives(size_t count, std::chrono::milliseconds timeout) const;
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    bool serving_ = false;
};

// Everything on the processor's side of a full bring-up.
class SimProcessorServices {
public:
    // Control and data channels the generic peer serves.
    static const std::vector<uint32_t>& genericChannels();

    explicit SimProcessorServices(SimVpu& vpu);
    SimProcessorServices(const SimProcessorServices&) = delete;
    SimProcessorServices& operator=(const SimProcessorServices&) = delete;

    // Installs every handler on the processor.
    void serve();
    // The processor forwards its boot log (SimSensorProducers::bootLog) each
    // time the host starts its logger; off by default. Call after serve().
    void forwardBootLog(bool on);

    SimSvcMngrPeer manager;
    SimSystemPeer system;
    SimServicePeer services;
    SimSensorProducers producers;
    SimFrameProducer frames;
};

}  // namespace zsim
