#include "driver/pz_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

void* tag(uintptr_t n) { return reinterpret_cast<void*>(n); }

class RingTest : public ::testing::Test {
protected:
    void TearDown() override { PZRing_deinit(&ring_); }
    PZRing ring_{};
};

TEST_F(RingTest, CapacityTwoTakesTwoThenRefusesAndGivesThemBackInOrder) {
    ASSERT_EQ(PZRing_init(&ring_, 2), 0);
    EXPECT_EQ(PZRing_push(&ring_, tag(1)), 0);
    EXPECT_EQ(PZRing_push(&ring_, tag(2)), 0);
    EXPECT_EQ(PZRing_push(&ring_, tag(3)), -1);

    void* item = tag(99);
    ASSERT_EQ(PZRing_pop(&ring_, &item), 0);
    EXPECT_EQ(item, tag(1));
    ASSERT_EQ(PZRing_pop(&ring_, &item), 0);
    EXPECT_EQ(item, tag(2));
    item = tag(99);
    EXPECT_EQ(PZRing_pop(&ring_, &item), -1);
    EXPECT_EQ(item, tag(99)) << "an empty pop must leave the caller's pointer alone";
}

TEST_F(RingTest, IndicesWrapAroundAndKeepFifoOrderAtEveryCapacity) {
    for (uint32_t capacity = 1; capacity <= PZRING_MAX_CAPACITY; ++capacity) {
        ASSERT_EQ(PZRing_init(&ring_, capacity), 0) << capacity;
        uintptr_t next = 1;
        uintptr_t expected = 1;
        // Fill and half-drain repeatedly so that both indices cross the end.
        for (int round = 0; round < 5; ++round) {
            while (PZRing_push(&ring_, tag(next)) == 0) ++next;
            EXPECT_EQ(ring_.count, capacity);
            for (uint32_t i = 0; i < (capacity + 1) / 2; ++i) {
                void* item = nullptr;
                ASSERT_EQ(PZRing_pop(&ring_, &item), 0);
                EXPECT_EQ(item, tag(expected++));
            }
        }
        void* item = nullptr;
        while (PZRing_pop(&ring_, &item) == 0) EXPECT_EQ(item, tag(expected++));
        EXPECT_EQ(expected, next) << "capacity " << capacity << " lost or duplicated an item";
        PZRing_deinit(&ring_);
    }
}

TEST_F(RingTest, CapacityOutsideOneToSixteenAndAReleasedRingTakeNothing) {
    for (uint32_t capacity : {0u, PZRING_MAX_CAPACITY + 1, 0xFFFFFFFFu}) {
        EXPECT_EQ(PZRing_init(&ring_, capacity), -1) << capacity;
        EXPECT_EQ(PZRing_push(&ring_, tag(1)), -1);
        PZRing_deinit(&ring_);
    }
    ASSERT_EQ(PZRing_init(&ring_, 3), 0);
    ASSERT_EQ(PZRing_push(&ring_, tag(7)), 0);
    PZRing_deinit(&ring_);
    EXPECT_EQ(ring_.capacity, 0u);
    EXPECT_EQ(ring_.count, 0u);
    EXPECT_EQ(PZRing_push(&ring_, tag(1)), -1);
    void* item = nullptr;
    EXPECT_EQ(PZRing_pop(&ring_, &item), -1);
}

TEST_F(RingTest, ConcurrentProducerAndConsumerHandOverEveryAcceptedItemOnceInOrder) {
    ASSERT_EQ(PZRing_init(&ring_, 2), 0);
    constexpr uintptr_t kItems = 20000;
    std::vector<uintptr_t> accepted;
    std::vector<uintptr_t> received;
    std::atomic<bool> producerDone{false};
    std::thread producer([&] {
        for (uintptr_t i = 1; i <= kItems; ++i)
            if (PZRing_push(&ring_, tag(i)) == 0) accepted.push_back(i);
        producerDone.store(true);
    });
    std::thread consumer([&] {
        for (;;) {
            const bool done = producerDone.load();
            void* item = nullptr;
            if (PZRing_pop(&ring_, &item) == 0) {
                received.push_back(reinterpret_cast<uintptr_t>(item));
            } else if (done) {
                break;
            } else {
                std::this_thread::yield();
            }
        }
    });
    producer.join();
    consumer.join();
    EXPECT_EQ(received, accepted);
    EXPECT_FALSE(accepted.empty());
}

}  // namespace
