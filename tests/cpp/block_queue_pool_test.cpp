// Queues sharing a pool of blocks: each behaves as its own FIFO across block
// boundaries and storage moves, and emptied blocks serve other queues.
#include "util/block_queue_pool.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <vector>

namespace synaptor {
namespace {

using Pool = BlockQueuePool<std::uint64_t, 5>;

std::vector<std::uint64_t> as_vector(const std::deque<std::uint64_t>& d) {
    return std::vector<std::uint64_t>(d.begin(), d.end());
}

TEST(BlockQueuePool, ManyInterleavedQueuesMatchSeparateFifos) {
    // Enough items that the first chunk grows (moves) several times and a
    // second chunk is added, with pops and prunes mixed in throughout.
    Pool pool;
    constexpr std::size_t kQueues = 300;
    std::vector<Pool::Queue> queues(kQueues);
    std::vector<std::deque<std::uint64_t>> model(kQueues);
    std::uint64_t x = 12345;
    for (std::uint64_t step = 0; step < 400000; ++step) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        const std::size_t q = (x >> 33) % kQueues;
        const unsigned op = (x >> 20) % 1000;
        if (op < 600) {
            pool.push_back(queues[q], step);
            model[q].push_back(step);
        } else if (op < 850) {
            if (!model[q].empty()) {
                ASSERT_EQ(pool.front(queues[q]), model[q].front());
                pool.pop_front(queues[q]);
                model[q].pop_front();
            }
        } else if (op < 998) {
            const std::uint64_t oldest = step > 150000 ? step - 150000 : 0;
            const auto stale = [&](std::uint64_t v) { return v < oldest; };
            pool.push_back_pruning_when_full(queues[q], step, stale);
            // Pruning only ever drops stale items from the front.
            const std::vector<std::uint64_t> held = pool.items(queues[q]);
            model[q].push_back(step);
            while (model[q].size() > held.size()) {
                ASSERT_TRUE(stale(model[q].front()));
                model[q].pop_front();
            }
        } else {
            pool.clear(queues[q]);
            model[q].clear();
        }
        ASSERT_EQ(queues[q].size, model[q].size());
    }
    std::size_t items = 0;
    for (std::size_t q = 0; q < kQueues; ++q) {
        ASSERT_EQ(pool.items(queues[q]), as_vector(model[q])) << q;
        if (!model[q].empty()) {
            EXPECT_EQ(pool.back(queues[q]), model[q].back());
        }
        items += model[q].size();
    }
    // Every block in use holds at least one item, and freed ones are reused:
    // the pool holds about what the queues hold now, not their history.
    EXPECT_LE(pool.blocks_in_use(), items / 5 + 2 * kQueues);
    EXPECT_GT(pool.blocks_held(), 8192u);  // past the first 2 MB chunk
    for (Pool::Queue& q : queues) pool.clear(q);
    EXPECT_EQ(pool.blocks_in_use(), 0u);
}

TEST(BlockQueuePool, ForEachEditsInPlaceAndTheFreedBlocksAreReused) {
    Pool pool;
    Pool::Queue a;
    Pool::Queue b;
    for (std::uint64_t i = 0; i < 23; ++i) pool.push_back(a, i);
    for (int i = 0; i < 7; ++i) pool.pop_front(a);  // front no longer at a block start
    pool.for_each(a, [](std::uint64_t& v) { v *= 10; });
    std::vector<std::uint64_t> expected;
    for (std::uint64_t i = 7; i < 23; ++i) expected.push_back(i * 10);
    EXPECT_EQ(pool.items(a), expected);
    const std::size_t held = pool.blocks_held();
    pool.clear(a);
    EXPECT_TRUE(a.empty());
    for (std::uint64_t i = 0; i < 16; ++i) pool.push_back(b, i);
    EXPECT_EQ(pool.blocks_held(), held);  // b took a's blocks
    EXPECT_EQ(pool.front(b), 0u);
    EXPECT_EQ(pool.back(b), 15u);
    // A moved pool keeps its queues.
    Pool moved = std::move(pool);
    EXPECT_EQ(moved.items(b).size(), 16u);
    EXPECT_EQ(moved.front(b), 0u);
}

}  // namespace
}  // namespace synaptor
