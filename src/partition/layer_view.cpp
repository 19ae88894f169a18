#include "partition/layer_view.hpp"

#include "util/panic.hpp"

namespace synaptor {

std::vector<PartShape> part_shapes(const std::vector<Partition*>& partitions, std::size_t l) {
    std::vector<PartShape> shapes;
    shapes.reserve(partitions.size());
    for (Partition* partition : partitions) {
        const PartitionLayer& layer = partition->layers.at(l);
        PartShape& shape = shapes.emplace_back();
        shape.first_nid = layer.first_nid;
        shape.num_neurons = layer.neurons.size();
        const std::span<const std::uint64_t> keys = layer.pre_syn_groups.keys();
        shape.keys.assign(keys.begin(), keys.end());
        shape.sizes.reserve(keys.size());
        for (std::size_t g = 0; g < keys.size(); ++g) {
            shape.sizes.push_back(layer.pre_syn_groups.group_at(g).synapses.size());
        }
    }
    return shapes;
}

LayerView::LayerView(const std::vector<Partition*>& partitions, std::size_t l) {
    std::vector<std::span<const std::uint64_t>> part_keys;
    std::vector<std::vector<std::uint64_t>> sizes(partitions.size());
    std::vector<std::span<const std::uint64_t>> part_sizes;
    for (std::size_t p = 0; p < partitions.size(); ++p) {
        PartitionLayer& layer = partitions[p]->layers.at(l);
        parts.push_back(&layer);
        first_nids.push_back(layer.first_nid);
        part_neurons.push_back(layer.neurons.size());
        part_keys.push_back(layer.pre_syn_groups.keys());
        for (std::size_t g = 0; g < layer.pre_syn_groups.size(); ++g) {
            sizes[p].push_back(layer.pre_syn_groups.group_at(g).synapses.size());
        }
        part_sizes.emplace_back(sizes[p]);
    }
    index_groups(part_keys, part_sizes);
}

LayerView::LayerView(const std::vector<PartShape>& shapes,
                     const std::vector<PartitionLayer*>& held) {
    if (held.size() != shapes.size()) panic("a layer view's parts and shapes differ in number");
    std::vector<std::span<const std::uint64_t>> part_keys;
    std::vector<std::span<const std::uint64_t>> part_sizes;
    for (std::size_t p = 0; p < shapes.size(); ++p) {
        if (shapes[p].keys.size() != shapes[p].sizes.size()) {
            panic("a part's shape has unequal keys and sizes");
        }
        if (held[p] != nullptr && (held[p]->first_nid != shapes[p].first_nid ||
                                   held[p]->neurons.size() != shapes[p].num_neurons ||
                                   held[p]->pre_syn_groups.size() != shapes[p].keys.size())) {
            panic("a part held here differs from its shape");
        }
        parts.push_back(held[p]);
        first_nids.push_back(shapes[p].first_nid);
        part_neurons.push_back(shapes[p].num_neurons);
        part_keys.emplace_back(shapes[p].keys);
        part_sizes.emplace_back(shapes[p].sizes);
    }
    index_groups(part_keys, part_sizes);
}

void LayerView::index_groups(const std::vector<std::span<const std::uint64_t>>& part_keys,
                             const std::vector<std::span<const std::uint64_t>>& part_sizes) {
    for (std::size_t p = 0; p < parts.size(); ++p) {
        if (part_neurons[p] > 0) nonempty.emplace_back(parts[p], p);
        num_neurons += part_neurons[p];
        ordinals.emplace_back(parts[p] != nullptr ? part_keys[p].size() : 0, 0);
    }
    std::stable_sort(nonempty.begin(), nonempty.end(), [&](const auto& a, const auto& b) {
        return first_nids[a.second] < first_nids[b.second];
    });
    std::vector<std::uint32_t> positions;
    {
        GroupMerge merge(part_keys);
        while (const std::optional<std::uint64_t> key = merge.next(positions)) keys.push_back(*key);
    }
    num_groups = keys.size();
    slots.assign(parts.size(), std::vector<GroupSlot>(num_groups));
    GroupMerge merge(part_keys);
    for (std::uint64_t o = 0; merge.next(positions); ++o) {
        std::uint64_t offset = 0;
        for (std::size_t p = 0; p < positions.size(); ++p) {
            if (positions[p] == PreSynGroupMap::kNoIndex) continue;
            const std::uint64_t size = part_sizes[p][positions[p]];
            slots[p][o] = GroupSlot{positions[p], offset, size};
            if (parts[p] != nullptr) ordinals[p][positions[p]] = static_cast<std::uint32_t>(o);
            offset += size;
        }
        num_synapses += offset;
    }
}

std::optional<std::pair<PartitionLayer*, std::size_t>> LayerView::owner(std::uint64_t nid) const {
    auto it = std::upper_bound(
        nonempty.begin(), nonempty.end(), nid,
        [&](std::uint64_t n, const auto& part) { return n < first_nids[part.second]; });
    if (it == nonempty.begin()) return std::nullopt;
    --it;
    if (nid - first_nids[it->second] >= part_neurons[it->second]) return std::nullopt;
    return *it;
}

const PartitionLayer& LayerView::held_part() const {
    for (const PartitionLayer* part : parts) {
        if (part != nullptr) return *part;
    }
    panic("a layer view holds no part");
}

std::uint64_t LayerView::ordinal_of(std::size_t p, std::uint32_t position) const {
    if (position >= ordinals[p].size()) panic("a saved position names no pre-synaptic group");
    return ordinals[p][position];
}

GroupMerge::GroupMerge(const std::vector<PartitionLayer*>& parts) : next_(parts.size(), 0) {
    keys_.reserve(parts.size());
    for (const PartitionLayer* part : parts) keys_.push_back(part->pre_syn_groups.keys());
}

std::optional<std::uint64_t> GroupMerge::next(std::vector<std::uint32_t>& positions) {
    std::optional<std::uint64_t> key;
    for (std::size_t p = 0; p < next_.size(); ++p) {
        if (next_[p] < keys_[p].size() && (!key || keys_[p][next_[p]] < *key)) {
            key = keys_[p][next_[p]];
        }
    }
    positions.assign(next_.size(), PreSynGroupMap::kNoIndex);
    if (!key) return std::nullopt;
    for (std::size_t p = 0; p < next_.size(); ++p) {
        if (next_[p] < keys_[p].size() && keys_[p][next_[p]] == *key) {
            positions[p] = static_cast<std::uint32_t>(next_[p]++);
        }
    }
    return key;
}

std::optional<SynapseLocation> find_in_part(const LayerView& view, std::size_t p, std::uint64_t o,
                                            std::uint64_t k) {
    if (o >= view.num_groups) return std::nullopt;
    const GroupSlot& slot = view.slots[p][o];
    if (slot.position == PreSynGroupMap::kNoIndex || k < slot.offset ||
        k - slot.offset >= slot.size) {
        return std::nullopt;
    }
    return SynapseLocation{view.parts[p], slot.position,
                           static_cast<std::uint32_t>(k - slot.offset)};
}

std::optional<SynapseLocation> find_synapse(const LayerView& view, std::uint64_t o, std::uint64_t k,
                                            std::uint64_t post) {
    const auto owner = view.owner(post);
    if (!owner) return std::nullopt;
    return find_in_part(view, owner->second, o, k);
}

}  // namespace synaptor
