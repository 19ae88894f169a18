#include "partition/pre_syn_group_map.hpp"

#include <algorithm>
#include <new>
#include <numeric>
#include <string>

#include "util/panic.hpp"

namespace synaptor {

PreSynGroupMap::PreSynGroupMap() = default;
PreSynGroupMap::~PreSynGroupMap() = default;
PreSynGroupMap::PreSynGroupMap(PreSynGroupMap&&) noexcept = default;
PreSynGroupMap& PreSynGroupMap::operator=(PreSynGroupMap&&) noexcept = default;

void PreSynGroupMap::insert(std::uint64_t pre_syn_nid, PreSynapticGroup group) {
    if (find(pre_syn_nid) != nullptr) {
        panic("duplicate pre-synaptic group for nid " + std::to_string(pre_syn_nid));
    }
    // Positions must fit the 31-bit group index of events and recent inputs,
    // and synapse indices the 32 bits of a recent input.
    expect(keys_.size() < kMaxGroups, "too many pre-synaptic groups in one layer");
    if (group.synapses.size() > kMaxSynapsesPerGroup) {
        panic("too many synapses in the pre-synaptic group of nid " + std::to_string(pre_syn_nid));
    }
    if (!keys_.empty() && pre_syn_nid < keys_.back()) sorted_ = false;
    // Copied into this map's storage, split in its two parts.
    {
        const std::size_t n = group.synapses.size();
        SynapseHot* hot = hot_storage_.append_uninitialized(n);
        SynapseCold* cold = cold_storage_.append_uninitialized(n);
        const SynapseList& from = group.synapses;
        for (std::size_t k = 0; k < n; ++k) {
            const Synapse s = from[k];
            hot[k] = SynapseHot{s.weight, s.conduction_delay};
            cold[k] = SynapseCold{s.short_term_update_t, s.post_index, s.short_term_weight};
        }
        group.synapses.move_to(hot, cold);
    }
    keys_.push_back(pre_syn_nid);
    groups_.push_back(std::move(group));
    pairings_.push_back(GroupPairing::of(groups_.back()));
    // Keep the load factor at or below one half.
    if (keys_.size() * 2 > table_.size()) {
        rebuild_index(std::max<std::size_t>(16, table_.size() * 2));
    } else {
        std::size_t i = slot_of(pre_syn_nid);
        while (table_[i] != kEmpty) i = (i + 1) & (table_.size() - 1);
        table_[i] = static_cast<std::uint32_t>(keys_.size() - 1);
    }
}

void PreSynGroupMap::reserve(std::size_t groups) {
    groups = std::min<std::size_t>(groups, kMaxGroups);
    try {
        keys_.reserve(groups);
        groups_.reserve(groups);
        pairings_.reserve(groups);
    } catch (const std::bad_alloc&) {
        // A bound far above the groups made (many partitions, few draws
        // each) may ask for more address space than the system grants;
        // inserting then grows the storage as needed instead.
    }
}

std::vector<std::uint32_t> PreSynGroupMap::sort_by_key() {
    if (sorted_) return {};
    std::vector<std::size_t> order(keys_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return keys_[a] < keys_[b]; });
    std::vector<std::uint64_t> keys;
    std::vector<PreSynapticGroup, HugePageAllocator<PreSynapticGroup>> groups;
    keys.reserve(keys_.size());
    groups.reserve(groups_.size());
    std::vector<std::uint32_t> moved_to(keys_.size());
    for (std::size_t i : order) {
        moved_to[i] = static_cast<std::uint32_t>(keys.size());
        keys.push_back(keys_[i]);
        groups.push_back(std::move(groups_[i]));
    }
    keys_ = std::move(keys);
    groups_ = std::move(groups);
    for (std::size_t g = 0; g < groups_.size(); ++g) refresh_pairing(g);
    sorted_ = true;
    rebuild_index(table_.size());
    return moved_to;
}

void PreSynGroupMap::rebuild_index(std::size_t capacity) {
    std::size_t c = 16;
    while (c < capacity) c *= 2;
    table_.assign(c, kEmpty);
    shift_ = 64;
    for (std::size_t s = c; s > 1; s /= 2) --shift_;
    for (std::size_t g = 0; g < keys_.size(); ++g) {
        std::size_t i = slot_of(keys_[g]);
        while (table_[i] != kEmpty) i = (i + 1) & (c - 1);
        table_[i] = static_cast<std::uint32_t>(g);
    }
}

}  // namespace synaptor
