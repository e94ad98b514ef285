// Stream configuration request: before the frame streams start, the sensor's
// firmware is told which image streams to produce, at which resolution, rate
// and pixel format, and with which depth-engine options, in one streamingCfg
// request. The selection is checked first: a resolution the sensor does not
// have, or infrared and depth at different rates, never reaches the device.
#pragma once

#include <cstdint>

#include "driver/driver_types.h"

// Driver frame formats, as the frame streams name them.
enum PZFrameFormat : int32_t {
    PZFrameFormat_Ir8 = 1,
    PZFrameFormat_Ir10 = 2,
    PZFrameFormat_Disparity16 = 3,
    PZFrameFormat_Rgb565 = 4,
    PZFrameFormat_Rgb888 = 5,
    PZFrameFormat_BayerBggr = 6,
    PZFrameFormat_Monochrome8 = 7,
    PZFrameFormat_Monochrome10 = 8,
};

// Stream resolutions: 0 switches a stream off. Infrared and visible know one
// resolution; depth comes full or decimated.
constexpr int32_t PZ_RESOLUTION_OFF = 0;
constexpr int32_t PZ_RESOLUTION_FULL = 1;
constexpr int32_t PZ_RESOLUTION_DEPTH_DECIMATED = 2;

// Which infrared imager streams: any other value streams both.
constexpr int32_t PZ_IR_MODE_LEFT = 1;
constexpr int32_t PZ_IR_MODE_RIGHT = 2;

struct PZLoadConfigRoi {
    uint16_t x, y, w, h;
};

// The frame streams fill this from their stream records.
struct PZLoadConfigParams {
    int32_t irResolution;
    int32_t irFormat;  // PZFrameFormat
    int32_t irMode;
    int32_t depthResolution;
    int32_t depthFormat;
    int32_t visibleResolution;
    int32_t visibleFormat;
    PZLoadConfigRoi roi;  // region of the infrared auto-exposure
    float irFps;
    float depthFps;
    float visibleFps;
    uint32_t punishment;  // depth-engine punishment, passed on unchanged
    bool dsrOff;
    bool ibOff;
    bool hybrid;
    bool fourChunks;  // each stream in 4 chunks rather than 1
};

// Sends the configuration and waits for the device's answer (its contents are
// not used). NotSupported for a resolution the sensor lacks, InvalidConfiguration
// for infrared and depth at different rates (nothing sent in either case),
// otherwise the device client's status.
PZStatus PlovarZarnClient_LoadConfig(const PZLoadConfigParams& params);

// The protocol's FrameFormat value (wire number) for a driver frame format;
// an unknown format is logged and gives monochrome10.
uint16_t getStreamFormat(int32_t format);

// The table behind getStreamFormat, without its fallback: the FrameFormat
// wire value, or -1 for a driver format outside the table.
int32_t PZStreamConfig_formatValue(int32_t format);
