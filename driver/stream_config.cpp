// Stream configuration request: the driver's stream selection as one
// streamingCfg request of the device protocol.
#include "driver/stream_config.h"

#include <optional>

#include "driver/device_client.h"
#include "driver/device_protocol.h"
#include "driver/morv_client.capnp.h"
#include "runtime/logger.h"

namespace {

using morv::client::FrameFormat;
using morv::client::StreamSource;
using StreamConfig = morv::client::VPU3StreamingConfig::StreamConfig;

void fillStream(StreamConfig::Builder stream, StreamSource source, int32_t format, bool fourChunks) {
    stream.setChunks(fourChunks ? 4 : 1);
    stream.setFrameFormat(static_cast<FrameFormat>(getStreamFormat(format)));
    stream.setSrc(source);
}

StreamSource irSource(int32_t irMode) {
    if (irMode == PZ_IR_MODE_LEFT) return StreamSource::IR_LEFT;
    if (irMode == PZ_IR_MODE_RIGHT) return StreamSource::IR_RIGHT;
    return StreamSource::IR_BOTH;
}

}  // namespace

uint16_t getStreamFormat(int32_t format) {
    const int32_t value = PZStreamConfig_formatValue(format);
    if (value >= 0) return static_cast<uint16_t>(value);
    LOGG_PRINT(LOG_ERROR_E, 0, "Invalid format: %d\n", format);
    return static_cast<uint16_t>(FrameFormat::MONOCHROME10);
}

PZStatus PlovarZarnClient_LoadConfig(const PZLoadConfigParams& params) {
    PZMessageBuilder builder;
    auto request = builder.initRoot<morv::client::Request>();
    request.setId(newRequestId());
    auto config = request.getMsg().initStreamingCfg().initVpu3();

    // A stream whose resolution is 0 stays out of the request.
    std::optional<StreamConfig::Builder> ir, depth, vis;
    if (params.irResolution == PZ_RESOLUTION_FULL) {
        ir = config.initIr();
    } else if (params.irResolution != PZ_RESOLUTION_OFF) {
        LOGG_PRINT(LOG_WARN_E, 0, "Unsupported IR resolution: %d\n", params.irResolution);
        return PZStatus_NotSupported;
    }
    if (params.depthResolution == PZ_RESOLUTION_FULL || params.depthResolution == PZ_RESOLUTION_DEPTH_DECIMATED) {
        depth = config.initDepth();
    } else if (params.depthResolution != PZ_RESOLUTION_OFF) {
        LOGG_PRINT(LOG_WARN_E, 0, "Unsupported depth resolution: %d\n", params.depthResolution);
        return PZStatus_NotSupported;
    }
    if (params.visibleResolution == PZ_RESOLUTION_FULL) {
        vis = config.initVis();
    } else if (params.visibleResolution != PZ_RESOLUTION_OFF) {
        LOGG_PRINT(LOG_WARN_E, 0, "Unsupported visible resolution: %d\n", params.visibleResolution);
        return PZStatus_NotSupported;
    }

    // Infrared and depth share one rate field; with both streams the depth
    // rate is the one written, which the rate check below makes the same.
    if (ir) {
        fillStream(*ir, irSource(params.irMode), params.irFormat, params.fourChunks);
        config.setIrFps(params.irFps);
    }
    if (depth) {
        fillStream(*depth, StreamSource::DEPTH, params.depthFormat, params.fourChunks);
        config.setIrFps(params.depthFps);
    }
    if (vis) {
        fillStream(*vis, StreamSource::VISIBLE, params.visibleFormat, params.fourChunks);
        config.setVisFps(params.visibleFps);
    }

    config.setDsr(!params.dsrOff);
    config.setIb(!params.ibOff);
    config.setHybrid(params.hybrid);
    config.setPunishment(params.punishment);
    config.setDecimated(params.depthResolution == PZ_RESOLUTION_DEPTH_DECIMATED);
    config.setBpc(false);
    config.setWb(false);
    config.setDms(false);
    config.setGcr(false);
    config.setFir(false);

    // Auto-exposure stays with the host; the device only needs the region.
    auto autoExp = config.initIrAutoExp();
    autoExp.setComponent(morv::client::Component::NOTSET);
    autoExp.setMode(morv::client::AutoExpMode::DISABLED);
    autoExp.setTarget(0.0f);
    autoExp.setLpf(0.0f);
    autoExp.setDeadzone(0.0f);
    autoExp.setMaxChange(0.0f);
    auto roi = autoExp.initRoi();
    roi.setX(params.roi.x);
    roi.setY(params.roi.y);
    roi.setW(params.roi.w);
    roi.setH(params.roi.h);

    // Written as a negated equality so that a NaN rate counts as different.
    if (ir && depth && !(params.irFps == params.depthFps)) {
        LOGG_PRINT(LOG_WARN_E, 0, "Invalid configuration: Cannot stream IR and Depth at different rates\n");
        return PZStatus_InvalidConfiguration;
    }

    LOGG_PRINT(LOG_INFO_E, 0, "Sending load config request\n");
    return sendMsgWithRawPayload(builder);
}
