// Records of one partition: the share of the network that one worker thread
// simulates. A Partition holds one PartitionLayer per layer of the document
// (list index = layer id), each with its run of neurons, every synapse onto
// them grouped by pre-synaptic neuron, and the ring that delivers their events.
// Built, ticked and destroyed by its worker; no locks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "batched_ring_buffer/batched_ring_buffer.hpp"
#include "params/params.hpp"
#include "partition/coincidence_window.hpp"
#include "partition/decay_table.hpp"
#include "partition/pairing_rule.hpp"
#include "partition/pre_syn_group_map.hpp"
#include "plasticity_modulation/plasticity_modulator.hpp"
#include "util/cache_line.hpp"
#include "util/huge_pages.hpp"

namespace synaptor {

/// The bits of an event's tag that hold its group's position.
inline constexpr std::uint32_t kGroupIndexMask = 0x7FFFFFFFu;

/// A group position that names no group: an event or window entry carrying
/// it is rejected on use. The largest position the tag can hold.
inline constexpr std::uint32_t kNoGroupIndex = kGroupIndexMask;
static_assert(PreSynGroupMap::kMaxGroups <= kNoGroupIndex,
              "every position a layer's groups can take fits the tag below the sentinel");

/// Two to a cache line: delivery touches one neuron per event. Its recent
/// inputs are in the layer's coincidence_windows.
struct alignas(kCacheLineBytes / 2) Neuron {
    std::uint64_t last_update_t = 0;
    std::optional<std::uint64_t> last_spike_t;
    float voltage = 0.0f;
    float threshold = 1.0f;
};
static_assert(sizeof(Neuron) == 32);

/// An event waiting in the ring: 16 bytes, as every transmission writes one
/// and the ring holds several ticks of them. The synapse is named by its
/// group's position in the layer's pre_syn_groups (whose key there is the
/// pre-synaptic nid) and its index in that group; positions are exact, and
/// groups that move renumber the events in flight (see sort_pre_syn_groups).
struct SynapticEvent {
    std::uint32_t post_index = 0;     ///< local index of the target neuron
    std::uint32_t synapse_index = 0;  ///< index in the group
    float psp = 0.0f;
    /// Bits 0-30: the group's position. Bit 31: whether the group has long-
    /// or short-term STDP. Without it a delivery neither records a recent
    /// input nor pairs, since both could only lead to pairings that change
    /// nothing for such a group.
    std::uint32_t group_tag = kNoGroupIndex | kTimingPlasticityBit;

    static constexpr std::uint32_t kTimingPlasticityBit = 0x80000000u;
    static constexpr std::uint32_t make_tag(std::uint32_t group_index, bool timing_plasticity) {
        return (group_index & kGroupIndexMask) | (timing_plasticity ? kTimingPlasticityBit : 0u);
    }
    std::uint32_t group_index() const { return group_tag & kGroupIndexMask; }
    bool has_timing_plasticity() const { return (group_tag & kTimingPlasticityBit) != 0; }
};
static_assert(sizeof(SynapticEvent) == 16);

/// Working storage for delivering a large batch neuron by neuron: the batch
/// sorted by target neuron, where each neuron's run ends, the neurons that
/// reached their threshold (tagged with the position of their event), and
/// what finding those positions takes: the batch position of the sorted
/// events of those neurons, and per neuron a cursor into its run (kUnmarked
/// for the neurons not being followed). Held by the layer so that it is reused,
/// and given back once the batches have stayed much smaller for a while.
struct DeliveryScratch {
    static constexpr std::size_t kMaxBatch = 0xFFFFFFFFu;  ///< positions are 32-bit
    static constexpr std::size_t kMaxNeurons = 0xFFFFFFFFu;
    /// Batches and layers at least this large are sorted; smaller ones (whose
    /// neurons are mostly in cache anyway) are delivered in batch order.
    /// Either order gives the same results.
    std::size_t min_sorted_batch = 1024;
    std::size_t min_sorted_neurons = 4096;
    /// Sorted batches at least this large are spread into buckets first
    /// (see sort_by_neuron); the result is the same.
    std::size_t min_bucketed_batch = 65536;
    /// Events per bucket aimed at (128 KB), and the most buckets.
    static constexpr std::size_t kBucketEvents = 8192;
    static constexpr std::size_t kMaxBuckets = 512;
    /// Bucketed batches at least this large (8 MB) are spread with stores
    /// that bypass the cache; a smaller one would still be in cache when its
    /// buckets are read back.
    std::size_t min_streamed_batch = std::size_t{1} << 19;

    std::vector<SynapticEvent, HugePageAllocator<SynapticEvent>> events;
    std::vector<std::uint32_t, HugePageAllocator<std::uint32_t>> positions;
    std::vector<std::uint32_t> neuron_start;
    std::vector<std::uint64_t> crossed;
    std::vector<std::uint32_t> cursor;
    static constexpr std::uint32_t kUnmarked = 0xFFFFFFFFu;
    /// A bucketed sort's buckets (where each begins, where each is written
    /// next), the largest bucket's events set aside, and its neurons' places.
    std::vector<std::uint32_t> bucket_start;
    std::vector<std::uint32_t> bucket_head;
    /// A bucket's next events, gathered to be written out a line at a time.
    struct alignas(kCacheLineBytes) BucketLine {
        SynapticEvent events[4];
    };
    std::vector<BucketLine> bucket_lines;
    std::vector<SynapticEvent> bucket_events;
    std::vector<std::uint32_t> bucket_neurons;
    /// Of the sorted batch's events over synapses with STDP: their number,
    /// largest group position and largest synapse index.
    std::size_t num_plastic = 0;
    std::uint32_t max_group = 0;
    std::uint32_t max_synapse = 0;

    /// Room for a batch of n events.
    void reserve(std::size_t n) {
        if (events.size() < n) {
            events.resize(n);
            positions.resize(n);
        }
    }

    /// Room for a bucketed sort into `num_buckets` buckets of at most
    /// `most_events` events and `most_neurons` neurons each.
    void reserve_buckets(std::size_t num_buckets, std::size_t most_events,
                         std::size_t most_neurons) {
        if (bucket_head.size() < num_buckets) {
            bucket_head.resize(num_buckets);
            bucket_lines.resize(num_buckets);
        }
        if (bucket_events.size() < most_events) bucket_events.resize(most_events);
        if (bucket_neurons.size() < most_neurons) bucket_neurons.resize(most_neurons);
    }

    /// Notes a batch of n events; every kWindow batches the storage shrinks
    /// to the largest batch of that stretch when it holds more than twice that.
    void release_unused(std::size_t n) {
        if (n > recent_peak_) recent_peak_ = n;
        if (++batches_ < kWindow) return;
        if (events.size() > 2 * recent_peak_) {
            decltype(events)(recent_peak_).swap(events);
            decltype(positions)(recent_peak_).swap(positions);
            std::vector<std::uint64_t>().swap(crossed);
            std::vector<SynapticEvent>().swap(bucket_events);
            std::vector<std::uint32_t>().swap(bucket_neurons);
        }
        batches_ = 0;
        recent_peak_ = 0;
    }

private:
    static constexpr std::size_t kWindow = 256;
    std::size_t recent_peak_ = 0;
    std::size_t batches_ = 0;
};

struct PartitionLayer {
    std::uint64_t first_nid = 0;
    PreSynGroupMap pre_syn_groups;
    NeuronParams neuron_params;
    std::vector<Neuron> neurons;
    CoincidenceWindows coincidence_windows;  ///< the neurons' recent inputs
    std::vector<std::uint64_t> pending_neurons;
    BatchedRingBuffer<SynapticEvent> delivery_buffer{1};
    std::optional<PlasticityModulator> plasticity_modulator;
    /// Whether long-term STDP changes weights and makes eligibility traces,
    /// and dopamine flushes change weights: false while the instance's
    /// learning is switched off. Short-term plasticity and the short-term
    /// STDP offset go on either way. Changed only between ticks.
    bool plasticity_enabled = true;

    // Working storage of the tick code, not part of the simulated state.
    DecayTable membrane_decay{};     ///< memoised decays for neuron_params.tau_membrane
    DecayTable threshold_decay{};    ///< memoised decays for neuron_params.tau_threshold
    PairingRuleSet pairing_rules{};  ///< the groups' STDP with memoised exponentials
    DopamineFlush dopamine_flush{};  ///< retained sample buffer of the last flush
    DeliveryScratch delivery_scratch{};
    /// Synapses to a bin of eligibility traces: 131072 SynapseHot are 1 MiB,
    /// which stay in the second-level cache while a flush applies the bin.
    std::size_t trace_bin_synapses = 131072;
    /// Whether a bin of eligibility traces may pack each trace's group offset
    /// and synapse index into one 32-bit key where they fit (8 bytes a trace
    /// instead of 16 in a wide bin); the results are the same either way.
    bool pack_trace_keys = true;
    /// Set once an event over a synapse with STDP has been scheduled; picks
    /// the delivery loop laid out for such events (no effect on results).
    bool timing_plasticity_scheduled = false;
    /// The window runs that the firings of this tick have yet to pair (see
    /// fire_neuron_deferred); empty between ticks.
    std::vector<WindowRun> window_runs{};

    bool contains(std::uint64_t nid) const {
        return nid >= first_nid && nid - first_nid < neurons.size();
    }
};

struct Partition {
    std::vector<PartitionLayer> layers;  ///< one per layer, in layer order
    /// Working storage of the tick code: the tick's spikes are collected here
    /// and copied once into the result, which is then allocated exactly once.
    std::vector<std::uint64_t> spiking_nids_scratch{};
};

/// Switches the plasticity of every layer (see PartitionLayer::plasticity_enabled).
inline void set_plasticity_enabled(Partition& partition, bool enabled) {
    for (PartitionLayer& layer : partition.layers) layer.plasticity_enabled = enabled;
}

}  // namespace synaptor
