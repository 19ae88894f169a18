// Boundaries of the coincidence window, compared with the saturating sum
// arrival + t_cutoff_coincidence against the current tick: pruning of recent
// inputs and the pre-after-post pairing at delivery, including cut-offs and
// ticks where the sum saturates.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "partition/neuron_dynamics.hpp"
#include "partition/synaptic_transmission.hpp"
#include "partition_test_support.hpp"
#include "util/tick_arithmetic.hpp"

namespace synaptor {
namespace {

using test::add_group;
using test::finish_layer;
using test::make_layer;
using test::static_projection;
using test::test_neuron_params;
using test::test_stdp_params;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

const std::vector<std::uint64_t> kCutoffs = {0, 1, 3, 20, kMax - 5, kMax};
const std::vector<std::uint64_t> kBases = {0, 7, 1000, kMax - 30};

TEST(CoincidenceWindow, PruningKeepsExactlyTheEntriesWhoseSumIsNotBelowTheTick) {
    for (const std::uint64_t cutoff : kCutoffs) {
        for (const std::uint64_t base : kBases) {
            Neuron n;
            for (std::uint64_t a = 0; a < 8; ++a) n.recent_inputs.push_back(RecentInput{a, 0, base + 3 * a});
            for (std::uint64_t dt = 0; dt < 30; ++dt) {
                const std::uint64_t t = base + dt;
                Neuron m = n;
                prune_recent_inputs(m, t, cutoff);
                std::size_t kept = 0;
                for (std::uint64_t a = 0; a < 8; ++a) {
                    if (!(saturating_add(base + 3 * a, cutoff) < t)) ++kept;
                }
                ASSERT_EQ(m.recent_inputs.size(), kept) << cutoff << " " << base << " " << dt;
                if (kept > 0) {
                    EXPECT_EQ(m.recent_inputs.front().arrival_t, base + 3 * (8 - kept));
                }
            }
        }
    }
}

TEST(CoincidenceWindow, DeliveryPairsWithASpikeInsideTheWindowOnly) {
    ProjectionParams projection = static_projection(10.0f, 1.0f);
    projection.long_term_stdp_params = test_stdp_params();
    int pairings = 0;
    int checks = 0;
    for (const std::uint64_t cutoff : kCutoffs) {
        for (const std::uint64_t base : kBases) {
            for (std::uint64_t dt = 1; dt < 6; ++dt) {
                NeuronParams params = test_neuron_params();
                params.t_cutoff_coincidence = cutoff;
                PartitionLayer layer = make_layer(0, 1, params);
                add_group(layer, 9, projection, {{0, 1.0f, 1}});
                finish_layer(layer);
                const std::uint64_t ts = base;
                const std::uint64_t t = base + dt;
                layer.neurons[0].last_spike_t = ts;
                layer.neurons[0].last_update_t = ts;
                propagate_spike(layer, 9, t - 1);
                deliver_due_events(layer, t);
                const float w = layer.pre_syn_groups.find(9)->synapses[0].weight;
                const bool expected = saturating_add(ts, cutoff) >= t;
                const float want = expected ? clamp_weight(1.0f, stdp_value(static_cast<std::int64_t>(dt),
                                                                            test_stdp_params()),
                                                           10.0f)
                                            : 1.0f;
                EXPECT_EQ(w, want) << cutoff << " " << base << " " << dt;
                pairings += expected ? 1 : 0;
                ++checks;
            }
        }
    }
    // Both outcomes occur.
    EXPECT_GT(pairings, 0);
    EXPECT_LT(pairings, checks);
}

}  // namespace
}  // namespace synaptor
