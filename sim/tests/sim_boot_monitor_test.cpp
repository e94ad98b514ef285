#include "sim/sim_boot_monitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <thread>

#include "platform/tests/temp_folder.h"
#include "runtime/usb_transport.h"
#include "sim/sim_usb.h"

namespace {

using namespace std::chrono_literals;
using zsim::Bytes;
using zsim::SimBootMonitor;
using zsim::SimUsb;
using Op = SimBootMonitor::Op;
using Fault = SimBootMonitor::Fault;

Bytes words(std::initializer_list<uint32_t> values) {
    Bytes out;
    for (uint32_t v : values) {
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
    }
    return out;
}

uint32_t wordAt(const Bytes& bytes, size_t offset) {
    uint32_t value = 0;
    for (int b = 0; b < 4; ++b) value |= static_cast<uint32_t>(bytes.at(offset + b)) << (8 * b);
    return value;
}

// The host's side, by hand: one transfer out, one answer back.
class SimBootMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus_ = &SimUsb::installFresh();
        monitor_ = std::make_unique<SimBootMonitor>(*bus_);
    }
    void TearDown() override {
        monitor_.reset();
        bus_->reset();
    }

    Bytes exchange(const Bytes& request) {
        uint32_t moved = 0;
        EXPECT_EQ(vpu_usb_write_bulk(0, request.data(), static_cast<uint32_t>(request.size()), &moved), 0);
        Bytes answer(4096);
        uint32_t got = 0;
        if (vpu_usb_read_bulk(0, answer.data(), 4096, &got) != 0) return {};
        answer.resize(got);
        return answer;
    }
    Bytes read(uint32_t address, uint32_t count) { return exchange(words({0x100, 8, address, count})); }
    uint32_t readWord(uint32_t address) { return wordAt(read(address, 4), 12); }
    Bytes write(uint32_t address, const Bytes& data) {
        Bytes request = words({0x120, static_cast<uint32_t>(data.size()) + 4, address});
        request.insert(request.end(), data.begin(), data.end());
        return exchange(request);
    }
    Bytes jump(uint32_t address) {
        Bytes request = words({0x310, 4, address});
        request.resize(2060, 0);
        return exchange(request);
    }
    // Loads and starts the boot-detect program the way the host does.
    void runBootDetect(uint32_t chip, uint32_t size) {
        Bytes program = words({SimBootMonitor::kProgramMagic, chip, size});
        program.resize(size, 0x5A);
        ASSERT_EQ(write(SimBootMonitor::kAddrBootDetect, program), words({0x123, 4, 0}));
        ASSERT_EQ(jump(SimBootMonitor::kAddrBootDetect), words({0x313, 4, 0}));
    }
    void startLoader() {
        ASSERT_EQ(write(SimBootMonitor::kAddrLoader,
                        SimBootMonitor::imageBytes("bootspl-vpu3b0.bin", 64, SimBootMonitor::kChipVpu3)),
                  words({0x123, 4, 0}));
        ASSERT_EQ(jump(SimBootMonitor::kAddrLoader), words({0x313, 4, 0}));
    }

    SimUsb* bus_ = nullptr;
    std::unique_ptr<SimBootMonitor> monitor_;
};

TEST_F(SimBootMonitorTest, AnswersReadsAndWritesOverItsMemory) {
    monitor_->plugUnbooted();
    EXPECT_TRUE(bus_->isRegistered(0));
    EXPECT_FALSE(bus_->isRegistered(1));
    EXPECT_EQ(read(SimBootMonitor::kRegChipVersion, 4), words({0x103, 8, 0, SimBootMonitor::kChipVpu3}));
    EXPECT_EQ(write(0x4000, {1, 2, 3, 4, 5, 6, 7, 8}), words({0x123, 4, 0}));
    Bytes expected = words({0x103, 12, 0});
    expected.insert(expected.end(), {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(read(0x4000, 8), expected);
    // A page boundary is no boundary for the memory.
    EXPECT_EQ(write(0x4FFE, {9, 9, 9, 9}), words({0x123, 4, 0}));
    EXPECT_EQ(monitor_->memory(0x4FFE, 4), Bytes(4, 9));

    // Requests the monitor cannot serve are refused with an error code.
    EXPECT_EQ(read(0x4000, 4085), words({0x103, 4, SimBootMonitor::kBadRequest}));
    EXPECT_EQ(exchange(words({0x120, 40, 0x4000, 1})), words({0x123, 4, SimBootMonitor::kBadRequest}));
    EXPECT_EQ(monitor_->requests().size(), 6u);
}

TEST_F(SimBootMonitorTest, BootDetectProgramPublishesTheProductionData) {
    monitor_->setProductionData(SimBootMonitor::ProductionData{601, "SER", "Maker", "Model", "Rev"});
    monitor_->plugUnbooted();
    EXPECT_EQ(readWord(SimBootMonitor::kAddrMarker), 0u);
    // A program for the other chip, or of the wrong size, is not run.
    Bytes wrong = words({SimBootMonitor::kProgramMagic, SimBootMonitor::kChipVpu4, 460});
    wrong.resize(460);
    write(SimBootMonitor::kAddrBootDetect, wrong);
    EXPECT_EQ(jump(SimBootMonitor::kAddrBootDetect), words({0x313, 4, SimBootMonitor::kJumpRefused}));
    EXPECT_FALSE(monitor_->bootDetectRan());

    runBootDetect(SimBootMonitor::kChipVpu3, 7452);
    EXPECT_TRUE(monitor_->bootDetectRan());
    EXPECT_EQ(readWord(SimBootMonitor::kRegDetectDone), 2u);
    EXPECT_EQ(readWord(SimBootMonitor::kAddrMarker), 218u);
    const Bytes record = read(SimBootMonitor::kAddrRecord, 659);
    ASSERT_EQ(record.size(), 12u + 659u);
    EXPECT_EQ(wordAt(record, 12), 601u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&record[16])), "SER");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&record[16 + 128])), "Maker");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&record[16 + 384])), "Rev");
}

TEST_F(SimBootMonitorTest, HangingProgramNeverSetsItsDoneRegister) {
    monitor_->setBootDetectHangs(true);
    monitor_->setChipVersion(SimBootMonitor::kChipVpu4);
    monitor_->plugUnbooted();
    runBootDetect(SimBootMonitor::kChipVpu4, 460);
    EXPECT_TRUE(monitor_->bootDetectRan());
    EXPECT_EQ(readWord(SimBootMonitor::kRegDetectDone), 0u);
}

TEST_F(SimBootMonitorTest, LoaderHandshakeTableAndKernelJumpReenumerateTheDevice) {
    monitor_->setLoaderReadyAfterReads(2);
    monitor_->plugUnbooted();
    // The kernel address means nothing before a loader runs.
    EXPECT_EQ(jump(SimBootMonitor::LoadTable().jump), words({0x313, 4, SimBootMonitor::kJumpRefused}));
    startLoader();
    EXPECT_TRUE(monitor_->loaderRunning());
    EXPECT_NE(readWord(SimBootMonitor::kRegHandshake), 0x101u);
    EXPECT_NE(readWord(SimBootMonitor::kRegHandshake), 0x101u);
    EXPECT_EQ(readWord(SimBootMonitor::kRegHandshake), 0x101u);
    const uint32_t table = readWord(SimBootMonitor::kRegTablePointer);
    const Bytes entries = read(table, 16);
    const SimBootMonitor::LoadTable expected;
    EXPECT_EQ(Bytes(entries.begin() + 12, entries.end()),
              words({expected.jump, expected.zImage, expected.dtb, expected.app}));
    // Until the host has taken the table (by writing the app address), no kernel starts.
    EXPECT_EQ(jump(expected.jump), words({0x313, 4, SimBootMonitor::kJumpRefused}));
    write(SimBootMonitor::kRegHandshake, words({expected.app}));
    EXPECT_EQ(monitor_->handshakeWritten(), expected.app);

    EXPECT_EQ(jump(expected.jump), words({0x313, 4, 0}));
    ASSERT_TRUE(monitor_->waitForReenumeration(2000ms));
    for (uint8_t i = 0; i < 5; ++i) EXPECT_TRUE(bus_->isRegistered(i)) << int(i);
    // Interface 0 is now the control interface: the monitor no longer answers there.
    uint32_t moved = 0;
    const Bytes request = words({0x100, 8, SimBootMonitor::kRegChipVersion, 4});
    ASSERT_EQ(vpu_usb_write_bulk(0, request.data(), 16, &moved), 0);
    EXPECT_EQ(bus_->pendingToHost(0), 0u);
    Bytes taken;
    EXPECT_TRUE(bus_->deviceReceive(0, &taken, 100ms));
    EXPECT_EQ(taken, request);
}

TEST_F(SimBootMonitorTest, LoaderLeftRunningWaitsForTheHostsHandshake) {
    monitor_->setBootState(SimBootMonitor::kStateLoaderPresent);
    monitor_->setProductionData(SimBootMonitor::ProductionData{9, "s", "m", "n", "r"});
    monitor_->plugUnbooted();
    EXPECT_EQ(readWord(SimBootMonitor::kRegBootState), SimBootMonitor::kStateLoaderPresent);
    EXPECT_EQ(readWord(SimBootMonitor::kAddrMarker), 218u);
    EXPECT_NE(readWord(SimBootMonitor::kRegHandshake), 0x101u);
    EXPECT_NE(readWord(SimBootMonitor::kRegHandshake), 0x101u);
    write(SimBootMonitor::kRegHandshake, words({0x100}));
    EXPECT_EQ(readWord(SimBootMonitor::kRegHandshake), 0x101u);
}

TEST_F(SimBootMonitorTest, LoaderThatNeverGetsReadyKeepsItsBusyValue) {
    monitor_->setLoaderNeverReady(true);
    monitor_->plugUnbooted();
    startLoader();
    for (int i = 0; i < 20; ++i) EXPECT_NE(readWord(SimBootMonitor::kRegHandshake), 0x101u);
    EXPECT_EQ(readWord(SimBootMonitor::kRegTablePointer), 0u);
}

TEST_F(SimBootMonitorTest, ScriptedFaultsHitTheChosenRequestOnce) {
    monitor_->plugUnbooted();
    monitor_->addFault(Op::Write, 0x7000u, Fault::ErrorCode, 1);
    EXPECT_EQ(write(0x7000, {1, 1, 1, 1}), words({0x123, 4, 0}));  // skipped once
    EXPECT_EQ(write(0x7004, {2, 2, 2, 2}), words({0x123, 4, 0}));  // other address
    EXPECT_EQ(write(0x7000, {3, 3, 3, 3}), words({0x123, 4, 5}));
    EXPECT_EQ(monitor_->memory(0x7000, 4), Bytes(4, 1));            // refused: not written
    EXPECT_EQ(write(0x7000, {4, 4, 4, 4}), words({0x123, 4, 0}));  // used up

    monitor_->addFault(Op::Read, std::nullopt, Fault::WrongCode);
    EXPECT_EQ(wordAt(read(0x7000, 4), 0), 0x123u);
    monitor_->addFault(Op::Jump, std::nullopt, Fault::Truncated);
    EXPECT_EQ(jump(0x9000), words({0x313, 4}));

    monitor_->addFault(Op::Any, std::nullopt, Fault::Silent);
    uint32_t moved = 0;
    const Bytes request = words({0x100, 8, 0x7000, 4});
    ASSERT_EQ(vpu_usb_write_bulk(0, request.data(), 16, &moved), 0);
    EXPECT_EQ(bus_->pendingToHost(0), 0u);

    monitor_->addFault(Op::Read, std::nullopt, Fault::Unplug);
    ASSERT_EQ(vpu_usb_write_bulk(0, request.data(), 16, &moved), 0);
    EXPECT_FALSE(bus_->isRegistered(0));
    EXPECT_FALSE(monitor_->reenumerated());
}

TEST(SimBootImages, FolderHoldsTheNamesTheHostLooksFor) {
    const zarn::testing::TempFolder temp("sim_boot_images");
    const std::filesystem::path& folder = temp.path();
    SimBootMonitor::ImageSizes sizes;
    sizes.kernel = 100;
    sizes.dtb = 30;
    sizes.app = 50;
    sizes.loader = 40;
    SimBootMonitor::writeBootFolder(folder, SimBootMonitor::kChipVpu4, 12, sizes);
    EXPECT_EQ(std::filesystem::file_size(folder / "zImage"), 100u);
    EXPECT_EQ(std::filesystem::file_size(folder / "vpu4-boot12.dtb"), 30u);
    EXPECT_EQ(std::filesystem::file_size(folder / "vpu4.lz4"), 50u);
    EXPECT_EQ(std::filesystem::file_size(folder / "bootspl-vpu4a0.bin"), 40u);
    std::ifstream in(folder / "bootspl-vpu4a0.bin", std::ios::binary);
    const Bytes loader((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(wordAt(loader, 0), SimBootMonitor::kLoaderMagic);
    EXPECT_EQ(wordAt(loader, 4), SimBootMonitor::kChipVpu4);
    // Same name, same bytes; different names, different bytes.
    EXPECT_EQ(SimBootMonitor::imageBytes("zImage", 64, 0), SimBootMonitor::imageBytes("zImage", 64, 0));
    EXPECT_NE(SimBootMonitor::imageBytes("zImage", 64, 0), SimBootMonitor::imageBytes("vpu3.lz4", 64, 0));
}

}  // namespace
