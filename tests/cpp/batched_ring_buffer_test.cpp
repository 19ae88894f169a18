#include "batched_ring_buffer/batched_ring_buffer.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace synaptor {
namespace {

using Ints = std::vector<int>;

TEST(BatchedRingBuffer, SingleSlotScheduledAndTakenInTheSameTick) {
    BatchedRingBuffer<int> ring(1);
    ring.schedule(0, 7);
    EXPECT_EQ(ring.take_current_batch(), Ints{7});
    EXPECT_EQ(ring.current_slot(), 0u);
    EXPECT_EQ(ring.take_current_batch(), Ints{});
}

TEST(BatchedRingBuffer, WrapsOnceFromTheLastSlot) {
    BatchedRingBuffer<int> ring(4);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(ring.take_current_batch().empty());
    ASSERT_EQ(ring.current_slot(), 3u);
    ring.schedule(2, 42);  // slot 1
    ring.schedule(3, 43);  // slot 2
    ring.schedule(0, 40);  // slot 3
    EXPECT_EQ(ring.take_current_batch(), Ints{40});
    EXPECT_EQ(ring.current_slot(), 0u);
    EXPECT_EQ(ring.take_current_batch(), Ints{});
    EXPECT_EQ(ring.take_current_batch(), Ints{42});  // third take from slot 3 on
    EXPECT_EQ(ring.take_current_batch(), Ints{43});
}

TEST(BatchedRingBuffer, KeepsSchedulingOrderAcrossTicks) {
    BatchedRingBuffer<int> ring(4);
    ring.schedule(3, 1);  // due in 3
    ring.take_current_batch();
    ring.schedule(2, 2);  // same slot
    ring.schedule(2, 3);
    ring.take_current_batch();
    ring.schedule(1, 4);
    ring.take_current_batch();
    EXPECT_EQ(ring.take_current_batch(), (Ints{1, 2, 3, 4}));
    // Taken slots are empty when the ring comes round again.
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(ring.take_current_batch().empty());
    EXPECT_EQ(ring.pending_items(), 0u);
}

TEST(BatchedRingBuffer, RejectsOffsetsOutsideTheRing) {
    BatchedRingBuffer<int> ring(3);
    ring.take_current_batch();  // current slot 1
    EXPECT_THROW(ring.schedule(3, 1), Panic);
    // A delay of 0 turned into offset - 1 must not wrap into a valid slot.
    EXPECT_THROW(ring.schedule(std::numeric_limits<std::size_t>::max(), 1), Panic);
    EXPECT_EQ(ring.pending_items(), 0u);
    EXPECT_THROW(BatchedRingBuffer<int>(0), Panic);
}

TEST(BatchedRingBuffer, TakeReplacesTheTargetsContents) {
    BatchedRingBuffer<int> ring(2);
    std::vector<int> scratch{99};  // stale content is discarded, not delivered
    for (int i = 0; i < 32; ++i) ring.schedule(0, i);
    ring.take_current_batch(scratch);
    ASSERT_EQ(scratch.size(), 32u);
    EXPECT_EQ(scratch.front(), 0);
    EXPECT_EQ(scratch.back(), 31);
    ring.take_current_batch();
    ring.schedule(0, 5);
    EXPECT_EQ(ring.take_current_batch(), Ints{5});
}

TEST(BatchedRingBuffer, LargeBatchesSpanBlocksAndDrainedStorageIsReused) {
    // Batches of several blocks in every slot, in scheduling order, and a ring
    // that runs on keeps the storage it needs for what is pending at once.
    BatchedRingBuffer<int> ring(5);
    std::vector<Ints> expected(5);
    std::size_t held_after_warmup = 0;
    for (int tick = 0; tick < 40; ++tick) {
        for (int i = 0; i < 9000; ++i) {
            const std::size_t offset = static_cast<std::size_t>((i * 7 + tick) % 5);
            const int value = tick * 100000 + i;
            ring.schedule(offset, value);
            expected[(ring.current_slot() + offset) % 5].push_back(value);
        }
        Ints seen;
        std::size_t runs = 0;
        const std::size_t slot = ring.current_slot();
        const std::size_t n = ring.drain_current_batch([&](const auto& batch) {
            EXPECT_EQ(batch.items(), expected[slot]);
            batch.for_each_run([&](const int* items, std::size_t count) {
                seen.insert(seen.end(), items, items + count);
                ++runs;
            });
        });
        EXPECT_EQ(n, expected[slot].size());
        EXPECT_EQ(seen, expected[slot]);
        if (tick >= 5) {
            EXPECT_GT(runs, 1u);  // a full batch spans blocks
        }
        expected[slot].clear();
        if (tick == 10) held_after_warmup = ring.bytes_held();
    }
    EXPECT_EQ(ring.bytes_held(), held_after_warmup);
    // About 9000 * 5 ints pending at most, not a full batch in each slot.
    EXPECT_LE(ring.bytes_held(), std::size_t{30} * 16384);
}

TEST(BatchedRingBuffer, OneSchedulerAcrossBlocksAndMovingStorage) {
    // One scheduler writes 400,000 items into five slots in turn: each slot
    // fills about 20 blocks, and the pool's first chunk moves while it grows,
    // with every slot holding items not yet counted.
    BatchedRingBuffer<int> ring(5);
    ring.take_current_batch();  // current slot 1: offsets wrap
    std::vector<Ints> expected(5);
    {
        auto scheduler = ring.scheduler();
        EXPECT_THROW((void)ring.scheduler(), Panic);  // one at a time
        for (int i = 0; i < 400000; ++i) {
            const std::size_t offset = static_cast<std::size_t>((i / 3 + i % 7) % 5);
            scheduler.schedule(offset, i);
            expected[offset].push_back(i);
        }
        // A rejected offset leaves what was scheduled before it.
        EXPECT_THROW(scheduler.schedule(5, -1), Panic);
    }
    EXPECT_EQ(ring.pending_items(), 400000u);
    ring.schedule(4, -2);  // the ring takes a new scheduler afterwards
    expected[4].push_back(-2);
    for (std::size_t offset = 0; offset < 5; ++offset) {
        ring.drain_current_batch([&](const auto& batch) {
            EXPECT_EQ(batch.size(), expected[offset].size()) << offset;
            EXPECT_EQ(batch.items(), expected[offset]) << offset;
        });
    }
    EXPECT_EQ(ring.pending_items(), 0u);
}

TEST(BatchedRingBuffer, DrainDeliversInOrderAndAdvances) {
    BatchedRingBuffer<int> ring(2);
    ring.schedule(0, 1);
    ring.schedule(0, 2);
    ring.schedule(1, 3);
    Ints seen;
    const auto collect = [&](const auto& batch) {
        const Ints items = batch.items();
        seen.insert(seen.end(), items.begin(), items.end());
    };
    EXPECT_EQ(ring.drain_current_batch(collect), 2u);
    EXPECT_EQ(seen, (Ints{1, 2}));
    EXPECT_EQ(ring.current_slot(), 1u);
    EXPECT_EQ(ring.drain_current_batch(collect), 1u);
    EXPECT_EQ(ring.drain_current_batch(collect), 0u);  // emptied
    EXPECT_EQ(seen, (Ints{1, 2, 3}));
}

}  // namespace
}  // namespace synaptor
