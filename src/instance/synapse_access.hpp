// Reading and writing the synapses of a whole network between two ticks, by
// one numbering that does not depend on the partitioning, and starting a
// recording of chosen synapses' weights. Owns nothing: each call reaches the
// partitions through InstanceCore::visit_partitions, on the calling thread,
// while the workers wait.
//
// The order (a synapse's position in the unfiltered order is its synapse
// index): layers in document order by the layer the synapse projects onto;
// within a layer, by ascending pre-synaptic nid; within one pre-synaptic
// neuron, by ascending post-synaptic nid. It is the canonical order of state
// files, and with one partition the order of a state snapshot. Synapses are
// never added or removed, so an index names the same synapse for the life of
// the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "instance/synapse_recorder.hpp"
#include "partition/layer_view.hpp"
#include "partition/tick_messages.hpp"
#include "util/result.hpp"

namespace synaptor {

class InstanceCore;

/// The synapses of the connections from `from_layer` onto `to_layer`; an
/// absent layer matches every layer.
struct SynapseFilter {
    std::optional<std::uint64_t> from_layer;
    std::optional<std::uint64_t> to_layer;
};

/// Memory for one synapse array: at least 1 MB is mapped with its pages
/// populated at once, so that an array of hundreds of MB, written whole right
/// after, does not fault in page by page; smaller ones come from operator new.
void* allocate_synapse_array(std::size_t bytes);
void release_synapse_array(void* data, std::size_t bytes) noexcept;

/// The allocator of the synapse arrays. The items of a resize are left
/// uninitialised: the arrays are written whole right after they are sized,
/// and zeroing them first would be one more pass over all of it.
template <class T>
struct UninitialisedAllocator {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_synapse_array(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { release_synapse_array(p, n * sizeof(T)); }
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const UninitialisedAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using SynapseArray = std::vector<T, UninitialisedAllocator<T>>;

/// Synapses as four parallel arrays, in the order above.
struct SynapseTable {
    SynapseArray<std::uint64_t> pre_syn_nids;
    SynapseArray<std::uint64_t> post_syn_nids;
    SynapseArray<std::uint8_t> conduction_delays;
    SynapseArray<float> weights;
};

/// Each array is allocated once, at its final size (std::bad_alloc when it
/// does not fit). A layer id out of range is an error text.
Result<SynapseTable> read_synapses(InstanceCore& core, const SynapseFilter& filter);

/// read_synapses over the whole network when it is spread over several
/// processes: collective, every process returns all synapses in the same
/// order as one process. A layer out of range is the same error on every
/// process; no memory on any process is std::bad_alloc on every one. With
/// the network in this process alone, read_synapses.
Result<SynapseTable> read_all_synapses(InstanceCore& core, const SynapseFilter& filter);

/// How a write of weights goes when this process holds a share of a larger
/// selection: `names[i]`, when given, is the position an error names for item
/// i (its place in the whole selection); `write` false only checks; a fault's
/// item goes to `fault_at`.
/// Why indices[i] = index names none of `num_synapses` synapses (negative,
/// out of range), or nothing.
std::optional<std::string> synapse_index_fault(std::size_t i, std::int64_t index,
                                               std::uint64_t num_synapses);

struct WeightWrite {
    bool write = true;
    std::span<const std::uint64_t> names;
    std::size_t* fault_at = nullptr;
};

/// Writes `weights` in the order and number of read_synapses(filter).
/// Everything is checked first (the length, then each position in order:
/// NaN, negative, above its connection's max_weight); on an error text
/// nothing was written.
Status write_weights(InstanceCore& core, const SynapseFilter& filter,
                     std::span<const float> weights, const WeightWrite& how = {});

/// Writes weights[i] to the synapse of index indices[i], in order (a repeated
/// index keeps its last weight). Checked first as write_weights, with a
/// negative index or one out of range an error at its position.
Status write_weights_at(InstanceCore& core, std::span<const std::int64_t> indices,
                        std::span<const float> weights, const WeightWrite& how = {});

/// The synapses of a selection held here, by (post layer, pre-synaptic nid)
/// in the order of read_synapses: each key with its count.
struct SynapseGroupCount {
    std::uint64_t layer = 0;
    std::uint64_t pre_syn_nid = 0;
    std::uint64_t count = 0;
};
Result<std::vector<SynapseGroupCount>> count_synapse_groups(InstanceCore& core,
                                                            const SynapseFilter& filter);

/// write_weights and write_weights_at over the whole network when it is
/// spread over several processes: collective with the same arguments on
/// every process; every process checks the same things and returns the same
/// error (naming the first offending position of the whole selection)
/// before any writes, then each writes its own synapses. With the network
/// in this process alone, the plain calls.
Status write_all_weights(InstanceCore& core, const SynapseFilter& filter,
                         std::span<const float> weights);
Status write_all_weights_at(InstanceCore& core, std::span<const std::int64_t> indices,
                            std::span<const float> weights);

/// Finds synapses by synapse index in the partitions that visit_partitions
/// hands out; usable while they are held. The weights it points to stay where
/// they are for the life of the partitions (synapses never move once built).
class SynapseLocator {
public:
    /// Puts each layer's groups in order (see sort_pre_syn_groups) and numbers them.
    SynapseLocator(const std::vector<Partition*>& partitions, std::size_t num_layers);

    std::uint64_t num_synapses() const { return layer_begin_.back(); }

    /// synapse_index_fault against this network's synapses.
    std::optional<std::string> index_fault(std::size_t i, std::int64_t index) const;

    struct Found {
        std::size_t partition = 0;  ///< in partition order
        PreSynapticGroup* group = nullptr;
        SynapseHot* hot = nullptr;
    };
    /// The synapse of a valid index (panics on one out of range).
    Found locate(std::uint64_t index) const;

private:
    std::vector<LayerView> views_;
    /// The synapse index where each layer and each of its groups begins.
    std::vector<std::uint64_t> layer_begin_;
    std::vector<std::vector<std::uint64_t>> group_begin_;
};

/// Starts recording the weights of the synapses `indices` (column j for
/// indices[j]) every `every` ticks from the current tick, replacing any
/// synapse recording; returns the replaced one's samples not yet taken.
/// Everything is checked first, and an error text changes nothing: `every`
/// below 1, then the first position whose index is negative, out of range or
/// listed before. The indices are resolved once, here, into the place of each
/// weight in its partition.
Result<std::optional<RecordedWeights>> record_synapses(InstanceCore& core,
                                                       std::span<const std::int64_t> indices,
                                                       std::int64_t every);

/// The plan that copies, on a sampled tick, the weight of the synapse
/// indices[i] (valid, as `locator` numbers the synapses of `partitions`)
/// into column i.
SynapseRecordingPlan plan_recorded_weights(const std::vector<Partition*>& partitions,
                                           const SynapseLocator& locator,
                                           std::span<const std::int64_t> indices);

/// Why a recording of `indices` every `every` ticks cannot start in a
/// network of `num_synapses` synapses, in the order record_synapses checks,
/// or nothing.
std::optional<std::string> synapse_recording_fault(std::span<const std::int64_t> indices,
                                                   std::int64_t every, std::uint64_t num_synapses);

/// record_synapses over the whole network when it is spread over several
/// processes: collective with the same arguments on every process. Every
/// process checks the request against the whole network and all agree
/// before any acts, so that a bad request is the same error everywhere, a
/// request that differs between processes an error on every process and a
/// lack of memory std::bad_alloc on every process, each leaving the
/// recording as it was. Each process then records the synapses it holds,
/// and every tick's exchange puts their weights together on every process.
/// With the network in this process alone, record_synapses.
Result<std::optional<RecordedWeights>> record_all_synapses(InstanceCore& core,
                                                           std::span<const std::int64_t> indices,
                                                           std::int64_t every);

}  // namespace synaptor
