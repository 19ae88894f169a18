// The eligibility traces a modulator holds. Traces are appended in pairing
// order with one fixed delay, so equal eligibility ticks come in runs; a run
// stores its tick once, and each trace keeps only its synapse (a group
// position and an index within the group, 32 bits each) and its value, 12
// bytes in all. The traces are filed by their group into bins of groups
// whose synapses lie together, each bin oldest first, so that a flush can
// apply them one bin's synapses at a time; a synapse's traces stay in order.
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

#include "util/prefetch.hpp"
#include "util/ring_queue.hpp"

namespace synaptor {

/// One eligibility trace: the synapse it acts on, named by the position of
/// its pre-synaptic group in the layer and its index in that group, the tick
/// from which it is eligible and the long-term STDP change of its pairing.
struct EligibilityTrace {
    std::uint64_t t = 0;  ///< tick from which the trace is eligible
    std::uint32_t group_position = 0;
    std::uint32_t synapse_index = 0;
    float value = 0.0f;  ///< the long-term STDP change of the pairing
};

/// Consecutive held traces of one run that lie in one chunk, as parallel arrays.
struct EligibilityTraceSpan {
    std::uint64_t t = 0;
    const std::uint32_t* group_positions = nullptr;
    const std::uint32_t* synapse_indices = nullptr;
    const float* values = nullptr;
    std::size_t size = 0;
};

/// Traces per chunk: 96 KiB of storage.
inline constexpr std::size_t kChunkTraces = 8192;

/// A chunk of traces, as parallel arrays.
struct TraceChunk {
    std::uint32_t group_positions[kChunkTraces];
    std::uint32_t synapse_indices[kChunkTraces];
    float values[kChunkTraces];
};

/// The chunks emptied by the bins of one queue, kept to be filled again: the
/// bins drop chunks at a flush and fill about as many until the next, so
/// the storage stays with the queue instead of going back to the allocator
/// (of whichever thread ran the tick) and being taken and zeroed again.
class TraceChunkPool {
public:
    std::unique_ptr<TraceChunk> take() {
        if (spare_.empty()) return std::make_unique_for_overwrite<TraceChunk>();
        std::unique_ptr<TraceChunk> chunk = std::move(spare_.back());
        spare_.pop_back();
        return chunk;
    }
    void give(std::unique_ptr<TraceChunk> chunk) { spare_.push_back(std::move(chunk)); }
    /// Releases the spare chunks beyond `n`.
    void keep_at_most(std::size_t n) {
        if (spare_.size() > n) spare_.resize(n);
    }
    std::size_t size() const { return spare_.size(); }

private:
    std::vector<std::unique_ptr<TraceChunk>> spare_;
};

/// The traces of one bin, oldest first, in chunks of its queue's pool.
class TraceBin {
public:
    static constexpr std::uintptr_t kWriteAhead = 256;

    TraceBin() = default;
    TraceBin(TraceBin&&) noexcept = default;
    TraceBin& operator=(TraceBin&&) noexcept = default;

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }

    /// Appends a trace at the back. Made for every pairing under a plasticity
    /// modulator, so it is inlined there; a new chunk or a new tick's run is
    /// the rare case and stays out of line.
    [[gnu::always_inline]] void push_back(const EligibilityTrace& trace, TraceChunkPool& pool) {
        const std::size_t position = head_ + size_;
        const std::size_t c = position / kChunkTraces;
        if (c == chunks_.size()) [[unlikely]] {
            add_chunk(pool);
        }
        TraceChunk& chunk = *chunks_[c];
        const std::size_t i = position % kChunkTraces;
        // Each array is written in sequence into storage last used long ago:
        // once per line, the line kWriteAhead bytes on is requested for
        // writing (a prefetch never faults; addresses formed as integers).
        if (i % 16 == 0) {
            prefetch_line_at<true>(chunk.group_positions + i, kWriteAhead);
            prefetch_line_at<true>(chunk.synapse_indices + i, kWriteAhead);
            prefetch_line_at<true>(chunk.values + i, kWriteAhead);
        }
        chunk.group_positions[i] = trace.group_position;
        chunk.synapse_indices[i] = trace.synapse_index;
        chunk.values[i] = trace.value;
        ++size_;
        if (!runs_.empty()) [[likely]] {
            Run& last = runs_[runs_.size() - 1];
            if (last.t == trace.t) [[likely]] {
                ++last.count;
                return;
            }
        }
        start_run(trace.t);
    }

    /// Removes traces from the front for as long as `stale(t)` holds for the
    /// front trace's tick.
    template <class Pred>
    void pop_front_while(Pred&& stale, TraceChunkPool& pool) {
        std::size_t dropped = 0;
        while (!runs_.empty() && stale(runs_.front().t)) {
            dropped += runs_.front().count;
            runs_.pop_front();
        }
        drop_front(dropped, pool);
    }

    /// Where a walk over the bin's runs stands: the next run and the
    /// position of its first trace.
    struct Cursor {
        std::size_t run = 0;
        std::size_t position = 0;
    };
    Cursor first_run() const { return Cursor{0, head_}; }
    bool past_last_run(const Cursor& cursor) const { return cursor.run == runs_.size(); }
    std::uint64_t run_t(const Cursor& cursor) const { return runs_[cursor.run].t; }

    /// Calls `f(span)` for the traces of the cursor's run, in spans that each
    /// lie in one chunk, and moves the cursor to the next run.
    template <class F>
    void spans_of_run(Cursor& cursor, F&& f) const {
        const Run run = runs_[cursor.run];
        std::uint64_t left = run.count;
        while (left != 0) {
            const TraceChunk& chunk = *chunks_[cursor.position / kChunkTraces];
            const std::size_t k = cursor.position % kChunkTraces;
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunkTraces - k));
            f(EligibilityTraceSpan{run.t, chunk.group_positions + k, chunk.synapse_indices + k,
                                   chunk.values + k, n});
            cursor.position += n;
            left -= n;
        }
        ++cursor.run;
    }

    /// Calls `f(span)` for every held trace, front to back, in spans that
    /// each share one tick and lie in one chunk.
    template <class F>
    void for_each_span(F&& f) const {
        for (Cursor cursor = first_run(); !past_last_run(cursor);) spans_of_run(cursor, f);
    }

    /// Replaces every group position p by `renumber(p)`.
    template <class F>
    void renumber_groups(F&& renumber) {
        for (std::size_t i = 0; i < size_; ++i) {
            const std::size_t position = head_ + i;
            std::uint32_t& g =
                chunks_[position / kChunkTraces]->group_positions[position % kChunkTraces];
            g = renumber(g);
        }
    }

    void clear(TraceChunkPool& pool) {
        runs_.clear();
        drop_front(size_, pool);
    }

    /// Chunks in use.
    std::size_t chunks_held() const { return chunks_.size(); }

private:
    struct Run {
        std::uint64_t t = 0;
        std::uint64_t count = 0;
    };

    [[gnu::noinline]] void start_run(std::uint64_t t) { runs_.push_back(Run{t, 1}); }

    [[gnu::noinline]] void add_chunk(TraceChunkPool& pool) { chunks_.push_back(pool.take()); }

    /// Forgets the first `n` traces and gives the chunks they emptied to the pool.
    void drop_front(std::size_t n, TraceChunkPool& pool) {
        head_ += n;
        size_ -= n;
        while (head_ >= kChunkTraces || (size_ == 0 && !chunks_.empty())) {
            pool.give(std::move(chunks_.front()));
            chunks_.pop_front();
            head_ = head_ >= kChunkTraces ? head_ - kChunkTraces : 0;
        }
        if (size_ == 0) head_ = 0;
    }

    RingQueue<std::unique_ptr<TraceChunk>> chunks_;  ///< front chunk holds the oldest trace
    RingQueue<Run> runs_;                            ///< runs of equal tick, oldest first
    std::size_t head_ = 0;  ///< offset of the oldest trace in chunks_.front()
    std::size_t size_ = 0;
};

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
        group_bins_ = other.group_bins_;
        // Tick by tick keeps each bin's order.
        other.for_each_span([&](const EligibilityTraceSpan& span) {
            for (std::size_t i = 0; i < span.size; ++i) {
                push_back(EligibilityTrace{span.t, span.group_positions[i], span.synapse_indices[i],
                                           span.values[i]});
            }
        });
        return *this;
    }
    EligibilityTraceQueue(EligibilityTraceQueue&&) noexcept = default;
    EligibilityTraceQueue& operator=(EligibilityTraceQueue&&) noexcept = default;

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }

    /// Appends a trace at the back of its group's bin.
    [[gnu::always_inline]] void push_back(const EligibilityTrace& trace) {
        const std::uint32_t g = trace.group_position;
        const std::size_t b = g < group_bins_.size() ? group_bins_[g] : 0;
        bins_[b].push_back(trace, pool_);
        ++size_;
    }

    /// The i-th trace in for_each_span order (not for hot paths).
    EligibilityTrace operator[](std::size_t i) const {
        EligibilityTrace found;
        std::size_t before = 0;
        for_each_span([&](const EligibilityTraceSpan& span) {
            if (i >= before && i < before + span.size) {
                const std::size_t k = i - before;
                found = EligibilityTrace{span.t, span.group_positions[k], span.synapse_indices[k],
                                         span.values[k]};
            }
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
    /// their groups.
    template <class F>
    void renumber_groups(F&& renumber) {
        for (TraceBin& bin : bins_) bin.renumber_groups(renumber);
        std::vector<std::uint32_t> renumbered(group_bins_.size(), 0);
        for (std::size_t g = 0; g < group_bins_.size(); ++g) {
            const std::uint32_t to = renumber(static_cast<std::uint32_t>(g));
            if (to < renumbered.size()) renumbered[to] = group_bins_[g];
        }
        group_bins_ = std::move(renumbered);
    }

    /// The bin of each group position (positions beyond go to bin 0); the
    /// held traces are filed again when it changes.
    const std::vector<std::uint32_t>& group_bins() const { return group_bins_; }
    void set_group_bins(const std::vector<std::uint32_t>& group_bins) {
        if (group_bins == group_bins_) return;
        std::vector<EligibilityTrace> held;
        held.reserve(size_);
        for_each_span([&](const EligibilityTraceSpan& span) {
            for (std::size_t i = 0; i < span.size; ++i) {
                held.push_back(EligibilityTrace{span.t, span.group_positions[i],
                                                span.synapse_indices[i], span.values[i]});
            }
        });
        std::uint32_t num_bins = 1;
        for (const std::uint32_t b : group_bins) num_bins = std::max(num_bins, b + 1);
        clear();
        bins_.clear();
        bins_.resize(num_bins);
        group_bins_ = group_bins;
        for (const EligibilityTrace& trace : held) push_back(trace);
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
    TraceChunkPool pool_;
    std::vector<TraceBin> bins_;             ///< never empty
    std::vector<std::uint32_t> group_bins_;  ///< bin of each group position
    std::size_t size_ = 0;
};

}  // namespace synaptor
