// IMU stream: the sensor's accelerometer and gyroscope, served by the
// vision-chip library's POS_SENSORS service (service 9).
//
// A configuration tells the service which sensors to run at what range and
// rate and starts delivery; a producer thread ("IMU Stream") reads samples
// from the service and pushes them into a ring of capacity 2, and a consumer
// thread ("IMU Data CB") hands them to the application's callback. A slow
// application loses samples rather than holding up the service. An empty
// configuration switches the stream off and returns only once both threads
// have ended, the stop request has gone out and the service is closed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "driver/driver_types.h"
#include "driver/pz_ring.h"
#include "host_lib/host_api_records.h"
#include "runtime/os_layer.h"

// --- records ---------------------------------------------------------------------------

enum PZImuSensorType : int32_t {
    PZImuSensor_Accelerometer = 0,
    PZImuSensor_Gyroscope = 1,
};

// One entry of the configuration array.
struct PZImuSensorConfig {
    int32_t type;   // PZImuSensorType
    int32_t scale;  // range selector: accelerometer 0 to 3, gyroscope 0 to 4
    float rateHz;   // requested sample rate
};
static_assert(sizeof(PZImuSensorConfig) == 12);
static_assert(offsetof(PZImuSensorConfig, rateHz) == 8);

// Descriptor of an output rate; the driver only points at constant entries.
struct PZImuRateInfo {
    float rateHz;
    float bandwidthHz;
    float third;
    uint32_t fourth;
};
static_assert(sizeof(PZImuRateInfo) == 16);

// The record handed to the application's callback; valid only during the call.
struct PZImuSample {
    uint32_t sensor;      // 0 accelerometer, 1 gyroscope
    uint64_t timestamp;   // the device's time stamp of the sample
    uint64_t hostTimeNs;  // monotonic host time when the sample was taken from the service
    float x;
    float y;
    float z;
    float w;
    const PZImuRateInfo* rateInfo;  // the active output rate, or null
    float range;                    // full scale of the sensor; NaN when unknown
};
static_assert(offsetof(PZImuSample, timestamp) == 8);
static_assert(offsetof(PZImuSample, hostTimeNs) == 16);
static_assert(offsetof(PZImuSample, x) == 24);
static_assert(offsetof(PZImuSample, w) == 36);
static_assert(offsetof(PZImuSample, rateInfo) == 40);
static_assert(offsetof(PZImuSample, range) == 48);
static_assert(sizeof(PZImuSample) == 56);

using PZImuCallback = void (*)(const PZImuSample* sample, void* userData);

// The IMU state of a driver context (slot PZ_SLOT_IMU_STREAM), created zeroed
// on first use. Written by the configuring thread under configMutex; what
// the two stream threads share with it is atomic or guarded by stateMutex.
struct PZImuStream {
    bool initialised = false;
    // Service 9, open from the first configuration that needs it until the
    // producer ends. Read by the producer, which also clears it.
    std::atomic<VPUG_serviceHandleT> service{nullptr};
    uint32_t stopParam = 0;  // parameter of the stop request; nothing sets it
    // Rate and range codes, exchanged with the service by its configuration
    // request. Guarded by stateMutex: the producer reads them per sample.
    VPUG_posSensorsConfigParams configCodes{};
    std::atomic<bool> running{false};
    uint32_t activeMask = 0;  // bit n: an entry of type n is configured
    OS_LYRG_threadParamsT streamThread{};
    OS_LYRG_threadParamsT callbackThread{};
    PZRing ring{};
    OS_LYRG_eventT dataEvent = nullptr;  // set after each push
    OS_LYRG_mutexT configMutex = nullptr;  // held for a whole configuration
    // The application's callback and its value; guarded by stateMutex, so
    // that the consumer always reads the two as one pair.
    PZImuCallback callback = nullptr;
    void* userData = nullptr;
    // Guarded by stateMutex; each thread clears its own flag as its last act.
    bool streamAlive = false;
    bool callbackAlive = false;
    std::mutex stateMutex;
    std::condition_variable stateCond;
    // Time stamps of the last accepted accelerometer and gyroscope samples;
    // touched by the producer only.
    uint64_t lastTimestamp[2] = {0, 0};
};

// --- operations ---------------------------------------------------------------------------

// The record of the current driver context.
PZImuStream* PZImu_get();

// Prepares the ring, the two thread records, the data event and the
// configuration mutex, and forgets the time stamps of an earlier session.
// 0, or 1 when the ring or the mutex cannot be made.
int initImuStream();

// Applies a configuration (count entries; an empty one switches the stream
// off). deviceState decides whether the sensors are configured now: only a
// device that is Ready, Production Data Corrupt or FW Corrupt is asked;
// otherwise the threads start and wait for samples. Returns
// PZStatus_DeviceNotReady when not initialised, PZStatus_InvalidParameter for
// an entry of unknown type, scale or an unusable rate (nothing is opened, sent
// or started), PZStatus_Error when a service call fails, else PZStatus_Success.
PZStatus PZImu_ApplyStreamingConfig(const PZImuSensorConfig* configs, size_t count, PZImuCallback callback,
                                    void* userData, int32_t deviceState);

// Stops both threads and waits for them, frees the samples still in the ring,
// closes a service that no producer is left to close, and releases the ring,
// the mutex and the event. Always 0.
int deinitImuStream();

// --- constant tables (imu_rate_tables.cpp) --------------------------------------------------

constexpr uint32_t PZIMU_ACCEL_RATE_CODES = 13;      // table A: codes 0..12
constexpr uint32_t PZIMU_GYRO_RATE_FIRST_CODE = 5;   // table G: codes 5..12
constexpr uint32_t PZIMU_GYRO_RATE_CODES = 8;
constexpr uint32_t PZIMU_KIND1_RATE_CODES = 16;      // table K: codes 0..15
constexpr uint32_t PZIMU_GYRO_RANGE_CODES = 6;       // codes 0..5
constexpr uint32_t PZIMU_ACCEL_RANGE_CODES = 13;     // codes 0..12

extern const PZImuRateInfo PZImu_accelRateTable[PZIMU_ACCEL_RATE_CODES];
extern const PZImuRateInfo PZImu_gyroRateTable[PZIMU_GYRO_RATE_CODES];
extern const PZImuRateInfo PZImu_kind1RateTable[PZIMU_KIND1_RATE_CODES];
extern const float PZImu_gyroRangeTable[PZIMU_GYRO_RANGE_CODES];
extern const float PZImu_accelRangeTable[PZIMU_ACCEL_RANGE_CODES];

// The descriptor and full scale of a sample of `kind` from `sensor` under the
// given codes (the configuration record's rate and range code for that sensor).
const PZImuRateInfo* PZImu_rateInfo(uint16_t kind, uint16_t sensor, uint16_t rateCode);
float PZImu_range(uint16_t kind, uint16_t sensor, uint16_t rangeCode);
// The service's scale code of a configuration entry; -1 when type or scale is unknown.
int32_t PZImu_scaleCode(int32_t type, int32_t scale);
