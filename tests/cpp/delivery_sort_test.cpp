// The sort of a due batch by neuron, in one pass and in buckets (spread
// through the cache or past it), against a plain stable sort: the same events
// in the same order, the same ends of the neurons' runs, the same summary of
// the plastic events.
#include "partition/delivery_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "random/chacha_rng.hpp"

namespace synaptor {
namespace {

/// Where the test's events go: up to 64 neurons around a few hot spots
/// (the first and last neurons, one neuron taking a large share), the rest
/// spread evenly.
enum class Spread { Even, Edges, OneHeavy };

std::vector<SynapticEvent> random_events(std::size_t n, std::size_t num_neurons, Spread spread,
                                         std::uint64_t seed) {
    ChaChaRng rng = ChaChaRng::seed_from_u64(seed);
    std::vector<SynapticEvent> events(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t r = rng.next_u64();
        std::uint64_t post = r % num_neurons;
        if (spread == Spread::Edges && (r >> 40) % 4 != 0) {
            post = (r >> 42) % 2 == 0
                       ? (r >> 44) % std::min<std::size_t>(num_neurons, 3)
                       : num_neurons - 1 - (r >> 44) % std::min<std::size_t>(num_neurons, 3);
        } else if (spread == Spread::OneHeavy && (r >> 40) % 2 == 0) {
            post = num_neurons / 2;
        }
        // The index makes every event distinct, so that order is visible.
        const bool plastic = (r >> 50) % 3 != 0;
        events[i] = SynapticEvent{
            static_cast<std::uint32_t>(post), static_cast<std::uint32_t>(i),
            static_cast<float>(r >> 60),
            SynapticEvent::make_tag(static_cast<std::uint32_t>(r >> 33) % 5000, plastic)};
    }
    return events;
}

struct Sorted {
    bool ok = false;
    std::vector<SynapticEvent> events;
    std::vector<std::uint32_t> ends;
    std::size_t num_plastic = 0;
    std::uint32_t max_group = 0;
    std::uint32_t max_synapse = 0;
};

/// The events go through a ring of two slots, written alternately, so that
/// the batch comes as runs of one block each, not adjacent in memory.
Sorted sort_through_ring(DeliveryScratch& scratch, const std::vector<SynapticEvent>& events,
                         std::size_t num_neurons) {
    BatchedRingBuffer<SynapticEvent> ring(2);
    {
        auto scheduler = ring.scheduler();
        for (const SynapticEvent& event : events) {
            scheduler.schedule(0, event);
            scheduler.schedule(1, event);
        }
    }
    Sorted out;
    ring.drain_current_batch(
        [&](const EventBatch& batch) { out.ok = sort_by_neuron(scratch, batch, num_neurons); });
    if (!out.ok) return out;
    out.events.assign(scratch.events.begin(), scratch.events.begin() + events.size());
    out.ends = scratch.neuron_start;
    out.num_plastic = scratch.num_plastic;
    out.max_group = scratch.max_group;
    out.max_synapse = scratch.max_synapse;
    return out;
}

Sorted stable_sorted(const std::vector<SynapticEvent>& events, std::size_t num_neurons) {
    Sorted out;
    out.ok = true;
    out.events = events;
    std::stable_sort(
        out.events.begin(), out.events.end(),
        [](const SynapticEvent& a, const SynapticEvent& b) { return a.post_index < b.post_index; });
    out.ends.assign(num_neurons + 1, 0);
    for (const SynapticEvent& event : events) {
        ++out.ends[event.post_index];
        if (event.has_timing_plasticity()) {
            ++out.num_plastic;
            out.max_group = std::max(out.max_group, event.group_index());
            out.max_synapse = std::max(out.max_synapse, event.synapse_index);
        }
    }
    std::uint32_t sum = 0;
    for (std::size_t m = 0; m < num_neurons; ++m) {
        sum += out.ends[m];
        out.ends[m] = sum;
    }
    out.ends[num_neurons] = sum;
    return out;
}

void expect_same(const Sorted& got, const Sorted& want) {
    ASSERT_TRUE(got.ok);
    ASSERT_EQ(got.events.size(), want.events.size());
    for (std::size_t i = 0; i < want.events.size(); ++i) {
        ASSERT_EQ(got.events[i].post_index, want.events[i].post_index) << "at " << i;
        ASSERT_EQ(got.events[i].synapse_index, want.events[i].synapse_index) << "at " << i;
        ASSERT_EQ(got.events[i].group_tag, want.events[i].group_tag) << "at " << i;
    }
    EXPECT_EQ(got.ends, want.ends);
    EXPECT_EQ(got.num_plastic, want.num_plastic);
    EXPECT_EQ(got.max_group, want.max_group);
    EXPECT_EQ(got.max_synapse, want.max_synapse);
}

/// The ways to sort: at once, in buckets, in buckets spread past the cache.
enum class Way { AtOnce, Buckets, Streamed };
constexpr Way kWays[] = {Way::AtOnce, Way::Buckets, Way::Streamed};

DeliveryScratch scratch_for(Way way) {
    constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();
    DeliveryScratch scratch;
    scratch.min_bucketed_batch = way == Way::AtOnce ? kNever : 0;
    scratch.min_streamed_batch = way == Way::Streamed ? 0 : kNever;
    return scratch;
}

TEST(DeliverySort, EveryWayEqualsAStableSort) {
    // Sizes around a block of the ring (1020 events) and large enough for
    // several hundred buckets; layers from one neuron to more neurons than
    // events, of sizes that are and are not powers of two.
    const std::size_t sizes[] = {0, 1, 1019, 1020, 1021, 5000, 300000};
    const std::size_t layers[] = {1, 7, 4096, 100003, (std::size_t{1} << 20) + 1};
    std::uint64_t seed = 1;
    for (const Way way : kWays) {
        for (const std::size_t n : sizes) {
            for (const std::size_t num_neurons : layers) {
                for (const Spread spread : {Spread::Even, Spread::Edges, Spread::OneHeavy}) {
                    SCOPED_TRACE(testing::Message()
                                 << "way " << static_cast<int>(way) << " n " << n << " neurons "
                                 << num_neurons << " spread " << static_cast<int>(spread));
                    const auto events = random_events(n, num_neurons, spread, ++seed);
                    DeliveryScratch scratch = scratch_for(way);
                    expect_same(sort_through_ring(scratch, events, num_neurons),
                                stable_sorted(events, num_neurons));
                }
            }
        }
    }
}

TEST(DeliverySort, ReusedScratchKeepsNothingOfEarlierBatches) {
    // A large batch over many neurons, then smaller ones and fewer neurons,
    // then larger again after the storage was given back: nothing of an
    // earlier sort may show through.
    for (const Way way : kWays) {
        DeliveryScratch scratch = scratch_for(way);
        std::uint64_t seed = 100;
        const std::pair<std::size_t, std::size_t> steps[] = {
            {200000, 70001}, {3000, 70001}, {50000, 900}, {0, 900}, {120000, 300000}};
        for (const auto& [n, num_neurons] : steps) {
            const auto events = random_events(n, num_neurons, Spread::Edges, ++seed);
            expect_same(sort_through_ring(scratch, events, num_neurons),
                        stable_sorted(events, num_neurons));
            for (int i = 0; i < 256; ++i) scratch.release_unused(n / 8);
        }
    }
}

TEST(DeliverySort, AnEventOutsideTheRunFailsTheSort) {
    // Wherever the stray event is (first, in a middle block, last), either
    // way reports it instead of writing out of bounds.
    for (const Way way : kWays) {
        for (const std::size_t at : {std::size_t{0}, std::size_t{2500}, std::size_t{69999}}) {
            auto events = random_events(70000, 5000, Spread::Even, 7 + at);
            events[at].post_index = at % 2 == 0 ? 5000 : std::numeric_limits<std::uint32_t>::max();
            DeliveryScratch scratch = scratch_for(way);
            EXPECT_FALSE(sort_through_ring(scratch, events, 5000).ok)
                << static_cast<int>(way) << " " << at;
        }
    }
    DeliveryScratch scratch = scratch_for(Way::Streamed);
    EXPECT_FALSE(sort_through_ring(scratch, random_events(10, 3, Spread::Even, 9), 0).ok);
    EXPECT_TRUE(sort_through_ring(scratch, {}, 0).ok);
}

}  // namespace
}  // namespace synaptor
