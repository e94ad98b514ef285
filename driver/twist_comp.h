// Twist compensation: measures the vertical misalignment between the rows of
// the two infrared imagers and corrects it through the cameras' row offsets.
//
// Once told to (twistCompCfg), the firmware sends twistCompData: a template
// region, a match region in which the template is searched, their positions,
// and the imagers' current row offsets. The device client turns each message
// into a sample (twist_sample.h); the "Twist Comp" worker finds the template
// in the match image with sub-pixel precision, averages the measurements
// robustly over windows of 12 samples, smooths the result and writes new
// offsets through the parameter interface. In one-shot mode it stops after two
// quiet windows and asks the device to store the offsets it reached; in
// continuous mode it keeps going until stopped.
//
// The state lives in slot 4 of the driver context (TwistComp, twist_sample.h).
// The operations below without a state argument work on the calling thread's
// context; the ones with one are the worker's steps, which run the same way
// without a worker.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include <opencv2/core/mat.hpp>

#include "driver/driver_types.h"
#include "driver/twist_sample.h"

enum TwistCompMode : int32_t {
    TwistCompMode_Off = 0,
    TwistCompMode_OneShot = 1,
    TwistCompMode_Continuous = 2,
};

// Inlier band of the robust mean, in standard deviations.
constexpr float TWIST_COMP_INLIER_SIGMAS = 2.0f;
// A robust mean needs at least this many inliers.
constexpr uint32_t TWIST_COMP_MIN_INLIERS = 3;
// Smoothing weights of the previous and the new window's shift, used only
// when the two lie closer than the band.
constexpr double TWIST_COMP_SMOOTH_PREVIOUS = 0.85;
constexpr double TWIST_COMP_SMOOTH_NEW = 0.15;
constexpr float TWIST_COMP_SMOOTH_BAND = 1.0f;
// A smoothed shift within this many rows counts as quiet.
constexpr float TWIST_COMP_QUIET_ROWS = 0.125f;
// One-shot compensation has converged at exactly this many quiet windows.
constexpr int32_t TWIST_COMP_CONVERGED_WINDOWS = 2;
// The worker's wait for a sample.
constexpr uint32_t TWIST_COMP_WAIT_MS = 250;

// The offsets the worker reads and writes (component, parameter).
constexpr int32_t TWIST_COMP_SUBPIX_COMPONENT = PZComponent_IrBoth;
constexpr int32_t TWIST_COMP_SUBPIX_PARAMETER = PZParameter_SubpixYOffset;
constexpr int32_t TWIST_COMP_LEFT_COMPONENT = PZComponent_IrLeft;
constexpr int32_t TWIST_COMP_RIGHT_COMPONENT = PZComponent_IrRight;
constexpr int32_t TWIST_COMP_ROW_PARAMETER = PZParameter_YOffset;

// --- control ------------------------------------------------------------------

// 0 stops compensation and waits for the worker; 1 (one-shot) and 2
// (continuous) store the mode and start it; anything else is
// InvalidParameter and leaves the stored mode alone.
PZStatus TwistComp_setMode(int32_t mode);
// Used when the depth stream starts: the stored mode again when one is set,
// otherwise a one-shot compensation.
PZStatus TwistComp_setStartupMode();
// Starts the worker unless one runs, then asks the device for continuous data.
// The result is the request's; a worker is started even when it fails.
PZStatus TwistComp_start();
// Asks the device to stop sending data, then ends the worker (waiting for it
// when asked to). The result is the request's; the worker ends all the same.
PZStatus TwistComp_stop(bool waitForWorker);
// The "Twist Comp" worker; its argument is the address of the state's `running`.
uint32_t twistThreadEntry(void* running);

// Asks the device to store the camera offsets it uses now; the send's status.
PZStatus PlovarZarnClient_SaveCameraOffsets();

// --- the worker's steps -----------------------------------------------------------

// Sub-pixel row of the template's best match inside the match image (squared
// differences, refined by a parabola through the neighbouring rows). None
// when the template is empty or does not fit inside the match image.
std::optional<float> TwistComp_estimateShift(const cv::Mat& templateImage, const cv::Mat& matchImage);

// Robust mean of the normal values (zero, subnormal, infinite and NaN entries
// do not count): values outside two standard deviations of the mean are
// replaced by NaN in place, and the mean of the rest is the result, or NaN
// with fewer than three of them. With no spread the plain mean is the result.
float TwistComp_robustMean(std::span<float> values);

// Measures one sample and adds its shift to the window. False when the
// sample was skipped: an image that cannot be matched, or row offsets that
// are not finite numbers.
bool TwistComp_processSample(TwistComp& state, const TwistCompSample& sample);

// Adds one measured shift; when it completes a window, averages the window,
// smooths, counts a quiet window or writes corrected offsets.
void TwistComp_processShift(TwistComp& state, float shift, float leftOffset, float rightOffset);

// The three offsets as the device reports them; NaN for one that cannot be read.
struct TwistCompOffsets {
    float sub;
    float left;
    float right;
};
TwistCompOffsets TwistComp_readOffsets(TwistComp& state);

// After each sample: in one-shot mode with exactly two quiet windows, stops
// compensation (without waiting: this runs on the worker), reads the
// offsets again and saves them when any differs from `atStart`. True when it
// stopped.
bool TwistComp_finishOneShot(TwistComp& state, const TwistCompOffsets& atStart);
