// The updater's window front end: one full-window page that shows the state
// the control loop publishes. The status page shows the device's status and
// identity, the verdict on its firmware and, where an update is possible, the
// button that starts it; during the update the page shows the progress, and
// afterwards the outcome with an OK button.
//
// What a page shows is worked out as a Page (a list of items: texts, their
// colours, the button) from the published state, and drawn by a thin layer of
// Dear ImGui calls. The pages follow one another through pageAfterFrame.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/control_loop.h"
#include "gui_support/window.h"

namespace ZarnFirmwareUpdater {

enum UiMode : int32_t {
    StatusPage = 0,
    UpdatingPage = 1,
    SucceededPage = 2,
    FailedPage = 3,
};

enum class TextColour { Default, Red, Green, Yellow };

// The RGBA value of a colour of the page (Default: the style's text colour,
// returned as grey).
ImVec4 colourValue(TextColour colour);

// One thing drawn on a page, top to bottom.
struct PageItem {
    enum Kind {
        Text,          // one line (ImGui::Text)
        WrappedText,   // wrapped at the window edge (ImGui::TextWrapped)
        ColouredText,  // coloured and wrapped (TextColoredWrapped)
        NewLine,       // an empty line
        SameLine,      // the next item continues this line
        ProgressBar,   // full width, filled to `fraction`
        Button,        // the page's one button, labelled `text`
    };
    Kind kind = Text;
    std::string text;
    TextColour colour = TextColour::Default;
    float fraction = 0.0f;

    friend bool operator==(const PageItem&, const PageItem&) = default;
};

struct Page {
    std::string windowName;  // the Dear ImGui window the page is drawn in
    std::vector<PageItem> items;
};

// What page uiMode shows for state.
Page describePage(int32_t uiMode, const ControlState& state);

// The page to show after a frame of page uiMode that drew state.
// buttonPressed: the page's button was pressed in that frame; on the status
// page that calls request, and the update page follows when it accepts.
// updateStartSeen: a state of the update asked for last (updateResult None)
// has arrived since the request; until then the update page does not read
// the outcome, which may still be that of an earlier update.
int32_t pageAfterFrame(int32_t uiMode, const ControlState& state, bool updateStartSeen,
                       bool buttonPressed, const std::function<bool()>& request);

// A close asked for while an update runs waits for the update's end at most
// this long: the sensor may never send its final reply.
constexpr std::chrono::seconds kUpdateCloseBound{120};

class Window : public GuiSupport::Window {
public:
    Window();
    ~Window() override;

    // Stores a copy of the state and wakes the frame loop to draw it. Called
    // from the control thread and from the driver's progress thread.
    void setState(const ControlState& state);

    // How the status page's button asks for an update. Until one is set, the
    // request is refused.
    void setUpdateCallback(std::function<bool()> request);

protected:
    // Dark style, square full-window pages, grey borders and title.
    void setup() override;
    void renderFrame() override;
    void teardown() override;

    // How long a close during an update waits for the update to end.
    std::chrono::milliseconds updateCloseBound = kUpdateCloseBound;

private:
    // Draws the page; true when its button was pressed.
    static bool drawPage(const Page& page);
    // Calls the update request without holding the window's lock.
    bool requestUpdate();
    // Keeps the window open on the update page while an update runs: a
    // close is remembered and carried out once the update has ended, or
    // once updateCloseBound has passed.
    void holdCloseWhileUpdating();

    int32_t uiMode = StatusPage;  // main thread only
    // A close asked for during an update, and when (main thread only).
    bool closeRequested = false;
    std::chrono::steady_clock::time_point closeRequestedAt;
    std::mutex mutex;             // guards the fields below
    ControlState state;
    std::function<bool()> updateRequest = [] { return false; };
    bool updateStartSeen = true;
};

}  // namespace ZarnFirmwareUpdater
