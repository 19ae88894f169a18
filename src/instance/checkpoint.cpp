#include "instance/checkpoint.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "instance/instance.hpp"
#include "partition/neuron_dynamics.hpp"
#include "partition/partition.hpp"
#include "partition/stp_state.hpp"
#include "util/panic.hpp"

namespace synaptor {

namespace {

// ---------------------------------------------------------------------------
// Little-endian encoding

inline void put_le(unsigned char* p, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline std::uint64_t get_le(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= std::uint64_t{p[i]} << (8 * i);
    return v;
}

/// Bytes collected in memory (the fingerprint's input).
struct ByteSink {
    std::vector<unsigned char> bytes;
    void u8(std::uint8_t v) { bytes.push_back(v); }
    void u64(std::uint64_t v) {
        unsigned char b[8];
        put_le(b, v, 8);
        bytes.insert(bytes.end(), b, b + 8);
    }
    void f32(float v) { u64(std::bit_cast<std::uint32_t>(v)); }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
    void flag(bool v) { u8(v ? 1 : 0); }
};

void put_stdp(ByteSink& sink, const StdpParams& p) {
    sink.f32(p.factor_pre_before_post);
    sink.f32(p.tau_pre_before_post);
    sink.f32(p.factor_pre_after_post);
    sink.f32(p.tau_pre_after_post);
}

// ---------------------------------------------------------------------------
// Failures

[[noreturn]] void io_failure(const std::string& what, const std::string& path) {
    const int error_number = errno;
    throw StateFileError(StateFileError::Kind::Io,
                         what + " '" + path + "': " + std::strerror(error_number), error_number);
}

[[noreturn]] void bad_content(const std::string& text) {
    throw StateFileError(StateFileError::Kind::Content, text);
}

[[noreturn]] void damaged(const std::string& detail) {
    bad_content("state file is damaged: " + detail);
}

[[noreturn]] void truncated() { bad_content("state file is truncated"); }

struct HashState {
    HashState() : state(XXH3_createState()) {
        if (state == nullptr) throw std::bad_alloc();
        XXH3_64bits_reset(state);
    }
    ~HashState() { XXH3_freeState(state); }
    HashState(const HashState&) = delete;
    HashState& operator=(const HashState&) = delete;
    void update(const void* data, std::size_t size) { XXH3_64bits_update(state, data, size); }
    std::uint64_t digest() const { return XXH3_64bits_digest(state); }
    XXH3_state_t* state;
};

/// Bytes 0-31 of the header: the checksum covers them and the content.
constexpr std::size_t kCheckedHeaderBytes = 32;
constexpr std::size_t kBufferSize = std::size_t{4} << 20;

// ---------------------------------------------------------------------------
// Buffered file access

class FileWriter {
public:
    FileWriter(int fd, const std::string& path) : fd_(fd), path_(path), buffer_(kBufferSize) {}

    unsigned char* room(std::size_t n) {
        if (used_ + n > buffer_.size()) flush();
        unsigned char* p = buffer_.data() + used_;
        used_ += n;
        return p;
    }
    void u8(std::uint8_t v) { *room(1) = v; }
    void u32(std::uint32_t v) { put_le(room(4), v, 4); }
    void u64(std::uint64_t v) { put_le(room(8), v, 8); }
    void f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
    void optional_u64(const std::optional<std::uint64_t>& v) {
        u8(v ? 1 : 0);
        u64(v.value_or(0));
    }
    /// Seven bits a byte, low first; the top bit marks a byte that follows.
    void varint(std::uint64_t v) {
        unsigned char* b = room(10);
        std::size_t n = 0;
        while (v >= 0x80) {
            b[n++] = static_cast<unsigned char>(v | 0x80);
            v >>= 7;
        }
        b[n++] = static_cast<unsigned char>(v);
        used_ -= 10 - n;
    }

    void flush() {
        hash_.update(buffer_.data(), used_);
        write_all(buffer_.data(), used_);
        length_ += used_;
        used_ = 0;
    }
    void write_all(const unsigned char* data, std::size_t n) {
        while (n > 0) {
            const ssize_t written = ::write(fd_, data, n);
            if (written < 0) {
                if (errno == EINTR) continue;
                io_failure("cannot write state file", path_);
            }
            data += written;
            n -= static_cast<std::size_t>(written);
        }
    }
    std::uint64_t length() const { return length_; }
    HashState& hash() { return hash_; }

private:
    int fd_;
    const std::string& path_;
    std::vector<unsigned char> buffer_;
    std::size_t used_ = 0;
    std::uint64_t length_ = 0;
    HashState hash_;
};

/// Reads `n` bytes at `offset`; false when the file ends first.
bool read_at(int fd, const std::string& path, std::uint64_t offset, unsigned char* data,
             std::size_t n) {
    while (n > 0) {
        const ssize_t got = ::pread(fd, data, n, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            io_failure("cannot read state file", path);
        }
        if (got == 0) return false;
        data += got;
        n -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

/// Reads the content from the file, front to back, with every length checked
/// against what is left: a damaged count never makes it allocate or read
/// beyond the file.
class FileReader {
public:
    FileReader(int fd, const std::string& path, std::uint64_t length)
        : fd_(fd), path_(path), buffer_(kBufferSize), remaining_(length) {}

    const unsigned char* take(std::size_t n) {
        if (n > remaining_) truncated();
        if (end_ - pos_ < n) refill(n);
        const unsigned char* p = buffer_.data() + pos_;
        pos_ += n;
        remaining_ -= n;
        return p;
    }
    std::uint8_t u8() { return *take(1); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(get_le(take(4), 4)); }
    std::uint64_t u64() { return get_le(take(8), 8); }
    float f32() { return std::bit_cast<float>(u32()); }
    double f64() { return std::bit_cast<double>(u64()); }
    bool flag() {
        const std::uint8_t v = u8();
        if (v > 1) damaged("a flag is neither 0 nor 1");
        return v == 1;
    }
    std::optional<std::uint64_t> optional_u64() {
        const bool present = flag();
        const std::uint64_t v = u64();
        if (!present) {
            if (v != 0) damaged("an absent tick is not 0");
            return std::nullopt;
        }
        return v;
    }
    std::uint64_t varint() {
        std::uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const std::uint8_t b = u8();
            // The tenth byte holds the top bit alone.
            if (shift == 63 && b > 1) damaged("a number exceeds 64 bits");
            v |= std::uint64_t{b & 0x7Fu} << shift;
            if ((b & 0x80) == 0) return v;
        }
        damaged("a number exceeds 64 bits");
    }
    /// A varint count of records of at least `record_size` bytes each.
    std::uint64_t varint_count(std::uint64_t record_size) {
        const std::uint64_t n = varint();
        if (n > remaining_ / record_size) damaged("a count exceeds the content");
        return n;
    }
    /// A count of records of at least `record_size` bytes each.
    std::uint64_t count(std::uint64_t record_size) {
        const std::uint64_t n = u64();
        if (record_size != 0 && n > remaining_ / record_size) {
            damaged("a count exceeds the content");
        }
        return n;
    }
    void skip(std::uint64_t n) {
        while (n > 0) {
            const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(n, 1 << 16));
            take(step);
            n -= step;
        }
    }
    std::uint64_t remaining() const { return remaining_; }

private:
    void refill(std::size_t n) {
        const std::size_t left = end_ - pos_;
        std::memmove(buffer_.data(), buffer_.data() + pos_, left);
        pos_ = 0;
        end_ = left;
        // What the file still holds beyond the buffer.
        const std::uint64_t unread = remaining_ - left;
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - left, unread));
        if (!read_at(fd_, path_, file_offset_, buffer_.data() + end_, want)) truncated();
        file_offset_ += want;
        end_ += want;
        if (end_ < n) truncated();
    }

    int fd_;
    const std::string& path_;
    std::vector<unsigned char> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    std::uint64_t remaining_;
    std::uint64_t file_offset_ = kStateFileHeaderSize;
};

// ---------------------------------------------------------------------------
// One layer across all partitions

/// Where a part holds its share of one pre-synaptic neuron's synapses: the
/// group's position in the part and the canonical index of its first synapse.
struct GroupSlot {
    std::uint32_t position = PreSynGroupMap::kNoIndex;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

/// The parts of one layer (one per partition) with their groups numbered in
/// canonical order: ordinal o is the o-th pre-synaptic neuron, ascending, with
/// a synapse onto the layer. A synapse is named in the file by its group's
/// ordinal and its canonical index: its position among all synapses from that
/// neuron onto the layer, in ascending post-synaptic nid (its index in a
/// single partition's group). The tables are dense, so that naming and
/// finding a synapse costs no hashing and no visit to the synapse itself.
struct LayerView {
    std::vector<PartitionLayer*> parts;  ///< in partition order
    /// Parts with neurons, ascending first_nid, with their part index.
    std::vector<std::pair<PartitionLayer*, std::size_t>> nonempty;
    std::vector<std::vector<GroupSlot>> slots;         ///< [part][ordinal]
    std::vector<std::vector<std::uint32_t>> ordinals;  ///< [part][group position]
    std::uint64_t num_groups = 0;
    std::uint64_t num_neurons = 0;

    LayerView(const std::vector<Partition*>& partitions, std::size_t l);

    /// The part that holds neuron `nid` and its index, or a null part.
    std::pair<PartitionLayer*, std::size_t> owner(std::uint64_t nid) const {
        auto it = std::upper_bound(
            nonempty.begin(), nonempty.end(), nid,
            [](std::uint64_t n, const auto& part) { return n < part.first->first_nid; });
        if (it == nonempty.begin()) return {nullptr, 0};
        --it;
        return it->first->contains(nid) ? *it : std::pair<PartitionLayer*, std::size_t>{nullptr, 0};
    }
};

/// Walks the groups of all parts of a layer in ascending pre-synaptic nid:
/// each step yields a nid and, per part, the group's position or kNoIndex.
class GroupMerge {
public:
    explicit GroupMerge(const std::vector<PartitionLayer*>& parts)
        : parts_(parts), next_(parts.size(), 0) {}

    /// The next nid, or nothing once every part is done.
    std::optional<std::uint64_t> next(std::vector<std::uint32_t>& positions) {
        std::optional<std::uint64_t> key;
        for (std::size_t p = 0; p < next_.size(); ++p) {
            const PreSynGroupMap& groups = parts_[p]->pre_syn_groups;
            if (next_[p] < groups.size() && (!key || groups.key_at(next_[p]) < *key)) {
                key = groups.key_at(next_[p]);
            }
        }
        positions.assign(next_.size(), PreSynGroupMap::kNoIndex);
        if (!key) return std::nullopt;
        for (std::size_t p = 0; p < next_.size(); ++p) {
            const PreSynGroupMap& groups = parts_[p]->pre_syn_groups;
            if (next_[p] < groups.size() && groups.key_at(next_[p]) == *key) {
                positions[p] = static_cast<std::uint32_t>(next_[p]++);
            }
        }
        return key;
    }

private:
    const std::vector<PartitionLayer*>& parts_;
    std::vector<std::size_t> next_;
};

LayerView::LayerView(const std::vector<Partition*>& partitions, std::size_t l) {
    for (std::size_t p = 0; p < partitions.size(); ++p) {
        PartitionLayer& layer = partitions[p]->layers.at(l);
        parts.push_back(&layer);
        if (!layer.neurons.empty()) nonempty.emplace_back(&layer, p);
        num_neurons += layer.neurons.size();
        ordinals.emplace_back(layer.pre_syn_groups.size(), 0);
    }
    std::sort(nonempty.begin(), nonempty.end(),
              [](const auto& a, const auto& b) { return a.first->first_nid < b.first->first_nid; });
    std::vector<std::uint32_t> positions;
    {
        GroupMerge merge(parts);
        while (merge.next(positions)) ++num_groups;
    }
    slots.assign(parts.size(), std::vector<GroupSlot>(num_groups));
    GroupMerge merge(parts);
    for (std::uint64_t o = 0; merge.next(positions); ++o) {
        std::uint64_t offset = 0;
        for (std::size_t p = 0; p < positions.size(); ++p) {
            if (positions[p] == PreSynGroupMap::kNoIndex) continue;
            const std::uint64_t size =
                parts[p]->pre_syn_groups.group_at(positions[p]).synapses.size();
            slots[p][o] = GroupSlot{positions[p], offset, size};
            ordinals[p][positions[p]] = static_cast<std::uint32_t>(o);
            offset += size;
        }
    }
}

struct SynapseLocation {
    PartitionLayer* layer = nullptr;
    std::uint32_t group = 0;
    std::uint32_t index = 0;
};

/// The synapse of the group with ordinal `o` and canonical index `k`, when
/// part `p` holds it. (Whether it ends at the neuron that names it is not
/// checked: the checksum guards against damage, and a crafted file can at
/// worst name a wrong synapse of the part, never one outside it.)
std::optional<SynapseLocation> find_in_part(const LayerView& view, std::size_t p, std::uint64_t o,
                                            std::uint64_t k) {
    if (o >= view.num_groups) return std::nullopt;
    const GroupSlot& slot = view.slots[p][o];
    if (slot.position == PreSynGroupMap::kNoIndex || k < slot.offset ||
        k - slot.offset >= slot.size) {
        return std::nullopt;
    }
    return SynapseLocation{view.parts[p], slot.position,
                           static_cast<std::uint32_t>(k - slot.offset)};
}

SynapseLocation expect_synapse(const LayerView& view, std::uint64_t o, std::uint64_t k,
                               std::uint64_t post, const char* what) {
    const auto [layer, p] = view.owner(post);
    std::optional<SynapseLocation> found;
    if (layer != nullptr) found = find_in_part(view, p, o, k);
    if (!found) damaged(std::string(what) + " names a synapse the network does not have");
    return *found;
}

enum class StpKind : std::uint8_t { None = 0, Depression = 1, Facilitation = 2 };

StpKind stp_kind(const StpState* state, StpDynamics** dynamics) {
    if (auto* d = dynamic_cast<DepressionState*>(const_cast<StpState*>(state))) {
        *dynamics = &d->state;
        return StpKind::Depression;
    }
    if (auto* f = dynamic_cast<FacilitationState*>(const_cast<StpState*>(state))) {
        *dynamics = &f->state;
        return StpKind::Facilitation;
    }
    *dynamics = nullptr;
    return StpKind::None;
}

/// Synapse encodings of a group: the weight alone while no synapse of the
/// group has short-term STDP state, else every field.
enum class SynapseEncoding : std::uint8_t { WeightOnly = 0, Full = 1 };

// ---------------------------------------------------------------------------
// Writing a layer

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

/// The ordinal of the group at `position` of part p.
std::uint64_t ordinal_of(const LayerView& view, std::size_t p, std::uint32_t position) {
    if (position >= view.ordinals[p].size()) {
        panic("a saved position names no pre-synaptic group");
    }
    return view.ordinals[p][position];
}

/// The canonical index of synapse k of the group at `position` of part p.
std::uint64_t canonical_index(const LayerView& view, std::size_t p, std::uint32_t position,
                              std::uint64_t k) {
    return view.slots[p][ordinal_of(view, p, position)].offset + k;
}

void write_layer(FileWriter& out, const LayerView& view, std::uint64_t t) {
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
            for (std::size_t j = 0; j < inputs.size(); ++j) {
                const RecentInput& input = inputs[j];
                out.varint(t - input.arrival_t);
                out.varint(ordinal_of(view, p, input.group_index));
                out.varint(canonical_index(view, p, input.group_index, input.synapse_index));
            }
        }
    }

    // Modulation: every part holds the same samples and bookkeeping, since
    // every part sees every reward; the traces are spread by synapse.
    const PartitionLayer& first = *view.parts.front();
    out.u8(first.plasticity_modulator ? 1 : 0);
    if (first.plasticity_modulator) {
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
                        const std::uint64_t ordinal = ordinal_of(view, p, g);
                        const PreSynapticGroup& group = layer->pre_syn_groups.group_at(g);
                        const std::uint32_t k = span.synapse_indices[i];
                        if (k >= group.synapses.size())
                            panic("an eligibility trace names no synapse");
                        traces.push_back(TraceRecord{
                            span.t, ordinal, layer->first_nid + group.synapses[k].post_index,
                            canonical_index(view, p, g, k), span.values[i]});
                    }
                });
        }
        // Each synapse keeps the order of its own traces; the order between
        // synapses does not matter to a flush, so it is made canonical.
        std::stable_sort(traces.begin(), traces.end(),
                         [](const TraceRecord& a, const TraceRecord& b) {
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

    // Groups in ascending pre-synaptic nid, each with its synapses onto the
    // whole layer in ascending post-synaptic nid.
    std::vector<std::uint32_t> positions;
    std::uint64_t num_groups = 0;
    {
        GroupMerge merge(view.parts);
        while (merge.next(positions)) ++num_groups;
    }
    out.u64(num_groups);
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
            for (const Synapse& synapse : group.synapses) {
                if (synapse.short_term_update_t != 0 ||
                    std::bit_cast<std::uint32_t>(synapse.short_term_weight) != 0) {
                    short_term = true;
                    break;
                }
            }
        }
        // The spike ticks and short-term plasticity follow the pre-synaptic
        // neuron's spikes alone, so every part holds the same.
        out.u64(*pre);
        out.optional_u64(shared->previous_spike_t);
        out.optional_u64(shared->last_spike_t);
        StpDynamics* dynamics = nullptr;
        out.u8(static_cast<std::uint8_t>(stp_kind(shared->stp_state.get(), &dynamics)));
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
                    put_le(out.room(4), std::bit_cast<std::uint32_t>(synapse.weight), 4);
                    continue;
                }
                unsigned char* b = out.room(16);
                put_le(b, std::bit_cast<std::uint32_t>(synapse.weight), 4);
                put_le(b + 4, std::bit_cast<std::uint32_t>(synapse.short_term_weight), 4);
                put_le(b + 8, synapse.short_term_update_t, 8);
            }
        }
    }

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
                                            ordinal_of(view, p, g),
                                            canonical_index(view, p, g, event.synapse_index),
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

// ---------------------------------------------------------------------------
// Reading a layer: once to check everything, once to apply (Apply).

constexpr std::uint64_t kNeuronBytes = 8 + 9 + 4 + 4 + 1;
constexpr std::uint64_t kRecentInputBytes = 3;
constexpr std::uint64_t kSampleBytes = 12;
constexpr std::uint64_t kTraceBytes = 4 + 4;
constexpr std::uint64_t kGroupBytes = 8 + 9 + 9 + 1 + 8 + 4 + 8 + 1;
constexpr std::uint64_t kEventBytes = 4 + 4;

template <bool Apply>
void read_layer(FileReader& in, const LayerView& view, std::uint64_t t) {
    if (in.count(kNeuronBytes) != view.num_neurons) {
        damaged("a layer's number of neurons differs from the network's");
    }
    std::vector<std::uint32_t> window_posts;
    std::vector<RecentInput> window_inputs;
    for (const auto& [layer, p] : view.nonempty) {
        window_posts.clear();
        window_inputs.clear();
        for (std::size_t i = 0; i < layer->neurons.size(); ++i) {
            Neuron& neuron = layer->neurons[i];
            const std::uint64_t last_update_t = in.u64();
            const std::optional<std::uint64_t> last_spike_t = in.optional_u64();
            const float voltage = in.f32();
            const float threshold = in.f32();
            const std::uint64_t num_inputs = in.varint_count(kRecentInputBytes);
            if constexpr (Apply) {
                neuron.last_update_t = last_update_t;
                neuron.last_spike_t = last_spike_t;
                neuron.voltage = voltage;
                neuron.threshold = threshold;
            }
            for (std::uint64_t j = 0; j < num_inputs; ++j) {
                const std::uint64_t age = in.varint();
                if (age > t) damaged("a recent input arrives after the saved tick");
                const std::uint64_t arrival_t = t - age;
                const std::uint64_t ordinal = in.varint();
                const std::uint64_t k = in.varint();
                const std::optional<SynapseLocation> at = find_in_part(view, p, ordinal, k);
                if (!at) damaged("a recent input names a synapse the network does not have");
                if constexpr (Apply) {
                    window_posts.push_back(static_cast<std::uint32_t>(i));
                    window_inputs.push_back(RecentInput{arrival_t, at->group, at->index});
                }
            }
        }
        if constexpr (Apply) {
            layer->coincidence_windows.assign(window_posts, window_inputs, layer->neurons.size());
        }
    }

    const bool modulated = in.flag();
    if (modulated != view.parts.front()->plasticity_modulator.has_value()) {
        damaged("dopamine modulation of a layer differs from the network's");
    }
    if (modulated) {
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
            // Stale traces are dropped from the front, so ticks must not
            // fall: each is a step forward from the one before.
            const std::uint64_t step = in.varint();
            if (step > ~trace_t) damaged("eligibility trace ticks beyond the end of time");
            trace_t += step;
            const std::uint64_t post = in.varint();
            const std::uint64_t ordinal = in.varint();
            const std::uint64_t k = in.varint();
            const float value = in.f32();
            const SynapseLocation at =
                expect_synapse(view, ordinal, k, post, "an eligibility trace");
            if constexpr (Apply) {
                at.layer->plasticity_modulator->eligibility_traces.push_back(
                    EligibilityTrace{trace_t, at.group, at.index, value});
            }
        }
    }

    const std::uint64_t num_groups = in.count(kGroupBytes);
    std::vector<std::uint32_t> positions;
    GroupMerge merge(view.parts);
    for (std::uint64_t j = 0; j < num_groups; ++j) {
        const std::uint64_t pre = in.u64();
        const std::optional<std::uint64_t> expected = merge.next(positions);
        if (!expected || *expected != pre) {
            damaged("the pre-synaptic groups differ from the network's");
        }
        const std::optional<std::uint64_t> previous_spike_t = in.optional_u64();
        const std::optional<std::uint64_t> last_spike_t = in.optional_u64();
        const std::uint8_t kind = in.u8();
        const std::uint64_t stp_update_t = in.u64();
        const float efficacy = in.f32();
        const std::uint64_t num_synapses = in.count(4);
        const std::uint8_t encoding = in.u8();
        if (encoding > static_cast<std::uint8_t>(SynapseEncoding::Full)) {
            damaged("a group's synapse encoding is unknown");
        }
        const bool full = encoding == static_cast<std::uint8_t>(SynapseEncoding::Full);
        std::uint64_t held = 0;
        for (std::size_t p = 0; p < positions.size(); ++p) {
            if (positions[p] == PreSynGroupMap::kNoIndex) continue;
            PreSynapticGroup& group = view.parts[p]->pre_syn_groups.group_at(positions[p]);
            StpDynamics* dynamics = nullptr;
            if (static_cast<std::uint8_t>(stp_kind(group.stp_state.get(), &dynamics)) != kind) {
                damaged("short-term plasticity of a group differs from the network's");
            }
            held += group.synapses.size();
            if constexpr (Apply) {
                group.previous_spike_t = previous_spike_t;
                group.last_spike_t = last_spike_t;
                if (dynamics != nullptr) {
                    dynamics->last_update_t = stp_update_t;
                    dynamics->efficacy = efficacy;
                }
            }
        }
        if (held != num_synapses) {
            damaged("a group's number of synapses differs from the network's");
        }
        const std::uint64_t bytes = full ? 16 : 4;
        if constexpr (Apply) {
            for (std::size_t p = 0; p < positions.size(); ++p) {
                if (positions[p] == PreSynGroupMap::kNoIndex) continue;
                PreSynapticGroup& group = view.parts[p]->pre_syn_groups.group_at(positions[p]);
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
        } else {
            if (num_synapses > in.remaining() / bytes) truncated();
            in.skip(num_synapses * bytes);
        }
    }
    if (merge.next(positions)) damaged("the pre-synaptic groups differ from the network's");

    if constexpr (Apply) {
        for (PartitionLayer* layer : view.parts) {
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
        const SynapseLocation at = expect_synapse(view, ordinal, k, post, "an event in flight");
        if (offset >= at.layer->delivery_buffer.num_slots()) {
            damaged("an event in flight falls due beyond its synapse's delay");
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
// ---------------------------------------------------------------------------
// Files

/// Closes a descriptor on every way out; a temporary file is removed unless kept.
struct FileGuard {
    int fd = -1;
    std::string remove_path;
    ~FileGuard() {
        if (fd >= 0) ::close(fd);
        if (!remove_path.empty()) ::unlink(remove_path.c_str());
    }
};

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int create_temporary(const std::string& path, std::string& temp_path) {
    static std::atomic<std::uint64_t> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_path = path + ".tmp-" + std::to_string(::getpid()) + "-" +
                    std::to_string(counter.fetch_add(1));
        const int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) io_failure("cannot create state file", path);
    }
    io_failure("cannot create state file", path);
}

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

void put_rng(FileWriter& out, const ChaChaRngState& state) {
    for (std::uint32_t word : state.key) out.u32(word);
    out.u64(state.counter);
    for (std::uint32_t word : state.buffer) out.u32(word);
    out.u32(state.index);
    out.u32(state.blocks_per_refill);
}

ChaChaRngState get_rng(FileReader& in) {
    ChaChaRngState state;
    for (std::uint32_t& word : state.key) word = in.u32();
    state.counter = in.u64();
    for (std::uint32_t& word : state.buffer) word = in.u32();
    state.index = in.u32();
    state.blocks_per_refill = in.u32();
    return state;
}

}  // namespace

std::uint64_t state_file_checksum(const void* file, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(file);
    unsigned char checked[kCheckedHeaderBytes + 8];
    std::memcpy(checked, bytes, kCheckedHeaderBytes);
    put_le(checked + kCheckedHeaderBytes,
           XXH3_64bits(bytes + kStateFileHeaderSize, size - kStateFileHeaderSize), 8);
    return XXH3_64bits(checked, sizeof checked);
}

std::uint64_t network_fingerprint(const InstanceParams& params) {
    ByteSink sink;
    sink.u64(params.layers.size());
    for (const LayerParams& layer : params.layers) {
        sink.u64(layer.num_neurons);
        const NeuronParams& n = layer.neuron_params;
        sink.f32(n.tau_membrane);
        sink.u8(n.refractory_period);
        sink.f32(n.reset_voltage);
        sink.u64(n.t_cutoff_coincidence);
        sink.f32(n.adaptation_threshold);
        sink.f32(n.tau_threshold);
        sink.f32(n.voltage_floor);
        sink.flag(layer.plasticity_modulation_params.has_value());
        if (layer.plasticity_modulation_params) {
            const PlasticityModulationParams& m = *layer.plasticity_modulation_params;
            sink.f32(m.tau_eligibility_trace);
            sink.u64(m.eligibility_trace_delay);
            sink.f32(m.dopamine_modulation_factor);
            sink.u64(m.t_cutoff_eligibility_trace);
            sink.u64(m.dopamine_flush_period);
            sink.u64(m.dopamine_conflation_period);
        }
    }
    sink.u64(params.layer_connections.size());
    for (const LayerConnectionParams& c : params.layer_connections) {
        sink.u64(c.from_layer_id);
        sink.u64(c.to_layer_id);
        const ProjectionParams& p = c.projection_params;
        sink.f32(p.synapse_params.max_weight);
        sink.f32(p.synapse_params.weight_scale_factor);
        sink.u8(static_cast<std::uint8_t>(p.stp_params.kind));
        sink.f32(p.stp_params.tau);
        sink.f32(p.stp_params.p0);
        sink.f32(p.stp_params.factor);
        sink.flag(p.long_term_stdp_params.has_value());
        if (p.long_term_stdp_params) put_stdp(sink, *p.long_term_stdp_params);
        sink.flag(p.short_term_stdp_params.has_value());
        if (p.short_term_stdp_params) {
            put_stdp(sink, p.short_term_stdp_params->stdp_params);
            sink.f32(p.short_term_stdp_params->tau);
        }
        sink.f64(c.connect_density);
        sink.f64(c.connect_width);
        sink.u8(static_cast<std::uint8_t>(c.initial_syn_weight.kind));
        sink.f32(c.initial_syn_weight.value);
        sink.u64(c.conduction_delay_max_random_part);
        sink.f64(c.conduction_delay_position_distance_scale_factor);
        sink.u64(c.conduction_delay_add_on);
        sink.flag(c.allow_self_innervation);
    }
    // The network seed: the one the synapses were drawn with.
    sink.u64(params.technical_params.seed_override.value_or(0));
    return XXH3_64bits(sink.bytes.data(), sink.bytes.size());
}

namespace {

void put_pending(FileWriter& out, const std::vector<PendingQueue>& pending) {
    out.u64(pending.size());
    for (const PendingQueue& queue : pending) {
        out.u64(queue.entries.size() - queue.head);
        for (std::size_t i = queue.head; i < queue.entries.size(); ++i) {
            out.u64(queue.entries[i].t);
            out.u64(queue.entries[i].id);
        }
    }
}

std::vector<PendingQueue> get_pending(FileReader& in) {
    std::vector<PendingQueue> pending(in.count(8));
    for (PendingQueue& queue : pending) {
        queue.entries.resize(in.count(16));
        for (PendingQueue::Entry& entry : queue.entries) {
            entry.t = in.u64();
            entry.id = in.u64();
        }
    }
    return pending;
}

}  // namespace

void Instance::save_state(const std::string& path) {
    FileGuard file;
    std::string temp_path;
    file.fd = create_temporary(path, temp_path);
    file.remove_path = temp_path;

    FileWriter out(file.fd, path);
    unsigned char header[kStateFileHeaderSize] = {};
    out.write_all(header, sizeof header);  // rewritten once the content is known
    core_->visit_partitions([&](const std::vector<Partition*>& partitions) {
        out.u64(core_->t());
        out.f64(non_coherent_stimulation_rate);
        out.f32(reward_rate);
        put_rng(out, stimulus_rng_.state());
        const std::vector<std::uint64_t>& spikes = core_->last_spiking_nids();
        out.u64(spikes.size());
        for (std::uint64_t nid : spikes) out.u64(nid);
        put_pending(out, pending_in_channel_spikes_);
        put_pending(out, pending_force_out_channel_spikes_);
        put_pending(out, pending_force_neuron_spikes_);
        const std::size_t num_layers = partitions.front()->layers.size();
        // A summary first: the neurons and synapses of each layer.
        out.u64(num_layers);
        for (std::size_t l = 0; l < num_layers; ++l) {
            out.u64(count_neurons(partitions, l));
            out.u64(count_synapses(partitions, l));
        }
        for (std::size_t l = 0; l < num_layers; ++l) {
            write_layer(out, LayerView(partitions, l), core_->t());
        }
        out.flush();
    });

    std::memcpy(header, kStateFileMagic, 8);
    put_le(header + 8, kStateFileVersion, 4);
    put_le(header + 12, kStateFileHeaderSize, 4);
    put_le(header + 16, core_->fingerprint(), 8);
    put_le(header + 24, out.length(), 8);
    // The checksum covers the header's first 32 bytes and, through its
    // hash, the content: the hash of those bytes followed by the content's.
    HashState checked;
    checked.update(header, kCheckedHeaderBytes);
    const std::uint64_t content_digest = out.hash().digest();
    unsigned char digest_bytes[8];
    put_le(digest_bytes, content_digest, 8);
    checked.update(digest_bytes, 8);
    put_le(header + 32, checked.digest(), 8);
    for (std::size_t done = 0; done < sizeof header;) {
        const ssize_t written =
            ::pwrite(file.fd, header + done, sizeof header - done, static_cast<off_t>(done));
        if (written < 0) {
            if (errno == EINTR) continue;
            io_failure("cannot write state file", path);
        }
        done += static_cast<std::size_t>(written);
    }
    if (::fsync(file.fd) != 0) io_failure("cannot write state file", path);
    const int fd = file.fd;
    file.fd = -1;
    if (::close(fd) != 0) io_failure("cannot write state file", path);
    if (::rename(temp_path.c_str(), path.c_str()) != 0) io_failure("cannot write state file", path);
    file.remove_path.clear();
    // The rename itself reaches the disk with the directory.
    const int dir = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
}

void Instance::restore_state(const std::string& path) {
    FileGuard file;
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) io_failure("cannot open state file", path);
    struct stat info;
    if (::fstat(file.fd, &info) != 0) io_failure("cannot read state file", path);
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        io_failure("cannot read state file", path);
    }

    unsigned char header[kStateFileHeaderSize];
    const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
    const bool whole_header = read_at(file.fd, path, 0, header, sizeof header);
    if (size < 8 || std::memcmp(header, kStateFileMagic, 8) != 0) {
        bad_content("not a state file: '" + path + "' does not begin with SYNSTATE");
    }
    if (!whole_header) truncated();
    const std::uint32_t version = static_cast<std::uint32_t>(get_le(header + 8, 4));
    if (version > kStateFileVersion) {
        bad_content("state file format version " + std::to_string(version) +
                    " is newer than the supported version " + std::to_string(kStateFileVersion));
    }
    if (version == 0 || get_le(header + 12, 4) != kStateFileHeaderSize) {
        damaged("the header is not one of a known version");
    }
    const std::uint64_t length = get_le(header + 24, 8);
    if (size - kStateFileHeaderSize < length) truncated();
    if (size - kStateFileHeaderSize > length) damaged("data follows the content");

    {
        // The checksum first, so that damage reads as such before any detail.
        HashState content;
        std::vector<unsigned char> buffer(kBufferSize);
        std::uint64_t offset = kStateFileHeaderSize;
        for (std::uint64_t left = length; left > 0;) {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
            if (!read_at(file.fd, path, offset, buffer.data(), n)) truncated();
            content.update(buffer.data(), n);
            offset += n;
            left -= n;
        }
        HashState checked;
        checked.update(header, kCheckedHeaderBytes);
        unsigned char digest_bytes[8];
        put_le(digest_bytes, content.digest(), 8);
        checked.update(digest_bytes, 8);
        if (checked.digest() != get_le(header + 32, 8)) {
            bad_content("state file is corrupted: checksum mismatch");
        }
    }
    if (get_le(header + 16, 8) != core_->fingerprint()) {
        bad_content("state file was saved from a different network");
    }

    struct InstanceSection {
        std::uint64_t t = 0;
        double rate = 0.0;
        float reward = 0.0f;
        std::optional<ChaChaRng> rng;
        std::vector<std::uint64_t> spikes;
        std::vector<PendingQueue> pending[3];
    };
    const std::uint64_t num_neurons = core_->num_neurons();
    const auto read_instance = [&](FileReader& in) {
        InstanceSection section;
        section.t = in.u64();
        section.rate = in.f64();
        section.reward = in.f32();
        section.rng = ChaChaRng::from_state(get_rng(in));
        if (!section.rng) damaged("the stimulus generator's state is impossible");
        section.spikes.resize(in.count(8));
        for (std::size_t i = 0; i < section.spikes.size(); ++i) {
            section.spikes[i] = in.u64();
            if (section.spikes[i] >= num_neurons ||
                (i > 0 && section.spikes[i] < section.spikes[i - 1])) {
                damaged("the last tick's spikes are not ascending neuron ids");
            }
        }
        for (std::vector<PendingQueue>& pending : section.pending) pending = get_pending(in);
        return section;
    };

    core_->visit_partitions([&](const std::vector<Partition*>& partitions) {
        const std::size_t num_layers = partitions.front()->layers.size();
        {
            FileReader in(file.fd, path, length);
            const std::uint64_t t = read_instance(in).t;
            if (in.count(16) != num_layers) {
                damaged("the number of layers differs from the network's");
            }
            for (std::size_t l = 0; l < num_layers; ++l) {
                if (in.u64() != count_neurons(partitions, l) ||
                    in.u64() != count_synapses(partitions, l)) {
                    damaged("a layer's size differs from the network's");
                }
            }
            for (std::size_t l = 0; l < num_layers; ++l) {
                read_layer<false>(in, LayerView(partitions, l), t);
            }
            if (in.remaining() != 0) damaged("content follows the last layer");
        }
        // Everything has been checked; what follows changes the instance, so
        // a failure now (the file replaced between the readings, or memory)
        // leaves it unusable rather than half restored.
        try {
            FileReader in(file.fd, path, length);
            InstanceSection section = read_instance(in);
            in.skip(8 + 16 * num_layers);
            for (std::size_t l = 0; l < num_layers; ++l) {
                read_layer<true>(in, LayerView(partitions, l), section.t);
            }
            non_coherent_stimulation_rate = section.rate;
            reward_rate = section.reward;
            stimulus_rng_ = *section.rng;
            pending_in_channel_spikes_ = std::move(section.pending[0]);
            pending_force_out_channel_spikes_ = std::move(section.pending[1]);
            pending_force_neuron_spikes_ = std::move(section.pending[2]);
            core_->set_tick_state(section.t, std::move(section.spikes));
        } catch (const std::exception& failure) {
            core_->fail(std::string("restoring the state failed part way: ") + failure.what());
        }
    });
}

}  // namespace synaptor
