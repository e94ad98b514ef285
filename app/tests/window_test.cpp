#include "app/window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <imgui_internal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/sensor_transport.h"
#include "gui_support/tests/display_child.h"

namespace {

using ZarnFirmwareUpdater::ControlState;
using ZarnFirmwareUpdater::describePage;
using ZarnFirmwareUpdater::Page;
using ZarnFirmwareUpdater::PageItem;
using ZarnFirmwareUpdater::pageAfterFrame;
using ZarnFirmwareUpdater::TextColour;
using ZarnFirmwareUpdater::VersionNumber;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kNote =
    "Note: This Firmware Updater can be only used to upgrade Firmware 0.9.x to 1.0.0";
constexpr const char* kSupportStart =
    "Please quit Zarn Firmware Updater, disconnect and reconnect your sensor, and relaunch Zarn "
    "Firmware Updater. If the error persists, contact ";
constexpr const char* kReplug =
    "The upgrade has been successful. Please replug your sensor and turn off the updater before "
    "running other application";

PageItem text(const std::string& line) { return {PageItem::Text, line}; }
PageItem wrapped(const std::string& line) { return {PageItem::WrappedText, line}; }
PageItem coloured(TextColour colour, const std::string& line) {
    return {PageItem::ColouredText, line, colour};
}
PageItem newLine() { return {PageItem::NewLine, {}}; }
PageItem sameLine() { return {PageItem::SameLine, {}}; }
PageItem button(const std::string& label) { return {PageItem::Button, label}; }

ControlState deviceState(int32_t state, int32_t status = ControlState::Unknown,
                         VersionNumber firmware = {}) {
    ControlState s;
    s.status = status;
    s.device.deviceState = state;
    s.device.name = "Zarn";
    s.device.model = "ZS-1";
    s.device.serial = "SN0042";
    s.device.firmware = firmware;
    return s;
}

VersionNumber version(uint32_t major, uint32_t minor, uint32_t patch) {
    return VersionNumber{.patch = patch, .minor = minor, .major = major};
}

std::vector<PageItem> statusItems(const ControlState& state) {
    const Page page = describePage(ZarnFirmwareUpdater::StatusPage, state);
    EXPECT_EQ(page.windowName, "##Sensor status");
    return page.items;
}

// ---------------------------------------------------------------------------
// The status page.

TEST(StatusPage, WithoutASensorShowsTheNoteAndDisconnectedInRedOnly) {
    EXPECT_THAT(statusItems(ControlState{}),
                ElementsAre(coloured(TextColour::Yellow, kNote), text("Device status:"),
                            sameLine(), coloured(TextColour::Red, "Disconnected")));
}

TEST(StatusPage, DeviceStatesInTroubleShowTheirNameInRedAndTheSupportTextAlone) {
    const std::string support =
        std::string(kSupportStart) + ZarnFirmwareUpdater::supportEmailAddress + ".";
    const std::vector<std::pair<int32_t, const char*>> states{{0, "Unknown"},
                                                              {4, "Error"},
                                                              {5, "Low Power Mode"},
                                                              {6, "Recovery Mode"},
                                                              {7, "Production Data Corrupt"}};
    for (const auto& [state, name] : states) {
        SCOPED_TRACE(name);
        // Even with a verdict from before, the identity is not shown.
        EXPECT_THAT(statusItems(deviceState(state, ControlState::UpToDate, version(1, 0, 0))),
                    ElementsAre(coloured(TextColour::Yellow, kNote), text("Device status:"),
                                sameLine(), coloured(TextColour::Red, name), newLine(),
                                wrapped(support)));
    }
}

TEST(StatusPage, DeviceStatusColourFollowsTheState) {
    EXPECT_EQ(statusItems(deviceState(1))[3], coloured(TextColour::Yellow, "Booting"));
    EXPECT_EQ(statusItems(deviceState(2))[3], coloured(TextColour::Green, "Ready"));
    EXPECT_EQ(statusItems(deviceState(8))[3], coloured(TextColour::Red, "FW Corrupt"));
    // Without a verdict yet, a usable device shows its status and nothing more.
    EXPECT_EQ(statusItems(deviceState(2)).size(), 4u);
}

TEST(StatusPage, OutOfDateFirmwareOffersTheUpdate) {
    EXPECT_THAT(
        statusItems(deviceState(2, ControlState::OutOfDate, version(0, 9, 2))),
        ElementsAre(coloured(TextColour::Yellow, kNote), text("Device status:"), sameLine(),
                    coloured(TextColour::Green, "Ready"), text("Your device: Zarn (ZS-1)"),
                    text("Serial number: SN0042"), text("Firmware: 0.9.2"),
                    wrapped("Compatible with Plovar SDK (cross-platform) 0.6.0"), newLine(),
                    coloured(TextColour::Yellow, "Your firmware is out of date"), newLine(),
                    text("Latest firmware: 1.0.0"),
                    wrapped("Compatible with Plovar SDK (cross-platform) 0.8.0"), newLine(),
                    button("Update firmware to 1.0.0")));
}

TEST(StatusPage, DeviceSdkLineNamesTheLaterReleaseOrUnknown) {
    const auto items097 = statusItems(deviceState(2, ControlState::OutOfDate, version(0, 9, 7)));
    EXPECT_EQ(items097[7], wrapped("Compatible with Plovar SDK (cross-platform) 0.7.3"));
    const auto items095 = statusItems(deviceState(2, ControlState::OutOfDate, version(0, 9, 5)));
    EXPECT_EQ(items095[7], wrapped("Compatible with Plovar SDK (cross-platform) <unknown>"));
}

TEST(StatusPage, UpToDateFirmwareHasNoButton) {
    EXPECT_THAT(statusItems(deviceState(2, ControlState::UpToDate, version(1, 0, 0))),
                ElementsAre(coloured(TextColour::Yellow, kNote), text("Device status:"),
                            sameLine(), coloured(TextColour::Green, "Ready"),
                            text("Your device: Zarn (ZS-1)"), text("Serial number: SN0042"),
                            text("Firmware: 1.0.0"), newLine(),
                            coloured(TextColour::Green, "Your firmware is up to date"), newLine(),
                            text("Latest firmware: 1.0.0"),
                            wrapped("Compatible with Plovar SDK (cross-platform) 0.8.0")));
}

TEST(StatusPage, CorruptFirmwareOffersTheReinstallation) {
    EXPECT_THAT(
        statusItems(deviceState(8, ControlState::Corrupt, version(1, 0, 0))),
        ElementsAre(coloured(TextColour::Yellow, kNote), text("Device status:"), sameLine(),
                    coloured(TextColour::Red, "FW Corrupt"), text("Your device: Zarn (ZS-1)"),
                    text("Serial number: SN0042"), text("Firmware: 1.0.0"), newLine(),
                    coloured(TextColour::Yellow, "Your firmware is corrupt and requires reinstallation"),
                    newLine(), text("Latest firmware: 1.0.0"),
                    wrapped("Compatible with Plovar SDK (cross-platform) 0.8.0"), newLine(),
                    button("Reinstall firmware 1.0.0")));
}

TEST(StatusPage, TooNewFirmwarePointsToTheSdkDownload) {
    EXPECT_THAT(
        statusItems(deviceState(2, ControlState::TooNew, version(1, 1, 0))),
        ElementsAre(coloured(TextColour::Yellow, kNote), text("Device status:"), sameLine(),
                    coloured(TextColour::Green, "Ready"), text("Your device: Zarn (ZS-1)"),
                    text("Serial number: SN0042"), text("Firmware: 1.1.0"), newLine(),
                    wrapped("Your firmware is too new to be used with Plovar SDK (cross-platform) "
                            "0.8.0 (which this updater is packaged with)"),
                    newLine(),
                    wrapped("Please download the latest version of Plovar SDK (cross-platform) at:"),
                    text(ZarnFirmwareUpdater::sdkDownloadAddress)));
}

TEST(StatusPage, AfterASuccessfulUpdateADisconnectedDeviceAsksForAReplug) {
    ControlState s = deviceState(3, ControlState::Updating, version(0, 9, 2));
    s.updateResult = ControlState::Succeeded;
    const auto items = statusItems(s);
    EXPECT_EQ(items[3], coloured(TextColour::Green, kReplug));
    // While updating, the identity shows and nothing can be started.
    EXPECT_EQ(items.back(), text("Firmware: 0.9.2"));

    // A failed update leaves the plain state name.
    s.updateResult = ControlState::Failed;
    EXPECT_EQ(statusItems(s)[3], coloured(TextColour::Red, "Disconnected"));
    // A device that came back is shown as it is.
    s.updateResult = ControlState::Succeeded;
    s.device.deviceState = 2;
    EXPECT_EQ(statusItems(s)[3], coloured(TextColour::Green, "Ready"));
}

// ---------------------------------------------------------------------------
// The update and outcome pages.

TEST(UpdatePages, ShowProgressThenTheOutcomeWithAnOkButton) {
    ControlState s = deviceState(2, ControlState::Updating);
    s.progressText = "Writing firmware";
    s.progress = 0.42f;
    s.errorText = "Firmware update failed: error 2 (PZStatus_Timeout)";

    const Page updating = describePage(ZarnFirmwareUpdater::UpdatingPage, s);
    EXPECT_EQ(updating.windowName, "##Updating firmware");
    EXPECT_THAT(updating.items,
                ElementsAre(text("Writing firmware"),
                            PageItem{PageItem::ProgressBar, {}, TextColour::Default, 0.42f}));

    const Page succeeded = describePage(ZarnFirmwareUpdater::SucceededPage, s);
    EXPECT_EQ(succeeded.windowName, "##Updating firmware");
    EXPECT_THAT(succeeded.items, ElementsAre(coloured(TextColour::Green, "Update succeeded"),
                                             newLine(), button("OK")));

    const Page failed = describePage(ZarnFirmwareUpdater::FailedPage, s);
    EXPECT_THAT(failed.items,
                ElementsAre(coloured(TextColour::Red,
                                     "Firmware update failed: error 2 (PZStatus_Timeout)"),
                            newLine(), button("OK")));
}

TEST(UpdatePages, ColoursHaveTheirValues) {
    const ImVec4 red = ZarnFirmwareUpdater::colourValue(TextColour::Red);
    const ImVec4 green = ZarnFirmwareUpdater::colourValue(TextColour::Green);
    const ImVec4 yellow = ZarnFirmwareUpdater::colourValue(TextColour::Yellow);
    EXPECT_TRUE(red.x == 1 && red.y == 0 && red.z == 0 && red.w == 1);
    EXPECT_TRUE(green.x == 0 && green.y == 1 && green.z == 0 && green.w == 1);
    EXPECT_TRUE(yellow.x == 1 && yellow.y == 1 && yellow.z == 0 && yellow.w == 1);
}

// ---------------------------------------------------------------------------
// How the pages follow one another.

struct RequestProbe {
    bool answer = false;
    int calls = 0;
    std::function<bool()> request() {
        return [this] {
            ++calls;
            return answer;
        };
    }
};

TEST(PageFlow, TheButtonRequestsTheUpdateAndAnAcceptedRequestShowsProgress) {
    RequestProbe probe;
    const ControlState s = deviceState(2, ControlState::OutOfDate, version(0, 9, 2));
    // No press, no request.
    EXPECT_EQ(pageAfterFrame(0, s, true, false, probe.request()), 0);
    EXPECT_EQ(probe.calls, 0);
    // A refused request leaves the status page.
    EXPECT_EQ(pageAfterFrame(0, s, true, true, probe.request()), 0);
    EXPECT_EQ(probe.calls, 1);
    probe.answer = true;
    EXPECT_EQ(pageAfterFrame(0, s, true, true, probe.request()), 1);
    EXPECT_EQ(probe.calls, 2);
}

TEST(PageFlow, TheUpdatePageMovesOnlyOnTheOutcome) {
    RequestProbe probe;
    ControlState s = deviceState(2, ControlState::Updating);
    EXPECT_EQ(pageAfterFrame(1, s, true, false, probe.request()), 1);
    s.updateResult = ControlState::Succeeded;
    EXPECT_EQ(pageAfterFrame(1, s, true, false, probe.request()), 2);
    s.updateResult = ControlState::Failed;
    EXPECT_EQ(pageAfterFrame(1, s, true, false, probe.request()), 3);
    EXPECT_EQ(probe.calls, 0);
}

TEST(PageFlow, AnEarlierOutcomeIsNotTakenForTheNewUpdates) {
    RequestProbe probe;
    // The state still carries the success of the first update of this run.
    ControlState s = deviceState(2, ControlState::Corrupt, version(1, 0, 0));
    s.updateResult = ControlState::Succeeded;
    EXPECT_EQ(pageAfterFrame(1, s, false, false, probe.request()), 1);
    s.updateResult = ControlState::Failed;
    EXPECT_EQ(pageAfterFrame(1, s, false, false, probe.request()), 1);
}

TEST(PageFlow, OkReturnsToTheStatusPage) {
    RequestProbe probe;
    const ControlState s = deviceState(3, ControlState::Updating);
    EXPECT_EQ(pageAfterFrame(2, s, true, false, probe.request()), 2);
    EXPECT_EQ(pageAfterFrame(3, s, true, false, probe.request()), 3);
    EXPECT_EQ(pageAfterFrame(2, s, true, true, probe.request()), 0);
    EXPECT_EQ(pageAfterFrame(3, s, true, true, probe.request()), 0);
    EXPECT_EQ(probe.calls, 0);
}

// ---------------------------------------------------------------------------
// The real window on a display, with the texts Dear ImGui drew captured
// through its text log.

constexpr const char* kChildVariable = "ZARN_WINDOW_TEST_CHILD";

// In the test process: runs this very test again in a child on a display and
// checks that it passed there.
void runThisTestInDisplayChild() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    const ZarnTest::ChildResult child = ZarnTest::runOnDisplay(
        {ZarnTest::selfExecutable(), filter}, {std::string(kChildVariable) + "=1"});
    EXPECT_EQ(child.exitCode, 0) << child.output;
    // A filter that matched nothing would pass vacuously.
    EXPECT_THAT(child.output, HasSubstr("[  PASSED  ] 1 test")) << child.output;
}

// The body of a display test runs only in its child process.
#define RUN_BODY_ON_DISPLAY()                                                               \
    if (std::getenv(kChildVariable) == nullptr) {                                           \
        if (ZarnTest::displayLauncher().empty()) {                                          \
            GTEST_SKIP() << "needs an X display: neither DISPLAY nor xvfb-run is available"; \
        }                                                                                   \
        runThisTestInDisplayChild();                                                        \
        return;                                                                             \
    }

class CapturingWindow : public ZarnFirmwareUpdater::Window {
public:
    std::vector<std::string> frames;  // the texts of each frame
    std::function<void(CapturingWindow&)> afterFrame = [](CapturingWindow&) {};

    // Clicks the page's button, which is its last item (bottom left), the way
    // the user's mouse would: the pointer moves there and the button goes
    // down before the next frame and is up again in the one after.
    void clickLastButton() {
        ImGuiWindow* page = ImGui::GetCurrentContext()->NavWindow;
        ASSERT_NE(page, nullptr);
        const float x = page->Pos.x + ImGui::GetStyle().WindowPadding.x + 8.0f;
        const float y = page->DC.CursorMaxPos.y - 8.0f;
        glfwSetCursorPos(options->window, x, y);
        ImGui_ImplGlfw_MouseButtonCallback(options->window, GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0);
    }
    GLFWwindow* glfw() { return options->window; }
    void close() { glfwSetWindowShouldClose(options->window, GLFW_TRUE); }
    // The user closes the window: the close comes with the next frame's
    // events, before that frame is drawn.
    void userCloses() { closeWithNextFrame = true; }
    void setUpdateCloseBound(std::chrono::milliseconds bound) { updateCloseBound = bound; }
    bool shows(const std::string& text) const {
        return !frames.empty() && frames.back().find(text) != std::string::npos;
    }

protected:
    // Dear ImGui logs the texts it draws while logging is on, and hands the
    // log over when the page's window ends; logging "to the clipboard" with
    // the clipboard pointed at this window captures each frame's texts.
    void renderFrame() override {
        ImGuiIO& io = ImGui::GetIO();
        io.ClipboardUserData = this;
        io.SetClipboardTextFn = [](void* self, const char* text) {
            static_cast<CapturingWindow*>(self)->frames.emplace_back(text);
        };
        ImGui::LogToClipboard();
        if (closeWithNextFrame) glfwSetWindowShouldClose(options->window, GLFW_TRUE);
        closeWithNextFrame = false;
        Window::renderFrame();
        afterFrame(*this);
    }

private:
    bool closeWithNextFrame = false;
};

TEST(WindowOnDisplay, DrawsThePageOfEachPublishedState) {
    RUN_BODY_ON_DISPLAY();
    auto window = std::make_shared<CapturingWindow>();
    window->closeAfterFrames(3);
    window->configure(640, 480, false, "Zarn Firmware Updater 1.0.0");
    window->setState(ControlState{});
    window->afterFrame = [](CapturingWindow& self) {
        // The control thread publishes a usable, out-of-date device.
        if (self.frames.size() == 1) {
            self.setState(deviceState(2, ControlState::OutOfDate, version(0, 9, 2)));
        }
        self.requestRedraw();
    };
    window->run();

    ASSERT_EQ(window->frames.size(), 3u);
    EXPECT_THAT(window->frames[0], HasSubstr(kNote));
    EXPECT_THAT(window->frames[0], HasSubstr("Device status:"));
    EXPECT_THAT(window->frames[0], HasSubstr("Disconnected"));
    EXPECT_THAT(window->frames[0], Not(HasSubstr("Your device")));
    EXPECT_THAT(window->frames[1], HasSubstr("Ready"));
    EXPECT_THAT(window->frames[1], HasSubstr("Your device: Zarn (ZS-1)"));
    EXPECT_THAT(window->frames[1], HasSubstr("Your firmware is out of date"));
    EXPECT_THAT(window->frames[1], HasSubstr("Update firmware to 1.0.0"));
}

TEST(WindowOnDisplay, TheButtonsStartTheUpdateAndReturnToTheStatusPage) {
    RUN_BODY_ON_DISPLAY();
    // A bound on the frames, should a step never come.
    auto window = std::make_shared<CapturingWindow>();
    window->closeAfterFrames(200);
    window->configure(640, 480, false, "Zarn Firmware Updater 1.0.0");
    window->setState(deviceState(2, ControlState::OutOfDate, version(0, 9, 2)));
    int requests = 0;
    window->setUpdateCallback([&] {
        ++requests;
        // The control loop publishes the start of the update; this runs
        // outside the window's lock, or setState would deadlock here.
        ControlState running = deviceState(2, ControlState::Updating, version(0, 9, 2));
        running.progressText = "Writing firmware";
        running.progress = 0.5f;
        window->setState(running);
        return true;
    });

    std::vector<std::string> steps;
    size_t clickedAt = 0;
    window->afterFrame = [&](CapturingWindow& self) {
        self.requestRedraw();  // every frame polled: the test never idles
        const size_t frame = self.frames.size();
        if (clickedAt != 0 && frame < clickedAt + 3) return;  // the click is under way
        // A new window settles its size in its first frames.
        if (steps.empty() && frame >= 3 && self.shows("Update firmware to 1.0.0")) {
            steps.push_back("status");
            clickedAt = frame;
            self.clickLastButton();
        } else if (steps.size() == 1 && self.shows("Writing firmware")) {
            steps.push_back("updating");
            ControlState done = deviceState(3, ControlState::Updating, version(0, 9, 2));
            done.updateResult = ControlState::Succeeded;
            self.setState(done);
        } else if (steps.size() == 2 && self.shows("Update succeeded")) {
            steps.push_back("succeeded");
            clickedAt = frame;
            self.clickLastButton();
        } else if (steps.size() == 3 && self.shows("Device status:")) {
            steps.push_back("status again");
            EXPECT_TRUE(self.shows(kReplug));
            self.close();
        }
    };
    window->run();

    EXPECT_EQ(requests, 1);
    EXPECT_THAT(steps, ElementsAre("status", "updating", "succeeded", "status again"));
}

// A close while the update runs: the update page stays until the update has
// ended, and at most for the window's bound when the sensor never finishes.
TEST(WindowOnDisplay, ClosingDuringAnUpdateKeepsTheUpdatePageUntilItEndsOrTheBoundPasses) {
    RUN_BODY_ON_DISPLAY();
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* name;
        bool updateEnds;
        std::chrono::milliseconds bound;
    };
    for (const Case& c : {Case{"the update ends", true, std::chrono::minutes(1)},
                          Case{"the sensor never finishes", false, std::chrono::milliseconds(300)}}) {
        SCOPED_TRACE(c.name);
        auto window = std::make_shared<CapturingWindow>();
        window->configure(640, 480, false, "Zarn Firmware Updater 1.0.0");
        window->setUpdateCloseBound(c.bound);
        window->setState(deviceState(2, ControlState::OutOfDate, version(0, 9, 2)));
        window->setUpdateCallback([&] {
            ControlState running = deviceState(2, ControlState::Updating, version(0, 9, 2));
            running.progressText = "Writing firmware";
            window->setState(running);
            return true;
        });
        size_t clickedAt = 0;
        size_t closedAt = 0;
        Clock::time_point closedTime;
        bool endPublished = false;
        // The window outlived every bound: the test ends it. Far past the
        // frames and the 300 ms a passing case takes, even on a loaded machine.
        constexpr auto kForcedEnd = std::chrono::seconds(30);
        bool forcedEnd = false;
        auto publishEnd = [&](CapturingWindow& self) {
            ControlState done = deviceState(2, ControlState::Updating, version(0, 9, 2));
            done.progressText = "Writing firmware";  // the last progress stays
            done.updateResult = ControlState::Succeeded;
            self.setState(done);
            endPublished = true;
        };
        window->afterFrame = [&](CapturingWindow& self) {
            self.requestRedraw();
            const size_t frame = self.frames.size();
            if (clickedAt == 0) {
                if (frame >= 3 && self.shows("Update firmware to 1.0.0")) {
                    clickedAt = frame;
                    self.clickLastButton();
                }
            } else if (closedAt == 0) {
                if (self.shows("Writing firmware")) {
                    closedAt = frame;
                    closedTime = Clock::now();
                    self.userCloses();
                }
            } else if (!endPublished && c.updateEnds && frame == closedAt + 5) {
                publishEnd(self);
            } else if (!endPublished && Clock::now() - closedTime > kForcedEnd) {
                forcedEnd = true;
                publishEnd(self);
            }
        };
        window->run();
        const auto closedFor = Clock::now() - closedTime;

        ASSERT_NE(closedAt, 0u);
        EXPECT_FALSE(forcedEnd);
        EXPECT_EQ(endPublished, c.updateEnds);
        // Every frame after the close still showed the update.
        ASSERT_GT(window->frames.size(), closedAt + 1);
        for (size_t k = closedAt; k < window->frames.size(); ++k) {
            EXPECT_THAT(window->frames[k], HasSubstr("Writing firmware")) << k;
        }
        if (c.updateEnds) {
            EXPECT_GT(window->frames.size(), closedAt + 5);
        } else {
            EXPECT_GE(closedFor, c.bound);
        }
    }
}

// The whole window front end over the real control loop, driver and
// simulated sensor: the user updates an out-of-date sensor with two clicks.
TEST(WindowOnDisplay, UpdatingTheSimulatedSensorFromTheWindow) {
    RUN_BODY_ON_DISPLAY();
    // A bound on the frames, should a step never come.
    zarn::testing::setEnvironment("ZARN_SIM_SENSOR", "attached");
    zarn::testing::setEnvironment("ZARN_SIM_FIRMWARE", "0.9.7");
    zarn::testing::setEnvironment("ZARN_SIM_UPDATE", "ok");
    ZarnFirmwareUpdater::attachSensorTransport();
    auto window = std::make_shared<CapturingWindow>();
    window->closeAfterFrames(400);
    auto loop = std::make_shared<ZarnFirmwareUpdater::ControlLoop>(
        ZarnFirmwareUpdater::forwardStateToWindow(std::weak_ptr<CapturingWindow>(window)));
    window->setUpdateCallback(ZarnFirmwareUpdater::requestUpdate(loop));
    window->configure(640, 480, false, "Zarn Firmware Updater 1.0.0");

    std::vector<std::string> steps;
    size_t clickedAt = 0;
    // A bound in time as well: an idle window draws once a second, so the 400
    // frames alone would outlast the test's own limit when a step never comes.
    // The steps take seconds (about thirty under the thread sanitizer on a
    // loaded machine); past the bound the window closes and the test reports
    // the page it was left on.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(75);
    window->afterFrame = [&](CapturingWindow& self) {
        const size_t frame = self.frames.size();
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "no step for too long; the page shows:\n" << self.frames.back();
            self.close();
            return;
        }
        if (clickedAt != 0 && frame < clickedAt + 3) {
            self.requestRedraw();  // the click is under way
            return;
        }
        if (steps.empty() && frame >= 3 && self.shows("Update firmware to 1.0.0")) {
            EXPECT_TRUE(self.shows("Compatible with Plovar SDK (cross-platform) 0.7.3"));
            steps.push_back("out of date");
            clickedAt = frame;
            self.clickLastButton();
            self.requestRedraw();
        } else if (steps.size() == 1 && self.shows("Update succeeded")) {
            steps.push_back("succeeded");
            clickedAt = frame;
            self.clickLastButton();
            self.requestRedraw();
        } else if (steps.size() == 2 && self.shows("Device status:")) {
            // Back on the status page: the sensor is rebooting, or already
            // back with its new firmware.
            if (self.shows(kReplug) || self.shows("Your firmware is up to date")) {
                steps.push_back("status after the update");
                self.close();
            }
        }
    };
    window->run();
    window.reset();
    loop.reset();
    ZarnFirmwareUpdater::detachSensorTransport();

    EXPECT_THAT(steps, ElementsAre("out of date", "succeeded", "status after the update"));
}

// ---------------------------------------------------------------------------
// The program itself, against the simulated sensor.

#ifdef ZARN_UPDATER_PROGRAM

std::string updaterProgram() { return zarn::testing::besideThisExecutable(ZARN_UPDATER_PROGRAM); }

TEST(ProgramOnDisplay, WithoutArgumentsTheWindowOpensAndTheProgramEndsWithZeroWhenClosed) {
    if (ZarnTest::displayLauncher().empty()) {
        GTEST_SKIP() << "needs an X display: neither DISPLAY nor xvfb-run is available";
    }
    // No sensor: the window shows the disconnected status until it is closed.
    const ZarnTest::ChildResult run = ZarnTest::runOnDisplay(
        {updaterProgram()},
        {"ZARN_SIM_CLOSE_AFTER_FRAMES=3", "ZARN_SIM_SENSOR=absent"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_THAT(run.output, HasSubstr("Waiting for device...")) << run.output;
    EXPECT_THAT(run.output, Not(HasSubstr("GLFW error"))) << run.output;
}

TEST(ProgramOnDisplay, ClosingTheWindowWithASensorAttachedShutsTheDriverDownAndEndsWithZero) {
    if (ZarnTest::displayLauncher().empty()) {
        GTEST_SKIP() << "needs an X display: neither DISPLAY nor xvfb-run is available";
    }
    const ZarnTest::ChildResult run = ZarnTest::runOnDisplay(
        {updaterProgram()},
        {"ZARN_SIM_CLOSE_AFTER_FRAMES=4", "ZARN_SIM_SENSOR=attached"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_THAT(run.output, HasSubstr("Waiting for device...")) << run.output;
}

TEST(Program, WithArgumentsRunsInTheConsoleWithoutOpeningAWindow) {
    // Without any display a window could not open: GLFW would end the
    // program with exit code 1.
    const ZarnTest::ChildResult run =
        ZarnTest::runChild({updaterProgram(), "--bogus"}, {"DISPLAY=", "ZARN_SIM_SENSOR=absent"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_THAT(run.output, HasSubstr("ZarnFirmwareUpdater 1.0.0\nUsage:\n")) << run.output;
    EXPECT_THAT(run.output, Not(HasSubstr("GLFW error"))) << run.output;
}

TEST(Program, TheConsolesExitStatusIsTheProgramsExitStatus) {
    const ZarnTest::ChildResult info = ZarnTest::runChild(
        {updaterProgram(), "-i"}, {"DISPLAY=", "ZARN_SIM_SENSOR=attached", "ZARN_SIM_FIRMWARE=0.9.7"});
    EXPECT_EQ(info.exitCode, 0) << info.output;
    EXPECT_THAT(info.output, HasSubstr("Firmware: 0.9.7")) << info.output;

    const ZarnTest::ChildResult failed = ZarnTest::runChild(
        {updaterProgram(), "-u"},
        {"DISPLAY=", "ZARN_SIM_SENSOR=attached", "ZARN_SIM_FIRMWARE=0.9.7", "ZARN_SIM_UPDATE=fail"});
    EXPECT_EQ(failed.exitCode, 1) << failed.output;
    EXPECT_THAT(failed.output, HasSubstr("Update Error Firmware update failed: error")) << failed.output;
}

#endif  // ZARN_UPDATER_PROGRAM

}  // namespace
