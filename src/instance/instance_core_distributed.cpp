// InstanceCore's tick when the network is spread over several processes: the
// local partitions' tick, then the exchange that combines it with the others';
// and the agreement of every process on a recording before it starts, so that
// all sample the same ticks.
#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "instance/input_fingerprint.hpp"
#include "instance/instance_core.hpp"
#include "instance/instance_core_impl.hpp"
#include "instance/snapshot_assembly.hpp"
#include "instance/tick_exchange.hpp"
#include "util/hash.hpp"
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

    // Every process agrees on room for a sample before its partitions run.
    TickSamples samples = prepare_distributed_samples(!rejection && !impl.failure);
    const bool neurons_sampled = samples.neurons != nullptr;
    const bool weights_sampled = samples.weights.plan != nullptr;

    LocalTick& local = impl.local_tick;
    local.t = t_;
    local.status = LocalTickStatus::Ok;
    local.input_fingerprint = input_fingerprint(t_, input);
    local.stop_requested = input.stop_requested;
    local.extract_state_snapshot = input.extract_state_snapshot;
    local.failure_text.clear();
    local.synaptic_transmission_count = 0;
    local.segments.clear();
    local.recording_sampled = impl.recorder.samples(t_);
    local.recorded.clear();
    local.weights_sampled = impl.synapse_recorder.samples(t_);
    local.weights = {};
    local.plasticity_enabled = input.plasticity_enabled;

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
            run_partitions(input, std::move(samples));
            collect_local(tick_result);
            if (neurons_sampled) {
                for (const PartitionTickResult& result : impl.results) {
                    if (!result.recorded) fail(kMissingRecordingText);
                    local.recorded.push_back(&*result.recorded);
                }
            }
            if (weights_sampled) {
                std::uint64_t written = 0;
                for (const PartitionTickResult& result : impl.results) {
                    written += result.recorded_weights;
                }
                if (written != impl.synapse_recorder.num_written_here()) fail(kMissingWeightsText);
                local.weights = impl.synapse_recorder.share_here();
            }
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
    global.recorded = nullptr;
    global.recorded_weights = {};
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
            local.recorded.clear();
            impl.results.clear();
            impl.failure = global.failure_text;
            impl.failure_is_shared = true;
            if (global.out_of_memory_here) throw std::bad_alloc();
            panic(global.failure_text);
        case GlobalTick::Outcome::Ok:
            break;
    }

    // Every process holds the same gathered sample, so all store it or all
    // fail alike.
    if (neurons_sampled) {
        const RecordedValues* gathered = global.recorded;
        if (gathered == nullptr || !impl.recorder.collect(t_, std::span(&gathered, 1))) {
            fail(kMissingRecordingText);
        }
    }
    local.recorded.clear();
    if (weights_sampled && !impl.synapse_recorder.collect_gathered(t_, global.recorded_weights)) {
        fail(kMissingWeightsText);
    }
    local.weights = {};

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

InstanceCore::TickSamples InstanceCore::prepare_distributed_samples(bool runs_here) {
    Impl& impl = *impl_;
    TickSamples samples;
    // Whether the tick is sampled is the same on every process (recordings
    // are agreed on by all), so either all of them take part below or none.
    const bool neurons = impl.recorder.samples(t_);
    const bool weights = impl.synapse_recorder.samples(t_);
    if (!neurons && !weights) {
        // Cannot fail: nothing is sampled, and the recorders forget any
        // sample of a tick that did not complete.
        if (runs_here) {
            samples.neurons = impl.recorder.plan_for_tick(t_);
            samples.weights = impl.synapse_recorder.plan_for_tick(t_);
        }
        return samples;
    }
    bool room = true;
    if (runs_here) {
        try {
            samples.neurons = impl.recorder.plan_for_tick(t_);
            samples.weights = impl.synapse_recorder.plan_for_tick(t_);
        } catch (const std::bad_alloc&) {
            room = false;
        }
    }
    const std::size_t max_runs = neurons ? layer_sizes_.size() * num_partitions_total_ : 0;
    const std::size_t max_values =
        neurons ? impl.recorder.num_entries() * impl.recorder.num_variables() : 0;
    const std::size_t max_weights = weights ? impl.synapse_recorder.num_columns() : 0;
    bool every_room = false;
    try {
        every_room = impl.exchange->prepare_recording(t_, room, max_runs, max_values, max_weights);
    } catch (const std::exception& failure) {
        fail(failure.what());
    }
    // Nothing ran anywhere: the instance stays usable, as in one process.
    if (!every_room) throw std::bad_alloc();
    return samples;
}

namespace {

/// Hash of everything a recording request asks for.
std::uint64_t request_fingerprint(const RecordingRequest& request) {
    std::uint64_t hash = mix64(request.nids.size());
    for (std::uint64_t nid : request.nids) hash = mix64(hash ^ nid);
    hash = mix64(hash ^ request.variables.size());
    for (const std::string& name : request.variables) hash = hash_bytes(name, hash);
    return mix64(hash ^ static_cast<std::uint64_t>(request.every));
}

enum RequestState : std::uint64_t { kRequestInvalid, kRequestValid, kRequestNoMemory };

}  // namespace

Result<std::optional<RecordedTraces>> InstanceCore::record(const RecordingRequest& request) {
    Impl& impl = *impl_;
    if (!impl.exchange) return impl.recorder.start(request, num_neurons_, t_);

    std::optional<Result<PreparedRecording>> prepared;
    std::uint64_t state = kRequestNoMemory;
    std::uint64_t fingerprint = 0;
    try {
        prepared.emplace(impl.recorder.prepare(request, num_neurons_));
        state = prepared->ok() ? kRequestValid : kRequestInvalid;
        fingerprint = request_fingerprint(request);
    } catch (const std::bad_alloc&) {
        prepared.reset();
    } catch (const std::length_error&) {
        prepared.reset();
    }
    std::vector<std::uint64_t> all;
    try {
        all = impl.exchange->gather_words({state, fingerprint, t_});
    } catch (const std::exception& failure) {
        fail(failure.what());
    }
    const std::uint64_t ranks = all.size() / 3;
    for (std::uint64_t r = 0; r < ranks; ++r) {
        if (all[3 * r] == kRequestNoMemory) throw std::bad_alloc();
    }
    for (std::uint64_t r = 1; r < ranks; ++r) {
        if (all[3 * r + 1] != all[1] || all[3 * r + 2] != all[2] || all[3 * r] != all[0]) {
            return error_text("ranks disagree on the recording request (rank 0 and rank " +
                              std::to_string(r) +
                              "): every rank must make the same calls with the same arguments");
        }
    }
    if (!prepared->ok()) return error_text(prepared->error());
    return impl.recorder.begin(std::move(*prepared).value(), t_);
}

}  // namespace synaptor
