// The two exchanges with the sensor firmware that take more than one message:
// the firmware update with its progress reports, and the clock
// synchronisation with its eleven round trips.
#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include <kj/exception.h>

#include "driver/device_client.h"
#include "driver/device_protocol.h"
#include "runtime/logger.h"

using morv::client::BuildType;
using morv::client::FlashParition;
using morv::client::Request;
using morv::client::Response;

namespace {

constexpr std::array<const char*, 3> kProgressActionNames = {"Erasing", "Writing", "Verifying"};
// Progress texts are handed to the callback in a buffer of this size.
constexpr size_t kProgressTextSize = 64;

constexpr int kClockSyncRounds = 11;
constexpr int64_t kNsecPerSec = 1000000000;
// A round trip whose half lies outside this window was disturbed; give the
// device a moment before the next round.
constexpr int64_t kQuietHalfNsec = 500000;
constexpr int32_t kDisturbedPauseUsec = 500;

BuildType wireBuildType(uint32_t build) {
    switch (build) {
        case 0:
            return BuildType::RELEASE;
        case 1:
            return BuildType::BETA;
        default:
            return BuildType::DEV;
    }
}

}  // namespace

void PZClient_reportProgress(PZClient* client, morv::client::FlashUpdateStatus::Reader status) {
    const uint16_t action = static_cast<uint16_t>(status.getAction());
    const uint32_t block = status.getBlock();
    const uint32_t totalBlocks = status.getTotalBlocks();
    if (!status.hasMsg()) {
        LOGG_PRINT(LOG_INFO_E, 0, "FW Update Status: %u / %u\n", block, totalBlocks);
        return;
    }
    const char* name = action < kProgressActionNames.size() ? kProgressActionNames[action] : "";
    const char* msg = status.getMsg().cStr();

    PZProgressCallback callback = nullptr;
    void* user = nullptr;
    {
        std::lock_guard<std::mutex> lock(client->callbackLock);
        callback = client->progressCallback;
        user = client->progressUser;
    }
    if (callback != nullptr) {
        char text[kProgressTextSize];
        std::snprintf(text, sizeof text, "%s %s", name, msg);
        // totalBlocks 0 gives a percentage that is not a number; the callback
        // still hears about the step.
        const float percent = static_cast<float>(block) / static_cast<float>(totalBlocks) * 100.0f;
        callback(text, percent, user);
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "%s %s %u / %u\n", name, msg, block, totalBlocks);
}

PZStatus PlovarZarnClient_UpdateFW(const uint8_t* bytes, size_t count, PZProgressCallback callback, void* user,
                                   bool moreToFollow, bool allowDowngrade, uint32_t major, uint32_t minor,
                                   uint32_t patch, uint32_t build) {
    PZClient* client = PZClient_get();
    // The wire counts the package in 32 bits.
    const auto size = static_cast<uint32_t>(count);

    PZMessageBuilder builder;
    Request::Builder request = builder.initRoot<Request>();
    request.setId(newRequestId());
    auto update = request.getMsg().initFwUpdate();
    // A word-aligned package of whole words can become a segment of the
    // message as it is, which spares a copy of several megabytes; any other
    // package is copied, since the message would otherwise show the bytes
    // that follow it up to the next word boundary.
    const bool aligned = reinterpret_cast<uintptr_t>(bytes) % sizeof(capnp::word) == 0 &&
                         size % sizeof(capnp::word) == 0;
    if (size != 0 && aligned) {
        update.adoptFwFile(builder.getOrphanage().referenceExternalData(capnp::Data::Reader(bytes, size)));
        client->lastUpdateCopiedBytes.store(0);
    } else {
        update.setFwFile(capnp::Data::Reader(bytes, size));
        client->lastUpdateCopiedBytes.store(size);
    }
    uint32_t sec = 0;
    uint32_t usec = 0;
    OS_LYRG_getUsecTime(&sec, &usec);
    update.setTimestamp((uint64_t{sec} * 1000000u + usec) * 1000u);
    update.setMoreToFollow(moreToFollow);
    update.setParition(FlashParition::TOGGLE);
    update.setAllowDowngrade(allowDowngrade);
    auto version = update.initVersion();
    version.setMajor(static_cast<uint16_t>(major));
    version.setMinor(static_cast<uint16_t>(minor));
    version.setRevision(static_cast<uint16_t>(patch));
    version.setType(wireBuildType(build));

    {
        std::lock_guard<std::mutex> lock(client->callbackLock);
        client->progressCallback = callback;
        client->progressUser = user;
    }
    LOGG_PRINT(LOG_INFO_E, 0, "Sending FW update\n");
    const PZStatus status = sendMsgWithRawPayload(builder);
    LOGG_PRINT(LOG_INFO_E, 0, "Finished FW update\n");
    return status;
}

bool compareClockSyncSamples(const PZClockSyncSample& a, const PZClockSyncSample& b) { return a.half < b.half; }

std::optional<int64_t> PZClient_medianOffset(std::span<PZClockSyncSample> samples) {
    if (samples.empty()) return std::nullopt;
    std::sort(samples.begin(), samples.end(), &compareClockSyncSamples);
    return samples[samples.size() / 2].offset;
}

void PZClient_splitOffset(int64_t offset, int64_t* sec, int64_t* nano) {
    // Integer division truncates toward zero, so both parts share the offset's sign.
    *sec = offset / kNsecPerSec;
    *nano = offset - *sec * kNsecPerSec;
}

PZStatus PlovarZarnClient_SyncSystemTime(bool forceJump) {
    PZMessageBuilder builder;
    Request::Builder request = builder.initRoot<Request>();
    auto sync = request.getMsg().initClkSync();
    sync.setSetClk(false);
    sync.setDbg(false);
    sync.setSec(0);
    sync.setNano(0);
    sync.setForceJump(false);

    std::vector<PZClockSyncSample> samples;
    samples.reserve(kClockSyncRounds);
    for (int round = 0; round < kClockSyncRounds; ++round) {
        request.setId(newRequestId());
        const int64_t t0 = OS_LYRG_getNsecTime();
        PZClientPendingEntry* entry = nullptr;
        const PZStatus status = sendMsgWithRawPayload(builder, std::nullopt, &entry);
        if (status != PZStatus_Success) {
            LOGG_PRINT(LOG_ERROR_E, 0, "Error syncing time: %u\n", static_cast<unsigned>(status));
            return status;
        }
        const int64_t half = (entry->receiveTime - t0) >> 1;
        Response::Reader reply = entry->response();
        if (reply.getMsg().which() == Response::Msg::CLK_SYNC) {
            auto deviceClock = reply.getMsg().getClkSync();
            // Wrapping arithmetic: the device's numbers are not ours to trust,
            // and a wild clock must not become an arithmetic fault here.
            const uint64_t deviceTime = static_cast<uint64_t>(deviceClock.getSec()) * kNsecPerSec +
                                        static_cast<uint64_t>(deviceClock.getNano());
            const uint64_t offset = static_cast<uint64_t>(t0) + static_cast<uint64_t>(half) - deviceTime;
            samples.push_back({half, static_cast<int64_t>(offset)});
        } else {
            // Without the device's clock this round measures nothing; it is
            // left out of the median.
            LOGG_PRINT(LOG_WARN_E, 0, "Clock sync round %d answered without a clock (%s)\n", round,
                       PZClient_responseMsgName(reply) != nullptr ? PZClient_responseMsgName(reply) : "");
        }
        releasePendingResponse(entry);
        if (half < -kQuietHalfNsec || half > kQuietHalfNsec) OS_LYRG_usleep(kDisturbedPauseUsec);
    }

    const std::optional<int64_t> offset = PZClient_medianOffset(samples);
    if (!offset.has_value()) {
        LOGG_PRINT(LOG_ERROR_E, 0, "Error syncing time: %u\n", static_cast<unsigned>(PZStatus_Error));
        return PZStatus_Error;
    }

    int64_t sec = 0;
    int64_t nano = 0;
    PZClient_splitOffset(*offset, &sec, &nano);
    request.setId(newRequestId());
    sync.setSetClk(true);
    sync.setSec(sec);
    sync.setNano(nano);
    sync.setForceJump(forceJump);
    const PZStatus status = sendMsgWithRawPayload(builder);
    if (status != PZStatus_Success) {
        LOGG_PRINT(LOG_INFO_E, 0, "Error syncing time: %u\n", static_cast<unsigned>(status));
        return status;
    }
    return PZStatus_Success;
}

void clockSyncTimerCallback(void*) {
    PZClient* client = PZClient_get();
    {
        std::lock_guard<std::mutex> lock(client->syncMutex);
        if (client->syncStopped) return;
        ++client->syncsInFlight;
    }
    PlovarZarnClient_SyncSystemTime(false);
    std::lock_guard<std::mutex> lock(client->syncMutex);
    --client->syncsInFlight;
    client->syncDone.notify_all();
}
