// The device protocol as bytes: where the schema puts every field the host
// and the device rely on (read straight from the flat segment, not through
// the generated accessors), how frames cross the client interface, and the
// stream adapters on both directions.
#include "driver/device_protocol.h"

#include <gtest/gtest.h>

#include <capnp/serialize.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/usb_transport.h"
#include "sim/sim_firmware.h"
#include "sim/sim_package.h"
#include "sim/sim_usb.h"

namespace {

using namespace std::chrono_literals;
using zsim::Bytes;
using zsim::Dir;
using zsim::SimUsb;
namespace mc = morv::client;

constexpr auto kBound = 5s;  // only keeps a broken build from hanging

// --- reading the flat segment by hand -----------------------------------------

uint64_t le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

struct Struct {
    const uint8_t* data = nullptr;
    uint16_t dataWords = 0;
    uint16_t pointers = 0;
    const uint8_t* pointer(int index) const { return data + dataWords * 8 + index * 8; }
    uint64_t u16(int offset) const { return le(data + offset * 2, 2); }
    uint64_t u32(int offset) const { return le(data + offset * 4, 4); }
    uint64_t u64(int offset) const { return le(data + offset * 8, 8); }
    uint8_t u8(int offset) const { return data[offset]; }
    bool bit(int offset) const { return (data[offset / 8] >> (offset % 8)) & 1; }
};

// A struct pointer inside one segment.
Struct follow(const uint8_t* pointerWord) {
    const uint64_t p = le(pointerWord, 8);
    EXPECT_EQ(0u, p & 3) << "not a struct pointer";
    const int32_t offset = static_cast<int32_t>(static_cast<uint32_t>(p)) >> 2;
    Struct s;
    s.data = pointerWord + 8 + static_cast<ptrdiff_t>(offset) * 8;
    s.dataWords = static_cast<uint16_t>(p >> 32);
    s.pointers = static_cast<uint16_t>(p >> 48);
    return s;
}

// A byte-list pointer (Text or Data) inside one segment; Text drops its NUL.
std::string bytesAt(const uint8_t* pointerWord, bool text) {
    const uint64_t p = le(pointerWord, 8);
    EXPECT_EQ(1u, p & 3) << "not a list pointer";
    EXPECT_EQ(2u, (p >> 32) & 7) << "not a byte list";
    const int32_t offset = static_cast<int32_t>(static_cast<uint32_t>(p)) >> 2;
    const auto* start = reinterpret_cast<const char*>(pointerWord + 8 + static_cast<ptrdiff_t>(offset) * 8);
    size_t count = static_cast<size_t>(p >> 35);
    if (text && count > 0) --count;
    return std::string(start, count);
}

// The root struct of a one-segment message, read from a copy in `keep` (a kj
// array: a word can be neither copied nor moved, so no standard container holds it).
Struct root(capnp::MessageBuilder& builder, kj::Array<capnp::word>* keep) {
    auto segments = builder.getSegmentsForOutput();
    EXPECT_EQ(1u, segments.size());
    *keep = kj::heapArray<capnp::word>(segments[0].size());
    std::memcpy(keep->begin(), segments[0].begin(), segments[0].asBytes().size());
    return follow(reinterpret_cast<const uint8_t*>(keep->begin()));
}

TEST(ProtocolLayout, SchemaConstantsAreTheSyncWordAndLaunchCode) {
    EXPECT_EQ(0xEEFFC0u, mc::MAGIC);
    EXPECT_EQ(0x8Eu, mc::LAUNCH_CODE);
    const uint32_t magic = mc::MAGIC;
    uint8_t wire[4];
    std::memcpy(wire, &magic, 4);  // little-endian host, as the wire
    EXPECT_EQ(0, std::memcmp(wire, PZ_SYNC_BYTES.data(), 4));
}

TEST(ProtocolLayout, RequestIdDiscriminantAndDataMembers) {
    kj::Array<capnp::word> keep;
    PZMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(0xA1B2C3D4u);
    request.getMsg().initClkSync();
    Struct r = root(builder, &keep);
    EXPECT_EQ(1, r.dataWords);
    EXPECT_EQ(1, r.pointers);
    EXPECT_EQ(0xA1B2C3D4u, r.u32(0));
    EXPECT_EQ(2u, r.u16(2));  // clkSync

    const std::pair<void (*)(mc::Request::Msg::Builder), uint16_t> members[] = {
        {[](mc::Request::Msg::Builder m) { m.initFwUpdate(); }, 0},
        {[](mc::Request::Msg::Builder m) { m.setGetDevInfo(); }, 1},
        {[](mc::Request::Msg::Builder m) { m.initSetMode(); }, 6},
        {[](mc::Request::Msg::Builder m) { m.initSetDevInfo(); }, 8},
        {[](mc::Request::Msg::Builder m) { m.setIosTestMode("x"); }, 13},
        {[](mc::Request::Msg::Builder m) { m.initStreamingCfg(); }, 15},
        {[](mc::Request::Msg::Builder m) { m.initTwistCompCfg(); }, 19},
        {[](mc::Request::Msg::Builder m) { m.setGetPowerSavingCfg(); }, 21},
    };
    for (const auto& [set, discriminant] : members) {
        PZMessageBuilder each;
        set(each.initRoot<mc::Request>().getMsg());
        EXPECT_EQ(discriminant, root(each, &keep).u16(2));
    }

    PZMessageBuilder erase;
    erase.initRoot<mc::Request>().getMsg().setEraseFlash(0x1234);
    Struct e = root(erase, &keep);
    EXPECT_EQ(12u, e.u16(2));
    EXPECT_EQ(0x1234u, e.u16(3));

    PZMessageBuilder formats;
    formats.initRoot<mc::Request>().getMsg().setSupportedFormats(mc::StreamSource::DEPTH);
    Struct f = root(formats, &keep);
    EXPECT_EQ(18u, f.u16(2));
    EXPECT_EQ(5u, f.u16(3));
}

TEST(ProtocolLayout, ResponseErrorAndDiscriminant) {
    kj::Array<capnp::word> keep;
    PZMessageBuilder builder;
    auto response = builder.initRoot<mc::Response>();
    response.setId(0x01020304u);
    response.setError(mc::Error::VALIDATION_FAILED);
    response.getMsg().initTwistCompData();
    Struct r = root(builder, &keep);
    EXPECT_EQ(1, r.dataWords);
    EXPECT_EQ(1, r.pointers);
    EXPECT_EQ(0x01020304u, r.u32(0));
    EXPECT_EQ(8u, r.u16(2));
    EXPECT_EQ(11u, r.u16(3));

    response.setError(mc::Error::PARAMETER_CLAMPED_MAX);
    response.getMsg().initPowerSavingCfg();
    r = root(builder, &keep);
    EXPECT_EQ(15u, r.u16(2));
    EXPECT_EQ(12u, r.u16(3));

    response.setError(mc::Error::SUCCESS);
    response.getMsg().initFlashUpdateStatus();
    r = root(builder, &keep);
    EXPECT_EQ(1u, r.u16(2));
    EXPECT_EQ(7u, r.u16(3));
}

TEST(ProtocolLayout, DeviceInfoAndVersionFields) {
    kj::Array<capnp::word> keep;
    PZMessageBuilder builder;
    auto response = builder.initRoot<mc::Response>();
    auto info = response.getMsg().initDevInfo();
    info.setId(mc::DeviceId::TOVIK);
    info.setVariant(0x11223344u);
    info.setName("name");
    info.setSerial("serial");
    info.setManufacturer("maker");
    info.setModel("model");
    info.setCredential("cred");
    info.setColor(mc::Color::DARK_GRAY);
    info.setHasBattery(false);
    info.setDisableLeds(true);
    info.setBirthday(0x0102030405060708ull);
    auto version = info.initFwVer();
    version.setMajor(0x0A01);
    version.setMinor(0x0B02);
    version.setRevision(0x0C03);
    version.setType(mc::BuildType::DEV);
    info.setUsbSpeed(0x5A);
    info.setHwName("hw");
    info.setIrCamModel(0x1111);
    info.setIrCamType(0x2222);
    info.setVisCamModel(0x3333);
    info.setVisCamType(0x4444);
    info.setLaserModel(0x5555);

    Struct r = root(builder, &keep);
    EXPECT_EQ(1u, r.u16(3));  // devInfo
    Struct d = follow(r.pointer(0));
    EXPECT_EQ(4, d.dataWords);
    EXPECT_EQ(7, d.pointers);
    EXPECT_EQ(3u, d.u16(0));
    EXPECT_EQ(0x11223344u, d.u32(1));
    EXPECT_EQ(4u, d.u16(1));
    EXPECT_FALSE(d.bit(64));
    EXPECT_TRUE(d.bit(65));
    EXPECT_EQ(0x0102030405060708ull, d.u64(2));
    EXPECT_EQ(0x5Au, d.u8(9));
    EXPECT_EQ(0x1111u, d.u16(5));
    EXPECT_EQ(0x2222u, d.u16(6));
    EXPECT_EQ(0x3333u, d.u16(7));
    EXPECT_EQ(0x4444u, d.u16(12));
    EXPECT_EQ(0x5555u, d.u16(13));
    EXPECT_EQ("name", bytesAt(d.pointer(0), true));
    EXPECT_EQ("serial", bytesAt(d.pointer(1), true));
    EXPECT_EQ("maker", bytesAt(d.pointer(2), true));
    EXPECT_EQ("model", bytesAt(d.pointer(3), true));
    EXPECT_EQ("cred", bytesAt(d.pointer(4), true));
    EXPECT_EQ("hw", bytesAt(d.pointer(6), true));
    Struct v = follow(d.pointer(5));
    EXPECT_EQ(1, v.dataWords);
    EXPECT_EQ(0x0A01u, v.u16(0));
    EXPECT_EQ(0x0B02u, v.u16(1));
    EXPECT_EQ(0x0C03u, v.u16(2));
    EXPECT_EQ(3u, v.u16(3));
}

TEST(ProtocolLayout, FirmwareUpdateFields) {
    kj::Array<capnp::word> keep;
    PZMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    auto update = request.getMsg().initFwUpdate();
    const uint8_t file[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    update.setFwFile(kj::arrayPtr(file, sizeof file));
    update.setTimestamp(0x1122334455667788ull);
    update.setMoreToFollow(true);
    update.setParition(mc::FlashParition::TOGGLE);
    update.setAllowDowngrade(false);
    update.initVersion().setRevision(7);

    Struct r = root(builder, &keep);
    EXPECT_EQ(0u, r.u16(2));
    Struct u = follow(r.pointer(0));
    EXPECT_EQ(2, u.dataWords);
    EXPECT_EQ(2, u.pointers);
    EXPECT_EQ(std::string("\xDE\xAD\xBE\xEF\x01", 5), bytesAt(u.pointer(0), false));
    EXPECT_EQ(0x1122334455667788ull, u.u64(0));
    EXPECT_TRUE(u.bit(64));
    EXPECT_EQ(2u, u.u16(5));
    EXPECT_FALSE(u.bit(65));
    EXPECT_EQ(7u, follow(u.pointer(1)).u16(2));

    update.setMoreToFollow(false);
    update.setAllowDowngrade(true);
    u = follow(root(builder, &keep).pointer(0));
    EXPECT_FALSE(u.bit(64));
    EXPECT_TRUE(u.bit(65));
}

TEST(ProtocolLayout, ClockSyncFields) {
    kj::Array<capnp::word> keep;
    PZMessageBuilder builder;
    auto sync = builder.initRoot<mc::Request>().getMsg().initClkSync();
    sync.setSetClk(true);
    sync.setSec(-1);
    sync.setNano(-500000000);
    sync.setForceJump(true);
    Struct c = follow(root(builder, &keep).pointer(0));
    EXPECT_EQ(3, c.dataWords);
    EXPECT_EQ(0, c.pointers);
    EXPECT_TRUE(c.bit(0));
    EXPECT_FALSE(c.bit(1));
    EXPECT_TRUE(c.bit(2));
    EXPECT_EQ(static_cast<uint64_t>(int64_t{-1}), c.u64(1));
    EXPECT_EQ(static_cast<uint64_t>(int64_t{-500000000}), c.u64(2));

    sync.setSetClk(false);
    sync.setDbg(true);
    sync.setForceJump(false);
    c = follow(root(builder, &keep).pointer(0));
    EXPECT_FALSE(c.bit(0));
    EXPECT_TRUE(c.bit(1));
    EXPECT_FALSE(c.bit(2));
}

TEST(ProtocolLayout, FlashUpdateStatusDeviceStateAndNotificationFields) {
    kj::Array<capnp::word> keep;
    PZMessageBuilder builder;
    auto status = builder.initRoot<mc::Response>().getMsg().initFlashUpdateStatus();
    status.setAction(mc::FlashUpdateStatus::Action::VERIFY);
    status.setBlock(0x01020304u);
    status.setTotalBlocks(0x05060708u);
    status.setMsg("Verifying");
    Struct s = follow(root(builder, &keep).pointer(0));
    EXPECT_EQ(2, s.dataWords);
    EXPECT_EQ(1, s.pointers);
    EXPECT_EQ(2u, s.u16(0));
    EXPECT_EQ(0x01020304u, s.u32(1));
    EXPECT_EQ(0x05060708u, s.u32(2));
    EXPECT_EQ("Verifying", bytesAt(s.pointer(0), true));

    PZMessageBuilder stateBuilder;
    auto state = stateBuilder.initRoot<mc::Response>().getMsg().initDeviceState();
    state.setProcessor(mc::Processor::SECONDARY);
    state.setState(mc::State::FW_NOT_SUPPORTED);
    Struct d = follow(root(stateBuilder, &keep).pointer(0));
    EXPECT_EQ(2u, d.u16(0));
    EXPECT_EQ(7u, d.u16(1));

    PZMessageBuilder noteBuilder;
    auto note = noteBuilder.initRoot<mc::Response>().getMsg().initNotification();
    note.setAsserted(true);
    note.setType(mc::Notification::POWER_PERMITS_STREAMING);
    Struct n = follow(root(noteBuilder, &keep).pointer(0));
    EXPECT_TRUE(n.bit(0));
    EXPECT_EQ(20u, n.u16(1));

    PZMessageBuilder modeBuilder;
    modeBuilder.initRoot<mc::Request>().getMsg().initSetMode().setMode(mc::DeviceMode::COLD_REBOOT);
    EXPECT_EQ(4u, follow(root(modeBuilder, &keep).pointer(0)).u16(0));
}

TEST(ProtocolLayout, TwistCompDataFields) {
    kj::Array<capnp::word> keep;
    PZMessageBuilder builder;
    auto data = builder.initRoot<mc::Response>().getMsg().initTwistCompData();
    auto templ = data.initTemplate();
    const uint8_t pixels[] = {9, 8, 7};
    templ.setData(kj::arrayPtr(pixels, 3));
    auto roi = templ.initRoi();
    roi.setX(1);
    roi.setY(2);
    roi.setW(3);
    roi.setH(4);
    data.initMatch();
    data.setLeftOffset(1.0f);
    data.setRightOffset(-2.0f);
    Struct t = follow(root(builder, &keep).pointer(0));
    EXPECT_EQ(1, t.dataWords);
    EXPECT_EQ(2, t.pointers);
    EXPECT_EQ(0x3F800000u, t.u32(0));
    EXPECT_EQ(0xC0000000u, t.u32(1));
    Struct frame = follow(t.pointer(0));
    EXPECT_EQ(0, frame.dataWords);
    EXPECT_EQ(2, frame.pointers);
    EXPECT_EQ(std::string("\x09\x08\x07", 3), bytesAt(frame.pointer(0), false));
    Struct r = follow(frame.pointer(1));
    EXPECT_EQ(1u, r.u16(0));
    EXPECT_EQ(2u, r.u16(1));
    EXPECT_EQ(3u, r.u16(2));
    EXPECT_EQ(4u, r.u16(3));
}

// A response from a device whose Response struct has no data section at all.
TEST(ProtocolLayout, ResponseWithoutDataSectionReadsAsErrorUnknown) {
    // Root pointer: struct, offset 0, 0 data words, 1 pointer; then a null pointer.
    const uint64_t words[2] = {uint64_t{1} << 48, 0};
    const kj::ArrayPtr<const capnp::word> segment(reinterpret_cast<const capnp::word*>(words), 2);
    capnp::SegmentArrayMessageReader reader(kj::arrayPtr(&segment, 1));
    auto response = reader.getRoot<mc::Response>();
    EXPECT_EQ(mc::Error::UNKNOWN, response.getError());
    EXPECT_EQ(0u, response.getId());
    EXPECT_EQ(mc::Response::Msg::DEVICE_STATE, response.getMsg().which());
    EXPECT_EQ(mc::State::NOT_SET, response.getMsg().getDeviceState().getState());
}

// --- names --------------------------------------------------------------------

// A copy of a built message whose union discriminant is overwritten.
kj::Array<capnp::word> withDiscriminant(capnp::MessageBuilder& builder, int offset16, uint16_t value) {
    kj::Array<capnp::word> words;
    Struct r = root(builder, &words);
    uint8_t* data = const_cast<uint8_t*>(r.data);
    data[offset16 * 2] = static_cast<uint8_t>(value);
    data[offset16 * 2 + 1] = static_cast<uint8_t>(value >> 8);
    return words;
}

TEST(ProtocolNames, UnionMemberNamesAndNoNameForAnUnknownMember) {
    PZMessageBuilder request;
    request.initRoot<mc::Request>().getMsg().setGetDevInfo();
    EXPECT_STREQ("getDevInfo", PZClient_requestMsgName(request.getRoot<mc::Request>().asReader()));
    request.getRoot<mc::Request>().getMsg().initFwUpdate();
    EXPECT_STREQ("fwUpdate", PZClient_requestMsgName(request.getRoot<mc::Request>().asReader()));
    auto unknownRequest = withDiscriminant(request, 2, 22);
    const kj::ArrayPtr<const capnp::word> requestSegment(unknownRequest.begin(), unknownRequest.size());
    capnp::SegmentArrayMessageReader requestReader(kj::arrayPtr(&requestSegment, 1));
    EXPECT_EQ(nullptr, PZClient_requestMsgName(requestReader.getRoot<mc::Request>()));

    PZMessageBuilder response;
    response.initRoot<mc::Response>().getMsg().initFlashUpdateStatus();
    EXPECT_STREQ("flashUpdateStatus", PZClient_responseMsgName(response.getRoot<mc::Response>().asReader()));
    response.getRoot<mc::Response>().getMsg().initPowerSavingCfg();
    EXPECT_STREQ("powerSavingCfg", PZClient_responseMsgName(response.getRoot<mc::Response>().asReader()));
    auto unknownResponse = withDiscriminant(response, 3, 0xFFFF);
    const kj::ArrayPtr<const capnp::word> responseSegment(unknownResponse.begin(), unknownResponse.size());
    capnp::SegmentArrayMessageReader responseReader(kj::arrayPtr(&responseSegment, 1));
    EXPECT_EQ(nullptr, PZClient_responseMsgName(responseReader.getRoot<mc::Response>()));
}

TEST(ProtocolNames, EnumerantNamesAndEmptyOutsideTheEnum) {
    EXPECT_STREQ("unknown", PZClient_errorName(0));
    EXPECT_STREQ("success", PZClient_errorName(1));
    EXPECT_STREQ("invalidParams", PZClient_errorName(2));
    EXPECT_STREQ("validationFailed", PZClient_errorName(8));
    EXPECT_STREQ("parameterClampedMax", PZClient_errorName(15));
    EXPECT_STREQ("", PZClient_errorName(16));
    EXPECT_STREQ("laserTripHigh", PZClient_notificationName(0));
    EXPECT_STREQ("chargerConnected", PZClient_notificationName(18));
    EXPECT_STREQ("powerPermitsStreaming", PZClient_notificationName(20));
    EXPECT_STREQ("", PZClient_notificationName(21));
    EXPECT_STREQ("", PZClient_notificationName(0xFFFF));
}

// --- resynchronisation rule -------------------------------------------------------

// Index of the byte that completes the sync bytes, or -1.
int syncEnd(const Bytes& run) {
    PZSyncMatcher matcher;
    for (size_t i = 0; i < run.size(); ++i) {
        if (matcher.feed(run[i])) return static_cast<int>(i);
    }
    return -1;
}

TEST(ProtocolSync, MatcherFollowsTheRestartRule) {
    EXPECT_EQ(3, syncEnd({0xC0, 0xFF, 0xEE, 0x00}));
    EXPECT_EQ(4, syncEnd({0xC0, 0xC0, 0xFF, 0xEE, 0x00}));
    EXPECT_EQ(6, syncEnd({0xC0, 0xFF, 0xEE, 0xC0, 0xFF, 0xEE, 0x00}));
    EXPECT_EQ(7, syncEnd({0x00, 0xFF, 0xEE, 0x00, 0xC0, 0xFF, 0xEE, 0x00}));
    EXPECT_EQ(-1, syncEnd({0xC0, 0xFF, 0xC0, 0xEE, 0x00}));
    EXPECT_EQ(-1, syncEnd({0xC0, 0xFF, 0xEE, 0x01, 0x00}));
}

// --- framing on the client interface ------------------------------------------------

class ProtocolWireTest : public ::testing::Test {
protected:
    void SetUp() override {
        usb = &SimUsb::installFresh();
        usb->plug({PZ_CLIENT_INTERFACE});
    }
    void TearDown() override { usb->reset(); }

    // Reads whole frames from the client interface as the host does.
    Bytes readBytes(size_t count) {
        Bytes bytes(count);
        MyReader reader;
        EXPECT_EQ(count, reader.tryRead(bytes.data(), count, count));
        return bytes;
    }

    SimUsb* usb = nullptr;
};

TEST_F(ProtocolWireTest, SyncBytesThenSegmentTableThenEachSegmentAsTransfers) {
    usb->recordWrites(PZ_CLIENT_INTERFACE, true);
    PZMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(5);
    // 80,000 bytes do not fit the 1,024-word first segment.
    std::vector<uint8_t> file(80000, 0xA5);
    request.getMsg().initFwUpdate().setFwFile(kj::arrayPtr(file.data(), file.size()));
    ASSERT_EQ(0, PZClient_writeSyncBytes());
    MyWriter writer;
    capnp::writeMessage(writer, builder);

    const auto segments = builder.getSegmentsForOutput();
    ASSERT_GE(segments.size(), 2u);
    const auto recorded = usb->recordedWrites(PZ_CLIENT_INTERFACE);
    ASSERT_EQ(2 + segments.size(), recorded.size());
    EXPECT_EQ((Bytes{0xC0, 0xFF, 0xEE, 0x00}), recorded[0]);
    EXPECT_EQ(((segments.size() + 2) / 2) * 8, recorded[1].size());  // table padded to a word
    EXPECT_EQ(segments.size() - 1, le(recorded[1].data(), 4));
    Bytes joined;
    for (size_t i = 1; i < recorded.size(); ++i) joined.insert(joined.end(), recorded[i].begin(), recorded[i].end());
    const auto flat = capnp::messageToFlatArray(builder);
    EXPECT_EQ(Bytes(flat.asBytes().begin(), flat.asBytes().end()), joined);
    for (size_t i = 0; i < segments.size(); ++i) EXPECT_EQ(segments[i].size() * 8, recorded[2 + i].size());
}

TEST_F(ProtocolWireTest, WriterThrowsOnFailedOrShortTransfer) {
    PZMessageBuilder builder;
    builder.initRoot<mc::Request>().getMsg().setGetDevInfo();
    MyWriter writer;
    usb->failNext(PZ_CLIENT_INTERFACE, Dir::Out);
    EXPECT_THROW(capnp::writeMessage(writer, builder), kj::Exception);
    usb->shortenNext(PZ_CLIENT_INTERFACE, Dir::Out, 3);
    EXPECT_THROW(capnp::writeMessage(writer, builder), kj::Exception);
    EXPECT_NO_THROW(capnp::writeMessage(writer, builder));
    usb->unplug();
    EXPECT_THROW(capnp::writeMessage(writer, builder), kj::Exception);
    EXPECT_NE(0, PZClient_writeSyncBytes());
}

TEST_F(ProtocolWireTest, ReaderAssemblesAMessageDeliveredInPieces) {
    PZMessageBuilder builder;
    auto response = builder.initRoot<mc::Response>();
    response.setId(77);
    response.setError(mc::Error::SUCCESS);
    response.getMsg().initDevInfo().setSerial("pieces");
    const auto flat = capnp::messageToFlatArray(builder);
    const Bytes frame(flat.asBytes().begin(), flat.asBytes().end());
    for (size_t at = 0; at < frame.size(); at += 3) {
        ASSERT_TRUE(usb->deviceSend(PZ_CLIENT_INTERFACE, frame.data() + at, std::min<size_t>(3, frame.size() - at)));
    }
    MyReader reader;
    MyInputStreamMessageReader message(reader);
    auto read = message.getRoot<mc::Response>();
    EXPECT_EQ(77u, read.getId());
    EXPECT_EQ("pieces", std::string(read.getMsg().getDevInfo().getSerial().cStr()));
    EXPECT_FALSE(reader.failed());
    EXPECT_EQ(0u, usb->pendingToHost(PZ_CLIENT_INTERFACE));
}

TEST_F(ProtocolWireTest, ReaderReadsMaxBytesWhateverMinBytesSays) {
    const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    usb->deviceSend(PZ_CLIENT_INTERFACE, data.data(), 4);
    usb->deviceSend(PZ_CLIENT_INTERFACE, data.data() + 4, 6);
    Bytes got(10);
    MyReader reader;
    EXPECT_EQ(10u, reader.tryRead(got.data(), 1, 10));
    EXPECT_EQ(data, got);
}

TEST_F(ProtocolWireTest, ReaderReturnsZeroOnAFailedTransfer) {
    usb->deviceSend(PZ_CLIENT_INTERFACE, Bytes{1, 2});
    usb->failNext(PZ_CLIENT_INTERFACE, Dir::In);
    Bytes got(2);
    MyReader reader;
    EXPECT_EQ(0u, reader.tryRead(got.data(), 2, 2));
    EXPECT_TRUE(reader.failed());
    EXPECT_EQ(VPU_USB_ERR_TRANSFER, reader.lastError());
    EXPECT_EQ(2u, reader.tryRead(got.data(), 2, 2));  // the data is still there
    EXPECT_FALSE(reader.failed());
}

TEST_F(ProtocolWireTest, DeviceGoneMidMessageThrowsAndMarksTheReaderFailed) {
    PZMessageBuilder builder;
    builder.initRoot<mc::Response>().getMsg().initDevInfo().setName("a name long enough to split");
    const auto flat = capnp::messageToFlatArray(builder);
    const Bytes frame(flat.asBytes().begin(), flat.asBytes().end());
    usb->deviceSend(PZ_CLIENT_INTERFACE, frame.data(), frame.size() / 2);
    MyReader reader;
    bool threw = false;
    std::thread host([&] {
        try {
            MyInputStreamMessageReader message(reader);
        } catch (const kj::Exception&) {
            threw = true;
        }
    });
    // Whatever the wait says, the unplug releases the reader, so the join below always returns.
    EXPECT_TRUE(usb->waitForBlockedReads(PZ_CLIENT_INTERFACE, 1, kBound));
    usb->unplug();
    host.join();
    EXPECT_TRUE(threw);
    EXPECT_TRUE(reader.failed());
}

TEST_F(ProtocolWireTest, OversizedOrOverSegmentedMessagesAreRefusedBeforeTheirBody) {
    // One segment of 0x800001 words: over the traversal limit.
    usb->deviceSend(PZ_CLIENT_INTERFACE, Bytes{0, 0, 0, 0, 0x01, 0x00, 0x80, 0x00});
    MyReader reader;
    EXPECT_THROW(MyInputStreamMessageReader{reader}, kj::Exception);
    EXPECT_FALSE(reader.failed());  // undecodable, not a transport failure

    // 600 segments.
    usb->deviceSend(PZ_CLIENT_INTERFACE, Bytes{0x57, 0x02, 0, 0, 1, 0, 0, 0});
    EXPECT_THROW(MyInputStreamMessageReader{reader}, kj::Exception);
    EXPECT_FALSE(reader.failed());
    EXPECT_EQ(0u, usb->pendingToHost(PZ_CLIENT_INTERFACE));
}

// --- talking to the simulated firmware with these adapters ---------------------------

class ProtocolFirmwareTest : public ProtocolWireTest {
protected:
    void SetUp() override {
        ProtocolWireTest::SetUp();
        firmware = std::make_unique<zsim::SimFirmware>(*usb);
        firmware->setReportStateOnAttach(false);
        firmware->start();
    }
    void TearDown() override {
        firmware.reset();
        ProtocolWireTest::TearDown();
    }
    void send(PZMessageBuilder& builder) {
        ASSERT_EQ(0, PZClient_writeSyncBytes());
        MyWriter writer;
        capnp::writeMessage(writer, builder);
    }
    // Skips to the sync bytes one byte at a time, then reads one response.
    std::unique_ptr<capnp::MallocMessageBuilder> receive(size_t* skipped = nullptr) {
        PZSyncMatcher matcher;
        MyReader reader;
        size_t count = 0;
        uint8_t byte = 0;
        for (;;) {
            EXPECT_EQ(1u, reader.tryRead(&byte, 1, 1));
            ++count;
            if (matcher.feed(byte)) break;
        }
        if (skipped != nullptr) *skipped = count - 4;
        MyInputStreamMessageReader message(reader);
        auto copy = std::make_unique<capnp::MallocMessageBuilder>();
        copy->setRoot(message.getRoot<mc::Response>());
        return copy;
    }
    std::unique_ptr<zsim::SimFirmware> firmware;
};

TEST_F(ProtocolFirmwareTest, GetDevInfoRoundTripBehindGarbage) {
    zsim::SimDeviceInfo info;
    info.serial = "ZS-0042";
    info.fwMajor = 2;
    firmware->setDeviceInfo(info);
    zsim::ReplyPlan plan;
    plan.garbageBefore = {0xC0, 0xC0, 0xFF, 0xEE, 0x01};
    firmware->planNext(plan);

    PZMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(1234);
    request.getMsg().setGetDevInfo();
    send(builder);
    size_t skipped = 0;
    auto reply = receive(&skipped);
    auto response = reply->getRoot<mc::Response>();
    EXPECT_EQ(5u, skipped);
    EXPECT_EQ(1235u, response.getId());
    EXPECT_EQ(mc::Error::SUCCESS, response.getError());
    EXPECT_STREQ("devInfo", PZClient_responseMsgName(response.asReader()));
    EXPECT_EQ("ZS-0042", std::string(response.getMsg().getDevInfo().getSerial().cStr()));
    EXPECT_EQ(2, response.getMsg().getDevInfo().getFwVer().getMajor());
}

TEST_F(ProtocolFirmwareTest, FullSizeFirmwareUpdateThenADamagedOne) {
    firmware->setFlashBlockCount(10);
    const Bytes package = zsim::buildTestFirmwareArchive(2600960);
    PZMessageBuilder builder;
    auto request = builder.initRoot<mc::Request>();
    request.setId(40);
    auto update = request.getMsg().initFwUpdate();
    update.setFwFile(kj::arrayPtr(package.data(), package.size()));
    update.setParition(mc::FlashParition::TOGGLE);
    auto version = update.initVersion();
    version.setMajor(1);
    version.setType(mc::BuildType::RELEASE);
    send(builder);

    int progress = 0;
    for (;;) {
        auto reply = receive();
        auto response = reply->getRoot<mc::Response>();
        if (response.getId() == 41u) {
            EXPECT_EQ(mc::Error::SUCCESS, response.getError());
            break;
        }
        ASSERT_EQ(mc::Response::Msg::FLASH_UPDATE_STATUS, response.getMsg().which());
        ++progress;
    }
    EXPECT_EQ(30, progress);
    ASSERT_TRUE(firmware->lastFwUpdate().has_value());
    EXPECT_EQ(package.size(), firmware->lastFwUpdate()->bytes);
    EXPECT_EQ(1, firmware->deviceInfo().fwMajor);

    Bytes damaged = package;
    damaged[zsim::tarMemberDataOffset(damaged, "fw-update/vpu3.lz4") + 4096] ^= 0xFF;
    update.setFwFile(kj::arrayPtr(damaged.data(), damaged.size()));
    request.setId(50);
    send(builder);
    auto refused = receive();
    EXPECT_EQ(51u, refused->getRoot<mc::Response>().getId());
    EXPECT_EQ(mc::Error::VALIDATION_FAILED, refused->getRoot<mc::Response>().getError());
    EXPECT_STREQ("validationFailed",
                 PZClient_errorName(static_cast<uint16_t>(refused->getRoot<mc::Response>().getError())));
}

}  // namespace
