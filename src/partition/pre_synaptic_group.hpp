// A pre-synaptic group: all synapses from one pre-synaptic neuron onto one
// partition layer, with the spike times and short-term plasticity state they
// share and copies of their connection's projection parameters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "params/params.hpp"
#include "partition/stp_state.hpp"

namespace synaptor {

/// One synapse, in 24 bytes: a partition's synapses take most of its memory.
/// The local index of the post-synaptic neuron has 32 bits, as a partition's
/// run of a layer holds at most 2^32 neurons (construction checks).
struct Synapse {
    std::uint64_t short_term_update_t = 0;
    std::uint32_t post_index = 0;  ///< local index of the post-synaptic neuron
    float weight = 0.0f;
    float short_term_weight = 0.0f;
    std::uint8_t conduction_delay = 0;
};
static_assert(sizeof(Synapse) == 24);

/// The synapses of a group: a view of storage that the group's layer holds
/// for all its groups (see PreSynGroupMap::insert), or of the group's own
/// vector until the group is inserted into a layer. Moving keeps the address
/// of the synapses.
class SynapseList {
public:
    SynapseList() = default;
    explicit SynapseList(std::vector<Synapse> owned)
        : data_(owned.data()), size_(owned.size()), owned_(std::move(owned)) {}
    /// A view of synapses stored by the caller, which must keep them until
    /// the group is inserted into a layer (which copies them).
    SynapseList(Synapse* data, std::size_t size) : data_(data), size_(size) {}
    SynapseList(SynapseList&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          owned_(std::move(other.owned_)) {}
    SynapseList& operator=(SynapseList&& other) noexcept {
        if (this != &other) {
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            owned_ = std::move(other.owned_);
        }
        return *this;
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Synapse* data() { return data_; }
    const Synapse* data() const { return data_; }
    Synapse& operator[](std::size_t k) { return data_[k]; }
    const Synapse& operator[](std::size_t k) const { return data_[k]; }
    /// Checked access: an index past the end throws std::out_of_range.
    Synapse& at(std::size_t k) {
        if (k >= size_) throw std::out_of_range("synapse index out of range");
        return data_[k];
    }
    Synapse* begin() { return data_; }
    Synapse* end() { return data_ + size_; }
    const Synapse* begin() const { return data_; }
    const Synapse* end() const { return data_ + size_; }

    /// Points the view at `stored`, a copy of the synapses made by the
    /// caller, and frees the group's own vector.
    void move_to(Synapse* stored) {
        data_ = stored;
        std::vector<Synapse>().swap(owned_);
    }

private:
    Synapse* data_ = nullptr;
    std::size_t size_ = 0;
    std::vector<Synapse> owned_;
};

/// All synapses from one pre-synaptic neuron onto one partition layer, with the
/// state they share and copies of the connection's projection parameters.
/// Aligned to a cache line, so that what delivery and pairing read (the
/// first 64 bytes) is one line.
struct alignas(64) PreSynapticGroup {
    // What delivery and pairing read comes first: the view of the synapses,
    // then (after the view's own storage) the spike tick, rule and bound.
    SynapseList synapses;  ///< ascending post_index, never empty
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
    group.synapses = SynapseList(std::move(synapses));
    group.stp_state = make_stp_state(projection.stp_params);
    group.max_weight = projection.synapse_params.max_weight;
    group.weight_scale_factor = projection.synapse_params.weight_scale_factor;
    group.stp_params = projection.stp_params;
    group.long_term_stdp_params = projection.long_term_stdp_params;
    group.short_term_stdp_params = projection.short_term_stdp_params;
    return group;
}

}  // namespace synaptor
