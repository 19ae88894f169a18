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
#include "instance/worker.hpp"

namespace synaptor {

/// How long the threads of an instance stay awake while they wait.
struct WaitPolicies {
    SpinPolicy workers;  ///< workers waiting for a command
    SpinPolicy caller;   ///< the calling thread waiting for results
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
};

Result<std::unique_ptr<InstanceCore>> create_instance_core(InstanceParams params,
                                                           const InstanceCoreOptions& options);

}  // namespace synaptor
