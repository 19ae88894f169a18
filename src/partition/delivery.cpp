// Delivery: the events due at a tick are handed to their neurons, batch by
// batch, either in batch order or, for a large batch, neuron by neuron; a
// delivery over a synapse with STDP records the input in the coincidence
// window and pairs it with the neuron's last spike (pre-after-post). Runs on
// the layer's worker thread after propagation, before the tick's firings.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "partition/delivery_sort.hpp"
#include "partition/neuron_dynamics.hpp"
#include "partition/synaptic_transmission.hpp"
#include "partition/synaptic_transmission_internal.hpp"
#include "util/prefetch.hpp"
#include "util/tick_arithmetic.hpp"

namespace synaptor {
namespace {

using transmission_detail::apply_long_term;
using transmission_detail::check_synapse_at;
using transmission_detail::missing_group_position;
using transmission_detail::missing_neuron;
using transmission_detail::pair_synapse;
using transmission_detail::PairingPipeline;
using transmission_detail::TraceQueue;

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
/// was found. Without `LongTerm` (plasticity switched off) only short-term
/// STDP.
template <bool LongTerm = true, TraceQueue Q = TraceQueue::Unknown>
[[gnu::always_inline]] inline void pair_after_post(PartitionLayer& layer,
                                                   const AfterPostPairing& pairing, std::uint64_t t,
                                                   bool one_rule = false) {
    PreSynGroupMap& groups = layer.pre_syn_groups;
    // The group's record is read only for the pairings of other rules.
    const GroupPairing& group = groups.pairing_at(pairing.group);
    check_synapse_at(groups, group.size, pairing.group, pairing.synapse);
    const std::uint64_t ts = pairing.post_spike_t;
    if (group.has_previous_spike &&
        saturating_add(group.previous_spike_t, group.hot[pairing.synapse].conduction_delay) > ts) {
        return;
    }
    const std::int64_t dt = signed_tick_difference(t, ts);
    if (one_rule && group.pairing_rule == 0) {
        // That rule has no short-term STDP: switched off, nothing to do.
        if constexpr (LongTerm) {
            const float dw = layer.pairing_rules.at(0).long_term_value(dt);
            apply_long_term<Q>(layer, group.hot, group.max_weight, pairing.group, pairing.synapse,
                               dw, t);
        }
        return;
    }
    pair_synapse<LongTerm>(layer, groups.group_at(pairing.group), pairing.group, pairing.synapse,
                           dt, t);
}

/// Hands each pre-after-post pairing to pair_after_post at once; out of the
/// hot loops, so the switch is read per pairing.
struct PairAfterPostNow {
    PartitionLayer& layer;
    std::uint64_t t;
    void push(const AfterPostPairing& pairing) const {
        if (layer.plasticity_enabled) {
            pair_after_post(layer, pairing, t);
        } else {
            pair_after_post<false>(layer, pairing, t);
        }
    }
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
/// `LongTerm`: the layer's plasticity is switched on (it always is without
/// `MostlyPlastic`, whose path reads the switch itself).
template <bool MostlyPlastic, bool LongTerm, TraceQueue Q, bool Record, bool ByNeuron,
          class Reached>
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
        pair_after_post<LongTerm, Q>(layer, pairing, t, one_rule);
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

template <bool MostlyPlastic, bool LongTerm, TraceQueue Q = TraceQueue::Unknown>
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
        layer.neurons.size() <= DeliveryScratch::kMaxNeurons &&
        sort_by_neuron(layer.delivery_scratch, batch, layer.neurons.size())) {
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
            deliver_events<MostlyPlastic, LongTerm, Q, false, true>(layer, sorted, n, t, cross);
            windows.file_dense(
                t, layer.neurons.size(), scratch.neuron_start.data(), n, scratch.max_group,
                scratch.max_synapse, [&](std::size_t i) {
                    return WindowInput{sorted[i].group_index(), sorted[i].synapse_index};
                });
        } else {
            deliver_events<MostlyPlastic, LongTerm, Q, true, true>(layer, sorted, n, t, cross);
        }
        locate_crossings(scratch, batch, layer.neurons.size());
        std::sort(crossed.begin(), crossed.end());
        for (const std::uint64_t c : crossed) pending.push_back(c & 0xFFFFFFFFu);
        scratch.release_unused(n);
        return;
    }
    batch.for_each_run([&](const SynapticEvent* events, std::size_t count) {
        deliver_events<MostlyPlastic, LongTerm, Q, true, false>(
            layer, events, count, t,
            [&](std::size_t, std::uint64_t post_index) { pending.push_back(post_index); });
    });
}

}  // namespace

std::uint64_t deliver_due_events(PartitionLayer& layer, std::uint64_t t) {
    ensure_neuron_decay_tables(layer);
    const std::uint64_t delivered =
        layer.delivery_buffer.drain_current_batch([&](const EventBatch& batch) {
            // The switch is read once per batch: the pairings of the
            // delivery loop are made without a test of it.
            if (!layer.timing_plasticity_scheduled) {
                deliver_batch<false, true>(layer, batch, t);
            } else if (layer.plasticity_enabled) {
                if (layer.plasticity_modulator) {
                    deliver_batch<true, true, TraceQueue::Held>(layer, batch, t);
                } else {
                    deliver_batch<true, true, TraceQueue::None>(layer, batch, t);
                }
            } else {
                deliver_batch<true, false>(layer, batch, t);
            }
        });
    seal_window(layer, t);
    return delivered;
}

}  // namespace synaptor
