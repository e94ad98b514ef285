#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/tests/start_gate.h"
#include "runtime/context.h"
#include "runtime/mem_pool.h"

namespace {

// What the release callback saw, in order.
struct Released {
    std::mutex lock;
    std::vector<std::pair<uint32_t, MEM_POOLG_bufDescT*>> calls;
};
Released* gReleased = nullptr;

void recordRelease(uint32_t arg, MEM_POOLG_bufDescT* buffer) {
    std::lock_guard<std::mutex> guard(gReleased->lock);
    gReleased->calls.emplace_back(arg, buffer);
}

std::atomic<uint32_t> gReleaseCount{0};
void countRelease(uint32_t, MEM_POOLG_bufDescT*) { gReleaseCount.fetch_add(1, std::memory_order_relaxed); }

// Each test runs on a context of its own, so the pool table starts empty, and
// closes every pool it opened.
class MemPool : public ::testing::Test {
protected:
    MemPool() : scope_(std::make_shared<morv::driver::Context>()) { gReleased = &released_; }
    ~MemPool() override {
        for (auto handle : open_) MEM_POOLG_closePool(handle);
        gReleased = nullptr;
    }

    MEM_POOLG_handleT open(uint32_t bufSize, uint32_t count, MEM_POOLG_typeE type = MEM_POOLG_BUF_TYPE_HEAP_E,
                           MEM_POOLG_releaseCbT callback = nullptr, uint32_t arg = 0, uint32_t restore = 0) {
        MEM_POOLG_cfgT cfg{bufSize, count, callback, arg, restore};
        MEM_POOLG_handleT handle = reinterpret_cast<MEM_POOLG_handleT>(0x1);
        MEM_POOLG_newPool(&handle, type, &cfg);
        if (handle) open_.push_back(handle);
        return handle;
    }
    void close(MEM_POOLG_handleT handle) {
        MEM_POOLG_closePool(handle);
        std::erase(open_, handle);
    }
    MEM_POOLG_bufDescT* alloc(MEM_POOLG_handleT pool, uint32_t length = 0) {
        MEM_POOLG_bufDescT* buffer = nullptr;
        EXPECT_EQ(MEM_POOLG_alloc(pool, length, &buffer), MEM_POOL__RET_SUCCESS);
        return buffer;
    }

    morv::driver::ScopedThreadContext scope_;
    std::vector<MEM_POOLG_handleT> open_;
    Released released_;
};

TEST_F(MemPool, AcceptsLengthUpToBufSizeAndRejectsLarger) {
    auto pool = open(64, 2);
    ASSERT_NE(pool, nullptr);
    MEM_POOLG_bufDescT* buffer = reinterpret_cast<MEM_POOLG_bufDescT*>(0x1);
    EXPECT_EQ(MEM_POOLG_alloc(pool, 65, &buffer), MEM_POOL__ERR_ALLOC_BUF_FAIL_BIG_BUF_SIZE);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), 2u) << "a refused allocation must not take a buffer";
    EXPECT_EQ(MEM_POOLG_alloc(pool, 64, &buffer), MEM_POOL__RET_SUCCESS);
    EXPECT_NE(buffer, nullptr);
    MEM_POOLG_freeBuff(buffer);
}

TEST_F(MemPool, NullHandleIsRefusedWithANullDescriptor) {
    MEM_POOLG_bufDescT* buffer = reinterpret_cast<MEM_POOLG_bufDescT*>(0x1);
    EXPECT_EQ(MEM_POOLG_alloc(nullptr, 0, &buffer), MEM_POOL__ERR_ALLOC_BUF_FAIL_NULL_HANDLE);
    EXPECT_EQ(buffer, nullptr);
}

TEST_F(MemPool, ExhaustionThenOneFreeGivesBackThatBuffer) {
    auto pool = open(32, 4);
    std::set<MEM_POOLG_bufDescT*> taken;
    std::vector<MEM_POOLG_bufDescT*> order;
    for (int i = 0; i < 4; ++i) {
        auto b = alloc(pool, 32);
        ASSERT_NE(b, nullptr);
        EXPECT_TRUE(taken.insert(b).second) << "buffer handed out twice";
        order.push_back(b);
    }
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), 0u);
    MEM_POOLG_bufDescT* none = reinterpret_cast<MEM_POOLG_bufDescT*>(0x1);
    EXPECT_EQ(MEM_POOLG_alloc(pool, 1, &none), MEM_POOL__ERR_ALLOC_BUF_FAIL_NO_BUF_IN_POOL);
    EXPECT_EQ(none, nullptr);

    MEM_POOLG_freeBuff(order[2]);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), 1u);
    EXPECT_EQ(alloc(pool), order[2]);
    for (auto b : order) MEM_POOLG_freeBuff(b);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), 4u);
}

TEST_F(MemPool, NewestFreedBufferComesBackFirst) {
    auto pool = open(16, 3);
    auto a = alloc(pool);
    auto b = alloc(pool);
    MEM_POOLG_freeBuff(a);
    MEM_POOLG_freeBuff(b);
    EXPECT_EQ(alloc(pool), b);
    EXPECT_EQ(alloc(pool), a);
}

TEST_F(MemPool, BuffersFreedWithTheCacheFullAreFoundByTheScan) {
    constexpr uint32_t kCount = MEM_POOLG_FREE_CACHE + 4;
    auto pool = open(8, kCount);
    std::vector<MEM_POOLG_bufDescT*> all;
    for (uint32_t i = 0; i < kCount; ++i) all.push_back(alloc(pool));
    for (auto b : all) MEM_POOLG_freeBuff(b);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), kCount);
    std::set<MEM_POOLG_bufDescT*> again;
    for (uint32_t i = 0; i < kCount; ++i) again.insert(alloc(pool));
    EXPECT_EQ(again.size(), kCount);
    EXPECT_EQ(again, std::set<MEM_POOLG_bufDescT*>(all.begin(), all.end()));
    MEM_POOLG_bufDescT* none = nullptr;
    EXPECT_EQ(MEM_POOLG_alloc(pool, 0, &none), MEM_POOL__ERR_ALLOC_BUF_FAIL_NO_BUF_IN_POOL);
    for (auto b : all) MEM_POOLG_freeBuff(b);
}

TEST_F(MemPool, FreshBufferIsResetAndItsInlineAreaIsAlignedAndPrivate) {
    // An odd size: every buffer's descriptor and data must still be 8-aligned.
    constexpr uint32_t kSize = 13;
    auto pool = open(kSize, 3);
    EXPECT_EQ(MEM_POOLG_getBuffSize(pool), kSize);
    EXPECT_EQ(MEM_POOLG_getNumBuffs(pool), 3u);
    MEM_POOLG_bufDescT* bufs[3];
    for (auto& b : bufs) {
        b = alloc(pool, kSize);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->len, 0u);
        EXPECT_EQ(b->refCount, 1u);
        EXPECT_EQ(b->next, nullptr);
        EXPECT_EQ(b->capacity, kSize);
        EXPECT_EQ(b->data, b->base);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 8, 0u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(b->base) % 8, 0u);
    }
    // Filling every data area to capacity leaves every descriptor intact.
    for (int i = 0; i < 3; ++i) std::memset(bufs[i]->data, 0xEE, kSize);
    for (auto b : bufs) {
        EXPECT_EQ(b->refCount, 1u);
        EXPECT_EQ(b->next, nullptr);
        EXPECT_EQ(b->capacity, kSize);
    }
    // Whatever the user did to a buffer is undone by the next allocation.
    bufs[0]->data = static_cast<unsigned char*>(bufs[0]->data) + 5;
    bufs[0]->len = 7;
    auto keep = bufs[0];
    MEM_POOLG_freeBuff(bufs[0]);
    bufs[0] = alloc(pool);
    ASSERT_EQ(bufs[0], keep);
    EXPECT_EQ(bufs[0]->data, bufs[0]->base);
    EXPECT_EQ(bufs[0]->len, 0u);
    for (auto b : bufs) MEM_POOLG_freeBuff(b);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), 3u);
}

TEST_F(MemPool, DuplicateKeepsTheBufferUntilTheLastFreeAndReleasesOnce) {
    auto pool = open(16, 2, MEM_POOLG_BUF_TYPE_HEAP_E, &recordRelease, 77);
    auto b = alloc(pool);
    MEM_POOLG_duplicateBuff(b);
    EXPECT_EQ(b->refCount, 2u);
    MEM_POOLG_freeBuff(b);
    EXPECT_EQ(b->refCount, 1u);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), 1u);
    EXPECT_TRUE(released_.calls.empty());
    MEM_POOLG_freeBuff(b);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), 2u);
    ASSERT_EQ(released_.calls.size(), 1u);
    EXPECT_EQ(released_.calls[0].first, 77u);
    EXPECT_EQ(released_.calls[0].second, b);
}

TEST_F(MemPool, FreeingAnAlreadyFreeBufferChangesNothing) {
    auto pool = open(16, 2, MEM_POOLG_BUF_TYPE_HEAP_E, &recordRelease, 1);
    auto a = alloc(pool);
    MEM_POOLG_freeBuff(a);
    MEM_POOLG_freeBuff(a);
    EXPECT_EQ(a->refCount, 0u);
    EXPECT_EQ(released_.calls.size(), 1u);
    // Had the second free cached the buffer again, it would be handed out twice.
    auto x = alloc(pool);
    auto y = alloc(pool);
    EXPECT_NE(x, y);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), 0u);
    MEM_POOLG_freeBuff(x);
    MEM_POOLG_freeBuff(y);
}

TEST_F(MemPool, ChainRaisesAppendedBuffersToTheTailsCountUntilOneHoldsEnough) {
    auto pool = open(16, 8);
    auto head = alloc(pool);
    auto tail = alloc(pool);
    MEM_POOLG_chain(head, tail);
    MEM_POOLG_duplicateBuff(tail);
    MEM_POOLG_duplicateBuff(tail);
    ASSERT_EQ(tail->refCount, 3u);

    auto c1 = alloc(pool);
    auto c2 = alloc(pool);
    auto c3 = alloc(pool);
    auto c4 = alloc(pool);
    MEM_POOLG_chain(c1, c2);
    MEM_POOLG_chain(c1, c3);
    MEM_POOLG_chain(c1, c4);
    MEM_POOLG_duplicateBuff(c3);
    MEM_POOLG_duplicateBuff(c3);  // c3 and c4 hold 3
    MEM_POOLG_freeBuff(c4);       // c4 holds 2, behind a buffer that holds 3
    ASSERT_EQ(c1->refCount, 1u);
    ASSERT_EQ(c3->refCount, 3u);
    ASSERT_EQ(c4->refCount, 2u);

    MEM_POOLG_chain(head, c1);
    EXPECT_EQ(tail->next, c1);
    EXPECT_EQ(c1->refCount, 3u);
    EXPECT_EQ(c2->refCount, 3u);
    EXPECT_EQ(c3->refCount, 3u);
    EXPECT_EQ(c4->refCount, 2u) << "the walk stops at the first buffer that already holds enough";
    EXPECT_EQ(head->refCount, 1u) << "only the appended buffers are raised";
}

TEST_F(MemPool, ChainOfEquallyHeldBuffersIsReleasedByOneFreePerHolder) {
    auto pool = open(16, 4, MEM_POOLG_BUF_TYPE_HEAP_E, &recordRelease, 5);
    auto a = alloc(pool);
    MEM_POOLG_duplicateBuff(a);  // two holders
    auto b = alloc(pool);
    auto c = alloc(pool);
    MEM_POOLG_chain(b, c);
    MEM_POOLG_chain(a, b);
    EXPECT_EQ(b->refCount, 2u);
    EXPECT_EQ(c->refCount, 2u);
    a->len = 3;
    b->len = 100;
    c->len = 7;
    EXPECT_EQ(MEM_POOLG_getChainLen(a), 110u);
    EXPECT_EQ(MEM_POOLG_getChainLen(b), 107u);
    EXPECT_EQ(MEM_POOLG_getChainLen(nullptr), 0u);

    MEM_POOLG_freeBuff(a);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), 1u);
    EXPECT_TRUE(released_.calls.empty());
    MEM_POOLG_freeBuff(a);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), 4u);
    ASSERT_EQ(released_.calls.size(), 3u);
    EXPECT_EQ(released_.calls[0].second, a);
    EXPECT_EQ(released_.calls[1].second, b);
    EXPECT_EQ(released_.calls[2].second, c);
}

TEST_F(MemPool, ChainAndFreeSpanBuffersOfDifferentPools) {
    auto small = open(8, 2, MEM_POOLG_BUF_TYPE_HEAP_E, &recordRelease, 1);
    auto large = open(256, 2, MEM_POOLG_BUF_TYPE_HEAP_E, &recordRelease, 2);
    auto head = alloc(small);
    MEM_POOLG_duplicateBuff(head);
    auto body = alloc(large, 256);
    MEM_POOLG_chain(head, body);
    EXPECT_EQ(body->refCount, 2u);
    MEM_POOLG_duplicateBuff(head);
    EXPECT_EQ(head->refCount, 3u);
    EXPECT_EQ(body->refCount, 3u);
    for (int i = 0; i < 3; ++i) MEM_POOLG_freeBuff(head);
    EXPECT_EQ(MEM_POOLG_getNumFree(small), 2u);
    EXPECT_EQ(MEM_POOLG_getNumFree(large), 2u);
    ASSERT_EQ(released_.calls.size(), 2u);
    EXPECT_EQ(released_.calls[0], std::make_pair(1u, head));
    EXPECT_EQ(released_.calls[1], std::make_pair(2u, body));
}

TEST_F(MemPool, TableHoldsThirtyFourPoolsAndReusesAClosedRecord) {
    std::vector<MEM_POOLG_handleT> pools;
    for (int i = 0; i < MEM_POOLG_MAX_POOLS; ++i) {
        auto p = open(8, 1);
        ASSERT_NE(p, nullptr) << "pool " << i;
        pools.push_back(p);
    }
    EXPECT_EQ(std::set<MEM_POOLG_handleT>(pools.begin(), pools.end()).size(), pools.size());
    EXPECT_EQ(open(8, 1), nullptr);
    close(pools[5]);
    auto again = open(16, 2);
    EXPECT_EQ(again, pools[5]);
    EXPECT_EQ(MEM_POOLG_getBuffSize(again), 16u);
    EXPECT_EQ(MEM_POOLG_getNumFree(again), 2u);
    EXPECT_EQ(open(8, 1), nullptr);
}

TEST_F(MemPool, EachContextHasItsOwnTable) {
    for (int i = 0; i < MEM_POOLG_MAX_POOLS; ++i) ASSERT_NE(open(8, 1), nullptr);
    std::thread other([] {
        morv::driver::ScopedThreadContext scope(std::make_shared<morv::driver::Context>());
        MEM_POOLG_cfgT cfg{8, 1, nullptr, 0, 0};
        MEM_POOLG_handleT handle = nullptr;
        MEM_POOLG_newPool(&handle, MEM_POOLG_BUF_TYPE_HEAP_E, &cfg);
        EXPECT_NE(handle, nullptr);
        MEM_POOLG_closePool(handle);
    });
    other.join();
}

TEST_F(MemPool, UnknownTypeAndZeroBuffersAreHandled) {
    MEM_POOLG_cfgT cfg{8, 1, nullptr, 0, 0};
    MEM_POOLG_handleT handle = reinterpret_cast<MEM_POOLG_handleT>(0x1);
    MEM_POOLG_newPool(&handle, static_cast<MEM_POOLG_typeE>(2), &cfg);
    EXPECT_EQ(handle, nullptr);
    MEM_POOLG_newPool(&handle, static_cast<MEM_POOLG_typeE>(-1), &cfg);
    EXPECT_EQ(handle, nullptr);

    // A pool without buffers occupies its record and refuses every allocation.
    auto empty = open(8, 0);
    ASSERT_NE(empty, nullptr);
    auto next = open(8, 1);
    EXPECT_NE(next, empty);
    MEM_POOLG_bufDescT* none = nullptr;
    EXPECT_EQ(MEM_POOLG_alloc(empty, 0, &none), MEM_POOL__ERR_ALLOC_BUF_FAIL_NO_BUF_IN_POOL);
}

TEST_F(MemPool, HeaderOnlyPoolCarriesTheUsersStorage) {
    auto pool = open(4096, 2, MEM_POOLG_BUF_TYPE_HEADER_E);
    ASSERT_NE(pool, nullptr);
    auto a = alloc(pool, 4096);
    auto b = alloc(pool);
    EXPECT_EQ(a->base, nullptr);
    EXPECT_EQ(a->capacity, 0u);
    EXPECT_EQ(a->refCount, 1u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 8, 0u);
    // Descriptors of a header-only pool lie back to back, one record apart.
    auto distance = reinterpret_cast<uintptr_t>(b) > reinterpret_cast<uintptr_t>(a)
                        ? reinterpret_cast<uintptr_t>(b) - reinterpret_cast<uintptr_t>(a)
                        : reinterpret_cast<uintptr_t>(a) - reinterpret_cast<uintptr_t>(b);
    EXPECT_LT(distance, 128u) << "no inline data area in a header-only pool";

    static unsigned char storage[64];
    a->base = storage;
    a->data = storage + 8;
    a->capacity = sizeof storage;
    MEM_POOLG_freeBuff(a);
    auto again = alloc(pool);
    ASSERT_EQ(again, a);
    EXPECT_EQ(again->data, storage + 8) << "without restore, the user's data pointer stays";
    EXPECT_EQ(again->base, storage);
    MEM_POOLG_freeBuff(again);
    MEM_POOLG_freeBuff(b);
}

TEST_F(MemPool, RestoreOnAllocPutsDataBackAtBase) {
    auto pool = open(0, 1, MEM_POOLG_BUF_TYPE_HEADER_E, nullptr, 0, 1);
    auto a = alloc(pool);
    static unsigned char storage[32];
    a->base = storage;
    a->data = storage + 20;
    MEM_POOLG_freeBuff(a);
    auto again = alloc(pool);
    ASSERT_EQ(again, a);
    EXPECT_EQ(again->data, storage);
    MEM_POOLG_freeBuff(again);
}

TEST_F(MemPool, ResetFreesEveryBufferAndKeepsTheCacheValid) {
    auto pool = open(24, 4);
    auto a = alloc(pool);
    auto b = alloc(pool);
    auto c = alloc(pool);
    MEM_POOLG_freeBuff(b);  // cached
    a->data = nullptr;
    a->len = 9;
    MEM_POOLG_reset(pool);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), 4u);
    EXPECT_EQ(a->refCount, 0u);
    EXPECT_EQ(a->len, 0u);
    EXPECT_EQ(c->capacity, 24u);
    // A holder that frees after the reset changes nothing.
    MEM_POOLG_freeBuff(c);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), 4u);
    std::set<MEM_POOLG_bufDescT*> all;
    for (int i = 0; i < 4; ++i) {
        auto x = alloc(pool);
        ASSERT_NE(x, nullptr);
        EXPECT_EQ(x->data, x->base);
        if (i == 0) {
            EXPECT_EQ(x, b) << "the cached buffer survives the reset";
        }
        all.insert(x);
    }
    EXPECT_EQ(all.size(), 4u) << "every buffer handed out once";
    for (auto x : all) MEM_POOLG_freeBuff(x);
}

TEST_F(MemPool, ConcurrentAllocFreeChainAndDuplicateKeepCountsExact) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    gReleaseCount = 0;
    auto pool = open(64, kThreads * 2, MEM_POOLG_BUF_TYPE_HEAP_E, &countRelease, 0);
    StartGate start(kThreads);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arriveAndWait();
            for (int i = 0; i < kRounds; ++i) {
                MEM_POOLG_bufDescT* a = nullptr;
                MEM_POOLG_bufDescT* b = nullptr;
                if (MEM_POOLG_alloc(pool, 64, &a) != MEM_POOL__RET_SUCCESS ||
                    MEM_POOLG_alloc(pool, 64, &b) != MEM_POOL__RET_SUCCESS) {
                    failures.fetch_add(1);
                    MEM_POOLG_freeBuff(a);
                    MEM_POOLG_freeBuff(b);
                    continue;
                }
                std::memset(a->data, t, 64);
                std::memset(b->data, t, 64);
                a->len = 1;
                b->len = 2;
                MEM_POOLG_chain(a, b);
                MEM_POOLG_duplicateBuff(a);
                if (MEM_POOLG_getChainLen(a) != 3) failures.fetch_add(1);
                auto* bytes = static_cast<unsigned char*>(b->data);
                if (bytes[0] != t || bytes[63] != t) failures.fetch_add(1);
                MEM_POOLG_freeBuff(a);
                MEM_POOLG_freeBuff(a);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(MEM_POOLG_getNumFree(pool), MEM_POOLG_getNumBuffs(pool));
    EXPECT_EQ(gReleaseCount.load(), static_cast<uint32_t>(kThreads * kRounds * 2));
}

}  // namespace

namespace {

// Each case damages one thing about an allocated buffer the way a stray write
// would; the check must count exactly that record.
TEST_F(MemPool, CheckFindsEachKindOfDamagedRecordAndNothingInAnIntactPool) {
    const struct {
        const char* what;
        void (*damage)(MEM_POOLG_bufDescT*);
    } cases[] = {
        {"reference count of a buffer in use", [](MEM_POOLG_bufDescT* b) { b->refCount = 0; }},
        {"storage pointer", [](MEM_POOLG_bufDescT* b) { b->base = static_cast<uint8_t*>(b->base) + 8; }},
        {"capacity", [](MEM_POOLG_bufDescT* b) { b->capacity += 1; }},
        {"data window past the end", [](MEM_POOLG_bufDescT* b) { b->len = b->capacity + 1; }},
        {"data before the storage", [](MEM_POOLG_bufDescT* b) { b->data = static_cast<uint8_t*>(b->base) - 1; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MEM_POOLG_handleT pool = open(64, 4);
        MEM_POOLG_bufDescT* kept = alloc(pool, 8);
        MEM_POOLG_bufDescT* victim = alloc(pool, 8);
        EXPECT_EQ(MEM_POOLG_checkPool(pool), 0u);
        const MEM_POOLG_bufDescT saved = *victim;
        c.damage(victim);
        EXPECT_EQ(MEM_POOLG_checkPool(pool), 1u);
        *victim = saved;
        EXPECT_EQ(MEM_POOLG_checkPool(pool), 0u);
        MEM_POOLG_freeBuff(victim);
        MEM_POOLG_freeBuff(kept);
        close(pool);
    }
}

TEST_F(MemPool, ClosingAPoolCountsTheBuffersStillAllocated) {
    MEM_POOLG_init();
    MEM_POOLG_handleT pool = open(32, 4);
    MEM_POOLG_bufDescT* freed = alloc(pool);
    alloc(pool);
    alloc(pool);
    MEM_POOLG_freeBuff(freed);
    EXPECT_EQ(MEM_POOLG_getStrandedAtClose(), 0u);
    close(pool);
    EXPECT_EQ(MEM_POOLG_getStrandedAtClose(), 2u);
    close(open(32, 4));  // an empty pool adds nothing
    EXPECT_EQ(MEM_POOLG_getStrandedAtClose(), 2u);
}

}  // namespace
