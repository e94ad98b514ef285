#include "host_lib/usb_boot.h"

#include <gtest/gtest.h>


#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/tests/temp_folder.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "sim/sim_boot_monitor.h"
#include "sim/sim_usb.h"

namespace {

using namespace std::chrono_literals;
using zsim::Bytes;
using zsim::SimBootMonitor;
using zsim::SimUsb;
namespace fs = std::filesystem;

uint32_t wordAt(const Bytes& bytes, size_t offset) {
    uint32_t value = 0;
    for (int b = 0; b < 4; ++b) value |= static_cast<uint32_t>(bytes.at(offset + b)) << (8 * b);
    return value;
}

Bytes words(std::initializer_list<uint32_t> values) {
    Bytes out;
    for (uint32_t v : values) {
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
    }
    return out;
}

// The boot layer's status callback takes no user value: one recorder for the executable.
struct StatusRecorder {
    std::mutex mutex;
    std::vector<int32_t> statuses;
    int result = 0;
    static int callback(int32_t status);
} recorder;

int StatusRecorder::callback(int32_t status) {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.statuses.push_back(status);
    return recorder.result;
}

struct LogLines {
    LOGG_callbackT record{&LogLines::onLine};  // first member: the logger hands it back
    std::mutex mutex;
    std::vector<std::string> lines;
    static void onLine(uint8_t, const char* line, LOGG_callbackT* self) {
        auto* log = reinterpret_cast<LogLines*>(self);
        std::lock_guard<std::mutex> lock(log->mutex);
        log->lines.emplace_back(line);
    }
    size_t count(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        size_t n = 0;
        for (const auto& line : lines) n += line.find(text) != std::string::npos;
        return n;
    }
    bool has(const std::string& text) { return count(text) > 0; }
};

void* logSlot(void* log) { return &static_cast<LogLines*>(log)->record; }
void keepLog(void*) {}

class UsbBootTest : public ::testing::Test {
protected:
    UsbBootTest() : context_(std::make_shared<morv::driver::Context>()), scope_(context_) {}

    void SetUp() override {
        bus_ = &SimUsb::installFresh();
        PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK), &logSlot, &log_,
                          &keepLog);
        LOGG_init();
        LOGG_setSeverity(LOG_DEBUG_E);
        {
            std::lock_guard<std::mutex> lock(recorder.mutex);
            recorder.statuses.clear();
            recorder.result = 0;
        }
        temp_ = std::make_unique<zarn::testing::TempFolder>("usb_boot_test");
        folder_ = temp_->path();
        monitor_ = std::make_unique<SimBootMonitor>(*bus_);
        monitor_->setProductionData(SimBootMonitor::ProductionData{601, "SN-0042", "Example Works", "ZD-1", "B"});
    }

    void TearDown() override {
        monitor_.reset();
        bus_->reset();
        LOGG_deinit();
        temp_.reset();
    }

    // Boot folder given, callback registered, transport started.
    void initWith(const std::string& bootDir, int32_t bootId = -1) {
        ASSERT_EQ(vpu_usb_boot_init(bootDir.c_str(), &StatusRecorder::callback, bootId, nullptr), 0);
    }

    std::vector<int32_t> statuses() {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        return recorder.statuses;
    }

    size_t requestCount() { return monitor_->requests().size(); }

    bool wroteTo(uint32_t address) {
        for (const auto& request : monitor_->requests()) {
            if (request.op == SimBootMonitor::Op::Write && request.address == address) return true;
        }
        return false;
    }

    std::string path(const std::string& name) { return (folder_ / name).string(); }

    PZContextHolder context_;
    morv::driver::ScopedThreadContext scope_;
    SimUsb* bus_ = nullptr;
    LogLines log_;
    std::unique_ptr<zarn::testing::TempFolder> temp_;
    fs::path folder_;
    std::unique_ptr<SimBootMonitor> monitor_;
};

// ---------------------------------------------------------------------------
// Initialisation and the boot state

TEST_F(UsbBootTest, FreshStateReadsTheBootIdAndHasNoCallbackOrFolder) {
    const vpu_usb_boot_state* state = vpu_usb_boot_get_state();
    EXPECT_EQ(state->bootIdOverride, -1);
    EXPECT_EQ(state->statusCallback, nullptr);
    EXPECT_EQ(state->bootDir[0], '\0');
    EXPECT_EQ(state->jump | state->zImage | state->dtb | state->app, 0u);
    // Nothing registered: the handler reports to nobody and answers 0.
    recorder.result = 9;
    EXPECT_EQ(vpu_usb_boot_hotplug_handler(VPU_USB_HOTPLUG_ARRIVED, true), 0);
    EXPECT_TRUE(statuses().empty());
}

TEST_F(UsbBootTest, BootFolderOf255CharactersIsTakenAnd256IsRefused) {
    const std::string fits(255, 'd');
    vpu_usb_transport_params params{1, 2, "SER-9"};
    ASSERT_EQ(vpu_usb_boot_init(fits.c_str(), &StatusRecorder::callback, 12, &params), 0);
    EXPECT_EQ(std::string(vpu_usb_boot_get_state()->bootDir), fits);
    EXPECT_EQ(bus_->initCount(), 1);
    EXPECT_EQ(bus_->lastInitSerial(), std::optional<std::string>("SER-9"));
    ASSERT_EQ(vpu_usb_boot_deinit(), 0);
    EXPECT_EQ(bus_->deinitCount(), 1);

    const std::string tooLong(256, 'e');
    EXPECT_EQ(vpu_usb_boot_init(tooLong.c_str(), nullptr, 33, nullptr), 1);
    EXPECT_TRUE(log_.has("Boot dir path too long"));
    // Callback and override are stored; the folder and the transport are not touched.
    EXPECT_EQ(vpu_usb_boot_get_state()->statusCallback, nullptr);
    EXPECT_EQ(vpu_usb_boot_get_state()->bootIdOverride, 33);
    EXPECT_EQ(std::string(vpu_usb_boot_get_state()->bootDir), fits);
    EXPECT_EQ(bus_->initCount(), 1);
}

TEST_F(UsbBootTest, NullFolderMeansNoFilesAndATransportFailureIsReturned) {
    ASSERT_EQ(vpu_usb_boot_init("old", &StatusRecorder::callback, -1, nullptr), 0);
    // The simulated bus refuses a second start with 1.
    EXPECT_EQ(vpu_usb_boot_init(nullptr, &StatusRecorder::callback, -1, nullptr), 1);
    EXPECT_TRUE(log_.has("vpu_usb_init failed: err=1"));
    EXPECT_EQ(vpu_usb_boot_get_state()->bootDir[0], '\0');
}

// ---------------------------------------------------------------------------
// Hot-plug events

TEST_F(UsbBootTest, EventsWithoutABootMapStraightToStatuses) {
    initWith("");
    recorder.result = 17;
    EXPECT_EQ(vpu_usb_boot_hotplug_handler(1, false), 17);
    EXPECT_EQ(vpu_usb_boot_hotplug_handler(3, true), 17);
    EXPECT_EQ(vpu_usb_boot_hotplug_handler(2, true), 17);
    EXPECT_EQ(vpu_usb_boot_hotplug_handler(4, false), 17);
    EXPECT_EQ(vpu_usb_boot_hotplug_handler(9, false), 17);
    EXPECT_EQ(vpu_usb_boot_hotplug_handler(0, true), 17);
    EXPECT_EQ(statuses(), (std::vector<int32_t>{4, 4, 1, 6, 0, 0}));
    EXPECT_EQ(log_.count("Unknown USB status received: 9"), 1u);
    EXPECT_EQ(log_.count("Unknown USB status received: 0"), 1u);
    // None of them talked to the device.
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(UsbBootTest, UnbootedArrivalWithoutBootFolderIsRecoveryAfterOneRegisterRead) {
    initWith("");
    monitor_->plugUnbooted();
    vpu_usb_boot_hotplug_handler(VPU_USB_HOTPLUG_ARRIVED, false);
    EXPECT_EQ(statuses(), std::vector<int32_t>{VPU_USB_BOOT_STATUS_RECOVERY});
    const auto requests = monitor_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].op, SimBootMonitor::Op::Read);
    EXPECT_EQ(requests[0].address, VPU_REG_BOOT_STATE);
}

TEST_F(UsbBootTest, RecoveryMarkerWinsOverABootFolder) {
    SimBootMonitor::writeBootFolder(folder_, SimBootMonitor::kChipVpu3, 601);
    initWith(folder_.string());
    monitor_->setBootState(VPU_BOOT_STATE_RECOVERY);
    monitor_->plugUnbooted();
    vpu_usb_boot_hotplug_handler(VPU_USB_HOTPLUG_ARRIVED, false);
    EXPECT_EQ(statuses(), std::vector<int32_t>{VPU_USB_BOOT_STATUS_RECOVERY});
    EXPECT_EQ(requestCount(), 1u);
}

TEST_F(UsbBootTest, UnreadableBootStateIsABootFailure) {
    initWith(folder_.string());
    monitor_->plugUnbooted();
    monitor_->addFault(SimBootMonitor::Op::Read, VPU_REG_BOOT_STATE, SimBootMonitor::Fault::ErrorCode);
    vpu_usb_boot_hotplug_handler(VPU_USB_HOTPLUG_ARRIVED, false);
    EXPECT_EQ(statuses(), std::vector<int32_t>{VPU_USB_BOOT_STATUS_BOOT_FAILED});
    EXPECT_TRUE(log_.has("Can't read chip register, check USB connection..."));
    EXPECT_TRUE(log_.has("vpu_usb_is_in_recovery"));
}

// ---------------------------------------------------------------------------
// Monitor requests on the wire

TEST_F(UsbBootTest, ReadOfFiveBytesAsksForEightAndCopiesFive) {
    initWith("");
    monitor_->plugUnbooted();
    bus_->recordWrites(0, true);
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof(buffer));
    uint32_t got = 99;
    ASSERT_EQ(vpu_usb_monitor_read(VPU_REG_CHIP_VERSION, buffer, 5, &got), 0);
    EXPECT_EQ(got, 5u);
    const auto sent = bus_->recordedWrites(0);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], words({0x100, 8, VPU_REG_CHIP_VERSION, 8}));
    EXPECT_EQ(buffer[0], 0x01);  // 0x30000001, little-endian
    EXPECT_EQ(buffer[3], 0x30);
    EXPECT_EQ(buffer[4], 0x00);
    EXPECT_EQ(buffer[5], 0xEE);  // never more than was asked
    EXPECT_TRUE(log_.has("Completed reading from target 5 Bytes @0x080200b4"));
}

TEST_F(UsbBootTest, ReadOfNothingSendsNothingAndLongReadsComeInChunks) {
    initWith("");
    monitor_->plugUnbooted();
    uint32_t got = 7;
    EXPECT_EQ(vpu_usb_monitor_read(0x1000, nullptr, 0, &got), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(requestCount(), 0u);

    const Bytes data = SimBootMonitor::imageBytes("pattern", 5000, 0);
    ASSERT_EQ(vpu_usb_monitor_write(0x40000, data.data(), 5000), 0);
    Bytes back(5000);
    ASSERT_EQ(vpu_usb_monitor_read(0x40000, back.data(), 5000, &got), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(got, 5000u);
    std::vector<uint32_t> asked;
    for (const auto& request : monitor_->requests()) {
        if (request.op == SimBootMonitor::Op::Read) asked.push_back(request.length);
    }
    EXPECT_EQ(asked, (std::vector<uint32_t>{2048, 2048, 904}));
}

TEST_F(UsbBootTest, WritesArePaddedToWordsAndCutIntoChunks) {
    initWith("");
    monitor_->plugUnbooted();
    bus_->recordWrites(0, true);
    const uint8_t five[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(vpu_usb_monitor_write(0x2000, five, 5), 0);
    auto sent = bus_->recordedWrites(0);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 20u);
    Bytes expected = words({0x120, 12, 0x2000});
    expected.insert(expected.end(), {1, 2, 3, 4, 5, 0, 0, 0});
    EXPECT_EQ(sent[0], expected);
    EXPECT_EQ(monitor_->memory(0x2000, 5), Bytes(five, five + 5));
    EXPECT_TRUE(log_.has("Completed writing to target 5 Bytes @0x00002000"));

    const Bytes data = SimBootMonitor::imageBytes("big", 4100, 0);
    ASSERT_EQ(vpu_usb_monitor_write(0x10000, data.data(), 4100), 0);
    sent = bus_->recordedWrites(0);
    ASSERT_EQ(sent.size(), 4u);
    sent.erase(sent.begin());
    EXPECT_EQ(sent[0].size(), 2060u);
    EXPECT_EQ(wordAt(sent[0], 4), 2052u);
    EXPECT_EQ(wordAt(sent[1], 8), 0x10000u + 2048);
    EXPECT_EQ(sent[2].size(), 16u);
    EXPECT_EQ(wordAt(sent[2], 4), 8u);
    EXPECT_EQ(wordAt(sent[2], 8), 0x10000u + 4096);
    EXPECT_EQ(monitor_->memory(0x10000, 4100), data);
    EXPECT_EQ(log_.count("#"), 3u + 1u);  // one per chunk, plus the five-byte write
}

TEST_F(UsbBootTest, JumpRequestIsAddressAndTwoKilobytesOfZeros) {
    initWith("");
    monitor_->plugUnbooted();
    bus_->recordWrites(0, true);
    // Nothing was loaded there: the monitor refuses with an error code.
    EXPECT_EQ(vpu_usb_monitor_jump(0x5000), 7);
    const auto sent = bus_->recordedWrites(0);
    ASSERT_EQ(sent.size(), 1u);
    Bytes expected = words({0x310, 4, 0x5000});
    expected.resize(2060, 0);
    EXPECT_EQ(sent[0], expected);
    EXPECT_TRUE(log_.has("vpu_usb_monitor_jump(): Error in jump response: code=0x313 errCode=0x3"));
}

TEST_F(UsbBootTest, BadAnswersFailTheRequestWithSevenAndSayWhy) {
    initWith("");
    monitor_->plugUnbooted();
    uint32_t value = 0;
    uint32_t got = 0;

    monitor_->addFault(SimBootMonitor::Op::Read, std::nullopt, SimBootMonitor::Fault::WrongCode);
    EXPECT_EQ(vpu_usb_monitor_read(VPU_REG_CHIP_VERSION, &value, 4, &got), 7);
    EXPECT_TRUE(log_.has("vpu_usb_monitor_read_chunk(): Error in read response: code=0x123 len=4 errCode=0x0"));
    EXPECT_TRUE(log_.has("Error in vpu_usb_monitor_read offset=0 expected=4 got=16"));
    EXPECT_EQ(got, 0u);

    // An answer cut short of its header is no answer.
    monitor_->addFault(SimBootMonitor::Op::Read, std::nullopt, SimBootMonitor::Fault::Truncated);
    EXPECT_EQ(vpu_usb_monitor_read(VPU_REG_CHIP_VERSION, &value, 4, &got), 7);
    EXPECT_TRUE(log_.has("Error in vpu_usb_monitor_read offset=0 expected=4 got=8"));

    const uint8_t data[6] = {9, 9, 9, 9, 9, 9};
    monitor_->addFault(SimBootMonitor::Op::Write, std::nullopt, SimBootMonitor::Fault::ErrorCode);
    EXPECT_EQ(vpu_usb_monitor_write(0x3000, data, 6), 7);
    EXPECT_TRUE(log_.has("vpu_usb_monitor_write_chunk(): Error in write response: code=0x123 len=0 errCode=0x5"));
    EXPECT_TRUE(log_.has("ERROR: write 00003000 6 failed"));
    EXPECT_EQ(monitor_->memory(0x3000, 6), Bytes(6, 0));

    // A failure in the second chunk stops the write there.
    const Bytes big(3000, 0x77);
    monitor_->addFault(SimBootMonitor::Op::Write, 0x8000u + 2048, SimBootMonitor::Fault::Truncated);
    EXPECT_EQ(vpu_usb_monitor_write(0x8000, big.data(), 3000), 7);
    EXPECT_TRUE(log_.has("ERROR: write 00008000 952 failed"));

    monitor_->addFault(SimBootMonitor::Op::Jump, std::nullopt, SimBootMonitor::Fault::WrongCode);
    EXPECT_EQ(vpu_usb_monitor_jump(0x5000), 7);
    EXPECT_TRUE(log_.has("Error in jump response: code=0x103"));
}

TEST_F(UsbBootTest, RemovalFailsEveryKindOfRequest) {
    initWith("");
    monitor_->plugUnbooted();
    uint32_t value = 0;
    monitor_->addFault(SimBootMonitor::Op::Read, std::nullopt, SimBootMonitor::Fault::Unplug);
    EXPECT_EQ(vpu_usb_monitor_read(VPU_REG_CHIP_VERSION, &value, 4, nullptr), 7);
    EXPECT_TRUE(log_.has("vpu_usb_monitor_read_chunk(): Ack wasn't received from device"));
    // Gone: the next requests cannot even be sent.
    EXPECT_EQ(vpu_usb_monitor_write(0x10, &value, 4), 7);
    EXPECT_TRUE(log_.has("vpu_usb_monitor_write_chunk(): Failed to send request to device"));
    EXPECT_EQ(vpu_usb_monitor_jump(0x10), 7);
    EXPECT_TRUE(log_.has("vpu_usb_monitor_jump(): Failed to send request to device"));
}

TEST_F(UsbBootTest, SilentMonitorHoldsTheReadUntilTheDeviceGoes) {
    initWith("");
    monitor_->plugUnbooted();
    monitor_->addFault(SimBootMonitor::Op::Jump, std::nullopt, SimBootMonitor::Fault::Silent);
    int result = -1;
    std::thread booter([&] {
        morv::driver::ScopedThreadContext scope(context_);
        result = vpu_usb_monitor_jump(0x5000);
    });
    // No early return here: the unplug releases the booter, which is joined below.
    EXPECT_TRUE(bus_->waitForBlockedReads(0, 1, 2000ms));
    bus_->unplug();
    booter.join();
    EXPECT_EQ(result, 7);
    EXPECT_TRUE(log_.has("vpu_usb_monitor_jump(): Ack wasn't received from device"));
}

// A device model of its own: answers every read with what the test scripts.
TEST_F(UsbBootTest, ReadAnswerCutShortOfItsLengthFailsAndAShortLengthHandsOutNoStaleBytes) {
    initWith("");
    bus_->plug({0});
    std::mutex mutex;
    std::vector<Bytes> answers;
    bus_->setWriteHandler(0, [&](uint8_t, const Bytes&) {
        std::lock_guard<std::mutex> lock(mutex);
        if (answers.empty()) return;
        bus_->deviceSend(0, answers.front());
        answers.erase(answers.begin());
    });
    // First a full answer leaves 0xAB bytes in the receive buffer; then an
    // answer that claims 8 data bytes but carries only 2.
    Bytes full = words({0x103, 4 + 2048, 0});
    full.resize(12 + 2048, 0xAB);
    Bytes shortAnswer = words({0x103, 4 + 8, 0});
    shortAnswer.insert(shortAnswer.end(), {0x11, 0x22});
    answers = {full, shortAnswer};

    Bytes scratch(2048);
    uint32_t got = 0;
    ASSERT_EQ(vpu_usb_monitor_read(0x100, scratch.data(), 2048, &got), 0);
    // Cut short on the way: a failed read, not two bytes and six zeros.
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(vpu_usb_monitor_read(0x100, buffer, 8, &got), 7);
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(log_.has("vpu_usb_monitor_read_chunk(): Error in read response: code=0x103 len=8 errCode=0x0"));
    EXPECT_TRUE(log_.has("Error in vpu_usb_monitor_read offset=0 expected=8 got=14"));

    // A whole answer whose length word is smaller than the padding is a
    // mismatch, not a huge count: logged, and no stale byte handed out.
    uint8_t three[3] = {0xEE, 0xEE, 0xEE};
    {
        std::lock_guard<std::mutex> lock(mutex);
        answers = {words({0x103, 2, 0})};
    }
    ASSERT_EQ(vpu_usb_monitor_read(0x100, three, 3, &got), 0);
    EXPECT_TRUE(log_.has("Failed read expected=3B read=-3B"));
    EXPECT_EQ(three[0], 0);
    bus_->setWriteHandler(0, nullptr);
}

// ---------------------------------------------------------------------------
// Whole boots

TEST_F(UsbBootTest, UnbootedVpu3BootsFromTheFolderAndComesBackBooted) {
    SimBootMonitor::writeBootFolder(folder_, SimBootMonitor::kChipVpu3, 601);
    initWith(folder_.string());
    monitor_->setLoaderReadyAfterReads(3);
    monitor_->plugUnbooted();
    vpu_usb_boot_hotplug_handler(VPU_USB_HOTPLUG_ARRIVED, false);
    ASSERT_EQ(statuses(), std::vector<int32_t>{VPU_USB_BOOT_STATUS_BOOTING});
    EXPECT_TRUE(log_.has("Booted over USB.  Waiting for boot to finish..."));

    // The images sit where the loader asked for them.
    const SimBootMonitor::LoadTable table;
    const Bytes app = SimBootMonitor::imageBytes("vpu3.lz4", 4100, SimBootMonitor::kChipVpu3);
    EXPECT_EQ(monitor_->word(table.app), 4100u);
    EXPECT_EQ(monitor_->memory(table.app + 4, 4100), app);
    EXPECT_EQ(monitor_->memory(table.dtb, 1300),
              SimBootMonitor::imageBytes("vpu3-boot601.dtb", 1300, SimBootMonitor::kChipVpu3));
    EXPECT_EQ(monitor_->memory(table.zImage, 5000),
              SimBootMonitor::imageBytes("zImage", 5000, SimBootMonitor::kChipVpu3));
    EXPECT_EQ(monitor_->memory(VPU_ADDR_SPL, 2100),
              SimBootMonitor::imageBytes("bootspl-vpu3b0.bin", 2100, SimBootMonitor::kChipVpu3));
    EXPECT_EQ(monitor_->jumps(), (std::vector<uint32_t>{VPU_ADDR_BOOTDETECT, VPU_ADDR_SPL, table.jump}));
    EXPECT_EQ(monitor_->handshakeWritten(), table.app);
    EXPECT_TRUE(monitor_->bootDetectRan());
    const vpu_usb_boot_state* state = vpu_usb_boot_get_state();
    EXPECT_EQ(state->app, table.app);
    EXPECT_EQ(state->dtb, table.dtb);
    EXPECT_EQ(std::string(state->dtbPath), path("vpu3-boot601.dtb"));
    EXPECT_EQ(std::string(state->splPath), path("bootspl-vpu3b0.bin"));

    EXPECT_TRUE(log_.has("vpu_usb_bootdetect (sbl):"));
    EXPECT_TRUE(log_.has("\t\tdetected bootId: 601"));
    EXPECT_TRUE(log_.has("\t\t   serialNumber: SN-0042"));
    EXPECT_TRUE(log_.has("vpu_flash: manufacturer: Example Works  model: ZD-1  hw_rev: B  serial: SN-0042  bootId=601"));
    EXPECT_TRUE(log_.has("SPL complete( >= 3 ms ): state=101 zImage=0x80008000 dtb=0x81f00000 jump=0x80008000 "
                         "app=0x83000000"));
    EXPECT_TRUE(log_.has(path("vpu3.lz4") + " size is: 4100"));

    // The back-end then sees the device go and come back with all its interfaces.
    ASSERT_TRUE(monitor_->waitForReenumeration(2000ms));
    for (uint8_t i = 0; i < 5; ++i) EXPECT_TRUE(bus_->isRegistered(i)) << int(i);
    vpu_usb_boot_hotplug_handler(VPU_USB_HOTPLUG_REMOVED, false);
    vpu_usb_boot_hotplug_handler(VPU_USB_HOTPLUG_ARRIVED, true);
    EXPECT_EQ(statuses(), (std::vector<int32_t>{2, 4, 1}));
}

// A folder name outside the ANSI code page, as under a user folder named in
// Cyrillic: the paths stay UTF-8 and every image still opens on Windows.
TEST_F(UsbBootTest, BootFolderNamedOutsideTheAnsiCodePageBoots) {
    const fs::path folder = folder_ / fs::path(u8"загрузка");
    SimBootMonitor::writeBootFolder(folder, SimBootMonitor::kChipVpu3, 601);
    const std::u8string name = folder.u8string();
    initWith(std::string(name.begin(), name.end()));
    monitor_->setLoaderReadyAfterReads(1);
    monitor_->plugUnbooted();
    vpu_usb_boot_hotplug_handler(VPU_USB_HOTPLUG_ARRIVED, false);
    ASSERT_EQ(statuses(), std::vector<int32_t>{VPU_USB_BOOT_STATUS_BOOTING});
    const SimBootMonitor::LoadTable table;
    EXPECT_EQ(monitor_->memory(table.zImage, 5000),
              SimBootMonitor::imageBytes("zImage", 5000, SimBootMonitor::kChipVpu3));
    EXPECT_TRUE(monitor_->waitForReenumeration(2000ms));
}

TEST_F(UsbBootTest, Vpu4WithABootIdOverrideUsesThatIdsDeviceTree) {
    SimBootMonitor::writeBootFolder(folder_, SimBootMonitor::kChipVpu4, 7);
    initWith(folder_.string(), 7);
    monitor_->setChipVersion(SimBootMonitor::kChipVpu4);
    monitor_->plugUnbooted();
    EXPECT_EQ(vpu_usb_boot_target(), 0);
    EXPECT_TRUE(log_.has("bootId override to 7"));
    EXPECT_FALSE(log_.has("detected bootId"));
    EXPECT_TRUE(monitor_->bootDetectRan());  // the program still runs; its id is not asked for
    EXPECT_EQ(std::string(vpu_usb_boot_get_state()->dtbPath), path("vpu4-boot7.dtb"));
    EXPECT_EQ(monitor_->memory(VPU_ADDR_BOOTDETECT, VPU_BOOTDETECT_VPU4_SIZE),
              Bytes(vpu_bootdetect_vpu4.begin(), vpu_bootdetect_vpu4.end()));
    EXPECT_TRUE(monitor_->waitForReenumeration(2000ms));
}

TEST_F(UsbBootTest, RunningLoaderIsHandshakedInsteadOfLoaded) {
    SimBootMonitor::writeBootFolder(folder_, SimBootMonitor::kChipVpu3, 601);
    fs::remove(folder_ / "bootspl-vpu3b0.bin");  // not needed when a loader runs
    initWith(folder_.string());
    monitor_->setBootState(VPU_BOOT_STATE_SPL_RUNNING);
    monitor_->plugUnbooted();
    EXPECT_EQ(vpu_usb_boot_target(), 0);
    EXPECT_FALSE(monitor_->bootDetectRan());
    EXPECT_FALSE(wroteTo(VPU_ADDR_SPL));
    EXPECT_TRUE(log_.has("vpu_usb_bootdetect (bootfix):"));
    EXPECT_TRUE(log_.has("detected bootId: 601"));
    const SimBootMonitor::LoadTable table;
    EXPECT_EQ(monitor_->jumps(), std::vector<uint32_t>{table.jump});
    EXPECT_TRUE(monitor_->waitForReenumeration(2000ms));
}

TEST_F(UsbBootTest, MissingProductionDataBootsAsIdZero) {
    SimBootMonitor::writeBootFolder(folder_, SimBootMonitor::kChipVpu3, 0);
    initWith(folder_.string());
    monitor_->setProductionData(std::nullopt);
    monitor_->plugUnbooted();
    EXPECT_EQ(vpu_usb_boot_target(), 0);
    EXPECT_TRUE(log_.has("vpu_flash: can't read production data (assuming bootId=0) "));
    EXPECT_TRUE(log_.has("\t\t    modelNumber: unknown"));
    EXPECT_EQ(std::string(vpu_usb_boot_get_state()->dtbPath), path("vpu3-boot0.dtb"));
}

TEST_F(UsbBootTest, ProductionTextsWithoutTerminatorsAreCutToTheirField) {
    initWith("");
    const std::string longSerial(200, 'S');
    monitor_->setProductionData(SimBootMonitor::ProductionData{42, longSerial, std::string(128, 'M'), "m", "r"});
    monitor_->setBootState(VPU_BOOT_STATE_SPL_RUNNING);  // the record is already in memory
    monitor_->plugUnbooted();
    EXPECT_EQ(vpu_bootdetect_get_bootid(true), 42);
    EXPECT_TRUE(log_.has("serialNumber: " + std::string(127, 'S')));
    EXPECT_FALSE(log_.has(std::string(128, 'S')));
    EXPECT_FALSE(log_.has(std::string(128, 'M')));
}

TEST_F(UsbBootTest, MarkedRecordThatCannotBeReadCountsAsNoData) {
    initWith("");
    monitor_->setBootState(VPU_BOOT_STATE_SPL_RUNNING);
    monitor_->plugUnbooted();
    monitor_->addFault(SimBootMonitor::Op::Read, VPU_ADDR_PRODUCTION_DATA, SimBootMonitor::Fault::ErrorCode);
    EXPECT_EQ(vpu_bootdetect_get_bootid(false), 0);
    EXPECT_TRUE(log_.has("can't read production data"));
    EXPECT_TRUE(log_.has("\t\t   serialNumber: unknown"));
}

TEST_F(UsbBootTest, LoaderThatNeverAnswersEndsTheWaitAfter200Tries) {
    SimBootMonitor::writeBootFolder(folder_, SimBootMonitor::kChipVpu3, 601);
    initWith(folder_.string());
    monitor_->setBootState(VPU_BOOT_STATE_SPL_RUNNING);
    monitor_->setLoaderNeverReady(true);
    monitor_->plugUnbooted();
    vpu_usb_boot_state* state = vpu_usb_boot_get_state();
    state->jump = state->zImage = state->dtb = state->app = 0x1234;
    vpu_usb_boot_hotplug_handler(VPU_USB_HOTPLUG_ARRIVED, false);
    EXPECT_EQ(statuses(), std::vector<int32_t>{VPU_USB_BOOT_STATUS_BOOT_FAILED});
    EXPECT_TRUE(log_.has("Failed read or target timeout on SPL complete(200 tries X 1 msec)"));
    EXPECT_EQ(state->jump | state->zImage | state->dtb | state->app, 0u);
    size_t handshakeReads = 0;
    for (const auto& request : monitor_->requests()) {
        handshakeReads += request.op == SimBootMonitor::Op::Read && request.address == VPU_REG_SPL_HANDSHAKE;
    }
    EXPECT_EQ(handshakeReads, 200u);
    EXPECT_FALSE(monitor_->reenumerated());
}

TEST_F(UsbBootTest, MissingApplicationImageIsNamedBeforeAnyImageIsWritten) {
    SimBootMonitor::writeBootFolder(folder_, SimBootMonitor::kChipVpu3, 601);
    fs::remove(folder_ / "vpu3.lz4");
    initWith(folder_.string());
    monitor_->plugUnbooted();
    EXPECT_EQ(vpu_usb_boot_target(), 11);
    EXPECT_TRUE(log_.has("vpu_usb_boot: can't open " + path("vpu3.lz4")));
    EXPECT_FALSE(wroteTo(VPU_ADDR_SPL));
    EXPECT_EQ(monitor_->jumps(), std::vector<uint32_t>{VPU_ADDR_BOOTDETECT});
}

TEST_F(UsbBootTest, MissingKernelOrDeviceTreeFailsWithEleven) {
    SimBootMonitor::writeBootFolder(folder_, SimBootMonitor::kChipVpu3, 5);  // no tree for id 601
    initWith(folder_.string());
    monitor_->setBootState(VPU_BOOT_STATE_SPL_RUNNING);
    monitor_->plugUnbooted();
    EXPECT_EQ(vpu_usb_boot_target(), 11);
    EXPECT_TRUE(log_.has("vpu_usb_boot: can't open " + path("vpu3-boot601.dtb")));

    fs::remove(folder_ / "zImage");
    EXPECT_EQ(vpu_usb_boot_target(), 11);
    EXPECT_TRUE(log_.has("vpu_usb_boot: can't open " + path("zImage")));
}

TEST_F(UsbBootTest, UnknownChipVersionIsElevenWithoutAFileMessage) {
    SimBootMonitor::writeBootFolder(folder_, SimBootMonitor::kChipVpu3, 601);
    initWith(folder_.string(), 601);
    monitor_->setChipVersion(0x50000000);
    monitor_->plugUnbooted();
    EXPECT_EQ(vpu_usb_boot_target(), 11);
    EXPECT_TRUE(log_.has("Unhandled chip version: 50000000"));
    EXPECT_FALSE(log_.has("can't open"));
}

TEST_F(UsbBootTest, BootFilePathsThatDoNotFitAreRefusedNotCut) {
    // A folder that fits, whose device-tree path does not: cut short it
    // would name another file ("...vpu3-boot6" instead of "...601.dtb").
    const fs::path deep = folder_ / std::string(245 - folder_.string().size() - 1, 'x');
    fs::create_directories(deep);
    SimBootMonitor::writeBootFolder(deep, SimBootMonitor::kChipVpu3, 601);
    const std::string cut = (deep / "vpu3-boot601.dtb").string().substr(0, 255);
    std::ofstream(cut).put('x');
    initWith(deep.string());
    monitor_->setBootState(VPU_BOOT_STATE_SPL_RUNNING);
    monitor_->plugUnbooted();
    EXPECT_EQ(vpu_usb_boot_target(), 11);
    EXPECT_TRUE(log_.has("vpu_usb_boot: can't open"));
    EXPECT_FALSE(wroteTo(SimBootMonitor::LoadTable().app));
}

TEST_F(UsbBootTest, EmptyFolderBootTargetWarnsAndGivesTen) {
    initWith("");
    monitor_->plugUnbooted();
    EXPECT_EQ(vpu_usb_boot_target(), 10);
    EXPECT_TRUE(log_.has("No boot files were provided and the device is unbooted"));
}

TEST_F(UsbBootTest, BootDetectionThatNeverFinishesGivesUpAfterItsTwoSecondBound) {
    initWith("");
    monitor_->setBootDetectHangs(true);
    monitor_->plugUnbooted();
    EXPECT_EQ(vpu_bootdetect_init(VPU_CHIP_VPU3), -1);
    EXPECT_TRUE(log_.has("Boot detection did not finish after 40 polls"));
}

TEST_F(UsbBootTest, UnplugAtEveryStepOfABootFailsItWithoutHanging) {
    SimBootMonitor::writeBootFolder(folder_, SimBootMonitor::kChipVpu3, 601);
    initWith(folder_.string());
    // Count the requests of a whole boot with a running loader first.
    size_t total = 0;
    {
        SimBootMonitor probe(*bus_);
        monitor_.reset();
        probe.setBootState(VPU_BOOT_STATE_SPL_RUNNING);
        probe.setProductionData(SimBootMonitor::ProductionData{601, "s", "m", "n", "r"});
        probe.plugUnbooted();
        vpu_usb_boot_hotplug_handler(VPU_USB_HOTPLUG_ARRIVED, false);
        ASSERT_EQ(statuses(), std::vector<int32_t>{VPU_USB_BOOT_STATUS_BOOTING});
        total = probe.requests().size();
        ASSERT_TRUE(probe.waitForReenumeration(2000ms));
    }
    ASSERT_GT(total, 10u);
    for (uint32_t step = 0; step < total; ++step) {
        SimUsb::installFresh();
        ASSERT_EQ(vpu_usb_boot_init(folder_.string().c_str(), &StatusRecorder::callback, -1, nullptr), 0);
        SimBootMonitor device(*bus_);
        device.setBootState(VPU_BOOT_STATE_SPL_RUNNING);
        device.setProductionData(SimBootMonitor::ProductionData{601, "s", "m", "n", "r"});
        device.addFault(SimBootMonitor::Op::Any, std::nullopt, SimBootMonitor::Fault::Unplug, step);
        device.plugUnbooted();
        {
            std::lock_guard<std::mutex> lock(recorder.mutex);
            recorder.statuses.clear();
        }
        vpu_usb_boot_hotplug_handler(VPU_USB_HOTPLUG_ARRIVED, false);
        EXPECT_EQ(statuses(), std::vector<int32_t>{VPU_USB_BOOT_STATUS_BOOT_FAILED}) << "step " << step;
        EXPECT_FALSE(device.reenumerated());
    }
}

TEST_F(UsbBootTest, UnplugDuringBootDetectionFailsTheBoot) {
    SimBootMonitor::writeBootFolder(folder_, SimBootMonitor::kChipVpu3, 0);
    initWith(folder_.string());
    monitor_->addFault(SimBootMonitor::Op::Jump, VPU_ADDR_BOOTDETECT, SimBootMonitor::Fault::Unplug);
    monitor_->plugUnbooted();
    vpu_usb_boot_hotplug_handler(VPU_USB_HOTPLUG_ARRIVED, false);
    EXPECT_EQ(statuses(), std::vector<int32_t>{VPU_USB_BOOT_STATUS_BOOT_FAILED});
    EXPECT_FALSE(monitor_->reenumerated());
}

// ---------------------------------------------------------------------------
// Files

TEST_F(UsbBootTest, LoadFileGivesTheWholeFileOrNothing) {
    const Bytes data = SimBootMonitor::imageBytes("zImage", 3000, 0);
    {
        std::ofstream out(folder_ / "whole.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    uint32_t size = 0;
    std::unique_ptr<uint8_t, void (*)(void*)> buffer(load_file(path("whole.bin").c_str(), &size), &std::free);
    ASSERT_NE(buffer, nullptr);
    ASSERT_EQ(size, 3000u);
    EXPECT_EQ(Bytes(buffer.get(), buffer.get() + size), data);

    EXPECT_EQ(load_file(path("absent.bin").c_str(), &size), nullptr);
    EXPECT_TRUE(log_.has("ERROR: Failed to open file " + path("absent.bin")));

    std::ofstream(folder_ / "empty.bin").close();
    EXPECT_EQ(load_file(path("empty.bin").c_str(), &size), nullptr);
    EXPECT_TRUE(log_.has("ERROR: read file " + path("empty.bin") + " error or eof"));

    EXPECT_EQ(load_file(folder_.string().c_str(), &size), nullptr);  // a folder is no image
}

TEST(UsbBootPrograms, CarryTheirHeaderAndSize) {
    ASSERT_EQ(vpu_bootdetect_vpu3.size(), 7452u);
    ASSERT_EQ(vpu_bootdetect_vpu4.size(), 460u);
    const Bytes vpu3(vpu_bootdetect_vpu3.begin(), vpu_bootdetect_vpu3.end());
    const Bytes vpu4(vpu_bootdetect_vpu4.begin(), vpu_bootdetect_vpu4.end());
    EXPECT_EQ(wordAt(vpu3, 0), SimBootMonitor::kProgramMagic);
    EXPECT_EQ(wordAt(vpu3, 4), VPU_CHIP_VPU3);
    EXPECT_EQ(wordAt(vpu3, 8), 7452u);
    EXPECT_EQ(wordAt(vpu4, 4), VPU_CHIP_VPU4);
    EXPECT_EQ(wordAt(vpu4, 8), 460u);
    EXPECT_NE(Bytes(vpu3.begin() + 12, vpu3.begin() + 460), Bytes(vpu4.begin() + 12, vpu4.end()));
}

}  // namespace
