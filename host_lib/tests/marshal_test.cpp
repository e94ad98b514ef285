// Descriptor table sizes, refusal of codes that are not in the table, bounds
// on the wire bytes, the word helpers and the table's per-context life.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host_lib/host_api_records.h"
#include "host_lib/marshal.h"
#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Marshal : public ::testing::Test {
protected:
    std::shared_ptr<morv::driver::Context> context_ = std::make_shared<morv::driver::Context>();
    morv::driver::ScopedThreadContext scope_{context_};
};

// ---------------------------------------------------------------------------
// Sizes
// ---------------------------------------------------------------------------

struct StatedSize {
    uint32_t code;
    uint32_t host;
    uint32_t wire;  // 0: not stated, checked only for being within the host size
};

// Host and wire sizes as the record descriptions state them.
constexpr StatedSize kStated[] = {
    {0x00000001, 8, 8},       {0x00000002, 4, 4},       {0x00000003, 4, 4},      {0x00000004, 56, 30},
    {0x00000005, 32, 0},      {0x00000006, 4, 4},       {0x00000007, 32, 30},    {0x00000008, 20, 0},
    {0x00000009, 16, 0},      {0x0000000A, 16, 0},      {0x0000000B, 12, 0},     {0x0000000C, 8, 8},
    {0x0000000D, 16, 0},      {0x0000000E, 16, 0},      {0x0000000F, 4, 4},      {0x00000010, 4, 4},
    {0x01000001, 76, 0},      {0x01000002, 48, 0},      {0x01000003, 56, 0},     {0x01000009, 80, 48},
    {0x0100000A, 80, 48},     {0x0100000D, 20, 20},     {0x0100000F, 800, 598},  {0x01000010, 800, 598},
    {0x01000011, 84, 67},     {0x01000012, 84, 67},     {0x01000015, 16, 12},    {0x01000016, 16, 16},
    {0x02000001, 16, 13},     {0x02000002, 16, 13},     {0x02000005, 12, 12},    {0x03000001, 8, 8},
    {0x03000002, 4, 4},       {0x03000003, 104, 90},    {0x04000001, 8, 8},      {0x04000002, 4, 4},
    {0x04000003, 88, 84},     {0x05000001, 8, 8},       {0x05000002, 4, 4},      {0x05000003, 56, 50},
    {0x06000001, 8, 8},       {0x06000002, 4, 4},       {0x06000004, 112, 112},  {0x07000001, 8, 8},
    {0x07000002, 8, 8},       {0x07000003, 24, 24},     {0x07000004, 16, 16},    {0x07000005, 16, 16},
    {0x07000006, 2072, 2060}, {0x09000001, 8, 8},       {0x09000002, 4, 4},      {0x09000003, 4, 4},
    {0x09000005, 32, 28},     {0x09000006, 12, 9},      {0x09000007, 12, 12},
};

TEST_F(Marshal, RecordSizesMatchTheirDescriptions) {
    for (const auto& stated : kStated) {
        SCOPED_TRACE(::testing::Message() << std::hex << "code 0x" << stated.code);
        EXPECT_TRUE(MARSHALG_isKnownCode(stated.code));
        EXPECT_EQ(MARSHALG_getIoctlSize(stated.code), stated.host);
        if (stated.wire != 0)
            EXPECT_EQ(MARSHALG_getMarshalledSize(stated.code), stated.wire);
        else
            EXPECT_LE(MARSHALG_getMarshalledSize(stated.code), stated.host);
    }
    // The host API records agree with the table.
    EXPECT_EQ(MARSHALG_getIoctlSize(LOGGER_SET_PARAMS_E), sizeof(VPUG_loggerParams));
    EXPECT_EQ(MARSHALG_getIoctlSize(DEPTH_STREAM_START_E), sizeof(VPUG_streamStartParams));
    EXPECT_EQ(MARSHALG_getIoctlSize(DEPTH_STREAM_STOP_E), sizeof(VPUG_streamStopParams));
    EXPECT_EQ(MARSHALG_getIoctlSize(POS_SENSORS_CONFIG_E), sizeof(VPUG_posSensorsConfigParams));
    EXPECT_EQ(MARSHALG_getIoctlSize(POS_SENSORS_SAMPLE_E), sizeof(VPUG_posSensorSample));
    EXPECT_EQ(MARSHALG_getIoctlSize(VPU_CMDG_FREE_BUF_E), sizeof(VPUG_freeBufParams));
    EXPECT_EQ(MARSHALG_getIoctlSize(VPU_CMDG_GET_READ_FUNC_E), sizeof(VPUG_getReadFuncParams));
    EXPECT_EQ(MARSHALG_getIoctlSize(VIDEO_FRAME_E), VPUG_VIDEO_FRAME_HDR_SIZE);
    EXPECT_EQ(MARSHALG_getIoctlSize(DEPTH_FRAME_E), VPUG_DEPTH_FRAME_HDR_SIZE);
    EXPECT_EQ(MARSHALG_getIoctlSize(WEBCAM_FRAME_E), VPUG_WEBCAM_FRAME_HDR_SIZE);
    EXPECT_EQ(MARSHALG_getIoctlSize(ALG_RESULT_E), VPUG_ALG_RESULT_SIZE);
}

TEST_F(Marshal, FieldCountsOfTheLargeSystemEntries) {
    const auto& source = MARSHALP_getTableSource();
    auto countOf = [&](uint32_t code) {
        for (size_t i = 0; i < source.numRows; ++i) {
            if (source.rows[i].code != code) continue;
            uint32_t count = 0;
            EXPECT_TRUE(MARSHALP_forEachField(source.rows[i].fields, [&](uint32_t, uint32_t, uint32_t) { ++count; }));
            return count;
        }
        return 0u;
    };
    EXPECT_EQ(countOf(0x01000001), 9u);
    EXPECT_EQ(countOf(0x01000002), 15u);
    EXPECT_EQ(countOf(0x01000003), 17u);
    EXPECT_EQ(countOf(0x01000009), 14u);
    EXPECT_EQ(countOf(0x0100000F), 220u);
    EXPECT_EQ(countOf(0x01000011), 25u);
    EXPECT_EQ(countOf(0x02000001), 7u);
    EXPECT_EQ(countOf(0x03000003), 28u);
}

TEST_F(Marshal, LargestRecordPerServiceSizesThePools) {
    // Service 0's largest record is 56 bytes; a service's pool takes the larger of the two.
    EXPECT_EQ(MARSHALG_getMaxSize(VPUG_SID_SVC_MNGR), 56u);
    EXPECT_EQ(MARSHALG_getMaxSize(VPUG_SID_SYSTEM), 800u);
    EXPECT_EQ(MARSHALG_getMaxSize(VPUG_SID_LOGGER), 56u);
    EXPECT_EQ(MARSHALG_getMaxSize(VPUG_SID_VIDEO), 104u);
    EXPECT_EQ(MARSHALG_getMaxSize(VPUG_SID_DEPTH), 88u);
    EXPECT_EQ(MARSHALG_getMaxSize(VPUG_SID_WEBCAM), 56u);
    EXPECT_EQ(MARSHALG_getMaxSize(VPUG_SID_PLACEHOLDER_6), 112u);
    EXPECT_EQ(MARSHALG_getMaxSize(VPUG_SID_ALG), 2072u);
    EXPECT_EQ(MARSHALG_getMaxSize(VPUG_SID_POS_SENSORS), 56u);
    EXPECT_EQ(MARSHALG_getMaxSize(10), 56u);
    EXPECT_EQ(MARSHALG_getMaxSize(0xFFFFFFFFu), 56u);
    EXPECT_EQ(MARSHALG_getMaxMarshalledSize(VPUG_SID_ALG), 2060u);
    EXPECT_EQ(MARSHALG_getMaxMarshalledSize(VPUG_SID_SYSTEM), 598u);
    EXPECT_EQ(MARSHALG_getMaxMarshalledSize(10), 0u);
}

TEST_F(Marshal, EmptyEntriesInsideABlockAreCodesWithoutParameters) {
    // The logger's start and stop, SYSTEM's entries 6 and 7, the last entry of service 8.
    for (uint32_t code : {0x02000003u, 0x02000004u, 0x01000006u, 0x01000007u, 0x0800000Au, 0x09000004u}) {
        SCOPED_TRACE(::testing::Message() << std::hex << "code 0x" << code);
        EXPECT_TRUE(MARSHALG_isKnownCode(code));
        EXPECT_EQ(MARSHALG_getIoctlSize(code), 0u);
        EXPECT_EQ(MARSHALG_getMarshalledSize(code), 0u);
        uint32_t length = 99;
        uint8_t wire = 0x5A;
        uint8_t host = 0x5A;
        EXPECT_TRUE(MARSHALG_convert(MARSHALG_UNMARSHAL_E, code, &host, &wire, 0, &length));
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(host, 0x5A);  // nothing written past a zero-size record
    }
}

// ---------------------------------------------------------------------------
// Codes that are not in the table, and short wire input
// ---------------------------------------------------------------------------

// Only the two codes whose record is a host address are host-only: every
// other code of the table may cross the wire.
TEST_F(Marshal, OnlyTheBufferAndReadFunctionCodesAreHostOnly) {
    const MARSHALP_tableSourceT& source = MARSHALP_getTableSource();
    std::vector<uint32_t> hostOnly;
    for (size_t i = 0; i < source.numRows; ++i)
        if (MARSHALG_isHostOnlyCode(source.rows[i].code)) hostOnly.push_back(source.rows[i].code);
    EXPECT_EQ(hostOnly, (std::vector<uint32_t>{VPU_CMDG_FREE_BUF_E, VPU_CMDG_GET_READ_FUNC_E}));
    // The same command numbers under another service id are that service's own codes.
    for (uint32_t code : {0x01000001u, 0x0100000Cu, 0x02000001u, 0x0900000Cu, 0x0u})
        EXPECT_FALSE(MARSHALG_isHostOnlyCode(code)) << std::hex << code;
}

TEST_F(Marshal, UnknownCodesAreRefusedAndTouchNothing) {
    const uint32_t unknown[] = {
        0x00000000,  // command number 0
        0x0000001F,  // command number 31, past the 30 entries of a block
        0x00FFFFFF,  // largest command number
        0x00000011,  // past the last entry of service 0
        0x01000018,  // past the last entry of SYSTEM
        0x02000006,  // past the logger's block
        0x0300001E,  // inside the 30 entries but past the end mark
        0x0800000B,  // past service 8's empty tail
        0x0900000A,  // past POS_SENSORS
        0x0A000001,  // service id 10
        0xFF000001,  // largest service id
        0x09000000,  // command 0 of a real service
    };
    for (uint32_t code : unknown) {
        SCOPED_TRACE(::testing::Message() << std::hex << "code 0x" << code);
        EXPECT_FALSE(MARSHALG_isKnownCode(code));
        EXPECT_EQ(MARSHALG_getIoctlSize(code), 0u);
        EXPECT_EQ(MARSHALG_getMarshalledSize(code), 0u);
        for (uint32_t direction : {0u, 1u}) {
            Bytes host(64, 0x11);
            Bytes wire(64, 0x22);
            uint32_t length = 0xDEADBEEF;
            EXPECT_FALSE(MARSHALG_convert(direction, code, host.data(), wire.data(), 64, &length));
            EXPECT_EQ(length, 0xDEADBEEFu);
            EXPECT_EQ(host, Bytes(64, 0x11));
            EXPECT_EQ(wire, Bytes(64, 0x22));
            EXPECT_FALSE(MARSHALG_convert(direction, code, nullptr, nullptr, 0, &length));
            EXPECT_EQ(length, 0xDEADBEEFu);
        }
    }
}

TEST_F(Marshal, ShortWireInputIsRefusedWithoutReadingIt) {
    // Exactly-sized heap buffers: a read one byte past the end shows under the address sanitizer.
    for (uint32_t code : {POS_SENSORS_SAMPLE_E, DEPTH_FRAME_E, ALG_RESULT_E, LOGGER_GET_PARAMS_E}) {
        SCOPED_TRACE(::testing::Message() << std::hex << "code 0x" << code);
        const uint32_t wireSize = MARSHALG_getMarshalledSize(code);
        Bytes host(MARSHALG_getIoctlSize(code), 0x33);
        for (uint32_t shortBy : {1u, wireSize / 2, wireSize}) {
            auto wire = std::make_unique<uint8_t[]>(wireSize - shortBy + 1);
            uint32_t length = 7;
            EXPECT_FALSE(MARSHALG_convert(MARSHALG_UNMARSHAL_E, code, host.data(), wire.get(), wireSize - shortBy,
                                          &length));
            EXPECT_EQ(length, 7u);
            EXPECT_EQ(host, Bytes(host.size(), 0x33));
        }
        auto exact = std::make_unique<uint8_t[]>(wireSize);
        std::memset(exact.get(), 0x44, wireSize);
        uint32_t length = 0;
        EXPECT_TRUE(MARSHALG_convert(MARSHALG_UNMARSHAL_E, code, host.data(), exact.get(), wireSize, &length));
        EXPECT_EQ(length, host.size());
    }
}

TEST_F(Marshal, TooLittleRoomToMarshalIsRefused) {
    VPUG_loggerParams params{2, 1, 0, 1, 0, 0, 0};
    Bytes wire(13, 0x55);
    uint32_t length = 0;
    EXPECT_FALSE(MARSHALG_convert(MARSHALG_MARSHAL_E, LOGGER_SET_PARAMS_E, &params, wire.data(), 12, &length));
    EXPECT_EQ(wire, Bytes(13, 0x55));
    EXPECT_TRUE(MARSHALG_convert(MARSHALG_MARSHAL_E, LOGGER_SET_PARAMS_E, &params, wire.data(), 13, &length));
    EXPECT_EQ(length, 13u);
}

TEST_F(Marshal, UnknownDirectionIsRefused) {
    VPUG_streamStopParams stop{1};
    uint8_t wire[4] = {9, 9, 9, 9};
    uint32_t length = 5;
    EXPECT_FALSE(MARSHALG_convert(2, DEPTH_STREAM_STOP_E, &stop, wire, 4, &length));
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(stop.streamId, 1u);
    EXPECT_EQ(wire[0], 9);
}

TEST_F(Marshal, MissingBufferOnlyComputesTheLength) {
    uint32_t length = 0;
    EXPECT_TRUE(MARSHALG_convert(MARSHALG_MARSHAL_E, ALG_RESULT_E, nullptr, nullptr, 0, &length));
    EXPECT_EQ(length, 2060u);
    EXPECT_TRUE(MARSHALG_convert(MARSHALG_UNMARSHAL_E, ALG_RESULT_E, nullptr, nullptr, 0, &length));
    EXPECT_EQ(length, 2072u);
    Bytes host(2072, 0x66);
    EXPECT_TRUE(MARSHALG_convert(MARSHALG_UNMARSHAL_E, ALG_RESULT_E, host.data(), nullptr, 0, &length));
    EXPECT_EQ(host, Bytes(2072, 0x66));
}

// ---------------------------------------------------------------------------
// Whole table
// ---------------------------------------------------------------------------

TEST_F(Marshal, EveryKnownCodeRoundTripsRandomWireBytes) {
    std::mt19937 random(20261209);
    uint32_t checked = 0;
    for (uint32_t sid = 0; sid < 10; ++sid) {
        for (uint32_t number = 1; number <= 30; ++number) {
            const uint32_t code = VPU_CMDG_makeCode(sid, number);
            if (!MARSHALG_isKnownCode(code)) continue;
            SCOPED_TRACE(::testing::Message() << std::hex << "code 0x" << code);
            const uint32_t wireSize = MARSHALG_getMarshalledSize(code);
            Bytes wire(wireSize);
            for (auto& b : wire) b = static_cast<uint8_t>(random());
            Bytes host(MARSHALG_getIoctlSize(code) + 8, 0xEE);  // 8 guard bytes behind the record
            uint32_t length = 0;
            ASSERT_TRUE(MARSHALG_convert(MARSHALG_UNMARSHAL_E, code, host.data(), wire.data(), wireSize, &length));
            EXPECT_EQ(Bytes(host.end() - 8, host.end()), Bytes(8, 0xEE)) << "wrote past the host record";
            Bytes back(wireSize, 0);
            ASSERT_TRUE(MARSHALG_convert(MARSHALG_MARSHAL_E, code, host.data(), back.data(), wireSize, &length));
            EXPECT_EQ(back, wire);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 16u + 23u + 5u + 3u + 3u + 3u + 4u + 6u + 10u + 9u);
}

// ---------------------------------------------------------------------------
// Word helpers
// ---------------------------------------------------------------------------

TEST_F(Marshal, WordHelpersWriteAndReadLittleEndian) {
    uint32_t word = 0x04030201;
    uint8_t bytes[4] = {};
    MARSHALG_convertHdr(MARSHALG_MARSHAL_E, &word, bytes);
    EXPECT_EQ((std::array<uint8_t, 4>{bytes[0], bytes[1], bytes[2], bytes[3]}), (std::array<uint8_t, 4>{1, 2, 3, 4}));
    uint8_t packet[4] = {0x64, 0x00, 0x00, 0x48};  // channel 18, 100 bytes
    MARSHALG_convertHdr(MARSHALG_UNMARSHAL_E, &word, packet);
    EXPECT_EQ(word, (18u << 26) | 100u);

    uint64_t value = 0x8877665544332211ull;
    uint8_t eight[8] = {};
    MARSHALP_convert64(MARSHALG_MARSHAL_E, &value, eight);
    EXPECT_EQ(eight[0], 0x11);
    EXPECT_EQ(eight[7], 0x88);
    uint64_t back = 0;
    MARSHALP_convert64(MARSHALG_UNMARSHAL_E, &back, eight);
    EXPECT_EQ(back, value);
}

// ---------------------------------------------------------------------------
// The table per context
// ---------------------------------------------------------------------------

struct CapturedLog {
    LOGG_callbackT callback;  // first: the logger calls through it
    std::mutex lock;
    std::vector<std::string> lines;
};

void captureLine(uint8_t, const char* line, LOGG_callbackT* self) {
    auto* captured = reinterpret_cast<CapturedLog*>(self);
    std::lock_guard<std::mutex> guard(captured->lock);
    captured->lines.emplace_back(line);
}

TEST_F(Marshal, TableLivesInItsContextSlotAndLogsEveryEntry) {
    const PZContextSlotKey marshalSlot = PZContext_FixedKey(PZ_SLOT_MARSHAL);
    EXPECT_EQ(PZContext_FindSlot(context_.get(), marshalSlot), nullptr);

    auto* captured = static_cast<CapturedLog*>(PZContext_GetSlot(
        context_.get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK),
        [](void*) -> void* {
            auto* log = new CapturedLog;
            log->callback.func = &captureLine;
            return log;
        },
        nullptr, [](void* object) { delete static_cast<CapturedLog*>(object); }));
    LOGG_init();
    LOGG_setSeverity(LOG_DEBUG_E);
    MARSHALP_tblInit();
    LOGG_deinit();

    EXPECT_NE(PZContext_FindSlot(context_.get(), marshalSlot), nullptr);
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> guard(captured->lock);
        lines = captured->lines;
    }
    ASSERT_EQ(lines.size(), 82u + 10u);
    auto endsWith = [](const std::string& text, const std::string& tail) {
        return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    };
    EXPECT_TRUE(endsWith(lines[0], "  [0] params=1, size=8(marshalled=8)")) << lines[0];
    EXPECT_TRUE(endsWith(lines[16], "sid 0 total: 16 ioctls max=56(marshalled=30)")) << lines[16];
    const auto sid7 = std::find_if(lines.begin(), lines.end(),
                                   [&](const std::string& l) { return endsWith(l, "sid 7 total: 6 ioctls max=2072(marshalled=2060)"); });
    ASSERT_NE(sid7, lines.end());
    EXPECT_TRUE(endsWith(*(sid7 - 1), "  [5] params=5, size=2072(marshalled=2060)")) << *(sid7 - 1);
    EXPECT_TRUE(endsWith(lines.back(), "sid 9 total: 9 ioctls max=32(marshalled=28)")) << lines.back();
}

TEST_F(Marshal, FirstUseFromManyThreadsBuildsOneTable) {
    std::vector<std::thread> threads;
    std::array<uint32_t, 8> sizes{};
    for (size_t i = 0; i < sizes.size(); ++i) {
        threads.emplace_back([this, i, &sizes] {
            morv::driver::ScopedThreadContext scope(context_);
            sizes[i] = MARSHALG_getIoctlSize(ALG_RESULT_E) + MARSHALG_getMarshalledSize(VIDEO_FRAME_E);
        });
    }
    for (auto& thread : threads) thread.join();
    for (uint32_t size : sizes) EXPECT_EQ(size, 2072u + 90u);
}

}  // namespace
