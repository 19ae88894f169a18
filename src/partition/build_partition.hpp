// Construction of one partition from validated parameters: every partition
// replays the same seeded sampling of the whole network and keeps the synapses
// onto its own neurons, so the network does not depend on the partition count.
// Runs on the worker thread that will own the partition.
#pragma once

#include <cstdint>

#include "params/params.hpp"
#include "partition/partition.hpp"

namespace synaptor {

Partition build_partition(const InstanceParams& params, std::uint64_t num_partitions,
                          std::uint64_t partition_index);

}  // namespace synaptor
