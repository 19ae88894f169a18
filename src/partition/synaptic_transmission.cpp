// What the transmission units share out of line: the panics of a lookup
// that misses and the first lookup of a group's pairing rule (both rare, kept
// out of the tick loops); and the renumbering of group positions after the
// groups are sorted, which reaches into what propagation, delivery and
// pairing hold. Worker thread of the layer.
#include "partition/synaptic_transmission.hpp"

#include <string>
#include <vector>

#include "partition/synaptic_transmission_internal.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace transmission_detail {

[[noreturn]] void missing_group(std::uint64_t pre_syn_nid) {
    panic("no pre-synaptic group for nid " + std::to_string(pre_syn_nid) + " in this layer");
}

[[noreturn]] void missing_synapse(std::uint64_t pre_syn_nid, std::uint64_t k) {
    panic("synapse index " + std::to_string(k) + " out of range for pre-synaptic nid " +
          std::to_string(pre_syn_nid));
}

[[noreturn]] void missing_neuron(std::uint64_t post_index, std::size_t num_neurons) {
    panic("post index " + std::to_string(post_index) + " out of range for a run of " +
          std::to_string(num_neurons) + " neurons");
}

[[noreturn]] void missing_group_position(std::uint64_t position, std::size_t num_groups) {
    panic("pre-synaptic group position " + std::to_string(position) + " out of range for " +
          std::to_string(num_groups) + " groups");
}

void queue_trace(PlasticityModulator& modulator, std::uint32_t position, std::uint64_t k, float dw,
                 std::uint64_t t) {
    append_trace(modulator, position, k, dw, t);
}

/// Finds the pairing rule of a group that has none yet.
[[gnu::noinline]] void resolve_pairing_rule(PartitionLayer& layer, const PreSynapticGroup& group) {
    group.pairing_rule =
        layer.pairing_rules.resolve(group.short_term_stdp_params, group.long_term_stdp_params,
                                    layer.neuron_params.t_cutoff_coincidence);
    const std::uint32_t position = layer.pre_syn_groups.position_of(group);
    if (position != PreSynGroupMap::kNoIndex) layer.pre_syn_groups.refresh_pairing(position);
}

}  // namespace transmission_detail

using transmission_detail::missing_group_position;

void sort_pre_syn_groups(PartitionLayer& layer) {
    const std::vector<std::uint32_t> moved_to = layer.pre_syn_groups.sort_by_key();
    if (moved_to.empty()) return;
    layer.coincidence_windows.renumber_groups([&](std::uint32_t g) {
        if (g >= moved_to.size()) [[unlikely]] {
            missing_group_position(g, moved_to.size());
        }
        return moved_to[g];
    });
    // Events in flight name their group's position too. One that names no
    // group keeps its position and is rejected when it falls due.
    layer.delivery_buffer.for_each_pending([&](SynapticEvent& event) {
        const std::uint32_t g = event.group_index();
        if (g < moved_to.size()) {
            event.group_tag = SynapticEvent::make_tag(moved_to[g], event.has_timing_plasticity());
        }
    });
    if (layer.plasticity_modulator) {
        layer.plasticity_modulator->eligibility_traces.renumber_groups([&](std::uint32_t g) {
            if (g >= moved_to.size()) [[unlikely]] {
                missing_group_position(g, moved_to.size());
            }
            return moved_to[g];
        });
    }
}

}  // namespace synaptor
