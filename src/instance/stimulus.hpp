// Plain records of the batch calls: a Stimulus schedule (three pairs of
// parallel tick/id lists, ticks counted from the instance's t at the moment it
// is applied) and the BatchTickResult that collects the spikes of a batch.
// Values only; owned by the calling (Python) thread.
#pragma once

#include <cstdint>
#include <vector>

namespace synaptor {

struct Stimulus {
    std::vector<std::uint64_t> in_channel_spikes_ts;
    std::vector<std::uint64_t> in_channel_spikes_ids;
    std::vector<std::uint64_t> force_out_channel_spikes_ts;
    std::vector<std::uint64_t> force_out_channel_spikes_ids;
    std::vector<std::uint64_t> force_neuron_spikes_ts;
    std::vector<std::uint64_t> force_neuron_spikes_ids;
};

/// All spikes of a batch, in tick order and, within a tick, ascending, and
/// the ticks it covers: start_t up to (not including) end_t.
struct BatchTickResult {
    std::vector<std::uint64_t> out_channel_spikes_ts;
    std::vector<std::uint64_t> out_channel_spikes_ids;
    std::vector<std::uint64_t> neuron_spikes_ts;
    std::vector<std::uint64_t> neuron_spikes_ids;
    std::uint64_t synaptic_transmission_count = 0;
    std::uint64_t start_t = 0;
    std::uint64_t end_t = 0;
};

}  // namespace synaptor
