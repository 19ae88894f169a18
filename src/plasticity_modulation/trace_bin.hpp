// One bin of eligibility traces: the traces of a run of groups, oldest first,
// in fixed-size chunks taken from and given back to its queue's pool. Runs
// of equal tick store the tick once. A trace's synapse is packed into one
// 32-bit key, its group's offset from the bin's first group above its index,
// whenever the bin's groups and their sizes leave room for both (8 bytes a
// trace with the value); a bin where they do not, or a trace that does not
// fit (a group beyond the bin, a group grown since), keeps group position
// and index apart (16 bytes a trace). Both hold the same traces in the same
// order. Owned by the thread that owns its queue.
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

/// How a bin stores a trace's synapse. Packed, the key is the group's offset
/// from first_group shifted above index_bits bits of synapse index; wide, the
/// key is the group position and the index is stored apart.
struct TraceLayout {
    std::uint32_t first_group = 0;
    std::uint32_t group_bits = 32;
    std::uint32_t index_bits = 32;
    bool packed = false;

    bool operator==(const TraceLayout&) const = default;

    /// The layout of groups first_group .. last_group, whose synapse indices
    /// are below max_synapses: packed if both fit one key.
    static TraceLayout for_groups(std::uint32_t first_group, std::uint32_t last_group,
                                  std::uint64_t max_synapses);
};

inline TraceLayout TraceLayout::for_groups(std::uint32_t first_group, std::uint32_t last_group,
                                           std::uint64_t max_synapses) {
    const auto bits = [](std::uint64_t n) {
        std::uint32_t b = 0;
        while (b < 64 && (n >> b) != 0) ++b;
        return b;
    };
    const std::uint32_t group_bits = bits(std::uint64_t{last_group} - first_group);
    const std::uint32_t index_bits = bits(max_synapses == 0 ? 0 : max_synapses - 1);
    if (first_group > last_group || group_bits + index_bits > 32) return TraceLayout{};
    return TraceLayout{first_group, group_bits, index_bits, true};
}

/// Consecutive held traces of one run that lie in one chunk, as parallel
/// arrays in their bin's layout.
struct EligibilityTraceSpan {
    std::uint64_t t = 0;
    const std::uint32_t* keys = nullptr;             ///< packed keys, or group positions
    const std::uint32_t* synapse_indices = nullptr;  ///< wide layout only
    const float* values = nullptr;
    std::size_t size = 0;
    std::uint32_t first_group = 0;  ///< packed layout only
    std::uint32_t index_bits = 0;   ///< packed layout only

    bool packed() const { return synapse_indices == nullptr; }
    [[gnu::always_inline]] std::uint32_t packed_group(std::size_t i) const {
        return first_group + static_cast<std::uint32_t>(std::uint64_t{keys[i]} >> index_bits);
    }
    [[gnu::always_inline]] std::uint32_t packed_index(std::size_t i) const {
        return static_cast<std::uint32_t>(keys[i] & ((std::uint64_t{1} << index_bits) - 1));
    }
    std::uint32_t group_position(std::size_t i) const {
        return packed() ? packed_group(i) : keys[i];
    }
    std::uint32_t synapse_index(std::size_t i) const {
        return packed() ? packed_index(i) : synapse_indices[i];
    }
    EligibilityTrace trace(std::size_t i) const {
        return EligibilityTrace{t, group_position(i), synapse_index(i), values[i]};
    }
    /// The span without its first `n` traces.
    EligibilityTraceSpan after(std::size_t n) const {
        EligibilityTraceSpan rest = *this;
        rest.keys += n;
        if (!packed()) rest.synapse_indices += n;
        rest.values += n;
        rest.size -= n;
        return rest;
    }
};

/// Traces per chunk of a packed bin: 64 KiB of storage. A wide bin puts half
/// as many in a chunk, their indices in the second half of the keys.
inline constexpr std::size_t kChunkTraces = 8192;

/// A chunk of traces, as parallel arrays.
struct TraceChunk {
    std::uint32_t keys[kChunkTraces];
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
    const TraceLayout& layout() const { return layout_; }
    /// Sets the layout of an empty bin.
    void set_layout(const TraceLayout& layout) {
        layout_ = layout;
        group_limit_ = layout.packed ? std::uint64_t{1} << layout.group_bits : 0;
        index_limit_ = layout.packed ? std::uint64_t{1} << layout.index_bits : 0;
        chunk_shift_ = layout.packed ? 13 : 12;
        static_assert(kChunkTraces == std::size_t{1} << 13);
    }

    /// Appends a trace at the back. Made for every pairing under a plasticity
    /// modulator, so the packed case is inlined there, with the chunk size
    /// a constant; a wide bin, a trace that does not fit a packed bin, a
    /// new chunk or a new tick's run is the rare case and stays out of line.
    [[gnu::always_inline]] void push_back(const EligibilityTrace& trace, TraceChunkPool& pool) {
        const std::uint32_t g = trace.group_position;
        const std::uint32_t k = trace.synapse_index;
        // Below first_group the offset wraps beyond group_limit_; a wide
        // bin has index_limit_ 0 and so always takes the other way.
        const std::uint32_t offset = g - layout_.first_group;
        if (std::uint64_t{offset} >= group_limit_ || std::uint64_t{k} >= index_limit_)
            [[unlikely]] {
            push_back_wide(trace, pool);
            return;
        }
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
            prefetch_line_at<true>(chunk.keys + i, kWriteAhead);
            prefetch_line_at<true>(chunk.values + i, kWriteAhead);
        }
        chunk.keys[i] =
            static_cast<std::uint32_t>((std::uint64_t{offset} << layout_.index_bits) | k);
        chunk.values[i] = trace.value;
        ++size_;
        count_in_run(trace.t);
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
        const std::size_t capacity = std::size_t{1} << chunk_shift_;
        std::uint64_t left = run.count;
        while (left != 0) {
            const TraceChunk& chunk = *chunks_[cursor.position >> chunk_shift_];
            const std::size_t k = cursor.position & (capacity - 1);
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, capacity - k));
            EligibilityTraceSpan span{run.t, chunk.keys + k, nullptr, chunk.values + k, n, 0, 0};
            if (layout_.packed) {
                span.first_group = layout_.first_group;
                span.index_bits = layout_.index_bits;
            } else {
                span.synapse_indices = chunk.keys + capacity + k;
            }
            f(span);
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

    /// Appends every held trace to `out`, front to back.
    void append_to(std::vector<EligibilityTrace>& out) const {
        for_each_span([&](const EligibilityTraceSpan& span) {
            for (std::size_t i = 0; i < span.size; ++i) out.push_back(span.trace(i));
        });
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

    [[gnu::always_inline]] void count_in_run(std::uint64_t t) {
        if (!runs_.empty()) [[likely]] {
            Run& last = runs_[runs_.size() - 1];
            if (last.t == t) [[likely]] {
                ++last.count;
                return;
            }
        }
        start_run(t);
    }

    /// push_back for a wide bin, or for a trace that does not fit a packed
    /// one, which widens it first.
    [[gnu::noinline]] void push_back_wide(const EligibilityTrace& trace, TraceChunkPool& pool) {
        if (layout_.packed) widen(pool);
        const std::size_t capacity = kChunkTraces / 2;
        const std::size_t position = head_ + size_;
        const std::size_t c = position / capacity;
        if (c == chunks_.size()) add_chunk(pool);
        TraceChunk& chunk = *chunks_[c];
        const std::size_t i = position % capacity;
        if (i % 16 == 0) {
            prefetch_line_at<true>(chunk.keys + i, kWriteAhead);
            prefetch_line_at<true>(chunk.keys + capacity + i, kWriteAhead);
            prefetch_line_at<true>(chunk.values + i, kWriteAhead);
        }
        chunk.keys[i] = trace.group_position;
        chunk.keys[capacity + i] = trace.synapse_index;
        chunk.values[i] = trace.value;
        ++size_;
        count_in_run(trace.t);
    }

    [[gnu::noinline]] void add_chunk(TraceChunkPool& pool) { chunks_.push_back(pool.take()); }

    /// Stores the held traces apart, group position and index, in the same
    /// order, so that any trace fits.
    [[gnu::noinline]] void widen(TraceChunkPool& pool) {
        std::vector<EligibilityTrace> held;
        held.reserve(size_);
        append_to(held);
        clear(pool);
        set_layout(TraceLayout{});
        for (const EligibilityTrace& trace : held) push_back_wide(trace, pool);
    }

    /// Forgets the first `n` traces and gives the chunks they emptied to the pool.
    void drop_front(std::size_t n, TraceChunkPool& pool) {
        const std::size_t capacity = std::size_t{1} << chunk_shift_;
        head_ += n;
        size_ -= n;
        while (head_ >= capacity || (size_ == 0 && !chunks_.empty())) {
            pool.give(std::move(chunks_.front()));
            chunks_.pop_front();
            head_ = head_ >= capacity ? head_ - capacity : 0;
        }
        if (size_ == 0) head_ = 0;
    }

    RingQueue<std::unique_ptr<TraceChunk>> chunks_;  ///< front chunk holds the oldest trace
    RingQueue<Run> runs_;                            ///< runs of equal tick, oldest first
    std::size_t head_ = 0;  ///< offset of the oldest trace in chunks_.front()
    std::size_t size_ = 0;
    TraceLayout layout_;             ///< wide until the queue sets one
    std::uint64_t group_limit_ = 0;  ///< packed: 2^group_bits; wide: 0
    std::uint64_t index_limit_ = 0;  ///< packed: 2^index_bits; wide: 0
    std::size_t chunk_shift_ = 12;   ///< log2 of the traces a chunk holds
};

}  // namespace synaptor
