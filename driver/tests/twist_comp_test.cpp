#include "driver/twist_comp.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "driver/device_record.h"
#include "driver/tests/client_test_support.h"
#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

using ztest::kBound;
using ztest::LogCapture;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// --- images -----------------------------------------------------------------------

// A smooth texture: rows of g(x, y) sampled at any real row, so that a template
// can be cut at a fractional row of the match image.
uint8_t texture(double x, double y) {
    const double value = 128.0 + 55.0 * std::sin(0.35 * x + 0.21 * y) + 45.0 * std::cos(0.27 * y - 0.13 * x);
    return static_cast<uint8_t>(std::lround(value));
}

cv::Mat textureImage(int rows, int cols, double firstRow, int firstCol = 0) {
    cv::Mat image(rows, cols, CV_8UC1);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) image.at<uint8_t>(r, c) = texture(firstCol + c, firstRow + r);
    }
    return image;
}

// A sample over copies of the two images, as the intake builds them.
TwistCompSample sampleOf(const cv::Mat& templ, const cv::Mat& match, int32_t rowDifference, float left, float right) {
    const cv::Mat t = templ.isContinuous() ? templ : templ.clone();
    const cv::Mat m = match.isContinuous() ? match : match.clone();
    auto sample = TwistComp_makeSample(
        TwistCompRegion{t.data, t.total(), 0, static_cast<uint16_t>(rowDifference), static_cast<uint16_t>(t.cols),
                        static_cast<uint16_t>(t.rows)},
        TwistCompRegion{m.data, m.total(), 0, 0, static_cast<uint16_t>(m.cols), static_cast<uint16_t>(m.rows)}, left,
        right);
    EXPECT_TRUE(sample.has_value());
    return std::move(*sample);
}

// A ramp down the rows, equal across each row: the squared differences of
// the rows next to an exact match are equal, so the sub-pixel row is exact.
cv::Mat rampImage(int rows, int cols) {
    cv::Mat image(rows, cols, CV_8UC1);
    for (int r = 0; r < rows; ++r) image.row(r).setTo(cv::Scalar(10 * r + 5));
    return image;
}

// A sample whose measured shift is exactly 1 row: the template is the match
// image's rows 3..6, reported 2 rows below the match region's start.
TwistCompSample oneRowSample(float left, float right) {
    const cv::Mat match = rampImage(12, 6);
    return sampleOf(match.rowRange(3, 7), match, 2, left, right);
}

// --- a recording device -----------------------------------------------------------

using Write = std::tuple<int32_t, int32_t, float>;

class RecordingDevice {
public:
    // Values that getParameter answers; a pair not listed cannot be read.
    void setValue(int32_t component, int32_t parameter, float value) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_[{component, parameter}] = value;
    }
    void setCfgStatus(PZStatus status) {
        std::lock_guard<std::mutex> lock(mutex_);
        cfgStatus_ = status;
    }

    void attach(TwistComp& state) {
        state.device.getParameter = [this](int32_t component, int32_t parameter, float* value) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++reads_;
            changed_.notify_all();
            auto found = values_.find({component, parameter});
            if (found == values_.end()) return PZStatus_Timeout;
            *value = found->second;
            return PZStatus_Success;
        };
        // A write is what the device reports from then on.
        state.device.setParameter = [this](int32_t component, int32_t parameter, float value) {
            std::lock_guard<std::mutex> lock(mutex_);
            writes_.emplace_back(component, parameter, value);
            values_[{component, parameter}] = value;
            changed_.notify_all();
            return PZStatus_Success;
        };
        state.device.setTwistCompCfg = [this](int32_t mode) {
            std::lock_guard<std::mutex> lock(mutex_);
            cfgModes_.push_back(mode);
            changed_.notify_all();
            return cfgStatus_;
        };
        state.device.saveCameraOffsets = [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            ++saves_;
            return PZStatus_Success;
        };
    }

    std::vector<Write> writes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }
    std::vector<int32_t> cfgModes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return cfgModes_;
    }
    int reads() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return reads_;
    }
    int saves() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return saves_;
    }
    bool waitForReads(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return reads_ >= count; });
    }
    bool waitForWrites(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return writes_.size() >= count; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::pair<int32_t, int32_t>, float> values_;
    PZStatus cfgStatus_ = PZStatus_Success;
    std::vector<Write> writes_;
    std::vector<int32_t> cfgModes_;
    int reads_ = 0;
    int saves_ = 0;
};

// Every test runs on a fresh driver context whose log lines are captured, with
// the recording device in place of the sensor. A worker left running by a
// failed check is stopped before the context goes.
class TwistCompTest : public ::testing::Test {
protected:
    void SetUp() override {
        released_.watch(context_.get());
        PZContext_GetSlot(context_.get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK), [](void* value) { return value; },
                          log_.record(), [](void*) {});
        LOGG_init();
        LOGG_setSeverity(LOG_DEBUG_E);
        device_.attach(state());
        device_.setValue(PZComponent_IrBoth, PZParameter_SubpixYOffset, 0.0f);
        device_.setValue(PZComponent_IrLeft, PZParameter_YOffset, 5.0f);
        device_.setValue(PZComponent_IrRight, PZParameter_YOffset, 7.0f);
    }
    void TearDown() override { TwistComp_stop(true); }

    TwistComp& state() { return *TwistComp_state(); }
    // A whole window of one shift value with the reported offsets.
    void window(float shift, float left, float right) {
        for (size_t i = 0; i < TWIST_COMP_WINDOW; ++i) TwistComp_processShift(state(), shift, left, right);
    }
    bool workerAlive() {
        std::lock_guard<std::mutex> lock(state().stateMutex);
        return state().threadAlive;
    }

    ztest::ContextRelease released_;
    std::shared_ptr<morv::driver::Context> context_ = std::make_shared<morv::driver::Context>();
    morv::driver::ScopedThreadContext scope_{context_};
    LogCapture log_;
    RecordingDevice device_;
};

MATCHER_P3(IsWrite, component, parameter, value, "") {
    return std::get<0>(arg) == component && std::get<1>(arg) == parameter &&
           std::fabs(std::get<2>(arg) - value) < 1e-5f;
}
using ::testing::ElementsAre;

// --- robust mean --------------------------------------------------------------------

TEST(TwistRobustMean, EqualValuesHaveNoSpreadAndGiveTheirMean) {
    std::vector<float> values(12, 0.5f);
    EXPECT_EQ(0.5f, TwistComp_robustMean(values));
    EXPECT_EQ(std::vector<float>(12, 0.5f), values);
}

TEST(TwistRobustMean, ZeroSubnormalInfiniteAndNaNEntriesDoNotCount) {
    std::vector<float> zeros(12, 0.0f);
    EXPECT_TRUE(std::isnan(TwistComp_robustMean(zeros)));
    std::vector<float> mixed = {0.0f, kNaN, std::numeric_limits<float>::infinity(), 1e-40f, 2.0f, 2.0f, 2.0f};
    EXPECT_EQ(2.0f, TwistComp_robustMean(mixed));
    EXPECT_EQ(0.0f, mixed[0]);  // only outliers among the normal values are marked
    EXPECT_EQ(1e-40f, mixed[3]);
}

TEST(TwistRobustMean, OutlierIsMarkedByTheFirstPassAndTheSecondAveragesTheRest) {
    std::vector<float> values(11, 1.0f);
    values.push_back(10.0f);
    EXPECT_EQ(1.0f, TwistComp_robustMean(values));
    EXPECT_TRUE(std::isnan(values[11]));
    EXPECT_EQ(1.0f, values[0]);
    EXPECT_EQ(1.0f, TwistComp_robustMean(values));
}

TEST(TwistRobustMean, NeedsThreeInliersOnceThereIsSpread) {
    std::vector<float> two = {1.0f, 2.0f, 0.0f};
    EXPECT_TRUE(std::isnan(TwistComp_robustMean(two)));
    std::vector<float> three = {1.0f, 2.0f, 3.0f};
    EXPECT_FLOAT_EQ(2.0f, TwistComp_robustMean(three));
    // a single value has no spread: its mean stands
    std::vector<float> one = {0.0f, 4.0f, kNaN};
    EXPECT_EQ(4.0f, TwistComp_robustMean(one));
}

// --- shift estimate -----------------------------------------------------------------

TEST(TwistShiftEstimate, FindsWholeAndFractionalRowDisplacements) {
    const cv::Mat match = textureImage(40, 36, 0.0);
    // Cut at rows 10, 10.3, 9.7 and 17.5 (and 6 columns in): the sub-pixel
    // row follows the displacement to within a tenth of a row.
    for (double row : {10.0, 10.3, 9.7, 17.5, 4.25}) {
        const cv::Mat templ = textureImage(12, 24, row, 6);
        const std::optional<float> found = TwistComp_estimateShift(templ, match);
        ASSERT_TRUE(found.has_value());
        EXPECT_NEAR(row, *found, 0.1) << "template cut at row " << row;
    }
}

TEST(TwistShiftEstimate, ExactMatchWithEqualNeighboursIsTheWholeRow) {
    const cv::Mat match = rampImage(12, 6);
    EXPECT_EQ(3.0f, TwistComp_estimateShift(match.rowRange(3, 7).clone(), match).value());
    // At the first row the missing upper neighbour is the best score itself,
    // which puts the parabola's vertex half a row above.
    EXPECT_EQ(-0.5f, TwistComp_estimateShift(match.rowRange(0, 4).clone(), match).value());
    EXPECT_EQ(8.5f, TwistComp_estimateShift(match.rowRange(8, 12).clone(), match).value());
}

TEST(TwistShiftEstimate, TemplateThatIsEmptyOrDoesNotFitIsRefused) {
    const cv::Mat match = textureImage(10, 10, 0.0);
    EXPECT_FALSE(TwistComp_estimateShift(cv::Mat(), match).has_value());
    EXPECT_FALSE(TwistComp_estimateShift(textureImage(4, 4, 0.0), cv::Mat()).has_value());
    EXPECT_FALSE(TwistComp_estimateShift(textureImage(11, 4, 0.0), match).has_value());
    EXPECT_FALSE(TwistComp_estimateShift(textureImage(4, 11, 0.0), match).has_value());
    // larger in both directions: matching would swap the two, we do not
    EXPECT_FALSE(TwistComp_estimateShift(textureImage(12, 12, 0.0), match).has_value());
    EXPECT_FALSE(TwistComp_estimateShift(cv::Mat(4, 4, CV_16UC1, cv::Scalar(0)), match).has_value());
    // the same size fits: one score, no neighbours, no defined fraction
    const std::optional<float> same = TwistComp_estimateShift(match.clone(), match);
    ASSERT_TRUE(same.has_value());
    EXPECT_TRUE(std::isnan(*same));
}

// --- one sample, one window ---------------------------------------------------------

TEST_F(TwistCompTest, HalfRowWindowWritesTheSubpixelOffsetAndOnlyChangedRows) {
    window(0.5f, 5.0f, 7.0f);
    EXPECT_EQ(0.5f, state().smoothedShift);
    EXPECT_EQ(0, state().quietCount);
    EXPECT_THAT(device_.writes(), ElementsAre(IsWrite(3, 6, 0.5f)));
    // Reported offsets with fractions differ from their whole rows: written truncated.
    window(0.5f, 5.5f, -7.25f);
    EXPECT_THAT(device_.writes(), ElementsAre(IsWrite(3, 6, 0.5f), IsWrite(3, 6, 0.5f), IsWrite(1, 4, 5.0f),
                                              IsWrite(2, 4, -7.0f)));
}

TEST_F(TwistCompTest, NothingHappensUntilTheTwelfthSample) {
    for (int i = 0; i < 11; ++i) TwistComp_processShift(state(), 0.5f, 5.0f, 7.0f);
    EXPECT_EQ(11u, state().windowIndex);
    EXPECT_TRUE(device_.writes().empty());
    EXPECT_TRUE(std::isnan(state().smoothedShift));
    TwistComp_processShift(state(), 0.5f, 5.0f, 7.0f);
    EXPECT_EQ(0u, state().windowIndex);
    EXPECT_EQ(1u, device_.writes().size());
}

TEST_F(TwistCompTest, WindowOfZerosChangesNothing) {
    state().quietCount = 1;
    window(0.0f, 5.0f, 7.0f);
    EXPECT_EQ(1, state().quietCount);
    EXPECT_TRUE(std::isnan(state().smoothedShift));
    EXPECT_TRUE(device_.writes().empty());
}

TEST_F(TwistCompTest, WholeRowsMoveBetweenTheImagersRowOffsets) {
    struct Case {
        float m, left, right;
        std::vector<Write> expected;
    };
    const Case cases[] = {
        // rows taken from the left imager
        {2.3f, 5.0f, 7.0f, {{3, 6, 0.3f}, {1, 4, 3.0f}}},
        // the left imager would go below 0: it stops at 0, the right one takes the rest
        {2.3f, 1.0f, 7.0f, {{3, 6, 0.3f}, {1, 4, 0.0f}, {2, 4, 8.0f}}},
        // negative: rows taken from the right imager, which is already at 0
        {-1.7f, 4.0f, 0.0f, {{3, 6, -0.7f}, {1, 4, 5.0f}}},
        {-1.7f, 4.0f, 3.0f, {{3, 6, -0.7f}, {2, 4, 2.0f}}},
    };
    for (const Case& c : cases) {
        const size_t before = device_.writes().size();
        state().smoothedShift = kNaN;
        window(c.m, c.left, c.right);
        const std::vector<Write> all = device_.writes();
        const std::vector<Write> writes(all.begin() + static_cast<long>(before), all.end());
        ASSERT_EQ(c.expected.size(), writes.size()) << "m " << c.m << " left " << c.left << " right " << c.right;
        for (size_t i = 0; i < writes.size(); ++i) {
            EXPECT_EQ(std::get<0>(c.expected[i]), std::get<0>(writes[i]));
            EXPECT_EQ(std::get<1>(c.expected[i]), std::get<1>(writes[i]));
            EXPECT_NEAR(std::get<2>(c.expected[i]), std::get<2>(writes[i]), 1e-5f);
        }
    }
}

TEST_F(TwistCompTest, CloseWindowsAreSmoothedFarOnesReplaceTheShift) {
    state().smoothedShift = 0.2f;
    state().quietCount = 1;
    window(0.1f, 5.0f, 7.0f);
    EXPECT_FLOAT_EQ(0.185f, state().smoothedShift);
    EXPECT_EQ(0, state().quietCount);  // above the quiet band: a correction follows
    EXPECT_THAT(device_.writes(), ElementsAre(IsWrite(3, 6, 0.185f)));

    state().smoothedShift = 0.2f;
    window(1.5f, 5.0f, 7.0f);  // 1.3 away: not smoothed
    EXPECT_EQ(1.5f, state().smoothedShift);
}

TEST_F(TwistCompTest, QuietWindowsAreCountedWithoutWriting) {
    window(0.1f, 5.0f, 7.0f);
    EXPECT_EQ(1, state().quietCount);
    window(-0.125f, 5.0f, 7.0f);  // smoothed to -0.00375, still quiet
    EXPECT_EQ(2, state().quietCount);
    EXPECT_TRUE(device_.writes().empty());
}

TEST_F(TwistCompTest, SamplesAreMeasuredAgainstTheirRowDifference) {
    for (size_t i = 0; i < TWIST_COMP_WINDOW; ++i) EXPECT_TRUE(TwistComp_processSample(state(), oneRowSample(5, 7)));
    EXPECT_EQ(1.0f, state().smoothedShift);
    EXPECT_THAT(device_.writes(), ElementsAre(IsWrite(3, 6, 0.0f), IsWrite(1, 4, 4.0f)));
}

TEST_F(TwistCompTest, UnmatchableSamplesAndUnusableOffsetsAreSkipped) {
    TwistCompSample empty;  // no images at all
    EXPECT_FALSE(TwistComp_processSample(state(), empty));
    const cv::Mat small = rampImage(4, 4);
    EXPECT_FALSE(TwistComp_processSample(state(), sampleOf(rampImage(6, 4), small, 0, 5, 7)));
    EXPECT_FALSE(TwistComp_processSample(state(), sampleOf(rampImage(2, 5), small, 0, 5, 7)));
    EXPECT_FALSE(TwistComp_processSample(state(), oneRowSample(kNaN, 7)));
    EXPECT_FALSE(TwistComp_processSample(state(), oneRowSample(5, std::numeric_limits<float>::infinity())));
    EXPECT_EQ(0u, state().windowIndex);
    EXPECT_GE(log_.count("Skipping twist sample"), 5u);
    EXPECT_TRUE(TwistComp_processSample(state(), oneRowSample(5, 7)));
    EXPECT_EQ(1u, state().windowIndex);
}

// --- one-shot convergence -----------------------------------------------------------

TEST_F(TwistCompTest, OneShotConvergesAtExactlyTwoQuietWindowsAndSavesOnlyChanges) {
    state().mode = TwistCompMode_OneShot;
    const TwistCompOffsets atStart = TwistComp_readOffsets(state());
    EXPECT_EQ(5.0f, atStart.left);

    window(0.1f, 5.0f, 7.0f);
    EXPECT_FALSE(TwistComp_finishOneShot(state(), atStart));
    window(0.1f, 5.0f, 7.0f);
    ASSERT_EQ(2, state().quietCount);
    EXPECT_TRUE(TwistComp_finishOneShot(state(), atStart));
    EXPECT_EQ(std::vector<int32_t>{TwistCompMode_Off}, device_.cfgModes());
    EXPECT_EQ(2, log_.levelOf("Oneshot twist comp converged"));
    EXPECT_EQ(0u, log_.count("Saving new offsets"));
    EXPECT_EQ(0, device_.saves());

    // Offsets that moved since the start are saved, once.
    device_.setValue(PZComponent_IrBoth, PZParameter_SubpixYOffset, 0.25f);
    device_.setValue(PZComponent_IrLeft, PZParameter_YOffset, 4.0f);
    EXPECT_TRUE(TwistComp_finishOneShot(state(), atStart));
    EXPECT_EQ(1, device_.saves());
    EXPECT_EQ(2, log_.levelOf("Saving new offsets."));
    EXPECT_NE(std::string::npos,
              log_.firstWith("Saving new offsets.")
                  .find("Saving new offsets. sub[0.000000 -> 0.250000], left[5.000000 -> 4.000000], "
                        "right[7.000000 -> 7.000000]"));

    // An offset that could not be read at the start counts as changed.
    EXPECT_TRUE(TwistComp_finishOneShot(state(), TwistCompOffsets{0.25f, kNaN, 7.0f}));
    EXPECT_EQ(2, device_.saves());
}

TEST_F(TwistCompTest, OnlyOneShotModeAtExactlyTwoQuietWindowsStops) {
    const TwistCompOffsets atStart = TwistComp_readOffsets(state());
    state().mode = TwistCompMode_Continuous;
    state().quietCount = 2;
    EXPECT_FALSE(TwistComp_finishOneShot(state(), atStart));
    state().mode = TwistCompMode_OneShot;
    state().quietCount = 3;
    EXPECT_FALSE(TwistComp_finishOneShot(state(), atStart));
    state().quietCount = 1;
    EXPECT_FALSE(TwistComp_finishOneShot(state(), atStart));
    EXPECT_TRUE(device_.cfgModes().empty());
    EXPECT_EQ(0u, log_.count("converged"));
}

// --- modes, start and stop ------------------------------------------------------------

TEST_F(TwistCompTest, UnknownModeIsRefusedAndKeepsTheStoredMode) {
    state().mode = TwistCompMode_Continuous;
    EXPECT_EQ(PZStatus_InvalidParameter, TwistComp_setMode(7));
    EXPECT_EQ(PZStatus_InvalidParameter, TwistComp_setMode(-1));
    EXPECT_EQ(TwistCompMode_Continuous, state().mode.load());
    EXPECT_TRUE(device_.cfgModes().empty());
    EXPECT_FALSE(workerAlive());
}

// Waits out the worker's 250 ms slice when it is stopped.
TEST_F(TwistCompTest, StartRunsOneWorkerAndStopEndsItWaitsOutTheSlice) {
    EXPECT_EQ(PZStatus_Success, TwistComp_setMode(TwistCompMode_OneShot));
    EXPECT_EQ(TwistCompMode_OneShot, state().mode.load());
    EXPECT_TRUE(workerAlive());
    ASSERT_TRUE(device_.waitForReads(3));  // the worker reads the offsets it starts from
    EXPECT_EQ(PZStatus_Success, TwistComp_start());  // already running: no second worker

    EXPECT_EQ(PZStatus_Success, TwistComp_setMode(TwistCompMode_Off));
    EXPECT_FALSE(workerAlive());
    EXPECT_EQ(TwistCompMode_Off, state().mode.load());
    EXPECT_EQ((std::vector<int32_t>{TwistCompMode_Continuous, TwistCompMode_Continuous, TwistCompMode_Off}),
              device_.cfgModes());
    EXPECT_EQ(1u, log_.count("Twist compensation thread exiting"));
    EXPECT_EQ(3, device_.reads());
}

// Waits out the worker's 250 ms slice when it is stopped.
TEST_F(TwistCompTest, FailedConfigurationIsReturnedButTheWorkerFollowsWaitsOutTheSlice) {
    device_.setCfgStatus(PZStatus_Timeout);
    EXPECT_EQ(PZStatus_Timeout, TwistComp_setMode(TwistCompMode_Continuous));
    EXPECT_TRUE(workerAlive());
    EXPECT_EQ(PZStatus_Timeout, TwistComp_stop(true));
    EXPECT_FALSE(workerAlive());
    EXPECT_TRUE(log_.waitFor("Twist compensation thread exiting"));
}

TEST_F(TwistCompTest, StopWithoutWorkerOnlyTellsTheDevice) {
    state().mode = TwistCompMode_Continuous;
    EXPECT_EQ(PZStatus_Success, TwistComp_stop(true));
    EXPECT_EQ(std::vector<int32_t>{TwistCompMode_Off}, device_.cfgModes());
    EXPECT_EQ(TwistCompMode_Continuous, state().mode.load());
}

// Waits out the worker's 250 ms slice when it is stopped.
TEST_F(TwistCompTest, StartDropsThePendingSampleAndKeepsTheWindowWaitsOutTheSlice) {
    ASSERT_TRUE(TwistComp_pushSample(oneRowSample(5, 7)));
    state().quietCount = 5;
    state().windowIndex = 3;
    state().window[0] = 0.75f;
    state().smoothedShift = 0.4f;
    ASSERT_EQ(PZStatus_Success, TwistComp_start());
    EXPECT_FALSE(TwistComp_popSample().has_value());
    EXPECT_EQ(0, state().quietCount);
    EXPECT_EQ(3u, state().windowIndex);
    EXPECT_EQ(0.75f, state().window[0]);
    EXPECT_EQ(0.4f, state().smoothedShift);
    EXPECT_EQ(PZStatus_Success, TwistComp_stop(true));
}

// A start right behind a stop that did not wait (the one-shot worker stopping
// itself) must not be lost to the worker on its way out. Waits out two slices.
TEST_F(TwistCompTest, StartBehindAStoppingWorkerRunsANewOneWaitsOutTwoSlices) {
    ASSERT_EQ(PZStatus_Success, TwistComp_setMode(TwistCompMode_Continuous));
    ASSERT_TRUE(device_.waitForReads(3));
    EXPECT_EQ(PZStatus_Success, TwistComp_stop(false));
    EXPECT_EQ(PZStatus_Success, TwistComp_setMode(TwistCompMode_OneShot));
    EXPECT_EQ(1u, log_.count("Twist compensation thread exiting"));  // the old one has gone
    EXPECT_TRUE(workerAlive());
    EXPECT_TRUE(device_.waitForReads(6));  // and a new one reads its starting offsets
    EXPECT_EQ(TwistCompMode_OneShot, state().mode.load());
}

TEST_F(TwistCompTest, StartupModeArmsOneShotUnlessAModeIsSetWaitsOutTwoSlices) {
    EXPECT_EQ(PZStatus_Success, TwistComp_setStartupMode());
    EXPECT_EQ(2, log_.levelOf("Enabling a one-shot twist comp on start up"));
    EXPECT_EQ(TwistCompMode_OneShot, state().mode.load());
    EXPECT_TRUE(workerAlive());
    EXPECT_EQ(PZStatus_Success, TwistComp_stop(true));

    state().mode = TwistCompMode_Continuous;  // stop without a worker keeps it
    EXPECT_EQ(PZStatus_Success, TwistComp_setStartupMode());
    EXPECT_EQ(1u, log_.count("Enabling a one-shot"));
    EXPECT_EQ(TwistCompMode_Continuous, state().mode.load());
    EXPECT_TRUE(workerAlive());
}

// The worker finds each pushed sample at the end of a 250 ms slice, and its stop waits out one more.
TEST_F(TwistCompTest, WorkerSkipsABadSampleAndCorrectsFromTheNextWaitsOutThreeSlices) {
    // Eleven measurements of one row carried over from an earlier run.
    for (int i = 0; i < 11; ++i) TwistComp_processShift(state(), 1.0f, 5.0f, 7.0f);
    ASSERT_EQ(PZStatus_Success, TwistComp_setMode(TwistCompMode_Continuous));
    const cv::Mat small = rampImage(4, 4);
    ASSERT_TRUE(TwistComp_pushSample(sampleOf(rampImage(6, 4), small, 0, 5, 7)));
    ASSERT_TRUE(log_.waitFor("Skipping twist sample"));
    EXPECT_TRUE(device_.writes().empty());
    ASSERT_TRUE(TwistComp_pushSample(oneRowSample(5, 7)));
    ASSERT_TRUE(device_.waitForWrites(2));
    EXPECT_THAT(device_.writes(), ElementsAre(IsWrite(3, 6, 0.0f), IsWrite(1, 4, 4.0f)));
    EXPECT_TRUE(workerAlive());
    EXPECT_EQ(PZStatus_Success, TwistComp_setMode(TwistCompMode_Off));
}

// --- saving the offsets on the device -----------------------------------------------

class TwistSaveOffsetsTest : public ztest::ScriptedClientFixture {};

uint64_t wallClockNs() {
    uint32_t sec = 0;
    uint32_t usec = 0;
    OS_LYRG_getUsecTime(&sec, &usec);
    return (uint64_t{sec} * 1000000u + usec) * 1000u;
}

// Answers every request with the given error.
void answerWith(ztest::ScriptedPeer& peer, morv::client::Error error) {
    peer.setResponder([error](ztest::Request::Reader request, ztest::ScriptedPeer& device) {
        device.send(ztest::frameResponse([&](ztest::Response::Builder response) {
            response.setId(request.getId() + 1u);
            response.setError(error);
        }));
    });
}

TEST_F(TwistSaveOffsetsTest, RequestCarriesTheWallClockInNanoseconds) {
    answerWith(*peer_, morv::client::Error::SUCCESS);
    const uint64_t before = wallClockNs();
    EXPECT_EQ(PZStatus_Success, PlovarZarnClient_SaveCameraOffsets());
    const uint64_t after = wallClockNs();
    ASSERT_EQ(1u, peer_->requestCount());
    peer_->withRequest(0, [&](ztest::Request::Reader request) {
        ASSERT_TRUE(request.getMsg().isSaveCameraOffsets());
        const uint64_t ts = request.getMsg().getSaveCameraOffsets().getTs();
        EXPECT_GE(ts, before);
        EXPECT_LE(ts, after);
        EXPECT_EQ(0u, ts % 1000u);
        EXPECT_GT(ts, uint64_t{1600000000} * 1000000000u);  // all 64 bits, not a 32-bit product
    });
}

TEST_F(TwistSaveOffsetsTest, RefusedRequestGivesTheDevicesStatus) {
    answerWith(*peer_, morv::client::Error::NOT_READY);
    EXPECT_EQ(PZClient_errorToStatus(static_cast<uint16_t>(morv::client::Error::NOT_READY)),
              PlovarZarnClient_SaveCameraOffsets());
    EXPECT_NE(PZStatus_Success, PlovarZarnClient_SaveCameraOffsets());
    EXPECT_EQ(2u, peer_->requestCount());
}

// --- the driver's own path to the device --------------------------------------------

using ztest::Request;
using WireComponent = morv::client::Component;

// A ready device behind the scripted peer that keeps the row offsets it is
// sent and answers reads with them, so that the worker's steps run through
// the parameter interface and the device requests unchanged.
class TwistDevicePathTest : public ztest::ScriptedClientFixture {
protected:
    void SetUp() override {
        ScriptedClientFixture::SetUp();
        PZDevice_get()->state = PZDeviceState_Ready;
        peer_->setResponder([this](Request::Reader request, ztest::ScriptedPeer& peer) { answer(request, peer); });
    }
    void TearDown() override {
        TwistComp_stop(true);
        ScriptedClientFixture::TearDown();
    }

    void answer(Request::Reader request, ztest::ScriptedPeer& peer) {
        const uint32_t id = request.getId() + 1u;
        if (!request.getMsg().isComponentSetting()) {
            peer.send(ztest::frameResponse([&](ztest::Response::Builder response) {
                response.setId(id);
                response.setError(morv::client::Error::SUCCESS);
            }));
            return;
        }
        auto setting = request.getMsg().getComponentSetting();
        const WireComponent component = setting.getComponent();
        std::lock_guard<std::mutex> lock(mutex_);
        if (setting.getWriteFlag()) {
            if (setting.isYOffset()) rows_[component] = setting.getYOffset();
            if (setting.isSubpixYOffset()) subpixel_[component] = setting.getSubpixYOffset();
        }
        peer.send(ztest::frameResponse([&](ztest::Response::Builder response) {
            response.setId(id);
            response.setError(morv::client::Error::SUCCESS);
            auto reply = response.getMsg().initComponentSetting();
            reply.setComponent(component);
            if (setting.isYOffset()) reply.setYOffset(rows_[component]);
            if (setting.isSubpixYOffset()) reply.setSubpixYOffset(subpixel_[component]);
        }));
    }

    // Request i as (member discriminant, component, writeFlag, value as float).
    struct Seen {
        uint16_t member;
        WireComponent component;
        bool write;
        float value;
    };
    Seen seen(size_t i) {
        Seen result{};
        peer_->withRequest(i, [&](Request::Reader request) {
            result.member = static_cast<uint16_t>(request.getMsg().which());
            if (!request.getMsg().isComponentSetting()) return;
            auto setting = request.getMsg().getComponentSetting();
            result.component = setting.getComponent();
            result.write = setting.getWriteFlag();
            result.value = setting.isYOffset() ? setting.getYOffset() : setting.getSubpixYOffset();
        });
        return result;
    }

    std::mutex mutex_;
    std::map<WireComponent, int16_t> rows_{{WireComponent::IR_LEFT, 5}, {WireComponent::IR_RIGHT, 7}};
    std::map<WireComponent, float> subpixel_{{WireComponent::IR_BOTH, 0.0f}};
};

constexpr uint16_t kComponentSetting = static_cast<uint16_t>(Request::Msg::COMPONENT_SETTING);
constexpr uint16_t kTwistCompCfg = static_cast<uint16_t>(Request::Msg::TWIST_COMP_CFG);
constexpr uint16_t kSaveOffsets = static_cast<uint16_t>(Request::Msg::SAVE_CAMERA_OFFSETS);

TEST_F(TwistDevicePathTest, OneShotRunReadsCorrectsStopsAndSavesThroughTheDriver) {
    TwistComp& state = *TwistComp_state();
    const TwistCompOffsets atStart = TwistComp_readOffsets(state);
    EXPECT_EQ(0.0f, atStart.sub);
    EXPECT_EQ(5.0f, atStart.left);
    EXPECT_EQ(7.0f, atStart.right);
    ASSERT_EQ(3u, peer_->requestCount());
    EXPECT_EQ(WireComponent::IR_BOTH, seen(0).component);
    EXPECT_EQ(WireComponent::IR_LEFT, seen(1).component);
    EXPECT_EQ(WireComponent::IR_RIGHT, seen(2).component);
    EXPECT_FALSE(seen(2).write);

    for (size_t i = 0; i < TWIST_COMP_WINDOW; ++i) TwistComp_processShift(state, 2.3f, 5.0f, 7.0f);
    ASSERT_EQ(5u, peer_->requestCount());
    EXPECT_EQ(kComponentSetting, seen(3).member);
    EXPECT_EQ(WireComponent::IR_BOTH, seen(3).component);
    EXPECT_TRUE(seen(3).write);
    EXPECT_NEAR(0.3f, seen(3).value, 1e-5f);
    EXPECT_EQ(WireComponent::IR_LEFT, seen(4).component);
    EXPECT_EQ(3.0f, seen(4).value);

    state.mode = TwistCompMode_OneShot;
    for (int windows = 0; windows < 2; ++windows) {
        EXPECT_FALSE(TwistComp_finishOneShot(state, atStart));
        for (size_t i = 0; i < TWIST_COMP_WINDOW; ++i) TwistComp_processShift(state, 0.05f, 3.0f, 7.0f);
    }
    EXPECT_EQ(5u, peer_->requestCount());  // quiet windows write nothing
    EXPECT_TRUE(TwistComp_finishOneShot(state, atStart));
    ASSERT_EQ(10u, peer_->requestCount());
    EXPECT_EQ(kTwistCompCfg, seen(5).member);
    peer_->withRequest(5, [](Request::Reader request) {
        EXPECT_EQ(morv::client::TwistCompCfg::Mode::OFF, request.getMsg().getTwistCompCfg().getMode());
    });
    EXPECT_EQ(kComponentSetting, seen(6).member);
    EXPECT_EQ(kSaveOffsets, seen(9).member);
    EXPECT_EQ(1u, log_.count("Saving new offsets. sub[0.000000 -> 0.300000], left[5.000000 -> 3.000000]"));
}

TEST_F(TwistDevicePathTest, OffsetsOfADeviceThatIsNotReadyStayUnread) {
    PZDevice_get()->state = PZDeviceState_LowPowerMode;
    const TwistCompOffsets offsets = TwistComp_readOffsets(*TwistComp_state());
    EXPECT_TRUE(std::isnan(offsets.sub));
    EXPECT_TRUE(std::isnan(offsets.left));
    EXPECT_TRUE(std::isnan(offsets.right));
    EXPECT_EQ(0u, peer_->requestCount());
}

// Waits out the worker's 250 ms slice when it is stopped.
TEST_F(TwistDevicePathTest, StartAndStopConfigureTheDeviceWaitsOutTheSlice) {
    EXPECT_EQ(PZStatus_Success, TwistComp_setMode(TwistCompMode_Continuous));
    ASSERT_TRUE(peer_->waitForRequests(4));  // the configuration and the worker's three reads
    EXPECT_EQ(PZStatus_Success, TwistComp_setMode(TwistCompMode_Off));
    ASSERT_EQ(5u, peer_->requestCount());
    size_t configurations = 0;
    for (size_t i = 0; i < 4; ++i) {
        peer_->withRequest(i, [&](Request::Reader request) {
            if (!request.getMsg().isTwistCompCfg()) return;
            ++configurations;
            EXPECT_EQ(morv::client::TwistCompCfg::Mode::CONTINUOUS, request.getMsg().getTwistCompCfg().getMode());
        });
    }
    EXPECT_EQ(1u, configurations);
    peer_->withRequest(4, [](Request::Reader request) {
        ASSERT_TRUE(request.getMsg().isTwistCompCfg());
        EXPECT_EQ(morv::client::TwistCompCfg::Mode::OFF, request.getMsg().getTwistCompCfg().getMode());
    });
    EXPECT_TRUE(log_.waitFor("Twist compensation thread exiting"));
}

// The simulated firmware's twist data through the read thread, the intake,
// the worker and the parameter interface, back into the firmware's settings.
class TwistFirmwareTest : public ztest::ClientFixture {
protected:
    void SetUp() override {
        ClientFixture::SetUp();
        PZDevice_get()->state = PZDeviceState_Ready;
    }
    void TearDown() override {
        TwistComp_stop(true);
        ClientFixture::TearDown();
    }
    zsim::SimFirmware::TwistFrame frameOf(const cv::Mat& image, uint16_t y) {
        const cv::Mat copy = image.clone();
        return {std::vector<uint8_t>(copy.datastart, copy.dataend), 0, y, static_cast<uint16_t>(copy.cols),
                static_cast<uint16_t>(copy.rows)};
    }
};

// The worker takes the sample at the end of its 250 ms slice; its stop waits out another.
TEST_F(TwistFirmwareTest, FirmwareDataCorrectsItsRowOffsetsWaitsOutTwoSlices) {
    constexpr uint16_t kWireLeft = static_cast<uint16_t>(WireComponent::IR_LEFT);
    constexpr uint16_t kWireBoth = static_cast<uint16_t>(WireComponent::IR_BOTH);
    zsim::SimComponentSettings left = firmware_->componentSettings(kWireLeft);
    left.yOffset = 5;
    firmware_->setComponentSettings(kWireLeft, left);
    zsim::SimComponentSettings both = firmware_->componentSettings(kWireBoth);
    both.subpixYOffset = 0.5f;
    firmware_->setComponentSettings(kWireBoth, both);
    // Eleven measurements of one row carried over from an earlier run.
    for (int i = 0; i < 11; ++i) TwistComp_processShift(*TwistComp_state(), 1.0f, 5.0f, 0.0f);

    const size_t before = firmware_->requestKinds().size();
    ASSERT_EQ(PZStatus_Success, TwistComp_setMode(TwistCompMode_Continuous));
    ASSERT_TRUE(firmware_->waitForRequests(before + 4, kBound));  // configuration and three reads
    const cv::Mat match = rampImage(12, 6);
    ASSERT_TRUE(firmware_->sendTwistCompData(frameOf(match.rowRange(3, 7), 2), frameOf(match, 0), 5.0f, 0.0f));
    ASSERT_TRUE(firmware_->waitForRequests(before + 6, kBound));  // subpixel and left row offset
    EXPECT_EQ(4, firmware_->componentSettings(kWireLeft).yOffset);
    EXPECT_EQ(0.0f, firmware_->componentSettings(kWireBoth).subpixYOffset);

    EXPECT_EQ(PZStatus_Success, TwistComp_setMode(TwistCompMode_Off));
    EXPECT_EQ((std::vector<uint16_t>{static_cast<uint16_t>(morv::client::TwistCompCfg::Mode::CONTINUOUS),
                                     static_cast<uint16_t>(morv::client::TwistCompCfg::Mode::OFF)}),
              firmware_->twistModes());
}

// Waits out the worker's 250 ms slice when it is stopped.
TEST_F(TwistFirmwareTest, UnpluggedDeviceFailsTheStopButTheWorkerEndsWaitsOutTheSlice) {
    const size_t before = firmware_->requestKinds().size();
    ASSERT_EQ(PZStatus_Success, TwistComp_setMode(TwistCompMode_OneShot));
    ASSERT_TRUE(firmware_->waitForRequests(before + 4, kBound));
    usb_->unplug();
    ASSERT_TRUE(waitForReadThreadEnd());
    EXPECT_NE(PZStatus_Success, TwistComp_setMode(TwistCompMode_Off));
    std::lock_guard<std::mutex> lock(TwistComp_state()->stateMutex);
    EXPECT_FALSE(TwistComp_state()->threadAlive);
    EXPECT_EQ(1u, log_.count("Twist compensation thread exiting"));
}

}  // namespace
