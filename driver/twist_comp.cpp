// Twist compensation: the worker that measures the row misalignment of the
// infrared imagers from the firmware's twist samples and corrects the
// cameras' row offsets.
#include "driver/twist_comp.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <limits>
#include <mutex>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "driver/device_client.h"
#include "driver/device_protocol.h"
#include "driver/device_requests.h"
#include "driver/driver_thread.h"
#include "driver/morv_client.capnp.h"
#include "driver/parameter_interface.h"
#include "runtime/logger.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The matching method is the squared difference: the best match is the
// minimum, and the parabola through it opens upwards.
static_assert(cv::TM_SQDIFF == 0, "squared-difference template matching");

// --- the device, through the state's seam or the driver's own operations ---------

PZStatus getParameter(TwistComp& state, int32_t component, int32_t parameter, float* value) {
    if (state.device.getParameter) return state.device.getParameter(component, parameter, value);
    uint32_t count = 1;
    return PlovarZarn_GetMultiParameter(component, parameter, value, &count);
}

PZStatus setParameter(TwistComp& state, int32_t component, int32_t parameter, float value) {
    if (state.device.setParameter) return state.device.setParameter(component, parameter, value);
    return PlovarZarn_SetMultiParameter(component, parameter, &value, 1);
}

PZStatus setTwistCompCfg(TwistComp& state, int32_t interfaceMode) {
    if (state.device.setTwistCompCfg) return state.device.setTwistCompCfg(interfaceMode);
    return PlovarZarnClient_SetTwistCompCfg(interfaceMode);
}

PZStatus saveCameraOffsets(TwistComp& state) {
    if (state.device.saveCameraOffsets) return state.device.saveCameraOffsets();
    return PlovarZarnClient_SaveCameraOffsets();
}

float readOffset(TwistComp& state, int32_t component, int32_t parameter) {
    float value = kNaN;
    if (getParameter(state, component, parameter, &value) != PZStatus_Success) return kNaN;
    return value;
}

// A NaN on either side counts as a change, so that an offset that could not
// be read is saved once it can.
bool differs(float before, float after) { return !(before == after); }

// --- start and stop -----------------------------------------------------------------

PZStatus startOn(TwistComp& state) {
    {
        std::unique_lock<std::mutex> lock(state.stateMutex);
        // A worker that has been told to stop but has not ended yet would
        // take this start with it when it leaves: let it end first. It ends
        // within one wait slice plus what it is doing.
        state.stateCond.wait(lock, [&state] { return !state.threadAlive || state.running.load(); });
        if (!state.threadAlive) {
            state.threadAlive = true;
            {
                // Each run starts on fresh data.
                std::lock_guard<std::mutex> queueLock(state.intake.queueMutex);
                state.intake.queue.clear();
            }
            state.running = true;
            state.quietCount = 0;
            state.thread = OS_LYRG_threadParamsT{};
            state.thread.func = &twistThreadEntry;
            state.thread.param = &state.running;
            state.thread.name = "Twist Comp";
            if (!PZThread_startDetached(&state.thread)) {
                state.running = false;
                state.threadAlive = false;
                return PZStatus_Error;
            }
        }
    }
    return setTwistCompCfg(state, TwistCompMode_Continuous);
}

PZStatus stopOn(TwistComp& state, bool waitForWorker) {
    const PZStatus status = setTwistCompCfg(state, TwistCompMode_Off);
    std::unique_lock<std::mutex> lock(state.stateMutex);
    if (state.threadAlive) {
        state.running = false;
        state.mode = TwistCompMode_Off;
        if (waitForWorker) state.stateCond.wait(lock, [&state] { return !state.threadAlive; });
    }
    return status;
}

// --- correction ---------------------------------------------------------------------

// Writes the smoothed shift m (|m| above the quiet band) back: the signed
// fraction goes to the sub-pixel offset, the whole rows to the imagers' row
// offsets. Rows are taken from the left imager when m is positive and given
// to the right one when m is negative; an imager's offset never goes below 0,
// the other imager takes up what is left. Float throughout: the offsets are
// small whole numbers, exact in single precision.
void correct(TwistComp& state, float m, float leftOffset, float rightOffset) {
    const float n = -std::trunc(m);
    const float sub = m + n;
    const float leftWhole = std::trunc(leftOffset);
    const float rightWhole = std::trunc(rightOffset);
    float left = leftWhole;
    float right = rightWhole;
    if (n < 0) {
        if (n + leftOffset >= 0) {
            left = leftWhole + n;
        } else {
            left = 0;
            right = rightWhole - leftWhole - n;
        }
    } else if (n > 0) {
        if (rightOffset - n >= 0) {
            right = rightWhole - n;
        } else {
            right = 0;
            left = leftWhole - rightWhole + n;
        }
    }
    setParameter(state, TWIST_COMP_SUBPIX_COMPONENT, TWIST_COMP_SUBPIX_PARAMETER, sub);
    if (left != leftOffset) setParameter(state, TWIST_COMP_LEFT_COMPONENT, TWIST_COMP_ROW_PARAMETER, left);
    if (right != rightOffset) setParameter(state, TWIST_COMP_RIGHT_COMPONENT, TWIST_COMP_ROW_PARAMETER, right);
}

}  // namespace

// --- control ------------------------------------------------------------------------

PZStatus TwistComp_setMode(int32_t mode) {
    TwistComp& state = *TwistComp_state();
    switch (mode) {
    case TwistCompMode_Off:
        return stopOn(state, true);
    case TwistCompMode_OneShot:
    case TwistCompMode_Continuous:
        state.mode = mode;
        return startOn(state);
    default:
        return PZStatus_InvalidParameter;
    }
}

PZStatus TwistComp_setStartupMode() {
    TwistComp& state = *TwistComp_state();
    const int32_t mode = state.mode.load();
    if (mode != TwistCompMode_Off) return TwistComp_setMode(mode);
    LOGG_PRINT(LOG_INFO_E, 0, "Enabling a one-shot twist comp on start up\n");
    state.mode = TwistCompMode_OneShot;
    return startOn(state);
}

PZStatus TwistComp_start() { return startOn(*TwistComp_state()); }

PZStatus TwistComp_stop(bool waitForWorker) { return stopOn(*TwistComp_state(), waitForWorker); }

uint32_t twistThreadEntry(void* param) {
    auto* running = static_cast<std::atomic<bool>*>(param);
    // The thread carries its creator's driver context, and with it this state.
    TwistComp& state = *TwistComp_state();
    TwistCompIntake& intake = state.intake;

    const TwistCompOffsets atStart = TwistComp_readOffsets(state);
    while (running->load()) {
        std::deque<TwistCompSample> taken;
        {
            std::unique_lock<std::mutex> lock(intake.queueMutex);
            // A push does not wake this wait: the sample waits for the end of the slice.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TWIST_COMP_WAIT_MS);
            if (intake.queueCond.wait_until(lock, deadline,
                                            [&] { return !intake.queue.empty() && running->load(); })) {
                taken.swap(intake.queue);
            }
        }
        while (!taken.empty() && running->load()) {
            TwistComp_processSample(state, taken.front());
            taken.pop_front();
            if (TwistComp_finishOneShot(state, atStart)) break;
        }
    }

    LOGG_PRINT(LOG_INFO_E, 0, "Twist compensation thread exiting\n");
    std::lock_guard<std::mutex> lock(state.stateMutex);
    state.threadAlive = false;
    state.stateCond.notify_all();
    return 0;
}

PZStatus PlovarZarnClient_SaveCameraOffsets() {
    PZMessageBuilder builder;
    auto request = builder.initRoot<morv::client::Request>();
    request.setId(newRequestId());
    uint32_t sec = 0;
    uint32_t usec = 0;
    OS_LYRG_getUsecTime(&sec, &usec);
    // Nanoseconds since 1970 need all 64 bits.
    request.getMsg().initSaveCameraOffsets().setTs((uint64_t{sec} * 1000000u + usec) * 1000u);
    return sendMsgWithRawPayload(builder);
}

// --- the worker's steps -------------------------------------------------------------

std::optional<float> TwistComp_estimateShift(const cv::Mat& templateImage, const cv::Mat& matchImage) {
    if (templateImage.empty() || matchImage.empty()) return std::nullopt;
    if (templateImage.type() != CV_8UC1 || matchImage.type() != CV_8UC1) return std::nullopt;
    // matchTemplate would swap a template larger than the image; ours must fit.
    if (templateImage.rows > matchImage.rows || templateImage.cols > matchImage.cols) return std::nullopt;

    cv::Mat scores;
    try {
        cv::matchTemplate(matchImage, templateImage, scores, cv::TM_SQDIFF);
    } catch (const cv::Exception& error) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "Twist template matching failed: %s\n", error.what());
        return std::nullopt;
    }
    cv::Point best;
    cv::minMaxLoc(scores, nullptr, nullptr, &best, nullptr);
    const int x = best.x;
    const int y = best.y;
    const float b = scores.at<float>(y, x);
    const float a = scores.at<float>(std::max(y - 1, 0), x);
    const float c = scores.at<float>(std::min(y + 1, scores.rows - 1), x);
    return static_cast<float>(y) + (a - c) / (2.0f * (a - 2.0f * b + c));
}

float TwistComp_robustMean(std::span<float> values) {
    double sum = 0.0;
    size_t count = 0;
    for (float value : values) {
        if (!std::isnormal(value)) continue;
        sum += value;
        ++count;
    }
    const float mean = static_cast<float>(sum / static_cast<double>(count));  // 0/0: NaN

    double squares = 0.0;
    for (float value : values) {
        if (!std::isnormal(value)) continue;
        const double deviation = static_cast<double>(value) - mean;
        squares += deviation * deviation;
    }
    const float sigma = std::sqrt(static_cast<float>(squares / static_cast<double>(count)));
    if (!(sigma > 0.0f)) return mean;

    double inlierSum = 0.0;
    uint32_t inliers = 0;
    for (float& value : values) {
        if (!std::isnormal(value)) continue;
        if (TWIST_COMP_INLIER_SIGMAS * sigma > std::fabs(value - mean)) {
            inlierSum += value;
            ++inliers;
        } else {
            value = kNaN;
        }
    }
    if (inliers < TWIST_COMP_MIN_INLIERS) return kNaN;
    return static_cast<float>(inlierSum / inliers);
}

bool TwistComp_processSample(TwistComp& state, const TwistCompSample& sample) {
    // Offsets that are no numbers would be written back to the imagers.
    if (!std::isfinite(sample.leftOffset) || !std::isfinite(sample.rightOffset)) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "Skipping twist sample with row offsets left %f, right %f\n",
                   static_cast<double>(sample.leftOffset), static_cast<double>(sample.rightOffset));
        return false;
    }
    const std::optional<float> row = TwistComp_estimateShift(sample.templateImage, sample.matchImage);
    if (!row) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "Skipping twist sample: template %dx%d, match %dx%d\n", sample.templateImage.cols,
                   sample.templateImage.rows, sample.matchImage.cols, sample.matchImage.rows);
        return false;
    }
    TwistComp_processShift(state, *row - static_cast<float>(sample.rowDifference), sample.leftOffset,
                           sample.rightOffset);
    return true;
}

void TwistComp_processShift(TwistComp& state, float shift, float leftOffset, float rightOffset) {
    if (state.windowIndex >= state.window.size()) state.windowIndex = 0;
    state.window[state.windowIndex++] = shift;
    if (state.windowIndex < state.window.size()) return;
    state.windowIndex = 0;

    // The first pass marks the outliers, the second averages what is left.
    TwistComp_robustMean(state.window);
    float m = TwistComp_robustMean(state.window);
    if (!std::isnormal(m)) return;

    if (std::isnormal(state.smoothedShift) && std::fabs(m - state.smoothedShift) < TWIST_COMP_SMOOTH_BAND) {
        m = static_cast<float>(static_cast<double>(state.smoothedShift) * TWIST_COMP_SMOOTH_PREVIOUS +
                               static_cast<double>(m) * TWIST_COMP_SMOOTH_NEW);
    }
    state.smoothedShift = m;

    if (std::fabs(m) <= TWIST_COMP_QUIET_ROWS) {
        ++state.quietCount;
        return;
    }
    state.quietCount = 0;
    correct(state, m, leftOffset, rightOffset);
}

TwistCompOffsets TwistComp_readOffsets(TwistComp& state) {
    TwistCompOffsets offsets;
    offsets.sub = readOffset(state, TWIST_COMP_SUBPIX_COMPONENT, TWIST_COMP_SUBPIX_PARAMETER);
    offsets.left = readOffset(state, TWIST_COMP_LEFT_COMPONENT, TWIST_COMP_ROW_PARAMETER);
    offsets.right = readOffset(state, TWIST_COMP_RIGHT_COMPONENT, TWIST_COMP_ROW_PARAMETER);
    return offsets;
}

bool TwistComp_finishOneShot(TwistComp& state, const TwistCompOffsets& atStart) {
    if (state.mode.load() != TwistCompMode_OneShot || state.quietCount != TWIST_COMP_CONVERGED_WINDOWS) return false;
    stopOn(state, false);
    const TwistCompOffsets now = TwistComp_readOffsets(state);
    LOGG_PRINT(LOG_INFO_E, 0, "Oneshot twist comp converged\n");
    if (differs(atStart.sub, now.sub) || differs(atStart.left, now.left) || differs(atStart.right, now.right)) {
        LOGG_PRINT(LOG_INFO_E, 0, "Saving new offsets. sub[%f -> %f], left[%f -> %f], right[%f -> %f]\n",
                   static_cast<double>(atStart.sub), static_cast<double>(now.sub), static_cast<double>(atStart.left),
                   static_cast<double>(now.left), static_cast<double>(atStart.right),
                   static_cast<double>(now.right));
        saveCameraOffsets(state);
    }
    return true;
}
