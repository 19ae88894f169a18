// The canonical view of one layer across all partitions, by which a state
// file names neurons and synapses whatever the partitioning: groups are
// numbered by ascending pre-synaptic nid (their ordinal), and a synapse by
// its group's ordinal and its position among all synapses from that neuron
// onto the layer, in ascending post-synaptic nid (its canonical index, its
// index in a single partition's group). Built over the partitions by the
// thread that holds them all for a save or a restore, and dropped after.
// When the network is spread over processes, the view covers every
// process's parts from their shapes, and holds only this process's parts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "partition/partition.hpp"

namespace synaptor {

/// Where a part holds its share of one pre-synaptic neuron's synapses: the
/// group's position in the part and the canonical index of its first synapse.
struct GroupSlot {
    std::uint32_t position = PreSynGroupMap::kNoIndex;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

/// What every process knows of a part of a layer, wherever it is held: its
/// run of neurons and its groups' keys (in storage order, ascending) and
/// sizes.
struct PartShape {
    std::uint64_t first_nid = 0;
    std::uint64_t num_neurons = 0;
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> sizes;
};

/// The shape of layer l of each partition.
std::vector<PartShape> part_shapes(const std::vector<Partition*>& partitions, std::size_t l);

/// The parts of one layer (one per partition) with their groups numbered in
/// canonical order. The tables are dense, so that naming and finding a
/// synapse costs no hashing and no visit to the synapse itself.
struct LayerView {
    /// In partition order; null for a part another process holds.
    std::vector<PartitionLayer*> parts;
    /// Parts with neurons, ascending first_nid, with their part index (the
    /// part null when held elsewhere).
    std::vector<std::pair<PartitionLayer*, std::size_t>> nonempty;
    std::vector<std::uint64_t> first_nids;             ///< [part]
    std::vector<std::uint64_t> part_neurons;           ///< [part]
    std::vector<std::vector<GroupSlot>> slots;         ///< [part][ordinal]
    std::vector<std::vector<std::uint32_t>> ordinals;  ///< [part][group position], held parts
    std::vector<std::uint64_t> keys;                   ///< [ordinal]: pre-synaptic nid
    std::uint64_t num_groups = 0;
    std::uint64_t num_neurons = 0;
    std::uint64_t num_synapses = 0;

    /// Every part held here.
    LayerView(const std::vector<Partition*>& partitions, std::size_t l);
    /// Parts of every process: `shapes` of all parts in partition order, and
    /// `held` the same length, the part where held here, else null.
    LayerView(const std::vector<PartShape>& shapes, const std::vector<PartitionLayer*>& held);

    /// The part that holds neuron `nid` (null when held elsewhere) and its
    /// index, or nothing when no part does.
    std::optional<std::pair<PartitionLayer*, std::size_t>> owner(std::uint64_t nid) const;

    /// The first part held here.
    const PartitionLayer& held_part() const;

    /// The ordinal of the group at `position` of part p.
    std::uint64_t ordinal_of(std::size_t p, std::uint32_t position) const;

    /// The canonical index of synapse k of the group at `position` of part p.
    std::uint64_t canonical_index(std::size_t p, std::uint32_t position, std::uint64_t k) const {
        return slots[p][ordinal_of(p, position)].offset + k;
    }

private:
    void index_groups(const std::vector<std::span<const std::uint64_t>>& part_keys,
                      const std::vector<std::span<const std::uint64_t>>& part_sizes);
};

/// Walks the groups of all parts of a layer in ascending pre-synaptic nid:
/// each step yields a nid and, per part, the group's position or kNoIndex.
class GroupMerge {
public:
    explicit GroupMerge(const std::vector<PartitionLayer*>& parts);
    explicit GroupMerge(std::vector<std::span<const std::uint64_t>> keys)
        : keys_(std::move(keys)), next_(keys_.size(), 0) {}

    /// The next nid, or nothing once every part is done.
    std::optional<std::uint64_t> next(std::vector<std::uint32_t>& positions);

private:
    std::vector<std::span<const std::uint64_t>> keys_;
    std::vector<std::size_t> next_;
};

struct SynapseLocation {
    PartitionLayer* layer = nullptr;  ///< null when another process holds it
    std::uint32_t group = 0;
    std::uint32_t index = 0;
};

/// The synapse of the group with ordinal `o` and canonical index `k`, when
/// part `p` holds it. (Whether it ends at the neuron that names it is not
/// checked: the checksum guards against damage, and a crafted file can at
/// worst name a wrong synapse of the part, never one outside it.)
std::optional<SynapseLocation> find_in_part(const LayerView& view, std::size_t p, std::uint64_t o,
                                            std::uint64_t k);

/// The synapse of ordinal `o` and canonical index `k` in the part that holds
/// neuron `post`, if any.
std::optional<SynapseLocation> find_synapse(const LayerView& view, std::uint64_t o, std::uint64_t k,
                                            std::uint64_t post);

}  // namespace synaptor
