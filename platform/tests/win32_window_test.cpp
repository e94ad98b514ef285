// The hidden-window interface as the hot-plug monitor uses it: a window on a
// thread of its own with a message loop, driven from other threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32_window.h"

namespace {

constexpr UINT kAsk = WM_USER + 1;
constexpr UINT kPostQuit = WM_USER + 2;
constexpr UINT kArmTimer = WM_USER + 3;
constexpr UINT kSendBack = WM_USER + 4;

// What the test window's procedure saw, from its own thread.
struct Seen {
    std::mutex mutex;
    std::vector<UINT> messages;
    std::thread::id procThread;
    std::promise<void> timerFired;
    int timerCount = 0;
    HWND sendBackTo = nullptr;
    std::thread::id testThread = std::this_thread::get_id();
};
Seen* seen = nullptr;

LRESULT testProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard<std::mutex> lock(seen->mutex);
        seen->messages.push_back(message);
        seen->procThread = std::this_thread::get_id();
    }
    switch (message) {
        case kAsk:
            return static_cast<LRESULT>(wParam + static_cast<WPARAM>(lParam));
        case WM_DESTROY:
            // A loop thread ends with its window; the test's own thread runs no loop.
            if (std::this_thread::get_id() != seen->testThread) PostQuitMessage(9);
            return 0;
        case kPostQuit:
            PostQuitMessage(static_cast<int>(wParam));
            return 0;
        case kArmTimer:
            SetTimer(window, 7, 1, nullptr);
            return 0;
        case kSendBack:
            // Sending to the thread that is itself waiting for this answer.
            return SendMessageA(seen->sendBackTo, kAsk, 40, 2);
        case WM_TIMER:
            if (wParam == 7) {
                KillTimer(window, 7);
                std::lock_guard<std::mutex> lock(seen->mutex);
                if (++seen->timerCount == 1) seen->timerFired.set_value();
            }
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        seen = &seen_;
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = testProc;
        wc.lpszClassName = kClass;
        ASSERT_NE(RegisterClassExA(&wc), 0);
    }
    void TearDown() override {
        stopThread();
        EXPECT_TRUE(UnregisterClassA(kClass, nullptr));
        seen = nullptr;
    }

    // Starts a thread that creates a window named `name` and runs its loop.
    HWND startThread(const char* name) {
        std::promise<HWND> created;
        auto future = created.get_future();
        thread_ = std::thread([this, name, &created] {
            HWND window = CreateWindowExA(0, kClass, name, 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
            created.set_value(window);
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            exitCode_ = static_cast<int>(msg.wParam);
        });
        return future.get();
    }
    void stopThread() {
        if (thread_.joinable()) thread_.join();
    }

    static constexpr const char* kClass = "WindowTestClass";
    Seen seen_;
    std::thread thread_;
    std::atomic<int> exitCode_{-1};
};

TEST_F(WindowTest, SentMessageIsHandledOnTheWindowsThreadBeforeTheSenderGoesOn) {
    HWND window = startThread("one");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageA(window, kAsk, 40, 2), 42);
    {
        std::lock_guard<std::mutex> lock(seen_.mutex);
        EXPECT_EQ(seen_.procThread, thread_.get_id());
        EXPECT_EQ(seen_.messages.back(), kAsk);
    }
    // A sender that is asked something by the window while it waits answers it.
    HWND mine = CreateWindowExA(0, kClass, "mine", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(mine, nullptr);
    seen_.sendBackTo = mine;
    EXPECT_EQ(SendMessageA(window, kSendBack, 0, 0), 42);
    EXPECT_TRUE(DestroyWindow(mine));

    EXPECT_TRUE(PostMessageA(window, kPostQuit, 3, 0));
    stopThread();
    EXPECT_EQ(exitCode_, 3);
}

TEST_F(WindowTest, TimerArrivesAsWmTimerAndStopsWhenKilled) {
    HWND window = startThread("timer");
    ASSERT_NE(window, nullptr);
    auto fired = seen_.timerFired.get_future();
    EXPECT_TRUE(PostMessageA(window, kArmTimer, 0, 0));
    ASSERT_EQ(fired.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    // Handled after the timer would have fired many times more if it were alive.
    SetTimer(window, 8, 20, nullptr);  // on a foreign thread's window: still that window's timer
    EXPECT_EQ(SendMessageA(window, kAsk, 1, 1), 2);
    EXPECT_TRUE(KillTimer(window, 8));
    EXPECT_FALSE(KillTimer(window, 7));  // already killed by the procedure
    EXPECT_TRUE(PostMessageA(window, kPostQuit, 0, 0));
    stopThread();
    std::lock_guard<std::mutex> lock(seen_.mutex);
    EXPECT_EQ(seen_.timerCount, 1);
}

TEST_F(WindowTest, WindowsGoWithTheirThreadAndLateMessagesFail) {
    HWND window = startThread("leaving");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(FindWindowA(kClass, "LEAVING"), window);  // names compare without regard to case
    EXPECT_EQ(FindWindowA(kClass, "other"), nullptr);
    EXPECT_TRUE(PostMessageA(window, kPostQuit, 0, 0));
    stopThread();

    EXPECT_EQ(FindWindowA(kClass, "leaving"), nullptr);
    EXPECT_FALSE(IsWindow(window));
    SetLastError(0);
    EXPECT_EQ(SendMessageA(window, kAsk, 1, 1), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostMessageA(window, kAsk, 0, 0));
    EXPECT_FALSE(DestroyWindow(window));
}

TEST_F(WindowTest, TimedSendIsWithdrawnFromAThreadThatDoesNotAnswer) {
    // A window on the test's own thread, which runs no loop while it waits.
    HWND silent = CreateWindowExA(0, kClass, "silent", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(silent, nullptr);
    std::thread sender([&] {
        DWORD_PTR result = 99;
        EXPECT_EQ(SendMessageTimeoutA(silent, kAsk, 1, 1, SMTO_ABORTIFHUNG, 50, &result), 0);
        EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
        EXPECT_EQ(result, 0u);
    });
    sender.join();
    // The withdrawn message is not handled later.
    EXPECT_TRUE(PostMessageA(silent, WM_USER + 9, 0, 0));
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_USER + 9u);
    {
        std::lock_guard<std::mutex> lock(seen_.mutex);
        EXPECT_EQ(std::count(seen_.messages.begin(), seen_.messages.end(), kAsk), 0);
    }
    EXPECT_TRUE(DestroyWindow(silent));
}

TEST_F(WindowTest, DestroyWindowRunsDestroyOnItsOwnThreadOnly) {
    HWND window = startThread("destroy");
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(DestroyWindow(window));  // not the window's thread
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(SendMessageA(window, WM_CLOSE, 0, 0), 0);  // the default procedure destroys it
    EXPECT_FALSE(IsWindow(window));
    {
        std::lock_guard<std::mutex> lock(seen_.mutex);
        ASSERT_GE(seen_.messages.size(), 3u);
        EXPECT_EQ(seen_.messages[seen_.messages.size() - 2], WM_DESTROY);
        EXPECT_EQ(seen_.messages.back(), WM_NCDESTROY);
    }
    EXPECT_TRUE(PostMessageA(nullptr, WM_USER, 0, 0));  // a thread message to the test thread itself
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_USER);
    stopThread();  // its procedure ended the loop on WM_DESTROY
    EXPECT_EQ(exitCode_, 9);
}

TEST_F(WindowTest, ClassAndWindowErrorsSetTheirLastError) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = testProc;
    wc.lpszClassName = "windowtestclass";  // class names compare without regard to case
    HWND window = CreateWindowExA(0, kClass, "w", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    struct Case {
        const char* what;
        std::function<bool()> call;  // true when the call succeeded
        DWORD error;
        DWORD alsoAccepted = 0;  // what a Windows-compatible runtime answers instead
    };
#ifdef _WIN32
    // Windows documents ERROR_CANNOT_FIND_WND_CLASS; the compatibility layer
    // the Windows build is tested on answers ERROR_CLASS_DOES_NOT_EXIST.
    constexpr DWORD kUnknownClassToo = ERROR_CLASS_DOES_NOT_EXIST;
#else
    constexpr DWORD kUnknownClassToo = ERROR_CANNOT_FIND_WND_CLASS;
#endif
    const Case cases[] = {
        {"register twice", [&] { return RegisterClassExA(&wc) != 0; }, ERROR_CLASS_ALREADY_EXISTS},
        {"unknown class",
         [] { return CreateWindowExA(0, "nope", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr) != nullptr; },
         ERROR_CANNOT_FIND_WND_CLASS, kUnknownClassToo},
        {"unregister unknown", [] { return UnregisterClassA("nope", nullptr) != 0; }, ERROR_CLASS_DOES_NOT_EXIST},
        {"unregister with a window", [] { return UnregisterClassA(kClass, nullptr) != 0; }, ERROR_CLASS_HAS_WINDOWS},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.what;
        const DWORD error = GetLastError();
        EXPECT_TRUE(error == c.error || (c.alsoAccepted != 0 && error == c.alsoAccepted)) << c.what << ": " << error;
    }
    EXPECT_TRUE(DestroyWindow(window));
}

}  // namespace
