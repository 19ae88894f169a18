// Worker threads: one per partition for the life of an instance. A worker
// owns its start block (parameter copies, bus reader, result sender), pins
// itself to a CPU on request, builds its partition and answers every command
// with one result until the bus closes. It reports on the build report once
// its partition is built. An internal failure ends the worker: its text goes
// to standard error and, while building, to the build report, afterwards to
// the result channel. Started and joined by the instance's calling thread.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "instance/build_report.hpp"
#include "instance/command_bus.hpp"
#include "instance/result_channel.hpp"
#include "instance/wait_point.hpp"
#include "params/params.hpp"
#include "partition/partition.hpp"

namespace synaptor {

inline constexpr std::size_t kWorkerStackSize = 2 * 1024 * 1024;

/// Test-only injection points; null in normal use. They run on the worker
/// thread and may panic to provoke a worker failure.
struct WorkerTestHooks {
    void (*before_build)(std::uint64_t partition_index) = nullptr;
    void (*before_tick)(std::uint64_t partition_index, const TickCommand& command) = nullptr;
    void (*after_tick)(std::uint64_t partition_index, PartitionTickResult& result) = nullptr;
};

/// A partition that its worker builds and then lends to the instance's
/// calling thread, which runs that partition's ticks itself between sending
/// a command and collecting the other workers' results: a tick then needs
/// one thread fewer to wake. The worker keeps the partition, without taking
/// commands, until the instance releases it at shutdown, and then destroys it.
struct PartitionLoan {
    enum State : std::uint32_t { kBuilding, kLent, kFailed };
    std::atomic<std::uint32_t> state{kBuilding};
    std::atomic<bool> released{false};
    Partition* partition = nullptr;  ///< set before state becomes kLent
    WaitPoint changed;               ///< notified when state or released change
};

/// A partition whose ticks either its worker or the instance's calling thread
/// runs, whichever claims the tick first: a caller that has finished its own
/// partition runs a tick that the worker has not yet taken up (the worker may
/// still be waiting for a CPU) instead of waiting for it. Each tick of the
/// partition runs exactly once, in tick order; the result channel and the
/// command bus order one thread's tick before the other's next one.
struct PartitionShare {
    /// Set by the worker once the partition is built.
    std::atomic<Partition*> partition{nullptr};
    /// Ticks claimed so far; tick t is claimed by moving it from t to t + 1.
    std::atomic<std::uint64_t> ticks_claimed{0};

    bool claim(std::uint64_t t) {
        std::uint64_t expected = t;
        return ticks_claimed.compare_exchange_strong(expected, t + 1, std::memory_order_seq_cst);
    }
};

/// A pause of the workers between ticks: each answers the park command with
/// its partition and then waits, touching nothing, until the sender releases
/// the park. The result channel orders the worker's last tick before the
/// sender's access, and `released` orders that access before the next tick.
struct PartitionPark {
    std::atomic<bool> released{false};
    WaitPoint changed;  ///< notified when released changes

    void release() {
        released.store(true, std::memory_order_seq_cst);
        changed.notify_all();
    }
};

struct WorkerStartBlock {
    InstanceParams params;  ///< copies of layers, layer_connections and technical_params
    std::uint64_t partition_index = 0;
    std::uint64_t num_partitions = 0;
    CommandBusReader reader;
    ResultSender sender;
    std::shared_ptr<BuildReport> build_report;
    WorkerTestHooks test_hooks;
    bool built = false;  ///< set by the worker once its partition is built
    /// Present for the worker whose partition is lent: it then drops its bus
    /// reader at once and never sends a result.
    std::shared_ptr<PartitionLoan> loan;
    /// Present for a worker whose ticks the calling thread may claim.
    std::shared_ptr<PartitionShare> share;
};

/// Starts a worker thread that owns `block`. A refused thread is a panic whose
/// text begins with "failed to spawn thread" and names the system error.
pthread_t start_worker(std::unique_ptr<WorkerStartBlock> block,
                       std::size_t stack_size = kWorkerStackSize);

/// Waits for a worker to end; never fails.
void join_worker(pthread_t handle) noexcept;

/// Restricts the calling thread to `cpu`; a refusal by the system is ignored.
void pin_current_thread(std::uint64_t cpu) noexcept;

}  // namespace synaptor
