#include "plasticity_modulation/eligibility_trace_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <tuple>
#include <utility>
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
            out.push_back(EligibilityTrace{span.t, span.group_position(i), span.synapse_index(i),
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
            EXPECT_EQ(100 + span.synapse_index(i) / 1000, span.t);
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

TEST(EligibilityTraceQueue, StorageFollowsTheLiveTracesOfTheLastDrop) {
    EligibilityTraceQueue q;
    q.set_group_bins({0, 0}, {1, 3});  // one packed bin: kChunk traces a chunk
    EXPECT_EQ(q.chunks_held(), 0u);
    const std::size_t n = 10 * kChunk;
    for (std::size_t i = 0; i < n; ++i) q.push_back(EligibilityTrace{i / kChunk, 0, 0, 1.0f});
    EXPECT_EQ(q.chunks_held(), 10u);
    // Eight chunks' worth of traces go: their chunks are kept, since the
    // traces until the next drop will fill about as many.
    q.pop_front_while([](std::uint64_t t) { return t < 8; });
    EXPECT_EQ(q.size(), 2 * kChunk);
    EXPECT_EQ(q.chunks_held(), 10u);
    // Refilling takes kept chunks first.
    for (std::size_t i = 0; i < kChunk; ++i) q.push_back(EligibilityTrace{20, 0, 0, 2.0f});
    EXPECT_EQ(q.chunks_held(), 10u);
    // A drop of one chunk keeps one spare and releases the older ones.
    q.pop_front_while([](std::uint64_t t) { return t < 9; });
    EXPECT_EQ(q.size(), 2 * kChunk);
    EXPECT_EQ(q.chunks_held(), 3u);
    // A drop that empties no chunk still keeps one.
    q.pop_front_while([](std::uint64_t t) { return t < 5; });
    EXPECT_EQ(q.chunks_held(), 3u);
    q.clear();
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.chunks_held(), 3u);
    q.push_back(EligibilityTrace{30, 1, 2, 3.0f});
    expect_same(q.front(), EligibilityTrace{30, 1, 2, 3.0f});
    EXPECT_EQ(q.chunks_held(), 3u);
    q.pop_front_while([](std::uint64_t t) { return t < 100; });
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

/// The traces of each synapse (group, index) in the order a walk meets them.
using PerSynapse =
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<std::pair<std::uint64_t, float>>>;
PerSynapse per_synapse(const std::vector<EligibilityTrace>& traces) {
    PerSynapse m;
    for (const EligibilityTrace& t : traces) {
        m[{t.group_position, t.synapse_index}].emplace_back(t.t, t.value);
    }
    return m;
}

std::vector<EligibilityTrace> by_bin_of(const EligibilityTraceQueue& q) {
    std::vector<EligibilityTrace> out;
    q.for_each_span_by_bin([&](const EligibilityTraceSpan& span) {
        for (std::size_t i = 0; i < span.size; ++i) {
            out.push_back(EligibilityTrace{span.t, span.group_position(i), span.synapse_index(i),
                                           span.values[i]});
        }
    });
    return out;
}

TEST(EligibilityTraceQueue, BinsKeepEachSynapsesOrderAndTicksInOrder) {
    // 12 groups in 4 bins, with group 11 beyond the table (bin 0); ticks in
    // runs that straddle chunks, several traces per synapse.
    const std::vector<std::uint32_t> bins = {0, 0, 1, 1, 1, 2, 3, 3, 2, 0, 3};
    std::vector<EligibilityTrace> pushed;
    for (std::size_t i = 0; i < 3 * kChunk; ++i) {
        pushed.push_back(EligibilityTrace{50 + i / 2000, static_cast<std::uint32_t>(i * 7 % 12),
                                          static_cast<std::uint32_t>(i % 5),
                                          static_cast<float>(i)});
    }
    EligibilityTraceQueue q;
    // Half pushed before the bins are set: those are filed again.
    for (std::size_t i = 0; i < pushed.size() / 2; ++i) q.push_back(pushed[i]);
    q.set_group_bins(bins, std::vector<std::uint32_t>(bins.size(), 5));
    for (std::size_t i = pushed.size() / 2; i < pushed.size(); ++i) q.push_back(pushed[i]);
    ASSERT_EQ(q.num_bins(), 4u);
    ASSERT_EQ(q.size(), pushed.size());
    for (const TraceLayout& layout : q.layouts()) EXPECT_TRUE(layout.packed);

    const std::vector<EligibilityTrace> walked = spans_of(q);
    ASSERT_EQ(walked.size(), pushed.size());
    for (std::size_t i = 1; i < walked.size(); ++i) ASSERT_LE(walked[i - 1].t, walked[i].t);
    EXPECT_EQ(per_synapse(walked), per_synapse(pushed));
    expect_same(q[17], walked[17]);

    // By bin: bin after bin, each bin's traces in their groups' bins.
    const std::vector<EligibilityTrace> by_bin = by_bin_of(q);
    EXPECT_EQ(per_synapse(by_bin), per_synapse(pushed));
    std::uint32_t bin = 0;
    for (const EligibilityTrace& t : by_bin) {
        const std::uint32_t b = t.group_position < bins.size() ? bins[t.group_position] : 0;
        ASSERT_GE(b, bin);
        bin = b;
    }

    // A stale prefix goes from every bin; the rest keeps its order.
    q.pop_front_while([](std::uint64_t t) { return t < 55; });
    std::vector<EligibilityTrace> fresh;
    for (const EligibilityTrace& t : pushed) {
        if (t.t >= 55) fresh.push_back(t);
    }
    ASSERT_EQ(q.size(), fresh.size());
    EXPECT_EQ(per_synapse(spans_of(q)), per_synapse(fresh));

    // A copy holds the same; renumbered groups take their bins along, so a
    // trace pushed for a renumbered group joins its group's earlier traces.
    const EligibilityTraceQueue copy = q;
    EXPECT_EQ(per_synapse(spans_of(copy)), per_synapse(fresh));
    const auto reverse = [](std::uint32_t g) { return g < 11 ? 10 - g : g; };
    q.renumber_groups(reverse);
    for (EligibilityTrace& t : fresh) t.group_position = reverse(t.group_position);
    const EligibilityTrace late{99, reverse(2), 3, -1.0f};
    q.push_back(late);
    fresh.push_back(late);
    EXPECT_EQ(q.group_bins()[reverse(2)], bins[2]);
    EXPECT_EQ(per_synapse(spans_of(q)), per_synapse(fresh));
    // Walked by bin, the late trace still comes after its synapse's others.
    EXPECT_EQ(per_synapse(by_bin_of(q)), per_synapse(fresh));
    q.clear();
    EXPECT_TRUE(q.empty());
    EXPECT_TRUE(spans_of(q).empty());
}

/// Every field of every trace in walk order, bin by bin and tick by tick.
using Walked = std::vector<std::tuple<std::uint64_t, std::uint32_t, std::uint32_t, float>>;
Walked exactly(const std::vector<EligibilityTrace>& traces) {
    Walked out;
    for (const EligibilityTrace& t : traces) {
        out.emplace_back(t.t, t.group_position, t.synapse_index, t.value);
    }
    return out;
}

TEST(EligibilityTraceQueue, LayoutPacksWhereGroupOffsetAndIndexFitOneKey) {
    EXPECT_TRUE(TraceLayout::for_groups(0, 65535, 65536).packed);
    EXPECT_FALSE(TraceLayout::for_groups(0, 65536, 65536).packed);
    EXPECT_FALSE(TraceLayout::for_groups(0, 65535, 65537).packed);
    // One group alone may have every 32-bit index; groups without synapses
    // need no index bits.
    EXPECT_EQ(TraceLayout::for_groups(7, 7, 0xFFFFFFFFu).index_bits, 32u);
    EXPECT_TRUE(TraceLayout::for_groups(7, 7, 0xFFFFFFFFu).packed);
    EXPECT_EQ(TraceLayout::for_groups(3, 3, 0).index_bits, 0u);
    // Bin 0 holds groups 0..9 (offsets of four bits), bin 1 groups 10..12
    // (two bits), indices below 8 (three bits). Groups beyond the table go
    // to bin 0: group 13 still fits its offsets, group 16 does not; index 8
    // does not fit either bin.
    const std::vector<std::uint32_t> bins = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1};
    const std::vector<std::uint32_t> sizes(bins.size(), 8);
    ASSERT_EQ(TraceLayout::for_groups(10, 12, 8), (TraceLayout{10, 2, 3, true}));
    struct Case {
        EligibilityTrace trace;
        std::size_t bin;
        bool stays_packed;
    };
    for (const Case& c : {Case{{1, 13, 7, 1.0f}, 0, true}, Case{{1, 16, 0, 1.0f}, 0, false},
                          Case{{1, 11, 8, 1.0f}, 1, false}, Case{{1, 3, 8, 1.0f}, 0, false}}) {
        EligibilityTraceQueue q;
        q.set_group_bins(bins, sizes);
        const std::vector<EligibilityTrace> fit = {{1, 0, 7, 2.0f}, {1, 12, 0, 3.0f}};
        for (const EligibilityTrace& t : fit) q.push_back(t);
        q.push_back(c.trace);
        EXPECT_EQ(q.layouts()[c.bin].packed, c.stays_packed);
        EXPECT_TRUE(q.layouts()[1 - c.bin].packed);
        std::vector<EligibilityTrace> expected = fit;
        expected.insert(expected.begin() + 1 + static_cast<std::ptrdiff_t>(c.bin), c.trace);
        EXPECT_EQ(exactly(by_bin_of(q)), exactly(expected));
    }
}

TEST(EligibilityTraceQueue, PackedAndWideBinsHoldTheSameTracesInTheSameOrder) {
    // Six groups in two bins; the second bin's group 4 is so large in
    // `wide_sizes` that its offsets and indices do not fit one key.
    const std::vector<std::uint32_t> bins = {0, 0, 0, 1, 1, 1};
    const std::vector<std::uint32_t> sizes = {3, 100, 7, 1u << 20, 2, 1};
    std::vector<std::uint32_t> wide_sizes = sizes;
    wide_sizes[4] = 0xFFFFFFFFu;
    EligibilityTraceQueue packed;
    packed.set_group_bins(bins, sizes);
    EligibilityTraceQueue mixed;
    mixed.set_group_bins(bins, wide_sizes);
    EligibilityTraceQueue wide;
    wide.set_group_bins(bins, {});  // no sizes: every bin wide
    EXPECT_TRUE(packed.layouts()[0].packed && packed.layouts()[1].packed);
    EXPECT_TRUE(mixed.layouts()[0].packed);
    EXPECT_FALSE(mixed.layouts()[1].packed);
    EXPECT_FALSE(wide.layouts()[0].packed || wide.layouts()[1].packed);

    std::vector<EligibilityTrace> pushed;
    for (std::size_t i = 0; i < 5 * kChunk; ++i) {
        const auto g = static_cast<std::uint32_t>(i * 5 % 6);
        pushed.push_back(EligibilityTrace{40 + i / 3000, g,
                                          static_cast<std::uint32_t>(i % sizes[g]),
                                          static_cast<float>(i) * -0.25f});
    }
    pushed.push_back(EligibilityTrace{60, 3, (1u << 20) - 1, 1.5f});  // the largest index
    for (EligibilityTraceQueue* q : {&packed, &mixed, &wide}) {
        for (const EligibilityTrace& t : pushed) q->push_back(t);
    }
    const auto walks = [](const EligibilityTraceQueue& q) {
        return std::pair{exactly(spans_of(q)), exactly(by_bin_of(q))};
    };
    EXPECT_EQ(walks(packed), walks(wide));
    EXPECT_EQ(walks(mixed), walks(wide));
    EXPECT_EQ(per_synapse(spans_of(packed)), per_synapse(pushed));
    // A packed chunk holds twice the traces of a wide one: 2.5 chunks' worth
    // in the first bin and one trace more in the second.
    EXPECT_EQ(packed.chunks_held(), 3u + 3u);
    EXPECT_EQ(wide.chunks_held(), 5u + 6u);

    // A trace that does not fit its packed bin (an index beyond its group's
    // size when the layout was set) widens that bin alone; the order stays.
    const EligibilityTrace grown{61, 1, 200, 2.5f};
    for (EligibilityTraceQueue* q : {&packed, &mixed, &wide}) q->push_back(grown);
    pushed.push_back(grown);
    EXPECT_FALSE(packed.layouts()[0].packed);
    EXPECT_TRUE(packed.layouts()[1].packed);
    EXPECT_EQ(walks(packed), walks(wide));
    EXPECT_EQ(walks(mixed), walks(wide));
    // Sizes that make room pack the bin again; each synapse keeps its order.
    std::vector<std::uint32_t> grown_sizes = sizes;
    grown_sizes[1] = 201;
    packed.set_group_bins(bins, grown_sizes);
    EXPECT_TRUE(packed.layouts()[0].packed);
    EXPECT_EQ(exactly(spans_of(packed)), exactly(spans_of(wide)));
    EXPECT_EQ(per_synapse(by_bin_of(packed)), per_synapse(pushed));

    // A copy keeps each bin's layout and walk; stale prefixes go alike.
    const EligibilityTraceQueue copy = mixed;
    EXPECT_EQ(copy.layouts(), mixed.layouts());
    EXPECT_EQ(walks(copy), walks(wide));
    for (EligibilityTraceQueue* q : {&packed, &mixed, &wide}) {
        q->pop_front_while([](std::uint64_t t) { return t < 50; });
    }
    EXPECT_EQ(packed.size(), wide.size());
    EXPECT_EQ(walks(mixed), walks(wide));
    EXPECT_EQ(exactly(spans_of(packed)), exactly(spans_of(wide)));
}

TEST(EligibilityTraceQueue, BinsOfConsecutiveGroupsFileEachTraceInItsGroupsBin) {
    // 300 groups in runs across the 64-group blocks of the lookup, some
    // bins empty (as bins smaller than a group leave them), one bin of a
    // single group; then the same bins out of order, which the lookup by
    // runs cannot serve.
    std::vector<std::uint32_t> bins(300);
    for (std::size_t g = 0; g < bins.size(); ++g) {
        bins[g] = g < 70 ? 0 : g < 71 ? 3 : g < 200 ? 4 : 7;
    }
    for (const bool in_runs : {true, false}) {
        if (!in_runs) std::swap(bins[5], bins[250]);
        EligibilityTraceQueue q;
        q.set_group_bins(bins, std::vector<std::uint32_t>(bins.size(), 4));
        ASSERT_EQ(q.num_bins(), 8u);
        std::vector<EligibilityTrace> expected;
        for (std::size_t n = 0; n < 2 * bins.size() + 1; ++n) {  // the last beyond the table
            const auto g = static_cast<std::uint32_t>(2 * bins.size() - n);
            const EligibilityTrace trace{1, g / 2 < bins.size() ? g / 2 : 1000, g % 4, 1.0f};
            q.push_back(trace);
            expected.push_back(trace);
        }
        const auto bin = [&](const EligibilityTrace& t) {
            return t.group_position < bins.size() ? bins[t.group_position] : 0u;
        };
        // Bin after bin, each in pushing order.
        std::stable_sort(expected.begin(), expected.end(),
                         [&](const auto& a, const auto& b) { return bin(a) < bin(b); });
        EXPECT_EQ(exactly(by_bin_of(q)), exactly(expected)) << in_runs;
    }
}

TEST(EligibilityTraceQueue, APackedBinOfOneGroupKeepsEveryIndex) {
    EligibilityTraceQueue q;
    q.set_group_bins({0, 1}, {5, 0xFFFFFFFFu});
    ASSERT_TRUE(q.layouts()[1].packed);
    const EligibilityTrace far{9, 1, 0xFFFFFFFEu, 0.5f};
    const EligibilityTrace near{9, 1, 0, -0.5f};
    q.push_back(far);
    q.push_back(near);
    EXPECT_TRUE(q.layouts()[1].packed);
    expect_same(q[0], far);
    expect_same(q[1], near);
}

}  // namespace
}  // namespace synaptor
