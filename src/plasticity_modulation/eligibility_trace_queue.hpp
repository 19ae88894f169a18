// The eligibility traces a modulator holds, oldest first. Traces are appended
// in pairing order with one fixed delay, so equal eligibility ticks come in
// runs; a run stores its tick once, and each trace keeps only its synapse (a
// group position and an index within the group, 32 bits each) and its value,
// 12 bytes in all. The traces live in fixed-size chunks: appending never
// copies what is held, and chunks emptied at the front are released (one is
// kept for reuse), so the storage follows the number of live traces instead
// of keeping its peak. Owned by one thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

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

class EligibilityTraceQueue {
public:
    /// Traces per chunk: 96 KiB of storage.
    static constexpr std::size_t kChunkTraces = 8192;
    static constexpr std::uintptr_t kWriteAhead = 256;

    EligibilityTraceQueue() = default;
    EligibilityTraceQueue(const EligibilityTraceQueue& other) { *this = other; }
    EligibilityTraceQueue& operator=(const EligibilityTraceQueue& other) {
        if (this == &other) return *this;
        clear();
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

    /// Appends a trace at the back. Made for every pairing under a plasticity
    /// modulator, so it is inlined there; a new chunk or a new tick's run is
    /// the rare case and stays out of line.
    [[gnu::always_inline]] void push_back(const EligibilityTrace& trace) {
        const std::size_t position = head_ + size_;
        const std::size_t c = position / kChunkTraces;
        if (c == chunks_.size()) [[unlikely]] {
            add_chunk();
        }
        Chunk& chunk = *chunks_[c];
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

    /// The i-th trace from the front (not for hot paths).
    EligibilityTrace operator[](std::size_t i) const {
        std::size_t before = 0;
        std::uint64_t t = 0;
        for (std::size_t r = 0; r < runs_.size(); ++r) {
            if (i < before + runs_[r].count) {
                t = runs_[r].t;
                break;
            }
            before += runs_[r].count;
        }
        const std::size_t position = head_ + i;
        const Chunk& chunk = *chunks_[position / kChunkTraces];
        const std::size_t k = position % kChunkTraces;
        return EligibilityTrace{t, chunk.group_positions[k], chunk.synapse_indices[k],
                                chunk.values[k]};
    }
    EligibilityTrace front() const { return (*this)[0]; }

    /// Removes traces from the front for as long as `stale(t)` holds for the
    /// front trace's tick.
    template <class Pred>
    void pop_front_while(Pred&& stale) {
        std::size_t dropped = 0;
        while (!runs_.empty() && stale(runs_.front().t)) {
            dropped += runs_.front().count;
            runs_.pop_front();
        }
        drop_front(dropped);
    }

    /// Calls `f(span)` for every held trace, front to back, in spans that
    /// each share one tick and lie in one chunk.
    template <class F>
    void for_each_span(F&& f) const {
        std::size_t position = head_;
        for (std::size_t r = 0; r < runs_.size(); ++r) {
            const Run run = runs_[r];
            std::uint64_t left = run.count;
            while (left != 0) {
                const Chunk& chunk = *chunks_[position / kChunkTraces];
                const std::size_t k = position % kChunkTraces;
                const std::size_t n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunkTraces - k));
                f(EligibilityTraceSpan{run.t, chunk.group_positions + k, chunk.synapse_indices + k,
                                       chunk.values + k, n});
                position += n;
                left -= n;
            }
        }
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

    void clear() {
        runs_.clear();
        drop_front(size_);
    }

    /// Chunks in use or kept for reuse: the storage held is this times
    /// kChunkTraces traces.
    std::size_t chunks_held() const { return chunks_.size() + (spare_ ? 1 : 0); }

private:
    struct Chunk {
        std::uint32_t group_positions[kChunkTraces];
        std::uint32_t synapse_indices[kChunkTraces];
        float values[kChunkTraces];
    };
    struct Run {
        std::uint64_t t = 0;
        std::uint64_t count = 0;
    };

    [[gnu::noinline]] void start_run(std::uint64_t t) { runs_.push_back(Run{t, 1}); }

    [[gnu::noinline]] void add_chunk() {
        std::unique_ptr<Chunk> chunk = spare_ ? std::move(spare_) : std::make_unique<Chunk>();
        chunks_.push_back(std::move(chunk));
    }

    /// Forgets the first `n` traces and releases the chunks they emptied.
    void drop_front(std::size_t n) {
        head_ += n;
        size_ -= n;
        while (head_ >= kChunkTraces || (size_ == 0 && !chunks_.empty())) {
            std::unique_ptr<Chunk> chunk = std::move(chunks_.front());
            chunks_.pop_front();
            if (!spare_) spare_ = std::move(chunk);
            head_ = head_ >= kChunkTraces ? head_ - kChunkTraces : 0;
        }
        if (size_ == 0) head_ = 0;
    }

    RingQueue<std::unique_ptr<Chunk>> chunks_;  ///< front chunk holds the oldest trace
    std::unique_ptr<Chunk> spare_;              ///< one emptied chunk kept for reuse
    RingQueue<Run> runs_;                       ///< runs of equal tick, oldest first
    std::size_t head_ = 0;                      ///< offset of the oldest trace in chunks_.front()
    std::size_t size_ = 0;
};

}  // namespace synaptor
