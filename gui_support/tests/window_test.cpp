#include "gui_support/window.h"

#include <GLFW/glfw3.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <imgui_internal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gui_support/tests/display_child.h"

namespace {

using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;

// Set in the child process that runs one display test on a display.
constexpr const char* kChildVariable = "ZARN_WINDOW_TEST_CHILD";

bool inDisplayChild() { return std::getenv(kChildVariable) != nullptr; }

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
    if (!inDisplayChild()) {                                                                \
        if (ZarnTest::displayLauncher().empty()) {                                          \
            GTEST_SKIP() << "needs an X display: neither DISPLAY nor xvfb-run is available"; \
        }                                                                                   \
        runThisTestInDisplayChild();                                                        \
        return;                                                                             \
    }

std::string messageOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(no exception)";
}

constexpr const char* kNotInRenderFrame =
    "Called a window function that may only be called within renderFrame()";

// A window whose frames run a test's code. Records what the loop did.
class ProbeWindow : public GuiSupport::Window {
public:
    std::function<void(ProbeWindow&)> onSetup = [](ProbeWindow&) {};
    std::function<void(ProbeWindow&)> onFrame = [](ProbeWindow&) {};
    int setups = 0;
    int frames = 0;
    int teardowns = 0;
    std::vector<Clock::time_point> frameTimes;

    int32_t& framesToPoll() { return options->framesToPoll; }
    double& idleWaitSeconds() { return options->idleWaitSeconds; }

protected:
    void setup() override {
        ++setups;
        onSetup(*this);
    }
    void renderFrame() override {
        ++frames;
        frameTimes.push_back(Clock::now());
        ImGui::Begin("##probe");
        onFrame(*this);
        ImGui::End();
    }
    void teardown() override { ++teardowns; }
};

// ---------------------------------------------------------------------------
// On a display: the real window and its loop.

TEST(WindowOnDisplay, OpensDrawsAndClosesWithSetupAndTeardownOnce) {
    RUN_BODY_ON_DISPLAY();
    // The library reads nothing from the environment, the old hook's name
    // included: only the count set in code closes the window.
    zarn::testing::setEnvironment("ZARN_WINDOW_CLOSE_AFTER_FRAMES", "1");
    ProbeWindow window;
    window.closeAfterFrames(4);
    window.configure(320, 240, false, "probe");
    int framebufferWidth = 0;
    int framebufferHeight = 0;
    ImVec2 imguiWindowSize;
    window.onFrame = [&](ProbeWindow& self) {
        self.requestRedraw();  // keeps the test from waiting on idle frames
        EXPECT_EQ(&GuiSupport::Window::current(), &self);
        GuiSupport::fitImGuiWindowToFramebuffer();
        framebufferWidth = self.width();
        framebufferHeight = self.height();
        imguiWindowSize = ImGui::GetWindowSize();
        EXPECT_EQ(ImGui::GetWindowPos().x, 0.0f);
        EXPECT_EQ(ImGui::GetWindowPos().y, 0.0f);
        // No settings file is read or written.
        EXPECT_EQ(ImGui::GetIO().IniFilename, nullptr);
    };
    window.run();

    EXPECT_EQ(window.setups, 1);
    EXPECT_EQ(window.frames, 4);
    EXPECT_EQ(window.teardowns, 1);
    EXPECT_EQ(framebufferWidth, 320);
    EXPECT_EQ(framebufferHeight, 240);
    EXPECT_EQ(imguiWindowSize.x, 320.0f);
    EXPECT_EQ(imguiWindowSize.y, 240.0f);
    // After the loop the thread has no current window any more.
    EXPECT_EQ(messageOf([] { GuiSupport::Window::current(); }),
              "There is no current window in this context. Must be called within renderFrame()");

    // A closed window may run again.
    window.closeAfterFrames(2);
    window.run();
    EXPECT_EQ(window.setups, 2);
    EXPECT_EQ(window.frames, 6);
    EXPECT_EQ(window.teardowns, 2);
}

TEST(WindowOnDisplay, RenderFrameOnlyCallsAreRefusedOutsideTheirWindowsLoop) {
    RUN_BODY_ON_DISPLAY();
    ProbeWindow window;
    window.closeAfterFrames(1);
    ProbeWindow other;
    std::string fromSetup;
    std::string currentFromSetup;
    std::string otherFromFrame;
    std::string nested;
    window.onSetup = [&](ProbeWindow& self) {
        // The window becomes current only after setup returns.
        fromSetup = messageOf([&] { self.width(); });
        currentFromSetup = messageOf([] { GuiSupport::Window::current(); });
    };
    window.onFrame = [&](ProbeWindow&) {
        otherFromFrame = messageOf([&] { other.requestRedraw(); });
        nested = messageOf([&] { other.run(); });
    };
    window.run();

    EXPECT_EQ(fromSetup, kNotInRenderFrame);
    EXPECT_EQ(currentFromSetup,
              "There is no current window in this context. Must be called within renderFrame()");
    EXPECT_EQ(otherFromFrame, kNotInRenderFrame);
    EXPECT_EQ(nested, "Running a window within another window is unsupported");
    EXPECT_EQ(other.setups, 0);
    EXPECT_EQ(messageOf([&] { window.height(); }), kNotInRenderFrame);
}

TEST(WindowOnDisplay, AFrameThatThrowsEndsTheRunAndLeavesNoWindowBehind) {
    RUN_BODY_ON_DISPLAY();
    ProbeWindow window;
    window.closeAfterFrames(2);
    window.onFrame = [](ProbeWindow& self) {
        if (self.frames == 1) throw std::logic_error("drawing failed");
    };
    EXPECT_THROW(window.run(), std::logic_error);
    EXPECT_EQ(window.teardowns, 0);
    EXPECT_EQ(messageOf([] { GuiSupport::Window::current(); }),
              "There is no current window in this context. Must be called within renderFrame()");
    // The thread is free for the next window.
    window.run();
    EXPECT_EQ(window.setups, 2);
    EXPECT_EQ(window.frames, 3);
    EXPECT_EQ(window.teardowns, 1);
}

TEST(WindowOnDisplay, RequestRedrawRaisesThePollCountToTwoButNeverLowersIt) {
    RUN_BODY_ON_DISPLAY();
    ProbeWindow window;
    window.closeAfterFrames(1);
    std::vector<int32_t> after;
    window.onFrame = [&](ProbeWindow& self) {
        for (int32_t before : {0, 1, 2, 5}) {
            self.framesToPoll() = before;
            self.requestRedraw();
            after.push_back(self.framesToPoll());
        }
        self.framesToPoll() = 0;
    };
    window.run();
    EXPECT_EQ(after, (std::vector<int32_t>{2, 2, 2, 5}));
}

// The idle loop sleeps on GLFW's one-second event timeout, so this test
// waits that long twice by design.
TEST(WindowOnDisplay, IdleLoopDrawsOnceASecondAndWakesAtOnce_WaitsOnOneSecondTimeout) {
    RUN_BODY_ON_DISPLAY();
    ProbeWindow window;
    window.closeAfterFrames(9);

    std::mutex mutex;
    std::condition_variable changed;
    bool postWanted = false;
    bool done = false;
    // Another thread wakes the loop the way a state change does.
    std::thread poster([&] {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return postWanted || done; });
        if (done) return;
        glfwPostEmptyEvent();
    });

    window.onFrame = [&](ProbeWindow& self) {
        if (self.frames <= 2) {
            // Frames up to 4 are polled; start-up events are over by then.
            self.requestRedraw();
        } else if (self.frames == 5) {
            // Frames 6 and 7 follow without waiting.
            self.requestRedraw();
        } else if (self.frames == 8) {
            // The next wait would last a minute: only the posted event ends it soon.
            self.idleWaitSeconds() = 60.0;
            std::lock_guard<std::mutex> lock(mutex);
            postWanted = true;
            changed.notify_all();
        }
    };
    window.run();
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        changed.notify_all();
    }
    poster.join();

    ASSERT_EQ(window.frameTimes.size(), 9u);
    auto gap = [&](size_t frame) {  // time from frame - 1 to frame (1-based)
        return std::chrono::duration<double>(window.frameTimes[frame - 1] -
                                             window.frameTimes[frame - 2])
            .count();
    };
    // An idle frame adds its wait to its drawing, which a loaded machine
    // stretches by any amount: a wait can only make a gap longer, and how
    // much longer than the wait is the machine's.
    // On a display of the test's own nothing else sends the window an event.
    // A desktop that is always there (Windows, and Wine's) sends it messages
    // of its own now and then, which end a wait early, as any input would:
    // there only the wake-up is judged.
    const bool quietDisplay = !zarn::testing::desktopAlwaysPresent();
    // Frame 5 is the first one that waits for an event that never comes, for
    // its second; frame 8 waits again.
    if (quietDisplay) {
        EXPECT_GT(gap(5), 0.95);
        EXPECT_GT(gap(8), 0.95);
    }
    // Frame 9 is woken by the posted empty event, where the wait without it
    // would last its minute: half of that lies far from both.
    EXPECT_LT(gap(9), 30.0);
}

// ---------------------------------------------------------------------------
// Without a display.

TEST(WindowWithoutDisplay, CurrentOutsideAnyLoopThrows) {
    EXPECT_EQ(messageOf([] { GuiSupport::Window::current(); }),
              "There is no current window in this context. Must be called within renderFrame()");
}

TEST(WindowWithoutDisplay, GlfwErrorEndsTheProcessWithCodeOne) {
    EXPECT_EXIT(GuiSupport::onGlfwError(65544, "X11: The DISPLAY environment variable is missing"),
                ::testing::ExitedWithCode(1),
                "^GLFW error 65544: X11: The DISPLAY environment variable is missing\n$");
}

TEST(WindowWithoutDisplay, BackgroundColourIsStoredAndStartsTransparentBlack) {
    const ImVec4 initial = GuiSupport::backgroundColour();
    EXPECT_EQ(initial.x, 0.0f);
    EXPECT_EQ(initial.w, 0.0f);
    GuiSupport::setBackgroundColour(ImVec4(0.1f, 0.2f, 0.3f, 1.0f));
    const ImVec4 stored = GuiSupport::backgroundColour();
    EXPECT_EQ(stored.x, 0.1f);
    EXPECT_EQ(stored.y, 0.2f);
    EXPECT_EQ(stored.z, 0.3f);
    EXPECT_EQ(stored.w, 1.0f);
    GuiSupport::setBackgroundColour(initial);
}

// Dear ImGui runs without a window when the fonts are built and a display
// size is given; what it lays out can be read back.
class HeadlessImGui : public ::testing::Test {
protected:
    void SetUp() override {
        ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        io.DisplaySize = ImVec2(300.0f, 400.0f);
        io.DeltaTime = 1.0f / 60.0f;
        unsigned char* pixels = nullptr;
        int width = 0;
        int height = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
        ImGui::NewFrame();
        ImGui::SetNextWindowPos(ImVec2(0, 0));
        ImGui::SetNextWindowSize(ImVec2(300.0f, 400.0f));
        ImGui::Begin("##text");
    }
    void TearDown() override {
        ImGui::End();
        ImGui::EndFrame();
        ImGui::DestroyContext();
    }
    static std::string longText() {
        return "A line of text long enough that a window three hundred pixels wide "
               "cannot hold it on one line, so it has to wrap several times over.";
    }
};

TEST_F(HeadlessImGui, ColouredTextWrapsAtTheWindowEdgeAndRestoresTheStyle) {
    const float lineHeight = ImGui::GetTextLineHeight();
    ImGuiWindow* window = ImGui::GetCurrentWindow();
    const int colours = ImGui::GetCurrentContext()->ColorStack.Size;

    GuiSupport::TextColoredWrapped(ImVec4(1, 0, 0, 1), "%s", longText().c_str());
    EXPECT_GT(ImGui::GetItemRectSize().y, 2.5f * lineHeight);
    EXPECT_LE(ImGui::GetItemRectMax().x, 300.0f);
    EXPECT_LT(window->DC.TextWrapPos, 0.0f);
    EXPECT_EQ(ImGui::GetCurrentContext()->ColorStack.Size, colours);
    // The vertices drawn for the text carry the colour given.
    ImDrawList* drawList = window->DrawList;
    ASSERT_GT(drawList->VtxBuffer.Size, 0);
    EXPECT_EQ(drawList->VtxBuffer.back().col, ImGui::GetColorU32(ImVec4(1, 0, 0, 1)));
}

TEST_F(HeadlessImGui, ColouredTextKeepsAWrapPositionTheCallerPushed) {
    const float lineHeight = ImGui::GetTextLineHeight();
    ImGui::PushTextWrapPos(ImGui::GetCursorPos().x + 100.0f);
    GuiSupport::TextColoredWrapped(ImVec4(0, 1, 0, 1), "%s", "short words wrapped narrowly here");
    const float narrowHeight = ImGui::GetItemRectSize().y;
    ImGui::PopTextWrapPos();
    EXPECT_GT(narrowHeight, 1.5f * lineHeight);
    EXPECT_LE(ImGui::GetItemRectSize().x, 100.5f);

    GuiSupport::TextColoredWrapped(ImVec4(0, 1, 0, 1), "%s", "short words wrapped narrowly here");
    EXPECT_LT(ImGui::GetItemRectSize().y, 1.5f * lineHeight);
}

TEST_F(HeadlessImGui, ColouredTextFormatsItsArguments) {
    GuiSupport::TextColoredWrapped(ImVec4(1, 1, 0, 1), "%d%% of %s", 42, "the firmware");
    // Width of the formatted text, not of the format.
    EXPECT_FLOAT_EQ(ImGui::GetItemRectSize().x, ImGui::CalcTextSize("42% of the firmware").x);
}

}  // namespace
