// The two calibration key sets, kept as data so that each can be checked
// line by line against the key lists of the two text generations. The order
// is the order in which the scanner compares keys; the line numbers count
// from 0.
#include <cstddef>

#include "driver/calibration_parser.h"

#define I(key, field) {key, nullptr, PZCalibrationValue_Int32, PZCalibrationTarget_Record, offsetof(PZCalibration, field)}
#define D(key, field) {key, nullptr, PZCalibrationValue_Double, PZCalibrationTarget_Record, offsetof(PZCalibration, field)}
#define S(key) {key, nullptr, PZCalibrationValue_String, PZCalibrationTarget_Date, 0}
// A key with two spellings; the parser picks one per text.
#define R(key, altKey, field) {key, altKey, PZCalibrationValue_Double, PZCalibrationTarget_Record, offsetof(PZCalibration, field)}

// Older texts (versions below 5000): the stereo infrared pair and one visible
// camera. The right-from-left pose fills the left camera's extrinsic block.
const PZCalibrationKeyDef PZCalibration_oldKeys[PZ_CALIBRATION_OLD_KEY_COUNT] = {
    I("version", version),                                                    // 0
    S("calib_date"),                                                          // 1
    D("fc_left", fc_left),                                                    // 2
    D("fc_right", fc_right),                                                  // 3
    D("cc_left_x", cc_left_x),                                                // 4
    D("cc_left_y", cc_left_y),                                                // 5
    D("cc_right_x", cc_right_x),                                              // 6
    D("cc_right_y", cc_right_y),                                              // 7
    D("T", T),                                                                // 8
    D("squint_k0", squint_k0),                                                // 9
    D("squint_k1", squint_k1),                                                // 10
    D("Nx", Nx),                                                              // 11
    D("Ny", Ny),                                                              // 12
    D("vis_fx", vis[0].fx),                                                   // 13
    D("vis_fy", vis[0].fy),                                                   // 14
    D("vis_cx", vis[0].cx),                                                   // 15
    D("vis_cy", vis[0].cy),                                                   // 16
    D("vis_k1", vis[0].k1),                                                   // 17
    D("vis_k2", vis[0].k2),                                                   // 18
    D("vis_k3", vis[0].k3),                                                   // 19
    D("vis_k4", vis[0].k4),                                                   // 20
    D("vis_k5", vis[0].k5),                                                   // 21
    D("vis_kb_fx", vis[0].kb_fx),                                             // 22
    D("vis_kb_fy", vis[0].kb_fy),                                             // 23
    D("vis_kb_cx", vis[0].kb_cx),                                             // 24
    D("vis_kb_cy", vis[0].kb_cy),                                             // 25
    D("vis_kb_k1", vis[0].kb_k1),                                             // 26
    D("vis_kb_k2", vis[0].kb_k2),                                             // 27
    D("vis_kb_k3", vis[0].kb_k3),                                             // 28
    D("vis_kb_k4", vis[0].kb_k4),                                             // 29
    D("vis_p1", vis[0].p1),                                                   // 30
    D("vis_p2", vis[0].p2),                                                   // 31
    D("vis_tx", vis[0].tx),                                                   // 32
    D("vis_ty", vis[0].ty),                                                   // 33
    D("vis_tz", vis[0].tz),                                                   // 34
    D("vis_rx", vis[0].rx),                                                   // 35
    D("vis_ry", vis[0].ry),                                                   // 36
    D("vis_rz", vis[0].rz),                                                   // 37
    D("vis_du", vis[0].du),                                                   // 38
    D("vis_dv", vis[0].dv),                                                   // 39
    D("vis_nx", vis[0].nx),                                                   // 40
    D("vis_ny", vis[0].ny),                                                   // 41
    D("vis_kb_tx", vis[0].kb_tx),                                             // 42
    D("vis_kb_ty", vis[0].kb_ty),                                             // 43
    D("vis_kb_tz", vis[0].kb_tz),                                             // 44
    D("vis_kb_rx", vis[0].kb_rx),                                             // 45
    D("vis_kb_ry", vis[0].kb_ry),                                             // 46
    D("vis_kb_rz", vis[0].kb_rz),                                             // 47
    D("imu_scale_fac_gyro_x", imu_scale_fac_gyro_x),                          // 48
    D("imu_scale_fac_gyro_y", imu_scale_fac_gyro_y),                          // 49
    D("imu_scale_fac_gyro_z", imu_scale_fac_gyro_z),                          // 50
    D("imu_scale_fac_accel_x", imu_scale_fac_accel_x),                        // 51
    D("imu_scale_fac_accel_y", imu_scale_fac_accel_y),                        // 52
    D("imu_scale_fac_accel_z", imu_scale_fac_accel_z),                        // 53
    D("imu_bias_gyro_x", imu_bias_gyro_x),                                    // 54
    D("imu_bias_gyro_y", imu_bias_gyro_y),                                    // 55
    D("imu_bias_gyro_z", imu_bias_gyro_z),                                    // 56
    D("imu_bias_accel_x", imu_bias_accel_x),                                  // 57
    D("imu_bias_accel_y", imu_bias_accel_y),                                  // 58
    D("imu_bias_accel_z", imu_bias_accel_z),                                  // 59
    D("imu_tx", imu_tx),                                                      // 60
    D("imu_ty", imu_ty),                                                      // 61
    D("imu_tz", imu_tz),                                                      // 62
    D("imu_rx", imu_rx),                                                      // 63
    D("imu_ry", imu_ry),                                                      // 64
    D("imu_rz", imu_rz),                                                      // 65
    D("raw_left_fx", raw_left_fx),                                            // 66
    D("raw_left_fy", raw_left_fy),                                            // 67
    D("raw_left_cx", raw_left_cx),                                            // 68
    D("raw_left_cy", raw_left_cy),                                            // 69
    D("raw_left_k1", raw_left_k1),                                            // 70
    D("raw_left_k2", raw_left_k2),                                            // 71
    D("raw_left_p1", raw_left_p1),                                            // 72
    D("raw_left_p2", raw_left_p2),                                            // 73
    D("raw_left_k3", raw_left_k3),                                            // 74
    D("raw_right_fx", raw_right_fx),                                          // 75
    D("raw_right_fy", raw_right_fy),                                          // 76
    D("raw_right_cx", raw_right_cx),                                          // 77
    D("raw_right_cy", raw_right_cy),                                          // 78
    D("raw_right_k1", raw_right_k1),                                          // 79
    D("raw_right_k2", raw_right_k2),                                          // 80
    D("raw_right_p1", raw_right_p1),                                          // 81
    D("raw_right_p2", raw_right_p2),                                          // 82
    D("raw_right_k3", raw_right_k3),                                          // 83
    R("raw_rightFromLeft_tx", "raw_right_from_left_tx", left_extrinsic.tx),   // 84
    R("raw_rightFromLeft_ty", "raw_right_from_left_ty", left_extrinsic.ty),   // 85
    R("raw_rightFromLeft_tz", "raw_right_from_left_tz", left_extrinsic.tz),   // 86
    R("raw_rightFromLeft_rx", "raw_right_from_left_rx", left_extrinsic.rx),   // 87
    R("raw_rightFromLeft_ry", "raw_right_from_left_ry", left_extrinsic.ry),   // 88
    R("raw_rightFromLeft_rz", "raw_right_from_left_rz", left_extrinsic.rz),   // 89
    D("left_rectified_from_raw_rx", left_rectified_from_raw_rx),              // 90
    D("left_rectified_from_raw_ry", left_rectified_from_raw_ry),              // 91
    D("left_rectified_from_raw_rz", left_rectified_from_raw_rz),              // 92
    D("right_rectified_from_raw_rx", right_rectified_from_raw_rx),            // 93
    D("right_rectified_from_raw_ry", right_rectified_from_raw_ry),            // 94
    D("right_rectified_from_raw_rz", right_rectified_from_raw_rz),            // 95
    D("dsr_left_yStartIn", dsr_left_yStartIn),                                // 96
    D("dsr_left_initBuffFill", dsr_left_initBuffFill),                        // 97
    D("dsr_left_samplingIntervalX", dsr_left_samplingIntervalX),              // 98
    D("dsr_left_samplingIntervalY", dsr_left_samplingIntervalY),              // 99
    D("dsr_left_yOffsetOut", dsr_left_yOffsetOut),                            // 100
    D("dsr_left_xOffsetOut", dsr_left_xOffsetOut),                            // 101
    D("dsr_right_yStartIn", dsr_right_yStartIn),                              // 102
    D("dsr_right_initBuffFill", dsr_right_initBuffFill),                      // 103
    D("dsr_right_samplingIntervalX", dsr_right_samplingIntervalX),            // 104
    D("dsr_right_samplingIntervalY", dsr_right_samplingIntervalY),            // 105
    D("dsr_right_yOffsetOut", dsr_right_yOffsetOut),                          // 106
    D("dsr_right_xOffsetOut", dsr_right_xOffsetOut),                          // 107
    D("temp_left", temp_left),                                                // 108
    D("temp_right", temp_right),                                              // 109
    D("temp_imu_accel", temp_imu_accel),                                      // 110
    D("temp_imu_gyro", temp_imu_gyro),                                        // 111
    D("color_correction_matrix_m00", vis[0].m00),                             // 112
    D("color_correction_matrix_m01", vis[0].m01),                             // 113
    D("color_correction_matrix_m02", vis[0].m02),                             // 114
    D("color_correction_matrix_m10", vis[0].m10),                             // 115
    D("color_correction_matrix_m11", vis[0].m11),                             // 116
    D("color_correction_matrix_m12", vis[0].m12),                             // 117
    D("color_correction_matrix_m20", vis[0].m20),                             // 118
    D("color_correction_matrix_m21", vis[0].m21),                             // 119
    D("color_correction_matrix_m22", vis[0].m22),                             // 120
};

// Newer texts (versions 5000 and above): two visible cameras and the IMU.
const PZCalibrationKeyDef PZCalibration_newKeys[PZ_CALIBRATION_NEW_KEY_COUNT] = {
    I("version", version),                                                    // 0
    S("calib_date"),                                                          // 1
    D("vis_0_fx", vis[0].fx),                                                 // 2
    D("vis_0_fy", vis[0].fy),                                                 // 3
    D("vis_0_cx", vis[0].cx),                                                 // 4
    D("vis_0_cy", vis[0].cy),                                                 // 5
    D("vis_0_k1", vis[0].k1),                                                 // 6
    D("vis_0_k2", vis[0].k2),                                                 // 7
    D("vis_0_k3", vis[0].k3),                                                 // 8
    D("vis_0_k4", vis[0].k4),                                                 // 9
    D("vis_0_k5", vis[0].k5),                                                 // 10
    D("vis_0_kb_fx", vis[0].kb_fx),                                           // 11
    D("vis_0_kb_fy", vis[0].kb_fy),                                           // 12
    D("vis_0_kb_cx", vis[0].kb_cx),                                           // 13
    D("vis_0_kb_cy", vis[0].kb_cy),                                           // 14
    D("vis_0_kb_k1", vis[0].kb_k1),                                           // 15
    D("vis_0_kb_k2", vis[0].kb_k2),                                           // 16
    D("vis_0_kb_k3", vis[0].kb_k3),                                           // 17
    D("vis_0_kb_k4", vis[0].kb_k4),                                           // 18
    D("vis_0_p1", vis[0].p1),                                                 // 19
    D("vis_0_p2", vis[0].p2),                                                 // 20
    D("vis_0_tx", vis[0].tx),                                                 // 21
    D("vis_0_ty", vis[0].ty),                                                 // 22
    D("vis_0_tz", vis[0].tz),                                                 // 23
    D("vis_0_rx", vis[0].rx),                                                 // 24
    D("vis_0_ry", vis[0].ry),                                                 // 25
    D("vis_0_rz", vis[0].rz),                                                 // 26
    D("vis_0_du", vis[0].du),                                                 // 27
    D("vis_0_dv", vis[0].dv),                                                 // 28
    D("vis_0_nx", vis[0].nx),                                                 // 29
    D("vis_0_ny", vis[0].ny),                                                 // 30
    D("vis_0_kb_tx", vis[0].kb_tx),                                           // 31
    D("vis_0_kb_ty", vis[0].kb_ty),                                           // 32
    D("vis_0_kb_tz", vis[0].kb_tz),                                           // 33
    D("vis_0_kb_rx", vis[0].kb_rx),                                           // 34
    D("vis_0_kb_ry", vis[0].kb_ry),                                           // 35
    D("vis_0_kb_rz", vis[0].kb_rz),                                           // 36
    D("vis_1_fx", vis[1].fx),                                                 // 37
    D("vis_1_fy", vis[1].fy),                                                 // 38
    D("vis_1_cx", vis[1].cx),                                                 // 39
    D("vis_1_cy", vis[1].cy),                                                 // 40
    D("vis_1_k1", vis[1].k1),                                                 // 41
    D("vis_1_k2", vis[1].k2),                                                 // 42
    D("vis_1_k3", vis[1].k3),                                                 // 43
    D("vis_1_k4", vis[1].k4),                                                 // 44
    D("vis_1_k5", vis[1].k5),                                                 // 45
    D("vis_1_kb_fx", vis[1].kb_fx),                                           // 46
    D("vis_1_kb_fy", vis[1].kb_fy),                                           // 47
    D("vis_1_kb_cx", vis[1].kb_cx),                                           // 48
    D("vis_1_kb_cy", vis[1].kb_cy),                                           // 49
    D("vis_1_kb_k1", vis[1].kb_k1),                                           // 50
    D("vis_1_kb_k2", vis[1].kb_k2),                                           // 51
    D("vis_1_kb_k3", vis[1].kb_k3),                                           // 52
    D("vis_1_kb_k4", vis[1].kb_k4),                                           // 53
    D("vis_1_p1", vis[1].p1),                                                 // 54
    D("vis_1_p2", vis[1].p2),                                                 // 55
    D("vis_1_tx", vis[1].tx),                                                 // 56
    D("vis_1_ty", vis[1].ty),                                                 // 57
    D("vis_1_tz", vis[1].tz),                                                 // 58
    D("vis_1_rx", vis[1].rx),                                                 // 59
    D("vis_1_ry", vis[1].ry),                                                 // 60
    D("vis_1_rz", vis[1].rz),                                                 // 61
    D("vis_1_du", vis[1].du),                                                 // 62
    D("vis_1_dv", vis[1].dv),                                                 // 63
    D("vis_1_nx", vis[1].nx),                                                 // 64
    D("vis_1_ny", vis[1].ny),                                                 // 65
    D("vis_1_kb_tx", vis[1].kb_tx),                                           // 66
    D("vis_1_kb_ty", vis[1].kb_ty),                                           // 67
    D("vis_1_kb_tz", vis[1].kb_tz),                                           // 68
    D("vis_1_kb_rx", vis[1].kb_rx),                                           // 69
    D("vis_1_kb_ry", vis[1].kb_ry),                                           // 70
    D("vis_1_kb_rz", vis[1].kb_rz),                                           // 71
    D("imu_scale_fac_gyro_x", imu_scale_fac_gyro_x),                          // 72
    D("imu_scale_fac_gyro_y", imu_scale_fac_gyro_y),                          // 73
    D("imu_scale_fac_gyro_z", imu_scale_fac_gyro_z),                          // 74
    D("imu_scale_fac_accel_x", imu_scale_fac_accel_x),                        // 75
    D("imu_scale_fac_accel_y", imu_scale_fac_accel_y),                        // 76
    D("imu_scale_fac_accel_z", imu_scale_fac_accel_z),                        // 77
    D("imu_bias_gyro_x", imu_bias_gyro_x),                                    // 78
    D("imu_bias_gyro_y", imu_bias_gyro_y),                                    // 79
    D("imu_bias_gyro_z", imu_bias_gyro_z),                                    // 80
    D("imu_bias_accel_x", imu_bias_accel_x),                                  // 81
    D("imu_bias_accel_y", imu_bias_accel_y),                                  // 82
    D("imu_bias_accel_z", imu_bias_accel_z),                                  // 83
    D("imu_tx", imu_tx),                                                      // 84
    D("imu_ty", imu_ty),                                                      // 85
    D("imu_tz", imu_tz),                                                      // 86
    D("imu_rx", imu_rx),                                                      // 87
    D("imu_ry", imu_ry),                                                      // 88
    D("imu_rz", imu_rz),                                                      // 89
};

#undef I
#undef D
#undef S
#undef R
