// What the transmission units share (propagation.cpp, delivery.cpp,
// pairing.cpp, dopamine_flush.cpp): the checks of a lookup, the group's
// pairing rule, one pairing of a synapse and the pipeline that makes
// pairings a while after they are found. Everything a tick loop calls is
// defined here inline, so that each unit's loops keep it inlined; only the
// panics and the first lookup of a rule are out of line (in
// synaptic_transmission.cpp). Worker thread of the layer. Not for other units.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "partition/pairing_rule.hpp"
#include "partition/partition.hpp"
#include "partition/synaptic_transmission.hpp"
#include "util/panic.hpp"
#include "util/prefetch.hpp"
#include "util/tick_arithmetic.hpp"

namespace synaptor::transmission_detail {

/// The panics of a lookup that misses; each builds its message.
[[noreturn]] void missing_group(std::uint64_t pre_syn_nid);
[[noreturn]] void missing_synapse(std::uint64_t pre_syn_nid, std::uint64_t k);
[[noreturn]] void missing_neuron(std::uint64_t post_index, std::size_t num_neurons);
[[noreturn]] void missing_group_position(std::uint64_t position, std::size_t num_groups);

/// Checks that the group at `position` in the layer's groups, which has
/// `size` synapses, has a synapse k; its nid is read only for the message.
/// Groups in a layer are always stored.
[[gnu::always_inline]] inline void check_synapse_at(const PreSynGroupMap& groups, std::size_t size,
                                                    std::uint32_t position, std::uint64_t k) {
    if (k >= size) [[unlikely]] {
        missing_synapse(groups.key_at(position), k);
    }
}

/// Finds the pairing rule of a group that has none yet.
[[gnu::noinline]] void resolve_pairing_rule(PartitionLayer& layer, const PreSynapticGroup& group);

/// The group's pairing rule, found at its first use.
[[gnu::always_inline]] inline const PairingRule& rule_of(PartitionLayer& layer,
                                                         const PreSynapticGroup& group) {
    if (group.pairing_rule == PairingRuleSet::kUnresolved) [[unlikely]] {
        resolve_pairing_rule(layer, group);
    }
    const PairingRule& rule = layer.pairing_rules.at(group.pairing_rule);
#ifndef NDEBUG
    if (!rule.matches(group.short_term_stdp_params, group.long_term_stdp_params)) {
        panic("the STDP parameters of a pre-synaptic group changed after its first use");
    }
#endif
    return rule;
}

/// Whether a layer holds an eligibility-trace queue (a plasticity modulator):
/// not known, known to hold one, known not to.
enum class TraceQueue { Unknown, Held, None };

/// The queue of a layer with dopamine: queue_trace appends the eligibility
/// trace of a long-term change dw to synapse k of the group at `position`,
/// made at tick t. Out of line: inlined into a loop that serves layers both
/// with and without dopamine, the append (a bin lookup and a chunk write)
/// made that loop about a tenth slower on a large network without dopamine.
[[gnu::noinline]] void queue_trace(PlasticityModulator& modulator, std::uint32_t position,
                                   std::uint64_t k, float dw, std::uint64_t t);

/// queue_trace's append, inlined where the layer is known to hold the queue.
[[gnu::always_inline]] inline void append_trace(PlasticityModulator& modulator,
                                                std::uint32_t position, std::uint64_t k, float dw,
                                                std::uint64_t t) {
    // k < synapses.size() <= kMaxSynapsesPerGroup: it fits 32 bits.
    modulator.eligibility_traces.push_back(
        EligibilityTrace{saturating_add(t, modulator.params.eligibility_trace_delay), position,
                         static_cast<std::uint32_t>(k), dw});
}

/// The long-term part of a pairing at tick t: the change dw to synapse k of
/// the group whose synapses' weights are `hot`, bounded by `max_weight`,
/// already checked, or its eligibility trace under a plasticity modulator;
/// `position` is the group's position in the layer, which the trace keeps.
/// `Q`: what the caller knows of the layer's trace queue. Loops that make
/// many pairings are chosen per layer (Held, None): only a layer with dopamine
/// inlines the append, which in a loop of a layer without would cost it.
template <TraceQueue Q = TraceQueue::Unknown>
[[gnu::always_inline]] inline void apply_long_term(PartitionLayer& layer, SynapseHot* hot,
                                                   float max_weight, std::uint32_t position,
                                                   std::uint64_t k, float dw, std::uint64_t t) {
    if constexpr (Q == TraceQueue::Held) {
        append_trace(*layer.plasticity_modulator, position, k, dw, t);
    } else if (Q == TraceQueue::Unknown && layer.plasticity_modulator) {
        queue_trace(*layer.plasticity_modulator, position, k, dw, t);
    } else {
        SynapseHot& synapse = hot[k];
        synapse.weight = clamp_weight(synapse.weight, dw, max_weight);
    }
}

/// The same for synapse k of `group`.
[[gnu::always_inline]] inline void apply_long_term(PartitionLayer& layer, PreSynapticGroup& group,
                                                   std::uint32_t position, std::uint64_t k,
                                                   float dw, std::uint64_t t) {
    apply_long_term(layer, group.synapses.hot(), group.max_weight, position, k, dw, t);
}

/// apply_stdp, inlined where pairings are made, for synapse k of `group`,
/// already checked; `position` is the group's position in the layer. Without
/// `LongTerm` (the layer's plasticity is switched off) only the short-term
/// offset changes: the callers choose once per tick, not per pairing.
template <bool LongTerm = true>
[[gnu::always_inline]] inline void pair_synapse(PartitionLayer& layer, PreSynapticGroup& group,
                                                std::uint32_t position, std::uint64_t k,
                                                std::int64_t dt, std::uint64_t t) {
    const PairingRule& rule = rule_of(layer, group);
    if (rule.short_term()) {
        SynapseCold& synapse = group.synapses.cold()[k];
        const float decay = rule.short_term_decay(t - synapse.short_term_update_t);
        synapse.short_term_weight = synapse.short_term_weight * decay + rule.short_term_value(dt);
        synapse.short_term_update_t = t;
    }
    if constexpr (LongTerm) {
        if (rule.long_term()) {
            apply_long_term(layer, group, position, k, rule.long_term_value(dt), t);
        }
    }
}

/// Makes pairings in the order they are handed in, each a while after: the
/// synapses lie anywhere in the layer and are found through their group's
/// pairing fields (GroupPairing), so both are requested ahead (the fields
/// kPairLag pairings ahead, the synapse, whose address they give, kPairLag -
/// kSynapseLag ahead) and their misses overlap. `pair(item)` makes one pairing; items
/// name the synapse by `group` (a valid position) and `synapse`. finish()
/// makes the pairings still held.
template <class Item, class Pair>
class PairingPipeline {
public:
    /// `weights_read`: whether a pairing reads the synapse's weight and delay
    /// (without, only short-term STDP reads the synapse).
    PairingPipeline(const PreSynGroupMap& groups, const PairingRuleSet& rules, Pair pair,
                    bool weights_read = true)
        : rules_(rules),
          weights_read_(weights_read),
          any_short_term_(rules.any_short_term()),
          groups_(groups),
          pairings_at_(groups.pairings()),
          num_groups_(groups.size()),
          pair_(pair) {}
    PairingPipeline(const PairingPipeline&) = delete;
    PairingPipeline& operator=(const PairingPipeline&) = delete;

    [[gnu::always_inline]] void push(const Item& item) {
        prefetch_line_at(pairings_at_, std::uintptr_t{item.group} * sizeof(GroupPairing));
        ring_[pushed_ % kRing] = item;
        ++pushed_;
        if (pushed_ > kSynapseLag) fetch_synapse(ring_[(pushed_ - 1 - kSynapseLag) % kRing]);
        if (pushed_ > kPairLag) pair_(ring_[paired_++ % kRing]);
    }

    void finish() {
        for (std::size_t i = pushed_ > kSynapseLag ? pushed_ - kSynapseLag : 0; i < pushed_; ++i) {
            fetch_synapse(ring_[i % kRing]);
        }
        while (paired_ < pushed_) pair_(ring_[paired_++ % kRing]);
    }

private:
    static constexpr std::size_t kRing = 64;
    static constexpr std::size_t kPairLag = 32;
    static constexpr std::size_t kSynapseLag = 16;
    static_assert(kPairLag < kRing && kSynapseLag < kPairLag);

    [[gnu::always_inline]] void fetch_synapse(const Item& item) const {
        // Pairing adds and moves no group: the count and place stay valid.
        if (item.group >= num_groups_) return;
        const GroupPairing& group = pairings_at_[item.group];
        if (weights_read_) {
            prefetch_line_at<true>(group.hot, std::uintptr_t{item.synapse} * sizeof(SynapseHot));
        }
        // The other part only for short-term STDP, the one rule that changes
        // it (and reads the group's record). Rules found while the pipeline
        // runs are not looked for: this is a request, not a read.
        if (!any_short_term_) return;
        const std::uint32_t rule = group.pairing_rule;
        if (rule < rules_.size() && rules_.at(rule).short_term()) {
            prefetch_line_at<true>(groups_.group_at(item.group).synapses.cold(),
                                   std::uintptr_t{item.synapse} * sizeof(SynapseCold));
        }
    }

    const PairingRuleSet& rules_;
    bool weights_read_;
    bool any_short_term_;
    const PreSynGroupMap& groups_;
    const GroupPairing* pairings_at_;
    std::size_t num_groups_;
    Pair pair_;
    std::array<Item, kRing> ring_;
    std::size_t pushed_ = 0;
    std::size_t paired_ = 0;
};
}  // namespace synaptor::transmission_detail
