// Sampling of recorded neurons and synapses: the values of the planned state
// variables of a partition's recorded neurons, and the weights of its recorded
// synapses, at the end of a tick, after all its phases (the moment a state
// snapshot of that tick describes). Runs on the thread that ticks the
// partition; reads the partition only, and writes weights only into the
// columns of the sample row that the plan gives this partition.
#pragma once

#include <cstdint>

#include "params/params.hpp"
#include "partition/partition.hpp"
#include "partition/tick_messages.hpp"

namespace synaptor {

/// The threshold at tick t: the stored value relaxed toward 1.0 from
/// last_update_t on, as the next integration would compute it; undecayed while
/// refractory (last_update_t in the future).
float recorded_threshold(const Neuron& neuron, std::uint64_t t, const NeuronParams& params);

/// The value of one variable of a neuron at the end of tick t.
float recorded_value(const Neuron& neuron, RecordedVariable variable, std::uint64_t t,
                     const NeuronParams& params);

/// The partition's share of a plan at tick t: for each layer in layer order,
/// the plan's entries in its run and their values.
RecordedValues sample_recorded_neurons(const Partition& partition, const RecordingPlan& plan,
                                       std::uint64_t t);

/// Copies the weights the plan records of this partition into their columns
/// of `row`; returns how many. No search: the plan names each weight's place.
std::uint64_t copy_recorded_weights(const Partition& partition, const SynapseRecordingPlan& plan,
                                    float* row);

}  // namespace synaptor
