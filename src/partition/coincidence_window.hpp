// The coincidence windows of a partition layer's neurons: the inputs each
// neuron received over synapses with STDP in its last ticks, which firing
// pairs with. They are kept tick by tick rather than neuron by neuron: the
// inputs of one tick, ordered by target neuron, lie together in one array, so
// that delivery appends them in sequence and a neuron that fires reads one
// short run per tick of its window.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace synaptor {

/// An input in a neuron's coincidence window: the synapse it arrived over,
/// named by its group's position in the layer's pre_syn_groups (the group's
/// key there is the pre-synaptic nid) and its index in that group, and the
/// tick it arrived.
struct RecentInput {
    std::uint64_t arrival_t = 0;
    std::uint32_t group_index = 0;
    std::uint32_t synapse_index = 0;

    bool operator==(const RecentInput&) const = default;
};

/// An input as a window tick holds it; the tick is the tick's.
struct WindowInput {
    std::uint32_t group_index = 0;
    std::uint32_t synapse_index = 0;
};
static_assert(sizeof(WindowInput) == 8);

/// How a window tick stores its inputs: with `group_bits` nonzero, one
/// 32-bit word each, the group position in the low `group_bits` bits and the
/// synapse index above (chosen when every input of the tick fits); with 0,
/// two words each, group position then synapse index.
struct PackedInputs {
    const std::uint32_t* words = nullptr;
    unsigned group_bits = 0;

    WindowInput operator[](std::size_t i) const {
        if (group_bits != 0) {
            const std::uint32_t w = words[i];
            return WindowInput{w & ((std::uint32_t{1} << group_bits) - 1), w >> group_bits};
        }
        return WindowInput{words[2 * i], words[2 * i + 1]};
    }
    const std::uint32_t* address(std::size_t i) const {
        return words + (group_bits != 0 ? i : 2 * i);
    }
};

/// One neuron's inputs of one tick, in delivery order.
struct WindowRun {
    std::uint64_t arrival_t = 0;
    PackedInputs inputs;
    std::size_t size = 0;
};

class CoincidenceWindows {
public:
    /// Notes an input delivered at tick t to neuron `post`. The inputs of a
    /// tick are noted during its delivery and filed by seal(); until then
    /// they are not visible to the reading calls below.
    void record(std::uint64_t t, std::uint32_t post, std::uint32_t group_index,
                std::uint32_t synapse_index) {
        if (open_.empty()) {
            open_t_ = t;
        } else if (t != open_t_ || post < open_.back().post) [[unlikely]] {
            note_out_of_order(t);
        }
        open_.push_back(OpenInput{post, WindowInput{group_index, synapse_index}});
    }

    /// Whether the inputs of tick t, `n` of them in a layer of `num_neurons`
    /// neurons, can be filed at once by file_dense: nothing else noted, no
    /// later tick filed, and enough inputs for a dense index.
    bool accepts_dense(std::uint64_t t, std::size_t n, std::size_t num_neurons) const {
        return open_.empty() && n != 0 && n <= kMaxTickInputs &&
               n * kDenseNeuronsPerInput >= num_neurons && (ticks_.empty() || ticks_.back().t < t);
    }

    /// Files the `n` inputs of tick t given already in neuron order, as
    /// noting them one by one would: input_at(i) is the i-th, ends[p] the end
    /// of neuron p's (p < num_neurons), and every group position is at most
    /// `max_group` and synapse index at most `max_synapse`. Only when
    /// accepts_dense(t, n, num_neurons); seal() follows as usual.
    template <class InputAt>
    void file_dense(std::uint64_t t, std::size_t num_neurons, const std::uint32_t* ends,
                    std::size_t n, std::uint32_t max_group, std::uint32_t max_synapse,
                    InputAt&& input_at) {
        Tick tick = take_spare();
        tick.t = t;
        prepare(tick, n, max_group, max_synapse);
        tick.dense = true;
        std::vector<std::uint32_t>().swap(tick.neurons);
        if (tick.start.capacity() > 2 * (num_neurons + 1) + 4096) {
            std::vector<std::uint32_t>().swap(tick.start);
        }
        tick.start.resize(num_neurons + 1);
        tick.start[0] = 0;
        std::copy(ends, ends + num_neurons, tick.start.begin() + 1);
        for (std::size_t i = 0; i < n; ++i) tick.put(i, input_at(i));
        ticks_.push_back(std::move(tick));
        filed_at_once_ += n;
    }

    /// Files the noted inputs for a layer of `num_neurons` neurons, then
    /// forgets the ticks before `oldest`, which no neuron will read again.
    void seal(std::size_t num_neurons, std::uint64_t oldest) {
        // Most ticks of a small network file nothing and forget nothing.
        if (open_.empty() && filed_at_once_ == 0 &&
            (ticks_.empty() || ticks_.front().t >= oldest) && filed_ + 1 < kTrimWindow) {
            ++filed_;
            return;
        }
        seal_and_trim(num_neurons, oldest);
    }

    /// Drops, from ticks that have just reached an age of 64, 128, 256, ...
    /// ticks at tick `now`, the inputs of neurons for which `fired_since(post,
    /// tick)` holds: firing has paired them, and they are never read again.
    /// Windows longer than 64 ticks then hold about what their neurons have
    /// not yet paired, at the cost of a pass over each tick at those ages.
    template <class FiredSince>
    void drop_paired(std::uint64_t now, std::size_t num_neurons, FiredSince&& fired_since) {
        // Ticks are in ascending order: usually even the oldest is younger.
        if (ticks_.empty() || ticks_.front().t > now ||
            now - ticks_.front().t < kFirstCompactionAge) {
            return;
        }
        bool changed = false;
        for (std::size_t i = 0; i < ticks_.size();) {
            Tick& tick = ticks_[i];
            const std::uint64_t age = now - tick.t;
            if (tick.t > now || age < kFirstCompactionAge || !std::has_single_bit(age)) {
                ++i;
                continue;
            }
            changed = true;
            open_.clear();
            for_each_input(tick, [&](std::uint32_t post, const WindowInput& input) {
                if (!fired_since(post, tick.t)) open_.push_back(OpenInput{post, input});
            });
            open_unordered_ = false;
            if (open_.empty()) {
                ticks_.erase(ticks_.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            build(tick, num_neurons);
            ++i;
        }
        open_.clear();
        if (changed) refresh_views();
    }

    /// The runs of neuron `post` at ticks from `from` on, oldest first,
    /// appended to `runs`.
    void append_runs_of(std::uint32_t post, std::uint64_t from, std::vector<WindowRun>& runs) const;

    /// Requests the index entries of neuron `post` in every held tick (a
    /// prefetch; the first step of reading its runs soon).
    void prefetch_index(std::uint32_t post) const;
    /// Requests the inputs of neuron `post` in every held tick, once its
    /// index entries have arrived (the second step).
    void prefetch_runs(std::uint32_t post) const;

    /// The inputs of neuron `post` at ticks from `from` on, oldest first.
    std::vector<RecentInput> inputs_of(std::uint32_t post, std::uint64_t from) const;

    /// Replaces every group position g by `renumber(g)`.
    template <class F>
    void renumber_groups(F&& renumber) {
        std::vector<WindowInput> inputs;
        for (Tick& tick : ticks_) {
            inputs.resize(tick.size);
            for (std::size_t i = 0; i < tick.size; ++i) {
                inputs[i] = tick.inputs()[i];
                inputs[i].group_index = renumber(inputs[i].group_index);
            }
            store(tick, inputs);
        }
        refresh_views();
        for (OpenInput& input : open_) input.input.group_index = renumber(input.input.group_index);
    }

    /// Forgets every input.
    void clear();

    /// Replaces the content by `inputs`: for each neuron (`posts`, parallel),
    /// its inputs oldest first, as inputs_of lists them.
    void assign(const std::vector<std::uint32_t>& posts, const std::vector<RecentInput>& inputs,
                std::size_t num_neurons);

    /// Number of inputs held (filed ticks only).
    std::size_t size() const;
    /// Bytes of storage held, for memory reports.
    std::size_t bytes_held() const;

private:
    struct OpenInput {
        std::uint32_t post;
        WindowInput input;
    };
    /// The inputs of one tick, by target neuron, each neuron's in delivery
    /// order. Dense ticks index every neuron (`start` has num_neurons + 1
    /// offsets); sparse ones list the neurons that have inputs (`neurons`,
    /// ascending) with `start` one offset longer.
    struct Tick {
        std::uint64_t t = 0;
        bool dense = false;
        unsigned group_bits = 0;  ///< see PackedInputs
        std::size_t size = 0;     ///< number of inputs
        std::vector<std::uint32_t> words;
        std::vector<std::uint32_t> start;
        std::vector<std::uint32_t> neurons;

        PackedInputs inputs() const { return PackedInputs{words.data(), group_bits}; }
        void put(std::size_t i, const WindowInput& input) {
            if (group_bits != 0) {
                words[i] = input.group_index | (input.synapse_index << group_bits);
            } else {
                words[2 * i] = input.group_index;
                words[2 * i + 1] = input.synapse_index;
            }
        }
    };

    /// What the reading calls need of a tick, in one small contiguous array
    /// (refreshed whenever the ticks change): firing reads it for every
    /// tick of the window.
    struct TickView {
        std::uint64_t t = 0;
        const std::uint32_t* start = nullptr;
        std::size_t num_starts = 0;
        const std::uint32_t* neurons = nullptr;  ///< null for a dense tick
        std::size_t num_neurons = 0;
        PackedInputs inputs;
    };

    void refresh_views();
    /// [begin, end) of neuron post's inputs in the tick of `view`.
    static bool run_in(const TickView& view, std::uint32_t post, std::size_t& begin,
                       std::size_t& end);
    static constexpr std::uint64_t kFirstCompactionAge = 64;
    /// A tick is indexed densely when it holds at least one input per this
    /// many neurons: its index then costs at most this many offsets per input.
    static constexpr std::size_t kDenseNeuronsPerInput = 4;
    static constexpr std::size_t kMaxTickInputs = 0xFFFFFFFFu;

    /// f(post, input) for every input of the tick, by neuron.
    template <class F>
    static void for_each_input(const Tick& tick, F&& f) {
        const PackedInputs inputs = tick.inputs();
        if (tick.dense) {
            for (std::size_t post = 0; post + 1 < tick.start.size(); ++post) {
                for (std::size_t i = tick.start[post]; i < tick.start[post + 1]; ++i) {
                    f(static_cast<std::uint32_t>(post), inputs[i]);
                }
            }
            return;
        }
        for (std::size_t j = 0; j < tick.neurons.size(); ++j) {
            for (std::size_t i = tick.start[j]; i < tick.start[j + 1]; ++i) {
                f(tick.neurons[j], inputs[i]);
            }
        }
    }
    /// Every this many filed ticks, spare storage larger than twice the
    /// largest tick of that stretch is given back.
    static constexpr std::size_t kTrimWindow = 256;

    void seal_and_trim(std::size_t num_neurons, std::uint64_t oldest);
    void note_out_of_order(std::uint64_t t);
    /// Stores `inputs` (in index order) as the tick's inputs, packed if they fit.
    static void store(Tick& tick, const std::vector<WindowInput>& inputs);
    /// Chooses the tick's packing for inputs up to these values and sizes its words.
    static void prepare(Tick& tick, std::size_t n, std::uint32_t max_group,
                        std::uint32_t max_synapse);
    void file_open(std::size_t num_neurons);
    void build(Tick& tick, std::size_t num_neurons);
    Tick take_spare();

    std::deque<Tick> ticks_;       ///< ascending tick
    std::vector<TickView> views_;  ///< one per tick, in the same order
    std::vector<Tick> spares_;
    std::uint64_t open_t_ = 0;
    std::vector<OpenInput> open_;
    bool open_unordered_ = false;
    std::vector<std::uint32_t> sort_next_;  ///< working storage of build()
    /// Largest tick filed since the last trim, and how many were filed.
    std::size_t recent_peak_ = 0;
    std::size_t filed_ = 0;
    std::size_t filed_at_once_ = 0;  ///< inputs filed by file_dense since the last seal
};

}  // namespace synaptor
