// Lookup of a partition layer's pre-synaptic groups by pre-synaptic nid: an
// open-addressing table over a dense vector of groups. Groups never change
// after construction, so the table is filled once; lookups on the tick path
// cost one multiplicative hash and a short linear probe. Iteration runs over
// the groups in ascending nid order once sort_by_key() has run (construction
// calls it).
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
    /// the slot names. Only a hint: nothing is checked or changed, and a
    /// slot that names another group's record costs a line in vain.
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

private:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    std::size_t slot_of(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void rebuild_index(std::size_t capacity);

    std::vector<std::uint64_t> keys_;
    std::vector<PreSynapticGroup, HugePageAllocator<PreSynapticGroup>> groups_;
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
