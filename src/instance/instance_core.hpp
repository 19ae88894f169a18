// InstanceCore: one running network. Validates the parameters, lays out neuron
// and channel ids, starts one worker thread per partition and runs ticks:
// checks the inputs, broadcasts one TickCommand on the command bus, merges one
// PartitionTickResult per worker. All operations run on the calling thread;
// the destructor closes the bus and joins the workers in partition order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "instance/neuron_recorder.hpp"
#include "instance/synapse_recorder.hpp"
#include "params/params.hpp"
#include "partition/tick_messages.hpp"
#include "util/result.hpp"

namespace synaptor {

struct InstanceCoreOptions;
class TickExchange;
struct Partition;

struct TickInput {
    std::vector<std::uint64_t> spiking_in_channel_ids;
    std::vector<std::uint64_t> force_spiking_out_channel_ids;
    std::vector<std::uint64_t> force_spiking_nids;
    float reward = 0.0f;
    bool extract_state_snapshot = false;
    /// Spread over several processes only: a hash of the caller's state that
    /// shaped this input (the stimulation rate), compared between processes,
    /// and whether the batch running this tick wants to stop after it.
    std::uint64_t caller_fingerprint = 0;
    bool stop_requested = false;
    /// Spread over several processes only: whether the caller has learning
    /// switched on, compared between processes (the partitions hold the
    /// switch themselves).
    bool plasticity_enabled = true;
};

/// Voltages of every neuron in nid order, and the synapses as four parallel lists.
struct StateSnapshot {
    std::vector<float> membrane_voltages;
    std::vector<std::uint64_t> pre_syn_nids;
    std::vector<std::uint64_t> post_syn_nids;
    std::vector<std::uint8_t> conduction_delays;
    std::vector<float> weights;
};

struct TickResult {
    std::uint64_t t = 0;  ///< index of the tick just run
    std::vector<std::uint64_t> spiking_out_channel_ids;
    std::vector<std::uint64_t> spiking_nids;
    std::uint64_t synaptic_transmission_count = 0;
    std::optional<StateSnapshot> state_snapshot;
    /// Spread over several processes only: some process asked to stop its
    /// batch after this tick.
    bool stop_requested = false;
};

class InstanceCore {
public:
    /// Validates, starts the workers and returns once each has built its
    /// partition. A validation failure is an error text ("invalid instance
    /// parameters, " + message); a refused thread is a panic whose text begins
    /// with "failed to spawn thread"; a partition that did not fit in memory
    /// throws std::bad_alloc, another failed build is a panic with its text.
    static Result<std::unique_ptr<InstanceCore>> create(InstanceParams params);

    ~InstanceCore();
    InstanceCore(const InstanceCore&) = delete;
    InstanceCore& operator=(const InstanceCore&) = delete;

    /// Runs one tick. Bad ids are an error text and change nothing; an internal
    /// failure (a worker that ended, a missing snapshot, a call from a forked
    /// child process) is a panic.
    Result<TickResult> tick(const TickInput& input);

    /// Replaces the recording from the current tick on (see
    /// NeuronRecorder::start) and returns the samples of the replaced one not
    /// yet taken. Spread over several processes it is collective: every
    /// process checks the request, then all agree on it before any acts, so
    /// a bad request is the same error everywhere, a request that differs
    /// between processes an error on every process, and a lack of memory
    /// std::bad_alloc on every process; each leaves the recording as it was.
    Result<std::optional<RecordedTraces>> record(const RecordingRequest& request);

    /// The recording of neuron state that the ticks sample.
    NeuronRecorder& recorder();
    const NeuronRecorder& recorder() const;
    /// The recording of synapse weights that the ticks sample.
    SynapseRecorder& synapse_recorder();
    const SynapseRecorder& synapse_recorder() const;

    std::uint64_t t() const { return t_; }
    std::uint64_t num_neurons() const { return num_neurons_; }
    /// Neurons of each layer, in document order; layer l's first nid is the
    /// sum of the sizes before it.
    const std::vector<std::uint64_t>& layer_sizes() const { return layer_sizes_; }
    std::uint64_t num_in_channels() const { return num_in_channels_; }
    std::uint64_t num_out_channels() const;
    /// Partitions run by this core.
    std::uint64_t num_partitions() const { return num_partitions_; }
    /// Partitions of the whole network, on every process.
    std::uint64_t num_partitions_total() const { return num_partitions_total_; }
    /// The exchange with the other processes holding the network; null when
    /// this core holds all of it.
    const TickExchange* exchange() const;
    /// The same exchange, for calls between ticks that every process makes
    /// together (reading synapses).
    TickExchange* exchange_for_calls();

    /// Hash of the parameters that decide the network (everything but the
    /// thread settings), taken at creation.
    std::uint64_t fingerprint() const { return fingerprint_; }

    /// Runs `visit` on the calling thread with every partition, in partition
    /// order, while the workers wait between two ticks; they go on once it
    /// returns or throws. A failed instance panics as tick() does.
    void visit_partitions(const std::function<void(const std::vector<Partition*>&)>& visit);

    /// Every nid that spiked in the last tick, ascending: the next tick propagates them.
    const std::vector<std::uint64_t>& last_spiking_nids() const;
    /// Puts the instance at tick `t` with the given spikes of the tick
    /// before; for restoring a saved state into the partitions.
    void set_tick_state(std::uint64_t t, std::vector<std::uint64_t> last_spiking_nids);

    /// Marks the instance failed: this and every later call panic with `text`.
    [[noreturn]] void fail(std::string text);

private:
    friend Result<std::unique_ptr<InstanceCore>> create_instance_core(
        InstanceParams params, const InstanceCoreOptions& options);

    InstanceCore();
    std::optional<std::string> check_ids(const TickInput& input) const;
    /// What a tick samples: the plan of the neuron recording (null when the
    /// tick is not sampled) and the synapse weights' plan and row.
    struct TickSamples {
        std::shared_ptr<const RecordingPlan> neurons;
        SynapseRecorder::TickSample weights;
    };
    /// Runs this core's partitions, sampling what `samples` holds; their
    /// results are left in the Impl.
    void run_partitions(const TickInput& input, TickSamples samples);
    /// Before a tick of a core spread over several processes: the plans of
    /// the tick's samples, with room made for them here and in the exchange.
    /// Collective on sampled ticks; std::bad_alloc on every process when one
    /// has no room, before anything ran.
    TickSamples prepare_distributed_samples(bool runs_here);
    /// Collects spikes and transmissions of the partitions' results.
    void collect_local(TickResult& tick_result);
    Result<TickResult> tick_distributed(const TickInput& input,
                                        std::optional<std::string> rejection);
    TickResult finish_tick(TickResult tick_result);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::uint64_t num_in_channels_ = 0;
    std::uint64_t num_neurons_ = 0;
    std::vector<std::uint64_t> layer_sizes_;
    std::uint64_t num_partitions_ = 0;
    std::uint64_t num_partitions_total_ = 0;
    std::uint64_t t_ = 0;
    std::uint64_t fingerprint_ = 0;
};

}  // namespace synaptor
