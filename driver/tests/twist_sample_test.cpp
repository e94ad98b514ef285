#include "driver/twist_sample.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "runtime/context.h"

namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> pixels(size_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

TwistCompRegion region(const std::vector<uint8_t>& bytes, uint16_t y, uint16_t w, uint16_t h) {
    return TwistCompRegion{bytes.data(), bytes.size(), 7, y, w, h};
}

// Every test runs on a fresh driver context, so queues never leak between tests.
class TwistIntakeTest : public ::testing::Test {
protected:
    morv::driver::ScopedThreadContext context{std::make_shared<morv::driver::Context>()};
};

TEST_F(TwistIntakeTest, SampleOwnsCopiesAndImagesOfRoiSize) {
    std::vector<uint8_t> templ = pixels(12, 0);  // 3 rows x 4 columns
    std::vector<uint8_t> match = pixels(10, 100);  // 2 rows x 5 columns
    auto sample = TwistComp_makeSample(region(templ, 5, 4, 3), region(match, 9, 5, 2), 1.5f, -2.5f);
    ASSERT_TRUE(sample.has_value());
    templ.assign(templ.size(), 0xEE);  // the sample keeps its own copy
    match.assign(match.size(), 0xEE);

    EXPECT_EQ(3, sample->templateImage.rows);
    EXPECT_EQ(4, sample->templateImage.cols);
    EXPECT_EQ(CV_8UC1, sample->templateImage.type());
    EXPECT_EQ(sample->templateData.get(), sample->templateImage.data);
    EXPECT_EQ(6, sample->templateImage.at<uint8_t>(1, 2));  // row-major over the copy
    EXPECT_EQ(2, sample->matchImage.rows);
    EXPECT_EQ(5, sample->matchImage.cols);
    EXPECT_EQ(109, sample->matchImage.at<uint8_t>(1, 4));
    EXPECT_EQ(-4, sample->rowDifference);
    EXPECT_FLOAT_EQ(1.5f, sample->leftOffset);
    EXPECT_FLOAT_EQ(-2.5f, sample->rightOffset);
}

TEST_F(TwistIntakeTest, RegionsShorterThanTheirRoiOrEmptyGiveNoSample) {
    const std::vector<uint8_t> twelve = pixels(12, 0);
    const std::vector<uint8_t> eleven = pixels(11, 0);
    const std::vector<uint8_t> none;
    // data longer than w x h is fine; the image covers its first w x h bytes
    EXPECT_TRUE(TwistComp_makeSample(region(twelve, 0, 4, 3), region(twelve, 0, 2, 2), 0, 0).has_value());
    EXPECT_FALSE(TwistComp_makeSample(region(eleven, 0, 4, 3), region(twelve, 0, 4, 3), 0, 0).has_value());
    EXPECT_FALSE(TwistComp_makeSample(region(twelve, 0, 4, 3), region(eleven, 0, 4, 3), 0, 0).has_value());
    EXPECT_FALSE(TwistComp_makeSample(region(twelve, 0, 0, 3), region(twelve, 0, 4, 3), 0, 0).has_value());
    EXPECT_FALSE(TwistComp_makeSample(region(twelve, 0, 4, 3), region(twelve, 0, 4, 0), 0, 0).has_value());
    EXPECT_FALSE(TwistComp_makeSample(region(none, 0, 4, 3), region(twelve, 0, 4, 3), 0, 0).has_value());
    // 65535 x 65535 does not overflow the size check
    EXPECT_FALSE(
        TwistComp_makeSample(region(twelve, 0, 0xFFFF, 0xFFFF), region(twelve, 0, 4, 3), 0, 0).has_value());
}

TEST_F(TwistIntakeTest, QueueHoldsOneSampleAndRefusesTheSecond) {
    const std::vector<uint8_t> bytes = pixels(4, 1);
    auto first = TwistComp_makeSample(region(bytes, 3, 2, 2), region(bytes, 1, 2, 2), 0, 0);
    auto second = TwistComp_makeSample(region(bytes, 8, 2, 2), region(bytes, 1, 2, 2), 0, 0);
    ASSERT_TRUE(first && second);
    const uint8_t* firstBuffer = first->templateData.get();

    EXPECT_TRUE(TwistComp_pushSample(std::move(*first)));
    EXPECT_FALSE(TwistComp_pushSample(std::move(*second)));
    // The refused sample is still whole in the caller's hands.
    ASSERT_NE(nullptr, second->templateData.get());
    EXPECT_EQ(second->templateData.get(), second->templateImage.data);
    EXPECT_EQ(7, second->rowDifference);

    auto taken = TwistComp_popSample();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(firstBuffer, taken->templateData.get());
    EXPECT_EQ(firstBuffer, taken->templateImage.data);
    EXPECT_EQ(2, taken->rowDifference);
    EXPECT_FALSE(TwistComp_popSample().has_value());
    EXPECT_TRUE(TwistComp_pushSample(std::move(*second)));  // room again
}

TEST_F(TwistIntakeTest, EachDriverContextHasItsOwnQueue) {
    const std::vector<uint8_t> bytes = pixels(1, 0);
    auto sample = TwistComp_makeSample(region(bytes, 0, 1, 1), region(bytes, 0, 1, 1), 0, 0);
    ASSERT_TRUE(TwistComp_pushSample(std::move(*sample)));
    {
        morv::driver::ScopedThreadContext other{std::make_shared<morv::driver::Context>()};
        EXPECT_FALSE(TwistComp_popSample().has_value());
    }
    EXPECT_TRUE(TwistComp_popSample().has_value());
}

// Waits on a fixed 100 ms slice: the push must leave the worker's wait alone.
TEST_F(TwistIntakeTest, PushDoesNotWakeAWaitingWorkerWaitsOutTheSlice100ms) {
    TwistCompIntake& intake = TwistComp_state()->intake;
    std::mutex readyMutex;
    std::condition_variable readyCond;
    bool waiting = false;
    std::chrono::steady_clock::duration waited{};
    bool found = false;
    morv::driver::Context* context = PZContext_GetCurrent();
    std::thread worker([&] {
        std::unique_lock<std::mutex> lock(intake.queueMutex);
        {
            std::lock_guard<std::mutex> ready(readyMutex);
            waiting = true;
        }
        readyCond.notify_all();
        const auto start = std::chrono::steady_clock::now();
        // Any notification ends this wait early, spurious or not.
        intake.queueCond.wait_for(lock, 100ms);
        waited = std::chrono::steady_clock::now() - start;
        found = !intake.queue.empty();
    });
    {
        std::unique_lock<std::mutex> ready(readyMutex);
        readyCond.wait(ready, [&] { return waiting; });
    }
    EXPECT_EQ(context, PZContext_GetCurrent());
    const std::vector<uint8_t> bytes = pixels(1, 0);
    auto sample = TwistComp_makeSample(region(bytes, 0, 1, 1), region(bytes, 0, 1, 1), 0, 0);
    // Takes the queue mutex, so the worker is inside its wait by now.
    EXPECT_TRUE(TwistComp_pushSample(std::move(*sample)));
    worker.join();
    EXPECT_GE(waited, 90ms);
    EXPECT_TRUE(found);
}

TEST_F(TwistIntakeTest, ConcurrentPushAndPopLoseNothingButRefusals) {
    constexpr int kSamples = 2000;
    std::atomic<bool> done{false};
    std::atomic<int> taken{0};
    auto holder = std::make_shared<morv::driver::Context>();
    morv::driver::ScopedThreadContext shared{holder};
    std::thread worker([&, holder] {
        morv::driver::ScopedThreadContext same{holder};
        while (!done.load()) {
            if (auto sample = TwistComp_popSample()) {
                EXPECT_EQ(sample->templateData.get(), sample->templateImage.data);
                ++taken;
            }
        }
        while (TwistComp_popSample()) ++taken;
    });
    int refused = 0;
    const std::vector<uint8_t> bytes = pixels(16, 0);
    for (int i = 0; i < kSamples; ++i) {
        auto sample = TwistComp_makeSample(region(bytes, 0, 4, 4), region(bytes, 0, 4, 4), 0, 0);
        if (!TwistComp_pushSample(std::move(*sample))) ++refused;
    }
    done = true;
    worker.join();
    EXPECT_EQ(kSamples, taken.load() + refused);
}

}  // namespace
