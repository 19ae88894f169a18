// Creation of an InstanceCore with internal options: the normal creation uses
// the defaults; tests use the others to run more workers than the machine has
// CPUs, to make a worker fail on purpose, or to have a thread start refused.
// Used on the creating thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "instance/instance_core.hpp"
#include "instance/tick_exchange.hpp"
#include "instance/wait_policy.hpp"
#include "instance/worker.hpp"

namespace synaptor {

/// The partitions a core runs when the network is spread over several
/// processes: `count` consecutive partitions from `first` out of `total`.
struct PartitionRange {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    std::uint64_t total = 0;
};

struct InstanceCoreOptions {
    /// False skips only the rule that `num_threads` must not exceed the
    /// available CPU count; every other rule is still checked.
    bool check_cpu_count = true;
    WorkerTestHooks test_hooks;
    /// Stack size of each worker; null means the normal size for all.
    std::size_t (*worker_stack_size)(std::uint64_t partition_index) = nullptr;
    /// How long waiting threads stay awake; absent means the choice made for
    /// the thread count and the machine. Set by benchmarks that tune it.
    std::optional<WaitPolicies> wait_policies;
    /// Whether the calling thread runs partition 0's ticks itself (see
    /// PartitionLoan); it never does when threads are pinned or hooks are set.
    bool lend_first_partition = true;
    /// Absent: all partitions of the network, as many as there are threads.
    /// Present: `count` must equal the thread count.
    std::optional<PartitionRange> partition_range;
    /// CPU to which local worker 0 is pinned (the others follow it) when
    /// threads are pinned; several processes on one machine take turns.
    std::uint64_t first_pinned_cpu = 0;
    /// Called once per tick to combine this process's partitions with the
    /// others'; null for a network held by one process.
    std::shared_ptr<TickExchange> exchange;
};

Result<std::unique_ptr<InstanceCore>> create_instance_core(InstanceParams params,
                                                           const InstanceCoreOptions& options);

}  // namespace synaptor
