#include "partition/synaptic_transmission.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "partition/neuron_dynamics.hpp"
#include "partition_test_support.hpp"

namespace synaptor {
namespace {

using test::add_group;
using test::finish_layer;
using test::make_layer;
using test::static_projection;
using test::synapse_at;
using test::test_stdp_params;
using test::test_stp_params;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

constexpr auto& bits = test::float_bits;

/// Runs propagation and delivery tick by tick: `pre_spikes` lists (tick, nid)
/// of pre-synaptic spikes, `post_spikes` (tick, local index) of forced spikes.
void run_ticks(PartitionLayer& layer, std::uint64_t from, std::uint64_t to,
               const std::vector<std::pair<std::uint64_t, std::uint64_t>>& pre_spikes,
               const std::vector<std::pair<std::uint64_t, std::uint64_t>>& post_spikes) {
    for (std::uint64_t t = from; t <= to; ++t) {
        for (const auto& [ts, nid] : pre_spikes) {
            if (ts + 1 == t) propagate_spike(layer, nid, ts);
        }
        deliver_due_events(layer, t);
        for (const auto& [ts, i] : post_spikes) {
            if (ts == t) fire_neuron(layer, i, t);
        }
        layer.pending_neurons.clear();
    }
}

TEST(SynapticTransmission, PropagationSchedulesByDelayWithStpOncePerSpike) {
    ProjectionParams projection = static_projection(2.0f, 0.5f);
    projection.stp_params = test_stp_params(StpParams::Kind::Depression);
    projection.long_term_stdp_params = test_stdp_params();
    PartitionLayer layer = make_layer(100, 3);
    add_group(layer, 7, projection, {{0, 0.8f, 3}, {2, 0.6f, 1}});
    finish_layer(layer);
    for (std::uint64_t t = 0; t < 11; ++t) deliver_due_events(layer, t);
    propagate_spike(layer, 7, 10);   // at tick 11
    propagate_spike(layer, 99, 10);  // no group here: nothing happens
    const PreSynapticGroup& group = *layer.pre_syn_groups.find(7);
    EXPECT_EQ(group.last_spike_t, 10u);
    EXPECT_FALSE(group.previous_spike_t);
    // p = 0.5 for both synapses (one efficacy per spike), no short-term offset.
    EXPECT_EQ(deliver_due_events(layer, 11), 1u);  // delay 1 arrives at 11
    EXPECT_EQ(layer.neurons[2].voltage, (0.6f * 0.5f + 0.0f) * 0.5f);
    EXPECT_EQ(deliver_due_events(layer, 12), 0u);
    EXPECT_EQ(deliver_due_events(layer, 13), 1u);  // delay 3 arrives at 13
    EXPECT_EQ(layer.neurons[0].voltage, (0.8f * 0.5f + 0.0f) * 0.5f);
    ASSERT_EQ(test::window(layer, 0).size(), 1u);
    EXPECT_EQ(test::window(layer, 0).front().arrival_t, 13u);
    EXPECT_EQ(test::window(layer, 0).front().synapse_index, 0u);
}

TEST(SynapticTransmission, OnlySynapsesWithStdpEnterTheCoincidenceWindow) {
    // Inputs over synapses without STDP could only ever pair with no effect,
    // so they are not recorded; a plastic input among them pairs as usual.
    ProjectionParams plastic = static_projection(2.0f, 0.01f);
    plastic.long_term_stdp_params = test_stdp_params();
    PartitionLayer layer = make_layer(0, 1);
    add_group(layer, 1, static_projection(2.0f, 0.01f), {{0, 1.0f, 1}});
    add_group(layer, 2, plastic, {{0, 1.0f, 2}});
    finish_layer(layer);
    run_ticks(layer, 0, 10, {{5, 1}, {5, 2}, {7, 1}}, {});
    ASSERT_EQ(test::window(layer, 0).size(), 1u);
    EXPECT_EQ(layer.pre_syn_groups.key_at(test::window(layer, 0).front().group_index), 2u);
    EXPECT_EQ(test::window(layer, 0).front().arrival_t, 7u);
    run_ticks(layer, 11, 11, {}, {{11, 0}});
    EXPECT_EQ(synapse_at(layer, 2, 0).weight,
              std::min(std::max(1.0f + stdp_value(-4, test_stdp_params()), 0.0f), 2.0f));
    EXPECT_EQ(synapse_at(layer, 1, 0).weight, 1.0f);
    EXPECT_TRUE(test::window(layer, 0).empty());
}

TEST(SynapticTransmission, PspCutsAtZeroBeforeScaling) {
    ProjectionParams projection = static_projection(2.0f, -2.0f);
    ShortTermStdpParams st;
    st.stdp_params = test_stdp_params();
    st.tau = 4.0f;
    projection.short_term_stdp_params = st;
    PartitionLayer layer = make_layer(0, 3);
    add_group(layer, 9, projection, {{0, 0.5f, 2}, {1, 0.5f, 2}, {2, kNaN, 2}});
    finish_layer(layer);
    synapse_at(layer, 9, 0).short_term_weight = -5.0f;  // decayed, still larger than weight * p
    synapse_at(layer, 9, 0).short_term_update_t = 5;
    synapse_at(layer, 9, 1).short_term_weight = 0.3f;
    synapse_at(layer, 9, 1).short_term_update_t = 5;
    // A stored -0.0 keeps the sign of a -0.0 input: -0.0 * e + -0.0 = -0.0.
    for (Neuron& n : layer.neurons) n.voltage = -0.0f;
    propagate_spike(layer, 9, 10);  // arrival 12
    deliver_due_events(layer, 0);
    deliver_due_events(layer, 1);
    // Negative sum: +0.0 times a negative scale is -0.0.
    EXPECT_EQ(bits(layer.neurons[0].voltage), bits(-0.0f));
    const float s = 0.3f * expf(-7.0f / 4.0f);
    EXPECT_EQ(layer.neurons[1].voltage, (0.5f * 1.0f + s) * -2.0f);
    // A NaN sum transmits 0.0.
    EXPECT_EQ(bits(layer.neurons[2].voltage), bits(-0.0f));
    // The synapses themselves are unchanged by propagation.
    EXPECT_EQ(synapse_at(layer, 9, 1).short_term_weight, 0.3f);
}

TEST(SynapticTransmission, ZeroShortTermWeightWithNaNTauStillTransmitsZero) {
    // A NaN time constant makes the decay NaN, so even a zero offset is NaN
    // and the cut at zero must see it.
    ProjectionParams projection = static_projection(2.0f, 1.0f);
    ShortTermStdpParams st;
    st.stdp_params = test_stdp_params();
    st.tau = kNaN;
    projection.short_term_stdp_params = st;
    PartitionLayer layer = make_layer(0, 1);
    add_group(layer, 3, projection, {{0, 0.5f, 1}});
    finish_layer(layer);
    propagate_spike(layer, 3, 0);
    deliver_due_events(layer, 1);
    EXPECT_EQ(bits(layer.neurons[0].voltage), bits(0.0f));
}

TEST(SynapticTransmission, PairingExamplePreSpikes100And110) {
    ProjectionParams projection = static_projection(2.0f, 0.01f);
    projection.long_term_stdp_params = test_stdp_params();
    PartitionLayer layer = make_layer(0, 1);
    add_group(layer, 50, projection, {{0, 1.0f, 2}});
    finish_layer(layer);
    run_ticks(layer, 0, 120, {{100, 50}, {110, 50}}, {{103, 0}});
    const float after_pre_before_post =
        std::min(std::max(1.0f + stdp_value(-1, test_stdp_params()), 0.0f), 2.0f);
    const float expected =
        std::min(std::max(after_pre_before_post + stdp_value(9, test_stdp_params()), 0.0f), 2.0f);
    EXPECT_EQ(synapse_at(layer, 50, 0).weight, expected);
    EXPECT_NE(expected, after_pre_before_post);
}

TEST(SynapticTransmission, PairingExamplePreSpikes100And104Delay5) {
    ProjectionParams projection = static_projection(2.0f, 0.01f);
    projection.long_term_stdp_params = test_stdp_params();
    PartitionLayer layer = make_layer(0, 1);
    add_group(layer, 50, projection, {{0, 1.0f, 5}});
    finish_layer(layer);
    run_ticks(layer, 0, 120, {{100, 50}, {104, 50}}, {{103, 0}});
    EXPECT_EQ(synapse_at(layer, 50, 0).weight, 1.0f);
    EXPECT_EQ(test::window(layer, 0).size(), 2u);  // arrivals 105 and 109
}

TEST(SynapticTransmission, InputInTheFiringTickPairsWithZeroAndWeightsStayInBounds) {
    ProjectionParams projection = static_projection(1.0f, 0.01f);
    StdpParams big = test_stdp_params();
    big.factor_pre_before_post = 5.0f;
    big.factor_pre_after_post = -5.0f;
    projection.long_term_stdp_params = big;
    PartitionLayer layer = make_layer(0, 2);
    add_group(layer, 1, projection, {{0, 0.3f, 1}, {1, 0.3f, 1}});
    finish_layer(layer);
    // Arrival at 4 and a spike at 4: dt = 0, factor 5 times 1, capped at max.
    run_ticks(layer, 0, 4, {{3, 1}}, {{4, 0}});
    EXPECT_EQ(synapse_at(layer, 1, 0).weight, 1.0f);
    // Post spike at 5, pre arrival at 6: pushed below zero, leaves exactly 0.
    run_ticks(layer, 5, 7, {{5, 1}}, {{5, 1}});
    EXPECT_EQ(bits(synapse_at(layer, 1, 1).weight), bits(0.0f));
    // A NaN change clamps to 0.0 as well.
    EXPECT_EQ(bits(clamp_weight(0.5f, kNaN, 1.0f)), bits(0.0f));
    EXPECT_EQ(bits(non_negative(-0.0f)), bits(0.0f));
}

TEST(SynapticTransmission, ShortTermThenLongTermAndTracesUnderAModulator) {
    ProjectionParams projection = static_projection(2.0f, 0.01f);
    projection.long_term_stdp_params = test_stdp_params();
    ShortTermStdpParams st;
    st.stdp_params = test_stdp_params();
    st.stdp_params.factor_pre_before_post = 0.3f;
    st.tau = 6.0f;
    projection.short_term_stdp_params = st;
    PartitionLayer layer = make_layer(0, 1);
    add_group(layer, 4, projection, {{0, 1.0f, 1}});
    finish_layer(layer);
    PlasticityModulationParams mp;
    mp.tau_eligibility_trace = 5.0f;
    mp.eligibility_trace_delay = 3;
    mp.dopamine_modulation_factor = 1.0f;
    mp.t_cutoff_eligibility_trace = 10;
    mp.dopamine_flush_period = 10;
    mp.dopamine_conflation_period = 5;
    layer.plasticity_modulator.emplace(mp);
    PreSynapticGroup& group = *layer.pre_syn_groups.find(4);
    SynapseRef synapse = synapse_at(layer, 4, 0);
    synapse.short_term_weight = 0.2f;
    synapse.short_term_update_t = 2;
    apply_stdp(layer, group, 4, 0, -3, 8);
    EXPECT_EQ(synapse.short_term_weight, 0.2f * expf(-6.0f / 6.0f) + 0.3f * expf(-3.0f / 20.0f));
    EXPECT_EQ(synapse.short_term_update_t, 8u);
    EXPECT_EQ(synapse.weight, 1.0f);  // held back as a trace
    const EligibilityTraceQueue& traces = layer.plasticity_modulator->eligibility_traces;
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces.front().t, 11u);
    EXPECT_EQ(layer.pre_syn_groups.key_at(traces.front().group_position), 4u);
    EXPECT_EQ(traces.front().synapse_index, 0u);
    EXPECT_EQ(traces.front().value, stdp_value(-3, test_stdp_params()));

    // Flush: a second trace on the same synapse is applied and clamped separately.
    layer.plasticity_modulator->eligibility_traces.push_back(EligibilityTrace{11, 0, 0, 100.0f});
    layer.plasticity_modulator->eligibility_traces.push_back(EligibilityTrace{11, 0, 0, kNaN});
    DopamineFlush flush;
    flush.tau_eligibility_trace = 5.0f;
    flush.samples = {{10, 9.0f}, {15, 0.5f}};
    apply_dopamine_flush(layer, flush);
    const float first =
        std::min(std::max(1.0f + dopamine_weight_change(traces[0], flush), 0.0f), 2.0f);
    EXPECT_NE(first, 1.0f);
    EXPECT_EQ(synapse.weight, 2.0f);  // the second trace hits the bound
    synapse.weight = first;
    flush.samples = {{15, -1000.0f}};
    apply_dopamine_flush(layer, flush);
    EXPECT_EQ(bits(synapse.weight), bits(0.0f));
}

/// A flush against the trace-by-trace definition, with the traces filed in
/// bins of `per_bin` synapses. Groups inserted out of nid order (so
/// positions differ from nids), traces over many ticks and all over the
/// layer, several per synapse, more than a block per tick, values of both
/// signs, a NaN and values large enough to hit both bounds; samples before,
/// at and after the traces' ticks with zero and negative amounts. `packed`:
/// whether the bins pack each trace's synapse into one key.
void expect_flush_as_defined(std::size_t per_bin, bool packed) {
    PartitionLayer layer = make_layer(100, 8);
    layer.trace_bin_synapses = per_bin;
    layer.pack_trace_keys = packed;
    const std::vector<std::uint64_t> nids = {40, 3, 17, 8};
    for (std::size_t n = 0; n < nids.size(); ++n) {
        ProjectionParams projection = static_projection(0.7f + 0.1f * static_cast<float>(n), 1.0f);
        std::vector<test::TestSynapse> synapses;
        for (std::uint64_t post = 0; post < 8; ++post) {
            synapses.push_back({post, 0.05f * static_cast<float>(post + n), 1});
        }
        add_group(layer, nids[n], projection, synapses);
    }
    PlasticityModulationParams mp;
    mp.tau_eligibility_trace = 7.0f;
    mp.dopamine_modulation_factor = 1.0f;
    mp.t_cutoff_eligibility_trace = 100;
    mp.dopamine_flush_period = 10;
    mp.dopamine_conflation_period = 5;
    layer.plasticity_modulator.emplace(mp);
    EligibilityTraceQueue& traces = layer.plasticity_modulator->eligibility_traces;
    std::uint64_t state = 12345;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33);
    };
    for (std::uint64_t t = 10; t < 30; ++t) {
        const std::size_t count = t == 20 ? 700 : 40;
        for (std::size_t i = 0; i < count; ++i) {
            const float value = (static_cast<float>(next() % 2001) - 1000.0f) * 0.0007f;
            traces.push_back(EligibilityTrace{t, next() % 4, next() % 8, value});
        }
    }
    traces.push_back(EligibilityTrace{21, 2, 3, kNaN});
    traces.push_back(EligibilityTrace{21, 1, 5, 400.0f});
    traces.push_back(EligibilityTrace{22, 1, 5, -900.0f});

    DopamineFlush flush;
    flush.tau_eligibility_trace = mp.tau_eligibility_trace;
    flush.samples = {{5, 3.0f}, {15, 0.0f}, {20, -1.5f}, {25, 0.75f}, {30, 2.0f}};
    // The definition: every trace front to back, each clamped on its own.
    std::vector<std::vector<float>> expected(4);
    for (std::size_t g = 0; g < 4; ++g) {
        for (const Synapse& synapse : layer.pre_syn_groups.group_at(g).synapses) {
            expected[g].push_back(synapse.weight);
        }
    }
    for (std::size_t i = 0; i < traces.size(); ++i) {
        const EligibilityTrace trace = traces[i];
        const float sum = dopamine_weight_change(trace, flush);
        if (!(sum < 0.0f || sum > 0.0f)) continue;
        float& w = expected[trace.group_position][trace.synapse_index];
        w = clamp_weight(w, sum, layer.pre_syn_groups.group_at(trace.group_position).max_weight);
    }
    for (int round = 0; round < 2; ++round) {  // the second reuses the working storage
        apply_dopamine_flush(layer, flush);
        EXPECT_EQ(traces.num_bins(), per_bin == 3 ? 9u : 1u);
        for (std::size_t g = 0; g < 4; ++g) {
            EXPECT_EQ(traces.layouts().at(g * 8 / std::min<std::size_t>(per_bin, 32)).packed,
                      packed);
        }
        std::size_t changed = 0;
        for (std::size_t g = 0; g < 4; ++g) {
            const SynapseList& synapses = layer.pre_syn_groups.group_at(g).synapses;
            for (std::size_t k = 0; k < synapses.size(); ++k) {
                ASSERT_EQ(bits(synapses[k].weight), bits(expected[g][k])) << g << " " << k;
                changed += expected[g][k] != 0.05f * static_cast<float>(k + g) ? 1 : 0;
            }
        }
        EXPECT_GT(changed, 16u);
        if (round == 1) break;
        for (std::size_t i = 0; i < traces.size(); ++i) {
            const EligibilityTrace trace = traces[i];
            const float sum = dopamine_weight_change(trace, flush);
            if (!(sum < 0.0f || sum > 0.0f)) continue;
            float& w = expected[trace.group_position][trace.synapse_index];
            w = clamp_weight(w, sum,
                             layer.pre_syn_groups.group_at(trace.group_position).max_weight);
        }
    }
}

TEST(SynapticTransmission, FlushAppliesEveryTraceAsTheTraceByTraceDefinition) {
    expect_flush_as_defined(131072, true);  // one bin: queue order
    expect_flush_as_defined(131072, false);
}

TEST(SynapticTransmission, FlushByBinsAppliesEveryTraceAsTheTraceByTraceDefinition) {
    // Groups of 8 synapses in bins of 3: 9 bins, some empty.
    expect_flush_as_defined(3, true);
    expect_flush_as_defined(3, false);
}

TEST(SynapticTransmission, ReorderedGroupsRenumberHeldTraces) {
    PartitionLayer layer = make_layer(0, 2);
    add_group(layer, 9, static_projection(1.0f, 1.0f), {{0, 0.5f, 1}});
    add_group(layer, 2, static_projection(1.0f, 1.0f), {{1, 0.5f, 1}});
    PlasticityModulationParams mp;
    mp.tau_eligibility_trace = 5.0f;
    mp.dopamine_modulation_factor = 1.0f;
    mp.t_cutoff_eligibility_trace = 10;
    mp.dopamine_flush_period = 10;
    mp.dopamine_conflation_period = 5;
    layer.plasticity_modulator.emplace(mp);
    EligibilityTraceQueue& traces = layer.plasticity_modulator->eligibility_traces;
    traces.push_back(EligibilityTrace{0, 0, 0, 0.25f});  // group of nid 9, stored first
    sort_pre_syn_groups(layer);
    ASSERT_EQ(layer.pre_syn_groups.key_at(0), 2u);
    EXPECT_EQ(traces.front().group_position, 1u);
    DopamineFlush flush;
    flush.tau_eligibility_trace = 5.0f;
    flush.samples = {{0, 1.0f}};
    apply_dopamine_flush(layer, flush);
    EXPECT_EQ(synapse_at(layer, 9, 0).weight, 0.75f);
    EXPECT_EQ(synapse_at(layer, 2, 0).weight, 0.5f);
}

TEST(SynapticTransmission, MemoisedStdpMatchesTheDirectKernel) {
    ProjectionParams projection = static_projection(1000.0f, 1.0f);
    StdpParams p = test_stdp_params();
    p.tau_pre_before_post = 7.3f;
    p.tau_pre_after_post = 13.1f;
    projection.long_term_stdp_params = p;
    ShortTermStdpParams st;
    st.stdp_params = p;
    st.tau = 3.7f;
    projection.short_term_stdp_params = st;
    PartitionLayer layer = make_layer(0, 1);
    add_group(layer, 4, projection, {{0, 500.0f, 1}});
    finish_layer(layer);
    PreSynapticGroup& group = *layer.pre_syn_groups.find(4);
    SynapseRef synapse = synapse_at(layer, 4, 0);
    for (std::int64_t dt = -300; dt <= 300; ++dt) {
        const std::uint64_t t = 1000 + static_cast<std::uint64_t>(dt + 300) * 2;
        const float w = synapse.weight;
        const float stw = synapse.short_term_weight;
        const std::uint64_t update_t = synapse.short_term_update_t;
        apply_stdp(layer, group, 4, 0, dt, t);
        ASSERT_EQ(bits(synapse.weight), bits(clamp_weight(w, stdp_value(dt, p), 1000.0f))) << dt;
        ASSERT_EQ(bits(synapse.short_term_weight),
                  bits(stw * expf(-static_cast<float>(t - update_t) / 3.7f) + stdp_value(dt, p)));
    }
}

/// Pairings through the memoised kernels and decays against the direct
/// formulas, for time constants that validation would reject but that must
/// still give the same bits (NaN, signed zeros, infinities, negatives) and
/// for differences at and around the ends of the memoised range.
TEST(SynapticTransmission, MemoisedPairingsMatchTheDirectFormulasForAnyTimeConstant) {
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
                ASSERT_EQ(bits(synapse.weight), bits(clamp_weight(w, kernel, 1000.0f)))
                    << tau << " " << dt << " " << gap;
                ASSERT_EQ(bits(synapse.short_term_weight),
                          bits(0.25f * expf(-static_cast<float>(t - update_t) / tau) + kernel))
                    << tau << " " << dt << " " << gap;
                ++compared;
            }
        }
    }
    EXPECT_EQ(compared, 9 * 11 * 3);
}

TEST(SynapticTransmission, BrokenInvariantsPanic) {
    PartitionLayer layer = make_layer(0, 2);
    ProjectionParams projection = static_projection();
    projection.long_term_stdp_params = test_stdp_params();
    add_group(layer, 1, projection, {{0, 0.5f, 1}});
    add_group(layer, 2, projection, {{5, 0.5f, 1}});  // post index out of range
    add_group(layer, 3, projection, {{1, 0.5f, 0}});  // delay 0
    finish_layer(layer);
    EXPECT_THROW(propagate_spike(layer, 3, 0), Panic);
    const std::uint32_t of_1 = layer.pre_syn_groups.index_of(1);
    const std::uint32_t tag_1 = SynapticEvent::make_tag(of_1, true);
    EXPECT_THROW(deliver_event(layer, SynapticEvent{9, 0, 0.1f, tag_1}, 1), Panic);
    // Unknown group position (met when the input is recorded) and synapse
    // index (met at pairing).
    layer.neurons[0].last_spike_t = 0;
    EXPECT_THROW(
        deliver_event(layer, SynapticEvent{0, 0, 0.1f, SynapticEvent::make_tag(77, true)}, 1),
        Panic);
    EXPECT_THROW(deliver_event(layer, SynapticEvent{0, 0, 0.1f}, 1), Panic);  // names no group
    EXPECT_THROW(deliver_event(layer, SynapticEvent{0, 4, 0.1f, tag_1}, 1), Panic);
    layer.coincidence_windows.record(1, 1, 78, 0);  // no group at position 78
    layer.coincidence_windows.seal(layer.neurons.size(), 0);
    EXPECT_THROW(fire_neuron(layer, 1, 1), Panic);
    EXPECT_THROW(fire_neuron(layer, 2, 1), Panic);
    propagate_spike(layer, 2, 0);
    EXPECT_THROW(deliver_due_events(layer, 1), Panic);
    // A flush meets a trace naming no group, or no synapse of its group.
    layer.plasticity_modulator.emplace(PlasticityModulationParams{});
    DopamineFlush flush;
    flush.tau_eligibility_trace = 5.0f;
    flush.samples = {{2, 1.0f}};
    for (const auto& [g, k] : {std::pair{77u, 0u}, std::pair{of_1, 4u}, std::pair{of_1, 0u}}) {
        EligibilityTraceQueue& traces = layer.plasticity_modulator->eligibility_traces;
        traces.clear();
        traces.push_back(EligibilityTrace{1, g, k, 0.5f});
        if (k == 0 && g == of_1) {
            apply_dopamine_flush(layer, flush);  // the one valid trace
            EXPECT_NE(layer.pre_syn_groups.group_at(of_1).synapses[0].weight, 0.5f);
        } else {
            EXPECT_THROW(apply_dopamine_flush(layer, flush), Panic);
        }
    }
}

}  // namespace
}  // namespace synaptor
