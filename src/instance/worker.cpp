#include "instance/worker.hpp"

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "partition/build_partition.hpp"
#include "partition/partition_tick.hpp"
#include "util/panic.hpp"

namespace synaptor {

namespace {

/// The worker of a lent partition: builds it, lends it and waits, taking no
/// commands, until the instance gives it back. It keeps its result sender,
/// so that the instance counts it among the living workers as before.
void run_lending_worker(WorkerStartBlock& block) {
    PartitionLoan& loan = *block.loan;
    {
        // A reader that goes away counts as having taken every command.
        CommandBusReader dropped = std::move(block.reader);
    }
    Partition partition =
        build_partition(block.params, block.num_partitions, block.partition_index);
    loan.partition = &partition;
    loan.state.store(PartitionLoan::kLent, std::memory_order_seq_cst);
    loan.changed.notify_all();
    block.built = true;
    block.build_report->built();
    loan.changed.wait_until([&] { return loan.released.load(std::memory_order_seq_cst); });
}

void run_worker(WorkerStartBlock& block) {
    if (block.params.technical_params.pin_threads) pin_current_thread(block.pinned_cpu);
    if (block.loan) {
        run_lending_worker(block);
        return;
    }
    if (block.test_hooks.before_build) block.test_hooks.before_build(block.partition_index);
    // Built after pinning, so the partition's memory comes from the pinned CPU's node.
    Partition partition =
        build_partition(block.params, block.num_partitions, block.partition_index);
    if (block.share) block.share->partition.store(&partition, std::memory_order_seq_cst);
    block.built = true;
    block.build_report->built();
    TickCommand command;
    // Awake between ticks for about as long as the last tick took: the next
    // command comes once the slowest partition has ended that tick.
    SpinPolicy wait = block.reader.spin_policy();
    while (block.reader.receive(command, wait)) {
        if (command.park) {
            std::shared_ptr<PartitionPark> park = std::move(command.park);
            PartitionTickResult answer;
            answer.parked = &partition;
            answer.partition_index = block.partition_index;
            // Without a receiver nobody waits for the answer or will release.
            if (!block.sender.send(std::move(answer))) continue;
            park->changed.wait_until(
                [&] { return park->released.load(std::memory_order_seq_cst); });
            continue;
        }
        // A tick that the calling thread claimed is run there.
        if (block.share && !block.share->claim(command.t)) continue;
        if (block.test_hooks.before_tick) {
            block.test_hooks.before_tick(block.partition_index, command);
        }
        const std::uint64_t started = monotonic_ns();
        PartitionTickResult result = run_partition_tick(partition, command);
        wait = stretched_policy(block.reader.spin_policy(), monotonic_ns() - started);
        if (block.test_hooks.after_tick) block.test_hooks.after_tick(block.partition_index, result);
        // A gone receiver means the instance is shutting down: the result is
        // dropped and the worker waits for the bus to close.
        (void)block.sender.send(std::move(result));
    }
}

void report_failure(WorkerStartBlock& block, const char* text, bool out_of_memory) noexcept {
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
    if (block.loan) {
        // A lending worker can fail only while building.
        block.loan->state.store(PartitionLoan::kFailed, std::memory_order_seq_cst);
        block.loan->changed.notify_all();
    }
    if (!block.built) {
        block.build_report->failed(out_of_memory, text);
        return;
    }
    try {
        block.sender.report_failure(text);
    } catch (...) {
        // Out of memory for the text: the receiver still learns of the end
        // when this sender goes away.
    }
}

void* worker_main(void* arg) {
    std::unique_ptr<WorkerStartBlock> block(static_cast<WorkerStartBlock*>(arg));
    try {
        run_worker(*block);
    } catch (const std::bad_alloc& failure) {
        report_failure(*block, failure.what(), true);
    } catch (const std::length_error& failure) {
        // A container asked for more than it can ever hold: too large to allocate.
        report_failure(*block, failure.what(), true);
    } catch (const std::exception& failure) {
        report_failure(*block, failure.what(), false);
    } catch (...) {
        report_failure(*block, "worker thread ended through an unknown failure", false);
    }
    // Releasing the block drops the bus reader (so the sender never waits for
    // this worker again) and the result sender.
    return nullptr;
}

}  // namespace

pthread_t start_worker(std::unique_ptr<WorkerStartBlock> block, std::size_t stack_size) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        rc = pthread_attr_setstacksize(&attr, stack_size);
        pthread_t handle{};
        if (rc == 0) rc = pthread_create(&handle, &attr, worker_main, block.get());
        pthread_attr_destroy(&attr);
        if (rc == 0) {
            (void)block.release();  // the thread owns it now
            return handle;
        }
    }
    panic("failed to spawn thread: " + std::string(std::strerror(rc)) + " (os error " +
          std::to_string(rc) + ")");
}

void join_worker(pthread_t handle) noexcept { (void)pthread_join(handle, nullptr); }

void pin_current_thread(std::uint64_t cpu) noexcept {
    // A set sized for `cpu` rather than a fixed 1024 entries, so CPUs numbered
    // 1024 and above can be pinned too.
    if (cpu >= static_cast<std::uint64_t>(std::numeric_limits<int>::max())) return;
    const int count = static_cast<int>(cpu) + 1;
    cpu_set_t* set = CPU_ALLOC(count);
    if (set == nullptr) return;
    const std::size_t size = CPU_ALLOC_SIZE(count);
    CPU_ZERO_S(size, set);
    CPU_SET_S(static_cast<std::size_t>(cpu), size, set);
    (void)sched_setaffinity(0, size, set);
    CPU_FREE(set);
}

}  // namespace synaptor
