// The sensor's factory calibration arrives as a text of key=value tokens and
// is parsed here into PZCalibration, the record the frame streams keep and
// copy into every frame they deliver. Two generations of text exist and the
// text's version number picks the key set: below 5000 the older one (stereo
// infrared pair plus one visible camera, converted after parsing), from 5000
// the newer one (two visible cameras, taken as it stands).
//
// The text comes from the device, so nothing in it is trusted: the parser
// reads only the bytes it is given (an embedded zero byte ends the text
// early), writes no buffer beyond its size, and a token whose key or value
// is longer than the format's 63 characters is refused whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "driver/driver_types.h"

// Longest key, value and date the text format allows, and the date buffer
// (with its terminator) that the parse entry points fill.
constexpr size_t PZ_CALIBRATION_TOKEN_MAX = 63;
constexpr size_t PZ_CALIBRATION_DATE_SIZE = 64;
// Versions from this one on use the newer key set.
constexpr int32_t PZ_CALIBRATION_NEW_VERSION = 5000;
// Older texts (before version 3) carry no sensor temperature at calibration;
// the factory calibrated them at this one.
constexpr double PZ_CALIBRATION_LEGACY_TEMP = 45.0;

// Pose of one camera relative to another: translation, rotation (radians)
// and a flag telling the application which of the cameras carries it.
struct PZCalibrationExtrinsic {
    double tx, ty, tz, rx, ry, rz;
    uint8_t extrinsicFlag;
};

struct PZCalibrationVisibleCamera {
    double fx, fy, cx, cy, k1, k2, k3, k4, k5;
    double kb_fx, kb_fy, kb_cx, kb_cy, kb_k1, kb_k2, kb_k3, kb_k4;
    double tx, ty, tz, rx, ry, rz;
    double kb_tx, kb_ty, kb_tz, kb_rx, kb_ry, kb_rz;
    double p1, p2;
    double du, dv, nx, ny;
    uint8_t extrinsicFlag;
    // colour-correction matrix, row by row
    double m00, m01, m02, m10, m11, m12, m20, m21, m22;
};

struct PZCalibration {
    int32_t version;

    // stereo geometry
    double fc_left, fc_right, cc_left_x, cc_left_y, cc_right_x, cc_right_y, T, Nx, Ny, squint_k0, squint_k1;
    // written by the frame streams (focal lengths corrected for temperature), never by the parser
    double fc_left_corrected, fc_right_corrected;

    // rectification
    double left_rectified_from_raw_rx, left_rectified_from_raw_ry, left_rectified_from_raw_rz;
    double right_rectified_from_raw_rx, right_rectified_from_raw_ry, right_rectified_from_raw_rz;

    // left infrared camera
    double raw_left_fx, raw_left_fy, raw_left_cx, raw_left_cy, raw_left_k1, raw_left_k2, raw_left_k3,
        raw_left_p1, raw_left_p2;
    double temp_left;
    PZCalibrationExtrinsic left_extrinsic;

    // right infrared camera
    double raw_right_fx, raw_right_fy, raw_right_cx, raw_right_cy, raw_right_k1, raw_right_k2, raw_right_k3,
        raw_right_p1, raw_right_p2;
    double temp_right;
    PZCalibrationExtrinsic right_extrinsic;

    double reserved0[35];

    PZCalibrationVisibleCamera vis[2];

    double reserved1[91];

    // IMU
    double imu_tx, imu_ty, imu_tz, imu_rx, imu_ry, imu_rz;
    double imu_scale_fac_accel_x, imu_scale_fac_accel_y, imu_scale_fac_accel_z;
    double imu_bias_accel_x, imu_bias_accel_y, imu_bias_accel_z;
    double temp_imu_accel;
    double imu_scale_fac_gyro_x, imu_scale_fac_gyro_y, imu_scale_fac_gyro_z;
    double imu_bias_gyro_x, imu_bias_gyro_y, imu_bias_gyro_z;
    double temp_imu_gyro;

    // depth-engine resampling
    double dsr_left_yStartIn, dsr_left_initBuffFill, dsr_left_samplingIntervalX, dsr_left_samplingIntervalY,
        dsr_left_yOffsetOut, dsr_left_xOffsetOut;
    double dsr_right_yStartIn, dsr_right_initBuffFill, dsr_right_samplingIntervalX,
        dsr_right_samplingIntervalY, dsr_right_yOffsetOut, dsr_right_xOffsetOut;
};
// The key tables address fields by offset.
static_assert(std::is_standard_layout_v<PZCalibration>);

enum PZCalibrationValueType : int32_t {
    PZCalibrationValue_Int32 = 0,
    PZCalibrationValue_Double = 1,
    PZCalibrationValue_String = 2,  // destination: a PZ_CALIBRATION_DATE_SIZE buffer
};

// One entry of a key table as the scanner uses it.
struct PZCalibrationKey {
    const char* name;
    PZCalibrationValueType type;
    void* destination;
};

// Where a key's value goes: a field of PZCalibration, or the caller's date buffer.
enum PZCalibrationTarget : int32_t {
    PZCalibrationTarget_Record = 0,
    PZCalibrationTarget_Date = 1,
};

// One line of a constant key set. The six right-from-left keys of the older
// set exist under two names; altName holds the second, null elsewhere.
struct PZCalibrationKeyDef {
    const char* name;
    const char* altName;
    PZCalibrationValueType type;
    PZCalibrationTarget target;
    size_t offset;  // into PZCalibration when target is the record
};

// The two key sets, in the order the scanner compares them.
constexpr size_t PZ_CALIBRATION_OLD_KEY_COUNT = 121;
constexpr size_t PZ_CALIBRATION_NEW_KEY_COUNT = 90;
extern const PZCalibrationKeyDef PZCalibration_oldKeys[PZ_CALIBRATION_OLD_KEY_COUNT];
extern const PZCalibrationKeyDef PZCalibration_newKeys[PZ_CALIBRATION_NEW_KEY_COUNT];

// Parses the text into the record: only the chosen key set's fields and the
// fields its conversion sets are written; every other field keeps its value.
// InvalidParameter for a null record, else Success. A null text is an empty one.
PZStatus PZCalibrationParser_ParseString(const char* text, size_t length, PZCalibration* calibration);

// Gives every entry its default (int32 -1, double NaN, string empty), then
// scans the text and stores the value of every token whose key matches an
// entry. refusedTokens, when given, receives the number of tokens refused
// for a key or value longer than the format allows. Returns 0.
int32_t PZCalibrationParser_ScanKeys(const char* text, size_t length, const PZCalibrationKey* keys, size_t count,
                                     size_t* refusedTokens = nullptr);

// Build the key set over the record and the date buffer (PZ_CALIBRATION_DATE_SIZE
// characters) and run the scanner; the older set also chooses between the two
// names of its right-from-left keys. Neither converts anything.
int32_t PZCalibrationParser_ParseOld(const char* text, size_t length, PZCalibration* calibration, char* date);
int32_t PZCalibrationParser_ParseNew(const char* text, size_t length, PZCalibration* calibration, char* date);

// Angles (radians) of the inverse of the rotation Rz(rz) * Ry(ry) * Rx(rx).
void PZCalibrationParser_InvertRotation(double rx, double ry, double rz, double* outRx, double* outRy,
                                        double* outRz);
