#include "partition/coincidence_window.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>

#include "util/panic.hpp"
#include "util/prefetch.hpp"

namespace synaptor {
namespace {

template <class T>
void release(std::vector<T>& v) {
    std::vector<T>().swap(v);
}

}  // namespace

void CoincidenceWindows::note_out_of_order(std::uint64_t t) {
    if (t != open_t_) {
        panic("coincidence window: inputs of ticks " + std::to_string(open_t_) + " and " +
              std::to_string(t) + " noted without filing the first");
    }
    open_unordered_ = true;
}

CoincidenceWindows::Tick CoincidenceWindows::take_spare() {
    if (spares_.empty()) return Tick{};
    Tick tick = std::move(spares_.back());
    spares_.pop_back();
    return tick;
}

bool CoincidenceWindows::run_in(const TickView& view, std::uint32_t post, std::size_t& begin,
                                std::size_t& end) {
    if (view.neurons == nullptr) {
        if (std::size_t{post} + 1 >= view.num_starts) return false;
        begin = view.start[post];
        end = view.start[post + 1];
        return begin != end;
    }
    const std::uint32_t* const last = view.neurons + view.num_neurons;
    const std::uint32_t* const at = std::lower_bound(view.neurons, last, post);
    if (at == last || *at != post) return false;
    const std::size_t i = static_cast<std::size_t>(at - view.neurons);
    begin = view.start[i];
    end = view.start[i + 1];
    return true;
}

void CoincidenceWindows::refresh_views() {
    views_.clear();
    for (const Tick& tick : ticks_) {
        views_.push_back(TickView{tick.t, tick.start.data(), tick.start.size(),
                                  tick.dense ? nullptr : tick.neurons.data(),
                                  tick.dense ? 0 : tick.neurons.size(), tick.inputs()});
    }
}

void CoincidenceWindows::prepare(Tick& tick, std::size_t n, std::uint32_t max_group,
                                 std::uint32_t max_synapse) {
    // One word per input when both fields fit in it together.
    const unsigned group_bits = std::max(1u, static_cast<unsigned>(std::bit_width(max_group)));
    const bool packed = group_bits < 32 && std::bit_width(max_synapse) <= 32 - group_bits;
    tick.group_bits = packed ? group_bits : 0;
    tick.size = n;
    const std::size_t num_words = packed ? n : 2 * n;
    // Storage kept from an earlier, much larger tick is given back.
    if (tick.words.capacity() > 2 * num_words + 4096) release(tick.words);
    tick.words.resize(num_words);
}

void CoincidenceWindows::store(Tick& tick, const std::vector<WindowInput>& inputs) {
    std::uint32_t max_group = 0;
    std::uint32_t max_synapse = 0;
    for (const WindowInput& input : inputs) {
        max_group = std::max(max_group, input.group_index);
        max_synapse = std::max(max_synapse, input.synapse_index);
    }
    prepare(tick, inputs.size(), max_group, max_synapse);
    for (std::size_t i = 0; i < inputs.size(); ++i) tick.put(i, inputs[i]);
}

void CoincidenceWindows::build(Tick& tick, std::size_t num_neurons) {
    const std::size_t n = open_.size();
    if (n > kMaxTickInputs) {
        panic("coincidence window: more than 2^32 - 1 inputs in one tick");
    }
    std::uint32_t max_post = 0;
    std::uint32_t max_group = 0;
    std::uint32_t max_synapse = 0;
    for (const OpenInput& input : open_) {
        max_post = std::max(max_post, input.post);
        max_group = std::max(max_group, input.input.group_index);
        max_synapse = std::max(max_synapse, input.input.synapse_index);
    }
    prepare(tick, n, max_group, max_synapse);
    release(tick.neurons);
    const std::size_t span = std::max<std::size_t>(num_neurons, std::size_t{max_post} + 1);
    tick.dense = n * kDenseNeuronsPerInput >= span;
    if (tick.dense) {
        // A counting sort: stable, so each neuron's inputs keep their order.
        std::vector<std::uint32_t>& start = tick.start;
        if (start.capacity() > 2 * (span + 1) + 4096) release(start);
        start.assign(span + 1, 0);
        for (const OpenInput& input : open_) ++start[input.post + 1];
        for (std::size_t i = 0; i < span; ++i) start[i + 1] += start[i];
        if (!open_unordered_) {
            for (std::size_t i = 0; i < n; ++i) tick.put(i, open_[i].input);
            return;
        }
        std::vector<std::uint32_t>& next = sort_next_;
        next.assign(start.begin(), start.end() - 1);
        for (const OpenInput& input : open_) tick.put(next[input.post]++, input.input);
        return;
    }
    if (open_unordered_) {
        std::stable_sort(open_.begin(), open_.end(),
                         [](const OpenInput& a, const OpenInput& b) { return a.post < b.post; });
    }
    if (tick.start.capacity() > 2 * (n + 1) + 4096) release(tick.start);
    tick.start.clear();
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 0 || open_[i].post != open_[i - 1].post) {
            tick.neurons.push_back(open_[i].post);
            tick.start.push_back(static_cast<std::uint32_t>(i));
        }
        tick.put(i, open_[i].input);
    }
    tick.start.push_back(static_cast<std::uint32_t>(n));
}

void CoincidenceWindows::file_open(std::size_t num_neurons) {
    // The tick's place among those filed: normally after the last. Inputs
    // noted for a tick already filed (a second delivery at that tick) come
    // after the ones it holds.
    if (ticks_.empty() || ticks_.back().t < open_t_) {
        Tick tick = take_spare();
        tick.t = open_t_;
        build(tick, num_neurons);
        ticks_.push_back(std::move(tick));
        return;
    }
    auto at = std::lower_bound(ticks_.begin(), ticks_.end(), open_t_,
                               [](const Tick& tick, std::uint64_t t) { return tick.t < t; });
    if (at != ticks_.end() && at->t == open_t_) {
        std::vector<OpenInput> merged;
        merged.reserve(at->size + open_.size());
        for_each_input(*at, [&](std::uint32_t post, const WindowInput& input) {
            merged.push_back(OpenInput{post, input});
        });
        merged.insert(merged.end(), open_.begin(), open_.end());
        open_.swap(merged);
        open_unordered_ = true;
        build(*at, num_neurons);
        return;
    }
    Tick tick = take_spare();
    tick.t = open_t_;
    build(tick, num_neurons);
    ticks_.insert(at, std::move(tick));
}

void CoincidenceWindows::seal_and_trim(std::size_t num_neurons, std::uint64_t oldest) {
    const std::size_t n = open_.size();
    bool changed = filed_at_once_ != 0;
    if (n != 0) {
        file_open(num_neurons);
        open_.clear();
        open_unordered_ = false;
        changed = true;
    }
    while (!ticks_.empty() && ticks_.front().t < oldest) {
        if (spares_.size() < 2) spares_.push_back(std::move(ticks_.front()));
        ticks_.pop_front();
        changed = true;
    }
    if (changed) refresh_views();
    // Storage follows the work: what a burst needed is not kept for good.
    recent_peak_ = std::max(recent_peak_, n + filed_at_once_);
    filed_at_once_ = 0;
    if (++filed_ < kTrimWindow) return;
    if (open_.capacity() > 2 * recent_peak_ + 4096) release(open_);
    for (Tick& spare : spares_) {
        if (spare.words.capacity() > 4 * recent_peak_ + 4096) spare = Tick{};
    }
    filed_ = 0;
    recent_peak_ = 0;
}

void CoincidenceWindows::append_runs_of(std::uint32_t post, std::uint64_t from,
                                        std::vector<WindowRun>& runs) const {
    std::size_t first = views_.size();
    while (first > 0 && views_[first - 1].t >= from) --first;
    for (std::size_t v = first; v < views_.size(); ++v) {
        const TickView& view = views_[v];
        std::size_t begin = 0;
        std::size_t end = 0;
        if (run_in(view, post, begin, end)) {
            runs.push_back(
                WindowRun{view.t, PackedInputs{view.inputs.address(begin), view.inputs.group_bits},
                          end - begin});
        }
    }
}

void CoincidenceWindows::prefetch_index(std::uint32_t post) const {
    for (const TickView& view : views_) {
        if (view.neurons == nullptr && std::size_t{post} + 1 < view.num_starts) {
            prefetch_line(view.start + post);
        }
    }
}

void CoincidenceWindows::prefetch_runs(std::uint32_t post) const {
    for (const TickView& view : views_) {
        if (view.neurons == nullptr && std::size_t{post} + 1 < view.num_starts) {
            prefetch_line(view.inputs.address(view.start[post]));
        }
    }
}

std::vector<RecentInput> CoincidenceWindows::inputs_of(std::uint32_t post,
                                                       std::uint64_t from) const {
    std::vector<WindowRun> runs;
    append_runs_of(post, from, runs);
    std::vector<RecentInput> inputs;
    for (const WindowRun& run : runs) {
        for (std::size_t i = 0; i < run.size; ++i) {
            const WindowInput input = run.inputs[i];
            inputs.push_back(RecentInput{run.arrival_t, input.group_index, input.synapse_index});
        }
    }
    return inputs;
}

void CoincidenceWindows::clear() {
    ticks_.clear();
    views_.clear();
    spares_.clear();
    open_.clear();
    open_unordered_ = false;
}

void CoincidenceWindows::assign(const std::vector<std::uint32_t>& posts,
                                const std::vector<RecentInput>& inputs, std::size_t num_neurons) {
    clear();
    // Each neuron's inputs are oldest first, and neurons are listed in any
    // order: sorting by tick, stably, leaves each tick's inputs of one neuron
    // in their order.
    std::vector<std::size_t> order(inputs.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return inputs[a].arrival_t < inputs[b].arrival_t;
    });
    for (std::size_t j = 0; j < order.size();) {
        open_t_ = inputs[order[j]].arrival_t;
        for (; j < order.size() && inputs[order[j]].arrival_t == open_t_; ++j) {
            const RecentInput& input = inputs[order[j]];
            open_.push_back(
                OpenInput{posts[order[j]], WindowInput{input.group_index, input.synapse_index}});
        }
        open_unordered_ = true;
        seal(num_neurons, 0);
    }
}

std::size_t CoincidenceWindows::size() const {
    std::size_t n = 0;
    for (const Tick& tick : ticks_) n += tick.size;
    return n;
}

std::size_t CoincidenceWindows::bytes_held() const {
    const auto bytes = [](const Tick& tick) {
        return (tick.words.capacity() + tick.start.capacity() + tick.neurons.capacity()) *
               sizeof(std::uint32_t);
    };
    std::size_t n =
        open_.capacity() * sizeof(OpenInput) + sort_next_.capacity() * sizeof(std::uint32_t);
    for (const Tick& tick : ticks_) n += bytes(tick);
    for (const Tick& tick : spares_) n += bytes(tick);
    return n;
}

}  // namespace synaptor
