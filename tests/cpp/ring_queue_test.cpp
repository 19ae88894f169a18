#include "util/ring_queue.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace synaptor
