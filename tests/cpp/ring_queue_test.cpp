#include "util/ring_queue.hpp"

#include <gtest/gtest.h>

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

// The branch-free variant must leave exactly the queue the plain loop leaves,
// for stale runs of every length (none, within the two unrolled steps, longer,
// the whole queue), across the wrap, and on queues that are empty, full or
// have no storage at all.
TEST(RingQueue, PopFrontWhileFewMatchesPopFrontWhile) {
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        const std::size_t capacity = std::size_t{1} << (rng() % 4);  // 1..8
        RingQueue<int> plain(capacity);
        const int rotate = static_cast<int>(rng() % 8);
        for (int i = 0; i < rotate; ++i) {  // move the head so runs cross the wrap
            plain.push_back(-1);
            plain.pop_front();
        }
        const int count = static_cast<int>(rng() % (capacity + 1));
        for (int i = 0; i < count; ++i) plain.push_back(i);
        RingQueue<int> few = plain;
        // The copy starts at slot 0: another layout, the same queue.
        const int bound = static_cast<int>(rng() % 8);
        const auto stale = [bound](int v) { return v < bound; };
        plain.pop_front_while(stale);
        few.pop_front_while_few(stale);
        ASSERT_EQ(plain.size(), few.size()) << "round " << round;
        for (std::size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(plain[i], few[i]);
        // The queue still works at its new front and back.
        plain.push_back(100);
        few.push_back(100);
        ASSERT_EQ(plain.size(), few.size());
        ASSERT_EQ(plain.front(), few.front());
    }
    RingQueue<int> none;
    none.pop_front_while_few([](int) { return true; });
    EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace synaptor
