// Propagation: a pre-synaptic spike becomes one delayed event per synapse
// of its group, with short-term plasticity applied once per spike and the
// short-term STDP offset folded into each event's amount. Runs on the
// layer's worker thread at the start of a tick, before delivery.
#include <string>
#include <vector>

#include "partition/synaptic_transmission.hpp"
#include "partition/synaptic_transmission_internal.hpp"
#include "util/decay.hpp"
#include "util/panic.hpp"
#include "util/prefetch.hpp"

namespace synaptor {
namespace {

using transmission_detail::rule_of;

/// The short-term STDP offset s of a synapse for an event arriving at
/// arrival_t, under a rule with short-term STDP.
inline float short_term_offset(const PairingRule& rule, const SynapseCold& synapse,
                               std::uint64_t arrival_t) {
    const std::uint64_t dt = arrival_t - synapse.short_term_update_t;
    return synapse.short_term_weight * rule.short_term_decay(dt);
}

/// How propagation computes the short-term offset w_st * expf(-dt / tau_st).
enum class OffsetDecay {
    /// The table covers every difference: one clamped lookup, no branch.
    Tabulated,
    /// The decay factor lies in [0, 1] (tau_st is positive), so a zero
    /// short-term weight times it is that same zero, sign included, and the
    /// lookup is skipped; bit-identical to computing it.
    ZeroSkipped,
    /// Any tau_st: always computed.
    General,
    /// No short-term STDP: short-term weights only ever change through it,
    /// so they are +0.0 and the offset is that zero; a nonzero one (set by
    /// hand) still decays, with a time constant of one tick.
    None,
};

using EventScheduler = BatchedRingBuffer<SynapticEvent>::Scheduler;

/// The per-synapse loop of propagation under the group's pairing rule.
template <OffsetDecay Mode>
void schedule_events(PartitionLayer& layer, EventScheduler& scheduler,
                     const PreSynapticGroup& group, std::uint32_t group_index, std::uint64_t t_s,
                     float p, const PairingRule& rule) {
    const float weight_scale_factor = group.weight_scale_factor;
    const bool has_timing_plasticity = rule.has_timing_plasticity();
    const DecayTable* const st_table = rule.short_term_decay_table();
    const std::uint32_t group_tag = SynapticEvent::make_tag(group_index, has_timing_plasticity);
    const std::uint64_t num_synapses = group.synapses.size();
    const SynapseHot* const hot = group.synapses.hot();
    const SynapseCold* const cold = group.synapses.cold();
    if (has_timing_plasticity) layer.timing_plasticity_scheduled = true;
    const auto schedule_one = [&](std::uint64_t k) __attribute__((always_inline)) {
        const SynapseHot& h = hot[k];
        const SynapseCold& synapse = cold[k];
        const std::uint64_t arrival_t = t_s + h.conduction_delay;
        float s = synapse.short_term_weight;
        if constexpr (Mode == OffsetDecay::Tabulated) {
            s = s * st_table->get_clamped(arrival_t - synapse.short_term_update_t);
        } else if constexpr (Mode == OffsetDecay::None) {
            if (s != 0.0f) s = s * decay_factor(arrival_t - synapse.short_term_update_t, 1.0f);
        } else if (Mode == OffsetDecay::General || s != 0.0f) {
            s = short_term_offset(rule, synapse, arrival_t);
        }
        const float psp = non_negative(h.weight * p + s) * weight_scale_factor;
        // A delay of 0 becomes a huge offset here, which the ring rejects.
        scheduler.schedule(
            static_cast<std::size_t>(h.conduction_delay) - 1,
            SynapticEvent{synapse.post_index, static_cast<std::uint32_t>(k), psp, group_tag});
    };
    for (std::uint64_t k = 0; k < num_synapses; ++k) {
        // Two cache lines ahead in each part. Past the end this only fetches
        // a line in vain (a prefetch never faults).
        prefetch_line_at(hot, (k + 16) * sizeof(SynapseHot));
        prefetch_line_at(cold, (k + 8) * sizeof(SynapseCold));
        schedule_one(k);
    }
}

/// Propagates one spike of the group through `scheduler`, the layer's.
void propagate_group(PartitionLayer& layer, EventScheduler& scheduler, PreSynapticGroup& group,
                     std::uint32_t group_index, std::uint64_t pre_syn_nid, std::uint64_t t_s) {
    group.previous_spike_t = group.last_spike_t;
    group.last_spike_t = t_s;
    if (group.stp_state == nullptr) [[unlikely]] {
        panic("pre-synaptic group of nid " + std::to_string(pre_syn_nid) +
              " has no short-term plasticity state");
    }
    // Once per spike and group, independent of the synapses.
    const float p = group.stp_state->on_pre_spike(t_s);
    const PairingRule& rule = rule_of(layer, group);
    // Its previous spike changed (and its rule, at its first spike).
    layer.pre_syn_groups.refresh_pairing(group_index);
    if (!rule.short_term()) {
        schedule_events<OffsetDecay::None>(layer, scheduler, group, group_index, t_s, p, rule);
        return;
    }
    const DecayTable* const st_table = rule.short_term_decay_table();
    // With a positive time constant expf(-dt / tau) lies in [0, 1] for every
    // dt. A NaN, zero or negative tau can make it NaN or infinite, and then
    // even a zero short-term weight gives a NaN offset.
    if (st_table != nullptr && st_table->covers_every_difference()) {
        schedule_events<OffsetDecay::Tabulated>(layer, scheduler, group, group_index, t_s, p, rule);
    } else if (rule.short_term()->tau > 0.0f) {
        schedule_events<OffsetDecay::ZeroSkipped>(layer, scheduler, group, group_index, t_s, p,
                                                  rule);
    } else {
        schedule_events<OffsetDecay::General>(layer, scheduler, group, group_index, t_s, p, rule);
    }
}

}  // namespace

void propagate_spike(PartitionLayer& layer, std::uint64_t pre_syn_nid, std::uint64_t t_s) {
    const std::uint32_t g = layer.pre_syn_groups.index_of(pre_syn_nid);
    if (g != PreSynGroupMap::kNoIndex) {
        EventScheduler scheduler = layer.delivery_buffer.scheduler();
        propagate_group(layer, scheduler, layer.pre_syn_groups.group_at(g), g, pre_syn_nid, t_s);
    }
}

void propagate_spikes(PartitionLayer& layer, const std::vector<std::uint64_t>& pre_syn_nids,
                      std::uint64_t t_s) {
    // The next spike's group is looked up one step ahead and its first
    // synapses and plasticity state fetched while this one is propagated.
    // What that lookup reads is requested further ahead: the table slot
    // kSlotAhead spikes on, the key and group record kRecordAhead on.
    constexpr std::uint32_t none = PreSynGroupMap::kNoIndex;
    constexpr std::size_t kSlotAhead = 8;
    constexpr std::size_t kRecordAhead = 4;
    PreSynGroupMap& groups = layer.pre_syn_groups;
    const std::size_t n = pre_syn_nids.size();
    EventScheduler scheduler = layer.delivery_buffer.scheduler();
    for (std::size_t i = 0; i < n && i < kSlotAhead; ++i) groups.prefetch(pre_syn_nids[i], true);
    std::uint32_t next = n > 0 ? groups.index_of(pre_syn_nids[0]) : none;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kSlotAhead < n) groups.prefetch(pre_syn_nids[i + kSlotAhead], true);
        if (i + kRecordAhead < n) groups.prefetch(pre_syn_nids[i + kRecordAhead], false);
        const std::uint32_t g = next;
        next = i + 1 < n ? groups.index_of(pre_syn_nids[i + 1]) : none;
        if (next != none) {
            const PreSynapticGroup& ahead = groups.group_at(next);
            prefetch_lines(ahead.synapses.hot(), 2);
            prefetch_lines(ahead.synapses.cold(), 4);
            prefetch_line(ahead.stp_state.get());
        }
        if (g != none) {
            propagate_group(layer, scheduler, groups.group_at(g), g, pre_syn_nids[i], t_s);
        }
    }
}

}  // namespace synaptor
