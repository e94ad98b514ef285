// Support for one-window tools: an OpenGL window with Dear ImGui on it and a
// frame loop that redraws a few frames after each event and otherwise sleeps
// until the next event, or for at most one second.
//
// A tool derives from GuiSupport::Window, draws its frame in renderFrame()
// with Dear ImGui calls, and calls run() on the thread that owns the window.
// Another thread that changed what the window shows wakes the loop with
// glfwPostEmptyEvent().
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <imgui.h>

struct GLFWwindow;

namespace GuiSupport {

class Window {
public:
    struct Options {
        GLFWwindow* window = nullptr;  // null until run() creates it
        int32_t framesToPoll = 0;      // frames still drawn without waiting for an event
        int32_t width = 640;           // size asked for at creation, in screen coordinates
        int32_t height = 480;
        bool maximized = false;
        std::string title = "untitled";
        int32_t closeAfterFrames = 0;  // see closeAfterFrames(); 0: never
        double idleWaitSeconds = 1.0;  // the longest sleep between events
    };

    // The first window of the process initialises GLFW (once per process).
    Window();
    virtual ~Window();

    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Takes effect at the next run().
    void configure(int width, int height, bool maximized, const std::string& title);
    // From the next run() on, the close comes with the events of the
    // frames-th frame, exactly as if the user had closed the window then
    // (renderFrame sees it and may keep the window open). 0: never. Tests and
    // the program on its simulated sensor run the real window for a bounded
    // time with it; it is set in code, never read from the environment.
    void closeAfterFrames(int32_t frames);

    // Opens the window, calls setup(), draws frames until the window is
    // closed, calls teardown() and destroys the window. May be called again
    // afterwards, but never from inside another window's loop on this thread.
    void run();

    // The window whose loop runs on the calling thread. Throws
    // std::runtime_error when there is none.
    static Window& current();

    // The functions below may only be called on the calling thread's current
    // window (so from inside renderFrame); anywhere else they throw
    // std::runtime_error.

    // Draws at least two more frames without waiting for input, so a change
    // made in this frame shows in the next.
    void requestRedraw();
    // Framebuffer size in pixels.
    int width() const;
    int height() const;

protected:
    // Called once after the window and Dear ImGui are ready, before the first
    // frame; the window is not yet current here.
    virtual void setup() = 0;
    // Draws one frame.
    virtual void renderFrame() = 0;
    // Called once after the loop ends, before the window is destroyed.
    virtual void teardown() = 0;

    // The window's settings and loop counters; derived tools read them.
    std::unique_ptr<Options> options;

private:
    void requireCurrent() const;
};

// Places the current Dear ImGui window at (0, 0) and sizes it to the
// framebuffer of Window::current(); only inside renderFrame.
void fitImGuiWindowToFramebuffer();

// Text in the given colour, wrapped at the right edge of the window unless a
// wrap position is already pushed.
void TextColoredWrapped(const ImVec4& colour, const char* fmt, ...) IM_FMTARGS(2);

// GLFW's error callback: "GLFW error %d: %s" on standard error, then the
// process ends with exit code 1. A window tool cannot go on without its window.
void onGlfwError(int code, const char* description);

// The program's background colour, which the frame loop clears the
// framebuffer with before Dear ImGui draws (transparent black until set).
void setBackgroundColour(const ImVec4& colour);
ImVec4 backgroundColour();

}  // namespace GuiSupport
