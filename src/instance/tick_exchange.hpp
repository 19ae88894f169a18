// TickExchange: what an InstanceCore whose partitions are spread over several
// processes calls once per tick, after its own partitions have answered, so
// that every process continues with the spikes of the whole network. The core
// knows only this interface; the implementation over a message-passing library
// lives above the instance layer. Called on the instance's calling thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "partition/tick_messages.hpp"

namespace synaptor {

/// How a process's share of one tick ended, before the exchange.
enum class LocalTickStatus : std::uint64_t {
    Ok = 0,
    Rejected = 1,  ///< an id was out of range; no partition ran
    Failed = 2,    ///< a partition failed; the text tells why
    FailedOutOfMemory = 3,
};

/// One process's share of a tick, as handed to the exchange.
struct LocalTick {
    std::uint64_t t = 0;
    LocalTickStatus status = LocalTickStatus::Ok;
    /// Hash of everything the caller put into the tick (ids, reward, flags,
    /// stimulation rate); every process must put in the same.
    std::uint64_t input_fingerprint = 0;
    /// The batch call that runs this tick wants to stop after it.
    bool stop_requested = false;
    bool extract_state_snapshot = false;
    std::string failure_text;
    std::uint64_t synaptic_transmission_count = 0;
    /// This process's segments when a snapshot was asked for and status is ok.
    std::vector<const SnapshotSegment*> segments;
    /// The tick samples the recording of neurons (the same on every process,
    /// whose recorders replay the same calls).
    bool recording_sampled = false;
    /// This process's partitions' samples of the tick when it is sampled and
    /// status is ok.
    std::vector<const RecordedValues*> recorded;
    /// The tick samples the recording of synapse weights (alike on every
    /// process, as recording_sampled).
    bool weights_sampled = false;
    /// This process's recorded weights of the tick when it is sampled and
    /// status is ok, in the order the recording assigned to this process.
    std::span<const float> weights;
    /// Whether learning is switched on here: a switch set on some processes
    /// only would let their partitions learn while the others' do not.
    bool plasticity_enabled = true;
};

/// What every process decides alike from all shares of the tick.
struct GlobalTick {
    enum class Outcome { Ok, Rejected, Failed };
    Outcome outcome = Outcome::Ok;
    /// For `Failed`: the text every process raises.
    std::string failure_text;
    /// For `Failed`: this process's own partitions ran out of memory.
    bool out_of_memory_here = false;
    bool stop_requested = false;
    std::uint64_t synaptic_transmission_count = 0;
    /// The other processes' segments, on the process that assembles snapshots.
    std::vector<SnapshotSegment> remote_segments;
    /// Whether this process returns the tick's snapshot.
    bool holds_snapshot = false;
    /// For a sampled tick with outcome ok: every process's samples as one,
    /// held by the exchange until its next call.
    const RecordedValues* recorded = nullptr;
    /// For a tick that samples synapse weights with outcome ok: every
    /// process's recorded weights in rank order, held by the exchange until
    /// its next call.
    std::span<const float> recorded_weights;
};

class TickExchange {
public:
    virtual ~TickExchange() = default;

    /// Collective over every process. `spiking_nids` holds this process's
    /// spikes of the tick, ascending, on entry, and every process's, ascending,
    /// on return (only for outcome ok). An error of the transport throws Panic.
    virtual void exchange(const LocalTick& local, std::vector<std::uint64_t>& spiking_nids,
                          GlobalTick& global) = 0;

    /// Collective, before a tick that samples a recording: makes room for
    /// the exchange of at most `max_runs` runs, `max_values` values and
    /// `max_weights` synapse weights and answers whether every process has
    /// room (`room`: this process's own answer so far). False on every
    /// process alike, so that all raise before the tick and none runs it. An
    /// error of the transport throws Panic.
    virtual bool prepare_recording(std::uint64_t t, bool room, std::size_t max_runs,
                                   std::size_t max_values, std::size_t max_weights) = 0;

    /// Collective: every process's `words` (the same number on each), in
    /// rank order. For agreeing on a call's arguments before acting on them.
    virtual std::vector<std::uint64_t> gather_words(const std::vector<std::uint64_t>& words) = 0;

    /// Collective: every process's items of `item_size` bytes, `counts[r]` of
    /// them from process r (the same `counts` on every process), copied as
    /// bytes in rank order to `all`, which has room for their sum.
    virtual void gather_items(const void* mine, std::size_t item_size, void* all,
                              const std::vector<std::uint64_t>& counts) = 0;

    /// Collective: process r's `sizes[r]` bytes (the same `sizes` on every
    /// process) reach process 0 alone, in rank order, in `all`, which there
    /// has room for their sum (elsewhere it is not used).
    virtual void gather_bytes_to_first(const void* mine, void* all,
                                       const std::vector<std::uint64_t>& sizes) = 0;

    virtual std::uint64_t rank() const = 0;
    virtual std::uint64_t num_ranks() const = 0;
};

}  // namespace synaptor
