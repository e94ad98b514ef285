// The device manager against the simulated sensor: initialisation, the
// bring-up of an arriving sensor on the hot-plug thread, the driver states
// it reports, removal and shutdown cleanups, and the events it hears.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "driver/device_client.h"
#include "driver/device_manager.h"
#include "driver/driver_thread.h"
#include "driver/imu_stream.h"
#include "driver/twist_comp.h"
#include "driver/morv_client.capnp.h"
#include "driver/tests/device_manager_fixture.h"
#include "host_lib/vpu_host_api.h"
#include "platform/tests/temp_folder.h"
#include "sim/sim_boot_monitor.h"

namespace {

using namespace dmtest;
namespace fs = std::filesystem;
using Request = zsim::SimSvcMngrPeer::Request;

constexpr uint16_t wire(morv::client::State state) { return static_cast<uint16_t>(state); }

using DeviceManagerTest = DeviceManagerFixture;

// ---------------------------------------------------------------------------
// The boot budget

TEST(BootBudget, WaitGetsWhatIsLeftOfEightSecondsAndNeverANegativeCount) {
    EXPECT_EQ(PZDevice_bootWaitMs(100.0, 100.0), 8000u);
    EXPECT_EQ(PZDevice_bootWaitMs(100.0, 102.5), 5500u);
    EXPECT_EQ(PZDevice_bootWaitMs(100.0, 107.9996), 0u);  // 0.4 ms left, truncated
    EXPECT_EQ(PZDevice_bootWaitMs(100.0, 107.9989), 1u);
    // Spent or overspent: only a look at the event, never a wrap-around.
    EXPECT_EQ(PZDevice_bootWaitMs(100.0, 108.0), 0u);
    EXPECT_EQ(PZDevice_bootWaitMs(100.0, 130.0), 0u);
    EXPECT_EQ(PZDevice_bootWaitMs(100.0, NAN), 0u);
}

// ---------------------------------------------------------------------------
// Initialisation

TEST_F(DeviceManagerTest, InitStartsTheUsbLayerWithTheTransportBlockAndReportsNothingYet) {
    const PZInitParams params{"ZS0000042", 5, 7, nullptr};
    ASSERT_EQ(init(&params), PZStatus_Success);
    EXPECT_EQ(usb_.initCount(), 1);
    EXPECT_TRUE(usb_.lastInitHadParams());
    EXPECT_EQ(usb_.lastInitSerial(), std::optional<std::string>("ZS0000042"));
    // The block carries the second value of the parameters first.
    EXPECT_EQ(usb_.lastInitValues(), std::make_pair(int32_t{7}, int32_t{5}));
    EXPECT_TRUE(log_.has("Plovar Zarn Init (0.9.7.0)"));
    EXPECT_EQ(log_.levelOf("Plovar Zarn driver operating in multi-device mode"), LOG_INFO_E);
    EXPECT_FALSE(log_.has("single-device compatibility mode"));
    EXPECT_EQ(device()->state.load(), PZDeviceState_Unknown);
    EXPECT_NE(device()->bootEvent, nullptr);
    EXPECT_EQ(vpu_usb_boot_get_state()->statusCallback, &PlovarZarn_hotplugCallback);
    EXPECT_EQ(vpu_usb_boot_get_state()->bootIdOverride, -1);
    EXPECT_TRUE(states_.states().empty());
}

TEST_F(DeviceManagerTest, SecondInitOfANonDefaultContextIsAUsageFault) {
    ASSERT_EQ(init(), PZStatus_Success);
    try {
        PlovarZarn_Init(&StateLog::onState, &states_, nullptr);
        FAIL() << "no runtime error";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(),
                     "Detected reuse of a non-default Plovar Zarn driver context. This is not supported.");
    }
    // The first initialisation stands.
    EXPECT_EQ(usb_.initCount(), 1);
}

TEST_F(DeviceManagerTest, BootFolderTooLongFailsInitAndKeepsItsCallbackAndEvent) {
    const std::string folder(256, 'b');
    const PZInitParams params{nullptr, 0, 0, folder.c_str()};
    EXPECT_EQ(PlovarZarn_InitBootId(&StateLog::onState, &states_, 3, &params), PZStatus_Error);
    EXPECT_TRUE(log_.has("Boot dir path too long"));
    EXPECT_EQ(usb_.initCount(), 0);
    EXPECT_EQ(device()->stateCallback.load(), &StateLog::onState);
    EXPECT_EQ(vpu_usb_boot_get_state()->bootIdOverride, 3);
    // The event stays for whatever may still signal it; the context's end releases it.
    EXPECT_NE(device()->bootEvent, nullptr);
}

// The default context is shared by the whole test program: its tests share
// one log capture and leave it shut down, as they found it.
LogLines& defaultContextLog() {
    static LogLines log;
    PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK),
                      [](void* value) { return value; }, log.record(), [](void*) {});
    return log;
}

TEST(DeviceManagerDefaultContext, SecondInitWithoutShutdownFailsAndKeepsTheEventTheRunningLayerSignals) {
    ASSERT_TRUE(PZContext_IsDefault(PZContext_GetCurrent()));
    defaultContextLog();
    zsim::SimUsb& usb = zsim::SimUsb::installFresh();
    StateLog states;
    ASSERT_EQ(PlovarZarn_Init(&StateLog::onState, &states, nullptr), PZStatus_Success);
    const OS_LYRG_eventT event = PZDevice_get()->bootEvent;
    // The USB layer refuses a second start; the first one's keeps running.
    EXPECT_EQ(PlovarZarn_Init(&StateLog::onState, &states, nullptr), PZStatus_Error);
    EXPECT_EQ(usb.initCount(), 2);
    EXPECT_EQ(usb.deinitCount(), 0);
    // Its arrivals wait on the event, and its links signal it.
    ASSERT_EQ(PZDevice_get()->bootEvent, event);
    hostLibraryCallback(VPUG_SID_SVC_MNGR, VPUG_CONN_STATE_CONNECTED_E);
    EXPECT_EQ(OS_LYRG_waitEvent(PZDevice_get()->bootEvent, 0), OS_LYRG_SUCCESS);
    // The shutdown releases it once nothing can signal it any more.
    EXPECT_EQ(PlovarZarn_Deinit(), PZStatus_Success);
    PZDevice_waitForCleanup();
    EXPECT_EQ(PZDevice_get()->bootEvent, nullptr);
    EXPECT_EQ(usb.deinitCount(), 1);
    usb.reset();
    LOGG_deinit();
}

// The application's callback initialises again from where the driver itself
// waits: the cleanup thread (Disconnected at the end of a removal cleanup)
// or a bring-up (Booting at its start), which a shutdown would wait for.
TEST(DeviceManagerDefaultContext, InitFromTheStateCallbackWhereTheDriverWaitsIsRefused) {
    struct Case {
        const char* name;
        int32_t event;  // boot status that makes the driver report `state`
        int state;
        const char* line;
    };
    LogLines& log = defaultContextLog();
    for (const Case& c : {Case{"cleanup", VPU_USB_BOOT_STATUS_REMOVED, PZDeviceState_Disconnected,
                               "Plovar Zarn Init refused: called on the cleanup thread"},
                          Case{"bring-up", VPU_USB_BOOT_STATUS_BOOT_DONE, PZDeviceState_Booting,
                               "Plovar Zarn Init refused: called on the thread of a bring-up"}}) {
        SCOPED_TRACE(c.name);
        zsim::SimUsb& usb = zsim::SimUsb::installFresh();
        struct Reentry {
            int state = 0;
            std::promise<PZStatus> result;
            bool asked = false;
            static void onState(int state, void* user) {
                auto* self = static_cast<Reentry*>(user);
                if (state != self->state || self->asked) return;
                self->asked = true;
                self->result.set_value(PlovarZarn_Init(&Reentry::onState, self, nullptr));
            }
        } reentry;
        reentry.state = c.state;
        std::future<PZStatus> nested = reentry.result.get_future();
        ASSERT_EQ(PlovarZarn_Init(&Reentry::onState, &reentry, nullptr), PZStatus_Success);
        // No sensor is attached: a bring-up fails at once.
        std::thread events([&] { PlovarZarn_hotplugCallback(c.event); });
        const bool answered = nested.wait_for(kBound) == std::future_status::ready;
        events.join();
        ASSERT_TRUE(answered);
        EXPECT_EQ(nested.get(), PZStatus_Error);
        EXPECT_EQ(log.levelOf(c.line), 0);
        PZDevice_waitForCleanup();
        EXPECT_EQ(usb.initCount(), 1);
        EXPECT_EQ(PlovarZarn_Deinit(), PZStatus_Success);
        PZDevice_waitForCleanup();
        usb.reset();
    }
    LOGG_deinit();
}

TEST(DeviceManagerDefaultContext, MayBeInitialisedAgainAfterItsShutdown) {
    LogLines& log = defaultContextLog();
    ASSERT_TRUE(PZContext_IsDefault(PZContext_GetCurrent()));
    zsim::SimUsb& usb = zsim::SimUsb::installFresh();
    StateLog states;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(PlovarZarn_Init(&StateLog::onState, &states, nullptr), PZStatus_Success) << round;
        EXPECT_EQ(PlovarZarn_Deinit(), PZStatus_Success);
        PZDevice_waitForCleanup();
        EXPECT_EQ(PZDevice_get()->stateCallback.load(), nullptr);
        EXPECT_EQ(PZDevice_get()->bootEvent, nullptr);
    }
    EXPECT_EQ(usb.initCount(), 2);
    EXPECT_EQ(usb.deinitCount(), 2);
    EXPECT_EQ(log.count("Plovar Zarn driver operating in single-device compatibility mode"), 2u);
    EXPECT_EQ(log.levelOf("single-device compatibility mode"), LOG_WARN_E);
    EXPECT_TRUE(states.states().empty());
    usb.reset();
    LOGG_deinit();
}

// ---------------------------------------------------------------------------
// Bring-up

TEST_F(DeviceManagerTest, BootedSensorComesUpReadyWithItsFrameworkAndFirstClockSync) {
    bringUpTo(PZDeviceState_Ready);
    EXPECT_EQ(states_.states(), (std::vector<int>{PZDeviceState_Booting, PZDeviceState_Ready}));
    // LOGGER then SYSTEM were opened on the processor, and the clock was set
    // once with a forced jump.
    const std::vector<Request> requests = processor_.manager.requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, zsim::SimSvcMngrPeer::kOpenCode);
    EXPECT_EQ(requests[0].sid, VPUG_SID_LOGGER);
    EXPECT_EQ(requests[1].sid, VPUG_SID_SYSTEM);
    EXPECT_NE(device()->loggerService, nullptr);
    EXPECT_NE(device()->systemService, nullptr);
    const auto clockSets = firmware_.clockSets();
    ASSERT_EQ(clockSets.size(), 1u);
    EXPECT_TRUE(clockSets[0].forceJump);
    // The logger service got its parameters and was started.
    const VPUG_loggerParams& logger = device()->loggerParams;
    EXPECT_EQ(logger.severity, 2);
    EXPECT_EQ(logger.print, 1);
    EXPECT_EQ(logger.printGp, 1);
    EXPECT_EQ(logger.sendGp, 0);
    EXPECT_EQ(logger.word, 2u);
    EXPECT_EQ(logger.byte0, 1);
    EXPECT_EQ(logger.byte1, 1);
    // Boot time is logged at INFO as a plain number of seconds.
    const std::string line = log_.firstWith("Boot time: ");
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(log_.levelOf("Boot time: "), LOG_INFO_E);
    const double seconds = std::strtod(line.substr(line.find("Boot time: ") + 11).c_str(), nullptr);
    EXPECT_GT(seconds, 0.0);
    EXPECT_LT(seconds, 8.0);
    EXPECT_TRUE(log_.has(" sec"));
    EXPECT_EQ(log_.levelOf("Notifying app of state: Ready"), LOG_INFO_E);
    EXPECT_TRUE(PZInternal_IsDeviceReady(false));
}

struct MappedState {
    uint16_t deviceState;
    int32_t driverState;
    const char* line;  // logged once the bring-up completes; null: none
    int level;
};

void PrintTo(const MappedState& c, std::ostream* out) {
    *out << "device state " << c.deviceState << " -> " << PZDeviceState_toString(c.driverState);
}

class DeviceStateBringUp : public DeviceManagerFixture, public ::testing::WithParamInterface<MappedState> {};

TEST_P(DeviceStateBringUp, EndsInTheMappedStateWithItsLogLine) {
    const MappedState& c = GetParam();
    firmware_.setDeviceState(kPrimary, c.deviceState);
    bringUpTo(c.driverState);
    EXPECT_EQ(states_.states(), (std::vector<int>{PZDeviceState_Booting, c.driverState}));
    if (c.line != nullptr) {
        EXPECT_EQ(log_.count(c.line), 1u);
        EXPECT_EQ(log_.levelOf(c.line), c.level);
        // The table's line comes before the boot time and the report.
        EXPECT_LT(log_.indexOf(c.line), log_.indexOf("Boot time: "));
    }
    EXPECT_FALSE(log_.has("Error waiting for boot to finish"));
}

INSTANTIATE_TEST_SUITE_P(
    EveryState, DeviceStateBringUp,
    ::testing::Values(
        MappedState{wire(morv::client::State::CALIBRATION_CORRUPT), PZDeviceState_ProductionDataCorrupt,
                    "Device calibration is corrupt", LOG_WARN_E},
        MappedState{wire(morv::client::State::FW_MISMATCH), PZDeviceState_FWCorrupt, "Device FW doesn't match",
                    LOG_WARN_E},
        MappedState{wire(morv::client::State::PROD_DATA_MISMATCH), PZDeviceState_ProductionDataCorrupt,
                    "Device production data doesn't match", LOG_WARN_E},
        MappedState{wire(morv::client::State::FW_CORRUPT), PZDeviceState_FWCorrupt, "Device FW is corrupt", LOG_WARN_E},
        MappedState{wire(morv::client::State::FW_NOT_SUPPORTED), PZDeviceState_FWCorrupt,
                    "Device is running unsupported FW", LOG_WARN_E},
        // A state the driver does not know: ERROR names the value.
        MappedState{wire(morv::client::State::INITIALIZING), PZDeviceState_Error, "Unhandled device state: 1", 0}),
    [](const ::testing::TestParamInfo<MappedState>& info) { return "DeviceState" + std::to_string(info.param.deviceState); });

TEST_F(DeviceManagerTest, SecondaryProcessorGivesLowPowerModeWithTheFrameworkDown) {
    firmware_.setDeviceState(kSecondary, wire(morv::client::State::FW_CORRUPT));
    bringUpTo(PZDeviceState_LowPowerMode);
    EXPECT_EQ(states_.states(), (std::vector<int>{PZDeviceState_Booting, PZDeviceState_LowPowerMode}));
    EXPECT_TRUE(processor_.manager.requests().empty());
    EXPECT_TRUE(firmware_.clockSets().empty());
    EXPECT_EQ(device()->loggerService, nullptr);
    EXPECT_FALSE(log_.has("Boot time: "));
    EXPECT_TRUE(PZInternal_IsDeviceReady(true));
    EXPECT_FALSE(PZInternal_IsDeviceReady(false));
}

TEST_F(DeviceManagerTest, FailedServiceOpenStopsTheBringUpWithError) {
    processor_.manager.setOpenAnswer(VPUG_SID_SYSTEM, zsim::SimSvcMngrPeer::Answer{0x02010005, false});
    bringUpTo(PZDeviceState_Error);
    EXPECT_EQ(states_.states(), (std::vector<int>{PZDeviceState_Booting, PZDeviceState_Error}));
    EXPECT_TRUE(log_.has("VPU call failed"));
    EXPECT_EQ(log_.levelOf("Error waiting for boot to finish: Error"), LOG_WARN_E);
    EXPECT_TRUE(firmware_.clockSets().empty());
    // What was opened stays open until a cleanup closes it.
    EXPECT_NE(device()->loggerService, nullptr);
    EXPECT_EQ(device()->systemService, nullptr);
}

TEST_F(DeviceManagerTest, FailedFirstClockSyncIsAFailedStart) {
    zsim::ReplyPlan plan;
    plan.kind = zsim::ReplyPlan::Kind::Error;
    plan.error = static_cast<uint16_t>(morv::client::Error::NOT_SUPPORTED);
    plan.forKind = static_cast<uint16_t>(morv::client::Request::Msg::CLK_SYNC);
    firmware_.planNext(plan);
    bringUpTo(PZDeviceState_Error);
    EXPECT_EQ(log_.levelOf("Error waiting for boot to finish: Not Supported"), LOG_WARN_E);
    EXPECT_FALSE(log_.has("Boot time: "));
}

TEST_F(DeviceManagerTest, BringUpWaitsForItsOwnLinkNotTheSignalAFailedOneLeft) {
    const std::string linkUp = "Service SVC_MNGR Connected";
    // The first bring-up fails at its clock synchronisation, after the host
    // library started its link; the link comes up after the bring-up gave up.
    zsim::ReplyPlan refuse;
    refuse.kind = zsim::ReplyPlan::Kind::Error;
    refuse.error = static_cast<uint16_t>(morv::client::Error::NOT_SUPPORTED);
    refuse.forKind = static_cast<uint16_t>(morv::client::Request::Msg::CLK_SYNC);
    firmware_.planNext(refuse);
    bringUpTo(PZDeviceState_Error);
    ASSERT_TRUE(log_.waitFor(linkUp));
    usb_.unplug();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Disconnected, 5));
    PZDevice_waitForCleanup();
    // The sensor comes back; its link stays down until its bring-up has
    // synchronised the clock and waits for the link.
    processor_.manager.setKeepAliveEcho(false);
    vpu_.resetStreams();
    const size_t requestsBefore = firmware_.requestKinds().size();
    plugBooted();
    ASSERT_TRUE(firmware_.waitForRequests(requestsBefore + 1, kBound));
    processor_.manager.setKeepAliveEcho(true);
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Ready));
    // Ready followed this bring-up's own link.
    const long secondLinkUp = log_.indexOf(linkUp, 2);
    ASSERT_GE(secondLinkUp, 0);
    EXPECT_LT(secondLinkUp, log_.indexOf("Notifying app of state: Ready"));
}

TEST_F(DeviceManagerTest, LinkThatNeverComesUpRunsOutTheEightSecondBudget) {
    processor_.manager.setKeepAliveEcho(false);
    const auto start = std::chrono::steady_clock::now();
    bringUpTo(PZDeviceState_Error);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(log_.levelOf("OS_LYRG_waitEvent timeout"), LOG_WARN_E);
    EXPECT_EQ(log_.levelOf("Error waiting for boot to finish: Timeout"), LOG_WARN_E);
    // One budget, run out once. That the framework's time counts against it
    // is PZDevice_bootWaitMs's rule, checked above: here the framework takes
    // moments, too little for a clock on a loaded machine to see.
    EXPECT_EQ(log_.count("OS_LYRG_waitEvent timeout"), 1u);
    EXPECT_GE(took, 7900ms);
}

TEST_F(DeviceManagerTest, SystemEventsFromTheDeviceAreLoggedByName) {
    bringUpTo(PZDeviceState_Ready);
    ASSERT_TRUE(firmware_.sendNotification(static_cast<uint16_t>(morv::client::Notification::SOC_FLASH_CORRUPT), true));
    ASSERT_TRUE(log_.waitFor("System Event: PSoC firmware corrupt"));
    EXPECT_EQ(log_.levelOf("System Event: PSoC firmware corrupt"), LOG_INFO_E);
    eventCbWrapper(PZSystemEvent_Count, 0);
    eventCbWrapper(-1, 0);
    EXPECT_EQ(log_.count("System Event: Unknown"), 2u);
}

// ---------------------------------------------------------------------------
// Events

TEST_F(DeviceManagerTest, BootingThenBootDoneReportsBootingOnceAndTimesTheBootFromBootDone) {
    ASSERT_EQ(init(), PZStatus_Success);
    PlovarZarn_hotplugCallback(VPU_USB_BOOT_STATUS_BOOTING);
    EXPECT_TRUE(device()->booting);
    // A removal while the processor boots is its re-enumeration: ignored.
    PlovarZarn_hotplugCallback(VPU_USB_BOOT_STATUS_REMOVED);
    EXPECT_FALSE(log_.has("Plovar Zarn removed"));
    EXPECT_FALSE(device()->cleanupActive.load());
    // Time passes between the two events; the boot time must not count it.
    const auto booting = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(300ms);
    const auto plugged = std::chrono::steady_clock::now();
    plugBooted();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Ready));
    const auto ready = std::chrono::steady_clock::now();
    EXPECT_EQ(states_.states(), (std::vector<int>{PZDeviceState_Booting, PZDeviceState_Ready}));
    EXPECT_FALSE(device()->booting);
    const std::string line = log_.firstWith("Boot time: ");
    const double seconds = std::strtod(line.substr(line.find("Boot time: ") + 11).c_str(), nullptr);
    EXPECT_LE(seconds, std::chrono::duration<double>(ready - plugged).count());
    EXPECT_LT(std::chrono::duration<double>(plugged - booting).count(),
              std::chrono::duration<double>(ready - booting).count());
}

// A boot that never completes: the one removal it explains away is its
// re-enumeration, and whatever ends the booting phase lets removals count again.
TEST_F(DeviceManagerTest, BootingEndsWithItsReenumerationAFailedBootOrRecovery) {
    struct Case {
        const char* name;
        int32_t ending;  // the event after Booting
    };
    ASSERT_EQ(init(), PZStatus_Success);
    for (const Case& c : {Case{"removal", VPU_USB_BOOT_STATUS_REMOVED},
                          Case{"boot failed", VPU_USB_BOOT_STATUS_BOOT_FAILED},
                          Case{"recovery", VPU_USB_BOOT_STATUS_RECOVERY}}) {
        SCOPED_TRACE(c.name);
        const size_t removals = log_.count("Plovar Zarn removed");
        const size_t disconnects = states_.states().size();
        PlovarZarn_hotplugCallback(VPU_USB_BOOT_STATUS_BOOTING);
        PlovarZarn_hotplugCallback(c.ending);
        EXPECT_FALSE(device()->booting);
        PlovarZarn_hotplugCallback(VPU_USB_BOOT_STATUS_REMOVED);
        PZDevice_waitForCleanup();
        EXPECT_EQ(log_.count("Plovar Zarn removed"), removals + 1);
        const std::vector<int> heard = states_.states();
        ASSERT_GT(heard.size(), disconnects);
        EXPECT_EQ(heard.back(), PZDeviceState_Disconnected);
    }
}

TEST_F(DeviceManagerTest, RecoveryBootFailureAndUnknownEventsReportTheirStates) {
    ASSERT_EQ(init(), PZStatus_Success);
    EXPECT_EQ(PlovarZarn_hotplugCallback(VPU_USB_BOOT_STATUS_RECOVERY), 0);
    EXPECT_EQ(log_.levelOf("Plovar Zarn in recovery mode"), LOG_INFO_E);
    EXPECT_EQ(PlovarZarn_hotplugCallback(VPU_USB_BOOT_STATUS_BOOT_FAILED), 0);
    EXPECT_EQ(log_.levelOf("Boot failed"), 0);
    for (int32_t status : {0, 6, 7, -1}) EXPECT_EQ(PlovarZarn_hotplugCallback(status), 0);
    EXPECT_EQ(log_.count("Unsupported USB event received"), 4u);
    EXPECT_EQ(log_.levelOf("Unsupported USB event received"), LOG_WARN_E);
    EXPECT_EQ(states_.states(),
              (std::vector<int>{PZDeviceState_RecoveryMode, PZDeviceState_Error, PZDeviceState_Error,
                                PZDeviceState_Error, PZDeviceState_Error, PZDeviceState_Error}));
}

TEST_F(DeviceManagerTest, HostLibraryLinkEventsSetTheBootEventOrReportError) {
    ASSERT_EQ(init(), PZStatus_Success);
    hostLibraryCallback(VPUG_SID_SVC_MNGR, VPUG_CONN_STATE_CONNECTED_E);
    EXPECT_EQ(OS_LYRG_waitEvent(device()->bootEvent, 0), OS_LYRG_SUCCESS);
    // Other services and the pending state are not the driver's business.
    hostLibraryCallback(VPUG_SID_SYSTEM, VPUG_CONN_STATE_CONNECTED_E);
    EXPECT_EQ(OS_LYRG_waitEvent(device()->bootEvent, 0), OS_LYRG_FAIL);
    hostLibraryCallback(VPUG_SID_SYSTEM, VPUG_CONN_STATE_DISCONNECTED_E);
    hostLibraryCallback(VPUG_SID_SVC_MNGR, VPUG_CONN_STATE_DISCONNECT_PENDING_E);
    EXPECT_TRUE(states_.states().empty());
    // A lost link outside a cleanup is an error; inside one it is expected.
    device()->cleanupActive.store(true);
    hostLibraryCallback(VPUG_SID_SVC_MNGR, VPUG_CONN_STATE_DISCONNECTED_E);
    EXPECT_TRUE(states_.states().empty());
    device()->cleanupActive.store(false);
    hostLibraryCallback(VPUG_SID_SVC_MNGR, VPUG_CONN_STATE_DISCONNECTED_E);
    EXPECT_EQ(states_.states(), std::vector<int>{PZDeviceState_Error});
}

// ---------------------------------------------------------------------------
// Removal and shutdown

TEST_F(DeviceManagerTest, EachInterfaceRemovalRunsItsCleanupAndReportsDisconnected) {
    bringUpTo(PZDeviceState_Ready);
    usb_.unplug();
    // Five interfaces, five removal events, five cleanups one after the other.
    ASSERT_TRUE(hotplug_.waitForDelivered(6, kBound));
    PZDevice_waitForCleanup();
    EXPECT_EQ(states_.states(),
              (std::vector<int>{PZDeviceState_Booting, PZDeviceState_Ready, PZDeviceState_Disconnected,
                                PZDeviceState_Disconnected, PZDeviceState_Disconnected, PZDeviceState_Disconnected,
                                PZDeviceState_Disconnected}));
    EXPECT_EQ(log_.count("Plovar Zarn removed (state: Ready)"), 1u);
    EXPECT_EQ(log_.count("Plovar Zarn removed (state: Disconnected)"), 4u);
    // The streams were switched off only by the cleanup that found the device ready.
    EXPECT_EQ(log_.count("Cleanup: stopping streams"), 1u);
    EXPECT_EQ(device()->loggerService, nullptr);
    EXPECT_EQ(device()->systemService, nullptr);
    EXPECT_FALSE(PZClient_get()->started.load());
    // A removal keeps the USB layer and the application's callback.
    EXPECT_EQ(usb_.deinitCount(), 0);
    EXPECT_EQ(device()->stateCallback.load(), &StateLog::onState);
    EXPECT_NE(device()->bootEvent, nullptr);
    EXPECT_FALSE(PZInternal_IsDeviceReady(true));
    EXPECT_EQ(device()->bootStartTime, 0.0);
}

TEST_F(DeviceManagerTest, RemovalWhileStreamingStopsTheStreamsAndTakesThemDown) {
    bringUpTo(PZDeviceState_Ready);
    const PZImuSensorConfig accelerometer{PZImuSensor_Accelerometer, 0, 100.0f};
    ASSERT_EQ(PZImu_ApplyStreamingConfig(&accelerometer, 1, [](const PZImuSample*, void*) {}, nullptr,
                                         PZDeviceState_Ready),
              PZStatus_Success);
    PZImuStream* imu = PZImu_get();
    {
        std::lock_guard<std::mutex> lock(imu->stateMutex);
        ASSERT_TRUE(imu->streamAlive);
    }
    usb_.unplug();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Disconnected, 5));
    PZDevice_waitForCleanup();
    EXPECT_EQ(log_.count("Cleanup: stopping streams"), 1u);
    // Both stream threads ended and the IMU stream was taken down.
    std::lock_guard<std::mutex> lock(imu->stateMutex);
    EXPECT_FALSE(imu->streamAlive);
    EXPECT_FALSE(imu->callbackAlive);
    EXPECT_FALSE(imu->initialised);
    EXPECT_EQ(imu->service.load(), nullptr);
}

TEST_F(DeviceManagerTest, UnplugDuringTheFirstClockSyncFailsTheBringUpThenCleansUp) {
    zsim::ReplyPlan unplug;
    unplug.kind = zsim::ReplyPlan::Kind::Unplug;
    unplug.forKind = static_cast<uint16_t>(morv::client::Request::Msg::CLK_SYNC);
    firmware_.planNext(unplug);
    ASSERT_EQ(init(), PZStatus_Success);
    plugBooted();
    // The removals wait behind the failed bring-up on the hot-plug thread,
    // so this one wait spans a whole bring-up and then a cleanup. Neither
    // waits on a time-out here, but under a thread sanitizer at a load of
    // several times the cores the bring-up alone took up to 10 s (most of it
    // starting the service stack's threads and pools) and the cleanup up to
    // 3 s (most of it releasing the stack's 60 MB of pools), past the 12 s
    // that one phase is given.
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Disconnected, 5, 2 * kBound));
    PZDevice_waitForCleanup();
    const std::vector<int> heard = states_.states();
    ASSERT_GE(heard.size(), 3u);
    EXPECT_EQ(heard[0], PZDeviceState_Booting);
    EXPECT_EQ(heard[1], PZDeviceState_Error);
    EXPECT_TRUE(log_.has("Error waiting for boot to finish: Device Not Ready"));
    EXPECT_EQ(log_.count("Plovar Zarn removed (state: Error)"), 1u);
    // The failed bring-up had left the client and the services up; the
    // removal's cleanup took them down.
    EXPECT_FALSE(PZClient_get()->started.load());
    EXPECT_EQ(device()->loggerService, nullptr);
    EXPECT_EQ(device()->systemService, nullptr);
    EXPECT_EQ(log_.count("Cleanup: stopping streams"), 0u);
}

TEST_F(DeviceManagerTest, ReplugAfterRemovalIsBroughtUpAgainWithTheSameCallback) {
    bringUpTo(PZDeviceState_Ready);
    usb_.unplug();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Disconnected, 5));
    vpu_.resetStreams();
    plugBooted();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Ready, 2));
    const std::vector<int> heard = states_.states();
    std::string said;
    for (int state : heard) said += std::to_string(state) + " ";
    // A loaded sanitizer build may miss the new link's first keep-alives and
    // hear an Error before the link comes up; the bring-up still ends Ready.
    ASSERT_GE(heard.size(), 9u) << said;
    EXPECT_EQ(heard[7], PZDeviceState_Booting) << said;
    EXPECT_EQ(heard.back(), PZDeviceState_Ready) << said;
    EXPECT_EQ(firmware_.clockSets().size(), 2u);
    EXPECT_EQ(log_.count("Boot time: "), 2u);
    EXPECT_NE(device()->systemService, nullptr);
}

TEST_F(DeviceManagerTest, DeinitCleansUpEverythingAndTheApplicationHearsNoFinalState) {
    bringUpTo(PZDeviceState_Ready);
    deinit();
    PZDevice_waitForCleanup();
    EXPECT_EQ(states_.states(), (std::vector<int>{PZDeviceState_Booting, PZDeviceState_Ready}));
    EXPECT_EQ(device()->state.load(), PZDeviceState_Unknown);
    EXPECT_EQ(device()->stateCallback.load(), nullptr);
    EXPECT_EQ(device()->bootEvent, nullptr);
    EXPECT_EQ(device()->systemService, nullptr);
    EXPECT_EQ(usb_.deinitCount(), 1);
    EXPECT_EQ(log_.count("Cleanup: stopping streams"), 1u);
    EXPECT_FALSE(PZClient_get()->started.load());
    // The sensor was still attached: its client interface was let go.
    EXPECT_FALSE(usb_.isOpen(PZ_CLIENT_INTERFACE));
    EXPECT_FALSE(PZInternal_IsDeviceReady(true));
}

TEST_F(DeviceManagerTest, DeinitTwiceStartsOneCleanupWhileTheFirstRuns) {
    bringUpTo(PZDeviceState_Ready);
    // Ready is reported before the arrival's handler returns; a shutdown in
    // that gap cuts the bring-up short, which is not what this test is about.
    ASSERT_TRUE(hotplug_.waitForDelivered(1, kBound));
    // The sensor holds back its answer to the shutdown's all-off stream
    // configuration: the first cleanup waits in that request.
    zsim::ReplyPlan hold;
    hold.kind = zsim::ReplyPlan::Kind::Silent;
    hold.forKind = static_cast<uint16_t>(morv::client::Request::Msg::STREAMING_CFG);
    firmware_.planNext(hold);
    const size_t requestsBefore = firmware_.requestKinds().size();
    deinit();
    ASSERT_TRUE(firmware_.waitForRequests(requestsBefore + 1, kBound));
    EXPECT_TRUE(device()->cleanupActive.load());
    deinit();
    // The sensor goes: the held request ends and the one cleanup finishes.
    ASSERT_TRUE(hotplug_.stop(kBound));
    usb_.unplug();
    PZDevice_waitForCleanup();
    EXPECT_EQ(usb_.deinitCount(), 1);
    EXPECT_EQ(log_.count("Cleanup: stopping streams"), 1u);
    EXPECT_EQ(states_.states(), (std::vector<int>{PZDeviceState_Booting, PZDeviceState_Ready}));
}

TEST_F(DeviceManagerTest, ShutdownAskedForDuringARemovalCleanupRunsWhenThatEnds) {
    bringUpTo(PZDeviceState_Ready);
    states_.holdAt(PZDeviceState_Disconnected);
    usb_.unplugInterface(PZ_CLIENT_INTERFACE);
    // The removal cleanup is at its very end, reporting Disconnected.
    ASSERT_TRUE(states_.waitUntilHeld());
    deinit();
    deinit();
    EXPECT_EQ(usb_.deinitCount(), 0);
    states_.release();
    PZDevice_waitForCleanup();
    // One shutdown followed: USB layer stopped, callback and event gone.
    EXPECT_EQ(usb_.deinitCount(), 1);
    EXPECT_EQ(device()->stateCallback.load(), nullptr);
    EXPECT_EQ(device()->bootEvent, nullptr);
    EXPECT_EQ(device()->state.load(), PZDeviceState_Unknown);
    EXPECT_EQ(states_.states(),
              (std::vector<int>{PZDeviceState_Booting, PZDeviceState_Ready, PZDeviceState_Disconnected}));
}

TEST_F(DeviceManagerTest, DeinitWithoutInitAndRemovalInLowPowerModeEndCleanly) {
    // A shutdown of a driver never started has nothing to stop and ends.
    EXPECT_EQ(PlovarZarn_Deinit(), PZStatus_Success);
    PZDevice_waitForCleanup();
    EXPECT_FALSE(device()->cleanupActive.load());
    EXPECT_TRUE(states_.states().empty());
    // Low Power Mode was not usable: its removal switches no stream off.
    firmware_.setDeviceState(kSecondary, wire(morv::client::State::READY));
    bringUpTo(PZDeviceState_LowPowerMode);
    usb_.unplug();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Disconnected, 5));
    PZDevice_waitForCleanup();
    EXPECT_EQ(log_.count("Cleanup: stopping streams"), 0u);
    EXPECT_TRUE(log_.has("Plovar Zarn removed (state: Low Power Mode)"));
    EXPECT_FALSE(PZClient_get()->started.load());
}

TEST_F(DeviceManagerTest, DeinitAfterACleanupEndedRunsAnotherWithNothingLeftToClose) {
    bringUpTo(PZDeviceState_Ready);
    deinit();
    PZDevice_waitForCleanup();
    deinit();
    PZDevice_waitForCleanup();
    EXPECT_EQ(usb_.deinitCount(), 2);  // the second stop of the USB layer is refused by it, harmlessly
    EXPECT_EQ(device()->state.load(), PZDeviceState_Unknown);
    EXPECT_EQ(states_.states(), (std::vector<int>{PZDeviceState_Booting, PZDeviceState_Ready}));
}

// A shutdown while the bring-up waits: for the device's state report, for
// the reply to its clock synchronisation, or for the link. The shutdown cuts
// the bring-up short, waits for it, then cleans up once; the application
// hears nothing after Booting.
struct BringUpWait {
    const char* id;
    const char* name;
    void (*arrange)(zsim::SimFirmware& firmware, zsim::SimProcessorServices& processor);
    // Requests the firmware sees before the shutdown comes: none (the bring-up
    // waits for the state report), the first clock-sync round (past the
    // framework), or every round and the setting of the clock (the bring-up
    // has nothing left but the link to wait for).
    size_t requestsFirst;
};

void PrintTo(const BringUpWait& c, std::ostream* out) { *out << c.name; }

// The bring-up's clock synchronisation: eleven measuring rounds, then the
// request that sets the device's clock.
constexpr size_t kClockSyncRequests = 12;

class ShutdownDuringBringUp : public DeviceManagerFixture, public ::testing::WithParamInterface<BringUpWait> {};

TEST_P(ShutdownDuringBringUp, CutsItShortWaitsForItAndCleansUpOnce) {
    const BringUpWait& c = GetParam();
    c.arrange(firmware_, processor_);
    ASSERT_EQ(init(), PZStatus_Success);
    const size_t requestsBefore = firmware_.requestKinds().size();
    plugBooted();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Booting));
    if (c.requestsFirst != 0) {
        ASSERT_TRUE(firmware_.waitForRequests(requestsBefore + c.requestsFirst, kBound));
    }
    // Lines logged before the shutdown was asked for come before this index.
    const size_t linesBeforeShutdown = log_.count("");
    deinit();
    const bool cut = log_.waitFor("Bring-up cut short by the shutdown");
    PZDevice_waitForCleanup();
    const long budgetOut = log_.indexOf("Error waiting for boot to finish");
    if (!cut && budgetOut >= 0 && static_cast<size_t>(budgetOut) < linesBeforeShutdown) {
        // A sanitizer's build on a loaded machine took the whole budget to
        // get here: there was no bring-up left to cut short.
        GTEST_SKIP() << "the bring-up ran out of its budget before the shutdown";
    }
    // The shutdown ends the bring-up's wait, whichever it was. One it failed
    // to end would run out: the state report's and the link's are logged
    // then, and a reply's has no end at all. How long the cut took is the
    // machine's business.
    EXPECT_TRUE(cut);
    EXPECT_FALSE(log_.has("No device state report within"));
    EXPECT_FALSE(log_.has("OS_LYRG_waitEvent timeout"));
    ASSERT_TRUE(hotplug_.waitForDelivered(1, kBound));
    EXPECT_EQ(states_.states(), std::vector<int>{PZDeviceState_Booting});
    EXPECT_EQ(log_.count("Cleanup: cutting the bring-up short"), 1u);
    EXPECT_EQ(log_.count("Bring-up cut short by the shutdown"), 1u);
    EXPECT_FALSE(log_.has("Error waiting for boot to finish"));
    // One cleanup took down everything the bring-up had started.
    EXPECT_EQ(usb_.deinitCount(), 1);
    EXPECT_FALSE(PZClient_get()->started.load());
    EXPECT_EQ(device()->loggerService, nullptr);
    EXPECT_EQ(device()->systemService, nullptr);
    EXPECT_EQ(device()->bootEvent, nullptr);
    EXPECT_EQ(device()->state.load(), PZDeviceState_Unknown);
}

INSTANTIATE_TEST_SUITE_P(
    EachWait, ShutdownDuringBringUp,
    ::testing::Values(
        BringUpWait{"StateReport", "the device's state report",
                    [](zsim::SimFirmware& firmware, zsim::SimProcessorServices&) {
                        firmware.setReportStateOnAttach(false);
                    },
                    0},
        BringUpWait{"ClockSyncReply", "the clock synchronisation's reply",
                    [](zsim::SimFirmware& firmware, zsim::SimProcessorServices&) {
                        zsim::ReplyPlan silent;
                        silent.kind = zsim::ReplyPlan::Kind::Silent;
                        silent.forKind = static_cast<uint16_t>(morv::client::Request::Msg::CLK_SYNC);
                        firmware.planNext(silent);
                    },
                    1},
        BringUpWait{"Link", "the link",
                    [](zsim::SimFirmware&, zsim::SimProcessorServices& processor) {
                        processor.manager.setKeepAliveEcho(false);
                    },
                    kClockSyncRequests}),
    [](const ::testing::TestParamInfo<BringUpWait>& info) { return std::string(info.param.id); });

// Twist compensation runs on a worker of its own; no driver thread may
// outlive the cleanup, whichever mode it runs in and whichever cleanup it is.
struct TwistCleanup {
    const char* name;
    int32_t mode;
    bool removal;  // else a shutdown
};

void PrintTo(const TwistCleanup& c, std::ostream* out) { *out << c.name; }

class TwistDuringCleanup : public DeviceManagerFixture, public ::testing::WithParamInterface<TwistCleanup> {};

TEST_P(TwistDuringCleanup, TheCleanupStopsTheWorkerAndWaitsForIt) {
    const TwistCleanup& c = GetParam();
    bringUpTo(PZDeviceState_Ready);
    ASSERT_EQ(TwistComp_setMode(c.mode), PZStatus_Success);
    TwistComp* twist = TwistComp_state();
    {
        std::lock_guard<std::mutex> lock(twist->stateMutex);
        ASSERT_TRUE(twist->threadAlive);
    }
    if (c.removal) {
        usb_.unplug();
        ASSERT_TRUE(states_.waitFor(PZDeviceState_Disconnected));
    } else {
        deinit();
    }
    PZDevice_waitForCleanup();
    std::lock_guard<std::mutex> lock(twist->stateMutex);
    EXPECT_FALSE(twist->threadAlive);
    EXPECT_EQ(log_.count("Twist compensation thread exiting"), 1u);
}

INSTANTIATE_TEST_SUITE_P(EachModeAndCleanup, TwistDuringCleanup,
                         ::testing::Values(TwistCleanup{"ContinuousAtShutdown", TwistCompMode_Continuous, false},
                                           TwistCleanup{"OneShotAtShutdown", TwistCompMode_OneShot, false},
                                           TwistCleanup{"ContinuousAtRemoval", TwistCompMode_Continuous, true}),
                         [](const ::testing::TestParamInfo<TwistCleanup>& info) { return info.param.name; });

// The platform refuses a new thread: the call that wanted it reports the
// failure and leaves nothing behind that a later step would wait for.
TEST_F(DeviceManagerTest, RefusedCleanupThreadFailsTheShutdownAndTheNextOneRuns) {
    bringUpTo(PZDeviceState_Ready);
    PZThreadP_failStartsForTest(1);
    EXPECT_EQ(PlovarZarn_Deinit(), PZStatus_Error);
    EXPECT_TRUE(log_.has("Failed to start Cleanup thread thread"));
    EXPECT_FALSE(device()->cleanupActive.load());
    deinit();
    PZDevice_waitForCleanup();
    EXPECT_EQ(usb_.deinitCount(), 1);
    EXPECT_EQ(device()->stateCallback.load(), nullptr);
}

TEST_F(DeviceManagerTest, RefusedClientReadThreadFailsTheBringUp) {
    ASSERT_EQ(init(), PZStatus_Success);
    PZThreadP_failStartsForTest(1);
    plugBooted();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Error));
    EXPECT_EQ(states_.states(), (std::vector<int>{PZDeviceState_Booting, PZDeviceState_Error}));
    EXPECT_TRUE(log_.has("Failed to start Client Read Thread thread"));
    EXPECT_TRUE(log_.has("Error waiting for boot to finish: Error"));
    EXPECT_FALSE(PZClient_get()->started.load());
}

// ---------------------------------------------------------------------------
// A whole USB boot through the hot-plug thread

class DeviceManagerBootTest : public DeviceManagerFixture {
protected:
    DeviceManagerBootTest() { startProcessorAtSetUp_ = false; }
    void SetUp() override {
        folder_ = temp_.path();
        zsim::SimBootMonitor::writeBootFolder(folder_, zsim::SimBootMonitor::kChipVpu3, 601);
        monitor_ = std::make_unique<zsim::SimBootMonitor>(usb_);
        monitor_->setProductionData(zsim::SimBootMonitor::ProductionData{601, "ZS0000601", "Example Works", "Zarn", "B"});
        // The firmware reports its state only when the test has put the
        // processor's services on the re-enumerated interfaces.
        firmware_.setReportStateOnAttach(false);
        DeviceManagerFixture::SetUp();
    }
    void TearDown() override {
        DeviceManagerFixture::TearDown();
        monitor_.reset();
    }
    // After the kernel jump: the processor's services on the booted
    // interfaces, then the firmware's state report.
    void processorComesUp() {
        ASSERT_TRUE(monitor_->waitForReenumeration(kBound));
        startProcessor();
        ASSERT_TRUE(firmware_.sendDeviceState());
    }

    zarn::testing::TempFolder temp_{"device_manager_test"};
    fs::path folder_;
    std::unique_ptr<zsim::SimBootMonitor> monitor_;
};

TEST_F(DeviceManagerBootTest, UnbootedSensorIsBootedAndBroughtUpReportingBootingOnce) {
    const std::string folder = folder_.string();
    const PZInitParams params{nullptr, 0, 0, folder.c_str()};
    ASSERT_EQ(init(&params), PZStatus_Success);
    monitor_->plugUnbooted();
    processorComesUp();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Ready));
    // Arrival unbooted (booting), removal of the boot monitor (ignored),
    // arrival booted (bring-up).
    ASSERT_TRUE(hotplug_.waitForDelivered(3, kBound));
    EXPECT_EQ(hotplug_.delivered().size(), 3u);
    EXPECT_EQ(states_.states(), (std::vector<int>{PZDeviceState_Booting, PZDeviceState_Ready}));
    EXPECT_FALSE(log_.has("Plovar Zarn removed"));
    EXPECT_TRUE(log_.has("Booted over USB.  Waiting for boot to finish..."));
}

TEST_F(DeviceManagerBootTest, RecoveryModeIsLeftByBootingWithDeviceModeNormal) {
    const std::string folder = folder_.string();
    const PZInitParams params{nullptr, 0, 0, folder.c_str()};
    ASSERT_EQ(init(&params), PZStatus_Success);
    monitor_->setBootState(zsim::SimBootMonitor::kStateRecovery);
    monitor_->plugUnbooted();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_RecoveryMode));
    EXPECT_EQ(PlovarZarn_SetDeviceMode(PZDeviceMode_Normal), PZStatus_Success);
    processorComesUp();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Ready));
    // The boot monitor's removal ends recovery with a cleanup of its own.
    EXPECT_EQ(states_.states(), (std::vector<int>{PZDeviceState_RecoveryMode, PZDeviceState_Disconnected,
                                                  PZDeviceState_Booting, PZDeviceState_Ready}));
    EXPECT_TRUE(log_.has("Plovar Zarn removed (state: Recovery Mode)"));
}

}  // namespace
