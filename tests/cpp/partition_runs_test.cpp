#include "util/partition_runs.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "util/panic.hpp"

namespace synaptor {
namespace {

TEST(PartitionRun, FirstPartitionsTakeTheRemainder) {
    const NeuronRun a = partition_run(10, 3, 0);
    const NeuronRun b = partition_run(10, 3, 1);
    const NeuronRun c = partition_run(10, 3, 2);
    EXPECT_EQ(a.start, 0u);
    EXPECT_EQ(a.end, 4u);
    EXPECT_EQ(b.start, 4u);
    EXPECT_EQ(b.end, 7u);
    EXPECT_EQ(c.start, 7u);
    EXPECT_EQ(c.end, 10u);
}

TEST(PartitionRun, RunsTileTheLayerInPartitionOrder) {
    for (std::uint64_t n : {0u, 1u, 2u, 5u, 17u, 100u}) {
        for (std::uint64_t parts : {1u, 2u, 3u, 7u, 64u}) {
            std::uint64_t next = 0;
            for (std::uint64_t i = 0; i < parts; ++i) {
                const NeuronRun run = partition_run(n, parts, i);
                EXPECT_EQ(run.start, next) << n << "/" << parts << " #" << i;
                EXPECT_LE(run.start, run.end);
                const std::uint64_t len = run.end - run.start;
                EXPECT_TRUE(len == n / parts || len == n / parts + 1);
                EXPECT_EQ(len == n / parts + 1, i < n % parts);
                next = run.end;
            }
            EXPECT_EQ(next, n);
        }
    }
}

TEST(PartitionRun, MorePartitionsThanNeuronsLeavesEmptyRuns) {
    for (std::uint64_t i = 0; i < 5; ++i) {
        const NeuronRun run = partition_run(2, 5, i);
        EXPECT_EQ(run.end - run.start, i < 2 ? 1u : 0u);
        EXPECT_EQ(run.start, i < 2 ? i : 2u);
    }
}

TEST(PartitionRun, HugeLayersDoNotOverflow) {
    const std::uint64_t n = std::numeric_limits<std::uint64_t>::max();
    const NeuronRun last = partition_run(n, 3, 2);
    EXPECT_EQ(last.end, n);
    EXPECT_EQ(partition_run(n, 3, 1).end, last.start);
}

TEST(PartitionRun, RejectsAnIndexOutOfRange) {
    EXPECT_THROW(partition_run(10, 3, 3), Panic);
    EXPECT_THROW(partition_run(10, 0, 0), Panic);
}

}  // namespace
}  // namespace synaptor
