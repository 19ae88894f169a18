// Lookup of a partition layer's pre-synaptic groups by pre-synaptic nid: an
// open-addressing table over a dense vector of groups. Groups never change
// after construction, so the table is filled once; lookups on the tick path
// cost one multiplicative hash and a short linear probe. Iteration runs over
// the groups in ascending nid order once sort_by_key() has run (construction
// calls it). Beside the records the map keeps each group's GroupPairing, what
// pairing and the dopamine flush read of it, in a dense array of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "partition/pre_synaptic_group.hpp"
#include "util/chunk_arena.hpp"
#include "util/huge_pages.hpp"
#include "util/prefetch.hpp"

namespace synaptor {

/// What pairing and the dopamine flush read of a group, copied from its
/// record: a pairing names a synapse anywhere in the layer, and these 32
/// bytes (two to a line, a sixth of the records' span) stay in cache far
/// more often than the record's first line would, so a pairing mostly
/// waits for its synapse's line alone. The record stays the truth: whoever
/// changes these fields of a stored group calls refresh_pairing().
struct alignas(32) GroupPairing {
    SynapseHot* hot = nullptr;
    std::uint64_t previous_spike_t = 0;  ///< meaningful with has_previous_spike
    std::uint32_t size = 0;
    std::uint32_t pairing_rule = 0xFFFFFFFFu;
    float max_weight = 0.0f;
    bool has_previous_spike = false;

    static GroupPairing of(const PreSynapticGroup& group) {
        // A stored group has at most kMaxSynapsesPerGroup synapses: the size fits.
        return {const_cast<SynapseHot*>(group.synapses.hot()),
                group.previous_spike_t.value_or(0),
                static_cast<std::uint32_t>(group.synapses.size()),
                group.pairing_rule,
                group.max_weight,
                group.previous_spike_t.has_value()};
    }
};
static_assert(sizeof(GroupPairing) == 32);

class PreSynGroupMap {
public:
    PreSynGroupMap();
    ~PreSynGroupMap();
    PreSynGroupMap(PreSynGroupMap&&) noexcept;
    PreSynGroupMap& operator=(PreSynGroupMap&&) noexcept;

    /// Returned by index_of for a neuron without a group here; never a valid index.
    static constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;
    /// Upper bound on the number of groups: every position fits in 31 bits.
    static constexpr std::uint32_t kMaxGroups = 0x7FFFFFFFu;
    /// Upper bound on the synapses of one group: every index fits in 32 bits.
    static constexpr std::uint64_t kMaxSynapsesPerGroup = 0xFFFFFFFFu;

    /// Storage position of the group of `pre_syn_nid`, or kNoIndex.
    std::uint32_t index_of(std::uint64_t pre_syn_nid) const {
        if (table_.empty()) return kNoIndex;
        std::size_t i = slot_of(pre_syn_nid);
        for (;;) {
            const std::uint32_t g = table_[i];
            if (g == kEmpty || keys_[g] == pre_syn_nid) return g;
            i = (i + 1) & (table_.size() - 1);
        }
    }

    /// Requests what index_of(pre_syn_nid) reads, in two steps a while
    /// apart: first the table slot, then the key and the group record that
    /// the slot names (and its pairing fields, which a spike rewrites). Only a hint: nothing is
    /// checked or changed, and a slot that names another group's record costs a line in vain.
    void prefetch(std::uint64_t pre_syn_nid, bool first_step) const {
        if (table_.empty()) return;
        const std::uint32_t* const slot = table_.data() + slot_of(pre_syn_nid);
        if (first_step) {
            prefetch_line(slot);
            return;
        }
        const std::uint32_t g = *slot;
        if (g < keys_.size()) {
            prefetch_line(keys_.data() + g);
            prefetch_line(groups_.data() + g);
            prefetch_line(pairings_.data() + g);
        }
    }

    /// The group of `pre_syn_nid`, or null when the neuron has no synapse here.
    PreSynapticGroup* find(std::uint64_t pre_syn_nid) {
        const std::uint32_t g = index_of(pre_syn_nid);
        return g == kNoIndex ? nullptr : &groups_[g];
    }

    /// index_of() for a caller that remembers where the group was stored:
    /// `hint` is trusted only when the key stored there is `pre_syn_nid`, so a
    /// stale or absent hint (after a reordering, or from a hand-made record)
    /// costs a hash lookup and never yields another neuron's group.
    std::uint32_t index_of(std::uint64_t pre_syn_nid, std::uint32_t hint) const {
        if (hint < keys_.size() && keys_[hint] == pre_syn_nid) [[likely]] {
            return hint;
        }
        return index_of(pre_syn_nid);
    }

    /// find() with a remembered position, as index_of(pre_syn_nid, hint).
    PreSynapticGroup* find(std::uint64_t pre_syn_nid, std::uint32_t hint) {
        const std::uint32_t g = index_of(pre_syn_nid, hint);
        return g == kNoIndex ? nullptr : &groups_[g];
    }
    const PreSynapticGroup* find(std::uint64_t pre_syn_nid) const {
        return const_cast<PreSynGroupMap*>(this)->find(pre_syn_nid);
    }
    const PreSynapticGroup* find(std::uint64_t pre_syn_nid, std::uint32_t hint) const {
        return const_cast<PreSynGroupMap*>(this)->find(pre_syn_nid, hint);
    }

    /// Adds the group of `pre_syn_nid`; a key that is already present is an
    /// internal error (panic). Its synapses move into storage shared by all
    /// groups of the map, in insertion order (see synapse_bytes).
    void insert(std::uint64_t pre_syn_nid, PreSynapticGroup group);

    /// Room for `groups` groups in all, so that inserting up to that many
    /// never moves the groups. The room is address space only until groups
    /// are written there (the records' storage is mapped, not filled), so an
    /// upper bound costs nothing beyond the groups made. Room that cannot be
    /// had is not taken: inserting grows the storage then, as without this.
    void reserve(std::size_t groups);

    /// Orders the groups by ascending key (stable) and rebuilds the index.
    /// Returns the new position of each old position, or nothing when the
    /// groups were already in order. Positions held elsewhere (recent inputs)
    /// must then be renumbered: sort_pre_syn_groups does that for a layer.
    std::vector<std::uint32_t> sort_by_key();

    std::size_t size() const { return keys_.size(); }
    /// Bytes held for the synapses of all groups.
    std::size_t synapse_bytes() const {
        return hot_storage_.bytes_reserved() + cold_storage_.bytes_reserved();
    }
    bool empty() const { return keys_.empty(); }
    /// Key and group of the i-th entry in storage order.
    std::uint64_t key_at(std::size_t i) const { return keys_[i]; }
    /// Every key in storage order.
    std::span<const std::uint64_t> keys() const { return keys_; }
    PreSynapticGroup& group_at(std::size_t i) { return groups_[i]; }
    const PreSynapticGroup& group_at(std::size_t i) const { return groups_[i]; }

    /// The pairing fields of the i-th group, and of all groups in storage order.
    const GroupPairing& pairing_at(std::size_t i) const { return pairings_[i]; }
    const GroupPairing* pairings() const { return pairings_.data(); }
    /// Copies the pairing fields of the i-th group's record again, after its
    /// previous spike or pairing rule changed.
    void refresh_pairing(std::size_t i) { pairings_[i] = GroupPairing::of(groups_[i]); }
    /// The position of `group` when it is one of this map's records, else kNoIndex.
    std::uint32_t position_of(const PreSynapticGroup& group) const {
        const auto at = reinterpret_cast<std::uintptr_t>(&group);
        const auto first = reinterpret_cast<std::uintptr_t>(groups_.data());
        if (groups_.empty() || at < first) return kNoIndex;
        const std::uintptr_t i = (at - first) / sizeof(PreSynapticGroup);
        return i < groups_.size() && &groups_[i] == &group ? static_cast<std::uint32_t>(i)
                                                           : kNoIndex;
    }

private:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    std::size_t slot_of(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void rebuild_index(std::size_t capacity);

    std::vector<std::uint64_t> keys_;
    std::vector<PreSynapticGroup, HugePageAllocator<PreSynapticGroup>> groups_;
    std::vector<GroupPairing, HugePageAllocator<GroupPairing>> pairings_;  ///< one per group
    std::vector<std::uint32_t> table_;  ///< group index per slot, power-of-two size
    /// Every group's synapses, one run per group in each of the two parts
    /// (see SynapseHot), in large huge-page backed chunks: the synapses are
    /// read at random by delivery and pairing.
    ChunkArena<SynapseHot> hot_storage_;
    ChunkArena<SynapseCold> cold_storage_;
    unsigned shift_ = 64;
    bool sorted_ = true;
};

}  // namespace synaptor
