#include "partition/layer_view.hpp"

#include "util/panic.hpp"

namespace synaptor {

LayerView::LayerView(const std::vector<Partition*>& partitions, std::size_t l) {
    for (std::size_t p = 0; p < partitions.size(); ++p) {
        PartitionLayer& layer = partitions[p]->layers.at(l);
        parts.push_back(&layer);
        if (!layer.neurons.empty()) nonempty.emplace_back(&layer, p);
        num_neurons += layer.neurons.size();
        ordinals.emplace_back(layer.pre_syn_groups.size(), 0);
    }
    std::sort(nonempty.begin(), nonempty.end(),
              [](const auto& a, const auto& b) { return a.first->first_nid < b.first->first_nid; });
    std::vector<std::uint32_t> positions;
    {
        GroupMerge merge(parts);
        while (merge.next(positions)) ++num_groups;
    }
    slots.assign(parts.size(), std::vector<GroupSlot>(num_groups));
    GroupMerge merge(parts);
    for (std::uint64_t o = 0; merge.next(positions); ++o) {
        std::uint64_t offset = 0;
        for (std::size_t p = 0; p < positions.size(); ++p) {
            if (positions[p] == PreSynGroupMap::kNoIndex) continue;
            const std::uint64_t size =
                parts[p]->pre_syn_groups.group_at(positions[p]).synapses.size();
            slots[p][o] = GroupSlot{positions[p], offset, size};
            ordinals[p][positions[p]] = static_cast<std::uint32_t>(o);
            offset += size;
        }
    }
}

std::pair<PartitionLayer*, std::size_t> LayerView::owner(std::uint64_t nid) const {
    auto it = std::upper_bound(
        nonempty.begin(), nonempty.end(), nid,
        [](std::uint64_t n, const auto& part) { return n < part.first->first_nid; });
    if (it == nonempty.begin()) return {nullptr, 0};
    --it;
    return it->first->contains(nid) ? *it : std::pair<PartitionLayer*, std::size_t>{nullptr, 0};
}

std::uint64_t LayerView::ordinal_of(std::size_t p, std::uint32_t position) const {
    if (position >= ordinals[p].size()) panic("a saved position names no pre-synaptic group");
    return ordinals[p][position];
}

std::optional<std::uint64_t> GroupMerge::next(std::vector<std::uint32_t>& positions) {
    std::optional<std::uint64_t> key;
    for (std::size_t p = 0; p < next_.size(); ++p) {
        const PreSynGroupMap& groups = parts_[p]->pre_syn_groups;
        if (next_[p] < groups.size() && (!key || groups.key_at(next_[p]) < *key)) {
            key = groups.key_at(next_[p]);
        }
    }
    positions.assign(next_.size(), PreSynGroupMap::kNoIndex);
    if (!key) return std::nullopt;
    for (std::size_t p = 0; p < next_.size(); ++p) {
        const PreSynGroupMap& groups = parts_[p]->pre_syn_groups;
        if (next_[p] < groups.size() && groups.key_at(next_[p]) == *key) {
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
    const auto [layer, p] = view.owner(post);
    if (layer == nullptr) return std::nullopt;
    return find_in_part(view, p, o, k);
}

}  // namespace synaptor
