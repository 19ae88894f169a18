// Writing the partitions' state: see partition_state_codec.hpp.
#include <algorithm>
#include <bit>

#include "partition/layer_view.hpp"
#include "partition/neuron_dynamics.hpp"
#include "partition/partition_state_codec.hpp"
#include "util/panic.hpp"

namespace synaptor {

namespace state_format {

std::uint64_t count_neurons(const std::vector<Partition*>& partitions, std::size_t l) {
    std::uint64_t n = 0;
    for (const Partition* partition : partitions) n += partition->layers.at(l).neurons.size();
    return n;
}

std::uint64_t count_synapses(const std::vector<Partition*>& partitions, std::size_t l) {
    std::uint64_t n = 0;
    for (const Partition* partition : partitions) {
        const PreSynGroupMap& groups = partition->layers.at(l).pre_syn_groups;
        for (std::size_t g = 0; g < groups.size(); ++g) n += groups.group_at(g).synapses.size();
    }
    return n;
}

}  // namespace state_format

namespace {

using namespace state_format;

struct TraceRecord {
    std::uint64_t t;
    std::uint64_t ordinal;
    std::uint64_t post;
    std::uint64_t k;
    float value;
};

struct EventRecord {
    std::uint64_t offset;
    std::uint64_t post;
    std::uint64_t ordinal;
    std::uint64_t k;
    float psp;
    bool timing;
};

void write_neurons(ByteWriter& out, const LayerView& view, std::uint64_t t) {
    // Neurons in nid order: runs follow each other in partition order. A
    // recent input that left the coincidence window by tick t is never read
    // again (firing pairs only the inputs inside it) and is not saved.
    out.u64(view.num_neurons);
    for (const auto& [layer, p] : view.nonempty) {
        const std::uint64_t cutoff = layer->neuron_params.t_cutoff_coincidence;
        for (const Neuron& neuron : layer->neurons) {
            out.u64(neuron.last_update_t);
            out.optional_u64(neuron.last_spike_t);
            out.f32(neuron.voltage);
            out.f32(neuron.threshold);
            // The inputs since the neuron last fired (which paired the ones
            // before) that are still in the window.
            const std::uint32_t post = static_cast<std::uint32_t>(&neuron - layer->neurons.data());
            const std::vector<RecentInput> inputs = layer->coincidence_windows.inputs_of(
                post, first_unpaired_arrival(neuron.last_spike_t, t, cutoff));
            out.varint(inputs.size());
            for (const RecentInput& input : inputs) {
                out.varint(t - input.arrival_t);
                out.varint(view.ordinal_of(p, input.group_index));
                out.varint(view.canonical_index(p, input.group_index, input.synapse_index));
            }
        }
    }
}

void write_modulation(ByteWriter& out, const LayerView& view) {
    // Every part holds the same samples and bookkeeping, since every part
    // sees every reward; the traces are spread by synapse.
    const PartitionLayer& first = *view.parts.front();
    out.flag(first.plasticity_modulator.has_value());
    if (!first.plasticity_modulator) return;
    const PlasticityModulator& modulator = *first.plasticity_modulator;
    out.u64(modulator.next_conflation_t);
    out.f32(modulator.dopamine_accumulator);
    out.u64(modulator.next_flush_t);
    out.u64(modulator.dopamine_samples.size());
    for (const DopamineSample& sample : modulator.dopamine_samples) {
        out.u64(sample.t);
        out.f32(sample.amount);
    }
    std::vector<TraceRecord> traces;
    for (std::size_t p = 0; p < view.parts.size(); ++p) {
        const PartitionLayer* layer = view.parts[p];
        if (!layer->plasticity_modulator) panic("a part of a modulated layer has no modulator");
        layer->plasticity_modulator->eligibility_traces.for_each_span(
            [&](const EligibilityTraceSpan& span) {
                for (std::size_t i = 0; i < span.size; ++i) {
                    const std::uint32_t g = span.group_positions[i];
                    const std::uint64_t ordinal = view.ordinal_of(p, g);
                    const PreSynapticGroup& group = layer->pre_syn_groups.group_at(g);
                    const std::uint32_t k = span.synapse_indices[i];
                    if (k >= group.synapses.size()) panic("an eligibility trace names no synapse");
                    traces.push_back(TraceRecord{span.t, ordinal,
                                                 layer->first_nid + group.synapses[k].post_index,
                                                 view.canonical_index(p, g, k), span.values[i]});
                }
            });
    }
    // Each synapse keeps the order of its own traces; the order between
    // synapses does not matter to a flush, so it is made canonical.
    std::stable_sort(traces.begin(), traces.end(), [](const TraceRecord& a, const TraceRecord& b) {
        if (a.t != b.t) return a.t < b.t;
        if (a.ordinal != b.ordinal) return a.ordinal < b.ordinal;
        return a.post < b.post;
    });
    out.u64(traces.size());
    std::uint64_t previous_t = 0;
    for (const TraceRecord& trace : traces) {
        out.varint(trace.t - previous_t);
        previous_t = trace.t;
        out.varint(trace.post);
        out.varint(trace.ordinal);
        out.varint(trace.k);
        out.f32(trace.value);
    }
}

bool has_short_term_state(const PreSynapticGroup& group) {
    for (const Synapse& synapse : group.synapses) {
        if (synapse.short_term_update_t != 0 ||
            std::bit_cast<std::uint32_t>(synapse.short_term_weight) != 0) {
            return true;
        }
    }
    return false;
}

void write_groups(ByteWriter& out, const LayerView& view) {
    // Groups in ascending pre-synaptic nid, each with its synapses onto the
    // whole layer in ascending post-synaptic nid.
    out.u64(view.num_groups);
    std::vector<std::uint32_t> positions;
    GroupMerge merge(view.parts);
    while (const std::optional<std::uint64_t> pre = merge.next(positions)) {
        const PreSynapticGroup* shared = nullptr;
        std::uint64_t num_synapses = 0;
        bool short_term = false;
        for (std::size_t p = 0; p < positions.size(); ++p) {
            if (positions[p] == PreSynGroupMap::kNoIndex) continue;
            const PreSynapticGroup& group = view.parts[p]->pre_syn_groups.group_at(positions[p]);
            if (shared == nullptr) shared = &group;
            num_synapses += group.synapses.size();
            short_term = short_term || has_short_term_state(group);
        }
        // The spike ticks and short-term plasticity follow the pre-synaptic
        // neuron's spikes alone, so every part holds the same.
        out.u64(*pre);
        out.optional_u64(shared->previous_spike_t);
        out.optional_u64(shared->last_spike_t);
        const StpDynamics* dynamics = shared->stp_state->dynamics();
        out.u8(static_cast<std::uint8_t>(stp_code(*shared->stp_state)));
        out.u64(dynamics ? dynamics->last_update_t : 0);
        out.f32(dynamics ? dynamics->efficacy : 0.0f);
        out.u64(num_synapses);
        out.u8(static_cast<std::uint8_t>(short_term ? SynapseEncoding::Full
                                                    : SynapseEncoding::WeightOnly));
        for (std::size_t p = 0; p < positions.size(); ++p) {
            if (positions[p] == PreSynGroupMap::kNoIndex) continue;
            const PreSynapticGroup& group = view.parts[p]->pre_syn_groups.group_at(positions[p]);
            for (const Synapse& synapse : group.synapses) {
                if (!short_term) {
                    put_le(out.room(kWeightOnlySynapseBytes),
                           std::bit_cast<std::uint32_t>(synapse.weight), 4);
                    continue;
                }
                unsigned char* b = out.room(kFullSynapseBytes);
                put_le(b, std::bit_cast<std::uint32_t>(synapse.weight), 4);
                put_le(b + 4, std::bit_cast<std::uint32_t>(synapse.short_term_weight), 4);
                put_le(b + 8, synapse.short_term_update_t, 8);
            }
        }
    }
}

void write_events(ByteWriter& out, const LayerView& view) {
    // Events in flight by the tick they fall due, then by target neuron; a
    // neuron's events keep their order, which its arithmetic depends on.
    // Parts hold ascending runs of neurons, so sorting each part's batch of
    // one tick in turn orders them all, one batch in memory at a time.
    std::uint64_t num_events = 0;
    std::size_t num_slots = 0;
    for (const PartitionLayer* layer : view.parts) {
        num_events += layer->delivery_buffer.pending_items();
        num_slots = std::max(num_slots, layer->delivery_buffer.num_slots());
    }
    out.u64(num_events);
    std::uint64_t written = 0;
    std::vector<EventRecord> batch;
    for (std::size_t offset = 0; offset < num_slots; ++offset) {
        std::uint64_t previous_post = 0;
        for (const auto& [layer, p] : view.nonempty) {
            const BatchedRingBuffer<SynapticEvent>& ring = layer->delivery_buffer;
            if (offset >= ring.num_slots()) continue;
            batch.clear();
            for (const SynapticEvent& event : ring.batch_at(offset)) {
                const std::uint32_t g = event.group_index();
                if (g >= layer->pre_syn_groups.size()) panic("an event in flight names no group");
                batch.push_back(EventRecord{offset, layer->first_nid + event.post_index,
                                            view.ordinal_of(p, g),
                                            view.canonical_index(p, g, event.synapse_index),
                                            event.psp, event.has_timing_plasticity()});
            }
            std::stable_sort(
                batch.begin(), batch.end(),
                [](const EventRecord& x, const EventRecord& y) { return x.post < y.post; });
            for (const EventRecord& event : batch) {
                out.varint(event.offset * 2 + (event.timing ? 1 : 0));
                out.varint(event.post - previous_post);
                out.varint(event.ordinal);
                out.varint(event.k);
                out.f32(event.psp);
                previous_post = event.post;
            }
            written += batch.size();
        }
    }
    if (written != num_events) panic("events in flight in a part without neurons");
}

}  // namespace

void write_partition_state(ByteWriter& out, const std::vector<Partition*>& partitions,
                           std::uint64_t t) {
    const std::size_t num_layers = partitions.front()->layers.size();
    // A summary first: the neurons and synapses of each layer.
    out.u64(num_layers);
    for (std::size_t l = 0; l < num_layers; ++l) {
        out.u64(count_neurons(partitions, l));
        out.u64(count_synapses(partitions, l));
    }
    for (std::size_t l = 0; l < num_layers; ++l) {
        const LayerView view(partitions, l);
        write_neurons(out, view, t);
        write_modulation(out, view);
        write_groups(out, view);
        write_events(out, view);
    }
}

}  // namespace synaptor
