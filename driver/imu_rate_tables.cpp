// Constant tables of the IMU stream: output-rate descriptors and full-scale
// ranges, indexed by the codes the POS_SENSORS service reports.
#include <cmath>
#include <limits>

#include "driver/imu_stream.h"

namespace {
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
}

// Table A: accelerometer, sample kind 0, by rate code.
//                         code    rate Hz    bandwidth    third    fourth
const PZImuRateInfo PZImu_accelRateTable[PZIMU_ACCEL_RATE_CODES] = {
    /*  0 */ {0.0f,       0.0f,     0.0f,           0},
    /*  1 */ {0.78125f,   230.0f,   0.0f,           0},
    /*  2 */ {1.5625f,    116.0f,   0.0f,           0},
    /*  3 */ {3.125f,     47.0f,    0.0f,           0},
    /*  4 */ {6.25f,      23.0f,    0.0f,           0},
    /*  5 */ {12.5f,      5.06f,    0.0f,    80000000},
    /*  6 */ {25.0f,      10.12f,   0.0f,    40000000},
    /*  7 */ {50.0f,      20.25f,   0.0f,    20500000},
    /*  8 */ {100.0f,     40.5f,    0.0f,    10500000},
    /*  9 */ {200.0f,     80.0f,    0.0f,     5400000},
    /* 10 */ {400.0f,     158.5f,   0.0f,     2700000},
    /* 11 */ {800.0f,     293.0f,   0.0f,     1300000},
    /* 12 */ {1600.0f,    509.5f,   0.0f,      600000},
};

// Table G: gyroscope, sample kind 0, by rate code minus 5.
//                         index   rate Hz    bandwidth    third    fourth
const PZImuRateInfo PZImu_gyroRateTable[PZIMU_GYRO_RATE_CODES] = {
    /*  0 */ {25.0f,      10.7f,    0.0f,    56000000},
    /*  1 */ {50.0f,      20.8f,    0.0f,    28000000},
    /*  2 */ {100.0f,     39.9f,    0.0f,    14500000},
    /*  3 */ {200.0f,     74.6f,    0.0f,     7500000},
    /*  4 */ {400.0f,     136.6f,   0.0f,     4100000},
    /*  5 */ {800.0f,     254.6f,   0.0f,     2350000},
    /*  6 */ {1600.0f,    523.9f,   0.0f,     1750000},
    /*  7 */ {3200.0f,    8900.0f,  0.0f,           0},
};

// Table K: either sensor, sample kind 1, by rate code.
//                         code    rate Hz    bandwidth    third    fourth
const PZImuRateInfo PZImu_kind1RateTable[PZIMU_KIND1_RATE_CODES] = {
    /*  0 */ {2000.0f,    523.0f,   3.7f,     1750000},
    /*  1 */ {2000.0f,    230.0f,   0.54f,    3000000},
    /*  2 */ {1000.0f,    116.0f,   0.22f,    4500000},
    /*  3 */ {400.0f,     47.0f,    0.1f,     9500000},
    /*  4 */ {200.0f,     23.0f,    0.07f,   18500000},
    /*  5 */ {100.0f,     12.0f,    0.05f,   35500000},
    /*  6 */ {200.0f,     64.0f,    0.13f,    6500000},
    /*  7 */ {100.0f,     32.0f,    0.08f,   11500000},
    /*  8 */ {15.63f,     7.81f,    0.0f,    37500000},
    /*  9 */ {31.25f,     15.63f,   0.0f,    27500000},
    /* 10 */ {62.5f,      31.25f,   0.0f,    13800000},
    /* 11 */ {125.0f,     62.5f,    0.0f,     7100000},
    /* 12 */ {250.0f,     125.0f,   0.0f,     3700000},
    /* 13 */ {500.0f,     250.0f,   0.0f,     1760000},
    /* 14 */ {1000.0f,    500.0f,   0.0f,     1100000},
    /* 15 */ {2000.0f,    1000.0f,  0.0f,      840000},
};

// Gyroscope full scale by range code, in radians per second.
const float PZImu_gyroRangeTable[PZIMU_GYRO_RANGE_CODES] = {
    /* 0 */ 34.906555f,  // 2000 degrees per second
    /* 1 */ 17.453278f,  // 1000
    /* 2 */ 8.726639f,   //  500
    /* 3 */ 4.363320f,   //  250
    /* 4 */ 2.181660f,   //  125
    /* 5 */ 0.0f,
};

// Accelerometer full scale by range code, in g; codes without a range are NaN.
const float PZImu_accelRangeTable[PZIMU_ACCEL_RANGE_CODES] = {
    /*  0 */ kNaN,
    /*  1 */ kNaN,
    /*  2 */ kNaN,
    /*  3 */ 2.0f,
    /*  4 */ kNaN,
    /*  5 */ 4.0f,
    /*  6 */ kNaN,
    /*  7 */ kNaN,
    /*  8 */ 8.0f,
    /*  9 */ kNaN,
    /* 10 */ kNaN,
    /* 11 */ kNaN,
    /* 12 */ 16.0f,
};
