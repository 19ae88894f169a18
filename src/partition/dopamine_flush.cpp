// The dopamine flush: the eligibility traces held by the layer's plasticity
// modulator become weight changes, each trace's the sum over the dopamine
// samples at or after its tick, applied to their synapses in queue order.
// Runs on the layer's worker thread at the start of a tick, before
// propagation, when the modulator's flush falls due.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "partition/synaptic_transmission.hpp"
#include "partition/synaptic_transmission_internal.hpp"
#include "util/decay.hpp"
#include "util/panic.hpp"
#include "util/prefetch.hpp"

namespace synaptor {
namespace {

using transmission_detail::check_synapse_at;
using transmission_detail::missing_group_position;

/// Traces whose weight changes the flush computes together: their sums stay
/// in the first-level cache.
constexpr std::size_t kFlushBlock = 1024;
/// How many changes ahead their application requests a synapse.
constexpr std::size_t kApplyLookahead = 32;

/// The weight changes of `n` traces of one tick: sums[i] is
/// dopamine_weight_change of trace i, given the decays and amounts of the
/// samples that act on traces of that tick, in flush order.
void trace_weight_changes(const float* values, std::size_t n, const float* decays,
                          const float* amounts, std::size_t num_samples, float* sums) {
    for (std::size_t i = 0; i < n; ++i) sums[i] = 0.0f;
    for (std::size_t j = 0; j < num_samples; ++j) {
        const float e = decays[j];
        const float amount = amounts[j];
        // (exponential * value) * amount, added sample by sample.
        for (std::size_t i = 0; i < n; ++i) sums[i] = sums[i] + e * values[i] * amount;
    }
}

/// A zero or NaN weight change changes nothing.
inline bool changes_weight(float sum) { return sum < 0.0f || sum > 0.0f; }

/// Applies the weight changes of the `n` traces of one block, given their
/// sums, each synapse requested kApplyLookahead changes ahead of its
/// application so that the misses overlap; each change is clamped on its own.
/// `Packed` is the block's layout: one branch per block, not per trace.
template <bool Packed>
void apply_block(const PreSynGroupMap& groups, const GroupPairing* at,
                 const EligibilityTraceSpan& block, const float* sums) {
    const std::size_t num_groups = groups.size();
    const std::size_t n = block.size;
    const auto group_of = [&](std::size_t i) __attribute__((always_inline)) {
        if constexpr (Packed) return block.packed_group(i);
        return block.keys[i];
    };
    const auto index_of = [&](std::size_t i) __attribute__((always_inline)) {
        if constexpr (Packed) return block.packed_index(i);
        return block.synapse_indices[i];
    };
    const auto fetch_synapse = [&](std::size_t i) __attribute__((always_inline)) {
        const std::uint32_t g = group_of(i);
        if (g >= num_groups || !changes_weight(sums[i])) return;
        const std::uint32_t k = index_of(i);
        prefetch_line_at<true>(at[g].hot, std::uintptr_t{k} * sizeof(SynapseHot));
    };
    for (std::size_t i = 0; i < n && i < kApplyLookahead; ++i) fetch_synapse(i);
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kApplyLookahead < n) fetch_synapse(i + kApplyLookahead);
        const std::uint32_t g = group_of(i);
        if (g >= num_groups) [[unlikely]] {
            missing_group_position(g, num_groups);
        }
        if (!changes_weight(sums[i])) continue;
        const GroupPairing& group = at[g];
        const std::uint32_t k = index_of(i);
        check_synapse_at(groups, group.size, g, k);
        SynapseHot& synapse = group.hot[k];
        synapse.weight = clamp_weight(synapse.weight, sums[i], group.max_weight);
    }
}

}  // namespace

void bin_traces_by_group(PartitionLayer& layer) {
    if (!layer.plasticity_modulator) return;
    const PreSynGroupMap& groups = layer.pre_syn_groups;
    const std::size_t per_bin = std::max<std::size_t>(layer.trace_bin_synapses, 1);
    std::vector<std::uint32_t> bins(groups.size());
    std::vector<std::uint32_t> sizes(groups.size());
    std::uint64_t synapses_before = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        bins[g] = static_cast<std::uint32_t>(synapses_before / per_bin);
        // Read from the dense pairing fields, not from every group's record.
        sizes[g] = groups.pairing_at(g).size;
        synapses_before += sizes[g];
    }
    // Without sizes every bin keeps group positions and indices apart.
    if (!layer.pack_trace_keys) sizes.clear();
    layer.plasticity_modulator->eligibility_traces.set_group_bins(bins, sizes);
}

void apply_dopamine_flush(PartitionLayer& layer, DopamineFlush& flush) {
    if (!layer.plasticity_modulator) [[unlikely]] {
        panic("dopamine flush on a layer without a plasticity modulator");
    }
    // Switched off, the flush's samples are spent and its stale traces were
    // dropped (process_tick) but no weight changes: the traces held from
    // before the switch meet only the samples of flushes while it is on.
    if (!layer.plasticity_enabled) return;
    const EligibilityTraceQueue& traces = layer.plasticity_modulator->eligibility_traces;
    if (traces.empty()) return;
    PreSynGroupMap& groups = layer.pre_syn_groups;
    // The traces name synapses all over the layer, many per group. What the
    // application reads of a group (where its weights are, how many, the
    // bound) is in the groups' pairing fields, which stay in cache where the
    // groups' records (several lines each) would not; each change then needs
    // only its synapse's line.
    // The traces are filed by bins of groups whose synapses lie together (a
    // no-op unless the groups changed since the last flush), and applied bin
    // by bin: while a bin's traces are applied its synapses stay in cache,
    // so each synapse line is fetched about once instead of once per trace.
    bin_traces_by_group(layer);
    std::vector<float>& decays = flush.decays;
    std::vector<float>& amounts = flush.amounts;
    std::vector<float>& sums = flush.sums;
    sums.resize(kFlushBlock);
    bool have_t = false;
    std::uint64_t last_t = 0;
    traces.for_each_span_by_bin([&](const EligibilityTraceSpan& span) {
        // Every trace of one tick meets the samples at the same tick
        // differences, so each decay is computed once for a bin's run of
        // traces; the same arguments give expf's same bits.
        if (!have_t || span.t != last_t) {
            have_t = true;
            last_t = span.t;
            decays.clear();
            amounts.clear();
            for (const DopamineSample& sample : flush.samples) {
                if (sample.t < span.t) continue;
                decays.push_back(decay_factor(sample.t - span.t, flush.tau_eligibility_trace));
                amounts.push_back(sample.amount);
            }
        }
        // No sample at or after the tick: the traces change nothing.
        if (decays.empty()) return;
        for (std::size_t begin = 0; begin < span.size; begin += kFlushBlock) {
            EligibilityTraceSpan block = span.after(begin);
            block.size = std::min(kFlushBlock, block.size);
            trace_weight_changes(block.values, block.size, decays.data(), amounts.data(),
                                 decays.size(), sums.data());
            if (block.packed()) {
                apply_block<true>(groups, groups.pairings(), block, sums.data());
            } else {
                apply_block<false>(groups, groups.pairings(), block, sums.data());
            }
        }
    });
}

}  // namespace synaptor
