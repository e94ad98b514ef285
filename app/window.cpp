#include "app/window.h"

#include <GLFW/glfw3.h>

#include <utility>

#include "driver/driver_types.h"
#include "gui_support/command_line.h"

namespace ZarnFirmwareUpdater {

namespace {

using GuiSupport::CliSupport::format;

constexpr const char* kStatusWindowName = "##Sensor status";
constexpr const char* kUpdateWindowName = "##Updating firmware";

constexpr ImGuiWindowFlags kPageFlags = ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize |
                                        ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoCollapse;

const ImVec4 kGrey(0.1f, 0.1f, 0.1f, 1.0f);

bool needsSupport(int32_t deviceState) {
    switch (deviceState) {
        case PZDeviceState_Unknown:
        case PZDeviceState_Error:
        case PZDeviceState_LowPowerMode:
        case PZDeviceState_RecoveryMode:
        case PZDeviceState_ProductionDataCorrupt:
            return true;
        default:
            return false;
    }
}

std::string sdkText(const VersionNumber* sdk) {
    return sdk != nullptr ? versionToString(*sdk) : std::string("<unknown>");
}

// The SDK line for the device's own firmware. The 0.7.2 release shipped the
// same firmware as 0.7.3, so that firmware names both.
std::string deviceSdkText(const VersionNumber& firmware) {
    const std::string text = sdkText(compatibleSdkVersion(firmware));
    return text == "0.7.2" ? std::string("0.7.2 and 0.7.3") : text;
}

PageItem text(std::string line) { return {PageItem::Text, std::move(line)}; }
PageItem wrapped(std::string line) { return {PageItem::WrappedText, std::move(line)}; }
PageItem coloured(TextColour colour, std::string line) {
    return {PageItem::ColouredText, std::move(line), colour};
}
PageItem newLine() { return {PageItem::NewLine, {}}; }
PageItem button(std::string label) { return {PageItem::Button, std::move(label)}; }

PageItem compatibility(const std::string& sdk) {
    return wrapped(format("Compatible with Plovar SDK (cross-platform) %s", sdk.c_str()));
}

PageItem deviceStatusItem(const ControlState& state) {
    if (state.updateResult == ControlState::Succeeded &&
        state.device.deviceState == PZDeviceState_Disconnected) {
        return coloured(TextColour::Green,
                        "The upgrade has been successful. Please replug your sensor and turn off "
                        "the updater before running other application");
    }
    TextColour colour = TextColour::Red;
    if (state.device.deviceState == PZDeviceState_Booting) colour = TextColour::Yellow;
    if (state.device.deviceState == PZDeviceState_Ready) colour = TextColour::Green;
    return coloured(colour, PZDeviceState_toString(state.device.deviceState));
}

Page statusPage(const ControlState& state) {
    Page page{kStatusWindowName, {}};
    auto& items = page.items;
    const VersionNumber embedded = embeddedFirmwareVersion();
    const std::string latest = versionToString(embedded);
    const std::string sdkEmbedded = sdkText(compatibleSdkVersion(embedded));

    items.push_back(coloured(TextColour::Yellow,
                             "Note: This Firmware Updater can be only used to upgrade Firmware "
                             "0.9.x to 1.0.0"));
    items.push_back(text("Device status:"));
    items.push_back({PageItem::SameLine, {}});
    items.push_back(deviceStatusItem(state));

    if (needsSupport(state.device.deviceState)) {
        items.push_back(newLine());
        items.push_back(wrapped(format(
            "Please quit Zarn Firmware Updater, disconnect and reconnect your sensor, and relaunch "
            "Zarn Firmware Updater. If the error persists, contact %s.",
            supportEmailAddress)));
        return page;
    }
    if (state.status == ControlState::Unknown) return page;

    const DeviceStatus& device = state.device;
    items.push_back(text(format("Your device: %s (%s)", device.name.c_str(), device.model.c_str())));
    items.push_back(text(format("Serial number: %s", device.serial.c_str())));
    items.push_back(text(format("Firmware: %s", versionToString(device.firmware).c_str())));

    switch (state.status) {
        case ControlState::OutOfDate:
            items.push_back(compatibility(deviceSdkText(device.firmware)));
            items.push_back(newLine());
            items.push_back(coloured(TextColour::Yellow, "Your firmware is out of date"));
            items.push_back(newLine());
            items.push_back(text(format("Latest firmware: %s", latest.c_str())));
            items.push_back(compatibility(sdkEmbedded));
            items.push_back(newLine());
            items.push_back(button(format("Update firmware to %s", latest.c_str())));
            break;
        case ControlState::UpToDate:
            items.push_back(newLine());
            items.push_back(coloured(TextColour::Green, "Your firmware is up to date"));
            items.push_back(newLine());
            items.push_back(text(format("Latest firmware: %s", latest.c_str())));
            items.push_back(compatibility(sdkEmbedded));
            break;
        case ControlState::Corrupt:
            items.push_back(newLine());
            items.push_back(
                coloured(TextColour::Yellow, "Your firmware is corrupt and requires reinstallation"));
            items.push_back(newLine());
            items.push_back(text(format("Latest firmware: %s", latest.c_str())));
            items.push_back(compatibility(sdkEmbedded));
            items.push_back(newLine());
            items.push_back(button(format("Reinstall firmware %s", latest.c_str())));
            break;
        case ControlState::TooNew:
            items.push_back(newLine());
            items.push_back(wrapped(format("Your firmware is too new to be used with Plovar SDK "
                                           "(cross-platform) %s (which this updater is packaged with)",
                                           sdkEmbedded.c_str())));
            items.push_back(newLine());
            items.push_back(
                wrapped("Please download the latest version of Plovar SDK (cross-platform) at:"));
            items.push_back(text(sdkDownloadAddress));
            break;
        default:  // Updating: the identity alone
            break;
    }
    return page;
}

}  // namespace

ImVec4 colourValue(TextColour colour) {
    switch (colour) {
        case TextColour::Red:
            return ImVec4(1.0f, 0.0f, 0.0f, 1.0f);
        case TextColour::Green:
            return ImVec4(0.0f, 1.0f, 0.0f, 1.0f);
        case TextColour::Yellow:
            return ImVec4(1.0f, 1.0f, 0.0f, 1.0f);
        case TextColour::Default:
            break;
    }
    return kGrey;
}

Page describePage(int32_t uiMode, const ControlState& state) {
    switch (uiMode) {
        case StatusPage:
            return statusPage(state);
        case UpdatingPage:
            return {kUpdateWindowName,
                    {text(state.progressText), {PageItem::ProgressBar, {}, TextColour::Default,
                                                state.progress}}};
        case SucceededPage:
            return {kUpdateWindowName,
                    {coloured(TextColour::Green, "Update succeeded"), newLine(), button("OK")}};
        case FailedPage:
            return {kUpdateWindowName,
                    {coloured(TextColour::Red, state.errorText), newLine(), button("OK")}};
        default:
            return {kStatusWindowName, {}};
    }
}

int32_t pageAfterFrame(int32_t uiMode, const ControlState& state, bool updateStartSeen,
                       bool buttonPressed, const std::function<bool()>& request) {
    switch (uiMode) {
        case StatusPage:
            return buttonPressed && request() ? UpdatingPage : StatusPage;
        case UpdatingPage:
            if (!updateStartSeen) return UpdatingPage;
            if (state.updateResult == ControlState::Succeeded) return SucceededPage;
            if (state.updateResult == ControlState::Failed) return FailedPage;
            return UpdatingPage;
        case SucceededPage:
        case FailedPage:
            return buttonPressed ? StatusPage : uiMode;
        default:
            return uiMode;
    }
}

Window::Window() = default;
Window::~Window() = default;

void Window::setState(const ControlState& newState) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        state = newState;
        if (newState.updateResult == ControlState::None) updateStartSeen = true;
    }
    // Wakes a loop that sleeps until the next event, so the change shows now.
    glfwPostEmptyEvent();
}

void Window::setUpdateCallback(std::function<bool()> request) {
    std::lock_guard<std::mutex> lock(mutex);
    updateRequest = std::move(request);
}

void Window::setup() {
    ImGui::StyleColorsDark();
    ImGuiStyle& style = ImGui::GetStyle();
    style.WindowPadding = ImVec2(16.0f, 16.0f);
    style.WindowRounding = 0.0f;
    style.WindowBorderSize = 0.0f;
    style.Colors[ImGuiCol_Border] = kGrey;
    style.Colors[ImGuiCol_TitleBg] = kGrey;
    style.Colors[ImGuiCol_TitleBgActive] = kGrey;
    GuiSupport::setBackgroundColour(kGrey);
}

void Window::renderFrame() {
    ControlState shown;
    bool startSeen = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        shown = state;
        startSeen = updateStartSeen;
    }
    const bool pressed = drawPage(describePage(uiMode, shown));
    const int32_t next =
        pageAfterFrame(uiMode, shown, startSeen, pressed, [this] { return requestUpdate(); });
    if (next != uiMode) {
        uiMode = next;
        requestRedraw();
    }
    holdCloseWhileUpdating();
}

void Window::teardown() {}

void Window::holdCloseWhileUpdating() {
    GLFWwindow* glfw = options->window;
    const auto now = std::chrono::steady_clock::now();
    // Closing would hide the window while the process goes on with the
    // update, with nothing on screen: the update page stays until it ends.
    if (!closeRequested && uiMode == UpdatingPage && glfwWindowShouldClose(glfw)) {
        closeRequested = true;
        closeRequestedAt = now;
    }
    if (!closeRequested) return;
    const bool updateEnded = uiMode != UpdatingPage;
    const bool waitedLongEnough = now - closeRequestedAt >= updateCloseBound;
    glfwSetWindowShouldClose(glfw, updateEnded || waitedLongEnough ? GLFW_TRUE : GLFW_FALSE);
}

bool Window::requestUpdate() {
    std::function<bool()> request;
    {
        std::lock_guard<std::mutex> lock(mutex);
        request = updateRequest;
        // From here on the update page waits for the new update's first state.
        updateStartSeen = false;
    }
    // The request takes the control loop's lock: never under ours.
    return request();
}

bool Window::drawPage(const Page& page) {
    ImGui::Begin(page.windowName.c_str(), nullptr, kPageFlags);
    GuiSupport::fitImGuiWindowToFramebuffer();
    bool pressed = false;
    for (const PageItem& item : page.items) {
        switch (item.kind) {
            case PageItem::Text:
                ImGui::Text("%s", item.text.c_str());
                break;
            case PageItem::WrappedText:
                ImGui::TextWrapped("%s", item.text.c_str());
                break;
            case PageItem::ColouredText:
                GuiSupport::TextColoredWrapped(colourValue(item.colour), "%s", item.text.c_str());
                break;
            case PageItem::NewLine:
                ImGui::NewLine();
                break;
            case PageItem::SameLine:
                ImGui::SameLine();
                break;
            case PageItem::ProgressBar:
                ImGui::ProgressBar(item.fraction, ImVec2(-1.0f, 0.0f), nullptr);
                break;
            case PageItem::Button:
                ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(8.0f, 8.0f));
                pressed = ImGui::Button(item.text.c_str()) || pressed;
                ImGui::PopStyleVar();
                break;
        }
    }
    ImGui::End();
    return pressed;
}

}  // namespace ZarnFirmwareUpdater
