// Boundaries of the coincidence window, compared with the saturating sum
// arrival + t_cutoff_coincidence against the current tick: pruning of recent
// inputs and the pre-after-post pairing at delivery, including cut-offs and
// ticks where the sum saturates.
#include "partition/coincidence_window.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
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

TEST(CoincidenceWindow, FiringSeesExactlyTheEntriesWhoseSumIsNotBelowTheTick) {
    for (const std::uint64_t cutoff : kCutoffs) {
        for (const std::uint64_t base : kBases) {
            CoincidenceWindows windows;
            for (std::uint64_t a = 0; a < 8; ++a) {
                windows.record(base + 3 * a, 0, static_cast<std::uint32_t>(a), 0);
                windows.seal(1, 0);
            }
            for (std::uint64_t dt = 0; dt < 30; ++dt) {
                const std::uint64_t t = base + dt;
                const std::vector<RecentInput> seen =
                    windows.inputs_of(0, first_unpaired_arrival(std::nullopt, t, cutoff));
                std::size_t kept = 0;
                for (std::uint64_t a = 0; a < 8; ++a) {
                    if (!(saturating_add(base + 3 * a, cutoff) < t)) ++kept;
                }
                ASSERT_EQ(seen.size(), kept) << cutoff << " " << base << " " << dt;
                if (kept > 0) {
                    EXPECT_EQ(seen.front().arrival_t, base + 3 * (8 - kept));
                }
            }
            // Filing forgets exactly the ticks that left the window.
            const std::uint64_t t = base + 20;
            const std::uint64_t oldest = oldest_recent_arrival(t, cutoff);
            windows.seal(1, oldest);
            const std::vector<RecentInput> held = windows.inputs_of(0, 0);
            ASSERT_FALSE(held.size() > 8);
            for (const RecentInput& input : held) EXPECT_GE(input.arrival_t, oldest);
            EXPECT_EQ(held, windows.inputs_of(0, oldest));
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
                const float want =
                    expected
                        ? clamp_weight(
                              1.0f, stdp_value(static_cast<std::int64_t>(dt), test_stdp_params()),
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

namespace synaptor {
namespace {

std::uint32_t float_bits(float x) { return std::bit_cast<std::uint32_t>(x); }

/// Pairings through the memoised kernels and decays against the direct
/// formulas, for time constants that validation would reject but that must
/// still give the same bits (NaN, signed zeros, infinities, negatives) and
/// for differences at and around the ends of the memoised range.
TEST(MemoisedPlasticity, PairingsMatchTheDirectFormulasForAnyTimeConstant) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> taus = {15.0f, nan, -nan, 0.0f, -0.0f, inf, -inf, -5.0f, 1e-30f};
    const std::vector<std::int64_t> dts = {-700, -512, -511, -3, -1, 0, 1, 2, 511, 512, 700};
    int compared = 0;
    for (const float tau : taus) {
        StdpParams p = test_stdp_params();
        p.tau_pre_before_post = tau;
        p.tau_pre_after_post = tau;
        ProjectionParams projection = static_projection(1000.0f, 1.0f);
        projection.long_term_stdp_params = p;
        ShortTermStdpParams st;
        st.stdp_params = p;
        st.tau = tau;
        projection.short_term_stdp_params = st;
        PartitionLayer layer = make_layer(0, 1);
        add_group(layer, 4, projection, {{0, 500.0f, 1}});
        finish_layer(layer);
        PreSynapticGroup& group = *layer.pre_syn_groups.find(4);
        SynapseRef synapse = group.synapses[0];
        std::uint64_t t = 100;
        for (const std::int64_t dt : dts) {
            for (const std::uint64_t gap : {0, 1, 600}) {
                t += gap;
                // A finite short-term weight to start from, so that the
                // decay's value shows in the result even when the kernel is NaN.
                synapse.short_term_weight = 0.25f;
                const float w = synapse.weight;
                const std::uint64_t update_t = synapse.short_term_update_t;
                apply_stdp(layer, group, 4, 0, dt, t);
                const float x = static_cast<float>(dt);
                const float kernel = dt > 0 ? p.factor_pre_after_post * expf(-x / tau)
                                            : p.factor_pre_before_post * expf(x / tau);
                ASSERT_EQ(float_bits(synapse.weight), float_bits(clamp_weight(w, kernel, 1000.0f)))
                    << tau << " " << dt << " " << gap;
                ASSERT_EQ(
                    float_bits(synapse.short_term_weight),
                    float_bits(0.25f * expf(-static_cast<float>(t - update_t) / tau) + kernel))
                    << tau << " " << dt << " " << gap;
                ++compared;
            }
        }
    }
    EXPECT_EQ(compared, 9 * 11 * 3);
}

}  // namespace
}  // namespace synaptor
