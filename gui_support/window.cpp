#include "gui_support/window.h"

// GLEW must come before any other OpenGL header.
#include <GL/glew.h>
#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <imgui_internal.h>

#include <cstdarg>
#include <mutex>
#include <stdexcept>

#include "gui_support/command_line.h"
#include "gui_support/process_end.h"

namespace GuiSupport {

namespace {

// The window whose loop runs on this thread, or null.
thread_local Window* currentWindow = nullptr;

std::once_flag glfwStarted;

std::mutex backgroundMutex;
ImVec4 background{0.0f, 0.0f, 0.0f, 0.0f};

// Clears the thread's current window on every way out of the loop, so that a
// renderFrame that throws does not leave a dangling current window behind.
class CurrentWindowScope {
public:
    explicit CurrentWindowScope(Window* window) { currentWindow = window; }
    ~CurrentWindowScope() { currentWindow = nullptr; }
    CurrentWindowScope(const CurrentWindowScope&) = delete;
    CurrentWindowScope& operator=(const CurrentWindowScope&) = delete;
};

// The GLFW window of one run and the Dear ImGui set-up on it, released on
// every way out of the run. Each run sets Dear ImGui up afresh on its new
// window, so this one's back-ends and context go with the window (the
// back-ends refuse a second set-up while the first is still in place).
class RunResources {
public:
    explicit RunResources(Window::Options& options) : options(options) {}
    ~RunResources() {
        if (imguiReady) {
            ImGui_ImplOpenGL3_Shutdown();
            ImGui_ImplGlfw_Shutdown();
            ImGui::DestroyContext();
        }
        if (options.window != nullptr) glfwDestroyWindow(options.window);
        options.window = nullptr;
    }
    RunResources(const RunResources&) = delete;
    RunResources& operator=(const RunResources&) = delete;

    bool imguiReady = false;

private:
    Window::Options& options;
};

}  // namespace

Window::Window() {
    std::call_once(glfwStarted, [] {
        glfwSetErrorCallback(onGlfwError);
        // Any failure reaches onGlfwError, so the result needs no check here.
        glfwInit();
    });
    options = std::make_unique<Options>();
}

Window::~Window() = default;

void Window::configure(int width, int height, bool maximized, const std::string& title) {
    options->width = width;
    options->height = height;
    options->maximized = maximized;
    options->title = title;
}

void Window::closeAfterFrames(int32_t frames) { options->closeAfterFrames = frames > 0 ? frames : 0; }

void Window::run() {
    if (currentWindow != nullptr) {
        throw std::runtime_error("Running a window within another window is unsupported");
    }

    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, 1);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_MAXIMIZED, options->maximized ? 1 : 0);
    glfwWindowHint(GLFW_COCOA_RETINA_FRAMEBUFFER, 1);

    RunResources resources(*options);
    options->window = glfwCreateWindow(options->width, options->height, options->title.c_str(),
                                       nullptr, nullptr);
    // A failed creation has already ended the process through onGlfwError.
    GLFWwindow* window = options->window;
    glfwMakeContextCurrent(window);
    glfwSwapInterval(1);
    // Our own drawing needs no extension beyond the core profile, so a
    // partial GLEW set-up does not stop the tool.
    glewInit();

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGui_ImplOpenGL3_Init("#version 330");
    ImGui_ImplGlfw_InitForOpenGL(window, true);
    resources.imguiReady = true;
    // The layout of a tool's window is its own: no settings file is read or written.
    ImGui::GetIO().IniFilename = nullptr;

    setup();
    {
        CurrentWindowScope scope(this);
        options->framesToPoll = 2;
        const int32_t closeAfterFrames = options->closeAfterFrames;
        int32_t framesDrawn = 0;

        while (!glfwWindowShouldClose(window)) {
            if (options->framesToPoll > 0) {
                --options->framesToPoll;
                glfwPollEvents();
            } else {
                glfwWaitEventsTimeout(options->idleWaitSeconds);
            }
            // With this frame's events, where a user's close comes too.
            if (closeAfterFrames > 0 && framesDrawn + 1 >= closeAfterFrames) {
                glfwSetWindowShouldClose(window, GLFW_TRUE);
            }

            ImGui_ImplOpenGL3_NewFrame();
            ImGui_ImplGlfw_NewFrame();
            ImGui::NewFrame();
            renderFrame();
            ImGui::Render();

            int framebufferWidth = 0;
            int framebufferHeight = 0;
            glfwGetFramebufferSize(window, &framebufferWidth, &framebufferHeight);
            glViewport(0, 0, framebufferWidth, framebufferHeight);
            const ImVec4 clear = backgroundColour();
            glClearColor(clear.x, clear.y, clear.z, clear.w);
            glClear(GL_COLOR_BUFFER_BIT);
            ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
            glfwSwapBuffers(window);
            ++framesDrawn;
        }
    }
    teardown();
}

Window& Window::current() {
    if (currentWindow == nullptr) {
        throw std::runtime_error(
            "There is no current window in this context. Must be called within renderFrame()");
    }
    return *currentWindow;
}

void Window::requireCurrent() const {
    if (currentWindow != this) {
        throw std::runtime_error(
            "Called a window function that may only be called within renderFrame()");
    }
}

void Window::requestRedraw() {
    requireCurrent();
    if (options->framesToPoll < 2) options->framesToPoll = 2;
}

int Window::width() const {
    requireCurrent();
    int framebufferWidth = 0;
    glfwGetFramebufferSize(options->window, &framebufferWidth, nullptr);
    return framebufferWidth;
}

int Window::height() const {
    requireCurrent();
    int framebufferHeight = 0;
    glfwGetFramebufferSize(options->window, nullptr, &framebufferHeight);
    return framebufferHeight;
}

void fitImGuiWindowToFramebuffer() {
    Window& window = Window::current();
    const ImVec2 position(0.0f, 0.0f);
    const ImVec2 size(static_cast<float>(window.width()), static_cast<float>(window.height()));
    const ImVec2 currentPosition = ImGui::GetWindowPos();
    if (currentPosition.x != position.x || currentPosition.y != position.y) {
        ImGui::SetWindowPos(position);
    }
    const ImVec2 currentSize = ImGui::GetWindowSize();
    if (currentSize.x != size.x || currentSize.y != size.y) {
        ImGui::SetWindowSize(size);
    }
}

void TextColoredWrapped(const ImVec4& colour, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    ImGui::PushStyleColor(ImGuiCol_Text, colour);
    // A negative wrap position means no caller pushed one: wrap at the
    // window's right edge (position 0).
    const bool pushWrap = ImGui::GetCurrentWindow()->DC.TextWrapPos < 0.0f;
    if (pushWrap) ImGui::PushTextWrapPos(0.0f);
    ImGui::TextV(fmt, args);
    if (pushWrap) ImGui::PopTextWrapPos();
    ImGui::PopStyleColor();
    va_end(args);
}

void onGlfwError(int code, const char* description) {
    CliSupport::printErr("GLFW error %d: %s", code, description != nullptr ? description : "");
    // GLFW reports on the thread that called it, at any point of the run:
    // before the window exists, inside the frame loop, or from another
    // thread's wake-up, with the control and driver threads running.
    endProcess(1);
}

void setBackgroundColour(const ImVec4& colour) {
    std::lock_guard<std::mutex> lock(backgroundMutex);
    background = colour;
}

ImVec4 backgroundColour() {
    std::lock_guard<std::mutex> lock(backgroundMutex);
    return background;
}

}  // namespace GuiSupport
