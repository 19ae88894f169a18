#include "plasticity_modulation/eligibility_trace_queue.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace synaptor {
namespace {

constexpr std::size_t kChunk = EligibilityTraceQueue::kChunkTraces;

/// Trace number i of a sequence whose ticks come in runs of 1000.
EligibilityTrace nth_trace(std::size_t i) {
    return EligibilityTrace{100 + i / 1000, static_cast<std::uint32_t>(i % 37),
                            static_cast<std::uint32_t>(i), static_cast<float>(i) * 0.5f};
}

std::vector<EligibilityTrace> spans_of(const EligibilityTraceQueue& q) {
    std::vector<EligibilityTrace> out;
    q.for_each_span([&](const EligibilityTraceSpan& span) {
        EXPECT_NE(span.size, 0u);
        for (std::size_t i = 0; i < span.size; ++i) {
            out.push_back(EligibilityTrace{span.t, span.group_positions[i], span.synapse_indices[i],
                                           span.values[i]});
        }
    });
    return out;
}

void expect_same(const EligibilityTrace& a, const EligibilityTrace& b) {
    EXPECT_EQ(a.t, b.t);
    EXPECT_EQ(a.group_position, b.group_position);
    EXPECT_EQ(a.synapse_index, b.synapse_index);
    EXPECT_EQ(a.value, b.value);
}

TEST(EligibilityTraceQueue, KeepsOrderAcrossChunksAndDropsAStalePrefix) {
    EligibilityTraceQueue q;
    const std::size_t n = 3 * kChunk + 123;
    for (std::size_t i = 0; i < n; ++i) q.push_back(nth_trace(i));
    ASSERT_EQ(q.size(), n);
    std::vector<EligibilityTrace> all = spans_of(q);
    ASSERT_EQ(all.size(), n);
    for (std::size_t i = 0; i < n; i += 997) {
        expect_same(all[i], nth_trace(i));
        expect_same(q[i], nth_trace(i));
    }
    // Every span shares one tick and lies in one chunk.
    q.for_each_span([&](const EligibilityTraceSpan& span) {
        EXPECT_LE(span.size, kChunk);
        for (std::size_t i = 0; i < span.size; ++i) {
            EXPECT_EQ(100 + span.synapse_indices[i] / 1000, span.t);
        }
    });

    // Drops whole runs of ticks below 100 + 20, i.e. the first 20000 traces.
    q.pop_front_while([](std::uint64_t t) { return t < 120; });
    ASSERT_EQ(q.size(), n - 20000);
    expect_same(q.front(), nth_trace(20000));
    all = spans_of(q);
    ASSERT_EQ(all.size(), n - 20000);
    expect_same(all.back(), nth_trace(n - 1));
    // Nothing stale at the front: nothing goes.
    q.pop_front_while([](std::uint64_t t) { return t < 50; });
    EXPECT_EQ(q.size(), n - 20000);
}

TEST(EligibilityTraceQueue, StorageFollowsTheLiveTraces) {
    EligibilityTraceQueue q;
    EXPECT_EQ(q.chunks_held(), 0u);
    const std::size_t n = 10 * kChunk;
    for (std::size_t i = 0; i < n; ++i) q.push_back(EligibilityTrace{i / kChunk, 0, 0, 1.0f});
    EXPECT_EQ(q.chunks_held(), 10u);
    // Eight chunks' worth of traces go: their storage is released but for
    // one chunk kept for reuse.
    q.pop_front_while([](std::uint64_t t) { return t < 8; });
    EXPECT_EQ(q.size(), 2 * kChunk);
    EXPECT_EQ(q.chunks_held(), 3u);
    // Refilling takes the kept chunk first.
    for (std::size_t i = 0; i < kChunk; ++i) q.push_back(EligibilityTrace{20, 0, 0, 2.0f});
    EXPECT_EQ(q.chunks_held(), 3u);
    q.clear();
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.chunks_held(), 1u);
    q.push_back(EligibilityTrace{30, 1, 2, 3.0f});
    expect_same(q.front(), EligibilityTrace{30, 1, 2, 3.0f});
    EXPECT_EQ(q.chunks_held(), 1u);
}

TEST(EligibilityTraceQueue, RunsFollowTicksAsAppendedAndCopiesAreEqual) {
    EligibilityTraceQueue q;
    // Equal ticks that are not adjacent make separate runs; a stale tick
    // behind a fresh one stays until the fresh one goes.
    const std::vector<std::uint64_t> ts = {5, 5, 7, 5, 9, 9};
    for (std::size_t i = 0; i < ts.size(); ++i) {
        q.push_back(EligibilityTrace{ts[i], static_cast<std::uint32_t>(i), 0, 1.0f});
    }
    std::vector<std::uint64_t> span_ts;
    q.for_each_span([&](const EligibilityTraceSpan& span) { span_ts.push_back(span.t); });
    EXPECT_EQ(span_ts, (std::vector<std::uint64_t>{5, 7, 5, 9}));
    q.renumber_groups([](std::uint32_t g) { return g + 10; });
    const EligibilityTraceQueue copy = q;
    q.pop_front_while([](std::uint64_t t) { return t < 6; });
    ASSERT_EQ(q.size(), 4u);
    expect_same(q.front(), EligibilityTrace{7, 12, 0, 1.0f});
    expect_same(q[1], EligibilityTrace{5, 13, 0, 1.0f});
    ASSERT_EQ(copy.size(), 6u);
    for (std::size_t i = 0; i < ts.size(); ++i) {
        expect_same(copy[i], EligibilityTrace{ts[i], static_cast<std::uint32_t>(i + 10), 0, 1.0f});
    }
}

}  // namespace
}  // namespace synaptor
