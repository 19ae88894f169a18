#include "util/ring_queue.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace synaptor
