// Hand-over of twist-compensation samples from the device client's read
// thread to the twist-compensation worker.
//
// The read thread turns every twistCompData message into a TwistCompSample
// (TwistComp_makeSample) and offers it here (TwistComp_pushSample); the
// worker takes it (TwistComp_popSample). The queue holds at most one
// sample, so a slow worker never holds up the read thread: a sample offered
// while one waits is refused and stays with the caller, which frees it.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>

#include <opencv2/core/mat.hpp>

#include "driver/driver_types.h"
#include "runtime/os_layer.h"

// One measurement. The images are headers over the sample's own buffers,
// so moving the sample keeps them valid; they go with the sample.
struct TwistCompSample {
    std::unique_ptr<uint8_t[]> templateData;
    std::unique_ptr<uint8_t[]> matchData;
    cv::Mat templateImage;  // roi.h rows by roi.w columns, 8-bit single channel, over templateData
    cv::Mat matchImage;     // the same over matchData
    int32_t rowDifference = 0;  // template roi.y minus match roi.y
    float leftOffset = 0.0f;    // the left imager's row offset reported with the data
    float rightOffset = 0.0f;   // the right imager's row offset reported with the data
};

// One image region as the device sends it.
struct TwistCompRegion {
    const uint8_t* data = nullptr;
    size_t size = 0;
    uint16_t x = 0, y = 0, w = 0, h = 0;
};

// Copies both regions into a new sample. A region that is empty (w or h 0)
// or whose data is shorter than w x h gives no sample (logged at DEBUG):
// an image over it would let template matching read past the copy.
std::optional<TwistCompSample> TwistComp_makeSample(const TwistCompRegion& templ, const TwistCompRegion& match,
                                                    float leftOffset, float rightOffset);

// The intake queue; it lives in the twist-compensation state of the driver
// context (slot 4), next to what twist compensation itself keeps there.
struct TwistCompIntake {
    std::mutex queueMutex;
    std::condition_variable queueCond;  // the worker's wait; a push does not signal it
    std::deque<TwistCompSample> queue;  // at most one entry
};

// How twist compensation reaches the device. An empty member means the
// driver's own operation (the parameter interface, the twistCompCfg request,
// the saving of camera offsets); tests put recorders in their place to run
// the measurement without a sensor.
struct TwistCompDevice {
    // Reads one value of (component, parameter) into *value.
    std::function<PZStatus(int32_t component, int32_t parameter, float* value)> getParameter;
    // Writes one value of (component, parameter).
    std::function<PZStatus(int32_t component, int32_t parameter, float value)> setParameter;
    // twistCompCfg with an interface mode (0 off, 2 device continuous).
    std::function<PZStatus(int32_t interfaceMode)> setTwistCompCfg;
    std::function<PZStatus()> saveCameraOffsets;
};

// Samples per measurement window.
constexpr size_t TWIST_COMP_WINDOW = 12;

// Twist-compensation state of a driver context (slot 4): the intake and the
// worker's own records. smoothedShift, window and windowIndex carry over
// from one run of the worker to the next.
struct TwistComp {
    // "Twist Comp" worker; its argument is the address of `running`.
    OS_LYRG_threadParamsT thread{};
    // The worker loops while it is set. Cleared by stop under stateMutex,
    // read by the worker without a lock.
    std::atomic<bool> running{false};
    // 0 off, 1 one-shot, 2 continuous.
    std::atomic<int32_t> mode{0};
    // Consecutive quiet windows. The worker's; start clears it while no worker runs.
    int32_t quietCount = 0;
    TwistCompIntake intake;
    // Guard threadAlive and the change of running and mode by stop.
    std::mutex stateMutex;
    std::condition_variable stateCond;
    bool threadAlive = false;
    // The worker's (or, without a worker, the caller of TwistComp_processSample's).
    float smoothedShift = std::numeric_limits<float>::quiet_NaN();
    std::array<float, TWIST_COMP_WINDOW> window{};
    uint32_t windowIndex = 0;
    // Set before the worker starts; read by it.
    TwistCompDevice device;
};
// The name the intake has always used for it.
using PZTwistCompState = TwistComp;

// The current context's twist-compensation state, created on first use.
TwistComp* TwistComp_state();

// Moves the sample into an empty queue and returns true; with a sample
// already waiting, leaves `sample` untouched and returns false (the caller
// still owns it). The worker is not woken: it finds the sample when its
// current wait ends.
bool TwistComp_pushSample(TwistCompSample&& sample);

// Takes the waiting sample, if any (the worker's side).
std::optional<TwistCompSample> TwistComp_popSample();
