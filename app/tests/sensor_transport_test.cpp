// The simulated sensor's configuration as the environment gives it.
#include "app/sensor_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver_api.h"
#include "driver/device_manager.h"
#include "host_lib/service.h"
#include "runtime/usb_transport.h"
#include "sim/sim_boot_monitor.h"
#include "sim/sim_sensor.h"
#include "app/sensor_transport_stack.h"
#include "sim/win_usb/win_usb_stack.h"
#include "platform/tests/child_process.h"
#include "platform/tests/process_threads.h"
#include "platform/tests/temp_folder.h"
#include "usb_access/lst_k.h"
#include "usb_access/usbk_device.h"
#include "usb_access/vpu_usb_libusbk.h"

namespace {

using ZarnFirmwareUpdater::readSimulatedSensorSettings;
using ZarnFirmwareUpdater::SimulatedSensorSettings;

struct Environment {
    std::map<std::string, std::string> values;
    SimulatedSensorSettings read(std::vector<std::string>& problems) const {
        return readSimulatedSensorSettings(
            [this](const char* name) -> const char* {
                const auto it = values.find(name);
                return it == values.end() ? nullptr : it->second.c_str();
            },
            problems);
    }
};

TEST(SimulatedSensorSettingsTest, EmptyEnvironmentGivesAnAttachedReadySensorWithFirmware097) {
    std::vector<std::string> problems;
    const SimulatedSensorSettings settings = Environment{}.read(problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_TRUE(settings.attached);
    EXPECT_EQ(settings.firmwareMajor, 0);
    EXPECT_EQ(settings.firmwareMinor, 9);
    EXPECT_EQ(settings.firmwareRevision, 7);
    EXPECT_EQ(settings.processor, 1);
    EXPECT_EQ(settings.state, 2);
    EXPECT_FALSE(settings.updateFails);
    EXPECT_EQ(settings.flashBlockMs, 0u);
    EXPECT_FALSE(settings.zeroLengthPackets);
}

TEST(SimulatedSensorSettingsTest, EveryVariableIsTakenWhenReadable) {
    Environment env{{{"ZARN_SIM_SENSOR", "absent"},
                     {"ZARN_SIM_FIRMWARE", "1.10.65535"},
                     {"ZARN_SIM_STATE", "lowPower"},
                     {"ZARN_SIM_UPDATE", "fail"},
                     {"ZARN_SIM_FLASH_MS", "25"},
                     {"ZARN_SIM_CLOSE_AFTER_FRAMES", "12"},
                     {"ZARN_SIM_DRIVER", "libusb0"},
                     {"ZARN_SIM_PARTIAL_READS", "off"},
                     {"ZARN_SIM_ZERO_LENGTH_PACKETS", "on"}}};
    std::vector<std::string> problems;
    const SimulatedSensorSettings settings = env.read(problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_FALSE(settings.attached);
    EXPECT_EQ(settings.firmwareMajor, 1);
    EXPECT_EQ(settings.firmwareMinor, 10);
    EXPECT_EQ(settings.firmwareRevision, 65535);
    EXPECT_EQ(settings.processor, 2);
    EXPECT_EQ(settings.state, 2);
    EXPECT_TRUE(settings.updateFails);
    EXPECT_EQ(settings.flashBlockMs, 25u);
    EXPECT_EQ(settings.windowCloseAfterFrames, 12u);
    EXPECT_EQ(settings.driver, SimulatedSensorSettings::Driver::Libusb0);
    EXPECT_FALSE(settings.partialReads);
    EXPECT_TRUE(settings.zeroLengthPackets);
}

TEST(SimulatedSensorSettingsTest, UnbootedSensorIsAnAttachedOne) {
    std::vector<std::string> problems;
    const SimulatedSensorSettings unbooted = Environment{{{"ZARN_SIM_SENSOR", "unbooted"}}}.read(problems);
    EXPECT_TRUE(unbooted.attached);
    EXPECT_TRUE(unbooted.unbooted);
    EXPECT_FALSE(Environment{}.read(problems).unbooted);
    const SimulatedSensorSettings absent = Environment{{{"ZARN_SIM_SENSOR", "absent"}}}.read(problems);
    EXPECT_FALSE(absent.attached);
    EXPECT_FALSE(absent.unbooted);
    EXPECT_TRUE(problems.empty());
}

TEST(SimulatedSensorSettingsTest, StateNamesGiveTheWireValuesOfTheStateReport) {
    const std::map<std::string, std::pair<uint16_t, uint16_t>> expected = {
        {"ready", {1, 2}},          {"initializing", {1, 1}},     {"calibrationCorrupt", {1, 3}},
        {"fwMismatch", {1, 4}},     {"prodDataMismatch", {1, 5}}, {"fwCorrupt", {1, 6}},
        {"fwNotSupported", {1, 7}}, {"lowPower", {2, 2}},
    };
    EXPECT_EQ(ZarnFirmwareUpdater::simulatedSensorStates.size(), expected.size());
    for (const auto& [name, wire] : expected) {
        std::vector<std::string> problems;
        const SimulatedSensorSettings settings = Environment{{{"ZARN_SIM_STATE", name}}}.read(problems);
        EXPECT_TRUE(problems.empty()) << name;
        EXPECT_EQ(settings.processor, wire.first) << name;
        EXPECT_EQ(settings.state, wire.second) << name;
    }
}

TEST(SimulatedSensorSettingsTest, UnreadableValuesAreNamedAndLeaveTheirDefaults) {
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"ZARN_SIM_FIRMWARE", ""},        {"ZARN_SIM_FIRMWARE", "1.0"},       {"ZARN_SIM_FIRMWARE", "1.0.0.0"},
        {"ZARN_SIM_FIRMWARE", "1.0.x"},   {"ZARN_SIM_FIRMWARE", "-1.0.0"},    {"ZARN_SIM_FIRMWARE", "1..0"},
        {"ZARN_SIM_FIRMWARE", "0.65536.0"}, {"ZARN_SIM_FIRMWARE", " 1.0.0"},  {"ZARN_SIM_FIRMWARE", "99999999999.0.0"},
        {"ZARN_SIM_STATE", "Ready"},      {"ZARN_SIM_STATE", ""},             {"ZARN_SIM_SENSOR", "yes"},
        {"ZARN_SIM_UPDATE", "FAIL"},      {"ZARN_SIM_FLASH_MS", "-3"},        {"ZARN_SIM_FLASH_MS", "60001"},
        {"ZARN_SIM_FLASH_MS", "10ms"},   {"ZARN_SIM_CLOSE_AFTER_FRAMES", "-1"},
        {"ZARN_SIM_CLOSE_AFTER_FRAMES", "1000001"}, {"ZARN_SIM_DRIVER", "winusb"}, {"ZARN_SIM_PARTIAL_READS", "0"},
        {"ZARN_SIM_ZERO_LENGTH_PACKETS", "ON"}, {"ZARN_SIM_PACKET_SIZE", "2048"}, {"ZARN_SIM_PACKET_SIZE", "1024 "},
    };
    for (const auto& [name, value] : bad) {
        std::vector<std::string> problems;
        const SimulatedSensorSettings settings = Environment{{{name, value}}}.read(problems);
        ASSERT_EQ(problems.size(), 1u) << name << "=" << value;
        EXPECT_EQ(problems[0], name + ": cannot use \"" + value + "\"");
        const SimulatedSensorSettings defaults;
        EXPECT_EQ(settings.attached, defaults.attached);
        EXPECT_EQ(settings.firmwareMajor, defaults.firmwareMajor) << value;
        EXPECT_EQ(settings.firmwareMinor, defaults.firmwareMinor) << value;
        EXPECT_EQ(settings.firmwareRevision, defaults.firmwareRevision) << value;
        EXPECT_EQ(settings.state, defaults.state);
        EXPECT_EQ(settings.updateFails, defaults.updateFails);
        EXPECT_EQ(settings.flashBlockMs, defaults.flashBlockMs);
        EXPECT_EQ(settings.windowCloseAfterFrames, defaults.windowCloseAfterFrames);
        EXPECT_EQ(settings.driver, defaults.driver);
        EXPECT_EQ(settings.partialReads, defaults.partialReads);
        EXPECT_EQ(settings.zeroLengthPackets, defaults.zeroLengthPackets);
        EXPECT_EQ(settings.packetSize, defaults.packetSize);
    }
    // Two bad values, two messages; the good one between them still counts.
    std::vector<std::string> problems;
    const SimulatedSensorSettings settings =
        Environment{{{"ZARN_SIM_SENSOR", "x"}, {"ZARN_SIM_FIRMWARE", "1.0.0"}, {"ZARN_SIM_UPDATE", "y"}}}.read(problems);
    EXPECT_EQ(problems.size(), 2u);
    EXPECT_EQ(settings.firmwareMajor, 1);
}

// --- the driver on the attached transport -------------------------------------------

using namespace std::chrono_literals;
// Longer than the driver's 8-second bring-up budget: a bring-up that runs out
// of it still ends inside the bound.
constexpr auto kBound = 12s;

class DriverStates {
public:
    static void onState(int state, void* user) {
        auto* self = static_cast<DriverStates*>(user);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->states_.push_back(state);
        self->changed_.notify_all();
    }
    bool waitFor(int state, size_t times = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] {
            return static_cast<size_t>(std::count(states_.begin(), states_.end(), state)) >= times;
        });
    }
    std::vector<int> states() {
        std::lock_guard<std::mutex> lock(mutex_);
        return states_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> states_;
};

class SensorTransportTest : public ::testing::Test {
protected:
    // A link gives up after about seven periods without an echo, and the
    // driver then reports the sensor in error: 20 ms made that 140 ms and
    // 400 ms nearly three seconds, and a sanitizer's build on a loaded machine
    // kept an echo waiting longer than that. The real second costs each
    // bring-up one period.
    void SetUp() override { SERVICEP_setLinkPeriodForTest(SERVICEG_LINK_PERIOD_MS); }
    void TearDown() override {
        for (const char* name : {"ZARN_SIM_SENSOR", "ZARN_SIM_FIRMWARE", "ZARN_SIM_STATE", "ZARN_SIM_PACKET_SIZE"}) {
            zarn::testing::setEnvironment(name, nullptr);
        }
        if (initialised_) {
            PlovarZarn_Deinit();
            PZDevice_waitForCleanup();
        }
        ZarnFirmwareUpdater::detachSensorTransport();
    }
    void init() {
        ASSERT_EQ(PlovarZarn_Init(&DriverStates::onState, &states_, nullptr), PZStatus_Success);
        initialised_ = true;
    }

    DriverStates states_;
    bool initialised_ = false;
};

TEST_F(SensorTransportTest, DriverFindsTheConfiguredSensorAndItsShutdownLetsTheDetachEndAtOnce) {
    zarn::testing::setEnvironment("ZARN_SIM_FIRMWARE", "0.9.3");
    ZarnFirmwareUpdater::attachSensorTransport();
    // Attached before the driver starts: the sensor arrives with the driver's transport.
    init();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Ready));
    PZDeviceInfo info{};
    ASSERT_EQ(PlovarZarn_GetDeviceInfo(&info), PZStatus_Success);
    EXPECT_EQ(info.fwMajor, 0);
    EXPECT_EQ(info.fwMinor, 9);
    EXPECT_EQ(info.fwRevision, 3);

    PlovarZarn_Deinit();
    PZDevice_waitForCleanup();
    initialised_ = false;
    // The driver's shutdown stopped its transport itself, so the detach has
    // nothing to wait for; had it not, the detach would sit out its 10 s wait
    // for that stop and keep the sensor.
    EXPECT_TRUE(vpu_usb_libusbk_waitStopped(0));
    EXPECT_TRUE(ZarnFirmwareUpdater::detachSensorTransport());
    // Detached: no back-end sensor answers any more.
    uint32_t written = 0;
    const uint8_t byte = 0;
    EXPECT_NE(vpu_usb_write_bulk(4, &byte, 1, &written), VPU_USB_OK);
}

// Transfers that no short packet ends: the boot log, and the reports at attach.
TEST_F(SensorTransportTest, BringUpCarriesTransfersOfWholePacketsOnBothKindsOfInterface) {
    ZarnFirmwareUpdater::attachSensorTransport();
    init();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Ready));
    EXPECT_GE(zsim::SimUsb::instance().deviceTransfers(0).wholePackets, 3u);
    EXPECT_GE(zsim::SimUsb::instance().deviceTransfers(zsim::SimSensor::kClientInterface).wholePackets, 1u);
}

// On a SuperSpeed port the back-end learns the 1024-byte packets from the
// descriptors and asks the driver for whole ones only.
TEST_F(SensorTransportTest, OnASuperSpeedPortEveryDriverReadIsOfWhole1024BytePackets) {
    zarn::testing::setEnvironment("ZARN_SIM_PACKET_SIZE", "1024");
    ZarnFirmwareUpdater::attachSensorTransport();
    init();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Ready));
    std::vector<DWORD> reads;
    KLST_HANDLE list = nullptr;
    KLST_DEVINFO* info = nullptr;
    ASSERT_TRUE(LstK_Init(&list, KLST_FLAG_NONE));
    while (LstK_MoveNext(list, &info)) {
        for (const auto& request : zsim::win::SimWinUsbStack::instance().find(info->devicePath)->requests()) {
            if (request.code == LIBUSB_IOCTL_INTERRUPT_OR_BULK_READ) reads.push_back(request.outLength);
        }
    }
    LstK_Free(list);
    EXPECT_GT(reads.size(), 5u);
    EXPECT_EQ(std::count_if(reads.begin(), reads.end(), [](DWORD length) { return length % 1024 != 0; }), 0);
}

TEST_F(SensorTransportTest, WarmRebootBringsTheSensorBackToTheDriver) {
    ZarnFirmwareUpdater::attachSensorTransport();
    init();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Ready));
    EXPECT_EQ(PlovarZarn_SetDeviceMode(PZDeviceMode_WarmReboot), PZStatus_Success);
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Disconnected));
    ASSERT_TRUE(states_.waitFor(PZDeviceState_Ready, 2));
}

// A temporary boot folder with the images the simulated sensor's processor
// takes; removed with its owner.
struct BootFolder {
    BootFolder() : folder("sensor_transport_test"), path(folder.path()) {
        zsim::SimBootMonitor::writeBootFolder(path, zsim::SimSensor::kChipVersion, zsim::SimSensor::kBootId);
    }
    zarn::testing::TempFolder folder;
    std::filesystem::path path;
};

// The driver boots an unbooted sensor over the whole stack: the monitor
// reports the boot interface, the boot layer loads the images through it,
// and the sensor comes back with its five interfaces.
TEST_F(SensorTransportTest, UnbootedSensorIsBootedFromTheBootFolderAndBroughtToReady) {
    const BootFolder folder;
    ASSERT_FALSE(folder.path.empty());
    zarn::testing::setEnvironment("ZARN_SIM_SENSOR", "unbooted");
    ZarnFirmwareUpdater::attachSensorTransport();
    const std::string path = folder.path.string();
    const PZInitParams params{nullptr, 0, 0, path.c_str()};
    ASSERT_EQ(PlovarZarn_Init(&DriverStates::onState, &states_, &params), PZStatus_Success);
    initialised_ = true;
    EXPECT_TRUE(states_.waitFor(PZDeviceState_Ready));
    EXPECT_EQ(states_.states(), (std::vector<int>{PZDeviceState_Booting, PZDeviceState_Ready}));
}

TEST_F(SensorTransportTest, WithoutABootFolderAnUnbootedSensorIsInRecoveryMode) {
    zarn::testing::setEnvironment("ZARN_SIM_SENSOR", "unbooted");
    ZarnFirmwareUpdater::attachSensorTransport();
    init();
    EXPECT_TRUE(states_.waitFor(PZDeviceState_RecoveryMode));
    EXPECT_EQ(states_.states(), std::vector<int>{PZDeviceState_RecoveryMode});
}

TEST_F(SensorTransportTest, StateFromTheEnvironmentReachesTheDriver) {
    zarn::testing::setEnvironment("ZARN_SIM_STATE", "lowPower");
    ZarnFirmwareUpdater::attachSensorTransport();
    init();
    ASSERT_TRUE(states_.waitFor(PZDeviceState_LowPowerMode));
    EXPECT_EQ(states_.states().front(), PZDeviceState_Booting);
}

// --- shutdown over the whole stack ------------------------------------------------

// The driver shuts down while the monitor's thread is inside a boot (the
// boot-detect program never finishes: the boot layer polls it for its 2 s
// budget) and while the driver's readers wait on interfaces where nothing
// comes. Both stop the transport within the shutdown and leave no thread
// behind.
TEST(WholeStackShutdown, StopsTheTransportItselfAndLeavesNoThread) {
    SERVICEP_setLinkPeriodForTest(150);
    // A thread runtime's own helpers (a sanitizer's) start with the first
    // thread of the process and are not counted as the stack's.
    std::thread([] {}).join();
    const BootFolder folder;
    ASSERT_FALSE(folder.path.empty());
    const std::string path = folder.path.string();
    struct Case {
        const char* name;
        bool duringBoot;
    };
    for (const Case& c : {Case{"during a boot", true}, Case{"with reads pending", false}}) {
        SCOPED_TRACE(c.name);
        const size_t threadsBefore = zarn::testing::processThreadCount();
        {
            zsim::SimSensor sensor(&vpu_usb_boot_hotplug_handler);
            ZarnFirmwareUpdater::SensorUsbStack stack(sensor.usb(), sensor.deviceInfo().serial);
            vpu_usb_set_backend(&vpu_usb_libusbk_ops);
            DriverStates states;
            if (c.duringBoot) {
                sensor.bootMonitor().setBootDetectHangs(true);
                sensor.plugUnbooted();
            } else {
                sensor.plug();
            }
            const PZInitParams params{nullptr, 0, 0, path.c_str()};
            ASSERT_EQ(PlovarZarn_Init(&DriverStates::onState, &states, &params), PZStatus_Success);
            if (c.duringBoot) {
                ASSERT_TRUE(sensor.bootMonitor().waitForBootDetect(kBound));
            } else {
                ASSERT_TRUE(states.waitFor(PZDeviceState_Ready));
            }
            EXPECT_EQ(PlovarZarn_Deinit(), PZStatus_Success);
            PZDevice_waitForCleanup();
            // The transport's stop waits for an arrival in flight (the boot,
            // which gives up after its budget), then stops the monitor
            // itself. A call that outlasts that 10 s wait (one that waits for
            // this very cleanup) leaves the stop to a thread of its own,
            // which is still at it when the cleanup has ended. How long
            // either took is the machine's business.
            EXPECT_TRUE(vpu_usb_libusbk_waitStopped(0)) << "the stop was left to outlast the shutdown";
            ASSERT_TRUE(vpu_usb_libusbk_waitStopped(static_cast<uint32_t>(kBound.count() * 1000)));
            sensor.unplug();
            EXPECT_TRUE(sensor.stop(std::chrono::milliseconds(0)));
        }
        // Timer threads are only told to stop, the read thread ends just after saying so: both may linger.
        EXPECT_LE(zarn::testing::processThreadCountOnceAtMost(threadsBefore, kBound), threadsBefore);
    }
}

}  // namespace
