// The simulated firmware driven the way a host drives the sensor: framed
// requests written with vpu_usb_write_bulk, framed responses read back with
// vpu_usb_read_bulk, and nothing else.
#include "sim/sim_firmware.h"

#include <gtest/gtest.h>

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/io.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/os_layer.h"
#include "runtime/usb_transport.h"
#include "sim/sim_package.h"

namespace {

using namespace std::chrono_literals;
using zsim::Bytes;
using zsim::ReplyPlan;
using zsim::SimFirmware;
using zsim::SimUsb;
namespace mc = morv::client;

constexpr uint8_t kClient = 4;
constexpr auto kBound = 5s;  // only keeps a broken build from hanging
const Bytes kSync = {0xC0, 0xFF, 0xEE, 0x00};

// Host-side reads through the transport front end, always whole.
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

Bytes readExact(size_t count) {
    Bytes bytes(count);
    BulkIn in;
    EXPECT_EQ(count, in.tryRead(bytes.data(), count, count));
    return bytes;
}

// One response, copied out of the pipe so that it outlives the reader.
struct Reply {
    std::unique_ptr<capnp::MallocMessageBuilder> copy = std::make_unique<capnp::MallocMessageBuilder>();
    mc::Response::Reader get() { return copy->getRoot<mc::Response>().asReader(); }
};

Reply readReply() {
    EXPECT_EQ(kSync, readExact(4));
    BulkIn in;
    capnp::InputStreamMessageReader reader(in);
    Reply reply;
    reply.copy->setRoot(reader.getRoot<mc::Response>());
    return reply;
}

Bytes frameOf(capnp::MessageBuilder& builder) {
    Bytes bytes = kSync;
    const auto words = capnp::messageToFlatArray(builder);
    const auto raw = words.asBytes();
    bytes.insert(bytes.end(), raw.begin(), raw.end());
    return bytes;
}

void hostWrite(const Bytes& bytes) {
    uint32_t written = 0;
    ASSERT_EQ(0, vpu_usb_write_bulk(kClient, bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
    ASSERT_EQ(bytes.size(), written);
}

// Writes a request the way the host does: sync bytes, segment table,
// segments, each its own transfer.
void sendRequest(capnp::MessageBuilder& builder) {
    hostWrite(kSync);
    const auto segments = builder.getSegmentsForOutput();
    Bytes table;
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) table.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put32(static_cast<uint32_t>(segments.size() - 1));
    for (const auto& segment : segments) put32(static_cast<uint32_t>(segment.size()));
    if (table.size() % 8 != 0) put32(0);
    hostWrite(table);
    for (const auto& segment : segments) {
        const auto bytes = segment.asBytes();
        hostWrite(Bytes(bytes.begin(), bytes.end()));
    }
}

void sendGetDevInfo(uint32_t id) {
    capnp::MallocMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(id);
    request.getMsg().setGetDevInfo();
    sendRequest(builder);
}

class SimFirmwareTest : public ::testing::Test {
protected:
    void SetUp() override {
        usb = &SimUsb::installFresh();
        usb->plug({kClient});
        firmware = std::make_unique<SimFirmware>(*usb);
        firmware->setReportStateOnAttach(false);
    }
    void TearDown() override {
        firmware.reset();
        usb->reset();
    }
    // Waits for the firmware to have handled `count` requests in all.
    void handled(size_t count) { ASSERT_TRUE(firmware->waitForRequests(count, kBound)); }

    SimUsb* usb = nullptr;
    std::unique_ptr<SimFirmware> firmware;
};

TEST_F(SimFirmwareTest, AttachSendsStateReportAndAgainAfterReplug) {
    firmware->setReportStateOnAttach(true);
    firmware->setDeviceState(2 /* secondary */, 6 /* fwCorrupt */);
    firmware->start();
    ASSERT_TRUE(firmware->waitForStateReports(1, kBound));
    Reply report = readReply();
    EXPECT_EQ(mc::Error::SUCCESS, report.get().getError());
    ASSERT_EQ(mc::Response::Msg::DEVICE_STATE, report.get().getMsg().which());
    EXPECT_EQ(mc::Processor::SECONDARY, report.get().getMsg().getDeviceState().getProcessor());
    EXPECT_EQ(mc::State::FW_CORRUPT, report.get().getMsg().getDeviceState().getState());

    usb->unplug();
    firmware->setDeviceState(1, 2);
    usb->plug({kClient});
    ASSERT_TRUE(firmware->waitForStateReports(2, kBound));
    Reply again = readReply();
    EXPECT_EQ(mc::Processor::PRIMARY, again.get().getMsg().getDeviceState().getProcessor());
    EXPECT_EQ(mc::State::READY, again.get().getMsg().getDeviceState().getState());
}

TEST_F(SimFirmwareTest, GetDevInfoAnswersEveryConfiguredFieldWithIdPlusOne) {
    zsim::SimDeviceInfo info;
    info.id = 1;
    info.variant = 0x01020304;
    info.name = "Zarn test";
    info.serial = "SN-42";
    info.manufacturer = "Example Optics";
    info.model = "ZR-2";
    info.credential = "cred";
    info.color = 4;
    info.hasBattery = true;
    info.disableLeds = true;
    info.birthday = 0x1122334455667788ull;
    info.fwMajor = 1;
    info.fwMinor = 2;
    info.fwRevision = 3;
    info.fwBuildType = 2;
    info.usbSpeed = 5;
    info.hwName = "HW-7";
    info.irCamModel = 11;
    info.irCamType = 12;
    info.visCamModel = 13;
    info.visCamType = 14;
    info.laserModel = 15;
    firmware->setDeviceInfo(info);
    firmware->start();

    sendGetDevInfo(0xFFFFFFFFu);  // the reply id wraps around to 0
    handled(1);
    Reply reply = readReply();
    EXPECT_EQ(0u, reply.get().getId());
    EXPECT_EQ(mc::Error::SUCCESS, reply.get().getError());
    ASSERT_EQ(mc::Response::Msg::DEV_INFO, reply.get().getMsg().which());
    auto got = reply.get().getMsg().getDevInfo();
    EXPECT_EQ(mc::DeviceId::PLOVAR_ZARN, got.getId());
    EXPECT_EQ(0x01020304u, got.getVariant());
    EXPECT_EQ("Zarn test", std::string(got.getName().cStr()));
    EXPECT_EQ("SN-42", std::string(got.getSerial().cStr()));
    EXPECT_EQ("Example Optics", std::string(got.getManufacturer().cStr()));
    EXPECT_EQ("ZR-2", std::string(got.getModel().cStr()));
    EXPECT_EQ("cred", std::string(got.getCredential().cStr()));
    EXPECT_EQ(mc::Color::DARK_GRAY, got.getColor());
    EXPECT_TRUE(got.getHasBattery());
    EXPECT_TRUE(got.getDisableLeds());
    EXPECT_EQ(0x1122334455667788ull, got.getBirthday());
    EXPECT_EQ(1, got.getFwVer().getMajor());
    EXPECT_EQ(2, got.getFwVer().getMinor());
    EXPECT_EQ(3, got.getFwVer().getRevision());
    EXPECT_EQ(mc::BuildType::BETA, got.getFwVer().getType());
    EXPECT_EQ(5, got.getUsbSpeed());
    EXPECT_EQ("HW-7", std::string(got.getHwName().cStr()));
    EXPECT_EQ(11, got.getIrCamModel());
    EXPECT_EQ(12, got.getIrCamType());
    EXPECT_EQ(13, got.getVisCamModel());
    EXPECT_EQ(14, got.getVisCamType());
    EXPECT_EQ(15, got.getLaserModel());
    EXPECT_EQ(std::vector<uint16_t>{static_cast<uint16_t>(mc::Request::Msg::GET_DEV_INFO)}, firmware->requestKinds());
}

TEST_F(SimFirmwareTest, ClockSyncAnswersDeviceTimeAndTakesOverTheOffsetSent) {
    const int64_t offset = 5'000'000'000;
    firmware->setClockOffsetNs(offset);
    firmware->start();

    capnp::MallocMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(77);
    request.getMsg().initClkSync();
    const int64_t before = OS_LYRG_getNsecTime();
    sendRequest(builder);
    handled(1);
    Reply reply = readReply();
    const int64_t after = OS_LYRG_getNsecTime();
    EXPECT_EQ(78u, reply.get().getId());
    ASSERT_EQ(mc::Response::Msg::CLK_SYNC, reply.get().getMsg().which());
    const auto sync = reply.get().getMsg().getClkSync();
    const int64_t device = sync.getSec() * 1'000'000'000 + sync.getNano();
    EXPECT_GE(device, before + offset);
    EXPECT_LE(device, after + offset);
    EXPECT_LT(sync.getNano(), 1'000'000'000);

    auto set = request.getMsg().initClkSync();
    request.setId(79);
    set.setSetClk(true);
    set.setSec(-1);
    set.setNano(-500'000'000);
    set.setForceJump(true);
    sendRequest(builder);
    handled(2);
    Reply setReply = readReply();
    EXPECT_EQ(80u, setReply.get().getId());
    const auto sets = firmware->clockSets();
    ASSERT_EQ(1u, sets.size());
    EXPECT_EQ(-1, sets[0].sec);
    EXPECT_EQ(-500'000'000, sets[0].nano);
    EXPECT_TRUE(sets[0].forceJump);
    EXPECT_EQ(offset - 1'500'000'000, firmware->clockOffsetNs());
}

TEST_F(SimFirmwareTest, SetModeIsRecordedAnsweredAndRebootRemovesTheDevice) {
    firmware->setDeviceState(1, 2);
    firmware->start();
    capnp::MallocMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(10);
    request.getMsg().initSetMode().setMode(mc::DeviceMode::LOW_POWER);
    sendRequest(builder);
    handled(1);
    Reply reply = readReply();
    EXPECT_EQ(11u, reply.get().getId());
    EXPECT_EQ(mc::Error::SUCCESS, reply.get().getError());
    ASSERT_EQ(mc::Response::Msg::DEVICE_STATE, reply.get().getMsg().which());
    EXPECT_EQ(mc::State::READY, reply.get().getMsg().getDeviceState().getState());
    EXPECT_TRUE(usb->isRegistered(kClient));

    firmware->setRebootUnplugs(true);
    request.setId(12);
    request.getMsg().initSetMode().setMode(mc::DeviceMode::WARM_REBOOT);
    sendRequest(builder);
    handled(2);
    EXPECT_FALSE(usb->isRegistered(kClient));
    EXPECT_EQ((std::vector<uint16_t>{1, 2}), firmware->modesSet());
}

TEST_F(SimFirmwareTest, UnimplementedRequestIsAnsweredNotSupported) {
    firmware->start();
    capnp::MallocMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(3);
    request.getMsg().setSyncProdData();
    sendRequest(builder);
    handled(1);
    Reply reply = readReply();
    EXPECT_EQ(4u, reply.get().getId());
    EXPECT_EQ(mc::Error::NOT_SUPPORTED, reply.get().getError());
}

// --- firmware update ------------------------------------------------------

Bytes fwRequestFrame(capnp::MallocMessageBuilder& builder, uint32_t id, const Bytes& package) {
    auto request = builder.initRoot<mc::Request>();
    request.setId(id);
    auto update = request.getMsg().initFwUpdate();
    update.setFwFile(kj::arrayPtr(package.data(), package.size()));
    update.setTimestamp(123456789);
    update.setMoreToFollow(true);
    update.setParition(mc::FlashParition::TOGGLE);
    update.setAllowDowngrade(false);
    auto version = update.initVersion();
    version.setMajor(1);
    version.setMinor(2);
    version.setRevision(3);
    version.setType(mc::BuildType::RELEASE);
    return frameOf(builder);
}

TEST_F(SimFirmwareTest, FirmwareUpdateReportsEraseWriteVerifyAndInstallsTheVersion) {
    const Bytes package = zsim::buildTestFirmwareArchive(64 * 1024);
    firmware->setFlashTiming(16 * 1024, 0us);
    firmware->start();
    capnp::MallocMessageBuilder builder;
    fwRequestFrame(builder, 500, package);
    sendRequest(builder);
    handled(1);

    const uint32_t blocks = static_cast<uint32_t>((package.size() + 16 * 1024 - 1) / (16 * 1024));
    for (uint16_t action = 0; action < 3; ++action) {
        for (uint32_t block = 1; block <= blocks; ++block) {
            Reply progress = readReply();
            // Progress must never complete the host's pending request (key 501).
            EXPECT_NE(501u, progress.get().getId());
            EXPECT_EQ(mc::Error::SUCCESS, progress.get().getError());
            ASSERT_EQ(mc::Response::Msg::FLASH_UPDATE_STATUS, progress.get().getMsg().which());
            auto status = progress.get().getMsg().getFlashUpdateStatus();
            EXPECT_EQ(action, static_cast<uint16_t>(status.getAction()));
            EXPECT_EQ(block, status.getBlock());
            EXPECT_EQ(blocks, status.getTotalBlocks());
            ASSERT_TRUE(status.hasMsg());
            EXPECT_EQ("block " + std::to_string(block) + " of " + std::to_string(blocks),
                      std::string(status.getMsg().cStr()));
        }
    }
    Reply final = readReply();
    EXPECT_EQ(501u, final.get().getId());
    EXPECT_EQ(mc::Error::SUCCESS, final.get().getError());
    EXPECT_FALSE(final.get().getMsg().getFlashUpdateStatus().hasMsg());
    EXPECT_EQ(0u, usb->pendingToHost(kClient));

    const auto record = firmware->lastFwUpdate();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(package.size(), record->bytes);
    EXPECT_EQ(123456789u, record->timestamp);
    EXPECT_TRUE(record->moreToFollow);
    EXPECT_EQ(2, record->partition);
    EXPECT_EQ(19u, record->members.size());
    EXPECT_EQ("fw-update/bootfix.bin", record->members.front());
    EXPECT_EQ(5u, record->crcChecked);  // the five texts that sit next to what they cover
    EXPECT_EQ("", record->failure);
    EXPECT_EQ(static_cast<uint16_t>(mc::Error::SUCCESS), record->result);
    const auto info = firmware->deviceInfo();
    EXPECT_EQ(1, info.fwMajor);
    EXPECT_EQ(2, info.fwMinor);
    EXPECT_EQ(3, info.fwRevision);
    EXPECT_EQ(1, info.fwBuildType);
}

// The framed responses of one device transfer, as the host reads it (a
// read never spans two transfers).
std::vector<Reply> readTransferFrames(size_t* size) {
    Bytes transfer(64 * 1024);
    uint32_t got = 0;
    EXPECT_EQ(0, vpu_usb_read_bulk(kClient, transfer.data(), static_cast<uint32_t>(transfer.size()), &got));
    *size = got;
    std::vector<Reply> replies;
    kj::ArrayInputStream in(kj::arrayPtr(transfer.data(), got));
    while (in.tryGetReadBuffer().size() != 0) {
        in.skip(kSync.size());
        capnp::InputStreamMessageReader reader(in);
        replies.emplace_back().copy->setRoot(reader.getRoot<mc::Response>());
    }
    return replies;
}

// A flash that takes no time: each phase's reports at once, in order; the
// boundary is that of the port's packets.
TEST_F(SimFirmwareTest, FramesSentAtOnceShareATransferThatEndsOnAPacketBoundaryWhenTheirNumberIsEven) {
    firmware->setFlashTiming(1024, 0us);
    firmware->start();
    size_t requests = 0;
    size_t size = 0;
    const std::pair<uint32_t, uint32_t> runs[] = {{512, 1}, {512, 2}, {512, 3}, {512, 40}, {1024, 2}, {1024, 3}};
    for (const auto& [packet, blocks] : runs) {
        usb->setPacketSize(packet);
        firmware->setFlashBlockCount(blocks);
        capnp::MallocMessageBuilder builder;
        hostWrite(fwRequestFrame(builder, blocks, zsim::buildTestFirmwareArchive(16 * 1024)));
        handled(++requests);  // all of its answer is queued: no read below waits
        for (uint16_t action = 0; action < 3; ++action) {
            std::vector<Reply> progress = readTransferFrames(&size);
            EXPECT_EQ(blocks % 2 == 0, size % packet == 0) << packet << ": " << blocks << " blocks, " << size << " bytes";
            ASSERT_EQ(blocks, progress.size());
            for (uint32_t block = 1; block <= blocks; ++block) {
                const auto status = progress[block - 1].get().getMsg().getFlashUpdateStatus();
                EXPECT_EQ(action, static_cast<uint16_t>(status.getAction()));
                EXPECT_EQ(block, status.getBlock());
            }
        }
        EXPECT_EQ(blocks + 1, readReply().get().getId());
    }
}

TEST_F(SimFirmwareTest, ProgressWithoutTextWhenSwitchedOff) {
    firmware->setProgressText(false);
    firmware->setFlashTiming(1024 * 1024, 0us);
    firmware->start();
    capnp::MallocMessageBuilder builder;
    hostWrite(fwRequestFrame(builder, 1, zsim::buildTestFirmwareArchive(16 * 1024)));
    handled(1);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(readReply().get().getMsg().getFlashUpdateStatus().hasMsg());
    EXPECT_EQ(2u, readReply().get().getId());
}

struct Damage {
    const char* what;
    std::function<void(Bytes&)> apply;
    const char* failureStart;
};

size_t memberData(const Bytes& tar, const std::string& name) { return zsim::tarMemberDataOffset(tar, name); }

TEST_F(SimFirmwareTest, DamagedPackagesAreRefusedWithValidationFailedAndNoFlashing) {
    const Bytes good = zsim::buildTestFirmwareArchive(32 * 1024);
    const std::vector<Damage> damages = {
        {"flipped kernel byte", [](Bytes& p) { p[memberData(p, "fw-update/zImage") + 100] ^= 0x01; },
         "checksum mismatch: fw-update/zImage"},
        {"flipped boot byte", [](Bytes& p) { p[memberData(p, "fw-update/bootfix.bin")] ^= 0x80; },
         "checksum mismatch: fw-update/bootfix.bin"},
        {"upper-case checksum text",
         [](Bytes& p) {
             const size_t at = memberData(p, "fw-update/zImage.crc");
             for (size_t i = 0; i < 8; ++i) p[at + i] = 'A';
         },
         "malformed checksum text"},
        {"header checksum broken", [](Bytes& p) { p[memberData(p, "fw-update/zImage") - 512 + 1] ^= 0x20; },
         "archive"},
        {"cut inside a member", [](Bytes& p) { p.resize(memberData(p, "fw-update/vpu3.lz4") + 1000); }, "archive"},
        {"not an archive", [](Bytes& p) { p.assign(4096, 0x5A); }, "archive"},
        {"empty", [](Bytes& p) { p.clear(); }, ""},
    };
    firmware->start();
    uint32_t id = 1000;
    size_t count = 0;
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        Bytes package = good;
        damage.apply(package);
        capnp::MallocMessageBuilder builder;
        hostWrite(fwRequestFrame(builder, id, package));
        handled(++count);
        Reply reply = readReply();  // no progress comes first
        EXPECT_EQ(id + 1, reply.get().getId());
        EXPECT_EQ(mc::Error::VALIDATION_FAILED, reply.get().getError());
        const auto record = firmware->lastFwUpdate();
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(0u, record->failure.rfind(damage.failureStart, 0)) << record->failure;
        EXPECT_FALSE(record->failure.empty());
        EXPECT_EQ(static_cast<uint16_t>(mc::Error::VALIDATION_FAILED), record->result);
        EXPECT_EQ(0u, usb->pendingToHost(kClient));
        id += 10;
    }
    EXPECT_EQ(9, firmware->deviceInfo().fwMinor);  // nothing was installed
}

TEST_F(SimFirmwareTest, DeviceVanishingMidUpdateLeavesTheUpdateUnanswered) {
    firmware->setFlashTiming(4096, 0us);
    ReplyPlan plan;
    plan.kind = ReplyPlan::Kind::Unplug;
    plan.unplugAfterReports = 2;
    firmware->planNext(plan);
    firmware->start();
    capnp::MallocMessageBuilder builder;
    hostWrite(fwRequestFrame(builder, 1, zsim::buildTestFirmwareArchive(32 * 1024)));
    handled(1);
    EXPECT_FALSE(usb->isRegistered(kClient));
    ASSERT_TRUE(firmware->lastFwUpdate().has_value());
    EXPECT_EQ(0, firmware->lastFwUpdate()->result);
    EXPECT_EQ(0, firmware->deviceInfo().fwMajor);
}

TEST_F(SimFirmwareTest, StopInterruptsASlowFlash) {
    // One block per byte, half a minute each: a stop that the flash does not see
    // waits for at least the block in progress.
    constexpr auto kBlock = 30s;
    firmware->setFlashTiming(1, kBlock);
    firmware->start();
    capnp::MallocMessageBuilder builder;
    hostWrite(fwRequestFrame(builder, 1, zsim::buildTestFirmwareArchive(16 * 1024)));
    const auto started = std::chrono::steady_clock::now();
    firmware->stop();
    // Half a block lies far from both: an interrupted flash stops at once, one
    // that is not waits out its block.
    EXPECT_LT(std::chrono::steady_clock::now() - started, kBlock / 2);
    EXPECT_EQ(0u, usb->pendingToHost(kClient));
}

// --- framing on the device side ---------------------------------------------

TEST_F(SimFirmwareTest, ResynchronisesOnSyncBytesAfterGarbage) {
    firmware->start();
    capnp::MallocMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(20);
    request.getMsg().setGetDevInfo();
    const Bytes frame = frameOf(builder);

    // Partial runs of the sync bytes, the second C0 restarting the match.
    Bytes first = {0x01, 0xC0, 0xC0, 0xFF, 0xEE, 0xC0, 0xFF, 0xEE, 0xC0};
    first.insert(first.end(), frame.begin(), frame.end());
    hostWrite(first);
    handled(1);
    EXPECT_EQ(21u, readReply().get().getId());
    EXPECT_EQ(9u, firmware->skippedBytes());

    // The same frame one byte per transfer.
    request.setId(30);
    for (uint8_t byte : frameOf(builder)) hostWrite(Bytes{byte});
    handled(2);
    EXPECT_EQ(31u, readReply().get().getId());
    EXPECT_EQ(0u, firmware->undecodableCount());
}

TEST_F(SimFirmwareTest, UndecodableFramesAreDroppedAndTheNextRequestIsAnswered) {
    firmware->start();
    // A segment table no reader accepts: 600 segments.
    hostWrite(Bytes{0xC0, 0xFF, 0xEE, 0x00, 0x57, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});
    // A well-framed message whose root pointer points far outside its segment.
    hostWrite(Bytes{0xC0, 0xFF, 0xEE, 0x00, 0, 0, 0, 0, 1, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0x7F, 1, 0, 1, 0});
    sendGetDevInfo(40);
    handled(2);
    EXPECT_EQ(41u, readReply().get().getId());
    EXPECT_EQ(2u, firmware->undecodableCount());
}

// --- test plans ---------------------------------------------------------------

TEST_F(SimFirmwareTest, PlansShapeTheAnswers) {
    firmware->start();

    ReplyPlan error;
    error.kind = ReplyPlan::Kind::Error;
    error.error = static_cast<uint16_t>(mc::Error::INVALID_PARAMS);
    firmware->planNext(error);
    sendGetDevInfo(1);
    handled(1);
    Reply errorReply = readReply();
    EXPECT_EQ(2u, errorReply.get().getId());
    EXPECT_EQ(mc::Error::INVALID_PARAMS, errorReply.get().getError());

    ReplyPlan silent;
    silent.kind = ReplyPlan::Kind::Silent;
    firmware->planNext(silent);
    sendGetDevInfo(3);
    handled(2);
    EXPECT_EQ(0u, usb->pendingToHost(kClient));

    ReplyPlan garbage;
    garbage.garbageBefore = {0xC0, 0xFF, 0x12};
    garbage.replyId = 999;
    firmware->planNext(garbage);
    sendGetDevInfo(5);
    handled(3);
    EXPECT_EQ((Bytes{0xC0, 0xFF, 0x12}), readExact(3));
    EXPECT_EQ(999u, readReply().get().getId());

    ReplyPlan wrong;
    wrong.kind = ReplyPlan::Kind::WrongMember;
    firmware->planNext(wrong);
    sendGetDevInfo(7);
    handled(4);
    Reply wrongReply = readReply();
    EXPECT_EQ(8u, wrongReply.get().getId());
    EXPECT_EQ(mc::Error::SUCCESS, wrongReply.get().getError());
    EXPECT_EQ(mc::Response::Msg::DEVICE_STATE, wrongReply.get().getMsg().which());

    ReplyPlan undecodable;
    undecodable.kind = ReplyPlan::Kind::Undecodable;
    firmware->planNext(undecodable);
    sendGetDevInfo(9);
    handled(5);
    EXPECT_EQ((Bytes{0xC0, 0xFF, 0xEE, 0x00, 0x57, 0x02, 0, 0, 1, 0, 0, 0}), readExact(12));
    EXPECT_EQ(10u, readReply().get().getId());

    ReplyPlan truncated;
    truncated.kind = ReplyPlan::Kind::Truncated;
    firmware->planNext(truncated);
    sendGetDevInfo(11);
    handled(6);
    const size_t pending = usb->pendingToHost(kClient);
    EXPECT_GT(pending, 12u);
    EXPECT_EQ(kSync, readExact(4));
    readExact(pending - 4);
    EXPECT_EQ(0u, usb->pendingToHost(kClient));

    // With nothing planned the default plan holds.
    firmware->setDefaultPlan(error);
    sendGetDevInfo(13);
    handled(7);
    EXPECT_EQ(mc::Error::INVALID_PARAMS, readReply().get().getError());

    ReplyPlan unplug;
    unplug.kind = ReplyPlan::Kind::Unplug;
    firmware->planNext(unplug);
    sendGetDevInfo(15);
    handled(8);
    EXPECT_FALSE(usb->isRegistered(kClient));
}

TEST_F(SimFirmwareTest, PlanForOneKindWaitsForThatKindAndHookAnswersFirst) {
    ReplyPlan forClock;
    forClock.kind = ReplyPlan::Kind::Error;
    forClock.error = static_cast<uint16_t>(mc::Error::IO_ERROR);
    forClock.forKind = static_cast<uint16_t>(mc::Request::Msg::CLK_SYNC);
    firmware->planNext(forClock);
    firmware->start();

    sendGetDevInfo(1);  // passes the plan by
    handled(1);
    EXPECT_EQ(mc::Error::SUCCESS, readReply().get().getError());

    capnp::MallocMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(3);
    request.getMsg().initClkSync();
    sendRequest(builder);
    handled(2);
    EXPECT_EQ(mc::Error::IO_ERROR, readReply().get().getError());

    firmware->setRequestHook([](mc::Request::Reader r, SimFirmware& fw) {
        if (r.getMsg().which() != mc::Request::Msg::CLK_SYNC) return false;
        return fw.sendResponse(r.getId() + 1, [](mc::Response::Builder response) {
            response.setError(mc::Error::SUCCESS);
            response.getMsg().initPowerSavingCfg();
        });
    });
    request.setId(5);
    sendRequest(builder);
    handled(3);
    Reply hooked = readReply();
    EXPECT_EQ(6u, hooked.get().getId());
    EXPECT_EQ(mc::Response::Msg::POWER_SAVING_CFG, hooked.get().getMsg().which());
    sendGetDevInfo(7);  // the hook declines: the firmware answers as usual
    handled(4);
    EXPECT_EQ(mc::Response::Msg::DEV_INFO, readReply().get().getMsg().which());
}

TEST_F(SimFirmwareTest, TruncatedAnswerThenRemovalFailsTheHostsNextRead) {
    ReplyPlan plan;
    plan.kind = ReplyPlan::Kind::Truncated;
    plan.truncateAt = 4;  // only the sync bytes
    plan.thenUnplug = true;
    firmware->planNext(plan);
    firmware->start();
    sendGetDevInfo(1);
    EXPECT_EQ(kSync, readExact(4));
    Bytes rest(8);
    uint32_t got = 0;
    // 7 when the read was already waiting, 4 when it came after the removal.
    EXPECT_NE(VPU_USB_OK, vpu_usb_read_bulk(kClient, rest.data(), 8, &got));
    handled(1);
    EXPECT_FALSE(usb->isRegistered(kClient));
}

TEST_F(SimFirmwareTest, FixedBlockCountOverridesTheBlockSize) {
    firmware->setFlashBlockCount(2);
    firmware->start();
    capnp::MallocMessageBuilder builder;
    hostWrite(fwRequestFrame(builder, 1, zsim::buildTestFirmwareArchive(64 * 1024)));
    handled(1);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(2u, readReply().get().getMsg().getFlashUpdateStatus().getTotalBlocks());
    EXPECT_EQ(2u, readReply().get().getId());
}

TEST_F(SimFirmwareTest, UnsolicitedMessagesCarryTheLastRequestIdNeverItsKey) {
    firmware->start();
    sendGetDevInfo(50);
    handled(1);
    readReply();

    ASSERT_TRUE(firmware->sendNotification(static_cast<uint16_t>(mc::Notification::LASER_HOT), true));
    Reply note = readReply();
    EXPECT_EQ(50u, note.get().getId());
    ASSERT_EQ(mc::Response::Msg::NOTIFICATION, note.get().getMsg().which());
    EXPECT_TRUE(note.get().getMsg().getNotification().getAsserted());
    EXPECT_EQ(mc::Notification::LASER_HOT, note.get().getMsg().getNotification().getType());

    SimFirmware::TwistFrame templ{{1, 2, 3, 4, 5, 6}, 10, 20, 3, 2};
    SimFirmware::TwistFrame match{{9, 8}, 11, 25, 2, 1};
    ASSERT_TRUE(firmware->sendTwistCompData(templ, match, 0.5f, -0.25f));
    Reply twist = readReply();
    ASSERT_EQ(mc::Response::Msg::TWIST_COMP_DATA, twist.get().getMsg().which());
    auto data = twist.get().getMsg().getTwistCompData();
    EXPECT_EQ(6u, data.getTemplate().getData().size());
    EXPECT_EQ(20, data.getTemplate().getRoi().getY());
    EXPECT_EQ(3, data.getTemplate().getRoi().getW());
    EXPECT_EQ(2, data.getTemplate().getRoi().getH());
    EXPECT_EQ(25, data.getMatch().getRoi().getY());
    EXPECT_EQ(9, data.getMatch().getData()[0]);
    EXPECT_FLOAT_EQ(0.5f, data.getLeftOffset());
    EXPECT_FLOAT_EQ(-0.25f, data.getRightOffset());
}

TEST(SimPackage, ChecksumTextIsLowerCaseHexOfZlibCrc) {
    const Bytes text = zsim::crcText(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    EXPECT_EQ("cbf43926\n", std::string(text.begin(), text.end()));  // the CRC-32 check value
}

TEST(SimPackage, ArchiveIsWholeTarRecordsAndDeterministic) {
    const Bytes a = zsim::buildTestFirmwareArchive(100 * 1000);
    EXPECT_EQ(0u, a.size() % 10240);
    EXPECT_EQ(0, std::memcmp(&a[257], "ustar  ", 8));  // GNU magic with its NUL
    EXPECT_EQ(a, zsim::buildTestFirmwareArchive(100 * 1000));
}

// --- settings, calibration, stream configuration, twist, offsets -------------

Reply exchange(const std::function<void(mc::Request::Builder)>& fill, uint32_t id) {
    capnp::MallocMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(id);
    fill(request);
    sendRequest(builder);
    return readReply();
}

TEST_F(SimFirmwareTest, SettingWriteIsStoredPerComponentAndReadBackInTheSameMember) {
    firmware->start();
    Reply written = exchange(
        [](mc::Request::Builder r) {
            auto s = r.getMsg().initComponentSetting();
            s.setComponent(mc::Component::IR_LEFT);
            s.setWriteFlag(true);
            s.setYOffset(-5);
        },
        10);
    EXPECT_EQ(11u, written.get().getId());
    ASSERT_EQ(mc::Error::SUCCESS, written.get().getError());
    ASSERT_EQ(mc::Response::Msg::COMPONENT_SETTING, written.get().getMsg().which());
    EXPECT_EQ(-5, written.get().getMsg().getComponentSetting().getYOffset());

    for (auto [component, expected] : {std::pair{mc::Component::IR_LEFT, -5}, std::pair{mc::Component::IR_RIGHT, 0}}) {
        Reply read = exchange(
            [component = component](mc::Request::Builder r) {
                auto s = r.getMsg().initComponentSetting();
                s.setComponent(component);
                s.setYOffset(0);
            },
            20);
        ASSERT_EQ(mc::Error::SUCCESS, read.get().getError());
        const auto setting = read.get().getMsg().getComponentSetting();
        EXPECT_EQ(mc::ComponentSetting::Y_OFFSET, setting.which());
        EXPECT_EQ(component, setting.getComponent());
        EXPECT_FALSE(setting.getWriteFlag());
        EXPECT_EQ(expected, setting.getYOffset());
    }
    const auto requests = firmware->settingRequests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ(10u, requests[0].requestId);
    EXPECT_EQ(2, requests[0].component);
    EXPECT_TRUE(requests[0].writeFlag);
    EXPECT_EQ(5, requests[0].member);
    EXPECT_EQ(-5, requests[0].intValue);
    EXPECT_FALSE(requests[1].writeFlag);
    EXPECT_EQ(-5, firmware->componentSettings(2).yOffset);
}

TEST_F(SimFirmwareTest, GainListIsStoredWholeAndAnsweredWhole) {
    firmware->start();
    exchange(
        [](mc::Request::Builder r) {
            auto s = r.getMsg().initComponentSetting();
            s.setComponent(mc::Component::VISIBLE);
            s.setWriteFlag(true);
            auto list = s.initDigitalGain(3);
            for (unsigned i = 0; i < 3; ++i) {
                list[i].setChan(static_cast<mc::Channel>(i + 1));
                list[i].setValue(1.0f + static_cast<float>(i));
            }
        },
        1);
    Reply read = exchange(
        [](mc::Request::Builder r) {
            auto s = r.getMsg().initComponentSetting();
            s.setComponent(mc::Component::VISIBLE);
            s.initDigitalGain(1);
        },
        2);
    const auto list = read.get().getMsg().getComponentSetting().getDigitalGain();
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ(mc::Channel::BLUE, list[2].getChan());
    EXPECT_EQ(3.0f, list[2].getValue());
    // The analog gain of a fresh device: one global channel at 1.
    Reply analog = exchange(
        [](mc::Request::Builder r) {
            auto s = r.getMsg().initComponentSetting();
            s.setComponent(mc::Component::VISIBLE);
            s.initAnalogGain(1);
        },
        3);
    ASSERT_EQ(1u, analog.get().getMsg().getComponentSetting().getAnalogGain().size());
    EXPECT_EQ(1.0f, analog.get().getMsg().getComponentSetting().getAnalogGain()[0].getValue());
}

TEST_F(SimFirmwareTest, SettingForAComponentTheDeviceLacksIsRefused) {
    firmware->start();
    for (uint16_t component : {0, 7}) {
        Reply reply = exchange(
            [component](mc::Request::Builder r) {
                auto s = r.getMsg().initComponentSetting();
                s.setComponent(static_cast<mc::Component>(component));
                s.setWriteFlag(true);
                s.setExposure(1.0f);
            },
            component);
        EXPECT_EQ(mc::Error::INVALID_PARAMS, reply.get().getError());
    }
    EXPECT_EQ(2u, firmware->settingRequests().size());
    EXPECT_EQ(10.0f, firmware->componentSettings(0).exposure);  // nothing stored
}

TEST_F(SimFirmwareTest, CalibrationRetrieveAnswersTheTextAndOtherActionsAreRefused) {
    firmware->start();
    auto retrieve = [](mc::Request::Builder r) {
        auto c = r.getMsg().initCalibrate();
        c.setAction(mc::Calibrate::Action::RETRIEVE);
        c.setDevice();
    };
    Reply first = exchange(retrieve, 1);
    ASSERT_EQ(mc::Response::Msg::DEVICE_CALIBRATION, first.get().getMsg().which());
    const auto bytes = first.get().getMsg().getDeviceCalibration();
    EXPECT_EQ(SimFirmware::defaultCalibrationText(), std::string(bytes.asChars().begin(), bytes.size()));
    EXPECT_EQ(0, SimFirmware::defaultCalibrationText().rfind("version=4\n", 0));

    firmware->setCalibrationText("version=5000");
    Reply second = exchange(retrieve, 2);
    const auto text = second.get().getMsg().getDeviceCalibration();
    EXPECT_EQ("version=5000", std::string(text.asChars().begin(), text.size()));

    Reply run = exchange(
        [](mc::Request::Builder r) {
            auto c = r.getMsg().initCalibrate();
            c.setAction(mc::Calibrate::Action::RUN);
            c.setLaser();
        },
        3);
    EXPECT_EQ(mc::Error::NOT_SUPPORTED, run.get().getError());
    const auto requests = firmware->calibrateRequests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ(2, requests[0].action);
    EXPECT_EQ(2, requests[0].target);
    EXPECT_EQ(0, requests[2].action);
    EXPECT_EQ(1, requests[2].target);
}

TEST_F(SimFirmwareTest, StreamingConfigurationIsRecordedAndHandedToTheListener) {
    std::mutex mutex;
    std::vector<zsim::SimStreamingCfgRecord> heard;
    firmware->setStreamingCfgListener([&](const zsim::SimStreamingCfgRecord& record) {
        std::lock_guard<std::mutex> lock(mutex);
        heard.push_back(record);
    });
    firmware->start();
    auto config = [](mc::Request::Builder r) {
        auto vpu3 = r.getMsg().initStreamingCfg().initVpu3();
        auto ir = vpu3.initIr();
        ir.setSrc(mc::StreamSource::IR_LEFT);
        ir.setChunks(4);
        ir.setFrameFormat(mc::FrameFormat::IR10);
        vpu3.setDsr(true);
        vpu3.setPunishment(32);
        vpu3.setIrFps(30.0f);
        auto autoExp = vpu3.initIrAutoExp();
        autoExp.setComponent(mc::Component::IR_BOTH);
        autoExp.initRoi().setW(64);
    };
    Reply reply = exchange(config, 5);
    EXPECT_EQ(mc::Error::SUCCESS, reply.get().getError());
    const auto records = firmware->streamingCfgs();
    ASSERT_EQ(1u, records.size());
    const auto& record = records[0];
    EXPECT_TRUE(record.vpu3);
    EXPECT_TRUE(record.ir.present);
    EXPECT_FALSE(record.depth.present);
    EXPECT_EQ(2, record.ir.src);
    EXPECT_EQ(4, record.ir.chunks);
    EXPECT_EQ(1, record.ir.frameFormat);
    EXPECT_TRUE(record.dsr);
    EXPECT_FALSE(record.ib);
    EXPECT_EQ(32u, record.punishment);
    EXPECT_EQ(30.0f, record.irFps);
    EXPECT_TRUE(record.autoExpPresent);
    EXPECT_EQ(3, record.autoExpComponent);
    EXPECT_EQ(64, record.roiW);
    {
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(1u, heard.size());
        EXPECT_EQ(32u, heard[0].punishment);
    }
    // A firmware that does not know the request.
    firmware->setUnimplemented(static_cast<uint16_t>(mc::Request::Msg::STREAMING_CFG));
    EXPECT_EQ(mc::Error::NOT_SUPPORTED, exchange(config, 6).get().getError());
    firmware->setUnimplemented(static_cast<uint16_t>(mc::Request::Msg::STREAMING_CFG), false);
    EXPECT_EQ(mc::Error::SUCCESS, exchange(config, 7).get().getError());
    EXPECT_EQ(2u, firmware->streamingCfgs().size());
}

TEST_F(SimFirmwareTest, TwistConfigurationAndSavedOffsetsAreRecorded) {
    firmware->start();
    for (auto mode : {mc::TwistCompCfg::Mode::CONTINUOUS, mc::TwistCompCfg::Mode::OFF}) {
        Reply reply = exchange([mode](mc::Request::Builder r) { r.getMsg().initTwistCompCfg().setMode(mode); }, 1);
        EXPECT_EQ(mc::Error::SUCCESS, reply.get().getError());
        EXPECT_EQ(mc::Response::Msg::DEVICE_STATE, reply.get().getMsg().which());
    }
    EXPECT_EQ((std::vector<uint16_t>{1, 0}), firmware->twistModes());
    Reply saved = exchange(
        [](mc::Request::Builder r) { r.getMsg().initSaveCameraOffsets().setTs(1765000000123456789ull); }, 2);
    EXPECT_EQ(mc::Error::SUCCESS, saved.get().getError());
    EXPECT_EQ((std::vector<uint64_t>{1765000000123456789ull}), firmware->savedOffsets());
}

}  // namespace
