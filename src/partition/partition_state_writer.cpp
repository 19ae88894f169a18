// Writing the partitions' state: see partition_state_codec.hpp.
#include <algorithm>
#include <bit>

#include "partition/layer_view.hpp"
#include "partition/neuron_dynamics.hpp"
#include "partition/partition_state_codec.hpp"
#include "partition/partition_state_records.hpp"
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

void write_held_neurons(ByteWriter& out, const LayerView& view, std::uint64_t t) {
    // Neurons in nid order: runs follow each other in partition order. A
    // recent input that left the coincidence window by tick t is never read
    // again (firing pairs only the inputs inside it) and is not saved.
    for (const auto& [layer, p] : view.nonempty) {
        if (layer == nullptr) continue;
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

void write_modulation_head(ByteWriter& out, const PartitionLayer& layer) {
    // Every part holds the same samples and bookkeeping, since every part
    // sees every reward; the traces are spread by synapse.
    out.flag(layer.plasticity_modulator.has_value());
    if (!layer.plasticity_modulator) return;
    const PlasticityModulator& modulator = *layer.plasticity_modulator;
    out.u64(modulator.next_conflation_t);
    out.f32(modulator.dopamine_accumulator);
    out.u64(modulator.next_flush_t);
    out.u64(modulator.dopamine_samples.size());
    for (const DopamineSample& sample : modulator.dopamine_samples) {
        out.u64(sample.t);
        out.f32(sample.amount);
    }
}

std::vector<TraceRecord> held_traces(const LayerView& view) {
    std::vector<TraceRecord> traces;
    for (std::size_t p = 0; p < view.parts.size(); ++p) {
        const PartitionLayer* layer = view.parts[p];
        if (layer == nullptr) continue;
        if (!layer->plasticity_modulator) panic("a part of a modulated layer has no modulator");
        layer->plasticity_modulator->eligibility_traces.for_each_span(
            [&](const EligibilityTraceSpan& span) {
                for (std::size_t i = 0; i < span.size; ++i) {
                    const std::uint32_t g = span.group_position(i);
                    const std::uint64_t ordinal = view.ordinal_of(p, g);
                    const PreSynapticGroup& group = layer->pre_syn_groups.group_at(g);
                    const std::uint32_t k = span.synapse_index(i);
                    if (k >= group.synapses.size()) panic("an eligibility trace names no synapse");
                    traces.push_back(TraceRecord{span.t, ordinal,
                                                 layer->first_nid + group.synapses[k].post_index,
                                                 view.canonical_index(p, g, k), span.values[i]});
                }
            });
    }
    sort_traces(traces);
    return traces;
}

void sort_traces(std::vector<TraceRecord>& traces) {
    // Each synapse keeps the order of its own traces (a synapse lies in one
    // part); the order between synapses does not matter to a flush, so it
    // is made canonical.
    std::stable_sort(traces.begin(), traces.end(), [](const TraceRecord& a, const TraceRecord& b) {
        if (a.t != b.t) return a.t < b.t;
        if (a.ordinal != b.ordinal) return a.ordinal < b.ordinal;
        return a.post < b.post;
    });
}

void encode_traces(ByteWriter& out, const std::vector<TraceRecord>& traces) {
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

std::uint64_t count_held_events(const LayerView& view) {
    std::uint64_t n = 0;
    for (const PartitionLayer* layer : view.parts) {
        if (layer != nullptr) n += layer->delivery_buffer.pending_items();
    }
    return n;
}

namespace {

bool has_short_term_state(const PreSynapticGroup& group) {
    for (const Synapse& synapse : group.synapses) {
        if (synapse.short_term_update_t != 0 ||
            std::bit_cast<std::uint32_t>(synapse.short_term_weight) != 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::uint64_t write_held_groups(ByteWriter& out, const LayerView& view) {
    // Groups in ascending pre-synaptic nid, each with its synapses onto the
    // layer in ascending post-synaptic nid.
    std::uint64_t written = 0;
    for (std::uint64_t o = 0; o < view.num_groups; ++o) {
        const PreSynapticGroup* shared = nullptr;
        std::uint64_t num_synapses = 0;
        bool short_term = false;
        for (std::size_t p = 0; p < view.parts.size(); ++p) {
            const std::uint32_t position = view.slots[p][o].position;
            if (view.parts[p] == nullptr || position == PreSynGroupMap::kNoIndex) continue;
            const PreSynapticGroup& group = view.parts[p]->pre_syn_groups.group_at(position);
            if (shared == nullptr) shared = &group;
            num_synapses += group.synapses.size();
            short_term = short_term || has_short_term_state(group);
        }
        if (shared == nullptr) continue;
        ++written;
        // The spike ticks and short-term plasticity follow the pre-synaptic
        // neuron's spikes alone, so every part holds the same.
        out.u64(view.keys[o]);
        out.optional_u64(shared->previous_spike_t);
        out.optional_u64(shared->last_spike_t);
        const StpDynamics* dynamics = shared->stp_state->dynamics();
        out.u8(static_cast<std::uint8_t>(stp_code(*shared->stp_state)));
        out.u64(dynamics ? dynamics->last_update_t : 0);
        out.f32(dynamics ? dynamics->efficacy : 0.0f);
        out.u64(num_synapses);
        out.u8(static_cast<std::uint8_t>(short_term ? SynapseEncoding::Full
                                                    : SynapseEncoding::WeightOnly));
        for (std::size_t p = 0; p < view.parts.size(); ++p) {
            const std::uint32_t position = view.slots[p][o].position;
            if (view.parts[p] == nullptr || position == PreSynGroupMap::kNoIndex) continue;
            const PreSynapticGroup& group = view.parts[p]->pre_syn_groups.group_at(position);
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
    return written;
}

}  // namespace state_format

void write_layer_summary(ByteWriter& out, const std::vector<LayerView>& views) {
    out.u64(views.size());
    for (const LayerView& view : views) {
        out.u64(view.num_neurons);
        out.u64(view.num_synapses);
    }
}

void write_partition_state(ByteWriter& out, const std::vector<Partition*>& partitions,
                           std::uint64_t t) {
    using namespace state_format;
    const std::size_t num_layers = partitions.front()->layers.size();
    // A summary first: the neurons and synapses of each layer.
    out.u64(num_layers);
    for (std::size_t l = 0; l < num_layers; ++l) {
        out.u64(count_neurons(partitions, l));
        out.u64(count_synapses(partitions, l));
    }
    for (std::size_t l = 0; l < num_layers; ++l) {
        const LayerView view(partitions, l);
        out.u64(view.num_neurons);
        write_held_neurons(out, view, t);
        write_modulation_head(out, view.held_part());
        if (view.held_part().plasticity_modulator) encode_traces(out, held_traces(view));
        out.u64(view.num_groups);
        write_held_groups(out, view);
        const std::uint64_t num_events = count_held_events(view);
        out.u64(num_events);
        EventEncoder encoder(out);
        std::uint64_t written = 0;
        for_each_event_batch(view, [&](const std::vector<EventRecord>& batch) {
            for (const EventRecord& event : batch) encoder.put(event);
            written += batch.size();
        });
        if (written != num_events) panic("events in flight in a part without neurons");
    }
}

}  // namespace synaptor
