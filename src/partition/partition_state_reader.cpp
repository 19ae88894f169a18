// Reading the partitions' state: once to check everything, once to apply it
// (Apply). See partition_state_codec.hpp.
#include <bit>
#include <optional>
#include <string>

#include "partition/layer_view.hpp"
#include "partition/partition_state_codec.hpp"

namespace synaptor {

namespace {

using namespace state_format;

SynapseLocation expect_synapse(const FileReader& in, const LayerView& view, std::uint64_t o,
                               std::uint64_t k, std::uint64_t post, const char* what) {
    const std::optional<SynapseLocation> found = find_synapse(view, o, k, post);
    if (!found) in.damaged(std::string(what) + " names a synapse the network does not have");
    return *found;
}

template <bool Apply>
void read_neurons(FileReader& in, const LayerView& view, std::uint64_t t) {
    if (in.count(kNeuronBytes) != view.num_neurons) {
        in.damaged("a layer's number of neurons differs from the network's");
    }
    std::vector<std::uint32_t> window_posts;
    std::vector<RecentInput> window_inputs;
    for (const auto& [layer, p] : view.nonempty) {
        // A part held by another process is read past and checked alike.
        const bool held = layer != nullptr;
        window_posts.clear();
        window_inputs.clear();
        for (std::size_t i = 0; i < view.part_neurons[p]; ++i) {
            const std::uint64_t last_update_t = in.u64();
            const std::optional<std::uint64_t> last_spike_t = in.optional_u64();
            const float voltage = in.f32();
            const float threshold = in.f32();
            const std::uint64_t num_inputs = in.varint_count(kRecentInputBytes);
            if (Apply && held) {
                Neuron& neuron = layer->neurons[i];
                neuron.last_update_t = last_update_t;
                neuron.last_spike_t = last_spike_t;
                neuron.voltage = voltage;
                neuron.threshold = threshold;
            }
            for (std::uint64_t j = 0; j < num_inputs; ++j) {
                const std::uint64_t age = in.varint();
                if (age > t) in.damaged("a recent input arrives after the saved tick");
                const std::uint64_t arrival_t = t - age;
                const std::uint64_t ordinal = in.varint();
                const std::uint64_t k = in.varint();
                const std::optional<SynapseLocation> at = find_in_part(view, p, ordinal, k);
                if (!at) in.damaged("a recent input names a synapse the network does not have");
                if (Apply && held) {
                    window_posts.push_back(static_cast<std::uint32_t>(i));
                    window_inputs.push_back(RecentInput{arrival_t, at->group, at->index});
                }
            }
        }
        if (Apply && held) {
            layer->coincidence_windows.assign(window_posts, window_inputs, layer->neurons.size());
        }
    }
}

template <bool Apply>
void read_modulation(FileReader& in, const LayerView& view) {
    const bool modulated = in.flag();
    if (modulated != view.held_part().plasticity_modulator.has_value()) {
        in.damaged("dopamine modulation of a layer differs from the network's");
    }
    if (!modulated) return;
    const std::uint64_t next_conflation_t = in.u64();
    const float accumulator = in.f32();
    const std::uint64_t next_flush_t = in.u64();
    std::vector<DopamineSample> samples(in.count(kSampleBytes));
    for (DopamineSample& sample : samples) {
        sample.t = in.u64();
        sample.amount = in.f32();
    }
    if constexpr (Apply) {
        for (PartitionLayer* layer : view.parts) {
            if (layer == nullptr) continue;
            PlasticityModulator& modulator = *layer->plasticity_modulator;
            modulator.next_conflation_t = next_conflation_t;
            modulator.dopamine_accumulator = accumulator;
            modulator.next_flush_t = next_flush_t;
            modulator.dopamine_samples = samples;
            modulator.eligibility_traces.clear();
        }
    }
    const std::uint64_t num_traces = in.count(kTraceBytes);
    std::uint64_t trace_t = 0;
    for (std::uint64_t j = 0; j < num_traces; ++j) {
        // Stale traces are dropped from the front, so ticks must not fall:
        // each is a step forward from the one before.
        const std::uint64_t step = in.varint();
        if (step > ~trace_t) in.damaged("eligibility trace ticks beyond the end of time");
        trace_t += step;
        const std::uint64_t post = in.varint();
        const std::uint64_t ordinal = in.varint();
        const std::uint64_t k = in.varint();
        const float value = in.f32();
        const SynapseLocation at =
            expect_synapse(in, view, ordinal, k, post, "an eligibility trace");
        if (Apply && at.layer != nullptr) {
            at.layer->plasticity_modulator->eligibility_traces.push_back(
                EligibilityTrace{trace_t, at.group, at.index, value});
        }
    }
}

void apply_synapses(FileReader& in, PreSynapticGroup& group, bool full) {
    const std::uint64_t bytes = full ? kFullSynapseBytes : kWeightOnlySynapseBytes;
    for (SynapseRef synapse : group.synapses) {
        const unsigned char* b = in.take(bytes);
        synapse.weight = std::bit_cast<float>(static_cast<std::uint32_t>(get_le(b, 4)));
        if (full) {
            synapse.short_term_weight =
                std::bit_cast<float>(static_cast<std::uint32_t>(get_le(b + 4, 4)));
            synapse.short_term_update_t = get_le(b + 8, 8);
        } else {
            synapse.short_term_weight = 0.0f;
            synapse.short_term_update_t = 0;
        }
    }
}

template <bool Apply>
void read_groups(FileReader& in, const LayerView& view) {
    if (in.count(kGroupBytes) != view.num_groups) {
        in.damaged("the pre-synaptic groups differ from the network's");
    }
    for (std::uint64_t o = 0; o < view.num_groups; ++o) {
        if (in.u64() != view.keys[o])
            in.damaged("the pre-synaptic groups differ from the network's");
        const std::optional<std::uint64_t> previous_spike_t = in.optional_u64();
        const std::optional<std::uint64_t> last_spike_t = in.optional_u64();
        const std::uint8_t kind = in.u8();
        const std::uint64_t stp_update_t = in.u64();
        const float efficacy = in.f32();
        const std::uint64_t num_synapses = in.count(kWeightOnlySynapseBytes);
        const std::uint8_t encoding = in.u8();
        if (encoding > static_cast<std::uint8_t>(SynapseEncoding::Full)) {
            in.damaged("a group's synapse encoding is unknown");
        }
        const bool full = encoding == static_cast<std::uint8_t>(SynapseEncoding::Full);
        const std::uint64_t bytes = full ? kFullSynapseBytes : kWeightOnlySynapseBytes;
        std::uint64_t held = 0;
        for (std::size_t p = 0; p < view.parts.size(); ++p) {
            const GroupSlot& slot = view.slots[p][o];
            if (slot.position == PreSynGroupMap::kNoIndex) continue;
            held += slot.size;
            if (view.parts[p] == nullptr) continue;
            PreSynapticGroup& group = view.parts[p]->pre_syn_groups.group_at(slot.position);
            if (static_cast<std::uint8_t>(stp_code(*group.stp_state)) != kind) {
                in.damaged("short-term plasticity of a group differs from the network's");
            }
            if constexpr (Apply) {
                group.previous_spike_t = previous_spike_t;
                group.last_spike_t = last_spike_t;
                view.parts[p]->pre_syn_groups.refresh_pairing(slot.position);
                if (StpDynamics* dynamics = group.stp_state->dynamics()) {
                    dynamics->last_update_t = stp_update_t;
                    dynamics->efficacy = efficacy;
                }
            }
        }
        if (held != num_synapses) {
            in.damaged("a group's number of synapses differs from the network's");
        }
        if constexpr (Apply) {
            for (std::size_t p = 0; p < view.parts.size(); ++p) {
                const GroupSlot& slot = view.slots[p][o];
                if (slot.position == PreSynGroupMap::kNoIndex) continue;
                if (view.parts[p] == nullptr) {
                    in.skip(slot.size * bytes);
                } else {
                    apply_synapses(in, view.parts[p]->pre_syn_groups.group_at(slot.position), full);
                }
            }
        } else {
            if (num_synapses > in.remaining() / bytes) in.truncated();
            in.skip(num_synapses * bytes);
        }
    }
}

template <bool Apply>
void read_events(FileReader& in, const LayerView& view) {
    if constexpr (Apply) {
        for (PartitionLayer* layer : view.parts) {
            if (layer == nullptr) continue;
            layer->delivery_buffer.clear();
            layer->pending_neurons.clear();
        }
    }
    const std::uint64_t num_events = in.count(kEventBytes);
    std::uint64_t previous_offset = 0;
    std::uint64_t previous_post = 0;
    for (std::uint64_t j = 0; j < num_events; ++j) {
        const std::uint64_t tagged_offset = in.varint();
        const std::uint64_t offset = tagged_offset / 2;
        const bool timing = (tagged_offset & 1) != 0;
        if (offset != previous_offset) previous_post = 0;
        const std::uint64_t post = previous_post + in.varint();
        const std::uint64_t ordinal = in.varint();
        const std::uint64_t k = in.varint();
        const float psp = in.f32();
        previous_offset = offset;
        previous_post = post;
        const SynapseLocation at = expect_synapse(in, view, ordinal, k, post, "an event in flight");
        if (at.layer == nullptr) continue;  // its process checks and applies it
        if (offset >= at.layer->delivery_buffer.num_slots()) {
            in.damaged("an event in flight falls due beyond its synapse's delay");
        }
        if constexpr (Apply) {
            at.layer->delivery_buffer.schedule(
                static_cast<std::size_t>(offset),
                SynapticEvent{static_cast<std::uint32_t>(post - at.layer->first_nid), at.index, psp,
                              SynapticEvent::make_tag(at.group, timing)});
            if (timing) at.layer->timing_plasticity_scheduled = true;
        }
    }
}

template <bool Apply>
void read_layer(FileReader& in, const LayerView& view, std::uint64_t t) {
    read_neurons<Apply>(in, view, t);
    read_modulation<Apply>(in, view);
    read_groups<Apply>(in, view);
    read_events<Apply>(in, view);
}

void read_summary(FileReader& in,
                  const std::vector<std::pair<std::uint64_t, std::uint64_t>>& sizes) {
    if (in.count(kLayerSummaryBytes) != sizes.size()) {
        in.damaged("the number of layers differs from the network's");
    }
    for (const auto& [neurons, synapses] : sizes) {
        if (in.u64() != neurons || in.u64() != synapses) {
            in.damaged("a layer's size differs from the network's");
        }
    }
}

template <bool Apply>
void read_partition_state(FileReader& in, const std::vector<Partition*>& partitions,
                          std::uint64_t t) {
    const std::size_t num_layers = partitions.front()->layers.size();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> sizes;
    for (std::size_t l = 0; l < num_layers; ++l) {
        sizes.emplace_back(count_neurons(partitions, l), count_synapses(partitions, l));
    }
    read_summary(in, sizes);
    // One layer's view at a time.
    for (std::size_t l = 0; l < num_layers; ++l) read_layer<Apply>(in, LayerView(partitions, l), t);
}

template <bool Apply>
void read_partition_state(FileReader& in, const std::vector<LayerView>& views, std::uint64_t t) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> sizes;
    for (const LayerView& view : views) sizes.emplace_back(view.num_neurons, view.num_synapses);
    read_summary(in, sizes);
    for (const LayerView& view : views) read_layer<Apply>(in, view, t);
}

}  // namespace

void check_partition_state(FileReader& in, const std::vector<Partition*>& partitions,
                           std::uint64_t t) {
    read_partition_state<false>(in, partitions, t);
}

void apply_partition_state(FileReader& in, const std::vector<Partition*>& partitions,
                           std::uint64_t t) {
    read_partition_state<true>(in, partitions, t);
}

void check_partition_state(FileReader& in, const std::vector<LayerView>& views, std::uint64_t t) {
    read_partition_state<false>(in, views, t);
}

void apply_partition_state(FileReader& in, const std::vector<LayerView>& views, std::uint64_t t) {
    read_partition_state<true>(in, views, t);
}

}  // namespace synaptor
