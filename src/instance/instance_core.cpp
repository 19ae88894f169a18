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
#include "instance/input_fingerprint.hpp"
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

const char* const kRecvErrorText = "called `Result::unwrap()` on an `Err` value: RecvError";
const char* const kMissingSnapshotText = "called `Option::unwrap()` on a `None` value";
const char* const kMissingRecordingText =
    "the partitions' answers do not hold every recorded neuron exactly once";
const char* const kForkedText =
    "instance used in a forked child process; its worker threads exist only in the process "
    "that created it";

}  // namespace

struct InstanceCore::Impl {
    explicit Impl(const WaitPolicies& policies)
        : command_bus(std::in_place, policies.workers), result_receiver(policies.caller) {}

    ~Impl() {
        // In a forked child the workers do not exist: there is nobody to
        // wake or join, and the memory they would release stays behind.
        if (!fork_guard.in_owner()) return;
        // Closing the bus makes every worker leave its loop at its next
        // receive; a worker in the middle of building or ticking finishes
        // that first. Failures of workers are not reported here.
        command_bus.reset();
        if (loan) {
            // The lending worker destroys its partition and ends.
            loan->released.store(true, std::memory_order_seq_cst);
            loan->changed.notify_all();
        }
        for (pthread_t handle : worker_handles) join_worker(handle);
    }

    /// Workers that hold a result sender, less the one whose partition
    /// failed on this thread (its worker would have ended with it).
    std::uint64_t living_workers() const {
        const std::uint64_t senders = result_receiver.num_senders();
        return senders > failed_here ? senders - failed_here : 0;
    }

    /// The lent partition, waiting for its worker to build it on first use;
    /// null when building failed.
    Partition* lent_partition() {
        if (lent != nullptr) return lent;
        loan->changed.wait_until([&] {
            return loan->state.load(std::memory_order_seq_cst) != PartitionLoan::kBuilding;
        });
        if (loan->state.load(std::memory_order_seq_cst) == PartitionLoan::kLent) {
            lent = loan->partition;
        }
        return lent;
    }

    /// The text of the internal failure of a tick whose results did not all
    /// come: once every worker has ended the receive itself has failed;
    /// while some live, the first worker's own failure tells more.
    std::string failure_text() const {
        if (living_workers() == 0) return kRecvErrorText;
        std::optional<std::string> worker_failure = result_receiver.failure_text();
        return worker_failure ? std::move(*worker_failure) : std::string(kRecvErrorText);
    }

    ForkGuard fork_guard;
    std::shared_ptr<BuildReport> build_report = std::make_shared<BuildReport>();

    std::optional<CommandBusSender> command_bus;
    ResultReceiver result_receiver;
    std::vector<pthread_t> worker_handles;  ///< in partition_index order
    /// Partition 0 when this thread runs its ticks (see PartitionLoan).
    std::shared_ptr<PartitionLoan> loan;
    Partition* lent = nullptr;      ///< the lent partition once it has arrived
    std::uint64_t failed_here = 0;  ///< partitions whose tick failed on this thread
    /// Partitions 1.. whose ticks this thread may claim; empty without a loan.
    std::vector<std::shared_ptr<PartitionShare>> shares;
    /// The other processes holding the network; null when this one holds all.
    std::shared_ptr<TickExchange> exchange;
    std::uint64_t first_partition = 0;  ///< in the whole network, of this core's first

    std::uint64_t out_offset = 0;
    std::uint64_t num_out_channels = 0;
    std::vector<std::uint64_t> spiking_nids;  ///< last completed tick, ascending
    NeuronRecorder recorder;

    /// Once a tick has failed internally the workers and this instance no
    /// longer agree on the tick they are at; every later tick fails with the
    /// same text instead of mixing stale results into new ones.
    std::optional<std::string> failure;
    /// Spread over several processes: every process holds the same failure,
    /// decided together in an exchange.
    bool failure_is_shared = false;

    // Per-tick storage kept between ticks so that steady ticking reuses it.
    TickCommand command;
    std::vector<PartitionTickResult> results;
    std::vector<const SnapshotSegment*> segments;
    TickCommand lent_command;  ///< the command as the lent partition runs it
    /// How long the last tick that waited for workers took here, from its
    /// send to its last answer: the waits for the next one stay awake as
    /// long (see stretched_policy).
    std::uint64_t last_tick_ns = 0;
    LocalTick local_tick;
    GlobalTick global_tick;
};

InstanceCore::InstanceCore() = default;
InstanceCore::~InstanceCore() = default;

std::uint64_t InstanceCore::num_out_channels() const { return impl_->num_out_channels; }
NeuronRecorder& InstanceCore::recorder() { return impl_->recorder; }
const NeuronRecorder& InstanceCore::recorder() const { return impl_->recorder; }

const TickExchange* InstanceCore::exchange() const { return impl_->exchange.get(); }

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
    for (const LayerParams& layer : params.layers) num_neurons += layer.num_neurons;
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

void InstanceCore::run_partitions(const TickInput& input) {
    Impl& impl = *impl_;
    // Before anything changes, so that no room for the sample leaves the
    // instance where it was.
    std::shared_ptr<const RecordingPlan> recording = impl.recorder.plan_for_tick(t_);

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
    command.recording = std::move(recording);
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

    run_partitions(input);
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
    return finish_tick(std::move(tick_result));
}

Result<TickResult> InstanceCore::tick_distributed(const TickInput& input,
                                                  std::optional<std::string> rejection) {
    Impl& impl = *impl_;
    // A failure that every process has learnt in an exchange ends every later
    // tick on every process alike, with no further exchange.
    if (impl.failure && impl.failure_is_shared) {
        if (rejection) return error_text(std::move(*rejection));
        panic(*impl.failure);
    }

    LocalTick& local = impl.local_tick;
    local.t = t_;
    local.status = LocalTickStatus::ok;
    local.input_fingerprint = input_fingerprint(t_, input);
    local.stop_requested = input.stop_requested;
    local.extract_state_snapshot = input.extract_state_snapshot;
    local.failure_text.clear();
    local.synaptic_transmission_count = 0;
    local.segments.clear();

    TickResult tick_result;
    if (rejection) {
        local.status = LocalTickStatus::rejected;
    } else if (impl.failure) {
        // Failed here alone so far: the others learn of it in this exchange.
        local.status = LocalTickStatus::failed;
        local.failure_text = *impl.failure;
    } else {
        // A failure of this process's partitions does not end the tick here:
        // it travels in the exchange, so that every process raises together.
        try {
            run_partitions(input);
            collect_local(tick_result);
            if (input.extract_state_snapshot) {
                for (const PartitionTickResult& result : impl.results) {
                    if (!result.state_snapshot) fail(kMissingSnapshotText);
                    for (const SnapshotSegment& segment : *result.state_snapshot) {
                        local.segments.push_back(&segment);
                    }
                }
            }
        } catch (const std::bad_alloc& failure) {
            local.status = LocalTickStatus::failed_out_of_memory;
            local.failure_text = failure.what();
        } catch (const std::length_error& failure) {
            local.status = LocalTickStatus::failed_out_of_memory;
            local.failure_text = failure.what();
        } catch (const std::exception& failure) {
            local.status = LocalTickStatus::failed;
            local.failure_text = failure.what();
        }
        local.synaptic_transmission_count = tick_result.synaptic_transmission_count;
    }

    GlobalTick& global = impl.global_tick;
    global.outcome = GlobalTick::Outcome::ok;
    global.failure_text.clear();
    global.out_of_memory_here = false;
    global.stop_requested = false;
    global.synaptic_transmission_count = 0;
    global.remote_segments.clear();
    global.holds_snapshot = false;
    try {
        impl.exchange->exchange(local, impl.spiking_nids, global);
    } catch (const std::bad_alloc&) {
        impl.failure = "out of memory in the exchange between processes";
        throw;
    } catch (const std::exception& failure) {
        fail(failure.what());
    }

    switch (global.outcome) {
        case GlobalTick::Outcome::rejected:
            if (!rejection) fail("processes disagree on whether the input of a tick is valid");
            return error_text(std::move(*rejection));
        case GlobalTick::Outcome::failed:
            local.segments.clear();
            impl.results.clear();
            impl.failure = global.failure_text;
            impl.failure_is_shared = true;
            if (global.out_of_memory_here) throw std::bad_alloc();
            panic(global.failure_text);
        case GlobalTick::Outcome::ok:
            break;
    }

    tick_result.synaptic_transmission_count = global.synaptic_transmission_count;
    tick_result.stop_requested = global.stop_requested;
    if (input.extract_state_snapshot && global.holds_snapshot) {
        try {
            impl.segments.assign(local.segments.begin(), local.segments.end());
            for (const SnapshotSegment& segment : global.remote_segments) {
                impl.segments.push_back(&segment);
            }
            tick_result.state_snapshot = assemble_snapshot(impl.segments);
        } catch (const std::bad_alloc&) {
            // The others have finished this tick; they learn of the failure
            // in the next exchange.
            impl.failure = "out of memory while assembling a snapshot";
            throw;
        }
    }
    local.segments.clear();
    global.remote_segments.clear();
    return finish_tick(std::move(tick_result));
}

}  // namespace synaptor
