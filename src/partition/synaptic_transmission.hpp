// Synaptic transmission and spike-timing plasticity of one partition layer:
// propagation of a pre-synaptic spike into delayed events (short-term
// plasticity and the short-term STDP offset folded in), delivery of due events
// with pre-after-post pairing, pre-before-post pairing at a spike, the STDP
// kernel and weight bounds, and the application of a dopamine flush. Operates
// on a PartitionLayer on its worker thread. A lookup that misses (an event or
// trace naming a synapse the layer does not hold) is a panic.
//
// One file per step: propagation.cpp, delivery.cpp, pairing.cpp and
// dopamine_flush.cpp, over the inline helpers they share in
// synaptic_transmission_internal.hpp; synaptic_transmission.cpp holds the
// shared out-of-line pieces and the renumbering after a sort of the groups.
#pragma once

#include <cstdint>
#include <vector>

#include "params/params.hpp"
#include "partition/partition.hpp"
#include "partition/stdp_kernel.hpp"

namespace synaptor {

/// max(x, 0.0) as used for transmitted amounts and weight bounds: NaN and
/// every negative value give +0.0, and so does -0.0, so the result is never a
/// negative zero (a negative weight_scale_factor may still make one afterwards).
inline float non_negative(float x) { return x > 0.0f ? x : 0.0f; }

/// min(max(weight + change, 0.0), max_weight); a NaN sum gives 0.0.
inline float clamp_weight(float weight, float change, float max_weight) {
    const float w = non_negative(weight + change);
    return w > max_weight ? max_weight : w;
}

/// The pre-synaptic neuron `pre_syn_nid` spiked at tick t_s; called at t_s + 1.
/// Schedules one event per synapse of its group; no group, no effect.
void propagate_spike(PartitionLayer& layer, std::uint64_t pre_syn_nid, std::uint64_t t_s);

/// propagate_spike for each nid of `pre_syn_nids` in order, all spiked at t_s.
void propagate_spikes(PartitionLayer& layer, const std::vector<std::uint64_t>& pre_syn_nids,
                      std::uint64_t t_s);

/// Hands one due event to its neuron at tick t, with pre-after-post pairing.
void deliver_event(PartitionLayer& layer, const SynapticEvent& event, std::uint64_t t);

/// Takes the batch due at tick t from the delivery buffer and delivers it in
/// batch order. Returns the number of events delivered.
std::uint64_t deliver_due_events(PartitionLayer& layer, std::uint64_t t);

/// One pairing of synapse k of `group` (the group of `pre_syn_nid`) with signed
/// time difference dt at tick t: short-term STDP, then long-term STDP (as an
/// eligibility trace when the layer has a plasticity modulator; neither while
/// the layer's plasticity is switched off).
void apply_stdp(PartitionLayer& layer, PreSynapticGroup& group, std::uint64_t pre_syn_nid,
                std::uint64_t k, std::int64_t dt, std::uint64_t t);

/// Neuron `local_index` spikes at tick t: fire, then pre-before-post pairing
/// with every recent input still in its window, oldest first.
void fire_neuron(PartitionLayer& layer, std::uint64_t local_index, std::uint64_t t);

/// fire_neuron in two steps, for the firings of a tick: the first fires and
/// notes the inputs to pair (in the layer's window_runs); the second makes
/// the pairings of every firing noted since, in the order of the firings.
/// Pairing reads nothing that firing changes, so the results are those of
/// fire_neuron called for each firing in turn.
void fire_neuron_deferred(PartitionLayer& layer, std::uint64_t local_index, std::uint64_t t);
void pair_fired(PartitionLayer& layer, std::uint64_t t);

/// Requests what fire_neuron will read for neuron `local_index` a few
/// firings from now, in two steps: `first_step` requests where its inputs
/// lie, the second (a firing or two later) the inputs themselves. Only
/// fetches; no effect on results.
void prefetch_firing(const PartitionLayer& layer, std::uint64_t local_index, bool first_step);

/// Orders the layer's pre-synaptic groups by ascending nid and renumbers the
/// group positions held by the neurons' recent inputs to match. No effect
/// when the groups are already in order.
void sort_pre_syn_groups(PartitionLayer& layer);

/// Files the layer's eligibility traces by bins of groups, in position order,
/// of about trace_bin_synapses synapses each (see EligibilityTraceQueue).
/// No effect without a modulator or when the bins are already those.
void bin_traces_by_group(PartitionLayer& layer);

/// Applies a dopamine flush to the synapses named by the modulator's traces;
/// the flush's working storage is reused. Nothing while the layer's
/// plasticity is switched off.
void apply_dopamine_flush(PartitionLayer& layer, DopamineFlush& flush);

}  // namespace synaptor
