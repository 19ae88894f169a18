// The learning switch: with it off no weight changes by any mechanism while
// short-term plasticity goes on; with it on results are those of a network
// that never touched it; results do not depend on the number of workers, and
// state files keep it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "instance/instance.hpp"
#include "instance/instance_core_options.hpp"
#include "instance/synapse_access.hpp"
#include "instance_test_support.hpp"
#include "partition/synaptic_transmission.hpp"
#include "partition_test_support.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using test::add_group;
using test::finish_layer;
using test::make_layer;
using test::static_projection;
using test::synapse_at;
using test::test_stdp_params;
constexpr auto& bits = test::float_bits;

// ---- One layer by hand

/// Propagation, delivery and forced firing tick by tick, as the tick loop
/// runs them: `pre_spikes` (tick, nid), `post_spikes` (tick, local index).
/// `outlined`: delivery takes the loop laid out for layers without STDP
/// events, which pairs each of them out of line.
void run_ticks(PartitionLayer& layer, std::uint64_t from, std::uint64_t to,
               const std::vector<std::pair<std::uint64_t, std::uint64_t>>& pre_spikes,
               const std::vector<std::pair<std::uint64_t, std::uint64_t>>& post_spikes,
               bool outlined) {
    for (std::uint64_t t = from; t <= to; ++t) {
        for (const auto& [ts, nid] : pre_spikes) {
            if (ts + 1 == t) propagate_spike(layer, nid, ts);
        }
        if (outlined) layer.timing_plasticity_scheduled = false;
        deliver_due_events(layer, t);
        for (const auto& [ts, i] : post_spikes) {
            if (ts == t) fire_neuron(layer, i, t);
        }
        layer.pending_neurons.clear();
    }
}

/// Group 1 with long-term STDP alone, group 2 with both kinds or, without
/// `short_term_group`, the same as group 1 (the layer then has one rule, whose
/// pairings take the one-rule path). Weights start above max_weight 1, where
/// any long-term pairing would clamp them.
PartitionLayer two_rule_layer(bool modulated, bool short_term_group = true) {
    ProjectionParams long_only = static_projection(1.0f, 0.01f);
    long_only.long_term_stdp_params = test_stdp_params();
    ProjectionParams both = long_only;
    ShortTermStdpParams short_term;
    short_term.stdp_params = test_stdp_params();
    short_term.tau = 6.0f;
    if (short_term_group) both.short_term_stdp_params = short_term;
    PartitionLayer layer = make_layer(0, 2);
    add_group(layer, 1, long_only, {{0, 1.25f, 1}, {1, 1.5f, 2}});
    add_group(layer, 2, both, {{0, 1.75f, 1}, {1, 2.0f, 3}});
    finish_layer(layer);
    if (modulated) layer.plasticity_modulator.emplace(test::test_modulation());
    return layer;
}

std::vector<std::uint32_t> weight_bits(PartitionLayer& layer) {
    std::vector<std::uint32_t> out;
    for (std::uint64_t nid : {1, 2}) {
        for (std::size_t k = 0; k < 2; ++k) out.push_back(bits(synapse_at(layer, nid, k).weight));
    }
    return out;
}

/// Inputs before and after spikes of both neurons: pairings pre-before-post
/// (at the firings) and pre-after-post (at the deliveries).
void pairing_run(PartitionLayer& layer, bool outlined) {
    run_ticks(layer, 0, 40, {{2, 1}, {2, 2}, {9, 1}, {14, 2}, {21, 1}, {21, 2}, {30, 2}},
              {{5, 0}, {6, 1}, {12, 0}, {18, 1}, {25, 0}, {26, 1}}, outlined);
}

TEST(PlasticitySwitch, OffPairingsChangeNoWeightAndMakeNoTraceButShortTermStdpGoesOn) {
    for (int variant = 0; variant < 8; ++variant) {
        const bool modulated = variant % 2 == 1;
        const bool short_term = variant % 4 < 2;
        const bool outlined = variant >= 4;
        SCOPED_TRACE(variant);
        PartitionLayer on = two_rule_layer(modulated, short_term);
        PartitionLayer off = two_rule_layer(modulated, short_term);
        off.plasticity_enabled = false;
        const std::vector<std::uint32_t> before = weight_bits(off);
        pairing_run(on, outlined);
        pairing_run(off, outlined);
        // The same run with learning on does change weights (or queue traces):
        // the pairings were made.
        if (modulated) {
            EXPECT_GT(on.plasticity_modulator->eligibility_traces.size(), 4u);
            EXPECT_TRUE(off.plasticity_modulator->eligibility_traces.empty());
        } else {
            EXPECT_NE(weight_bits(on), before);
        }
        EXPECT_EQ(weight_bits(off), before);  // not even clamped to max_weight
        EXPECT_EQ(on.pairing_rules.one_long_term_rule(), !short_term);
        // Short-term STDP of group 2 is the same with learning on or off.
        for (std::size_t k = 0; short_term && k < 2; ++k) {
            const SynapseRef a = synapse_at(on, 2, k);
            const SynapseRef b = synapse_at(off, 2, k);
            EXPECT_NE(b.short_term_update_t, 0u);
            EXPECT_EQ(bits(a.short_term_weight), bits(b.short_term_weight));
            EXPECT_EQ(a.short_term_update_t, b.short_term_update_t);
        }
        // One pairing by hand.
        apply_stdp(off, *off.pre_syn_groups.find(2), 2, 0, -3, 50);
        apply_stdp(off, *off.pre_syn_groups.find(1), 1, 1, 4, 50);
        EXPECT_EQ(weight_bits(off), before);
        if (short_term) {
            EXPECT_EQ(synapse_at(off, 2, 0).short_term_update_t, 50u);
        }
        if (modulated) {
            EXPECT_TRUE(off.plasticity_modulator->eligibility_traces.empty());
        }
    }
}

TEST(PlasticitySwitch, FlushWhileOffChangesNoWeightAndOnAppliesTheSameTraces) {
    PartitionLayer layer = two_rule_layer(true);
    synapse_at(layer, 1, 0).weight = 0.5f;
    synapse_at(layer, 2, 1).weight = 0.25f;
    EligibilityTraceQueue& traces = layer.plasticity_modulator->eligibility_traces;
    traces.push_back(EligibilityTrace{10, 0, 0, 0.2f});
    traces.push_back(EligibilityTrace{12, 1, 1, -0.1f});
    DopamineFlush flush;
    flush.tau_eligibility_trace = 8.0f;
    flush.samples = {{12, 1.0f}, {15, 2.0f}};
    layer.plasticity_enabled = false;
    const std::vector<std::uint32_t> before = weight_bits(layer);
    apply_dopamine_flush(layer, flush);
    EXPECT_EQ(weight_bits(layer), before);
    EXPECT_EQ(traces.size(), 2u);  // held, to be dropped by age
    layer.plasticity_enabled = true;
    apply_dopamine_flush(layer, flush);
    EXPECT_EQ(bits(synapse_at(layer, 1, 0).weight),
              bits(clamp_weight(0.5f, dopamine_weight_change(traces[0], flush), 1.0f)));
    EXPECT_EQ(bits(synapse_at(layer, 2, 1).weight),
              bits(clamp_weight(0.25f, dopamine_weight_change(traces[1], flush), 1.0f)));
}

// ---- Whole instances

LayerConnectionParams connection(std::uint64_t from, std::uint64_t to, float weight) {
    LayerConnectionParams c;
    c.from_layer_id = from;
    c.to_layer_id = to;
    c.projection_params.synapse_params = {1.0f, 1.0f};
    c.connect_density = 1.0;
    c.connect_width = 2.0;
    c.initial_syn_weight = {InitialSynWeight::Kind::Constant, weight};
    c.allow_self_innervation = true;
    return c;
}

/// The plastic network (every kind of plasticity, dopamine on layer 1) over
/// layers of 24, 30 and 10 neurons.
std::unique_ptr<Instance> make_instance(std::uint64_t threads) {
    InstanceParams params;
    for (std::uint64_t n : {24, 30, 10}) {
        LayerParams layer;
        layer.num_neurons = n;
        layer.neuron_params = NeuronParams{10.0f, 2, 0.0f, 20, 1.0f, 50.0f, 0.0f};
        params.layers.push_back(layer);
    }
    params = test::plastic_network(std::move(params), connection, 7);
    params.technical_params.num_threads = threads;
    InstanceCoreOptions options;
    options.check_cpu_count = false;
    auto core = create_instance_core(std::move(params), options);
    if (!core) panic(core.error());
    auto instance = std::make_unique<Instance>(std::move(core).value(), 11);
    instance->non_coherent_stimulation_rate = 0.02;
    return instance;
}

/// What a run shows: every tick's spikes and transmissions, and the weights
/// of the synapses in their partitioning-free order, by their bits.
struct Trace {
    std::vector<std::vector<std::uint64_t>> spikes;
    std::vector<std::uint64_t> transmissions;
    bool operator==(const Trace&) const = default;
};

std::vector<std::uint32_t> weights_of(Instance& instance) {
    Result<SynapseTable> table = read_synapses(instance.core(), {});
    if (!table) panic(table.error());
    std::vector<std::uint32_t> out;
    for (float w : table.value().weights) out.push_back(bits(w));
    return out;
}

/// Ticks until t_end with inputs and rewards of either sign that depend on
/// the tick alone; `switch_at(t)` runs before each tick.
template <class Switch>
void run_until(Instance& instance, std::uint64_t t_end, Trace& trace, Switch&& switch_at) {
    while (instance.t() < t_end) {
        const std::uint64_t t = instance.t();
        switch_at(t);
        TickInput input;
        for (std::uint64_t c = 0; c < 24; ++c) {
            if ((t * 7 + c * 5) % 11 < 3) input.spiking_in_channel_ids.push_back(c);
        }
        input.reward = static_cast<float>(static_cast<int>(t % 5) - 2) * 0.5f;
        Result<TickResult> result = instance.tick(input);
        if (!result) panic(result.error());
        trace.spikes.push_back(result.value().spiking_nids);
        trace.transmissions.push_back(result.value().synaptic_transmission_count);
    }
}
void run_until(Instance& instance, std::uint64_t t_end, Trace& trace) {
    run_until(instance, t_end, trace, [](std::uint64_t) {});
}

struct ModulatorState {
    std::size_t traces = 0;
    std::size_t samples = 0;
};

ModulatorState modulator_state(Instance& instance) {
    ModulatorState state;
    instance.core().visit_partitions([&](const std::vector<Partition*>& partitions) {
        for (const Partition* partition : partitions) {
            for (const PartitionLayer& layer : partition->layers) {
                if (!layer.plasticity_modulator) continue;
                state.traces += layer.plasticity_modulator->eligibility_traces.size();
                state.samples += layer.plasticity_modulator->dopamine_samples.size();
            }
        }
    });
    return state;
}

TEST(PlasticitySwitch, OffKeepsEveryWeightWhileSamplesAreSpentAndTracesDrain) {
    auto instance = make_instance(1);
    Trace trace;
    run_until(*instance, 60, trace);
    const ModulatorState at_switch = modulator_state(*instance);
    ASSERT_GT(at_switch.traces, 0u);
    instance->set_plasticity_enabled(false);
    EXPECT_FALSE(instance->plasticity_enabled());
    const std::vector<std::uint32_t> weights = weights_of(*instance);
    // A flush every 6 ticks spends the samples (a conflation every 3); the
    // held traces stop growing and are dropped once older than the cut-off
    // of 30 ticks.
    std::size_t traces = at_switch.traces;
    for (std::uint64_t t_end = 66; t_end <= 240; t_end += 6) {
        run_until(*instance, t_end, trace);
        const ModulatorState state = modulator_state(*instance);
        EXPECT_LE(state.traces, traces) << t_end;
        EXPECT_LE(state.samples, 2u) << t_end;
        traces = state.traces;
        ASSERT_EQ(weights_of(*instance), weights) << t_end;
    }
    EXPECT_EQ(traces, 0u);
    std::uint64_t transmitted = 0;
    for (std::size_t t = 60; t < trace.transmissions.size(); ++t) {
        transmitted += trace.transmissions[t];
    }
    EXPECT_GT(transmitted, 1000u);  // the network was busy all along
    // Switched on, the same network learns again.
    instance->set_plasticity_enabled(true);
    run_until(*instance, 300, trace);
    EXPECT_NE(weights_of(*instance), weights);
    EXPECT_GT(modulator_state(*instance).traces, 0u);
}

TEST(PlasticitySwitch, OnGivesTheResultsOfANetworkThatNeverSwitched) {
    auto untouched = make_instance(2);
    Trace expected;
    run_until(*untouched, 200, expected);

    // Off and on again between the same two ticks, and on when already on.
    auto toggled = make_instance(2);
    Trace actual;
    run_until(*toggled, 200, actual, [&](std::uint64_t t) {
        if (t == 0 || t == 77) {
            toggled->set_plasticity_enabled(false);
            toggled->set_plasticity_enabled(true);
        }
        if (t == 120) toggled->set_plasticity_enabled(true);
    });
    EXPECT_TRUE(actual == expected);
    EXPECT_EQ(weights_of(*toggled), weights_of(*untouched));

    // Off for a while does change what follows: the comparison above can fail.
    auto paused = make_instance(2);
    Trace other;
    run_until(*paused, 200, other, [&](std::uint64_t t) {
        if (t == 50 || t == 100) paused->set_plasticity_enabled(t == 100);
    });
    EXPECT_NE(weights_of(*paused), weights_of(*untouched));
}

TEST(PlasticitySwitch, SwitchedRunsAreTheSameForOneTwoAndThreeWorkers) {
    const auto run = [](std::uint64_t threads, std::vector<std::uint32_t>& weights) {
        auto instance = make_instance(threads);
        Trace trace;
        run_until(*instance, 260, trace, [&](std::uint64_t t) {
            if (t == 40 || t == 150) instance->set_plasticity_enabled(false);
            if (t == 110) instance->set_plasticity_enabled(true);
        });
        weights = weights_of(*instance);
        return trace;
    };
    std::vector<std::uint32_t> expected_weights;
    const Trace expected = run(1, expected_weights);
    for (std::uint64_t threads : {2, 3}) {
        SCOPED_TRACE(threads);
        std::vector<std::uint32_t> weights;
        EXPECT_TRUE(run(threads, weights) == expected);
        EXPECT_EQ(weights, expected_weights);
    }
}

class PlasticitySwitchStateFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("synaptor-switch-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    fs::path dir_;
};

TEST_F(PlasticitySwitchStateFile, RestoreTakesTheSavedSwitchEitherWay) {
    for (bool saved_enabled : {false, true}) {
        SCOPED_TRACE(saved_enabled);
        auto original = make_instance(1);
        Trace ignored;
        run_until(*original, 70, ignored);
        original->set_plasticity_enabled(saved_enabled);
        original->save_state(path("switch.state"));
        Trace expected;
        run_until(*original, 200, expected);

        // Restored into an instance switched the other way, with other workers.
        auto restored = make_instance(3);
        restored->set_plasticity_enabled(!saved_enabled);
        restored->restore_state(path("switch.state"));
        EXPECT_EQ(restored->plasticity_enabled(), saved_enabled);
        Trace actual;
        run_until(*restored, 200, actual);
        EXPECT_TRUE(actual == expected);
        EXPECT_EQ(weights_of(*restored), weights_of(*original));
    }
}

}  // namespace
}  // namespace synaptor
