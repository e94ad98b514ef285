#include "driver/twist_sample.h"

#include <cstring>

#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

bool regionFits(const TwistCompRegion& region) {
    const size_t needed = static_cast<size_t>(region.w) * region.h;
    return needed != 0 && region.size >= needed && region.data != nullptr;
}

std::unique_ptr<uint8_t[]> copyOf(const TwistCompRegion& region) {
    auto copy = std::make_unique<uint8_t[]>(region.size);
    std::memcpy(copy.get(), region.data, region.size);
    return copy;
}

void* newTwistCompState(void*) { return new TwistComp(); }
void deleteTwistCompState(void* object) { delete static_cast<TwistComp*>(object); }

}  // namespace

std::optional<TwistCompSample> TwistComp_makeSample(const TwistCompRegion& templ, const TwistCompRegion& match,
                                                    float leftOffset, float rightOffset) {
    if (!regionFits(templ) || !regionFits(match)) {
        LOGG_PRINT(LOG_DEBUG_E, 0,
                   "Dropping twist sample: template %ux%u with %zu bytes, match %ux%u with %zu bytes\n",
                   unsigned{templ.w}, unsigned{templ.h}, templ.size, unsigned{match.w}, unsigned{match.h},
                   match.size);
        return std::nullopt;
    }
    TwistCompSample sample;
    sample.templateData = copyOf(templ);
    sample.matchData = copyOf(match);
    sample.templateImage = cv::Mat(templ.h, templ.w, CV_8UC1, sample.templateData.get());
    sample.matchImage = cv::Mat(match.h, match.w, CV_8UC1, sample.matchData.get());
    sample.rowDifference = static_cast<int32_t>(templ.y) - static_cast<int32_t>(match.y);
    sample.leftOffset = leftOffset;
    sample.rightOffset = rightOffset;
    return sample;
}

TwistComp* TwistComp_state() {
    return static_cast<TwistComp*>(PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_TWIST_COMP),
                                                     &newTwistCompState, nullptr, &deleteTwistCompState));
}

bool TwistComp_pushSample(TwistCompSample&& sample) {
    TwistCompIntake& intake = TwistComp_state()->intake;
    std::lock_guard<std::mutex> lock(intake.queueMutex);
    if (!intake.queue.empty()) return false;
    intake.queue.push_back(std::move(sample));
    return true;
}

std::optional<TwistCompSample> TwistComp_popSample() {
    TwistCompIntake& intake = TwistComp_state()->intake;
    std::lock_guard<std::mutex> lock(intake.queueMutex);
    if (intake.queue.empty()) return std::nullopt;
    TwistCompSample sample = std::move(intake.queue.front());
    intake.queue.pop_front();
    return sample;
}
