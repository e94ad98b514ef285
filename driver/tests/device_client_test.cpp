// The device client against the simulated sensor firmware (and, where exact
// bytes matter, a scripted peer): framing and resynchronisation, reply
// matching, status mapping, the read thread's end, stop, notifications.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <thread>

#include "client_test_support.h"
#include "driver/twist_sample.h"

namespace ztest {
namespace {

using morv::client::Error;
using morv::client::Notification;
using morv::client::Processor;
using morv::client::State;

// Pending entries still filed (under the client's own lock).
size_t pendingCount() {
    PZClient* client = PZClient_get();
    OS_LYRG_lockMutex(&client->pendingMutex);
    const size_t n = client->pending.size();
    OS_LYRG_unlockMutex(&client->pendingMutex);
    return n;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    size_t total = 0;
    for (const Bytes& part : parts) total += part.size();
    Bytes out(total);
    size_t at = 0;
    for (const Bytes& part : parts) {
        std::copy(part.begin(), part.end(), out.begin() + static_cast<long>(at));
        at += part.size();
    }
    return out;
}

// ---------------------------------------------------------------- tables

TEST(DeviceClientTables, SystemEventNamesInCodeOrder) {
    const std::array<const char*, 27> expected = {
        "Laser high trip", "Laser low trip", "Laser fatal trip", "Laser recovered", "Laser self test failed",
        "PSoC firmware corrupt", "Laser needs calibration", "Can't communicate to USB mux",
        "Can't communicate to battery charger", "Battery charger watchdog expired", "VBus voltage is bad",
        "VBus voltage is good", "Accessory voltage is bad", "Accessory voltage is good", "Battery voltage is bad",
        "Battery voltage is good", "Battery is hot", "Battery is cold", "Battery temp is good",
        "Battery charger timeout", "Battery charger temp is bad", "Battery charger temp is good", "Laser is hot",
        "Laser is cold", "Forcing low power mode", "Power status forbids streaming",
        "Power status permits streaming"};
    for (int32_t code = 0; code < 27; ++code) EXPECT_STREQ(PZSystemEvent_toString(code), expected[code]) << code;
    EXPECT_STREQ(PZSystemEvent_toString(27), "Unknown");
    EXPECT_STREQ(PZSystemEvent_toString(-1), "Unknown");
}

// --------------------------------------------------------- resynchronisation

using ClientFraming = ClientFixture;

TEST_F(ClientFraming, ResynchronisesOnRestartedSyncRuns) {
    waitForStateReport();
    // C0 C0 FF EE 00: the second C0 starts the run.
    firmware_->sendRaw(concat({{0xC0}, notificationFrame(0, 0, true)}));
    // C0 FF EE C0 FF EE 00: the C0 after a partial run restarts the count at 1.
    firmware_->sendRaw(concat({{0xC0, 0xFF, 0xEE}, notificationFrame(0, 1, true)}));
    // C0 FF EE 01 is no sync run: the message after it is skipped ...
    Bytes unsynced = notificationFrame(0, 2, true);
    unsynced[3] = 0x01;
    firmware_->sendRaw(unsynced);
    // ... and garbage in front of a whole frame is skipped byte by byte.
    firmware_->sendRaw(concat({{0x00, 0xFF, 0xEE, 0x00, 0xC0, 0xEE, 0x12}, notificationFrame(0, 5, true)}));
    ASSERT_TRUE(EventLog::waitForCount(3));
    EXPECT_EQ(EventLog::snapshot(), (std::vector<int32_t>{PZSystemEvent_LaserHighTrip, PZSystemEvent_LaserLowTrip,
                                                          PZSystemEvent_UsbMuxCommsFailed}));
}

TEST_F(ClientFraming, UndecodableMessagesAreLoggedAndSkipped) {
    waitForStateReport();
    // Too many segments.
    firmware_->sendRaw({0xC0, 0xFF, 0xEE, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});
    // One segment larger than the reader's traversal limit.
    firmware_->sendRaw({0xC0, 0xFF, 0xEE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x90, 0x00});
    // A root pointer far outside its segment.
    firmware_->sendRaw({0xC0, 0xFF, 0xEE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                        0xF0, 0xFF, 0xFF, 0x0F, 0x01, 0x00, 0x01, 0x00});
    firmware_->sendRaw(notificationFrame(0, 8, true));
    ASSERT_TRUE(EventLog::waitForCount(1));
    EXPECT_EQ(EventLog::snapshot(), std::vector<int32_t>{PZSystemEvent_VBusBad});
    EXPECT_EQ(log_.count("Dropped undecodable message from device"), 3u);
    EXPECT_EQ(log_.levelOf("Dropped undecodable message from device"), LOG_WARN_E);
    EXPECT_EQ(log_.count("Client Read Thread exiting"), 0u);
    // The client still works.
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Success);
}

TEST_F(ClientFraming, UndecodableAnswerFromTheFirmwareIsSkippedAndTheRealOneCompletesTheRequest) {
    waitForStateReport();
    zsim::ReplyPlan plan;
    plan.kind = zsim::ReplyPlan::Kind::Undecodable;
    firmware_->planNext(plan);
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Success);
    EXPECT_EQ(log_.count("Dropped undecodable message from device"), 1u);
}

// --------------------------------------------------------- reply matching

TEST_F(ClientFraming, ReplyIsMatchedByIdPlusOneAndOthersAreDropped) {
    waitForStateReport();
    zsim::SimDeviceInfo info;
    info.name = "matched";
    firmware_->setDeviceInfo(info);
    // The next answer carries the request's own id: no pending entry has that
    // key, so it is dropped and the sender keeps waiting ...
    PZMessageBuilder builder;
    auto request = builder.initRoot<Request>();
    const uint32_t id = newRequestId();
    request.setId(id);
    request.getMsg().setGetDevInfo();
    zsim::ReplyPlan wrongId;
    wrongId.replyId = id;
    firmware_->planNext(wrongId);

    auto sender = onThreadIn(context_, [&builder] {
        PZClientPendingEntry* entry = nullptr;
        PZStatus status = sendMsgWithRawPayload(builder, std::nullopt, &entry);
        std::string name;
        if (entry != nullptr) name = entry->response().getMsg().getDevInfo().getName().cStr();
        releasePendingResponse(entry);
        return std::make_pair(status, name);
    });
    ASSERT_TRUE(firmware_->waitForRequests(1, kBound));
    // ... until an answer under id + 1 arrives.
    ASSERT_TRUE(firmware_->sendResponse(id + 1, [](Response::Builder response) {
        response.setError(Error::SUCCESS);
        response.getMsg().initDevInfo().setName("answer");
    }));
    ASSERT_EQ(sender.wait_for(kBound), std::future_status::ready);
    auto [status, name] = sender.get();
    EXPECT_EQ(status, PZStatus_Success);
    EXPECT_EQ(name, "answer");
    EXPECT_EQ(pendingCount(), 0u);
}

using ClientScripted = ScriptedClientFixture;

TEST_F(ClientScripted, IdPlusOneWrapsAroundAndTheEntryIsHandedOverUntilReleased) {
    peer_->setResponder([](Request::Reader request, ScriptedPeer& peer) {
        peer.send(devInfoReply(request.getId() + 1u, "wrapped"));
    });
    PZMessageBuilder builder;
    auto request = builder.initRoot<Request>();
    request.setId(0xFFFFFFFFu);
    request.getMsg().setGetDevInfo();
    PZClientPendingEntry* entry = nullptr;
    ASSERT_EQ(sendMsgWithRawPayload(builder, std::nullopt, &entry), PZStatus_Success);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->key, 0u);
    EXPECT_STREQ(entry->response().getMsg().getDevInfo().getName().cStr(), "wrapped");
    EXPECT_GT(entry->receiveTime, 0);
    EXPECT_EQ(pendingCount(), 1u);
    releasePendingResponse(entry);
    EXPECT_EQ(pendingCount(), 0u);
    releasePendingResponse(nullptr);
}

TEST_F(ClientScripted, FrameOnTheWireIsSyncBytesThenOneMessage) {
    usb_->recordWrites(PZ_CLIENT_INTERFACE, true);
    peer_->setResponder([](Request::Reader request, ScriptedPeer& peer) {
        peer.send(devInfoReply(request.getId() + 1u, "x"));
    });
    PZMessageBuilder builder;
    auto request = builder.initRoot<Request>();
    request.setId(0x01020304);
    request.getMsg().setGetDevInfo();
    ASSERT_EQ(sendMsgWithRawPayload(builder), PZStatus_Success);
    const std::vector<Bytes> writes = usb_->recordedWrites(PZ_CLIENT_INTERFACE);
    ASSERT_EQ(writes.size(), 3u);  // sync bytes, segment table, the one segment
    EXPECT_EQ(writes[0], (Bytes{0xC0, 0xFF, 0xEE, 0x00}));
    EXPECT_EQ(writes[1].size(), 8u);
    ASSERT_GE(writes[2].size(), 16u);
    // Request.id little-endian in the first data word after the root pointer.
    EXPECT_EQ(writes[2][8], 0x04);
    EXPECT_EQ(writes[2][11], 0x01);
}

TEST_F(ClientScripted, PayloadFollowsTheMessageInOneWrite) {
    usb_->recordWrites(PZ_CLIENT_INTERFACE, true);
    peer_->setResponder([](Request::Reader request, ScriptedPeer& peer) {
        peer.send(devInfoReply(request.getId() + 1u, "x"));
    });
    PZMessageBuilder builder;
    auto request = builder.initRoot<Request>();
    request.setId(7);
    request.getMsg().setGetDevInfo();
    const Bytes payload = {1, 2, 3, 4, 5};
    ASSERT_EQ(sendMsgWithRawPayload(builder, std::span<const uint8_t>(payload)), PZStatus_Success);
    const std::vector<Bytes> writes = usb_->recordedWrites(PZ_CLIENT_INTERFACE);
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[3], payload);
}

TEST_F(ClientScripted, ReplyWhoseContentCannotBeReadFailsTheRequestInsteadOfHangingIt) {
    peer_->setResponder([](Request::Reader request, ScriptedPeer& peer) {
        Bytes reply = devInfoReply(request.getId() + 1u, "x");
        // Response.msg's pointer (third word of the segment) now points far
        // outside the message: id and error still read, the reply does not.
        const size_t pointer = 4 + 8 + 16;
        const Bytes farAway = {0xFC, 0xFF, 0xFF, 0x3F, 0x01, 0x00, 0x00, 0x00};
        std::copy(farAway.begin(), farAway.end(), reply.begin() + pointer);
        peer.send(reply);
    });
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Error);
    EXPECT_EQ(log_.count("Undecodable reply to request"), 1u);
    EXPECT_EQ(pendingCount(), 0u);
    // The pipe is still in step: the next request goes through.
    peer_->setResponder([](Request::Reader request, ScriptedPeer& peer) {
        peer.send(devInfoReply(request.getId() + 1u, "fine"));
    });
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Success);
}

TEST_F(ClientScripted, SecondAnswerUnderTheSameIdDoesNotRewriteTheHandedOverReply) {
    std::promise<uint32_t> firstId;
    peer_->setResponder([&firstId](Request::Reader request, ScriptedPeer& peer) {
        peer.send(devInfoReply(request.getId() + 1u, "first"));
        firstId.set_value(request.getId());
        peer.setResponder(nullptr);
    });
    PZClientPendingEntry* entry = nullptr;
    ASSERT_EQ(sendGetDevInfo(&entry), PZStatus_Success);
    const uint32_t id = firstId.get_future().get();
    // A duplicate answer, then a notification to know it has been handled.
    peer_->send(devInfoReply(id + 1u, "duplicate"));
    peer_->send(notificationFrame(0, 3, true));
    ASSERT_TRUE(EventLog::waitForCount(1));
    EXPECT_STREQ(entry->response().getMsg().getDevInfo().getName().cStr(), "first");
    releasePendingResponse(entry);
}

// ------------------------------------------------------ error-to-status map

TEST_F(ClientFraming, EveryProtocolErrorMapsToItsStatus) {
    waitForStateReport();
    const std::array<PZStatus, 16> expected = {
        PZStatus_Error,             PZStatus_Success,       PZStatus_InvalidParameter, PZStatus_DoesNotExist,
        PZStatus_InvalidParameter,  PZStatus_InvalidParameter, PZStatus_DeviceNotReady, PZStatus_Error,
        PZStatus_Error,             PZStatus_DeviceNotReady, PZStatus_NotSupported,   PZStatus_InvalidConfiguration,
        PZStatus_Error,             PZStatus_PowerInsufficient, PZStatus_Error,        PZStatus_Error};
    for (uint16_t error = 0; error < 16; ++error) {
        zsim::ReplyPlan plan;
        plan.kind = zsim::ReplyPlan::Kind::Error;
        plan.error = error;
        firmware_->planNext(plan);
        PZClientPendingEntry* entry = nullptr;
        EXPECT_EQ(sendGetDevInfo(&entry), expected[error]) << "error " << error;
        // Only a success hands the entry over.
        EXPECT_EQ(entry != nullptr, error == 1) << "error " << error;
        releasePendingResponse(entry);
    }
    for (uint16_t error : {uint16_t{16}, uint16_t{0x7FFF}, uint16_t{0xFFFF}}) {
        zsim::ReplyPlan plan;
        plan.kind = zsim::ReplyPlan::Kind::Error;
        plan.error = error;
        firmware_->planNext(plan);
        EXPECT_EQ(sendGetDevInfo(), PZStatus_Error) << "error " << error;
    }
    EXPECT_EQ(pendingCount(), 0u);
}

TEST_F(ClientFraming, ErrorAnswerLogsWarnWithRequestAndErrorNames) {
    waitForStateReport();
    zsim::ReplyPlan plan;
    plan.kind = zsim::ReplyPlan::Kind::Error;
    plan.error = static_cast<uint16_t>(Error::INVALID_PARAMS);
    firmware_->planNext(plan);
    EXPECT_EQ(sendGetDevInfo(), PZStatus_InvalidParameter);
    EXPECT_EQ(log_.count("Received error response: [getDevInfo, invalidParams]"), 1u);
    EXPECT_EQ(log_.levelOf("Received error response: [getDevInfo, invalidParams]"), LOG_WARN_E);
    // The line carries the read thread's own function name.
    EXPECT_NE(log_.firstWith("Received error response").find("clientReadLoop"), std::string::npos);
}

TEST_F(ClientFraming, UnsolicitedErrorIsNamedByItsOwnMemberOrNotAtAll) {
    waitForStateReport();
    firmware_->sendResponse(12345, [](Response::Builder response) {
        response.setError(Error::NO_MEMORY);
        response.getMsg().initClkSync();
    });
    firmware_->sendResponse(12346, [](Response::Builder response) {
        response.setError(static_cast<Error>(40));
        response.getMsg().initPowerSavingCfg();
    });
    // The same, with a member this host does not know.
    Bytes unknownMember = frameResponse([](Response::Builder response) {
        response.setId(12347);
        response.setError(Error::IO_ERROR);
    });
    unknownMember[4 + 8 + 8 + 6] = 40;  // Response.msg discriminant, low byte
    firmware_->sendRaw(unknownMember);
    firmware_->sendRaw(notificationFrame(0, 4, true));
    ASSERT_TRUE(EventLog::waitForCount(1));
    EXPECT_EQ(log_.count("Received error response: [clkSync, noMemory]"), 1u);
    EXPECT_EQ(log_.count("Received error response: [powerSavingCfg, ]"), 1u);
    EXPECT_EQ(log_.count("Received error response: [<msgtype not set>, ioError]"), 1u);
}

// ---------------------------------------------------------- send failures

class ClientNotStarted : public ClientFixture {
protected:
    ClientNotStarted() { startAtSetUp_ = false; }
};

TEST_F(ClientNotStarted, SendBeforeStartAndAfterStopIsRefused) {
    EXPECT_EQ(sendGetDevInfo(), PZStatus_DeviceNotReady);
    ASSERT_EQ(startClient(&EventLog::record), 0);
    waitForStateReport();
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Success);
    usb_->unplug();  // lets the stop find the read thread at its end
    EXPECT_EQ(stopClient(), 0);
    EXPECT_EQ(sendGetDevInfo(), PZStatus_DeviceNotReady);
    EXPECT_EQ(stopClient(), 0);
}

TEST_F(ClientFraming, FailedTransfersGiveErrorAndLeaveNothingFiled) {
    waitForStateReport();
    usb_->failNext(PZ_CLIENT_INTERFACE, zsim::Dir::Out);  // the sync bytes
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Error);
    usb_->shortenNext(PZ_CLIENT_INTERFACE, zsim::Dir::Out, 2);  // the sync bytes, short
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Error);
    EXPECT_EQ(pendingCount(), 0u);
    // The pipe is still usable afterwards.
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Success);
}

TEST_F(ClientScripted, FailedWriteInsideTheMessageGivesError) {
    // The peer fails the host's next write as soon as it sees the sync bytes.
    usb_->setWriteHandler(PZ_CLIENT_INTERFACE, [this](uint8_t, const Bytes& transfer) {
        if (transfer.size() == 4) usb_->failNext(PZ_CLIENT_INTERFACE, zsim::Dir::Out);
    });
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Error);
    EXPECT_EQ(pendingCount(), 0u);
}

// ---------------------------------------------------------- stop and vanish

TEST_F(ClientFraming, StopWhileASenderWaitsGivesDeviceNotReady) {
    waitForStateReport();
    zsim::ReplyPlan silent;
    silent.kind = zsim::ReplyPlan::Kind::Silent;
    firmware_->planNext(silent);
    auto sender = onThreadIn(context_, [] { return sendGetDevInfo(); });
    ASSERT_TRUE(firmware_->waitForRequests(1, kBound));
    auto stopper = onThreadIn(context_, [] { return stopClient(); });
    ASSERT_EQ(sender.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(sender.get(), PZStatus_DeviceNotReady);
    // The read thread sees the stop once its pending byte read returns.
    firmware_->sendRaw({0x00});
    ASSERT_EQ(stopper.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(stopper.get(), 0);
    EXPECT_EQ(sendGetDevInfo(), PZStatus_DeviceNotReady);
    EXPECT_EQ(pendingCount(), 0u);
}

TEST_F(ClientFraming, DeviceVanishingMidMessageEndsTheReadThreadAndLaterSendsFailCleanly) {
    waitForStateReport();
    // Sync bytes and half an answer, then the device is gone.
    zsim::ReplyPlan truncated;
    truncated.kind = zsim::ReplyPlan::Kind::Truncated;
    firmware_->planNext(truncated);
    auto sender = onThreadIn(context_, [] { return sendGetDevInfo(); });
    ASSERT_TRUE(firmware_->waitForRequests(1, kBound));
    // The half answer is taken off the pipe before the device goes.
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (usb_->pendingToHost(PZ_CLIENT_INTERFACE) != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    usb_->unplug();
    ASSERT_TRUE(waitForReadThreadEnd());
    ASSERT_EQ(sender.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(sender.get(), PZStatus_DeviceNotReady);
    // A transport failure is not mistaken for a bad message.
    EXPECT_EQ(log_.count("Dropped undecodable message"), 0u);
    EXPECT_EQ(log_.count("clientReadLoop error:"), 1u);
    // Until the client is stopped, sends fail, even with the device back.
    EXPECT_EQ(sendGetDevInfo(), PZStatus_DeviceNotReady);
    usb_->plug({PZ_CLIENT_INTERFACE});
    EXPECT_EQ(sendGetDevInfo(), PZStatus_DeviceNotReady);
    EXPECT_EQ(pendingCount(), 0u);
    // A stop and a fresh start bring it back.
    EXPECT_EQ(stopClient(), 0);
    ASSERT_EQ(startClient(&EventLog::record), 0);
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Success);
}

TEST_F(ClientFraming, DeviceVanishingInsteadOfAnsweringEndsTheReadThread) {
    waitForStateReport();
    zsim::ReplyPlan unplug;
    unplug.kind = zsim::ReplyPlan::Kind::Unplug;
    firmware_->planNext(unplug);
    EXPECT_EQ(sendGetDevInfo(), PZStatus_DeviceNotReady);
    ASSERT_TRUE(waitForReadThreadEnd());
    EXPECT_EQ(log_.levelOf("Client Read Thread exiting"), LOG_DEBUG_E);
}

// ---------------------------------------------------------- device state

TEST_F(ClientFraming, DeviceStateReportIsKept) {
    bool primary = false;
    uint16_t state = 0;
    ASSERT_EQ(waitForDeviceState(5, &primary, &state), PZStatus_Success);
    EXPECT_TRUE(primary);
    EXPECT_EQ(state, static_cast<uint16_t>(State::READY));
    firmware_->sendRaw(deviceStateFrame(Processor::SECONDARY, State::FW_CORRUPT));
    firmware_->sendRaw(notificationFrame(0, 3, true));
    ASSERT_TRUE(EventLog::waitForCount(1));
    ASSERT_EQ(waitForDeviceState(5, &primary, &state), PZStatus_Success);
    EXPECT_FALSE(primary);
    EXPECT_EQ(state, static_cast<uint16_t>(State::FW_CORRUPT));
}

class ClientWithoutStateReport : public ClientFixture {
protected:
    void attachDevice() override {
        firmware_ = std::make_unique<zsim::SimFirmware>(*usb_, PZ_CLIENT_INTERFACE);
        firmware_->setReportStateOnAttach(false);
        firmware_->start();
    }
};

TEST_F(ClientWithoutStateReport, OtherMessagesRestartTheStateWait) {
    auto waiter = onThreadIn(context_, [] {
        bool primary = true;
        uint16_t state = 0;
        // A minute, far past the test's own steps: only a message ends this wait.
        const PZStatus status = waitForDeviceState(60, &primary, &state);
        return std::make_tuple(status, primary, state);
    });
    firmware_->sendNotification(0, true);
    ASSERT_TRUE(EventLog::waitForCount(1));
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    firmware_->setDeviceState(2, 4);
    firmware_->sendDeviceState();
    ASSERT_EQ(waiter.wait_for(kBound), std::future_status::ready);
    auto [status, primary, state] = waiter.get();
    EXPECT_EQ(status, PZStatus_Success);
    EXPECT_FALSE(primary);
    EXPECT_EQ(state, 4);
}

TEST_F(ClientWithoutStateReport, StateWaitTimesOut_Waits1s) {
    bool primary = true;
    uint16_t state = 9;
    EXPECT_EQ(waitForDeviceState(1, &primary, &state), PZStatus_Timeout);
    EXPECT_EQ(state, 9);
    EXPECT_EQ(log_.levelOf("No device state report within 1 s"), LOG_WARN_E);
}

// Eleven throttled sends at 500 ms each: this test takes about 5.5 s.
TEST_F(ClientWithoutStateReport, SecondaryProcessorThrottleWarnsOnFirstAndEveryTenthSend_Waits500msPerSend) {
    firmware_->setDeviceState(2, 2);  // secondary, ready
    firmware_->sendDeviceState();
    bool primary = true;
    uint16_t state = 0;
    ASSERT_EQ(waitForDeviceState(5, &primary, &state), PZStatus_Success);
    ASSERT_FALSE(primary);
    const std::string warning = "************ Dont forget to fix this! ************";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Success);
    EXPECT_EQ(log_.count(warning), 1u);
    for (int i = 2; i <= 10; ++i) EXPECT_EQ(sendGetDevInfo(), PZStatus_Success);
    EXPECT_EQ(log_.count(warning), 1u);
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Success);
    EXPECT_EQ(log_.count(warning), 2u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(11 * 500));
    EXPECT_EQ(log_.levelOf(warning), LOG_WARN_E);
}

TEST_F(ClientFraming, PrimaryProcessorIsNotThrottled) {
    waitForStateReport();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sendGetDevInfo(), PZStatus_Success);
    EXPECT_EQ(log_.count("Dont forget to fix this!"), 0u);
}

// ---------------------------------------------------------- notifications

TEST_F(ClientFraming, NotificationsRaiseTheirSystemEvents) {
    waitForStateReport();
    struct Case {
        uint16_t type;
        bool asserted;
        int32_t code;  // -1: none
    };
    const std::vector<Case> cases = {
        {0, true, 0},   {0, false, 3},  {1, true, 1},   {1, false, 3},  {2, true, 4},   {2, false, 4},
        {3, true, 5},   {3, false, 5},  {4, true, 6},   {4, false, 6},  {5, true, 7},   {5, false, 7},
        {6, true, 8},   {6, false, 8},  {7, true, 9},   {7, false, 9},  {8, true, 10},  {8, false, 11},
        {9, true, 12},  {9, false, 13}, {10, true, 14}, {10, false, 15}, {11, true, 22}, {11, false, 3},
        {12, true, 16}, {12, false, 18}, {13, true, 17}, {13, false, 18}, {14, true, 19}, {14, false, 19},
        {15, true, 20}, {15, false, 21}, {16, true, 23}, {16, false, 3}, {17, true, 2},  {17, false, 3},
        {18, true, -1}, {18, false, -1}, {19, true, 24}, {19, false, 24}, {20, true, 26}, {20, false, 25},
        {21, true, -1}, {300, false, -1}};
    std::vector<int32_t> expected;
    for (const Case& c : cases) {
        firmware_->sendNotification(c.type, c.asserted);
        if (c.code >= 0) expected.push_back(c.code);
    }
    // A last marker so that every notification before it has been handled.
    firmware_->sendNotification(19, true);
    expected.push_back(24);
    ASSERT_TRUE(EventLog::waitForCount(expected.size()));
    EXPECT_EQ(EventLog::snapshot(), expected);
    EXPECT_EQ(log_.count("Unknown event received (event: 18, asserted: 1)"), 1u);
    EXPECT_EQ(log_.count("Unknown event received (event: 18, asserted: 0)"), 1u);
    EXPECT_EQ(log_.count("Unknown event received (event: 21, asserted: 1)"), 1u);
    EXPECT_EQ(log_.count("Unknown event received (event: 300, asserted: 0)"), 1u);
    EXPECT_EQ(log_.count("Notification from device: laserTripHigh (1)"), 1u);
    EXPECT_EQ(log_.count("Notification from device: laserTripHigh (0)"), 1u);
    EXPECT_EQ(log_.count("Notification from device:  (1)"), 1u);  // type 21 has no name
}

TEST_F(ClientFraming, NotificationsWithoutACallbackRaiseNothing) {
    waitForStateReport();
    // Without a callback nothing happens at all, not even the unknown-event line.
    PZClient* client = PZClient_get();
    {
        std::lock_guard<std::mutex> lock(client->callbackLock);
        client->systemEventCallback = nullptr;
    }
    firmware_->sendNotification(18, true);
    firmware_->sendNotification(0, true);
    ASSERT_TRUE(log_.waitFor("Notification from device: laserTripHigh (1)"));
    EXPECT_TRUE(EventLog::snapshot().empty());
    EXPECT_EQ(log_.count("Unknown event received"), 0u);
}

// ---------------------------------------------------------- twist samples

zsim::SimFirmware::TwistFrame twistFrame(uint16_t y, uint16_t w, uint16_t h, size_t bytes, uint8_t fill) {
    zsim::SimFirmware::TwistFrame frame;
    frame.data.assign(bytes, fill);
    frame.x = 3;
    frame.y = y;
    frame.w = w;
    frame.h = h;
    return frame;
}

TEST_F(ClientFraming, TwistDataBecomesOneQueuedSample) {
    waitForStateReport();
    firmware_->sendTwistCompData(twistFrame(40, 8, 4, 32, 0x11), twistFrame(43, 6, 5, 30, 0x22), 0.5f, -1.25f);
    // A second sample while the first waits is refused and freed by the read thread.
    firmware_->sendTwistCompData(twistFrame(1, 2, 2, 4, 0x33), twistFrame(1, 2, 2, 4, 0x44), 9.0f, 9.0f);
    firmware_->sendNotification(3, true);
    ASSERT_TRUE(EventLog::waitForCount(1));
    std::optional<TwistCompSample> sample = TwistComp_popSample();
    ASSERT_TRUE(sample.has_value());
    EXPECT_EQ(sample->rowDifference, -3);
    EXPECT_FLOAT_EQ(sample->leftOffset, 0.5f);
    EXPECT_FLOAT_EQ(sample->rightOffset, -1.25f);
    EXPECT_EQ(sample->templateImage.rows, 4);
    EXPECT_EQ(sample->templateImage.cols, 8);
    EXPECT_EQ(sample->matchImage.rows, 5);
    EXPECT_EQ(sample->matchImage.cols, 6);
    EXPECT_EQ(sample->templateImage.at<uint8_t>(3, 7), 0x11);
    EXPECT_EQ(sample->matchImage.at<uint8_t>(4, 5), 0x22);
    EXPECT_FALSE(TwistComp_popSample().has_value());
}

TEST_F(ClientFraming, TwistDataShorterThanItsRegionGivesNoSample) {
    waitForStateReport();
    // 8 x 4 needs 32 bytes; 31 arrive.
    firmware_->sendTwistCompData(twistFrame(0, 8, 4, 31, 1), twistFrame(0, 2, 2, 4, 1), 0.0f, 0.0f);
    // An empty region.
    firmware_->sendTwistCompData(twistFrame(0, 2, 2, 4, 1), twistFrame(0, 0, 2, 0, 1), 0.0f, 0.0f);
    firmware_->sendNotification(3, true);
    ASSERT_TRUE(EventLog::waitForCount(1));
    EXPECT_FALSE(TwistComp_popSample().has_value());
    // The client goes on as before.
    EXPECT_EQ(sendGetDevInfo(), PZStatus_Success);
}

}  // namespace
}  // namespace ztest
