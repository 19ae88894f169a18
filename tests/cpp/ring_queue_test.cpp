#include "util/ring_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <vector>

namespace synaptor {
namespace {

TEST(RingQueue, KeepsFifoOrderAcrossGrowthAndWrap) {
    RingQueue<int> q(2);
    for (int i = 0; i < 3; ++i) q.push_back(i);
    q.pop_front();
    q.pop_front();
    for (int i = 3; i < 20; ++i) q.push_back(i);  // wraps, then grows
    ASSERT_EQ(q.size(), 18u);
    for (int i = 2; i < 20; ++i) {
        EXPECT_EQ(q.front(), i);
        q.pop_front();
    }
    EXPECT_TRUE(q.empty());
    EXPECT_THROW(q.pop_front(), Panic);
}

TEST(RingQueue, PopFrontWhileStopsAtTheFirstEntryToKeepAcrossTheWrap) {
    RingQueue<int> q(8);
    for (int i = 0; i < 6; ++i) q.push_back(i);
    for (int i = 0; i < 5; ++i) q.pop_front();
    for (int i = 6; i < 12; ++i) q.push_back(i);  // entries 5..11, wrapped
    q.pop_front_while([](int v) { return v < 9 || v == 10; });
    ASSERT_EQ(q.size(), 3u);  // 10 is kept: 9 stops the run first
    EXPECT_EQ(q.front(), 9);
    q.push_back(12);
    std::vector<int> rest;
    for (std::size_t i = 0; i < q.size(); ++i) rest.push_back(q[i]);
    EXPECT_EQ(rest, (std::vector<int>{9, 10, 11, 12}));
    q.pop_front_while([](int) { return true; });
    EXPECT_TRUE(q.empty());
    q.pop_front_while([](int) { return true; });  // nothing to test on an empty queue
    EXPECT_TRUE(q.empty());
    RingQueue<int> none;
    none.pop_front_while([](int) { return true; });
    EXPECT_TRUE(none.empty());
}

// Pruning only when full keeps every live entry in order, drops nothing that
// is still live, and grows only when the live entries fill the storage: the
// capacity stays within twice the most live entries ever held. The reference
// prunes before every push. Values are arrival times; an entry is live while
// it is at least `now - window`.
TEST(RingQueue, PushPruningWhenFullKeepsTheLiveEntriesAndBoundedStorage) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        RingQueue<int> lazy(1);
        std::deque<int> reference;
        const int window = static_cast<int>(rng() % 12);
        std::size_t most_live = 1;
        int now = 0;
        for (int step = 0; step < 300; ++step) {
            now += static_cast<int>(rng() % 3 == 0);  // bursts of pushes in one tick
            const int oldest = now - window;
            const auto stale = [oldest](int v) { return v < oldest; };
            lazy.push_back_pruning_when_full(now, stale);
            while (!reference.empty() && stale(reference.front())) reference.pop_front();
            reference.push_back(now);
            most_live = std::max(most_live, reference.size());
            // The live entries are the lazy queue's tail, in order.
            ASSERT_GE(lazy.size(), reference.size()) << "round " << round;
            const std::size_t skip = lazy.size() - reference.size();
            for (std::size_t i = 0; i < skip; ++i) ASSERT_TRUE(stale(lazy[i]));
            for (std::size_t i = 0; i < reference.size(); ++i) {
                ASSERT_EQ(lazy[skip + i], reference[i]) << "round " << round;
            }
            ASSERT_LE(lazy.capacity(), 2 * most_live) << "round " << round;
        }
    }
}

TEST(RingQueue, GrowsByHalfAndGivesBackOversizedStorage) {
    RingQueue<int> q(8);
    for (int i = 0; i < 9; ++i) q.push_back(i);
    EXPECT_EQ(q.capacity(), 12u);
    // Wrapped contents survive growth at a capacity that is no power of two.
    for (int i = 0; i < 5; ++i) q.pop_front();
    for (int i = 9; i < 16; ++i) q.push_back(i);
    ASSERT_EQ(q.size(), 11u);
    for (std::size_t i = 0; i < q.size(); ++i) EXPECT_EQ(q[i], static_cast<int>(i) + 5);
    for (int i = 16; i < 400; ++i) q.push_back(i);
    EXPECT_GE(q.capacity(), 395u);
    // Not while entries remain, nor below twice the expected use.
    q.shrink_if_oversized(10);
    EXPECT_GE(q.capacity(), 395u);
    q.clear();
    q.shrink_if_oversized(200);
    EXPECT_GE(q.capacity(), 395u);
    q.shrink_if_oversized(10);
    EXPECT_EQ(q.capacity(), 32u);
    for (int i = 0; i < 40; ++i) q.push_back(i);
    for (std::size_t i = 0; i < 40; ++i) EXPECT_EQ(q[i], static_cast<int>(i));
}

}  // namespace
}  // namespace synaptor
