#include "driver/frame_streams.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "driver/device_record.h"
#include "driver/device_requests.h"
#include "driver/driver_thread.h"
#include "driver/twist_comp.h"
#include "host_lib/alg_svc.h"
#include "host_lib/frame_svc.h"
#include "host_lib/vpu_host_api.h"
#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

// How long a producer's read and a consumer's wait for data last before they
// look at `running` again; a stop therefore ends both threads within about
// this time (plus a callback that is running).
constexpr uint32_t kWaitMs = 250;
constexpr uint32_t kRingCapacity = 2;
constexpr uint32_t kPunishmentOn = 32;
constexpr uint32_t kRefusedReadPauseMs = 10;

std::atomic<uint32_t> failAllocations{0};

// The header record a producer hands to every read: one of the three frame
// services' records, or the ALG result the histogram read copies out.
union HeaderRecord {
    VIDEO_frameHdrRec video;
    DEPTH_frameHdrRec depth;
    WEBCAM_frameHdrRec webcam;
    ALGG_resultT alg;
};

void* newFrames(void*) {
    auto* frames = new PZFrames();
    frames->filteredTempLeft = std::numeric_limits<float>::quiet_NaN();
    frames->filteredTempRight = std::numeric_limits<float>::quiet_NaN();
    for (uint32_t k = 0; k < PZFrameStream_Count; ++k) {
        frames->streams[k].owner = frames;
        frames->streams[k].kind = static_cast<PZFrameStreamKind>(k);
    }
    return frames;
}

bool isImage(const PZFrameStream& stream) { return stream.kind != PZFrameStream_Histogram; }

bool hasCallback(const PZFrameStream& stream) {
    return isImage(stream) ? stream.callback != nullptr : stream.histogramCallback != nullptr;
}

template <typename T>
T* allocateRecord() {
    uint32_t pending = failAllocations.load();
    while (pending > 0) {
        if (failAllocations.compare_exchange_weak(pending, pending - 1)) return nullptr;
    }
    return new (std::nothrow) T();
}

void freeRecord(const PZFrameStream& stream, void* item) {
    if (isImage(stream)) {
        delete static_cast<PZFrameData*>(item);
    } else {
        delete static_cast<PZHistogramData*>(item);
    }
}

// Stream threads hold the context while they run, so none runs when the
// context goes; what a missing de-initialisation left is let go with it.
void deleteFrames(void* object) {
    auto* frames = static_cast<PZFrames*>(object);
    if (frames->initialised.load()) {
        for (PZFrameStream& stream : frames->streams) {
            void* item = nullptr;
            while (PZRing_pop(&stream.ring, &item) == 0) freeRecord(stream, item);
            PZRing_deinit(&stream.ring);
            OS_LYRG_releaseEvent(stream.dataEvent, 0);
        }
    }
    delete frames;
}

MEM_POOLG_bufDescT* bufferOf(const PZFrameStream& stream, void* item) {
    return isImage(stream) ? static_cast<PZFrameData*>(item)->buffer : static_cast<PZHistogramData*>(item)->buffer;
}

// Command 1 for a buffer read from the stream's service. The ALG read keeps
// no buffer (it copies the result out), so a null one has nothing to return.
ERRG_codeE giveBack(const PZFrameStream& stream, MEM_POOLG_bufDescT* buffer) {
    if (buffer == nullptr) return 0;
    VPUG_freeBufParams params{buffer};
    return VPUG_ioctl(stream.service, VPU_CMDG_FREE_BUF_E, &params);
}

void giveBackLogged(const PZFrameStream& stream, MEM_POOLG_bufDescT* buffer) {
    const ERRG_codeE status = giveBack(stream, buffer);
    if (ERRG_FAILED(status)) LOGG_PRINT(LOG_ERROR_E, status, "Error freeing frame buffer\n");
}

// Steps shared by every frame-ready step: without a callback the buffer goes
// straight back; otherwise a record is allocated (or the item dropped).
template <typename T>
T* newItemFor(const PZFrameStream& stream, MEM_POOLG_bufDescT* buffer) {
    if (!hasCallback(stream)) {
        giveBackLogged(stream, buffer);
        return nullptr;
    }
    T* item = allocateRecord<T>();
    if (item == nullptr) {
        LOGG_PRINT(LOG_ERROR_E, 0, "No memory to create PZFrameData\n");
        giveBackLogged(stream, buffer);
    }
    return item;
}

// Into the ring, or dropped with its buffer given back at once.
void pushItem(PZFrameStream& stream, void* item) {
    if (PZRing_push(&stream.ring, item) == 0) {
        OS_LYRG_setEvent(stream.dataEvent);
        return;
    }
    LOGG_PRINT(LOG_WARN_E, 0, "%s", PZFrameStream_table[stream.kind].dropMessage);
    giveBackLogged(stream, bufferOf(stream, item));
    freeRecord(stream, item);
}

void fillCommon(const PZFrameStream& stream, const VPUG_readParams& read, uint16_t short0, uint16_t short1,
                PZFrameData* frame) {
    frame->format = static_cast<uint32_t>(stream.format);
    frame->frameValue = read.frameValue;
    frame->data = read.data;
    frame->headerShort0 = short0;
    frame->headerShort1 = short1;
    frame->frameStamp = read.frameStamp;
    frame->hostTime = static_cast<double>(OS_LYRG_getNsecTime()) / 1e9;
    frame->buffer = read.buffer;
}

float scaled(uint32_t word, double divisor) { return static_cast<float>(static_cast<double>(word) / divisor); }
float scaledSigned(uint32_t word, double divisor) {
    return static_cast<float>(static_cast<double>(static_cast<int32_t>(word)) / divisor);
}

// Words 1, 3, 5, 7 (or 2, 4, 6, 8) and a signed fifth word, as infrared and
// depth headers carry them for each imager.
void fillImagerMetadata(float* out, uint32_t w1, uint32_t w3, uint32_t w5, uint32_t w7, uint32_t fifth) {
    out[0] = scaled(w1, 1e6);
    out[1] = scaled(w3, 1e3);
    out[2] = scaled(w5, 1e3);
    out[3] = scaled(w7, 1e2);
    out[4] = scaledSigned(fifth, 1e4);
}

void irFrameReady(PZFrameStream& stream, const VPUG_readParams& read, const VIDEO_frameHdrRec& h) {
    auto* frame = newItemFor<PZFrameData>(stream, read.buffer);
    if (frame == nullptr) return;
    fillCommon(stream, read, h.f32, h.f34, frame);
    fillImagerMetadata(frame->leftMetadata, h.f36, h.f44, h.f52, h.f60, h.f68);
    fillImagerMetadata(frame->rightMetadata, h.f40, h.f48, h.f56, h.f64, h.f72);
    const uint16_t extras[8] = {h.f92, h.f94, h.f96, h.f98, h.f80, h.f82, h.f84, h.f86};
    std::memcpy(frame->leftExtra, extras, sizeof(frame->leftExtra));
    std::memcpy(frame->rightExtra, extras + 4, sizeof(frame->rightExtra));
    frame->calibration = stream.owner->calibration;
    PZFrames_correctFocalLengths(stream.owner, frame->leftMetadata[3], frame->rightMetadata[3], &frame->calibration);
    pushItem(stream, frame);
}

void depthFrameReady(PZFrameStream& stream, const VPUG_readParams& read, const DEPTH_frameHdrRec& h) {
    auto* frame = newItemFor<PZFrameData>(stream, read.buffer);
    if (frame == nullptr) return;
    fillCommon(stream, read, h.f32, h.f34, frame);
    PZFrames_fillDepthHeader(h, frame);
    frame->calibration = stream.owner->calibration;
    PZFrames_correctFocalLengths(stream.owner, frame->leftMetadata[3], frame->rightMetadata[3], &frame->calibration);
    pushItem(stream, frame);
}

void visibleFrameReady(PZFrameStream& stream, const VPUG_readParams& read, const WEBCAM_frameHdrRec& h) {
    auto* frame = newItemFor<PZFrameData>(stream, read.buffer);
    if (frame == nullptr) return;
    fillCommon(stream, read, h.f32, h.f34, frame);
    frame->leftMetadata[0] = scaled(h.f36, 1e6);
    frame->leftMetadata[1] = scaled(h.f40, 1e3);
    frame->leftMetadata[2] = scaled(h.f44, 1e3);
    frame->leftMetadata[3] = scaled(h.f48, 1e5);
    frame->calibration = stream.owner->calibration;
    pushItem(stream, frame);
}

void histFrameReady(PZFrameStream& stream, const VPUG_readParams& read, const ALGG_resultT& result) {
    auto* histogram = newItemFor<PZHistogramData>(stream, read.buffer);
    if (histogram == nullptr) return;
    static_assert(sizeof(result.block0) == sizeof(histogram->bins0));
    static_assert(sizeof(result.block1) == sizeof(histogram->bins1));
    histogram->headerWord0 = result.word8;
    histogram->binCount = PZ_HISTOGRAM_BINS;
    std::memcpy(histogram->bins0, result.block0, sizeof(histogram->bins0));
    std::memcpy(histogram->bins1, result.block1, sizeof(histogram->bins1));
    histogram->histogram0 = histogram->bins0;
    histogram->histogram1 = histogram->bins1;
    histogram->headerWord1 = result.word12;
    histogram->headerWord2 = result.word16;
    histogram->buffer = read.buffer;
    pushItem(stream, histogram);
}

void frameReady(PZFrameStream& stream, const VPUG_readParams& read, const HeaderRecord& header) {
    switch (stream.kind) {
        case PZFrameStream_Infrared: irFrameReady(stream, read, header.video); break;
        case PZFrameStream_Depth: depthFrameReady(stream, read, header.depth); break;
        case PZFrameStream_Visible: visibleFrameReady(stream, read, header.webcam); break;
        default: histFrameReady(stream, read, header.alg); break;
    }
}

// A stream thread's last action: clear its own flag and wake the stop path.
void markEnded(PZFrameStream& stream, bool PZFrameStream::*alive) {
    PZFrames* frames = stream.owner;
    std::lock_guard<std::mutex> lock(frames->stateMutex);
    stream.*alive = false;
    frames->stateCond.notify_all();
}

uint32_t runProducer(PZFrameStream& stream) {
    const PZFrameStreamDesc& desc = PZFrameStream_table[stream.kind];
    VPUG_serviceHandleT service = nullptr;
    ERRG_codeE status = VPUG_open(&service, desc.sid);
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_ERROR_E, status, "VPU call failed\n");
    } else {
        stream.service = service;
        VPUG_streamStartParams start{desc.dataType, 0};
        status = VPUG_ioctl(service, desc.startCode, &start);
        if (ERRG_FAILED(status)) {
            LOGG_PRINT(LOG_ERROR_E, status, "VPU call failed\n");
        } else {
            stream.streamId = start.streamId;
            HeaderRecord header{};
            while (stream.running.load()) {
                VPUG_readParams read{};
                read.streamId = stream.streamId;
                read.hdrRecord = &header;
                const ERRG_codeE readStatus = VPUG_read(service, &read);
                if (ERRG_SUCCEEDED(readStatus)) {
                    frameReady(stream, read, header);
                } else if (readStatus != VPUG__ERR_TIMEOUT) {
                    // A read refused at once (the library going down under a
                    // stream that is still to be stopped) would otherwise
                    // spin this thread until the stop comes.
                    OS_LYRG_sleepMs(kRefusedReadPauseMs);
                }
            }
        }
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "%s", desc.exitMessage);
    markEnded(stream, &PZFrameStream::streamAlive);
    return 0;
}

template <typename Item, typename Deliver>
uint32_t runConsumer(PZFrameStream& stream, Deliver deliver) {
    while (stream.running.load() && hasCallback(stream)) {
        if (OS_LYRG_waitEvent(stream.dataEvent, kWaitMs) != OS_LYRG_SUCCESS) continue;
        void* item = nullptr;
        while (stream.running.load() && PZRing_pop(&stream.ring, &item) == 0) {
            auto* record = static_cast<Item*>(item);
            deliver(record);
            giveBackLogged(stream, record->buffer);
            delete record;
        }
    }
    return 0;
}

// Starts a stream thread unless it is alive; false when the platform
// refused it, with its flag clear again. Called under stateMutex.
bool startThread(OS_LYRG_threadParamsT& thread, bool& alive) {
    if (alive) return true;
    // A thread that ran earlier has ended (its flag is clear): reap it first.
    if (thread.handle != nullptr) OS_LYRG_waitForThread(thread.handle, 0);
    thread.handle = nullptr;
    alive = true;
    if (PZThread_start(&thread) == nullptr) alive = false;
    return alive;
}

// Pops every record left in the ring, gives its buffer back and frees it.
void drainRing(PZFrameStream& stream) {
    void* item = nullptr;
    while (PZRing_pop(&stream.ring, &item) == 0) {
        giveBackLogged(stream, bufferOf(stream, item));
        freeRecord(stream, item);
    }
}

PZLoadConfigParams loadConfigParams(const PZFrames& frames, const PZStreamingConfig& config) {
    const PZFrameStream& ir = frames.streams[PZFrameStream_Infrared];
    const PZFrameStream& depth = frames.streams[PZFrameStream_Depth];
    const PZFrameStream& visible = frames.streams[PZFrameStream_Visible];
    PZLoadConfigParams params{};
    params.irResolution = ir.resolution;
    params.irFormat = ir.format;
    params.irMode = ir.mode;
    params.depthResolution = depth.resolution;
    params.depthFormat = depth.format;
    params.visibleResolution = visible.resolution;
    params.visibleFormat = visible.format;
    params.roi = config.roi;
    params.irFps = ir.fps;
    params.depthFps = depth.fps;
    params.visibleFps = visible.fps;
    params.punishment = config.punishmentOn ? kPunishmentOn : 0;
    params.dsrOff = config.dsrOff;
    params.ibOff = config.ibOff;
    params.hybrid = config.hybrid;
    params.fourChunks = !config.singleChunk;
    return params;
}

void copyImageConfig(PZFrameStream& stream, int32_t resolution, int32_t format, float fps, int32_t mode,
                     PZFrameCallback callback, void* userData) {
    stream.resolution = resolution;
    stream.format = format;
    stream.fps = fps;
    stream.mode = mode;
    stream.callback = callback;
    stream.userData = userData;
}

}  // namespace

PZFrames* PZFrames_get() {
    return static_cast<PZFrames*>(PZContext_GetSlot(PZContext_GetCurrent(),
                                                    PZContext_FixedKey(PZ_SLOT_FRAME_STREAMS), &newFrames, nullptr,
                                                    &deleteFrames));
}

int32_t initFrameStreams() {
    PZFrames* frames = PZFrames_get();
    std::lock_guard<std::mutex> apply(frames->applyMutex);
    if (frames->initialised.load()) return 0;
    for (uint32_t k = 0; k < PZFrameStream_Count; ++k) {
        PZFrameStream& stream = frames->streams[k];
        const PZFrameStreamDesc& desc = PZFrameStream_table[k];
        PZRing_init(&stream.ring, kRingCapacity);
        stream.streamThread = OS_LYRG_threadParamsT{nullptr, desc.streamEntry, 0, &stream, 0, desc.streamThreadName};
        stream.callbackThread =
            OS_LYRG_threadParamsT{nullptr, desc.callbackEntry, 0, &stream, 0, desc.callbackThreadName};
        stream.dataEvent = OS_LYRG_createEvent(0);
    }
    frames->initialised.store(true);
    return 0;
}

int32_t deinitFrameStreams() {
    PZFrames* frames = PZFrames_get();
    std::lock_guard<std::mutex> apply(frames->applyMutex);
    if (!frames->initialised.load()) return 0;
    // A stream started while the device was not ready is still running here
    // (the cleanup switches streams off only on a ready device): its threads
    // must be gone before their ring and event are.
    for (PZFrameStream& stream : frames->streams) {
        stopAndCloseStream(&stream);
        // A service that could not be closed (the library went down first)
        // is not tried again later: its handle belongs to a library instance
        // that no longer exists.
        stream.service = nullptr;
    }
    frames->initialised.store(false);
    for (PZFrameStream& stream : frames->streams) {
        PZRing_deinit(&stream.ring);
        OS_LYRG_releaseEvent(stream.dataEvent, 0);
        stream.dataEvent = nullptr;
    }
    return 0;
}

int32_t stopAndCloseStream(PZFrameStream* stream) {
    PZFrames* frames = stream->owner;
    stream->running.store(false);
    // The consumer need not sit out its data wait to see the stop.
    if (stream->dataEvent != nullptr) OS_LYRG_setEvent(stream->dataEvent);
    OS_LYRG_threadT producer = nullptr;
    OS_LYRG_threadT consumer = nullptr;
    {
        std::unique_lock<std::mutex> lock(frames->stateMutex);
        // Bounded by the stream threads themselves: each looks at `running`
        // after every read or data wait (250 ms), or when the application's
        // callback returns.
        frames->stateCond.wait(lock, [&] { return !stream->streamAlive && !stream->callbackAlive; });
        producer = stream->streamThread.handle;
        consumer = stream->callbackThread.handle;
        stream->streamThread.handle = nullptr;
        stream->callbackThread.handle = nullptr;
    }
    // Both have cleared their flags as their last action: these joins only
    // collect threads that are returning.
    if (producer != nullptr) OS_LYRG_waitForThread(producer, 0);
    if (consumer != nullptr) OS_LYRG_waitForThread(consumer, 0);

    // A producer whose stream start failed leaves its service open with no
    // thread alive; it is closed here all the same, or the open count would
    // grow with every configuration.
    if (stream->service == nullptr) return 0;
    drainRing(*stream);
    const uint32_t force = PZInternal_IsDeviceReady(false) ? 0 : 1;
    const ERRG_codeE status = VPUG_close(stream->service, force);
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_ERROR_E, status, "VPU call failed\n");
        return 1;
    }
    stream->service = nullptr;
    return 0;
}

PZStatus PZFrames_ApplyStreamingConfig(const PZStreamingConfig& config) {
    PZFrames* frames = PZFrames_get();
    std::lock_guard<std::mutex> apply(frames->applyMutex);
    if (!frames->initialised.load()) return PZStatus_DeviceNotReady;

    PZFrameStream& ir = frames->streams[PZFrameStream_Infrared];
    PZFrameStream& depth = frames->streams[PZFrameStream_Depth];
    PZFrameStream& visible = frames->streams[PZFrameStream_Visible];
    PZFrameStream& hist = frames->streams[PZFrameStream_Histogram];
    for (PZFrameStream& stream : frames->streams) stopAndCloseStream(&stream);

    copyImageConfig(ir, config.irResolution, config.irFormat, config.irFps, config.irMode, config.irCallback,
                    config.irUserData);
    copyImageConfig(depth, config.depthResolution, config.depthFormat, config.depthFps, 0, config.depthCallback,
                    config.depthUserData);
    copyImageConfig(visible, config.visibleResolution, config.visibleFormat, config.visibleFps, 0,
                    config.visibleCallback, config.visibleUserData);
    hist.histogramCallback = config.histogramCallback;
    hist.histogramUserData = config.histogramUserData;

    for (const PZFrameStream* stream : {&visible, &depth, &ir}) {
        if (stream->resolution != 0 && stream->format == 0) {
            LOGG_PRINT(LOG_WARN_E, 0, "Invalid stream format specified (%u, %u, %u)\n",
                       static_cast<unsigned>(ir.format), static_cast<unsigned>(depth.format),
                       static_cast<unsigned>(visible.format));
            return PZStatus_InvalidParameter;
        }
    }

    const bool anyImage = ir.resolution != 0 || depth.resolution != 0 || visible.resolution != 0;
    if (PZInternal_IsDeviceReady(false)) {
        const PZStatus status = PlovarZarnClient_LoadConfig(loadConfigParams(*frames, config));
        if (status != PZStatus_Success) {
            LOGG_PRINT(LOG_ERROR_E, 0, "Failed to initialize device: %u\n", static_cast<unsigned>(status));
            return status;
        }
        if (anyImage) {
            const PZStatus calibrated = PZInternal_GetCalibration(&frames->calibration);
            if (calibrated != PZStatus_Success) {
                LOGG_PRINT(LOG_ERROR_E, 0, "Failed to get calibration data: %u\n", static_cast<unsigned>(calibrated));
            }
        }
    }

    bool started = true;
    {
        std::lock_guard<std::mutex> lock(frames->stateMutex);
        for (PZFrameStream* stream : {&ir, &depth, &visible, &hist}) {
            const bool selected = isImage(*stream) ? stream->resolution != 0 : stream->histogramCallback != nullptr;
            if (!selected) continue;
            stream->running.store(true);
            if (startThread(stream->streamThread, stream->streamAlive) &&
                startThread(stream->callbackThread, stream->callbackAlive)) {
                continue;
            }
            // Half a stream is no stream: the thread that did start sees the
            // stop within its wait slice, and the next stop collects it.
            stream->running.store(false);
            started = false;
        }
    }
    if (!started) return PZStatus_Error;
    // Depth wants its imagers' rows aligned: a one-shot compensation (or the
    // mode the application chose) runs whenever depth starts.
    if (depth.resolution != 0 && !config.noStartupTwistComp) TwistComp_setStartupMode();
    return PZStatus_Success;
}

void PZFrames_correctFocalLengths(PZFrames* frames, float tempLeft, float tempRight, PZCalibration* calibration) {
    float left = 0;
    float right = 0;
    {
        std::lock_guard<std::mutex> lock(frames->filterMutex);
        if (std::isnan(frames->filteredTempLeft)) frames->filteredTempLeft = tempLeft;
        if (std::isnan(frames->filteredTempRight)) frames->filteredTempRight = tempRight;
        frames->filteredTempLeft = tempLeft * PZ_TEMP_FILTER_NEW + frames->filteredTempLeft * PZ_TEMP_FILTER_OLD;
        frames->filteredTempRight = tempRight * PZ_TEMP_FILTER_NEW + frames->filteredTempRight * PZ_TEMP_FILTER_OLD;
        left = frames->filteredTempLeft;
        right = frames->filteredTempRight;
    }
    calibration->fc_left_corrected =
        ((static_cast<double>(left) - calibration->temp_left) * PZ_FOCAL_TEMP_COEFF + 1) * calibration->fc_left;
    calibration->fc_right_corrected =
        ((static_cast<double>(right) - calibration->temp_right) * PZ_FOCAL_TEMP_COEFF + 1) * calibration->fc_right;
}

void PZFrames_fillDepthHeader(const DEPTH_frameHdrRec& h, PZFrameData* frame) {
    fillImagerMetadata(frame->leftMetadata, h.f36, h.f44, h.f52, h.f60, h.f76);
    fillImagerMetadata(frame->rightMetadata, h.f40, h.f48, h.f56, h.f64, h.f80);
    frame->depthValue0 = h.f68;
    frame->depthValue1 = h.f72;
    frame->depthByte0 = h.f85;
    frame->depthByte1 = h.f84;
}

uint32_t irStream(void* stream) { return runProducer(*static_cast<PZFrameStream*>(stream)); }
uint32_t depthStream(void* stream) { return runProducer(*static_cast<PZFrameStream*>(stream)); }
uint32_t visibleStream(void* stream) { return runProducer(*static_cast<PZFrameStream*>(stream)); }
uint32_t histStream(void* stream) { return runProducer(*static_cast<PZFrameStream*>(stream)); }

uint32_t frameCbWrapper(void* arg) {
    auto& stream = *static_cast<PZFrameStream*>(arg);
    runConsumer<PZFrameData>(stream,
                             [&](PZFrameData* frame) { stream.callback(frame, &frame->calibration, stream.userData); });
    LOGG_PRINT(LOG_DEBUG_E, 0, "Frame CB wrapper thread exiting (%s)\n", stream.callbackThread.name);
    markEnded(stream, &PZFrameStream::callbackAlive);
    return 0;
}

uint32_t histCbWrapper(void* arg) {
    auto& stream = *static_cast<PZFrameStream*>(arg);
    runConsumer<PZHistogramData>(
        stream, [&](PZHistogramData* histogram) { stream.histogramCallback(histogram, stream.histogramUserData); });
    LOGG_PRINT(LOG_DEBUG_E, 0, "Hist CB wrapper thread exiting (%s)\n", stream.callbackThread.name);
    markEnded(stream, &PZFrameStream::callbackAlive);
    return 0;
}

void PZFramesP_failAllocationsForTest(uint32_t count) { failAllocations.store(count); }
