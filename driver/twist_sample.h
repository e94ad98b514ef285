// Hand-over of twist-compensation samples from the device client's read
// thread to the twist-compensation worker.
//
// The read thread turns every twistCompData message into a TwistCompSample
// (TwistComp_makeSample) and offers it here (TwistComp_pushSample); the
// worker takes it (TwistComp_popSample). The queue holds at most one
// sample, so a slow worker never holds up the read thread: a sample offered
// while one waits is refused and stays with the caller, which frees it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include <opencv2/core/mat.hpp>

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

// Twist-compensation state of a driver context.
struct PZTwistCompState {
    TwistCompIntake intake;
};

// The current context's twist-compensation state, created on first use.
PZTwistCompState* TwistComp_state();

// Moves the sample into an empty queue and returns true; with a sample
// already waiting, leaves `sample` untouched and returns false (the caller
// still owns it). The worker is not woken: it finds the sample when its
// current wait ends.
bool TwistComp_pushSample(TwistCompSample&& sample);

// Takes the waiting sample, if any (the worker's side).
std::optional<TwistCompSample> TwistComp_popSample();
