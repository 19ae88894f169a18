// The state of an InstanceCore behind its interface: the bus and channel to
// the workers, the loan and shares of partitions run by the calling thread,
// the exchange with other processes, and the per-tick storage reused from
// tick to tick. Owned by the core and used only on the instance's calling
// thread; its destructor closes the bus and joins the workers. Internal to
// the core's own sources (the local tick and the tick spread over processes).
#pragma once

#include <pthread.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "instance/build_report.hpp"
#include "instance/command_bus.hpp"
#include "instance/fork_guard.hpp"
#include "instance/instance_core.hpp"
#include "instance/neuron_recorder.hpp"
#include "instance/result_channel.hpp"
#include "instance/synapse_recorder.hpp"
#include "instance/tick_exchange.hpp"
#include "instance/wait_policy.hpp"
#include "instance/worker.hpp"
#include "partition/tick_messages.hpp"

namespace synaptor {

inline constexpr const char* kRecvErrorText =
    "called `Result::unwrap()` on an `Err` value: RecvError";
inline constexpr const char* kMissingRecordingText =
    "the partitions' answers do not hold every recorded neuron exactly once";
inline constexpr const char* kMissingWeightsText =
    "the partitions did not write the weight of every recorded synapse";
inline constexpr const char* kMissingSnapshotText = "called `Option::unwrap()` on a `None` value";

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
    SynapseRecorder synapse_recorder;

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

}  // namespace synaptor
