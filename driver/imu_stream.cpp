#include "driver/imu_stream.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "driver/device_record.h"
#include "driver/driver_thread.h"
#include "host_lib/vpu_host_api.h"
#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

// Sensor configuration request: sensor type, service scale code, rate x 100.
constexpr uint32_t kSensorSetupCode = 0x09000007;
struct ImuSensorSetupParams {
    uint32_t type;
    uint32_t scaleCode;
    uint32_t rateCentiHz;
};
static_assert(sizeof(ImuSensorSetupParams) == 12);

constexpr uint32_t kRingCapacity = 2;
constexpr uint32_t kDataWaitMs = 250;
// A read that fails at once (the library is going down) is retried after
// this pause rather than in a tight loop until the stream is stopped.
constexpr uint32_t kReadRetryPauseMs = 10;
constexpr uint32_t kSensorCount = 2;  // accelerometer and gyroscope: the sensors with time stamps and codes
constexpr int32_t kAccelScales = 4;
constexpr int32_t kGyroScales = 5;

void* newImuStream(void*) { return new (std::nothrow) PZImuStream(); }

// A context that goes while its stream was never de-initialised still gives
// back what the stream holds; the threads hold the context, so none runs.
void deleteImuStream(void* object) {
    auto* imu = static_cast<PZImuStream*>(object);
    if (imu->initialised) {
        void* item = nullptr;
        while (PZRing_pop(&imu->ring, &item) == 0) std::free(item);
        PZRing_deinit(&imu->ring);
        OS_LYRG_releaseMutex(&imu->configMutex);
        OS_LYRG_releaseEvent(imu->dataEvent, 0);
    }
    delete imu;
}

void logVpuFailure(ERRG_codeE status) { LOGG_PRINT(LOG_ERROR_E, status, "VPU call failed\n"); }

bool isConfigurableState(int32_t state) {
    return state == PZDeviceState_Ready || state == PZDeviceState_ProductionDataCorrupt ||
           state == PZDeviceState_FWCorrupt;
}

// Rate in hundredths of a hertz, truncated toward zero; false when the rate
// has no such value (NaN, negative, or beyond the request's 32 bits).
bool rateCentiHz(float rateHz, uint32_t* out) {
    const double scaled = static_cast<double>(rateHz) * 100.0;
    if (!(scaled >= 0.0) || scaled >= 4294967296.0) return false;
    *out = static_cast<uint32_t>(scaled);
    return true;
}

// Every entry is checked before anything is opened, sent or started, so that
// a bad entry never leaves the sensors half configured and the type never
// reaches a shift it does not fit.
bool validateEntries(const PZImuSensorConfig* configs, size_t count) {
    if (count > 0 && configs == nullptr) return false;
    for (size_t i = 0; i < count; ++i) {
        const PZImuSensorConfig& entry = configs[i];
        if (PZImu_scaleCode(entry.type, entry.scale) < 0) {
            if (entry.type == PZImuSensor_Accelerometer) {
                LOGG_PRINT(LOG_ERROR_E, 0, "Unhandled accel scale: %d\n", entry.scale);
            } else if (entry.type == PZImuSensor_Gyroscope) {
                LOGG_PRINT(LOG_ERROR_E, 0, "Unhandled gyro scale: %d\n", entry.scale);
            }
            return false;
        }
        uint32_t rate = 0;
        if (!rateCentiHz(entry.rateHz, &rate)) {
            LOGG_PRINT(LOG_ERROR_E, 0, "Unhandled imu rate: %f\n", static_cast<double>(entry.rateHz));
            return false;
        }
    }
    return true;
}

// Type, scale and rate of each entry, each followed by the exchange of the
// rate and range codes, then the start of delivery for the active sensors.
PZStatus configureSensors(PZImuStream* imu, VPUG_serviceHandleT service, const PZImuSensorConfig* configs,
                          size_t count, uint32_t activeMask) {
    for (size_t i = 0; i < count; ++i) {
        ImuSensorSetupParams setup{static_cast<uint32_t>(configs[i].type),
                                   static_cast<uint32_t>(PZImu_scaleCode(configs[i].type, configs[i].scale)), 0};
        rateCentiHz(configs[i].rateHz, &setup.rateCentiHz);
        ERRG_codeE status = VPUG_ioctl(service, kSensorSetupCode, &setup);
        if (ERRG_FAILED(status)) {
            logVpuFailure(status);
            return PZStatus_Error;
        }
        VPUG_posSensorsConfigParams codes;
        {
            std::lock_guard<std::mutex> lock(imu->stateMutex);
            codes = imu->configCodes;
        }
        status = VPUG_ioctl(service, POS_SENSORS_CONFIG_E, &codes);
        if (ERRG_FAILED(status)) {
            logVpuFailure(status);
            return PZStatus_Error;
        }
        std::lock_guard<std::mutex> lock(imu->stateMutex);
        imu->configCodes = codes;
    }
    VPUG_posSensorsCtrlParams start{activeMask};
    const ERRG_codeE status = VPUG_ioctl(service, POS_SENSORS_START_E, &start);
    if (ERRG_FAILED(status)) {
        logVpuFailure(status);
        return PZStatus_Error;
    }
    return PZStatus_Success;
}

// Stops delivery and closes the service: politely when the device still
// answers, forced (host side only) when it does not. 0, or 1 on a failure.
uint32_t stopAndCloseService(PZImuStream* imu) {
    VPUG_serviceHandleT service = imu->service.load();
    if (service == nullptr) return 0;
    uint32_t result = 0;
    const bool ready = PZInternal_IsDeviceReady(false);
    if (ready) {
        VPUG_posSensorsCtrlParams stop{imu->stopParam};
        const ERRG_codeE status = VPUG_ioctl(service, POS_SENSORS_STOP_E, &stop);
        if (ERRG_FAILED(status)) {
            logVpuFailure(status);
            result = 1;
        }
    }
    const ERRG_codeE status = VPUG_close(service, ready ? 0 : 1);
    if (ERRG_FAILED(status)) {
        logVpuFailure(status);
        result = 1;
    }
    // Cleared whatever the close said: the host API counts this user as gone
    // either way, and the next opening must count it again.
    imu->service.store(nullptr);
    return result;
}

void freeRingSamples(PZImuStream* imu) {
    void* item = nullptr;
    while (PZRing_pop(&imu->ring, &item) == 0) std::free(item);
}

// Waits until both stream threads have ended. Bounded by the threads
// themselves: each looks at `running` at least every 250 ms (the read and
// the data-event waits), and the producer's stop and close are bounded by the
// service's request time-outs. Only an application callback that does not
// return can hold the consumer.
void waitForThreadsToEnd(PZImuStream* imu, std::unique_lock<std::mutex>& lock) {
    imu->stateCond.wait(lock, [imu] { return !imu->streamAlive && !imu->callbackAlive; });
}

// Marks the thread alive, starts and detaches it; a refused start clears
// the mark again. Called under stateMutex.
bool startThread(OS_LYRG_threadParamsT* params, bool* alive) {
    *alive = true;
    if (!PZThread_startDetached(params)) *alive = false;
    return *alive;
}

// Builds the application's record of one sample and offers it to the
// consumer, or drops it. Runs on the producer thread.
void deliverSample(PZImuStream* imu, const VPUG_posSensorSample& raw, int64_t hostTimeNs) {
    bool haveCallback;
    VPUG_posSensorsConfigParams codes;
    {
        std::lock_guard<std::mutex> lock(imu->stateMutex);
        haveCallback = imu->callback != nullptr;
        codes = imu->configCodes;
    }
    if (!haveCallback) return;

    const uint16_t sensor = raw.sensorIndex;
    const bool timed = sensor < kSensorCount;
    if (timed && imu->lastTimestamp[sensor] >= raw.timestamp) {
        LOGG_PRINT(LOG_WARN_E, 0, "Dropping out of order imu %u packet (%llu >= %llu)\n", static_cast<unsigned>(sensor),
                   static_cast<unsigned long long>(imu->lastTimestamp[sensor]),
                   static_cast<unsigned long long>(raw.timestamp));
        return;
    }

    auto* sample = static_cast<PZImuSample*>(std::calloc(1, sizeof(PZImuSample)));
    if (sample == nullptr) {
        LOGG_PRINT(LOG_ERROR_E, 0, "No memory to create PZImuSample\n");
        return;
    }
    sample->sensor = sensor;
    sample->timestamp = raw.timestamp;
    sample->hostTimeNs = static_cast<uint64_t>(hostTimeNs);
    float values[4];
    static_assert(sizeof(values) == sizeof(raw.values));
    std::memcpy(values, raw.values, sizeof(values));
    sample->x = values[0];
    sample->y = values[1];
    sample->z = values[2];
    sample->w = values[3];
    const uint16_t rateCode = sensor == PZImuSensor_Accelerometer ? codes.accelRate : codes.gyroRate;
    const uint16_t rangeCode = sensor == PZImuSensor_Accelerometer ? codes.accelRange : codes.gyroRange;
    sample->rateInfo = PZImu_rateInfo(raw.kind, sensor, rateCode);
    sample->range = PZImu_range(raw.kind, sensor, rangeCode);

    if (PZRing_push(&imu->ring, sample) != 0) {
        LOGG_PRINT(LOG_WARN_E, 0, "Dropping IMU data (Client not processing fast enough)\n");
        std::free(sample);
        return;
    }
    if (timed) imu->lastTimestamp[sensor] = raw.timestamp;
    OS_LYRG_setEvent(imu->dataEvent);
}

void giveBack(VPUG_serviceHandleT service, MEM_POOLG_bufDescT* buffer) {
    if (buffer == nullptr) return;
    VPUG_freeBufParams params{buffer};
    const ERRG_codeE status = VPUG_ioctl(service, VPU_CMDG_FREE_BUF_E, &params);
    if (ERRG_FAILED(status)) logVpuFailure(status);
}

// Producer, thread "IMU Stream".
uint32_t imuStream(void*) {
    PZImuStream* imu = PZImu_get();
    VPUG_serviceHandleT service = imu->service.load();
    while (imu->running.load()) {
        VPUG_posSensorSample raw{};
        VPUG_readParams params{};
        params.hdrRecord = &raw;
        const ERRG_codeE status = VPUG_read(service, &params);
        if (ERRG_FAILED(status)) {
            if (status != VPUG__ERR_TIMEOUT) OS_LYRG_sleepMs(kReadRetryPauseMs);
            continue;
        }
        deliverSample(imu, raw, OS_LYRG_getNsecTime());
        // The sample was copied out: its chain goes back whatever became of it.
        giveBack(service, params.buffer);
    }
    const uint32_t result = stopAndCloseService(imu);
    LOGG_PRINT(LOG_DEBUG_E, 0, "IMU Stream thread exiting\n");
    // Last act: once the flag is clear a waiter may release everything.
    std::lock_guard<std::mutex> lock(imu->stateMutex);
    imu->streamAlive = false;
    imu->stateCond.notify_all();
    return result;
}

// The callback and its user value, read together so that a reconfiguration
// never pairs one application's callback with another's value.
PZImuCallback currentCallback(PZImuStream* imu, void** userData) {
    std::lock_guard<std::mutex> lock(imu->stateMutex);
    *userData = imu->userData;
    return imu->callback;
}

// Consumer, thread "IMU Data CB".
uint32_t imuCbWrapper(void*) {
    PZImuStream* imu = PZImu_get();
    void* userData = nullptr;
    while (imu->running.load() && currentCallback(imu, &userData) != nullptr) {
        if (OS_LYRG_waitEvent(imu->dataEvent, kDataWaitMs) != OS_LYRG_SUCCESS) continue;
        void* item = nullptr;
        while (imu->running.load() && PZRing_pop(&imu->ring, &item) == 0) {
            auto* sample = static_cast<PZImuSample*>(item);
            const PZImuCallback callback = currentCallback(imu, &userData);
            if (callback != nullptr) callback(sample, userData);
            std::free(sample);
        }
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "IMU CB wrapper thread exiting\n");
    std::lock_guard<std::mutex> lock(imu->stateMutex);
    imu->callbackAlive = false;
    imu->stateCond.notify_all();
    return 0;
}

}  // namespace

PZImuStream* PZImu_get() {
    return static_cast<PZImuStream*>(PZContext_GetSlot(PZContext_GetCurrent(),
                                                       PZContext_FixedKey(PZ_SLOT_IMU_STREAM), &newImuStream,
                                                       nullptr, &deleteImuStream));
}

int initImuStream() {
    PZImuStream* imu = PZImu_get();
    if (imu->initialised) return 0;
    if (PZRing_init(&imu->ring, kRingCapacity) != 0) return 1;
    if (OS_LYRG_createMutex(&imu->configMutex) != OS_LYRG_SUCCESS) {
        PZRing_deinit(&imu->ring);
        return 1;
    }
    imu->dataEvent = OS_LYRG_createEvent(0);
    imu->streamThread = OS_LYRG_threadParamsT{nullptr, &imuStream, 0, nullptr, 0, "IMU Stream"};
    imu->callbackThread = OS_LYRG_threadParamsT{nullptr, &imuCbWrapper, 0, nullptr, 0, "IMU Data CB"};
    // A new bring-up may come with a device whose clock started again: the
    // last session's time stamps would make every new sample look old.
    imu->lastTimestamp[0] = 0;
    imu->lastTimestamp[1] = 0;
    imu->initialised = true;
    return 0;
}

PZStatus PZImu_ApplyStreamingConfig(const PZImuSensorConfig* configs, size_t count, PZImuCallback callback,
                                    void* userData, int32_t deviceState) {
    PZImuStream* imu = PZImu_get();
    if (!imu->initialised) return PZStatus_DeviceNotReady;
    if (!validateEntries(configs, count)) return PZStatus_InvalidParameter;
    uint32_t activeMask = 0;
    for (size_t i = 0; i < count; ++i) activeMask |= 1u << configs[i].type;

    morv::runtime::OsMutexLock configLock(&imu->configMutex);
    imu->activeMask = activeMask;
    bool producerAlive;
    {
        std::lock_guard<std::mutex> lock(imu->stateMutex);
        imu->callback = callback;
        imu->userData = userData;
        producerAlive = imu->streamAlive;
    }
    // Opened once per producer: a configuration that failed after the opening
    // left the handle here, and opening again would count a second user that
    // no close ever matches.
    if (!producerAlive && activeMask != 0 && imu->service.load() == nullptr) {
        VPUG_serviceHandleT service = nullptr;
        const ERRG_codeE status = VPUG_open(&service, VPUG_SID_POS_SENSORS);
        if (ERRG_FAILED(status)) {
            logVpuFailure(status);
            return PZStatus_Error;
        }
        imu->service.store(service);
    }
    VPUG_serviceHandleT service = imu->service.load();
    if (service == nullptr) return PZStatus_Success;

    if (activeMask != 0 && isConfigurableState(deviceState)) {
        const PZStatus status = configureSensors(imu, service, configs, count, activeMask);
        if (status != PZStatus_Success) return status;
    }

    const bool running = activeMask != 0;
    imu->running.store(running);
    PZStatus result = PZStatus_Success;
    {
        std::unique_lock<std::mutex> lock(imu->stateMutex);
        if (running) {
            if (!imu->streamAlive && !startThread(&imu->streamThread, &imu->streamAlive)) result = PZStatus_Error;
            if (!imu->callbackAlive && !startThread(&imu->callbackThread, &imu->callbackAlive))
                result = PZStatus_Error;
            return result;
        }
        waitForThreadsToEnd(imu, lock);
    }
    // Switched off: a service that no producer was left to close (a failed
    // configuration or thread start) is closed here, and samples that never
    // reached the application are not handed to the next session.
    if (stopAndCloseService(imu) != 0) result = PZStatus_Error;
    freeRingSamples(imu);
    return result;
}

int deinitImuStream() {
    PZImuStream* imu = PZImu_get();
    if (!imu->initialised) return 0;
    imu->initialised = false;
    imu->running.store(false);
    {
        std::unique_lock<std::mutex> lock(imu->stateMutex);
        waitForThreadsToEnd(imu, lock);
    }
    stopAndCloseService(imu);
    freeRingSamples(imu);
    PZRing_deinit(&imu->ring);
    OS_LYRG_releaseMutex(&imu->configMutex);
    imu->configMutex = nullptr;
    OS_LYRG_releaseEvent(imu->dataEvent, 0);
    imu->dataEvent = nullptr;
    return 0;
}

// --- table look-ups ----------------------------------------------------------------------

const PZImuRateInfo* PZImu_rateInfo(uint16_t kind, uint16_t sensor, uint16_t rateCode) {
    if (sensor >= kSensorCount) return nullptr;
    if (kind == 0) {
        if (sensor == PZImuSensor_Accelerometer)
            return rateCode < PZIMU_ACCEL_RATE_CODES ? &PZImu_accelRateTable[rateCode] : nullptr;
        if (rateCode < PZIMU_GYRO_RATE_FIRST_CODE || rateCode >= PZIMU_GYRO_RATE_FIRST_CODE + PZIMU_GYRO_RATE_CODES)
            return nullptr;
        return &PZImu_gyroRateTable[rateCode - PZIMU_GYRO_RATE_FIRST_CODE];
    }
    if (kind == 1) return rateCode < PZIMU_KIND1_RATE_CODES ? &PZImu_kind1RateTable[rateCode] : nullptr;
    return nullptr;
}

float PZImu_range(uint16_t kind, uint16_t sensor, uint16_t rangeCode) {
    constexpr float kUnknown = std::numeric_limits<float>::quiet_NaN();
    if ((kind != 0 && kind != 1) || sensor >= kSensorCount) return kUnknown;
    if (sensor == PZImuSensor_Gyroscope)
        return rangeCode < PZIMU_GYRO_RANGE_CODES ? PZImu_gyroRangeTable[rangeCode] : kUnknown;
    return rangeCode < PZIMU_ACCEL_RANGE_CODES ? PZImu_accelRangeTable[rangeCode] : kUnknown;
}

int32_t PZImu_scaleCode(int32_t type, int32_t scale) {
    if (type == PZImuSensor_Accelerometer) return scale >= 0 && scale < kAccelScales ? scale : -1;
    // The service numbers the gyroscope's ranges from the widest down.
    if (type == PZImuSensor_Gyroscope) return scale >= 0 && scale < kGyroScales ? kGyroScales - 1 - scale : -1;
    return -1;
}
