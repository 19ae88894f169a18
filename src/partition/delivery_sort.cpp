// The sort of a due batch by target neuron: a counting sort, in one pass for
// a batch that fits in cache and in two for a larger one (spread into
// buckets by the high bits of the neuron, then each bucket by the low bits).
// Runs on the layer's worker thread.
#include "partition/delivery_sort.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace synaptor {
namespace {

/// What the first read of a batch learns besides its counts.
struct BatchSummary {
    bool in_run = true;
    std::size_t num_plastic = 0;
    std::uint32_t max_group = 0;
    std::uint32_t max_synapse = 0;

    void store(DeliveryScratch& scratch) const {
        scratch.num_plastic = num_plastic;
        scratch.max_group = max_group;
        scratch.max_synapse = max_synapse;
    }
};

/// Reads the batch once: checks every neuron against `num_neurons`, notes
/// what its plastic events name, and calls `count(post_index)` per event.
/// Stops counting a run at its first event outside the layer run.
template <class Count>
[[gnu::always_inline]] inline BatchSummary summarise(const EventBatch& batch,
                                                     std::size_t num_neurons, Count&& count) {
    BatchSummary summary;
    batch.for_each_run([&](const SynapticEvent* events, std::size_t n) {
        // Locals, not the summary's fields: the counters are 32-bit words
        // too, and the compiler would otherwise store and reload the
        // maxima around every count.
        std::size_t num_plastic = 0;
        std::uint32_t max_group = 0;
        std::uint32_t max_synapse = 0;
        std::size_t i = 0;
        for (; i < n; ++i) {
            const SynapticEvent& event = events[i];
            if (event.post_index >= num_neurons) [[unlikely]] {
                break;
            }
            count(event.post_index);
            if (event.has_timing_plasticity()) {
                ++num_plastic;
                max_group = std::max(max_group, event.group_index());
                max_synapse = std::max(max_synapse, event.synapse_index);
            }
        }
        if (i < n) summary.in_run = false;
        summary.num_plastic += num_plastic;
        summary.max_group = std::max(summary.max_group, max_group);
        summary.max_synapse = std::max(summary.max_synapse, max_synapse);
    });
    return summary;
}

/// The counting sort in one pass: a counter per neuron, each event stored
/// straight at its place. Cheap while the counters and the sorted batch stay
/// in cache; beyond, every store is a miss to a random place.
bool sort_at_once(DeliveryScratch& scratch, const EventBatch& batch, std::size_t num_neurons) {
    std::vector<std::uint32_t>& start = scratch.neuron_start;
    start.assign(num_neurons + 1, 0);
    std::uint32_t* const counts = start.data();
    const BatchSummary summary =
        summarise(batch, num_neurons, [counts](std::uint32_t post) { ++counts[post + 1]; });
    if (!summary.in_run) return false;
    summary.store(scratch);
    std::uint32_t sum = 0;
    for (std::uint32_t& s : start) {
        sum += s;
        s = sum;
    }
    scratch.reserve(batch.size());
    SynapticEvent* const sorted = scratch.events.data();
    batch.for_each_run([&](const SynapticEvent* events, std::size_t count) {
        for (std::size_t j = 0; j < count; ++j) sorted[counts[events[j].post_index]++] = events[j];
    });
    return true;
}

/// The bucket of neuron p is p >> shift, with the smallest shift that leaves
/// at most about one bucket per kBucketEvents events (and at most
/// kMaxBuckets): a bucket's events then fit in the second-level cache, and
/// the buckets' write heads in the first.
unsigned bucket_shift(std::size_t n, std::size_t num_neurons) {
    const std::size_t wanted = std::clamp<std::size_t>(n / DeliveryScratch::kBucketEvents, 1,
                                                       DeliveryScratch::kMaxBuckets);
    unsigned shift = 0;
    while (((num_neurons - 1) >> shift) + 1 > wanted) ++shift;
    return shift;
}

/// Spreads the batch over `sorted` by bucket (bucket b written from
/// bucket_start[b] on, `head` its write positions).
void spread(const EventBatch& batch, unsigned shift, std::uint32_t* head, SynapticEvent* sorted) {
    batch.for_each_run([&](const SynapticEvent* events, std::size_t count) {
        for (std::size_t j = 0; j < count; ++j) {
            sorted[head[events[j].post_index >> shift]++] = events[j];
        }
    });
}

#if defined(__SSE2__)
/// Spreads the batch over `sorted` by bucket (bucket b written from
/// bucket_start[b] on, `head` its write positions). A bucket's events are
/// gathered into a line of its own first (in the first-level cache), and a
/// full line goes out with stores that bypass the cache: a bucket is read
/// again only after the whole batch has been spread, so reading each line
/// before writing it (as ordinary stores do) would only add a read of the
/// whole array. The lines follow the array's own lines, which start `skew`
/// events in.
void spread_streamed(const EventBatch& batch, unsigned shift, const std::uint32_t* bucket_start,
                     std::uint32_t* head, std::size_t num_buckets,
                     DeliveryScratch::BucketLine* lines, SynapticEvent* sorted) {
    static_assert(sizeof(SynapticEvent) == sizeof(__m128i));
    const std::uint32_t skew = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(sorted) /
                                                          sizeof(SynapticEvent) % 4);
    batch.for_each_run([&](const SynapticEvent* events, std::size_t count) {
        for (std::size_t j = 0; j < count; ++j) {
            const std::uint32_t b = events[j].post_index >> shift;
            const std::uint32_t at = head[b]++;
            SynapticEvent* const line = lines[b].events;
            const std::uint32_t slot = (at + skew) % 4;
            line[slot] = events[j];
            if (slot != 3) continue;
            const std::uint32_t first = at - 3;  // at >= 3 when the test holds
            if (at - bucket_start[b] >= 3) [[likely]] {
                for (std::uint32_t k = 0; k < 4; ++k) {
                    _mm_stream_si128(reinterpret_cast<__m128i*>(sorted + first + k),
                                     _mm_load_si128(reinterpret_cast<const __m128i*>(line + k)));
                }
            } else {
                // The line begins in the bucket before: only this bucket's part.
                for (std::uint32_t i = bucket_start[b]; i <= at; ++i) {
                    sorted[i] = line[(i + skew) % 4];
                }
            }
        }
    });
    _mm_sfence();
    // What is left of each bucket's last line.
    for (std::size_t b = 0; b < num_buckets; ++b) {
        const std::uint32_t end = head[b];
        const std::uint32_t left = std::min((end + skew) % 4, end - bucket_start[b]);
        for (std::uint32_t i = end - left; i < end; ++i) {
            sorted[i] = lines[b].events[(i + skew) % 4];
        }
    }
}
#endif

/// The counting sort in two passes: the events are first spread over the
/// sorted array by bucket (a few hundred write heads, each writing in
/// sequence), then each bucket, copied aside, is counting-sorted back into
/// its own range, all of it in cache. Each pass keeps the order it reads, so
/// the events of a neuron keep their batch order.
bool sort_in_buckets(DeliveryScratch& scratch, const EventBatch& batch, std::size_t num_neurons) {
    const std::size_t n = batch.size();
    const unsigned shift = bucket_shift(n, num_neurons);
    const std::size_t num_buckets = ((num_neurons - 1) >> shift) + 1;
    std::vector<std::uint32_t>& bucket_start = scratch.bucket_start;
    bucket_start.assign(num_buckets + 1, 0);
    std::uint32_t* const counts = bucket_start.data();
    const BatchSummary summary = summarise(
        batch, num_neurons, [counts, shift](std::uint32_t post) { ++counts[(post >> shift) + 1]; });
    if (!summary.in_run) return false;
    summary.store(scratch);
    std::uint32_t sum = 0;
    std::uint32_t largest = 0;
    for (std::uint32_t& s : bucket_start) {
        largest = std::max(largest, s);
        sum += s;
        s = sum;
    }
    scratch.reserve(n);
    scratch.reserve_buckets(num_buckets, largest, std::min(std::size_t{1} << shift, num_neurons));
    SynapticEvent* const sorted = scratch.events.data();
    std::uint32_t* const head = scratch.bucket_head.data();
    std::copy(bucket_start.begin(), bucket_start.end() - 1, head);
#if defined(__SSE2__)
    if (n >= scratch.min_streamed_batch) {
        spread_streamed(batch, shift, bucket_start.data(), head, num_buckets,
                        scratch.bucket_lines.data(), sorted);
    } else {
        spread(batch, shift, head, sorted);
    }
#else
    spread(batch, shift, head, sorted);
#endif

    SynapticEvent* const aside = scratch.bucket_events.data();
    std::uint32_t* const place = scratch.bucket_neurons.data();
    std::vector<std::uint32_t>& ends = scratch.neuron_start;
    ends.resize(num_neurons + 1);
    for (std::size_t b = 0; b < num_buckets; ++b) {
        const std::uint32_t lo = static_cast<std::uint32_t>(b << shift);
        const std::size_t width = std::min(std::size_t{1} << shift, num_neurons - lo);
        const std::uint32_t begin = bucket_start[b];
        const std::size_t size = bucket_start[b + 1] - begin;
        std::fill(place, place + width, 0u);
        for (std::size_t i = 0; i < size; ++i) {
            const SynapticEvent& event = sorted[begin + i];
            aside[i] = event;
            ++place[event.post_index - lo];
        }
        std::uint32_t at = begin;
        for (std::size_t m = 0; m < width; ++m) {
            const std::uint32_t c = place[m];
            place[m] = at;
            at += c;
        }
        for (std::size_t i = 0; i < size; ++i) sorted[place[aside[i].post_index - lo]++] = aside[i];
        // Each place now lies one past its neuron's last event.
        std::copy(place, place + width, ends.begin() + lo);
    }
    ends[num_neurons] = static_cast<std::uint32_t>(n);
    return true;
}

}  // namespace

bool sort_by_neuron(DeliveryScratch& scratch, const EventBatch& batch, std::size_t num_neurons) {
    if (batch.size() >= scratch.min_bucketed_batch && num_neurons != 0) {
        return sort_in_buckets(scratch, batch, num_neurons);
    }
    return sort_at_once(scratch, batch, num_neurons);
}

}  // namespace synaptor
