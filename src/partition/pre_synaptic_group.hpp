// A pre-synaptic group: all synapses from one pre-synaptic neuron onto one
// partition layer, with the spike times and short-term plasticity state they
// share and copies of their connection's projection parameters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "params/params.hpp"
#include "partition/stp_state.hpp"

namespace synaptor {

struct Synapse {
    std::uint64_t post_index = 0;  ///< local index of the post-synaptic neuron
    std::uint64_t short_term_update_t = 0;
    float weight = 0.0f;
    float short_term_weight = 0.0f;
    std::uint8_t conduction_delay = 0;
};
static_assert(sizeof(Synapse) <= 32);

/// All synapses from one pre-synaptic neuron onto one partition layer, with the
/// state they share and copies of the connection's projection parameters.
struct PreSynapticGroup {
    // What delivery and pairing read comes first, within the first 48 bytes.
    std::vector<Synapse> synapses;  ///< ascending post_index, never empty
    std::optional<std::uint64_t> previous_spike_t;
    /// Position of this group's pairing rule in its layer's pairing_rules,
    /// found from the STDP parameters below at the group's first propagation
    /// or pairing (PairingRuleSet::kUnresolved until then). Those parameters
    /// are therefore never changed once the group is in a layer.
    mutable std::uint32_t pairing_rule = 0xFFFFFFFFu;
    float max_weight = 0.0f;
    std::optional<std::uint64_t> last_spike_t;
    std::unique_ptr<StpState> stp_state;
    float weight_scale_factor = 0.0f;
    StpParams stp_params;
    std::optional<StdpParams> long_term_stdp_params;
    std::optional<ShortTermStdpParams> short_term_stdp_params;
};

/// A group with the given synapses (already in ascending post_index order), a
/// fresh short-term plasticity state and copies of the connection's projection
/// parameters. The synapse vector is stored as given (construction sizes it exactly).
inline PreSynapticGroup make_pre_synaptic_group(const ProjectionParams& projection,
                                                std::vector<Synapse> synapses) {
    PreSynapticGroup group;
    group.synapses = std::move(synapses);
    group.stp_state = make_stp_state(projection.stp_params);
    group.max_weight = projection.synapse_params.max_weight;
    group.weight_scale_factor = projection.synapse_params.weight_scale_factor;
    group.stp_params = projection.stp_params;
    group.long_term_stdp_params = projection.long_term_stdp_params;
    group.short_term_stdp_params = projection.short_term_stdp_params;
    return group;
}

}  // namespace synaptor
