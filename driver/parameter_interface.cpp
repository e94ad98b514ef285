#include "driver/parameter_interface.h"

#include <cmath>
#include <limits>

#include "driver/device_record.h"
#include "driver/device_requests.h"
#include "runtime/logger.h"

namespace {

// The row/column offsets and the delay exist only for the infrared imagers.
bool isInfrared(int32_t component) {
    return component == PZComponent_IrLeft || component == PZComponent_IrRight || component == PZComponent_IrBoth;
}

// Truncates toward zero. A value with no integer of the type (NaN, infinite,
// out of range) is refused: converting it would be undefined, and whatever
// came out would reach the sensor as a setting nobody asked for.
template <typename Int>
bool truncateTo(double value, Int* out) {
    if (!std::isfinite(value)) return false;
    const double whole = std::trunc(value);
    const double limit = std::ldexp(1.0, std::numeric_limits<Int>::digits);
    if (whole >= limit || whole < -limit) return false;
    *out = static_cast<Int>(whole);
    return true;
}

template <typename T>
PZStatus getOne(PZStatus (*getter)(int32_t, T*), int32_t component, float* values) {
    T value{};
    const PZStatus status = getter(component, &value);
    if (status == PZStatus_Success) values[0] = static_cast<float>(value);
    return status;
}

PZStatus getPair(PZStatus (*getter)(uint16_t*, uint16_t*), float* values) {
    uint16_t v1 = 0;
    uint16_t v2 = 0;
    const PZStatus status = getter(&v1, &v2);
    if (status == PZStatus_Success) {
        values[0] = v1;
        values[1] = v2;
    }
    return status;
}

PZStatus setPair(PZStatus (*setter)(int32_t, int32_t), const float* values) {
    int32_t v1 = 0;
    int32_t v2 = 0;
    if (!truncateTo(values[0], &v1) || !truncateTo(values[1], &v2)) return PZStatus_InvalidParameter;
    return setter(v1, v2);
}

PZStatus setOffset(PZStatus (*setter)(int32_t, int32_t), int32_t component, float value) {
    int32_t offset = 0;
    if (!truncateTo(value, &offset)) return PZStatus_InvalidParameter;
    return setter(component, offset);
}

}  // namespace

PZStatus PlovarZarn_GetMultiParameter(int32_t component, int32_t parameter, float* values, uint32_t* count) {
    if (!PZInternal_IsDeviceReady(false)) return PZStatus_DeviceNotReady;
    if (values == nullptr || count == nullptr || *count == 0) return PZStatus_InvalidParameter;

    PZStatus status = PZStatus_Success;
    uint32_t written = 1;
    switch (parameter) {
        case PZParameter_Exposure:
            status = getOne(&PlovarZarnClient_GetExposure, component, values);
            break;
        case PZParameter_AnalogGain:
            status = getOne(&PlovarZarnClient_GetAnalogGain, component, values);
            break;
        case PZParameter_DigitalGain:
            status = getOne(&PlovarZarnClient_GetDigitalGain, component, values);
            break;
        case PZParameter_YOffset:
            status = getOne(&PlovarZarnClient_GetYOffset, component, values);
            break;
        case PZParameter_XOffset:
            status = getOne(&PlovarZarnClient_GetXOffset, component, values);
            break;
        case PZParameter_SubpixYOffset:
            status = getOne(&PlovarZarnClient_GetSubpixYOffset, component, values);
            break;
        case PZParameter_Fps:
            status = getOne(&PlovarZarnClient_GetFps, component, values);
            break;
        case PZParameter_Blc:
            status = getOne(&PlovarZarnClient_GetBlc, component, values);
            break;
        case PZParameter_Gamma:
            status = getOne(&PlovarZarnClient_GetGamma, component, values);
            break;
        // The depth engine's pairs belong to the depth component whatever
        // component the caller names.
        case PZParameter_MatchingWindow:
        case PZParameter_DisparityRange:
            if (*count < 2) return PZStatus_InvalidParameter;
            written = 2;
            status = getPair(parameter == PZParameter_MatchingWindow ? &PlovarZarnClient_GetMatchingWindow
                                                                     : &PlovarZarnClient_GetDisparityRange,
                             values);
            break;
        default:
            // delay and applyWb cannot be read back; anything else is unknown.
            return PZStatus_NotSupported;
    }

    // The count tells the caller how many values the parameter has, also
    // when reading them failed.
    *count = written;
    if (status != PZStatus_Success) {
        LOGG_PRINT(LOG_WARN_E, 0, "Get parameter (%d) failed: %s\n", parameter, PZStatus_toString(status));
    }
    return status;
}

PZStatus PlovarZarn_SetMultiParameter(int32_t component, int32_t parameter, const float* values, uint32_t count) {
    if (!PZInternal_IsDeviceReady(false)) return PZStatus_DeviceNotReady;
    if (parameter != PZParameter_ApplyWb && (values == nullptr || count == 0)) return PZStatus_InvalidParameter;

    PZStatus status = PZStatus_Success;
    switch (parameter) {
        case PZParameter_Exposure:
            status = PlovarZarnClient_SetExposure(component, values[0]);
            break;
        case PZParameter_AnalogGain:
            status = PlovarZarnClient_SetAnalogGain(component, values[0]);
            break;
        case PZParameter_Fps:
            status = PlovarZarnClient_SetFps(component, values[0]);
            break;
        case PZParameter_Gamma:
            status = PlovarZarnClient_SetGamma(component, values[0]);
            break;
        case PZParameter_DigitalGain:
            // 1: the global channel; 3: red, green, blue. Refused here (and
            // reported like a device failure) for any other count.
            status = (count == 1 || count == 3) ? PlovarZarnClient_SetDigitalGain(component, values, count)
                                                : PZStatus_InvalidParameter;
            break;
        case PZParameter_Delay:
        case PZParameter_YOffset:
        case PZParameter_XOffset:
        case PZParameter_SubpixYOffset:
            if (!isInfrared(component)) return PZStatus_NotSupported;
            if (parameter == PZParameter_Delay) {
                // Seconds in, whole microseconds out, for both imagers.
                int64_t microseconds = 0;
                status = truncateTo(static_cast<double>(values[0]) * 1000.0 * 1000.0, &microseconds)
                             ? PlovarZarnClient_SetDelay(microseconds)
                             : PZStatus_InvalidParameter;
            } else if (parameter == PZParameter_YOffset) {
                status = setOffset(&PlovarZarnClient_SetYOffset, component, values[0]);
            } else if (parameter == PZParameter_XOffset) {
                status = setOffset(&PlovarZarnClient_SetXOffset, component, values[0]);
            } else {
                status = PlovarZarnClient_SetSubpixYOffset(component, values[0]);
            }
            break;
        case PZParameter_MatchingWindow:
        case PZParameter_DisparityRange:
            if (count != 2) return PZStatus_InvalidParameter;
            status = setPair(parameter == PZParameter_MatchingWindow ? &PlovarZarnClient_SetMatchingWindow
                                                                      : &PlovarZarnClient_SetDisparityRange,
                             values);
            break;
        case PZParameter_Blc:
            // Written as a negated equality so that a NaN counts as on.
            status = PlovarZarnClient_SetBlc(component, !(values[0] == 0.0f));
            break;
        case PZParameter_ApplyWb:
            status = PlovarZarnClient_ApplyWb(component);
            break;
        default:
            return PZStatus_NotSupported;
    }

    if (status != PZStatus_Success) {
        LOGG_PRINT(LOG_WARN_E, 0, "Set parameter (%d) failed: %s\n", parameter, PZStatus_toString(status));
    }
    return status;
}
