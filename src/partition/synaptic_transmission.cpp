#include "partition/synaptic_transmission.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "partition/neuron_dynamics.hpp"
#include "util/decay.hpp"
#include "util/panic.hpp"
#include "util/prefetch.hpp"
#include "util/tick_arithmetic.hpp"

namespace synaptor {
namespace {

[[noreturn]] void missing_group(std::uint64_t pre_syn_nid) {
    panic("no pre-synaptic group for nid " + std::to_string(pre_syn_nid) + " in this layer");
}

[[noreturn]] void missing_synapse(std::uint64_t pre_syn_nid, std::uint64_t k) {
    panic("synapse index " + std::to_string(k) + " out of range for pre-synaptic nid " +
          std::to_string(pre_syn_nid));
}

[[noreturn]] void missing_neuron(std::uint64_t post_index, std::size_t num_neurons) {
    panic("post index " + std::to_string(post_index) + " out of range for a run of " +
          std::to_string(num_neurons) + " neurons");
}

[[noreturn]] void missing_group_position(std::uint64_t position, std::size_t num_groups) {
    panic("pre-synaptic group position " + std::to_string(position) + " out of range for " +
          std::to_string(num_groups) + " groups");
}

/// The exact position of the group of `pre_syn_nid` (see
/// PreSynGroupMap::index_of); a neuron without a group here is a panic.
[[gnu::always_inline]] inline std::uint32_t group_position(PartitionLayer& layer,
                                                           std::uint64_t pre_syn_nid,
                                                           std::uint32_t hint) {
    const std::uint32_t g = layer.pre_syn_groups.index_of(pre_syn_nid, hint);
    if (g == PreSynGroupMap::kNoIndex) [[unlikely]] {
        missing_group(pre_syn_nid);
    }
    return g;
}

/// Checks that the group of `pre_syn_nid` has a synapse k.
void check_synapse(const PreSynapticGroup& group, std::uint64_t pre_syn_nid, std::uint64_t k) {
    if (k >= group.synapses.size() || !group.synapses.stored()) [[unlikely]] {
        missing_synapse(pre_syn_nid, k);
    }
}

/// The same for the group at `position` in the layer's groups, which has
/// `size` synapses; its nid is read only for the message. Groups in a layer
/// are always stored.
[[gnu::always_inline]] inline void check_synapse_at(const PreSynGroupMap& groups, std::size_t size,
                                                    std::uint32_t position, std::uint64_t k) {
    if (k >= size) [[unlikely]] {
        missing_synapse(groups.key_at(position), k);
    }
}

/// Finds the pairing rule of a group that has none yet.
[[gnu::noinline]] void resolve_pairing_rule(PartitionLayer& layer, const PreSynapticGroup& group) {
    group.pairing_rule =
        layer.pairing_rules.resolve(group.short_term_stdp_params, group.long_term_stdp_params,
                                    layer.neuron_params.t_cutoff_coincidence);
}

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

/// The long-term part of a pairing at tick t: the change dw to synapse k of
/// `group`, already checked, or its eligibility trace under a plasticity
/// modulator; `position` is the group's position in the layer, which the
/// trace keeps.
[[gnu::always_inline]] inline void apply_long_term(PartitionLayer& layer, PreSynapticGroup& group,
                                                   std::uint32_t position, std::uint64_t k,
                                                   float dw, std::uint64_t t) {
    if (layer.plasticity_modulator) {
        PlasticityModulator& modulator = *layer.plasticity_modulator;
        // k < synapses.size() <= kMaxSynapsesPerGroup: it fits 32 bits.
        modulator.eligibility_traces.push_back(
            EligibilityTrace{saturating_add(t, modulator.params.eligibility_trace_delay), position,
                             static_cast<std::uint32_t>(k), dw});
    } else {
        SynapseHot& synapse = group.synapses.hot()[k];
        synapse.weight = clamp_weight(synapse.weight, dw, group.max_weight);
    }
}

/// apply_stdp, inlined where pairings are made, for synapse k of `group`,
/// already checked; `position` is the group's position in the layer.
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
    if (rule.long_term()) apply_long_term(layer, group, position, k, rule.long_term_value(dt), t);
}

/// Files the inputs delivered at tick t in the layer's coincidence windows.
void seal_window(PartitionLayer& layer, std::uint64_t t) {
    CoincidenceWindows& windows = layer.coincidence_windows;
    const std::vector<Neuron>& neurons = layer.neurons;
    windows.seal(neurons.size(),
                 oldest_recent_arrival(t, layer.neuron_params.t_cutoff_coincidence));
    // Inputs of a neuron that fired at or after their tick were paired then.
    windows.drop_paired(t, neurons.size(), [&](std::uint32_t post, std::uint64_t tick) {
        if (post >= neurons.size()) return false;
        const std::optional<std::uint64_t>& last_spike_t = neurons[post].last_spike_t;
        return last_spike_t && *last_spike_t >= tick;
    });
}

void ensure_neuron_decay_tables(PartitionLayer& layer) {
    const NeuronParams& params = layer.neuron_params;
    if (!layer.membrane_decay.built_for(params.tau_membrane)) {
        layer.membrane_decay.build(params.tau_membrane);
    }
    if (!layer.threshold_decay.built_for(params.tau_threshold)) {
        layer.threshold_decay.build(params.tau_threshold);
    }
}

}  // namespace

namespace {

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
            const char* hot = reinterpret_cast<const char*>(ahead.synapses.hot());
            const char* cold = reinterpret_cast<const char*>(ahead.synapses.cold());
            for (int line = 0; line < 2; ++line) __builtin_prefetch(hot + 64 * line);
            for (int line = 0; line < 4; ++line) __builtin_prefetch(cold + 64 * line);
            __builtin_prefetch(ahead.stp_state.get());
        }
        if (g != none) {
            propagate_group(layer, scheduler, groups.group_at(g), g, pre_syn_nids[i], t_s);
        }
    }
}

void apply_stdp(PartitionLayer& layer, PreSynapticGroup& group, std::uint64_t pre_syn_nid,
                std::uint64_t k, std::int64_t dt, std::uint64_t t) {
    const std::uint32_t position = layer.plasticity_modulator
                                       ? group_position(layer, pre_syn_nid, kNoGroupIndex)
                                       : kNoGroupIndex;
    check_synapse(group, pre_syn_nid, k);
    pair_synapse(layer, group, position, k, dt, t);
}

namespace {

/// Makes pairings in the order they are handed in, each a while after: the
/// synapses lie anywhere in the layer and are found through their group's
/// record, so both are requested ahead (the record kPairLag pairings ahead,
/// the synapse, whose address the record gives, kPairLag - kSynapseLag
/// ahead) and their misses overlap. `pair(item)` makes one pairing; items
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
          groups_at_(groups.empty() ? nullptr : &groups.group_at(0)),
          num_groups_(groups.size()),
          pair_(pair) {}
    PairingPipeline(const PairingPipeline&) = delete;
    PairingPipeline& operator=(const PairingPipeline&) = delete;

    [[gnu::always_inline]] void push(const Item& item) {
        // The fields pairing reads lie in the group's first 64 bytes, one line.
        prefetch_line_at(groups_at_, std::uintptr_t{item.group} * sizeof(PreSynapticGroup));
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
        const PreSynapticGroup& group = groups_at_[item.group];
        if (weights_read_) {
            prefetch_line_at<true>(group.synapses.hot(),
                                   std::uintptr_t{item.synapse} * sizeof(SynapseHot));
        }
        // The other part only for short-term STDP, the one rule that changes
        // it. Rules found while the pipeline runs are not looked for: this is
        // a request, not a read.
        if (!any_short_term_) return;
        const std::uint32_t rule = group.pairing_rule;
        if (rule < rules_.size() && rules_.at(rule).short_term()) {
            prefetch_line_at<true>(group.synapses.cold(),
                                   std::uintptr_t{item.synapse} * sizeof(SynapseCold));
        }
    }

    const PairingRuleSet& rules_;
    bool weights_read_;
    bool any_short_term_;
    const PreSynapticGroup* groups_at_;
    std::size_t num_groups_;
    Pair pair_;
    std::array<Item, kRing> ring_;
    std::size_t pushed_ = 0;
    std::size_t paired_ = 0;
};

/// A pre-after-post pairing found by delivery: synapse `synapse` of the group
/// at position `group` with the post-synaptic spike at tick `post_spike_t`.
struct AfterPostPairing {
    std::uint32_t group;
    std::uint32_t synapse;
    std::uint64_t post_spike_t;
};

/// Makes a pre-after-post pairing at tick t, unless the group's spike before
/// the one that made the event arrived over this synapse after the
/// post-synaptic spike.
/// `one_rule`: PairingRuleSet::one_long_term_rule() held when the pairing
/// was found.
[[gnu::always_inline]] inline void pair_after_post(PartitionLayer& layer,
                                                   const AfterPostPairing& pairing, std::uint64_t t,
                                                   bool one_rule = false) {
    PreSynGroupMap& groups = layer.pre_syn_groups;
    PreSynapticGroup& group = groups.group_at(pairing.group);
    check_synapse_at(groups, group.synapses.size(), pairing.group, pairing.synapse);
    const std::uint64_t ts = pairing.post_spike_t;
    if (group.previous_spike_t &&
        saturating_add(*group.previous_spike_t,
                       group.synapses.hot()[pairing.synapse].conduction_delay) > ts) {
        return;
    }
    const std::int64_t dt = signed_tick_difference(t, ts);
    if (one_rule && group.pairing_rule == 0) {
        const float dw = layer.pairing_rules.at(0).long_term_value(dt);
        apply_long_term(layer, group, pairing.group, pairing.synapse, dw, t);
        return;
    }
    pair_synapse(layer, group, pairing.group, pairing.synapse, dt, t);
}

/// Hands each pre-after-post pairing to pair_after_post at once.
struct PairAfterPostNow {
    PartitionLayer& layer;
    std::uint64_t t;
    void push(const AfterPostPairing& pairing) const { pair_after_post(layer, pairing, t); }
};

/// Delivery of an event over a synapse with STDP to `neuron`: record,
/// integrate, then pre-after-post pairing, handed to `pairings` (a
/// PairingPipeline or PairAfterPostNow). Returns whether the neuron reached
/// its threshold. Without `Record` the caller files the input in the window
/// itself. `Prepared`: the layer's neuron decay tables are known to be built
/// for its time constants. `oldest`: oldest_recent_arrival(t,
/// t_cutoff_coincidence), the bound of the coincidence window at tick t.
template <bool Prepared, bool Record = true, class Pairings>
[[gnu::always_inline]] inline bool deliver_plastic(PartitionLayer& layer, Neuron& neuron,
                                                   const SynapticEvent& event, std::uint64_t t,
                                                   std::uint64_t oldest, Pairings& pairings) {
    const NeuronParams& params = layer.neuron_params;
    // The window names the synapse as the event does. Only the group's
    // position is checked here; the synapse index is checked where a pairing
    // reads the synapse (the group record is not needed until then).
    const std::uint32_t g = event.group_index();
    PreSynGroupMap& groups = layer.pre_syn_groups;
    if (g >= groups.size()) [[unlikely]] {
        missing_group_position(g, groups.size());
    }
    if constexpr (Record) {
        layer.coincidence_windows.record(t, event.post_index, g, event.synapse_index);
    }
    const bool reached = Prepared ? integrate_prepared(neuron, t, event.psp, params,
                                                       layer.membrane_decay, layer.threshold_decay)
                                  : integrate(neuron, t, event.psp, params, layer.membrane_decay,
                                              layer.threshold_decay);
    // Pre-after-post: pair with the neuron's last spike (always of an earlier
    // tick, since this tick's spikes come after all deliveries), refractory or not.
    // The spike lies in the coincidence window exactly when an input that
    // arrived at its tick would not be pruned now. Pairings change only
    // synapses and traces, which nothing else in delivery reads, so they may
    // be made a while later, in the same order.
    if (neuron.last_spike_t && *neuron.last_spike_t >= oldest) {
        pairings.push(AfterPostPairing{g, event.synapse_index, *neuron.last_spike_t});
    }
    return reached;
}

/// The same, kept out of line for loops where it is the exception; pairs at once.
template <bool Prepared, bool Record = true>
[[gnu::noinline]] bool deliver_plastic_outlined(PartitionLayer& layer, Neuron& neuron,
                                                const SynapticEvent& event, std::uint64_t t) {
    PairAfterPostNow now{layer, t};
    return deliver_plastic<Prepared, Record>(
        layer, neuron, event, t, oldest_recent_arrival(t, layer.neuron_params.t_cutoff_coincidence),
        now);
}

}  // namespace

void deliver_event(PartitionLayer& layer, const SynapticEvent& event, std::uint64_t t) {
    if (event.post_index >= layer.neurons.size()) [[unlikely]] {
        missing_neuron(event.post_index, layer.neurons.size());
    }
    Neuron& neuron = layer.neurons[event.post_index];
    if (event.has_timing_plasticity()) {
        const bool reached = deliver_plastic_outlined<false>(layer, neuron, event, t);
        seal_window(layer, t);
        if (reached) layer.pending_neurons.push_back(event.post_index);
        return;
    }
    // No STDP on this synapse: the recent input would only ever be paired
    // with no effect, so only the membrane is updated. Entries of other
    // synapses are pruned by time alone, so they are unaffected.
    if (integrate(neuron, t, event.psp, layer.neuron_params, layer.membrane_decay,
                  layer.threshold_decay)) {
        layer.pending_neurons.push_back(event.post_index);
    }
}

namespace {

/// Delivers the events of a batch to their neurons, in stored order; each
/// neuron that reaches its threshold is handed to `reached(k, index)`, with
/// the event's index k in `events`. `MostlyPlastic` chooses only the
/// code layout: with it, delivery over synapses with STDP is inlined; without
/// it (no event of the layer has had STDP so far), such an event still takes
/// the same path, out of line. `ByNeuron`: the events are sorted by neuron.
template <bool MostlyPlastic, bool Record, bool ByNeuron, class Reached>
void deliver_events(PartitionLayer& layer, const SynapticEvent* events, std::size_t n,
                    std::uint64_t t, Reached&& reached) {
    // In batch order events hit neurons all over the layer: the events are
    // known in advance, so the neuron records of later events are requested
    // early. Sorted by neuron, the records are read in address order, which
    // the processor follows by itself. The pairings that deliveries find go
    // through a pipeline that requests their groups and synapses ahead too.
    // Only fetches and the timing of pairings change: the delivery order is
    // untouched.
    constexpr std::size_t kNeuronAhead = 16;
    const std::size_t num_neurons = layer.neurons.size();
    Neuron* const neurons = layer.neurons.data();
    const NeuronParams& params = layer.neuron_params;
    const DecayTable& membrane = layer.membrane_decay;
    const DecayTable& threshold = layer.threshold_decay;
    const std::uint64_t oldest = oldest_recent_arrival(t, params.t_cutoff_coincidence);
    const bool one_rule = layer.pairing_rules.one_long_term_rule();
    const auto pair =
        [&layer, t, one_rule ](const AfterPostPairing& pairing) __attribute__((always_inline)) {
        pair_after_post(layer, pairing, t, one_rule);
    };
    PairingPipeline<AfterPostPairing, decltype(pair)> pairings(layer.pre_syn_groups,
                                                               layer.pairing_rules, pair);
    const auto deliver_one = [&](std::size_t k) __attribute__((always_inline)) {
        // deliver_event, with the static case inlined and the tables
        // known to be built for this layer's time constants.
        const SynapticEvent& event = events[k];
        if (event.post_index >= num_neurons) [[unlikely]] {
            missing_neuron(event.post_index, num_neurons);
        }
        Neuron& neuron = neurons[event.post_index];
        bool crossed;
        if (!event.has_timing_plasticity()) {
            crossed = integrate_prepared(neuron, t, event.psp, params, membrane, threshold);
        } else if (MostlyPlastic) {
            crossed = deliver_plastic<true, Record>(layer, neuron, event, t, oldest, pairings);
        } else {
            crossed = deliver_plastic_outlined<true, Record>(layer, neuron, event, t);
        }
        if (crossed) reached(k, event.post_index);
    };
    // Unchecked indices are fine here: a prefetch never faults.
    const auto fetch_neuron = [&](std::size_t k) __attribute__((always_inline)) {
        if constexpr (!ByNeuron) {
            prefetch_line_at<true>(neurons, std::uintptr_t{events[k].post_index} * sizeof(Neuron));
        }
    };
    for (std::size_t k = 0; k < n && k < kNeuronAhead; ++k) fetch_neuron(k);
    std::size_t k = 0;
    for (; k + kNeuronAhead < n; ++k) {
        fetch_neuron(k + kNeuronAhead);
        deliver_one(k);
    }
    for (; k < n; ++k) deliver_one(k);
    pairings.finish();
}

/// Orders the batch by target neuron, keeping batch order among the events of
/// one neuron (a counting sort), into the layer's delivery scratch: the sorted
/// events, and neuron_start[m] one past the last event of neuron m. False,
/// with nothing sorted, when an event names a neuron outside the run.
using EventBatch = BatchedRingBuffer<SynapticEvent>::Batch;

bool sort_by_neuron(PartitionLayer& layer, const EventBatch& batch) {
    DeliveryScratch& scratch = layer.delivery_scratch;
    const std::size_t n = batch.size();
    const std::size_t num_neurons = layer.neurons.size();
    std::vector<std::uint32_t>& start = scratch.neuron_start;
    start.assign(num_neurons + 1, 0);
    bool in_run = true;
    std::size_t num_plastic = 0;
    std::uint32_t max_group = 0;
    std::uint32_t max_synapse = 0;
    batch.for_each_run([&](const SynapticEvent* events, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const SynapticEvent& event = events[i];
            if (event.post_index >= num_neurons) [[unlikely]] {
                in_run = false;
                return;
            }
            ++start[event.post_index + 1];
            if (event.has_timing_plasticity()) {
                ++num_plastic;
                max_group = std::max(max_group, event.group_index());
                max_synapse = std::max(max_synapse, event.synapse_index);
            }
        }
    });
    if (!in_run) return false;
    scratch.num_plastic = num_plastic;
    scratch.max_group = max_group;
    scratch.max_synapse = max_synapse;
    std::uint32_t sum = 0;
    for (std::uint32_t& s : start) {
        sum += s;
        s = sum;
    }
    scratch.reserve(n);
    SynapticEvent* const sorted = scratch.events.data();
    batch.for_each_run([&](const SynapticEvent* events, std::size_t count) {
        for (std::size_t j = 0; j < count; ++j) sorted[start[events[j].post_index]++] = events[j];
    });
    return true;
}

/// The crossings of a sorted batch's delivery name their event by its index
/// in the sorted batch (high 32 bits; the neuron in the low ones): replaces
/// each by the event's position in `batch`. Only the runs of the neurons that
/// crossed are followed, in one pass over the batch: crossings are few, and
/// a position for every event would be a scattered write per event.
void locate_crossings(DeliveryScratch& scratch, const EventBatch& batch, std::size_t num_neurons) {
    std::vector<std::uint64_t>& crossed = scratch.crossed;
    if (crossed.empty()) return;
    constexpr std::uint32_t kUnmarked = DeliveryScratch::kUnmarked;
    std::vector<std::uint32_t>& cursor = scratch.cursor;
    if (cursor.size() != num_neurons) cursor.assign(num_neurons, kUnmarked);
    const std::uint32_t* const ends = scratch.neuron_start.data();
    for (const std::uint64_t c : crossed) {
        const std::uint32_t post = static_cast<std::uint32_t>(c);
        cursor[post] = post == 0 ? 0 : ends[post - 1];
    }
    // A marked neuron's cursor steps through its sorted run as its events
    // come by in batch order (every event names a neuron of the run: the
    // sort checked). After its last event no other names it.
    std::uint32_t* const position = scratch.positions.data();
    std::uint32_t i = 0;
    batch.for_each_run([&](const SynapticEvent* events, std::size_t count) {
        for (std::size_t j = 0; j < count; ++j, ++i) {
            std::uint32_t& at = cursor[events[j].post_index];
            if (at != kUnmarked) [[unlikely]] {
                position[at++] = i;
            }
        }
    });
    for (std::uint64_t& c : crossed) {
        const std::uint32_t post = static_cast<std::uint32_t>(c);
        cursor[post] = kUnmarked;
        c = std::uint64_t{position[c >> 32]} << 32 | post;
    }
}

template <bool MostlyPlastic>
void deliver_batch(PartitionLayer& layer, const EventBatch& batch, std::uint64_t t) {
    const std::size_t n = batch.size();
    std::vector<std::uint64_t>& pending = layer.pending_neurons;
    // A large batch is delivered neuron by neuron: each neuron record and
    // window is then fetched once for all its events instead of once per
    // event. The events of one neuron keep their batch order, so every
    // neuron and synapse sees the same operations in the same order; the
    // neurons that reach their threshold are then listed in batch order, as
    // direct delivery lists them.
    const DeliveryScratch& policy = layer.delivery_scratch;
    if (n >= policy.min_sorted_batch && n <= DeliveryScratch::kMaxBatch &&
        layer.neurons.size() >= policy.min_sorted_neurons &&
        layer.neurons.size() <= DeliveryScratch::kMaxNeurons && sort_by_neuron(layer, batch)) {
        DeliveryScratch& scratch = layer.delivery_scratch;
        std::vector<std::uint64_t>& crossed = scratch.crossed;
        crossed.clear();
        const auto cross = [&](std::size_t k, std::uint64_t post_index) {
            crossed.push_back(std::uint64_t{k} << 32 | post_index);
        };
        // The sorted batch is the tick's window inputs in neuron order: when
        // every event has STDP, it is filed whole after delivery instead of
        // input by input.
        CoincidenceWindows& windows = layer.coincidence_windows;
        const SynapticEvent* const sorted = scratch.events.data();
        if (scratch.num_plastic == n && windows.accepts_dense(t, n, layer.neurons.size())) {
            deliver_events<MostlyPlastic, false, true>(layer, sorted, n, t, cross);
            windows.file_dense(
                t, layer.neurons.size(), scratch.neuron_start.data(), n, scratch.max_group,
                scratch.max_synapse, [&](std::size_t i) {
                    return WindowInput{sorted[i].group_index(), sorted[i].synapse_index};
                });
        } else {
            deliver_events<MostlyPlastic, true, true>(layer, sorted, n, t, cross);
        }
        locate_crossings(scratch, batch, layer.neurons.size());
        std::sort(crossed.begin(), crossed.end());
        for (const std::uint64_t c : crossed) pending.push_back(c & 0xFFFFFFFFu);
        scratch.release_unused(n);
        return;
    }
    batch.for_each_run([&](const SynapticEvent* events, std::size_t count) {
        deliver_events<MostlyPlastic, true, false>(
            layer, events, count, t,
            [&](std::size_t, std::uint64_t post_index) { pending.push_back(post_index); });
    });
}

}  // namespace

std::uint64_t deliver_due_events(PartitionLayer& layer, std::uint64_t t) {
    ensure_neuron_decay_tables(layer);
    const std::uint64_t delivered =
        layer.delivery_buffer.drain_current_batch([&](const EventBatch& batch) {
            if (layer.timing_plasticity_scheduled) {
                deliver_batch<true>(layer, batch, t);
            } else {
                deliver_batch<false>(layer, batch, t);
            }
        });
    seal_window(layer, t);
    return delivered;
}

void fire_neuron(PartitionLayer& layer, std::uint64_t local_index, std::uint64_t t) {
    fire_neuron_deferred(layer, local_index, t);
    pair_fired(layer, t);
}

void fire_neuron_deferred(PartitionLayer& layer, std::uint64_t local_index, std::uint64_t t) {
    if (local_index >= layer.neurons.size()) [[unlikely]] {
        missing_neuron(local_index, layer.neurons.size());
    }
    Neuron& neuron = layer.neurons[local_index];
    const std::optional<std::uint64_t> previous_spike_t = neuron.last_spike_t;
    fire(neuron, t, layer.neuron_params);
    // Pre-before-post: every input since the previous spike that is still in
    // the window, oldest first; the difference arrival - t is zero or negative.
    layer.coincidence_windows.append_runs_of(
        static_cast<std::uint32_t>(local_index),
        first_unpaired_arrival(previous_spike_t, t, layer.neuron_params.t_cutoff_coincidence),
        layer.window_runs);
}

void pair_fired(PartitionLayer& layer, std::uint64_t t) {
    std::vector<WindowRun>& runs = layer.window_runs;
    if (runs.empty()) return;
    // dw: the long-term change at dt under the layer's first rule, when that
    // is its only rule so far and has long-term STDP alone. A run's inputs
    // share dt, so the groups of that rule take the value computed once per
    // run (the same function of dt: the same bits).
    struct Input {
        std::uint32_t group;
        std::uint32_t synapse;
        std::int64_t dt;
        float dw;
    };
    PreSynGroupMap& groups = layer.pre_syn_groups;
    const std::size_t num_groups = groups.size();
    const PairingRuleSet& rules = layer.pairing_rules;
    const bool one_rule = rules.one_long_term_rule();
    const auto pair = [&](const Input& input) __attribute__((always_inline)) {
        if (input.group >= num_groups) [[unlikely]] {
            missing_group_position(input.group, num_groups);
        }
        PreSynapticGroup& group = groups.group_at(input.group);
        check_synapse_at(groups, group.synapses.size(), input.group, input.synapse);
        if (one_rule && group.pairing_rule == 0) {
            apply_long_term(layer, group, input.group, input.synapse, input.dw, t);
        } else {
            pair_synapse(layer, group, input.group, input.synapse, input.dt, t);
        }
    };
    // Under a plasticity modulator long-term STDP queues a trace instead of
    // changing the weight, and pre-before-post pairing has no delay to check.
    PairingPipeline<Input, decltype(pair)> pairings(groups, layer.pairing_rules, pair,
                                                    !layer.plasticity_modulator);
    // The runs' inputs lie in the window's ticks, a line or so each: they
    // are requested kRunAhead runs ahead.
    constexpr std::size_t kRunAhead = 8;
    const std::size_t num_runs = runs.size();
    for (std::size_t r = 0; r < num_runs && r < kRunAhead; ++r) {
        prefetch_line(runs[r].inputs.address(0));
    }
    for (std::size_t r = 0; r < num_runs; ++r) {
        if (r + kRunAhead < num_runs) prefetch_line(runs[r + kRunAhead].inputs.address(0));
        const WindowRun& run = runs[r];
        const std::int64_t dt = signed_tick_difference(run.arrival_t, t);
        const float dw = one_rule ? rules.at(0).long_term_value(dt) : 0.0f;
        for (std::size_t j = 0; j < run.size; ++j) {
            const WindowInput input = run.inputs[j];
            pairings.push(Input{input.group_index, input.synapse_index, dt, dw});
        }
    }
    pairings.finish();
    runs.clear();
}

void prefetch_firing(const PartitionLayer& layer, std::uint64_t local_index, bool first_step) {
    if (local_index >= layer.neurons.size()) return;
    const auto post = static_cast<std::uint32_t>(local_index);
    if (first_step) {
        layer.coincidence_windows.prefetch_index(post);
    } else {
        layer.coincidence_windows.prefetch_runs(post);
    }
}

void sort_pre_syn_groups(PartitionLayer& layer) {
    const std::vector<std::uint32_t> moved_to = layer.pre_syn_groups.sort_by_key();
    if (moved_to.empty()) return;
    layer.coincidence_windows.renumber_groups([&](std::uint32_t g) {
        if (g >= moved_to.size()) [[unlikely]] {
            missing_group_position(g, moved_to.size());
        }
        return moved_to[g];
    });
    // Events in flight name their group's position too. One that names no
    // group keeps its position and is rejected when it falls due.
    layer.delivery_buffer.for_each_pending([&](SynapticEvent& event) {
        const std::uint32_t g = event.group_index();
        if (g < moved_to.size()) {
            event.group_tag = SynapticEvent::make_tag(moved_to[g], event.has_timing_plasticity());
        }
    });
    if (layer.plasticity_modulator) {
        layer.plasticity_modulator->eligibility_traces.renumber_groups([&](std::uint32_t g) {
            if (g >= moved_to.size()) [[unlikely]] {
                missing_group_position(g, moved_to.size());
            }
            return moved_to[g];
        });
    }
}

namespace {

/// Traces whose weight changes the flush computes together: their sums stay
/// in the first-level cache.
constexpr std::size_t kFlushBlock = 1024;
/// How many changes ahead their application requests a synapse.
constexpr std::size_t kApplyLookahead = 32;

/// The weight changes of `n` traces of one tick: sums[i] is
/// dopamine_weight_change of trace i, given the decays and amounts of the
/// samples that act on traces of that tick, in flush order.
void trace_weight_changes(const float* values, std::size_t n, const std::vector<float>& decays,
                          const std::vector<float>& amounts, float* sums) {
    for (std::size_t i = 0; i < n; ++i) sums[i] = 0.0f;
    for (std::size_t j = 0; j < decays.size(); ++j) {
        const float e = decays[j];
        const float amount = amounts[j];
        // (exponential * value) * amount, added sample by sample.
        for (std::size_t i = 0; i < n; ++i) sums[i] = sums[i] + e * values[i] * amount;
    }
}

/// Calls `f(span, sums)` for every run span of the held traces, block by
/// block, with the weight changes of the block's traces. Spans whose sums
/// are all 0 (no sample at or after their tick) are passed over.
template <class F>
void for_each_weight_change(const EligibilityTraceQueue& traces, DopamineFlush& flush, F&& f) {
    std::vector<float>& decays = flush.decays;
    std::vector<float>& amounts = flush.amounts;
    std::vector<float>& sums = flush.sums;
    sums.resize(kFlushBlock);
    traces.for_each_span([&](const EligibilityTraceSpan& span) {
        // Every trace of one tick meets the samples at the same tick
        // differences, so each decay is computed once for all of them; the
        // same arguments give expf's same bits.
        decays.clear();
        amounts.clear();
        for (const DopamineSample& sample : flush.samples) {
            if (sample.t < span.t) continue;
            decays.push_back(decay_factor(sample.t - span.t, flush.tau_eligibility_trace));
            amounts.push_back(sample.amount);
        }
        if (decays.empty()) return;
        for (std::size_t begin = 0; begin < span.size; begin += kFlushBlock) {
            const std::size_t n = std::min(kFlushBlock, span.size - begin);
            trace_weight_changes(span.values + begin, n, decays, amounts, sums.data());
            EligibilityTraceSpan block = span;
            block.group_positions += begin;
            block.synapse_indices += begin;
            block.values += begin;
            block.size = n;
            f(block, static_cast<const float*>(sums.data()));
        }
    });
}

/// A zero or NaN weight change changes nothing.
inline bool changes_weight(float sum) { return sum < 0.0f || sum > 0.0f; }

}  // namespace

void apply_dopamine_flush(PartitionLayer& layer, DopamineFlush& flush) {
    if (!layer.plasticity_modulator) [[unlikely]] {
        panic("dopamine flush on a layer without a plasticity modulator");
    }
    const EligibilityTraceQueue& traces = layer.plasticity_modulator->eligibility_traces;
    if (traces.empty()) return;
    PreSynGroupMap& groups = layer.pre_syn_groups;
    const std::size_t num_groups = groups.size();
    // The traces name synapses all over the layer, many per group. What the
    // application reads of a group (where its weights are, how many, the
    // bound) is gathered first into a table of 16 bytes a group, which stays
    // in cache where the groups' records (several lines each) would not;
    // each change then needs only its synapse's line.
    std::vector<FlushGroup>& table = layer.flush_groups;
    table.resize(num_groups);
    for (std::size_t g = 0; g < num_groups; ++g) {
        PreSynapticGroup& group = groups.group_at(g);
        // A group has at most kMaxSynapsesPerGroup synapses: the size fits.
        table[g] = {group.synapses.hot(), static_cast<std::uint32_t>(group.synapses.size()),
                    group.max_weight};
    }
    // The changes are applied in queue order, so each synapse receives its
    // traces in order, each clamped on its own. The synapses of a block of
    // traces are known once its changes are, so they are requested ahead of
    // their application and their misses overlap.
    const FlushGroup* const at = table.data();
    for_each_weight_change(
        traces, flush, [&](const EligibilityTraceSpan& block, const float* sums) {
            const std::size_t n = block.size;
            const auto fetch_synapse = [&](std::size_t i) __attribute__((always_inline)) {
                const std::uint32_t g = block.group_positions[i];
                if (g >= num_groups || !changes_weight(sums[i])) return;
                const std::uint32_t k = block.synapse_indices[i];
                prefetch_line_at<true>(at[g].hot, std::uintptr_t{k} * sizeof(SynapseHot));
            };
            for (std::size_t i = 0; i < n && i < kApplyLookahead; ++i) fetch_synapse(i);
            for (std::size_t i = 0; i < n; ++i) {
                if (i + kApplyLookahead < n) fetch_synapse(i + kApplyLookahead);
                const std::uint32_t g = block.group_positions[i];
                if (g >= num_groups) [[unlikely]] {
                    missing_group_position(g, num_groups);
                }
                if (!changes_weight(sums[i])) continue;
                const FlushGroup& group = at[g];
                const std::uint32_t k = block.synapse_indices[i];
                check_synapse_at(groups, group.size, g, k);
                SynapseHot& synapse = group.hot[k];
                synapse.weight = clamp_weight(synapse.weight, sums[i], group.max_weight);
            }
        });
}

}  // namespace synaptor
