// InstanceCore's tick when the network is spread over several processes: the
// local partitions' tick, then the exchange that combines it with the others'.
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "instance/input_fingerprint.hpp"
#include "instance/instance_core.hpp"
#include "instance/instance_core_impl.hpp"
#include "instance/snapshot_assembly.hpp"
#include "instance/tick_exchange.hpp"
#include "util/panic.hpp"

namespace synaptor {

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
    local.status = LocalTickStatus::Ok;
    local.input_fingerprint = input_fingerprint(t_, input);
    local.stop_requested = input.stop_requested;
    local.extract_state_snapshot = input.extract_state_snapshot;
    local.failure_text.clear();
    local.synaptic_transmission_count = 0;
    local.segments.clear();

    TickResult tick_result;
    if (rejection) {
        local.status = LocalTickStatus::Rejected;
    } else if (impl.failure) {
        // Failed here alone so far: the others learn of it in this exchange.
        local.status = LocalTickStatus::Failed;
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
            local.status = LocalTickStatus::FailedOutOfMemory;
            local.failure_text = failure.what();
        } catch (const std::length_error& failure) {
            local.status = LocalTickStatus::FailedOutOfMemory;
            local.failure_text = failure.what();
        } catch (const std::exception& failure) {
            local.status = LocalTickStatus::Failed;
            local.failure_text = failure.what();
        }
        local.synaptic_transmission_count = tick_result.synaptic_transmission_count;
    }

    GlobalTick& global = impl.global_tick;
    global.outcome = GlobalTick::Outcome::Ok;
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
        case GlobalTick::Outcome::Rejected:
            if (!rejection) fail("processes disagree on whether the input of a tick is valid");
            return error_text(std::move(*rejection));
        case GlobalTick::Outcome::Failed:
            local.segments.clear();
            impl.results.clear();
            impl.failure = global.failure_text;
            impl.failure_is_shared = true;
            if (global.out_of_memory_here) throw std::bad_alloc();
            panic(global.failure_text);
        case GlobalTick::Outcome::Ok:
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
