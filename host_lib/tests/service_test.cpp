// The service framework against the simulated vision processor: a test
// service (sid 9 on channels 17/18) driven through SERVICEG_ioctl, the
// receive path, sending to the peer, and the link of a record on channels 0/1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <stop_token>
#include <thread>
#include <vector>

#include "host_lib/conn_lyr.h"
#include "host_lib/marshal.h"
#include "host_lib/service.h"
#include "host_lib/svc_com.h"
#include "host_lib/tests/packet_link_fixture.h"
#include "host_lib/usb_ctrl_com.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/mem_pool.h"
#include "sim/sim_bytes.h"
#include "sim/sim_service_peer.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace {

using namespace std::chrono_literals;
using zsim::Bytes;
using zsim::SimServicePeer;
using zsim::VpuHeader;

constexpr uint32_t kSid = VPUG_SID_POS_SENSORS;
constexpr uint32_t kCtrlChannel = 17;
constexpr uint32_t kDataChannel = 18;
constexpr uint32_t kLinkCtrlChannel = 0;
constexpr uint32_t kLinkDataChannel = 1;
constexpr uint32_t kLoopMs = 10;
// Codes of the test service (the POS_SENSORS block): one answered here, two
// forwarded, one data message with a 28-byte wire record.
constexpr uint32_t kLocalCode = POS_SENSORS_CONFIG_E;  // host 8: two raw words
constexpr uint32_t kFwdCode = POS_SENSORS_START_E;     // host 4
constexpr uint32_t kFwdCode2 = POS_SENSORS_STOP_E;     // host 4
constexpr uint32_t kDataCode = POS_SENSORS_SAMPLE_E;   // host 32, wire 28
constexpr uint32_t kUnknownCode = 0x0900001E;
constexpr uint32_t kPeerStatus = 0x0109001F;

using zsim::putLe;

// Wire form of a sample record: 2:0 2:2 8:8 4:16 4:20 4:24 4:28.
Bytes sampleWire(uint64_t stamp) {
    Bytes out;
    putLe(out, 0x0102, 2);
    putLe(out, 0x0304, 2);
    putLe(out, stamp, 8);
    for (uint32_t v : {11u, 22u, 33u, 44u}) putLe(out, v, 4);
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What the test service's operations saw.
struct TestService {
    std::mutex mutex;
    std::condition_variable changed;
    struct Call {
        uint32_t phase;
        uint32_t code;
        Bytes record;
    };
    std::vector<Call> ioctls;
    struct Msg {
        uint32_t code;
        Bytes record;
        Bytes payload;
    };
    std::vector<Msg> handled;
    std::vector<Msg> fast;
    size_t fastAttempts = 0;
    std::vector<uint32_t> openPhases;
    std::atomic<bool> fastAccept{true};
    std::atomic<ERRG_codeE> localStatus{SERVICE__RET_SUCCESS};
    std::atomic<ERRG_codeE> openResult{SERVICE__INCOMPLETE};

    template <typename Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds timeout = 2000ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, pred);
    }
};

TestService* gService = nullptr;

Bytes bytesOf(const void* data, uint32_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    return p != nullptr ? Bytes(p, p + length) : Bytes{};
}

const char* testName() { return "TESTSVC"; }

ERRG_codeE testOpen(SERVICEG_requestT* request) {
    std::lock_guard<std::mutex> lock(gService->mutex);
    gService->openPhases.push_back(request->phase);
    return gService->openResult.load();
}

ERRG_codeE testHostIoctl(SERVICEG_requestT* request) {
    const uint32_t size = MARSHALG_getIoctlSize(request->code);
    const Bytes seen = bytesOf(request->params, size);
    ERRG_codeE result = SERVICE__INCOMPLETE;
    if (request->code == kLocalCode) {
        auto* words = static_cast<uint32_t*>(request->params);
        words[0] += 1;
        result = gService->localStatus.load();
    } else if (request->phase == SERVICEG_PHASE_DONE_E) {
        result = SERVICE__RET_SUCCESS;
    }
    {
        std::lock_guard<std::mutex> lock(gService->mutex);
        gService->ioctls.push_back({request->phase, request->code, seen});
    }
    gService->changed.notify_all();
    return result;
}

ERRG_codeE testHandleMsg(uint32_t code, void* params, void* payload, uint32_t length, MEM_POOLG_bufDescT**) {
    {
        std::lock_guard<std::mutex> lock(gService->mutex);
        gService->handled.push_back({code, bytesOf(params, MARSHALG_getIoctlSize(code)), bytesOf(payload, length)});
    }
    gService->changed.notify_all();
    return SERVICE__RET_SUCCESS;
}

ERRG_codeE testDataFastPath(uint32_t code, void* params, void* payload, uint32_t length, MEM_POOLG_bufDescT**) {
    const bool accept = gService->fastAccept.load();
    {
        std::lock_guard<std::mutex> lock(gService->mutex);
        ++gService->fastAttempts;
        if (accept)
            gService->fast.push_back({code, bytesOf(params, MARSHALG_getIoctlSize(code)), bytesOf(payload, length)});
    }
    gService->changed.notify_all();
    return accept ? SERVICE__RET_SUCCESS : SERVICE__ERR_INVALID_ARGS;
}

const SERVICE_opsTable kTestOps = {&testName, &testOpen, nullptr, &testHostIoctl, &testHandleMsg,
                                   nullptr,   nullptr,   &testDataFastPath};

const char* linkName() { return "SVCTEST"; }
const SERVICE_opsTable kLinkOps = {&linkName, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

// Link notifications, in order.
struct LinkEvents {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint32_t> events;

    bool waitForCount(size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return events.size() >= n; });
    }
    std::vector<uint32_t> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
};
LinkEvents* gLink = nullptr;

void onLink(uint32_t sid, uint32_t event) {
    EXPECT_EQ(sid, VPUG_SID_SVC_MNGR);
    {
        std::lock_guard<std::mutex> lock(gLink->mutex);
        gLink->events.push_back(event);
    }
    gLink->changed.notify_all();
}

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest()
        : context_(std::make_shared<morv::driver::Context>()),
          usb_(zsim::SimUsb::installFresh()),
          vpu_(usb_),
          peer_(vpu_) {}

    void SetUp() override {
        gService = &service_;
        gLink = &link_;
        linktest::watchLog(log_);
        usb_.plug({0, 1, 2, 3});
        vpu_.start();
        for (uint32_t channel : {kLinkCtrlChannel, kCtrlChannel, kDataChannel}) peer_.serve(channel);
        MEM_POOLG_init();
        ctrlPool_ = linktest::heapPool(3000, 32);
        dataPool_ = linktest::heapPool(640, 24);
        ASSERT_NE(ctrlPool_, nullptr);
        ASSERT_NE(dataPool_, nullptr);
        ASSERT_EQ(CONN_LYRG_init(), CONN_LYR__RET_SUCCESS);
        ASSERT_EQ(SVC_COMG_init(), SVC_COM__RET_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(linktest::openLink(&conn_, ifCfg_, 0,
                                                   {{kLinkCtrlChannel, ctrlPool_, &channels_[kLinkCtrlChannel]},
                                                    {kLinkDataChannel, ctrlPool_, &channels_[kLinkDataChannel]},
                                                    {kCtrlChannel, ctrlPool_, &channels_[kCtrlChannel]},
                                                    {kDataChannel, dataPool_, &channels_[kDataChannel]}}));
    }

    void TearDown() override {
        for (SERVICEG_serviceT* record : {svc_, linkSvc_}) {
            SERVICEP_stopLink(record);
            SERVICEG_deInit(record);
        }
        linktest::closeLinks(channels_, {&conn_, 1});
        vpu_.stop();
        // Nothing the framework took from the channel pools may stay behind.
        linktest::expectReturnedAndClose({ctrlPool_, dataPool_});
        usb_.reset();
        LOGG_deinit();
        gService = nullptr;
        gLink = nullptr;
    }

    SERVICEG_serviceT* initTestService(uint16_t queueLength = 16) {
        SVC_COMG_handleT pair[2] = {channels_[kCtrlChannel], channels_[kDataChannel]};
        SERVICEG_initParamsT params{kSid, 10, queueLength, pair, &kTestOps, kLoopMs, 0, 0, nullptr};
        EXPECT_EQ(SERVICEG_init(&svc_, &params), SERVICE__RET_SUCCESS);
        return svc_;
    }

    SERVICEG_serviceT* openTestService() {
        initTestService();
        EXPECT_EQ(SERVICEG_open(svc_, SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
        return svc_;
    }

    SERVICEG_serviceT* initLinkService(uint32_t linkEnabled = 1) {
        SVC_COMG_handleT pair[2] = {channels_[kLinkCtrlChannel], channels_[kLinkDataChannel]};
        SERVICEG_initParamsT params{VPUG_SID_SVC_MNGR, 1, 16, pair, &kLinkOps, kLoopMs, linkEnabled, 0, &onLink};
        EXPECT_EQ(SERVICEG_init(&linkSvc_, &params), SERVICE__RET_SUCCESS);
        // Like the service manager, the record opens itself: only an open
        // service reads its queue, where the keep-alive answers arrive.
        EXPECT_EQ(SERVICEG_open(linkSvc_, SERVICEG_PHASE_START_E), SERVICE__RET_SUCCESS);
        EXPECT_EQ(SERVICEG_open(linkSvc_, SERVICEG_PHASE_DONE_E), SERVICE__RET_SUCCESS);
        return linkSvc_;
    }

    bool sendToHost(uint32_t channel, uint32_t type, uint32_t code, const Bytes& payload, uint32_t status = 0) {
        return vpu_.sendPacket(0, channel,
                               VpuHeader::make(type, static_cast<uint32_t>(payload.size()), code, status), payload);
    }

    linktest::LogWatcher log_;
    morv::driver::ScopedThreadContext context_;
    zsim::SimUsb& usb_;
    zsim::SimVpu vpu_;
    SimServicePeer peer_;
    TestService service_;
    LinkEvents link_;
    MEM_POOLG_handleT ctrlPool_ = nullptr;
    MEM_POOLG_handleT dataPool_ = nullptr;
    CONN_LYRG_ifCfgT ifCfg_{};
    CONN_LYRG_handleT conn_ = nullptr;
    SVC_COMG_handleT channels_[SVC_COMG_NUM_CHANNELS]{};
    SERVICEG_serviceT* svc_ = nullptr;
    SERVICEG_serviceT* linkSvc_ = nullptr;
};

// --- records and names -----------------------------------------------------------

TEST(ServiceRecords, QueueMessageAndNamesAreFixed) {
    EXPECT_EQ(sizeof(SERVICE_queueMsg), 32u);
    EXPECT_STREQ(SERVICEP_stateName(SERVICEG_LINK_DEAD_LINK_E), "DEAD_LINK");
    EXPECT_STREQ(SERVICEP_stateName(4), "");
    EXPECT_STREQ(SERVICEP_eventName(SERVICEG_LINK_EVENT_TIMER_EXPIRED_E), "TIMER EXPIRED");
    EXPECT_STREQ(SERVICEP_eventName(4), "");
}

// --- ioctl round trip ------------------------------------------------------------

TEST_F(ServiceTest, LocallyAnsweredIoctlReturnsTheServiceStatusAndRecord) {
    openTestService();
    uint32_t record[2] = {5, 7};
    EXPECT_EQ(SERVICEG_ioctl(svc_, kLocalCode, record, sizeof(record)), SERVICE__RET_SUCCESS);
    EXPECT_EQ(record[0], 6u);
    EXPECT_EQ(record[1], 7u);

    service_.localStatus = kPeerStatus;
    EXPECT_EQ(SERVICEG_ioctl(svc_, kLocalCode, record, sizeof(record)), kPeerStatus);
    EXPECT_EQ(record[0], 7u);
    // Nothing went to the peer.
    EXPECT_TRUE(peer_.requests().empty());
}

TEST_F(ServiceTest, ForwardedIoctlReturnsThePeersStatusAndRecord) {
    openTestService();
    peer_.setAnswer(kFwdCode, {kPeerStatus, std::nullopt, 0ms, false});
    uint32_t value = 0x11223344;
    EXPECT_EQ(SERVICEG_ioctl(svc_, kFwdCode, &value, sizeof(value)), kPeerStatus);
    EXPECT_EQ(value, 0x11223344u);  // the peer echoed the record

    // The request went out marshalled on the service's control channel.
    const auto requests = peer_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].channel, kCtrlChannel);
    EXPECT_EQ(requests[0].header().type(), SERVICEG_MSG_REQUEST_E);
    EXPECT_EQ(requests[0].header().code, kFwdCode);
    EXPECT_EQ(requests[0].header().payloadLength(), 4u);
    EXPECT_EQ(requests[0].payload(), (Bytes{0x44, 0x33, 0x22, 0x11}));

    // A record the peer supplies reaches the caller, after phase 1 has seen it.
    peer_.setAnswer(kFwdCode, {SERVICE__RET_SUCCESS, Bytes{0xDD, 0xCC, 0xBB, 0xAA}, 0ms, false});
    EXPECT_EQ(SERVICEG_ioctl(svc_, kFwdCode, &value, sizeof(value)), SERVICE__RET_SUCCESS);
    EXPECT_EQ(value, 0xAABBCCDDu);
    std::lock_guard<std::mutex> lock(service_.mutex);
    ASSERT_EQ(service_.ioctls.size(), 4u);  // phase 0 and 1 of each call
    EXPECT_EQ(service_.ioctls[3].phase, SERVICEG_PHASE_DONE_E);
    EXPECT_EQ(service_.ioctls[3].record, (Bytes{0xDD, 0xCC, 0xBB, 0xAA}));
}

TEST_F(ServiceTest, WrongLengthOrUnknownCodeNeverReachesTheService) {
    openTestService();
    uint32_t record[2] = {1, 2};
    EXPECT_EQ(SERVICEG_ioctl(svc_, kLocalCode, record, 4), SERVICE__ERR_INVALID_ARGS);
    EXPECT_EQ(log_.count("Incorrect input length 4 expect 8"), 1u);
    EXPECT_EQ(SERVICEG_ioctl(svc_, kUnknownCode, record, 0), SERVICE__ERR_INVALID_ARGS);
    EXPECT_EQ(SERVICEG_ioctl(nullptr, kLocalCode, record, sizeof(record)), SERVICE__ERR_INVALID_ARGS);
    // A good call after them is the only one the service sees.
    EXPECT_EQ(SERVICEG_ioctl(svc_, kLocalCode, record, sizeof(record)), SERVICE__RET_SUCCESS);
    std::lock_guard<std::mutex> lock(service_.mutex);
    ASSERT_EQ(service_.ioctls.size(), 1u);
    EXPECT_EQ(service_.ioctls[0].record, concat(Bytes{1, 0, 0, 0}, Bytes{2, 0, 0, 0}));
    EXPECT_EQ(record[0], 2u);
}

TEST_F(ServiceTest, LongerAnswerCopiesOnlyTheRequestLength) {
    openTestService();
    peer_.setAnswer(kFwdCode, {kPeerStatus, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 0ms, false});
    uint32_t guard[2] = {0, 0xFEEDFACE};
    EXPECT_EQ(SERVICEG_ioctl(svc_, kFwdCode, &guard[0], 4), kPeerStatus);
    EXPECT_EQ(guard[0], 0x04030201u);
    EXPECT_EQ(guard[1], 0xFEEDFACEu);
    EXPECT_EQ(log_.count("response len. expect=4 got=12"), 1u);
}

TEST_F(ServiceTest, LateAnswerDoesNotBecomeTheNextCallersAnswer_WaitsForIoctlTimeout) {
    openTestService();
    // The test answers for the peer: the first call's answer only once its
    // caller has given up and the second call waits, ahead of the second's
    // own, whatever either took.
    peer_.setAnswer(kFwdCode, {0, std::nullopt, 0ms, true});
    peer_.setAnswer(kFwdCode2, {0, std::nullopt, 0ms, true});
    uint32_t first = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SERVICEG_ioctl(svc_, kFwdCode, &first, 4), SERVICE__ERR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 990ms);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(log_.count("msg=0x09000002 timeout or err (1000ms)"), 1u);

    std::jthread answers([this] {
        if (!peer_.waitForRequests(2, 10s)) return;
        sendToHost(kCtrlChannel, SERVICEG_MSG_RESPONSE_E, kFwdCode, Bytes{1, 1, 1, 1}, 0x01091111);
        sendToHost(kCtrlChannel, SERVICEG_MSG_RESPONSE_E, kFwdCode2, Bytes{2, 2, 2, 2}, 0x01092222);
    });
    uint32_t second = 0;
    EXPECT_EQ(SERVICEG_ioctl(svc_, kFwdCode2, &second, 4), 0x01092222u);
    EXPECT_EQ(second, 0x02020202u);
    EXPECT_EQ(svc_->staleAnswers.load(), 1u);
}

TEST_F(ServiceTest, SilentPeerTimesOutAndTheServiceStaysUsable_WaitsForIoctlTimeout) {
    openTestService();
    peer_.setAnswer(kFwdCode, {0, std::nullopt, 0ms, true});
    uint32_t value = 3;
    EXPECT_EQ(SERVICEG_ioctl(svc_, kFwdCode, &value, 4), SERVICE__ERR_TIMEOUT);
    uint32_t record[2] = {0, 0};
    EXPECT_EQ(SERVICEG_ioctl(svc_, kLocalCode, record, sizeof(record)), SERVICE__RET_SUCCESS);
    EXPECT_EQ(record[0], 1u);
}

// --- receive path -------------------------------------------------------------------

TEST_F(ServiceTest, DataMessagesTakeTheFastPathOrTheQueue) {
    openTestService();
    // A payload smaller than the difference between host and wire record
    // sizes (32 - 28) must still arrive.
    const Bytes small{0xA1, 0xA2, 0xA3};
    ASSERT_TRUE(sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, concat(sampleWire(0x1122334455667788), small)));
    ASSERT_TRUE(service_.waitFor([&] { return service_.fast.size() == 1; }));

    service_.fastAccept = false;
    ASSERT_TRUE(sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, concat(sampleWire(42), small)));
    ASSERT_TRUE(service_.waitFor([&] { return service_.handled.size() == 1; }));

    std::lock_guard<std::mutex> lock(service_.mutex);
    EXPECT_EQ(service_.fast[0].payload, small);
    uint64_t stamp = 0;
    std::memcpy(&stamp, service_.fast[0].record.data() + 8, 8);
    EXPECT_EQ(stamp, 0x1122334455667788u);
    uint32_t last = 0;
    std::memcpy(&last, service_.fast[0].record.data() + 28, 4);
    EXPECT_EQ(last, 44u);
    // The refused one went through the queue to handleMsg, payload and all.
    EXPECT_EQ(service_.fastAttempts, 2u);
    EXPECT_EQ(service_.fast.size(), 1u);
    EXPECT_EQ(service_.handled[0].payload, small);
    std::memcpy(&stamp, service_.handled[0].record.data() + 8, 8);
    EXPECT_EQ(stamp, 42u);
    EXPECT_EQ(svc_->dataCount.load(), 2u);
    EXPECT_EQ(svc_->dataDrops.load(), 0u);
}

TEST_F(ServiceTest, UnknownCodesAndShortRecordsAreDroppedAndCounted) {
    openTestService();
    service_.fastAccept = false;
    ASSERT_TRUE(sendToHost(kCtrlChannel, SERVICEG_MSG_DATA_E, kUnknownCode, Bytes(64, 0x55)));
    ASSERT_TRUE(sendToHost(kCtrlChannel, SERVICEG_MSG_DATA_E, 0x0A000001, Bytes(8, 0x55)));  // sid 10
    ASSERT_TRUE(sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, Bytes(27, 0x66)));
    ASSERT_TRUE(sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, Bytes{}));
    // One good message behind them: once it is handled, the others were seen.
    ASSERT_TRUE(sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, sampleWire(7)));
    ASSERT_TRUE(service_.waitFor([&] { return service_.handled.size() == 1; }));

    EXPECT_EQ(svc_->ctrlCount.load(), 2u);
    EXPECT_EQ(svc_->ctrlDrops.load(), 2u);
    EXPECT_EQ(svc_->dataCount.load(), 3u);
    EXPECT_EQ(svc_->dataDrops.load(), 2u);
    EXPECT_EQ(svc_->rejected.load(), 4u);
    EXPECT_EQ(log_.count("pkt drop"), 2u);
    std::lock_guard<std::mutex> lock(service_.mutex);
    EXPECT_EQ(service_.fastAttempts, 1u);  // only the good one got that far
    EXPECT_TRUE(service_.handled[0].payload.empty());
}

// The 27-byte packet of a device that asks the host to free a pointer of its
// choosing, and its sibling that asks for the read function, as requests for
// the peer (the form in which a service's hostIoctl would act on them), on
// either channel: no operation of the service sees them.
TEST_F(ServiceTest, HostOnlyRequestsFromTheDeviceNeverReachTheService) {
    openTestService();
    MEM_POOLG_bufDescT* victim = nullptr;
    ASSERT_EQ(MEM_POOLG_alloc(dataPool_, 16, &victim), MEM_POOL__RET_SUCCESS);
    Bytes pointer;
    putLe(pointer, reinterpret_cast<uintptr_t>(victim), 8);
    const struct {
        uint32_t channel;
        uint32_t type;
        uint32_t code;
    } cases[] = {
        {kCtrlChannel, SERVICEG_MSG_REQUEST_E, VPU_CMDG_FREE_BUF_E},
        {kDataChannel, SERVICEG_MSG_REQUEST_E, VPU_CMDG_FREE_BUF_E},
        {kDataChannel, SERVICEG_MSG_DATA_E, VPU_CMDG_FREE_BUF_E},
        {kCtrlChannel, SERVICEG_MSG_REQUEST_E, VPU_CMDG_GET_READ_FUNC_E},
        {kDataChannel, SERVICEG_MSG_LINK_E, VPU_CMDG_GET_READ_FUNC_E},
    };
    for (const auto& c : cases)
        ASSERT_TRUE(vpu_.sendPacket(0, c.channel, VpuHeader::make(c.type, 8, c.code, 0, 1), pointer));
    ASSERT_TRUE(log_.waitFor("host-only msgcode=", std::size(cases), 2000ms));
    // A round trip behind them through the service thread and the peer.
    uint32_t word = 0;
    ASSERT_EQ(SERVICEG_ioctl(svc_, kFwdCode, &word, 4), 0u);  // the peer's status

    EXPECT_EQ(MEM_POOLG_getNumFree(dataPool_), MEM_POOLG_getNumBuffs(dataPool_) - 1);
    EXPECT_EQ(svc_->hostOnlyDrops.load(), std::size(cases));
    EXPECT_EQ(svc_->ctrlDrops.load(), 2u);
    EXPECT_EQ(svc_->dataDrops.load(), 3u);
    EXPECT_EQ(log_.count("pkt drop"), 0u);
    EXPECT_TRUE(peer_.dataMessages().empty());
    {
        std::lock_guard<std::mutex> lock(service_.mutex);
        for (const auto& call : service_.ioctls) EXPECT_EQ(call.code, kFwdCode);
        EXPECT_TRUE(service_.handled.empty());
        EXPECT_EQ(service_.fastAttempts, 0u);
    }
    MEM_POOLG_freeBuff(victim);
}

// Answers nobody asked for: no phase 1 runs for them and no caller gets them.
TEST_F(ServiceTest, OnlyTheAwaitedResponseRunsPhaseOne) {
    openTestService();
    peer_.setAnswer(kFwdCode2, {0x01092222, Bytes{2, 2, 2, 2}, 300ms, false});
    ASSERT_TRUE(sendToHost(kCtrlChannel, SERVICEG_MSG_RESPONSE_E, kFwdCode, Bytes(4, 1)));
    ASSERT_TRUE(log_.waitFor("unsolicited answer 0x09000002", 1, 2000ms));
    // While a caller waits for kFwdCode2, an answer for another code, one for
    // the peer itself, and a request that would answer the caller.
    std::thread forger([&] {
        ASSERT_TRUE(peer_.waitForRequests(1, 2000ms));
        sendToHost(kCtrlChannel, SERVICEG_MSG_RESPONSE_E, kFwdCode, Bytes(4, 3));
        vpu_.sendPacket(0, kCtrlChannel, VpuHeader::make(SERVICEG_MSG_RESPONSE_E, 4, kFwdCode2, 0, 1), Bytes(4, 4));
        sendToHost(kCtrlChannel, SERVICEG_MSG_REQUEST_E, kFwdCode2, Bytes(4, 5));
    });
    uint32_t word = 0;
    EXPECT_EQ(SERVICEG_ioctl(svc_, kFwdCode2, &word, 4), 0x01092222u);
    forger.join();
    EXPECT_EQ(word, 0x02020202u);
    ASSERT_TRUE(log_.waitFor("unsolicited answer", 3, 2000ms));
    ASSERT_TRUE(log_.waitFor("answering the host dropped", 1, 2000ms));
    EXPECT_EQ(svc_->staleAnswers.load(), 3u);
    EXPECT_EQ(svc_->rejected.load(), 1u);
    std::lock_guard<std::mutex> lock(service_.mutex);
    ASSERT_EQ(service_.ioctls.size(), 2u);  // the caller's phases 0 and 1, nothing else
    EXPECT_EQ(service_.ioctls[1].phase, SERVICEG_PHASE_DONE_E);
    EXPECT_EQ(service_.ioctls[1].record, (Bytes{2, 2, 2, 2}));
}

TEST_F(ServiceTest, SendToPeerMarshalsTheRecordAndAppendsThePayload) {
    initTestService();
    const Bytes wire = sampleWire(0x0A0B0C0D0E0F1011);
    uint8_t record[32] = {};
    ASSERT_TRUE(MARSHALG_convert(MARSHALG_UNMARSHAL_E, kDataCode, record, const_cast<uint8_t*>(wire.data()),
                                 static_cast<uint32_t>(wire.size()), nullptr));
    const char text[] = "xyz";
    SERVICEG_sendParamsT params{SERVICEG_DATA_CHANNEL_E, kDataCode, record, text, 3, nullptr};
    ASSERT_EQ(SERVICEG_sendMsg2Peer(svc_, &params), SVC_COM__RET_SUCCESS);
    EXPECT_EQ(params.payloadLength, 31u);

    // A payload chain goes out behind the record as it is.
    MEM_POOLG_bufDescT* chain = nullptr;
    ASSERT_EQ(MEM_POOLG_alloc(dataPool_, 100, &chain), MEM_POOL__RET_SUCCESS);
    std::memset(chain->data, 0x5A, 100);
    chain->len = 100;
    SERVICEG_sendParamsT chained{SERVICEG_CTRL_CHANNEL_E, kDataCode, record, nullptr, 0, chain};
    ASSERT_EQ(SERVICEG_sendMsg2Peer(svc_, &chained), SVC_COM__RET_SUCCESS);
    EXPECT_EQ(chained.payloadLength, 128u);

    ASSERT_TRUE(peer_.waitForDataMessages(2, 2000ms));
    const auto data = peer_.dataMessages();
    EXPECT_EQ(data[0].channel, kDataChannel);
    EXPECT_EQ(data[0].header().type(), SERVICEG_MSG_DATA_E);
    EXPECT_EQ(data[0].header().code, kDataCode);
    EXPECT_EQ(data[0].header().payloadLength(), 31u);
    EXPECT_EQ(data[0].payload(), concat(wire, Bytes{'x', 'y', 'z'}));
    EXPECT_EQ(data[1].channel, kCtrlChannel);
    EXPECT_EQ(data[1].payload(), concat(wire, Bytes(100, 0x5A)));

    SERVICEG_sendParamsT unknown{SERVICEG_DATA_CHANNEL_E, kUnknownCode, record, nullptr, 0, nullptr};
    EXPECT_EQ(SERVICEG_sendMsg2Peer(svc_, &unknown), SERVICE__ERR_INVALID_ARGS);
}

// --- open, close, teardown -------------------------------------------------------------

TEST_F(ServiceTest, OpenPhaseZeroOpensAndClearsCountersPhaseOneOnlyReports) {
    initTestService();
    EXPECT_EQ(SERVICEG_isOpen(svc_), 0u);
    service_.openResult = 0x01090002;  // the service refuses
    EXPECT_EQ(SERVICEG_open(svc_, SERVICEG_PHASE_START_E), 0x01090002u);
    EXPECT_EQ(SERVICEG_isOpen(svc_), 0u);

    service_.openResult = SERVICE__INCOMPLETE;
    EXPECT_EQ(SERVICEG_open(svc_, SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    EXPECT_EQ(SERVICEG_isOpen(svc_), 1u);
    service_.fastAccept = false;
    ASSERT_TRUE(sendToHost(kCtrlChannel, SERVICEG_MSG_DATA_E, kUnknownCode, Bytes(4, 0)));
    ASSERT_TRUE(sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, sampleWire(1)));
    ASSERT_TRUE(service_.waitFor([&] { return service_.handled.size() == 1; }));
    EXPECT_EQ(svc_->ctrlDrops.load(), 1u);

    service_.openResult = SERVICE__RET_SUCCESS;
    EXPECT_EQ(SERVICEG_open(svc_, SERVICEG_PHASE_DONE_E), SERVICE__RET_SUCCESS);
    EXPECT_EQ(svc_->ctrlDrops.load(), 1u);
    EXPECT_EQ(SERVICEG_isOpen(svc_), 1u);

    EXPECT_EQ(SERVICEG_close(svc_, SERVICEG_PHASE_START_E), SERVICE__RET_SUCCESS);
    EXPECT_EQ(SERVICEG_isOpen(svc_), 0u);
    EXPECT_EQ(SERVICEG_open(svc_, SERVICEG_PHASE_START_E), SERVICE__RET_SUCCESS);
    EXPECT_EQ(svc_->ctrlDrops.load(), 0u);
    EXPECT_EQ(svc_->dataCount.load(), 0u);
    {
        std::lock_guard<std::mutex> lock(service_.mutex);
        EXPECT_EQ(service_.openPhases, (std::vector<uint32_t>{0, 0, 1, 0}));
    }
    SERVICEG_showStats(svc_);
    EXPECT_EQ(log_.count("sid=9 TESTSVC  OPEN   : ctrlCnt=0 dataCnt=0  (ctrtDrop=0, dataDtrp=0)"), 1u);
}

TEST_F(ServiceTest, QueueNamesCarryTheServiceName) {
    initTestService();
    EXPECT_STREQ(svc_->inQueue.name, "/InFifoTESTSVC");
    EXPECT_STREQ(svc_->outQueue.name, "/OutFifoTESTSVC");
    EXPECT_EQ(svc_->outQueue.maxMsgs, 1u);
    EXPECT_EQ(SERVICEG_getHandle(kSid), svc_);
    EXPECT_EQ(SERVICEG_getHandle(10), nullptr);
    EXPECT_EQ(SVC_COMG_getChannelNum(svc_), kSid);
    EXPECT_EQ(SERVICEG_getDataChanPool(svc_), dataPool_);
    EXPECT_STREQ(SERVICEG_getName(svc_), "TESTSVC");
    // The service pool holds the largest record of service 0 or of this one.
    EXPECT_EQ(MEM_POOLG_getBuffSize(svc_->pool), MARSHALG_getMaxSize(kSid));
    EXPECT_EQ(MEM_POOLG_getNumBuffs(svc_->pool), 32u);
}

TEST_F(ServiceTest, InitRefusesBadSidAndFullInputQueueDropsThePacket) {
    SVC_COMG_handleT pair[2] = {channels_[kCtrlChannel], channels_[kDataChannel]};
    SERVICEG_initParamsT bad{10, 10, 4, pair, &kTestOps, kLoopMs, 0, 0, nullptr};
    SERVICEG_serviceT* record = reinterpret_cast<SERVICEG_serviceT*>(1);
    EXPECT_EQ(SERVICEG_init(&record, &bad), SERVICE__ERR_INVALID_ARGS);
    EXPECT_EQ(record, nullptr);

    // A closed service reads nothing, so its queue of two fills up.
    initTestService(2);
    service_.fastAccept = false;
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, sampleWire(i)));
    ASSERT_TRUE(service_.waitFor([&] { return service_.fastAttempts == 4; }));
    ASSERT_TRUE(log_.waitFor("pkt drop", 2, 2000ms));
    EXPECT_EQ(svc_->dataDrops.load(), 2u);
}

TEST_F(ServiceTest, KeepAliveAnswersTakeOnePlaceInTheQueueSoOthersStillFit) {
    // A service thread held off the processor (here: a closed service, which
    // reads nothing) while the peer answers keep-alive after keep-alive: more
    // answers than the queue holds, then a message that must not be lost.
    initTestService(4);
    service_.fastAccept = false;
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(sendToHost(kCtrlChannel, SERVICEG_MSG_LINK_E, VPU_CMDG_KEEP_ALIVE_E, Bytes{}));
    ASSERT_TRUE(sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, sampleWire(9)));
    // One receive thread delivers both channels in order: the data message's
    // fast-path attempt comes after every keep-alive answer.
    ASSERT_TRUE(service_.waitFor([&] { return service_.fastAttempts == 1; }));
    EXPECT_EQ(svc_->ctrlCount.load(), 6u);
    EXPECT_EQ(svc_->ctrlDrops.load(), 0u);
    EXPECT_EQ(svc_->dataDrops.load(), 0u);
    EXPECT_EQ(svc_->linkRxMerged.load(), 5u);
    // Once the thread reads again, the message is handled and the next
    // keep-alive answer is queued again.
    ASSERT_EQ(SERVICEG_open(svc_, SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    ASSERT_TRUE(service_.waitFor([&] { return service_.handled.size() == 1; }));
    ASSERT_TRUE(sendToHost(kCtrlChannel, SERVICEG_MSG_LINK_E, VPU_CMDG_KEEP_ALIVE_E, Bytes{}));
    ASSERT_TRUE(sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, sampleWire(10)));
    ASSERT_TRUE(service_.waitFor([&] { return service_.handled.size() == 2; }));
    EXPECT_EQ(svc_->linkRxMerged.load(), 5u);
    EXPECT_EQ(svc_->ctrlDrops.load(), 0u);
}

TEST_F(ServiceTest, IoctlRightAfterOpenWaitsForAFullQueueToDrain) {
    // Closed, the service reads nothing: what the peer sends fills its queue.
    initTestService(2);
    service_.fastAccept = false;
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, sampleWire(i)));
    ASSERT_TRUE(service_.waitFor([&] { return service_.fastAttempts == 2; }));
    // Opened, its thread reads the queue again; the first ioctl does not fail
    // for finding it still full.
    ASSERT_EQ(SERVICEG_open(svc_, SERVICEG_PHASE_START_E), SERVICE__INCOMPLETE);
    uint32_t record[2] = {5, 7};
    EXPECT_EQ(SERVICEG_ioctl(svc_, kLocalCode, record, sizeof(record)), SERVICE__RET_SUCCESS);
    EXPECT_EQ(record[0], 6u);
    EXPECT_EQ(log_.count("Send failed"), 0u);
}

TEST_F(ServiceTest, InitThatCannotMakeItsPoolLeavesNothingBehind) {
    std::vector<MEM_POOLG_handleT> fillers;
    for (;;) {
        MEM_POOLG_handleT pool = nullptr;
        MEM_POOLG_cfgT cfg{8, 1, nullptr, 0, 0};
        MEM_POOLG_newPool(&pool, MEM_POOLG_BUF_TYPE_HEAP_E, &cfg);
        if (pool == nullptr) break;
        fillers.push_back(pool);
    }
    SVC_COMG_handleT pair[2] = {channels_[kCtrlChannel], channels_[kDataChannel]};
    SERVICEG_initParamsT params{kSid, 10, 16, pair, &kTestOps, kLoopMs, 0, 0, nullptr};
    SERVICEG_serviceT* record = nullptr;
    EXPECT_EQ(SERVICEG_init(&record, &params), SERVICE__ERR_OUT_OF_RSRCS);
    EXPECT_EQ(record, nullptr);
    for (MEM_POOLG_handleT pool : fillers) MEM_POOLG_closePool(pool);
    SERVICEG_serviceT* half = SERVICEG_getHandle(kSid);
    EXPECT_EQ(half->inQueueCreated, 0u);
    EXPECT_EQ(half->outQueueCreated, 0u);
    EXPECT_EQ(half->ioctlMutexCreated, 0u);
    EXPECT_EQ(half->stateMutexCreated, 0u);
    EXPECT_EQ(half->thread.handle, nullptr);
    EXPECT_EQ(half->callbacksSet, 0u);
}

TEST_F(ServiceTest, DeInitReleasesQueuedBuffersAndStopsDelivery) {
    initTestService();  // closed: what arrives stays queued
    service_.fastAccept = false;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, concat(sampleWire(i), Bytes(50, 1))));
    ASSERT_TRUE(service_.waitFor([&] { return service_.fastAttempts == 3; }));
    EXPECT_LT(MEM_POOLG_getNumFree(dataPool_), MEM_POOLG_getNumBuffs(dataPool_));
    SERVICEG_deInit(svc_);
    EXPECT_EQ(svc_->ops.load(), nullptr);
    svc_ = nullptr;
    // The payloads of the three queued messages went back to the channel's pool.
    EXPECT_EQ(MEM_POOLG_getNumFree(dataPool_), MEM_POOLG_getNumBuffs(dataPool_));
    {
        std::lock_guard<std::mutex> lock(service_.mutex);
        EXPECT_TRUE(service_.handled.empty());
    }
    // Whatever arrives now finds no callback; TearDown checks it was freed.
    ASSERT_TRUE(sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, sampleWire(9)));
}

// --- link ---------------------------------------------------------------------------------

TEST_F(ServiceTest, LinkStateMachineRefusesStartOutsideInitAndStopInInit) {
    initLinkService(0);  // the thread does not start the link; the test drives it
    EXPECT_EQ(SERVICEP_linkStateMachineInvoke(linkSvc_, SERVICEG_LINK_EVENT_STOP_E), SERVICE__ERR_ILLEGAL_STATE);
    EXPECT_EQ(SERVICEP_linkStateMachineInvoke(linkSvc_, SERVICEG_LINK_EVENT_RX_E), SERVICE__ERR_ILLEGAL_STATE);
    EXPECT_EQ(log_.count("Link state machine"), 0u);
    EXPECT_EQ(SERVICEP_linkStateMachineInvoke(linkSvc_, SERVICEG_LINK_EVENT_START_E), SERVICE__RET_SUCCESS);
    EXPECT_EQ(SERVICEG_getLinkState(linkSvc_), SERVICEG_LINK_DISCONNECT_E);
    EXPECT_EQ(SERVICEP_linkStateMachineInvoke(linkSvc_, SERVICEG_LINK_EVENT_START_E), SERVICE__ERR_ILLEGAL_STATE);
    EXPECT_EQ(log_.count("Link state machine: service SVCTEST event START, state DISCONNECT"), 1u);
    EXPECT_EQ(SERVICEP_linkStateMachineInvoke(linkSvc_, 9), SERVICE__ERR_ILLEGAL_STATE);
    EXPECT_EQ(SERVICEP_linkStateMachineInvoke(linkSvc_, SERVICEG_LINK_EVENT_STOP_E), SERVICE__RET_SUCCESS);
    EXPECT_EQ(SERVICEG_getLinkState(linkSvc_), SERVICEG_LINK_INIT_E);
    EXPECT_TRUE(link_.snapshot().empty());  // stopping a link that never connected reports nothing
    SERVICEP_timerExpiredCb(nullptr);         // a timer without a record does nothing
}

TEST_F(ServiceTest, LinkGoesPendingThenDisconnectedAndRecoversOnAShortPeriod) {
    SERVICEP_setLinkPeriodForTest(50);
    initLinkService();
    ASSERT_TRUE(link_.waitForCount(1, linktest::kLinkBound));
    EXPECT_EQ(link_.snapshot()[0], VPUG_CONN_STATE_CONNECTED_E);
    EXPECT_EQ(log_.count("Service SVCTEST Connected"), 1u);

    peer_.setKeepAliveEcho(false);
    ASSERT_TRUE(link_.waitForCount(3, linktest::kLinkBound));
    EXPECT_EQ(link_.snapshot(), (std::vector<uint32_t>{0, 2, 1}));
    EXPECT_EQ(log_.count("Service SVCTEST disconnect pending (timeout)"), 1u);
    EXPECT_EQ(log_.count("Service SVCTEST disconnect (timeout)"), 1u);

    peer_.setKeepAliveEcho(true);
    ASSERT_TRUE(link_.waitForCount(4, linktest::kLinkBound));
    EXPECT_EQ(link_.snapshot()[3], VPUG_CONN_STATE_CONNECTED_E);
    EXPECT_EQ(SERVICEG_close(linkSvc_, SERVICEG_PHASE_START_E), SERVICE__RET_SUCCESS);
    EXPECT_EQ(SERVICEG_getLinkState(linkSvc_), SERVICEG_LINK_INIT_E);
    const auto events = link_.snapshot();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[4], VPUG_CONN_STATE_DISCONNECTED_E);
    EXPECT_EQ(log_.count("Service SVCTEST Disconnected (stopped)"), 1u);
}

TEST_F(ServiceTest, LinkOfARecordInitialisedAgainStartsAfresh) {
    SERVICEP_setLinkPeriodForTest(50);
    initLinkService();
    ASSERT_TRUE(link_.waitForCount(1, linktest::kLinkBound));
    // Taken down without a STOP: the link was left connected.
    SERVICEG_deInit(linkSvc_);
    linkSvc_ = nullptr;
    initLinkService();
    ASSERT_TRUE(link_.waitForCount(2, linktest::kLinkBound));
    EXPECT_EQ(link_.snapshot(), (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(log_.count("Service SVCTEST Connected"), 2u);
}

TEST_F(ServiceTest, LinkConnectsOnFirstEchoThenGoesPending_WaitsForKeepAliveCountdown) {
    initLinkService();
    // The first keep-alive leaves one second after the start.
    ASSERT_TRUE(link_.waitForCount(1, linktest::kLinkBound));
    EXPECT_EQ(link_.snapshot()[0], VPUG_CONN_STATE_CONNECTED_E);
    const auto packets = vpu_.received();
    ASSERT_GE(packets.size(), 1u);
    EXPECT_EQ(packets[0].channel, kLinkCtrlChannel);
    EXPECT_EQ(packets[0].body.size(), 12u);  // the header alone
    EXPECT_EQ(packets[0].header().type(), SERVICEG_MSG_LINK_E);
    EXPECT_EQ(packets[0].header().payloadLength(), 4u);
    EXPECT_EQ(packets[0].header().code, VPU_CMDG_KEEP_ALIVE_E);
    EXPECT_EQ(packets[0].header().status, 0u);

    peer_.setKeepAliveEcho(false);
    ASSERT_TRUE(link_.waitForCount(2, linktest::kLinkBound));
    EXPECT_EQ(link_.snapshot()[1], VPUG_CONN_STATE_DISCONNECT_PENDING_E);
}

TEST_F(ServiceTest, UnplugTurnsIntoLinkLossAndIoctlTimeout_WaitsForIoctlTimeout) {
    SERVICEP_setLinkPeriodForTest(50);
    initLinkService();
    openTestService();
    ASSERT_TRUE(link_.waitForCount(1, linktest::kLinkBound));
    usb_.unplug();
    uint32_t value = 5;
    EXPECT_EQ(SERVICEG_ioctl(svc_, kFwdCode, &value, 4), SERVICE__ERR_TIMEOUT);
    EXPECT_EQ(value, 5u);
    // Ten silent periods fit easily in the second the ioctl waited.
    ASSERT_TRUE(link_.waitForCount(3, linktest::kLinkBound));
    EXPECT_EQ(link_.snapshot(), (std::vector<uint32_t>{0, 2, 1}));
    // A locally answered ioctl still works without the device.
    uint32_t record[2] = {0, 0};
    EXPECT_EQ(SERVICEG_ioctl(svc_, kLocalCode, record, sizeof(record)), SERVICE__RET_SUCCESS);
    EXPECT_EQ(record[0], 1u);
}

TEST_F(ServiceTest, StartAndStopWhileTrafficFlows) {
    SERVICEP_setLinkPeriodForTest(1);  // timer callbacks in flight all the time
    // Stopped and joined on every way out of the test.
    std::jthread flood([&](std::stop_token stop) {
        uint64_t i = 0;
        while (!stop.stop_requested()) {
            sendToHost(kDataChannel, SERVICEG_MSG_DATA_E, kDataCode, concat(sampleWire(i++), Bytes(20, 3)));
            sendToHost(kCtrlChannel, SERVICEG_MSG_RESPONSE_E, kFwdCode, Bytes(4, 1));
            std::this_thread::sleep_for(200us);  // pacing only, not synchronisation
        }
    });
    for (int round = 0; round < 6; ++round) {
        service_.fastAccept = round % 2 == 0;
        const size_t seen = peer_.keepAlivesSeen();
        initLinkService();
        openTestService();
        ASSERT_TRUE(peer_.waitForKeepAlives(seen + 3, 2000ms));
        if (round % 3 == 0) SERVICEP_stopLink(linkSvc_);
        SERVICEG_deInit(linkSvc_);
        // From here on a timer expiry that was already on its way finds the
        // link frozen: it sends nothing and touches nothing being released.
        const uint32_t frozen = SERVICEG_getLinkState(linkSvc_);
        EXPECT_EQ(SERVICEP_linkStateMachineInvoke(linkSvc_, SERVICEG_LINK_EVENT_TIMER_EXPIRED_E),
                  SERVICE__ERR_ILLEGAL_STATE);
        SERVICEP_timerExpiredCb(linkSvc_);
        EXPECT_EQ(SERVICEG_getLinkState(linkSvc_), frozen);
        SERVICEG_deInit(svc_);
        linkSvc_ = nullptr;
        svc_ = nullptr;
    }
    flood.request_stop();
    flood.join();
    // Every round reached the peer with keep-alives and took them all down;
    // TearDown checks that no buffer stayed behind.
    EXPECT_GE(peer_.keepAlivesSeen(), 18u);
}

}  // namespace
