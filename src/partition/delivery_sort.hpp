// The sort of a due batch by target neuron, for delivery neuron by neuron.
// Writes into the layer's DeliveryScratch (the sorted events, each neuron's
// end, what the batch's plastic events name); runs on the layer's worker
// thread at the start of a large batch's delivery.
#pragma once

#include <cstddef>

#include "partition/partition.hpp"

namespace synaptor {

using EventBatch = BatchedRingBuffer<SynapticEvent>::Batch;

/// Orders the batch by target neuron, keeping batch order among the events
/// of one neuron, into `scratch`: the sorted events, and neuron_start[m] one
/// past the last event of neuron m (neuron_start[num_neurons] is the batch's
/// size); also num_plastic, max_group and max_synapse. False, with nothing
/// sorted, when an event names a neuron at or past `num_neurons`.
/// A batch of at least scratch.min_bucketed_batch events is first spread by
/// the high bits of its neurons into buckets, each then sorted in cache;
/// smaller ones are counting-sorted at once. Both give the same result.
bool sort_by_neuron(DeliveryScratch& scratch, const EventBatch& batch, std::size_t num_neurons);

}  // namespace synaptor
