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
#include "params/params.hpp"

namespace synaptor {

inline constexpr std::size_t kWorkerStackSize = 2 * 1024 * 1024;

/// Test-only injection points; null in normal use. They run on the worker
/// thread and may panic to provoke a worker failure.
struct WorkerTestHooks {
    void (*before_build)(std::uint64_t partition_index) = nullptr;
    void (*before_tick)(std::uint64_t partition_index, const TickCommand& command) = nullptr;
    void (*after_tick)(std::uint64_t partition_index, PartitionTickResult& result) = nullptr;
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
