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
#include "util/cache_line.hpp"

namespace synaptor {

/// One synapse, as construction makes it and as it is saved. The local index
/// of the post-synaptic neuron has 32 bits, as a partition's run of a layer
/// holds at most 2^32 neurons (construction checks).
struct Synapse {
    std::uint64_t short_term_update_t = 0;
    std::uint32_t post_index = 0;  ///< local index of the post-synaptic neuron
    float weight = 0.0f;
    float short_term_weight = 0.0f;
    std::uint8_t conduction_delay = 0;
};

/// A stored synapse is split in two parts kept in parallel arrays: what
/// pairing and dopamine read and write at random (the weight, and the delay
/// that decides whether a pairing is made) in 8 bytes, and the rest in 16.
/// The pairing part of a network's synapses is a third of their bytes, so
/// far more of it stays in cache. Propagation reads both, in sequence.
struct SynapseHot {
    float weight = 0.0f;
    std::uint8_t conduction_delay = 0;
};
static_assert(sizeof(SynapseHot) == 8);

struct SynapseCold {
    std::uint64_t short_term_update_t = 0;
    std::uint32_t post_index = 0;
    float short_term_weight = 0.0f;
};
static_assert(sizeof(SynapseCold) == 16);

/// A stored synapse's fields, by reference.
struct SynapseRef {
    std::uint64_t& short_term_update_t;
    std::uint32_t& post_index;
    float& weight;
    float& short_term_weight;
    std::uint8_t& conduction_delay;

    SynapseRef(SynapseHot& hot, SynapseCold& cold)
        : short_term_update_t(cold.short_term_update_t),
          post_index(cold.post_index),
          weight(hot.weight),
          short_term_weight(cold.short_term_weight),
          conduction_delay(hot.conduction_delay) {}
    explicit SynapseRef(Synapse& s)
        : short_term_update_t(s.short_term_update_t),
          post_index(s.post_index),
          weight(s.weight),
          short_term_weight(s.short_term_weight),
          conduction_delay(s.conduction_delay) {}
    operator Synapse() const {
        return Synapse{short_term_update_t, post_index, weight, short_term_weight,
                       conduction_delay};
    }
};

/// The synapses of a group. Until the group is inserted into a layer they
/// are a plain array: the group's own vector, or a view of storage the
/// caller keeps until then. Once inserted they are a view of the two arrays
/// the layer holds for all its groups (see PreSynGroupMap::insert), which
/// the tick code reads through hot() and cold(). Moving keeps the addresses.
class SynapseList {
public:
    SynapseList() = default;
    explicit SynapseList(std::vector<Synapse> owned)
        : size_(owned.size()), owned_(std::make_unique<std::vector<Synapse>>(std::move(owned))) {
        plain_ = owned_->data();
    }
    /// A view of synapses stored by the caller, which must keep them until
    /// the group is inserted into a layer (which copies them).
    SynapseList(Synapse* data, std::size_t size) : size_(size), plain_(data) {}
    SynapseList(SynapseList&& other) noexcept
        : hot_(std::exchange(other.hot_, nullptr)),
          cold_(std::exchange(other.cold_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          plain_(std::exchange(other.plain_, nullptr)),
          owned_(std::move(other.owned_)) {}
    SynapseList& operator=(SynapseList&& other) noexcept {
        if (this != &other) {
            hot_ = std::exchange(other.hot_, nullptr);
            cold_ = std::exchange(other.cold_, nullptr);
            size_ = std::exchange(other.size_, 0);
            plain_ = std::exchange(other.plain_, nullptr);
            owned_ = std::move(other.owned_);
        }
        return *this;
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    /// Whether the synapses lie in their layer's split storage.
    bool stored() const { return hot_ != nullptr; }

    /// The split parts of a stored group's synapses.
    SynapseHot* hot() { return hot_; }
    const SynapseHot* hot() const { return hot_; }
    SynapseCold* cold() { return cold_; }
    const SynapseCold* cold() const { return cold_; }

    SynapseRef operator[](std::size_t k) {
        return hot_ != nullptr ? SynapseRef(hot_[k], cold_[k]) : SynapseRef(plain_[k]);
    }
    Synapse operator[](std::size_t k) const { return const_cast<SynapseList&>(*this)[k]; }
    /// Checked access: an index past the end throws std::out_of_range.
    SynapseRef at(std::size_t k) {
        if (k >= size_) throw std::out_of_range("synapse index out of range");
        return (*this)[k];
    }

    template <class List, class Item>
    class Iterator {
    public:
        Iterator(List* list, std::size_t k) : list_(list), k_(k) {}
        Item operator*() const { return (*list_)[k_]; }
        Iterator& operator++() {
            ++k_;
            return *this;
        }
        bool operator==(const Iterator& other) const { return k_ == other.k_; }

    private:
        List* list_;
        std::size_t k_;
    };
    Iterator<SynapseList, SynapseRef> begin() { return {this, 0}; }
    Iterator<SynapseList, SynapseRef> end() { return {this, size_}; }
    Iterator<const SynapseList, Synapse> begin() const { return {this, 0}; }
    Iterator<const SynapseList, Synapse> end() const { return {this, size_}; }

    /// Points the view at `hot` and `cold`, the split copy of the synapses
    /// made by the caller, and frees the group's own vector.
    void move_to(SynapseHot* hot, SynapseCold* cold) {
        plain_ = nullptr;
        hot_ = hot;
        cold_ = cold;
        owned_.reset();
    }

private:
    // What the tick code reads comes first; 40 bytes in all, so that the
    // group's first line also holds its spike tick, rule and bound.
    SynapseHot* hot_ = nullptr;
    SynapseCold* cold_ = nullptr;
    std::size_t size_ = 0;
    Synapse* plain_ = nullptr;
    std::unique_ptr<std::vector<Synapse>> owned_;
};

/// All synapses from one pre-synaptic neuron onto one partition layer, with the
/// state they share and copies of the connection's projection parameters.
/// Aligned to a cache line, so that what delivery and pairing read (the
/// group's first kCacheLineBytes bytes) is one line.
struct alignas(kCacheLineBytes) PreSynapticGroup {
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
static_assert(sizeof(SynapseList) == 40);

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
