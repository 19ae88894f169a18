// Instance: what the Python Instance wraps. Owns the InstanceCore together
// with the stimulus state (generator, rates, pending schedules) and runs
// single ticks and batches of ticks on top of the core's tick. Plain C++,
// used on the calling (Python) thread only; the core's workers never see it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "instance/instance_core.hpp"
#include "instance/stimulus.hpp"
#include "random/chacha_rng.hpp"
#include "util/result.hpp"

namespace synaptor {

struct InstanceSection;
struct Partition;
class ByteWriter;

/// One schedule of (tick, id) entries from one apply_stimulus call, delivered
/// from the front only.
struct PendingQueue {
    struct Entry {
        std::uint64_t t;
        std::uint64_t id;
    };
    std::vector<Entry> entries;
    std::size_t head = 0;

    bool empty() const { return head == entries.size(); }
};

class Instance {
public:
    /// Takes over a created core; `seed` feeds only the stimulus generator.
    Instance(std::unique_ptr<InstanceCore> core, std::uint64_t seed);

    /// Schedules the stimulus relative to the current t. Nothing is checked:
    /// ids are checked by the tick that delivers them.
    void apply_stimulus(const Stimulus& stimulus);

    /// Appends random (non-coherent) and due scheduled spikes to `input` for
    /// the tick about to run. Consumes the entries and draws even if that tick
    /// is then rejected.
    void apply_tick_stimulus(TickInput& input);

    /// One tick with the caller's inputs plus the stimulus; bad ids are an
    /// error text.
    Result<TickResult> tick(TickInput input);

    /// Asked between the ticks of a batch whether to stop there (the Python
    /// layer checks for pending signals such as Ctrl-C).
    using StopCheck = std::function<bool()>;
    /// Wall time between two questions to a StopCheck (the clock is read at most once per tick).
    static constexpr std::chrono::milliseconds kStopCheckInterval{50};

    /// Runs ticks while t < t_end with reward_rate as reward. Spread over
    /// several processes, a stop answered here ends the batch after the next
    /// tick on every process, and the batch ends early also when another
    /// process asked to stop (t is then below t_end). A rejected id is
    /// an internal failure here (the ids came from stored schedules). When
    /// `stop` answers true the batch ends before its next tick: every tick run
    /// is complete, t is the next tick to run, and the result holds the ticks
    /// run so far.
    BatchTickResult tick_until(std::uint64_t t_end, const StopCheck& stop = {});
    /// tick_until appending to the caller's `batch` (whose start_t it sets)
    /// tick by tick: when a tick fails, the exception leaves `batch` holding
    /// every tick completed before it, end_t being the failed tick.
    void tick_until_into(std::uint64_t t_end, BatchTickResult& batch, const StopCheck& stop = {});
    /// The same ticks without output; returns false when `stop` ended it early.
    bool tick_until_ignore_output(std::uint64_t t_end, const StopCheck& stop = {});

    /// Writes the complete state of the network, the stimulus and the tick to
    /// `path`, through a temporary file in the same directory that is renamed
    /// into place. A file that cannot be written is a StateFileError; a
    /// failed instance panics.
    void save_state(const std::string& path);
    /// Continues from a state saved by an instance of the same network. The
    /// whole file is checked before anything changes: a bad or foreign file
    /// is a StateFileError and leaves the instance as it was.
    void restore_state(const std::string& path);

    /// Whether learning changes weights: long-term STDP (at once or through
    /// eligibility traces) and dopamine flushes. True from creation.
    bool plasticity_enabled() const { return plasticity_enabled_; }
    /// Switches learning for every partition from the next tick on. Switched
    /// off, pairings make no long-term change and no trace, and flushes spend
    /// their samples and drop stale traces without changing a weight;
    /// short-term plasticity goes on. A failed instance panics. Spread over
    /// several processes each switches its own partitions, communicating
    /// nothing; every process must switch alike, which the exchange of the
    /// next tick checks.
    void set_plasticity_enabled(bool enabled);

    std::uint64_t t() const { return core_->t(); }
    InstanceCore& core() { return *core_; }
    NeuronRecorder& recorder() { return core_->recorder(); }
    const NeuronRecorder& recorder() const { return core_->recorder(); }
    std::uint64_t num_neurons() const { return core_->num_neurons(); }
    const InstanceCore& core() const { return *core_; }

    double non_coherent_stimulation_rate = 0.0;
    float reward_rate = 0.0f;

private:
    TickResult tick_batch_step(bool stop_requested = false);
    // The instance's own share of a state file (checkpoint.cpp).
    void write_instance_section(ByteWriter& out) const;
    void apply_instance_section(InstanceSection section, const std::vector<Partition*>& partitions);
    // Save and restore over every process of a spread network (checkpoint_spread.cpp).
    void save_state_spread(const std::string& path, TickExchange& exchange);
    void restore_state_spread(const std::string& path, TickExchange& exchange);
    void append_random_spikes(std::vector<std::uint64_t>& force_spiking_nids);

    std::unique_ptr<InstanceCore> core_;
    ChaChaRng stimulus_rng_;
    std::vector<std::uint64_t> all_nids_;
    std::vector<PendingQueue> pending_in_channel_spikes_;
    std::vector<PendingQueue> pending_force_out_channel_spikes_;
    std::vector<PendingQueue> pending_force_neuron_spikes_;
    std::vector<std::uint64_t> subset_scratch_;
    TickInput batch_input_;           ///< retained input of tick_until's ticks
    bool plasticity_enabled_ = true;  ///< as every partition's layers hold it
};

}  // namespace synaptor
