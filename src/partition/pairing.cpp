// Pairing at a firing: the neuron fires and each recent input still in its
// coincidence window is paired with the spike (pre-before-post), oldest
// first, through the pairing pipeline; and apply_stdp, one pairing by hand.
// Runs on the layer's worker thread after the tick's deliveries.
#include <cstdint>
#include <optional>
#include <vector>

#include "partition/neuron_dynamics.hpp"
#include "partition/synaptic_transmission.hpp"
#include "partition/synaptic_transmission_internal.hpp"
#include "util/prefetch.hpp"
#include "util/tick_arithmetic.hpp"

namespace synaptor {
namespace {

using transmission_detail::apply_long_term;
using transmission_detail::check_synapse_at;
using transmission_detail::missing_group;
using transmission_detail::missing_group_position;
using transmission_detail::missing_neuron;
using transmission_detail::missing_synapse;
using transmission_detail::pair_synapse;
using transmission_detail::PairingPipeline;
using transmission_detail::TraceQueue;

/// The exact position of the group of `pre_syn_nid` (see
/// PreSynGroupMap::index_of); a neuron without a group here is a panic.
[[gnu::always_inline]] inline std::uint32_t group_position(PartitionLayer& layer,
                                                           std::uint64_t pre_syn_nid,
                                                           std::uint32_t hint) {
    const std::uint32_t g = layer.pre_syn_groups.index_of(pre_syn_nid, hint);
    if (g == PreSynGroupMap::kNoIndex) [[unlikely]] {
        missing_group(pre_syn_nid);
    }
    return g;
}

/// Checks that the group of `pre_syn_nid` has a synapse k.
void check_synapse(const PreSynapticGroup& group, std::uint64_t pre_syn_nid, std::uint64_t k) {
    if (k >= group.synapses.size() || !group.synapses.stored()) [[unlikely]] {
        missing_synapse(pre_syn_nid, k);
    }
}

}  // namespace

void apply_stdp(PartitionLayer& layer, PreSynapticGroup& group, std::uint64_t pre_syn_nid,
                std::uint64_t k, std::int64_t dt, std::uint64_t t) {
    const std::uint32_t position = layer.plasticity_modulator
                                       ? group_position(layer, pre_syn_nid, kNoGroupIndex)
                                       : kNoGroupIndex;
    check_synapse(group, pre_syn_nid, k);
    if (layer.plasticity_enabled) {
        pair_synapse(layer, group, position, k, dt, t);
    } else {
        pair_synapse<false>(layer, group, position, k, dt, t);
    }
}

void fire_neuron(PartitionLayer& layer, std::uint64_t local_index, std::uint64_t t) {
    fire_neuron_deferred(layer, local_index, t);
    pair_fired(layer, t);
}

void fire_neuron_deferred(PartitionLayer& layer, std::uint64_t local_index, std::uint64_t t) {
    if (local_index >= layer.neurons.size()) [[unlikely]] {
        missing_neuron(local_index, layer.neurons.size());
    }
    Neuron& neuron = layer.neurons[local_index];
    const std::optional<std::uint64_t> previous_spike_t = neuron.last_spike_t;
    fire(neuron, t, layer.neuron_params);
    // Pre-before-post: every input since the previous spike that is still in
    // the window, oldest first; the difference arrival - t is zero or negative.
    layer.coincidence_windows.append_runs_of(
        static_cast<std::uint32_t>(local_index),
        first_unpaired_arrival(previous_spike_t, t, layer.neuron_params.t_cutoff_coincidence),
        layer.window_runs);
}

namespace {

/// pair_fired's pairings; without `LongTerm` (plasticity switched off) only
/// short-term STDP, chosen once for the tick's firings.
template <bool LongTerm, TraceQueue Q>
void pair_fired_runs(PartitionLayer& layer, std::uint64_t t) {
    std::vector<WindowRun>& runs = layer.window_runs;
    // dw: the long-term change at dt under the layer's first rule, when that
    // is its only rule so far and has long-term STDP alone. A run's inputs
    // share dt, so the groups of that rule take the value computed once per
    // run (the same function of dt: the same bits).
    struct Input {
        std::uint32_t group;
        std::uint32_t synapse;
        std::int64_t dt;
        float dw;
    };
    PreSynGroupMap& groups = layer.pre_syn_groups;
    const std::size_t num_groups = groups.size();
    // Pairing moves no group: the array stays in place for the tick's pairings.
    const GroupPairing* const views = groups.pairings();
    const PairingRuleSet& rules = layer.pairing_rules;
    const bool one_rule = rules.one_long_term_rule();
    const auto pair = [&](const Input& input) __attribute__((always_inline)) {
        if (input.group >= num_groups) [[unlikely]] {
            missing_group_position(input.group, num_groups);
        }
        // The group's record is read only for the pairings of other rules.
        const GroupPairing& view = views[input.group];
        check_synapse_at(groups, view.size, input.group, input.synapse);
        if (one_rule && view.pairing_rule == 0) {
            // That rule has no short-term STDP: switched off, nothing to do.
            if constexpr (LongTerm) {
                apply_long_term<Q>(layer, view.hot, view.max_weight, input.group, input.synapse,
                                   input.dw, t);
            }
        } else {
            pair_synapse<LongTerm>(layer, groups.group_at(input.group), input.group, input.synapse,
                                   input.dt, t);
        }
    };
    // Under a plasticity modulator long-term STDP queues a trace instead of
    // changing the weight, and pre-before-post pairing has no delay to check.
    PairingPipeline<Input, decltype(pair)> pairings(groups, layer.pairing_rules, pair,
                                                    LongTerm && !layer.plasticity_modulator);
    // The runs' inputs lie in the window's ticks, a line or so each: they
    // are requested kRunAhead runs ahead.
    constexpr std::size_t kRunAhead = 8;
    const std::size_t num_runs = runs.size();
    for (std::size_t r = 0; r < num_runs && r < kRunAhead; ++r) {
        prefetch_line(runs[r].inputs.address(0));
    }
    for (std::size_t r = 0; r < num_runs; ++r) {
        if (r + kRunAhead < num_runs) prefetch_line(runs[r + kRunAhead].inputs.address(0));
        const WindowRun& run = runs[r];
        const std::int64_t dt = signed_tick_difference(run.arrival_t, t);
        const float dw = LongTerm && one_rule ? rules.at(0).long_term_value(dt) : 0.0f;
        for (std::size_t j = 0; j < run.size; ++j) {
            const WindowInput input = run.inputs[j];
            pairings.push(Input{input.group_index, input.synapse_index, dt, dw});
        }
    }
    pairings.finish();
    runs.clear();
}

}  // namespace

void pair_fired(PartitionLayer& layer, std::uint64_t t) {
    if (layer.window_runs.empty()) return;
    if (layer.plasticity_enabled) {
        if (layer.plasticity_modulator) {
            pair_fired_runs<true, TraceQueue::Held>(layer, t);
        } else {
            pair_fired_runs<true, TraceQueue::None>(layer, t);
        }
    } else {
        pair_fired_runs<false, TraceQueue::Unknown>(layer, t);
    }
}

void prefetch_firing(const PartitionLayer& layer, std::uint64_t local_index, bool first_step) {
    if (local_index >= layer.neurons.size()) return;
    const auto post = static_cast<std::uint32_t>(local_index);
    if (first_step) {
        layer.coincidence_windows.prefetch_index(post);
    } else {
        layer.coincidence_windows.prefetch_runs(post);
    }
}

}  // namespace synaptor
