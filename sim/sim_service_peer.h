// The vision processor's side of the host services, on the simulated
// processor's packet layer: it echoes keep-alives and answers the requests
// that host services forward to their peers.
//
// On every channel it serves:
//   - a link message (type 3) is sent back unchanged while the echo is on;
//   - a request (type 0) gets a response (type 1) with the same code, the
//     status the test chose for that code (0 by default) and, as the record,
//     the request's own payload unless the test supplied other bytes. An
//     answer may be held back for a while or never sent (silence);
//   - anything else is only recorded.
// Answers go out on the interface and channel the request came in on.
//
// Handlers run on the simulated processor's thread; delayed answers are sent
// by the peer's own thread, so a slow answer holds up neither keep-alives nor
// other requests. Destroy the peer before the SimVpu it is attached to.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "sim/sim_vpu.h"

namespace zsim {

class SimServicePeer {
public:
    // How the peer answers one code.
    struct Answer {
        uint32_t status = 0;
        std::optional<Bytes> record;  // the record sent back; none: echo the request's payload
        std::chrono::milliseconds delay{0};
        bool silent = false;  // never answer
    };

    static constexpr uint32_t kLinkType = 3;
    static constexpr uint32_t kRequestType = 0;
    static constexpr uint32_t kResponseType = 1;

    explicit SimServicePeer(SimVpu& vpu);
    ~SimServicePeer();
    SimServicePeer(const SimServicePeer&) = delete;
    SimServicePeer& operator=(const SimServicePeer&) = delete;

    // Takes over the channel's handler on the processor.
    void serve(uint32_t channel);
    // Keep-alive echo, on by default.
    void setKeepAliveEcho(bool on);
    void setAnswer(uint32_t code, Answer answer);
    void clearAnswer(uint32_t code);
    // Runs after each answer to `code` has gone to the host, on the thread
    // that sent it (what a processor does next, unasked); null: nothing.
    void setAfterAnswer(uint32_t code, std::function<void()> after);

    // --- observation ------------------------------------------------------------
    size_t keepAlivesSeen() const;
    // Requests seen (answered or not), in arrival order.
    std::vector<VpuPacket> requests() const;
    std::vector<VpuPacket> dataMessages() const;
    size_t answersSent() const;
    bool waitForKeepAlives(size_t count, std::chrono::milliseconds timeout) const;
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    bool waitForDataMessages(size_t count, std::chrono::milliseconds timeout) const;
    bool waitForAnswers(size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::vector<uint32_t> served_;
};

}  // namespace zsim
