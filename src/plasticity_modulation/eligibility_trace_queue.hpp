// The eligibility traces a modulator holds. Traces are appended in pairing
// order with one fixed delay, so equal eligibility ticks come in runs; a run
// stores its tick once, and each trace keeps only its synapse (a group
// offset within its bin and an index within the group, packed into 32 bits
// where the bin allows) and its value, 8 bytes in all. The traces are filed
// by their group into bins of groups whose synapses lie together, each bin
// oldest first, so that a flush can apply them one bin's synapses at a time;
// a synapse's traces stay in order.
// Each bin keeps its traces in fixed-size chunks: appending never copies what
// is held. Chunks emptied at the front go to the queue's pool, which keeps
// as many as the last drop emptied (what the traces until the next drop will
// fill) and releases the rest, so the storage follows the live traces
// instead of keeping its peak, and is not given back and taken again, zeroed,
// at every flush. Owned by one thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "plasticity_modulation/trace_bin.hpp"

namespace synaptor {

/// The traces of a layer, filed by the group of their synapse into bins of
/// groups whose synapses lie together, each bin oldest first. Every trace
/// of one group is in one bin, so the traces of a synapse keep their order;
/// between synapses only the order of ticks is kept. A flush that walks the
/// bins one after the other finds each bin's synapses in cache. Without a
/// table of bins every trace is in one bin, in pairing order.
class EligibilityTraceQueue {
public:
    static constexpr std::size_t kChunkTraces = synaptor::kChunkTraces;

    EligibilityTraceQueue() : bins_(1) {}
    /// A copy holds the same traces in the same bins, in storage of its own.
    EligibilityTraceQueue(const EligibilityTraceQueue& other) : bins_(1) { *this = other; }
    EligibilityTraceQueue& operator=(const EligibilityTraceQueue& other) {
        if (this == &other) return *this;
        clear();
        bins_.clear();
        bins_.resize(other.bins_.size());
        for (std::size_t b = 0; b < bins_.size(); ++b) bins_[b].set_layout(other.bins_[b].layout());
        group_bins_ = other.group_bins_;
        group_sizes_ = other.group_sizes_;
        index_bins();
        // Bin by bin keeps each bin's order.
        other.for_each_span_by_bin([&](const EligibilityTraceSpan& span) {
            for (std::size_t i = 0; i < span.size; ++i) push_back(span.trace(i));
        });
        return *this;
    }
    EligibilityTraceQueue(EligibilityTraceQueue&&) noexcept = default;
    EligibilityTraceQueue& operator=(EligibilityTraceQueue&&) noexcept = default;

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }

    /// Appends a trace at the back of its group's bin.
    [[gnu::always_inline]] void push_back(const EligibilityTrace& trace) {
        bins_[bin_of(trace.group_position)].push_back(trace, pool_);
        ++size_;
    }

    /// The i-th trace in for_each_span order (not for hot paths).
    EligibilityTrace operator[](std::size_t i) const {
        EligibilityTrace found;
        std::size_t before = 0;
        for_each_span([&](const EligibilityTraceSpan& span) {
            if (i >= before && i < before + span.size) found = span.trace(i - before);
            before += span.size;
        });
        return found;
    }
    EligibilityTrace front() const { return (*this)[0]; }

    /// Removes the traces whose tick t makes `stale(t)` hold, for as long as
    /// it holds from the front of each bin. Of the emptied chunks, as many
    /// are kept as this drop emptied (the traces until the next drop will
    /// fill about as many); older spares beyond are released, so the
    /// storage follows the live traces of the last drop, not the peak.
    template <class Pred>
    void pop_front_while(Pred&& stale) {
        const std::size_t spare_before = pool_.size();
        size_ = 0;
        for (TraceBin& bin : bins_) {
            bin.pop_front_while(stale, pool_);
            size_ += bin.size();
        }
        pool_.keep_at_most(std::max<std::size_t>(pool_.size() - spare_before, 1));
    }

    /// Calls `f(span)` for every held trace, in spans that each share one
    /// tick and lie in one chunk: tick by tick, and within a tick bin by bin.
    template <class F>
    void for_each_span(F&& f) const {
        if (bins_.size() == 1) {
            bins_[0].for_each_span(f);
            return;
        }
        std::vector<TraceBin::Cursor> cursors;
        cursors.reserve(bins_.size());
        for (const TraceBin& bin : bins_) cursors.push_back(bin.first_run());
        for (;;) {
            bool any = false;
            std::uint64_t t = 0;
            for (std::size_t b = 0; b < bins_.size(); ++b) {
                if (bins_[b].past_last_run(cursors[b])) continue;
                const std::uint64_t bin_t = bins_[b].run_t(cursors[b]);
                if (!any || bin_t < t) t = bin_t;
                any = true;
            }
            if (!any) return;
            for (std::size_t b = 0; b < bins_.size(); ++b) {
                if (!bins_[b].past_last_run(cursors[b]) && bins_[b].run_t(cursors[b]) == t) {
                    bins_[b].spans_of_run(cursors[b], f);
                }
            }
        }
    }

    /// Calls `f(span)` for every held trace bin by bin, each bin front to
    /// back: the order a flush applies them in.
    template <class F>
    void for_each_span_by_bin(F&& f) const {
        for (const TraceBin& bin : bins_) bin.for_each_span(f);
    }

    /// Replaces every group position p by `renumber(p)`; the bins follow
    /// their groups, and the held traces are filed again.
    template <class F>
    void renumber_groups(F&& renumber) {
        std::vector<EligibilityTrace> held = held_by_tick();
        for (EligibilityTrace& trace : held) trace.group_position = renumber(trace.group_position);
        std::vector<std::uint32_t> bins(group_bins_.size(), 0);
        std::vector<std::uint32_t> sizes(group_sizes_.size(), 0);
        for (std::size_t g = 0; g < group_bins_.size(); ++g) {
            const std::uint32_t to = renumber(static_cast<std::uint32_t>(g));
            if (to < bins.size()) bins[to] = group_bins_[g];
            if (to < sizes.size() && g < group_sizes_.size()) sizes[to] = group_sizes_[g];
        }
        file_again(std::move(held), std::move(bins), std::move(sizes));
    }

    /// The bin of each group position (positions beyond go to bin 0) and
    /// the synapses of each group, which decide each bin's layout; the held
    /// traces are filed again when either changes a bin or its layout. A
    /// group without a size leaves its bin wide.
    const std::vector<std::uint32_t>& group_bins() const { return group_bins_; }
    void set_group_bins(const std::vector<std::uint32_t>& group_bins,
                        const std::vector<std::uint32_t>& group_sizes) {
        if (group_bins == group_bins_ && group_sizes == group_sizes_) return;
        if (group_bins == group_bins_ && layouts_of(group_bins, group_sizes) == layouts()) {
            group_sizes_ = group_sizes;
            return;
        }
        file_again(held_by_tick(), group_bins, group_sizes);
    }
    /// Each bin's layout.
    std::vector<TraceLayout> layouts() const {
        std::vector<TraceLayout> out;
        out.reserve(bins_.size());
        for (const TraceBin& bin : bins_) out.push_back(bin.layout());
        return out;
    }
    std::size_t num_bins() const { return bins_.size(); }

    /// Forgets every trace; the chunks are kept for reuse.
    void clear() {
        for (TraceBin& bin : bins_) bin.clear(pool_);
        size_ = 0;
    }

    /// Chunks in use or kept for reuse: the storage held is this times
    /// kChunkTraces traces.
    std::size_t chunks_held() const {
        std::size_t n = pool_.size();
        for (const TraceBin& bin : bins_) n += bin.chunks_held();
        return n;
    }

private:
    /// Groups to a block of the table of bins by blocks.
    static constexpr unsigned kBinBlockShift = 6;

    /// The bin of group position g. Where each bin is a run of consecutive
    /// groups (as the flush sets them), it is found from a small table,
    /// the bin of every 64th group and where each bin ends, which stays in
    /// cache while pairing reads synapses all over the layer, where the
    /// table of every group's bin (4 bytes a group) would be fetched anew.
    [[gnu::always_inline]] std::size_t bin_of(std::uint32_t g) const {
        if (g >= group_bins_.size()) return 0;
        if (bin_ends_.empty()) [[unlikely]] {
            return group_bins_[g];
        }
        std::size_t b = block_bins_[g >> kBinBlockShift];
        while (g >= bin_ends_[b]) ++b;
        return b;
    }

    /// Sets the tables of bin_of from group_bins_: empty unless the bins
    /// are runs of consecutive groups in bin order.
    void index_bins() {
        block_bins_.clear();
        bin_ends_.clear();
        if (!std::is_sorted(group_bins_.begin(), group_bins_.end())) return;
        bin_ends_.assign(bins_.size(), 0);
        for (const std::uint32_t b : group_bins_) ++bin_ends_[b];
        for (std::size_t b = 1; b < bin_ends_.size(); ++b) bin_ends_[b] += bin_ends_[b - 1];
        for (std::size_t g = 0; g < group_bins_.size(); g += std::size_t{1} << kBinBlockShift) {
            block_bins_.push_back(group_bins_[g]);
        }
    }

    /// The held traces tick by tick, each synapse's in order: filed in this
    /// order, every new bin's ticks rise as its groups' did, so stale
    /// traces stay a prefix.
    std::vector<EligibilityTrace> held_by_tick() const {
        std::vector<EligibilityTrace> held;
        held.reserve(size_);
        for_each_span([&](const EligibilityTraceSpan& span) {
            for (std::size_t i = 0; i < span.size; ++i) held.push_back(span.trace(i));
        });
        return held;
    }

    /// The layout of each bin: packed where the offsets of its groups and
    /// the indices of their synapses fit one key together.
    static std::vector<TraceLayout> layouts_of(const std::vector<std::uint32_t>& group_bins,
                                               const std::vector<std::uint32_t>& group_sizes) {
        std::uint32_t num_bins = 1;
        for (const std::uint32_t b : group_bins) num_bins = std::max(num_bins, b + 1);
        struct Extent {
            std::uint32_t first = ~std::uint32_t{0};
            std::uint32_t last = 0;
            std::uint64_t max_synapses = 0;
            bool sized = true;
        };
        std::vector<Extent> extents(num_bins);
        for (std::size_t g = 0; g < group_bins.size(); ++g) {
            Extent& e = extents[group_bins[g]];
            e.first = std::min(e.first, static_cast<std::uint32_t>(g));
            e.last = std::max(e.last, static_cast<std::uint32_t>(g));
            if (g < group_sizes.size()) {
                e.max_synapses = std::max<std::uint64_t>(e.max_synapses, group_sizes[g]);
            } else {
                e.sized = false;
            }
        }
        std::vector<TraceLayout> layouts(num_bins);
        for (std::size_t b = 0; b < num_bins; ++b) {
            const Extent& e = extents[b];
            if (e.sized && e.first <= e.last) {
                layouts[b] = TraceLayout::for_groups(e.first, e.last, e.max_synapses);
            }
        }
        return layouts;
    }

    /// Files `held`, tick by tick, into bins set up
    /// for the groups' new bins and sizes.
    void file_again(std::vector<EligibilityTrace> held, std::vector<std::uint32_t> group_bins,
                    std::vector<std::uint32_t> group_sizes) {
        const std::vector<TraceLayout> layouts = layouts_of(group_bins, group_sizes);
        clear();
        bins_.clear();
        bins_.resize(layouts.size());
        for (std::size_t b = 0; b < layouts.size(); ++b) bins_[b].set_layout(layouts[b]);
        group_bins_ = std::move(group_bins);
        group_sizes_ = std::move(group_sizes);
        index_bins();
        for (const EligibilityTrace& trace : held) push_back(trace);
    }

    TraceChunkPool pool_;
    std::vector<TraceBin> bins_;              ///< never empty
    std::vector<std::uint32_t> group_bins_;   ///< bin of each group position
    std::vector<std::uint32_t> group_sizes_;  ///< synapses of each group position
    std::vector<std::uint32_t> block_bins_;   ///< bin of every 64th group, if bins are runs
    std::vector<std::uint32_t> bin_ends_;     ///< groups in this bin and those before
    std::size_t size_ = 0;
};

}  // namespace synaptor
