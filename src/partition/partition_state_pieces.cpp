// A state file of a network spread over processes: each process writes the
// piece of every layer it holds, and one process merges the pieces into the
// sections one process would write. See partition_state_codec.hpp.
//
// A piece of a layer, in this process's byte order (it never leaves the run):
//   u64 b, then b bytes: the neuron records held here, in nid order
//   u64 n, then n traces: u64 tick, ordinal, post nid, canonical index; f32
//     value (only for a modulated layer), in canonical order
//   u64 g, u64 b, then b bytes: the g group records held here, as in the
//     file but with only the synapses held here and their own encoding
//   u64 n, then n events: u64 offset, post nid, ordinal, canonical index;
//     f32 psp; u8 timing, in canonical order
#include <algorithm>
#include <bit>
#include <cstring>

#include "partition/partition_state_codec.hpp"
#include "partition/partition_state_records.hpp"
#include "util/panic.hpp"

namespace synaptor {

namespace {

using namespace state_format;

/// Reads a piece this run wrote; running past its end is a fault of the
/// writer, never of a file.
class PieceReader {
public:
    explicit PieceReader(std::span<const unsigned char> piece)
        : at_(piece.data()), end_(piece.data() + piece.size()) {}

    const unsigned char* take(std::uint64_t n) {
        if (n > static_cast<std::uint64_t>(end_ - at_)) panic("a state piece ends early");
        const unsigned char* p = at_;
        at_ += n;
        return p;
    }
    std::uint64_t u64() { return get_le(take(8), 8); }
    std::uint8_t u8() { return *take(1); }
    float f32() { return std::bit_cast<float>(static_cast<std::uint32_t>(get_le(take(4), 4))); }
    bool done() const { return at_ == end_; }

private:
    const unsigned char* at_;
    const unsigned char* end_;
};

/// One group record of a piece.
struct PieceGroup {
    const unsigned char* head = nullptr;  ///< pre nid to the synapse count
    std::uint64_t pre = 0;
    std::uint64_t num_synapses = 0;
    bool full = false;
    const unsigned char* synapses = nullptr;
};

constexpr std::uint64_t kGroupHeadBytes = 8 + 9 + 9 + 1 + 8 + 4;

PieceGroup read_group(PieceReader& in) {
    PieceGroup group;
    group.head = in.take(kGroupHeadBytes);
    group.pre = get_le(group.head, 8);
    group.num_synapses = in.u64();
    group.full = in.u8() == static_cast<std::uint8_t>(SynapseEncoding::Full);
    group.synapses =
        in.take(group.num_synapses * (group.full ? kFullSynapseBytes : kWeightOnlySynapseBytes));
    return group;
}

}  // namespace

void write_layer_piece(ByteWriter& out, const LayerView& view, std::uint64_t t) {
    std::size_t length_at = out.size();
    out.u64(0);
    write_held_neurons(out, view, t);
    out.patch_u64(length_at, out.size() - length_at - 8);

    if (view.held_part().plasticity_modulator) {
        const std::vector<TraceRecord> traces = held_traces(view);
        out.u64(traces.size());
        for (const TraceRecord& trace : traces) {
            out.u64(trace.t);
            out.u64(trace.ordinal);
            out.u64(trace.post);
            out.u64(trace.k);
            out.f32(trace.value);
        }
    }

    const std::size_t count_at = out.size();
    out.u64(0);
    length_at = out.size();
    out.u64(0);
    const std::uint64_t groups = write_held_groups(out, view);
    out.patch_u64(count_at, groups);
    out.patch_u64(length_at, out.size() - length_at - 8);

    out.u64(count_held_events(view));
    for_each_event_batch(view, [&](const std::vector<EventRecord>& batch) {
        for (const EventRecord& event : batch) {
            out.u64(event.offset);
            out.u64(event.post);
            out.u64(event.ordinal);
            out.u64(event.k);
            out.f32(event.psp);
            out.flag(event.timing);
        }
    });
}

void merge_layer_pieces(ByteWriter& out, const LayerView& view,
                        const std::vector<std::span<const unsigned char>>& pieces) {
    std::vector<PieceReader> in;
    for (std::span<const unsigned char> piece : pieces) in.emplace_back(piece);
    for (std::size_t i = 1; i < view.nonempty.size(); ++i) {
        if (view.nonempty[i].second < view.nonempty[i - 1].second) {
            panic("the processes' runs of neurons do not ascend with their rank");
        }
    }

    // Neurons: the processes hold ascending runs in rank order.
    out.u64(view.num_neurons);
    for (PieceReader& piece : in) {
        const std::uint64_t bytes = piece.u64();
        out.bytes(piece.take(bytes), bytes);
    }

    const PartitionLayer& layer = view.held_part();
    write_modulation_head(out, layer);
    if (layer.plasticity_modulator) {
        std::vector<TraceRecord> traces;
        for (PieceReader& piece : in) {
            for (std::uint64_t n = piece.u64(); n > 0; --n) {
                TraceRecord& trace = traces.emplace_back();
                trace.t = piece.u64();
                trace.ordinal = piece.u64();
                trace.post = piece.u64();
                trace.k = piece.u64();
                trace.value = piece.f32();
            }
        }
        sort_traces(traces);
        encode_traces(out, traces);
    }

    // Groups: a group's synapses follow each other in rank order, written
    // in full when any process has short-term state for them.
    std::vector<std::uint64_t> groups_left;
    for (PieceReader& piece : in) {
        groups_left.push_back(piece.u64());
        piece.u64();  // their bytes
    }
    std::vector<PieceGroup> next(in.size());
    for (std::size_t r = 0; r < in.size(); ++r) {
        if (groups_left[r] > 0) next[r] = read_group(in[r]);
    }
    out.u64(view.num_groups);
    for (std::uint64_t o = 0; o < view.num_groups; ++o) {
        const std::uint64_t pre = view.keys[o];
        const PieceGroup* first = nullptr;
        std::uint64_t num_synapses = 0;
        bool full = false;
        for (std::size_t r = 0; r < in.size(); ++r) {
            if (groups_left[r] == 0 || next[r].pre != pre) continue;
            if (first == nullptr) first = &next[r];
            num_synapses += next[r].num_synapses;
            full = full || next[r].full;
        }
        if (first == nullptr) panic("a group of the network is in no state piece");
        out.bytes(first->head, kGroupHeadBytes);
        out.u64(num_synapses);
        out.u8(
            static_cast<std::uint8_t>(full ? SynapseEncoding::Full : SynapseEncoding::WeightOnly));
        for (std::size_t r = 0; r < in.size(); ++r) {
            if (groups_left[r] == 0 || next[r].pre != pre) continue;
            const PieceGroup& group = next[r];
            if (group.full || !full) {
                out.bytes(group.synapses,
                          group.num_synapses *
                              (group.full ? kFullSynapseBytes : kWeightOnlySynapseBytes));
            } else {
                // No short-term state here: its weight and zeros.
                for (std::uint64_t k = 0; k < group.num_synapses; ++k) {
                    unsigned char* b = out.room(kFullSynapseBytes);
                    std::memcpy(b, group.synapses + k * kWeightOnlySynapseBytes, 4);
                    std::memset(b + 4, 0, kFullSynapseBytes - 4);
                }
            }
            if (--groups_left[r] > 0) next[r] = read_group(in[r]);
        }
    }
    for (std::uint64_t left : groups_left) {
        if (left != 0) panic("a state piece holds a group the network does not have");
    }

    // Events: by offset, and within one offset in rank order.
    std::vector<EventRecord> events;
    for (PieceReader& piece : in) {
        for (std::uint64_t n = piece.u64(); n > 0; --n) {
            EventRecord& event = events.emplace_back();
            event.offset = piece.u64();
            event.post = piece.u64();
            event.ordinal = piece.u64();
            event.k = piece.u64();
            event.psp = piece.f32();
            event.timing = piece.u8() != 0;
        }
        if (!piece.done()) panic("a state piece holds more than a layer");
    }
    std::stable_sort(events.begin(), events.end(), [](const EventRecord& a, const EventRecord& b) {
        return a.offset < b.offset;
    });
    out.u64(events.size());
    EventEncoder encoder(out);
    for (const EventRecord& event : events) encoder.put(event);
}

}  // namespace synaptor
