// The whole simulated sensor driven as a host drives it: the transport front
// end (init, deinit, bulk reads and writes) and a hot-plug handler that
// records what the monitor reports.
#include "sim/sim_sensor.h"

#include <gtest/gtest.h>

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/io.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/usb_transport.h"

namespace {

using namespace std::chrono_literals;
using zsim::Bytes;
using zsim::SimHotplug;
using zsim::SimSensor;
using zsim::SimVpu;
using zsim::VpuHeader;
namespace mc = morv::client;

constexpr auto kBound = 5s;  // only keeps a broken build from hanging
constexpr uint8_t kClient = SimSensor::kClientInterface;
const Bytes kSync = {0xC0, 0xFF, 0xEE, 0x00};
const SimHotplug::Event kArrived{SimHotplug::kEventArrived, true};
const SimHotplug::Event kRemoved{SimHotplug::kEventRemoved, false};

// What the handler does besides answering: the host's boot layer is not
// linked here, so a test chooses. It may be held until the test lets it go.
std::atomic<int> handlerCalls{0};
std::mutex holdMutex;
std::condition_variable holdChanged;
bool holdHandler = false;
bool handlerHeld = false;

int onHotplug(int32_t, bool) {
    ++handlerCalls;
    std::unique_lock<std::mutex> lock(holdMutex);
    if (holdHandler) {
        handlerHeld = true;
        holdChanged.notify_all();
        holdChanged.wait_for(lock, kBound, [] { return !holdHandler; });
    }
    return 7;
}

// --- the host's side of the client interface -----------------------------------

class BulkIn : public kj::InputStream {
public:
    size_t tryRead(void* buffer, size_t, size_t maxBytes) override {
        auto* out = static_cast<uint8_t*>(buffer);
        size_t have = 0;
        while (have < maxBytes) {
            uint32_t got = 0;
            if (vpu_usb_read_bulk(kClient, out + have, static_cast<uint32_t>(maxBytes - have), &got) != 0) return 0;
            have += got;
        }
        return maxBytes;
    }
};

struct Reply {
    std::unique_ptr<capnp::MallocMessageBuilder> copy = std::make_unique<capnp::MallocMessageBuilder>();
    mc::Response::Reader get() { return copy->getRoot<mc::Response>().asReader(); }
};

Reply readReply() {
    Bytes sync(4);
    BulkIn in;
    EXPECT_EQ(4u, in.tryRead(sync.data(), 4, 4));
    EXPECT_EQ(kSync, sync);
    capnp::InputStreamMessageReader reader(in);
    Reply reply;
    reply.copy->setRoot(reader.getRoot<mc::Response>());
    return reply;
}

void hostWrite(uint8_t index, const Bytes& bytes) {
    uint32_t written = 0;
    ASSERT_EQ(0, vpu_usb_write_bulk(index, bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
    ASSERT_EQ(bytes.size(), written);
}

void sendRequest(capnp::MessageBuilder& builder) {
    Bytes frame = kSync;
    const auto words = capnp::messageToFlatArray(builder);
    const auto raw = words.asBytes();
    frame.insert(frame.end(), raw.begin(), raw.end());
    hostWrite(kClient, frame);
}

void sendGetDevInfo(uint32_t id) {
    capnp::MallocMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(id);
    request.getMsg().setGetDevInfo();
    sendRequest(builder);
}

void sendSetMode(uint32_t id, mc::DeviceMode mode) {
    capnp::MallocMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(id);
    request.getMsg().initSetMode().setMode(mode);
    sendRequest(builder);
}

// One transfer from the processor's control interface.
Bytes hostReadControl() {
    Bytes buffer(256);
    uint32_t got = 0;
    EXPECT_EQ(0, vpu_usb_read_bulk(0, buffer.data(), static_cast<uint32_t>(buffer.size()), &got));
    buffer.resize(got);
    return buffer;
}

class SimSensorTest : public ::testing::Test {
protected:
    void SetUp() override {
        handlerCalls = 0;
        holdHandler = false;
        handlerHeld = false;
        sensor = std::make_unique<SimSensor>(&onHotplug);
    }
    void TearDown() override {
        sensor.reset();
        vpu_usb_deinit();  // a test that left the transport running
    }

    // The host starts its transport (which starts the monitor).
    void hostInit() { ASSERT_EQ(VPU_USB_OK, vpu_usb_init(nullptr)); }
    void waitEvents(size_t count) { ASSERT_TRUE(sensor->waitForHotplugEvents(count, kBound)) << count; }

    std::unique_ptr<SimSensor> sensor;
};

TEST_F(SimSensorTest, PluggedSensorArrivesWhenTheHostStartsItsTransportAndGoesUnheardOnceItStops) {
    EXPECT_EQ(vpu_usb_get_backend(), SimSensor::ops());
    sensor->plug();
    EXPECT_TRUE(sensor->plugged());
    EXPECT_FALSE(sensor->transportRunning());
    hostInit();
    EXPECT_TRUE(sensor->transportRunning());
    waitEvents(1);
    EXPECT_EQ(sensor->hotplugEvents(), std::vector<SimHotplug::Event>{kArrived});
    EXPECT_EQ(handlerCalls.load(), 1);

    // Once stopped, no monitor exists to hear the removal.
    ASSERT_EQ(VPU_USB_OK, vpu_usb_deinit());
    EXPECT_FALSE(sensor->transportRunning());
    EXPECT_TRUE(sensor->waitForTransportStopped(0ms));
    sensor->unplug();
    EXPECT_FALSE(sensor->plugged());
    // Started again: nothing attached, nothing reported, until it is plugged.
    hostInit();
    sensor->plug();
    waitEvents(2);
    EXPECT_EQ(sensor->hotplugEvents(), (std::vector<SimHotplug::Event>{kArrived, kArrived}));
    EXPECT_EQ(sensor->usb().initCount(), 2);
    EXPECT_EQ(sensor->usb().deinitCount(), 1);
}

TEST_F(SimSensorTest, PlugOfAWholeDeviceChangesNothingAndAPartialOneLeavesBeforeItArrivesWhole) {
    hostInit();
    sensor->plug();
    waitEvents(1);
    sensor->plug();  // already whole: no removal, no arrival
    sensor->usb().unplugInterface(2);
    waitEvents(2);
    EXPECT_FALSE(sensor->plugged());
    sensor->plug();
    // The four interfaces that stayed go, then all five arrive.
    waitEvents(7);
    EXPECT_EQ(sensor->hotplugEvents(), (std::vector<SimHotplug::Event>{kArrived, kRemoved, kRemoved, kRemoved,
                                                                       kRemoved, kRemoved, kArrived}));
    EXPECT_TRUE(sensor->plugged());
}

TEST_F(SimSensorTest, ArrivingSensorReportsTheConfiguredStateAndAnswersTheConfiguredFirmware) {
    sensor->setDeviceState(SimSensor::kProcessorSecondary, static_cast<uint16_t>(mc::State::FW_CORRUPT));
    sensor->setFirmwareVersion(0, 9, 3);
    zsim::SimDeviceInfo info = sensor->deviceInfo();
    EXPECT_EQ(info.fwRevision, 3);
    info.serial = "ZS-TEST-7";
    sensor->setDeviceInfo(info);
    hostInit();
    sensor->plug();
    ASSERT_TRUE(sensor->firmware().waitForStateReports(1, kBound));
    Reply report = readReply();
    ASSERT_EQ(mc::Response::Msg::DEVICE_STATE, report.get().getMsg().which());
    EXPECT_EQ(mc::Processor::SECONDARY, report.get().getMsg().getDeviceState().getProcessor());
    EXPECT_EQ(mc::State::FW_CORRUPT, report.get().getMsg().getDeviceState().getState());

    sendGetDevInfo(41);
    ASSERT_TRUE(sensor->firmware().waitForRequests(1, kBound));
    // Under a slow build the attach's reports have been seen to come twice;
    // the answer is the first reply with the answer's id.
    Reply reply = readReply();
    for (int i = 0; i < 8 && reply.get().getId() != 42u; ++i) reply = readReply();
    EXPECT_EQ(42u, reply.get().getId());
    ASSERT_EQ(mc::Response::Msg::DEV_INFO, reply.get().getMsg().which());
    const auto got = reply.get().getMsg().getDevInfo();
    EXPECT_EQ(0, got.getFwVer().getMajor());
    EXPECT_EQ(9, got.getFwVer().getMinor());
    EXPECT_EQ(3, got.getFwVer().getRevision());
    EXPECT_STREQ("ZS-TEST-7", got.getSerial().cStr());
}

TEST_F(SimSensorTest, WarmRebootGoesAwayAndComesBackWithANewSessionOnBothSides) {
    sensor->setRebootDelay(20ms);
    hostInit();
    sensor->plug();
    waitEvents(1);
    ASSERT_TRUE(sensor->firmware().waitForStateReports(1, kBound));
    Reply first = readReply();
    ASSERT_EQ(mc::Response::Msg::DEVICE_STATE, first.get().getMsg().which());
    // Half a packet on the control interface: the reboot cuts it off.
    const VpuHeader keepAlive = VpuHeader::make(3, 4, 0x0F);
    const Bytes packet = SimVpu::encode(0, keepAlive, {});
    hostWrite(0, Bytes(packet.begin(), packet.begin() + 6));
    EXPECT_EQ(sensor->vpu().partialBytes(0), 6u);

    // The answer goes out before the device does; the removal drops it
    // unread here, as a host that was not reading loses it.
    sendSetMode(7, mc::DeviceMode::WARM_REBOOT);
    ASSERT_TRUE(sensor->waitForReenumerations(1, kBound));
    waitEvents(7);
    EXPECT_EQ(sensor->hotplugEvents(), (std::vector<SimHotplug::Event>{kArrived, kRemoved, kRemoved, kRemoved,
                                                                       kRemoved, kRemoved, kArrived}));
    EXPECT_TRUE(sensor->plugged());
    EXPECT_EQ(sensor->firmware().modesSet(), std::vector<uint16_t>{static_cast<uint16_t>(mc::DeviceMode::WARM_REBOOT)});

    // The firmware greets the new session; the processor takes a whole
    // packet again, not glued to the piece of the old session.
    ASSERT_TRUE(sensor->firmware().waitForStateReports(2, kBound));
    Reply again = readReply();
    ASSERT_EQ(mc::Response::Msg::DEVICE_STATE, again.get().getMsg().which());
    EXPECT_EQ(mc::State::READY, again.get().getMsg().getDeviceState().getState());
    hostWrite(0, packet);
    ASSERT_TRUE(sensor->processor().manager.waitForKeepAlives(1, kBound));
    EXPECT_EQ(hostReadControl(), packet);
    EXPECT_EQ(sensor->reenumerations(), 1u);
}

TEST_F(SimSensorTest, UnplugWhileRebootingKeepsTheDeviceAwayAndAPlugByHandIsNoComeback) {
    sensor->setRebootDelay(std::chrono::hours(1));
    hostInit();
    sensor->plug();
    waitEvents(1);
    sendSetMode(1, mc::DeviceMode::COLD_REBOOT);
    waitEvents(6);  // the five interfaces went
    sensor->unplug();
    EXPECT_FALSE(sensor->plugged());
    sensor->plug();
    waitEvents(7);
    EXPECT_EQ(sensor->reenumerations(), 0u);
    // The comeback thread had nothing pending: stopping does not wait an hour.
    EXPECT_TRUE(sensor->stop(kBound));
    EXPECT_TRUE(sensor->plugged());
}

TEST_F(SimSensorTest, TransportStopLeavesARemovalInFlightToFinishAndTheSensorStopWaitsForIt) {
    sensor->plug();
    hostInit();
    waitEvents(1);
    holdHandler = true;
    sensor->usb().unplugInterface(3);
    {
        std::unique_lock<std::mutex> lock(holdMutex);
        ASSERT_TRUE(holdChanged.wait_for(lock, kBound, [] { return handlerHeld; }));
    }
    // A host whose removal handling waits for the shutdown that stops its
    // transport: the stop must not wait for that handler.
    ASSERT_EQ(VPU_USB_OK, vpu_usb_deinit());
    EXPECT_FALSE(sensor->transportRunning());
    EXPECT_EQ(sensor->hotplugEvents().size(), 1u);  // the removal is still in flight
    {
        std::lock_guard<std::mutex> lock(holdMutex);
        holdHandler = false;
    }
    holdChanged.notify_all();
    EXPECT_TRUE(sensor->stop(kBound));
    EXPECT_EQ(sensor->hotplugEvents(), (std::vector<SimHotplug::Event>{kArrived, kRemoved}));
}

TEST_F(SimSensorTest, TransportStopWaitsForAnArrivalInFlight) {
    holdHandler = true;
    sensor->plug();
    hostInit();
    {
        std::unique_lock<std::mutex> lock(holdMutex);
        ASSERT_TRUE(holdChanged.wait_for(lock, kBound, [] { return handlerHeld; }));
    }
    // What the host's transport stop had seen of the arrival when it returned.
    size_t eventsAtReturn = 0;
    std::thread host([&] {
        vpu_usb_deinit();
        eventsAtReturn = sensor->hotplugEvents().size();
    });
    // The handler goes only once the stop has begun: the stop must wait for it.
    const bool stopBegun = sensor->waitForTransportStopped(kBound);
    {
        std::lock_guard<std::mutex> lock(holdMutex);
        holdHandler = false;
    }
    holdChanged.notify_all();
    host.join();
    EXPECT_TRUE(stopBegun);
    // The bring-up ended before the host's transport was gone.
    EXPECT_EQ(eventsAtReturn, 1u);
    EXPECT_FALSE(sensor->transportRunning());
}

TEST_F(SimSensorTest, SecondSensorIsRefusedAndTheTableActsAsThePlainBusWithoutOne) {
    EXPECT_THROW(SimSensor another(&onHotplug), std::logic_error);
    sensor.reset();
    // No sensor: init starts no monitor, the bus still answers.
    EXPECT_EQ(VPU_USB_OK, SimSensor::ops()->init(nullptr));
    EXPECT_EQ(VPU_USB_OK, SimSensor::ops()->deinit());
    sensor = std::make_unique<SimSensor>(&onHotplug);
    EXPECT_EQ(sensor->usb().initCount(), 0);  // a fresh bus
}

}  // namespace
