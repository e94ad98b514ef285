#include "driver/device_requests.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

#include <capnp/any.h>
#include <capnp/message.h>
#include <capnp/schema.h>
#include <kj/exception.h>

#include "driver/device_client.h"
#include "driver/device_protocol.h"
#include "driver/device_record.h"

namespace mc = morv::client;
using Setting = mc::ComponentSetting;

namespace {

// The pending entry of a request that wants its reply: released when the
// request's function leaves, whichever way it leaves.
class PendingReply {
public:
    PendingReply() = default;
    PendingReply(const PendingReply&) = delete;
    PendingReply& operator=(const PendingReply&) = delete;
    ~PendingReply() { releasePendingResponse(entry_); }

    PZClientPendingEntry** out() { return &entry_; }
    mc::Response::Reader response() { return entry_->response(); }

private:
    PZClientPendingEntry* entry_ = nullptr;
};

// --- reading a reply's union member at its own position ---------------------------
//
// A reply's member is not checked: a getter reads its own field's position
// whichever member the device set. The generated getters check the member
// whenever the headers are built without NDEBUG, so the positions are read
// here from the schema instead, the same in every build type. None of these
// fields has a default value, so the stored bits are the value itself.

template <typename Struct>
capnp::StructSchema::Field fieldOf(const char* name) {
    return capnp::Schema::from<Struct>().getFieldByName(name);
}

// A data field at its slot; a field beyond a short data section reads as 0
// (or false), as the generated getters read it.
template <typename T>
T dataAt(capnp::AnyStruct::Reader any, capnp::StructSchema::Field field) {
    const uint32_t offset = field.getProto().getSlot().getOffset();
    const kj::ArrayPtr<const kj::byte> data = any.getDataSection();
    if constexpr (std::is_same_v<T, bool>) {
        const size_t byte = offset / 8;
        return byte < data.size() && ((data.begin()[byte] >> (offset % 8)) & 1) != 0;
    } else {
        using Bits = std::conditional_t<sizeof(T) == 2, uint16_t, uint32_t>;
        static_assert(sizeof(T) == sizeof(Bits), "16- and 32-bit fields only");
        const size_t start = size_t{offset} * sizeof(T);
        if (start + sizeof(T) > data.size()) return T{};
        Bits bits = 0;
        for (size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<Bits>(Bits{data.begin()[start + i]} << (8 * i));
        return std::bit_cast<T>(bits);
    }
}

// A pointer field at its slot; null beyond a short pointer section.
capnp::AnyPointer::Reader pointerAt(capnp::AnyStruct::Reader any, capnp::StructSchema::Field field) {
    const uint32_t offset = field.getProto().getSlot().getOffset();
    const capnp::List<capnp::AnyPointer>::Reader pointers = any.getPointerSection();
    if (offset >= pointers.size()) return capnp::AnyPointer::Reader();
    return pointers[offset];
}

template <typename T>
T settingData(Setting::Reader setting, const char* name) {
    return dataAt<T>(setting, fieldOf<Setting>(name));
}

// The struct or list that stands at a member's pointer of the reply's msg
// union. A pointer of the wrong kind there throws kj::Exception.
template <typename T>
typename T::Reader replyMember(mc::Response::Reader response, const char* name) {
    return pointerAt(response, fieldOf<mc::Response::Msg>(name)).getAs<T>();
}

template <typename T>
typename T::Reader settingMember(Setting::Reader setting, const char* name) {
    return pointerAt(setting, fieldOf<Setting>(name)).getAs<T>();
}

// A fresh Request at the root of a fresh builder, with a fresh id.
mc::Request::Builder newRequest(PZMessageBuilder& builder) {
    auto request = builder.initRoot<mc::Request>();
    request.setId(newRequestId());
    return request;
}

template <typename Entry, typename Wire>
bool lookUp(const Entry* table, size_t count, int32_t value, Wire* wire) {
    for (size_t i = 0; i < count; ++i) {
        if (table[i].mode == value) {
            *wire = table[i].wire;
            return true;
        }
    }
    return false;
}

// A getter: one read of the named member into a local value, handed to the
// caller's output only when the whole request succeeded.
template <typename Out, typename Field>
PZStatus getSetting(int32_t component, Out* out, const PZComponentSettingFill& fill, Field field) {
    if (out == nullptr) return PZStatus_InvalidParameter;
    Out value{};
    const PZStatus status =
        PlovarZarnClient_ComponentSetting(component, false, fill, [&](Setting::Reader setting) { value = field(setting); });
    if (status == PZStatus_Success) *out = value;
    return status;
}

PZStatus setSetting(int32_t component, const PZComponentSettingFill& fill) {
    return PlovarZarnClient_ComponentSetting(component, true, fill, nullptr);
}

using ChannelList = capnp::List<Setting::ChannelElement>;

void fillOneChannel(ChannelList::Builder list, float value) {
    list[0].setChan(mc::Channel::GLOBAL);
    list[0].setValue(value);
}

// Gains come back as a list; the value is that of element 0. A reply whose
// list is empty has no value to give, so the getter fails with Error and
// leaves the output as it was rather than invent a gain.
PZStatus getGain(int32_t component, float* gain, bool digital) {
    if (gain == nullptr) return PZStatus_InvalidParameter;
    std::optional<float> value;
    const PZStatus status = PlovarZarnClient_ComponentSetting(
        component, false,
        [digital](Setting::Builder setting) {
            fillOneChannel(digital ? setting.initDigitalGain(1) : setting.initAnalogGain(1), 0.0f);
        },
        [&](Setting::Reader setting) {
            const ChannelList::Reader list = settingMember<ChannelList>(setting, digital ? "digitalGain" : "analogGain");
            if (list.size() > 0) value = list[0].getValue();
        });
    if (status != PZStatus_Success) return status;
    if (!value) return PZStatus_Error;
    *gain = *value;
    return PZStatus_Success;
}

// The matching window and the disparity range are depth-engine pairs.
PZStatus getPair(bool window, uint16_t* v1, uint16_t* v2) {
    if (v1 == nullptr || v2 == nullptr) return PZStatus_InvalidParameter;
    uint16_t first = 0;
    uint16_t second = 0;
    const PZStatus status = PlovarZarnClient_ComponentSetting(
        PZComponent_Depth, false,
        [window](Setting::Builder setting) {
            auto pair = window ? setting.initMatchingWindow() : setting.initDisparityRange();
            pair.setV1(0);
            pair.setV2(0);
        },
        [&](Setting::Reader setting) {
            const auto pair =
                settingMember<Setting::Int16Pair>(setting, window ? "matchingWindow" : "disparityRange");
            first = pair.getV1();
            second = pair.getV2();
        });
    if (status != PZStatus_Success) return status;
    *v1 = first;
    *v2 = second;
    return PZStatus_Success;
}

PZStatus setPair(bool window, int32_t v1, int32_t v2) {
    return setSetting(PZComponent_Depth, [=](Setting::Builder setting) {
        auto pair = window ? setting.initMatchingWindow() : setting.initDisparityRange();
        pair.setV1(static_cast<uint16_t>(v1));
        pair.setV2(static_cast<uint16_t>(v2));
    });
}

// The texts of the device information point into the client's copy of the
// last reply; two callers replacing it at once would free each other's copy.
std::mutex& deviceInfoLock() {
    static std::mutex lock;
    return lock;
}

int32_t colorOf(mc::Color color) {
    switch (color) {
        case mc::Color::BLUE:
        case mc::Color::SILVER:
        case mc::Color::BLACK:
        case mc::Color::DARK_GRAY:
            return static_cast<int32_t>(color);
        default:
            return 0;
    }
}

int32_t buildTypeOf(mc::BuildType type) {
    switch (type) {
        case mc::BuildType::RELEASE:
            return PZBuildType_Release;
        case mc::BuildType::BETA:
            return PZBuildType_Beta;
        default:
            return PZBuildType_Dev;
    }
}

PZDeviceInfo deviceInfoFrom(mc::DeviceInfo::Reader info) {
    PZDeviceInfo out{};
    out.birthday = info.getBirthday();
    out.color = colorOf(info.getColor());
    out.usbSpeed = info.getUsbSpeed();
    const auto version = info.getFwVer();
    out.fwMajor = version.getMajor();
    out.fwMinor = version.getMinor();
    out.fwRevision = version.getRevision();
    out.buildType = buildTypeOf(version.getType());
    // An absent text reads as the empty text, never as null.
    out.name = info.getName().cStr();
    out.serial = info.getSerial().cStr();
    out.model = info.getModel().cStr();
    out.hwName = info.getHwName().cStr();
    out.manufacturer = info.getManufacturer().cStr();
    out.credential = info.getCredential().cStr();
    out.hasBattery = info.getHasBattery();
    out.disableLeds = info.getDisableLeds();
    out.laserModel = info.getLaserModel();
    out.irCamModel = info.getIrCamModel();
    out.irCamType = info.getIrCamType();
    out.visCamModel = info.getVisCamModel();
    out.visCamType = info.getVisCamType();
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Wire mappings

bool PZComponent_toWire(int32_t component, mc::Component* wire) {
    for (const PZComponentWireEntry& entry : PZComponent_wireTable) {
        if (entry.component == component) {
            *wire = entry.wire;
            return true;
        }
    }
    return false;
}

bool PZDeviceMode_toWire(int32_t mode, mc::DeviceMode* wire) {
    return lookUp(PZDeviceMode_wireTable, PZ_DEVICE_MODE_WIRE_COUNT, mode, wire);
}

bool PZTwistMode_toWire(int32_t mode, mc::TwistCompCfg::Mode* wire) {
    return lookUp(PZTwistMode_wireTable, PZ_TWIST_MODE_WIRE_COUNT, mode, wire);
}

// ---------------------------------------------------------------------------
// The generic setting request

PZStatus PlovarZarnClient_ComponentSetting(int32_t component, bool writeFlag, const PZComponentSettingFill& fill,
                                           const PZComponentSettingRead& read) {
    PZMessageBuilder builder;
    auto setting = newRequest(builder).getMsg().initComponentSetting();
    mc::Component wire{};
    if (!PZComponent_toWire(component, &wire)) return PZStatus_InvalidParameter;
    setting.setComponent(wire);
    setting.setWriteFlag(writeFlag);
    if (fill) fill(setting);

    PendingReply reply;
    const PZStatus status = sendMsgWithRawPayload(builder, std::nullopt, reply.out());
    if (status != PZStatus_Success || !read) return status;
    try {
        // The reply's member is not checked: the reader reads its own field's
        // position. A pointer of the wrong kind there is a reply from a
        // device that does not speak the protocol.
        read(replyMember<Setting>(reply.response(), "componentSetting"));
    } catch (const kj::Exception&) {
        return PZStatus_Error;
    }
    return status;
}

// ---------------------------------------------------------------------------
// The setting family

PZStatus PlovarZarnClient_GetExposure(int32_t component, float* exposure) {
    return getSetting(
        component, exposure, [](Setting::Builder s) { s.setExposure(0.0f); },
        [](Setting::Reader s) { return settingData<float>(s, "exposure"); });
}

PZStatus PlovarZarnClient_SetExposure(int32_t component, float exposure) {
    return setSetting(component, [=](Setting::Builder s) { s.setExposure(exposure); });
}

PZStatus PlovarZarnClient_GetAnalogGain(int32_t component, float* gain) { return getGain(component, gain, false); }

PZStatus PlovarZarnClient_SetAnalogGain(int32_t component, float gain) {
    return setSetting(component, [=](Setting::Builder s) { fillOneChannel(s.initAnalogGain(1), gain); });
}

PZStatus PlovarZarnClient_GetDigitalGain(int32_t component, float* gain) { return getGain(component, gain, true); }

PZStatus PlovarZarnClient_SetDigitalGain(int32_t component, const float* values, size_t count) {
    if (values == nullptr || (count != 1 && count != 3)) return PZStatus_InvalidParameter;
    return setSetting(component, [=](Setting::Builder s) {
        auto list = s.initDigitalGain(static_cast<unsigned>(count));
        if (count == 1) {
            fillOneChannel(list, values[0]);
            return;
        }
        static constexpr mc::Channel kColours[3] = {mc::Channel::RED, mc::Channel::GREEN, mc::Channel::BLUE};
        for (unsigned i = 0; i < 3; ++i) {
            list[i].setChan(kColours[i]);
            list[i].setValue(values[i]);
        }
    });
}

PZStatus PlovarZarnClient_SetDelay(int64_t microseconds) {
    return setSetting(PZComponent_IrBoth,
                      [=](Setting::Builder s) { s.setDelay(static_cast<float>(microseconds)); });
}

PZStatus PlovarZarnClient_GetYOffset(int32_t component, int16_t* offset) {
    return getSetting(
        component, offset, [](Setting::Builder s) { s.setYOffset(0); },
        [](Setting::Reader s) { return settingData<int16_t>(s, "yOffset"); });
}

PZStatus PlovarZarnClient_SetYOffset(int32_t component, int32_t offset) {
    return setSetting(component, [=](Setting::Builder s) { s.setYOffset(static_cast<int16_t>(offset)); });
}

PZStatus PlovarZarnClient_GetXOffset(int32_t component, int16_t* offset) {
    return getSetting(
        component, offset, [](Setting::Builder s) { s.setXOffset(0); },
        [](Setting::Reader s) { return settingData<int16_t>(s, "xOffset"); });
}

PZStatus PlovarZarnClient_SetXOffset(int32_t component, int32_t offset) {
    return setSetting(component, [=](Setting::Builder s) { s.setXOffset(static_cast<int16_t>(offset)); });
}

PZStatus PlovarZarnClient_GetSubpixYOffset(int32_t component, float* offset) {
    return getSetting(
        component, offset, [](Setting::Builder s) { s.setSubpixYOffset(0.0f); },
        [](Setting::Reader s) { return settingData<float>(s, "subpixYOffset"); });
}

PZStatus PlovarZarnClient_SetSubpixYOffset(int32_t component, float offset) {
    return setSetting(component, [=](Setting::Builder s) { s.setSubpixYOffset(offset); });
}

PZStatus PlovarZarnClient_GetFps(int32_t component, float* fps) {
    return getSetting(
        component, fps, [](Setting::Builder s) { s.setFps(0.0f); }, [](Setting::Reader s) { return settingData<float>(s, "fps"); });
}

PZStatus PlovarZarnClient_SetFps(int32_t component, float fps) {
    return setSetting(component, [=](Setting::Builder s) { s.setFps(fps); });
}

PZStatus PlovarZarnClient_GetMatchingWindow(uint16_t* v1, uint16_t* v2) { return getPair(true, v1, v2); }

PZStatus PlovarZarnClient_SetMatchingWindow(int32_t v1, int32_t v2) { return setPair(true, v1, v2); }

PZStatus PlovarZarnClient_GetDisparityRange(uint16_t* v1, uint16_t* v2) { return getPair(false, v1, v2); }

PZStatus PlovarZarnClient_SetDisparityRange(int32_t v1, int32_t v2) { return setPair(false, v1, v2); }

PZStatus PlovarZarnClient_GetBlc(int32_t component, bool* on) {
    return getSetting(
        component, on, [](Setting::Builder s) { s.setBlc(false); }, [](Setting::Reader s) { return settingData<bool>(s, "blc"); });
}

PZStatus PlovarZarnClient_SetBlc(int32_t component, bool on) {
    return setSetting(component, [=](Setting::Builder s) { s.setBlc(on); });
}

PZStatus PlovarZarnClient_ApplyWb(int32_t component) {
    return setSetting(component, [](Setting::Builder s) { s.setApplyWb(); });
}

PZStatus PlovarZarnClient_GetGamma(int32_t component, float* gamma) {
    return getSetting(
        component, gamma, [](Setting::Builder s) { s.setGamma(0.0f); },
        [](Setting::Reader s) { return settingData<float>(s, "gamma"); });
}

PZStatus PlovarZarnClient_SetGamma(int32_t component, float gamma) {
    return setSetting(component, [=](Setting::Builder s) { s.setGamma(gamma); });
}

// ---------------------------------------------------------------------------
// Single requests

PZStatus PlovarZarnClient_GetDeviceInfo(PZDeviceInfo* out) {
    PZMessageBuilder builder;
    newRequest(builder).getMsg().setGetDevInfo();
    PendingReply reply;
    const PZStatus status = sendMsgWithRawPayload(builder, std::nullopt, reply.out());
    if (status != PZStatus_Success) return status;

    std::lock_guard<std::mutex> lock(deviceInfoLock());
    PZDeviceInfo filled{};
    auto copy = std::make_unique<PZMessageBuilder>();
    try {
        copy->setRoot(reply.response());
        filled = deviceInfoFrom(replyMember<mc::DeviceInfo>(copy->getRoot<mc::Response>().asReader(), "devInfo"));
    } catch (const kj::Exception&) {
        // Neither the previous copy (which earlier callers' texts point
        // into) nor the caller's record is touched by a reply that does
        // not decode.
        return PZStatus_Error;
    }
    // The texts in filled point into the copy's segments, which stay where
    // they are when the copy changes hands.
    PZClient_get()->deviceInfoMessage = std::move(copy);
    if (out != nullptr) *out = filled;
    return PZStatus_Success;
}

PZStatus PlovarZarnClient_GetCalibration(PZCalibration* calibration) {
    PZMessageBuilder builder;
    auto calibrate = newRequest(builder).getMsg().initCalibrate();
    calibrate.setAction(mc::Calibrate::Action::RETRIEVE);
    calibrate.setDevice();
    PendingReply reply;
    const PZStatus status = sendMsgWithRawPayload(builder, std::nullopt, reply.out());
    if (status != PZStatus_Success) return status;
    try {
        const capnp::Data::Reader text = replyMember<capnp::Data>(reply.response(), "deviceCalibration");
        return PZCalibrationParser_ParseString(reinterpret_cast<const char*>(text.begin()), text.size(), calibration);
    } catch (const kj::Exception&) {
        // Something other than bytes where the calibration belongs.
        return PZStatus_Error;
    }
}

PZStatus PZInternal_GetCalibration(PZCalibration* calibration) {
    if (!PZInternal_IsDeviceReady(false)) return PZStatus_DeviceNotReady;
    if (calibration == nullptr) return PZStatus_InvalidParameter;
    return PlovarZarnClient_GetCalibration(calibration);
}

PZStatus PlovarZarnClient_SetMode(int32_t mode) {
    mc::DeviceMode wire{};
    if (!PZDeviceMode_toWire(mode, &wire)) return PZStatus_InvalidParameter;
    PZMessageBuilder builder;
    newRequest(builder).getMsg().initSetMode().setMode(wire);
    const PZStatus status = sendMsgWithRawPayload(builder);
    // A reboot or a mode change may take the device away before it answers;
    // the client then ends the wait with DeviceNotReady, and the mode change
    // has happened all the same.
    return status == PZStatus_DeviceNotReady ? PZStatus_Success : status;
}

PZStatus PlovarZarnClient_SetTwistCompCfg(int32_t mode) {
    mc::TwistCompCfg::Mode wire{};
    if (!PZTwistMode_toWire(mode, &wire)) return PZStatus_NotSupported;
    PZMessageBuilder builder;
    newRequest(builder).getMsg().initTwistCompCfg().setMode(wire);
    return sendMsgWithRawPayload(builder);
}
