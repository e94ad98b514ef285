// Wire layouts of the records the driver exchanges with the processor's
// services, in both directions, against byte arrays written out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host_lib/host_api_records.h"
#include "host_lib/marshal.h"
#include "runtime/context.h"

namespace {

using Bytes = std::vector<uint8_t>;

class MarshalLayout : public ::testing::Test {
protected:
    morv::driver::ScopedThreadContext scope_{std::make_shared<morv::driver::Context>()};

    // Marshals a host record into a buffer of exactly the code's wire size.
    static Bytes marshal(uint32_t code, const void* host) {
        Bytes wire(MARSHALG_getMarshalledSize(code));
        uint32_t length = 0;
        EXPECT_TRUE(MARSHALG_convert(MARSHALG_MARSHAL_E, code, const_cast<void*>(host), wire.data(),
                                     static_cast<uint32_t>(wire.size()), &length));
        EXPECT_EQ(length, wire.size());
        return wire;
    }

    // Unmarshals into a host record pre-filled with 0xEE, so stale bytes show.
    static Bytes unmarshal(uint32_t code, Bytes wire) {
        Bytes host(MARSHALG_getIoctlSize(code), 0xEE);
        uint32_t length = 0;
        EXPECT_TRUE(MARSHALG_convert(MARSHALG_UNMARSHAL_E, code, host.data(), wire.data(),
                                     static_cast<uint32_t>(wire.size()), &length));
        EXPECT_EQ(length, host.size());
        return host;
    }
};

// ---------------------------------------------------------------------------
// Records the driver sends
// ---------------------------------------------------------------------------

TEST_F(MarshalLayout, LoggerParametersPackToThirteenBytesWithoutPadding) {
    VPUG_loggerParams params;
    std::memset(&params, 0xAA, sizeof(params));  // padding must not reach the wire
    params.severity = 2;
    params.print = 1;
    params.printGp = 0;
    params.sendGp = 1;
    params.word = 0;
    params.byte0 = 0;
    params.byte1 = 0;
    EXPECT_EQ(marshal(LOGGER_SET_PARAMS_E, &params),
              (Bytes{0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));

    params.severity = 0x11223344;
    params.print = 5;
    params.printGp = 6;
    params.sendGp = 7;
    params.word = 0xA1B2C3D4;
    params.byte0 = 8;
    params.byte1 = 9;
    const Bytes wire{0x44, 0x33, 0x22, 0x11, 0x05, 0x06, 0x07, 0xD4, 0xC3, 0xB2, 0xA1, 0x08, 0x09};
    EXPECT_EQ(marshal(LOGGER_SET_PARAMS_E, &params), wire);
    EXPECT_EQ(marshal(LOGGER_GET_PARAMS_E, &params), wire);
}

TEST_F(MarshalLayout, LoggerParametersReplyFillsFieldsAndClearsPadding) {
    const Bytes wire{0x03, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x78, 0x56, 0x34, 0x12, 0xFE, 0x7F};
    const Bytes host = unmarshal(LOGGER_GET_PARAMS_E, wire);
    const Bytes expected{0x03, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00,  // severity, flags, padding
                         0x78, 0x56, 0x34, 0x12, 0xFE, 0x7F, 0x00, 0x00};  // word, two bytes, padding
    EXPECT_EQ(host, expected);
    VPUG_loggerParams params;
    std::memcpy(&params, host.data(), sizeof(params));
    EXPECT_EQ(params.severity, 3);
    EXPECT_EQ(params.sendGp, 1);
    EXPECT_EQ(params.word, 0x12345678u);
    EXPECT_EQ(params.byte1, 0x7F);
}

TEST_F(MarshalLayout, StreamStartAndStopRecords) {
    const VPUG_streamStartParams start{0x04000002, 3};
    const Bytes startWire{0x02, 0x00, 0x00, 0x04, 0x03, 0x00, 0x00, 0x00};
    for (uint32_t code : {VIDEO_STREAM_START_E, DEPTH_STREAM_START_E, WEBCAM_STREAM_START_E, INJECT_STREAM_START_E})
        EXPECT_EQ(marshal(code, &start), startWire) << std::hex << code;

    const VPUG_streamStopParams stop{7};
    for (uint32_t code : {VIDEO_STREAM_STOP_E, DEPTH_STREAM_STOP_E, WEBCAM_STREAM_STOP_E, INJECT_STREAM_STOP_E})
        EXPECT_EQ(marshal(code, &stop), (Bytes{0x07, 0x00, 0x00, 0x00})) << std::hex << code;

    // The peer's answer comes back into the caller's record.
    const Bytes host = unmarshal(DEPTH_STREAM_START_E, startWire);
    VPUG_streamStartParams back{};
    std::memcpy(&back, host.data(), sizeof(back));
    EXPECT_EQ(back.dataType, 0x04000002u);
    EXPECT_EQ(back.streamId, 3u);
}

TEST_F(MarshalLayout, ImuConfigurationTravelsAsRawBytes) {
    // The four 16-bit codes cross as the host holds them (two raw 4-byte fields).
    const VPUG_posSensorsConfigParams config{0x0102, 0x0304, 0x0506, 0x0708};
    const Bytes wire{0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07};
    EXPECT_EQ(marshal(POS_SENSORS_CONFIG_E, &config), wire);

    const Bytes reply{0x0A, 0x00, 0x0B, 0x00, 0x0C, 0x00, 0x0D, 0x00};
    const Bytes host = unmarshal(POS_SENSORS_CONFIG_E, reply);
    VPUG_posSensorsConfigParams back{};
    std::memcpy(&back, host.data(), sizeof(back));
    EXPECT_EQ(back.accelRate, 0x0A);
    EXPECT_EQ(back.gyroRate, 0x0B);
    EXPECT_EQ(back.accelRange, 0x0C);
    EXPECT_EQ(back.gyroRange, 0x0D);
}

TEST_F(MarshalLayout, ImuStartStopAndServiceManagerRequests) {
    const VPUG_posSensorsCtrlParams ctrl{0x01020304};
    EXPECT_EQ(marshal(POS_SENSORS_START_E, &ctrl), (Bytes{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(marshal(POS_SENSORS_STOP_E, &ctrl), (Bytes{0x04, 0x03, 0x02, 0x01}));
    const VPUG_svcParams open{VPUG_SID_POS_SENSORS};
    EXPECT_EQ(marshal(VPU_CMDG_OPEN_SVC_E, &open), (Bytes{0x09, 0x00, 0x00, 0x00}));
    EXPECT_EQ(marshal(VPU_CMDG_CLOSE_SVC_E, &open), (Bytes{0x09, 0x00, 0x00, 0x00}));
    EXPECT_EQ(marshal(VPU_CMDG_KEEP_ALIVE_E, &open), (Bytes{0x09, 0x00, 0x00, 0x00}));
}

// ---------------------------------------------------------------------------
// Records the driver receives
// ---------------------------------------------------------------------------

TEST_F(MarshalLayout, ImuSampleUnpacksIntoItsHostRecord) {
    const Bytes wire{0x01, 0x00,                                       // sensor index
                     0x02, 0x00,                                       // kind
                     0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,   // timestamp
                     0x0A, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00,   // values
                     0x0C, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes host = unmarshal(POS_SENSORS_SAMPLE_E, wire);
    ASSERT_EQ(host.size(), sizeof(VPUG_posSensorSample));
    const Bytes expected{0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,  // padding before the timestamp cleared
                         0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
                         0x0A, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00,
                         0x0C, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(host, expected);

    VPUG_posSensorSample sample{};
    std::memcpy(&sample, host.data(), sizeof(sample));
    EXPECT_EQ(sample.sensorIndex, 1);
    EXPECT_EQ(sample.kind, 2);
    EXPECT_EQ(sample.timestamp, 0x0102030405060708ull);
    EXPECT_EQ(sample.values[3], 0xFFFFFFFFu);

    EXPECT_EQ(marshal(POS_SENSORS_SAMPLE_E, &sample), wire);
}

TEST_F(MarshalLayout, DepthFrameHeaderUnpacksToItsOffsets) {
    Bytes wire{0x03, 0x00, 0x00, 0x00,                           // stream id
               0x34, 0x12, 0x78, 0x56,                           // frame word, u16 at 6
               0x02, 0x00,                                       // fragment index
               0x00, 0x10, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,   // fragment length, count
               0xBE, 0xBA, 0xFE, 0xCA,                           // frame value
               0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,   // frame stamp
               0x80, 0x02, 0xE0, 0x01};                          // u16 at 32 and 34
    for (uint8_t i = 1; i <= 12; ++i) wire.insert(wire.end(), {i, 0x01, 0x00, 0x00});  // u32 at 36..80
    wire.insert(wire.end(), {0x7E, 0x7F});                                            // bytes at 84, 85
    ASSERT_EQ(wire.size(), 84u);

    const Bytes host = unmarshal(DEPTH_FRAME_E, wire);
    ASSERT_EQ(host.size(), 88u);
    Bytes expected{0x03, 0x00, 0x00, 0x00, 0x34, 0x12, 0x78, 0x56,
                   0x02, 0x00, 0x00, 0x00,                           // padding at 10, 11
                   0x00, 0x10, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,
                   0xBE, 0xBA, 0xFE, 0xCA,
                   0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,
                   0x80, 0x02, 0xE0, 0x01};
    for (uint8_t i = 1; i <= 12; ++i) expected.insert(expected.end(), {i, 0x01, 0x00, 0x00});
    expected.insert(expected.end(), {0x7E, 0x7F, 0x00, 0x00});
    EXPECT_EQ(host, expected);

    // The read record's frame word, value and stamp sit at 4, 20 and 24.
    uint16_t frameWord = 0;
    uint32_t frameValue = 0;
    uint64_t frameStamp = 0;
    std::memcpy(&frameWord, host.data() + 4, 2);
    std::memcpy(&frameValue, host.data() + 20, 4);
    std::memcpy(&frameStamp, host.data() + 24, 8);
    EXPECT_EQ(frameWord, 0x1234);
    EXPECT_EQ(frameValue, 0xCAFEBABEu);
    EXPECT_EQ(frameStamp, 0x1122334455667788ull);

    EXPECT_EQ(marshal(DEPTH_FRAME_E, host.data()), wire);
}

struct FieldMove {
    uint32_t wireOffset;
    uint32_t hostOffset;
    uint32_t size;
};

// Fills the wire with 1, 2, 3, ... and checks that each listed field lands at
// its host offset, that every other host byte is zero, and that marshalling
// the result gives the same wire bytes back.
void expectFieldMoves(uint32_t code, uint32_t wireSize, uint32_t hostSize, const std::vector<FieldMove>& moves) {
    Bytes wire(wireSize);
    for (uint32_t i = 0; i < wireSize; ++i) wire[i] = static_cast<uint8_t>(i + 1);
    Bytes host(hostSize, 0xEE);
    uint32_t length = 0;
    ASSERT_TRUE(MARSHALG_convert(MARSHALG_UNMARSHAL_E, code, host.data(), wire.data(), wireSize, &length));
    EXPECT_EQ(length, hostSize);

    Bytes expected(hostSize, 0);
    uint32_t covered = 0;
    for (const auto& move : moves) {
        std::memcpy(expected.data() + move.hostOffset, wire.data() + move.wireOffset, move.size);
        covered += move.size;
    }
    EXPECT_EQ(covered, wireSize) << "the list must account for every wire byte";
    EXPECT_EQ(host, expected) << std::hex << code;

    Bytes back(wireSize, 0);
    ASSERT_TRUE(MARSHALG_convert(MARSHALG_MARSHAL_E, code, host.data(), back.data(), wireSize, &length));
    EXPECT_EQ(length, wireSize);
    EXPECT_EQ(back, wire);
}

TEST_F(MarshalLayout, VideoFrameHeaderReordersItsTail) {
    expectFieldMoves(VIDEO_FRAME_E, 90, 104,
                     {{0, 0, 4},   {4, 4, 2},   {6, 6, 2},   {8, 8, 2},   {10, 12, 4}, {14, 16, 4}, {18, 20, 4},
                      {22, 24, 8}, {30, 92, 2}, {32, 94, 2}, {34, 96, 2}, {36, 98, 2}, {38, 80, 2}, {40, 82, 2},
                      {42, 84, 2}, {44, 86, 2}, {46, 32, 2}, {48, 34, 2}, {50, 36, 4}, {54, 40, 4}, {58, 44, 4},
                      {62, 48, 4}, {66, 60, 4}, {70, 64, 4}, {74, 68, 4}, {78, 72, 4}, {82, 52, 4}, {86, 56, 4}});
}

TEST_F(MarshalLayout, WebcamFrameHeader) {
    expectFieldMoves(WEBCAM_FRAME_E, 50, 56,
                     {{0, 0, 4},   {4, 4, 2},   {6, 6, 2},   {8, 8, 2},   {10, 12, 4}, {14, 16, 4}, {18, 20, 4},
                      {22, 24, 8}, {30, 32, 2}, {32, 34, 2}, {34, 36, 4}, {38, 40, 4}, {42, 44, 4}, {46, 48, 4}});
}

TEST_F(MarshalLayout, AlgorithmResultMovesItsWordsAndBlocks) {
    // Wire words 0, 4, 8 land at host 12, 16, 8; the two raw blocks at 20 and 1044.
    expectFieldMoves(ALG_RESULT_E, 2060, 2072, {{0, 12, 4}, {4, 16, 4}, {8, 8, 4}, {12, 20, 1024}, {1036, 1044, 1024}});
}

}  // namespace
