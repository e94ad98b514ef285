// The Win32 subset the USB access layer calls directly: events and waits,
// per-thread last error, heaps and module look-ups. On Windows these are the
// system's own functions; the same expectations hold for our stand-ins.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/win32.h"

namespace {

TEST(Win32Events, WaitsFollowResetModeAndState) {
    struct Case {
        const char* name;
        BOOL manualReset;
        BOOL initial;
        DWORD firstWait;
        DWORD secondWait;
    };
    const Case cases[] = {
        {"auto-reset, set", FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {"manual-reset, set", TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {"not set", TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE event = CreateEventA(nullptr, c.manualReset, c.initial, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(WaitForSingleObject(event, 0), c.firstWait);
        EXPECT_EQ(WaitForSingleObject(event, 1), c.secondWait);
        EXPECT_TRUE(CloseHandle(event));
    }
}

TEST(Win32Events, WaitForAnyReportsTheLowestSignalledAndAnotherThreadWakesIt) {
    HANDLE events[3] = {CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, TRUE, nullptr),
                        CreateEventA(nullptr, TRUE, TRUE, nullptr)};
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    ResetEvent(events[1]);
    ResetEvent(events[2]);
    std::thread setter([&] { SetEvent(events[0]); });
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0);
    setter.join();
    for (HANDLE e : events) CloseHandle(e);
}

TEST(Win32Handles, ClosedOrUnknownHandleIsInvalid) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Win32LastError, IsKeptPerThread) {
    std::atomic<bool> go{false};
    std::atomic<bool> set{false};
    DWORD other = 1;
    std::thread t([&] {
        while (!go.load()) {
        }
        SetLastError(ERROR_MORE_DATA);
        other = GetLastError();
        set.store(true);
    });
    // Set after the thread was started and read before joining: starting and
    // joining a thread are system calls that may leave their own last error.
    SetLastError(ERROR_SEM_TIMEOUT);
    go.store(true);
    while (!set.load()) {
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    t.join();
    EXPECT_EQ(other, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_NE(GetCurrentThreadId(), 0u);
}

TEST(Win32Heaps, ZeroedBlocksAndPrivateHeapsFreeEverythingOnDestroy) {
    HANDLE heap = HeapCreate(HEAP_NO_SERIALIZE, 16 * 1024, 0);
    ASSERT_NE(heap, nullptr);
    auto* block = static_cast<uint8_t*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 300));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(block[i], 0) << i;
    EXPECT_NE(HeapAlloc(heap, 0, 10), nullptr);  // left for HeapDestroy
    EXPECT_TRUE(HeapFree(heap, 0, block));
    EXPECT_TRUE(HeapDestroy(heap));
}

TEST(Win32Modules, KernelModuleIsFoundAndAnUnknownLibraryIsNot) {
    EXPECT_NE(GetModuleHandleA("kernel32"), nullptr);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryExA("no-such-library-zarn.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace
