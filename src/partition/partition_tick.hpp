// One tick of a partition: for each layer in layer order, dopamine, then
// propagation of the previous tick's spikes, delivery of due events, forced
// spikes and threshold crossings; then the snapshot on request and the sample
// of the recorded neurons on recorded ticks. An internal invariant violation
// is a panic. Runs on the partition's worker thread.
#pragma once

#include "partition/partition.hpp"
#include "partition/tick_messages.hpp"

namespace synaptor {

PartitionTickResult run_partition_tick(Partition& partition, const TickCommand& command);

}  // namespace synaptor
