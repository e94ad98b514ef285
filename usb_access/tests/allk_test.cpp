// The handle pools and the context: rotation, exhaustion, references, the
// start-up report and concurrent creation.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/tests/fresh_process.h"
#include "platform/tests/start_gate.h"
#include "usb_access/allk.h"

namespace {

std::mutex printedLock;
std::vector<std::string> printed;

void capture(const char* text) {
    std::lock_guard<std::mutex> guard(printedLock);
    printed.emplace_back(text);
}

// The context and the pools' counters live as long as the process: a test
// that needs them as a new process has them runs in a process of its own.
class AllKTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> guard(printedLock);
            printed.clear();
        }
        AllK_SetDebugOutput(capture);
    }
    void TearDown() override { AllK_SetDebugOutput(nullptr); }
};

TEST_F(AllKTest, StartUpReportGivesTheContextAndEveryPoolInOrder) {
    ZARN_RUN_IN_FRESH_PROCESS();
    ASSERT_TRUE(AllK_Init());
    const std::vector<std::string> expected = {
        "\n",
        "AllK required contiguous memory = 534200 (64bit)\n",
        "  8 HotK Handles: HandleSize 2112 PoolSize 16912 (bytes)\n",
        "  64 LstK Handles: HandleSize 64 PoolSize 4112 (bytes)\n",
        "  1024 LstInfoK Handles: HandleSize 64 PoolSize 65552 (bytes)\n",
        "  64 UsbK Handles: HandleSize 96 PoolSize 6160 (bytes)\n",
        "  32 DevK Handles: HandleSize 112 PoolSize 3600 (bytes)\n",
        "  4096 OvlK Handles: HandleSize 104 PoolSize 426000 (bytes)\n",
        "  64 OvlPoolK Handles: HandleSize 96 PoolSize 6160 (bytes)\n",
        "  32 StmK Handles: HandleSize 176 PoolSize 5648 (bytes)\n",
        "\n",
        "Dynamically allocated as needed:\n",
        "\tKLST_DEVINFO = 2596 bytes each\n",
    };
    EXPECT_EQ(printed, expected);
}

TEST_F(AllKTest, TwoThreadsCreatingTheContextAtOnceMakeOne) {
    ZARN_RUN_IN_FRESH_PROCESS();
    StartGate start(2);
    AllK_Context* seen[2] = {nullptr, nullptr};
    BOOL ok[2] = {FALSE, FALSE};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            start.arriveAndWait();
            ok[i] = AllK_Init();
            seen[i] = AllK();
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(ok[0] && ok[1]);
    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
    size_t reports = 0;
    for (const auto& line : printed) reports += line.rfind("AllK required", 0) == 0 ? 1 : 0;
    EXPECT_EQ(reports, 1u);
}

TEST_F(AllKTest, DebugPrintCutsALongTextAt255Characters) {
    const std::string longText(600, 'x');
    AllK_DebugPrint("%s", longText.c_str());
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0], std::string(255, 'x'));
}

TEST_F(AllKTest, FullPoolFailsWith84AndTakesNoSlotUntilOneIsReleased) {
    ZARN_RUN_IN_FRESH_PROCESS();
    std::vector<HotK_Handle*> held;
    for (int i = 0; i < 8; ++i) {
        held.push_back(AllK_AllocHotK());
        ASSERT_NE(held.back(), nullptr);
    }
    SetLastError(0);
    EXPECT_EQ(AllK_AllocHotK(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUT_OF_STRUCTURES));

    EXPECT_FALSE(UsbK_ReleaseHandle(held[3]));  // the last reference frees the slot
    HotK_Handle* again = AllK_AllocHotK();
    EXPECT_EQ(again, held[3]);
}

TEST_F(AllKTest, SlotsAreHandedOutInRotationNotLowestFirst) {
    ZARN_RUN_IN_FRESH_PROCESS();
    UsbK_Handle* first = AllK_AllocUsbK(nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(UsbK_ReleaseHandle(first));
    UsbK_Handle* second = AllK_AllocUsbK(nullptr);
    EXPECT_EQ(second, first + 1);
    EXPECT_TRUE(AllK_InUsbKPool(second));
    EXPECT_FALSE(AllK_InUsbKPool(reinterpret_cast<uint8_t*>(second) - 1000000));
    UsbK_ReleaseHandle(second);
}

TEST_F(AllKTest, TwoThreadsAllocatingFromOnePoolAtOnceNeverShareASlot) {
    ZARN_RUN_IN_FRESH_PROCESS();
    struct Case {
        const char* kind;
        size_t slots;
        void* (*allocate)();
    };
    const Case cases[] = {
        {"UsbK", 64, [] { return static_cast<void*>(AllK_AllocUsbK(nullptr)); }},
        {"LstInfoK", 1024, [] { return static_cast<void*>(AllK_AllocLstInfoK(nullptr)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        // Each thread takes half of the pool at the same moment: every
        // allocation succeeds and no slot is handed out twice.
        StartGate start(2);
        std::vector<void*> taken[2];
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i) {
            threads.emplace_back([&, i] {
                start.arriveAndWait();
                for (size_t n = 0; n < c.slots / 2; ++n) taken[i].push_back(c.allocate());
            });
        }
        for (auto& t : threads) t.join();
        std::set<void*> distinct;
        for (const auto& list : taken) {
            for (void* handle : list) {
                EXPECT_NE(handle, nullptr);
                distinct.insert(handle);
            }
        }
        EXPECT_EQ(distinct.size(), c.slots);
        SetLastError(0);
        EXPECT_EQ(c.allocate(), nullptr);  // the pool is full: nothing was lost either
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUT_OF_STRUCTURES));
        for (void* handle : distinct) UsbK_ReleaseHandle(handle);
    }
}

int cleanupRuns = 0;
BOOL acquiredInCleanup = FALSE;
BOOL acquiredElsewhere = TRUE;

void cleanupThatTriesToAcquire(void* handle) {
    ++cleanupRuns;
    acquiredInCleanup = UsbK_AcquireHandle(handle);
    std::thread other([&] { acquiredElsewhere = UsbK_AcquireHandle(handle); });
    other.join();
}

TEST_F(AllKTest, HandleBeingFreedIsAcquiredOnlyByItsDisposingThread) {
    UsbK_Handle* handle = AllK_AllocUsbK(cleanupThatTriesToAcquire);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(UsbK_AcquireHandle(handle));
    EXPECT_TRUE(UsbK_ReleaseHandle(handle));
    EXPECT_FALSE(UsbK_ReleaseHandle(handle));  // the last one

    EXPECT_EQ(cleanupRuns, 1);
    EXPECT_TRUE(acquiredInCleanup);
    EXPECT_FALSE(acquiredElsewhere);
    EXPECT_EQ(handle->header.refCount.load(), 0);
    // Freed: neither release nor acquire finds it again.
    EXPECT_FALSE(UsbK_ReleaseHandle(handle));
    EXPECT_FALSE(UsbK_AcquireHandle(handle));
    EXPECT_EQ(cleanupRuns, 1);
}

// A handle held at 0 (a device record while its configuration is rebuilt)
// is acquired by no one, however many try at once.
TEST_F(AllKTest, AHandleHeldAtZeroIsAcquiredByNoOneAtOnce) {
    UsbK_Handle* handle = AllK_AllocUsbK(nullptr);
    handle->header.refCount.store(0);
    std::atomic<int> acquired{0};
    std::vector<std::thread> threads(4);
    for (auto& t : threads) {
        t = std::thread([&] { for (int n = 0; n < 100000; ++n) acquired += UsbK_AcquireHandle(handle); });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(acquired.load(), 0);
    handle->header.refCount.store(1);
    UsbK_ReleaseHandle(handle);
}

}  // namespace
