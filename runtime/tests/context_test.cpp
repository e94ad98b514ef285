// Driver context: get-or-create, lookup, fixed and dynamic keys, destruction
// order, and the per-thread current context.
#include "runtime/context.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/tests/start_gate.h"
#include "runtime/os_layer.h"

namespace {

using morv::driver::Context;
using morv::driver::ScopedThreadContext;

// Dynamic keys: tags owned by this test, outside the fixed array.
const unsigned char kDynamicTagA = 0;
const unsigned char kDynamicTagB = 0;

std::atomic<int> gConstructed{0};

void* countingConstructor(void*) {
    gConstructed.fetch_add(1);
    return new int(42);
}

// Widens the window in which a second caller could slip past the empty check.
void* slowCountingConstructor(void*) {
    gConstructed.fetch_add(1);
    for (int i = 0; i < 50; ++i) std::this_thread::yield();
    return new int(7);
}

void* nullConstructor(void*) { return nullptr; }

void* throwingConstructor(void*) { throw std::logic_error("constructor failed"); }

void deleteInt(void* object) { delete static_cast<int*>(object); }

// Each object is an int holding its own label; the deleter records the label.
std::mutex gDeletedMutex;
std::vector<int> gDeleted;

void recordingDeleter(void* object) {
    auto* value = static_cast<int*>(object);
    {
        std::lock_guard<std::mutex> guard(gDeletedMutex);
        gDeleted.push_back(*value);
    }
    delete value;
}

int gNextLabel = 0;
void* labelledConstructor(void*) { return new int(gNextLabel); }

class ContextTest : public ::testing::Test {
protected:
    void SetUp() override {
        gConstructed = 0;
        std::lock_guard<std::mutex> guard(gDeletedMutex);
        gDeleted.clear();
    }
    std::shared_ptr<Context> context_ = std::make_shared<Context>();
};

TEST_F(ContextTest, GetOrCreateRunsTheConstructorOncePerKey) {
    for (PZContextSlotKey key : {PZContext_FixedKey(PZ_SLOT_SYSTEM), PZContextSlotKey(&kDynamicTagA)}) {
        gConstructed = 0;
        void* first = PZContext_GetSlot(context_.get(), key, countingConstructor, nullptr, deleteInt);
        void* second = PZContext_GetSlot(context_.get(), key, countingConstructor, nullptr, deleteInt);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first, second);
        EXPECT_EQ(gConstructed.load(), 1);
        EXPECT_EQ(PZContext_FindSlot(context_.get(), key), first);
    }
    // Another context has slots of its own.
    auto other = std::make_shared<Context>();
    void* elsewhere =
        PZContext_GetSlot(other.get(), PZContext_FixedKey(PZ_SLOT_SYSTEM), countingConstructor, nullptr, deleteInt);
    EXPECT_NE(elsewhere, PZContext_FindSlot(context_.get(), PZContext_FixedKey(PZ_SLOT_SYSTEM)));
}

TEST_F(ContextTest, ConcurrentGetOrCreateConstructsOnceAndSharesTheObject) {
    constexpr int kThreads = 16;
    for (PZContextSlotKey key : {PZContext_FixedKey(PZ_SLOT_CONN_LYR), PZContextSlotKey(&kDynamicTagB)}) {
        gConstructed = 0;
        StartGate start(kThreads);
        std::vector<void*> results(kThreads, nullptr);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                start.arriveAndWait();
                results[i] = PZContext_GetSlot(context_.get(), key, slowCountingConstructor, nullptr, deleteInt);
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(gConstructed.load(), 1);
        for (void* result : results) EXPECT_EQ(result, results[0]);
        EXPECT_NE(results[0], nullptr);
    }
}

TEST_F(ContextTest, NullConstructorRaisesAndALaterCallConstructsAgain) {
    for (PZContextSlotKey key : {PZContext_FixedKey(PZ_SLOT_MEM_POOL), PZContextSlotKey(&kDynamicTagA)}) {
        gConstructed = 0;
        try {
            PZContext_GetSlot(context_.get(), key, nullConstructor, nullptr, deleteInt);
            ADD_FAILURE() << "a null object must raise";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "PZContextSlotConstructor should never return null!");
        }
        EXPECT_EQ(PZContext_FindSlot(context_.get(), key), nullptr);

        // The slot stayed empty and unlocked: the next call constructs.
        void* object = PZContext_GetSlot(context_.get(), key, countingConstructor, nullptr, deleteInt);
        EXPECT_EQ(gConstructed.load(), 1);
        EXPECT_EQ(PZContext_FindSlot(context_.get(), key), object);
    }
}

TEST_F(ContextTest, ConstructorExceptionLeavesTheSlotEmptyAndUnlocked) {
    for (PZContextSlotKey key : {PZContext_FixedKey(PZ_SLOT_SERVICE), PZContextSlotKey(&kDynamicTagB)}) {
        EXPECT_THROW(PZContext_GetSlot(context_.get(), key, throwingConstructor, nullptr, deleteInt),
                     std::logic_error);
        EXPECT_EQ(PZContext_FindSlot(context_.get(), key), nullptr);
        EXPECT_NE(PZContext_GetSlot(context_.get(), key, countingConstructor, nullptr, deleteInt), nullptr);
    }
}

TEST_F(ContextTest, LookupCreatesNothing) {
    EXPECT_EQ(PZContext_FindSlot(context_.get(), PZContext_FixedKey(PZ_SLOT_USB_TRANSPORT)), nullptr);
    EXPECT_EQ(PZContext_FindSlot(context_.get(), &kDynamicTagA), nullptr);
    EXPECT_TRUE(context_->dynamicSlots.empty());
    // Still empty: a get-or-create after the lookups is the first construction.
    PZContext_GetSlot(context_.get(), PZContext_FixedKey(PZ_SLOT_USB_TRANSPORT), countingConstructor, nullptr,
                      deleteInt);
    EXPECT_EQ(gConstructed.load(), 1);
    // Destroying a context whose only lookups found nothing calls no deleter.
    auto looked = std::make_shared<Context>();
    PZContext_FindSlot(looked.get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK));
    looked.reset();
    std::lock_guard<std::mutex> guard(gDeletedMutex);
    EXPECT_TRUE(gDeleted.empty());
}

TEST_F(ContextTest, FixedKeysSelectTheirIndexAndOnePastTheLastIsDynamic) {
    void* fixed = PZContext_GetSlot(context_.get(), PZContext_FixedKey(PZ_SLOT_UNUSED_26), countingConstructor,
                                    nullptr, deleteInt);
    EXPECT_EQ(context_->fixedSlots[PZ_SLOT_UNUSED_26].object, fixed);

    PZContextSlotKey onePast = PZContextFixedTags + PZ_SLOT_FIXED_COUNT;
    void* dynamic = PZContext_GetSlot(context_.get(), onePast, countingConstructor, nullptr, deleteInt);
    EXPECT_NE(dynamic, fixed);
    ASSERT_EQ(context_->dynamicSlots.count(onePast), 1u);
    EXPECT_EQ(context_->dynamicSlots[onePast].object, dynamic);
    EXPECT_EQ(context_->fixedSlots[PZ_SLOT_UNUSED_26].object, fixed);
}

TEST_F(ContextTest, DestructionCallsEachDeleterOnceFixedAscendingThenDynamic) {
    // Filled out of order, dynamic slots first, to show the order is the
    // destructor's and not the order of creation.
    const unsigned char dynamicTags[3] = {};
    for (int i = 0; i < 3; ++i) {
        gNextLabel = 100 + i;
        PZContext_GetSlot(context_.get(), &dynamicTags[i], labelledConstructor, nullptr, recordingDeleter);
    }
    for (int index : {26, 13, 0, 21, 5}) {
        gNextLabel = index;
        PZContext_GetSlot(context_.get(), PZContext_FixedKey(static_cast<PZContextSlotId>(index)),
                          labelledConstructor, nullptr, recordingDeleter);
    }
    context_.reset();

    std::lock_guard<std::mutex> guard(gDeletedMutex);
    ASSERT_EQ(gDeleted.size(), 8u);
    EXPECT_EQ(std::vector<int>(gDeleted.begin(), gDeleted.begin() + 5), (std::vector<int>{0, 5, 13, 21, 26}));
    std::vector<int> dynamicDeleted(gDeleted.begin() + 5, gDeleted.end());
    std::sort(dynamicDeleted.begin(), dynamicDeleted.end());
    EXPECT_EQ(dynamicDeleted, (std::vector<int>{100, 101, 102}));
}

// A module state with members that need their destructors: a standard mutex
// (not trivially destructible with every thread library) and memory of its own.
std::atomic<int> gStatesDestroyed{0};

struct DestroyCounter {
    ~DestroyCounter() { gStatesDestroyed.fetch_add(1); }
};

struct ModuleState {
    uint32_t plainWords[4];  // no initialiser: starts at zero
    std::atomic<uint32_t> counter;
    std::mutex lock;
    std::vector<int> owned;
    DestroyCounter counted;
};

TEST_F(ContextTest, ZeroFilledStateStartsAtZeroAndIsDestroyedWithItsContext) {
    gStatesDestroyed = 0;
    ModuleState* state = nullptr;
    {
        ScopedThreadContext scope(context_);
        state = PZContext_GetZeroFilledState<ModuleState>(PZContext_FixedKey(PZ_SLOT_SERVICE));
        ASSERT_NE(state, nullptr);
        EXPECT_EQ(PZContext_GetZeroFilledState<ModuleState>(PZContext_FixedKey(PZ_SLOT_SERVICE)), state);
    }
    for (uint32_t word : state->plainWords) EXPECT_EQ(word, 0u);
    EXPECT_EQ(state->counter.load(), 0u);
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->owned.assign(1000, 7);  // freed only if the destructor runs (the leak checker sees it)
    }
    EXPECT_EQ(gStatesDestroyed.load(), 0);
    context_.reset();
    EXPECT_EQ(gStatesDestroyed.load(), 1);
}

// ---------------------------------------------------------------------------
// Current context per thread
// ---------------------------------------------------------------------------

struct Observed {
    Context* seen = nullptr;
    Context* grandchildSeen = nullptr;
    bool spawnGrandchild = false;
};

uint32_t recordCurrent(void* param) {
    static_cast<Observed*>(param)->seen = PZContext_GetCurrent();
    return 0;
}

uint32_t recordCurrentAndSpawn(void* param) {
    auto* observed = static_cast<Observed*>(param);
    observed->seen = PZContext_GetCurrent();
    Observed grandchild;
    OS_LYRG_threadParamsT params{};
    params.func = recordCurrent;
    params.param = &grandchild;
    OS_LYRG_waitForThread(OS_LYRG_createThread(&params), 0);
    observed->grandchildSeen = grandchild.seen;
    return 0;
}

Context* runThroughOsLayer(OS_LYRG_threadFuncT func, Observed* observed) {
    OS_LYRG_threadParamsT params{};
    params.func = func;
    params.param = observed;
    params.name = "context probe";
    OS_LYRG_waitForThread(OS_LYRG_createThread(&params), 0);
    return observed->seen;
}

TEST(ThreadContextTest, ThreadsOfTheOsLayerInheritTheCreatorsContext) {
    auto own = std::make_shared<Context>();
    Observed observed;
    {
        ScopedThreadContext scope(own);
        ASSERT_EQ(PZContext_GetCurrent(), own.get());
        EXPECT_FALSE(PZContext_IsDefault(PZContext_GetCurrent()));
        runThroughOsLayer(recordCurrentAndSpawn, &observed);
    }
    EXPECT_EQ(observed.seen, own.get());
    EXPECT_EQ(observed.grandchildSeen, own.get());
    EXPECT_TRUE(PZContext_IsDefault(PZContext_GetCurrent()));
}

TEST(ThreadContextTest, PlainThreadsAndThreadsOfDefaultCreatorsSeeTheDefault) {
    auto own = std::make_shared<Context>();
    ScopedThreadContext scope(own);

    Context* plainSeen = nullptr;
    std::thread([&plainSeen] { plainSeen = PZContext_GetCurrent(); }).join();
    EXPECT_TRUE(PZContext_IsDefault(plainSeen));

    // A plain thread creating through the OS layer passes on the default.
    Observed observed;
    std::thread([&observed] { runThroughOsLayer(recordCurrent, &observed); }).join();
    EXPECT_TRUE(PZContext_IsDefault(observed.seen));
}

TEST(ThreadContextTest, SetThreadContextWithNullFallsBackToTheDefault) {
    auto own = std::make_shared<Context>();
    std::thread([&own] {
        PZContext_SetThreadContext(new PZContextHolder(own));
        EXPECT_EQ(PZContext_GetCurrent(), own.get());
        PZContextHolder* copy = PZContext_AcquireCurrent();
        EXPECT_EQ(copy->get(), own.get());
        delete copy;

        PZContext_SetThreadContext(nullptr);
        EXPECT_TRUE(PZContext_IsDefault(PZContext_GetCurrent()));
        copy = PZContext_AcquireCurrent();
        EXPECT_TRUE(PZContext_IsDefault(copy->get()));
        delete copy;
    }).join();
    // The thread let go of its reference.
    EXPECT_EQ(own.use_count(), 1);
}

void signalDestroyed(void* object) {
    OS_LYRG_setEvent(static_cast<OS_LYRG_eventT>(object));
}

void* eventConstructor(void* event) { return event; }

uint32_t holdUntilReleased(void* param) {
    OS_LYRG_waitEvent(static_cast<OS_LYRG_eventT>(param), 5000);
    return 0;
}

TEST(ThreadContextTest, AContextHeldLastByAThreadGoesWhenTheThreadEnds) {
    OS_LYRG_eventT destroyed = OS_LYRG_createEvent(0);
    OS_LYRG_eventT release = OS_LYRG_createEvent(0);
    OS_LYRG_threadT thread = nullptr;
    {
        auto own = std::make_shared<Context>();
        PZContext_GetSlot(own.get(), PZContext_FixedKey(PZ_SLOT_DEVICE), eventConstructor, destroyed,
                          signalDestroyed);
        ScopedThreadContext scope(own);
        OS_LYRG_threadParamsT params{};
        params.func = holdUntilReleased;
        params.param = release;
        thread = OS_LYRG_createThread(&params);
    }
    // Only the thread holds the context now.
    EXPECT_EQ(OS_LYRG_waitEvent(destroyed, 0), 1u);
    OS_LYRG_setEvent(release);
    OS_LYRG_waitForThread(thread, 0);
    EXPECT_EQ(OS_LYRG_waitEvent(destroyed, 0), 0u);
    OS_LYRG_releaseEvent(release, 0);
    OS_LYRG_releaseEvent(destroyed, 0);
}

}  // namespace
