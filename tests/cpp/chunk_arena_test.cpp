#include "util/chunk_arena.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace synaptor {
namespace {

TEST(ChunkArena, RunsStayContiguousAndInPlaceAcrossChunks) {
    ChunkArena<std::uint64_t> arena;
    std::vector<std::pair<const std::uint64_t*, std::uint64_t>> runs;
    std::vector<std::uint64_t> run;
    // About 6 MB in runs of up to 100,000 items: several chunks, some huge-page backed.
    for (std::uint64_t r = 0; r < 40; ++r) {
        run.assign(1 + (r * 7919) % 100000, 0);
        for (std::size_t i = 0; i < run.size(); ++i) run[i] = r * 1000003 + i;
        runs.emplace_back(arena.append(run.data(), run.size()), run.size());
    }
    for (std::uint64_t r = 0; r < runs.size(); ++r) {
        for (std::uint64_t i = 0; i < runs[r].second; ++i) {
            ASSERT_EQ(runs[r].first[i], r * 1000003 + i) << r << " " << i;
        }
    }
    EXPECT_GE(arena.bytes_reserved(), std::size_t{6} << 20);
    EXPECT_EQ(arena.append(run.data(), 0), nullptr);
    ChunkArena<std::uint64_t> moved(std::move(arena));
    EXPECT_EQ(runs[3].first[0], 3 * 1000003u);
    EXPECT_EQ(arena.bytes_reserved(), 0u);
}

}  // namespace
}  // namespace synaptor
