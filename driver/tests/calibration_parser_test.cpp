#include "driver/calibration_parser.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "driver/tests/client_test_support.h"
#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

// Every byte of a fresh test record is 0x41, so a double the parser did not
// write reads kSentinel (a value no test text carries) and a flag 0x41.
constexpr uint8_t kSentinelByte = 0x41;
constexpr double kSentinel = std::bit_cast<double>(0x4141414141414141ULL);

PZCalibration sentinelRecord() {
    PZCalibration record;
    std::memset(&record, kSentinelByte, sizeof record);
    return record;
}

// Fresh driver context with the logger's lines captured.
class CalibrationParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        PZContext_GetSlot(context_.get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK), [](void* value) { return value; },
                          log_.record(), [](void*) {});
        LOGG_init();
    }

    // Parses from a heap copy of exactly the text's bytes, without a
    // terminator, so reading beyond the given length is caught by ASan.
    PZStatus parse(const std::string& text, PZCalibration* record) {
        std::unique_ptr<char[]> exact(new char[text.size() + 1]);
        std::memcpy(exact.get(), text.data(), text.size());
        return PZCalibrationParser_ParseString(text.empty() ? nullptr : exact.get(), text.size(), record);
    }
    PZCalibration parsed(const std::string& text) {
        PZCalibration record = sentinelRecord();
        EXPECT_EQ(PZStatus_Success, parse(text, &record));
        return record;
    }

    ztest::LogCapture log_;  // outlives the context that points at it
    std::shared_ptr<morv::driver::Context> context_ = std::make_shared<morv::driver::Context>();
    morv::driver::ScopedThreadContext scope_{context_};
};

// ---- names the keys are expected to fill, written by field, not by offset ----

using VisField = double PZCalibrationVisibleCamera::*;
const std::vector<std::pair<std::string, VisField>> kVisibleFields = {
    {"fx", &PZCalibrationVisibleCamera::fx},       {"fy", &PZCalibrationVisibleCamera::fy},
    {"cx", &PZCalibrationVisibleCamera::cx},       {"cy", &PZCalibrationVisibleCamera::cy},
    {"k1", &PZCalibrationVisibleCamera::k1},       {"k2", &PZCalibrationVisibleCamera::k2},
    {"k3", &PZCalibrationVisibleCamera::k3},       {"k4", &PZCalibrationVisibleCamera::k4},
    {"k5", &PZCalibrationVisibleCamera::k5},       {"kb_fx", &PZCalibrationVisibleCamera::kb_fx},
    {"kb_fy", &PZCalibrationVisibleCamera::kb_fy}, {"kb_cx", &PZCalibrationVisibleCamera::kb_cx},
    {"kb_cy", &PZCalibrationVisibleCamera::kb_cy}, {"kb_k1", &PZCalibrationVisibleCamera::kb_k1},
    {"kb_k2", &PZCalibrationVisibleCamera::kb_k2}, {"kb_k3", &PZCalibrationVisibleCamera::kb_k3},
    {"kb_k4", &PZCalibrationVisibleCamera::kb_k4}, {"p1", &PZCalibrationVisibleCamera::p1},
    {"p2", &PZCalibrationVisibleCamera::p2},       {"tx", &PZCalibrationVisibleCamera::tx},
    {"ty", &PZCalibrationVisibleCamera::ty},       {"tz", &PZCalibrationVisibleCamera::tz},
    {"rx", &PZCalibrationVisibleCamera::rx},       {"ry", &PZCalibrationVisibleCamera::ry},
    {"rz", &PZCalibrationVisibleCamera::rz},       {"du", &PZCalibrationVisibleCamera::du},
    {"dv", &PZCalibrationVisibleCamera::dv},       {"nx", &PZCalibrationVisibleCamera::nx},
    {"ny", &PZCalibrationVisibleCamera::ny},       {"kb_tx", &PZCalibrationVisibleCamera::kb_tx},
    {"kb_ty", &PZCalibrationVisibleCamera::kb_ty}, {"kb_tz", &PZCalibrationVisibleCamera::kb_tz},
    {"kb_rx", &PZCalibrationVisibleCamera::kb_rx}, {"kb_ry", &PZCalibrationVisibleCamera::kb_ry},
    {"kb_rz", &PZCalibrationVisibleCamera::kb_rz},
};

using RecField = double PZCalibration::*;
#define F(name) {#name, &PZCalibration::name}
const std::vector<std::pair<std::string, RecField>> kImuFields = {
    F(imu_scale_fac_gyro_x), F(imu_scale_fac_gyro_y), F(imu_scale_fac_gyro_z), F(imu_scale_fac_accel_x),
    F(imu_scale_fac_accel_y), F(imu_scale_fac_accel_z), F(imu_bias_gyro_x), F(imu_bias_gyro_y),
    F(imu_bias_gyro_z), F(imu_bias_accel_x), F(imu_bias_accel_y), F(imu_bias_accel_z),
    F(imu_tx), F(imu_ty), F(imu_tz), F(imu_rx), F(imu_ry), F(imu_rz),
};
const std::vector<std::pair<std::string, RecField>> kOldOnlyFields = {
    F(fc_left), F(fc_right), F(cc_left_x), F(cc_left_y), F(cc_right_x), F(cc_right_y), F(T), F(squint_k0),
    F(squint_k1), F(Nx), F(Ny),
    F(raw_left_fx), F(raw_left_fy), F(raw_left_cx), F(raw_left_cy), F(raw_left_k1), F(raw_left_k2),
    F(raw_left_p1), F(raw_left_p2), F(raw_left_k3),
    F(raw_right_fx), F(raw_right_fy), F(raw_right_cx), F(raw_right_cy), F(raw_right_k1), F(raw_right_k2),
    F(raw_right_p1), F(raw_right_p2), F(raw_right_k3),
    F(left_rectified_from_raw_rx), F(left_rectified_from_raw_ry), F(left_rectified_from_raw_rz),
    F(right_rectified_from_raw_rx), F(right_rectified_from_raw_ry), F(right_rectified_from_raw_rz),
    F(dsr_left_yStartIn), F(dsr_left_initBuffFill), F(dsr_left_samplingIntervalX), F(dsr_left_samplingIntervalY),
    F(dsr_left_yOffsetOut), F(dsr_left_xOffsetOut),
    F(dsr_right_yStartIn), F(dsr_right_initBuffFill), F(dsr_right_samplingIntervalX),
    F(dsr_right_samplingIntervalY), F(dsr_right_yOffsetOut), F(dsr_right_xOffsetOut),
    F(temp_left), F(temp_right), F(temp_imu_accel), F(temp_imu_gyro),
};
#undef F
using ExtField = double PZCalibrationExtrinsic::*;
const std::vector<std::pair<std::string, ExtField>> kPoseFields = {
    {"tx", &PZCalibrationExtrinsic::tx}, {"ty", &PZCalibrationExtrinsic::ty}, {"tz", &PZCalibrationExtrinsic::tz},
    {"rx", &PZCalibrationExtrinsic::rx}, {"ry", &PZCalibrationExtrinsic::ry}, {"rz", &PZCalibrationExtrinsic::rz},
};
const char* const kColourNames[9] = {"m00", "m01", "m02", "m10", "m11", "m12", "m20", "m21", "m22"};
const VisField kColourFields[9] = {&PZCalibrationVisibleCamera::m00, &PZCalibrationVisibleCamera::m01,
                                   &PZCalibrationVisibleCamera::m02, &PZCalibrationVisibleCamera::m10,
                                   &PZCalibrationVisibleCamera::m11, &PZCalibrationVisibleCamera::m12,
                                   &PZCalibrationVisibleCamera::m20, &PZCalibrationVisibleCamera::m21,
                                   &PZCalibrationVisibleCamera::m22};

// A text giving every key of a set its own value (1000 + index + 0.25).
std::string everyKeyText(const PZCalibrationKeyDef* defs, size_t count, int32_t version, bool altNames) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        const char* name = altNames && defs[i].altName ? defs[i].altName : defs[i].name;
        text += name;
        text += '=';
        if (defs[i].type == PZCalibrationValue_Int32) text += std::to_string(version);
        else if (defs[i].type == PZCalibrationValue_String) text += "2021-03-04T05:06:07";
        else text += std::to_string(1000 + i) + ".25";
        text += i % 3 == 2 ? "\r\n" : " \t";
    }
    return text;
}
double valueOf(const PZCalibrationKeyDef* defs, size_t count, const std::string& key) {
    for (size_t i = 0; i < count; ++i) {
        if (key == defs[i].name || (defs[i].altName && key == defs[i].altName)) return 1000.0 + i + 0.25;
    }
    ADD_FAILURE() << "no key " << key;
    return 0;
}

TEST_F(CalibrationParserTest, OldSetFillsEachFieldFromItsOwnKey) {
    for (bool snake : {false, true}) {
        SCOPED_TRACE(snake ? "snake-case pose keys" : "camel-case pose keys");
        PZCalibration record = sentinelRecord();
        char date[PZ_CALIBRATION_DATE_SIZE];
        const std::string text = everyKeyText(PZCalibration_oldKeys, PZ_CALIBRATION_OLD_KEY_COUNT, 4000, snake);
        EXPECT_EQ(0, PZCalibrationParser_ParseOld(text.data(), text.size(), &record, date));
        auto expect = [&](const std::string& key) { return valueOf(PZCalibration_oldKeys, PZ_CALIBRATION_OLD_KEY_COUNT, key); };

        EXPECT_EQ(4000, record.version);
        EXPECT_STREQ("2021-03-04T05:06:07", date);
        for (const auto& [key, field] : kOldOnlyFields) EXPECT_EQ(expect(key), record.*field) << key;
        for (const auto& [key, field] : kImuFields) EXPECT_EQ(expect(key), record.*field) << key;
        for (const auto& [key, field] : kVisibleFields) EXPECT_EQ(expect("vis_" + key), record.vis[0].*field) << key;
        for (int i = 0; i < 9; ++i) {
            EXPECT_EQ(expect(std::string("color_correction_matrix_") + kColourNames[i]), record.vis[0].*kColourFields[i]);
        }
        for (const auto& [key, field] : kPoseFields) {
            EXPECT_EQ(expect("raw_rightFromLeft_" + key), record.left_extrinsic.*field) << key;
            EXPECT_EQ(kSentinel, record.right_extrinsic.*field) << key;  // no key fills the right pose
        }
        // Fields no key of the older set names stay as they were.
        for (const auto& [key, field] : kVisibleFields) EXPECT_EQ(kSentinel, record.vis[1].*field) << key;
        EXPECT_EQ(kSentinel, record.fc_left_corrected);
        EXPECT_EQ(kSentinel, record.fc_right_corrected);
        for (double reserved : record.reserved0) EXPECT_EQ(kSentinel, reserved);
        for (double reserved : record.reserved1) EXPECT_EQ(kSentinel, reserved);
        EXPECT_EQ(kSentinelByte, record.left_extrinsic.extrinsicFlag);  // flags are the conversion's business
    }
}

TEST_F(CalibrationParserTest, NewSetFillsBothVisibleCamerasAndTheImu) {
    PZCalibration record = sentinelRecord();
    char date[PZ_CALIBRATION_DATE_SIZE];
    const std::string text = everyKeyText(PZCalibration_newKeys, PZ_CALIBRATION_NEW_KEY_COUNT, 5000, false);
    EXPECT_EQ(0, PZCalibrationParser_ParseNew(text.data(), text.size(), &record, date));
    auto expect = [&](const std::string& key) { return valueOf(PZCalibration_newKeys, PZ_CALIBRATION_NEW_KEY_COUNT, key); };

    EXPECT_EQ(5000, record.version);
    EXPECT_STREQ("2021-03-04T05:06:07", date);
    for (int cam = 0; cam < 2; ++cam) {
        for (const auto& [key, field] : kVisibleFields) {
            EXPECT_EQ(expect("vis_" + std::to_string(cam) + "_" + key), record.vis[cam].*field) << cam << key;
        }
        for (const VisField field : kColourFields) EXPECT_EQ(kSentinel, record.vis[cam].*field);
    }
    for (const auto& [key, field] : kImuFields) EXPECT_EQ(expect(key), record.*field) << key;
    // The stereo pair belongs to the older texts only.
    for (const auto& [key, field] : kOldOnlyFields) EXPECT_EQ(kSentinel, record.*field) << key;
    for (const auto& [key, field] : kPoseFields) EXPECT_EQ(kSentinel, record.left_extrinsic.*field) << key;
}

TEST_F(CalibrationParserTest, KeySetsHaveNoDuplicateKeyOrField) {
    auto check = [](const PZCalibrationKeyDef* defs, size_t count) {
        std::set<std::string> names;
        std::set<size_t> offsets;
        for (size_t i = 0; i < count; ++i) {
            EXPECT_TRUE(names.insert(defs[i].name).second) << defs[i].name;
            if (defs[i].altName) {
                EXPECT_TRUE(names.insert(defs[i].altName).second) << defs[i].altName;
            }
            if (defs[i].target == PZCalibrationTarget_Record) {
                EXPECT_TRUE(offsets.insert(defs[i].offset).second) << defs[i].name;
            }
        }
        EXPECT_STREQ("version", defs[0].name);
        EXPECT_STREQ("calib_date", defs[1].name);
    };
    check(PZCalibration_oldKeys, PZ_CALIBRATION_OLD_KEY_COUNT);
    check(PZCalibration_newKeys, PZ_CALIBRATION_NEW_KEY_COUNT);
}

// ---- choice of the key set and the version line ----

TEST_F(CalibrationParserTest, VersionPicksTheKeySet) {
    const std::string body = " vis_fx=1.5 vis_0_fx=2.5 vis_1_fx=3.5 fc_left=4.5";
    PZCalibration atNew = parsed("version=5000" + body);
    EXPECT_EQ(5000, atNew.version);
    EXPECT_EQ(2.5, atNew.vis[0].fx);
    EXPECT_EQ(3.5, atNew.vis[1].fx);
    EXPECT_EQ(kSentinel, atNew.fc_left);
    EXPECT_EQ(1, atNew.vis[0].extrinsicFlag);
    EXPECT_EQ(0, atNew.vis[1].extrinsicFlag);
    EXPECT_EQ(kSentinel, atNew.left_extrinsic.tx);  // the newer set is not converted
    EXPECT_EQ(kSentinelByte, atNew.right_extrinsic.extrinsicFlag);

    PZCalibration belowNew = parsed("version=4999" + body);
    EXPECT_EQ(4999, belowNew.version);
    EXPECT_EQ(1.5, belowNew.vis[0].fx);
    EXPECT_EQ(kSentinel, belowNew.vis[1].fx);
    EXPECT_EQ(4.5, belowNew.fc_left);
    EXPECT_EQ(0, belowNew.vis[0].extrinsicFlag);

    PZCalibration none = parsed(body.substr(1));
    EXPECT_EQ(-1, none.version);
    EXPECT_EQ(1.5, none.vis[0].fx);
    EXPECT_EQ(45.0, none.temp_left);  // -1 counts as an early version
}

TEST_F(CalibrationParserTest, VersionLineWithoutEqualsSignCarriesVersionAndDate) {
    PZCalibration record = parsed("version 5001\ncalib_date=2022-11-30_08:15:00\nvis_0_fx=7.5\n");
    EXPECT_EQ(5001, record.version);
    EXPECT_EQ(7.5, record.vis[0].fx);
    EXPECT_EQ(1u, log_.count("Calibrated on 2022-11-30_08:15:00, version: 5001"));

    EXPECT_EQ(5001, parsed("version 0x1389\ncalib_date=d").version);  // hexadecimal
    EXPECT_EQ(9, parsed("version 011\ncalib_date=d").version);        // octal
    EXPECT_EQ(-1, parsed("version none\ncalib_date=d").version);
    EXPECT_EQ(-1, parsed("version 99999999999\ncalib_date=d").version);
    // Only the word and one blank count; any other first word is an unknown key.
    EXPECT_EQ(-1, parsed("versions 5001\ncalib_date=d").version);
    EXPECT_EQ(-1, parsed("version\t5001\ncalib_date=d").version);
}

// ---- conversion of the older texts ----

TEST_F(CalibrationParserTest, OlderPoseIsTurnedAroundAndRightPoseCleared) {
    PZCalibration record = parsed("version=4 raw_right_from_left_tx=0.05 raw_right_from_left_ty=-0.25 "
                                  "raw_right_from_left_tz=1.5 raw_right_from_left_rx=0 raw_right_from_left_ry=0 "
                                  "raw_right_from_left_rz=0 temp_left=31.5 temp_right=32.5");
    EXPECT_DOUBLE_EQ(-0.05, record.left_extrinsic.tx);
    EXPECT_DOUBLE_EQ(0.25, record.left_extrinsic.ty);
    EXPECT_DOUBLE_EQ(-1.5, record.left_extrinsic.tz);
    EXPECT_EQ(0.0, record.left_extrinsic.rx);
    EXPECT_EQ(0.0, record.left_extrinsic.ry);
    EXPECT_EQ(0.0, record.left_extrinsic.rz);
    EXPECT_EQ(0, record.left_extrinsic.extrinsicFlag);
    EXPECT_EQ(1, record.right_extrinsic.extrinsicFlag);
    EXPECT_EQ(0, record.vis[0].extrinsicFlag);
    EXPECT_EQ(kSentinelByte, record.vis[1].extrinsicFlag);
    for (const auto& [key, field] : kPoseFields) EXPECT_EQ(0.0, record.right_extrinsic.*field) << key;
    EXPECT_EQ(31.5, record.temp_left);  // version 3 and later keep their temperatures
    EXPECT_EQ(32.5, record.temp_right);
}

TEST_F(CalibrationParserTest, CamelCasePoseKeysWinOnlyWhenTheirTxIsANumber) {
    PZCalibration both = parsed("version=10 raw_right_from_left_tx=0.5 raw_rightFromLeft_tx=0.25 "
                                "raw_right_from_left_ty=9 raw_rightFromLeft_ty=0.125");
    EXPECT_DOUBLE_EQ(-0.25, both.left_extrinsic.tx);
    EXPECT_DOUBLE_EQ(-0.125, both.left_extrinsic.ty);

    // "nan" under the camel-case name reads as no number: the snake-case keys count.
    PZCalibration camelNaN = parsed("version=10 raw_rightFromLeft_tx=nan raw_right_from_left_tx=0.5 "
                                    "raw_rightFromLeft_ty=3");
    EXPECT_DOUBLE_EQ(-0.5, camelNaN.left_extrinsic.tx);
    EXPECT_TRUE(std::isnan(camelNaN.left_extrinsic.ty));
}

TEST_F(CalibrationParserTest, EarlyVersionsGetTheFactoryTemperature) {
    PZCalibration v2 = parsed("version=2 temp_left=20 temp_right=21 temp_imu_gyro=22");
    EXPECT_EQ(45.0, v2.temp_left);
    EXPECT_EQ(45.0, v2.temp_right);
    EXPECT_EQ(22.0, v2.temp_imu_gyro);
    PZCalibration v3 = parsed("version=3 temp_left=20 temp_right=21");
    EXPECT_EQ(20.0, v3.temp_left);
    EXPECT_EQ(21.0, v3.temp_right);
}

TEST_F(CalibrationParserTest, InverseRotationUndoesTheRotation) {
    double rx = 1, ry = 1, rz = 1;
    PZCalibrationParser_InvertRotation(0, 0, 0.1, &rx, &ry, &rz);
    EXPECT_NEAR(-0.1, rz, 1e-7);
    EXPECT_NEAR(0.0, rx, 1e-7);
    EXPECT_NEAR(0.0, ry, 1e-7);

    auto matrix = [](double x, double y, double z) {
        const double cx = std::cos(x), sx = std::sin(x), cy = std::cos(y), sy = std::sin(y), cz = std::cos(z),
                     sz = std::sin(z);
        return std::vector<double>{cz * cy, cz * sy * sx - sz * cx, cz * sy * cx + sz * sx,
                                   sz * cy, sz * sy * sx + cz * cx, sz * sy * cx - cz * sx,
                                   -sy,     cy * sx,               cy * cx};
    };
    for (const auto& angles : std::vector<std::vector<double>>{{0.3, -0.2, 0.7}, {-1.2, 0.9, -2.5}, {0.01, 0.02, 0.03}}) {
        PZCalibrationParser_InvertRotation(angles[0], angles[1], angles[2], &rx, &ry, &rz);
        const auto a = matrix(angles[0], angles[1], angles[2]);
        const auto b = matrix(rx, ry, rz);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                double product = 0;
                for (int k = 0; k < 3; ++k) product += b[i * 3 + k] * a[k * 3 + j];
                EXPECT_NEAR(i == j ? 1.0 : 0.0, product, 1e-6) << angles[0] << " " << i << j;
            }
        }
    }
    PZCalibration record = parsed("version=4000 raw_right_from_left_rz=0.1 raw_right_from_left_rx=0 raw_right_from_left_ry=0");
    EXPECT_NEAR(-0.1, record.left_extrinsic.rz, 1e-7);
    EXPECT_NEAR(0.0, record.left_extrinsic.rx, 1e-7);
    EXPECT_NEAR(0.0, record.left_extrinsic.ry, 1e-7);
}

// ---- defaults, unknown keys and the log line ----

TEST_F(CalibrationParserTest, MissingKeysTakeDefaultsAndUnknownKeysAreIgnored) {
    PZCalibration record = parsed("version=5000 vis_0_fx=2 VIS_0_FY=3 vis_0_fy_extra=4 unknown=5");
    EXPECT_EQ(2.0, record.vis[0].fx);
    EXPECT_TRUE(std::isnan(record.vis[0].fy));  // keys are exact and case-sensitive
    EXPECT_TRUE(std::isnan(record.imu_tx));
    EXPECT_EQ(kSentinel, record.reserved0[0]);
    EXPECT_EQ(1u, log_.count("Calibrated on <Unknown date and time>, version: 5000"));
    EXPECT_EQ(LOG_INFO_E, log_.levelOf("Calibrated on"));

    PZCalibration empty = parsed("");
    EXPECT_EQ(-1, empty.version);
    EXPECT_TRUE(std::isnan(empty.fc_left));
    EXPECT_EQ(1u, log_.count("Calibrated on <Unknown date and time>, version: -1"));
}

TEST_F(CalibrationParserTest, NullRecordIsRefusedWithoutParsing) {
    const std::string text = "version=5000";
    EXPECT_EQ(PZStatus_InvalidParameter, PZCalibrationParser_ParseString(text.data(), text.size(), nullptr));
    EXPECT_EQ(0u, log_.count("Calibrated on"));
}

// ---- text from the device that is damaged or hostile ----

TEST_F(CalibrationParserTest, ValuesThatDoNotConvertStoreZero) {
    PZCalibration record = parsed("version=12abc fc_left=abc fc_right=2.5mm cc_left_x= cc_left_y=+1.5 "
                                  "cc_right_x=1e999 cc_right_y=-1e999 T=nan Nx=-inf Ny=0x10 squint_k0=--1");
    EXPECT_EQ(12, record.version);
    EXPECT_EQ(0.0, record.fc_left);
    EXPECT_EQ(2.5, record.fc_right);
    EXPECT_EQ(0.0, record.cc_left_x);  // the empty value right before the next token
    EXPECT_EQ(1.5, record.cc_left_y);
    EXPECT_EQ(0.0, record.cc_right_x);  // beyond any double
    EXPECT_EQ(0.0, record.cc_right_y);
    EXPECT_TRUE(std::isnan(record.T));
    EXPECT_TRUE(std::isinf(record.Nx));
    EXPECT_EQ(0.0, record.Ny);
    EXPECT_EQ(0.0, record.squint_k0);

    EXPECT_EQ(0, parsed("version=99999999999").version);  // beyond int32: no version, older set
    EXPECT_EQ(0, parsed("version=-99999999999 fc_left=1").version);
    EXPECT_EQ(-5, parsed("version=-5").version);
}

TEST_F(CalibrationParserTest, TruncatedTextKeepsWhatWasRead) {
    const std::string full = "version=4000 fc_left=12.75 fc_right=13.5";
    PZCalibration record = sentinelRecord();
    // Cut inside the last value: the digits given still count.
    ASSERT_EQ(PZStatus_Success, parse(full.substr(0, full.size() - 2), &record));
    EXPECT_EQ(12.75, record.fc_left);
    EXPECT_EQ(13.0, record.fc_right);
    // Cut inside the last key: no '=' follows, the scan ends.
    record = parsed(full.substr(0, full.find("fc_right") + 5));
    EXPECT_EQ(12.75, record.fc_left);
    EXPECT_TRUE(std::isnan(record.fc_right));
    // Words without '=' after the last token end the scan; words before a token join its key.
    record = parsed("fc_left=1 fc_right=2 trailing words");
    EXPECT_EQ(1.0, record.fc_left);
    EXPECT_EQ(2.0, record.fc_right);
    record = parsed("stray fc_left=1 fc_right=2");
    EXPECT_TRUE(std::isnan(record.fc_left));
    EXPECT_EQ(2.0, record.fc_right);
    // A length shorter than the buffer is respected, and a zero byte ends the text.
    const std::string padded = std::string("fc_left=3 fc_right=4", 20);
    record = sentinelRecord();
    ASSERT_EQ(PZStatus_Success, PZCalibrationParser_ParseString(padded.data(), 11, &record));
    EXPECT_EQ(3.0, record.fc_left);
    EXPECT_TRUE(std::isnan(record.fc_right));
    record = parsed(std::string("fc_left=3\0fc_right=4", 20));
    EXPECT_EQ(3.0, record.fc_left);
    EXPECT_TRUE(std::isnan(record.fc_right));
    // No text at all, whatever length comes with it.
    record = sentinelRecord();
    ASSERT_EQ(PZStatus_Success, PZCalibrationParser_ParseString(nullptr, 4096, &record));
    EXPECT_EQ(-1, record.version);
    EXPECT_TRUE(std::isnan(record.fc_left));
}

TEST_F(CalibrationParserTest, OversizedKeysAndValuesAreRefusedWhole) {
    const std::string value63 = "1." + std::string(61, '0');
    const std::string value64 = "2." + std::string(62, '0');
    const std::string date63(63, 'd');
    PZCalibration record = parsed("version=4000 fc_left=" + value63 + " fc_right=" + value64 + " calib_date=" + date63);
    EXPECT_EQ(1.0, record.fc_left);
    EXPECT_TRUE(std::isnan(record.fc_right));
    EXPECT_EQ(1u, log_.count("Calibrated on " + date63 + ", version: 4000"));
    EXPECT_EQ(1u, log_.count("Ignored 1 calibration token(s) longer than 63 characters"));
    EXPECT_EQ(LOG_WARN_E, log_.levelOf("Ignored 1 calibration"));

    record = parsed("version=4000 calib_date=" + date63 + "e fc_left=5");
    EXPECT_EQ(5.0, record.fc_left);
    EXPECT_EQ(1u, log_.count("Calibrated on <Unknown date and time>, version: 4000"));

    const std::string longKey = std::string(64, 'k') + "=1";
    record = parsed("fc_left=6 " + longKey + " fc_right=7 " + std::string(100000, 'x') + "=8");
    EXPECT_EQ(6.0, record.fc_left);
    EXPECT_EQ(7.0, record.fc_right);
    EXPECT_EQ(1u, log_.count("Ignored 2 calibration token(s)"));
}

TEST_F(CalibrationParserTest, RandomBytesNeverDisturbFieldsOutsideTheKeySets) {
    std::mt19937 random(20260101);
    const std::string alphabet = "= \n\t\rversion0123456789.x-+eE_abcfklTN\x01\xff";
    for (int round = 0; round < 300; ++round) {
        std::string text(random() % 400, '\0');
        for (char& c : text) c = alphabet[random() % alphabet.size()];
        if (round % 3 == 0) text = "version 5000\n" + text;
        PZCalibration record = sentinelRecord();
        ASSERT_EQ(PZStatus_Success, parse(text, &record)) << round;
        EXPECT_EQ(kSentinel, record.fc_left_corrected) << round;
        EXPECT_EQ(kSentinel, record.reserved0[34]) << round;
        EXPECT_EQ(kSentinel, record.reserved1[0]) << round;
        EXPECT_EQ(kSentinel, record.reserved1[90]) << round;
    }
}

}  // namespace
