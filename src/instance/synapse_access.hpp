// Reading and writing the synapses of a whole network between two ticks, by
// one numbering that does not depend on the partitioning. Owns nothing: each
// call reaches the partitions through InstanceCore::visit_partitions, on the
// calling thread, while the workers wait.
//
// The order (a synapse's position in the unfiltered order is its synapse
// index): layers in document order by the layer the synapse projects onto;
// within a layer, by ascending pre-synaptic nid; within one pre-synaptic
// neuron, by ascending post-synaptic nid. It is the canonical order of state
// files, and with one partition the order of a state snapshot. Synapses are
// never added or removed, so an index names the same synapse for the life of
// the network.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "util/result.hpp"

namespace synaptor {

class InstanceCore;

/// The synapses of the connections from `from_layer` onto `to_layer`; an
/// absent layer matches every layer.
struct SynapseFilter {
    std::optional<std::uint64_t> from_layer;
    std::optional<std::uint64_t> to_layer;
};

/// Synapses as four parallel arrays, in the order above.
struct SynapseTable {
    std::vector<std::uint64_t> pre_syn_nids;
    std::vector<std::uint64_t> post_syn_nids;
    std::vector<std::uint8_t> conduction_delays;
    std::vector<float> weights;
};

/// Each array is allocated once, at its final size (std::bad_alloc when it
/// does not fit). A layer id out of range is an error text.
Result<SynapseTable> read_synapses(InstanceCore& core, const SynapseFilter& filter);

/// Writes `weights` in the order and number of read_synapses(filter).
/// Everything is checked first (the length, then each position in order:
/// NaN, negative, above its connection's max_weight); on an error text
/// nothing was written.
Status write_weights(InstanceCore& core, const SynapseFilter& filter,
                     std::span<const float> weights);

/// Writes weights[i] to the synapse of index indices[i], in order (a repeated
/// index keeps its last weight). Checked first as write_weights, with a
/// negative index or one out of range an error at its position.
Status write_weights_at(InstanceCore& core, std::span<const std::int64_t> indices,
                        std::span<const float> weights);

}  // namespace synaptor
