// Frame streams: infrared, depth and visible frames and depth histograms, from
// the vision chip's VIDEO, DEPTH, WEBCAM and ALG services to the application.
//
// Each stream kind has a producer thread that opens its service, starts the
// stream and reads items (each read waits at most 250 ms), and a consumer
// thread that hands the items to the application's callback. Between them a
// ring of two: an application that is slower than the sensor loses frames,
// never memory, and every service buffer goes back to the library at once.
//
// PZFrames_ApplyStreamingConfig is the one control path: it stops all four
// streams, validates the new selection, tells the sensor's firmware about it,
// fetches the calibration and starts what was selected. Infrared and depth
// frames carry a copy of the calibration whose focal lengths are corrected
// for the cameras' temperature.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "driver/calibration_parser.h"
#include "driver/driver_types.h"
#include "driver/pz_ring.h"
#include "driver/stream_config.h"
#include "host_lib/frame_svc.h"
#include "host_lib/host_api_records.h"
#include "runtime/mem_pool.h"
#include "runtime/os_layer.h"

// --- records the application sees -----------------------------------------------------------

// One frame, allocated by the producer and freed after the callback returned.
// Fields a stream kind does not fill are zero and carry no meaning.
struct PZFrameData {
    uint32_t format;      // the stream's driver frame format
    uint32_t frameValue;  // frame value of the processor's frame header
    void* data;           // first byte of the frame data
    uint16_t headerShort0, headerShort1;  // the header record's two leading 16-bit fields
    uint64_t frameStamp;
    double hostTime;  // monotonic host seconds when the frame was read
    // Left imager (visible: the camera): five values converted from header
    // words; the fourth of infrared and depth is the camera temperature.
    float leftMetadata[5];
    uint16_t leftExtra[4];  // infrared only
    float rightMetadata[5];  // infrared and depth
    uint16_t rightExtra[4];  // infrared only
    uint32_t depthValue0, depthValue1;  // depth only
    uint8_t depthByte0, depthByte1;     // depth only
    MEM_POOLG_bufDescT* buffer;  // the service buffer that holds `data`
    PZCalibration calibration;   // infrared and depth: temperature-corrected focal lengths
};
// The application reads the record by these offsets.
static_assert(offsetof(PZFrameData, data) == 8);
static_assert(offsetof(PZFrameData, headerShort0) == 16);
static_assert(offsetof(PZFrameData, frameStamp) == 24);
static_assert(offsetof(PZFrameData, hostTime) == 32);
static_assert(offsetof(PZFrameData, leftMetadata) == 40);
static_assert(offsetof(PZFrameData, leftExtra) == 60);
static_assert(offsetof(PZFrameData, rightMetadata) == 68);
static_assert(offsetof(PZFrameData, rightExtra) == 88);
static_assert(offsetof(PZFrameData, depthValue0) == 96);
static_assert(offsetof(PZFrameData, depthByte0) == 104);
static_assert(offsetof(PZFrameData, depthByte1) == 105);
static_assert(offsetof(PZFrameData, buffer) == 112);
static_assert(offsetof(PZFrameData, calibration) == 120);

constexpr uint32_t PZ_HISTOGRAM_BINS = 256;

// One depth histogram pair from the ALG service's result. The bins are copied
// into the record itself, so they stay valid for the whole callback whatever
// the producer reads meanwhile.
struct PZHistogramData {
    uint32_t headerWord0;
    uint32_t binCount;       // PZ_HISTOGRAM_BINS
    uint32_t* histogram0;    // -> bins0
    uint32_t* histogram1;    // -> bins1
    uint32_t headerWord1, headerWord2;
    MEM_POOLG_bufDescT* buffer;  // null: the ALG read keeps no buffer
    uint32_t bins0[PZ_HISTOGRAM_BINS];
    uint32_t bins1[PZ_HISTOGRAM_BINS];
};
static_assert(offsetof(PZHistogramData, binCount) == 4);
static_assert(offsetof(PZHistogramData, histogram0) == 8);
static_assert(offsetof(PZHistogramData, histogram1) == 16);
static_assert(offsetof(PZHistogramData, headerWord1) == 24);
static_assert(offsetof(PZHistogramData, headerWord2) == 28);
static_assert(offsetof(PZHistogramData, buffer) == 32);

// Both run on the stream's consumer thread with no driver lock held; the
// record is freed when they return.
using PZFrameCallback = void (*)(PZFrameData* frame, PZCalibration* calibration, void* userData);
using PZHistogramCallback = void (*)(PZHistogramData* histogram, void* userData);

// What the application asks to stream. A resolution of 0 switches an image
// stream off; a non-null histogram callback switches the histograms on.
struct PZStreamingConfig {
    float irFps;
    int32_t irResolution;
    int32_t irFormat;  // PZFrameFormat
    PZFrameCallback irCallback;
    void* irUserData;
    int32_t irMode;  // 1 left, 2 right, else both imagers
    float depthFps;
    int32_t depthResolution;  // 1 full, 2 decimated
    int32_t depthFormat;
    PZFrameCallback depthCallback;
    void* depthUserData;
    float visibleFps;
    int32_t visibleResolution;
    int32_t visibleFormat;
    PZFrameCallback visibleCallback;
    void* visibleUserData;
    PZLoadConfigRoi roi;  // infrared auto-exposure region
    PZHistogramCallback histogramCallback;
    void* histogramUserData;
    bool ibOff;
    bool dsrOff;
    bool punishmentOn;  // punishment 32, else 0
    bool hybrid;
    bool singleChunk;  // each stream in one chunk rather than four
    bool noStartupTwistComp;  // starting depth does not arm the one-shot twist compensation
};

// --- driver state ------------------------------------------------------------------------------

enum PZFrameStreamKind : uint32_t {
    PZFrameStream_Infrared = 0,
    PZFrameStream_Depth = 1,
    PZFrameStream_Visible = 2,
    PZFrameStream_Histogram = 3,
    PZFrameStream_Count = 4,
};

struct PZFrames;

struct PZFrameStream {
    VPUG_serviceHandleT service;  // written by the producer; null when closed
    OS_LYRG_threadParamsT streamThread;
    OS_LYRG_threadParamsT callbackThread;  // argument: this record
    PZRing ring;
    OS_LYRG_eventT dataEvent;
    uint32_t streamId;  // returned by the stream start
    std::atomic<bool> running;  // written by the configuring thread, read by both stream threads
    bool streamAlive;    // under PZFrames::stateMutex
    bool callbackAlive;  // under PZFrames::stateMutex
    // image streams
    int32_t resolution;
    int32_t format;
    float fps;
    int32_t mode;
    PZFrameCallback callback;
    void* userData;
    // histograms
    PZHistogramCallback histogramCallback;
    void* histogramUserData;
    // where the stream belongs
    PZFrames* owner;
    PZFrameStreamKind kind;
};

// Context slot 2, created on first use.
struct PZFrames {
    std::atomic<bool> initialised;
    PZFrameStream streams[PZFrameStream_Count];  // infrared, depth, visible, histogram
    PZCalibration calibration;
    // Held for a whole configuration, and by init and de-init, so that none
    // of them sees the rings and events half made.
    std::mutex applyMutex;
    // Guards every stream's alive flags (and the thread handles); each stream
    // thread clears its flag and broadcasts as its last action.
    std::mutex stateMutex;
    std::condition_variable stateCond;
    // The infrared and depth producers share one temperature filter.
    std::mutex filterMutex;
    float filteredTempLeft;   // NaN until the first frame
    float filteredTempRight;  // NaN until the first frame
};

// The current context's frame-streams state.
PZFrames* PZFrames_get();

// Rings, thread records and events of the four streams; 0.
int32_t initFrameStreams();
// Stops what still runs (a stream started while the device was not ready is
// never switched off by the cleanup), then releases rings and events; 0.
int32_t deinitFrameStreams();
// DeviceNotReady before initFrameStreams; InvalidParameter when an enabled
// image stream has format 0; the stream configuration's status when the
// device refuses it; Error when the platform refused a stream thread (that
// stream stays stopped, the others run); else Success (a failed calibration
// request included).
PZStatus PZFrames_ApplyStreamingConfig(const PZStreamingConfig& config);
// Stops one stream, gives back what its ring holds and closes its service:
// 0, or 1 when the service could not be closed.
int32_t stopAndCloseStream(PZFrameStream* stream);

// Producers and consumers (thread entries; argument: the stream record).
uint32_t irStream(void* stream);
uint32_t depthStream(void* stream);
uint32_t visibleStream(void* stream);
uint32_t histStream(void* stream);
uint32_t frameCbWrapper(void* stream);
uint32_t histCbWrapper(void* stream);

// Temperature filter and focal-length correction: feeds the frame's camera
// temperatures into the shared filter and writes the corrected focal lengths
// into the frame's copy of the calibration.
void PZFrames_correctFocalLengths(PZFrames* frames, float tempLeft, float tempRight, PZCalibration* calibration);

// What a depth frame takes from its header record: both imagers' metadata,
// the two copied words and the two bytes, the second header byte first.
void PZFrames_fillDepthHeader(const DEPTH_frameHdrRec& header, PZFrameData* frame);

// --- constant tables (frame_stream_tables.cpp) ------------------------------------------------

struct PZFrameStreamDesc {
    const char* streamThreadName;
    OS_LYRG_threadFuncT streamEntry;
    const char* callbackThreadName;
    OS_LYRG_threadFuncT callbackEntry;
    uint32_t sid;
    uint32_t startCode;
    uint32_t dataType;
    const char* exitMessage;  // producer's last DEBUG line
    const char* dropMessage;  // WARN line of a full ring
};

extern const PZFrameStreamDesc PZFrameStream_table[PZFrameStream_Count];

// Multipliers and divisors of the frame-header conversions and the filter.
constexpr float PZ_TEMP_FILTER_NEW = 0.000755f;
constexpr float PZ_TEMP_FILTER_OLD = 0.999245f;
constexpr double PZ_FOCAL_TEMP_COEFF = 0.0008605900220572948;

// --- test support -------------------------------------------------------------------------------

// The next `count` frame or histogram records cannot be allocated (the
// producer then logs and drops the item). Never called by the system itself.
void PZFramesP_failAllocationsForTest(uint32_t count);
