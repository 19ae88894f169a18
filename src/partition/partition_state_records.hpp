// The records of a layer's state as the writer gathers them before encoding:
// eligibility traces and events in flight named canonically, and the encoders
// that put them in a state file. Shared by the writer of one process and the
// merge of the pieces of several (partition_state_writer.cpp,
// partition_state_pieces.cpp). Used by the thread of a save.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "partition/layer_view.hpp"
#include "util/byte_writer.hpp"
#include "util/panic.hpp"

namespace synaptor::state_format {

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

/// The traces of the parts held here, in canonical order.
std::vector<TraceRecord> held_traces(const LayerView& view);

/// Puts the canonical order on traces of several parts, each part's traces
/// already in its order.
void sort_traces(std::vector<TraceRecord>& traces);

/// The count and the traces, in order.
void encode_traces(ByteWriter& out, const std::vector<TraceRecord>& traces);

/// Calls `batch(records)` for the events of each part held here and each
/// tick offset, in canonical order: by the tick they fall due, then by
/// target neuron, a neuron's events in their order, which its arithmetic
/// depends on. Parts hold ascending runs of neurons, so sorting each part's
/// batch of one tick in turn orders them all, one batch in memory at a time.
template <class Batch>
void for_each_event_batch(const LayerView& view, Batch&& batch) {
    std::size_t num_slots = 0;
    for (const PartitionLayer* layer : view.parts) {
        if (layer != nullptr) num_slots = std::max(num_slots, layer->delivery_buffer.num_slots());
    }
    std::vector<EventRecord> records;
    for (std::size_t offset = 0; offset < num_slots; ++offset) {
        for (const auto& [layer, p] : view.nonempty) {
            if (layer == nullptr || offset >= layer->delivery_buffer.num_slots()) continue;
            records.clear();
            for (const SynapticEvent& event : layer->delivery_buffer.batch_at(offset)) {
                const std::uint32_t g = event.group_index();
                if (g >= layer->pre_syn_groups.size()) panic("an event in flight names no group");
                records.push_back(EventRecord{offset, layer->first_nid + event.post_index,
                                              view.ordinal_of(p, g),
                                              view.canonical_index(p, g, event.synapse_index),
                                              event.psp, event.has_timing_plasticity()});
            }
            std::stable_sort(
                records.begin(), records.end(),
                [](const EventRecord& x, const EventRecord& y) { return x.post < y.post; });
            batch(records);
        }
    }
}

/// The events held here in flight.
std::uint64_t count_held_events(const LayerView& view);

/// Encodes events one by one in canonical order: the target's nid is a step
/// from the previous event's of the same tick.
class EventEncoder {
public:
    explicit EventEncoder(ByteWriter& out) : out_(out) {}
    void put(const EventRecord& event) {
        if (event.offset != offset_) previous_post_ = 0;
        out_.varint(event.offset * 2 + (event.timing ? 1 : 0));
        out_.varint(event.post - previous_post_);
        out_.varint(event.ordinal);
        out_.varint(event.k);
        out_.f32(event.psp);
        offset_ = event.offset;
        previous_post_ = event.post;
    }

private:
    ByteWriter& out_;
    std::uint64_t offset_ = 0;
    std::uint64_t previous_post_ = 0;
};

/// The layer's dopamine bookkeeping, the same in every part: the flag and,
/// when modulated, the conflation and flush state and the samples.
void write_modulation_head(ByteWriter& out, const PartitionLayer& layer);

/// The records of the neurons held here, in nid order, without their count.
void write_held_neurons(ByteWriter& out, const LayerView& view, std::uint64_t t);

/// The groups held here, in canonical order, each with the synapses held
/// here; returns how many groups were written.
std::uint64_t write_held_groups(ByteWriter& out, const LayerView& view);

}  // namespace synaptor::state_format
