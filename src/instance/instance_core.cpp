#include "instance/instance_core.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "instance/build_report.hpp"
#include "instance/checkpoint.hpp"
#include "instance/command_bus.hpp"
#include "instance/fork_guard.hpp"
#include "instance/instance_core_impl.hpp"
#include "instance/instance_core_options.hpp"
#include "instance/result_channel.hpp"
#include "instance/snapshot_assembly.hpp"
#include "instance/tick_exchange.hpp"
#include "instance/wait_policy.hpp"
#include "instance/worker.hpp"
#include "params/validate_params.hpp"
#include "partition/partition_tick.hpp"
#include "util/available_cpus.hpp"
#include "util/panic.hpp"

namespace synaptor {

namespace {

const char* const kForkedText =
    "instance used in a forked child process; its worker threads exist only in the process "
    "that created it";

}  // namespace

InstanceCore::InstanceCore() = default;
InstanceCore::~InstanceCore() = default;

std::uint64_t InstanceCore::num_out_channels() const { return impl_->num_out_channels; }
NeuronRecorder& InstanceCore::recorder() { return impl_->recorder; }
const NeuronRecorder& InstanceCore::recorder() const { return impl_->recorder; }
SynapseRecorder& InstanceCore::synapse_recorder() { return impl_->synapse_recorder; }
const SynapseRecorder& InstanceCore::synapse_recorder() const { return impl_->synapse_recorder; }

const TickExchange* InstanceCore::exchange() const { return impl_->exchange.get(); }
TickExchange* InstanceCore::exchange_for_calls() { return impl_->exchange.get(); }

Result<std::unique_ptr<InstanceCore>> InstanceCore::create(InstanceParams params) {
    return create_instance_core(std::move(params), InstanceCoreOptions{});
}

Result<std::unique_ptr<InstanceCore>> create_instance_core(InstanceParams params,
                                                           const InstanceCoreOptions& options) {
    Status valid = ok_status();
    if (options.check_cpu_count) {
        valid = validate_params(params);
    } else {
        // Validate as if the thread count fitted the machine, so that only the
        // CPU-count rule is skipped.
        const std::optional<std::uint64_t> num_threads = params.technical_params.num_threads;
        if (num_threads) {
            params.technical_params.num_threads = std::min(*num_threads, available_cpu_count());
        }
        valid = validate_params(params);
        params.technical_params.num_threads = num_threads;
    }
    if (!valid) return error_text("invalid instance parameters, " + valid.error());

    const std::uint64_t num_partitions = params.technical_params.num_threads
                                             ? *params.technical_params.num_threads
                                             : available_cpu_count();
    const PartitionRange range = options.partition_range
                                     ? *options.partition_range
                                     : PartitionRange{0, num_partitions, num_partitions};
    expect(range.count == num_partitions && range.first <= range.total &&
               range.count <= range.total - range.first,
           "partition range does not match the thread count");

    // The calling thread runs partition 0 itself unless the workers are to
    // be pinned to their CPUs or tests watch each worker thread.
    const WorkerTestHooks& hooks = options.test_hooks;
    const bool lend = options.lend_first_partition && num_partitions > 0 &&
                      !params.technical_params.pin_threads && hooks.before_build == nullptr &&
                      hooks.before_tick == nullptr && hooks.after_tick == nullptr;
    const std::uint64_t num_ticking_threads = lend ? num_partitions : num_partitions + 1;

    std::unique_ptr<InstanceCore> core(new InstanceCore());
    core->impl_ = std::make_unique<InstanceCore::Impl>(
        options.wait_policies ? *options.wait_policies : wait_policies_for(num_ticking_threads));
    core->num_partitions_ = num_partitions;
    core->num_partitions_total_ = range.total;
    core->fingerprint_ = network_fingerprint(params);
    InstanceCore::Impl& impl = *core->impl_;
    impl.exchange = options.exchange;
    impl.first_partition = range.first;

    {
        ResultSender creation_sender = impl.result_receiver.make_sender();
        impl.worker_handles.reserve(num_partitions);
        for (std::uint64_t partition_index = 0; partition_index < num_partitions;
             ++partition_index) {
            auto block = std::unique_ptr<WorkerStartBlock>(new WorkerStartBlock{
                InstanceParams{params.layers, params.layer_connections, params.technical_params},
                range.first + partition_index, range.total,
                options.first_pinned_cpu + partition_index, impl.command_bus->add_reader(),
                creation_sender, impl.build_report, options.test_hooks, false, nullptr, nullptr});
            if (lend && partition_index == 0) {
                impl.loan = std::make_shared<PartitionLoan>();
                block->loan = impl.loan;
            } else if (lend) {
                impl.shares.push_back(std::make_shared<PartitionShare>());
                block->share = impl.shares.back();
            }
            // A refused thread panics; unwinding destroys `core`, which closes
            // the bus and joins the workers started so far.
            const std::size_t stack_size = options.worker_stack_size
                                               ? options.worker_stack_size(partition_index)
                                               : kWorkerStackSize;
            impl.worker_handles.push_back(start_worker(std::move(block), stack_size));
        }
        // Leaving this scope drops the creation's own sender, so that only the
        // workers hold senders and a receive fails once all of them are gone.
    }

    std::uint64_t num_neurons = 0;
    for (const LayerParams& layer : params.layers) {
        num_neurons += layer.num_neurons;
        core->layer_sizes_.push_back(layer.num_neurons);
    }
    core->num_neurons_ = num_neurons;
    core->num_in_channels_ = params.layers.empty() ? 0 : params.layers.front().num_neurons;
    // Output channels are the last layer's neurons, numbered after all others;
    // the channel/nid maps are this offset both ways.
    impl.num_out_channels = params.layers.empty() ? 0 : params.layers.back().num_neurons;
    impl.out_offset = num_neurons - impl.num_out_channels;
    core->t_ = 0;

    impl.results.reserve(num_partitions);
    impl.segments.reserve(num_partitions * params.layers.size());

    // Creation returns only once every partition is built, so that a network
    // that cannot be built fails here rather than at some later tick. A
    // failure unwinds through `core`, which closes the bus and joins the
    // workers once they have finished building.
    if (std::optional<BuildFailure> failure = impl.build_report->wait(num_partitions)) {
        if (failure->out_of_memory) throw std::bad_alloc();
        panic(std::move(failure->text));
    }
    return core;
}

void InstanceCore::fail(std::string text) {
    impl_->failure = text;
    panic(std::move(text));
}

const std::vector<std::uint64_t>& InstanceCore::last_spiking_nids() const {
    return impl_->spiking_nids;
}

void InstanceCore::set_tick_state(std::uint64_t t, std::vector<std::uint64_t> last_spiking_nids) {
    t_ = t;
    impl_->spiking_nids = std::move(last_spiking_nids);
    // A shared partition's ticks are claimed by their number.
    for (const std::shared_ptr<PartitionShare>& share : impl_->shares) {
        share->ticks_claimed.store(t, std::memory_order_seq_cst);
    }
}

void InstanceCore::visit_partitions(
    const std::function<void(const std::vector<Partition*>&)>& visit) {
    Impl& impl = *impl_;
    if (!impl.fork_guard.in_owner()) panic(kForkedText);
    if (impl.failure) panic(impl.living_workers() == 0 ? kRecvErrorText : *impl.failure);

    std::vector<Partition*> partitions(num_partitions_, nullptr);
    std::size_t answered = 0;
    if (impl.loan) {
        Partition* lent = impl.lent_partition();
        if (lent == nullptr) fail(impl.failure_text());
        partitions[0] = lent;
        answered = 1;
    }
    auto park = std::make_shared<PartitionPark>();
    // Released on every way out, so that no worker is left waiting.
    struct Release {
        PartitionPark& park;
        ~Release() { park.release(); }
    } release{*park};
    if (answered < num_partitions_) {
        TickCommand& command = impl.command;
        command.t = t_;
        command.forced_nids.clear();
        command.previous_spiking_nids.clear();
        command.reward = 0.0f;
        command.extract_state_snapshot = false;
        command.recording.reset();
        command.synapse_recording.reset();
        command.synapse_row = nullptr;
        command.park = park;
        impl.command_bus->send(command);
        command.park.reset();
        PartitionTickResult answer;
        for (std::size_t i = answered; i < num_partitions_; ++i) {
            if (!impl.result_receiver.receive_from_living(answer, i)) fail(impl.failure_text());
            // Workers know their partition by its index in the whole network.
            answer.partition_index -= impl.first_partition;
            if (answer.parked == nullptr || answer.partition_index >= num_partitions_ ||
                partitions[answer.partition_index] != nullptr) {
                fail("a worker answered a park with no partition of its own");
            }
            partitions[answer.partition_index] = answer.parked;
        }
    }
    visit(partitions);
}

std::optional<std::string> InstanceCore::check_ids(const TickInput& input) const {
    for (std::uint64_t id : input.spiking_in_channel_ids) {
        if (id >= num_in_channels_) return "Invalid input channel id: " + std::to_string(id);
    }
    for (std::uint64_t id : input.force_spiking_nids) {
        if (id >= num_neurons_) {
            return "Invalid neuron id for forced spike: " + std::to_string(id);
        }
    }
    for (std::uint64_t id : input.force_spiking_out_channel_ids) {
        if (id >= impl_->num_out_channels) {
            return "Invalid output channel id for forced spike: " + std::to_string(id);
        }
    }
    return std::nullopt;
}

void InstanceCore::run_partitions(const TickInput& input, TickSamples samples) {
    Impl& impl = *impl_;
    TickCommand& command = impl.command;
    command.t = t_;
    command.forced_nids.clear();
    command.forced_nids.insert(command.forced_nids.end(), input.spiking_in_channel_ids.begin(),
                               input.spiking_in_channel_ids.end());
    command.forced_nids.insert(command.forced_nids.end(), input.force_spiking_nids.begin(),
                               input.force_spiking_nids.end());
    for (std::uint64_t channel : input.force_spiking_out_channel_ids) {
        command.forced_nids.push_back(impl.out_offset + channel);
    }
    // Copied rather than moved, so the spike buffer keeps its capacity.
    command.previous_spiking_nids.assign(impl.spiking_nids.begin(), impl.spiking_nids.end());
    impl.spiking_nids.clear();
    command.reward = input.reward;
    command.extract_state_snapshot = input.extract_state_snapshot;
    command.recording = std::move(samples.neurons);
    command.synapse_recording = std::move(samples.weights.plan);
    command.synapse_row = samples.weights.row;
    // The storage handed back by the bus may be that of a park.
    command.park.reset();
    impl.results.resize(num_partitions_);
    Partition* lent = nullptr;
    // With the lent partition the only one here, no worker takes commands:
    // this thread runs the tick from the command itself, sending nothing.
    const bool alone = impl.loan && num_partitions_ == 1;
    if (impl.loan) {
        lent = impl.lent_partition();
        if (lent == nullptr) fail(impl.failure_text());
        if (!alone) impl.lent_command = command;  // the send below gives the command away
    }
    const std::uint64_t started = alone ? 0 : monotonic_ns();
    // The bus hands back the storage of an earlier command for the next tick.
    if (!alone) impl.command_bus->send(command);
    const TickCommand& lent_command = alone ? command : impl.lent_command;

    std::size_t first_received = 0;
    if (lent != nullptr) {
        // The lent partition's tick while the workers run theirs, then the
        // ticks that no worker has taken up yet. A failure here ends the
        // instance as a worker's would.
        try {
            impl.results[first_received++] = run_partition_tick(*lent, lent_command);
            for (const std::shared_ptr<PartitionShare>& share : impl.shares) {
                Partition* shared = share->partition.load(std::memory_order_seq_cst);
                if (shared == nullptr || !share->claim(t_)) continue;
                impl.results[first_received++] = run_partition_tick(*shared, lent_command);
            }
        } catch (const std::exception& failure) {
            std::fprintf(stderr, "%s\n", failure.what());
            std::fflush(stderr);
            impl.failed_here = 1;
            fail(failure.what());
        }
    }
    // Every living worker whose tick this thread did not run answers once;
    // one that has ended never will, and then waiting stops as soon as every
    // living worker has answered. The lending worker and those whose ticks
    // ran here count as having answered.
    if (first_received == impl.results.size()) return;
    const SpinPolicy wait = stretched_policy(impl.result_receiver.spin_policy(), impl.last_tick_ns);
    for (std::size_t i = first_received; i < impl.results.size(); ++i) {
        if (!impl.result_receiver.receive_from_living(impl.results[i], i, wait)) {
            fail(impl.failure_text());
        }
    }
    impl.last_tick_ns = monotonic_ns() - started;
}

void InstanceCore::collect_local(TickResult& tick_result) {
    Impl& impl = *impl_;
    for (const PartitionTickResult& result : impl.results) {
        impl.spiking_nids.insert(impl.spiking_nids.end(), result.spiking_nids.begin(),
                                 result.spiking_nids.end());
        tick_result.synaptic_transmission_count += result.synaptic_transmission_count;
    }
    std::sort(impl.spiking_nids.begin(), impl.spiking_nids.end());
}

TickResult InstanceCore::finish_tick(TickResult tick_result) {
    Impl& impl = *impl_;
    for (std::uint64_t nid : impl.spiking_nids) {
        if (nid >= impl.out_offset && nid - impl.out_offset < impl.num_out_channels) {
            tick_result.spiking_out_channel_ids.push_back(nid - impl.out_offset);
        }
    }
    // The workers' answers are consumed; dropping them now frees a snapshot's
    // storage instead of holding it until the next tick.
    impl.results.clear();

    tick_result.t = t_;
    ++t_;
    tick_result.spiking_nids = impl.spiking_nids;
    return tick_result;
}

Result<TickResult> InstanceCore::tick(const TickInput& input) {
    Impl& impl = *impl_;
    if (!impl.fork_guard.in_owner()) panic(kForkedText);

    std::optional<std::string> rejection = check_ids(input);
    if (impl.exchange) return tick_distributed(input, std::move(rejection));
    if (rejection) return error_text(std::move(*rejection));
    if (impl.failure) {
        panic(impl.living_workers() == 0 ? kRecvErrorText : *impl.failure);
    }

    // Before anything changes, so that no room for a sample leaves the
    // instance where it was.
    TickSamples samples;
    samples.neurons = impl.recorder.plan_for_tick(t_);
    samples.weights = impl.synapse_recorder.plan_for_tick(t_);
    run_partitions(input, std::move(samples));
    TickResult tick_result;
    collect_local(tick_result);
    if (input.extract_state_snapshot) {
        impl.segments.clear();
        for (const PartitionTickResult& result : impl.results) {
            if (!result.state_snapshot) fail(kMissingSnapshotText);
            for (const SnapshotSegment& segment : *result.state_snapshot) {
                impl.segments.push_back(&segment);
            }
        }
        tick_result.state_snapshot = assemble_snapshot(impl.segments);
    }
    if (!impl.recorder.collect(t_, impl.results)) fail(kMissingRecordingText);
    std::uint64_t written = 0;
    for (const PartitionTickResult& result : impl.results) written += result.recorded_weights;
    if (!impl.synapse_recorder.collect(t_, written)) fail(kMissingWeightsText);
    return finish_tick(std::move(tick_result));
}

}  // namespace synaptor
